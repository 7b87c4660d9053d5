// Code-page conversion of the stand-in (platform/win_text.h).
#include <cstdio>
#include <string>

#include "platform/win_kernel.h"
#include "platform/win_text.h"

namespace {

bool known(UINT cp) { return cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_UTF8; }

std::u16string decode(UINT cp, const unsigned char *s, size_t n) {
  std::u16string out;
  if (cp != CP_UTF8) {
    for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(s[i]);
    return out;
  }
  for (size_t i = 0; i < n;) {
    unsigned c = s[i];
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t cp32 = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) ok = false;
      else cp32 = (cp32 << 6) | (s[i + k] & 0x3F);
    }
    if (!ok || cp32 > 0x10FFFF || (cp32 >= 0xD800 && cp32 <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp32 >= 0x10000) {
      cp32 -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp32 >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp32 & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp32);
    }
  }
  return out;
}

std::string encode(UINT cp, const char16_t *w, size_t n, char fallback, bool *used) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = w[i];
    if (cp != CP_UTF8) {
      if (c > 0xFF) {
        out += fallback;
        *used = true;
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Copies a converted text out, or tells the size needed.
template <class T, class S>
int hand_out(const S &text, T *out, int room) {
  if (room == 0) return static_cast<int>(text.size());
  if (text.size() > static_cast<size_t>(room)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<T>(text[i]);
  return static_cast<int>(text.size());
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!known(CodePage) || dwFlags != 0 || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cbMultiByte == -1 ? std::char_traits<char>::length(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  return hand_out(decode(CodePage, reinterpret_cast<const unsigned char *>(lpMultiByteStr), n), lpWideCharStr,
                  cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!known(CodePage) || dwFlags != 0 || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr) || (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cchWideChar == -1 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  bool used = false;
  std::string text = encode(CodePage, lpWideCharStr, n, lpDefaultChar ? *lpDefaultChar : '?', &used);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  return hand_out(text, lpMultiByteStr, cbMultiByte);
}

namespace {

// A wide text up to its NUL as the host's UTF-8.
std::string host_text(const char16_t *w) {
  size_t n = std::char_traits<char16_t>::length(w);
  bool used = false;
  return encode(CP_UTF8, w, n, '?', &used);
}

}  // namespace

FILE *_wfopen(const WCHAR *filename, const WCHAR *mode) {
  if (filename == nullptr || mode == nullptr) return nullptr;
  return std::fopen(host_text(filename).c_str(), host_text(mode).c_str());
}

FILE *_wfopen(const WCHAR *filename, const wchar_t *mode) {
  if (mode == nullptr) return nullptr;
  std::u16string wide_mode;
  for (const wchar_t *m = mode; *m != 0; ++m) wide_mode += static_cast<char16_t>(*m);
  return _wfopen(filename, wide_mode.c_str());
}

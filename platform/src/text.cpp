// Linux stand-in: WideCharToMultiByte for UTF-8 and a Latin-1 "ANSI" code page.
#include <string>

#include "platform/win32.h"

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || dwFlags != 0 ||
      (CodePage != CP_UTF8 && CodePage != CP_ACP) ||
      (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) || (cbMultiByte > 0 && !lpMultiByteStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[n]) ++n;
    ++n;  // the NUL is converted too
  } else {
    n = static_cast<size_t>(cchWideChar);
  }
  std::string out;
  bool used_default = false;
  for (size_t i = 0; i < n; ++i) {
    char32_t c = lpWideCharStr[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && lpWideCharStr[i + 1] >= 0xDC00 && lpWideCharStr[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (CodePage == CP_ACP) {
      if (c < 0x100) {
        out += static_cast<char>(c);
      } else {
        out += lpDefaultChar ? *lpDefaultChar : '?';
        used_default = true;
      }
    } else if (c < 0x80) {
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
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used_default ? TRUE : FALSE;
  if (cbMultiByte == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  out.copy(lpMultiByteStr, out.size());
  return static_cast<int>(out.size());
}

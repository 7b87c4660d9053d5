// The program's own module: its handle and file path.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/win_kernel.h"
#include "platform/win_text.h"
#include "sim/machine.h"

namespace {

// The image base a 64-bit executable is loaded at by default.
HMODULE own_module() { return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x140000000ULL)); }

std::string own_path() {
  const std::string &configured = sim::app_knobs().module_path;
  if (!configured.empty()) return configured;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

// The host path (UTF-8) as UTF-16 code units.
std::u16string wide_of(const std::string &utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string wide(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

// The narrow form of the host path: every character the ANSI code page cannot hold becomes '?'
// (one per UTF-16 code unit), as Windows answers; the others keep their host bytes, since the
// stand-in's narrow file calls take host paths.
std::string narrow_of(const std::string &utf8) {
  std::string narrow;
  for (char16_t unit : wide_of(utf8)) {
    if (unit > 0xFF) {
      narrow += '?';
      continue;
    }
    char bytes[4] = {0};
    const int n = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<LPCWSTR>(&unit), 1, bytes,
                                      sizeof bytes, nullptr, nullptr);
    narrow.append(bytes, static_cast<size_t>(n > 0 ? n : 0));
  }
  return narrow;
}

// Copies the path out as GetModuleFileName does: a path that fits is copied with its NUL (result
// = its length); otherwise nSize - 1 units and a NUL, result nSize, ERROR_INSUFFICIENT_BUFFER.
template <class Char, class Text>
DWORD hand_out_path(HMODULE hModule, Char *out, DWORD nSize, const Text &path) {
  if (hModule != nullptr && hModule != own_module()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (path.empty()) {
    out[0] = 0;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (path.size() < nSize && !sim::app_knobs().module_path_truncated) {
    std::memcpy(out, path.c_str(), (path.size() + 1) * sizeof(Char));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  size_t n = path.size() < nSize - 1 ? path.size() : nSize - 1;
  std::memcpy(out, path.data(), n * sizeof(Char));
  out[n] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  return hand_out_path(hModule, lpFilename, nSize, narrow_of(own_path()));
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  return hand_out_path(hModule, lpFilename, nSize, wide_of(own_path()));
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return own_module();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

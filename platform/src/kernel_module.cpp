// The program's own module: its handle and file path.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/win_kernel.h"
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

}  // namespace

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != nullptr && hModule != own_module()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (lpFilename == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path = own_path();
  if (path.empty()) {
    lpFilename[0] = '\0';
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (path.size() < nSize && !sim::app_knobs().module_path_truncated) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  // Truncated: nSize - 1 characters and the terminating NUL; the result is nSize.
  size_t n = path.size() < nSize - 1 ? path.size() : nSize - 1;
  std::memcpy(lpFilename, path.data(), n);
  lpFilename[n] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return own_module();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

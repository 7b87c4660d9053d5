// Text conversion for the library's COM users.
#include <stdexcept>
#include <string>

#include "vornwincom/com_support.h"

namespace vornwincom {

std::string utf8_from_wide(const OLECHAR *text, UINT length) {
  if (!text || length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) throw std::runtime_error("text cannot be converted to UTF-8");
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr) != n)
    throw std::runtime_error("text cannot be converted to UTF-8");
  return out;
}

}  // namespace vornwincom

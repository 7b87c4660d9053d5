// Copying text into the fixed-size character fields of the library's records, and comparing texts.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace vornwincom {

// Copies at most N - 1 characters of `text` and a NUL.
template <size_t N>
void store_text(char (&field)[N], const std::string &text) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Equal texts when letter case is ignored.
inline bool same_text(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace vornwincom

// Copying text into the fixed-size character fields of the library's records.
#pragma once

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

}  // namespace vornwincom

// Field checks shared by every section of a machine description.
#include "sim/description.h"

#include <cctype>
#include <stdexcept>

namespace sim::desc {

[[noreturn]] void bad(const std::string &where, const std::string &what) {
  throw std::runtime_error(where + ": " + what);
}

namespace {

template <class List>
void check_fields_in(const json &j, const std::string &where, const List &allowed) {
  if (!j.is_object()) bad(where, "expected an object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = false;
    for (const auto &a : allowed) known = known || it.key() == a;
    if (!known) bad(where, "unknown field \"" + it.key() + "\"");
  }
}

}  // namespace

void check_fields(const json &j, const std::string &where, std::initializer_list<const char *> allowed) {
  check_fields_in(j, where, allowed);
}

void check_fields(const json &j, const std::string &where, const std::vector<std::string> &allowed) {
  check_fields_in(j, where, allowed);
}

uint64_t number(const json &j, const std::string &where, uint64_t max) {
  uint64_t v = 0;
  if (j.is_number_unsigned()) {
    v = j.get<uint64_t>();
  } else if (j.is_string()) {
    const std::string s = j.get<std::string>();
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const std::string digits = hex ? s.substr(2) : s;
    bool ok = !digits.empty() && digits.size() <= (hex ? 16u : 20u);
    for (char c : digits)
      ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)));
    if (!ok) bad(where, "\"" + s + "\" is not a number");
    try {
      v = std::stoull(digits, nullptr, hex ? 16 : 10);
    } catch (const std::exception &) {
      bad(where, "\"" + s + "\" is out of range");
    }
  } else {
    bad(where, "expected an unsigned number or a string such as \"0x1f\"");
  }
  if (v > max) bad(where, "value " + std::to_string(v) + " is out of range (at most " + std::to_string(max) + ")");
  return v;
}

bool flag(const json &j, const std::string &where) {
  if (!j.is_boolean()) bad(where, "expected true or false");
  return j.get<bool>();
}

std::string text(const json &j, const std::string &where) {
  if (!j.is_string()) bad(where, "expected a string");
  return j.get<std::string>();
}

std::string text(const json &j, const std::string &where, size_t width) {
  std::string s = text(j, where);
  if (s.size() > width)
    bad(where, "\"" + s + "\" is " + std::to_string(s.size()) + " characters long, at most " + std::to_string(width));
  return s;
}

}  // namespace sim::desc

// Reading machine descriptions: the field checks every section uses. Every error is a
// std::runtime_error "<where>: <what>", where `where` names the place ("storage.disks[2].pdo").
#pragma once
#ifndef _WIN32

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace sim::desc {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string &where, const std::string &what);
// `j` must be an object whose fields are all in `allowed`.
void check_fields(const json &j, const std::string &where, std::initializer_list<const char *> allowed);
void check_fields(const json &j, const std::string &where, const std::vector<std::string> &allowed);
// A JSON unsigned integer, or a string in decimal or hexadecimal ("0x1f"), at most `max`.
uint64_t number(const json &j, const std::string &where, uint64_t max);
bool flag(const json &j, const std::string &where);
std::string text(const json &j, const std::string &where);
// A string that fills a field of `width` characters (a drive's model, serial, revision...): a
// longer one is refused with its length and the width, never cut.
std::string text(const json &j, const std::string &where, size_t width);

}  // namespace sim::desc

#endif  // _WIN32

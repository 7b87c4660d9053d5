#include "tests/support/test_machine.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace testsupport {

std::string test_machine_path(const std::string &name) { return std::string(TEST_MACHINES_DIR "/") + name + ".json"; }

namespace {

// The file's description, on top of the one it names as its "base" (at most `depth` more).
nlohmann::json read_machine(const std::string &name, int depth) {
  const std::string path = test_machine_path(name);
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  nlohmann::json machine = nlohmann::json::parse(file, nullptr, false);
  if (machine.is_discarded()) throw std::runtime_error(path + ": not JSON");
  if (!machine.is_object() || !machine.contains("base")) return machine;
  if (!machine["base"].is_string()) throw std::runtime_error(path + ": \"base\" is not a machine name");
  if (depth == 0) throw std::runtime_error(path + ": too many bases (a cycle?)");
  nlohmann::json base = read_machine(machine["base"].get<std::string>(), depth - 1);
  machine.erase("base");
  merge_machine(base, machine);
  return base;
}

}  // namespace

nlohmann::json test_machine(const std::string &name, const nlohmann::json &overlay) {
  nlohmann::json machine = read_machine(name, 8);
  merge_machine(machine, overlay);
  return machine;
}

namespace {

// Whether every element of `array` is an object with an "id".
bool keyed_by_id(const nlohmann::json &array) {
  if (!array.is_array()) return false;
  for (const nlohmann::json &e : array)
    if (!e.is_object() || !e.contains("id")) return false;
  return true;
}

}  // namespace

void merge_machine(nlohmann::json &base, const nlohmann::json &overlay) {
  if (overlay.is_null()) return;
  if (base.is_object() && overlay.is_object()) {
    for (auto it = overlay.begin(); it != overlay.end(); ++it)
      if (base.contains(it.key()))
        merge_machine(base[it.key()], it.value());
      else
        base[it.key()] = it.value();
    return;
  }
  if (keyed_by_id(base) && keyed_by_id(overlay)) {
    for (const nlohmann::json &element : overlay) {
      auto same = std::find_if(base.begin(), base.end(), [&](const nlohmann::json &b) { return b["id"] == element["id"]; });
      if (same != base.end())
        merge_machine(*same, element);
      else
        base.push_back(element);
    }
    return;
  }
  base = overlay;
}

}  // namespace testsupport

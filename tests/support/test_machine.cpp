#include "tests/support/test_machine.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace testsupport {

std::string test_machine_path(const std::string &name) { return std::string(TEST_MACHINES_DIR "/") + name + ".json"; }

nlohmann::json test_machine(const std::string &name, const nlohmann::json &overlay) {
  const std::string path = test_machine_path(name);
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  nlohmann::json machine = nlohmann::json::parse(file, nullptr, false);
  if (machine.is_discarded()) throw std::runtime_error(path + ": not JSON");
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

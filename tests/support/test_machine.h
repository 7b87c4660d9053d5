// Machines that several suites share live as files in tests/machines/<name>.json. A test loads one
// by name and states inline only what it varies, as an overlay merged into the file's description:
//
//   sim::load_machine_json(testsupport::test_machine("four_routes",
//       {{"storage", {{"disks", {{{"id", "scsi0"}, {"scsi", {{"peripheral_type", 13}}}}}}}}}).dump());
//
// A file may itself be stated as an overlay of another file of the folder: "base": "four_routes"
// (the rest of the file merged into that one).
//
// Merging: objects merge key by key; an array of objects whose every element has an "id" merges
// element by element with the file's element of the same id (an unknown id is appended); any other
// value replaces the file's.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace testsupport {

// Full path of tests/machines/<name>.json.
std::string test_machine_path(const std::string &name);
// The description in that file with `overlay` merged in; throws std::runtime_error when the file is
// missing or not JSON.
nlohmann::json test_machine(const std::string &name, const nlohmann::json &overlay = nullptr);
// `overlay` merged into `base` as above.
void merge_machine(nlohmann::json &base, const nlohmann::json &overlay);

}  // namespace testsupport

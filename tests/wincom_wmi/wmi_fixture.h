// The machine and COM set-up shared by the WMI suites: a machine loaded, the test thread in the
// multithreaded apartment, the library's log captured, and WMI fault rules by function.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/wmi.h"
#include "support/huld_error_line.h"
#include "support/log_capture.h"

class WmiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::register_storage_section();
    sim::load_machine_file(sim::machine_file_path("ref1"));
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoUninitialize();
    sim::reset_machine();
  }

  // A rule on one WMI call ("ConnectServer", "ExecQuery", "Next", "Get"): fails it with `error`
  // (an HRESULT), or with the custom action `custom` when given.
  static int fault(const char *function, sim::FaultCount count, DWORD error, const char *custom = nullptr,
                   const char *class_name = nullptr) {
    sim::FaultRule r;
    r.match.op = sim::FaultOp::other;
    r.match.keys = {{"api", "wmi"}, {"function", function}};
    if (class_name) r.match.keys["class"] = class_name;
    r.match.count = count;
    r.action = custom ? sim::FaultAction::custom_action(custom) : sim::FaultAction::fail_with(error);
    return sim::add_fault(r);
  }
  static int com_fault(const char *function, DWORD error) {
    sim::FaultRule r;
    r.match.op = sim::FaultOp::other;
    r.match.keys = {{"api", "com"}, {"function", function}};
    r.action = sim::FaultAction::fail_with(error);
    return sim::add_fault(r);
  }

  static std::string &log() { return testsupport::captured_log(); }

  // Loads the reference machine again with `change` applied to its description; loading leaves
  // the thread without COM, so it joins the apartment again.
  template <class Change>
  void reload(Change change) {
    nlohmann::json description = sim::machine_description();
    change(description);
    sim::load_machine_json(description.dump());
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  // The description entry in `list` whose "id" is `id`.
  static nlohmann::json &entry(nlohmann::json &list, const std::string &id) {
    for (nlohmann::json &e : list)
      if (e.value("id", "") == id) return e;
    throw std::runtime_error("no entry " + id);
  }

  huld_error err_{};

 private:
  testsupport::log_capture log_{HULD_LOG_DEBUG};
};

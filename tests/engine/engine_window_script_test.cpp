// Whole runs with the window, played by the machine's "ui" script: the script's steps fire at
// their machine times since the run started, and a Dedi window whose update cannot start can
// still be left.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint8_t kMonb = 1, kGeneric = 0, kDedi = 2;
constexpr uint32_t kFailed = 6;
const std::string kModel = "CORVANE CVN-512";

// One NVMe drive on the in-box driver whose commands take machine time, and this script.
std::string timed_nvme_machine(const std::string &ui) {
  std::string m = machine(
      "win10", {kInboxNvme},
      {nvme_disk("nvme0", "nvme", 0, kModel, "CN100001",
                 R"(, "activation": "commit",
                    "timing": {"command_ms": 3, "download_ms": 20, "activate_ms": 700})")});
  m.insert(m.size() - 1, R"(, "ui": )" + ui);
  return m;
}

Run monb_run(const std::string &ui, uint8_t customer, std::function<void()> prepare = {}) {
  const bytes record = pkgtest::monb_record(kModel, "CN100001", "CN100002", "fw.img");
  return {timed_nvme_machine(ui),
          pkgtest::fwconfig(kMonb, 1, record, customer),
          {{"fw.img", image(ImageTarget::Nvme, "CN100002")}},
          "",
          std::move(prepare)};
}

using Fired = std::vector<std::pair<size_t, uint64_t>>;

// Start at 1,000 ms and Exit long after the update: each step waits for its own moment (the
// window appears at once, so a script running ahead of the run would press both together, Exit
// before Start took it away, and the run would wait for ever).
TEST(EngineWindowScript, StepsFireAtTheirTimesSinceTheRunStarted) {
  const Outcome out = run(monb_run(R"([{"click": "Start", "when": {"after_ms": 1000}},
                                       {"click": "Exit", "when": {"after_ms": 600000}}])",
                                   kGeneric));
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_GE(out.window_created_ms, 0);
  EXPECT_LT(out.window_created_ms, 1000);  // the scan's commands take a few milliseconds
  EXPECT_EQ(out.script, (Fired{{0, 1000}, {1, 600000}})) << out.log;
  EXPECT_EQ(out.window_destroyed_ms, 600000);
  EXPECT_EQ(out.drive("@nvme0")["revision"], "CN100002");
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(orbu_test::find_in_order(out.log, {"Button clicked - 0000h.",
                                               "Successfully updated from firmware CN100001 to "
                                               "CN100002",
                                               "Enabling Exit button and Close control",
                                               "Button clicked - 0063h.",
                                               "User has selected to exit via the exit control."}),
            "");
}

// The Dedi window starts its update by itself and keeps Exit for the end. When the control
// thread cannot start, Exit is offered at once, the row shows the failure, and the run reports
// the device failed.
TEST(EngineWindowScript, DediWindowCanBeLeftWhenItsUpdateCannotStart) {
  // The second step ends a run whose Exit never comes back; a sound run never reaches it.
  const std::string ui = R"([{"click": "Exit", "when": {"text": "Firmware update FAILED."}},
                             {"wm_close": true, "when": {"after_ms": 600000}}])";
  const Outcome out =
      run(monb_run(ui, kDedi, [] { sim::app_knobs().fail_thread_create_at = 1; }));
  ASSERT_EQ(out.failure, "") << out.log;
  ASSERT_GE(out.window_created_ms, 0);
  const uint64_t shown = static_cast<uint64_t>(out.window_created_ms);
  EXPECT_EQ(out.script, (Fired{{0, shown}})) << out.log;
  EXPECT_EQ(out.window_destroyed_ms, out.window_created_ms);
  ASSERT_EQ(out.states.size(), 1u);
  EXPECT_EQ(out.states[0].second, kFailed);
  EXPECT_EQ(out.summary, "0/0/1/0");
  EXPECT_EQ(out.exit_code, 1);  // Dedi: every applicable device failed
  EXPECT_EQ(out.drive("@nvme0")["revision"], "CN100001");
  EXPECT_EQ(out.drive("@nvme0")["activations"], 0);
  EXPECT_EQ(orbu_test::find_in_order(out.log, {"    Customer: Dedi",
                                               "Failed to start the device update control thread.",
                                               "Button clicked - 0063h.",
                                               "User has selected to exit via the exit control.",
                                               "Tool was unsuccessful in updating applicable "
                                               "device firmware."}),
            "")
      << out.log;
}

}  // namespace

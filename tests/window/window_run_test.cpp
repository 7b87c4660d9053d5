// Window runs of every variant over a prepared device table: rows, texts, buttons, Exit and
// Close while devices are busy, and each variant's way of closing.
#include <gtest/gtest.h>

#include "orbu/orbu_main.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/window.h"
#include "test_engine.h"

namespace {

using namespace window_test;

constexpr uint32_t kReady = ORBU_STATE_READY;

Device device(const std::string &name, uint32_t state = kReady,
              std::vector<uint32_t> outcomes = {ORBU_STATE_UPDATED}) {
  Device d;
  d.name = name;
  d.state = state;
  d.outcomes = std::move(outcomes);
  return d;
}

Outcome run(const Spec &r) {
  Outcome o = window_test::run_window(r);
  EXPECT_EQ(o.result.failure, "");
  return o;
}

TEST(WindowRun, GenericRowsAndTwoStartsSideBySideWithOneDriveFailing) {
  Spec r;
  r.devices = {device("A"), device("B", kReady, {ORBU_STATE_FAILED}),
               device("C", ORBU_STATE_NOT_APPLICABLE), device("D", ORBU_STATE_IGNORED)};
  r.ui = json::array({json{{"click", 0}}, json{{"click", 1}},
                      json{{"click", "Exit"}, {"when", {{"text", "Firmware update FAILED."}}}}});
  Outcome o = run(r);
  auto &seen = o.result.seen;
  EXPECT_EQ(seen["height"], "372");  // 50 + 117 + 75 + 75 + 55
  ASSERT_EQ(seen["rows"], "3");
  EXPECT_EQ(seen["row0"],
            "A @30,60,500x50 bold | Firmware update to revision FW1 successful. | 100% complete | "
            "Start 0 (hidden) | bar 100/100 @30,100,350x20");
  EXPECT_EQ(seen["row1"],
            "B @30,135,500x50 bold | Firmware update FAILED. | 100% complete | Start 1 (hidden) | "
            "bar 100/100 @30,175,350x20 red");
  EXPECT_EQ(seen["row2"], "C @30,210,500x50 bold | Update C");
  EXPECT_EQ(seen["exit_button"], "400,280,100x25");
  // Exit went off with the first Start and came back once both updates had ended.
  EXPECT_EQ(seen["exit_toggles"], "01");
  EXPECT_EQ(seen["progress_while_exit_enabled"], "0");
  EXPECT_NE(seen["progress_events"], "0");
  EXPECT_EQ(o.states, (std::vector<uint32_t>{ORBU_STATE_UPDATED, ORBU_STATE_FAILED,
                                             ORBU_STATE_NOT_APPLICABLE, ORBU_STATE_IGNORED}));
  EXPECT_EQ(o.workers, (std::vector<int>{1, 1, 0, 0}));
  EXPECT_EQ(o.result.exit_code, 2);  // generic: partly successful
  EXPECT_EQ(find_in_order(o.log, {"Button clicked - 0000h.",
                                  "Disabling Exit button and Close control during update.",
                                  "Button clicked - 0001h.", "Beginning update on B.",
                                  "Device B operation result: Firmware update FAILED.",
                                  "Enabling Exit button and Close control now that updates are "
                                  "complete.",
                                  "User has selected to exit via the exit control."}),
            "")
      << o.log;
  EXPECT_EQ(o.log.find("Disabling Exit", o.log.find("Button clicked - 0001h.")), std::string::npos);
}

TEST(WindowRun, StartPressedTwiceUpdatesOnce) {
  Spec r;
  r.devices = {device("A")};
  r.ui = json::array({json{{"click", "Exit"},
                           {"when", {{"text", "Firmware update to revision FW1 successful."}}}}});
  r.driver = [](orbu_test::Observations &seen) {
    HWND window = sim::wait_for_window_class("DesktopApplicationMainWindow", 10000);
    std::optional<sim::WindowInfo> start;
    sim::wait_until([&] { return (start = sim::control(window, 0)).has_value(); }, 10000);
    if (!start) {
      seen["driver"] = "no Start button";
      sim::post_close();
      return;
    }
    // Two clicks posted back to back. The window thread may handle the first before the second
    // arrives; taking part in the clock keeps machine time still until both are posted, so the
    // second always comes while the update runs and never after it has ended.
    sim::SimulatedThread hold_time;
    for (int i = 0; i < 2; i++)
      PostMessageA(window, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                   reinterpret_cast<LPARAM>(start->hwnd));
  };
  Outcome o = run(r);
  EXPECT_EQ(o.result.seen["driver"], "");
  EXPECT_EQ(o.workers, std::vector<int>{1});
  EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_UPDATED});
  EXPECT_EQ(find_in_order(o.log, {"Button clicked - 0000h.", "Button clicked - 0000h.",
                                  "Device update thread completed."}),
            "");
  EXPECT_EQ(o.log.find("Beginning update"), o.log.rfind("Beginning update")) << o.log;
}

TEST(WindowRun, MultiStepUpdatesRunEveryStepThroughTheStartButton) {
  Spec r;
  Device single = device("M");
  single.unreadable_after_last_step = true;
  Device three = device("T");
  three.step_count = 3;
  Device failing = device("N", kReady, {ORBU_STATE_UPDATED, ORBU_STATE_FAILED});
  failing.step_count = 3;
  r.devices = {single, three, failing};
  r.ui = json::array({json{{"click", 0}}, json{{"click", 1}}, json{{"click", 2}},
                      json{{"click", "Exit"},
                           {"when", {{"text", "Firmware update FAILED. (Step 2/3)"}}}}});
  Outcome o = run(r);
  auto &seen = o.result.seen;
  EXPECT_EQ(o.workers, (std::vector<int>{1, 3, 2}));
  // The device that could not be read again after its last step stays updated, under its name.
  EXPECT_EQ(o.states,
            (std::vector<uint32_t>{ORBU_STATE_UPDATED, ORBU_STATE_UPDATED, ORBU_STATE_FAILED}));
  EXPECT_EQ(seen["row0"].substr(0, seen["row0"].find(" | 100%")),
            "M @30,60,500x50 bold | Firmware update to revision FW1 successful.");
  EXPECT_NE(seen["row1"].find("| Firmware update to revision FW1 successful. |"), std::string::npos);
  EXPECT_NE(seen["row2"].find("| Firmware update FAILED. (Step 2/3) |"), std::string::npos);
  EXPECT_NE(seen["row2"].find(" red"), std::string::npos);
  EXPECT_NE(seen["step_texts"].find("Step 2: Updating from FW0 to FW1...|"), std::string::npos);
  EXPECT_NE(seen["step_texts"].find("Step 3: Updating from FW0 to FW1...|"), std::string::npos);
  EXPECT_EQ(find_in_order(o.log, {"Device M remains updated; it could not be identified again "
                                  "after its last step."}),
            "")
      << o.log;
}

TEST(WindowRun, DuzoriListsReadyDevicesUpdatesOneStepEachAndClosesItself) {
  Spec r;
  r.variant = Variant::duzori;
  Device multi = device("C", kReady, {ORBU_STATE_REBOOT_REQUIRED});
  multi.step_count = 3;
  r.devices = {device("A"), device("B", ORBU_STATE_NOT_APPLICABLE), multi};
  Outcome o = run(r);
  auto &seen = o.result.seen;
  EXPECT_EQ(seen["height"], "297");  // 30 + 117 + 75 + 75
  EXPECT_EQ(seen["destroyed"], "1");
  ASSERT_EQ(seen["rows"], "2");
  EXPECT_EQ(seen["row0"], "A @30,40,500x30 bold | Firmware update successful. | 100% complete | "
                          "bar 100/100 @30,80,350x20");
  EXPECT_EQ(seen["row1"].substr(0, seen["row1"].find(" | bar")),
            "C @30,115,500x30 bold | Firmware update requires reboot. | 100% complete");
  EXPECT_EQ(seen["exit_toggles"], "01");
  EXPECT_EQ(seen["progress_while_exit_enabled"], "0");
  EXPECT_EQ(o.workers, (std::vector<int>{1, 0, 1}));  // the control thread runs one step
  EXPECT_EQ(find_in_order(o.log, {"Starting device update thread 0  on device A.",
                                  "Device 1 skipped, device was not ready for update.",
                                  "Device update thread 2 on device C completed.",
                                  "Sending a message to shut down the GUI now that updates are "
                                  "complete.",
                                  "User has selected to exit via standard window destruction.",
                                  "Device update control thread completed."}),
            "")
      << o.log;
}

TEST(WindowRun, DediIgnoresCloseWhileBusyAndWaitsForExit) {
  Spec r;
  r.variant = Variant::dedi;
  r.devices = {device("A"), device("B", ORBU_STATE_NOT_APPLICABLE)};
  // A forged Start click first (the control thread owns every device of this variant), posted by
  // the script so that it lands on the machine's clock while the window is up.
  r.ui = json::array({json{{"command", 0}},
                      json{{"wm_close", true}, {"when", {{"text", "50% complete"}}}},
                      json{{"system_close", true}, {"when", {{"text", "75% complete"}}}},
                      json{{"click", "Exit"}, {"when", {{"text", "Firmware update successful."}}}}});
  Outcome o = run(r);
  auto &seen = o.result.seen;
  EXPECT_EQ(o.workers, (std::vector<int>{1, 0}));
  EXPECT_EQ(find_in_order(o.log, {"Button clicked - 0000h.", "Unrecognized button click."}), "");
  EXPECT_EQ(seen["rows"], "2");  // every device that is not ignored
  EXPECT_EQ(seen["destroyed"], "1");
  EXPECT_EQ(o.states, (std::vector<uint32_t>{ORBU_STATE_UPDATED, ORBU_STATE_NOT_APPLICABLE}));
  EXPECT_EQ(find_in_order(o.log, {"Device A operation result: Firmware update successful.",
                                  "Enabling Exit button and Close control now that updates are "
                                  "complete.",
                                  "User has selected to exit via the exit control."}),
            "")
      << o.log;
  // The Exit click may come before the control thread's last line; the summary waits for it.
  EXPECT_EQ(find_in_order(o.log, {"Device update control thread completed.",
                                  "Update application complete."}),
            "")
      << o.log;
  EXPECT_EQ(o.log.find("Sending a message to shut down"), std::string::npos);
}

TEST(WindowRun, VariantsThatStartByThemselvesNeverOfferExitBeforeTheUpdate) {
  for (Variant variant : {Variant::dedi, Variant::duzori}) {
    Spec r;
    r.variant = variant;
    r.devices = {device("A")};
    if (variant == Variant::dedi)
      r.ui = json::array({json{{"click", "Exit"}, {"when", {{"text", "Firmware update successful."}}}}});
    Outcome o = run(r);
    EXPECT_EQ(o.result.seen["exit_created"], "disabled");
    EXPECT_EQ(o.result.seen["exit_toggles"], "01");
    EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_UPDATED});
  }
}

// A row whose Start was never pressed keeps its percent label hidden under the button; the Close
// item was greyed (not merely disabled) while the other row was busy.
TEST(WindowRun, UnstartedRowHidesItsPercentAndCloseIsGreyedWhileBusy) {
  Spec r;
  r.devices = {device("A"), device("B")};
  r.ui = json::array({json{{"click", 0}},
                      json{{"click", "Exit"},
                           {"when", {{"text", "Firmware update to revision FW1 successful."}}}}});
  Outcome o = run(r);
  auto &seen = o.result.seen;
  EXPECT_EQ(seen["row1"], "B @30,135,500x50 bold | Update B | 0% complete (hidden) | Start 1 | "
                          "bar 0/100 @30,175,350x20");
  EXPECT_EQ(seen["close_menu"], "grayed disabled|enabled|");
  EXPECT_EQ(o.states, (std::vector<uint32_t>{ORBU_STATE_UPDATED, ORBU_STATE_READY}));
}

// Between two steps the device can no longer be identified: it fails with the step it reached.
TEST(WindowRun, MultiStepDeviceThatNoLongerMatchesFailsWithItsStep) {
  Spec r;
  Device lost = device("L");
  lost.step_count = 3;
  lost.unreadable_after_last_step = true;  // every re-read fails, the first one between steps
  r.devices = {lost};
  r.ui = json::array({json{{"click", 0}},
                      json{{"click", "Exit"},
                           {"when", {{"text", "Firmware update FAILED. (Step 1/3)"}}}}});
  Outcome o = run(r);
  EXPECT_EQ(o.workers, std::vector<int>{1});
  EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_FAILED});
  EXPECT_NE(o.result.seen["row0"].find("| Firmware update FAILED. (Step 1/3) |"), std::string::npos)
      << o.result.seen["row0"];
}

TEST(WindowRun, StartIdsFromNinetyNineOnAreOffsetPastExit) {
  Spec r;
  for (int i = 0; i < 99; i++) r.devices.push_back(device("n" + std::to_string(i), ORBU_STATE_IGNORED));
  r.devices.push_back(device("last"));
  r.ui = json::array({json{{"click", 1099}},
                      json{{"click", 99}, {"when", {{"text", "Firmware update to revision FW1 successful."}}}}});
  Outcome o = run(r);
  EXPECT_EQ(o.result.seen["row0"].substr(0, 4), "last");
  EXPECT_NE(o.result.seen["row0"].find("Start 1099"), std::string::npos);
  EXPECT_EQ(o.states.back(), ORBU_STATE_UPDATED);
  EXPECT_EQ(find_in_order(o.log, {"Button clicked - 044bh.", "Button clicked - 0063h.",
                                  "User has selected to exit via the exit control."}),
            "");
}

}  // namespace

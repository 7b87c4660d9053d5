// Window runs with failing thread creation and device-table mutex waits: the device fails, the
// row says so, and Exit comes back.
#include <gtest/gtest.h>

#include "orbu/orbu_main.h"
#include "test_engine.h"

namespace {

using namespace window_test;

// One generic run of a two-step device whose Start is pressed, with the given knobs; Exit is
// pressed once the row shows `result`.
Outcome start_one(std::function<void(sim::AppKnobs &)> knobs, const std::string &result) {
  Spec r;
  Device d;
  d.name = "A";
  d.step_count = 2;
  r.devices = {d};
  r.knobs = std::move(knobs);
  r.ui = json::array({json{{"click", 0}}, json{{"click", "Exit"}, {"when", {{"text", result}}}}});
  Outcome o = window_test::run_window(r);
  EXPECT_EQ(o.result.failure, "");
  EXPECT_EQ(o.result.seen["destroyed"], "1") << "Exit did not close the window";
  EXPECT_EQ(o.result.seen["exit_toggles"], "01");
  return o;
}

TEST(WindowFaults, ThreadsThatCannotStartFailTheirDevice) {
  // The single-device thread (first CreateThread), then the worker (second).
  for (int at : {1, 2}) {
    Outcome o = start_one([at](sim::AppKnobs &k) { k.fail_thread_create_at = at; },
                          at == 1 ? "Firmware update FAILED." : "Firmware update FAILED. (Step 1/2)");
    EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_FAILED}) << at;
    EXPECT_EQ(o.workers, std::vector<int>{0}) << at;
    EXPECT_NE(o.result.seen["row0"].find(" red"), std::string::npos) << at;
    EXPECT_EQ(find_in_order(o.log, {"Failed to start the update thread for device A.",
                                    "Enabling Exit button and Close control now that updates are "
                                    "complete."}),
              "")
        << o.log;
  }
}

TEST(WindowFaults, DeviceTableMutexWaits) {
  // The claim's wait fails: nothing runs, the device fails.
  Outcome o = start_one([](sim::AppKnobs &k) { k.fail_mutex_wait_at = 1; },
                        "Firmware update FAILED.");
  EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_FAILED});
  EXPECT_EQ(o.workers, std::vector<int>{0});
  EXPECT_EQ(find_in_order(o.log, {"Application deadlock - fail operation Update A on device A.",
                                  "Please attempt to run the application again to update firmware.",
                                  "Enabling Exit button"}),
            "");
  // The thread never began its update, so it does not log its end either.
  EXPECT_EQ(o.log.find("Device update thread completed."), std::string::npos) << o.log;

  // The wait between the steps fails: the first step's success does not count.
  o = start_one([](sim::AppKnobs &k) { k.fail_mutex_wait_at = 2; }, "Firmware update FAILED.");
  EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_FAILED});
  EXPECT_EQ(o.workers, std::vector<int>{1});
  EXPECT_NE(o.result.seen["row0"].find(" red"), std::string::npos);
  EXPECT_EQ(find_in_order(o.log, {"Application deadlock - fail operation"}), "");

  // An abandoned mutex is acquired all the same.
  o = start_one([](sim::AppKnobs &k) { k.abandon_mutex_wait_at = 1; },
                "Firmware update to revision FW1 successful.");
  EXPECT_EQ(o.states, std::vector<uint32_t>{ORBU_STATE_UPDATED});
  EXPECT_EQ(o.workers, std::vector<int>{2});
}

}  // namespace

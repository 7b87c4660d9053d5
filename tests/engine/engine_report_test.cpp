// What a whole run tells about the steps of an update: the error record of each failed support
// query in the log, and the progress the window's bars show step by step.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <vector>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

// Both DOWNLOAD MICROCODE support queries read the capabilities page once each, after the two
// reads of the transfer limits: the third read fails with one error, the fourth with another.
// Each query's own record follows its line; the update goes on despite the unclear answers.
TEST(EngineReport, EachFailedSupportQueryLogsItsOwnErrorRecord) {
  const Outcome out =
      run({machine("win10", {kInboxAhci},
                   {ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001")},
                   {R"({"drive": "sata0", "ata_command": "0x2f", "count": {"nth": 3},
                        "action": {"status": "0x51", "error": "0x10"}})",
                    R"({"drive": "sata0", "ata_command": "0x2f", "count": {"nth": 4},
                        "action": {"status": "0x51", "error": "0x40"}})"}),
           pkgtest::fwconfig(1, 1, pkgtest::monb_record("CORVANE CVS-256", "CS100001", "CS100002",
                                                        "fw.img")),
           {{"fw.img", image(ImageTarget::Ata, "CS100002")}}, "/s"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(orbu_test::find_in_order(
                out.log, {"FW: CS100001 failed to report deferred download support.",
                          "error code:    6", "error subcode: 20752",  // 51h << 8 | 10h
                          "message: device error detected, status 51h, error 10h",
                          "FW: CS100001 failed to report deferred activation support.",
                          "error code:    6", "error subcode: 20800",  // 51h << 8 | 40h
                          "message: device error detected, status 51h, error 40h",
                          "Attempting deferred download followed by activation on device SN: "
                          "SN-sata0 - MN: CORVANE CVS-256 - FW: CS100001 despite unclear support.",
                          "Successfully updated from firmware CS100001 to CS100002"}),
            "")
      << out.log;
  EXPECT_EQ(out.drive("@sata0")["revision"], "CS100002");
}

// A Dedi window run on the default machine, both drives slow enough (600 ms a command, a piece,
// an activation) that every value a flow publishes outlasts a poll of the control thread (500 ms):
// each bar shows exactly the steps' spans, never moving back.
// - NVMe, forced activation: download 0-85 % (pieces of 8192 of 20000 bytes: 34, 69, 85), commit
//   85-90 %, the first verify reads the old revision, bus reset 90-95 %, verify again, 100 %.
// - ATA whose deferred download fails at its second piece: deferred download 0-50 % (20 after
//   the first piece), the fallback with offsets 50-95 % (50, 68, 86, 95), 100 %.
TEST(EngineReport, ProgressBarsFollowEachStepsSpan) {
  std::ifstream file(sim::machine_file_path("default"));
  nlohmann::json m = nlohmann::json::parse(file);
  const nlohmann::json slow = {{"command_ms", 600}, {"download_ms", 600}, {"activate_ms", 600}};
  m["storage"]["disks"][0]["nvme"]["activation"] = "reset";
  m["storage"]["disks"][0]["nvme"]["timing"] = slow;
  m["storage"]["disks"][1]["ata"]["timing"] = slow;
  m["faults"] = {{{"drive", "sata0"}, {"ata_command", "0x92"}, {"feature", "0x0e"},
                  {"count", {{"nth", 2}}}, {"action", {{"status", "0x51"}, {"error", 4}}}}};
  m["ui"] = {{{"click", "Exit"}, {"when", {{"progress_full", true}}}}};
  const bytes config = pkgtest::fwconfig(
      1, 2,
      pkgtest::concat({pkgtest::monb_record("CORVANE CVN-512", "CN100001", "CN100002", "n.img"),
                       pkgtest::monb_record("CORVANE CVS-256", "CS100001", "CS100002", "a.img")}),
      2);
  const Outcome out = run({m.dump(), config,
                           {{"n.img", image(ImageTarget::Nvme, "CN100002")},
                            {"a.img", image(ImageTarget::Ata, "CS100002")}},
                           ""});
  ASSERT_EQ(out.failure, "") << out.log;
  ASSERT_EQ(orbu_test::find_in_order(out.log, {"Trying a bus reset to force activation",
                                               "successfully completed reset.",
                                               "falling back to immediate download with offsets."}),
            "")
      << out.log;
  // Positions by bar, in the order the bars were created (one row per drive, NVMe first).
  std::vector<std::string> bars;
  std::map<std::string, std::vector<int>> positions;
  for (const nlohmann::json &event : out.window) {
    if (event["event"] == "created" && event["class"] == "msctls_progress32")
      bars.push_back(event["window"]);
    if (event["event"] == "progress_pos") positions[event["window"]].push_back(event["pos"]);
  }
  ASSERT_EQ(bars.size(), 2u);
  EXPECT_EQ(positions[bars[0]], (std::vector<int>{34, 69, 85, 90, 95, 100}));
  EXPECT_EQ(positions[bars[1]], (std::vector<int>{20, 50, 68, 86, 95, 100}));
  EXPECT_EQ(out.summary, "0/2/0/0") << out.log;
}

}  // namespace

// A silent run on drives whose activation outlasts the tool's 30-second time-out: the NVMe
// commit, sent with that time-out, fails on every try and the drive keeps its firmware; the SATA
// activation, a storage firmware request without a time-out field, takes its whole time and
// succeeds. The tool sends no pass-through or protocol command with a time-out of 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "sim/drives/fw_image.h"
#include "tests/package/package_writer.h"

#ifdef ORBU_EXE_PATH

namespace {

using json = nlohmann::json;
using namespace pkgtest;
namespace fs = std::filesystem;

TEST(TimeoutRun, ActivationPastTheTimeOutFailsWhereTheRequestCarriesOne) {
  if (!fs::exists(ORBU_EXE_PATH)) GTEST_SKIP() << "the tool is not built";
  temp_dir dir;
  const bytes records = concat({monb_record("CORVANE CVN-512", "CN100001", "CN100002", "n.img"),
                                monb_record("CORVANE CVS-256", "CS100001", "CS100002", "s.img")});
  write_file(dir.file("tool"),
             package_bytes(read_file(ORBU_EXE_PATH),
                           {{"n.img", sim::make_test_image(sim::ImageTarget::Nvme, "CN100002", 20000)},
                            {"s.img", sim::make_test_image(sim::ImageTarget::Ata, "CS100002", 20000)},
                            {"fwconfig", fwconfig(1, 2, records)}}));
  fs::permissions(dir.file("tool"), fs::perms::owner_all);
  const json slow = {{"command_ms", 3}, {"download_ms", 20}, {"activate_ms", 31000}};
  const json machine = {
      {"os", {{"major", 10}, {"minor", 0}, {"build", 19045}, {"product_type", "workstation"}}},
      {"storage",
       {{"adapters", {{{"id", "nvme"}, {"personality", "inbox_nvme"}}, {{"id", "ahci"}, {"personality", "inbox_ahci"}}}},
        {"disks",
         {{{"id", "n"}, {"adapter", "nvme"},
           {"nvme", {{"model", "CORVANE CVN-512"}, {"serial", "N1"}, {"firmware", "CN100001"}, {"activation", "commit"},
                     {"timing", slow}}}},
          {{"id", "s"}, {"adapter", "ahci"},
           {"ata", {{"model", "CORVANE CVS-256"}, {"serial", "S1"}, {"firmware", "CS100001"}, {"timing", slow}}}}}}}}};
  std::ofstream(dir.file("machine.json")) << machine.dump();
  const run_result r = run_shell("cd " + shell_quote(dir.path().string()) +
                                 " && ORBU_SIM_MACHINE=machine.json ORBU_SIM_STATE_OUT=state.json"
                                 " ORBU_SIM_TRACE_OUT=trace.jsonl ORBU_SIM_UI_OUT= timeout 60 ./tool /s /log=run.log");
  EXPECT_EQ(2, r.exit_code) << r.output;  // partial: one updated, one failed

  std::ifstream state_file(dir.file("state.json"));
  const json state = json::parse(state_file, nullptr, false);
  ASSERT_TRUE(state.is_object()) << r.output;
  const json &n = state["drives"][0];
  EXPECT_EQ("CN100001", n["revision"]);
  EXPECT_TRUE(n["pending"].is_null());
  EXPECT_EQ(3, n["timeouts"]) << "three tries";
  EXPECT_EQ(3, n["bus_resets"]);
  const json &s = state["drives"][1];
  EXPECT_EQ("CS100002", s["revision"]);
  EXPECT_EQ(0, s["timeouts"]);
  for (const char *kind : {"scsi_pass_through", "ata_pass_through", "protocol_command"})
    EXPECT_EQ(0, state["zero_timeouts"][kind]) << kind;

  // Each commit took the 30 seconds the tool gave it.
  std::ifstream trace(dir.file("trace.jsonl"));
  int timed_out = 0;
  for (std::string line; std::getline(trace, line);) {
    const json t = json::parse(line);
    if (!t.contains("notes") || !t["notes"].contains("timed_out_after_ms")) continue;
    ++timed_out;
    EXPECT_EQ("FIRMWARE", t["miniport"]["signature"]);
    EXPECT_EQ(30, t["timeout"]);
    EXPECT_EQ("30000", t["notes"]["timed_out_after_ms"]);
    EXPECT_EQ(ERROR_SEM_TIMEOUT, t["error"]);
  }
  EXPECT_EQ(3, timed_out);
}

}  // namespace

#endif

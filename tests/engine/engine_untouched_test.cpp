// Whole runs in which no drive is to be updated: whatever goes wrong around the updates, a drive
// that received no image is never reported as waiting for a reboot, and a drive's own text never
// makes a package record apply to it.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kNotApplicable = 9, kIgnored = 11;
constexpr uint8_t kMonb = 1, kDfmonmb = 4, kDuzori = 1;

// REF-1 whose two NVMe RAID members behind Intel RST refuse their second Set Features: the one
// that writes their stored APST settings back after the updates.
std::string ref1_failing_apst_restore() {
  std::ifstream file(sim::machine_file_path("ref1"));
  nlohmann::json ref1 = nlohmann::json::parse(file);
  for (const char *member : {"N1", "N2"})
    ref1["faults"].push_back({{"drive", member}, {"nvme_opcode", "0x09"}, {"count", {{"nth", 2}}},
                              {"action", {{"status", "0x6"}}}});
  return ref1.dump();
}

// Both runs save and restore APST (the Duzori variant) and update nothing: a package that applies
// to no drive, and the command line without a target. The failed restores are logged, yet every
// record keeps its state, so the run ends "nothing applicable" (the variant's failure).
TEST(EngineUntouched, FailedApstRestoreLeavesUntouchedDrivesAsTheyWere) {
  const struct {
    const char *name;
    bytes config;
  } cases[] = {
      {"package for no drive",
       pkgtest::fwconfig(kMonb, 1,
                         pkgtest::monb_record("SIM NVME NONE", "SIM10001", "SIM10002", "fw.img"),
                         kDuzori)},
      {"command line without a target", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = run({ref1_failing_apst_restore(), c.config,
                             {{"fw.img", image(ImageTarget::Nvme, "SIM10002")}}, "/s"});
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(count_of(out.log, "Failed to reset device APST configuration, please reboot the "
                                "system.\n"),
              2u)
        << out.log;
    for (const auto &[text, state] : out.states)
      EXPECT_TRUE(state == kNotApplicable || state == kIgnored) << text << ": " << state;
    EXPECT_EQ(out.summary, "0/0/0/" + std::to_string(out.states.size())) << out.log;
    EXPECT_EQ(out.log.find("Reboot is required to activate some device firmware."),
              std::string::npos);
    EXPECT_EQ(out.exit_code, 1);
  }
}

// "dfmonmb" on a SATA drive of drive model id 0101h. A "*" or "?" in the drive's own native
// firmware or model is not a pattern: no record applies and nothing is sent. The records' own
// patterns still select the drive whose texts they fit.
TEST(EngineUntouched, DfmonmbDriveTextIsNeverAPattern) {
  const struct {
    const char *model, *ctl;  // the drive's; its native firmware begins with the ctl's first 3
    const char *record_model, *record_firmware;
    uint32_t state;
  } cases[] = {
      // The drive's "*" would end the compare as equal after its first character.
      {"CORVANE CVS-256", "*TL00001", "", "QQQ", kNotApplicable},
      {"CORVANE CVS-256", "C?L00001", "", "CTLSR1OV L00V00L001", kNotApplicable},
      {"CORVANE CVS-*", "CTL00001", "CORVANE CVS-999", "CT*", kNotApplicable},
      {"CORVANE CVS-2?6", "CTL00001", "CORVANE CVS-256", "CT*", kNotApplicable},
      // The record's patterns, on either text.
      {"CORVANE CVS-256", "CTL00001", "", "CT*", kUpdated},
      {"CORVANE CVS-256", "CTL00001", "CORVANE CVS-2??", "CTLSR1OV L00V00L00?", kUpdated},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.ctl + " / " + c.record_model + " " +
                 c.record_firmware);
    const std::string vu = std::string(R"(, "vu": {"ctl": ")") + c.ctl +
                           R"(", "srv": "SRV00001", "ovl": "OVL001", "global_product_id": "0x0101"})";
    const Outcome out =
        run({machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, c.model, "CS100001", vu)}),
             pkgtest::fwconfig(kDfmonmb, 1,
                               pkgtest::dfmonmb_record(0x0101, c.record_model, c.record_firmware,
                                                       "CTLSR2OV L00V00L002", "", "fw.img")),
             {{"fw.img", vu_ata_image()}}, "/s"});
    ASSERT_EQ(out.failure, "") << out.log;
    ASSERT_EQ(out.states.size(), 1u) << out.log;
    EXPECT_EQ(out.states[0].second, c.state) << out.log;
    if (c.state == kUpdated) {
      EXPECT_EQ(out.drive("@sata0")["revision"], "CS100002");
      continue;
    }
    EXPECT_EQ(orbu_test::find_in_order(
                  out.log, {"Comparing configuration drive model and firmware.",
                            "Could not find match for binary with drive model and firmware.",
                            "Update does not apply to device SN: SN-sata0"}),
              "")
        << out.log;
    EXPECT_EQ(out.log.find("Packed binary found."), std::string::npos) << out.log;
    EXPECT_EQ(out.drive("@sata0")["revision"], "CS100001");
    EXPECT_EQ(out.drive("@sata0")["staged_bytes"], 0);
    EXPECT_EQ(out.drive("@sata0")["activations"], 0);
  }
}

}  // namespace

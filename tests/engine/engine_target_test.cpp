// Whole runs where the choice of drive or image is at stake: a command-line target that names
// several records, a "monmb" record that leads back to the drive's own identity, and the refusal
// of an ATA download that the drive cannot defer.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kFailed = 6;

std::string ref1() {
  std::ifstream file(sim::machine_file_path("ref1"));
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The RST port's path is shared by every record behind it: the target names several records, and
// none of them may take the image.
TEST(EngineTarget, TargetNamingSeveralRecordsUpdatesNone) {
  const Outcome out = run({ref1(), {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA /T:\\\\.\\Scsi5: /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  int failed = 0;
  for (const auto &[text, state] : out.states) {
    EXPECT_NE(state, kUpdated) << text;
    if (state == kFailed) failed++;
  }
  EXPECT_GT(failed, 1) << out.log;
  const std::string line = "not updated, CLI target \\\\.\\Scsi5: matches " +
                           std::to_string(failed) + " devices";
  size_t lines = 0;
  for (size_t at = out.log.find(line); at != std::string::npos; at = out.log.find(line, at + 1))
    lines++;
  EXPECT_EQ(lines, static_cast<size_t>(failed)) << out.log;
  for (const auto &[id, drive] : out.drives.items()) {
    EXPECT_EQ(drive["staged_bytes"], 0) << id;
    EXPECT_EQ(drive["activations"], 0) << id;
  }
  EXPECT_EQ(out.log.find("Firmware update process successful."), std::string::npos);
  EXPECT_EQ(out.exit_code, 1);  // the command line's variant: failure
}

// A physical-drive target still names exactly one record and updates that drive.
TEST(EngineTarget, PhysicalDriveTargetStillUpdatesItsDrive) {
  const Outcome out = run({ref1(), {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA /T:\\\\.\\PhysicalDrive4 /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  int updated = 0;
  for (const auto &[text, state] : out.states) updated += state == kUpdated;
  EXPECT_EQ(updated, 1) << out.log;
  EXPECT_EQ(out.drive("D")["revision"], "SIM10002");
  EXPECT_EQ(out.log.find(" matches "), std::string::npos);
  EXPECT_EQ(out.exit_code, 0);
}

// A "monmb" record from A back to A: one step, one download and one activation.
TEST(EngineTarget, ChainBackToTheStartAtTheFirstStepFlashesOnce) {
  const bytes config = pkgtest::fwconfig(
      2, 1, pkgtest::monmb_record("CORVANE CVN-A", "MA000001", "MA000001", "CORVANE CVN-A", "a.img"));
  const std::string m = machine("win10", {kInboxNvme},
                                {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                           R"(, "activation": "commit")")});
  const std::string ui = R"(, "ui": [{"click": 0}, {"click": "Exit", "when": {"text":
      "Firmware update to revision MA000001 successful."}}])";
  const Outcome out = run({m.substr(0, m.size() - 1) + ui + "}", config,
                           {{"a.img", image(ImageTarget::Nvme, "MA000001")}}, ""});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.log.find("Multistep Update"), std::string::npos) << out.log;
  EXPECT_EQ(out.drive("@nvme0")["activations"], 1) << out.log;
  EXPECT_EQ(out.states.at(0).second, kUpdated);
}

// Without deferred-download support the ATA update is refused; the support query filled no error
// record, so none is printed after the refusal.
TEST(EngineTarget, RefusedDeferredDownloadPrintsNoEmptyErrorRecord) {
  const Outcome out =
      run({machine("win10", {kInboxAhci},
                   {ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001", R"(, "modeE": false)")}),
           {}, {{"fw.img", image(ImageTarget::Ata, "CS100002")}},
           "/s /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  const size_t refusal = out.log.find("cannot download without activation.\n");
  ASSERT_NE(refusal, std::string::npos) << out.log;
  EXPECT_EQ(out.log.find("error code:", refusal), std::string::npos) << out.log;
  EXPECT_EQ(out.states.at(0).second, kFailed);
}

}  // namespace

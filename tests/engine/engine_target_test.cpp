// Whole runs where the choice of drive or image is at stake: a command-line target that names
// several records, a "monmb" record that leads back to the drive's own identity, and the refusal
// of an ATA download that the drive cannot defer.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"
#include "tests/support/test_machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kFailed = 6;

std::string ref1() {
  std::ifstream file(sim::machine_file_path("ref1"));
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A command-line target that names several records: none takes the image, each of them fails
// with a line naming the target and the count, no drive receives a byte, and the run fails.
void expect_none_updated(const Outcome &out, const std::string &target, int matches) {
  ASSERT_EQ(out.failure, "") << out.log;
  int failed = 0;
  for (const auto &[text, state] : out.states) {
    EXPECT_NE(state, kUpdated) << text;
    if (state == kFailed) failed++;
  }
  EXPECT_EQ(failed, matches) << out.log;
  const std::string line = "not updated, CLI target " + target + " matches " +
                           std::to_string(matches) + " devices";
  EXPECT_EQ(count_of(out.log, line), static_cast<size_t>(matches)) << out.log;
  for (const auto &[id, drive] : out.drives.items()) {
    EXPECT_EQ(drive["staged_bytes"], 0) << id;
    EXPECT_EQ(drive["activations"], 0) << id;
  }
  EXPECT_EQ(out.log.find("Firmware update process successful."), std::string::npos);
  EXPECT_EQ(out.exit_code, 1);  // the command line's variant: failure
}

// The RST port's path is shared by every record behind it (D, M1, M2, N1, N2): the target names
// several records, and none of them may take the image.
TEST(EngineTarget, TargetNamingSeveralRecordsUpdatesNone) {
  const Outcome out = run({ref1(), {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA /T:\\\\.\\Scsi5: /D:{dir}/fw.img"});
  expect_none_updated(out, "\\\\.\\Scsi5:", 5);
}

// A second SATA drive behind the SAS port: the port's path names exactly two records.
TEST(EngineTarget, TargetNamingTwoRecordsUpdatesNeither) {
  nlohmann::json m = nlohmann::json::parse(ref1());
  testsupport::merge_machine(m, nlohmann::json::parse(R"({"storage": {
      "drives": [{"id": "S3", "ata": {"model": "SIM SATA S3", "serial": "SS3023",
                                     "firmware": "SIM10001"}}],
      "adapters": [{"id": "SAS", "csmi": {"phys": [
          {"attached": "end_device", "sas_address": "50 0A 0B 01 00 00 00 00",
           "port_identifier": 0, "protocol": "sata", "drive": "S1"},
          {"attached": "end_device", "sas_address": "50 0A 0B 03 00 00 00 00",
           "port_identifier": 1, "protocol": "sata", "drive": "S3"}]}}]}})"));
  const Outcome out = run({m.dump(), {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA /T:\\\\.\\Scsi11: /D:{dir}/fw.img"});
  expect_none_updated(out, "\\\\.\\Scsi11:", 2);
}

// "/C:" with a wildcard in its port or address names every CSMI record it fits, of whatever
// model; a port and a full address name the one drive.
TEST(EngineTarget, CsmiTargetWithWildcardsUpdatesNone) {
  const struct {
    const char *option;
    ImageTarget image;
    const char *target;  // as the log names it
    int matches;         // D, M1, M2, N1, N2 behind port 5; S1 behind port 11
  } cases[] = {
      {"/C:5,*", ImageTarget::Ata, "5.*", 5},
      {"/C:5,*", ImageTarget::Nvme, "5.*", 5},
      {"/C:5,500102aa0000000?", ImageTarget::Ata, "5.500102aa0000000?", 2},
      {"/C:*,*", ImageTarget::Ata, "*.*", 6},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.option);
    const Outcome out = run({ref1(), {}, {{"fw.img", image(c.image, "SIM10002")}},
                             std::string("/s /FIA ") + c.option + " /D:{dir}/fw.img"});
    expect_none_updated(out, c.target, c.matches);
  }
}

// A target that names one record updates drive D, behind the RST port, and no other drive.
void expect_only_d_updated(const std::string &option) {
  SCOPED_TRACE(option);
  const Outcome out = run({ref1(), {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA " + option + " /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  int updated = 0;
  for (const auto &[text, state] : out.states) updated += state == kUpdated;
  EXPECT_EQ(updated, 1) << out.log;
  EXPECT_EQ(out.drive("D")["revision"], "SIM10002");
  for (const char *other : {"M1", "M2", "N1", "N2", "S1"})
    EXPECT_EQ(out.drive(other)["activations"], 0) << other;
  EXPECT_EQ(out.log.find(" matches "), std::string::npos);
  EXPECT_EQ(out.exit_code, 0);
}

// A port and a full SAS address still name exactly one record.
TEST(EngineTarget, CsmiTargetWithPortAndFullAddressUpdatesItsDrive) {
  expect_only_d_updated("/C:5,500103aa00000000");
}

// A physical-drive target still names exactly one record and updates that drive.
TEST(EngineTarget, PhysicalDriveTargetStillUpdatesItsDrive) {
  expect_only_d_updated("/T:\\\\.\\PhysicalDrive4");
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

// A silent run on the reference machine whose package matches one drive on each of its driver
// routes: what the run reports for each must be what happened to that drive.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kReboot = 7;

TEST(EngineRef1, EveryRouteReportsWhatHappenedToItsDrive) {
  std::ifstream file(sim::machine_file_path("ref1"));
  nlohmann::json ref1 = nlohmann::json::parse(file);
  // The drive behind Intel RSTe takes commit action 3 (activation without a reset).
  for (auto &drive : ref1["storage"]["drives"])
    if (drive["id"] == "R6") drive["nvme"]["activation_without_reset"] = true;
  struct Target {
    const char *drive, *model;
    ImageTarget kind;
    uint32_t state;
    const char *revision, *pending;
  };
  const Target targets[] = {
      // RSTe pass-through: activated, yet a restart is asked for.
      {"R6", "SIM NVME R6", ImageTarget::Nvme, kReboot, "SIM10002", ""},
      // The maker's driver, the UAS bridge and NevoX: the image waits for a controller reset.
      {"C", "SIM NVME C", ImageTarget::Nvme, kReboot, "SIM10001", "SIM10002"},
      {"G", "SIM NVME G", ImageTarget::Nvme, kReboot, "SIM10001", "SIM10002"},
      {"PD5", "SIM NVME PD5", ImageTarget::Nvme, kReboot, "SIM10001", "SIM10002"},
      // SAT behind USB, the RST SATA port, an ATA drive behind the SAS controller's CSMI.
      {"F", "SIM SATA F", ImageTarget::Ata, kUpdated, "SIM10002", ""},
      {"D", "SIM SATA D", ImageTarget::Ata, kUpdated, "SIM10002", ""},
      {"S1", "SIM SATA S1", ImageTarget::Ata, kUpdated, "SIM10002", ""},
      // Not in the package.
      {"B", nullptr, ImageTarget::Nvme, 9, "SIM10001", ""}};
  std::vector<bytes> records;
  std::vector<std::pair<std::string, bytes>> images;
  for (const Target &t : targets) {
    if (!t.model) continue;
    const std::string name = std::string(t.drive) + ".img";
    records.push_back(pkgtest::monb_record(t.model, "SIM10001", "SIM10002", name));
    images.push_back({name, image(t.kind, "SIM10002")});
  }
  const Outcome out = run({ref1.dump(),
                           pkgtest::fwconfig(1, static_cast<uint8_t>(records.size()),
                                             pkgtest::concat(records)),
                           images, "/s"});
  ASSERT_EQ(out.failure, "") << out.log;
  for (const Target &t : targets) {
    SCOPED_TRACE(t.drive);
    const auto &drive = out.drive(t.drive);
    EXPECT_EQ(out.state_of("SN: " + drive["serial"].get<std::string>()), t.state);
    EXPECT_EQ(drive["revision"], t.revision);
    EXPECT_EQ(drive["pending"].is_null() ? "" : drive["pending"]["revision"].get<std::string>(),
              t.pending);
  }
  EXPECT_EQ(out.summary.substr(0, 6), "4/3/0/") << out.log;
  EXPECT_EQ(out.exit_code, 3);
}

}  // namespace

namespace {

// Command-line mode: "/C:" picks the ATA drive behind the SAS controller by port and SAS address;
// it is updated through the controller's CSMI pass-through, and nothing else is touched.
TEST(EngineRef1, CommandLineCsmiTargetUpdatesThatDriveOnly) {
  std::ifstream file(sim::machine_file_path("ref1"));
  const std::string ref1((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const Outcome out = run({ref1, {}, {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           "/s /FIA /C:11,500a0b0100000000 /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.drive("S1")["revision"], "SIM10002");
  int updated = 0;
  for (const auto &[text, state] : out.states) {
    if (state == kUpdated) updated++;
    else EXPECT_EQ(state, 11u) << text;  // ignored
  }
  EXPECT_EQ(updated, 1) << out.log;
  EXPECT_NE(out.log.find("csmi11."), std::string::npos);
  for (const char *other : {"A", "D", "F", "B"}) EXPECT_EQ(out.drive(other)["revision"], "SIM10001");
  EXPECT_EQ(out.exit_code, 0);
}

}  // namespace

namespace {

using namespace enginetest;

nlohmann::json ref1_with_faults(std::initializer_list<nlohmann::json> faults) {
  std::ifstream file(sim::machine_file_path("ref1"));
  nlohmann::json ref1 = nlohmann::json::parse(file);
  for (const nlohmann::json &fault : faults) ref1["faults"].push_back(fault);
  return ref1;
}

// Command-line mode (Duzori): the NVMe RAID member N2 behind Intel RST, picked by its CSMI address,
// is updated; its APST settings cannot be written back afterwards, so it ends "reboot required".
// The rule names the drive, which the machine reaches only as a RAID member.
TEST(EngineRef1, FailedApstRestoreTurnsUpdatedIntoRebootRequired) {
  const nlohmann::json ref1 = ref1_with_faults(
      {{{"drive", "N2"}, {"nvme_opcode", "0x09"}, {"count", {{"nth", 2}}}, {"action", {{"status", "0x6"}}}}});
  const Outcome out = run({ref1.dump(), {}, {{"fw.img", image(sim::ImageTarget::Nvme, "SIM10002")}},
                           "/s /FIA /C:5,500211bb00000002 /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SN0011"), 7u) << out.log;
  EXPECT_EQ(orbu_test::find_in_order(
                out.log, {"Firmware update process successful.",
                          "Resetting device APST configuration on device SN0011",
                          "Failed to reset device APST configuration, please reboot the system."}),
            "")
      << out.log;
  EXPECT_EQ(out.summary.substr(0, 4), "1/0/") << out.log;
}

// The maker's driver is not the in-box driver of Windows 10: one run, and a download that fails is
// neither committed nor retried.
TEST(EngineRef1, FailedDownloadOutsideTheInBoxDriverIsNotCommitted) {
  const nlohmann::json ref1 = ref1_with_faults(
      {{{"drive", "C"}, {"nvme_opcode", "0x11"}, {"count", {{"nth", 1}}}, {"action", {{"status", "0x6"}}}}});
  const Outcome out = run({ref1.dump(),
                           pkgtest::fwconfig(1, 1, pkgtest::monb_record("SIM NVME C", "SIM10001",
                                                                        "SIM10002", "c.img")),
                           {{"c.img", image(sim::ImageTarget::Nvme, "SIM10002")}}, "/s"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SN: SC0003"), 6u) << out.log;
  EXPECT_EQ(orbu_test::find_in_order(
                out.log, {"failed NVMe download.",
                          "Short circuiting retry process due to download failure on device SN: SC0003"}),
            "")
      << out.log;
  EXPECT_EQ(out.log.find("NVMe activation."), std::string::npos) << out.log;
  EXPECT_EQ(out.log.find("run 2."), std::string::npos) << out.log;
  EXPECT_TRUE(out.drive("C")["pending"].is_null());
}

// A Dedi run behind Intel RSTe: no forced activation by bus reset, and the activated image is not
// turned into "reboot required" (that rule is for the other customers).
TEST(EngineRef1, DediBehindRsteNeitherForcesActivationNorAsksForAReboot) {
  nlohmann::json ref1 = ref1_with_faults({});
  for (auto &drive : ref1["storage"]["drives"])
    if (drive["id"] == "R6") drive["nvme"]["activation_without_reset"] = true;
  const Outcome out = run({ref1.dump(),
                           pkgtest::fwconfig(1, 1, pkgtest::monb_record("SIM NVME R6", "SIM10001",
                                                                        "SIM10002", "r6.img"),
                                             2),
                           {{"r6.img", image(sim::ImageTarget::Nvme, "SIM10002")}}, "/s"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SN: S60019"), 5u) << out.log;
  EXPECT_EQ(out.drive("R6")["revision"], "SIM10002");
  EXPECT_EQ(orbu_test::find_in_order(out.log, {"forced activation not required",
                                               "Successfully updated from firmware SIM10001 to SIM10002"}),
            "")
      << out.log;
  EXPECT_EQ(out.log.find("Intel Rapid Storage Enterprise driver requires a reboot"), std::string::npos);
  EXPECT_EQ(out.exit_code, 0);
}

}  // namespace

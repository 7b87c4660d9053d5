// A silent run on the reference machine whose package matches one drive on each of its driver
// routes: what the run reports for each must be what happened to that drive.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
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

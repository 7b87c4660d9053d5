// Answers that do not say what the drive did: a USB bridge that refuses every DOWNLOAD MICROCODE
// but attaches the drive's idle registers, and drivers that hand back less of the request than
// the status is read from. Each such answer fails its request, so the update fails; none reads
// as a download that a reboot would finish.
#include <gtest/gtest.h>

#include <fstream>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kFailed = 6;
constexpr uint8_t kMonb = 1, kGeneric = 0, kDuzori = 1, kDedi = 2;

nlohmann::json ref1_with(const nlohmann::json &fault) {
  std::ifstream file(sim::machine_file_path("ref1"));
  nlohmann::json ref1 = nlohmann::json::parse(file);
  ref1["faults"].push_back(fault);
  return ref1;
}

Outcome update_one(const std::string &machine, const std::string &model, const std::string &from,
                   const std::string &to, ImageTarget kind, uint8_t customer = kGeneric) {
  return run({machine,
              pkgtest::fwconfig(kMonb, 1, pkgtest::monb_record(model, from, to, "fw.img"), customer),
              {{"fw.img", image(kind, to)}}, "/s"});
}

// REF-1's USB SAT disk: the bridge answers each DOWNLOAD MICROCODE with ILLEGAL REQUEST and an
// ATA Status Return descriptor whose STATUS is 50h. Whatever the variant, the drive fails (no
// reboot is asked for) and the run exits with the failure code.
TEST(EngineRefusal, BridgeRefusingTheDownloadFailsTheDrive) {
  const nlohmann::json ref1 = ref1_with({{"drive", "F"}, {"cdb0", "0x85"}, {"ata_command", "0x92"},
                                         {"action",
                                          {{"status", 2}, {"sense_key", 5}, {"asc", "0x24"}, {"ascq", 0},
                                           {"ata_status_return", "0x50"}}}});
  for (uint8_t customer : {kGeneric, kDuzori, kDedi}) {
    SCOPED_TRACE(static_cast<int>(customer));
    const Outcome out = update_one(ref1.dump(), "SIM SATA F", "SIM10001", "SIM10002", ImageTarget::Ata, customer);
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(out.state_of("SN: SF0014"), kFailed) << out.log;
    EXPECT_EQ(out.drive("F")["revision"], "SIM10001");
    EXPECT_EQ(out.drive("F")["staged_bytes"], 0);  // nothing reached the drive
    EXPECT_NE(out.log.find("failed ATA download."), std::string::npos) << out.log;
    EXPECT_EQ(out.summary.substr(0, 6), "0/0/1/") << out.log;
    EXPECT_EQ(out.log.find("Reboot is required"), std::string::npos) << out.log;
    EXPECT_EQ(out.exit_code, 1);
  }
}

// IOCTL_ATA_PASS_THROUGH answered with BytesReturned short of the task files: Windows 8.1 sends
// the deferred download and its activation that way, and the registers left are the ones sent.
TEST(EngineRefusal, AtaPassThroughAnswerShorterThanItsHeaderFailsTheUpdate) {
  const std::string m =
      machine("win81", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001")},
              {R"({"request": "ata_pass_through", "ata_command": "0x92",
                   "action": {"name": "short_return", "value": 40}})"});
  const Outcome out = update_one(m, "CORVANE CVS-256", "CS100001", "CS100002", ImageTarget::Ata);
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SN: SN-sata0"), kFailed) << out.log;
  EXPECT_NE(out.log.find("failed ATA download."), std::string::npos) << out.log;
  EXPECT_NE(out.log.find("error subcode: 13\nmessage: error executing ata pass through DeviceIoControl"),
            std::string::npos)
      << out.log;
  EXPECT_EQ(out.log.find("successfully completed ATA download."), std::string::npos) << out.log;
  EXPECT_EQ(out.exit_code, 1);
}

// The protocol command that carries REF-1's NevoX downloads, answered with BytesReturned that
// covers ReturnStatus (success) but not the completion.
TEST(EngineRefusal, ProtocolCommandAnswerShorterThanItsCompletionFailsTheUpdate) {
  const nlohmann::json ref1 =
      ref1_with({{"request", "protocol_command"}, {"nvme_opcode", "0xC3"},
                 {"action", {{"name", "short_return"}, {"value", 64}}}});
  const Outcome out = update_one(ref1.dump(), "SIM NVME PD5", "SIM10001", "SIM10002", ImageTarget::Nvme);
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SN: SP0005"), kFailed) << out.log;
  EXPECT_NE(out.log.find("failed NVMe download."), std::string::npos) << out.log;
  EXPECT_NE(out.log.find("error subcode: 13\nmessage: error executing storage protocol DeviceIoControl"),
            std::string::npos)
      << out.log;
  EXPECT_TRUE(out.drive("PD5")["pending"].is_null());
  EXPECT_EQ(out.exit_code, 1);
}

}  // namespace

// Whole runs on the smallest machine of each driver personality: one adapter with the node made
// for it, one disk with its drive inline, one record. The drive is found through the driver the
// node presents and updated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_case.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kReboot = 7, kNotApplicable = 9;

struct Row {
  const char *personality;
  ImageTarget kind;
  uint32_t state = kUpdated;  // behind RSTe the tool asks for a reboot though the drive runs the image
  int exit_code = 0;
  const char *adapter_fields = "";  // more fields of the adapter's entry
};

std::string disk_of(ImageTarget kind) {
  switch (kind) {
    case ImageTarget::Nvme:
      // Runs a committed image at once, whatever the commit action (RSTe's replaces and activates).
      return nvme_disk("d0", "a", 0, "CORVANE CVN-512", "CN100001",
                       R"(, "activation": "commit", "activation_without_reset": true)");
    case ImageTarget::Ata:
      return ata_disk("d0", "a", 0, "CORVANE CVS-256", "CS100001");
    default:
      return scsi_disk("d0", "a", 0, "CVX-SAS", "0001");
  }
}

TEST(EnginePersonality, TheSmallestMachineOfEachPersonalityUpdatesItsDrive) {
  // "plain" and "storage_spaces" refuse every firmware request by design.
  const Row rows[] = {
      {"inbox_ahci", ImageTarget::Ata},
      {"inbox_nvme", ImageTarget::Nvme},
      {"intel_rst", ImageTarget::Ata},
      {"intel_rst", ImageTarget::Nvme},
      {"intel_rste", ImageTarget::Nvme, kReboot, 3},
      {"maker_nvme", ImageTarget::Nvme},
      {"nevox", ImageTarget::Nvme},
      {"sas", ImageTarget::Scsi},
      {"uas", ImageTarget::Nvme},
      {"uas_sat", ImageTarget::Ata},
      {"usb_bot", ImageTarget::Ata},
      // Without the driver's description the drive is read as a SCSI disk and not updated.
      {"maker_nvme", ImageTarget::Nvme, kNotApplicable, 4, R"(, "driver_desc": "")"},
  };
  for (const Row &row : rows) {
    const bool nvme = row.kind == ImageTarget::Nvme, ata = row.kind == ImageTarget::Ata;
    SCOPED_TRACE(std::string(row.personality) + (nvme ? " NVMe" : ata ? " ATA" : " SCSI") + row.adapter_fields);
    const std::string model = nvme ? "CORVANE CVN-512" : ata ? "CORVANE CVS-256" : "CVX-SAS";
    const std::string old_fw = nvme ? "CN100001" : ata ? "CS100001" : "0001";
    const std::string new_fw = nvme ? "CN100002" : ata ? "CS100002" : "0002";
    const std::string adapter =
        R"({"id": "a", "personality": ")" + std::string(row.personality) + "\"" + row.adapter_fields + "}";
    const Outcome out =
        run({machine("win10", {adapter}, {disk_of(row.kind)}),
             pkgtest::fwconfig(1, 1, pkgtest::monb_record(model, old_fw, new_fw, "fw.img")),
             {{"fw.img", image(row.kind, nvme ? "CN100002" : ata ? "CS100002" : "SC000002")}}, "/s"});
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(out.drive("@d0")["revision"], row.state == kNotApplicable ? old_fw : new_fw) << out.log;
    EXPECT_EQ(out.state_of(""), row.state);
    EXPECT_EQ(out.exit_code, row.exit_code);
  }
}

}  // namespace

// A whole download and activation through every route of the device access layer, with the
// progress it reports and the moment the drive's revision changes; and a failure at each piece.
#include "firmware/firmware_support.h"

#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/scsi_target.h"

using namespace fwtest;

namespace {

enum class Kind { ata, nvme, scsi };
// When the new image runs: after DOWNLOAD MICROCODE / WRITE BUFFER 0Fh; after a commit with
// activation at the next reset and the bus reset; at a commit that activates at once.
enum class Takes { at_0f, at_reset, at_commit };

struct Route {
  const char *what;
  const char *record;
  const char *drive;
  Kind kind;
  Takes takes;
};

const Route kRoutes[] = {
    {"in-box NVMe", "disk1", "B", Kind::nvme, Takes::at_reset},
    {"in-box AHCI", "disk0", "A", Kind::ata, Takes::at_0f},
    {"SAT over USB", "disk9", "F", Kind::ata, Takes::at_0f},
    {"SAT on a SAS HBA", "disk13", "S1", Kind::ata, Takes::at_0f},
    {"SCSI on a SAS HBA", "disk14", "S2", Kind::scsi, Takes::at_0f},
    {"Intel RST, SATA", "disk4", "D", Kind::ata, Takes::at_0f},
    {"Intel RST, NVMe", "disk7", "E", Kind::nvme, Takes::at_reset},
    {"Intel RSTe", "rstep10.6.0", "R6", Kind::nvme, Takes::at_commit},
    {"maker's driver", "disk2", "C", Kind::nvme, Takes::at_reset},
    {"NevoX", "disk3.pd5", "PD5", Kind::nvme, Takes::at_reset},
    {"CSMI on Intel RST", "csmi5.0.0.500103aa00000000", "D", Kind::ata, Takes::at_0f},
    {"CSMI on a SAS HBA", "csmi11.0.0.500a0b0100000000", "S1", Kind::ata, Takes::at_0f},
    {"UAS NVMe bridge", "disk10", "G", Kind::nvme, Takes::at_reset},
};

constexpr uint32_t kSize = 20000;  // pieces 8192, 8192, 3616
const std::vector<double> kFractions = {0.0, 8192.0 / kSize, 16384.0 / kSize};

// REF-1 with what the routes need: RSTe's drive activates without a reset, the UAS bridge passes
// the bus reset on to its drive.
nlohmann::json machine() {
  nlohmann::json m = ref1();
  drive_of(m, "R6")["nvme"]["activation_without_reset"] = true;
  for (auto &a : m["storage"]["adapters"])
    if (a["id"] == "UAS") a["knobs"] = {{"reset_reaches_drive", true}};
  return m;
}

std::vector<uint8_t> image_for(Kind kind, const std::string &revision) {
  const sim::ImageTarget t =
      kind == Kind::ata ? sim::ImageTarget::Ata : kind == Kind::nvme ? sim::ImageTarget::Nvme : sim::ImageTarget::Scsi;
  return sim::make_test_image(t, revision, kSize);
}

// The running revision as the library reads it for this kind (SCSI: the INQUIRY revision).
std::string expected(Kind kind, const std::string &revision) {
  return kind == Kind::scsi ? revision.substr(4) : revision;
}

// The transfer size the application takes on this route.
uint32_t chunk_for(huld_dev &d, Kind kind) {
  uint32_t chunk = 8192;
  huld_error err{};
  if (kind == Kind::ata) {
    EXPECT_EQ(vornfirmware_ata_get_transfer_size(&err, &d, &chunk), 0);
  } else if (kind == Kind::nvme) {
    EXPECT_EQ(vornfirmware_nvme_get_transfer_size(&err, &d, &chunk), 0);
  }
  return chunk;
}

int download(huld_error &err, huld_dev &d, Kind kind, const std::vector<uint8_t> &image,
             uint32_t chunk, vornfirmware_progress *progress) {
  switch (kind) {
    case Kind::ata:
      return vornfirmware_ata_download(&err, &d, image.data(), kSize, 0x0E, chunk, progress);
    case Kind::nvme:
      return vornfirmware_nvme_download(&err, &d, image.data(), kSize, chunk, progress);
    case Kind::scsi:
      break;
  }
  return vornfirmware_scsi_download(&err, &d, image.data(), kSize, 0x0E, chunk, progress);
}

class Routes : public FirmwareTest {};

TEST_F(Routes, DownloadAndActivationReportProgressAndChangeTheRevisionOnTheirEvent) {
  for (const Route &r : kRoutes) {
    SCOPED_TRACE(r.what);
    load(machine());
    huld_dev &d = dev(r.record);
    const std::string old_revision = current(d);
    const std::vector<uint8_t> image = image_for(r.kind, "SIMR0002");
    const std::string fresh = expected(r.kind, "SIMR0002");
    const uint32_t chunk = chunk_for(d, r.kind);
    vornfirmware_progress progress{-1.0};
    huld_error err{};
    {
      ProgressSampler sampler(&progress);
      ASSERT_EQ(download(err, d, r.kind, image, chunk, &progress), 0) << err.message;
      EXPECT_EQ(sampler.seen, kFractions);
    }
    EXPECT_EQ(progress.load(), 1.0);
    EXPECT_EQ(current(d), old_revision) << "a download alone changes nothing";

    progress = -1.0;
    if (r.kind == Kind::nvme) {
      uint8_t slot = 0;
      ASSERT_EQ(vornfirmware_nvme_get_safe_firmware_slot(&err, &d, &slot), 0) << err.message;
      const uint8_t action = r.takes == Takes::at_commit ? 3 : 1;
      ASSERT_EQ(vornfirmware_nvme_commit(&err, &d, slot, action, 0, &progress), 0) << err.message;
      EXPECT_EQ(progress.load(), 1.0);
      if (r.takes == Takes::at_reset) {
        EXPECT_EQ(current(d), old_revision) << "pending until the reset";
        progress = -1.0;
        ASSERT_EQ(vornfirmware_nvme_reset(&err, &d, &progress), 0) << err.message;
        EXPECT_EQ(progress.load(), 1.0);
      }
    } else {
      ProgressSampler sampler(&progress);
      const int rc = r.kind == Kind::ata ? vornfirmware_ata_activate(&err, &d, &progress)
                                         : vornfirmware_scsi_activate(&err, &d, &progress);
      ASSERT_EQ(rc, 0) << err.message;
      EXPECT_EQ(sampler.seen, std::vector<double>{0.0});
      EXPECT_EQ(progress.load(), 1.0);
    }
    EXPECT_EQ(current(d), fresh);
    EXPECT_EQ(revision(r.drive), fresh);
  }
}

// A piece refused by the drive ends the download with an error, no further piece is sent and the
// progress keeps the fraction reached before it.
TEST_F(Routes, AFailedPieceStopsTheDownloadWithItsProgress) {
  for (const Route &r : kRoutes) {
    for (uint32_t k = 1; k <= 3; ++k) {
      SCOPED_TRACE(std::string(r.what) + ", piece " + std::to_string(k));
      load(machine());
      huld_dev &d = dev(r.record);
      const sim::StorageDriveModels m = sim::storage_drive(r.drive);
      sim::FaultWhen when{k, 0};
      if (r.kind == Kind::nvme) {
        sim::NvmeFaultRule f;
        f.opcode = 0x11;
        f.when = when;
        f.status = 0x0002;
        m.nvme->add_fault(f);
      } else if (r.kind == Kind::ata) {
        sim::AtaFaultRule f;
        f.command = 0x92;
        f.feature = 0x0E;
        f.when = when;
        f.status = 0x51;
        m.ata->add_fault(f);
      } else {
        sim::ScsiFaultRule f;
        f.opcode = 0x3B;
        f.byte1 = 0x0E;
        f.when = when;
        f.status = 2;
        f.sense_key = 5;
        f.asc = 0x24;
        m.scsi->add_fault(f);
      }
      vornfirmware_progress progress{-1.0};
      huld_error err{};
      ASSERT_EQ(download(err, d, r.kind, image_for(r.kind, "SIMR0003"), chunk_for(d, r.kind), &progress), 1);
      EXPECT_NE(err.code, 0u);
      EXPECT_EQ(progress.load(), kFractions[k - 1]);
      EXPECT_EQ(state(r.drive)["staged_bytes"], 8192 * (k - 1))
          << "nothing sent after the failed piece";
    }
  }
}

}  // namespace

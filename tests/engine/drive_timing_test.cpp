// Modelled command times of the simulated drives: each kind of command spends its time on the
// machine's clock, and the drive adds it up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "engine_case.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/scsi_target.h"
#include "sim/machine.h"
#include "sim/storage.h"

namespace {

using namespace enginetest;

TEST(DriveTiming, EachCommandKindSpendsItsTimeOnTheMachineClock) {
  sim::load_machine_json(machine(
      "win10", {kInboxNvme, kInboxAhci},
      {nvme_disk("nvme0", "nvme", 0, "N", "F1",
                 R"(, "timing": {"command_ms": 3, "download_ms": 20, "activate_ms": 500})"),
       ata_disk("sata0", "ahci", 1, "A", "F1",
                R"(, "timing": {"command_ms": 5, "download_ms": 30, "activate_ms": 700})")}));
  const auto nvme = sim::storage_nvme(0);
  const auto ata = sim::storage_ata(1);
  std::vector<uint8_t> data(4096);
  const uint64_t start = sim::virtual_now_ms();
  sim::NvmeCommand identify;
  identify.cdw0 = 0x06;
  identify.cdw10 = 1;
  nvme->admin(identify, data.data(), 4096);  // 3
  sim::NvmeCommand commit;
  commit.cdw0 = 0x10;
  commit.cdw10 = 0x09;
  nvme->admin(commit, nullptr, 0);  // 500, refused: nothing downloaded
  sim::AtaTaskfile activate;
  activate.command = 0x92;
  activate.feature = 0x0F;
  ata->execute(activate, nullptr, 0);  // 700
  sim::AtaTaskfile piece;
  piece.command = 0x92;
  piece.feature = 0x0E;
  piece.count = 1;
  ata->execute(piece, data.data(), 512);  // 30
  EXPECT_EQ(nvme->counters().busy_ms, 503u);
  EXPECT_EQ(ata->counters().busy_ms, 730u);
  EXPECT_EQ(sim::virtual_now_ms() - start, 1233u);
  sim::reset_machine();
}

// A SCSI target spends its own times: WRITE BUFFER pieces, the activation, every other command.
TEST(DriveTiming, ScsiTargetsSpendTheirTimesToo) {
  sim::load_machine_json(machine(
      "win10", {R"({"id": "sas", "personality": "sas", "port": 2})"},
      {R"({"id": "sas0", "adapter": "sas", "physical_drive": 0, "scsi": {"vendor": "CORVANE",
           "product": "CVX-SAS", "revision": "0001", "serial": "SN-sas0",
           "timing": {"command_ms": 2, "download_ms": 40, "activate_ms": 900}}})"}));
  const auto scsi = sim::storage_scsi(0);
  std::vector<uint8_t> data(512);
  const uint64_t start = sim::virtual_now_ms();
  const uint8_t inquiry[6] = {0x12, 0, 0, 0x02, 0, 0};
  scsi->execute(inquiry, 6, data.data(), 512, sim::kDirIn);  // 2
  const uint8_t piece[10] = {0x3B, 0x0E, 0, 0, 0, 0, 0, 0x02, 0, 0};
  scsi->execute(piece, 10, data.data(), 512, sim::kDirOut);  // 40
  const uint8_t activate[10] = {0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0};
  scsi->execute(activate, 10, nullptr, 0, sim::kDirOut);  // 900, refused: no complete image
  EXPECT_EQ(scsi->counters().busy_ms, 942u);
  EXPECT_EQ(sim::virtual_now_ms() - start, 942u);
  sim::reset_machine();
}

// ORBU_SIM_DRIVE_TIMING gives its times to every drive whose description has none.
TEST(DriveTiming, EnvironmentTimesApplyToDrivesWithoutTheirOwn) {
  setenv("ORBU_SIM_DRIVE_TIMING", "4,0,0", 1);
  sim::load_machine_json(machine(
      "win10", {kInboxNvme, kInboxAhci},
      {nvme_disk("nvme0", "nvme", 0, "N", "F1"),
       ata_disk("sata0", "ahci", 1, "A", "F1", R"(, "timing": {"command_ms": 9})")}));
  unsetenv("ORBU_SIM_DRIVE_TIMING");
  std::vector<uint8_t> data(4096);
  sim::NvmeCommand identify;
  identify.cdw0 = 0x06;
  identify.cdw10 = 1;
  sim::storage_nvme(0)->admin(identify, data.data(), 4096);
  sim::AtaTaskfile identify_device;
  identify_device.command = 0xEC;
  sim::storage_ata(1)->execute(identify_device, data.data(), 512);
  EXPECT_EQ(sim::storage_nvme(0)->counters().busy_ms, 4u);
  EXPECT_EQ(sim::storage_ata(1)->counters().busy_ms, 9u);
  sim::reset_machine();
}

}  // namespace

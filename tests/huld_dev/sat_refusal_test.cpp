// A SCSI/ATA translation that refuses a command under CHECK CONDITION while its ATA Status Return
// descriptor shows registers without an error: the decoded command has failed. Answers that only
// carry the registers (RECOVERED ERROR, NO SENSE) or an ATA error keep what the drive gave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "huld/huld_scsi.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/sat_device.h"

namespace {

// CHECK CONDITION with descriptor sense: key/ASC/ASCQ and an ATA Status Return descriptor whose
// STATUS, ERROR and DEVICE are given.
huld_scsi_cmd status_return(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t status, uint8_t error) {
  huld_scsi_cmd scsi{};
  scsi.scsi_status = 0x02;
  scsi.sense_len = 32;
  const uint8_t sense[22] = {0x72, key, asc, ascq, 0, 0, 0, 14, 0x09, 0x0C, 0, error,
                             0,    0x01, 0, 0,   0,    0, 0, 0,  0xE0, status};
  std::memcpy(scsi.sense, sense, sizeof sense);
  return scsi;
}

// A PIO command moving one 512-byte block, as the ATA command set fills it.
huld_ata_cmd one_block(uint8_t command, uint16_t feature, uint8_t *block, uint32_t ddir) {
  huld_ata_cmd cmd{};
  cmd.protocol = ddir == HULD_DDIR_FROM_DEVICE ? 4 : 5;
  cmd.t_length = 2;
  cmd.xfer_type = 1;
  cmd.command = command;
  cmd.feature = feature;
  cmd.count = 1;
  cmd.data = block;
  cmd.data_len = 512;
  cmd.ddir = ddir;
  return cmd;
}

huld_ata_cmd decoded(const huld_scsi_cmd &scsi) {
  huld_ata_cmd ata{};
  huld_scsi_fill_ata_result_from_sat(&scsi, &ata);
  return ata;
}

TEST(SatRefusal, ErrorKeyFailsRegistersWithoutErrorAndKeepsOthers) {
  const struct {
    uint8_t key, asc, ascq, status, error;
    uint8_t expect_status;
  } cases[] = {
      {0x05, 0x24, 0x00, 0x50, 0x00, 0xFF},  // ILLEGAL REQUEST, the drive's idle status attached
      {0x02, 0x04, 0x00, 0x50, 0x00, 0xFF},  // NOT READY
      {0x0B, 0x00, 0x00, 0x00, 0x00, 0xFF},  // ABORTED COMMAND with STATUS 0, even without ERROR
      {0x05, 0x21, 0x04, 0x40, 0x00, 0xFF},  // a register-bearing key, still no ERR
      {0x0B, 0x00, 0x1D, 0x51, 0x04, 0x51},  // the drive's own error: registers kept
      {0x01, 0x00, 0x1D, 0x50, 0x00, 0x50},  // RECOVERED ERROR, pass-through information available
      {0x00, 0x00, 0x00, 0x50, 0x00, 0x50},  // NO SENSE
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "key " << int(c.key) << " status " << int(c.status));
    const huld_ata_cmd ata = decoded(status_return(c.key, c.asc, c.ascq, c.status, c.error));
    EXPECT_EQ(ata.status, c.expect_status);
    // The other registers are those of the descriptor either way.
    EXPECT_EQ(ata.error, c.error);
    EXPECT_EQ(ata.count, 0x0001);
    EXPECT_EQ(ata.device, 0xE0);
  }
}

// The same shapes as the simulated translation layer gives them: a refused DOWNLOAD MICROCODE
// reaches no drive and decodes as failed; the drive's RECOVERED ERROR answer to a CK_COND
// IDENTIFY, and IDENTIFY beside the refused command, keep their registers.
TEST(SatRefusal, SimulatedLayerRefusingOneCommand) {
  auto drive = std::make_shared<sim::AtaDrive>();
  sim::SatDevice sat(drive);
  sim::ScsiFaultRule refuse;
  refuse.opcode = 0x85;
  refuse.ata_command = 0x92;
  refuse.when = {1, 0};
  refuse.status = 0x02;
  refuse.sense_key = 0x05;
  refuse.asc = 0x24;
  refuse.ascq = 0x00;
  refuse.ata_status_return = 0x50;
  sat.add_fault(refuse);

  auto send = [&](huld_ata_cmd *ata) {
    huld_scsi_cmd scsi;
    huld_scsi_fill_sat_cmd(&scsi, ata);
    const sim::ScsiResult r = sat.execute(scsi.cdb, scsi.cdb_len, static_cast<uint8_t *>(scsi.data),
                                          scsi.data_len, static_cast<int>(scsi.ddir));
    scsi.scsi_status = r.status;
    std::memcpy(scsi.sense, r.sense, std::min<uint32_t>(r.sense_len, sizeof scsi.sense));
    huld_scsi_fill_ata_result_from_sat(&scsi, ata);
    return r.status;
  };

  uint8_t piece[512] = {};
  huld_ata_cmd download = one_block(0x92, 0x0E, piece, HULD_DDIR_TO_DEVICE);
  EXPECT_EQ(send(&download), 0x02);
  EXPECT_EQ(download.status, 0xFF);

  uint8_t id[512] = {};
  huld_ata_cmd identify = one_block(0xEC, 0, id, HULD_DDIR_FROM_DEVICE);
  identify.check_condition = 1;
  EXPECT_EQ(send(&identify), 0x02);  // RECOVERED ERROR with the registers
  EXPECT_EQ(identify.status, 0x50);
  EXPECT_NE(std::count(id, id + sizeof id, 0), static_cast<long>(sizeof id));
  EXPECT_EQ(drive->command_count(0xEC), 1u);
  EXPECT_EQ(drive->command_count(0x92), 0u);  // nothing reached the drive
}

}  // namespace

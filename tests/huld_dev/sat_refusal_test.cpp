// A SCSI/ATA translation that refuses a command under CHECK CONDITION while its ATA Status Return
// descriptor shows registers without an error: the decoded command has failed. Answers that only
// carry the registers (RECOVERED ERROR, NO SENSE) or an ATA error keep what the drive gave.
#include <gtest/gtest.h>

#include <cstring>

#include "huld/huld_scsi.h"

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

}  // namespace

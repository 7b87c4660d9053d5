// SCSI status, sense and translated ATA register checks.
#define HULD_MODULE "vornscsi\\errors"

#include "vornscsi/errors.h"

#include <cstring>

namespace {

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

// The ATA registers returned through the translation layer.
int ata_check_error(huld_error *err, const huld_ata_cmd *ata) {
  if (ata->status & 0x01) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE,
                      (static_cast<uint32_t>(ata->status) << 8) | ata->error,
                      "device error detected, status %xh, error %xh",
                      static_cast<unsigned>(ata->status), static_cast<unsigned>(ata->error));
  }
  return huld_error_clear(err);
}

// Sense key, ASC and ASCQ from fixed (70h, 71h) or descriptor sense; every other response code
// is read as descriptor sense, from the whole sense buffer.
int sense_check_error(huld_error *err, const huld_scsi_cmd *cmd) {
  huld_scsi_sense sense;
  huld_scsi_sense_fields(cmd, HULD_SCSI_SENSE_WHOLE_BUFFER | HULD_SCSI_SENSE_OTHER_AS_DESCRIPTOR,
                         &sense);
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                    "SCSI Error: Status: %XH Sense Code: %02X/%02X/%02XH\n",
                    static_cast<unsigned>(cmd->scsi_status), static_cast<unsigned>(sense.key),
                    static_cast<unsigned>(sense.asc), static_cast<unsigned>(sense.ascq));
}

}  // namespace

int vornscsi_is_ata_pass_through_ck_cond(const uint8_t *cdb) {
  return (cdb[0] == 0xA1 || cdb[0] == 0x85) && (cdb[2] & 0x20) != 0;
}

int vornscsi_check_error(huld_error *err, const huld_scsi_cmd *cmd) {
  if (cmd->scsi_status == kGood) return huld_error_clear(err);
  if (cmd->scsi_status != kCheckCondition) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE, cmd->scsi_status,
                      "device error detected, scsi status %xh",
                      static_cast<unsigned>(cmd->scsi_status));
  }
  if (vornscsi_is_ata_pass_through_ck_cond(cmd->cdb)) {
    huld_ata_cmd ata;
    memset(&ata, 0, sizeof(ata));
    huld_scsi_fill_ata_result_from_sat(cmd, &ata);
    return ata_check_error(err, &ata);
  }
  return sense_check_error(err, cmd);
}

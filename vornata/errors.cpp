// ATA register checks.
#define HULD_MODULE "vornata\\errors"

#include "vornata/errors.h"

int vornata_check_error(huld_error *err, const huld_ata_cmd *cmd) {
  if (cmd->status & 0x01) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE,
                      (static_cast<uint32_t>(cmd->status) << 8) | cmd->error,
                      "device error detected, status %xh, error %xh",
                      static_cast<unsigned>(cmd->status), static_cast<unsigned>(cmd->error));
  }
  return huld_error_clear(err);
}

int vornata_check_smart_return_status(huld_error *err, uint16_t value) {
  if (value == 0x2CF4) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE, 0x2CF4,
                      "the device has detected a threshold exceeded condition %xh",
                      static_cast<unsigned>(value));
  }
  return huld_error_clear(err);
}

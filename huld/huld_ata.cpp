// ATA execute entry point: dispatch by the device's interface.
#define HULD_MODULE "huld\\huld_ata"

#include "huld/huld_ata.h"

#include <cstring>

#include "huld/huld_scsi.h"
#include "huld/windows/huld_ata_windows.h"
#include "huld/windows/huld_raid_windows.h"
#include "huld/windows/huld_scsi_windows.h"

huld_ata_execute_hook_fn huld_ata_execute_hook = nullptr;

int huld_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (!dev || !cmd) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");

  // A CSMI record's handle is its port's: a SCSI pass-through there would reach another drive.
  if (dev->iface == WINDOWS_SCSI_SAT_ATA && huld_dev_is_csmi(dev)) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                      "interface is not supported by ata execute");
  }

  const huld_ata_execute_hook_fn hook = huld_ata_execute_hook;
  huld_ata_cmd before;
  if (hook) before = *cmd;

  int result;
  switch (dev->iface) {
    case WINDOWS_SCSI_SAT_ATA: {
      huld_scsi_cmd scsi;
      huld_scsi_fill_sat_cmd(&scsi, cmd);
      // A count the translation would read otherwise is refused before anything is sent.
      if (huld_sat_check_transfer_length(err, &scsi) != 0) return 1;
      result = huld_scsi_windows_execute(err, dev, &scsi);
      if (result == 0) huld_scsi_fill_ata_result_from_sat(&scsi, cmd);
      break;
    }
    case WINDOWS_ATA:
      result = huld_dev_is_csmi(dev) ? execute_stp_passthru(err, dev, cmd)
                                     : huld_ata_windows_execute(err, dev, cmd);
      break;
    case ADAPTEC_ATA:
      result = huld_adaptec_ata_execute(err, dev, cmd);
      break;
    case MEGARAID_ATA:
      result = huld_megaraid_ata_execute(err, dev, cmd);
      break;
    case WINDOWS_AMD_RAID_ATA:
      result = huld_amd_raid_ata_execute(err, dev, cmd);
      break;
    default:
      return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                        "interface is not supported by ata execute");
  }

  if (hook) hook(err, dev, &before, cmd);
  return result;
}

void huld_ata_fill_probe_identify(huld_ata_cmd *cmd, uint8_t buffer[512]) {
  memset(cmd, 0, sizeof(*cmd));
  memset(buffer, 0, 512);
  cmd->protocol = 4;
  cmd->t_length = 2;
  cmd->xfer_type = 1;
  cmd->count = 1;
  cmd->command = 0xEC;
  cmd->data = buffer;
  cmd->data_len = 512;
  cmd->ddir = HULD_DDIR_FROM_DEVICE;
  cmd->timeout_ms = huld_probe_timeout_ms;
}

int huld_ata_probe(huld_dev *dev) {
  uint8_t buffer[512];
  huld_ata_cmd cmd;
  huld_ata_fill_probe_identify(&cmd, buffer);

  huld_error err{};
  if (huld_ata_execute(&err, dev, &cmd) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "ata identify failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return 0;
  }
  if (cmd.error != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "ata identify failed - device error\n");
    return 0;
  }
  return 1;
}

// NVMe execute entry point: dispatch by the device's interface, and the USB-bridge exchange.
#define HULD_MODULE "huld\\huld_nvme"

#include "huld/huld_nvme.h"

#include "huld/huld_util.h"

#include "huld/huld_scsi.h"
#include "huld/windows/huld_nvme_marvell_nevox.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_nvme_windows_rst.h"
#include "huld/windows/huld_nvme_windows_rste.h"
#include "huld/windows/huld_nvme_windows_xr.h"
#include "huld/windows/huld_raid_windows.h"
#include "huld/windows/huld_scsi_windows.h"

huld_nvme_execute_hook_fn huld_nvme_execute_hook = nullptr;

namespace {

constexpr uint32_t kMaxDataLength = 16u * 1024u * 1024u;
constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;

}  // namespace

int huld_nvme_data_invalid(const huld_nvme_cmd *cmd) {
  return cmd->data_len > kMaxDataLength || (cmd->data_len > 0 && cmd->data == nullptr) ? 1 : 0;
}

int huld_nvme_snt_check_phase(huld_error *err, const char *phase, int result,
                              const huld_scsi_cmd *scsi, uint32_t min_xfer_len) {
  // A failed call has already recorded its own error.
  if (result != 0) return 1;
  if (scsi->scsi_status == kScsiCheckCondition) {
    // The bridge's sense is read whole, and any code but fixed format as descriptor format.
    huld_scsi_sense sense;
    huld_scsi_sense_fields(scsi, HULD_SCSI_SENSE_WHOLE_BUFFER | HULD_SCSI_SENSE_OTHER_AS_DESCRIPTOR,
                           &sense);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "%s: SCSI Error: Status: %XH Sense Code: %02X/%02X/%02XH\n", phase,
                      scsi->scsi_status, sense.key, sense.asc, sense.ascq);
  }
  if (scsi->scsi_status != kScsiGood) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE, scsi->scsi_status,
                      "%s: device error detected, scsi status %xh", phase, scsi->scsi_status);
  }
  if (scsi->xfer_len < min_xfer_len) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "incomplete %s", phase);
  }
  return 0;
}

int huld_nvme_snt_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd,
                          huld_nvme_snt_scsi_executor executor) {
  if (!dev || !cmd || !executor || huld_nvme_data_invalid(cmd)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  }

  // The bridge buffer is taken before anything is sent.
  huld_scsi_cmd data_phase;
  if (huld_scsi_fill_snt_data_phase_cmd(&data_phase, cmd) != 0) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not allocate %u bytes",
                      huld_scsi_snt_padded_length(cmd));
  }

  huld_scsi_cmd scsi;
  uint8_t sqe[HULD_SNT_SQE_SIZE];
  huld_scsi_fill_snt_command_phase_cmd(&scsi, sqe, cmd);
  int result = executor(err, dev, &scsi);
  if (huld_nvme_snt_check_phase(err, "command phase", result, &scsi, 0) != 0) {
    huld_scsi_snt_release(&data_phase);
    return 1;
  }

  result = executor(err, dev, &data_phase);
  if (huld_nvme_snt_check_phase(err, "data phase", result, &data_phase, 0) != 0) {
    huld_scsi_snt_release(&data_phase);
    return 1;
  }
  // Copies back what the bridge moved and releases the buffer.
  const uint32_t moved = huld_scsi_snt_result(&data_phase, cmd);

  huld_scsi_fill_snt_completion_phase_cmd(&scsi, cmd);
  result = executor(err, dev, &scsi);
  if (huld_nvme_snt_check_phase(err, "completion phase", result, &scsi, HULD_SNT_CQE_SIZE) != 0) {
    return 1;
  }
  // A short data-in is no answer, unless the completion reports an NVMe error that explains it
  // (the command set judges that one).
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE && moved < cmd->data_len &&
      ((cmd->cpl[3] >> 17) & 0x7FF) == 0) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, moved, "data phase: %u of %u bytes came back",
                      moved, cmd->data_len);
  }
  return huld_error_clear(err);
}

int huld_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (!dev || !cmd) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");

  // A CSMI record's handle is its port's: a SCSI pass-through there would reach another drive.
  if (dev->iface == WINDOWS_SCSI_ASMEDIA_NVME && huld_dev_is_csmi(dev)) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                      "nvme execute not supported on device %s", dev->name);
  }

  const huld_nvme_execute_hook_fn hook = huld_nvme_execute_hook;
  huld_nvme_cmd before;
  if (hook) before = *cmd;

  int result;
  switch (dev->iface) {
    case WINDOWS_NVME:
      result = huld_nvme_windows_execute(err, dev, cmd);
      break;
    case WINDOWS_NVME_INTEL_RST:
      result = huld_nvme_windows_rst_execute(err, dev, cmd);
      break;
    case WINDOWS_NVME_INTEL_RSTE:
      result = huld_nvme_windows_rste_execute(err, dev, cmd);
      break;
    case WINDOWS_NVME_XR_IUO:
      result = huld_nvme_windows_xr_execute(err, dev, cmd);
      break;
    case WINDOWS_SCSI_ASMEDIA_NVME:
      result = huld_nvme_snt_execute(err, dev, cmd, huld_scsi_windows_execute);
      break;
    case MEGARAID_NVME:
      result = huld_megaraid_nvme_execute(err, dev, cmd);
      break;
    case WINDOWS_AMD_RAID_NVME:
      result = huld_amd_raid_nvme_execute(err, dev, cmd);
      break;
    case MARVELL_NEVOX:
      result = huld_nvme_marvell_nevox_execute(err, dev, cmd);
      break;
    default:
      return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                        "nvme execute not supported on device %s", dev->name);
  }

  if (hook) hook(err, dev, &before, cmd);
  return result;
}

uint8_t huld_nvme_get_status(const huld_nvme_cmd *cmd) {
  if (!cmd) return 0;
  return static_cast<uint8_t>((cmd->cpl[3] >> 17) & 0xFF);
}

void huld_nvme_put_submission_entry(uint8_t *sqe, const huld_nvme_cmd *cmd) {
  huld_put_le32(sqe + 0, cmd->cdw0);
  huld_put_le32(sqe + 4, cmd->nsid);
  huld_put_le32(sqe + 40, cmd->cdw10);
  huld_put_le32(sqe + 44, cmd->cdw11);
  huld_put_le32(sqe + 48, cmd->cdw12);
  huld_put_le32(sqe + 52, cmd->cdw13);
  huld_put_le32(sqe + 56, cmd->cdw14);
  huld_put_le32(sqe + 60, cmd->cdw15);
}

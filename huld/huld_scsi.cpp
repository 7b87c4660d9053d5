// SCSI execute entry point: dispatch by the device's interface.
#define HULD_MODULE "huld\\huld_scsi"

#include "huld/huld_scsi.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/huld_raid_windows.h"
#include "huld/windows/huld_scsi_windows.h"

huld_scsi_execute_hook_fn huld_scsi_execute_hook = nullptr;

int huld_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd) {
  if (!dev || !cmd) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  // A CSMI record's handle is its port's: a pass-through there would reach another drive.
  if (huld_dev_is_csmi(dev)) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                      "scsi execute not supported on device %s", dev->name);
  }

  const huld_scsi_execute_hook_fn hook = huld_scsi_execute_hook;
  huld_scsi_cmd before;
  if (hook) before = *cmd;

  int result;
  switch (dev->iface) {
    case WINDOWS_NVME:
    case WINDOWS_NVME_INTEL_RST:
    case WINDOWS_SCSI:
    case WINDOWS_SCSI_SAT_ATA:
    case WINDOWS_SCSI_ASMEDIA_NVME:
    case WINDOWS_ATA:
      result = huld_scsi_windows_execute(err, dev, cmd);
      break;
    case ADAPTEC_SCSI:
      result = huld_adaptec_scsi_execute(err, dev, cmd);
      break;
    case MEGARAID_SCSI:
      result = huld_megaraid_scsi_execute(err, dev, cmd);
      break;
    case WINDOWS_AMD_RAID_SCSI:
      result = huld_amd_raid_scsi_execute(err, dev, cmd);
      break;
    default:
      return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface,
                        "scsi execute not supported on device %s", dev->name);
  }

  if (hook) hook(err, dev, &before, cmd);
  return result;
}

namespace {

enum sense_format { kNoFields, kFixed, kDescriptor };

// The format that sense byte 0 announces under the caller's rules.
sense_format format_of(uint8_t byte0, unsigned rules) {
  const uint8_t response = byte0 & 0x7F;
  if (response == 0x70 || response == 0x71) return kFixed;
  if (rules & HULD_SCSI_SENSE_OTHER_AS_DESCRIPTOR) return kDescriptor;
  if (response != 0x72 && response != 0x73) return kNoFields;
  // Bit 7 is VALID only in fixed format; some callers refuse descriptor sense that sets it.
  if ((rules & HULD_SCSI_SENSE_DESCRIPTOR_BIT7_CLEAR) && (byte0 & 0x80)) return kNoFields;
  return kDescriptor;
}

}  // namespace

int huld_scsi_sense_fields(const huld_scsi_cmd *cmd, unsigned rules, huld_scsi_sense *out) {
  *out = huld_scsi_sense{};
  const uint8_t *sense = cmd->sense;
  const sense_format format = format_of(sense[0], rules);
  if (format == kNoFields) return 0;
  // Bytes the back end did not return are the zeroes the caller left, not a sense code.
  const uint32_t needed = format == kDescriptor ? 4 : 14;
  if (!(rules & HULD_SCSI_SENSE_WHOLE_BUFFER) && cmd->sense_returned < needed) return 0;
  if (format == kDescriptor) {
    *out = {1, static_cast<uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
  } else {
    *out = {0, static_cast<uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
  }
  return 1;
}

int huld_scsi_probe(huld_dev *dev) {
  uint8_t buffer[5] = {};
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x12;
  cmd.cdb[4] = 0x05;
  cmd.cdb_len = 6;
  cmd.data = buffer;
  cmd.data_len = sizeof(buffer);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.sense_len = HULD_SCSI_SENSE_SIZE;
  cmd.timeout_ms = huld_probe_timeout_ms;

  huld_error err{};
  if (huld_scsi_execute(&err, dev, &cmd) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "scsi inquiry failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return 0;
  }
  // The device type is read only from data that arrived: a rejected INQUIRY leaves the zeroed
  // buffer, whose first byte would pass for a disk.
  if (cmd.scsi_status != 0 || cmd.xfer_len == 0) {
    HULD_LOG(HULD_LOG_DEBUG, "scsi inquiry failed\n");
    return 0;
  }
  switch (buffer[0]) {
    case 0x00:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x11:
    case 0x12:
    case 0x14:
    case 0x1E:
      return 1;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// USB-bridge NVMe exchange CDBs
// ---------------------------------------------------------------------------------------------
namespace {

constexpr uint32_t kSntBlock = 512;

void fill_snt_cdb(huld_scsi_cmd *scsi, uint8_t opcode, uint8_t phase, const huld_nvme_cmd *cmd,
                  uint32_t length) {
  scsi->cdb[0] = opcode;
  scsi->cdb[1] = 0x5A;
  scsi->cdb[2] = phase;
  scsi->cdb[3] = cmd->queue != 0 ? 1 : 0;
  scsi->cdb[4] = cmd->ddir == HULD_DDIR_FROM_DEVICE ? 1 : cmd->ddir == HULD_DDIR_TO_DEVICE ? 2 : 0;
  huld_put_be32(&scsi->cdb[10], length);
  scsi->cdb_len = HULD_SCSI_CDB_SIZE;
  scsi->sense_len = HULD_SCSI_SENSE_SIZE;
  scsi->timeout_ms = cmd->timeout_ms;
}

}  // namespace

uint32_t huld_scsi_snt_padded_length(const huld_nvme_cmd *cmd) {
  uint64_t padded = (static_cast<uint64_t>(cmd->data_len) + kSntBlock - 1) / kSntBlock * kSntBlock;
  return padded > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(padded);
}

void huld_scsi_fill_snt_command_phase_cmd(huld_scsi_cmd *scsi, uint8_t *sqe, const huld_nvme_cmd *cmd) {
  memset(scsi, 0, sizeof(*scsi));
  memset(sqe, 0, HULD_SNT_SQE_SIZE);
  huld_nvme_put_submission_entry(sqe, cmd);
  fill_snt_cdb(scsi, 0xEA, 0x80, cmd, HULD_SNT_SQE_SIZE);
  scsi->data = sqe;
  scsi->data_len = HULD_SNT_SQE_SIZE;
  scsi->ddir = HULD_DDIR_TO_DEVICE;
}

int huld_scsi_fill_snt_data_phase_cmd(huld_scsi_cmd *scsi, const huld_nvme_cmd *cmd) {
  memset(scsi, 0, sizeof(*scsi));
  const uint32_t padded = huld_scsi_snt_padded_length(cmd);
  uint8_t *buffer = nullptr;
  if (padded == 0xFFFFFFFFu) {
    HULD_LOG(HULD_LOG_DEBUG, "huld_scsi_fill_snt_data_phase_cmd failed to allocate memory\n");
    return 1;
  }
  if (padded > 0) {
    buffer = static_cast<uint8_t *>(calloc(padded, 1));
    if (!buffer) {
      HULD_LOG(HULD_LOG_DEBUG, "huld_scsi_fill_snt_data_phase_cmd failed to allocate memory\n");
      return 1;
    }
    if (cmd->ddir == HULD_DDIR_TO_DEVICE && cmd->data && cmd->data_len) {
      memcpy(buffer, cmd->data, cmd->data_len);
    }
  }
  fill_snt_cdb(scsi, cmd->ddir == HULD_DDIR_TO_DEVICE ? 0xEA : 0xEB, 0x81, cmd, padded);
  scsi->data = buffer;
  scsi->data_len = padded;
  scsi->ddir = cmd->ddir;
  return 0;
}

void huld_scsi_fill_snt_completion_phase_cmd(huld_scsi_cmd *scsi, huld_nvme_cmd *cmd) {
  memset(scsi, 0, sizeof(*scsi));
  fill_snt_cdb(scsi, 0xEB, 0x82, cmd, HULD_SNT_CQE_SIZE);
  scsi->data = cmd->cpl;
  scsi->data_len = HULD_SNT_CQE_SIZE;
  scsi->ddir = HULD_DDIR_FROM_DEVICE;
}

uint32_t huld_scsi_snt_result(huld_scsi_cmd *data_phase, huld_nvme_cmd *cmd) {
  uint32_t n = 0;
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE && cmd->data && data_phase->data) {
    // Only the bytes the bridge moved are data; the rest of its buffer is still zero.
    n = huld_min(huld_min(cmd->data_len, data_phase->data_len), data_phase->xfer_len);
    memcpy(cmd->data, data_phase->data, n);
  }
  huld_scsi_snt_release(data_phase);
  return n;
}

void huld_scsi_snt_release(huld_scsi_cmd *data_phase) {
  if (data_phase->data) {
    memset(data_phase->data, 0, data_phase->data_len);
    free(data_phase->data);
  }
  data_phase->data = nullptr;
  data_phase->data_len = 0;
}

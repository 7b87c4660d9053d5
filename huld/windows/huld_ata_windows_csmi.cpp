// CSMI STP pass-through: an ATA command to a SATA drive behind a CSMI controller, addressed by
// the end device's phy, port and SAS address, sent on the controller's SCSI port.
#define HULD_MODULE "huld\\windows\\huld_ata_windows_csmi"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/huld_ata_windows.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

constexpr char kCsmiSasSignature[8] = {'C', 'S', 'M', 'I', 'S', 'A', 'S', '\0'};
constexpr uint32_t kStpControlCode = 25;
constexpr uint32_t kStpCommandFis = 44;
constexpr uint32_t kStpFlags = 64;
constexpr uint32_t kStpDataLength = 68;
constexpr uint32_t kStpReturnCode = 20;
constexpr uint32_t kStpStatusFis = 76;
// The registers come from the status FIS's first 14 bytes: the last field read back.
constexpr uint32_t kStpStatusFisRead = 14;
constexpr uint32_t kStpAnswerEnd = kStpStatusFis + kStpStatusFisRead;
constexpr uint32_t kStpDataOffset = 164;
constexpr uint32_t kStpDumpLimit = 512;

// CSMI STP flags by SAT protocol; DMA forms also carry their direction, without which a CSMI
// driver moves no data.
uint32_t stp_flags(const huld_ata_cmd *cmd) {
  switch (cmd->protocol) {
    case 3: return 0x04;
    case 4: return 0x11;
    case 5: return 0x12;
    case 8: return 0x100;
    case 9: return 0x200;
    case 6:
    case 12: {
      uint32_t flags = cmd->protocol == 6 ? 0x20 : 0x80;
      if (cmd->ddir == HULD_DDIR_FROM_DEVICE) flags |= 0x01;
      if (cmd->ddir == HULD_DDIR_TO_DEVICE) flags |= 0x02;
      return flags;
    }
    default: return 0;
  }
}

uint32_t dump_length(uint32_t len) { return len < kStpDumpLimit ? len : kStpDumpLimit; }

}  // namespace

int execute_stp_passthru(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (!dev || !cmd || cmd->data_len > WIN_FW_MAX_DATA_LENGTH || (cmd->data_len > 0 && cmd->data == nullptr)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  }
  const uint32_t size = cmd->data_len + kStpDataOffset;
  auto *req = static_cast<uint8_t *>(std::calloc(1, size));
  if (!req) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);

  huld_put_le32(req + 0, 28);
  std::memcpy(req + 4, kCsmiSasSignature, sizeof(kCsmiSasSignature));
  huld_put_le32(req + 12, cmd->timeout_ms / 1000);
  huld_put_le32(req + 16, kStpControlCode);
  huld_put_le32(req + 24, size - 28);
  req[28] = dev->csmi_phy_id;
  req[29] = dev->csmi_port_id;
  req[30] = dev->csmi_link_rate;
  std::memcpy(req + 32, dev->csmi_sas_address, 8);
  uint8_t *fis = req + kStpCommandFis;
  fis[0] = 0x27;  // register, host to device
  fis[1] = 0x80;  // command
  fis[2] = cmd->command;
  fis[3] = static_cast<uint8_t>(cmd->feature);
  fis[4] = static_cast<uint8_t>(cmd->lba);
  fis[5] = static_cast<uint8_t>(cmd->lba >> 8);
  fis[6] = static_cast<uint8_t>(cmd->lba >> 16);
  fis[7] = cmd->device;
  fis[12] = static_cast<uint8_t>(cmd->count);
  if (cmd->is_ext) {
    fis[8] = static_cast<uint8_t>(cmd->lba >> 24);
    fis[9] = static_cast<uint8_t>(cmd->lba >> 32);
    fis[10] = static_cast<uint8_t>(cmd->lba >> 40);
    fis[11] = static_cast<uint8_t>(cmd->feature >> 8);
    fis[13] = static_cast<uint8_t>(cmd->count >> 8);
  }
  huld_put_le32(req + kStpFlags, stp_flags(cmd));
  huld_put_le32(req + kStpDataLength, cmd->data_len);
  if (cmd->ddir == HULD_DDIR_TO_DEVICE && cmd->data_len > 0) {
    std::memcpy(req + kStpDataOffset, cmd->data, cmd->data_len);
  }
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("beginning of stp passthru out", req, dump_length(size));

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_SCSI_MINIPORT, req, size, req, size, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();

  // Registers from the returned status FIS, whatever the outcome; data only into a buffer meant
  // to receive it, from the offset built above, at most the caller's length.
  const uint8_t *s = req + kStpStatusFis;
  cmd->status = s[2];
  cmd->error = s[3];
  cmd->count = static_cast<uint16_t>(s[13] << 8 | s[12]);
  cmd->lba = static_cast<uint64_t>(s[10]) << 40 | static_cast<uint64_t>(s[9]) << 32 |
             static_cast<uint64_t>(s[8]) << 24 | static_cast<uint64_t>(s[6]) << 16 |
             static_cast<uint64_t>(s[5]) << 8 | s[4];
  cmd->device = s[7];
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE && cmd->data_len > 0) {
    std::memcpy(cmd->data, req + kStpDataOffset, cmd->data_len);
  }
  const uint32_t rc = huld_get_le32(req + kStpReturnCode);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_dump("stp passthru in", req, kStpDataOffset);
    huld_log_printf("cmd status: %xh\n", cmd->status);
    huld_log_printf("cmd error:  %xh\n", cmd->error);
    huld_log_printf("cmd count:  %xh\n", cmd->count);
    huld_log_printf("cmd lba:    %llxh\n", static_cast<unsigned long long>(cmd->lba));
    huld_log_printf("cmd device: %xh\n", cmd->device);
    if (cmd->ddir == HULD_DDIR_FROM_DEVICE) {
      huld_log_dump("beginning of cmd data", cmd->data, dump_length(cmd->data_len));
    }
  }
  std::free(req);
  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing stp passthru DeviceIoControl");
  // ReturnCode and a status FIS the driver did not hand back are the zeroes that were sent, which
  // read as success.
  if (returned < kStpAnswerEnd) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing stp passthru DeviceIoControl");
  }
  if (rc != 0) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "non-zero return code executing stp passthru DeviceIoControl");
  }
  return huld_error_clear(err);
}

int huld_ata_windows_csmi_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  return execute_stp_passthru(err, dev, cmd);
}

int huld_ata_windows_probe_csmi(huld_dev *dev) {
  uint8_t buffer[512];
  huld_ata_cmd cmd;
  huld_ata_fill_probe_identify(&cmd, buffer);
  huld_error err{};
  if (execute_stp_passthru(&err, dev, &cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "ata windows csmi ident failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return 0;
  }
  return 1;
}

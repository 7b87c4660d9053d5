// ATA back end: ATA pass-through, the two firmware roads for DOWNLOAD MICROCODE (the Intel RST
// "IntelFw " requests and the Windows 10 storage firmware requests), the security and sanitize
// commands through SCSI/ATA translation, and the IDENTIFY DEVICE probe.
#define HULD_MODULE "huld\\windows\\huld_ata_windows"

#include "huld/windows/huld_ata_windows.h"
#include "huld/windows/intel_fw_common.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_environment.h"
#include "huld/huld_scsi.h"
#include "huld/huld_util.h"
#include "huld/windows/huld_scsi_windows.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

// ATA_PASS_THROUGH_EX with the data right behind it.
constexpr uint32_t kAptLength = 0;
constexpr uint32_t kAptFlags = 2;
constexpr uint32_t kAptTransferLength = 8;
constexpr uint32_t kAptTimeOut = 12;
constexpr uint32_t kAptDataOffset = 24;
constexpr uint32_t kAptPrevious = 32;
constexpr uint32_t kAptCurrent = 40;
constexpr uint32_t kAptSize = 48;

constexpr uint16_t kAtaFlagsDrdyRequired = 0x01;
constexpr uint16_t kAtaFlagsDataIn = 0x02;
constexpr uint16_t kAtaFlagsDataOut = 0x04;
constexpr uint16_t kAtaFlags48Bit = 0x08;
constexpr uint16_t kAtaFlagsUseDma = 0x10;

constexpr uint32_t kAtaDumpLimit = 512;
constexpr uint8_t kDownloadMicrocode = 0x92;
constexpr uint8_t kDownloadMicrocodeDma = 0x93;
constexpr uint16_t kModeDownloadDeferred = 0x0E;
constexpr uint16_t kModeActivateDeferred = 0x0F;


uint32_t seconds_rounded_up(uint32_t ms) {
  return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 999) / 1000);
}

bool is_download_microcode(const huld_ata_cmd *cmd, uint16_t mode) {
  return (cmd->command == kDownloadMicrocode || cmd->command == kDownloadMicrocodeDma) && cmd->feature == mode;
}

// Byte offset of a DOWNLOAD MICROCODE piece: the 512-byte block offset in LBA 23:8.
uint32_t microcode_byte_offset(const huld_ata_cmd *cmd) {
  return static_cast<uint32_t>((cmd->lba >> 8) & 0xFFFF) * 512u;
}

// Active firmware slot of the drive behind the RST port ("IntelFw " get info).
int ata_intel_fw_get_active_slot(huld_error *err, const huld_dev *dev, uint32_t *slot) {
  return intel_fw_get_active_slot(err, dev->rst_port_handle, &dev->scsi_address, slot);
}

void print_active_slot_failure(const char *text, const huld_error *err) {
  HULD_LOG(HULD_LOG_DEBUG, "%s", text);
  HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
}

// Copies the registers the drive returned in the task files, and the data when it came in.
void read_back_registers(const uint8_t *apt, huld_ata_cmd *cmd) {
  const uint8_t *ptf = apt + kAptPrevious;
  const uint8_t *ctf = apt + kAptCurrent;
  cmd->error = ctf[0];
  cmd->status = ctf[6];
  cmd->count = static_cast<uint16_t>(ptf[1] << 8 | ctf[1]);
  cmd->lba = static_cast<uint64_t>(ptf[4]) << 40 | static_cast<uint64_t>(ptf[3]) << 32 |
             static_cast<uint64_t>(ptf[2]) << 24 | static_cast<uint64_t>(ctf[4]) << 16 |
             static_cast<uint64_t>(ctf[3]) << 8 | ctf[2];
  cmd->device = ctf[5];
}

void log_command(const char *title, const huld_ata_cmd *cmd) {
  huld_log_printf("%s", title);
  huld_log_printf("cmd->protocol:        %xh\n", cmd->protocol);
  huld_log_printf("cmd->is_ext:          %xh\n", cmd->is_ext);
  huld_log_printf("cmd->feature:         %xh\n", cmd->feature);
  huld_log_printf("cmd->count:           %xh\n", cmd->count);
  huld_log_printf("cmd->lba:             %llxh\n", static_cast<unsigned long long>(cmd->lba));
  huld_log_printf("cmd->device:          %xh\n", cmd->device);
  huld_log_printf("cmd->command:         %xh\n", cmd->command);
  huld_log_printf("cmd->status:          %xh\n", cmd->status);
  huld_log_printf("cmd->error:           %xh\n", cmd->error);
  huld_log_printf("cmd->data:            %p\n", cmd->data);
  huld_log_printf("cmd->data_len:        %xh\n", cmd->data_len);
  huld_log_printf("cmd->timeout_ms:      %xh\n", cmd->timeout_ms);
  huld_log_printf("cmd->ddir:            %xh\n", cmd->ddir);
}

void log_request(const char *prefix, const uint8_t *apt) {
  huld_log_printf("%s->Length:              %xh\n", prefix, huld_get_le16(apt + kAptLength));
  huld_log_printf("%s->AtaFlags:            %xh\n", prefix, huld_get_le16(apt + kAptFlags));
  huld_log_printf("%s->DataTransferLength:  %xh\n", prefix, huld_get_le32(apt + kAptTransferLength));
  huld_log_printf("%s->TimeOutValue:        %xh\n", prefix, huld_get_le32(apt + kAptTimeOut));
  for (int i = 0; i < 8; ++i) huld_log_printf("%s->CurrentTaskFile[%d]:  %xh\n", prefix, i, apt[kAptCurrent + i]);
  for (int i = 0; i < 8; ++i) huld_log_printf("%s->PreviousTaskFile[%d]: %xh\n", prefix, i, apt[kAptPrevious + i]);
}

uint32_t dump_length(uint32_t len) { return len < kAtaDumpLimit ? len : kAtaDumpLimit; }

// A length above what any request carries, or a length without a buffer.
bool invalid_data(const huld_ata_cmd *cmd) {
  return cmd->data_len > WIN_FW_MAX_DATA_LENGTH || (cmd->data_len > 0 && cmd->data == nullptr);
}

// SANITIZE DEVICE and the security commands go through the SCSI/ATA translation.
int execute_through_sat(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  huld_scsi_cmd scsi;
  huld_scsi_fill_sat_cmd(&scsi, cmd);
  if (huld_sat_check_transfer_length(err, &scsi) != 0) return 1;
  const int result = huld_scsi_windows_execute(err, dev, &scsi);
  if (result == 0) huld_scsi_fill_ata_result_from_sat(&scsi, cmd);
  return result;
}

}  // namespace

int should_send_via_intel_rst_firmware_download(huld_dev *dev, huld_ata_cmd *cmd) {
  return dev->conn.driver == INTEL_RST && is_download_microcode(cmd, kModeDownloadDeferred);
}

int should_send_via_intel_rst_firmware_activate(huld_dev *dev, huld_ata_cmd *cmd) {
  return dev->conn.driver == INTEL_RST && is_download_microcode(cmd, kModeActivateDeferred);
}

static bool storage_firmware_system() {
  return huld_environment_is_windows_10() != 0 || huld_environment_is_server_2016() != 0;
}

int should_send_via_storage_hw_firmware_download(huld_dev *dev, huld_ata_cmd *cmd) {
  return storage_firmware_system() && dev->conn.driver == WINDOWS_INBOX_AHCI &&
         is_download_microcode(cmd, kModeDownloadDeferred);
}

int should_send_via_storage_hw_firmware_activate(huld_dev *dev, huld_ata_cmd *cmd) {
  return storage_firmware_system() && dev->conn.driver == WINDOWS_INBOX_AHCI &&
         is_download_microcode(cmd, kModeActivateDeferred);
}

int should_send_via_sat(huld_dev *, huld_ata_cmd *cmd) {
  return cmd->command == 0xB4 || (cmd->command >= 0xF1 && cmd->command <= 0xF6);
}

int execute_intel_rst_firmware_download(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (invalid_data(cmd)) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  uint32_t slot = 0;
  if (ata_intel_fw_get_active_slot(err, dev, &slot)) {
    print_active_slot_failure("could not capture active slot for intel firmware API\n", err);
    return 1;
  }
  // The ATA road sends the request with no flags; the byte offset comes from LBA 23:8.
  uint8_t *req = nullptr;
  uint32_t size = 0;
  intel_fw_fill_download(&dev->scsi_address, &req, &size, cmd->timeout_ms / 1000, 0, cmd->data, cmd->data_len,
                         microcode_byte_offset(cmd));
  if (!req) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", cmd->data_len + INTEL_FW_DOWNLOAD_IMAGE_OFFSET);
  DWORD error = ERROR_SUCCESS;
  const bool ok = intel_fw_send(dev->rst_port_handle, req, size, &error);
  const uint32_t rc = intel_fw_return_code(req);
  std::free(req);
  if (!ok) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to execute intel fw download");
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing IOCTL_SCSI_MINIPORT");
  }
  if (rc != 0) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "SRB_IO_CONTROL return code %u on iRST firmware download", rc);
  }
  if (ata_intel_fw_get_active_slot(err, dev, &slot)) {
    print_active_slot_failure("could not capture active slot for intel firmware API\n", err);
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "post download fw active slot %u\n", slot);
  return huld_error_clear(err);
}

int execute_intel_rst_firmware_activate(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  uint32_t slot = 0;
  if (ata_intel_fw_get_active_slot(err, dev, &slot)) {
    print_active_slot_failure("could not capture active slot for intel firmware API\n", err);
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "fw active slot %u\n", slot);
  uint8_t *req = nullptr;
  uint32_t size = 0;
  intel_fw_fill_activate(&dev->scsi_address, &req, &size, cmd->timeout_ms / 1000, 0, static_cast<uint8_t>(slot));
  if (!req) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", INTEL_FW_ACTIVATE_SIZE);
  DWORD error = ERROR_SUCCESS;
  const bool ok = intel_fw_send(dev->rst_port_handle, req, size, &error);
  const uint32_t rc = intel_fw_return_code(req);
  std::free(req);
  if (!ok) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to execute intel fw activate");
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing IOCTL_SCSI_MINIPORT");
  }
  if (rc != 0 && rc != INTEL_FW_RETURN_POWER_CYCLE_REQUIRED) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "SRB_IO_CONTROL return code %u on iRST firmware activate", rc);
  }
  return huld_error_clear(err);
}

int execute_storage_hw_firmware_download(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  uint32_t slot = 0;
  if (win_fw_get_active_slot(err, dev->conn.handle, &slot)) {
    print_active_slot_failure("could not capture active slot for STORAGE_HW_FIRMWARE_DOWNLOAD\n", err);
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "fw active slot %u\n", slot);
  STORAGE_HW_FIRMWARE_DOWNLOAD *download = nullptr;
  uint32_t size = 0;
  win_fw_fill_download(&download, &size, cmd->data, cmd->data_len, microcode_byte_offset(cmd), 0,
                       static_cast<uint8_t>(slot));
  if (!download) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", cmd->data_len + 40);
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, download, size, download, size,
                                  &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  std::free(download);
  if (!ok) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to execute storage fw download\n");
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing IOCTL_STORAGE_FIRMWARE_DOWNLOAD");
  }
  return huld_error_clear(err);
}

int execute_storage_hw_firmware_activate(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  uint32_t slot = 0;
  if (win_fw_get_active_slot(err, dev->conn.handle, &slot)) {
    print_active_slot_failure("could not capture active slot for STORAGE_HW_FIRMWARE_ACTIVATE\n", err);
    return 1;
  }
  STORAGE_HW_FIRMWARE_ACTIVATE activate;
  std::memset(&activate, 0, sizeof(activate));
  win_fw_fill_activate(&activate, 0, static_cast<uint8_t>(slot));
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_STORAGE_FIRMWARE_ACTIVATE, &activate, sizeof(activate),
                                  &activate, sizeof(activate), &returned, nullptr);
  if (!ok) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, GetLastError(), "error executing IOCTL_STORAGE_FIRMWARE_ACTIVATE");
  }
  return huld_error_clear(err);
}

int execute_ata_passthrough_ex(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (invalid_data(cmd)) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  const uint32_t size = cmd->data_len + kAptSize;
  auto *apt = static_cast<uint8_t *>(std::calloc(1, size));
  if (!apt) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);

  uint16_t flags = kAtaFlagsDrdyRequired;
  if (cmd->is_ext) flags |= kAtaFlags48Bit;
  if (cmd->protocol == 6 || cmd->protocol == 10 || cmd->protocol == 11 || cmd->protocol == 12) flags |= kAtaFlagsUseDma;
  if (cmd->ddir == HULD_DDIR_TO_DEVICE) flags |= kAtaFlagsDataOut;
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE) flags |= kAtaFlagsDataIn;
  huld_put_le16(apt + kAptLength, kAptSize);
  huld_put_le16(apt + kAptFlags, flags);
  huld_put_le32(apt + kAptTransferLength, cmd->data_len);
  huld_put_le32(apt + kAptTimeOut, seconds_rounded_up(cmd->timeout_ms));
  huld_put_le64(apt + kAptDataOffset, kAptSize);
  uint8_t *ptf = apt + kAptPrevious;
  uint8_t *ctf = apt + kAptCurrent;
  if (cmd->is_ext) {
    ptf[0] = static_cast<uint8_t>(cmd->feature >> 8);
    ptf[1] = static_cast<uint8_t>(cmd->count >> 8);
    ptf[2] = static_cast<uint8_t>(cmd->lba >> 24);
    ptf[3] = static_cast<uint8_t>(cmd->lba >> 32);
    ptf[4] = static_cast<uint8_t>(cmd->lba >> 40);
  }
  ctf[0] = static_cast<uint8_t>(cmd->feature);
  ctf[1] = static_cast<uint8_t>(cmd->count);
  ctf[2] = static_cast<uint8_t>(cmd->lba);
  ctf[3] = static_cast<uint8_t>(cmd->lba >> 8);
  ctf[4] = static_cast<uint8_t>(cmd->lba >> 16);
  ctf[5] = cmd->device;
  ctf[6] = cmd->command;
  if (cmd->data_len > 0) std::memcpy(apt + kAptSize, cmd->data, cmd->data_len);

  if (huld_log_level >= HULD_LOG_VERBOSE) {
    log_command("huld ata cmd out\n", cmd);
    huld_log_dump("ata passthrough ex buffer out", apt, kAptSize);
    log_request("ataptex", apt);
    huld_log_dump("beginning of ata passthrough ex data buffer out", apt + kAptSize, dump_length(cmd->data_len));
  }

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_ATA_PASS_THROUGH, apt, size, apt, size, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();

  // Registers come back whatever the outcome; data only into a buffer meant to receive it, from
  // the offset built above and never more than the caller's length.
  read_back_registers(apt, cmd);
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE && cmd->data_len > 0) std::memcpy(cmd->data, apt + kAptSize, cmd->data_len);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_dump("ata passthrough ex buffer in", apt, kAptSize);
    log_request("atapex", apt);
    huld_log_dump("beginning of ata passthrough ex data buffer in", apt + kAptSize, dump_length(cmd->data_len));
    log_command("huld ata cmd in\n", cmd);
  }
  std::free(apt);
  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing ata pass through DeviceIoControl");
  // Registers the driver did not hand back are the ones sent: STATUS would read as the command
  // byte. An answer that ends before the task files is no answer.
  if (returned < kAptSize) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing ata pass through DeviceIoControl");
  }
  return huld_error_clear(err);
}

int huld_ata_windows_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (!dev || !cmd || invalid_data(cmd)) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  // A CSMI record's handle is its port's: a pass-through there would reach the drive at 0:0:0.
  if (huld_dev_is_csmi(dev)) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "interface is not supported by ata execute");
  }
  if (should_send_via_intel_rst_firmware_download(dev, cmd)) return execute_intel_rst_firmware_download(err, dev, cmd);
  if (should_send_via_intel_rst_firmware_activate(dev, cmd)) return execute_intel_rst_firmware_activate(err, dev, cmd);
  if (should_send_via_storage_hw_firmware_download(dev, cmd)) {
    return execute_storage_hw_firmware_download(err, dev, cmd);
  }
  if (should_send_via_storage_hw_firmware_activate(dev, cmd)) {
    return execute_storage_hw_firmware_activate(err, dev, cmd);
  }
  if (should_send_via_sat(dev, cmd)) return execute_through_sat(err, dev, cmd);
  return execute_ata_passthrough_ex(err, dev, cmd);
}

int huld_ata_windows_probe(huld_dev *dev) {
  uint8_t buffer[512];
  huld_ata_cmd cmd;
  huld_ata_fill_probe_identify(&cmd, buffer);
  huld_error err{};
  if (huld_ata_windows_execute(&err, dev, &cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "ata windows ident failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return 0;
  }
  if (cmd.status == 0x00 && cmd.error == 0x00) {
    HULD_LOG(HULD_LOG_DEBUG, "ata windows ident returned cmd stat/err 00h/00h - interface no good\n");
    return 0;
  }
  if (cmd.status == 0x51 && cmd.error == 0x04) {
    HULD_LOG(HULD_LOG_DEBUG, "ata windows ident returned cmd stat/err 51h/04h - interface no good\n");
    return 0;
  }
  bool empty = true;
  for (uint8_t b : buffer) empty = empty && b == 0;
  if (empty) {
    HULD_LOG(HULD_LOG_DEBUG, "ata windows ident returned an empty buffer - interface no good\n");
    return 0;
  }
  return 1;
}

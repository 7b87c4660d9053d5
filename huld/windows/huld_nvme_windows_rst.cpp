// NVMe through the Intel RST driver: commands go to the controller's SCSI port as "IntelNvm"
// pass-through requests and firmware as "IntelFw " requests, both addressed to the drive by its
// PathId, TargetId and Lun; a few commands the driver does not pass through go to the in-box
// routing on the disk handle.
#define HULD_MODULE "huld\\windows\\huld_nvme_windows_rst"

#include "huld/windows/huld_nvme_windows_rst.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "huld/windows/intel_fw_common.h"
#include "platform/win32.h"

namespace {

constexpr uint32_t kNvmeDumpLimit = 4096;

// "IntelNvm" pass-through request: header, address block, submission entry at 32, completion at
// the odd offset 97, the data buffer's offset and length at 116 and 120, the data at 164.
constexpr char kPassThroughSignature[] = "IntelNvm";
constexpr uint32_t kPassThroughControlCode = 0xF0002808u;
constexpr uint32_t kSqe = 32;
constexpr uint32_t kCompletion = 97;
constexpr uint32_t kCompletionDwords = 4;
constexpr uint32_t kCompletionEnd = kCompletion + kCompletionDwords * sizeof(uint32_t);
constexpr uint32_t kDataBufferOffs = 116;
constexpr uint32_t kDataBufferLen = 120;
constexpr uint32_t kData = 164;

constexpr uint8_t kOpFirmwareCommit = 0x10;
constexpr uint8_t kOpFirmwareImageDownload = 0x11;
constexpr uint8_t kOpVendorE4 = 0xE4;
constexpr uint32_t kVendorE4BufferSize = 4096;
constexpr uint8_t kOpFlush = 0x00;
constexpr uint8_t kOpFormatNvm = 0x80;
constexpr uint8_t kOpSecuritySend = 0x81;
constexpr uint8_t kOpSecurityReceive = 0x82;
// NVM opcodes that the in-box route's SCSI translation has no CDB for (and refuses).
constexpr uint8_t kOpNvmUntranslated65 = 0x65;
constexpr uint8_t kOpNvmUntranslated66 = 0x66;

uint8_t opcode_of(const huld_nvme_cmd *cmd) { return static_cast<uint8_t>(cmd->cdw0 & 0xFF); }

// Commands the driver does not pass through: Format NVM and the security commands (admin), Flush
// and the NVM opcodes 65h and 66h.
bool rerouted(const huld_nvme_cmd *cmd) {
  const uint8_t op = opcode_of(cmd);
  if (cmd->queue == HULD_NVME_QUEUE_ADMIN) {
    return op == kOpFormatNvm || op == kOpSecuritySend || op == kOpSecurityReceive;
  }
  return op == kOpFlush || op == kOpNvmUntranslated65 || op == kOpNvmUntranslated66;
}

void log_pass_through(const uint8_t *r, uint32_t size) {
  if (huld_log_level < HULD_LOG_VERBOSE) return;
  const uint8_t *sqe = r + kSqe;
  huld_log_printf("irst pass-through command\n");
  huld_log_printf("    passthru->header.Timeout:           %u\n", huld_get_le32(r + 12));
  huld_log_printf("    passthru->header.ControlCode:       %xh\n", huld_get_le32(r + 16));
  huld_log_printf("    passthru->header.Length:            %u\n", huld_get_le32(r + 24));
  huld_log_printf("    passthru->version:                  %u\n", static_cast<unsigned>(r[28]));
  huld_log_printf("    passthru->path_id:                  %u\n", static_cast<unsigned>(r[29]));
  huld_log_printf("    passthru->target_id:                %u\n", static_cast<unsigned>(r[30]));
  huld_log_printf("    passthru->lun:                      %u\n", static_cast<unsigned>(r[31]));
  huld_log_printf("    passthru->cmd.dw0:                  %xh\n", huld_get_le32(sqe + 0));
  huld_log_printf("    passthru->cmd.nsid:                 %xh\n", huld_get_le32(sqe + 4));
  for (uint32_t dw = 10; dw <= 15; ++dw) {
    huld_log_printf("    passthru->cmd.dw%u:                 %xh\n", dw, huld_get_le32(sqe + dw * 4));
  }
  huld_log_printf("    passthru->data_buffer_offs:         %u\n", huld_get_le32(r + kDataBufferOffs));
  huld_log_printf("    passthru->data_buffer_len:          %u\n", huld_get_le32(r + kDataBufferLen));
  huld_log_dump("beginning of irst command buffer", r, huld_min(size, kNvmeDumpLimit));
}

int execute_pass_through(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  const uint8_t opcode = opcode_of(cmd);
  // Vendor opcode E4h always carries data to the device: a zeroed buffer when the caller gave none.
  const bool forced = opcode == kOpVendorE4 && cmd->data_len == 0;
  const uint32_t data_len = forced ? kVendorE4BufferSize : cmd->data_len;
  const uint32_t ddir = forced ? static_cast<uint32_t>(HULD_DDIR_TO_DEVICE) : cmd->ddir;
  const uint32_t size = data_len + kData;

  auto *r = static_cast<uint8_t *>(std::calloc(1, size));
  if (!r) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);
  huld_put_le32(r + 0, 28);
  std::memcpy(r + 4, kPassThroughSignature, 8);
  huld_put_le32(r + 12, cmd->timeout_ms / 1000);
  huld_put_le32(r + 16, kPassThroughControlCode);
  huld_put_le32(r + 24, size - 28);
  r[28] = 1;
  r[29] = dev->scsi_address.PathId;
  r[30] = dev->scsi_address.TargetId;
  r[31] = dev->scsi_address.Lun;
  uint8_t *sqe = r + kSqe;
  huld_nvme_put_submission_entry(sqe, cmd);
  huld_put_le32(sqe + 0, opcode);  // the driver takes the opcode alone in dword 0
  huld_put_le32(r + kDataBufferOffs, kData);
  huld_put_le32(r + kDataBufferLen, data_len);
  if (!forced && ddir == HULD_DDIR_TO_DEVICE && data_len > 0) std::memcpy(r + kData, cmd->data, data_len);
  log_pass_through(r, size);

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->rst_port_handle, IOCTL_SCSI_MINIPORT, r, size, r, size, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("irst ioctl returned %u bytes\n", static_cast<unsigned>(returned));
    huld_log_dump("beginning of irst results buffer", r, huld_min(size, kNvmeDumpLimit));
  }

  // The completion and the data are read from the offsets built above, whatever the driver wrote
  // into data_buffer_offs, and never beyond the caller's buffer.
  for (uint32_t i = 0; i < kCompletionDwords; ++i) cmd->cpl[i] = huld_get_le32(r + kCompletion + 4 * i);
  if (!forced && cmd->ddir == HULD_DDIR_FROM_DEVICE && cmd->data_len > 0) {
    std::memcpy(cmd->data, r + kData, cmd->data_len);
  }
  const uint32_t return_code = huld_get_le32(r + 20);
  std::free(r);

  if (!ok) {
    HULD_LOG(HULD_LOG_DEBUG, "irst ioctl failed (%u)\n", static_cast<unsigned>(error));
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing scsi miniport rst DeviceIoControl");
  }
  // ReturnCode and a completion the driver did not hand back are the zeroes that were sent, which
  // read as success.
  if (returned < kCompletionEnd) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing scsi miniport rst DeviceIoControl");
  }
  // A request the driver refused leaves the completion zeroed, which would read as success; an
  // NVMe error in the completion is the command set's to judge.
  const uint32_t status = (cmd->cpl[3] >> 17) & 0x7FF;
  if (return_code != 0 && status == 0) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, return_code, "SRB_IO_CONTROL return code %d on iRST pass-through",
                      static_cast<int>(return_code));
  }
  return huld_error_clear(err);
}

int execute_firmware_activate(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  uint8_t *r = nullptr;
  uint32_t size = 0;
  intel_fw_fill_activate(&dev->scsi_address, &r, &size, cmd->timeout_ms / 1000, INTEL_FW_FLAG_CONTROLLER,
                         static_cast<uint8_t>(cmd->cdw10 & 0x7));
  if (!r) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", INTEL_FW_ACTIVATE_SIZE);
  DWORD error = ERROR_SUCCESS;
  const bool ok = intel_fw_send(dev->rst_port_handle, r, size, &error);
  const uint32_t rc = intel_fw_return_code(r);
  intel_fw_log_header("intel activate response\n", r);
  std::free(r);
  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing firmware activate DeviceIoControl");
  if (rc != 0 && rc != INTEL_FW_RETURN_POWER_CYCLE_REQUIRED) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "SRB_IO_CONTROL return code %d on iRST firmware activate",
                      static_cast<int>(rc));
  }
  return huld_error_clear(err);
}

int execute_firmware_download(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  uint8_t *r = nullptr;
  uint32_t size = 0;
  const uint64_t offset = static_cast<uint64_t>(cmd->cdw11) * 4;  // dwords to bytes
  intel_fw_fill_download(&dev->scsi_address, &r, &size, cmd->timeout_ms / 1000, INTEL_FW_FLAG_CONTROLLER, cmd->data,
                         cmd->data_len, offset);
  if (!r) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes",
                      cmd->data_len + INTEL_FW_DOWNLOAD_IMAGE_OFFSET);
  }
  DWORD error = ERROR_SUCCESS;
  const bool ok = intel_fw_send(dev->rst_port_handle, r, size, &error);
  const uint32_t rc = intel_fw_return_code(r);
  intel_fw_log_header("irst download command response\n", r);
  std::free(r);
  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing firmware download DeviceIoControl");
  if (rc != 0) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "SRB_IO_CONTROL return code %d on iRST firmware download",
                      static_cast<int>(rc));
  }
  return huld_error_clear(err);
}

// Identify Controller through the driver: a drive it passes commands to answers with data.
int probe(huld_dev *dev) {
  if (!huld_windows_handle_is_open(dev->rst_port_handle)) {
    HULD_LOG(HULD_LOG_DEBUG, "no rst port handle for %s\n", dev->name);
    return 0;
  }
  return huld_nvme_windows_identify_probe(dev, huld_nvme_windows_rst_execute, "irst nvme");
}

}  // namespace

int huld_nvme_windows_rst_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (huld_nvme_data_invalid(cmd)) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  if (rerouted(cmd)) {
    // The in-box routing sends to the record's own handle. A record reached through CSMI holds
    // the port's handle instead of a disk's, and a pass-through there is addressed to whatever
    // drive sits at 0:0:0 of the port: such a record cannot run these commands.
    if (!huld_dev_is_disk(dev)) {
      return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, opcode_of(cmd),
                        "command %xh not supported without a disk handle on device %s",
                        static_cast<unsigned>(opcode_of(cmd)), dev->name);
    }
    HULD_LOG(HULD_LOG_DEBUG, "reroute rst command to basic windows execute\n");
    return huld_nvme_windows_execute(err, dev, cmd);
  }
  // "IntelNvm" has no queue field: the driver runs every pass-through as an admin command, so an
  // I/O command would go out as whatever admin command shares its opcode (Read as Get Log Page,
  // Dataset Management as Set Features). Firmware requests are admin commands as well.
  if (cmd->queue != HULD_NVME_QUEUE_ADMIN) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, opcode_of(cmd),
                      "nvm command %xh not supported through intel rst on device %s",
                      static_cast<unsigned>(opcode_of(cmd)), dev->name);
  }
  switch (opcode_of(cmd)) {
    case kOpFirmwareCommit:
      return execute_firmware_activate(err, dev, cmd);
    case kOpFirmwareImageDownload:
      return execute_firmware_download(err, dev, cmd);
    default:
      return execute_pass_through(err, dev, cmd);
  }
}

int huld_nvme_windows_rst_probe(huld_dev *dev) {
  if (dev->conn.driver == ADAPTEC_RAID) {
    HULD_LOG(HULD_LOG_DEBUG, "skip nvme rst disk windows probe on adaptec raid driver\n");
    return 0;
  }
  if (huld_dev_is_disk(dev)) {
    SCSI_ADDRESS address;
    std::memset(&address, 0, sizeof(address));
    address.Length = sizeof(address);
    DWORD returned = 0;
    if (!DeviceIoControl(dev->conn.handle, IOCTL_SCSI_GET_ADDRESS, &address, sizeof(address), &address,
                         sizeof(address), &returned, nullptr)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture scsi addr (%d)\n", static_cast<int>(GetLastError()));
      return 0;
    }
    dev->scsi_address = address;
  } else if (!huld_dev_is_csmi(dev)) {
    return 0;
  }
  return probe(dev);
}

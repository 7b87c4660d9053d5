// NVMe through the maker's own NVMe driver: every command as one "NvmeMini" miniport
// pass-through request on the controller's storage-port handle.
#define HULD_MODULE "huld\\windows\\huld_nvme_windows_xr"

#include "huld/windows/huld_nvme_windows_xr.h"
#include "huld/windows/huld_nvme_windows.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/nvme_miniport_layout.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

using namespace nvme_miniport;

constexpr uint32_t kDumpLimit = 4096;

void log_request(const uint8_t *r, uint32_t data_len) {
  HULD_LOG(HULD_LOG_VERBOSE, "data_buffer_sz: %u\n", data_len);
  HULD_LOG(HULD_LOG_VERBOSE, "srb->HeaderLength: %u\n", huld_get_le32(r));
  HULD_LOG(HULD_LOG_VERBOSE, "srb->Signature: %c%c%c%c%c%c%c%c\n", r[4], r[5], r[6], r[7], r[8], r[9],
           r[10], r[11]);
  HULD_LOG(HULD_LOG_VERBOSE, "srb->Timeout: %u\n", huld_get_le32(r + kOffTimeout));
  HULD_LOG(HULD_LOG_VERBOSE, "srb->ControlCode: %xh\n", huld_get_le32(r + kOffControlCode));
  HULD_LOG(HULD_LOG_VERBOSE, "srb->ReturnCode: %u\n", huld_get_le32(r + kOffReturnCode));
  HULD_LOG(HULD_LOG_VERBOSE, "srb->Length: %u\n", huld_get_le32(r + kOffLength));
  for (uint32_t i = 0; i < 16; ++i)
    HULD_LOG(HULD_LOG_VERBOSE, "NVMeCmd[%u]: %xh\n", i, huld_get_le32(r + kOffCommand + 4 * i));
  HULD_LOG(HULD_LOG_VERBOSE, "Direction: %u\n", huld_get_le32(r + kOffDirection));
  HULD_LOG(HULD_LOG_VERBOSE, "QueueId: %u\n", huld_get_le32(r + kOffQueueId));
  HULD_LOG(HULD_LOG_VERBOSE, "DataBufferLen: %u\n", huld_get_le32(r + kOffDataBufferLen));
  HULD_LOG(HULD_LOG_VERBOSE, "MetaDataLen: %u\n", huld_get_le32(r + kOffMetaDataLen));
  HULD_LOG(HULD_LOG_VERBOSE, "ReturnBufferLen: %u\n", huld_get_le32(r + kOffReturnBufferLen));
}

void dump(const char *title, const void *p, uint32_t n) {
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump(title, p, n);
}

}  // namespace

int huld_nvme_windows_xr_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (!dev || !cmd || huld_nvme_data_invalid(cmd)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  }
  const bool to_device = cmd->ddir == HULD_DDIR_TO_DEVICE;
  const bool from_device = cmd->ddir == HULD_DDIR_FROM_DEVICE;
  const uint32_t size = kOffData + cmd->data_len;
  auto *r = static_cast<uint8_t *>(std::calloc(size, 1));
  if (!r) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);

  huld_put_le32(r, kHeaderLength);
  std::memcpy(r + kOffSignature, "NvmeMini", 8);
  huld_put_le32(r + kOffTimeout, 0);  // this driver takes no time-out
  huld_put_le32(r + kOffControlCode, kControlCode);
  huld_put_le32(r + kOffReturnCode, 0);
  huld_put_le32(r + kOffLength, size - kHeaderLength);
  huld_nvme_put_submission_entry(r + kOffCommand, cmd);
  huld_put_le32(r + kOffDirection, to_device ? 1 : from_device ? 2 : 0);
  huld_put_le32(r + kOffQueueId, cmd->queue);
  huld_put_le32(r + kOffDataBufferLen, to_device ? cmd->data_len : 0);
  huld_put_le32(r + kOffMetaDataLen, 0);
  huld_put_le32(r + kOffReturnBufferLen, size);
  if (to_device && cmd->data_len) std::memcpy(r + kOffData, cmd->data, cmd->data_len);

  log_request(r, cmd->data_len);
  dump("wcmd", r, kOffData);
  if (to_device && cmd->data_len) dump("beginning of data buffer", r + kOffData, huld_min(cmd->data_len, kDumpLimit));

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_SCSI_MINIPORT, r, size, r, size, &returned, nullptr);
  if (!ok) {
    const DWORD e = GetLastError();
    std::free(r);
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, e, "error executing scsi miniport DeviceIoControl");
  }
  // ReturnCode and a completion the driver did not hand back are what was sent: a zero ReturnCode
  // and a zero status, which read as success.
  if (returned < kCompletionEnd) {
    std::free(r);
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing scsi miniport DeviceIoControl");
  }

  // The driver writes completion DW0 over the command's DW0 and the whole entry at CplEntry.
  cmd->cpl[0] = huld_get_le32(r + kOffCommand);
  for (uint32_t i = 1; i < 4; ++i) cmd->cpl[i] = huld_get_le32(r + kOffCompletion + 4 * i);
  dump("wcmd", r, kOffData);
  if (from_device && cmd->data_len) {
    std::memcpy(cmd->data, r + kOffData, cmd->data_len);
    dump("beginning of data buffer", r + kOffData, huld_min(cmd->data_len, kDumpLimit));
  }
  const uint32_t rc = huld_get_le32(r + kOffReturnCode);
  std::free(r);
  if (rc != 0) return HULD_ERROR(err, HULD_ERROR_SYSTEM, rc, "NVMe passthrough return code %xh", rc);
  return huld_error_clear(err);
}

int huld_nvme_windows_xr_probe(huld_dev *dev) {
  if (dev->conn.driver == ADAPTEC_RAID) {
    HULD_LOG(HULD_LOG_DEBUG, "skip nvme windows probe on adaptec raid driver\n");
    return 0;
  }
  return huld_nvme_windows_identify_probe(dev, huld_nvme_windows_xr_execute, "nvme windows");
}

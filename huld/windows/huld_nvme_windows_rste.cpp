// NVMe through the Intel RSTe driver ("NvmeRAID" pass-through by disk id).
#define HULD_MODULE "huld\\windows\\huld_nvme_windows_rste"

#include "huld/windows/huld_nvme_windows_rste.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/nvme_miniport_layout.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

using namespace nvme_miniport;

constexpr uint8_t kOpVendorE4 = 0xE4;
constexpr uint32_t kE4Length = 4096;

}  // namespace

void xlate_huld_nvme_cmd_to_rste_cmd(const huld_nvme_cmd *cmd, uint32_t rste_disk_id, uint8_t **request,
                                     uint32_t *size) {
  *request = nullptr;
  *size = 0;
  if (!cmd || cmd->data_len > WIN_FW_MAX_DATA_LENGTH) return;
  const uint32_t total = kOffData + cmd->data_len;
  auto *r = static_cast<uint8_t *>(std::calloc(total, 1));
  if (!r) return;
  huld_put_le32(r, kHeaderLength);
  std::memcpy(r + 4, "NvmeRAID", 8);
  huld_put_le32(r + kOffTimeout, cmd->timeout_ms / 1000);
  huld_put_le32(r + kOffControlCode, kControlCode);
  huld_put_le32(r + kOffReturnCode, rste_disk_id);  // the driver selects the disk by it
  huld_put_le32(r + kOffLength, total - kHeaderLength);
  huld_nvme_put_submission_entry(r + kOffCommand, cmd);
  huld_put_le32(r + kOffDirection,
                cmd->ddir == HULD_DDIR_TO_DEVICE ? 1 : cmd->ddir == HULD_DDIR_FROM_DEVICE ? 2 : 0);
  huld_put_le32(r + kOffQueueId, cmd->queue);
  huld_put_le32(r + kOffDataBufferLen, cmd->data_len);
  huld_put_le32(r + kOffReturnBufferLen, total);
  if (cmd->data && cmd->data_len) std::memcpy(r + kOffData, cmd->data, cmd->data_len);
  *request = r;
  *size = total;
}

int huld_nvme_windows_rste_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (!dev || !cmd || huld_nvme_data_invalid(cmd)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  }
  // Vendor command E4h needs a to-device buffer: a zeroed one when the caller gave none. The
  // caller's record is sent as it stands otherwise and is never changed but for cpl.
  huld_nvme_cmd send = *cmd;
  uint8_t *e4_buffer = nullptr;
  if ((cmd->cdw0 & 0xFF) == kOpVendorE4 && (!cmd->data || cmd->data_len == 0)) {
    e4_buffer = static_cast<uint8_t *>(std::calloc(kE4Length, 1));
    if (!e4_buffer) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", kE4Length);
    send.data = e4_buffer;
    send.data_len = kE4Length;
    send.ddir = HULD_DDIR_TO_DEVICE;
  }

  uint8_t *r = nullptr;
  uint32_t size = 0;
  xlate_huld_nvme_cmd_to_rste_cmd(&send, dev->rste_disk_id, &r, &size);
  if (!r) {
    std::free(e4_buffer);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", kOffData + send.data_len);
  }

  HULD_LOG(HULD_LOG_VERBOSE, "rste cmd out\n");
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.HeaderLength: %u\n", huld_get_le32(r));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.Signature: %.8s\n", reinterpret_cast<const char *>(r + 4));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.Timeout: %u\n", huld_get_le32(r + kOffTimeout));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.ControlCode: %xh\n", huld_get_le32(r + kOffControlCode));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.ReturnCode: %xh\n", huld_get_le32(r + kOffReturnCode));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.Length: %u\n", huld_get_le32(r + kOffLength));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->QueueId: %xh\n", huld_get_le32(r + kOffQueueId));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->DataBufferLen: %u\n", huld_get_le32(r + kOffDataBufferLen));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->Direction: %u\n", huld_get_le32(r + kOffDirection));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->NVMeCmd[0]: %xh\n", huld_get_le32(r + kOffCommand));
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->NVMeCmd[1]: %xh\n", huld_get_le32(r + kOffCommand + 4));
  for (uint32_t i = 10; i < 16; ++i)
    HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->NVMeCmd[%u]: %xh\n", i, huld_get_le32(r + kOffCommand + 4 * i));

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_SCSI_MINIPORT, r, size, r, size, &returned, nullptr);
  const DWORD e = ok ? ERROR_SUCCESS : GetLastError();

  for (uint32_t i = 0; i < 4; ++i) cmd->cpl[i] = huld_get_le32(r + kOffCompletion + 4 * i);
  // Only a command from the device returns data: the caller's buffer of a download may be the
  // image shared with other drives. The length the driver returns counts no more than was sent.
  if (ok && cmd->ddir == HULD_DDIR_FROM_DEVICE && cmd->data && cmd->data_len) {
    const uint32_t n = huld_min(huld_get_le32(r + kOffDataBufferLen), cmd->data_len);
    std::memcpy(cmd->data, r + kOffData, n);
  }
  HULD_LOG(HULD_LOG_VERBOSE, "rste command result\n");
  HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->SrbIoCtrl.ReturnCode: %xh\n", huld_get_le32(r + kOffReturnCode));
  for (uint32_t i = 0; i < 4; ++i) HULD_LOG(HULD_LOG_VERBOSE, "pt_ioctl->CplEntry[%u]: %xh\n", i, cmd->cpl[i]);
  std::free(r);
  std::free(e4_buffer);
  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, e, "error executing rste passthrough DeviceIoControl");
  // A completion the driver did not hand back is the zeroed one that was sent: success.
  if (returned < kCompletionEnd) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing rste passthrough DeviceIoControl");
  }
  return huld_error_clear(err);
}

// Intel RST firmware requests shared by the NVMe and ATA back ends.
#define HULD_MODULE "huld\\windows\\intel_fw_common"

#include "huld/windows/intel_fw_common.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"

namespace {

constexpr uint32_t kHeaderLength = 28;
constexpr uint32_t kReturnCode = 20;
constexpr uint32_t kReturnCodeEnd = kReturnCode + sizeof(uint32_t);
constexpr uint32_t kDumpLimit = 4096;
constexpr uint32_t kGetInfoTimeout = 30;
constexpr uint32_t kGetInfoDataLength = INTEL_FW_GET_INFO_SIZE - 56;  // 792
// Firmware information answer: the slot count and the active slot, then the slot entries.
constexpr uint32_t kInfoSlotCount = 65;
constexpr uint32_t kInfoActiveSlot = 66;
constexpr uint32_t kInfoActiveSlotEnd = kInfoActiveSlot + 1;
constexpr uint32_t kInfoPendingSlot = 67;
constexpr uint32_t kSlotEntries = 80;
constexpr uint32_t kSlotEntrySize = 24;
constexpr uint32_t kMaxSlotEntries = (INTEL_FW_GET_INFO_SIZE - kSlotEntries) / kSlotEntrySize;  // 32

static_assert(kMaxSlotEntries == 32);

// SRB_IO_CONTROL header, address block and firmware request block (offsets 0-55).
void put_head(uint8_t *r, uint32_t size, uint32_t timeout_s, const SCSI_ADDRESS *address, uint32_t function,
              uint32_t flags) {
  huld_put_le32(r + 0, kHeaderLength);
  std::memcpy(r + 4, INTEL_FW_SIGNATURE, 8);
  huld_put_le32(r + 12, timeout_s);
  huld_put_le32(r + 16, INTEL_FW_CONTROL_CODE);
  huld_put_le32(r + 24, size - kHeaderLength);
  r[28] = 1;
  r[29] = address->PathId;
  r[30] = address->TargetId;
  r[31] = address->Lun;
  huld_put_le32(r + 32, 1);
  huld_put_le32(r + 36, 24);
  huld_put_le32(r + 40, function);
  huld_put_le32(r + 44, flags);
  huld_put_le32(r + 48, 56);
  huld_put_le32(r + 52, size - 56);
}

void log_head(const uint8_t *r) {
  huld_log_printf("    ioctl->Version:                     %u\n", static_cast<unsigned>(r[28]));
  huld_log_printf("    ioctl->PathId:                      %u\n", static_cast<unsigned>(r[29]));
  huld_log_printf("    ioctl->TargetId:                    %u\n", static_cast<unsigned>(r[30]));
  huld_log_printf("    ioctl->Lun:                         %u\n", static_cast<unsigned>(r[31]));
  huld_log_printf("    fw_request->Version:                %u\n", huld_get_le32(r + 32));
  huld_log_printf("    fw_request->Size:                   %u\n", huld_get_le32(r + 36));
  huld_log_printf("    fw_request->Function:               %u\n", huld_get_le32(r + 40));
  huld_log_printf("    fw_request->Flags:                  %xh\n", huld_get_le32(r + 44));
  huld_log_printf("    fw_request->DataBufferOffset:       %u\n", huld_get_le32(r + 48));
  huld_log_printf("    fw_request->DataBufferLength:       %u\n", huld_get_le32(r + 52));
}

}  // namespace

void intel_fw_log_header(const char *title, const uint8_t *r) {
  if (huld_log_level < HULD_LOG_VERBOSE) return;
  huld_log_printf("%s", title);
  huld_log_printf("    srb->HeaderLength:                  %u\n", huld_get_le32(r + 0));
  huld_log_printf("    srb->Signature:                     %.8s\n", reinterpret_cast<const char *>(r + 4));
  huld_log_printf("    srb->Timeout:                       %u\n", huld_get_le32(r + 12));
  huld_log_printf("    srb->ControlCode:                   %xh\n", huld_get_le32(r + 16));
  huld_log_printf("    srb->ReturnCode:                    %xh\n", huld_get_le32(r + kReturnCode));
  huld_log_printf("    srb->Length:                        %u\n", huld_get_le32(r + 24));
}

bool intel_fw_send(HANDLE port, uint8_t *request, uint32_t size, DWORD *error) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(port, IOCTL_SCSI_MINIPORT, request, size, request, size, &returned, nullptr);
  *error = ok ? ERROR_SUCCESS : GetLastError();
  // A ReturnCode the driver did not hand back is the 0 that was sent: an answer that stops before
  // it is no answer.
  if (ok && returned < kReturnCodeEnd) *error = ERROR_INVALID_DATA;
  return *error == ERROR_SUCCESS;
}

uint32_t intel_fw_return_code(const uint8_t *request) { return huld_get_le32(request + kReturnCode); }

void intel_fw_fill_activate(const SCSI_ADDRESS *address, uint8_t **request, uint32_t *size, uint32_t timeout_s,
                            uint32_t flags, uint8_t slot) {
  *request = nullptr;
  *size = 0;
  auto *r = static_cast<uint8_t *>(std::calloc(1, INTEL_FW_ACTIVATE_SIZE));
  if (!r) return;
  put_head(r, INTEL_FW_ACTIVATE_SIZE, timeout_s, address, INTEL_FW_FUNCTION_ACTIVATE, flags);
  huld_put_le32(r + 56, 1);
  huld_put_le32(r + 60, 12);
  r[64] = slot;
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    intel_fw_log_header("intel activate command\n", r);
    log_head(r);
    huld_log_printf("    activate->Version:                  %u\n", huld_get_le32(r + 56));
    huld_log_printf("    activate->Size:                     %u\n", huld_get_le32(r + 60));
    huld_log_printf("    activate->SlotToActivate:           %u\n", static_cast<unsigned>(r[64]));
    huld_log_dump("irst activate command raw", r, INTEL_FW_ACTIVATE_SIZE);
  }
  *request = r;
  *size = INTEL_FW_ACTIVATE_SIZE;
}

void intel_fw_fill_download(const SCSI_ADDRESS *address, uint8_t **request, uint32_t *size, uint32_t timeout_s,
                            uint32_t flags, const void *image, uint32_t length, uint64_t offset) {
  *request = nullptr;
  *size = 0;
  if (length > INTEL_FW_MAX_PIECE || (length > 0 && image == nullptr)) return;
  const uint32_t total = length + INTEL_FW_DOWNLOAD_IMAGE_OFFSET;
  auto *r = static_cast<uint8_t *>(std::calloc(1, total));
  if (!r) return;
  put_head(r, total, timeout_s, address, INTEL_FW_FUNCTION_DOWNLOAD, flags);
  huld_put_le32(r + 56, 2);
  huld_put_le32(r + 60, 32);
  huld_put_le64(r + 64, offset);
  huld_put_le64(r + 72, length);
  r[80] = 0xFF;
  if (length > 0) std::memcpy(r + INTEL_FW_DOWNLOAD_IMAGE_OFFSET, image, length);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    intel_fw_log_header("irst download command\n", r);
    log_head(r);
    huld_log_printf("    download->Version:                  %u\n", huld_get_le32(r + 56));
    huld_log_printf("    download->Size:                     %u\n", huld_get_le32(r + 60));
    huld_log_printf("    download->Offset:                   %llxh\n",
                    static_cast<unsigned long long>(huld_get_le64(r + 64)));
    huld_log_printf("    download->BufferSize:               %llxh\n",
                    static_cast<unsigned long long>(huld_get_le64(r + 72)));
    huld_log_printf("    download->Slot:                     %xh\n", static_cast<unsigned>(r[80]));
    huld_log_dump("beginning of irst download command raw", r, huld_min(total, kDumpLimit));
  }
  *request = r;
  *size = total;
}

int intel_fw_get_active_slot(huld_error *err, HANDLE port, const SCSI_ADDRESS *address, uint32_t *slot) {
  auto *r = static_cast<uint8_t *>(std::calloc(1, INTEL_FW_GET_INFO_SIZE));
  if (!r) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes to capture active slot",
                      INTEL_FW_GET_INFO_SIZE);
  }
  put_head(r, INTEL_FW_GET_INFO_SIZE, kGetInfoTimeout, address, INTEL_FW_FUNCTION_GET_INFO, 0);
  huld_put_le32(r + 52, kGetInfoDataLength);
  huld_put_le32(r + 56, 2);
  huld_put_le32(r + 60, 24);

  DWORD returned = 0;
  if (!DeviceIoControl(port, IOCTL_SCSI_MINIPORT, r, INTEL_FW_GET_INFO_SIZE, r, INTEL_FW_GET_INFO_SIZE, &returned,
                       nullptr)) {
    const DWORD error = GetLastError();
    std::free(r);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, error, "failed to capture firmware info structure v2");
  }
  // ReturnCode, the slot count and the active slot are read from the answer: one that stops before
  // them holds what was sent.
  if (returned < kInfoActiveSlotEnd) {
    std::free(r);
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "failed to capture firmware info structure v2");
  }
  const uint32_t rc = intel_fw_return_code(r);
  if (rc != 0) {
    std::free(r);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, rc, "failed to capture firmware info structure v2 - srb failed");
  }
  const uint32_t slot_count = r[kInfoSlotCount];
  const uint32_t active = r[kInfoActiveSlot];
  if (huld_log_level >= HULD_LOG_DEBUG) {
    huld_log_printf("shared fw: %u\n", static_cast<unsigned>(r[68]));
    huld_log_printf("active slot: %u\n", active);
    huld_log_printf("pending active slot: %u\n", static_cast<unsigned>(r[kInfoPendingSlot]));
    huld_log_printf("alignment: %u\n", huld_get_le32(r + 72));
    huld_log_printf("max: %u\n", huld_get_le32(r + 76));
    const uint32_t entries = huld_min(slot_count, kMaxSlotEntries);
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t *e = r + kSlotEntries + i * kSlotEntrySize;
      huld_log_printf("slot %u (%d): rev %.16s, ro %u\n", static_cast<unsigned>(e[0]), static_cast<int>(i),
                      reinterpret_cast<const char *>(e + 8), static_cast<unsigned>(e[1]));
    }
  }
  std::free(r);
  if (slot_count == 0) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "unable to find active firmware slot");
  *slot = active;
  HULD_LOG(HULD_LOG_DEBUG, "active slot %u\n", active);
  return huld_error_clear(err);
}

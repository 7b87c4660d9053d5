// Windows firmware requests shared by the back ends.
#define HULD_MODULE "huld\\windows\\win_fw_common"

#include "huld/windows/win_fw_common.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"

// Requests are written and read at fixed offsets; the structures only name them.
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ActiveSlot) == 10);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) == 24);
static_assert(sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO) == 32);
static_assert(sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot) == 12);
static_assert(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) == 40);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer) == 32);
static_assert(sizeof(SRB_IO_CONTROL) == 28);
static_assert(sizeof(FIRMWARE_REQUEST_BLOCK) == 24);
static_assert(sizeof(STORAGE_FIRMWARE_ACTIVATE) == 12);
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD, ImageBuffer) == 24);

namespace {

// GET_INFO answer: the header and one slot entry; the larger retry has room for 255 slots.
constexpr uint32_t kGetInfoSize = 56;
constexpr uint32_t kGetInfoLargeSize = 24 + 32 * 255;
constexpr uint32_t kActiveSlotOffset = offsetof(STORAGE_HW_FIRMWARE_INFO, ActiveSlot);

// "FIRMWARE" request offsets.
constexpr uint32_t kSrbHeaderLength = 0;
constexpr uint32_t kSrbSignature = 4;
constexpr uint32_t kSrbTimeout = 12;
constexpr uint32_t kSrbControlCode = 16;
constexpr uint32_t kSrbReturnCode = 20;
constexpr uint32_t kSrbLength = 24;
constexpr uint32_t kSrbReturnCodeEnd = kSrbReturnCode + sizeof(uint32_t);
constexpr uint32_t kSrbSize = sizeof(SRB_IO_CONTROL);
constexpr uint32_t kReqVersion = kSrbSize + 0;
constexpr uint32_t kReqSize = kSrbSize + 4;
constexpr uint32_t kReqFunction = kSrbSize + 8;
constexpr uint32_t kReqFlags = kSrbSize + 12;
constexpr uint32_t kReqDataBufferOffset = kSrbSize + 16;
constexpr uint32_t kReqDataBufferLength = kSrbSize + 20;
constexpr uint32_t kFw = WIN_FW_MINIPORT_DATA_OFFSET;
constexpr uint32_t kFwDownloadStructSize = offsetof(STORAGE_FIRMWARE_DOWNLOAD, ImageBuffer);
constexpr uint32_t kFwActivateStructSize = sizeof(STORAGE_FIRMWARE_ACTIVATE);
constexpr uint32_t kDumpLimit = 4096;

static_assert(kFw == ((kSrbSize + sizeof(FIRMWARE_REQUEST_BLOCK) + 7) & ~7u));
static_assert(WIN_FW_MINIPORT_ACTIVATE_SIZE == kFw + kFwActivateStructSize);
static_assert(WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET == kFw + kFwDownloadStructSize);

uint8_t *build_header(uint32_t size, uint32_t timeout_s, uint32_t function) {
  auto *r = static_cast<uint8_t *>(std::calloc(1, size));
  if (!r) return nullptr;
  huld_put_le32(r + kSrbHeaderLength, kSrbSize);
  std::memcpy(r + kSrbSignature, "FIRMWARE", 8);
  huld_put_le32(r + kSrbTimeout, timeout_s);
  huld_put_le32(r + kSrbControlCode, IOCTL_SCSI_MINIPORT_FIRMWARE);
  huld_put_le32(r + kSrbReturnCode, 0);
  huld_put_le32(r + kSrbLength, size - kSrbSize);
  huld_put_le32(r + kReqVersion, FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION);
  huld_put_le32(r + kReqSize, sizeof(FIRMWARE_REQUEST_BLOCK));
  huld_put_le32(r + kReqFunction, function);
  huld_put_le32(r + kReqFlags, FIRMWARE_REQUEST_FLAG_CONTROLLER);
  huld_put_le32(r + kReqDataBufferOffset, kFw);
  huld_put_le32(r + kReqDataBufferLength, size - kFw);
  return r;
}

}  // namespace

int win_fw_get_active_slot(huld_error *err, HANDLE handle, uint32_t *slot) {
  uint8_t query[sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY)] = {};
  huld_put_le32(query + 0, sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY));
  huld_put_le32(query + 4, sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY));

  uint8_t small[kGetInfoSize] = {};
  uint8_t *answer = small;
  uint8_t *large = nullptr;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(handle, IOCTL_STORAGE_FIRMWARE_GET_INFO, query, sizeof(query), answer,
                            kGetInfoSize, &returned, nullptr);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok && (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA)) {
    // A driver that wants room for every slot gets it once.
    HULD_LOG(HULD_LOG_DEBUG, "IOCTL_STORAGE_FIRMWARE_GET_INFO needs a larger buffer (%lu)\n",
             static_cast<unsigned long>(error));
    large = static_cast<uint8_t *>(std::calloc(1, kGetInfoLargeSize));
    if (!large) {
      return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", kGetInfoLargeSize);
    }
    answer = large;
    returned = 0;
    ok = DeviceIoControl(handle, IOCTL_STORAGE_FIRMWARE_GET_INFO, query, sizeof(query), answer,
                         kGetInfoLargeSize, &returned, nullptr);
    error = ok ? ERROR_SUCCESS : GetLastError();
  }
  int result = 0;
  if (!ok) {
    result = HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "IOCTL_STORAGE_FIRMWARE_GET_INFO return code %d",
                        static_cast<int>(error));
  } else if (returned <= kActiveSlotOffset) {
    result = HULD_ERROR(err, HULD_ERROR_SYSTEM, returned,
                        "IOCTL_STORAGE_FIRMWARE_GET_INFO returned %u bytes",
                        static_cast<unsigned>(returned));
  } else {
    *slot = answer[kActiveSlotOffset];
    HULD_LOG(HULD_LOG_VERBOSE, "active firmware slot: %xh\n", static_cast<unsigned>(*slot));
    huld_error_clear(err);
  }
  std::free(large);
  return result;
}

void win_fw_fill_activate(STORAGE_HW_FIRMWARE_ACTIVATE *activate, uint32_t flags, uint8_t slot) {
  auto *r = reinterpret_cast<uint8_t *>(activate);
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Version), sizeof(STORAGE_HW_FIRMWARE_ACTIVATE));
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Size), sizeof(STORAGE_HW_FIRMWARE_ACTIVATE));
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Flags), flags);
  r[offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot)] = slot;
}

void win_fw_fill_download(STORAGE_HW_FIRMWARE_DOWNLOAD **download, uint32_t *size, const void *data,
                          uint32_t length, uint32_t offset, uint32_t flags, uint8_t slot) {
  *download = nullptr;
  *size = 0;
  if (length > WIN_FW_MAX_DATA_LENGTH || (length > 0 && data == nullptr)) return;
  const uint32_t total = length + static_cast<uint32_t>(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD));
  auto *r = static_cast<uint8_t *>(std::calloc(1, total));
  if (!r) return;
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Version), sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD));
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Size), total);
  huld_put_le32(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Flags), flags);
  r[offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Slot)] = slot;
  huld_put_le64(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset), offset);
  huld_put_le64(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, BufferSize), length);
  if (length > 0) std::memcpy(r + offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer), data, length);

  HULD_LOG(HULD_LOG_VERBOSE, "Windows 10 STORAGE_HW_FIRMWARE_DOWNLOAD\n");
  HULD_LOG(HULD_LOG_VERBOSE, "fw_download_sz: %xh\n", total);
  HULD_LOG(HULD_LOG_VERBOSE, "fw_download: %p\n", static_cast<void *>(r));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->Version: %xh\n", huld_get_le32(r + 0));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->Size: %xh\n", huld_get_le32(r + 4));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->Flags: %xh\n", huld_get_le32(r + 8));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->Slot: %xh\n", static_cast<unsigned>(r[12]));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->Offset: %xh\n", static_cast<unsigned>(offset));
  HULD_LOG(HULD_LOG_VERBOSE, "hwfwdl->BufferSize: %xh\n", length);
  *download = reinterpret_cast<STORAGE_HW_FIRMWARE_DOWNLOAD *>(r);
  *size = total;
}

uint8_t *win_fw_miniport_build_activate(uint32_t timeout_s, uint8_t slot, uint32_t *size) {
  *size = 0;
  uint8_t *r = build_header(WIN_FW_MINIPORT_ACTIVATE_SIZE, timeout_s, FIRMWARE_FUNCTION_ACTIVATE);
  if (!r) return nullptr;
  huld_put_le32(r + kFw + 0, STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION);
  huld_put_le32(r + kFw + 4, kFwActivateStructSize);
  r[kFw + offsetof(STORAGE_FIRMWARE_ACTIVATE, SlotToActivate)] = slot;
  *size = WIN_FW_MINIPORT_ACTIVATE_SIZE;
  return r;
}

uint8_t *win_fw_miniport_build_download(uint32_t timeout_s, uint64_t offset, const void *data,
                                        uint32_t length, uint32_t *size) {
  *size = 0;
  if (length > WIN_FW_MAX_DATA_LENGTH || (length > 0 && data == nullptr)) return nullptr;
  const uint32_t total = length + WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET;
  uint8_t *r = build_header(total, timeout_s, FIRMWARE_FUNCTION_DOWNLOAD);
  if (!r) return nullptr;
  huld_put_le32(r + kFw + 0, STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION);
  huld_put_le32(r + kFw + 4, kFwDownloadStructSize);
  huld_put_le64(r + kFw + offsetof(STORAGE_FIRMWARE_DOWNLOAD, Offset), offset);
  huld_put_le64(r + kFw + offsetof(STORAGE_FIRMWARE_DOWNLOAD, BufferSize), length);
  if (length > 0) std::memcpy(r + WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET, data, length);
  *size = total;
  return r;
}

void win_fw_miniport_log(const uint8_t *r, uint32_t size) {
  if (huld_log_level < HULD_LOG_VERBOSE) return;
  huld_log_printf("srb->HeaderLength:       %xh\n", huld_get_le32(r + kSrbHeaderLength));
  huld_log_printf("srb->Signature:          %.8s\n", reinterpret_cast<const char *>(r + kSrbSignature));
  huld_log_printf("srb->Timeout:            %xh\n", huld_get_le32(r + kSrbTimeout));
  huld_log_printf("srb->ControlCode:        %xh\n", huld_get_le32(r + kSrbControlCode));
  huld_log_printf("srb->ReturnCode:         %xh\n", huld_get_le32(r + kSrbReturnCode));
  huld_log_printf("srb->Length:             %xh\n", huld_get_le32(r + kSrbLength));
  huld_log_printf("fwreq->Version:          %xh\n", huld_get_le32(r + kReqVersion));
  huld_log_printf("fwreq->Size:             %xh\n", huld_get_le32(r + kReqSize));
  huld_log_printf("fwreq->Function:         %xh\n", huld_get_le32(r + kReqFunction));
  huld_log_printf("fwreq->Flags:            %xh\n", huld_get_le32(r + kReqFlags));
  huld_log_printf("fwreq->DataBufferOffset: %xh\n", huld_get_le32(r + kReqDataBufferOffset));
  huld_log_printf("fwreq->DataBufferLength: %xh\n", huld_get_le32(r + kReqDataBufferLength));
  if (huld_get_le32(r + kReqFunction) == FIRMWARE_FUNCTION_ACTIVATE) {
    huld_log_printf("fwact->Version:          %xh\n", huld_get_le32(r + kFw));
    huld_log_printf("fwact->Size:             %xh\n", huld_get_le32(r + kFw + 4));
    huld_log_printf("fwact->SlotToActivate:   %xh\n", static_cast<unsigned>(r[kFw + 8]));
  } else {
    huld_log_printf("fwdl->Version:           %xh\n", huld_get_le32(r + kFw));
    huld_log_printf("fwdl->Size:              %xh\n", huld_get_le32(r + kFw + 4));
    huld_log_printf("fwdl->Offset:            %llxh\n",
                    static_cast<unsigned long long>(huld_get_le64(r + kFw + 8)));
    huld_log_printf("fwdl->BufferSize:        %llxh\n",
                    static_cast<unsigned long long>(huld_get_le64(r + kFw + 16)));
  }
  huld_log_dump("beginning of output scsi miniport", r, size < kDumpLimit ? size : kDumpLimit);
}

uint32_t win_fw_miniport_function(const uint8_t *request) {
  return huld_get_le32(request + kReqFunction);
}

uint32_t win_fw_miniport_return_code(const uint8_t *request) {
  return huld_get_le32(request + kSrbReturnCode);
}

int win_fw_miniport_accepted(const uint8_t *request) {
  const uint32_t rc = win_fw_miniport_return_code(request);
  if (rc == FIRMWARE_STATUS_SUCCESS) return 1;
  return win_fw_miniport_function(request) == FIRMWARE_FUNCTION_ACTIVATE &&
                 rc == FIRMWARE_STATUS_POWER_CYCLE_REQUIRED
             ? 1
             : 0;
}

int win_fw_miniport_send(huld_error *err, huld_dev *dev, uint8_t *request, uint32_t size,
                         const char *module, const char *function, uint32_t line) {
  win_fw_miniport_log(request, size);
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_SCSI_MINIPORT, request, size, request,
                                  size, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  const bool activate = win_fw_miniport_function(request) == FIRMWARE_FUNCTION_ACTIVATE;
  const uint32_t return_code = win_fw_miniport_return_code(request);
  const int accepted = win_fw_miniport_accepted(request);
  std::free(request);

  // A ReturnCode the driver did not hand back is the 0 that was sent: an answer that stops before
  // it is no answer.
  if (!ok || returned < kSrbReturnCodeEnd) {
    return huld_error_set(err, HULD_ERROR_SYSTEM, ok ? ERROR_INVALID_DATA : error, module, function, line,
                          "error executing scsi miniport protocol DeviceIoControl");
  }
  HULD_LOG(HULD_LOG_VERBOSE, "srb->ReturnCode: %xh\n", return_code);
  if (!accepted) {
    return huld_error_set(err, HULD_ERROR_SYSTEM, return_code, module, function, line,
                          activate ? "SRB_IO_CONTROL return code %d on firmware activate"
                                   : "SRB_IO_CONTROL return code %d on firmware download",
                          static_cast<int>(return_code));
  }
  return huld_error_clear(err);
}

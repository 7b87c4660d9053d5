// Firmware download and activation over ATA, NVMe and SCSI, the size, mode and slot rules, the
// running revision, the NVMe bus reset and the library's own download and update flows.
#include "vornfirmware/firmware.h"

#include <cstring>
#include <vector>

#include "huld/huld_util.h"
#include "platform/win32.h"
#include "vornata/ata.h"
#include "vornata/parse.h"
#include "vornnvme/nvme.h"
#include "vornnvme/parse.h"
#include "vornscsi/parse.h"
#include "vornscsi/scsi.h"
#include "vornwincom/drive_report.h"

#define HULD_MODULE "vornfirmware\\firmware"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kAtaMaxBlocks = 0xFFFF;       // 16-bit block count and block offset
constexpr uint32_t kScsiMaxBytes = 0xFFFFFF;     // 24-bit buffer offset and length
constexpr uint32_t kIdentifySize = 4096;         // NVMe Identify Controller
constexpr uint32_t kSectorSize = 512;            // IDENTIFY DEVICE, a log page, INQUIRY
constexpr uint32_t kSlotInfoNumd = 127;          // 512 bytes of the Firmware Slot Information log
constexpr uint8_t kLogIdentifyDeviceData = 0x30;
constexpr uint8_t kPageSupportedCapabilities = 0x03;
constexpr uint8_t kLogFirmwareSlotInfo = 0x03;
constexpr DWORD kResetBus = IOCTL_STORAGE_RESET_BUS;
const char kUnsupported[] = "unsupported device interface";
const char kNoFit07[] = "image does not fit one DOWNLOAD MICROCODE command for mode 7h";

void put(vornfirmware_progress *progress, double value) {
  if (progress) progress->store(value, std::memory_order_relaxed);
}

uint32_t ceil_div(uint32_t value, uint32_t unit) { return value / unit + (value % unit != 0); }

// How one piece travels: its command, the unit its length must be a whole number of, and where
// the progress goes (base + weight * sent / size).
struct Pieces {
  enum Kind { ata, nvme, scsi } kind;
  uint8_t mode;
  uint32_t unit;
  double base;
  double weight;
};

int send_piece(huld_error *err, huld_dev *dev, const Pieces &how, uint32_t offset, void *data,
               uint32_t length) {
  switch (how.kind) {
    case Pieces::ata:
      return vornata_execute_download_microcode(err, dev, how.mode,
                                                static_cast<uint16_t>(length / kBlock),
                                                static_cast<uint16_t>(offset / kBlock), data,
                                                length);
    case Pieces::nvme:
      return vornnvme_execute_firmware_image_download(err, dev, length / 4 - 1, offset / 4, data,
                                                      length);
    case Pieces::scsi:
      break;
  }
  return vornscsi_execute_write_buffer(err, dev, how.mode, length, offset, data, length);
}

// The refusals made before any command: a zero transfer size, a transfer size that block or dword
// counts cannot carry, and images beyond the command's offset fields.
int check_pieces(huld_error *err, const Pieces &how, uint32_t size, uint32_t chunk,
                 const char *function) {
  if (chunk == 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "transfer size is 0");
  }
  if (chunk % how.unit != 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "transfer size %u is not a multiple of %u bytes", chunk, how.unit);
  }
  if (how.kind == Pieces::ata && ceil_div(size, kBlock) > kAtaMaxBlocks) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "image of %u bytes exceeds %u blocks", size, kAtaMaxBlocks);
  }
  if (how.kind == Pieces::scsi && size > kScsiMaxBytes) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "image of %u bytes exceeds the 24-bit buffer offset", size);
  }
  return 0;
}

// Sends the image in pieces of `chunk` bytes, in place from the image; a last piece that is not a
// whole number of units goes zero-padded from one buffer of its own. Stops at the first failure.
int send_image(huld_error *err, huld_dev *dev, const Pieces &how, const uint8_t *image,
               uint32_t size, uint32_t chunk, vornfirmware_progress *progress,
               const char *function) {
  if (check_pieces(err, how, size, chunk, function)) return 1;
  uint32_t offset = 0;
  while (offset < size) {
    const uint32_t piece = size - offset < chunk ? size - offset : chunk;
    void *data = const_cast<uint8_t *>(image + offset);  // sent to the device, never written
    uint32_t length = piece;
    std::vector<uint8_t> padded;
    if (piece % how.unit != 0) {
      length = ceil_div(piece, how.unit) * how.unit;
      padded.assign(length, 0);
      std::memcpy(padded.data(), image + offset, piece);
      data = padded.data();
    }
    if (send_piece(err, dev, how, offset, data, length)) return 1;
    offset += piece;
    put(progress, how.base + how.weight * static_cast<double>(offset) / size);
  }
  return huld_error_clear(err);
}

Pieces ata_pieces(uint8_t mode, double base = 0.0, double weight = 1.0) {
  return Pieces{Pieces::ata, mode, kBlock, base, weight};
}
Pieces nvme_pieces(double weight = 1.0) { return Pieces{Pieces::nvme, 0, 4, 0.0, weight}; }
Pieces scsi_pieces(uint8_t mode, double weight = 1.0) {
  return Pieces{Pieces::scsi, mode, 1, 0.0, weight};
}

int ata_activate(huld_error *err, huld_dev *dev) {
  return vornata_execute_download_microcode(err, dev, VORNFIRMWARE_MODE_ACTIVATE, 0, 0, nullptr,
                                            0);
}
int scsi_activate(huld_error *err, huld_dev *dev) {
  return vornscsi_execute_write_buffer(err, dev, VORNFIRMWARE_MODE_ACTIVATE, 0, 0, nullptr, 0);
}

// Page 03h of the IDENTIFY DEVICE DATA log.
int read_capabilities_page(huld_error *err, huld_dev *dev, uint8_t *page) {
  return vornata_execute_read_log_ext(err, dev, 0, 1, kLogIdentifyDeviceData,
                                      kPageSupportedCapabilities, page, kSectorSize);
}

// A DOWNLOAD MICROCODE minimum or maximum in blocks as bytes: 0000h and FFFFh are "not indicated".
uint32_t dm_blocks_to_bytes(uint16_t blocks) {
  return blocks == 0xFFFF ? 0 : static_cast<uint32_t>(blocks) * kBlock;
}

using LogParser = int (*)(huld_error *, uint16_t *, const void *, uint32_t);

int ata_transfer_bytes(huld_error *err, huld_dev *dev, uint32_t *bytes, LogParser from_log,
                       LogParser from_identify) {
  uint8_t buffer[kSectorSize] = {};
  uint16_t blocks = 0;
  if (read_capabilities_page(err, dev, buffer) == 0 && from_log(err, &blocks, buffer, kSectorSize) == 0) {
    *bytes = dm_blocks_to_bytes(blocks);
    return huld_error_clear(err);
  }
  HULD_LOG(HULD_LOG_DEBUG, "capture id data log failed, fall back to id\n");
  HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
  if (vornata_execute_identify_device(err, dev, buffer, kSectorSize)) return 1;
  if (from_identify(err, &blocks, buffer, kSectorSize)) return 1;
  *bytes = dm_blocks_to_bytes(blocks);
  return huld_error_clear(err);
}

int identify_controller(huld_error *err, huld_dev *dev, uint8_t *buffer) {
  return vornnvme_execute_identify_controller(err, dev, buffer, kIdentifySize);
}

int read_slot_info(huld_error *err, huld_dev *dev, uint8_t *log) {
  return vornnvme_execute_get_log_page(err, dev, 0, kSlotInfoNumd, 0, 0, kLogFirmwareSlotInfo, 0,
                                       0, 0, 0, 0, log, kSectorSize);
}

int refuse_empty_output(huld_error *err, uint32_t size, const char *function) {
  if (size != 0) return 0;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "output size is 0");
}

// Sends IOCTL_STORAGE_RESET_BUS for one path id on an open handle; a failure names the system
// error and the device.
int reset_bus(huld_error *err, HANDLE handle, uint8_t path_id, const huld_dev *dev) {
  DWORD returned = 0;
  if (DeviceIoControl(handle, kResetBus, &path_id, 1, nullptr, 0, &returned, nullptr)) {
    return huld_error_clear(err);
  }
  DWORD error = GetLastError();
  if (error == 0) error = ERROR_GEN_FAILURE;
  return huld_error_set(err, HULD_ERROR_FAILURE, error, HULD_MODULE, "vornfirmware_nvme_reset",
                        __LINE__, "IOCTL_STORAGE_RESET_BUS returned 0x%X for %s\n",
                        static_cast<unsigned>(error), dev->name);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Downloads and activation
// ---------------------------------------------------------------------------------------------
int vornfirmware_ata_download(huld_error *err, huld_dev *dev, const uint8_t *image, uint32_t size,
                              uint8_t mode, uint32_t chunk, vornfirmware_progress *progress) {
  put(progress, 0.0);
  if (mode == VORNFIRMWARE_MODE_IMMEDIATE && chunk < size) {
    // Every piece of mode 07h activates at once: the image must go in one command.
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, kNoFit07);
  }
  return send_image(err, dev, ata_pieces(mode), image, size, chunk, progress, __func__);
}

int vornfirmware_nvme_download(huld_error *err, huld_dev *dev, const uint8_t *image,
                               uint32_t size, uint32_t chunk, vornfirmware_progress *progress) {
  put(progress, 0.0);
  return send_image(err, dev, nvme_pieces(), image, size, chunk, progress, __func__);
}

int vornfirmware_scsi_download(huld_error *err, huld_dev *dev, const uint8_t *image,
                               uint32_t size, uint8_t mode, uint32_t chunk,
                               vornfirmware_progress *progress) {
  put(progress, 0.0);
  return send_image(err, dev, scsi_pieces(mode), image, size, chunk, progress, __func__);
}

int vornfirmware_ata_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress) {
  put(progress, 0.0);
  if (ata_activate(err, dev)) return 1;
  put(progress, 1.0);
  return 0;
}

int vornfirmware_scsi_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress) {
  put(progress, 0.0);
  if (scsi_activate(err, dev)) return 1;
  put(progress, 1.0);
  return 0;
}

int vornfirmware_nvme_commit(huld_error *err, huld_dev *dev, uint8_t slot, uint8_t commit_action,
                             uint8_t boot_partition_id, vornfirmware_progress *progress) {
  put(progress, 0.0);
  if (vornnvme_execute_firmware_commit(err, dev, boot_partition_id, commit_action, slot)) return 1;
  put(progress, 1.0);
  return 0;
}

int vornfirmware_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress) {
  if (huld_log_trace) huld_log_printf("%s - enter\n", __func__);
  if (huld_log_trace) huld_log_printf("%s - exit\n", __func__);
  if (huld_dev_is_nvme(dev)) {
    return vornfirmware_nvme_commit(err, dev, 1, VORNFIRMWARE_COMMIT_REPLACE_ACTIVATE_AT_RESET, 0,
                                    progress);
  }
  if (huld_dev_is_ata(dev)) return vornfirmware_ata_activate(err, dev, progress);
  if (huld_dev_is_scsi(dev)) return vornfirmware_scsi_activate(err, dev, progress);
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, kUnsupported);
}

// ---------------------------------------------------------------------------------------------
// ATA transfer sizes and modes
// ---------------------------------------------------------------------------------------------
int vornfirmware_ata_check_download_mode_support(huld_error *err, huld_dev *dev, uint8_t mode) {
  uint8_t page[kSectorSize] = {};
  if (read_capabilities_page(err, dev, page)) return 1;
  int (*parse)(huld_error *, uint8_t *, const void *, uint32_t) = nullptr;
  switch (mode) {
    case VORNFIRMWARE_MODE_OFFSETS_IMMEDIATE:
      parse = vornata_id_data_log_parse_dm_offsets_immediate_supported;
      break;
    case VORNFIRMWARE_MODE_IMMEDIATE:
      parse = vornata_id_data_log_parse_dm_immediate_supported;
      break;
    case VORNFIRMWARE_MODE_OFFSETS_DEFERRED:
    case VORNFIRMWARE_MODE_ACTIVATE:
      parse = vornata_id_data_log_parse_dm_offsets_deferred_supported;
      break;
    default:
      return -1;
  }
  uint8_t supported = 0;
  if (parse(err, &supported, page, kSectorSize)) return 1;
  if (!supported) return -1;
  huld_error_clear(err);
  return 0;
}

int vornfirmware_ata_get_max_transfer_bytes(huld_error *err, huld_dev *dev, uint32_t *bytes) {
  return ata_transfer_bytes(err, dev, bytes, vornata_id_data_log_parse_dm_max_blocks,
                            vornata_identify_parse_dlmc_max_blocks);
}

int vornfirmware_ata_get_min_transfer_bytes(huld_error *err, huld_dev *dev, uint32_t *bytes) {
  return ata_transfer_bytes(err, dev, bytes, vornata_id_data_log_parse_dm_min_blocks,
                            vornata_identify_parse_dlmc_min_blocks);
}

int vornfirmware_ata_select_transfer_size(huld_error *err, huld_dev *dev, uint32_t *bytes,
                                          uint32_t default_bytes) {
  uint32_t min = 0, max = 0;
  if (vornfirmware_ata_get_min_transfer_bytes(err, dev, &min)) min = 0;
  const bool no_max = vornfirmware_ata_get_max_transfer_bytes(err, dev, &max) != 0 || max == 0;
  if (min > default_bytes) {
    *bytes = min;
  } else if (no_max) {
    *bytes = default_bytes;
  } else {
    *bytes = max < default_bytes ? max : default_bytes;
  }
  return huld_error_clear(err);
}

int vornfirmware_ata_get_transfer_size(huld_error *err, huld_dev *dev, uint32_t *bytes) {
  return vornfirmware_ata_select_transfer_size(err, dev, bytes, VORNFIRMWARE_DEFAULT_TRANSFER_SIZE);
}

// ---------------------------------------------------------------------------------------------
// NVMe transfer size and slots
// ---------------------------------------------------------------------------------------------
int vornfirmware_nvme_get_update_granularity(huld_error *err, huld_dev *dev, uint32_t *bytes) {
  uint8_t id[kIdentifySize] = {};
  uint8_t fwug = 0;
  if (identify_controller(err, dev, id)) return 1;
  if (vornnvme_identify_controller_parse_firmware_update_granularity(err, &fwug, id, kIdentifySize))
    return 1;
  *bytes = fwug == 0 ? 8192u : fwug == 0xFF ? 4096u : fwug * 4096u;
  return 0;
}

int vornfirmware_nvme_select_transfer_size(huld_error *err, huld_dev *dev, uint32_t *bytes,
                                           uint32_t default_bytes) {
  uint32_t granularity = 0;
  if (vornfirmware_nvme_get_update_granularity(err, dev, &granularity)) granularity = 8192;
  *bytes = default_bytes >= granularity ? default_bytes / granularity * granularity : granularity;
  return huld_error_clear(err);
}

int vornfirmware_nvme_get_transfer_size(huld_error *err, huld_dev *dev, uint32_t *bytes) {
  return vornfirmware_nvme_select_transfer_size(err, dev, bytes,
                                                VORNFIRMWARE_DEFAULT_TRANSFER_SIZE);
}

int vornfirmware_nvme_get_safe_firmware_slot(huld_error *err, huld_dev *dev, uint8_t *slot) {
  uint8_t id[kIdentifySize] = {};
  uint8_t read_only = 0, slots = 0;
  if (identify_controller(err, dev, id)) return 1;
  if (vornnvme_identify_controller_parse_first_firmware_slot_read_only(err, &read_only, id,
                                                                      kIdentifySize) ||
      vornnvme_identify_controller_parse_number_of_firmware_slots(err, &slots, id, kIdentifySize)) {
    return 1;
  }
  if (!read_only) {
    *slot = 1;
  } else if (slots >= 2) {
    *slot = 2;
  } else {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "no read/write slot exists");
  }
  return huld_error_clear(err);
}

int vornfirmware_nvme_get_active_slot(huld_error *err, huld_dev *dev, uint8_t *slot) {
  uint8_t log[kSectorSize] = {};
  if (read_slot_info(err, dev, log)) return 1;
  return vornnvme_firmware_slot_info_parse_active_slot(err, slot, log, kSectorSize);
}

int vornfirmware_nvme_get_active_slot_after_reset(huld_error *err, huld_dev *dev, uint8_t *slot) {
  uint8_t log[kSectorSize] = {};
  if (read_slot_info(err, dev, log)) return 1;
  return vornnvme_firmware_slot_info_parse_next_active_slot(err, slot, log, kSectorSize);
}

int vornfirmware_nvme_get_slot_firmware_revision(huld_error *err, huld_dev *dev, char *out,
                                                 uint32_t size, uint8_t slot) {
  if (refuse_empty_output(err, size, __func__)) return 1;
  if (slot < 1 || slot > 7) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "firmware slot %u is not 1 to 7", slot);
  }
  uint8_t log[kSectorSize] = {};
  if (read_slot_info(err, dev, log)) return 1;
  return vornnvme_firmware_slot_info_parse_fwrev(err, out, size, slot, log, kSectorSize);
}

// ---------------------------------------------------------------------------------------------
// Running revision
// ---------------------------------------------------------------------------------------------
int vornfirmware_get_current_firmware_revision(huld_error *err, huld_dev *dev, char *out,
                                               uint32_t size) {
  if (refuse_empty_output(err, size, __func__)) return 1;
  if (huld_dev_is_nvme(dev)) {
    uint8_t id[kIdentifySize] = {};
    if (identify_controller(err, dev, id)) return 1;
    return vornnvme_identify_controller_parse_firmware_revision(err, out, size, id, kIdentifySize);
  }
  uint8_t buffer[kSectorSize] = {};
  if (huld_dev_is_ata(dev)) {
    if (vornata_execute_identify_device(err, dev, buffer, kSectorSize)) return 1;
    return vornata_identify_parse_firmware(err, out, size, buffer, kSectorSize);
  }
  if (huld_dev_is_scsi(dev)) {
    if (vornscsi_execute_inquiry(err, dev, 0, 0, buffer, kSectorSize)) return 1;
    return vornscsi_inquiry_parse_product_revision(err, out, size, buffer, kSectorSize);
  }
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, kUnsupported);
}

// ---------------------------------------------------------------------------------------------
// NVMe bus reset
// ---------------------------------------------------------------------------------------------
namespace {

// Intel RST: the device's own handle and the path id of its SCSI address.
int reset_rst_bus(huld_error *err, huld_dev *dev) {
  if (huld_dev_open(err, dev)) return 1;
  return reset_bus(err, dev->conn.handle, dev->scsi_address.PathId, dev);
}

// The calling thread in the multithreaded apartment for the guard's life. A thread already in a
// single-threaded apartment stays there (and is not left).
class ComApartment {
 public:
  ComApartment() : joined_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComApartment() {
    if (joined_ == S_OK || joined_ == S_FALSE) CoUninitialize();
  }
  ComApartment(const ComApartment &) = delete;
  ComApartment &operator=(const ComApartment &) = delete;

 private:
  HRESULT joined_;
};

// Any other device: its controller's storage port, with the bus the system lists its disk on.
// The drive report's fillers ask WMI, which needs COM on this thread: nothing on the threads that
// run updates sets it up, so the reset joins the multithreaded apartment around them. A disk for
// which WMI gives no bus is not reset at all: bus 0 of its port may hold another drive.
int reset_port_bus(huld_error *err, huld_dev *dev) {
  uint32_t disk = 0;
  if (huld_dev_get_disk_number(err, &disk, dev)) return 1;
  vornwincom_drive_report report;
  std::memset(&report, 0, sizeof report);
  {
    ComApartment com;
    bool bus_given = false;
    if (vornwincom_fill_drive_report_disk_info(err, &report, disk, &bus_given)) return 1;
    if (!bus_given) {
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, "vornfirmware_nvme_reset", __LINE__,
                            "No SCSI bus listed for disk %u of %s; no bus reset sent", disk, dev->name);
    }
    if (vornwincom_fill_drive_report_controller_info(err, &report)) return 1;
  }
  report.storage_port_path[sizeof report.storage_port_path - 1] = '\0';
  HANDLE port = CreateFileA(report.storage_port_path, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, "vornfirmware_nvme_reset",
                          __LINE__, "CreateFile(%s) failed for %s", report.storage_port_path,
                          dev->name);
  }
  const int failed = reset_bus(err, port, report.scsi_bus, dev);
  CloseHandle(port);
  return failed;
}

}  // namespace

int vornfirmware_nvme_reset(huld_error *err, huld_dev *dev, vornfirmware_progress *progress) {
  put(progress, 0.0);
  if (huld_dev_is_intel_rst(dev) ? reset_rst_bus(err, dev) : reset_port_bus(err, dev)) return 1;
  put(progress, 1.0);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The library's own flows
// ---------------------------------------------------------------------------------------------
namespace {

constexpr uint32_t kFlowChunk = 4096;
constexpr uint32_t kScsiUpdateChunk = 8192;
constexpr double kDownloadShare = 0.95;

// The ATA download of the library flow: the drive's minimum transfer, the mode its capabilities
// allow; mode 07h only when the whole image fits one command.
int ata_flow_download(huld_error *err, huld_dev *dev, const uint8_t *image, uint32_t size,
                      vornfirmware_progress *progress) {
  uint32_t chunk = 0;
  if (vornfirmware_ata_get_min_transfer_bytes(err, dev, &chunk)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture min bytes per xfer");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
    chunk = VORNFIRMWARE_DEFAULT_TRANSFER_SIZE;
  }
  if (chunk == 0) chunk = VORNFIRMWARE_DEFAULT_TRANSFER_SIZE;

  uint8_t mode = VORNFIRMWARE_MODE_OFFSETS_DEFERRED;
  int answer = vornfirmware_ata_check_download_mode_support(err, dev, mode);
  if (answer < 0) {
    mode = VORNFIRMWARE_MODE_OFFSETS_IMMEDIATE;
    answer = vornfirmware_ata_check_download_mode_support(err, dev, mode);
    if (answer < 0) mode = VORNFIRMWARE_MODE_IMMEDIATE;
  }
  if (answer > 0) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to check download mode support\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
  }
  HULD_LOG(HULD_LOG_DEBUG, "proceeding with download mode %xh\n", mode);

  if (mode == VORNFIRMWARE_MODE_IMMEDIATE) {
    const uint32_t blocks = ceil_div(size, kBlock);
    uint32_t max = 0;
    if (vornfirmware_ata_get_max_transfer_bytes(err, dev, &max)) max = 0;
    if (blocks > kAtaMaxBlocks || (max != 0 && max < blocks * kBlock)) {
      put(progress, 0.0);
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, "vornfirmware_download",
                            __LINE__, kNoFit07);
    }
    chunk = blocks ? blocks * kBlock : kBlock;
  }
  return vornfirmware_ata_download(err, dev, image, size, mode, chunk, progress);
}

}  // namespace

int vornfirmware_download(huld_error *err, huld_dev *dev, const uint8_t *image, uint32_t size,
                          vornfirmware_progress *progress) {
  if (huld_dev_is_nvme(dev)) return vornfirmware_nvme_download(err, dev, image, size, kFlowChunk, progress);
  if (huld_dev_is_ata(dev)) return ata_flow_download(err, dev, image, size, progress);
  if (huld_dev_is_scsi(dev)) {
    return vornfirmware_scsi_download(err, dev, image, size, VORNFIRMWARE_MODE_OFFSETS_DEFERRED,
                                      kFlowChunk, progress);
  }
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, kUnsupported);
}

int vornfirmware_ata_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                            const uint8_t *image, uint32_t size) {
  put(progress, 0.0);
  uint32_t chunk = 0;
  if (vornfirmware_ata_get_transfer_size(err, dev, &chunk)) return 1;
  // Both modes are asked, whatever the first answer; either answer other than "supported" allows
  // the fallback to immediate activation.
  const int deferred =
      vornfirmware_ata_check_download_mode_support(err, dev, VORNFIRMWARE_MODE_OFFSETS_DEFERRED);
  const int activate = vornfirmware_ata_check_download_mode_support(err, dev, VORNFIRMWARE_MODE_ACTIVATE);
  const bool fallback = deferred != 0 || activate != 0;
  const double weight = fallback ? 0.5 : kDownloadShare;
  if (send_image(err, dev, ata_pieces(VORNFIRMWARE_MODE_OFFSETS_DEFERRED, 0.0, weight), image, size,
                 chunk, progress, __func__)) {
    if (!fallback) return 1;
    // Once, with offsets and immediate activation, from the start of the image.
    if (send_image(err, dev, ata_pieces(VORNFIRMWARE_MODE_OFFSETS_IMMEDIATE, 0.5, 0.5), image,
                   size, chunk, progress, __func__)) {
      return 1;
    }
  } else if (ata_activate(err, dev)) {
    return 1;
  }
  put(progress, 1.0);
  return 0;
}

int vornfirmware_nvme_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                             const uint8_t *image, uint32_t size) {
  put(progress, 0.0);
  uint32_t chunk = 0;
  uint8_t slot = 1;
  if (vornfirmware_nvme_get_transfer_size(err, dev, &chunk)) return 1;
  if (vornfirmware_nvme_get_safe_firmware_slot(err, dev, &slot)) slot = 1;
  if (send_image(err, dev, nvme_pieces(kDownloadShare), image, size, chunk, progress, __func__))
    return 1;
  if (vornnvme_execute_firmware_commit(err, dev, 0, VORNFIRMWARE_COMMIT_REPLACE_ACTIVATE_AT_RESET,
                                       slot)) {
    return 1;
  }
  put(progress, 1.0);
  return 0;
}

int vornfirmware_scsi_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                             const uint8_t *image, uint32_t size) {
  put(progress, 0.0);
  if (send_image(err, dev, scsi_pieces(VORNFIRMWARE_MODE_OFFSETS_DEFERRED, kDownloadShare), image,
                 size, kScsiUpdateChunk, progress, __func__)) {
    return 1;
  }
  if (scsi_activate(err, dev)) return 1;
  put(progress, 1.0);
  return 0;
}

int vornfirmware_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                        const uint8_t *image, uint32_t size) {
  if (huld_dev_is_ata(dev)) return vornfirmware_ata_update(err, dev, progress, image, size);
  if (huld_dev_is_nvme(dev)) return vornfirmware_nvme_update(err, dev, progress, image, size);
  if (huld_dev_is_scsi(dev)) return vornfirmware_scsi_update(err, dev, progress, image, size);
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0,
                    "Unrecognized device interface for device %s\n", dev->name);
}

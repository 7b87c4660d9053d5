// The firmware library: everything needed to put a firmware image into a drive and make it take
// effect over the three command sets. Chunked downloads (ATA DOWNLOAD MICROCODE, NVMe Firmware
// Image Download, SCSI WRITE BUFFER), activation (DOWNLOAD MICROCODE 0Fh, Firmware Commit, WRITE
// BUFFER 0Fh), the rules that choose the transfer size, the DOWNLOAD MICROCODE mode and the NVMe
// firmware slot, the running firmware revision, and the NVMe bus reset that makes a committed
// image take effect. The library's own download and update flows sit on top of these.
//
// Every function takes the caller's error record first and the device record second, and returns
// 0 (record cleared) or 1 (record filled), except vornfirmware_ata_check_download_mode_support,
// which returns a three-way answer. The library keeps no state: it runs on whichever thread calls
// it, one device per thread, several devices at once.
//
// Downloads refuse, with code 1 and before any command (also for an image of 0 bytes): a transfer
// size of 0; for ATA a transfer size that is not a multiple of 512 or an image of more than 65,535
// blocks; for NVMe a transfer size that is not a multiple of 4; for SCSI an image that does not
// fit the 24-bit offset and length fields. Every piece but the last is the transfer size and is
// sent in place from the caller's image; an ATA last piece that is not a whole number of blocks
// and an NVMe last piece that is not a whole number of dwords are copied into one zero-padded
// buffer. An image of 0 bytes succeeds without a command.
#pragma once

#include <atomic>
#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// Progress of a long operation, polled by other threads: 0.0 before the first command, the
// fraction of image bytes sent after each successful piece, 1.0 when a download, activation,
// commit or bus reset has succeeded; a failure leaves the last value. Written with relaxed
// stores. Every operation takes a pointer to one; a null pointer reports nothing.
typedef std::atomic<double> vornfirmware_progress;

// ATA DOWNLOAD MICROCODE subcodes and SCSI WRITE BUFFER modes.
enum vornfirmware_download_mode : uint8_t {
  VORNFIRMWARE_MODE_OFFSETS_IMMEDIATE = 0x03,  // ATA only
  VORNFIRMWARE_MODE_IMMEDIATE = 0x07,          // ATA only: the whole image in one command
  VORNFIRMWARE_MODE_OFFSETS_DEFERRED = 0x0E,
  VORNFIRMWARE_MODE_ACTIVATE = 0x0F,
};

// NVMe Firmware Commit actions the system uses.
enum vornfirmware_commit_action : uint8_t {
  VORNFIRMWARE_COMMIT_REPLACE_ACTIVATE_AT_RESET = 1,
  VORNFIRMWARE_COMMIT_REPLACE_ACTIVATE_NOW = 3,
};

// Bytes per download command; the last piece of an image carries what is left.
typedef uint32_t vornfirmware_transfer_size;

// Default transfer size of the ATA and NVMe size rules, in bytes.
#define VORNFIRMWARE_DEFAULT_TRANSFER_SIZE 8192u

// ----- downloads and activation -----
int vornfirmware_ata_download(huld_error *err, huld_dev *dev, const uint8_t *image, uint32_t size,
                              uint8_t mode, vornfirmware_transfer_size chunk, vornfirmware_progress *progress);
int vornfirmware_nvme_download(huld_error *err, huld_dev *dev, const uint8_t *image,
                               uint32_t size, vornfirmware_transfer_size chunk, vornfirmware_progress *progress);
int vornfirmware_scsi_download(huld_error *err, huld_dev *dev, const uint8_t *image,
                               uint32_t size, uint8_t mode, vornfirmware_transfer_size chunk,
                               vornfirmware_progress *progress);
int vornfirmware_ata_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress);
int vornfirmware_scsi_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress);
int vornfirmware_nvme_commit(huld_error *err, huld_dev *dev, uint8_t slot, uint8_t commit_action,
                             uint8_t boot_partition_id, vornfirmware_progress *progress);
// NVMe first (commit of slot 1, action 1), then ATA, then SCSI; other devices fail with code 2.
int vornfirmware_activate(huld_error *err, huld_dev *dev, vornfirmware_progress *progress);

// ----- ATA transfer sizes and modes -----
// Three-way answer for a DOWNLOAD MICROCODE mode: below 0 not supported, 0 supported (record
// cleared), above 0 the device could not tell (record filled).
int vornfirmware_ata_check_download_mode_support(huld_error *err, huld_dev *dev, uint8_t mode);
// DOWNLOAD MICROCODE maximum / minimum transfer in bytes, from the IDENTIFY DEVICE DATA log or,
// when that cannot be read, from IDENTIFY DEVICE. A field of 0000h or FFFFh ("not indicated")
// reports 0 bytes.
int vornfirmware_ata_get_max_transfer_bytes(huld_error *err, huld_dev *dev, uint32_t *bytes);
int vornfirmware_ata_get_min_transfer_bytes(huld_error *err, huld_dev *dev, uint32_t *bytes);
// The ATA size rule with the default 8192, and with a default of the caller's. Never fail.
int vornfirmware_ata_get_transfer_size(huld_error *err, huld_dev *dev, vornfirmware_transfer_size *bytes);
int vornfirmware_ata_select_transfer_size(huld_error *err, huld_dev *dev, vornfirmware_transfer_size *bytes,
                                          uint32_t default_bytes);

// ----- NVMe transfer size, slots -----
int vornfirmware_nvme_get_update_granularity(huld_error *err, huld_dev *dev, uint32_t *bytes);
// The NVMe size rule with the default 8192, and with a default of the caller's. Never fail.
int vornfirmware_nvme_get_transfer_size(huld_error *err, huld_dev *dev, vornfirmware_transfer_size *bytes);
int vornfirmware_nvme_select_transfer_size(huld_error *err, huld_dev *dev, vornfirmware_transfer_size *bytes,
                                           uint32_t default_bytes);
int vornfirmware_nvme_get_safe_firmware_slot(huld_error *err, huld_dev *dev, uint8_t *slot);
int vornfirmware_nvme_get_active_slot(huld_error *err, huld_dev *dev, uint8_t *slot);
int vornfirmware_nvme_get_active_slot_after_reset(huld_error *err, huld_dev *dev, uint8_t *slot);
// Revision of slot 1 to 7 (other slots are refused); size 0 is refused.
int vornfirmware_nvme_get_slot_firmware_revision(huld_error *err, huld_dev *dev, char *out,
                                                 uint32_t size, uint8_t slot);

// ----- running revision -----
// NVMe FR, ATA words 23-26 or INQUIRY bytes 32-35, trimmed; at most size - 1 characters and a
// NUL; size 0 is refused.
int vornfirmware_get_current_firmware_revision(huld_error *err, huld_dev *dev, char *out,
                                               uint32_t size);

// ----- NVMe bus reset -----
// Resets the bus of the device's controller so that a committed image takes effect: an Intel RST
// device on its own handle and SCSI path id; any other device on its controller's storage port
// with the SCSI bus the system reports for its disk. The lookup of the controller joins the
// calling thread to the multithreaded COM apartment for the duration of the call.
int vornfirmware_nvme_reset(huld_error *err, huld_dev *dev, vornfirmware_progress *progress);

// ----- the library's own flows (the application builds its own from the functions above) -----
// Download by interface, NVMe first: NVMe and SCSI (WRITE BUFFER 0Eh) in 4096-byte pieces; ATA in
// the drive's minimum transfer (8192 when unreadable or 0) with the mode its capabilities allow.
// No activation follows.
int vornfirmware_download(huld_error *err, huld_dev *dev, const uint8_t *image, uint32_t size,
                          vornfirmware_progress *progress);
// Download and activation by interface, ATA first, then NVMe, then SCSI.
int vornfirmware_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                        const uint8_t *image, uint32_t size);
int vornfirmware_ata_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                            const uint8_t *image, uint32_t size);
int vornfirmware_nvme_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                             const uint8_t *image, uint32_t size);
int vornfirmware_scsi_update(huld_error *err, huld_dev *dev, vornfirmware_progress *progress,
                             const uint8_t *image, uint32_t size);

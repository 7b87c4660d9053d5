// Drivers in front of ATA drives and volumes: the in-box AHCI driver (ATA pass-through, its SCSI/ATA
// translation, the storage firmware requests on Windows 10 and later), the USB mass-storage BOT
// bridge with its SCSI/ATA translation, and the Storage Spaces virtual disk.
#include <algorithm>
#include <cstring>

#include "sim/storage/helpers.h"

namespace sim {
namespace {

ScsiResult satl(StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir) {
  if (!lu.sat) return scsi_invalid_opcode();
  ScsiResult r = lu.sat->execute(cdb, cdb_len, data, data_len, ddir);
  if (!r.contract_violation.empty()) contract_violation(r.contract_violation);
  return r;
}

class InboxAhciDriver : public StorageDriver {
 public:
  const char *name() const override { return "inbox_ahci"; }
  uint32_t bus_type() const override { return kBusSata; }
  bool ata_pass_through(const StorageLu &lu) const override { return lu.ata != nullptr; }
  ScsiResult execute_scsi(StorageRequest &, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    return satl(lu, cdb, cdb_len, data, data_len, ddir);
  }
  BOOL storage_firmware(StorageRequest &r) override;
  // Knob "get_info_insufficient_buffer": GET_INFO into a buffer too small for every slot of a
  // multi-slot drive fails with ERROR_INSUFFICIENT_BUFFER instead of filling what fits.
  void configure(DriverConfig &config) override {
    get_info_insufficient_buffer_ = config.flag("get_info_insufficient_buffer", false);
  }

 private:
  BOOL get_info(StorageRequest &r, StorageLu &lu);
  BOOL download(StorageRequest &r, StorageLu &lu);
  BOOL activate(StorageRequest &r, StorageLu &lu);

  bool get_info_insufficient_buffer_ = false;
};

// Largest piece GET_INFO reports (ImagePayloadMaxSize) and DOWNLOAD accepts: the drive's DOWNLOAD
// MICROCODE maximum (IDENTIFY word 235) when it gives one, else 128 KiB, and never more than the
// adapter's MaximumTransferLength.
uint32_t image_payload_max_size(const StorageRequest &r, const StorageLu &lu) {
  const auto ident = lu.ata->identify_data();
  const uint32_t max_blocks = static_cast<uint32_t>(ident[470] | ident[471] << 8);
  const uint32_t drive = max_blocks != 0 && max_blocks != 0xFFFF ? max_blocks * 512 : 0x20000;
  return std::min(drive, r.adapter.knobs.max_transfer_length);
}

// IOCTL_STORAGE_FIRMWARE_GET_INFO / DOWNLOAD / ACTIVATE: only the Windows 10 (and later) driver
// has them, and only on the disk.
BOOL InboxAhciDriver::storage_firmware(StorageRequest &r) {
  if (!os_is_windows10_or_later() || !r.lu || !r.lu->ata) return r.fail(ERROR_INVALID_FUNCTION);
  switch (r.call.code) {
    case ioctl::kStorageFirmwareGetInfo: return get_info(r, *r.lu);
    case ioctl::kStorageFirmwareDownload: return download(r, *r.lu);
    default: return activate(r, *r.lu);
  }
}

// Input: Version @0 (16), Size @4 (16), Flags @8. Output: Version @0, Size @4 (header and every
// slot), byte 8 bit 0 upgrade supported, SlotCount @9, ActiveSlot @10, PendingActivateSlot @11
// (FFh none), FirmwareShared @12, ImagePayloadAlignment u32 @16, ImagePayloadMaxSize u32 @20,
// then 32-byte slot entries from 24 {Version, Size, SlotNumber @8, ReadOnly @9, Revision[16] @16}.
BOOL InboxAhciDriver::get_info(StorageRequest &r, StorageLu &lu) {
  if (r.in.size() < 16) return r.violation("firmware GET_INFO input of " + std::to_string(r.in.size()) + " bytes");
  if (wire::u32(r.in.data(), 0) != 16 || wire::u32(r.in.data(), 4) != 16)
    return r.violation("firmware GET_INFO Version/Size " + std::to_string(wire::u32(r.in.data(), 0)) + "/" +
                       std::to_string(wire::u32(r.in.data(), 4)));
  if (r.frontend_faults("firmware_get_info")) return FALSE;
  const uint32_t slots = std::max<uint32_t>(lu.drive->fw_slot_count, 1);
  const uint32_t full = 24 + 32 * slots;
  IoctlCall &c = r.call;
  if (c.out_size < 24) return r.fail(ERROR_INSUFFICIENT_BUFFER);
  if (c.out_size < full && slots > 1 && get_info_insufficient_buffer_)
    return r.fail(ERROR_INSUFFICIENT_BUFFER);
  std::vector<uint8_t> info(full, 0);
  wire::put32(info.data(), 0, 24);
  wire::put32(info.data(), 4, full);
  info[8] = 0x01;
  info[9] = static_cast<uint8_t>(slots);
  info[10] = lu.drive->fw_active_slot;
  info[11] = 0xFF;
  info[12] = 0;
  wire::put32(info.data(), 16, 512);
  wire::put32(info.data(), 20, image_payload_max_size(r, lu));
  const std::string revision = lu.ata->running_revision();
  for (uint32_t s = 0; s < slots; ++s) {
    uint8_t *e = info.data() + 24 + 32 * s;
    wire::put32(e, 0, 32);
    wire::put32(e, 4, 32);
    e[8] = static_cast<uint8_t>(s);
    if (s == lu.drive->fw_active_slot) std::memcpy(e + 16, revision.data(), std::min<size_t>(revision.size(), 16));
  }
  uint32_t n = std::min<uint32_t>(c.out_size, full);
  if (const FaultAction *a = r.action("short_transfer")) n = std::min<uint32_t>(n, static_cast<uint32_t>(a->value));
  std::memcpy(c.out, info.data(), n);
  c.bytes_returned = n;
  return TRUE;
}

// Input: Version @0 (40), Size @4 (structure and image), Flags @8, Slot u8 @12, Offset u64 @16,
// BufferSize u64 @24, the image piece @32. Sent to the drive as DOWNLOAD MICROCODE mode 0Eh at the
// byte offset, in 512-byte blocks.
BOOL InboxAhciDriver::download(StorageRequest &r, StorageLu &lu) {
  const uint8_t *in = r.in.data();
  if (r.in.size() < 32) return r.violation("firmware DOWNLOAD of " + std::to_string(r.in.size()) + " bytes");
  const uint32_t version = wire::u32(in, 0), size = wire::u32(in, 4), flags = wire::u32(in, 8);
  const uint8_t slot = in[12];
  const uint64_t offset = wire::u64(in, 16), bytes = wire::u64(in, 24);
  if (version != 40) return r.violation("firmware DOWNLOAD Version " + std::to_string(version));
  if (size > r.in.size() || 32 + bytes > size)
    return r.violation("firmware DOWNLOAD Size " + std::to_string(size) + " / BufferSize " + std::to_string(bytes) +
                       " in a " + std::to_string(r.in.size()) + "-byte request");
  if (r.frontend_faults("firmware_download", {{"ata_command", fault_key(0x92)}})) return FALSE;
  if (slot >= std::max<uint8_t>(lu.drive->fw_slot_count, 1)) return r.fail(ERROR_INVALID_PARAMETER);
  // The driver takes only the segment flags (last 02h, first 04h) for a drive: the controller
  // flag (01h) or any other bit, and a piece above ImagePayloadMaxSize, are refused.
  if ((flags & ~0x06u) != 0 || bytes > image_payload_max_size(r, lu)) return r.fail(ERROR_INVALID_PARAMETER);
  const std::optional<AtaTaskfile> tf = microcode_download(offset, bytes);
  if (!tf) return r.fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> piece(in + 32, in + 32 + bytes);
  if (!run_microcode(r, *lu.ata, *tf, piece.data(), static_cast<uint32_t>(bytes))) return r.fail(ERROR_IO_DEVICE);
  r.call.bytes_returned = 0;
  return TRUE;
}

// Input: Version @0 (16), Size @4 (16), Flags @8 (0, or 80000000h), Slot u8 @12. Sent as DOWNLOAD
// MICROCODE mode 0Fh.
BOOL InboxAhciDriver::activate(StorageRequest &r, StorageLu &lu) {
  const uint8_t *in = r.in.data();
  if (r.in.size() < 16) return r.violation("firmware ACTIVATE of " + std::to_string(r.in.size()) + " bytes");
  if (wire::u32(in, 0) != 16 || wire::u32(in, 4) != 16)
    return r.violation("firmware ACTIVATE Version/Size " + std::to_string(wire::u32(in, 0)) + "/" +
                       std::to_string(wire::u32(in, 4)));
  if (r.frontend_faults("firmware_activate", {{"ata_command", fault_key(0x92)}})) return FALSE;
  // The firmware is the drive's own: the controller flag (1), or any flag but switching to the
  // firmware already in a slot (80000000h), is an invalid parameter and the drive sees nothing.
  if ((wire::u32(in, 8) & ~0x80000000u) != 0) return r.fail(ERROR_INVALID_PARAMETER);
  if (in[12] >= std::max<uint8_t>(lu.drive->fw_slot_count, 1)) return r.fail(ERROR_INVALID_PARAMETER);
  if (!run_microcode(r, *lu.ata, microcode_activate(), nullptr, 0)) return r.fail(ERROR_IO_DEVICE);
  r.call.bytes_returned = 0;
  return TRUE;
}

// USB mass storage (bulk-only transport) with a SCSI/ATA translation in the bridge.
class UsbBotDriver : public StorageDriver {
 public:
  const char *name() const override { return "usb_bot"; }
  uint32_t bus_type() const override { return kBusUsb; }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (lu.sat) {
      sat_command_faults(r, cdb, cdb_len);
      return satl(lu, cdb, cdb_len, data, data_len, ddir);
    }
    if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
    return scsi_invalid_opcode();
  }
};

// Storage Spaces virtual disk: a volume answering INQUIRY and its serial page; no pass-through
// reaches the pool members.
class StorageSpacesDriver : public StorageDriver {
 public:
  const char *name() const override { return "storage_spaces"; }
  uint32_t bus_type() const override { return kBusSpaces; }
  ScsiResult execute_scsi(StorageRequest &, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (!lu.scsi) return scsi_invalid_opcode();
    switch (cdb[0]) {
      case 0x12:  // INQUIRY
      case 0x00:  // TEST UNIT READY
      case 0x03:  // REQUEST SENSE
      case 0x25:  // READ CAPACITY(10)
        return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
      default:
        return scsi_invalid_opcode();
    }
  }
  // The virtual disk takes the reset on its own handle (nothing to reset behind it).
  BOOL reset_bus(StorageRequest &r, uint8_t path_id) override {
    r.note("reset_path_id", std::to_string(path_id));
    return TRUE;
  }
};

}  // namespace

void sat_command_faults(StorageRequest &r, const uint8_t *cdb, size_t cdb_len) {
  // ATA PASS-THROUGH(16) carries COMMAND in byte 14, ATA PASS-THROUGH(12) in byte 9.
  size_t command_at = 0;
  if (cdb[0] == 0x85 && cdb_len >= 16) command_at = 14;
  if (cdb[0] == 0xA1 && cdb_len >= 12) command_at = 9;
  if (command_at == 0) return;
  if (r.frontend_faults("sat_command", {{"ata_command", fault_key(cdb[command_at])}})) {
    r.count_violation("a \"sat_command\" rule cannot fail the call (a \"scsi_pass_through\" rule can)");
    r.call.error = ERROR_SUCCESS;
  }
}

std::shared_ptr<StorageDriver> make_inbox_ahci_driver() { return std::make_shared<InboxAhciDriver>(); }
std::shared_ptr<StorageDriver> make_usb_bot_driver() { return std::make_shared<UsbBotDriver>(); }
std::shared_ptr<StorageDriver> make_storage_spaces_driver() { return std::make_shared<StorageSpacesDriver>(); }

}  // namespace sim

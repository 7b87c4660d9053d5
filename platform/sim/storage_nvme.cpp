// The in-box NVMe driver: protocol-specific property queries, the protocol command, temperature
// thresholds, the "FIRMWARE" miniport request and the SCSI translation of the disk class.
//
// "Windows 8.1 mode" (the knob, or an OS older than Windows 10): the protocol-specific property and
// the protocol command are not supported, and WRITE BUFFER is not translated; the rest works.
//
// Knobs: "windows81_mode" (false), "firmware_activate_return_code" (unset: 0, or 20h when the
// drive activates new firmware only at a power cycle).
#include <algorithm>
#include <cstring>

#include "sim/machine.h"
#include "sim/storage/helpers.h"
#include "storage_nvme_run.h"

namespace sim {
namespace {

std::string hex(uint64_t v) { return fault_key(v); }

constexpr uint32_t kStatusInvalidRequest = 3;  // STORAGE_PROTOCOL_STATUS_INVALID_REQUEST

class InboxNvmeDriver : public StorageDriver {
 public:
  const char *name() const override { return "inbox_nvme"; }
  uint32_t bus_type() const override { return kBusNvme; }

  void configure(DriverConfig &config) override {
    windows81_mode_ = config.flag("windows81_mode", false);
    firmware_activate_return_code_.reset();
    if (auto v = config.optional_number("firmware_activate_return_code", 0xFFFFFFFF))
      firmware_activate_return_code_ = static_cast<uint32_t>(*v);
  }
  BOOL query_property(StorageRequest &r, uint32_t property_id) override;
  BOOL protocol_command(StorageRequest &r) override;
  BOOL temperature_threshold(StorageRequest &r) override;
  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override;
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override;

 private:
  bool win81() const { return windows81_mode_ || !os_is_windows10_or_later(); }
  static std::shared_ptr<NvmeController> controller(const StorageRequest &r) {
    return r.lu ? r.lu->nvme : r.adapter.nvme;
  }
  static NvmeActivation activation(const StorageRequest &r) {
    return r.lu ? r.lu->nvme_activation : r.adapter.nvme_activation;
  }
  // Runs one command under the fault actions of the request.
  static NvmeCompletion run(StorageRequest &r, NvmeController &ctl, const NvmeCommand &cmd, bool admin, uint8_t *data,
                            uint32_t data_len);
  uint32_t firmware_download(StorageRequest &r, NvmeController &ctl, const FirmwareRequest &f);
  uint32_t firmware_activate(StorageRequest &r, NvmeController &ctl, const FirmwareRequest &f);

  bool windows81_mode_ = false;
  std::optional<uint32_t> firmware_activate_return_code_;
};

NvmeCompletion InboxNvmeDriver::run(StorageRequest &r, NvmeController &ctl, const NvmeCommand &cmd, bool admin,
                                    uint8_t *data, uint32_t data_len) {
  return run_nvme_for(r, ctl, cmd, admin, data, data_len);
}

// IOCTL_STORAGE_QUERY_PROPERTY, protocol-specific (49 adapter, 50 device). Input: PropertyId @0,
// QueryType @4, then the protocol-specific block: ProtocolType @8 (3 NVMe), DataType @12 (1
// identify, 2 log page, 3 feature), RequestValue @16, SubValue @20, ProtocolDataOffset @24 (from
// the block, at least its 40 bytes), ProtocolDataLength @28, FixedProtocolReturnData @32,
// SubValue2-4 @36-@44. Output: Version @0, Size @4, the block @8, data at 8 + ProtocolDataOffset.
// Log pages: SubValue and SubValue2 are the offset (CDW12, CDW13). From build 20348 on (Windows
// Server 2022, Windows 11) the driver also takes SubValue3 as the Log Specific Identifier (CDW11
// bits 31:16) and SubValue4 as RetainAsynEvent (bit 0), LogSpecificField (bits 4:1) and
// UUIDIndex (bits 14:8); reserved bits in either are ERROR_INVALID_PARAMETER. Older builds ignore
// both.
BOOL InboxNvmeDriver::query_property(StorageRequest &r, uint32_t property_id) {
  if (property_id != 49 && property_id != 50) return r.fail(ERROR_NOT_SUPPORTED);
  if (win81()) return r.fail(ERROR_NOT_SUPPORTED);
  auto ctl = controller(r);
  if (!ctl) return r.fail(ERROR_NOT_SUPPORTED);
  IoctlCall &call = r.call;
  if (r.in.size() < 48) return r.violation("protocol property input of " + std::to_string(r.in.size()) + " bytes");
  const uint8_t *in = r.in.data();
  const uint32_t query_type = wire::u32(in, 4);
  if (query_type == 1) return TRUE;
  if (query_type != 0) return r.violation("protocol property query type " + std::to_string(query_type));
  const uint32_t protocol = wire::u32(in, 8);
  const uint32_t data_type = wire::u32(in, 12);
  const uint32_t value = wire::u32(in, 16);
  const uint32_t sub = wire::u32(in, 20);
  const uint32_t data_off = wire::u32(in, 24);
  const uint32_t data_len = wire::u32(in, 28);
  const uint32_t sub2 = wire::u32(in, 36);
  const uint32_t sub3 = wire::u32(in, 40);
  const uint32_t sub4 = wire::u32(in, 44);
  if (protocol != 3) return r.violation("protocol property ProtocolType " + std::to_string(protocol));
  if (data_type < 1 || data_type > 3) return r.violation("protocol property DataType " + std::to_string(data_type));
  if (data_off < 40) return r.violation("ProtocolDataOffset " + std::to_string(data_off));
  if (static_cast<uint64_t>(8) + data_off + data_len > call.out_size)
    return r.violation("protocol data at " + std::to_string(data_off) + "+" + std::to_string(data_len) +
                       " beyond the " + std::to_string(call.out_size) + "-byte output buffer");
  if (data_type == 1 && data_len < 4096) return r.violation("identify data length " + std::to_string(data_len));
  if (data_len == 0 || data_len % 4 != 0) return r.violation("ProtocolDataLength " + std::to_string(data_len));
  // The adapter property carries Identify Controller and the log pages, the device property the
  // other Identify structures and the features; the driver refuses any other pairing.
  const bool adapter_data = data_type == 2 || (data_type == 1 && (value & 0xFF) == 1);
  if ((property_id == 49) != adapter_data)
    return r.violation("PropertyId " + std::to_string(property_id) + " with DataType " + std::to_string(data_type) +
                       " and value " + hex(value));
  if (r.beyond_max_transfer(data_len)) return FALSE;

  NvmeCommand cmd;
  const char *request = "query_identify";
  switch (data_type) {
    case 1:
      cmd.cdw0 = 0x06;
      cmd.cdw10 = value & 0xFF;
      cmd.nsid = (value & 0xFF) == 1 ? 0 : 1;
      break;
    case 2: {
      request = "query_log_page";
      const uint32_t numd = data_len / 4 - 1;
      cmd.cdw0 = 0x02;
      cmd.nsid = 0xFFFFFFFF;
      cmd.cdw10 = (value & 0xFF) | (numd & 0xFFFF) << 16;
      cmd.cdw11 = numd >> 16;
      cmd.cdw12 = sub;
      cmd.cdw13 = sub2;
      if (machine_os().build >= 20348) {
        if (sub3 > 0xFFFF || (sub4 & 0xFFFF80E0u) != 0) return r.fail(ERROR_INVALID_PARAMETER);
        cmd.cdw10 |= (sub4 & 0x1) << 15 | ((sub4 >> 1) & 0xF) << 8;
        cmd.cdw11 |= sub3 << 16;
        cmd.cdw14 = (sub4 >> 8) & 0x7F;
      }
      break;
    }
    default:
      request = "query_feature";
      cmd.cdw0 = 0x0A;
      cmd.nsid = 1;
      cmd.cdw10 = value & 0xFF;
      cmd.cdw11 = sub;
      break;
  }
  r.note_nvme(cmd);
  r.note_data(data_len, kDirIn);
  if (r.frontend_faults(request, {{"nvme_opcode", hex(cmd.opcode())}})) return FALSE;
  std::vector<uint8_t> data(data_len, 0);
  NvmeCompletion c = run(r, *ctl, cmd, true, data.data(), data_len);
  if (!c.ok()) return r.fail(ERROR_IO_DEVICE);

  uint32_t returned = data_type == 3 ? std::min(c.data_transferred, data_len) : data_len;
  if (const FaultAction *a = r.action("short_transfer")) returned = std::min<uint32_t>(returned, static_cast<uint32_t>(a->value));
  uint8_t *out = call.out;
  std::memset(out, 0, std::min<size_t>(call.out_size, static_cast<size_t>(8) + data_off));
  wire::put32(out, 0, 48);
  wire::put32(out, 4, 48);
  std::memcpy(out + 8, in + 8, 40);
  wire::put32(out, 28, returned);
  wire::put32(out, 32, c.dw0);
  std::memcpy(out + 8 + data_off, data.data(), returned);
  call.bytes_returned = 8 + data_off + returned;
  return TRUE;
}

// IOCTL_STORAGE_PROTOCOL_COMMAND. Header: Version @0 (1), Length @4 (84), ProtocolType @8 (3),
// Flags @12, ReturnStatus @16, ErrorCode @20, CommandLength @24 (64), ErrorInfoLength @28,
// DataToDeviceTransferLength @32, DataFromDeviceTransferLength @36, TimeOutValue @40,
// ErrorInfoOffset @44, DataToDeviceBufferOffset @48, DataFromDeviceBufferOffset @52,
// CommandSpecific @56 (1 admin, 2 NVM), FixedProtocolReturnData @64, the submission entry @80.
// ReturnStatus 1 success, 2 device error with ErrorCode = the NVMe status field (DW3 >> 16), 3
// (invalid request) for a command that is not a vendor-specific one the drive lists.
BOOL InboxNvmeDriver::protocol_command(StorageRequest &r) {
  if (win81()) return r.fail(ERROR_NOT_SUPPORTED);
  auto ctl = controller(r);
  if (!ctl) return r.fail(ERROR_INVALID_FUNCTION);
  IoctlCall &call = r.call;
  const size_t size = r.in.size();
  if (size < 144) return r.violation("protocol command of " + std::to_string(size) + " bytes");
  const uint8_t *in = r.in.data();
  const uint32_t version = wire::u32(in, 0), length = wire::u32(in, 4), protocol = wire::u32(in, 8);
  const uint32_t command_length = wire::u32(in, 24), error_len = wire::u32(in, 28);
  const uint32_t to_len = wire::u32(in, 32), from_len = wire::u32(in, 36), timeout = wire::u32(in, 40);
  const uint32_t error_off = wire::u32(in, 44), to_off = wire::u32(in, 48), from_off = wire::u32(in, 52);
  const uint32_t specific = wire::u32(in, 56);
  const uint32_t flags = wire::u32(in, 12);
  r.trace_timeout(timeout);
  if (version != 1) return r.violation("protocol command Version " + std::to_string(version));
  if (length != 84) return r.violation("protocol command Length " + std::to_string(length));
  if (protocol != 3) return r.violation("protocol command ProtocolType " + std::to_string(protocol));
  if (command_length != 64) return r.violation("protocol command CommandLength " + std::to_string(command_length));
  // The driver takes NVMe commands only as adapter requests.
  if (flags != 0x80000000u) return r.violation("protocol command Flags " + hex(flags));
  if (call.out_size < size) return r.violation("protocol command output smaller than its input");
  if (error_len > 0 && (error_off < 144 || static_cast<uint64_t>(error_off) + error_len > call.out_size))
    return r.violation("error info at " + std::to_string(error_off) + "+" + std::to_string(error_len));
  if (to_len > 0 && from_len > 0) return r.violation("protocol command with data in both directions");
  if (to_len > 0 && (to_off < 144 || static_cast<uint64_t>(to_off) + to_len > size))
    return r.violation("to-device data at " + std::to_string(to_off) + "+" + std::to_string(to_len));
  if (from_len > 0 && (from_off < 144 || static_cast<uint64_t>(from_off) + from_len > call.out_size))
    return r.violation("from-device data at " + std::to_string(from_off) + "+" + std::to_string(from_len));
  if (specific != 1 && specific != 2) return r.violation("CommandSpecific " + std::to_string(specific));

  const NvmeCommand cmd = read_submission_entry(in + 80);
  r.note_nvme(cmd);
  r.note_data(to_len ? to_len : from_len, to_len ? kDirOut : from_len ? kDirIn : kDirNone);
  // The opcode's bits 1:0 give the data direction (01b to the device, 10b from it, 11b either);
  // the driver refuses a buffer the command cannot move.
  if ((to_len > 0 && !(cmd.opcode() & 1)) || (from_len > 0 && !(cmd.opcode() & 2)))
    return r.violation("opcode " + hex(cmd.opcode()) + " with data " + (to_len ? "to" : "from") + " the device");
  if (r.beyond_max_transfer(to_len ? to_len : from_len)) return FALSE;
  if (r.frontend_faults("protocol_command", {{"nvme_opcode", hex(cmd.opcode())}})) return FALSE;

  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
  // The pass-through takes vendor-specific commands only (admin C0h-FFh, NVM 80h-FFh), and only
  // those the drive lists in its Commands Supported and Effects log; the driver refuses anything
  // else without sending it.
  const bool admin = specific == 1;
  const bool vendor = cmd.opcode() >= (admin ? 0xC0 : 0x80);
  if (!vendor || !ctl->command_supported(admin, cmd.opcode())) {
    r.note("refused", "not a listed vendor-specific command");
    wire::put32(out, 16, kStatusInvalidRequest);
    call.bytes_returned = static_cast<DWORD>(size);
    return TRUE;
  }

  const uint32_t len = to_len ? to_len : from_len;
  std::vector<uint8_t> data(len, 0);
  if (to_len) std::memcpy(data.data(), in + to_off, to_len);
  NvmeCompletion c = run(r, *ctl, cmd, admin, len ? data.data() : nullptr, len);
  uint32_t status = c.ok() ? 1 : 2;
  uint32_t error_code = c.dw3 >> 16;
  if (const FaultAction *a = r.action("return_status")) status = static_cast<uint32_t>(a->value);
  if (const FaultAction *a = r.action("error_code")) error_code = static_cast<uint32_t>(a->value);
  wire::put32(out, 16, status);
  wire::put32(out, 20, error_code);
  wire::put32(out, 64, c.dw0);
  if (error_len > 0) {
    std::memset(out + error_off, 0, error_len);
    if (!c.ok() && error_len >= 14) wire::put16(out, error_off + 12, static_cast<uint16_t>(c.dw3 >> 16));
  }
  if (from_len) {
    const uint32_t moved = std::min(c.data_transferred, from_len);
    std::memcpy(out + from_off, data.data(), moved);
    std::memset(out + from_off + moved, 0, from_len - moved);
    wire::put32(out, 36, moved);
  }
  if (const FaultAction *a = r.action("corrupt_offsets")) {
    const uint32_t shift = a->value ? static_cast<uint32_t>(a->value) : 16;
    if (error_len) wire::put32(out, 44, error_off + shift);
    if (to_len) wire::put32(out, 48, to_off + shift);
    if (from_len) wire::put32(out, 52, from_off + shift);
    if (a->value2 && to_len) wire::put32(out, 32, static_cast<uint32_t>(a->value2));
    if (a->value2 && from_len) wire::put32(out, 36, static_cast<uint32_t>(a->value2));
  }
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

// IOCTL_STORAGE_SET_TEMPERATURE_THRESHOLD, 16 bytes in: Version @0 (16), Size @4 (16), Flags u16
// @8, Index u16 @10, Threshold i16 @12 (degrees Celsius), OverThreshold u8 @14. The driver turns it
// into Set Features 04h; the front-end keeps the thresholds the controller would hold.
BOOL InboxNvmeDriver::temperature_threshold(StorageRequest &r) {
  auto ctl = controller(r);
  if (!ctl) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.in.size() < 16) return r.violation("temperature threshold of " + std::to_string(r.in.size()) + " bytes");
  const uint8_t *in = r.in.data();
  if (wire::u32(in, 0) != 16 || wire::u32(in, 4) != 16)
    return r.violation("temperature threshold Version/Size " + std::to_string(wire::u32(in, 0)) + "/" +
                       std::to_string(wire::u32(in, 4)));
  const uint16_t index = wire::u16(in, 10);
  const int16_t celsius = static_cast<int16_t>(wire::u16(in, 12));
  const bool over = in[14] != 0;
  if (index > 8) return r.fail(ERROR_INVALID_PARAMETER);
  if (celsius < -273) return r.fail(ERROR_INVALID_PARAMETER);
  if (r.frontend_faults("temperature_threshold", {{"nvme_opcode", hex(0x09)}})) return FALSE;
  if (const FaultAction *a = r.action("nvme_status"); a && a->value != 0) return r.fail(ERROR_IO_DEVICE);
  StorageLu *lu = r.lu ? r.lu : (r.adapter.lus.empty() ? nullptr : r.adapter.lus.front().get());
  if (lu) {
    std::lock_guard<std::mutex> g(lu->lock);
    lu->thresholds[static_cast<uint32_t>(index) << 1 | (over ? 0 : 1)] = celsius;
  }
  r.note("temperature_kelvin", std::to_string(celsius + 273));
  r.call.bytes_returned = 0;
  return TRUE;
}

// IOCTL_SCSI_MINIPORT "FIRMWARE" (decoded by decode_firmware_request). The outcome is the header's
// ReturnCode.
BOOL InboxNvmeDriver::miniport(StorageRequest &r, const MiniportHeader &h) {
  if (h.signature != "FIRMWARE") return reject_miniport(r);
  auto ctl = controller(r);
  if (!ctl) {
    if (h.control_code != kFirmwareControlCode)
      return r.violation("\"FIRMWARE\" request with ControlCode " + hex(h.control_code), ERROR_INVALID_FUNCTION);
    return r.fail(ERROR_INVALID_FUNCTION);
  }
  FirmwareRequest f;
  uint32_t rc = kFwSuccess;
  switch (decode_firmware_request(r, h, f, rc)) {
    case FirmwareDecode::failed: return FALSE;
    case FirmwareDecode::refused: return answer_firmware_request(r, rc);
    case FirmwareDecode::ok: break;
  }
  switch (f.function) {
    case kFwFunctionDownload:
      if (r.frontend_faults("firmware_download", {{"nvme_opcode", hex(0x11)}})) return FALSE;
      rc = firmware_download(r, *ctl, f);
      break;
    case kFwFunctionActivate:
      if (r.frontend_faults("firmware_activate", {{"nvme_opcode", hex(0x10)}})) return FALSE;
      rc = firmware_activate(r, *ctl, f);
      break;
    default:
      rc = kFwIllegalRequest;
      break;
  }
  return answer_firmware_request(r, rc);
}

uint32_t InboxNvmeDriver::firmware_download(StorageRequest &r, NvmeController &ctl, const FirmwareRequest &f) {
  const FaultAction *forced = r.action("return_code");
  if (forced && forced->value != kFwSuccess) return static_cast<uint32_t>(forced->value);
  if (f.bytes == 0 || f.offset % 4 != 0 || f.offset / 4 > 0xFFFFFFFFu) return kFwInvalidParameter;
  if (!firmware_piece_fits(r, f)) return kFwInvalidParameter;
  // The piece goes to the controller padded to whole dwords.
  const uint32_t padded = static_cast<uint32_t>((f.bytes + 3) & ~3ull);
  std::vector<uint8_t> piece(padded, 0);
  std::memcpy(piece.data(), f.image, f.bytes);
  NvmeCommand cmd;
  cmd.cdw0 = 0x11;
  cmd.cdw10 = padded / 4 - 1;
  cmd.cdw11 = static_cast<uint32_t>(f.offset / 4);
  return firmware_return_code(run(r, ctl, cmd, true, piece.data(), padded));
}

uint32_t InboxNvmeDriver::firmware_activate(StorageRequest &r, NvmeController &ctl, const FirmwareRequest &f) {
  const FaultAction *forced = r.action("return_code");
  if (forced && forced->value != kFwSuccess && forced->value != kFwPowerCycleRequired)
    return static_cast<uint32_t>(forced->value);
  if (f.slot > 7) return kFwInvalidSlot;
  // Replace the image in the slot and activate it at the next reset; when the new firmware runs
  // is the drive's own affair.
  NvmeCommand cmd;
  cmd.cdw0 = 0x10;
  cmd.cdw10 = static_cast<uint32_t>(f.slot) | 1u << 3;
  uint32_t rc = firmware_return_code(run(r, ctl, cmd, true, nullptr, 0));
  if (rc == kFwSuccess) {
    if (firmware_activate_return_code_)
      rc = *firmware_activate_return_code_;
    else if (activation(r) == NvmeActivation::AtPowerCycle)
      rc = kFwPowerCycleRequired;
    if (forced) rc = static_cast<uint32_t>(forced->value);
  }
  r.note("revision_after", ctl.running_revision());
  return rc;
}

// ---- SCSI translation ----------------------------------------------------------------------------

ScsiResult InboxNvmeDriver::execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len,
                                         uint8_t *data, uint32_t data_len, int ddir) {
  if (!lu.nvme) return scsi_invalid_opcode();
  NvmeController &ctl = *lu.nvme;
  const NvmeRun to_controller = [&](const NvmeCommand &cmd, bool admin, uint8_t *d, uint32_t n) {
    return run(r, ctl, cmd, admin, d, n);
  };
  return translate_scsi_to_nvme(to_controller, cdb, cdb_len, data, data_len, ddir, !win81());
}

}  // namespace

std::shared_ptr<StorageDriver> make_inbox_nvme_driver() { return std::make_shared<InboxNvmeDriver>(); }

}  // namespace sim

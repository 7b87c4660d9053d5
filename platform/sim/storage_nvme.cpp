// The in-box NVMe driver: protocol-specific property queries, the protocol command, temperature
// thresholds, the "FIRMWARE" miniport request and the SCSI translation of the disk class.
//
// "Windows 8.1 mode" (the knob, or an OS older than Windows 10): the protocol-specific property and
// the protocol command are not supported, and WRITE BUFFER is not translated; the rest works.
#include <algorithm>
#include <cstring>

#include "sim/storage/driver.h"

namespace sim {
namespace {

// "FIRMWARE" request ReturnCode values.
enum : uint32_t {
  kFwSuccess = 0x00,
  kFwError = 0x01,
  kFwIllegalRequest = 0x02,
  kFwInvalidParameter = 0x03,
  kFwInvalidSlot = 0x06,
  kFwInvalidImage = 0x07,
  kFwPowerCycleRequired = 0x20,
  kFwDeviceError = 0x40,
};

constexpr uint32_t kFirmwareControlCode = 0x001B0780;
constexpr uint32_t kFwFunctionGetInfo = 1;
constexpr uint32_t kFwFunctionDownload = 2;
constexpr uint32_t kFwFunctionActivate = 3;

std::string hex(uint64_t v) { return fault_key(v); }

// Sense for an NVMe status the translation could not complete with.
ScsiResult sense_for(const NvmeCompletion &c) {
  switch (c.status()) {
    case kNvmeInvalidOpcode: return check_condition_fixed(0x05, 0x20, 0x00);
    case kNvmeInvalidField: return check_condition_fixed(0x05, 0x24, 0x00);
    case kNvmeInvalidNamespace: return check_condition_fixed(0x05, 0x25, 0x00);
    case kNvmeCommandSequenceError: return check_condition_fixed(0x05, 0x2C, 0x00);
    case kNvmeInvalidFirmwareSlot: return check_condition_fixed(0x05, 0x24, 0x00);
    case kNvmeInvalidFirmwareImage: return check_condition_fixed(0x05, 0x26, 0x00);
    case kNvmeOverlappingRange: return check_condition_fixed(0x05, 0x24, 0x00);
    default: return check_condition_fixed(0x04, 0x44, 0x00);
  }
}

uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t be24(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

class InboxNvmeDriver : public StorageDriver {
 public:
  const char *name() const override { return "inbox_nvme"; }
  uint32_t bus_type() const override { return kBusNvme; }

  BOOL query_property(StorageRequest &r, uint32_t property_id) override;
  BOOL protocol_command(StorageRequest &r) override;
  BOOL temperature_threshold(StorageRequest &r) override;
  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override;
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override;

 private:
  static bool win81(const StorageRequest &r) {
    return r.adapter.knobs.windows81_mode || !os_is_windows10_or_later();
  }
  static std::shared_ptr<NvmeController> controller(const StorageRequest &r) {
    return r.lu ? r.lu->nvme : r.adapter.nvme;
  }
  static NvmeActivation activation(const StorageRequest &r) {
    return r.lu ? r.lu->nvme_activation : r.adapter.nvme_activation;
  }
  // Runs one command under the fault actions of the request.
  static NvmeCompletion run(StorageRequest &r, NvmeController &ctl, const NvmeCommand &cmd, bool admin, uint8_t *data,
                            uint32_t data_len);
  BOOL firmware_download(StorageRequest &r, NvmeController &ctl, uint32_t off, uint32_t len, uint32_t &rc);
  BOOL firmware_activate(StorageRequest &r, NvmeController &ctl, uint32_t off, uint32_t len, uint32_t &rc);
  ScsiResult inquiry(StorageRequest &r, NvmeController &ctl, const uint8_t *cdb, uint8_t *data, uint32_t data_len);
  ScsiResult write_buffer(StorageRequest &r, NvmeController &ctl, const uint8_t *cdb, size_t cdb_len,
                          uint8_t *data, uint32_t data_len, int ddir);
};

NvmeCompletion InboxNvmeDriver::run(StorageRequest &r, NvmeController &ctl, const NvmeCommand &cmd, bool admin,
                                    uint8_t *data, uint32_t data_len) {
  NvmeCompletion c;
  if (const FaultAction *a = r.action("nvme_status")) {
    c = nvme_status(static_cast<uint16_t>(a->value), static_cast<uint32_t>(a->value2));
  } else {
    c = admin ? ctl.admin(cmd, data, data_len) : ctl.io(cmd, data, data_len);
  }
  if (const FaultAction *a = r.action("completion_dw0")) c.dw0 = static_cast<uint32_t>(a->value);
  if (const FaultAction *a = r.action("short_transfer"))
    c.data_transferred = std::min<uint32_t>(c.data_transferred, static_cast<uint32_t>(a->value));
  if (r.action("zero_data") && data) std::memset(data, 0, data_len);
  r.note_nvme(cmd);
  r.note("nvme_status", hex(c.status()));
  return c;
}

// IOCTL_STORAGE_QUERY_PROPERTY, protocol-specific (49 adapter, 50 device). Input: PropertyId @0,
// QueryType @4, then the protocol-specific block: ProtocolType @8 (3 NVMe), DataType @12 (1
// identify, 2 log page, 3 feature), RequestValue @16, SubValue @20, ProtocolDataOffset @24 (from
// the block, at least its 40 bytes), ProtocolDataLength @28, FixedProtocolReturnData @32,
// SubValue2-4 @36-@44. Output: Version @0, Size @4, the block @8, data at 8 + ProtocolDataOffset.
BOOL InboxNvmeDriver::query_property(StorageRequest &r, uint32_t property_id) {
  if (property_id != 49 && property_id != 50) return r.fail(ERROR_NOT_SUPPORTED);
  if (win81(r)) return r.fail(ERROR_NOT_SUPPORTED);
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
  if (protocol != 3) return r.violation("protocol property ProtocolType " + std::to_string(protocol));
  if (data_type < 1 || data_type > 3) return r.violation("protocol property DataType " + std::to_string(data_type));
  if (data_off < 40) return r.violation("ProtocolDataOffset " + std::to_string(data_off));
  if (static_cast<uint64_t>(8) + data_off + data_len > call.out_size)
    return r.violation("protocol data at " + std::to_string(data_off) + "+" + std::to_string(data_len) +
                       " beyond the " + std::to_string(call.out_size) + "-byte output buffer");
  if (data_type == 1 && data_len < 4096) return r.violation("identify data length " + std::to_string(data_len));
  if (data_len == 0 || data_len % 4 != 0) return r.violation("ProtocolDataLength " + std::to_string(data_len));

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
// ReturnStatus 1 success, 2 device error with ErrorCode = the NVMe status field (DW3 >> 16).
BOOL InboxNvmeDriver::protocol_command(StorageRequest &r) {
  if (win81(r)) return r.fail(ERROR_NOT_SUPPORTED);
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
  r.trace_timeout(timeout);
  if (version != 1) return r.violation("protocol command Version " + std::to_string(version));
  if (length != 84) return r.violation("protocol command Length " + std::to_string(length));
  if (protocol != 3) return r.violation("protocol command ProtocolType " + std::to_string(protocol));
  if (command_length != 64) return r.violation("protocol command CommandLength " + std::to_string(command_length));
  if (call.out_size < size) return r.violation("protocol command output smaller than its input");
  if (error_len > 0 && (error_off < 144 || static_cast<uint64_t>(error_off) + error_len > call.out_size))
    return r.violation("error info at " + std::to_string(error_off) + "+" + std::to_string(error_len));
  if (to_len > 0 && from_len > 0) return r.violation("protocol command with data in both directions");
  if (to_len > 0 && (to_off < 144 || static_cast<uint64_t>(to_off) + to_len > size))
    return r.violation("to-device data at " + std::to_string(to_off) + "+" + std::to_string(to_len));
  if (from_len > 0 && (from_off < 144 || static_cast<uint64_t>(from_off) + from_len > call.out_size))
    return r.violation("from-device data at " + std::to_string(from_off) + "+" + std::to_string(from_len));
  if (specific != 1 && specific != 2) return r.violation("CommandSpecific " + std::to_string(specific));

  NvmeCommand cmd;
  cmd.cdw0 = wire::u32(in, 80);
  cmd.nsid = wire::u32(in, 84);
  cmd.cdw10 = wire::u32(in, 120);
  cmd.cdw11 = wire::u32(in, 124);
  cmd.cdw12 = wire::u32(in, 128);
  cmd.cdw13 = wire::u32(in, 132);
  cmd.cdw14 = wire::u32(in, 136);
  cmd.cdw15 = wire::u32(in, 140);
  r.note_nvme(cmd);
  r.note_data(to_len ? to_len : from_len, to_len ? kDirOut : from_len ? kDirIn : kDirNone);
  if (r.frontend_faults("protocol_command", {{"nvme_opcode", hex(cmd.opcode())}})) return FALSE;

  const uint32_t len = to_len ? to_len : from_len;
  std::vector<uint8_t> data(len, 0);
  if (to_len) std::memcpy(data.data(), in + to_off, to_len);
  NvmeCompletion c = run(r, *ctl, cmd, specific == 1, len ? data.data() : nullptr, len);

  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
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

// IOCTL_SCSI_MINIPORT "FIRMWARE" (ControlCode 001B0780h): after the SRB_IO_CONTROL header a request
// block @28: Version @28 (1), Size @32 (24), Function @36 (1 get info, 2 download, 3 activate),
// Flags @40, DataBufferOffset @44, DataBufferLength @48. The function's structure lies at
// DataBufferOffset: download {Version 1, Size 24, Offset u64 @8, BufferSize u64 @16, image @24},
// activate {Version 1, Size 12, SlotToActivate u8 @8}. The outcome is the header's ReturnCode.
BOOL InboxNvmeDriver::miniport(StorageRequest &r, const MiniportHeader &h) {
  if (h.signature != "FIRMWARE") return reject_miniport(r);
  if (h.control_code != kFirmwareControlCode)
    return r.violation("\"FIRMWARE\" request with ControlCode " + hex(h.control_code), ERROR_INVALID_FUNCTION);
  auto ctl = controller(r);
  if (!ctl) return r.fail(ERROR_INVALID_FUNCTION);
  IoctlCall &call = r.call;
  const size_t size = r.in.size();
  if (static_cast<uint64_t>(h.length) + 28 != size)
    return r.violation("\"FIRMWARE\" Length " + std::to_string(h.length) + " in a " + std::to_string(size) + "-byte request");
  if (call.out_size < size) return r.violation("\"FIRMWARE\" output smaller than its input");
  if (size < 52) return r.violation("\"FIRMWARE\" request without a request block");
  const uint8_t *in = r.in.data();
  const uint32_t version = wire::u32(in, 28), block_size = wire::u32(in, 32), function = wire::u32(in, 36);
  const uint32_t data_off = wire::u32(in, 44), data_len = wire::u32(in, 48);
  if (version != 1 || block_size != 24)
    return r.violation("\"FIRMWARE\" request block Version/Size " + std::to_string(version) + "/" +
                       std::to_string(block_size));
  if (data_off < 52 || static_cast<uint64_t>(data_off) + data_len > size)
    return r.violation("\"FIRMWARE\" data at " + std::to_string(data_off) + "+" + std::to_string(data_len));
  r.note("firmware_function", std::to_string(function));

  uint32_t rc = kFwSuccess;
  BOOL ok = TRUE;
  switch (function) {
    case kFwFunctionDownload:
      if (r.frontend_faults("firmware_download", {{"nvme_opcode", hex(0x11)}})) return FALSE;
      ok = firmware_download(r, *ctl, data_off, data_len, rc);
      break;
    case kFwFunctionActivate:
      if (r.frontend_faults("firmware_activate", {{"nvme_opcode", hex(0x10)}})) return FALSE;
      ok = firmware_activate(r, *ctl, data_off, data_len, rc);
      break;
    case kFwFunctionGetInfo:
      rc = kFwIllegalRequest;
      break;
    default:
      return r.violation("\"FIRMWARE\" Function " + std::to_string(function));
  }
  if (!ok) return FALSE;
  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
  wire::put32(out, 20, rc);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

uint32_t firmware_code_for(const NvmeCompletion &c) {
  switch (c.status()) {
    case kNvmeSuccess: return kFwSuccess;
    case kNvmeInvalidFirmwareSlot: return kFwInvalidSlot;
    case kNvmeInvalidFirmwareImage: return kFwInvalidImage;
    case kNvmeInvalidField:
    case kNvmeOverlappingRange: return kFwInvalidParameter;
    default: return kFwDeviceError;
  }
}

BOOL InboxNvmeDriver::firmware_download(StorageRequest &r, NvmeController &ctl, uint32_t off, uint32_t len,
                                        uint32_t &rc) {
  const uint8_t *p = r.in.data() + off;
  if (len < 24) return r.violation("\"FIRMWARE\" download structure of " + std::to_string(len) + " bytes");
  if (wire::u32(p, 0) != 1 || wire::u32(p, 4) != 24)
    return r.violation("\"FIRMWARE\" download Version/Size " + std::to_string(wire::u32(p, 0)) + "/" +
                       std::to_string(wire::u32(p, 4)));
  const uint64_t offset = wire::u64(p, 8), bytes = wire::u64(p, 16);
  if (24 + bytes > len) return r.violation("\"FIRMWARE\" BufferSize " + std::to_string(bytes) + " beyond the request");
  const FaultAction *forced = r.action("return_code");
  if (forced && forced->value != kFwSuccess) {
    rc = static_cast<uint32_t>(forced->value);
    return TRUE;
  }
  if (bytes == 0 || offset % 4 != 0 || offset / 4 > 0xFFFFFFFFu) {
    rc = kFwInvalidParameter;
    return TRUE;
  }
  // The piece goes to the controller padded to whole dwords.
  const uint32_t padded = static_cast<uint32_t>((bytes + 3) & ~3ull);
  std::vector<uint8_t> piece(padded, 0);
  std::memcpy(piece.data(), p + 24, bytes);
  NvmeCommand cmd;
  cmd.cdw0 = 0x11;
  cmd.cdw10 = padded / 4 - 1;
  cmd.cdw11 = static_cast<uint32_t>(offset / 4);
  NvmeCompletion c = run(r, ctl, cmd, true, piece.data(), padded);
  rc = firmware_code_for(c);
  return TRUE;
}

BOOL InboxNvmeDriver::firmware_activate(StorageRequest &r, NvmeController &ctl, uint32_t off, uint32_t len,
                                        uint32_t &rc) {
  const uint8_t *p = r.in.data() + off;
  if (len < 12) return r.violation("\"FIRMWARE\" activate structure of " + std::to_string(len) + " bytes");
  if (wire::u32(p, 0) != 1 || wire::u32(p, 4) < 12)
    return r.violation("\"FIRMWARE\" activate Version/Size " + std::to_string(wire::u32(p, 0)) + "/" +
                       std::to_string(wire::u32(p, 4)));
  const uint8_t slot = p[8];
  const FaultAction *forced = r.action("return_code");
  if (forced && forced->value != kFwSuccess && forced->value != kFwPowerCycleRequired) {
    rc = static_cast<uint32_t>(forced->value);
    return TRUE;
  }
  if (slot > 7) {
    rc = kFwInvalidSlot;
    return TRUE;
  }
  // Replace the image in the slot and activate it at the next reset; when the new firmware runs
  // is the drive's own affair.
  NvmeCommand cmd;
  cmd.cdw0 = 0x10;
  cmd.cdw10 = static_cast<uint32_t>(slot) | 1u << 3;
  NvmeCompletion c = run(r, ctl, cmd, true, nullptr, 0);
  rc = firmware_code_for(c);
  if (rc == kFwSuccess) {
    if (r.adapter.knobs.firmware_activate_return_code)
      rc = *r.adapter.knobs.firmware_activate_return_code;
    else if (activation(r) == NvmeActivation::AtPowerCycle)
      rc = kFwPowerCycleRequired;
    if (forced) rc = static_cast<uint32_t>(forced->value);
  }
  r.note("revision_after", ctl.running_revision());
  return TRUE;
}

// ---- SCSI translation ----------------------------------------------------------------------------

ScsiResult InboxNvmeDriver::inquiry(StorageRequest &r, NvmeController &ctl, const uint8_t *cdb, uint8_t *data,
                                    uint32_t data_len) {
  const uint32_t alloc = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
  NvmeCommand id;
  id.cdw0 = 0x06;
  id.cdw10 = 1;
  std::vector<uint8_t> ident(4096, 0);
  NvmeCompletion c = run(r, ctl, id, true, ident.data(), 4096);
  if (!c.ok()) return check_condition_fixed(0x04, 0x44, 0x00);
  std::vector<uint8_t> page;
  if (cdb[1] & 1) {
    switch (cdb[2]) {
      case 0x00:
        page = {0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83};
        break;
      case 0x80:
        page.assign(24, 0);
        page[1] = 0x80;
        page[3] = 20;
        std::memcpy(page.data() + 4, ident.data() + 4, 20);
        break;
      case 0x83:
        page.assign(4 + 4 + 16, 0);
        page[1] = 0x83;
        page[3] = 20;
        page[4] = 0x02;  // ASCII, vendor-specific identifier: the serial
        page[7] = 16;
        std::memcpy(page.data() + 8, ident.data() + 4, 16);
        break;
      default:
        return check_condition_fixed(0x05, 0x24, 0x00);
    }
  } else {
    if (cdb[2] != 0) return check_condition_fixed(0x05, 0x24, 0x00);
    page.assign(36, 0);
    page[0] = 0x00;
    page[2] = 0x06;
    page[3] = 0x02;
    page[4] = 31;
    page[7] = 0x02;
    std::memcpy(page.data() + 8, "NVMe    ", 8);
    std::memcpy(page.data() + 16, ident.data() + 24, 16);
    std::memcpy(page.data() + 32, ident.data() + 64, 4);
  }
  const uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(page.size()), alloc, data_len});
  if (n) std::memcpy(data, page.data(), n);
  ScsiResult res;
  res.data_transferred = n;
  return res;
}

ScsiResult InboxNvmeDriver::write_buffer(StorageRequest &r, NvmeController &ctl, const uint8_t *cdb, size_t cdb_len,
                                         uint8_t *data, uint32_t data_len, int ddir) {
  if (win81(r) || cdb_len < 10) return scsi_invalid_opcode();
  const uint8_t mode = cdb[1] & 0x1F;
  const uint32_t offset = be24(cdb + 3), length = be24(cdb + 6);
  NvmeCommand cmd;
  if (mode == 0x0E) {
    if (length == 0 || length % 4 != 0 || offset % 4 != 0 || ddir != kDirOut || length != data_len)
      return check_condition_fixed(0x05, 0x24, 0x00);
    cmd.cdw0 = 0x11;
    cmd.cdw10 = length / 4 - 1;
    cmd.cdw11 = offset / 4;
    NvmeCompletion c = run(r, ctl, cmd, true, data, length);
    if (!c.ok()) return sense_for(c);
    ScsiResult res;
    res.data_transferred = 0;
    return res;
  }
  if (mode == 0x0F) {
    cmd.cdw0 = 0x10;
    cmd.cdw10 = static_cast<uint32_t>(cdb[2] & 7) | 1u << 3;
    NvmeCompletion c = run(r, ctl, cmd, true, nullptr, 0);
    if (!c.ok()) return sense_for(c);
    return ScsiResult{};
  }
  return check_condition_fixed(0x05, 0x24, 0x00);
}

ScsiResult InboxNvmeDriver::execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len,
                                         uint8_t *data, uint32_t data_len, int ddir) {
  if (!lu.nvme) return scsi_invalid_opcode();
  NvmeController &ctl = *lu.nvme;
  NvmeCommand cmd;
  NvmeCompletion c;
  switch (cdb[0]) {
    case 0x12:
      if (cdb_len < 6) return scsi_invalid_opcode();
      return inquiry(r, ctl, cdb, data, ddir == kDirIn ? data_len : 0);
    case 0x00:  // TEST UNIT READY
      return ScsiResult{};
    case 0x03: {  // REQUEST SENSE: nothing pending
      const uint8_t sense[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
      const uint32_t n = std::min<uint32_t>({18u, cdb[4], ddir == kDirIn ? data_len : 0u});
      if (n) std::memcpy(data, sense, n);
      ScsiResult res;
      res.data_transferred = n;
      return res;
    }
    case 0x88:  // READ(16)
    case 0x8A: {  // WRITE(16)
      if (cdb_len < 16) return scsi_invalid_opcode();
      const uint32_t blocks = be32(cdb + 10);
      if (blocks == 0) return ScsiResult{};
      const bool read = cdb[0] == 0x88;
      if (blocks > 0x10000 || ddir != (read ? kDirIn : kDirOut)) return check_condition_fixed(0x05, 0x24, 0x00);
      cmd.cdw0 = read ? 0x02 : 0x01;
      cmd.nsid = 1;
      cmd.cdw10 = be32(cdb + 6);
      cmd.cdw11 = be32(cdb + 2);
      cmd.cdw12 = (blocks - 1) | (read && (cdb[1] & 0x08) ? 1u << 30 : 0);
      c = run(r, ctl, cmd, false, data, data_len);
      break;
    }
    case 0x35:  // SYNCHRONIZE CACHE(10)
      cmd.cdw0 = 0x00;
      cmd.nsid = 1;
      c = run(r, ctl, cmd, false, nullptr, 0);
      break;
    case 0xA2:  // SECURITY PROTOCOL IN
    case 0xB5: {  // SECURITY PROTOCOL OUT
      if (cdb_len < 12) return scsi_invalid_opcode();
      const bool in = cdb[0] == 0xA2;
      if (be32(cdb + 6) > 0 && ddir != (in ? kDirIn : kDirOut)) return check_condition_fixed(0x05, 0x24, 0x00);
      cmd.cdw0 = in ? 0x82 : 0x81;
      cmd.nsid = 1;
      cmd.cdw10 = static_cast<uint32_t>(cdb[1]) << 24 | static_cast<uint32_t>(cdb[2]) << 16 |
                  static_cast<uint32_t>(cdb[3]) << 8;
      cmd.cdw11 = be32(cdb + 6);
      c = run(r, ctl, cmd, true, data, std::min(data_len, cmd.cdw11));
      break;
    }
    case 0x3B:
      return write_buffer(r, ctl, cdb, cdb_len, data, data_len, ddir);
    default:
      return scsi_invalid_opcode();
  }
  if (!c.ok()) return sense_for(c);
  ScsiResult res;
  res.data_transferred = c.data_transferred;
  return res;
}

}  // namespace

std::shared_ptr<StorageDriver> make_inbox_nvme_driver() { return std::make_shared<InboxNvmeDriver>(); }

}  // namespace sim

// The simulated storage stack: adapters and logical units from the machine description, their
// paths, and the requests every storage driver decodes the same way.
#include "sim/storage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "platform/win32.h"
#include "sim/devtree.h"
#include "sim/machine.h"
#include "sim/storage/description.h"
#include "sim/storage/driver.h"
#include "sim/storage/helpers.h"
#include "sim/storage/intel_rst.h"
#include "sim/trace.h"
#include "storage_csmi.h"
#include "storage_loading.h"

namespace sim {

namespace {

using json = nlohmann::json;
using namespace storage_desc;

// ---- Personality registry ------------------------------------------------------------------------

struct DriverRegistry {
  std::mutex lock;
  std::map<std::string, StorageDriverFactory> factories;
};

DriverRegistry &drivers() {
  static DriverRegistry *r = [] {
    auto *reg = new DriverRegistry;
    reg->factories["inbox_nvme"] = make_inbox_nvme_driver;
    reg->factories["inbox_ahci"] = make_inbox_ahci_driver;
    reg->factories["usb_bot"] = make_usb_bot_driver;
    reg->factories["storage_spaces"] = make_storage_spaces_driver;
    reg->factories["plain"] = make_plain_driver;
    reg->factories["intel_rst"] = make_intel_rst_driver;
    reg->factories["sas"] = make_sas_driver;
    reg->factories["maker_nvme"] = make_maker_nvme_driver;
    reg->factories["intel_rste"] = make_rste_driver;
    reg->factories["nevox"] = make_nevox_driver;
    reg->factories["uas"] = make_uas_driver;
    reg->factories["uas_sat"] = make_uas_sat_driver;
    return reg;
  }();
  return *r;
}

// ---- The storage in use ----------------------------------------------------------------------------

struct Storage {
  std::mutex lock;
  std::vector<std::shared_ptr<StorageAdapter>> adapters;
  std::vector<std::shared_ptr<StorageLu>> lus;
  std::vector<std::shared_ptr<StorageDrive>> drives;  // named ones first, then the anonymous ones
};

Storage &storage() {
  static Storage *s = new Storage;
  return *s;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// ---- Device objects --------------------------------------------------------------------------------

std::string text8(const uint8_t *p) { return std::string(reinterpret_cast<const char *>(p), 8); }

class StorageObject : public DeviceObject {
 public:
  StorageObject(std::string name, std::shared_ptr<StorageAdapter> adapter, std::shared_ptr<StorageLu> lu)
      : DeviceObject(std::move(name)), adapter_(std::move(adapter)), lu_(std::move(lu)) {}

  BOOL ioctl(IoctlCall &call) override {
    StorageRequest r(call, *adapter_);
    r.lu = lu_.get();
    r.on_adapter = lu_ == nullptr;
    if (call.in && call.in_size) r.in.assign(call.in, call.in + call.in_size);
    for (const FiredFault &f : call.faults) r.actions.push_back(f.action);
    const BOOL ok = timed_dispatch(r);
    if (ok) {
      scribble(r);
      short_return(r);
    }
    return ok;
  }

 private:
  BOOL timed_dispatch(StorageRequest &r);
  void short_return(StorageRequest &r);
  BOOL dispatch(StorageRequest &r);
  void scribble(StorageRequest &r);
  BOOL device_number(StorageRequest &r);
  BOOL query_property(StorageRequest &r);
  BOOL get_address(StorageRequest &r);
  BOOL scsi_pass_through(StorageRequest &r);
  BOOL ata_pass_through(StorageRequest &r);
  BOOL miniport(StorageRequest &r);
  BOOL reset_bus(StorageRequest &r);
  BOOL disk_cache(StorageRequest &r);
  // The LU a pass-through request reaches: this LU, or on an adapter the one at the request's
  // address (null: none there).
  StorageLu *target(uint8_t path_id, uint8_t target_id, uint8_t lun) {
    if (lu_) return lu_.get();
    return adapter_->find_lu(path_id, target_id, lun);
  }

  std::shared_ptr<StorageAdapter> adapter_;
  std::shared_ptr<StorageLu> lu_;
};

// A driver that writes into the caller's buffer after it answered: `bytes` at offset `value`, or
// without bytes every byte from `value` on set to `value2`. What it writes stays within the
// output buffer and is returned (a buffered request hands back only the bytes returned); the data
// area of a to-device request is fair game, as on a real machine.
void StorageObject::scribble(StorageRequest &r) {
  IoctlCall &c = r.call;
  for (const FaultAction &a : r.actions) {
    if (a.kind != FaultAction::custom || a.name != "scribble" || a.value >= c.out_size) continue;
    const size_t from = static_cast<size_t>(a.value);
    const size_t n = a.bytes.empty() ? c.out_size - from : std::min<size_t>(a.bytes.size(), c.out_size - from);
    if (a.bytes.empty()) {
      std::memset(c.out + from, static_cast<uint8_t>(a.value2), n);
    } else {
      std::memcpy(c.out + from, a.bytes.data(), n);
    }
    c.bytes_returned = std::max<DWORD>(c.bytes_returned, static_cast<DWORD>(from + n));
    r.note("scribbled_from", std::to_string(from));
  }
}

// A driver that says it returned fewer bytes than it wrote: BytesReturned is at most `value` (the
// caller's buffer past it keeps what it held, as for every buffered request).
void StorageObject::short_return(StorageRequest &r) {
  const FaultAction *a = r.action("short_return");
  if (!a) return;
  IoctlCall &c = r.call;
  c.bytes_returned = static_cast<DWORD>(std::min<uint64_t>(c.bytes_returned, a->value));
  r.note("short_return", std::to_string(c.bytes_returned));
}

// ---- Request time-outs ----------------------------------------------------------------------------
// The port driver times every request that carries a time-out field (SCSI and ATA pass-through,
// the protocol command, every miniport request): the drive commands it carries may take that many
// seconds together (RequestTimeLimit). A request that outlives it fails with ERROR_SEM_TIMEOUT
// after exactly its time-out, the caller's buffer as it was (a failed buffered request hands
// nothing back, so no ReturnCode or status is written), and the drive recovers from the reset that
// follows as its model says. A time-out of 0 sets no bound (what the port driver does with it is
// not documented) and is counted per request kind for the state output. Requests without the
// field take the drives' full times.

struct TimeoutField {
  std::string kind;       // "scsi_pass_through", "ata_pass_through", "protocol_command", "miniport"
  std::string signature;  // miniport requests: the signature, trailing NULs removed
  uint32_t seconds = 0;
};

std::optional<TimeoutField> timeout_field(const StorageRequest &r) {
  const auto field = [&r](const char *kind, size_t offset) -> std::optional<TimeoutField> {
    if (r.in.size() < offset + 4) return std::nullopt;
    return TimeoutField{kind, "", wire::u32(r.in.data(), offset)};
  };
  switch (r.call.code) {
    case ioctl::kScsiPassThrough: return field("scsi_pass_through", 16);
    case ioctl::kAtaPassThrough: return field("ata_pass_through", 12);
    case ioctl::kStorageProtocolCommand: return field("protocol_command", 40);
    case ioctl::kScsiMiniport: {
      std::optional<TimeoutField> t = field("miniport", 24);  // the whole SRB_IO_CONTROL header
      if (!t) return t;
      t->seconds = wire::u32(r.in.data(), 12);
      t->signature = text8(r.in.data() + 4);
      while (!t->signature.empty() && t->signature.back() == '\0') t->signature.pop_back();
      for (char &ch : t->signature)
        if (ch < 0x20 || ch > 0x7E) ch = '?';
      return t;
    }
    default: return std::nullopt;
  }
}

struct ZeroTimeouts {
  std::mutex lock;
  std::map<std::string, uint64_t> plain;     // by request kind
  std::map<std::string, uint64_t> miniport;  // by signature
};

ZeroTimeouts &zero_timeouts() {
  static ZeroTimeouts *z = new ZeroTimeouts;
  return *z;
}

void clear_zero_timeouts() {
  ZeroTimeouts &z = zero_timeouts();
  std::lock_guard<std::mutex> g(z.lock);
  z.plain.clear();
  z.miniport.clear();
}

BOOL StorageObject::timed_dispatch(StorageRequest &r) {
  const std::optional<TimeoutField> t = timeout_field(r);
  if (!t) return dispatch(r);
  if (t->seconds == 0) {
    ZeroTimeouts &z = zero_timeouts();
    std::lock_guard<std::mutex> g(z.lock);
    ++(t->signature.empty() ? z.plain[t->kind] : z.miniport[t->signature]);
  }
  RequestTimeLimit limit(static_cast<uint64_t>(t->seconds) * 1000);
  const BOOL ok = dispatch(r);
  if (!limit.expired()) return ok;
  r.call.bytes_returned = 0;
  r.note("timed_out_after_ms", std::to_string(static_cast<uint64_t>(t->seconds) * 1000));
  return r.fail(ERROR_SEM_TIMEOUT);
}

BOOL StorageObject::dispatch(StorageRequest &r) {
  StorageDriver &d = *adapter_->driver;
  switch (r.call.code) {
    case ioctl::kStorageGetDeviceNumber:
      return device_number(r);
    case ioctl::kStorageQueryProperty:
      return query_property(r);
    case ioctl::kScsiGetAddress:
      return get_address(r);
    case ioctl::kScsiPassThrough:
      return scsi_pass_through(r);
    case ioctl::kAtaPassThrough:
      return ata_pass_through(r);
    case ioctl::kScsiMiniport:
      return miniport(r);
    case ioctl::kStorageProtocolCommand:
      return d.protocol_command(r);
    case ioctl::kStorageSetTemperatureThreshold:
      return d.temperature_threshold(r);
    case ioctl::kStorageFirmwareGetInfo:
    case ioctl::kStorageFirmwareDownload:
    case ioctl::kStorageFirmwareActivate:
      return d.storage_firmware(r);
    case ioctl::kStorageResetBus:
      return reset_bus(r);
    case ioctl::kDiskGetCacheInformation:
    case ioctl::kDiskSetCacheInformation:
    case ioctl::kDiskGetCacheSetting:
    case ioctl::kDiskSetCacheSetting:
      return disk_cache(r);
    default:
      return r.fail(ERROR_INVALID_FUNCTION);
  }
}

// IOCTL_STORAGE_GET_DEVICE_NUMBER: 12 bytes out, DeviceType @0 (7 disk), DeviceNumber @4,
// PartitionNumber @8.
BOOL StorageObject::device_number(StorageRequest &r) {
  if (!lu_ || lu_->kind != LuKind::Disk) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.frontend_faults("device_number")) return FALSE;
  if (r.call.out_size < 12) return r.fail(ERROR_INSUFFICIENT_BUFFER);
  uint32_t number = lu_->physical_drive;
  if (const FaultAction *a = r.action("device_number")) number = static_cast<uint32_t>(a->value);
  std::memset(r.call.out, 0, 12);
  wire::put32(r.call.out, 0, 7);
  wire::put32(r.call.out, 4, number);
  wire::put32(r.call.out, 8, 0);
  r.call.bytes_returned = 12;
  return TRUE;
}

// IOCTL_STORAGE_QUERY_PROPERTY. Input: PropertyId u32 @0, QueryType u32 @4, parameters from 8.
// The standard device property (0) answers the STORAGE_DEVICE_DESCRIPTOR (40-byte head: Version,
// Size, DeviceType @8, modifier @9, RemovableMedia @10, CommandQueueing @11, the four string
// offsets @12-@24, BusType @28, RawPropertiesLength @32, raw bytes @36), strings after the head;
// what does not fit the caller's buffer is cut off. Other properties belong to the personality.
BOOL StorageObject::query_property(StorageRequest &r) {
  if (r.in.size() < 8) return r.violation("QUERY_PROPERTY input of " + std::to_string(r.in.size()) + " bytes");
  const uint32_t property = wire::u32(r.in.data(), 0);
  const uint32_t query_type = wire::u32(r.in.data(), 4);
  if (property != 0) return adapter_->driver->query_property(r, property);
  if (!lu_) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.frontend_faults("device_descriptor")) return FALSE;
  if (query_type == 1) return TRUE;  // the property exists
  if (query_type != 0) return r.violation("device property query type " + std::to_string(query_type));
  if (r.call.out_size < 8) return r.fail(ERROR_INSUFFICIENT_BUFFER);

  std::vector<uint8_t> d(40, 0);
  auto add_string = [&](size_t field, const std::string &s) {
    wire::put32(d.data(), field, static_cast<uint32_t>(d.size()));
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
  };
  d[8] = lu_->device_type;
  d[10] = 0;
  d[11] = 1;
  add_string(12, lu_->vendor);
  add_string(16, lu_->product);
  add_string(20, lu_->revision);
  add_string(24, lu_->serial);
  wire::put32(d.data(), 0, 40);
  wire::put32(d.data(), 4, static_cast<uint32_t>(d.size()));
  wire::put32(d.data(), 28, lu_->bus_type);
  uint32_t n = std::min<uint32_t>(r.call.out_size, static_cast<uint32_t>(d.size()));
  if (const FaultAction *a = r.action("short_transfer")) n = std::min<uint32_t>(n, static_cast<uint32_t>(a->value));
  std::memcpy(r.call.out, d.data(), n);
  r.call.bytes_returned = n;
  return TRUE;
}

// IOCTL_SCSI_GET_ADDRESS: 8 bytes, Length u32 @0, PortNumber @4, PathId @5, TargetId @6, Lun @7.
BOOL StorageObject::get_address(StorageRequest &r) {
  if (!lu_ || !lu_->has_address || !adapter_->driver->has_port()) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.frontend_faults("get_address")) return FALSE;
  if (r.call.out_size < 8) return r.fail(ERROR_INSUFFICIENT_BUFFER);
  wire::put32(r.call.out, 0, 8);
  r.call.out[4] = static_cast<uint8_t>(adapter_->port);
  r.call.out[5] = lu_->path_id;
  r.call.out[6] = lu_->target_id;
  r.call.out[7] = lu_->lun;
  r.call.bytes_returned = 8;
  return TRUE;
}

// IOCTL_SCSI_PASS_THROUGH, 64-bit layout: Length u16 @0 (56), ScsiStatus @2, PathId @3,
// TargetId @4, Lun @5, CdbLength @6, SenseInfoLength @7, DataIn @8 (0 out, 1 in, 2 none),
// DataTransferLength u32 @12, TimeOutValue u32 @16, DataBufferOffset u64 @24,
// SenseInfoOffset u32 @32, Cdb[16] @36. Data and sense live in the same buffer at their offsets.
BOOL StorageObject::scsi_pass_through(StorageRequest &r) {
  IoctlCall &c = r.call;
  const uint8_t *in = r.in.data();
  if (r.in.size() < 56) return r.violation("SCSI_PASS_THROUGH input of " + std::to_string(r.in.size()) + " bytes");
  if (wire::u16(in, 0) != 56) return r.violation("SCSI_PASS_THROUGH Length " + std::to_string(wire::u16(in, 0)));
  const uint8_t cdb_len = in[6];
  const uint8_t sense_len = in[7];
  const uint8_t data_in = in[8];
  const uint32_t xfer = wire::u32(in, 12);
  const uint32_t timeout = wire::u32(in, 16);
  const uint64_t data_off = wire::u64(in, 24);
  const uint32_t sense_off = wire::u32(in, 32);
  r.trace_timeout(timeout);
  if (cdb_len < 1 || cdb_len > 16) return r.violation("SCSI_PASS_THROUGH CdbLength " + std::to_string(cdb_len));
  if (data_in > 2) return r.violation("SCSI_PASS_THROUGH DataIn " + std::to_string(data_in));
  if (c.out_size < 56) return r.violation("SCSI_PASS_THROUGH output of " + std::to_string(c.out_size) + " bytes");
  if (sense_len > 0 && (sense_off < 56 || static_cast<uint64_t>(sense_off) + sense_len > c.out_size))
    return r.violation("SCSI_PASS_THROUGH sense at " + std::to_string(sense_off) + "+" + std::to_string(sense_len) +
                       " outside the output buffer");
  int ddir = kDirNone;
  if (xfer > 0) {
    if (data_in == 2) return r.violation("SCSI_PASS_THROUGH data without a direction");
    ddir = data_in == 1 ? kDirIn : kDirOut;
    const uint64_t limit = ddir == kDirIn ? c.out_size : r.in.size();
    if (data_off < 56 || data_off + xfer > limit)
      return r.violation("SCSI_PASS_THROUGH data at " + std::to_string(data_off) + "+" + std::to_string(xfer) +
                         " outside the buffer");
  }
  if (r.beyond_max_transfer(xfer)) return FALSE;
  uint8_t cdb[16] = {};
  std::memcpy(cdb, in + 36, cdb_len);
  StorageLu *lu = target(in[3], in[4], in[5]);
  if (!lu) return r.fail(ERROR_INVALID_PARAMETER);
  r.lu = lu;
  r.note_cdb(cdb, cdb_len);
  r.note_data(xfer, ddir);
  if (r.frontend_faults("scsi_pass_through", {{"cdb0", fault_key(cdb[0])}})) return FALSE;

  std::vector<uint8_t> data(xfer, 0);
  if (ddir == kDirOut) std::memcpy(data.data(), r.in.data() + data_off, xfer);
  ScsiResult res;
  if (const FaultAction *a = r.action("scsi_status")) {
    res.status = static_cast<uint8_t>(a->value);
    if (!a->bytes.empty()) {
      res.sense_len = static_cast<uint32_t>(std::min<size_t>(a->bytes.size(), sizeof res.sense));
      std::memcpy(res.sense, a->bytes.data(), res.sense_len);
    } else if (res.status == kScsiCheckCondition) {
      const uint8_t key = static_cast<uint8_t>(a->value2 >> 16), asc = static_cast<uint8_t>(a->value2 >> 8),
                    ascq = static_cast<uint8_t>(a->value2);
      res = (a->value2 >> 24) & 1 ? check_condition_descriptor(key, asc, ascq) : check_condition_fixed(key, asc, ascq);
    }
  } else {
    res = adapter_->driver->execute_scsi(r, *lu, cdb, cdb_len, data.data(), xfer, ddir);
  }
  uint32_t moved = std::min(res.data_transferred, xfer);
  if (const FaultAction *a = r.action("short_transfer")) moved = std::min<uint32_t>(moved, static_cast<uint32_t>(a->value));
  if (ddir == kDirIn && r.action("zero_data")) std::fill(data.begin(), data.end(), 0);

  uint32_t sense_out = std::min<uint32_t>(res.sense_len, sense_len);
  if (const FaultAction *a = r.action("sense_length")) sense_out = std::min<uint32_t>(static_cast<uint32_t>(a->value), sense_len);
  if (c.out != c.in) std::memcpy(c.out, r.in.data(), std::min<size_t>(r.in.size(), c.out_size));
  uint8_t *out = c.out;
  out[2] = res.status;
  out[7] = static_cast<uint8_t>(sense_out);
  wire::put32(out, 12, moved);
  if (sense_out) std::memcpy(out + sense_off, res.sense, std::min<uint32_t>(sense_out, sizeof res.sense));
  if (ddir == kDirIn && moved) std::memcpy(out + data_off, data.data(), moved);
  uint64_t returned = 56;
  if (sense_out) returned = std::max<uint64_t>(returned, static_cast<uint64_t>(sense_off) + sense_out);
  if (ddir == kDirIn && moved) returned = std::max<uint64_t>(returned, data_off + moved);
  c.bytes_returned = static_cast<DWORD>(std::min<uint64_t>(returned, c.out_size));
  if (const FaultAction *a = r.action("corrupt_offsets")) {
    const uint32_t shift = a->value ? static_cast<uint32_t>(a->value) : 16;
    if (xfer) wire::put64(out, 24, data_off + shift);
    wire::put32(out, 32, sense_off + shift);
    if (a->value2) wire::put32(out, 12, static_cast<uint32_t>(a->value2));
  }
  r.note("scsi_status", std::to_string(res.status));
  return TRUE;
}

// IOCTL_ATA_PASS_THROUGH: Length u16 @0 (48), AtaFlags u16 @2 (01h DRDY, 02h data in, 04h data
// out, 08h 48-bit, 10h DMA), PathId @4, TargetId @5, Lun @6, DataTransferLength u32 @8,
// TimeOutValue u32 @12, DataBufferOffset u64 @24, PreviousTaskFile[8] @32, CurrentTaskFile[8]
// @40 (features, count, LBA low/mid/high, device, command, reserved). The answer replaces the
// task files with the result registers (error over features, status over command).
BOOL StorageObject::ata_pass_through(StorageRequest &r) {
  IoctlCall &c = r.call;
  if (r.in.size() < 48) return r.violation("ATA_PASS_THROUGH input of " + std::to_string(r.in.size()) + " bytes");
  const uint8_t *in = r.in.data();
  StorageLu *lu = target(in[4], in[5], in[6]);
  if (!lu) return r.fail(ERROR_INVALID_PARAMETER);
  if (!adapter_->driver->ata_pass_through(*lu)) return r.fail(ERROR_INVALID_FUNCTION);
  r.lu = lu;
  if (wire::u16(in, 0) != 48) return r.violation("ATA_PASS_THROUGH Length " + std::to_string(wire::u16(in, 0)));
  const uint16_t flags = wire::u16(in, 2);
  const uint32_t xfer = wire::u32(in, 8);
  const uint32_t timeout = wire::u32(in, 12);
  const uint64_t data_off = wire::u64(in, 24);
  r.trace_timeout(timeout);
  if ((flags & 0x02) && (flags & 0x04)) return r.violation("ATA_PASS_THROUGH with both data directions");
  if (c.out_size < 48) return r.violation("ATA_PASS_THROUGH output of " + std::to_string(c.out_size) + " bytes");
  int ddir = kDirNone;
  if (flags & 0x02) ddir = kDirIn;
  if (flags & 0x04) ddir = kDirOut;
  if (xfer > 0) {
    if (ddir == kDirNone) return r.violation("ATA_PASS_THROUGH data without a direction flag");
    const uint64_t limit = ddir == kDirIn ? c.out_size : r.in.size();
    if (data_off < 48 || data_off + xfer > limit)
      return r.violation("ATA_PASS_THROUGH data at " + std::to_string(data_off) + "+" + std::to_string(xfer) +
                         " outside the buffer");
  }
  if (r.beyond_max_transfer(xfer)) return FALSE;
  const uint8_t *ptf = in + 32;
  const uint8_t *ctf = in + 40;
  const bool ext = (flags & 0x08) != 0;
  AtaTaskfile tf;
  tf.is_ext = ext;
  tf.command = ctf[6];
  tf.device = ctf[5];
  tf.feature = ctf[0];
  tf.count = ctf[1];
  tf.lba = static_cast<uint64_t>(ctf[2]) | static_cast<uint64_t>(ctf[3]) << 8 | static_cast<uint64_t>(ctf[4]) << 16;
  if (ext) {
    tf.feature = static_cast<uint16_t>(tf.feature | ptf[0] << 8);
    tf.count = static_cast<uint16_t>(tf.count | ptf[1] << 8);
    tf.lba |= static_cast<uint64_t>(ptf[2]) << 24 | static_cast<uint64_t>(ptf[3]) << 32 |
              static_cast<uint64_t>(ptf[4]) << 40;
  } else {
    tf.lba |= static_cast<uint64_t>(ctf[5] & 0x0F) << 24;
  }
  tf.ddir = ddir;
  tf.protocol = flags & 0x10 ? AtaProtocol::dma : AtaProtocol::pio;
  r.note_ata(tf);
  r.note_data(xfer, ddir);
  if (r.frontend_faults("ata_pass_through", {{"ata_command", fault_key(tf.command)}})) return FALSE;

  std::vector<uint8_t> data(xfer, 0);
  if (ddir == kDirOut) std::memcpy(data.data(), in + data_off, xfer);
  uint32_t moved = 0;
  const AtaResult res = run_ata_for(r, *lu->ata, tf, data.data(), xfer, ddir, &moved);

  if (c.out != c.in) std::memcpy(c.out, in, std::min<size_t>(r.in.size(), c.out_size));
  uint8_t *out = c.out;
  wire::put32(out, 8, moved);
  uint8_t *optf = out + 32;
  uint8_t *octf = out + 40;
  octf[0] = res.error;
  octf[1] = static_cast<uint8_t>(res.count);
  octf[2] = static_cast<uint8_t>(res.lba);
  octf[3] = static_cast<uint8_t>(res.lba >> 8);
  octf[4] = static_cast<uint8_t>(res.lba >> 16);
  octf[5] = res.device;
  octf[6] = res.status;
  octf[7] = 0;
  if (ext) {
    optf[0] = 0;
    optf[1] = static_cast<uint8_t>(res.count >> 8);
    optf[2] = static_cast<uint8_t>(res.lba >> 24);
    optf[3] = static_cast<uint8_t>(res.lba >> 32);
    optf[4] = static_cast<uint8_t>(res.lba >> 40);
  }
  if (ddir == kDirIn && moved) std::memcpy(out + data_off, data.data(), moved);
  uint64_t returned = 48;
  if (ddir == kDirIn && moved) returned = std::max<uint64_t>(returned, data_off + moved);
  c.bytes_returned = static_cast<DWORD>(std::min<uint64_t>(returned, c.out_size));
  r.note("ata_status", std::to_string(res.status));
  return TRUE;
}

// IOCTL_SCSI_MINIPORT: SRB_IO_CONTROL header of 28 bytes (HeaderLength u32 @0, Signature[8] @4,
// Timeout u32 @12, ControlCode u32 @16, ReturnCode u32 @20, Length u32 @24), payload after it.
BOOL StorageObject::miniport(StorageRequest &r) {
  if (r.in.size() < 28) return r.violation("miniport request of " + std::to_string(r.in.size()) + " bytes");
  MiniportHeader h;
  const uint8_t *in = r.in.data();
  h.header_length = wire::u32(in, 0);
  h.signature = text8(in + 4);
  h.timeout = wire::u32(in, 12);
  h.control_code = wire::u32(in, 16);
  h.return_code = wire::u32(in, 20);
  h.length = wire::u32(in, 24);
  if (r.call.trace) {
    r.call.trace->signature = h.signature;
    r.call.trace->miniport_code = h.control_code;
    r.call.trace->timeout = h.timeout;
  }
  if (h.header_length != 28) return r.violation("miniport HeaderLength " + std::to_string(h.header_length));
  if (r.frontend_faults("miniport", {{"signature", h.signature}, {"miniport_code", fault_key(h.control_code)}}))
    return FALSE;
  return adapter_->driver->miniport(r, h);
}

// IOCTL_STORAGE_RESET_BUS: one byte in, the PathId of the bus to reset.
BOOL StorageObject::reset_bus(StorageRequest &r) {
  if (r.in.empty()) return r.violation("RESET_BUS without a PathId");
  if (r.frontend_faults("reset_bus")) return FALSE;
  return adapter_->driver->reset_bus(r, r.in[0]);
}

// Disk class cache requests: DISK_CACHE_INFORMATION (24 bytes: ParametersSavable @0,
// ReadCacheEnabled @1, WriteCacheEnabled @2, retention priorities u32 @4/@8,
// DisablePrefetchTransferLength u16 @12, PrefetchScalar @14, prefetch limits @16) and
// DISK_CACHE_SETTING (12 bytes: Version u32 @0 = 12, State u32 @4, IsPowerProtected @8).
BOOL StorageObject::disk_cache(StorageRequest &r) {
  if (!lu_) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.frontend_faults("disk_cache")) return FALSE;
  IoctlCall &c = r.call;
  std::lock_guard<std::mutex> g(lu_->lock);
  switch (c.code) {
    case ioctl::kDiskGetCacheInformation:
      if (c.out_size < 24) return r.fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(c.out, lu_->cache_information, 24);
      c.bytes_returned = 24;
      return TRUE;
    case ioctl::kDiskSetCacheInformation:
      if (r.in.size() < 24) return r.violation("DISK_CACHE_INFORMATION of " + std::to_string(r.in.size()) + " bytes");
      std::memcpy(lu_->cache_information, r.in.data(), 24);
      return TRUE;
    case ioctl::kDiskGetCacheSetting:
      if (c.out_size < 12) return r.fail(ERROR_INSUFFICIENT_BUFFER);
      std::memcpy(c.out, lu_->cache_setting, 12);
      c.bytes_returned = 12;
      return TRUE;
    default:
      if (r.in.size() < 12 || wire::u32(r.in.data(), 0) != 12)
        return r.violation("DISK_CACHE_SETTING of " + std::to_string(r.in.size()) + " bytes or Version not 12");
      std::memcpy(lu_->cache_setting, r.in.data(), 12);
      return TRUE;
  }
}

// Paths of one LU: a disk's physical drive, PDO and disk interface; an enclosure's SES interface;
// none for units reached only through their controller.
std::vector<std::string> lu_paths(const StorageLu &lu) {
  std::vector<std::string> lp;
  if (lu.kind == LuKind::Disk) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "\\\\.\\PhysicalDrive%u", lu.physical_drive);
    lp.push_back(buf);
    lp.push_back("\\\\.\\GLOBALROOT" + lu.pdo);
  }
  if ((lu.kind == LuKind::Disk || lu.kind == LuKind::Enclosure) && !lu.interface_path.empty())
    lp.push_back(lu.interface_path);
  return lp;
}

// ---- Device nodes -----------------------------------------------------------------------------------
// An adapter or a disk names its devnode ("node": id or instance id), which then gives its instance
// id, interface path and (disk) PDO name. Without one, a node is made for it: an adapter's under the
// root (class "hdc" for in-box AHCI, else "SCSIAdapter", with its storage-port interface and the
// driver key of the driver the personality stands for, whose "DriverDesc" the adapter's
// "driver_desc" replaces), a disk's under its adapter's node (class "DiskDrive", with its disk
// interface unless it has none, and the removal policy of a fixed disk, as Windows gives every
// disk node).

// The description each driver's INF gives its controllers (a plain SCSI unit's adapter has none).
const char *default_driver_desc(const std::string &personality) {
  if (personality == "inbox_ahci") return "Standard SATA AHCI Controller";
  if (personality == "inbox_nvme" || personality == "nevox") return "Standard NVM Express Controller";
  if (personality == "usb_bot") return "USB Mass Storage Device";
  if (personality == "uas" || personality == "uas_sat") return "USB Attached SCSI (UAS) Mass Storage Device";
  if (personality == "storage_spaces") return "Microsoft Storage Spaces Controller";
  if (personality == "intel_rst") return "Intel(R) Chipset SATA/PCIe RST Premium Controller";
  if (personality == "intel_rste") return "Intel(R) C600+/C220+ series chipset SATA RAID Controller";
  if (personality == "maker_nvme") return "XR Brambleon SN Sim NVMe Controller";
  if (personality == "sas") return "Sim SAS HBA";
  return nullptr;
}

std::optional<DevNodeLink> linked_node(const json &j, const std::string &w, const GUID &iface,
                                       std::initializer_list<const char *> given_by_node) {
  if (!j.contains("node")) return std::nullopt;
  for (const char *k : given_by_node)
    if (j.contains(k)) bad(w + "." + k, "given by the device node (\"node\")");
  const std::string ref = text(j["node"], w + ".node");
  auto link = device_node_link(ref, iface);
  if (!link) bad(w + ".node", "no device node \"" + ref + "\"");
  return link;
}

void add_node(const DevNodeSpec &spec, const std::string &w) {
  try {
    add_device_node(spec);
  } catch (const std::runtime_error &e) {
    std::string what = e.what();  // "interfaces[0].path: ..." is this entry's "interface_path"
    if (what.rfind("interfaces[0].path", 0) == 0) what = "interface_path" + what.substr(std::strlen("interfaces[0].path"));
    throw std::runtime_error("storage." + w + "." + what);
  }
}

}  // namespace

void link_adapter_node(StorageAdapter &ad, const json &a, const std::string &w, const std::string &personality) {
  if (auto link = linked_node(a, w, GUID_DEVINTERFACE_STORAGEPORT, {"instance_id", "interface_path", "driver_desc"})) {
    ad.instance_id = link->instance_id;
    ad.interface_path = link->interface_path;
    return;
  }
  DevNodeSpec spec;
  spec.instance_id = ad.instance_id;
  spec.class_name = personality == "inbox_ahci" ? "hdc" : "SCSIAdapter";
  if (!ad.interface_path.empty()) spec.interfaces.emplace_back(GUID_DEVINTERFACE_STORAGEPORT, ad.interface_path);
  const char *made_desc = default_driver_desc(personality);
  const std::string desc = a.contains("driver_desc") ? text(a["driver_desc"], w + ".driver_desc")
                                                     : std::string(made_desc ? made_desc : "");
  if (!desc.empty()) spec.driver.push_back(reg_sz("DriverDesc", desc));
  add_node(spec, w);
}

bool link_disk_node(StorageLu &lu, const StorageAdapter &ad, const json &d, const std::string &w) {
  const bool enclosure = lu.kind == LuKind::Enclosure;
  if (auto link = linked_node(d, w, enclosure ? GUID_DEVINTERFACE_SES : GUID_DEVINTERFACE_DISK, {"instance_id", "interface_path", "interface"})) {
    lu.instance_id = link->instance_id;
    lu.interface_path = link->interface_path;
    if (!link->pdo.empty()) {
      if (d.contains("pdo") && lower(lu.pdo) != lower(link->pdo))
        bad(w + ".pdo", "\"" + lu.pdo + "\" differs from the device node's \"" + link->pdo + "\"");
      lu.pdo = link->pdo;
      return true;
    }
    try {
      set_device_node_pdo(lu.instance_id, lu.pdo);
    } catch (const std::runtime_error &e) {
      throw std::runtime_error("storage." + w + "." + e.what());
    }
    return false;
  }
  DevNodeSpec spec;
  spec.instance_id = lu.instance_id;
  spec.class_name = enclosure ? "System" : "DiskDrive";
  spec.parent = ad.instance_id;
  spec.pdo = lu.pdo;
  if (!enclosure) spec.removal_policy = 1;  // CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL
  if (!lu.interface_path.empty())
    spec.interfaces.emplace_back(enclosure ? GUID_DEVINTERFACE_SES : GUID_DEVINTERFACE_DISK, lu.interface_path);
  add_node(spec, w);
  return false;
}

namespace {

// Registers the paths of an adapter and its LUs.
void register_paths(const std::shared_ptr<StorageAdapter> &a) {
  if (a->driver->has_port()) {
    std::vector<std::string> paths;
    char buf[64];
    std::snprintf(buf, sizeof buf, "\\\\.\\Scsi%u:", a->port);
    paths.push_back(buf);
    if (!a->interface_path.empty()) paths.push_back(a->interface_path);
    register_device(std::make_shared<StorageObject>("adapter " + a->id, a, nullptr), paths);
  }
  for (const auto &lu : a->lus) {
    const std::vector<std::string> lp = lu_paths(*lu);
    if (!lp.empty()) register_device(std::make_shared<StorageObject>("disk " + lu->id, a, lu), lp);
  }
}

void storage_reset_locked(Storage &s) {
  s.adapters.clear();
  s.lus.clear();
  s.drives.clear();
}

StorageLu *find_disk(uint32_t physical_drive) {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &lu : s.lus)
    if (lu->kind == LuKind::Disk && lu->physical_drive == physical_drive) return lu.get();
  return nullptr;
}

}  // namespace

void configure_adapter(StorageAdapter &ad, const json *knobs, const json *entry, const std::string &w,
                       const StorageDriveTable *table) {
  DriverConfig cfg(knobs, entry, w, table);
  StorageAdapterKnobs k;
  k.foreign_miniport_rc = cfg.choice("foreign_miniport", {"fail", "rc"},
                                     ad.driver->foreign_miniport_rc_default() ? "rc" : "fail") == "rc";
  k.foreign_miniport_error =
      static_cast<DWORD>(cfg.number("foreign_miniport_error", 0xFFFFFFFF, ERROR_INVALID_FUNCTION));
  k.max_transfer_length = static_cast<uint32_t>(cfg.number("max_transfer_length", 0xFFFFFFFF, k.max_transfer_length));
  ad.driver->configure(cfg);
  cfg.finish();
  ad.knobs = k;
}

namespace {

const bool g_registered = [] {
  register_storage_section();
  return true;
}();

}  // namespace

// ---- StorageRequest -----------------------------------------------------------------------------------

bool StorageRequest::frontend_faults(const std::string &request, std::map<std::string, std::string> keys) {
  FaultQuery q;
  q.op = FaultOp::other;
  q.path = call.open ? call.open->path : std::string();
  q.handle = call.handle;
  if (auto dev = device_for_handle(call.handle)) q.aliases = device_paths(dev.get());
  q.control_code = call.code;
  keys["driver"] = adapter.driver->name();
  keys["request"] = request;
  q.keys = std::move(keys);
  for (FiredFault &f : check_faults(q)) {
    if (call.trace) call.trace->fired_faults.push_back(f.rule_id);
    if (f.action.kind == FaultAction::fail) {
      call.fail(f.action.error);
      return true;
    }
    actions.push_back(std::move(f.action));
  }
  return false;
}

const FaultAction *StorageRequest::action(const std::string &name) const {
  for (const FaultAction &a : actions)
    if (a.kind == FaultAction::custom && a.name == name) return &a;
  return nullptr;
}

BOOL StorageRequest::violation(const std::string &what, DWORD error) {
  count_violation(what);
  return call.fail(error);
}

void StorageRequest::count_violation(const std::string &what) {
  contract_violation(std::string(adapter.driver->name()) + ": " + what);
}

bool StorageRequest::exceeds_max_transfer(uint64_t bytes, const char *refusal) {
  if (bytes <= adapter.knobs.max_transfer_length) return false;
  note("refused", refusal);
  return true;
}

bool StorageRequest::beyond_max_transfer(uint64_t bytes) {
  if (!exceeds_max_transfer(bytes, "beyond the adapter's MaximumTransferLength")) return false;
  call.fail(ERROR_INVALID_PARAMETER);
  return true;
}

void StorageRequest::note(const std::string &key, const std::string &value) {
  if (call.trace) call.trace->notes[key] = value;
}

void StorageRequest::note_cdb(const uint8_t *cdb, size_t len) {
  if (!call.trace) return;
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < len; ++i) {
    if (i) text += ' ';
    text += digits[cdb[i] >> 4];
    text += digits[cdb[i] & 15];
  }
  note("cdb", text);
}

void StorageRequest::note_ata(const AtaTaskfile &tf) {
  note("ata_command", fault_key(tf.command));
  note("ata_feature", fault_key(tf.feature));
  note("ata_count", fault_key(tf.count));
  note("ata_lba", fault_key(tf.lba));
}

void StorageRequest::note_nvme(const NvmeCommand &cmd) {
  note("nvme_opcode", fault_key(cmd.opcode()));
  note("nvme_nsid", fault_key(cmd.nsid));
  const uint32_t cdw[6] = {cmd.cdw10, cmd.cdw11, cmd.cdw12, cmd.cdw13, cmd.cdw14, cmd.cdw15};
  for (int i = 0; i < 6; ++i) note("nvme_cdw" + std::to_string(10 + i), fault_key(cdw[i]));
}

void StorageRequest::note_data(uint32_t length, int ddir) {
  note("data_length", std::to_string(length));
  note("data_direction", ddir == kDirIn ? "in" : ddir == kDirOut ? "out" : "none");
}

void StorageRequest::trace_timeout(uint32_t seconds) {
  if (call.trace) call.trace->timeout = seconds;
}

// ---- StorageDriver defaults -------------------------------------------------------------------------

BOOL StorageDriver::query_property(StorageRequest &r, uint32_t) { return r.fail(ERROR_NOT_SUPPORTED); }
BOOL StorageDriver::protocol_command(StorageRequest &r) { return r.fail(ERROR_INVALID_FUNCTION); }
BOOL StorageDriver::temperature_threshold(StorageRequest &r) { return r.fail(ERROR_INVALID_FUNCTION); }
BOOL StorageDriver::miniport(StorageRequest &r, const MiniportHeader &) { return reject_miniport(r); }
BOOL StorageDriver::storage_firmware(StorageRequest &r) { return r.fail(ERROR_INVALID_FUNCTION); }
bool StorageDriver::ata_pass_through(const StorageLu &) const { return false; }

BOOL StorageDriver::reset_bus(StorageRequest &r, uint8_t path_id) {
  if (!r.on_adapter) return r.fail(ERROR_INVALID_FUNCTION);
  for (const auto &lu : r.adapter.lus)
    if (lu->path_id == path_id) reset_lu(*lu);
  // A controller without units (an NVMe controller without a namespace) sits on bus 0.
  if (r.adapter.lus.empty() && r.adapter.nvme && path_id == 0) r.adapter.nvme->controller_reset();
  r.note("reset_path_id", std::to_string(path_id));
  return TRUE;
}

ScsiResult StorageDriver::execute_scsi(StorageRequest &, StorageLu &, const uint8_t *, size_t, uint8_t *, uint32_t,
                                       int) {
  return scsi_invalid_opcode();
}

void StorageDriver::reset_lu(StorageLu &lu) {
  if (lu.drive) lu.drive->bus_reset();
}

void StorageDriver::configure(DriverConfig &) {}

BOOL reject_miniport(StorageRequest &r) {
  if (!r.on_adapter || !r.adapter.knobs.foreign_miniport_rc) {
    return r.fail(r.on_adapter ? r.adapter.knobs.foreign_miniport_error : ERROR_INVALID_FUNCTION);
  }
  // ReturnCode 1, every other byte untouched, the whole buffer returned.
  IoctlCall &c = r.call;
  if (c.out_size < 28) return r.fail(ERROR_INVALID_PARAMETER);
  if (c.out != c.in) std::memcpy(c.out, r.in.data(), std::min<size_t>(r.in.size(), c.out_size));
  wire::put32(c.out, 20, 1);
  c.bytes_returned = c.out_size;
  return TRUE;
}

ScsiResult scsi_invalid_opcode() { return check_condition_fixed(0x05, 0x20, 0x00); }

bool os_is_windows10_or_later() { return machine_os().major >= 10; }

StorageLu *StorageAdapter::find_lu(uint8_t path_id, uint8_t target_id, uint8_t lun) const {
  for (const auto &lu : lus)
    if (lu->has_address && lu->path_id == path_id && lu->target_id == target_id && lu->lun == lun) return lu.get();
  return nullptr;
}

void register_storage_driver(const std::string &personality, StorageDriverFactory factory) {
  DriverRegistry &r = drivers();
  std::lock_guard<std::mutex> g(r.lock);
  r.factories[personality] = std::move(factory);
}

std::shared_ptr<StorageDriver> make_storage_driver(const std::string &personality) {
  DriverRegistry &r = drivers();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.factories.find(personality);
  return it == r.factories.end() ? nullptr : it->second();
}

std::vector<std::string> storage_personalities() {
  DriverRegistry &r = drivers();
  std::lock_guard<std::mutex> g(r.lock);
  std::vector<std::string> names;
  for (const auto &[name, factory] : r.factories) names.push_back(name);
  return names;
}

// ---- Loading ----------------------------------------------------------------------------------------

void install_storage(std::vector<std::shared_ptr<StorageAdapter>> adapters, std::vector<std::shared_ptr<StorageLu>> lus,
                     std::vector<std::shared_ptr<StorageDrive>> drives) {
  for (const auto &a : adapters) register_paths(a);
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  s.adapters = std::move(adapters);
  s.lus = std::move(lus);
  s.drives = std::move(drives);
}

void reset_storage() {
  {
    Storage &s = storage();
    std::lock_guard<std::mutex> g(s.lock);
    storage_reset_locked(s);
  }
  clear_zero_timeouts();
}

std::map<std::string, uint64_t> storage_zero_timeouts(bool miniport) {
  ZeroTimeouts &z = zero_timeouts();
  std::lock_guard<std::mutex> g(z.lock);
  return miniport ? z.miniport : z.plain;
}

void register_storage_section() {
  static std::once_flag once;
  std::call_once(once, [] {
    register_machine_section("storage", load_storage, reset_storage);
    std::atexit(write_storage_state_at_exit);
  });
}

// ---- Test access -------------------------------------------------------------------------------------

std::vector<StorageDiskInfo> storage_disks() {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  std::vector<StorageDiskInfo> out;
  static const char *const kinds[] = {"disk", "enclosure", "raid_member", "physical_disk"};
  for (const auto &lu : s.lus)
    out.push_back({lu->id, kinds[static_cast<int>(lu->kind)], lu->physical_drive, lu->pdo, lu->interface_path,
                   lu->adapter->id, lu->adapter->port, lu->adapter->driver->name(), lu->drive->id});
  return out;
}

StorageDriveModels storage_drive(const std::string &id) {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &d : s.drives)
    if (d->id == id) return {d->id, d->kind, d->nvme, d->ata, d->sat, d->scsi};
  return {id, "", nullptr, nullptr, nullptr, nullptr};
}

std::vector<std::shared_ptr<StorageDrive>> storage_drive_list() {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  return s.drives;
}

std::vector<std::shared_ptr<StorageLu>> storage_lu_list() {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  return s.lus;
}

std::shared_ptr<StorageAdapter> storage_adapter_at(uint32_t port) {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &a : s.adapters)
    if (a->port == port) return a;
  return nullptr;
}

void storage_adapter_configure(const std::string &adapter_id, const std::string &knobs_json) {
  std::shared_ptr<StorageAdapter> ad;
  {
    Storage &s = storage();
    std::lock_guard<std::mutex> g(s.lock);
    for (const auto &a : s.adapters)
      if (a->id == adapter_id) ad = a;
  }
  if (!ad) throw std::runtime_error("storage: no adapter \"" + adapter_id + "\"");
  const json knobs = json::parse(knobs_json);
  configure_adapter(*ad, &knobs, nullptr, "adapter \"" + adapter_id + "\"");
}

std::shared_ptr<NvmeController> storage_nvme(uint32_t physical_drive) {
  StorageLu *lu = find_disk(physical_drive);
  return lu ? lu->nvme : nullptr;
}
std::shared_ptr<AtaDrive> storage_ata(uint32_t physical_drive) {
  StorageLu *lu = find_disk(physical_drive);
  return lu ? lu->ata : nullptr;
}
std::shared_ptr<SatDevice> storage_sat(uint32_t physical_drive) {
  StorageLu *lu = find_disk(physical_drive);
  return lu ? lu->sat : nullptr;
}
std::shared_ptr<ScsiTarget> storage_scsi(uint32_t physical_drive) {
  StorageLu *lu = find_disk(physical_drive);
  return lu ? lu->scsi : nullptr;
}

std::shared_ptr<NvmeController> storage_adapter_nvme(uint32_t port) {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &a : s.adapters)
    if (a->port == port) return a->nvme;
  return nullptr;
}

StorageAdapterKnobs *storage_adapter_knobs(uint32_t port) {
  Storage &s = storage();
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &a : s.adapters)
    if (a->port == port) return &a->knobs;
  return nullptr;
}

std::optional<int16_t> storage_temperature_threshold(uint32_t physical_drive, uint16_t index, bool over) {
  StorageLu *lu = find_disk(physical_drive);
  if (!lu) return std::nullopt;
  std::lock_guard<std::mutex> g(lu->lock);
  auto it = lu->thresholds.find(static_cast<uint32_t>(index) << 1 | (over ? 0 : 1));
  if (it == lu->thresholds.end()) return std::nullopt;
  return it->second;
}

}  // namespace sim

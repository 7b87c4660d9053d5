// Intel RSTe: the "NvmeRAID" requests on the controller's port (\\.\ScsiN:) - the listing of its
// volumes, pass-through and spare disks and the NVMe pass-through to a disk chosen by its id -
// and INQUIRY with the serial page on its units (volumes and the SCSI twins of pass-through
// disks). Everything else is refused as the driver does; foreign signatures on the port answer
// ReturnCode 1.
//
// Enumeration (Timeout 40, ReturnCode 0 on input, Length = size - 28), by ControlCode:
//   E0002014h volumes          32 bytes: count @28
//   E0002018h volume info      132: index @28 (from 1); RAID type[8] @32, model[40] @40,
//                              firmware[8] @80, serial[40] @88, member count @128
//   E000201Ch volume config    36 + 108 (members + 1): index @28, return length @32; entries @36
//   E0002024h spare disks      32 + n: return length @28; entries @32
//   E0002028h pass-through count  32: count @28
//   E000202Ch pass-through disks  32 + n: return length @28; entries @32
// A disk entry is 108 bytes: id @0 (0 = none), model[40] @4, firmware[8] @44, serial[40] @52.
// The bytes after a listing's input fields come zero from the host (a contract check only).
// Pass-through (E0002000h): the disk id in ReturnCode on input, the submission entry @52,
// CplEntry @116, Direction @132, QueueId @136, DataBufferLen @140, data @152; the answer sets the
// completion, the read data, DataBufferLen to the bytes returned and ReturnCode 0. An unknown disk
// id fails the call (ERROR_INVALID_PARAMETER).
// Fault rules see the pass-through as request "pass_through" (with "nvme_opcode") and the
// listings as "rste_enumeration" (with "miniport_code"); "corrupt_offsets" with value2 makes the
// pass-through's returned DataBufferLen say value2.
#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/storage/contents.h"
#include "sim/storage/helpers.h"
#include "storage_nvme_run.h"

namespace sim {
namespace {

constexpr uint32_t kPassThrough = 0xE0002000;
constexpr uint32_t kVolumeCount = 0xE0002014;
constexpr uint32_t kVolumeInfo = 0xE0002018;
constexpr uint32_t kVolumeConfig = 0xE000201C;
constexpr uint32_t kSpareInfo = 0xE0002024;
constexpr uint32_t kPassThroughCount = 0xE0002028;
constexpr uint32_t kPassThroughInfo = 0xE000202C;
constexpr uint32_t kEntry = 108;
constexpr uint32_t kHead = 152;

void put_text(uint8_t *p, size_t off, const std::string &s, size_t width) {
  std::memcpy(p + off, s.data(), std::min(s.size(), width));
}

// Where a listing request's input fields end (the header, the volume index, the return length);
// 0 for a code that is no listing.
size_t input_fields_end(uint32_t code) {
  switch (code) {
    case kVolumeCount:
    case kPassThroughCount:
      return 28;
    case kVolumeInfo:
    case kSpareInfo:
    case kPassThroughInfo:
      return 32;
    case kVolumeConfig:
      return 36;
    default:
      return 0;
  }
}

class RsteDriver : public StorageDriver {
 public:
  const char *name() const override { return "intel_rste"; }
  uint32_t bus_type() const override { return kBusRaid; }
  bool foreign_miniport_rc_default() const override { return true; }
  std::vector<std::string> own_keys() const override { return {"rste"}; }

  void configure(DriverConfig &config) override {
    if (!config.drives()) return;  // a knobs-only reconfiguration keeps the contents
    contents = nullptr;
    if (const nlohmann::json *j = config.section("rste"))
      contents = std::make_shared<const RsteContents>(load_rste(*j, config.where() + ".rste", *config.drives()));
  }
  // Without an "rste" listing the driver lists what it finds behind it: each NVMe drive of its units
  // as a pass-through disk, with ids from 1 in the order of the units.
  void units_loaded(const StorageAdapter &adapter) override {
    if (contents) return;
    auto found = std::make_shared<RsteContents>();
    for (const auto &lu : adapter.lus) {
      if (!lu->drive || !lu->drive->nvme) continue;
      if (std::any_of(found->disks.begin(), found->disks.end(), [&](const RsteDisk &d) { return d.drive == lu->drive; }))
        continue;
      RsteDisk disk;
      disk.id = static_cast<uint32_t>(found->disks.size() + 1);
      disk.drive = lu->drive;
      found->disks.push_back(disk);
      found->pass_through.push_back(disk.id);
    }
    contents = std::move(found);
  }
  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override {
    if (h.signature != "NvmeRAID" || !r.on_adapter) return reject_miniport(r);
    if (h.control_code == kPassThrough) return pass_through(r, h);
    return enumeration(r, h);
  }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    return inquiry_only(r, lu, cdb, cdb_len, data, data_len, ddir);
  }

  std::shared_ptr<const RsteContents> contents;

 private:
  BOOL enumeration(StorageRequest &r, const MiniportHeader &h);
  BOOL pass_through(StorageRequest &r, const MiniportHeader &h);
};

void put_entry(uint8_t *p, const RsteDisk *disk) {
  if (!disk) return;
  const DriveIdentity id = disk->listed();
  wire::put32(p, 0, disk->id);
  put_text(p, 4, id.model, 40);
  put_text(p, 44, id.firmware, 8);
  put_text(p, 52, id.serial, 40);
}

BOOL RsteDriver::enumeration(StorageRequest &r, const MiniportHeader &h) {
  IoctlCall &call = r.call;
  const size_t size = r.in.size();
  const uint8_t *in = r.in.data();
  const std::string what = "\"NvmeRAID\" " + fault_key(h.control_code);
  if (size < 32) return r.violation(what + " request of " + std::to_string(size) + " bytes");
  if (h.length != size - 28) return r.violation(what + " Length " + std::to_string(h.length));
  if (call.out_size < size) return r.violation(what + " output smaller than its input");
  if (h.timeout != 40) r.count_violation(what + " Timeout " + std::to_string(h.timeout));
  if (h.return_code != 0) r.count_violation(what + " ReturnCode " + std::to_string(h.return_code) + " on input");
  // Everything after a listing's input fields is answer space and comes zeroed. Whether the
  // driver reads those bytes is not documented, so a stray byte is counted and the request is
  // answered all the same.
  if (const size_t inputs = input_fields_end(h.control_code); inputs && size > inputs &&
      std::any_of(in + inputs, in + size, [](uint8_t b) { return b != 0; }))
    r.count_violation(what + " answer space not zeroed on input");
  if (r.frontend_faults("rste_enumeration", {{"miniport_code", fault_key(h.control_code)}})) return FALSE;
  const RsteContents empty;
  const RsteContents &c = contents ? *contents : empty;

  std::vector<uint8_t> out(r.in);
  std::memset(out.data() + 28, 0, size - 28);
  // Entries from `at` within the return length the host gave at `length_at`.
  auto list = [&](size_t length_at, size_t at, const std::vector<const RsteDisk *> &disks) -> bool {
    const uint32_t length = wire::u32(in, length_at);
    if (at + static_cast<uint64_t>(length) > size) {
      r.violation(what + " return length " + std::to_string(length) + " beyond the request");
      return false;
    }
    wire::put32(out.data(), length_at, length);
    for (size_t i = 0; i < disks.size() && (i + 1) * kEntry <= length; ++i) put_entry(out.data() + at + i * kEntry, disks[i]);
    return true;
  };
  auto by_ids = [&](const std::vector<uint32_t> &ids) {
    std::vector<const RsteDisk *> v;
    for (uint32_t id : ids) v.push_back(c.disk(id));
    return v;
  };
  switch (h.control_code) {
    case kVolumeCount:
      wire::put32(out.data(), 28, static_cast<uint32_t>(c.volumes.size()));
      break;
    case kPassThroughCount:
      wire::put32(out.data(), 28, static_cast<uint32_t>(c.pass_through.size()));
      break;
    case kVolumeInfo: {
      if (size < 132) return r.violation(what + " request of " + std::to_string(size) + " bytes");
      const uint32_t index = wire::u32(in, 28);
      const RsteVolume *v = c.volume(index);
      if (!v) return r.fail(ERROR_INVALID_PARAMETER);
      wire::put32(out.data(), 28, index);
      put_text(out.data(), 32, v->raid_type, 8);
      put_text(out.data(), 40, v->model, 40);
      put_text(out.data(), 80, v->firmware, 8);
      put_text(out.data(), 88, v->serial, 40);
      wire::put32(out.data(), 128, static_cast<uint32_t>(v->members.size()));
      break;
    }
    case kVolumeConfig: {
      if (size < 36) return r.violation(what + " request of " + std::to_string(size) + " bytes");
      const uint32_t index = wire::u32(in, 28);
      const RsteVolume *v = c.volume(index);
      if (!v) return r.fail(ERROR_INVALID_PARAMETER);
      wire::put32(out.data(), 28, index);
      if (!list(32, 36, by_ids(v->members))) return FALSE;
      break;
    }
    case kSpareInfo:
      if (!list(28, 32, by_ids(c.spares))) return FALSE;
      break;
    case kPassThroughInfo:
      if (!list(28, 32, by_ids(c.pass_through))) return FALSE;
      break;
    default:
      return r.violation(what + ": unknown ControlCode", ERROR_INVALID_FUNCTION);
  }
  std::memcpy(call.out, out.data(), size);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

BOOL RsteDriver::pass_through(StorageRequest &r, const MiniportHeader &h) {
  IoctlCall &call = r.call;
  const uint8_t *in = r.in.data();
  const size_t size = r.in.size();
  if (size < kHead) return r.violation("\"NvmeRAID\" pass-through of " + std::to_string(size) + " bytes");
  if (h.length != size - 28) return r.violation("\"NvmeRAID\" Length " + std::to_string(h.length));
  if (call.out_size < size) return r.violation("\"NvmeRAID\" output smaller than its input");
  const uint32_t direction = wire::u32(in, 132), queue = wire::u32(in, 136), len = wire::u32(in, 140);
  r.trace_timeout(h.timeout);
  if (direction > 2) return r.violation("\"NvmeRAID\" Direction " + std::to_string(direction));
  if (queue != 0 && queue != 0xFFFFFFFFu) return r.violation("\"NvmeRAID\" QueueId " + fault_key(queue));
  if (len > size - kHead) return r.violation("\"NvmeRAID\" DataBufferLen " + std::to_string(len) + " beyond the request");
  if (direction != 0 && len == 0) return r.violation("\"NvmeRAID\" Direction " + std::to_string(direction) + " without data");
  const RsteDisk *disk = contents ? contents->disk(h.return_code) : nullptr;
  if (!disk || !disk->drive || !disk->drive->nvme) return r.fail(ERROR_INVALID_PARAMETER);

  const NvmeCommand cmd = read_submission_entry(in + 52);
  const uint32_t moving = direction ? len : 0;
  r.note_data(moving, direction == 1 ? kDirOut : direction == 2 ? kDirIn : kDirNone);
  r.note("rste_disk_id", std::to_string(h.return_code));
  if (r.frontend_faults("pass_through", {{"nvme_opcode", fault_key(cmd.opcode())}})) return FALSE;
  std::vector<uint8_t> data(moving, 0);
  if (direction == 1) std::memcpy(data.data(), in + kHead, moving);
  const NvmeCompletion c = run_nvme_for(r, *disk->drive->nvme, cmd, queue == 0, moving ? data.data() : nullptr, moving);

  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
  wire::put32(out, 116, c.dw0);
  wire::put32(out, 120, c.dw1);
  wire::put32(out, 124, c.dw2);
  wire::put32(out, 128, c.dw3);
  uint32_t returned = 0;
  if (direction == 2) {
    returned = std::min(c.data_transferred, moving);
    std::memcpy(out + kHead, data.data(), returned);
    std::memset(out + kHead + returned, 0, moving - returned);
  }
  wire::put32(out, 140, returned);
  if (const FaultAction *a = r.action("corrupt_offsets"); a && a->value2) wire::put32(out, 140, static_cast<uint32_t>(a->value2));
  uint32_t rc = 0;
  if (const FaultAction *a = r.action("return_code")) rc = static_cast<uint32_t>(a->value);
  wire::put32(out, 20, rc);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

}  // namespace

std::shared_ptr<StorageDriver> make_rste_driver() { return std::make_shared<RsteDriver>(); }

std::shared_ptr<const RsteContents> storage_rste(uint32_t port) {
  const auto adapter = storage_adapter_at(port);
  const auto *d = adapter ? dynamic_cast<const RsteDriver *>(adapter->driver.get()) : nullptr;
  return d ? d->contents : nullptr;
}

}  // namespace sim

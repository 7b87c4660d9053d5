// CSMI on a RAID or HBA port: the driver-information, phy-information, RAID-information and
// RAID-configuration requests, and STP pass-through to the SATA drives behind the port, answered
// from the port's CSMI contents (sim/storage/contents.h). Personalities with a CSMI port call
// rst_csmi_miniport for their miniport requests.
//
// Requests (IOCTL_SCSI_MINIPORT, SRB_IO_CONTROL header of 28 bytes, payload after it):
//   "CSMIALL" 1  driver info   204 bytes: szName[81] @28, szDescription[81] @109, revisions @190
//   "CSMISAS" 20 phy info      2080 bytes: bNumberOfPhys @28, 64-byte phy entries from 32
//   "CSMIARY" 10 RAID info     128 bytes: uNumRaidSets u32 @28, uMaxDrivesPerSet u32 @32
//   "CSMIARY" 11 RAID config   64 + 136 per drive: uRaidSetIndex u32 @28 (in and out), ...,
//                              bDriveCount @43, uFailureCode u32 @56, uChangeCount u32 @60,
//                              136-byte drive entries from 64
//   "CSMISAS" 25 STP           164 + data: phy @28, port @29, rate @30, SAS address @32, command
//                              FIS @44, Flags u32 @64, DataLength u32 @68, ConnectionStatus @72,
//                              status FIS @76, SCR @96, DataBytes u32 @160, data @164
//
// Fault actions besides the common ones ("return_code", "ata_status", "short_transfer",
// "zero_data"): "phy_count" value (bNumberOfPhys), "set_count" / "max_drives" value (RAID info
// counts), "drive_count" value (bDriveCount of a RAID configuration), "fill_text" (driver names
// and RAID drive texts fill their whole width, no blank and no NUL).
#include "storage_csmi.h"

#include <algorithm>
#include <cstring>

#include "sim/storage/contents.h"
#include "sim/storage/helpers.h"
#include "sim/storage/intel_rst.h"

namespace sim {
namespace {

// CSMI ReturnCode values.
enum : uint32_t {
  kCsmiSuccess = 0,
  kCsmiFailed = 1,
  kCsmiBadControlCode = 2,
  kCsmiInvalidParameter = 3,
  kCsmiRaidSetOutOfRange = 1000,
};

constexpr uint32_t kDriverInfoSize = 204;
constexpr uint32_t kPhyInfoSize = 2080;
constexpr uint32_t kRaidInfoSize = 128;
constexpr uint32_t kRaidConfigHead = 64;
constexpr uint32_t kRaidDriveSize = 136;
constexpr uint32_t kStpHead = 164;

bool is_csmi_signature(const std::string &s) {
  return s == std::string("CSMIALL\0", 8) || s == std::string("CSMISAS\0", 8) || s == std::string("CSMIARY\0", 8);
}

// Starts an answer: the request echoed into the output buffer.
uint8_t *echo(StorageRequest &r) {
  IoctlCall &c = r.call;
  if (c.out != c.in) std::memcpy(c.out, r.in.data(), std::min<size_t>(r.in.size(), c.out_size));
  return c.out;
}

BOOL finish(StorageRequest &r, uint32_t rc) {
  IoctlCall &c = r.call;
  if (const FaultAction *a = r.action("return_code")) rc = static_cast<uint32_t>(a->value);
  wire::put32(c.out, 20, rc);
  c.bytes_returned = c.out_size;
  r.note("return_code", std::to_string(rc));
  return TRUE;
}

void put_text(uint8_t *p, const std::string &s, size_t room) { std::memcpy(p, s.data(), std::min(s.size(), room)); }

// The request must fill the buffer it announces and be at least `need` bytes both ways.
bool sized(StorageRequest &r, const MiniportHeader &h, uint64_t need, const char *what) {
  if (r.in.size() < need || r.call.out_size < need) {
    r.violation(std::string(what) + " request of " + std::to_string(r.in.size()) + " bytes");
    return false;
  }
  if (static_cast<uint64_t>(h.length) + 28 != r.in.size())
    r.count_violation(std::string(what) + " Length " + std::to_string(h.length) + " in a " +
                      std::to_string(r.in.size()) + "-byte request");
  return true;
}

BOOL driver_info(StorageRequest &r, const MiniportHeader &h, const CsmiContents &csmi) {
  if (!sized(r, h, kDriverInfoSize, "CSMI driver info")) return FALSE;
  uint8_t *out = echo(r);
  std::memset(out + 28, 0, kDriverInfoSize - 28);
  put_text(out + 28, csmi.driver_name, 80);
  put_text(out + 109, csmi.driver_description, 80);
  if (r.action("fill_text")) std::memset(out + 28, 'N', 162);
  const uint16_t revisions[6] = {1, 0, 0, 0, 0, 82};  // driver 1.0.0.0, CSMI 0.82
  for (int i = 0; i < 6; ++i) wire::put16(out, 190 + 2 * i, revisions[i]);
  return finish(r, kCsmiSuccess);
}

BOOL phy_info(StorageRequest &r, const MiniportHeader &h, const CsmiContents &csmi) {
  if (!sized(r, h, kPhyInfoSize, "CSMI phy info")) return FALSE;
  uint8_t *out = echo(r);
  std::memset(out + 28, 0, kPhyInfoSize - 28);
  const size_t n = std::min<size_t>(csmi.phys.size(), 32);
  out[28] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) {
    const CsmiPhy &p = csmi.phys[i];
    uint8_t *e = out + 32 + 64 * i;
    e[0] = kCsmiEndDevice;                              // the controller's own phy
    e[2] = kCsmiSata | kCsmiSmp | kCsmiStp | kCsmiSsp;  // initiator protocols
    const uint8_t own[8] = {0x50, 0x0C, 0x5A, 0x11, 0x00, 0x00, 0x00, static_cast<uint8_t>(i)};
    std::memcpy(e + 12, own, 8);
    e[20] = p.identifier;
    e[28] = p.port_identifier;
    e[29] = p.link_rate;
    e[36] = p.attached_type;
    if (p.attached_type == kCsmiNoDevice) continue;
    e[39] = p.target_protocol;
    std::memcpy(e + 48, p.attached_address.data(), 8);
    e[56] = p.attached_identifier;
  }
  if (const FaultAction *a = r.action("phy_count")) out[28] = static_cast<uint8_t>(a->value);
  return finish(r, kCsmiSuccess);
}

BOOL raid_info(StorageRequest &r, const MiniportHeader &h, const CsmiContents &csmi) {
  if (!sized(r, h, kRaidInfoSize, "CSMI RAID info")) return FALSE;
  uint8_t *out = echo(r);
  std::memset(out + 28, 0, kRaidInfoSize - 28);
  wire::put32(out, 28, static_cast<uint32_t>(csmi.raid_sets.size()));
  wire::put32(out, 32, csmi.max_drives_per_set);
  if (const FaultAction *a = r.action("set_count")) wire::put32(out, 28, static_cast<uint32_t>(a->value));
  if (const FaultAction *a = r.action("max_drives")) wire::put32(out, 32, static_cast<uint32_t>(a->value));
  return finish(r, kCsmiSuccess);
}

BOOL raid_config(StorageRequest &r, const MiniportHeader &h, const CsmiContents &csmi) {
  const uint64_t need = kRaidConfigHead + static_cast<uint64_t>(kRaidDriveSize) * csmi.max_drives_per_set;
  if (!sized(r, h, need, "CSMI RAID config")) return FALSE;
  const uint32_t index = wire::u32(r.in.data(), 28);
  uint8_t *out = echo(r);
  if (index >= csmi.raid_sets.size()) return finish(r, kCsmiRaidSetOutOfRange);
  const CsmiRaidSet &set = csmi.raid_sets[index];
  std::memset(out + 32, 0, need - 32);
  const uint64_t blocks = 0x1000000;
  wire::put32(out, 32, static_cast<uint32_t>(blocks));  // uCapacity
  wire::put32(out, 36, 128);                            // uStripeSize
  out[40] = set.raid_type;
  out[41] = set.status;
  const size_t drives = std::min<size_t>(set.drives.size(), csmi.max_drives_per_set);
  out[43] = static_cast<uint8_t>(drives);
  wire::put32(out, 56, set.failure_code);  // uFailureCode
  wire::put32(out, 60, set.change_count);  // uChangeCount
  for (size_t k = 0; k < drives; ++k) {
    const CsmiRaidDrive &d = set.drives[k];
    const DriveIdentity id = d.listed();
    uint8_t *e = out + kRaidConfigHead + kRaidDriveSize * k;
    std::memset(e, ' ', 40);
    put_text(e, id.model, 40);
    std::memset(e + 40, ' ', 8);
    put_text(e + 40, id.firmware, 8);
    std::memset(e + 48, ' ', 40);
    put_text(e + 48, id.serial, 40);
    std::memcpy(e + 88, d.sas_address.data(), 8);
    if (r.action("fill_text")) std::memset(e, 'T', 88);
  }
  if (const FaultAction *a = r.action("drive_count")) out[43] = static_cast<uint8_t>(a->value);
  return finish(r, kCsmiSuccess);
}

// 48-bit commands; a FIS carries no EXT bit of its own.
bool is_ext_command(uint8_t c) {
  switch (c) {
    case 0x24: case 0x25: case 0x27: case 0x29: case 0x2F: case 0x34: case 0x35: case 0x39: case 0x3D:
    case 0x3F: case 0x42: case 0x47: case 0x57: case 0x5E: case 0x60: case 0x61: case 0x64: case 0x65:
      return true;
    default:
      return false;
  }
}

BOOL stp_pass_through(StorageRequest &r, const MiniportHeader &h, const CsmiContents &csmi) {
  if (!sized(r, h, kStpHead, "CSMI STP")) return FALSE;
  const uint8_t *in = r.in.data();
  const uint32_t flags = wire::u32(in, 64);
  const uint32_t length = wire::u32(in, 68);
  r.trace_timeout(h.timeout);
  if (kStpHead + static_cast<uint64_t>(length) > r.in.size() ||
      kStpHead + static_cast<uint64_t>(length) > r.call.out_size)
    return r.violation("CSMI STP DataLength " + std::to_string(length) + " in a " + std::to_string(r.in.size()) +
                       "-byte request");
  const uint8_t *fis = in + 44;
  if (fis[0] != 0x27 || !(fis[1] & 0x80)) {
    r.count_violation("CSMI STP command FIS type " + std::to_string(fis[0]));
    echo(r);
    return finish(r, kCsmiInvalidParameter);
  }
  int ddir = kDirNone;
  const bool read = flags & 0x01, write = flags & 0x02;
  if (read && write) return r.violation("CSMI STP with both data directions");
  if (read) ddir = kDirIn;
  if (write) ddir = kDirOut;
  const bool dma = flags & (0x20 | 0x80);
  AtaTaskfile tf;
  tf.command = fis[2];
  tf.feature = static_cast<uint16_t>(fis[3] | fis[11] << 8);
  tf.lba = static_cast<uint64_t>(fis[4]) | static_cast<uint64_t>(fis[5]) << 8 | static_cast<uint64_t>(fis[6]) << 16 |
           static_cast<uint64_t>(fis[8]) << 24 | static_cast<uint64_t>(fis[9]) << 32 |
           static_cast<uint64_t>(fis[10]) << 40;
  tf.device = fis[7];
  tf.count = static_cast<uint16_t>(fis[12] | fis[13] << 8);
  tf.is_ext = is_ext_command(tf.command);
  tf.ddir = ddir;
  tf.protocol = dma ? AtaProtocol::dma : flags & 0x10 ? AtaProtocol::pio : AtaProtocol::unstated;
  r.note_ata(tf);
  r.note_data(length, ddir);
  if (r.frontend_faults("stp_pass_through", {{"ata_command", fault_key(tf.command)}})) return FALSE;

  SasAddress address;
  std::memcpy(address.data(), in + 32, 8);
  const std::shared_ptr<StorageDrive> drive = csmi.stp_target(address);
  uint8_t *out = echo(r);
  // Nothing SATA at that address, or a DMA transfer without its direction: the driver moves nothing.
  if (!drive || !drive->ata || (dma && length > 0 && ddir == kDirNone)) return finish(r, kCsmiFailed);
  if (length > 0 && ddir == kDirNone) return finish(r, kCsmiInvalidParameter);

  std::vector<uint8_t> data(length, 0);
  if (ddir == kDirOut) std::memcpy(data.data(), in + kStpHead, length);
  uint32_t moved = 0;
  const AtaResult res = run_ata_for(r, *drive->ata, tf, data.data(), length, ddir, &moved);

  out[72] = 0;  // connection accepted
  uint8_t *s = out + 76;
  std::memset(s, 0, 20);
  s[0] = 0x34;  // register, device to host
  s[2] = res.status;
  s[3] = res.error;
  s[4] = static_cast<uint8_t>(res.lba);
  s[5] = static_cast<uint8_t>(res.lba >> 8);
  s[6] = static_cast<uint8_t>(res.lba >> 16);
  s[7] = res.device;
  s[8] = static_cast<uint8_t>(res.lba >> 24);
  s[9] = static_cast<uint8_t>(res.lba >> 32);
  s[10] = static_cast<uint8_t>(res.lba >> 40);
  s[12] = static_cast<uint8_t>(res.count);
  s[13] = static_cast<uint8_t>(res.count >> 8);
  wire::put32(out, 160, moved);
  if (ddir == kDirIn && moved) std::memcpy(out + kStpHead, data.data(), moved);
  r.note("ata_status", std::to_string(res.status));
  return finish(r, kCsmiSuccess);
}

}  // namespace

std::shared_ptr<const CsmiContents> storage_csmi(uint32_t port) {
  if (auto rst = intel_rst_csmi(port)) return rst;
  const auto adapter = storage_adapter_at(port);
  return adapter ? sas_csmi_contents(adapter->driver.get()) : nullptr;
}

BOOL rst_csmi_miniport(StorageRequest &r, const MiniportHeader &h) {
  if (!is_csmi_signature(h.signature)) return reject_miniport(r);
  if (!r.on_adapter) return r.fail(ERROR_INVALID_FUNCTION);
  if (r.call.out_size < 28) return r.violation("CSMI output of " + std::to_string(r.call.out_size) + " bytes");
  const std::shared_ptr<const CsmiContents> csmi = storage_csmi(r.adapter.port);
  if (!csmi) return reject_miniport(r);
  const char kind = h.signature[4];  // 'A'LL, 'S'AS, 'A'RY
  const bool all = h.signature[5] == 'L';
  if (all && h.control_code == 1) return driver_info(r, h, *csmi);
  if (kind == 'S' && h.control_code == 20) return phy_info(r, h, *csmi);
  if (kind == 'S' && h.control_code == 25) return stp_pass_through(r, h, *csmi);
  if (kind == 'A' && !all && h.control_code == 10) return raid_info(r, h, *csmi);
  if (kind == 'A' && !all && h.control_code == 11) return raid_config(r, h, *csmi);
  echo(r);
  return finish(r, kCsmiBadControlCode);
}

}  // namespace sim

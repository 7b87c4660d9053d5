// Enumeration of the devices behind the SCSI ports 0 to 15: end devices and RAID members that a
// CSMI driver reports, and the RAID members, pass-through and spare disks of Intel RSTe ports.
#define HULD_MODULE "huld\\windows\\huld_windows_enumerate"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "huld/huld_log.h"
#include "huld/huld_util.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "huld/windows/huld_windows_enumerate_raid.h"

namespace {

constexpr uint32_t kSrbHeader = 28;
constexpr uint32_t kPorts = 16;

// CSMI
constexpr uint32_t kCsmiDriverInfoSize = 204;
constexpr uint32_t kCsmiPhyInfoSize = 2080;
constexpr uint32_t kCsmiRaidInfoSize = 128;
constexpr uint32_t kCsmiRaidConfigHead = 172;
constexpr uint32_t kCsmiRaidDriveSize = 136;
constexpr uint32_t kCsmiRaidDrivesFrom = 64;  // first drive entry in the configuration answer
constexpr uint32_t kCsmiMaxPhys = 32;
constexpr uint32_t kCsmiMaxDrivesPerSet = 128;
constexpr uint32_t kCsmiMaxRaidSets = 256;
constexpr uint8_t kCsmiEndDevice = 0x10;

// Intel RSTe
constexpr uint32_t kRsteVolumeCount = 0xE0002014;
constexpr uint32_t kRsteVolumeInfo = 0xE0002018;
constexpr uint32_t kRsteVolumeConfig = 0xE000201C;
constexpr uint32_t kRsteSpareInfo = 0xE0002024;
constexpr uint32_t kRstePassThroughCount = 0xE0002028;
constexpr uint32_t kRstePassThroughInfo = 0xE000202C;
constexpr uint32_t kRsteDiskSize = 108;
constexpr uint32_t kRsteVolumeInfoSize = 132;
constexpr uint32_t kRsteMaxCount = 256;

// Closes what the last record holds and removes it.
void drop_last(huld_dev_enumeration *e) {
  huld_dev *d = &e->devices[e->count - 1];
  huld_windows_close_handle(&d->conn.handle);
  huld_windows_close_handle(&d->rst_port_handle);
  huld_dev_enumeration_pop_back(e);
}

void fill_srb(uint8_t *buf, uint32_t size, const char *signature, uint32_t timeout, uint32_t code) {
  huld_put_le32(buf, kSrbHeader);
  std::memcpy(buf + 4, signature, strnlen(signature, 8));
  huld_put_le32(buf + 12, timeout);
  huld_put_le32(buf + 16, code);
  huld_put_le32(buf + 20, 0);
  huld_put_le32(buf + 24, size - kSrbHeader);
}

// One IOCTL_SCSI_MINIPORT request, the buffer used in both directions. 0 when the call succeeded
// (*returned the bytes written), else the system error.
DWORD miniport(HANDLE port, uint8_t *buf, uint32_t size, DWORD *returned) {
  *returned = 0;
  if (!DeviceIoControl(port, IOCTL_SCSI_MINIPORT, buf, size, buf, size, returned, nullptr)) {
    DWORD e = GetLastError();
    return e ? e : ERROR_GEN_FAILURE;
  }
  return 0;
}

// ---- CSMI ---------------------------------------------------------------------------------------

int csmi_get_phy_info(HANDLE port, uint8_t *buf) {
  std::memset(buf, 0, kCsmiPhyInfoSize);
  fill_srb(buf, kCsmiPhyInfoSize, "CSMISAS", 60, 20);
  DWORD got = 0;
  if (DWORD e = miniport(port, buf, kCsmiPhyInfoSize, &got)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to get_phy_info %d\n", static_cast<int>(e));
    return 1;
  }
  if (uint32_t rc = huld_get_le32(buf + 20)) {
    HULD_LOG(HULD_LOG_DEBUG, "ReturnCode %d for get_phy_info\n", static_cast<int>(rc));
    return 1;
  }
  HULD_LOG(HULD_LOG_VERBOSE, "csmi get_phy_info dmp (%u bytes written)\n", static_cast<unsigned>(got));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("csmi get_phy_info", buf, kCsmiPhyInfoSize);
  return 0;
}

int csmi_get_raid_info(HANDLE port, uint32_t *sets, uint32_t *max_drives) {
  uint8_t buf[kCsmiRaidInfoSize] = {};
  fill_srb(buf, sizeof buf, "CSMIARY", 60, 10);
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("raid info cmd sent", buf, sizeof buf);
  DWORD got = 0;
  if (DWORD e = miniport(port, buf, sizeof buf, &got)) {
    HULD_LOG(HULD_LOG_DEBUG, "DeviceIoControl failed to collect raid info %d\n", static_cast<int>(e));
    return 1;
  }
  HULD_LOG(HULD_LOG_VERBOSE, "got %d bytes back from raid info cmd\n", static_cast<int>(got));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("raid info cmd response", buf, sizeof buf);
  if (uint32_t rc = huld_get_le32(buf + 20)) {
    HULD_LOG(HULD_LOG_DEBUG, "raid info srb io ctrl return code %d", static_cast<int>(rc));
    return 1;
  }
  *sets = huld_get_le32(buf + 28);
  *max_drives = huld_get_le32(buf + 32);
  return 0;
}

int csmi_get_raid_config(HANDLE port, uint32_t set, uint8_t *buf, uint32_t size) {
  std::memset(buf, 0, size);
  fill_srb(buf, size, "CSMIARY", 60, 11);
  huld_put_le32(buf + 28, set);
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("raid config command out", buf, kCsmiRaidConfigHead);
  DWORD got = 0;
  if (DWORD e = miniport(port, buf, size, &got)) {
    HULD_LOG(HULD_LOG_DEBUG, "DeviceIoControl failed for raid config %d\n", static_cast<int>(e));
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "read %d bytes of raid config", static_cast<int>(got));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("raid config command in", buf, got < size ? got : size);
  if (uint32_t rc = huld_get_le32(buf + 20)) {
    HULD_LOG(HULD_LOG_DEBUG, "srb_io_ctrl ReturnCode bad for raid config %d\n", static_cast<int>(rc));
    return 1;
  }
  return 0;
}

void log_identify(const uint8_t *id) {
  HULD_LOG(HULD_LOG_DEBUG, "      type: %xh\n", id[0]);
  HULD_LOG(HULD_LOG_DEBUG, "      initiator_proto: %xh\n", id[2]);
  HULD_LOG(HULD_LOG_DEBUG, "      tgt_proto: %xh\n", id[3]);
  const uint8_t *a = id + 12;
  HULD_LOG(HULD_LOG_DEBUG, "      sas_addr: %02x %02x %02x %02x %02x %02x %02x %02x\n", a[0], a[1], a[2], a[3], a[4],
           a[5], a[6], a[7]);
  HULD_LOG(HULD_LOG_DEBUG, "      phy_id: %02xh\n", id[20]);
  HULD_LOG(HULD_LOG_DEBUG, "      signal_class: %02xh\n", id[21]);
}

// The phy table of a phy-information answer (at most the 32 entries it holds).
void log_phy_table(const uint8_t *buf, uint32_t phys) {
  if (huld_log_level < HULD_LOG_DEBUG) return;
  HULD_LOG(HULD_LOG_DEBUG, "csmi_phy_info\n");
  HULD_LOG(HULD_LOG_DEBUG, "  nr_phy: %u\n", static_cast<unsigned>(buf[kSrbHeader]));
  for (uint32_t i = 0; i < phys; ++i) {
    const uint8_t *p = buf + 32 + 64 * i;
    HULD_LOG(HULD_LOG_DEBUG, "  phy obj %u\n", static_cast<unsigned>(i));
    HULD_LOG(HULD_LOG_DEBUG, "    ident\n");
    log_identify(p);
    HULD_LOG(HULD_LOG_DEBUG, "    port_id: %02xh\n", p[28]);
    HULD_LOG(HULD_LOG_DEBUG, "    link_rate: %02xh\n", p[29]);
    HULD_LOG(HULD_LOG_DEBUG, "    min_link_rate: %02xh\n", p[30]);
    HULD_LOG(HULD_LOG_DEBUG, "    max_link_rate: %02xh\n", p[31]);
    HULD_LOG(HULD_LOG_DEBUG, "    nr_phy_chg: %02xh\n", p[32]);
    HULD_LOG(HULD_LOG_DEBUG, "    auto_disc: %02xh\n", p[33]);
    HULD_LOG(HULD_LOG_DEBUG, "    ident_attached\n");
    log_identify(p + 36);
  }
}

// Appends a CSMI record with its own handle on the port; null (nothing left behind) on failure.
huld_dev *push_csmi(huld_dev_enumeration *e, const char *path) {
  huld_dev *d = huld_dev_enumeration_push_back(e);
  if (!d) {
    HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure\n");
    return nullptr;
  }
  d->conn.type = CONN_CSMI;
  snprintf(d->conn.path, sizeof d->conn.path, "%s", path);
  d->conn.handle = huld_windows_open_shared(path);
  if (!huld_windows_handle_is_open(d->conn.handle)) {
    HULD_LOG(HULD_LOG_DEBUG, "handle %s could not be opened, skip device\n", path);
    drop_last(e);
    return nullptr;
  }
  return d;
}

void csmi_capture_phys(HANDLE port, const char *path, uint32_t port_number, huld_dev_enumeration *e) {
  auto *buf = static_cast<uint8_t *>(std::malloc(kCsmiPhyInfoSize));
  if (!buf) return;
  if (csmi_get_phy_info(port, buf)) {
    HULD_LOG(HULD_LOG_DEBUG, "port %s, failed to capture phy into\n", path);
    std::free(buf);
    return;
  }
  uint32_t phys = buf[kSrbHeader];
  if (phys > kCsmiMaxPhys) phys = kCsmiMaxPhys;
  log_phy_table(buf, phys);
  for (uint32_t i = 0; i < phys; ++i) {
    const uint8_t *p = buf + 32 + 64 * i;
    const uint8_t *attached = p + 36;
    if (attached[0] != kCsmiEndDevice) continue;
    const uint8_t phy_id = p[20], port_id = p[28];
    const uint8_t *sas = attached + 12;
    huld_dev *d = push_csmi(e, path);
    if (!d) continue;
    snprintf(d->name, sizeof d->name, "csmi%u.%u.%u.%02x%02x%02x%02x%02x%02x%02x%02x",
             static_cast<unsigned>(port_number), port_id, phy_id, sas[0], sas[1], sas[2], sas[3], sas[4], sas[5],
             sas[6], sas[7]);
    std::memcpy(d->csmi_sas_address, sas, 8);
    d->scsi_address.PortNumber = static_cast<UCHAR>(port_number);
    d->scsi_address.PathId = phy_id;
    d->scsi_address.TargetId = 0;
    d->scsi_address.Lun = 0;
    d->csmi_phy_id = phy_id;
    d->csmi_port_id = port_id;
    d->csmi_link_rate = 0;
  }
  std::free(buf);
}

void log_text(const char *title, const uint8_t *text, int width) {
  HULD_LOG(HULD_LOG_DEBUG, title, width, reinterpret_cast<const char *>(text));
}

void csmi_capture_raid(HANDLE port, const char *path, uint32_t port_number, huld_dev_enumeration *e) {
  uint32_t sets = 0, max_drives = 0;
  if (csmi_get_raid_info(port, &sets, &max_drives)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture raid info on port %s\n", path);
    return;
  }
  if (sets == 0 || max_drives == 0) {
    HULD_LOG(HULD_LOG_DEBUG, "port %s max drives per set %d, number raid sets %d, no devices", path,
             static_cast<int>(max_drives), static_cast<int>(sets));
    return;
  }
  if (max_drives > kCsmiMaxDrivesPerSet) max_drives = kCsmiMaxDrivesPerSet;
  // One configuration request goes out per set: a driver's count is bounded like every other.
  if (sets > kCsmiMaxRaidSets) {
    HULD_LOG(HULD_LOG_DEBUG, "port %s reports %u raid sets, investigating the first %u\n", path,
             static_cast<unsigned>(sets), static_cast<unsigned>(kCsmiMaxRaidSets));
    sets = kCsmiMaxRaidSets;
  }
  const size_t size = kCsmiRaidConfigHead + static_cast<size_t>(kCsmiRaidDriveSize) * max_drives;
  auto *buf = static_cast<uint8_t *>(std::malloc(size));
  if (!buf) {
    HULD_LOG(HULD_LOG_DEBUG, "could not allocate %u bytes for raid config on port %s\n",
             static_cast<unsigned>(size), path);
    return;
  }
  for (uint32_t set = 0; set < sets; ++set) {
    HULD_LOG(HULD_LOG_DEBUG, "investigating port %s raid set %d\n", path, static_cast<int>(set));
    if (csmi_get_raid_config(port, set, buf, static_cast<uint32_t>(size))) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture raid config info\n");
      continue;
    }
    uint32_t drives = buf[43];
    HULD_LOG(HULD_LOG_DEBUG, "raid config info\n");
    HULD_LOG(HULD_LOG_DEBUG, "    idx: %u", static_cast<unsigned>(huld_get_le32(buf + 28)));
    HULD_LOG(HULD_LOG_DEBUG, "    cap: %u", static_cast<unsigned>(huld_get_le32(buf + 32)));
    HULD_LOG(HULD_LOG_DEBUG, "    stripe_sz: %u\n", static_cast<unsigned>(huld_get_le32(buf + 36)));
    HULD_LOG(HULD_LOG_DEBUG, "    raid_type: %xh\n", buf[40]);
    HULD_LOG(HULD_LOG_DEBUG, "    status: %xh\n", buf[41]);
    HULD_LOG(HULD_LOG_DEBUG, "    info: %xh\n", buf[42]);
    HULD_LOG(HULD_LOG_DEBUG, "    nr_drives: %u\n", static_cast<unsigned>(drives));
    HULD_LOG(HULD_LOG_DEBUG, "    data_type: %xh\n", buf[44]);
    HULD_LOG(HULD_LOG_DEBUG, "    failure_code: %xh\n", static_cast<unsigned>(huld_get_le32(buf + 56)));
    HULD_LOG(HULD_LOG_DEBUG, "    nr_chg: %xh\n", static_cast<unsigned>(huld_get_le32(buf + 60)));
    if (drives > max_drives) drives = max_drives;
    HULD_LOG(HULD_LOG_DEBUG, "investigating %d drives from this raid set\n", static_cast<int>(drives));
    for (uint32_t k = 0; k < drives; ++k) {
      const uint8_t *drive = buf + kCsmiRaidDrivesFrom + kCsmiRaidDriveSize * k;
      const uint8_t *sas = drive + 88, *lun = drive + 96;
      // A driver that reports more drives than it filled leaves zeroed entries: no address, no drive.
      static const uint8_t kNoAddress[8] = {};
      if (std::memcmp(sas, kNoAddress, sizeof kNoAddress) == 0) {
        HULD_LOG(HULD_LOG_DEBUG, "skipping raid drive %u, no sas address\n", static_cast<unsigned>(k));
        continue;
      }
      HULD_LOG(HULD_LOG_DEBUG, "csmi raid drive detected\n");
      log_text("    model: %.*s\n", drive, 40);
      log_text("    fw: %.*s\n", drive + 40, 8);
      log_text("    serial: %.*s\n", drive + 48, 40);
      HULD_LOG(HULD_LOG_DEBUG, "    sas addr: %02x%02x%02x%02x%02x%02x%02x%02x\n", sas[0], sas[1], sas[2], sas[3],
               sas[4], sas[5], sas[6], sas[7]);
      HULD_LOG(HULD_LOG_DEBUG, "    lun: %02x%02x%02x%02x%02x%02x%02x%02x\n", lun[0], lun[1], lun[2], lun[3], lun[4],
               lun[5], lun[6], lun[7]);
      bool matched = false;
      for (uint32_t i = e->count; i-- > 0;) {
        HULD_LOG(HULD_LOG_DEBUG, "inspecting dev idx %u to find a match\n", static_cast<unsigned>(i));
        huld_dev *d = &e->devices[i];
        if (d->conn.type == CONN_CSMI && std::memcmp(d->csmi_sas_address, sas, 3) == 0) {
          HULD_LOG(HULD_LOG_DEBUG, "found a matching sas addr - marking existing drive as RAID\n");
          d->csmi_raid_member = 1;
          matched = true;
        }
      }
      if (matched) continue;
      HULD_LOG(HULD_LOG_DEBUG, "adding new device found from raid cfg\n");
      huld_dev *d = push_csmi(e, path);
      if (!d) continue;
      snprintf(d->name, sizeof d->name, "csmi%u.X.X.%02x%02x%02x%02x%02x%02x%02x%02x",
               static_cast<unsigned>(port_number), sas[0], sas[1], sas[2], sas[3], sas[4], sas[5], sas[6], sas[7]);
      d->scsi_address.PortNumber = static_cast<UCHAR>(port_number);
      d->scsi_address.PathId = sas[2];
      d->scsi_address.TargetId = 0;
      d->scsi_address.Lun = 0;
      d->csmi_port_id = sas[2];
      std::memcpy(d->csmi_sas_address, sas, 8);
      d->csmi_raid_member = 1;
      snprintf(d->rst_port_path, sizeof d->rst_port_path, "%s", path);
      d->rst_port_handle = huld_windows_open_shared(path);
      if (!huld_windows_handle_is_open(d->rst_port_handle)) {
        HULD_LOG(HULD_LOG_DEBUG, "handle %s could not be opened, skip device\n", path);
        drop_last(e);
        continue;
      }
      HULD_LOG(HULD_LOG_DEBUG, "opened new rst handle %ph from %s\n", d->rst_port_handle, path);
    }
  }
  std::free(buf);
}

// ---- Intel RSTe ---------------------------------------------------------------------------------

uint32_t cap_count(uint32_t n) { return n > kRsteMaxCount ? kRsteMaxCount : n; }

// A zeroed request of the given size with its header; null when it cannot be had.
uint8_t *rste_request(size_t size, uint32_t code) {
  auto *buf = static_cast<uint8_t *>(std::calloc(1, size));
  if (!buf) {
    HULD_LOG(HULD_LOG_DEBUG, "could not allocate %u bytes for rste request\n", static_cast<unsigned>(size));
    return nullptr;
  }
  intel_rste_populate_srb(buf, static_cast<uint32_t>(size), code);
  return buf;
}

int rste_send(HANDLE port, uint8_t *buf, size_t size, DWORD *got) {
  if (DWORD err = miniport(port, buf, static_cast<uint32_t>(size), got)) {
    HULD_LOG(HULD_LOG_DEBUG, "DeviceIoControl failed with %d\n", static_cast<int>(err));
    return 1;
  }
  return 0;
}

int rste_get_count(HANDLE port, uint32_t code, uint32_t *count) {
  uint8_t buf[32] = {};
  intel_rste_populate_srb(buf, sizeof buf, code);
  DWORD got = 0;
  if (rste_send(port, buf, sizeof buf, &got)) return 1;
  *count = huld_get_le32(buf + 28);
  return 0;
}

// A disk list request (spare or pass-through) for count entries; the answer's entries lie from
// byte 32. 0 with the buffer (caller frees) and the number of whole entries returned, else 1.
int rste_get_disk_list(HANDLE port, uint32_t code, uint32_t count, uint8_t **list, uint32_t *entries) {
  *list = nullptr;
  *entries = 0;
  const size_t size = 32 + static_cast<size_t>(kRsteDiskSize) * (count + 1);
  uint8_t *buf = rste_request(size, code);
  if (!buf) return 1;
  huld_put_le32(buf + 28, static_cast<uint32_t>(kRsteDiskSize * (count + 1)));
  DWORD got = 0;
  if (rste_send(port, buf, size, &got)) {
    std::free(buf);
    return 1;
  }
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("rste spare disks info ioctl return", buf, got < size ? got : size);
  HULD_LOG(HULD_LOG_VERBOSE, "sdi device ioctl wrote %u bytes\n", static_cast<unsigned>(got));
  const size_t returned = got < size ? got : size;
  const uint32_t fit = returned > 32 ? static_cast<uint32_t>((returned - 32) / kRsteDiskSize) : 0;
  *entries = fit < count ? fit : count;
  *list = buf;
  return 0;
}

void push_rste(huld_dev_enumeration *e, const char *path, const char *prefix, uint32_t port_number,
               uint32_t disk_id, uint32_t index, bool member) {
  huld_dev *d = huld_dev_enumeration_push_back(e);
  if (!d) {
    HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure\n");
    return;
  }
  snprintf(d->name, sizeof d->name, "%s%u.%u.%u", prefix, static_cast<unsigned>(port_number),
           static_cast<unsigned>(disk_id), static_cast<unsigned>(index));
  d->iface = WINDOWS_NVME_INTEL_RSTE;
  d->conn.type = CONN_RSTE;
  snprintf(d->conn.path, sizeof d->conn.path, "%s", path);
  d->rste_disk_id = disk_id;
  d->rste_disk_number = HULD_NO_NUMBER;
  d->rste_raid_member = member ? 1 : 0;
  d->conn.handle = huld_windows_open_shared(path);
  if (!huld_windows_handle_is_open(d->conn.handle)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to open unique handle at %s - skipping device\n", path);
    drop_last(e);
    return;
  }
  HULD_LOG(HULD_LOG_DEBUG, "added %s\n", d->name);
}

void rste_log_disk(const uint8_t *entry) {
  log_text("model: %.*s\n", entry + 4, 40);
  log_text("firmware: %.*s\n", entry + 44, 8);
  log_text("serial: %.*s\n", entry + 52, 40);
}

using RsteCountFn = int (*)(HANDLE, uint32_t *);
using RsteListFn = int (*)(HANDLE, uint32_t, uint8_t **, uint32_t *);

// Pass-through and spare disks share their walk.
void rste_capture_disk_list(HANDLE port, const char *path, uint32_t port_number, huld_dev_enumeration *e,
                            RsteCountFn get_count, RsteListFn get_list, const char *count_line,
                            const char *fail_line, const char *skip_line, const char *prefix) {
  uint32_t count = 0;
  if (get_count(port, &count)) return;
  HULD_LOG(HULD_LOG_DEBUG, count_line, static_cast<unsigned>(count));
  count = cap_count(count);
  uint32_t entries = 0;
  uint8_t *buf = nullptr;
  if (get_list(port, count, &buf, &entries)) {
    HULD_LOG(HULD_LOG_DEBUG, "%s", fail_line);
    return;
  }
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t *entry = buf + 32 + kRsteDiskSize * i;
    const uint32_t id = huld_get_le32(entry);
    if (id == 0) {
      HULD_LOG(HULD_LOG_DEBUG, skip_line, static_cast<unsigned>(i));
      continue;
    }
    rste_log_disk(entry);
    push_rste(e, path, prefix, port_number, id, i, false);
  }
  std::free(buf);
}

}  // namespace

int csmi_is_supported(HANDLE port) {
  uint8_t buf[kCsmiDriverInfoSize] = {};
  fill_srb(buf, sizeof buf, "CSMIALL", 60, 1);
  DWORD got = 0;
  return miniport(port, buf, sizeof buf, &got) == 0 ? 1 : 0;
}

void csmi_capture_port(HANDLE port, const char *path, uint32_t port_number, huld_dev_enumeration *e) {
  csmi_capture_phys(port, path, port_number, e);
  csmi_capture_raid(port, path, port_number, e);
}

void intel_rste_populate_srb(uint8_t *buffer, uint32_t size, uint32_t control_code) {
  fill_srb(buffer, size, "NvmeRAID", 40, control_code);
}

int intel_rste_get_num_raid_volumes(HANDLE port, uint32_t *count) {
  return rste_get_count(port, kRsteVolumeCount, count);
}

int intel_rste_get_num_passthrough_disks(HANDLE port, uint32_t *count) {
  return rste_get_count(port, kRstePassThroughCount, count);
}

// The spare count is read with the pass-through count request, as the driver has been asked
// since the first release; which request the driver expects there is not known.
int intel_rste_get_num_spare_disks(HANDLE port, uint32_t *count) {
  return rste_get_count(port, kRstePassThroughCount, count);
}

int intel_rste_get_passthrough_disk_information(HANDLE port, uint32_t count, uint8_t **list, uint32_t *entries) {
  return rste_get_disk_list(port, kRstePassThroughInfo, count, list, entries);
}

int intel_rste_get_raid_spare_disks_infomation(HANDLE port, uint32_t count, uint8_t **list, uint32_t *entries) {
  return rste_get_disk_list(port, kRsteSpareInfo, count, list, entries);
}

int intel_rste_get_raid_information(HANDLE port, uint32_t volume, uint8_t *info) {
  std::memset(info, 0, kRsteVolumeInfoSize);
  intel_rste_populate_srb(info, kRsteVolumeInfoSize, kRsteVolumeInfo);
  huld_put_le32(info + 28, volume);
  DWORD got = 0;
  if (rste_send(port, info, kRsteVolumeInfoSize, &got)) return 1;
  HULD_LOG(HULD_LOG_VERBOSE, "rste raid information bytes written: %d\n", static_cast<int>(got));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("rste raid information ioctl return", info, kRsteVolumeInfoSize);
  return 0;
}

int intel_rste_get_raid_config(HANDLE port, uint32_t volume, uint32_t members, uint8_t **config, uint32_t *entries) {
  *config = nullptr;
  *entries = 0;
  members = cap_count(members);
  const size_t size = 36 + static_cast<size_t>(kRsteDiskSize) * (members + 1);
  uint8_t *cfg = rste_request(size, kRsteVolumeConfig);
  if (!cfg) return 1;
  huld_put_le32(cfg + 28, volume);
  huld_put_le32(cfg + 32, static_cast<uint32_t>(kRsteDiskSize * (members + 1)));
  HULD_LOG(HULD_LOG_DEBUG, "rste ioctl get raid config:\n");
  HULD_LOG(HULD_LOG_DEBUG, "indexOfRaidVolume: %u\n", static_cast<unsigned>(volume));
  HULD_LOG(HULD_LOG_DEBUG, "returnBufferLen: %u\n", static_cast<unsigned>(kRsteDiskSize * (members + 1)));
  HULD_LOG(HULD_LOG_DEBUG, "ioctl_sz: %u\n", static_cast<unsigned>(size));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("rste raid config ioctl out", cfg, 36);
  DWORD got = 0;
  if (rste_send(port, cfg, size, &got)) {
    std::free(cfg);
    return 1;
  }
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("rste raid config ioctl return", cfg, got < size ? got : size);
  const size_t returned = got < size ? got : size;
  const uint32_t fit = returned > 36 ? static_cast<uint32_t>((returned - 36) / kRsteDiskSize) : 0;
  *entries = fit < members ? fit : members;
  *config = cfg;
  return 0;
}

void intel_rste_capture_rste_passthrough_disks(HANDLE port, const char *path, uint32_t port_number,
                                               huld_dev_enumeration *e) {
  rste_capture_disk_list(port, path, port_number, e, intel_rste_get_num_passthrough_disks,
                         intel_rste_get_passthrough_disk_information, "number of passthrough disks: %u\n",
                         "failed to capture passthrough disk info\n", "skipping passthrough disk %u, disk id 0\n",
                         "rstep");
}

void intel_rste_capture_rste_spare_disks(HANDLE port, const char *path, uint32_t port_number,
                                         huld_dev_enumeration *e) {
  rste_capture_disk_list(port, path, port_number, e, intel_rste_get_num_spare_disks,
                         intel_rste_get_raid_spare_disks_infomation, "number of spare disks: %u\n",
                         "failed to capture spare disk info\n", "skipping spare disk %u, disk id 0\n", "rstes");
}

void intel_rste_capture_rste_raid_volumes(HANDLE port, const char *path, uint32_t port_number,
                                          huld_dev_enumeration *e) {
  uint32_t volumes = 0;
  if (intel_rste_get_num_raid_volumes(port, &volumes)) return;
  HULD_LOG(HULD_LOG_DEBUG, "number of raid volumes: %u\n", static_cast<unsigned>(volumes));
  volumes = cap_count(volumes);
  for (uint32_t v = 1; v <= volumes; ++v) {
    uint8_t info[kRsteVolumeInfoSize];
    if (intel_rste_get_raid_information(port, v, info)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture raid info for raid %lu\n", static_cast<unsigned long>(v));
      continue;
    }
    const uint32_t members = huld_get_le32(info + 128);
    HULD_LOG(HULD_LOG_DEBUG, "idx: %lu\n", static_cast<unsigned long>(v));
    log_text("raid type: %.*s\n", info + 32, 8);
    log_text("model: %.*s\n", info + 40, 40);
    log_text("serial: %.*s\n", info + 88, 40);
    log_text("firmware: %.*s\n", info + 80, 8);
    HULD_LOG(HULD_LOG_DEBUG, "nmembers: %lu\n", static_cast<unsigned long>(members));
    uint8_t *cfg = nullptr;
    uint32_t walk = 0;
    if (intel_rste_get_raid_config(port, v, members, &cfg, &walk)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture raid config for raid %lu", static_cast<unsigned long>(v));
      continue;
    }
    for (uint32_t i = 0; i < walk; ++i) {
      const uint8_t *entry = cfg + 36 + kRsteDiskSize * i;
      const uint32_t id = huld_get_le32(entry);
      HULD_LOG(HULD_LOG_DEBUG, "member %u information\n", static_cast<unsigned>(i));
      HULD_LOG(HULD_LOG_DEBUG, "disk id: %u\n", static_cast<unsigned>(id));
      rste_log_disk(entry);
      if (id == 0) {
        HULD_LOG(HULD_LOG_DEBUG, "skipping member %u, disk id 0\n", static_cast<unsigned>(i));
        continue;
      }
      push_rste(e, path, "rster", port_number, id, i, true);
    }
    std::free(cfg);
  }
}

void huld_windows_enumerate_csmi(huld_dev_enumeration *e) {
  for (uint32_t n = 0; n < kPorts; ++n) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\Scsi%u:", static_cast<unsigned>(n));
    HANDLE port = huld_windows_open_shared(path);
    if (!huld_windows_handle_is_open(port)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to open handle %s\n", path);
      continue;
    }
    HULD_LOG(HULD_LOG_DEBUG, "opened port str %s handle %ph for csmi\n", path, port);
    if (csmi_is_supported(port))
      csmi_capture_port(port, path, n, e);
    else
      HULD_LOG(HULD_LOG_DEBUG, "port %s does not support csmi\n", path);
    CloseHandle(port);
  }
}

void huld_windows_enumerate_rste(huld_dev_enumeration *e) {
  for (uint32_t n = 0; n < kPorts; ++n) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\Scsi%u:", static_cast<unsigned>(n));
    HANDLE port = huld_windows_open_shared(path);
    if (!huld_windows_handle_is_open(port)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to open handle %s\n", path);
      continue;
    }
    intel_rste_capture_rste_raid_volumes(port, path, n, e);
    intel_rste_capture_rste_passthrough_disks(port, path, n, e);
    intel_rste_capture_rste_spare_disks(port, path, n, e);
    CloseHandle(port);
  }
}

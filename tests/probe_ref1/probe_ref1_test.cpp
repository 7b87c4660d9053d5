// The probe chain over every record of the reference machine, built as the enumeration passes
// leave them: the interface each one ends with, the records no interface answers, the SATA disks
// that change when SAT is asked first, and the requests a CSMI record never sends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <map>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"

namespace {

// One record: name, unit id (its interface path) or path, connection, what the enumeration
// preset, the CSMI or RSTe fields, and the interface the probe ends with (0: code 3).
struct Row {
  const char *name;
  const char *unit;  // a unit id of the machine, or a path when it starts with a backslash
  uint32_t type, driver, preset;
  const char *port;  // rst_port_path
  int phy;           // CSMI phy and PathId; -1 for none
  uint64_t sas;
  uint32_t id;  // nevox_pd_id or rste_disk_id
  uint32_t iface;
  bool sat_first;  // WINDOWS_SCSI_SAT_ATA instead when SAT is asked first
};

constexpr uint32_t kNone = IFACE_NONE;
const char kRst[] = "\\\\.\\Scsi5:", kSas[] = "\\\\.\\Scsi11:", kRste[] = "\\\\.\\Scsi10:";

const Row kRows[] = {
    {"disk0", "A", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, "", -1, 0, 0, WINDOWS_ATA, true},
    {"disk1", "B", CONN_DISK, WINDOWS_INBOX_NVME, IFACE_NONE, "", -1, 0, 0, WINDOWS_NVME, false},
    {"disk2", "\\\\.\\Scsi4:", CONN_DISK, XR_NVME, IFACE_NONE, "", -1, 0, 0, WINDOWS_NVME_XR_IUO, false},
    {"disk4", "D", CONN_DISK, INTEL_RST, IFACE_NONE, kRst, -1, 0, 0, WINDOWS_ATA, true},
    {"disk7", "E", CONN_DISK, INTEL_RST, IFACE_NONE, kRst, -1, 0, 0, WINDOWS_NVME_INTEL_RST, false},
    {"disk8", "V", CONN_DISK, INTEL_RST, IFACE_NONE, kRst, -1, 0, 0, WINDOWS_SCSI, false},
    {"disk3", "X", CONN_DISK, WINDOWS_INBOX_NVME, WINDOWS_NVME, "", -1, 0, 0, WINDOWS_NVME, false},
    {"disk3.pd5", "X", CONN_DISK, WINDOWS_INBOX_NVME, MARVELL_NEVOX, "", -1, 0, 5, MARVELL_NEVOX, false},
    {"disk3.pd7", "X", CONN_DISK, WINDOWS_INBOX_NVME, MARVELL_NEVOX, "", -1, 0, 7, MARVELL_NEVOX, false},
    {"disk12", "W", CONN_DISK, INTEL_RST, IFACE_NONE, kRst, -1, 0, 0, WINDOWS_SCSI, false},
    {"disk5", "Y", CONN_DISK, MICROSOFT_STORAGE_SPACES, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"disk9", "F", CONN_DISK, INBOX_USB_MASS_STORAGE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI_SAT_ATA, false},
    {"disk10", "G", CONN_DISK, INBOX_UAS_MASS_STORAGE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI_ASMEDIA_NVME, false},
    {"disk11", "R", CONN_DISK, INTEL_RSTE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"disk15", "T", CONN_DISK, INTEL_RSTE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"disk14", "S2", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"disk13", "S1", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI_SAT_ATA, false},
    {"disk18", "RAM", CONN_DISK, DRIVER_NONE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"disk6", "\\\\.\\PhysicalDrive6", CONN_DISK_POOL_MEMBER, WINDOWS_INBOX_AHCI, IFACE_NONE, "", -1, 0, 0, WINDOWS_ATA, true},
    {"nvme0", "\\\\.\\Scsi1:", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, "", -1, 0, 0, kNone, false},
    {"nvme1", "\\\\.\\Scsi3:", CONN_DISK, WINDOWS_INBOX_NVME, IFACE_NONE, "", -1, 0, 0, WINDOWS_NVME, false},
    {"csmi5.0.0.500103aa00000000", kRst, CONN_CSMI, DRIVER_NONE, IFACE_NONE, "", 0, 0x500103AA00000000, 0, WINDOWS_ATA, false},
    {"csmi5.2.2.500102aa00000002", kRst, CONN_CSMI, DRIVER_NONE, IFACE_NONE, "", 2, 0x500102AA00000002, 0, WINDOWS_ATA, false},
    {"csmi5.3.3.500102aa00000003", kRst, CONN_CSMI, DRIVER_NONE, IFACE_NONE, "", 3, 0x500102AA00000003, 0, WINDOWS_ATA, false},
    {"csmi5.X.X.500210bb00000001", kRst, CONN_CSMI, DRIVER_NONE, IFACE_NONE, kRst, 0x10, 0x500210BB00000001, 0,
     WINDOWS_NVME_INTEL_RST, false},
    {"csmi5.X.X.500211bb00000002", kRst, CONN_CSMI, DRIVER_NONE, IFACE_NONE, kRst, 0x11, 0x500211BB00000002, 0,
     WINDOWS_NVME_INTEL_RST, false},
    {"csmi11.0.0.500a0b0100000000", kSas, CONN_CSMI, DRIVER_NONE, IFACE_NONE, "", 0, 0x500A0B0100000000, 0, WINDOWS_ATA, false},
    {"csmi11.1.1.500a0b0200000000", kSas, CONN_CSMI, DRIVER_NONE, IFACE_NONE, "", 1, 0x500A0B0200000000, 0, kNone, false},
    {"rster10.3.0", kRste, CONN_RSTE, DRIVER_NONE, WINDOWS_NVME_INTEL_RSTE, "", -1, 0, 3, WINDOWS_NVME_INTEL_RSTE, false},
    {"rster10.4.1", kRste, CONN_RSTE, DRIVER_NONE, WINDOWS_NVME_INTEL_RSTE, "", -1, 0, 4, WINDOWS_NVME_INTEL_RSTE, false},
    {"rstep10.6.0", kRste, CONN_RSTE, DRIVER_NONE, WINDOWS_NVME_INTEL_RSTE, "", -1, 0, 6, WINDOWS_NVME_INTEL_RSTE, false},
    {"rstes10.9.0", kRste, CONN_RSTE, DRIVER_NONE, WINDOWS_NVME_INTEL_RSTE, "", -1, 0, 9, WINDOWS_NVME_INTEL_RSTE, false},
    {"SCSI11:0,8,0", "ENCL", CONN_SES, DRIVER_NONE, IFACE_NONE, "", -1, 0, 0, WINDOWS_SCSI, false},
    {"hub", "", CONN_USB_HUB, DRIVER_NONE, WINDOWS_USB_HUB, "", -1, 0, 0, WINDOWS_USB_HUB, false},
};

// Requests a CSMI record never sends: they go out on the port without the end device's address
// (ATA and SCSI pass-through for the ATA, SAT, bridge and INQUIRY probes; the in-box NVMe query).
constexpr DWORD kNotForCsmi[] = {0x0004D02C, 0x0004D030, testsupport::kScsiPassThrough, 0x0004D014, 0x002D1400};

class ProbeRef1 : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    sim::register_storage_section();
    sim::load_machine_file(sim::machine_file_path("ref1"));
    huld_environment_initialize();
    for (const sim::StorageDiskInfo &u : sim::storage_disks()) paths_[u.id] = u.interface_path;
  }
  void TearDown() override {
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  // The record as the enumeration leaves it: closed, prepared fields, the row's own fields.
  huld_dev build(const Row &r) {
    huld_dev_enumeration e{};
    huld_dev d = *huld_dev_enumeration_push_back(&e);
    huld_dev_release(&e);
    std::snprintf(d.name, sizeof d.name, "%s", r.name);
    const std::string path = r.unit[0] == '\\' || !r.unit[0] ? r.unit : paths_.at(r.unit);
    std::snprintf(d.conn.path, sizeof d.conn.path, "%s", path.c_str());
    std::snprintf(d.rst_port_path, sizeof d.rst_port_path, "%s", r.port);
    d.conn.type = r.type;
    d.conn.driver = r.driver;
    d.iface = r.preset;
    if (r.iface == MARVELL_NEVOX) d.nevox_pd_id = static_cast<uint16_t>(r.id);
    if (r.type == CONN_RSTE) d.rste_disk_id = r.id;
    if (r.phy >= 0) {
      d.scsi_address.PortNumber = static_cast<UCHAR>(std::strcmp(r.unit, kRst) == 0 ? 5 : 11);
      d.scsi_address.PathId = static_cast<UCHAR>(r.phy);
      d.csmi_phy_id = d.csmi_port_id = static_cast<uint8_t>(r.phy);
      d.csmi_raid_member = r.phy > 1 && std::strcmp(r.unit, kRst) == 0;
      for (int i = 0; i < 8; ++i) d.csmi_sas_address[i] = static_cast<uint8_t>(r.sas >> (56 - 8 * i));
    }
    return d;
  }
  std::map<std::string, std::string> paths_;
  int saved_level_ = 0;
};

TEST_F(ProbeRef1, EveryRecordEndsWithItsInterface) {
  for (uint32_t flags : {0u, static_cast<uint32_t>(HULD_PROBE_SAT_FIRST)}) {
    for (const Row &r : kRows) {
      SCOPED_TRACE(std::string(r.name) + (flags ? " (SAT first)" : ""));
      huld_dev d = build(r);
      sim::trace_clear();
      huld_error err{};
      const int result = huld_dev_probe_flags(&err, &d, flags);
      const uint32_t expected = flags && r.sat_first ? WINDOWS_SCSI_SAT_ATA : r.iface;
      EXPECT_EQ(d.iface, expected);
      if (expected == kNone) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NO_INTERFACE));
        EXPECT_EQ(std::string(err.message), std::string("unable to find a supported interface for device ") + r.name);
      } else {
        EXPECT_EQ(result, 0) << err.message;
      }
      if (r.type == CONN_CSMI) {
        for (const sim::TraceEntry &t : sim::trace_entries()) {
          for (DWORD code : kNotForCsmi) EXPECT_NE(t.control_code, code) << t.path;
          EXPECT_NE(t.signature, "NvmeMini") << t.path;
        }
      }
      huld_dev_cleanup(&d);
    }
  }
}

// The same machine through the real enumeration (every pass but the video one, which needs COM):
// each record it finds is probed as the application's scan does, and ends with its interface.
TEST_F(ProbeRef1, EnumeratedRecordsProbeToTheirInterfaces) {
  std::map<std::string, uint32_t> expected;
  for (const Row &r : kRows) expected[r.name] = r.iface;
  huld_dev_enumeration e{};
  huld_dev_enumerate_flags(&e, 0x7F);
  std::map<std::string, uint32_t> found;
  size_t hubs = 0;
  for (uint32_t i = 0; i < e.count; ++i) {
    huld_dev &d = e.devices[i];
    huld_error err{};
    huld_dev_probe_flags(&err, &d, 0);
    if (d.conn.type == CONN_USB_HUB) {
      ++hubs;
      EXPECT_EQ(d.iface, static_cast<uint32_t>(WINDOWS_USB_HUB)) << d.name;
      continue;
    }
    found[d.name] = d.iface;
  }
  for (uint32_t i = 0; i < e.count; ++i) huld_dev_cleanup(&e.devices[i]);
  huld_dev_release(&e);
  expected.erase("hub");
  EXPECT_EQ(found, expected);
  EXPECT_EQ(hubs, 2u);
}

// Variants: on Windows 8.1 the in-box NVMe driver answers no NVMe request, so B's disk probes as a
// SCSI disk and the controller without a namespace finds no interface; a machine with nothing but
// the root enumerates nothing.
TEST_F(ProbeRef1, Windows81AndEmptyMachines) {
  std::ifstream f(sim::machine_file_path("ref1"));
  nlohmann::json ref = nlohmann::json::parse(f);
  ref["os"] = {{"major", 6}, {"minor", 3}, {"build", 9600}, {"product_type", "workstation"}};
  sim::load_machine_json(ref.dump());
  huld_environment_initialize();
  huld_dev_enumeration e{};
  huld_dev_enumerate_flags(&e, HULD_ENUMERATE_DISK | HULD_ENUMERATE_HDC | HULD_ENUMERATE_SCSI_ADAPTER);
  std::map<std::string, uint32_t> found;
  for (uint32_t i = 0; i < e.count; ++i) {
    huld_error err{};
    huld_dev_probe_flags(&err, &e.devices[i], 0);
    found[e.devices[i].name] = e.devices[i].iface;
    huld_dev_cleanup(&e.devices[i]);
  }
  huld_dev_release(&e);
  EXPECT_EQ(found.at("disk1"), static_cast<uint32_t>(WINDOWS_SCSI));
  EXPECT_EQ(found.at("nvme1"), kNone);

  sim::load_machine_json(R"({"name": "empty"})");
  huld_dev_enumeration empty{};
  huld_dev_enumerate_flags(&empty, 0x7F);
  EXPECT_EQ(empty.count, 0u);
  huld_dev_release(&empty);
}

}  // namespace

// Shared pieces of the command-set tests on simulated drives: one machine with a drive behind every
// route the executors take, device records opened on the disks' paths, and readers of the driver
// requests as the trace recorded them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/sat_device.h"
#include "sim/drives/scsi_target.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"
#include "tests/support/test_machine.h"

namespace devices_test {

// Control codes as the drivers know them.
using testsupport::kScsiPassThrough;
constexpr DWORD kIoctlScsiMiniport = 0x0004D008;
constexpr DWORD kIoctlQueryProperty = 0x002D1400;
constexpr DWORD kIoctlProtocolCommand = 0x002DD3C0;
constexpr DWORD kIoctlResetBus = 0x002D5000;

// Disks of the machine, by physical-drive number.
constexpr uint32_t kNvmeDisk = 0;     // in-box NVMe, port 0
constexpr uint32_t kUsbSatDisk = 1;   // USB bridge with SCSI/ATA translation, port 1
constexpr uint32_t kAhciDisk = 2;     // in-box AHCI (its own SCSI/ATA translation), port 2
constexpr uint32_t kScsiDisk = 3;     // USB bridge with a SCSI target, port 3

// The shared machine with a drive behind every route, and what these tests add to it: NVMe
// firmware slots, granularity, activation and power-state settings, and a SCSI target that takes
// WRITE BUFFER pieces on 8 KiB boundaries.
inline const char *kMachineOverlay = R"({
  "name": "cmdsets-devices",
  "storage": {
    "disks": [
      { "id": "nvme0", "nvme": { "slots": 3, "fwug": 2, "activation": "reset", "apsta": true, "apste": false } },
      { "id": "scsi0", "scsi": { "write_buffer": true, "offset_boundary": 8192 } }
    ]
  }
})";

// The description of a shared machine with a drive behind every route (tests/machines: "four_routes",
// or another file based on it), with the overlay above and `overlay` merged in
// (tests/support/test_machine.h).
inline std::string machine_json(const char *overlay = nullptr, const std::string &name = "four_routes") {
  nlohmann::json m = testsupport::test_machine(name, nlohmann::json::parse(kMachineOverlay));
  if (overlay) testsupport::merge_machine(m, nlohmann::json::parse(overlay));
  return m.dump();
}

inline std::string disk_path(uint32_t physical_drive) {
  return "\\\\.\\PhysicalDrive" + std::to_string(physical_drive);
}

inline uint32_t le32(const std::vector<uint8_t> &v, size_t off) {
  return static_cast<uint32_t>(v.at(off)) | static_cast<uint32_t>(v.at(off + 1)) << 8 |
         static_cast<uint32_t>(v.at(off + 2)) << 16 | static_cast<uint32_t>(v.at(off + 3)) << 24;
}
inline uint64_t le64(const std::vector<uint8_t> &v, size_t off) {
  return le32(v, off) | static_cast<uint64_t>(le32(v, off + 4)) << 32;
}
// Little-endian dwords of a captured request, as {offset, value} pairs.
inline void expect_le32(const std::vector<uint8_t> &v, std::initializer_list<std::pair<size_t, uint32_t>> want) {
  for (const auto &[off, value] : want) EXPECT_EQ(le32(v, off), value) << "dword at offset " << off;
}

// The CDB of a SCSI pass-through request (at offset 36, CdbLength at 6).
inline std::vector<uint8_t> cdb_of(const sim::TraceEntry &e) {
  const size_t n = e.input.at(6);
  return std::vector<uint8_t>(e.input.begin() + 36, e.input.begin() + 36 + n);
}

// A blank-trimmed copy of a fixed-width text field.
inline std::string text(const uint8_t *p, size_t n) {
  std::string s(reinterpret_cast<const char *>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

inline huld_error fresh_error() {
  huld_error e;
  std::memset(&e, 0, sizeof(e));
  return e;
}

// Fixture: the machine above, a quiet log, every opened record closed at the end (the suite's
// resource check fails a test that leaks a handle or breaks a contract).
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    sim::load_machine_json(machine_json(nullptr, machine_name()));
    huld_environment_initialize();
  }
  // Loads the machine again with `overlay` merged into its description; records opened so far
  // are closed first.
  void reload_with(const char *overlay) {
    close_all();
    sim::reset_machine();
    sim::load_machine_json(machine_json(overlay, machine_name()));
    huld_environment_initialize();
  }
  void close_all() {
    for (huld_dev *dev : opened_) {
      huld_dev_cleanup(dev);
      delete dev;
    }
    opened_.clear();
  }
  // The shared machine the suite runs on.
  virtual std::string machine_name() const { return "four_routes"; }
  void TearDown() override {
    close_all();
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }

  // A record as the disk enumeration leaves it for the disk, opened, with the interface given.
  huld_dev &open(uint32_t physical_drive, uint32_t driver, uint32_t iface) {
    auto *dev = new huld_dev;
    huld_dev_prepare(dev);
    std::snprintf(dev->name, sizeof(dev->name), "disk%u", physical_drive);
    dev->iface = iface;
    dev->conn.type = CONN_DISK;
    dev->conn.driver = driver;
    std::snprintf(dev->conn.path, sizeof(dev->conn.path), "%s", disk_path(physical_drive).c_str());
    dev->disk_number = physical_drive;
    dev->uvc_node_id = 0xFFFFFFFFu;
    opened_.push_back(dev);
    huld_error err = fresh_error();
    EXPECT_EQ(huld_dev_open(&err, dev), 0) << err.message;
    sim::trace_clear();
    return *dev;
  }
  huld_dev &nvme() { return open(kNvmeDisk, WINDOWS_INBOX_NVME, WINDOWS_NVME); }
  huld_dev &usb_sat() { return open(kUsbSatDisk, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA); }
  huld_dev &ahci_sat() { return open(kAhciDisk, WINDOWS_INBOX_AHCI, WINDOWS_SCSI_SAT_ATA); }
  huld_dev &scsi() { return open(kScsiDisk, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI); }

  // The requests of one kind sent since the record was opened.
  static std::vector<sim::TraceEntry> sent(DWORD code) { return sim::trace_entries_for(code); }
  static size_t sent_total() { return sim::trace_entries().size(); }

  // Resets the bus of an adapter through its port path, as a bus reset request does.
  static void reset_bus(uint32_t port) {
    const std::string path = "\\\\.\\Scsi" + std::to_string(port) + ":";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    uint8_t path_id = 0;
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kIoctlResetBus, &path_id, 1, nullptr, 0, &returned, nullptr));
    CloseHandle(h);
  }

  std::vector<huld_dev *> opened_;
  uint32_t saved_level_ = 0;
};

}  // namespace devices_test

// The back ends against the simulated storage drivers: every probe against every driver
// personality, and driver faults injected through the fault rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backends_support.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_scsi_windows.h"
#include "sim/drives/nvme_controller.h"
#include "sim/storage.h"

using namespace backends_test;

namespace {

const char kDisk0[] = "\\\\.\\PhysicalDrive0";

std::string nvme_storage(bool windows81_knob = false) {
  return std::string(R"("storage": { "adapters": [ { "id": "nvme0", "personality": "inbox_nvme", "port": 0)") +
         (windows81_knob ? R"(, "knobs": { "windows81_mode": true })" : "") +
         R"( } ], "disks": [ { "id": "disk0", "adapter": "nvme0", "physical_drive": 0,
           "nvme": { "model": "CORVANE NV100", "serial": "NV0001", "firmware": "OLDFW001" } } ] })";
}

std::string storage_with(const std::string &personality, const std::string &drive) {
  return R"("storage": { "adapters": [ { "id": "a0", "personality": ")" + personality +
         R"(", "port": 0 } ], "disks": [ { "id": "disk0", "adapter": "a0", "physical_drive": 0, )" + drive +
         " } ] }";
}

const char kAtaDrive[] = R"("ata": { "model": "CORVANE SA100", "serial": "SA0001", "firmware": "SAFW0001" })";
const char kScsiDrive[] = R"("scsi": { "vendor": "CORVANE", "product": "VDISK", "revision": "0001", "serial": "VD1" })";
const char kNvmeDrive[] = R"("nvme": { "model": "CORVANE NV100", "serial": "NV0001", "firmware": "OLDFW001" })";

class Personalities : public BackendTest {};

// Every probe of these back ends against every personality: yes where the driver serves the
// request, no where it refuses it.
TEST_F(Personalities, ProbeAnswersPerPersonality) {
  struct Row {
    const char *name;
    std::string os;
    std::string storage;
    uint32_t driver;
    int nvme, inquiry, sat, bridge;
  } rows[] = {
      {"inbox_nvme (Windows 10)", os_windows10(), nvme_storage(), WINDOWS_INBOX_NVME, 1, 1, 0, 0},
      {"inbox_nvme (Windows 8.1)", os_windows81(), nvme_storage(), WINDOWS_INBOX_NVME, 0, 1, 0, 0},
      {"inbox_nvme (8.1 mode knob)", os_windows10(), nvme_storage(true), WINDOWS_INBOX_NVME, 0, 1, 0, 0},
      {"inbox_ahci", os_windows10(), storage_with("inbox_ahci", kAtaDrive), WINDOWS_INBOX_AHCI, 0, 1, 1, 0},
      {"usb_bot + SAT", os_windows10(),
       storage_with("usb_bot", std::string(R"("bridge": "sat", )") + kAtaDrive), INBOX_USB_MASS_STORAGE, 0, 1, 1, 0},
      {"storage_spaces", os_windows10(), storage_with("storage_spaces", kScsiDrive),
       MICROSOFT_STORAGE_SPACES, 0, 1, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    load_machine(row.os, row.storage);
    huld_dev &dev = open(kDisk0, row.driver, 0);
    EXPECT_EQ(huld_nvme_windows_probe(&dev), row.nvme);
    EXPECT_EQ(huld_scsi_windows_probe(&dev), row.inquiry);
    EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), row.sat);
    EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&dev), row.bridge);
    EXPECT_EQ(sim::contract_violation_count(), 0u) << ::testing::PrintToString(sim::contract_violations());
    huld_dev_cleanup(&dev);
    have_dev_ = false;
  }
  // A path nothing answers on.
  load_machine(os_windows10(), nvme_storage());
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, 0);
  const HANDLE real = dev.conn.handle;
  dev.conn.handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(huld_nvme_windows_probe(&dev), 0);
  EXPECT_EQ(huld_scsi_windows_probe(&dev), 0);
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 0);
  EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&dev), 0);
  dev.conn.handle = real;
}

// Driver faults on the real front-ends end as failures, never as success.
TEST_F(Personalities, DriverFaultsAreFailures) {
  load_machine(os_windows10(), nvme_storage());
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, WINDOWS_NVME);
  uint8_t piece[4096] = {};
  huld_nvme_cmd down{};
  down.cdw0 = 0x11;
  down.cdw10 = 4096 / 4 - 1;
  down.data = piece;
  down.data_len = sizeof(piece);
  down.ddir = HULD_DDIR_TO_DEVICE;
  down.timeout_ms = 30000;
  huld_error err{};

  // A download the driver rejects in the return code.
  sim::FaultRule rc;
  rc.match.op = sim::FaultOp::other;
  rc.match.keys = {{"request", "firmware_download"}};
  rc.action = sim::FaultAction::custom_action("return_code", 1);
  const int rc_id = sim::add_fault(rc);
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &down), 1);
  EXPECT_EQ(err.subcode, 1u);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 1 on firmware download");
  EXPECT_GT(sim::fault_fired(rc_id), 0u);
  sim::remove_fault(rc_id);
  // 20h (power cycle required) answers an activation only: a download it ends failed.
  rc.action = sim::FaultAction::custom_action("return_code", 0x20);
  const int power_id = sim::add_fault(rc);
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &down), 1);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 32 on firmware download");
  sim::remove_fault(power_id);

  // A failed call.
  const int fail_id = sim::fail_ioctl(kDisk0, kIoctlScsiMiniport, ERROR_GEN_FAILURE);
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &down), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_GEN_FAILURE));
  sim::remove_fault(fail_id);

  // A device error in the completion of a protocol command (a vendor command the drive lists).
  sim::storage_nvme(0)->list_vendor_command(true, 0xC5);
  sim::FaultRule status;
  status.match.op = sim::FaultOp::other;
  status.match.keys = {{"nvme_opcode", sim::fault_key(0xC5)}};
  status.action = sim::FaultAction::custom_action("nvme_status", 0x0002);
  const int status_id = sim::add_fault(status);
  huld_nvme_cmd aer{};
  aer.cdw0 = 0xC5;
  aer.timeout_ms = 30000;
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &aer), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(huld_nvme_get_status(&aer), 0x02);
  sim::remove_fault(status_id);

  // A device error in the sense data of a translated command.
  sim::FaultRule cc;
  cc.match.op = sim::FaultOp::other;
  cc.match.keys = {{"cdb0", sim::fault_key(0x35)}};
  cc.action = sim::FaultAction::custom_action("scsi_status", 0x02, 0x031100);
  const int cc_id = sim::add_fault(cc);
  huld_nvme_cmd flush{};
  flush.queue = HULD_NVME_QUEUE_IO;
  flush.timeout_ms = 30000;
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &flush), 0);
  EXPECT_EQ((flush.cpl[3] >> 17) & 0x7FF, (2u << 8) | 0x81u);  // unrecovered read error
  EXPECT_GT(sim::fault_fired(cc_id), 0u);
  sim::remove_fault(cc_id);
}

}  // namespace

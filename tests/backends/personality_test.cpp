// The back ends against the simulated storage drivers: whole NVMe firmware updates through the
// in-box driver of Windows 10 and Windows 8.1, every probe against every driver personality, and
// driver faults injected through the fault rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backends_support.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_scsi_windows.h"
#include "sim/drives/fw_image.h"
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

// Revision FR (bytes 64-71) from Identify Controller through the back end.
std::string revision_via_identify(huld_dev &dev) {
  std::vector<uint8_t> id(4096);
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0x06;
  cmd.cdw10 = 1;
  cmd.data = id.data();
  cmd.data_len = 4096;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &cmd), 0) << err.message;
  return std::string(reinterpret_cast<const char *>(id.data() + 64), 8);
}

class Personalities : public BackendTest {};

std::string nvme_storage_activation(const std::string &activation) {
  return R"("storage": { "adapters": [ { "id": "nvme0", "personality": "inbox_nvme", "port": 0 } ],
           "disks": [ { "id": "disk0", "adapter": "nvme0", "physical_drive": 0,
           "nvme": { "model": "CORVANE NV100", "serial": "NV0001", "firmware": "OLDFW001",
                     "activation": ")" + activation + R"(" } } ] })";
}

// Firmware Image Download in 32 KiB pieces and Firmware Commit (replace slot 2, activate at the
// next reset), both through the "FIRMWARE" request.
void download_and_commit(huld_dev &dev, const std::string &revision) {
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, revision, 100000);
  image.resize((image.size() + 3) / 4 * 4, 0);
  const uint32_t chunk = 32 * 1024;
  for (uint32_t offset = 0; offset < image.size(); offset += chunk) {
    const uint32_t len = std::min<uint32_t>(chunk, static_cast<uint32_t>(image.size()) - offset);
    huld_nvme_cmd cmd{};
    cmd.cdw0 = 0x11;
    cmd.cdw10 = len / 4 - 1;
    cmd.cdw11 = offset / 4;
    cmd.data = image.data() + offset;
    cmd.data_len = len;
    cmd.ddir = HULD_DDIR_TO_DEVICE;
    cmd.timeout_ms = 30000;
    huld_error err{};
    ASSERT_EQ(huld_nvme_execute(&err, &dev, &cmd), 0) << err.message;
    EXPECT_EQ(cmd.cpl[3], 0u);
  }
  EXPECT_EQ(sim::storage_nvme(0)->staged_bytes(), image.size());
  huld_nvme_cmd commit{};
  commit.cdw0 = 0x10;
  commit.cdw10 = (1u << 3) | 2u;
  commit.timeout_ms = 30000;
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev, &commit), 0) << err.message;
}

TEST_F(Personalities, WholeNvmeUpdateOnWindows10) {
  load_machine(os_windows10(), nvme_storage());
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, WINDOWS_NVME);
  ASSERT_EQ(huld_nvme_windows_probe(&dev), 1);
  auto drive = sim::storage_nvme(0);
  ASSERT_TRUE(drive);
  EXPECT_EQ(revision_via_identify(dev), "OLDFW001");

  download_and_commit(dev, "NEWFW002");
  EXPECT_EQ(drive->slot_revision(2), "NEWFW002");
  EXPECT_EQ(drive->running_revision(), "OLDFW001");
  drive->controller_reset();
  EXPECT_EQ(drive->running_revision(), "NEWFW002");
  EXPECT_EQ(revision_via_identify(dev), "NEWFW002");
  EXPECT_EQ(sim::contract_violation_count(), 0u) << ::testing::PrintToString(sim::contract_violations());
}

// A drive that runs new firmware only after a power cycle: the driver answers the activation
// with 20h, which is success; a controller reset is not enough.
TEST_F(Personalities, WholeNvmeUpdateNeedingAPowerCycle) {
  load_machine(os_windows10(), nvme_storage_activation("power_cycle"));
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, WINDOWS_NVME);
  auto drive = sim::storage_nvme(0);
  ASSERT_TRUE(drive);
  download_and_commit(dev, "NEWFW003");
  auto miniport = sim::trace_entries_for(kIoctlScsiMiniport);
  ASSERT_FALSE(miniport.empty());
  EXPECT_EQ(le32(miniport.back().output, 20), 0x20u);
  drive->controller_reset();
  EXPECT_EQ(drive->running_revision(), "OLDFW001");
  drive->power_cycle();
  EXPECT_EQ(drive->running_revision(), "NEWFW003");
  EXPECT_EQ(revision_via_identify(dev), "NEWFW003");
}

// Windows 8.1: the drive is a SCSI device there; firmware travels as WRITE BUFFER, which the back
// end turns into "FIRMWARE" requests.
TEST_F(Personalities, WholeNvmeUpdateOnWindows81) {
  load_machine(os_windows81(), nvme_storage());
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, 0);
  EXPECT_EQ(huld_nvme_windows_probe(&dev), 0);
  ASSERT_EQ(huld_scsi_windows_probe(&dev), 1);
  dev.iface = WINDOWS_SCSI;
  auto drive = sim::storage_nvme(0);
  ASSERT_TRUE(drive);

  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "NEWFW081", 70000);
  image.resize((image.size() + 3) / 4 * 4, 0);
  const uint32_t chunk = 16 * 1024;
  for (uint32_t offset = 0; offset < image.size(); offset += chunk) {
    const uint32_t len = std::min<uint32_t>(chunk, static_cast<uint32_t>(image.size()) - offset);
    huld_scsi_cmd cmd{};
    cmd.cdb[0] = 0x3B;
    cmd.cdb[1] = 0x0E;
    cmd.cdb[3] = static_cast<uint8_t>(offset >> 16);
    cmd.cdb[4] = static_cast<uint8_t>(offset >> 8);
    cmd.cdb[5] = static_cast<uint8_t>(offset);
    cmd.cdb[6] = static_cast<uint8_t>(len >> 16);
    cmd.cdb[7] = static_cast<uint8_t>(len >> 8);
    cmd.cdb[8] = static_cast<uint8_t>(len);
    cmd.cdb_len = 10;
    cmd.data = image.data() + offset;
    cmd.data_len = len;
    cmd.ddir = HULD_DDIR_TO_DEVICE;
    cmd.sense_len = 32;
    cmd.timeout_ms = 30000;
    huld_error err{};
    ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0) << err.message;
  }
  EXPECT_EQ(drive->staged_bytes(), image.size());

  huld_scsi_cmd activate{};
  activate.cdb[0] = 0x3B;
  activate.cdb[1] = 0x0F;
  activate.cdb_len = 10;
  activate.sense_len = 32;
  activate.timeout_ms = 30000;
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &activate), 0) << err.message;
  drive->controller_reset();
  EXPECT_EQ(drive->running_revision(), "NEWFW081");
  for (const auto &e : sim::trace_entries_for(kIoctlScsiPassThrough)) {
    ASSERT_GT(e.input.size(), 36u);
    EXPECT_NE(e.input[36], 0x3B) << "WRITE BUFFER sent as pass-through";
  }
  EXPECT_EQ(sim::trace_entries_for(kIoctlScsiMiniport).size(), (image.size() + chunk - 1) / chunk + 1);
  EXPECT_EQ(sim::contract_violation_count(), 0u) << ::testing::PrintToString(sim::contract_violations());
}

// Seconds per request as the driver received them, read from the request trace: "FIRMWARE" from
// an NVMe command truncates, everything else here rounds up.
TEST_F(Personalities, TimeOutPerRequestFromTheTrace) {
  struct Sent {
    DWORD code;
    size_t offset;  // of the time-out field in the request
    uint32_t seconds;
  };
  auto check = [](const std::vector<Sent> &want) {
    auto entries = sim::trace_entries();
    ASSERT_EQ(entries.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(entries[i].control_code, want[i].code) << i;
      EXPECT_EQ(le32(entries[i].input, want[i].offset), want[i].seconds) << i;
      if (entries[i].timeout) {
        EXPECT_EQ(*entries[i].timeout, want[i].seconds) << i;
      }
    }
  };
  load_machine(os_windows10(), nvme_storage());
  huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, WINDOWS_NVME);
  uint8_t piece[4096] = {};
  huld_error err{};
  sim::trace_clear();
  uint32_t offset = 0;
  for (uint32_t ms : {1500u, 500u}) {
    huld_nvme_cmd down{};
    down.cdw0 = 0x11;
    down.cdw10 = 4096 / 4 - 1;
    down.cdw11 = offset;
    offset += 4096 / 4;
    down.data = piece;
    down.data_len = 4096;
    down.ddir = HULD_DDIR_TO_DEVICE;
    down.timeout_ms = ms;
    ASSERT_EQ(huld_nvme_execute(&err, &dev, &down), 0) << err.message;
    huld_nvme_cmd smart{};
    smart.cdw0 = 0x0C;  // Asynchronous Event Request: protocol command
    smart.timeout_ms = ms;
    huld_nvme_execute(&err, &dev, &smart);
    huld_nvme_cmd flush{};
    flush.queue = HULD_NVME_QUEUE_IO;
    flush.timeout_ms = ms;
    ASSERT_EQ(huld_nvme_execute(&err, &dev, &flush), 0) << err.message;
  }
  check({{kIoctlScsiMiniport, 12, 1}, {kIoctlProtocolCommand, 40, 2}, {kIoctlScsiPassThrough, 16, 2},
         {kIoctlScsiMiniport, 12, 0}, {kIoctlProtocolCommand, 40, 1}, {kIoctlScsiPassThrough, 16, 1}});
  huld_dev_cleanup(&dev);
  have_dev_ = false;

  load_machine(os_windows81(), nvme_storage());
  huld_dev &scsi = open(kDisk0, WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  sim::trace_clear();
  huld_scsi_cmd activate{};
  activate.cdb[0] = 0x3B;
  activate.cdb[1] = 0x0F;
  activate.cdb_len = 10;
  activate.sense_len = 32;
  activate.timeout_ms = 1500;
  huld_scsi_execute(&err, &scsi, &activate);  // nothing staged: the drive may refuse
  activate.timeout_ms = 500;
  huld_scsi_execute(&err, &scsi, &activate);
  check({{kIoctlScsiMiniport, 12, 2}, {kIoctlScsiMiniport, 12, 1}});
}

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

// Through the whole probe chain: an in-box NVMe disk is WINDOWS_NVME on Windows 10 and, without
// the protocol-specific property, WINDOWS_SCSI on Windows 8.1.
TEST_F(Personalities, ProbeChainFindsTheInboxNvmeRoads) {
  for (bool win81 : {false, true}) {
    SCOPED_TRACE(win81 ? "Windows 8.1" : "Windows 10");
    load_machine(win81 ? os_windows81() : os_windows10(), nvme_storage());
    huld_dev &dev = open(kDisk0, WINDOWS_INBOX_NVME, 0);
    huld_error err{};
    ASSERT_EQ(huld_dev_probe(&err, &dev), 0) << err.message;
    EXPECT_EQ(dev.iface, win81 ? static_cast<uint32_t>(WINDOWS_SCSI) : static_cast<uint32_t>(WINDOWS_NVME));
    huld_dev_cleanup(&dev);
    have_dev_ = false;
  }
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

  // A failed call.
  const int fail_id = sim::fail_ioctl(kDisk0, kIoctlScsiMiniport, ERROR_GEN_FAILURE);
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &down), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_GEN_FAILURE));
  sim::remove_fault(fail_id);

  // A device error in the completion of a protocol command.
  sim::FaultRule status;
  status.match.op = sim::FaultOp::other;
  status.match.keys = {{"nvme_opcode", sim::fault_key(0x0C)}};
  status.action = sim::FaultAction::custom_action("nvme_status", 0x0002);
  const int status_id = sim::add_fault(status);
  huld_nvme_cmd aer{};
  aer.cdw0 = 0x0C;
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

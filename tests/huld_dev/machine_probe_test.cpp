// Probes, the SAT road of the ATA entry point and the USB hub serial check on a simulated machine
// with a drive behind every route.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "sim/drives/ata_drive.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"
#include "tests/support/test_machine.h"

namespace {

using testsupport::kScsiPassThrough;

// A drive behind every route, by physical-drive number: 0 NVMe, 1 ATA behind a USB SAT bridge,
// 2 ATA on AHCI, 3 a SCSI target behind USB.
std::string machine(const nlohmann::json &overlay = nullptr) { return testsupport::test_machine("four_routes", overlay).dump(); }

class OnMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::register_storage_section();
    sim::load_machine_json(machine());
    huld_environment_initialize();
  }
  void TearDown() override {
    huld_log_level = 0;
    for (huld_dev *dev : records_) {
      huld_dev_cleanup(dev);
      delete dev;
    }
    sim::reset_machine();
    huld_environment_initialize();
  }
  // A disk record as the disk enumeration leaves it: prepared, named, closed.
  huld_dev &disk(uint32_t number, uint32_t driver, uint32_t iface = 0) {
    huld_dev_enumeration e{};
    auto *dev = new huld_dev(*huld_dev_enumeration_push_back(&e));
    huld_dev_release(&e);
    snprintf(dev->name, sizeof(dev->name), "disk%u", number);
    snprintf(dev->conn.path, sizeof(dev->conn.path), "\\\\.\\PhysicalDrive%u", number);
    dev->conn.type = CONN_DISK;
    dev->conn.driver = driver;
    dev->disk_number = number;
    dev->iface = iface;
    records_.push_back(dev);
    return *dev;
  }
  std::vector<huld_dev *> records_;
};

// Fails the next SCSI pass-through to a disk with the given action.
void fault_next_pass_through(uint32_t disk, sim::FaultAction action) {
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.path = "\\\\.\\PhysicalDrive" + std::to_string(disk);
  rule.match.control_code = kScsiPassThrough;
  rule.match.count = sim::FaultCount::at(1);
  rule.action = std::move(action);
  sim::add_fault(rule);
}

std::string g_lines;
int capture(const char *text) {
  g_lines += text;
  return 0;
}

// Starts capturing the log at level 30.
void listen() {
  static bool added = false;
  if (!added) huld_log_add_sink(capture);
  added = true;
  g_lines.clear();
  huld_log_level = HULD_LOG_DEBUG;
}

TEST_F(OnMachine, ProbeChainFindsEachRouteAndLogsIt) {
  listen();
  huld_log_level = 0;
  huld_error err{};
  const struct {
    uint32_t disk, driver, flags, iface;
    const char *line;
  } cases[] = {
      {0, WINDOWS_INBOX_NVME, 0, WINDOWS_NVME, "detected WINDOWS_NVME\n"},
      {1, INBOX_USB_MASS_STORAGE, 0, WINDOWS_SCSI_SAT_ATA, "detected WINDOWS_SCSI_SAT_ATA\n"},
      {3, INBOX_USB_MASS_STORAGE, 0, WINDOWS_SCSI, "detected WINDOWS_SCSI\n"},
      // SATA on the in-box AHCI driver answers ATA pass-through, unless SAT is asked first.
      {2, WINDOWS_INBOX_AHCI, 0, WINDOWS_ATA, "detected WINDOWS_ATA\n"},
      {2, WINDOWS_INBOX_AHCI, HULD_PROBE_SAT_FIRST, WINDOWS_SCSI_SAT_ATA, "detected WINDOWS_SCSI_SAT_ATA\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.disk);
    huld_dev &dev = disk(c.disk, c.driver);
    listen();
    EXPECT_EQ(huld_dev_probe_flags(&err, &dev, c.flags), 0) << err.message;
    huld_log_level = 0;
    EXPECT_EQ(dev.iface, c.iface);
    EXPECT_EQ(huld_dev_is_open(&dev), 1);
    const std::string first = "probe device disk" + std::to_string(c.disk) + " (flags: " +
                              std::to_string(c.flags) + "h)\n";
    EXPECT_EQ(g_lines.rfind(first, 0), 0u) << g_lines;
    EXPECT_EQ(g_lines.size() - g_lines.rfind(c.line), strlen(c.line)) << g_lines;  // the last line
  }
}

TEST_F(OnMachine, AtaProbeAnswersForAnAtaDevice) {
  huld_error err{};
  huld_dev &usb = disk(1, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA);
  ASSERT_EQ(huld_dev_open(&err, &usb), 0);
  sim::trace_clear();
  EXPECT_EQ(huld_ata_probe(&usb), 1);
  const auto sent = sim::trace_entries_for(kScsiPassThrough);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<uint8_t> &spt = sent[0].input;  // CDB at 36, time-out (seconds) at 16
  EXPECT_EQ(spt.at(36), 0x85);
  EXPECT_EQ(spt.at(36 + 14), 0xEC);
  EXPECT_EQ(spt.at(16), 1);  // 500 ms, rounded up

  // The device rejects IDENTIFY DEVICE: the ERROR register says so.
  sim::storage_ata(1)->add_fault(sim::AtaFaultRule{0xEC, std::nullopt, {1, 1}, 0x51, 0x04, std::nullopt, false});
  listen();
  EXPECT_EQ(huld_ata_probe(&usb), 0);
  huld_log_level = 0;
  EXPECT_EQ(g_lines.size() - g_lines.rfind("ata identify failed - device error\n"), 35u) << g_lines;

  // A SCSI device does not take the ATA command.
  huld_dev &scsi = disk(3, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA);
  ASSERT_EQ(huld_dev_open(&err, &scsi), 0);
  EXPECT_EQ(huld_ata_probe(&scsi), 0);

  // The command does not get through: the error record is printed after the line.
  sim::fail_ioctl("\\\\.\\PhysicalDrive1", kScsiPassThrough, ERROR_IO_DEVICE, sim::FaultCount::at(1));
  listen();
  EXPECT_EQ(huld_ata_probe(&usb), 0);
  huld_log_level = 0;
  EXPECT_NE(g_lines.find("ata identify failed\n"), std::string::npos) << g_lines;
  EXPECT_NE(g_lines.find("huld\\windows\\huld_scsi_windows"), std::string::npos) << g_lines;
}

TEST_F(OnMachine, ScsiProbeReadsTheDeviceTypeOnlyFromDataThatArrived) {
  huld_error err{};
  huld_dev &scsi = disk(3, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI);
  ASSERT_EQ(huld_dev_open(&err, &scsi), 0);
  sim::trace_clear();
  EXPECT_EQ(huld_scsi_probe(&scsi), 1);
  const auto sent = sim::trace_entries_for(kScsiPassThrough);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<uint8_t> cdb(sent[0].input.begin() + 36, sent[0].input.begin() + 42);
  EXPECT_EQ(cdb, (std::vector<uint8_t>{0x12, 0x00, 0x00, 0x00, 0x05, 0x00}));

  huld_dev &usb = disk(1, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA);
  ASSERT_EQ(huld_dev_open(&err, &usb), 0);
  EXPECT_EQ(huld_scsi_probe(&usb), 1);

  // INQUIRY rejected with CHECK CONDITION: the zeroed buffer is no disk.
  fault_next_pass_through(3, sim::FaultAction::custom_action("scsi_status", 0x02, 0x052400));
  listen();
  EXPECT_EQ(huld_scsi_probe(&scsi), 0);
  huld_log_level = 0;
  EXPECT_NE(g_lines.find("scsi inquiry failed\n"), std::string::npos) << g_lines;
  // GOOD status but no data.
  fault_next_pass_through(3, sim::FaultAction::custom_action("short_transfer", 0));
  EXPECT_EQ(huld_scsi_probe(&scsi), 0);
  // A failed driver call.
  sim::fail_ioctl("\\\\.\\PhysicalDrive3", kScsiPassThrough, ERROR_IO_DEVICE, sim::FaultCount::at(1));
  EXPECT_EQ(huld_scsi_probe(&scsi), 0);
  EXPECT_EQ(huld_scsi_probe(&scsi), 1);
}

TEST_F(OnMachine, ScsiProbeAcceptsTheDeviceTypesTheSystemServes) {
  const struct {
    uint8_t type;
    int answer;
  } cases[] = {{0x00, 1}, {0x01, 0}, {0x05, 0}, {0x0C, 1}, {0x0D, 1}, {0x0E, 1},
               {0x0F, 0}, {0x11, 1}, {0x12, 1}, {0x13, 0}, {0x14, 1}, {0x1E, 1}, {0x1F, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    sim::reset_machine();
    sim::load_machine_json(machine({{"storage", {{"disks", {{{"id", "scsi0"}, {"scsi", {{"peripheral_type", c.type}}}}}}}}}));
    huld_dev &dev = disk(3, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI);
    huld_error err{};
    ASSERT_EQ(huld_dev_open(&err, &dev), 0);
    EXPECT_EQ(huld_scsi_probe(&dev), c.answer);
    huld_dev_cleanup(&dev);
  }
}

TEST_F(OnMachine, SatRoadDecodesTheRegistersOfAFailedCommand) {
  huld_error err{};
  huld_dev &usb = disk(1, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA);
  ASSERT_EQ(huld_dev_open(&err, &usb), 0);
  uint8_t buffer[512] = {};
  huld_ata_cmd cmd{};
  cmd.protocol = 4;
  cmd.t_length = 2;
  cmd.xfer_type = 1;
  cmd.count = 1;
  cmd.command = 0xEC;
  cmd.data = buffer;
  cmd.data_len = sizeof(buffer);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  cmd.status = 0x12;
  cmd.error = 0x34;
  EXPECT_EQ(huld_ata_execute(&err, &usb, &cmd), 0) << err.message;
  EXPECT_EQ(cmd.status, 0x12);  // good status, no sense: left as they were
  EXPECT_EQ(cmd.error, 0x34);
  EXPECT_NE(buffer[54] | buffer[55], 0);

  sim::storage_ata(1)->add_fault(sim::AtaFaultRule{0xEC, std::nullopt, {1, 1}, 0x51, 0x04, std::nullopt, false});
  EXPECT_EQ(huld_ata_execute(&err, &usb, &cmd), 0) << err.message;  // the command sets judge
  EXPECT_EQ(cmd.status, 0x51);
  EXPECT_EQ(cmd.error, 0x04);
}

TEST_F(OnMachine, CsmiRecordNeverGetsAPassThroughOnItsPort) {
  // A CSMI end device is reached through its port's handle; the drive at 0:0:0 of that port is
  // another one.
  huld_dev_enumeration e{};
  auto *dev = new huld_dev(*huld_dev_enumeration_push_back(&e));
  huld_dev_release(&e);
  records_.push_back(dev);
  strcpy(dev->name, "csmi2.phy3");
  strcpy(dev->conn.path, "\\\\.\\Scsi2:");
  dev->conn.type = CONN_CSMI;
  dev->conn.driver = WINDOWS_INBOX_AHCI;
  huld_error err{};
  sim::trace_clear();
  EXPECT_EQ(huld_dev_probe_flags(&err, dev, HULD_PROBE_SAT_FIRST), 1);
  EXPECT_EQ(err.code, HULD_ERROR_NO_INTERFACE);
  EXPECT_EQ(sim::trace_entries_for(kScsiPassThrough).size(), 0u);

  uint8_t buffer[512] = {};
  huld_scsi_cmd scsi{};
  scsi.cdb[0] = 0x12;
  scsi.cdb[4] = 36;
  scsi.cdb_len = 6;
  scsi.data = buffer;
  scsi.data_len = 36;
  scsi.ddir = HULD_DDIR_FROM_DEVICE;
  scsi.sense_len = 32;
  for (uint32_t iface : {WINDOWS_ATA, WINDOWS_NVME_INTEL_RST, WINDOWS_SCSI}) {
    dev->iface = iface;
    EXPECT_EQ(huld_scsi_execute(&err, dev, &scsi), 1) << iface;
    EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(err.subcode, iface);
    EXPECT_STREQ(err.message, "scsi execute not supported on device csmi2.phy3");
  }
  dev->iface = WINDOWS_SCSI_SAT_ATA;
  huld_ata_cmd ata{};
  ata.command = 0xEC;
  EXPECT_EQ(huld_ata_execute(&err, dev, &ata), 1);
  EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
  EXPECT_STREQ(err.message, "interface is not supported by ata execute");
  dev->iface = WINDOWS_SCSI_ASMEDIA_NVME;
  huld_nvme_cmd nvme{};
  EXPECT_EQ(huld_nvme_execute(&err, dev, &nvme), 1);
  EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
  EXPECT_STREQ(err.message, "nvme execute not supported on device csmi2.phy3");
  EXPECT_EQ(sim::trace_entries_for(kScsiPassThrough).size(), 0u);
}

TEST_F(OnMachine, HubSerialCheckAsksTheDeviceForItsSerial) {
  huld_dev hub{};
  hub.iface = WINDOWS_USB_HUB;
  hub.conn.type = CONN_USB_HUB;
  hub.usb_entry_count = 2;
  strcpy(hub.usb_entries[1].serial, "43565853455230303031");  // "CVXSER0001"
  huld_dev &scsi = disk(3, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI);
  sim::trace_clear();
  EXPECT_EQ(huld_dev_is_related(&hub, &scsi), 1);
  EXPECT_EQ(huld_dev_is_related(&scsi, &hub), 1);
  const auto sent = sim::trace_entries_for(kScsiPassThrough);
  ASSERT_EQ(sent.size(), 2u);
  const std::vector<uint8_t> cdb(sent[0].input.begin() + 36, sent[0].input.begin() + 42);
  EXPECT_EQ(cdb, (std::vector<uint8_t>{0x12, 0x01, 0x80, 0x02, 0x00, 0x00}));
  EXPECT_EQ(huld_dev_is_open(&scsi), 0);  // the caller's record is left as it was

  strcpy(hub.usb_entries[1].serial, "43565853455230303032");
  EXPECT_EQ(huld_dev_is_related(&hub, &scsi), 0);

  // A device that reports no serial matches no entry, not even one without a serial.
  hub.usb_entries[1].serial[0] = '\0';
  fault_next_pass_through(3, sim::FaultAction::custom_action("zero_data"));
  EXPECT_EQ(huld_dev_usb_hub_has_serial_of(&hub, &scsi), 0);
  // A bad SCSI status answers no.
  strcpy(hub.usb_entries[1].serial, "43565853455230303031");
  fault_next_pass_through(3, sim::FaultAction::custom_action("scsi_status", 0x02, 0x052400));
  EXPECT_EQ(huld_dev_usb_hub_has_serial_of(&hub, &scsi), 0);
  EXPECT_EQ(huld_dev_usb_hub_has_serial_of(&hub, &scsi), 1);
  // Only a hub record has entries to ask.
  hub.iface = WINDOWS_SCSI;
  EXPECT_EQ(huld_dev_usb_hub_has_serial_of(&hub, &scsi), 0);
}

}  // namespace

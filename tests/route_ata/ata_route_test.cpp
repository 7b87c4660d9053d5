// The ATA route on a simulated machine: ATA pass-through on the in-box AHCI driver, the storage
// firmware road, the SAT route for security commands, CSMI STP to drives behind an RST port and a
// SAS HBA, and the CSMI requests those ports answer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/windows/huld_ata_windows.h"
#include "platform/win32.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/fw_image.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "vornata/ata.h"

namespace {

constexpr DWORD kAtaPassThrough = 0x0004D02C;
constexpr DWORD kScsiPassThrough = 0x0004D004;
constexpr DWORD kMiniport = 0x0004D008;
constexpr DWORD kFwDownload = 0x002DDC04;

std::string machine(const char *os) {
  return std::string(R"({ "name": "ata-route", "os": )") + os + R"(,
  "storage": {
    "drives": [
      { "id": "A", "ata": { "model": "SIM SATA A", "serial": "SA0001", "firmware": "SIM10001" } },
      { "id": "D", "ata": { "model": "SIM SATA D", "serial": "SD0004", "firmware": "SIM10001" } },
      { "id": "M1", "ata": { "model": "SIM SATA M1", "serial": "SM0007", "firmware": "SIM10001" } },
      { "id": "S1", "ata": { "model": "SIM SATA S1", "serial": "SS1021", "firmware": "SIM10001" } },
      { "id": "S2", "scsi": { "vendor": "SIM", "product": "SIM SAS S2", "revision": "0001", "serial": "SS2022" } }
    ],
    "adapters": [
      { "id": "ahci", "personality": "inbox_ahci", "port": 0 },
      { "id": "rst", "personality": "intel_rst", "port": 1, "csmi": {
          "driver": { "name": "simrst", "description": "Sim RAID CSMI driver" },
          "phys": [ { "attached": "end_device", "sas_address": "50 01 03 AA 00 00 00 00", "port_identifier": 0,
                      "protocol": "sata", "drive": "D" },
                    { "attached": "none" },
                    { "attached": "end_device", "sas_address": "50 01 02 AA 00 00 00 02", "port_identifier": 2,
                      "protocol": "sata", "drive": "M1" } ],
          "raid": { "max_drives_per_set": 4, "sets": [
            { "drives": [ { "drive": "M1", "sas_address": "50 01 02 AA 00 00 00 02" } ] } ] } } },
      { "id": "sas", "personality": "sas", "port": 2, "csmi": {
          "driver": { "name": "simsas", "description": "Sim SAS HBA CSMI driver" },
          "phys": [ { "attached": "end_device", "sas_address": "50 0A 0B 01 00 00 00 00", "port_identifier": 0,
                      "protocol": "sata", "drive": "S1" },
                    { "attached": "end_device", "sas_address": "50 0A 0B 02 00 00 00 00", "port_identifier": 1,
                      "protocol": "ssp", "drive": "S2" } ],
          "raid": { "max_drives_per_set": 0, "sets": [] } } }
    ],
    "disks": [
      { "id": "A", "adapter": "ahci", "drive": "A", "physical_drive": 0, "address": { "path_id": 0, "target_id": 0, "lun": 0 } },
      { "id": "D", "adapter": "rst", "drive": "D", "physical_drive": 1, "address": { "path_id": 0, "target_id": 0, "lun": 0 } },
      { "id": "S2", "adapter": "sas", "drive": "S2", "physical_drive": 2, "address": { "path_id": 0, "target_id": 0, "lun": 0 } },
      { "id": "S1", "adapter": "sas", "drive": "S1", "physical_drive": 3, "address": { "path_id": 0, "target_id": 1, "lun": 0 } }
    ] } })";
}

const char *kWindows10 = R"({ "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" })";
const char *kWindows81 = R"({ "major": 6, "minor": 3, "build": 9600, "product_type": "workstation" })";

const uint8_t kAddressD[8] = {0x50, 0x01, 0x03, 0xAA, 0, 0, 0, 0};
const uint8_t kAddressM1[8] = {0x50, 0x01, 0x02, 0xAA, 0, 0, 0, 2};

class AtaRoute : public ::testing::Test {
 protected:
  void SetUp() override { load(kWindows10); }
  void TearDown() override {
    for (huld_dev *d : records_) {
      huld_dev_cleanup(d);
      delete d;
    }
    sim::reset_machine();
    huld_environment_initialize();
  }
  void load(const char *os) {
    sim::register_storage_section();
    sim::load_machine_json(machine(os));
    huld_environment_initialize();
  }
  huld_dev &record(const std::string &path, uint32_t type, uint32_t driver, uint32_t iface) {
    huld_dev_enumeration e{};
    auto *dev = new huld_dev(*huld_dev_enumeration_push_back(&e));
    huld_dev_release(&e);
    records_.push_back(dev);
    snprintf(dev->name, sizeof(dev->name), "rec%zu", records_.size());
    snprintf(dev->conn.path, sizeof(dev->conn.path), "%s", path.c_str());
    dev->conn.type = type;
    dev->conn.driver = driver;
    dev->iface = iface;
    return *dev;
  }
  huld_dev &disk(uint32_t n, uint32_t driver) {
    return record("\\\\.\\PhysicalDrive" + std::to_string(n), CONN_DISK, driver, WINDOWS_ATA);
  }
  huld_dev &csmi(const char *port, uint8_t phy, const uint8_t address[8]) {
    huld_dev &dev = record(port, CONN_CSMI, INTEL_RST, WINDOWS_ATA);
    dev.csmi_phy_id = phy;
    dev.csmi_port_id = phy;
    std::memcpy(dev.csmi_sas_address, address, 8);
    return dev;
  }
  std::vector<huld_dev *> records_;
};

std::string model_of(const uint8_t *id) {
  std::string s;
  for (int i = 54; i < 94; i += 2) s += {static_cast<char>(id[i + 1]), static_cast<char>(id[i])};
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

// Sends DOWNLOAD MICROCODE 0Eh in two pieces and then 0Fh.
int download_and_activate(huld_error *err, huld_dev &dev, const std::vector<uint8_t> &image) {
  const uint16_t blocks = static_cast<uint16_t>(image.size() / 512);
  auto *data = const_cast<uint8_t *>(image.data());
  if (vornata_execute_download_microcode(err, &dev, 0x0E, 8, 0, data, 8 * 512)) return 1;
  if (vornata_execute_download_microcode(err, &dev, 0x0E, blocks - 8, 8, data + 8 * 512, (blocks - 8) * 512u)) return 1;
  return vornata_execute_download_microcode(err, &dev, 0x0F, 0, 0, nullptr, 0);
}

std::vector<uint8_t> image_for(const char *revision) {
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, revision, 9000);
  image.resize((image.size() + 511) / 512 * 512, 0);
  return image;
}

TEST_F(AtaRoute, AhciProbesAsAtaAndCarriesTheRegisters) {
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  dev.iface = IFACE_NONE;
  huld_error err{};
  ASSERT_EQ(huld_dev_probe(&err, &dev), 0) << err.message;
  EXPECT_EQ(dev.iface, WINDOWS_ATA);

  // READ LOG DMA EXT of the IDENTIFY DEVICE data log: 48-bit, DMA, data in.
  uint8_t log[512] = {};
  huld_ata_cmd cmd{};
  cmd.protocol = 6;
  cmd.is_ext = 1;
  cmd.command = 0x47;
  cmd.count = 1;
  cmd.lba = 0x30;
  cmd.data = log;
  cmd.data_len = sizeof(log);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  sim::trace_clear();
  ASSERT_EQ(huld_ata_windows_execute(&err, &dev, &cmd), 0) << err.message;
  const auto sent = sim::trace_entries_for(kAtaPassThrough);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].input[2], 0x1B);
  EXPECT_EQ(sent[0].input[12], 30);
  EXPECT_EQ(cmd.status, 0x50);
  EXPECT_NE(log[0], 0);

  // A device error stands in the registers; a failed call is an error record.
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.control_code = kAtaPassThrough;
  rule.match.count = sim::FaultCount::at(1);
  rule.action = sim::FaultAction::custom_action("ata_status", 0x51, 0x04);
  sim::add_fault(rule);
  EXPECT_EQ(huld_ata_windows_probe(&dev), 0) << "51h/04h is no answer";
  rule.action = sim::FaultAction::fail_with(ERROR_IO_DEVICE);
  sim::add_fault(rule);
  EXPECT_EQ(huld_ata_windows_execute(&err, &dev, &cmd), 1);
  EXPECT_EQ(err.code, HULD_ERROR_SYSTEM);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing ata pass through DeviceIoControl");
}

TEST_F(AtaRoute, SecurityAndSanitizeGoThroughSat) {
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  for (uint8_t command : {0xB4, 0xF5}) {  // SANITIZE DEVICE, SECURITY FREEZE LOCK
    huld_ata_cmd cmd{};
    cmd.protocol = 3;
    cmd.command = command;
    cmd.feature = command == 0xB4 ? 0x0000 : 0;  // sanitize status
    cmd.timeout_ms = 1000;
    sim::trace_clear();
    huld_ata_windows_execute(&err, &dev, &cmd);
    EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 0u);
    ASSERT_EQ(sim::trace_entries_for(kScsiPassThrough).size(), 1u);
    EXPECT_EQ(sim::trace_entries_for(kScsiPassThrough)[0].input[36], 0x85);
  }
}

// Windows 10: the image travels as storage firmware requests into the slot active before; the
// new revision runs only after the activation.
TEST_F(AtaRoute, StorageFirmwareRoadUpdatesTheDrive) {
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  const auto image = image_for("SIM20002");
  sim::trace_clear();
  const uint16_t blocks = static_cast<uint16_t>(image.size() / 512);
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0E, 1, 0, const_cast<uint8_t *>(image.data()), 512), 0);
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0E, blocks - 1, 1,
                                               const_cast<uint8_t *>(image.data()) + 512, (blocks - 1) * 512u), 0)
      << err.message;
  const auto pieces = sim::trace_entries_for(kFwDownload);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1].input[16] | pieces[1].input[17] << 8, 512) << "block offset 1 is byte offset 512";
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 0u);
  const auto ata = sim::storage_ata(0);
  EXPECT_EQ(ata->running_revision(), "SIM10001");
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0F, 0, 0, nullptr, 0), 0) << err.message;
  EXPECT_EQ(ata->running_revision(), "SIM20002");

  // A refused piece is an error record, never success.
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.control_code = kFwDownload;
  rule.action = sim::FaultAction::fail_with(ERROR_IO_DEVICE);
  sim::add_fault(rule);
  EXPECT_EQ(download_and_activate(&err, dev, image_for("SIM30003")), 1);
  EXPECT_STREQ(err.message, "error executing IOCTL_STORAGE_FIRMWARE_DOWNLOAD");
  EXPECT_EQ(ata->running_revision(), "SIM20002");
}

TEST_F(AtaRoute, Windows81SendsMicrocodeThroughAtaPassThrough) {
  sim::reset_machine();
  load(kWindows81);
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  sim::trace_clear();
  ASSERT_EQ(download_and_activate(&err, dev, image_for("SIM20002")), 0) << err.message;
  EXPECT_EQ(sim::trace_entries_for(kFwDownload).size(), 0u);
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 3u);
  EXPECT_EQ(sim::storage_ata(0)->running_revision(), "SIM20002");
}

// CSMI STP reaches the end device by its SAS address, whatever sits at 0:0:0 of the port.
TEST_F(AtaRoute, CsmiStpIdentifiesAndUpdatesTheAddressedDrive) {
  huld_dev &m1 = csmi("\\\\.\\Scsi1:", 2, kAddressM1);
  m1.iface = IFACE_NONE;
  huld_error err{};
  ASSERT_EQ(huld_dev_probe(&err, &m1), 0) << err.message;
  EXPECT_EQ(m1.iface, WINDOWS_ATA);
  uint8_t id[512];
  huld_ata_cmd cmd;
  huld_ata_fill_probe_identify(&cmd, id);
  sim::trace_clear();
  ASSERT_EQ(huld_ata_execute(&err, &m1, &cmd), 0) << err.message;
  EXPECT_EQ(model_of(id), "SIM SATA M1");
  EXPECT_EQ(cmd.status, 0x50);
  const auto sent = sim::trace_entries_for(kMiniport);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].input[12], 0) << "500 ms is 0 s";
  EXPECT_EQ(sent[0].input[64], 0x11);

  const auto image = image_for("SIM20002");
  ASSERT_EQ(download_and_activate(&err, m1, image), 0) << err.message;
  EXPECT_EQ(sim::storage_drive("M1").ata->running_revision(), "SIM20002");
  EXPECT_EQ(sim::storage_drive("D").ata->running_revision(), "SIM10001");
}

TEST_F(AtaRoute, CsmiFailuresEndAsErrorRecords) {
  huld_error err{};
  uint8_t id[512];
  huld_ata_cmd cmd;
  // Nothing SATA at the address: ReturnCode 1.
  const uint8_t nowhere[8] = {0x50, 0x01, 0x03, 0xAA, 0, 0, 0, 9};
  huld_dev &lost = csmi("\\\\.\\Scsi1:", 1, nowhere);
  ASSERT_EQ(huld_dev_open(&err, &lost), 0);
  huld_ata_fill_probe_identify(&cmd, id);
  EXPECT_EQ(execute_stp_passthru(&err, &lost, &cmd), 1);
  EXPECT_EQ(err.subcode, 1u);
  EXPECT_STREQ(err.message, "non-zero return code executing stp passthru DeviceIoControl");
  EXPECT_EQ(huld_ata_windows_probe_csmi(&lost), 0);

  // A DMA read carries its direction (a bare 20h would move nothing).
  huld_dev &d = csmi("\\\\.\\Scsi1:", 0, kAddressD);
  ASSERT_EQ(huld_dev_open(&err, &d), 0);
  uint8_t log[512] = {};
  cmd = {};
  cmd.protocol = 6;
  cmd.is_ext = 1;
  cmd.command = 0x47;
  cmd.count = 1;
  cmd.lba = 0x30;
  cmd.data = log;
  cmd.data_len = sizeof(log);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  sim::trace_clear();
  ASSERT_EQ(execute_stp_passthru(&err, &d, &cmd), 0) << err.message;
  EXPECT_EQ(sim::trace_entries_for(kMiniport)[0].input[64], 0x21);
  EXPECT_NE(log[0], 0);

  // A failed call, and a device error that stays in the registers.
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.control_code = kMiniport;
  rule.match.count = sim::FaultCount::at(1);
  rule.action = sim::FaultAction::fail_with(ERROR_IO_DEVICE);
  sim::add_fault(rule);
  huld_ata_fill_probe_identify(&cmd, id);
  EXPECT_EQ(execute_stp_passthru(&err, &d, &cmd), 1);
  EXPECT_STREQ(err.message, "error executing stp passthru DeviceIoControl");
  rule.action = sim::FaultAction::custom_action("ata_status", 0x51, 0x04);
  sim::add_fault(rule);
  EXPECT_EQ(execute_stp_passthru(&err, &d, &cmd), 0);
  EXPECT_EQ(cmd.status, 0x51);
  EXPECT_EQ(cmd.error, 0x04);

  // Never an ATA pass-through on the port for a CSMI record.
  sim::trace_clear();
  EXPECT_EQ(huld_ata_windows_execute(&err, &d, &cmd), 1);
  EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(sim::trace_entries().empty());

  // CSMI on a LU handle is refused.
  huld_dev &on_disk = csmi("\\\\.\\PhysicalDrive1", 0, kAddressD);
  ASSERT_EQ(huld_dev_open(&err, &on_disk), 0);
  EXPECT_EQ(execute_stp_passthru(&err, &on_disk, &cmd), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
}

// The SAS HBA: a SATA LU answers through SAT (and is no ATA pass-through target), the SAS LU is
// a SCSI target; over CSMI only the SATA end device answers STP.
TEST_F(AtaRoute, SasHbaLusAndEndDevices) {
  huld_error err{};
  huld_dev &s1 = disk(3, WINDOWS_INBOX_AHCI);
  s1.iface = IFACE_NONE;
  ASSERT_EQ(huld_dev_probe(&err, &s1), 0) << err.message;
  EXPECT_EQ(s1.iface, WINDOWS_SCSI_SAT_ATA);
  huld_dev &s2 = disk(2, WINDOWS_INBOX_AHCI);
  s2.iface = IFACE_NONE;
  ASSERT_EQ(huld_dev_probe(&err, &s2), 0) << err.message;
  EXPECT_EQ(s2.iface, WINDOWS_SCSI);

  const uint8_t sata[8] = {0x50, 0x0A, 0x0B, 0x01, 0, 0, 0, 0};
  const uint8_t ssp[8] = {0x50, 0x0A, 0x0B, 0x02, 0, 0, 0, 0};
  huld_dev &c1 = csmi("\\\\.\\Scsi2:", 0, sata);
  huld_dev &c2 = csmi("\\\\.\\Scsi2:", 1, ssp);
  c1.iface = c2.iface = IFACE_NONE;
  EXPECT_EQ(huld_dev_probe(&err, &c1), 0);
  EXPECT_EQ(c1.iface, WINDOWS_ATA);
  EXPECT_EQ(huld_dev_probe(&err, &c2), 1) << "an SSP end device is no ATA drive";
}

// The enumeration requests of a CSMI port, decoded from the answer bytes.
TEST_F(AtaRoute, CsmiPortAnswersItsEnumerationRequests) {
  HANDLE port = CreateFileA("\\\\.\\Scsi1:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  auto ask = [port](const char *signature, uint32_t code, uint32_t size, uint32_t index = 0) {
    std::vector<uint8_t> b(size, 0);
    b[0] = 28;
    std::memcpy(&b[4], signature, 8);
    b[12] = 60;
    b[16] = static_cast<uint8_t>(code);
    const uint32_t length = size - 28;
    std::memcpy(&b[24], &length, 4);
    std::memcpy(&b[28], &index, 4);
    DWORD got = 0;
    EXPECT_TRUE(DeviceIoControl(port, 0x0004D008, b.data(), size, b.data(), size, &got, nullptr));
    return b;
  };
  const auto info = ask("CSMIALL\0", 1, 204);
  EXPECT_STREQ(reinterpret_cast<const char *>(&info[28]), "simrst");
  const auto phys = ask("CSMISAS\0", 20, 2080);
  EXPECT_EQ(phys[20], 0);
  ASSERT_EQ(phys[28], 3);
  EXPECT_EQ(phys[32 + 64 * 2 + 36], 0x10);
  EXPECT_EQ(std::memcmp(&phys[32 + 64 * 2 + 48], kAddressM1, 8), 0);
  EXPECT_EQ(phys[32 + 64 * 2 + 28], 2);
  EXPECT_EQ(phys[32 + 64 * 1 + 36], 0);
  const auto raid = ask("CSMIARY\0", 10, 128);
  EXPECT_EQ(raid[28], 1);
  EXPECT_EQ(raid[32], 4);
  const auto set = ask("CSMIARY\0", 11, 172 + 136 * 4);
  EXPECT_EQ(set[20], 0);
  ASSERT_EQ(set[43], 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&set[64]), 11), "SIM SATA M1");
  EXPECT_EQ(std::memcmp(&set[64 + 88], kAddressM1, 8), 0);
  EXPECT_NE(ask("CSMIARY\0", 11, 172 + 136 * 4, 1)[20], 0) << "no second set";
  CloseHandle(port);
}

}  // namespace

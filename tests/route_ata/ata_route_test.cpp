// The ATA route on a simulated machine: ATA pass-through on the in-box AHCI driver, the storage
// firmware road, the SAT route for security commands, CSMI STP to drives behind an RST port and a
// SAS HBA, and the CSMI requests those ports answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
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
#include "support/resource_check.h"
#include "tests/support/control_codes.h"
#include "vornata/ata.h"

namespace {

constexpr DWORD kAtaPassThrough = 0x0004D02C;
using testsupport::kScsiPassThrough;
constexpr DWORD kMiniport = 0x0004D008;
constexpr DWORD kFwDownload = 0x002DDC04;
constexpr DWORD kFwActivate = 0x002DDC08;

// The reference machine, on Windows 8.1 or with the SAS HBA's LUs swapped (S1 at 0:0:0) when asked.
void load_ref1(bool windows81, bool swap_sas = false) {
  std::ifstream f(sim::machine_file_path("ref1"));
  nlohmann::json ref = nlohmann::json::parse(f);
  if (windows81) ref["os"] = {{"major", 6}, {"minor", 3}, {"build", 9600}, {"product_type", "workstation"}};
  for (auto &disk : ref["storage"]["disks"]) {
    if (swap_sas && disk["id"] == "S1") disk["address"]["target_id"] = 0;
    if (swap_sas && disk["id"] == "S2") disk["address"]["target_id"] = 1;
  }
  sim::register_storage_section();
  sim::load_machine_json(ref.dump());
  huld_environment_initialize();
}

const uint8_t kAddressD[8] = {0x50, 0x01, 0x03, 0xAA, 0, 0, 0, 0};
const uint8_t kAddressM1[8] = {0x50, 0x01, 0x02, 0xAA, 0, 0, 0, 2};

class AtaRoute : public ::testing::Test {
 protected:
  void SetUp() override { load_ref1(false); }
  void TearDown() override {
    for (huld_dev *d : records_) {
      huld_dev_cleanup(d);
      delete d;
    }
    sim::reset_machine();
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

// READ LOG DMA EXT (a DMA command) and IDENTIFY DEVICE (PIO) through every ATA road: ATA
// pass-through on the in-box AHCI driver and behind Intel RST, CSMI STP on the RST port and the SAS
// HBA, SAT behind the USB bridge. The drives abort data moved in the other protocol, so each road
// must tell the driver the command's own.
TEST_F(AtaRoute, DmaAndPioCommandsOnEveryRoad) {
  const uint8_t s1[8] = {0x50, 0x0A, 0x0B, 0x01, 0, 0, 0, 0};
  huld_dev *roads[] = {&disk(0, WINDOWS_INBOX_AHCI), &disk(4, INTEL_RST), &csmi("\\\\.\\Scsi5:", 0, kAddressD),
                       &csmi("\\\\.\\Scsi11:", 0, s1),
                       &record("\\\\.\\PhysicalDrive9", CONN_DISK, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA)};
  for (huld_dev *dev : roads) {
    SCOPED_TRACE(dev->conn.path);
    huld_error err{};
    ASSERT_EQ(huld_dev_open(&err, dev), 0) << err.message;
    uint8_t page[512] = {};
    ASSERT_EQ(vornata_execute_read_log_dma_ext(&err, dev, 0, 1, 0x30, 0x03, page, sizeof(page)), 0) << err.message;
    EXPECT_EQ(page[0], 0x01) << "page 3 header";
    uint8_t id[512] = {};
    ASSERT_EQ(vornata_execute_identify_device(&err, dev, id, sizeof(id)), 0) << err.message;
    EXPECT_EQ(model_of(id).rfind("SIM SATA ", 0), 0u) << model_of(id);
  }
}

TEST_F(AtaRoute, SecurityAndSanitizeGoThroughSat) {
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  for (uint8_t command : {0xB4, 0xF1, 0xF5}) {  // SANITIZE DEVICE, SECURITY SET PASSWORD, FREEZE LOCK
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

// Sends DOWNLOAD MICROCODE 0Eh in 8 KiB pieces at their block offsets, then 0Fh.
int download_in_pieces(huld_error *err, huld_dev &dev, const std::vector<uint8_t> &image) {
  const uint16_t blocks = static_cast<uint16_t>(image.size() / 512);
  auto *data = const_cast<uint8_t *>(image.data());
  for (uint16_t at = 0; at < blocks; at = static_cast<uint16_t>(at + 16)) {
    const uint16_t n = static_cast<uint16_t>(std::min<int>(16, blocks - at));
    if (vornata_execute_download_microcode(err, &dev, 0x0E, n, at, data + at * 512u, n * 512u)) return 1;
  }
  return vornata_execute_download_microcode(err, &dev, 0x0F, 0, 0, nullptr, 0);
}

std::vector<uint8_t> large_image_for(const char *revision) {
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, revision, 150000);
  image.resize((image.size() + 511) / 512 * 512, 0);
  return image;
}

// An image above 128 KiB keeps every piece's block offset (LBA 23:8) on both firmware roads.
TEST_F(AtaRoute, ImagesAbove128KiBReachTheDriveWhole) {
  huld_dev &ahci = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &ahci), 0);
  ASSERT_EQ(download_in_pieces(&err, ahci, large_image_for("SIM20002")), 0) << err.message;
  EXPECT_EQ(sim::storage_drive("A").ata->running_revision(), "SIM20002");

  huld_dev &rst = disk(4, INTEL_RST);
  ASSERT_EQ(huld_dev_open(&err, &rst), 0);
  rst.rst_port_handle = CreateFileA("\\\\.\\Scsi5:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(rst.rst_port_handle, INVALID_HANDLE_VALUE);
  ASSERT_EQ(download_in_pieces(&err, rst, large_image_for("SIM20002")), 0) << err.message;
  EXPECT_EQ(sim::storage_drive("D").ata->running_revision(), "SIM20002");
}

// A driver writing into the data area of a to-device request never reaches the caller's buffer.
TEST_F(AtaRoute, ToDeviceDataIsNeverCopiedBack) {
  std::vector<uint8_t> piece(512, 0x5C);
  auto send = [&piece](huld_dev &dev) {
    huld_ata_cmd cmd{};
    cmd.protocol = 5;
    cmd.command = 0x92;
    cmd.feature = 0x03;
    cmd.count = 1;
    cmd.data = piece.data();
    cmd.data_len = 512;
    cmd.ddir = HULD_DDIR_TO_DEVICE;
    cmd.timeout_ms = 30000;
    huld_error err{};
    return huld_ata_execute(&err, &dev, &cmd);
  };
  auto scribble = [](std::map<std::string, std::string> keys, uint64_t data_offset) {
    sim::FaultRule rule;
    rule.match.op = sim::FaultOp::other;
    rule.match.keys = std::move(keys);
    rule.action = sim::FaultAction::custom_action("scribble", data_offset, 0xEE);
    sim::add_fault(rule);
  };
  huld_error err{};
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  scribble({{"request", "ata_pass_through"}}, 48);
  sim::trace_clear();
  EXPECT_EQ(send(dev), 0);
  ASSERT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 1u);
  EXPECT_EQ(piece, std::vector<uint8_t>(512, 0x5C)) << "ATA pass-through";

  huld_dev &m1 = csmi("\\\\.\\Scsi5:", 2, kAddressM1);
  ASSERT_EQ(huld_dev_open(&err, &m1), 0);
  scribble({{"request", "miniport"}, {"miniport_code", sim::fault_key(25)}}, 164);
  sim::trace_clear();
  EXPECT_EQ(send(m1), 0);
  ASSERT_EQ(sim::trace_entries_for(kMiniport).size(), 1u);
  EXPECT_EQ(piece, std::vector<uint8_t>(512, 0x5C)) << "CSMI STP";
}

// Time-outs round up to whole seconds; the returned registers come back in their places (COUNT of
// CHECK POWER MODE, LBA 23:8 of SMART RETURN STATUS), through ATA pass-through and CSMI STP.
TEST_F(AtaRoute, ReturnedRegistersAndTimeOut) {
  huld_error err{};
  huld_dev &ahci = disk(0, WINDOWS_INBOX_AHCI);
  ASSERT_EQ(huld_dev_open(&err, &ahci), 0);
  huld_dev &m1 = csmi("\\\\.\\Scsi5:", 2, kAddressM1);
  ASSERT_EQ(huld_dev_open(&err, &m1), 0);
  for (huld_dev *dev : {&ahci, &m1}) {
    huld_ata_cmd power{};
    power.protocol = 3;
    power.command = 0xE5;
    power.timeout_ms = 500;
    sim::trace_clear();
    ASSERT_EQ(huld_ata_execute(&err, dev, &power), 0) << err.message;
    EXPECT_EQ(power.count, 0xFF) << dev->conn.path;
    huld_ata_cmd smart{};
    smart.protocol = 3;
    smart.command = 0xB0;
    smart.feature = 0xDA;
    smart.lba = 0xC24F00;
    ASSERT_EQ(huld_ata_execute(&err, dev, &smart), 0) << err.message;
    EXPECT_EQ(smart.lba >> 8, 0xC24Fu) << dev->conn.path;
  }
  sim::trace_clear();
  huld_ata_cmd power{};
  power.protocol = 3;
  power.command = 0xE5;
  power.timeout_ms = 500;
  ASSERT_EQ(huld_ata_windows_execute(&err, &ahci, &power), 0);
  ASSERT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 1u);
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough)[0].input[12], 1) << "500 ms is 1 s";
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
  const auto ata = sim::storage_drive("A").ata;
  EXPECT_EQ(ata->running_revision(), "SIM10001");
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0F, 0, 0, nullptr, 0), 0) << err.message;
  EXPECT_EQ(ata->running_revision(), "SIM20002");
  EXPECT_EQ(sim::trace_entries_for(kFwActivate).size(), 1u) << "the activation is a storage firmware request";
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 0u);

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

TEST_F(AtaRoute, RstFirmwareRoadUpdatesTheSataDriveBehindThePort) {
  // D sits at 0:0:0 of the RST port (\\.\Scsi5:); DOWNLOAD MICROCODE goes out as "IntelFw " there.
  huld_dev &dev = disk(4, INTEL_RST);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  dev.rst_port_handle = CreateFileA("\\\\.\\Scsi5:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(dev.rst_port_handle, INVALID_HANDLE_VALUE);
  sim::trace_clear();
  const auto ata = sim::storage_drive("D").ata;
  ASSERT_EQ(download_and_activate(&err, dev, image_for("SIM20002")), 0) << err.message;
  EXPECT_EQ(ata->running_revision(), "SIM20002");
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 0u);
  EXPECT_GE(sim::trace_entries_for(kMiniport).size(), 3u);

  // The port refusing the activation is a failure, and the drive keeps what it runs.
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"signature", "IntelFw "}};
  rule.match.count = sim::FaultCount::at(4);  // get info, two pieces, then the activation
  rule.action = sim::FaultAction::custom_action("return_code", 1);
  sim::add_fault(rule);
  EXPECT_EQ(download_and_activate(&err, dev, image_for("SIM30003")), 1);
  EXPECT_EQ(ata->running_revision(), "SIM20002");
}

TEST_F(AtaRoute, Windows81SendsMicrocodeThroughAtaPassThrough) {
  sim::reset_machine();
  load_ref1(true);
  huld_dev &dev = disk(0, WINDOWS_INBOX_AHCI);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  sim::trace_clear();
  ASSERT_EQ(download_and_activate(&err, dev, image_for("SIM20002")), 0) << err.message;
  EXPECT_EQ(sim::trace_entries_for(kFwDownload).size(), 0u);
  EXPECT_EQ(sim::trace_entries_for(kAtaPassThrough).size(), 3u);
  EXPECT_EQ(sim::storage_drive("A").ata->running_revision(), "SIM20002");
}

// CSMI STP reaches the end device by its SAS address, whatever sits at 0:0:0 of the port.
TEST_F(AtaRoute, CsmiStpIdentifiesAndUpdatesTheAddressedDrive) {
  huld_dev &m1 = csmi("\\\\.\\Scsi5:", 2, kAddressM1);
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
  huld_dev &lost = csmi("\\\\.\\Scsi5:", 1, nowhere);
  ASSERT_EQ(huld_dev_open(&err, &lost), 0);
  huld_ata_fill_probe_identify(&cmd, id);
  EXPECT_EQ(execute_stp_passthru(&err, &lost, &cmd), 1);
  EXPECT_EQ(err.subcode, 1u);
  EXPECT_STREQ(err.message, "non-zero return code executing stp passthru DeviceIoControl");
  EXPECT_EQ(huld_ata_windows_probe_csmi(&lost), 0);

  // A DMA read carries its direction (a bare 20h would move nothing).
  huld_dev &d = csmi("\\\\.\\Scsi5:", 0, kAddressD);
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
  huld_dev &on_disk = csmi("\\\\.\\PhysicalDrive4", 0, kAddressD);
  ASSERT_EQ(huld_dev_open(&err, &on_disk), 0);
  EXPECT_EQ(execute_stp_passthru(&err, &on_disk, &cmd), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
}

// The enumeration requests of a CSMI port, decoded from the answer bytes.
TEST_F(AtaRoute, CsmiPortAnswersItsEnumerationRequests) {
  HANDLE port = CreateFileA("\\\\.\\Scsi5:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
  ASSERT_EQ(phys[28], 4);
  EXPECT_EQ(phys[32 + 64 * 2 + 36], 0x10);
  EXPECT_EQ(std::memcmp(&phys[32 + 64 * 2 + 48], kAddressM1, 8), 0);
  EXPECT_EQ(phys[32 + 64 * 2 + 28], 2);
  EXPECT_EQ(phys[32 + 64 * 1 + 36], 0);
  const auto raid = ask("CSMIARY\0", 10, 128);
  EXPECT_EQ(raid[28], 2);
  EXPECT_EQ(raid[32], 4);
  const auto set = ask("CSMIARY\0", 11, 172 + 136 * 4);
  EXPECT_EQ(set[20], 0);
  ASSERT_EQ(set[43], 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&set[64]), 11), "SIM SATA M1");
  EXPECT_EQ(std::memcmp(&set[64 + 88], kAddressM1, 8), 0);
  EXPECT_NE(ask("CSMIARY\0", 11, 172 + 136 * 4, 2)[20], 0) << "no third set";

  // Absurd counts and full-width texts, as a faulty driver gives them.
  for (const char *name : {"phy_count", "drive_count", "fill_text"}) {
    sim::FaultRule rule;
    rule.match.op = sim::FaultOp::ioctl;
    rule.match.control_code = kMiniport;
    rule.action = sim::FaultAction::custom_action(name, 255);
    sim::add_fault(rule);
  }
  EXPECT_EQ(ask("CSMISAS\0", 20, 2080)[28], 255);
  const auto wild = ask("CSMIARY\0", 11, 172 + 136 * 4);
  EXPECT_EQ(wild[43], 255);
  EXPECT_EQ(wild[64 + 87], 'T');
  sim::clear_faults();

  // A phy-info buffer too small for the answer is a contract violation the driver fails.
  sim::expect_resource_change("contract_violations");
  const size_t violations = sim::contract_violations().size();
  std::vector<uint8_t> small(100, 0);
  small[0] = 28;
  std::memcpy(&small[4], "CSMISAS\0", 8);
  small[16] = 20;
  small[24] = 100 - 28;
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(port, 0x0004D008, small.data(), 100, small.data(), 100, &got, nullptr));
  EXPECT_EQ(sim::contract_violations().size(), violations + 1);
  CloseHandle(port);
}

// No request of a CSMI record reaches another drive: with S1 at 0:0:0 of the SAS HBA, the SAS end
// device S2 is probed by CSMI alone, which it does not answer.
TEST_F(AtaRoute, CsmiAddressDecidesAlone) {
  sim::reset_machine();
  load_ref1(false, true);
  const uint8_t s1[8] = {0x50, 0x0A, 0x0B, 0x01, 0, 0, 0, 0};
  const uint8_t s2[8] = {0x50, 0x0A, 0x0B, 0x02, 0, 0, 0, 0};
  huld_error err{};
  for (uint32_t flags : {0u, static_cast<uint32_t>(HULD_PROBE_SAT_FIRST)}) {
    huld_dev &sas = csmi("\\\\.\\Scsi11:", 1, s2);
    sas.iface = IFACE_NONE;
    sim::trace_clear();
    EXPECT_EQ(huld_dev_probe_flags(&err, &sas, flags), 1);
    EXPECT_EQ(err.code, HULD_ERROR_NO_INTERFACE);
    size_t on_port = 0;
    for (const sim::TraceEntry &e : sim::trace_entries()) {
      if (e.path != "\\\\.\\Scsi11:") continue;
      ++on_port;
      EXPECT_EQ(e.control_code, kMiniport) << "only CSMI on the port";
      EXPECT_EQ(e.notes.count("ata_status"), 0u) << "no ATA command executed";
    }
    EXPECT_EQ(on_port, 1u);
  }
  huld_dev &sata = csmi("\\\\.\\Scsi11:", 0, s1);
  sata.iface = IFACE_NONE;
  EXPECT_EQ(huld_dev_probe(&err, &sata), 0) << err.message;
  EXPECT_EQ(sata.iface, WINDOWS_ATA);
}

// SATA disks probe as ATA, or as SAT when SAT is asked first; the others do not change.
TEST_F(AtaRoute, SatFirstChangesOnlyTheSataDisksThatAnswerAta) {
  // Disk records as the disk pass leaves them (the SAS HBA falls back to the AHCI driver).
  const struct {
    uint32_t disk, driver;
  } disks[] = {{0, WINDOWS_INBOX_AHCI}, {1, WINDOWS_INBOX_NVME}, {4, INTEL_RST}, {6, WINDOWS_INBOX_AHCI},
               {8, INTEL_RST}, {9, INBOX_USB_MASS_STORAGE}, {13, WINDOWS_INBOX_AHCI}, {14, WINDOWS_INBOX_AHCI}};
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> found;
  for (const auto &d : disks) {
    huld_dev &dev = disk(d.disk, d.driver);
    huld_error err{};
    dev.iface = IFACE_NONE;
    huld_dev_probe_flags(&err, &dev, 0);
    const uint32_t plain = dev.iface;
    dev.iface = IFACE_NONE;
    huld_dev_probe_flags(&err, &dev, HULD_PROBE_SAT_FIRST);
    found[d.disk] = {plain, dev.iface};
  }
  const std::pair<uint32_t, uint32_t> ata{WINDOWS_ATA, WINDOWS_SCSI_SAT_ATA},
      sat{WINDOWS_SCSI_SAT_ATA, WINDOWS_SCSI_SAT_ATA}, scsi{WINDOWS_SCSI, WINDOWS_SCSI}, nvme{WINDOWS_NVME, WINDOWS_NVME};
  const std::map<uint32_t, std::pair<uint32_t, uint32_t>> expected = {
      {0, ata}, {1, nvme}, {4, ata}, {6, ata}, {8, scsi}, {9, sat}, {13, sat}, {14, scsi}};
  EXPECT_EQ(found, expected);
}

}  // namespace

namespace {

// SCSI pass-through on the SAS HBA's port reaches the unit at the request's address: the SAS LU
// as a full SCSI target, the enclosure with its diagnostic pages; a SATA LU takes no ATA
// pass-through there.
TEST_F(AtaRoute, SasHbaUnitsAnswerAsTheirKind) {
  HANDLE port = CreateFileA("\\\\.\\Scsi11:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  auto cdb = [port](uint8_t target, std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> spt(88 + 64, 0);
    spt[0] = 56;
    spt[4] = target;
    spt[6] = static_cast<uint8_t>(bytes.size());
    spt[7] = 32;
    spt[8] = 1;  // data in
    spt[12] = 64;
    spt[24] = 88;
    spt[32] = 56;
    std::copy(bytes.begin(), bytes.end(), spt.begin() + 36);
    DWORD got = 0;
    EXPECT_TRUE(DeviceIoControl(port, kScsiPassThrough, spt.data(), 152, spt.data(), 152, &got, nullptr)) << GetLastError();
    return spt;
  };
  const auto readcap = cdb(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // S2: READ CAPACITY(10)
  EXPECT_EQ(readcap[2], 0);
  const auto pages = cdb(8, {0x1C, 0x01, 0x00, 0x00, 0x40, 0x00});  // enclosure: supported pages
  EXPECT_EQ(pages[2], 0);
  EXPECT_EQ(pages[88], 0x00);
  EXPECT_EQ(cdb(1, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0})[2], 2) << "S1 answers through SAT only";
  CloseHandle(port);

  huld_dev &s1 = disk(13, WINDOWS_INBOX_AHCI);
  huld_error err{};
  uint8_t id[512];
  huld_ata_cmd cmd;
  huld_ata_fill_probe_identify(&cmd, id);
  ASSERT_EQ(huld_dev_open(&err, &s1), 0);
  EXPECT_EQ(huld_ata_windows_execute(&err, &s1, &cmd), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
}

}  // namespace

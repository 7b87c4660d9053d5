// CSMI records are probed and driven only by their own SAS address: with the SAS LUs swapped on
// the reference machine (the SATA drive S1 at 0:0:0 of the HBA), nothing meant for the SAS end
// device S2 reaches S1.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"

namespace {

class CsmiAddress : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream f(sim::machine_file_path("ref1"));
    nlohmann::json ref = nlohmann::json::parse(f);
    for (auto &disk : ref["storage"]["disks"]) {
      if (disk["id"] == "S1") disk["address"]["target_id"] = 0;
      if (disk["id"] == "S2") disk["address"]["target_id"] = 1;
    }
    sim::register_storage_section();
    sim::load_machine_json(ref.dump());
    huld_environment_initialize();
  }
  void TearDown() override {
    for (huld_dev &d : records_) huld_dev_cleanup(&d);
    sim::reset_machine();
    huld_environment_initialize();
  }
  huld_dev &end_device(uint8_t phy, const uint8_t address[8]) {
    huld_dev_enumeration e{};
    records_[phy] = *huld_dev_enumeration_push_back(&e);
    huld_dev_release(&e);
    huld_dev &dev = records_[phy];
    snprintf(dev.name, sizeof(dev.name), "csmi11.phy%u", phy);
    strcpy(dev.conn.path, "\\\\.\\Scsi11:");
    dev.conn.type = CONN_CSMI;
    dev.conn.driver = WINDOWS_INBOX_AHCI;
    dev.csmi_phy_id = phy;
    dev.csmi_port_id = phy;
    std::memcpy(dev.csmi_sas_address, address, 8);
    return dev;
  }
  huld_dev records_[2]{};
};

TEST_F(CsmiAddress, NoRequestOfTheSasEndDeviceReachesTheSataDrive) {
  const uint8_t s1[8] = {0x50, 0x0A, 0x0B, 0x01, 0, 0, 0, 0};
  const uint8_t s2[8] = {0x50, 0x0A, 0x0B, 0x02, 0, 0, 0, 0};
  huld_error err{};
  for (uint32_t flags : {0u, static_cast<uint32_t>(HULD_PROBE_SAT_FIRST)}) {
    huld_dev &sas = end_device(1, s2);
    sim::trace_clear();
    EXPECT_EQ(huld_dev_probe_flags(&err, &sas, flags), 1) << "S2 answers no CSMI STP";
    EXPECT_EQ(err.code, HULD_ERROR_NO_INTERFACE);
    const auto sent = sim::trace_entries();
    size_t on_port = 0;
    for (const sim::TraceEntry &e : sent) {
      if (e.path != "\\\\.\\Scsi11:") continue;
      ++on_port;
      EXPECT_EQ(e.control_code, 0x0004D008u) << "only CSMI on the port";
      EXPECT_EQ(e.notes.count("ata_status"), 0u) << "no ATA command executed";
    }
    EXPECT_EQ(on_port, 1u) << "the CSMI probe alone";
    uint8_t id[512];
    huld_ata_cmd cmd;
    huld_ata_fill_probe_identify(&cmd, id);
    sas.iface = WINDOWS_ATA;
    EXPECT_EQ(huld_ata_execute(&err, &sas, &cmd), 1);
    EXPECT_EQ(err.subcode, 1u) << "ReturnCode 1: nothing SATA at S2's address";
    huld_dev_cleanup(&sas);
  }
  huld_dev &sata = end_device(0, s1);
  EXPECT_EQ(huld_dev_probe(&err, &sata), 0) << err.message;
  EXPECT_EQ(sata.iface, WINDOWS_ATA);
}

}  // namespace

namespace {

// The disks of the reference machine: SATA disks probe as ATA, or as SAT when SAT is asked first.
TEST(Ref1Probe, SatFirstChangesOnlyTheSataDisksThatAnswerAta) {
  sim::register_storage_section();
  sim::load_machine_file(sim::machine_file_path("ref1"));
  huld_environment_initialize();
  // Disk records as the disk pass leaves them (the SAS HBA falls back to the AHCI driver).
  const struct {
    uint32_t disk, driver;
  } disks[] = {{0, WINDOWS_INBOX_AHCI}, {1, WINDOWS_INBOX_NVME}, {4, INTEL_RST}, {6, WINDOWS_INBOX_AHCI},
               {8, INTEL_RST}, {9, INBOX_USB_MASS_STORAGE}, {13, WINDOWS_INBOX_AHCI}, {14, WINDOWS_INBOX_AHCI}};
  std::map<std::string, std::pair<uint32_t, uint32_t>> found;
  huld_dev_enumeration e{};
  for (const auto &d : disks) {
    huld_dev &dev = *huld_dev_enumeration_push_back(&e);
    snprintf(dev.name, sizeof(dev.name), "disk%u", d.disk);
    snprintf(dev.conn.path, sizeof(dev.conn.path), "\\\\.\\PhysicalDrive%u", d.disk);
    dev.conn.type = CONN_DISK;
    dev.conn.driver = d.driver;
    huld_error err{};
    huld_dev_probe_flags(&err, &dev, 0);
    const uint32_t plain = dev.iface;
    dev.iface = IFACE_NONE;
    huld_dev_probe_flags(&err, &dev, HULD_PROBE_SAT_FIRST);
    found[dev.name] = {plain, dev.iface};
  }
  huld_dev_release(&e);
  const std::pair<uint32_t, uint32_t> ata{WINDOWS_ATA, WINDOWS_SCSI_SAT_ATA};
  const std::pair<uint32_t, uint32_t> sat{WINDOWS_SCSI_SAT_ATA, WINDOWS_SCSI_SAT_ATA};
  const std::pair<uint32_t, uint32_t> scsi{WINDOWS_SCSI, WINDOWS_SCSI};
  const std::pair<uint32_t, uint32_t> nvme{WINDOWS_NVME, WINDOWS_NVME};
  EXPECT_EQ(found["disk0"], ata);
  EXPECT_EQ(found["disk4"], ata);
  EXPECT_EQ(found["disk6"], ata);
  EXPECT_EQ(found["disk13"], sat);
  EXPECT_EQ(found["disk9"], sat);
  EXPECT_EQ(found["disk14"], scsi);
  EXPECT_EQ(found["disk8"], scsi);
  EXPECT_EQ(found["disk1"], nvme);
  sim::reset_machine();
  huld_environment_initialize();
}

}  // namespace

// Model, serial number and Dedi component id of each device class, read from simulated drives
// through the real probe, and the serial of one drive through every record that reaches it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "sim/machine.h"
#include "vornbasics/identification.h"
#include "vorndedi/ops.h"

namespace {

// An NVMe drive, a native ATA drive, an ATA drive behind a USB SAT bridge and a plain SCSI disk;
// padding and blanks placed where the trimming rules matter.
const char kMachine[] = R"({ "name": "ident", "storage": {
  "adapters": [ { "id": "nvme", "personality": "inbox_nvme" },
                { "id": "ahci", "personality": "inbox_ahci" },
                { "id": "bot", "personality": "usb_bot" },
                { "id": "plain", "personality": "plain" } ],
  "disks": [
    { "id": "n", "adapter": "nvme", "physical_drive": 0,
      "nvme": { "model": "  CORVANE CVN-512", "serial": "NV0001", "firmware": "F1", "component_id": "DC12AB34" } },
    { "id": "a", "adapter": "ahci", "physical_drive": 1,
      "ata": { "model": "CORVANE CVS-256", "serial": "ATA00001", "firmware": "F2", "component_id": "ABCDEFGH" } },
    { "id": "s", "adapter": "bot", "physical_drive": 2,
      "ata": { "model": "CORVANE SAT", "serial": "SAT0001", "firmware": "F3", "component_id": "  " } },
    { "id": "p", "adapter": "plain", "physical_drive": 3,
      "scsi": { "vendor": "SIM", "product": "PLAIN DISK", "revision": "R1", "serial": "SCSI01" } } ] } })";

struct Identity {
  std::string model, serial, component_id;
  int cid_result = 0;
  uint32_t cid_code = 0;
};

class Ident : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
  }
  void TearDown() override {
    huld_dev_release(&enumeration_);
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  // Enumerates (no video pass) and probes; records no interface answers stay unprobed.
  void load(const std::string &json_or_name) {
    if (json_or_name[0] == '{')
      sim::load_machine_json(json_or_name);
    else
      sim::load_machine_file(sim::machine_file_path(json_or_name));
    huld_environment_initialize();
    huld_dev_enumerate_flags(&enumeration_, 0x7F);
    for (uint32_t i = 0; i < enumeration_.count; ++i) {
      huld_error err{};
      huld_dev_probe(&err, &enumeration_.devices[i]);
    }
  }
  huld_dev *find(const char *name) {
    for (uint32_t i = 0; i < enumeration_.count; ++i)
      if (std::strcmp(enumeration_.devices[i].name, name) == 0) return &enumeration_.devices[i];
    ADD_FAILURE() << "no record " << name;
    return nullptr;
  }
  Identity identity(huld_dev *dev) {
    Identity id;
    char text[41];
    huld_error err{};
    EXPECT_EQ(vornbasics_get_model(&err, dev, text, sizeof text), 0) << err.message;
    id.model = text;
    EXPECT_EQ(vornbasics_get_serial(&err, dev, text, sizeof text), 0) << err.message;
    id.serial = text;
    char cid[13];
    std::memset(cid, 'x', sizeof cid);
    id.cid_result = vorndedi_get_component_id(&err, dev, cid, sizeof cid);
    id.cid_code = err.code;
    id.component_id = cid;
    return id;
  }
  huld_dev_enumeration enumeration_{};
  uint32_t saved_level_ = 0;
};

TEST_F(Ident, ModelSerialAndComponentIdPerClass) {
  load(kMachine);
  const Identity nvme = identity(find("disk0"));
  EXPECT_EQ(nvme.model, "CORVANE CVN-512");  // leading blanks and the MN padding are gone
  EXPECT_EQ(nvme.serial, "NV0001");
  EXPECT_EQ(nvme.component_id, "DC12AB34");
  const Identity ata = identity(find("disk1"));
  EXPECT_EQ(ata.model, "CORVANE CVS-256");
  EXPECT_EQ(ata.serial, "ATA00001");
  EXPECT_EQ(ata.component_id, "ABCDEFGH");  // ATA string words read back in natural order
  const Identity sat = identity(find("disk2"));
  EXPECT_EQ(sat.serial, "SAT0001");        // IDENTIFY through the bridge, not VPD 80h
  EXPECT_EQ(sat.cid_result, 0);            // an all-blank id is empty, and no failure
  EXPECT_EQ(sat.component_id, "");
  const Identity scsi = identity(find("disk3"));
  EXPECT_EQ(scsi.model, "PLAIN DISK");
  EXPECT_EQ(scsi.serial, "SCSI01");
  EXPECT_EQ(scsi.cid_result, 1);  // no component id on SCSI: code 1, not 2
  EXPECT_EQ(scsi.cid_code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_EQ(scsi.component_id, "");
}

TEST_F(Ident, ShortOutputsAndRefusals) {
  load(kMachine);
  huld_error err{};
  char out[5];
  std::memset(out, 'x', sizeof out);
  ASSERT_EQ(vorndedi_get_component_id(&err, find("disk1"), out, sizeof out), 0);
  EXPECT_STREQ(out, "ABCD");  // two swapped words, and the terminator
  ASSERT_EQ(vornbasics_get_serial(&err, find("disk1"), out, 4), 0);
  EXPECT_STREQ(out, "ATA");   // an odd cut takes the right byte of the swapped word
  ASSERT_EQ(vorndedi_get_component_id(&err, find("disk0"), out, 4), 0);
  EXPECT_STREQ(out, "DC1");

  // A size of 0 writes nothing and names the function.
  out[0] = 'x';
  EXPECT_EQ(vornbasics_get_model(&err, find("disk0"), out, 0), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "output buffer size is 0 (vornbasics_get_model)");
  EXPECT_EQ(vorndedi_get_component_id(&err, find("disk1"), out, 0), 1);
  EXPECT_STREQ(err.message, "output buffer size is 0 (vorndedi_get_component_id)");
  EXPECT_EQ(out[0], 'x');

  // A device of no command class.
  huld_dev none{};
  none.conn.handle = INVALID_HANDLE_VALUE;
  none.rst_port_handle = INVALID_HANDLE_VALUE;
  char text[41];
  EXPECT_EQ(vornbasics_get_serial(&err, &none, text, sizeof text), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
  EXPECT_STREQ(err.message, "unsupported device interface\n");
  EXPECT_STREQ(err.file, "vornbasics\\identification");
  EXPECT_EQ(vorndedi_get_component_id(&err, &none, text, sizeof text), 1);
  EXPECT_STREQ(err.message, "device is not supported");
  EXPECT_STREQ(err.file, "vorndedi\\ops");
}

TEST_F(Ident, ParsersNeedTheWholeIdArea) {
  uint8_t data[3134] = {0};
  std::memcpy(data + 3126, "AB CD   ", 8);
  std::memcpy(data + 274, "BADC", 4);
  char out[13];
  huld_error err{};
  EXPECT_EQ(vorndedi_parse_component_id_nvme(&err, out, sizeof out, data, 3133), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse nvme component id");
  EXPECT_EQ(vorndedi_parse_component_id_nvme(&err, out, sizeof out, data, 3134), 0);
  EXPECT_STREQ(out, "AB CD");
  EXPECT_EQ(vorndedi_parse_component_id_ata(&err, out, sizeof out, data, 281), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse ata component id");
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(vorndedi_parse_component_id_ata(&err, out, sizeof out, data, 282), 0);
  EXPECT_STREQ(out, "ABCD");
}

// Every record of the reference machine that reaches a drive reports that drive's serial, through
// IDENTIFY, Identify Controller or VPD 80h alike: a disk and its CSMI phy, a SAT disk, a RAID
// member and the volume that reports it, an RSTe disk and its SCSI twin.
TEST_F(Ident, OneDriveGivesOneSerialThroughEveryPath) {
  const std::map<std::string, std::string> expected = {
      {"disk0", "SA0001"}, {"disk1", "SB0002"}, {"disk2", "SC0003"}, {"disk4", "SD0004"},
      {"disk7", "SE0005"}, {"disk8", "SVV006"}, {"disk3", "SNX000"}, {"disk3.pd5", "SP0005"},
      {"disk3.pd7", "SP0007"}, {"disk12", "SN0010"}, {"disk5", "SPC012"}, {"disk9", "SF0014"},
      {"disk10", "SG0015"}, {"disk11", "S30017"}, {"disk15", "S60019"}, {"disk14", "SS2022"},
      {"disk13", "SS1021"}, {"disk18", "SRD018"}, {"disk6", "SP0013"}, {"nvme1", "SZ0024"},
      {"csmi5.0.0.500103aa00000000", "SD0004"}, {"csmi5.2.2.500102aa00000002", "SM0007"},
      {"csmi5.3.3.500102aa00000003", "SM0008"}, {"csmi5.X.X.500210bb00000001", "SN0010"},
      {"csmi5.X.X.500211bb00000002", "SN0011"}, {"csmi11.0.0.500a0b0100000000", "SS1021"},
      {"rster10.3.0", "S30017"}, {"rster10.4.1", "S40018"}, {"rstep10.6.0", "S60019"},
      {"rstes10.9.0", "S90020"}, {"SCSI11:0,8,0", "SES031"}};
  load("ref1");
  std::map<std::string, std::string> found;
  for (uint32_t i = 0; i < enumeration_.count; ++i) {
    huld_dev *dev = &enumeration_.devices[i];
    char serial[41];
    huld_error err{};
    if (vornbasics_get_serial(&err, dev, serial, sizeof serial) == 0) {
      found[dev->name] = serial;
    } else if (dev->conn.type == CONN_USB_HUB || dev->iface == IFACE_NONE) {
      EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED)) << dev->name;
    } else {
      ADD_FAILURE() << dev->name << ": " << err.message;
    }
  }
  EXPECT_EQ(found, expected);
}

}  // namespace

// Model, serial number and Dedi component id of each device class, read from simulated drives
// through the real probe (the serial through every path of one drive: tests/scan).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "sim/machine.h"
#include "vornbasics/identification.h"
#include "vorndedi/ops.h"

namespace {

// disk0 NVMe, disk1 native ATA, disk2 ATA behind a USB SAT bridge, disk3 a plain SCSI disk.
const char kMachine[] = R"({ "name": "ident", "storage": {
  "adapters": [ { "id": "nvme", "personality": "inbox_nvme" }, { "id": "ahci", "personality": "inbox_ahci" },
                { "id": "bot", "personality": "usb_bot" }, { "id": "plain", "personality": "plain" } ],
  "disks": [
    { "adapter": "nvme", "physical_drive": 0,
      "nvme": { "model": "  CORVANE CVN-512", "serial": "NV0001", "firmware": "F1", "component_id": "DC12AB34" } },
    { "adapter": "ahci", "physical_drive": 1,
      "ata": { "model": "CORVANE CVS-256", "serial": "ATA00001", "firmware": "F2", "component_id": "ABCDEFGH" } },
    { "adapter": "bot", "physical_drive": 2,
      "ata": { "model": "CORVANE SAT", "serial": "SAT0001", "firmware": "F3", "component_id": "  " } },
    { "adapter": "plain", "physical_drive": 3,
      "scsi": { "vendor": "SIM", "product": "PLAIN DISK", "revision": "R1", "serial": "SCSI01" } } ] } })";

class Ident : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::load_machine_json(kMachine);
    huld_environment_initialize();
    huld_dev_enumerate_flags(&e_, HULD_ENUMERATE_DISK);
    for (uint32_t i = 0; i < e_.count; ++i) huld_dev_probe(&err_, &e_.devices[i]);
    ASSERT_EQ(e_.count, 4u);
  }
  void TearDown() override {
    huld_dev_release(&e_);
    sim::reset_machine();
    huld_environment_initialize();
  }
  // "model|serial|component id", or the failure code of a read in place of its text.
  std::string identity(uint32_t index) {
    std::string out;
    for (auto read : {vornbasics_get_model, vornbasics_get_serial, vorndedi_get_component_id}) {
      char text[41];
      std::memset(text, 'x', sizeof text);
      const uint32_t size = read == vorndedi_get_component_id ? 13 : 41;
      out += read(&err_, &e_.devices[index], text, size) ? "code " + std::to_string(err_.code) + ":" : "";
      out += std::string(text) + "|";
    }
    return out;
  }
  huld_dev_enumeration e_{};
  huld_error err_{};
};

TEST_F(Ident, ModelSerialAndComponentIdPerClass) {
  EXPECT_EQ(identity(0), "CORVANE CVN-512|NV0001|DC12AB34|");  // leading blanks, padding gone
  EXPECT_EQ(identity(1), "CORVANE CVS-256|ATA00001|ABCDEFGH|");  // ATA words in natural order
  EXPECT_EQ(identity(2), "CORVANE SAT|SAT0001||");  // IDENTIFY through the bridge; a blank id
  EXPECT_EQ(identity(3), "PLAIN DISK|SCSI01|code 1:|");  // no component id on SCSI: code 1
  EXPECT_STREQ(err_.message, "device is not supported");
  EXPECT_STREQ(err_.file, "vorndedi\\ops");
}

TEST_F(Ident, ShortOutputsAndRefusals) {
  char out[5];
  ASSERT_EQ(vorndedi_get_component_id(&err_, &e_.devices[1], out, 5), 0);
  EXPECT_STREQ(out, "ABCD");  // two swapped words
  ASSERT_EQ(vornbasics_get_serial(&err_, &e_.devices[1], out, 4), 0);
  EXPECT_STREQ(out, "ATA");   // an odd cut takes the right byte of the swapped word
  ASSERT_EQ(vorndedi_get_component_id(&err_, &e_.devices[0], out, 4), 0);
  EXPECT_STREQ(out, "DC1");

  out[0] = 'x';  // a size of 0 writes nothing and names the function
  EXPECT_EQ(vornbasics_get_model(&err_, &e_.devices[0], out, 0), 1);
  EXPECT_STREQ(err_.message, "output buffer size is 0 (vornbasics_get_model)");
  EXPECT_EQ(vorndedi_get_component_id_ata(&err_, &e_.devices[1], out, 0), 1);
  EXPECT_STREQ(err_.message, "output buffer size is 0 (vorndedi_get_component_id_ata)");
  EXPECT_EQ(out[0], 'x');

  huld_dev none{};  // a device of no command class
  EXPECT_EQ(vornbasics_get_serial(&err_, &none, out, sizeof out), 1);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
  EXPECT_STREQ(err_.message, "unsupported device interface\n");
  EXPECT_STREQ(err_.file, "vornbasics\\identification");
}

TEST(IdentParse, ComponentIdNeedsTheWholeArea) {
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
  EXPECT_EQ(vorndedi_parse_component_id_ata(&err, out, sizeof out, data, 282), 0);
  EXPECT_STREQ(out, "ABCD");
}

}  // namespace

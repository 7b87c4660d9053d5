// The vendor-unique protocol end to end on the "vuc" machine: the VSC-ID read through the in-box
// AHCI driver and a USB SAT bridge (level 4), the library's exchange at level 5 and over SCSI, and
// every fault of the drives' responder ending as an error record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/scsi_target.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "vornvuc/xr/fill_and_execute.h"
#include "vornvuc/xr/parse.h"

namespace {

// ATA commands as the host sent them: command, feature, count, LBA bits 7:0.
struct Sent {
  uint8_t command, feature;
  uint16_t count;
  uint8_t log;
};
std::vector<Sent> sent;
int record_ata(huld_error *, huld_dev *, const huld_ata_cmd *before, const huld_ata_cmd *) {
  sent.push_back({before->command, static_cast<uint8_t>(before->feature), before->count,
                  static_cast<uint8_t>(before->lba)});
  return 0;
}

class Vuc : public ::testing::Test {
 protected:
  void SetUp() override { load(nlohmann::json::array()); }
  void TearDown() override {
    huld_ata_execute_hook = nullptr;
    for (huld_dev *d : records_) {
      huld_dev_cleanup(d);
      delete d;
    }
    sim::reset_machine();
    huld_environment_initialize();
  }
  // The machine with these rules in its "faults" section.
  void load(const nlohmann::json &faults) {
    std::ifstream f(sim::machine_file_path("vuc"));
    nlohmann::json machine = nlohmann::json::parse(f);
    machine["faults"] = faults;
    sim::reset_machine();
    sim::register_storage_section();
    sim::load_machine_json(machine.dump());
    huld_environment_initialize();
    sent.clear();
    huld_ata_execute_hook = record_ata;
  }
  // PhysicalDriveN as the disk enumeration leaves it, probed.
  huld_dev &disk(uint32_t n, uint32_t driver) {
    huld_dev_enumeration e{};
    auto *dev = new huld_dev(*huld_dev_enumeration_push_back(&e));
    huld_dev_release(&e);
    records_.push_back(dev);
    snprintf(dev->name, sizeof(dev->name), "disk%u", n);
    snprintf(dev->conn.path, sizeof(dev->conn.path), "\\\\.\\PhysicalDrive%u", n);
    dev->conn.type = CONN_DISK;
    dev->conn.driver = driver;
    dev->disk_number = n;
    huld_error err{};
    EXPECT_EQ(huld_dev_probe(&err, dev), 0) << err.message;
    sent.clear();
    return *dev;
  }
  huld_dev &sata4() { return disk(0, WINDOWS_INBOX_AHCI); }

  // The VSC-ID read; the native firmware and product id on success.
  int read_vscid(huld_dev &dev, std::string *native = nullptr, uint16_t *product = nullptr) {
    memset(record_, 0xEE, sizeof(record_));
    const int rc = vornvuc_xr_vsc_execute_vsc_id(&err_, &dev, record_, sizeof(record_));
    char nf[VORNVUC_XR_NATIVE_FIRMWARE_SIZE];
    huld_error perr{};
    if (rc == 0 && native) {
      EXPECT_EQ(vornvuc_xr_vscid_parse_native_firmware(&perr, nf, sizeof(nf), record_, sizeof(record_)), 0);
      *native = nf;
    }
    if (rc == 0 && product) {
      EXPECT_EQ(vornvuc_xr_vscid_parse_global_product_id(&perr, product, record_, 512), 0);
    }
    return rc;
  }
  size_t count_sent(uint8_t command, uint8_t feature) const {
    return std::count_if(sent.begin(), sent.end(), [&](const Sent &s) { return s.command == command && s.feature == feature; });
  }
  bool record_zeroed() const { return std::all_of(std::begin(record_), std::end(record_), [](uint8_t b) { return !b; }); }

  huld_error err_{};
  uint8_t record_[512];
  std::vector<huld_dev *> records_;
};

TEST_F(Vuc, Level4ReadsTheRecordThroughAhciAndLeavesTheMode) {
  huld_dev &dev = sata4();
  std::string native;
  uint16_t product = 0;
  ASSERT_EQ(read_vscid(dev, &native, &product), 0) << err_.message;
  EXPECT_EQ(native, "CTLSR0OV L48V48L480");
  EXPECT_EQ(product, 0x0101);
  // IDENTIFY, enable, key, status, one data block, disable.
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].command, 0xEC);
  EXPECT_EQ(sent[1].command, 0x80); EXPECT_EQ(sent[1].feature, 0x45);
  EXPECT_EQ(sent[2].feature, 0xD6); EXPECT_EQ(sent[2].log, 0xBE);
  EXPECT_EQ(sent[3].feature, 0xD5); EXPECT_EQ(sent[3].log, 0xBD);
  EXPECT_EQ(sent[4].log, 0xBF); EXPECT_EQ(sent[4].count, 1);
  EXPECT_EQ(sent[5].command, 0x80); EXPECT_EQ(sent[5].feature, 0x44);
  EXPECT_FALSE(sim::storage_ata(0)->vu_enabled());
}

TEST_F(Vuc, Level4ReadsTheRecordThroughASatBridge) {
  huld_dev &dev = disk(1, INBOX_USB_MASS_STORAGE);
  ASSERT_TRUE(huld_dev_is_sat(&dev));
  std::string native;
  uint16_t product = 0;
  ASSERT_EQ(read_vscid(dev, &native, &product), 0) << err_.message;
  EXPECT_EQ(native, "CTLSR0OV L24V24L240");
  EXPECT_EQ(product, 0x0102);
  // A caller buffer smaller than the answer receives only its size.
  uint8_t small[400];
  memset(small, 0xEE, sizeof(small));
  ASSERT_EQ(vornvuc_xr_vsc_execute_vsc_id(&err_, &dev, small, sizeof(small)), 0);
  EXPECT_EQ(memcmp(small, record_, sizeof(small)), 0);
}

// Enable, the VSC-ID key and disable through the library at level 5 or over SCSI.
void exchange_vscid(huld_dev &dev, uint16_t level, uint16_t expected_product) {
  huld_error err{};
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err, &dev, level, &cmd), 0) << err.message;
  EXPECT_EQ(cmd.level, 5);
  ASSERT_EQ(cmd.enable(&cmd), 0) << err.message;
  memset(cmd.key, 0, sizeof(cmd.key));
  cmd.key[0] = 13, cmd.key[2] = 1;
  ASSERT_EQ(vornvuc_xr_vsc_execute_data_in_command(&cmd), 0) << err.message;
  uint16_t product = 0;
  EXPECT_EQ(vornvuc_xr_vscid_parse_global_product_id(&err, &product, cmd.data, cmd.data_length), 0);
  EXPECT_EQ(product, expected_product);
  vornvuc_xr_vsc_cleanup_data_in_command(&cmd);
  EXPECT_EQ(cmd.data, nullptr);
  EXPECT_EQ(cmd.disable(&cmd), 0) << err.message;
  // Disabled: the next key is refused with the drive's GEC.
  cmd.key[0] = 13, cmd.key[2] = 1;
  EXPECT_EQ(vornvuc_xr_vsc_execute_data_in_command(&cmd), 1);
  EXPECT_STREQ(err.message, "VSC send key (ac 13/fc 1) failed: 2h/0h");
  EXPECT_EQ(err.subcode, 2u);
}

TEST_F(Vuc, Level5IsRefusedByTheVscIdReadButSpokenByTheLibrary) {
  huld_dev &dev = disk(2, WINDOWS_INBOX_AHCI);
  EXPECT_EQ(read_vscid(dev), 1);
  EXPECT_EQ(err_.code, 2u); EXPECT_EQ(err_.subcode, 5u);
  EXPECT_STREQ(err_.message, "vsc implementation level (5) must be <= 4");
  EXPECT_EQ(sent.size(), 1u);  // IDENTIFY only
  EXPECT_TRUE(record_zeroed());
  exchange_vscid(dev, 5, 0x0105);
}

TEST_F(Vuc, ScsiIsRefusedByTheVscIdReadButSpokenByTheLibrary) {
  huld_dev &dev = disk(3, INBOX_USB_MASS_STORAGE);
  EXPECT_EQ(read_vscid(dev), 1);
  EXPECT_EQ(err_.code, 2u);
  EXPECT_STREQ(err_.message, "not supported on this interface");
  EXPECT_STREQ(err_.file, "vornvuc\\xr\\fill_and_execute");
  exchange_vscid(dev, 4, 0x0201);  // the level asked for does not matter on SCSI
  EXPECT_TRUE(sent.empty());
}

TEST_F(Vuc, ADriveWithoutTheModeFailsTheEnable) {
  huld_dev &dev = disk(4, WINDOWS_INBOX_AHCI);
  EXPECT_EQ(read_vscid(dev), 1);  // word 142 is 0: no table for that level
  EXPECT_STREQ(err_.message, "device is not supported");
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &dev, 4, &cmd), 0);
  EXPECT_EQ(cmd.enable(&cmd), 1);
  EXPECT_EQ(err_.code, 6u); EXPECT_EQ(err_.subcode, 0x5104u);
}

struct FaultCase {
  nlohmann::json vu;
  uint32_t code, subcode;
  const char *message;
};

TEST_F(Vuc, EveryResponderFaultEndsAsAnErrorRecordAndTheModeIsLeft) {
  const FaultCase cases[] = {
      {{{"reported_blocks", 70000}}, 1, 0, "answer too large"},
      {{{"reported_blocks", "0xFFFFFFFF"}}, 1, 0, "answer too large"},
      {{{"status_version", "0x0200"}, {"reported_bytes", "0xFFFFFFFF"}}, 1, 0, "answer too large"},
      {{{"answer_bytes", 0}}, 1, 0, "VSC-ID answer too short (0 bytes)"},
      {{{"status_version", "0x0200"}, {"answer_bytes", 300}}, 1, 0, "VSC-ID answer too short (300 bytes)"},
      {{{"status_version", "0x0300"}}, 2, 0x300, "version 0x0300 not supported"},
  };
  for (const FaultCase &c : cases) {
    load({{{"drive", "sata4"}, {"vu", c.vu}}});
    huld_dev &dev = sata4();
    EXPECT_EQ(read_vscid(dev), 1) << c.vu;
    EXPECT_EQ(err_.code, c.code) << c.vu;
    EXPECT_EQ(err_.subcode, c.subcode) << c.vu;
    EXPECT_STREQ(err_.message, c.message) << c.vu;
    EXPECT_TRUE(record_zeroed()) << c.vu;
    EXPECT_EQ(count_sent(0x80, 0x44), 1u) << c.vu;
    EXPECT_FALSE(sim::storage_ata(0)->vu_enabled()) << c.vu;
  }
}

TEST_F(Vuc, AFailedChunkKeepsItsErrorAndStillDisables) {
  // SMART READ LOG: the status (1st), then the data (2nd).
  load({{{"drive", "sata4"}, {"ata_command", "0xB0"}, {"feature", "0xD5"}, {"count", {{"nth", 2}}},
         {"action", {{"status", "0x51"}, {"error", 4}}}}});
  EXPECT_EQ(read_vscid(sata4()), 1);
  EXPECT_EQ(err_.code, 6u); EXPECT_EQ(err_.subcode, 0x5104u);
  EXPECT_EQ(count_sent(0x80, 0x44), 1u);
  EXPECT_FALSE(sim::storage_ata(0)->vu_enabled());
}

TEST_F(Vuc, AFailedStatusReadFallsBackToTheKeyPage) {
  load({{{"drive", "sata4"}, {"ata_command", "0xB0"}, {"feature", "0xD5"}, {"count", {{"nth", 1}}},
         {"action", {{"status", "0x51"}, {"error", 4}}}}});
  std::string native;
  ASSERT_EQ(read_vscid(sata4(), &native), 0) << err_.message;
  EXPECT_EQ(native, "CTLSR0OV L48V48L480");
  EXPECT_EQ(sent[4].log, 0xBE);  // the key page after the failed status
}

TEST_F(Vuc, LongAnswersMoveInChunksAndDataOutIsBoundedByTheBuffer) {
  huld_dev &dev = sata4();
  sim::VuConfig vu = *sim::storage_ata(0)->config().vu;
  vu.answers[{8, 1}] = std::vector<uint8_t>(300 * 512, 0x5A);
  vu.answers[{99, 1}] = std::vector<uint8_t>(3 * 512, 0);
  sim::storage_ata(0)->set_vu_config(vu);
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &dev, 4, &cmd), 0);
  ASSERT_EQ(cmd.enable(&cmd), 0);
  sent.clear();
  ASSERT_EQ(vornvuc_xr_vsc4_execute_read_overlay(&cmd, 7), 0) << err_.message;
  EXPECT_EQ(cmd.data_length, 300u * 512); EXPECT_EQ(cmd.block_count, 300u);
  EXPECT_EQ(cmd.data[300 * 512 - 1], 0x5A);
  std::vector<uint16_t> chunks;
  for (const Sent &s : sent)
    if (s.log == 0xBF) chunks.push_back(s.count);
  EXPECT_EQ(chunks, (std::vector<uint16_t>{128, 128, 44}));
  vornvuc_xr_vsc_cleanup_data_in_command(&cmd);

  std::vector<uint8_t> out(3 * 512, 0x33);
  memset(cmd.key, 0, sizeof(cmd.key));
  cmd.key[0] = 99, cmd.key[2] = 1;
  cmd.data = out.data(), cmd.data_length = 2 * 512;
  EXPECT_EQ(vornvuc_xr_vsc_execute_data_out_command(&cmd), 1);
  EXPECT_STREQ(err_.message, "VSC data out needs 1536 bytes, buffer holds 1024");
  cmd.data_length = 3 * 512;
  EXPECT_EQ(vornvuc_xr_vsc_execute_data_out_command(&cmd), 0) << err_.message;
  EXPECT_EQ(sim::storage_ata(0)->vu_data_out(), out);
  EXPECT_EQ(cmd.disable(&cmd), 0);
}

TEST_F(Vuc, Level5GecsAreJudged) {
  load({{{"drive", "sata5"}, {"vu", {{"principal_gec", 5}, {"supplemental_gec", 6}}}}});
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(2, WINDOWS_INBOX_AHCI), 5, &cmd), 0);
  EXPECT_EQ(cmd.enable(&cmd), 1);
  EXPECT_EQ(err_.subcode, 5u);
  EXPECT_STREQ(err_.message, "VSC send key (ac 70/fc 1) failed: 5h/6h");
  EXPECT_STREQ(err_.function, "_vsc5_ata_execute_send_key");
}

TEST_F(Vuc, SecureDriveLockedTestAtLevel4) {
  sim::VuConfig vu = *sim::storage_ata(0)->config().vu;
  vu.key_page_flags = 0x2000;
  vu.security_level = 2;
  sim::storage_ata(0)->set_vu_config(vu);
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &sata4(), 4, &cmd), 0);
  uint8_t locked = 0;
  ASSERT_EQ(vornvuc_xr_vsc_execute_is_secure_drive_locked(&cmd, &locked), 0) << err_.message;
  EXPECT_EQ(locked, 1);
  EXPECT_FALSE(sim::storage_ata(0)->vu_enabled());
}

TEST_F(Vuc, SuperBinariesAreAppendedToTheFile) {
  const std::string path = ::testing::TempDir() + "vuc_super_binary.bin";
  std::remove(path.c_str());
  double progress = 0;
  ASSERT_EQ(vornvuc_xr_ata_save_super_binary(&err_, &disk(2, WINDOWS_INBOX_AHCI), path.c_str(), 0, &progress), 0)
      << err_.message;
  EXPECT_EQ(progress, 1.0);
  EXPECT_EQ(vornvuc_xr_ata_save_super_binary(&err_, &disk(2, WINDOWS_INBOX_AHCI), path.c_str(), 2, &progress), 1);
  EXPECT_STREQ(err_.message, "DRM only supports short and default mode");

  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
  ASSERT_EQ(vornvuc_xr_scsi_save_super_binary(&cmd, path.c_str(), &progress), 0) << err_.message;
  EXPECT_EQ(progress, 1.0);
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  // The ATA binary (3 blocks), then the header, the VSC-ID piece's place after the VPD page.
  ASSERT_GE(file.size(), 3u * 512 + 512);
  const uint8_t *header = file.data() + 3 * 512;
  EXPECT_EQ(header[0], 0xC3); EXPECT_EQ(header[3], 0xF0); EXPECT_EQ(header[14], 0x07);
  EXPECT_EQ(header[44], 1);  // the VPD page
  EXPECT_EQ(header[46], 1);  // key 13/1
  EXPECT_EQ(file.size(), 3u * 512 + 512u * (header[40] | header[41] << 8));
  std::remove(path.c_str());
  EXPECT_EQ(vornvuc_xr_scsi_save_super_binary(&cmd, "/nonexistent-dir/x.bin", &progress), 1);
  EXPECT_EQ(progress, 0.0);
  EXPECT_EQ(err_.subcode, 1u);
}

TEST_F(Vuc, ResponderFieldsAreLoadedStrictly) {
  std::ifstream f(sim::machine_file_path("vuc"));
  nlohmann::json machine = nlohmann::json::parse(f);
  machine["storage"]["disks"][0]["ata"]["vu"]["levle"] = 4;
  sim::reset_machine();
  sim::register_storage_section();
  EXPECT_THROW(sim::load_machine_json(machine.dump()), std::runtime_error);
  load(nlohmann::json::array());
  EXPECT_THROW(load({{{"drive", "sata4"}, {"vu", {{"ctl", "X"}}}}}), std::runtime_error);  // not a fault
  EXPECT_THROW(load({{{"drive", "sata"}, {"vu", {{"answer_bytes", 1}}}}}), std::runtime_error);  // no responder
}

}  // namespace

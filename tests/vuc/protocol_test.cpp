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
#include "huld/huld_scsi.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/scsi_target.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "vornvuc/xr/fill_and_execute.h"
#include "vornvuc/xr/parse.h"

namespace {

// ATA commands as the host sent them: command, feature, count, LBA bits 7:0, then the rest of
// the registers and the data of a command to the device.
struct Sent {
  uint8_t command, feature;
  uint16_t count;
  uint8_t log;
  uint64_t lba;
  uint8_t protocol, is_ext, device;
  std::vector<uint8_t> out;
};
std::vector<Sent> sent;
std::vector<uint8_t> bytes_of(const void *data, uint32_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  return p ? std::vector<uint8_t>(p, p + len) : std::vector<uint8_t>{};
}
int record_ata(huld_error *, huld_dev *, const huld_ata_cmd *before, const huld_ata_cmd *) {
  sent.push_back({before->command, static_cast<uint8_t>(before->feature), before->count,
                  static_cast<uint8_t>(before->lba), before->lba, before->protocol, before->is_ext,
                  before->device,
                  before->ddir == HULD_DDIR_TO_DEVICE ? bytes_of(before->data, before->data_len)
                                                      : std::vector<uint8_t>{}});
  return 0;
}
// SCSI commands as the host sent them: the CDB and the data of a command to the device.
struct SentCdb {
  std::vector<uint8_t> cdb, out;
};
std::vector<SentCdb> sent_cdbs;
int record_scsi(huld_error *, huld_dev *, const huld_scsi_cmd *before, const huld_scsi_cmd *) {
  sent_cdbs.push_back({bytes_of(before->cdb, before->cdb_len),
                       before->ddir == HULD_DDIR_TO_DEVICE ? bytes_of(before->data, before->data_len)
                                                           : std::vector<uint8_t>{}});
  return 0;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
// Key bytes 258 to 263 of a sent key: the level-5 access code.
std::vector<uint8_t> access_code_of(const std::vector<uint8_t> &key) {
  return key.size() < 264 ? std::vector<uint8_t>{} : std::vector<uint8_t>(key.begin() + 258, key.begin() + 264);
}

class Vuc : public ::testing::Test {
 protected:
  void SetUp() override { load(nlohmann::json::array()); }
  void TearDown() override {
    huld_ata_execute_hook = nullptr;
    huld_scsi_execute_hook = nullptr;
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
    sent_cdbs.clear();
    huld_ata_execute_hook = record_ata;
    huld_scsi_execute_hook = record_scsi;
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
    sent_cdbs.clear();
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
  // A larger one receives the answer's 512 bytes and nothing beyond them.
  std::vector<uint8_t> large(2048, 0xEE);
  ASSERT_EQ(vornvuc_xr_vsc_execute_vsc_id(&err_, &dev, large.data(), static_cast<uint32_t>(large.size())), 0)
      << err_.message;
  EXPECT_EQ(memcmp(large.data(), record_, sizeof(record_)), 0);
  EXPECT_TRUE(std::all_of(large.begin() + sizeof(record_), large.end(), [](uint8_t b) { return b == 0; }));
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

TEST_F(Vuc, Level4ModeCommandsCarryTheAccessCodeInTheir28BitForm) {
  ASSERT_EQ(read_vscid(sata4()), 0) << err_.message;
  ASSERT_EQ(sent.size(), 6u);
  for (const Sent *s : {&sent[1], &sent[5]}) {
    EXPECT_EQ(s->command, 0x80);
    EXPECT_EQ(s->lba, 0x5A3C71u);
    EXPECT_EQ(s->is_ext, 0);
    EXPECT_EQ(s->protocol, 3);  // non-data
    EXPECT_EQ(s->count, 0);
    EXPECT_EQ(s->device, 0);
  }
  EXPECT_EQ(sent[1].feature, 0x45);
  EXPECT_EQ(sent[5].feature, 0x44);
}

TEST_F(Vuc, Level5AndScsiEnableKeysCarryTheAccessCode) {
  const std::vector<uint8_t> code = {0x52, 0x4F, 0x55, 0x42, 0x05, 0x00};
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(2, WINDOWS_INBOX_AHCI), 5, &cmd), 0);
  ASSERT_EQ(cmd.enable(&cmd), 0) << err_.message;
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].command, 0xB0); EXPECT_EQ(sent[0].feature, 0xD6); EXPECT_EQ(sent[0].log, 0xBE);
  ASSERT_EQ(sent[0].out.size(), 512u);
  EXPECT_EQ(le16(sent[0].out.data()), 70); EXPECT_EQ(le16(sent[0].out.data() + 2), 1);
  EXPECT_EQ(access_code_of(sent[0].out), code);

  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
  ASSERT_EQ(cmd.enable(&cmd), 0) << err_.message;
  ASSERT_FALSE(sent_cdbs.empty());
  EXPECT_EQ(sent_cdbs[0].cdb, (std::vector<uint8_t>{0x1D, 0x00, 0x00, 0x02, 0x00, 0x00}));
  EXPECT_EQ(access_code_of(sent_cdbs[0].out), code);
}

TEST_F(Vuc, AStatusWithoutErrorCodesClearsThoseOfTheKeyBefore) {
  for (const char *drive : {"sata5", "scsi5"}) {
    SCOPED_TRACE(drive);
    load({{{"drive", drive}, {"vu", {{"status_version", "0x0200"}, {"supplemental_gec", 6}}}}});
    huld_dev &dev = std::string(drive) == "sata5" ? disk(2, WINDOWS_INBOX_AHCI) : disk(3, INBOX_USB_MASS_STORAGE);
    vornvuc_xr_vsc_cmd cmd;
    ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &dev, 5, &cmd), 0);
    ASSERT_EQ(cmd.enable(&cmd), 0) << err_.message;
    memset(cmd.key, 0, sizeof(cmd.key));
    cmd.key[0] = 99, cmd.key[2] = 1;  // a key the drive does not know
    EXPECT_EQ(vornvuc_xr_vsc_execute_data_in_command(&cmd), 1);
    EXPECT_STREQ(err_.message, "VSC send key (ac 99/fc 1) failed: 1h/6h");
    memset(cmd.key, 0, sizeof(cmd.key));
    cmd.key[0] = 13, cmd.key[2] = 1;
    ASSERT_EQ(vornvuc_xr_vsc_execute_data_in_command(&cmd), 0) << err_.message;
    EXPECT_EQ(cmd.principal_gec, 0u);
    EXPECT_EQ(cmd.supplemental_gec, 0u);
    vornvuc_xr_vsc_cleanup_data_in_command(&cmd);
    EXPECT_EQ(cmd.disable(&cmd), 0) << err_.message;
  }
}

TEST_F(Vuc, TheAtaSuperBinaryIsSavedUpToItsLastBlock) {
  sim::VuConfig vu = *sim::storage_ata(2)->config().vu;
  vu.sct_binary.assign(4 * 512, 0);
  vu.sct_binary[40] = 4;
  for (size_t b = 1; b < 4; ++b) std::fill_n(vu.sct_binary.begin() + b * 512, 512, static_cast<uint8_t>(0xA0 + b));
  sim::storage_ata(2)->set_vu_config(vu);
  const std::string path = ::testing::TempDir() + "vuc_ata_super_binary.bin";
  std::remove(path.c_str());
  double progress = 0;
  ASSERT_EQ(vornvuc_xr_ata_save_super_binary(&err_, &disk(2, WINDOWS_INBOX_AHCI), path.c_str(), 1, &progress), 0)
      << err_.message;
  std::ifstream f(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  EXPECT_EQ(file, vu.sct_binary);
  // The short request, then the header and three more blocks, one a command.
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].command, 0x57); EXPECT_EQ(sent[0].log, 0xE0);
  ASSERT_EQ(sent[0].out.size(), 512u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].out.begin(), sent[0].out.begin() + 13),
            (std::vector<uint8_t>{0x02, 0xC0, 0x01, 0x00, 0xA0, 0xE0, 0xD0, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(sent[i].command, 0x47); EXPECT_EQ(sent[i].log, 0xE1); EXPECT_EQ(sent[i].count, 1);
  }
}

std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The progress the caller could read as each ATA command went out.
std::vector<double> progress_at_ata;
const double *ata_progress = nullptr;
int record_ata_progress(huld_error *, huld_dev *, const huld_ata_cmd *, const huld_ata_cmd *) {
  progress_at_ata.push_back(*ata_progress);
  return 0;
}

// The ATA super binary's progress is the share of its blocks in hand: 2/4 once the first block
// after the header came, 1.0 at the end; a block that cannot be read leaves the last share (never
// a value outside 0..1) and writes nothing to the file.
TEST_F(Vuc, TheAtaSuperBinaryReportsTheShareOfItsBlocksRead) {
  for (bool failing : {false, true}) {
    SCOPED_TRACE(failing);
    // READ LOG DMA EXT: the header, block 1, then block 2.
    load(failing ? nlohmann::json{{{"drive", "sata5"}, {"ata_command", "0x47"}, {"count", {{"nth", 3}}},
                                   {"action", {{"status", "0x51"}, {"error", 4}}}}}
                 : nlohmann::json::array());
    huld_dev &dev = disk(2, WINDOWS_INBOX_AHCI);
    sim::VuConfig vu = *sim::storage_ata(2)->config().vu;
    vu.sct_binary.assign(4 * 512, 0x11);
    vu.sct_binary[40] = 4;
    vu.sct_binary[41] = 0;
    sim::storage_ata(2)->set_vu_config(vu);
    const std::string path = ::testing::TempDir() + "vuc_ata_super_binary_progress.bin";
    std::remove(path.c_str());
    double progress = 0.0;
    progress_at_ata.clear();
    ata_progress = &progress;
    huld_ata_execute_hook = record_ata_progress;
    const int rc = vornvuc_xr_ata_save_super_binary(&err_, &dev, path.c_str(), 0, &progress);
    huld_ata_execute_hook = nullptr;
    const std::vector<uint8_t> file = read_file(path);
    std::remove(path.c_str());
    if (failing) {
      EXPECT_EQ(rc, 1);
      EXPECT_STREQ(err_.message, "Failed getting the full DRM SB file");
      EXPECT_EQ(progress, 0.5);
      EXPECT_TRUE(file.empty());
      EXPECT_EQ(progress_at_ata, (std::vector<double>{0.0, 0.0, 0.0, 0.5}));
    } else {
      ASSERT_EQ(rc, 0) << err_.message;
      EXPECT_EQ(progress, 1.0);
      EXPECT_EQ(file, vu.sct_binary);
      // The request, the header, then blocks 1 to 3.
      EXPECT_EQ(progress_at_ata, (std::vector<double>{0.0, 0.0, 0.0, 0.5, 0.75}));
    }
  }
}

// Walks a saved SCSI super binary: each piece's count in the header, its blocks in the file in
// the order of the header's counts, each block the one the drive tagged for that key (the VPD
// page and the VSC-ID record carry their own marks). The VPD page's area is in the file whether
// or not the page was read, zeroed and not counted when it was not. Returns the pieces' counts.
std::vector<uint16_t> check_scsi_super_binary(const std::vector<uint8_t> &file) {
  struct Piece {
    uint32_t count_at;
    uint16_t ac, fc, param, first_block;
  };
  const Piece pieces[] = {{42, 86, 19, 0, 0},  {44, 0, 0, 0, 0},      {46, 13, 1, 0, 0},
                          {60, 113, 1, 0, 0},  {62, 76, 1, 45, 0},    {64, 76, 1, 0xC044, 1},
                          {66, 126, 2, 0, 0},  {68, 76, 1, 0xC03A, 0}, {70, 76, 1, 0xC03A, 0}};
  std::vector<uint16_t> counts;
  if (file.size() < 512) {
    ADD_FAILURE() << "no header";
    return counts;
  }
  size_t at = 512;
  uint32_t total = 1;
  for (const Piece &p : pieces) {
    const uint16_t blocks = le16(file.data() + p.count_at);
    counts.push_back(blocks);
    const bool vpd = p.count_at == 44;
    const uint16_t stored = vpd ? 1 : blocks;
    if (vpd) {
      EXPECT_LE(blocks, 1u);
    }
    if (at + stored * 512u > file.size()) {
      ADD_FAILURE() << "piece counted at " << p.count_at << " runs past the file";
      return counts;
    }
    for (uint16_t b = 0; b < stored; ++b) {
      const uint8_t *blk = file.data() + at + b * 512u;
      if (vpd && blocks == 0) {
        EXPECT_TRUE(std::all_of(blk, blk + 512, [](uint8_t v) { return v == 0; })) << "unread VPD page";
      } else if (vpd) {
        EXPECT_EQ(blk[1], 0xEC);
      } else if (p.ac == 13) {
        EXPECT_EQ(std::string(blk + 2, blk + 10), "CTLSAS01");
      } else {
        EXPECT_EQ(le16(blk), p.ac) << p.count_at;
        EXPECT_EQ(le16(blk + 2), p.fc) << p.count_at;
        EXPECT_EQ(le16(blk + 4), p.param) << p.count_at;
        EXPECT_EQ(le16(blk + 6), p.first_block + b) << p.count_at;
      }
    }
    at += stored * 512u;
    total += blocks;
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(le16(file.data() + 40), total);
  return counts;
}

TEST_F(Vuc, EveryPieceOfTheScsiSuperBinaryLandsInItsPlace) {
  const std::string path = ::testing::TempDir() + "vuc_scsi_super_binary.bin";
  std::remove(path.c_str());
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
  double progress = 0;
  ASSERT_EQ(vornvuc_xr_scsi_save_super_binary(&cmd, path.c_str(), &progress), 0) << err_.message;
  const std::vector<uint16_t> counts = check_scsi_super_binary(read_file(path));
  std::remove(path.c_str());
  ASSERT_EQ(counts.size(), 9u);
  for (size_t i = 0; i < counts.size(); ++i) EXPECT_GE(counts[i], 1u) << "piece " << i;
  EXPECT_EQ(cmd.data, nullptr);
}

// Each key of the SCSI transport as it went out, with the progress the caller could read then.
struct KeySeen {
  uint16_t ac, fc;
  double progress;
};
std::vector<KeySeen> keys_seen;
const double *watched_progress = nullptr;
int record_key(huld_error *, huld_dev *, const huld_scsi_cmd *before, const huld_scsi_cmd *) {
  if (before->cdb[0] == 0x1D && before->data && before->data_len >= 4) {
    const auto *key = static_cast<const uint8_t *>(before->data);
    keys_seen.push_back({le16(key), le16(key + 2), *watched_progress});
  }
  return 0;
}

// A drive that refuses the VPD page: the super binary is still saved whole, the page's area
// zeroed and counted as no block, and the page's step still moves the progress on.
TEST_F(Vuc, AFailedInquiryLeavesTheVpdAreaUncountedAndTheRestSaved) {
  load({{{"drive", "scsi5"}, {"cdb0", "0x12"}, {"byte1", 1}, {"byte2", "0xEC"},
         {"action", {{"status", 2}, {"sense_key", 5}, {"asc", "0x24"}}}}});
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
  double progress = 0.0;
  keys_seen.clear();
  watched_progress = &progress;
  huld_scsi_execute_hook = record_key;
  const std::string path = ::testing::TempDir() + "vuc_scsi_super_binary_no_vpd.bin";
  std::remove(path.c_str());
  ASSERT_EQ(vornvuc_xr_scsi_save_super_binary(&cmd, path.c_str(), &progress), 0) << err_.message;
  huld_scsi_execute_hook = nullptr;
  EXPECT_EQ(err_.code, 0u);
  EXPECT_EQ(progress, 1.0);
  const std::vector<uint16_t> counts = check_scsi_super_binary(read_file(path));
  std::remove(path.c_str());
  ASSERT_EQ(counts.size(), 9u);
  EXPECT_EQ(counts[1], 0u);  // the VPD page
  for (size_t i : {0, 2, 3, 4, 5, 6, 7, 8}) EXPECT_GE(counts[i], 1u) << "piece " << i;

  // Enable, the eight keys, disable; the INQUIRY's step lies between the first two keys.
  const KeySeen expected[] = {{70, 1, 0.0},  {86, 19, 0.0}, {13, 1, 0.2}, {113, 1, 0.3}, {76, 1, 0.4},
                              {76, 1, 0.5},  {126, 2, 0.6}, {76, 1, 0.7}, {76, 1, 0.8}, {70, 2, 0.9}};
  ASSERT_EQ(keys_seen.size(), std::size(expected));
  for (size_t i = 0; i < keys_seen.size(); ++i) {
    EXPECT_EQ(keys_seen[i].ac, expected[i].ac) << i;
    EXPECT_EQ(keys_seen[i].fc, expected[i].fc) << i;
    EXPECT_NEAR(keys_seen[i].progress, expected[i].progress, 1e-9) << i;
  }
}

TEST_F(Vuc, AFailedPieceLeavesTheContextWithoutABuffer) {
  // READ BUFFER in vendor-unique mode: the 2nd chunk of a long answer; in the super binary the
  // 6th transfer, the only one of key 126/2.
  load({{{"drive", "scsi5"}, {"cdb0", "0x3C"}, {"byte1", 1}, {"count", {{"nth", 2}}},
         {"action", {{"status", 2}, {"sense_key", 3}, {"asc", "0x11"}}}}});
  huld_dev &dev = disk(3, INBOX_USB_MASS_STORAGE);
  sim::VuConfig vu = *sim::storage_scsi(3)->config().vu;
  vu.answers[{8, 1}] = std::vector<uint8_t>(300 * 512, 0x5A);
  sim::storage_scsi(3)->set_vu_config(vu);
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &dev, 5, &cmd), 0);
  ASSERT_EQ(cmd.enable(&cmd), 0) << err_.message;
  EXPECT_EQ(vornvuc_xr_vsc4_execute_read_overlay(&cmd, 1), 1);
  EXPECT_NE(err_.code, 0u);
  EXPECT_EQ(cmd.data, nullptr);
  EXPECT_EQ(cmd.data_length, 0u);
  EXPECT_EQ(cmd.disable(&cmd), 0) << err_.message;

  load({{{"drive", "scsi5"}, {"cdb0", "0x3C"}, {"byte1", 1}, {"count", {{"nth", 6}}},
         {"action", {{"status", 2}, {"sense_key", 3}, {"asc", "0x11"}}}}});
  const std::string path = ::testing::TempDir() + "vuc_scsi_super_binary_gap.bin";
  std::remove(path.c_str());
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
  ASSERT_EQ(vornvuc_xr_scsi_save_super_binary(&cmd, path.c_str(), nullptr), 0) << err_.message;
  const std::vector<uint16_t> counts = check_scsi_super_binary(read_file(path));
  std::remove(path.c_str());
  ASSERT_EQ(counts.size(), 9u);
  EXPECT_EQ(counts[6], 0u);  // key 126/2
  EXPECT_GE(counts[7], 1u);  // the pieces after it are kept
}

TEST_F(Vuc, SecureDriveTestAtLevel5AndOverScsi) {
  // The flags are two words added; only their sum says whether the drive is secure.
  const struct {
    uint16_t value;
    uint8_t supported;
  } cases[] = {{0x2000, 1}, {0x9000, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    sim::VuConfig vu = *sim::storage_ata(2)->config().vu;
    vu.secure_test_value = c.value;
    sim::storage_ata(2)->set_vu_config(vu);
    vu = *sim::storage_scsi(3)->config().vu;
    vu.secure_test_value = c.value;
    sim::storage_scsi(3)->set_vu_config(vu);

    vornvuc_xr_vsc_cmd cmd;
    uint8_t supported = 0xEE;
    ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(2, WINDOWS_INBOX_AHCI), 5, &cmd), 0);
    ASSERT_EQ(vornvuc_xr_vsc_execute_is_secure_drive(&cmd, &supported), 0) << err_.message;
    EXPECT_EQ(supported, c.supported);
    ASSERT_EQ(sent.size(), 1u);  // READ LOG DMA EXT, log BCh page 0, two blocks
    EXPECT_EQ(sent[0].command, 0x47); EXPECT_EQ(sent[0].lba, 0xBCu); EXPECT_EQ(sent[0].count, 2);

    supported = 0xEE;
    ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &disk(3, INBOX_USB_MASS_STORAGE), 5, &cmd), 0);
    ASSERT_EQ(vornvuc_xr_vsc_execute_is_secure_drive(&cmd, &supported), 0) << err_.message;
    EXPECT_EQ(supported, c.supported);
    ASSERT_EQ(sent_cdbs.size(), 1u);
    EXPECT_EQ(sent_cdbs[0].cdb, (std::vector<uint8_t>{0x1C, 0x01, 0xF4, 0x04, 0x00, 0x00}));
  }
}

TEST_F(Vuc, SecurityLevel4IsLockedAt3Not) {
  for (uint16_t level : {3, 4}) {
    sim::VuConfig vu = *sim::storage_ata(0)->config().vu;
    vu.key_page_flags = 0x2000;
    vu.security_level = level;
    sim::storage_ata(0)->set_vu_config(vu);
    vornvuc_xr_vsc_cmd cmd;
    ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &sata4(), 4, &cmd), 0);
    uint8_t locked = 0xEE;
    ASSERT_EQ(vornvuc_xr_vsc_execute_is_secure_drive_locked(&cmd, &locked), 0) << err_.message;
    EXPECT_EQ(locked, level == 4 ? 1 : 0) << level;
  }
}

TEST_F(Vuc, AShortSecurityLevelAnswerIsRefused) {
  const struct {
    uint16_t status_version;
    std::vector<uint8_t> answer;
    const char *message;  // null: level 4 read
  } cases[] = {{0x0100, {}, "security level answer too short (0 bytes)"},
               {0x0200, {0, 0, 0, 0}, "security level answer too short (4 bytes)"},
               {0x0200, {0, 0, 0, 0, 4, 0}, nullptr}};
  for (const auto &c : cases) {
    sim::VuConfig vu = *sim::storage_ata(0)->config().vu;
    vu.status_version = c.status_version;
    vu.answers[{159, 8}] = c.answer;
    sim::storage_ata(0)->set_vu_config(vu);
    vornvuc_xr_vsc_cmd cmd;
    ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &sata4(), 4, &cmd), 0);
    ASSERT_EQ(cmd.enable(&cmd), 0);
    uint16_t level = 0xEEEE;
    if (c.message) {
      EXPECT_EQ(vornvuc_xr_vsc_execute_get_security_level(&cmd, &level), 1);
      EXPECT_STREQ(err_.message, c.message);
      EXPECT_EQ(level, 0xEEEE);
    } else {
      EXPECT_EQ(vornvuc_xr_vsc_execute_get_security_level(&cmd, &level), 0) << err_.message;
      EXPECT_EQ(level, 4);
    }
    EXPECT_EQ(cmd.data, nullptr);
    EXPECT_EQ(cmd.disable(&cmd), 0);
  }
}

// At level 4 a status that cannot be read leaves the status area as it was; the security level
// read clears it first, so the status an earlier key left (here version 0200h with a 4-byte
// answer) never sizes the level's answer, which the key page then gives as one whole block.
TEST_F(Vuc, TheSecurityLevelIsNotSizedByAnEarlierKeysStatus) {
  // SMART READ LOG: the overlay's status and data, then the security key's status.
  load({{{"drive", "sata4"}, {"ata_command", "0xB0"}, {"feature", "0xD5"}, {"count", {{"nth", 3}}},
         {"action", {{"status", "0x51"}, {"error", 4}}}}});
  huld_dev &dev = sata4();
  sim::VuConfig vu = *sim::storage_ata(0)->config().vu;
  vu.status_version = 0x0200;
  vu.answers[{8, 1}] = {1, 2, 3, 4};
  vu.security_level = 4;
  sim::storage_ata(0)->set_vu_config(vu);
  vornvuc_xr_vsc_cmd cmd;
  ASSERT_EQ(vornvuc_xr_vsc_initialize_cmd(&err_, &dev, 4, &cmd), 0);
  ASSERT_EQ(cmd.enable(&cmd), 0) << err_.message;
  ASSERT_EQ(vornvuc_xr_vsc4_execute_read_overlay(&cmd, 1), 0) << err_.message;
  vornvuc_xr_vsc_cleanup_data_in_command(&cmd);
  sent.clear();
  uint16_t level = 0xEEEE;
  EXPECT_EQ(vornvuc_xr_vsc_execute_get_security_level(&cmd, &level), 0) << err_.message;
  EXPECT_EQ(level, 4);
  // Key, the failed status, the key page, one block of data.
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].log, 0xBD);
  EXPECT_EQ(sent[2].log, 0xBE);
  EXPECT_EQ(sent[3].log, 0xBF);
  EXPECT_EQ(cmd.disable(&cmd), 0) << err_.message;
}

}  // namespace

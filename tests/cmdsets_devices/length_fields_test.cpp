// Length fields that cannot carry their transfer are refused before anything is sent: a 28-bit
// block count through SCSI/ATA translation, SCSI allocation and parameter list lengths beyond
// their fields or buffers, NVMe lengths beyond the buffer. The simulated translation layer sizes
// every transfer from its CDB and counts a disagreeing buffer as a contract violation. CHECK
// POWER MODE through the translation brings its registers back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices_support.h"
#include "huld/huld_ata.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "vornata/ata.h"
#include "vornnvme/nvme.h"
#include "vornscsi/scsi.h"

using namespace devices_test;

namespace {

class LengthFields : public DeviceTest {
 protected:
  void expect_refused(int result, const huld_error &err) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
    EXPECT_NE(err.message[0], '\0');
    EXPECT_EQ(sent_total(), 0u) << "nothing may reach the driver";
  }
};

TEST_F(LengthFields, TwentyEightBitCountsBeyondEightBitsAreNotSentThroughTranslation) {
  huld_dev &dev = usb_sat();
  auto ata = sim::storage_ata(kUsbSatDisk);
  std::vector<uint8_t> buffer(600 * 512, 0xA5);
  huld_error err = fresh_error();
  // 600 blocks would reach the bridge as COUNT 58h: 88 blocks.
  expect_refused(vornata_execute_download_microcode(&err, &dev, 0x03, 600, 0, buffer.data(), 600 * 512), err);
  expect_refused(vornata_execute_trusted_send(&err, &dev, 1, 0, buffer.data(), 256 * 512), err);
  EXPECT_EQ(ata->command_count(0x92) + ata->command_count(0x5E), 0u);

  // 255 blocks fit the field and reach the drive (which has nothing staged at that offset).
  EXPECT_EQ(vornata_execute_download_microcode(&err, &dev, 0x03, 255, 0, buffer.data(), 255 * 512), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE)) << err.message;
  EXPECT_EQ(ata->command_count(0x92), 1u);
}

TEST_F(LengthFields, TranslationLayerCountsADisagreeingBufferAsAViolation) {
  huld_dev &dev = ahci_sat();
  // IDENTIFY announcing one 512-byte block, sent with a 1024-byte buffer past the ATA layer.
  uint8_t buffer[1024] = {};
  huld_ata_cmd ata{};
  huld_ata_fill_probe_identify(&ata, buffer);
  huld_scsi_cmd scsi;
  huld_scsi_fill_sat_cmd(&scsi, &ata);
  scsi.data_len = sizeof(buffer);
  huld_error err = fresh_error();
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &scsi), 0) << err.message;
  EXPECT_EQ(scsi.scsi_status, 0x02);
  EXPECT_EQ(sim::storage_ata(kAhciDisk)->command_count(0xEC), 0u);
  ASSERT_EQ(sim::contract_violation_count(), 1u);
  EXPECT_NE(sim::contract_violations()[0].find("512 bytes"), std::string::npos) << sim::contract_violations()[0];
  sim::contract_violations_clear();

  // The same CDB with its own buffer goes through.
  scsi.data_len = 512;
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &scsi), 0);
  EXPECT_EQ(scsi.scsi_status, 0x00);
}

TEST_F(LengthFields, CheckPowerModeThroughTranslationReadsTheRegisters) {
  huld_dev &dev = usb_sat();
  huld_error err = fresh_error();
  uint8_t mode = 0x77;
  ASSERT_EQ(vornata_execute_check_power_mode(&err, &dev, &mode), 0) << err.message;
  EXPECT_EQ(mode, 0xFF) << "the drive is active, not in standby";
}

TEST_F(LengthFields, ScsiLengthsBeyondTheirFieldOrBuffer) {
  huld_dev &dev = scsi();
  std::vector<uint8_t> buffer(1u << 24, 0);
  uint8_t *b = buffer.data();
  huld_error err = fresh_error();
  expect_refused(vornscsi_execute_inquiry(&err, &dev, 0, 0, b, 65536), err);
  expect_refused(vornscsi_execute_request_sense(&err, &dev, 0, b, 256), err);
  expect_refused(vornscsi_execute_read_buffer(&err, &dev, 0, 1, 0, 0, b, 1u << 24), err);
  expect_refused(vornscsi_execute_write_buffer(&err, &dev, 0x0E, 8192, 0, b, 4096), err);
  expect_refused(vornscsi_execute_write_buffer(&err, &dev, 0x0E, 512, 1u << 24, b, 512), err);
  expect_refused(vornscsi_execute_log_sense(&err, &dev, 0, 1, 0x11, 0, 0, 1024, b, 512), err);
  EXPECT_EQ(sim::storage_scsi(kScsiDisk)->command_count(0x12) + sim::storage_scsi(kScsiDisk)->command_count(0x3B),
            0u);

  // The largest allocation length the field holds goes out whole.
  ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 0, 0, b, 65535), 0) << err.message;
  EXPECT_EQ(cdb_of(sent(kScsiPassThrough).at(0)), (std::vector<uint8_t>{0x12, 0, 0, 0xFF, 0xFF, 0}));
}

TEST_F(LengthFields, NvmeLengthsBeyondTheBuffer) {
  huld_dev &dev = nvme();
  std::vector<uint8_t> buffer(4096, 0);
  huld_error err = fresh_error();
  // NUMD 127 is 512 bytes: one more dword than a 508-byte buffer holds.
  expect_refused(vornnvme_execute_get_log_page(&err, &dev, 0, 127, 0, 0, 0x03, 0, 0, 0, 0, 0, buffer.data(), 508),
                 err);
  expect_refused(vornnvme_execute_firmware_image_download(&err, &dev, 4096 / 4, 0, buffer.data(), 4096), err);
  expect_refused(vornnvme_execute_security_receive(&err, &dev, 1, 0, 0, 8192, buffer.data(), 4096), err);
  EXPECT_EQ(sim::storage_nvme(kNvmeDisk)->command_count(0x02) + sim::storage_nvme(kNvmeDisk)->command_count(0x11),
            0u);

  ASSERT_EQ(vornnvme_execute_get_log_page(&err, &dev, 0, 127, 0, 0, 0x03, 0, 0, 0, 0, 0, buffer.data(), 512), 0)
      << err.message;
}

}  // namespace

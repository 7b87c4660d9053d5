#include <gtest/gtest.h>

#include <cstring>

#include "drive_test_util.h"
#include "sim/drives/sat_device.h"

using namespace sim;
using namespace drivetest;

namespace {

AtaConfig ata_config() {
  AtaConfig c;
  c.model = "BRISKEL S500";
  c.serial = "AT0000000777";
  c.firmware = "FWA00001";
  return c;
}

struct SatRig {
  std::shared_ptr<AtaDrive> drive = std::make_shared<AtaDrive>(ata_config());
  SatDevice sat;
  explicit SatRig(SatConfig cfg = {}) : sat(drive, std::move(cfg)) {}
};

// 16-byte ATA PASS-THROUGH the way the host builds it.
std::array<uint8_t, 16> apt16(uint8_t protocol, bool ext, bool ck, bool in, bool data, const AtaTaskfile &tf) {
  SatCdb c;
  c.protocol = protocol;
  c.extend = ext;
  c.ck_cond = ck;
  c.t_dir_in = in;
  if (data) {
    c.byte_block = true;
    c.t_length = 2;
  }
  c.tf = tf;
  std::array<uint8_t, 16> cdb{};
  encode_sat_cdb16(c, cdb.data());
  return cdb;
}

ScsiResult run16(SatDevice &sat, const std::array<uint8_t, 16> &cdb, uint8_t *data, uint32_t len, int ddir) {
  return sat.execute(cdb.data(), 16, data, len, ddir);
}

AtaTaskfile tf_of(uint8_t command, uint16_t feature = 0, uint16_t count = 0, uint64_t lba = 0) {
  AtaTaskfile tf{.feature = feature, .count = count, .lba = lba, .command = command};
  return tf;
}

ScsiResult activate(SatDevice &sat, bool ck = false) {
  return run16(sat, apt16(3, false, ck, false, false, tf_of(0x92, 0x0F)), nullptr, 0, kDirNone);
}

ScsiResult inquiry(SatDevice &sat, uint8_t evpd, uint8_t page, std::vector<uint8_t> &buf) {
  const uint8_t cdb[6] = {0x12, evpd, page, static_cast<uint8_t>(buf.size() >> 8), static_cast<uint8_t>(buf.size()), 0};
  return sat.execute(cdb, 6, buf.data(), static_cast<uint32_t>(buf.size()), kDirIn);
}

}  // namespace

// --- CDB decoding -------------------------------------------------------------------------------

TEST(SatCdbDecoding, TwelveByteFormHasNoHighBytes) {
  const uint8_t cdb[12] = {0xA1, 0x08, 0x0E, 0xD5, 0x01, 0xBD, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00};
  SatCdb c;
  ASSERT_TRUE(decode_sat_cdb(cdb, 12, &c));
  EXPECT_EQ(c.protocol, 4);
  EXPECT_FALSE(c.extend);
  EXPECT_EQ(c.tf.feature, 0xD5);
  EXPECT_EQ(c.tf.count, 1);
  EXPECT_EQ(c.tf.lba, 0xC24FBDu);
  EXPECT_EQ(c.tf.command, 0xB0);
  EXPECT_FALSE(decode_sat_cdb(cdb, 10, &c));
  const uint8_t other[16] = {0x28};
  EXPECT_FALSE(decode_sat_cdb(other, 16, &c));
}

TEST(SatCdbDecoding, TwentyEightBitCommandsIgnoreTheHighBytes) {
  const uint8_t cdb[16] = {0x85, 0x0A, 0x06, 0xFF, 0x03, 0xFF, 0x10, 0xFF, 0x00, 0xFF, 0x10, 0xFF, 0x00, 0x00, 0x92};
  SatCdb c;
  ASSERT_TRUE(decode_sat_cdb(cdb, 16, &c));
  EXPECT_FALSE(c.extend);
  EXPECT_EQ(c.tf.feature, 0x03);
  EXPECT_EQ(c.tf.count, 0x10);
  EXPECT_EQ(c.tf.lba, 0x001000u);  // 16 blocks at block offset 16
}

// --- Pass-through ------------------------------------------------------------------------------

TEST(SatPassThrough, CkCondReturnsTheRegistersInDescriptorSense) {
  SatRig rig;
  std::vector<uint8_t> buf(512, 0);
  const ScsiResult r = run16(rig.sat, apt16(4, true, true, true, true, tf_of(0x2F, 0, 1, 0x0330)), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiCheckCondition);
  EXPECT_EQ(r.data_transferred, 512u);
  ASSERT_EQ(r.sense_len, 22u);
  EXPECT_EQ(scsi_line(r),
            "status 02 xfer 512 sense 72 01 00 1d 00 00 00 0e 09 0c 01 00 00 00 00 00 00 00 00 00 00 50");
  EXPECT_EQ(r.sense[10] & 1, 1);  // EXTEND
  EXPECT_EQ(r.sense[11], 0x00);   // error
  EXPECT_EQ(r.sense[21], 0x50);   // status
}

TEST(SatPassThrough, DownloadMicrocodeCountOutput) {
  SatRig rig;
  const std::vector<uint8_t> img = make_test_image(ImageTarget::Ata, "FWB00002", 16384);
  // 8192 bytes at byte offset 8192: COUNT 10h, LBA 7:0 00h, 15:8 10h.
  for (uint32_t off = 0; off < 16384; off += 8192) {
    std::vector<uint8_t> piece(img.begin() + off, img.begin() + off + 8192);
    const AtaTaskfile tf = tf_of(0x92, 0x03, 0x10, static_cast<uint64_t>(off / 512) << 8);
    const ScsiResult r = run16(rig.sat, apt16(5, false, true, false, true, tf), piece.data(), 8192, kDirOut);
    EXPECT_EQ(r.data_transferred, 8192u);
    EXPECT_EQ(r.sense_key(), 0x01);
    EXPECT_EQ(r.sense[13], off == 0 ? kDmMoreData : kDmApplied);
  }
  EXPECT_EQ(rig.drive->running_revision(), "FWB00002");
}

TEST(SatPassThrough, DirectionMismatchAndUnknownCommands) {
  SatRig rig;
  std::vector<uint8_t> buf(512, 0);
  ScsiResult r = run16(rig.sat, apt16(4, false, false, false, true, tf_of(0xEC, 0, 1)), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.sense_key(), 0x05);
  EXPECT_EQ(r.asc(), 0x24);
  r = run16(rig.sat, apt16(4, false, false, true, true, tf_of(0xEC, 0, 1)), buf.data(), 512, kDirOut);
  EXPECT_EQ(r.asc(), 0x24);

  const uint8_t read10[10] = {0x28};
  r = rig.sat.execute(read10, 10, buf.data(), 512, kDirIn);
  EXPECT_EQ(r.sense_key(), 0x05);
  EXPECT_EQ(r.asc(), 0x20);

  SatConfig cfg;
  cfg.pass_listed_only = true;
  SatRig strict(cfg);
  r = run16(strict.sat, apt16(3, false, false, false, false, tf_of(0xE7)), nullptr, 0, kDirNone);
  EXPECT_EQ(r.asc(), 0x24);
  r = run16(strict.sat, apt16(4, false, false, true, true, tf_of(0xEC, 0, 1)), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiGood);
}

// The PROTOCOL field is the data phase the bridge sets up: READ LOG DMA EXT as PIO data-in, or
// IDENTIFY DEVICE as DMA, ends with the drive's abort in the sense data and nothing moved.
TEST(SatPassThrough, DataPhaseInTheOtherProtocolIsAborted) {
  SatRig rig;
  std::vector<uint8_t> buf(512, 0);
  const AtaTaskfile log_dma = tf_of(0x47, 0, 1, 0x0330);
  ScsiResult r = run16(rig.sat, apt16(6, true, false, true, true, log_dma), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 512u);
  for (const auto &[protocol, tf] : {std::pair{4, log_dma}, std::pair{6, tf_of(0xEC, 0, 1)}}) {
    SCOPED_TRACE(protocol);
    r = run16(rig.sat, apt16(static_cast<uint8_t>(protocol), true, false, true, true, tf), buf.data(), 512, kDirIn);
    EXPECT_EQ(r.status, kScsiCheckCondition);
    EXPECT_EQ(r.data_transferred, 0u);
    EXPECT_EQ(r.sense[11], 0x04) << "error: abort";
    EXPECT_EQ(r.sense[21], 0x51) << "status";
  }
}

// --- Sense formats ------------------------------------------------------------------------------

TEST(SatSenseFormats, ErrorSenseKeyCanBeChosen) {
  SatConfig cfg;
  cfg.sense_format = SatSenseFormat::FixedNew;
  cfg.error_key = 0x05;
  cfg.error_asc = 0x21;
  cfg.error_ascq = 0x04;
  SatRig rig(cfg);
  const ScsiResult r = activate(rig.sat);
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense f0 00 05 04 51 00 00 0a 00 00 00 00 21 04 00 00 00 00");
}

TEST(SatSenseFormats, ShortAdditionalLengthAndShortSense) {
  SatConfig cfg;
  cfg.sense_format = SatSenseFormat::FixedNew;
  cfg.fixed_additional_length = 6;
  SatRig rig(cfg);
  ScsiResult r = activate(rig.sat);
  // sense[12]: beyond the reported length: cleared
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense f0 00 0b 04 51 00 00 06 00 00 00 00 00 1d");

  SatConfig tiny;
  tiny.sense_len_limit = 6;
  SatRig rig2(tiny);
  r = activate(rig2.sat);
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense 72 0b 00 1d 00 00");
}

// --- INQUIRY and VPD ----------------------------------------------------------------------------
// The standard data (vendor "ATA", model, revision) and SMART RETURN STATUS's LBA in each sense
// format are read back through the whole stack by the command-set device tests.

TEST(SatInquiry, SerialMatchesIdentifyOnEveryPath) {
  SatRig rig;
  std::vector<uint8_t> vpd(4096, 0);
  ASSERT_EQ(inquiry(rig.sat, 1, 0x80, vpd).status, kScsiGood);
  const size_t len = static_cast<size_t>(vpd[2]) << 8 | vpd[3];
  const std::string vpd_serial = trim_text(text_at(vpd.data() + 4, len));
  std::vector<uint8_t> id(512);
  ASSERT_EQ(run16(rig.sat, apt16(4, false, false, true, true, tf_of(0xEC, 0, 1)), id.data(), 512, kDirIn).status, kScsiGood);
  EXPECT_EQ(vpd_serial, trim_text(ata_text_at(id.data() + 20, 20)));
  EXPECT_EQ(vpd_serial, rig.sat.identity().serial);

  std::vector<uint8_t> pages(256, 0);
  ASSERT_EQ(inquiry(rig.sat, 1, 0x00, pages).status, kScsiGood);
  EXPECT_EQ(pages[3], 4);
  EXPECT_EQ(pages[5], 0x80);

  std::vector<uint8_t> ata_info(1024, 0);
  ASSERT_EQ(inquiry(rig.sat, 1, 0x89, ata_info).status, kScsiGood);
  EXPECT_EQ(ata_info[56], 0xEC);
  EXPECT_EQ(std::memcmp(ata_info.data() + 60, id.data(), 512), 0);

  EXPECT_EQ(inquiry(rig.sat, 1, 0xB1, pages).asc(), 0x24);
}

TEST(SatInquiry, RevisionFollowsTheActivatedImage) {
  SatRig rig;
  const std::vector<uint8_t> img = make_test_image(ImageTarget::Ata, "FWB00002", 8192);
  std::vector<uint8_t> piece(img);
  const ScsiResult r = run16(rig.sat, apt16(5, false, false, false, true, tf_of(0x92, 0x0E, 0x10, 0)), piece.data(), 8192, kDirOut);
  ASSERT_EQ(r.status, kScsiGood);
  ASSERT_EQ(activate(rig.sat).status, kScsiGood);
  std::vector<uint8_t> buf(512, 0);
  ASSERT_EQ(inquiry(rig.sat, 0, 0, buf).status, kScsiGood);
  EXPECT_EQ(text_at(buf.data() + 32, 4), "0002");
}

// --- Faults -------------------------------------------------------------------------------------

TEST(SatFaults, StatusAndShortData) {
  SatRig rig;
  ScsiFaultRule busy;
  busy.opcode = 0x85;
  busy.status = kScsiBusy;
  rig.sat.add_fault(busy);
  std::vector<uint8_t> buf(512, 0xEE);
  ScsiResult r = run16(rig.sat, apt16(4, false, false, true, true, tf_of(0xEC, 0, 1)), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiBusy);
  EXPECT_EQ(r.data_transferred, 0u);
  EXPECT_EQ(rig.drive->command_count(0xEC), 0u);

  rig.sat.clear_faults();
  ScsiFaultRule shorter;
  shorter.opcode = 0x85;
  shorter.short_transfer = 100;
  rig.sat.add_fault(shorter);
  r = run16(rig.sat, apt16(4, false, false, true, true, tf_of(0xEC, 0, 1)), buf.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 100u);
  EXPECT_EQ(buf[100], 0xEE);
}

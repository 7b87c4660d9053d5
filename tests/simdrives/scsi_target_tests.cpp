#include <gtest/gtest.h>

#include "drive_test_util.h"
#include "sim/drives/scsi_target.h"

using namespace sim;
using namespace drivetest;

namespace {

ScsiConfig base_config() {
  ScsiConfig c;
  c.vendor = "QUORVEX";
  c.product = "QX SAS 900";
  c.revision = "R001";
  c.serial = "SC0000000913";
  return c;
}

std::vector<uint8_t> scsi_image(const std::string &inq_rev, uint32_t size = 20000) {
  TestImageSpec spec;
  spec.target = ImageTarget::Scsi;
  spec.revision = "FW-" + inq_rev;
  spec.inquiry_revision = inq_rev;
  spec.total_size = size;
  return make_test_image(spec);
}

ScsiResult inquiry(ScsiTarget &t, uint8_t evpd, uint8_t page, uint16_t alloc, std::vector<uint8_t> &buf) {
  const uint8_t cdb[6] = {0x12, evpd, page, static_cast<uint8_t>(alloc >> 8), static_cast<uint8_t>(alloc), 0};
  return t.execute(cdb, 6, buf.data(), static_cast<uint32_t>(buf.size()), kDirIn);
}

ScsiResult write_buffer(ScsiTarget &t, uint8_t mode, uint32_t offset, const uint8_t *data, uint32_t len) {
  const uint8_t cdb[10] = {0x3B, mode, 0x00,
                           static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                           static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0};
  return t.execute(cdb, 10, const_cast<uint8_t *>(data), len, len ? kDirOut : kDirNone);
}

ScsiResult download(ScsiTarget &t, const std::vector<uint8_t> &img, uint32_t chunk = 8192) {
  ScsiResult r;
  for (uint32_t off = 0; off < img.size(); off += chunk) {
    r = write_buffer(t, 0x0E, off, img.data() + off, std::min<uint32_t>(chunk, static_cast<uint32_t>(img.size()) - off));
    if (r.status != kScsiGood) return r;
  }
  return r;
}

ScsiResult activate(ScsiTarget &t) { return write_buffer(t, 0x0F, 0, nullptr, 0); }

ScsiResult tur(ScsiTarget &t) {
  const uint8_t cdb[6] = {0x00};
  return t.execute(cdb, 6, nullptr, 0, kDirNone);
}

std::string revision_of(ScsiTarget &t) {
  std::vector<uint8_t> buf(512, 0);
  EXPECT_EQ(inquiry(t, 0, 0, 512, buf).status, kScsiGood);
  return text_at(buf.data() + 32, 4);
}

}  // namespace

// --- INQUIRY --------------------------------------------------------------------------------

// Vendor, product, revision and the VPD 80h/83h contents are read back by the command-set tests.
TEST(ScsiInquiry, StandardDataLengthAndType) {
  ScsiTarget t(with(base_config(), [&](auto &c) { c.peripheral_type = 0x0D; }));
  std::vector<uint8_t> buf(4096, 0xEE);
  const ScsiResult r = inquiry(t, 0, 0, 4096, buf);
  EXPECT_EQ(r.data_transferred, 96u);
  EXPECT_EQ(buf[0], 0x0D);
  EXPECT_EQ(buf[4], 91);
  EXPECT_EQ(buf[96], 0xEE);
}

TEST(ScsiInquiry, AllocationLength16Or8Bits) {
  ScsiTarget t(base_config());
  std::vector<uint8_t> buf(4096, 0);
  EXPECT_EQ(inquiry(t, 0, 0, 0x0100, buf).data_transferred, 96u);
  EXPECT_EQ(inquiry(t, 0, 0, 0x0010, buf).data_transferred, 16u);
  EXPECT_EQ(inquiry(t, 0, 0, 0, buf).data_transferred, 0u);

  ScsiTarget legacy(with(base_config(), [&](auto &c) { c.inquiry_alloc_16bit = false; }));
  EXPECT_EQ(inquiry(legacy, 0, 0, 0x0100, buf).data_transferred, 0u);  // reads byte 4 only
  EXPECT_EQ(inquiry(legacy, 0, 0, 0x1020, buf).data_transferred, 32u);
}

TEST(ScsiInquiry, PageCodeWithoutEvpdIsRefused) {
  ScsiTarget t(base_config());
  std::vector<uint8_t> buf(512, 0);
  const ScsiResult r = inquiry(t, 0, 0x80, 512, buf);
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense 70 00 05 00 00 00 00 0a 00 00 00 00 24 00 00 00 00 00");
}

// --- VPD pages ----------------------------------------------------------------------------------

TEST(ScsiVpd, SupportedPagesAndUnknownPage) {
  ScsiTarget t(base_config());
  std::vector<uint8_t> buf(4096, 0);
  ASSERT_EQ(inquiry(t, 1, 0x00, 4096, buf).status, kScsiGood);
  EXPECT_EQ(buf[3], 3);
  EXPECT_EQ(buf[4], 0x00);
  EXPECT_EQ(buf[5], 0x80);
  EXPECT_EQ(buf[6], 0x83);
  EXPECT_EQ(inquiry(t, 1, 0xEC, 512, buf).asc(), 0x24);
}

TEST(ScsiVpd, SerialPageVariants) {
  std::vector<uint8_t> buf(4096, 0);
  ScsiConfig cfg = base_config();
  cfg.vpd80 = Vpd80Mode::Short;
  ScsiTarget shorter(cfg);
  ASSERT_EQ(inquiry(shorter, 1, 0x80, 4096, buf).status, kScsiGood);
  EXPECT_EQ(buf[3], 6);

  cfg.vpd80 = Vpd80Mode::ZeroLength;
  ScsiTarget empty(cfg);
  const ScsiResult r = inquiry(empty, 1, 0x80, 4096, buf);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 4u);
  EXPECT_EQ(buf[3], 0);

  cfg.vpd80 = Vpd80Mode::Absent;
  ScsiTarget absent(cfg);
  EXPECT_EQ(inquiry(absent, 1, 0x80, 4096, buf).asc(), 0x24);
  ASSERT_EQ(inquiry(absent, 1, 0x00, 4096, buf).status, kScsiGood);
  EXPECT_EQ(buf[3], 2);
}

// --- WRITE BUFFER ------------------------------------------------------------------------------

TEST(ScsiWriteBuffer, DownloadThenActivate) {
  ScsiTarget t(base_config());
  const std::vector<uint8_t> img = scsi_image("R002", 20000);
  const ScsiResult r = download(t, img);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 3616u);
  EXPECT_EQ(t.staged_bytes(), 20000u);
  EXPECT_EQ(revision_of(t), "R001");  // deferred
  EXPECT_EQ(activate(t).status, kScsiGood);
  EXPECT_EQ(revision_of(t), "R002");
  EXPECT_EQ(t.identity().firmware, "R002");
}

TEST(ScsiWriteBuffer, UnitAttentionAfterActivation) {
  ScsiTarget t(base_config());
  ASSERT_EQ(download(t, scsi_image("R002")).status, kScsiGood);
  ASSERT_EQ(activate(t).status, kScsiGood);
  EXPECT_TRUE(t.unit_attention_pending());
  // INQUIRY is not held up by it.
  EXPECT_EQ(revision_of(t), "R002");
  ScsiResult r = tur(t);
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense 70 00 06 00 00 00 00 0a 00 00 00 00 3f 01 00 00 00 00");
  EXPECT_EQ(tur(t).status, kScsiGood);  // reported once

  ScsiTarget quiet(with(base_config(), [&](auto &c) { c.unit_attention_after_activation = false; }));
  ASSERT_EQ(download(quiet, scsi_image("R002")).status, kScsiGood);
  ASSERT_EQ(activate(quiet).status, kScsiGood);
  EXPECT_EQ(tur(quiet).status, kScsiGood);
}

TEST(ScsiWriteBuffer, RequestSenseReportsAndClearsTheUnitAttention) {
  ScsiTarget t(base_config());
  t.set_unit_attention(0x29, 0x00);
  std::vector<uint8_t> sense(252, 0);
  const uint8_t cdb[6] = {0x03, 0x00, 0x00, 0x00, 252, 0x00};
  const ScsiResult r = t.execute(cdb, 6, sense.data(), 252, kDirIn);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 18u);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2], 0x06);
  EXPECT_EQ(sense[12], 0x29);
  EXPECT_FALSE(t.unit_attention_pending());
  EXPECT_EQ(tur(t).status, kScsiGood);
}

TEST(ScsiWriteBuffer, OffsetBoundaryAndContiguity) {
  ScsiTarget t(base_config());
  const std::vector<uint8_t> img = scsi_image("R002", 20000);
  ASSERT_EQ(write_buffer(t, 0x0E, 0, img.data(), 4096).status, kScsiGood);
  ScsiResult r = write_buffer(t, 0x0E, 4096, img.data() + 4096, 4096);  // not on an 8 KiB boundary
  EXPECT_EQ(r.sense_key(), 0x05);
  EXPECT_EQ(r.asc(), 0x24);
  EXPECT_EQ(t.staged_bytes(), 0u);

  ASSERT_EQ(write_buffer(t, 0x0E, 0, img.data(), 8192).status, kScsiGood);
  r = write_buffer(t, 0x0E, 16384, img.data() + 16384, 3616);  // gap
  EXPECT_EQ(r.asc(), 0x24);

  ScsiTarget fine(with(base_config(), [&](auto &c) { c.offset_boundary = 4096; }));
  EXPECT_EQ(download(fine, img, 4096).status, kScsiGood);
  EXPECT_EQ(activate(fine).status, kScsiGood);
}

TEST(ScsiWriteBuffer, ActivationRefusals) {
  ScsiTarget t(base_config());
  ScsiResult r = activate(t);
  EXPECT_EQ(r.sense_key(), 0x05);
  EXPECT_EQ(r.asc(), 0x2C);

  // Truncated image.
  const std::vector<uint8_t> img = scsi_image("R002", 20000);
  ASSERT_EQ(write_buffer(t, 0x0E, 0, img.data(), 8192).status, kScsiGood);
  r = activate(t);
  EXPECT_EQ(r.asc(), 0x26);

  // Wrong interface and bad checksum.
  ASSERT_EQ(download(t, make_test_image(ImageTarget::Ata, "FW", 20000)).status, kScsiGood);
  EXPECT_EQ(activate(t).asc(), 0x26);
  std::vector<uint8_t> bad = img;
  bad[12345] ^= 0x80;
  ASSERT_EQ(download(t, bad).status, kScsiGood);
  EXPECT_EQ(activate(t).asc(), 0x26);
  EXPECT_EQ(revision_of(t), "R001");
}

TEST(ScsiWriteBuffer, UnsupportedModes) {
  ScsiTarget t(base_config());
  std::vector<uint8_t> buf(512, 0);
  EXPECT_EQ(write_buffer(t, 0x05, 0, buf.data(), 512).asc(), 0x24);
  ScsiTarget none(with(base_config(), [&](auto &c) { c.write_buffer_supported = false; }));
  EXPECT_EQ(write_buffer(none, 0x0E, 0, buf.data(), 512).asc(), 0x24);
}

TEST(ScsiWriteBuffer, SixteenMebibyteImageWithinTheOffsetField) {
  ScsiTarget t(base_config());
  const std::vector<uint8_t> img = scsi_image("R016", 16u << 20);
  ASSERT_EQ(download(t, img).status, kScsiGood);
  EXPECT_EQ(activate(t).status, kScsiGood);
  EXPECT_EQ(revision_of(t), "R016");
}

TEST(ScsiWriteBuffer, PowerCycleDiscardsStagingAndRaisesResetAttention) {
  ScsiTarget t(with(base_config(), [&](auto &c) { c.unit_attention_after_power_on = true; }));
  ASSERT_EQ(download(t, scsi_image("R002")).status, kScsiGood);
  t.power_cycle();
  EXPECT_EQ(t.staged_bytes(), 0u);
  const ScsiResult r = tur(t);
  EXPECT_EQ(r.sense_key(), 0x06);
  EXPECT_EQ(r.asc(), 0x29);
  EXPECT_EQ(activate(t).asc(), 0x2C);
}

// --- Faults -------------------------------------------------------------------------------------

TEST(ScsiFaults, StatusSenseAndLength) {
  ScsiTarget t(base_config());
  ScsiFaultRule rule;
  rule.opcode = 0x3B;
  rule.byte1 = 0x0E;
  rule.when.first = 2;
  rule.status = kScsiCheckCondition;
  rule.sense_key = 0x03;
  rule.asc = 0x0C;
  rule.ascq = 0x00;
  rule.descriptor = true;
  t.add_fault(rule);
  const std::vector<uint8_t> img = scsi_image("R002");
  EXPECT_EQ(write_buffer(t, 0x0E, 0, img.data(), 8192).status, kScsiGood);
  const ScsiResult r = write_buffer(t, 0x0E, 8192, img.data() + 8192, 8192);
  EXPECT_EQ(scsi_line(r), "status 02 xfer 0 sense 72 03 0c 00 00 00 00 00");
  EXPECT_EQ(t.staged_bytes(), 8192u);

  t.clear_faults();
  ScsiFaultRule busy;
  busy.opcode = 0x3B;
  busy.byte1 = 0x0F;
  busy.status = kScsiBusy;
  t.add_fault(busy);
  ASSERT_EQ(download(t, img).status, kScsiGood);
  EXPECT_EQ(activate(t).status, kScsiBusy);
  EXPECT_EQ(revision_of(t), "R001");
  EXPECT_EQ(activate(t).status, kScsiGood);  // fires once; the image was kept
}

TEST(ScsiFaults, ShortZeroAndLongSense) {
  ScsiTarget t(base_config());
  ScsiFaultRule rule;
  rule.opcode = 0x12;
  rule.byte1 = 0x01;
  rule.byte2 = 0x80;
  rule.short_transfer = 6;
  t.add_fault(rule);
  std::vector<uint8_t> buf(4096, 0xEE);
  ScsiResult r = inquiry(t, 1, 0x80, 4096, buf);
  EXPECT_EQ(r.data_transferred, 6u);
  EXPECT_EQ(buf[6], 0xEE);
  // The standard page does not match the rule.
  EXPECT_EQ(inquiry(t, 0, 0, 4096, buf).data_transferred, 96u);

  t.clear_faults();
  ScsiFaultRule zero;
  zero.opcode = 0x12;
  zero.zero_data = true;
  t.add_fault(zero);
  std::fill(buf.begin(), buf.end(), 0xEE);
  r = inquiry(t, 0, 0, 4096, buf);
  EXPECT_EQ(r.data_transferred, 96u);
  EXPECT_EQ(buf[8], 0);

  t.clear_faults();
  ScsiFaultRule longsense;
  longsense.opcode = 0x00;
  longsense.status = kScsiCheckCondition;
  longsense.sense_len = 40;
  t.add_fault(longsense);
  EXPECT_EQ(tur(t).sense_len, 40u);
}

TEST(ScsiFaults, ActivationNeverAndIdentityAfterUpdate) {
  ScsiTarget never(with(base_config(), [&](auto &c) { c.activation_never = true; }));
  ASSERT_EQ(download(never, scsi_image("R002")).status, kScsiGood);
  EXPECT_EQ(activate(never).status, kScsiGood);
  EXPECT_EQ(revision_of(never), "R001");

  ScsiTarget t(base_config());
  t.set_identity_fails_after_update(true);
  ASSERT_EQ(download(t, scsi_image("R002")).status, kScsiGood);
  ASSERT_EQ(activate(t).status, kScsiGood);
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(inquiry(t, 0, 0, 512, buf).status, kScsiCheckCondition);
}

// --- Time-outs ------------------------------------------------------------------------------------

// A command that runs past its request's time-out is aborted; after the reset that recovers the
// unit, the next command but INQUIRY reports the reset as a unit attention.
TEST(ScsiTimeout, CommandPastTheLimitIsAbortedAndTheResetReported) {
  ScsiTarget t(with(base_config(), [](ScsiConfig &c) { c.timing.command_ms = 5000; }));
  const uint8_t tur[6] = {0x00, 0, 0, 0, 0, 0};
  {
    RequestTimeLimit limit(4000);
    EXPECT_EQ(scsi_line(t.execute(tur, 6, nullptr, 0, kDirNone)),
              scsi_line(check_condition_fixed(0x0B, 0x00, 0x00)));
  }
  EXPECT_EQ(t.counters().timeouts, 1u);
  EXPECT_EQ(t.counters().bus_resets, 1u);
  std::vector<uint8_t> buf(96);
  EXPECT_EQ(inquiry(t, 0, 0, 96, buf).status, kScsiGood);
  EXPECT_EQ(scsi_line(t.execute(tur, 6, nullptr, 0, kDirNone)), scsi_line(check_condition_fixed(0x06, 0x29, 0x00)));
  EXPECT_EQ(t.execute(tur, 6, nullptr, 0, kDirNone).status, kScsiGood);
  {
    RequestTimeLimit limit(5000);
    EXPECT_EQ(t.execute(tur, 6, nullptr, 0, kDirNone).status, kScsiGood);
  }
  EXPECT_EQ(t.counters().busy_ms, 4000u + 4 * 5000u);
}

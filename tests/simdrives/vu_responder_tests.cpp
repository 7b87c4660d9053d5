#include <gtest/gtest.h>

#include "drive_test_util.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/scsi_target.h"

using namespace sim;
using namespace drivetest;

namespace {

uint32_t le32(const uint8_t *p) { return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24; }

AtaConfig vu_drive(uint16_t level = 4) {
  AtaConfig c;
  c.model = "BRISKEL S500";
  c.serial = "AT0000000777";
  c.firmware = "FWA00001";
  VuConfig vu;
  vu.level = level;
  vu.ctl = "CTL00001";
  vu.srv = "SRV00001";
  vu.ovl = "OVL001";
  vu.global_product_id = 0x0123;
  c.vu = vu;
  return c;
}

AtaTaskfile vsc_mode(uint8_t feature, uint32_t code = 0x5A3C71) {
  AtaTaskfile tf{.feature = feature, .lba = code, .command = 0x80};
  return tf;
}

AtaTaskfile smart_log(uint8_t feature, uint8_t log, uint8_t count) {
  AtaTaskfile tf{.feature = feature, .count = count, .lba = 0xC24F00u | log, .command = 0xB0};
  return tf;
}

std::vector<uint8_t> key(uint16_t ac, uint16_t fc) {
  std::vector<uint8_t> k(512, 0);
  k[0] = static_cast<uint8_t>(ac);
  k[1] = static_cast<uint8_t>(ac >> 8);
  k[2] = static_cast<uint8_t>(fc);
  k[3] = static_cast<uint8_t>(fc >> 8);
  return k;
}

AtaResult send_key(AtaDrive &d, std::vector<uint8_t> k) { return d.execute(smart_log(0xD6, 0xBE, 1), k.data(), 512); }

std::vector<uint8_t> read_blocks(AtaDrive &d, uint8_t log, uint8_t count, AtaResult *res = nullptr) {
  std::vector<uint8_t> buf(count * 512u, 0xEE);
  AtaResult r = d.execute(smart_log(0xD5, log, count), buf.data(), static_cast<uint32_t>(buf.size()));
  if (res) *res = r;
  return buf;
}

}  // namespace

TEST(VuAtaLevel4, EnableKeyStatusAndVscId) {
  AtaDrive d(vu_drive());
  std::vector<uint8_t> id(512);
  d.execute(AtaTaskfile{0, 1, 0, 0, 0xEC, false, kDirIn}, id.data(), 512);
  EXPECT_EQ(le16(id.data() + 282), 0x4001);
  EXPECT_EQ(le16(id.data() + 284), 4);

  EXPECT_TRUE(send_key(d, key(13, 1)).err());  // not enabled
  EXPECT_TRUE(d.execute(vsc_mode(0x45, 0x123456), nullptr, 0).err());
  const AtaResult en = d.execute(vsc_mode(0x45), nullptr, 0);
  EXPECT_EQ(en.status, 0x50);
  EXPECT_TRUE(d.vu_enabled());

  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  AtaResult r;
  const std::vector<uint8_t> st = read_blocks(d, 0xBD, 1, &r);
  ASSERT_FALSE(r.err());
  EXPECT_EQ(le16(st.data()), 0x0100);
  EXPECT_EQ(le32(st.data() + 2), 0u);
  EXPECT_EQ(le32(st.data() + 6), 0u);
  EXPECT_EQ(le32(st.data() + 10), 1u);
  const std::vector<uint8_t> kp = read_blocks(d, 0xBE, 1);
  EXPECT_EQ(le16(kp.data()), 13);
  EXPECT_EQ(le16(kp.data() + 26), 1);

  const std::vector<uint8_t> rec = read_blocks(d, 0xBF, 1, &r);
  ASSERT_FALSE(r.err());
  EXPECT_EQ(text_at(rec.data() + 2, 8), "CTL00001");
  EXPECT_EQ(text_at(rec.data() + 10, 8), "SRV00001");
  EXPECT_EQ(text_at(rec.data() + 18, 8), "OVL001  ");
  EXPECT_EQ(rec[26], 254);
  EXPECT_EQ(le16(rec.data() + 364), 0x0042);
  EXPECT_EQ(le16(rec.data() + 366), 0x0123);

  EXPECT_FALSE(d.execute(vsc_mode(0x44), nullptr, 0).err());
  EXPECT_TRUE(send_key(d, key(13, 1)).err());
  read_blocks(d, 0xBD, 1, &r);
  EXPECT_TRUE(r.err());
}

TEST(VuAtaLevel4, NoResponderMeansAbort) {
  AtaConfig cfg = vu_drive();
  cfg.vu.reset();
  AtaDrive d(cfg);
  const AtaResult r = d.execute(vsc_mode(0x45), nullptr, 0);
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(r.error, 0x04);
}

TEST(VuAtaLevel4, AnswerIsStreamedFromOneLogAddress) {
  AtaConfig cfg = vu_drive();
  std::vector<uint8_t> answer(300 * 512);
  for (size_t b = 0; b < 300; ++b) answer[b * 512] = static_cast<uint8_t>(b);
  cfg.vu->answers[{8, 1}] = answer;
  AtaDrive d(cfg);
  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  ASSERT_FALSE(send_key(d, key(8, 1)).err());
  EXPECT_EQ(le32(read_blocks(d, 0xBD, 1).data() + 10), 300u);
  std::vector<uint8_t> a = read_blocks(d, 0xBF, 128);
  std::vector<uint8_t> b = read_blocks(d, 0xBF, 128);
  std::vector<uint8_t> c = read_blocks(d, 0xBF, 44);
  EXPECT_EQ(a[127 * 512], 127);
  EXPECT_EQ(b[0], 128);
  EXPECT_EQ(c[43 * 512], static_cast<uint8_t>(299));
  AtaResult r;
  read_blocks(d, 0xBF, 129, &r);
  EXPECT_TRUE(r.err());  // at most 128 blocks a command
}

TEST(VuAtaLevel4, StatusVersion0200AndUnknownKeys) {
  AtaConfig cfg = vu_drive();
  cfg.vu->status_version = 0x0200;
  cfg.vu->vscid_answer_bytes = 1024;
  AtaDrive d(cfg);
  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  std::vector<uint8_t> st = read_blocks(d, 0xBD, 1);
  EXPECT_EQ(le16(st.data()), 0x0200);
  EXPECT_EQ(le32(st.data() + 2), 1024u);

  AtaConfig cfg1 = vu_drive();
  AtaDrive d1(cfg1);
  ASSERT_FALSE(d1.execute(vsc_mode(0x45), nullptr, 0).err());
  ASSERT_FALSE(send_key(d1, key(99, 9)).err());
  st = read_blocks(d1, 0xBD, 1);
  EXPECT_NE(le32(st.data() + 2), 0u);
  EXPECT_EQ(le32(st.data() + 10), 0u);
}

TEST(VuAtaLevel4, ShortAndHugeAnswersForNegativeTests) {
  AtaConfig cfg = vu_drive();
  cfg.vu->vscid_answer_bytes = 300;  // shorter than a record
  cfg.vu->reported_blocks = 70000;
  AtaDrive d(cfg);
  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  EXPECT_EQ(le32(read_blocks(d, 0xBD, 1).data() + 10), 70000u);
  EXPECT_EQ(le16(read_blocks(d, 0xBE, 1).data() + 26), static_cast<uint16_t>(70000));
  const std::vector<uint8_t> rec = read_blocks(d, 0xBF, 1);
  EXPECT_EQ(text_at(rec.data() + 2, 8), "CTL00001");
  EXPECT_EQ(rec[364], 0);  // cut at 300 bytes
}

TEST(VuAtaLevel4, VscIdFollowsTheActivatedImage) {
  AtaDrive d(vu_drive());
  TestImageSpec spec;
  spec.target = ImageTarget::Ata;
  spec.revision = "FWB00002";
  spec.vu_ctl = "CTL00002";
  spec.vu_srv = "SRV00002";
  spec.vu_ovl = "OVL002";
  spec.global_product_id = 0x0456;
  spec.total_size = 8192;
  std::vector<uint8_t> img = make_test_image(spec);
  AtaTaskfile dm{.feature = 0x03, .count = 16, .command = 0x92};
  ASSERT_FALSE(d.execute(dm, img.data(), 8192).err());

  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  const std::vector<uint8_t> rec = read_blocks(d, 0xBF, 1);
  EXPECT_EQ(text_at(rec.data() + 2, 8), "CTL00002");
  EXPECT_EQ(text_at(rec.data() + 18, 8), "OVL002  ");
  EXPECT_EQ(le16(rec.data() + 366), 0x0456);
}

TEST(VuAtaLevel4, PowerCycleLeavesTheMode) {
  AtaDrive d(vu_drive());
  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  d.power_cycle();
  EXPECT_FALSE(d.vu_enabled());
  EXPECT_TRUE(send_key(d, key(13, 1)).err());
}

TEST(VuAtaLevel5, AccessCodeKeyAndSecureTest) {
  AtaConfig cfg = vu_drive(5);
  cfg.vu->secure_test_value = 0x2000;
  AtaDrive d(cfg);
  std::vector<uint8_t> id(512);
  d.execute(AtaTaskfile{0, 1, 0, 0, 0xEC, false, kDirIn}, id.data(), 512);
  EXPECT_EQ(le16(id.data() + 284), 5);
  EXPECT_TRUE(d.execute(vsc_mode(0x45), nullptr, 0).err());  // no 80h at level 5

  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  EXPECT_NE(le32(read_blocks(d, 0xBD, 1).data() + 2), 0u);  // not enabled yet

  std::vector<uint8_t> wrong = key(70, 1);
  ASSERT_FALSE(send_key(d, wrong).err());
  EXPECT_NE(le32(read_blocks(d, 0xBD, 1).data() + 2), 0u);

  std::vector<uint8_t> enable = key(70, 1);
  for (int i = 0; i < 3; ++i) {
    enable[258 + 2 * i] = static_cast<uint8_t>(cfg.vu->level5_access[i]);
    enable[259 + 2 * i] = static_cast<uint8_t>(cfg.vu->level5_access[i] >> 8);
  }
  ASSERT_FALSE(send_key(d, enable).err());
  EXPECT_EQ(le32(read_blocks(d, 0xBD, 1).data() + 2), 0u);
  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  EXPECT_EQ(le32(read_blocks(d, 0xBD, 1).data() + 2), 0u);
  EXPECT_EQ(text_at(read_blocks(d, 0xBF, 1).data() + 2, 8), "CTL00001");

  AtaTaskfile st{.count = 2, .lba = 0xBC, .command = 0x47, .is_ext = true};
  std::vector<uint8_t> page(1024, 0xEE);
  ASSERT_FALSE(d.execute(st, page.data(), 1024).err());
  EXPECT_EQ(le16(page.data()), 0x0200);
  EXPECT_EQ(le16(page.data() + 2) + le16(page.data() + 6), 0x2000);

  ASSERT_FALSE(send_key(d, key(70, 2)).err());
  ASSERT_FALSE(send_key(d, key(13, 1)).err());
  EXPECT_NE(le32(read_blocks(d, 0xBD, 1).data() + 2), 0u);
}

TEST(VuScsi, DiagnosticPagesAndReadBuffer) {
  ScsiConfig cfg;
  VuConfig vu;
  vu.ctl = "CTLSCSI1";
  cfg.vu = vu;
  ScsiTarget t(cfg);
  auto send = [&](std::vector<uint8_t> k) {
    const uint8_t cdb[6] = {0x1D, 0x00, 0x00, 0x02, 0x00, 0x00};
    return t.execute(cdb, 6, k.data(), 512, kDirOut);
  };
  auto status = [&]() {
    std::vector<uint8_t> page(1024, 0xEE);
    const uint8_t cdb[6] = {0x1C, 0x01, 0xF2, 0x04, 0x00, 0x00};
    EXPECT_EQ(t.execute(cdb, 6, page.data(), 1024, kDirIn).status, kScsiGood);
    return page;
  };
  std::vector<uint8_t> enable = key(70, 1);
  for (int i = 0; i < 3; ++i) {
    enable[258 + 2 * i] = static_cast<uint8_t>(vu.level5_access[i]);
    enable[259 + 2 * i] = static_cast<uint8_t>(vu.level5_access[i] >> 8);
  }
  ASSERT_EQ(send(enable).status, kScsiGood);
  ASSERT_EQ(send(key(13, 1)).status, kScsiGood);
  std::vector<uint8_t> page = status();
  EXPECT_EQ(le16(page.data()), 0x0100);
  EXPECT_EQ(le32(page.data() + 2), 0u);
  EXPECT_EQ(le32(page.data() + 10), 1u);
  EXPECT_EQ(le16(page.data() + 512), 13);      // key page follows
  EXPECT_EQ(le16(page.data() + 512 + 26), 1);

  std::vector<uint8_t> rec(512, 0);
  const uint8_t rb[10] = {0x3C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
  ASSERT_EQ(t.execute(rb, 10, rec.data(), 512, kDirIn).status, kScsiGood);
  EXPECT_EQ(text_at(rec.data() + 2, 8), "CTLSCSI1");

  std::vector<uint8_t> vpd(512, 0);
  const uint8_t inq[6] = {0x12, 0x01, 0xEC, 0x02, 0x00, 0x00};
  const ScsiResult r = t.execute(inq, 6, vpd.data(), 512, kDirIn);
  EXPECT_EQ(r.status, kScsiGood);
  EXPECT_EQ(r.data_transferred, 512u);
  EXPECT_EQ(vpd[1], 0xEC);
}

TEST(VuAtaSct, SuperBinaryIsStreamedAfterTheRequest) {
  AtaDrive d(vu_drive());
  AtaTaskfile rd{.count = 1, .lba = 0xE1, .command = 0x47, .is_ext = true};
  std::vector<uint8_t> block(512, 0);
  EXPECT_TRUE(d.execute(rd, block.data(), 512).err());  // nothing requested

  AtaTaskfile wr = rd;
  wr.command = 0x57;
  wr.lba = 0xE0;
  std::vector<uint8_t> req(512, 0);
  EXPECT_TRUE(d.execute(wr, req.data(), 512).err());  // not the request words
  const uint16_t words[4] = {0xC002, 0x0001, 0xE0A0, 0xC0D0};
  for (int i = 0; i < 4; ++i) {
    req[2 * i] = static_cast<uint8_t>(words[i]);
    req[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  ASSERT_FALSE(d.execute(wr, req.data(), 512).err());
  ASSERT_FALSE(d.execute(rd, block.data(), 512).err());
  const uint16_t count = le16(block.data() + 40);
  EXPECT_EQ(count, 3);
  for (uint16_t i = 1; i < count; ++i) EXPECT_FALSE(d.execute(rd, block.data(), 512).err());
  EXPECT_TRUE(d.execute(rd, block.data(), 512).err());  // past the end
}

TEST(VuAtaLevel4, AnswersChosenByParameterWord) {
  AtaConfig cfg = vu_drive();
  cfg.vu->answers_by_param[{76, 1, 0x45}] = std::vector<uint8_t>(512, 0x45);
  cfg.vu->answers_by_param[{76, 1, 0xC044}] = std::vector<uint8_t>(1024, 0x44);
  AtaDrive d(cfg);
  ASSERT_FALSE(d.execute(vsc_mode(0x45), nullptr, 0).err());
  std::vector<uint8_t> k = key(76, 1);
  k[4] = 0x44;
  k[5] = 0xC0;
  ASSERT_FALSE(send_key(d, k).err());
  EXPECT_EQ(le32(read_blocks(d, 0xBD, 1).data() + 10), 2u);
  EXPECT_EQ(read_blocks(d, 0xBF, 1)[0], 0x44);
  k[4] = 0x45;
  k[5] = 0x00;
  ASSERT_FALSE(send_key(d, k).err());
  EXPECT_EQ(read_blocks(d, 0xBF, 1)[0], 0x45);
}

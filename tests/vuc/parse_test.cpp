// The vendor-unique parsers on whole, short and garbage buffers. Each buffer lives in a heap block
// of exactly its length, so a read past it is caught under the address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "vornvuc/xr/parse.h"

namespace {

// A VSC-ID record of `length` bytes (the fields that fit).
std::vector<uint8_t> record(uint32_t length, const char *ctl = "CTL12345", const char *srv = "SRV67890",
                            const char *ovl = "OVLABCDE", uint8_t legacy = 254) {
  std::vector<uint8_t> r(512, 0);
  memcpy(&r[2], ctl, strlen(ctl));
  memcpy(&r[10], srv, strlen(srv));
  memcpy(&r[18], ovl, strlen(ovl));
  r[26] = legacy;
  r[364] = 0x34, r[365] = 0x12;  // family id 1234h
  r[366] = 0x01, r[367] = 0x01;  // global product id 0101h
  r.resize(length);
  return r;
}

std::string native(const std::vector<uint8_t> &r, int *rc, huld_error *err) {
  char out[24];
  memset(out, 'x', sizeof(out));
  *rc = vornvuc_xr_vscid_parse_native_firmware(err, out, 20, r.data(), static_cast<uint32_t>(r.size()));
  return std::string(out);
}

TEST(VucParse, NativeFirmwareComposesTheThreeTrimmedStrings) {
  huld_error err{};
  int rc = 1;
  EXPECT_EQ(native(record(512), &rc, &err), "CTLSRCOV L12V67LABC");
  EXPECT_EQ(rc, 0);
  // Leading blanks of the controller string are trimmed first: its characters shift left.
  EXPECT_EQ(native(record(512, "  CTL123"), &rc, &err), "CTLSRCOV L12V67LABC");
  // A short field leaves a 0 byte in the composition: the string ends there.
  EXPECT_EQ(native(record(512, "CTL12345", "SRV67890", "OVL12"), &rc, &err), "CTLSR");
  EXPECT_EQ(rc, 0);
}

TEST(VucParse, NativeFirmwareRefusesASmallOutputAndAShortRecord) {
  huld_error err{};
  const std::vector<uint8_t> r = record(512);
  char out[20];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(vornvuc_xr_vscid_parse_native_firmware(&err, out, 19, r.data(), 512), 1);
  EXPECT_STREQ(err.message, "native firmware size <20 bytes, cannot create native firmware string");
  EXPECT_EQ(out[0], 0);
  int rc = 0;
  EXPECT_EQ(native(record(26), &rc, &err), "");  // the overlay field needs 27 bytes
  EXPECT_EQ(rc, 1);
  EXPECT_STREQ(err.file, "vornvuc\\xr\\parse");
  EXPECT_STREQ(err.message, "buffer not large enough to parse 9 bytes at offset 18 (overlay firmware)");
}

TEST(VucParse, FirmwareStringsNeedOneByteMoreThanTheyCopy) {
  huld_error err{};
  char out[9];
  std::vector<uint8_t> r = record(10);
  EXPECT_EQ(vornvuc_xr_vscid_parse_controller_firmware(&err, out, 9, r.data(), 10), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse 9 bytes at offset 2 (controller firmware)");
  EXPECT_STREQ(out, "");
  r = record(11);
  EXPECT_EQ(vornvuc_xr_vscid_parse_controller_firmware(&err, out, 9, r.data(), 11), 0);
  EXPECT_STREQ(out, "CTL12345");
  EXPECT_EQ(vornvuc_xr_vscid_parse_servo_firmware(&err, out, 0, r.data(), 11), 1);
  EXPECT_STREQ(err.message, "output buffer size is 0 (servo firmware)");
}

TEST(VucParse, FamilyAndProductIdsAndTheirBounds) {
  huld_error err{};
  uint16_t v = 0;
  std::vector<uint8_t> r = record(368, "A", "B", "C", 7);
  EXPECT_EQ(vornvuc_xr_vscid_parse_family_id(&err, &v, r.data(), 27), 0);
  EXPECT_EQ(v, 7);
  r = record(368);
  EXPECT_EQ(vornvuc_xr_vscid_parse_family_id(&err, &v, r.data(), 368), 0);
  EXPECT_EQ(v, 0x1234);
  EXPECT_EQ(vornvuc_xr_vscid_parse_family_id(&err, &v, r.data(), 365), 1);
  EXPECT_EQ(v, 254);
  EXPECT_STREQ(err.message, "buffer not large enough to parse word at offset 364 (family id)");
  EXPECT_EQ(vornvuc_xr_vscid_parse_family_id(&err, &v, r.data(), 26), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse byte at offset 26 (legacy family id)");
  v = 9;
  EXPECT_EQ(vornvuc_xr_vscid_parse_global_product_id(&err, &v, r.data(), 367), 1);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(vornvuc_xr_vscid_parse_global_product_id(&err, &v, r.data(), 368), 0);
  EXPECT_EQ(v, 0x0101);
  EXPECT_EQ(err.code, 0u);
}

TEST(VucParse, IdentifyWords) {
  huld_error err{};
  std::vector<uint8_t> id(286, 0);
  id[284] = 4;
  uint16_t level = 0;
  uint8_t xrda = 9;
  EXPECT_EQ(vornvuc_xr_identify_parse_vsc_implementation_level(&err, &level, id.data(), 286), 0);
  EXPECT_EQ(level, 4);
  EXPECT_EQ(vornvuc_xr_identify_parse_vsc_implementation_level(&err, &level, id.data(), 285), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse word 142 (vsc implementation level)\n");
  for (auto [word, expected] : {std::pair<uint16_t, uint8_t>{0x8001, 1}, {0x4001, 1}, {0xC001, 0}, {0x0001, 0}}) {
    id[282] = static_cast<uint8_t>(word), id[283] = static_cast<uint8_t>(word >> 8);
    EXPECT_EQ(vornvuc_xr_identify_parse_xrda_supported(&err, &xrda, id.data(), 284), 0);
    EXPECT_EQ(xrda, expected) << std::hex << word;
  }
  EXPECT_EQ(vornvuc_xr_identify_parse_xrda_supported(&err, &xrda, id.data(), 283), 1);
  EXPECT_STREQ(err.message, "buffer not large enough to parse word 141 xrda support\n");
}

TEST(VucParse, GarbageRecordsNeverReadPastTheirLength) {
  huld_error err{};
  char out[32];
  uint16_t v = 0;
  for (uint32_t len = 0; len <= 368; ++len) {
    std::vector<uint8_t> r(len);
    for (uint32_t i = 0; i < len; ++i) r[i] = static_cast<uint8_t>(i * 37 + 11);
    const uint8_t *p = len ? r.data() : nullptr;
    const int rc = vornvuc_xr_vscid_parse_native_firmware(&err, out, sizeof(out), p, len);
    EXPECT_EQ(rc, len < 27 ? 1 : 0) << len;
    EXPECT_LT(strlen(out), 20u);
    EXPECT_EQ(vornvuc_xr_vscid_parse_global_product_id(&err, &v, p, len), len < 368 ? 1 : 0);
    vornvuc_xr_vscid_parse_family_id(&err, &v, p, len);
  }
}

}  // namespace

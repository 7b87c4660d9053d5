// Byte-order and bit helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "huld/huld_util.h"

namespace {

const uint8_t kSeq[32] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                          0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                          0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20};

TEST(HuldByteOrder, BigEndianReadsTakeMostSignificantByteFirst) {
  EXPECT_EQ(huld_get_be8(kSeq), 0x01u);
  EXPECT_EQ(huld_get_be16(kSeq), 0x0102u);
  EXPECT_EQ(huld_get_be24(kSeq), 0x010203u);
  EXPECT_EQ(huld_get_be32(kSeq), 0x01020304u);
  EXPECT_EQ(huld_get_be40(kSeq), 0x0102030405ull);
  EXPECT_EQ(huld_get_be48(kSeq), 0x010203040506ull);
  EXPECT_EQ(huld_get_be56(kSeq), 0x01020304050607ull);
  EXPECT_EQ(huld_get_be64(kSeq), 0x0102030405060708ull);
}

TEST(HuldByteOrder, LittleEndianReadsTakeLeastSignificantByteFirst) {
  EXPECT_EQ(huld_get_le8(kSeq + 1), 0x02u);
  EXPECT_EQ(huld_get_le16(kSeq), 0x0201u);
  EXPECT_EQ(huld_get_le24(kSeq), 0x030201u);
  EXPECT_EQ(huld_get_le32(kSeq), 0x04030201u);
  EXPECT_EQ(huld_get_le40(kSeq), 0x0504030201ull);
  EXPECT_EQ(huld_get_le48(kSeq), 0x060504030201ull);
  EXPECT_EQ(huld_get_le56(kSeq), 0x07060504030201ull);
  EXPECT_EQ(huld_get_le64(kSeq), 0x0807060504030201ull);
}

TEST(HuldByteOrder, HighBytesDoNotSignExtend) {
  const uint8_t ff[8] = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8};
  EXPECT_EQ(huld_get_be32(ff), 0xFFFEFDFCu);
  EXPECT_EQ(huld_get_le64(ff), 0xF8F9FAFBFCFDFEFFull);
  EXPECT_EQ(huld_get_be_n(ff, 8), 0xFFFEFDFCFBFAF9F8ull);
}

TEST(HuldByteOrder, BeNReadsNBytes) {
  const uint8_t b[3] = {0x12, 0x34, 0x56};
  EXPECT_EQ(huld_get_be_n(b, 3), 0x123456ull);
  EXPECT_EQ(huld_get_be_n(b, 0), 0ull);
  EXPECT_EQ(huld_get_be_n(b, 1), 0x12ull);
  EXPECT_EQ(huld_get_be_n(kSeq, 8), huld_get_be64(kSeq));
  EXPECT_EQ(huld_get_be_n(kSeq, 5), huld_get_be40(kSeq));
}

TEST(HuldByteOrder, Wide128And256Reads) {
  huld_u128 v = huld_get_le128(kSeq);
  EXPECT_EQ(v.low, 0x0807060504030201ull);
  EXPECT_EQ(v.high, 0x100F0E0D0C0B0A09ull);

  huld_u128 high{}, low{};
  huld_get_le256(kSeq, &high, &low);
  EXPECT_EQ(low.low, 0x0807060504030201ull);
  EXPECT_EQ(low.high, 0x100F0E0D0C0B0A09ull);
  EXPECT_EQ(high.low, 0x1817161514131211ull);
  EXPECT_EQ(high.high, 0x201F1E1D1C1B1A19ull);
}

TEST(HuldByteOrder, StoresRoundTripAndTouchOnlyTheirBytes) {
  uint8_t b[20];
  memset(b, 0xAA, sizeof(b));
  huld_put_be16(b + 1, 0x1234);
  EXPECT_EQ(b[0], 0xAA);
  EXPECT_EQ(b[1], 0x12);
  EXPECT_EQ(b[2], 0x34);
  EXPECT_EQ(b[3], 0xAA);

  huld_put_le32(b, 0xDEADBEEF);
  EXPECT_EQ(huld_get_le32(b), 0xDEADBEEFu);
  EXPECT_EQ(b[0], 0xEF);
  huld_put_be32(b, 0xDEADBEEF);
  EXPECT_EQ(b[0], 0xDE);
  EXPECT_EQ(huld_get_be32(b), 0xDEADBEEFu);
  huld_put_be64(b, 0x0102030405060708ull);
  EXPECT_EQ(0, memcmp(b, kSeq, 8));
  huld_put_le64(b, 0x0807060504030201ull);
  EXPECT_EQ(0, memcmp(b, kSeq, 8));
  huld_put_le16(b, 0xBEEF);
  EXPECT_EQ(huld_get_le16(b), 0xBEEF);
  huld_put_8(b + 19, 0x5A);
  EXPECT_EQ(b[19], 0x5A);
  EXPECT_EQ(b[18], 0xAA);
}

TEST(HuldByteOrder, Stores128PlaceHalvesAsDocumented) {
  huld_u128 v{0x0102030405060708ull, 0x090A0B0C0D0E0F10ull};
  uint8_t b[17];
  memset(b, 0xAA, sizeof(b));
  huld_put_be128(b, v);
  EXPECT_EQ(0, memcmp(b, kSeq, 16));
  EXPECT_EQ(b[16], 0xAA);

  huld_put_le128(b, v);
  huld_u128 back = huld_get_le128(b);
  EXPECT_EQ(back.high, v.high);
  EXPECT_EQ(back.low, v.low);
  EXPECT_EQ(b[0], 0x10);  // low half first, least significant byte first
  EXPECT_EQ(b[15], 0x01);
}

TEST(HuldByteOrder, Halves) {
  EXPECT_EQ(huld_lo32(0x1122334455667788ull), 0x55667788u);
  EXPECT_EQ(huld_hi32(0x1122334455667788ull), 0x11223344u);
  EXPECT_EQ(huld_min(3, 7), 3u);
  EXPECT_EQ(huld_max(3, 7), 7u);
  EXPECT_EQ(huld_max(0xFFFFFFFFu, 1), 0xFFFFFFFFu);
}

TEST(HuldBits, TestBitWithinAndBeyondWidth) {
  EXPECT_EQ(huld_test_bit32(0, 1), 1);
  EXPECT_EQ(huld_test_bit32(31, 0x80000000u), 1);
  EXPECT_EQ(huld_test_bit32(32, 0xFFFFFFFFu), 0);
  EXPECT_EQ(huld_test_bit32(200, 0xFFFFFFFFu), 0);
  EXPECT_EQ(huld_test_bit64(63, 0x8000000000000000ull), 1);
  EXPECT_EQ(huld_test_bit64(62, 0x8000000000000000ull), 0);
  EXPECT_EQ(huld_test_bit64(64, ~0ull), 0);
  EXPECT_EQ(huld_test_bit16(15, 0x8000), 1);
  EXPECT_EQ(huld_test_bit16(16, 0xFFFF), 0);
}

TEST(HuldBits, GetBitsExtractsInclusiveField) {
  EXPECT_EQ(huld_get_bits64(0xABCD, 4, 7), 0xCull);
  EXPECT_EQ(huld_get_bits64(0xABCD, 0, 0), 1ull);
  EXPECT_EQ(huld_get_bits64(0x8000000000000000ull, 63, 63), 1ull);
  EXPECT_EQ(huld_get_bits64(0xF0F0F0F0F0F0F0F0ull, 1, 63), 0x7878787878787878ull);
  // A 64-bit field is the whole value.
  EXPECT_EQ(huld_get_bits64(0xFEDCBA9876543210ull, 0, 63), 0xFEDCBA9876543210ull);
  // Nonsense ranges give nothing instead of undefined shifts.
  EXPECT_EQ(huld_get_bits64(~0ull, 8, 4), 0ull);
  EXPECT_EQ(huld_get_bits64(~0ull, 64, 70), 0ull);
}

TEST(HuldBits, SetBitsOrsMaskedValue) {
  uint32_t word = 0;
  huld_set_bits32(&word, 0x1F, 4, 4);
  EXPECT_EQ(word, 0xF0u);

  word = 0x0000000F;
  huld_set_bits32(&word, 0x1, 8, 1);
  EXPECT_EQ(word, 0x10Fu);  // ORed in; the word is not cleared

  word = 0;
  huld_set_bits32(&word, 0xFFFFFFFF, 0, 32);
  EXPECT_EQ(word, 0xFFFFFFFFu);

  word = 0;
  huld_set_bits32(&word, 0xFFFFFFFF, 28, 8);  // bits shifted out are lost
  EXPECT_EQ(word, 0xF0000000u);
}

TEST(HuldBits, SetBitsIgnoresEmptyWidthAndOversizedShift) {
  uint32_t word = 0x12;
  huld_set_bits32(&word, 0xFF, 0, 0);
  huld_set_bits32(&word, 0xFF, 0, -3);
  huld_set_bits32(&word, 0xFF, 32, 8);
  huld_set_bits32(&word, 0xFF, 40, 8);
  huld_set_bits32(&word, 0xFF, -1, 8);
  EXPECT_EQ(word, 0x12u);
  huld_set_bits32(nullptr, 1, 0, 1);  // no crash
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

#include "drive_test_util.h"
#include "sim/drives/fw_image.h"

using namespace sim;
using drivetest::text_at;

namespace {

ImageCheck check(const std::vector<uint8_t> &img, ImageTarget target = ImageTarget::Nvme, size_t pad = 0,
                 const std::string &model = "ANY MODEL") {
  return validate_test_image(img.data(), img.size(), target, model, pad, nullptr);
}

}  // namespace

TEST(TestImage, Crc32MatchesTheIeeeCheckValue) {
  const char *s = "123456789";
  EXPECT_EQ(crc32_ieee(reinterpret_cast<const uint8_t *>(s), 9), 0xCBF43926u);
  // Chaining gives the same result as one pass.
  const uint32_t part = crc32_ieee(reinterpret_cast<const uint8_t *>(s), 4);
  EXPECT_EQ(crc32_ieee(reinterpret_cast<const uint8_t *>(s) + 4, 5, part), 0xCBF43926u);
}

TEST(TestImage, HeaderRoundTrip) {
  TestImageSpec spec;
  spec.target = ImageTarget::Ata;
  spec.revision = "NEWFW123";
  spec.inquiry_revision = "N123";
  spec.model = "NEW MODEL";
  spec.vu_ctl = "CTL12345";
  spec.vu_srv = "SRV12345";
  spec.vu_ovl = "OVL123";
  spec.global_product_id = 0x1234;
  spec.total_size = 20000;
  const std::vector<uint8_t> img = make_test_image(spec);
  ASSERT_EQ(img.size(), 20000u);
  EXPECT_EQ(text_at(img.data(), 8), "SIMFWIMG");
  EXPECT_EQ(text_at(img.data() + 72, 8), "CTL12345");  // read by the vendor-unique responder
  EXPECT_EQ(text_at(img.data() + 88, 8), "OVL123  ");
  ImageInfo info;
  ASSERT_EQ(validate_test_image(img.data(), img.size(), ImageTarget::Ata, "X", 0, &info), ImageCheck::Ok);
  EXPECT_EQ(info.revision, "NEWFW123");
  EXPECT_EQ(info.inquiry_revision, "N123");
  EXPECT_EQ(info.model.substr(0, 9), "NEW MODEL");
  EXPECT_EQ(info.global_product_id, 0x1234);
}

TEST(TestImage, BlankModelMeansUnchangedAndInquiryRevisionDefaultsToTheTail) {
  const std::vector<uint8_t> img = make_test_image(ImageTarget::Scsi, "ABCDWXYZ", 4096);
  ImageInfo info;
  ASSERT_EQ(validate_test_image(img.data(), img.size(), ImageTarget::Scsi, "M", 0, &info), ImageCheck::Ok);
  EXPECT_TRUE(info.model.empty());
  EXPECT_EQ(info.inquiry_revision, "WXYZ");
}

TEST(TestImage, RefusesDamagedImages) {
  const std::vector<uint8_t> good = make_test_image(ImageTarget::Nvme, "FW2", 8193);
  EXPECT_EQ(check(good), ImageCheck::Ok);

  std::vector<uint8_t> img = good;
  img.resize(100);
  EXPECT_EQ(check(img), ImageCheck::TooShort);

  img = good;
  img.pop_back();  // dropped tail
  EXPECT_EQ(check(img), ImageCheck::TooShort);

  img = good;
  img[0] = 'X';
  EXPECT_EQ(check(img), ImageCheck::BadMagic);

  img = good;
  img[8] = 64;  // header size
  EXPECT_EQ(check(img), ImageCheck::BadHeader);

  img = good;
  img[5000] ^= 1;
  EXPECT_EQ(check(img), ImageCheck::BadCrc);

  EXPECT_EQ(check(good, ImageTarget::Ata), ImageCheck::WrongTarget);

  // Mixed: the head of one image and the tail of another of the same size.
  const std::vector<uint8_t> other = make_test_image(ImageTarget::Nvme, "FW3", 8193);
  img = good;
  std::copy(other.begin() + 4096, other.end(), img.begin() + 4096);
  EXPECT_EQ(check(img), ImageCheck::BadCrc);
}

TEST(TestImage, TrailingPaddingWithinTheInterfaceUnit) {
  std::vector<uint8_t> img = make_test_image(ImageTarget::Ata, "FW2", 20000);
  img.resize(20480, 0);  // padded to whole 512-byte blocks
  EXPECT_EQ(check(img, ImageTarget::Ata, 511), ImageCheck::Ok);
  EXPECT_EQ(check(img, ImageTarget::Ata, 3), ImageCheck::BadLength);
  img.back() = 1;
  EXPECT_EQ(check(img, ImageTarget::Ata, 511), ImageCheck::BadLength);
}

TEST(TestImage, TargetModelMustPrefixTheDriveModel) {
  const std::vector<uint8_t> img = make_test_image(ImageTarget::Nvme, "FW2", 4096, "ACME X");
  EXPECT_EQ(check(img, ImageTarget::Nvme, 0, "ACME X100"), ImageCheck::Ok);
  EXPECT_EQ(check(img, ImageTarget::Nvme, 0, "ACME Y100"), ImageCheck::WrongModel);
}

// The test firmware image the simulated drives accept.
//
// Layout (little-endian):
//   0   8  magic "SIMFWIMG"
//   8   u32 header size (128)
//   12  u32 total image length (header + payload)
//   16  u8  target interface: 1 ATA, 2 NVMe, 3 SCSI
//   17  3   reserved
//   20  8   new firmware revision (NVMe FR, ATA IDENTIFY words 23-26)
//   28  4   new INQUIRY revision
//   32  40  new model (all blanks: unchanged)
//   72  24  new vendor-unique ctl, srv, ovl firmware strings (8 each)
//   96  u16 new global product id
//   98  2   reserved
//   100 u32 payload length
//   104 20  target model: when not all zero, the drive's current model must begin with this text
//   124 u32 CRC-32 (IEEE) of the whole image with this field taken as 0
//   128 payload (pattern bytes)
// A drive refuses an image whose magic, header size, length, target, model or CRC is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class ImageTarget : uint8_t { Ata = 1, Nvme = 2, Scsi = 3 };

constexpr uint32_t kImageHeaderSize = 128;

struct TestImageSpec {
  ImageTarget target = ImageTarget::Nvme;
  std::string revision = "SIMFW002";   // 8 characters, blank padded
  std::string inquiry_revision;        // 4 characters; empty: the last 4 of `revision`
  std::string model;                   // empty: model unchanged (40 blanks)
  std::string target_model;            // empty: any drive of the interface
  std::string vu_ctl, vu_srv, vu_ovl;  // 8 characters each, blank padded
  uint16_t global_product_id = 0;
  uint32_t total_size = 20000;         // header included; at least 128
  uint8_t pattern_seed = 0x5A;         // payload: pseudo-random from the seed and the header
};

// Builds a valid image from the given fields.
std::vector<uint8_t> make_test_image(const TestImageSpec &spec);
// Short form: image for `target`, new firmware revision `revision`, `total_size` bytes.
std::vector<uint8_t> make_test_image(ImageTarget target, const std::string &revision,
                                     uint32_t total_size, const std::string &target_model = {});

// CRC-32, IEEE 802.3 polynomial (reflected EDB88320h), initial and final XOR FFFFFFFFh.
uint32_t crc32_ieee(const uint8_t *data, size_t len, uint32_t crc = 0);

enum class ImageCheck {
  Ok,
  TooShort,     // fewer bytes than the header, or than the total length the header names
  BadMagic,
  BadHeader,    // header size or payload length inconsistent
  BadLength,    // total length and the bytes present disagree (trailing bytes other than zero padding)
  WrongTarget,  // meant for another interface
  WrongModel,   // target model does not match the drive
  BadCrc,
  BadRevision,  // new firmware revision empty
};
const char *image_check_name(ImageCheck check);

// What a valid image changes.
struct ImageInfo {
  ImageTarget target = ImageTarget::Nvme;
  uint32_t total_length = 0;
  std::string revision;          // 8 characters as stored
  std::string inquiry_revision;  // 4 characters as stored
  std::string model;             // 40 characters as stored, empty when all blanks
  std::string vu_ctl, vu_srv, vu_ovl;
  uint16_t global_product_id = 0;
};

// Validates `len` bytes as received by a drive. Bytes beyond the image's total length are
// accepted only when they are zero and fewer than `max_padding` (the padding unit of the
// interface: 511 for ATA blocks, 3 for NVMe dwords, 0 for SCSI).
ImageCheck validate_test_image(const uint8_t *data, size_t len, ImageTarget expected,
                               const std::string &drive_model, size_t max_padding,
                               ImageInfo *info);

}  // namespace sim

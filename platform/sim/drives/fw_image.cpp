#include "sim/drives/fw_image.h"

#include <algorithm>
#include <cstring>

#include "sim/drives/drive_common.h"

namespace sim {

namespace {

constexpr char kMagic[8] = {'S', 'I', 'M', 'F', 'W', 'I', 'M', 'G'};

void put_u16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get_u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t image_crc(const uint8_t *data, size_t len) {
  static const uint8_t zero[4] = {0, 0, 0, 0};
  uint32_t crc = crc32_ieee(data, 124);
  crc = crc32_ieee(zero, 4, crc);
  return crc32_ieee(data + 128, len - 128, crc);
}

}  // namespace

uint32_t crc32_ieee(const uint8_t *data, size_t len, uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<uint8_t> make_test_image(const TestImageSpec &spec) {
  const uint32_t total = std::max(spec.total_size, kImageHeaderSize);
  std::vector<uint8_t> img(total, 0);
  uint8_t *h = img.data();
  std::memcpy(h, kMagic, 8);
  put_u32(h + 8, kImageHeaderSize);
  put_u32(h + 12, total);
  h[16] = static_cast<uint8_t>(spec.target);
  put_padded(h + 20, 8, spec.revision);
  std::string inq = spec.inquiry_revision;
  if (inq.empty()) inq = spec.revision.size() > 4 ? spec.revision.substr(spec.revision.size() - 4) : spec.revision;
  put_padded(h + 28, 4, inq);
  put_padded(h + 32, 40, spec.model);
  put_padded(h + 72, 8, spec.vu_ctl);
  put_padded(h + 80, 8, spec.vu_srv);
  put_padded(h + 88, 8, spec.vu_ovl);
  put_u16(h + 96, spec.global_product_id);
  put_u32(h + 100, total - kImageHeaderSize);
  std::memcpy(h + 104, spec.target_model.data(), std::min<size_t>(spec.target_model.size(), 20));
  // Pseudo-random payload from the seed and the header, so two different images never share
  // their pieces.
  uint32_t x = crc32_ieee(h, 104) ^ (0x9E3779B9u * (spec.pattern_seed + 1u));
  for (uint32_t i = kImageHeaderSize; i < total; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    img[i] = static_cast<uint8_t>(x >> 11);
  }
  put_u32(h + 124, image_crc(img.data(), img.size()));
  return img;
}

std::vector<uint8_t> make_test_image(ImageTarget target, const std::string &revision, uint32_t total_size,
                                     const std::string &target_model) {
  TestImageSpec spec;
  spec.target = target;
  spec.revision = revision;
  spec.total_size = total_size;
  spec.target_model = target_model;
  return make_test_image(spec);
}

const char *image_check_name(ImageCheck check) {
  switch (check) {
    case ImageCheck::Ok: return "ok";
    case ImageCheck::TooShort: return "too short";
    case ImageCheck::BadMagic: return "bad magic";
    case ImageCheck::BadHeader: return "bad header";
    case ImageCheck::BadLength: return "bad length";
    case ImageCheck::WrongTarget: return "wrong target";
    case ImageCheck::WrongModel: return "wrong model";
    case ImageCheck::BadCrc: return "bad crc";
    case ImageCheck::BadRevision: return "bad revision";
  }
  return "?";
}

ImageCheck validate_test_image(const uint8_t *data, size_t len, ImageTarget expected,
                               const std::string &drive_model, size_t max_padding, ImageInfo *info) {
  if (len < kImageHeaderSize) return ImageCheck::TooShort;
  if (std::memcmp(data, kMagic, 8) != 0) return ImageCheck::BadMagic;
  const uint32_t total = get_u32(data + 12);
  if (get_u32(data + 8) != kImageHeaderSize || total < kImageHeaderSize ||
      get_u32(data + 100) != total - kImageHeaderSize)
    return ImageCheck::BadHeader;
  if (len < total) return ImageCheck::TooShort;
  if (len - total > max_padding) return ImageCheck::BadLength;
  for (size_t i = total; i < len; ++i)
    if (data[i] != 0) return ImageCheck::BadLength;
  if (data[16] != static_cast<uint8_t>(expected)) return ImageCheck::WrongTarget;
  if (image_crc(data, total) != get_u32(data + 124)) return ImageCheck::BadCrc;
  std::string want(reinterpret_cast<const char *>(data + 104), 20);
  want = want.substr(0, want.find('\0'));
  if (!want.empty() && drive_model.compare(0, want.size(), want) != 0) return ImageCheck::WrongModel;
  const std::string rev(reinterpret_cast<const char *>(data + 20), 8);
  if (trim_text(rev).empty()) return ImageCheck::BadRevision;
  if (info) {
    info->target = expected;
    info->total_length = total;
    info->revision = rev;
    info->inquiry_revision.assign(reinterpret_cast<const char *>(data + 28), 4);
    info->model.assign(reinterpret_cast<const char *>(data + 32), 40);
    if (trim_text(info->model).empty()) info->model.clear();
    info->vu_ctl.assign(reinterpret_cast<const char *>(data + 72), 8);
    info->vu_srv.assign(reinterpret_cast<const char *>(data + 80), 8);
    info->vu_ovl.assign(reinterpret_cast<const char *>(data + 88), 8);
    info->global_product_id = get_u16(data + 96);
  }
  return ImageCheck::Ok;
}

}  // namespace sim

#include "sim/drives/vu_responder.h"

#include <algorithm>
#include <cstring>

#include "sim/drives/drive_common.h"

namespace sim {

namespace {

void put_u16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The pieces of the diagnostic super binary this drive answers: key words 0, 1 and 2 (0 when
// the key has no parameter) and the answer's blocks.
struct SuperBinaryPiece {
  uint16_t ac, fc, param;
  uint32_t blocks;
};
constexpr SuperBinaryPiece kSuperBinaryPieces[] = {
    {86, 19, 0, 2}, {113, 1, 0, 1}, {76, 1, 45, 1}, {76, 1, 0xC044, 3}, {126, 2, 0, 2}, {76, 1, 0xC03A, 1}};

// A tagged answer: each block names its key and its index, so that a reader can tell where each
// block went.
std::vector<uint8_t> super_binary_piece(const SuperBinaryPiece &p) {
  std::vector<uint8_t> a(static_cast<size_t>(p.blocks) * 512);
  for (uint32_t b = 0; b < p.blocks; ++b) {
    uint8_t *blk = a.data() + static_cast<size_t>(b) * 512;
    put_u16(blk, p.ac);
    put_u16(blk + 2, p.fc);
    put_u16(blk + 4, p.param);
    put_u16(blk + 6, static_cast<uint16_t>(b));
    std::memset(blk + 8, static_cast<uint8_t>(p.ac ^ p.fc ^ p.param ^ (p.param >> 8) ^ b), 504);
  }
  return a;
}

constexpr uint32_t kGecUnknownKey = 1;
constexpr uint32_t kGecNotEnabled = 2;
constexpr uint32_t kGecBadAccessCode = 3;

}  // namespace

VuResponder::VuResponder(VuConfig config) : cfg_(std::move(config)) {}

bool VuResponder::enable(uint32_t access_code) {
  if (cfg_.level != 4 || access_code != cfg_.access_code) return false;
  mode_ = true;
  return true;
}

void VuResponder::disable() { mode_ = false; }

void VuResponder::reset() {
  mode_ = false;
  level5_on_ = false;
  answer_.clear();
  answer_len_ = 0;
  cursor_ = 0;
  sct_.clear();
  sct_cursor_ = 0;
}

bool VuResponder::accepts_logs() const { return cfg_.level == 5 || (cfg_.level == 4 && mode_); }

std::vector<uint8_t> VuResponder::vscid_record() const {
  std::vector<uint8_t> rec(std::max<uint32_t>(cfg_.vscid_answer_bytes, 368), 0);
  put_padded(rec.data() + 2, 8, cfg_.ctl);
  put_padded(rec.data() + 10, 8, cfg_.srv);
  put_padded(rec.data() + 18, 8, cfg_.ovl);
  rec[26] = cfg_.legacy_family_id;
  put_u16(rec.data() + 364, cfg_.family_id);
  put_u16(rec.data() + 366, cfg_.global_product_id);
  rec.resize(cfg_.vscid_answer_bytes);
  return rec;
}

bool VuResponder::send_key(const uint8_t *key, uint32_t len) {
  if (!accepts_logs() || !key || len < 512) return false;
  key_.assign(key, key + 512);
  const uint16_t ac = get_u16(key), fc = get_u16(key + 2);
  answer_.clear();
  cursor_ = 0;
  principal_ = cfg_.principal_gec;
  supplemental_ = cfg_.supplemental_gec;
  const bool level5_gate = cfg_.level == 5 && !level5_on_ && !(ac == 70 && fc == 1);
  if (level5_gate) {
    principal_ = kGecNotEnabled;
  } else if (ac == 70 && (fc == 1 || fc == 2)) {
    if (fc == 2) {
      level5_on_ = false;
    } else if (get_u16(key + 258) == cfg_.level5_access[0] && get_u16(key + 260) == cfg_.level5_access[1] &&
               get_u16(key + 262) == cfg_.level5_access[2]) {
      level5_on_ = true;
    } else {
      principal_ = kGecBadAccessCode;
    }
  } else if (auto ip = cfg_.answers_by_param.find({ac, fc, get_u16(key + 4)}); ip != cfg_.answers_by_param.end()) {
    answer_ = ip->second;
  } else if (auto it = cfg_.answers.find({ac, fc}); it != cfg_.answers.end()) {
    answer_ = it->second;
  } else if (ac == 13 && fc == 1) {
    answer_ = vscid_record();
  } else if (ac == 159 && fc == 8) {
    answer_.assign(512, 0);
    put_u16(answer_.data() + 4, cfg_.security_level);
  } else {
    principal_ = kGecUnknownKey;
    for (const SuperBinaryPiece &p : kSuperBinaryPieces) {
      if (p.ac != ac || p.fc != fc || (p.param != 0 && p.param != get_u16(key + 4))) continue;
      answer_ = super_binary_piece(p);
      principal_ = cfg_.principal_gec;
      break;
    }
  }
  answer_len_ = static_cast<uint32_t>(answer_.size());
  answer_.resize((answer_.size() + 511) / 512 * 512, 0);
  put_u16(key_.data() + 26, static_cast<uint16_t>(cfg_.reported_blocks.value_or(answer_blocks())));
  return true;
}

uint32_t VuResponder::answer_blocks() const { return static_cast<uint32_t>(answer_.size() / 512); }

void VuResponder::phase_status(uint8_t *out) const {
  std::memset(out, 0, 512);
  // A failed key is reported with the error codes, which only version 0100h carries.
  const uint16_t version = principal_ != 0 ? 0x0100 : cfg_.status_version;
  put_u16(out, version);
  const uint32_t blocks = cfg_.reported_blocks.value_or(answer_blocks());
  if (version == 0x0200) {
    uint64_t bytes = cfg_.reported_blocks ? uint64_t{blocks} * 512 : answer_len_;
    if (cfg_.reported_bytes) bytes = *cfg_.reported_bytes;
    put_u32(out + 2, static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFF)));
  } else {
    put_u32(out + 2, principal_);
    put_u32(out + 6, supplemental_);
    put_u32(out + 10, blocks);
  }
}

void VuResponder::key_page(uint8_t *out) const {
  std::memcpy(out, key_.data(), 512);
  put_u16(out + 288, cfg_.key_page_flags);
}

void VuResponder::read_answer(uint8_t *out, uint32_t blocks) {
  for (uint32_t b = 0; b < blocks; ++b, ++cursor_) {
    uint8_t *dst = out + static_cast<size_t>(b) * 512;
    if (cursor_ < answer_blocks())
      std::memcpy(dst, answer_.data() + static_cast<size_t>(cursor_) * 512, 512);
    else
      std::memset(dst, 0, 512);
  }
}

void VuResponder::write_data(const uint8_t *in, uint32_t blocks) {
  data_out_.insert(data_out_.end(), in, in + static_cast<size_t>(blocks) * 512);
}

void VuResponder::secure_test_page(uint8_t *out) const {
  std::memset(out, 0, 1024);
  // The flags are the sum of two words; each holds a part of the value.
  put_u16(out, 0x0200);
  put_u16(out + 2, static_cast<uint16_t>(cfg_.secure_test_value - cfg_.secure_test_value / 2));
  put_u16(out + 6, static_cast<uint16_t>(cfg_.secure_test_value / 2));
}

bool VuResponder::sct_request(const uint8_t *sector) {
  static const uint16_t kRequest[4] = {0xC002, 0x0001, 0xE0A0, 0xC0D0};
  for (int i = 0; i < 4; ++i)
    if (get_u16(sector + 2 * i) != kRequest[i]) return false;
  sct_ = cfg_.sct_binary;
  if (sct_.empty()) {
    sct_.assign(3 * 512, 0);
    put_u16(sct_.data() + 40, 3);
    for (size_t i = 512; i < sct_.size(); ++i) sct_[i] = static_cast<uint8_t>(i * 13);
  }
  sct_.resize((sct_.size() + 511) / 512 * 512, 0);
  sct_cursor_ = 0;
  return true;
}

bool VuResponder::sct_read(uint8_t *out) {
  if (static_cast<size_t>(sct_cursor_) * 512 >= sct_.size()) return false;
  std::memcpy(out, sct_.data() + static_cast<size_t>(sct_cursor_) * 512, 512);
  ++sct_cursor_;
  return true;
}

void VuResponder::on_activation(const ImageInfo &info) {
  if (!trim_text(info.vu_ctl).empty()) cfg_.ctl = info.vu_ctl;
  if (!trim_text(info.vu_srv).empty()) cfg_.srv = info.vu_srv;
  if (!trim_text(info.vu_ovl).empty()) cfg_.ovl = info.vu_ovl;
  if (info.global_product_id != 0) cfg_.global_product_id = info.global_product_id;
}

}  // namespace sim

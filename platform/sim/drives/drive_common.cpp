#include "sim/drives/drive_common.h"

#include <cstring>

namespace sim {

namespace {

bool is_fixed(uint8_t rc) { return rc == 0x70 || rc == 0x71; }
bool is_descriptor(uint8_t rc) { return rc == 0x72 || rc == 0x73; }

}  // namespace

uint8_t ScsiResult::sense_key() const {
  const uint8_t rc = sense[0] & 0x7F;
  if (is_fixed(rc) && sense_len > 2) return sense[2] & 0x0F;
  if (is_descriptor(rc) && sense_len > 1) return sense[1] & 0x0F;
  return 0;
}

uint8_t ScsiResult::asc() const {
  const uint8_t rc = sense[0] & 0x7F;
  if (is_fixed(rc) && sense_len > 12) return sense[12];
  if (is_descriptor(rc) && sense_len > 2) return sense[2];
  return 0;
}

uint8_t ScsiResult::ascq() const {
  const uint8_t rc = sense[0] & 0x7F;
  if (is_fixed(rc) && sense_len > 13) return sense[13];
  if (is_descriptor(rc) && sense_len > 3) return sense[3];
  return 0;
}

ScsiResult check_condition_fixed(uint8_t key, uint8_t asc, uint8_t ascq) {
  ScsiResult r;
  r.status = kScsiCheckCondition;
  r.sense[0] = 0x70;
  r.sense[2] = key & 0x0F;
  r.sense[7] = 10;
  r.sense[12] = asc;
  r.sense[13] = ascq;
  r.sense_len = 18;
  return r;
}

ScsiResult check_condition_descriptor(uint8_t key, uint8_t asc, uint8_t ascq) {
  ScsiResult r;
  r.status = kScsiCheckCondition;
  r.sense[0] = 0x72;
  r.sense[1] = key & 0x0F;
  r.sense[2] = asc;
  r.sense[3] = ascq;
  r.sense[7] = 0;
  r.sense_len = 8;
  return r;
}

void put_padded(uint8_t *dst, size_t width, const std::string &text) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), text.size() < width ? text.size() : width);
}

void put_ata_string(uint8_t *dst, size_t width, const std::string &text) {
  put_padded(dst, width, text);
  for (size_t i = 0; i + 1 < width; i += 2) {
    const uint8_t t = dst[i];
    dst[i] = dst[i + 1];
    dst[i + 1] = t;
  }
}

std::string trim_text(const std::string &text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\0')) --e;
  return text.substr(b, e - b);
}

namespace {
void (*drive_sleeper)(uint32_t) = nullptr;
}  // namespace

void set_drive_sleep(void (*sleep)(uint32_t ms)) { drive_sleeper = sleep; }
void drive_sleep(uint32_t ms) {
  if (drive_sleeper != nullptr) drive_sleeper(ms);
}

namespace {
// The innermost limit of the calling thread (reached only through these functions).
RequestTimeLimit *&thread_limit() {
  static thread_local RequestTimeLimit *limit = nullptr;
  return limit;
}
}  // namespace

RequestTimeLimit::RequestTimeLimit(uint64_t limit_ms)
    : outer_(thread_limit()), left_ms_(limit_ms), bounded_(limit_ms != 0) {
  thread_limit() = this;
}

RequestTimeLimit::~RequestTimeLimit() { thread_limit() = outer_; }

uint32_t RequestTimeLimit::spend(uint32_t ms, CommandTime *outcome) {
  RequestTimeLimit *limit = thread_limit();
  *outcome = CommandTime::InTime;
  if (limit == nullptr || !limit->bounded_) {
    if (ms) drive_sleep(ms);
    return ms;
  }
  if (limit->expired_) {
    *outcome = CommandTime::Aborted;
    return 0;
  }
  uint32_t spent = ms;
  if (ms > limit->left_ms_) {
    spent = static_cast<uint32_t>(limit->left_ms_);
    limit->expired_ = true;
    *outcome = CommandTime::RanOut;
  }
  limit->left_ms_ -= spent;
  if (spent) drive_sleep(spent);
  return spent;
}

}  // namespace sim

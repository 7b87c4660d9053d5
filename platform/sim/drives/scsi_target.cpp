#include "sim/drives/scsi_target.h"

#include <algorithm>
#include <cstring>

#include "sim/drives/sat_device.h"

namespace sim {

namespace {

bool rule_fires(const FaultWhen &when, uint32_t hit) {
  if (hit < when.first) return false;
  return when.times == 0 || hit < when.first + when.times;
}
std::string padded(const std::string &s, size_t width) {
  std::string out = s.substr(0, std::min(s.size(), width));
  out.resize(width, ' ');
  return out;
}
ScsiResult good(uint32_t transferred = 0) {
  ScsiResult r;
  r.data_transferred = transferred;
  return r;
}
uint32_t be24(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

// Copies `src` to the caller's buffer, at most `alloc` and `data_len` bytes.
ScsiResult data_in(const std::vector<uint8_t> &src, uint32_t alloc, uint8_t *data, uint32_t data_len) {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>({src.size(), alloc, data ? data_len : 0u}));
  if (n) std::memcpy(data, src.data(), n);
  return good(n);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Fault rules

void ScsiFaultSet::add(const ScsiFaultRule &rule) {
  rules_.push_back(rule);
  hits_.push_back(0);
}

void ScsiFaultSet::clear() {
  rules_.clear();
  hits_.clear();
}

const ScsiFaultRule *ScsiFaultSet::match(const uint8_t *cdb, size_t cdb_len) {
  const ScsiFaultRule *fired = nullptr;
  if (cdb_len == 0) return nullptr;
  for (size_t i = 0; i < rules_.size(); ++i) {
    const ScsiFaultRule &r = rules_[i];
    if (r.opcode != cdb[0]) continue;
    if (r.byte1 && (cdb_len < 2 || cdb[1] != *r.byte1)) continue;
    if (r.byte2 && (cdb_len < 3 || cdb[2] != *r.byte2)) continue;
    if (r.ata_command) {
      SatCdb sat;
      if (!decode_sat_cdb(cdb, cdb_len, &sat) || sat.tf.command != *r.ata_command) continue;
    }
    if (rule_fires(r.when, ++hits_[i]) && !fired) fired = &r;
  }
  return fired;
}

ScsiResult ScsiFaultSet::apply(const ScsiFaultRule *rule, const std::function<ScsiResult(uint8_t *, uint32_t)> &exec,
                               uint8_t *data, uint32_t data_len, int ddir) {
  if (!rule) return exec(data, data_len);
  if (rule->status) {
    ScsiResult r;
    if (*rule->status == kScsiCheckCondition)
      r = rule->descriptor ? check_condition_descriptor(rule->sense_key, rule->asc, rule->ascq)
                           : check_condition_fixed(rule->sense_key, rule->asc, rule->ascq);
    r.status = *rule->status;
    if (rule->sense_len) r.sense_len = *rule->sense_len;
    return r;
  }
  if (ddir == kDirIn && data) {
    std::vector<uint8_t> tmp(data_len, 0);
    ScsiResult r = exec(tmp.data(), data_len);
    uint32_t n = r.data_transferred;
    if (rule->short_transfer) n = std::min(n, *rule->short_transfer);
    if (rule->zero_data) std::fill(tmp.begin(), tmp.end(), 0);
    std::memcpy(data, tmp.data(), n);
    r.data_transferred = n;
    return r;
  }
  if (rule->short_transfer) return exec(data, std::min(*rule->short_transfer, data_len));
  return exec(data, data_len);
}

// ---------------------------------------------------------------------------------------------
// Target

ScsiTarget::ScsiTarget(ScsiConfig config) : cfg_(std::move(config)) {
  running_rev_ = padded(cfg_.revision, 4);
  running_product_ = padded(cfg_.product, 16);
  for (const ScsiFaultRule &r : cfg_.faults) faults_.add(r);
  if (cfg_.vu) {
    cfg_.vu->level = 5;
    vu_.emplace(*cfg_.vu);
  }
}

ScsiResult ScsiTarget::execute(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir) {
  if (!cdb || cdb_len < 6) return check_condition_fixed(0x05, 0x20, 0x00);
  // Modelled time, spent before the target acts: WRITE BUFFER 0Eh pieces and 0Fh activations
  // have their own, every other command the common one.
  const bool write_buffer = cdb[0] == 0x3B;
  const uint32_t ms = write_buffer && (cdb[1] & 0x1F) == 0x0E   ? cfg_.timing.download_ms
                      : write_buffer && (cdb[1] & 0x1F) == 0x0F ? cfg_.timing.activate_ms
                                                                 : cfg_.timing.command_ms;
  const CommandTime time = spend_drive_time(ms, mutex_, counters_);
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[cdb[0]];
  if (time != CommandTime::InTime) {
    // Aborted by the reset that recovers the unit, which then reports it to the next command.
    if (time == CommandTime::RanOut) {
      ++counters_.bus_resets;
      unit_attention_ = std::make_pair<uint8_t, uint8_t>(0x29, 0x00);
    }
    return check_condition_fixed(0x0B, 0x00, 0x00);
  }
  const ScsiFaultRule *rule = faults_.match(cdb, cdb_len);
  return ScsiFaultSet::apply(
      rule, [&](uint8_t *d, uint32_t n) { return execute_locked(cdb, cdb_len, d, n, ddir); }, data, data_len, ddir);
}

ScsiResult ScsiTarget::execute_locked(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len,
                                      int ddir) {
  const uint8_t op = cdb[0];
  // A pending unit attention fails the next command other than INQUIRY and REQUEST SENSE.
  if (unit_attention_ && op != 0x12 && op != 0x03) {
    ScsiResult r = check_condition_fixed(0x06, unit_attention_->first, unit_attention_->second);
    unit_attention_.reset();
    return r;
  }
  switch (op) {
    case 0x00:  // TEST UNIT READY
      return good();
    case 0x03: {  // REQUEST SENSE
      const bool desc = cdb[1] & 1;
      uint8_t key = 0, asc = 0, ascq = 0;
      if (unit_attention_) {
        key = 0x06;
        asc = unit_attention_->first;
        ascq = unit_attention_->second;
        unit_attention_.reset();
      }
      const ScsiResult s = desc ? check_condition_descriptor(key, asc, ascq) : check_condition_fixed(key, asc, ascq);
      return data_in(std::vector<uint8_t>(s.sense, s.sense + s.sense_len), cdb[4], data, data_len);
    }
    case 0x12:
      return inquiry(cdb, data, data_len);
    case 0x25: {  // READ CAPACITY(10)
      if (cdb_len < 10) return check_condition_fixed(0x05, 0x24, 0x00);
      std::vector<uint8_t> cap = {0x00, 0x1F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
      return data_in(cap, 8, data, data_len);
    }
    case 0x3B:
      if (cdb_len < 10) return check_condition_fixed(0x05, 0x24, 0x00);
      if (ddir == kDirIn) return check_condition_fixed(0x05, 0x24, 0x00);
      return write_buffer(cdb, cdb_len, data, data_len);
    case 0x3C: {  // READ BUFFER: vendor-specific (answer blocks) and descriptor modes
      if (cdb_len < 10) return check_condition_fixed(0x05, 0x24, 0x00);
      if ((cdb[1] & 0x1F) == 0x01 && vu_) {
        const uint32_t len = be24(cdb + 6);
        if (len % 512 != 0 || !data || data_len < len) return check_condition_fixed(0x05, 0x24, 0x00);
        vu_->read_answer(data, len / 512);
        return good(len);
      }
      if ((cdb[1] & 0x1F) != 0x03) return check_condition_fixed(0x05, 0x24, 0x00);
      uint8_t exp = 0;
      while (exp < 31 && (1u << (exp + 1)) <= cfg_.offset_boundary) ++exp;
      std::vector<uint8_t> d = {exp, 0xFF, 0xFF, 0xFF};
      return data_in(d, be24(cdb + 6), data, data_len);
    }
    case 0x1D: {  // SEND DIAGNOSTIC
      const uint32_t len = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
      if (len > 0) {
        if (!data || data_len < len) return check_condition_fixed(0x05, 0x24, 0x00);
        if (vu_ && len == 512 && !(cdb[1] & 0x10)) {
          if (!vu_->send_key(data, len)) return check_condition_fixed(0x05, 0x26, 0x00);
          return good(len);
        }
        diag_page_.assign(data, data + len);
      }
      return good(len);
    }
    case 0x1C: {  // RECEIVE DIAGNOSTIC RESULTS
      const uint32_t alloc = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
      if (!(cdb[1] & 1)) return data_in(diag_page_, alloc, data, data_len);
      if (vu_ && cdb[2] == 0xF2) {
        std::vector<uint8_t> page(1024);
        vu_->phase_status(page.data());
        vu_->key_page(page.data() + 512);
        return data_in(page, alloc, data, data_len);
      }
      if (vu_ && cdb[2] == 0xF4) {
        std::vector<uint8_t> page(1024);
        vu_->secure_test_page(page.data());
        return data_in(page, alloc, data, data_len);
      }
      if (cdb[2] != 0x00) return check_condition_fixed(0x05, 0x24, 0x00);
      std::vector<uint8_t> pages = {0x00, 0x00, 0x00, 0x01, 0x00};
      if (vu_) {
        pages.push_back(0xF2);
        pages.push_back(0xF4);
        pages[3] = 3;
      }
      return data_in(pages, alloc, data, data_len);
    }
    default:
      return check_condition_fixed(0x05, 0x20, 0x00);
  }
}

ScsiResult ScsiTarget::inquiry(const uint8_t *cdb, uint8_t *data, uint32_t data_len) {
  const bool evpd = cdb[1] & 1;
  const uint8_t page = cdb[2];
  const uint32_t alloc = cfg_.inquiry_alloc_16bit ? (static_cast<uint32_t>(cdb[3]) << 8 | cdb[4]) : cdb[4];
  if (cfg_.identity_fails_after_update && updated_) return check_condition_fixed(0x04, 0x44, 0x00);
  const uint8_t periph = cfg_.peripheral_type & 0x1F;
  std::vector<uint8_t> out;
  if (!evpd) {
    if (page != 0) return check_condition_fixed(0x05, 0x24, 0x00);
    out.assign(96, 0);
    out[0] = periph;
    out[2] = 0x06;  // SPC-4
    out[3] = 0x02;  // response data format
    out[4] = 96 - 5;
    put_padded(out.data() + 8, 8, cfg_.vendor);
    std::memcpy(out.data() + 16, running_product_.data(), 16);
    std::memcpy(out.data() + 32, running_rev_.data(), 4);
    return data_in(out, alloc, data, data_len);
  }
  switch (page) {
    case 0x00: {
      out = {periph, 0x00, 0x00, 0x00, 0x00};
      if (cfg_.vpd80 != Vpd80Mode::Absent) out.push_back(0x80);
      out.push_back(0x83);
      out[3] = static_cast<uint8_t>(out.size() - 4);
      break;
    }
    case 0x80: {
      if (cfg_.vpd80 == Vpd80Mode::Absent) return check_condition_fixed(0x05, 0x24, 0x00);
      out = {periph, 0x80, 0x00, 0x00};
      out.insert(out.end(), cfg_.serial.begin(), cfg_.serial.end());
      size_t len = cfg_.serial.size();
      if (cfg_.vpd80 == Vpd80Mode::Short) len /= 2;
      if (cfg_.vpd80 == Vpd80Mode::ZeroLength) len = 0;
      out.resize(4 + len);
      out[2] = static_cast<uint8_t>(len >> 8);
      out[3] = static_cast<uint8_t>(len);
      break;
    }
    case 0xEC: {
      if (!vu_) return check_condition_fixed(0x05, 0x24, 0x00);
      out.assign(512, 0);
      out[0] = periph;
      out[1] = 0xEC;
      out[2] = 0x01;
      out[3] = 0xFC;
      for (size_t i = 4; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
      break;
    }
    case 0x83: {
      // One T10 vendor identification designator: vendor (8) + serial.
      std::vector<uint8_t> desig = {0x02, 0x01, 0x00, 0x00};
      std::vector<uint8_t> id(8);
      put_padded(id.data(), 8, cfg_.vendor);
      id.insert(id.end(), cfg_.serial.begin(), cfg_.serial.end());
      desig[3] = static_cast<uint8_t>(id.size());
      desig.insert(desig.end(), id.begin(), id.end());
      out = {periph, 0x83, 0x00, static_cast<uint8_t>(desig.size())};
      out.insert(out.end(), desig.begin(), desig.end());
      break;
    }
    default:
      return check_condition_fixed(0x05, 0x24, 0x00);
  }
  return data_in(out, alloc, data, data_len);
}

ScsiResult ScsiTarget::write_buffer(const uint8_t *cdb, size_t, const uint8_t *data, uint32_t data_len) {
  const uint8_t mode = cdb[1] & 0x1F;
  const uint32_t offset = be24(cdb + 3);
  const uint32_t length = be24(cdb + 6);
  if (mode == 0x01 && vu_) {
    if (length % 512 != 0 || length > data_len || (length > 0 && !data)) return check_condition_fixed(0x05, 0x24, 0x00);
    vu_->write_data(data, length / 512);
    return good(length);
  }
  if (!cfg_.write_buffer_supported || (mode != 0x0E && mode != 0x0F)) return check_condition_fixed(0x05, 0x24, 0x00);
  if (mode == 0x0E) {
    if (length > data_len || (length > 0 && !data)) return check_condition_fixed(0x05, 0x24, 0x00);
    const bool aligned = cfg_.offset_boundary == 0 || offset % cfg_.offset_boundary == 0;
    if (!aligned || (offset != 0 && offset != staging_.size())) {
      staging_.clear();
      return check_condition_fixed(0x05, 0x24, 0x00);
    }
    if (offset == 0) staging_.clear();
    staging_.insert(staging_.end(), data, data + length);
    if (cfg_.corrupt_staging && length > 0) staging_.back() ^= 0xA5;
    return good(length);
  }
  // 0Fh: activate the deferred image.
  if (offset != 0 || length != 0) return check_condition_fixed(0x05, 0x24, 0x00);
  if (staging_.empty()) return check_condition_fixed(0x05, 0x2C, 0x00);
  ImageInfo info;
  const ImageCheck check =
      validate_test_image(staging_.data(), staging_.size(), ImageTarget::Scsi, trim_text(running_product_), 0, &info);
  staging_.clear();
  if (check != ImageCheck::Ok) return check_condition_fixed(0x05, 0x26, 0x00);
  if (cfg_.activation_never) return good();
  const std::string rev = padded(info.inquiry_revision, 4);
  const std::string product = info.model.empty() ? running_product_ : padded(info.model, 16);
  if (rev != running_rev_ || product != running_product_) updated_ = true;
  ++counters_.activations;
  running_rev_ = rev;
  running_product_ = product;
  if (vu_) vu_->on_activation(info);
  if (cfg_.unit_attention_after_activation) unit_attention_ = std::make_pair<uint8_t, uint8_t>(0x3F, 0x01);
  return good();
}

void ScsiTarget::power_cycle() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.power_cycles;
  staging_.clear();
  if (vu_) vu_->reset();
  if (cfg_.unit_attention_after_power_on) unit_attention_ = std::make_pair<uint8_t, uint8_t>(0x29, 0x00);
}

DriveCounters ScsiTarget::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void ScsiTarget::bus_reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.bus_resets;
}

DriveIdentity ScsiTarget::identity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {trim_text(running_product_), cfg_.serial, trim_text(running_rev_)};
}

std::string ScsiTarget::running_revision() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_rev_;
}

size_t ScsiTarget::staged_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return staging_.size();
}

bool ScsiTarget::unit_attention_pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unit_attention_.has_value();
}

ScsiConfig ScsiTarget::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cfg_;
}

uint32_t ScsiTarget::command_count(uint8_t opcode) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[opcode];
}

void ScsiTarget::add_fault(const ScsiFaultRule &rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.add(rule);
}

void ScsiTarget::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

void ScsiTarget::set_unit_attention(uint8_t asc, uint8_t ascq) {
  std::lock_guard<std::mutex> lock(mutex_);
  unit_attention_ = std::make_pair(asc, ascq);
}

void ScsiTarget::set_identity_fails_after_update(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.identity_fails_after_update = on;
}

void ScsiTarget::set_corrupt_staging(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.corrupt_staging = on;
}

void ScsiTarget::set_activation_never(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.activation_never = on;
}

void ScsiTarget::set_vu_config(const VuConfig &vu) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.vu = vu;
  cfg_.vu->level = 5;
  vu_.emplace(*cfg_.vu);
}

}  // namespace sim

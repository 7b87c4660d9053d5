#include "sim/drives/ata_drive.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kMaxStaging = 65535u * 512u;

void put_word(uint8_t *id, int word, uint16_t v) {
  id[2 * word] = static_cast<uint8_t>(v);
  id[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}
void put_u64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
std::string padded(const std::string &s, size_t width) {
  std::string out = s.substr(0, std::min(s.size(), width));
  out.resize(width, ' ');
  return out;
}
bool rule_fires(const FaultWhen &when, uint32_t hit) {
  if (hit < when.first) return false;
  return when.times == 0 || hit < when.first + when.times;
}
AtaResult abort_result(const AtaTaskfile &tf) {
  AtaResult r;
  r.status = kAtaStatusErr;
  r.error = kAtaErrorAbort;
  r.device = tf.device;
  return r;
}
bool data_in_command(uint8_t command, uint8_t feature) {
  switch (command) {
    case 0xEC: case 0x2F: case 0x47: return true;
    case 0x80: return false;
    case 0xB0: return feature == 0xD0 || feature == 0xD1 || feature == 0xD5;
    default: return false;
  }
}

// The data phase ran in another protocol than the command's own: the exchange fails and the
// command ends aborted, nothing moved.
bool wrong_protocol(const AtaTaskfile &tf, const uint8_t *data, uint32_t data_len) {
  if (tf.protocol == AtaProtocol::unstated || !data || data_len == 0) return false;
  const AtaProtocol own = ata_data_protocol(tf.command, static_cast<uint8_t>(tf.feature));
  return own != AtaProtocol::unstated && own != tf.protocol;
}

}  // namespace

AtaProtocol ata_data_protocol(uint8_t command, uint8_t feature) {
  switch (command) {
    // DATA SET MANAGEMENT (XL), READ DMA (EXT), WRITE DMA (EXT, FUA EXT), READ / WRITE LOG DMA
    // EXT, TRUSTED RECEIVE / SEND DMA, the queued (FPDMA) commands, DOWNLOAD MICROCODE DMA,
    // READ / WRITE BUFFER DMA.
    case 0x06: case 0x07: case 0x25: case 0x35: case 0x3D: case 0x47: case 0x57: case 0x5D: case 0x5F:
    case 0x60: case 0x61: case 0x64: case 0x65: case 0x93: case 0xC8: case 0xCA: case 0xE9: case 0xEB:
      return AtaProtocol::dma;
    // READ / WRITE SECTORS (EXT), READ / WRITE MULTIPLE (EXT), READ / WRITE LOG EXT, TRUSTED
    // RECEIVE / SEND, DOWNLOAD MICROCODE, IDENTIFY (PACKET) DEVICE, READ / WRITE BUFFER, the
    // security commands that carry a password.
    case 0x20: case 0x24: case 0x29: case 0x2F: case 0x30: case 0x34: case 0x39: case 0x3F: case 0x5C:
    case 0x5E: case 0x92: case 0xA1: case 0xC4: case 0xC5: case 0xE4: case 0xE8: case 0xEC: case 0xF1:
    case 0xF2: case 0xF4: case 0xF6:
      return AtaProtocol::pio;
    case 0xB0:  // SMART READ DATA, READ THRESHOLDS, READ LOG, WRITE LOG
      return feature == 0xD0 || feature == 0xD1 || feature == 0xD5 || feature == 0xD6 ? AtaProtocol::pio
                                                                                        : AtaProtocol::unstated;
    default:
      return AtaProtocol::unstated;
  }
}

AtaDrive::AtaDrive(AtaConfig config) : cfg_(std::move(config)) {
  running_fw_ = padded(cfg_.firmware, 8);
  running_model_ = padded(cfg_.model, 40);
  fault_hits_.assign(cfg_.faults.size(), 0);
  if (cfg_.vu) vu_.emplace(*cfg_.vu);
}

AtaResult AtaDrive::execute(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len) {
  const uint32_t ms = tf.command != 0x92                       ? cfg_.timing.command_ms
                      : static_cast<uint8_t>(tf.feature) == 0x0F ? cfg_.timing.activate_ms
                                                                 : cfg_.timing.download_ms;
  const CommandTime time = spend_drive_time(ms, mutex_, counters_);
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[tf.command];
  if (time != CommandTime::InTime) {
    // Aborted by the reset that recovers the port; what the drive holds stays.
    if (time == CommandTime::RanOut) ++counters_.bus_resets;
    return abort_result(tf);
  }
  const uint8_t feature = static_cast<uint8_t>(tf.feature);
  const AtaFaultRule *fired = nullptr;
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    const AtaFaultRule &r = cfg_.faults[i];
    if (r.command != tf.command) continue;
    if (r.feature && *r.feature != feature) continue;
    if (rule_fires(r.when, ++fault_hits_[i]) && !fired) fired = &r;
  }
  if (!fired) return execute_locked(tf, data, data_len);
  if (fired->status) {
    AtaResult r;
    r.status = *fired->status;
    r.error = fired->error;
    r.device = tf.device;
    return r;
  }
  if (data_in_command(tf.command, feature)) {
    std::vector<uint8_t> tmp(data_len, 0);
    AtaResult r = execute_locked(tf, tmp.data(), data_len);
    uint32_t n = r.data_transferred;
    if (fired->short_transfer) n = std::min(n, *fired->short_transfer);
    if (fired->zero_data) std::fill(tmp.begin(), tmp.end(), 0);
    if (data) std::memcpy(data, tmp.data(), n);
    r.data_transferred = n;
    return r;
  }
  if (fired->short_transfer) return execute_locked(tf, data, std::min(*fired->short_transfer, data_len));
  return execute_locked(tf, data, data_len);
}

AtaResult AtaDrive::execute_locked(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len) {
  const uint8_t feature = static_cast<uint8_t>(tf.feature);
  if (wrong_protocol(tf, data, data_len)) return abort_result(tf);
  AtaResult ok;
  ok.device = tf.device;
  switch (tf.command) {
    case 0xEC: {  // IDENTIFY DEVICE
      if (cfg_.identify_fails || (cfg_.identity_fails_after_update && updated_)) return abort_result(tf);
      uint8_t id[512];
      build_identify(id);
      ok.data_transferred = data ? std::min<uint32_t>(data_len, 512) : 0;
      if (data) std::memcpy(data, id, ok.data_transferred);
      return ok;
    }
    case 0x47:  // READ LOG DMA EXT
      if ((tf.lba & 0xFF) == 0xBC || (tf.lba & 0xFF) == 0xE1) return vendor_unique(tf, data, data_len);
      return read_log(tf, data, data_len);
    case 0x57:  // WRITE LOG DMA EXT
      if ((tf.lba & 0xFF) == 0xE0) return vendor_unique(tf, data, data_len);
      return abort_result(tf);
      return read_log(tf, data, data_len);
    case 0x2F:  // READ LOG EXT
      return read_log(tf, data, data_len);
    case 0x92:  // DOWNLOAD MICROCODE
    case 0x93:  // DOWNLOAD MICROCODE DMA
      return download(tf, data, data_len);
    case 0x80:  // vendor-unique mode enable / disable
      return vendor_unique(tf, data, data_len);
    case 0xB0:  // SMART
      if ((tf.lba & 0xFFFF00) != 0xC24F00) return abort_result(tf);
      if ((feature == 0xD5 || feature == 0xD6) && (tf.lba & 0xFF) >= 0xBD && (tf.lba & 0xFF) <= 0xBF)
        return vendor_unique(tf, data, data_len);
      switch (feature) {
        case 0xD8: case 0xD9: return ok;
        case 0xDA: ok.lba = 0xC24F00; return ok;
        case 0xD0: case 0xD1: {
          uint8_t page[512] = {};
          page[0] = 0x10;  // data structure revision
          uint8_t sum = 0;
          for (int i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + page[i]);
          page[511] = static_cast<uint8_t>(0 - sum);
          ok.data_transferred = data ? std::min<uint32_t>(data_len, 512) : 0;
          if (data) std::memcpy(data, page, ok.data_transferred);
          return ok;
        }
        default: return abort_result(tf);
      }
    case 0xE7: case 0xEA:  // FLUSH CACHE (EXT)
    case 0xE0:             // STANDBY IMMEDIATE
      return ok;
    case 0xE5:  // CHECK POWER MODE: active
      ok.count = 0xFF;
      return ok;
    default:
      return abort_result(tf);
  }
}

void AtaDrive::build_identify(uint8_t *id) const {
  std::memset(id, 0, 512);
  put_word(id, 0, 0x0040);
  put_word(id, 1, 16383);
  put_word(id, 3, 16);
  put_word(id, 6, 63);
  put_ata_string(id + 20, 20, cfg_.serial);
  std::memcpy(id + 46, running_fw_.data(), 8);
  std::memcpy(id + 54, running_model_.data(), 40);
  for (int i = 46; i < 94; i += 2) std::swap(id[i], id[i + 1]);
  put_word(id, 47, 0x8010);
  put_word(id, 49, 0x0300);
  put_word(id, 53, 0x0007);
  put_word(id, 60, 0xFFFF);
  put_word(id, 61, 0x0FFF);
  put_word(id, 80, 0x07F0);
  put_word(id, 82, 0x746B);
  put_word(id, 83, 0x7401);  // download microcode, 48-bit, flush cache (ext)
  put_word(id, 84, 0x4020);  // general purpose logging
  put_word(id, 85, 0x7469);
  put_word(id, 86, 0x3401);
  put_word(id, 87, 0x4020);
  put_word(id, 100, 0x0000);
  put_word(id, 101, 0x2000);  // 2^29 sectors
  put_word(id, 106, 0x4000);
  put_word(id, 119, static_cast<uint16_t>(0x4000 | (cfg_.mode3_supported ? 0x10 : 0)));
  put_word(id, 120, static_cast<uint16_t>(0x4000 | (cfg_.mode3_supported ? 0x10 : 0)));
  if (!cfg_.component_id.empty()) put_ata_string(id + 274, 8, cfg_.component_id);
  put_word(id, 141, cfg_.word141 != 0 ? cfg_.word141 : (vu_ ? 0x4001 : 0));
  put_word(id, 142, cfg_.word142 != 0 ? cfg_.word142 : (vu_ ? vu_->config().level : 0));
  put_word(id, 217, 0x0001);  // non-rotating medium
  put_word(id, 222, 0x107F);
  put_word(id, 234, cfg_.word234_min_blocks);
  put_word(id, 235, cfg_.word235_max_blocks);
  if (cfg_.identify_checksum) {
    id[510] = 0xA5;
    uint8_t sum = 0;
    for (int i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + id[i]);
    id[511] = static_cast<uint8_t>(0 - sum);
  }
}

AtaResult AtaDrive::read_log(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len) {
  const uint8_t log = static_cast<uint8_t>(tf.lba);
  const uint32_t page = static_cast<uint32_t>((tf.lba >> 8) & 0xFF) | static_cast<uint32_t>((tf.lba >> 32) & 0xFF) << 8;
  const uint32_t blocks = tf.count == 0 ? 65536u : tf.count;
  std::vector<uint8_t> out(static_cast<size_t>(blocks) * 512, 0);
  const bool page3 = cfg_.log_page3 != AtaLogPage3::Missing;
  for (uint32_t b = 0; b < blocks; ++b) {
    uint8_t *p = out.data() + static_cast<size_t>(b) * 512;
    const uint32_t pg = page + b;
    if (log == 0x00) {  // log directory
      if (pg != 0) return abort_result(tf);
      p[0] = 0x01;
      p[2 * 0x30] = page3 ? 4 : 1;
    } else if (log == 0x30) {  // IDENTIFY DEVICE DATA
      if (pg == 0) {
        put_u64(p, 0x0001);
        p[8] = page3 ? 2 : 1;
        p[9] = 0x00;
        p[10] = 0x03;
      } else if (pg == 3 && page3) {
        put_u64(p, (1ull << 63) | (3ull << 16) | 0x0001);
        uint64_t dm = static_cast<uint64_t>(cfg_.log_max_blocks) << 16 | cfg_.log_min_blocks;
        if (cfg_.mode3_supported) dm |= 1ull << 32;
        if (cfg_.mode7_supported) dm |= 1ull << 33;
        if (cfg_.modeE_supported) dm |= 1ull << 34;
        if (cfg_.log_page3 == AtaLogPage3::Present) dm |= 1ull << 63;
        put_u64(p + 16, dm);
      } else {
        return abort_result(tf);
      }
    } else {
      return abort_result(tf);
    }
  }
  AtaResult ok;
  ok.device = tf.device;
  ok.data_transferred = data ? static_cast<uint32_t>(std::min<size_t>(data_len, out.size())) : 0;
  if (data) std::memcpy(data, out.data(), ok.data_transferred);
  return ok;
}

uint16_t AtaDrive::min_blocks() const {
  const uint16_t v = cfg_.log_page3 == AtaLogPage3::Present ? cfg_.log_min_blocks : cfg_.word234_min_blocks;
  return v == 0xFFFF ? 0 : v;
}

uint16_t AtaDrive::max_blocks() const {
  const uint16_t v = cfg_.log_page3 == AtaLogPage3::Present ? cfg_.log_max_blocks : cfg_.word235_max_blocks;
  return v == 0xFFFF ? 0 : v;
}

void AtaDrive::discard_staging() {
  staging_.clear();
  staging_mode_ = 0;
  next_block_ = 0;
}

void AtaDrive::activate(const ImageInfo &info) {
  if (cfg_.activation_never) return;
  const std::string fw = padded(info.revision, 8);
  const std::string model = info.model.empty() ? running_model_ : padded(info.model, 40);
  if (fw != running_fw_ || model != running_model_) updated_ = true;
  ++counters_.activations;
  running_fw_ = fw;
  running_model_ = model;
  if (vu_) vu_->on_activation(info);
}

AtaResult AtaDrive::vendor_unique(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len) {
  if (!vu_) return abort_result(tf);
  const uint8_t feature = static_cast<uint8_t>(tf.feature);
  AtaResult ok;
  ok.device = tf.device;
  if (tf.command == 0x80) {
    const uint32_t code = static_cast<uint32_t>(tf.lba & 0xFFFFFF);
    if (feature == 0x45) return vu_->enable(code) ? ok : abort_result(tf);
    if (feature == 0x44 && vu_->config().level == 4) {
      vu_->disable();
      return ok;
    }
    return abort_result(tf);
  }
  if (tf.command == 0x57 || (tf.command == 0x47 && (tf.lba & 0xFF) == 0xE1)) {  // SCT super binary
    if (((tf.lba >> 8) & 0xFF) != 0 || tf.count != 1 || !data || data_len < 512) return abort_result(tf);
    const bool done = tf.command == 0x57 ? vu_->sct_request(data) : vu_->sct_read(data);
    if (!done) return abort_result(tf);
    ok.data_transferred = 512;
    return ok;
  }
  if (tf.command == 0x47) {  // level-5 secure test page
    if (vu_->config().level != 5 || ((tf.lba >> 8) & 0xFF) != 0 || !data || data_len < 1024) return abort_result(tf);
    vu_->secure_test_page(data);
    ok.data_transferred = 1024;
    return ok;
  }
  const uint8_t log = static_cast<uint8_t>(tf.lba);
  const uint32_t blocks = tf.count & 0xFF;
  if (!vu_->accepts_logs() || blocks == 0 || !data || data_len < blocks * 512u) return abort_result(tf);
  if (feature == 0xD6) {
    if (log == 0xBE) {
      if (blocks != 1 || !vu_->send_key(data, 512)) return abort_result(tf);
    } else if (log == 0xBF) {
      vu_->write_data(data, blocks);
    } else {
      return abort_result(tf);
    }
  } else {  // D5h
    if (log == 0xBD && blocks == 1)
      vu_->phase_status(data);
    else if (log == 0xBE && blocks == 1)
      vu_->key_page(data);
    else if (log == 0xBF && blocks <= 128)
      vu_->read_answer(data, blocks);
    else
      return abort_result(tf);
  }
  ok.data_transferred = blocks * 512u;
  return ok;
}

AtaResult AtaDrive::download(const AtaTaskfile &tf, const uint8_t *data, uint32_t data_len) {
  const uint8_t mode = static_cast<uint8_t>(tf.feature);
  const uint32_t blocks = (tf.count & 0xFF) | static_cast<uint32_t>(tf.lba & 0xFF) << 8;
  const uint32_t offset = static_cast<uint32_t>((tf.lba >> 8) & 0xFFFF);
  AtaResult ok;
  ok.device = tf.device;

  if (mode == 0x0F) {
    if (!cfg_.modeE_supported || !deferred_) return abort_result(tf);
    activate(*deferred_);
    deferred_.reset();
    ok.count = kDmApplied;
    return ok;
  }
  const bool mode_ok = (mode == 0x03 && cfg_.mode3_supported) || (mode == 0x07 && cfg_.mode7_supported) ||
                       (mode == 0x0E && cfg_.modeE_supported);
  if (!mode_ok || blocks == 0 || !data || data_len < blocks * 512u) return abort_result(tf);
  const uint16_t mn = min_blocks(), mx = max_blocks();

  if (mode == 0x07) {
    discard_staging();
    std::vector<uint8_t> img(data, data + blocks * 512u);
    if (cfg_.corrupt_staging && img.size() > kImageHeaderSize) img[kImageHeaderSize] ^= 0xA5;
    ImageInfo info;
    if (validate_test_image(img.data(), img.size(), ImageTarget::Ata, trim_text(running_model_), 511, &info) !=
        ImageCheck::Ok)
      return abort_result(tf);
    ok.data_transferred = blocks * 512u;
    if (cfg_.activation_needs_power_cycle) {
      at_power_cycle_ = info;
      ok.count = kDmSavedDeferred;
    } else {
      activate(info);
      ok.count = kDmApplied;
    }
    return ok;
  }

  // 03h / 0Eh: segments with offsets. Only the segment that completes the image may be
  // smaller than the minimum.
  const uint8_t *header = offset == 0 ? data : staging_.data();
  const bool have_header = offset == 0 || staging_.size() >= 16;
  const uint32_t image_total = have_header ? (static_cast<uint32_t>(header[12]) | static_cast<uint32_t>(header[13]) << 8 |
                                              static_cast<uint32_t>(header[14]) << 16 | static_cast<uint32_t>(header[15]) << 24)
                                           : 0;
  const size_t staged_after = (offset == 0 ? 0 : staging_.size()) + blocks * 512u;
  const bool completes = have_header && staged_after >= image_total;
  if ((mn != 0 && blocks < mn && !completes) || (mx != 0 && blocks > mx)) {
    discard_staging();
    return abort_result(tf);
  }
  if (offset == 0) {
    discard_staging();
  } else if (staging_.empty() || offset != next_block_ || mode != staging_mode_) {
    discard_staging();
    return abort_result(tf);
  }
  if (offset == 0 && std::memcmp(data, "SIMFWIMG", 8) != 0) return abort_result(tf);  // no image header
  if (staging_.size() + blocks * 512u > kMaxStaging) {
    discard_staging();
    return abort_result(tf);
  }
  staging_.insert(staging_.end(), data, data + blocks * 512u);
  if (cfg_.corrupt_staging) staging_.back() ^= 0xA5;
  staging_mode_ = mode;
  next_block_ = offset + blocks;
  ok.data_transferred = blocks * 512u;

  const uint32_t total = static_cast<uint32_t>(staging_[12]) | static_cast<uint32_t>(staging_[13]) << 8 |
                         static_cast<uint32_t>(staging_[14]) << 16 | static_cast<uint32_t>(staging_[15]) << 24;
  if (staging_.size() < total) {
    ok.count = kDmMoreData;
    return ok;
  }
  ImageInfo info;
  const ImageCheck check =
      validate_test_image(staging_.data(), staging_.size(), ImageTarget::Ata, trim_text(running_model_), 511, &info);
  discard_staging();
  if (check != ImageCheck::Ok) return abort_result(tf);
  if (mode == 0x0E) {
    deferred_ = info;
    ok.count = kDmSavedDeferred;
  } else if (cfg_.activation_needs_power_cycle) {
    at_power_cycle_ = info;
    ok.count = kDmSavedDeferred;
  } else {
    activate(info);
    ok.count = kDmApplied;
  }
  return ok;
}

void AtaDrive::power_cycle() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.power_cycles;
  // Segments of an image not yet complete are lost with the power; a complete image saved for a
  // deferred activation (0Eh) runs from the power-on reset on, as one waiting for a power cycle does.
  discard_staging();
  if (at_power_cycle_) activate(*at_power_cycle_);
  at_power_cycle_.reset();
  if (deferred_) activate(*deferred_);
  deferred_.reset();
  if (vu_) vu_->reset();
}

DriveIdentity AtaDrive::identity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {trim_text(running_model_), cfg_.serial, trim_text(running_fw_)};
}

std::string AtaDrive::running_revision() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return trim_text(running_fw_);
}

DriveCounters AtaDrive::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::string AtaDrive::pending_revision() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (deferred_) return trim_text(deferred_->revision);
  if (at_power_cycle_) return trim_text(at_power_cycle_->revision);
  return {};
}

void AtaDrive::bus_reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.bus_resets;
}

bool AtaDrive::deferred_pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deferred_.has_value();
}

size_t AtaDrive::staged_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return staging_.size();
}

std::vector<uint8_t> AtaDrive::staged_image() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return staging_;
}

std::array<uint8_t, 512> AtaDrive::identify_data() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::array<uint8_t, 512> id{};
  build_identify(id.data());
  return id;
}

AtaConfig AtaDrive::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cfg_;
}

uint32_t AtaDrive::command_count(uint8_t command) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[command];
}

void AtaDrive::add_fault(const AtaFaultRule &rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.faults.push_back(rule);
  fault_hits_.push_back(0);
}

void AtaDrive::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.faults.clear();
  fault_hits_.clear();
}

void AtaDrive::set_activation_needs_power_cycle(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.activation_needs_power_cycle = on;
}

void AtaDrive::set_identity_fails_after_update(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.identity_fails_after_update = on;
}

void AtaDrive::set_corrupt_staging(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.corrupt_staging = on;
}

}  // namespace sim

namespace sim {

void AtaDrive::set_vu_config(const VuConfig &vu) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.vu = vu;
  vu_.emplace(vu);
}

std::vector<uint8_t> AtaDrive::vu_data_out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return vu_ ? vu_->data_out() : std::vector<uint8_t>{};
}

bool AtaDrive::vu_enabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return vu_ && vu_->enabled();
}

}  // namespace sim

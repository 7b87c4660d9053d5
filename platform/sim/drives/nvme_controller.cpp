#include "sim/drives/nvme_controller.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kMaxStaging = 64u << 20;
// The controller's minimum memory page size (CAP.MPSMIN 0), the unit of MDTS.
constexpr uint64_t kMemoryPage = 4096;

void put_u16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
std::string padded(const std::string &s, size_t width) {
  std::string out = s.substr(0, std::min(s.size(), width));
  out.resize(width, ' ');
  return out;
}

// Direction an NVMe opcode implies (bits 1:0): 1 host to controller, 2 controller to host.
int opcode_direction(uint8_t opcode) {
  switch (opcode & 3) {
    case 1: return kDirOut;
    case 2: return kDirIn;
    default: return kDirNone;
  }
}

bool rule_fires(const FaultWhen &when, uint32_t hit) {
  if (hit < when.first) return false;
  return when.times == 0 || hit < when.first + when.times;
}

}  // namespace

NvmeCompletion nvme_status(uint16_t sct_sc, uint32_t dw0) {
  NvmeCompletion c;
  c.dw0 = dw0;
  const uint32_t sct = (sct_sc >> 8) & 7;
  const uint32_t sc = sct_sc & 0xFF;
  c.dw3 = (sct << 25) | (sc << 17);
  return c;
}

NvmeController::NvmeController(NvmeConfig config) : cfg_(std::move(config)) {
  cfg_.slot_count = std::clamp<uint8_t>(cfg_.slot_count, 1, 7);
  active_slot_ = std::clamp<uint8_t>(cfg_.active_slot, 1, cfg_.slot_count);
  running_fr_ = padded(cfg_.firmware, 8);
  running_model_ = padded(cfg_.model, 40);
  for (uint8_t s = 1; s <= cfg_.slot_count; ++s) {
    if (!cfg_.slot_revisions[s - 1].empty()) {
      slots_[s].filled = true;
      slots_[s].revision = padded(cfg_.slot_revisions[s - 1], 8);
      slots_[s].model = running_model_;
    }
  }
  slots_[active_slot_].filled = true;
  slots_[active_slot_].revision = running_fr_;
  slots_[active_slot_].model = running_model_;
  apste_ = cfg_.apste;
  apst_table_ = cfg_.apst_table;
  fault_hits_.assign(cfg_.faults.size(), 0);
}

NvmeCompletion NvmeController::admin(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  const uint32_t ms = cmd.opcode() == 0x11   ? cfg_.timing.download_ms
                      : cmd.opcode() == 0x10 ? cfg_.timing.activate_ms
                                             : cfg_.timing.command_ms;
  const CommandTime time = spend_drive_time(ms, mutex_, counters_);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++counts_[cmd.opcode()];
  if (time != CommandTime::InTime) {
    if (time == CommandTime::RanOut) controller_reset();
    return nvme_status(kNvmeAbortRequested);
  }

  const NvmeFaultRule *fired = nullptr;
  for (size_t i = 0; i < cfg_.faults.size(); ++i) {
    const NvmeFaultRule &r = cfg_.faults[i];
    if (r.opcode != cmd.opcode()) continue;
    if (r.cdw10_low && *r.cdw10_low != (cmd.cdw10 & 0xFF)) continue;
    if (rule_fires(r.when, ++fault_hits_[i]) && !fired) fired = &r;
  }
  if (fired && fired->status) {
    if (fired->after) admin_locked(cmd, data, data_len);  // done, yet reported as failed
    return nvme_status(*fired->status, fired->dw0.value_or(0));
  }

  if (!fired) return admin_locked(cmd, data, data_len);

  const int dir = opcode_direction(cmd.opcode());
  NvmeCompletion c;
  if (fired->short_transfer && dir == kDirOut) {
    c = admin_locked(cmd, data, std::min(*fired->short_transfer, data_len));
  } else if ((fired->short_transfer || fired->zero_data) && dir == kDirIn && data) {
    std::vector<uint8_t> tmp(data_len, 0);
    c = admin_locked(cmd, tmp.data(), data_len);
    uint32_t n = c.data_transferred;
    if (fired->short_transfer) n = std::min(n, *fired->short_transfer);
    if (fired->zero_data) std::fill(tmp.begin(), tmp.end(), 0);
    std::memcpy(data, tmp.data(), n);
    c.data_transferred = n;
  } else {
    c = admin_locked(cmd, data, data_len);
  }
  if (fired->dw0) c.dw0 = *fired->dw0;
  return c;
}

NvmeCompletion NvmeController::admin_locked(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  if (beyond_mdts(cmd, true, data, data_len)) return nvme_status(kNvmeInvalidField);
  switch (cmd.opcode()) {
    case 0x06: return identify(cmd, data, data_len);
    case 0x02: return get_log_page(cmd, data, data_len);
    case 0x11: return image_download(cmd, data, data_len);
    case 0x10: return commit(cmd);
    case 0x0A: return get_features(cmd, data, data_len);
    case 0x09: return set_features(cmd, data, data_len);
    case 0x14:  // device self-test
    case 0x80:  // format NVM
      if (cmd.nsid != 0 && cmd.nsid != 1 && cmd.nsid != 0xFFFFFFFFu) return nvme_status(kNvmeInvalidNamespace);
      return nvme_status(kNvmeSuccess);
    case 0x84:  // sanitize
      return nvme_status(kNvmeSuccess);
    default:
      if (vendor_) return vendor_(*this, cmd, true, data, data_len);
      return nvme_status(kNvmeInvalidOpcode);
  }
}

NvmeCompletion NvmeController::io(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (beyond_mdts(cmd, false, data, data_len)) return nvme_status(kNvmeInvalidField);
  const bool ns_ok = cfg_.namespace_present && (cmd.nsid == 1 || cmd.nsid == 0xFFFFFFFFu);
  NvmeCompletion c;
  switch (cmd.opcode()) {
    case 0x00:  // flush
      return ns_ok ? nvme_status(kNvmeSuccess) : nvme_status(kNvmeInvalidNamespace);
    case 0x01:  // write
    case 0x09:  // dataset management
      if (!ns_ok || cmd.nsid != 1) return nvme_status(kNvmeInvalidNamespace);
      c.data_transferred = data_len;
      return c;
    case 0x02: {  // read: every block reads as zeros
      if (!ns_ok || cmd.nsid != 1) return nvme_status(kNvmeInvalidNamespace);
      const uint64_t bytes = (static_cast<uint64_t>(cmd.cdw12 & 0xFFFF) + 1) << cfg_.lba_data_size_shift;
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bytes, data_len));
      if (data) std::memset(data, 0, n);
      c.data_transferred = n;
      return c;
    }
    default:
      if (vendor_) return vendor_(*this, cmd, false, data, data_len);
      return nvme_status(kNvmeInvalidOpcode);
  }
}

void NvmeController::build_identify_controller(uint8_t *id) const {
  std::memset(id, 0, 4096);
  put_u16(id + 0, cfg_.pci_vendor_id);
  put_u16(id + 2, cfg_.pci_subsystem_vendor_id);
  put_padded(id + 4, 20, cfg_.serial);
  std::memcpy(id + 24, running_model_.data(), 40);
  std::memcpy(id + 64, running_fr_.data(), 8);
  id[72] = 6;     // recommended arbitration burst
  id[73] = 0x5A;  // IEEE OUI
  id[74] = 0x1D;
  id[75] = 0x00;
  id[77] = cfg_.mdts;
  put_u32(id + 80, 0x00010400);  // version 1.4
  put_u16(id + 256, 0x0006);     // OACS: format NVM, firmware commit / image download
  id[258] = 3;                   // abort command limit
  id[259] = 3;                   // asynchronous event request limit
  id[260] = static_cast<uint8_t>((cfg_.slot1_read_only ? 1 : 0) | (cfg_.slot_count & 7) << 1 |
                                 (cfg_.activation_without_reset ? 0x10 : 0));
  id[261] = 0x02;  // LPA: commands supported and effects (not served) - keep SMART per controller
  id[262] = 63;    // error log page entries
  id[263] = 0;     // one power state
  id[265] = cfg_.apsta ? 1 : 0;
  put_u16(id + 266, 343);  // warning composite temperature threshold (K)
  put_u16(id + 268, 358);  // critical composite temperature threshold (K)
  id[319] = cfg_.fwug;
  id[512] = 0x66;  // SQES
  id[513] = 0x44;  // CQES
  put_u32(id + 516, cfg_.namespace_present ? 1 : 0);  // number of namespaces
  put_u16(id + 520, 0x0004);  // ONCS: dataset management
  id[525] = 0x01;             // volatile write cache present
  put_u16(id + 2048, 2500);   // power state 0: maximum power 25.00 W
  std::memcpy(id + 3126, cfg_.component_id.data(), 8);
}

NvmeCompletion NvmeController::identify(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  if (cfg_.identify_fails || (cfg_.identity_fails_after_update && updated_))
    return nvme_status(kNvmeInternalError);
  uint8_t buf[4096];
  std::memset(buf, 0, sizeof buf);
  const uint8_t cns = cmd.cdw10 & 0xFF;
  switch (cns) {
    case 0x01:
      build_identify_controller(buf);
      break;
    case 0x00: {
      if (!cfg_.namespace_present || (cmd.nsid != 1 && cmd.nsid != 0xFFFFFFFFu))
        return nvme_status(kNvmeInvalidNamespace);
      put_u64(buf + 0, cfg_.namespace_blocks);
      put_u64(buf + 8, cfg_.namespace_blocks);
      put_u64(buf + 16, cfg_.namespace_blocks);
      buf[25] = 0;  // one LBA format (zero-based)
      buf[26] = 0;  // FLBAS: format 0
      put_u32(buf + 128, static_cast<uint32_t>(cfg_.lba_data_size_shift) << 16);  // LBAF0: LBADS
      break;
    }
    case 0x02:  // active namespace list
      if (cfg_.namespace_present && cmd.nsid < 1) put_u32(buf, 1);
      break;
    default:
      return nvme_status(kNvmeInvalidField);
  }
  NvmeCompletion c;
  c.data_transferred = data ? std::min<uint32_t>(data_len, 4096) : 0;
  if (data) std::memcpy(data, buf, c.data_transferred);
  return c;
}

bool NvmeController::command_supported(bool admin, uint8_t opcode) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  static const uint8_t kAdmin[] = {0x02, 0x06, 0x09, 0x0A, 0x10, 0x11, 0x14, 0x80, 0x84};
  static const uint8_t kNvm[] = {0x00, 0x01, 0x02, 0x09};
  const std::vector<uint8_t> &vendor = admin ? cfg_.vendor_admin_commands : cfg_.vendor_nvm_commands;
  if (std::find(vendor.begin(), vendor.end(), opcode) != vendor.end()) return true;
  return admin ? std::find(std::begin(kAdmin), std::end(kAdmin), opcode) != std::end(kAdmin)
               : std::find(std::begin(kNvm), std::end(kNvm), opcode) != std::end(kNvm);
}

void NvmeController::list_vendor_command(bool admin, uint8_t opcode) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!command_supported(admin, opcode))
    (admin ? cfg_.vendor_admin_commands : cfg_.vendor_nvm_commands).push_back(opcode);
}

NvmeCompletion NvmeController::get_log_page(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  const uint8_t lid = cmd.cdw10 & 0xFF;
  const uint64_t numd = ((static_cast<uint64_t>(cmd.cdw11 & 0xFFFF) << 16) | (cmd.cdw10 >> 16)) + 1;
  const uint64_t offset = static_cast<uint64_t>(cmd.cdw13) << 32 | cmd.cdw12;
  std::vector<uint8_t> log;
  switch (lid) {
    case 0x01:  // error information: no entries
      log.assign(64, 0);
      break;
    case 0x02:  // SMART / health information
      log.assign(512, 0);
      put_u16(log.data() + 1, 313);  // composite temperature 40 C
      log[3] = 100;                  // available spare
      log[4] = 10;                   // available spare threshold
      put_u64(log.data() + 112, 7);  // power cycles
      break;
    case 0x03: {  // firmware slot information
      log.assign(512, 0);
      log[0] = static_cast<uint8_t>((active_slot_ & 7) | (pending_slot_ & 7) << 4);
      for (uint8_t s = 1; s <= cfg_.slot_count; ++s)
        if (slots_[s].filled) std::memcpy(log.data() + 8 * s, slots_[s].revision.data(), 8);
      break;
    }
    case 0x05:  // commands supported and effects: CSUPP (bit 0) of each admin, then I/O opcode
      log.assign(4096, 0);
      for (int op = 0; op < 256; ++op) {
        if (command_supported(true, static_cast<uint8_t>(op))) log[4 * op] = 1;
        if (command_supported(false, static_cast<uint8_t>(op))) log[1024 + 4 * op] = 1;
      }
      break;
    default:
      return nvme_status(kNvmeInvalidLogPage);
  }
  if (offset % 4 != 0 || offset > log.size()) return nvme_status(kNvmeInvalidField);
  const uint64_t want = std::min<uint64_t>(numd * 4, data_len);
  NvmeCompletion c;
  if (data) {
    std::memset(data, 0, static_cast<size_t>(want));
    const uint64_t avail = log.size() - offset;
    std::memcpy(data, log.data() + offset, static_cast<size_t>(std::min(avail, want)));
    c.data_transferred = static_cast<uint32_t>(want);
  }
  return c;
}

uint64_t NvmeController::max_transfer_bytes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return cfg_.mdts == 0 ? 0 : static_cast<uint64_t>(kMemoryPage) << std::min<uint8_t>(cfg_.mdts, 32);
}

// The bytes a command moves are what its own fields give where it has them (Identify, Get Log
// Page, Firmware Image Download, Read, Write, Dataset Management), else the host's buffer.
bool NvmeController::beyond_mdts(const NvmeCommand &cmd, bool admin, const uint8_t *data, uint32_t data_len) const {
  if (cfg_.mdts == 0 || !data || data_len == 0) return false;
  uint64_t bytes = data_len;
  if (admin) {
    switch (cmd.opcode()) {
      case 0x06: bytes = 4096; break;
      case 0x02: bytes = (((static_cast<uint64_t>(cmd.cdw11 & 0xFFFF) << 16) | (cmd.cdw10 >> 16)) + 1) * 4; break;
      case 0x11: bytes = (static_cast<uint64_t>(cmd.cdw10) + 1) * 4; break;
      default: break;
    }
  } else {
    switch (cmd.opcode()) {
      case 0x01:
      case 0x02: bytes = (static_cast<uint64_t>(cmd.cdw12 & 0xFFFF) + 1) << cfg_.lba_data_size_shift; break;
      case 0x09: bytes = (static_cast<uint64_t>(cmd.cdw10 & 0xFF) + 1) * 16; break;
      default: break;
    }
  }
  return bytes > max_transfer_bytes();
}

bool NvmeController::granular(uint32_t bytes) const {
  if (!cfg_.enforce_granularity || cfg_.fwug == 0 || cfg_.fwug == 0xFF) return true;
  return bytes % (static_cast<uint32_t>(cfg_.fwug) * 4096u) == 0;
}

NvmeCompletion NvmeController::image_download(const NvmeCommand &cmd, const uint8_t *data, uint32_t data_len) {
  const uint64_t bytes = (static_cast<uint64_t>(cmd.cdw10) + 1) * 4;
  const uint64_t offset = static_cast<uint64_t>(cmd.cdw11) * 4;
  if (!data || bytes > data_len || offset + bytes > kMaxStaging) return nvme_status(kNvmeInvalidField);
  if (offset < staging_.size()) return nvme_status(kNvmeOverlappingRange);
  if (offset > staging_.size()) return nvme_status(kNvmeInvalidField);  // gap: pieces must be contiguous
  if (!granular(static_cast<uint32_t>(offset))) return nvme_status(kNvmeInvalidField);
  if (!granular(static_cast<uint32_t>(bytes))) {
    // Only the piece that ends the image may be shorter than the granularity.
    std::vector<uint8_t> head(staging_);
    head.insert(head.end(), data, data + std::min<uint64_t>(bytes, 16));
    bool final_piece = false;
    if (head.size() >= 16) {
      const uint32_t total = static_cast<uint32_t>(head[12]) | static_cast<uint32_t>(head[13]) << 8 |
                             static_cast<uint32_t>(head[14]) << 16 | static_cast<uint32_t>(head[15]) << 24;
      final_piece = offset + bytes >= total;
    }
    if (!final_piece) return nvme_status(kNvmeInvalidField);
  }
  staging_.insert(staging_.end(), data, data + bytes);
  if (cfg_.corrupt_staging) staging_.back() ^= 0xA5;
  NvmeCompletion c;
  c.data_transferred = static_cast<uint32_t>(bytes);
  return c;
}

void NvmeController::activate_slot(uint8_t slot) {
  if (running_fr_ != slots_[slot].revision || running_model_ != slots_[slot].model) updated_ = true;
  ++counters_.activations;
  active_slot_ = slot;
  running_fr_ = slots_[slot].revision;
  running_model_ = slots_[slot].model;
  pending_slot_ = 0;
  pending_is_ca3_ = false;
}

NvmeCompletion NvmeController::commit(const NvmeCommand &cmd) {
  uint8_t fs = cmd.cdw10 & 7;
  const uint8_t ca = (cmd.cdw10 >> 3) & 7;
  const bool bpid = (cmd.cdw10 >> 31) & 1;
  std::vector<uint8_t> staged;
  staged.swap(staging_);  // every commit clears staging
  if (bpid || ca > 3) return nvme_status(kNvmeInvalidField);
  if (fs > cfg_.slot_count) return nvme_status(kNvmeInvalidFirmwareSlot);
  const bool replaces = ca != 2;
  if (fs == 0) {
    if (!replaces) return nvme_status(kNvmeInvalidFirmwareSlot);
    // The controller chooses: the lowest writable slot other than the running one, else the running one.
    for (uint8_t s = 1; s <= cfg_.slot_count && fs == 0; ++s)
      if (!(s == 1 && cfg_.slot1_read_only) && s != active_slot_) fs = s;
    if (fs == 0 && !(active_slot_ == 1 && cfg_.slot1_read_only)) fs = active_slot_;
    if (fs == 0) return nvme_status(kNvmeInvalidFirmwareSlot);
  }
  if (replaces && fs == 1 && cfg_.slot1_read_only) return nvme_status(kNvmeInvalidFirmwareSlot);

  if (replaces) {
    if (staged.empty()) return nvme_status(kNvmeCommandSequenceError);
    ImageInfo info;
    const ImageCheck check =
        validate_test_image(staged.data(), staged.size(), ImageTarget::Nvme, trim_text(running_model_), 3, &info);
    if (check != ImageCheck::Ok) return nvme_status(kNvmeInvalidFirmwareImage);
    slots_[fs].filled = true;
    slots_[fs].revision = info.revision;
    slots_[fs].model = info.model.empty() ? running_model_ : info.model;
  } else if (!slots_[fs].filled) {
    return nvme_status(kNvmeInvalidFirmwareImage);
  }

  switch (ca) {
    case 0:
      return nvme_status(kNvmeSuccess);
    case 1:
    case 2:
      if (cfg_.activation == NvmeActivation::AtCommit) {
        activate_slot(fs);
      } else {
        pending_slot_ = fs;
        pending_is_ca3_ = false;
      }
      return nvme_status(kNvmeSuccess);
    default:  // 3: replace and activate without reset
      if (!cfg_.activation_without_reset) {
        pending_slot_ = fs;
        pending_is_ca3_ = true;
        return nvme_status(cfg_.ca3_refusal_status);
      }
      if (cfg_.activation != NvmeActivation::Never) activate_slot(fs);
      return nvme_status(kNvmeSuccess);
  }
}

NvmeCompletion NvmeController::get_features(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len) {
  const uint8_t fid = cmd.cdw10 & 0xFF;
  const uint8_t sel = (cmd.cdw10 >> 8) & 7;
  NvmeCompletion c;
  switch (fid) {
    case 0x0C:
      if (!cfg_.apsta) return nvme_status(kNvmeInvalidField);
      if (sel == 3) {
        c.dw0 = 0x4;  // changeable
        return c;
      }
      c.dw0 = apste_ ? 1 : 0;
      if (data) {
        c.data_transferred = std::min<uint32_t>(data_len, 256);
        std::memcpy(data, apst_table_.data(), c.data_transferred);
      }
      return c;
    case 0x02:  // power management: power state 0
      return c;
    case 0x06:  // volatile write cache: enabled
      c.dw0 = 1;
      return c;
    case 0x07:  // number of queues: 8 + 8 (zero-based)
      c.dw0 = 0x00070007;
      return c;
    default:
      return nvme_status(kNvmeInvalidField);
  }
}

NvmeCompletion NvmeController::set_features(const NvmeCommand &cmd, const uint8_t *data, uint32_t data_len) {
  const uint8_t fid = cmd.cdw10 & 0xFF;
  NvmeCompletion c;
  switch (fid) {
    case 0x0C:
      if (!cfg_.apsta) return nvme_status(kNvmeInvalidField);
      if (!data || data_len < 256) return nvme_status(kNvmeInvalidField);
      if (cmd.cdw10 & 0x80000000u) {  // SV: the feature is not saveable
        ++apst_save_requests_;
        return nvme_status(kNvmeFeatureNotSaveable);
      }
      apste_ = (cmd.cdw11 & 1) != 0;
      std::memcpy(apst_table_.data(), data, 256);
      c.data_transferred = 256;
      return c;
    case 0x02:
    case 0x06:
      return c;
    default:
      return nvme_status(kNvmeInvalidField);
  }
}

void NvmeController::apply_pending(bool power_cycle) {
  staging_.clear();
  if (pending_slot_ == 0 || cfg_.activation == NvmeActivation::Never) return;
  if (!power_cycle && cfg_.activation == NvmeActivation::AtPowerCycle) return;
  activate_slot(pending_slot_);
}

void NvmeController::controller_reset() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++counters_.bus_resets;
  apply_pending(false);
}

void NvmeController::power_cycle() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++counters_.power_cycles;
  apply_pending(true);
  apste_ = cfg_.apste;
  apst_table_ = cfg_.apst_table;
}

DriveIdentity NvmeController::identity() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return {trim_text(running_model_), cfg_.serial, trim_text(running_fr_)};
}

std::string NvmeController::running_revision() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return trim_text(running_fr_);
}

uint8_t NvmeController::active_slot() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return active_slot_;
}

uint8_t NvmeController::pending_slot() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pending_slot_;
}

std::string NvmeController::slot_revision(uint8_t slot) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (slot < 1 || slot > cfg_.slot_count || !slots_[slot].filled) return {};
  return trim_text(slots_[slot].revision);
}

size_t NvmeController::staged_bytes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return staging_.size();
}

std::vector<uint8_t> NvmeController::staged_image() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return staging_;
}

bool NvmeController::apste() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return apste_;
}

NvmeActivation NvmeController::activation() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return cfg_.activation;
}

NvmeConfig NvmeController::config() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return cfg_;
}

std::array<uint8_t, 256> NvmeController::apst_table() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return apst_table_;
}

uint32_t NvmeController::apst_save_requests() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return apst_save_requests_;
}

uint32_t NvmeController::command_count(uint8_t opcode) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return counts_[opcode];
}

DriveCounters NvmeController::counters() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return counters_;
}

std::string NvmeController::pending_revision() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (pending_slot_ == 0 || !slots_[pending_slot_].filled) return {};
  return trim_text(slots_[pending_slot_].revision);
}

void NvmeController::set_vendor_handler(NvmeVendorHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  vendor_ = std::move(handler);
}

void NvmeController::set_activation(NvmeActivation activation) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.activation = activation;
}

void NvmeController::add_fault(const NvmeFaultRule &rule) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.faults.push_back(rule);
  fault_hits_.push_back(0);
}

void NvmeController::clear_faults() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.faults.clear();
  fault_hits_.clear();
}

void NvmeController::set_identity_fails_after_update(bool on) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.identity_fails_after_update = on;
}

void NvmeController::set_corrupt_staging(bool on) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.corrupt_staging = on;
}

void NvmeController::set_component_id(const std::array<uint8_t, 8> &id) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  cfg_.component_id = id;
}

}  // namespace sim

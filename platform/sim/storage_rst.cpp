// The Intel RST driver: SATA drives, NVMe drives and RAID volumes behind one SCSI port. The port
// answers the Intel requests for the drive at the request's address:
//
// "IntelNvm" (ControlCode F0002808h): header, address block {version 1, PathId, TargetId, Lun} at
// 28, NVMe submission entry at 32, completion DW0-3 at 97 (odd offset), data_buffer_offs u32 @116
// (164), data_buffer_len u32 @120, data at 164. Every command goes to the admin queue. A SATA
// target, a volume or an empty address: ReturnCode 1, completion and data untouched.
//
// "IntelFw " (ControlCode F0000040h): address block at 28, request block at 32 {Version 1, Size
// 24, Function @40, Flags @44, DataBufferOffset @48 (56), DataBufferLength @52 (size - 56)}, the
// structure at 56: get info (Function 1, {Version 2, Size 24}, answer from 56), download (2,
// {Version 2, Size 32, Offset u64 @64, BufferSize u64 @72, Slot @80, image @88}), activate (3,
// {Version 1, Size 12, SlotToActivate @64}). NVMe drives get Firmware Image Download and Firmware
// Commit (CA 1), SATA drives DOWNLOAD MICROCODE 0Eh / 0Fh. Download and activation carry Flags 1
// for an NVMe drive and 0 for a SATA drive; other flags: ReturnCode 3 (counted as a violation).
// Activation answers ReturnCode 0, or 20h when the drive runs new firmware only after a power cycle.
//
// Knob: "intel_fw_activate_return_code" (unset: 0 or 20h as the drive decides) for a successful
// activation. Fault actions besides the common ones ("return_code", "nvme_status",
// "completion_dw0", "short_transfer", "zero_data", "corrupt_offsets", "ata_status"): "slot_count"
// value: the get-info answer reports this SlotCount; "slot_revision" bytes: every slot entry the
// answer holds carries these (up to 16) revision bytes.
#include "sim/storage/intel_rst.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/storage/helpers.h"
#include "storage_nvme_run.h"

namespace sim {
namespace {

constexpr uint32_t kIntelNvmControlCode = 0xF0002808;
constexpr uint32_t kIntelFwControlCode = 0xF0000040;
constexpr size_t kNvmData = 164;
constexpr size_t kFwData = 56;
constexpr size_t kFwSlotEntries = 80;

std::string hex(uint64_t v) { return fault_key(v); }

bool is_csmi(const std::string &signature) {
  return signature == std::string("CSMIALL", 8) || signature == std::string("CSMISAS", 8) ||
         signature == std::string("CSMIARY", 8);
}

// Flags of an "IntelFw " download or activation: an NVMe drive's firmware is the controller's
// (Flags 1), a SATA drive's microcode carries none (Flags 0). Anything else is refused with an
// invalid parameter and counted.
bool flags_fit(StorageRequest &r, const StorageLu &lu) {
  const uint32_t flags = wire::u32(r.in.data(), 44);
  const uint32_t expected = lu.nvme ? 1u : 0u;
  if (flags == expected) return true;
  r.count_violation("\"IntelFw \" Flags " + fault_key(flags) + " for " + (lu.nvme ? "an NVMe" : "a SATA") +
                    " drive (" + fault_key(expected) + " expected)");
  return false;
}

// The request echoed with ReturnCode rc and nothing else written.
BOOL answer_return_code(StorageRequest &r, uint32_t rc) {
  IoctlCall &c = r.call;
  if (c.out_size < r.in.size()) return r.violation("miniport output smaller than its input");
  if (c.out != c.in) std::memcpy(c.out, r.in.data(), r.in.size());
  wire::put32(c.out, 20, rc);
  c.bytes_returned = static_cast<DWORD>(r.in.size());
  return TRUE;
}

class IntelRstDriver : public StorageDriver {
 public:
  const char *name() const override { return "intel_rst"; }
  uint32_t bus_type() const override { return kBusRaid; }
  bool foreign_miniport_rc_default() const override { return true; }
  std::vector<std::string> own_keys() const override { return {"csmi"}; }

  void configure(DriverConfig &config) override {
    activate_return_code_.reset();
    if (auto v = config.optional_number("intel_fw_activate_return_code", 0xFFFFFFFF))
      activate_return_code_ = static_cast<uint32_t>(*v);
    // Contents come with the adapter's description; a knobs-only reconfiguration keeps them.
    if (!config.drives()) return;
    csmi_ = nullptr;
    if (const nlohmann::json *j = config.section("csmi"))
      csmi_ = std::make_shared<const CsmiContents>(load_csmi(*j, config.where() + ".csmi", *config.drives()));
  }

  // The driver has no protocol-specific property and no protocol command.
  BOOL query_property(StorageRequest &r, uint32_t) override { return r.fail(ERROR_NOT_SUPPORTED); }
  BOOL protocol_command(StorageRequest &r) override { return r.fail(ERROR_NOT_SUPPORTED); }

  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override {
    if (!r.on_adapter) return r.fail(ERROR_INVALID_FUNCTION);
    if (h.signature == "IntelNvm") return intel_nvm(r, h);
    if (h.signature == "IntelFw ") return intel_fw(r, h);
    if (is_csmi(h.signature)) return rst_csmi_miniport(r, h);
    return reject_miniport(r);
  }

  bool ata_pass_through(const StorageLu &lu) const override { return lu.ata != nullptr; }

  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (lu.sat) {
      ScsiResult res = lu.sat->execute(cdb, cdb_len, data, data_len, ddir);
      if (!res.contract_violation.empty()) r.count_violation(res.contract_violation);
      return res;
    }
    if (lu.nvme) {
      NvmeController &ctl = *lu.nvme;
      const NvmeRun run = [&](const NvmeCommand &cmd, bool admin, uint8_t *d, uint32_t n) {
        return admin ? ctl.admin(cmd, d, n) : ctl.io(cmd, d, n);
      };
      return translate_scsi_to_nvme(run, cdb, cdb_len, data, data_len, ddir, false);
    }
    if (cdb[0] != 0x12) return scsi_invalid_opcode();
    if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
    return inquiry_from_descriptor(lu, cdb, cdb_len, data, data_len, ddir);
  }

  // A disk handle resets its own bus too.
  BOOL reset_bus(StorageRequest &r, uint8_t path_id) override {
    if (r.on_adapter) return StorageDriver::reset_bus(r, path_id);
    for (const auto &lu : r.adapter.lus)
      if (lu->path_id == path_id) reset_lu(*lu);
    r.note("reset_path_id", std::to_string(path_id));
    return TRUE;
  }

  std::shared_ptr<const CsmiContents> csmi() const { return csmi_; }

 private:
  BOOL intel_nvm(StorageRequest &r, const MiniportHeader &h);
  BOOL intel_fw(StorageRequest &r, const MiniportHeader &h);
  BOOL fw_get_info(StorageRequest &r, StorageLu &lu, uint32_t data_len);
  uint32_t fw_download(StorageRequest &r, StorageLu &lu, uint64_t offset, uint64_t bytes, const uint8_t *image);
  uint32_t fw_activate(StorageRequest &r, StorageLu &lu, uint8_t slot);
  // The drive at the request's address (bytes 29-31); null for an empty address.
  static StorageLu *addressed(StorageRequest &r) {
    const uint8_t *in = r.in.data();
    return r.adapter.find_lu(in[29], in[30], in[31]);
  }

  std::optional<uint32_t> activate_return_code_;
  std::shared_ptr<const CsmiContents> csmi_;
};

BOOL IntelRstDriver::intel_nvm(StorageRequest &r, const MiniportHeader &h) {
  const size_t size = r.in.size();
  const uint8_t *in = r.in.data();
  if (h.control_code != kIntelNvmControlCode)
    return r.violation("\"IntelNvm\" ControlCode " + hex(h.control_code), ERROR_INVALID_FUNCTION);
  if (size < kNvmData) return r.violation("\"IntelNvm\" request of " + std::to_string(size) + " bytes");
  if (static_cast<uint64_t>(h.length) + 28 != size)
    return r.violation("\"IntelNvm\" Length " + std::to_string(h.length) + " in a " + std::to_string(size) +
                       "-byte request");
  if (r.call.out_size < size) return r.violation("\"IntelNvm\" output smaller than its input");
  if (in[28] != 1) return r.violation("\"IntelNvm\" address block version " + std::to_string(in[28]));
  const uint32_t offs = wire::u32(in, 116), len = wire::u32(in, 120);
  if (offs != kNvmData || len != size - kNvmData)
    return r.violation("\"IntelNvm\" data at " + std::to_string(offs) + "+" + std::to_string(len) + " in a " +
                       std::to_string(size) + "-byte request");
  const NvmeCommand cmd = read_submission_entry(in + 32);
  // The driver owns the command identifier and the other fields of DW0.
  if (cmd.cdw0 > 0xFF) r.count_violation("\"IntelNvm\" DW0 " + hex(cmd.cdw0) + " beyond the opcode");
  // Bits 1:0 of the opcode give the direction; vendor commands without them send their buffer.
  const int ddir = len == 0 ? kDirNone : (cmd.opcode() & 3) == 2 ? kDirIn : kDirOut;
  r.note_nvme(cmd);
  r.note_data(len, ddir);
  if (r.frontend_faults("intel_nvm", {{"nvme_opcode", hex(cmd.opcode())}})) return FALSE;

  StorageLu *lu = addressed(r);
  if (!lu || !lu->nvme) return answer_return_code(r, kFwError);
  r.lu = lu;
  if (const FaultAction *a = r.action("return_code")) return answer_return_code(r, static_cast<uint32_t>(a->value));

  std::vector<uint8_t> data(in + kNvmData, in + size);
  const NvmeCompletion c = run_nvme_for(r, *lu->nvme, cmd, true, len ? data.data() : nullptr, len);

  IoctlCall &call = r.call;
  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
  wire::put32(out, 97, c.dw0);
  wire::put32(out, 101, c.dw1);
  wire::put32(out, 105, c.dw2);
  wire::put32(out, 109, c.dw3);
  if (ddir == kDirIn) {
    const uint32_t moved = std::min(c.data_transferred, len);
    std::memcpy(out + kNvmData, data.data(), moved);
    std::memset(out + kNvmData + moved, 0, len - moved);
    wire::put32(out, 120, moved);
  }
  if (const FaultAction *a = r.action("corrupt_offsets")) {
    wire::put32(out, 116, static_cast<uint32_t>(kNvmData + (a->value ? a->value : 16)));
    if (a->value2) wire::put32(out, 120, static_cast<uint32_t>(a->value2));
  }
  wire::put32(out, 20, kFwSuccess);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

BOOL IntelRstDriver::intel_fw(StorageRequest &r, const MiniportHeader &h) {
  const size_t size = r.in.size();
  const uint8_t *in = r.in.data();
  if (h.control_code != kIntelFwControlCode)
    return r.violation("\"IntelFw \" ControlCode " + hex(h.control_code), ERROR_INVALID_FUNCTION);
  if (size < kFwData + 8) return r.violation("\"IntelFw \" request of " + std::to_string(size) + " bytes");
  if (static_cast<uint64_t>(h.length) + 28 != size)
    return r.violation("\"IntelFw \" Length " + std::to_string(h.length) + " in a " + std::to_string(size) +
                       "-byte request");
  if (r.call.out_size < size) return r.violation("\"IntelFw \" output smaller than its input");
  if (in[28] != 1) return r.violation("\"IntelFw \" address block version " + std::to_string(in[28]));
  const uint32_t version = wire::u32(in, 32), block = wire::u32(in, 36), function = wire::u32(in, 40);
  const uint32_t data_off = wire::u32(in, 48), data_len = wire::u32(in, 52);
  if (version != 1 || block != 24)
    return r.violation("\"IntelFw \" request block Version/Size " + std::to_string(version) + "/" +
                       std::to_string(block));
  if (data_off != kFwData || data_len != size - kFwData)
    return r.violation("\"IntelFw \" data at " + std::to_string(data_off) + "+" + std::to_string(data_len) +
                       " in a " + std::to_string(size) + "-byte request");
  const uint32_t sversion = wire::u32(in, 56), ssize = wire::u32(in, 60);
  r.note("firmware_function", std::to_string(function));
  StorageLu *lu = addressed(r);
  const bool nvme = lu && lu->nvme;
  const std::map<std::string, std::string> keys = {
      nvme ? std::make_pair(std::string("nvme_opcode"), hex(function == 3 ? 0x10 : 0x11))
           : std::make_pair(std::string("ata_command"), hex(0x92))};
  switch (function) {
    case 1: {
      if (sversion != 2 || ssize != 24 || size < kFwSlotEntries)
        return r.violation("\"IntelFw \" get info Version/Size " + std::to_string(sversion) + "/" +
                           std::to_string(ssize) + " in a " + std::to_string(size) + "-byte request");
      if (r.frontend_faults("firmware_get_info")) return FALSE;
      if (!lu || (!lu->nvme && !lu->ata)) return answer_return_code(r, kFwError);
      r.lu = lu;
      if (const FaultAction *a = r.action("return_code")) return answer_return_code(r, static_cast<uint32_t>(a->value));
      return fw_get_info(r, *lu, data_len);
    }
    case 2: {
      if (sversion != 2 || ssize != 32 || size < 88)
        return r.violation("\"IntelFw \" download Version/Size " + std::to_string(sversion) + "/" +
                           std::to_string(ssize) + " in a " + std::to_string(size) + "-byte request");
      const uint64_t offset = wire::u64(in, 64), bytes = wire::u64(in, 72);
      if (bytes != data_len - 32)
        return r.violation("\"IntelFw \" BufferSize " + std::to_string(bytes) + " with DataBufferLength " +
                           std::to_string(data_len));
      if (r.frontend_faults("firmware_download", keys)) return FALSE;
      if (!lu || (!lu->nvme && !lu->ata)) return answer_return_code(r, kFwError);
      if (!flags_fit(r, *lu)) return answer_return_code(r, kFwInvalidParameter);
      r.lu = lu;
      return answer_return_code(r, fw_download(r, *lu, offset, bytes, in + 88));
    }
    case 3:
      if (sversion != 1 || ssize != 12 || size < 68)
        return r.violation("\"IntelFw \" activate Version/Size " + std::to_string(sversion) + "/" +
                           std::to_string(ssize) + " in a " + std::to_string(size) + "-byte request");
      if (r.frontend_faults("firmware_activate", keys)) return FALSE;
      if (!lu || (!lu->nvme && !lu->ata)) return answer_return_code(r, kFwError);
      if (!flags_fit(r, *lu)) return answer_return_code(r, kFwInvalidParameter);
      r.lu = lu;
      return answer_return_code(r, fw_activate(r, *lu, in[64]));
    default:
      return r.violation("\"IntelFw \" Function " + std::to_string(function));
  }
}

// The answer from 56: Version, Size, upgrade support @64, SlotCount @65, ActiveSlot @66,
// PendingActivateSlot @67 (FFh none), FirmwareShared @68, ImagePayloadAlignment u32 @72,
// ImagePayloadMaxSize u32 @76, 24-byte slot entries from 80 {SlotNumber, ReadOnly, 6 reserved,
// Revision[16]} as far as the request holds them.
BOOL IntelRstDriver::fw_get_info(StorageRequest &r, StorageLu &lu, uint32_t data_len) {
  std::vector<uint8_t> info(data_len, 0);
  wire::put32(info.data(), 0, 2);
  wire::put32(info.data(), 4, 24);
  info[8] = 1;
  std::vector<std::pair<bool, std::string>> slots;  // read-only, revision
  if (lu.nvme) {
    NvmeController &ctl = *lu.nvme;
    const NvmeConfig cfg = ctl.config();
    for (uint8_t s = 1; s <= cfg.slot_count; ++s)
      slots.emplace_back(s == 1 && cfg.slot1_read_only, ctl.slot_revision(s));
    info[10] = ctl.active_slot();
    info[11] = ctl.pending_slot() ? ctl.pending_slot() : 0xFF;
    wire::put32(info.data(), 16, 4);
    // No piece larger than the drive's MDTS gets through.
    const uint64_t mdts = ctl.max_transfer_bytes();
    wire::put32(info.data(), 20, static_cast<uint32_t>(mdts != 0 && mdts < 0x200000 ? mdts : 0x200000));
  } else {
    const uint8_t count = std::max<uint8_t>(lu.drive->fw_slot_count, 1);
    for (uint8_t s = 0; s < count; ++s)
      slots.emplace_back(false, s == lu.drive->fw_active_slot ? lu.ata->running_revision() : std::string());
    info[10] = lu.drive->fw_active_slot;
    info[11] = 0xFF;
    wire::put32(info.data(), 16, 512);
    wire::put32(info.data(), 20, 0x20000);
  }
  info[9] = static_cast<uint8_t>(slots.size());
  const uint8_t first = lu.nvme ? 1 : 0;
  for (size_t i = 0; i < slots.size() && kFwSlotEntries - kFwData + 24 * (i + 1) <= data_len; ++i) {
    uint8_t *e = info.data() + (kFwSlotEntries - kFwData) + 24 * i;
    e[0] = static_cast<uint8_t>(first + i);
    e[1] = slots[i].first ? 1 : 0;
    std::memcpy(e + 8, slots[i].second.data(), std::min<size_t>(slots[i].second.size(), 16));
  }
  if (const FaultAction *a = r.action("slot_revision")) {
    // Every entry the answer holds gets this revision (16 bytes, no terminator).
    for (size_t i = 0; kFwSlotEntries - kFwData + 24 * (i + 1) <= data_len; ++i) {
      uint8_t *e = info.data() + (kFwSlotEntries - kFwData) + 24 * i;
      e[0] = static_cast<uint8_t>(first + i);
      std::memset(e + 8, 0, 16);
      std::memcpy(e + 8, a->bytes.data(), std::min<size_t>(a->bytes.size(), 16));
    }
  }
  if (const FaultAction *a = r.action("slot_count")) info[9] = static_cast<uint8_t>(a->value);
  if (r.action("zero_data")) std::fill(info.begin(), info.end(), 0);
  size_t written = info.size();
  if (const FaultAction *a = r.action("short_transfer")) written = std::min<size_t>(written, a->value);

  IoctlCall &c = r.call;
  if (c.out != c.in) std::memcpy(c.out, r.in.data(), r.in.size());
  std::memcpy(c.out + kFwData, info.data(), written);
  wire::put32(c.out, 20, kFwSuccess);
  c.bytes_returned = static_cast<DWORD>(r.in.size());
  return TRUE;
}

uint32_t IntelRstDriver::fw_download(StorageRequest &r, StorageLu &lu, uint64_t offset, uint64_t bytes,
                                     const uint8_t *image) {
  if (const FaultAction *a = r.action("return_code"); a && a->value != kFwSuccess)
    return static_cast<uint32_t>(a->value);
  if (lu.nvme) {
    if (bytes == 0 || offset % 4 != 0 || offset / 4 > 0xFFFFFFFFu) return kFwInvalidParameter;
    // The piece goes to the controller padded to whole dwords.
    const uint32_t padded = static_cast<uint32_t>((bytes + 3) & ~3ull);
    std::vector<uint8_t> piece(padded, 0);
    std::memcpy(piece.data(), image, bytes);
    NvmeCommand cmd;
    cmd.cdw0 = 0x11;
    cmd.cdw10 = padded / 4 - 1;
    cmd.cdw11 = static_cast<uint32_t>(offset / 4);
    return firmware_return_code(run_nvme_for(r, *lu.nvme, cmd, true, piece.data(), padded));
  }
  const std::optional<AtaTaskfile> tf = microcode_download(offset, bytes);
  if (!tf) return kFwInvalidParameter;
  std::vector<uint8_t> piece(image, image + bytes);
  r.note_ata(*tf);
  return run_microcode(r, *lu.ata, *tf, piece.data(), static_cast<uint32_t>(bytes)) ? kFwSuccess : kFwDeviceError;
}

uint32_t IntelRstDriver::fw_activate(StorageRequest &r, StorageLu &lu, uint8_t slot) {
  const FaultAction *forced = r.action("return_code");
  if (forced && forced->value != kFwSuccess && forced->value != kFwPowerCycleRequired)
    return static_cast<uint32_t>(forced->value);
  uint32_t rc = kFwSuccess;
  if (lu.nvme) {
    if (slot > 7) return kFwInvalidSlot;
    // Replace the image in the slot and activate it at the next reset; when the new firmware runs
    // is the drive's own affair.
    NvmeCommand cmd;
    cmd.cdw0 = 0x10;
    cmd.cdw10 = static_cast<uint32_t>(slot) | 1u << 3;
    rc = firmware_return_code(run_nvme_for(r, *lu.nvme, cmd, true, nullptr, 0));
    if (rc == kFwSuccess && lu.nvme_activation == NvmeActivation::AtPowerCycle) rc = kFwPowerCycleRequired;
    r.note("revision_after", lu.nvme->running_revision());
  } else {
    const AtaTaskfile tf = microcode_activate();
    r.note_ata(tf);
    if (!run_microcode(r, *lu.ata, tf, nullptr, 0)) return kFwDeviceError;
    r.note("revision_after", lu.ata->running_revision());
  }
  if (rc == kFwSuccess || rc == kFwPowerCycleRequired) {
    if (activate_return_code_) rc = *activate_return_code_;
    if (forced) rc = static_cast<uint32_t>(forced->value);
  }
  return rc;
}

}  // namespace

std::shared_ptr<const CsmiContents> intel_rst_csmi(uint32_t port) {
  const auto adapter = storage_adapter_at(port);
  const auto *d = adapter ? dynamic_cast<const IntelRstDriver *>(adapter->driver.get()) : nullptr;
  return d ? d->csmi() : nullptr;
}

std::shared_ptr<StorageDriver> make_intel_rst_driver() { return std::make_shared<IntelRstDriver>(); }

}  // namespace sim

// Reading the "storage" section: field checks, the drive models' objects, the drives table and
// the personalities' part of an adapter's description.
#include "sim/storage/description.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <strings.h>

#include "platform/win32.h"
#include "sim/description.h"
#include "sim/devtree.h"
#include "sim/machine.h"
#include "sim/storage/driver.h"
#include "storage_loading.h"

namespace sim {
namespace storage_desc {

namespace {
std::string place(const std::string &where) { return "storage" + (where.empty() ? "" : "." + where); }
}  // namespace

[[noreturn]] void bad(const std::string &where, const std::string &what) { desc::bad(place(where), what); }

void check_fields(const json &j, const std::string &where, const std::vector<std::string> &allowed) {
  desc::check_fields(j, place(where), allowed);
}

uint64_t number(const json &j, const std::string &where, uint64_t max) { return desc::number(j, place(where), max); }
bool flag(const json &j, const std::string &where) { return desc::flag(j, place(where)); }
std::string text(const json &j, const std::string &where) { return desc::text(j, place(where)); }

namespace {

// The widths of a drive model's text fields: the characters each fills in the drive's answers
// (Identify Controller, IDENTIFY DEVICE, INQUIRY). A SCSI serial has no field of its own: VPD page
// 83h carries it after the vendor in one designator, and the page's and the designator's one-byte
// lengths hold 243 characters of it.
constexpr size_t kModelWidth = 40;
constexpr size_t kSerialWidth = 20;
constexpr size_t kRevisionWidth = 8;  // NVMe FR, ATA words 23-26, slot revisions, component ids
constexpr size_t kScsiVendorWidth = 8;
constexpr size_t kScsiProductWidth = 16;
constexpr size_t kScsiRevisionWidth = 4;
constexpr size_t kScsiSerialWidth = 243;

// `field` of `j` into `out` when it is given: a string of at most `width` characters.
void read_text(const json &j, const char *field, const std::string &w, size_t width, std::string &out) {
  if (j.contains(field)) out = desc::text(j[field], place(w + "." + field), width);
}

// "a", "b" or "c", for a message that lists what a field takes.
std::string quoted_list(const std::vector<std::string> &names) {
  std::string list;
  for (size_t i = 0; i < names.size(); ++i)
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + ("\"" + names[i] + "\"");
  return list;
}

}  // namespace

// The times a drive takes when its description gives none: none, or those that
// ORBU_SIM_DRIVE_TIMING ("command_ms,download_ms,activate_ms") gives every drive of the machine, so
// that whole runs can be repeated with commands that last while the threads poll.
DriveTiming default_timing() {
  DriveTiming t;
  const char *env = std::getenv("ORBU_SIM_DRIVE_TIMING");
  if (env == nullptr || *env == '\0') return t;
  unsigned command = 0, download = 0, activate = 0;
  char end = 0;
  if (std::sscanf(env, "%u,%u,%u%c", &command, &download, &activate, &end) != 3 || command > 3600000 ||
      download > 3600000 || activate > 3600000)
    throw std::runtime_error("ORBU_SIM_DRIVE_TIMING: expected \"command_ms,download_ms,activate_ms\"");
  t.command_ms = command;
  t.download_ms = download;
  t.activate_ms = activate;
  return t;
}

DriveTiming load_timing(const json &j, const std::string &w) {
  check_fields(j, w, {"command_ms", "download_ms", "activate_ms"});
  DriveTiming t;
  auto ms = [&](const char *f, uint32_t &out) {
    if (j.contains(f)) out = static_cast<uint32_t>(number(j[f], w + "." + f, 3600000));
  };
  ms("command_ms", t.command_ms);
  ms("download_ms", t.download_ms);
  ms("activate_ms", t.activate_ms);
  return t;
}

NvmeConfig load_nvme(const json &j, const std::string &w) {
  check_fields(j, w, {"model", "serial", "firmware", "namespace", "slot1_read_only", "slots",
                      "activation_without_reset", "ca3_status", "fwug", "mdts", "enforce_granularity", "activation",
                      "active_slot", "slot_revisions", "apsta", "apste", "apst_table", "identify_fails", "component_id", "timing", "vendor_commands"});
  NvmeConfig c;
  c.timing = default_timing();
  if (j.contains("timing")) c.timing = load_timing(j["timing"], w + ".timing");
  read_text(j, "model", w, kModelWidth, c.model);
  read_text(j, "serial", w, kSerialWidth, c.serial);
  read_text(j, "firmware", w, kRevisionWidth, c.firmware);
  if (j.contains("namespace")) c.namespace_present = flag(j["namespace"], w + ".namespace");
  if (j.contains("slot1_read_only")) c.slot1_read_only = flag(j["slot1_read_only"], w + ".slot1_read_only");
  if (j.contains("slots")) c.slot_count = static_cast<uint8_t>(number(j["slots"], w + ".slots", 7));
  if (j.contains("activation_without_reset"))
    c.activation_without_reset = flag(j["activation_without_reset"], w + ".activation_without_reset");
  if (j.contains("ca3_status")) c.ca3_refusal_status = static_cast<uint16_t>(number(j["ca3_status"], w + ".ca3_status", 0x7FF));
  if (j.contains("fwug")) c.fwug = static_cast<uint8_t>(number(j["fwug"], w + ".fwug", 255));
  if (j.contains("mdts")) c.mdts = static_cast<uint8_t>(number(j["mdts"], w + ".mdts", 255));
  if (j.contains("enforce_granularity")) c.enforce_granularity = flag(j["enforce_granularity"], w + ".enforce_granularity");
  if (j.contains("activation")) {
    const std::string s = text(j["activation"], w + ".activation");
    if (s == "commit") c.activation = NvmeActivation::AtCommit;
    else if (s == "reset") c.activation = NvmeActivation::AtReset;
    else if (s == "power_cycle") c.activation = NvmeActivation::AtPowerCycle;
    else if (s == "never") c.activation = NvmeActivation::Never;
    else bad(w + ".activation", "expected \"commit\", \"reset\", \"power_cycle\" or \"never\"");
  }
  if (j.contains("active_slot")) c.active_slot = static_cast<uint8_t>(number(j["active_slot"], w + ".active_slot", 7));
  // A controller has 1 to 7 slots and runs from one of them: a value the drive could not report is
  // refused, not bent into one it can.
  if (c.slot_count == 0) bad(w + ".slots", "expected 1 to 7 firmware slots, not 0");
  if (c.active_slot == 0 || c.active_slot > c.slot_count)
    bad(w + ".active_slot", "expected a slot from 1 to " + std::to_string(c.slot_count) + " (\"slots\"), not " +
                                std::to_string(c.active_slot));
  if (j.contains("slot_revisions")) {
    const json &a = j["slot_revisions"];
    if (!a.is_array() || a.size() > c.slot_count)
      bad(w + ".slot_revisions",
          "expected an array of at most " + std::to_string(c.slot_count) + " strings, one per slot (\"slots\")");
    for (size_t i = 0; i < a.size(); ++i)
      c.slot_revisions[i] = desc::text(a[i], place(w + ".slot_revisions[" + std::to_string(i) + "]"), kRevisionWidth);
  }
  if (j.contains("vendor_commands")) {
    const json &v = j["vendor_commands"];
    check_fields(v, w + ".vendor_commands", {"admin", "nvm"});
    for (const char *queue : {"admin", "nvm"}) {
      if (!v.contains(queue)) continue;
      const std::string where = w + ".vendor_commands." + queue;
      const uint64_t low = std::string(queue) == "admin" ? 0xC0 : 0x80;
      if (!v[queue].is_array()) bad(where, "expected an array of opcodes");
      for (const json &op : v[queue]) {
        const uint64_t n = number(op, where, 0xFF);
        if (n < low) bad(where, "a vendor-specific opcode is " + std::string(low == 0xC0 ? "C0h" : "80h") + " or above");
        (low == 0xC0 ? c.vendor_admin_commands : c.vendor_nvm_commands).push_back(static_cast<uint8_t>(n));
      }
    }
  }
  if (j.contains("apsta")) c.apsta = flag(j["apsta"], w + ".apsta");
  if (j.contains("apste")) c.apste = flag(j["apste"], w + ".apste");
  if (j.contains("apst_table")) {
    // Power-state transition entries as the feature's data holds them: 8 bytes each, little-endian.
    const json &a = j["apst_table"];
    if (!a.is_array() || a.size() > 32) bad(w + ".apst_table", "expected an array of at most 32 entries");
    for (size_t i = 0; i < a.size(); ++i) {
      const uint64_t entry = number(a[i], w + ".apst_table", UINT64_MAX);
      for (size_t b = 0; b < 8; ++b) c.apst_table[i * 8 + b] = static_cast<uint8_t>(entry >> (8 * b));
    }
  }
  if (j.contains("identify_fails")) c.identify_fails = flag(j["identify_fails"], w + ".identify_fails");
  if (j.contains("component_id")) {
    std::string id;
    read_text(j, "component_id", w, kRevisionWidth, id);
    c.component_id.fill(' ');
    std::copy(id.begin(), id.end(), c.component_id.begin());
  }
  return c;
}

void load_ata(const json &j, const std::string &w, AtaConfig &c, SatConfig &s) {
  check_fields(j, w, {"model", "serial", "firmware", "log_page3", "mode3", "mode7", "modeE", "log_min_blocks",
                      "log_max_blocks", "word234", "word235", "activation_needs_power_cycle", "identify_fails",
                      "sense_format", "fixed_valid", "component_id", "word141", "word142", "vu",
                      "timing"});
  c.timing = default_timing();
  if (j.contains("timing")) c.timing = load_timing(j["timing"], w + ".timing");
  read_text(j, "model", w, kModelWidth, c.model);
  read_text(j, "serial", w, kSerialWidth, c.serial);
  read_text(j, "firmware", w, kRevisionWidth, c.firmware);
  if (j.contains("log_page3")) {
    const std::string p = text(j["log_page3"], w + ".log_page3");
    if (p == "present") c.log_page3 = AtaLogPage3::Present;
    else if (p == "missing") c.log_page3 = AtaLogPage3::Missing;
    else if (p == "invalid") c.log_page3 = AtaLogPage3::InvalidBit63;
    else bad(w + ".log_page3", "expected \"present\", \"missing\" or \"invalid\"");
  }
  if (j.contains("mode3")) c.mode3_supported = flag(j["mode3"], w + ".mode3");
  if (j.contains("mode7")) c.mode7_supported = flag(j["mode7"], w + ".mode7");
  if (j.contains("modeE")) c.modeE_supported = flag(j["modeE"], w + ".modeE");
  if (j.contains("log_min_blocks")) c.log_min_blocks = static_cast<uint16_t>(number(j["log_min_blocks"], w + ".log_min_blocks", 0xFFFF));
  if (j.contains("log_max_blocks")) c.log_max_blocks = static_cast<uint16_t>(number(j["log_max_blocks"], w + ".log_max_blocks", 0xFFFF));
  if (j.contains("word234")) c.word234_min_blocks = static_cast<uint16_t>(number(j["word234"], w + ".word234", 0xFFFF));
  if (j.contains("word235")) c.word235_max_blocks = static_cast<uint16_t>(number(j["word235"], w + ".word235", 0xFFFF));
  if (j.contains("activation_needs_power_cycle"))
    c.activation_needs_power_cycle = flag(j["activation_needs_power_cycle"], w + ".activation_needs_power_cycle");
  if (j.contains("identify_fails")) c.identify_fails = flag(j["identify_fails"], w + ".identify_fails");
  if (j.contains("sense_format")) {
    const std::string f = text(j["sense_format"], w + ".sense_format");
    if (f == "descriptor") s.sense_format = SatSenseFormat::Descriptor;
    else if (f == "fixed_old") s.sense_format = SatSenseFormat::FixedOld;
    else if (f == "fixed_new") s.sense_format = SatSenseFormat::FixedNew;
    else if (f == "fixed_long") s.sense_format = SatSenseFormat::FixedLong;
    else bad(w + ".sense_format", "expected \"descriptor\", \"fixed_old\", \"fixed_new\" or \"fixed_long\"");
  }
  if (j.contains("fixed_valid")) s.fixed_valid = flag(j["fixed_valid"], w + ".fixed_valid");
  read_text(j, "component_id", w, kRevisionWidth, c.component_id);
  if (j.contains("word141")) c.word141 = static_cast<uint16_t>(number(j["word141"], w + ".word141", 0xFFFF));
  if (j.contains("word142")) c.word142 = static_cast<uint16_t>(number(j["word142"], w + ".word142", 0xFFFF));
  if (j.contains("vu")) {
    c.vu.emplace();
    load_vu(j["vu"], place(w + ".vu"), *c.vu, false);
  }
}

void load_vu(const json &j, const std::string &where, VuConfig &c, bool faults_only) {
  static const std::vector<std::string> fault_fields = {"status_version", "principal_gec", "supplemental_gec",
                                                        "answer_bytes",   "reported_blocks", "reported_bytes"};
  std::vector<std::string> fields = fault_fields;
  if (!faults_only) {
    for (const char *f : {"level", "access_code", "ctl", "srv", "ovl", "legacy_family_id", "family_id",
                          "global_product_id", "security_level", "key_page_flags", "secure_test_value"})
      fields.push_back(f);
  }
  desc::check_fields(j, where, fields);
  auto num = [&](const char *f, uint64_t max) { return desc::number(j[f], where + "." + f, max); };
  auto firmware = [&](const char *f, std::string &out) {
    if (j.contains(f)) out = desc::text(j[f], where + "." + f, kRevisionWidth);
  };
  if (j.contains("level")) {
    c.level = static_cast<uint16_t>(num("level", 0xFFFF));
    if (c.level != 4 && c.level != 5) desc::bad(where + ".level", "expected 4 or 5");
  }
  if (j.contains("access_code")) c.access_code = static_cast<uint32_t>(num("access_code", 0xFFFFFF));
  if (j.contains("status_version")) c.status_version = static_cast<uint16_t>(num("status_version", 0xFFFF));
  if (j.contains("principal_gec")) c.principal_gec = static_cast<uint32_t>(num("principal_gec", 0xFFFFFFFF));
  if (j.contains("supplemental_gec")) c.supplemental_gec = static_cast<uint32_t>(num("supplemental_gec", 0xFFFFFFFF));
  firmware("ctl", c.ctl);
  firmware("srv", c.srv);
  firmware("ovl", c.ovl);
  if (j.contains("legacy_family_id")) c.legacy_family_id = static_cast<uint8_t>(num("legacy_family_id", 0xFF));
  if (j.contains("family_id")) c.family_id = static_cast<uint16_t>(num("family_id", 0xFFFF));
  if (j.contains("global_product_id")) c.global_product_id = static_cast<uint16_t>(num("global_product_id", 0xFFFF));
  if (j.contains("answer_bytes")) c.vscid_answer_bytes = static_cast<uint32_t>(num("answer_bytes", 1u << 20));
  if (j.contains("reported_blocks")) c.reported_blocks = static_cast<uint32_t>(num("reported_blocks", 0xFFFFFFFF));
  if (j.contains("reported_bytes")) c.reported_bytes = static_cast<uint32_t>(num("reported_bytes", 0xFFFFFFFF));
  if (j.contains("security_level")) c.security_level = static_cast<uint16_t>(num("security_level", 0xFFFF));
  if (j.contains("key_page_flags")) c.key_page_flags = static_cast<uint16_t>(num("key_page_flags", 0xFFFF));
  if (j.contains("secure_test_value")) c.secure_test_value = static_cast<uint16_t>(num("secure_test_value", 0xFFFF));
}

ScsiConfig load_scsi(const json &j, const std::string &w) {
  check_fields(j, w, {"vendor", "product", "revision", "serial", "peripheral_type", "write_buffer", "offset_boundary",
                      "vu", "timing"});
  ScsiConfig c;
  if (j.contains("timing")) c.timing = load_timing(j["timing"], w + ".timing");
  read_text(j, "vendor", w, kScsiVendorWidth, c.vendor);
  read_text(j, "product", w, kScsiProductWidth, c.product);
  read_text(j, "revision", w, kScsiRevisionWidth, c.revision);
  read_text(j, "serial", w, kScsiSerialWidth, c.serial);
  if (j.contains("peripheral_type")) c.peripheral_type = static_cast<uint8_t>(number(j["peripheral_type"], w + ".peripheral_type", 0x1F));
  if (j.contains("write_buffer")) c.write_buffer_supported = flag(j["write_buffer"], w + ".write_buffer");
  if (j.contains("offset_boundary")) c.offset_boundary = static_cast<uint32_t>(number(j["offset_boundary"], w + ".offset_boundary", 0xFFFFFF));
  if (j.contains("vu")) {
    c.vu.emplace();
    c.vu->level = 5;
    load_vu(j["vu"], place(w + ".vu"), *c.vu, false);
    if (c.vu->level != 5) bad(w + ".vu.level", "a SCSI target answers at level 5");
  }
  return c;
}


}  // namespace storage_desc

using namespace storage_desc;

// ---- Drives -------------------------------------------------------------------------------------

void StorageDrive::bus_reset() const {
  if (nvme) nvme->controller_reset();
  if (ata) ata->bus_reset();
  if (scsi) scsi->bus_reset();
}

DriveIdentity StorageDrive::identity() const {
  if (nvme) return nvme->identity();
  if (ata) return ata->identity();
  if (scsi) return scsi->identity();
  return {};
}

const std::vector<std::string> &StorageDriveTable::reference_fields() {
  static const std::vector<std::string> fields = {"drive", "nvme", "ata", "scsi", "firmware_slots",
                                                  "firmware_active_slot"};
  return fields;
}

std::shared_ptr<StorageDrive> StorageDriveTable::make(const json &d, const std::string &w) {
  const int models = (d.contains("nvme") ? 1 : 0) + (d.contains("ata") ? 1 : 0) + (d.contains("scsi") ? 1 : 0);
  if (models != 1) bad(w, "expected exactly one of \"nvme\", \"ata\", \"scsi\"");
  auto drive = std::make_shared<StorageDrive>();
  if (d.contains("nvme")) {
    const NvmeConfig c = load_nvme(d["nvme"], w + ".nvme");
    drive->kind = "nvme";
    drive->nvme = std::make_shared<NvmeController>(c);
    drive->nvme_activation = c.activation;
    drive->vendor = "NVMe";
    drive->product = trim_text(c.model);
    drive->revision = trim_text(c.firmware);
    drive->serial = trim_text(c.serial);
  } else if (d.contains("ata")) {
    AtaConfig c;
    SatConfig s;
    load_ata(d["ata"], w + ".ata", c, s);
    drive->kind = "ata";
    drive->ata = std::make_shared<AtaDrive>(c);
    drive->sat = std::make_shared<SatDevice>(drive->ata, s);
    drive->product = trim_text(c.model);
    drive->revision = trim_text(c.firmware);
    drive->serial = trim_text(c.serial);
  } else {
    const ScsiConfig c = load_scsi(d["scsi"], w + ".scsi");
    drive->kind = "scsi";
    drive->scsi = std::make_shared<ScsiTarget>(c);
    drive->device_type = c.peripheral_type;
    drive->vendor = trim_text(c.vendor);
    drive->product = trim_text(c.product);
    drive->revision = trim_text(c.revision);
    drive->serial = trim_text(c.serial);
  }
  if (d.contains("firmware_slots") || d.contains("firmware_active_slot")) {
    if (!drive->ata) bad(w, "\"firmware_slots\" and \"firmware_active_slot\" describe an ATA drive");
    if (d.contains("firmware_slots"))
      drive->fw_slot_count = static_cast<uint8_t>(number(d["firmware_slots"], w + ".firmware_slots", 255));
    if (d.contains("firmware_active_slot"))
      drive->fw_active_slot = static_cast<uint8_t>(number(d["firmware_active_slot"], w + ".firmware_active_slot", 255));
  }
  return drive;
}

void StorageDriveTable::load(const json &arr) {
  if (!arr.is_array()) bad("drives", "expected an array");
  for (size_t i = 0; i < arr.size(); ++i) {
    const std::string w = "drives[" + std::to_string(i) + "]";
    const json &d = arr[i];
    check_fields(d, w, {"id", "nvme", "ata", "scsi", "firmware_slots", "firmware_active_slot"});
    if (!d.contains("id")) bad(w, "missing \"id\"");
    const std::string id = text(d["id"], w + ".id");
    if (id.empty() || id[0] == '@') bad(w + ".id", "a drive id is not empty and does not start with '@'");
    if (find(id)) bad(w + ".id", "\"" + id + "\" used twice");
    auto drive = make(d, w);
    drive->id = id;
    drives_.push_back(drive);
  }
}

std::shared_ptr<StorageDrive> StorageDriveTable::find(const std::string &id) const {
  for (const auto &d : drives_)
    if (d->id == id) return d;
  return nullptr;
}

std::shared_ptr<StorageDrive> StorageDriveTable::resolve(const json &entry, const std::string &w,
                                                         const std::string &owner, bool required,
                                                         const std::string &kind) {
  const bool inline_model = entry.contains("nvme") || entry.contains("ata") || entry.contains("scsi");
  std::shared_ptr<StorageDrive> drive;
  if (entry.contains("drive")) {
    if (inline_model || entry.contains("firmware_slots") || entry.contains("firmware_active_slot"))
      bad(w, "\"drive\" names a drive of the \"drives\" table: no inline model or slots beside it");
    const std::string id = text(entry["drive"], w + ".drive");
    drive = find(id);
    if (!drive) bad(w + ".drive", "no drive \"" + id + "\" in \"drives\"");
  } else if (inline_model) {
    drive = make(entry, w);
    drive->id = "@" + owner;
    drive->anonymous = true;
    drives_.push_back(drive);
  } else {
    if (required) bad(w, "expected \"drive\" or exactly one of \"nvme\", \"ata\", \"scsi\"");
    return nullptr;
  }
  if (!kind.empty() && drive->kind != kind) bad(w, "expected an " + kind + " drive, not " + drive->kind);
  return drive;
}

// ---- The personality's part of an adapter ---------------------------------------------------------

DriverConfig::DriverConfig(const json *knobs, const json *adapter, std::string where, const StorageDriveTable *drives)
    : knobs_(knobs), adapter_(adapter), where_(std::move(where)), drives_(drives) {
  if (knobs_ && !knobs_->is_object()) bad(where_ + ".knobs", "expected an object");
}

bool DriverConfig::has(const std::string &knob) const { return knobs_ && knobs_->contains(knob); }

bool DriverConfig::flag(const std::string &knob, bool fallback) {
  if (!has(knob)) return fallback;
  read_.push_back(knob);
  return storage_desc::flag((*knobs_)[knob], where_ + ".knobs." + knob);
}

uint64_t DriverConfig::number(const std::string &knob, uint64_t max, uint64_t fallback) {
  return optional_number(knob, max).value_or(fallback);
}

std::optional<uint64_t> DriverConfig::optional_number(const std::string &knob, uint64_t max) {
  if (!has(knob)) return std::nullopt;
  read_.push_back(knob);
  return storage_desc::number((*knobs_)[knob], where_ + ".knobs." + knob, max);
}

std::string DriverConfig::choice(const std::string &knob, const std::vector<std::string> &allowed,
                                 const std::string &fallback) {
  if (!has(knob)) return fallback;
  read_.push_back(knob);
  const std::string v = storage_desc::text((*knobs_)[knob], where_ + ".knobs." + knob);
  if (std::find(allowed.begin(), allowed.end(), v) == allowed.end())
    error(knob, "expected one of " + quoted_list(allowed));
  return v;
}

const json *DriverConfig::section(const std::string &key) const {
  return adapter_ && adapter_->contains(key) ? &(*adapter_)[key] : nullptr;
}

void DriverConfig::error(const std::string &knob, const std::string &what) const {
  bad(where_ + ".knobs." + knob, what);
}

void DriverConfig::finish() const {
  if (!knobs_) return;
  for (auto it = knobs_->begin(); it != knobs_->end(); ++it)
    if (std::find(read_.begin(), read_.end(), it.key()) == read_.end())
      bad(where_ + ".knobs", "unknown knob \"" + it.key() + "\"");
}

// ---- Loading the section: one loader per adapter and per unit -------------------------------------

namespace {

// The adapters and units loaded so far, with the SCSI ports and physical drives they claim, and
// the drives they reach.
struct StorageLoad {
  std::vector<std::shared_ptr<StorageAdapter>> adapters;
  std::vector<std::shared_ptr<StorageLu>> lus;
  std::set<uint32_t> ports, drives;
  StorageDriveTable table;
  // PDOs made up for units that give none, with the place of the unit each was made for.
  std::vector<std::pair<std::string, std::string>> made_pdos;
};

// One entry of "adapters"; `fixed_port` tells whether it names its own port.
std::shared_ptr<StorageAdapter> load_adapter(const json &a, size_t i, StorageLoad &l, bool &fixed_port) {
  const std::string w = "adapters[" + std::to_string(i) + "]";
  if (!a.is_object()) bad(w, "expected an object");
  auto ad = std::make_shared<StorageAdapter>();
  if (!a.contains("personality")) bad(w, "missing \"personality\"");
  const std::string p = text(a["personality"], w + ".personality");
  ad->driver = make_storage_driver(p);
  if (!ad->driver)
    bad(w + ".personality",
        "unknown personality \"" + p + "\", expected one of " + quoted_list(storage_personalities()));
  std::vector<std::string> allowed = {"id", "personality", "node", "instance_id", "driver_desc",
                                      "knobs", "nvme", "drive"};
  if (ad->driver->has_port()) allowed.insert(allowed.end(), {"port", "interface_path"});
  for (const std::string &k : ad->driver->own_keys()) allowed.push_back(k);
  check_fields(a, w, allowed);
  if (!a.contains("id")) bad(w, "missing \"id\"");
  ad->id = text(a["id"], w + ".id");
  for (const auto &o : l.adapters)
    if (o->id == ad->id) bad(w + ".id", "\"" + ad->id + "\" used twice");
  if (a.contains("port")) {
    ad->port = static_cast<uint32_t>(number(a["port"], w + ".port", 255));
    if (!l.ports.insert(ad->port).second) bad(w + ".port", "port " + std::to_string(ad->port) + " used twice");
    fixed_port = true;
  }
  char inst[64];
  std::snprintf(inst, sizeof inst, "PCI\\VEN_ABCD&DEV_%04zX\\4&1000&0&00%02zX", 0x5000 + i, i * 8);
  ad->instance_id = a.contains("instance_id") ? text(a["instance_id"], w + ".instance_id") : std::string(inst);
  if (ad->driver->has_port())
    ad->interface_path = a.contains("interface_path")
                             ? text(a["interface_path"], w + ".interface_path")
                             : interface_path_for(ad->instance_id, GUID_DEVINTERFACE_STORAGEPORT);
  link_adapter_node(*ad, a, w, p);
  configure_adapter(*ad, a.contains("knobs") ? &a["knobs"] : nullptr, &a, w, &l.table);
  // The controller answering controller-level requests on the adapter handle.
  json controller = json::object();
  if (a.contains("nvme")) controller["nvme"] = a["nvme"];
  if (a.contains("drive")) controller["drive"] = a["drive"];
  if (auto drive = l.table.resolve(controller, w, ad->id, false, "nvme")) {
    ad->nvme = drive->nvme;
    ad->nvme_activation = drive->nvme_activation;
  }
  return ad;
}

// The "adapters" array. Adapters without a port of their own get the lowest free ones, in order;
// a personality without a SCSI port gets none.
void load_adapters(const json &arr, StorageLoad &l) {
  if (!arr.is_array()) bad("adapters", "expected an array");
  std::vector<bool> fixed(arr.size(), false);
  for (size_t i = 0; i < arr.size(); ++i) {
    bool fixed_port = false;
    l.adapters.push_back(load_adapter(arr[i], i, l, fixed_port));
    fixed[i] = fixed_port;
  }
  uint32_t next = 0;
  for (size_t i = 0; i < l.adapters.size(); ++i) {
    if (fixed[i]) continue;
    if (!l.adapters[i]->driver->has_port()) {
      l.adapters[i]->port = kNoPort;
      continue;
    }
    while (l.ports.count(next)) ++next;
    l.adapters[i]->port = next;
    l.ports.insert(next);
  }
}

LuKind load_unit_kind(const json &d, const std::string &w) {
  if (!d.contains("kind")) return LuKind::Disk;
  const std::string k = text(d["kind"], w + ".kind");
  if (k == "enclosure") return LuKind::Enclosure;
  if (k == "raid_member") return LuKind::RaidMember;
  if (k == "physical_disk") return LuKind::PhysicalDisk;
  if (k != "disk") bad(w + ".kind", "expected \"disk\", \"enclosure\", \"raid_member\" or \"physical_disk\"");
  return LuKind::Disk;
}

// A unit's PDO, instance id, interface path and device node (a unit with paths of its own). A PDO
// given here that was made up for an earlier unit without one is refused naming that unit: its PDO
// is the one to change, and the user never wrote it.
void load_unit_paths(StorageLu &lu, const StorageAdapter &ad, const json &d, size_t i, const std::string &w,
                     StorageLoad &l) {
  const bool is_disk = lu.kind == LuKind::Disk;
  const bool has_paths = is_disk || lu.kind == LuKind::Enclosure;
  const bool pdo_given = d.contains("pdo");
  char pdo[32];
  std::snprintf(pdo, sizeof pdo, "\\Device\\%08X", 0x31 + static_cast<unsigned>(i));
  lu.pdo = pdo_given ? text(d["pdo"], w + ".pdo") : std::string(pdo);
  if (lu.pdo.rfind("\\Device\\", 0) != 0) bad(w + ".pdo", "expected \"\\Device\\...\"");
  for (const auto &[made, owner] : l.made_pdos)
    if (pdo_given && strcasecmp(made.c_str(), lu.pdo.c_str()) == 0)
      bad(owner, "the PDO made for it (it gives no \"pdo\"), \"" + made + "\", is the one " + w +
                     ".pdo gives; give " + owner + " a \"pdo\" of its own");
  char inst[96];
  std::snprintf(inst, sizeof inst, "SCSI\\%s&VEN_SIM&PROD_DISK\\5&%X&0&%06u",
                lu.kind == LuKind::Enclosure ? "Enclosure" : "DISK", 0x1000 + static_cast<unsigned>(i),
                is_disk ? lu.physical_drive : static_cast<unsigned>(i));
  lu.instance_id = d.contains("instance_id") ? text(d["instance_id"], w + ".instance_id") : std::string(inst);
  const bool has_interface = has_paths && (d.contains("interface") ? flag(d["interface"], w + ".interface") : true);
  if (has_interface)
    lu.interface_path =
        d.contains("interface_path")
            ? text(d["interface_path"], w + ".interface_path")
            : interface_path_for(lu.instance_id, is_disk ? GUID_DEVINTERFACE_DISK : GUID_DEVINTERFACE_SES);
  if (has_paths) {
    const bool pdo_of_node = link_disk_node(lu, ad, d, w);
    if (!pdo_given && !pdo_of_node) l.made_pdos.emplace_back(lu.pdo, w);
  } else if (d.contains("node")) {
    bad(w + ".node", "a unit reached only through its controller has no device node");
  }
}

// A unit's SCSI address on its adapter ("address": null for none).
void load_unit_address(StorageLu &lu, const StorageAdapter &ad, const json &d, const std::string &w) {
  const bool has_paths = lu.kind == LuKind::Disk || lu.kind == LuKind::Enclosure;
  if (d.contains("address")) {
    const json &a = d["address"];
    if (a.is_null()) {
      lu.has_address = false;
    } else {
      check_fields(a, w + ".address", {"path_id", "target_id", "lun"});
      if (a.contains("path_id")) lu.path_id = static_cast<uint8_t>(number(a["path_id"], w + ".address.path_id", 255));
      if (a.contains("target_id")) lu.target_id = static_cast<uint8_t>(number(a["target_id"], w + ".address.target_id", 255));
      if (a.contains("lun")) lu.lun = static_cast<uint8_t>(number(a["lun"], w + ".address.lun", 255));
    }
  }
  if (!has_paths && !lu.has_address)
    bad(w + ".address", "a unit reached only through its controller needs an address");
  if (lu.has_address && ad.find_lu(lu.path_id, lu.target_id, lu.lun))
    bad(w + ".address", "address used twice on adapter \"" + ad.id + "\"");
}

// The drive behind a unit, the bridge between them, and the unit's copy of the drive's strings.
void load_unit_drive(StorageLu &lu, StorageAdapter &ad, const json &d, const std::string &w, StorageDriveTable &table) {
  auto drive = table.resolve(d, w, lu.id);
  if (d.contains("bridge")) {
    lu.bridge = text(d["bridge"], w + ".bridge");
    if (lu.bridge != "none" && lu.bridge != "sat") bad(w + ".bridge", "expected \"none\" or \"sat\"");
    if (lu.bridge == "sat" && !drive->ata) bad(w + ".bridge", "a SAT bridge needs an ATA drive");
  }
  if (lu.kind == LuKind::Enclosure && (!drive->scsi || drive->device_type != 0x0D))
    bad(w, "an enclosure is a SCSI model with \"peripheral_type\": 13");
  lu.drive = drive;
  lu.nvme = drive->nvme;
  lu.ata = drive->ata;
  lu.sat = drive->sat;
  lu.scsi = drive->scsi;
  lu.nvme_activation = drive->nvme_activation;
  lu.vendor = drive->vendor;
  lu.product = drive->product;
  lu.revision = drive->revision;
  lu.serial = drive->serial;
  lu.device_type = drive->device_type;
  if (drive->nvme && !ad.nvme) {
    ad.nvme = drive->nvme;
    ad.nvme_activation = drive->nvme_activation;
  }
}

// One entry of "disks": a disk, enclosure or unit reached only through its controller, added to
// its adapter. A disk without a physical drive of its own gets the lowest free one (`next_drive`
// on).
std::shared_ptr<StorageLu> load_unit(const json &d, size_t i, StorageLoad &l, uint32_t &next_drive) {
  const std::string w = "disks[" + std::to_string(i) + "]";
  auto lu = std::make_shared<StorageLu>();
  lu->kind = load_unit_kind(d, w);
  const bool is_disk = lu->kind == LuKind::Disk;
  const bool has_paths = is_disk || lu->kind == LuKind::Enclosure;
  if (!is_disk && d.contains("physical_drive")) bad(w + ".physical_drive", "only a disk has a physical drive");
  if (!has_paths && (d.contains("interface") || d.contains("interface_path") || d.contains("pdo")))
    bad(w, "a unit reached only through its controller has no paths of its own");
  if (!d.contains("adapter")) bad(w, "missing \"adapter\"");
  const std::string aid = text(d["adapter"], w + ".adapter");
  StorageAdapter *ad = nullptr;
  for (const auto &a : l.adapters)
    if (a->id == aid) ad = a.get();
  if (!ad) bad(w + ".adapter", "no adapter \"" + aid + "\"");
  lu->adapter = ad;
  if (!is_disk) {
    lu->physical_drive = kNoPhysicalDrive;
  } else if (d.contains("physical_drive")) {
    lu->physical_drive = static_cast<uint32_t>(number(d["physical_drive"], w + ".physical_drive", 0xFFFF));
  } else {
    while (l.drives.count(next_drive)) ++next_drive;
    lu->physical_drive = next_drive;
    l.drives.insert(next_drive);
  }
  lu->id = d.contains("id") ? text(d["id"], w + ".id")
                            : is_disk ? "disk" + std::to_string(lu->physical_drive) : "lu" + std::to_string(i);
  for (const auto &o : l.lus)
    if (o->id == lu->id) bad(w + ".id", "\"" + lu->id + "\" used twice");
  load_unit_paths(*lu, *ad, d, i, w, l);
  load_unit_address(*lu, *ad, d, w);
  lu->bus_type = d.contains("bus_type") ? static_cast<uint32_t>(number(d["bus_type"], w + ".bus_type", 255))
                                        : ad->driver->bus_type();
  load_unit_drive(*lu, *ad, d, w, l.table);
  ad->lus.push_back(lu);
  return lu;
}

// The "disks" array. Every entry's fields and named physical drive are checked first, so that
// disks numbered automatically skip the drives later entries name.
void load_units(const json &arr, StorageLoad &l) {
  if (!arr.is_array()) bad("disks", "expected an array");
  std::vector<std::string> allowed = {"id", "kind", "adapter", "node", "physical_drive", "pdo", "instance_id", "interface",
                                      "interface_path", "address", "bus_type", "bridge"};
  for (const std::string &f : StorageDriveTable::reference_fields()) allowed.push_back(f);
  for (size_t i = 0; i < arr.size(); ++i) {
    const json &d = arr[i];
    const std::string w = "disks[" + std::to_string(i) + "]";
    check_fields(d, w, allowed);
    if (d.contains("physical_drive")) {
      const uint32_t n = static_cast<uint32_t>(number(d["physical_drive"], w + ".physical_drive", 0xFFFF));
      if (!l.drives.insert(n).second) bad(w + ".physical_drive", "drive " + std::to_string(n) + " used twice");
    }
  }
  uint32_t next_drive = 0;
  for (size_t i = 0; i < arr.size(); ++i) l.lus.push_back(load_unit(arr[i], i, l, next_drive));
}

}  // namespace

void load_storage(const nlohmann::json &section) {
  reset_storage();
  // Modelled command times pass on the machine's clock.
  set_drive_sleep([](uint32_t ms) { machine_sleep(ms); });
  const json &j = section;
  check_fields(j, "", {"drives", "adapters", "disks"});
  StorageLoad l;
  if (j.contains("drives")) l.table.load(j["drives"]);
  if (j.contains("adapters")) load_adapters(j["adapters"], l);
  if (j.contains("disks")) load_units(j["disks"], l);
  for (const auto &a : l.adapters) a->driver->units_loaded(*a);
  install_storage(std::move(l.adapters), std::move(l.lus), l.table.all());
}

}  // namespace sim

// The "faults" section of a machine description: rules for the rule set (opens, requests, the keys
// front-ends and other parts of the stand-in ask with) and rules for the drive models.
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "platform/src/kernel_internal.h"
#include "sim/description.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/sat_device.h"
#include "sim/drives/scsi_target.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"
#include "sim/storage.h"
#include "sim/storage/description.h"

namespace sim {
namespace {

using json = nlohmann::json;

using desc::bad;

struct Named {
  const char *name;
  DWORD value;
};

// Win32 errors, HRESULTs and CONFIGRETs a rule may name.
constexpr Named kErrors[] = {
    {"ERROR_INVALID_FUNCTION", 1},      {"ERROR_FILE_NOT_FOUND", 2},
    {"ERROR_PATH_NOT_FOUND", 3},        {"ERROR_ACCESS_DENIED", 5},
    {"ERROR_INVALID_HANDLE", 6},        {"ERROR_NOT_ENOUGH_MEMORY", 8},
    {"ERROR_INVALID_DATA", 13},         {"ERROR_OUTOFMEMORY", 14},
    {"ERROR_NOT_READY", 21},            {"ERROR_BAD_COMMAND", 22},
    {"ERROR_CRC", 23},                  {"ERROR_BAD_LENGTH", 24},
    {"ERROR_WRITE_FAULT", 29},          {"ERROR_READ_FAULT", 30},
    {"ERROR_GEN_FAILURE", 31},          {"ERROR_SHARING_VIOLATION", 32},
    {"ERROR_NOT_SUPPORTED", 50},        {"ERROR_INVALID_PARAMETER", 87},
    {"ERROR_SEM_TIMEOUT", 121},         {"ERROR_INSUFFICIENT_BUFFER", 122},
    {"ERROR_BUSY", 170},                {"ERROR_MORE_DATA", 234},
    {"ERROR_NO_MORE_ITEMS", 259},       {"ERROR_NOACCESS", 998},
    {"ERROR_IO_DEVICE", 1117},          {"ERROR_DEVICE_NOT_CONNECTED", 1167},
    {"ERROR_NOT_FOUND", 1168},          {"ERROR_NO_SYSTEM_RESOURCES", 1450},
    {"ERROR_TIMEOUT", 1460},            {"ERROR_INVALID_USER_BUFFER", 1784},
    {"ERROR_NO_SUCH_DEVINST", 0xE000020B},
    {"S_FALSE", 1},                     {"E_NOTIMPL", 0x80004001},
    {"E_NOINTERFACE", 0x80004002},      {"E_POINTER", 0x80004003},
    {"E_FAIL", 0x80004005},             {"E_OUTOFMEMORY", 0x8007000E},
    {"E_INVALIDARG", 0x80070057},       {"REGDB_E_CLASSNOTREG", 0x80040154},
    {"CO_E_NOTINITIALIZED", 0x800401F0},
    {"CR_OUT_OF_MEMORY", 0x02},         {"CR_INVALID_POINTER", 0x03},
    {"CR_INVALID_FLAG", 0x04},          {"CR_INVALID_DEVNODE", 0x05},
    {"CR_NO_SUCH_DEVNODE", 0x0D},       {"CR_FAILURE", 0x13},
    {"CR_BUFFER_SMALL", 0x1A},          {"CR_NO_SUCH_VALUE", 0x25},
};

// Control codes the storage stack decodes, by name.
constexpr Named kControlCodes[] = {
    {"IOCTL_SCSI_PASS_THROUGH", 0x0004D004},         {"IOCTL_SCSI_MINIPORT", 0x0004D008},
    {"IOCTL_ATA_PASS_THROUGH", 0x0004D02C},          {"IOCTL_SCSI_GET_ADDRESS", 0x00041018},
    {"IOCTL_STORAGE_QUERY_PROPERTY", 0x002D1400},    {"IOCTL_STORAGE_GET_DEVICE_NUMBER", 0x002D1080},
    {"IOCTL_STORAGE_RESET_BUS", 0x002D5000},         {"IOCTL_STORAGE_PROTOCOL_COMMAND", 0x002DD3C0},
    {"IOCTL_STORAGE_SET_TEMPERATURE_THRESHOLD", 0x002DD200},
    {"IOCTL_STORAGE_FIRMWARE_GET_INFO", 0x002D1C00}, {"IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 0x002DDC04},
    {"IOCTL_STORAGE_FIRMWARE_ACTIVATE", 0x002DDC08}, {"IOCTL_DISK_GET_CACHE_INFORMATION", 0x000740D4},
    {"IOCTL_DISK_SET_CACHE_INFORMATION", 0x0007C0D8},
};

using desc::check_fields;
using desc::number;
using desc::text;

DWORD named_or_number(const json &j, const std::string &where, const Named *table, size_t n, const char *what) {
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    for (size_t i = 0; i < n; ++i)
      if (s == table[i].name) return table[i].value;
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) bad(where, std::string("unknown ") + what + " \"" + s + "\"");
  }
  return static_cast<DWORD>(number(j, where, 0xFFFFFFFF));
}

DWORD error_code(const json &j, const std::string &where) {
  return named_or_number(j, where, kErrors, std::size(kErrors), "error name");
}

std::vector<uint8_t> hex_bytes(const json &j, const std::string &where) {
  std::vector<uint8_t> out;
  if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i)
      out.push_back(static_cast<uint8_t>(number(j[i], where + "[" + std::to_string(i) + "]", 255)));
    return out;
  }
  const std::string s = text(j, where);
  std::string digits;
  for (char c : s) {
    if (c == ' ' || c == ',' || c == ':' || c == '-') {
      if (digits.size() % 2) bad(where, "odd number of hexadecimal digits");
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) bad(where, std::string("not a hexadecimal digit: '") + c + "'");
    digits += c;
  }
  if (digits.size() % 2) bad(where, "odd number of hexadecimal digits");
  for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// A key value as the askers write it: numbers (and "0x..." strings) as fault_key() does, registry
// paths with their full root name, other strings as they stand.
std::string key_value(const std::string &key, const json &j, const std::string &where) {
  static const char *const numeric[] = {"miniport_code", "nvme_opcode", "cdb0", "ata_command", "index"};
  bool is_numeric = false;
  for (const char *n : numeric) is_numeric = is_numeric || key == n;
  if (j.is_number_unsigned() || is_numeric) return fault_key(number(j, where, UINT64_MAX));
  const std::string s = text(j, where);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return fault_key(number(j, where, UINT64_MAX));
  if (key == "key") {
    const std::string canon = internal::registry_canonical_path(s);
    if (canon.empty()) bad(where, "\"" + s + "\" does not start with a predefined key (HKLM, HKCR, HKCU, HKU)");
    return canon;
  }
  return s;
}

// The count: "every", n (the n-th), {"nth": n} or {"from": n}.
FaultCount fault_count(const json &j, const std::string &where) {
  if (j.is_string() && j.get<std::string>() == "every") return FaultCount::always();
  if (j.is_number_unsigned()) {
    const uint64_t n = number(j, where, 0xFFFFFFFF);
    if (n == 0) bad(where, "calls are counted from 1");
    return FaultCount::at(static_cast<uint32_t>(n));
  }
  if (!j.is_object() || j.size() != 1 || (!j.contains("nth") && !j.contains("from")))
    bad(where, "expected \"every\", a number, {\"nth\": n} or {\"from\": n}");
  const bool nth = j.contains("nth");
  const std::string w = where + (nth ? ".nth" : ".from");
  const uint64_t n = number(nth ? j["nth"] : j["from"], w, 0xFFFFFFFF);
  if (n == 0) bad(w, "calls are counted from 1");
  return nth ? FaultCount::at(static_cast<uint32_t>(n)) : FaultCount::starting_at(static_cast<uint32_t>(n));
}

FaultWhen drive_when(const FaultCount &c) {
  switch (c.mode) {
    case FaultCount::nth: return FaultWhen{c.n, 1};
    case FaultCount::from: return FaultWhen{c.n, 0};
    default: return FaultWhen{1, 0};
  }
}

FaultAction action(const json &j, const std::string &where) {
  check_fields(j, where, {"fail", "name", "value", "value2", "bytes"});
  if (j.contains("fail")) {
    if (j.size() != 1) bad(where, "\"fail\" takes no further fields");
    return FaultAction::fail_with(error_code(j["fail"], where + ".fail"));
  }
  if (!j.contains("name")) bad(where, "expected \"fail\" (an error) or \"name\" (a front-end action)");
  FaultAction a = FaultAction::custom_action(text(j["name"], where + ".name"));
  if (a.name.empty()) bad(where + ".name", "empty action name");
  if (j.contains("value")) {
    // A status may be given by name ("CR_FAILURE", "E_FAIL") as well.
    const json &v = j["value"];
    DWORD named = 0;
    if (v.is_string() && error_code_by_name(v.get<std::string>(), &named)) a.value = named;
    else a.value = number(v, where + ".value", UINT64_MAX);
  }
  if (j.contains("value2")) a.value2 = number(j["value2"], where + ".value2", UINT64_MAX);
  if (j.contains("bytes")) a.bytes = hex_bytes(j["bytes"], where + ".bytes");
  return a;
}

// Keys written at the top of a rule instead of inside "keys".
constexpr const char *kTopKeys[] = {"driver",   "request",     "signature", "miniport_code", "nvme_opcode",
                                    "cdb0",     "ata_command", "api",       "function",      "key",
                                    "value_name", "index",     "instance_id", "guid",        "clsid"};

// ---- Drive rules ----

// The drive models a rule names: a disk (by id or physical-drive number), a unit that is no disk
// (a RAID member, a physical disk behind a controller: the drive behind it) or, failing those, an
// entry of the drives table, which may be reached only through a controller.
struct RuleDrive {
  std::shared_ptr<NvmeController> nvme;
  std::shared_ptr<AtaDrive> ata;
  std::shared_ptr<SatDevice> sat;
  std::shared_ptr<ScsiTarget> scsi;
};

RuleDrive drive_models(const std::string &id) {
  const StorageDriveModels m = storage_drive(id);
  return {m.nvme, m.ata, m.sat, m.scsi};
}

RuleDrive rule_drive(const json &j, const std::string &where) {
  for (const StorageDiskInfo &d : storage_disks()) {
    if (j.is_string() && d.id == j.get<std::string>() && d.kind != "disk") return drive_models(d.drive);
    if ((j.is_string() && d.id == j.get<std::string>()) ||
        (j.is_number_unsigned() && d.kind == "disk" && d.physical_drive == j.get<uint64_t>())) {
      const uint32_t pd = d.physical_drive;
      return {storage_nvme(pd), storage_ata(pd), storage_sat(pd), storage_scsi(pd)};
    }
  }
  if (j.is_string() && !storage_drive(j.get<std::string>()).kind.empty())
    return drive_models(j.get<std::string>());
  bad(where, "no disk " + j.dump() + " in the machine's storage, and no such drive");
}

void load_drive_rule(const json &j, const std::string &w) {
  check_fields(j, w, {"drive", "nvme_opcode", "cdw10_low", "ata_command", "feature", "cdb0", "byte1", "byte2",
                      "count", "action", "corrupt_staging", "identity_fails_after_update", "vu"});
  const RuleDrive target = rule_drive(j["drive"], w + ".drive");
  // A CDB rule may narrow an ATA PASS-THROUGH CDB to one ATA command (a SAT device's rule).
  const bool cdb_rule = j.contains("cdb0");
  const int kinds = j.contains("nvme_opcode") + (j.contains("ata_command") && !cdb_rule) + cdb_rule;
  if (j.contains("vu")) {
    // Faults of the drive's vendor-unique responder: its answers' sizes and its phase status.
    if (j.size() != 2) bad(w, "\"vu\" stands alone with \"drive\"");
    auto ata = target.ata;
    auto scsi = ata ? nullptr : target.scsi;
    std::optional<VuConfig> vu = ata ? ata->config().vu : scsi ? scsi->config().vu : std::nullopt;
    if (!vu) bad(w + ".drive", "disk " + j["drive"].dump() + " has no vendor-unique responder");
    storage_desc::load_vu(j["vu"], w + ".vu", *vu, true);
    if (ata) ata->set_vu_config(*vu);
    else scsi->set_vu_config(*vu);
    return;
  }
  if (j.contains("corrupt_staging") || j.contains("identity_fails_after_update")) {
    // Faults of the drive as a whole, not of some commands.
    if (kinds != 0 || j.contains("count") || j.contains("action"))
      bad(w, "\"corrupt_staging\" and \"identity_fails_after_update\" stand alone with \"drive\"");
    auto flag = [&](const char *f) {
      if (!j.contains(f)) return std::optional<bool>();
      return std::optional<bool>(desc::flag(j[f], w + "." + f));
    };
    const auto corrupt = flag("corrupt_staging"), identity = flag("identity_fails_after_update");
    if (auto ctl = target.nvme) {
      if (corrupt) ctl->set_corrupt_staging(*corrupt);
      if (identity) ctl->set_identity_fails_after_update(*identity);
    } else if (auto drive = target.ata) {
      if (corrupt) drive->set_corrupt_staging(*corrupt);
      if (identity) drive->set_identity_fails_after_update(*identity);
    } else {
      bad(w + ".drive", "disk " + j["drive"].dump() + " has no NVMe or ATA drive");
    }
    return;
  }
  if (kinds != 1) bad(w, "a drive rule names exactly one of \"nvme_opcode\", \"ata_command\" or \"cdb0\"");
  const FaultWhen when = drive_when(j.contains("count") ? fault_count(j["count"], w + ".count") : FaultCount::always());
  const json none = json::object();
  const json &a = j.contains("action") ? j["action"] : none;
  const std::string aw = w + ".action";
  auto opt8 = [&](const json &o, const char *f, const std::string &ow) -> std::optional<uint8_t> {
    if (!o.contains(f)) return std::nullopt;
    return static_cast<uint8_t>(number(o[f], ow + "." + f, 255));
  };
  auto opt32 = [&](const char *f) -> std::optional<uint32_t> {
    if (!a.contains(f)) return std::nullopt;
    return static_cast<uint32_t>(number(a[f], aw + "." + f, 0xFFFFFFFF));
  };
  auto zero = [&] {
    if (!a.contains("zero_data")) return false;
    return desc::flag(a["zero_data"], aw + ".zero_data");
  };

  if (j.contains("nvme_opcode")) {
    if (j.contains("feature") || j.contains("byte1") || j.contains("byte2"))
      bad(w, "an NVMe rule matches \"nvme_opcode\" and \"cdw10_low\" only");
    check_fields(a, aw, {"status", "after", "dw0", "short_transfer", "zero_data"});
    auto ctl = target.nvme;
    if (!ctl) bad(w + ".drive", "disk " + j["drive"].dump() + " has no NVMe drive");
    NvmeFaultRule r;
    r.opcode = static_cast<uint8_t>(number(j["nvme_opcode"], w + ".nvme_opcode", 255));
    r.cdw10_low = opt8(j, "cdw10_low", w);
    r.when = when;
    if (a.contains("status")) r.status = static_cast<uint16_t>(number(a["status"], aw + ".status", 0xFFFF));
    if (a.contains("after")) {
      if (!r.status) bad(aw + ".after", "goes with \"status\"");
      r.after = desc::flag(a["after"], aw + ".after");
    }
    r.dw0 = opt32("dw0");
    r.short_transfer = opt32("short_transfer");
    r.zero_data = zero();
    ctl->add_fault(r);
  } else if (!cdb_rule) {
    if (j.contains("cdw10_low") || j.contains("byte1") || j.contains("byte2"))
      bad(w, "an ATA rule matches \"ata_command\" and \"feature\" only");
    check_fields(a, aw, {"status", "error", "short_transfer", "zero_data"});
    auto drive = target.ata;
    if (!drive) bad(w + ".drive", "disk " + j["drive"].dump() + " has no ATA drive");
    AtaFaultRule r;
    r.command = static_cast<uint8_t>(number(j["ata_command"], w + ".ata_command", 255));
    r.feature = opt8(j, "feature", w);
    r.when = when;
    r.status = opt8(a, "status", aw);
    if (auto e = opt8(a, "error", aw)) r.error = *e;
    r.short_transfer = opt32("short_transfer");
    r.zero_data = zero();
    drive->add_fault(r);
  } else {
    if (j.contains("cdw10_low") || j.contains("feature"))
      bad(w, "a CDB rule matches \"cdb0\", \"byte1\", \"byte2\" and \"ata_command\" only");
    check_fields(a, aw, {"status", "sense_key", "asc", "ascq", "descriptor", "sense_length", "short_transfer",
                         "zero_data", "ata_status_return"});
    ScsiFaultRule r;
    r.opcode = static_cast<uint8_t>(number(j["cdb0"], w + ".cdb0", 255));
    r.byte1 = opt8(j, "byte1", w);
    r.byte2 = opt8(j, "byte2", w);
    r.ata_command = opt8(j, "ata_command", w);
    r.ata_status_return = opt8(a, "ata_status_return", aw);
    if (r.ata_status_return && (!a.contains("status") || number(a["status"], aw + ".status", 255) != kScsiCheckCondition))
      bad(aw + ".ata_status_return", "goes with \"status\": 2 (CHECK CONDITION)");
    if (r.ata_status_return && a.contains("descriptor") && !desc::flag(a["descriptor"], aw + ".descriptor"))
      bad(aw + ".ata_status_return", "is carried by descriptor sense");
    r.when = when;
    r.status = opt8(a, "status", aw);
    if (auto v = opt8(a, "sense_key", aw)) r.sense_key = *v;
    if (auto v = opt8(a, "asc", aw)) r.asc = *v;
    if (auto v = opt8(a, "ascq", aw)) r.ascq = *v;
    if (a.contains("descriptor")) r.descriptor = desc::flag(a["descriptor"], aw + ".descriptor");
    r.sense_len = opt32("sense_length");
    r.short_transfer = opt32("short_transfer");
    r.zero_data = zero();
    const bool sat_only = r.ata_command || r.ata_status_return;
    if (auto t = target.scsi; t && !sat_only) {
      t->add_fault(r);
    } else if (auto s = target.sat) {
      s->add_fault(r);
    } else {
      bad(w + ".drive", "disk " + j["drive"].dump() +
                            (sat_only ? " has no SCSI/ATA translation (\"ata_command\" and \"ata_status_return\" need one)"
                                      : " answers no CDBs (neither a SCSI target nor a SCSI/ATA translation)"));
    }
  }
}

// ---- Rules of the rule set ----

FaultRule load_rule(const json &j, const std::string &w) {
  FaultRule rule;
  FaultMatch &m = rule.match;
  bool op_given = false;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &f = it.key();
    const std::string fw = w + "." + f;
    if (f == "op") {
      const std::string s = text(*it, fw);
      if (s == "open") m.op = FaultOp::open;
      else if (s == "ioctl") m.op = FaultOp::ioctl;
      else if (s == "other") m.op = FaultOp::other;
      else if (s == "any") m.op = FaultOp::any;
      else bad(fw, "expected \"open\", \"ioctl\", \"other\" or \"any\", not \"" + s + "\"");
      op_given = true;
    } else if (f == "path") {
      m.path = text(*it, fw);
    } else if (f == "fail_open") {
      m.path = text(*it, fw);
      m.op = FaultOp::open;
    } else if (f == "control_code" || f == "fail_ioctl") {
      m.control_code = named_or_number(*it, fw, kControlCodes, std::size(kControlCodes), "control code");
      if (f == "fail_ioctl") m.op = FaultOp::ioctl;
    } else if (f == "keys") {
      if (!it->is_object()) bad(fw, "expected an object of keys");
      for (auto k = it->begin(); k != it->end(); ++k) m.keys[k.key()] = key_value(k.key(), *k, fw + "." + k.key());
    } else if (f == "count") {
      m.count = fault_count(*it, fw);
    } else if (f == "error") {
      rule.action = FaultAction::fail_with(error_code(*it, fw));
    } else if (f == "action") {
      rule.action = action(*it, fw);
    } else {
      bool top_key = false;
      for (const char *k : kTopKeys) top_key = top_key || f == k;
      if (!top_key) bad(w, "unknown field \"" + f + "\"");
      m.keys[f] = key_value(f, *it, fw);
    }
  }
  if (j.contains("error") && j.contains("action")) bad(w, "give either \"error\" or \"action\", not both");
  if (j.contains("fail_open") && j.contains("fail_ioctl")) bad(w, "\"fail_open\" and \"fail_ioctl\" exclude each other");
  if (!op_given && !j.contains("fail_open") && !j.contains("fail_ioctl")) {
    if (!m.keys.empty()) m.op = FaultOp::other;
    else if (m.control_code) m.op = FaultOp::ioctl;
  }
  if (op_given && (j.contains("fail_open") || j.contains("fail_ioctl")))
    bad(w, "\"op\" is implied by \"fail_open\" / \"fail_ioctl\"");
  if (m.op == FaultOp::open && (m.control_code || !m.keys.empty()))
    bad(w, "an open has no control code and no keys");
  if (m.op == FaultOp::ioctl && !m.keys.empty())
    bad(w, "keys are asked with op \"other\" (a DeviceIoControl rule matches path and control code)");
  return rule;
}

// Known to the machine as a section; machine loading reads it itself, after every other section.
const bool g_section = [] {
  register_machine_section("faults", nullptr, nullptr);
  return true;
}();

}  // namespace

bool error_code_by_name(const std::string &name, DWORD *code) {
  for (const Named &n : kErrors) {
    if (name == n.name) {
      *code = n.value;
      return true;
    }
  }
  return false;
}

void load_fault_section(const json &section) {
  (void)g_section;
  if (!section.is_array()) bad("faults", "expected an array of rules");
  for (size_t i = 0; i < section.size(); ++i) {
    const std::string w = "faults[" + std::to_string(i) + "]";
    const json &j = section[i];
    if (!j.is_object()) bad(w, "expected an object");
    if (j.contains("drive")) {
      load_drive_rule(j, w);
    } else {
      add_fault(load_rule(j, w));
    }
  }
}

}  // namespace sim

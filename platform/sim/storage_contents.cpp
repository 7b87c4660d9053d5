// Reading the RAID and HBA personalities' own adapter keys: "csmi", "rste" and "nevox".
#include "sim/storage/contents.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "sim/storage/description.h"
#include "sim/storage/driver.h"

namespace sim {

using namespace storage_desc;

namespace {

std::string text_max(const json &j, const std::string &field, const std::string &w, size_t max) {
  if (!j.contains(field)) return "";
  const std::string s = text(j[field], w + "." + field);
  if (s.size() > max) bad(w + "." + field, "at most " + std::to_string(max) + " characters");
  return s;
}

const json &array_of(const json &j, const std::string &field, const std::string &w) {
  static const json empty = json::array();
  if (!j.contains(field)) return empty;
  if (!j[field].is_array()) bad(w + "." + field, "expected an array");
  return j[field];
}

std::string at(const std::string &w, size_t i) { return w + "[" + std::to_string(i) + "]"; }

std::shared_ptr<StorageDrive> drive_ref(const json &j, const std::string &w, const StorageDriveTable &drives,
                                        const std::string &kind = "") {
  if (!j.contains("drive")) bad(w, "missing \"drive\"");
  const std::string id = text(j["drive"], w + ".drive");
  auto drive = drives.find(id);
  if (!drive) bad(w + ".drive", "no drive \"" + id + "\" in \"drives\"");
  if (!kind.empty() && drive->kind != kind) bad(w + ".drive", "expected an " + kind + " drive, not " + drive->kind);
  return drive;
}

// "50 01 03 AA 00 00 00 00" or "500103AA00000000".
SasAddress sas_address(const json &j, const std::string &w) {
  const std::string s = text(j, w);
  std::string hex;
  for (char c : s)
    if (c != ' ') hex += c;
  SasAddress a{};
  const bool ok = hex.size() == 16 && std::all_of(hex.begin(), hex.end(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                  });
  if (!ok) bad(w, "expected 8 bytes in hexadecimal (\"50 01 03 AA 00 00 00 00\")");
  for (size_t i = 0; i < 8; ++i) a[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return a;
}

void listed_texts(const json &j, const std::string &w, ListedDrive &d) {
  d.model = text_max(j, "model", w, 40);
  d.firmware = text_max(j, "firmware", w, 8);
  d.serial = text_max(j, "serial", w, 40);
}

// One drive per SAS address across a CSMI port.
void claim(std::map<SasAddress, std::shared_ptr<StorageDrive>> &owners, const SasAddress &a,
           const std::shared_ptr<StorageDrive> &drive, const std::string &w) {
  auto [it, fresh] = owners.emplace(a, drive);
  if (!fresh && it->second != drive) bad(w, "SAS address already leads to drive \"" + it->second->id + "\"");
}

}  // namespace

DriveIdentity ListedDrive::listed() const {
  DriveIdentity id = drive ? drive->identity() : DriveIdentity{};
  if (!model.empty()) id.model = model;
  if (!firmware.empty()) id.firmware = firmware;
  if (!serial.empty()) id.serial = serial;
  return id;
}

std::shared_ptr<StorageDrive> CsmiContents::stp_target(const SasAddress &address) const {
  for (const auto &[a, drive] : stp_routes)
    if (a == address) return drive;
  return nullptr;
}

const RsteVolume *RsteContents::volume(uint32_t index) const {
  return index >= 1 && index <= volumes.size() ? &volumes[index - 1] : nullptr;
}

const RsteDisk *RsteContents::disk(uint32_t id) const {
  for (const RsteDisk &d : disks)
    if (id != 0 && d.id == id) return &d;
  return nullptr;
}

const NevoxPhysicalDisk *NevoxContents::by_id(uint32_t id) const {
  for (const NevoxPhysicalDisk &pd : physical_disks)
    if (pd.drive && pd.id == id) return &pd;
  return nullptr;
}

CsmiContents load_csmi(const json &j, const std::string &w, const StorageDriveTable &drives) {
  check_fields(j, w, {"driver", "phys", "raid"});
  CsmiContents c;
  std::map<SasAddress, std::shared_ptr<StorageDrive>> owners;
  if (j.contains("driver")) {
    const std::string wd = w + ".driver";
    check_fields(j["driver"], wd, {"name", "description"});
    c.driver_name = text_max(j["driver"], "name", wd, 80);
    c.driver_description = text_max(j["driver"], "description", wd, 80);
  }
  const json &phys = array_of(j, "phys", w);
  if (phys.size() > 32) bad(w + ".phys", "at most 32 phys");
  for (size_t i = 0; i < phys.size(); ++i) {
    const json &p = phys[i];
    const std::string wp = at(w + ".phys", i);
    check_fields(p, wp, {"identifier", "attached_identifier", "attached", "sas_address", "port_identifier", "protocol",
                         "link_rate", "drive"});
    CsmiPhy phy;
    phy.identifier = static_cast<uint8_t>(p.contains("identifier") ? number(p["identifier"], wp + ".identifier", 255) : i);
    phy.attached_identifier = static_cast<uint8_t>(
        p.contains("attached_identifier") ? number(p["attached_identifier"], wp + ".attached_identifier", 255)
                                          : phy.identifier);
    phy.port_identifier = static_cast<uint8_t>(
        p.contains("port_identifier") ? number(p["port_identifier"], wp + ".port_identifier", 255) : phy.identifier);
    if (p.contains("link_rate")) phy.link_rate = static_cast<uint8_t>(number(p["link_rate"], wp + ".link_rate", 255));
    const std::string attached = p.contains("attached") ? text(p["attached"], wp + ".attached") : "none";
    if (attached == "end_device") phy.attached_type = kCsmiEndDevice;
    else if (attached == "expander") phy.attached_type = kCsmiExpander;
    else if (attached != "none") bad(wp + ".attached", "expected \"none\", \"end_device\" or \"expander\"");
    const bool end = phy.attached_type == kCsmiEndDevice;
    if (!end && (p.contains("protocol") || p.contains("drive")))
      bad(wp, "\"protocol\" and \"drive\" describe an end device");
    if (phy.attached_type == kCsmiNoDevice && p.contains("sas_address")) bad(wp + ".sas_address", "nothing is attached");
    if (p.contains("sas_address")) phy.attached_address = sas_address(p["sas_address"], wp + ".sas_address");
    if (end) {
      if (!p.contains("sas_address")) bad(wp, "missing \"sas_address\"");
      if (!p.contains("protocol")) bad(wp, "missing \"protocol\"");
      const std::string proto = text(p["protocol"], wp + ".protocol");
      if (proto == "sata") phy.target_protocol = kCsmiSata;
      else if (proto == "stp") phy.target_protocol = kCsmiStp;
      else if (proto == "ssp") phy.target_protocol = kCsmiSsp;
      else if (proto == "smp") phy.target_protocol = kCsmiSmp;
      else bad(wp + ".protocol", "expected \"sata\", \"stp\", \"ssp\" or \"smp\"");
      const bool ata = phy.target_protocol == kCsmiSata || phy.target_protocol == kCsmiStp;
      if (phy.target_protocol == kCsmiSmp) {
        if (p.contains("drive")) bad(wp + ".drive", "an SMP target is no drive");
      } else {
        phy.drive = drive_ref(p, wp, drives, ata ? "ata" : "scsi");
        claim(owners, phy.attached_address, phy.drive, wp + ".sas_address");
        if (ata) c.stp_routes.emplace_back(phy.attached_address, phy.drive);
      }
    }
    c.phys.push_back(std::move(phy));
  }
  if (j.contains("raid")) {
    const json &r = j["raid"];
    const std::string wr = w + ".raid";
    check_fields(r, wr, {"max_drives_per_set", "sets"});
    const json &sets = array_of(r, "sets", wr);
    size_t largest = 0;
    for (size_t s = 0; s < sets.size(); ++s) {
      const std::string ws = at(wr + ".sets", s);
      check_fields(sets[s], ws, {"raid_type", "status", "failure_code", "change_count", "drives"});
      CsmiRaidSet set;
      if (sets[s].contains("failure_code"))
        set.failure_code = static_cast<uint32_t>(number(sets[s]["failure_code"], ws + ".failure_code", 0xFFFFFFFF));
      if (sets[s].contains("change_count"))
        set.change_count = static_cast<uint32_t>(number(sets[s]["change_count"], ws + ".change_count", 0xFFFFFFFF));
      if (sets[s].contains("raid_type")) set.raid_type = static_cast<uint8_t>(number(sets[s]["raid_type"], ws + ".raid_type", 255));
      if (sets[s].contains("status")) set.status = static_cast<uint8_t>(number(sets[s]["status"], ws + ".status", 255));
      const json &list = array_of(sets[s], "drives", ws);
      if (list.size() > 255) bad(ws + ".drives", "at most 255 drives");
      for (size_t k = 0; k < list.size(); ++k) {
        const std::string wk = at(ws + ".drives", k);
        check_fields(list[k], wk, {"drive", "sas_address", "model", "firmware", "serial"});
        CsmiRaidDrive d;
        d.drive = drive_ref(list[k], wk, drives);
        if (!list[k].contains("sas_address")) bad(wk, "missing \"sas_address\"");
        d.sas_address = sas_address(list[k]["sas_address"], wk + ".sas_address");
        listed_texts(list[k], wk, d);
        claim(owners, d.sas_address, d.drive, wk + ".sas_address");
        if (d.drive->kind == "ata" && !c.stp_target(d.sas_address)) c.stp_routes.emplace_back(d.sas_address, d.drive);
        set.drives.push_back(std::move(d));
      }
      largest = std::max(largest, set.drives.size());
      c.raid_sets.push_back(std::move(set));
    }
    c.max_drives_per_set = static_cast<uint32_t>(
        r.contains("max_drives_per_set") ? number(r["max_drives_per_set"], wr + ".max_drives_per_set", 0xFFFFFFFF)
                                         : largest);
    if (c.max_drives_per_set < largest) bad(wr + ".max_drives_per_set", "a set has more drives");
  }
  return c;
}

RsteContents load_rste(const json &j, const std::string &w, const StorageDriveTable &drives) {
  check_fields(j, w, {"volumes", "disks", "pass_through", "spares"});
  RsteContents c;
  const json &disks = array_of(j, "disks", w);
  for (size_t i = 0; i < disks.size(); ++i) {
    const std::string wd = at(w + ".disks", i);
    check_fields(disks[i], wd, {"id", "drive", "model", "firmware", "serial"});
    RsteDisk d;
    if (!disks[i].contains("id")) bad(wd, "missing \"id\"");
    d.id = static_cast<uint32_t>(number(disks[i]["id"], wd + ".id", 0xFFFFFFFF));
    if (d.id == 0) bad(wd + ".id", "disk id 0 means no disk");
    if (c.disk(d.id)) bad(wd + ".id", "disk id " + std::to_string(d.id) + " used twice");
    d.drive = drive_ref(disks[i], wd, drives, "nvme");
    listed_texts(disks[i], wd, d);
    c.disks.push_back(std::move(d));
  }
  // Disk ids; `empty_ok`: 0 is an empty entry.
  auto ids = [&](const json &arr, const std::string &wa, bool empty_ok) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < arr.size(); ++i) {
      const uint32_t id = static_cast<uint32_t>(number(arr[i], at(wa, i), 0xFFFFFFFF));
      if (!(id == 0 && empty_ok) && !c.disk(id)) bad(at(wa, i), "no disk id " + std::to_string(id) + " in \"disks\"");
      out.push_back(id);
    }
    return out;
  };
  const json &volumes = array_of(j, "volumes", w);
  for (size_t i = 0; i < volumes.size(); ++i) {
    const std::string wv = at(w + ".volumes", i);
    check_fields(volumes[i], wv, {"raid_type", "model", "firmware", "serial", "members"});
    RsteVolume v;
    v.raid_type = text_max(volumes[i], "raid_type", wv, 8);
    v.model = text_max(volumes[i], "model", wv, 40);
    v.firmware = text_max(volumes[i], "firmware", wv, 8);
    v.serial = text_max(volumes[i], "serial", wv, 40);
    v.members = ids(array_of(volumes[i], "members", wv), wv + ".members", false);
    if (v.members.empty()) bad(wv + ".members", "a volume has members");
    c.volumes.push_back(std::move(v));
  }
  c.pass_through = ids(array_of(j, "pass_through", w), w + ".pass_through", true);
  c.spares = ids(array_of(j, "spares", w), w + ".spares", true);
  return c;
}

NevoxContents load_nevox(const json &j, const std::string &w, const StorageDriveTable &drives) {
  check_fields(j, w, {"max_physical_disks", "physical_disks"});
  NevoxContents c;
  const json &pds = array_of(j, "physical_disks", w);
  for (size_t i = 0; i < pds.size(); ++i) {
    const std::string wp = at(w + ".physical_disks", i);
    check_fields(pds[i], wp, {"id", "drive", "nvme_status"});
    NevoxPhysicalDisk pd;
    if (pds[i].contains("nvme_status")) {
      if (pds[i].contains("id") || pds[i].contains("drive")) bad(wp, "a failing entry has no \"id\" or \"drive\"");
      pd.nvme_status = static_cast<uint16_t>(number(pds[i]["nvme_status"], wp + ".nvme_status", 0x7FF));
      if (pd.nvme_status == 0) bad(wp + ".nvme_status", "a failing entry has a status other than 0");
    } else {
      if (!pds[i].contains("id")) bad(wp, "expected \"id\" and \"drive\", or \"nvme_status\"");
      pd.id = static_cast<uint16_t>(number(pds[i]["id"], wp + ".id", 0xFFFF));
      if (c.by_id(pd.id)) bad(wp + ".id", "id " + std::to_string(pd.id) + " used twice");
      pd.drive = drive_ref(pds[i], wp, drives, "nvme");
    }
    c.physical_disks.push_back(std::move(pd));
  }
  c.max_physical_disks = static_cast<uint16_t>(
      j.contains("max_physical_disks") ? number(j["max_physical_disks"], w + ".max_physical_disks", 0xFFFF)
                                       : pds.size());
  if (c.max_physical_disks < pds.size()) bad(w + ".max_physical_disks", "fewer than the entries given");
  return c;
}

}  // namespace sim

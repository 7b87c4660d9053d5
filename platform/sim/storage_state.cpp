// The machine-state output: every drive's identity and firmware state as JSON, written at exit to
// the file ORBU_SIM_STATE_OUT names.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/storage/driver.h"

namespace sim {
namespace {

using json = nlohmann::json;

json counters_json(const DriveCounters &c) {
  return {{"activations", c.activations}, {"bus_resets", c.bus_resets}, {"power_cycles", c.power_cycles},
          {"timeouts", c.timeouts}};
}

// Requests sent with a time-out of 0, by kind; every kind is listed, miniport requests by signature.
json zero_timeouts_json() {
  json j = {{"scsi_pass_through", 0}, {"ata_pass_through", 0}, {"protocol_command", 0}};
  for (const auto &[kind, n] : storage_zero_timeouts(false)) j[kind] = n;
  j["miniport"] = json::object();
  for (const auto &[signature, n] : storage_zero_timeouts(true)) j["miniport"][signature] = n;
  return j;
}

json drive_json(const StorageDrive &d, const std::vector<std::shared_ptr<StorageLu>> &lus) {
  json j;
  j["id"] = d.id;
  j["anonymous"] = d.anonymous;
  j["kind"] = d.kind;
  const DriveIdentity id = d.identity();
  j["model"] = id.model;
  j["serial"] = trim_text(id.serial);
  j["revision"] = id.firmware;
  json slots = json::array();
  json pending = nullptr;
  DriveCounters counters;
  size_t staged = 0;
  if (d.nvme) {
    const NvmeController &c = *d.nvme;
    const uint8_t count = c.config().slot_count;
    for (uint8_t s = 1; s <= count; ++s) slots.push_back({{"slot", s}, {"revision", c.slot_revision(s)}});
    j["active_slot"] = c.active_slot();
    if (c.pending_slot()) pending = {{"slot", c.pending_slot()}, {"revision", c.pending_revision()}};
    counters = c.counters();
    staged = c.staged_bytes();
    j["apste"] = c.apste();
    j["apst_save_requests"] = c.apst_save_requests();
  } else if (d.ata) {
    const uint8_t count = std::max<uint8_t>(d.fw_slot_count, 1);
    for (uint8_t s = 0; s < count; ++s)
      slots.push_back({{"slot", s}, {"revision", s == d.fw_active_slot ? id.firmware : std::string()}});
    j["active_slot"] = d.fw_active_slot;
    const std::string p = d.ata->pending_revision();
    if (!p.empty()) pending = {{"slot", d.fw_active_slot}, {"revision", p}};
    counters = d.ata->counters();
    staged = d.ata->staged_bytes();
  } else if (d.scsi) {
    counters = d.scsi->counters();
    staged = d.scsi->staged_bytes();
  }
  j["slots"] = slots;
  j["pending"] = pending;
  j["staged_bytes"] = staged;
  j.update(counters_json(counters));
  json disks = json::array();
  for (const auto &lu : lus)
    if (lu->drive.get() == &d) disks.push_back(lu->id);
  j["units"] = disks;
  return j;
}

}  // namespace

void write_storage_state_at_exit() {
  const char *path = std::getenv("ORBU_SIM_STATE_OUT");
  if (path && *path && !write_storage_state(path)) std::fprintf(stderr, "cannot write %s\n", path);
}

std::string storage_state_json() {
  const auto lus = storage_lu_list();
  json drives = json::array();
  for (const auto &d : storage_drive_list()) drives.push_back(drive_json(*d, lus));
  return json{{"drives", drives}, {"zero_timeouts", zero_timeouts_json()}}.dump(2);
}

bool write_storage_state(const std::string &path) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << storage_state_json() << "\n";
  return static_cast<bool>(f);
}

}  // namespace sim

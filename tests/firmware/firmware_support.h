// The firmware library on REF-1: the machine (optionally changed per case) enumerated and probed as
// the scan leaves it, records looked up by name, drive state read back from the machine, and the
// progress double sampled at every back-end request.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "sim/drives/fw_image.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "vornfirmware/firmware.h"

namespace fwtest {

// Every distinct progress value seen while a back end logs a request, in order.
struct ProgressSampler {
  static inline vornfirmware_progress *watched = nullptr;
  static inline std::vector<double> seen;
  static int sink(const char *) {
    if (!watched) return 0;
    const double v = watched->load();
    if (seen.empty() || seen.back() != v) seen.push_back(v);
    return 0;
  }
  explicit ProgressSampler(vornfirmware_progress *p) {
    static const bool registered = (huld_log_add_sink(sink), true);
    (void)registered;
    watched = p;
    seen.clear();
    huld_log_level = HULD_LOG_VERBOSE;
  }
  ~ProgressSampler() {
    watched = nullptr;
    huld_log_level = 0;
  }
};

inline nlohmann::json ref1() {
  std::ifstream f(sim::machine_file_path("ref1"));
  return nlohmann::json::parse(f);
}

// The drive entry with that id in a description.
inline nlohmann::json &drive_of(nlohmann::json &machine, const std::string &id) {
  for (auto &d : machine["storage"]["drives"])
    if (d["id"] == id) return d;
  throw std::runtime_error("no drive " + id);
}

class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override { huld_log_level = 0; }
  void TearDown() override {
    release();
    huld_log_level = 0;
    sim::reset_machine();
    huld_environment_initialize();
  }
  // Loads the machine, enumerates every pass but video and probes every record.
  void load(const nlohmann::json &machine = ref1()) {
    release();
    sim::load_machine_json(machine.dump());
    huld_environment_initialize();
    huld_dev_enumerate_flags(&devices_, 0x7F);
    for (uint32_t i = 0; i < devices_.count; ++i) {
      huld_error err{};
      huld_dev_probe_flags(&err, &devices_.devices[i], 0);
    }
  }
  // The record after loading REF-1 with one drive's model changed.
  huld_dev &with(const std::string &drive, const nlohmann::json &fields, const std::string &record) {
    nlohmann::json m = ref1();
    nlohmann::json &d = drive_of(m, drive);
    for (auto &[kind, model] : d.items())
      if (kind != "id") model.update(fields);
    load(m);
    return dev(record);
  }
  huld_dev &dev(const std::string &name) {
    for (uint32_t i = 0; i < devices_.count; ++i)
      if (name == devices_.devices[i].name) return devices_.devices[i];
    throw std::runtime_error("no record " + name);
  }
  void release() {
    for (uint32_t i = 0; i < devices_.count; ++i) huld_dev_cleanup(&devices_.devices[i]);
    huld_dev_release(&devices_);
  }
  // The drive's state as the machine reports it (revision, pending, staged bytes, counters).
  static nlohmann::json state(const std::string &id) {
    const nlohmann::json all = nlohmann::json::parse(sim::storage_state_json());
    for (const auto &d : all["drives"])
      if (d["id"] == id) return d;
    throw std::runtime_error("no drive state " + id);
  }
  static std::string revision(const std::string &id) { return state(id)["revision"]; }
  static std::string current(huld_dev &d) {
    char text[41] = "unread";
    huld_error err{};
    if (vornfirmware_get_current_firmware_revision(&err, &d, text, sizeof text))
      return std::string("error: ") + err.message;
    return text;
  }

  huld_dev_enumeration devices_{};
};

}  // namespace fwtest

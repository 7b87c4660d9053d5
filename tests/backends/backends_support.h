// Shared pieces of the back-end tests: machines, device records on simulated paths, a
// programmable device that answers from the request bytes, and little-endian field access on
// captured requests (at the offsets the drivers read them from).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/device.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"

namespace backends_test {

// Control codes as the drivers know them (kept apart from the production headers on purpose).
using testsupport::kScsiPassThrough;
constexpr DWORD kIoctlScsiMiniport = 0x0004D008;
constexpr DWORD kIoctlQueryProperty = 0x002D1400;
constexpr DWORD kIoctlProtocolCommand = 0x002DD3C0;
constexpr DWORD kIoctlTemperature = 0x002DD200;
constexpr DWORD kIoctlFwGetInfo = 0x002D1C00;
constexpr DWORD kIoctlFwDownload = 0x002DDC04;
constexpr DWORD kIoctlFwActivate = 0x002DDC08;

inline uint16_t le16(const uint8_t *p, size_t off) { return static_cast<uint16_t>(p[off] | p[off + 1] << 8); }
inline uint32_t le32(const uint8_t *p, size_t off) {
  return static_cast<uint32_t>(p[off]) | static_cast<uint32_t>(p[off + 1]) << 8 |
         static_cast<uint32_t>(p[off + 2]) << 16 | static_cast<uint32_t>(p[off + 3]) << 24;
}
inline uint64_t le64(const uint8_t *p, size_t off) {
  return le32(p, off) | static_cast<uint64_t>(le32(p, off + 4)) << 32;
}
inline uint32_t le32(const std::vector<uint8_t> &v, size_t off) { return le32(v.data(), off); }
inline uint64_t le64(const std::vector<uint8_t> &v, size_t off) { return le64(v.data(), off); }
// Little-endian dwords of a captured request, as {offset, value} pairs.
inline void expect_le32(const uint8_t *p, std::initializer_list<std::pair<size_t, uint32_t>> want) {
  for (const auto &[off, value] : want) EXPECT_EQ(le32(p, off), value) << "dword at offset " << off;
}
inline void expect_le32(const std::vector<uint8_t> &v, std::initializer_list<std::pair<size_t, uint32_t>> want) {
  expect_le32(v.data(), want);
}
inline void put32(uint8_t *p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// OS sections of the machines the tests run on.
inline std::string os_windows10() {
  return R"("os": { "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" })";
}
inline std::string os_windows81() {
  return R"("os": { "major": 6, "minor": 3, "build": 9600, "product_type": "workstation" })";
}

// Loads a machine and lets the library decide the environment again.
inline void load_machine(const std::string &os, const std::string &rest = {}) {
  std::string json = "{ \"name\": \"backends\", " + os;
  if (!rest.empty()) json += ", " + rest;
  json += " }";
  sim::load_machine_json(json);
  huld_environment_initialize();
}

// A record as the disk enumeration leaves it, opened.
inline huld_dev open_record(const std::string &path, uint32_t driver, uint32_t iface,
                            uint32_t disk_number = 0) {
  huld_dev dev;
  huld_dev_prepare(&dev);
  std::snprintf(dev.name, sizeof(dev.name), "disk%u", disk_number);
  dev.iface = iface;
  dev.conn.type = CONN_DISK;
  dev.conn.driver = driver;
  std::snprintf(dev.conn.path, sizeof(dev.conn.path), "%s", path.c_str());
  dev.disk_number = disk_number;
  dev.uvc_node_id = 0xFFFFFFFFu;
  huld_error err{};
  EXPECT_EQ(huld_dev_open(&err, &dev), 0) << err.message;
  return dev;
}

// One request as the programmable device saw it.
struct Seen {
  DWORD code = 0;
  std::vector<uint8_t> in;
  DWORD out_size = 0;
  bool same_buffer = false;
};

// A device whose answer is a test's function of the request. Every request is recorded first.
class ScriptedDevice {
 public:
  using Answer = std::function<BOOL(sim::IoctlCall &call, const std::vector<uint8_t> &in)>;

  explicit ScriptedDevice(const std::string &path = "\\\\.\\PhysicalDrive7") : path_(path) {
    device_ = std::make_shared<sim::FunctionDevice>("scripted", [this](sim::IoctlCall &call) {
      Seen s;
      s.code = call.code;
      s.in.assign(call.in, call.in + call.in_size);
      s.out_size = call.out_size;
      s.same_buffer = call.in == call.out;
      seen.push_back(s);
      if (!answer) return call.fail(ERROR_INVALID_FUNCTION);
      return answer(call, seen.back().in);
    });
  }
  // Registers the device in the machine in use (after the machine is loaded).
  void install() { sim::register_device(device_, {path_}); }
  const std::string &path() const { return path_; }

  Answer answer;
  std::vector<Seen> seen;

 private:
  std::string path_;
  std::shared_ptr<sim::FunctionDevice> device_;
};

// Fixture: a fresh Windows 10 machine, a quiet log, and the record closed at the end.
class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    load_machine(os_windows10());
    handles_before_ = sim::ResourceSnapshot::take()["handles"];
  }
  void TearDown() override {
    if (have_dev_) huld_dev_cleanup(&dev_);
    EXPECT_EQ(sim::ResourceSnapshot::take()["handles"], handles_before_) << "handle leaked";
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  huld_dev &open(const std::string &path, uint32_t driver, uint32_t iface, uint32_t disk = 0) {
    dev_ = open_record(path, driver, iface, disk);
    have_dev_ = true;
    return dev_;
  }

  huld_dev dev_{};
  bool have_dev_ = false;
  uint32_t saved_level_ = 0;
  size_t handles_before_ = 0;
};

}  // namespace backends_test

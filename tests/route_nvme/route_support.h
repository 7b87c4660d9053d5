// The NVMe routes beside the in-box stack on REF-1: records on its paths, NVMe commands through
// huld_nvme_execute, a whole firmware update, and fault rules on the front-ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "platform/win32.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"
#include "vornnvme/nvme.h"

namespace route_test {

constexpr DWORD kMiniport = 0x0004D008;
using testsupport::kScsiPassThrough;

inline uint32_t le32(const std::vector<uint8_t> &v, size_t off) {
  return static_cast<uint32_t>(v.at(off)) | static_cast<uint32_t>(v.at(off + 1)) << 8 |
         static_cast<uint32_t>(v.at(off + 2)) << 16 | static_cast<uint32_t>(v.at(off + 3)) << 24;
}

// A fresh REF-1 (or another description), a quiet log; records closed and handles counted.
class RouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    sim::load_machine_file(sim::machine_file_path("ref1"));
    huld_environment_initialize();
  }
  void TearDown() override {
    for (huld_dev &d : records_) huld_dev_cleanup(&d);
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  // A record on `path` as the enumerations leave it, opened.
  huld_dev &record(const std::string &path, uint32_t type, uint32_t driver, uint32_t iface) {
    records_.emplace_back();
    huld_dev &d = records_.back();
    huld_dev_prepare(&d);
    std::snprintf(d.name, sizeof d.name, "disk%zu", records_.size());
    d.iface = iface;
    d.conn.type = type;
    d.conn.driver = driver;
    std::snprintf(d.conn.path, sizeof d.conn.path, "%s", path.c_str());
    d.uvc_node_id = HULD_NO_NUMBER;
    huld_error err{};
    EXPECT_EQ(huld_dev_open(&err, &d), 0) << err.message;
    return d;
  }
  // The model (bytes 24-63) of Identify Controller, trimmed.
  static std::string model_of(huld_dev &dev) {
    std::vector<uint8_t> id(4096, 0);
    huld_error err{};
    if (vornnvme_execute_identify_controller(&err, &dev, id.data(), 4096) != 0) return "error: " + std::string(err.message);
    std::string s(reinterpret_cast<const char *>(id.data()) + 24, 40);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  // Downloads a new image in 32 KiB pieces and commits it to slot 2 to run at the next reset.
  static int update(huld_dev &dev, const std::string &revision, huld_error &err) {
    const std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, revision, 70000);
    std::vector<uint8_t> copy = image;
    for (uint32_t off = 0; off < copy.size(); off += 32768) {
      const uint32_t len = std::min<uint32_t>(32768, static_cast<uint32_t>(copy.size()) - off);
      if (vornnvme_execute_firmware_image_download(&err, &dev, len / 4 - 1, off / 4, copy.data() + off, len)) return 1;
    }
    EXPECT_EQ(copy, image) << "the image buffer came back changed";
    return vornnvme_execute_firmware_commit(&err, &dev, 0, 1, 2);
  }
  static int fault(const std::map<std::string, std::string> &keys, sim::FaultAction action) {
    sim::FaultRule rule;
    rule.match.op = sim::FaultOp::other;
    rule.match.keys = keys;
    rule.action = action;
    return sim::add_fault(rule);
  }
  static sim::FaultAction custom(const std::string &name, uint64_t value, uint64_t value2 = 0) {
    return sim::FaultAction::custom_action(name, value, value2);
  }

  std::vector<huld_dev> records_ = std::vector<huld_dev>();
  uint32_t saved_level_ = 0;

 public:
  RouteTest() { records_.reserve(16); }
};

}  // namespace route_test

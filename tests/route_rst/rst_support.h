// REF-1's Intel RST port (\\.\Scsi5:): E at (1,0,0) as a disk (PhysicalDrive7), the RAID-only NVMe
// members N1 and N2 at (10h,0,0) and (11h,0,0) as CSMI records, D (SATA) and the volumes V and W.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "huld/windows/huld_nvme_windows_rst.h"
#include "platform/win32.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"

namespace rst_test {

constexpr DWORD kMiniport = 0x0004D008;
constexpr const char *kPort = "\\\\.\\Scsi5:";

class RstTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    sim::load_machine_file(std::string(MACHINES_DIR) + "/ref1.json");
    huld_environment_initialize();
  }
  void TearDown() override {
    for (huld_dev &d : devs_) huld_dev_cleanup(&d);
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  // A disk record of the RST port with its port handle, opened (as the enumeration leaves it).
  huld_dev &disk(uint32_t number, bool with_port = true) {
    huld_dev d = blank();
    std::snprintf(d.name, sizeof d.name, "disk%u", number);
    d.conn.type = CONN_DISK;
    std::snprintf(d.conn.path, sizeof d.conn.path, "\\\\.\\PhysicalDrive%u", number);
    d.disk_number = number;
    if (with_port) std::snprintf(d.rst_port_path, sizeof d.rst_port_path, "%s", kPort);
    return opened(d);
  }
  // Drive E (disk 7) as the probe leaves it: claimed by the RST route.
  huld_dev &probed_e() {
    huld_dev &e = disk(7);
    EXPECT_EQ(huld_nvme_windows_rst_probe(&e), 1);
    e.iface = WINDOWS_NVME_INTEL_RST;
    return e;
  }
  // A CSMI record of a RAID-only member, addressed by its SCSI address on the port.
  huld_dev &member(uint8_t path_id) {
    huld_dev d = blank();
    std::snprintf(d.name, sizeof d.name, "csmi%u", path_id);
    d.conn.type = CONN_CSMI;
    std::snprintf(d.conn.path, sizeof d.conn.path, "%s", kPort);
    std::snprintf(d.rst_port_path, sizeof d.rst_port_path, "%s", kPort);
    d.scsi_address.PortNumber = 5;
    d.scsi_address.PathId = path_id;
    return opened(d);
  }
  // Adds a custom action on every miniport request of the port.
  static int port_fault(const std::string &name, uint64_t value = 0, uint64_t value2 = 0) {
    sim::FaultRule r;
    r.match.op = sim::FaultOp::ioctl;
    r.match.path = kPort;
    r.match.control_code = kMiniport;
    r.action = sim::FaultAction::custom_action(name, value, value2);
    return sim::add_fault(r);
  }

 private:
  static huld_dev blank() {
    huld_dev d;
    huld_dev_prepare(&d);
    d.conn.driver = INTEL_RST;
    d.uvc_node_id = HULD_NO_NUMBER;
    return d;
  }
  huld_dev &opened(huld_dev &d) {
    huld_error err{};
    EXPECT_EQ(huld_dev_open(&err, &d), 0) << err.message;
    devs_.push_back(d);
    return devs_.back();
  }

  std::deque<huld_dev> devs_;
  uint32_t saved_level_ = 0;
};

}  // namespace rst_test

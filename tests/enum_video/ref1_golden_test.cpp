// The whole enumeration of the reference machine, every pass in order, with COM initialised on
// the calling thread: each record's name, interface, connection, driver and handle state.
#include <gtest/gtest.h>

#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "platform/win32.h"
#include "sim/devtree.h"
#include "sim/machine.h"
#include "sim/storage.h"

namespace {

struct Row {
  const char *name;  // "R1", "R2": the root hubs' interface paths
  uint32_t iface, type, driver;
  bool open;
};

const Row kRef1[] = {
    {"disk0", 0, 2, 1, false},   {"disk1", 0, 2, 2, false},    {"disk2", 0, 2, 8, false},
    {"disk4", 0, 2, 5, false},   {"disk7", 0, 2, 5, false},    {"disk8", 0, 2, 5, false},
    {"disk3", 5, 2, 2, false},   {"disk3.pd5", 19, 2, 2, false}, {"disk3.pd7", 19, 2, 2, false},
    {"disk12", 0, 2, 5, false},  {"disk5", 0, 2, 11, false},   {"disk9", 0, 2, 3, false},
    {"disk10", 0, 2, 4, false},  {"disk11", 0, 2, 6, false},   {"disk15", 0, 2, 6, false},
    {"disk14", 0, 2, 1, false},  {"disk13", 0, 2, 1, false},   {"disk18", 0, 2, 0, false},
    {"disk6", 0, 12, 1, true},   {"nvme0", 0, 2, 1, true},     {"nvme1", 0, 2, 2, true},
    {"csmi5.0.0.500103aa00000000", 0, 1, 0, true},
    {"csmi5.2.2.500102aa00000002", 0, 1, 0, true},
    {"csmi5.3.3.500102aa00000003", 0, 1, 0, true},
    {"csmi5.X.X.500210bb00000001", 0, 1, 0, true},
    {"csmi5.X.X.500211bb00000002", 0, 1, 0, true},
    {"csmi11.0.0.500a0b0100000000", 0, 1, 0, true},
    {"csmi11.1.1.500a0b0200000000", 0, 1, 0, true},
    {"rster10.3.0", 7, 3, 0, true}, {"rster10.4.1", 7, 3, 0, true}, {"rstep10.6.0", 7, 3, 0, true},
    {"rstes10.9.0", 7, 3, 0, true}, {"SCSI11:0,8,0", 9, 4, 0, true},
    {"R1", 20, 7, 0, false},     {"R2", 20, 7, 0, false},
    {"SimCam A", 21, 8, 9, false}, {"SimCam C", 21, 8, 9, false},
};

TEST(Ref1Enumeration, EveryPassInOrderGivesTheExpectedRecords) {
  sim::register_storage_section();
  sim::load_machine_file(sim::machine_file_path("ref1"));
  huld_environment_initialize();
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  huld_dev_enumeration e{};
  huld_dev_enumerate(&e);
  const std::string r1 = sim::interface_path_for("USB\\ROOT_HUB30\\4&1A2B3C4D&0&0", GUID_DEVINTERFACE_USB_HUB);
  const std::string r2 = sim::interface_path_for("USB\\ROOT_HUB\\4&2B3C4D5E&0&0", GUID_DEVINTERFACE_USB_HUB);
  ASSERT_EQ(e.count, std::size(kRef1));
  for (size_t i = 0; i < std::size(kRef1); ++i) {
    const Row &r = kRef1[i];
    const huld_dev &d = e.devices[i];
    SCOPED_TRACE(std::to_string(i) + " " + r.name);
    const std::string name = r.name == std::string("R1") ? r1 : r.name == std::string("R2") ? r2 : r.name;
    EXPECT_STRCASEEQ(d.name, name.c_str());
    EXPECT_EQ(d.iface, r.iface);
    EXPECT_EQ(d.conn.type, r.type);
    EXPECT_EQ(d.conn.driver, r.driver);
    EXPECT_EQ(huld_windows_handle_is_open(d.conn.handle), r.open ? 1 : 0);
  }
  huld_dev_release(&e);
  CoUninitialize();
  sim::reset_machine();
  huld_environment_initialize();
}

}  // namespace

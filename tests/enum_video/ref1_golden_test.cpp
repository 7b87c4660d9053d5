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
    {"disk0", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_AHCI, false},
    {"disk1", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_NVME, false},
    {"disk2", IFACE_NONE, CONN_DISK, XR_NVME, false},
    {"disk4", IFACE_NONE, CONN_DISK, INTEL_RST, false},
    {"disk7", IFACE_NONE, CONN_DISK, INTEL_RST, false},
    {"disk8", IFACE_NONE, CONN_DISK, INTEL_RST, false},
    {"disk3", WINDOWS_NVME, CONN_DISK, WINDOWS_INBOX_NVME, false},
    {"disk3.pd5", MARVELL_NEVOX, CONN_DISK, WINDOWS_INBOX_NVME, false},
    {"disk3.pd7", MARVELL_NEVOX, CONN_DISK, WINDOWS_INBOX_NVME, false},
    {"disk12", IFACE_NONE, CONN_DISK, INTEL_RST, false},
    {"disk5", IFACE_NONE, CONN_DISK, MICROSOFT_STORAGE_SPACES, false},
    {"disk9", IFACE_NONE, CONN_DISK, INBOX_USB_MASS_STORAGE, false},
    {"disk10", IFACE_NONE, CONN_DISK, INBOX_UAS_MASS_STORAGE, false},
    {"disk11", IFACE_NONE, CONN_DISK, INTEL_RSTE, false},
    {"disk15", IFACE_NONE, CONN_DISK, INTEL_RSTE, false},
    {"disk14", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_AHCI, false},
    {"disk13", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_AHCI, false},
    {"disk18", IFACE_NONE, CONN_DISK, DRIVER_NONE, false},
    {"disk6", IFACE_NONE, CONN_DISK_POOL_MEMBER, WINDOWS_INBOX_AHCI, true},
    {"nvme0", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_AHCI, true},
    {"nvme1", IFACE_NONE, CONN_DISK, WINDOWS_INBOX_NVME, true},
    {"csmi5.0.0.500103aa00000000", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi5.2.2.500102aa00000002", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi5.3.3.500102aa00000003", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi5.X.X.500210bb00000001", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi5.X.X.500211bb00000002", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi11.0.0.500a0b0100000000", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"csmi11.1.1.500a0b0200000000", IFACE_NONE, CONN_CSMI, DRIVER_NONE, true},
    {"rster10.3.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, DRIVER_NONE, true},
    {"rster10.4.1", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, DRIVER_NONE, true},
    {"rstep10.6.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, DRIVER_NONE, true},
    {"rstes10.9.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, DRIVER_NONE, true},
    {"SCSI11:0,8,0", WINDOWS_SCSI, CONN_SES, DRIVER_NONE, true},
    {"R1", WINDOWS_USB_HUB, CONN_USB_HUB, DRIVER_NONE, false},
    {"R2", WINDOWS_USB_HUB, CONN_USB_HUB, DRIVER_NONE, false},
    {"SimCam A", WINDOWS_UVC, CONN_UVC, UVC, false},
    {"SimCam C", WINDOWS_UVC, CONN_UVC, UVC, false},
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

// PCIe link information on the reference machine: disk 1 (drive B) sits behind NVMe-B
// (PCI\VEN_AAA2&DEV_0100, link speed 3 width 4 of speed 3 width 4). Both roads to the
// controller, the WMI one's COM and connection failures, and the not-found ends.
#include <string>

#include "huld/huld_dev.h"
#include "sim/com.h"
#include "vornwincom/vornwincom_pcie.h"
#include "wincom_wmi/wmi_fixture.h"

namespace {

const char kNvmeZ[] = "PCI\\VEN_AAA2&DEV_0100&SUBSYS_00000000&REV_00\\4&2F3E4D5C&0&00E1";
const char kDiskB[] = "SCSI\\DISK&VEN_NVME&PROD_SIM_NVME_B\\7&2C3D4E5F&0&000000";

class Pcie : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    std::strcpy(dev_.name, "disk1");
    dev_.conn.type = CONN_DISK;
    dev_.disk_number = 1;
    dev_.conn.handle = INVALID_HANDLE_VALUE;
  }
  static std::string link_text(const vornwincom_pcie_link_info &l) {
    return std::to_string(l.current_link_width) + " " + std::to_string(l.current_link_speed) + " " +
           std::to_string(l.max_link_width) + " " + std::to_string(l.max_link_speed);
  }
  static void fail_property(const char *name) {
    sim::fail_call({{"api", "setupapi"}, {"function", "SetupDiGetDevicePropertyW"}, {"property", name}},
                   ERROR_NOT_FOUND);
  }
  bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }
  huld_dev dev_{};
};

TEST_F(Pcie, BothRoadsFindTheControllerOfDisk1) {
  uint32_t vendor = 0, device = 0;
  ASSERT_EQ(0, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_)) << error_line(err_);
  EXPECT_EQ(0xAAA2u, vendor);
  EXPECT_EQ(0x0100u, device);
  vornwincom_pcie_link_info fast{}, slow{};
  ASSERT_EQ(0, vornwincom_get_pcie_slot_information_fast(&err_, &fast, &dev_)) << error_line(err_);
  EXPECT_EQ("4 3 4 3", link_text(fast));
  ASSERT_EQ(0, vornwincom_get_pcie_slot_information(&err_, &slow, &dev_)) << error_line(err_);
  EXPECT_EQ("4 3 4 3", link_text(slow));
  // The association queries as sent, every backslash of a key doubled; the thread's COM
  // reference count unchanged.
  std::string calls;
  for (const std::string &c : sim::wmi_calls()) calls += c + "\n";
  EXPECT_NE(std::string::npos, calls.find("ConnectServer \\\\.\\root\\cimv2 flags=80"));
  EXPECT_NE(std::string::npos,
            calls.find("ASSOCIATORS OF {Win32_DiskDrive.DeviceID='\\\\\\\\.\\\\PhysicalDrive1'} WHERE "
                       "ResultClass=Win32_PnPEntity"));
  EXPECT_NE(std::string::npos, calls.find("ASSOCIATORS OF {Win32_PnPEntity.DeviceID='SCSI\\\\DISK&VEN_NVME&PROD_SIM_"
                                          "NVME_B\\\\7&2C3D4E5F&0&000000'} WHERE AssocClass=Win32_SCSIControllerDevice"));
  EXPECT_EQ(1u, sim::com_thread_state().inits);
}

// An apostrophe in the disk's device id stands escaped in the association query (it would end the
// quoted key), so the controller behind the disk is found all the same.
TEST_F(Pcie, AnApostropheInTheDiskIdIsEscaped) {
  reload([&](nlohmann::json &m) {
    entry(m["devices"], "B")["instance_id"] = "SCSI\\Disk&Ven_NVMe&Prod_SIM_O'NVME_B\\7&2C3D4E5F&0&000000";
  });
  uint32_t vendor = 0, device = 0;
  ASSERT_EQ(0, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_)) << error_line(err_);
  EXPECT_EQ(0xAAA2u, vendor);
  EXPECT_EQ(0x0100u, device);
  vornwincom_pcie_link_info link{};
  ASSERT_EQ(0, vornwincom_get_pcie_slot_information_fast(&err_, &link, &dev_)) << error_line(err_);
  EXPECT_EQ("4 3 4 3", link_text(link));
}

TEST_F(Pcie, TheLastControllerWmiNamesWins) {
  sim::wmi_add_row("Win32_SCSIController", {{"DeviceID", sim::WmiValue::of(kNvmeZ)}});
  sim::wmi_add_row("Win32_SCSIControllerDevice",
                   {{"Antecedent", sim::WmiValue::of(sim::wmi_object_path("Win32_SCSIController", "DeviceID", kNvmeZ))},
                    {"Dependent", sim::WmiValue::of(sim::wmi_object_path("Win32_PnPEntity", "DeviceID", kDiskB))}});
  vornwincom_pcie_link_info link{};
  ASSERT_EQ(0, vornwincom_get_pcie_slot_information_fast(&err_, &link, &dev_)) << error_line(err_);
  EXPECT_EQ("2 3 4 4", link_text(link));  // NVMe-Z's link
}

TEST_F(Pcie, NotADisk) {
  dev_.conn.type = CONN_SES;
  uint32_t vendor = 0, device = 0;
  EXPECT_EQ(1, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function get_controller_device_id_from_huld_disk message "
            "cannot capture pcie slot information for non-disk devices",
            error_line(err_));
  EXPECT_TRUE(sim::wmi_calls().empty());
  EXPECT_EQ(1, vornwincom_get_pcie_hardware_ids(&err_, nullptr, &device, &dev_));
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information(&err_, nullptr, &dev_));
}

TEST_F(Pcie, ASingleThreadedApartmentStillAsksWmi) {
  CoUninitialize();
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  uint32_t vendor = 0, device = 0;
  EXPECT_EQ(0, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_)) << error_line(err_);
  EXPECT_EQ(0xAAA2u, vendor);
  CoUninitialize();
  // A thread without COM joins the multithreaded apartment and stays there.
  ASSERT_EQ(0, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_)) << error_line(err_);
  EXPECT_EQ(sim::ComApartment::mta, sim::com_thread_state().apartment);
  EXPECT_EQ(1u, sim::com_thread_state().inits);  // TearDown's CoUninitialize balances it
}

TEST_F(Pcie, ComAndConnectionFailures) {
  struct Row {
    const char *api, *function;
    const char *message;
    bool subcode;
  } rows[] = {
      {"com", "CoInitializeEx", "failed to initialize COM library (-2147467259)", true},
      {"com", "CoCreateInstance", "failed to create wbem locator (-2147467259)", true},
      {"wmi", "ConnectServer", "failed to connect wbem server", false},
      {"com", "CoSetProxyBlanket", "failed to set proxy blanket", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.function);
    sim::clear_faults();
    sim::fail_call({{"api", row.api}, {"function", row.function}}, 0x80004005);
    uint32_t vendor = 0, device = 0;
    EXPECT_EQ(1, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_));
    EXPECT_EQ(std::string("code 1 subcode ") + (row.subcode ? "2147500037" : "0") +
                  " file vornwincom\\source function get_controller_device_id_from_huld_disk message " + row.message,
              error_line(err_));
  }
}

TEST_F(Pcie, NoAssociationFindsNoController) {
  sim::wmi_set_rows("Win32_PnPDevice", {});
  uint32_t vendor = 0, device = 0;
  EXPECT_EQ(1, vornwincom_get_pcie_hardware_ids(&err_, &vendor, &device, &dev_));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_get_pcie_hardware_ids message "
            "failed to find hardware ids for device",
            error_line(err_));
  vornwincom_pcie_link_info link{};
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information_fast(&err_, &link, &dev_));
  EXPECT_STREQ("failed to find link information for device", err_.message);
}

TEST_F(Pcie, AMissingLinkPropertyEndsTheSearch) {
  fail_property("MaxLinkSpeed");
  vornwincom_pcie_link_info link{};
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information_fast(&err_, &link, &dev_));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_get_pcie_slot_information_fast message "
            "failed to find link information for device",
            error_line(err_));
  EXPECT_TRUE(logged("read DEVPKEY_PciDevice_MaxLinkSpeed failed (1168)\n"));
  EXPECT_EQ("0 0 4 0", link_text(link));  // the width read before stays

  link = {};
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information(&err_, &link, &dev_));
  EXPECT_STREQ("failed to find link information for device", err_.message);
  EXPECT_EQ("4 3 0 0", link_text(link));
}

TEST_F(Pcie, TheDeviceTreeRoadSkipsOtherDisks) {
  dev_.disk_number = 99;
  vornwincom_pcie_link_info link{};
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information(&err_, &link, &dev_));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_get_pcie_slot_information message "
            "failed to find link information for device",
            error_line(err_));
  EXPECT_TRUE(logged("1 is not the right device number\n"));
  // Disk 0 sits behind the AHCI controller, which has no link properties.
  dev_.disk_number = 0;
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information(&err_, &link, &dev_));
  EXPECT_TRUE(logged("read DEVPKEY_PciDevice_CurrentLinkSpeed failed (1168)\n"));

  sim::fail_call({{"api", "setupapi"}, {"function", "SetupDiGetClassDevsA"}}, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(1, vornwincom_get_pcie_slot_information(&err_, &link, &dev_));
  EXPECT_EQ("code 4 subcode 87 file vornwincom\\source function vornwincom_get_pcie_slot_information message "
            "SetupDiGetClassDevs(GUID_DEVINTERFACE_DISK) failed",
            error_line(err_));
}

}  // namespace

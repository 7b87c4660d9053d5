// The drive report on the reference machine: disk B through every filler, the storage-port path
// that the bus reset opens, and the fillers' handling of what WMI and SetupAPI may answer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/com.h"
#include "vornwincom/drive_report.h"
#include "vornwincom/vornwincom_write_cache.h"
#include "wmi_fixture.h"

namespace {

using sim::FaultCount;
using sim::WmiRow;
using sim::WmiValue;

const char kDiskB[] = "SCSI\\Disk&Ven_NVMe&Prod_SIM_NVME_B\\7&2C3D4E5F&0&000000";
const char kPortB[] =
    "\\\\?\\PCI#VEN_AAA2&DEV_0100&SUBSYS_00000000&REV_00#6&0A1B2C3D&0&0000#{2ACCFE60-C130-11D2-B082-00A0C91EFB8B}";

class DriveReport : public WmiTest {
 protected:
  vornwincom_drive_report r_{};
};

TEST_F(DriveReport, DiskBLeadsTheBusResetToItsPort) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk1");
  ASSERT_EQ(0, vornwincom_get_drive_report(&err_, &dev, &r_)) << error_line(err_);
  EXPECT_STREQ(kDiskB, r_.instance_id);
  EXPECT_EQ(u'S', r_.instance_id_wide[0]);
  EXPECT_EQ(1u, r_.removal_policy);
  EXPECT_EQ(0, r_.scsi_bus);
  EXPECT_STREQ(kPortB, r_.storage_port_path);
  EXPECT_STREQ("stornvme", r_.service);
  EXPECT_EQ(1, r_.aligned_partitions);
  EXPECT_EQ(0, r_.is_boot_disk);
  // The path names the adapter's port (the namespace ignores case).
  HANDLE h = CreateFileA(r_.storage_port_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);

  std::strcpy(dev.name, "nvme0");
  EXPECT_EQ(1, vornwincom_get_drive_report(&err_, &dev, &r_));
  EXPECT_EQ(2u, err_.code);
  EXPECT_EQ(0xFFFFFFFFu, err_.subcode);
  EXPECT_STREQ("vornwincom drive report is only supported on disks.", err_.message);
  EXPECT_EQ(0, r_.instance_id[0]);
}

TEST_F(DriveReport, FailingFillersAreNamedByTheirBits) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk1");
  fault("ExecQuery", FaultCount::always(), WBEM_E_FAILED, nullptr, "Win32_DiskPartition");
  fault("ExecQuery", FaultCount::always(), WBEM_E_FAILED, nullptr, "Win32_BootConfiguration");
  EXPECT_EQ(1, vornwincom_get_drive_report(&err_, &dev, &r_));
  EXPECT_EQ("code 1 subcode 9 file vornwincom\\source function vornwincom_get_drive_report message Drive report is "
            "incomplete: 9h",
            error_line(err_));
  EXPECT_NE(std::string::npos, log().find("Failure collecting partition data for drive report!"));
  EXPECT_STREQ(kPortB, r_.storage_port_path);  // the others still ran
  // Without COM (the bus reset's thread as designed) the disk filler cannot reach WMI.
  CoUninitialize();
  r_ = {};
  EXPECT_EQ(1, vornwincom_fill_drive_report_disk_info(&err_, &r_, 1));
  EXPECT_STREQ("Failed to initialize Wbem connection", err_.message);
  EXPECT_STREQ(kDiskB, r_.instance_id);  // written before the failure
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

TEST_F(DriveReport, DiskFillerFailures) {
  EXPECT_EQ(1, vornwincom_fill_drive_report_disk_info(&err_, &r_, 99));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_fill_drive_report_disk_info message Could "
            "not find Disk 99 to pull details.",
            error_line(err_));
  EXPECT_EQ(0, r_.instance_id[0]);
  // A disk that Win32_DiskDrive does not list: success, the bus stays 0.
  sim::wmi_set_rows("Win32_DiskDrive", {});
  r_.scsi_bus = 0;
  EXPECT_EQ(0, vornwincom_fill_drive_report_disk_info(&err_, &r_, 1));
  EXPECT_EQ(0, r_.scsi_bus);
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"api", "setupapi"}, {"function", "SetupDiGetDevicePropertyW"}, {"property", "RemovalPolicy"}};
  rule.action = sim::FaultAction::fail_with(ERROR_NOT_FOUND);
  sim::add_fault(rule);
  EXPECT_EQ(1, vornwincom_fill_drive_report_disk_info(&err_, &r_, 1));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_FOUND), err_.subcode);
  EXPECT_STREQ("Failed to capture RemovalPolicy for device. (1168)", err_.message);
}

WmiRow link(const std::string &controller, const std::string &unit) {
  return {{"Antecedent", WmiValue::of(sim::wmi_object_path("Win32_SCSIController", "DeviceID", controller))},
          {"Dependent", WmiValue::of(sim::wmi_object_path("Win32_PnPEntity", "DeviceID", unit))}};
}
WmiRow entity(const std::string &id, const char *service) {
  return {{"DeviceID", WmiValue::of(id)}, {"PNPDeviceID", WmiValue::of(id)}, {"Service", WmiValue::of(service)}};
}

TEST_F(DriveReport, ADiskOnBus3ReportsBus3) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk12");  // volume W, the fourth bus of its port
  ASSERT_EQ(0, vornwincom_get_drive_report(&err_, &dev, &r_)) << error_line(err_);
  EXPECT_EQ(3, r_.scsi_bus);
  EXPECT_EQ(0, r_.removable);
}

TEST_F(DriveReport, EitherCapabilityBitMakesTheDiskRemovable) {
  for (const char *capabilities : {"0x04", "0x80", "0x7B"}) {
    SCOPED_TRACE(capabilities);
    reload([&](nlohmann::json &m) { entry(m["devices"], "B")["capabilities"] = capabilities; });
    r_ = {};
    ASSERT_EQ(0, vornwincom_fill_drive_report_disk_info(&err_, &r_, 1)) << error_line(err_);
    EXPECT_EQ(std::string(capabilities) == "0x7B" ? 0 : 1, r_.removable);
  }
}

TEST_F(DriveReport, ADiskQueryThatTimesOutFailsTheDiskFiller) {
  // The bus reset reads scsi_bus only from a filler that succeeded: a stalled answer must not
  // read as "not listed", which would leave bus 0 in the report.
  fault("Next", FaultCount::always(), 0, "timeout", "Win32_DiskDrive");
  EXPECT_EQ(1, vornwincom_fill_drive_report_disk_info(&err_, &r_, 12));
  EXPECT_EQ("code 1 subcode 262148 file vornwincom\\WbemHelper function get_properties message Failed to execute "
            "query: SELECT * FROM Win32_DiskDrive where Index=12 (40004h)",
            error_line(err_));
}

TEST_F(DriveReport, AControllerWithoutPnpDeviceIdIsPassedOver) {
  const std::string unit = "SCSI\\DISK&VEN_X\\5&1&0&1";
  sim::wmi_set_rows("Win32_SCSIControllerDevice",
                    {link("PCI\\VEN_1111&DEV_0001\\2", unit), link("PCI\\VEN_1234&DEV_5678\\3", unit)});
  sim::wmi_set_rows("Win32_PnPEntity", {{{"DeviceID", WmiValue::of("PCI\\VEN_1111&DEV_0001\\2")},
                                         {"PNPDeviceID", WmiValue::none()},
                                         {"Service", WmiValue::of("none")}},
                                        entity("PCI\\VEN_1234&DEV_5678\\3", "ctl")});
  std::strcpy(r_.instance_id, unit.c_str());
  ASSERT_EQ(0, vornwincom_fill_drive_report_controller_info(&err_, &r_)) << error_line(err_);
  EXPECT_STREQ("ctl", r_.service);
}

TEST_F(DriveReport, ControllerRowsAreMatchedByTheWholeIdAndFailuresPassedOver) {
  const std::string unit = "SCSI\\DISK&VEN_X\\5&1&0&1";
  sim::wmi_set_rows("Win32_SCSIControllerDevice",
                    {link("PCI\\VEN_9999&DEV_0001\\1", unit + "0"),  // another disk whose id has ours as prefix
                     {{"Antecedent", WmiValue::none()}, {"Dependent", WmiValue::of(unit)}},
                     link("PCI\\VEN_1111&DEV_0001\\2", unit), link("PCI\\VEN_1234&DEV_5678\\4&1A2B3C4D&0&00E8", unit)});
  sim::wmi_set_rows("Win32_PnPEntity", {entity("PCI\\VEN_9999&DEV_0001\\1", "wrong"),
                                        entity("PCI\\VEN_1111&DEV_0001\\2", "failing"),
                                        entity("PCI\\VEN_1234&DEV_5678\\4&1A2B3C4D&0&00E8", "ctl")});
  fault("ExecQuery", FaultCount::at(1), WBEM_E_FAILED, nullptr, "Win32_PnPEntity");
  std::strcpy(r_.instance_id, "scsi\\disk&ven_x\\5&1&0&1");
  ASSERT_EQ(0, vornwincom_fill_drive_report_controller_info(&err_, &r_));
  EXPECT_EQ(0u, err_.code);
  EXPECT_STREQ("ctl", r_.service);
  EXPECT_STREQ("\\\\?\\PCI#VEN_1234&DEV_5678#4&1A2B3C4D&0&00E8#{2ACCFE60-C130-11D2-B082-00A0C91EFB8B}",
               r_.storage_port_path);
  EXPECT_NE(std::string::npos, log().find("Failed to query Win32_PNPEntity for deviceId \"PCI\\\\VEN_1111"));
  // No id, or no row leading to a controller.
  for (const char *id : {"", "SCSI\\DISK&VEN_X\\9"}) {
    std::strcpy(r_.instance_id, id);
    EXPECT_EQ(1, vornwincom_fill_drive_report_controller_info(&err_, &r_));
    EXPECT_STREQ("Failed to get a valid set of data to fill the controller info structure.", err_.message);
  }
}

TEST_F(DriveReport, BootAndPartitionRowsThatDoNotParseAreSkipped) {
  sim::wmi_set_rows("Win32_BootConfiguration", {{{"Description", WmiValue::of("\\Device\\HarddiskVolume3")}},
                                                {{"Description", WmiValue::none()}},
                                                {{"Description", WmiValue::of("\\Device\\Harddisk256\\Partition1")}},
                                                {{"Description", WmiValue::of("\\Device\\Harddisk2\\Partition1")}}});
  ASSERT_EQ(0, vornwincom_fill_drive_report_boot_info(&err_, &r_, 2));
  EXPECT_EQ(1, r_.is_boot_disk);
  ASSERT_EQ(0, vornwincom_fill_drive_report_boot_info(&err_, &r_, 0));
  EXPECT_EQ(0, r_.is_boot_disk);

  std::vector<WmiRow> parts;
  for (WmiValue v : {WmiValue::of("1048576"), WmiValue::of("32256"), WmiValue::of("12x"), WmiValue::none()})
    parts.push_back({{"DiskIndex", WmiValue::of(7)}, {"StartingOffset", v}});
  for (int i = 0; i < 300; ++i) parts.push_back({{"DiskIndex", WmiValue::of(8)}, {"StartingOffset", WmiValue::of("4096")}});
  sim::wmi_set_rows("Win32_DiskPartition", parts);
  ASSERT_EQ(0, vornwincom_fill_drive_report_partition_info(&err_, &r_, 7));
  EXPECT_EQ(1, r_.aligned_partitions);
  EXPECT_EQ(1, r_.other_partitions);
  r_ = {};
  ASSERT_EQ(0, vornwincom_fill_drive_report_partition_info(&err_, &r_, 8));
  EXPECT_EQ(255, r_.aligned_partitions);
  // A text where a string belongs: refused, caught at the flat function.
  sim::wmi_set_rows("Win32_BootConfiguration", {{{"Description", WmiValue::of(5)}}});
  EXPECT_EQ(1, vornwincom_fill_drive_report_boot_info(&err_, &r_, 2));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_fill_drive_report_boot_info message "
            "Invalid BSTR in Variant. Rejecting transformation to std::string.",
            error_line(err_));
  EXPECT_EQ(1, vornwincom_fill_drive_report_boot_info(&err_, nullptr, 2));
}

// A caller that starts and ends COM around each use of the library (the COM start-up pair, as the
// bus reset does with its own apartment) gets a new apartment every time: the fillers connect to
// WMI in each one and keep no proxy of an apartment that has ended, whose calls Windows refuses.
TEST_F(DriveReport, EachApartmentConnectsAgainAndKeepsNoProxyOfAnEndedOne) {
  CoUninitialize();  // the fixture's apartment ends; each round below begins its own
  const size_t misuse_before = sim::com_proxy_misuse_count();
  huld_dev disk{};
  disk.conn.handle = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, disk.conn.handle);
  auto queries_served = [] {
    size_t n = 0;
    for (const std::string &call : sim::wmi_calls()) n += call.rfind("ExecQuery", 0) == 0;
    return n;
  };
  uint64_t previous = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(0, vornwincom_default_initialize_com(&err_)) << error_line(err_);
    const uint64_t apartment = sim::com_thread_state().id;
    EXPECT_NE(previous, apartment);
    previous = apartment;
    const size_t served = queries_served();
    vornwincom_drive_report report{};
    EXPECT_EQ(0, vornwincom_fill_drive_report_disk_info(&err_, &report, 1)) << error_line(err_);
    EXPECT_EQ(0, vornwincom_fill_drive_report_controller_info(&err_, &report)) << error_line(err_);
    EXPECT_STREQ(kPortB, report.storage_port_path);
    EXPECT_GT(queries_served(), served) << "the round asked WMI itself";
    uint8_t caching = 0;
    EXPECT_EQ(0, vornwincom_get_write_caching(&err_, &disk, &caching)) << error_line(err_);
    EXPECT_EQ(0, vornwincom_default_uninitialize_com(&err_));
    EXPECT_FALSE(sim::com_apartment_alive(apartment));
  }
  const auto misuse = sim::com_proxy_misuse_log();
  EXPECT_EQ(misuse_before, misuse.size()) << misuse.back();
  CloseHandle(disk.conn.handle);
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));  // the fixture's TearDown leaves it
}

}  // namespace

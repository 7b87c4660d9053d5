// The system report on the reference machine: the whole report, the lists cut at their capacity,
// and the operating-system part's readings of what WMI hands over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vornwincom/system_report.h"
#include "wmi_fixture.h"

namespace {

using sim::WmiRow;
using sim::WmiValue;

class SystemReport : public WmiTest {
 protected:
  std::unique_ptr<vornwincom_system_report> r_ = std::make_unique<vornwincom_system_report>();
};

TEST_F(SystemReport, ReadsEveryPartOfTheMachine) {
  ASSERT_EQ(0, vornwincom_get_system_report(&err_, r_.get())) << error_line(err_);
  EXPECT_EQ(1u, r_->gpus.count);
  EXPECT_STREQ("Simulated Display Adapter", r_->gpus.caption[0]);
  EXPECT_STREQ("Simulated Processor @ 3.00GHz", r_->cpus.entry[0].name);
  ASSERT_GE(r_->controllers.count, 2u);  // the hdc and SCSI adapters of the machine
  EXPECT_STREQ("Standard SATA AHCI Controller", r_->controllers.entry[0].description);
  EXPECT_STREQ("10.0.19041.1", r_->controllers.entry[0].driver_version);
  EXPECT_STREQ("SIM-BOARD-1", r_->baseboards.entry[0].product);
  EXPECT_EQ(2u, r_->rams.count);
  EXPECT_EQ(3200u, r_->rams.configured_clock_speed[1]);
  EXPECT_EQ(10u, r_->os.version_major);
  EXPECT_EQ(19045u, r_->os.version_build);
  EXPECT_STREQ("Microsoft Windows 10 Pro", r_->os.name);
  EXPECT_STREQ("Multiprocessor Free", r_->os.build_type);
  EXPECT_EQ(1u, r_->os.hours_since_boot);  // the machine's clock starts an hour after its boot
  EXPECT_EQ(0, r_->os.wow64);
}

TEST_F(SystemReport, ListsStopAtTheirCapacity) {
  std::vector<WmiRow> cpus(33, WmiRow{{"Caption", WmiValue::of("c")}, {"Name", WmiValue::of("n")}});
  cpus[32] = {{"Caption", WmiValue::of("last")}, {"Name", WmiValue::of("last")}};
  sim::wmi_set_rows("Win32_Processor", cpus);
  sim::wmi_add_row("Win32_BaseBoard", {{"Manufacturer", WmiValue::of("second")}, {"Product", WmiValue::none()}});
  sim::wmi_set_rows("Win32_PhysicalMemory", {});
  EXPECT_EQ(1, vornwincom_fill_system_report_cpus(&err_, r_.get()));
  EXPECT_EQ("code 1 subcode 33 file vornwincom\\source function vornwincom_fill_system_report_cpus message System "
            "report structure CPUs truncated! (32/33)",
            error_line(err_));
  EXPECT_EQ(32u, r_->cpus.count);
  EXPECT_STREQ("c", r_->cpus.entry[31].caption);

  EXPECT_EQ(1, vornwincom_get_system_report(&err_, r_.get()));
  EXPECT_EQ(0xAu, err_.subcode);
  EXPECT_STREQ("System report is incomplete: ah", err_.message);
  EXPECT_NE(std::string::npos, log().find("System report structure baseboards truncated! (1/2)"));
  EXPECT_STREQ("Simulated Board Maker", r_->baseboards.entry[0].manufacturer);
  EXPECT_EQ(0u, r_->rams.count);
}

TEST_F(SystemReport, AGpuListAtItsCapacityIsComplete) {
  sim::wmi_set_rows("Win32_VideoController", std::vector<WmiRow>(32, WmiRow{{"Caption", WmiValue::of("g")}}));
  err_.code = 1;
  ASSERT_EQ(0, vornwincom_fill_system_report_gpus(&err_, r_.get())) << error_line(err_);
  EXPECT_EQ(0u, err_.code);
  EXPECT_EQ(32u, r_->gpus.count);
  EXPECT_STREQ("g", r_->gpus.caption[31]);
}

TEST_F(SystemReport, ARefusedValueLeavesTheCountOfTheEntriesWritten) {
  sim::wmi_set_rows("Win32_VideoController", {{{"Caption", WmiValue::of("first")}},
                                              {{"Caption", WmiValue::of("second")}},
                                              {{"Caption", WmiValue::of(7)}},
                                              {{"Caption", WmiValue::of("fourth")}}});
  EXPECT_EQ(1, vornwincom_fill_system_report_gpus(&err_, r_.get()));
  EXPECT_STREQ("Invalid BSTR in Variant. Rejecting transformation to std::string.", err_.message);
  EXPECT_EQ(2u, r_->gpus.count);
  EXPECT_STREQ("second", r_->gpus.caption[1]);
}

TEST_F(SystemReport, TheServicePackMinorVersionIsItsOwn) {
  reload([](nlohmann::json &m) {
    m["os"]["service_pack_major"] = 1;
    m["os"]["service_pack_minor"] = 2;
  });
  ASSERT_EQ(0, vornwincom_fill_system_report_os_info(&err_, r_.get())) << error_line(err_);
  EXPECT_EQ(1, r_->os.service_pack_major);
  EXPECT_EQ(2, r_->os.service_pack_minor);
}

// Sets TZ for one test and puts the previous value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char *zone) {
    if (const char *old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) setenv("TZ", old_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST_F(SystemReport, BootTimeInSummerTimeCountsWholeHours) {
  // A boot on a summer day of a zone with daylight saving, read back in whatever season it is
  // now: the local text must be read with the zone's own summer offset. The boot lies half an
  // hour off an hour boundary, so that the seconds between the two clock readings do not matter.
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const time_t now = std::time(nullptr);
  const time_t july = 1782900000;  // 2026-07-01 10:00:00 UTC, 12:00 summer time in the zone
  const time_t boot = now - ((now - july) / 3600) * 3600 - 1800;
  struct tm local {};
  localtime_r(&boot, &local);
  ASSERT_EQ(1, local.tm_isdst);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S.000000+120", &local);
  WmiRow os = sim::wmi_table().find("Win32_OperatingSystem")->at(0);
  for (auto &property : os)
    if (property.first == "LastBootUpTime") property.second = WmiValue::of(stamp);
  sim::wmi_set_rows("Win32_OperatingSystem", {os});
  ASSERT_EQ(0, vornwincom_fill_system_report_os_info(&err_, r_.get())) << error_line(err_);
  EXPECT_EQ(static_cast<uint64_t>((now - boot) / 3600), r_->os.hours_since_boot);
}

TEST_F(SystemReport, OperatingSystemValuesAreReadByTypeAndText) {
  sim::wmi_set_rows("Win32_OperatingSystem",
                    {{{"Name", WmiValue::of("Windows|C:\\WINDOWS|\\Device\\Harddisk0\\Partition2")},
                      {"Version", WmiValue::of("6.1")},
                      {"ServicePackMajorVersion", WmiValue::of(1)},
                      {"ServicePackMinorVersion", WmiValue::none()},
                      {"BuildType", WmiValue::none()},
                      {"LastBootUpTime", WmiValue::of("yesterday")}},
                     {{"Name", WmiValue::of("second")}}});
  ASSERT_EQ(0, vornwincom_fill_system_report_os_info(&err_, r_.get())) << error_line(err_);
  EXPECT_STREQ("Windows", r_->os.name);
  EXPECT_EQ(6u, r_->os.version_major);
  EXPECT_EQ(1u, r_->os.version_minor);
  EXPECT_EQ(0u, r_->os.version_build);
  EXPECT_EQ(1, r_->os.service_pack_major);
  EXPECT_EQ(0u, r_->os.hours_since_boot);
  EXPECT_NE(std::string::npos, log().find("Received 2 results for Win32_OperatingSystem, ignoring all but the first."));

  sim::wmi_set_rows("Win32_OperatingSystem", {});
  EXPECT_EQ(1, vornwincom_fill_system_report_os_info(&err_, r_.get()));
  EXPECT_STREQ("Silently failed to get query results for Win32_OperatingSystem", err_.message);
}

TEST_F(SystemReport, TheDescriptionReplacesAClassAndAValueWithoutTextLeavesTheField) {
  EXPECT_THROW(sim::load_machine_json(R"({"wmi": {"rows": {}}})"), std::runtime_error);
  // Loading resets every thread's apartment.
  sim::load_machine_json(R"({"wmi": {"classes": {"Win32_BaseBoard": [{"Manufacturer": "M", "Product": null}]}}})");
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  ASSERT_EQ(0, vornwincom_fill_system_report_baseboards(&err_, r_.get()));
  EXPECT_STREQ("M", r_->baseboards.entry[0].manufacturer);
  EXPECT_STREQ("", r_->baseboards.entry[0].product);
}

}  // namespace

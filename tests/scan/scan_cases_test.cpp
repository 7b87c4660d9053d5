// The scan and the elimination on the machine contents the scan cases need: every elimination case
// on one variant of the reference machine (asserted after all five passes together), the class
// scans, a full list, an empty machine, a failed copy, the model filters and the scan by names.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>

#include "scan_fixture.h"
#include "support/log_capture.h"

namespace {

using testsupport::captured_log;

class ScanCases : public ScanTest {
 protected:
  testsupport::log_capture log_{HULD_LOG_DEBUG};
  static nlohmann::json ref1() {
    std::ifstream f(sim::machine_file_path("ref1"));
    return nlohmann::json::parse(f);
  }
  static nlohmann::json &adapter(nlohmann::json &m, const char *id) {
    for (auto &a : m["storage"]["adapters"])
      if (a["id"] == id) return a;
    throw std::runtime_error(id);
  }
  // ATA disks on in-box AHCI controllers of `per_adapter` disks each, with the given models.
  static std::string sata_machine(const std::vector<std::string> &models, size_t per_adapter) {
    nlohmann::json adapters = nlohmann::json::array(), disks = nlohmann::json::array();
    for (size_t i = 0; i < models.size(); ++i) {
      const std::string adapter = "ahci" + std::to_string(i / per_adapter);
      if (i % per_adapter == 0) adapters.push_back({{"id", adapter}, {"personality", "inbox_ahci"}});
      disks.push_back({{"adapter", adapter}, {"physical_drive", i},
                       {"address", {{"path_id", 0}, {"target_id", i % per_adapter}, {"lun", 0}}},
                       {"ata", {{"model", models[i]}, {"serial", "S" + std::to_string(i)}, {"firmware", "F1"}}}});
    }
    return nlohmann::json({{"storage", {{"adapters", adapters}, {"disks", disks}}}}).dump();
  }
};

// One drive reached twice in every way the passes know, on the reference machine with:
// drive D's CSMI phy taken for a RAID member by its address (it is kept, its disk goes); the SATA
// translation of S1's disk refused (a SCSI-only disk next to an ATA CSMI node); M1 also on a phy
// of the SAS HBA (a plain CSMI node beside the member); drive F behind a second USB bridge (two SAT
// nodes); R's serial unreadable after its probe (nothing goes on its account); and T renamed so
// that its physical-drive number cannot be read (it goes all the same).
TEST_F(ScanCases, EveryEliminationCaseAfterTheFivePasses) {
  nlohmann::json m = ref1();
  adapter(m, "RST")["csmi"]["phys"][0]["sas_address"] = "50 01 02 AA 00 00 00 01";
  adapter(m, "SAS")["csmi"]["phys"][2] = {{"attached", "end_device"}, {"sas_address", "50 0A 0B 03 00 00 00 00"},
                                          {"protocol", "sata"}, {"drive", "M1"}};
  m["storage"]["adapters"].push_back({{"id", "BOT2"}, {"personality", "usb_bot"}});
  m["storage"]["disks"].push_back({{"id", "F2"}, {"adapter", "BOT2"}, {"drive", "F"},
                                   {"physical_drive", 19}, {"bridge", "sat"}});
  m["faults"] = nlohmann::json::array(
      {{{"path", "\\\\.\\PhysicalDrive13"}, {"cdb0", "0x85"}, {"error", "ERROR_IO_DEVICE"}},
       {{"path", "\\\\.\\PhysicalDrive13"}, {"cdb0", "0xa1"}, {"error", "ERROR_IO_DEVICE"}},
       {{"path", "\\\\.\\PhysicalDrive11"}, {"cdb0", "0x12"}, {"count", {{"from", 2}}},
        {"error", "ERROR_IO_DEVICE"}}});
  load_json(m.dump());
  vornscan_scan(list_, 1);
  ASSERT_NE(find("disk19"), nullptr);
  ASSERT_NE(find("csmi11.2.2.500a0b0300000000"), nullptr);
  ASSERT_EQ(find("disk13")->iface, static_cast<uint32_t>(WINDOWS_SCSI));
  std::snprintf(find("disk15")->name, HULD_DEV_NAME_SIZE, "twin15");

  vornscan_eliminate_extra_device_nodes(list_);
  std::vector<std::string> kept = names();
  kept.resize(kept.size() - 2);  // the two USB root hubs, named by their paths
  EXPECT_EQ(kept, std::vector<std::string>(
                      {"disk0", "disk1", "disk2", "disk7", "disk8", "disk3", "disk3.pd5",
                       "disk3.pd7", "disk5", "disk9", "disk10", "disk11", "disk14", "disk18",
                       "disk6", "nvme1", "csmi5.0.0.500102aa00000001", "csmi5.2.2.500102aa00000002",
                       "csmi5.3.3.500102aa00000003", "csmi5.X.X.500210bb00000001",
                       "csmi5.X.X.500211bb00000002", "csmi11.0.0.500a0b0100000000",
                       "rster10.3.0", "rster10.4.1", "rstep10.6.0", "rstes10.9.0", "SCSI11:0,8,0"}));
  EXPECT_EQ(find("rster10.3.0")->rste_disk_number, HULD_NO_NUMBER);  // R was never compared
  EXPECT_EQ(find("rstep10.6.0")->rste_disk_number, HULD_NO_NUMBER);
  EXPECT_NE(captured_log().find("Could not capture disk number from to be eliminated device twin15"),
            std::string::npos);
  EXPECT_NE(captured_log().find("failed to capture sserial of device"), std::string::npos);
}

// Two RAID members that report one serial (a CSMI member behind Intel RST and an RSTe member) are
// not the volume of one another: the last pass compares a member only with nodes that are not
// members, so both stay.
TEST_F(ScanCases, RaidMembersAreNotCandidatesOfTheLastPass) {
  nlohmann::json m = ref1();
  for (auto &d : m["storage"]["drives"])
    if (d["id"] == "R4") d["nvme"]["serial"] = "SN0010";
  load_json(m.dump());
  vornscan_scan(list_, 1);
  vornscan_eliminate_extra_device_nodes(list_);
  EXPECT_NE(find("csmi5.X.X.500210bb00000001"), nullptr);
  EXPECT_NE(find("rster10.4.1"), nullptr);
  EXPECT_EQ(find("disk12"), nullptr);
}

TEST_F(ScanCases, ClassScanKeepsEachNodeOfTheClassOnce) {
  load_file("ref1");
  vornscan_scan_ata(list_, 1);
  EXPECT_EQ(names(), std::vector<std::string>(
                         {"disk0", "disk4", "disk9", "disk13", "disk6", "csmi5.0.0.500103aa00000000",
                          "csmi5.2.2.500102aa00000002", "csmi5.3.3.500102aa00000003",
                          "csmi11.0.0.500a0b0100000000"}));
}

// Each class scan keeps, in order, exactly the nodes of its class that the full scan keeps; a scan
// of hubs alone keeps no video device, and one of video devices alone no hub.
TEST_F(ScanCases, ClassScansKeepTheirClassAndNoOther) {
  load_file("ref1");
  with_com();
  vornscan_scan(list_, 1);
  struct ClassScan {
    const char *what;
    int (*is)(const huld_dev *);
    std::function<void()> scan;
    std::vector<std::string> expected;
  };
  std::vector<ClassScan> scans = {
      {"nvme", huld_dev_is_nvme, [&] { vornscan_scan_nvme(list_, 1); }, {}},
      {"scsi", huld_dev_is_scsi, [&] { vornscan_scan_scsi(list_, 1); }, {}},
      {"uvc", huld_dev_is_uvc, [&] { vornscan_scan_uvc(list_, 1); }, {}},
      {"hub", huld_dev_is_usb_hub, [&] { __scan(list_, 1, 0, 0, 0, 1, 0, 0xFFFFFFFFu); }, {}},
  };
  for (ClassScan &c : scans)
    for (uint32_t i = 0; i < list_->count; ++i)
      if (c.is(&list_->devices[i])) c.expected.emplace_back(list_->devices[i].name);
  for (ClassScan &c : scans) {
    SCOPED_TRACE(c.what);
    release();
    ASSERT_FALSE(c.expected.empty());
    c.scan();
    EXPECT_EQ(names(), c.expected);
  }
}

// A scan with chosen enumeration passes runs those passes only, and keeps every class they find.
TEST_F(ScanCases, FlagScanRunsOnlyTheChosenPasses) {
  load_file("ref1");
  with_com();
  vornscan_scan_flags(list_, 1, HULD_ENUMERATE_CSMI | HULD_ENUMERATE_RSTE | HULD_ENUMERATE_SES |
                                    HULD_ENUMERATE_USB | HULD_ENUMERATE_UVC);
  std::vector<std::string> kept = names();
  for (uint32_t i = 0; i < list_->count; ++i)
    if (list_->devices[i].conn.type == CONN_USB_HUB) kept[i] = "hub";
  EXPECT_EQ(kept, std::vector<std::string>(
                      {"csmi5.0.0.500103aa00000000", "csmi5.2.2.500102aa00000002", "csmi5.3.3.500102aa00000003",
                       "csmi5.X.X.500210bb00000001", "csmi5.X.X.500211bb00000002", "csmi11.0.0.500a0b0100000000",
                       "rster10.3.0", "rster10.4.1", "rstep10.6.0", "rstes10.9.0", "SCSI11:0,8,0", "hub", "hub",
                       "SimCam A", "SimCam C"}));
  release();
  vornscan_scan_flags(list_, 1, HULD_ENUMERATE_DISK);
  EXPECT_EQ(names(), std::vector<std::string>({"disk0", "disk1", "disk2", "disk4", "disk7", "disk8", "disk3",
                                               "disk3.pd5", "disk3.pd7", "disk12", "disk5", "disk9", "disk10",
                                               "disk11", "disk15", "disk14", "disk13", "disk18"}));
}

// More keepable nodes than the list holds: the first 128 are kept, the rest logged and left out.
TEST_F(ScanCases, FullListKeepsTheFirst128) {
  load_json(sata_machine(std::vector<std::string>(130, "SIM SATA"), 26));
  vornscan_scan(list_, 1);
  ASSERT_EQ(list_->count, VORNSCAN_MAX_DEVICES);
  EXPECT_STREQ(list_->devices[127].name, "disk127");
  EXPECT_NE(captured_log().find("device disk128 skipped - scan list full"), std::string::npos);
  EXPECT_NE(captured_log().find("device disk129 skipped - scan list full"), std::string::npos);
}

TEST_F(ScanCases, EmptyMachineAndFailedCopy) {
  load_json(R"({"name": "empty"})");
  vornscan_scan(list_, 1);
  vornscan_eliminate_extra_device_nodes(list_);
  vornscan_filter_invalid(list_);
  EXPECT_EQ(list_->count, 0u);

  // The copy re-opens the probed disk's path: when that open fails the node is not taken.
  nlohmann::json m = nlohmann::json::parse(sata_machine({"SIM A", "SIM B"}, 2));
  m["faults"] = {{{"fail_open", "\\\\.\\PhysicalDrive1"}, {"error", "ERROR_ACCESS_DENIED"},
                  {"count", {{"from", 6}}}}};  // the enumeration passes and the probe open it first
  load_json(m.dump());
  vornscan_scan(list_, 1);
  EXPECT_EQ(names(), std::vector<std::string>({"disk0"}));
  EXPECT_NE(captured_log().find("device disk1 failed copy - discard"), std::string::npos);
}

TEST_F(ScanCases, ModelFilters) {
  load_json(sata_machine({"Corvane A1", "XR B2", "corvane c3", "XRAY", "SIM D4"}, 8));
  const auto filtered = [&](void (*filter)(vornscan_list *)) {
    release();
    vornscan_scan(list_, 1);
    filter(list_);
    return names();
  };
  using v = std::vector<std::string>;
  EXPECT_EQ(filtered(vornscan_filter_non_cv), v({"disk0"}));  // the case of letters counts
  EXPECT_EQ(filtered(vornscan_filter_non_xr), v({"disk1", "disk3"}));
  EXPECT_EQ(filtered(vornscan_filter_non_tx), v({"disk0", "disk1", "disk3"}));
  EXPECT_EQ(filtered(vornscan_filter_invalid), v({"disk0", "disk1", "disk2", "disk3", "disk4"}));
  vornscan_filter_non_cv(list_);
  vornscan_filter_non_xr(list_);
  EXPECT_EQ(list_->count, 0u);

  // A model that cannot be read (a USB hub's) removes the device.
  release();
  load_file("ref1");
  vornscan_scan(list_, 1);
  const uint32_t scanned = list_->count;
  vornscan_filter_invalid(list_);
  EXPECT_EQ(list_->count, scanned - 2);  // the two root hubs
}

TEST_F(ScanCases, ScanByNames) {
  load_file("ref1");
  const char *names_[] = {"DISK1", "nvme0", "Csmi5.2.2.500102AA00000002", "nvme0", "nothing"};
  vornscan_scan_names(list_, 0, names_, 5);
  EXPECT_EQ(names(), std::vector<std::string>({"disk1", "nvme0", "csmi5.2.2.500102aa00000002"}));
  release();
  captured_log().clear();
  vornscan_scan_names(list_, 1, names_, 5);  // nvme0 answers no probe: asked once per listing
  EXPECT_EQ(names(), std::vector<std::string>({"disk1", "csmi5.2.2.500102aa00000002"}));
  size_t drops = 0;
  for (size_t at = 0; (at = captured_log().find("device nvme0 matched - discard due to probe failure", at)) != std::string::npos; ++at)
    ++drops;
  EXPECT_EQ(drops, 2u);

  // Null names are logged and matched as nothing; a null array holds no names.
  release();
  const char *with_null[] = {nullptr, "disk1"};
  vornscan_scan_names(list_, 0, with_null, 2);
  EXPECT_EQ(names(), std::vector<std::string>({"disk1"}));
  release();
  vornscan_scan_names(list_, 0, nullptr, 2);
  EXPECT_EQ(list_->count, 0u);
}

}  // namespace

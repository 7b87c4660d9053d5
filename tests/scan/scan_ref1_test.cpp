// The application's scan of the reference machine: the probe discards, the kept records in
// enumeration order with the serial each reports (one drive gives one serial through every path:
// disk and CSMI phy, SAT disk, RAID member and the volume reporting it, RSTe disk and SCSI twin),
// and the list after the five elimination passes.
#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "scan_fixture.h"
#include "vornbasics/identification.h"

namespace {

// Name (hubs are named by their interface paths: "hub") and serial ("" when it cannot be read).
const std::vector<std::pair<std::string, std::string>> kScanned = {
    {"disk0", "SA0001"}, {"disk1", "SB0002"}, {"disk2", "SC0003"}, {"disk4", "SD0004"},
    {"disk7", "SE0005"}, {"disk8", "SVV006"}, {"disk3", "SNX000"}, {"disk3.pd5", "SP0005"},
    {"disk3.pd7", "SP0007"}, {"disk12", "SN0010"}, {"disk5", "SPC012"}, {"disk9", "SF0014"},
    {"disk10", "SG0015"}, {"disk11", "S30017"}, {"disk15", "S60019"}, {"disk14", "SS2022"},
    {"disk13", "SS1021"}, {"disk18", "SRD018"}, {"disk6", "SP0013"}, {"nvme1", "SZ0024"},
    {"csmi5.0.0.500103aa00000000", "SD0004"}, {"csmi5.2.2.500102aa00000002", "SM0007"},
    {"csmi5.3.3.500102aa00000003", "SM0008"}, {"csmi5.X.X.500210bb00000001", "SN0010"},
    {"csmi5.X.X.500211bb00000002", "SN0011"}, {"csmi11.0.0.500a0b0100000000", "SS1021"},
    {"rster10.3.0", "S30017"}, {"rster10.4.1", "S40018"}, {"rstep10.6.0", "S60019"},
    {"rstes10.9.0", "S90020"}, {"SCSI11:0,8,0", "SES031"}, {"hub", ""}, {"hub", ""},
    {"SimCam A", ""}, {"SimCam C", ""}};

class ScanRef1 : public ScanTest {
 protected:
  std::vector<std::string> named() const {
    std::vector<std::string> out = names();
    for (uint32_t i = 0; i < list_->count; ++i)
      if (list_->devices[i].conn.type == CONN_USB_HUB) out[i] = "hub";
    return out;
  }
  static std::vector<std::string> expected(std::initializer_list<const char *> gone, size_t drop_last) {
    std::vector<std::string> out;
    for (const auto &node : kScanned) out.push_back(node.first);
    for (const char *name : gone) out.erase(std::find(out.begin(), out.end(), name));
    out.resize(out.size() - drop_last);
    return out;
  }
};

TEST_F(ScanRef1, ScanKeepsEveryProbedNodeAndEliminationLeavesOneNodePerDrive) {
  load_file("ref1");
  with_com();
  ASSERT_EQ(vornscan_scan(list_, 1), 0);
  ASSERT_EQ(named(), expected({}, 0));  // nvme0 and CSMI S2 fail their probes
  for (uint32_t i = 0; i < list_->count; ++i) {
    char serial[41];
    huld_error err{};
    if (vornbasics_get_serial(&err, &list_->devices[i], serial, sizeof serial) != 0) {
      EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
    }
    EXPECT_EQ(serial, kScanned[i].second) << list_->devices[i].name;
  }

  vornscan_eliminate_extra_device_nodes(list_);
  EXPECT_EQ(named(), expected({"csmi5.0.0.500103aa00000000", "csmi11.0.0.500a0b0100000000",
                               "disk11", "disk15", "disk12"}, 0));
  huld_error err{};
  uint32_t number = 0;
  ASSERT_EQ(huld_dev_get_disk_number(&err, &number, find("rster10.3.0")), 0);
  EXPECT_EQ(number, 11u);
  ASSERT_EQ(huld_dev_get_disk_number(&err, &number, find("rstep10.6.0")), 0);
  EXPECT_EQ(number, 15u);
  // The slots the removals vacated hold nothing that a walk over all 128 could close twice.
  for (uint32_t i = list_->count; i < VORNSCAN_MAX_DEVICES; ++i)
    EXPECT_FALSE(huld_dev_is_open(&list_->devices[i]) || list_->devices[i].data_list) << i;
}

// A serial read with leading blanks through one path is the same serial as the one read without
// them through another, and so is one that carries bytes behind a terminator: R's SCSI volume and
// W's RST volume still go, and the RSTe NVMe record gets R's disk number.
TEST_F(ScanRef1, SerialsMatchUpToTheirTerminator) {
  for (const std::string &w_serial : {std::string("    SN0010"), std::string("SN0010\0X", 8)}) {
    SCOPED_TRACE(w_serial.size());
    std::ifstream f(sim::machine_file_path("ref1"));
    nlohmann::json m = nlohmann::json::parse(f);
    for (auto &d : m["storage"]["drives"]) {
      if (d["id"] == "R") d["scsi"]["serial"] = "  S30017";
      if (d["id"] == "W") d["scsi"]["serial"] = w_serial;
    }
    load_json(m.dump());
    with_com();
    vornscan_scan(list_, 1);
    vornscan_eliminate_extra_device_nodes(list_);
    EXPECT_EQ(named(), expected({"csmi5.0.0.500103aa00000000", "csmi11.0.0.500a0b0100000000",
                                 "disk11", "disk15", "disk12"}, 0));
    huld_error err{};
    uint32_t number = 0;
    EXPECT_EQ(huld_dev_get_disk_number(&err, &number, find("rster10.3.0")), 0) << err.message;
    EXPECT_EQ(number, 11u);
    release();
    CoUninitialize();
    com_ = false;
  }
}

// Without COM on the scanning thread the video pass finds nothing; without probing only the
// nodes the enumeration already classified are kept.
TEST_F(ScanRef1, NoComAndNoProbe) {
  load_file("ref1");
  vornscan_scan(list_, 1);
  EXPECT_EQ(named(), expected({}, 2));
  release();
  vornscan_scan(list_, 0);
  EXPECT_EQ(named(), std::vector<std::string>({"disk3", "disk3.pd5", "disk3.pd7", "rster10.3.0",
                                               "rster10.4.1", "rstep10.6.0", "rstes10.9.0",
                                               "SCSI11:0,8,0", "hub", "hub"}));
}

}  // namespace

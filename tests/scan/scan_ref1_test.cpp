// The application's scan of the reference machine: the probe discards, the kept records in
// enumeration order, and the list after the five elimination passes.
#include <algorithm>

#include "scan_fixture.h"

namespace {

const std::vector<std::string> kScanned = {
    "disk0", "disk1", "disk2", "disk4", "disk7", "disk8", "disk3", "disk3.pd5", "disk3.pd7",
    "disk12", "disk5", "disk9", "disk10", "disk11", "disk15", "disk14", "disk13", "disk18",
    "disk6", "nvme1", "csmi5.0.0.500103aa00000000", "csmi5.2.2.500102aa00000002",
    "csmi5.3.3.500102aa00000003", "csmi5.X.X.500210bb00000001", "csmi5.X.X.500211bb00000002",
    "csmi11.0.0.500a0b0100000000", "rster10.3.0", "rster10.4.1", "rstep10.6.0", "rstes10.9.0",
    "SCSI11:0,8,0", "hub R1", "hub R2", "SimCam A", "SimCam C"};

std::vector<std::string> without(std::vector<std::string> names,
                                 std::initializer_list<const char *> gone) {
  for (const char *name : gone) names.erase(std::find(names.begin(), names.end(), name));
  return names;
}

class ScanRef1 : public ScanTest {
 protected:
  // Hub records are named by their interface paths: compare them as "hub R1", "hub R2".
  std::vector<std::string> readable_names() const {
    std::vector<std::string> out = names();
    int hubs = 0;
    for (uint32_t i = 0; i < list_->count; ++i)
      if (list_->devices[i].conn.type == CONN_USB_HUB) out[i] = ++hubs == 1 ? "hub R1" : "hub R2";
    return out;
  }
};

TEST_F(ScanRef1, ScanKeepsEveryProbedNodeAndEliminationLeavesOneNodePerDrive) {
  load_file("ref1");
  with_com();
  ASSERT_EQ(vornscan_scan(list_, 1), 0);
  EXPECT_EQ(readable_names(), kScanned);  // nvme0 and CSMI S2 fail their probes

  vornscan_eliminate_extra_device_nodes(list_);
  EXPECT_EQ(readable_names(),
            without(kScanned, {"csmi5.0.0.500103aa00000000", "csmi11.0.0.500a0b0100000000",
                               "disk11", "disk15", "disk12"}));
  huld_error err{};
  uint32_t number = 0;
  ASSERT_EQ(huld_dev_get_disk_number(&err, &number, find("rster10.3.0")), 0);
  EXPECT_EQ(number, 11u);
  ASSERT_EQ(huld_dev_get_disk_number(&err, &number, find("rstep10.6.0")), 0);
  EXPECT_EQ(number, 15u);
  // The slots the removals vacated hold nothing that a walk over all 128 could close twice.
  for (uint32_t i = list_->count; i < VORNSCAN_MAX_DEVICES; ++i) {
    EXPECT_EQ(huld_dev_is_open(&list_->devices[i]), 0) << i;
    EXPECT_EQ(list_->devices[i].data_list, nullptr) << i;
  }
}

// Without COM on the scanning thread the video pass finds nothing; without probing only the
// nodes the enumeration already classified are kept.
TEST_F(ScanRef1, NoComAndNoProbe) {
  load_file("ref1");
  vornscan_scan(list_, 1);
  EXPECT_EQ(readable_names(), without(kScanned, {"SimCam A", "SimCam C"}));
  release();
  vornscan_scan(list_, 0);
  EXPECT_EQ(readable_names(),
            std::vector<std::string>({"disk3", "disk3.pd5", "disk3.pd7", "rster10.3.0",
                                      "rster10.4.1", "rstep10.6.0", "rstes10.9.0",
                                      "SCSI11:0,8,0", "hub R1", "hub R2"}));
}

}  // namespace

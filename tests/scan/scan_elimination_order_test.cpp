// The elimination's order cases: a CSMI node listed before its disk, a second CSMI RAID member of
// one drive, two drives whose serials are both empty and two whose serials differ only in case.
// Each runs all five passes together and checks that every slot the elimination vacated is an
// empty, prepared record.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "scan_fixture.h"

namespace {

class ScanEliminationOrder : public ScanTest {
 protected:
  void load_ref1_with(void (*edit)(nlohmann::json &)) {
    std::ifstream f(sim::machine_file_path("ref1"));
    nlohmann::json m = nlohmann::json::parse(f);
    edit(m);
    load_json(m.dump());
  }
  // Moves record `name` to slot `to` (not after its own), the others keeping their order.
  void move_to(const std::string &name, uint32_t to) {
    huld_dev *dev = find(name);
    ASSERT_NE(dev, nullptr) << name;
    ASSERT_LE(&list_->devices[to], dev);
    std::rotate(&list_->devices[to], dev, dev + 1);
  }
  // An ATA drive on `adapter` ("ahci": the in-box AHCI driver; "bot": a USB bridge, with SCSI/ATA
  // translation when `sat`).
  static nlohmann::json disk(const char *adapter, int n, const char *serial, bool sat) {
    nlohmann::json d = {{"adapter", adapter}, {"physical_drive", n},
                        {"address", {{"path_id", 0}, {"target_id", n}, {"lun", 0}}},
                        {"ata", {{"model", "SIM " + std::to_string(n)}, {"serial", serial}, {"firmware", "F1"}}}};
    if (sat) d["bridge"] = "sat";
    return d;
  }
  void load_sata_and_sat(const nlohmann::json &disks) {
    load_json(nlohmann::json({{"storage",
                               {{"adapters", {{{"id", "ahci"}, {"personality", "inbox_ahci"}},
                                              {{"id", "bot"}, {"personality", "usb_bot"}}}},
                                {"disks", disks}}}})
                  .dump());
  }
  uint32_t index_of(const std::string &name) { return static_cast<uint32_t>(find(name) - list_->devices); }
  std::vector<std::string> eliminate() {
    const uint32_t before = list_->count;
    vornscan_eliminate_extra_device_nodes(list_);
    huld_dev blank;
    std::memset(&blank, 0, sizeof blank);
    huld_dev_prepare(&blank);
    for (uint32_t i = list_->count; i < before; ++i)
      EXPECT_EQ(std::memcmp(&list_->devices[i], &blank, sizeof blank), 0) << "slot " << i;
    return names();
  }
};

// Drive D's CSMI node moved before its disk, and S1's disk (with a CSMI twin of its own) moved
// just after D's: removing D's CSMI node moves the target down one slot, and the walk must go on
// from the target's new place, so that S1's disk is still a target next.
TEST_F(ScanEliminationOrder, CsmiNodeBeforeItsDisk) {
  load_file("ref1");
  vornscan_scan(list_, 1);
  const std::vector<std::string> usual = eliminate();
  ASSERT_EQ(std::count(usual.begin(), usual.end(), "csmi5.0.0.500103aa00000000"), 0);
  ASSERT_EQ(std::count(usual.begin(), usual.end(), "csmi11.0.0.500a0b0100000000"), 0);
  release();

  vornscan_scan(list_, 1);
  move_to("csmi5.0.0.500103aa00000000", 0);
  move_to("disk13", index_of("disk4") + 1);
  std::vector<std::string> expected = usual;
  expected.erase(std::find(expected.begin(), expected.end(), "disk13"));
  expected.insert(std::find(expected.begin(), expected.end(), "disk4") + 1, "disk13");
  EXPECT_EQ(eliminate(), expected);
}

// M1 reached by three CSMI nodes: its RAID member on the RST adapter and two phys of the SAS HBA,
// the later of which is also taken for a member. The first member in the list is the target and
// every other CSMI node of M1 goes, the second member included; listed first, the second member is
// the target and the first goes.
TEST_F(ScanEliminationOrder, CsmiNodesOfOneRaidMember) {
  const char *member = "csmi5.2.2.500102aa00000002", *plain = "csmi11.2.2.500a0b0300000000",
             *second = "csmi11.3.3.500a0b0400000000";
  load_ref1_with([](nlohmann::json &m) {
    for (auto &a : m["storage"]["adapters"])
      if (a["id"] == "SAS")
        for (int phy : {2, 3})
          a["csmi"]["phys"][phy] = {{"attached", "end_device"}, {"protocol", "sata"}, {"drive", "M1"},
                                    {"sas_address", "50 0A 0B 0" + std::to_string(phy + 1) + " 00 00 00 00"}};
  });
  for (bool second_first : {false, true}) {
    vornscan_scan(list_, 1);
    ASSERT_NE(find(member), nullptr);
    ASSERT_NE(find(plain), nullptr);
    ASSERT_NE(find(second), nullptr);
    find(second)->csmi_raid_member = 1;
    if (second_first) move_to(second, 0);
    const std::vector<std::string> kept = eliminate();
    EXPECT_EQ(std::count(kept.begin(), kept.end(), plain), 0);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), second_first ? member : second), 0);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), second_first ? second : member), 1);
    release();
  }
}

// Serials are compared as read: an ATA disk and a SAT node of two different drives whose serials
// are both empty count as one drive, and the SAT node goes; a drive with a serial is kept.
TEST_F(ScanEliminationOrder, EmptySerialsCountAsOneDrive) {
  load_sata_and_sat({disk("ahci", 0, "", false), disk("bot", 1, "", true), disk("bot", 2, "S2", true)});
  vornscan_scan(list_, 1);
  ASSERT_EQ(names(), std::vector<std::string>({"disk0", "disk1", "disk2"}));
  EXPECT_EQ(eliminate(), std::vector<std::string>({"disk0", "disk2"}));
}

// Serials that differ only in the case of a letter are two drives: an ATA disk and a SAT node that
// report them both stay.
TEST_F(ScanEliminationOrder, SerialsDifferingInCaseAreTwoDrives) {
  load_sata_and_sat({disk("ahci", 0, "SIM0a7", false), disk("bot", 1, "SIM0A7", true)});
  vornscan_scan(list_, 1);
  ASSERT_EQ(names(), std::vector<std::string>({"disk0", "disk1"}));
  EXPECT_EQ(eliminate(), std::vector<std::string>({"disk0", "disk1"}));
}

}  // namespace

// A drive reached through two nodes of one interface class (two namespaces of an NVMe drive, a
// dual-ported SAS drive without MPIO) keeps its first node after the elimination; nodes that are not one drive (serials that differ, serials that are empty,
// models that differ, classes that differ) all stay.
#include <nlohmann/json.hpp>

#include "scan_fixture.h"
#include "support/log_capture.h"

namespace {

using json = nlohmann::json;
using testsupport::captured_log;

class ScanOneClass : public ScanTest {
 protected:
  testsupport::log_capture log_{HULD_LOG_DEBUG};
  // One adapter of `personality` with a disk per entry of `drives` (ids of `table`), at target 0
  // and LUN 0, 1, ... in order.
  void load(const char *personality, const json &table, const std::vector<std::string> &drives) {
    json disks = json::array();
    for (size_t i = 0; i < drives.size(); ++i)
      disks.push_back({{"adapter", "a"}, {"drive", drives[i]}, {"physical_drive", i},
                       {"address", {{"path_id", 0}, {"target_id", 0}, {"lun", i}}}});
    load_json(json({{"storage", {{"drives", table},
                                 {"adapters", {{{"id", "a"}, {"personality", personality}}}},
                                 {"disks", disks}}}})
                  .dump());
  }
  static json drive(const char *id, const char *kind, const std::string &model, const std::string &serial) {
    json model_json = {{"serial", serial}};
    if (std::string(kind) == "scsi") {
      model_json["vendor"] = "CORVANE";
      model_json["product"] = model;
      model_json["revision"] = "R1";
    } else {
      model_json["model"] = model;
      model_json["firmware"] = "F1";
    }
    return {{"id", id}, {kind, model_json}};
  }
  std::vector<std::string> scan_and_eliminate() {
    vornscan_scan(list_, 1);
    vornscan_eliminate_extra_device_nodes(list_);
    return names();
  }
};

using names_t = std::vector<std::string>;

// Namespaces of one NVMe drive on the in-box driver, and a SCSI drive on several paths of a SAS
// adapter: the first node of each drive stays. A removed node's place is taken by the next one,
// which is compared in its turn: one drive on three disks is kept once, two drives on two disks
// each are kept once each.
TEST_F(ScanOneClass, OneDriveThroughSeveralNodesOfOneClassKeepsTheFirst) {
  const struct {
    const char *personality, *kind;
  } adapters[] = {{"inbox_nvme", "nvme"}, {"sas", "scsi"}};
  const struct {
    std::vector<std::string> disks;
    names_t kept;
  } layouts[] = {
      {{"A", "A", "B"}, {"disk0", "disk2"}},
      {{"A", "A", "A"}, {"disk0"}},
      {{"A", "A", "B", "B"}, {"disk0", "disk2"}},
  };
  for (const auto &a : adapters)
    for (const auto &l : layouts) {
      SCOPED_TRACE(std::string(a.personality) + " " + std::to_string(l.disks.size()) + " disks, " +
                   std::to_string(l.kept.size()) + " kept");
      release();
      captured_log().clear();
      load(a.personality, {drive("A", a.kind, "SIM ONE", "SA0001"), drive("B", a.kind, "SIM ONE", "SB0002")},
           l.disks);
      EXPECT_EQ(scan_and_eliminate(), l.kept);
      EXPECT_NE(captured_log().find("eliminating device 1 (disk1)"), std::string::npos);
    }
}

// Two nodes stay when they are not one drive: different serials of one model, empty serials,
// one serial with different models, and (an NVMe and an ATA drive) one serial and model in two
// classes.
TEST_F(ScanOneClass, NodesOfDifferentDrivesStay) {
  const struct {
    const char *what;
    json first, second;
  } cases[] = {
      {"serials differ", drive("A", "nvme", "SIM ONE", "SA0001"), drive("B", "nvme", "SIM ONE", "SB0002")},
      {"no serials", drive("A", "nvme", "SIM ONE", ""), drive("B", "nvme", "SIM ONE", "")},
      {"models differ", drive("A", "nvme", "SIM ONE", "SA0001"), drive("B", "nvme", "SIM TWO", "SA0001")},
      {"no serials, ATA", drive("A", "ata", "SIM ONE", ""), drive("B", "ata", "SIM ONE", "")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    release();
    load(c.first.contains("ata") ? "inbox_ahci" : "inbox_nvme", {c.first, c.second}, {"A", "B"});
    EXPECT_EQ(scan_and_eliminate(), names_t({"disk0", "disk1"}));
  }

  // An NVMe drive and an ATA drive reporting one serial and one model.
  release();
  load_json(json({{"storage",
                   {{"adapters", {{{"id", "n"}, {"personality", "inbox_nvme"}},
                                  {{"id", "s"}, {"personality", "inbox_ahci"}}}},
                    {"disks", {{{"adapter", "n"}, {"physical_drive", 0}, {"nvme", drive("", "nvme", "SIM ONE", "S1")["nvme"]}},
                               {{"adapter", "s"}, {"physical_drive", 1}, {"ata", drive("", "ata", "SIM ONE", "S1")["ata"]}}}}}}})
                .dump());
  EXPECT_EQ(scan_and_eliminate(), names_t({"disk0", "disk1"}));
}

}  // namespace

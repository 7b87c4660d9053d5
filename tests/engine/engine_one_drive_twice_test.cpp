// Whole silent runs on a machine whose NVMe drive is reached through two disks of one adapter
// (namespaces 1 and 2 of the drive, on the in-box driver and on the maker's driver): the drive is
// one record, downloaded and activated once, and counted once in the summary.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "engine_case.h"
#include "sim/machine.h"

namespace {

using namespace enginetest;

constexpr uint32_t kUpdated = 5;

// The default machine with its NVMe drive ("N") behind a second disk of its adapter, at LUN 1 of
// the same target. With `maker` the adapter is the maker's driver, which is known by its
// description in the device tree: the adapter and both disks get device nodes.
std::string default_machine_with_two_namespaces(bool maker) {
  std::ifstream file(sim::machine_file_path("default"));
  nlohmann::json m = nlohmann::json::parse(file);
  nlohmann::json &storage = m["storage"];
  nlohmann::json &first = storage["disks"][0];
  storage["drives"] = {{{"id", "N"}, {"nvme", first["nvme"]}}};
  first.erase("nvme");
  first["drive"] = "N";
  storage["disks"].push_back({{"id", "nvme0ns2"}, {"adapter", first["adapter"]}, {"drive", "N"},
                              {"physical_drive", 2}, {"pdo", "\\Device\\00000033"},
                              {"address", {{"path_id", 0}, {"target_id", 0}, {"lun", 1}}}});
  if (!maker) return m.dump();
  nlohmann::json &adapter = storage["adapters"][0];
  adapter["personality"] = "maker_nvme";
  adapter["node"] = "MK";
  m["devices"] = {{{"id", "MK"}, {"instance_id", adapter["instance_id"]}, {"class", "SCSIAdapter"},
                   {"driver", {{{"name", "DriverDesc"}, {"type", "REG_SZ"}, {"data", "XR Brambleon SN NVMe Controller"}}}},
                   {"interfaces", {{{"class", "storage_port"}}}}}};
  adapter.erase("instance_id");
  for (int i : {0, 2}) {
    nlohmann::json &disk = storage["disks"][i];
    disk["node"] = "NS" + std::to_string(i);
    m["devices"].push_back({{"id", disk["node"]}, {"instance_id", "SCSI\\Disk&Ven_NVMe&Prod_CVN\\6&1&0&00000" + std::to_string(i)},
                            {"class", "DiskDrive"}, {"parent", "MK"}, {"pdo", disk["pdo"]},
                            {"properties", {{"RemovalPolicy", 1}}}, {"interfaces", {{{"class", "disk"}}}}});
    disk.erase("instance_id");
  }
  return m.dump();
}

TEST(EngineOneDriveTwice, DriveOnTwoNamespacesIsUpdatedOnce) {
  for (bool maker : {false, true}) {
    SCOPED_TRACE(maker ? "maker's driver" : "in-box driver");
    const Outcome out =
        run({default_machine_with_two_namespaces(maker),
             pkgtest::fwconfig(1, 1, pkgtest::monb_record("CORVANE CVN-512", "CN100001", "CN100002", "fw.img")),
             {{"fw.img", image(sim::ImageTarget::Nvme, "CN100002")}}, "/s"});
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(out.drive("N")["revision"], "CN100002");
    EXPECT_EQ(out.drive("N")["activations"], 1) << out.log;
    EXPECT_EQ(count_of(out.log, "successfully completed NVMe download."), 1u) << out.log;
    EXPECT_EQ(out.states.size(), 2u);  // the NVMe record and the SATA drive's
    EXPECT_EQ(out.states.at(0).second, kUpdated);
    EXPECT_EQ(out.summary, "0/1/0/1");  // the SATA drive has no record
    EXPECT_EQ(out.exit_code, 0);
  }
}

}  // namespace

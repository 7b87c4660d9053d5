// The NVMe bus reset on its two roads: an Intel RST device on its own handle and path id, any
// other device on its controller's storage port with the bus the system lists its disk on. Every
// NVMe drive of REF-1 holds an image waiting for a reset; exactly the drives on the reset port and
// bus start it.
#include "firmware/firmware_support.h"

#include <algorithm>
#include <optional>
#include <set>

#include "platform/win32.h"
#include "sim/drives/nvme_controller.h"
#include "sim/faults.h"
#include "sim/wmi.h"

using namespace fwtest;

namespace {

const char kPending[] = "SIMPEND1";

struct Reset {
  const char *record;
  std::set<std::string> activated;
};

const Reset kResets[] = {
    {"disk7", {"E"}},                            // Intel RST, path id 1 of port 5
    {"csmi5.X.X.500211bb00000002", {"N2"}},      // Intel RST RAID member, path id 11h
    {"disk1", {"B"}},                            // in-box NVMe, port 2
    {"disk2", {"C"}},                            // the maker's driver, port 4
    {"disk3.pd5", {"X", "PD5", "PD7"}},          // NevoX: the virtual disk's bus holds all three
    {"disk10", {"G"}},                           // UAS bridge that passes the reset on
};

class BusReset : public FirmwareTest {
 protected:
  void SetUp() override {
    FirmwareTest::SetUp();
    nlohmann::json m = ref1();
    for (auto &a : m["storage"]["adapters"])
      if (a["id"] == "UAS") a["knobs"] = {{"reset_reaches_drive", true}};
    load(m);
    const nlohmann::json all = nlohmann::json::parse(sim::storage_state_json());
    for (const auto &d : all["drives"])
      if (d["kind"] == "nvme") stage(d["id"]);
  }
  // Downloads an image into the drive and commits it to slot 2, to run at the next reset.
  static void stage(const std::string &id) {
    auto ctl = sim::storage_drive(id).nvme;
    std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, kPending, 4096);
    sim::NvmeCommand download;
    download.cdw0 = 0x11;
    download.cdw10 = 4096 / 4 - 1;
    ASSERT_TRUE(ctl->admin(download, image.data(), 4096).ok()) << id;
    sim::NvmeCommand commit;
    commit.cdw0 = 0x10;
    commit.cdw10 = 1 << 3 | 2;
    ASSERT_TRUE(ctl->admin(commit, nullptr, 0).ok()) << id;
  }
  // REF-1 with disk 19 (drive B2) on bus 2 of the in-box NVMe port whose bus 0 holds drive B, both
  // drives holding an image that runs at the next reset.
  void load_bus2_disk() {
    nlohmann::json m = ref1();
    m["storage"]["drives"].push_back(
        {{"id", "B2"}, {"nvme", {{"model", "SIM NVME B2"}, {"serial", "SB2030"}, {"firmware", "SIM10001"}}}});
    m["devices"].push_back({{"id", "B2"}, {"instance_id", "SCSI\\Disk&Ven_NVMe&Prod_SIM_NVME_B2\\7&2C3D4E5F&0&020000"},
                            {"class", "DiskDrive"}, {"parent", "NVMe-B"}, {"properties", {{"RemovalPolicy", 1}}},
                            {"interfaces", {{{"class", "disk"}}}}});
    m["storage"]["disks"].push_back({{"id", "B2"}, {"adapter", "NVMe-B"}, {"drive", "B2"}, {"physical_drive", 19},
                                     {"node", "B2"}, {"address", {{"path_id", 2}, {"target_id", 0}, {"lun", 0}}}});
    load(m);
    stage("B");
    stage("B2");
  }
  static std::set<std::string> running_pending() {
    std::set<std::string> ids;
    const nlohmann::json all = nlohmann::json::parse(sim::storage_state_json());
    for (const auto &d : all["drives"])
      if (d["revision"] == kPending) ids.insert(d["id"]);
    return ids;
  }
};

TEST_F(BusReset, StartsThePendingImagesOfTheDrivesOnItsPortAndBus) {
  for (const Reset &r : kResets) {
    SCOPED_TRACE(r.record);
    SetUp();
    vornfirmware_progress progress{-1.0};
    huld_error err{};
    ASSERT_EQ(vornfirmware_nvme_reset(&err, &dev(r.record), &progress), 0) << err.message;
    EXPECT_EQ(progress.load(), 1.0);
    EXPECT_EQ(running_pending(), r.activated);
  }
}

// A disk on bus 2 of an in-box NVMe port, beside drive B on bus 0: the reset goes to the bus the
// system lists the disk on, so only its drive starts the pending image.
TEST_F(BusReset, GoesToTheBusOfTheDisk) {
  load_bus2_disk();
  huld_error err{};
  ASSERT_EQ(vornfirmware_nvme_reset(&err, &dev("disk19"), nullptr), 0) << err.message;
  EXPECT_EQ(running_pending(), std::set<std::string>{"B2"});
}

// Disk 19 of that port when WMI does not say which bus it is on: its Win32_DiskDrive row missing,
// SCSIBus null, a text that is no number, or a number no bus has (a text beyond 32 bits, whose low
// bits are 0, included). The reset fails naming the disk and sends nothing: neither drive B on
// bus 0 nor drive B2 starts its image.
TEST_F(BusReset, WithoutABusFromWmiNothingIsReset) {
  const std::pair<const char *, std::optional<sim::WmiValue>> shapes[] = {
      {"no row", std::nullopt},
      {"null", sim::WmiValue::none()},
      {"not a number", sim::WmiValue::of("bus2")},
      {"beyond a path id", sim::WmiValue::of(258)},
      {"text beyond 32 bits", sim::WmiValue::of("4294967296")},
  };
  for (const auto &[what, bus] : shapes) {
    SCOPED_TRACE(what);
    load_bus2_disk();
    std::vector<sim::WmiRow> rows = *sim::wmi_table().find("Win32_DiskDrive");
    const auto disk19 = std::find_if(rows.begin(), rows.end(), [](const sim::WmiRow &row) {
      return std::any_of(row.begin(), row.end(), [](const auto &p) { return p.first == "Index" && p.second.number == 19; });
    });
    ASSERT_NE(disk19, rows.end());
    if (!bus) rows.erase(disk19);
    else
      for (auto &[name, value] : *disk19)
        if (name == "SCSIBus") value = *bus;
    sim::wmi_set_rows("Win32_DiskDrive", rows);

    vornfirmware_progress progress{-1.0};
    huld_error err{};
    EXPECT_EQ(vornfirmware_nvme_reset(&err, &dev("disk19"), &progress), 1);
    EXPECT_EQ(err.code, 1u);
    EXPECT_STREQ(err.message, "No SCSI bus listed for disk 19 of disk19; no bus reset sent");
    EXPECT_EQ(progress.load(), 0.0);
    EXPECT_TRUE(running_pending().empty());
  }
}

// A refused reset names the system error and the device, and leaves the progress at 0.0.
TEST_F(BusReset, FailedRequestsAreErrors) {
  sim::fail_ioctl("\\\\.\\Scsi5:", IOCTL_STORAGE_RESET_BUS, ERROR_IO_DEVICE);
  vornfirmware_progress progress{-1.0};
  huld_error err{};
  EXPECT_EQ(vornfirmware_nvme_reset(&err, &dev("csmi5.X.X.500211bb00000002"), &progress), 1);
  EXPECT_EQ(err.code, 1u);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "IOCTL_STORAGE_RESET_BUS returned 0x45D for csmi5.X.X.500211bb00000002\n");
  EXPECT_EQ(progress.load(), 0.0);
  EXPECT_TRUE(running_pending().empty());
}

// On the storage-port road: a WMI query that fails is returned as the drive report filled it; a
// port that does not open is named with the device; nothing is reset either way.
TEST_F(BusReset, StoragePortRoadFailures) {
  vornfirmware_progress progress{-1.0};
  huld_error err{};
  sim::FaultRule wmi;
  wmi.match.op = sim::FaultOp::other;
  wmi.match.keys = {{"api", "wmi"}, {"function", "ExecQuery"}, {"class", "Win32_SCSIControllerDevice"}};
  wmi.action = sim::FaultAction::fail_with(static_cast<DWORD>(E_FAIL));
  const int rule = sim::add_fault(wmi);
  EXPECT_EQ(vornfirmware_nvme_reset(&err, &dev("disk1"), &progress), 1);
  EXPECT_NE(err.code, 0u);
  EXPECT_STRNE(err.file, "vornfirmware\\firmware");
  EXPECT_EQ(progress.load(), 0.0);
  sim::remove_fault(rule);

  sim::fail_open("\\\\.\\Scsi2:", ERROR_ACCESS_DENIED);
  EXPECT_EQ(vornfirmware_nvme_reset(&err, &dev("disk1"), &progress), 1);
  EXPECT_EQ(err.code, 1u);
  EXPECT_EQ(err.subcode, 0u);
  const std::string message = err.message;
  EXPECT_EQ(message.rfind("CreateFile(\\\\?\\", 0), 0u) << message;
  EXPECT_NE(message.find(") failed for disk1"), std::string::npos) << message;
  EXPECT_TRUE(running_pending().empty());
}

// The reset joins the multithreaded apartment only for its own duration, and works on a thread
// that is already in a single-threaded one (which it leaves as it was).
TEST_F(BusReset, ComOnlyForTheResetsDuration) {
  huld_error err{};
  ASSERT_EQ(vornfirmware_nvme_reset(&err, &dev("disk1"), nullptr), 0) << err.message;
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "the reset left the apartment";
  CoUninitialize();

  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(vornfirmware_nvme_reset(&err, &dev("disk2"), nullptr), 0) << err.message;
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "still in its own apartment";
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(running_pending(), (std::set<std::string>{"B", "C"}));
}

}  // namespace

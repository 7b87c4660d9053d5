// The disk-interface and controller passes over the reference machine: the records they leave,
// two variants of the machine (instance-suffix anchoring, driver fill-in by the controller pass),
// driver recognition from the description, and the device-tree and request faults that make a
// pass skip one device and go on.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "platform/win32.h"
#include "sim/device.h"
#include "sim/devtree.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"

namespace {

constexpr uint32_t kPasses = HULD_ENUMERATE_DISK | HULD_ENUMERATE_HDC | HULD_ENUMERATE_SCSI_ADAPTER;
constexpr int kNoPort = 0xFF;

// name, unit (a logical unit id: its disk interface; "@node": the node's storage-port path;
// anything else: a path), type, driver, iface, open after the walk, bus, port, PathId, TargetId,
// controller node of instance_id ("" none), RST port path.
struct Row {
  const char *name, *unit;
  uint32_t type, driver, iface;
  bool open;
  uint32_t bus;
  int port, path_id, target;
  const char *controller;
  bool rst;
};

const Row kGolden[] = {
    {"disk0", "A", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, false, 0, 0, 0, 0, "AHCI-1", false},
    {"disk1", "B", CONN_DISK, WINDOWS_INBOX_NVME, IFACE_NONE, false, 2, 2, 0, 0, "NVMe-B", false},
    {"disk2", "@MK", CONN_DISK, XR_NVME, IFACE_NONE, false, 0, 4, 0, 0, "MK", false},
    {"disk4", "D", CONN_DISK, INTEL_RST, IFACE_NONE, false, 0, 5, 0, 0, "RST", true},
    {"disk7", "E", CONN_DISK, INTEL_RST, IFACE_NONE, false, 0, 5, 1, 0, "RST", true},
    {"disk8", "V", CONN_DISK, INTEL_RST, IFACE_NONE, false, 0, 5, 2, 0, "RST", true},
    {"disk3", "X", CONN_DISK, WINDOWS_INBOX_NVME, WINDOWS_NVME, false, 0, 6, 0, 0, "NevoX", false},
    {"disk3.pd5", "X", CONN_DISK, WINDOWS_INBOX_NVME, MARVELL_NEVOX, false, 0, 6, 0, 0, "NevoX", false},
    {"disk3.pd7", "X", CONN_DISK, WINDOWS_INBOX_NVME, MARVELL_NEVOX, false, 0, 6, 0, 0, "NevoX", false},
    {"disk12", "W", CONN_DISK, INTEL_RST, IFACE_NONE, false, 0, 5, 3, 0, "RST", true},
    {"disk5", "Y", CONN_DISK, MICROSOFT_STORAGE_SPACES, IFACE_NONE, false, 0, 7, 0, 0, "Spaces", false},
    {"disk9", "F", CONN_DISK, INBOX_USB_MASS_STORAGE, IFACE_NONE, false, 0, 8, 0, 0, "BOT", false},
    {"disk10", "G", CONN_DISK, INBOX_UAS_MASS_STORAGE, IFACE_NONE, false, 0, 9, 0, 0, "UAS", false},
    {"disk11", "R", CONN_DISK, INTEL_RSTE, IFACE_NONE, false, 0, 10, 0, 0, "RSTe", false},
    {"disk15", "T", CONN_DISK, INTEL_RSTE, IFACE_NONE, false, 0, 10, 0, 1, "RSTe", false},
    {"disk14", "S2", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, false, 0, 11, 0, 0, "SAS", false},
    {"disk13", "S1", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, false, 0, 11, 0, 1, "SAS", false},
    {"disk18", "RAM", CONN_DISK, DRIVER_NONE, IFACE_NONE, false, 0, kNoPort, 0, 0, "ROOT\\SIMRAMDISK\\0000", false},
    {"disk6", "\\\\.\\PhysicalDrive6", CONN_DISK_POOL_MEMBER, WINDOWS_INBOX_AHCI, IFACE_NONE, true, 0, kNoPort, 0, 0, "",
     false},
    {"nvme0", "@AHCI-2", CONN_DISK, WINDOWS_INBOX_AHCI, IFACE_NONE, true, 0, kNoPort, 0, 0, "", false},
    {"nvme1", "@NVMe-Z", CONN_DISK, WINDOWS_INBOX_NVME, IFACE_NONE, true, 0, kNoPort, 0, 0, "", false},
};

class EnumDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = huld_log_level;
    huld_log_level = 0;
    sim::register_storage_section();
    std::ifstream in(sim::machine_file_path("ref1"));
    machine_ = nlohmann::json::parse(in);
  }
  void TearDown() override {
    huld_dev_release(&e_);
    huld_log_level = saved_level_;
    sim::reset_machine();
    huld_environment_initialize();
  }
  nlohmann::json &node(const std::string &id) {
    for (nlohmann::json &n : machine_["devices"])
      if (n.value("id", "") == id) return n;
    throw std::runtime_error("no node " + id);
  }
  void load() {
    sim::load_machine_json(machine_.dump());
    huld_environment_initialize();
  }
  void enumerate() { huld_dev_enumerate_flags(&e_, kPasses); }
  const huld_dev *find(const char *name) const {
    for (uint32_t i = 0; i < e_.count; ++i)
      if (std::strcmp(e_.devices[i].name, name) == 0) return &e_.devices[i];
    return nullptr;
  }
  std::string storage_port(const std::string &id) {
    return sim::device_node_link(id, GUID_DEVINTERFACE_STORAGEPORT)->interface_path;
  }
  std::string unit_path(const char *unit) {
    if (unit[0] == '@') return storage_port(unit + 1);
    for (const sim::StorageDiskInfo &u : sim::storage_disks())
      if (u.id == unit) return u.interface_path;
    return unit;
  }

  nlohmann::json machine_;
  huld_dev_enumeration e_{};
  int saved_level_ = 0;
};

TEST_F(EnumDisk, ReferenceMachineGivesTheGoldenRecordsInPassOrder) {
  load();
  enumerate();
  ASSERT_EQ(e_.count, sizeof kGolden / sizeof kGolden[0]);
  for (uint32_t i = 0; i < e_.count; ++i) {
    const Row &r = kGolden[i];
    const huld_dev &d = e_.devices[i];
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(d.name, r.name);
    EXPECT_EQ(d.conn.type, r.type);
    EXPECT_EQ(d.conn.driver, r.driver);
    EXPECT_EQ(d.iface, r.iface);
    EXPECT_EQ(std::string(d.conn.path), unit_path(r.unit));
    EXPECT_EQ(huld_windows_handle_is_open(d.conn.handle), r.open ? 1 : 0);
    EXPECT_EQ(huld_windows_handle_is_open(d.rst_port_handle), 0);
    EXPECT_EQ(d.bus_number, r.bus);
    EXPECT_EQ(d.scsi_address.PortNumber, r.port);
    EXPECT_EQ(d.scsi_address.PathId, r.path_id);
    EXPECT_EQ(d.scsi_address.TargetId, r.target);
    const std::string controller = r.controller[0] ? sim::device_node_link(r.controller, GUID_DEVINTERFACE_DISK)->instance_id : "";
    EXPECT_EQ(std::string(d.instance_id), controller);
    EXPECT_STREQ(d.rst_port_path, r.rst ? "\\\\.\\Scsi5:" : "");
    if (std::strncmp(r.name, "nvme", 4) == 0) {
      EXPECT_EQ(d.disk_number, 0xFFFFFFFFu);
    } else {
      EXPECT_EQ(d.disk_number, static_cast<uint32_t>(std::atoi(r.name + 4)));
    }
  }
  // The Spaces volume carries the pool's members as the controller lists them.
  const huld_dev *spaces = find("disk5");
  std::string first;
  for (size_t i = 0; spaces->pool_member_ids[i]; ++i) first += static_cast<char>(spaces->pool_member_ids[i]);
  EXPECT_EQ(first, "SCSI\\DISK&VEN_&PROD_SIM_SATA_P\\4&1D9BC2E7&0&010000");
}

// A controller whose instance suffix ends in another controller's suffix is its own record, and
// the other keeps its own path.
TEST_F(EnumDisk, InstanceSuffixMatchesOnlyAWholePathComponent) {
  nlohmann::json q = node("NVMe-Z");
  q["id"] = "Q";
  q["instance_id"] = "PCI\\VEN_AAA2&DEV_0100&SUBSYS_00000000&REV_00\\14&2F3E4D5C&0&00E10";
  machine_["devices"].push_back(q);
  machine_["storage"]["adapters"].push_back({{"id", "Q"}, {"personality", "inbox_nvme"}, {"node", "Q"}, {"port", 12}});
  load();
  enumerate();
  const huld_dev *z = find("nvme1"), *qd = find("nvme2");
  ASSERT_TRUE(z && qd);
  EXPECT_EQ(std::string(z->conn.path), storage_port("NVMe-Z"));
  EXPECT_EQ(std::string(qd->conn.path), storage_port("Q"));
  EXPECT_EQ(find("nvme3"), nullptr);
}

// Without driver-key values the disk pass leaves the driver 0; the HDC pass finds the record
// and fills it in from the controller's description, changing nothing else.
TEST_F(EnumDisk, ControllerPassFillsInAMissingDriver) {
  node("AHCI-1")["driver"] = nlohmann::json::array();
  node("AHCI-1")["properties"]["DriverDesc"] = "Standard SATA AHCI Controller";
  load();
  huld_dev_enumerate_flags(&e_, 0);
  huld_windows_enumerate_disk(&e_);
  ASSERT_STREQ(e_.devices[0].name, "disk0");
  EXPECT_EQ(e_.devices[0].conn.driver, DRIVER_NONE);
  const uint32_t count = e_.count;
  huld_windows_enumerate_hdc(&e_);
  ASSERT_STREQ(e_.devices[0].name, "disk0");
  EXPECT_EQ(e_.devices[0].conn.driver, WINDOWS_INBOX_AHCI);
  EXPECT_EQ(huld_windows_handle_is_open(e_.devices[0].conn.handle), 0);
  EXPECT_EQ(e_.count, count + 2);  // disk6 (pool member), nvme0
}

// The node a machine description does not give is made with what the personality's driver
// presents: the disk pass recognises that driver on a machine of one adapter and one disk.
TEST_F(EnumDisk, TheNodeMadeForEachPersonalityNamesItsDriver) {
  const std::pair<const char *, uint32_t> cases[] = {
      {"inbox_ahci", WINDOWS_INBOX_AHCI},   {"inbox_nvme", WINDOWS_INBOX_NVME},
      {"nevox", WINDOWS_INBOX_NVME},        {"intel_rst", INTEL_RST},
      {"intel_rste", INTEL_RSTE},           {"maker_nvme", XR_NVME},
      {"usb_bot", INBOX_USB_MASS_STORAGE},  {"uas", INBOX_UAS_MASS_STORAGE},
      {"uas_sat", INBOX_UAS_MASS_STORAGE},  {"storage_spaces", MICROSOFT_STORAGE_SPACES},
      {"sas", WINDOWS_INBOX_AHCI},          {"plain", DRIVER_NONE},
  };
  for (const auto &[personality, driver] : cases) {
    SCOPED_TRACE(personality);
    sim::load_machine_json(R"({"storage": {"adapters": [{"id": "a", "personality": ")" + std::string(personality) +
                           R"("}], "disks": [{"adapter": "a", "scsi": {}}]}})");
    huld_environment_initialize();
    huld_dev_enumerate_flags(&e_, 0);
    huld_windows_enumerate_disk(&e_);
    ASSERT_EQ(e_.count, 1u);
    EXPECT_EQ(e_.devices[0].conn.driver, driver);
    huld_dev_release(&e_);
  }
}

TEST(RecognizeDriverDesc, RulesAndFallBack) {
  const std::pair<const char *, uint32_t> cases[] = {
      {"AMD-RAID Controller [storport]", WINDOWS_INBOX_AHCI},
      {"Vendor Intel RST VMD Controller", INTEL_RST},
      {"Adaptec RAID 7 series", ADAPTEC_RAID},
      {"INTERNAL USE ONLY - x", XR_NVME},
      {"XR Brambleon SN7", XR_NVME},
      {"Standard NVM Express Controller ", WINDOWS_INBOX_AHCI},  // equality, not prefix
      {"standard nvm express controller", WINDOWS_INBOX_AHCI},   // case counts
      {"", WINDOWS_INBOX_AHCI},
  };
  for (const auto &c : cases) EXPECT_EQ(recognize_driver_desc(c.first), c.second) << c.first;
}

sim::FaultRule devtree_fault(const char *function, std::map<std::string, std::string> keys, DWORD error) {
  sim::FaultRule r;
  r.match.op = sim::FaultOp::other;
  keys["function"] = function;
  r.match.keys = std::move(keys);
  r.action = sim::FaultAction::fail_with(error);
  return r;
}

// Each fault costs one record at most (or one field), never the walk.
TEST_F(EnumDisk, DeviceTreeFaultsSkipOneDevice) {
  load();
  const std::string a = sim::device_node_link("A", GUID_DEVINTERFACE_DISK)->instance_id;
  const std::string y = sim::device_node_link("Spaces", GUID_DEVINTERFACE_DISK)->instance_id;
  // B's instance id unreadable: still added, but no bus lookup (bus 0, not the lookup's 2).
  sim::add_fault(devtree_fault("SetupDiGetDevicePropertyW", {{"instance_id", sim::device_node_link("B", GUID_DEVINTERFACE_DISK)->instance_id}, {"property", "InstanceId"}}, ERROR_NOT_FOUND));
  // A's parent cannot be had through the configuration manager: skipped by the disk pass.
  sim::add_fault(devtree_fault("CM_Get_Parent", {{"instance_id", a}}, CR_NO_SUCH_DEVNODE));
  // The Spaces controller's power relations are missing: P is an ordinary disk.
  sim::add_fault(devtree_fault("SetupDiGetDevicePropertyW", {{"instance_id", y}, {"property", "PowerRelations"}}, ERROR_NOT_FOUND));
  // PhysicalDrive0 answers another number: A, skipped by the disk pass, is not added by the HDC
  // pass either.
  sim::FaultRule other_number;
  other_number.match.op = sim::FaultOp::ioctl;
  other_number.match.path = "\\\\.\\PhysicalDrive0";
  other_number.match.control_code = 0x002D1080;
  other_number.action = sim::FaultAction::custom_action("device_number", 9);
  sim::add_fault(other_number);
  sim::fail_open(storage_port("NVMe-Z"), ERROR_ACCESS_DENIED);
  enumerate();
  const huld_dev *b = find("disk1");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->bus_number, 0u);
  EXPECT_EQ(find("disk0"), nullptr);
  EXPECT_EQ(find("disk5")->pool_member_ids[0], 0);
  EXPECT_EQ(find("disk6")->conn.type, CONN_DISK);
  // B's id is unreadable in the disk-drive walk too: its controller looks diskless.
  ASSERT_NE(find("nvme1"), nullptr);
  EXPECT_EQ(std::string(find("nvme1")->conn.path), storage_port("NVMe-B"));
  EXPECT_EQ(find("nvme2"), nullptr);  // Z's storage port does not open
  EXPECT_NE(find("disk18"), nullptr);
}

// The whole disk-interface set failing leaves the controller passes to find every disk.
TEST_F(EnumDisk, FailedInterfaceSetLeavesTheControllerPasses) {
  load();
  sim::add_fault(devtree_fault("SetupDiGetClassDevsA", {{"guid", "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}}, ERROR_INVALID_PARAMETER));
  enumerate();
  ASSERT_NE(find("disk0"), nullptr);
  EXPECT_STREQ(find("disk0")->conn.path, "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(find("disk3.pd5"), nullptr);
  EXPECT_NE(find("nvme1"), nullptr);
}

// The suffix must stand between a '#' and a '#': neither a longer suffix ending in it nor one
// starting with it is taken for the controller's own.
TEST_F(EnumDisk, InstanceSuffixIsAnchoredOnBothSides) {
  const std::string z = "PCI\\VEN_AAA2&DEV_0100&SUBSYS_00000000&REV_00\\";
  const char *suffixes[] = {"14&2F3E4D5C&0&00E1", "4&2F3E4D5C&0&00E10"};
  int port = 12;
  for (const char *suffix : suffixes) {
    nlohmann::json q = node("NVMe-Z");
    q["id"] = "Q" + std::to_string(port);
    q["instance_id"] = z + suffix;
    machine_["devices"].push_back(q);
    machine_["storage"]["adapters"].push_back(
        {{"id", q["id"]}, {"personality", "inbox_nvme"}, {"node", q["id"]}, {"port", port++}});
  }
  load();
  enumerate();
  ASSERT_TRUE(find("nvme1") && find("nvme2") && find("nvme3"));
  EXPECT_EQ(std::string(find("nvme1")->conn.path), storage_port("NVMe-Z"));
  EXPECT_EQ(std::string(find("nvme2")->conn.path), storage_port("Q12"));
  EXPECT_EQ(std::string(find("nvme3")->conn.path), storage_port("Q13"));
  EXPECT_EQ(find("nvme4"), nullptr);
}

// A driver the disk pass found stays; the controller's own description does not replace it.
TEST_F(EnumDisk, ControllerPassKeepsTheDriverTheDiskPassFound) {
  node("AHCI-1")["properties"]["DriverDesc"] = "Standard NVM Express Controller";
  load();
  enumerate();
  ASSERT_NE(find("disk0"), nullptr);
  EXPECT_EQ(find("disk0")->conn.driver, WINDOWS_INBOX_AHCI);
}

// The controller pass opens the drive by its number and drops it when the drive answers another
// number than the disk-drive walk found.
TEST_F(EnumDisk, ControllerPassChecksTheNumberOfTheDriveItOpened) {
  load();
  sim::FaultRule second;
  second.match.op = sim::FaultOp::ioctl;
  second.match.path = "\\\\.\\PhysicalDrive0";
  second.match.control_code = 0x002D1080;
  second.match.count = sim::FaultCount::at(2);  // the first one is the disk-drive walk's
  second.action = sim::FaultAction::custom_action("device_number", 9);
  sim::add_fault(second);
  huld_windows_enumerate_hdc(&e_);
  EXPECT_EQ(find("disk0"), nullptr);
  EXPECT_EQ(find("disk9"), nullptr);
  EXPECT_NE(find("disk6"), nullptr);
}

// Both passes that meet an Intel RST disk open its port without sharing.
TEST_F(EnumDisk, RstPortIsOpenedExclusively) {
  load();
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    huld_dev_release(&e_);
    sim::open_log_clear();
    if (pass == 0) huld_windows_enumerate_disk(&e_);
    else huld_windows_enumerate_scsi_adapter(&e_);
    size_t opens = 0;
    for (const sim::OpenRecord &o : sim::open_log()) {
      if (o.path != "\\\\.\\Scsi5:") continue;
      ++opens;
      EXPECT_EQ(o.share, 0u);
    }
    EXPECT_GE(opens, 4u);
    ASSERT_NE(find("disk4"), nullptr);
  }
}

// The standard device property is taken only when all 40 bytes of it come back.
TEST_F(EnumDisk, StorageDescriptorNeedsAllFortyBytes) {
  load();
  sim::FaultRule shorter;
  shorter.match.op = sim::FaultOp::ioctl;
  shorter.match.path = unit_path("B");
  shorter.match.control_code = 0x002D1400;
  shorter.action = sim::FaultAction::custom_action("short_transfer", 36);
  sim::add_fault(shorter);
  enumerate();
  EXPECT_EQ(find("disk1"), nullptr);
  ASSERT_NE(find("disk0"), nullptr);
  const uint8_t *d = find("disk0")->descriptor;
  EXPECT_EQ(d[28] | d[29] << 8 | d[30] << 16 | d[31] << 24, 11);  // BusType SATA
}

// The pool-member check reads a disk's id no further than its terminator, even when a member id
// is longer (the id sits at the very end of readable memory here).
TEST_F(EnumDisk, PoolMemberCheckStopsAtTheEndOfTheId) {
  load();
  huld_windows_enumerate_disk(&e_);
  ASSERT_NE(find("disk5"), nullptr);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto *mem = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  char *id = mem + page - 5;
  std::memcpy(id, "SCSI", 5);
  _add_device(6, id, "Standard SATA AHCI Controller", &e_);
  munmap(mem, 2 * page);
  ASSERT_NE(find("disk6"), nullptr);
  EXPECT_EQ(find("disk6")->conn.type, CONN_DISK);
}

// A disk whose id only begins with a pool member's id is no member of the pool.
TEST_F(EnumDisk, PoolMemberIdMustMatchTheWholeId) {
  node("P")["instance_id"] = "SCSI\\Disk&Ven_&Prod_SIM_SATA_P\\4&1D9BC2E7&0&0100001";
  load();
  enumerate();
  ASSERT_NE(find("disk6"), nullptr);
  EXPECT_EQ(find("disk6")->conn.type, CONN_DISK);
}

}  // namespace

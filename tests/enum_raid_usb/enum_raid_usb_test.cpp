// The CSMI, RSTe, enclosure and USB passes on the reference machine: the records they leave, the
// machine's variants that change them, and the faults each pass must survive without leaking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/windows/huld_ata_windows.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "huld/windows/huld_windows_enumerate_raid.h"
#include "platform/win32.h"
#include "sim/devtree.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "support/log_capture.h"
#include "support/resource_check.h"

namespace {

using testsupport::captured_log;

struct Golden {
  const char *name;
  uint32_t iface, type;
  const char *path;  // "SES" and "HUB:<instance id>" stand for interface paths
  bool open;
  int port, path_id;  // scsi_address; -1: PortNumber FFh
  uint8_t raid_member;
  const char *rst_port;
  uint32_t rste_id;
};

const char kRst[] = "\\\\.\\Scsi5:", kSas[] = "\\\\.\\Scsi11:", kRste[] = "\\\\.\\Scsi10:";
const char kR1[] = "USB\\ROOT_HUB30\\4&1A2B3C4D&0&0", kR2[] = "USB\\ROOT_HUB\\4&2B3C4D5E&0&0";

const Golden kRef1[] = {
    {"csmi5.0.0.500103aa00000000", IFACE_NONE, CONN_CSMI, kRst, true, 5, 0, 0, "", 0},
    {"csmi5.2.2.500102aa00000002", IFACE_NONE, CONN_CSMI, kRst, true, 5, 2, 1, "", 0},
    {"csmi5.3.3.500102aa00000003", IFACE_NONE, CONN_CSMI, kRst, true, 5, 3, 1, "", 0},
    {"csmi5.X.X.500210bb00000001", IFACE_NONE, CONN_CSMI, kRst, true, 5, 0x10, 1, kRst, 0},
    {"csmi5.X.X.500211bb00000002", IFACE_NONE, CONN_CSMI, kRst, true, 5, 0x11, 1, kRst, 0},
    {"csmi11.0.0.500a0b0100000000", IFACE_NONE, CONN_CSMI, kSas, true, 11, 0, 0, "", 0},
    {"csmi11.1.1.500a0b0200000000", IFACE_NONE, CONN_CSMI, kSas, true, 11, 1, 0, "", 0},
    {"rster10.3.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, kRste, true, -1, 0, 0, "", 3},
    {"rster10.4.1", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, kRste, true, -1, 0, 0, "", 4},
    {"rstep10.6.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, kRste, true, -1, 0, 0, "", 6},
    {"rstes10.9.0", WINDOWS_NVME_INTEL_RSTE, CONN_RSTE, kRste, true, -1, 0, 0, "", 9},
    {"SCSI11:0,8,0", WINDOWS_SCSI, CONN_SES, "SES", true, 11, 0, 0, "", 0},
    {kR1, WINDOWS_USB_HUB, CONN_USB_HUB, "", false, -1, 0, 0, "", 0},
    {kR2, WINDOWS_USB_HUB, CONN_USB_HUB, "", false, -1, 0, 0, "", 0},
};

// The reference machine's description, for variants (loads it).
nlohmann::json ref1() {
  sim::load_machine_file(sim::machine_file_path("ref1"));
  return sim::machine_description();
}

class EnumRaidUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::register_storage_section();
    load(ref1());
  }
  void TearDown() override {
    huld_dev_release(&e_);
    sim::reset_machine();
    huld_environment_initialize();
  }
  void load(const nlohmann::json &j) {
    sim::load_machine_json(j.dump());
    huld_environment_initialize();
  }
  // The passes in the enumeration's order, on one block.
  void run() {
    huld_windows_enumerate_csmi(&e_);
    huld_windows_enumerate_rste(&e_);
    huld_windows_enumerate_ses(&e_);
    huld_windows_enumerate_usb(&e_);
  }
  // The CSMI pass on the reference machine whose RST port answers with a changed count.
  void csmi_with_rst_answer(const char *action, int value) {
    nlohmann::json j = ref1();
    j["faults"] = nlohmann::json::array(
        {{{"op", "ioctl"}, {"path", kRst}, {"action", {{"name", action}, {"value", value}}}}});
    load(j);
    huld_windows_enumerate_csmi(&e_);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < e_.count; ++i) out.push_back(e_.devices[i].name);
    return out;
  }
  const huld_dev *find(const std::string &name) const {
    for (uint32_t i = 0; i < e_.count; ++i)
      if (name == e_.devices[i].name) return &e_.devices[i];
    return nullptr;
  }
  size_t lines(const std::string &text) const {
    size_t n = 0;
    for (size_t at = captured_log().find(text); at != std::string::npos; at = captured_log().find(text, at + 1)) ++n;
    return n;
  }
  huld_dev_enumeration e_{};
  testsupport::log_capture log_{HULD_LOG_DEBUG};
};

nlohmann::json &adapter(nlohmann::json &j, const char *id) {
  for (auto &a : j["storage"]["adapters"])
    if (a["id"] == id) return a;
  throw std::runtime_error(id);
}

TEST_F(EnumRaidUsb, ReferenceMachineGivesTheExpectedRecords) {
  run();
  ASSERT_EQ(e_.count, std::size(kRef1));
  const std::string ses = sim::interface_path_for("SCSI\\Enclosure&Ven_SIM&Prod_ENCL\\4&4D4D4D4D&0&000800",
                                                  GUID_DEVINTERFACE_SES);
  for (size_t i = 0; i < std::size(kRef1); ++i) {
    const Golden &g = kRef1[i];
    const huld_dev &d = e_.devices[i];
    SCOPED_TRACE(g.name);
    std::string name = g.name;
    if (g.type == CONN_USB_HUB) name = sim::interface_path_for(g.name, GUID_DEVINTERFACE_USB_HUB);
    EXPECT_STRCASEEQ(d.name, name.c_str());
    EXPECT_EQ(d.iface, g.iface);
    EXPECT_EQ(d.conn.type, g.type);
    EXPECT_EQ(d.conn.driver, 0u);
    EXPECT_STRCASEEQ(d.conn.path, std::strcmp(g.path, "SES") == 0 ? ses.c_str() : g.path);
    EXPECT_EQ(huld_windows_handle_is_open(d.conn.handle), g.open ? 1 : 0);
    EXPECT_EQ(d.scsi_address.PortNumber, g.port < 0 ? 0xFF : g.port);
    EXPECT_EQ(d.scsi_address.PathId, g.path_id);
    EXPECT_EQ(d.csmi_raid_member, g.raid_member);
    EXPECT_EQ(d.csmi_link_rate, 0);
    if (g.type == CONN_CSMI) {
      EXPECT_EQ(d.csmi_port_id, g.path_id);
    }
    EXPECT_STREQ(d.rst_port_path, g.rst_port);
    EXPECT_EQ(huld_windows_handle_is_open(d.rst_port_handle), g.rst_port[0] ? 1 : 0);
    EXPECT_EQ(d.rste_disk_id, g.rste_id);
    EXPECT_EQ(d.rste_raid_member, std::strncmp(g.name, "rster", 5) == 0 ? 1 : 0);
    EXPECT_EQ(d.rste_disk_number, HULD_NO_NUMBER);
    EXPECT_EQ(d.disk_number, HULD_NO_NUMBER);
  }
  // The CSMI records carry the attached SAS address; the enclosure its descriptor.
  const uint8_t m2[8] = {0x50, 0x01, 0x02, 0xAA, 0, 0, 0, 3};
  EXPECT_EQ(std::memcmp(find("csmi5.3.3.500102aa00000003")->csmi_sas_address, m2, 8), 0);
  EXPECT_NE(find("SCSI11:0,8,0")->descriptor[0] | find("SCSI11:0,8,0")->descriptor[4], 0);
  EXPECT_EQ(lines("not root hub - skip\n"), 8u);
}

TEST_F(EnumRaidUsb, RootHubEntriesStopAtThirtyTwo) {
  huld_windows_enumerate_usb(&e_);
  ASSERT_EQ(e_.count, 2u);
  const huld_dev &r1 = e_.devices[0], &r2 = e_.devices[1];
  EXPECT_EQ(r2.usb_entry_count, 0u);
  ASSERT_EQ(r1.usb_entry_count, 32u);
  const huld_usb_entry &bot = r1.usb_entries[0], &kbd = r1.usb_entries[2], &longer = r1.usb_entries[3];
  EXPECT_EQ(bot.vid, 0xAAB1);
  EXPECT_EQ(bot.pid, 0x0001);
  EXPECT_EQ(bot.super_speed, 1);
  EXPECT_STREQ(bot.serial, "SIMBOT0001");
  EXPECT_STREQ(r1.usb_entries[1].serial, "SIMUAS0002");
  EXPECT_EQ(kbd.vid, 0xAAB4);
  EXPECT_STREQ(kbd.serial, "");
  EXPECT_EQ(std::strlen(longer.serial), 40u);  // 60 characters reported, the field keeps 40
  EXPECT_EQ(longer.vid, 0xAAB5);
  // The stalled serial request on port 6 leaves no entry: the hub on port 7 is entry 4.
  EXPECT_EQ(r1.usb_entries[4].vid, 0xAAB3);
  EXPECT_EQ(r1.usb_entries[4].pid, 0x0003);
  EXPECT_EQ(r1.usb_entries[5].pid, 0x0010);       // H2
  EXPECT_EQ(r1.usb_entries[6].vid, 0xAAC0);       // H2's first device
  EXPECT_EQ(r1.usb_entries[30].pid, 0x0015);      // H7
  EXPECT_EQ(r1.usb_entries[31].vid, 0xAAC0);      // H7's first device
  EXPECT_EQ(lines("skipping USB enumeration due to max USB info limitation\n"), 4u);
  EXPECT_EQ(lines("failed IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: 31\n"), 1u);
}

// V-D: a CSMI record sharing the first three bytes of a RAID drive's address is marked too.
TEST_F(EnumRaidUsb, RaidDriveMarksEveryRecordSharingThreeBytes) {
  nlohmann::json j = ref1();
  adapter(j, "RST")["csmi"]["phys"][0]["sas_address"] = "50 01 02 AA 00 00 00 01";
  load(j);
  huld_windows_enumerate_csmi(&e_);
  ASSERT_NE(find("csmi5.0.0.500102aa00000001"), nullptr);
  EXPECT_EQ(find("csmi5.0.0.500102aa00000001")->csmi_raid_member, 1);
  EXPECT_EQ(e_.count, 7u);
}

// V-E: only ports 0 to 15 are asked for CSMI; the enclosure is named by its own address.
TEST_F(EnumRaidUsb, PortSixteenIsNotAskedButItsEnclosureIsFound) {
  nlohmann::json j = ref1();
  adapter(j, "SAS")["port"] = 16;
  load(j);
  huld_windows_enumerate_csmi(&e_);
  huld_windows_enumerate_ses(&e_);
  for (const std::string &n : names()) EXPECT_EQ(n.rfind("csmi11", 0), std::string::npos) << n;
  EXPECT_EQ(names().back(), "SCSI16:0,8,0");
  EXPECT_EQ(lines("failed to open handle \\\\.\\Scsi11:\n"), 1u);
  EXPECT_EQ(lines("\\\\.\\Scsi16:"), 0u);
}

// V-J: the spare list is asked with the pass-through count, so a third spare is missed.
TEST_F(EnumRaidUsb, SparesFollowThePassThroughCount) {
  nlohmann::json j = ref1();
  adapter(j, "RSTe")["rste"]["spares"] = {9, 4, 3};
  load(j);
  huld_windows_enumerate_rste(&e_);
  const std::vector<std::string> expected = {"rster10.3.0", "rster10.4.1", "rstep10.6.0", "rstes10.9.0",
                                             "rstes10.4.1"};
  EXPECT_EQ(names(), expected);
}

// Absurd counts from the drivers are bounded: no over-read, no huge allocation, no leak.
TEST_F(EnumRaidUsb, AbsurdCsmiAndRsteCountsAreBounded) {
  nlohmann::json j = ref1();
  j["faults"] = nlohmann::json::array({
      {{"op", "ioctl"}, {"path", kSas}, {"action", {{"name", "phy_count"}, {"value", 200}}}},
      {{"op", "ioctl"}, {"path", kRst}, {"action", {{"name", "max_drives"}, {"value", "0xFFFFFFFF"}}}},
      {{"op", "ioctl"}, {"path", kRst}, {"action", {{"name", "drive_count"}, {"value", 255}}}},
      // The volume reports 2^32 - 1 members.
      {{"op", "other"}, {"keys", {{"request", "rste_enumeration"}, {"miniport_code", "0xE0002018"}}},
       {"action", {{"name", "scribble"}, {"value", 128}, {"bytes", "FF FF FF FF"}}}},
  });
  load(j);
  run();
  EXPECT_NE(find("csmi11.0.0.500a0b0100000000"), nullptr);  // 32 phys walked, the real ones found
  EXPECT_NE(find("csmi5.X.X.500210bb00000001"), nullptr);   // drives walked within the capped buffer
  size_t raid_only = 0;
  for (const std::string &n : names()) raid_only += n.rfind("csmi5.X.X.", 0) == 0;
  EXPECT_EQ(raid_only, 2u);  // the empty entries past the real drives carry no address: skipped
  EXPECT_NE(find("rstes10.9.0"), nullptr);
  // The volume's configuration is asked for 256 members, and its two real ones come back.
  EXPECT_NE(find("rster10.3.0"), nullptr);
  EXPECT_NE(find("rster10.4.1"), nullptr);
  for (const sim::TraceEntry &t : sim::trace_entries_for(IOCTL_SCSI_MINIPORT)) {
    if (t.miniport_code == 0xE000201Cu) {
      EXPECT_EQ(t.input.size(), 36u + 108u * 257u);
    }
  }
}

// The volume information request carries its volume index and nothing else, whatever the caller's
// buffer held; the answer comes back in that buffer.
TEST_F(EnumRaidUsb, VolumeInformationRequestGoesOutZeroed) {
  HANDLE port = CreateFileA(kRste, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  uint8_t info[132];
  std::memset(info, 0xA5, sizeof info);
  sim::trace_clear();
  EXPECT_EQ(intel_rste_get_raid_information(port, 1, info), 0);
  CloseHandle(port);
  const std::vector<sim::TraceEntry> sent = sim::trace_entries_for(IOCTL_SCSI_MINIPORT);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].input.size(), sizeof info);
  EXPECT_EQ(sent[0].input[28], 1);
  EXPECT_EQ(std::count(sent[0].input.begin() + 29, sent[0].input.end(), 0), 132 - 29);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(info) + 88, 7), std::string("S30017\0", 7));
  EXPECT_EQ(info[128], 2);  // members
}

// A failing SetupAPI call, an unopenable port, a port that fails a request: the device is skipped.
TEST_F(EnumRaidUsb, FailuresSkipTheDeviceAndLeakNothing) {
  nlohmann::json j = ref1();
  j["faults"] = nlohmann::json::array({
      {{"op", "other"}, {"keys", {{"function", "SetupDiGetClassDevsA"}, {"guid", "{F18A0E88-C30C-11D0-8815-00A0C906BED8}"}}},
       {"action", {{"fail", "ERROR_INVALID_PARAMETER"}}}},
      {{"op", "open"}, {"path", kRste}, {"count", {{"from", 3}}}, {"action", {{"fail", "ERROR_ACCESS_DENIED"}}}},
      {{"op", "open"}, {"path", kRst}, {"count", {{"nth", 5}}}, {"action", {{"fail", "ERROR_SHARING_VIOLATION"}}}},
      {{"op", "ioctl"}, {"control_code", "IOCTL_SCSI_GET_ADDRESS"}, {"action", {{"fail", "ERROR_IO_DEVICE"}}}},
  });
  load(j);
  run();
  EXPECT_EQ(lines("failed to enumerate GUID_DEVINTERFACE_USB_HUB: 87\n"), 1u);
  EXPECT_EQ(lines("failed to capture scsi address\n"), 1u);
  EXPECT_GE(lines("failed to open unique handle at \\\\.\\Scsi10: - skipping device\n"), 1u);
  EXPECT_EQ(lines("handle \\\\.\\Scsi5: could not be opened, skip device\n"), 1u);
  for (const std::string &n : names()) EXPECT_TRUE(n.rfind("csmi", 0) == 0 || n.rfind("rste", 0) == 0) << n;
  EXPECT_EQ(find("SCSI11:0,8,0"), nullptr);
}

// Odd hub answers and a missing property: a string descriptor whose length passes what came back, a node name whose
// length is absurd.
TEST_F(EnumRaidUsb, OddHubAnswersAreClamped) {
  nlohmann::json j = ref1();
  j["faults"] = nlohmann::json::array({
      {{"op", "ioctl"}, {"control_code", "0x220410"},
       {"action", {{"name", "string_length"}, {"value", 255}}}},
      {{"op", "ioctl"}, {"control_code", "0x220414"},
       {"action", {{"name", "actual_length"}, {"value", 70000}}}},
      {{"op", "other"}, {"keys", {{"function", "SetupDiGetDevicePropertyW"}, {"instance_id", kR2}, {"property", "InstanceId"}}},
       {"action", {{"fail", "ERROR_NOT_FOUND"}}}},
  });
  load(j);
  huld_windows_enumerate_usb(&e_);
  ASSERT_EQ(e_.count, 1u);  // R2 without its instance id is skipped
  EXPECT_EQ(lines("DEVPKEY_Device_InstanceId failed 9 - skip: 1168\n"), 1u);
  const huld_dev &r1 = e_.devices[0];
  EXPECT_EQ(r1.usb_entry_count, 5u);  // no downstream hub is walked
  EXPECT_EQ(std::strlen(r1.usb_entries[0].serial), std::strlen("SIMBOT0001"));
  EXPECT_EQ(lines("USB node connection name too long\n"), 1u);
  EXPECT_EQ(lines("skipping recursive enumeration, failed to get name\n"), 1u);
}

// The RAID configuration requests follow the driver's set count only up to 256.
TEST_F(EnumRaidUsb, CsmiRaidSetCountIsCapped) {
  csmi_with_rst_answer("set_count", 200000);
  size_t configs = 0;
  for (const sim::TraceEntry &t : sim::trace_entries_for(IOCTL_SCSI_MINIPORT))
    configs += t.signature == std::string("CSMIARY\0", 8) && t.miniport_code == 11u;
  EXPECT_EQ(configs, 256u);
  EXPECT_EQ(lines("reports 200000 raid sets, investigating the first 256\n"), 1u);
  EXPECT_NE(find("csmi5.X.X.500211bb00000002"), nullptr);
}

// A driver that reports more drives than it filled: the empty entries make no record.
TEST_F(EnumRaidUsb, RaidDriveWithoutAddressIsSkipped) {
  csmi_with_rst_answer("drive_count", 3);
  EXPECT_EQ(find("csmi5.X.X.0000000000000000"), nullptr);
  EXPECT_EQ(e_.count, 7u);
}

// The configuration's failure code and change count are logged from their own fields.
TEST_F(EnumRaidUsb, RaidConfigLogShowsFailureCodeAndChangeCount) {
  nlohmann::json j = ref1();
  adapter(j, "RST")["csmi"]["raid"]["sets"][1]["failure_code"] = "0x1234";
  adapter(j, "RST")["csmi"]["raid"]["sets"][1]["change_count"] = 7;
  load(j);
  huld_windows_enumerate_csmi(&e_);
  EXPECT_EQ(lines("    failure_code: 1234h\n"), 1u);
  EXPECT_EQ(lines("    nr_chg: 7h\n"), 1u);
  EXPECT_EQ(lines("    failure_code: 0h\n"), 1u);  // set 0
}

// A phy whose port identifier and attached phy identifier differ from its own identifier: the
// record is addressed by its own phy, and pass-through carries both identifiers.
TEST_F(EnumRaidUsb, CsmiRecordIsAddressedByItsOwnPhy) {
  nlohmann::json j = ref1();
  nlohmann::json &phy = adapter(j, "RST")["csmi"]["phys"][2];
  phy["port_identifier"] = 7;
  phy["attached_identifier"] = 9;
  load(j);
  huld_windows_enumerate_csmi(&e_);
  const huld_dev *m1 = find("csmi5.7.2.500102aa00000002");
  ASSERT_NE(m1, nullptr);
  EXPECT_EQ(m1->scsi_address.PathId, 2);
  EXPECT_EQ(m1->csmi_phy_id, 2);
  EXPECT_EQ(m1->csmi_port_id, 7);
  sim::trace_clear();
  EXPECT_EQ(huld_ata_windows_probe_csmi(const_cast<huld_dev *>(m1)), 1);
  const std::vector<sim::TraceEntry> sent = sim::trace_entries_for(IOCTL_SCSI_MINIPORT);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].input.at(28), 2);
  EXPECT_EQ(sent[0].input.at(29), 7);
}

// Every CSMI enumeration request gives the driver 60 seconds, every RSTe one 40.
TEST_F(EnumRaidUsb, EnumerationRequestsCarryTheirTimeOuts) {
  huld_windows_enumerate_csmi(&e_);
  huld_windows_enumerate_rste(&e_);
  size_t csmi = 0, rste = 0;
  for (const sim::TraceEntry &t : sim::trace_entries_for(IOCTL_SCSI_MINIPORT)) {
    ASSERT_GE(t.input.size(), 16u);
    const uint32_t timeout = t.input[12] | t.input[13] << 8 | t.input[14] << 16 | t.input[15] << 24;
    if (t.signature.rfind("CSMI", 0) == 0) {
      ++csmi;
      EXPECT_EQ(timeout, 60u) << t.path << " code " << t.miniport_code.value_or(0);
    } else if (t.signature == "NvmeRAID") {
      ++rste;
      EXPECT_EQ(timeout, 40u) << t.path << " code " << t.miniport_code.value_or(0);
    }
  }
  EXPECT_GE(csmi, 6u);
  EXPECT_GE(rste, 6u);
}

// The super-speed flag is the one of a device operating at SuperSpeed, not of one capable of it.
TEST_F(EnumRaidUsb, SuperSpeedFlagIsTheOperatingSpeed) {
  nlohmann::json j = ref1();
  for (nlohmann::json &n : j["devices"]) {
    if (n.value("id", "") != "R1") continue;
    n["hub"]["connections"][0]["super_speed_plus"] = true;     // BOT at SuperSpeedPlus
    n["hub"]["connections"][2]["super_speed_capable"] = true;  // the keyboard on a slower link
  }
  load(j);
  huld_windows_enumerate_usb(&e_);
  ASSERT_GE(e_.count, 1u);
  EXPECT_EQ(e_.devices[0].usb_entries[0].super_speed, 1);
  EXPECT_EQ(e_.devices[0].usb_entries[1].super_speed, 1);
  EXPECT_EQ(e_.devices[0].usb_entries[2].super_speed, 0);
}

// A chain of ten hubs below a root hub: the walk goes eight levels deep and no further.
TEST_F(EnumRaidUsb, HubChainIsWalkedEightLevelsDeep) {
  nlohmann::json devices = nlohmann::json::array();
  devices.push_back({{"id", "ROOT"}, {"instance_id", "USB\\ROOT_HUB30\\4&77&0&0"}, {"class", "USB"},
                     {"interfaces", {{{"class", "usb_hub"}}}},
                     {"hub", {{"type", 1}, {"ports", 1}, {"connections", {{{"port", 1}, {"node", "L1"}}}}}}});
  for (int level = 1; level <= 10; ++level) {
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_AAB3&PID_%04X\\6&77&0&1", 0x100 + level);
    nlohmann::json hub = {{"type", 2}, {"ports", 1}, {"connections", nlohmann::json::array()}};
    if (level < 10) hub["connections"].push_back({{"port", 1}, {"node", "L" + std::to_string(level + 1)}});
    devices.push_back({{"id", "L" + std::to_string(level)}, {"instance_id", id}, {"class", "USB"},
                       {"parent", level == 1 ? "ROOT" : "L" + std::to_string(level - 1)}, {"hub", hub}});
  }
  load({{"devices", devices}});
  huld_windows_enumerate_usb(&e_);
  ASSERT_EQ(e_.count, 1u);
  ASSERT_EQ(e_.devices[0].usb_entry_count, 8u);
  EXPECT_EQ(e_.devices[0].usb_entries[7].pid, 0x108);
  EXPECT_EQ(lines("USB hub depth limit reached - skip\n"), 1u);
}

// Handle values in the log carry their "h" suffix.
TEST_F(EnumRaidUsb, HandlesAreLoggedWithTheirSuffix) {
  run();
  const std::string &log = captured_log();
  // Some line reads `before`, a handle value ending in 'h', then `after`.
  auto logged = [&log](const std::string &before, const std::string &after) {
    for (size_t at = log.find(before); at != std::string::npos; at = log.find(before, at + 1)) {
      size_t end = at + before.size();
      while (end < log.size() && std::isalnum(static_cast<unsigned char>(log[end]))) ++end;
      if (end > at + before.size() && log[end - 1] == 'h' && log.compare(end, after.size(), after) == 0) return true;
    }
    return false;
  };
  const std::string ses = sim::interface_path_for("SCSI\\Enclosure&Ven_SIM&Prod_ENCL\\4&4D4D4D4D&0&000800",
                                                  GUID_DEVINTERFACE_SES);
  EXPECT_TRUE(logged("opened port str \\\\.\\Scsi5: handle ", " for csmi\n"));
  EXPECT_TRUE(logged("opened new rst handle ", " from \\\\.\\Scsi5:\n"));
  EXPECT_TRUE(logged("captured ses addr - path " + ses + ", handle ", "\n"));
}

}  // namespace

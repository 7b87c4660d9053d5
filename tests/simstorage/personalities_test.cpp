// Personalities: each reads its own knobs through the configuration hook (with its own errors),
// the plain SCSI unit answers as a unit without a port, and the placeholders of later drivers load
// and refuse what they do not have yet.
#include "simstorage_support.h"

namespace simstorage {
namespace {

std::string adapter_machine(const std::string &adapter) {
  return R"({"storage": {"adapters": [)" + adapter + "]}}";
}

TEST(PersonalityConfiguration, KnobsBelongToTheirPersonality) {
  auto error = [](const std::string &adapter) { return load_error(adapter_machine(adapter)); };
  EXPECT_EQ("", error(R"({"id": "a", "personality": "inbox_nvme", "knobs": {"windows81_mode": true,
                         "firmware_activate_return_code": "0x20", "foreign_miniport": "rc"}})"));
  EXPECT_EQ("machine description: storage.adapters[0].knobs.windows81_mode: expected true or false",
            error(R"({"id": "a", "personality": "inbox_nvme", "knobs": {"windows81_mode": 1}})"));
  // Another personality's knob is unknown here.
  EXPECT_EQ("machine description: storage.adapters[0].knobs: unknown knob \"windows81_mode\"",
            error(R"({"id": "a", "personality": "inbox_ahci", "knobs": {"windows81_mode": true}})"));
  EXPECT_NE(std::string::npos,
            error(R"({"id": "a", "personality": "sas", "knobs": {"foreign_miniport": "never"}})").find("expected one of"));
  // A unit without a port has no port number.
  EXPECT_NE(std::string::npos, error(R"({"id": "a", "personality": "plain", "port": 3})").find("unknown field \"port\""));
}

TEST(PersonalityConfiguration, TestsReconfigureAnAdapter) {
  sim::load_machine_json(adapter_machine(R"({"id": "a", "personality": "inbox_ahci"})"));
  EXPECT_NO_THROW(sim::storage_adapter_configure("a", R"({"get_info_insufficient_buffer": true})"));
  EXPECT_THROW(sim::storage_adapter_configure("a", R"({"get_info_insufficient_buffer": "yes"})"), std::runtime_error);
  EXPECT_THROW(sim::storage_adapter_configure("b", "{}"), std::runtime_error);
  sim::reset_machine();
}

// A RAM disk on the plain personality, and a SATA drive behind an RST placeholder.
const char *kMachine = R"({
  "os": { "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" },
  "storage": {
    "adapters": [
      { "id": "ram", "personality": "plain" },
      { "id": "rst", "personality": "intel_rst" }
    ],
    "disks": [
      { "id": "ram0", "adapter": "ram", "physical_drive": 0,
        "scsi": { "vendor": "RAMDISK", "product": "VIRTUAL DISK", "revision": "1.0", "serial": "RAM0001" } },
      { "id": "sata0", "adapter": "rst", "physical_drive": 1,
        "ata": { "model": "CORVANE CVS-256", "serial": "CVS256SER0001", "firmware": "CVS1.000" } }
    ]
  }
})";

class Plain : public StackTest {
 protected:
  void SetUp() override { load(kMachine); }
};

TEST_F(Plain, AnswersAsAUnitWithoutAPort) {
  HANDLE h = open("\\\\.\\PhysicalDrive0");
  Buf none, num(12), desc(512), addr(8);
  Answer a = inout2(h, kGetDeviceNumber, none, num);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(0u, num.g32(4));
  Buf q(12);
  ASSERT_TRUE(inout2(h, kQueryProperty, q, desc).ok);
  EXPECT_EQ(1u, desc.g32(28)) << "bus type SCSI";
  a = inout(h, kGetAddress, addr);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), a.error) << "no port, no address";
  Buf inq = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, inq).ok);
  EXPECT_EQ("RAMDISK VIRTUAL DISK", inq.str(88 + 8, 20));
  Buf vpd = scsi_pass_through(kVpd80Cdb, 4096, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, vpd).ok);
  EXPECT_EQ("RAM0001", vpd.str(88 + 4, 7));
  Buf sat = scsi_pass_through(kSatIdentifyCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, sat).ok);
  EXPECT_EQ(2, sat.g8(2));
  EXPECT_EQ(0x20, sat.g8(56 + 12)) << "invalid operation code";
  Buf cache(24);
  EXPECT_TRUE(inout2(h, 0x000740D4, none, cache).ok);
  EXPECT_FALSE(reset_bus(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  Buf pc = protocol_command(NvmeCmd{0x06, 0, 1}, 4096, 2);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), inout(h, kProtocolCommand, pc).error);
  Buf prop = protocol_query(49, 1, 1, 0, 4096), out(4096 + 48);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), inout2(h, kQueryProperty, prop, out).error);
  Buf act = firmware_activate(1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), inout(h, kScsiMiniport, act).error);
  // No SCSI port: the plain adapter took no port number, the RST adapter the first one.
  EXPECT_EQ(0u, sim::storage_disks()[1].port);
}

TEST_F(Plain, PlaceholderAnswersOnlyTheCommonRequests) {
  HANDLE lu = open("\\\\.\\PhysicalDrive1");
  Buf addr(8);
  ASSERT_TRUE(inout(lu, kGetAddress, addr).ok);
  Buf vpd = scsi_pass_through(kVpd80Cdb, 4096, 2);
  ASSERT_TRUE(inout(lu, kScsiPassThrough, vpd).ok);
  EXPECT_EQ("CVS256SER0001", vpd.str(88 + 4, 13)) << "the drive's own serial";
  Buf pc = protocol_command(NvmeCmd{0x06, 0, 1}, 4096, 2);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), inout(lu, kProtocolCommand, pc).error);
  Buf act = firmware_activate(1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), inout(lu, kScsiMiniport, act).error) << "F(1) on a unit";
  Buf port_act = firmware_activate(1);
  ASSERT_TRUE(inout(open("\\\\.\\Scsi0:"), kScsiMiniport, port_act).ok);
  EXPECT_EQ(1u, port_act.g32(20)) << "ReturnCode 1 on the port";
}

}  // namespace
}  // namespace simstorage

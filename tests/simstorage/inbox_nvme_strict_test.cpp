// The in-box NVMe driver refuses what the real one refuses: property and data type that do not
// belong together, "FIRMWARE" and protocol command Flags, data moving against the opcode. Every
// refusal counts a contract violation and leaves the drive alone. Also: miniport requests carry
// their signature and control code as fault keys.
#include "simstorage_support.h"

namespace simstorage {
namespace {

const char *kMachine = R"({
  "os": { "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" },
  "storage": {
    "adapters": [ { "id": "nvme", "personality": "inbox_nvme", "port": 0 } ],
    "disks": [ { "id": "d0", "adapter": "nvme", "physical_drive": 0,
                 "nvme": { "model": "CORVANE CVN-512", "serial": "CVN512SER0001", "firmware": "CV1.0.00" } } ]
  }
})";

class InboxNvmeStrict : public StackTest {
 protected:
  void SetUp() override {
    load(kMachine);
    disk = open("\\\\.\\PhysicalDrive0");
  }
  // The call fails with ERROR_INVALID_PARAMETER and one violation naming `what` is counted.
  void expect_refused(const Answer &a, const std::string &what) {
    EXPECT_FALSE(a.ok) << what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), a.error) << what;
    const std::string v = take_violations();
    EXPECT_NE(std::string::npos, v.find(what)) << v;
  }
  HANDLE disk = nullptr;
};

TEST_F(InboxNvmeStrict, PropertyAndDataTypeMustBelongTogether) {
  struct Case {
    uint32_t property, data_type, value;
  } cases[] = {{50, 1, 1}, {49, 1, 0}, {50, 2, 3}, {49, 3, 0x0C}};
  for (const Case &c : cases) {
    Buf q = protocol_query(c.property, c.data_type, c.value, 0, 4096);
    Buf out(4096 + 48);
    expect_refused(inout2(disk, kQueryProperty, q, out), "PropertyId " + std::to_string(c.property));
  }
  EXPECT_EQ(0u, sim::storage_nvme(0)->command_count(0x06) + sim::storage_nvme(0)->command_count(0x02) +
                    sim::storage_nvme(0)->command_count(0x0A));
}

TEST_F(InboxNvmeStrict, FirmwareRequestFlagsMustNameTheController) {
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "CV2.0.00", 4096);
  Buf dl = firmware_download(0, image.data(), 4096);
  dl.u32(40, 0);
  ASSERT_TRUE(inout(disk, kScsiMiniport, dl).ok);
  EXPECT_EQ(3u, dl.g32(20)) << "invalid parameter";
  EXPECT_NE(std::string::npos, take_violations().find("\"FIRMWARE\" Flags"));
  EXPECT_EQ(0u, sim::storage_nvme(0)->staged_bytes());
  Buf act = firmware_activate(2);
  act.u32(40, 3);
  ASSERT_TRUE(inout(disk, kScsiMiniport, act).ok);
  EXPECT_EQ(3u, act.g32(20));
  EXPECT_NE(std::string::npos, take_violations().find("\"FIRMWARE\" Flags"));
  EXPECT_EQ(0u, sim::storage_nvme(0)->command_count(0x10));
}

TEST_F(InboxNvmeStrict, ProtocolCommandFlagsAndDirection) {
  Buf flags = protocol_command(NvmeCmd{0xC0}, 0, 0);
  flags.u32(12, 0);
  expect_refused(inout(disk, kProtocolCommand, flags), "protocol command Flags");
  // Get Log Page moves data from the device only; Set Features to the device only; 00b none.
  Buf log_out = protocol_command(NvmeCmd{0x02, 0, 0x007F0003}, 512, 1);
  expect_refused(inout(disk, kProtocolCommand, log_out), "opcode 0x2 with data to");
  Buf set_in = protocol_command(NvmeCmd{0x09, 0, 0x0C}, 256, 2);
  expect_refused(inout(disk, kProtocolCommand, set_in), "opcode 0x9 with data from");
  Buf self_test = protocol_command(NvmeCmd{0x14, 0, 1}, 512, 2);
  expect_refused(inout(disk, kProtocolCommand, self_test), "opcode 0x14 with data from");
  EXPECT_EQ(0u, sim::storage_nvme(0)->command_count(0x02) + sim::storage_nvme(0)->command_count(0x09));
  // 11b either way: a vendor command (one the drive lists) with data in is taken.
  sim::storage_nvme(0)->list_vendor_command(true, 0xC3);
  Buf vendor = protocol_command(NvmeCmd{0xC3}, 512, 2);
  ASSERT_TRUE(inout(disk, kProtocolCommand, vendor).ok);
  EXPECT_EQ(2u, vendor.g32(16)) << "the controller does not know it";
}

TEST_F(InboxNvmeStrict, MiniportRequestsCarrySignatureAndCodeKeys) {
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"request", "miniport"}, {"signature", "FIRMWARE"}, {"miniport_code", sim::fault_key(0x1B0780)}};
  rule.action = sim::FaultAction::fail_with(ERROR_IO_DEVICE);
  sim::add_fault(rule);
  rule.match.keys = {{"signature", "NvmeMini"}, {"miniport_code", sim::fault_key(0xE0002000)}};
  rule.action = sim::FaultAction::fail_with(ERROR_GEN_FAILURE);
  sim::add_fault(rule);
  Buf act = firmware_activate(2);
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), inout(disk, kScsiMiniport, act).error);
  // A signature the driver does not own is asked about too, before it is refused.
  Buf other(40);
  srb_header(other, "NvmeMini", 0, 0xE0002000);
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), inout(disk, kScsiMiniport, other).error);
  EXPECT_EQ(0u, sim::storage_nvme(0)->command_count(0x10));
}

}  // namespace
}  // namespace simstorage

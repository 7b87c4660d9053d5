// Offsets and lengths a driver hands back are not trusted: the back ends copy sense and data from
// the offsets they built, and when two returned lengths disagree the smaller one counts. The
// simulated driver moves every returned offset ("corrupt_offsets") and overstates the length.
#include <vector>

#include "backends/backends_support.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "sim/drives/nvme_controller.h"
#include "sim/storage.h"

namespace simstorage {
namespace {

using namespace backends_test;

const char kDisk[] = "\\\\.\\PhysicalDrive0";

void custom_fault(DWORD code, const std::string &name, uint64_t value, uint64_t value2 = 0) {
  sim::FaultRule r;
  r.match.op = sim::FaultOp::ioctl;
  r.match.path = kDisk;
  r.match.control_code = code;
  r.action = sim::FaultAction::custom_action(name, value, value2);
  sim::add_fault(r);
}

class ReturnedOffsets : public BackendTest {
 protected:
  void TearDown() override {
    sim::clear_faults();
    BackendTest::TearDown();
  }
};

huld_scsi_cmd inquiry(std::vector<uint8_t> &buffer) {
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x12;
  cmd.cdb[4] = static_cast<uint8_t>(buffer.size());
  cmd.cdb_len = 6;
  cmd.data = buffer.data();
  cmd.data_len = static_cast<uint32_t>(buffer.size());
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.sense_len = 32;
  cmd.timeout_ms = 30000;
  return cmd;
}

TEST_F(ReturnedOffsets, ScsiPassThroughCopiesFromItsOwnOffsetsAndTheSmallerLength) {
  load_machine(os_windows10(), R"("storage": { "adapters": [ { "id": "u", "personality": "usb_bot" } ],
      "disks": [ { "adapter": "u", "physical_drive": 0, "scsi": { "vendor": "CORVANE", "product": "USB DISK 3000",
                   "revision": "R001", "serial": "USB0001" } } ] })");
  huld_dev &dev = open(kDisk, WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  std::vector<uint8_t> expected(96, 0);
  huld_scsi_cmd plain = inquiry(expected);
  huld_error err{};
  ASSERT_EQ(0, huld_scsi_execute(&err, &dev, &plain)) << err.message;

  // 20 bytes move; DataTransferLength claims all 96 (BytesReturned says 88 + 20); offsets moved.
  custom_fault(kScsiPassThrough, "short_transfer", 20);
  custom_fault(kScsiPassThrough, "corrupt_offsets", 16, 96);
  std::vector<uint8_t> got(96, 0xEE);
  huld_scsi_cmd cmd = inquiry(got);
  ASSERT_EQ(0, huld_scsi_execute(&err, &dev, &cmd)) << err.message;
  EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.begin() + 20),
            std::vector<uint8_t>(got.begin(), got.begin() + 20));
  EXPECT_EQ(std::vector<uint8_t>(76, 0xEE), std::vector<uint8_t>(got.begin() + 20, got.end()))
      << "bytes that did not come back are left alone";
  EXPECT_EQ(20u, cmd.xfer_len);

  // Sense from the offset the request built.
  sim::clear_faults();
  custom_fault(kScsiPassThrough, "scsi_status", 2, 0x052400);
  custom_fault(kScsiPassThrough, "corrupt_offsets", 16);
  huld_scsi_cmd failing = inquiry(got);
  ASSERT_EQ(0, huld_scsi_execute(&err, &dev, &failing)) << err.message;
  EXPECT_EQ(2, failing.scsi_status);
  EXPECT_EQ(0x70, failing.sense[0]);
  EXPECT_EQ(0x05, failing.sense[2] & 0x0F);
  EXPECT_EQ(0x24, failing.sense[12]);
}

TEST_F(ReturnedOffsets, ProtocolCommandCopiesFromItsOwnOffsetAndAtMostTheCallerBuffer) {
  load_machine(os_windows10(), R"("storage": { "adapters": [ { "id": "n", "personality": "inbox_nvme" } ],
      "disks": [ { "adapter": "n", "physical_drive": 0, "nvme": { "serial": "NV0001" } } ] })");
  // A vendor command (from the device) the controller answers with a pattern.
  sim::storage_nvme(0)->list_vendor_command(true, 0xC6);
  sim::storage_nvme(0)->set_vendor_handler([](sim::NvmeController &, const sim::NvmeCommand &cmd, bool, uint8_t *data,
                                              uint32_t len) {
    if (cmd.opcode() != 0xC6) return sim::nvme_status(sim::kNvmeInvalidOpcode);
    for (uint32_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    sim::NvmeCompletion c;
    c.data_transferred = len;
    return c;
  });
  custom_fault(kIoctlProtocolCommand, "corrupt_offsets", 16, 0x100000);
  huld_dev &dev = open(kDisk, WINDOWS_INBOX_NVME, WINDOWS_NVME);
  std::vector<uint8_t> buffer(4096 + 64, 0xEE);
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0xC6;
  cmd.data = buffer.data();
  cmd.data_len = 4096;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  huld_error err{};
  ASSERT_EQ(0, huld_nvme_execute(&err, &dev, &cmd)) << err.message;
  for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(static_cast<uint8_t>(i * 7 + 1), buffer[i]) << "byte " << i;
  EXPECT_EQ(std::vector<uint8_t>(64, 0xEE), std::vector<uint8_t>(buffer.begin() + 4096, buffer.end()));
}

}  // namespace
}  // namespace simstorage

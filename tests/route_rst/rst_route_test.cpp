// NVMe behind Intel RST on REF-1: the probe, Identify through "IntelNvm", whole firmware updates
// through "IntelFw " (one drive, and two drives of one port at once), and the driver's faults,
// each ending as an error record, never as success.
#include <string>
#include <thread>
#include <vector>

#include "huld/windows/huld_nvme_windows_rst.h"
#include "huld/windows/intel_fw_common.h"
#include "rst_support.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"

namespace rst_test {
namespace {

huld_nvme_cmd command(uint8_t opcode, void *data = nullptr, uint32_t len = 0, uint32_t ddir = HULD_DDIR_NONE) {
  huld_nvme_cmd c{};
  c.cdw0 = opcode;
  c.data = data;
  c.data_len = len;
  c.ddir = ddir;
  c.timeout_ms = 30000;
  return c;
}

std::string serial_of(huld_dev &dev, huld_error *err, int *result = nullptr) {
  std::vector<uint8_t> id(4096, 0xAA);
  huld_nvme_cmd c = command(0x06, id.data(), 4096, HULD_DDIR_FROM_DEVICE);
  c.cdw10 = 1;
  const int r = huld_nvme_execute(err, &dev, &c);
  if (result) *result = r;
  const char *sn = reinterpret_cast<const char *>(id.data() + 4);
  std::string s(sn, strnlen(sn, 20));
  return s.substr(0, s.find(' '));
}

// Downloads the image in 8 KiB pieces and commits it (CDW10 09h: slot 1, action 1). 0 or 1.
int update(huld_dev &dev, const std::vector<uint8_t> &image, huld_error *err, uint32_t commit_cdw10 = 0x09) {
  for (size_t off = 0; off < image.size(); off += 8192) {
    std::vector<uint8_t> piece(image.begin() + off, image.begin() + std::min(image.size(), off + 8192));
    piece.resize((piece.size() + 3) & ~size_t(3), 0);
    huld_nvme_cmd dl = command(0x11, piece.data(), static_cast<uint32_t>(piece.size()), HULD_DDIR_TO_DEVICE);
    dl.cdw10 = static_cast<uint32_t>(piece.size() / 4 - 1);
    dl.cdw11 = static_cast<uint32_t>(off / 4);
    if (huld_nvme_execute(err, &dev, &dl)) return 1;
  }
  huld_nvme_cmd commit = command(0x10);
  commit.cdw10 = commit_cdw10;
  return huld_nvme_execute(err, &dev, &commit);
}

std::string g_log;
int capture(const char *text) {
  g_log += text;
  return 0;
}
void capture_log() { static const bool registered = (huld_log_add_sink(capture), true); (void)registered; }

std::string running(const char *drive) { return sim::storage_drive(drive).nvme->running_revision(); }

TEST_F(RstTest, ProbeClaimsOnlyNvmeDrivesTheDriverPassesThrough) {
  huld_dev &e = disk(7);
  EXPECT_EQ(huld_nvme_windows_rst_probe(&e), 1);
  EXPECT_EQ(e.scsi_address.PathId, 1);
  EXPECT_EQ(huld_nvme_windows_rst_probe(&disk(4)), 0);   // D: SATA, ReturnCode 1
  EXPECT_EQ(huld_nvme_windows_rst_probe(&disk(8)), 0);   // V: a volume
  EXPECT_EQ(huld_nvme_windows_rst_probe(&member(0x11)), 1);
  EXPECT_EQ(huld_nvme_windows_rst_probe(&member(0x05)), 0);  // nothing at that address

  // Without the port handle nothing is sent to the port.
  sim::trace_clear();
  EXPECT_EQ(huld_nvme_windows_rst_probe(&disk(7, false)), 0);
  EXPECT_TRUE(sim::trace_entries_for(kMiniport).empty());
  // A disk whose address cannot be read is not claimed.
  sim::fail_ioctl("\\\\.\\PhysicalDrive7", IOCTL_SCSI_GET_ADDRESS, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(huld_nvme_windows_rst_probe(&disk(7)), 0);

  // The whole chain decides E's interface with this probe, sending Timeout 0.
  huld_dev &again = disk(7);
  sim::clear_faults();
  sim::trace_clear();
  huld_error err{};
  ASSERT_EQ(huld_dev_probe(&err, &again), 0) << err.message;
  EXPECT_EQ(again.iface, static_cast<uint32_t>(WINDOWS_NVME_INTEL_RST));
  const auto sent = sim::trace_entries_for(kMiniport);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front().signature, "IntelNvm");
  EXPECT_EQ(sent.front().timeout.value_or(99), 0u);
}

TEST_F(RstTest, IdentifyReachesTheAddressedDrive) {
  huld_dev &e = probed_e();
  huld_dev &n2 = member(0x11);
  n2.iface = WINDOWS_NVME_INTEL_RST;
  huld_error err{};
  EXPECT_EQ(serial_of(e, &err), "SE0005");
  EXPECT_EQ(serial_of(n2, &err), "SN0011");
  EXPECT_EQ(sim::trace_entries_for(kMiniport).back().timeout.value_or(0), 30u);

  // Format NVM goes to the in-box routing on the disk handle, which the driver does not support.
  sim::trace_clear();
  huld_nvme_cmd format = command(0x80);
  EXPECT_EQ(huld_nvme_execute(&err, &e, &format), 1);
  EXPECT_EQ(err.code, HULD_ERROR_SYSTEM);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(sim::trace_entries_for(kMiniport).empty());

  // E4h without data carries a zeroed 4096-byte buffer; the caller's record keeps its fields.
  huld_nvme_cmd e4 = command(0xE4);
  EXPECT_EQ(huld_nvme_execute(&err, &e, &e4), 0) << err.message;
  EXPECT_EQ(sim::trace_entries_for(kMiniport).back().input.size(), 164u + 4096u);
  EXPECT_EQ(e4.data, nullptr);
  EXPECT_EQ(e4.data_len, 0u);
  EXPECT_NE(huld_nvme_get_status(&e4), 0);  // the drive has no such opcode: the command set judges
}

// Both security commands run through the in-box routing on the disk handle, never as
// "IntelNvm" pass-throughs.
TEST_F(RstTest, SecurityCommandsNeverGoThroughIntelNvm) {
  huld_dev &e = probed_e();
  std::vector<uint8_t> buf(512);
  for (auto [opcode, ddir] : {std::pair{0x81, HULD_DDIR_TO_DEVICE}, std::pair{0x82, HULD_DDIR_FROM_DEVICE}}) {
    sim::trace_clear();
    huld_nvme_cmd c = command(static_cast<uint8_t>(opcode), buf.data(), 512, ddir);
    huld_error err{};
    huld_nvme_execute(&err, &e, &c);
    EXPECT_TRUE(sim::trace_entries_for(kMiniport).empty()) << opcode;
    EXPECT_FALSE(sim::trace_entries().empty()) << opcode;
  }
}

// A RAID member reached through CSMI holds the port's handle, not a disk's: the commands the
// in-box routing would run are refused and nothing reaches the port (where the drive at 0:0:0
// would answer for it).
TEST_F(RstTest, MemberWithoutDiskHandleRefusesReroutedCommands) {
  huld_dev &n1 = member(0x10);
  n1.iface = WINDOWS_NVME_INTEL_RST;
  std::vector<uint8_t> buf(512);
  huld_nvme_cmd receive = command(0x82, buf.data(), 512, HULD_DDIR_FROM_DEVICE);
  huld_nvme_cmd format = command(0x80);
  huld_nvme_cmd flush = command(0x00);
  flush.queue = HULD_NVME_QUEUE_IO;
  for (huld_nvme_cmd *c : {&receive, &format, &flush}) {
    sim::trace_clear();
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &n1, c), 1);
    EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(err.subcode, c->cdw0);
    EXPECT_TRUE(sim::trace_entries().empty()) << c->cdw0;
  }
}

// NVM opcodes 65h and 66h are handed to the in-box routing, whose SCSI translation refuses them.
TEST_F(RstTest, NvmOpcodes65And66GoToTheInBoxRouting) {
  huld_dev &e = probed_e();
  for (uint8_t opcode : {uint8_t{0x65}, uint8_t{0x66}}) {
    huld_nvme_cmd c = command(opcode);
    c.queue = HULD_NVME_QUEUE_IO;
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &e, &c), 1);
    EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(err.subcode, opcode);
    EXPECT_NE(std::string(err.message).find("has no scsi translation"), std::string::npos)
        << err.message;
  }
}

// "IntelNvm" has no queue field: an I/O command that is not rerouted is refused, not run as the
// admin command of the same opcode.
TEST_F(RstTest, NvmQueueCommandsAreNotSentAsAdminCommands) {
  huld_dev &e = probed_e();
  auto e_model = sim::storage_drive("E").nvme;
  std::vector<uint8_t> buf(4096);
  huld_nvme_cmd read = command(0x02, buf.data(), 4096, HULD_DDIR_FROM_DEVICE);
  huld_nvme_cmd dsm = command(0x09, buf.data(), 16, HULD_DDIR_TO_DEVICE);
  // The firmware opcodes on the NVM queue are not the admin firmware commands either: neither
  // an "IntelFw " download nor an activation may come of them.
  huld_nvme_cmd commit = command(0x10);
  commit.cdw10 = 0x09;
  huld_nvme_cmd download = command(0x11, buf.data(), 4096, HULD_DDIR_TO_DEVICE);
  download.cdw10 = 4096 / 4 - 1;
  for (huld_nvme_cmd *c : {&read, &dsm, &commit, &download}) {
    c->queue = HULD_NVME_QUEUE_IO;
    c->nsid = 1;
    sim::trace_clear();
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &e, c), 1);
    EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(err.subcode, c->cdw0);
    EXPECT_TRUE(sim::trace_entries().empty()) << c->cdw0;
  }
  EXPECT_EQ(e_model->staged_bytes(), 0u);
}

// CDW10 0Ah is slot 2 with commit action 1: the slot comes from FS (bits 2:0), not from CA.
TEST_F(RstTest, CommitTakesTheSlotFromFirmwareSlotBits) {
  auto e_model = sim::storage_drive("E").nvme;
  ASSERT_GE(e_model->config().slot_count, 2);
  ASSERT_FALSE(e_model->config().slot1_read_only);
  huld_dev &e = probed_e();
  const std::string before = e_model->slot_revision(1);
  huld_error err{};
  ASSERT_EQ(update(e, sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW002", 9000), &err, 0x0A), 0)
      << err.message;
  EXPECT_EQ(e_model->slot_revision(2), "SIMFW002");
  EXPECT_EQ(e_model->slot_revision(1), before);
}

struct Activation {
  sim::NvmeActivation when;
  bool new_at_once;
  const char *name;
};

class RstUpdate : public RstTest, public ::testing::WithParamInterface<Activation> {};

TEST_P(RstUpdate, WholeDownloadAndActivationOnE) {
  auto e_model = sim::storage_drive("E").nvme;
  e_model->set_activation(GetParam().when);
  huld_dev &e = probed_e();
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW002", 20002);
  huld_error err{};
  ASSERT_EQ(update(e, image, &err), 0) << err.message;  // 20h (power cycle) counts as success
  EXPECT_EQ(running("E"), GetParam().new_at_once ? "SIMFW002" : "SIM10001");
  EXPECT_EQ(e_model->slot_revision(1), "SIMFW002");

  uint32_t slot = 0;
  ASSERT_EQ(intel_fw_get_active_slot(&err, e.rst_port_handle, &e.scsi_address, &slot), 0) << err.message;
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(running("N1"), "SIM10001");  // no other drive of the port saw the image
}

INSTANTIATE_TEST_SUITE_P(Activations, RstUpdate,
                         ::testing::Values(Activation{sim::NvmeActivation::AtCommit, true, "AtCommit"},
                                           Activation{sim::NvmeActivation::AtReset, false, "AtReset"},
                                           Activation{sim::NvmeActivation::AtPowerCycle, false, "AtPowerCycle"}),
                         [](const ::testing::TestParamInfo<Activation> &i) { return std::string(i.param.name); });

TEST_F(RstTest, TwoDrivesOfOnePortUpdateAtOnce) {
  sim::storage_drive("E").nvme->set_activation(sim::NvmeActivation::AtCommit);
  sim::storage_drive("N1").nvme->set_activation(sim::NvmeActivation::AtCommit);
  huld_dev &e = probed_e();
  huld_dev &n1 = member(0x10);
  n1.iface = WINDOWS_NVME_INTEL_RST;
  const auto image_e = sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW00E", 60000);
  const auto image_n = sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW00N", 50000);
  huld_error err_e{}, err_n{};
  int rc_e = -1, rc_n = -1;
  std::thread te([&] { rc_e = update(e, image_e, &err_e); });
  std::thread tn([&] { rc_n = update(n1, image_n, &err_n); });
  te.join();
  tn.join();
  EXPECT_EQ(rc_e, 0) << err_e.message;
  EXPECT_EQ(rc_n, 0) << err_n.message;
  EXPECT_EQ(running("E"), "SIMFW00E");
  EXPECT_EQ(running("N1"), "SIMFW00N");
  EXPECT_EQ(running("N2"), "SIM10001");
}

TEST_F(RstTest, PassThroughFaultsEndAsErrorRecords) {
  huld_dev &e = probed_e();
  huld_error err{};
  int result = 0;

  int id = sim::fail_ioctl(kPort, kMiniport, ERROR_IO_DEVICE);
  serial_of(e, &err, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err.code, HULD_ERROR_SYSTEM);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing scsi miniport rst DeviceIoControl");
  sim::remove_fault(id);

  // A refused request leaves a zeroed completion: not a success.
  id = port_fault("return_code", 5);
  serial_of(e, &err, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err.subcode, 5u);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 5 on iRST pass-through");
  sim::remove_fault(id);

  // An NVMe error in the completion is handed to the command set.
  id = port_fault("nvme_status", 0x0002);
  std::vector<uint8_t> id_data(4096);
  huld_nvme_cmd c = command(0x06, id_data.data(), 4096, HULD_DDIR_FROM_DEVICE);
  c.cdw10 = 1;
  EXPECT_EQ(huld_nvme_execute(&err, &e, &c), 0);
  EXPECT_EQ(huld_nvme_get_status(&c), 0x02);
  sim::remove_fault(id);

  // Data are read where the request put them, whatever offset comes back; a short answer leaves
  // zeros, never stale bytes.
  id = port_fault("corrupt_offsets", 32, 8);
  EXPECT_EQ(serial_of(e, &err, &result), "SE0005");
  EXPECT_EQ(result, 0);
  sim::remove_fault(id);
  id = port_fault("short_transfer", 8);
  EXPECT_EQ(serial_of(e, &err, &result), "SE00");
  sim::remove_fault(id);

  // An answer that stops before the end of the completion: the zeroes sent are no success.
  for (uint64_t returned : {0, 112}) {
    id = port_fault("short_return", returned);
    serial_of(e, &err, &result);
    EXPECT_EQ(result, 1) << returned;
    EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_DATA)) << returned;
    EXPECT_STREQ(err.message, "error executing scsi miniport rst DeviceIoControl");
    sim::remove_fault(id);
  }
}

TEST_F(RstTest, FirmwareFaultsEndAsErrorRecords) {
  huld_dev &e = probed_e();
  auto e_model = sim::storage_drive("E").nvme;
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW002", 12000);
  huld_error err{};

  int id = port_fault("return_code", 7);
  EXPECT_EQ(update(e, image, &err), 1);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 7 on iRST firmware download");
  EXPECT_EQ(e_model->staged_bytes(), 0u);
  sim::remove_fault(id);

  // 20h (power cycle required) is an answer for an activation only: a download it ends failed.
  id = port_fault("return_code", 0x20);
  EXPECT_EQ(update(e, image, &err), 1);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 32 on iRST firmware download");
  sim::remove_fault(id);

  sim::storage_adapter_configure("RST", R"({"intel_fw_activate_return_code": 33})");
  EXPECT_EQ(update(e, image, &err), 1);
  EXPECT_EQ(err.subcode, 33u);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 33 on iRST firmware activate");
  sim::storage_adapter_configure("RST", R"({"intel_fw_activate_return_code": 32})");
  EXPECT_EQ(update(e, image, &err), 0) << err.message;

  id = sim::fail_ioctl(kPort, kMiniport, ERROR_SEM_TIMEOUT);
  EXPECT_EQ(update(e, image, &err), 1);
  EXPECT_STREQ(err.message, "error executing firmware download DeviceIoControl");
  sim::remove_fault(id);
}

TEST_F(RstTest, ActiveSlotFaults) {
  huld_dev &e = probed_e();
  capture_log();
  huld_log_level = HULD_LOG_DEBUG;  // walks and prints the slot entries
  huld_error err{};
  uint32_t slot = 77;
  struct Case {
    const char *action;
    uint64_t value;
    const char *message;
  } cases[] = {
      {"slot_count", 0, "unable to find active firmware slot"},
      {"zero_data", 0, "unable to find active firmware slot"},
      {"short_transfer", 9, "unable to find active firmware slot"},  // fewer fields written
      {"return_code", 1, "failed to capture firmware info structure v2 - srb failed"},
      // Answers that stop before the active slot: the slot count came back, the slot is the 0 sent.
      {"short_return", 66, "failed to capture firmware info structure v2"},
      {"short_return", 0, "failed to capture firmware info structure v2"},
  };
  for (const Case &c : cases) {
    const int id = port_fault(c.action, c.value);
    EXPECT_EQ(intel_fw_get_active_slot(&err, e.rst_port_handle, &e.scsi_address, &slot), 1) << c.action;
    EXPECT_STREQ(err.message, c.message) << c.action;
    sim::remove_fault(id);
  }
  EXPECT_EQ(slot, 77u);
  // More entries than the answer holds, each revision filling its 16 bytes.
  g_log.clear();
  const int id = port_fault("slot_count", 200);
  sim::FaultRule full;
  full.match.op = sim::FaultOp::ioctl;
  full.match.path = kPort;
  full.action = sim::FaultAction::custom_action("slot_revision");
  const std::string rev = "REVISION16BYTES!";
  full.action.bytes.assign(rev.begin(), rev.end());
  const int id2 = sim::add_fault(full);
  EXPECT_EQ(intel_fw_get_active_slot(&err, e.rst_port_handle, &e.scsi_address, &slot), 0) << err.message;
  EXPECT_EQ(slot, 1u);
  EXPECT_NE(g_log.find("slot 32 (31): rev REVISION16BYTES!, ro 0\n"), std::string::npos);
  EXPECT_EQ(g_log.find("(32)"), std::string::npos);
  sim::remove_fault(id);
  sim::remove_fault(id2);
  sim::fail_ioctl(kPort, kMiniport, ERROR_IO_DEVICE);
  EXPECT_EQ(intel_fw_get_active_slot(&err, e.rst_port_handle, &e.scsi_address, &slot), 1);
  EXPECT_STREQ(err.message, "failed to capture firmware info structure v2");
}

// The verbose log shows each request and answer; slot revisions are printed within their field.
TEST_F(RstTest, VerboseLogOfEachRequest) {
  capture_log();
  huld_dev &e = probed_e();
  g_log.clear();
  huld_log_level = HULD_LOG_VERBOSE;
  huld_error err{};
  EXPECT_EQ(serial_of(e, &err), "SE0005");
  EXPECT_EQ(update(e, sim::make_test_image(sim::ImageTarget::Nvme, "SIMFW002", 9000), &err), 0);
  uint32_t slot = 0;
  EXPECT_EQ(intel_fw_get_active_slot(&err, e.rst_port_handle, &e.scsi_address, &slot), 0);
  huld_log_level = 0;
  for (const char *line : {"irst pass-through command\n", "irst ioctl returned 4260 bytes\n",
                           "irst download command\n", "irst download command response\n",
                           "intel activate command\n", "intel activate response\n",
                           "slot 1 (0): rev SIMFW002, ro 0\n", "active slot 1\n"}) {
    EXPECT_NE(g_log.find(line), std::string::npos) << line;
  }
}

// A 64 KiB piece at dword offset 4000h travels at byte offset 10000h in a 65624-byte request
// (the driver checks every other field); a piece without data is refused before anything is sent.
TEST_F(RstTest, LargePieceAtItsByteOffset) {
  huld_dev &e = probed_e();
  std::vector<uint8_t> piece(0x10000, 0x5C);
  huld_nvme_cmd dl = command(0x11, piece.data(), 0x10000, HULD_DDIR_TO_DEVICE);
  dl.cdw10 = 0x3FFF;
  dl.cdw11 = 0x4000;
  huld_error err{};
  huld_nvme_execute(&err, &e, &dl);  // the drive refuses a first piece that is not at 0
  const auto sent = sim::trace_entries_for(kMiniport).back();
  ASSERT_EQ(sent.input.size(), 65624u);
  EXPECT_EQ(sent.input[64 + 2], 0x01);  // Offset 10000h
  dl.data = nullptr;
  EXPECT_EQ(huld_nvme_execute(&err, &e, &dl), 1);
  EXPECT_STREQ(err.message, "invalid argument");
}

}  // namespace
}  // namespace rst_test

// NVMe executors on a drive behind the in-box NVMe driver: what each executor's command becomes on
// its driver route (property query, protocol command, "FIRMWARE" request, SCSI translation), what
// the drive returns, a whole firmware update, and the error records of failed commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "devices_support.h"
#include "huld/huld_nvme.h"
#include "vornnvme/errors.h"
#include "vornnvme/nvme.h"
#include "vornnvme/parse.h"
#include "tests/support/huld_error_line.h"

using namespace devices_test;

namespace {

// Fields of the property query input (48 bytes).
struct Query {
  uint32_t property, data_type, value, sub, sub2, sub3, sub4;
};
Query query_of(const sim::TraceEntry &e) {
  const std::vector<uint8_t> &in = e.input;
  return {le32(in, 0), le32(in, 12), le32(in, 16), le32(in, 20), le32(in, 36), le32(in, 40), le32(in, 44)};
}

std::string fr_of(const std::vector<uint8_t> &identify) {
  huld_error err = fresh_error();
  char fr[9] = {};
  EXPECT_EQ(vornnvme_identify_controller_parse_firmware_revision(&err, fr, sizeof(fr), identify.data(),
                                                                 static_cast<uint32_t>(identify.size())),
            0)
      << err.message;
  return fr;
}

// Every case runs on the shared machine as it is (Windows 10) and on its Windows 11 twin, whose in-box
// NVMe driver also reads the log-page SubValue3 and SubValue4 and refuses their reserved bits.
class NvmeOnDevice : public DeviceTest, public ::testing::WithParamInterface<const char *> {
 protected:
  std::string machine_name() const override { return GetParam(); }
  std::shared_ptr<sim::NvmeController> drive() { return sim::storage_nvme(kNvmeDisk); }

  std::vector<uint8_t> identify_controller(huld_dev &dev) {
    std::vector<uint8_t> id(4096, 0);
    huld_error err = fresh_error();
    EXPECT_EQ(vornnvme_execute_identify_controller(&err, &dev, id.data(), 4096), 0) << err.message;
    return id;
  }
  std::vector<uint8_t> firmware_slot_log(huld_dev &dev) {
    std::vector<uint8_t> log(512, 0);
    huld_error err = fresh_error();
    EXPECT_EQ(vornnvme_execute_get_log_page(&err, &dev, 0xFFFFFFFFu, 512 / 4 - 1, 0, 0, 0x03, 0, 0, 0, 0, 0,
                                            log.data(), 512),
              0)
        << err.message;
    return log;
  }
  void whole_update(uint32_t return_code, bool bus_reset_applies);
};

TEST_P(NvmeOnDevice, IdentifyControllerAndNamespaceReachTheDrive) {
  huld_dev &dev = nvme();
  std::vector<uint8_t> id = identify_controller(dev);
  std::vector<uint8_t> ns(4096, 0);
  huld_error err = fresh_error();
  ASSERT_EQ(vornnvme_execute_identify_namespace(&err, &dev, 1, ns.data(), 4096), 0) << err.message;

  // The query fields per opcode are the back-end tests'; here what reaches the drive.
  EXPECT_EQ(sent(kIoctlQueryProperty).size(), 2u);
  EXPECT_EQ(sent_total(), 2u);
  EXPECT_EQ(drive()->command_count(0x06), 2u);

  char text_out[64] = {};
  ASSERT_EQ(vornnvme_identify_controller_parse_model(&err, text_out, sizeof(text_out), id.data(), 4096), 0);
  EXPECT_STREQ(text_out, "CORVANE CVN-512 NVMe SSD");
  EXPECT_EQ(fr_of(id), "CN100001");
  uint64_t nsze = 0;
  ASSERT_EQ(vornnvme_identify_namespace_parse_namespace_size(&err, &nsze, ns.data(), 4096), 0);
  EXPECT_EQ(nsze, 0x100000u);
}

TEST_P(NvmeOnDevice, FirmwareSlotInformationLog) {
  huld_dev &dev = nvme();
  std::vector<uint8_t> log = firmware_slot_log(dev);

  const auto queries = sent(kIoctlQueryProperty);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(query_of(queries[0]).sub4, 0u) << "no RAE, LSP or UUID index; the log id and length travel apart";

  huld_error err = fresh_error();
  uint8_t active = 0, next = 9;
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_active_slot(&err, &active, log.data(), 512), 0);
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_next_active_slot(&err, &next, log.data(), 512), 0);
  EXPECT_EQ(active, 1);
  EXPECT_EQ(next, 0);
  char rev[16] = {};
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 1, log.data(), 512), 0);
  EXPECT_STREQ(rev, "CN100001");

  // Eight bytes from offset 8: the offset travels in CDW12/CDW13, the drive answers from there.
  sim::trace_clear();
  std::vector<uint8_t> part(8, 0);
  ASSERT_EQ(vornnvme_execute_get_log_page(&err, &dev, 0xFFFFFFFFu, 1, 0, 0, 0x03, 0, 8, 0, 0, 0, part.data(), 8), 0)
      << err.message;
  const auto again = sent(kIoctlQueryProperty);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(query_of(again[0]).sub, 8u);
  EXPECT_EQ(query_of(again[0]).sub4, 0u);
  EXPECT_EQ(text(part.data(), 8), "CN100001");
}

// Get Features and Set Features of Autonomous Power State Transition: the query carries FID 0Ch
// and hands back DW0; Set Features travels as a protocol command, which the in-box driver passes
// only for vendor-specific commands: it is refused and the drive keeps its setting.
TEST_P(NvmeOnDevice, AutonomousPowerStateTransitionFeature) {
  huld_dev &dev = nvme();
  huld_error err = fresh_error();
  std::vector<uint8_t> table(256, 0);
  uint32_t result = 0xDEADBEEF;
  ASSERT_EQ(vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, table.data(), 256, &result), 0)
      << err.message;
  EXPECT_EQ(result, 0u) << "APSTE off";
  EXPECT_EQ(sent(kIoctlQueryProperty).size(), 1u);

  std::vector<uint8_t> wanted(256, 0);
  for (size_t i = 0; i < 8 * 4; ++i) wanted[i] = static_cast<uint8_t>(0x10 + i);
  sim::trace_clear();
  EXPECT_EQ(vornnvme_execute_set_features(&err, &dev, 0, 0x0C, 0, 1, 0, wanted.data(), 256), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, 3u) << "STORAGE_PROTOCOL_STATUS_INVALID_REQUEST";
  const auto commands = sent(kIoctlProtocolCommand);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(sent_total(), 1u);
  const std::vector<uint8_t> &in = commands[0].input;
  // 80: opcode; 84: NSID; 120: CDW10: SV 0, FID 0Ch; 124: CDW11: APSTE; 136: CDW14; 32: to the device; 56: admin
  expect_le32(in, {{80, 0x09u}, {84, 0u}, {120, 0x0Cu}, {124, 1u}, {136, 0u}, {32, 256u}, {36, 0u}, {56, 1u}});
  EXPECT_FALSE(drive()->apste());

  std::vector<uint8_t> back(256, 0);
  ASSERT_EQ(vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, back.data(), 256, &result), 0);
  EXPECT_EQ(result, 0u);

  // Without a result pointer and without a buffer the query still goes out.
  sim::trace_clear();
  ASSERT_EQ(vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, nullptr, 0, nullptr), 0);
  EXPECT_EQ(sent(kIoctlQueryProperty).size(), 1u);
}

// Set Features of the temperature threshold travels as the driver's own threshold request.
TEST_P(NvmeOnDevice, TemperatureThresholdFeature) {
  huld_dev &dev = nvme();
  huld_error err = fresh_error();
  // TMPSEL 2, THSEL 1 (under), TMPTH 263 K.
  ASSERT_EQ(vornnvme_execute_set_features(&err, &dev, 0, 0x04, 0, (1u << 20) | (2u << 16) | 263u, 0, nullptr, 0), 0)
      << err.message;
  EXPECT_EQ(sent_total(), 1u);
  EXPECT_EQ(sim::storage_temperature_threshold(kNvmeDisk, 2, false), std::optional<int16_t>(-10));
  EXPECT_FALSE(sim::storage_temperature_threshold(kNvmeDisk, 2, true).has_value());
}

// Firmware Image Download in pieces and Firmware Commit (replace slot 2, activate at the next reset)
// through the "FIRMWARE" request; the new revision runs only after the reset the drive needs.
void NvmeOnDevice::whole_update(uint32_t return_code, bool bus_reset_applies) {
  huld_dev &dev = nvme();
  auto ctl = drive();
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "CN200002", 100000);
  ASSERT_EQ(image.size() % 4, 0u);
  const uint32_t piece = 32 * 1024;  // a multiple of the update granularity (2 x 4 KiB)
  huld_error err = fresh_error();
  std::vector<std::pair<uint32_t, uint32_t>> pieces;
  for (uint32_t offset = 0; offset < image.size(); offset += piece) {
    const uint32_t len = std::min<uint32_t>(piece, static_cast<uint32_t>(image.size()) - offset);
    ASSERT_EQ(vornnvme_execute_firmware_image_download(&err, &dev, len / 4 - 1, offset / 4, image.data() + offset,
                                                       len),
              0)
        << err.message;
    pieces.emplace_back(offset, len);
  }
  EXPECT_EQ(ctl->staged_image(), image);
  ASSERT_EQ(vornnvme_execute_firmware_commit(&err, &dev, 0, 1, 2), 0) << err.message;

  const auto requests = sent(kIoctlScsiMiniport);
  ASSERT_EQ(requests.size(), pieces.size() + 1);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::vector<uint8_t> &in = requests[i].input;
    EXPECT_EQ(le32(in, 36), 2u) << "download";
    EXPECT_EQ(le64(in, 64), pieces[i].first);
    EXPECT_EQ(le64(in, 72), pieces[i].second);
    EXPECT_EQ(le32(in, 12), 30u) << "30000 ms in whole seconds";
  }
  const sim::TraceEntry &activate = requests.back();
  EXPECT_EQ(le32(activate.input, 36), 3u) << "activate";
  EXPECT_EQ(activate.input.at(64), 2) << "the slot travels; the commit action does not";
  EXPECT_EQ(le32(activate.output, 20), return_code);

  EXPECT_EQ(ctl->slot_revision(2), "CN200002");
  EXPECT_EQ(ctl->running_revision(), "CN100001");
  std::vector<uint8_t> log = firmware_slot_log(dev);
  uint8_t active = 0, next = 0;
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_active_slot(&err, &active, log.data(), 512), 0);
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_next_active_slot(&err, &next, log.data(), 512), 0);
  EXPECT_EQ(active, 1);
  EXPECT_EQ(next, 2);
  char rev[16] = {};
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 2, log.data(), 512), 0);
  EXPECT_STREQ(rev, "CN200002");
  EXPECT_EQ(fr_of(identify_controller(dev)), "CN100001");

  reset_bus(0);
  EXPECT_EQ(fr_of(identify_controller(dev)), bus_reset_applies ? "CN200002" : "CN100001");
  if (!bus_reset_applies) {
    ctl->power_cycle();
    EXPECT_EQ(fr_of(identify_controller(dev)), "CN200002");
  }
  log = firmware_slot_log(dev);
  ASSERT_EQ(vornnvme_firmware_slot_info_parse_active_slot(&err, &active, log.data(), 512), 0);
  EXPECT_EQ(active, 2);
}

TEST_P(NvmeOnDevice, WholeFirmwareUpdateActiveAfterControllerReset) { whole_update(0x00, true); }

// A drive that runs new firmware only after a power cycle: the driver answers the activation
// with 20h, which is accepted; a bus reset is not enough.
TEST_P(NvmeOnDevice, WholeFirmwareUpdateActiveAfterPowerCycle) {
  reload_with(R"({"storage": {"disks": [{"id": "nvme0", "nvme": {"activation": "power_cycle"}}]}})");
  whole_update(0x20, false);
}

// A drive that refuses a piece: the "FIRMWARE" request carries the refusal in its ReturnCode, which
// the execute layer turns into its own failure; the executor hands it on untouched.
TEST_P(NvmeOnDevice, RefusedFirmwarePiecesAndCommits) {
  huld_dev &dev = nvme();
  auto ctl = drive();
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "CN200002", 20000);
  huld_error err = fresh_error();
  // An offset that leaves a gap.
  EXPECT_EQ(vornnvme_execute_firmware_image_download(&err, &dev, 8192 / 4 - 1, 8192 / 4, image.data(), 8192), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 3 file huld\\windows\\huld_nvme_windows function execute_scsi_miniport"
                             " message SRB_IO_CONTROL return code 3 on firmware download");
  // A commit without an image.
  EXPECT_EQ(vornnvme_execute_firmware_commit(&err, &dev, 0, 1, 2), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 64 file huld\\windows\\huld_nvme_windows function execute_scsi_miniport"
                             " message SRB_IO_CONTROL return code 64 on firmware activate");
  EXPECT_EQ(ctl->running_revision(), "CN100001");
}

// NVMe status reported by the drive, through each route that can carry it.
TEST_P(NvmeOnDevice, DriveStatusBecomesTheErrorRecord) {
  huld_dev &dev = nvme();
  auto ctl = drive();

  // SCSI translation (Security Receive): the driver answers with sense data, the execute layer
  // turns it back into SCT/SC and the check names them.
  struct Row {
    uint16_t drive_status;
    uint32_t subcode;
    const char *message;
  } rows[] = {
      {0x0006, 0x0106, "device error detected, sct 1h, sc 6h"},   // 04/44/00
      {0x0106, 0x0002, "device error detected, sct 0h, sc 2h"},   // 05/24/00
      {0x000B, 0x07FF, "device error detected, sct 7h, sc ffh"},  // 05/25/00: no row
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.message);
    ctl->clear_faults();
    sim::NvmeFaultRule rule;
    rule.opcode = 0x82;
    rule.status = row.drive_status;
    rule.when = {1, 0};
    ctl->add_fault(rule);
    sim::trace_clear();
    std::vector<uint8_t> buffer(512, 0);
    huld_error err = fresh_error();
    EXPECT_EQ(vornnvme_execute_security_receive(&err, &dev, 0x01, 0x0001, 0, 512, buffer.data(), 512), 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
    EXPECT_EQ(err.subcode, row.subcode);
    EXPECT_STREQ(err.message, row.message);
    EXPECT_STREQ(err.file, "vornnvme\\errors");
    EXPECT_STREQ(err.function, "vornnvme_check_error");
    const auto spt = sent(kScsiPassThrough);
    ASSERT_EQ(spt.size(), 1u);
    const std::vector<uint8_t> cdb = cdb_of(spt[0]);
    const std::vector<uint8_t> expected = {0xA2, 0x01, 0x00, 0x01, 0, 0, 0x00, 0x00, 0x02, 0x00, 0, 0};
    EXPECT_EQ(cdb, expected) << "SECP 1, SPSP 0001h, allocation length 512";
  }
  ctl->clear_faults();

  // Protocol command (a vendor command the drive lists): the driver reports the failure in
  // ReturnStatus, which the execute layer records as its own failure; the completion status stays
  // in the record only.
  ctl->list_vendor_command(true, 0xC1);
  sim::NvmeFaultRule rule;
  rule.opcode = 0xC1;
  rule.status = 0x0002;
  ctl->add_fault(rule);
  std::vector<uint8_t> table(256, 0);
  huld_nvme_cmd vendor{};
  vendor.cdw0 = 0xC1;
  vendor.data = table.data();
  vendor.data_len = 256;
  vendor.ddir = HULD_DDIR_TO_DEVICE;
  vendor.timeout_ms = 30000;
  huld_error err = fresh_error();
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &vendor), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, 2u);
  EXPECT_STREQ(err.message, "storage protocol command ReturnStatus 2h");

  // A driver that reports success with the status in ErrorCode: the check judges the completion.
  sim::FaultRule forced;
  forced.match.op = sim::FaultOp::ioctl;
  forced.match.path = disk_path(kNvmeDisk);
  forced.match.control_code = kIoctlProtocolCommand;
  forced.action = sim::FaultAction::custom_action("return_status", 1);
  const int forced_id = sim::add_fault(forced);
  ctl->add_fault(rule);
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &vendor), 0);
  EXPECT_EQ(vornnvme_check_error(&err, &vendor), 1);
  EXPECT_EQ(error_line(err), "code 6 subcode 2 file vornnvme\\errors function vornnvme_check_error"
                             " message device error detected, sct 0h, sc 2h");
  sim::remove_fault(forced_id);
  ctl->clear_faults();

  // Property query (Get Features): the driver fails the request; the result is not written.
  sim::NvmeFaultRule get_rule;
  get_rule.opcode = 0x0A;
  get_rule.status = 0x0002;
  ctl->add_fault(get_rule);
  uint32_t result = 0xDEADBEEF;
  EXPECT_EQ(vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, table.data(), 256, &result), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing storage query property DeviceIoControl");
  EXPECT_EQ(result, 0xDEADBEEFu);
  ctl->clear_faults();

  // And a command that succeeds afterwards clears the record.
  EXPECT_EQ(vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, table.data(), 256, &result), 0);
  EXPECT_EQ(err.code, 0u);
  EXPECT_EQ(result, 0u);
}

// I/O commands travel as SCSI commands: Flush on every namespace, Read with its block count.
TEST_P(NvmeOnDevice, IoCommandsThroughTheScsiTranslation) {
  huld_dev &dev = nvme();
  huld_error err = fresh_error();
  ASSERT_EQ(vornnvme_execute_flush(&err, &dev), 0) << err.message;
  std::vector<uint8_t> data(4096, 0xEE);
  ASSERT_EQ(vornnvme_execute_read(&err, &dev, 1, 0x0000000100000020ull, 7, data.data(), 4096), 0) << err.message;
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; }));
  const auto spt = sent(kScsiPassThrough);
  ASSERT_EQ(spt.size(), 2u);
  EXPECT_EQ(cdb_of(spt[0]), (std::vector<uint8_t>{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::vector<uint8_t> read_cdb = {0x88, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                         0x00, 0x20, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
  EXPECT_EQ(cdb_of(spt[1]), read_cdb);
}

INSTANTIATE_TEST_SUITE_P(Machines, NvmeOnDevice, ::testing::Values("four_routes", "four_routes_win11"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace

// USB-bridge NVMe exchange: the three CDBs, padding and data hand-back, and the judgement of each
// phase. The product runs the exchange through the SCSI back end; here the same exchange runs
// through a bridge that hands each phase to the simulated NVMe controller and can fail any phase.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "sim/drives/nvme_controller.h"

namespace {

enum class Fault { None, CallFails, CheckFixed, CheckDescriptor, Busy, ShortCompletion };

struct Phase {
  std::vector<uint8_t> cdb;
  uint32_t data_len;
  uint32_t ddir;
  std::vector<uint8_t> data_out;  // what went to the device
};

struct Bridge {
  // A drive without a transfer limit of its own (MDTS 0): the road's limits are what is measured.
  sim::NvmeController controller{[] {
    sim::NvmeConfig c;
    c.mdts = 0;
    return c;
  }()};
  std::vector<Phase> phases;
  int fail_phase = 0;  // 1 command, 2 data, 3 completion
  Fault fault = Fault::None;
  sim::NvmeCommand sqe;
  sim::NvmeCompletion cqe;
};
Bridge *g_bridge = nullptr;

int bridge_execute(huld_error *err, huld_dev *, huld_scsi_cmd *scsi) {
  Bridge &b = *g_bridge;
  Phase p{std::vector<uint8_t>(scsi->cdb, scsi->cdb + scsi->cdb_len), scsi->data_len, scsi->ddir, {}};
  if (scsi->ddir == HULD_DDIR_TO_DEVICE && scsi->data) {
    const uint8_t *d = static_cast<const uint8_t *>(scsi->data);
    p.data_out.assign(d, d + scsi->data_len);
  }
  b.phases.push_back(p);
  const int number = static_cast<int>(b.phases.size());
  scsi->scsi_status = 0;
  scsi->xfer_len = 0;
  if (number == b.fail_phase) {
    switch (b.fault) {
      case Fault::CallFails:
        return huld_error_set(err, HULD_ERROR_SYSTEM, 31, "bridge", "bridge_execute", 1,
                              "error executing scsi ex DeviceIoControl");
      case Fault::CheckFixed:
        scsi->scsi_status = 0x02;
        scsi->sense[0] = 0x70;
        scsi->sense[2] = 0x05;
        scsi->sense[7] = 10;
        scsi->sense[12] = 0x20;
        return 0;
      case Fault::CheckDescriptor:
        scsi->scsi_status = 0x02;
        scsi->sense[0] = 0x72;
        scsi->sense[1] = 0x05;
        scsi->sense[2] = 0x24;
        return 0;
      case Fault::Busy:
        scsi->scsi_status = 0x08;
        return 0;
      case Fault::ShortCompletion:
        scsi->xfer_len = 8;
        return 0;
      case Fault::None:
        break;
    }
  }
  uint8_t *data = static_cast<uint8_t *>(scsi->data);
  switch (scsi->cdb[2]) {
    case 0x80:
      memcpy(&b.sqe.cdw0, data + 0, 4);
      memcpy(&b.sqe.nsid, data + 4, 4);
      memcpy(&b.sqe.cdw10, data + 40, 24);
      break;
    case 0x81:
      b.cqe = scsi->cdb[3] ? b.controller.io(b.sqe, data, scsi->data_len)
                           : b.controller.admin(b.sqe, data, scsi->data_len);
      if (scsi->ddir == HULD_DDIR_FROM_DEVICE) scsi->xfer_len = scsi->data_len;
      break;
    case 0x82: {
      const uint32_t cqe[4] = {b.cqe.dw0, b.cqe.dw1, b.cqe.dw2, b.cqe.dw3};
      memcpy(data, cqe, 16);
      scsi->xfer_len = 16;
      break;
    }
  }
  return 0;
}

class Snt : public ::testing::Test {
 protected:
  void SetUp() override { g_bridge = &bridge_; }
  void TearDown() override { g_bridge = nullptr; }

  int run(huld_nvme_cmd *cmd) {
    huld_dev dev{};
    dev.iface = WINDOWS_SCSI_ASMEDIA_NVME;
    return huld_nvme_snt_execute(&err_, &dev, cmd, bridge_execute);
  }

  static std::vector<uint8_t> head(uint8_t b0, uint8_t b2, uint8_t q, uint8_t d, uint32_t len) {
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = b0;
    cdb[1] = 0x5A;
    cdb[2] = b2;
    cdb[3] = q;
    cdb[4] = d;
    cdb[10] = static_cast<uint8_t>(len >> 24);
    cdb[11] = static_cast<uint8_t>(len >> 16);
    cdb[12] = static_cast<uint8_t>(len >> 8);
    cdb[13] = static_cast<uint8_t>(len);
    return cdb;
  }

  Bridge bridge_;
  huld_error err_{};
};

huld_nvme_cmd identify_controller(void *buffer, uint32_t length) {
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0x06;
  cmd.cdw10 = 1;
  cmd.data = buffer;
  cmd.data_len = length;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  return cmd;
}

TEST_F(Snt, AdminIdentifyRunsThreePhases) {
  std::vector<uint8_t> buffer(4096, 0);
  huld_nvme_cmd cmd = identify_controller(buffer.data(), 4096);
  cmd.cpl[3] = 0xFFFFFFFF;
  ASSERT_EQ(run(&cmd), 0) << err_.message;
  ASSERT_EQ(bridge_.phases.size(), 3u);
  EXPECT_EQ(bridge_.phases[0].cdb, head(0xEA, 0x80, 0, 1, 64));
  EXPECT_EQ(bridge_.phases[1].cdb, head(0xEB, 0x81, 0, 1, 4096));  // not padded
  EXPECT_EQ(bridge_.phases[2].cdb, head(0xEB, 0x82, 0, 1, 16));
  EXPECT_EQ(bridge_.phases[0].data_len, 64u);
  EXPECT_EQ(bridge_.phases[0].ddir, (uint32_t)HULD_DDIR_TO_DEVICE);
  const std::vector<uint8_t> &sqe = bridge_.phases[0].data_out;
  ASSERT_EQ(sqe.size(), 64u);
  EXPECT_EQ(sqe[0], 0x06);
  EXPECT_EQ(sqe[40], 0x01);
  EXPECT_EQ(bridge_.phases[2].ddir, (uint32_t)HULD_DDIR_FROM_DEVICE);

  const sim::DriveIdentity id = bridge_.controller.identity();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(&buffer[24]), id.model.size()), id.model);
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0);
  EXPECT_EQ(cmd.cpl[3] & 0xFFFE0000u, 0u);
  EXPECT_EQ(err_.code, 0u);
}

TEST_F(Snt, OddLengthsArePaddedAndOnlyTheCallersBytesCopiedBack) {
  std::vector<uint8_t> buffer(6000, 0xEE);
  huld_nvme_cmd cmd = identify_controller(buffer.data(), 5000);
  ASSERT_EQ(run(&cmd), 0) << err_.message;
  EXPECT_EQ(bridge_.phases[1].cdb, head(0xEB, 0x81, 0, 1, 5120));
  EXPECT_EQ(bridge_.phases[1].data_len, 5120u);
  EXPECT_NE(buffer[24], 0xEE);
  for (size_t i = 5000; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
}

TEST_F(Snt, DataToTheDeviceIsCopiedThenZeroPadded) {
  std::vector<uint8_t> image(1000, 0x5C);
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0x11;  // Firmware Image Download
  cmd.cdw10 = (1024 / 4) - 1;
  cmd.data = image.data();
  cmd.data_len = 1000;
  cmd.ddir = HULD_DDIR_TO_DEVICE;
  run(&cmd);
  ASSERT_GE(bridge_.phases.size(), 2u);
  EXPECT_EQ(bridge_.phases[1].cdb, head(0xEA, 0x81, 0, 2, 1024));
  const std::vector<uint8_t> &out = bridge_.phases[1].data_out;
  ASSERT_EQ(out.size(), 1024u);
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(out[i], 0x5C);
  for (size_t i = 1000; i < 1024; ++i) ASSERT_EQ(out[i], 0x00);
  EXPECT_EQ(image[0], 0x5C);
}

TEST_F(Snt, IoCommandsAndCommandsWithoutData) {
  huld_nvme_cmd flush{};
  flush.queue = HULD_NVME_QUEUE_IO;
  flush.nsid = 1;
  run(&flush);
  ASSERT_EQ(bridge_.phases.size(), 3u);
  EXPECT_EQ(bridge_.phases[0].cdb, head(0xEA, 0x80, 1, 0, 64));
  EXPECT_EQ(bridge_.phases[1].cdb, head(0xEB, 0x81, 1, 0, 0));
  EXPECT_EQ(bridge_.phases[1].data_len, 0u);
  EXPECT_EQ(bridge_.phases[2].cdb, head(0xEB, 0x82, 1, 0, 16));
}

struct FailureCase {
  int phase;
  Fault fault;
  uint32_t code;
  uint32_t subcode;
  const char *message;
};

class SntFailure : public Snt, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SntFailure, StopsAtTheFirstFailedPhase) {
  const FailureCase &c = GetParam();
  bridge_.fail_phase = c.phase;
  bridge_.fault = c.fault;
  std::vector<uint8_t> buffer(512, 0xEE);
  huld_nvme_cmd cmd = identify_controller(buffer.data(), 512);
  cmd.cpl[0] = 0x12345678;
  cmd.cpl[3] = 0x9ABCDEF0;
  EXPECT_EQ(run(&cmd), 1);
  EXPECT_EQ(bridge_.phases.size(), static_cast<size_t>(c.phase));  // no later phase ran
  EXPECT_EQ(err_.code, c.code);
  EXPECT_EQ(err_.subcode, c.subcode);
  EXPECT_STREQ(err_.message, c.message);
  if (c.phase < 3) {
    EXPECT_EQ(cmd.cpl[0], 0x12345678u);
    EXPECT_EQ(cmd.cpl[3], 0x9ABCDEF0u);
  }
  if (c.phase < 2 || (c.phase == 2 && c.fault != Fault::None)) {
    EXPECT_EQ(buffer[0], 0xEE);  // nothing handed back from a failed data phase
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SntFailure,
    ::testing::Values(
        FailureCase{1, Fault::CheckFixed, 1, 0,
                    "command phase: SCSI Error: Status: 2H Sense Code: 05/20/00H\n"},
        FailureCase{2, Fault::CheckDescriptor, 1, 0,
                    "data phase: SCSI Error: Status: 2H Sense Code: 05/24/00H\n"},
        FailureCase{3, Fault::CheckFixed, 1, 0,
                    "completion phase: SCSI Error: Status: 2H Sense Code: 05/20/00H\n"},
        FailureCase{1, Fault::Busy, 6, 8, "command phase: device error detected, scsi status 8h"},
        FailureCase{2, Fault::Busy, 6, 8, "data phase: device error detected, scsi status 8h"},
        FailureCase{3, Fault::Busy, 6, 8,
                    "completion phase: device error detected, scsi status 8h"},
        FailureCase{1, Fault::CallFails, 4, 31, "error executing scsi ex DeviceIoControl"},
        FailureCase{2, Fault::CallFails, 4, 31, "error executing scsi ex DeviceIoControl"},
        FailureCase{3, Fault::CallFails, 4, 31, "error executing scsi ex DeviceIoControl"},
        FailureCase{3, Fault::ShortCompletion, 1, 0, "incomplete completion phase"}));

TEST_F(Snt, BridgeBufferThatCannotBeHadSendsNothing) {
  uint8_t byte = 0;
  huld_nvme_cmd cmd = identify_controller(&byte, 0xFFFFFE01u);  // rounds up beyond 32 bits
  EXPECT_EQ(run(&cmd), 1);
  EXPECT_EQ(bridge_.phases.size(), 0u);
  EXPECT_EQ(err_.code, HULD_ERROR_FAILURE);
  EXPECT_STREQ(err_.message, "invalid argument");
}

// A length without a buffer, or more than 16 MiB, is refused before the command phase.
TEST_F(Snt, InvalidDataIsRefusedBeforeAnyPhase) {
  std::vector<uint8_t> big(16u * 1024u * 1024u + 512u);
  huld_nvme_cmd no_buffer = identify_controller(nullptr, 4096);
  huld_nvme_cmd too_long = identify_controller(big.data(), static_cast<uint32_t>(big.size()));
  for (huld_nvme_cmd *cmd : {&no_buffer, &too_long}) {
    EXPECT_EQ(run(cmd), 1);
    EXPECT_EQ(bridge_.phases.size(), 0u);
    EXPECT_STREQ(err_.message, "invalid argument");
  }
}

// 16 MiB is the largest transfer: exactly that much reaches the drive in one data phase, one
// byte more is refused before anything goes out.
TEST_F(Snt, SixteenMiBIsTheLargestTransfer) {
  constexpr uint32_t kLimit = 16u * 1024u * 1024u;
  std::vector<uint8_t> image(kLimit + 1, 0x3C);
  huld_nvme_cmd download{};
  download.cdw0 = 0x11;  // Firmware Image Download
  download.cdw10 = kLimit / 4 - 1;
  download.data = image.data();
  download.data_len = kLimit;
  download.ddir = HULD_DDIR_TO_DEVICE;
  ASSERT_EQ(run(&download), 0) << err_.message;
  ASSERT_EQ(bridge_.phases.size(), 3u);
  EXPECT_EQ(bridge_.phases[1].cdb, head(0xEA, 0x81, 0, 2, kLimit));
  EXPECT_EQ(bridge_.phases[1].data_len, kLimit);
  EXPECT_EQ(huld_nvme_get_status(&download), 0);
  EXPECT_EQ(bridge_.controller.staged_bytes(), kLimit);

  bridge_.phases.clear();
  download.data_len = kLimit + 1;
  EXPECT_EQ(run(&download), 1);
  EXPECT_TRUE(bridge_.phases.empty());
  EXPECT_EQ(err_.code, HULD_ERROR_FAILURE);
  EXPECT_STREQ(err_.message, "invalid argument");
}

TEST(SntPhaseJudgement, KeepsTheCallsOwnErrorAndJudgesStatus) {
  huld_error err{};
  err.code = 4;
  strcpy(err.message, "from the back end");
  huld_scsi_cmd scsi{};
  EXPECT_EQ(huld_nvme_snt_check_phase(&err, "data phase", 1, &scsi, 0), 1);
  EXPECT_STREQ(err.message, "from the back end");

  scsi.xfer_len = 16;
  EXPECT_EQ(huld_nvme_snt_check_phase(&err, "completion phase", 0, &scsi, 16), 0);
  scsi.xfer_len = 0;  // only the completion needs its 16 bytes
  EXPECT_EQ(huld_nvme_snt_check_phase(&err, "data phase", 0, &scsi, 0), 0);
  scsi.scsi_status = 0x18;
  EXPECT_EQ(huld_nvme_snt_check_phase(&err, "data phase", 0, &scsi, 0), 1);
  EXPECT_EQ(err.code, HULD_ERROR_DEVICE);
  EXPECT_EQ(err.subcode, 0x18u);
}

// The bridge's sense is read from the whole buffer, and a response code that is neither fixed
// nor descriptor format at the descriptor positions.
TEST(SntPhaseJudgement, OtherResponseCodeIsReadAsDescriptorSense) {
  huld_error err{};
  huld_scsi_cmd scsi{};
  scsi.scsi_status = 0x02;
  const uint8_t sense[] = {0x00, 0x05, 0x20, 0x01};
  memcpy(scsi.sense, sense, sizeof(sense));
  EXPECT_EQ(huld_nvme_snt_check_phase(&err, "data phase", 0, &scsi, 0), 1);
  EXPECT_STREQ(err.message, "data phase: SCSI Error: Status: 2H Sense Code: 05/20/01H\n");
}

}  // namespace

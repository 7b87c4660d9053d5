// NVMe through the in-box driver against a scripted device: the route each command takes, the
// request each route builds, what comes back, and every way a driver answer can fail.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "backends_support.h"
#include "huld/huld_nvme.h"
#include "huld/windows/huld_nvme_windows.h"
#include "tests/support/huld_error_line.h"

using namespace backends_test;

namespace {

huld_nvme_cmd nvme(uint8_t opcode, uint32_t queue, void *data = nullptr, uint32_t len = 0,
                   uint32_t ddir = HULD_DDIR_NONE, uint32_t timeout_ms = 30000) {
  huld_nvme_cmd cmd{};
  cmd.cdw0 = opcode;
  cmd.queue = queue;
  cmd.data = data;
  cmd.data_len = len;
  cmd.ddir = ddir;
  cmd.timeout_ms = timeout_ms;
  return cmd;
}

// Answers every request the way a willing driver does.
BOOL accept_all(sim::IoctlCall &call, const std::vector<uint8_t> &) {
  switch (call.code) {
    case kScsiPassThrough:
      call.out[2] = 0;
      call.out[7] = 0;
      call.bytes_returned = call.out[8] == 1 ? 88 + le32(call.out, 12) : 56;  // data in: all of it moved
      return TRUE;
    case kIoctlProtocolCommand:
      put32(call.out, 16, 1);
      call.bytes_returned = call.out_size;
      return TRUE;
    case kIoctlQueryProperty:
    case kIoctlScsiMiniport:
      call.bytes_returned = call.out_size;
      return TRUE;
    case kIoctlTemperature:
      return TRUE;
    default:
      return call.fail(ERROR_INVALID_FUNCTION);
  }
}

class InboxNvme : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    device.install();
    device.answer = accept_all;
  }
  huld_dev &dev() {
    if (!have_dev_) open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_NVME);
    return dev_;
  }
  const Seen &only_request() {
    EXPECT_EQ(device.seen.size(), 1u);
    return device.seen.back();
  }
  // Every SCSI pass-through ends in CHECK CONDITION with these 32 sense bytes.
  void answer_check_condition(const std::vector<uint8_t> &sense) {
    device.answer = [sense](sim::IoctlCall &call, const std::vector<uint8_t> &) {
      call.out[2] = 0x02;
      call.out[7] = 32;
      std::memcpy(call.out + 56, sense.data(), 32);
      call.bytes_returned = 88;
      return TRUE;
    };
  }
  ScriptedDevice device;
};

TEST_F(InboxNvme, EachCommandTakesItsRoute) {
  struct Row {
    uint8_t opcode;
    uint32_t queue;
    uint32_t cdw10;
    DWORD code;
    uint8_t cdb0;  // for SCSI translation
  } rows[] = {
      {0x81, 0, 0, kScsiPassThrough, 0xB5},
      {0x82, 0, 0, kScsiPassThrough, 0xA2},
      {0x00, HULD_NVME_QUEUE_IO, 0, kScsiPassThrough, 0x35},
      {0x01, HULD_NVME_QUEUE_IO, 0, kScsiPassThrough, 0x8A},
      {0x02, HULD_NVME_QUEUE_IO, 0, kScsiPassThrough, 0x88},
      {0x10, 0, 0, kIoctlScsiMiniport, 0},
      {0x11, 0, 0, kIoctlScsiMiniport, 0},
      {0x09, 0, 0x04, kIoctlTemperature, 0},
      {0x09, 0, 0x07, kIoctlProtocolCommand, 0},
      {0x02, 0, 0x02, kIoctlQueryProperty, 0},
      {0x06, 0, 0x01, kIoctlQueryProperty, 0},
      {0x0A, 0, 0x07, kIoctlQueryProperty, 0},
      {0x80, 0, 0, kIoctlProtocolCommand, 0},
      {0xC0, 0, 0, kIoctlProtocolCommand, 0},
      {0x00, 0, 0, kIoctlProtocolCommand, 0},  // admin 00h is not a Flush
      {0x05, HULD_NVME_QUEUE_IO, 0, kIoctlProtocolCommand, 0},
      {0x10, HULD_NVME_QUEUE_IO, 0, kIoctlProtocolCommand, 0},
  };
  uint8_t buffer[512] = {};
  for (const Row &row : rows) {
    device.seen.clear();
    const bool rw = row.queue && (row.opcode == 0x01 || row.opcode == 0x02);
    huld_nvme_cmd cmd = nvme(row.opcode, row.queue, rw ? buffer : nullptr, rw ? 512 : 0,
                             rw ? (row.opcode == 0x02 ? HULD_DDIR_FROM_DEVICE : HULD_DDIR_TO_DEVICE)
                                : HULD_DDIR_NONE);
    cmd.cdw10 = row.cdw10;
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0) << std::hex << int(row.opcode) << " " << err.message;
    ASSERT_EQ(device.seen.size(), 1u) << std::hex << int(row.opcode);
    EXPECT_EQ(device.seen[0].code, row.code) << std::hex << int(row.opcode) << " queue " << row.queue;
    if (row.code == kScsiPassThrough) {
      EXPECT_EQ(device.seen[0].in[36], row.cdb0);
    }
  }
}

TEST_F(InboxNvme, TranslatedCommandsCarryTheirFields) {
  uint8_t buffer[4096] = {};
  huld_error err{};
  huld_nvme_cmd read = nvme(0x02, HULD_NVME_QUEUE_IO, buffer, 4096, HULD_DDIR_FROM_DEVICE, 1500);
  read.cdw10 = 0x11223344;
  read.cdw11 = 0x55667788;
  read.cdw12 = 0xABCD0007;  // 8 blocks (0's based); the upper half is not the count
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &read), 0);
  const uint8_t read_cdb[16] = {0x88, 0x08, 0x55, 0x66, 0x77, 0x88, 0x11, 0x22,
                                0x33, 0x44, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00};
  const Seen &r = device.seen.back();
  EXPECT_EQ(0, std::memcmp(r.in.data() + 36, read_cdb, 16));
  EXPECT_EQ(r.in[6], 16);
  EXPECT_EQ(r.in[8], 1);
  EXPECT_EQ(le32(r.in, 12), 4096u);
  EXPECT_EQ(le32(r.in, 16), 2u);  // milliseconds reach the SCSI back end and are rounded up there

  huld_nvme_cmd write = read;
  write.cdw0 = 0x01;
  write.ddir = HULD_DDIR_TO_DEVICE;
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &write), 0);
  EXPECT_EQ(device.seen.back().in[36], 0x8A);
  EXPECT_EQ(device.seen.back().in[37], 0x00);  // no FUA

  huld_nvme_cmd receive = nvme(0x82, 0, buffer, 512, HULD_DDIR_FROM_DEVICE);
  receive.cdw10 = 0xEFCDAB00;
  receive.cdw11 = 0x00000200;
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &receive), 0);
  const uint8_t sec_cdb[12] = {0xA2, 0xEF, 0xCD, 0xAB, 0, 0, 0x00, 0x00, 0x02, 0x00, 0, 0};
  EXPECT_EQ(0, std::memcmp(device.seen.back().in.data() + 36, sec_cdb, 12));
  EXPECT_EQ(device.seen.back().in[6], 12);
}

TEST_F(InboxNvme, UntranslatableCommandsAreRefusedBeforeSending) {
  huld_error err{};
  for (uint8_t op : {uint8_t{0x65}, uint8_t{0x66}}) {
    huld_nvme_cmd cmd = nvme(op, HULD_NVME_QUEUE_IO);
    EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
    EXPECT_EQ(err.subcode, op);
  }
  huld_nvme_cmd empty_read = nvme(0x02, HULD_NVME_QUEUE_IO, nullptr, 0, HULD_DDIR_FROM_DEVICE);
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &empty_read), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  huld_nvme_cmd no_buffer = nvme(0x06, 0, nullptr, 4096, HULD_DDIR_FROM_DEVICE);
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &no_buffer), 1);
  EXPECT_STREQ(err.message, "invalid argument");
  uint8_t b[1];
  huld_nvme_cmd huge = nvme(0x11, 0, b, 16u * 1024 * 1024 + 4, HULD_DDIR_TO_DEVICE);
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &huge), 1);
  EXPECT_STREQ(err.message, "invalid argument");
  EXPECT_TRUE(device.seen.empty());
}

// SCSI status and sense of a translated command become the NVMe status in cpl[3] bits 27:17.
TEST_F(InboxNvme, SenseBecomesNvmeStatus) {
  struct Row {
    uint8_t opcode;  // NVM opcode (00h Flush -> 35h, 02h Read -> 88h, 01h Write -> 8Ah)
    uint8_t status;
    std::vector<uint8_t> sense;
    uint32_t sct, sc;
  };
  auto fixed = [](uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[12] = asc;
    s[13] = ascq;
    return s;
  };
  const Row rows[] = {
      {0x01, 0x02, fixed(0x05, 0x00, 0x00), 7, 0xFF},  // 8Ah: no row
      {0x00, 0x40, fixed(0x0B, 0x00, 0x00), 0, 0x07},
      {0x00, 0x40, fixed(0x0B, 0x0B, 0x08), 0, 0x05},
      {0x00, 0x08, fixed(0x0B, 0x00, 0x00), 7, 0xFF},  // BUSY
      {0x00, 0x02, std::vector<uint8_t>(18, 0), 7, 0xFF},  // no sense format
  };
  uint8_t buffer[512] = {};
  for (const Row &row : rows) {
    device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
      call.out[2] = row.status;
      call.out[7] = static_cast<uint8_t>(row.sense.size());
      std::memcpy(call.out + 56, row.sense.data(), row.sense.size());
      put32(call.out, 12, 0);
      call.bytes_returned = 56 + static_cast<DWORD>(row.sense.size());
      return TRUE;
    };
    const bool rw = row.opcode != 0x00;
    huld_nvme_cmd cmd = nvme(row.opcode, HULD_NVME_QUEUE_IO, rw ? buffer : nullptr, rw ? 512 : 0,
                             row.opcode == 0x02 ? HULD_DDIR_FROM_DEVICE
                                                : (rw ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE));
    cmd.cpl[3] = 0xF001FFFF;  // bits outside 27:17 survive
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0);
    const uint32_t want = 0xF001FFFFu | ((row.sct << 8 | row.sc) << 17);
    EXPECT_EQ(cmd.cpl[3], want) << "status " << int(row.status) << " row sc " << row.sc;
  }

  // GOOD status leaves the completion as the builder left it.
  device.answer = accept_all;
  huld_nvme_cmd flush = nvme(0x00, HULD_NVME_QUEUE_IO);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &flush), 0);
  EXPECT_EQ(flush.cpl[3], 0u);

  // A failed call is the SCSI back end's failure; the status is still translated.
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_GEN_FAILURE); };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &flush), 1);
  EXPECT_STREQ(err.message, "error executing scsi ex DeviceIoControl");
}

// ---- "FIRMWARE" miniport request ----------------------------------------------------------------------

TEST_F(InboxNvme, FirmwareDownloadRequest) {
  std::vector<uint8_t> piece(4096);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i ^ 0x5A);
  huld_nvme_cmd cmd = nvme(0x11, 0, piece.data(), 4096, HULD_DDIR_TO_DEVICE, 1500);
  cmd.cdw10 = 4096 / 4 - 1;
  cmd.cdw11 = 0x400;  // dwords
  for (uint32_t &c : cmd.cpl) c = 0xC0FFEE;
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0) << err.message;
  const Seen &s = only_request();
  EXPECT_EQ(s.code, kIoctlScsiMiniport);
  EXPECT_TRUE(s.same_buffer);
  ASSERT_EQ(s.in.size(), 4096u + 80u);
  EXPECT_EQ(0, std::memcmp(s.in.data() + 4, "FIRMWARE", 8));
  // 12: 1500 ms truncated on this road
  expect_le32(s.in, {{12, 1u}, {16, 0x001B0780u}, {24, 4096u + 52u}, {36, 2u}, {40, 1u}, {44, 56u},
      {48, 4096u + 24u}, {60, 24u}});
  EXPECT_EQ(le64(s.in, 64), 0x1000u);  // bytes
  EXPECT_EQ(le64(s.in, 72), 4096u);
  EXPECT_EQ(0, std::memcmp(s.in.data() + 80, piece.data(), 4096));
  for (uint32_t c : cmd.cpl) EXPECT_EQ(c, 0xC0FFEEu);  // not written
}

TEST_F(InboxNvme, FirmwareCommitCarriesOnlyTheSlot) {
  huld_nvme_cmd cmd = nvme(0x10, 0, nullptr, 0, HULD_DDIR_NONE, 30000);
  cmd.cdw10 = (1u << 3) | 2u;  // commit action 1, slot 2
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0);
  const Seen &s = only_request();
  ASSERT_EQ(s.in.size(), 68u);
  expect_le32(s.in, {{12, 30u}, {24, 40u}, {36, 3u}, {48, 12u}, {60, 12u}});
  EXPECT_EQ(s.in[64], 2);

  device.seen.clear();
  cmd.timeout_ms = 500;  // the probe time-out truncates to 0 here
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0);
  EXPECT_EQ(le32(only_request().in, 12), 0u);
}

TEST_F(InboxNvme, FirmwareRejectionsAreFailures) {
  uint32_t rc = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    put32(call.out, 20, rc);
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  uint8_t piece[512] = {};
  huld_nvme_cmd down = nvme(0x11, 0, piece, 512, HULD_DDIR_TO_DEVICE);
  huld_nvme_cmd commit = nvme(0x10, 0);
  commit.cdw10 = (1u << 3) | 1u;
  huld_error err{};

  rc = 1;
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &down), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 1 file huld\\windows\\huld_nvme_windows function execute_scsi_miniport"
                             " message SRB_IO_CONTROL return code 1 on firmware download");
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &commit), 1);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 1 on firmware activate");
  rc = 0x20;
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &commit), 0);
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &down), 1);

  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &down), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
  EXPECT_STREQ(err.message, "error executing scsi miniport protocol DeviceIoControl");
}

// ---- Protocol command -----------------------------------------------------------------------------------

TEST_F(InboxNvme, ProtocolCommandRequestAndAnswer) {
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    put32(call.out, 16, 1);
    put32(call.out, 20, 0);
    put32(call.out, 64, 0xABCD);
    for (uint32_t i = 0; i < 512; ++i) call.out[208 + i] = static_cast<uint8_t>(i);
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  std::vector<uint8_t> buffer(512, 0xEE);
  huld_nvme_cmd cmd = nvme(0xC2, 0, buffer.data(), 512, HULD_DDIR_FROM_DEVICE, 1500);
  cmd.cdw0 = 0x1234C2;
  cmd.nsid = 0x11;
  cmd.cdw10 = 0xA;
  cmd.cdw11 = 0xB;
  cmd.cdw12 = 0xC;
  cmd.cdw13 = 0xD;
  cmd.cdw14 = 0xE;
  cmd.cdw15 = 0xF;
  cmd.cpl[1] = 0x77;
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0) << err.message;
  const Seen &s = only_request();
  EXPECT_EQ(s.code, kIoctlProtocolCommand);
  EXPECT_TRUE(s.same_buffer);
  ASSERT_EQ(s.in.size(), 512u + 208u);
  const uint32_t want[] = {1, 84, 3, 0x80000000u, 0, 0, 64, 64, 0, 512, 2, 144, 0, 208, 1, 0, 0};
  for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(le32(s.in, i * 4), want[i]) << "offset " << i * 4;
  EXPECT_EQ(le32(s.in, 80), 0x1234C2u);
  EXPECT_EQ(le32(s.in, 84), 0x11u);
  for (uint32_t dw = 2; dw < 10; ++dw) EXPECT_EQ(le32(s.in, 80 + dw * 4), 0u);
  for (uint32_t dw = 10; dw < 16; ++dw) EXPECT_EQ(le32(s.in, 80 + dw * 4), dw) << dw;

  EXPECT_EQ(cmd.cpl[0], 0xABCDu);
  EXPECT_EQ(cmd.cpl[1], 0x77u);
  EXPECT_EQ(cmd.cpl[3], 0u);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));
}

TEST_F(InboxNvme, ProtocolCommandDeviceErrorIsAFailureWithCompletion) {
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    put32(call.out, 16, 2);
    put32(call.out, 20, 0x0005 << 1);  // SC 5 in the status field
    put32(call.out, 64, 0x99);
    call.out[208] = 0x42;
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  uint8_t buffer[16] = {};
  huld_nvme_cmd cmd = nvme(0xC2, 0, buffer, 16, HULD_DDIR_FROM_DEVICE);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, 2u);
  EXPECT_STREQ(err.message, "storage protocol command ReturnStatus 2h");
  EXPECT_EQ(cmd.cpl[0], 0x99u);
  EXPECT_EQ(cmd.cpl[3], 0x000Au << 16);
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0x05);
  EXPECT_EQ(buffer[0], 0x42);
}

TEST_F(InboxNvme, IoDeviceErrorIsRetriedWithFreshRequests) {
  int calls = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    ++calls;
    // Scribble over the output fields before failing, as a driver may.
    put32(call.out, 16, 0xDEAD);
    put32(call.out, 20, 0xBEEF);
    put32(call.out, 64, 0xFEED);
    std::memset(call.out + 144, 0xAB, 64);
    return call.fail(ERROR_IO_DEVICE);
  };
  const uint64_t before = sim::virtual_now_ms();
  uint8_t buffer[64] = {};
  huld_nvme_cmd cmd = nvme(0xC2, 0, buffer, 64, HULD_DDIR_FROM_DEVICE);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 1);
  EXPECT_EQ(calls, 11);
  EXPECT_EQ(sim::virtual_now_ms() - before, 5000u);  // ten pauses of 500 ms, machine time
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing storage protocol DeviceIoControl");
  ASSERT_EQ(device.seen.size(), 11u);
  for (const Seen &s : device.seen) EXPECT_EQ(s.in, device.seen[0].in);  // every send freshly built

  // Success on the third send ends the retries; another error ends them at once.
  calls = 0;
  device.seen.clear();
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &in) {
    if (++calls < 3) return call.fail(ERROR_IO_DEVICE);
    return accept_all(call, in);
  };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0);
  EXPECT_EQ(calls, 3);
  calls = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    ++calls;
    return call.fail(ERROR_INVALID_PARAMETER);
  };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST_F(InboxNvme, ForcedToDeviceBufferLeavesTheCallerBufferAlone) {
  std::vector<uint8_t> buffer(16, 0xEE);
  huld_nvme_cmd e9 = nvme(0xE9, 0, buffer.data(), 16, HULD_DDIR_FROM_DEVICE);
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &e9), 0);
  const Seen &s = only_request();
  ASSERT_EQ(s.in.size(), 4096u + 208u);
  expect_le32(s.in, {{32, 4096u}, {36, 0u}, {48, 208u}, {52, 0u}});
  EXPECT_EQ(0, std::memcmp(s.in.data() + 208, buffer.data(), 16));
  for (uint8_t b : buffer) EXPECT_EQ(b, 0xEE);

  device.seen.clear();
  huld_nvme_cmd e5 = nvme(0xE5, 0);
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &e5), 0);
  const Seen &z = only_request();
  ASSERT_EQ(z.in.size(), 4096u + 208u);
  EXPECT_EQ(le32(z.in, 32), 4096u);
  for (size_t i = 208; i < z.in.size(); ++i) ASSERT_EQ(z.in[i], 0) << i;

  // 4096 bytes and more are sent as asked.
  device.seen.clear();
  std::vector<uint8_t> big(4096);
  huld_nvme_cmd f1 = nvme(0xF1, 0, big.data(), 4096, HULD_DDIR_FROM_DEVICE);
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &f1), 0);
  EXPECT_EQ(le32(only_request().in, 36), 4096u);
}

// F1h shorter than 4096 bytes is sent in the same forced to-device buffer as E9h.
TEST_F(InboxNvme, ShortF1IsSentInTheForcedToDeviceBuffer) {
  std::vector<uint8_t> buffer(16, 0xEE);
  huld_nvme_cmd f1 = nvme(0xF1, 0, buffer.data(), 16, HULD_DDIR_FROM_DEVICE);
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &f1), 0) << err.message;
  expect_le32(only_request().in, {{32, 4096u}, {36, 0u}});
}

// ---- Protocol-specific property query ---------------------------------------------------------------

TEST_F(InboxNvme, QueryPropertyFieldsPerOpcode) {
  uint8_t buffer[4096] = {};
  huld_error err{};
  struct Row {
    huld_nvme_cmd cmd;
    uint32_t property, data_type, value, sub, sub2, sub3, sub4, length;
  };
  huld_nvme_cmd id_ctrl = nvme(0x06, 0, buffer, 4096, HULD_DDIR_FROM_DEVICE);
  id_ctrl.cdw10 = 1;
  huld_nvme_cmd id_ns = nvme(0x06, 0, buffer, 4096, HULD_DDIR_FROM_DEVICE);
  id_ns.cdw10 = 0;
  id_ns.nsid = 1;  // not carried
  huld_nvme_cmd log = nvme(0x02, 0, buffer, 512, HULD_DDIR_FROM_DEVICE);
  log.cdw10 = 0x007F8302;  // NUMDL 7Fh, RAE 1, LSP 3, LID 2
  log.cdw11 = 0x00AB0011;  // LSI ABh, NUMDU 11h
  log.cdw12 = 0x12;
  log.cdw13 = 0x13;
  log.cdw14 = 0xF5;  // UUID index 75h
  huld_nvme_cmd feat = nvme(0x0A, 0, nullptr, 0, HULD_DDIR_NONE);
  feat.cdw10 = 0x0107;  // SEL bits not carried
  feat.cdw11 = 0x33;
  const Row rows[] = {
      {id_ctrl, 49, 1, 1, 0, 0, 0, 0, 4096},
      {id_ns, 50, 1, 0, 0, 0, 0, 0, 4096},
      {log, 49, 2, 2, 0x12, 0x13, 0xAB, 0x7507, 512},
      {feat, 50, 3, 7, 0x33, 0, 0, 0, 512},
  };
  for (const Row &row : rows) {
    device.seen.clear();
    huld_nvme_cmd cmd = row.cmd;
    ASSERT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0);
    const Seen &s = only_request();
    EXPECT_EQ(s.code, kIoctlQueryProperty);
    EXPECT_FALSE(s.same_buffer);
    ASSERT_EQ(s.in.size(), 48u);
    EXPECT_EQ(s.out_size, row.length + 48);
    const uint32_t want[] = {row.property, 0, 3, row.data_type, row.value, row.sub,
                             40, row.length, 0, row.sub2, row.sub3, row.sub4};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(le32(s.in, i * 4), want[i]) << "offset " << i * 4;
  }
}

TEST_F(InboxNvme, QueryPropertyAnswer) {
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    put32(call.out, 32, 0x5150);
    for (uint32_t i = 48; i < call.out_size; ++i) call.out[i] = static_cast<uint8_t>(i);
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  std::vector<uint8_t> buffer(100 + 8, 0xEE);
  huld_nvme_cmd feat = nvme(0x0A, 0, buffer.data(), 100, HULD_DDIR_FROM_DEVICE);
  feat.cdw10 = 0x0C;
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &feat), 0);
  EXPECT_EQ(feat.cpl[0], 0x5150u);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i + 48));
  for (size_t i = 100; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE);

  // A log page without a buffer still asks for 512 bytes and copies nothing.
  huld_nvme_cmd log = nvme(0x02, 0);
  log.cdw10 = 0x02;
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &log), 0);
  EXPECT_EQ(device.seen.back().out_size, 512u + 48u);

  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(50); };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &feat), 1);
  EXPECT_EQ(err.subcode, 50u);
  EXPECT_STREQ(err.message, "error executing storage query property DeviceIoControl");

  // An answer that stops before FixedProtocolReturnData brings no completion DW0 (the feature's
  // value): a zero read from the zeroed output is no answer.
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    call.bytes_returned = 32;
    return TRUE;
  };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &feat), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_DATA));
  EXPECT_STREQ(err.message, "error executing storage query property DeviceIoControl");
}

TEST_F(InboxNvme, TemperatureThreshold) {
  huld_error err{};
  huld_nvme_cmd under = nvme(0x09, 0);
  under.cdw10 = 0x04;
  under.cdw11 = (1u << 20) | (2u << 16) | 343u;  // under-temperature, sensor 2, 343 K
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &under), 0);
  huld_nvme_cmd over = under;
  over.cdw11 = 200u;  // over-temperature, composite, 200 K
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &over), 0);
  ASSERT_EQ(device.seen.size(), 2u);
  const Seen &u = device.seen[0];
  ASSERT_EQ(u.in.size(), 16u);
  EXPECT_EQ(u.out_size, 0u);
  EXPECT_EQ(le32(u.in, 0), 16u);
  EXPECT_EQ(le32(u.in, 4), 16u);
  EXPECT_EQ(le16(u.in.data(), 8), 1);
  EXPECT_EQ(le16(u.in.data(), 10), 2);
  EXPECT_EQ(static_cast<int16_t>(le16(u.in.data(), 12)), 70);
  EXPECT_EQ(u.in[14], 0);
  EXPECT_EQ(u.in[15], 0);
  const Seen &o = device.seen[1];
  EXPECT_EQ(static_cast<int16_t>(le16(o.in.data(), 12)), -73);
  EXPECT_EQ(o.in[14], 1);

  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &over), 1);
  EXPECT_STREQ(err.message, "error executing storage temperature threshold DeviceIoControl");
}

TEST_F(InboxNvme, ProbeAnswers) {
  bool zero = false;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    if (!zero) call.out[48 + 77] = 0x01;
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 1);
  const Seen &s = device.seen.back();
  EXPECT_EQ(s.code, kIoctlQueryProperty);
  EXPECT_EQ(le32(s.in, 0), 49u);
  EXPECT_EQ(le32(s.in, 16), 1u);
  EXPECT_EQ(s.out_size, 4096u + 48u);
  zero = true;
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(50); };
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);

  device.seen.clear();
  dev().conn.driver = ADAPTEC_RAID;
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);
  EXPECT_TRUE(device.seen.empty());
}

// Every row of the sense table, through each sense format the translation reads.
TEST_F(InboxNvme, EveryTranslationRowInEverySenseFormat) {
  struct Row {
    uint8_t opcode;  // NVM opcode: 00h Flush -> 35h, 02h Read -> 88h
    uint8_t key, asc, ascq;
    uint32_t sct, sc;
  };
  const Row rows[] = {
      {0x00, 0x02, 0x04, 0x00, 0, 0x82}, {0x00, 0x03, 0x00, 0x00, 0, 0x04},
      {0x00, 0x03, 0x03, 0x00, 2, 0x80}, {0x00, 0x03, 0x11, 0x00, 2, 0x81},
      {0x00, 0x03, 0x10, 0x01, 2, 0x82}, {0x00, 0x03, 0x10, 0x02, 2, 0x83},
      {0x00, 0x03, 0x10, 0x03, 2, 0x84}, {0x00, 0x04, 0x44, 0x00, 1, 0x06},
      {0x00, 0x05, 0x00, 0x00, 1, 0x00}, {0x02, 0x05, 0x00, 0x00, 1, 0x03},
      {0x00, 0x05, 0x20, 0x00, 0, 0x01}, {0x00, 0x05, 0x24, 0x00, 0, 0x02},
      {0x00, 0x05, 0x21, 0x00, 0, 0x80}, {0x00, 0x05, 0x31, 0x01, 1, 0x0A},
      {0x00, 0x05, 0x20, 0x09, 0, 0x0B}, {0x00, 0x0E, 0x1D, 0x00, 2, 0x85},
      {0x00, 0x05, 0x31, 0x00, 7, 0xFF},  // no such row
  };
  uint8_t buffer[512] = {};
  for (uint8_t format : {uint8_t{0x70}, uint8_t{0x71}, uint8_t{0xF0}, uint8_t{0xF1}, uint8_t{0x72},
                         uint8_t{0x73}}) {
    for (const Row &row : rows) {
      std::vector<uint8_t> sense(32, 0);
      sense[0] = format;
      if (format == 0x72 || format == 0x73) {
        sense[1] = static_cast<uint8_t>(0xF0 | row.key);  // only bits 3:0 are the key
        sense[2] = row.asc;
        sense[3] = row.ascq;
      } else {
        sense[2] = static_cast<uint8_t>(0xF0 | row.key);
        sense[12] = row.asc;
        sense[13] = row.ascq;
      }
      device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
        call.out[2] = 0x02;
        call.out[7] = 32;
        std::memcpy(call.out + 56, sense.data(), 32);
        put32(call.out, 12, 0);
        call.bytes_returned = 88;
        return TRUE;
      };
      // Any queue other than 0 is an NVM queue.
      const bool read = row.opcode == 0x02;
      huld_nvme_cmd cmd = nvme(row.opcode, 1, read ? buffer : nullptr, read ? 512 : 0,
                               read ? HULD_DDIR_FROM_DEVICE : HULD_DDIR_NONE);
      huld_error err{};
      EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0) << err.message;
      EXPECT_EQ(cmd.cpl[3], (row.sct << 8 | row.sc) << 17)
          << std::hex << "format " << int(format) << " key " << int(row.key) << " asc "
          << int(row.asc) << " ascq " << int(row.ascq);
    }
  }
  // Security Send becomes B5h, whose low nibble 5 picks the same row as 35h.
  std::vector<uint8_t> sense(32, 0);
  sense[0] = 0x70;
  sense[2] = 0x05;
  answer_check_condition(sense);
  huld_nvme_cmd send = nvme(0x81, 0, buffer, 512, HULD_DDIR_TO_DEVICE);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &send), 0) << err.message;
  EXPECT_EQ(device.seen.back().in[36], 0xB5);
  EXPECT_EQ(send.cpl[3], (1u << 8 | 0x00) << 17);
}

// Descriptor sense with bit 7 of byte 0 set (F2h) is no sense the translation reads: the status
// stays SCT 7, SC FFh although the key, ASC and ASCQ would match a row.
TEST_F(InboxNvme, DescriptorSenseWithBit7SetIsNoSense) {
  std::vector<uint8_t> sense(32, 0);
  sense[0] = 0xF2;
  sense[1] = 0x05;
  sense[2] = 0x24;
  answer_check_condition(sense);
  huld_nvme_cmd flush = nvme(0x00, 1, nullptr, 0, HULD_DDIR_NONE);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &flush), 0) << err.message;
  EXPECT_EQ(flush.cpl[3], (7u << 8 | 0xFF) << 17);
}

// A 30000 ms time-out is 30 s in both the protocol command and the FIRMWARE request; an NVM
// command on any non-zero queue carries CommandSpecific 2.
TEST_F(InboxNvme, ProtocolCommandTimeOutAndQueue) {
  huld_nvme_cmd vendor = nvme(0xC4, 3, nullptr, 0, HULD_DDIR_NONE, 30000);
  huld_error err{};
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &vendor), 0) << err.message;
  const Seen &s = only_request();
  EXPECT_EQ(s.code, kIoctlProtocolCommand);
  ASSERT_EQ(s.in.size(), 208u);
  expect_le32(s.in, {{40, 30u}, {56, 2u}, {32, 0u}, {36, 0u}, {48, 0u}, {52, 0u}});

  device.seen.clear();
  huld_nvme_cmd commit = nvme(0x10, 0, nullptr, 0, HULD_DDIR_NONE, 30999);
  ASSERT_EQ(huld_nvme_execute(&err, &dev(), &commit), 0) << err.message;
  EXPECT_EQ(le32(only_request().in, 12), 30u);  // truncated
}

}  // namespace

namespace {

std::string g_log;
bool g_capture = false;
int capture_sink(const char *text) {
  if (g_capture) g_log += text;
  return 0;
}

// Captures the log at the verbose level until `stop_listening`.
void listen() {
  static bool registered = false;
  if (!registered) huld_log_add_sink(capture_sink);
  registered = true;
  g_log.clear();
  g_capture = true;
  huld_log_level = HULD_LOG_VERBOSE;
}
void stop_listening() {
  g_capture = false;
  huld_log_level = 0;
}

// At the verbose level every route logs its request fields; the lines are the system's own.
TEST_F(InboxNvme, VerboseLogOfEveryRoute) {
  listen();
  std::vector<uint8_t> buffer(8192, 0x41);
  huld_error err{};
  huld_nvme_cmd cmds[] = {
      nvme(0x02, HULD_NVME_QUEUE_IO, buffer.data(), 8192, HULD_DDIR_FROM_DEVICE),
      nvme(0x11, 0, buffer.data(), 8192, HULD_DDIR_TO_DEVICE),
      nvme(0x10, 0),
      nvme(0x09, 0),
      nvme(0x06, 0, buffer.data(), 8192, HULD_DDIR_FROM_DEVICE),
      nvme(0xC1, 0, buffer.data(), 8192, HULD_DDIR_FROM_DEVICE),
  };
  cmds[3].cdw10 = 0x04;
  cmds[4].cdw10 = 0x01;
  for (huld_nvme_cmd &cmd : cmds) EXPECT_EQ(huld_nvme_execute(&err, &dev(), &cmd), 0) << err.message;
  stop_listening();
  for (const char *line : {"scsi pass through structure out\n", "spt->TimeOutValue:       1eh\n",
                           "copy cmd data: 2000 bytes (2000 vs. 2000)\n", "completed translation to huld_scsi_cmd\n",
                           "srb->Signature:          FIRMWARE\n", "fwdl->BufferSize:        2000h\n",
                           "fwact->SlotToActivate:   0h\n", "beginning of output scsi miniport:",
                           "stt->Threshold: -273\n", "stt buffer:", "beginning of query buffer:",
                           "fixed protocol return data: 0h\n", "wcmd->Length: 54h\n", "wnvme->dw15: 0h\n",
                           "beginning of storage protocol cmd:", "wcmd->ReturnStatus: 1h\n",
                           "beginning of payload data:"}) {
    EXPECT_NE(g_log.find(line), std::string::npos) << line;
  }
}

// The level-30 lines of the probe and of the sense translation.
TEST_F(InboxNvme, ProbeAndTranslationReasonLines) {
  listen();
  bool zero = true;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    if (call.code == kScsiPassThrough) {
      call.out[2] = 0x02;
      call.out[7] = 18;
      call.out[56] = zero ? 0x00 : 0x70;
      call.out[58] = 0x05;
      call.out[68] = 0x24;
      call.bytes_returned = 56 + 18;
      return TRUE;
    }
    call.bytes_returned = call.out_size;
    return TRUE;
  };
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);
  huld_nvme_cmd flush = nvme(0x00, HULD_NVME_QUEUE_IO);
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &flush), 0);
  zero = false;
  EXPECT_EQ(huld_nvme_execute(&err, &dev(), &flush), 0);
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(50); };
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);
  dev().conn.driver = ADAPTEC_RAID;
  EXPECT_EQ(huld_nvme_windows_probe(&dev()), 0);
  stop_listening();
  for (const char *line : {"nvme windows identify buffer all zeroes\n",
                           "Error getting SCSI SENSE; could not convert to NVMe status\n",
                           "SCSI ASC/ASCQ: 24h/0h\n", "nvme windows identify failed\n",
                           "skip nvme windows probe on adaptec raid driver\n"}) {
    EXPECT_NE(g_log.find(line), std::string::npos) << line;
  }
}

}  // namespace

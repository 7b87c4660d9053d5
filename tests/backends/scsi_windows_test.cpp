// SCSI back end against a scripted device: the pass-through request as the driver receives it,
// what comes back into the command record, the Windows 8.1 firmware conversion and the probes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "backends_support.h"
#include "huld/huld_scsi.h"
#include "huld/windows/huld_scsi_windows.h"
#include "tests/support/resource_check.h"
#include "tests/support/huld_error_line.h"

using namespace backends_test;

namespace {

// SCSI_PASS_THROUGH answer: status, sense bytes, data bytes moved (data-in).
BOOL answer_spt(sim::IoctlCall &call, uint8_t status, const std::vector<uint8_t> &sense,
                const std::vector<uint8_t> &data, uint8_t sense_info_length_override = 0) {
  uint8_t *r = call.out;
  r[2] = status;
  r[7] = sense_info_length_override ? sense_info_length_override : static_cast<uint8_t>(sense.size());
  if (!sense.empty()) std::memcpy(r + 56, sense.data(), std::min<size_t>(sense.size(), 32));
  if (!data.empty()) std::memcpy(r + 88, data.data(), data.size());
  put32(r, 12, static_cast<uint32_t>(data.size()));
  call.bytes_returned = static_cast<DWORD>(data.empty() ? 56 + sense.size() : 88 + data.size());
  return TRUE;
}

std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq) {
  std::vector<uint8_t> s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[7] = 10;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

huld_scsi_cmd inquiry(void *buffer, uint32_t len, uint32_t timeout_ms = 30000) {
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x12;
  cmd.cdb[4] = static_cast<uint8_t>(len);
  cmd.cdb_len = 6;
  cmd.data = buffer;
  cmd.data_len = len;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.sense_len = 32;
  cmd.timeout_ms = timeout_ms;
  return cmd;
}

huld_scsi_cmd write_buffer(uint8_t mode, uint32_t offset, void *data, uint32_t len, uint32_t timeout_ms) {
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x3B;
  cmd.cdb[1] = mode;
  cmd.cdb[3] = static_cast<uint8_t>(offset >> 16);
  cmd.cdb[4] = static_cast<uint8_t>(offset >> 8);
  cmd.cdb[5] = static_cast<uint8_t>(offset);
  cmd.cdb[6] = static_cast<uint8_t>(len >> 16);
  cmd.cdb[7] = static_cast<uint8_t>(len >> 8);
  cmd.cdb[8] = static_cast<uint8_t>(len);
  cmd.cdb_len = 10;
  cmd.data = data;
  cmd.data_len = len;
  cmd.ddir = len ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE;
  cmd.sense_len = 32;
  cmd.timeout_ms = timeout_ms;
  return cmd;
}

class ScsiPassThrough : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    device.install();
  }
  ScriptedDevice device;
};

TEST_F(ScsiPassThrough, DataInRequestAndShortAnswer) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  std::vector<uint8_t> moved(20);
  for (size_t i = 0; i < moved.size(); ++i) moved[i] = static_cast<uint8_t>(0xA0 + i);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0, {}, moved);
  };
  uint8_t buffer[36];
  std::memset(buffer, 0xEE, sizeof(buffer));
  huld_scsi_cmd cmd = inquiry(buffer, 36, 1500);
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0) << err.message;

  ASSERT_EQ(device.seen.size(), 1u);
  const Seen &s = device.seen[0];
  EXPECT_EQ(s.code, kScsiPassThrough);
  EXPECT_TRUE(s.same_buffer);
  ASSERT_EQ(s.in.size(), 36u + 88u);
  EXPECT_EQ(s.out_size, 36u + 88u);
  EXPECT_EQ(le16(s.in.data(), 0), 56);
  EXPECT_EQ(s.in[3] | s.in[4] | s.in[5], 0);  // path, target, lun
  EXPECT_EQ(s.in[6], 6);
  EXPECT_EQ(s.in[7], 32);
  EXPECT_EQ(s.in[8], 1);  // data in
  EXPECT_EQ(le32(s.in, 12), 36u);
  EXPECT_EQ(le32(s.in, 16), 2u);  // 1500 ms rounded up
  EXPECT_EQ(le64(s.in, 24), 88u);
  EXPECT_EQ(le32(s.in, 32), 56u);
  EXPECT_EQ(0, std::memcmp(s.in.data() + 36, cmd.cdb, 6));

  // Only the moved bytes reach the caller; xfer_len counts what came back after the header.
  EXPECT_EQ(cmd.xfer_len, 20u);
  EXPECT_EQ(0, std::memcmp(buffer, moved.data(), 20));
  EXPECT_EQ(buffer[20], 0xEE);
  EXPECT_EQ(buffer[35], 0xEE);
}

TEST_F(ScsiPassThrough, DataOutAndNoData) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0, {}, {});
  };
  uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  huld_scsi_cmd out = write_buffer(0x02, 0, payload, sizeof(payload), 30000);
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &out), 0);
  huld_scsi_cmd none{};
  none.cdb_len = 6;  // TEST UNIT READY
  none.sense_len = 32;
  none.timeout_ms = 30000;
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &none), 0);

  ASSERT_EQ(device.seen.size(), 2u);
  const Seen &o = device.seen[0];
  EXPECT_EQ(o.in[8], 0);  // data out
  EXPECT_EQ(le32(o.in, 12), 8u);
  EXPECT_EQ(le64(o.in, 24), 88u);
  EXPECT_EQ(0, std::memcmp(o.in.data() + 88, payload, 8));
  const Seen &n = device.seen[1];
  EXPECT_EQ(n.in.size(), 88u);
  EXPECT_EQ(n.in[8], 2);  // unspecified
  EXPECT_EQ(le32(n.in, 12), 0u);
  EXPECT_EQ(le64(n.in, 24), 0u);
}

TEST_F(ScsiPassThrough, TimeOutsAreRoundedUpToSeconds) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0, {}, {});
  };
  const uint32_t ms[] = {0, 1, 500, 999, 1000, 1001, 1500, 30000, 0xFFFFFFFFu};
  const uint32_t want[] = {0, 1, 1, 1, 1, 2, 2, 30, 4294968u};
  uint8_t buffer[4];
  for (uint32_t t : ms) {
    huld_scsi_cmd cmd = inquiry(buffer, sizeof(buffer), t);
    huld_error err{};
    ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0);
  }
  // Read back from the request trace.
  auto entries = sim::trace_entries_for(kScsiPassThrough);
  ASSERT_EQ(entries.size(), std::size(ms));
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(le32(entries[i].input, 16), want[i]) << ms[i] << " ms";
  }
}

TEST_F(ScsiPassThrough, CheckConditionIsReturnedNotJudged) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  const std::vector<uint8_t> sense = fixed_sense(0x05, 0x24, 0x00);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0x02, sense, {});
  };
  uint8_t buffer[36] = {};
  huld_scsi_cmd cmd = inquiry(buffer, sizeof(buffer));
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0);
  EXPECT_EQ(err.code, 0u);
  EXPECT_EQ(cmd.scsi_status, 0x02);
  EXPECT_EQ(0, std::memcmp(cmd.sense, sense.data(), sense.size()));
  EXPECT_EQ(cmd.xfer_len, 0u);
}

TEST_F(ScsiPassThrough, SenseCopyIsBoundedByCallerAndRecord) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  std::vector<uint8_t> sense(32);
  for (size_t i = 0; i < sense.size(); ++i) sense[i] = static_cast<uint8_t>(0x70 + i);
  uint8_t claimed = 32;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0x02, sense, {}, claimed);
  };
  uint8_t buffer[4];

  // The caller's room of 18 bytes limits the copy although 32 came back.
  huld_scsi_cmd small = inquiry(buffer, sizeof(buffer));
  small.sense_len = 18;
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &small), 0);
  EXPECT_EQ(0, std::memcmp(small.sense, sense.data(), 18));
  for (int i = 18; i < 32; ++i) EXPECT_EQ(small.sense[i], 0) << i;

  // A driver claiming 255 sense bytes and a caller claiming more room than the record has:
  // never more than the 32-byte sense array (the fields after it stay intact).
  claimed = 255;
  huld_scsi_cmd big = inquiry(buffer, sizeof(buffer), 4000);
  big.sense_len = 200;
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &big), 0);
  EXPECT_EQ(0, std::memcmp(big.sense, sense.data(), 32));
  EXPECT_EQ(big.sense_len, 200u);
  EXPECT_EQ(big.timeout_ms, 4000u);
  EXPECT_EQ(big.ddir, static_cast<uint32_t>(HULD_DDIR_FROM_DEVICE));
}

TEST_F(ScsiPassThrough, DataCopyNeverExceedsTheCallerBuffer) {
  sim::expect_resource_change("contract_violations");  // the driver overstates on purpose
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    call.out[2] = 0;
    put32(call.out, 12, 0x100000);  // a driver claiming far more than was asked for
    call.bytes_returned = call.out_size + 4096;
    return TRUE;
  };
  std::vector<uint8_t> buffer(16 + 8, 0xEE);  // 16 asked for, 8 guard bytes
  huld_scsi_cmd cmd = inquiry(buffer.data(), 16);
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0);
  EXPECT_EQ(cmd.xfer_len, 16u);
  for (size_t i = 16; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
}

TEST_F(ScsiPassThrough, FailuresAreRecordedNeverSuccess) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return call.fail(ERROR_SEM_TIMEOUT);
  };
  uint8_t buffer[36];
  huld_scsi_cmd cmd = inquiry(buffer, sizeof(buffer));
  huld_error err{};
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &cmd), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 121 file huld\\windows\\huld_scsi_windows function execute_scsi_ex"
                             " message error executing scsi ex DeviceIoControl");
}

// A successful call whose answer stops before ScsiStatus, or before the sense bytes it says it
// returned, leaves what was sent (GOOD, and the sense room's zeroes): a failure of the request.
TEST_F(ScsiPassThrough, AnswersShortOfWhatIsReadBackAreFailures) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  struct Row {
    uint8_t status, sense_length;
    DWORD returned;
    int result;
  } rows[] = {
      {0x02, 18, 0, 1},        // nothing handed back
      {0x02, 18, 2, 1},        // stops before ScsiStatus
      {0x00, 0, 55, 1},        // stops inside the structure
      {0x02, 18, 56, 1},       // CHECK CONDITION without its sense
      {0x02, 18, 56 + 17, 1},  // the sense's last byte missing
      {0x02, 18, 56 + 18, 0},  // all of it
      {0x00, 0, 56, 0},        // GOOD without sense
  };
  const std::vector<uint8_t> sense = fixed_sense(5, 0x24, 0);
  for (const Row &row : rows) {
    device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
      answer_spt(call, row.status, row.sense_length ? sense : std::vector<uint8_t>{}, {});
      call.bytes_returned = row.returned;
      return TRUE;
    };
    huld_scsi_cmd cmd = write_buffer(0x0E, 0, nullptr, 0, 30000);
    huld_error err{};
    EXPECT_EQ(huld_scsi_execute(&err, &dev, &cmd), row.result) << row.returned;
    if (row.result) {
      EXPECT_EQ(error_line(err), "code 4 subcode 13 file huld\\windows\\huld_scsi_windows function execute_scsi_ex"
                                 " message error executing scsi ex DeviceIoControl")
          << row.returned;
    }
  }
}

TEST_F(ScsiPassThrough, InvalidCommandsAreRefusedBeforeSending) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
  uint8_t buffer[36];
  huld_error err{};

  huld_scsi_cmd zero = inquiry(buffer, sizeof(buffer));
  zero.cdb_len = 0;
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &zero), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "invalid CDB length");

  huld_scsi_cmd long_cdb = inquiry(buffer, sizeof(buffer));
  long_cdb.cdb_len = 17;
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &long_cdb), 1);
  EXPECT_STREQ(err.message, "invalid CDB length");

  huld_scsi_cmd no_buffer = inquiry(nullptr, 36);
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &no_buffer), 1);
  EXPECT_STREQ(err.message, "invalid argument");

  huld_scsi_cmd huge = inquiry(buffer, 36);
  huge.data_len = 16u * 1024 * 1024 + 1;
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &huge), 1);
  EXPECT_STREQ(err.message, "invalid argument");

  EXPECT_TRUE(device.seen.empty());
}

// ---- Windows 8.1: firmware WRITE BUFFER to an in-box NVMe drive -------------------------------------

class Windows81Firmware : public ScsiPassThrough {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    load_machine(os_windows81());
    device.install();
  }
  BOOL answer_miniport(sim::IoctlCall &call, uint32_t return_code) {
    put32(call.out, 20, return_code);
    call.bytes_returned = call.out_size;
    return TRUE;
  }
};

TEST_F(Windows81Firmware, DownloadBecomesFirmwareRequest) {
  ASSERT_EQ(huld_environment_is_windows_8_1(), 1u);
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return answer_miniport(call, 0); };
  std::vector<uint8_t> piece(4096);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 7);
  huld_scsi_cmd cmd = write_buffer(0x0E, 0x012345, piece.data(), 4096, 1500);
  cmd.scsi_status = 0x55;  // not written by this road
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0) << err.message;

  ASSERT_EQ(device.seen.size(), 1u);
  const Seen &s = device.seen[0];
  EXPECT_EQ(s.code, kIoctlScsiMiniport);
  EXPECT_TRUE(s.same_buffer);
  ASSERT_EQ(s.in.size(), 4096u + 80u);
  EXPECT_EQ(le32(s.in, 0), 28u);
  EXPECT_EQ(0, std::memcmp(s.in.data() + 4, "FIRMWARE", 8));
  // 12: 1500 ms rounded up on this road; 36: download; 40: controller
  expect_le32(s.in, {{12, 2u}, {16, 0x001B0780u}, {24, 4096u + 52u}, {28, 1u}, {32, 24u}, {36, 2u}, {40, 1u},
      {44, 56u}, {48, 4096u + 24u}, {52, 0u}, {56, 1u}, {60, 24u}});
  EXPECT_EQ(le64(s.in, 64), 0x012345u);
  EXPECT_EQ(le64(s.in, 72), 4096u);
  EXPECT_EQ(0, std::memcmp(s.in.data() + 80, piece.data(), piece.size()));
  EXPECT_EQ(cmd.scsi_status, 0x55);
}

TEST_F(Windows81Firmware, ActivationOfSlotOne) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return answer_miniport(call, 0); };
  huld_scsi_cmd cmd = write_buffer(0x0F, 0, nullptr, 0, 500);
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &cmd), 0) << err.message;
  ASSERT_EQ(device.seen.size(), 1u);
  const Seen &s = device.seen[0];
  ASSERT_EQ(s.in.size(), 68u);
  // 12: 500 ms rounded up; 36: activate
  expect_le32(s.in, {{12, 1u}, {24, 40u}, {36, 3u}, {48, 12u}, {56, 1u}, {60, 12u}});
  EXPECT_EQ(s.in[64], 1);  // slot 1
  EXPECT_EQ(s.in[65] | s.in[66] | s.in[67], 0);
}

TEST_F(Windows81Firmware, OnlyDeferredModesOnInboxNvmeAreConverted) {
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    if (call.code == kIoctlScsiMiniport) return answer_miniport(call, 0);
    return answer_spt(call, 0, {}, {});
  };
  uint8_t piece[512] = {};
  huld_error err{};
  {
    huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
    // Mode 05h (download and save) and 07h (with offsets) keep their meaning: pass-through.
    huld_scsi_cmd save = write_buffer(0x05, 0, piece, sizeof(piece), 30000);
    ASSERT_EQ(huld_scsi_execute(&err, &dev, &save), 0);
    huld_scsi_cmd offsets = write_buffer(0x07, 0, piece, sizeof(piece), 30000);
    ASSERT_EQ(huld_scsi_execute(&err, &dev, &offsets), 0);
    huld_dev_cleanup(&dev);
    have_dev_ = false;
  }
  {
    // Another driver under Windows 8.1: pass-through.
    huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_SCSI);
    huld_scsi_cmd down = write_buffer(0x0E, 0, piece, sizeof(piece), 30000);
    ASSERT_EQ(huld_scsi_execute(&err, &dev, &down), 0);
  }
  ASSERT_EQ(device.seen.size(), 3u);
  for (const Seen &s : device.seen) EXPECT_EQ(s.code, kScsiPassThrough);
}

TEST_F(Windows81Firmware, DriverRejectionsAreFailures) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  uint32_t rc = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return answer_miniport(call, rc); };
  uint8_t piece[512] = {};
  huld_error err{};

  rc = 1;
  huld_scsi_cmd down = write_buffer(0x0E, 0, piece, sizeof(piece), 30000);
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &down), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 1 file huld\\windows\\huld_scsi_windows function execute_scsi_miniport"
                             " message SRB_IO_CONTROL return code 1 on firmware download");

  rc = 0x20;  // a download is never "pending"
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &down), 1);
  EXPECT_EQ(err.subcode, 0x20u);

  huld_scsi_cmd act = write_buffer(0x0F, 0, nullptr, 0, 30000);
  rc = 0x20;  // runs after the next reset: accepted
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &act), 0) << err.message;
  rc = 7;
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &act), 1);
  EXPECT_STREQ(err.message, "SRB_IO_CONTROL return code 7 on firmware activate");

  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_IO_DEVICE); };
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &act), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing scsi miniport protocol DeviceIoControl");
  EXPECT_STREQ(err.function, "execute_scsi_miniport");
}

TEST_F(ScsiPassThrough, WindowsTenSendsFirmwareWriteBufferThrough) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return answer_spt(call, 0, {}, {}); };
  uint8_t piece[512] = {};
  huld_scsi_cmd down = write_buffer(0x0E, 0x200, piece, sizeof(piece), 30000);
  huld_error err{};
  ASSERT_EQ(huld_scsi_execute(&err, &dev, &down), 0);
  ASSERT_EQ(device.seen.size(), 1u);
  EXPECT_EQ(device.seen[0].code, kScsiPassThrough);
  EXPECT_EQ(device.seen[0].in[36], 0x3B);
}

// ---- Probes ---------------------------------------------------------------------------------------------

class ScsiProbes : public ScsiPassThrough {};

TEST_F(ScsiProbes, InquiryAnswersYesOnAnySuccessfulCall) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, 0);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, 0x02, fixed_sense(5, 0x20, 0), {});
  };
  EXPECT_EQ(huld_scsi_windows_probe(&dev), 1);
  const Seen &s = device.seen.back();
  const uint8_t cdb[6] = {0x12, 0, 0, 0x02, 0, 0};
  EXPECT_EQ(0, std::memcmp(s.in.data() + 36, cdb, 6));
  EXPECT_EQ(le32(s.in, 12), 512u);
  EXPECT_EQ(le32(s.in, 16), 1u);  // 500 ms probe time-out
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_PARAMETER); };
  EXPECT_EQ(huld_scsi_windows_probe(&dev), 0);
}

TEST_F(ScsiProbes, SatAnswersYesOnlyWithGoodStatus) {
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_AHCI, 0);
  uint8_t status = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    return answer_spt(call, status, status ? fixed_sense(5, 0x20, 0) : std::vector<uint8_t>{},
                      status ? std::vector<uint8_t>{} : std::vector<uint8_t>(512, 0x11));
  };
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 1);
  const uint8_t cdb[16] = {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
  EXPECT_EQ(0, std::memcmp(device.seen.back().in.data() + 36, cdb, 16));
  EXPECT_EQ(device.seen.back().in[6], 16);
  status = 2;
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 0);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 0);
}

TEST_F(ScsiProbes, UsbBridgeProbeResendsOnceWhileBecomingReady) {
  huld_dev &dev = open(device.path(), INBOX_UAS_MASS_STORAGE, 0);
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> script;
  size_t next = 0;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    auto [status, sense] = script[std::min(next++, script.size() - 1)];
    return answer_spt(call, status, sense, status ? std::vector<uint8_t>{} : std::vector<uint8_t>(64, 1));
  };
  const auto ready = std::make_pair(uint8_t{0}, std::vector<uint8_t>{});
  const auto becoming = std::make_pair(uint8_t{2}, fixed_sense(2, 0x04, 0x01));
  const auto invalid = std::make_pair(uint8_t{2}, fixed_sense(5, 0x20, 0x00));
  struct Case {
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> answers;
    int yes;
    size_t sends;
  } cases[] = {
      {{ready}, 1, 1},
      {{becoming, ready}, 1, 2},
      {{becoming, becoming}, 1, 2},
      {{becoming, invalid}, 0, 2},
      {{invalid}, 0, 1},
  };
  for (const Case &c : cases) {
    script = c.answers;
    next = 0;
    device.seen.clear();
    EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&dev), c.yes);
    ASSERT_EQ(device.seen.size(), c.sends);
    const uint8_t cdb[16] = {0xE6, 0x06, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(device.seen[0].in.data() + 36, cdb, 16));
    EXPECT_EQ(le32(device.seen[0].in, 12), 4096u);
    EXPECT_EQ(le32(device.seen[0].in, 16), 1u);
  }
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&dev), 0);
}

}  // namespace

namespace {

std::string g_scsi_log;
bool g_scsi_capture = false;
int scsi_capture_sink(const char *text) {
  if (g_scsi_capture) g_scsi_log += text;
  return 0;
}

// The quoted lines of the pass-through, the Windows 8.1 conversion and the probes.
TEST_F(Windows81Firmware, LogLinesOfEveryRoadAndProbe) {
  static bool registered = false;
  if (!registered) {
    huld_log_add_sink(scsi_capture_sink);
    registered = true;
  }
  g_scsi_log.clear();
  g_scsi_capture = true;
  huld_log_level = HULD_LOG_VERBOSE;
  huld_dev &dev = open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_SCSI);
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    if (call.code == kIoctlScsiMiniport) return answer_miniport(call, 0);
    return answer_spt(call, 0x02, fixed_sense(5, 0x24, 0), {});
  };
  uint8_t piece[512] = {};
  huld_error err{};
  huld_scsi_cmd down = write_buffer(0x0E, 0, piece, sizeof(piece), 30000);
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &down), 0) << err.message;
  huld_scsi_cmd act = write_buffer(0x0F, 0, nullptr, 0, 30000);
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &act), 0) << err.message;
  uint8_t buffer[36];
  huld_scsi_cmd inq = inquiry(buffer, sizeof(buffer));
  inq.sense_len = 18;
  EXPECT_EQ(huld_scsi_execute(&err, &dev, &inq), 0) << err.message;
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 0);
  EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&dev), 0);
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  EXPECT_EQ(huld_scsi_windows_probe(&dev), 0);
  EXPECT_EQ(huld_scsi_windows_probe_sat(&dev), 0);
  g_scsi_capture = false;
  huld_log_level = 0;
  for (const char *line :
       {"scsi miniport fw download out\n", "scsi miniport fw activate out\n",
        "scsi pass through structure out\n", "spt->Length:             38h\n",
        "spt->SenseInfoLength:    20h\n", "spt->DataIn:             1h\n", "spt->Cdb:",
        "beginning of spt->Data:", "4ah bytes read IOCTL_SCSI_PASS_THROUGH\n",
        "scsi pass through structure in\n", "spt->ScsiStatus: 2h\n", "spt->SenseInfoLength: 12h\n",
        "spt->SenseInfoOffset: 38h\n", "spt->DataTransferLength: 0h\n",
        "copy sense data: 12 bytes (12 vs. 12)\n", "copy cmd data: 0 bytes (24 vs. 0)\n",
        "completed translation to huld_scsi_cmd\n", "scsi windows sat identify failed (status 2h)\n",
        "scsi windows asmedia nvme identify failed (status 2h)\n", "scsi windows inq failed\n",
        "scsi windows sat identify failed\n"}) {
    EXPECT_NE(g_scsi_log.find(line), std::string::npos) << line;
  }
}

}  // namespace

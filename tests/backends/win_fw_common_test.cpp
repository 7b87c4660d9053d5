// Windows storage firmware requests: the active-slot query and the two record fillers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "backends_support.h"
#include "huld/windows/win_fw_common.h"
#include "tests/support/huld_error_line.h"

using namespace backends_test;

namespace {

class FirmwareInfo : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    device.install();
    open(device.path(), WINDOWS_INBOX_AHCI, WINDOWS_ATA);
  }
  HANDLE handle() const { return dev_.conn.handle; }
  ScriptedDevice device;
};

TEST_F(FirmwareInfo, ActiveSlotFromByteTen) {
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    put32(call.out, 0, 56);
    call.out[9] = 4;   // slot count
    call.out[10] = 3;  // active slot
    call.bytes_returned = 56;
    return TRUE;
  };
  huld_error err{};
  uint32_t slot = 0xFF;
  ASSERT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 0);
  EXPECT_EQ(slot, 3u);
  const Seen &s = device.seen.back();
  EXPECT_EQ(s.code, kIoctlFwGetInfo);
  ASSERT_EQ(s.in.size(), 16u);
  expect_le32(s.in, {{0, 16u}, {4, 16u}, {8, 0u}, {12, 0u}});
  EXPECT_EQ(s.out_size, 56u);
}

TEST_F(FirmwareInfo, ShortOrFailedAnswersAreFailures) {
  DWORD returned = 10;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    std::memset(call.out, 0x07, call.out_size);
    call.bytes_returned = returned;
    return TRUE;
  };
  huld_error err{};
  uint32_t slot = 0xAA;
  EXPECT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_STREQ(err.message, "IOCTL_STORAGE_FIRMWARE_GET_INFO returned 10 bytes");
  EXPECT_EQ(slot, 0xAAu);
  returned = 11;
  EXPECT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 0);
  EXPECT_EQ(slot, 7u);

  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INVALID_FUNCTION); };
  slot = 0xAA;
  EXPECT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 1 file huld\\windows\\win_fw_common function win_fw_get_active_slot"
                             " message IOCTL_STORAGE_FIRMWARE_GET_INFO return code 1");
  EXPECT_EQ(slot, 0xAAu);
}

TEST_F(FirmwareInfo, SmallBufferIsRetriedOnceWithRoomForEverySlot) {
  DWORD first_error = ERROR_INSUFFICIENT_BUFFER;
  device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
    if (call.out_size < 24 + 32 * 4) return call.fail(first_error);
    call.out[10] = 2;
    call.bytes_returned = 24 + 32 * 4;
    return TRUE;
  };
  huld_error err{};
  uint32_t slot = 0;
  ASSERT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 0);
  EXPECT_EQ(slot, 2u);
  ASSERT_EQ(device.seen.size(), 2u);
  EXPECT_EQ(device.seen[1].out_size, 24u + 32u * 255u);

  first_error = ERROR_MORE_DATA;
  device.seen.clear();
  ASSERT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 0);
  EXPECT_EQ(device.seen.size(), 2u);

  // Only once.
  device.answer = [](sim::IoctlCall &call, const std::vector<uint8_t> &) { return call.fail(ERROR_INSUFFICIENT_BUFFER); };
  device.seen.clear();
  EXPECT_EQ(win_fw_get_active_slot(&err, handle(), &slot), 1);
  EXPECT_EQ(device.seen.size(), 2u);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(FirmwareRecords, DownloadRecordLayout) {
  std::vector<uint8_t> piece(4096);
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<uint8_t>(i * 3);
  STORAGE_HW_FIRMWARE_DOWNLOAD *record = nullptr;
  uint32_t size = 0;
  win_fw_fill_download(&record, &size, piece.data(), 4096, 0x6000, 0x1, 2);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(size, 4136u);
  const auto *r = reinterpret_cast<const uint8_t *>(record);
  expect_le32(r, {{0, 40u}, {4, 4136u}, {8, 1u}});
  EXPECT_EQ(r[12], 2);
  EXPECT_EQ(r[13] | r[14] | r[15], 0);
  EXPECT_EQ(le64(r, 16), 0x6000u);
  EXPECT_EQ(le64(r, 24), 4096u);
  EXPECT_EQ(0, std::memcmp(r + 32, piece.data(), 4096));
  for (uint32_t i = 32 + 4096; i < size; ++i) EXPECT_EQ(r[i], 0);
  std::free(record);

  // Refused pieces give no record.
  win_fw_fill_download(&record, &size, nullptr, 16, 0, 0, 0);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(size, 0u);
  win_fw_fill_download(&record, &size, piece.data(), 16u * 1024 * 1024 + 1, 0, 0, 0);
  EXPECT_EQ(record, nullptr);
}

TEST(FirmwareRecords, ActivationRecordLayout) {
  STORAGE_HW_FIRMWARE_ACTIVATE record;
  std::memset(&record, 0, sizeof(record));
  win_fw_fill_activate(&record, 0x80000000u, 5);
  const auto *r = reinterpret_cast<const uint8_t *>(&record);
  EXPECT_EQ(sizeof(record), 16u);
  expect_le32(r, {{0, 16u}, {4, 16u}, {8, 0x80000000u}});
  EXPECT_EQ(r[12], 5);
  EXPECT_EQ(r[13] | r[14] | r[15], 0);
}

}  // namespace

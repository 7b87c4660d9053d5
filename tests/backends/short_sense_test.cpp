// A translated NVMe command whose sense data stops before ASC/ASCQ: the zeroed rest of the sense
// buffer is not read as 00h/00h; the status stays "vendor specific" (SCT 7, SC FFh).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "backends_support.h"
#include "huld/huld_nvme.h"

using namespace backends_test;

namespace {

class ShortSense : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    device.install();
  }
  // Flush (SYNCHRONIZE CACHE) answered with CHECK CONDITION and the first `returned` sense bytes.
  uint32_t status_after(std::vector<uint8_t> sense, uint8_t returned) {
    sense.resize(32, 0);
    device.answer = [&](sim::IoctlCall &call, const std::vector<uint8_t> &) {
      call.out[2] = 0x02;
      call.out[7] = returned;
      std::memcpy(call.out + 56, sense.data(), returned);
      call.bytes_returned = 56 + returned;
      return TRUE;
    };
    if (!have_dev_) open(device.path(), WINDOWS_INBOX_NVME, WINDOWS_NVME);
    huld_nvme_cmd cmd{};
    cmd.queue = HULD_NVME_QUEUE_IO;
    cmd.timeout_ms = 30000;
    huld_error err{};
    EXPECT_EQ(huld_nvme_execute(&err, &dev_, &cmd), 0) << err.message;
    return (cmd.cpl[3] >> 17) & 0x7FF;
  }
  ScriptedDevice device;
};

TEST_F(ShortSense, SenseWithoutItsAscAndAscqIsNoSense) {
  // MEDIUM ERROR, unrecovered read error: read as 03h/00h/00h it would become SCT 0, SC 04h.
  const std::vector<uint8_t> fixed = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00};
  EXPECT_EQ(status_after(fixed, 8), 0x7FFu);
  EXPECT_EQ(status_after(fixed, 13), 0x7FFu) << "ASCQ missing";
  EXPECT_EQ(status_after(fixed, 14), (2u << 8) | 0x81);

  const std::vector<uint8_t> descriptor = {0x72, 0x03, 0x11, 0x00};
  EXPECT_EQ(status_after(descriptor, 3), 0x7FFu);
  EXPECT_EQ(status_after(descriptor, 4), (2u << 8) | 0x81);
}

}  // namespace

// DOWNLOAD MICROCODE on an Intel RST drive: the "IntelFw " requests on the RST port, checked
// against a scripted port that answers from the request bytes.
#include <gtest/gtest.h>

#include "backends/backends_support.h"
#include "huld/windows/huld_ata_windows.h"

namespace {

using namespace backends_test;

class RstFirmware : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    port_.install();
    disk_.install();
    // The port: get info reports slot 1 of 2 active; download and activate answer these codes.
    port_.answer = [this](sim::IoctlCall &call, const std::vector<uint8_t> &in) {
      std::memmove(call.out, in.data(), in.size());
      const uint32_t function = le32(in, 40);
      uint32_t rc = 0;
      if (function == 1) {
        rc = info_rc;
        call.out[65] = 2;
        call.out[66] = 1;
      }
      if (function == 2) rc = download_rc;
      if (function == 3) rc = activate_rc;
      put32(call.out, 20, rc);
      call.bytes_returned = static_cast<DWORD>(in.size());
      return TRUE;
    };
    huld_dev &dev = open(disk_.path(), INTEL_RST, WINDOWS_ATA);
    dev.scsi_address.PathId = 3;
    dev.rst_port_handle = CreateFileA(port_.path().c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(dev.rst_port_handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(dev_.rst_port_handle);
    dev_.rst_port_handle = INVALID_HANDLE_VALUE;
    BackendTest::TearDown();
  }
  int microcode(uint16_t mode, uint64_t lba, uint32_t len) {
    cmd_ = {};
    cmd_.protocol = len ? 5 : 3;
    cmd_.command = 0x92;
    cmd_.feature = mode;
    cmd_.lba = lba;
    cmd_.count = static_cast<uint16_t>(len / 512);
    cmd_.data = len ? piece_ : nullptr;
    cmd_.data_len = len;
    cmd_.ddir = len ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE;
    cmd_.timeout_ms = 1500;
    return huld_ata_windows_execute(&err_, &dev_, &cmd_);
  }

  ScriptedDevice port_{"\\\\.\\Scsi9:"};
  ScriptedDevice disk_;
  uint32_t info_rc = 0, download_rc = 0, activate_rc = 0;
  uint8_t piece_[1024] = {1, 2, 3};
  huld_ata_cmd cmd_{};
  huld_error err_{};
};

TEST_F(RstFirmware, DownloadAndActivateTheActiveSlot) {
  ASSERT_EQ(microcode(0x0E, 0x000100, 1024), 0) << err_.message;
  ASSERT_EQ(port_.seen.size(), 3u);  // get info, download, get info
  const std::vector<uint8_t> &d = port_.seen[1].in;
  ASSERT_EQ(d.size(), 1024u + 88);
  EXPECT_EQ(std::string(d.begin() + 4, d.begin() + 12), "IntelFw ");
  EXPECT_EQ(le32(d, 12), 1u) << "1500 ms truncated";
  EXPECT_EQ(le32(d, 24), 1024u + 60);
  EXPECT_EQ(d[29], 3) << "the record's PathId";
  EXPECT_EQ(le32(d, 44), 0u) << "flags of the ATA road";
  EXPECT_EQ(le64(d, 64), 512u) << "block offset 1";
  EXPECT_EQ(le64(d, 72), 1024u);
  EXPECT_EQ(d[80], 0xFF);
  EXPECT_EQ(d[88], 1);
  EXPECT_TRUE(disk_.seen.empty());

  activate_rc = 0x20;  // needs a power cycle: still accepted
  ASSERT_EQ(microcode(0x0F, 0, 0), 0) << err_.message;
  const std::vector<uint8_t> &a = port_.seen.back().in;
  ASSERT_EQ(a.size(), 68u);
  EXPECT_EQ(le32(a, 40), 3u);
  EXPECT_EQ(a[64], 1) << "the slot active before";

  // Other modes go through ATA pass-through on the disk.
  microcode(0x03, 0, 512);
  EXPECT_EQ(disk_.seen.size(), 1u);
  EXPECT_EQ(disk_.seen[0].code, 0x0004D02Cu);
}

TEST_F(RstFirmware, RefusalsAreErrorRecords) {
  download_rc = 1;
  EXPECT_EQ(microcode(0x0E, 0, 512), 1);
  EXPECT_EQ(err_.code, HULD_ERROR_SYSTEM);
  EXPECT_EQ(err_.subcode, 1u);
  activate_rc = 7;
  EXPECT_EQ(microcode(0x0F, 0, 0), 1);
  EXPECT_EQ(err_.subcode, 7u);
  info_rc = 1;
  const size_t before = port_.seen.size();
  EXPECT_EQ(microcode(0x0E, 0, 512), 1);
  EXPECT_EQ(port_.seen.size(), before + 1) << "no download without the active slot";
  EXPECT_STREQ(err_.message, "failed to capture firmware info structure v2 - srb failed");
  port_.answer = nullptr;  // the call itself fails
  EXPECT_EQ(microcode(0x0F, 0, 0), 1);
  EXPECT_EQ(err_.subcode, static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
}

}  // namespace

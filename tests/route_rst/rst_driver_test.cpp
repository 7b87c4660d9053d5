// The simulated Intel RST driver seen through raw request bytes: what its LU handles and its port
// refuse, what it answers for a SATA target, and a malformed request counted as a violation.
#include <vector>

#include "rst_support.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/fw_image.h"
#include "tests/support/resource_check.h"

namespace rst_test {
namespace {

constexpr DWORD kProtocolCommand = 0x002DD3C0;

void put32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t> &b, size_t off) {
  return uint32_t(b[off] | b[off + 1] << 8 | b[off + 2] << 16 | uint32_t(b[off + 3]) << 24);
}

std::vector<uint8_t> header(size_t size, const char *signature, uint32_t code, uint8_t path_id) {
  std::vector<uint8_t> b(size, 0);
  put32(b, 0, 28);
  std::memcpy(b.data() + 4, signature, 8);
  put32(b, 16, code);
  put32(b, 24, static_cast<uint32_t>(size - 28));
  b[28] = 1;
  b[29] = path_id;
  return b;
}

// "IntelNvm" Identify Controller for the drive at (path_id, 0, 0).
std::vector<uint8_t> identify(uint8_t path_id) {
  std::vector<uint8_t> b = header(164 + 4096, "IntelNvm", 0xF0002808, path_id);
  put32(b, 32, 0x06);
  put32(b, 72, 1);
  put32(b, 116, 164);
  put32(b, 120, 4096);
  return b;
}

// "IntelFw " with its request block; the structure is the caller's.
std::vector<uint8_t> firmware(size_t size, uint32_t function, uint8_t path_id, uint32_t version, uint32_t ssize) {
  std::vector<uint8_t> b = header(size, "IntelFw ", 0xF0000040, path_id);
  put32(b, 32, 1);
  put32(b, 36, 24);
  put32(b, 40, function);
  put32(b, 48, 56);
  put32(b, 52, static_cast<uint32_t>(size - 56));
  put32(b, 56, version);
  put32(b, 60, ssize);
  return b;
}

class RstDriver : public RstTest {
 protected:
  HANDLE open(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    handles_.push_back(h);
    return h;
  }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    RstTest::TearDown();
  }
  // One buffer in and out; the last error, or 0 when the call succeeded.
  static DWORD send(HANDLE h, DWORD code, std::vector<uint8_t> &b) {
    DWORD returned = 0;
    const DWORD size = static_cast<DWORD>(b.size());
    return DeviceIoControl(h, code, b.data(), size, b.data(), size, &returned, nullptr) ? 0 : GetLastError();
  }
  std::vector<HANDLE> handles_;
};

TEST_F(RstDriver, RefusalsOfLuHandlesAndPort) {
  HANDLE port = open(kPort);
  HANDLE e = open("\\\\.\\PhysicalDrive7");
  std::vector<uint8_t> b = identify(1);
  EXPECT_EQ(send(e, kMiniport, b), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  std::vector<uint8_t> pc(208 + 4096, 0);
  EXPECT_EQ(send(e, kProtocolCommand, pc), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  // SATA target, a volume, an empty address: ReturnCode 1, nothing written.
  for (uint8_t path : {0, 2, 3, 9}) {
    b = identify(path);
    ASSERT_EQ(send(port, kMiniport, b), 0u);
    EXPECT_EQ(get32(b, 20), 1u) << int(path);
    EXPECT_EQ(get32(b, 97 + 12) | b[164 + 4], 0u) << int(path);
  }
  b = header(152 + 4096, "NvmeMini", 0xE0002000, 0);  // a foreign signature on the port
  ASSERT_EQ(send(port, kMiniport, b), 0u);
  EXPECT_EQ(get32(b, 20), 1u);

  b = identify(1);
  ASSERT_EQ(send(port, kMiniport, b), 0u);
  EXPECT_EQ(get32(b, 20), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(b.data() + 164 + 4), 6), "SE0005");

  // A data buffer somewhere else than the driver expects.
  sim::expect_resource_change("contract_violations");
  put32(b, 116, 160);
  EXPECT_EQ(send(port, kMiniport, b), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim::contract_violation_count(), 1u);
}

TEST_F(RstDriver, SataDriveTakesFirmwareThroughIntelFw) {
  HANDLE port = open(kPort);
  std::vector<uint8_t> info = firmware(848, 1, 0, 2, 24);
  ASSERT_EQ(send(port, kMiniport, info), 0u);
  ASSERT_EQ(get32(info, 20), 0u);
  ASSERT_GE(info[65], 1);
  const uint8_t active = info[66];
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.data() + 80 + 24 * active + 8), 8), "SIM10001");

  const auto image = sim::make_test_image(sim::ImageTarget::Ata, "SIMATA02", 16384);
  for (size_t off = 0; off < image.size(); off += 8192) {
    std::vector<uint8_t> dl = firmware(88 + 8192, 2, 0, 2, 32);
    dl[52 - 8] = 0;  // ATA road: Flags 0
    put32(dl, 64, static_cast<uint32_t>(off));
    put32(dl, 72, 8192);
    dl[80] = 0xFF;
    std::memcpy(dl.data() + 88, image.data() + off, 8192);
    ASSERT_EQ(send(port, kMiniport, dl), 0u);
    ASSERT_EQ(get32(dl, 20), 0u) << off;
  }
  EXPECT_EQ(sim::storage_drive("D").ata->running_revision(), "SIM10001");
  std::vector<uint8_t> act = firmware(68, 3, 0, 1, 12);
  act[64] = active;
  ASSERT_EQ(send(port, kMiniport, act), 0u);
  EXPECT_EQ(get32(act, 20), 0u);
  EXPECT_EQ(sim::storage_drive("D").ata->running_revision(), "SIMATA02");
}

// A download or activation for an NVMe drive carries the controller flag, one for a SATA drive
// none; the driver refuses the other flags and the drive sees nothing.
TEST_F(RstDriver, FirmwareFlagsFitTheDrive) {
  HANDLE port = open(kPort);
  sim::expect_resource_change("contract_violations");
  std::vector<uint8_t> dl = firmware(88 + 4096, 2, 1, 2, 32);  // E, Flags 0
  put32(dl, 72, 4096);
  dl[80] = 0xFF;
  ASSERT_EQ(send(port, kMiniport, dl), 0u);
  EXPECT_EQ(get32(dl, 20), 3u);
  EXPECT_EQ(sim::storage_drive("E").nvme->staged_bytes(), 0u);
  std::vector<uint8_t> act = firmware(68, 3, 0, 1, 12);  // D, Flags 1
  put32(act, 44, 1);
  ASSERT_EQ(send(port, kMiniport, act), 0u);
  EXPECT_EQ(get32(act, 20), 3u);
  EXPECT_EQ(sim::contract_violation_count(), 2u);
}

}  // namespace
}  // namespace rst_test

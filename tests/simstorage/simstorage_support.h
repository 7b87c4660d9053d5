// Fixture of the storage-stack tests: a machine given by the test, the request builders of the
// driver tests; the suite's resource check fails a test that leaks or breaks a contract.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "simdrivers/storage_fixture.h"

namespace simstorage {

using namespace simtest;

// Error text of loading `machine` ("" when it loads).
inline std::string load_error(const std::string &machine) {
  try {
    sim::load_machine_json(machine);
  } catch (const std::exception &e) {
    sim::reset_machine();
    return e.what();
  }
  sim::reset_machine();
  return "";
}

class StackTest : public ::testing::Test {
 protected:
  void load(const std::string &machine) {
    sim::load_machine_json(machine);
  }
  // Leaks and contract violations fail the test through the suite's resource check.
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    sim::clear_faults();
    sim::reset_machine();
  }
  HANDLE open(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << path;
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  // Violations a test provoked on purpose: the texts, cleared.
  std::string take_violations() {
    std::string all;
    for (const std::string &v : sim::contract_violations()) all += v + "\n";
    sim::contract_violations_clear();
    return all;
  }
  // Identify Controller revision (FR) through the adapter property on `h`.
  std::string revision(HANDLE h) {
    Buf q = protocol_query(49, 1, 1, 0, 4096);
    Buf out(4096 + 48);
    EXPECT_TRUE(inout2(h, kQueryProperty, q, out).ok);
    return out.str(48 + 64, 8);
  }
  // The whole image through "FIRMWARE" downloads of 8 KiB and an activation of `slot`.
  void firmware_update(HANDLE h, const std::vector<uint8_t> &image, uint8_t slot) {
    for (size_t off = 0; off < image.size(); off += 8192) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(8192, image.size() - off));
      Buf dl = firmware_download(off, image.data() + off, n);
      ASSERT_TRUE(inout(h, kScsiMiniport, dl).ok);
      ASSERT_EQ(0u, dl.g32(20));
    }
    Buf act = firmware_activate(slot);
    ASSERT_TRUE(inout(h, kScsiMiniport, act).ok);
    ASSERT_EQ(0u, act.g32(20));
  }
  BOOL reset_bus(HANDLE h, uint8_t path_id = 0) {
    DWORD n = 0;
    return DeviceIoControl(h, kResetBus, &path_id, 1, nullptr, 0, &n, nullptr);
  }

  std::vector<HANDLE> handles_;
};

}  // namespace simstorage

// Write caching and buffer flushing on the default machine's first disk, and COM start-up.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "support/huld_error_line.h"
#include "support/log_capture.h"
#include "vornwincom/vornwincom_write_cache.h"

namespace {

using testsupport::captured_log;

class WriteCache : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::use_default_machine();
    dev_.conn.handle = CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, dev_.conn.handle);
  }
  void TearDown() override {
    CloseHandle(dev_.conn.handle);
    sim::reset_machine();
  }
  // The input of every SET request of `code`, in order.
  static std::vector<std::vector<uint8_t>> sets(DWORD code) {
    std::vector<std::vector<uint8_t>> out;
    for (const sim::TraceEntry &e : sim::trace_entries_for(code)) out.push_back(e.input);
    return out;
  }
  huld_dev dev_{};
  huld_error err_{};
};

TEST_F(WriteCache, WriteCachingTurnsReadCachingOnAndKeepsTheRest) {
  uint8_t on = 7;
  ASSERT_EQ(0, vornwincom_get_write_caching(&err_, &dev_, &on)) << error_line(err_);
  EXPECT_EQ(1, on);
  // A disk with read caching off and its own prefetch values.
  DISK_CACHE_INFORMATION info{};
  info.ParametersSavable = 1;
  info.WriteCacheEnabled = 1;
  info.DisablePrefetchTransferLength = 0x1234;
  info.ScalarPrefetch.Maximum = 0x55;
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(dev_.conn.handle, IOCTL_DISK_SET_CACHE_INFORMATION, &info, sizeof info, nullptr, 0, &n,
                              nullptr));
  sim::trace_clear();
  ASSERT_EQ(0, vornwincom_set_write_caching(&err_, &dev_, 0)) << error_line(err_);
  auto written = sets(IOCTL_DISK_SET_CACHE_INFORMATION);
  ASSERT_EQ(1u, written.size());
  info.ReadCacheEnabled = 1;
  info.WriteCacheEnabled = 0;
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t *>(&info), reinterpret_cast<uint8_t *>(&info + 1)),
            written[0]);
  ASSERT_EQ(0, vornwincom_get_write_caching(&err_, &dev_, &on));
  EXPECT_EQ(0, on);
}

TEST_F(WriteCache, BufferFlushingKeepsVersionAndState) {
  uint8_t flag = 7;
  ASSERT_EQ(0, vornwincom_get_write_cache_buffer_flushing(&err_, &dev_, &flag)) << error_line(err_);
  EXPECT_EQ(0, flag);
  ASSERT_EQ(0, vornwincom_set_write_cache_buffer_flushing(&err_, &dev_, 1)) << error_line(err_);
  ASSERT_EQ(0, vornwincom_get_write_cache_buffer_flushing(&err_, &dev_, &flag));
  EXPECT_EQ(1, flag);
  EXPECT_EQ(std::vector<uint8_t>({12, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}), sets(IOCTL_DISK_SET_CACHE_SETTING).at(0));
}

TEST_F(WriteCache, RefusedRequestsFailWithTheSystemErrorAndWriteNothing) {
  uint8_t v = 0;
  struct Case {
    DWORD refused;
    int (*call)(huld_error *, const huld_dev *, uint8_t *);
    int (*set)(huld_error *, const huld_dev *, uint8_t);
    DWORD set_code;
    const char *message;
  } cases[] = {
      {IOCTL_DISK_GET_CACHE_INFORMATION, vornwincom_get_write_caching, vornwincom_set_write_caching,
       IOCTL_DISK_SET_CACHE_INFORMATION, "failed to issue DeviceIoControl for getting cache information"},
      {IOCTL_DISK_GET_CACHE_SETTING, vornwincom_get_write_cache_buffer_flushing,
       vornwincom_set_write_cache_buffer_flushing, IOCTL_DISK_SET_CACHE_SETTING,
       "failed to issue DeviceIoControl for getting cache setting"},
  };
  for (const Case &c : cases) {
    sim::clear_faults();
    sim::trace_clear();
    sim::fail_ioctl("\\\\.\\PhysicalDrive0", c.refused, ERROR_INVALID_FUNCTION);
    EXPECT_EQ(1, c.call(&err_, &dev_, &v));
    EXPECT_EQ(std::string("code 1 subcode 1 file vornwincom\\source function ") +
                  (c.call == vornwincom_get_write_caching ? "vornwincom_get_write_caching"
                                                          : "vornwincom_get_write_cache_buffer_flushing") +
                  " message " + c.message,
              error_line(err_));
    EXPECT_EQ(1, c.set(&err_, &dev_, 0));
    EXPECT_STREQ(c.message, err_.message);
    EXPECT_TRUE(sets(c.set_code).empty());
  }
  sim::clear_faults();
  sim::fail_ioctl("\\\\.\\PhysicalDrive0", IOCTL_DISK_SET_CACHE_INFORMATION, ERROR_IO_DEVICE);
  sim::fail_ioctl("\\\\.\\PhysicalDrive0", IOCTL_DISK_SET_CACHE_SETTING, ERROR_IO_DEVICE);
  EXPECT_EQ(1, vornwincom_set_write_caching(&err_, &dev_, 0));
  EXPECT_EQ("code 1 subcode 1117 file vornwincom\\source function vornwincom_set_write_caching message "
            "failed to issue DeviceIoControl for setting cache information",
            error_line(err_));
  EXPECT_EQ(1, vornwincom_set_write_cache_buffer_flushing(&err_, &dev_, 1));
  EXPECT_STREQ("failed to issue DeviceIoControl for setting cache setting", err_.message);
  // No record or no result: refused.
  EXPECT_EQ(1, vornwincom_get_write_caching(&err_, nullptr, &v));
  EXPECT_EQ(1, vornwincom_get_write_cache_buffer_flushing(&err_, &dev_, nullptr));
  EXPECT_EQ(1, vornwincom_set_write_caching(&err_, nullptr, 1));
}

// An earlier failure left in the caller's record must not survive a call that succeeds.
TEST_F(WriteCache, SuccessClearsAnEarlierFailure) {
  uint8_t v = 0;
  const std::vector<std::function<int()>> calls = {
      [&] { return vornwincom_get_write_caching(&err_, &dev_, &v); },
      [&] { return vornwincom_set_write_caching(&err_, &dev_, 1); },
      [&] { return vornwincom_get_write_cache_buffer_flushing(&err_, &dev_, &v); },
      [&] { return vornwincom_set_write_cache_buffer_flushing(&err_, &dev_, 0); },
      [&] { return vornwincom_default_initialize_com(&err_); },  // joins the apartment
      [&] { return vornwincom_default_initialize_com(&err_); },  // already a member
      [&] { return vornwincom_default_uninitialize_com(&err_); },
      [&] { return vornwincom_default_uninitialize_com(&err_); },  // nothing left to give back
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    err_.code = HULD_ERROR_FAILURE;
    err_.subcode = 5;
    ASSERT_EQ(0, calls[i]());
    EXPECT_EQ(0u, err_.code);
    EXPECT_EQ(0u, err_.subcode);
  }
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  err_.code = HULD_ERROR_FAILURE;
  EXPECT_EQ(0, vornwincom_default_initialize_com(&err_));
  EXPECT_EQ(0u, err_.code);
  CoUninitialize();
}

class ComStartup : public ::testing::Test {
 protected:
  void SetUp() override { sim::use_default_machine(); }
  void TearDown() override { sim::reset_machine(); }
  static ULONG inits() { return sim::com_thread_state().inits; }
  huld_error err_{};
  testsupport::log_capture log_{HULD_LOG_DEBUG};
};

TEST_F(ComStartup, InitializeTwiceHoldsOneReference) {
  ASSERT_EQ(0, vornwincom_default_initialize_com(&err_));
  ASSERT_EQ(0, vornwincom_default_initialize_com(&err_));
  EXPECT_EQ(1u, inits());
  EXPECT_EQ(sim::ComApartment::mta, sim::com_thread_state().apartment);
  ASSERT_EQ(1u, sim::com_security_log().size());
  EXPECT_EQ(-1, sim::com_security_log()[0].auth_services);
  EXPECT_EQ(DWORD(RPC_C_IMP_LEVEL_IMPERSONATE), sim::com_security_log()[0].imp_level);
  EXPECT_EQ(0, vornwincom_default_uninitialize_com(&err_));
  EXPECT_EQ(0, vornwincom_default_uninitialize_com(&err_));  // nothing more to give back
  EXPECT_EQ(sim::ComApartment::none, sim::com_thread_state().apartment);
  EXPECT_EQ("", captured_log());
}

TEST_F(ComStartup, ASingleThreadedApartmentIsLeftAsItIs) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(0, vornwincom_default_initialize_com(&err_));
  EXPECT_EQ("ComConnection::initialize() --> CoInitializeEx return RPC_E_CHANGED_MODE\n", captured_log());
  EXPECT_EQ(0, vornwincom_default_uninitialize_com(&err_));
  EXPECT_EQ(sim::ComApartment::sta, sim::com_thread_state().apartment);
  EXPECT_EQ(1u, inits());
  CoUninitialize();
}

TEST_F(ComStartup, RefusedInitialization) {
  sim::fail_call({{"api", "com"}, {"function", "CoInitializeEx"}}, 0x8007000E);
  EXPECT_EQ(1, vornwincom_default_initialize_com(&err_));
  EXPECT_EQ("code 1 subcode 2147942414 file vornwincom\\source function vornwincom_default_initialize_com "
            "message Failed to initialize COM (8007000eh)",
            error_line(err_));
  EXPECT_EQ("ComConnection::intialize() --> CoInitializeEx failure: 8007000eh\n", captured_log());
  EXPECT_EQ(sim::ComApartment::none, sim::com_thread_state().apartment);
}

}  // namespace

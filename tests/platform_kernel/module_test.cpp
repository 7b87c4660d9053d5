// GetModuleFileNameA / GetModuleHandleA: configured and real paths, truncation as on Windows.
#include <unistd.h>

#include <cstring>
#include <string>

#include "kernel_fixture.h"

namespace {

using ModulePath = KernelTest;

TEST_F(ModulePath, AnswersTheConfiguredPath) {
  sim::app_knobs().module_path = "C:\\Tools\\update\\fwupdate.exe";
  char buf[MAX_PATH];
  std::memset(buf, 'x', sizeof buf);
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  EXPECT_EQ(n, 28u);
  EXPECT_STREQ(buf, "C:\\Tools\\update\\fwupdate.exe");
  EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), buf, MAX_PATH), 28u);
}

TEST_F(ModulePath, AnswersTheRealExecutableByDefault) {
  char real[4096];
  ssize_t len = readlink("/proc/self/exe", real, sizeof real - 1);
  ASSERT_GT(len, 0);
  real[len] = '\0';
  char buf[4096];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  EXPECT_EQ(n, static_cast<DWORD>(len));
  EXPECT_STREQ(buf, real);
}

TEST_F(ModulePath, TruncatesLikeWindows) {
  sim::app_knobs().module_path = "0123456789abcdefghij";  // 20 characters
  char buf[32];
  // Room for all but the NUL: truncated to size - 1 characters, result = size.
  std::memset(buf, 'x', sizeof buf);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 20), 20u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(buf, "0123456789abcdefghi");
  EXPECT_EQ(buf[20], 'x') << "nothing written past the buffer";

  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 5), 5u);
  EXPECT_STREQ(buf, "0123");
  EXPECT_EQ(buf[5], 'x');

  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 21), 20u);
  EXPECT_STREQ(buf, "0123456789abcdefghij");

  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 0), 0u);
}

TEST_F(ModulePath, ForcedTruncationAnswersTheBufferSize) {
  sim::app_knobs().module_path = "C:\\short.exe";
  sim::app_knobs().module_path_truncated = true;
  char buf[MAX_PATH];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buf, MAX_PATH), static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_LT(std::strlen(buf), static_cast<size_t>(MAX_PATH));
}

TEST_F(ModulePath, OtherModulesAreUnknown) {
  char buf[MAX_PATH];
  EXPECT_EQ(GetModuleHandleA("nosuch.dll"), nullptr);
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1000), buf, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace

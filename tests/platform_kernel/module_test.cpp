// GetModuleFileNameA / GetModuleHandleA: configured and real paths, truncation as on Windows.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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

// The narrow path loses what the ANSI code page cannot hold ('?' per character) and keeps the
// rest; the wide path is exact, and the wide open reaches the file through it.
TEST_F(ModulePath, WidePathKeepsWhatTheAnsiCodePageCannotHold) {
  char dir_template[] = "/tmp/module_wide_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string folder = std::string(dir_template) + "/\u00fcber \u66f4\u65b0";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string path = folder + "/tool.exe";
  sim::app_knobs().module_path = path;

  char narrow[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, MAX_PATH), std::strlen(dir_template) + 18);
  EXPECT_EQ(std::string(narrow), std::string(dir_template) + "/\u00fcber ?" "?/tool.exe");

  WCHAR wide[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
  EXPECT_EQ(n, std::strlen(dir_template) + 17);
  EXPECT_EQ(wide[n - 11], u'\u66f4');
  EXPECT_EQ(wide[n - 10], u'\u65b0');
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 4), 4u);  // truncated as the narrow form
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  GetModuleFileNameW(nullptr, wide, MAX_PATH);
  FILE *created = std::fopen(path.c_str(), "wb");
  ASSERT_NE(created, nullptr);
  std::fputs("abc", created);
  std::fclose(created);
  FILE *file = _wfopen(wide, L"rb");
  ASSERT_NE(file, nullptr);
  char text[4] = {0};
  EXPECT_EQ(std::fread(text, 1, 3, file), 3u);
  EXPECT_STREQ(text, "abc");
  std::fclose(file);
  EXPECT_EQ(std::fopen(narrow, "rb"), nullptr);
  unlink(path.c_str());
  rmdir(folder.c_str());
  rmdir(dir_template);
}

}  // namespace

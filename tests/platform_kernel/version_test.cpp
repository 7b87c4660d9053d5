// VerifyVersionInfoW against each operating system the tool tells apart, and the WinPE key.
#include <string>

#include "kernel_fixture.h"

namespace {

bool version_or_greater(WORD major, WORD minor, WORD sp) {
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  v.dwMajorVersion = major;
  v.dwMinorVersion = minor;
  v.wServicePackMajor = sp;
  ULONGLONG mask = 0;
  mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask);
}

bool workstation() {
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  v.wProductType = VER_NT_WORKSTATION;
  ULONGLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
  return VerifyVersionInfoW(&v, VER_PRODUCT_TYPE, mask);
}

// The release the way the tool decides it: WinPE key first, then the newest release the
// version tests accept.
std::string decide() {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE", 0,
                    KEY_READ, &k) == ERROR_SUCCESS) {
    RegCloseKey(k);
    return "winpe";
  }
  bool ws = workstation();
  if (version_or_greater(10, 0, 0)) return ws ? "windows_10" : "server_2016";
  if (version_or_greater(6, 3, 0)) return ws ? "windows_8_1" : "server_2012r2";
  if (version_or_greater(6, 2, 0)) return ws ? "windows_8" : "server_2012";
  if (version_or_greater(6, 1, 0)) return ws ? "windows_7" : "server_2008r2";
  return "none";
}

struct OsCase {
  const char *label;
  DWORD major, minor;
  BYTE product_type;
  bool winpe;
  const char *expected;
};

class OsConfigurations : public KernelTest, public ::testing::WithParamInterface<OsCase> {};

TEST_P(OsConfigurations, DecideTheRelease) {
  const OsCase &c = GetParam();
  sim::OsInfo os;
  os.major = c.major;
  os.minor = c.minor;
  os.product_type = c.product_type;
  os.winpe = c.winpe;
  sim::set_machine_os(os);
  EXPECT_EQ(decide(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OsConfigurations,
    ::testing::Values(OsCase{"Windows7", 6, 1, 1, false, "windows_7"},
                      OsCase{"Server2008R2", 6, 1, 3, false, "server_2008r2"},
                      OsCase{"Windows8", 6, 2, 1, false, "windows_8"},
                      OsCase{"Server2012", 6, 2, 3, false, "server_2012"},
                      OsCase{"Windows81", 6, 3, 1, false, "windows_8_1"},
                      OsCase{"Server2012R2", 6, 3, 3, false, "server_2012r2"},
                      OsCase{"Windows10", 10, 0, 1, false, "windows_10"},
                      OsCase{"Windows11", 10, 0, 1, false, "windows_10"},
                      OsCase{"Server2016", 10, 0, 3, false, "server_2016"},
                      OsCase{"Server2019DomainController", 10, 0, 2, false, "server_2016"},
                      OsCase{"Vista", 6, 0, 1, false, "none"},
                      OsCase{"WinPE", 10, 0, 1, true, "winpe"},
                      OsCase{"WinPEOnOldRelease", 6, 1, 3, true, "winpe"}),
    [](const ::testing::TestParamInfo<OsCase> &info) { return std::string(info.param.label); });

using Version = KernelTest;

TEST_F(Version, FailedTestsSetOldWinVersion) {
  sim::OsInfo os;
  os.major = 6;
  os.minor = 1;
  os.service_pack_major = 1;
  sim::set_machine_os(os);
  SetLastError(0);
  EXPECT_FALSE(version_or_greater(6, 2, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
  EXPECT_TRUE(version_or_greater(6, 1, 1));
  EXPECT_FALSE(version_or_greater(6, 1, 2)) << "service pack counts below the minor version";
  EXPECT_TRUE(version_or_greater(5, 9, 9)) << "the parts compare as one version number";
}

TEST_F(Version, EqualityAndBuildNumber) {
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  v.dwMajorVersion = 10;
  v.dwMinorVersion = 0;
  v.dwBuildNumber = 19045;
  ULONGLONG mask = 0;
  VER_SET_CONDITION(mask, VER_MAJORVERSION, VER_EQUAL);
  VER_SET_CONDITION(mask, VER_MINORVERSION, VER_EQUAL);
  VER_SET_CONDITION(mask, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  EXPECT_TRUE(VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER, mask));
  v.dwBuildNumber = 22000;
  EXPECT_FALSE(VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER, mask));
  v.dwBuildNumber = 0;
  v.dwMinorVersion = 1;
  EXPECT_FALSE(VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION, mask));
}

TEST_F(Version, MalformedRequestsAreRejected) {
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  SetLastError(0);
  EXPECT_FALSE(VerifyVersionInfoW(&v, 0, VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_FALSE(VerifyVersionInfoW(&v, VER_MAJORVERSION, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  // A type asked for without a condition of its own.
  EXPECT_FALSE(VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_PRODUCT_TYPE,
                                  VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
}

TEST_F(Version, ConditionMaskIsPure) {
  ULONGLONG a = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  EXPECT_EQ(a, VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL));
  ULONGLONG b = VerSetConditionMask(a, VER_PRODUCT_TYPE, VER_EQUAL);
  EXPECT_EQ(VerSetConditionMask(b, VER_PRODUCT_TYPE, VER_EQUAL), b);
  EXPECT_NE(a, b);
}

TEST_F(Version, WinPeKeyFollowsTheOperatingSystem) {
  sim::OsInfo os = sim::machine_os();
  os.winpe = true;
  sim::set_machine_os(os);
  EXPECT_TRUE(sim::registry_key_exists(sim::kWinPeKeyPath));
  os.winpe = false;
  sim::set_machine_os(os);
  EXPECT_FALSE(sim::registry_key_exists(sim::kWinPeKeyPath));
}

}  // namespace

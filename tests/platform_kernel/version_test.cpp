// VerifyVersionInfoW: version comparison, equality, malformed requests, and the WinPE key.

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

using Version = KernelTest;

TEST_F(Version, FailedTestsSetOldWinVersion) {
  sim::OsInfo os{.major = 6, .minor = 1, .service_pack_major = 1};
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

// Operating-system environment: the nine flags per Windows release, WinPE, the version tests, and
// concurrent first use.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "sim/machine.h"

namespace {

using Flags = std::array<uint32_t, 9>;  // winpe, 7, 2008r2, 8, 2012, 8.1, 2012r2, 10, 2016

Flags read_flags() {
  return {huld_environment_is_winpe(),       huld_environment_is_windows_7(),
          huld_environment_is_server_2008r2(), huld_environment_is_windows_8(),
          huld_environment_is_server_2012(),   huld_environment_is_windows_8_1(),
          huld_environment_is_server_2012r2(), huld_environment_is_windows_10(),
          huld_environment_is_server_2016()};
}

sim::OsInfo os(DWORD major, DWORD minor, bool server, bool winpe = false) {
  sim::OsInfo info{.major = major, .minor = minor, .product_type = static_cast<BYTE>(server ? 3 : 1), .winpe = winpe};
  return info;
}

struct Configuration {
  const char *name;
  sim::OsInfo os;
  int flag;  // index of the one flag that is 1, -1 for none
};

class Environment : public ::testing::TestWithParam<Configuration> {
 protected:
  void TearDown() override { sim::reset_machine(); }
};

TEST_P(Environment, ExactlyTheReleaseFlagIsSet) {
  const Configuration &c = GetParam();
  sim::set_machine_os(c.os);
  huld_environment_initialize();
  Flags expected{};
  if (c.flag >= 0) expected[c.flag] = 1;
  EXPECT_EQ(read_flags(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, Environment,
    ::testing::Values(Configuration{"Windows7", os(6, 1, false), 1},
                      Configuration{"Server2008R2", os(6, 1, true), 2},
                      Configuration{"Windows8", os(6, 2, false), 3},
                      Configuration{"Server2012", os(6, 2, true), 4},
                      Configuration{"Windows81", os(6, 3, false), 5},
                      Configuration{"Server2012R2", os(6, 3, true), 6},
                      Configuration{"Windows10", os(10, 0, false), 7},
                      Configuration{"Server2016", os(10, 0, true), 8},
                      Configuration{"Server2019", os(10, 0, true), 8},
                      Configuration{"Vista", os(6, 0, false), -1},
                      Configuration{"WinPE", os(10, 0, false, true), 0}),
    [](const ::testing::TestParamInfo<Configuration> &info) { return std::string(info.param.name); });

TEST(EnvironmentVersionTests, AskTheRunningRelease) {
  sim::set_machine_os(os(6, 3, true));
  EXPECT_EQ(huld_is_windows_7_or_greater(), 1);
  EXPECT_EQ(huld_is_windows_8_or_greater(), 1);
  EXPECT_EQ(huld_is_windows_8_1_or_greater(), 1);
  EXPECT_EQ(huld_is_windows_10_or_greater(), 0);
  EXPECT_EQ(huld_is_windows_server(), 1);
  EXPECT_EQ(huld_is_windows_version_or_greater(6, 3, 1), 0);  // no service pack 1

  sim::set_machine_os(os(10, 0, false));
  EXPECT_EQ(huld_is_windows_10_or_greater(), 1);
  EXPECT_EQ(huld_is_windows_8_1_or_greater(), 1);  // 10.0 is later than 6.3
  EXPECT_EQ(huld_is_windows_server(), 0);
  sim::reset_machine();
}

std::string g_environment_log;
int capture_environment_log(const char *text) {
  g_environment_log += text;
  return 0;
}

TEST(EnvironmentLog, DecisionLinesInOrder) {
  static bool added = false;
  if (!added) huld_log_add_sink(capture_environment_log);
  added = true;
  const uint32_t saved = huld_log_level;
  huld_log_level = 30;

  sim::set_machine_os(os(6, 3, true));
  g_environment_log.clear();
  huld_environment_initialize();
  EXPECT_EQ(g_environment_log,
            "initialize huld_environment\n"
            "Environment Keys:\n"
            "Windows 10:  0\n"
            "Windows 8.1: 0\n"
            "Windows 8:   0\n"
            "Windows 7:   0\n"
            "Windows Server 2012r2: 1\n"
            "Windows Server 2016:   0\n"
            "Windows Server 2012:   0\n"
            "Windows Server 2008r2: 0\n");

  sim::set_machine_os(os(10, 0, false, true));
  g_environment_log.clear();
  huld_environment_initialize();
  EXPECT_EQ(g_environment_log, "initialize huld_environment\nDetected WinPE via registry.\n");

  // Once decided, the getters do not decide again.
  g_environment_log.clear();
  EXPECT_EQ(huld_environment_is_winpe(), 1u);
  EXPECT_EQ(g_environment_log, "");

  huld_log_level = saved;
  sim::reset_machine();
}

// Run in a fresh process (the flags are decided once per process): several threads use the flags
// for the first time at once; every one of them must see the complete, decided set.
void concurrent_first_use() {
  sim::set_machine_os(os(10, 0, true));
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<Flags> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      // Read in an order that starts with a flag that ends up 1.
      seen[i][8] = huld_environment_is_server_2016();
      seen[i][7] = huld_environment_is_windows_10();
      Flags rest = read_flags();
      for (int f = 0; f < 7; ++f) seen[i][f] = rest[f];
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  go.store(true);
  for (auto &t : threads) t.join();
  const Flags expected = {0, 0, 0, 0, 0, 0, 0, 0, 1};
  for (const Flags &f : seen) {
    if (f != expected) std::_Exit(1);
  }
  std::_Exit(0);
}

TEST(EnvironmentDeathTest, ConcurrentFirstUseSeesOneCompleteSet) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(concurrent_first_use(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

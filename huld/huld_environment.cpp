// Which Windows release the process runs on.
#define HULD_MODULE "huld\\huld_environment"

#include "huld/huld_environment.h"

#include <atomic>
#include <mutex>

#include "huld/huld_log.h"
#include "platform/win32.h"

namespace {

constexpr uint32_t kUndecided = 0xFFFFFFFFu;
constexpr const char *kWinPeKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE";

// The published flags. A reader looks at them only after `g_decided` is set, which happens
// after every flag is written, so no thread ever sees a half-decided set.
std::atomic<uint32_t> g_flags[9] = {kUndecided, kUndecided, kUndecided, kUndecided, kUndecided,
                                    kUndecided, kUndecided, kUndecided, kUndecided};
std::atomic<bool> g_decided{false};
std::mutex g_decide_mutex;

enum flag_index {
  IS_WINPE,
  WINDOWS_7,
  SERVER_2008R2,
  WINDOWS_8,
  SERVER_2012,
  WINDOWS_8_1,
  SERVER_2012R2,
  WINDOWS_10,
  SERVER_2016,
};

int is_workstation() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.wProductType = VER_NT_WORKSTATION;
  const DWORDLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
  return VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask) ? 1 : 0;
}

huld_environment decide() {
  HULD_LOG(HULD_LOG_DEBUG, "initialize huld_environment\n");
  huld_environment env{};

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinPeKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    env.is_winpe = 1;
    RegCloseKey(key);
    HULD_LOG(HULD_LOG_DEBUG, "Detected WinPE via registry.\n");
    return env;
  }

  if (huld_is_windows_version_or_greater(10, 0, 0)) {
    (is_workstation() ? env.windows_10 : env.server_2016) = 1;
  } else if (huld_is_windows_version_or_greater(6, 3, 0)) {
    (is_workstation() ? env.windows_8_1 : env.server_2012r2) = 1;
  } else if (huld_is_windows_version_or_greater(6, 2, 0)) {
    (is_workstation() ? env.windows_8 : env.server_2012) = 1;
  } else if (huld_is_windows_version_or_greater(6, 1, 0)) {
    (is_workstation() ? env.windows_7 : env.server_2008r2) = 1;
  }

  HULD_LOG(HULD_LOG_DEBUG, "Environment Keys:\n");
  HULD_LOG(HULD_LOG_DEBUG, "Windows 10:  %u\n", env.windows_10);
  HULD_LOG(HULD_LOG_DEBUG, "Windows 8.1: %u\n", env.windows_8_1);
  HULD_LOG(HULD_LOG_DEBUG, "Windows 8:   %u\n", env.windows_8);
  HULD_LOG(HULD_LOG_DEBUG, "Windows 7:   %u\n", env.windows_7);
  HULD_LOG(HULD_LOG_DEBUG, "Windows Server 2012r2: %u\n", env.server_2012r2);
  HULD_LOG(HULD_LOG_DEBUG, "Windows Server 2016:   %u\n", env.server_2016);
  HULD_LOG(HULD_LOG_DEBUG, "Windows Server 2012:   %u\n", env.server_2012);
  HULD_LOG(HULD_LOG_DEBUG, "Windows Server 2008r2: %u\n", env.server_2008r2);
  return env;
}

void publish(const huld_environment &env) {
  const uint32_t values[9] = {env.is_winpe,    env.windows_7,     env.server_2008r2,
                              env.windows_8,   env.server_2012,   env.windows_8_1,
                              env.server_2012r2, env.windows_10, env.server_2016};
  for (int i = 0; i < 9; ++i) g_flags[i].store(values[i], std::memory_order_relaxed);
  g_decided.store(true, std::memory_order_release);
}

uint32_t get(flag_index index) {
  if (!g_decided.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(g_decide_mutex);
    if (!g_decided.load(std::memory_order_acquire)) publish(decide());
  }
  return g_flags[index].load(std::memory_order_relaxed);
}

}  // namespace

void huld_environment_initialize(void) {
  std::lock_guard<std::mutex> lock(g_decide_mutex);
  publish(decide());
}

uint32_t huld_environment_is_winpe(void) { return get(IS_WINPE); }
uint32_t huld_environment_is_windows_7(void) { return get(WINDOWS_7); }
uint32_t huld_environment_is_server_2008r2(void) { return get(SERVER_2008R2); }
uint32_t huld_environment_is_windows_8(void) { return get(WINDOWS_8); }
uint32_t huld_environment_is_server_2012(void) { return get(SERVER_2012); }
uint32_t huld_environment_is_windows_8_1(void) { return get(WINDOWS_8_1); }
uint32_t huld_environment_is_server_2012r2(void) { return get(SERVER_2012R2); }
uint32_t huld_environment_is_windows_10(void) { return get(WINDOWS_10); }
uint32_t huld_environment_is_server_2016(void) { return get(SERVER_2016); }

int huld_is_windows_version_or_greater(uint16_t major, uint16_t minor, uint16_t service_pack_major) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = major;
  info.dwMinorVersion = minor;
  info.wServicePackMajor = service_pack_major;
  DWORDLONG mask = 0;
  mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            mask)
             ? 1
             : 0;
}

int huld_is_windows_7_or_greater(void) { return huld_is_windows_version_or_greater(6, 1, 0); }
int huld_is_windows_8_or_greater(void) { return huld_is_windows_version_or_greater(6, 2, 0); }
int huld_is_windows_8_1_or_greater(void) { return huld_is_windows_version_or_greater(6, 3, 0); }
int huld_is_windows_10_or_greater(void) { return huld_is_windows_version_or_greater(10, 0, 0); }
int huld_is_windows_server(void) { return is_workstation() ? 0 : 1; }

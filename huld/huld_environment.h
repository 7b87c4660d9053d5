// Which Windows release the process runs on, decided once per process from the WinPE registry
// key and VerifyVersionInfoW, plus small version tests.
#pragma once

#include <cstdint>

// The nine flags, each FFFFFFFFh until decided, then 0 or 1. At most one release flag is 1; in
// WinPE all eight release flags are 0.
typedef struct huld_environment {
  uint32_t is_winpe;
  uint32_t windows_7;
  uint32_t server_2008r2;
  uint32_t windows_8;
  uint32_t server_2012;
  uint32_t windows_8_1;
  uint32_t server_2012r2;
  uint32_t windows_10;
  uint32_t server_2016;
} huld_environment;

// Decides the flags (once per process; later calls and concurrent first calls see the same,
// completely decided set).
void huld_environment_initialize(void);

// Each returns its flag, deciding the flags first when needed.
uint32_t huld_environment_is_winpe(void);
uint32_t huld_environment_is_windows_7(void);
uint32_t huld_environment_is_server_2008r2(void);
uint32_t huld_environment_is_windows_8(void);
uint32_t huld_environment_is_server_2012(void);
uint32_t huld_environment_is_windows_8_1(void);
uint32_t huld_environment_is_server_2012r2(void);
uint32_t huld_environment_is_windows_10(void);
uint32_t huld_environment_is_server_2016(void);

// Version tests (1 or 0): at least major.minor with the service-pack major.
int huld_is_windows_version_or_greater(uint16_t major, uint16_t minor, uint16_t service_pack_major);
int huld_is_windows_7_or_greater(void);
int huld_is_windows_8_or_greater(void);
int huld_is_windows_8_1_or_greater(void);
int huld_is_windows_10_or_greater(void);
// 1 when the product type is not workstation.
int huld_is_windows_server(void);

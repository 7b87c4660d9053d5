// Internals shared by the LED sources: the LED device map and its lock, and the frame of every
// flat LED function.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "huld/huld_log.h"
#include "platform/win32.h"
#include "vornwincom/flat_call.h"
#include "vornwincom/LedDevice.h"
#include "vornwincom/vornwincom_led.h"

// LED device path -> device; the map owns one reference on each device. Lives for the process
// and is never released at exit (the servers may be gone by then).
extern std::map<std::string, ILedDevice *> ldev_map;
// Guards ldev_map; made during static initialisation (null when that failed).
extern HANDLE ldev_map_mutex;

namespace vornwincom {

inline constexpr const char *kLedModule = "vornwincom\\source";
inline constexpr const char *kLockFailure = "failed to synchronize ldev map operations\n";

// Records a failure (code 1) in the name of `function`; evaluates to 1.
#define LED_ERROR(err, function, subcode, ...) \
  huld_error_set((err), HULD_ERROR_FAILURE, (subcode), vornwincom::kLedModule, (function), __LINE__, __VA_ARGS__)

// Holds the map's lock while it lives, when it could be taken.
class LdevMapLock {
 public:
  LdevMapLock() : held_(lock_ldev_map() == 0) {}
  ~LdevMapLock() {
    if (held_) unlock_ldev_map();
  }
  LdevMapLock(const LdevMapLock &) = delete;
  LdevMapLock &operator=(const LdevMapLock &) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

// Reads a number the way the standard string-to-int conversion does with base 10 or 16 (leading
// white space, optional sign, for base 16 an optional "0x", digits up to the first other
// character, the signed 32-bit range), without throwing. False for no digit or out of range.
inline bool read_int32(const char *p, int base, int32_t *out) {
  auto digit = [base](char c) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    return d < base ? d : -1;
  };
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit(p[2]) >= 0) p += 2;
  if (digit(*p) < 0) return false;
  int64_t value = 0;
  for (; digit(*p) >= 0; ++p) {
    value = value * base + digit(*p);
    if (value > int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// Runs the body of the flat LED function `function` (see flat_call).
template <class Body>
int led_flat_call(huld_error *err, const char *function, Body &&body) {
  return flat_call(err, kLedModule, function, std::forward<Body>(body));
}

}  // namespace vornwincom

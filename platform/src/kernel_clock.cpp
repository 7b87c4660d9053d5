// The machine's clock: virtual milliseconds that run at 1 / time_scale times real time.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/win_kernel.h"
#include "sim/machine.h"

namespace sim {
namespace {

using steady = std::chrono::steady_clock;

// The clock is anchored at a real instant and a virtual value; it is re-anchored whenever the
// time scale changes, so that it never jumps or runs backwards.
struct Clock {
  std::mutex lock;
  steady::time_point real_anchor = steady::now();
  double virtual_anchor_ms = 3600000.0;  // the machine has been up for an hour
  double scale = 1.0;

  double now_locked() {
    double s = app_knobs().time_scale;
    steady::time_point real = steady::now();
    double v = virtual_anchor_ms;
    if (scale > 0) {
      std::chrono::duration<double, std::milli> elapsed = real - real_anchor;
      v += elapsed.count() / scale;
    }
    if (s != scale || scale <= 0) {
      virtual_anchor_ms = v;
      real_anchor = real;
      scale = s;
    }
    return v;
  }
};

Clock &clock() {
  static Clock *c = new Clock;
  return *c;
}

double current_scale() {
  double s = app_knobs().time_scale;
  return s > 0 && std::isfinite(s) ? s : 0.0;
}

std::chrono::nanoseconds real_duration(DWORD ms) {
  double ns = static_cast<double>(ms) * current_scale() * 1e6;
  if (ns > 1e15) ns = 1e15;  // about eleven days: "practically forever"
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

}  // namespace

uint64_t virtual_now_ms() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.lock);
  return static_cast<uint64_t>(c.now_locked());
}

void advance_virtual_clock(uint64_t ms) {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.lock);
  c.now_locked();
  c.virtual_anchor_ms += static_cast<double>(ms);
}

void scaled_sleep(DWORD ms) {
  if (ms == 0 || current_scale() == 0) {
    if (ms != 0) advance_virtual_clock(ms);
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(real_duration(ms));
}

bool scaled_wait(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                 DWORD timeout_ms, const std::function<bool()> &pred) {
  if (pred()) return true;
  if (timeout_ms == INFINITE) {
    cv.wait(lock, pred);
    return true;
  }
  if (timeout_ms == 0) return false;
  if (current_scale() == 0) {
    advance_virtual_clock(timeout_ms);
    return pred();
  }
  return cv.wait_for(lock, real_duration(timeout_ms), pred);
}

}  // namespace sim

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    // Sleeps forever on Windows; here it parks the thread.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  sim::scaled_sleep(dwMilliseconds);
}

DWORD GetTickCount(void) { return static_cast<DWORD>(sim::virtual_now_ms()); }

ULONGLONG GetTickCount64(void) { return sim::virtual_now_ms(); }

errno_t localtime_s(struct tm *_Tm, const time_t *_Time) {
  if (_Tm == nullptr) return EINVAL;
  if (_Time == nullptr || *_Time < 0) {
    std::memset(_Tm, 0xff, sizeof *_Tm);  // the CRT marks the result invalid
    return EINVAL;
  }
  int64_t fixed = sim::app_knobs().fixed_calendar_time;
  if (fixed >= 0) {
    time_t t = static_cast<time_t>(fixed);
    return gmtime_r(&t, _Tm) == nullptr ? EINVAL : 0;
  }
  if (localtime_r(_Time, _Tm) == nullptr) return EINVAL;
  return 0;
}

errno_t asctime_s(char *_Buf, size_t _SizeInBytes, const struct tm *_Tm) {
  if (_Buf == nullptr || _SizeInBytes == 0) return EINVAL;
  _Buf[0] = '\0';
  if (_Tm == nullptr) return EINVAL;
  if (_SizeInBytes < 26) return EINVAL;
  char tmp[64];
  if (asctime_r(_Tm, tmp) == nullptr || std::strlen(tmp) >= _SizeInBytes) return EINVAL;
  std::memcpy(_Buf, tmp, std::strlen(tmp) + 1);
  return 0;
}

// Last error, CloseHandle, WaitForSingleObject and the counters behind the application knobs.
#include <mutex>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "sim/handles.h"
#include "sim/machine.h"

namespace {

thread_local DWORD t_last_error = 0;

struct Counters {
  std::mutex lock;
  sim::AppCounters values;
};

Counters &counters() {
  static Counters *c = new Counters;
  return *c;
}

}  // namespace

namespace sim {

AppCounters app_counters() {
  Counters &c = counters();
  std::lock_guard<std::mutex> g(c.lock);
  return c.values;
}

namespace internal {

int count_mutex_create() {
  Counters &c = counters();
  std::lock_guard<std::mutex> g(c.lock);
  return ++c.values.mutex_creates;
}

int count_thread_create() {
  Counters &c = counters();
  std::lock_guard<std::mutex> g(c.lock);
  return ++c.values.thread_creates;
}

int count_mutex_wait() {
  Counters &c = counters();
  std::lock_guard<std::mutex> g(c.lock);
  return ++c.values.mutex_waits;
}

void reset_kernel_counters() {
  Counters &c = counters();
  std::lock_guard<std::mutex> g(c.lock);
  c.values = AppCounters{};
}

}  // namespace internal
}  // namespace sim

DWORD GetLastError(void) { return t_last_error; }

void SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

BOOL CloseHandle(HANDLE hObject) {
  if (!sim::handle_remove(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<sim::KernelObject> object = sim::handle_lookup(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->wait(dwMilliseconds);
}

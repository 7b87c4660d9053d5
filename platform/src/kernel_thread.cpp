// Threads: a real std::thread behind each handle, signalled when its routine returns.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "sim/handles.h"
#include "sim/machine.h"

namespace {

thread_local DWORD t_thread_id = 0;
std::atomic<DWORD> g_next_thread_id{0x1000};

// Threads whose routine is still running.
struct Running {
  std::mutex lock;
  sim::MachineCondition cv;
  size_t count = 0;
};

Running &running() {
  static Running *r = new Running;
  return *r;
}

class ThreadObject : public sim::KernelObject {
 public:
  explicit ThreadObject(DWORD id, bool suspended) : id_(id), suspend_count_(suspended ? 1 : 0) {}
  const char *kind() const override { return "thread"; }

  DWORD wait(DWORD timeout_ms) override {
    std::unique_lock<std::mutex> lk(lock_);
    return sim::machine_wait(cv_, lk, timeout_ms, [&] { return done_; }) ? WAIT_OBJECT_0
                                                                           : WAIT_TIMEOUT;
  }

  DWORD id() const { return id_; }

  DWORD exit_code() {
    std::lock_guard<std::mutex> g(lock_);
    return done_ ? exit_code_ : STILL_ACTIVE;
  }

  void wait_until_resumed() {
    std::unique_lock<std::mutex> lk(lock_);
    sim::machine_wait(cv_, lk, INFINITE, [&] { return suspend_count_ == 0; });
  }

  DWORD resume() {
    std::lock_guard<std::mutex> g(lock_);
    DWORD previous = suspend_count_;
    if (suspend_count_ > 0 && --suspend_count_ == 0) cv_.notify_all();
    return previous;
  }

  void finish(DWORD code) {
    {
      std::lock_guard<std::mutex> g(lock_);
      exit_code_ = code;
      done_ = true;
    }
    cv_.notify_all();
  }

 private:
  const DWORD id_;
  std::mutex lock_;
  sim::MachineCondition cv_;
  DWORD suspend_count_;
  bool done_ = false;
  DWORD exit_code_ = STILL_ACTIVE;
};

HANDLE start_thread(std::function<DWORD()> routine, DWORD flags, DWORD *id_out) {
  int n = sim::internal::count_thread_create();
  int fail_at = sim::app_knobs().fail_thread_create_at;
  if (fail_at > 0 && n == fail_at) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto object = std::make_shared<ThreadObject>(sim::internal::allocate_thread_id(),
                                               (flags & CREATE_SUSPENDED) != 0);
  Running &r = running();
  {
    std::lock_guard<std::mutex> g(r.lock);
    ++r.count;
  }
  sim::internal::clock_thread_created();
  try {
    std::thread([object, routine = std::move(routine)] {
      sim::internal::set_current_thread_id(object->id());
      sim::internal::clock_thread_begins();
      SetLastError(ERROR_SUCCESS);
      object->wait_until_resumed();
      DWORD code = routine();
      // Mutexes still owned are abandoned before anyone can see the thread as ended.
      sim::internal::abandon_owned_mutexes();
      object->finish(code);
      Running &run = running();
      {
        std::lock_guard<std::mutex> g(run.lock);
        --run.count;
      }
      run.cv.notify_all();
      sim::internal::clock_thread_ends();
    }).detach();
  } catch (const std::system_error &) {
    sim::internal::clock_thread_not_started();
    {
      std::lock_guard<std::mutex> g(r.lock);
      --r.count;
    }
    r.cv.notify_all();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (id_out != nullptr) *id_out = object->id();
  return sim::handle_add(object);
}

}  // namespace

namespace sim {

size_t running_thread_count() {
  Running &r = running();
  std::lock_guard<std::mutex> g(r.lock);
  return r.count;
}

bool wait_for_threads(DWORD timeout_ms) {
  Running &r = running();
  std::unique_lock<std::mutex> lk(r.lock);
  return machine_wait(r.cv, lk, timeout_ms, [&] { return r.count == 0; });
}

namespace internal {

DWORD allocate_thread_id() { return g_next_thread_id.fetch_add(4); }

DWORD current_thread_id() {
  if (t_thread_id == 0) t_thread_id = allocate_thread_id();
  return t_thread_id;
}

void set_current_thread_id(DWORD id) { t_thread_id = id; }

}  // namespace internal
}  // namespace sim

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  (void)lpThreadAttributes;
  (void)dwStackSize;
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return start_thread([lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); },
                      dwCreationFlags, lpThreadId);
}

uintptr_t _beginthreadex(void *security, unsigned stack_size,
                         unsigned(__stdcall *start_address)(void *), void *arglist,
                         unsigned initflag, unsigned *thrdaddr) {
  (void)security;
  (void)stack_size;
  if (start_address == nullptr) {
    errno = EINVAL;
    return 0;
  }
  DWORD id = 0;
  HANDLE h = start_thread(
      [start_address, arglist] { return static_cast<DWORD>(start_address(arglist)); },
      initflag, &id);
  if (h == nullptr) {
    errno = EAGAIN;
    return 0;
  }
  if (thrdaddr != nullptr) *thrdaddr = id;
  return reinterpret_cast<uintptr_t>(h);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = sim::handle_lookup_as<ThreadObject>(hThread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = t->exit_code();
  return TRUE;
}

DWORD ResumeThread(HANDLE hThread) {
  auto t = sim::handle_lookup_as<ThreadObject>(hThread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  return t->resume();
}

DWORD GetCurrentThreadId(void) { return sim::internal::current_thread_id(); }

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

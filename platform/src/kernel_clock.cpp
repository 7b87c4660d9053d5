// The machine's clock: virtual milliseconds that move only when every participating thread is
// blocked in a stand-in wait, straight to the earliest deadline (see sim/machine.h).
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "sim/machine.h"

namespace sim {

namespace {

// What the clock knows of a thread. Plain data in thread-local storage: it stays valid while the
// thread's other thread-local objects are destroyed.
struct ThreadRec {
  pid_t tid = 0;
  int guards = 0;                // SimulatedThread guards (CreateThread threads hold one)
  ClockWaiter *wait = nullptr;   // the stand-in wait it is in
  bool listed = false;           // in Clock::threads (a participant)
};

thread_local ThreadRec t_rec;

}  // namespace

// One thread inside one stand-in wait.
struct ClockWaiter {
  bool timed = false;
  uint64_t deadline = 0;
  uint64_t seq = 0;       // order of the first wait: ties in deadline wake in this order
  bool runnable = false;  // notified or fired: the thread is no longer blocked
  bool fired = false;     // its deadline came
  std::condition_variable cv;  // waited on with the clock's lock
};

struct ClockAccess {
  static std::vector<ClockWaiter *> &waiters(MachineCondition &c) { return c.waiters_; }
};

namespace {

struct ByDeadline {
  bool operator()(const ClockWaiter *a, const ClockWaiter *b) const {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->seq < b->seq;
  }
};

struct Clock {
  std::mutex mu;
  std::atomic<uint64_t> now{3600000};  // the machine has been up for an hour
  uint64_t next_seq = 0;
  uint64_t generation = 0;  // moves on every change of who waits or runs
  int starting = 0;         // threads created whose routine has not started yet
  std::vector<ThreadRec *> threads;                // participants
  std::set<ClockWaiter *, ByDeadline> timed;       // blocked waits with a deadline
  ClockStats stats;
  uint64_t deadlock_generation = ~uint64_t{0};
  std::condition_variable watch;  // wakes the stall watchdog
  bool watchdog_started = false;
  bool watchdog_woken = false;  // woken, and has not looked since
  bool watchdog_idle = false;   // waits with nothing to look at until something wakes it
  std::function<void()> stuck_handler;  // called once when the run can never go on
  std::function<void()> stuck_look_observer;  // tests: after each look at such a run
};

Clock &clock() {
  static Clock *c = new Clock;
  return *c;
}

pid_t own_tid() {
  if (t_rec.tid == 0) t_rec.tid = static_cast<pid_t>(syscall(SYS_gettid));
  return t_rec.tid;
}

bool running(const ThreadRec &r) { return r.wait != nullptr ? r.wait->runnable : r.guards > 0; }

void update_listing(Clock &c, ThreadRec &r) {
  const bool want = r.guards > 0 || r.wait != nullptr;
  if (want && !r.listed) {
    c.threads.push_back(&r);
    r.listed = true;
  } else if (!want && r.listed) {
    c.threads.erase(std::find(c.threads.begin(), c.threads.end(), &r));
    r.listed = false;
  }
  ++c.generation;
}

void make_runnable(Clock &c, ClockWaiter &w) {
  if (w.runnable) return;
  w.runnable = true;
  c.timed.erase(&w);
  ++c.generation;
  w.cv.notify_one();
}

// Moves the clock to the earliest deadline and wakes that one waiter.
void fire_first(Clock &c) {
  ClockWaiter *w = *c.timed.begin();
  if (w->deadline > c.now.load()) {
    c.now.store(w->deadline);
    ++c.stats.advances;
  }
  w->fired = true;
  make_runnable(c, *w);
}

// True when no participant can run: none runs and none is about to start.
bool all_blocked(const Clock &c) {
  if (c.starting > 0 || c.threads.empty()) return false;
  for (const ThreadRec *r : c.threads)
    if (running(*r)) return false;
  return true;
}

// True when nothing inside the machine can ever wake a participant again.
bool stuck(const Clock &c) { return c.timed.empty() && all_blocked(c); }

void wake_watchdog(Clock &c);

// Runs after every change: when no participant can run, time moves on.
void try_advance(Clock &c) {
  if (!all_blocked(c)) return;
  if (!c.timed.empty()) {
    fire_first(c);
  } else if (c.deadlock_generation != c.generation) {
    ++c.stats.deadlocks;  // every participant waits for ever: they stay waiting
    c.deadlock_generation = c.generation;
    // The watchdog may be waiting for nothing in particular: it must look now, as no later
    // change may ever come to wake it.
    if (c.stuck_handler) wake_watchdog(c);
  }
}

// True when the operating system has every thread of `tids` asleep (not running, not in I/O).
bool all_asleep(const std::vector<pid_t> &tids) {
  for (pid_t tid : tids) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat;
    if (!std::getline(f, stat)) return false;
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') return false;
  }
  return true;
}

// Participants blocked outside the stand-in would hold the clock for ever: when nothing has moved
// for a while, the only runnable participants are such threads and the system has them asleep at
// three looks in a row, the next deadline comes.
// A run whose participants all wait without a deadline can be woken only from outside the
// clock; when it stays so, unchanged, at four looks a tenth of a second apart, the stuck handler
// runs (once, without the clock's lock).
void watchdog() {
  Clock &c = clock();
  std::unique_lock<std::mutex> g(c.mu);
  uint64_t seen = c.generation;
  int strikes = 0;
  uint64_t stuck_seen = ~uint64_t{0};
  int stuck_looks = 0;
  for (;;) {
    c.watchdog_woken = false;
    if (c.stuck_handler && stuck(c)) {
      if (c.generation != stuck_seen) stuck_looks = 0;
      stuck_seen = c.generation;
      if (++stuck_looks >= 4) {
        const std::function<void()> handler = std::move(c.stuck_handler);
        c.stuck_handler = nullptr;
        g.unlock();
        handler();
        g.lock();
        continue;
      }
      if (c.stuck_look_observer) {
        const std::function<void()> observer = c.stuck_look_observer;
        g.unlock();
        observer();
        g.lock();
      }
      c.watch.wait_for(g, std::chrono::milliseconds(100));
      continue;
    }
    stuck_looks = 0;
    std::vector<pid_t> outside;
    bool candidate = !c.timed.empty() && c.starting == 0;
    for (const ThreadRec *r : c.threads) {
      if (!candidate) break;
      if (!running(*r)) continue;
      if (r->wait != nullptr) candidate = false;  // woken, about to run
      else outside.push_back(r->tid);
    }
    if (!candidate || outside.empty()) {
      strikes = 0;
      // Without a deadline there is nothing to wait for; otherwise look again shortly.
      if (c.timed.empty()) {
        c.watchdog_idle = true;
        c.watch.wait(g);
        c.watchdog_idle = false;
      } else {
        c.watch.wait_for(g, std::chrono::milliseconds(20));
      }
      seen = c.generation;
      continue;
    }
    if (c.generation != seen) strikes = 0;
    seen = c.generation;
    g.unlock();
    const bool asleep = all_asleep(outside);
    g.lock();
    if (asleep && c.generation == seen && ++strikes >= 3) {
      strikes = 0;
      ++c.stats.stalls;
      fire_first(c);
      continue;
    }
    if (!asleep) strikes = 0;
    c.watch.wait_for(g, std::chrono::milliseconds(20));
  }
}

void wake_watchdog(Clock &c) {
  if (!c.watchdog_started) {
    c.watchdog_started = true;
    std::thread(watchdog).detach();
  }
  c.watchdog_woken = true;
  c.watch.notify_one();
}

// A forked child has only the forking thread: forget the others. Their waits are marked runnable
// (without a notification nobody would receive) so that no condition ever signals them again, and
// the watchdog's condition, which the parent's watchdog may have been waiting on, starts afresh.
void after_fork_in_child() {
  Clock &c = clock();
  for (ThreadRec *r : c.threads)
    if (r->wait != nullptr) r->wait->runnable = true;
  new (&c.watch) std::condition_variable();
  c.threads.clear();
  c.timed.clear();
  c.starting = 0;
  c.watchdog_started = false;
  c.watchdog_woken = false;
  c.watchdog_idle = false;
  t_rec.listed = false;
  t_rec.tid = 0;
  own_tid();
  t_rec.wait = nullptr;
  if (t_rec.guards > 0) update_listing(c, t_rec);
  c.mu.unlock();
}

[[maybe_unused]] const int g_fork_handlers = pthread_atfork(
    [] { clock().mu.lock(); }, [] { clock().mu.unlock(); }, after_fork_in_child);

// The one wait behind every stand-in wait: `cond` and `lock` are null for a sleep, `pred` empty.
bool wait_core(MachineCondition *cond, std::unique_lock<std::mutex> *lock, DWORD timeout_ms,
               const std::function<bool()> &pred) {
  Clock &c = clock();
  ThreadRec &r = t_rec;
  own_tid();
  ClockWaiter w;
  {
    std::lock_guard<std::mutex> g(c.mu);
    w.timed = timeout_ms != INFINITE;
    w.deadline = c.now.load() + (w.timed ? timeout_ms : 0);
    w.seq = c.next_seq++;
  }
  for (;;) {
    std::unique_lock<std::mutex> g(c.mu);
    w.runnable = false;
    if (cond != nullptr) ClockAccess::waiters(*cond).push_back(&w);
    if (w.timed) c.timed.insert(&w);
    r.wait = &w;
    update_listing(c, r);
    try_advance(c);
    if (!w.runnable && !c.timed.empty()) wake_watchdog(c);
    // The object's lock is let go only now: a change made after the predicate was read
    // notifies this waiter.
    if (lock != nullptr) lock->unlock();
    w.cv.wait(g, [&] { return w.runnable; });
    if (cond != nullptr) {
      auto &list = ClockAccess::waiters(*cond);
      list.erase(std::find(list.begin(), list.end(), &w));
    }
    r.wait = nullptr;
    update_listing(c, r);
    try_advance(c);
    const bool fired = w.fired;
    g.unlock();
    if (lock != nullptr) lock->lock();
    if (pred && pred()) return true;
    if (fired || !pred) return false;
  }
}

}  // namespace

void MachineCondition::notify_all() {
  {
    Clock &c = clock();
    std::lock_guard<std::mutex> g(c.mu);
    for (ClockWaiter *w : waiters_) make_runnable(c, *w);
  }
  raw_.notify_all();
}

uint64_t virtual_now_ms() { return clock().now.load(); }

void advance_virtual_clock(uint64_t ms) {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  c.now.fetch_add(ms);
  ++c.generation;
  try_advance(c);
}

void machine_sleep(DWORD ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  wait_core(nullptr, nullptr, ms, {});
}

bool machine_wait(MachineCondition &cond, std::unique_lock<std::mutex> &lock, DWORD timeout_ms,
                  const std::function<bool()> &pred) {
  if (pred()) return true;
  if (timeout_ms == 0) return false;
  return wait_core(&cond, &lock, timeout_ms, pred);
}

SimulatedThread::SimulatedThread() {
  Clock &c = clock();
  own_tid();
  std::lock_guard<std::mutex> g(c.mu);
  ++t_rec.guards;
  update_listing(c, t_rec);
}

SimulatedThread::~SimulatedThread() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  --t_rec.guards;
  update_listing(c, t_rec);
  try_advance(c);
}

bool takes_part_in_clock() { return t_rec.guards > 0; }

void set_clock_stuck_handler(std::function<void()> handler) {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  c.stuck_handler = std::move(handler);
  if (c.stuck_handler && stuck(c)) wake_watchdog(c);
}

ClockStats clock_stats() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  return c.stats;
}

namespace internal {

void clock_thread_created() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  ++c.starting;
  ++c.generation;
}

void clock_thread_not_started() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  --c.starting;
  ++c.generation;
  try_advance(c);
}

void clock_thread_begins() {
  Clock &c = clock();
  own_tid();
  std::lock_guard<std::mutex> g(c.mu);
  --c.starting;
  ++t_rec.guards;
  update_listing(c, t_rec);
}

void clock_thread_ends() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  --t_rec.guards;
  update_listing(c, t_rec);
  try_advance(c);
}

void set_clock_stuck_look_observer(std::function<void()> observer) {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  c.stuck_look_observer = std::move(observer);
}

bool clock_watchdog_settled() {
  Clock &c = clock();
  std::lock_guard<std::mutex> g(c.mu);
  return !c.watchdog_started || (c.watchdog_idle && !c.watchdog_woken);
}

}  // namespace internal
}  // namespace sim

void Sleep(DWORD dwMilliseconds) { sim::machine_sleep(dwMilliseconds); }

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

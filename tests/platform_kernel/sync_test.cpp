// Last error, mutexes (ownership, recursion, abandonment, injected faults), threads, the clock.
#include <cstring>
#include <future>
#include <thread>

#include "kernel_fixture.h"

namespace {

using Sync = KernelTest;

// Runs `fn` on a thread created with CreateThread and waits for it.
template <class F>
DWORD run_on_thread(F fn) {
  struct Box {
    F fn;
    static DWORD WINAPI start(LPVOID p) { return static_cast<Box *>(p)->fn(); }
  } box{fn};
  HANDLE h = CreateThread(nullptr, 0, &Box::start, &box, 0, nullptr);
  EXPECT_NE(h, nullptr);
  if (h == nullptr) return 0xDEAD;
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  CloseHandle(h);
  return code;
}

TEST_F(Sync, LastErrorIsPerThread) {
  SetLastError(1234);
  DWORD seen_there = run_on_thread([] {
    DWORD start = GetLastError();
    SetLastError(77);
    return start;
  });
  EXPECT_EQ(seen_there, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(Sync, MutexIsRecursiveAndOwnedByOneThread) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // recursion

  DWORD other = run_on_thread([m] {
    DWORD w = WaitForSingleObject(m, 50);
    SetLastError(0);
    BOOL released = ReleaseMutex(m);
    return w == WAIT_TIMEOUT && !released && GetLastError() == ERROR_NOT_OWNER ? 1u : 0u;
  });
  EXPECT_EQ(other, 1u);

  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(run_on_thread([m] { return WaitForSingleObject(m, 0); }), WAIT_TIMEOUT)
      << "one release of two acquisitions must keep the mutex owned";
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Free now: another thread takes it (and abandons it by ending without a release).
  EXPECT_EQ(run_on_thread([m] { return WaitForSingleObject(m, 0); }), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST_F(Sync, MutexAbandonedByAnEndingThreadGoesToTheNextWaiterOnce) {
  sim::SimulatedThread body;
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  const ULONGLONG start = GetTickCount64();
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        HANDLE mutex = static_cast<HANDLE>(p);
        WaitForSingleObject(mutex, INFINITE);
        WaitForSingleObject(mutex, INFINITE);  // twice: abandonment drops the whole count
        Sleep(100);
        return 0;
      },
      m, 0, nullptr);
  ASSERT_NE(t, nullptr);
  Sleep(1);  // the thread owns the mutex from 0 on
  // Blocks until the owner ends.
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
  EXPECT_EQ(GetTickCount64() - start, 100u);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m)) << "the new owner holds it once";
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(t);
  CloseHandle(m);
}

TEST_F(Sync, MutexOwnedByAPlainThreadIsAbandonedToo) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(WaitForSingleObject(m, 100), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST_F(Sync, InjectedMutexCreationFailure) {
  sim::app_knobs().fail_mutex_create_at = 2;
  HANDLE a = CreateMutexA(nullptr, FALSE, nullptr);
  SetLastError(0);
  HANDLE b = CreateMutexA(nullptr, FALSE, nullptr);
  DWORD err = GetLastError();
  HANDLE c = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(err, 0u);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(sim::app_counters().mutex_creates, 3);
  CloseHandle(a);
  CloseHandle(c);
}

TEST_F(Sync, InjectedMutexWaitResults) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  sim::app_knobs().fail_mutex_wait_at = 2;
  sim::app_knobs().abandon_mutex_wait_at = 3;
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);   // 1
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);     // 2: not acquired
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);  // 3: acquired
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);   // 4
  EXPECT_TRUE(ReleaseMutex(m));

  sim::app_knobs().fail_mutex_wait_from = 5;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_FAILED);
  EXPECT_FALSE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST_F(Sync, NamedMutexesShareOneObject) {
  HANDLE a = CreateMutexA(nullptr, FALSE, "kernel-test-mutex");
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE b = CreateMutexA(nullptr, FALSE, "kernel-test-mutex");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(run_on_thread([b] { return WaitForSingleObject(b, 0); }), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(b));
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(Sync, ThreadIsSignalledWhenItsRoutineReturns) {
  sim::SimulatedThread body;  // the thread sleeps only while this one waits too
  struct Ctx {
    DWORD id_inside = 0;
  } ctx;
  DWORD id = 0;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *c = static_cast<Ctx *>(p);
        c->id_inside = GetCurrentThreadId();
        Sleep(1200);
        return 42;
      },
      &ctx, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  // A poller with a time-out sees WAIT_TIMEOUT until the routine returns.
  int timeouts = 0;
  DWORD w;
  while ((w = WaitForSingleObject(t, 500)) == WAIT_TIMEOUT) ++timeouts;
  EXPECT_EQ(w, WAIT_OBJECT_0);
  EXPECT_EQ(timeouts, 2);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(ctx.id_inside, id);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "stays signalled";
  EXPECT_TRUE(CloseHandle(t));
}

TEST_F(Sync, ThreadKeepsRunningWhenItsHandleIsClosed) {
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        static_cast<std::shared_future<void> *>(p)->wait();
        return 0;
      },
      &open, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_EQ(sim::running_thread_count(), 1u);
  gate.set_value();
  EXPECT_TRUE(sim::wait_for_threads(INFINITE));
}

TEST_F(Sync, InjectedThreadCreationFailure) {
  sim::app_knobs().fail_thread_create_at = 1;
  SetLastError(0);
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
  EXPECT_EQ(t, nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(sim::running_thread_count(), 0u);
  EXPECT_EQ(run_on_thread([] { return 5u; }), 5u);
}

unsigned __stdcall crt_routine(void *arg) { return *static_cast<unsigned *>(arg) + 1; }

TEST_F(Sync, CrtThreadsAndSuspendedStart) {
  unsigned value = 9, id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, crt_routine, &value, CREATE_SUSPENDED, &id);
  ASSERT_NE(h, 0u);
  HANDLE t = reinterpret_cast<HANDLE>(h);
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT) << "suspended";
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 10u);
  CloseHandle(t);
}

TEST_F(Sync, SleepAndTimedOutWaitsMoveTheMachineClockByTheirLength) {
  ULONGLONG t0 = GetTickCount64();
  Sleep(3600 * 1000);
  EXPECT_EQ(GetTickCount64() - t0, 3600u * 1000u);
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_EQ(run_on_thread([m] { return WaitForSingleObject(m, INFINITE); }), WAIT_OBJECT_0);
  // Abandoned by the thread: acquired at once; now held by us, a thread times out.
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
  ULONGLONG t1 = GetTickCount64();
  EXPECT_EQ(run_on_thread([m] { return WaitForSingleObject(m, 600000); }), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount64() - t1, 600000u);
  ReleaseMutex(m);
  CloseHandle(m);
  sim::advance_virtual_clock(1000);
  EXPECT_EQ(GetTickCount64() - t1, 601000u);
}

TEST_F(Sync, CrtTimeConversionIsBoundsChecked) {
  time_t now = 86400 * 365;
  struct tm tm_value;
  ASSERT_EQ(localtime_s(&tm_value, &now), 0);
  char text[256];
  ASSERT_EQ(asctime_s(text, sizeof text, &tm_value), 0);
  EXPECT_EQ(std::strlen(text), 25u);
  EXPECT_EQ(text[24], '\n');
  char small[10] = "xxxxxxxxx";
  EXPECT_NE(asctime_s(small, sizeof small, &tm_value), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_NE(localtime_s(&tm_value, nullptr), 0);

  // A fixed calendar clock makes time stamps reproducible.
  sim::app_knobs().fixed_calendar_time = 1700000000;  // 2023-11-14 22:13:20 UTC
  ASSERT_EQ(localtime_s(&tm_value, &now), 0);
  ASSERT_EQ(asctime_s(text, sizeof text, &tm_value), 0);
  EXPECT_STREQ(text, "Tue Nov 14 22:13:20 2023\n");
}

}  // namespace

// The machine's clock with several threads: time moves only when every participant waits, to the
// earliest deadline, waking threads in deadline order.
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "kernel_fixture.h"

namespace {

using Clock = KernelTest;

// Wake-ups as (who, machine time since the start), in the order they happened.
struct Journal {
  std::mutex lock;
  std::vector<std::pair<char, ULONGLONG>> entries;
  ULONGLONG start = GetTickCount64();
  void add(char who) {
    std::lock_guard<std::mutex> g(lock);
    entries.emplace_back(who, GetTickCount64() - start);
  }
};

struct Loops {
  Journal journal;
  std::atomic<bool> retries_done{false};
};

DWORD WINAPI retry_loop(LPVOID p) {
  auto *l = static_cast<Loops *>(p);
  for (int i = 0; i < 10; i++) {
    Sleep(500);
    l->journal.add('r');
  }
  l->retries_done = true;
  return 0;
}

DWORD WINAPI poll_loop(LPVOID p) {
  auto *l = static_cast<Loops *>(p);
  while (!l->retries_done) {
    Sleep(100);
    l->journal.add('p');
  }
  return 0;
}

TEST_F(Clock, RetryLoopAndPollWakeInMachineTimeOrder) {
  Loops loops;
  {
    sim::SimulatedThread body;  // both threads start before time can move
    HANDLE threads[] = {CreateThread(nullptr, 0, retry_loop, &loops, 0, nullptr),
                        CreateThread(nullptr, 0, poll_loop, &loops, 0, nullptr)};
    for (HANDLE t : threads) {
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
      CloseHandle(t);
    }
  }
  // Every 100 ms a poll, every 500 ms a retry; at a shared instant the retry, whose wait began
  // first, wakes first, so the poll at 5000 ms already sees the retries done.
  std::vector<std::pair<char, ULONGLONG>> expected;
  for (ULONGLONG t = 100; t <= 5000; t += 100) {
    if (t % 500 == 0) expected.emplace_back('r', t);
    expected.emplace_back('p', t);
  }
  EXPECT_EQ(loops.journal.entries, expected);
  EXPECT_EQ(GetTickCount64() - loops.journal.start, 5000u);
  EXPECT_EQ(GetTickCount(), static_cast<DWORD>(sim::virtual_now_ms()));
}

struct Holder {
  HANDLE mutex;
  DWORD hold_ms;
};

DWORD WINAPI hold_mutex(LPVOID p) {
  auto *h = static_cast<Holder *>(p);
  if (WaitForSingleObject(h->mutex, INFINITE) != WAIT_OBJECT_0) return 1;
  Sleep(h->hold_ms);
  return ReleaseMutex(h->mutex) ? 0 : 2;
}

TEST_F(Clock, MutexWaitTimesOutOrAcquiresInMachineTime) {
  sim::SimulatedThread body;
  Holder holder{CreateMutexA(nullptr, FALSE, nullptr), 800};
  const ULONGLONG start = GetTickCount64();
  HANDLE t = CreateThread(nullptr, 0, hold_mutex, &holder, 0, nullptr);
  ASSERT_NE(t, nullptr);
  Sleep(1);  // the holder takes the mutex at 0
  EXPECT_EQ(WaitForSingleObject(holder.mutex, 500), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount64() - start, 501u);
  EXPECT_EQ(WaitForSingleObject(holder.mutex, 500), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount64() - start, 800u);
  EXPECT_TRUE(ReleaseMutex(holder.mutex));
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  DWORD code = 9;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(t);
  CloseHandle(holder.mutex);
}

DWORD WINAPI take_and_release(LPVOID p) {
  HANDLE m = *static_cast<HANDLE *>(p);
  if (WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0) return 1;
  return ReleaseMutex(m) ? 0 : 2;
}

TEST_F(Clock, ParticipantsWaitingForEverDoNotMoveTime) {
  // This thread (not a participant) holds the mutex; both threads wait for it without a deadline.
  HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
  const uint64_t deadlocks = sim::clock_stats().deadlocks;
  const ULONGLONG start = GetTickCount64();
  HANDLE threads[] = {CreateThread(nullptr, 0, take_and_release, &m, 0, nullptr),
                      CreateThread(nullptr, 0, take_and_release, &m, 0, nullptr)};
  while (sim::clock_stats().deadlocks == deadlocks) std::this_thread::yield();
  EXPECT_EQ(GetTickCount64(), start);
  EXPECT_TRUE(ReleaseMutex(m));
  for (HANDLE t : threads) {
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
  }
  EXPECT_EQ(GetTickCount64(), start);
  CloseHandle(m);
}

struct Outside {
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
};

DWORD WINAPI wait_outside(LPVOID p) {
  static_cast<Outside *>(p)->open.wait();  // blocked outside the stand-in
  return 0;
}

TEST_F(Clock, ParticipantBlockedOutsideTheStandInDoesNotHoldTheClockForEver) {
  Outside outside;
  HANDLE t = CreateThread(nullptr, 0, wait_outside, &outside, 0, nullptr);
  ASSERT_NE(t, nullptr);
  const uint64_t stalls = sim::clock_stats().stalls;
  EXPECT_EQ(WaitForSingleObject(t, 250), WAIT_TIMEOUT);
  EXPECT_GT(sim::clock_stats().stalls, stalls);
  outside.gate.set_value();
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  CloseHandle(t);
}

}  // namespace

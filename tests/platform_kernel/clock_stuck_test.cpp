// The clock's stuck handler: called once when every participant waits without a deadline, never
// while something could still wake one of them. The watchdog that calls it looks in real time;
// these tests wait for it with a generous bound and, for what must not happen, until it has
// looked, never for a while.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "kernel_fixture.h"
#include "platform/src/kernel_internal.h"

namespace {

// Polls `done` in real time; false when it still does not hold after about 20 s.
bool eventually(const std::function<bool()> &done) {
  for (int i = 0; i < 20000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

bool watchdog_settled() { return sim::internal::clock_watchdog_settled(); }

// A participant waiting on the machine's clock without a deadline until it is destroyed; nudge()
// wakes it without releasing it, and it waits again.
class ForeverWaiter {
 public:
  ForeverWaiter() : thread_([this] { run(); }) {
    // It takes the lock before waiting and lets go of it only once its wait is on the clock.
    EXPECT_TRUE(eventually([this] {
      std::lock_guard<std::mutex> g(lock_);
      return waiting_;
    }));
  }
  ~ForeverWaiter() {
    {
      std::lock_guard<std::mutex> g(lock_);
      released_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }
  void nudge() { cond_.notify_all(); }

 private:
  void run() {
    sim::SimulatedThread participant;
    std::unique_lock<std::mutex> l(lock_);
    waiting_ = true;
    sim::machine_wait(cond_, l, INFINITE, [this] { return released_; });
  }

  std::mutex lock_;
  sim::MachineCondition cond_;
  bool waiting_ = false;
  bool released_ = false;
  std::thread thread_;
};

class StuckHandler : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    // The watchdog runs, has seen a stuck run end and waits with nothing to look at: a test that
    // follows sees whether a change wakes it.
    ForeverWaiter waiter;
    const auto fired = arm();
    ASSERT_TRUE(eventually([&] { return *fired > 0; }));
    ASSERT_TRUE(eventually(watchdog_settled));
  }
  void TearDown() override {
    sim::set_clock_stuck_handler(nullptr);
    sim::internal::set_clock_stuck_look_observer(nullptr);
    KernelTest::TearDown();
  }

  // Sets a handler that counts its calls.
  static std::shared_ptr<std::atomic<int>> arm() {
    auto fired = std::make_shared<std::atomic<int>>(0);
    sim::set_clock_stuck_handler([fired] { ++*fired; });
    return fired;
  }
};

TEST_F(StuckHandler, FiresOnceWhenEveryParticipantWaitsWithoutADeadline) {
  ForeverWaiter first, second;
  const auto fired = arm();
  ASSERT_TRUE(eventually([&] { return *fired > 0; }));
  // Called once, the watchdog has nothing more to do, though the run stays as it is.
  EXPECT_TRUE(eventually([&] { return *fired > 1 || watchdog_settled(); }));
  EXPECT_EQ(1, *fired);
}

// Something that keeps a run able to go on while a participant waits without a deadline; once it
// ends, the run is stuck.
struct Hold {
  const char *what;
  bool keeps_looking;  // the watchdog looks again and again (else it waits once it has looked)
  std::function<void(ForeverWaiter &)> begin;
  std::function<void()> end;
};

TEST_F(StuckHandler, NeverFiresWhileTheRunCanGoOnAndFiresOnceWhenItCannot) {
  std::optional<sim::SimulatedThread> running;
  std::atomic<int> looks{0};
  const Hold holds[] = {
      {"a participant runs outside any wait", false, [&](ForeverWaiter &) { running.emplace(); },
       [&] { running.reset(); }},
      {"a thread is created and has not started yet", false,
       [](ForeverWaiter &) { sim::internal::clock_thread_created(); },
       [] { sim::internal::clock_thread_not_started(); }},
      {"the waiter is woken after every look", true,
       [&](ForeverWaiter &w) {
         sim::internal::set_clock_stuck_look_observer([&] {
           ++looks;
           w.nudge();
         });
       },
       [] { sim::internal::set_clock_stuck_look_observer(nullptr); }},
  };
  for (const Hold &hold : holds) {
    SCOPED_TRACE(hold.what);
    ForeverWaiter waiter;
    looks = 0;
    hold.begin(waiter);
    const auto fired = arm();
    EXPECT_TRUE(eventually(
        [&] { return *fired > 0 || (hold.keeps_looking ? looks >= 8 : watchdog_settled()); }));
    EXPECT_EQ(0, *fired);
    // The watchdog waits with nothing to look at, or looks at a run that keeps changing: it must
    // be woken when the run becomes stuck, and see that it stays so.
    hold.end();
    EXPECT_TRUE(eventually([&] { return *fired > 0; }));
    EXPECT_TRUE(eventually([&] { return *fired > 1 || watchdog_settled(); }));
    EXPECT_EQ(1, *fired);
  }
}

}  // namespace

// A thread that used the window manager can still be ending when the program's main returns: a
// detached thread's own clean-up runs after its routine, and under load it may come only while
// the process runs its exit handlers. The window manager's state must still be there for it.
//
// This program forces that order: its exit handler is registered before the window manager is
// first used (so it runs after the window manager's static objects would be destroyed), and the
// thread's clean-up waits for that handler before the window manager's part of it runs. Exit 0
// and "late thread ended" mean the clean-up ran on live state; a sanitizer report or a crash
// means it did not.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/win_user.h"

namespace {

std::atomic<bool> g_exiting{false};
std::atomic<bool> g_touched{false};
std::atomic<bool> g_thread_done{false};

bool wait_for(const std::atomic<bool> &flag) {
  for (int i = 0; i < 10000 && !flag; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag;
}

// Thread-local objects are destroyed in the reverse order of their construction: made before
// the window manager's clean-up is armed, this one goes after it.
struct SignalDone {
  ~SignalDone() { g_thread_done = true; }
};
// Made after it: goes before it, and holds it back until the process is exiting.
struct HoldUntilExit {
  ~HoldUntilExit() { wait_for(g_exiting); }
};

void at_exit() {
  g_exiting = true;
  if (!wait_for(g_thread_done)) {
    std::fprintf(stderr, "the late thread did not end\n");
    std::_Exit(2);
  }
  std::printf("late thread ended\n");
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::atexit(at_exit);
  std::thread([] {
    thread_local SignalDone done;
    (void)&done;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread now has a message queue
    thread_local HoldUntilExit hold;
    (void)&hold;
    g_touched = true;
  }).detach();
  if (!wait_for(g_touched)) return 3;
  return 0;
}

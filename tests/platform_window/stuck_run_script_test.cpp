// A windowed program that waits for ever once its ui script has played every step: the machine
// ends the run, and joins the script's thread before it exits.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"

namespace {

LRESULT CALLBACK plain_window(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(h, msg, wp, lp);
}

// A program whose window has one button, which the script presses; then its message loop waits
// for ever. At the exit, a script thread still to be joined is reported and fails the exit code.
void play_the_one_step_then_wait() {
  std::atexit([] {
    if (!sim::ui_script_started()) return;
    std::fputs("the ui script's thread is still to be joined at the exit\n", stderr);
    std::_Exit(1);
  });
  sim::load_machine_json(R"({"ui": [{"click": 7}]})");
  sim::SimulatedThread entry;
  sim::end_run_when_stuck(true);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = plain_window;
  wc.lpszClassName = "StuckRunTestWindow";
  RegisterClassExA(&wc);
  HWND main = CreateWindowExA(0, wc.lpszClassName, "Waits", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                              nullptr, nullptr, nullptr);
  CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 80, 25, main,
                  reinterpret_cast<HMENU>(7), nullptr, nullptr);
  ShowWindow(main, SW_SHOW);
  sim::start_ui_script();
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
}

// The script's thread has played every step and ended; the stuck run's exit still has to join it
// (a thread left to be joined at the exit is a leak).
TEST(StuckRunEnd, JoinsTheScriptThreadBeforeTheExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(play_the_one_step_then_wait(), ::testing::ExitedWithCode(sim::kStuckRunExitCode),
              "the window \"Waits\" .* every step of the ui script has fired");
}

}  // namespace


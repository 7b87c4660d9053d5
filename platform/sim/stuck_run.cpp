// The end of a run that can never go on: every thread of the program waits without a time-out.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/run_outputs.h"
#include "sim/window.h"

namespace sim {
namespace {

// The line that ends the run (with its newline), as the machine is now.
std::string stuck_run_message() {
  std::string m = "simulated machine: the run can never go on: every thread of the program waits without a time-out";
  const HWND main = main_window();
  const std::optional<WindowInfo> info = main != nullptr ? window_info(main) : std::nullopt;
  if (info) {
    m += ", and the window \"" + info->text + "\" (class \"" + info->class_name + "\") waits for a user";
    std::string buttons;
    for (const WindowInfo &c : controls(main)) {
      if (c.destroyed || c.class_name != "Button" || !c.visible || !c.enabled) continue;
      buttons += (buttons.empty() ? "" : ", ") + ("\"" + c.text + "\" (id " + std::to_string(c.id) + ")");
    }
    m += buttons.empty() ? " (no button can be pressed)" : " (buttons that can be pressed: " + buttons + ")";
  } else {
    m += ", and no window is open";
  }
  const std::vector<UiStep> steps = ui_script();
  std::vector<bool> fired(steps.size(), false);
  for (const auto &[index, time] : ui_script_fired())
    if (index < fired.size()) fired[index] = true;
  std::string left;
  for (size_t i = 0; i < steps.size(); ++i)
    if (!fired[i]) left += (left.empty() ? "" : ", ") + ("ui[" + std::to_string(i) + "]");
  if (steps.empty()) {
    m += "; the machine has no ui script";
  } else if (left.empty()) {
    m += "; every step of the ui script has fired";
  } else {
    m += "; ui steps that can never fire now: " + left;
  }
  return m + ". The run ends with exit code " + std::to_string(kStuckRunExitCode) + ".\n";
}

}  // namespace

void end_run_when_stuck(bool on) {
  if (!on) {
    set_clock_stuck_handler(nullptr);
    return;
  }
  set_clock_stuck_handler([] {
    const std::string message = stuck_run_message();
    // No thread of the machine's own is left behind at the exit: the script's thread, whether it
    // still waits for a step or has played them all, ends here.
    stop_ui_script();
    std::fputs(message.c_str(), stderr);
    std::fflush(stderr);
    // The outputs are written at exit, as after a normal end.
    std::exit(kStuckRunExitCode);
  });
}

}  // namespace sim

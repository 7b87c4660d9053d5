// The "ui" section: a script of user actions on the main window, run by a thread of its own while
// the program runs its message loop.
#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "sim/description.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"
#include "sim/window.h"

namespace sim {
namespace {

using json = nlohmann::json;

using desc::bad;

struct Script {
  std::mutex lock;
  std::vector<UiStep> steps;
  std::vector<std::pair<size_t, uint64_t>> fired;
  uint64_t start_ms = 0;
  std::thread runner;
  std::atomic<bool> stop{false};
};

Script &script() {
  static Script *s = new Script;
  return *s;
}

UiStep load_step(const json &j, const std::string &w) {
  if (!j.is_object()) bad(w, "expected an object");
  UiStep step;
  int actions = 0;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &f = it.key();
    const std::string fw = w + "." + f;
    if (f == "click") {
      ++actions;
      step.action = UiStep::click;
      if (it->is_number_integer() && it->get<int64_t>() >= 0 && it->get<int64_t>() <= 0xFFFF) {
        step.button_id = static_cast<int>(it->get<int64_t>());
      } else if (it->is_string() && !it->get<std::string>().empty()) {
        step.button_text = it->get<std::string>();
      } else {
        bad(fw, "expected the button's text or its control id (0..65535)");
      }
    } else if (f == "command") {
      ++actions;
      step.action = UiStep::command;
      if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 0xFFFF)
        bad(fw, "expected a control id (0..65535)");
      step.button_id = static_cast<int>(it->get<int64_t>());
    } else if (f == "system_close" || f == "wm_close") {
      ++actions;
      if (!it->is_boolean() || !it->get<bool>()) bad(fw, "expected true");
      step.action = f == "system_close" ? UiStep::system_close : UiStep::wm_close;
    } else if (f == "when") {
      const json &c = *it;
      if (!c.is_object()) bad(fw, "expected an object of conditions");
      for (auto k = c.begin(); k != c.end(); ++k) {
        const std::string kw = fw + "." + k.key();
        if (k.key() == "window") {
          if (!k->is_boolean() || !k->get<bool>()) bad(kw, "expected true (every action needs the main window)");
        } else if (k.key() == "text") {
          if (!k->is_string()) bad(kw, "expected a string");
          step.when_text = k->get<std::string>();
        } else if (k.key() == "progress_full") {
          if (!k->is_boolean()) bad(kw, "expected true or false");
          step.when_progress_full = k->get<bool>();
        } else if (k.key() == "after_ms") {
          if (!k->is_number_unsigned()) bad(kw, "expected a number of milliseconds");
          step.when_after_ms = k->get<uint64_t>();
        } else {
          bad(fw, "unknown condition \"" + k.key() + "\"");
        }
      }
    } else {
      bad(w, "unknown field \"" + f + "\"");
    }
  }
  if (actions != 1) bad(w, "expected exactly one action: \"click\", \"command\", \"system_close\" or \"wm_close\"");
  return step;
}

bool holds(const UiStep &step, HWND main, uint64_t start_ms) {
  if (virtual_now_ms() < start_ms + step.when_after_ms) return false;
  if (step.when_text.empty() && !step.when_progress_full) return true;
  bool text_seen = step.when_text.empty();
  for (const WindowInfo &c : controls(main)) {
    if (c.destroyed) continue;
    if (c.text == step.when_text) text_seen = true;
    if (step.when_progress_full && c.class_name == "msctls_progress32" && c.pos < c.range_max) return false;
  }
  return text_seen;
}

// Delivers the step's action; false when it cannot be delivered yet (no such button, or it is
// hidden or disabled).
bool deliver(const UiStep &step, HWND main) {
  switch (step.action) {
    case UiStep::click: {
      if (step.button_id >= 0) return sim::click(main, step.button_id);
      // The first button of that text that can be pressed now.
      for (const WindowInfo &c : controls(main)) {
        if (!c.destroyed && c.class_name == "Button" && c.text == step.button_text && c.visible &&
            c.enabled && sim::click(main, c.id))
          return true;
      }
      return false;
    }
    case UiStep::system_close:
      // Posted, as the title bar's Close reaches the window's own thread: the script never waits
      // in real time for the program.
      return PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
    case UiStep::wm_close:
      return sim::post_close();
    case UiStep::command:
      return PostMessageA(main, WM_COMMAND, MAKEWPARAM(step.button_id, BN_CLICKED), 0) != FALSE;
  }
  return false;
}

// The script takes part in the machine's clock: it waits (machine time) for the next window
// change or the next "after_ms" moment, so every step fires at a reproducible machine time even
// while the program itself waits for the user without any deadline.
void run(std::promise<void> *joined) {
  SimulatedThread participant;
  joined->set_value();
  Script &s = script();
  std::vector<UiStep> steps;
  uint64_t start_ms;
  {
    std::lock_guard<std::mutex> g(s.lock);
    steps = s.steps;
    start_ms = s.start_ms;
  }
  std::vector<bool> done(steps.size(), false);
  size_t left = steps.size();
  while (left > 0 && !s.stop) {
    const uint64_t seen = window_generation();
    const HWND main = main_window();
    for (size_t i = 0; main != nullptr && i < steps.size() && !s.stop; ++i) {
      if (done[i] || !holds(steps[i], main, start_ms) || !deliver(steps[i], main)) continue;
      done[i] = true;
      --left;
      std::lock_guard<std::mutex> g(s.lock);
      s.fired.emplace_back(i, virtual_now_ms());
    }
    DWORD timeout = INFINITE;
    const uint64_t now = virtual_now_ms();
    for (size_t i = 0; i < steps.size(); ++i) {
      const uint64_t at = start_ms + steps[i].when_after_ms;
      if (!done[i] && at > now) timeout = static_cast<DWORD>(std::min<uint64_t>(timeout, at - now));
    }
    if (left > 0 && !s.stop) wait_for_window_change(seen, timeout);
  }
}

const bool g_registered = [] {
  // Known to the machine as a section; machine loading reads it itself.
  register_machine_section("ui", nullptr, nullptr);
  register_reset_hook("ui_script", [] {
    stop_ui_script();
    Script &s = script();
    std::lock_guard<std::mutex> g(s.lock);
    s.steps.clear();
    s.fired.clear();
  });
  return true;
}();

}  // namespace

void load_ui_section(const json &section) {
  (void)g_registered;
  if (!section.is_array()) bad("ui", "expected an array of steps");
  std::vector<UiStep> steps;
  for (size_t i = 0; i < section.size(); ++i) steps.push_back(load_step(section[i], "ui[" + std::to_string(i) + "]"));
  Script &s = script();
  std::lock_guard<std::mutex> g(s.lock);
  s.steps = std::move(steps);
  s.fired.clear();
}

std::vector<UiStep> ui_script() {
  Script &s = script();
  std::lock_guard<std::mutex> g(s.lock);
  return s.steps;
}

void start_ui_script() {
  (void)g_registered;
  Script &s = script();
  std::promise<void> joined;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.steps.empty() || s.runner.joinable()) return;
    // Were the runner the clock's only participant, even for a moment, machine time would jump
    // straight to its first "after_ms" moment before the program had begun.
    if (!takes_part_in_clock())
      throw std::logic_error(
          "the ui script must be started by the program's thread while it takes part in the "
          "machine's clock");
    s.stop = false;
    s.start_ms = virtual_now_ms();
    s.runner = std::thread(run, &joined);
  }
  // Back only once the runner takes part in the clock: a runner that started late would let
  // machine time run past the moments its steps wait for.
  joined.get_future().wait();
}

void stop_ui_script() {
  Script &s = script();
  std::thread runner;
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.stop = true;
    runner = std::move(s.runner);
  }
  wake_window_waiters();
  if (runner.joinable()) runner.join();
}

bool ui_script_started() {
  Script &s = script();
  std::lock_guard<std::mutex> g(s.lock);
  return s.runner.joinable();
}

std::vector<std::pair<size_t, uint64_t>> ui_script_fired() {
  Script &s = script();
  std::lock_guard<std::mutex> g(s.lock);
  return s.fired;
}

}  // namespace sim

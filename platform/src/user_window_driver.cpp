// Headless window manager, test driver: what tests see of the windows, and what they do to them.
#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_user.h"
#include "sim/machine.h"
#include "sim/window.h"
#include "user_window_internal.h"

namespace sim {
void reset_gdi_objects();
}

using namespace sim::internal::wm;

namespace {

sim::WindowInfo info_of(const Window &w) {
  sim::WindowInfo i;
  i.hwnd = w.hwnd;
  i.class_name = w.class_name;
  i.text = w.text;
  i.parent = w.parent;
  i.id = w.id;
  i.style = w.current_style();
  i.ex_style = w.ex_style;
  i.rect = w.rect;
  i.visible = w.visible;
  i.enabled = w.enabled;
  i.destroyed = w.destroyed;
  i.font = w.font;
  if (auto f = sim::font_info(w.font)) {
    i.font_height = f->height;
    i.font_weight = f->weight;
  }
  i.range_min = w.range_min;
  i.range_max = w.range_max;
  i.pos = w.pos;
  i.bar_colour = w.bar;
  i.close_enabled = w.close_enabled();
  i.created_seq = w.seq;
  return i;
}

std::shared_ptr<Window> main_window_locked(Lock &) {
  for (auto &w : st().order) {
    if (w->live() && !w->parent && !(w->style & WS_CHILD)) return w;
  }
  return nullptr;
}

HWND wait_for_top_level(const std::function<bool(const Window &)> &match, int timeout_ms) {
  State &s = st();
  Lock lk(s.mu);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    for (auto &w : s.order) {
      if (w->live() && !w->parent && match(*w)) return w->hwnd;
    }
    if (s.cv.raw().wait_until(lk, deadline) == std::cv_status::timeout && Clock::now() >= deadline) {
      for (auto &w : s.order) {
        if (w->live() && !w->parent && match(*w)) return w->hwnd;
      }
      return nullptr;
    }
  }
}

}  // namespace

// --- Test driver -----------------------------------------------------------------------------

namespace sim {

void reset_windows() {
  State &s = st();
  {
    Lock lk(s.mu);
    for (auto &[id, q] : s.queues) {
      for (auto &m : q->sent) m->state = Sent::State::cancelled;
      q->sent.clear();
      q->posted.clear();
    }
    ++s.epoch;  // loops still running leave with 0
    s.queues.clear();
    s.windows.clear();
    s.order.clear();
    s.classes.clear();
    s.events.clear();
    s.boxes.clear();
    s.icc = 0;
    changed(lk);
  }
  reset_gdi_objects();
}

HWND main_window() {
  Lock lk(st().mu);
  auto w = main_window_locked(lk);
  return w ? w->hwnd : nullptr;
}

HWND wait_for_window_class(const std::string &class_name, int timeout_ms) {
  const std::string key = lower(class_name);
  return wait_for_top_level([&](const Window &w) { return lower(w.class_name) == key; }, timeout_ms);
}

HWND wait_for_window_title(const std::string &title, int timeout_ms) {
  return wait_for_top_level([&](const Window &w) { return w.text == title; }, timeout_ms);
}

std::optional<WindowInfo> window_info(HWND hwnd) {
  Lock lk(st().mu);
  auto w = find(lk, hwnd);
  if (!w) return std::nullopt;
  return info_of(*w);
}

std::string window_text(HWND hwnd) {
  auto i = window_info(hwnd);
  return i ? i->text : std::string();
}

RECT window_rect(HWND hwnd) {
  auto i = window_info(hwnd);
  return i ? i->rect : RECT{};
}

std::vector<WindowInfo> controls(HWND parent) {
  Lock lk(st().mu);
  std::vector<WindowInfo> out;
  for (auto &w : st().order) {
    if (w->parent && w->parent == parent) out.push_back(info_of(*w));
  }
  return out;
}

std::optional<WindowInfo> control(HWND parent, int id) {
  Lock lk(st().mu);
  for (auto &w : st().order) {
    if (w->live() && w->parent && w->parent == parent && w->id == id) return info_of(*w);
  }
  return std::nullopt;
}

std::optional<ClassInfo> window_class(const std::string &name) {
  Lock lk(st().mu);
  auto it = st().classes.find(lower(name));
  if (it == st().classes.end()) return std::nullopt;
  return it->second.info;
}

DWORD common_controls_initialised() {
  Lock lk(st().mu);
  return st().icc;
}

std::vector<MessageBoxRecord> message_boxes() {
  Lock lk(st().mu);
  return st().boxes;
}

bool click(int id) { return click(main_window(), id); }

bool click(HWND parent, int id) {
  Lock lk(st().mu);
  auto p = find_live(lk, parent);
  if (!p) return false;
  for (auto &w : st().order) {
    if (!w->live() || w->parent != parent || w->id != id || w->kind != Kind::button) continue;
    if (!w->visible || !w->enabled) return false;
    MSG m{};
    m.hwnd = parent;
    m.message = WM_COMMAND;
    m.wParam = MAKEWPARAM(id, BN_CLICKED);
    m.lParam = reinterpret_cast<LPARAM>(w->hwnd);
    m.time = msg_time();
    queue_of(lk, p->owner)->posted.push_back(m);
    record(lk, *w, EventKind::click);
    return true;
  }
  return false;
}

bool system_close(int timeout_ms) {
  const HWND h = main_window();
  return h && send_message(h, WM_SYSCOMMAND, SC_CLOSE, 0, timeout_ms).has_value();
}

bool post_close() {
  const HWND h = main_window();
  return h && PostMessageA(h, WM_CLOSE, 0, 0);
}

std::optional<LRESULT> send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, int timeout_ms) {
  return send_message(hwnd, msg, wparam, lparam, timeout_ms < 0 ? 0 : timeout_ms);
}

CtlColour ctl_colour_static(HWND control, int timeout_ms) {
  CtlColour out;
  const HWND parent = GetParent(control);
  if (!parent) return out;
  const HDC dc = fake_dc();
  const auto r = send_message(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(control), timeout_ms < 0 ? 0 : timeout_ms);
  if (!r) return out;
  out.delivered = true;
  out.result = *r;
  out.brush = reinterpret_cast<HBRUSH>(*r);
  out.dc = dc_state(dc);
  return out;
}

std::vector<Event> history() {
  Lock lk(st().mu);
  return st().events;
}

void clear_history() {
  Lock lk(st().mu);
  st().events.clear();
}

uint64_t window_generation() {
  Lock lk(st().mu);
  return st().generation;
}

void wait_for_window_change(uint64_t seen, DWORD timeout_ms) {
  State &s = st();
  Lock lk(s.mu);
  sim::machine_wait(s.cv, lk, timeout_ms, [&] { return s.generation != seen; });
}

void wake_window_waiters() {
  Lock lk(st().mu);
  changed(lk);
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms) {
  State &s = st();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    uint64_t gen;
    {
      Lock lk(s.mu);
      gen = s.generation;
    }
    if (pred()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    Lock lk(s.mu);
    s.cv.raw().wait_until(lk, std::min(deadline, now + std::chrono::milliseconds(5)),
                    [&] { return s.generation != gen; });
  }
}

}  // namespace sim

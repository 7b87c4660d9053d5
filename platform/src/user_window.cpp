// Headless window manager: windows, predefined controls, per-thread message queues, cross-thread
// sent messages, the system menu and the test-driver view of all of it.
//
// One lock guards every window, queue and event. Window procedures of registered classes always
// run without it, on the thread that created the window; predefined controls (static, button,
// progress bar) have no procedure of their own and are changed under the lock by whichever thread
// sends to them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win_user.h"
#include "sim/machine.h"
#include "sim/window.h"

namespace sim {
void reset_gdi_objects();
}

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

enum class Kind { user, static_ctl, button, progress };

constexpr uintptr_t kHwndBase = 0x100000;
constexpr uintptr_t kHwndStep = 0x10;
constexpr uintptr_t kSysMenuOffset = 0x8;  // a window's system menu handle = its HWND + 8
constexpr UINT kSysMenuItems[] = {SC_RESTORE, SC_MOVE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE, SC_CLOSE};

struct Window {
  HWND hwnd = nullptr;
  Kind kind = Kind::user;
  std::string class_name;
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  HWND parent = nullptr;
  int id = 0;
  DWORD style = 0;  // as created, without WS_VISIBLE and WS_DISABLED (kept in the flags below)
  DWORD ex_style = 0;
  RECT rect{};
  std::string text;
  HFONT font = nullptr;
  bool visible = false;
  bool enabled = true;
  bool destroying = false;
  bool destroyed = false;
  int range_min = 0;
  int range_max = 100;
  int pos = 0;
  int step = 10;
  COLORREF bar = CLR_DEFAULT;
  std::map<UINT, UINT> sys_menu;  // item -> MF_GRAYED / MF_DISABLED bits; empty without WS_SYSMENU
  LONG_PTR user_data = 0;
  std::thread::id owner;
  uint64_t seq = 0;

  bool live() const { return !destroyed; }
  bool close_enabled() const {
    auto it = sys_menu.find(SC_CLOSE);
    return it == sys_menu.end() || (it->second & (MF_GRAYED | MF_DISABLED)) == 0;
  }
  DWORD current_style() const {
    return style | (visible ? static_cast<DWORD>(WS_VISIBLE) : 0u) |
           (enabled ? 0u : static_cast<DWORD>(WS_DISABLED));
  }
};

// A message sent to a window of another thread, waiting for that thread to handle it.
struct Sent {
  enum class State { pending, running, done, cancelled };
  HWND hwnd = nullptr;
  UINT msg = 0;
  WPARAM wp = 0;
  LPARAM lp = 0;
  LRESULT result = 0;
  State state = State::pending;
};

struct Queue {
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<Sent>> sent;
  bool quit = false;
  int quit_code = 0;
};

struct ClassEntry {
  sim::ClassInfo info;
  ATOM atom = 0;
};

struct State {
  std::mutex mu;
  sim::MachineCondition cv;  // notified with every change of the generation
  uint64_t generation = 0;
  uint64_t epoch = 0;  // bumped by every reset
  std::map<uintptr_t, std::shared_ptr<Window>> windows;
  std::vector<std::shared_ptr<Window>> order;  // creation order
  std::map<std::string, ClassEntry> classes;   // key: lower-case name
  std::map<std::thread::id, std::shared_ptr<Queue>> queues;
  std::vector<sim::Event> events;
  std::vector<sim::MessageBoxRecord> boxes;
  uint64_t next_seq = 0;
  uint64_t next_event = 0;
  uintptr_t next_hwnd = kHwndBase;
  ATOM next_atom = 0xC000;
  DWORD icc = 0;
};

State &st() {
  static State s;
  return s;
}

uintptr_t value_of(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// The window manager generation (reset count) this thread last worked in. A message loop whose
// thread worked in an older one (its windows were forgotten by a reset) ends at its next
// GetMessageA, as if told to quit, so that no test is left with a loop waiting for ever.
thread_local std::optional<uint64_t> t_epoch;

std::string lower(std::string s) {
  for (char &c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

void append_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf16_to_utf8(const WCHAR *s) {
  std::string out;
  for (; s && *s; ++s) {
    uint32_t cp = static_cast<uint16_t>(*s);
    if (cp >= 0xD800 && cp < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint16_t>(s[1]) - 0xDC00);
      ++s;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    append_utf8(out, cp);
  }
  return out;
}

std::string wide_to_utf8(const wchar_t *s) {
  std::string out;
  for (; s && *s; ++s) {
    const uint32_t cp = static_cast<uint32_t>(*s);
    append_utf8(out, cp > 0x10FFFF ? 0xFFFD : cp);
  }
  return out;
}

// --- everything below with a Lock & parameter runs with the lock held ------------------------

// When a thread that used the window manager ends, its windows go with it (without calling
// their procedures any more) and so does its queue: senders waiting for it get 0.
struct ThreadExit {
  ~ThreadExit();
};
thread_local ThreadExit t_exit;

void touch(Lock &) {
  t_epoch = st().epoch;
  (void)&t_exit;  // makes sure the thread's exit clean-up is armed
}

void changed(Lock &) {
  State &s = st();
  ++s.generation;
  s.cv.notify_all();
}

// A stand-in wait (machine time, no deadline) for the next change.
void wait_for_change(Lock &lk) {
  State &s = st();
  const uint64_t gen = s.generation;
  sim::machine_wait(s.cv, lk, INFINITE, [&] { return s.generation != gen; });
}

std::shared_ptr<Window> find(Lock &, HWND h) {
  State &s = st();
  auto it = s.windows.find(value_of(h));
  return it == s.windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> find_live(Lock &lk, HWND h) {
  auto w = find(lk, h);
  return w && w->live() ? w : nullptr;
}

std::shared_ptr<Queue> queue_of(Lock &, std::thread::id id) {
  auto &q = st().queues[id];
  if (!q) q = std::make_shared<Queue>();
  return q;
}

void record(Lock &lk, const Window &w, sim::EventKind kind, std::string text = {}, int64_t value = 0,
            int64_t value2 = 0) {
  State &s = st();
  sim::Event e;
  e.seq = ++s.next_event;
  e.time_ms = sim::virtual_now_ms();
  if (kind == sim::EventKind::created) e.rect = w.rect;
  e.kind = kind;
  e.hwnd = w.hwnd;
  e.parent = w.parent;
  e.id = w.id;
  e.class_name = w.class_name;
  e.text = std::move(text);
  e.value = value;
  e.value2 = value2;
  s.events.push_back(std::move(e));
  changed(lk);
}

// Message times are tick counts of the machine's clock, as on Windows.
DWORD msg_time() { return static_cast<DWORD>(sim::virtual_now_ms()); }

void set_text(Lock &lk, Window &w, const std::string &text) {
  if (w.text == text) return;
  w.text = text;
  record(lk, w, sim::EventKind::text, text);
}

void set_font(Lock &lk, Window &w, HFONT font) {
  if (w.font == font) return;
  w.font = font;
  const auto fi = sim::font_info(font);
  record(lk, w, sim::EventKind::font, {}, fi ? fi->height : 0, fi ? fi->weight : 0);
}

void set_visible(Lock &lk, Window &w, bool visible) {
  if (w.visible == visible) return;
  w.visible = visible;
  record(lk, w, sim::EventKind::visible, {}, visible ? 1 : 0);
}

void set_pos(Lock &lk, Window &w, int pos) {
  pos = std::clamp(pos, w.range_min, std::max(w.range_min, w.range_max));
  if (w.pos == pos) return;
  w.pos = pos;
  record(lk, w, sim::EventKind::progress_pos, {}, pos);
}

LRESULT set_range(Lock &lk, Window &w, int lo, int hi) {
  const LRESULT prev = MAKELONG(w.range_min, w.range_max);
  if (w.range_min != lo || w.range_max != hi) {
    w.range_min = lo;
    w.range_max = hi;
    record(lk, w, sim::EventKind::progress_range, {}, lo, hi);
  }
  set_pos(lk, w, w.pos);
  return prev;
}

LRESULT copy_text(const Window &w, char *buf, WPARAM size) {
  if (!buf || size == 0) return 0;
  const size_t n = std::min<size_t>(w.text.size(), size - 1);
  std::memcpy(buf, w.text.data(), n);
  buf[n] = '\0';
  return static_cast<LRESULT>(n);
}

// Text and font messages, common to controls and to the default window procedure.
std::optional<LRESULT> text_font_message(Lock &lk, Window &w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETTEXT:
      set_text(lk, w, lp ? reinterpret_cast<const char *>(lp) : "");
      return TRUE;
    case WM_GETTEXT:
      return copy_text(w, reinterpret_cast<char *>(lp), wp);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w.text.size());
    case WM_SETFONT:
      set_font(lk, w, reinterpret_cast<HFONT>(wp));
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(w.font);
    default:
      return std::nullopt;
  }
}

// The behaviour of the predefined controls.
LRESULT control_proc(Lock &lk, Window &w, UINT msg, WPARAM wp, LPARAM lp) {
  if (auto r = text_font_message(lk, w, msg, wp, lp)) return *r;
  if (w.kind != Kind::progress) return 0;
  switch (msg) {
    case PBM_SETRANGE:
      return set_range(lk, w, LOWORD(lp), HIWORD(lp));
    case PBM_SETRANGE32:
      return set_range(lk, w, static_cast<int>(wp), static_cast<int>(lp));
    case PBM_SETPOS: {
      const LRESULT prev = w.pos;
      set_pos(lk, w, static_cast<int>(wp));
      return prev;
    }
    case PBM_DELTAPOS: {
      const LRESULT prev = w.pos;
      set_pos(lk, w, w.pos + static_cast<int>(wp));
      return prev;
    }
    case PBM_SETSTEP: {
      const LRESULT prev = w.step;
      w.step = static_cast<int>(wp);
      return prev;
    }
    case PBM_STEPIT: {
      const LRESULT prev = w.pos;
      int next = w.pos + w.step;
      if (next > w.range_max) next = w.range_min + (next - w.range_max);
      set_pos(lk, w, next);
      return prev;
    }
    case PBM_GETPOS:
      return w.pos;
    case PBM_SETBARCOLOR: {
      const LRESULT prev = w.bar;
      const COLORREF colour = static_cast<COLORREF>(lp);
      if (w.bar != colour) {
        w.bar = colour;
        record(lk, w, sim::EventKind::bar_colour, {}, colour);
      }
      return prev;
    }
    case PBM_GETBARCOLOR:
      return w.bar;
    default:
      return 0;
  }
}

// Runs one sent message of this thread's queue; drops and retakes the lock around the procedure.
void run_one_sent(Lock &lk, Queue &q) {
  std::shared_ptr<Sent> m = q.sent.front();
  q.sent.pop_front();
  m->state = Sent::State::running;
  LRESULT r = 0;
  auto w = find_live(lk, m->hwnd);
  if (w && w->proc) {
    WNDPROC proc = w->proc;
    lk.unlock();
    r = proc(m->hwnd, m->msg, m->wp, m->lp);
    lk.lock();
  }
  m->result = r;
  m->state = Sent::State::done;
  changed(lk);
}

// Delivers a message the way SendMessage does; nullopt when the window is gone, was destroyed
// while the message waited, or the time-out (negative: none) passed before its thread took it.
std::optional<LRESULT> send_message(HWND h, UINT msg, WPARAM wp, LPARAM lp, int timeout_ms) {
  State &s = st();
  Lock lk(s.mu);
  touch(lk);
  auto w = find_live(lk, h);
  if (!w) return std::nullopt;
  if (w->kind != Kind::user) return control_proc(lk, *w, msg, wp, lp);
  const auto self = std::this_thread::get_id();
  if (w->owner == self) {
    WNDPROC proc = w->proc;
    lk.unlock();
    return proc(h, msg, wp, lp);
  }
  auto target = queue_of(lk, w->owner);
  auto mine = queue_of(lk, self);
  auto m = std::make_shared<Sent>();
  m->hwnd = h;
  m->msg = msg;
  m->wp = wp;
  m->lp = lp;
  target->sent.push_back(m);
  changed(lk);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  while (m->state == Sent::State::pending || m->state == Sent::State::running) {
    // Answer messages sent to this thread meanwhile, so that two threads sending to each other
    // do not wait for ever.
    if (!mine->sent.empty()) {
      run_one_sent(lk, *mine);
      continue;
    }
    if (timeout_ms >= 0 && m->state == Sent::State::pending) {
      if (s.cv.raw().wait_until(lk, deadline) == std::cv_status::timeout &&
          m->state == Sent::State::pending) {
        auto &list = target->sent;
        list.erase(std::remove(list.begin(), list.end(), m), list.end());
        m->state = Sent::State::cancelled;
      }
    } else {
      wait_for_change(lk);
    }
  }
  if (m->state == Sent::State::cancelled) return std::nullopt;
  return m->result;
}

bool is_descendant(Lock &lk, HWND h, HWND ancestor) {
  for (int depth = 0; h && depth < 64; ++depth) {
    auto w = find(lk, h);
    if (!w) return false;
    if (w->parent == ancestor) return true;
    h = w->parent;
  }
  return false;
}

bool matches(Lock &lk, const MSG &m, HWND filter, UINT lo, UINT hi) {
  if ((lo || hi) && (m.message < lo || m.message > hi) && m.message != WM_QUIT) return false;
  if (filter == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) return m.hwnd == nullptr;
  if (filter) return m.hwnd == filter || is_descendant(lk, m.hwnd, filter);
  return true;
}

bool take_posted(Lock &lk, Queue &q, MSG *out, HWND filter, UINT lo, UINT hi, bool remove) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!matches(lk, *it, filter, lo, hi)) continue;
    *out = *it;
    if (remove) q.posted.erase(it);
    return true;
  }
  return false;
}

void fill_quit(MSG *out, const Queue &q) {
  *out = MSG{};
  out->message = WM_QUIT;
  out->wParam = static_cast<WPARAM>(q.quit_code);
  out->time = msg_time();
}

struct Resolved {
  Kind kind = Kind::user;
  std::string name;
  WNDPROC proc = nullptr;
};

std::optional<Resolved> resolve_class(Lock &, LPCSTR cls) {
  State &s = st();
  if (!cls) return std::nullopt;
  if (IS_INTRESOURCE(cls)) {
    const ATOM atom = static_cast<ATOM>(value_of(cls));
    for (auto &[key, entry] : s.classes) {
      if (entry.atom == atom) return Resolved{Kind::user, entry.info.name, entry.info.proc};
    }
    return std::nullopt;
  }
  const std::string key = lower(cls);
  auto it = s.classes.find(key);
  if (it != s.classes.end()) return Resolved{Kind::user, it->second.info.name, it->second.info.proc};
  if (key == "static") return Resolved{Kind::static_ctl, "Static", nullptr};
  if (key == "button") return Resolved{Kind::button, "Button", nullptr};
  // The progress bar belongs to the common controls, registered by InitCommonControlsEx.
  if (key == "msctls_progress32" && (s.icc & ICC_PROGRESS_CLASS))
    return Resolved{Kind::progress, "msctls_progress32", nullptr};
  return std::nullopt;
}

HWND create_window(DWORD ex_style, LPCSTR cls, LPCSTR title, DWORD style, int x, int y, int cx,
                   int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  State &s = st();
  const bool child = (style & WS_CHILD) != 0;
  Lock lk(s.mu);
  touch(lk);
  if (!child && sim::app_knobs().fail_create_window) return nullptr;
  const auto resolved = resolve_class(lk, cls);
  if (!resolved) return nullptr;
  if (child && !find_live(lk, parent)) return nullptr;
  if (!child && parent && !find_live(lk, parent)) return nullptr;

  auto w = std::make_shared<Window>();
  s.next_hwnd += kHwndStep;
  w->hwnd = reinterpret_cast<HWND>(s.next_hwnd);
  w->kind = resolved->kind;
  w->class_name = resolved->name;
  w->proc = resolved->proc;
  w->instance = instance;
  w->parent = child ? parent : nullptr;
  w->id = child ? static_cast<int>(value_of(menu)) : 0;
  w->style = style & ~static_cast<DWORD>(WS_VISIBLE | WS_DISABLED);
  w->ex_style = ex_style;
  if (!child) {
    if (x == CW_USEDEFAULT) x = y = 100;
    if (cx == CW_USEDEFAULT) cx = 640, cy = 480;
  } else {
    if (x == CW_USEDEFAULT) x = y = 0;
    if (cx == CW_USEDEFAULT) cx = cy = 0;
  }
  w->rect = RECT{x, y, x + cx, y + cy};
  w->text = title ? title : "";
  w->visible = child && (style & WS_VISIBLE);
  w->enabled = (style & WS_DISABLED) == 0;
  if (!child && (style & WS_SYSMENU)) {
    for (UINT item : kSysMenuItems) w->sys_menu[item] = MF_ENABLED;
  }
  w->owner = std::this_thread::get_id();
  w->seq = ++s.next_seq;
  s.windows[s.next_hwnd] = w;
  s.order.push_back(w);
  record(lk, *w, sim::EventKind::created, w->text, w->current_style());
  if (w->kind != Kind::user) return w->hwnd;

  const HWND h = w->hwnd;
  WNDPROC proc = w->proc;
  lk.unlock();
  CREATESTRUCTA cs{param, instance,  menu,  parent, cy,      cx,
                   y,     x,         static_cast<LONG>(style), title, cls, ex_style};
  if (proc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(h);
    return nullptr;
  }
  if (!IsWindow(h)) return nullptr;
  if (!child && (style & WS_VISIBLE)) ShowWindow(h, SW_SHOW);
  return h;
}

void destroy_tree(HWND h) {
  State &s = st();
  std::vector<HWND> children;
  WNDPROC proc = nullptr;
  {
    Lock lk(s.mu);
    auto w = find_live(lk, h);
    if (!w || w->destroying) return;
    w->destroying = true;
    for (auto &c : s.order) {
      if (c->parent == h && c->live()) children.push_back(c->hwnd);
    }
    proc = w->kind == Kind::user ? w->proc : nullptr;
  }
  for (HWND c : children) destroy_tree(c);
  if (proc) proc(h, WM_DESTROY, 0, 0);
  Lock lk(s.mu);
  auto w = find(lk, h);
  if (!w) return;  // forgotten by a reset meanwhile
  w->destroyed = true;
  // Senders waiting for this window get 0 at once; posted messages for it are dropped.
  for (auto &[id, q] : s.queues) {
    for (auto &m : q->sent) {
      if (m->hwnd == h) m->state = Sent::State::cancelled;
    }
    q->sent.erase(std::remove_if(q->sent.begin(), q->sent.end(),
                                 [&](const auto &m) { return m->hwnd == h; }),
                  q->sent.end());
    q->posted.erase(std::remove_if(q->posted.begin(), q->posted.end(),
                                   [&](const MSG &m) { return m.hwnd == h; }),
                    q->posted.end());
  }
  record(lk, *w, sim::EventKind::destroyed);
}

ThreadExit::~ThreadExit() {
  State &s = st();
  Lock lk(s.mu);
  const auto self = std::this_thread::get_id();
  std::vector<HWND> gone;
  for (auto &w : s.order) {
    if (w->live() && w->owner == self) {
      w->destroyed = true;
      gone.push_back(w->hwnd);
      record(lk, *w, sim::EventKind::destroyed);
    }
  }
  for (auto &[id, q] : s.queues) {
    for (auto &m : q->sent) {
      if (id == self || std::find(gone.begin(), gone.end(), m->hwnd) != gone.end())
        m->state = Sent::State::cancelled;
    }
    q->sent.erase(std::remove_if(q->sent.begin(), q->sent.end(),
                                 [](const auto &m) { return m->state == Sent::State::cancelled; }),
                  q->sent.end());
  }
  s.queues.erase(self);
  changed(lk);
}

// Non-client frame of a top-level window: left, top, right, bottom.
RECT frame_of(const Window &w) {
  if (w.parent) return RECT{0, 0, 0, 0};
  LONG border = 0;
  if (w.style & WS_THICKFRAME)
    border = 8;
  else if (w.style & (WS_CAPTION | WS_DLGFRAME))
    border = 3;
  else if (w.style & WS_BORDER)
    border = 1;
  const LONG caption = (w.style & WS_CAPTION) == WS_CAPTION ? 23 : 0;
  return RECT{border, border + caption, border, border};
}

// Screen position of a window's client area origin.
POINT client_origin(Lock &lk, const Window &w) {
  POINT p{w.rect.left, w.rect.top};
  if (w.parent) {
    if (auto parent = find(lk, w.parent)) {
      const POINT o = client_origin(lk, *parent);
      p.x += o.x;
      p.y += o.y;
    }
  }
  const RECT f = frame_of(w);
  return POINT{p.x + f.left, p.y + f.top};
}

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

std::shared_ptr<Window> window_of_menu(Lock &lk, HMENU menu) {
  const uintptr_t v = value_of(menu);
  if (v < kSysMenuOffset) return nullptr;
  auto w = find_live(lk, reinterpret_cast<HWND>(v - kSysMenuOffset));
  return w && !w->sys_menu.empty() ? w : nullptr;
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

// --- Classes and windows ---------------------------------------------------------------------

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *wc) {
  if (sim::app_knobs().fail_register_class) return 0;
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpfnWndProc || !wc->lpszClassName ||
      IS_INTRESOURCE(wc->lpszClassName) || !*wc->lpszClassName)
    return 0;
  State &s = st();
  Lock lk(s.mu);
  const std::string key = lower(wc->lpszClassName);
  if (s.classes.count(key)) return 0;
  ClassEntry e;
  e.info.name = wc->lpszClassName;
  e.info.style = wc->style;
  e.info.proc = wc->lpfnWndProc;
  e.info.instance = wc->hInstance;
  e.info.icon = wc->hIcon;
  e.info.icon_small = wc->hIconSm;
  e.info.cursor = wc->hCursor;
  e.info.background = wc->hbrBackground;
  if (wc->lpszMenuName && !IS_INTRESOURCE(wc->lpszMenuName)) e.info.menu_name = wc->lpszMenuName;
  e.atom = s.next_atom++;
  s.classes[key] = e;
  return e.atom;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
  return create_window(dwExStyle, lpClassName, lpWindowName, dwStyle, X, Y, nWidth, nHeight,
                       hWndParent, hMenu, hInstance, lpParam);
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                            HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  const bool atom = IS_INTRESOURCE(lpClassName);
  const std::string cls = atom ? std::string() : utf16_to_utf8(lpClassName);
  const std::string title = utf16_to_utf8(lpWindowName);
  return create_window(dwExStyle,
                       atom ? reinterpret_cast<LPCSTR>(lpClassName) : cls.c_str(),
                       lpWindowName ? title.c_str() : nullptr, dwStyle, X, Y, nWidth, nHeight,
                       hWndParent, hMenu, hInstance, lpParam);
}

HWND CreateWindowExW(DWORD dwExStyle, const wchar_t *lpClassName, const wchar_t *lpWindowName,
                     DWORD dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                     HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  const bool atom = IS_INTRESOURCE(lpClassName);
  const std::string cls = atom ? std::string() : wide_to_utf8(lpClassName);
  const std::string title = wide_to_utf8(lpWindowName);
  return create_window(dwExStyle,
                       atom ? reinterpret_cast<LPCSTR>(lpClassName) : cls.c_str(),
                       lpWindowName ? title.c_str() : nullptr, dwStyle, X, Y, nWidth, nHeight,
                       hWndParent, hMenu, hInstance, lpParam);
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  {
    Lock lk(st().mu);
    touch(lk);
    auto w = find_live(lk, hWnd);
    // Only the thread that created a window may destroy it.
    if (!w || w->destroying || w->owner != std::this_thread::get_id()) return FALSE;
  }
  destroy_tree(hWnd);
  return TRUE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  State &s = st();
  const bool show = nCmdShow != SW_HIDE;
  {
    Lock lk(s.mu);
    touch(lk);
    auto w = find_live(lk, hWnd);
    if (!w) return FALSE;
    const bool was = w->visible;
    if (w->kind != Kind::user || was == show || sim::app_knobs().no_show_window_message) {
      set_visible(lk, *w, show);
      return was ? TRUE : FALSE;
    }
  }
  // A registered window hears about the change before it takes effect.
  send_message(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0, -1);
  Lock lk(s.mu);
  auto w = find_live(lk, hWnd);
  if (!w) return FALSE;
  set_visible(lk, *w, show);
  return show ? FALSE : TRUE;
}

BOOL WINAPI UpdateWindow(HWND hWnd) { return IsWindow(hWnd); }

BOOL WINAPI IsWindow(HWND hWnd) {
  Lock lk(st().mu);
  return find_live(lk, hWnd) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
  Lock lk(st().mu);
  for (int depth = 0; depth < 64; ++depth) {
    auto w = find_live(lk, hWnd);
    if (!w || !w->visible) return FALSE;
    if (!w->parent) return TRUE;
    hWnd = w->parent;
  }
  return FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  return w && w->enabled ? TRUE : FALSE;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w) return FALSE;
  const bool was_disabled = !w->enabled;
  const bool enable = bEnable != FALSE;
  if (w->enabled != enable) {
    w->enabled = enable;
    record(lk, *w, sim::EventKind::enabled, {}, enable ? 1 : 0);
  }
  return was_disabled ? TRUE : FALSE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Lock lk(st().mu);
  for (auto &w : st().order) {
    if (w->live() && w->parent && w->parent == hDlg && w->id == nIDDlgItem) return w->hwnd;
  }
  return nullptr;
}

HWND WINAPI GetParent(HWND hWnd) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  return w ? w->parent : nullptr;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w || !lpRect) return FALSE;
  POINT origin{w->rect.left, w->rect.top};
  if (w->parent) {
    if (auto parent = find(lk, w->parent)) {
      const POINT o = client_origin(lk, *parent);
      origin.x += o.x;
      origin.y += o.y;
    }
  }
  *lpRect = RECT{origin.x, origin.y, origin.x + (w->rect.right - w->rect.left),
                 origin.y + (w->rect.bottom - w->rect.top)};
  return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w || !lpRect) return FALSE;
  const RECT f = frame_of(*w);
  const LONG cx = (w->rect.right - w->rect.left) - f.left - f.right;
  const LONG cy = (w->rect.bottom - w->rect.top) - f.top - f.bottom;
  *lpRect = RECT{0, 0, std::max<LONG>(cx, 0), std::max<LONG>(cy, 0)};
  return TRUE;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  const auto r = send_message(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : ""), -1);
  return r && *r ? TRUE : FALSE;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  const std::string text = utf16_to_utf8(lpString);
  return SetWindowTextA(hWnd, text.c_str());
}

BOOL SetWindowTextW(HWND hWnd, const wchar_t *lpString) {
  const std::string text = wide_to_utf8(lpString);
  return SetWindowTextA(hWnd, text.c_str());
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  Lock lk(st().mu);
  if (!lpString || nMaxCount <= 0) return 0;
  auto w = find_live(lk, hWnd);
  if (!w) {
    lpString[0] = '\0';
    return 0;
  }
  return static_cast<int>(copy_text(*w, lpString, static_cast<WPARAM>(nMaxCount)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  return w ? static_cast<int>(w->text.size()) : 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w) return 0;
  switch (nIndex) {
    case GWLP_USERDATA: return w->user_data;
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG>(w->current_style());
    case GWL_EXSTYLE: return static_cast<LONG>(w->ex_style);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    default: return 0;
  }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w) return 0;
  LONG_PTR prev = 0;
  switch (nIndex) {
    case GWLP_USERDATA:
      prev = w->user_data;
      w->user_data = dwNewLong;
      return prev;
    case GWLP_ID:
      prev = w->id;
      w->id = static_cast<int>(dwNewLong);
      return prev;
    case GWLP_WNDPROC:
      if (w->kind != Kind::user || !dwNewLong) return 0;
      prev = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(dwNewLong);
      return prev;
    default:
      return 0;
  }
}

HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert) {
  Lock lk(st().mu);
  auto w = find_live(lk, hWnd);
  if (!w || w->sys_menu.empty()) return nullptr;
  if (bRevert) {
    const bool was = w->close_enabled();
    for (auto &[item, state] : w->sys_menu) state = MF_ENABLED;
    if (!was) record(lk, *w, sim::EventKind::close_menu, {}, 1);
    return nullptr;
  }
  return reinterpret_cast<HMENU>(value_of(hWnd) + kSysMenuOffset);
}

BOOL WINAPI EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable) {
  Lock lk(st().mu);
  auto w = window_of_menu(lk, hMenu);
  if (!w || (uEnable & MF_BYPOSITION)) return -1;
  auto it = w->sys_menu.find(uIDEnableItem);
  if (it == w->sys_menu.end()) return -1;
  const UINT prev = it->second;
  const bool was = w->close_enabled();
  it->second = uEnable & (MF_GRAYED | MF_DISABLED);
  if (uIDEnableItem == SC_CLOSE && was != w->close_enabled()) {
    // The item's state as the menu shows it: greyed, disabled (not greyed) or both.
    std::string state = (it->second & MF_GRAYED) ? "grayed" : "";
    if (it->second & MF_DISABLED) state += state.empty() ? "disabled" : " disabled";
    record(lk, *w, sim::EventKind::close_menu, state, w->close_enabled() ? 1 : 0);
  }
  return static_cast<BOOL>(prev);
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  State &s = st();
  Lock lk(s.mu);
  sim::MessageBoxRecord box{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType};
  s.boxes.push_back(box);
  Window pseudo;
  pseudo.hwnd = hWnd;
  record(lk, pseudo, sim::EventKind::message_box, box.text);
  // Nobody is there to read it: the default button answers.
  const UINT buttons = uType & 0xF;
  return buttons == 3 || buttons == MB_YESNO ? IDYES : IDOK;
}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *picce) {
  if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
  Lock lk(st().mu);
  st().icc |= picce->dwICC;
  return TRUE;
}

// --- Messages --------------------------------------------------------------------------------

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) return -1;
  State &s = st();
  Lock lk(s.mu);
  auto quit = [&](int code) {
    *lpMsg = MSG{};
    lpMsg->message = WM_QUIT;
    lpMsg->wParam = static_cast<WPARAM>(code);
    lpMsg->time = msg_time();
    t_epoch.reset();
    return FALSE;
  };
  if (t_epoch && *t_epoch != s.epoch) return quit(0);
  touch(lk);
  const uint64_t epoch = s.epoch;
  auto q = queue_of(lk, std::this_thread::get_id());
  for (;;) {
    if (s.epoch != epoch) return quit(0);
    if (!q->sent.empty()) {
      run_one_sent(lk, *q);
      continue;
    }
    if (take_posted(lk, *q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true)) {
      if (lpMsg->message == WM_QUIT) return quit(static_cast<int>(lpMsg->wParam));
      return TRUE;
    }
    if (q->quit) {
      q->quit = false;
      return quit(q->quit_code);
    }
    wait_for_change(lk);
  }
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  if (!lpMsg) return FALSE;
  State &s = st();
  Lock lk(s.mu);
  touch(lk);
  auto q = queue_of(lk, std::this_thread::get_id());
  while (!q->sent.empty()) run_one_sent(lk, *q);
  const bool remove = (wRemoveMsg & PM_REMOVE) != 0;
  if (take_posted(lk, *q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, remove)) return TRUE;
  if (q->quit) {
    fill_quit(lpMsg, *q);
    if (remove) q->quit = false;
    return TRUE;
  }
  return FALSE;
}

BOOL WINAPI TranslateMessage(const MSG *) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg) {
  if (!lpMsg || !lpMsg->hwnd) return 0;
  Lock lk(st().mu);
  touch(lk);
  auto w = find_live(lk, lpMsg->hwnd);
  if (!w) return 0;
  if (w->kind != Kind::user) return control_proc(lk, *w, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
  WNDPROC proc = w->proc;
  lk.unlock();
  return proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Lock lk(st().mu);
  touch(lk);
  std::thread::id target = std::this_thread::get_id();
  if (hWnd) {
    auto w = find_live(lk, hWnd);
    if (!w) return FALSE;
    target = w->owner;
  }
  MSG m{};
  m.hwnd = hWnd;
  m.message = Msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = msg_time();
  queue_of(lk, target)->posted.push_back(m);
  changed(lk);
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return send_message(hWnd, Msg, wParam, lParam, -1).value_or(0);
}

VOID WINAPI PostQuitMessage(int nExitCode) {
  Lock lk(st().mu);
  touch(lk);
  auto q = queue_of(lk, std::this_thread::get_id());
  q->quit = true;
  q->quit_code = nExitCode;
  changed(lk);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  switch (Msg) {
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SYSCOMMAND: {
      if ((wParam & 0xFFF0) != SC_CLOSE) return 0;
      bool close = false;
      {
        Lock lk(st().mu);
        auto w = find_live(lk, hWnd);
        close = w && w->close_enabled();
      }
      if (close) SendMessageA(hWnd, WM_CLOSE, 0, 0);
      return 0;
    }
    case WM_NCCREATE:
      return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, RGB(0, 0, 0));
      SetBkColor(dc, RGB(240, 240, 240));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default: {
      Lock lk(st().mu);
      auto w = find_live(lk, hWnd);
      if (!w) return 0;
      return text_font_message(lk, *w, Msg, wParam, lParam).value_or(0);
    }
  }
}

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

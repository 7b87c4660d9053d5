// Headless window manager, classes and windows: window classes, creation and destruction of
// windows, their state (text, position, visibility, styles) and the system menu. Messages are in
// user_window_messages.cpp, the test-driver view of all of it in user_window_driver.cpp.
//
// One lock guards every window, queue and event. Window procedures of registered classes always
// run without it, on the thread that created the window; predefined controls (static, button,
// progress bar) have no procedure of their own and are changed under the lock by whichever thread
// sends to them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win_user.h"
#include "sim/machine.h"
#include "user_window_internal.h"

using namespace sim::internal::wm;

namespace sim::internal::wm {

// Never destroyed: a detached thread of the program can still be ending, and clean up its windows
// and queue, while the process runs its exit handlers.
State &st() {
  static State *s = new State;
  return *s;
}

std::optional<uint64_t> &thread_epoch() {
  thread_local std::optional<uint64_t> epoch;
  return epoch;
}

std::string lower(std::string s) {
  for (char &c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
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

void record(Lock &lk, const Window &w, sim::EventKind kind, std::string text, int64_t value,
            int64_t value2) {
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

DWORD msg_time() { return static_cast<DWORD>(sim::virtual_now_ms()); }

LRESULT copy_text(const Window &w, char *buf, WPARAM size) {
  if (!buf || size == 0) return 0;
  const size_t n = std::min<size_t>(w.text.size(), size - 1);
  std::memcpy(buf, w.text.data(), n);
  buf[n] = '\0';
  return static_cast<LRESULT>(n);
}

}  // namespace sim::internal::wm

namespace {

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

// When a thread that used the window manager ends, its windows go with it (without calling
// their procedures any more) and so does its queue: senders waiting for it get 0.
struct ThreadExit {
  ~ThreadExit();
};
thread_local ThreadExit t_exit;

}  // namespace

namespace sim::internal::wm {

void touch(Lock &) {
  thread_epoch() = st().epoch;
  (void)&t_exit;  // makes sure the thread's exit clean-up is armed
}

}  // namespace sim::internal::wm

namespace {

void set_visible(Lock &lk, Window &w, bool visible) {
  if (w.visible == visible) return;
  w.visible = visible;
  record(lk, w, sim::EventKind::visible, {}, visible ? 1 : 0);
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

std::shared_ptr<Window> window_of_menu(Lock &lk, HMENU menu) {
  const uintptr_t v = value_of(menu);
  if (v < kSysMenuOffset) return nullptr;
  auto w = find_live(lk, reinterpret_cast<HWND>(v - kSysMenuOffset));
  return w && !w->sys_menu.empty() ? w : nullptr;
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

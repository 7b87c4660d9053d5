// Headless window manager, messages: per-thread queues, sent messages across threads, and the
// behaviour of the predefined controls, which have no procedure of their own and are changed
// under the lock by whichever thread sends to them.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/win_user.h"
#include "sim/machine.h"
#include "user_window_internal.h"

using namespace sim::internal::wm;

namespace {

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

}  // namespace

namespace sim::internal::wm {

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

}  // namespace sim::internal::wm

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
    thread_epoch().reset();
    return FALSE;
  };
  if (thread_epoch() && *thread_epoch() != s.epoch) return quit(0);
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

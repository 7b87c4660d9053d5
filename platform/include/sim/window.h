// Simulated machine: test driver of the headless window manager.
//
// Everything here is safe to call from any thread while the application runs its message loop on
// another one: reads take the window manager's internal lock and return copies. Time-outs are
// real milliseconds (the application's threads run in real time).
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "platform/win_user.h"

namespace sim {

// A copy of one window's state. Child rectangles are in the parent's client coordinates, as
// created; top-level rectangles are in screen coordinates.
struct WindowInfo {
  HWND hwnd = nullptr;
  std::string class_name;   // registered name, or "Static" / "Button" / "msctls_progress32"
  std::string text;         // UTF-8 (wide texts are converted)
  HWND parent = nullptr;
  int id = 0;               // control id of a child window (the HMENU argument)
  DWORD style = 0;
  DWORD ex_style = 0;
  RECT rect{};              // x, y, x + width, y + height as created
  bool visible = false;     // the window's own visible flag
  bool enabled = true;
  bool destroyed = false;
  HFONT font = nullptr;     // last WM_SETFONT
  int font_height = 0;      // of that font; 0 without a font
  int font_weight = 0;
  int range_min = 0;        // progress bars only
  int range_max = 100;
  int pos = 0;
  COLORREF bar_colour = CLR_DEFAULT;
  bool close_enabled = true;  // system menu SC_CLOSE item (top-level windows)
  uint64_t created_seq = 0;   // creation order over all windows
};

// A registered window class, as passed to RegisterClassExA.
struct ClassInfo {
  std::string name;
  UINT style = 0;
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  HICON icon = nullptr;
  HICON icon_small = nullptr;
  HCURSOR cursor = nullptr;
  HBRUSH background = nullptr;
  std::string menu_name;  // empty without a menu
};

struct FontInfo {
  int height = 0;
  int width = 0;
  int weight = 0;
  DWORD charset = 0;
  DWORD out_precision = 0;
  DWORD clip_precision = 0;
  DWORD quality = 0;
  DWORD pitch_and_family = 0;
  std::string face;
  bool stock = false;
  bool deleted = false;
};

// What a window procedure did to a device context while answering a colour request.
struct DcState {
  bool text_colour_set = false;
  COLORREF text_colour = 0;       // default black
  bool bk_colour_set = false;
  COLORREF bk_colour = 0xFFFFFF;  // default white
  bool bk_mode_set = false;
  int bk_mode = OPAQUE;
};

struct CtlColour {
  bool delivered = false;  // the parent existed and answered in time
  LRESULT result = 0;
  HBRUSH brush = nullptr;  // the result as a brush
  DcState dc;
};

struct MessageBoxRecord {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT type = 0;
};

enum class EventKind {
  created,       // text = window text, value = style
  destroyed,
  text,          // text = the new text
  font,          // value = font height, value2 = weight
  visible,       // value = 1 shown, 0 hidden
  enabled,       // value = 1 enabled, 0 disabled
  progress_range,  // value = min, value2 = max
  progress_pos,  // value = position
  bar_colour,    // value = COLORREF
  close_menu,    // system menu SC_CLOSE: value = 1 enabled, 0 disabled or grayed; text = the
                 // item's flags: "grayed", "disabled", "grayed disabled" or "" (enabled)
  click,         // a click delivered by click(): id
  message_box,   // text = message box text
};

// One change, in the order the window manager saw them. Only changes are recorded (setting the
// same text or position twice gives one event).
struct Event {
  uint64_t seq = 0;
  uint64_t time_ms = 0;     // machine time (virtual_now_ms) of the change
  EventKind kind = EventKind::created;
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  int id = 0;
  std::string class_name;
  std::string text;
  int64_t value = 0;
  int64_t value2 = 0;
  RECT rect{};              // created: the rectangle as created
};

// Forgets every window, class, queue, font, message box and event and clears the common-controls
// initialisation. A message loop of a thread that used the window manager before the reset ends
// (GetMessageA returns 0, now or at its next call); senders still waiting get 0. Call between
// tests, preferably after the application's threads have ended.
//
// Independently of resets, the windows of a thread that ends are destroyed with it (their
// procedures are not called any more) and messages waiting for that thread are answered with 0.
void reset_windows();

// The first live top-level window (creation order), or null.
HWND main_window();
// Waits for a live top-level window of that class (case-insensitive) or that exact title.
// Null on time-out.
HWND wait_for_window_class(const std::string &class_name, int timeout_ms);
HWND wait_for_window_title(const std::string &title, int timeout_ms);

std::optional<WindowInfo> window_info(HWND hwnd);
std::string window_text(HWND hwnd);  // empty for unknown windows
RECT window_rect(HWND hwnd);         // as created; all zero for unknown windows
// The children of a window in creation order (destroyed ones included, flagged).
std::vector<WindowInfo> controls(HWND parent);
// The live child with that control id.
std::optional<WindowInfo> control(HWND parent, int id);
std::optional<ClassInfo> window_class(const std::string &name);
std::optional<FontInfo> font_info(HFONT font);
// The ICC_* flags passed to InitCommonControlsEx so far (0: never called).
DWORD common_controls_initialised();
std::vector<MessageBoxRecord> message_boxes();

// Posts WM_COMMAND (MAKEWPARAM(id, BN_CLICKED), button) to the parent when a live "Button" child
// with that id exists and is visible and enabled; returns whether it was posted. The first form
// clicks in main_window().
bool click(int id);
bool click(HWND parent, int id);
// Sends WM_SYSCOMMAND SC_CLOSE to the main window and waits until its thread has handled it.
// False when there is no main window or it was not handled within the time-out.
bool system_close(int timeout_ms = 5000);
// Posts a raw WM_CLOSE to the main window; false without one.
bool post_close();
// Sends a message to any window as another thread would, with a time-out; nullopt when the
// window is gone or the message was not handled in time.
std::optional<LRESULT> send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, int timeout_ms = 5000);
// Sends WM_CTLCOLORSTATIC for a static control to its parent with a fresh fake device context and
// reports what the parent's window procedure set and returned.
CtlColour ctl_colour_static(HWND control, int timeout_ms = 5000);

// A fake device context for calling a window procedure directly, and what was set on it.
HDC fake_dc();
DcState dc_state(HDC hdc);

// One device row of the main window: a name line and, 20 pixels below it at the same left edge,
// a 20-pixel result line, followed by whatever the row holds of a percent line (a static
// control), a Start button right after it and a progress bar, up to the next row or the next other control.
struct Row {
  WindowInfo name;
  WindowInfo result;
  std::optional<WindowInfo> percent;
  std::optional<WindowInfo> start;
  std::optional<WindowInfo> bar;
};
// The rows of a window's live children (of a destroyed window: the children it had when it was
// destroyed), in creation order.
std::vector<Row> rows(HWND parent);

std::vector<Event> history();
void clear_history();

// For a participant of the machine's clock that acts on the windows (the "ui" script): the window
// manager's change count, and a stand-in wait (machine time) until the count moves past `seen` or
// `timeout_ms` of machine time pass. wake_window_waiters() counts as a change.
uint64_t window_generation();
void wait_for_window_change(uint64_t seen, DWORD timeout_ms);
void wake_window_waiters();

// Polls pred (without any window manager lock held) until it holds or the time-out passes; wakes
// at every window manager change and at least every few milliseconds. Returns the last result.
bool wait_until(const std::function<bool()> &pred, int timeout_ms);

}  // namespace sim

#endif  // _WIN32

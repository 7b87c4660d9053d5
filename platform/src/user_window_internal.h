// Internal interfaces between the parts of the headless window manager (not for tests): its
// state, the helpers the parts share, and the delivery of sent messages.
//
// One lock guards every window, queue and event; every function below with a Lock & parameter
// runs with that lock held.
#pragma once

#include <chrono>
#include <cstdint>
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

namespace sim::internal::wm {

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

State &st();

inline uintptr_t value_of(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// The window manager generation (reset count) this thread last worked in. A message loop whose
// thread worked in an older one (its windows were forgotten by a reset) ends at its next
// GetMessageA, as if told to quit, so that no test is left with a loop waiting for ever.
// (Reached through a function: a thread_local object shared between files is read through
// the compiler's TLS wrapper, which the sanitizer build reports as a call on a null object.)
std::optional<uint64_t> &thread_epoch();

std::string lower(std::string s);

// Notes that this thread works in the current generation and arms its exit clean-up.
void touch(Lock &lk);
// Wakes everyone waiting for a change of the window manager.
void changed(Lock &lk);
// A stand-in wait (machine time, no deadline) for the next change.
void wait_for_change(Lock &lk);

std::shared_ptr<Window> find(Lock &lk, HWND h);
std::shared_ptr<Window> find_live(Lock &lk, HWND h);
// The message queue of a thread, made on first use.
std::shared_ptr<Queue> queue_of(Lock &lk, std::thread::id id);
// Adds an event to the history.
void record(Lock &lk, const Window &w, sim::EventKind kind, std::string text = {}, int64_t value = 0,
            int64_t value2 = 0);
// Message times are tick counts of the machine's clock, as on Windows.
DWORD msg_time();
// Copies a window's text into a caller's buffer of `size` characters; returns the length copied.
LRESULT copy_text(const Window &w, char *buf, WPARAM size);

// Delivers a message the way SendMessage does; nullopt when the window is gone, was destroyed
// while the message waited, or the time-out (negative: none) passed before its thread took it.
std::optional<LRESULT> send_message(HWND h, UINT msg, WPARAM wp, LPARAM lp, int timeout_ms);

}  // namespace sim::internal::wm

// A small application for the window manager tests: a main window whose procedure records what
// it receives, builds a few controls when first shown and closes like a real program.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/window.h"

namespace wtest {

inline constexpr char kClass[] = "TestAppMainWindow";
inline constexpr int kExitId = 99;
inline constexpr int kStartId = 1000;
inline constexpr int kLabelId = 200;
inline constexpr int kBarId = 300;
inline constexpr UINT kEcho = WM_APP + 1;  // answers 42
inline constexpr UINT kHold = WM_APP + 2;  // keeps the owner thread busy while AppState::hold

struct Seen {
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  std::thread::id thread;
};

struct AppState {
  std::mutex mu;
  std::vector<Seen> seen;
  std::atomic<int> builds{0};
  std::atomic<bool> children_gone_at_destroy{false};
  HFONT bold = nullptr;
  std::atomic<bool> hold{false};
  std::atomic<bool> holding{false};

  void add(UINT msg, WPARAM wp, LPARAM lp) {
    std::lock_guard<std::mutex> lk(mu);
    seen.push_back({msg, wp, lp, std::this_thread::get_id()});
  }
  std::vector<Seen> of(UINT msg) {
    std::lock_guard<std::mutex> lk(mu);
    std::vector<Seen> out;
    for (auto &s : seen)
      if (s.msg == msg) out.push_back(s);
    return out;
  }
};

inline AppState &app() {
  static AppState a;
  return a;
}

inline void build_controls(HWND h) {
  HINSTANCE inst = nullptr;
  HWND label = CreateWindowExA(0, "Static", nullptr, WS_CHILD | WS_VISIBLE, 30, 10, 500, 20, h,
                               reinterpret_cast<HMENU>(kLabelId), inst, nullptr);
  SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(app().bold), TRUE);
  SetWindowTextA(label, "The following devices were detected:");
  HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 30, 60,
                             350, 20, h, reinterpret_cast<HMENU>(kBarId), inst, nullptr);
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  CreateWindowExA(0, "BUTTON", "Start", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 395, 60,
                  105, 20, h, reinterpret_cast<HMENU>(kStartId), inst, nullptr);
  CreateWindowExA(0, "BUTTON", "Exit", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 400, 100,
                  100, 25, h, reinterpret_cast<HMENU>(kExitId), inst, nullptr);
}

inline LRESULT CALLBACK test_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  app().add(msg, wp, lp);
  switch (msg) {
    case WM_SHOWWINDOW:
      if (wp && app().builds++ == 0) build_controls(h);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) == kExitId && HIWORD(wp) == BN_CLICKED) PostMessageA(h, WM_CLOSE, 0, 0);
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetBkColor(dc, RGB(255, 255, 255));
      SetBkMode(dc, TRANSPARENT);
      if (GetDlgItem(h, kLabelId) == reinterpret_cast<HWND>(lp)) SetTextColor(dc, RGB(255, 0, 0));
      return reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH));
    }
    case kEcho:
      return 42;
    case kHold:
      app().holding = true;
      while (app().hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      app().holding = false;
      return 0;
    case WM_DESTROY:
      // Children go first: none of them is still a window by now.
      app().children_gone_at_destroy = GetDlgItem(h, kExitId) == nullptr;
      PostQuitMessage(7);
      return 0;
    default:
      return DefWindowProcA(h, msg, wp, lp);
  }
}

inline ATOM register_test_class() {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = test_proc;
  wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  wc.hIconSm = wc.hIcon;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClass;
  return RegisterClassExA(&wc);
}

inline HWND create_main(const char *title = "Test Tool - v1.0", int height = 372) {
  return CreateWindowExA(0, kClass, title, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                         CW_USEDEFAULT, 530, height, nullptr, nullptr, nullptr, nullptr);
}

// Every test starts from an empty window manager and default knobs.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    sim::reset_windows();
    sim::app_knobs().fail_register_class = false;
    sim::app_knobs().fail_create_window = false;
    sim::app_knobs().no_show_window_message = false;
    std::lock_guard<std::mutex> lk(app().mu);
    app().seen.clear();
    app().builds = 0;
    app().children_gone_at_destroy = false;
    app().bold = nullptr;
    app().hold = false;
  }
};

// The program's main thread: registers, creates, shows and runs the message loop until WM_QUIT.
class UiThread {
 public:
  explicit UiThread(int show = SW_SHOWNORMAL) {
    thread_ = std::thread([this, show] {
      INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
      InitCommonControlsEx(&icc);
      app().bold = CreateFontA(18, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                               VARIABLE_PITCH | FF_DONTCARE, "Segoe UI");
      if (!register_test_class()) return;
      HWND h = create_main();
      if (!h) return;
      ShowWindow(h, show);
      UpdateWindow(h);
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      exit_code_ = static_cast<int>(msg.wParam);
      done_ = true;
    });
  }
  ~UiThread() {
    app().hold = false;
    if (!done_) sim::reset_windows();  // a failed test must not leave the loop waiting
    thread_.join();
  }
  std::thread::id id() const { return thread_.get_id(); }
  bool done() const { return done_; }
  int exit_code() const { return exit_code_; }

 private:
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<int> exit_code_{-1};
};

// The main window once its controls exist.
inline HWND wait_ready() {
  HWND h = sim::wait_for_window_class(kClass, 5000);
  if (!h) return nullptr;
  // The controls are built while the window is being shown; it is visible once that is over.
  if (!sim::wait_until([&] { return sim::control(h, kExitId).has_value() && IsWindowVisible(h); }, 5000))
    return nullptr;
  return h;
}

}  // namespace wtest

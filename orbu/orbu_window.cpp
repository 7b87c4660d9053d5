#include "orbu/orbu_window.h"

#include "huld/huld_log.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_threads.h"

HWND orbu_exit_button = nullptr;
HMENU orbu_system_menu = nullptr;

namespace {

HWND header_label = nullptr;
HWND backup_label = nullptr;
bool controls_built = false;


HWND create_static(HWND parent, int x, int y, int width, int height) {
  return CreateWindowExA(0, "Static", nullptr, WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                         nullptr, orbu_instance, nullptr);
}

void set_font_and_text(HWND control, HFONT font, const char *text) {
  if (control == nullptr) return;
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  SetWindowTextA(control, text);
}

void build_controls(HWND window) {
  const int row_height = static_cast<int>(orbu_ui_flags.row_height);

  header_label = create_static(window, 30, 10, 500, 20);
  if (orbu_run_flags.internal_release) {
    set_font_and_text(header_label, orbu_font_bold, "Engineering Release - INTERNAL USE ONLY");
  } else if (orbu_ui_flags.power_warning) {
    set_font_and_text(header_label, orbu_font_bold,
                      "Ensure devices are connected to a stable power source before updating.");
  } else {
    set_font_and_text(header_label, orbu_font_normal, "The following devices were detected:");
  }

  if (orbu_ui_flags.backup_warning) {
    backup_label = create_static(window, 30, 30, 500, 30);
    set_font_and_text(backup_label, orbu_font_bold,
                      "Back up your device prior to firmware update to avoid risk of data loss.");
  }

  // The device rows go here; y is the height they take.
  const int y = 0;

  orbu_exit_button = CreateWindowExA(
      0, "BUTTON", "Exit", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 400, row_height + 25 + y, 100, 25,
      window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(orbu_exit_button_id)), orbu_instance,
      nullptr);

  HWND footer = create_static(window, 3, row_height + 60 + y, 530, 12);
  if (footer != nullptr) {
    SendMessageA(footer, WM_SETFONT, reinterpret_cast<WPARAM>(orbu_font_small), TRUE);
    SetWindowTextW(footer, L"Keep this window open until every update has finished.");
  }

  orbu_system_menu = GetSystemMenu(window, FALSE);
}

void on_start(HWND window) {
  if (controls_built) return;
  controls_built = true;
  build_controls(window);
  if (orbu_ui_flags.auto_start && !orbu_start_control_thread() && orbu_ui_flags.close_when_done) {
    // Nothing can be updated; the window still closes by itself as it would when done.
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
}

LRESULT on_command(HWND window, WPARAM wparam) {
  if (HIWORD(wparam) != BN_CLICKED) return 0;
  const unsigned id = LOWORD(wparam);
  HULD_LOG(HULD_LOG_INFO, "Button clicked - %04xh.\n", id);
  if (id == static_cast<unsigned>(orbu_exit_button_id)) {
    HULD_LOG(HULD_LOG_INFO, "User has selected to exit via the exit control.\n");
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 0;
  }
  // The "Start" buttons of the device rows are handled here.
  HULD_LOG(HULD_LOG_INFO, "Unrecognized button click.\n");
  return 0;
}

LRESULT on_static_colour(WPARAM wparam, LPARAM lparam) {
  HDC dc = reinterpret_cast<HDC>(wparam);
  HWND control = reinterpret_cast<HWND>(lparam);
  SetBkColor(dc, RGB(255, 255, 255));
  if ((control == header_label && (orbu_run_flags.internal_release || orbu_ui_flags.power_warning)) ||
      (control != nullptr && control == backup_label)) {
    SetTextColor(dc, RGB(255, 0, 0));
  }
  return reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH));
}

}  // namespace

void orbu_enable_exit_controls(bool enable) {
  if (orbu_system_menu != nullptr) {
    EnableMenuItem(orbu_system_menu, SC_CLOSE,
                   MF_BYCOMMAND | (enable ? MF_ENABLED : (MF_GRAYED | MF_DISABLED)));
  }
  if (orbu_exit_button != nullptr) EnableWindow(orbu_exit_button, enable ? TRUE : FALSE);
}

LRESULT CALLBACK orbu_main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case orbu_start_message:
      on_start(window);
      return 0;
    case WM_COMMAND:
      return on_command(window, wparam);
    case WM_CTLCOLORSTATIC:
      return on_static_colour(wparam, lparam);
    case WM_DESTROY:
      HULD_LOG(HULD_LOG_INFO, "User has selected to exit via standard window destruction.\n");
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

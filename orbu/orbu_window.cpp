#include "orbu/orbu_window.h"

#include <cstdio>
#include <cstring>

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

HMENU control_id(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

// Listed in the window: every device but the ignored ones, or only the ready ones.
bool listed(uint32_t state) {
  return orbu_ui_flags.list_all_devices ? state != ORBU_STATE_IGNORED : state == ORBU_STATE_READY;
}

// The rows of the listed devices; returns the height they take.
int build_rows(HWND window, int row_height) {
  int y = 0;
  for (uint32_t i = 0; i < orbu_device_table.count; i++) {
    orbu_device_update *record = &orbu_device_table.records[i];
    const uint32_t state = record->state.load(std::memory_order_acquire);
    if (!listed(state)) continue;
    record->name_label = create_static(window, 30, row_height + 10 + y, 500, row_height);
    orbu_set_font_and_text(record->name_label, record->display_text, orbu_font_bold);
    record->result_label = create_static(window, 30, row_height + 30 + y, 500, 20);
    orbu_set_font_and_text(record->result_label, record->operation_text, orbu_font_normal);
    if (state != ORBU_STATE_READY) {
      y += 55;
      continue;
    }
    record->percent_label = create_static(window, 395, row_height + 50 + y, 105, 20);
    orbu_set_font_and_text(record->percent_label, "0% complete", orbu_font_normal);
    if (orbu_ui_flags.start_buttons) {
      if (record->percent_label != nullptr) ShowWindow(record->percent_label, SW_HIDE);
      record->start_button = CreateWindowExA(
          0, "BUTTON", "Start", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 395, row_height + 50 + y, 105, 20,
          window, control_id(orbu_start_button_id(i)), orbu_instance, nullptr);
    }
    record->progress_bar = CreateWindowExA(0, "msctls_progress32", nullptr,
                                           WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 30, row_height + 50 + y,
                                           350, 20, window, nullptr, orbu_instance, nullptr);
    if (record->progress_bar != nullptr) {
      SendMessageA(record->progress_bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
      SendMessageA(record->progress_bar, PBM_SETPOS, 0, 0);
    }
    y += 75;
  }
  return y;
}

void build_controls(HWND window) {
  const int row_height = static_cast<int>(orbu_ui_flags.row_height);

  header_label = create_static(window, 30, 10, 500, 20);
  if (orbu_run_flags.internal_release) {
    orbu_set_font_and_text(header_label, "Engineering Release - INTERNAL USE ONLY", orbu_font_bold);
  } else if (orbu_ui_flags.power_warning) {
    orbu_set_font_and_text(header_label,
                           "Ensure devices are connected to a stable power source before updating.",
                           orbu_font_bold);
  } else {
    orbu_set_font_and_text(header_label, "The following devices were detected:", orbu_font_normal);
  }

  if (orbu_ui_flags.backup_warning) {
    backup_label = create_static(window, 30, 30, 500, 30);
    orbu_set_font_and_text(
        backup_label, "Back up your device prior to firmware update to avoid risk of data loss.",
        orbu_font_bold);
  }

  const int y = build_rows(window, row_height);

  // In the variants that start updating by themselves, Exit and Close are never offered before
  // the update thread has begun: the button is created disabled and the Close item greyed below.
  const DWORD exit_style =
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | (orbu_ui_flags.auto_start ? WS_DISABLED : 0);
  orbu_exit_button = CreateWindowExA(0, "BUTTON", "Exit", exit_style, 400, row_height + 25 + y,
                                     100, 25, window, control_id(orbu_exit_button_id),
                                     orbu_instance, nullptr);

  HWND footer = create_static(window, 3, row_height + 60 + y, 530, 12);
  if (footer != nullptr) {
    SendMessageA(footer, WM_SETFONT, reinterpret_cast<WPARAM>(orbu_font_small), TRUE);
    SetWindowTextW(footer, L"Keep this window open until every update has finished.");
  }

  orbu_system_menu = GetSystemMenu(window, FALSE);
  if (orbu_ui_flags.auto_start && orbu_system_menu != nullptr)
    EnableMenuItem(orbu_system_menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);
}

void on_start(HWND window) {
  if (controls_built) return;
  controls_built = true;
  build_controls(window);
  if (orbu_ui_flags.auto_start && !orbu_start_control_thread()) {
    // Nothing can be updated; the window still closes by itself as it would when done, or
    // offers Exit again.
    if (orbu_ui_flags.close_when_done) {
      PostMessageA(window, WM_CLOSE, 0, 0);
    } else {
      orbu_enable_exit_controls(true);
    }
  }
}

// A "Start" click: the button goes away at once, the click claims the device (a device that is
// busy or not ready ignores it), and the device's own thread starts.
void start_device(uint32_t index) {
  orbu_device_update *record = &orbu_device_table.records[index];
  ShowWindow(record->start_button, SW_HIDE);
  EnableWindow(record->start_button, FALSE);
  bool first = false;
  if (!orbu_claim_device(index, &first)) return;
  if (first) {
    HULD_LOG(HULD_LOG_INFO, "Disabling Exit button and Close control during update.\n");
    orbu_enable_exit_controls(false);
  }
  orbu_start_single_update_thread(index);
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
  uint32_t index = orbu_device_table.count;
  if (id < static_cast<unsigned>(orbu_exit_button_id)) {
    index = id;
  } else if (id >= 1000 + static_cast<unsigned>(orbu_exit_button_id)) {
    index = id - 1000;
  }
  // Only a row with a Start button can be started: in the variants that start by themselves the
  // control thread owns every device.
  if (index >= orbu_device_table.count || orbu_device_table.records[index].start_button == nullptr) {
    HULD_LOG(HULD_LOG_INFO, "Unrecognized button click.\n");
    return 0;
  }
  start_device(index);
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

int orbu_start_button_id(uint32_t index) {
  return index < static_cast<uint32_t>(orbu_exit_button_id) ? static_cast<int>(index)
                                                            : static_cast<int>(1000 + index);
}

void orbu_set_font_and_text(HWND control, const char *text, HFONT font) {
  if (control == nullptr) return;
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  SetWindowTextA(control, text);
}

void orbu_set_label_text(HWND control, const char *text, HFONT font) {
  if (control == nullptr) return;
  char blanks[128];
  std::memset(blanks, ' ', 127);
  blanks[127] = '\0';
  orbu_set_font_and_text(control, blanks, font);
  char buffer[128] = {0};
  std::snprintf(buffer, sizeof(buffer), "%s", text != nullptr ? text : "");
  orbu_set_font_and_text(control, buffer, font);
}

LRESULT CALLBACK orbu_main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case orbu_start_message:
      on_start(window);
      return 0;
    case WM_COMMAND:
      return on_command(window, wparam);
    case orbu_busy_changed_message:
      orbu_enable_exit_controls(orbu_busy_count() == 0);
      return 0;
    case WM_CLOSE:
      // Closing while a device is being updated would end the run in the middle of a download.
      if (orbu_busy_count() != 0) return 0;
      return DefWindowProcA(window, message, wparam, lparam);
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

// The main window: its procedure and the controls it keeps.
#pragma once

#include "platform/win32.h"

// Control id of the Exit button.
constexpr int orbu_exit_button_id = 99;

// Private message posted once before the message loop starts: builds the controls and, when the
// variant starts by itself, starts the control thread (whatever the show command was).
constexpr UINT orbu_start_message = WM_APP + 2;

// Controls kept for the update threads (none in a silent run).
extern HWND orbu_exit_button;
extern HMENU orbu_system_menu;

LRESULT CALLBACK orbu_main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Enables or disables the Exit button and the Close item of the system menu together.
void orbu_enable_exit_controls(bool enable);

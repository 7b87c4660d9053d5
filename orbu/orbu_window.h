// The main window: its procedure and the controls it keeps.
#pragma once

#include <cstdint>

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

// Control id of the "Start" button of the device at `index`: the index itself, except from 99
// on (which would be Exit's), where it is 1000 + index.
int orbu_start_button_id(uint32_t index);

// Sets a static control's text as the update threads do: font (with redraw), a line of 127
// blanks, then the text cut to 127 characters.
void orbu_set_label_text(HWND control, const char *text, HFONT font);
// Sets a control's font (with redraw) and then its text; nothing without a control.
void orbu_set_font_and_text(HWND control, const char *text, HFONT font);

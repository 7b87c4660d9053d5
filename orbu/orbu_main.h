// The program's entry point and the run-wide state it sets up before the first device is
// touched: run flags, window layout flags, title, log file, fonts, mutexes and the device table.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"
#include "platform/win32.h"

// Version text, banner and initial window title.
#define ORBU_VERSION "1.16.1"

// Run flags, written only by orbu_main before any device is touched.
struct orbu_run_flags_t {
  uint32_t cli_mode;              // no embedded configuration: the command line drives the update
  uint32_t customer_duzori;       // Duzori variant (always in command-line mode)
  uint32_t customer_dedi;         // Dedi variant
  uint32_t internal_release;      // engineering release
  uint32_t silent;                // no window; the update runs at once
  uint32_t activate_immediately;  // activate new firmware right after the download
  uint32_t strategy_dfmonmb;      // the configuration's strategy is "dfmonmb"
};
extern orbu_run_flags_t orbu_run_flags;

// Window layout by customer variant, set by orbu_set_title_and_layout.
struct orbu_ui_flags_t {
  uint32_t row_height;        // pixels
  uint32_t apst_handling;     // save, disable and restore APST on RST RAID members around updates
  uint32_t backup_warning;    // show the back-up warning
  uint32_t power_warning;     // show the power-source warning as header
  uint32_t list_all_devices;  // every device that is not ignored gets a row (else ready ones only)
  uint32_t start_buttons;     // each ready row has a "Start" button
  uint32_t auto_start;        // the control thread starts when the window is shown
  uint32_t close_when_done;   // the control thread closes the window when it is done
};
extern orbu_ui_flags_t orbu_ui_flags;

// Window title (36 bytes, NUL included).
extern char orbu_window_title[36];

// One record per scanned device, in ready-first order once start-up is done.
struct orbu_device_table_t {
  uint32_t count;
  orbu_device_update *records;  // `count` records (none for an empty table)
};
extern orbu_device_table_t orbu_device_table;

// Log file path (heap string) or none; nothing is written while none is set.
extern char *orbu_log_path;
// Serialises every write to the log file.
extern HANDLE orbu_log_mutex;
// Used by the update threads around the device table.
extern HANDLE orbu_device_table_mutex;

// "Segoe UI" fonts: height 18 normal and bold, height 12 normal.
extern HFONT orbu_font_normal;
extern HFONT orbu_font_bold;
extern HFONT orbu_font_small;

// The program's instance, its show command and the main window (none in a silent run).
extern HINSTANCE orbu_instance;
extern int orbu_show_command;
extern HWND orbu_main_window;

// Window class of the main window.
#define ORBU_WINDOW_CLASS "DesktopApplicationMainWindow"

// The program: `command_line` is the text after the program name; returns the exit code.
int orbu_main(HINSTANCE instance, const char *command_line, int show_command);

// "Corvane Field Update Tool version 1.16.1" at level 20.
void orbu_log_version();
// "<label>: <local time as asctime text>" at level 20.
void orbu_log_timestamp(const char *label);
// The log sink: appends `text` to the log file under the log mutex.
int orbu_log_file_sink(const char *text);
// Sets orbu_ui_flags and the window title by customer variant (from orbu_run_flags).
void orbu_set_title_and_layout();

// Moves the ready records to the front (each ready record is swapped with the first earlier
// record that is not ready).
void orbu_order_ready_first(orbu_device_update *records, uint32_t count);
// Height of the main window for the listed records and the current layout.
uint32_t orbu_window_height(const orbu_device_update *records, uint32_t count);
// The updates of the device table: in a silent run the control thread, otherwise the main
// window and its message loop; every update thread is joined, then the summary's exit code is
// returned.
uint32_t orbu_run_updates();
// Marks every ready device as failed (progress complete): used when its update cannot start.
void orbu_fail_ready_devices();

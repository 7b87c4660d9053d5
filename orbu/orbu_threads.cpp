#include "orbu/orbu_threads.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "huld/huld_log.h"
#include "orbu/orbu_apst.h"
#include "orbu/orbu_engine.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_strategies.h"
#include "orbu/orbu_window.h"

namespace {

// The control thread and the single-device threads, kept so that the main thread can join them
// before the summary. Both are touched only by the main thread.
HANDLE control_thread = nullptr;
std::vector<HANDLE> single_threads;

// Busy flags of the records and their count: changed under this lock only, which is never held
// across device I/O or user-interface calls.
std::mutex busy_lock;
uint32_t busy_count = 0;

constexpr COLORREF red = RGB(255, 0, 0);

void busy_enter() {
  std::lock_guard<std::mutex> guard(busy_lock);
  busy_count++;
}

bool busy_leave() {
  std::lock_guard<std::mutex> guard(busy_lock);
  if (busy_count > 0) busy_count--;
  return busy_count == 0;
}

void set_state(orbu_device_update *record, uint32_t state) {
  record->state.store(state, std::memory_order_release);
}

uint32_t state_of(const orbu_device_update *record) {
  return record->state.load(std::memory_order_acquire);
}

void mark_failed(orbu_device_update *record) {
  record->progress.store(1.0, std::memory_order_release);
  set_state(record, ORBU_STATE_FAILED);
}

const char *text_or_blank(const char *text) { return text != nullptr ? text : ""; }

void set_bar(HWND bar, unsigned position) {
  if (bar != nullptr) SendMessageA(bar, PBM_SETPOS, position, 0);
}

void paint_bar_red(HWND bar) {
  if (bar != nullptr) SendMessageA(bar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(red));
}

// Shows the record's progress in its row; `label_routine` chooses the way the percent label is
// set (the single-device thread goes through orbu_set_label_text).
void show_progress(orbu_device_update *record, bool label_routine) {
  double progress = record->progress.load(std::memory_order_acquire);
  if (progress < 0.0) progress = 0.0;
  if (progress > 1.0) progress = 1.0;
  const unsigned percent = static_cast<unsigned>(progress * 100);
  set_bar(record->progress_bar, percent);
  char text[256];
  std::snprintf(text, sizeof(text), "%u%% complete", percent);
  if (label_routine) {
    orbu_set_label_text(record->percent_label, text, orbu_font_normal);
  } else {
    orbu_set_font_and_text(record->percent_label, text, orbu_font_normal);
  }
}

// Runs the per-device worker on the record and shows its progress every 500 ms until it has
// ended; the worker is joined, so its final state is read after its end. A worker that cannot
// start leaves the device failed.
void run_worker(orbu_device_update *record, bool label_routine) {
  HANDLE worker = CreateThread(nullptr, 0, orbu_update_device_thread, record, 0, nullptr);
  if (worker == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Failed to start the update thread for device %s.\n",
             record->display_text);
    mark_failed(record);
    show_progress(record, label_routine);
    return;
  }
  for (;;) {
    show_progress(record, label_routine);
    const DWORD wait = WaitForSingleObject(worker, 500);
    if (wait == WAIT_TIMEOUT) continue;
    if (wait != WAIT_OBJECT_0) WaitForSingleObject(worker, INFINITE);
    break;
  }
  show_progress(record, label_routine);
  CloseHandle(worker);
}

// Result text of the control thread.
void control_result_text(uint32_t state, char *text, size_t size) {
  switch (state) {
    case ORBU_STATE_UPDATED: std::snprintf(text, size, "Firmware update successful."); break;
    case ORBU_STATE_FAILED: std::snprintf(text, size, "Firmware update FAILED."); break;
    case ORBU_STATE_REBOOT_REQUIRED:
      std::snprintf(text, size, "Firmware update requires reboot.");
      break;
    default: std::snprintf(text, size, "Firmware update complete (%d).", static_cast<int>(state));
  }
}

// Result text of the single-device thread.
void single_result_text(const orbu_device_update *record, uint32_t steps_done, char *text,
                        size_t size) {
  const uint32_t state = state_of(record);
  const bool dfmonmb = orbu_run_flags.strategy_dfmonmb != 0;
  switch (state) {
    case ORBU_STATE_UPDATED:
      if (dfmonmb) {
        std::snprintf(text, size, "Firmware update successful.");
      } else {
        std::snprintf(text, size, "Firmware update to revision %s successful.",
                      text_or_blank(record->target_firmware));
      }
      break;
    case ORBU_STATE_FAILED:
      if (record->step_count > 1) {
        std::snprintf(text, size, "Firmware update FAILED. (Step %d/%d)",
                      static_cast<int>(steps_done), static_cast<int>(record->step_count));
      } else {
        std::snprintf(text, size, "Firmware update FAILED.");
      }
      break;
    case ORBU_STATE_REBOOT_REQUIRED:
      if (dfmonmb) {
        std::snprintf(text, size, "Firmware update requires reboot.");
      } else {
        std::snprintf(text, size, "Firmware update to revision %s requires reboot.",
                      text_or_blank(record->target_firmware));
      }
      break;
    default: std::snprintf(text, size, "Firmware update complete (%d).", static_cast<int>(state));
  }
}

// The control thread's result text of the record, into its row's result label and `result`.
void show_control_result(orbu_device_update *record, char *result, size_t size) {
  char blanks[256];
  std::memset(blanks, ' ', 255);
  blanks[255] = '\0';
  orbu_set_font_and_text(record->result_label, blanks, orbu_font_normal);
  control_result_text(state_of(record), result, size);
  orbu_set_font_and_text(record->result_label, result, orbu_font_normal);
}

// The control thread's update of one ready device.
void control_update(uint32_t index, orbu_device_update *record) {
  HULD_LOG(HULD_LOG_INFO, "Starting device update thread %d  on device %s.\n",
           static_cast<int>(index), record->display_text);
  HULD_LOG(HULD_LOG_INFO, "Device %s operation: %s\n", record->display_text,
           record->operation_text);
  run_worker(record, false);
  HULD_LOG(HULD_LOG_INFO, "Device update thread %d on device %s completed.\n",
           static_cast<int>(index), record->display_text);
  char result[256];
  show_control_result(record, result, sizeof(result));
  HULD_LOG(HULD_LOG_INFO, "Device %s operation result: %s\n", record->display_text, result);
}

// Waits for the device-table mutex; an abandoned mutex is ours as well.
bool lock_table() {
  const DWORD wait = WaitForSingleObject(orbu_device_table_mutex, INFINITE);
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void unlock_table() { ReleaseMutex(orbu_device_table_mutex); }

// The end of a single-device thread: the claim is released and, with the last busy device, the
// main window enables Exit and Close again. `completed_line`: the thread's closing line is logged
// (a thread that failed at its claim never began, so it has none).
DWORD single_thread_end(orbu_device_update *record, bool completed_line = true) {
  if (orbu_release_device(record)) {
    HULD_LOG(HULD_LOG_INFO,
             "Enabling Exit button and Close control now that updates are complete.\n");
    if (orbu_main_window != nullptr)
      PostMessageA(orbu_main_window, orbu_busy_changed_message, 0, 0);
  }
  if (completed_line) HULD_LOG(HULD_LOG_INFO, "Device update thread completed.\n");
  return 0;
}

// A failed wait for the device-table mutex: the device's run is shown as failed (and counted as
// failed, whatever step it had reached). `at_claim`: the wait that claims the device.
DWORD single_thread_deadlock(orbu_device_update *record, bool at_claim = false) {
  HULD_LOG(HULD_LOG_NOTICE, "Application deadlock - fail operation %s on device %s.\n",
           record->operation_text, record->display_text);
  HULD_LOG(HULD_LOG_NOTICE, "Please attempt to run the application again to update firmware.\n");
  mark_failed(record);
  orbu_set_label_text(record->result_label, "Firmware update FAILED.", orbu_font_normal);
  paint_bar_red(record->progress_bar);
  return single_thread_end(record, !at_claim);
}

}  // namespace

DWORD WINAPI orbu_update_control_thread(LPVOID) {
  HULD_LOG(HULD_LOG_INFO, "Device update control thread started.\n");
  HULD_LOG(HULD_LOG_INFO, "Disabling Exit button and Close control during update.\n");
  orbu_enable_exit_controls(false);

  orbu_device_update *records = orbu_device_table.records;
  const uint32_t count = orbu_device_table.count;
  {
    orbu_apst_save_area apst;
    const bool apst_handling = orbu_ui_flags.apst_handling != 0;
    if (apst_handling && !apst.allocate(count)) {
      HULD_LOG(HULD_LOG_INFO, "Failed to allocate system resources for update.\n");
      orbu_fail_ready_devices();
      HULD_LOG(HULD_LOG_INFO, "Update thread aborted.");
    } else {
      if (apst_handling) apst.store_and_disable(records, count);
      for (uint32_t i = 0; i < count; i++) {
        if (state_of(&records[i]) != ORBU_STATE_READY) {
          HULD_LOG(HULD_LOG_INFO, "Device %u skipped, device was not ready for update.\n", i);
          continue;
        }
        control_update(i, &records[i]);
      }
      if (apst_handling) apst.restore(records, count);
    }
  }

  busy_leave();
  HULD_LOG(HULD_LOG_INFO, "Enabling Exit button and Close control now that updates are complete.\n");
  orbu_enable_exit_controls(true);
  if (orbu_ui_flags.close_when_done && orbu_main_window != nullptr) {
    HULD_LOG(HULD_LOG_INFO,
             "Sending a message to shut down the GUI now that updates are complete.\n");
    // Handled by the main thread's message loop before this returns; a window that is already
    // gone answers at once.
    SendMessageA(orbu_main_window, WM_CLOSE, 0, 0);
  }
  HULD_LOG(HULD_LOG_INFO, "Device update control thread completed.\n");
  return 0;
}

DWORD WINAPI orbu_single_update_thread(LPVOID parameter) {
  const uint32_t index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
  orbu_device_update *record = &orbu_device_table.records[index];

  if (!lock_table()) return single_thread_deadlock(record, true);
  set_state(record, ORBU_STATE_IN_PROGRESS);
  unlock_table();

  if (record->start_button != nullptr) ShowWindow(record->start_button, SW_HIDE);
  if (record->percent_label != nullptr) ShowWindow(record->percent_label, SW_SHOW);

  uint32_t steps_done = 0;
  char text[256];
  do {
    set_bar(record->progress_bar, 0);
    orbu_set_label_text(record->percent_label, "0% complete", orbu_font_normal);
    HULD_LOG(HULD_LOG_INFO, "Device %s operation: %s\n", record->display_text,
             record->operation_text);
    HULD_LOG(HULD_LOG_INFO, "Beginning update on %s.\n", record->display_text);
    if (orbu_run_flags.strategy_dfmonmb) {
      std::snprintf(text, sizeof(text), "Updating firmware...");
    } else if (record->step_count <= 1) {
      std::snprintf(text, sizeof(text), "Updating from %s to %s...",
                    text_or_blank(record->current_firmware), text_or_blank(record->target_firmware));
    } else {
      std::snprintf(text, sizeof(text), "Step %d: Updating from %s to %s...",
                    static_cast<int>(steps_done + 1), text_or_blank(record->current_firmware),
                    text_or_blank(record->target_firmware));
    }
    orbu_set_label_text(record->result_label, text, orbu_font_normal);
    HULD_LOG(HULD_LOG_INFO, "Starting single device update thread on device %s.\n",
             record->display_text);
    run_worker(record, true);

    steps_done++;
    if (!lock_table()) return single_thread_deadlock(record);
    orbu_next_update_step(record, steps_done);
    unlock_table();
    orbu_set_label_text(record->name_label, record->display_text, orbu_font_bold);
  } while (state_of(record) == ORBU_STATE_IN_PROGRESS);

  HULD_LOG(HULD_LOG_INFO, "Device update thread on device %s completed.\n", record->display_text);
  single_result_text(record, steps_done, text, sizeof(text));
  orbu_set_label_text(record->result_label, text, orbu_font_normal);
  if (state_of(record) == ORBU_STATE_FAILED) paint_bar_red(record->progress_bar);
  HULD_LOG(HULD_LOG_INFO, "Device %s operation result: %s\n", record->display_text, text);
  return single_thread_end(record);
}

void orbu_next_update_step(orbu_device_update *record, uint32_t steps_done) {
  if (state_of(record) != ORBU_STATE_UPDATED) return;
  char previous_text[sizeof(record->display_text)];
  std::memcpy(previous_text, record->display_text, sizeof(previous_text));
  orbu_collect_device_data(record);
  if (steps_done >= record->step_count) {
    // The last step was verified: a device that cannot be read again stays updated.
    if (state_of(record) == ORBU_STATE_IGNORED) {
      std::memcpy(record->display_text, previous_text, sizeof(previous_text));
      set_state(record, ORBU_STATE_UPDATED);
      HULD_LOG(HULD_LOG_NOTICE,
               "Device %s remains updated; it could not be identified again after its last "
               "step.\n",
               record->display_text);
    }
    return;
  }
  orbu_collect_operation_state(record);
  if (state_of(record) == ORBU_STATE_READY) {
    record->progress.store(0.0, std::memory_order_release);
    set_state(record, ORBU_STATE_IN_PROGRESS);
  } else {
    set_state(record, ORBU_STATE_FAILED);
  }
}

bool orbu_start_control_thread() {
  if (control_thread != nullptr) return true;
  busy_enter();
  control_thread = CreateThread(nullptr, 0, orbu_update_control_thread, nullptr, 0, nullptr);
  if (control_thread != nullptr) return true;
  busy_leave();
  HULD_LOG(HULD_LOG_NOTICE, "Failed to start the device update control thread.\n");
  // Every device the thread would have updated fails, and its row shows it as the thread shows
  // a device whose update failed.
  for (uint32_t i = 0; i < orbu_device_table.count; i++) {
    orbu_device_update *record = &orbu_device_table.records[i];
    if (state_of(record) != ORBU_STATE_READY) continue;
    mark_failed(record);
    show_progress(record, false);
    char result[256];
    show_control_result(record, result, sizeof(result));
  }
  return false;
}

bool orbu_start_single_update_thread(uint32_t index) {
  HANDLE thread =
      CreateThread(nullptr, 0, orbu_single_update_thread,
                   reinterpret_cast<LPVOID>(static_cast<uintptr_t>(index)), 0, nullptr);
  if (thread != nullptr) {
    single_threads.push_back(thread);
    return true;
  }
  orbu_device_update *record = &orbu_device_table.records[index];
  HULD_LOG(HULD_LOG_NOTICE, "Failed to start the update thread for device %s.\n",
           record->display_text);
  mark_failed(record);
  orbu_set_label_text(record->result_label, "Firmware update FAILED.", orbu_font_normal);
  paint_bar_red(record->progress_bar);
  if (orbu_release_device(record)) {
    HULD_LOG(HULD_LOG_INFO,
             "Enabling Exit button and Close control now that updates are complete.\n");
    orbu_enable_exit_controls(true);
  }
  return false;
}

void orbu_join_update_threads() {
  if (control_thread != nullptr) {
    WaitForSingleObject(control_thread, INFINITE);
    CloseHandle(control_thread);
    control_thread = nullptr;
  }
  for (HANDLE thread : single_threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  single_threads.clear();
}

bool orbu_claim_device(uint32_t index, bool *first) {
  if (index >= orbu_device_table.count) return false;
  orbu_device_update *record = &orbu_device_table.records[index];
  std::lock_guard<std::mutex> guard(busy_lock);
  if (record->busy || state_of(record) != ORBU_STATE_READY) return false;
  record->busy = 1;
  busy_count++;
  if (first != nullptr) *first = busy_count == 1;
  return true;
}

bool orbu_release_device(orbu_device_update *record) {
  std::lock_guard<std::mutex> guard(busy_lock);
  if (record->busy) {
    record->busy = 0;
    if (busy_count > 0) busy_count--;
  }
  return busy_count == 0;
}

uint32_t orbu_busy_count() {
  std::lock_guard<std::mutex> guard(busy_lock);
  return busy_count;
}

#include "orbu/orbu_threads.h"

#include "huld/huld_log.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_window.h"

namespace {

// The control thread, kept so that the main thread can join it before the summary.
HANDLE control_thread = nullptr;

}  // namespace

DWORD WINAPI orbu_update_control_thread(LPVOID) {
  HULD_LOG(HULD_LOG_INFO, "Device update control thread started.\n");
  HULD_LOG(HULD_LOG_INFO, "Disabling Exit button and Close control during update.\n");
  orbu_enable_exit_controls(false);

  for (uint32_t i = 0; i < orbu_device_table.count; i++) {
    orbu_device_update *record = &orbu_device_table.records[i];
    if (record->state.load(std::memory_order_acquire) != ORBU_STATE_READY) {
      HULD_LOG(HULD_LOG_INFO, "Device %u skipped, device was not ready for update.\n", i);
      continue;
    }
    // The per-device update of a ready device goes here.
  }

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

bool orbu_start_control_thread() {
  if (control_thread != nullptr) return true;
  control_thread = CreateThread(nullptr, 0, orbu_update_control_thread, nullptr, 0, nullptr);
  if (control_thread != nullptr) return true;
  HULD_LOG(HULD_LOG_NOTICE, "Failed to start the device update control thread.\n");
  orbu_fail_ready_devices();
  return false;
}

void orbu_join_update_threads() {
  if (control_thread != nullptr) {
    WaitForSingleObject(control_thread, INFINITE);
    CloseHandle(control_thread);
    control_thread = nullptr;
  }
}

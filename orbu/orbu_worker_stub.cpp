// Until the update engine is part of the build no device can be updated: the worker fails the
// device at once. This file goes away when the engine brings the real worker.
#include "orbu/orbu_threads.h"

DWORD WINAPI orbu_update_device_thread(LPVOID parameter) {
  auto *record = static_cast<orbu_device_update *>(parameter);
  record->state.store(ORBU_STATE_FAILED, std::memory_order_release);
  record->progress.store(1.0, std::memory_order_release);
  return 0;
}

// Until the update strategies are part of the build no update applies to any device. This file
// goes away when they bring the real collect step.
#include "orbu/orbu_scan.h"

void orbu_collect_device_info(orbu_device_update *record) {
  record->state.store(ORBU_STATE_IGNORED, std::memory_order_release);
}

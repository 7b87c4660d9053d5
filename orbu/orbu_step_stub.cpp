// Until the strategies are part of the build no further step of an update ever applies. This
// file goes away when they bring the real between-steps roles.
#include "orbu/orbu_threads.h"

void orbu_collect_device_data(orbu_device_update *) {}

void orbu_collect_operation_state(orbu_device_update *record) {
  record->state.store(ORBU_STATE_NOT_APPLICABLE, std::memory_order_release);
}

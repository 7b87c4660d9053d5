// Until the device scan and the update strategies are part of the build, the machine's device
// list is empty. This file goes away then: orbu_scan_devices becomes
//   vornscan_scan(...) into the run-long vornscan_list, then, when embedded,
//   vornscan_eliminate_extra_device_nodes(...)
// and orbu_collect_device_info comes with the strategies.
#include "orbu/orbu_scan.h"

uint32_t orbu_scan_devices(int embedded) {
  (void)embedded;
  return 0;
}

huld_dev *orbu_scanned_device(uint32_t) { return nullptr; }

void orbu_collect_device_info(orbu_device_update *record) {
  // No strategy yet: nothing applies to any device.
  record->state.store(ORBU_STATE_IGNORED, std::memory_order_release);
}

// Until the device scan is part of the build the machine's device list is empty. This file then
// gives way to the real scan: orbu_scan_devices runs vornscan_scan (every class, with probing)
// into the run-long vornscan_list and, when embedded, vornscan_eliminate_extra_device_nodes on
// it; orbu_scanned_device returns the list's records.
#include "orbu/orbu_scan.h"

uint32_t orbu_scan_devices(int embedded) {
  (void)embedded;
  return 0;
}

huld_dev *orbu_scanned_device(uint32_t) { return nullptr; }

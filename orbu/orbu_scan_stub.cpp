// Until the device scan is part of the build the machine's device list is empty. The devices are
// enumerated all the same, so that a debug run logs what the enumeration finds; the records are
// released again. This file then gives way to the real scan: orbu_scan_devices runs
// vornscan_scan (every class, with probing) into the run-long vornscan_list and, when embedded,
// vornscan_eliminate_extra_device_nodes on it; orbu_scanned_device returns the list's records.
#include "huld/huld_dev.h"
#include "orbu/orbu_scan.h"

uint32_t orbu_scan_devices(int embedded) {
  (void)embedded;
  huld_dev_enumeration enumeration{};
  huld_dev_enumerate(&enumeration);
  huld_dev_release(&enumeration);
  return 0;
}

huld_dev *orbu_scanned_device(uint32_t) { return nullptr; }

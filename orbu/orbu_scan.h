// The device scan as the application sees it, and the per-device collect step that decides
// whether an update applies.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"

// Scans every storage device with probing into the run-long scan list; with `embedded` the
// duplicate device nodes are then removed. Returns the number of devices in the list.
uint32_t orbu_scan_devices(int embedded);
// The device at `index` of the scan list (scan order).
huld_dev *orbu_scanned_device(uint32_t index);
// Closes the scanned devices and frees the list. The program leaves them to the end of the
// process; a caller that runs the program more than once in one process (a test) releases them
// after each run, when no update thread is left.
void orbu_release_scanned_devices();

// The strategy's collect step for one record: leaves the state ready, not applicable, ignored or
// failed, and fills the display and operation texts.
void orbu_collect_device_info(orbu_device_update *record);

// The application's device scan: every class with probing into the run-long scan list and, in
// embedded mode, the removal of the extra nodes of each drive. The list (about 600 KB) is one heap
// block kept for the whole run; the device-update records point into it.
#include <cstdlib>

#include "huld/huld_log.h"
#include "orbu/orbu_scan.h"
#include "vornscan/scan.h"

namespace {

vornscan_list *scan_list = nullptr;

}  // namespace

uint32_t orbu_scan_devices(int embedded) {
  if (scan_list == nullptr) scan_list = static_cast<vornscan_list *>(std::calloc(1, sizeof(vornscan_list)));
  if (scan_list == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Insufficient resources to scan for devices.\n");
    return 0;
  }
  vornscan_scan(scan_list, 1);
  if (embedded) vornscan_eliminate_extra_device_nodes(scan_list);
  return scan_list->count;
}

huld_dev *orbu_scanned_device(uint32_t index) {
  if (scan_list == nullptr || index >= scan_list->count) return nullptr;
  return &scan_list->devices[index];
}

void orbu_release_scanned_devices() {
  if (scan_list == nullptr) return;
  for (uint32_t i = 0; i < scan_list->count; ++i) huld_dev_cleanup(&scan_list->devices[i]);
  std::free(scan_list);
  scan_list = nullptr;
}

// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_nvme_windows_xr"

#include "huld/windows/huld_nvme_windows_xr.h"

int huld_nvme_windows_xr_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

int huld_nvme_windows_xr_probe(huld_dev *) { return 0; }

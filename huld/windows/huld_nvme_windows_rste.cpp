// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_nvme_windows_rste"

#include "huld/windows/huld_nvme_windows_rste.h"

int huld_nvme_windows_rste_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

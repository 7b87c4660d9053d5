// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_nvme_marvell_nevox"

#include "huld/windows/huld_nvme_marvell_nevox.h"

int huld_nvme_marvell_nevox_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

void huld_windows_enumerate_nevox(huld_dev *, huld_dev_enumeration *) {}

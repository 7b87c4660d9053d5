// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_ata_windows"

#include "huld/windows/huld_ata_windows.h"

int huld_ata_windows_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

int huld_ata_windows_probe(huld_dev *) { return 0; }

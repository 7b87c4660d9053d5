// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_ata_windows_csmi"

#include "huld/windows/huld_ata_windows.h"

int execute_stp_passthru(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

int huld_ata_windows_csmi_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  return execute_stp_passthru(err, dev, cmd);
}

int huld_ata_windows_probe_csmi(huld_dev *) { return 0; }

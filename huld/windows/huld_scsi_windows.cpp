// PLACEHOLDER: this back end is not built yet. Every entry below refuses with code 2
// (HULD_ERROR_NOT_SUPPORTED), subcode the device's interface, "back end is not available", and
// every probe answers no.
#define HULD_MODULE "huld\\windows\\huld_scsi_windows"

#include "huld/windows/huld_scsi_windows.h"

int huld_scsi_windows_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, dev->iface, "back end is not available");
}

int huld_scsi_windows_probe(huld_dev *) { return 0; }
int huld_scsi_windows_probe_sat(huld_dev *) { return 0; }
int huld_scsi_windows_asmedia_probe_nvme(huld_dev *) { return 0; }

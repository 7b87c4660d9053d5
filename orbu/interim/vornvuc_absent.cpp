// Until the vendor-unique library reads the identify record, it cannot be read: "dfmonmb" devices
// are ignored at collection. This file goes away when the library brings the read.
#include "orbu/orbu_device_lib.h"

#define HULD_MODULE "orbu\\interim"

int vornvuc_xr_vsc_execute_vsc_id(huld_error *err, huld_dev *, void *, uint32_t) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "vendor-unique commands not available");
}

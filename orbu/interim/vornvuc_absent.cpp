// Until the vendor-unique command library is part of the build, the identify record cannot be
// read: "dfmonmb" devices are ignored at collection. Built only without the library.
#include "orbu/orbu_device_lib.h"

#define HULD_MODULE "orbu\\interim"

int vornvuc_xr_vsc_execute_vsc_id(huld_error *err, huld_dev *, uint8_t *, uint32_t) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "vendor-unique commands not available");
}
int vornvuc_xr_vscid_parse_native_firmware(huld_error *err, char *, uint32_t, const uint8_t *,
                                           uint32_t) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "vendor-unique commands not available");
}
int vornvuc_xr_vscid_parse_global_product_id(huld_error *err, uint16_t *, const uint8_t *,
                                             uint32_t) {
  return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "vendor-unique commands not available");
}

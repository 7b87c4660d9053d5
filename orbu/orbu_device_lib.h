// The device command libraries the strategies and the update engine call: identification,
// component id, firmware download and activation, and the vendor-unique identify record.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "vornbasics/identification.h"
#include "vorndedi/ops.h"
#include "vornfirmware/firmware.h"

int vornvuc_xr_vsc_execute_vsc_id(huld_error *err, huld_dev *dev, uint8_t *buffer, uint32_t size);
int vornvuc_xr_vscid_parse_native_firmware(huld_error *err, char *out, uint32_t out_size,
                                           const uint8_t *record, uint32_t length);
int vornvuc_xr_vscid_parse_global_product_id(huld_error *err, uint16_t *out, const uint8_t *record,
                                             uint32_t length);

// Fuzz target: the vendor-unique parsers (IDENTIFY words, VSC-ID record fields, the native
// firmware string) over arbitrary device data, passed with its exact length so that any read past
// it is caught by AddressSanitizer. The first byte picks the output size of the string parsers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vornvuc/xr/parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint32_t out_size = data[0] % 32;
  std::vector<uint8_t> body(data + 1, data + size);
  const uint8_t *d = body.empty() ? nullptr : body.data();
  const auto n = static_cast<uint32_t>(body.size());
  huld_error err;
  memset(&err, 0, sizeof(err));
  char text[32];
  uint8_t b = 0;
  uint16_t w = 0;
  vornvuc_xr_identify_parse_vsc_implementation_level(&err, &w, d, n);
  vornvuc_xr_identify_parse_xrda_supported(&err, &b, d, n);
  vornvuc_xr_vscid_parse_controller_firmware(&err, text, out_size, d, n);
  vornvuc_xr_vscid_parse_servo_firmware(&err, text, out_size, d, n);
  vornvuc_xr_vscid_parse_overlay_firmware(&err, text, out_size, d, n);
  vornvuc_xr_vscid_parse_family_id(&err, &w, d, n);
  vornvuc_xr_vscid_parse_global_product_id(&err, &w, d, n);
  if (vornvuc_xr_vscid_parse_native_firmware(&err, text, out_size, d, n) == 0 && strlen(text) >= 20) __builtin_trap();
  return 0;
}

// Parsers of the IDENTIFY DEVICE words and the VSC-ID record of the vendor-unique protocol.
#define HULD_MODULE "vornvuc\\xr\\parse"

#include "vornvuc/xr/parse.h"

#include <cstring>

#include "huld/huld_util.h"

namespace {

const uint8_t *bytes(const void *buffer) { return static_cast<const uint8_t *>(buffer); }

constexpr uint32_t kControllerFirmwareOffset = 2;
constexpr uint32_t kServoFirmwareOffset = 10;
constexpr uint32_t kOverlayFirmwareOffset = 18;
constexpr uint32_t kLegacyFamilyIdOffset = 26;
constexpr uint32_t kFamilyIdOffset = 364;
constexpr uint32_t kGlobalProductIdOffset = 366;
constexpr uint32_t kXrdaWord = 141;
constexpr uint32_t kLevelWord = 142;
// One firmware field of the record with its NUL.
constexpr uint32_t kFieldSize = 9;

int parseb(huld_error *err, uint8_t *out, uint32_t offset, const char *description,
           const void *buffer, uint32_t length) {
  if (static_cast<uint64_t>(length) < static_cast<uint64_t>(offset) + 1) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse byte at offset %u (%s)", offset,
                      description);
  }
  *out = bytes(buffer)[offset];
  huld_error_clear(err);
  return 0;
}

int parsew(huld_error *err, uint16_t *out, uint32_t offset, const char *description,
           const void *buffer, uint32_t length) {
  if (static_cast<uint64_t>(length) < static_cast<uint64_t>(offset) + 2) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse word at offset %u (%s)", offset,
                      description);
  }
  *out = huld_get_le16(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

// size - 1 characters at offset, trimmed. The check asks for one byte more than is copied.
int parsecstr(huld_error *err, char *out, uint32_t size, uint32_t offset, const char *description,
              const void *buffer, uint32_t length) {
  if (size == 0) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "output buffer size is 0 (%s)", description);
  }
  memset(out, 0, size);
  if (static_cast<uint64_t>(length) < static_cast<uint64_t>(size) + offset) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse %u bytes at offset %u (%s)", size, offset,
                      description);
  }
  memcpy(out, bytes(buffer) + offset, huld_min(size - 1, length));
  huld_str_trim(out);
  huld_error_clear(err);
  return 0;
}

// Character i of a trimmed string, 0 beyond its end (trimming leaves stale bytes behind the NUL).
char at(const char *s, size_t i) { return i < strlen(s) ? s[i] : '\0'; }

}  // namespace

int vornvuc_xr_identify_parse_vsc_implementation_level(huld_error *err, uint16_t *out,
                                                       const void *identify, uint32_t length) {
  if (length < 2 * kLevelWord + 2) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "buffer not large enough to parse word %u (%s)\n",
                      kLevelWord, "vsc implementation level");
  }
  *out = huld_get_le16(bytes(identify) + 2 * kLevelWord);
  huld_error_clear(err);
  return 0;
}

int vornvuc_xr_identify_parse_xrda_supported(huld_error *err, uint8_t *out, const void *identify,
                                             uint32_t length) {
  if (length < 2 * kXrdaWord + 2) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse word %u xrda support\n", kXrdaWord);
  }
  const uint16_t word = huld_get_le16(bytes(identify) + 2 * kXrdaWord);
  *out = (word == 0x4001 || word == 0x8001) ? 1 : 0;
  huld_error_clear(err);
  return 0;
}

int vornvuc_xr_vscid_parse_controller_firmware(huld_error *err, char *out, uint32_t size,
                                               const void *record, uint32_t length) {
  return parsecstr(err, out, size, kControllerFirmwareOffset, "controller firmware", record,
                   length);
}

int vornvuc_xr_vscid_parse_servo_firmware(huld_error *err, char *out, uint32_t size,
                                          const void *record, uint32_t length) {
  return parsecstr(err, out, size, kServoFirmwareOffset, "servo firmware", record, length);
}

int vornvuc_xr_vscid_parse_overlay_firmware(huld_error *err, char *out, uint32_t size,
                                            const void *record, uint32_t length) {
  return parsecstr(err, out, size, kOverlayFirmwareOffset, "overlay firmware", record, length);
}

int vornvuc_xr_vscid_parse_family_id(huld_error *err, uint16_t *out, const void *record,
                                     uint32_t length) {
  uint8_t legacy = 0;
  if (parseb(err, &legacy, kLegacyFamilyIdOffset, "legacy family id", record, length)) return 1;
  *out = legacy;
  if (legacy != VORNVUC_XR_FAMILY_ID_EXTENDED) return 0;
  return parsew(err, out, kFamilyIdOffset, "family id", record, length);
}

int vornvuc_xr_vscid_parse_global_product_id(huld_error *err, uint16_t *out, const void *record,
                                             uint32_t length) {
  return parsew(err, out, kGlobalProductIdOffset, "global product id", record, length);
}

int vornvuc_xr_vscid_parse_native_firmware(huld_error *err, char *out, uint32_t size,
                                           const void *record, uint32_t length) {
  if (size) memset(out, 0, size);
  if (size < VORNVUC_XR_NATIVE_FIRMWARE_SIZE) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "native firmware size <20 bytes, cannot create native firmware string");
  }
  char ctl[kFieldSize], srv[kFieldSize], ovl[kFieldSize];
  if (vornvuc_xr_vscid_parse_controller_firmware(err, ctl, kFieldSize, record, length) ||
      vornvuc_xr_vscid_parse_servo_firmware(err, srv, kFieldSize, record, length) ||
      vornvuc_xr_vscid_parse_overlay_firmware(err, ovl, kFieldSize, record, length)) {
    return 1;
  }
  const char composed[VORNVUC_XR_NATIVE_FIRMWARE_SIZE] = {
      at(ctl, 0), at(ctl, 1), at(ctl, 2), at(srv, 0), at(srv, 1), at(ovl, 5), at(ovl, 0),
      at(ovl, 1), ' ',        at(ctl, 2), at(ctl, 3), at(ctl, 4), at(srv, 2), at(srv, 3),
      at(srv, 4), at(ovl, 2), at(ovl, 3), at(ovl, 4), at(ovl, 5), '\0'};
  memcpy(out, composed, sizeof(composed));
  huld_error_clear(err);
  return 0;
}

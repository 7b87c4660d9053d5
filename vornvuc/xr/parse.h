// Parsers of the vendor-unique protocol's data: the two IDENTIFY DEVICE words that say whether and
// at which level a drive speaks the protocol, and the fields of the VSC-ID record (the answer to
// key 13/1), among them the drive's 20-character native firmware string.
//
// Every parser takes the caller's error record first and returns 0 (record cleared) or 1 (code
// HULD_ERROR_FAILURE, message naming the field). None reads past the length it is given.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

// The VSC-ID record, little-endian. The application reads it into a 512-byte buffer; the fields
// below need 368 bytes.
#pragma pack(push, 1)
typedef struct vornvuc_xr_vscid {
  uint8_t reserved0[2];
  char controller_firmware[8];  // byte 2
  char servo_firmware[8];       // byte 10
  char overlay_firmware[8];     // byte 18
  uint8_t legacy_family_id;     // byte 26; 254: the family id at byte 364 applies
  uint8_t reserved27[337];
  uint16_t family_id;           // byte 364
  uint16_t global_product_id;   // byte 366
} vornvuc_xr_vscid;
#pragma pack(pop)
static_assert(sizeof(vornvuc_xr_vscid) == 368, "VSC-ID record layout");

// Legacy family id that defers to the 16-bit family id.
#define VORNVUC_XR_FAMILY_ID_EXTENDED 254u
// Size of the native firmware string with its NUL.
#define VORNVUC_XR_NATIVE_FIRMWARE_SIZE 20u

// IDENTIFY DEVICE word 142 (needs 286 bytes).
int vornvuc_xr_identify_parse_vsc_implementation_level(huld_error *err, uint16_t *out,
                                                       const void *identify, uint32_t length);
// IDENTIFY DEVICE word 141 (needs 284 bytes): *out 1 when it is exactly 4001h or 8001h, else 0.
int vornvuc_xr_identify_parse_xrda_supported(huld_error *err, uint8_t *out, const void *identify,
                                             uint32_t length);

// Firmware strings of the record (8 characters, trimmed), copied into out as size - 1 characters
// at most. The output is zeroed first; the record must hold size + offset bytes.
int vornvuc_xr_vscid_parse_controller_firmware(huld_error *err, char *out, uint32_t size,
                                               const void *record, uint32_t length);
int vornvuc_xr_vscid_parse_servo_firmware(huld_error *err, char *out, uint32_t size,
                                          const void *record, uint32_t length);
int vornvuc_xr_vscid_parse_overlay_firmware(huld_error *err, char *out, uint32_t size,
                                            const void *record, uint32_t length);
// The legacy family id, or the 16-bit family id when the legacy one is 254 (a record too short
// for that word fails and leaves 254 in *out).
int vornvuc_xr_vscid_parse_family_id(huld_error *err, uint16_t *out, const void *record,
                                     uint32_t length);
int vornvuc_xr_vscid_parse_global_product_id(huld_error *err, uint16_t *out, const void *record,
                                             uint32_t length);
// The native firmware string, 19 characters and a NUL composed from the trimmed controller (ctl),
// servo (srv) and overlay (ovl) strings:
//   ctl0 ctl1 ctl2 srv0 srv1 ovl5 ovl0 ovl1 ' ' ctl2 ctl3 ctl4 srv2 srv3 srv4 ovl2 ovl3 ovl4 ovl5
// A position beyond the end of a trimmed string is the byte 0, which ends the C string early: a
// drive whose strings are that short has a shorter native firmware string. size must be >= 20.
int vornvuc_xr_vscid_parse_native_firmware(huld_error *err, char *out, uint32_t size,
                                           const void *record, uint32_t length);

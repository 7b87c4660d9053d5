// Parsers of the data ATA commands return: the 512-byte IDENTIFY DEVICE data, the pages of the
// IDENTIFY DEVICE DATA log (30h) and the SMART READ DATA and READ THRESHOLDS data.
//
// Every parser takes the caller's error record first and returns 0 (record cleared) or 1 (code
// HULD_ERROR_FAILURE, subcode 0). It checks the length it needs before it reads. Value parsers
// write their output only on success; string parsers zero their whole output first (a size of 0
// is refused with nothing written).
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

// One entry of the SMART attribute table.
typedef struct vornata_smart_attribute {
  uint8_t id;
  uint16_t flags;
  uint8_t current;
  uint8_t worst;
  uint8_t reserved;  // entry byte 11
  uint64_t raw;      // 48-bit raw value
} vornata_smart_attribute;

// One entry of the SMART threshold table.
typedef struct vornata_smart_threshold {
  uint8_t id;
  uint8_t threshold;
} vornata_smart_threshold;

// Number of entries of the SMART attribute and threshold tables.
#define VORNATA_SMART_ENTRIES 30u

// ---------------------------------------------------------------------------------------------
// IDENTIFY DEVICE
// ---------------------------------------------------------------------------------------------
#define VORNATA_DECLARE_BIT(name, word, bit, desc) \
  int vornata_identify_parse_##name(huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
#define VORNATA_DECLARE_BITS(name, word, shift, count, desc) \
  int vornata_identify_parse_##name(huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
#define VORNATA_DECLARE_WORD(name, word, desc) \
  int vornata_identify_parse_##name(huld_error *err, uint16_t *out, const void *buffer, uint32_t length);
#define VORNATA_DECLARE_DWORD(name, word, desc) \
  int vornata_identify_parse_##name(huld_error *err, uint32_t *out, const void *buffer, uint32_t length);
#define VORNATA_DECLARE_QWORD(name, word, desc) \
  int vornata_identify_parse_##name(huld_error *err, uint64_t *out, const void *buffer, uint32_t length);
#include "vornata/parse_fields.h"
VORNATA_IDENTIFY_FIELDS(VORNATA_DECLARE_BIT, VORNATA_DECLARE_BITS, VORNATA_DECLARE_WORD,
                        VORNATA_DECLARE_DWORD, VORNATA_DECLARE_QWORD)
#undef VORNATA_DECLARE_BIT
#undef VORNATA_DECLARE_BITS
#undef VORNATA_DECLARE_WORD
#undef VORNATA_DECLARE_DWORD
#undef VORNATA_DECLARE_QWORD

// Strings: byte-swapped per word; model, serial and firmware are trimmed.
int vornata_identify_parse_model(huld_error *err, char *out, uint32_t size, const void *buffer,
                                 uint32_t length);
int vornata_identify_parse_serial(huld_error *err, char *out, uint32_t size, const void *buffer,
                                  uint32_t length);
int vornata_identify_parse_firmware(huld_error *err, char *out, uint32_t size, const void *buffer,
                                    uint32_t length);
int vornata_identify_parse_current_media_serial(huld_error *err, char *out, uint32_t size,
                                                const void *buffer, uint32_t length);
int vornata_identify_parse_nlbas_28bit(huld_error *err, uint32_t *out, const void *buffer,
                                       uint32_t length);
int vornata_identify_parse_nominal_media_rotation_rate(huld_error *err, uint16_t *out,
                                                       const void *buffer, uint32_t length);
// Minimum and maximum 512-byte blocks per DOWNLOAD MICROCODE transfer (words 234, 235).
int vornata_identify_parse_dlmc_min_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                           uint32_t length);
int vornata_identify_parse_dlmc_max_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                           uint32_t length);
int vornata_identify_parse_world_wide_name(huld_error *err, uint64_t *out, const void *buffer,
                                           uint32_t length);
int vornata_identify_parse_wwn_unique_id(huld_error *err, uint64_t *out, const void *buffer,
                                         uint32_t length);
int vornata_identify_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                    uint32_t length);
int vornata_identify_parse_security_erase_unit_normal_time_to_complete(huld_error *err,
                                                                       uint16_t *out,
                                                                       const void *buffer,
                                                                       uint32_t length);
int vornata_identify_parse_security_erase_unit_enhanced_time_to_complete(huld_error *err,
                                                                         uint16_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length);
int vornata_identify_parse_alignment_of_logical_sector_within_a_physical_sector(
    huld_error *err, uint16_t *out, const void *buffer, uint32_t length);

// ---------------------------------------------------------------------------------------------
// IDENTIFY DEVICE DATA log (30h)
// ---------------------------------------------------------------------------------------------
int vornata_id_data_log_parse_security_enabled(huld_error *err, uint8_t *out, const void *buffer,
                                               uint32_t length);
int vornata_id_data_log_parse_security_locked(huld_error *err, uint8_t *out, const void *buffer,
                                              uint32_t length);
int vornata_id_data_log_parse_security_frozen(huld_error *err, uint8_t *out, const void *buffer,
                                              uint32_t length);
int vornata_id_data_log_parse_security_count_expired(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);
int vornata_id_data_log_parse_enhanced_security_erase_supported(huld_error *err, uint8_t *out,
                                                                const void *buffer,
                                                                uint32_t length);
int vornata_id_data_log_parse_master_password_capability(huld_error *err, uint8_t *out,
                                                         const void *buffer, uint32_t length);
int vornata_id_data_log_parse_security_supported(huld_error *err, uint8_t *out, const void *buffer,
                                                 uint32_t length);
// Page 03h: DOWNLOAD MICROCODE modes 03h, 07h and 0Eh/0Fh.
int vornata_id_data_log_parse_dm_offsets_immediate_supported(huld_error *err, uint8_t *out,
                                                             const void *buffer, uint32_t length);
int vornata_id_data_log_parse_dm_immediate_supported(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);
int vornata_id_data_log_parse_dm_offsets_deferred_supported(huld_error *err, uint8_t *out,
                                                            const void *buffer, uint32_t length);
int vornata_id_data_log_parse_qword48_bit0(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit1(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit2(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit3(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit4(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit5(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit6(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_qword48_bit7(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornata_id_data_log_parse_dm_min_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                            uint32_t length);
int vornata_id_data_log_parse_dm_max_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                            uint32_t length);
int vornata_id_data_log_parse_nominal_media_rotation_rate(huld_error *err, uint16_t *out,
                                                          const void *buffer, uint32_t length);
int vornata_id_data_log_parse_world_wide_name(huld_error *err, uint64_t *out, const void *buffer,
                                              uint32_t length);
int vornata_id_data_log_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                       uint32_t length);

// ---------------------------------------------------------------------------------------------
// SMART READ DATA / READ THRESHOLDS (512 bytes each)
// ---------------------------------------------------------------------------------------------
int vornata_smart_parse_attribute(huld_error *err, vornata_smart_attribute *out, uint8_t id,
                                  const void *buffer, uint32_t length);
// *count: the capacity of `out` on entry, the number stored on return.
int vornata_smart_parse_attributes(huld_error *err, vornata_smart_attribute *out, uint32_t *count,
                                   const void *buffer, uint32_t length);
int vornata_smart_parse_nattrs(huld_error *err, uint32_t *out, const void *buffer,
                               uint32_t length);
int vornata_smart_parse_threshold(huld_error *err, vornata_smart_threshold *out, uint8_t id,
                                  const void *buffer, uint32_t length);
int vornata_smart_parse_thresholds(huld_error *err, vornata_smart_threshold *out, uint32_t *count,
                                   const void *buffer, uint32_t length);
int vornata_smart_parse_nthresholds(huld_error *err, uint32_t *out, const void *buffer,
                                    uint32_t length);
int vornata_smart_parse_self_test_status(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length);
int vornata_smart_parse_self_test_percent_done(huld_error *err, uint32_t *out, const void *buffer,
                                               uint32_t length);
int vornata_smart_parse_short_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                           uint32_t length);
int vornata_smart_parse_long_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                          uint32_t length);
int vornata_smart_parse_conveyance_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                                uint32_t length);

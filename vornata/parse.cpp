// Parsers of IDENTIFY DEVICE, the IDENTIFY DEVICE DATA log and the SMART data.
#define HULD_MODULE "vornata\\parse"

#include "vornata/parse.h"

#include <cstring>

#include "huld/huld_util.h"

namespace {

const uint8_t *bytes(const void *buffer) { return static_cast<const uint8_t *>(buffer); }

bool covers(uint32_t length, uint64_t need) { return static_cast<uint64_t>(length) >= need; }

int fail(huld_error *err, const char *function, uint32_t line, const char *message) {
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, line, "%s", message);
}

// ----- word primitives -----

int parse_word(huld_error *err, uint16_t *out, const void *buffer, uint32_t length, uint32_t word,
               const char *description) {
  if (!covers(length, 2ull * word + 2)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "buffer not large enough to parse word %u (%s)\n",
                      word, description);
  }
  *out = huld_get_le16(bytes(buffer) + 2 * word);
  huld_error_clear(err);
  return 0;
}

int parse_dword(huld_error *err, uint32_t *out, const void *buffer, uint32_t length,
                uint32_t word, const char *description) {
  if (!covers(length, 2ull * word + 4)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse dword at word %u (%s)", word, description);
  }
  *out = huld_get_le32(bytes(buffer) + 2 * word);
  huld_error_clear(err);
  return 0;
}

int parse_qword(huld_error *err, uint64_t *out, const void *buffer, uint32_t length,
                uint32_t word, const char *description) {
  if (!covers(length, 2ull * word + 8)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse qword at word %u (%s)", word, description);
  }
  *out = huld_get_le64(bytes(buffer) + 2 * word);
  huld_error_clear(err);
  return 0;
}

int parse_word_and_bit(huld_error *err, uint8_t *out, const void *buffer, uint32_t length,
                       uint32_t word, uint32_t bit, const char *description) {
  if (!covers(length, 2ull * word + 2)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse word %u bit %u (%s)\n", word, bit,
                      description);
  }
  *out = static_cast<uint8_t>((huld_get_le16(bytes(buffer) + 2 * word) >> bit) & 1);
  huld_error_clear(err);
  return 0;
}

int parse_word_and_bits(huld_error *err, uint8_t *out, const void *buffer, uint32_t length,
                        uint32_t word, uint32_t shift, uint32_t count, const char *description) {
  if (!covers(length, 2ull * word + 2)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "buffer not large enough to parse word %u bit %u cnt %u (%s)", word, shift,
                      count, description);
  }
  uint32_t value = huld_get_le16(bytes(buffer) + 2 * word);
  uint32_t mask = (count >= 8) ? 0xFFu : ((1u << count) - 1);
  *out = static_cast<uint8_t>((value >> shift) & mask);
  huld_error_clear(err);
  return 0;
}

// An ATA string of `width` bytes at `offset`: the whole field is swapped back into a scratch
// copy first, then at most size - 1 characters are copied (optionally trimmed).
int parse_ata_string(huld_error *err, char *out, uint32_t size, const void *buffer,
                     uint32_t length, uint32_t offset, uint32_t width, uint32_t need, bool trim,
                     const char *dump_title, const char *function, const char *message) {
  if (out == nullptr || size == 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "output buffer size is 0 (%s)", function);
  }
  memset(out, 0, size);
  if (!covers(length, need)) return fail(err, function, __LINE__, message);
  if (dump_title != nullptr && huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_dump(dump_title, bytes(buffer) + offset, width);
  }
  char field[64];
  memcpy(field, bytes(buffer) + offset, width);
  huld_swap_bytes16(field, width);
  memcpy(out, field, huld_min(size - 1, width));
  if (trim) huld_str_trim(out);
  huld_error_clear(err);
  return 0;
}

// Bits 14:0 when bit 15 is set, else bits 7:0 (the security erase time words).
uint16_t erase_time(uint16_t word) {
  return (word & 0x8000) ? static_cast<uint16_t>(word & 0x7FFF) : static_cast<uint16_t>(word & 0xFF);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// IDENTIFY DEVICE: the table-generated parsers
// ---------------------------------------------------------------------------------------------
#define VORNATA_DEFINE_BIT(name, word, bit, desc)                                                \
  int vornata_identify_parse_##name(huld_error *err, uint8_t *out, const void *buffer,           \
                                    uint32_t length) {                                           \
    return parse_word_and_bit(err, out, buffer, length, (word), (bit), (desc));                  \
  }
#define VORNATA_DEFINE_BITS(name, word, shift, count, desc)                                      \
  int vornata_identify_parse_##name(huld_error *err, uint8_t *out, const void *buffer,           \
                                    uint32_t length) {                                           \
    return parse_word_and_bits(err, out, buffer, length, (word), (shift), (count), (desc));      \
  }
#define VORNATA_DEFINE_WORD(name, word, desc)                                                    \
  int vornata_identify_parse_##name(huld_error *err, uint16_t *out, const void *buffer,          \
                                    uint32_t length) {                                           \
    return parse_word(err, out, buffer, length, (word), (desc));                                 \
  }
#define VORNATA_DEFINE_DWORD(name, word, desc)                                                   \
  int vornata_identify_parse_##name(huld_error *err, uint32_t *out, const void *buffer,          \
                                    uint32_t length) {                                           \
    return parse_dword(err, out, buffer, length, (word), (desc));                                \
  }
#define VORNATA_DEFINE_QWORD(name, word, desc)                                                   \
  int vornata_identify_parse_##name(huld_error *err, uint64_t *out, const void *buffer,          \
                                    uint32_t length) {                                           \
    return parse_qword(err, out, buffer, length, (word), (desc));                                \
  }
VORNATA_IDENTIFY_FIELDS(VORNATA_DEFINE_BIT, VORNATA_DEFINE_BITS, VORNATA_DEFINE_WORD,
                        VORNATA_DEFINE_DWORD, VORNATA_DEFINE_QWORD)

// ---------------------------------------------------------------------------------------------
// IDENTIFY DEVICE: parsers with rules of their own
// ---------------------------------------------------------------------------------------------

int vornata_identify_parse_model(huld_error *err, char *out, uint32_t size, const void *buffer,
                                 uint32_t length) {
  return parse_ata_string(err, out, size, buffer, length, 54, 40, 94, true,
                          "vornata identify model raw", __func__,
                          "buffer not large enough to parse ata identify model");
}

int vornata_identify_parse_serial(huld_error *err, char *out, uint32_t size, const void *buffer,
                                  uint32_t length) {
  return parse_ata_string(err, out, size, buffer, length, 20, 20, 40, true,
                          "vornata identify serial raw", __func__,
                          "buffer not large enough to parse ata identify serial");
}

int vornata_identify_parse_firmware(huld_error *err, char *out, uint32_t size, const void *buffer,
                                    uint32_t length) {
  return parse_ata_string(err, out, size, buffer, length, 46, 8, 54, true,
                          "vornata identify firmware raw", __func__,
                          "buffer not large enough to parse ata identify firmware");
}

int vornata_identify_parse_current_media_serial(huld_error *err, char *out, uint32_t size,
                                                const void *buffer, uint32_t length) {
  return parse_ata_string(err, out, size, buffer, length, 352, 60, 412, false, nullptr, __func__,
                          "buffer not large enough to parse ata identify current media serial");
}

int vornata_identify_parse_nlbas_28bit(huld_error *err, uint32_t *out, const void *buffer,
                                       uint32_t length) {
  if (!covers(length, 124)) {
    return fail(err, __func__, __LINE__, "buffer not large enough to parse nlbas for 28bit commands");
  }
  *out = huld_get_le32(bytes(buffer) + 120);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_nominal_media_rotation_rate(huld_error *err, uint16_t *out,
                                                       const void *buffer, uint32_t length) {
  if (!covers(length, 436)) {
    return fail(err, __func__, __LINE__, "buffer not large enough to parse nominal media rotation rate");
  }
  *out = huld_get_le16(bytes(buffer) + 434);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_dlmc_min_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                           uint32_t length) {
  if (!covers(length, 470)) return fail(err, __func__, __LINE__, "buffer not large enough to parse dlmc min blocks");
  *out = huld_get_le16(bytes(buffer) + 468);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_dlmc_max_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                           uint32_t length) {
  if (!covers(length, 472)) return fail(err, __func__, __LINE__, "buffer not large enough to parse dlmc max blocks");
  *out = huld_get_le16(bytes(buffer) + 470);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_world_wide_name(huld_error *err, uint64_t *out, const void *buffer,
                                           uint32_t length) {
  if (!covers(length, 224)) return fail(err, __func__, __LINE__, "buffer not large enough to parse wwn");
  const uint8_t *p = bytes(buffer);
  *out = static_cast<uint64_t>(huld_get_le16(p + 216)) << 48 |
         static_cast<uint64_t>(huld_get_le16(p + 218)) << 32 |
         static_cast<uint64_t>(huld_get_le16(p + 220)) << 16 | huld_get_le16(p + 222);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_wwn_unique_id(huld_error *err, uint64_t *out, const void *buffer,
                                         uint32_t length) {
  uint64_t wwn = 0;
  if (vornata_identify_parse_world_wide_name(err, &wwn, buffer, length)) return 1;
  *out = wwn & 0xFFFFFFFFFull;
  return 0;
}

int vornata_identify_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                    uint32_t length) {
  if (!covers(length, 220)) return fail(err, __func__, __LINE__, "buffer not large enough to parse ieee oui");
  uint16_t w108 = huld_get_le16(bytes(buffer) + 216);
  uint16_t w109 = huld_get_le16(bytes(buffer) + 218);
  uint32_t naa = w108 >> 12;
  if (naa != 5) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "could not parse ieee oui due to incorrect naa value (%xh)", naa);
  }
  *out = (static_cast<uint32_t>(w108 & 0x0FFF) << 12) | (w109 >> 4);
  huld_error_clear(err);
  return 0;
}

int vornata_identify_parse_security_erase_unit_normal_time_to_complete(huld_error *err,
                                                                       uint16_t *out,
                                                                       const void *buffer,
                                                                       uint32_t length) {
  uint16_t w = 0;
  if (parse_word(err, &w, buffer, length, 89, "security erase unit normal time to complete")) {
    return 1;
  }
  *out = erase_time(w);
  return 0;
}

int vornata_identify_parse_security_erase_unit_enhanced_time_to_complete(huld_error *err,
                                                                         uint16_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length) {
  uint16_t w = 0;
  if (parse_word(err, &w, buffer, length, 90, "security erase unit enhanced time to complete")) {
    return 1;
  }
  *out = erase_time(w);
  return 0;
}

int vornata_identify_parse_alignment_of_logical_sector_within_a_physical_sector(
    huld_error *err, uint16_t *out, const void *buffer, uint32_t length) {
  uint16_t w = 0;
  if (parse_word(err, &w, buffer, length, 209,
                 "alignment of logical sector within a physical sector")) {
    return 1;
  }
  *out = w & 0x3FFF;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// IDENTIFY DEVICE DATA log
// ---------------------------------------------------------------------------------------------

namespace {

// Bit n of the qword at `offset` of a log page; the qword's bit 63 must be set (valid).
int __check_bit(huld_error *err, uint8_t *out, uint32_t n, uint32_t offset, const void *buffer,
                uint32_t length) {
  HULD_LOG(HULD_LOG_DEBUG, "checking bit %d from qw at %d\n", static_cast<int>(n),
           static_cast<int>(offset));
  if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("buff to check", buffer, length);
  if (!covers(length, static_cast<uint64_t>(offset) + 8)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "buffer not large enough");
  }
  uint64_t qw = huld_get_le64(bytes(buffer) + offset);
  HULD_LOG(HULD_LOG_DEBUG, "qw: %llxh\n", static_cast<unsigned long long>(qw));
  if ((qw >> 63) == 0) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "qword invalid");
  *out = static_cast<uint8_t>((qw >> n) & 1);
  HULD_LOG(HULD_LOG_DEBUG, "bit %d is set: %d\n", static_cast<int>(n), static_cast<int>(*out));
  huld_error_clear(err);
  return 0;
}

// The valid qword at `offset`, with the parser's own messages.
int log_qword(huld_error *err, uint64_t *out, uint32_t offset, const void *buffer,
              uint32_t length, uint32_t need, const char *function, const char *invalid) {
  if (!covers(length, need)) return fail(err, function, __LINE__, "buffer not large enough");
  uint64_t qw = huld_get_le64(bytes(buffer) + offset);
  if ((qw >> 63) == 0) return fail(err, function, __LINE__, invalid);
  *out = qw;
  huld_error_clear(err);
  return 0;
}

}  // namespace

#define VORNATA_LOG_BIT(name, bit, offset)                                                       \
  int vornata_id_data_log_parse_##name(huld_error *err, uint8_t *out, const void *buffer,        \
                                       uint32_t length) {                                        \
    return __check_bit(err, out, (bit), (offset), buffer, length);                               \
  }
VORNATA_LOG_BIT(security_enabled, 0, 16)
VORNATA_LOG_BIT(security_locked, 1, 16)
VORNATA_LOG_BIT(security_frozen, 2, 16)
VORNATA_LOG_BIT(security_count_expired, 3, 16)
VORNATA_LOG_BIT(enhanced_security_erase_supported, 4, 16)
VORNATA_LOG_BIT(master_password_capability, 5, 16)
VORNATA_LOG_BIT(security_supported, 6, 16)
VORNATA_LOG_BIT(dm_offsets_immediate_supported, 32, 16)
VORNATA_LOG_BIT(dm_immediate_supported, 33, 16)
VORNATA_LOG_BIT(dm_offsets_deferred_supported, 34, 16)
VORNATA_LOG_BIT(qword48_bit0, 0, 48)
VORNATA_LOG_BIT(qword48_bit1, 1, 48)
VORNATA_LOG_BIT(qword48_bit2, 2, 48)
VORNATA_LOG_BIT(qword48_bit3, 3, 48)
VORNATA_LOG_BIT(qword48_bit4, 4, 48)
VORNATA_LOG_BIT(qword48_bit5, 5, 48)
VORNATA_LOG_BIT(qword48_bit6, 6, 48)
VORNATA_LOG_BIT(qword48_bit7, 7, 48)

int vornata_id_data_log_parse_dm_min_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                            uint32_t length) {
  uint64_t qw = 0;
  if (log_qword(err, &qw, 16, buffer, length, 24, __func__,
                "identify device data log dlmc cap invalid")) {
    return 1;
  }
  *out = static_cast<uint16_t>(qw & 0xFFFF);
  return 0;
}

int vornata_id_data_log_parse_dm_max_blocks(huld_error *err, uint16_t *out, const void *buffer,
                                            uint32_t length) {
  uint64_t qw = 0;
  if (log_qword(err, &qw, 16, buffer, length, 24, __func__,
                "identify device data log dlmc cap invalid")) {
    return 1;
  }
  *out = static_cast<uint16_t>((qw >> 16) & 0xFFFF);
  return 0;
}

int vornata_id_data_log_parse_nominal_media_rotation_rate(huld_error *err, uint16_t *out,
                                                          const void *buffer, uint32_t length) {
  uint64_t qw = 0;
  if (log_qword(err, &qw, 24, buffer, length, 32, __func__,
                "identify device data log nominal media rotation rate invalid")) {
    return 1;
  }
  *out = static_cast<uint16_t>(qw & 0xFFFF);
  return 0;
}

int vornata_id_data_log_parse_world_wide_name(huld_error *err, uint64_t *out, const void *buffer,
                                              uint32_t length) {
  uint64_t valid = 0;
  if (log_qword(err, &valid, 64, buffer, length, 72, __func__,
                "identify device data log world wide name invalid")) {
    return 1;
  }
  *out = huld_get_le64(bytes(buffer) + 56);
  return 0;
}

int vornata_id_data_log_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                       uint32_t length) {
  uint64_t wwn = 0;
  if (vornata_id_data_log_parse_world_wide_name(err, &wwn, buffer, length)) return 1;
  uint32_t naa = static_cast<uint32_t>(wwn >> 60);
  if (naa != 5) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "identify device data log world wide name NAA invalid (%xh)", naa);
  }
  *out = static_cast<uint32_t>((wwn >> 36) & 0xFFFFFF);
  huld_error_clear(err);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// SMART data
// ---------------------------------------------------------------------------------------------

namespace {

const uint32_t kSmartLength = 512;
const uint32_t kEntryBase = 2;
const uint32_t kEntrySize = 12;

int smart_short(huld_error *err, const char *function, uint32_t length) {
  if (covers(length, kSmartLength)) return 0;
  return fail(err, function, __LINE__, "buffer not large enough");
}

vornata_smart_attribute read_attribute(const uint8_t *e) {
  vornata_smart_attribute a{};
  a.id = e[0];
  a.flags = huld_get_le16(e + 1);
  a.current = e[3];
  a.worst = e[4];
  a.raw = huld_get_le48(e + 5);
  a.reserved = e[11];
  return a;
}

}  // namespace

int vornata_smart_parse_attribute(huld_error *err, vornata_smart_attribute *out, uint8_t id,
                                  const void *buffer, uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES; ++i) {
    const uint8_t *e = bytes(buffer) + kEntryBase + kEntrySize * i;
    if (e[0] == id) {
      *out = read_attribute(e);
      huld_error_clear(err);
      return 0;
    }
  }
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "attr %u does not exist in SMART buffer",
                    static_cast<unsigned>(id));
}

int vornata_smart_parse_attributes(huld_error *err, vornata_smart_attribute *out, uint32_t *count,
                                   const void *buffer, uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  uint32_t capacity = *count;
  uint32_t n = 0;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES && n < capacity; ++i) {
    uint32_t offset = kEntryBase + kEntrySize * i;
    const uint8_t *e = bytes(buffer) + offset;
    HULD_LOG(HULD_LOG_DEBUG, "Parsing SMART attribute ID %u from offset %u.\n",
             static_cast<unsigned>(e[0]), offset);
    if (e[0] == 0) {
      HULD_LOG(HULD_LOG_DEBUG, "Skipping attribute at offset %u.\n", offset);
      continue;
    }
    out[n++] = read_attribute(e);
  }
  *count = n;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_nattrs(huld_error *err, uint32_t *out, const void *buffer,
                               uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  uint32_t n = 0;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES; ++i) {
    if (bytes(buffer)[kEntryBase + kEntrySize * i] != 0) ++n;
  }
  *out = n;
  huld_error_clear(err);
  return 0;
}

// The threshold table has the same 30 slots as the attribute table; the bytes after it are
// reserved and vendor specific, not thresholds.
int vornata_smart_parse_threshold(huld_error *err, vornata_smart_threshold *out, uint8_t id,
                                  const void *buffer, uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES; ++i) {
    const uint8_t *e = bytes(buffer) + kEntryBase + kEntrySize * i;
    if (e[0] == id) {
      out->id = e[0];
      out->threshold = e[1];
      huld_error_clear(err);
      return 0;
    }
  }
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "attr %u does not exist in SMART threshold buffer",
                    static_cast<unsigned>(id));
}

int vornata_smart_parse_thresholds(huld_error *err, vornata_smart_threshold *out, uint32_t *count,
                                   const void *buffer, uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  uint32_t capacity = *count;
  uint32_t n = 0;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES && n < capacity; ++i) {
    const uint8_t *e = bytes(buffer) + kEntryBase + kEntrySize * i;
    if (e[0] == 0) continue;
    out[n].id = e[0];
    out[n].threshold = e[1];
    ++n;
  }
  *count = n;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_nthresholds(huld_error *err, uint32_t *out, const void *buffer,
                                    uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  uint32_t n = 0;
  for (uint32_t i = 0; i < VORNATA_SMART_ENTRIES; ++i) {
    if (bytes(buffer)[kEntryBase + kEntrySize * i] != 0) ++n;
  }
  *out = n;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_self_test_status(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  *out = bytes(buffer)[363] >> 4;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_self_test_percent_done(huld_error *err, uint32_t *out, const void *buffer,
                                               uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  // The low nibble is the percentage remaining in tens; values above 10 are not defined and
  // count as nothing done rather than wrapping.
  uint32_t remaining = bytes(buffer)[363] & 0x0F;
  *out = remaining > 10 ? 0 : (10 - remaining) * 10;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_short_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                           uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  *out = bytes(buffer)[372];
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_long_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                          uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  uint32_t v = bytes(buffer)[373];
  if (v == 0xFF) v = huld_get_le16(bytes(buffer) + 375);
  *out = v;
  huld_error_clear(err);
  return 0;
}

int vornata_smart_parse_conveyance_polling_time(huld_error *err, uint32_t *out, const void *buffer,
                                                uint32_t length) {
  if (smart_short(err, __func__, length)) return 1;
  *out = bytes(buffer)[374];
  huld_error_clear(err);
  return 0;
}

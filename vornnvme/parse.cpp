// Parsers of the NVMe data structures. Every reader checks the length it needs before it reads;
// bounds are computed in 64 bits so that no index can wrap them.
#define HULD_MODULE "vornnvme\\parse"

#include "vornnvme/parse.h"

#include <cstring>

#include "huld/huld_util.h"

namespace {

const uint8_t *bytes(const void *buffer) { return static_cast<const uint8_t *>(buffer); }

// True when `length` covers `offset + width` bytes.
bool covers(uint32_t length, uint64_t offset, uint64_t width) {
  return static_cast<uint64_t>(length) >= offset + width;
}

template <typename T>
T read_field(const uint8_t *p);
template <>
uint8_t read_field<uint8_t>(const uint8_t *p) {
  return p[0];
}
template <>
uint16_t read_field<uint16_t>(const uint8_t *p) {
  return huld_get_le16(p);
}
template <>
uint32_t read_field<uint32_t>(const uint8_t *p) {
  return huld_get_le32(p);
}
template <>
vornnvme_oword read_field<vornnvme_oword>(const uint8_t *p) {
  vornnvme_oword v;
  v.low = huld_get_le64(p);
  v.high = huld_get_le64(p + 8);
  return v;
}

// The primitives parseb, parsew, parsedw and parseow: one value of T's width at `offset`; the
// description names the field in the message; the caller's name goes into the record.
template <typename T>
int parse_value(huld_error *err, T *out, const void *buffer, uint32_t length, uint32_t offset,
                const char *description, const char *function) {
  if (!covers(length, offset, sizeof(T))) {
    const char *what = sizeof(T) == 1   ? "byte"
                       : sizeof(T) == 2 ? "word"
                       : sizeof(T) == 4 ? "dword"
                                        : "oword";
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "buffer not large enough to parse %s at offset %u (%s)", what, offset,
                          description);
  }
  *out = read_field<T>(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

// Reads a field through its parser and returns (field >> shift) masked to `width` bits; with
// `in_place` the bit keeps its position.
template <typename T>
int parse_bits(huld_error *err, uint8_t *out, const void *buffer, uint32_t length,
               int (*field)(huld_error *, T *, const void *, uint32_t), uint32_t shift,
               uint32_t width, bool in_place) {
  T value{};
  if (field(err, &value, buffer, length)) return 1;
  uint64_t v = static_cast<uint64_t>(value);
  uint64_t mask = (width >= 64) ? ~0ull : ((1ull << width) - 1);
  *out = in_place ? static_cast<uint8_t>(v & (mask << shift))
                  : static_cast<uint8_t>((v >> shift) & mask);
  huld_error_clear(err);
  return 0;
}

// Fails with `message` (a constant text) under the caller's name.
int fail(huld_error *err, const char *function, uint32_t line, const char *message) {
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, line, "%s", message);
}

// A string field of `width` characters at `offset`; the buffer must hold `need` bytes. The
// output is zeroed, at most size - 1 characters are copied and the result is trimmed.
int parse_string(huld_error *err, char *out, uint32_t size, const void *buffer, uint32_t length,
                 uint32_t offset, uint32_t width, uint64_t need, const char *function,
                 const char *message) {
  if (size == 0 || out == nullptr) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "output buffer size is 0 (%s)", function);
  }
  memset(out, 0, size);
  if (!covers(length, need, 0)) return fail(err, function, __LINE__, message);
  uint32_t n = huld_min(size - 1, width);
  memcpy(out, bytes(buffer) + offset, n);
  huld_str_trim(out);
  huld_error_clear(err);
  return 0;
}

// One bit of a byte at `offset` with a bound and a message of its own.
int parse_byte_bits(huld_error *err, uint8_t *out, const void *buffer, uint32_t length,
                    uint32_t offset, uint32_t shift, uint32_t width, uint64_t need,
                    const char *function, const char *message) {
  if (!covers(length, need, 0)) return fail(err, function, __LINE__, message);
  *out = static_cast<uint8_t>((bytes(buffer)[offset] >> shift) & ((1u << width) - 1));
  huld_error_clear(err);
  return 0;
}

int parse_oword_at(huld_error *err, vornnvme_oword *out, const void *buffer, uint32_t length,
                   uint32_t offset, const char *function, const char *message) {
  if (!covers(length, offset, 16)) return fail(err, function, __LINE__, message);
  *out = read_field<vornnvme_oword>(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

template <typename T>
int parse_at(huld_error *err, T *out, const void *buffer, uint32_t length, uint64_t offset,
             const char *function, const char *message) {
  if (!covers(length, offset, sizeof(T))) return fail(err, function, __LINE__, message);
  *out = read_field<T>(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Identify Controller
// ---------------------------------------------------------------------------------------------

int vornnvme_identify_controller_parse_serial(huld_error *err, char *out, uint32_t size,
                                              const void *buffer, uint32_t length) {
  return parse_string(err, out, size, buffer, length, 4, 20, 24, __func__,
                      "buffer not large enough to parse nvme controller serial\n");
}

int vornnvme_identify_controller_parse_model(huld_error *err, char *out, uint32_t size,
                                             const void *buffer, uint32_t length) {
  return parse_string(err, out, size, buffer, length, 24, 40, 64, __func__,
                      "buffer not large enough to parse nvme controller model\n");
}

int vornnvme_identify_controller_parse_firmware_revision(huld_error *err, char *out, uint32_t size,
                                                         const void *buffer, uint32_t length) {
  return parse_string(err, out, size, buffer, length, 64, 8, 72, __func__,
                      "buffer not large enough to parse nvme controller firmware\n");
}

int vornnvme_identify_controller_parse_nvm_subsystem_nvme_qualified_name(
    huld_error *err, char *out, uint32_t size, const void *buffer, uint32_t length) {
  return parse_string(err, out, size, buffer, length, 768, 256, 1024, __func__,
                      "buffer not large enough to parse nvm subsystem nvme qualified name");
}

#define VORNNVME_DEFINE_FIELD(prefix, type, name, offset, desc)                                 \
  int vornnvme_##prefix##_parse_##name(huld_error *err, type *out, const void *buffer,          \
                                       uint32_t length) {                                       \
    return parse_value<type>(err, out, buffer, length, (offset), (desc), __func__);            \
  }
#define VORNNVME_DEFINE_BITS(prefix, name, field, shift, width, in_place)                       \
  int vornnvme_##prefix##_parse_##name(huld_error *err, uint8_t *out, const void *buffer,       \
                                       uint32_t length) {                                       \
    return parse_bits(err, out, buffer, length, vornnvme_##prefix##_parse_##field, (shift),    \
                      (width), (in_place));                                                     \
  }

#define CTRL_B(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_controller, uint8_t, name, offset, desc)
#define CTRL_W(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_controller, uint16_t, name, offset, desc)
#define CTRL_DW(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_controller, uint32_t, name, offset, desc)
#define CTRL_OW(name, offset, desc) \
  VORNNVME_DEFINE_FIELD(identify_controller, vornnvme_oword, name, offset, desc)
#define CTRL_BIT(name, field, shift, width) \
  VORNNVME_DEFINE_BITS(identify_controller, name, field, shift, width, false)
#define CTRL_FLAG(name, field, bit) VORNNVME_DEFINE_BITS(identify_controller, name, field, bit, 1, true)
VORNNVME_IDENTIFY_CONTROLLER_FIELDS(CTRL_B, CTRL_W, CTRL_DW, CTRL_OW)
VORNNVME_IDENTIFY_CONTROLLER_BITS(CTRL_BIT, CTRL_FLAG)

#define NS_B(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_namespace, uint8_t, name, offset, desc)
#define NS_W(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_namespace, uint16_t, name, offset, desc)
#define NS_DW(name, offset, desc) VORNNVME_DEFINE_FIELD(identify_namespace, uint32_t, name, offset, desc)
#define NS_OW(name, offset, desc) \
  VORNNVME_DEFINE_FIELD(identify_namespace, vornnvme_oword, name, offset, desc)
#define NS_BIT(name, field, shift, width) \
  VORNNVME_DEFINE_BITS(identify_namespace, name, field, shift, width, false)
#define NS_FLAG(name, field, bit) VORNNVME_DEFINE_BITS(identify_namespace, name, field, bit, 1, true)
VORNNVME_IDENTIFY_NAMESPACE_FIELDS(NS_B, NS_W, NS_DW, NS_OW)
VORNNVME_IDENTIFY_NAMESPACE_BITS(NS_BIT, NS_FLAG)

int vornnvme_identify_controller_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                                uint32_t length) {
  if (!covers(length, 76, 0)) {
    return fail(err, __func__, __LINE__, "buffer not large enough to parse ieee oui");
  }
  *out = huld_get_le24(bytes(buffer) + 73);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_controller_parse_fru_globally_unique_identifier(huld_error *err,
                                                                      uint8_t out[16],
                                                                      const void *buffer,
                                                                      uint32_t length) {
  memset(out, 0, 16);
  if (!covers(length, 128, 0)) {
    return fail(err, __func__, __LINE__, "buffer not large enough to parse fguid");
  }
  memcpy(out, bytes(buffer) + 112, 16);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_controller_parse_total_nvm_capacity(huld_error *err, vornnvme_oword *out,
                                                          const void *buffer, uint32_t length) {
  return parse_oword_at(err, out, buffer, length, 280, __func__,
                        "buffer not large enough to parse total nvm capacity");
}

int vornnvme_identify_controller_parse_unallocated_nvm_capacity(huld_error *err,
                                                                vornnvme_oword *out,
                                                                const void *buffer,
                                                                uint32_t length) {
  return parse_oword_at(err, out, buffer, length, 296, __func__,
                        "buffer not large enough to parse unallocated nvm capacity");
}

int vornnvme_identify_controller_parse_extended_dst_completion_time(huld_error *err, uint16_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length) {
  return parse_at<uint16_t>(err, out, buffer, length, 316, __func__,
                            "buffer not large enough to parse nvme controller edstt\n");
}

int vornnvme_identify_controller_parse_firmware_update_granularity(huld_error *err, uint8_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length) {
  // The bound covers the whole block of fields around FWUG, as the callers have always read it.
  return parse_byte_bits(err, out, buffer, length, 319, 0, 8, 340, __func__,
                         "buffer not large enough to parse nvme controller fwug\n");
}

namespace {
const char kSanicap[] = "buffer not large enough to parse nvme controller sanicap\n";
const char kAnacap[] = "buffer not large enough to parse asymmetric namespace access capabilities\n";
}  // namespace

int vornnvme_identify_controller_parse_sanitize_crypto_erase_supported(huld_error *err,
                                                                       uint8_t *out,
                                                                       const void *buffer,
                                                                       uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 328, 0, 1, 332, __func__, kSanicap);
}

int vornnvme_identify_controller_parse_sanitize_block_erase_supported(huld_error *err, uint8_t *out,
                                                                      const void *buffer,
                                                                      uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 328, 1, 1, 332, __func__, kSanicap);
}

int vornnvme_identify_controller_parse_sanitize_overwrite_supported(huld_error *err, uint8_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 328, 2, 1, 332, __func__, kSanicap);
}

int vornnvme_identify_controller_parse_no_deallocate_inhibited_supported(huld_error *err,
                                                                         uint8_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 331, 5, 1, 332, __func__, kSanicap);
}

int vornnvme_identify_controller_parse_no_deallocate_modified_media(huld_error *err, uint8_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 331, 6, 2, 332, __func__, kSanicap);
}

int vornnvme_identify_controller_parse_report_ana_optimized_state_supported(huld_error *err,
                                                                            uint8_t *out,
                                                                            const void *buffer,
                                                                            uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 0, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_report_ana_non_optimized_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 1, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_report_ana_inaccessible_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 2, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_report_ana_persistent_loss_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 3, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_report_ana_change_state_supported(huld_error *err,
                                                                         uint8_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 4, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_anagrpid_change_while_attached(huld_error *err, uint8_t *out,
                                                                      const void *buffer,
                                                                      uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 6, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_non_zero_anagrpid_supported(huld_error *err, uint8_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 343, 7, 1, 344, __func__, kAnacap);
}

int vornnvme_identify_controller_parse_power_state_descriptor(huld_error *err,
                                                              vornnvme_power_state_descriptor *out,
                                                              uint32_t index, const void *buffer,
                                                              uint32_t length) {
  uint64_t offset = 2048 + 32ull * index;
  if (!covers(length, offset, 32)) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse power state descriptor %u\n", index);
  }
  const uint8_t *p = bytes(buffer) + offset;
  vornnvme_power_state_descriptor d{};
  d.mp = huld_get_le16(p + 0);
  d.mxps = p[3] & 1;
  d.nops = (p[3] >> 1) & 1;
  d.enlat = huld_get_le32(p + 4);
  d.exlat = huld_get_le32(p + 8);
  d.rrt = p[12] & 0x1F;
  d.rrl = p[13] & 0x1F;
  d.rwt = p[14] & 0x1F;
  d.rwl = p[15] & 0x1F;
  d.idlp = huld_get_le16(p + 16);
  d.ips = (p[18] >> 6) & 3;
  d.actp = huld_get_le16(p + 20);
  d.apw = p[22] & 7;
  d.aps = (p[22] >> 6) & 3;
  *out = d;
  huld_error_clear(err);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Identify Namespace
// ---------------------------------------------------------------------------------------------

int vornnvme_identify_namespace_parse_namespace_size(huld_error *err, uint64_t *out,
                                                     const void *buffer, uint32_t length) {
  if (!covers(length, 8, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse nsze");
  *out = huld_get_le64(bytes(buffer));
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_namespace_capacity(huld_error *err, uint64_t *out,
                                                         const void *buffer, uint32_t length) {
  if (!covers(length, 16, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse ncap");
  *out = huld_get_le64(bytes(buffer) + 8);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_namespace_utilization(huld_error *err, uint64_t *out,
                                                            const void *buffer, uint32_t length) {
  if (!covers(length, 24, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse nuse");
  *out = huld_get_le64(bytes(buffer) + 16);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_namespace_globally_unique_identifier(huld_error *err,
                                                                           uint8_t out[16],
                                                                           const void *buffer,
                                                                           uint32_t length) {
  memset(out, 0, 16);
  if (!covers(length, 120, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse nguid");
  memcpy(out, bytes(buffer) + 104, 16);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_eui(huld_error *err, uint64_t *out, const void *buffer,
                                          uint32_t length) {
  if (!covers(length, 128, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse eui\n");
  *out = huld_get_be64(bytes(buffer) + 120);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_lba_format_idx(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 26, 0, 4, 27, __func__,
                         "buffer not large enough to parse flbas\n");
}

int vornnvme_identify_namespace_parse_lbads(huld_error *err, uint64_t *out, const void *buffer,
                                            uint32_t length) {
  if (!covers(length, 192, 0)) return fail(err, __func__, __LINE__, "buffer not large enough to parse lbafs\n");
  uint32_t index = bytes(buffer)[26] & 0x0F;
  uint32_t exponent = bytes(buffer)[130 + 4 * index] & 0x3F;
  *out = 1ull << exponent;
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_lba_format(huld_error *err, uint32_t *out, uint32_t index,
                                                 const void *buffer, uint32_t length) {
  uint64_t offset = 128 + 4ull * index;
  if (!covers(length, offset, 4)) {
    uint32_t shown = offset > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(offset);
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse dword at offset %u (%s)", shown,
                          "lba format");
  }
  *out = huld_get_le32(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

int vornnvme_identify_namespace_parse_lba_format_metadata_size(huld_error *err, uint16_t *out,
                                                               uint32_t index, const void *buffer,
                                                               uint32_t length) {
  uint32_t v = 0;
  if (vornnvme_identify_namespace_parse_lba_format(err, &v, index, buffer, length)) return 1;
  *out = static_cast<uint16_t>(v & 0xFFFF);
  return 0;
}

int vornnvme_identify_namespace_parse_lba_format_lba_data_size(huld_error *err, uint8_t *out,
                                                               uint32_t index, const void *buffer,
                                                               uint32_t length) {
  uint32_t v = 0;
  if (vornnvme_identify_namespace_parse_lba_format(err, &v, index, buffer, length)) return 1;
  *out = static_cast<uint8_t>((v >> 16) & 0x0F);  // bits 19:16
  return 0;
}

int vornnvme_identify_namespace_parse_lba_format_relative_performance(huld_error *err,
                                                                      uint8_t *out, uint32_t index,
                                                                      const void *buffer,
                                                                      uint32_t length) {
  uint32_t v = 0;
  if (vornnvme_identify_namespace_parse_lba_format(err, &v, index, buffer, length)) return 1;
  *out = static_cast<uint8_t>((v >> 24) & 3);
  return 0;
}

int vornnvme_identify_parse_namespace_list(huld_error *err, uint32_t *out, uint32_t count,
                                           uint32_t *stored, const void *buffer, uint32_t length) {
  if (count != 0) memset(out, 0, sizeof(uint32_t) * count);
  uint32_t n = 0;
  for (uint64_t offset = 0; n < count && covers(length, offset, 4); offset += 4) {
    uint32_t id = huld_get_le32(bytes(buffer) + offset);
    if (id == 0) break;
    out[n++] = id;
  }
  if (stored != nullptr) *stored = n;
  huld_error_clear(err);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// SMART / Health Information log
// ---------------------------------------------------------------------------------------------

int vornnvme_smart_parse_critical_warnings(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length) {
  return parse_at<uint8_t>(err, out, buffer, length, 0, __func__,
                           "buffer not large enough to parse smart critical warnings");
}

int check_critical_warnings_bit_set(huld_error *err, uint8_t *out, uint32_t bit,
                                    const void *buffer, uint32_t length) {
  if (bit >= 8) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "invalid critical warnings bit %u selected", bit);
  }
  uint8_t warnings = 0;
  if (vornnvme_smart_parse_critical_warnings(err, &warnings, buffer, length)) return 1;
  *out = (warnings >> bit) & 1;
  return 0;
}

int vornnvme_smart_parse_critical_warning_available_spare(huld_error *err, uint8_t *out,
                                                          const void *buffer, uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 0, buffer, length);
}
int vornnvme_smart_parse_critical_warning_temperature(huld_error *err, uint8_t *out,
                                                      const void *buffer, uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 1, buffer, length);
}
int vornnvme_smart_parse_critical_warning_reliability_degraded(huld_error *err, uint8_t *out,
                                                               const void *buffer,
                                                               uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 2, buffer, length);
}
int vornnvme_smart_parse_critical_warning_read_only(huld_error *err, uint8_t *out,
                                                    const void *buffer, uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 3, buffer, length);
}
int vornnvme_smart_parse_critical_warning_volatile_memory_backup_failed(huld_error *err,
                                                                        uint8_t *out,
                                                                        const void *buffer,
                                                                        uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 4, buffer, length);
}
int vornnvme_smart_parse_critical_warning_persistent_memory_region_read_only(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length) {
  return check_critical_warnings_bit_set(err, out, 5, buffer, length);
}

int vornnvme_smart_parse_composite_temperature(huld_error *err, uint16_t *out, const void *buffer,
                                               uint32_t length) {
  return parse_at<uint16_t>(err, out, buffer, length, 1, __func__,
                            "buffer not large enough to parse composite temperature");
}
int vornnvme_smart_parse_available_spare_percentage(huld_error *err, uint8_t *out,
                                                    const void *buffer, uint32_t length) {
  return parse_at<uint8_t>(err, out, buffer, length, 3, __func__,
                           "buffer not large enough to parse available spare percentage");
}
int vornnvme_smart_parse_available_spare_threshold_percentage(huld_error *err, uint8_t *out,
                                                              const void *buffer,
                                                              uint32_t length) {
  return parse_at<uint8_t>(err, out, buffer, length, 4, __func__,
                           "buffer not large enough to parse available spare threshold percentage");
}
int vornnvme_smart_parse_percentage_used(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length) {
  return parse_at<uint8_t>(err, out, buffer, length, 5, __func__,
                           "buffer not large enough to parse percentage used");
}

#define VORNNVME_SMART_OWORD(name, offset, words)                                              \
  int vornnvme_smart_parse_##name(huld_error *err, vornnvme_oword *out, const void *buffer,   \
                                  uint32_t length) {                                          \
    return parse_at<vornnvme_oword>(err, out, buffer, length, (offset), __func__,            \
                                    "buffer not large enough to parse " words);               \
  }
VORNNVME_SMART_OWORD(data_units_read, 32, "data units read")
VORNNVME_SMART_OWORD(data_units_written, 48, "data units written")
VORNNVME_SMART_OWORD(host_read_commands, 64, "host read commands")
VORNNVME_SMART_OWORD(host_write_commands, 80, "host write commands")
VORNNVME_SMART_OWORD(controller_busy_time, 96, "controller busy time")
VORNNVME_SMART_OWORD(power_cycles, 112, "power cycles")
VORNNVME_SMART_OWORD(power_on_hours, 128, "power on hours")
VORNNVME_SMART_OWORD(unsafe_shutdowns, 144, "unsafe shutdowns")
VORNNVME_SMART_OWORD(number_of_media_and_data_integrity_errors, 160,
                     "number of media and data integrity errors")
VORNNVME_SMART_OWORD(number_of_error_information_log_entries, 176,
                     "number of error information log entries")

int vornnvme_smart_parse_warning_composite_temperature_time(huld_error *err, uint32_t *out,
                                                            const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 192, __func__,
                            "buffer not large enough to parse warning composite temperature time");
}
int vornnvme_smart_parse_critical_composite_temperature_time(huld_error *err, uint32_t *out,
                                                             const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 196, __func__,
                            "buffer not large enough to parse critical composite temperature time");
}

int vornnvme_smart_parse_temperature_sensor(huld_error *err, uint16_t *out, uint32_t index,
                                            const void *buffer, uint32_t length) {
  // Only eight sensors exist; a larger index would read the following counters.
  if (index >= 8) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "invalid temperature sensor %u selected", index);
  }
  uint32_t offset = 200 + 2 * index;
  if (!covers(length, offset, 2)) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse temperature sensor %u", index);
  }
  *out = huld_get_le16(bytes(buffer) + offset);
  huld_error_clear(err);
  return 0;
}

int vornnvme_smart_parse_temperature_transition_count_one(huld_error *err, uint32_t *out,
                                                          const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 216, __func__,
                            "buffer not large enough to parse temperature transition count one");
}
int vornnvme_smart_parse_temperature_transition_count_two(huld_error *err, uint32_t *out,
                                                          const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 220, __func__,
                            "buffer not large enough to parse temperature transition count two");
}
int vornnvme_smart_parse_total_time_in_temperature_one(huld_error *err, uint32_t *out,
                                                       const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 224, __func__,
                            "buffer is not large enough to parse time in temperature one");
}
int vornnvme_smart_parse_total_time_in_temperature_two(huld_error *err, uint32_t *out,
                                                       const void *buffer, uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 228, __func__,
                            "buffer is not large enough to parse time in temperature two");
}

int vornnvme_smart_parse(huld_error *err, vornnvme_smart_log *out, const void *buffer,
                         uint32_t length) {
  memset(out, 0, sizeof(*out));
  const void *b = buffer;
  uint32_t n = length;
  if (vornnvme_smart_parse_critical_warnings(err, &out->critical_warnings, b, n) ||
      vornnvme_smart_parse_critical_warning_available_spare(
          err, &out->available_spare_below_threshold, b, n) ||
      vornnvme_smart_parse_critical_warning_temperature(err, &out->temperature_threshold_exceeded,
                                                        b, n) ||
      vornnvme_smart_parse_critical_warning_reliability_degraded(err, &out->reliability_degraded,
                                                                 b, n) ||
      vornnvme_smart_parse_critical_warning_read_only(err, &out->read_only, b, n) ||
      vornnvme_smart_parse_critical_warning_volatile_memory_backup_failed(
          err, &out->volatile_memory_backup_failed, b, n) ||
      vornnvme_smart_parse_critical_warning_persistent_memory_region_read_only(
          err, &out->persistent_memory_region_read_only, b, n) ||
      vornnvme_smart_parse_composite_temperature(err, &out->composite_temperature, b, n) ||
      vornnvme_smart_parse_available_spare_percentage(err, &out->available_spare, b, n) ||
      vornnvme_smart_parse_available_spare_threshold_percentage(
          err, &out->available_spare_threshold, b, n) ||
      vornnvme_smart_parse_percentage_used(err, &out->percentage_used, b, n) ||
      vornnvme_smart_parse_data_units_read(err, &out->data_units_read, b, n) ||
      vornnvme_smart_parse_data_units_written(err, &out->data_units_written, b, n) ||
      vornnvme_smart_parse_host_read_commands(err, &out->host_read_commands, b, n) ||
      vornnvme_smart_parse_host_write_commands(err, &out->host_write_commands, b, n) ||
      vornnvme_smart_parse_controller_busy_time(err, &out->controller_busy_time, b, n) ||
      vornnvme_smart_parse_power_cycles(err, &out->power_cycles, b, n) ||
      vornnvme_smart_parse_power_on_hours(err, &out->power_on_hours, b, n) ||
      vornnvme_smart_parse_unsafe_shutdowns(err, &out->unsafe_shutdowns, b, n) ||
      vornnvme_smart_parse_number_of_media_and_data_integrity_errors(
          err, &out->media_and_data_integrity_errors, b, n) ||
      vornnvme_smart_parse_number_of_error_information_log_entries(
          err, &out->error_information_log_entries, b, n) ||
      vornnvme_smart_parse_warning_composite_temperature_time(
          err, &out->warning_composite_temperature_time, b, n) ||
      vornnvme_smart_parse_critical_composite_temperature_time(
          err, &out->critical_composite_temperature_time, b, n)) {
    return 1;
  }
  for (uint32_t i = 0; i < 8; ++i) {
    if (vornnvme_smart_parse_temperature_sensor(err, &out->temperature_sensor[i], i, b, n)) {
      return 1;
    }
  }
  if (vornnvme_smart_parse_temperature_transition_count_one(
          err, &out->thermal_management_temperature_1_transition_count, b, n) ||
      vornnvme_smart_parse_temperature_transition_count_two(
          err, &out->thermal_management_temperature_2_transition_count, b, n) ||
      vornnvme_smart_parse_total_time_in_temperature_one(
          err, &out->total_time_for_thermal_management_temperature_1, b, n) ||
      vornnvme_smart_parse_total_time_in_temperature_two(
          err, &out->total_time_for_thermal_management_temperature_2, b, n)) {
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Sanitize Status log
// ---------------------------------------------------------------------------------------------

int vornnvme_sanitize_status_parse_sanitize_progress(huld_error *err, uint16_t *raw,
                                                     double *fraction, const void *buffer,
                                                     uint32_t length) {
  uint16_t value = 0;
  if (parse_at<uint16_t>(err, &value, buffer, length, 0, __func__,
                         "buffer not large enough to parse sanitize progress")) {
    return 1;
  }
  if (raw != nullptr) *raw = value;
  if (fraction != nullptr) *fraction = static_cast<double>(value) / 65536.0;
  return 0;
}

int vornnvme_sanitize_status_parse_sanitize_status(huld_error *err, uint8_t *out,
                                                   const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 2, 0, 3, 4, __func__,
                         "buffer not large enough to parse sanitize status");
}
int vornnvme_sanitize_status_parse_overwrite_completed_passes(huld_error *err, uint8_t *out,
                                                              const void *buffer,
                                                              uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 2, 3, 5, 4, __func__,
                         "buffer not large enough to parse overwrite completed passes");
}
int vornnvme_sanitize_status_parse_global_data_erased(huld_error *err, uint8_t *out,
                                                      const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 3, 0, 1, 4, __func__,
                         "buffer not large enough to parse global data erased");
}
int vornnvme_sanitize_status_parse_dword10(huld_error *err, uint32_t *out, const void *buffer,
                                           uint32_t length) {
  return parse_at<uint32_t>(err, out, buffer, length, 4, __func__,
                            "buffer not large enough to parse sanitize status dword 10");
}
int vornnvme_sanitize_status_parse_estimated_time_for_overwrite(huld_error *err, uint32_t *out,
                                                                const void *buffer,
                                                                uint32_t length) {
  return parse_at<uint32_t>(
      err, out, buffer, length, 8, __func__,
      "buffer not large enough to parse sanitize status estimated time for overwrite");
}
int vornnvme_sanitize_status_parse_estimated_time_for_block_erase(huld_error *err, uint32_t *out,
                                                                  const void *buffer,
                                                                  uint32_t length) {
  return parse_at<uint32_t>(
      err, out, buffer, length, 12, __func__,
      "buffer not large enough to parse sanitize status estimated time for block erase");
}
int vornnvme_sanitize_status_parse_estimated_time_for_crypto_erase(huld_error *err, uint32_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length) {
  return parse_at<uint32_t>(
      err, out, buffer, length, 16, __func__,
      "buffer not large enough to parse sanitize status estimated time for crypto erase");
}

// ---------------------------------------------------------------------------------------------
// Firmware Slot Information log
// ---------------------------------------------------------------------------------------------

int vornnvme_firmware_slot_info_parse_active_slot(huld_error *err, uint8_t *out,
                                                  const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 0, 0, 3, 1, __func__,
                         "buffer not large enough to parse active slot");
}

int vornnvme_firmware_slot_info_parse_next_active_slot(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length) {
  return parse_byte_bits(err, out, buffer, length, 0, 4, 3, 1, __func__,
                         "buffer not large enough to parse next active slot");
}

int vornnvme_firmware_slot_info_parse_fwrev(huld_error *err, char *out, uint32_t size,
                                            uint32_t slot, const void *buffer, uint32_t length) {
  if (size == 0 || out == nullptr) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "output buffer size is 0 (%s)", __func__);
  }
  memset(out, 0, size);
  // Byte 0-7 hold the active-slot byte, not a revision; the table ends with slot 7.
  if (slot < 1 || slot > 7) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "invalid firmware slot %u selected", slot);
  }
  uint32_t offset = 8 * slot;
  if (!covers(length, offset, 8)) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse slot %d", static_cast<int>(slot));
  }
  memcpy(out, bytes(buffer) + offset, huld_min(size - 1, 8));
  huld_str_trim(out);
  huld_error_clear(err);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Device Self-test log
// ---------------------------------------------------------------------------------------------

int vornnvme_device_self_test_info_parse_current_operation(huld_error *err, uint8_t *out,
                                                           const void *buffer, uint32_t length) {
  if (!covers(length, 1, 0)) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse current operation (%u/%u)", length,
                          1u);
  }
  *out = bytes(buffer)[0] & 0x0F;
  huld_error_clear(err);
  return 0;
}

int vornnvme_device_self_test_info_parse_current_completion(huld_error *err, uint8_t *out,
                                                            const void *buffer, uint32_t length) {
  if (!covers(length, 2, 0)) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse current completion (%u/%u)", length,
                          2u);
  }
  *out = bytes(buffer)[1] & 0x7F;
  huld_error_clear(err);
  return 0;
}

int vornnvme_device_self_test_info_parse_entry(huld_error *err, vornnvme_self_test_result *out,
                                               uint32_t index, const void *buffer,
                                               uint32_t length) {
  uint64_t offset = 4 + 28ull * index;
  uint64_t need = offset + 28;
  if (!covers(length, need, 0)) {
    uint32_t shown = need > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(need);
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "buffer not large enough to parse entry idx %u (%u/%u)", index, shown,
                          length);
  }
  const uint8_t *p = bytes(buffer) + offset;
  vornnvme_self_test_result r{};
  r.code = p[0] >> 4;
  r.result = p[0] & 0x0F;
  r.segment_number = p[1];
  r.scv = (p[2] >> 3) & 1;
  r.sctv = (p[2] >> 2) & 1;
  r.flbav = (p[2] >> 1) & 1;
  r.nsidv = p[2] & 1;
  r.power_on_hours = huld_get_le64(p + 4);
  r.nsid = huld_get_le32(p + 12);
  r.failing_lba = huld_get_le64(p + 16);
  r.status_code_type = p[24] & 3;
  r.status_code = p[25];
  *out = r;
  huld_error_clear(err);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Commands Supported and Effects log
// ---------------------------------------------------------------------------------------------

int vornnvme_commands_supported_and_effects_log_parse_structure_from_offset(
    huld_error *err, vornnvme_command_effects *out, uint32_t offset, const void *buffer,
    uint32_t length) {
  memset(out, 0, sizeof(*out));
  if (!covers(length, offset, 4)) {
    return huld_error_set(
        err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
        "buffer not large enough to parse commands supported and effects structure at offset %u\n",
        offset);
  }
  uint32_t v = huld_get_le32(bytes(buffer) + offset);
  out->cse = (v >> 16) & 3;
  out->ccc = (v >> 4) & 1;
  out->nic = (v >> 3) & 1;
  out->ncc = (v >> 2) & 1;
  out->lbcc = (v >> 1) & 1;
  out->csupp = v & 1;
  huld_error_clear(err);
  return 0;
}

namespace {
int parse_supported_table(huld_error *err, uint8_t out[256], uint32_t base, const void *buffer,
                          uint32_t length) {
  memset(out, 0, 256);
  for (uint32_t opcode = 0; opcode < 256; ++opcode) {
    vornnvme_command_effects effects;
    if (vornnvme_commands_supported_and_effects_log_parse_structure_from_offset(
            err, &effects, base + 4 * opcode, buffer, length)) {
      return 1;
    }
    out[opcode] = effects.csupp;
  }
  return 0;
}
}  // namespace

int vornnvme_commands_supported_and_effects_log_parse_admin_commands_supported(
    huld_error *err, uint8_t out[256], const void *buffer, uint32_t length) {
  return parse_supported_table(err, out, 0, buffer, length);
}

int vornnvme_commands_supported_and_effects_log_parse_io_commands_supported(
    huld_error *err, uint8_t out[256], const void *buffer, uint32_t length) {
  return parse_supported_table(err, out, 1024, buffer, length);
}

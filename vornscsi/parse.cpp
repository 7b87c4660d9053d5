// Parsers of SCSI data: INQUIRY, VPD pages, log pages, READ CAPACITY, REPORT SUPPORTED
// OPERATION CODES and sense data.
#define HULD_MODULE "vornscsi\\parse"

#include "vornscsi/parse.h"

#include <cstring>

#include "huld/huld_util.h"

namespace {

const uint8_t *bytes(const void *buffer) { return static_cast<const uint8_t *>(buffer); }

bool covers(uint32_t length, uint64_t need) { return static_cast<uint64_t>(length) >= need; }

int fail(huld_error *err, const char *function, uint32_t line, const char *message) {
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, line, "%s", message);
}

int ok(huld_error *err) { return huld_error_clear(err); }

// Bytes [offset, offset + width) copied as text: output zeroed, at most size - 1 characters,
// trimmed.
int parse_text(huld_error *err, char *out, uint32_t size, const void *buffer, uint32_t length,
               uint32_t offset, uint32_t width, const char *function, const char *message) {
  if (out == nullptr || size == 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "output buffer size is 0 (%s)", function);
  }
  memset(out, 0, size);
  if (!covers(length, static_cast<uint64_t>(offset) + width)) {
    return fail(err, function, __LINE__, message);
  }
  memcpy(out, bytes(buffer) + offset, huld_min(size - 1, width));
  huld_str_trim(out);
  return ok(err);
}

// (byte >> shift) & mask when the buffer holds `need` bytes.
int parse_byte(huld_error *err, uint8_t *out, const void *buffer, uint32_t length,
               uint32_t offset, uint32_t shift, uint32_t mask, uint32_t need,
               const char *function, const char *message) {
  if (!covers(length, need)) return fail(err, function, __LINE__, message);
  *out = static_cast<uint8_t>((bytes(buffer)[offset] >> shift) & mask);
  return ok(err);
}

const char kLogSense[] = "buffer not large enough to parse scsi log sense";
const char kSenseShort[] = "buffer not large enough to parse scsi buffer";
const char kNotPresent[] = "relative target port identifier not present";

}  // namespace

// ---------------------------------------------------------------------------------------------
// INQUIRY and VPD
// ---------------------------------------------------------------------------------------------

int vornscsi_inquiry_parse_peripheral_type(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length) {
  return parse_byte(err, out, buffer, length, 0, 0, 0x1F, 1, __func__,
                    "buffer not large enough to parse scsi inquiry peripheral type");
}

int vornscsi_inquiry_parse_vendor_identification(huld_error *err, char *out, uint32_t size,
                                                 const void *buffer, uint32_t length) {
  return parse_text(err, out, size, buffer, length, 8, 8, __func__,
                    "buffer not large enough to parse scsi inquiry vendor identification");
}

int vornscsi_inquiry_parse_product_identification(huld_error *err, char *out, uint32_t size,
                                                  const void *buffer, uint32_t length) {
  return parse_text(err, out, size, buffer, length, 16, 16, __func__,
                    "buffer not large enough to parse scsi inquiry product identification");
}

int vornscsi_inquiry_parse_product_revision(huld_error *err, char *out, uint32_t size,
                                            const void *buffer, uint32_t length) {
  return parse_text(err, out, size, buffer, length, 32, 4, __func__,
                    "buffer not large enough to parse scsi inquiry product revision");
}

int vornscsi_inquiry_vpd80_parse_serial(huld_error *err, char *out, uint32_t size,
                                        const void *buffer, uint32_t length) {
  if (out == nullptr || size == 0) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "output buffer size is 0 (%s)", __func__);
  }
  memset(out, 0, size);
  if (!covers(length, 5)) {
    return fail(err, __func__, __LINE__, "buffer not large enough to parse scsi inquiry vpd 80 serial");
  }
  const uint8_t *p = bytes(buffer);
  uint32_t page_length = huld_get_be16(p + 2);
  uint32_t serial_length = (length < 4u + page_length) ? length - 4 : page_length;
  memcpy(out, p + 4, huld_min(size - 1, serial_length));
  huld_str_trim(out);
  if (out[0] == '\0' && covers(length, 21)) {
    // Some targets report a page length of 0 with the serial number in place.
    memset(out, 0, size);
    memcpy(out, p + 4, huld_min(size - 1, 16));
    huld_str_trim(out);
  }
  return ok(err);
}

int vornscsi_inquiry_vpdB1_parse_medium_rotation_rate(huld_error *err, uint16_t *out,
                                                      const void *buffer, uint32_t length) {
  if (!covers(length, 6)) return fail(err, __func__, __LINE__, "buffer not large enough to parse scsi inquiry vpd B1 rpm");
  *out = huld_get_be16(bytes(buffer) + 4);
  return ok(err);
}

int vornscsi_inquiry_vpdB1_parse_nominal_form_factor(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 7, 0, 0x0F, 8, __func__,
                    "buffer not large enough to parse scsi inquiry vpd B1 nominal form factor");
}

int vornscsi_inquiry_vpdB1_parse_zoned(huld_error *err, uint8_t *out, const void *buffer,
                                       uint32_t length) {
  return parse_byte(err, out, buffer, length, 8, 4, 3, 9, __func__,
                    "buffer not large enough to parse scsi inquiry vpd B1 zoned");
}

int vornscsi_inquiry_vpd00_find_page(huld_error *err, uint8_t *found, uint8_t page,
                                     const void *buffer, uint32_t length) {
  *found = 0;
  if (covers(length, 4)) {
    const uint8_t *p = bytes(buffer);
    uint32_t count = huld_get_be16(p + 2);
    for (uint32_t i = 0; i < count && covers(length, 5ull + i); ++i) {
      if (p[4 + i] == page) {
        *found = 1;
        break;
      }
    }
  }
  return ok(err);
}

namespace {

// Walks the designation descriptors of a VPD 83h page; `test` returns true to stop at a
// descriptor whose header and designator lie wholly inside the walk's end.
template <typename Test>
const uint8_t *walk_designators(const void *buffer, uint32_t length, Test test) {
  const uint8_t *p = bytes(buffer);
  uint32_t end = huld_min(length, static_cast<uint32_t>(huld_get_be16(p + 2)) + 4) & 0xFFFF;
  if (end <= 8) return nullptr;
  for (uint32_t offset = 4; offset + 4 < end; offset += static_cast<uint32_t>(p[offset + 3]) + 4) {
    const uint8_t *d = p + offset;
    if (offset + 4 + static_cast<uint32_t>(d[3]) > end) continue;
    if (test(d)) return d;
  }
  return nullptr;
}

int vpd83_short(huld_error *err, const char *function, uint32_t length) {
  if (covers(length, 4)) return 0;
  return fail(err, function, __LINE__,
              "buffer not large enough to parse scsi inquiry vpd 83 device identification");
}

}  // namespace

int vornscsi_inquiry_vpd83_parse_designation_descriptor(huld_error *err, uint8_t *designator_length,
                                                        const uint8_t **designator,
                                                        uint8_t code_set, uint8_t association,
                                                        uint8_t designator_type,
                                                        const void *buffer, uint32_t length) {
  if (vpd83_short(err, __func__, length)) return 1;
  const uint8_t *d = walk_designators(buffer, length, [&](const uint8_t *x) {
    return (x[0] & 0x0F) == code_set && ((x[1] >> 4) & 3) == association &&
           (x[1] & 0x0F) == designator_type;
  });
  if (d == nullptr) return fail(err, __func__, __LINE__, kNotPresent);
  *designator_length = d[3];
  *designator = d + 4;
  return ok(err);
}

int vornscsi_inquiry_vpd83_parse_world_wide_name(huld_error *err, uint64_t *out,
                                                 const void *buffer, uint32_t length) {
  if (vpd83_short(err, __func__, length)) return 1;
  huld_error scratch;
  memset(&scratch, 0, sizeof(scratch));
  uint8_t n = 0;
  const uint8_t *d = nullptr;
  // NAA designator of the logical unit.
  if (vornscsi_inquiry_vpd83_parse_designation_descriptor(&scratch, &n, &d, 1, 0, 3, buffer,
                                                          length) == 0 &&
      n >= 8) {
    *out = huld_get_be64(d);
    return ok(err);
  }
  // SCSI name string "naa." followed by hexadecimal digits; at most 16 digits fit 64 bits.
  if (vornscsi_inquiry_vpd83_parse_designation_descriptor(&scratch, &n, &d, 3, 0, 8, buffer,
                                                          length) == 0 &&
      n >= 20 && memcmp(d, "naa.", 4) == 0) {
    uint64_t value = 0;
    for (uint32_t i = 4; i < n && i < 4 + 16; ++i) {
      char c = static_cast<char>(d[i]);
      uint32_t digit;
      if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
      else break;
      value = (value << 4) | digit;
    }
    *out = value;
    return ok(err);
  }
  return fail(err, __func__, __LINE__, "world wide number not present");
}

int vornscsi_inquiry_vpd83_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                          uint32_t length) {
  uint64_t wwn = 0;
  if (vornscsi_inquiry_vpd83_parse_world_wide_name(err, &wwn, buffer, length)) return 1;
  *out = static_cast<uint32_t>((wwn >> 36) & 0xFFFFFF);
  return 0;
}

int vornscsi_inquiry_vpd83_parse_relative_target_port_identifier(huld_error *err, uint16_t *out,
                                                                 const void *buffer,
                                                                 uint32_t length) {
  if (vpd83_short(err, __func__, length)) return 1;
  const uint8_t *d = walk_designators(buffer, length, [](const uint8_t *x) {
    return (x[0] & 0x0F) == 1 && ((x[1] >> 4) & 3) == 1 && (x[1] & 0x0F) == 4 && x[3] >= 4;
  });
  if (d == nullptr) return fail(err, __func__, __LINE__, kNotPresent);
  *out = huld_get_be16(d + 4 + 2);
  return ok(err);
}

int vornscsi_inquiry_vpd83_parse_protocol_identifier(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length) {
  if (vpd83_short(err, __func__, length)) return 1;
  const uint8_t *d = walk_designators(buffer, length, [](const uint8_t *x) {
    uint32_t association = (x[1] >> 4) & 3;
    return (x[1] & 0x80) != 0 && (association == 1 || association == 2);
  });
  if (d == nullptr) return fail(err, __func__, __LINE__, kNotPresent);
  *out = d[0] >> 4;
  return ok(err);
}

// ---------------------------------------------------------------------------------------------
// Log pages
// ---------------------------------------------------------------------------------------------

int vornscsi_log_page_parse_ds(huld_error *err, uint8_t *out, const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 0, 7, 1, 1, __func__, "buffer not large enough to parse ds");
}
int vornscsi_log_page_parse_spf(huld_error *err, uint8_t *out, const void *buffer,
                                uint32_t length) {
  return parse_byte(err, out, buffer, length, 0, 6, 1, 1, __func__, "buffer not large enough to parse spf");
}
int vornscsi_log_page_parse_page_code(huld_error *err, uint8_t *out, const void *buffer,
                                      uint32_t length) {
  return parse_byte(err, out, buffer, length, 0, 0, 0x3F, 1, __func__,
                    "buffer not large enough to parse page code");
}
int vornscsi_log_page_parse_subpage_code(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length) {
  return parse_byte(err, out, buffer, length, 1, 0, 0xFF, 2, __func__,
                    "buffer not large enough to parse subpage code");
}
int vornscsi_log_page_parse_page_length(huld_error *err, uint16_t *out, const void *buffer,
                                        uint32_t length) {
  if (!covers(length, 4)) return fail(err, __func__, __LINE__, "buffer not large enough to parse page length");
  *out = huld_get_be16(bytes(buffer) + 2);
  return ok(err);
}
int vornscsi_log_page_parameter_parse_parameter_code(huld_error *err, uint16_t *out,
                                                     const void *buffer, uint32_t length) {
  if (!covers(length, 2)) return fail(err, __func__, __LINE__, "buffer not large enough to parse parameter code");
  *out = huld_get_be16(bytes(buffer));
  return ok(err);
}
int vornscsi_log_page_parameter_parse_du(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length) {
  return parse_byte(err, out, buffer, length, 2, 7, 1, 3, __func__, "buffer not large enough to parse du");
}
int vornscsi_log_page_parameter_parse_tsd(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length) {
  return parse_byte(err, out, buffer, length, 2, 5, 1, 3, __func__, "buffer not large enough to parse tsd");
}
int vornscsi_log_page_parameter_parse_etc(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length) {
  return parse_byte(err, out, buffer, length, 2, 4, 1, 3, __func__, "buffer not large enough to parse etc");
}
int vornscsi_log_page_parameter_parse_tmc(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length) {
  return parse_byte(err, out, buffer, length, 2, 2, 3, 3, __func__, "buffer not large enough to parse tmc");
}
int vornscsi_log_page_parameter_parse_format_and_linking(huld_error *err, uint8_t *out,
                                                         const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 2, 0, 3, 3, __func__,
                    "buffer not large enough to parse format and linking");
}
int vornscsi_log_page_parameter_parse_parameter_length(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 3, 0, 0xFF, 4, __func__,
                    "buffer not large enough to parse parameter length");
}

int vornscsi_log_sense_parse_self_test_code(huld_error *err, uint8_t *out, const void *buffer,
                                            uint32_t length) {
  return parse_byte(err, out, buffer, length, 8, 5, 7, 9, __func__, kLogSense);
}
int vornscsi_log_sense_parse_self_test_results(huld_error *err, uint8_t *out, const void *buffer,
                                               uint32_t length) {
  return parse_byte(err, out, buffer, length, 8, 0, 0x0F, 9, __func__, kLogSense);
}
int vornscsi_log_sense_parse_self_test_number(huld_error *err, uint8_t *out, const void *buffer,
                                              uint32_t length) {
  return parse_byte(err, out, buffer, length, 9, 0, 0xFF, 10, __func__, kLogSense);
}
int vornscsi_log_sense_parse_accumulated_power_on_hours(huld_error *err, uint16_t *out,
                                                        const void *buffer, uint32_t length) {
  if (!covers(length, 12)) return fail(err, __func__, __LINE__, kLogSense);
  *out = huld_get_be16(bytes(buffer) + 10);
  return ok(err);
}
int vornscsi_log_sense_parse_address_of_first_failure(huld_error *err, uint64_t *out,
                                                      const void *buffer, uint32_t length) {
  if (!covers(length, 20)) return fail(err, __func__, __LINE__, kLogSense);
  *out = huld_get_be64(bytes(buffer) + 12);
  return ok(err);
}
int vornscsi_log_sense_parse_sense_key(huld_error *err, uint8_t *out, const void *buffer,
                                       uint32_t length) {
  return parse_byte(err, out, buffer, length, 20, 0, 0x0F, 21, __func__, kLogSense);
}
int vornscsi_log_sense_parse_additional_sense_code(huld_error *err, uint8_t *out,
                                                   const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 21, 0, 0xFF, 22, __func__, kLogSense);
}
int vornscsi_log_sense_parse_additional_sense_code_qualifier(huld_error *err, uint8_t *out,
                                                             const void *buffer,
                                                             uint32_t length) {
  return parse_byte(err, out, buffer, length, 22, 0, 0xFF, 23, __func__, kLogSense);
}
int vornscsi_log_sense_parse_vendor_specific(huld_error *err, uint8_t *out, const void *buffer,
                                             uint32_t length) {
  return parse_byte(err, out, buffer, length, 23, 0, 0xFF, 24, __func__, kLogSense);
}

int vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(
    huld_error *err, vornscsi_log_parameter *out, const void *buffer, uint32_t length) {
  static const char kMissing[] =
      "buffer does not contain the percentage used endurance indicator parameter code";
  if (!covers(length, 5)) return fail(err, __func__, __LINE__, kMissing);
  const uint8_t *p = bytes(buffer);
  uint64_t offset = 4;
  while (offset < length) {
    const uint8_t *rest = p + offset;
    uint32_t rest_length = length - static_cast<uint32_t>(offset);
    uint16_t code = 0;
    uint8_t parameter_length = 0;
    if (vornscsi_log_page_parameter_parse_parameter_code(err, &code, rest, rest_length) ||
        vornscsi_log_page_parameter_parse_parameter_length(err, &parameter_length, rest,
                                                           rest_length)) {
      return 1;
    }
    if (code == 0x0001) {
      uint8_t du = 0, tsd = 0, etc = 0, fl = 0;
      if (vornscsi_log_page_parameter_parse_du(err, &du, rest, rest_length) ||
          vornscsi_log_page_parameter_parse_tsd(err, &tsd, rest, rest_length) ||
          vornscsi_log_page_parameter_parse_etc(err, &etc, rest, rest_length) ||
          vornscsi_log_page_parameter_parse_format_and_linking(err, &fl, rest, rest_length)) {
        return 1;
      }
      if (!covers(rest_length, 8)) {
        return fail(err, __func__, __LINE__,
                    "buffer not large enough to parse percentage used endurance indicator");
      }
      out->parameter_code = 1;
      out->parameter_length = parameter_length;
      out->du = du;
      out->tsd = tsd;
      out->etc = etc;
      out->format_and_linking = fl;
      out->value = rest[7];
      return ok(err);
    }
    offset += static_cast<uint64_t>(parameter_length) + 4;
  }
  return fail(err, __func__, __LINE__, kMissing);
}

int vornscsi_log_page_parse_header(huld_error *err, vornscsi_log_page_header *out,
                                   const void *buffer, uint32_t length) {
  memset(out, 0, sizeof(*out));
  if (vornscsi_log_page_parse_ds(err, &out->ds, buffer, length) ||
      vornscsi_log_page_parse_spf(err, &out->spf, buffer, length) ||
      vornscsi_log_page_parse_page_code(err, &out->page_code, buffer, length) ||
      vornscsi_log_page_parse_subpage_code(err, &out->subpage_code, buffer, length) ||
      vornscsi_log_page_parse_page_length(err, &out->page_length, buffer, length) ||
      vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(
          err, &out->percentage_used_endurance_indicator, buffer, length)) {
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// READ CAPACITY and REPORT SUPPORTED OPERATION CODES
// ---------------------------------------------------------------------------------------------

int vornscsi_read_capacity_10_parse_returned_logical_block_address(huld_error *err, uint64_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length) {
  if (!covers(length, 8)) {
    return fail(err, __func__, __LINE__,
                "buffer not large enough to parse scsi read capacity 10 logical block address");
  }
  *out = huld_get_be32(bytes(buffer));
  return ok(err);
}

int vornscsi_read_capacity_10_parse_logical_block_length_in_bytes(huld_error *err, uint32_t *out,
                                                                  const void *buffer,
                                                                  uint32_t length) {
  if (!covers(length, 8)) {
    return fail(
        err, __func__, __LINE__,
        "buffer not large enough to parse scsi read capacity 10 logical block length in bytes");
  }
  *out = huld_get_be32(bytes(buffer) + 4);
  return ok(err);
}

int vornscsi_read_capacity_parse_returned_logical_block_address(huld_error *err, uint64_t *out,
                                                                const void *buffer,
                                                                uint32_t length) {
  if (!covers(length, 8)) {
    return fail(
        err, __func__, __LINE__,
        "buffer not large enough to parse scsi read capacity returned logical block address");
  }
  *out = huld_get_be64(bytes(buffer));
  return ok(err);
}

int vornscsi_read_capacity_parse_logical_block_length_in_bytes(huld_error *err, uint32_t *out,
                                                               const void *buffer,
                                                               uint32_t length) {
  if (!covers(length, 12)) {
    return fail(err, __func__, __LINE__,
                "buffer not large enough to parse scsi read capacity logical block length in bytes");
  }
  *out = huld_get_be32(bytes(buffer) + 8);
  return ok(err);
}

int vornscsi_report_supported_opcodes_find(huld_error *err, uint8_t *found, uint8_t opcode,
                                           uint16_t service_action, const void *buffer,
                                           uint32_t length) {
  if (!covers(length, 4)) {
    return fail(err, __func__, __LINE__,
                "buffer not large enough to parse scsi report supported operation codes");
  }
  const uint8_t *p = bytes(buffer);
  uint32_t data_length = huld_get_be32(p);
  uint8_t hit = 0;
  if (data_length > 4) {
    for (uint64_t offset = 4; offset < data_length && covers(length, offset + 4); offset += 8) {
      const uint8_t *d = p + offset;
      if (d[0] == opcode && huld_get_be16(d + 2) == service_action) {
        hit = 1;
        break;
      }
    }
  }
  *found = hit;
  return ok(err);
}

// ---------------------------------------------------------------------------------------------
// Sense data
// ---------------------------------------------------------------------------------------------

int vornscsi_request_sense_parse_sense_response_code(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length) {
  return parse_byte(err, out, buffer, length, 0, 0, 0x7F, 1, __func__, kSenseShort);
}

namespace {

// One sense field: `fixed` is its byte in fixed-format sense, `descriptor` in descriptor format.
int sense_field(huld_error *err, uint8_t *out, uint32_t fixed, uint32_t descriptor, uint8_t mask,
                const void *buffer, uint32_t length, const char *function) {
  uint8_t code = 0;
  if (vornscsi_request_sense_parse_sense_response_code(err, &code, buffer, length)) return 1;
  uint32_t offset;
  if (code == 0x70 || code == 0x71) {
    offset = fixed;
  } else if (code == 0x72 || code == 0x73) {
    offset = descriptor;
  } else {
    return huld_error_set(err, HULD_ERROR_NOT_SUPPORTED, 0, HULD_MODULE, function, __LINE__,
                          "Unsupported repsonse code (0x%X)", static_cast<unsigned>(code));
  }
  if (!covers(length, static_cast<uint64_t>(offset) + 1)) {
    return fail(err, function, __LINE__, kSenseShort);
  }
  *out = bytes(buffer)[offset] & mask;
  return ok(err);
}

}  // namespace

int vornscsi_request_sense_parse_sense_key(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length) {
  return sense_field(err, out, 2, 1, 0x0F, buffer, length, __func__);
}

int vornscsi_request_sense_parse_additional_sense_code(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length) {
  return sense_field(err, out, 12, 2, 0xFF, buffer, length, __func__);
}

int vornscsi_request_sense_parse_additional_sense_code_qualifier(huld_error *err, uint8_t *out,
                                                                 const void *buffer,
                                                                 uint32_t length) {
  return sense_field(err, out, 13, 3, 0xFF, buffer, length, __func__);
}

int vornscsi_request_sense_parse_progress_indication(huld_error *err, uint16_t *out,
                                                     const void *buffer, uint32_t length) {
  static const char kNoProgress[] = "progress indication is not available";
  if (!covers(length, 18)) return fail(err, __func__, __LINE__, kSenseShort);
  const uint8_t *p = bytes(buffer);
  uint8_t code = p[0] & 0x7F;
  if (code == 0x70 || code == 0x71) {
    if ((p[15] & 0x80) == 0) {
      return huld_error_set(err, HULD_ERROR_FAILURE, 1, HULD_MODULE, __func__, __LINE__, "%s",
                            kNoProgress);
    }
    *out = huld_get_be16(p + 16);
    return ok(err);
  }
  if (code == 0x72 || code == 0x73) {
    uint32_t end = huld_min(8u + p[7], length);
    uint16_t value = 0;
    bool have = false;
    for (uint32_t offset = 8; offset + 2 <= end; offset += static_cast<uint32_t>(p[offset + 1]) + 2) {
      const uint8_t *d = p + offset;
      if (d[0] == 0x02 && d[1] == 0x06 && offset + 8 <= end) {
        if ((d[4] & 0x80) == 0) {
          return huld_error_set(err, HULD_ERROR_FAILURE, 1, HULD_MODULE, __func__, __LINE__,
                                "%s", kNoProgress);
        }
        value = huld_get_be16(d + 5);
        have = true;
      }
    }
    if (have) *out = value;
  }
  return ok(err);
}

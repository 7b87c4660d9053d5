// Parsers of the data SCSI commands return: standard INQUIRY data, VPD pages 00h, 80h, 83h and
// B1h, log pages, READ CAPACITY data, REPORT SUPPORTED OPERATION CODES data and sense data.
//
// Every parser takes the caller's error record first and returns 0 (record cleared) or 1 (record
// filled). It checks the length it needs before it reads; outputs are written only on success,
// except that string parsers zero their whole output first (a size of 0 is refused with nothing
// written). All multi-byte fields are big-endian.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

// One log parameter header and its first value byte.
typedef struct vornscsi_log_parameter {
  uint16_t parameter_code;
  uint8_t du;
  uint8_t tsd;
  uint8_t etc;
  uint8_t tmc;
  uint8_t format_and_linking;
  uint8_t parameter_length;
  uint8_t value;
} vornscsi_log_parameter;

// A log page header and its percentage-used endurance indicator.
typedef struct vornscsi_log_page_header {
  uint8_t ds;
  uint8_t spf;
  uint8_t page_code;
  uint8_t subpage_code;
  uint16_t page_length;
  vornscsi_log_parameter percentage_used_endurance_indicator;
  uint8_t spare;
} vornscsi_log_page_header;

// ----- INQUIRY and VPD -----
int vornscsi_inquiry_parse_peripheral_type(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornscsi_inquiry_parse_vendor_identification(huld_error *err, char *out, uint32_t size,
                                                 const void *buffer, uint32_t length);
int vornscsi_inquiry_parse_product_identification(huld_error *err, char *out, uint32_t size,
                                                  const void *buffer, uint32_t length);
int vornscsi_inquiry_parse_product_revision(huld_error *err, char *out, uint32_t size,
                                            const void *buffer, uint32_t length);
int vornscsi_inquiry_vpd80_parse_serial(huld_error *err, char *out, uint32_t size,
                                        const void *buffer, uint32_t length);
int vornscsi_inquiry_vpdB1_parse_medium_rotation_rate(huld_error *err, uint16_t *out,
                                                      const void *buffer, uint32_t length);
int vornscsi_inquiry_vpdB1_parse_nominal_form_factor(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);
int vornscsi_inquiry_vpdB1_parse_zoned(huld_error *err, uint8_t *out, const void *buffer,
                                       uint32_t length);
// *found = 1 when `page` is listed in the VPD 00h page (read only inside `length`).
int vornscsi_inquiry_vpd00_find_page(huld_error *err, uint8_t *found, uint8_t page,
                                     const void *buffer, uint32_t length);

// VPD 83h: the first designation descriptor with the given code set, association and type;
// *designator points into the buffer.
int vornscsi_inquiry_vpd83_parse_designation_descriptor(huld_error *err, uint8_t *designator_length,
                                                        const uint8_t **designator,
                                                        uint8_t code_set, uint8_t association,
                                                        uint8_t designator_type,
                                                        const void *buffer, uint32_t length);
int vornscsi_inquiry_vpd83_parse_world_wide_name(huld_error *err, uint64_t *out,
                                                 const void *buffer, uint32_t length);
int vornscsi_inquiry_vpd83_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                          uint32_t length);
int vornscsi_inquiry_vpd83_parse_relative_target_port_identifier(huld_error *err, uint16_t *out,
                                                                 const void *buffer,
                                                                 uint32_t length);
int vornscsi_inquiry_vpd83_parse_protocol_identifier(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);

// ----- log pages -----
int vornscsi_log_page_parse_ds(huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
int vornscsi_log_page_parse_spf(huld_error *err, uint8_t *out, const void *buffer,
                                uint32_t length);
int vornscsi_log_page_parse_page_code(huld_error *err, uint8_t *out, const void *buffer,
                                      uint32_t length);
int vornscsi_log_page_parse_subpage_code(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length);
int vornscsi_log_page_parse_page_length(huld_error *err, uint16_t *out, const void *buffer,
                                        uint32_t length);
int vornscsi_log_page_parameter_parse_parameter_code(huld_error *err, uint16_t *out,
                                                     const void *buffer, uint32_t length);
int vornscsi_log_page_parameter_parse_du(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length);
int vornscsi_log_page_parameter_parse_tsd(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length);
int vornscsi_log_page_parameter_parse_etc(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length);
int vornscsi_log_page_parameter_parse_tmc(huld_error *err, uint8_t *out, const void *buffer,
                                          uint32_t length);
int vornscsi_log_page_parameter_parse_format_and_linking(huld_error *err, uint8_t *out,
                                                         const void *buffer, uint32_t length);
int vornscsi_log_page_parameter_parse_parameter_length(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length);
// The first parameter of a Self-Test Results page, passed whole (page header first).
int vornscsi_log_sense_parse_self_test_code(huld_error *err, uint8_t *out, const void *buffer,
                                            uint32_t length);
int vornscsi_log_sense_parse_self_test_results(huld_error *err, uint8_t *out, const void *buffer,
                                               uint32_t length);
int vornscsi_log_sense_parse_self_test_number(huld_error *err, uint8_t *out, const void *buffer,
                                              uint32_t length);
int vornscsi_log_sense_parse_accumulated_power_on_hours(huld_error *err, uint16_t *out,
                                                        const void *buffer, uint32_t length);
int vornscsi_log_sense_parse_address_of_first_failure(huld_error *err, uint64_t *out,
                                                      const void *buffer, uint32_t length);
int vornscsi_log_sense_parse_sense_key(huld_error *err, uint8_t *out, const void *buffer,
                                       uint32_t length);
int vornscsi_log_sense_parse_additional_sense_code(huld_error *err, uint8_t *out,
                                                   const void *buffer, uint32_t length);
int vornscsi_log_sense_parse_additional_sense_code_qualifier(huld_error *err, uint8_t *out,
                                                             const void *buffer,
                                                             uint32_t length);
int vornscsi_log_sense_parse_vendor_specific(huld_error *err, uint8_t *out, const void *buffer,
                                             uint32_t length);
int vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(
    huld_error *err, vornscsi_log_parameter *out, const void *buffer, uint32_t length);
int vornscsi_log_page_parse_header(huld_error *err, vornscsi_log_page_header *out,
                                   const void *buffer, uint32_t length);

// ----- READ CAPACITY, REPORT SUPPORTED OPERATION CODES -----
int vornscsi_read_capacity_10_parse_returned_logical_block_address(huld_error *err, uint64_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length);
int vornscsi_read_capacity_10_parse_logical_block_length_in_bytes(huld_error *err, uint32_t *out,
                                                                  const void *buffer,
                                                                  uint32_t length);
int vornscsi_read_capacity_parse_returned_logical_block_address(huld_error *err, uint64_t *out,
                                                                const void *buffer,
                                                                uint32_t length);
int vornscsi_read_capacity_parse_logical_block_length_in_bytes(huld_error *err, uint32_t *out,
                                                               const void *buffer,
                                                               uint32_t length);
int vornscsi_report_supported_opcodes_find(huld_error *err, uint8_t *found, uint8_t opcode,
                                           uint16_t service_action, const void *buffer,
                                           uint32_t length);

// ----- sense data -----
int vornscsi_request_sense_parse_sense_response_code(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);
int vornscsi_request_sense_parse_sense_key(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
int vornscsi_request_sense_parse_additional_sense_code(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length);
int vornscsi_request_sense_parse_additional_sense_code_qualifier(huld_error *err, uint8_t *out,
                                                                 const void *buffer,
                                                                 uint32_t length);
int vornscsi_request_sense_parse_progress_indication(huld_error *err, uint16_t *out,
                                                     const void *buffer, uint32_t length);

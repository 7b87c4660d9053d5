// Fuzz target: every parser of the ATA, NVMe and SCSI command sets and the SCSI status / sense /
// translated-register decoders over arbitrary device data. The input is passed with its exact
// length, so any read past the length is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "huld/huld_scsi.h"
#include "vornata/ata.h"
#include "vornata/parse.h"
#include "vornnvme/parse.h"
#include "vornscsi/errors.h"
#include "vornscsi/parse.h"

namespace {

huld_error g_err;

uint32_t pick(const uint8_t *data, size_t size, size_t at) {
  return at < size ? data[at] : 0;
}

void fuzz_nvme(const uint8_t *d, uint32_t n, uint32_t index) {
  huld_error *e = &g_err;
  char text[300];
  uint8_t b;
  uint16_t w;
  uint32_t dw;
  uint64_t q;
  vornnvme_oword ow;
  uint8_t guid[16];
  uint8_t table[256];
  vornnvme_identify_controller_parse_model(e, text, sizeof(text), d, n);
  vornnvme_identify_controller_parse_serial(e, text, 7, d, n);
  vornnvme_identify_controller_parse_firmware_revision(e, text, 1, d, n);
  vornnvme_identify_controller_parse_nvm_subsystem_nvme_qualified_name(e, text, sizeof(text), d, n);
#define F_B(name, off, desc) vornnvme_identify_controller_parse_##name(e, &b, d, n);
#define F_W(name, off, desc) vornnvme_identify_controller_parse_##name(e, &w, d, n);
#define F_DW(name, off, desc) vornnvme_identify_controller_parse_##name(e, &dw, d, n);
#define F_OW(name, off, desc) vornnvme_identify_controller_parse_##name(e, &ow, d, n);
#define F_BIT(name, field, shift, width) vornnvme_identify_controller_parse_##name(e, &b, d, n);
#define F_FLAG(name, field, bit) vornnvme_identify_controller_parse_##name(e, &b, d, n);
  VORNNVME_IDENTIFY_CONTROLLER_FIELDS(F_B, F_W, F_DW, F_OW)
  VORNNVME_IDENTIFY_CONTROLLER_BITS(F_BIT, F_FLAG)
#undef F_B
#undef F_W
#undef F_DW
#undef F_OW
#undef F_BIT
#undef F_FLAG
#define F_B(name, off, desc) vornnvme_identify_namespace_parse_##name(e, &b, d, n);
#define F_W(name, off, desc) vornnvme_identify_namespace_parse_##name(e, &w, d, n);
#define F_DW(name, off, desc) vornnvme_identify_namespace_parse_##name(e, &dw, d, n);
#define F_OW(name, off, desc) vornnvme_identify_namespace_parse_##name(e, &ow, d, n);
#define F_BIT(name, field, shift, width) vornnvme_identify_namespace_parse_##name(e, &b, d, n);
#define F_FLAG(name, field, bit) vornnvme_identify_namespace_parse_##name(e, &b, d, n);
  VORNNVME_IDENTIFY_NAMESPACE_FIELDS(F_B, F_W, F_DW, F_OW)
  VORNNVME_IDENTIFY_NAMESPACE_BITS(F_BIT, F_FLAG)
#undef F_B
#undef F_W
#undef F_DW
#undef F_OW
#undef F_BIT
#undef F_FLAG
  vornnvme_identify_controller_parse_ieee_oui(e, &dw, d, n);
  vornnvme_identify_controller_parse_fru_globally_unique_identifier(e, guid, d, n);
  vornnvme_identify_controller_parse_total_nvm_capacity(e, &ow, d, n);
  vornnvme_identify_controller_parse_unallocated_nvm_capacity(e, &ow, d, n);
  vornnvme_identify_controller_parse_extended_dst_completion_time(e, &w, d, n);
  vornnvme_identify_controller_parse_firmware_update_granularity(e, &b, d, n);
  vornnvme_identify_controller_parse_sanitize_crypto_erase_supported(e, &b, d, n);
  vornnvme_identify_controller_parse_no_deallocate_modified_media(e, &b, d, n);
  vornnvme_identify_controller_parse_non_zero_anagrpid_supported(e, &b, d, n);
  vornnvme_power_state_descriptor ps;
  vornnvme_identify_controller_parse_power_state_descriptor(e, &ps, index, d, n);
  vornnvme_identify_namespace_parse_namespace_size(e, &q, d, n);
  vornnvme_identify_namespace_parse_namespace_globally_unique_identifier(e, guid, d, n);
  vornnvme_identify_namespace_parse_eui(e, &q, d, n);
  vornnvme_identify_namespace_parse_lba_format_idx(e, &b, d, n);
  vornnvme_identify_namespace_parse_lbads(e, &q, d, n);
  vornnvme_identify_namespace_parse_lba_format_lba_data_size(e, &b, index, d, n);
  vornnvme_identify_namespace_parse_lba_format_metadata_size(e, &w, index, d, n);
  uint32_t ids[64];
  uint32_t stored;
  vornnvme_identify_parse_namespace_list(e, ids, 64, &stored, d, n);
  vornnvme_smart_log smart;
  vornnvme_smart_parse(e, &smart, d, n);
  check_critical_warnings_bit_set(e, &b, index & 0xF, d, n);
  vornnvme_smart_parse_temperature_sensor(e, &w, index & 0xF, d, n);
  double fraction;
  vornnvme_sanitize_status_parse_sanitize_progress(e, &w, &fraction, d, n);
  vornnvme_sanitize_status_parse_overwrite_completed_passes(e, &b, d, n);
  vornnvme_sanitize_status_parse_estimated_time_for_crypto_erase(e, &dw, d, n);
  vornnvme_firmware_slot_info_parse_active_slot(e, &b, d, n);
  vornnvme_firmware_slot_info_parse_next_active_slot(e, &b, d, n);
  vornnvme_firmware_slot_info_parse_fwrev(e, text, 9, index & 0xF, d, n);
  vornnvme_device_self_test_info_parse_current_operation(e, &b, d, n);
  vornnvme_device_self_test_info_parse_current_completion(e, &b, d, n);
  vornnvme_self_test_result r;
  vornnvme_device_self_test_info_parse_entry(e, &r, index, d, n);
  vornnvme_command_effects fx;
  vornnvme_commands_supported_and_effects_log_parse_structure_from_offset(e, &fx, index * 4, d, n);
  vornnvme_commands_supported_and_effects_log_parse_admin_commands_supported(e, table, d, n);
  vornnvme_commands_supported_and_effects_log_parse_io_commands_supported(e, table, d, n);
}

void fuzz_ata(const uint8_t *d, uint32_t n, uint32_t index) {
  huld_error *e = &g_err;
  char text[64];
  uint8_t b;
  uint16_t w;
  uint32_t dw;
  uint64_t q;
  vornata_identify_parse_model(e, text, sizeof(text), d, n);
  vornata_identify_parse_model(e, text, 4, d, n);
  vornata_identify_parse_serial(e, text, sizeof(text), d, n);
  vornata_identify_parse_firmware(e, text, 5, d, n);
  vornata_identify_parse_current_media_serial(e, text, sizeof(text), d, n);
#define F_BIT(name, word, bit, desc) vornata_identify_parse_##name(e, &b, d, n);
#define F_BITS(name, word, shift, count, desc) vornata_identify_parse_##name(e, &b, d, n);
#define F_WORD(name, word, desc) vornata_identify_parse_##name(e, &w, d, n);
#define F_DWORD(name, word, desc) vornata_identify_parse_##name(e, &dw, d, n);
#define F_QWORD(name, word, desc) vornata_identify_parse_##name(e, &q, d, n);
  VORNATA_IDENTIFY_FIELDS(F_BIT, F_BITS, F_WORD, F_DWORD, F_QWORD)
#undef F_BIT
#undef F_BITS
#undef F_WORD
#undef F_DWORD
#undef F_QWORD
  vornata_identify_parse_nlbas_28bit(e, &dw, d, n);
  vornata_identify_parse_nominal_media_rotation_rate(e, &w, d, n);
  vornata_identify_parse_dlmc_min_blocks(e, &w, d, n);
  vornata_identify_parse_dlmc_max_blocks(e, &w, d, n);
  vornata_identify_parse_world_wide_name(e, &q, d, n);
  vornata_identify_parse_wwn_unique_id(e, &q, d, n);
  vornata_identify_parse_ieee_oui(e, &dw, d, n);
  vornata_identify_parse_security_erase_unit_normal_time_to_complete(e, &w, d, n);
  vornata_identify_parse_security_erase_unit_enhanced_time_to_complete(e, &w, d, n);
  vornata_identify_parse_alignment_of_logical_sector_within_a_physical_sector(e, &w, d, n);
  vornata_id_data_log_parse_security_enabled(e, &b, d, n);
  vornata_id_data_log_parse_dm_offsets_deferred_supported(e, &b, d, n);
  vornata_id_data_log_parse_qword48_bit7(e, &b, d, n);
  vornata_id_data_log_parse_dm_min_blocks(e, &w, d, n);
  vornata_id_data_log_parse_dm_max_blocks(e, &w, d, n);
  vornata_id_data_log_parse_nominal_media_rotation_rate(e, &w, d, n);
  vornata_id_data_log_parse_world_wide_name(e, &q, d, n);
  vornata_id_data_log_parse_ieee_oui(e, &dw, d, n);
  vornata_smart_attribute attrs[40];
  vornata_smart_threshold thresholds[40];
  vornata_smart_attribute a;
  vornata_smart_threshold t;
  uint32_t count = index % 41;
  vornata_smart_parse_attributes(e, attrs, &count, d, n);
  count = index % 41;
  vornata_smart_parse_thresholds(e, thresholds, &count, d, n);
  vornata_smart_parse_attribute(e, &a, static_cast<uint8_t>(index), d, n);
  vornata_smart_parse_threshold(e, &t, static_cast<uint8_t>(index), d, n);
  vornata_smart_parse_nattrs(e, &dw, d, n);
  vornata_smart_parse_nthresholds(e, &dw, d, n);
  vornata_smart_parse_self_test_status(e, &b, d, n);
  vornata_smart_parse_self_test_percent_done(e, &dw, d, n);
  vornata_smart_parse_short_polling_time(e, &dw, d, n);
  vornata_smart_parse_long_polling_time(e, &dw, d, n);
  vornata_smart_parse_conveyance_polling_time(e, &dw, d, n);
}

void fuzz_scsi(const uint8_t *d, uint32_t n, uint32_t index) {
  huld_error *e = &g_err;
  char text[64];
  uint8_t b;
  uint16_t w;
  uint32_t dw;
  uint64_t q;
  vornscsi_inquiry_parse_peripheral_type(e, &b, d, n);
  vornscsi_inquiry_parse_vendor_identification(e, text, sizeof(text), d, n);
  vornscsi_inquiry_parse_product_identification(e, text, 3, d, n);
  vornscsi_inquiry_parse_product_revision(e, text, sizeof(text), d, n);
  vornscsi_inquiry_vpd80_parse_serial(e, text, sizeof(text), d, n);
  vornscsi_inquiry_vpd80_parse_serial(e, text, 2, d, n);
  vornscsi_inquiry_vpdB1_parse_medium_rotation_rate(e, &w, d, n);
  vornscsi_inquiry_vpdB1_parse_nominal_form_factor(e, &b, d, n);
  vornscsi_inquiry_vpdB1_parse_zoned(e, &b, d, n);
  vornscsi_inquiry_vpd00_find_page(e, &b, static_cast<uint8_t>(index), d, n);
  uint8_t dl;
  const uint8_t *designator;
  if (vornscsi_inquiry_vpd83_parse_designation_descriptor(e, &dl, &designator, index & 0xF,
                                                          (index >> 4) & 3, index & 0xF, d, n) == 0) {
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < dl; ++i) sink = sink + designator[i];
  }
  vornscsi_inquiry_vpd83_parse_world_wide_name(e, &q, d, n);
  vornscsi_inquiry_vpd83_parse_ieee_oui(e, &dw, d, n);
  vornscsi_inquiry_vpd83_parse_relative_target_port_identifier(e, &w, d, n);
  vornscsi_inquiry_vpd83_parse_protocol_identifier(e, &b, d, n);
  vornscsi_log_page_header h;
  vornscsi_log_page_parse_header(e, &h, d, n);
  vornscsi_log_parameter p;
  vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(e, &p, d, n);
  vornscsi_log_page_parameter_parse_tmc(e, &b, d, n);
  vornscsi_log_sense_parse_self_test_code(e, &b, d, n);
  vornscsi_log_sense_parse_accumulated_power_on_hours(e, &w, d, n);
  vornscsi_log_sense_parse_address_of_first_failure(e, &q, d, n);
  vornscsi_log_sense_parse_vendor_specific(e, &b, d, n);
  vornscsi_read_capacity_10_parse_returned_logical_block_address(e, &q, d, n);
  vornscsi_read_capacity_10_parse_logical_block_length_in_bytes(e, &dw, d, n);
  vornscsi_read_capacity_parse_returned_logical_block_address(e, &q, d, n);
  vornscsi_read_capacity_parse_logical_block_length_in_bytes(e, &dw, d, n);
  vornscsi_report_supported_opcodes_find(e, &b, static_cast<uint8_t>(index),
                                         static_cast<uint16_t>(index >> 8), d, n);
  vornscsi_request_sense_parse_sense_response_code(e, &b, d, n);
  vornscsi_request_sense_parse_sense_key(e, &b, d, n);
  vornscsi_request_sense_parse_additional_sense_code(e, &b, d, n);
  vornscsi_request_sense_parse_additional_sense_code_qualifier(e, &b, d, n);
  vornscsi_request_sense_parse_progress_indication(e, &w, d, n);

  // The status / sense / SAT register decoder over a record carrying the input as sense data.
  huld_scsi_cmd cmd;
  huld_ata_cmd ata;
  vornata_fill_smart_return_status(&ata);
  ata.check_condition = index & 1;
  huld_scsi_fill_sat_cmd(&cmd, &ata);
  cmd.scsi_status = (index & 2) ? 0x02 : static_cast<uint8_t>(index);
  if (n != 0) std::memcpy(cmd.sense, d, n < sizeof(cmd.sense) ? n : sizeof(cmd.sense));
  vornscsi_check_error(e, &cmd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  uint32_t index = pick(data, size, 0) | (pick(data, size, 1) << 8);
  // The parsers see the rest of the input in a buffer of exactly its length.
  std::vector<uint8_t> body(data + 2, data + size);
  const uint8_t *d = body.data();
  uint32_t n = static_cast<uint32_t>(body.size());
  fuzz_nvme(d, n, index);
  fuzz_ata(d, n, index);
  fuzz_scsi(d, n, index);
  return 0;
}

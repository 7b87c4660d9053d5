// Parsers of the data NVMe commands return: Identify Controller, Identify Namespace and the
// SMART / Health Information, Sanitize Status, Firmware Slot Information, Device Self-test and
// Commands Supported and Effects logs.
//
// Every parser takes the caller's error record first and returns 0 (record cleared) or 1 (record
// filled, code HULD_ERROR_FAILURE). It reads only inside the length it is given; a short buffer
// fails with a message that names the field. Value parsers write their output only on success;
// string parsers zero their whole output first (a size of 0 is refused with nothing written).
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

// A 128-bit little-endian value as two 64-bit halves, low half first.
typedef struct vornnvme_oword {
  uint64_t low;
  uint64_t high;
} vornnvme_oword;

// Power state descriptor of Identify Controller.
typedef struct vornnvme_power_state_descriptor {
  uint8_t aps;     // active power scale
  uint8_t apw;     // active power workload
  uint16_t actp;   // active power
  uint8_t ips;     // idle power scale
  uint16_t idlp;   // idle power
  uint8_t rwl;     // relative write latency
  uint8_t rwt;     // relative write throughput
  uint8_t rrl;     // relative read latency
  uint8_t rrt;     // relative read throughput
  uint32_t exlat;  // exit latency
  uint32_t enlat;  // entry latency
  uint8_t nops;    // non-operational state
  uint8_t mxps;    // max power scale
  uint16_t mp;     // maximum power
} vornnvme_power_state_descriptor;

// One result of the Device Self-test log.
typedef struct vornnvme_self_test_result {
  uint8_t code;            // self-test code
  uint8_t result;          // self-test result
  uint8_t segment_number;  // segment that failed
  uint8_t scv;             // status code valid
  uint8_t sctv;            // status code type valid
  uint8_t flbav;           // failing LBA valid
  uint8_t nsidv;           // namespace id valid
  uint64_t power_on_hours;
  uint32_t nsid;
  uint64_t failing_lba;
  uint8_t status_code_type;
  uint8_t status_code;
} vornnvme_self_test_result;

// One entry of the Commands Supported and Effects log.
typedef struct vornnvme_command_effects {
  uint8_t cse;    // command submission and execution (two bits)
  uint8_t ccc;    // controller capability change
  uint8_t nic;    // namespace inventory change
  uint8_t ncc;    // namespace capability change
  uint8_t lbcc;   // logical block content change
  uint8_t csupp;  // command supported
} vornnvme_command_effects;

// The whole SMART / Health Information log.
typedef struct vornnvme_smart_log {
  uint8_t critical_warnings;
  uint8_t available_spare_below_threshold;     // bit 0
  uint8_t temperature_threshold_exceeded;      // bit 1
  uint8_t reliability_degraded;                // bit 2
  uint8_t read_only;                           // bit 3
  uint8_t volatile_memory_backup_failed;       // bit 4
  uint8_t persistent_memory_region_read_only;  // bit 5
  uint16_t composite_temperature;
  uint8_t available_spare;
  uint8_t available_spare_threshold;
  uint8_t percentage_used;
  vornnvme_oword data_units_read;
  vornnvme_oword data_units_written;
  vornnvme_oword host_read_commands;
  vornnvme_oword host_write_commands;
  vornnvme_oword controller_busy_time;
  vornnvme_oword power_cycles;
  vornnvme_oword power_on_hours;
  vornnvme_oword unsafe_shutdowns;
  vornnvme_oword media_and_data_integrity_errors;
  vornnvme_oword error_information_log_entries;
  uint32_t warning_composite_temperature_time;
  uint32_t critical_composite_temperature_time;
  uint16_t temperature_sensor[8];  // sensors 1 to 8
  uint32_t thermal_management_temperature_1_transition_count;
  uint32_t thermal_management_temperature_2_transition_count;
  uint32_t total_time_for_thermal_management_temperature_1;
  uint32_t total_time_for_thermal_management_temperature_2;
} vornnvme_smart_log;

// ---------------------------------------------------------------------------------------------
// Identify Controller
// ---------------------------------------------------------------------------------------------
int vornnvme_identify_controller_parse_serial(huld_error *err, char *out, uint32_t size,
                                              const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_model(huld_error *err, char *out, uint32_t size,
                                             const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_firmware_revision(huld_error *err, char *out, uint32_t size,
                                                         const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_nvm_subsystem_nvme_qualified_name(
    huld_error *err, char *out, uint32_t size, const void *buffer, uint32_t length);

// One parser per field of the table: vornnvme_identify_controller_parse_<name>.
#define VORNNVME_DECLARE_B(name, offset, desc) \
  int vornnvme_identify_controller_parse_##name(huld_error *err, uint8_t *out, const void *buffer, \
                                                uint32_t length);
#define VORNNVME_DECLARE_W(name, offset, desc) \
  int vornnvme_identify_controller_parse_##name(huld_error *err, uint16_t *out,                    \
                                                const void *buffer, uint32_t length);
#define VORNNVME_DECLARE_DW(name, offset, desc) \
  int vornnvme_identify_controller_parse_##name(huld_error *err, uint32_t *out,                    \
                                                const void *buffer, uint32_t length);
#define VORNNVME_DECLARE_OW(name, offset, desc) \
  int vornnvme_identify_controller_parse_##name(huld_error *err, vornnvme_oword *out,              \
                                                const void *buffer, uint32_t length);
#define VORNNVME_DECLARE_BIT(name, field, shift, width) \
  int vornnvme_identify_controller_parse_##name(huld_error *err, uint8_t *out, const void *buffer, \
                                                uint32_t length);
#define VORNNVME_DECLARE_FLAG(name, field, bit) VORNNVME_DECLARE_BIT(name, field, bit, 1)
#include "vornnvme/parse_fields.h"
VORNNVME_IDENTIFY_CONTROLLER_FIELDS(VORNNVME_DECLARE_B, VORNNVME_DECLARE_W, VORNNVME_DECLARE_DW,
                                    VORNNVME_DECLARE_OW)
VORNNVME_IDENTIFY_CONTROLLER_BITS(VORNNVME_DECLARE_BIT, VORNNVME_DECLARE_FLAG)
#undef VORNNVME_DECLARE_B
#undef VORNNVME_DECLARE_W
#undef VORNNVME_DECLARE_DW
#undef VORNNVME_DECLARE_OW
#undef VORNNVME_DECLARE_BIT
#undef VORNNVME_DECLARE_FLAG

// Parsers with bounds of their own.
int vornnvme_identify_controller_parse_ieee_oui(huld_error *err, uint32_t *out, const void *buffer,
                                                uint32_t length);
int vornnvme_identify_controller_parse_fru_globally_unique_identifier(huld_error *err,
                                                                      uint8_t out[16],
                                                                      const void *buffer,
                                                                      uint32_t length);
int vornnvme_identify_controller_parse_total_nvm_capacity(huld_error *err, vornnvme_oword *out,
                                                          const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_unallocated_nvm_capacity(huld_error *err,
                                                                vornnvme_oword *out,
                                                                const void *buffer,
                                                                uint32_t length);
int vornnvme_identify_controller_parse_extended_dst_completion_time(huld_error *err, uint16_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length);
// FWUG (byte 319): 0 no information, FFh no restriction, else the granularity in 4 KiB units.
int vornnvme_identify_controller_parse_firmware_update_granularity(huld_error *err, uint8_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length);
int vornnvme_identify_controller_parse_sanitize_crypto_erase_supported(huld_error *err,
                                                                       uint8_t *out,
                                                                       const void *buffer,
                                                                       uint32_t length);
int vornnvme_identify_controller_parse_sanitize_block_erase_supported(huld_error *err, uint8_t *out,
                                                                      const void *buffer,
                                                                      uint32_t length);
int vornnvme_identify_controller_parse_sanitize_overwrite_supported(huld_error *err, uint8_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length);
int vornnvme_identify_controller_parse_no_deallocate_inhibited_supported(huld_error *err,
                                                                         uint8_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length);
int vornnvme_identify_controller_parse_no_deallocate_modified_media(huld_error *err, uint8_t *out,
                                                                    const void *buffer,
                                                                    uint32_t length);
int vornnvme_identify_controller_parse_report_ana_optimized_state_supported(huld_error *err,
                                                                            uint8_t *out,
                                                                            const void *buffer,
                                                                            uint32_t length);
int vornnvme_identify_controller_parse_report_ana_non_optimized_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_report_ana_inaccessible_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_report_ana_persistent_loss_state_supported(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
int vornnvme_identify_controller_parse_report_ana_change_state_supported(huld_error *err,
                                                                         uint8_t *out,
                                                                         const void *buffer,
                                                                         uint32_t length);
int vornnvme_identify_controller_parse_anagrpid_change_while_attached(huld_error *err, uint8_t *out,
                                                                      const void *buffer,
                                                                      uint32_t length);
int vornnvme_identify_controller_parse_non_zero_anagrpid_supported(huld_error *err, uint8_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length);
// Power state descriptor `index` (0 to 31).
int vornnvme_identify_controller_parse_power_state_descriptor(huld_error *err,
                                                              vornnvme_power_state_descriptor *out,
                                                              uint32_t index, const void *buffer,
                                                              uint32_t length);

// ---------------------------------------------------------------------------------------------
// Identify Namespace
// ---------------------------------------------------------------------------------------------
#define VORNNVME_DECLARE_B(name, offset, desc) \
  int vornnvme_identify_namespace_parse_##name(huld_error *err, uint8_t *out, const void *buffer, \
                                               uint32_t length);
#define VORNNVME_DECLARE_W(name, offset, desc) \
  int vornnvme_identify_namespace_parse_##name(huld_error *err, uint16_t *out, const void *buffer, \
                                               uint32_t length);
#define VORNNVME_DECLARE_DW(name, offset, desc) \
  int vornnvme_identify_namespace_parse_##name(huld_error *err, uint32_t *out, const void *buffer, \
                                               uint32_t length);
#define VORNNVME_DECLARE_OW(name, offset, desc) \
  int vornnvme_identify_namespace_parse_##name(huld_error *err, vornnvme_oword *out,              \
                                               const void *buffer, uint32_t length);
#define VORNNVME_DECLARE_BIT(name, field, shift, width) \
  int vornnvme_identify_namespace_parse_##name(huld_error *err, uint8_t *out, const void *buffer, \
                                               uint32_t length);
#define VORNNVME_DECLARE_FLAG(name, field, bit) VORNNVME_DECLARE_BIT(name, field, bit, 1)
VORNNVME_IDENTIFY_NAMESPACE_FIELDS(VORNNVME_DECLARE_B, VORNNVME_DECLARE_W, VORNNVME_DECLARE_DW,
                                   VORNNVME_DECLARE_OW)
VORNNVME_IDENTIFY_NAMESPACE_BITS(VORNNVME_DECLARE_BIT, VORNNVME_DECLARE_FLAG)
#undef VORNNVME_DECLARE_B
#undef VORNNVME_DECLARE_W
#undef VORNNVME_DECLARE_DW
#undef VORNNVME_DECLARE_OW
#undef VORNNVME_DECLARE_BIT
#undef VORNNVME_DECLARE_FLAG

int vornnvme_identify_namespace_parse_namespace_size(huld_error *err, uint64_t *out,
                                                     const void *buffer, uint32_t length);
int vornnvme_identify_namespace_parse_namespace_capacity(huld_error *err, uint64_t *out,
                                                         const void *buffer, uint32_t length);
int vornnvme_identify_namespace_parse_namespace_utilization(huld_error *err, uint64_t *out,
                                                            const void *buffer, uint32_t length);
int vornnvme_identify_namespace_parse_namespace_globally_unique_identifier(huld_error *err,
                                                                           uint8_t out[16],
                                                                           const void *buffer,
                                                                           uint32_t length);
// EUI-64, bytes 120-127 read big-endian.
int vornnvme_identify_namespace_parse_eui(huld_error *err, uint64_t *out, const void *buffer,
                                          uint32_t length);
// Index of the current LBA format (FLBAS bits 3:0).
int vornnvme_identify_namespace_parse_lba_format_idx(huld_error *err, uint8_t *out,
                                                     const void *buffer, uint32_t length);
// Logical block size in bytes of the current LBA format.
int vornnvme_identify_namespace_parse_lbads(huld_error *err, uint64_t *out, const void *buffer,
                                            uint32_t length);
// LBA format `index`: the whole descriptor and its three fields.
int vornnvme_identify_namespace_parse_lba_format(huld_error *err, uint32_t *out, uint32_t index,
                                                 const void *buffer, uint32_t length);
int vornnvme_identify_namespace_parse_lba_format_metadata_size(huld_error *err, uint16_t *out,
                                                               uint32_t index, const void *buffer,
                                                               uint32_t length);
// The LBA data size exponent (bits 19:16 of the descriptor).
int vornnvme_identify_namespace_parse_lba_format_lba_data_size(huld_error *err, uint8_t *out,
                                                               uint32_t index, const void *buffer,
                                                               uint32_t length);
int vornnvme_identify_namespace_parse_lba_format_relative_performance(huld_error *err,
                                                                      uint8_t *out, uint32_t index,
                                                                      const void *buffer,
                                                                      uint32_t length);

// Identify with CNS 02h (active namespace id list): up to `count` ids, stopping at the first 0.
// The output (count entries) is zeroed first; *stored receives the number of ids stored (may be
// null).
int vornnvme_identify_parse_namespace_list(huld_error *err, uint32_t *out, uint32_t count,
                                           uint32_t *stored, const void *buffer, uint32_t length);

// ---------------------------------------------------------------------------------------------
// SMART / Health Information log
// ---------------------------------------------------------------------------------------------
int vornnvme_smart_parse_critical_warnings(huld_error *err, uint8_t *out, const void *buffer,
                                           uint32_t length);
// Bit `bit` (0 to 7) of the critical warnings byte.
int check_critical_warnings_bit_set(huld_error *err, uint8_t *out, uint32_t bit,
                                    const void *buffer, uint32_t length);
int vornnvme_smart_parse_critical_warning_available_spare(huld_error *err, uint8_t *out,
                                                          const void *buffer, uint32_t length);
int vornnvme_smart_parse_critical_warning_temperature(huld_error *err, uint8_t *out,
                                                      const void *buffer, uint32_t length);
int vornnvme_smart_parse_critical_warning_reliability_degraded(huld_error *err, uint8_t *out,
                                                               const void *buffer,
                                                               uint32_t length);
int vornnvme_smart_parse_critical_warning_read_only(huld_error *err, uint8_t *out,
                                                    const void *buffer, uint32_t length);
int vornnvme_smart_parse_critical_warning_volatile_memory_backup_failed(huld_error *err,
                                                                        uint8_t *out,
                                                                        const void *buffer,
                                                                        uint32_t length);
int vornnvme_smart_parse_critical_warning_persistent_memory_region_read_only(
    huld_error *err, uint8_t *out, const void *buffer, uint32_t length);
int vornnvme_smart_parse_composite_temperature(huld_error *err, uint16_t *out, const void *buffer,
                                               uint32_t length);
int vornnvme_smart_parse_available_spare_percentage(huld_error *err, uint8_t *out,
                                                    const void *buffer, uint32_t length);
int vornnvme_smart_parse_available_spare_threshold_percentage(huld_error *err, uint8_t *out,
                                                              const void *buffer,
                                                              uint32_t length);
int vornnvme_smart_parse_percentage_used(huld_error *err, uint8_t *out, const void *buffer,
                                         uint32_t length);
int vornnvme_smart_parse_data_units_read(huld_error *err, vornnvme_oword *out, const void *buffer,
                                         uint32_t length);
int vornnvme_smart_parse_data_units_written(huld_error *err, vornnvme_oword *out,
                                            const void *buffer, uint32_t length);
int vornnvme_smart_parse_host_read_commands(huld_error *err, vornnvme_oword *out,
                                            const void *buffer, uint32_t length);
int vornnvme_smart_parse_host_write_commands(huld_error *err, vornnvme_oword *out,
                                             const void *buffer, uint32_t length);
int vornnvme_smart_parse_controller_busy_time(huld_error *err, vornnvme_oword *out,
                                              const void *buffer, uint32_t length);
int vornnvme_smart_parse_power_cycles(huld_error *err, vornnvme_oword *out, const void *buffer,
                                      uint32_t length);
int vornnvme_smart_parse_power_on_hours(huld_error *err, vornnvme_oword *out, const void *buffer,
                                        uint32_t length);
int vornnvme_smart_parse_unsafe_shutdowns(huld_error *err, vornnvme_oword *out, const void *buffer,
                                          uint32_t length);
int vornnvme_smart_parse_number_of_media_and_data_integrity_errors(huld_error *err,
                                                                   vornnvme_oword *out,
                                                                   const void *buffer,
                                                                   uint32_t length);
int vornnvme_smart_parse_number_of_error_information_log_entries(huld_error *err,
                                                                 vornnvme_oword *out,
                                                                 const void *buffer,
                                                                 uint32_t length);
int vornnvme_smart_parse_warning_composite_temperature_time(huld_error *err, uint32_t *out,
                                                            const void *buffer, uint32_t length);
int vornnvme_smart_parse_critical_composite_temperature_time(huld_error *err, uint32_t *out,
                                                             const void *buffer, uint32_t length);
// Temperature sensor `index` (0 to 7 for sensors 1 to 8).
int vornnvme_smart_parse_temperature_sensor(huld_error *err, uint16_t *out, uint32_t index,
                                            const void *buffer, uint32_t length);
int vornnvme_smart_parse_temperature_transition_count_one(huld_error *err, uint32_t *out,
                                                          const void *buffer, uint32_t length);
int vornnvme_smart_parse_temperature_transition_count_two(huld_error *err, uint32_t *out,
                                                          const void *buffer, uint32_t length);
int vornnvme_smart_parse_total_time_in_temperature_one(huld_error *err, uint32_t *out,
                                                       const void *buffer, uint32_t length);
int vornnvme_smart_parse_total_time_in_temperature_two(huld_error *err, uint32_t *out,
                                                       const void *buffer, uint32_t length);
// The whole log, zeroed first; stops at the first failure.
int vornnvme_smart_parse(huld_error *err, vornnvme_smart_log *out, const void *buffer,
                         uint32_t length);

// ---------------------------------------------------------------------------------------------
// Sanitize Status log
// ---------------------------------------------------------------------------------------------
// The raw progress word and its fraction (value / 65536); either output may be null.
int vornnvme_sanitize_status_parse_sanitize_progress(huld_error *err, uint16_t *raw,
                                                     double *fraction, const void *buffer,
                                                     uint32_t length);
int vornnvme_sanitize_status_parse_sanitize_status(huld_error *err, uint8_t *out,
                                                   const void *buffer, uint32_t length);
int vornnvme_sanitize_status_parse_overwrite_completed_passes(huld_error *err, uint8_t *out,
                                                              const void *buffer,
                                                              uint32_t length);
int vornnvme_sanitize_status_parse_global_data_erased(huld_error *err, uint8_t *out,
                                                      const void *buffer, uint32_t length);
int vornnvme_sanitize_status_parse_dword10(huld_error *err, uint32_t *out, const void *buffer,
                                           uint32_t length);
int vornnvme_sanitize_status_parse_estimated_time_for_overwrite(huld_error *err, uint32_t *out,
                                                                const void *buffer,
                                                                uint32_t length);
int vornnvme_sanitize_status_parse_estimated_time_for_block_erase(huld_error *err, uint32_t *out,
                                                                  const void *buffer,
                                                                  uint32_t length);
int vornnvme_sanitize_status_parse_estimated_time_for_crypto_erase(huld_error *err, uint32_t *out,
                                                                   const void *buffer,
                                                                   uint32_t length);

// ---------------------------------------------------------------------------------------------
// Firmware Slot Information log
// ---------------------------------------------------------------------------------------------
int vornnvme_firmware_slot_info_parse_active_slot(huld_error *err, uint8_t *out,
                                                  const void *buffer, uint32_t length);
// The slot to be activated at the next reset (0: none).
int vornnvme_firmware_slot_info_parse_next_active_slot(huld_error *err, uint8_t *out,
                                                       const void *buffer, uint32_t length);
// Revision of slot 1 to 7 (other slots are refused).
int vornnvme_firmware_slot_info_parse_fwrev(huld_error *err, char *out, uint32_t size,
                                            uint32_t slot, const void *buffer, uint32_t length);

// ---------------------------------------------------------------------------------------------
// Device Self-test log
// ---------------------------------------------------------------------------------------------
int vornnvme_device_self_test_info_parse_current_operation(huld_error *err, uint8_t *out,
                                                           const void *buffer, uint32_t length);
int vornnvme_device_self_test_info_parse_current_completion(huld_error *err, uint8_t *out,
                                                            const void *buffer, uint32_t length);
int vornnvme_device_self_test_info_parse_entry(huld_error *err, vornnvme_self_test_result *out,
                                               uint32_t index, const void *buffer,
                                               uint32_t length);

// ---------------------------------------------------------------------------------------------
// Commands Supported and Effects log
// ---------------------------------------------------------------------------------------------
int vornnvme_commands_supported_and_effects_log_parse_structure_from_offset(
    huld_error *err, vornnvme_command_effects *out, uint32_t offset, const void *buffer,
    uint32_t length);
// The CSUPP flag of each of the 256 admin (I/O) opcodes; the output is zeroed first.
int vornnvme_commands_supported_and_effects_log_parse_admin_commands_supported(
    huld_error *err, uint8_t out[256], const void *buffer, uint32_t length);
int vornnvme_commands_supported_and_effects_log_parse_io_commands_supported(
    huld_error *err, uint8_t out[256], const void *buffer, uint32_t length);

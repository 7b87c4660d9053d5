// The ATA command set: one builder (vornata_fill_*) and one executor (vornata_execute_*) per
// command. A builder zeroes the record and fills it. An executor builds the record on its own
// stack, runs it through huld_ata_execute, judges the registers with vornata_check_error and
// copies result registers only after the check; it returns 0, or 1 with the error record filled.
//
// Executors of commands that carry data counted in 512-byte blocks refuse, with code 1 and
// before any command, a length of 0, a length that is not a multiple of 512, a count that does
// not fit its register and a count that does not match the length.
#pragma once

#include <cstdint>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// Default time-out of every ATA builder, in milliseconds.
extern const uint32_t vornata_default_timeout_ms;

// Size of a security payload and the longest password it carries.
#define VORNATA_SECURITY_PAYLOAD_SIZE 512u
#define VORNATA_SECURITY_PASSWORD_MAX 32u

// Result of SANITIZE STATUS EXT.
typedef struct vornata_sanitize_status {
  double progress;  // 0.0 to below 1.0
  uint32_t completed_without_error;
  uint32_t in_progress;
  uint32_t frozen;
  uint32_t antifreeze;
} vornata_sanitize_status;

// Fills the status from the registers SANITIZE STATUS EXT returned.
void vornata_parse_sanitize_status(vornata_sanitize_status *out, const huld_ata_cmd *cmd);

// Security payloads (512 bytes): a wrong payload length or a password over 32 bytes is logged
// and nothing is filled.
void vornata_fill_security_disable_password_payload(uint8_t *payload, uint32_t payload_len,
                                                    const uint8_t *password, uint32_t password_len,
                                                    uint8_t identifier);
void vornata_fill_security_erase_unit_payload(uint8_t *payload, uint32_t payload_len,
                                              const uint8_t *password, uint32_t password_len,
                                              uint8_t identifier, uint8_t enhanced);
void vornata_fill_security_set_password_payload(uint8_t *payload, uint32_t payload_len,
                                                const uint8_t *password, uint32_t password_len,
                                                uint8_t identifier, uint8_t level_maximum);
void vornata_fill_security_unlock_payload(uint8_t *payload, uint32_t payload_len,
                                          const uint8_t *password, uint32_t password_len,
                                          uint8_t identifier);

// ----- builders -----
void vornata_fill_check_power_mode(huld_ata_cmd *cmd);
void vornata_fill_data_set_management(huld_ata_cmd *cmd, uint8_t feature_high, uint8_t feature_low,
                                      uint16_t count, uint32_t lba, void *buffer, uint32_t length);
void vornata_fill_data_set_management_xl(huld_ata_cmd *cmd, uint8_t feature_high,
                                         uint8_t feature_low, uint16_t count, uint64_t lba,
                                         void *buffer, uint32_t length);
void vornata_fill_download_microcode(huld_ata_cmd *cmd, uint8_t mode, uint16_t block_count,
                                     uint16_t buffer_offset, void *buffer, uint32_t length);
void vornata_fill_download_microcode_dma(huld_ata_cmd *cmd, uint8_t mode, uint16_t block_count,
                                         uint16_t buffer_offset, void *buffer, uint32_t length);
void vornata_fill_flush_cache(huld_ata_cmd *cmd);
void vornata_fill_flush_cache_ext(huld_ata_cmd *cmd);
void vornata_fill_get_native_max_address_ext(huld_ata_cmd *cmd);
void vornata_fill_identify_device(huld_ata_cmd *cmd, void *buffer, uint32_t length);
void vornata_fill_read_dma_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer, uint32_t length);
void vornata_fill_read_log_dma_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                   uint8_t log_address, uint16_t page_number, void *buffer,
                                   uint32_t length);
void vornata_fill_read_log_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                               uint8_t log_address, uint16_t page_number, void *buffer,
                               uint32_t length);
void vornata_fill_read_native_max_address_ext(huld_ata_cmd *cmd);
void vornata_fill_read_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer, uint32_t length);
void vornata_fill_read_verify_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, uint16_t count);
void vornata_fill_sanitize_block_erase_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                           uint8_t failure_mode);
void vornata_fill_sanitize_crypto_scramble_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                               uint8_t failure_mode);
void vornata_fill_sanitize_overwrite_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                         uint8_t invert_pattern, uint8_t definitive_ending_pattern,
                                         uint8_t failure_mode, uint8_t pass_count,
                                         uint32_t pattern);
void vornata_fill_sanitize_status_ext(huld_ata_cmd *cmd, uint8_t clear_failure);
// The security builders carry a payload that the caller filled with the payload fills above.
void vornata_fill_security_disable_password(huld_ata_cmd *cmd, void *payload, uint32_t length);
void vornata_fill_security_erase_prepare(huld_ata_cmd *cmd);
void vornata_fill_security_erase_unit(huld_ata_cmd *cmd, void *payload, uint32_t length);
void vornata_fill_security_freeze_lock(huld_ata_cmd *cmd);
void vornata_fill_security_set_password(huld_ata_cmd *cmd, void *payload, uint32_t length);
void vornata_fill_security_unlock(huld_ata_cmd *cmd, void *payload, uint32_t length);
void vornata_fill_set_accessible_max_address_ext(huld_ata_cmd *cmd, uint64_t lba);
void vornata_fill_set_max_address_ext(huld_ata_cmd *cmd, uint8_t value_volatile, uint64_t lba);
void vornata_fill_smart_disable_operations(huld_ata_cmd *cmd);
void vornata_fill_smart_enable_operations(huld_ata_cmd *cmd);
void vornata_fill_smart_execute_off_line_immediate(huld_ata_cmd *cmd, uint8_t subcommand);
void vornata_fill_smart_read_data(huld_ata_cmd *cmd, void *buffer, uint32_t length);
void vornata_fill_smart_read_log(huld_ata_cmd *cmd, uint8_t count, uint8_t log_address,
                                 void *buffer, uint32_t length);
void vornata_fill_smart_read_thresholds(huld_ata_cmd *cmd, void *buffer, uint32_t length);
void vornata_fill_smart_return_status(huld_ata_cmd *cmd);
void vornata_fill_smart_write_log(huld_ata_cmd *cmd, uint8_t count, uint8_t log_address,
                                  void *buffer, uint32_t length);
void vornata_fill_standby_immediate(huld_ata_cmd *cmd);
void vornata_fill_trusted_receive(huld_ata_cmd *cmd, uint16_t security_protocol,
                                  uint16_t protocol_specific, void *buffer, uint32_t length);
void vornata_fill_trusted_send(huld_ata_cmd *cmd, uint16_t security_protocol,
                               uint16_t protocol_specific, void *buffer, uint32_t length);
void vornata_fill_write_dma_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer, uint32_t length);
void vornata_fill_write_log_dma_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                    uint8_t log_address, uint16_t page_number, void *buffer,
                                    uint32_t length);
void vornata_fill_write_log_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                uint8_t log_address, uint16_t page_number, void *buffer,
                                uint32_t length);
void vornata_fill_write_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer,
                                    uint32_t length);

// ----- executors -----
int vornata_execute_check_power_mode(huld_error *err, huld_dev *dev, uint8_t *out);
int vornata_execute_data_set_management(huld_error *err, huld_dev *dev, uint8_t feature_high,
                                        uint8_t feature_low, uint16_t count, uint32_t lba,
                                        void *buffer, uint32_t length);
int vornata_execute_data_set_management_xl(huld_error *err, huld_dev *dev, uint8_t feature_high,
                                           uint8_t feature_low, uint16_t count, uint64_t lba,
                                           void *buffer, uint32_t length);
int vornata_execute_download_microcode(huld_error *err, huld_dev *dev, uint8_t mode,
                                       uint16_t block_count, uint16_t buffer_offset, void *buffer,
                                       uint32_t length);
int vornata_execute_download_microcode_dma(huld_error *err, huld_dev *dev, uint8_t mode,
                                           uint16_t block_count, uint16_t buffer_offset,
                                           void *buffer, uint32_t length);
int vornata_execute_flush_cache(huld_error *err, huld_dev *dev);
int vornata_execute_flush_cache_ext(huld_error *err, huld_dev *dev);
int vornata_execute_get_native_max_address_ext(huld_error *err, huld_dev *dev, uint64_t *out);
int vornata_execute_identify_device(huld_error *err, huld_dev *dev, void *buffer, uint32_t length);
int vornata_execute_read_dma_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                 uint32_t length);
int vornata_execute_read_log_dma_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                     uint16_t page_count, uint8_t log_address,
                                     uint16_t page_number, void *buffer, uint32_t length);
int vornata_execute_read_log_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                 uint16_t page_count, uint8_t log_address, uint16_t page_number,
                                 void *buffer, uint32_t length);
int vornata_execute_read_native_max_address_ext(huld_error *err, huld_dev *dev, uint64_t *out);
int vornata_execute_read_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                     uint32_t length);
int vornata_execute_read_verify_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba,
                                            uint16_t count);
int vornata_execute_sanitize_block_erase_ext(huld_error *err, huld_dev *dev,
                                             vornata_sanitize_status *status,
                                             uint8_t zoned_no_reset, uint8_t failure_mode);
int vornata_execute_sanitize_crypto_scramble_ext(huld_error *err, huld_dev *dev,
                                                 vornata_sanitize_status *status,
                                                 uint8_t zoned_no_reset, uint8_t failure_mode);
int vornata_execute_sanitize_overwrite_ext(huld_error *err, huld_dev *dev,
                                           vornata_sanitize_status *status, uint8_t zoned_no_reset,
                                           uint8_t invert_pattern,
                                           uint8_t definitive_ending_pattern, uint8_t failure_mode,
                                           uint8_t pass_count, uint32_t pattern);
int vornata_execute_sanitize_status_ext(huld_error *err, huld_dev *dev,
                                        vornata_sanitize_status *status, uint8_t clear_failure);
int vornata_execute_security_disable_password(huld_error *err, huld_dev *dev,
                                              const uint8_t *password, uint32_t password_len,
                                              uint8_t identifier);
int vornata_execute_security_erase_prepare(huld_error *err, huld_dev *dev);
int vornata_execute_security_erase_unit(huld_error *err, huld_dev *dev, const uint8_t *password,
                                        uint32_t password_len, uint8_t identifier,
                                        uint8_t enhanced);
int vornata_execute_security_freeze_lock(huld_error *err, huld_dev *dev);
int vornata_execute_security_set_password(huld_error *err, huld_dev *dev, const uint8_t *password,
                                          uint32_t password_len, uint8_t identifier,
                                          uint8_t level_maximum);
int vornata_execute_security_unlock(huld_error *err, huld_dev *dev, const uint8_t *password,
                                    uint32_t password_len, uint8_t identifier);
int vornata_execute_set_accessible_max_address_ext(huld_error *err, huld_dev *dev, uint64_t lba);
int vornata_execute_set_max_address_ext(huld_error *err, huld_dev *dev, uint8_t value_volatile,
                                        uint64_t lba);
int vornata_execute_smart_disable_operations(huld_error *err, huld_dev *dev);
int vornata_execute_smart_enable_operations(huld_error *err, huld_dev *dev);
int vornata_execute_smart_execute_off_line_immediate(huld_error *err, huld_dev *dev,
                                                     uint8_t subcommand);
int vornata_execute_smart_read_data(huld_error *err, huld_dev *dev, void *buffer, uint32_t length);
int vornata_execute_smart_read_log(huld_error *err, huld_dev *dev, uint8_t count,
                                   uint8_t log_address, void *buffer, uint32_t length);
int vornata_execute_smart_read_thresholds(huld_error *err, huld_dev *dev, void *buffer,
                                          uint32_t length);
// *out receives (LBA >> 8) & FFFFh as soon as the command ran (C24Fh normal, 2CF4h threshold
// exceeded; judge it with vornata_check_smart_return_status).
int vornata_execute_smart_return_status(huld_error *err, huld_dev *dev, uint16_t *out);
int vornata_execute_smart_write_log(huld_error *err, huld_dev *dev, uint8_t count,
                                    uint8_t log_address, void *buffer, uint32_t length);
int vornata_execute_standby_immediate(huld_error *err, huld_dev *dev);
int vornata_execute_trusted_receive(huld_error *err, huld_dev *dev, uint16_t security_protocol,
                                    uint16_t protocol_specific, void *buffer, uint32_t length);
int vornata_execute_trusted_send(huld_error *err, huld_dev *dev, uint16_t security_protocol,
                                 uint16_t protocol_specific, void *buffer, uint32_t length);
int vornata_execute_write_dma_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                  uint32_t length);
int vornata_execute_write_log_dma_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                      uint16_t page_count, uint8_t log_address,
                                      uint16_t page_number, void *buffer, uint32_t length);
int vornata_execute_write_log_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                  uint16_t page_count, uint8_t log_address, uint16_t page_number,
                                  void *buffer, uint32_t length);
int vornata_execute_write_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                      uint32_t length);

// The SCSI command set: one builder (vornscsi_fill_*) and one executor (vornscsi_execute_*) per
// command. A builder zeroes the record and fills the CDB (multi-byte fields big-endian, each
// argument masked to its field), the buffer, the direction, a sense length of 32 and the
// default time-out. An executor builds the record on its own stack, runs it through
// huld_scsi_execute and judges it with vornscsi_check_error; the data arrive in the caller's
// buffer.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_scsi.h"

// Default time-out of every SCSI builder, in milliseconds.
extern const uint32_t vornscsi_default_timeout_ms;

// ----- builders -----
void vornscsi_fill_format_unit(huld_scsi_cmd *cmd, uint8_t fmtpinfo, uint8_t longlist,
                               uint8_t fmtdata, uint8_t cmplst, uint8_t defect_list_format,
                               uint8_t vendor_specific, uint8_t ffmt, void *buffer,
                               uint32_t length);
void vornscsi_fill_inquiry(huld_scsi_cmd *cmd, uint8_t evpd, uint8_t page_code, void *buffer,
                           uint32_t length);
void vornscsi_fill_log_sense(huld_scsi_cmd *cmd, uint8_t sp, uint8_t page_control,
                             uint8_t page_code, uint8_t subpage_code, uint16_t parameter_pointer,
                             uint16_t allocation_length, void *buffer, uint32_t length);
void vornscsi_fill_mode_select_10(huld_scsi_cmd *cmd, uint8_t pf, uint8_t rtd, uint8_t sp,
                                  void *buffer, uint32_t length);
void vornscsi_fill_mode_sense_10(huld_scsi_cmd *cmd, uint8_t llbaa, uint8_t dbd,
                                 uint8_t page_control, uint8_t page_code, uint8_t subpage_code,
                                 void *buffer, uint32_t length);
void vornscsi_fill_read_16(huld_scsi_cmd *cmd, uint8_t rdprotect, uint8_t dpo, uint8_t fua,
                           uint8_t rarc, uint8_t dld, uint64_t lba, uint32_t transfer_length,
                           uint8_t group_number, void *buffer, uint32_t length);
void vornscsi_fill_read_buffer(huld_scsi_cmd *cmd, uint8_t mode_specific, uint8_t mode,
                               uint8_t buffer_id, uint32_t buffer_offset, void *buffer,
                               uint32_t length);
void vornscsi_fill_read_capacity(huld_scsi_cmd *cmd, void *buffer, uint32_t length);
void vornscsi_fill_read_capacity_10(huld_scsi_cmd *cmd, void *buffer, uint32_t length);
void vornscsi_fill_receive_diagnostic_results(huld_scsi_cmd *cmd, uint8_t pcv, uint8_t page_code,
                                              void *buffer, uint32_t length);
void vornscsi_fill_report_supported_opcodes(huld_scsi_cmd *cmd, void *buffer, uint32_t length);
void vornscsi_fill_request_sense(huld_scsi_cmd *cmd, uint8_t descriptor_format, void *buffer,
                                 uint32_t length);
void vornscsi_fill_sanitize(huld_scsi_cmd *cmd, uint8_t immed, uint8_t znr, uint8_t ause,
                            uint8_t service_action, void *buffer, uint32_t length);
void vornscsi_fill_security_protocol_in(huld_scsi_cmd *cmd, uint8_t security_protocol,
                                        uint16_t protocol_specific, void *buffer,
                                        uint32_t length);
void vornscsi_fill_security_protocol_out(huld_scsi_cmd *cmd, uint8_t security_protocol,
                                         uint16_t protocol_specific, void *buffer,
                                         uint32_t length);
void vornscsi_fill_send_diagnostic(huld_scsi_cmd *cmd, uint8_t self_test_code, uint8_t pf,
                                   uint8_t selftest, uint8_t devoffl, uint8_t unitoffl,
                                   void *buffer, uint32_t length);
void vornscsi_fill_start_stop_unit(huld_scsi_cmd *cmd, uint8_t byte4);
void vornscsi_fill_synchronize_cache(huld_scsi_cmd *cmd);
void vornscsi_fill_test_unit_ready(huld_scsi_cmd *cmd);
void vornscsi_fill_unmap(huld_scsi_cmd *cmd, uint8_t anchor, uint8_t group_number,
                         uint16_t parameter_list_length, void *buffer, uint32_t length);
void vornscsi_fill_write_16(huld_scsi_cmd *cmd, uint8_t wrprotect, uint8_t dpo, uint8_t fua,
                            uint8_t dld, uint64_t lba, uint32_t transfer_length,
                            uint8_t group_number, void *buffer, uint32_t length);
void vornscsi_fill_write_buffer(huld_scsi_cmd *cmd, uint8_t mode, uint32_t parameter_list_length,
                                uint32_t buffer_offset, void *buffer, uint32_t length);

// ----- executors -----
int vornscsi_execute_format_unit(huld_error *err, huld_dev *dev, uint8_t fmtpinfo,
                                 uint8_t longlist, uint8_t fmtdata, uint8_t cmplst,
                                 uint8_t defect_list_format, uint8_t vendor_specific,
                                 uint8_t ffmt, void *buffer, uint32_t length);
int vornscsi_execute_inquiry(huld_error *err, huld_dev *dev, uint8_t evpd, uint8_t page_code,
                             void *buffer, uint32_t length);
int vornscsi_execute_log_sense(huld_error *err, huld_dev *dev, uint8_t sp, uint8_t page_control,
                               uint8_t page_code, uint8_t subpage_code,
                               uint16_t parameter_pointer, uint16_t allocation_length,
                               void *buffer, uint32_t length);
int vornscsi_execute_mode_select_10(huld_error *err, huld_dev *dev, uint8_t pf, uint8_t rtd,
                                    uint8_t sp, void *buffer, uint32_t length);
int vornscsi_execute_mode_sense_10(huld_error *err, huld_dev *dev, uint8_t llbaa, uint8_t dbd,
                                   uint8_t page_control, uint8_t page_code, uint8_t subpage_code,
                                   void *buffer, uint32_t length);
int vornscsi_execute_read_16(huld_error *err, huld_dev *dev, uint8_t rdprotect, uint8_t dpo,
                             uint8_t fua, uint8_t rarc, uint8_t dld, uint64_t lba,
                             uint32_t transfer_length, uint8_t group_number, void *buffer,
                             uint32_t length);
int vornscsi_execute_read_buffer(huld_error *err, huld_dev *dev, uint8_t mode_specific,
                                 uint8_t mode, uint8_t buffer_id, uint32_t buffer_offset,
                                 void *buffer, uint32_t length);
int vornscsi_execute_read_capacity(huld_error *err, huld_dev *dev, void *buffer, uint32_t length);
int vornscsi_execute_read_capacity_10(huld_error *err, huld_dev *dev, void *buffer,
                                      uint32_t length);
int vornscsi_execute_receive_diagnostic_results(huld_error *err, huld_dev *dev, uint8_t pcv,
                                                uint8_t page_code, void *buffer, uint32_t length);
int vornscsi_execute_report_supported_opcodes(huld_error *err, huld_dev *dev, void *buffer,
                                              uint32_t length);
int vornscsi_execute_request_sense(huld_error *err, huld_dev *dev, uint8_t descriptor_format,
                                   void *buffer, uint32_t length);
int vornscsi_execute_sanitize(huld_error *err, huld_dev *dev, uint8_t immed, uint8_t znr,
                              uint8_t ause, uint8_t service_action, void *buffer,
                              uint32_t length);
int vornscsi_execute_security_protocol_in(huld_error *err, huld_dev *dev,
                                          uint8_t security_protocol, uint16_t protocol_specific,
                                          void *buffer, uint32_t length);
int vornscsi_execute_security_protocol_out(huld_error *err, huld_dev *dev,
                                           uint8_t security_protocol, uint16_t protocol_specific,
                                           void *buffer, uint32_t length);
int vornscsi_execute_send_diagnostic(huld_error *err, huld_dev *dev, uint8_t self_test_code,
                                     uint8_t pf, uint8_t selftest, uint8_t devoffl,
                                     uint8_t unitoffl, void *buffer, uint32_t length);
int vornscsi_execute_start_stop_unit(huld_error *err, huld_dev *dev, uint8_t byte4);
int vornscsi_execute_synchronize_cache(huld_error *err, huld_dev *dev);
int vornscsi_execute_test_unit_ready(huld_error *err, huld_dev *dev);
int vornscsi_execute_unmap(huld_error *err, huld_dev *dev, uint8_t anchor, uint8_t group_number,
                           uint16_t parameter_list_length, void *buffer, uint32_t length);
int vornscsi_execute_write_16(huld_error *err, huld_dev *dev, uint8_t wrprotect, uint8_t dpo,
                              uint8_t fua, uint8_t dld, uint64_t lba, uint32_t transfer_length,
                              uint8_t group_number, void *buffer, uint32_t length);
int vornscsi_execute_write_buffer(huld_error *err, huld_dev *dev, uint8_t mode,
                                  uint32_t parameter_list_length, uint32_t buffer_offset,
                                  void *buffer, uint32_t length);

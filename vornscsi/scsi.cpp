// SCSI builders and executors.
#define HULD_MODULE "vornscsi\\scsi"

#include "vornscsi/scsi.h"

#include <cstring>

#include "huld/huld_util.h"
#include "vornscsi/errors.h"

const uint32_t vornscsi_default_timeout_ms = 30000;

namespace {

// Zeroes the record and sets the CDB length, buffer, direction, sense length and time-out.
uint8_t *start(huld_scsi_cmd *cmd, uint32_t cdb_len, void *buffer, uint32_t length,
               uint32_t ddir) {
  memset(cmd, 0, sizeof(*cmd));
  cmd->cdb_len = cdb_len;
  cmd->data = buffer;
  cmd->data_len = length;
  cmd->ddir = ddir;
  cmd->sense_len = HULD_SCSI_SENSE_SIZE;
  cmd->timeout_ms = vornscsi_default_timeout_ms;
  return cmd->cdb;
}

// `value` masked to `width` bits and shifted into its place in a CDB byte.
constexpr uint8_t bits(uint32_t value, uint32_t shift, uint32_t width) {
  return static_cast<uint8_t>((value & ((1u << width) - 1)) << shift);
}

void put_be24(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}

int run(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd) {
  if (huld_scsi_execute(err, dev, cmd)) return 1;
  return vornscsi_check_error(err, cmd);
}

// A value that its CDB field cannot hold would go out cut to the field (a 64 KiB allocation
// length as 0): refused before anything is sent.
int check_width(huld_error *err, const char *function, const char *field, uint64_t value,
                uint32_t bits) {
  if (value < (1ull << bits)) return 0;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "%s %llu does not fit its %u-bit field", field,
                        static_cast<unsigned long long>(value), bits);
}

// A length field that asks the device to move more than the buffer holds: refused.
int check_within(huld_error *err, const char *function, const char *field, uint64_t value,
                 uint32_t length) {
  if (value <= length) return 0;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "%s %llu exceeds the buffer of %u bytes", field,
                        static_cast<unsigned long long>(value), length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------------------------

void vornscsi_fill_format_unit(huld_scsi_cmd *cmd, uint8_t fmtpinfo, uint8_t longlist,
                               uint8_t fmtdata, uint8_t cmplst, uint8_t defect_list_format,
                               uint8_t vendor_specific, uint8_t ffmt, void *buffer,
                               uint32_t length) {
  uint8_t *cdb = start(cmd, 6, buffer, length, length != 0 ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE);
  cdb[0] = 0x04;
  cdb[1] = bits(fmtpinfo, 6, 2) | bits(longlist, 5, 1) | bits(fmtdata, 4, 1) |
           bits(cmplst, 3, 1) | bits(defect_list_format, 0, 3);
  cdb[2] = vendor_specific;
  cdb[4] = bits(ffmt, 0, 2);
}

void vornscsi_fill_inquiry(huld_scsi_cmd *cmd, uint8_t evpd, uint8_t page_code, void *buffer,
                           uint32_t length) {
  uint8_t *cdb = start(cmd, 6, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x12;
  if (evpd != 0) {
    cdb[1] = 0x01;
    cdb[2] = page_code;
  }
  huld_put_be16(cdb + 3, static_cast<uint16_t>(length));
}

void vornscsi_fill_log_sense(huld_scsi_cmd *cmd, uint8_t sp, uint8_t page_control,
                             uint8_t page_code, uint8_t subpage_code, uint16_t parameter_pointer,
                             uint16_t allocation_length, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x4D;
  cdb[1] = bits(sp, 0, 1);
  cdb[2] = bits(page_control, 6, 2) | bits(page_code, 0, 6);
  cdb[3] = subpage_code;
  huld_put_be16(cdb + 5, parameter_pointer);
  huld_put_be16(cdb + 7, allocation_length);
}

void vornscsi_fill_mode_select_10(huld_scsi_cmd *cmd, uint8_t pf, uint8_t rtd, uint8_t sp,
                                  void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_TO_DEVICE);
  cdb[0] = 0x55;
  cdb[1] = bits(pf, 4, 1) | bits(rtd, 1, 1) | bits(sp, 0, 1);
  huld_put_be16(cdb + 7, static_cast<uint16_t>(length));
}

void vornscsi_fill_mode_sense_10(huld_scsi_cmd *cmd, uint8_t llbaa, uint8_t dbd,
                                 uint8_t page_control, uint8_t page_code, uint8_t subpage_code,
                                 void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x5A;
  cdb[1] = bits(llbaa, 4, 1) | bits(dbd, 3, 1);
  cdb[2] = bits(page_control, 6, 2) | bits(page_code, 0, 6);
  cdb[3] = subpage_code;
  huld_put_be16(cdb + 7, static_cast<uint16_t>(length));
}

namespace {
void fill_rw16(huld_scsi_cmd *cmd, uint8_t opcode, uint8_t byte1, uint8_t dld, uint64_t lba,
               uint32_t transfer_length, uint8_t group_number, void *buffer, uint32_t length,
               uint32_t ddir) {
  uint8_t *cdb = start(cmd, 16, buffer, length, ddir);
  cdb[0] = opcode;
  cdb[1] = byte1 | bits(dld >> 2, 0, 1);
  huld_put_be64(cdb + 2, lba);
  huld_put_be32(cdb + 10, transfer_length);
  cdb[14] = bits(dld, 6, 2) | bits(group_number, 0, 6);
}
}  // namespace

void vornscsi_fill_read_16(huld_scsi_cmd *cmd, uint8_t rdprotect, uint8_t dpo, uint8_t fua,
                           uint8_t rarc, uint8_t dld, uint64_t lba, uint32_t transfer_length,
                           uint8_t group_number, void *buffer, uint32_t length) {
  uint8_t byte1 = bits(rdprotect, 5, 3) | bits(dpo, 4, 1) | bits(fua, 3, 1) | bits(rarc, 2, 1);
  fill_rw16(cmd, 0x88, byte1, dld, lba, transfer_length, group_number, buffer, length,
            HULD_DDIR_FROM_DEVICE);
}

void vornscsi_fill_read_buffer(huld_scsi_cmd *cmd, uint8_t mode_specific, uint8_t mode,
                               uint8_t buffer_id, uint32_t buffer_offset, void *buffer,
                               uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x3C;
  cdb[1] = bits(mode_specific, 5, 3) | bits(mode, 0, 5);
  cdb[2] = buffer_id;
  put_be24(cdb + 3, buffer_offset);
  put_be24(cdb + 6, length);
}

void vornscsi_fill_read_capacity(huld_scsi_cmd *cmd, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 16, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x9E;
  cdb[1] = 0x10;
  huld_put_be32(cdb + 10, length);
}

void vornscsi_fill_read_capacity_10(huld_scsi_cmd *cmd, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x25;
}

void vornscsi_fill_receive_diagnostic_results(huld_scsi_cmd *cmd, uint8_t pcv, uint8_t page_code,
                                              void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 6, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x1C;
  if (pcv != 0) {
    cdb[1] = 0x01;
    cdb[2] = page_code;
  }
  huld_put_be16(cdb + 3, static_cast<uint16_t>(length));
}

void vornscsi_fill_report_supported_opcodes(huld_scsi_cmd *cmd, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 12, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0xA3;
  cdb[1] = 0x0C;
  huld_put_be32(cdb + 6, length);
}

void vornscsi_fill_request_sense(huld_scsi_cmd *cmd, uint8_t descriptor_format, void *buffer,
                                 uint32_t length) {
  uint8_t *cdb = start(cmd, 6, buffer, length, HULD_DDIR_FROM_DEVICE);
  cdb[0] = 0x03;
  cdb[1] = descriptor_format;
  cdb[4] = static_cast<uint8_t>(length & 0xFF);
}

void vornscsi_fill_sanitize(huld_scsi_cmd *cmd, uint8_t immed, uint8_t znr, uint8_t ause,
                            uint8_t service_action, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, length != 0 ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE);
  cdb[0] = 0x48;
  cdb[1] = static_cast<uint8_t>((immed ? 0x80 : 0) | (znr ? 0x40 : 0) | (ause ? 0x20 : 0)) |
           bits(service_action, 0, 5);
  huld_put_be16(cdb + 7, static_cast<uint16_t>(length));
}

namespace {
void fill_security(huld_scsi_cmd *cmd, uint8_t opcode, uint8_t security_protocol,
                   uint16_t protocol_specific, void *buffer, uint32_t length, uint32_t ddir) {
  uint8_t *cdb = start(cmd, 12, buffer, length, ddir);
  cdb[0] = opcode;
  cdb[1] = security_protocol;
  huld_put_be16(cdb + 2, protocol_specific);
  huld_put_be32(cdb + 6, length);
}
}  // namespace

void vornscsi_fill_security_protocol_in(huld_scsi_cmd *cmd, uint8_t security_protocol,
                                        uint16_t protocol_specific, void *buffer,
                                        uint32_t length) {
  fill_security(cmd, 0xA2, security_protocol, protocol_specific, buffer, length,
                HULD_DDIR_FROM_DEVICE);
}

void vornscsi_fill_security_protocol_out(huld_scsi_cmd *cmd, uint8_t security_protocol,
                                         uint16_t protocol_specific, void *buffer,
                                         uint32_t length) {
  fill_security(cmd, 0xB5, security_protocol, protocol_specific, buffer, length,
                HULD_DDIR_TO_DEVICE);
}

void vornscsi_fill_send_diagnostic(huld_scsi_cmd *cmd, uint8_t self_test_code, uint8_t pf,
                                   uint8_t selftest, uint8_t devoffl, uint8_t unitoffl,
                                   void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 6, buffer, length, HULD_DDIR_TO_DEVICE);
  cdb[0] = 0x1D;
  cdb[1] = bits(self_test_code, 5, 3) | bits(pf, 4, 1) | bits(selftest, 2, 1) |
           bits(devoffl, 1, 1) | bits(unitoffl, 0, 1);
  huld_put_be16(cdb + 3, static_cast<uint16_t>(length));
}

void vornscsi_fill_start_stop_unit(huld_scsi_cmd *cmd, uint8_t byte4) {
  uint8_t *cdb = start(cmd, 6, nullptr, 0, HULD_DDIR_NONE);
  cdb[0] = 0x1B;
  cdb[4] = byte4;
}

void vornscsi_fill_synchronize_cache(huld_scsi_cmd *cmd) {
  uint8_t *cdb = start(cmd, 16, nullptr, 0, HULD_DDIR_NONE);
  cdb[0] = 0x91;
}

void vornscsi_fill_test_unit_ready(huld_scsi_cmd *cmd) { start(cmd, 6, nullptr, 0, HULD_DDIR_NONE); }

void vornscsi_fill_unmap(huld_scsi_cmd *cmd, uint8_t anchor, uint8_t group_number,
                         uint16_t parameter_list_length, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_TO_DEVICE);
  cdb[0] = 0x42;
  cdb[1] = bits(anchor, 0, 1);
  cdb[6] = bits(group_number, 0, 6);
  huld_put_be16(cdb + 7, parameter_list_length);
}

void vornscsi_fill_write_16(huld_scsi_cmd *cmd, uint8_t wrprotect, uint8_t dpo, uint8_t fua,
                            uint8_t dld, uint64_t lba, uint32_t transfer_length,
                            uint8_t group_number, void *buffer, uint32_t length) {
  uint8_t byte1 = bits(wrprotect, 5, 3) | bits(dpo, 4, 1) | bits(fua, 3, 1);
  fill_rw16(cmd, 0x8A, byte1, dld, lba, transfer_length, group_number, buffer, length,
            HULD_DDIR_TO_DEVICE);
}

void vornscsi_fill_write_buffer(huld_scsi_cmd *cmd, uint8_t mode, uint32_t parameter_list_length,
                                uint32_t buffer_offset, void *buffer, uint32_t length) {
  uint8_t *cdb = start(cmd, 10, buffer, length, HULD_DDIR_TO_DEVICE);
  cdb[0] = 0x3B;
  cdb[1] = bits(mode, 0, 5);
  cdb[2] = 0;  // buffer id
  put_be24(cdb + 3, buffer_offset);
  put_be24(cdb + 6, parameter_list_length);
}

// ---------------------------------------------------------------------------------------------
// Executors
// ---------------------------------------------------------------------------------------------

#define VORNSCSI_EXECUTE(fill_call) \
  huld_scsi_cmd cmd;                \
  fill_call;                        \
  return run(err, dev, &cmd)

int vornscsi_execute_format_unit(huld_error *err, huld_dev *dev, uint8_t fmtpinfo,
                                 uint8_t longlist, uint8_t fmtdata, uint8_t cmplst,
                                 uint8_t defect_list_format, uint8_t vendor_specific,
                                 uint8_t ffmt, void *buffer, uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_format_unit(&cmd, fmtpinfo, longlist, fmtdata, cmplst,
                                             defect_list_format, vendor_specific, ffmt, buffer,
                                             length));
}

int vornscsi_execute_inquiry(huld_error *err, huld_dev *dev, uint8_t evpd, uint8_t page_code,
                             void *buffer, uint32_t length) {
  if (check_width(err, __func__, "allocation length", length, 16)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_inquiry(&cmd, evpd, page_code, buffer, length));
}

int vornscsi_execute_log_sense(huld_error *err, huld_dev *dev, uint8_t sp, uint8_t page_control,
                               uint8_t page_code, uint8_t subpage_code,
                               uint16_t parameter_pointer, uint16_t allocation_length,
                               void *buffer, uint32_t length) {
  if (check_within(err, __func__, "allocation length", allocation_length, length)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_log_sense(&cmd, sp, page_control, page_code, subpage_code,
                                           parameter_pointer, allocation_length, buffer, length));
}

int vornscsi_execute_mode_select_10(huld_error *err, huld_dev *dev, uint8_t pf, uint8_t rtd,
                                    uint8_t sp, void *buffer, uint32_t length) {
  if (check_width(err, __func__, "parameter list length", length, 16)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_mode_select_10(&cmd, pf, rtd, sp, buffer, length));
}

int vornscsi_execute_mode_sense_10(huld_error *err, huld_dev *dev, uint8_t llbaa, uint8_t dbd,
                                   uint8_t page_control, uint8_t page_code, uint8_t subpage_code,
                                   void *buffer, uint32_t length) {
  if (check_width(err, __func__, "allocation length", length, 16)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_mode_sense_10(&cmd, llbaa, dbd, page_control, page_code,
                                               subpage_code, buffer, length));
}

int vornscsi_execute_read_16(huld_error *err, huld_dev *dev, uint8_t rdprotect, uint8_t dpo,
                             uint8_t fua, uint8_t rarc, uint8_t dld, uint64_t lba,
                             uint32_t transfer_length, uint8_t group_number, void *buffer,
                             uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_read_16(&cmd, rdprotect, dpo, fua, rarc, dld, lba,
                                         transfer_length, group_number, buffer, length));
}

int vornscsi_execute_read_buffer(huld_error *err, huld_dev *dev, uint8_t mode_specific,
                                 uint8_t mode, uint8_t buffer_id, uint32_t buffer_offset,
                                 void *buffer, uint32_t length) {
  if (check_width(err, __func__, "allocation length", length, 24) ||
      check_width(err, __func__, "buffer offset", buffer_offset, 24)) {
    return 1;
  }
  VORNSCSI_EXECUTE(
      vornscsi_fill_read_buffer(&cmd, mode_specific, mode, buffer_id, buffer_offset, buffer, length));
}

int vornscsi_execute_read_capacity(huld_error *err, huld_dev *dev, void *buffer, uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_read_capacity(&cmd, buffer, length));
}

int vornscsi_execute_read_capacity_10(huld_error *err, huld_dev *dev, void *buffer,
                                      uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_read_capacity_10(&cmd, buffer, length));
}

int vornscsi_execute_receive_diagnostic_results(huld_error *err, huld_dev *dev, uint8_t pcv,
                                                uint8_t page_code, void *buffer, uint32_t length) {
  if (check_width(err, __func__, "allocation length", length, 16)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_receive_diagnostic_results(&cmd, pcv, page_code, buffer, length));
}

int vornscsi_execute_report_supported_opcodes(huld_error *err, huld_dev *dev, void *buffer,
                                              uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_report_supported_opcodes(&cmd, buffer, length));
}

int vornscsi_execute_request_sense(huld_error *err, huld_dev *dev, uint8_t descriptor_format,
                                   void *buffer, uint32_t length) {
  if (check_width(err, __func__, "allocation length", length, 8)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_request_sense(&cmd, descriptor_format, buffer, length));
}

int vornscsi_execute_sanitize(huld_error *err, huld_dev *dev, uint8_t immed, uint8_t znr,
                              uint8_t ause, uint8_t service_action, void *buffer,
                              uint32_t length) {
  if (check_width(err, __func__, "parameter list length", length, 16)) return 1;
  VORNSCSI_EXECUTE(
      vornscsi_fill_sanitize(&cmd, immed, znr, ause, service_action, buffer, length));
}

int vornscsi_execute_security_protocol_in(huld_error *err, huld_dev *dev,
                                          uint8_t security_protocol, uint16_t protocol_specific,
                                          void *buffer, uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_security_protocol_in(&cmd, security_protocol, protocol_specific,
                                                      buffer, length));
}

int vornscsi_execute_security_protocol_out(huld_error *err, huld_dev *dev,
                                           uint8_t security_protocol, uint16_t protocol_specific,
                                           void *buffer, uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_security_protocol_out(&cmd, security_protocol, protocol_specific,
                                                       buffer, length));
}

int vornscsi_execute_send_diagnostic(huld_error *err, huld_dev *dev, uint8_t self_test_code,
                                     uint8_t pf, uint8_t selftest, uint8_t devoffl,
                                     uint8_t unitoffl, void *buffer, uint32_t length) {
  if (check_width(err, __func__, "parameter list length", length, 16)) return 1;
  VORNSCSI_EXECUTE(vornscsi_fill_send_diagnostic(&cmd, self_test_code, pf, selftest, devoffl,
                                                 unitoffl, buffer, length));
}

int vornscsi_execute_start_stop_unit(huld_error *err, huld_dev *dev, uint8_t byte4) {
  VORNSCSI_EXECUTE(vornscsi_fill_start_stop_unit(&cmd, byte4));
}

int vornscsi_execute_synchronize_cache(huld_error *err, huld_dev *dev) {
  VORNSCSI_EXECUTE(vornscsi_fill_synchronize_cache(&cmd));
}

int vornscsi_execute_test_unit_ready(huld_error *err, huld_dev *dev) {
  VORNSCSI_EXECUTE(vornscsi_fill_test_unit_ready(&cmd));
}

int vornscsi_execute_unmap(huld_error *err, huld_dev *dev, uint8_t anchor, uint8_t group_number,
                           uint16_t parameter_list_length, void *buffer, uint32_t length) {
  if (check_within(err, __func__, "parameter list length", parameter_list_length, length)) return 1;
  VORNSCSI_EXECUTE(
      vornscsi_fill_unmap(&cmd, anchor, group_number, parameter_list_length, buffer, length));
}

int vornscsi_execute_write_16(huld_error *err, huld_dev *dev, uint8_t wrprotect, uint8_t dpo,
                              uint8_t fua, uint8_t dld, uint64_t lba, uint32_t transfer_length,
                              uint8_t group_number, void *buffer, uint32_t length) {
  VORNSCSI_EXECUTE(vornscsi_fill_write_16(&cmd, wrprotect, dpo, fua, dld, lba, transfer_length,
                                          group_number, buffer, length));
}

int vornscsi_execute_write_buffer(huld_error *err, huld_dev *dev, uint8_t mode,
                                  uint32_t parameter_list_length, uint32_t buffer_offset,
                                  void *buffer, uint32_t length) {
  if (check_width(err, __func__, "parameter list length", parameter_list_length, 24) ||
      check_width(err, __func__, "buffer offset", buffer_offset, 24) ||
      check_within(err, __func__, "parameter list length", parameter_list_length, length)) {
    return 1;
  }
  VORNSCSI_EXECUTE(vornscsi_fill_write_buffer(&cmd, mode, parameter_list_length, buffer_offset,
                                              buffer, length));
}

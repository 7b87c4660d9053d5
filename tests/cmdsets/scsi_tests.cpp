// SCSI command set: CDBs the builders make, the status / sense / SAT register judgement, and the
// parsers over INQUIRY, VPD, log, capacity, opcode and sense data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim_bridge.h"
#include "vornata/ata.h"
#include "vornscsi/errors.h"
#include "vornscsi/parse.h"
#include "vornscsi/scsi.h"
#include "tests/support/huld_error_line.h"

using cmdsets_test::failed_with;
using cmdsets_test::fresh_error;
using cmdsets_test::got;
using cmdsets_test::got_str;
using cmdsets_test::run_on;

namespace {

std::vector<uint8_t> cdb_of(const huld_scsi_cmd &cmd) {
  return std::vector<uint8_t>(cmd.cdb, cmd.cdb + cmd.cdb_len);
}

// The CDB bytes in hexadecimal, its length and the data direction, on one line.
std::string cdb_line(const huld_scsi_cmd &cmd) {
  std::string s;
  char b[8];
  for (uint32_t i = 0; i < cmd.cdb_len && i < sizeof(cmd.cdb); ++i) {
    std::snprintf(b, sizeof b, "%02x ", cmd.cdb[i]);
    s += b;
  }
  return s + "len " + std::to_string(cmd.cdb_len) + " ddir " + std::to_string(cmd.ddir);
}

std::vector<uint8_t> inquiry(sim::ScsiTarget &t, uint8_t evpd, uint8_t page, uint32_t length) {
  std::vector<uint8_t> buf(length, 0);
  huld_scsi_cmd cmd;
  vornscsi_fill_inquiry(&cmd, evpd, page, buf.data(), length);
  run_on(t, &cmd);
  huld_error err = fresh_error();
  EXPECT_EQ(0, vornscsi_check_error(&err, &cmd));
  return buf;
}

}  // namespace

// ----- builders -----

TEST(ScsiBuilders, InquiryAndBufferCommands) {
  huld_scsi_cmd cmd;
  std::memset(&cmd, 0xAB, sizeof(cmd));
  uint8_t buf[16];
  vornscsi_fill_inquiry(&cmd, 1, 0x80, buf, 4096);
  EXPECT_EQ((std::vector<uint8_t>{0x12, 0x01, 0x80, 0x10, 0x00, 0x00}), cdb_of(cmd));
  EXPECT_EQ(0, cmd.cdb[6]);
  EXPECT_EQ(32u, cmd.sense_len);
  EXPECT_EQ(30000u, cmd.timeout_ms);
  EXPECT_EQ(2u, cmd.ddir);
  EXPECT_EQ(0u, cmd.xfer_len);
  EXPECT_EQ(0, cmd.scsi_status);
  vornscsi_fill_inquiry(&cmd, 0, 0x80, buf, 4096);
  EXPECT_EQ((std::vector<uint8_t>{0x12, 0x00, 0x00, 0x10, 0x00, 0x00}), cdb_of(cmd));

  vornscsi_fill_write_buffer(&cmd, 0x0E, 8192, 16384, buf, 8192);
  EXPECT_EQ((std::vector<uint8_t>{0x3B, 0x0E, 0, 0x00, 0x40, 0x00, 0x00, 0x20, 0x00, 0x00}), cdb_of(cmd));
  EXPECT_EQ(1u, cmd.ddir);
  vornscsi_fill_write_buffer(&cmd, 0x0F, 0, 0, nullptr, 0);
  EXPECT_EQ((std::vector<uint8_t>{0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}), cdb_of(cmd));
  EXPECT_EQ(1u, cmd.ddir);
  EXPECT_EQ(0u, cmd.data_len);
  vornscsi_fill_read_buffer(&cmd, 0, 0x01, 0, 0x000200, buf, 65536);
  EXPECT_EQ((std::vector<uint8_t>{0x3C, 0x01, 0, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00}), cdb_of(cmd));
  vornscsi_fill_receive_diagnostic_results(&cmd, 1, 0xF2, buf, 1024);
  EXPECT_EQ((std::vector<uint8_t>{0x1C, 0x01, 0xF2, 0x04, 0x00, 0x00}), cdb_of(cmd));
  vornscsi_fill_send_diagnostic(&cmd, 0, 0, 0, 0, 0, buf, 512);
  EXPECT_EQ((std::vector<uint8_t>{0x1D, 0x00, 0x00, 0x02, 0x00, 0x00}), cdb_of(cmd));
  EXPECT_EQ(1u, cmd.ddir);
}

TEST(ScsiBuilders, BlockCommandsAndFlagMasks) {
  huld_scsi_cmd cmd;
  uint8_t buf[16];
  vornscsi_fill_read_16(&cmd, 0, 0, 0, 0, 5, 0x0102030405060708ull, 8, 3, buf, 4096);
  EXPECT_EQ(cdb_line(cmd), "88 01 01 02 03 04 05 06 07 08 00 00 00 08 43 00 len 16 ddir 2");
  vornscsi_fill_write_16(&cmd, 7, 1, 1, 0, 1, 1, 0xFF, buf, 512);
  EXPECT_EQ(cdb_line(cmd), "8a f8 00 00 00 00 00 00 00 01 00 00 00 01 3f 00 len 16 ddir 1");

  // Flags keep their own bit: an argument of 3 must not reach the neighbouring field.
  vornscsi_fill_mode_select_10(&cmd, 3, 3, 3, buf, 24);
  EXPECT_EQ(cdb_line(cmd), "55 13 00 00 00 00 00 00 18 00 len 10 ddir 1");
  vornscsi_fill_mode_sense_10(&cmd, 3, 3, 2, 0x3F, 0xFF, buf, 0x1234);
  EXPECT_EQ(cdb_line(cmd), "5a 18 bf ff 00 00 00 12 34 00 len 10 ddir 2");
  vornscsi_fill_send_diagnostic(&cmd, 9, 3, 3, 3, 3, nullptr, 0);
  EXPECT_EQ(0x20 | 0x10 | 0x04 | 0x02 | 0x01, cmd.cdb[1]);
  EXPECT_EQ(1u, cmd.ddir);  // out even without data
  vornscsi_fill_log_sense(&cmd, 3, 1, 0x2F, 0, 0x0102, 0x0304, buf, 16);
  EXPECT_EQ((std::vector<uint8_t>{0x4D, 0x01, 0x6F, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00}), cdb_of(cmd));
  vornscsi_fill_format_unit(&cmd, 3, 1, 1, 1, 0xF, 0x55, 7, nullptr, 0);
  EXPECT_EQ((std::vector<uint8_t>{0x04, 0xFF, 0x55, 0x00, 0x03, 0x00}), cdb_of(cmd));
  EXPECT_EQ(0u, cmd.ddir);
  vornscsi_fill_sanitize(&cmd, 1, 0, 1, 0x21, buf, 16);
  EXPECT_EQ(cdb_line(cmd), "48 a1 00 00 00 00 00 00 10 00 len 10 ddir 1");
  vornscsi_fill_sanitize(&cmd, 0, 1, 0, 1, nullptr, 0);
  EXPECT_EQ(0u, cmd.ddir);
  vornscsi_fill_unmap(&cmd, 3, 0xFF, 24, buf, 24);
  EXPECT_EQ((std::vector<uint8_t>{0x42, 0x01, 0, 0, 0, 0, 0x3F, 0x00, 24, 0}), cdb_of(cmd));
  vornscsi_fill_read_capacity(&cmd, buf, 32);
  EXPECT_EQ(cdb_line(cmd), "9e 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00 len 16 ddir 2");
  vornscsi_fill_report_supported_opcodes(&cmd, buf, 0x10000);
  EXPECT_EQ((std::vector<uint8_t>{0xA3, 0x0C, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0, 0}), cdb_of(cmd));
  vornscsi_fill_security_protocol_out(&cmd, 0xEF, 0x1234, buf, 512);
  EXPECT_EQ((std::vector<uint8_t>{0xB5, 0xEF, 0x12, 0x34, 0, 0, 0x00, 0x00, 0x02, 0x00, 0, 0}), cdb_of(cmd));
  vornscsi_fill_request_sense(&cmd, 1, buf, 252);
  EXPECT_EQ((std::vector<uint8_t>{0x03, 0x01, 0, 0, 252, 0}), cdb_of(cmd));
  vornscsi_fill_synchronize_cache(&cmd);
  EXPECT_EQ(cdb_line(cmd), "91 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 len 16 ddir 0");
  vornscsi_fill_test_unit_ready(&cmd);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 0}), cdb_of(cmd));
}

// ----- status, sense and SAT judgement -----

TEST(ScsiCheckError, AtaRegistersThroughTranslation) {
  auto drive = std::make_shared<sim::AtaDrive>();
  sim::SatDevice sat(drive);
  huld_error err = fresh_error();

  // SMART RETURN STATUS asks for the registers back: CHECK CONDITION carrying status 50h.
  huld_ata_cmd ata;
  vornata_fill_smart_return_status(&ata);
  huld_scsi_cmd cmd;
  huld_scsi_fill_sat_cmd(&cmd, &ata);
  ASSERT_TRUE(vornscsi_is_ata_pass_through_ck_cond(cmd.cdb));
  run_on(sat, &cmd);
  EXPECT_EQ(0x02, cmd.scsi_status);
  EXPECT_EQ(0, vornscsi_check_error(&err, &cmd));
  EXPECT_EQ(0u, err.code);

  // An aborted command with CK_COND: ATA status 51h, error 04h.
  vornata_fill_download_microcode(&ata, 0x0F, 0, 0, nullptr, 0);
  ata.check_condition = 1;
  huld_scsi_fill_sat_cmd(&cmd, &ata);
  run_on(sat, &cmd);
  EXPECT_EQ(1, vornscsi_check_error(&err, &cmd));
  EXPECT_EQ(error_line(err), "code 6 subcode 20740 file vornscsi\\errors function ata_check_error"
                             " message device error detected, status 51h, error 4h");

  // Without CK_COND the same failure is judged as ordinary sense data.
  ata.check_condition = 0;
  huld_scsi_fill_sat_cmd(&cmd, &ata);
  ASSERT_FALSE(vornscsi_is_ata_pass_through_ck_cond(cmd.cdb));
  run_on(sat, &cmd);
  EXPECT_EQ(1u, failed_with(err, vornscsi_check_error(&err, &cmd)));
}

// A response code that is neither fixed nor descriptor format is read at the descriptor
// positions, from the whole buffer even when the back end reported no sense bytes returned.
TEST(ScsiCheckError, OtherResponseCodeIsReadAsDescriptorSense) {
  huld_scsi_cmd cmd{};
  cmd.scsi_status = 0x02;
  cmd.sense_len = 32;
  const uint8_t sense[] = {0x00, 0x05, 0x24, 0x01};
  std::memcpy(cmd.sense, sense, sizeof(sense));
  huld_error err = fresh_error();
  EXPECT_EQ(1, vornscsi_check_error(&err, &cmd));
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 05/24/01H\n");
}

TEST(ScsiExecutors, ExecuteFailurePassesThrough) {
  huld_dev dev = cmdsets_test::unserved_device();
  huld_error err = fresh_error();
  uint8_t buf[512];
  EXPECT_EQ(2u, failed_with(err, vornscsi_execute_inquiry(&err, &dev, 0, 0, buf, sizeof(buf))));
  EXPECT_EQ(2u, failed_with(err, vornscsi_execute_write_buffer(&err, &dev, 0x0F, 0, 0, nullptr, 0)));
}

// ----- INQUIRY and VPD -----

TEST(ScsiInquiry, StandardDataAndSerialFromTarget) {
  sim::ScsiConfig cfg;
  cfg.vendor = "VENDOR";
  cfg.product = "SIMSCSI MODEL1";
  cfg.revision = "S001";
  cfg.serial = "SIMSCSISERIAL0001";
  sim::ScsiTarget target(cfg);
  std::vector<uint8_t> std_data = inquiry(target, 0, 0, 4096);
  huld_error err = fresh_error();
  char text[64];
  EXPECT_STREQ("VENDOR", got_str(err, text, vornscsi_inquiry_parse_vendor_identification, sizeof(text), std_data.data(), 4096));
  EXPECT_STREQ("SIMSCSI MODEL1", got_str(err, text, vornscsi_inquiry_parse_product_identification, sizeof(text), std_data.data(), 4096));
  EXPECT_STREQ("S001", got_str(err, text, vornscsi_inquiry_parse_product_revision, sizeof(text), std_data.data(), 512));
  uint8_t type = 0xFF;
  EXPECT_EQ(0, got(err, type, vornscsi_inquiry_parse_peripheral_type, std_data.data(), 1));

  std::vector<uint8_t> vpd80 = inquiry(target, 1, 0x80, 4096);
  EXPECT_STREQ("SIMSCSISERIAL0001", got_str(err, text, vornscsi_inquiry_vpd80_parse_serial, sizeof(text), vpd80.data(), 4096));

  std::vector<uint8_t> vpd00 = inquiry(target, 1, 0x00, 16);
  uint8_t found = 0;
  EXPECT_EQ(1, got(err, found, vornscsi_inquiry_vpd00_find_page, 0x83, vpd00.data(), 16));
  EXPECT_EQ(0, got(err, found, vornscsi_inquiry_vpd00_find_page, 0xB1, vpd00.data(), 16));
  // The search stays inside the length it is given.
  EXPECT_EQ(0, got(err, found, vornscsi_inquiry_vpd00_find_page, 0x83, vpd00.data(), 6));

  // The target's VPD 83h holds only a T10 vendor designator.
  std::vector<uint8_t> vpd83 = inquiry(target, 1, 0x83, 4096);
  uint8_t n = 0;
  const uint8_t *d = nullptr;
  EXPECT_EQ(8u + cfg.serial.size(), got(err, n, vornscsi_inquiry_vpd83_parse_designation_descriptor, &d, 2, 0, 1, vpd83.data(), 4096));
  EXPECT_EQ(0, std::memcmp(d, "VENDOR  SIMSCSI", 15));
  uint64_t wwn = 0;
  EXPECT_EQ(1, vornscsi_inquiry_vpd83_parse_world_wide_name(&err, &wwn, vpd83.data(), 4096));
  EXPECT_STREQ("world wide number not present", err.message);
}

TEST(ScsiInquiry, SerialPageLengthRules) {
  huld_error err = fresh_error();
  char text[64];
  // Page length 20 in a 12-byte buffer: the 8 bytes that are there.
  uint8_t short_page[12] = {0, 0x80, 0, 20, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  EXPECT_STREQ("ABCDEFGH", got_str(err, text, vornscsi_inquiry_vpd80_parse_serial, sizeof(text), short_page, 12));
  // Page length 0: 16 bytes from byte 4, trimmed.
  uint8_t zero_page[24] = {0, 0x80, 0, 0};
  std::memcpy(zero_page + 4, "  SER123        XXXX", 20);
  EXPECT_STREQ("SER123", got_str(err, text, vornscsi_inquiry_vpd80_parse_serial, sizeof(text), zero_page, 24));
  EXPECT_EQ(1, vornscsi_inquiry_vpd80_parse_serial(&err, text, sizeof(text), zero_page, 4));
  EXPECT_STREQ("buffer not large enough to parse scsi inquiry vpd 80 serial", err.message);
  char guard = 'g';
  EXPECT_EQ(1, vornscsi_inquiry_vpd80_parse_serial(&err, &guard, 0, zero_page, 24));
  EXPECT_EQ('g', guard);

  sim::ScsiConfig cfg;
  cfg.vpd80 = sim::Vpd80Mode::ZeroLength;
  sim::ScsiTarget target(cfg);
  std::vector<uint8_t> vpd80 = inquiry(target, 1, 0x80, 4096);
  ASSERT_EQ(0, vornscsi_inquiry_vpd80_parse_serial(&err, text, sizeof(text), vpd80.data(), 4096));
  EXPECT_STREQ("", text);  // nothing came back, and the zeroed rest reads as empty
}

TEST(ScsiInquiry, StandardDataBounds) {
  uint8_t data[36];
  std::memset(data, ' ', sizeof(data));
  std::memcpy(data + 8, "VENDOR  ", 8);
  huld_error err = fresh_error();
  char text[32];
  EXPECT_EQ(1, vornscsi_inquiry_parse_product_identification(&err, text, sizeof(text), data, 31));
  EXPECT_STREQ("buffer not large enough to parse scsi inquiry product identification", err.message);
  EXPECT_STREQ("vornscsi\\parse", err.file);
  EXPECT_STREQ("vornscsi_inquiry_parse_product_identification", err.function);
  EXPECT_EQ(0, vornscsi_inquiry_parse_product_identification(&err, text, sizeof(text), data, 32));
  EXPECT_STREQ("VENDOR", got_str(err, text, vornscsi_inquiry_parse_vendor_identification, sizeof(text), data, 16));
  EXPECT_EQ(1, vornscsi_inquiry_parse_product_revision(&err, text, sizeof(text), data, 35));
  uint8_t b1[9] = {0, 0xB1, 0, 5, 0x3A, 0x98, 0, 0x02, 0x20};
  uint16_t rpm = 0;
  EXPECT_EQ(15000, got(err, rpm, vornscsi_inquiry_vpdB1_parse_medium_rotation_rate, b1, 6));
  uint8_t v = 0;
  EXPECT_EQ(2, got(err, v, vornscsi_inquiry_vpdB1_parse_nominal_form_factor, b1, 8));
  EXPECT_EQ(2, got(err, v, vornscsi_inquiry_vpdB1_parse_zoned, b1, 9));
  EXPECT_EQ(1, vornscsi_inquiry_vpdB1_parse_zoned(&err, &v, b1, 8));
  EXPECT_STREQ("buffer not large enough to parse scsi inquiry vpd B1 zoned", err.message);
}

TEST(ScsiInquiry, DeviceIdentificationDesignators) {
  // NAA designator of the logical unit, relative target port, SAS target port with PIV.
  std::vector<uint8_t> page = {0x00, 0x83, 0x00, 0x00,
                               0x01, 0x03, 0x00, 0x08, 0x50, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD,
                               0x61, 0x94, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02,
                               0x61, 0x93, 0x00, 0x08, 0x50, 0, 0, 0, 0, 0, 0, 1};
  page[3] = static_cast<uint8_t>(page.size() - 4);
  huld_error err = fresh_error();
  uint64_t wwn = 0;
  EXPECT_EQ(0x500123456789ABCDull, got(err, wwn, vornscsi_inquiry_vpd83_parse_world_wide_name, page.data(), static_cast<uint32_t>(page.size())));
  uint32_t oui = 0;
  EXPECT_EQ(0x001234u, got(err, oui, vornscsi_inquiry_vpd83_parse_ieee_oui, page.data(), static_cast<uint32_t>(page.size())));
  uint16_t port = 0;
  EXPECT_EQ(2, got(err, port, vornscsi_inquiry_vpd83_parse_relative_target_port_identifier, page.data(), static_cast<uint32_t>(page.size())));
  uint8_t proto = 0;
  EXPECT_EQ(6, got(err, proto, vornscsi_inquiry_vpd83_parse_protocol_identifier, page.data(), static_cast<uint32_t>(page.size())));
  // A descriptor cut by the buffer end is not used.
  EXPECT_EQ(1, vornscsi_inquiry_vpd83_parse_relative_target_port_identifier(&err, &port, page.data(), 22));
  EXPECT_STREQ("relative target port identifier not present", err.message);
  EXPECT_EQ(1, vornscsi_inquiry_vpd83_parse_world_wide_name(&err, &wwn, page.data(), 3));
  EXPECT_STREQ("buffer not large enough to parse scsi inquiry vpd 83 device identification", err.message);

  // Only a SCSI name string: "naa." and hexadecimal digits, at most 16 of them.
  std::string name = "naa.500123456789ABCD0000111122223333";
  std::vector<uint8_t> names = {0x00, 0x83, 0x00, 0x00, 0x03, 0x08, 0x00, static_cast<uint8_t>(name.size())};
  names.insert(names.end(), name.begin(), name.end());
  names[3] = static_cast<uint8_t>(names.size() - 4);
  EXPECT_EQ(0x500123456789ABCDull, got(err, wwn, vornscsi_inquiry_vpd83_parse_world_wide_name, names.data(), static_cast<uint32_t>(names.size())));
  EXPECT_EQ(0x001234u, got(err, oui, vornscsi_inquiry_vpd83_parse_ieee_oui, names.data(), static_cast<uint32_t>(names.size())));
}

// ----- log pages, capacity, opcodes -----

TEST(ScsiLogPages, ParameterControlAndEnduranceWalk) {
  uint8_t param[4] = {0x00, 0x01, 0x0C, 0x04};
  huld_error err = fresh_error();
  uint8_t v = 0;
  EXPECT_EQ(3, got(err, v, vornscsi_log_page_parameter_parse_tmc, param, 3));
  EXPECT_EQ(0, got(err, v, vornscsi_log_page_parameter_parse_format_and_linking, param, 3));
  EXPECT_EQ(1, vornscsi_log_page_parameter_parse_parameter_length(&err, &v, param, 3));
  EXPECT_STREQ("buffer not large enough to parse parameter length", err.message);

  // Page 11h: parameter 0000h of length 0, then 0001h with the indicator at parameter byte 7.
  uint8_t page[16] = {0x51, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x03, 0x00,
                      0x00, 0x01, 0x83, 0x04, 0x00, 0x00, 0x00, 0x2A};
  vornscsi_log_parameter p;
  std::memset(&p, 0, sizeof(p));
  p.tmc = 9;
  ASSERT_EQ(0, vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(&err, &p, page, 16));
  EXPECT_EQ(1, p.parameter_code);
  EXPECT_EQ(4, p.parameter_length);
  EXPECT_EQ(1, p.du);
  EXPECT_EQ(3, p.format_and_linking);
  EXPECT_EQ(9, p.tmc);  // left as it was
  EXPECT_EQ(0x2A, p.value);
  EXPECT_EQ(1, vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(&err, &p, page, 15));
  EXPECT_STREQ("buffer not large enough to parse percentage used endurance indicator", err.message);
  EXPECT_EQ(1, vornscsi_solid_state_media_log_page_parse_percentage_used_endurance_indicator(&err, &p, page, 8));
  EXPECT_STREQ("buffer does not contain the percentage used endurance indicator parameter code", err.message);

  vornscsi_log_page_header h;
  ASSERT_EQ(0, vornscsi_log_page_parse_header(&err, &h, page, 16));
  EXPECT_EQ(0, h.ds);
  EXPECT_EQ(1, h.spf);
  EXPECT_EQ(0x11, h.page_code);
  EXPECT_EQ(12, h.page_length);
  EXPECT_EQ(0x2A, h.percentage_used_endurance_indicator.value);
}

TEST(ScsiLogPages, SelfTestResultsFirstParameter) {
  uint8_t page[24] = {0x10, 0, 0, 0x14, 0x00, 0x01, 0x03, 0x10,
                      0x45, 0x07, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x03, 0x11, 0x02, 0x99};
  huld_error err = fresh_error();
  uint8_t v = 0;
  EXPECT_EQ(2, got(err, v, vornscsi_log_sense_parse_self_test_code, page, 9));
  EXPECT_EQ(5, got(err, v, vornscsi_log_sense_parse_self_test_results, page, 9));
  EXPECT_EQ(7, got(err, v, vornscsi_log_sense_parse_self_test_number, page, 10));
  uint16_t hours = 0;
  EXPECT_EQ(0x0102, got(err, hours, vornscsi_log_sense_parse_accumulated_power_on_hours, page, 12));
  uint64_t lba = 0;
  EXPECT_EQ(0x1234u, got(err, lba, vornscsi_log_sense_parse_address_of_first_failure, page, 20));
  EXPECT_EQ(3, got(err, v, vornscsi_log_sense_parse_sense_key, page, 21));
  EXPECT_EQ(0x99, got(err, v, vornscsi_log_sense_parse_vendor_specific, page, 24));
  EXPECT_EQ(1, vornscsi_log_sense_parse_additional_sense_code_qualifier(&err, &v, page, 22));
  EXPECT_STREQ("buffer not large enough to parse scsi log sense", err.message);
}

TEST(ScsiCapacityAndOpcodes, FieldsAndSearch) {
  uint8_t cap[12] = {0, 0, 0, 1, 0, 0, 0x10, 0, 0, 0, 0x02, 0};
  huld_error err = fresh_error();
  uint64_t lba = 0;
  uint32_t len = 0;
  EXPECT_EQ(1u, got(err, lba, vornscsi_read_capacity_10_parse_returned_logical_block_address, cap, 8));
  EXPECT_EQ(0x1000u, got(err, len, vornscsi_read_capacity_10_parse_logical_block_length_in_bytes, cap, 8));
  EXPECT_EQ(0x0000000100001000ull, got(err, lba, vornscsi_read_capacity_parse_returned_logical_block_address, cap, 8));
  EXPECT_EQ(0x200u, got(err, len, vornscsi_read_capacity_parse_logical_block_length_in_bytes, cap, 12));
  EXPECT_EQ(1, vornscsi_read_capacity_parse_logical_block_length_in_bytes(&err, &len, cap, 11));
  EXPECT_STREQ("buffer not large enough to parse scsi read capacity logical block length in bytes", err.message);

  uint8_t ops[20] = {0, 0, 0, 16, 0x12, 0, 0x00, 0x00, 0, 0, 0, 6, 0x9E, 0, 0x00, 0x10, 0, 0, 0, 16};
  uint8_t found = 0;
  EXPECT_EQ(1, got(err, found, vornscsi_report_supported_opcodes_find, 0x9E, 0x10, ops, 20));
  EXPECT_EQ(0, got(err, found, vornscsi_report_supported_opcodes_find, 0x9E, 0, ops, 20));
  ASSERT_EQ(0, vornscsi_report_supported_opcodes_find(&err, &found, 0x9E, 0x10, ops, 14));
  EXPECT_EQ(0, found);  // the descriptor header is not inside the buffer
  EXPECT_EQ(1, vornscsi_report_supported_opcodes_find(&err, &found, 0x12, 0, ops, 3));
  EXPECT_STREQ("buffer not large enough to parse scsi report supported operation codes", err.message);
}

// ----- sense data -----

TEST(ScsiSense, FixedDescriptorAndUnsupportedFormats) {
  uint8_t fixed[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x04, 0, 0x80, 0x80, 0x00};
  huld_error err = fresh_error();
  uint8_t v = 0;
  EXPECT_EQ(2, got(err, v, vornscsi_request_sense_parse_sense_key, fixed, 18));
  EXPECT_EQ(4, got(err, v, vornscsi_request_sense_parse_additional_sense_code, fixed, 18));
  EXPECT_EQ(4, got(err, v, vornscsi_request_sense_parse_additional_sense_code_qualifier, fixed, 18));
  EXPECT_EQ(1, vornscsi_request_sense_parse_additional_sense_code_qualifier(&err, &v, fixed, 13));
  EXPECT_STREQ("buffer not large enough to parse scsi buffer", err.message);
  uint16_t progress = 0;
  EXPECT_EQ(0x8000, got(err, progress, vornscsi_request_sense_parse_progress_indication, fixed, 18));
  fixed[15] = 0;
  EXPECT_EQ(1u, failed_with(err, vornscsi_request_sense_parse_progress_indication(&err, &progress, fixed, 18)));
  EXPECT_EQ(1u, err.subcode);
  EXPECT_STREQ("progress indication is not available", err.message);

  fixed[0] = 0x7F;
  EXPECT_EQ(1, vornscsi_request_sense_parse_sense_key(&err, &v, fixed, 18));
  EXPECT_EQ(error_line(err), "code 2 subcode 0 file vornscsi\\parse function vornscsi_request_sense_parse_sense_key"
                             " message Unsupported repsonse code (0x7F)");

  // Descriptor sense with two sense-key-specific descriptors: the later one counts.
  uint8_t desc[24] = {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 16,
                      0x02, 0x06, 0, 0, 0x80, 0x10, 0x00, 0,
                      0x02, 0x06, 0, 0, 0x80, 0x40, 0x00, 0};
  EXPECT_EQ(2, got(err, v, vornscsi_request_sense_parse_sense_key, desc, 24));
  progress = 0;
  EXPECT_EQ(0x4000, got(err, progress, vornscsi_request_sense_parse_progress_indication, desc, 24));
  // Cut at the buffer: only the first descriptor is whole.
  EXPECT_EQ(0x1000, got(err, progress, vornscsi_request_sense_parse_progress_indication, desc, 18));
  desc[12] = 0;
  EXPECT_EQ(1, vornscsi_request_sense_parse_progress_indication(&err, &progress, desc, 24));
  EXPECT_EQ(1u, err.subcode);
}

// ATA command set: builders against the register values, the register checks, the executors'
// refusals, and the parsers over IDENTIFY data, the IDENTIFY DEVICE DATA log and SMART data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_bridge.h"
#include "vornata/ata.h"
#include "vornata/errors.h"
#include "vornata/parse.h"
#include "tests/support/huld_error_line.h"

using cmdsets_test::failed_with;
using cmdsets_test::fresh_error;
using cmdsets_test::got;
using cmdsets_test::got_str;
using cmdsets_test::run_on;

namespace {

sim::AtaConfig drive_config() {
  sim::AtaConfig cfg;
  cfg.model = "SIMATA MODEL 1";
  cfg.serial = "SIMATASERIAL0001";
  cfg.firmware = "SIMFW001";
  cfg.log_min_blocks = 0x0010;
  cfg.log_max_blocks = 0x0080;
  cfg.word234_min_blocks = 0x0004;
  cfg.word235_max_blocks = 0x0100;
  cfg.mode7_supported = false;
  return cfg;
}

// The registers and transfer fields of a built command, on one line.
std::string regs(const huld_ata_cmd &c) {
  char s[160];
  std::snprintf(s, sizeof s,
                "cmd %02x proto %u ext %u tlen %u xfer %u feat %04x count %04x lba %012llx dev %02x ddir %u "
                "len %u to %u cc %u st %02x",
                c.command, c.protocol, c.is_ext, c.t_length, c.xfer_type, c.feature, c.count,
                static_cast<unsigned long long>(c.lba), c.device, c.ddir, c.data_len, c.timeout_ms, c.check_condition,
                c.status);
  return s;
}

// Word n of IDENTIFY data, little-endian.
void put_word(std::vector<uint8_t> &id, uint32_t n, uint16_t v) {
  id[2 * n] = static_cast<uint8_t>(v);
  id[2 * n + 1] = static_cast<uint8_t>(v >> 8);
}

// Text stored as an ATA string (bytes of each word swapped) at `offset`.
void put_ata(std::vector<uint8_t> &id, uint32_t offset, const std::string &text) {
  for (size_t i = 0; i < text.size(); ++i) id[offset + (i ^ 1)] = static_cast<uint8_t>(text[i]);
}

}  // namespace

// ----- builders -----

TEST(AtaBuilders, IdentifyAndLogReads) {
  huld_ata_cmd cmd;
  std::memset(&cmd, 0xAB, sizeof(cmd));
  uint8_t buf[1024];
  vornata_fill_identify_device(&cmd, buf, 512);
  EXPECT_EQ(regs(cmd),
            "cmd ec proto 4 ext 0 tlen 2 xfer 1 feat 0000 count 0001 lba 000000000000 dev 00 ddir 2 len 512 to 30000 cc 0 st 00");

  // READ LOG EXT of log 30h page 0103h with 1024 bytes.
  vornata_fill_read_log_ext(&cmd, 0, 2, 0x30, 0x0103, buf, 1024);
  EXPECT_EQ(regs(cmd),
            "cmd 2f proto 4 ext 1 tlen 2 xfer 1 feat 0000 count 0002 lba 000100000330 dev 00 ddir 2 len 1024 to 30000 cc 0 st 00");
  vornata_fill_write_log_dma_ext(&cmd, 0, 1, 0xE0, 0, buf, 512);
  EXPECT_EQ(regs(cmd),
            "cmd 57 proto 6 ext 1 tlen 2 xfer 1 feat 0000 count 0001 lba 0000000000e0 dev 00 ddir 1 len 512 to 30000 cc 0 st 00");

  // SMART READ LOG of log BDh: signature C24Fh in LBA bits 23:8.
  vornata_fill_smart_read_log(&cmd, 1, 0xBD, buf, 512);
  EXPECT_EQ(regs(cmd),
            "cmd b0 proto 4 ext 0 tlen 2 xfer 1 feat 00d5 count 0001 lba 000000c24fbd dev 00 ddir 2 len 512 to 30000 cc 0 st 00");
  vornata_fill_smart_return_status(&cmd);
  EXPECT_EQ(regs(cmd),
            "cmd b0 proto 3 ext 0 tlen 0 xfer 0 feat 00da count 0000 lba 000000c24f00 dev 00 ddir 0 len 0 to 30000 cc 1 st 00");
}

TEST(AtaBuilders, DownloadMicrocode) {
  huld_ata_cmd cmd;
  uint8_t buf[512];
  vornata_fill_download_microcode(&cmd, 0x03, 600, 1000, buf, 600 * 512);
  EXPECT_EQ(regs(cmd),
            "cmd 92 proto 5 ext 0 tlen 2 xfer 1 feat 0003 count 0058 lba 00000003e802 dev 00 ddir 1 len 307200 to 30000 cc 0 st 00");
  EXPECT_EQ(0x02u, cmd.lba & 0xFF);
  EXPECT_EQ(0x03E8u, (cmd.lba >> 8) & 0xFFFF);
  EXPECT_EQ(1u, cmd.ddir);
  // Activation carries no data but keeps the pointer.
  vornata_fill_download_microcode(&cmd, 0x0F, 0, 0, buf, 0);
  EXPECT_EQ(regs(cmd),
            "cmd 92 proto 3 ext 0 tlen 0 xfer 0 feat 000f count 0000 lba 000000000000 dev 00 ddir 0 len 0 to 30000 cc 0 st 00");
  EXPECT_EQ(buf, cmd.data);
  vornata_fill_download_microcode_dma(&cmd, 0x0E, 16, 16, buf, 8192);
  EXPECT_EQ(regs(cmd),
            "cmd 93 proto 6 ext 0 tlen 2 xfer 1 feat 000e count 0010 lba 000000001000 dev 00 ddir 1 len 8192 to 30000 cc 0 st 00");
  vornata_fill_download_microcode_dma(&cmd, 0x0F, 0, 0, nullptr, 0);
  EXPECT_EQ(3, cmd.protocol);
}

TEST(AtaBuilders, SanitizeTrustedAndAddressCommands) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_overwrite_ext(&cmd, 1, 1, 1, 1, 0x1F, 0xDEADBEEF);
  EXPECT_EQ(regs(cmd),
            "cmd b4 proto 3 ext 1 tlen 0 xfer 0 feat 0014 count 80df lba 4f57deadbeef dev 00 ddir 0 len 0 to 30000 cc 0 st 00");
  vornata_fill_sanitize_block_erase_ext(&cmd, 3, 2);  // flags keep bit 0
  EXPECT_EQ(0x8000, cmd.count);
  EXPECT_EQ(0x426B4572ull, cmd.lba);
  vornata_fill_sanitize_crypto_scramble_ext(&cmd, 0, 1);
  EXPECT_EQ(0x0011, cmd.feature);
  EXPECT_EQ(0x0010, cmd.count);
  vornata_fill_sanitize_status_ext(&cmd, 1);
  EXPECT_EQ(1, cmd.count);
  EXPECT_EQ(1, cmd.check_condition);

  uint8_t buf[512];
  vornata_fill_trusted_receive(&cmd, 0x01, 0x1234, buf, 0x201 * 512);
  EXPECT_EQ(regs(cmd),
            "cmd 5c proto 4 ext 0 tlen 2 xfer 1 feat 0001 count 0001 lba 000000123402 dev 00 ddir 2 len 262656 to 30000 cc 0 st 00");
  vornata_fill_read_dma_ext(&cmd, 0x123456789ull, buf, 4096);
  EXPECT_EQ(regs(cmd),
            "cmd 25 proto 6 ext 1 tlen 2 xfer 1 feat 0000 count 0008 lba 000123456789 dev 40 ddir 2 len 4096 to 30000 cc 0 st 00");
  vornata_fill_write_sectors_ext(&cmd, 7, buf, 512);
  EXPECT_EQ(regs(cmd),
            "cmd 34 proto 5 ext 1 tlen 2 xfer 1 feat 0000 count 0001 lba 000000000007 dev 40 ddir 1 len 512 to 30000 cc 0 st 00");
  vornata_fill_get_native_max_address_ext(&cmd);
  EXPECT_EQ(0x78, cmd.command);
  EXPECT_EQ(1, cmd.check_condition);
  vornata_fill_set_accessible_max_address_ext(&cmd, 0x1000);
  EXPECT_EQ(0x0001, cmd.feature);
  EXPECT_EQ(0x1000u, cmd.lba);
  vornata_fill_smart_execute_off_line_immediate(&cmd, 0x02);
  EXPECT_EQ(0xC24F02ull, cmd.lba);
}

TEST(AtaBuilders, SecurityPayloads) {
  uint8_t pw[33];
  for (int i = 0; i < 33; ++i) pw[i] = static_cast<uint8_t>('a' + i % 26);
  uint8_t payload[512];
  std::memset(payload, 0xEE, sizeof(payload));
  vornata_fill_security_unlock_payload(payload, 512, pw, 33, 1);
  EXPECT_EQ(0xEE, payload[0]);  // refused: untouched
  EXPECT_EQ(0xEE, payload[2]);
  std::memset(payload, 0, sizeof(payload));
  vornata_fill_security_unlock_payload(payload, 511, pw, 8, 1);
  EXPECT_EQ(0, payload[2]);
  vornata_fill_security_unlock_payload(payload, 512, pw, 32, 1);
  EXPECT_EQ(1, payload[0]);
  EXPECT_EQ(0, std::memcmp(payload + 2, pw, 32));
  EXPECT_EQ(0, payload[34]);
  std::memset(payload, 0, sizeof(payload));
  vornata_fill_security_erase_unit_payload(payload, 512, pw, 4, 0, 1);
  EXPECT_EQ(0x02, payload[0]);
  std::memset(payload, 0, sizeof(payload));
  vornata_fill_security_set_password_payload(payload, 512, pw, 4, 1, 1);
  EXPECT_EQ(0x01, payload[0]);
  EXPECT_EQ(0x01, payload[1]);
}

// ----- checks -----

TEST(AtaChecks, StatusErrorAndSmartStatus) {
  huld_ata_cmd cmd;
  vornata_fill_flush_cache(&cmd);
  huld_error err = fresh_error();
  cmd.status = 0x51;
  cmd.error = 0x04;
  EXPECT_EQ(1, vornata_check_error(&err, &cmd));
  EXPECT_EQ(error_line(err), "code 6 subcode 20740 file vornata\\errors function vornata_check_error"
                             " message device error detected, status 51h, error 4h");
  cmd.status = 0x50;
  EXPECT_EQ(0, vornata_check_error(&err, &cmd));
  EXPECT_EQ(0u, err.code);
  cmd.status = 0xD0;  // BSY and others are not judged
  EXPECT_EQ(0, vornata_check_error(&err, &cmd));

  EXPECT_EQ(1, vornata_check_smart_return_status(&err, 0x2CF4));
  EXPECT_EQ(0x2CF4u, err.subcode);
  EXPECT_STREQ("the device has detected a threshold exceeded condition 2cf4h", err.message);
  EXPECT_EQ(0, vornata_check_smart_return_status(&err, 0xC24F));
  EXPECT_EQ(0u, err.code);
}

TEST(AtaChecks, SanitizeStatusRegisters) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_status_ext(&cmd, 0);
  vornata_sanitize_status st;
  cmd.lba = 0x8000;
  cmd.count = 0xA000;
  vornata_parse_sanitize_status(&st, &cmd);
  EXPECT_EQ(0.5, st.progress);
  EXPECT_EQ(1u, st.completed_without_error);
  EXPECT_EQ(0u, st.in_progress);
  EXPECT_EQ(1u, st.frozen);
  EXPECT_EQ(0u, st.antifreeze);
  cmd.lba = 0xFFFF;
  vornata_parse_sanitize_status(&st, &cmd);
  EXPECT_EQ(0.0, st.progress);
}

// ----- executors: refusals before any command -----

TEST(AtaExecutors, BlockCountedTransfersAreRefusedBeforeAnyCommand) {
  huld_dev dev = cmdsets_test::unserved_device();
  huld_error err = fresh_error();
  std::vector<uint8_t> buf(4096);
  // Refusals are code 1; a command that got through fails at the execute layer with code 2.
  EXPECT_EQ(1u, failed_with(err, vornata_execute_download_microcode(&err, &dev, 0x03, 0, 0, buf.data(), 0)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_download_microcode(&err, &dev, 0x03, 2, 0, buf.data(), 600)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_download_microcode(&err, &dev, 0x03, 2, 0, buf.data(), 512)));
  EXPECT_STREQ("block count 2 does not match data length 512", err.message);
  EXPECT_EQ(1, vornata_execute_download_microcode(&err, &dev, 0x03, 2, 0, buf.data(), 1024));
  EXPECT_EQ(2u, err.code);  // well-formed: reached the execute layer
  EXPECT_EQ(1, vornata_execute_download_microcode(&err, &dev, 0x0F, 0, 0, nullptr, 0));
  EXPECT_EQ(2u, err.code);  // activation has no data and is never refused for it
  EXPECT_EQ(1u, failed_with(err, vornata_execute_download_microcode_dma(&err, &dev, 0x0E, 1, 0, buf.data(), 1000)));

  EXPECT_EQ(1u, failed_with(err, vornata_execute_smart_read_log(&err, &dev, 2, 0xBD, buf.data(), 512)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_smart_write_log(&err, &dev, 0, 0xBD, buf.data(), 0)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_read_log_ext(&err, &dev, 0, 1, 0x30, 3, buf.data(), 511)));
  EXPECT_EQ(2u, failed_with(err, vornata_execute_read_log_ext(&err, &dev, 0, 1, 0x30, 3, buf.data(), 512)));
  // A length whose block count does not fit COUNT (65,536 blocks).
  EXPECT_EQ(1u, failed_with(err, vornata_execute_read_sectors_ext(&err, &dev, 0, nullptr, 65536u * 512u)));
  EXPECT_STREQ("block count 65536 does not fit the count register", err.message);
  EXPECT_EQ(1u, failed_with(err, vornata_execute_write_dma_ext(&err, &dev, 0, nullptr, 0)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_identify_device(&err, &dev, buf.data(), 4096)));
  EXPECT_EQ(2u, failed_with(err, vornata_execute_identify_device(&err, &dev, buf.data(), 512)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_trusted_send(&err, &dev, 1, 0, buf.data(), 100)));
  EXPECT_EQ(1u, failed_with(err, vornata_execute_data_set_management(&err, &dev, 0, 1, 2, 0, buf.data(), 512)));
}

// ----- IDENTIFY parsers -----

TEST(AtaIdentify, IdentityFromDrive) {
  sim::AtaDrive drive(drive_config());
  std::vector<uint8_t> id(512, 0xEE);
  huld_ata_cmd cmd;
  vornata_fill_identify_device(&cmd, id.data(), 512);
  run_on(drive, &cmd);
  huld_error err = fresh_error();
  ASSERT_EQ(0, vornata_check_error(&err, &cmd));
  char text[64];
  EXPECT_STREQ("SIMATA MODEL 1", got_str(err, text, vornata_identify_parse_model, sizeof(text), id.data(), 512));
  EXPECT_STREQ("SIMATASERIAL0001", got_str(err, text, vornata_identify_parse_serial, sizeof(text), id.data(), 512));
  EXPECT_STREQ("SIMFW001", got_str(err, text, vornata_identify_parse_firmware, sizeof(text), id.data(), 512));
  uint16_t w = 0;
  EXPECT_EQ(4, got(err, w, vornata_identify_parse_dlmc_min_blocks, id.data(), 512));
  EXPECT_EQ(256, got(err, w, vornata_identify_parse_dlmc_max_blocks, id.data(), 512));
  uint8_t b = 0;
  EXPECT_EQ(0xA5, got(err, b, vornata_identify_parse_checksum_validity_indicator, id.data(), 512));
  // The checksum makes the 512 bytes sum to 0 modulo 256.
  uint8_t sum = 0;
  for (uint8_t x : id) sum = static_cast<uint8_t>(sum + x);
  EXPECT_EQ(0, sum);
}

TEST(AtaIdentify, StringsAreSwappedWholeThenCutAndTrimmed) {
  std::vector<uint8_t> id(512, 0);
  put_ata(id, 54, std::string("ASDX MODEL") + std::string(30, ' '));
  put_ata(id, 20, "   SERIAL 123       ");
  put_ata(id, 46, "FW123456");
  put_ata(id, 352, std::string("  MEDIA  ") + std::string(51, ' '));
  EXPECT_EQ('S', id[54]);  // stored swapped
  huld_error err = fresh_error();
  char text[64];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(1, vornata_identify_parse_model(&err, text, sizeof(text), id.data(), 93));
  EXPECT_STREQ("buffer not large enough to parse ata identify model", err.message);
  EXPECT_STREQ("vornata_identify_parse_model", err.function);
  EXPECT_EQ('\0', text[0]);
  EXPECT_STREQ("ASDX MODEL", got_str(err, text, vornata_identify_parse_model, sizeof(text), id.data(), 94));
  EXPECT_STREQ("SERIAL 123", got_str(err, text, vornata_identify_parse_serial, sizeof(text), id.data(), 40));
  char fw9[9], fw5[5], fw4[4];
  EXPECT_STREQ("FW123456", got_str(err, fw9, vornata_identify_parse_firmware, sizeof(fw9), id.data(), 54));
  EXPECT_STREQ("FW12", got_str(err, fw5, vornata_identify_parse_firmware, sizeof(fw5), id.data(), 54));
  // An odd number of characters: the third one comes from the swapped field, not its neighbour.
  EXPECT_STREQ("FW1", got_str(err, fw4, vornata_identify_parse_firmware, sizeof(fw4), id.data(), 54));
  ASSERT_EQ(0, vornata_identify_parse_current_media_serial(&err, text, 10, id.data(), 412));
  EXPECT_STREQ("  MEDIA  ", text);  // not trimmed
  EXPECT_EQ(1, vornata_identify_parse_current_media_serial(&err, text, 10, id.data(), 411));
  char guard = 'g';
  EXPECT_EQ(1, vornata_identify_parse_serial(&err, &guard, 0, id.data(), 512));
  EXPECT_EQ('g', guard);
}

TEST(AtaIdentify, WordsWithRulesOfTheirOwn) {
  std::vector<uint8_t> id(512, 0);
  put_word(id, 235, 0x0100);
  put_word(id, 209, 0x4001);
  put_word(id, 89, 0x800A);
  put_word(id, 90, 0x0C0A);
  put_word(id, 108, 0x5001);
  put_word(id, 109, 0x2345);
  put_word(id, 110, 0x6789);
  put_word(id, 111, 0xABCD);
  put_word(id, 60, 0x5678);
  put_word(id, 61, 0x1234);
  put_word(id, 217, 0x0001);
  huld_error err = fresh_error();
  uint16_t w = 0;
  EXPECT_EQ(256, got(err, w, vornata_identify_parse_dlmc_max_blocks, id.data(), 472));
  EXPECT_EQ(1, vornata_identify_parse_dlmc_max_blocks(&err, &w, id.data(), 471));
  EXPECT_STREQ("buffer not large enough to parse dlmc max blocks", err.message);
  EXPECT_EQ(1, got(err, w, vornata_identify_parse_alignment_of_logical_sector_within_a_physical_sector, id.data(), 420));
  EXPECT_EQ(10, got(err, w, vornata_identify_parse_security_erase_unit_normal_time_to_complete, id.data(), 180));
  EXPECT_EQ(0x0A, got(err, w, vornata_identify_parse_security_erase_unit_enhanced_time_to_complete, id.data(), 182));
  EXPECT_EQ(1, vornata_identify_parse_security_erase_unit_enhanced_time_to_complete(&err, &w, id.data(), 181));
  EXPECT_STREQ("buffer not large enough to parse word 90 (security erase unit enhanced time to complete)\n",
               err.message);
  EXPECT_EQ(1, got(err, w, vornata_identify_parse_nominal_media_rotation_rate, id.data(), 436));
  uint32_t dw = 0;
  EXPECT_EQ(0x12345678u, got(err, dw, vornata_identify_parse_nlbas_28bit, id.data(), 124));
  uint64_t wwn = 0;
  EXPECT_EQ(0x500123456789ABCDull, got(err, wwn, vornata_identify_parse_world_wide_name, id.data(), 224));
  EXPECT_EQ(0x56789ABCDull, got(err, wwn, vornata_identify_parse_wwn_unique_id, id.data(), 224));
  EXPECT_EQ(1, vornata_identify_parse_wwn_unique_id(&err, &wwn, id.data(), 223));
  EXPECT_STREQ("buffer not large enough to parse wwn", err.message);
  uint32_t oui = 0;
  EXPECT_EQ(0x001234u, got(err, oui, vornata_identify_parse_ieee_oui, id.data(), 220));
  put_word(id, 108, 0x6001);
  EXPECT_EQ(1, vornata_identify_parse_ieee_oui(&err, &oui, id.data(), 220));
  EXPECT_STREQ("could not parse ieee oui due to incorrect naa value (6h)", err.message);
}

TEST(AtaIdentify, GeneratedFieldParsers) {
  std::vector<uint8_t> id(512, 0);
  put_word(id, 80, 0x0400);
  put_word(id, 222, 0x1020);
  put_word(id, 100, 0x1111);
  put_word(id, 101, 0x2222);
  put_word(id, 102, 0x3333);
  put_word(id, 103, 0x4444);
  huld_error err = fresh_error();
  uint8_t b = 0;
  EXPECT_EQ(1, got(err, b, vornata_identify_parse_acs3_support, id.data(), 512));
  EXPECT_EQ(0, got(err, b, vornata_identify_parse_acs4_support, id.data(), 512));
  EXPECT_EQ(1, got(err, b, vornata_identify_parse_sata_30_transport, id.data(), 512));
  EXPECT_EQ(1, got(err, b, vornata_identify_parse_sata_transport_type, id.data(), 512));
  uint64_t q = 0;
  EXPECT_EQ(0x4444333322221111ull, got(err, q, vornata_identify_parse_number_of_user_addressable_logical_sectors, id.data(), 512));
  EXPECT_EQ(1, vornata_identify_parse_acs3_support(&err, &b, id.data(), 161));
  EXPECT_STREQ("buffer not large enough to parse word 80 bit 10 (acs3 support)\n", err.message);
  EXPECT_STREQ("parse_word_and_bit", err.function);
  EXPECT_EQ(1, vornata_identify_parse_negotiated_sata_speed(&err, &b, id.data(), 155));
  EXPECT_STREQ("buffer not large enough to parse word 77 bit 1 cnt 3 (negotiated sata speed)", err.message);
  EXPECT_EQ(1, vornata_identify_parse_logical_sector_size(&err, reinterpret_cast<uint32_t *>(&q), id.data(), 237));
  EXPECT_STREQ("buffer not large enough to parse dword at word 117 (logical sector size)", err.message);
  EXPECT_EQ(1, vornata_identify_parse_extended_number_of_user_addressable_sectors(&err, &q, id.data(), 467));
  EXPECT_STREQ("buffer not large enough to parse qword at word 230 (extended number of user addressable sectors)",
               err.message);
}

// ----- IDENTIFY DEVICE DATA log -----

TEST(AtaIdDataLog, DownloadCapabilitiesFromDrive) {
  sim::AtaDrive drive(drive_config());
  std::vector<uint8_t> page(512, 0xEE);
  huld_ata_cmd cmd;
  vornata_fill_read_log_ext(&cmd, 0, 1, 0x30, 0x03, page.data(), 512);
  EXPECT_EQ(0x330u, cmd.lba);
  run_on(drive, &cmd);
  huld_error err = fresh_error();
  ASSERT_EQ(0, vornata_check_error(&err, &cmd));
  uint16_t w = 0;
  EXPECT_EQ(0x10, got(err, w, vornata_id_data_log_parse_dm_min_blocks, page.data(), 512));
  EXPECT_EQ(0x80, got(err, w, vornata_id_data_log_parse_dm_max_blocks, page.data(), 512));
  uint8_t b = 0;
  EXPECT_EQ(1, got(err, b, vornata_id_data_log_parse_dm_offsets_immediate_supported, page.data(), 512));
  EXPECT_EQ(0, got(err, b, vornata_id_data_log_parse_dm_immediate_supported, page.data(), 512));
  EXPECT_EQ(1, got(err, b, vornata_id_data_log_parse_dm_offsets_deferred_supported, page.data(), 512));
  EXPECT_EQ(1, vornata_id_data_log_parse_dm_max_blocks(&err, &w, page.data(), 23));
  EXPECT_STREQ("buffer not large enough", err.message);
  EXPECT_EQ(1, vornata_id_data_log_parse_dm_offsets_deferred_supported(&err, &b, page.data(), 23));
  EXPECT_STREQ("__check_bit", err.function);
}

TEST(AtaIdDataLog, InvalidQwordFailsEveryReader) {
  sim::AtaConfig cfg = drive_config();
  cfg.log_page3 = sim::AtaLogPage3::InvalidBit63;
  sim::AtaDrive drive(cfg);
  std::vector<uint8_t> page(512, 0);
  huld_ata_cmd cmd;
  vornata_fill_read_log_ext(&cmd, 0, 1, 0x30, 0x03, page.data(), 512);
  run_on(drive, &cmd);
  huld_error err = fresh_error();
  uint8_t b = 0x77;
  EXPECT_EQ(1, vornata_id_data_log_parse_dm_offsets_immediate_supported(&err, &b, page.data(), 512));
  EXPECT_STREQ("qword invalid", err.message);
  EXPECT_EQ(0x77, b);
  uint16_t w = 0x7777;
  EXPECT_EQ(1, vornata_id_data_log_parse_dm_min_blocks(&err, &w, page.data(), 512));
  EXPECT_STREQ("identify device data log dlmc cap invalid", err.message);
  EXPECT_EQ(0x7777, w);
}

TEST(AtaIdDataLog, WorldWideNameAndRotationRate) {
  std::vector<uint8_t> page(512, 0);
  uint64_t wwn = 0x5001234567890ABCull;
  std::memcpy(page.data() + 56, &wwn, 8);
  page[71] = 0x80;  // qword at 64 valid
  page[24] = 0x01;
  page[31] = 0x80;
  huld_error err = fresh_error();
  uint64_t v = 0;
  EXPECT_EQ(wwn, got(err, v, vornata_id_data_log_parse_world_wide_name, page.data(), 72));
  uint32_t oui = 0;
  EXPECT_EQ(0x001234u, got(err, oui, vornata_id_data_log_parse_ieee_oui, page.data(), 72));
  uint16_t rpm = 0;
  EXPECT_EQ(1, got(err, rpm, vornata_id_data_log_parse_nominal_media_rotation_rate, page.data(), 32));
  page[63] = 0x60;  // NAA 6
  EXPECT_EQ(1, vornata_id_data_log_parse_ieee_oui(&err, &oui, page.data(), 72));
  EXPECT_STREQ("identify device data log world wide name NAA invalid (6h)", err.message);
  page[71] = 0;
  EXPECT_EQ(1, vornata_id_data_log_parse_world_wide_name(&err, &v, page.data(), 72));
  EXPECT_STREQ("identify device data log world wide name invalid", err.message);
}

// ----- SMART -----

TEST(AtaSmart, AttributesThresholdsAndSelfTest) {
  std::vector<uint8_t> data(512, 0);
  for (int i = 0; i < 10; ++i) {
    uint8_t *e = data.data() + 2 + 12 * i;
    e[0] = static_cast<uint8_t>(i + 1);
    e[1] = 0x33;
    e[3] = 100;
    e[4] = 90;
    e[5] = static_cast<uint8_t>(i);
    e[10] = 0x01;
    e[11] = 0x7E;
  }
  data[363] = 0x25;
  data[372] = 2;
  data[373] = 0xFF;
  data[375] = 0x2C;
  data[376] = 0x01;
  data[374] = 5;
  huld_error err = fresh_error();
  vornata_smart_attribute attrs[4];
  uint32_t n = 4;
  ASSERT_EQ(0, vornata_smart_parse_attributes(&err, attrs, &n, data.data(), 512));
  EXPECT_EQ(4u, n);
  EXPECT_EQ(4, attrs[3].id);
  vornata_smart_attribute a;
  ASSERT_EQ(0, vornata_smart_parse_attribute(&err, &a, 3, data.data(), 512));
  EXPECT_EQ(0x33, a.flags);
  EXPECT_EQ(100, a.current);
  EXPECT_EQ(90, a.worst);
  EXPECT_EQ(0x7E, a.reserved);
  EXPECT_EQ(0x010000000002ull, a.raw);
  EXPECT_EQ(1, vornata_smart_parse_attribute(&err, &a, 0xC2, data.data(), 512));
  EXPECT_STREQ("attr 194 does not exist in SMART buffer", err.message);
  EXPECT_EQ(1, vornata_smart_parse_attribute(&err, &a, 3, data.data(), 511));
  EXPECT_STREQ("buffer not large enough", err.message);
  uint32_t count = 0;
  EXPECT_EQ(10u, got(err, count, vornata_smart_parse_nattrs, data.data(), 512));

  uint8_t status = 0;
  uint32_t v = 0;
  EXPECT_EQ(2, got(err, status, vornata_smart_parse_self_test_status, data.data(), 512));
  EXPECT_EQ(50u, got(err, v, vornata_smart_parse_self_test_percent_done, data.data(), 512));
  data[363] = 0x0F;  // not a defined remaining value: nothing done, no wrap
  EXPECT_EQ(0u, got(err, v, vornata_smart_parse_self_test_percent_done, data.data(), 512));
  EXPECT_EQ(300u, got(err, v, vornata_smart_parse_long_polling_time, data.data(), 512));
  EXPECT_EQ(2u, got(err, v, vornata_smart_parse_short_polling_time, data.data(), 512));
  EXPECT_EQ(5u, got(err, v, vornata_smart_parse_conveyance_polling_time, data.data(), 512));
}

TEST(AtaSmart, ThresholdTableHasThirtySlots) {
  std::vector<uint8_t> data(512, 0);
  data[2] = 5;
  data[3] = 10;
  data[2 + 12 * 29] = 9;  // last real slot
  data[3 + 12 * 29] = 20;
  data[2 + 12 * 30] = 0xC2;  // beyond the table: not a threshold
  data[2 + 12 * 40] = 0xC3;
  huld_error err = fresh_error();
  uint32_t n = 0;
  EXPECT_EQ(2u, got(err, n, vornata_smart_parse_nthresholds, data.data(), 512));
  vornata_smart_threshold t;
  ASSERT_EQ(0, vornata_smart_parse_threshold(&err, &t, 9, data.data(), 512));
  EXPECT_EQ(20, t.threshold);
  EXPECT_EQ(1, vornata_smart_parse_threshold(&err, &t, 0xC2, data.data(), 512));
  EXPECT_STREQ("attr 194 does not exist in SMART threshold buffer", err.message);
  vornata_smart_threshold all[8];
  n = 8;
  ASSERT_EQ(0, vornata_smart_parse_thresholds(&err, all, &n, data.data(), 512));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(5, all[0].id);
  EXPECT_EQ(9, all[1].id);
}

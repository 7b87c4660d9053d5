// NVMe command set: builders against the command fields, the completion check and status names,
// and the parsers over Identify data and logs that the simulated controller returns.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_bridge.h"
#include "vornnvme/errors.h"
#include "vornnvme/nvme.h"
#include "vornnvme/parse.h"
#include "tests/support/huld_error_line.h"

using cmdsets_test::failed_with;
using cmdsets_test::fresh_error;
using cmdsets_test::got;
using cmdsets_test::got_str;
using cmdsets_test::run_on;

namespace {

sim::NvmeConfig drive_config() {
  sim::NvmeConfig cfg;
  cfg.model = "SIMNVME MODEL 1";
  cfg.serial = "SIMNVMESERIAL0001";
  cfg.firmware = "SIMFW001";
  cfg.slot1_read_only = true;
  cfg.slot_count = 4;
  cfg.fwug = 3;
  cfg.apsta = true;
  cfg.lba_data_size_shift = 12;
  return cfg;
}

// The command dwords and transfer fields of a built command, on one line.
std::string dwords(const huld_nvme_cmd &c) {
  char s[200];
  std::snprintf(s, sizeof s,
                "cdw0 %x nsid %x cdw10 %x cdw11 %x cdw12 %x cdw13 %x cdw14 %x cdw15 %x queue %x ddir %u len %u to %u",
                c.cdw0, c.nsid, c.cdw10, c.cdw11, c.cdw12, c.cdw13, c.cdw14, c.cdw15, c.queue, c.ddir, c.data_len,
                c.timeout_ms);
  return s;
}

// One Device Self-test log result on one line.
std::string self_test_line(const vornnvme_self_test_result &r) {
  char s[160];
  std::snprintf(s, sizeof s, "code %u result %u segment %u valid %u%u%u%u hours %llu nsid %u lba %llx sct %u sc %02x",
                r.code, r.result, r.segment_number, r.scv, r.sctv, r.flbav, r.nsidv,
                static_cast<unsigned long long>(r.power_on_hours), r.nsid,
                static_cast<unsigned long long>(r.failing_lba), r.status_code_type, r.status_code);
  return s;
}

std::vector<uint8_t> identify(sim::NvmeController &c, uint8_t cns, uint32_t nsid) {
  std::vector<uint8_t> buf(4096, 0xEE);
  huld_nvme_cmd cmd;
  vornnvme_fill_identify(&cmd, nsid, cns, 0, 0, 0, 0, buf.data(), 4096);
  run_on(c, &cmd);
  huld_error err = fresh_error();
  EXPECT_EQ(0, vornnvme_check_error(&err, &cmd));
  return buf;
}

std::vector<uint8_t> log_page(sim::NvmeController &c, uint8_t lid) {
  std::vector<uint8_t> buf(512, 0xEE);
  huld_nvme_cmd cmd;
  vornnvme_fill_get_log_page(&cmd, 0, 127, 0, 0, lid, 0, 0, 0, 0, 0, buf.data(), 512);
  run_on(c, &cmd);
  huld_error err = fresh_error();
  EXPECT_EQ(0, vornnvme_check_error(&err, &cmd));
  return buf;
}

}  // namespace

// ----- builders -----

TEST(NvmeBuilders, EveryRecordStartsZeroedWithDefaults) {
  huld_nvme_cmd cmd;
  std::memset(&cmd, 0xAB, sizeof(cmd));
  vornnvme_fill_identify(&cmd, 0, 1, 0, 0, 0, 0, nullptr, 4096);
  EXPECT_EQ(0u, cmd.cpl[0] | cmd.cpl[1] | cmd.cpl[2] | cmd.cpl[3]);
  for (uint8_t b : cmd.reserved) EXPECT_EQ(0, b);
  EXPECT_EQ(dwords(cmd),
            "cdw0 6 nsid 0 cdw10 1 cdw11 0 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 2 len 4096 to 30000");
}

TEST(NvmeBuilders, FirmwareCommitMasksEachFieldToItsWidth) {
  huld_nvme_cmd cmd;
  vornnvme_fill_firmware_commit(&cmd, 0, 1, 1);
  EXPECT_EQ(0x09u, cmd.cdw10);
  vornnvme_fill_firmware_commit(&cmd, 0, 3, 2);
  EXPECT_EQ(dwords(cmd),
            "cdw0 10 nsid 0 cdw10 1a cdw11 0 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 0 len 0 to 30000");
  // An FS of 9 must not spill into CA, nor a CA of 9 into BPID; BPID keeps bit 0 only.
  vornnvme_fill_firmware_commit(&cmd, 3, 9, 9);
  EXPECT_EQ(0x80000000u | (1u << 3) | 1u, cmd.cdw10);
}

TEST(NvmeBuilders, DwordLayouts) {
  huld_nvme_cmd cmd;
  vornnvme_fill_get_log_page(&cmd, 5, 0x12345, 1, 2, 0x03, 0xBEEF, 0x1122334455667788ull, 7, 1,
                             0xFF, nullptr, 0);
  EXPECT_EQ(dwords(cmd),
            "cdw0 2 nsid 5 cdw10 23458203 cdw11 beef0001 cdw12 55667788 cdw13 11223344 cdw14 780007f cdw15 0 queue 0 ddir 2 len 0 to 30000");

  vornnvme_fill_identify(&cmd, 9, 0x02, 0x1234, 0x05, 0xABCD, 0x81, nullptr, 0);
  EXPECT_EQ(dwords(cmd),
            "cdw0 6 nsid 9 cdw10 12340002 cdw11 500abcd cdw12 0 cdw13 0 cdw14 1 cdw15 0 queue 0 ddir 2 len 0 to 30000");

  // Format NVM with LBA format 17: bits 3:0 = 1, bits 13:12 = 1; MSET as given.
  vornnvme_fill_format(&cmd, 1, 1, 1, 2, 1, 17);
  EXPECT_EQ(0x80u, cmd.cdw0);
  EXPECT_EQ(1u | (1u << 4) | (2u << 5) | (1u << 8) | (1u << 9) | (1u << 12), cmd.cdw10);

  vornnvme_fill_sanitize(&cmd, 1, 1, 0x1F, 1, 0xF, 0xA5A5A5A5);
  EXPECT_EQ(dwords(cmd),
            "cdw0 84 nsid 0 cdw10 3ff cdw11 a5a5a5a5 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 0 len 0 to 30000");

  vornnvme_fill_security_send(&cmd, 0xEF, 0x1234, 0x56, 512, nullptr, 512);
  EXPECT_EQ(dwords(cmd),
            "cdw0 81 nsid 1 cdw10 ef123456 cdw11 200 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 1 len 512 to 30000");
  vornnvme_fill_security_receive(&cmd, 0xEF, 0x1234, 0x56, 512, nullptr, 512);
  EXPECT_EQ(1u, cmd.nsid);
  EXPECT_EQ(2u, cmd.ddir);

  vornnvme_fill_read(&cmd, 1, 0x0000000200000010ull, 7, nullptr, 4096);
  EXPECT_EQ(dwords(cmd),
            "cdw0 2 nsid 1 cdw10 10 cdw11 2 cdw12 7 cdw13 0 cdw14 0 cdw15 0 queue ffffffff ddir 2 len 4096 to 30000");
  vornnvme_fill_write(&cmd, 1, 0, 0, nullptr, 512);
  EXPECT_EQ(0x01u, cmd.cdw0);
  EXPECT_EQ(1u, cmd.ddir);
}

TEST(NvmeBuilders, QueueNamespaceAndDirectionRules) {
  huld_nvme_cmd cmd;
  vornnvme_fill_flush(&cmd);
  EXPECT_EQ(0xFFFFFFFFu, cmd.nsid);
  EXPECT_EQ(0xFFFFFFFFu, cmd.queue);

  vornnvme_fill_namespace_management(&cmd, 7, 0, 2, nullptr, 4096);
  EXPECT_EQ(dwords(cmd),
            "cdw0 d nsid 0 cdw10 0 cdw11 2000000 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 1 len 4096 to 30000");
  vornnvme_fill_namespace_management(&cmd, 7, 1, 0, nullptr, 0);
  EXPECT_EQ(7u, cmd.nsid);
  EXPECT_EQ(1u, cmd.ddir);  // data out even for a delete

  // Get/Set Features without a buffer carry no data but keep the length.
  vornnvme_fill_get_features(&cmd, 0x0C, 0, 3, 0, 0, nullptr, 256);
  EXPECT_EQ(dwords(cmd),
            "cdw0 a nsid 0 cdw10 30c cdw11 0 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 0 len 256 to 30000");
  uint8_t table[256];
  vornnvme_fill_set_features(&cmd, 1, 0x0C, 0, 1, 0, table, 256);
  EXPECT_EQ(dwords(cmd),
            "cdw0 9 nsid 0 cdw10 8000000c cdw11 1 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 1 len 256 to 30000");

  vornnvme_fill_dataset_management(&cmd, 1, 3, 4, table, 64);
  EXPECT_EQ(dwords(cmd),
            "cdw0 9 nsid 1 cdw10 3 cdw11 4 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue ffffffff ddir 1 len 64 to 30000");
  vornnvme_fill_firmware_image_download(&cmd, 2047, 4096, table, 8192);
  EXPECT_EQ(dwords(cmd),
            "cdw0 11 nsid 0 cdw10 7ff cdw11 1000 cdw12 0 cdw13 0 cdw14 0 cdw15 0 queue 0 ddir 1 len 8192 to 30000");
}

// ----- completion check and status names -----

TEST(NvmeCheckError, StatusFieldDecoding) {
  huld_nvme_cmd cmd;
  vornnvme_fill_flush(&cmd);
  huld_error err = fresh_error();
  err.code = 9;
  // Phase tag (bit 16) and DNR (bit 31) alone are success.
  cmd.cpl[3] = (1u << 16) | (1u << 31);
  EXPECT_EQ(0, vornnvme_check_error(&err, &cmd));
  EXPECT_EQ(0u, err.code);

  cmd.cpl[3] = (1u << 25) | (0x06u << 17);
  EXPECT_EQ(1, vornnvme_check_error(&err, &cmd));
  EXPECT_EQ(error_line(err), "code 6 subcode 262 file vornnvme\\errors function vornnvme_check_error"
                             " message device error detected, sct 1h, sc 6h");
}

TEST(NvmeStatusNames, RangesAndNamedCodes) {
  EXPECT_STREQ("Vendor Specific", vornnvme_status_to_string(0x09C5));
  EXPECT_STREQ("Reserved", vornnvme_status_to_string(0x0905));
  EXPECT_STREQ("Vendor Specific", vornnvme_status_to_string(0x0700));
  EXPECT_STREQ("Reserved", vornnvme_status_to_string(0x0500));
  EXPECT_STREQ("I/O Command Set Specific", vornnvme_status_to_string(0x0090));
  EXPECT_STREQ("I/O Command Set Specific", vornnvme_status_to_string(0x0288));
  EXPECT_STREQ("Directive Specific", vornnvme_status_to_string(0x0175));
  EXPECT_STREQ("Invalid Firmware Slot", vornnvme_status_to_string(0x0106));
  EXPECT_STREQ("Format In Progress", vornnvme_status_to_string(0x0084));
  EXPECT_STREQ("Command Aborted By Host", vornnvme_status_to_string(0x0371));
  EXPECT_STREQ("Deallocated or Unwritten Logical Block", vornnvme_status_to_string(0x0287));
  EXPECT_STREQ("Reserved", vornnvme_status_to_string(0x0017));
  EXPECT_STREQ("Reserved", vornnvme_status_to_string(0x0104));
  EXPECT_STREQ("Reserved", vornnvme_status_to_string(0x0117));
}

// ----- executors: the execute layer's failure passes through unchanged -----

TEST(NvmeExecutors, ExecuteFailureIsReturnedUnchanged) {
  huld_dev dev = cmdsets_test::unserved_device();
  huld_error err = fresh_error();
  uint32_t result = 0x5A5A5A5A;
  uint8_t buf[256];
  EXPECT_EQ(2u, failed_with(err, vornnvme_execute_get_features(&err, &dev, 0x0C, 0, 0, 0, 0, buf, 256, &result)));
  EXPECT_EQ(0u, err.subcode);
  EXPECT_EQ(0x5A5A5A5Au, result);  // nothing written on failure
  EXPECT_EQ(2u, failed_with(err, vornnvme_execute_identify_controller(&err, &dev, buf, sizeof(buf))));
  EXPECT_EQ(2u, failed_with(err, vornnvme_execute_firmware_commit(&err, &dev, 0, 1, 2)));
}

// ----- parsers over data from the simulated controller -----

TEST(NvmeIdentifyController, IdentityAndFirmwareFieldsFromController) {
  sim::NvmeController c(drive_config());
  std::vector<uint8_t> id = identify(c, 1, 0);
  huld_error err = fresh_error();
  char text[64];
  EXPECT_STREQ("SIMNVME MODEL 1", got_str(err, text, vornnvme_identify_controller_parse_model, sizeof(text), id.data(), 4096));
  EXPECT_STREQ("SIMNVMESERIAL0001", got_str(err, text, vornnvme_identify_controller_parse_serial, sizeof(text), id.data(), 4096));
  ASSERT_EQ(0, vornnvme_identify_controller_parse_firmware_revision(&err, text, sizeof(text),
                                                                     id.data(), 4096));
  EXPECT_STREQ("SIMFW001", text);

  uint16_t w = 0;
  EXPECT_EQ(0xABCD, got(err, w, vornnvme_identify_controller_parse_pci_vendor_id, id.data(), 4096));
  uint8_t b = 0;
  EXPECT_EQ(1, got(err, b, vornnvme_identify_controller_parse_first_firmware_slot_read_only, id.data(), 4096));
  EXPECT_EQ(4, got(err, b, vornnvme_identify_controller_parse_number_of_firmware_slots, id.data(), 4096));
  EXPECT_EQ(3, got(err, b, vornnvme_identify_controller_parse_firmware_update_granularity, id.data(), 4096));
  ASSERT_EQ(0, vornnvme_identify_controller_parse_autonomous_power_state_transitions_supported(
                   &err, &b, id.data(), 4096));
  EXPECT_EQ(1, b);
  EXPECT_EQ(1, got(err, b, vornnvme_identify_controller_parse_vwc_present, id.data(), 4096));
  vornnvme_power_state_descriptor ps;
  ASSERT_EQ(0, vornnvme_identify_controller_parse_power_state_descriptor(&err, &ps, 0, id.data(), 4096));
  EXPECT_EQ(2500, ps.mp);
  EXPECT_EQ(0u, err.code);
}

TEST(NvmeIdentifyController, ShortBuffersNameTheField) {
  std::vector<uint8_t> id(4096, ' ');
  huld_error err = fresh_error();
  char text[64];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(1, vornnvme_identify_controller_parse_model(&err, text, sizeof(text), id.data(), 63));
  EXPECT_EQ(error_line(err), "code 1 subcode 0 file vornnvme\\parse function vornnvme_identify_controller_parse_model"
                             " message buffer not large enough to parse nvme controller model\n");
  EXPECT_EQ('\0', text[0]);  // zeroed output on failure
  // 64 bytes are enough; 40 blanks give an empty model.
  EXPECT_STREQ("", got_str(err, text, vornnvme_identify_controller_parse_model, sizeof(text), id.data(), 64));

  uint8_t b = 0x77;
  EXPECT_EQ(1, vornnvme_identify_controller_parse_firmware_update_granularity(&err, &b, id.data(), 339));
  EXPECT_STREQ("buffer not large enough to parse nvme controller fwug\n", err.message);
  EXPECT_EQ(0x77, b);
  EXPECT_EQ(0, vornnvme_identify_controller_parse_firmware_update_granularity(&err, &b, id.data(), 340));
  EXPECT_EQ(1, vornnvme_identify_controller_parse_report_ana_change_state_supported(&err, &b, id.data(), 343));
  EXPECT_STREQ("buffer not large enough to parse asymmetric namespace access capabilities\n", err.message);
  EXPECT_EQ(0, vornnvme_identify_controller_parse_report_ana_change_state_supported(&err, &b, id.data(), 344));

  // Generated field parsers: primitive message with the field's description.
  uint16_t w = 0;
  EXPECT_EQ(1, vornnvme_identify_controller_parse_pci_vendor_id(&err, &w, id.data(), 1));
  EXPECT_STREQ("buffer not large enough to parse word at offset 0 (pci vendor id)", err.message);
  EXPECT_STREQ("vornnvme_identify_controller_parse_pci_vendor_id", err.function);
  vornnvme_oword ow;
  EXPECT_EQ(1, vornnvme_identify_controller_parse_maximum_domain_namespace_attachments(&err, &ow, id.data(), 559));
  EXPECT_STREQ("buffer not large enough to parse oword at offset 544 (maximum domain namespace attachments)",
               err.message);
  uint32_t dw = 0;
  EXPECT_EQ(1, vornnvme_identify_controller_parse_version(&err, &dw, id.data(), 83));
  EXPECT_STREQ("buffer not large enough to parse dword at offset 80 (version)", err.message);
  // A bit parser fails with the message of the field it reads.
  EXPECT_EQ(1, vornnvme_identify_controller_parse_oacs_format_nvm_supported(&err, &b, id.data(), 257));
  EXPECT_STREQ("buffer not large enough to parse word at offset 256 (optional admin command support)",
               err.message);
  vornnvme_power_state_descriptor ps;
  EXPECT_EQ(1, vornnvme_identify_controller_parse_power_state_descriptor(&err, &ps, 0xFFFFFFFFu, id.data(), 4096));
  EXPECT_STREQ("buffer not large enough to parse power state descriptor 4294967295\n", err.message);
}

TEST(NvmeIdentifyController, StringOutputSizes) {
  std::vector<uint8_t> id(4096, 0);
  std::memcpy(id.data() + 24, "ABCDEFGHIJKLMNOPQRSTUVWXYZ              ", 40);
  huld_error err = fresh_error();
  char small[16];
  EXPECT_STREQ("ABCDEFGHIJKLMNO", got_str(err, small, vornnvme_identify_controller_parse_model, sizeof(small), id.data(), 4096));
  char guard[4] = {'g', 'g', 'g', 'g'};
  EXPECT_EQ(1u, failed_with(err, vornnvme_identify_controller_parse_model(&err, guard, 0, id.data(), 4096)));
  EXPECT_EQ('g', guard[0]);  // nothing written for a size of 0
  std::memcpy(id.data() + 768, "  nqn.2014-08.org.example:sub   ", 32);
  char nqn[300];
  EXPECT_STREQ("nqn.2014-08.org.example:sub", got_str(err, nqn, vornnvme_identify_controller_parse_nvm_subsystem_nvme_qualified_name, sizeof(nqn), id.data(), 1024));
}

TEST(NvmeIdentifyController, BitGroupsAndRecords) {
  std::vector<uint8_t> id(4096, 0);
  id[531] = 0x07;                     // NWPC
  id[312] = 0x2D;                     // RPMBS bits 2:0 = 5, 5:3 = 5
  id[315] = 0x81;                     // RPMBS access size
  id[73] = 0x11; id[74] = 0x22; id[75] = 0x33;
  id[328] = 0x05;                     // SANICAP crypto + overwrite
  id[331] = 0xA0;                     // NDI bit 5, NODMMAS bits 7:6 = 2
  for (int i = 0; i < 16; ++i) id[112 + i] = static_cast<uint8_t>(i + 1);
  id[280] = 0x10; id[288] = 0x01;     // TNVMCAP low 10h, high 1
  huld_error err = fresh_error();
  uint8_t b = 0;
  vornnvme_identify_controller_parse_nwpc_write_protect_supported(&err, &b, id.data(), 4096);
  EXPECT_EQ(1, b);
  vornnvme_identify_controller_parse_nwpc_write_protect_until_power_cycle_supported(&err, &b, id.data(), 4096);
  EXPECT_EQ(2, b);  // in place
  vornnvme_identify_controller_parse_nwpc_permanent_write_protect_supported(&err, &b, id.data(), 4096);
  EXPECT_EQ(4, b);
  vornnvme_identify_controller_parse_rpmbs_number_of_rpmb_units(&err, &b, id.data(), 4096);
  EXPECT_EQ(5, b);
  vornnvme_identify_controller_parse_rpmbs_authentication_method(&err, &b, id.data(), 4096);
  EXPECT_EQ(5, b);
  vornnvme_identify_controller_parse_rpmbs_access_size(&err, &b, id.data(), 4096);
  EXPECT_EQ(0x81, b);
  uint32_t oui = 0;
  EXPECT_EQ(0x332211u, got(err, oui, vornnvme_identify_controller_parse_ieee_oui, id.data(), 76));
  vornnvme_identify_controller_parse_sanitize_crypto_erase_supported(&err, &b, id.data(), 332);
  EXPECT_EQ(1, b);
  vornnvme_identify_controller_parse_sanitize_block_erase_supported(&err, &b, id.data(), 332);
  EXPECT_EQ(0, b);
  vornnvme_identify_controller_parse_no_deallocate_inhibited_supported(&err, &b, id.data(), 332);
  EXPECT_EQ(1, b);
  vornnvme_identify_controller_parse_no_deallocate_modified_media(&err, &b, id.data(), 332);
  EXPECT_EQ(2, b);
  EXPECT_EQ(1, vornnvme_identify_controller_parse_sanitize_overwrite_supported(&err, &b, id.data(), 331));
  EXPECT_STREQ("buffer not large enough to parse nvme controller sanicap\n", err.message);
  uint8_t guid[16];
  ASSERT_EQ(0, vornnvme_identify_controller_parse_fru_globally_unique_identifier(&err, guid, id.data(), 128));
  EXPECT_EQ(1, guid[0]);
  EXPECT_EQ(16, guid[15]);
  EXPECT_EQ(1, vornnvme_identify_controller_parse_fru_globally_unique_identifier(&err, guid, id.data(), 127));
  EXPECT_EQ(0, guid[0]);  // zeroed first
  vornnvme_oword cap;
  ASSERT_EQ(0, vornnvme_identify_controller_parse_total_nvm_capacity(&err, &cap, id.data(), 296));
  EXPECT_EQ(0x10u, cap.low);
  EXPECT_EQ(0x1u, cap.high);
  EXPECT_EQ(1, vornnvme_identify_controller_parse_unallocated_nvm_capacity(&err, &cap, id.data(), 311));
  EXPECT_STREQ("buffer not large enough to parse unallocated nvm capacity", err.message);
}

TEST(NvmeIdentifyNamespace, FieldsFromController) {
  sim::NvmeController c(drive_config());
  std::vector<uint8_t> ns = identify(c, 0, 1);
  huld_error err = fresh_error();
  uint64_t v = 0;
  EXPECT_EQ(0x100000u, got(err, v, vornnvme_identify_namespace_parse_namespace_size, ns.data(), 4096));
  EXPECT_EQ(4096u, got(err, v, vornnvme_identify_namespace_parse_lbads, ns.data(), 4096));
  uint8_t b = 0xFF;
  EXPECT_EQ(0, got(err, b, vornnvme_identify_namespace_parse_lba_format_idx, ns.data(), 4096));
  EXPECT_EQ(12, got(err, b, vornnvme_identify_namespace_parse_lba_format_lba_data_size, 0, ns.data(), 4096));
  EXPECT_EQ(0, got(err, b, vornnvme_identify_namespace_parse_number_of_lba_formats, ns.data(), 4096));

  // Bounds of the namespace parsers with their own messages.
  EXPECT_EQ(1, vornnvme_identify_namespace_parse_namespace_utilization(&err, &v, ns.data(), 23));
  EXPECT_STREQ("buffer not large enough to parse nuse", err.message);
  EXPECT_EQ(1, vornnvme_identify_namespace_parse_lbads(&err, &v, ns.data(), 191));
  EXPECT_STREQ("buffer not large enough to parse lbafs\n", err.message);
  EXPECT_EQ(1, vornnvme_identify_namespace_parse_lba_format_idx(&err, &b, ns.data(), 26));
  EXPECT_STREQ("buffer not large enough to parse flbas\n", err.message);
}

TEST(NvmeIdentifyNamespace, HandMadeFormatsAndIdentifiers) {
  std::vector<uint8_t> ns(4096, 0);
  ns[26] = 0x12;                                   // FLBAS: format 2, bit 4 set
  ns[128 + 8 + 0] = 0x08;                          // LBAF2: MS 8
  ns[128 + 8 + 2] = 0x0C;                          // LBADS 12
  ns[128 + 8 + 3] = 0x02;                          // RP 2
  for (int i = 0; i < 8; ++i) ns[120 + i] = static_cast<uint8_t>(i + 1);
  ns[33] = 0x19;                                   // DLFEAT: read behaviour 1, bits 3 and 4
  huld_error err = fresh_error();
  uint64_t v = 0;
  EXPECT_EQ(4096u, got(err, v, vornnvme_identify_namespace_parse_lbads, ns.data(), 192));
  EXPECT_EQ(0x0102030405060708ull, got(err, v, vornnvme_identify_namespace_parse_eui, ns.data(), 128));
  EXPECT_EQ(1, vornnvme_identify_namespace_parse_eui(&err, &v, ns.data(), 127));
  EXPECT_STREQ("buffer not large enough to parse eui\n", err.message);
  uint16_t ms = 0;
  EXPECT_EQ(8, got(err, ms, vornnvme_identify_namespace_parse_lba_format_metadata_size, 2, ns.data(), 4096));
  uint8_t b = 0;
  EXPECT_EQ(2, got(err, b, vornnvme_identify_namespace_parse_lba_format_relative_performance, 2, ns.data(), 4096));
  // The LBA data size is bits 19:16 of the descriptor; bits 23:20 are not part of it.
  EXPECT_EQ(12, got(err, b, vornnvme_identify_namespace_parse_lba_format_lba_data_size, 2, ns.data(), 4096));
  ns[128 + 12 + 2] = 0xF9;                         // LBAF3: bits 23:20 set, bits 19:16 = 9
  EXPECT_EQ(9, got(err, b, vornnvme_identify_namespace_parse_lba_format_lba_data_size, 3, ns.data(), 4096));
  EXPECT_EQ(1, got(err, b, vornnvme_identify_namespace_parse_flbas_metadata_in_extended_lba, ns.data(), 4096));
  EXPECT_EQ(1, got(err, b, vornnvme_identify_namespace_parse_dlfeat_read_behavior, ns.data(), 4096));
  EXPECT_EQ(1, got(err, b, vornnvme_identify_namespace_parse_dlfeat_guard_crc, ns.data(), 4096));
  // An index far beyond the buffer fails instead of wrapping the bound.
  uint32_t dw = 0;
  EXPECT_EQ(1, vornnvme_identify_namespace_parse_lba_format(&err, &dw, 0xFFFFFFFFu, ns.data(), 4096));
}

TEST(NvmeIdentifyNamespace, ActiveNamespaceList) {
  sim::NvmeController c(drive_config());
  std::vector<uint8_t> list = identify(c, 2, 0);
  huld_error err = fresh_error();
  uint32_t ids[4] = {9, 9, 9, 9};
  uint32_t n = 0;
  ASSERT_EQ(0, vornnvme_identify_parse_namespace_list(&err, ids, 4, &n, list.data(), 4096));
  EXPECT_EQ(1u, n);
  EXPECT_EQ(1u, ids[0]);
  EXPECT_EQ(0u, ids[1]);
  // Whole 32-bit ids; the walk stops at the end of the buffer.
  uint8_t raw[6] = {0x01, 0x01, 0x00, 0x00, 0x05, 0x00};
  ASSERT_EQ(0, vornnvme_identify_parse_namespace_list(&err, ids, 4, &n, raw, sizeof(raw)));
  EXPECT_EQ(1u, n);
  EXPECT_EQ(0x101u, ids[0]);
}

TEST(NvmeLogs, FirmwareSlotInformationFromController) {
  sim::NvmeConfig cfg = drive_config();
  cfg.slot_revisions[1] = "SLOT2REV";
  sim::NvmeController c(cfg);
  std::vector<uint8_t> log = log_page(c, 0x03);
  huld_error err = fresh_error();
  uint8_t slot = 0;
  EXPECT_EQ(1, got(err, slot, vornnvme_firmware_slot_info_parse_active_slot, log.data(), 512));
  EXPECT_EQ(0, got(err, slot, vornnvme_firmware_slot_info_parse_next_active_slot, log.data(), 512));
  char rev[16];
  EXPECT_STREQ("SIMFW001", got_str(err, rev, vornnvme_firmware_slot_info_parse_fwrev, sizeof(rev), 1, log.data(), 512));
  EXPECT_STREQ("SLOT2REV", got_str(err, rev, vornnvme_firmware_slot_info_parse_fwrev, sizeof(rev), 2, log.data(), 512));

  // Only slots 1 to 7 exist; slot 0 would read the active-slot byte.
  EXPECT_EQ(1, vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 0, log.data(), 512));
  EXPECT_EQ(1u, err.code);
  EXPECT_EQ(1, vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 8, log.data(), 512));
  // Slot 7 needs 64 bytes.
  EXPECT_EQ(1, vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 7, log.data(), 63));
  EXPECT_STREQ("buffer not large enough to parse slot 7", err.message);
  EXPECT_EQ(0, vornnvme_firmware_slot_info_parse_fwrev(&err, rev, sizeof(rev), 7, log.data(), 64));
  EXPECT_EQ(1, vornnvme_firmware_slot_info_parse_active_slot(&err, &slot, log.data(), 0));
  EXPECT_STREQ("buffer not large enough to parse active slot", err.message);
}

TEST(NvmeLogs, SmartHealthFromController) {
  sim::NvmeController c(drive_config());
  std::vector<uint8_t> log = log_page(c, 0x02);
  huld_error err = fresh_error();
  vornnvme_smart_log smart;
  ASSERT_EQ(0, vornnvme_smart_parse(&err, &smart, log.data(), 512));
  EXPECT_EQ(313, smart.composite_temperature);
  EXPECT_EQ(100, smart.available_spare);
  EXPECT_EQ(10, smart.available_spare_threshold);
  EXPECT_EQ(7u, smart.power_cycles.low);
  EXPECT_EQ(0u, smart.power_cycles.high);

  // The whole-log parser stops at the first field that does not fit.
  EXPECT_EQ(1, vornnvme_smart_parse(&err, &smart, log.data(), 100));
  EXPECT_STREQ("buffer not large enough to parse controller busy time", err.message);
  EXPECT_EQ(1, vornnvme_smart_parse_critical_warnings(&err, &smart.critical_warnings, log.data(), 0));
  EXPECT_STREQ("buffer not large enough to parse smart critical warnings", err.message);
  EXPECT_EQ(1, vornnvme_smart_parse_total_time_in_temperature_two(&err, &smart.warning_composite_temperature_time, log.data(), 231));
  EXPECT_STREQ("buffer is not large enough to parse time in temperature two", err.message);
}

TEST(NvmeLogs, SmartWarningBitsAndSensors) {
  uint8_t log[512] = {};
  log[0] = 0x28;  // bits 3 and 5
  log[200 + 14] = 0x55;  // sensor 8
  huld_error err = fresh_error();
  uint8_t b = 0;
  EXPECT_EQ(1, got(err, b, vornnvme_smart_parse_critical_warning_read_only, log, 512));
  EXPECT_EQ(0, got(err, b, vornnvme_smart_parse_critical_warning_temperature, log, 512));
  EXPECT_EQ(1, got(err, b, vornnvme_smart_parse_critical_warning_persistent_memory_region_read_only, log, 512));
  EXPECT_EQ(1, check_critical_warnings_bit_set(&err, &b, 8, log, 512));
  EXPECT_STREQ("invalid critical warnings bit 8 selected", err.message);
  uint16_t t = 0;
  EXPECT_EQ(0x55, got(err, t, vornnvme_smart_parse_temperature_sensor, 7, log, 512));
  EXPECT_EQ(1, vornnvme_smart_parse_temperature_sensor(&err, &t, 7, log, 215));
  EXPECT_STREQ("buffer not large enough to parse temperature sensor 7", err.message);
  // There are eight sensors; index 8 would read the transition counter.
  EXPECT_EQ(1, vornnvme_smart_parse_temperature_sensor(&err, &t, 8, log, 512));
}

TEST(NvmeLogs, SanitizeSelfTestAndEffects) {
  uint8_t log[1024 + 1024] = {};
  log[0] = 0xFF;
  log[1] = 0xFF;
  log[2] = 0x4B;  // status 3, passes 9
  log[3] = 0x01;
  huld_error err = fresh_error();
  uint16_t raw = 0;
  double fraction = 0;
  EXPECT_EQ(0xFFFF, got(err, raw, vornnvme_sanitize_status_parse_sanitize_progress, &fraction, log, 2));
  EXPECT_EQ(0.9999847412109375, fraction);
  uint8_t b = 0;
  EXPECT_EQ(3, got(err, b, vornnvme_sanitize_status_parse_sanitize_status, log, 4));
  EXPECT_EQ(9, got(err, b, vornnvme_sanitize_status_parse_overwrite_completed_passes, log, 4));
  EXPECT_EQ(1, vornnvme_sanitize_status_parse_global_data_erased(&err, &b, log, 3));
  EXPECT_STREQ("buffer not large enough to parse global data erased", err.message);
  uint32_t dw = 0;
  EXPECT_EQ(1, vornnvme_sanitize_status_parse_estimated_time_for_crypto_erase(&err, &dw, log, 19));
  EXPECT_STREQ("buffer not large enough to parse sanitize status estimated time for crypto erase", err.message);

  // Device self-test log: current completion and one result entry.
  uint8_t st[564] = {};
  st[0] = 0x12;
  st[1] = 0xC5;
  uint8_t *e = st + 4 + 28;  // entry 1
  e[0] = 0x27;
  e[1] = 3;
  e[2] = 0x0F;
  e[4] = 0x10;
  e[12] = 1;
  e[16] = 0x99;
  e[24] = 0x02;
  e[25] = 0x81;
  EXPECT_EQ(2, got(err, b, vornnvme_device_self_test_info_parse_current_operation, st, 1));
  EXPECT_EQ(0x45, got(err, b, vornnvme_device_self_test_info_parse_current_completion, st, 2));
  EXPECT_EQ(1, vornnvme_device_self_test_info_parse_current_completion(&err, &b, st, 1));
  EXPECT_STREQ("buffer not large enough to parse current completion (1/2)", err.message);
  vornnvme_self_test_result r;
  ASSERT_EQ(0, vornnvme_device_self_test_info_parse_entry(&err, &r, 1, st, 60));
  EXPECT_EQ(self_test_line(r), "code 2 result 7 segment 3 valid 1111 hours 16 nsid 1 lba 99 sct 2 sc 81");
  EXPECT_EQ(1, vornnvme_device_self_test_info_parse_entry(&err, &r, 1, st, 59));
  EXPECT_STREQ("buffer not large enough to parse entry idx 1 (60/59)", err.message);

  // Commands Supported and Effects: admin opcode 06h and I/O opcode 01h.
  uint8_t effects[4096] = {};
  effects[4 * 6] = 0x01;
  effects[1024 + 4 * 1] = 0x1F;
  effects[1024 + 4 * 1 + 2] = 0x02;
  vornnvme_command_effects fx;
  ASSERT_EQ(0, vornnvme_commands_supported_and_effects_log_parse_structure_from_offset(&err, &fx, 1028, effects, 4096));
  EXPECT_EQ(2, fx.cse);
  EXPECT_EQ(1, fx.ccc);
  EXPECT_EQ(1, fx.csupp);
  EXPECT_EQ(1, fx.lbcc);
  uint8_t table[256];
  ASSERT_EQ(0, vornnvme_commands_supported_and_effects_log_parse_admin_commands_supported(&err, table, effects, 4096));
  EXPECT_EQ(1, table[6]);
  EXPECT_EQ(0, table[2]);
  ASSERT_EQ(0, vornnvme_commands_supported_and_effects_log_parse_io_commands_supported(&err, table, effects, 4096));
  EXPECT_EQ(1, table[1]);
  EXPECT_EQ(1, vornnvme_commands_supported_and_effects_log_parse_io_commands_supported(&err, table, effects, 2047));
  EXPECT_STREQ("buffer not large enough to parse commands supported and effects structure at offset 2044\n",
               err.message);
}

// ATA executors on drives behind SCSI/ATA translation (a USB bridge and the in-box AHCI driver):
// the ATA PASS-THROUGH CDB each executor's command becomes, what the drive answers, firmware
// downloads with and without deferred activation, the registers of failed commands in fixed and
// descriptor sense data, and the refusals that happen before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "devices_support.h"
#include "huld/huld_ata.h"
#include "huld/huld_scsi.h"
#include "vornata/ata.h"
#include "vornata/errors.h"
#include "vornata/parse.h"
#include "vornscsi/errors.h"
#include "tests/support/huld_error_line.h"

using namespace devices_test;

namespace {

using Cdb = std::vector<uint8_t>;

class AtaOnDevice : public DeviceTest {
 protected:
  std::shared_ptr<sim::AtaDrive> drive(uint32_t disk) { return sim::storage_ata(disk); }

  // The one SCSI pass-through request sent since the last clear.
  static sim::TraceEntry only_request() {
    const auto spt = sent(kScsiPassThrough);
    EXPECT_EQ(spt.size(), 1u);
    EXPECT_EQ(sent_total(), spt.size());
    return spt.empty() ? sim::TraceEntry{} : spt.back();
  }

  std::string firmware_of(huld_dev &dev) {
    std::vector<uint8_t> id(512, 0);
    huld_error err = fresh_error();
    EXPECT_EQ(vornata_execute_identify_device(&err, &dev, id.data(), 512), 0) << err.message;
    char fw[16] = {};
    EXPECT_EQ(vornata_identify_parse_firmware(&err, fw, sizeof(fw), id.data(), 512), 0);
    return fw;
  }
};

TEST_F(AtaOnDevice, IdentifyDeviceThroughEitherTranslation) {
  struct Case {
    const char *name;
    uint32_t disk;
    const char *model, *serial, *firmware;
  } cases[] = {
      {"usb bridge", kUsbSatDisk, "CORVANE CVS-128 USB", "CVSUSB0001", "CU100001"},
      {"in-box ahci", kAhciDisk, "CORVANE CVS-256", "CVS256SER0001", "CS100001"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    huld_dev &dev = c.disk == kUsbSatDisk ? usb_sat() : ahci_sat();
    std::vector<uint8_t> id(512, 0);
    huld_error err = fresh_error();
    ASSERT_EQ(vornata_execute_identify_device(&err, &dev, id.data(), 512), 0) << err.message;
    EXPECT_EQ(err.code, 0u);
    const sim::TraceEntry spt = only_request();
    EXPECT_EQ(cdb_of(spt), (Cdb{0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}));
    EXPECT_EQ(spt.input.at(8), 1) << "data in";
    EXPECT_EQ(le32(spt.input, 12), 512u);
    EXPECT_EQ(le32(spt.input, 16), 30u) << "seconds";
    char out[64] = {};
    ASSERT_EQ(vornata_identify_parse_model(&err, out, sizeof(out), id.data(), 512), 0);
    EXPECT_STREQ(out, c.model);
    ASSERT_EQ(vornata_identify_parse_serial(&err, out, sizeof(out), id.data(), 512), 0);
    EXPECT_STREQ(out, c.serial);
    ASSERT_EQ(vornata_identify_parse_firmware(&err, out, sizeof(out), id.data(), 512), 0);
    EXPECT_STREQ(out, c.firmware);
    EXPECT_EQ(drive(c.disk)->command_count(0xEC), 1u);
  }
}

TEST_F(AtaOnDevice, ReadLogExtOfTheIdentifyDeviceDataLog) {
  huld_dev &dev = usb_sat();
  std::vector<uint8_t> page(512, 0);
  huld_error err = fresh_error();
  ASSERT_EQ(vornata_execute_read_log_ext(&err, &dev, 0, 1, 0x30, 0x03, page.data(), 512), 0) << err.message;
  EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x09, 0x0E, 0, 0, 0, 0x01, 0, 0x30, 0, 0x03, 0, 0, 0, 0x2F, 0}));
  uint8_t mode3 = 0, mode7 = 0, modeE = 0;
  ASSERT_EQ(vornata_id_data_log_parse_dm_offsets_immediate_supported(&err, &mode3, page.data(), 512), 0)
      << err.message;
  ASSERT_EQ(vornata_id_data_log_parse_dm_immediate_supported(&err, &mode7, page.data(), 512), 0);
  ASSERT_EQ(vornata_id_data_log_parse_dm_offsets_deferred_supported(&err, &modeE, page.data(), 512), 0);
  EXPECT_EQ(mode3, 1);
  EXPECT_EQ(mode7, 1);
  EXPECT_EQ(modeE, 1);
}

// 48-bit registers: every LBA byte and the high COUNT byte land in their CDB places.
TEST_F(AtaOnDevice, ExtendedRegistersReachTheDrive) {
  huld_dev &dev = ahci_sat();
  std::vector<uint8_t> data(1024, 0);
  huld_error err = fresh_error();
  EXPECT_EQ(vornata_execute_read_log_ext(&err, &dev, 0, 2, 0x30, 0x0103, data.data(), 1024), 1);
  EXPECT_EQ(err.subcode, 0x5104u) << "the drive has no such page";
  EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x09, 0x0E, 0, 0, 0, 0x02, 0, 0x30, 0x01, 0x03, 0, 0, 0, 0x2F, 0}));

  sim::trace_clear();
  EXPECT_EQ(vornata_execute_read_sectors_ext(&err, &dev, 0x123456789ABCull, data.data(), 1024), 1);
  EXPECT_EQ(cdb_of(only_request()),
            (Cdb{0x85, 0x09, 0x0E, 0, 0, 0, 0x02, 0x56, 0xBC, 0x34, 0x9A, 0x12, 0x78, 0x40, 0x24, 0}));

  sim::trace_clear();
  std::vector<uint8_t> big(300 * 512, 0);
  EXPECT_EQ(vornata_execute_write_log_ext(&err, &dev, 0x0102, 300, 0x80, 0x0201, big.data(), 300 * 512), 1);
  const sim::TraceEntry spt = only_request();
  EXPECT_EQ(cdb_of(spt), (Cdb{0x85, 0x0B, 0x06, 0x01, 0x02, 0x01, 0x2C, 0, 0x80, 0x02, 0x01, 0, 0, 0, 0x3F, 0}));
  EXPECT_EQ(le32(spt.input, 12), 300u * 512u);
}

TEST_F(AtaOnDevice, SmartCommands) {
  huld_dev &dev = usb_sat();
  huld_error err = fresh_error();
  ASSERT_EQ(vornata_execute_smart_enable_operations(&err, &dev), 0) << err.message;
  EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x06, 0x00, 0, 0xD8, 0, 0, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0}));

  sim::trace_clear();
  std::vector<uint8_t> data(512, 0);
  ASSERT_EQ(vornata_execute_smart_read_data(&err, &dev, data.data(), 512), 0) << err.message;
  EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x08, 0x0E, 0, 0xD0, 0, 0x01, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0}));
  EXPECT_EQ(data[0], 0x10) << "data structure revision";

  // SMART RETURN STATUS asks for the registers back (CK_COND); the translation answers with a
  // CHECK CONDITION that only carries them, in each sense format that can hold the LBA.
  struct Format {
    const char *name;
    sim::SatSenseFormat format;
  } formats[] = {{"descriptor", sim::SatSenseFormat::Descriptor},
                 {"fixed, old layout", sim::SatSenseFormat::FixedOld},
                 {"fixed, new layout", sim::SatSenseFormat::FixedNew}};
  for (const Format &f : formats) {
    SCOPED_TRACE(f.name);
    sim::storage_sat(kUsbSatDisk)->set_sense_format(f.format, true);
    sim::trace_clear();
    uint16_t value = 0;
    ASSERT_EQ(vornata_execute_smart_return_status(&err, &dev, &value), 0) << err.message;
    EXPECT_EQ(value, 0xC24F);
    EXPECT_EQ(vornata_check_smart_return_status(&err, value), 0);
    const sim::TraceEntry spt = only_request();
    EXPECT_EQ(cdb_of(spt), (Cdb{0x85, 0x06, 0x20, 0, 0xDA, 0, 0, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0}));
    EXPECT_EQ(spt.output.at(2), 0x02) << "CHECK CONDITION carrying the registers";
  }
}

// DOWNLOAD MICROCODE 03h: segments with offsets; the drive runs the image once the last segment
// arrived.
TEST_F(AtaOnDevice, DownloadMicrocodeWithOffsets) {
  huld_dev &dev = usb_sat();
  auto ata = drive(kUsbSatDisk);
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, "CU200002", 20000);
  image.resize((image.size() + 511) / 512 * 512, 0);
  const uint16_t total_blocks = static_cast<uint16_t>(image.size() / 512);
  const uint16_t segment = 16;
  huld_error err = fresh_error();
  for (uint16_t offset = 0; offset < total_blocks; offset += segment) {
    const uint16_t blocks = std::min<uint16_t>(segment, static_cast<uint16_t>(total_blocks - offset));
    ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x03, blocks, offset, image.data() + offset * 512u,
                                                 blocks * 512u),
              0)
        << err.message;
  }
  const auto spt = sent(kScsiPassThrough);
  ASSERT_EQ(spt.size(), 3u);
  uint16_t offset = 0;
  for (const sim::TraceEntry &e : spt) {
    const uint16_t blocks = std::min<uint16_t>(segment, static_cast<uint16_t>(total_blocks - offset));
    const Cdb expected = {0x85, 0x0A, 0x06, 0, 0x03, 0, static_cast<uint8_t>(blocks), 0, 0, 0,
                          static_cast<uint8_t>(offset), 0, 0, 0, 0x92, 0};
    EXPECT_EQ(cdb_of(e), expected);
    EXPECT_EQ(e.input.at(8), 0) << "data out";
    EXPECT_EQ(le32(e.input, 12), blocks * 512u);
    EXPECT_TRUE(std::equal(e.input.begin() + 88, e.input.begin() + 88 + blocks * 512, image.begin() + offset * 512));
    offset = static_cast<uint16_t>(offset + segment);
  }
  EXPECT_EQ(ata->running_revision(), "CU200002");
  EXPECT_EQ(firmware_of(dev), "CU200002");
}

// DOWNLOAD MICROCODE 0Eh saves the image; 0Fh, a non-data command, activates it.
TEST_F(AtaOnDevice, DownloadMicrocodeDeferredThenActivate) {
  huld_dev &dev = ahci_sat();
  auto ata = drive(kAhciDisk);
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, "CS200002", 9000);
  image.resize((image.size() + 511) / 512 * 512, 0);
  const uint16_t blocks = static_cast<uint16_t>(image.size() / 512);
  huld_error err = fresh_error();
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0E, 8, 0, image.data(), 8 * 512), 0) << err.message;
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0E, static_cast<uint16_t>(blocks - 8), 8,
                                               image.data() + 8 * 512, (blocks - 8) * 512u),
            0)
      << err.message;
  EXPECT_TRUE(ata->deferred_pending());
  EXPECT_EQ(ata->running_revision(), "CS100001");
  sim::trace_clear();
  ASSERT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0F, 0, 0, nullptr, 0), 0) << err.message;
  const sim::TraceEntry act = only_request();
  EXPECT_EQ(cdb_of(act), (Cdb{0x85, 0x06, 0x00, 0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x92, 0}));
  EXPECT_EQ(act.input.at(8), 2) << "no data";
  EXPECT_EQ(le32(act.input, 12), 0u);
  EXPECT_FALSE(ata->deferred_pending());
  EXPECT_EQ(firmware_of(dev), "CS200002");
}

// A command the drive aborts: the registers travel back in the sense data; descriptor sense holds
// them, fixed sense under ABORTED COMMAND does not, and the record then says so (status FFh,
// error the SCSI status).
TEST_F(AtaOnDevice, AbortedCommandsInDescriptorAndFixedSense) {
  huld_dev &dev = usb_sat();
  struct Format {
    const char *name;
    sim::SatSenseFormat format;
    uint32_t subcode;
    const char *message;
  } formats[] = {
      {"descriptor", sim::SatSenseFormat::Descriptor, 0x5104, "device error detected, status 51h, error 4h"},
      {"fixed, old layout", sim::SatSenseFormat::FixedOld, 0xFF02, "device error detected, status ffh, error 2h"},
      {"fixed, new layout", sim::SatSenseFormat::FixedNew, 0xFF02, "device error detected, status ffh, error 2h"},
  };
  for (const Format &f : formats) {
    SCOPED_TRACE(f.name);
    sim::storage_sat(kUsbSatDisk)->set_sense_format(f.format, true);

    // A data command without CK_COND: 200 blocks at block offset 1000 with nothing staged.
    sim::trace_clear();
    std::vector<uint8_t> image(200 * 512, 0xA5);
    huld_error err = fresh_error();
    EXPECT_EQ(vornata_execute_download_microcode(&err, &dev, 0x03, 200, 1000, image.data(), 200 * 512), 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
    EXPECT_EQ(err.subcode, f.subcode);
    EXPECT_STREQ(err.message, f.message);
    EXPECT_STREQ(err.file, "vornata\\errors");
    EXPECT_STREQ(err.function, "vornata_check_error");
    EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x0A, 0x06, 0, 0x03, 0, 0xC8, 0, 0x00, 0, 0xE8, 0, 0x03, 0, 0x92, 0}));

    // A non-data command with CK_COND: the output stays untouched.
    sim::trace_clear();
    uint64_t native = 0x1234;
    EXPECT_EQ(vornata_execute_read_native_max_address_ext(&err, &dev, &native), 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
    EXPECT_EQ(err.subcode, f.subcode);
    EXPECT_EQ(native, 0x1234u);
    EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x07, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x27, 0}));

    // A data-in command the drive does not serve (SMART READ LOG of log 01h).
    std::vector<uint8_t> log(512, 0);
    EXPECT_EQ(vornata_execute_smart_read_log(&err, &dev, 1, 0x01, log.data(), 512), 1);
    EXPECT_EQ(err.subcode, f.subcode);
  }

  // A drive fault rule with other registers, in descriptor sense.
  sim::storage_sat(kUsbSatDisk)->set_sense_format(sim::SatSenseFormat::Descriptor, true);
  sim::AtaFaultRule rule;
  rule.command = 0xEC;
  rule.status = 0x61;
  rule.error = 0x10;
  drive(kUsbSatDisk)->add_fault(rule);
  std::vector<uint8_t> id(512, 0);
  huld_error err = fresh_error();
  EXPECT_EQ(vornata_execute_identify_device(&err, &dev, id.data(), 512), 1);
  EXPECT_EQ(err.subcode, 0x6110u);
  EXPECT_STREQ(err.message, "device error detected, status 61h, error 10h");
  // The next IDENTIFY passes and clears the record.
  EXPECT_EQ(vornata_execute_identify_device(&err, &dev, id.data(), 512), 0);
  EXPECT_EQ(err.code, 0u);
}

// Executors with results: nothing is copied when the command fails, and a failed sanitize command
// is not followed by SANITIZE STATUS EXT.
TEST_F(AtaOnDevice, FailedCommandsCopyNoResults) {
  huld_dev &dev = usb_sat();
  auto ata = drive(kUsbSatDisk);
  sim::AtaFaultRule rule;
  rule.command = 0xE5;
  rule.status = 0x51;
  ata->add_fault(rule);
  huld_error err = fresh_error();
  uint8_t mode = 0x77;
  EXPECT_EQ(vornata_execute_check_power_mode(&err, &dev, &mode), 1);
  EXPECT_EQ(err.subcode, 0x5104u);
  EXPECT_EQ(mode, 0x77);
  EXPECT_EQ(cdb_of(only_request()), (Cdb{0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE5, 0}));

  sim::trace_clear();
  vornata_sanitize_status status{};
  status.progress = 0.25;
  status.in_progress = 7;
  EXPECT_EQ(vornata_execute_sanitize_crypto_scramble_ext(&err, &dev, &status, 1, 1), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
  EXPECT_EQ(err.subcode, 0x5104u);
  // FEATURE 0011h, COUNT 8010h (zoned-no-reset, failure mode), LBA 43727970h.
  EXPECT_EQ(cdb_of(only_request()),
            (Cdb{0x85, 0x07, 0x00, 0x00, 0x11, 0x80, 0x10, 0x43, 0x70, 0, 0x79, 0, 0x72, 0, 0xB4, 0}));
  EXPECT_EQ(ata->command_count(0xB4), 1u);
  EXPECT_EQ(status.progress, 0.25);
  EXPECT_EQ(status.in_progress, 7u);
}

// The SCSI check judges an ATA PASS-THROUGH that came back with CHECK CONDITION: with CK_COND it
// reads the registers (success unless ERR is set), without it the sense is an ordinary failure.
TEST_F(AtaOnDevice, ScsiCheckOfTranslatedAtaCommands) {
  huld_dev &dev = usb_sat();
  auto run = [&](void (*fill)(huld_ata_cmd *), huld_error *err) {
    huld_ata_cmd ata;
    fill(&ata);
    huld_scsi_cmd scsi;
    huld_scsi_fill_sat_cmd(&scsi, &ata);
    EXPECT_EQ(huld_scsi_execute(err, &dev, &scsi), 0) << err->message;
    EXPECT_EQ(scsi.scsi_status, 0x02);
    return vornscsi_check_error(err, &scsi);
  };
  huld_error err = fresh_error();
  EXPECT_EQ(run(vornata_fill_smart_return_status, &err), 0) << err.message;
  EXPECT_EQ(err.code, 0u);
  EXPECT_EQ(run(vornata_fill_read_native_max_address_ext, &err), 1);
  EXPECT_EQ(error_line(err), "code 6 subcode 20740 file vornscsi\\errors function ata_check_error"
                             " message device error detected, status 51h, error 4h");
  EXPECT_EQ(run(vornata_fill_security_freeze_lock, &err), 1);  // aborted, no CK_COND
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 0B/00/1DH\n");
}

// Refusals that come before any command: nothing reaches the driver or the drive.
TEST_F(AtaOnDevice, RefusalsBeforeAnyCommand) {
  huld_dev &dev = usb_sat();
  auto ata = drive(kUsbSatDisk);
  std::vector<uint8_t> buffer(2048, 0);
  uint8_t *b = buffer.data();
  const uint8_t password[33] = "0123456789abcdef0123456789abcdef";
  struct Case {
    const char *name;
    std::function<int(huld_error *)> call;
  } cases[] = {
      {"identify of 0 bytes", [&](huld_error *e) { return vornata_execute_identify_device(e, &dev, b, 0); }},
      {"identify of 1024 bytes", [&](huld_error *e) { return vornata_execute_identify_device(e, &dev, b, 1024); }},
      {"identify of 500 bytes", [&](huld_error *e) { return vornata_execute_identify_device(e, &dev, b, 500); }},
      {"log read, 2 pages in 512 bytes",
       [&](huld_error *e) { return vornata_execute_read_log_ext(e, &dev, 0, 2, 0x30, 3, b, 512); }},
      {"log read of 0 bytes", [&](huld_error *e) { return vornata_execute_read_log_ext(e, &dev, 0, 0, 0x30, 3, b, 0); }},
      {"microcode of 0 bytes",
       [&](huld_error *e) { return vornata_execute_download_microcode(e, &dev, 0x03, 0, 0, b, 0); }},
      {"microcode of 1000 bytes",
       [&](huld_error *e) { return vornata_execute_download_microcode(e, &dev, 0x0E, 2, 0, b, 1000); }},
      {"microcode, 3 blocks in 1024 bytes",
       [&](huld_error *e) { return vornata_execute_download_microcode(e, &dev, 0x03, 3, 0, b, 1024); }},
      {"microcode DMA, 1 block in 1024 bytes",
       [&](huld_error *e) { return vornata_execute_download_microcode_dma(e, &dev, 0x03, 1, 0, b, 1024); }},
      {"SMART log, 2 sectors in 512 bytes",
       [&](huld_error *e) { return vornata_execute_smart_read_log(e, &dev, 2, 0xBD, b, 512); }},
      {"SMART log write of 513 bytes",
       [&](huld_error *e) { return vornata_execute_smart_write_log(e, &dev, 1, 0xBD, b, 513); }},
      {"SMART data of 1024 bytes", [&](huld_error *e) { return vornata_execute_smart_read_data(e, &dev, b, 1024); }},
      {"sector read beyond the count register",
       [&](huld_error *e) { return vornata_execute_read_sectors_ext(e, &dev, 0, b, 65536u * 512u); }},
      {"sector write of 0 bytes", [&](huld_error *e) { return vornata_execute_write_sectors_ext(e, &dev, 0, b, 0); }},
      {"trusted receive of 100 bytes",
       [&](huld_error *e) { return vornata_execute_trusted_receive(e, &dev, 1, 0, b, 100); }},
      {"password of 33 bytes",
       [&](huld_error *e) { return vornata_execute_security_set_password(e, &dev, password, 33, 0, 1); }},
      {"unlock with 33 bytes", [&](huld_error *e) { return vornata_execute_security_unlock(e, &dev, password, 33, 0); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::trace_clear();
    huld_error err = fresh_error();
    EXPECT_EQ(c.call(&err), 1);
    EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
    EXPECT_NE(err.message[0], '\0');
    EXPECT_EQ(sent_total(), 0u);
  }
  EXPECT_EQ(ata->command_count(0xEC) + ata->command_count(0x2F) + ata->command_count(0x92) +
                ata->command_count(0x93) + ata->command_count(0xB0) + ata->command_count(0x24) +
                ata->command_count(0x34) + ata->command_count(0x5C) + ata->command_count(0xF1) +
                ata->command_count(0xF2),
            0u);

  // The limits themselves are sent: activation without data, a 32-byte password.
  sim::trace_clear();
  huld_error err = fresh_error();
  EXPECT_EQ(vornata_execute_download_microcode(&err, &dev, 0x0F, 0, 0, nullptr, 0), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE)) << "nothing deferred: the drive aborts";
  EXPECT_EQ(ata->command_count(0x92), 1u);
  sim::trace_clear();
  EXPECT_EQ(vornata_execute_security_set_password(&err, &dev, password, 32, 1, 1), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
  const sim::TraceEntry spt = only_request();
  EXPECT_EQ(cdb_of(spt), (Cdb{0x85, 0x0A, 0x06, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xF1, 0}));
  ASSERT_EQ(le32(spt.input, 12), 512u);
  EXPECT_EQ(spt.input.at(88 + 0), 1) << "master password";
  EXPECT_EQ(spt.input.at(88 + 1), 1) << "maximum security";
  EXPECT_TRUE(std::equal(password, password + 32, spt.input.begin() + 88 + 2));
  EXPECT_TRUE(std::all_of(spt.input.begin() + 88 + 34, spt.input.begin() + 88 + 512, [](uint8_t v) { return v == 0; }));

  // A device whose interface takes no ATA commands: the execute layer refuses, nothing is sent.
  huld_dev &nv = nvme();
  EXPECT_EQ(vornata_execute_identify_device(&err, &nv, b, 512), 1);
  EXPECT_EQ(error_line(err), "code 2 subcode 5 file huld\\huld_ata function huld_ata_execute"
                             " message interface is not supported by ata execute");
  EXPECT_EQ(sent_total(), 0u);
}

}  // namespace

// SCSI/ATA translation: CDB field accessors, the builder and the register decoder, the latter two
// also against the simulated SAT layer (the built CDB goes straight to the simulated drive and its
// answer is decoded as the SCSI back end would hand it over).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "huld/huld_scsi.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/sat_device.h"

namespace {

// The registers a decoded answer leaves, on one line.
std::string regs(const huld_ata_cmd &a) {
  char s[96];
  std::snprintf(s, sizeof s, "status %02x error %02x count %04x lba %012llx device %02x", a.status, a.error,
                a.count, static_cast<unsigned long long>(a.lba), a.device);
  return s;
}

huld_ata_cmd identify(uint8_t *buffer) {
  huld_ata_cmd cmd{};
  cmd.protocol = 4;
  cmd.t_length = 2;
  cmd.xfer_type = 1;
  cmd.count = 1;
  cmd.command = 0xEC;
  cmd.data = buffer;
  cmd.data_len = 512;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = 30000;
  return cmd;
}

// Sends the SCSI command to the simulated SAT device and fills its outputs as the SCSI back end
// does (sense_len stays the buffer size).
void run(sim::SatDevice &sat, huld_scsi_cmd *scsi) {
  sim::ScsiResult r = sat.execute(scsi->cdb, scsi->cdb_len, static_cast<uint8_t *>(scsi->data),
                                  scsi->data_len, static_cast<int>(scsi->ddir));
  scsi->scsi_status = r.status;
  memcpy(scsi->sense, r.sense, std::min<uint32_t>(r.sense_len, sizeof(scsi->sense)));
  scsi->xfer_len = r.data_transferred;
}

// ---- accessors ----------------------------------------------------------------------------------

TEST(SatCdb, SixteenByteFieldsRoundTripAndChangeOnlyTheirBits) {
  uint8_t cdb[16];
  memset(cdb, 0, sizeof(cdb));
  cdb[0] = 0x85;
  cdb[1] = 0xFF;
  cdb[2] = 0xFF;
  huld_sat_set_protocol(cdb, 0x13);  // masked to 4 bits
  EXPECT_EQ(huld_sat_get_protocol(cdb), 0x3);
  EXPECT_EQ(cdb[1], 0xE7);  // MULTIPLE_COUNT and EXTEND kept
  huld_sat_set_t_dir(cdb, 0);
  EXPECT_EQ(cdb[2], 0xF7);
  huld_sat_set_off_line(cdb, 1);
  EXPECT_EQ(huld_sat_get_off_line(cdb), 1);
  EXPECT_EQ(huld_sat_get_ck_cond(cdb) != 0, true);
  huld_sat_set_ck_cond(cdb, 0);
  EXPECT_EQ(huld_sat_get_ck_cond(cdb), 0);
  huld_sat_set_multiple_count(cdb, 5);
  EXPECT_EQ(huld_sat_get_multiple_count(cdb), 5);
  huld_sat_set_extend(cdb, 0);
  EXPECT_EQ(huld_sat_get_extend(cdb), 0);
  huld_sat_set_t_type(cdb, 0);
  huld_sat_set_byte_block(cdb, 0);
  huld_sat_set_t_length(cdb, 2);
  EXPECT_EQ(huld_sat_get_t_type(cdb), 0);
  EXPECT_EQ(huld_sat_get_byte_block(cdb), 0);
  EXPECT_EQ(huld_sat_get_t_length(cdb), 2);

  huld_sat_set_features(cdb, 0x1234);
  huld_sat_set_count(cdb, 0x5678);
  huld_sat_set_lba(cdb, 0xA1B2C3D4E5F6ull);
  huld_sat_set_device(cdb, 0x40);
  huld_sat_set_command(cdb, 0x25);
  const uint8_t tail[] = {0x12, 0x34, 0x56, 0x78, 0xC3, 0xF6, 0xB2, 0xE5, 0xA1, 0xD4, 0x40, 0x25};
  EXPECT_EQ(memcmp(cdb + 3, tail, sizeof(tail)), 0);
  EXPECT_EQ(huld_sat_get_features(cdb), 0x1234);
  EXPECT_EQ(huld_sat_get_count(cdb), 0x5678);
  EXPECT_EQ(huld_sat_get_lba(cdb), 0xA1B2C3D4E5F6ull);
  EXPECT_EQ(huld_sat_get_device(cdb), 0x40);
  EXPECT_EQ(huld_sat_get_command(cdb), 0x25);
}

TEST(SatCdb, TwelveByteLayoutHasNoHighBytes) {
  uint8_t cdb[16];
  memset(cdb, 0xEE, sizeof(cdb));
  cdb[0] = 0xA1;
  cdb[1] = 0x09;  // PROTOCOL 4, bit 0 set
  EXPECT_EQ(huld_sat_get_extend(cdb), 0);
  EXPECT_EQ(huld_sat_get_protocol(cdb), 4);
  EXPECT_EQ(huld_sat_get_features(cdb), 0xEE);    // FEATURES 15-8 reads 0
  EXPECT_EQ(huld_sat_get_count(cdb), 0xEE);       // COUNT 15-8 reads 0
  EXPECT_EQ(huld_sat_get_lba(cdb), 0xEEEEEEull);  // LBA 47-24 reads 0

  huld_sat_set_features(cdb, 0xABCD);
  huld_sat_set_count(cdb, 0x1234);
  huld_sat_set_lba(cdb, 0xA1B2C3D4E5F6ull);
  huld_sat_set_device(cdb, 0xE0);
  huld_sat_set_command(cdb, 0xB0);
  huld_sat_set_extend(cdb, 0);
  const uint8_t expected[] = {0xA1, 0x09, 0xEE, 0xCD, 0x34, 0xF6, 0xE5, 0xD4, 0xE0, 0xB0,
                              0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(memcmp(cdb, expected, sizeof(expected)), 0);
  EXPECT_EQ(huld_sat_is_ata_pass_through_12(cdb), 1);
  EXPECT_EQ(huld_sat_is_ata_pass_through_16(cdb), 0);
  EXPECT_EQ(huld_sat_is_ata_pass_through(cdb), 1);
  cdb[0] = 0x12;
  EXPECT_EQ(huld_sat_is_ata_pass_through(cdb), 0);
}

TEST(SatCdb, AtaStatusReturnIsDescriptorSenseWithTheDescriptorAtByte8) {
  huld_scsi_cmd cmd{};
  for (uint8_t rc : {0x72, 0x73, 0xF2, 0xF3}) {
    cmd.sense[0] = rc;
    cmd.sense[8] = 0x09;
    EXPECT_EQ(huld_sat_has_ata_status_return(&cmd), 1) << int(rc);
  }
  cmd.sense[8] = 0x0A;
  EXPECT_EQ(huld_sat_has_ata_status_return(&cmd), 0);
  cmd.sense[0] = 0x70;
  cmd.sense[8] = 0x09;
  EXPECT_EQ(huld_sat_has_ata_status_return(&cmd), 0);
}

// ---- builder ------------------------------------------------------------------------------------

TEST(SatBuilder, IdentifyDevice) {
  uint8_t buffer[512];
  huld_ata_cmd ata = identify(buffer);
  huld_scsi_cmd scsi;
  memset(&scsi, 0xCC, sizeof(scsi));
  huld_scsi_fill_sat_cmd(&scsi, &ata);
  const uint8_t expected[16] = {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
  EXPECT_EQ(memcmp(scsi.cdb, expected, 16), 0);
  EXPECT_EQ(scsi.cdb_len, 16u);
  EXPECT_EQ(scsi.data, buffer);
  EXPECT_EQ(scsi.data_len, 512u);
  EXPECT_EQ(scsi.ddir, (uint32_t)HULD_DDIR_FROM_DEVICE);
  EXPECT_EQ(scsi.timeout_ms, 30000u);
  EXPECT_EQ(scsi.sense_len, 32u);
  EXPECT_EQ(scsi.scsi_status, 0);
  EXPECT_EQ(scsi.xfer_len, 0u);
  for (uint8_t b : scsi.sense) EXPECT_EQ(b, 0);  // the decoder may read all 32 bytes
}

TEST(SatBuilder, ExtendedCommandWithCheckConditionAndByteLength) {
  uint8_t buffer[1024];
  huld_ata_cmd ata{};
  ata.protocol = 6;
  ata.is_ext = 1;
  ata.t_length = 2;
  ata.xfer_type = 3;
  ata.feature = 0x1234;
  ata.count = 0x0002;
  ata.lba = 0xA1B2C3D4E5F6ull;
  ata.device = 0x40;
  ata.command = 0x47;
  ata.check_condition = 1;
  ata.data = buffer;
  ata.data_len = sizeof(buffer);
  ata.ddir = HULD_DDIR_TO_DEVICE;
  huld_scsi_cmd scsi;
  huld_scsi_fill_sat_cmd(&scsi, &ata);

  sim::SatCdb decoded;
  ASSERT_TRUE(sim::decode_sat_cdb(scsi.cdb, scsi.cdb_len, &decoded));
  EXPECT_EQ(decoded.protocol, 6);
  EXPECT_TRUE(decoded.extend);
  EXPECT_TRUE(decoded.ck_cond);
  EXPECT_FALSE(decoded.t_dir_in);
  EXPECT_FALSE(decoded.byte_block);
  EXPECT_EQ(decoded.t_length, 2);
  EXPECT_EQ(decoded.tf.feature, 0x1234);
  EXPECT_EQ(decoded.tf.count, 0x0002);
  EXPECT_EQ(decoded.tf.lba, 0xA1B2C3D4E5F6ull);
  EXPECT_EQ(decoded.tf.device, 0x40);
  EXPECT_EQ(decoded.tf.command, 0x47);
  EXPECT_EQ(scsi.ddir, (uint32_t)HULD_DDIR_TO_DEVICE);

  ata.xfer_type = 0;
  ata.t_length = 0;
  huld_scsi_fill_sat_cmd(&scsi, &ata);
  EXPECT_EQ(scsi.cdb[2], 0x20);  // CK_COND only

  // Both block units give BYTE_BLOCK 1 with T_TYPE 0; data to the device keeps T_DIR 0.
  for (uint32_t type : {1u, 2u}) {
    ata.xfer_type = type;
    ata.t_length = 2;
    ata.check_condition = 0;
    huld_scsi_fill_sat_cmd(&scsi, &ata);
    EXPECT_EQ(scsi.cdb[2], 0x06) << type;
  }
}

// ---- decoder through the simulated SAT layer -----------------------------------------------------

class SatDecode : public ::testing::Test {
 protected:
  std::shared_ptr<sim::AtaDrive> drive_ = std::make_shared<sim::AtaDrive>();
};

// A good answer without sense leaves the registers alone: see the SAT road on the machine.
TEST_F(SatDecode, CheckConditionRegistersInEverySenseLayout) {
  const struct {
    sim::SatSenseFormat format;
    bool valid;
  } layouts[] = {{sim::SatSenseFormat::Descriptor, true},
                 {sim::SatSenseFormat::FixedOld, true},
                 {sim::SatSenseFormat::FixedNew, true},
                 {sim::SatSenseFormat::FixedLong, false}};
  for (const auto &layout : layouts) {
    SCOPED_TRACE(static_cast<int>(layout.format));
    sim::SatDevice sat(drive_);
    sat.set_sense_format(layout.format, layout.valid);
    uint8_t buffer[512] = {};
    huld_ata_cmd ata = identify(buffer);
    ata.check_condition = 1;
    ata.status = 0xFF;
    ata.error = 0xFF;
    huld_scsi_cmd scsi;
    huld_scsi_fill_sat_cmd(&scsi, &ata);
    run(sat, &scsi);
    ASSERT_EQ(scsi.scsi_status, 0x02);
    huld_scsi_fill_ata_result_from_sat(&scsi, &ata);
    EXPECT_EQ(ata.status, 0x50);
    EXPECT_EQ(ata.error, 0x00);
  }
}

TEST_F(SatDecode, DeviceAbortIsReportedInEverySenseFormat) {
  drive_->add_fault(sim::AtaFaultRule{0xEC, std::nullopt, {1, 0}, 0x51, 0x04, std::nullopt, false});
  auto run_identify = [&](sim::SatConfig config) {
    sim::SatDevice sat(drive_, config);
    uint8_t buffer[512] = {};
    huld_ata_cmd ata = identify(buffer);
    huld_scsi_cmd scsi;
    huld_scsi_fill_sat_cmd(&scsi, &ata);
    run(sat, &scsi);
    EXPECT_EQ(scsi.scsi_status, 0x02);
    huld_scsi_fill_ata_result_from_sat(&scsi, &ata);
    return ata;
  };

  sim::SatConfig descriptor;  // ABORTED COMMAND with the ATA Status Return descriptor
  huld_ata_cmd ata = run_identify(descriptor);
  EXPECT_EQ(regs(ata), "status 51 error 04 count 0000 lba 000000000000 device 00");

  sim::SatConfig fixed;  // fixed sense with ATA PASS-THROUGH INFORMATION AVAILABLE
  fixed.sense_format = sim::SatSenseFormat::FixedNew;
  fixed.error_key = 0x01;
  fixed.error_asc = 0x00;
  fixed.error_ascq = 0x1D;
  ata = run_identify(fixed);
  EXPECT_EQ(regs(ata), "status 51 error 04 count 0000 lba 000000000000 device 00");

  sim::SatConfig aborted = fixed;  // fixed sense, ABORTED COMMAND: registers not readable
  aborted.error_key = 0x0B;
  ata = run_identify(aborted);
  EXPECT_EQ(regs(ata), "status ff error 02 count 000b lba 00000000001d device 00");
}

// ---- decoder on hand-made answers -----------------------------------------------------------------

huld_scsi_cmd answer(uint8_t status, std::initializer_list<std::pair<int, uint8_t>> bytes) {
  huld_scsi_cmd scsi{};
  scsi.sense_len = 32;
  scsi.scsi_status = status;
  for (auto [i, v] : bytes) scsi.sense[i] = v;
  return scsi;
}

huld_ata_cmd untouched() {
  huld_ata_cmd ata{};
  ata.status = 0x11;
  ata.error = 0x22;
  ata.count = 0x3333;
  ata.lba = 0x44;
  ata.device = 0x55;
  return ata;
}

TEST(SatDecodeCases, DescriptorWithGoodStatusIsStillRead) {
  huld_scsi_cmd scsi = answer(0x00, {{0, 0x72}, {1, 0x01}, {3, 0x1D}, {8, 0x09}, {9, 0x0C},
                                     {11, 0x00}, {12, 0x01}, {13, 0x02}, {14, 0x04}, {15, 0x05},
                                     {16, 0x03}, {17, 0x06}, {18, 0x02}, {19, 0x07},
                                     {20, 0xE0}, {21, 0x50}});
  huld_ata_cmd ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&scsi, &ata);
  EXPECT_EQ(regs(ata), "status 50 error 00 count 0102 lba 020304070605 device e0");
}

// Bit 7 of byte 0 is VALID only in fixed format: descriptor sense that sets it (F2h, F3h for
// deferred errors) is still descriptor sense, with its key at byte 1 and its ATA Status Return
// descriptor at byte 8, never the fixed layout's registers.
TEST(SatDecodeCases, DescriptorSenseWithBit7SetIsStillDescriptorSense) {
  for (uint8_t code : {0xF2, 0xF3}) {
    SCOPED_TRACE(static_cast<int>(code));
    huld_scsi_cmd check = answer(0x02, {{0, code}, {1, 0x01}, {3, 0x1D}, {5, 0x50}, {6, 0x00},
                                        {8, 0x09}, {9, 0x0C}, {11, 0x04}, {12, 0x00}, {13, 0x01},
                                        {14, 0x04}, {15, 0x05}, {16, 0x03}, {17, 0x06}, {18, 0x02},
                                        {19, 0x07}, {20, 0xA0}, {21, 0x51}});
    huld_ata_cmd ata = untouched();
    huld_scsi_fill_ata_result_from_sat(&check, &ata);
    EXPECT_EQ(regs(ata), "status 51 error 04 count 0001 lba 020304070605 device a0");

    // Good status with CK_COND: the descriptor alone makes the registers readable.
    huld_scsi_cmd good = answer(0x00, {{0, code}, {8, 0x09}, {9, 0x0C}, {11, 0x00}, {13, 0x02},
                                       {15, 0x10}, {20, 0xE0}, {21, 0x50}});
    ata = untouched();
    huld_scsi_fill_ata_result_from_sat(&good, &ata);
    EXPECT_EQ(regs(ata), "status 50 error 00 count 0002 lba 000000000010 device e0");

    // Without the descriptor: the preset from the key, ASC and ASCQ at bytes 1 to 3.
    huld_scsi_cmd medium = answer(0x02, {{0, code}, {1, 0x03}, {2, 0x11}, {3, 0x04}, {5, 0x51}, {6, 0x04}});
    ata = untouched();
    huld_scsi_fill_ata_result_from_sat(&medium, &ata);
    EXPECT_EQ(regs(ata), "status ff error 02 count 0003 lba 000000001104 device 55");
  }
}

TEST(SatDecodeCases, FixedOldAndNewLayouts) {
  // VALID, sense[5] 51h with sense[6] 04h: old layout.
  huld_scsi_cmd old = answer(0x02, {{0, 0xF0}, {2, 0x01}, {3, 0x09}, {4, 0xA0}, {5, 0x51},
                                    {6, 0x04}, {9, 0x12}, {10, 0x34}, {11, 0x56}, {12, 0x00},
                                    {13, 0x1D}});
  huld_ata_cmd ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&old, &ata);
  EXPECT_EQ(regs(ata), "status 51 error 04 count 0009 lba 000000123456 device a0");

  // VALID, sense[5] 50h with sense[6] 01h: new layout.
  huld_scsi_cmd fresh = answer(0x02, {{0, 0xF0}, {2, 0x01}, {3, 0x04}, {4, 0x51}, {5, 0x50},
                                      {6, 0x01}, {9, 0x56}, {10, 0x34}, {11, 0x12}, {12, 0x00},
                                      {13, 0x1D}});
  ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&fresh, &ata);
  EXPECT_EQ(regs(ata), "status 51 error 04 count 0001 lba 000000123456 device 50");

  // Without VALID and a short additional length: bytes 3-6 and 9-11 as in the new layout.
  huld_scsi_cmd short_fixed = answer(0x02, {{0, 0x70}, {2, 0x05}, {3, 0x04}, {4, 0x51}, {7, 6},
                                            {12, 0x21}, {13, 0x04}});
  ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&short_fixed, &ata);
  EXPECT_EQ(regs(ata), "status 51 error 04 count 0000 lba 000000000000 device 00");
}

TEST(SatDecodeCases, SenseWithoutRegistersGivesThePreset) {
  huld_scsi_cmd medium = answer(0x02, {{0, 0x70}, {2, 0x03}, {7, 10}, {12, 0x11}, {13, 0x04}});
  huld_ata_cmd ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&medium, &ata);
  // device: not read
  EXPECT_EQ(regs(ata), "status ff error 02 count 0003 lba 000000001104 device 55");

  // Another response code: key, ASC and ASCQ are 0, but the status is not good.
  huld_scsi_cmd vendor = answer(0x08, {{0, 0x7F}});
  ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&vendor, &ata);
  EXPECT_EQ(regs(ata), "status ff error 08 count 0000 lba 000000000000 device 55");

  // Nor are bytes 1-3 read as descriptor sense under a response code that is neither format.
  huld_scsi_cmd neither = answer(0x02, {{0, 0x00}, {1, 0x05}, {2, 0x24}, {3, 0x01}});
  ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&neither, &ata);
  EXPECT_EQ(regs(ata), "status ff error 02 count 0000 lba 000000000000 device 55");
}

TEST(SatDecodeCases, AbortedCommandWithStatusZeroIsMarkedUnreadable) {
  huld_scsi_cmd scsi = answer(0x02, {{0, 0x72}, {1, 0x0B}, {8, 0x09}, {9, 0x0C}, {11, 0x04},
                                     {21, 0x00}});
  huld_ata_cmd ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&scsi, &ata);
  EXPECT_EQ(regs(ata), "status ff error 04 count 0000 lba 000000000000 device 00");
}

TEST(SatDecodeCases, TooLittleSense) {
  huld_scsi_cmd good = answer(0x00, {{0, 0x72}, {8, 0x09}});
  good.sense_len = 0;
  huld_ata_cmd ata = untouched();
  huld_scsi_fill_ata_result_from_sat(&good, &ata);
  EXPECT_EQ(regs(ata), "status 11 error 22 count 3333 lba 000000000044 device 55");

  huld_scsi_cmd bad = answer(0x02, {});
  bad.sense_len = 7;
  huld_scsi_fill_ata_result_from_sat(&bad, &ata);
  EXPECT_EQ(regs(ata), "status ff error 02 count 3333 lba 000000000044 device 55");
}

}  // namespace

// The simulated translation layer sizes each ATA PASS-THROUGH transfer from its CDB (T_LENGTH,
// BYTE_BLOCK, EXTEND and the field named); its refusal of another buffer size is tested on the
// machine (cmdsets_length_fields_tests).
#include <gtest/gtest.h>

#include <memory>

#include "sim/drives/sat_device.h"

using namespace sim;

namespace {

SatCdb download(bool extend, uint8_t t_length, bool byte_block, uint16_t field) {
  SatCdb c;
  c.protocol = 5;
  c.extend = extend;
  c.t_length = t_length;
  c.byte_block = byte_block;
  c.tf.command = 0x92;
  c.tf.feature = t_length == 1 ? field : 0x03;
  c.tf.count = t_length == 2 ? field : 0;
  return c;
}

// The CDB as the host would send it, decoded the way the layer reads it.
SatCdb as_read(const SatCdb &c) {
  uint8_t cdb[16];
  encode_sat_cdb16(c, cdb);
  SatCdb out;
  EXPECT_TRUE(decode_sat_cdb(cdb, 16, &out));
  return out;
}

TEST(SatSizing, TransferComesFromTheFieldTheCdbNames) {
  SatDevice sat(std::make_shared<AtaDrive>(AtaConfig{}));
  EXPECT_EQ(sat.announced_bytes(as_read(download(true, 2, true, 0x0258)), 0), 600u * 512);
  EXPECT_EQ(sat.announced_bytes(as_read(download(false, 2, true, 0x0258)), 0), 0x58u * 512)
      << "a 28-bit command carries COUNT 7:0 only";
  EXPECT_EQ(sat.announced_bytes(as_read(download(true, 1, false, 0x0010)), 0), 16u) << "FEATURES, in bytes";
  EXPECT_EQ(sat.announced_bytes(as_read(download(false, 3, true, 0)), 4096), 4096u) << "the transport's length";
  SatCdb non_data = download(true, 2, true, 1);
  non_data.protocol = 3;
  EXPECT_EQ(sat.announced_bytes(as_read(non_data), 512), 0u);
}

}  // namespace

// The VPD 80h serial parser stays inside the buffer it is given whatever the page length says.
// Each page lives in a heap block of exactly its length, so a read past it is caught under the
// address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "vornscsi/parse.h"

namespace {

std::string serial_of(const std::string &page_bytes, uint32_t out_size = 64) {
  std::unique_ptr<uint8_t[]> page(new uint8_t[page_bytes.size()]);
  memcpy(page.get(), page_bytes.data(), page_bytes.size());
  std::unique_ptr<char[]> out(new char[out_size]);
  huld_error err{};
  EXPECT_EQ(vornscsi_inquiry_vpd80_parse_serial(&err, out.get(), out_size, page.get(),
                                                static_cast<uint32_t>(page_bytes.size())),
            0)
      << err.message;
  return std::string(out.get());
}

std::string header(uint16_t page_length) {
  return std::string{'\0', '\x80', static_cast<char>(page_length >> 8), static_cast<char>(page_length)};
}

TEST(Vpd80Bounds, PageLengthBeyondTheBufferIsClampedToIt) {
  EXPECT_EQ(serial_of(header(20) + "SERIAL01"), "SERIAL01");
  EXPECT_EQ(serial_of(header(0xFFFF) + "Z"), "Z");
  EXPECT_EQ(serial_of(header(0x0100) + std::string(200, 'S'), 300), std::string(200, 'S'));
}

TEST(Vpd80Bounds, EmptySerialFallbackNeedsItsSixteenBytes) {
  EXPECT_EQ(serial_of(header(0) + "SN-0000000000001 "), "SN-0000000000001");  // 21 bytes
  EXPECT_EQ(serial_of(header(0) + "SN-000000000000"), "");                     // 19 bytes: no fallback
}

}  // namespace

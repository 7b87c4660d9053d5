// The USB hub queries over a root hub record's entries.
#include <gtest/gtest.h>

#include <cstring>

#include "huld/huld_dev.h"
#include "huld/huld_usb_hub.h"

namespace {

huld_dev hub() {
  huld_dev d{};
  d.iface = WINDOWS_USB_HUB;
  d.usb_entry_count = 3;
  d.usb_entries[0] = {0x0001, 0xAAB1, 1, ""};
  d.usb_entries[1] = {0x0002, 0xAAB1, 0, "4142"};
  d.usb_entries[2] = {0x0003, 0xAAB3, 1, "534E3030"};
  return d;
}

TEST(UsbHubQuery, SerialsAreComparedDecoded) {
  const huld_dev d = hub();
  EXPECT_EQ(huld_usb_hub_serial_matches("4142", "AB"), 1);
  EXPECT_EQ(huld_usb_hub_serial_matches("4142", "4142"), 0);
  // An odd digit at the end is a byte of its own, not dropped.
  EXPECT_EQ(huld_usb_hub_serial_matches("41424", "AB\x04"), 1);
  EXPECT_EQ(huld_usb_hub_serial_matches("41424", "AB"), 0);
  EXPECT_EQ(huld_usb_hub_has_serial(&d, "SN00"), 1);
  EXPECT_EQ(huld_usb_hub_is_super_speed_by_serial(&d, "SN00"), 1);
  EXPECT_EQ(huld_usb_hub_is_super_speed_by_serial(&d, "AB"), 0);
  // A serial filling its whole field decodes to at most 20 bytes, terminated.
  char full[41];
  std::memset(full, '4', 40);
  full[40] = '\0';
  EXPECT_EQ(huld_usb_hub_serial_matches(full, "DDDDDDDDDDDDDDDDDDDD"), 1);
}

TEST(UsbHubQuery, IdsAndSuperSpeed) {
  huld_dev d = hub();
  EXPECT_EQ(huld_usb_hub_has_vid_pid(&d, 0xAAB1, 0x0002), 1);
  EXPECT_EQ(huld_usb_hub_has_vid_pid(&d, 0xAAB1, 0x0003), 0);
  EXPECT_EQ(huld_usb_hub_is_super_speed(&d, 0xAAB3, 0x0003), 1);
  EXPECT_EQ(huld_usb_hub_is_super_speed(&d, 0, 0), 0);  // 0 is no wildcard here
  d.iface = WINDOWS_SCSI;
  EXPECT_EQ(huld_usb_hub_has_vid_pid(&d, 0xAAB1, 0x0002), 0);
}

TEST(UsbHubQuery, GetSerialCopiesTerminatedOrFails) {
  huld_dev d = hub();
  huld_error err{};
  char out[8] = "xxxxxxx";
  EXPECT_EQ(huld_usb_hub_get_serial(&err, &d, 0, 0, out, sizeof out), 0);  // the first entry with a serial
  EXPECT_STREQ(out, "4142");
  EXPECT_EQ(huld_usb_hub_get_serial(&err, &d, 0xAAB3, 0, out, 5), 0);
  EXPECT_STREQ(out, "534E");  // cut to length - 1, terminated
  EXPECT_EQ(huld_usb_hub_get_serial_by_serial(&err, &d, "SN00", out, sizeof out), 0);
  EXPECT_STREQ(out, "534E303");
  EXPECT_EQ(huld_usb_hub_get_serial(&err, &d, 0xAAB1, 0x0001, out, sizeof out), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "no valid serial for vid aab1h and pid 1h\n");
  EXPECT_EQ(huld_usb_hub_get_serial_by_serial(&err, &d, "ZZ", out, sizeof out), 1);
  EXPECT_STREQ(err.message, "no valid serial for input serial ZZ\n");
  EXPECT_EQ(huld_usb_hub_get_serial(&err, &d, 0, 0, out, 0), 1);
  d.iface = WINDOWS_NVME;
  EXPECT_EQ(huld_usb_hub_get_serial_by_serial(&err, &d, "AB", out, sizeof out), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
  EXPECT_STREQ(err.message, "interface is not supported");
}

}  // namespace

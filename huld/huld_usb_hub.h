// Queries over the per-port entries that the USB enumeration stores in a USB root hub's record
// (iface WINDOWS_USB_HUB). Every query answers 0 (or fails) for any other record.
#pragma once
#include <stdint.h>

#include "huld/huld_dev.h"

// 1 when the entry's serial, decoded from hexadecimal digit pairs, equals target, else 0.
int huld_usb_hub_serial_matches(const char *entry_serial, const char *target);
// 1 when an entry's decoded serial equals serial.
int huld_usb_hub_has_serial(const huld_dev *hub, const char *serial);
// 1 when an entry has the vendor and product id.
int huld_usb_hub_has_vid_pid(const huld_dev *hub, uint16_t vid, uint16_t pid);
// Copies the serial of the first entry with a serial and the ids (0 matches any id) into out,
// at most length - 1 characters, always terminated. 0 or 1.
int huld_usb_hub_get_serial(huld_error *err, const huld_dev *hub, uint16_t vid, uint16_t pid, char *out,
                            uint32_t length);
// Copies the stored serial of the first entry whose decoded serial equals serial. 0 or 1.
int huld_usb_hub_get_serial_by_serial(huld_error *err, const huld_dev *hub, const char *serial, char *out,
                                      uint32_t length);
// The super-speed flag of the first entry with the ids (0 is no wildcard here), else 0.
int huld_usb_hub_is_super_speed(const huld_dev *hub, uint16_t vid, uint16_t pid);
// The super-speed flag of the first entry whose decoded serial equals serial, else 0.
int huld_usb_hub_is_super_speed_by_serial(const huld_dev *hub, const char *serial);

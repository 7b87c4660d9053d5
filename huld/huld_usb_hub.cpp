// Queries over a USB root hub record's port entries.
#define HULD_MODULE "huld\\huld_usb_hub"

#include "huld/huld_usb_hub.h"

#include <cstring>

#include "huld/huld_log.h"

namespace {

constexpr size_t kSerialField = sizeof(huld_usb_entry::serial) - 1;  // 40 characters

bool has_entries(const huld_dev *hub) {
  return hub && hub->iface == WINDOWS_USB_HUB && hub->usb_entry_count > 0;
}

uint32_t entry_count(const huld_dev *hub) {
  return hub->usb_entry_count < HULD_DEV_USB_ENTRIES ? hub->usb_entry_count : HULD_DEV_USB_ENTRIES;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes pairs of hexadecimal digits into out (41 bytes, always terminated). The conversion of a
// pair stops at its first character that is not a digit, as a base-16 conversion does; the walk
// stops at the text's end and never leaves the 40-character field.
void decode_serial(const char *text, char out[kSerialField + 1]) {
  std::memset(out, 0, kSerialField + 1);
  size_t len = strnlen(text, kSerialField);
  for (size_t i = 0; i + 1 <= len && i / 2 < kSerialField; i += 2) {
    int value = 0;
    for (size_t k = i; k < i + 2 && k < len; ++k) {
      int d = hex_digit(text[k]);
      if (d < 0) break;
      value = value * 16 + d;
    }
    out[i / 2] = static_cast<char>(value);
  }
}

// The first entry with the ids, else null.
const huld_usb_entry *find_by_ids(const huld_dev *hub, uint16_t vid, uint16_t pid) {
  if (!has_entries(hub)) return nullptr;
  for (uint32_t i = 0; i < entry_count(hub); ++i)
    if (hub->usb_entries[i].vid == vid && hub->usb_entries[i].pid == pid) return &hub->usb_entries[i];
  return nullptr;
}

// The first entry whose decoded serial equals serial, else null.
const huld_usb_entry *find_by_serial(const huld_dev *hub, const char *serial) {
  if (!has_entries(hub) || !serial) return nullptr;
  for (uint32_t i = 0; i < entry_count(hub); ++i)
    if (huld_usb_hub_serial_matches(hub->usb_entries[i].serial, serial)) return &hub->usb_entries[i];
  return nullptr;
}

void copy_out(char *out, uint32_t length, const char *serial) {
  size_t n = strnlen(serial, kSerialField);
  if (n > length - 1) n = length - 1;
  std::memcpy(out, serial, n);
  out[n] = '\0';
}

}  // namespace

int huld_usb_hub_serial_matches(const char *entry_serial, const char *target) {
  char decoded[kSerialField + 1];
  decode_serial(entry_serial, decoded);
  if (std::strcmp(decoded, target) == 0) {
    HULD_LOG(HULD_LOG_DEBUG, "decoded serial %s matched target serial %s\n", decoded, target);
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "decoded serial %s did not match target serial %s\n", decoded, target);
  return 0;
}

int huld_usb_hub_has_serial(const huld_dev *hub, const char *serial) {
  return find_by_serial(hub, serial) != nullptr;
}

int huld_usb_hub_has_vid_pid(const huld_dev *hub, uint16_t vid, uint16_t pid) {
  return find_by_ids(hub, vid, pid) != nullptr;
}

int huld_usb_hub_get_serial(huld_error *err, const huld_dev *hub, uint16_t vid, uint16_t pid, char *out,
                            uint32_t length) {
  if (!hub || hub->iface != WINDOWS_USB_HUB)
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "interface is not supported");
  if (length == 0) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "output buffer size is 0 (%s)", __func__);
  for (uint32_t i = 0; i < entry_count(hub); ++i) {
    const huld_usb_entry &e = hub->usb_entries[i];
    if (e.serial[0] == '\0') continue;
    if ((vid == 0 || e.vid == vid) && (pid == 0 || e.pid == pid)) {
      copy_out(out, length, e.serial);
      huld_error_clear(err);
      return 0;
    }
  }
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "no valid serial for vid %xh and pid %xh\n", vid, pid);
}

int huld_usb_hub_get_serial_by_serial(huld_error *err, const huld_dev *hub, const char *serial, char *out,
                                      uint32_t length) {
  if (!hub || hub->iface != WINDOWS_USB_HUB)
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "interface is not supported");
  if (length == 0) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "output buffer size is 0 (%s)", __func__);
  if (const huld_usb_entry *e = find_by_serial(hub, serial)) {
    copy_out(out, length, e->serial);
    huld_error_clear(err);
    return 0;
  }
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "no valid serial for input serial %s\n", serial ? serial : "");
}

int huld_usb_hub_is_super_speed(const huld_dev *hub, uint16_t vid, uint16_t pid) {
  const huld_usb_entry *e = find_by_ids(hub, vid, pid);
  return e ? e->super_speed : 0;
}

int huld_usb_hub_is_super_speed_by_serial(const huld_dev *hub, const char *serial) {
  const huld_usb_entry *e = find_by_serial(hub, serial);
  return e ? e->super_speed : 0;
}

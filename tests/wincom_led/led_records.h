// Storage-device records for the LED tests (the native suite and the Windows program under Wine):
// an NVMe record on SCSI port 3, the record "disk3" and a USB hub listing 1234h:5678h.
#pragma once

#include <cstdio>
#include <cstring>

#include "huld/huld_dev.h"

namespace ledtest {

// A record as the enumeration prepares one: no port, no disk number, handles closed.
inline huld_dev led_record(const char *name, uint32_t iface) {
  huld_dev d;
  huld_dev_prepare(&d);
  std::snprintf(d.name, sizeof d.name, "%s", name);
  d.iface = iface;
  d.uvc_node_id = HULD_NO_NUMBER;
  return d;
}

struct LedRecords {
  huld_dev nvme = led_record("nvme0", WINDOWS_NVME);
  huld_dev disk3 = led_record("disk3", WINDOWS_SCSI);
  huld_dev hub = led_record("usbhub0", WINDOWS_USB_HUB);
  LedRecords() {
    nvme.scsi_address.PortNumber = 3;
    hub.usb_entry_count = 1;
    hub.usb_entries[0].vid = 0x1234;
    hub.usb_entries[0].pid = 0x5678;
  }
};

}  // namespace ledtest

// Building blocks of the CSMI, Intel RSTe and USB enumeration passes.
#pragma once
#include "huld/huld_dev.h"

// 1 when the driver behind the port answers the CSMI driver-information request.
int csmi_is_supported(HANDLE port);
// Appends a record per end device on the port's phys, then per RAID drive no record covers yet.
void csmi_capture_port(HANDLE port, const char *path, uint32_t port_number, huld_dev_enumeration *enumeration);
// Append a record per RAID member, pass-through disk and spare disk of an Intel RSTe port.
void intel_rste_capture_rste_raid_volumes(HANDLE port, const char *path, uint32_t port_number,
                                          huld_dev_enumeration *enumeration);
void intel_rste_capture_rste_passthrough_disks(HANDLE port, const char *path, uint32_t port_number,
                                               huld_dev_enumeration *enumeration);
void intel_rste_capture_rste_spare_disks(HANDLE port, const char *path, uint32_t port_number,
                                         huld_dev_enumeration *enumeration);
// Fills the hub record's entries from the hub's ports 1 to `ports`, walking downstream hubs.
void usb_enumerate_ports(huld_dev *hub_record, HANDLE hub, uint32_t ports);
// The name of the hub on `port` as narrow text. 0 or 1.
int usb_get_node_connection_name(HANDLE hub, uint32_t port, char *name, uint32_t size);

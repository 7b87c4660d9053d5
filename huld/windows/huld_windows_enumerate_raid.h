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
// The Intel RSTe requests ("NvmeRAID" on the port, see the capture functions above). Each
// returns 0 when the call succeeded, else 1 (logged); the driver's ReturnCode is not examined.
// The SRB_IO_CONTROL header of an RSTe request of `size` bytes.
void intel_rste_populate_srb(uint8_t *buffer, uint32_t size, uint32_t control_code);
int intel_rste_get_num_raid_volumes(HANDLE port, uint32_t *count);
int intel_rste_get_num_passthrough_disks(HANDLE port, uint32_t *count);
// Sent as the pass-through count request (E0002028h), as the driver has always been asked.
int intel_rste_get_num_spare_disks(HANDLE port, uint32_t *count);
// The 132-byte volume information of volume `volume` (from 1) into `info`.
int intel_rste_get_raid_information(HANDLE port, uint32_t volume, uint8_t *info);
// The member list of a volume of `members` members (at most 256 asked), the 108-byte entries from
// byte 36 of *config (caller frees); *entries counts the whole entries that came back.
int intel_rste_get_raid_config(HANDLE port, uint32_t volume, uint32_t members, uint8_t **config, uint32_t *entries);
// The pass-through and spare disk lists for `count` entries, 108-byte entries from byte 32 of
// *list (caller frees); *entries counts the whole entries that came back.
int intel_rste_get_passthrough_disk_information(HANDLE port, uint32_t count, uint8_t **list, uint32_t *entries);
int intel_rste_get_raid_spare_disks_infomation(HANDLE port, uint32_t count, uint8_t **list, uint32_t *entries);
// Fills the hub record's entries from the hub's ports 1 to `ports`, walking downstream hubs.
void usb_enumerate_ports(huld_dev *hub_record, HANDLE hub, uint32_t ports);
// The name of the hub on `port` as narrow text. 0 or 1.
int usb_get_node_connection_name(HANDLE hub, uint32_t port, char *name, uint32_t size);

// The drive report: what the operating system knows about one disk and the storage controller in
// front of it (boot disk, removal policy, SCSI bus, instance id, the controller's driver service
// and storage-port path, partition alignment). The caller zeroes the record before the fillers
// run; each filler writes only its own fields and leaves a field untouched when the source has no
// value for it. Every function takes the caller's error record first and returns 0 (cleared) or 1
// (set). The fillers use WMI: COM must be usable on the calling thread.
#pragma once

#include <cstdint>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "platform/win32.h"

typedef struct vornwincom_drive_report {
  uint8_t is_boot_disk;           // the boot configuration names this disk
  uint32_t removal_policy;        // DEVPKEY_Device_RemovalPolicy
  uint8_t removable;              // capabilities have CM_DEVCAP_REMOVABLE or _SURPRISEREMOVALOK
  uint8_t scsi_bus;               // Win32_DiskDrive SCSIBus (low byte)
  WCHAR instance_id_wide[512];    // the disk's device instance id, NUL-terminated
  char instance_id[512];          // the same, narrowed
  char storage_port_path[512];    // the controller's storage-port interface path
  char service[512];              // the controller's driver service
  uint8_t aligned_partitions;     // partitions starting on a 4096-byte boundary (stops at 255)
  uint8_t other_partitions;       // the others (stops at 255)
} vornwincom_drive_report;

// Zeroes the report and runs the four fillers; code 2 for a record that is not a disk, code 1
// with the failed fillers' bits (boot 1, disk 2, controller 4, partitions 8) as subcode.
int vornwincom_get_drive_report(huld_error *err, const huld_dev *dev, vornwincom_drive_report *report);
// is_boot_disk.
int vornwincom_fill_drive_report_boot_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number);
// instance_id_wide, instance_id, removal_policy, removable, scsi_bus.
int vornwincom_fill_drive_report_disk_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number);
// The same, for a caller that acts on the bus: `bus_given` (not null) is set to whether WMI gave a
// SCSIBus for the disk that is a bus number (0 to 255); scsi_bus is written as above either way.
int vornwincom_fill_drive_report_disk_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number,
                                           bool *bus_given);
// service and storage_port_path; needs instance_id (run the disk filler first).
int vornwincom_fill_drive_report_controller_info(huld_error *err, vornwincom_drive_report *report);
// Adds to aligned_partitions and other_partitions.
int vornwincom_fill_drive_report_partition_info(huld_error *err, vornwincom_drive_report *report,
                                                uint32_t disk_number);

// Replaces every occurrence of `from` (not empty) in `text` by `to`, searching on behind each
// inserted text.
void replace_all(std::string &text, const std::string &from, const std::string &to);
// Writes the low 8 bits of each of the size/2 UTF-16 units of `wide` to `out` (which holds at
// least size/2 characters); the size includes the NUL unit when the source has one.
void narrow_utf16_string(const void *wide, size_t size, char *out);

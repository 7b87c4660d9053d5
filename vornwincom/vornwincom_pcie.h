// The PCI Express controller in front of a disk: its vendor and device ids and its link, found
// through WMI associations (disk, Plug and Play entity, SCSI controller) or through the device
// tree (the disk's interface and its parent devnode).
#pragma once

#include <cstdint>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "platform/win32.h"

// Link information: the low byte of each PCI device property.
typedef struct vornwincom_pcie_link_info {
  uint8_t current_link_width;  // lanes in use
  uint8_t current_link_speed;  // the system's link speed code
  uint8_t max_link_width;      // lanes supported
  uint8_t max_link_speed;
} vornwincom_pcie_link_info;

// The PCI vendor and device id of the disk's controller (by WMI). 0 or 1.
int vornwincom_get_pcie_hardware_ids(huld_error *err, uint32_t *vendor_id, uint32_t *device_id, const huld_dev *dev);
// The link of the parent devnode of the disk whose interface answers the record's disk_number.
int vornwincom_get_pcie_slot_information(huld_error *err, vornwincom_pcie_link_info *link, const huld_dev *dev);
// The link of the disk's controller (by WMI); bytes read before a failure stay written.
int vornwincom_get_pcie_slot_information_fast(huld_error *err, vornwincom_pcie_link_info *link,
                                              const huld_dev *dev);

// The Plug and Play device id of the disk's controller as WMI names it (empty when WMI knows no
// association). Joins the calling thread to the multithreaded apartment when it has none, and
// leaves it there. 0 or 1.
int get_controller_device_id_from_huld_disk(huld_error *err, std::string *controller_id, const huld_dev *dev);
// The text of `property` of the last result object of `query` that has it (empty when none).
std::string wmi_query_single_property(IWbemServices *services, const std::string &query, const std::string &property);

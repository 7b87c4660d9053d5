// Windows half of the device-record lifecycle (open, close, copy, cleanup, is-open) and the
// Windows enumeration passes.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// 1 when h names an open handle (neither 0 nor INVALID_HANDLE_VALUE).
int huld_windows_handle_is_open(HANDLE h);
// Opens path for reading and writing, shared both ways, as the records' handles are opened.
HANDLE huld_windows_open_shared(const char *path);
// Closes *h when it is open and leaves INVALID_HANDLE_VALUE in it.
void huld_windows_close_handle(HANDLE *h);

int huld_windows_dev_open(huld_error *err, huld_dev *dev);
int huld_windows_dev_close(huld_error *err, huld_dev *dev);
// dest holds a byte copy of src; opens new handles on the same paths. 0 or 1 (dest then owns
// no handle).
int huld_windows_dev_copy(huld_dev *dest, const huld_dev *src);
int huld_windows_dev_is_open(const huld_dev *dev);
int huld_windows_dev_cleanup(huld_dev *dev);

int huld_windows_uvc_dev_open(huld_error *err, huld_dev *dev);
void huld_windows_uvc_dev_close(huld_dev *dev);
// Reads a text property (VT_BSTR only) of a video device's property bag into `out` (`size`
// bytes, terminated); 1 on success, else 0 after logging the failure.
int uvc_read_property(IPropertyBag *bag, const char *name, char *out, size_t size);

void huld_windows_enumerate_disk(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_hdc(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_scsi_adapter(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_csmi(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_rste(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_ses(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_usb(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_uvc(huld_dev_enumeration *enumeration);

// ---- Disk and controller passes: the shared building blocks ----------------------------------

// One disk of the disk-drive class.
typedef struct huld_disk_drive_entry {
  uint32_t disk_number;
  char parent_id[256];    // device instance id of the disk's controller
  char instance_id[256];  // the disk's own device instance id
} huld_disk_drive_entry;

// Walks the present disk drives into a heap array (the caller frees it with free).
void _enumerate_disk_drive_class(uint32_t *count, huld_disk_drive_entry **array);
// Adds the record "disk%d" of a physical drive, or fills in the driver of an existing one.
// desc null: the controller has no description (driver 0).
void _add_device(uint32_t disk_number, const char *instance_id, const char *desc,
                 huld_dev_enumeration *enumeration);
// Adds "nvme%d" records for a controller without a disk, counting *nvme_index up.
void _add_nvme_controller(uint32_t *nvme_index, const char *instance_id,
                          huld_dev_enumeration *enumeration);
huld_driver recognize_driver_desc(const char *desc);
// 0 or 1. get_pci_bus_device_instance and get_pci_bus_number walk instance_id upwards in place
// (a 256-byte buffer): callers pass a copy.
int get_parent(const char *instance_id, char *parent, size_t size);
int is_pci_bus(const char *instance_id);
int get_pci_bus_device_instance(char *instance_id, char *out, size_t size);
int get_pci_bus_number(char *instance_id, uint32_t *bus);
// Gives a disk on the maker's NVMe driver the path of its controller's storage-port interface.
void xr_modify_handle(huld_dev *dev, const char *parent_id);
void huld_windows_enumerate_controller(const GUID &setup_class, huld_dev_enumeration *enumeration);

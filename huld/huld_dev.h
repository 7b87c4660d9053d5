// The device record: one device node the system can send commands to (a disk, an NVMe
// controller, a device behind a RAID or CSMI controller, a USB root hub, a USB video device),
// its classification, the growable container the enumeration fills, the record's life (open,
// close, copy, cleanup, release), the interface probe and the device-class predicates.
//
// Nothing here locks: enumeration and probing run on one thread before commands are sent, and
// every update thread works on its own record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "huld/huld_log.h"

// ---------------------------------------------------------------------------------------------
// Command directions (the `ddir` of the ATA, NVMe and SCSI command records)
// ---------------------------------------------------------------------------------------------
enum huld_ddir : uint32_t {
  HULD_DDIR_NONE = 0,         // no data
  HULD_DDIR_TO_DEVICE = 1,    // data to the device
  HULD_DDIR_FROM_DEVICE = 2,  // data from the device
};

// Time-out of every probe command, in milliseconds (500).
extern uint32_t huld_probe_timeout_ms;

// ---------------------------------------------------------------------------------------------
// Classification
// ---------------------------------------------------------------------------------------------

// The device's command path (`iface`). Values 1, 2, 3, 4, 11 and 22 to 27 have no name and are
// never assigned; they exist only as members of the class sets of the predicates below.
enum huld_interface : uint32_t {
  IFACE_NONE = 0,  // not probed
  WINDOWS_NVME = 5,
  WINDOWS_NVME_INTEL_RST = 6,
  WINDOWS_NVME_INTEL_RSTE = 7,
  WINDOWS_NVME_XR_IUO = 8,
  WINDOWS_SCSI = 9,
  WINDOWS_SCSI_SAT_ATA = 10,
  WINDOWS_SCSI_ASMEDIA_NVME = 12,
  WINDOWS_ATA = 13,
  ADAPTEC_SCSI = 14,
  ADAPTEC_ATA = 15,
  MEGARAID_SCSI = 16,
  MEGARAID_ATA = 17,
  MEGARAID_NVME = 18,
  MARVELL_NEVOX = 19,
  WINDOWS_USB_HUB = 20,
  WINDOWS_UVC = 21,
  WINDOWS_AMD_RAID_ATA = 28,
  WINDOWS_AMD_RAID_NVME = 29,
  WINDOWS_AMD_RAID_SCSI = 30,
};

// How the device was found (`conn.type`). 9 and 10 are never assigned.
enum huld_connection : uint32_t {
  CONN_NONE = 0,
  CONN_CSMI = 1,    // end device behind a CSMI port phy
  CONN_DISK = 2,    // a disk interface, or an NVMe controller without a disk
  CONN_RSTE = 3,    // disk behind an Intel RSTe port
  CONN_SES = 4,     // enclosure services device
  CONN_ADAPTEC = 5,
  CONN_MEGARAID = 6,
  CONN_USB_HUB = 7,
  CONN_UVC = 8,
  CONN_DISK_POOL_MEMBER = 12,  // a disk that is a member of a Microsoft Storage Spaces pool
};

// Driver of the controller the device hangs on (`conn.driver`). No driver has the value 10.
enum huld_driver : uint32_t {
  DRIVER_NONE = 0,
  WINDOWS_INBOX_AHCI = 1,
  WINDOWS_INBOX_NVME = 2,
  INBOX_USB_MASS_STORAGE = 3,
  INBOX_UAS_MASS_STORAGE = 4,
  INTEL_RST = 5,
  INTEL_RSTE = 6,
  ADAPTEC_RAID = 7,
  XR_NVME = 8,  // the maker's own NVMe driver
  UVC = 9,
  MICROSOFT_STORAGE_SPACES = 11,
};

// Enumeration passes (`huld_dev_enumerate_flags`).
enum huld_enumerate_flags : uint32_t {
  HULD_ENUMERATE_DISK = 0x1,
  HULD_ENUMERATE_HDC = 0x2,
  HULD_ENUMERATE_SCSI_ADAPTER = 0x4,
  HULD_ENUMERATE_CSMI = 0x8,
  HULD_ENUMERATE_RSTE = 0x10,
  HULD_ENUMERATE_SES = 0x20,
  HULD_ENUMERATE_USB = 0x40,
  HULD_ENUMERATE_UVC = 0x80,
  HULD_ENUMERATE_AMD_RAID = 0x100,
  HULD_ENUMERATE_ADAPTEC = 0x10000,
  HULD_ENUMERATE_MEGARAID = 0x20000,
};

// Probe flag: try the SAT probe ahead of the ATA probes.
#define HULD_PROBE_SAT_FIRST 0x1u

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------

// A node of the attached-data list.
typedef struct huld_dev_data {
  uint64_t key;
  struct huld_dev_data *next;
  struct huld_dev_data *previous;
  // Makes the copy's data: stores it in *dest_slot from the source data.
  void (*copy)(void **dest_slot, const void *src_data);
  // Frees the data.
  void (*free)(void *data);
  void *data;
} huld_dev_data;

// One device found below a USB root hub.
typedef struct huld_usb_entry {
  uint16_t pid;
  uint16_t vid;
  uint8_t super_speed;
  char serial[41];
} huld_usb_entry;

#define HULD_DEV_NAME_SIZE 256
#define HULD_DEV_PATH_SIZE 1024
#define HULD_DEV_INSTANCE_ID_SIZE 1024
#define HULD_DEV_RST_PORT_PATH_SIZE 256
#define HULD_DEV_DESCRIPTOR_SIZE 40
#define HULD_DEV_USB_ENTRIES 32
#define HULD_DEV_POOL_MEMBER_IDS_SIZE 512
#define HULD_NO_NUMBER 0xFFFFFFFFu

typedef struct huld_dev_conn {
  uint32_t type;    // huld_connection
  uint32_t driver;  // huld_driver
  HANDLE handle;    // opened on path; INVALID_HANDLE_VALUE (or 0) when closed
  char path[HULD_DEV_PATH_SIZE];
} huld_dev_conn;

// The device record. A plain value: a byte copy duplicates its handles (use huld_dev_copy).
// The record owns its handles and its attached-data list.
typedef struct huld_dev {
  char name[HULD_DEV_NAME_SIZE];  // "disk%d", "nvme%d", or as the enumerators make them
  uint32_t iface;                 // huld_interface; 0 until probed or set by an enumerator
  huld_dev_data *data_list;       // head of the attached-data list, null when empty
  huld_dev_conn conn;
  SCSI_ADDRESS scsi_address;  // PortNumber FFh until an enumerator fills it
  char instance_id[HULD_DEV_INSTANCE_ID_SIZE];
  uint32_t bus_number;  // bus number of the PCI bus device above the device
  uint8_t csmi_raid_member;
  uint8_t csmi_phy_id;
  uint8_t csmi_port_id;
  uint8_t csmi_sas_address[8];
  uint8_t csmi_link_rate;
  uint8_t descriptor[HULD_DEV_DESCRIPTOR_SIZE];  // fixed part of STORAGE_DEVICE_DESCRIPTOR
  uint32_t disk_number;  // physical-drive number; FFFFFFFFh for a record that is not a disk
  HANDLE rst_port_handle;
  char rst_port_path[HULD_DEV_RST_PORT_PATH_SIZE];  // "\\.\Scsi%u:"
  uint8_t rste_raid_member;
  uint32_t rste_disk_id;
  uint32_t rste_disk_number;  // FFFFFFFFh until the device scan sets it
  uint16_t nevox_pd_id;
  uint32_t usb_entry_count;
  huld_usb_entry usb_entries[HULD_DEV_USB_ENTRIES];
  WCHAR pool_member_ids[HULD_DEV_POOL_MEMBER_IDS_SIZE / sizeof(WCHAR)];  // UTF-16 multi-string
  uint32_t uvc_node_id;  // FFFFFFFFh when none
  void *uvc_control;     // control interface of a USB video device, null when closed
} huld_dev;

// The growable container the enumeration fills. Owns the block and, through the records, their
// handles. The block always keeps one free slot.
typedef struct huld_dev_enumeration {
  uint32_t capacity;  // records the block can hold
  uint32_t count;     // records in use
  huld_dev *devices;
} huld_dev_enumeration;

// ---------------------------------------------------------------------------------------------
// Life of a record
// ---------------------------------------------------------------------------------------------

// Opens the record unless it is open already (then clears err and returns 0). 0 or 1.
int huld_dev_open(huld_error *err, huld_dev *dev);
// Closes the record when open; otherwise clears err. 0 or 1.
int huld_dev_close(huld_error *err, huld_dev *dev);
// 1 when the record's handles are open, else 0. 0 and INVALID_HANDLE_VALUE both mean closed.
int huld_dev_is_open(const huld_dev *dev);
// Copies src into dest: the whole record, a deep copy of the attached-data list (never sharing
// the source's list) and new handles on the same paths. 0, or 1 (null pointer, or a handle
// could not be opened; dest then owns nothing).
int huld_dev_copy(huld_dev *dest, const huld_dev *src);
// Frees the attached-data list and closes the handles. 0, or 1 for a null record.
int huld_dev_cleanup(huld_dev *dev);
// Makes the record an empty slot as the container prepares one (zero, handles INVALID_HANDLE_VALUE,
// PortNumber FFh, disk_number and rste_disk_number FFFFFFFFh). Closes nothing: clean up first.
void huld_dev_prepare(huld_dev *dev);

// Enumerates with the given passes into a new container (any earlier content is not freed).
void huld_dev_enumerate_flags(huld_dev_enumeration *enumeration, uint32_t flags);
// The same with every pass.
void huld_dev_enumerate(huld_dev_enumeration *enumeration);
// A new, prepared slot (zero, handles INVALID_HANDLE_VALUE, PortNumber FFh, disk_number and
// rste_disk_number FFFFFFFFh), or null when the block cannot grow.
huld_dev *huld_dev_enumeration_push_back(huld_dev_enumeration *enumeration);
// Zeroes the last slot and decreases the count (nothing when empty). The caller closes the
// slot's handles first.
void huld_dev_enumeration_pop_back(huld_dev_enumeration *enumeration);
// Cleans up every record, frees the block and zeroes the container.
void huld_dev_release(huld_dev_enumeration *enumeration);

// Decides `iface` (opening the record when needed; it stays open). flags: HULD_PROBE_SAT_FIRST.
// 0, or 1 (open failure, or code 3 when no interface answers).
int huld_dev_probe_flags(huld_error *err, huld_dev *dev, uint32_t flags);
int huld_dev_probe(huld_error *err, huld_dev *dev);

// The physical-drive number: rste_disk_number of an Intel RSTe record when set, else the
// number in a name of the form "disk%u". 0 or 1.
int huld_dev_get_disk_number(huld_error *err, uint32_t *number, const huld_dev *dev);

// ---------------------------------------------------------------------------------------------
// Attached-data list
// ---------------------------------------------------------------------------------------------
void huld_dev_data_append(huld_dev *dev, huld_dev_data *node);
huld_dev_data *huld_dev_data_find(const huld_dev *dev, uint64_t key);
void huld_dev_data_remove(huld_dev *dev, uint64_t key);
void huld_dev_data_cleanup(huld_dev *dev);
// Appends to dest a new node per node of src (same key and functions; data made by the copy
// function). 0, or 1 when a node cannot be allocated.
int huld_dev_data_copy(huld_dev *dest, const huld_dev *src);

// ---------------------------------------------------------------------------------------------
// Related records (one physical device seen twice)
// ---------------------------------------------------------------------------------------------
int huld_dev_is_related(const huld_dev *a, const huld_dev *b);
// 1 when the two connection paths are equal.
int huld_dev_compare_path(const huld_dev *a, const huld_dev *b);
// 1 when the hub (a WINDOWS_USB_HUB record) has an entry with the serial number that dev reports
// in INQUIRY page 80h (asked on a copy of dev with its own handles); an empty serial matches
// nothing.
int huld_dev_usb_hub_has_serial_of(const huld_dev *hub, const huld_dev *dev);
// 1 when the hub (a WINDOWS_USB_HUB record) has an entry with the vendor and product id in dev's
// instance id.
int huld_dev_usb_hub_has_vid_pid_of(const huld_dev *hub, const huld_dev *dev);

// ---------------------------------------------------------------------------------------------
// Device classes: each takes a record and returns 1 or 0
// ---------------------------------------------------------------------------------------------
int huld_dev_is_ata(const huld_dev *dev);
int huld_dev_is_nvme(const huld_dev *dev);
int huld_dev_is_scsi(const huld_dev *dev);
int huld_dev_is_sat(const huld_dev *dev);
int huld_dev_is_asmedia_nvme(const huld_dev *dev);
int huld_dev_is_marvell_nevox(const huld_dev *dev);
int huld_dev_is_usb_hub(const huld_dev *dev);
int huld_dev_is_amd_raid(const huld_dev *dev);
int huld_dev_is_intel_rst(const huld_dev *dev);
int huld_dev_is_intel_rste(const huld_dev *dev);
int huld_dev_is_csmi(const huld_dev *dev);
int huld_dev_is_disk(const huld_dev *dev);
int huld_dev_is_ses(const huld_dev *dev);
int huld_dev_is_adaptec(const huld_dev *dev);
int huld_dev_is_megaraid(const huld_dev *dev);
int huld_dev_is_conn_type_9(const huld_dev *dev);
int huld_dev_is_conn_type_10(const huld_dev *dev);
int huld_dev_is_disk_pool_member(const huld_dev *dev);
int huld_dev_is_inbox_ahci(const huld_dev *dev);
int huld_dev_is_inbox_nvme(const huld_dev *dev);
int huld_dev_is_inbox(const huld_dev *dev);
int huld_dev_is_usb_mass_storage(const huld_dev *dev);
int huld_dev_is_uas(const huld_dev *dev);
int huld_dev_is_adaptec_raid(const huld_dev *dev);
int huld_dev_is_xr_nvme(const huld_dev *dev);
int huld_dev_is_uvc(const huld_dev *dev);
int huld_dev_is_raid_member(const huld_dev *dev);

// The device scan: turns the enumeration of device nodes into the caller's list of at most 128
// device records (probing each node and keeping the wanted classes), removes the nodes through
// which a listed drive is reached a second time, and filters the list by model.
//
// The scan keeps no state and takes no lock; it runs on the caller's thread. It logs at level 30
// and up. No operation takes an error record: a failing device is logged and skipped or removed.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"

#define VORNSCAN_MAX_DEVICES 128u

// The scan list, owned by the caller. Records [0, count) are deep copies with handles of their
// own; the list owns them (huld_dev_cleanup each before dropping the list). At about 600 KB it
// belongs on the heap or in static storage, never on a thread's stack.
typedef struct vornscan_list {
  uint32_t count;
  huld_dev devices[VORNSCAN_MAX_DEVICES];
} vornscan_list;

// Zeroes the list, enumerates with `flags` (huld_enumerate_flags), probes each node when
// should_probe is not 0 and copies every node of an included class (an include counts when it is
// not 0), in enumeration order. Nodes beyond the 128th are logged and left out. Returns 0.
int __scan(vornscan_list *list, uint32_t should_probe, uint32_t include_nvme,
           uint32_t include_scsi, uint32_t include_ata, uint32_t include_usb_hub,
           uint32_t include_uvc, uint32_t flags);
// Every class, every enumeration pass.
int vornscan_scan(vornscan_list *list, uint32_t should_probe);
// Every class, the caller's passes.
int vornscan_scan_flags(vornscan_list *list, uint32_t should_probe, uint32_t flags);
// One class, every pass.
int vornscan_scan_ata(vornscan_list *list, uint32_t should_probe);
int vornscan_scan_nvme(vornscan_list *list, uint32_t should_probe);
int vornscan_scan_scsi(vornscan_list *list, uint32_t should_probe);
int vornscan_scan_uvc(vornscan_list *list, uint32_t should_probe);
// The nodes whose name is one of `names` (ASCII case ignored), whatever their class; with probing
// a matching node is taken only when its probe succeeds. Returns 0.
int vornscan_scan_names(vornscan_list *list, uint32_t should_probe, const char *const *names,
                        uint32_t name_count);

// Removes the extra nodes of one drive, keyed on the serial number, in five passes: CSMI of disk,
// CSMI of CSMI, SCSI of ATA, SCSI of Intel RSTe NVMe (the NVMe node takes the SCSI disk's
// physical-drive number), RAID volume of RAID member; then a sixth removes a later node of the
// same interface class (NVMe, ATA or SCSI) whose serial, not empty, and model equal an earlier
// node's. Order of the kept records is unchanged.
void vornscan_eliminate_extra_device_nodes(vornscan_list *list);

// Remove the devices whose model cannot be read, and those whose model fails the test: empty
// (invalid), not beginning "Corvane" (non_cv), not beginning "XR" (non_xr), neither (non_tx).
void vornscan_filter_invalid(vornscan_list *list);
void vornscan_filter_non_cv(vornscan_list *list);
void vornscan_filter_non_xr(vornscan_list *list);
void vornscan_filter_non_tx(vornscan_list *list);

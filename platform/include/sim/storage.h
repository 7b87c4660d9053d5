// Simulated machine: storage adapters, logical units, the drives behind them and the drivers that
// answer their requests.
//
// The "storage" section of a machine description:
//   "storage": {
//     "drives": [ {                                  (optional: drives reached by id)
//        "id": "B",                                  (required, unique, not starting with '@')
//        exactly one drive model:  "nvme": { ... } | "ata": { ... } | "scsi": { ... }  (below)
//        "firmware_slots": 1, "firmware_active_slot": 0    (ATA only: storage firmware view)
//     } ],
//     "adapters": [ {
//        "id": "nvme0",                              (required, unique)
//        "personality": "inbox_nvme" | "inbox_ahci" | "usb_bot" | "storage_spaces" | "plain" |
//                       "intel_rst" | "intel_rste" | "maker_nvme" | "nevox" | "uas" | "uas_sat" | "sas",
//        "port": 2,                                  (optional; default: creation order, skipping
//                                                     numbers fixed elsewhere; not for "plain")
//        "instance_id": "PCI\\VEN_ABCD&DEV_5010\\4&2B1F&0&00E8",   (optional)
//        "driver_desc": "...",                       (optional; the "DriverDesc" of the node made
//                                                     for it, default the driver's own, "" none;
//                                                     not with "node")
//        "interface_path": "\\\\?\\PCI#...#{2accfe60-...}",      (optional; default generated
//                                                     from instance_id, lower case; "" = none;
//                                                     not for "plain")
//        "knobs": { ... },                           (common knobs and the personality's own, below)
//        "nvme": { ... } | "drive": "B"              (optional: the NVMe controller answering
//                                                     controller-level requests on the adapter;
//                                                     default: the first NVMe drive of its units)
//        "csmi": { ... }  (intel_rst, sas) | "rste": { ... }  (intel_rste) | "nevox": { ... }  (nevox)
//                                                    (optional: what the driver reports about the
//                                                     drives behind it, below)
//     } ],
//     "disks": [ {                                   (every logical unit)
//        "id": "disk0",                              (optional; default "disk<N>", "lu<index>")
//        "kind": "disk" | "enclosure" | "raid_member" | "physical_disk",   (default "disk")
//                                                    disk: physical drive, PDO, disk interface;
//                                                    enclosure: device type 0Dh, SES interface only
//                                                    (its drive is a "scsi" model with
//                                                    "peripheral_type": 13);
//                                                    raid_member, physical_disk: no path of their
//                                                    own, reached through the adapter at their
//                                                    address (required)
//        "adapter": "nvme0",                         (required)
//        "physical_drive": 0,                        (disks; default: next free number)
//        "pdo": "\\Device\\00000031",                (optional; default generated)
//        "instance_id": "SCSI\\DISK&VEN_NVME&PROD_CORVANE\\5&1&0&000000",  (optional)
//        "interface": true,                          (default true; false: no disk/SES interface)
//        "interface_path": "...",                    (optional override)
//        "address": { "path_id": 0, "target_id": 0, "lun": 0 } | null,
//                                                    (default 0/0/0; null: no SCSI address)
//        "bus_type": 17,                             (optional; default from the personality)
//        "bridge": "none" | "sat",                   (what sits in front of the drive; informational
//                                                     for now: every ATA drive gets a SCSI/ATA
//                                                     translation the personality may use)
//        the drive:  "drive": "B"                    (one of the "drives" table), or an inline
//                    model as in the drives table ("nvme" / "ata" / "scsi", and for ATA
//                    "firmware_slots" / "firmware_active_slot"), which is an anonymous drive
//                    named "@" + the unit's id
//     } ]
//   }
// One drive reached through several units (or an adapter) is one model: one identity, one set of
// slots, one pending image, one set of counters. Later entries that reach drives (CSMI phys, RAID
// members, RSTe entries, NevoX physical disks, SCSI twins) use the same reference
// (StorageDriveTable::resolve in sim/storage/driver.h).
//
// Drive models:
//   "nvme": { "model", "serial", "firmware", "namespace": true, "slot1_read_only": false,
//             "slots": 2, "activation_without_reset": false, "ca3_status": 267, "fwug": 0,
//             "mdts": 5 (2^n pages of 4 KiB a command may move; 0 no limit),
//             "enforce_granularity": true, "activation": "commit" | "reset" | "power_cycle" |
//             "never", "active_slot": 1, "slot_revisions": ["", ...], "apsta": true,
//             "apste": false, "apst_table": ["0x1800", ...] (up to 32 power-state transition
//             entries of 8 bytes, little-endian; default all zero), "identify_fails": false,
//             "component_id": "", "timing": { ... },
//             "vendor_commands": { "admin": ["0xC2", ...], "nvm": ["0x80", ...] } }
//           (vendor_commands: the vendor-specific opcodes, admin C0h-FFh and NVM 80h-FFh, that
//           the Commands Supported and Effects log lists; none by default)
//   NVMe commit actions: with "activation": "reset" (the default) an image committed with CA 1 or
//   CA 2 runs after the next controller reset, and with "activation_without_reset": true one
//   committed with CA 3 runs at once, so the running revision shows which action arrived;
//   "commit" runs CA 1 and CA 2 images at once as well. "slots": 2 with "slot1_read_only": true
//   leaves slot 2 as the only writable slot.
//   "ata":  { "model", "serial", "firmware", "log_page3": "present" | "missing" | "invalid",
//             "mode3": true, "mode7": true, "modeE": true, "log_min_blocks": 0,
//             "log_max_blocks": 0, "word234": 0, "word235": 0,
//             "activation_needs_power_cycle": false, "identify_fails": false,
//             "sense_format": "descriptor" | "fixed_old" | "fixed_new" | "fixed_long",
//             "fixed_valid": true, "component_id": "", "word141": 0, "word142": 0, "vu": { ... },
//             "timing": { ... } }
//   "scsi": { "vendor", "product", "revision", "serial", "peripheral_type": 0,
//             "write_buffer": true, "offset_boundary": 8192, "vu": { ... }, "timing": { ... } }
//   "vu" (the vendor-unique responder; present = the drive answers vendor-unique commands, and an
//   ATA drive reports IDENTIFY word 142 = its level and word 141 = 4001h unless those are given):
//           { "level": 4 | 5 (ATA; a SCSI target is always 5), "access_code": "0x5A3C71" (level 4),
//             VSC-ID record (key 13/1): "ctl", "srv", "ovl" (8 characters at most; an
//             activation takes them from the image), "legacy_family_id": 254, "family_id",
//             "global_product_id", "answer_bytes": 512 (the record's length),
//             "security_level": 0 (key 159/8), "key_page_flags": 0, "secure_test_value": 0,
//             faults: "status_version": "0x0100" | "0x0200" (another is refused by the host),
//             "principal_gec", "supplemental_gec" (for every key), "reported_blocks" (block
//             count of the status and the key page instead of the real one), "reported_bytes"
//             (byte count of a 0200h status instead of the real one; a failed key's status is
//             always 0100h) }
//   The responder also answers the keys of the diagnostic super binary (sim/drives/vu_responder.h).
//   The faults may also be set by a rule of the "faults" section:
//   {"drive": "sata4", "vu": {"reported_blocks": 70000}} (the fault fields only).
//   "timing" (NVMe, ATA and SCSI: modelled command times in machine milliseconds, slept by the
//   drive before it acts, within the time-out of the request that carries the command; the drive's
//   counters add them up, DriveCounters::busy_ms):
//           { "command_ms": 0, "download_ms": 0 (each download piece: NVMe 11h, ATA 92h, SCSI
//             WRITE BUFFER 0Eh), "activate_ms": 0 (each commit or activation: NVMe 10h, ATA 92h
//             0Fh, SCSI WRITE BUFFER 0Fh) }
//   A drive without "timing" takes the times of ORBU_SIM_DRIVE_TIMING ("3,20,2000": command,
//   download piece, activation) when that variable is set, else none (NVMe and ATA drives).
// Numbers may be JSON numbers or strings in hexadecimal ("0x20"). Unknown fields are errors.
// A text longer than the field it fills (model 40, serial 20, firmware 8, SCSI vendor 8, product
// 16, revision 4, ...) is refused, never cut; every width: docs/machines.md, "Drive models".
//
// Contents of the RAID and HBA personalities (read into sim/storage/contents.h; every "drive" names
// a drive of the "drives" table; texts at most as long as the driver's field):
//   "csmi": {
//     "driver": { "name": "...", "description": "..." },       (driver info texts, <= 80 each)
//     "phys": [ {                                    (at most 32, in phy order)
//        "identifier": 0,                            (own bPhyIdentifier; default: the index)
//        "attached_identifier": 0,                   (the attached device's bPhyIdentifier;
//                                                     default: the own identifier)
//        "attached": "none" | "end_device" | "expander",   (device type 00h / 10h / 20h; default none)
//        "sas_address": "50 01 03 AA 00 00 00 00",   (attached address, 16 hex digits, blanks free;
//                                                     end devices and expanders)
//        "port_identifier": 0,                       (default: the phy's identifier)
//        "link_rate": 0,                             (negotiated; default 0)
//        "protocol": "sata" | "stp" | "ssp" | "smp", (end devices: target protocol)
//        "drive": "D"                                (end devices but SMP: an ATA drive for sata/stp,
//                                                     a SCSI drive for ssp)
//     } ],
//     "raid": { "max_drives_per_set": 4,             (default: the largest set)
//               "sets": [ { "raid_type": 0, "status": 0,     (bRaidType, bStatus; default 0)
//                           "failure_code": 0, "change_count": 0,  (uFailureCode, uChangeCount; default 0)
//                           "drives": [ { "drive": "M1", "sas_address": "...",
//                                         "model", "firmware", "serial" } ] } ] }
//                                                    (texts <= 40 / 8 / 40; default: the drive's
//                                                     running identity)
//   }  One SAS address leads to one drive. STP pass-through reaches the ATA drives of SATA/STP
//      end devices and of RAID sets by their addresses; any other address is refused.
//   "rste": {
//     "volumes": [ { "raid_type": "RAID1", "model": "...", "firmware": "...", "serial": "...",
//                    "members": [3, 4] } ],      (volume index = position + 1; texts <= 8 / 40 /
//                                                     8 / 40; members: disk ids)
//     "disks": [ { "id": 3, "drive": "R3", "model", "firmware", "serial" } ],
//                                                    (unique ids from 1, NVMe drives; texts as CSMI
//                                                     RAID drives)
//     "pass_through": [6, 0], "spares": [9]          (disk ids in entry order; 0 = an empty entry)
//   }
//   "nevox": {
//     "max_physical_disks": 3,                       (adapter information; default: the entries)
//     "physical_disks": [ { "id": 5, "drive": "PD5" } | { "nvme_status": "0x002" } ]
//                                                    (by index: a unique PD id and its NVMe drive,
//                                                     or an entry whose information request fails
//                                                     with that status, SCT << 8 | SC)
//   }
//
// Knobs. Common: "foreign_miniport": "fail" | "rc" (default per personality: "rc" for intel_rst,
// intel_rste and sas), "foreign_miniport_error": 1, "max_transfer_length": 131072 (the adapter's
// MaximumTransferLength; a SCSI or ATA pass-through, protocol command or protocol-specific property
// query moving more fails with ERROR_INVALID_PARAMETER, and the firmware download requests of the
// in-box drivers take no larger piece). Each personality reads its own (a knob no
// one reads is an error): inbox_nvme "windows81_mode": false, "firmware_activate_return_code"
// (unset: 0, or 20h when the drive activates only at a power cycle); inbox_ahci
// "get_info_insufficient_buffer": false; intel_rst "intel_fw_activate_return_code" (unset: 0, or
// 20h when the drive activates only at a power cycle); nevox the inbox_nvme knobs; uas
// "becoming_ready": 0 (probe answers "becoming ready" before the first good one),
// "reset_reaches_drive": false.
//
// Paths: \\.\ScsiN: and the storage-port interface name the adapter (not for "plain");
// \\.\PhysicalDriveN, \\.\GLOBALROOT\Device\... and the disk interface name a disk; the SES
// interface ({1790c9ec-...}) names an enclosure. Interface paths are made from the instance id
// ('\' becomes '#', lower case) unless given.
//
// Personalities and what their units answer (anything else fails as the real driver does):
//   inbox_nvme      device number, descriptor (bus type 17), address; protocol-specific property
//                   (49: Identify Controller and log pages; 50: other Identify and features) and
//                   protocol command (Flags 80000000h, data direction as the opcode's bits 1:0;
//                   only vendor-specific commands the drive lists, else ReturnStatus 3) on disk
//                   and adapter; log-page SubValue3/SubValue4 decoded from build 20348 on; temperature threshold; "FIRMWARE" miniport (Flags 1) on
//                   disk and adapter; SCSI translation (INQUIRY, VPD 80h, READ/WRITE(16),
//                   SYNCHRONIZE CACHE, SECURITY PROTOCOL IN/OUT, WRITE BUFFER 0Eh/0Fh as image
//                   download / commit). Windows 8.1 mode: no protocol-specific property or
//                   protocol command (ERROR_NOT_SUPPORTED), no WRITE BUFFER.
//   inbox_ahci      ATA pass-through; SCSI pass-through through the driver's SCSI/ATA translation
//                   (ATA PASS-THROUGH(12/16), INQUIRY, VPD pages); storage firmware GET_INFO /
//                   DOWNLOAD / ACTIVATE on Windows 10 and later (ACTIVATE Flags 0 or 80000000h,
//                   else ERROR_INVALID_PARAMETER; bus type 11).
//   usb_bot         SCSI pass-through to the bridge's SCSI/ATA translation (bus type 7).
//   storage_spaces  INQUIRY and VPD pages of the virtual disk; bus reset on the disk (bus type 16).
//   plain           a SCSI unit without a port: device number, descriptor (bus type 1), INQUIRY
//                   and VPD 80h, cache requests; GET_ADDRESS and bus reset fail (1).
//   intel_rst       on the port: "IntelNvm" (NVMe pass-through, every command as an admin
//                   command) and "IntelFw " (firmware information, download, activation; Flags
//                   1 for an NVMe drive, 0 for a SATA drive, else ReturnCode 3) for the
//                   NVMe or SATA drive at the request's PathId/TargetId/Lun (ReturnCode 1 for a
//                   volume or an empty address), CSMI through rst_csmi_miniport
//                   (sim/storage/intel_rst.h); every miniport request on a disk fails (1); no
//                   protocol-specific property or protocol command (ERROR_NOT_SUPPORTED); ATA
//                   pass-through and the SCSI/ATA translation on SATA disks, the NVMe SCSI
//                   translation on NVMe disks, INQUIRY and VPD pages on volumes; bus reset on the
//                   port and on a disk (bus type 8).
//   sas             SAS LUs as full SCSI targets, SATA LUs through the HBA's SCSI/ATA
//                   translation (ATA PASS-THROUGH(12/16), INQUIRY), the enclosure with SES; no
//                   ATA pass-through; CSMI on the port (bus type 10).
//   CSMI ports      (intel_rst and sas with "csmi" contents) answer "CSMIALL" 1 driver info,
//                   "CSMISAS" 20 phy info, "CSMIARY" 10 RAID info and 11 RAID configuration, and
//                   "CSMISAS" 25 STP pass-through routed by SAS address to an ATA drive
//                   (ReturnCode 1 for any other address, and for a DMA transfer without its
//                   direction flag); on LU handles CSMI fails (1). Fault request "stp_pass_through";
//                   count and text faults: platform/sim/storage_csmi.cpp.
//   maker_nvme      "NvmeMini" NVMe pass-through on the adapter (the controller of its first NVMe
//                   unit); INQUIRY on its units (bus type 17).
//   intel_rste      "NvmeRAID" on the port: the volume, pass-through and spare listings from its
//                   "rste" contents (none given: each NVMe drive of its units a pass-through disk,
//                   ids from 1) and the NVMe pass-through by disk id; INQUIRY and VPD 80h on
//                   its units (volumes, SCSI twins); foreign signatures on the port ReturnCode 1.
//   nevox           the inbox_nvme requests on the virtual disk, whose controller adds the vendor
//                   commands E2h (adapter and physical-disk information from the "nevox"
//                   contents) and C2h / C3h (a command for a physical disk, by id).
//   uas             the NVMe bridge: E6h probe and the EAh / EBh three-phase exchange per handle;
//                   INQUIRY and VPD 80h; no SAT (bus type 7).
//   uas_sat         as usb_bot, behind UAS.
//   Contents ("csmi", "rste", "nevox") read back through storage_csmi(), storage_rste() and
//                   storage_nevox() (sim/storage/contents.h).
// Every disk answers the disk cache requests; adapters answer bus resets and, for in-box NVMe,
// the controller requests; foreign miniport signatures fail (or answer ReturnCode 1 per knob).
//
// Time-outs: a SCSI or ATA pass-through, a protocol command or a miniport request (any signature)
// whose drive commands take longer than its time-out field fails with ERROR_SEM_TIMEOUT after the
// time-out, the caller's buffer as sent; the drive aborts the command and recovers from the port's
// reset (sim/drives/*.h, RequestTimeLimit). A time-out of 0 sets no bound and is counted. The
// rules, with what Windows does: docs/machines.md, "Request time-outs".
//
// Machine-state output: with ORBU_SIM_STATE_OUT=<file> the native process writes, at exit, the
// state of every drive (storage_state_json(); write_storage_state() writes it on demand):
//   { "drives": [ {
//       "id": "B", "anonymous": false, "kind": "nvme" | "ata" | "scsi",
//       "model": "...", "serial": "...", "revision": "<running revision>",
//       "active_slot": 2,                            (NVMe: the running slot; ATA: the storage
//                                                     firmware view's active slot; absent for SCSI)
//       "slots": [ { "slot": 1, "revision": "..." }, ... ],   (NVMe slots 1..n, "" = empty; ATA
//                                                     slots 0..n-1 of the storage firmware view;
//                                                     [] for SCSI)
//       "pending": { "slot": 2, "revision": "..." } | null,   (NVMe: activated at the next reset;
//                                                     ATA: saved, waiting for 0Fh or a power cycle)
//       "staged_bytes": 0,                           (downloaded, not yet committed)
//       "activations": 1, "bus_resets": 1, "power_cycles": 0,
//       "timeouts": 0,                               (commands that outlived their request's time-out)
//       "apste": false, "apst_save_requests": 0,     (NVMe: APST enabled now; Set Features APST
//                                                     asking to save, each refused 0/0Dh)
//       "units": [ "disk0", ... ]                    (the units that reach the drive)
//   } ],
//     "zero_timeouts": { "scsi_pass_through": 0, "ata_pass_through": 0, "protocol_command": 0,
//                        "miniport": { "NvmeMini": 2, ... } }   (requests sent with a time-out of 0;
//                                                     miniport requests by signature, trailing NULs
//                                                     removed)
//   }
// Drives appear in description order: the "drives" table first, then the inline ones.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

class NvmeController;
class AtaDrive;
class SatDevice;
class ScsiTarget;

// Knobs every adapter has (the personalities keep their own, see storage_adapter_configure).
struct StorageAdapterKnobs {
  // Miniport signatures the adapter does not own: ReturnCode 1 (true) or a failed call (false).
  bool foreign_miniport_rc = false;
  DWORD foreign_miniport_error = ERROR_INVALID_FUNCTION;
  // The adapter's MaximumTransferLength: a request whose data the port maps (SCSI and ATA
  // pass-through, the protocol command, the protocol-specific property query) moving more is
  // refused (ERROR_INVALID_PARAMETER) before it reaches a unit (StorageRequest::beyond_max_transfer).
  uint32_t max_transfer_length = 0x20000;
};

// Loads the "storage" section (replacing the storage in use) and registers every path. Throws
// std::runtime_error on a bad description. Registered as the machine section "storage" by
// register_storage_section(); machine loading calls it.
void load_storage(const nlohmann::json &section);
// Removes every adapter and disk (their paths go with the device namespace reset).
void reset_storage();
// Registers the "storage" machine section (idempotent).
void register_storage_section();

// Faults: besides plain failures (sim::fail_ioctl), the front-ends understand custom actions on
// DeviceIoControl rules ("return_code", "nvme_status", "scsi_status", "ata_status",
// "short_transfer", ...) and rules keyed by what they decoded (FaultOp::other with "request",
// "nvme_opcode", "cdb0", "ata_command"); the list is in sim/storage/driver.h.

// ---- Test access -----------------------------------------------------------------------------------

struct StorageDiskInfo {
  std::string id;
  std::string kind;             // "disk", "enclosure", "raid_member", "physical_disk"
  uint32_t physical_drive = 0;  // FFFFFFFFh for units that are no disk
  std::string pdo;
  std::string interface_path;   // "" when none
  std::string adapter;          // adapter id
  uint32_t port = 0;            // FFFFFFFFh for an adapter that is no SCSI port
  std::string personality;
  std::string drive;            // id of the drive behind it ("@" + id for an inline one)
};
// Every logical unit, in description order.
std::vector<StorageDiskInfo> storage_disks();

// A drive by its id ("@<disk id>" for one described inline on a disk); null models when there is
// no such drive.
struct StorageDriveModels {
  std::string id;
  std::string kind;             // "nvme", "ata", "scsi"; "" when there is no such drive
  std::shared_ptr<NvmeController> nvme;
  std::shared_ptr<AtaDrive> ata;
  std::shared_ptr<SatDevice> sat;
  std::shared_ptr<ScsiTarget> scsi;
};
StorageDriveModels storage_drive(const std::string &id);

// Drive models by physical-drive number (null when the disk has no such model).
std::shared_ptr<NvmeController> storage_nvme(uint32_t physical_drive);
std::shared_ptr<AtaDrive> storage_ata(uint32_t physical_drive);
std::shared_ptr<SatDevice> storage_sat(uint32_t physical_drive);
std::shared_ptr<ScsiTarget> storage_scsi(uint32_t physical_drive);
// Controller of an NVMe adapter, by port number.
std::shared_ptr<NvmeController> storage_adapter_nvme(uint32_t port);

// Common knobs of the adapter with that port number (null when there is none). Change them only
// while no request is running.
StorageAdapterKnobs *storage_adapter_knobs(uint32_t port);
// Reads an adapter's "knobs" object again (JSON text, as in a description): every knob not given
// returns to its default. Throws std::runtime_error as loading does. Only while no request runs.
void storage_adapter_configure(const std::string &adapter_id, const std::string &knobs_json);

// Machine state: every drive as JSON (format above); written to ORBU_SIM_STATE_OUT at exit.
std::string storage_state_json();
// Writes storage_state_json() to `path`; false when the file cannot be written.
bool write_storage_state(const std::string &path);

// Temperature threshold the in-box NVMe front-end holds for a disk (index 0-8, over or under).
std::optional<int16_t> storage_temperature_threshold(uint32_t physical_drive, uint16_t index, bool over);

}  // namespace sim

#endif  // _WIN32

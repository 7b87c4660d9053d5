// Simulated storage stack: the objects behind the storage paths (adapters and logical units) and
// the base class of the driver personalities that answer their requests.
//
// A personality is a StorageDriver. The common part of the stack (storage.cpp) decodes what every
// storage driver decodes the same way (device number, standard device descriptor, SCSI address,
// SCSI and ATA pass-through, the miniport header) and hands the rest to the personality's
// virtual functions; their defaults reject the request as a driver without that feature does.
// New personalities register a factory under their name (register_storage_driver) and are then
// usable from machine descriptions.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "sim/device.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/sat_device.h"
#include "sim/drives/scsi_target.h"
#include "sim/faults.h"
#include "sim/storage.h"

namespace sim {

// ---- Little-endian field access on request buffers ------------------------------------------------

namespace wire {
inline uint16_t u16(const uint8_t *p, size_t off) {
  return static_cast<uint16_t>(p[off] | p[off + 1] << 8);
}
inline uint32_t u32(const uint8_t *p, size_t off) {
  return static_cast<uint32_t>(p[off]) | static_cast<uint32_t>(p[off + 1]) << 8 |
         static_cast<uint32_t>(p[off + 2]) << 16 | static_cast<uint32_t>(p[off + 3]) << 24;
}
inline uint64_t u64(const uint8_t *p, size_t off) {
  return static_cast<uint64_t>(u32(p, off)) | static_cast<uint64_t>(u32(p, off + 4)) << 32;
}
inline void put16(uint8_t *p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v);
  p[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t *p, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace wire

// ---- Control codes and values the stack decodes ------------------------------------------------

namespace ioctl {
constexpr DWORD kScsiPassThrough = 0x0004D004;
constexpr DWORD kScsiMiniport = 0x0004D008;
constexpr DWORD kAtaPassThrough = 0x0004D02C;
constexpr DWORD kScsiGetAddress = 0x00041018;
constexpr DWORD kStorageQueryProperty = 0x002D1400;
constexpr DWORD kStorageGetDeviceNumber = 0x002D1080;
constexpr DWORD kStorageResetBus = 0x002D5000;
constexpr DWORD kStorageProtocolCommand = 0x002DD3C0;
constexpr DWORD kStorageSetTemperatureThreshold = 0x002DD200;
constexpr DWORD kStorageFirmwareGetInfo = 0x002D1C00;
constexpr DWORD kStorageFirmwareDownload = 0x002DDC04;
constexpr DWORD kStorageFirmwareActivate = 0x002DDC08;
constexpr DWORD kDiskGetCacheInformation = 0x000740D4;
constexpr DWORD kDiskSetCacheInformation = 0x0007C0D8;
constexpr DWORD kDiskGetCacheSetting = 0x000740E0;
constexpr DWORD kDiskSetCacheSetting = 0x0007C0E4;
}  // namespace ioctl

// STORAGE_DEVICE_DESCRIPTOR bus types.
enum : uint32_t {
  kBusScsi = 1,
  kBusUsb = 7,
  kBusRaid = 8,
  kBusSas = 10,
  kBusSata = 11,
  kBusSpaces = 16,
  kBusNvme = 17,
};

class StorageDriver;
struct StorageAdapter;

// One physical drive: its model and what every path to it shares (identity, firmware state,
// slots, pending image). Described once in the "drives" table, or inline on the entry that reaches
// it (an anonymous drive, named "@" + the entry's id).
struct StorageDrive {
  std::string id;
  bool anonymous = false;
  std::string kind;                      // "nvme", "ata" or "scsi"
  // The model (one of them; `sat` wraps `ata`: the SCSI/ATA translation a driver or bridge offers).
  std::shared_ptr<NvmeController> nvme;
  std::shared_ptr<AtaDrive> ata;
  std::shared_ptr<SatDevice> sat;
  std::shared_ptr<ScsiTarget> scsi;
  // When the NVMe drive's committed images take effect (decides the "FIRMWARE" activation
  // ReturnCode).
  NvmeActivation nvme_activation = NvmeActivation::AtReset;
  // Storage firmware view of an ATA drive: slots the driver reports and the active one.
  uint8_t fw_slot_count = 1;
  uint8_t fw_active_slot = 0;
  // Strings of the full device descriptor and the SCSI peripheral type, as described.
  std::string vendor, product, revision, serial;
  uint8_t device_type = 0;

  // A bus reset reaching the drive: a controller reset of an NVMe drive; counted by the others.
  void bus_reset() const;
  DriveIdentity identity() const;        // running identity
};

// The drives of a description while it loads. Entries that reach a drive (disks today; CSMI phys,
// RAID members, RSTe entries, NevoX physical disks and SCSI twins later) either name one
// ("drive": "B") or carry an inline model ("nvme" / "ata" / "scsi", with "firmware_slots" and
// "firmware_active_slot" for an ATA drive), which makes an anonymous drive.
class StorageDriveTable {
 public:
  // Fields an entry may use to reach its drive (add them to the entry's allowed fields).
  static const std::vector<std::string> &reference_fields();

  // Loads the "drives" array: { "id": "B", one of "nvme" / "ata" / "scsi", ATA: "firmware_slots",
  // "firmware_active_slot" }.
  void load(const nlohmann::json &drives);
  std::shared_ptr<StorageDrive> find(const std::string &id) const;
  // The drive `entry` reaches; null when it neither names nor describes one and !required.
  // `owner` names the anonymous drive; `kinds` ("" = any) limits the kind.
  std::shared_ptr<StorageDrive> resolve(const nlohmann::json &entry, const std::string &where,
                                        const std::string &owner, bool required = true,
                                        const std::string &kind = "");
  const std::vector<std::shared_ptr<StorageDrive>> &all() const { return drives_; }

 private:
  std::shared_ptr<StorageDrive> make(const nlohmann::json &entry, const std::string &where);
  std::vector<std::shared_ptr<StorageDrive>> drives_;
};

// Port number of an adapter that is no SCSI port, and physical-drive number of a unit that is no disk.
constexpr uint32_t kNoPort = 0xFFFFFFFF;
constexpr uint32_t kNoPhysicalDrive = 0xFFFFFFFF;

// What a logical unit is.
enum class LuKind {
  Disk,          // a disk with a physical-drive number, PDO and (usually) a disk interface
  Enclosure,     // device type 0Dh, reached through its SES interface path
  RaidMember,    // hidden member of a RAID set: no path of its own, reachable through its controller
  PhysicalDisk,  // physical disk behind a controller: no path of its own
};

// One logical unit: a disk, enclosure or hidden unit with the drive behind it.
struct StorageLu {
  std::string id;                        // name in the machine description
  LuKind kind = LuKind::Disk;
  uint32_t physical_drive = 0;           // disks only
  std::string pdo;                       // "\Device\00000031"
  std::string instance_id;
  std::string interface_path;            // empty: no disk (or SES) interface
  bool has_address = true;
  uint8_t path_id = 0, target_id = 0, lun = 0;
  StorageAdapter *adapter = nullptr;     // owner
  uint32_t bus_type = 0;
  uint8_t device_type = 0;               // SCSI peripheral type (0 disk, 0Dh enclosure)
  std::string vendor, product, revision, serial;  // strings of the full device descriptor

  // The drive behind the LU, and its models (shortcuts to drive->nvme, ...).
  std::shared_ptr<StorageDrive> drive;
  std::shared_ptr<NvmeController> nvme;
  std::shared_ptr<AtaDrive> ata;
  std::shared_ptr<SatDevice> sat;
  std::shared_ptr<ScsiTarget> scsi;
  NvmeActivation nvme_activation = NvmeActivation::AtReset;

  // What sits between the LU and the drive: "none" or "sat" (a SCSI/ATA translation in a bridge);
  // later bridges add their own names.
  std::string bridge = "none";

  // Front-end state, under `lock`: temperature thresholds kept by the NVMe front-end, and the disk
  // class cache settings (DISK_CACHE_INFORMATION, 24 bytes; DISK_CACHE_SETTING, 12 bytes).
  std::mutex lock;
  std::map<uint32_t, int16_t> thresholds;  // key: index << 1 | under
  uint8_t cache_information[24] = {1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 0,
                                   0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
  uint8_t cache_setting[12] = {12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
};

// One adapter (SCSI port): the object behind \\.\ScsiN: and its storage-port interface.
struct StorageAdapter {
  std::string id;
  uint32_t port = 0;
  std::string instance_id;
  std::string interface_path;            // empty: none
  std::shared_ptr<StorageDriver> driver;
  StorageAdapterKnobs knobs;
  std::vector<std::shared_ptr<StorageLu>> lus;
  // Controller-level requests on the adapter handle (in-box NVMe: the controller, with or without
  // a namespace).
  std::shared_ptr<NvmeController> nvme;
  NvmeActivation nvme_activation = NvmeActivation::AtReset;

  StorageLu *find_lu(uint8_t path_id, uint8_t target_id, uint8_t lun) const;
};

// Custom fault actions the front-ends understand (FaultAction::custom, by name):
//   "return_code" value          SRB_IO_CONTROL ReturnCode of a miniport request
//   "return_status" value        STORAGE_PROTOCOL_COMMAND ReturnStatus
//   "error_code" value           STORAGE_PROTOCOL_COMMAND ErrorCode
//   "nvme_status" value [value2] NVMe status (SCT << 8 | SC) instead of executing; value2 = DW0
//   "completion_dw0" value       completion DW0 (FixedProtocolReturnData)
//   "scsi_status" value value2   SCSI status instead of executing; value2 = key << 16 | ASC << 8 |
//                                ASCQ, bit 24 set for descriptor sense; `bytes`, when given, are the
//                                sense bytes as returned
//   "sense_length" value         SenseInfoLength reported (clipped to the caller's sense buffer)
//   "ata_status" value value2    ATA STATUS and ERROR instead of executing
//   "short_transfer" value       move at most `value` bytes (data length fields say so)
//   "zero_data"                  data-in answered with zeros
//   "short_return" value         after a successful answer BytesReturned is at most `value`; the
//                                caller's buffer beyond it keeps what it held (a buffered request
//                                hands back only the bytes returned), though the driver and the
//                                drive did everything else
//   "device_number" value        GET_DEVICE_NUMBER answers this DeviceNumber
//   "scribble" value [value2]    after a successful answer the driver writes into the caller's
//                                buffer: `bytes` at offset `value`, or without bytes every byte from
//                                `value` to the end set to `value2` (the data area of a to-device
//                                request included), and returns the bytes it wrote
//   "corrupt_offsets" value value2  hardening: after the answer is written, every offset field the
//                                driver returns (SCSI_PASS_THROUGH DataBufferOffset and
//                                SenseInfoOffset; protocol command ErrorInfoOffset and data buffer
//                                offsets) is moved by `value` bytes (default 16), and, when
//                                `value2` is not 0, every returned length field (DataTransferLength;
//                                DataFrom/ToDeviceTransferLength) says `value2`; the data stays at
//                                the offsets the caller built and BytesReturned stays true
// Front-ends also ask the rule set with FaultOp::other and the keys "driver" (personality name),
// "request" (see each request), "nvme_opcode", "cdb0", "ata_command"; every IOCTL_SCSI_MINIPORT
// request is asked once with request "miniport", "signature" (the 8 bytes as text) and
// "miniport_code" (fault_key of the ControlCode) before the personality sees it. A plain "fail"
// action fails the call there too.

// One request as a personality sees it.
struct StorageRequest {
  IoctlCall &call;
  StorageAdapter &adapter;
  StorageLu *lu = nullptr;               // null on an adapter handle (unless routed to a LU)
  bool on_adapter = false;               // the handle names the adapter
  std::vector<uint8_t> in;               // copy of the input bytes
  std::vector<FaultAction> actions;      // fired custom actions

  StorageRequest(IoctlCall &c, StorageAdapter &a) : call(c), adapter(a) {}

  // Asks the rule set with the front-end keys; true when a rule failed the call (call.error set).
  bool frontend_faults(const std::string &request, std::map<std::string, std::string> keys = {});
  const FaultAction *action(const std::string &name) const;
  // Counts a contract violation and fails the call as the driver would.
  BOOL violation(const std::string &what, DWORD error = ERROR_INVALID_PARAMETER);
  // Counts a contract violation only (the personality then answers as the driver would).
  void count_violation(const std::string &what);
  // The port maps the data of the requests it passes down for the adapter: a request moving more
  // than the adapter's MaximumTransferLength fails (ERROR_INVALID_PARAMETER) before any unit sees
  // it. True when it was refused.
  bool beyond_max_transfer(uint64_t bytes);
  // Whether `bytes` exceed the adapter's MaximumTransferLength; when they do, notes `refusal` on
  // the trace and leaves the answer to the caller.
  bool exceeds_max_transfer(uint64_t bytes, const char *refusal);
  BOOL fail(DWORD error) { return call.fail(error); }
  void note(const std::string &key, const std::string &value);
  // The decoded command and its data phase, as notes the trace output shows under "command" and
  // "data": "cdb" (hex bytes); "ata_command", "ata_feature", "ata_count", "ata_lba";
  // "nvme_opcode", "nvme_nsid", "nvme_cdw10".."nvme_cdw15"; "data_length", "data_direction".
  void note_cdb(const uint8_t *cdb, size_t len);
  void note_ata(const AtaTaskfile &tf);
  void note_nvme(const NvmeCommand &cmd);
  void note_data(uint32_t length, int ddir);
  void trace_timeout(uint32_t seconds);
};

// Decoded SRB_IO_CONTROL header of an IOCTL_SCSI_MINIPORT request.
struct MiniportHeader {
  uint32_t header_length = 0;
  std::string signature;                 // 8 bytes as sent
  uint32_t timeout = 0;
  uint32_t control_code = 0;
  uint32_t return_code = 0;
  uint32_t length = 0;
};

// Rejection of a miniport signature the driver does not own (F(1) on LUs, the port's style on
// adapters).
BOOL reject_miniport(StorageRequest &r);

// The part of an adapter's description a personality reads: its "knobs" object and the
// adapter-level keys it owns (own_keys()). Readers throw the loader's errors, naming the field
// ("storage.adapters[1].knobs.windows81_mode: expected true or false"); knobs nobody read are
// errors too. When a test reconfigures only the knobs there is no adapter entry and no drives
// table: personalities keep what they read from their own keys at load.
class DriverConfig {
 public:
  DriverConfig(const nlohmann::json *knobs, const nlohmann::json *adapter, std::string where,
               const StorageDriveTable *drives = nullptr);
  bool has(const std::string &knob) const;
  bool flag(const std::string &knob, bool fallback);
  uint64_t number(const std::string &knob, uint64_t max, uint64_t fallback);
  std::optional<uint64_t> optional_number(const std::string &knob, uint64_t max);
  std::string choice(const std::string &knob, const std::vector<std::string> &allowed, const std::string &fallback);
  // An adapter-level key the personality owns; null when absent.
  const nlohmann::json *section(const std::string &key) const;
  // The drives table own keys refer to (null on a knobs-only reconfiguration), and the adapter's
  // place in the description ("adapters[5]") for their errors.
  const StorageDriveTable *drives() const { return drives_; }
  const std::string &where() const { return where_; }
  [[noreturn]] void error(const std::string &knob, const std::string &what) const;
  // Throws for the first knob nobody read.
  void finish() const;

 private:
  const nlohmann::json *knobs_;
  const nlohmann::json *adapter_;
  std::string where_;
  const StorageDriveTable *drives_;
  std::vector<std::string> read_;
};

class StorageDriver {
 public:
  virtual ~StorageDriver() = default;
  virtual const char *name() const = 0;
  virtual uint32_t bus_type() const = 0;

  // Reads the personality's own knobs (and own adapter keys). Called at load with the adapter's
  // description, and again when a test reconfigures the adapter: start from the defaults.
  virtual void configure(DriverConfig &config);
  // Called once the description's units are on the adapter (after configure at load).
  virtual void units_loaded(const StorageAdapter &) {}
  // Adapter-level keys besides the common ones that belong to this personality.
  virtual std::vector<std::string> own_keys() const { return {}; }
  // Whether the adapter is a SCSI port (\\.\ScsiN:, storage-port interface, SCSI addresses).
  virtual bool has_port() const { return true; }
  // Rejection style for foreign miniport signatures on the port unless the knob says otherwise:
  // ReturnCode 1 (true) or a failed call.
  virtual bool foreign_miniport_rc_default() const { return false; }

  // IOCTL_STORAGE_QUERY_PROPERTY with a PropertyId other than the standard device property.
  virtual BOOL query_property(StorageRequest &r, uint32_t property_id);
  virtual BOOL protocol_command(StorageRequest &r);
  virtual BOOL temperature_threshold(StorageRequest &r);
  virtual BOOL miniport(StorageRequest &r, const MiniportHeader &h);
  // IOCTL_STORAGE_FIRMWARE_GET_INFO / DOWNLOAD / ACTIVATE.
  virtual BOOL storage_firmware(StorageRequest &r);
  virtual BOOL reset_bus(StorageRequest &r, uint8_t path_id);
  // Whether ATA_PASS_THROUGH reaches the drive of this LU.
  virtual bool ata_pass_through(const StorageLu &lu) const;
  // One CDB for the LU (SCSI pass-through). The default answers CHECK CONDITION, invalid opcode.
  virtual ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len,
                                  uint8_t *data, uint32_t data_len, int ddir);
  // What a bus reset does to one LU (default: a controller reset of an NVMe drive).
  virtual void reset_lu(StorageLu &lu);

};

using StorageDriverFactory = std::function<std::shared_ptr<StorageDriver>()>;
void register_storage_driver(const std::string &personality, StorageDriverFactory factory);
std::shared_ptr<StorageDriver> make_storage_driver(const std::string &personality);
// The names make_storage_driver knows, in alphabetical order.
std::vector<std::string> storage_personalities();

// Personalities built into the stack (registered by storage.cpp on first use).
std::shared_ptr<StorageDriver> make_inbox_nvme_driver();
std::shared_ptr<StorageDriver> make_inbox_ahci_driver();
std::shared_ptr<StorageDriver> make_usb_bot_driver();
std::shared_ptr<StorageDriver> make_storage_spaces_driver();
std::shared_ptr<StorageDriver> make_plain_driver();
std::shared_ptr<StorageDriver> make_maker_nvme_driver();
std::shared_ptr<StorageDriver> make_rste_driver();
std::shared_ptr<StorageDriver> make_nevox_driver();
std::shared_ptr<StorageDriver> make_uas_driver();
std::shared_ptr<StorageDriver> make_uas_sat_driver();

// Helpers shared by personalities.
ScsiResult scsi_invalid_opcode();
bool os_is_windows10_or_later();

// The storage in use (for the state output and later passes over it).
std::vector<std::shared_ptr<StorageDrive>> storage_drive_list();
std::vector<std::shared_ptr<StorageLu>> storage_lu_list();
// The adapter with that port number; null when there is none.
std::shared_ptr<StorageAdapter> storage_adapter_at(uint32_t port);
// Writes the state to ORBU_SIM_STATE_OUT when it is set (registered with atexit by the stack).
void write_storage_state_at_exit();
// Requests with a time-out of 0 since the storage was loaded: by request kind
// ("scsi_pass_through", "ata_pass_through", "protocol_command"), or, with `miniport`, the miniport
// requests by signature (trailing NULs removed).
std::map<std::string, uint64_t> storage_zero_timeouts(bool miniport);

}  // namespace sim

#endif  // _WIN32

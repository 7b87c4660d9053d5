// What the RAID and HBA personalities report about the drives behind them: the contents of their
// own adapter keys ("csmi" for intel_rst and sas, "rste" for intel_rste, "nevox" for nevox; the
// JSON shapes are in sim/storage.h). Read and checked when the adapter loads, kept by the
// personality (a knobs-only reconfiguration keeps them) and read by its requests and by tests.
#pragma once
#ifndef _WIN32

#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

#include "sim/drives/drive_common.h"

namespace sim {

struct StorageDrive;
class StorageDriveTable;

using SasAddress = std::array<uint8_t, 8>;

// CSMI attached device types and target protocols (bit values of bTargetPortProtocol).
enum : uint8_t { kCsmiNoDevice = 0x00, kCsmiEndDevice = 0x10, kCsmiExpander = 0x20 };
enum : uint8_t { kCsmiSata = 0x01, kCsmiSmp = 0x02, kCsmiStp = 0x04, kCsmiSsp = 0x08 };

// A drive as a RAID driver lists it: the described texts, or (where none was described) the
// drive's running identity, so that an update shows through the listing too.
struct ListedDrive {
  std::string model, firmware, serial;   // as described; "" = the drive's own
  std::shared_ptr<StorageDrive> drive;
  DriveIdentity listed() const;
};

struct CsmiPhy {
  uint8_t identifier = 0;                // own bPhyIdentifier
  uint8_t attached_identifier = 0;       // the attached device's bPhyIdentifier
  uint8_t attached_type = kCsmiNoDevice;
  SasAddress attached_address{};
  uint8_t port_identifier = 0;
  uint8_t target_protocol = 0;           // end devices only
  uint8_t link_rate = 0;                 // negotiated
  std::shared_ptr<StorageDrive> drive;   // the drive an end device leads to (null for SMP)
};

struct CsmiRaidDrive : ListedDrive {
  SasAddress sas_address{};
};

struct CsmiRaidSet {
  uint8_t raid_type = 0;                 // bRaidType
  uint8_t status = 0;                    // bStatus
  uint32_t failure_code = 0;             // uFailureCode
  uint32_t change_count = 0;             // uChangeCount
  std::vector<CsmiRaidDrive> drives;     // in array order
};

struct CsmiContents {
  std::string driver_name, driver_description;
  std::vector<CsmiPhy> phys;             // in array order, at most 32
  uint32_t max_drives_per_set = 0;
  std::vector<CsmiRaidSet> raid_sets;
  // Where STP pass-through goes: SATA/STP end devices and ATA RAID drives, by SAS address.
  std::vector<std::pair<SasAddress, std::shared_ptr<StorageDrive>>> stp_routes;
  // The ATA drive at `address`; null when none (the request answers ReturnCode 1).
  std::shared_ptr<StorageDrive> stp_target(const SasAddress &address) const;
};

struct RsteDisk : ListedDrive {
  uint32_t id = 0;
};

struct RsteVolume {
  std::string raid_type, model, firmware, serial;
  std::vector<uint32_t> members;         // disk ids, in order
};

struct RsteContents {
  std::vector<RsteVolume> volumes;       // volume index i + 1
  std::vector<RsteDisk> disks;
  std::vector<uint32_t> pass_through;    // disk ids in entry order; 0 = an empty entry
  std::vector<uint32_t> spares;          // likewise
  const RsteVolume *volume(uint32_t index) const;  // index from 1; null outside
  const RsteDisk *disk(uint32_t id) const;         // null for 0 and unknown ids
};

struct NevoxPhysicalDisk {
  uint16_t id = 0;
  std::shared_ptr<StorageDrive> drive;   // null for a failing entry
  uint16_t nvme_status = 0;              // a failing entry: its information request ends with it
};

struct NevoxContents {
  uint16_t max_physical_disks = 0;
  std::vector<NevoxPhysicalDisk> physical_disks;   // by index
  const NevoxPhysicalDisk *by_id(uint32_t id) const;  // null for unknown ids and failing entries
};

// Readers of the keys; `where` names the key ("adapters[5].csmi"), errors name the field below it.
CsmiContents load_csmi(const nlohmann::json &j, const std::string &where, const StorageDriveTable &drives);
RsteContents load_rste(const nlohmann::json &j, const std::string &where, const StorageDriveTable &drives);
NevoxContents load_nevox(const nlohmann::json &j, const std::string &where, const StorageDriveTable &drives);

// The contents of the adapter with that port number; null when there is no such adapter, its
// personality has no such contents, or its description gave none.
std::shared_ptr<const CsmiContents> storage_csmi(uint32_t port);
std::shared_ptr<const RsteContents> storage_rste(uint32_t port);
std::shared_ptr<const NevoxContents> storage_nevox(uint32_t port);

}  // namespace sim

#endif  // _WIN32

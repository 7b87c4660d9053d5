// Simulated SCSI/ATA translation layer in front of an AtaDrive: ATA PASS-THROUGH (12) and (16),
// INQUIRY with the VPD pages of a SAT device, TEST UNIT READY, REQUEST SENSE.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/drives/ata_drive.h"
#include "sim/drives/drive_common.h"
#include "sim/drives/scsi_target.h"

namespace sim {

struct SatCdb;

// How the registers come back after CK_COND or an ATA error.
enum class SatSenseFormat {
  Descriptor,  // 72h, ATA Status Return descriptor (09h, length 0Ch) at byte 8
  FixedOld,    // 70h: count @3, device @4, status @5, error @6, LBA 23:16 @9, 15:8 @10, 7:0 @11
  FixedNew,    // 70h: error @3, status @4, device @5, count @6, LBA 7:0 @9, 15:8 @10, 23:16 @11
  FixedLong,   // 70h, VALID clear, additional length 10: error @8, status @9, device @10, count @11,
               //   ASC @12, ASCQ @13 (so LBA 7:0 and 15:8 cannot be reported), LBA 23:16 @14
};

struct SatConfig {
  SatSenseFormat sense_format = SatSenseFormat::Descriptor;
  bool fixed_valid = true;                     // VALID bit (byte 0 bit 7) for FixedOld / FixedNew
  std::optional<uint8_t> fixed_additional_length;  // default 10 (byte 7)
  std::optional<uint32_t> sense_len_limit;     // report at most this many sense bytes (e.g. < 8)
  // Sense key / ASC / ASCQ for a completed command with CK_COND: RECOVERED ERROR, ATA
  // PASS-THROUGH INFORMATION AVAILABLE.
  uint8_t ck_key = 0x01, ck_asc = 0x00, ck_ascq = 0x1D;
  // For an ATA error: ABORTED COMMAND, same ASC. A reader that takes the registers from fixed
  // sense only under RECOVERED ERROR finds none there; set 01h here for a SATL that reports
  // errors that way.
  uint8_t error_key = 0x0B, error_asc = 0x00, error_ascq = 0x1D;
  std::string vendor = "ATA     ";               // INQUIRY vendor
  bool pass_listed_only = false;  // pass only 80h, B0h, 92h, ECh, 2Fh; other commands 05/24/00
  std::vector<ScsiFaultRule> faults;
};

class SatDevice {
 public:
  SatDevice(std::shared_ptr<AtaDrive> drive, SatConfig config = {});

  // `ddir`: 0 none, 1 to the device, 2 from the device. An ATA PASS-THROUGH whose data buffer
  // (none without a direction) is not the size its CDB announces (announced_bytes) is answered
  // with CHECK CONDITION 05h/24h/00h and a contract violation in the result; nothing reaches the drive.
  ScsiResult execute(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir);

  AtaDrive &drive() { return *drive_; }
  DriveIdentity identity() const { return drive_->identity(); }

  // The bytes an ATA PASS-THROUGH CDB announces, as SAT sizes the transfer: none for a protocol
  // that moves no data or T_LENGTH 0; the FEATURES (T_LENGTH 1) or COUNT (2) field, bits 7:0 only
  // without EXTEND, in bytes (BYTE_BLOCK 0), 512-byte blocks (BYTE_BLOCK 1, T_TYPE 0) or the
  // drive's logical sectors (T_TYPE 1); T_LENGTH 3: the transport's own length.
  uint64_t announced_bytes(const SatCdb &c, uint32_t transport_length) const;

  void add_fault(const ScsiFaultRule &rule);
  void clear_faults();
  void set_sense_format(SatSenseFormat format, bool valid = true);

 private:
  ScsiResult pass_through(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir);
  ScsiResult inquiry(const uint8_t *cdb, uint8_t *data, uint32_t data_len);
  ScsiResult registers_sense(bool error, const AtaResult &regs, bool ext) const;

  std::shared_ptr<AtaDrive> drive_;
  mutable std::mutex mutex_;
  SatConfig cfg_;
  ScsiFaultSet faults_;
  AtaResult last_regs_;
};

// ATA PASS-THROUGH CDB fields (both forms; the 12-byte form has no EXTEND and no high bytes).
struct SatCdb {
  uint8_t protocol = 0;
  bool extend = false;
  bool ck_cond = false;
  bool t_dir_in = false;
  bool byte_block = false;
  uint8_t t_type = 0;
  uint8_t t_length = 0;
  uint8_t multiple_count = 0;
  uint8_t off_line = 0;
  AtaTaskfile tf;
};
// Decodes an A1h (12 bytes) or 85h (16 bytes) CDB; false for anything else or a short CDB.
bool decode_sat_cdb(const uint8_t *cdb, size_t cdb_len, SatCdb *out);
// Builds a 16-byte ATA PASS-THROUGH CDB.
void encode_sat_cdb16(const SatCdb &in, uint8_t cdb[16]);

}  // namespace sim

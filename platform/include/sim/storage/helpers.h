// Pieces several personalities share: the SCSI translation of an NVMe drive, the "FIRMWARE"
// miniport request, and the mapping of firmware requests onto ATA DOWNLOAD MICROCODE.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <functional>
#include <optional>

#include "sim/storage/driver.h"

namespace sim {

// ---- SCSI translation of an NVMe drive ------------------------------------------------------------

// How a translation reaches the controller (the personality adds its fault actions).
// The 64-byte NVMe submission entry that starts at `p` (CDW0, NSID, CDW10-15), as a request carries it.
inline NvmeCommand read_submission_entry(const uint8_t *p) {
  NvmeCommand cmd;
  cmd.cdw0 = wire::u32(p, 0);
  cmd.nsid = wire::u32(p, 4);
  cmd.cdw10 = wire::u32(p, 40);
  cmd.cdw11 = wire::u32(p, 44);
  cmd.cdw12 = wire::u32(p, 48);
  cmd.cdw13 = wire::u32(p, 52);
  cmd.cdw14 = wire::u32(p, 56);
  cmd.cdw15 = wire::u32(p, 60);
  return cmd;
}

using NvmeRun = std::function<NvmeCompletion(const NvmeCommand &cmd, bool admin, uint8_t *data, uint32_t data_len)>;

// One CDB for an NVMe drive: INQUIRY (vendor "NVMe", product = MN bytes 0-15, revision = FR bytes
// 0-3; VPD 00h, 80h = SN, 83h), TEST UNIT READY, REQUEST SENSE, READ(16) / WRITE(16),
// SYNCHRONIZE CACHE(10), SECURITY PROTOCOL IN / OUT, and, when `write_buffer`, WRITE BUFFER 0Eh /
// 0Fh as Firmware Image Download / Firmware Commit (CA 1). Anything else: invalid opcode.
ScsiResult translate_scsi_to_nvme(const NvmeRun &run, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                                  uint32_t data_len, int ddir, bool write_buffer);
// Sense for an NVMe status a translated command ended with.
ScsiResult sense_for_nvme_status(const NvmeCompletion &c);

// ---- "FIRMWARE" miniport request ------------------------------------------------------------------

constexpr uint32_t kFirmwareControlCode = 0x001B0780;
enum : uint32_t {
  kFwFunctionGetInfo = 1,
  kFwFunctionDownload = 2,
  kFwFunctionActivate = 3,
  kFwFlagController = 1,
};
// ReturnCode values.
enum : uint32_t {
  kFwSuccess = 0x00,
  kFwError = 0x01,
  kFwIllegalRequest = 0x02,
  kFwInvalidParameter = 0x03,
  kFwInvalidSlot = 0x06,
  kFwInvalidImage = 0x07,
  kFwPowerCycleRequired = 0x20,
  kFwDeviceError = 0x40,
};

// A decoded request: after the SRB_IO_CONTROL header the request block @28 {Version 1, Size 24,
// Function @36, Flags @40, DataBufferOffset @44, DataBufferLength @48}; at DataBufferOffset the
// function's structure: download {Version 1, Size 24, Offset u64 @8, BufferSize u64 @16, image
// @24}, activate {Version 1, Size 12, SlotToActivate u8 @8}.
struct FirmwareRequest {
  uint32_t function = 0;
  uint32_t flags = 0;
  uint64_t offset = 0;            // download
  uint64_t bytes = 0;
  const uint8_t *image = nullptr;  // into the request's input copy
  uint8_t slot = 0;               // activate
};

enum class FirmwareDecode {
  ok,       // `out` holds the request
  failed,   // the call failed as the driver fails it (a contract violation was counted)
  refused,  // the driver answers with ReturnCode `refusal` (a contract violation was counted)
};
FirmwareDecode decode_firmware_request(StorageRequest &r, const MiniportHeader &h, FirmwareRequest &out,
                                       uint32_t &refusal);
// The answer: the request echoed with ReturnCode `rc`, the whole buffer returned.
BOOL answer_firmware_request(StorageRequest &r, uint32_t rc);
// ReturnCode for the NVMe status of a download or commit.
uint32_t firmware_return_code(const NvmeCompletion &c);
// Whether a download piece fits the adapter's MaximumTransferLength, beyond which the miniport
// takes no piece (noted on the trace when it does not).
bool firmware_piece_fits(StorageRequest &r, const FirmwareRequest &f);

// ---- Firmware requests as ATA DOWNLOAD MICROCODE -------------------------------------------------

// A piece at a byte offset as mode 0Eh: blocks in COUNT and LBA 7:0 (count 15:8), the block offset
// in LBA 23:8. nullopt when the piece is empty, not whole 512-byte blocks, or out of range.
std::optional<AtaTaskfile> microcode_download(uint64_t byte_offset, uint64_t bytes);
// Activation of the deferred image: mode 0Fh, no data.
AtaTaskfile microcode_activate();
// Sends DOWNLOAD MICROCODE to `drive` under the request's fault actions ("ata_status"); false when
// the drive refused it.
bool run_microcode(StorageRequest &r, AtaDrive &drive, const AtaTaskfile &tf, uint8_t *data, uint32_t len);

// Runs one ATA command on `drive` for a pass-through front-end, under the request's fault actions
// ("ata_status": answer those registers instead of running; "short_transfer"; "zero_data" on data
// in). `data` holds `len` bytes (to the device: the caller's data; from it: filled). *moved gets the
// bytes the transfer moved.
AtaResult run_ata_for(StorageRequest &r, AtaDrive &drive, const AtaTaskfile &tf, uint8_t *data, uint32_t len,
                      int ddir, uint32_t *moved);

// ---- SCSI/ATA translation in front of an ATA drive -------------------------------------------------

// Asks the rule set about an ATA PASS-THROUGH CDB (85h or A1h) that a bridge's or controller's
// SCSI/ATA translation is about to answer: request "sat_command", key "ata_command" (the CDB's
// COMMAND). Its custom actions join the request's, so that "short_return" and the like can pick one
// ATA command among the pass-through CDBs; failing a call is the "scsi_pass_through" rule's job,
// and a rule here that tries it is counted as a violation.
void sat_command_faults(StorageRequest &r, const uint8_t *cdb, size_t cdb_len);

// ---- Common SCSI answers --------------------------------------------------------------------------

// Standard INQUIRY and VPD 00h / 80h built from a LU's descriptor strings (for units whose drive
// model has no SCSI face of its own); other CDBs invalid opcode.
ScsiResult inquiry_from_descriptor(const StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                                   uint32_t data_len, int ddir);

}  // namespace sim

#endif  // _WIN32

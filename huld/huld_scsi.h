// SCSI command records and their execute entry point; SCSI/ATA translation (ATA PASS-THROUGH
// CDB accessors, the builder that wraps an ATA command, the decoder of the returned registers);
// the CDB builders of the USB-bridge NVMe exchange.
#pragma once

#include <cstdint>

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

#define HULD_SCSI_CDB_SIZE 16
#define HULD_SCSI_SENSE_SIZE 32

// A SCSI command.
typedef struct huld_scsi_cmd {
  uint8_t cdb[HULD_SCSI_CDB_SIZE];  // command descriptor block
  uint32_t cdb_len;                 // CDB length in bytes
  void *data;                       // the caller's buffer
  uint32_t data_len;                // buffer length in bytes
  uint32_t xfer_len;                // out: data bytes the pass-through returned
  uint8_t scsi_status;              // out: SCSI status
  uint8_t sense[HULD_SCSI_SENSE_SIZE];  // out: sense data
  uint32_t sense_len;               // sense buffer length; callers set 32
  uint32_t timeout_ms;
  uint32_t ddir;                    // huld_ddir
  uint32_t sense_returned;          // out: sense bytes the device returned (at most sense_len, 32)
} huld_scsi_cmd;

typedef int (*huld_scsi_execute_hook_fn)(huld_error *err, huld_dev *dev,
                                         const huld_scsi_cmd *before, const huld_scsi_cmd *after);
extern huld_scsi_execute_hook_fn huld_scsi_execute_hook;

// Runs the command on the device. 0, or 1 with err set (code 2, subcode the interface, for an
// interface that takes no SCSI commands and for every CSMI record, whose handle is its port's).
int huld_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
// INQUIRY (5 bytes) through huld_scsi_execute: 1 when it succeeds with GOOD status and data
// whose device type the system serves, else 0.
int huld_scsi_probe(huld_dev *dev);

// ---------------------------------------------------------------------------------------------
// Sense data: the sense key, ASC and ASCQ of a command's sense
// ---------------------------------------------------------------------------------------------

// The fields read from sense data.
typedef struct huld_scsi_sense {
  uint8_t descriptor;  // 1 descriptor format (key byte 1, ASC byte 2, ASCQ byte 3); 0 fixed
                       // format (key byte 2, ASC byte 12, ASCQ byte 13)
  uint8_t key;         // sense key (bits 3:0 of its byte)
  uint8_t asc;         // additional sense code
  uint8_t ascq;        // additional sense code qualifier
} huld_scsi_sense;

// What a caller changes in the plain reading of huld_scsi_sense_fields (OR them together).
enum huld_scsi_sense_rule {
  HULD_SCSI_SENSE_PLAIN = 0,
  // Read from the whole sense buffer, whatever the back end reported as returned (not every back
  // end reports it).
  HULD_SCSI_SENSE_WHOLE_BUFFER = 1 << 0,
  // Read every response code other than the fixed-format ones as descriptor format.
  HULD_SCSI_SENSE_OTHER_AS_DESCRIPTOR = 1 << 1,
  // Take descriptor format only with byte 0 exactly 72h or 73h (not with bit 7 set).
  HULD_SCSI_SENSE_DESCRIPTOR_BIT7_CLEAR = 1 << 2,
};

// Reads the sense key, ASC and ASCQ of cmd's sense data under the given rules. Plain reading: the
// response code is byte 0 with bit 7 (VALID) masked off; 70h and 71h are fixed format, 72h and
// 73h descriptor format, any other code carries no fields; and the bytes the back end returned
// (sense_returned) must reach the ASCQ: 14 for fixed, 4 for descriptor format. 1 with out filled
// when the fields were found; else 0 with out zeroed.
int huld_scsi_sense_fields(const huld_scsi_cmd *cmd, unsigned rules, huld_scsi_sense *out);

// ---------------------------------------------------------------------------------------------
// ATA PASS-THROUGH CDB fields. Opcode A1h is the 12-byte layout; anything else is read and
// written as the 16-byte layout (opcode 85h). Getters of a 12-byte CDB give 0 for the bytes it
// lacks; setters of the high bytes write only into a 16-byte CDB.
// ---------------------------------------------------------------------------------------------
#define HULD_SAT_ATA_PASS_THROUGH_12 0xA1
#define HULD_SAT_ATA_PASS_THROUGH_16 0x85

uint8_t huld_sat_get_multiple_count(const uint8_t *cdb);
void huld_sat_set_multiple_count(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_protocol(const uint8_t *cdb);
void huld_sat_set_protocol(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_extend(const uint8_t *cdb);
void huld_sat_set_extend(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_off_line(const uint8_t *cdb);
void huld_sat_set_off_line(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_ck_cond(const uint8_t *cdb);  // non-zero when set
void huld_sat_set_ck_cond(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_t_type(const uint8_t *cdb);
void huld_sat_set_t_type(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_t_dir(const uint8_t *cdb);
void huld_sat_set_t_dir(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_byte_block(const uint8_t *cdb);
void huld_sat_set_byte_block(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_t_length(const uint8_t *cdb);
void huld_sat_set_t_length(uint8_t *cdb, uint8_t value);
uint16_t huld_sat_get_features(const uint8_t *cdb);
void huld_sat_set_features(uint8_t *cdb, uint16_t value);
uint16_t huld_sat_get_count(const uint8_t *cdb);
void huld_sat_set_count(uint8_t *cdb, uint16_t value);
uint64_t huld_sat_get_lba(const uint8_t *cdb);
void huld_sat_set_lba(uint8_t *cdb, uint64_t value);
uint8_t huld_sat_get_device(const uint8_t *cdb);
void huld_sat_set_device(uint8_t *cdb, uint8_t value);
uint8_t huld_sat_get_command(const uint8_t *cdb);
void huld_sat_set_command(uint8_t *cdb, uint8_t value);

int huld_sat_is_ata_pass_through_12(const uint8_t *cdb);
int huld_sat_is_ata_pass_through_16(const uint8_t *cdb);
int huld_sat_is_ata_pass_through(const uint8_t *cdb);
// 1 when the sense data is in descriptor format with an ATA Status Return descriptor at byte 8.
int huld_sat_has_ata_status_return(const huld_scsi_cmd *cmd);

// The bytes of data an ATA PASS-THROUGH CDB announces, as a SCSI/ATA translation layer sizes the
// transfer: T_LENGTH 0 none; 1 the FEATURES and 2 the COUNT field (bits 7:0 only without
// EXTEND), in bytes (BYTE_BLOCK 0) or 512-byte blocks (BYTE_BLOCK 1, T_TYPE 0); 3 the transport's
// own length, transport_length. UINT64_MAX for logical sectors (T_TYPE 1), whose size the host
// does not know.
uint64_t huld_sat_transfer_length(const uint8_t *cdb, uint32_t transport_length);
// 0 when the CDB announces exactly the transfer the command's buffer makes (data_len with data
// in or out, none otherwise); else 1 with err set (code 1): such a command must not be sent, a
// translation layer would move another number of bytes (600 blocks in a 28-bit COUNT read as 88).
int huld_sat_check_transfer_length(huld_error *err, const huld_scsi_cmd *cmd);
// Zeroes out and fills it as an ATA PASS-THROUGH(16) carrying the ATA command.
void huld_scsi_fill_sat_cmd(huld_scsi_cmd *out, const huld_ata_cmd *in);
// Writes the ATA registers returned in the SCSI status and sense data into ata.
void huld_scsi_fill_ata_result_from_sat(const huld_scsi_cmd *scsi, huld_ata_cmd *ata);

// ---------------------------------------------------------------------------------------------
// USB-bridge NVMe exchange CDBs (16 bytes, sense length 32, the NVMe command's time-out)
// ---------------------------------------------------------------------------------------------
#define HULD_SNT_SQE_SIZE 64
#define HULD_SNT_CQE_SIZE 16

// Fills sqe (64 bytes) with the submission entry and scsi with the command-phase CDB.
void huld_scsi_fill_snt_command_phase_cmd(huld_scsi_cmd *scsi, uint8_t *sqe, const huld_nvme_cmd *cmd);
// Fills scsi with the data-phase CDB and a zeroed bridge buffer of data_len rounded up to 512
// (for data to the device: a copy of the data, then zeros). 0, or 1 when the buffer cannot be
// allocated (scsi then carries no buffer). Release the buffer with huld_scsi_snt_release.
int huld_scsi_fill_snt_data_phase_cmd(huld_scsi_cmd *scsi, const huld_nvme_cmd *cmd);
// Fills scsi with the completion-phase CDB; the 16 returned bytes land in cmd->cpl.
void huld_scsi_fill_snt_completion_phase_cmd(huld_scsi_cmd *scsi, huld_nvme_cmd *cmd);
// After a good data phase: for data from the device, copies the bytes the bridge moved
// (xfer_len, at most data_len) into cmd->data, then releases the bridge buffer. Returns the bytes
// copied (0 for other directions).
uint32_t huld_scsi_snt_result(huld_scsi_cmd *data_phase, huld_nvme_cmd *cmd);
// Zeroes and frees the bridge buffer of a data-phase command (nothing when it has none).
void huld_scsi_snt_release(huld_scsi_cmd *data_phase);
// The padded data-phase length of a command: data_len rounded up to a multiple of 512, or
// FFFFFFFFh when that does not fit in 32 bits.
uint32_t huld_scsi_snt_padded_length(const huld_nvme_cmd *cmd);

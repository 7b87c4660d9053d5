// ATA command records and their execute entry point. A builder of the command library fills a
// record, huld_ata_execute carries it to the device by the device's interface, and the back end
// writes the returned registers into the same record.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// An ATA command; field names follow the ATA and SAT registers.
typedef struct huld_ata_cmd {
  uint8_t protocol;   // SAT protocol: 3 non-data, 4 PIO data-in, 5 PIO data-out, 6 DMA (8, 9, 12)
  uint8_t is_ext;     // 1 for a 48-bit (EXT) command
  uint8_t t_length;   // SAT T_LENGTH: 0 no data, 2 length in COUNT
  uint32_t xfer_type; // 0 no data, 1 or 2 COUNT in 512-byte blocks, 3 COUNT in bytes
  uint16_t feature;   // FEATURE (15-8 used by EXT commands)
  uint16_t count;     // COUNT; written back
  uint64_t lba;       // 48-bit LBA; written back
  uint8_t device;     // DEVICE; written back
  uint8_t command;    // command code
  uint8_t status;     // out: STATUS; FFh when no registers could be read
  uint8_t error;      // out: ERROR (or the SCSI status when no registers could be read)
  void *data;         // the caller's buffer
  uint32_t data_len;  // buffer length in bytes
  uint32_t timeout_ms;
  uint32_t ddir;             // huld_ddir
  uint8_t check_condition;   // 1 asks for the registers back (SAT CK_COND)
} huld_ata_cmd;

// Completion hook: (err, dev, the command as the caller passed it, the command after execution).
// Null; the result is ignored.
typedef int (*huld_ata_execute_hook_fn)(huld_error *err, huld_dev *dev, const huld_ata_cmd *before,
                                        const huld_ata_cmd *after);
extern huld_ata_execute_hook_fn huld_ata_execute_hook;

// Runs the command on the device. 0, or 1 with err set (code 2, subcode the interface, for a
// device whose interface takes no ATA commands, and for a CSMI record with a SCSI/ATA
// translation interface, whose handle is its port's; code 1, nothing sent, for a command through
// SCSI/ATA translation whose length field cannot announce its transfer, huld_sat_check_transfer_length).
int huld_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
// IDENTIFY DEVICE through huld_ata_execute: 1 when it succeeds with ERROR 0, else 0.
int huld_ata_probe(huld_dev *dev);

// Fills the IDENTIFY DEVICE command that the ATA probes send: PIO data-in of one 512-byte block
// into `buffer`, with the probe time-out.
void huld_ata_fill_probe_identify(huld_ata_cmd *cmd, uint8_t buffer[512]);

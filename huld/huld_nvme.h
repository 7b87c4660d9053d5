// NVMe command records and their execute entry point, with the USB-bridge NVMe exchange that
// carries a command through three vendor SCSI commands.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

#define HULD_NVME_QUEUE_ADMIN 0u
#define HULD_NVME_QUEUE_IO 0xFFFFFFFFu

// An NVMe command.
typedef struct huld_nvme_cmd {
  uint32_t cdw0;   // opcode in bits 0-7; the builders leave the rest 0
  uint32_t nsid;
  uint32_t cdw10;
  uint32_t cdw11;
  uint32_t cdw12;
  uint32_t cdw13;
  uint32_t cdw14;
  uint32_t cdw15;
  uint32_t cpl[4];        // out: completion dwords 0-3; status code in dword 3 bits 24:17
  uint8_t reserved[16];   // zeroed by the builders, otherwise untouched
  void *data;             // the caller's buffer
  uint32_t data_len;      // buffer length in bytes
  uint32_t ddir;          // huld_ddir
  uint32_t timeout_ms;
  uint32_t queue;         // 0 admin, FFFFFFFFh NVM (I/O); tested for non-zero
} huld_nvme_cmd;

typedef int (*huld_nvme_execute_hook_fn)(huld_error *err, huld_dev *dev,
                                         const huld_nvme_cmd *before, const huld_nvme_cmd *after);
extern huld_nvme_execute_hook_fn huld_nvme_execute_hook;

// Runs the command on the device. 0, or 1 with err set (code 2, subcode the interface, for an
// interface that takes no NVMe commands, and for a CSMI record behind a USB bridge interface,
// whose handle is its port's).
int huld_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
// Entry check of every NVMe back end, made before anything is built or sent: 1 when the record
// gives a length without a buffer, or more than 16 MiB of data (no back end takes more, and the
// request sizes built from it must not wrap); else 0.
int huld_nvme_data_invalid(const huld_nvme_cmd *cmd);

// The 8-bit status code of the completion: bits 24:17 of cpl[3].
uint8_t huld_nvme_get_status(const huld_nvme_cmd *cmd);

// Writes the command's dwords into a 64-byte NVMe submission queue entry (CDW0 at 0, NSID at 4,
// CDW10 to CDW15 at 40 to 60); the other bytes are left as they are.
void huld_nvme_put_submission_entry(uint8_t *sqe, const huld_nvme_cmd *cmd);

// ---------------------------------------------------------------------------------------------
// USB-bridge exchange (command, data and completion phase as vendor SCSI commands)
// ---------------------------------------------------------------------------------------------
struct huld_scsi_cmd;

// Runs one SCSI command of the exchange (the SCSI back end in the product).
typedef int (*huld_nvme_snt_scsi_executor)(huld_error *err, huld_dev *dev, struct huld_scsi_cmd *scsi);

// The whole exchange through the given SCSI executor; huld_nvme_execute runs it with the SCSI
// back end for a USB-bridge device. Allocates the bridge buffer first (failure: code 1, nothing
// sent), stops at the first phase that fails or returns a bad status, frees the buffer on every
// path. Data from the device is handed back only as far as the bridge moved it; fewer bytes than
// data_len with a successful NVMe completion is code 1, subcode the bytes that came back.
int huld_nvme_snt_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd,
                          huld_nvme_snt_scsi_executor executor);
// Judges one phase after its SCSI command ran with result `result`. phase is "command phase",
// "data phase" or "completion phase". 0 when the call succeeded with GOOD status and at least
// min_xfer_len bytes came back (the completion phase needs its 16; the others pass 0); else 1
// with err set: the call's own error; CHECK CONDITION: code 1 "<phase>: SCSI Error: ..."; another
// status: code 6, subcode the status; fewer bytes: code 1 "incomplete <phase>".
int huld_nvme_snt_check_phase(huld_error *err, const char *phase, int result,
                              const struct huld_scsi_cmd *scsi, uint32_t min_xfer_len);

// The vendor-unique command protocol. The host puts the drive into its vendor-unique mode
// (enable), sends a 512-byte key sector naming an action, reads back a phase status giving the
// outcome and the size of the answer, moves the answer in 512-byte blocks (at most 128 a
// command) and leaves the mode (disable). Three transports carry it: ATA at implementation level
// 4, ATA at level 5, and SCSI (handled as level 5). A context record chooses its transport once,
// at initialisation, and the operations reach the drive only through its table.
//
// Operations return 0, or 1 with the error record filled. Log lines at level 30. No state of
// its own, no lock: one context per operation, on the caller's stack.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// The key sector: 16-bit little-endian words; word 0 the action code, word 1 the function code,
// then parameters.
typedef uint8_t vornvuc_xr_vsc_key[512];

// The phase status at the start of the status area, little-endian. Version 0100h carries the
// general error codes and the answer's block count; version 0200h carries the answer's size in
// bytes at byte 2 instead. Any other version is refused.
#pragma pack(push, 1)
typedef struct vornvuc_xr_phase_status {
  uint16_t version;
  uint32_t principal_gec;     // 0200h: answer size in bytes
  uint32_t supplemental_gec;
  uint32_t block_count;
} vornvuc_xr_phase_status;
#pragma pack(pop)
static_assert(sizeof(vornvuc_xr_phase_status) == 14, "phase status layout");

#define VORNVUC_XR_PHASE_STATUS_V1 0x0100u
#define VORNVUC_XR_PHASE_STATUS_V2 0x0200u
// Blocks per transfer command.
#define VORNVUC_XR_MAX_BLOCKS 128u
// Largest answer a data-in command accepts, in blocks.
#define VORNVUC_XR_MAX_ANSWER_BLOCKS 65535u
// Shortest VSC-ID answer that holds every field of the record.
#define VORNVUC_XR_VSCID_MIN_BYTES 368u

typedef struct vornvuc_xr_vsc_cmd vornvuc_xr_vsc_cmd;
// A transport operation: 0, or 1 with the context's error record filled.
typedef int (*vornvuc_xr_vsc_op)(vornvuc_xr_vsc_cmd *cmd);

// The context of one use of the protocol, owned by the caller.
struct vornvuc_xr_vsc_cmd {
  huld_error *error;        // where the transport records failures
  huld_dev *device;
  uint16_t level;           // 4 or 5 (SCSI: 5)
  vornvuc_xr_vsc_key key;
  uint8_t status[1024];     // phase status (ATA reads 512 bytes, SCSI 1024)
  uint8_t *data;            // buffer of the current transfer
  uint32_t data_length;     // its length in bytes
  uint32_t max_blocks;      // blocks per transfer command
  uint32_t block_count;     // blocks of the answer, or of the current chunk
  uint32_t scsi_offset;     // buffer offset of READ BUFFER / WRITE BUFFER: 0
  uint32_t principal_gec;   // of the last decoded phase status
  uint32_t supplemental_gec;
  // The transport.
  vornvuc_xr_vsc_op enable;
  vornvuc_xr_vsc_op disable;
  vornvuc_xr_vsc_op send_key;       // the key, then the phase status (block_count)
  vornvuc_xr_vsc_op read_status;
  vornvuc_xr_vsc_op data_in;        // block_count blocks into data
  vornvuc_xr_vsc_op data_out;       // block_count blocks from data
  vornvuc_xr_vsc_op read_key_page;  // into data
};

// Zeroes the context and fills error, device, level, max_blocks 128 and the transport table:
// an ATA device at level 4 or 5, else a SCSI device (level 5); any other device or level fails
// with code 2 "device is not supported".
int vornvuc_xr_vsc_initialize_cmd(huld_error *err, huld_dev *dev, uint16_t level,
                                  vornvuc_xr_vsc_cmd *cmd);

// Reads the VSC-ID record (key 13/1) of an ATA drive at level 4 into buffer: the buffer is zeroed,
// then receives min(size, answer length) bytes. Refused before any vendor-unique command: a
// device that is not ATA (code 2 "not supported on this interface"), a level above 4 (code 2,
// subcode the level). An answer below 368 bytes fails (code 1). The mode is always left again.
int vornvuc_xr_vsc_execute_vsc_id(huld_error *err, huld_dev *dev, void *buffer, uint32_t size);

// Sends the key already written in the context, allocates the answer (block_count x 512 bytes;
// above 65,535 blocks code 1 "answer too large", nothing allocated) and reads it in chunks into
// the context's data buffer, which the caller frees with the cleanup. A failed chunk frees it.
int vornvuc_xr_vsc_execute_data_in_command(vornvuc_xr_vsc_cmd *cmd);
// Frees the context's data buffer (if any) and sets its length to 0.
void vornvuc_xr_vsc_cleanup_data_in_command(vornvuc_xr_vsc_cmd *cmd);
// Sends the key, then the number of blocks the phase status asked for from the context's data
// buffer, in chunks; refused (code 1) when the buffer is shorter than that.
int vornvuc_xr_vsc_execute_data_out_command(vornvuc_xr_vsc_cmd *cmd);

// Key 8/1/file id, then a data-in command; the answer stays in the context.
int vornvuc_xr_vsc4_execute_read_overlay(vornvuc_xr_vsc_cmd *cmd, uint16_t file_id);
// Key 159/8 (words 0 and 1 only), data-in; level = the word at answer byte 4.
int vornvuc_xr_vsc_execute_get_security_level(vornvuc_xr_vsc_cmd *cmd, uint16_t *level);
// *supported 1 when the drive's secure-drive flags (AND 6000h) are set.
int vornvuc_xr_vsc_execute_is_secure_drive(vornvuc_xr_vsc_cmd *cmd, uint8_t *supported);
// Enable, the support test, the security level when supported (2 or 4: *locked 1), disable.
int vornvuc_xr_vsc_execute_is_secure_drive_locked(vornvuc_xr_vsc_cmd *cmd, uint8_t *locked);

// Saves the drive's diagnostic super binary over the SCT logs E0h/E1h to the end of the file.
// mode 0 default, 1 short. progress (may be null) goes from 0 to 1.0.
int vornvuc_xr_ata_save_super_binary(huld_error *err, huld_dev *dev, const char *path,
                                     uint8_t mode, double *progress);
// Saves the super binary collected over vendor-unique keys, behind a 512-byte header, to the end
// of the file, on an initialised context. progress (may be null) ends at 1.0, or 0.0 when the
// file could not be written.
int vornvuc_xr_scsi_save_super_binary(vornvuc_xr_vsc_cmd *cmd, const char *path,
                                      double *progress);

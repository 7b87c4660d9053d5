// Intel RST firmware requests ("IntelFw "): the download and activation requests that carry
// firmware to an NVMe or SATA drive behind the Intel RST driver, and the firmware information
// request that reads a drive's active slot. Each request is one heap buffer, input and output of
// one IOCTL_SCSI_MINIPORT on the controller's "\\.\ScsiN:" port, addressed to the drive by its
// PathId, TargetId and Lun.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "platform/win32.h"

#define INTEL_FW_SIGNATURE "IntelFw "
#define INTEL_FW_CONTROL_CODE 0xF0000040u
// Firmware request Function values.
#define INTEL_FW_FUNCTION_GET_INFO 1u
#define INTEL_FW_FUNCTION_DOWNLOAD 2u
#define INTEL_FW_FUNCTION_ACTIVATE 3u
// Flags: the request is for the controller (NVMe road); the ATA road sends 0.
#define INTEL_FW_FLAG_CONTROLLER 1u
// ReturnCode of an activation whose firmware runs after the next power cycle.
#define INTEL_FW_RETURN_POWER_CYCLE_REQUIRED 0x20u

#define INTEL_FW_ACTIVATE_SIZE 68u
#define INTEL_FW_DOWNLOAD_IMAGE_OFFSET 88u
#define INTEL_FW_GET_INFO_SIZE 848u
// Largest image piece a download request carries.
#define INTEL_FW_MAX_PIECE (16u * 1024u * 1024u)

// Builds a zeroed activation request of slot (68 bytes) in *request and its size in *size; the
// caller frees it with std::free. When no memory can be had, *request is null and *size 0.
void intel_fw_fill_activate(const SCSI_ADDRESS *address, uint8_t **request, uint32_t *size, uint32_t timeout_s,
                            uint32_t flags, uint8_t slot);
// Builds a zeroed download request carrying a copy of length bytes of image for the byte offset
// (length + 88 bytes). *request is null and *size 0 when no memory can be had, when length is above
// INTEL_FW_MAX_PIECE, or when image is null with a length.
void intel_fw_fill_download(const SCSI_ADDRESS *address, uint8_t **request, uint32_t *size, uint32_t timeout_s,
                            uint32_t flags, const void *image, uint32_t length, uint64_t offset);
// Sends a built request on the port, the buffer used in both directions. true when the call
// succeeded and its answer reaches past ReturnCode; *error holds the system error
// (ERROR_INVALID_DATA for a shorter answer, ERROR_SUCCESS on success).
bool intel_fw_send(HANDLE port, uint8_t *request, uint32_t size, DWORD *error);
// ReturnCode the driver left in a sent request.
uint32_t intel_fw_return_code(const uint8_t *request);
// Logs the SRB_IO_CONTROL header of a request at level 40 under the title.
void intel_fw_log_header(const char *title, const uint8_t *request);

// Reads the drive's active firmware slot through the port. 0 with *slot stored, or 1 with err set
// (code 1: no memory, the call failed, a ReturnCode other than 0, or no slot reported; code 4 with
// ERROR_INVALID_DATA: the answer stops before the active slot).
int intel_fw_get_active_slot(huld_error *err, HANDLE port, const SCSI_ADDRESS *address, uint32_t *slot);

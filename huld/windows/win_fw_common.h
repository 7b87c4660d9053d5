// Windows firmware requests shared by the back ends: the storage firmware requests
// (IOCTL_STORAGE_FIRMWARE_GET_INFO / _DOWNLOAD / _ACTIVATE) and the "FIRMWARE" miniport request
// (IOCTL_SCSI_MINIPORT with IOCTL_SCSI_MINIPORT_FIRMWARE) that carries firmware to an NVMe drive
// on the in-box driver.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "platform/win32.h"

// Largest data piece any back end request carries.
#define WIN_FW_MAX_DATA_LENGTH (16u * 1024u * 1024u)

// ---------------------------------------------------------------------------------------------
// Storage firmware requests
// ---------------------------------------------------------------------------------------------

// Reads the active firmware slot with IOCTL_STORAGE_FIRMWARE_GET_INFO on the handle. 0 with
// *slot stored, or 1 with err set (the call failed, or fewer than 11 bytes came back); *slot is
// then not written. A driver that finds the answer buffer too small for its slots is asked once
// more with room for 255 slots.
int win_fw_get_active_slot(huld_error *err, HANDLE handle, uint32_t *slot);

// Fills a zeroed activation record (input of IOCTL_STORAGE_FIRMWARE_ACTIVATE).
void win_fw_fill_activate(STORAGE_HW_FIRMWARE_ACTIVATE *activate, uint32_t flags, uint8_t slot);

// Makes a zeroed heap download record of length + 40 bytes carrying a copy of the piece (input
// of IOCTL_STORAGE_FIRMWARE_DOWNLOAD); the caller frees it with std::free after sending it. On a
// failed allocation, a piece above WIN_FW_MAX_DATA_LENGTH or a null piece with a length, *download
// is null and *size 0: the caller records the failure.
void win_fw_fill_download(STORAGE_HW_FIRMWARE_DOWNLOAD **download, uint32_t *size, const void *data,
                          uint32_t length, uint32_t offset, uint32_t flags, uint8_t slot);

// ---------------------------------------------------------------------------------------------
// "FIRMWARE" miniport request: SRB_IO_CONTROL (28 bytes), FIRMWARE_REQUEST_BLOCK at 28, the
// firmware structure at 56 (STORAGE_FIRMWARE_ACTIVATE, or STORAGE_FIRMWARE_DOWNLOAD with the
// piece at 80). One buffer is input and output of one DeviceIoControl.
// ---------------------------------------------------------------------------------------------
#define WIN_FW_MINIPORT_DATA_OFFSET 56u
#define WIN_FW_MINIPORT_ACTIVATE_SIZE 68u
#define WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET 80u

// Zeroed heap request for an activation of slot; null when it cannot be had.
uint8_t *win_fw_miniport_build_activate(uint32_t timeout_s, uint8_t slot, uint32_t *size);
// Zeroed heap request for a download of length bytes of data at byte offset; null when it
// cannot be had (length is checked by the callers).
uint8_t *win_fw_miniport_build_download(uint32_t timeout_s, uint64_t offset, const void *data,
                                        uint32_t length, uint32_t *size);
// Logs the header, request-block and firmware-structure fields at level 40 and dumps the
// request (at most 4096 bytes).
void win_fw_miniport_log(const uint8_t *request, uint32_t size);
// Function of a built request (FIRMWARE_FUNCTION_DOWNLOAD or FIRMWARE_FUNCTION_ACTIVATE).
uint32_t win_fw_miniport_function(const uint8_t *request);
// ReturnCode the driver left in the SRB_IO_CONTROL header.
uint32_t win_fw_miniport_return_code(const uint8_t *request);
// 1 when the driver accepted the request: a download needs FIRMWARE_STATUS_SUCCESS, an
// activation FIRMWARE_STATUS_SUCCESS or FIRMWARE_STATUS_POWER_CYCLE_REQUIRED (the new firmware
// runs after the next reset).
int win_fw_miniport_accepted(const uint8_t *request);
// Logs a built request, sends it on the device's handle and frees it. 0 when the driver took it;
// 1 with err set, recorded at the caller's place (module, function, line), otherwise: code 4 with
// the system error for a failed call (ERROR_INVALID_DATA for an answer that stops before
// ReturnCode), code 4 with the return code for a refused download or activation.
int win_fw_miniport_send(huld_error *err, huld_dev *dev, uint8_t *request, uint32_t size,
                         const char *module, const char *function, uint32_t line);

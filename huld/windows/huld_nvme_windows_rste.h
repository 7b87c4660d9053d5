// NVMe through the Intel RSTe driver: every command as one "NvmeRAID" miniport pass-through
// request on the RSTe controller's SCSI port, addressed by the drive's RSTe disk id.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

// Runs the command on conn.handle (the "\\.\ScsiN:" port). 0, or 1 with err set. The completion
// goes to cpl; data come back only for a command from the device.
int huld_nvme_windows_rste_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
// Builds the zeroed "NvmeRAID" request for the command and disk id into *request (the caller
// frees it with std::free) and its size into *size; a null request and size 0 when it cannot be
// built (allocation failure, or data of more than 16 MiB).
void xlate_huld_nvme_cmd_to_rste_cmd(const huld_nvme_cmd *cmd, uint32_t rste_disk_id, uint8_t **request,
                                     uint32_t *size);

// SCSI back end: SCSI pass-through (and, for an NVMe drive on the in-box driver under Windows
// 8.1, firmware WRITE BUFFER as the "FIRMWARE" miniport request) and its probes.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_scsi.h"

// Runs the CDB on conn.handle and writes scsi_status, sense, xfer_len and the data back. 0 when
// the driver call succeeded, whatever the SCSI status (judging it is the caller's task); 1 with
// err set otherwise: code 1 for an invalid command (CDB length 0 or above 16, data above 16 MiB,
// a length without a buffer, no memory), code 4 for a failed call or a firmware request the
// driver rejected.
int huld_scsi_windows_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
// INQUIRY: 1 when the call succeeds.
int huld_scsi_windows_probe(huld_dev *dev);
// IDENTIFY DEVICE in ATA PASS-THROUGH(16): 1 when the call succeeds with GOOD status.
int huld_scsi_windows_probe_sat(huld_dev *dev);
// NVMe Identify Controller through the USB bridge's vendor CDB E6h: 1 for GOOD status, or for a
// "becoming ready" answer that the one resend answers with GOOD or "becoming ready" again.
int huld_scsi_windows_asmedia_probe_nvme(huld_dev *dev);

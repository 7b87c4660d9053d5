// NVMe through the Windows in-box driver. The driver offers no single pass-through, so each
// command goes by its opcode and queue to one of five requests: SCSI translation, the
// "FIRMWARE" miniport request (Firmware Commit, Firmware Image Download), the temperature
// threshold, the protocol-specific property query (Identify, Get Log Page, Get Features) or the
// protocol command (everything else).
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

// Runs the command on conn.handle and writes cpl and the data back as the route provides. 0, or
// 1 with err set. A device-reported NVMe error stays in cpl for the caller to judge, except on
// the protocol command, whose driver reports it as ReturnStatus (code 4).
int huld_nvme_windows_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
// Identify Controller through huld_nvme_windows_execute: 1 when it succeeds with data that is
// not all zero.
int huld_nvme_windows_probe(huld_dev *dev);
// Identify Controller (4096 bytes, the probe time-out) through `execute`: 1 when the drive answers
// with data that are not all zero, else 0. `road` names the road in the debug log ("nvme windows").
int huld_nvme_windows_identify_probe(huld_dev *dev, int (*execute)(huld_error *, huld_dev *, huld_nvme_cmd *),
                                     const char *road);

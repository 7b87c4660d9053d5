// SCSI back end: SCSI pass-through and its probes.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_scsi.h"

int huld_scsi_windows_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
int huld_scsi_windows_probe(huld_dev *dev);
int huld_scsi_windows_probe_sat(huld_dev *dev);
int huld_scsi_windows_asmedia_probe_nvme(huld_dev *dev);

// ATA back end: ATA pass-through, the firmware roads, and CSMI STP pass-through.
#pragma once

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_log.h"

int huld_ata_windows_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_ata_windows_probe(huld_dev *dev);

int execute_stp_passthru(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_ata_windows_csmi_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_ata_windows_probe_csmi(huld_dev *dev);

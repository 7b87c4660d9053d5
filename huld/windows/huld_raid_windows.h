// Back ends of the Adaptec, MegaRAID and AMD RAID devices. None of these controllers is served:
// their execute entries refuse every command with code 2 (HULD_ERROR_NOT_SUPPORTED), subcode the
// interface, "interface is not supported"; their probes answer no, their enumerations add
// nothing and their cleanups return 0.
#pragma once

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"

int huld_adaptec_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_adaptec_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
int huld_adaptec_probe(huld_dev *dev);
int huld_adaptec_cleanup(huld_dev *dev);
void huld_adaptec_enumerate(huld_dev_enumeration *enumeration);

int huld_megaraid_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_megaraid_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
int huld_megaraid_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
int huld_megaraid_probe(huld_dev *dev);
int huld_megaraid_cleanup(huld_dev *dev);
void huld_megaraid_enumerate(huld_dev_enumeration *enumeration);

int huld_amd_raid_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_amd_raid_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
int huld_amd_raid_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd);
void huld_amd_raid_enumerate(huld_dev_enumeration *enumeration);

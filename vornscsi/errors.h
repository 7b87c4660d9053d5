// Judgement of a SCSI command's status and sense data, including the ATA registers that a
// SCSI/ATA translation layer returns for an ATA PASS-THROUGH command with CK_COND.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"
#include "huld/huld_scsi.h"

// 1 when the CDB is ATA PASS-THROUGH (12 or 16) with CK_COND set.
int vornscsi_is_ata_pass_through_ck_cond(const uint8_t *cdb);

// GOOD: 0, record cleared. Another status than CHECK CONDITION: code HULD_ERROR_DEVICE with the
// status as subcode. CHECK CONDITION of an ATA PASS-THROUGH with CK_COND: the ATA registers are
// judged (ERR set: HULD_ERROR_DEVICE, subcode status << 8 | error; else success). Any other CHECK
// CONDITION: code HULD_ERROR_FAILURE with the sense key, ASC and ASCQ in the message.
int vornscsi_check_error(huld_error *err, const huld_scsi_cmd *cmd);

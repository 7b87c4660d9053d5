// Judgement of the ATA registers a command returned.
#pragma once

#include <cstdint>

#include "huld/huld_ata.h"
#include "huld/huld_log.h"

// 1 with code HULD_ERROR_DEVICE, subcode status << 8 | error when STATUS bit 0 (ERR) is set;
// else 0 with the record cleared. No other status bit is judged.
int vornata_check_error(huld_error *err, const huld_ata_cmd *cmd);

// 1 with code HULD_ERROR_DEVICE, subcode 2CF4h when SMART RETURN STATUS reported a threshold
// exceeded condition (2CF4h); else 0 with the record cleared.
int vornata_check_smart_return_status(huld_error *err, uint16_t value);

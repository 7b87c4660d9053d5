// Judgement of NVMe completions and the names of NVMe status values.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

// 0 (record cleared) when the completion's SCT and SC are both 0; else 1 with code
// HULD_ERROR_DEVICE, subcode SCT << 8 | SC. The phase tag, CRD, More and DNR bits are ignored.
int vornnvme_check_error(huld_error *err, const huld_nvme_cmd *cmd);

// The name of a status (SCT << 8 | SC); a constant string.
const char *vornnvme_status_to_string(uint16_t status);

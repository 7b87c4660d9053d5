// A device's identity whatever its interface: the model and the serial number of an ATA, NVMe
// or SCSI device, read from its identify data.
//
// Both take the caller's error record first and return 0 (record cleared) or 1 (record filled).
// The output is a NUL-terminated string of at most size - 1 characters, trimmed of leading blanks
// and trailing white space; the whole output is zeroed first, so a failure leaves it empty. A
// size of 0 is refused with code 1 and nothing written. A device of no ATA, NVMe or SCSI class
// fails with code 2 "unsupported device interface\n".
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// NVMe: Identify Controller MN; ATA: IDENTIFY DEVICE words 27-46; SCSI: INQUIRY product id.
int vornbasics_get_model(huld_error *err, huld_dev *dev, char *out, uint32_t size);
// NVMe: Identify Controller SN; ATA: IDENTIFY DEVICE words 10-19; SCSI: VPD page 80h.
int vornbasics_get_serial(huld_error *err, huld_dev *dev, char *out, uint32_t size);

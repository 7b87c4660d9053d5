// The Dedi component id: an 8-character identifier that Dedi-customised drives carry in a
// vendor-specific area of their identify data (NVMe Identify Controller bytes 3126-3133, ATA
// IDENTIFY DEVICE words 137-140 as ATA string words). SCSI devices carry none.
//
// Every function takes the caller's error record first and returns 0 (record cleared) or 1
// (record filled). The output is zeroed first; at most min(size - 1, 8) characters are copied
// and trimmed, so an all-blank area gives an empty id with success. A size of 0 is refused with
// code 1 and nothing written.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// NVMe devices through Identify Controller, ATA devices through IDENTIFY DEVICE; any other
// device: code 1 "device is not supported".
int vorndedi_get_component_id(huld_error *err, huld_dev *dev, char *out, uint32_t size);
int vorndedi_get_component_id_nvme(huld_error *err, huld_dev *dev, char *out, uint32_t size);
int vorndedi_get_component_id_ata(huld_error *err, huld_dev *dev, char *out, uint32_t size);

// Parsers over identify data of `length` bytes: NVMe needs 3134 bytes, ATA 282.
int vorndedi_parse_component_id_nvme(huld_error *err, char *out, uint32_t size, const void *data,
                                     uint32_t length);
int vorndedi_parse_component_id_ata(huld_error *err, char *out, uint32_t size, const void *data,
                                    uint32_t length);

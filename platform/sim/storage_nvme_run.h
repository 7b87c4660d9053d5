// Running one NVMe command for a pass-through front-end (the maker's driver, RST, RSTe, the USB
// bridge) under the request's fault actions ("nvme_status", "completion_dw0", "short_transfer",
// "zero_data"), with the trace notes every front-end writes.
#pragma once
#ifndef _WIN32

#include <algorithm>
#include <cstring>

#include "sim/storage/driver.h"

namespace sim {

inline NvmeCompletion run_nvme_for(StorageRequest &r, NvmeController &ctl, const NvmeCommand &cmd, bool admin,
                                   uint8_t *data, uint32_t data_len) {
  NvmeCompletion c;
  if (const FaultAction *a = r.action("nvme_status")) {
    c = nvme_status(static_cast<uint16_t>(a->value), static_cast<uint32_t>(a->value2));
  } else {
    c = admin ? ctl.admin(cmd, data, data_len) : ctl.io(cmd, data, data_len);
  }
  if (const FaultAction *a = r.action("completion_dw0")) c.dw0 = static_cast<uint32_t>(a->value);
  if (const FaultAction *a = r.action("short_transfer"))
    c.data_transferred = std::min<uint32_t>(c.data_transferred, static_cast<uint32_t>(a->value));
  if (r.action("zero_data") && data) std::memset(data, 0, data_len);
  r.note_nvme(cmd);
  r.note("nvme_status", fault_key(c.status()));
  return c;
}

// The NVMe-aware INQUIRY a bridge or RAID driver answers for its units: the drive's own SCSI
// face, or the translation of an NVMe drive; nothing but INQUIRY (and its VPD pages).
ScsiResult inquiry_only(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                        uint32_t data_len, int ddir);

}  // namespace sim

#endif  // _WIN32

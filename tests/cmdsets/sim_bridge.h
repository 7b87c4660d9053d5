// Runs the command records the builders fill on the simulated drives, the way a back end would
// carry them: the returned registers, completion dwords or status and sense land in the record.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "huld/huld_ata.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/sat_device.h"
#include "sim/drives/scsi_target.h"

namespace cmdsets_test {

inline huld_error fresh_error() {
  huld_error e;
  std::memset(&e, 0, sizeof(e));
  return e;
}

// Runs a parser that must succeed and returns what it wrote to `out`.
template <typename T, typename Parse, typename... Args>
T got(huld_error &err, T &out, Parse parse, Args... args) {
  EXPECT_EQ(0, parse(&err, &out, args...)) << err.message;
  return out;
}
template <typename Parse, typename... Args>
const char *got_str(huld_error &err, char *out, Parse parse, Args... args) {
  EXPECT_EQ(0, parse(&err, out, args...)) << err.message;
  return out;
}

// A call that must fail (return 1): the error code it recorded.
inline uint32_t failed_with(const huld_error &err, int rc) {
  EXPECT_EQ(1, rc);
  return err.code;
}

inline void run_on(sim::NvmeController &controller, huld_nvme_cmd *cmd) {
  sim::NvmeCommand n{.cdw0 = cmd->cdw0, .nsid = cmd->nsid, .cdw10 = cmd->cdw10, .cdw11 = cmd->cdw11,
      .cdw12 = cmd->cdw12, .cdw13 = cmd->cdw13, .cdw14 = cmd->cdw14, .cdw15 = cmd->cdw15};
  uint8_t *data = static_cast<uint8_t *>(cmd->data);
  sim::NvmeCompletion c = cmd->queue != 0 ? controller.io(n, data, cmd->data_len)
                                          : controller.admin(n, data, cmd->data_len);
  cmd->cpl[0] = c.dw0;
  cmd->cpl[1] = c.dw1;
  cmd->cpl[2] = c.dw2;
  cmd->cpl[3] = c.dw3;
}

inline void run_on(sim::AtaDrive &drive, huld_ata_cmd *cmd) {
  sim::AtaTaskfile tf{.feature = cmd->feature, .count = cmd->count, .lba = cmd->lba, .device = cmd->device,
      .command = cmd->command, .is_ext = cmd->is_ext != 0, .ddir = static_cast<int>(cmd->ddir)};
  sim::AtaResult r = drive.execute(tf, static_cast<uint8_t *>(cmd->data), cmd->data_len);
  cmd->status = r.status;
  cmd->error = r.error;
  cmd->count = r.count;
  cmd->lba = r.lba;
  cmd->device = r.device;
}

template <typename Target>
void run_on(Target &target, huld_scsi_cmd *cmd) {
  sim::ScsiResult r = target.execute(cmd->cdb, cmd->cdb_len, static_cast<uint8_t *>(cmd->data),
                                     cmd->data_len, static_cast<int>(cmd->ddir));
  cmd->scsi_status = r.status;
  std::memset(cmd->sense, 0, sizeof(cmd->sense));
  std::memcpy(cmd->sense, r.sense, r.sense_len < sizeof(cmd->sense) ? r.sense_len : sizeof(cmd->sense));
  cmd->xfer_len = r.data_transferred;
}

// A device record whose interface no entry point serves: every execute fails with code 2.
inline huld_dev unserved_device() {
  huld_dev dev;
  std::memset(&dev, 0, sizeof(dev));
  std::strcpy(dev.name, "unprobed0");
  dev.iface = 0;
  return dev;
}

}  // namespace cmdsets_test

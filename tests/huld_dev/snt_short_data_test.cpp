// USB-bridge NVMe exchange whose data phase moves fewer bytes than the command asked for: only
// the moved bytes reach the caller, and a short answer with a successful completion is a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"

namespace {

// A bridge whose data phase fills `moved` bytes with A5h and whose completion carries `dw3`.
uint32_t g_moved = 0;
uint32_t g_dw3 = 0;

int short_bridge(huld_error *, huld_dev *, huld_scsi_cmd *scsi) {
  scsi->scsi_status = 0;
  scsi->xfer_len = 0;
  if (scsi->cdb[2] == 0x81) {
    memset(scsi->data, 0xA5, g_moved);
    scsi->xfer_len = g_moved;
  } else if (scsi->cdb[2] == 0x82) {
    const uint32_t cqe[4] = {0, 0, 0, g_dw3};
    memcpy(scsi->data, cqe, sizeof(cqe));
    scsi->xfer_len = 16;
  }
  return 0;
}

int identify(std::vector<uint8_t> &buffer, huld_error *err) {
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0x06;
  cmd.cdw10 = 1;
  cmd.data = buffer.data();
  cmd.data_len = static_cast<uint32_t>(buffer.size());
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  huld_dev dev{};
  dev.iface = WINDOWS_SCSI_ASMEDIA_NVME;
  return huld_nvme_snt_execute(err, &dev, &cmd, short_bridge);
}

TEST(SntShortData, OnlyMovedBytesArriveAndAShortAnswerFails) {
  std::vector<uint8_t> buffer(4096, 0xEE);
  huld_error err{};
  g_moved = 512;
  g_dw3 = 0;
  EXPECT_EQ(identify(buffer, &err), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_EQ(err.subcode, 512u);
  EXPECT_EQ(buffer[511], 0xA5);
  EXPECT_EQ(buffer[512], 0xEE) << "no zeroes handed over as data";

  // An NVMe error explains the missing data: the completion is the command set's to judge.
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  g_moved = 0;
  g_dw3 = 0x0002u << 17;  // SCT 0, SC 02h
  EXPECT_EQ(identify(buffer, &err), 0) << err.message;
  EXPECT_EQ(buffer[0], 0xEE);

  g_moved = 4096;
  g_dw3 = 0;
  EXPECT_EQ(identify(buffer, &err), 0) << err.message;
  EXPECT_EQ(buffer[4095], 0xA5);
}

}  // namespace

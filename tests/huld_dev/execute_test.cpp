// Execute entry points: every dispatch row, the completion hooks, the generic probes and the NVMe
// status field. Which back end a command reached is told by the completion hook and by the error
// record: the records here have no open handle, so every back end that ran fails.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "huld/huld_ata.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"

namespace {

const char kBackEndMissing[] = "back end is not available";

// The recorded function for each interface that has a path; every other value is refused by
// the entry point itself.
const std::map<uint32_t, const char *> kAtaRows = {
    {10, "huld_scsi_windows_execute"},
    {13, "huld_ata_windows_execute"},
    {15, "huld_adaptec_ata_execute"},
    {17, "huld_megaraid_ata_execute"},
    {28, "huld_amd_raid_ata_execute"},
};
const std::map<uint32_t, const char *> kNvmeRows = {
    {5, "huld_nvme_windows_execute"},
    {6, "huld_nvme_windows_rst_execute"},
    {7, "huld_nvme_windows_rste_execute"},
    {8, "huld_nvme_windows_xr_execute"},
    {12, "huld_scsi_windows_execute"},
    {18, "huld_megaraid_nvme_execute"},
    {19, "huld_nvme_marvell_nevox_execute"},
    {29, "huld_amd_raid_nvme_execute"},
};
const std::map<uint32_t, const char *> kScsiRows = {
    {5, "huld_scsi_windows_execute"},  {6, "huld_scsi_windows_execute"},
    {9, "huld_scsi_windows_execute"},  {10, "huld_scsi_windows_execute"},
    {12, "huld_scsi_windows_execute"}, {13, "huld_scsi_windows_execute"},
    {14, "huld_adaptec_scsi_execute"}, {16, "huld_megaraid_scsi_execute"},
    {30, "huld_amd_raid_scsi_execute"},
};

bool is_empty_back_end(const char *function) {
  return strstr(function, "adaptec") || strstr(function, "megaraid") || strstr(function, "amd_raid");
}

int g_hook_calls = 0;
huld_ata_cmd g_ata_before, g_ata_after;

int ata_hook(huld_error *, huld_dev *, const huld_ata_cmd *before, const huld_ata_cmd *after) {
  ++g_hook_calls;
  g_ata_before = *before;
  g_ata_after = *after;
  return 1;
}
int nvme_hook(huld_error *, huld_dev *, const huld_nvme_cmd *, const huld_nvme_cmd *) {
  ++g_hook_calls;
  return 1;
}
int scsi_hook(huld_error *, huld_dev *, const huld_scsi_cmd *, const huld_scsi_cmd *) {
  ++g_hook_calls;
  return 1;
}

class Execute : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hook_calls = 0;
    huld_ata_execute_hook = ata_hook;
    huld_nvme_execute_hook = nvme_hook;
    huld_scsi_execute_hook = scsi_hook;
  }
  void TearDown() override {
    huld_ata_execute_hook = nullptr;
    huld_nvme_execute_hook = nullptr;
    huld_scsi_execute_hook = nullptr;
  }

  // Runs `execute` on a record of every interface value and checks where it ended.
  template <class Cmd, class Fn>
  void check_rows(Fn execute, const std::map<uint32_t, const char *> &rows, const char *entry,
                  const char *file, const char *unsupported) {
    for (uint32_t iface = 0; iface <= 32; ++iface) {
      SCOPED_TRACE(std::string(entry) + " iface " + std::to_string(iface));
      huld_dev dev{};
      dev.iface = iface;
      dev.conn.handle = INVALID_HANDLE_VALUE;
      strcpy(dev.name, "disk4");
      Cmd cmd{};
      huld_error err{};
      g_hook_calls = 0;
      EXPECT_EQ(execute(&err, &dev, &cmd), 1);
      auto row = rows.find(iface);
      if (row == rows.end()) {
        EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
        EXPECT_EQ(err.subcode, iface);
        EXPECT_STREQ(err.function, entry);
        EXPECT_STREQ(err.file, file);
        EXPECT_STREQ(err.message, unsupported);
        EXPECT_EQ(g_hook_calls, 0);
        continue;
      }
      // A back end ran (the hook says so) and failed: the record has no open handle and an
      // empty command.
      EXPECT_EQ(g_hook_calls, 1);
      EXPECT_STRNE(err.function, entry);
      if (is_empty_back_end(row->second) || strcmp(err.message, kBackEndMissing) == 0) {
        EXPECT_EQ(err.code, HULD_ERROR_NOT_SUPPORTED);
        EXPECT_EQ(err.subcode, iface);
        EXPECT_STREQ(err.function, row->second);
        if (is_empty_back_end(row->second)) {
          EXPECT_STREQ(err.message, "interface is not supported");
        }
      } else {
        // A built back end refuses the command or fails the driver call on the closed handle.
        EXPECT_TRUE(err.code == HULD_ERROR_FAILURE || err.code == HULD_ERROR_SYSTEM)
            << err.function << ": " << err.message;
      }
    }
  }
};

TEST_F(Execute, AtaDispatchRows) {
  check_rows<huld_ata_cmd>(huld_ata_execute, kAtaRows, "huld_ata_execute", "huld\\huld_ata",
                           "interface is not supported by ata execute");
  // A CSMI device's ATA commands go through CSMI STP pass-through.
  huld_dev dev{};
  dev.iface = WINDOWS_ATA;
  dev.conn.type = CONN_CSMI;
  huld_ata_cmd cmd{};
  huld_error err{};
  EXPECT_EQ(huld_ata_execute(&err, &dev, &cmd), 1);
  EXPECT_STREQ(err.function, "execute_stp_passthru");
}

TEST_F(Execute, NvmeDispatchRows) {
  check_rows<huld_nvme_cmd>(huld_nvme_execute, kNvmeRows, "huld_nvme_execute", "huld\\huld_nvme",
                            "nvme execute not supported on device disk4");
}

TEST_F(Execute, ScsiDispatchRows) {
  check_rows<huld_scsi_cmd>(huld_scsi_execute, kScsiRows, "huld_scsi_execute", "huld\\huld_scsi",
                            "scsi execute not supported on device disk4");
}

TEST_F(Execute, HookSeesTheCommandAsPassedAndAsExecuted) {
  huld_dev dev{};
  dev.iface = WINDOWS_SCSI_SAT_ATA;
  huld_ata_cmd cmd{};
  cmd.command = 0xEC;
  cmd.status = 0x12;
  cmd.error = 0x34;
  cmd.count = 7;
  huld_error err{};
  EXPECT_EQ(huld_ata_execute(&err, &dev, &cmd), 1);
  EXPECT_EQ(g_hook_calls, 1);
  EXPECT_EQ(g_ata_before.command, 0xEC);
  EXPECT_EQ(memcmp(&g_ata_before, &cmd, sizeof(cmd)), 0);
  EXPECT_EQ(memcmp(&g_ata_after, &cmd, sizeof(cmd)), 0);
  // A failed SCSI exchange leaves the registers as they were.
  EXPECT_EQ(cmd.status, 0x12);
  EXPECT_EQ(cmd.error, 0x34);
  EXPECT_EQ(cmd.count, 7);
}

TEST_F(Execute, UsbBridgeDeviceStopsAtTheFailedCommandPhase) {
  TearDown();  // no hooks
  huld_dev dev{};
  dev.iface = WINDOWS_SCSI_ASMEDIA_NVME;
  uint8_t buffer[512];
  memset(buffer, 0xA5, sizeof(buffer));
  huld_nvme_cmd cmd{};
  cmd.cdw0 = 0x06;
  cmd.cdw10 = 1;
  cmd.data = buffer;
  cmd.data_len = sizeof(buffer);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.cpl[3] = 0xDEADBEEF;
  huld_error err{};
  EXPECT_EQ(huld_nvme_execute(&err, &dev, &cmd), 1);
  // The command phase fails on the closed handle; no later phase runs.
  EXPECT_EQ(err.code, HULD_ERROR_SYSTEM) << err.message;
  EXPECT_EQ(cmd.cpl[3], 0xDEADBEEFu);  // no completion was read
  EXPECT_EQ(buffer[0], 0xA5);          // nothing was copied back
}

TEST(ExecuteProbes, AnswerNoWhenTheDeviceCannotBeAsked) {
  huld_dev dev{};
  EXPECT_EQ(huld_ata_probe(&dev), 0);
  EXPECT_EQ(huld_scsi_probe(&dev), 0);
  dev.iface = WINDOWS_SCSI_SAT_ATA;
  EXPECT_EQ(huld_ata_probe(&dev), 0);
  dev.iface = WINDOWS_SCSI;
  EXPECT_EQ(huld_scsi_probe(&dev), 0);
}

TEST(ExecuteNvmeStatus, IsTheStatusCodeOfCompletionDword3) {
  huld_nvme_cmd cmd{};
  cmd.cpl[3] = 0xABu << 17;
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0xAB);
  cmd.cpl[3] = 0xFFu << 17 | 1u << 16 | 7u << 25;  // phase tag and status code type are not in it
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0xFF);
  cmd.cpl[3] = 0x0Eu << 25 | 1u << 16 | 0xFFFF;
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0x00);
  cmd.cpl[3] = 0x02u << 17;  // Invalid Field in Command
  EXPECT_EQ(huld_nvme_get_status(&cmd), 0x02);
}

}  // namespace

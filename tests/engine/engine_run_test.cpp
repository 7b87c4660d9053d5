// Whole silent runs on simulated machines: for each strategy, customer variant and interface the
// drive's real state afterwards (running revision, pending image, resets), the device states, the
// summary counts, the exit code and the log lines that tell the road taken.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/drives/ata_drive.h"
#include "sim/storage.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint8_t kMonb = 1, kMonmb = 2, kDedicidonb = 3, kDfmonmb = 4;
constexpr uint8_t kGeneric = 0, kDuzori = 1, kDedi = 2;
constexpr uint32_t kUpdated = 5, kFailed = 6, kReboot = 7, kNotApplicable = 9, kIgnored = 11;

const std::string kNvmeModel = "CORVANE CVN-512";
const std::string kAtaModel = "CORVANE CVS-256";

std::string win10_nvme(const std::string &extra, const std::vector<std::string> &faults = {}) {
  return machine("win10", {kInboxNvme}, {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "CN100001", extra)},
                 faults);
}
std::string win10_ata(const std::string &extra) {
  return machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, kAtaModel, "CS100001", extra)});
}
bytes monb(const std::string &model, const std::string &old_fw, const std::string &new_fw,
           uint8_t customer = kGeneric) {
  return pkgtest::fwconfig(kMonb, 1, pkgtest::monb_record(model, old_fw, new_fw, "fw.img"), customer);
}

struct Case {
  const char *name;
  Run run;
  const char *drive;       // drive id in the state output
  std::string revision;    // running revision afterwards
  std::string pending;     // pending image's revision, "" for none
  uint32_t state;          // the device's final state
  std::string summary;     // reboot/updated/failed/not appropriate
  int exit_code;
  std::vector<std::string> log;  // lines expected in this order
};

std::vector<Case> cases() {
  const bytes nvme_image = image(ImageTarget::Nvme, "CN100002");
  const bytes ata_image = image(ImageTarget::Ata, "CS100002");
  std::vector<Case> c;
  c.push_back({"MonbNvmeActivatesAtCommit",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100002", "", kUpdated, "0/1/0/0", 0,
               {"Collect device information for strategy \"monb\".",
                "Update firmware from current revision CN100001 to target revision CN100002.",
                "setting total runs to 3.", "run 3.", "forced activation not required",
                "Successfully updated from firmware CN100001 to CN100002 on device SN: SN-nvme0",
                "Tool was successful in updating applicable device firmware."}});
  c.push_back({"MonbNvmeActivatingAtResetNeedsAReboot",
               {win10_nvme(R"(, "activation": "reset")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100001", "CN100002", kReboot, "1/0/0/0", 3,
               {"run 3.", "Current firmware is CN100001.",
                "The device requires a full power cycle to update firmware."}});
  c.push_back({"DediForcesActivationWithABusReset",
               {win10_nvme(R"(, "activation": "reset")"),
                monb(kNvmeModel, "CN100001", "CN100002", kDedi), {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100002", "", kUpdated, "0/1/0/0", 0,
               {"forced activation required", "devi->state = 7",
                "Trying a bus reset to force activation", "successfully completed reset.",
                "Successfully updated from firmware CN100001 to CN100002"}});
  c.push_back({"AtaDeferredDownloadThenActivation",
               {win10_ata(""), monb(kAtaModel, "CS100001", "CS100002"), {{"fw.img", ata_image}}, "/s"},
               "@sata0", "CS100002", "", kUpdated, "0/1/0/0", 0,
               {"Attempting deferred download followed by activation on device",
                "successfully completed ATA download.", "successfully completed ATA activation.",
                "Successfully updated from firmware CS100001 to CS100002"}});
  c.push_back({"AtaWithoutDeferredModeDownloadsWithOffsets",
               {win10_ata(R"(, "modeE": false)"), monb(kAtaModel, "CS100001", "CS100002"),
                {{"fw.img", ata_image}}, "/s"},
               "@sata0", "CS100002", "", kUpdated, "0/1/0/0", 0,
               {"does not support deferred download and activation, attempting immediate "
                "download with offsets instead.",
                "Successfully updated from firmware CS100001 to CS100002"}});
  c.push_back({"NoRecordForTheFirmwareIsNotApplicable",
               {win10_nvme(""), monb(kNvmeModel, "CN100000", "CN100002"), {{"fw.img", nvme_image}},
                "/s"},
               "@nvme0", "CN100001", "", kNotApplicable, "0/0/0/1", 4,
               {"Could not find match for binary with model CORVANE CVN-512 and firmware CN100001.",
                "Update does not apply to device SN: SN-nvme0",
                "Tool could not detect any applicable device firmware for update."}});
  c.push_back({"EmptyModelIsIgnored",
               {machine("win10", {kInboxNvme}, {nvme_disk("nvme0", "nvme", 0, "", "CN100001")}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100001", "", kIgnored, "0/0/0/1", 4,
               {"ignored, invalid model number."}});
  c.push_back({"RefusedImageFailsAfterThreeTries",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", ata_image}}, "/s"},
               "@nvme0", "CN100001", "", kFailed, "0/0/1/0", 1,
               {"run 3.", "failed NVMe activation.", "run 2.", "failed NVMe activation.", "run 1.",
                "failed NVMe activation.", "Tool was unsuccessful in updating"}});
  c.push_back({"FailingChunkIsRetriedOnWindows10InBox",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "nvme_opcode": "0x11", "count": {"nth": 2},
                               "action": {"status": "0x2"}})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100002", "", kUpdated, "0/1/0/0", 0,
               {"run 3.", "failed NVMe download.", "failed NVMe activation.", "run 2.",
                "successfully completed NVMe download.", "Successfully updated"}});
  c.push_back({"FailingCommitFailsEveryRun",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "nvme_opcode": "0x10", "count": "every",
                               "action": {"status": "0x107"}})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100001", "", kFailed, "0/0/1/0", 1,
               {"run 3.", "failed NVMe activation.", "run 1.", "failed NVMe activation."}});
  c.push_back({"UnreadableRevisionAfterTheUpdateFails",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "identity_fails_after_update": true})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100002", "", kFailed, "0/0/1/0", 1,
               {"Could not capture current firmware for device SN: SN-nvme0",
                "Assuming update on device SN: SN-nvme0"}});
  c.push_back({"DedicidonbMatchesAnEmptyComponentId",
               {win10_nvme(R"(, "activation": "commit")"),
                pkgtest::fwconfig(kDedicidonb, 2,
                                  pkgtest::concat({pkgtest::dedicidonb_record("CID00001", "CN100001",
                                                                              "CN100009", "fw.img"),
                                                   pkgtest::dedicidonb_record("", "CN100001",
                                                                              "CN100002", "fw.img")})),
                {{"fw.img", nvme_image}}, "/s"},
               "@nvme0", "CN100002", "", kUpdated, "0/1/0/0", 0,
               {"Searching for match for Dedi component id  and firmware CN100001.",
                "Update firmware from current revision CN100001 to target revision CN100002.",
                "Successfully updated from firmware CN100001 to CN100002 on device SN: SN-nvme0 - "
                "CID: UNKNOWN."}});
  c.push_back({"Windows81InBoxNvmeInScsiClassNeedsAReboot",
               {machine("win81",
                        {R"({"id": "nvme", "personality": "inbox_nvme", "port": 0,
                             "knobs": {"windows81_mode": true}})"},
                        {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "CN100001",
                                   R"(, "activation": "commit")")}),
                monb(kNvmeModel, "0001", "0002"),
                {{"fw.img", image(ImageTarget::Nvme, "CN100002")}}, "/s"},
               "@nvme0", "CN100002", "", kReboot, "1/0/0/0", 3,
               {"successfully completed SCSI download.", "successfully completed SCSI activation.",
                "The Windows 8.1 in-box NVMe driver requires a reboot after successful firmware "
                "update."}});
  return c;
}

class EngineRun : public ::testing::TestWithParam<Case> {};

TEST_P(EngineRun, DriveStateDeviceStateSummaryAndExitCode) {
  const Case &c = GetParam();
  const Outcome out = run(c.run);
  ASSERT_EQ(out.failure, "");
  ASSERT_TRUE(out.drives.contains(c.drive)) << out.drives.dump();
  const auto &drive = out.drive(c.drive);
  EXPECT_EQ(drive["revision"], c.revision) << drive.dump();
  EXPECT_EQ(drive["pending"].is_null() ? "" : drive["pending"]["revision"].get<std::string>(),
            c.pending);
  ASSERT_EQ(out.states.size(), 1u) << out.log;
  EXPECT_EQ(out.states[0].second, c.state) << out.log;
  EXPECT_EQ(out.summary, c.summary);
  EXPECT_EQ(out.exit_code, c.exit_code);
  EXPECT_EQ(orbu_test::find_in_order(out.log, c.log), "") << out.log;
}

INSTANTIATE_TEST_SUITE_P(Strategies, EngineRun, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// Whole silent runs on simulated machines: for each strategy, customer variant and interface the
// drive's real state afterwards (running revision, pending image, resets), the device states, the
// summary counts, the exit code and the log lines that tell the road taken.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/drives/ata_drive.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "tests/support/test_machine.h"

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

// The machine with a script of user actions for its window.
std::string with_ui(std::string machine_json, const std::string &ui) {
  machine_json.insert(machine_json.size() - 1, R"(, "ui": )" + ui);
  return machine_json;
}

// The in-box NVMe machine with device nodes for the controller and the disk (the bus reset finds
// the controller's storage port through them).
std::string with_devices(const std::string &devices) {
  std::string m = machine("win10", {R"({"id": "nvme", "personality": "inbox_nvme", "port": 0, "node": "NVMEC"})"},
                          {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "CN100001",
                                     R"(, "activation": "reset")")});
  m.insert(m.size() - 1, devices);
  const std::string disk = R"({"id": "nvme0", )";
  m.insert(m.find(disk) + disk.size(), R"("node": "NVD", )");
  return m;
}

std::string two_nvme() {
  return machine("win10", {kInboxNvme, R"({"id": "nvme1", "personality": "inbox_nvme", "port": 1})"},
                 {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "CN100001", R"(, "activation": "commit")"),
                  nvme_disk("nvme1", "nvme1", 1, kNvmeModel, "CN100001",
                            R"(, "activation": "commit")")});
}

// "monmb" from MA000001 (CVN-A) to MA000002 (CVN-B), then to MA000003.
bytes monmb_chain() {
  return pkgtest::fwconfig(
      kMonmb, 2,
      pkgtest::concat({pkgtest::monmb_record("CORVANE CVN-A", "MA000001", "MA000002",
                                             "CORVANE CVN-B", "step1.img"),
                       pkgtest::monmb_record("CORVANE CVN-B", "MA000002", "MA000003",
                                             "CORVANE CVN-B", "step2.img")}));
}
std::vector<std::pair<std::string, bytes>> monmb_images() {
  sim::TestImageSpec first;
  first.revision = "MA000002";
  first.model = "CORVANE CVN-B";
  return {{"step1.img", sim::make_test_image(first)},
          {"step2.img", image(ImageTarget::Nvme, "MA000003")}};
}

std::string default_machine_activating_at_reset() {
  std::ifstream file(sim::machine_file_path("default"));
  nlohmann::json m = nlohmann::json::parse(file);
  m["storage"]["disks"][0]["nvme"]["activation"] = "reset";
  return m.dump();
}

struct Case {
  const char *name;
  Run run;
  struct Drive {
    const char *id;        // drive id in the state output
    std::string revision;  // running revision afterwards
    std::string pending;   // pending image's revision, "" for none
  };
  std::vector<Drive> drives;
  std::vector<uint32_t> states;  // the devices' final states, in table order
  std::string summary;     // reboot/updated/failed/not appropriate
  int exit_code;
  std::vector<std::string> log;  // lines expected in this order; "!text": nowhere
};

std::vector<Case> cases() {
  const bytes nvme_image = image(ImageTarget::Nvme, "CN100002");
  const bytes ata_image = image(ImageTarget::Ata, "CS100002");
  std::vector<Case> c;
  c.push_back({"MonbNvmeActivatesAtCommit",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"Collect device information for strategy \"monb\".",
                "Update firmware from current revision CN100001 to target revision CN100002.",
                "setting total runs to 3.", "run 3.", "forced activation not required",
                "Successfully updated from firmware CN100001 to CN100002 on device SN: SN-nvme0",
                "Tool was successful in updating applicable device firmware."}});
  c.push_back({"MonbNvmeActivatingAtResetNeedsAReboot",
               {win10_nvme(R"(, "activation": "reset")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", "CN100002"}}, {kReboot}, "1/0/0/0", 3,
               {"run 3.", "Current firmware is CN100001.",
                "The device requires a full power cycle to update firmware.", "!run 2."}});
  // Dedi forces the activation with a bus reset when the first verify reads the old revision.
  c.push_back({"DediBusResetActivatesThePendingImage",
               {with_devices(R"(, "devices": [
                  {"id": "NVMEC", "instance_id": "PCI\\VEN_ABCD&DEV_5010\\4&1&0&00E8",
                   "class": "SCSIAdapter", "properties": {"BusNumber": 0},
                   "interfaces": [{"class": "storage_port"}]},
                  {"id": "NVD", "instance_id": "SCSI\\Disk&Ven_NVMe&Prod_CVN\\5&1&0&000000",
                   "class": "DiskDrive", "parent": "NVMEC", "pdo": "\\Device\\00000031",
                   "properties": {"RemovalPolicy": 1}, "interfaces": [{"class": "disk"}]}])"),
                monb(kNvmeModel, "CN100001", "CN100002", kDedi), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"forced activation required", "devi->state = 7",
                "Trying a bus reset to force activation", "successfully completed reset.",
                "Successfully updated from firmware CN100001 to CN100002", "!run 2."}});
  // Dedi forces the activation with a bus reset; one that fails leaves the image pending.
  c.push_back({"DediBusResetThatFailsLeavesARebootRequired",
               {win10_nvme(R"(, "activation": "reset")",
                           {R"({"fail_ioctl": "0x2d5000", "error": "ERROR_IO_DEVICE"})"}),
                monb(kNvmeModel, "CN100001", "CN100002", kDedi), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", "CN100002"}}, {kReboot}, "1/0/0/0", 1602,
               {"run 3.", "forced activation required", "Current firmware is CN100001.",
                "devi->state = 7", "Trying a bus reset to force activation", "failed NVMe reset.",
                "Reboot is required to activate some device"}});
  c.push_back({"AtaDeferredDownloadThenActivation",
               {win10_ata(""), monb(kAtaModel, "CS100001", "CS100002"), {{"fw.img", ata_image}}, "/s"},
               {{"@sata0", "CS100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"Attempting deferred download followed by activation on device",
                "successfully completed ATA download.", "successfully completed ATA activation.",
                "Successfully updated from firmware CS100001 to CS100002"}});
  c.push_back({"AtaWithoutDeferredModeDownloadsWithOffsets",
               {win10_ata(R"(, "modeE": false)"), monb(kAtaModel, "CS100001", "CS100002"),
                {{"fw.img", ata_image}}, "/s"},
               {{"@sata0", "CS100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"does not support deferred download and activation, attempting immediate "
                "download with offsets instead.",
                "Successfully updated from firmware CS100001 to CS100002"}});
  c.push_back({"NoRecordForTheFirmwareIsNotApplicable",
               {win10_nvme(""), monb(kNvmeModel, "CN100000", "CN100002"), {{"fw.img", nvme_image}},
                "/s"},
               {{"@nvme0", "CN100001", ""}}, {kNotApplicable}, "0/0/0/1", 4,
               {"Could not find match for binary with model CORVANE CVN-512 and firmware CN100001.",
                "Update does not apply to device SN: SN-nvme0",
                "Tool could not detect any applicable device firmware for update."}});
  c.push_back({"EmptyModelIsIgnored",
               {machine("win10", {kInboxNvme}, {nvme_disk("nvme0", "nvme", 0, "", "CN100001")}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", ""}}, {kIgnored}, "0/0/0/1", 4,
               {"ignored, invalid model number."}});
  c.push_back({"RefusedImageFailsAfterThreeTries",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", ata_image}}, "/s"},
               {{"@nvme0", "CN100001", ""}}, {kFailed}, "0/0/1/0", 1,
               {"run 3.", "failed NVMe activation.", "run 2.", "failed NVMe activation.", "run 1.",
                "failed NVMe activation.", "Tool was unsuccessful in updating"}});
  c.push_back({"FailingChunkIsRetriedOnWindows10InBox",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "nvme_opcode": "0x11", "count": {"nth": 2},
                               "action": {"status": "0x2"}})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"run 3.", "failed NVMe download.", "failed NVMe activation.", "run 2.",
                "successfully completed NVMe download.", "Successfully updated"}});
  c.push_back({"FailingCommitFailsEveryRun",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "nvme_opcode": "0x10", "count": "every",
                               "action": {"status": "0x107"}})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", ""}}, {kFailed}, "0/0/1/0", 1,
               {"run 3.", "failed NVMe activation.", "run 1.", "failed NVMe activation."}});
  c.push_back({"UnreadableRevisionAfterTheUpdateFails",
               {win10_nvme(R"(, "activation": "commit")",
                           {R"({"drive": "nvme0", "identity_fails_after_update": true})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kFailed}, "0/0/1/0", 1,
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
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"Searching for match for Dedi component id  and firmware CN100001.",
                "Update firmware from current revision CN100001 to target revision CN100002.",
                "Successfully updated from firmware CN100001 to CN100002 on device SN: SN-nvme0 - "
                "CID: UNKNOWN."}});
  c.push_back({"Windows81InBoxNvmeInScsiClassNeedsAReboot",
               {machine("win81",
                        {R"({"id": "nvme", "personality": "inbox_nvme", "port": 0,
                             "knobs": {"windows81_mode": true}})"},
                        {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "AB000001",
                                   R"(, "activation": "commit")")}),
                monb(kNvmeModel, "AB00", "CD00"),
                {{"fw.img", image(ImageTarget::Nvme, "CD000002")}}, "/s"},
               {{"@nvme0", "CD000002", ""}}, {kReboot}, "1/0/0/0", 3,
               {"successfully completed SCSI download.", "successfully completed SCSI activation.",
                "The Windows 8.1 in-box NVMe driver requires a reboot after successful firmware "
                "update."}});
  c.push_back({"AtaDeferredDownloadFailingFallsBackToOffsets",
               {machine("win10", {kInboxAhci},
                        {ata_disk("sata0", "ahci", 0, kAtaModel, "CS100001")},
                        {R"({"drive": "sata0", "ata_command": "0x92", "feature": "0x0e",
                            "count": {"nth": 1}, "action": {"status": "0x51", "error": 4}})"}),
                monb(kAtaModel, "CS100001", "CS100002"), {{"fw.img", ata_image}}, "/s"},
               {{"@sata0", "CS100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"failed ATA download.",
                "deferred download failed, falling back to immediate download with offsets.",
                "successfully completed ATA download.", "Successfully updated"}});
  c.push_back({"ScsiWriteBufferDownloadAndActivation",
               {machine("win10", {R"({"id": "sas", "personality": "sas", "port": 2})"},
                        {scsi_disk("sas0", "sas", 0, "CVX-SAS", "0001")}),
                monb("CVX-SAS", "0001", "0002"),
                {{"fw.img", image(ImageTarget::Scsi, "SC000002")}}, "/s"},
               {{"@sas0", "0002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"successfully completed SCSI download.", "successfully completed SCSI activation.",
                "Successfully updated from firmware 0001 to 0002"}});
  // Under the control thread a multi-step update runs its first step only.
  c.push_back({"MonmbRunsItsFirstStepUnderTheControlThread",
               {machine("win10", {kInboxNvme},
                        {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                   R"(, "activation": "commit")")}),
                monmb_chain(), monmb_images(), "/s"},
               {{"@nvme0", "MA000002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"operation: Multistep Update: MA000001 to MA000002 to MA000003",
                "Successfully updated from firmware MA000001 to MA000002 and model CORVANE CVN-A "
                "to CORVANE CVN-B"}});
  c.push_back({"MonmbChainBackToTheStartStopsThere",
               {machine("win10", {kInboxNvme},
                        {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                   R"(, "activation": "commit")")}),
                pkgtest::fwconfig(kMonmb, 2,
                                  pkgtest::concat({pkgtest::monmb_record("CORVANE CVN-A", "MA000001",
                                                                         "MA000002", "CORVANE CVN-A",
                                                                         "fw.img"),
                                                   pkgtest::monmb_record("CORVANE CVN-A", "MA000002",
                                                                         "MA000001", "CORVANE CVN-A",
                                                                         "fw.img")})),
                {{"fw.img", image(ImageTarget::Nvme, "MA000002")}}, "/s"},
               {{"@nvme0", "MA000002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"registering recursive update from MA000002 to MA000001",
                "Update loop detected, recursive update check complete.",
                "operation: Multistep Update: MA000001 to MA000002 to MA000001",
                "!No update loop detected"}});
  // The "Start" button of the generic window runs every step, re-identifying the drive between.
  c.push_back({"MonmbRunsEveryStepFromTheStartButton",
               {with_ui(machine("win10", {kInboxNvme},
                                {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                           R"(, "activation": "commit")")}),
                        R"([{"click": 0}, {"click": "Exit", "when": {"text":
                            "Firmware update to revision MA000003 successful."}}])"),
                monmb_chain(), monmb_images(), ""},
               {{"@nvme0", "MA000003", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"Beginning update on SN: SN-nvme0 - MN: CORVANE CVN-A.",
                "Successfully updated from firmware MA000001 to MA000002 and model CORVANE CVN-A "
                "to CORVANE CVN-B",
                "Collect device data for strategy \"monmb\".",
                "Collect device operation state for strategy \"monmb\".",
                "Beginning update on SN: SN-nvme0 - MN: CORVANE CVN-B.",
                "Successfully updated from firmware MA000002 to MA000003 and model CORVANE CVN-B "
                "to CORVANE CVN-B"}});
  // A step thread that cannot start is that step failing: the in-box retry runs it again.
  c.push_back({"StepThreadThatCannotStartFailsItsStep",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "CN100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s",
                [] { sim::app_knobs().fail_thread_create_at = 3; }},
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"run 3.", "failed NVMe download.", "run 2.", "successfully completed NVMe download.",
                "Successfully updated"}});
  // Command-line mode (Duzori codes): "/T:" picks one drive by its physical-drive number.
  c.push_back({"CommandLineTargetByPhysicalDrive",
               {two_nvme(), {}, {{"fw.img", nvme_image}},
                "/s /FIA /T:\\\\.\\PhysicalDrive1 /D:{dir}/fw.img"},
               {{"@nvme0", "CN100001", ""}, {"@nvme1", "CN100002", ""}}, {kUpdated, kIgnored},
               "0/1/0/1", 0,
               {"ignored, does not match CLI target \\\\.\\PhysicalDrive1.",
                "Update firmware to ", "Firmware update process successful."}});
  c.push_back({"CommandLineCsmiTargetMatchingNothing",
               {two_nvme(), {}, {{"fw.img", nvme_image}}, "/s /FIA /C:0,5000000000000001 /D:{dir}/fw.img"},
               {{"@nvme0", "CN100001", ""}, {"@nvme1", "CN100001", ""}}, {kIgnored, kIgnored},
               "0/0/0/2", 1, {"ignored, does not match CLI target 0.5000000000000001."}});
  c.push_back({"CommandLineMissingImageFails",
               {two_nvme(), {}, {}, "/s /FIA /T:\\\\.\\PhysicalDrive0 /D:{dir}/none.img"},
               {{"@nvme0", "CN100001", ""}}, {kFailed, kIgnored}, "0/0/1/1", 1,
               {"Could not operate on binary "}});
  // Without "/FIA" the ATA image is saved for a deferred activation: reboot required.
  c.push_back({"CommandLineAtaWithoutActivationNeedsAReboot",
               {win10_ata(""), {}, {{"fw.img", ata_image}},
                "/s /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img"},
               {{"@sata0", "CS100001", "CS100002"}}, {kReboot}, "1/0/0/0", 0,
               {"will not be activated, the user has not specified to activate immediately.",
                "Attempting deferred download on device", "Reboot is required"}});
  // "dfmonmb": drive model id and wildcard patterns over the vendor-unique native firmware.
  c.push_back({"DfmonmbMatchesWildcardsOverTheNativeFirmware",
               {win10_ata(R"(, "vu": {"ctl": "CTL00001", "srv": "SRV00001", "ovl": "OVL001",
                                      "global_product_id": "0x0101"})"),
                pkgtest::fwconfig(
                    kDfmonmb, 3,
                    pkgtest::concat(
                        {pkgtest::dfmonmb_record(0x0202, "", "*", "X", "", "fw.img"),
                         pkgtest::dfmonmb_record(0x0101, "CORVANE CVS-2??", "CTLSR1O", "X", "",
                                                 "fw.img"),
                         pkgtest::dfmonmb_record(0x0101, "", "CT*", "CTLSR2OV L00V00L002", "",
                                                 "fw.img")})),
                {{"fw.img", vu_ata_image()}}, "/s"},
               {{"@sata0", "CS100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"Collect device information for strategy \"dfmonmb\".",
                "Comparing configuration drive model and firmware.",
                "Comparing configuration drive model and firmware.",
                "Comparing configuration drive model and firmware.", "Packed binary found.",
                "operation: Update firmware.",
                "Successfully updated firmware on device SN: SN-sata0 - MN: CORVANE CVS-256."}});
  c.push_back({"CommandLineAtaWithoutDeferredSupportSendsNoDownload",
               {win10_ata(R"(, "modeE": false)"), {}, {{"fw.img", ata_image}},
                "/s /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img"},
               {{"@sata0", "CS100001", ""}}, {kFailed}, "0/0/1/0", 1,
               {"does not support deferred download, cannot download without activation.",
                "!ATA download"}});
  // The shipped default machine describes no device nodes: the bus reset still finds what it needs.
  c.push_back({"DediBusResetOnTheDefaultMachine",
               {default_machine_activating_at_reset(), monb(kNvmeModel, "CN100001", "CN100002", kDedi),
                {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kUpdated, kNotApplicable}, "0/1/0/1", 0,
               {"Trying a bus reset to force activation", "successfully completed reset.",
                "Successfully updated from firmware CN100001 to CN100002"}});
  // Two drives, two bus resets: each runs on its own step thread in a multithreaded apartment that
  // ends with it, so the second connects to WMI anew (a proxy kept from the first would be
  // disconnected, and the run's resource check counts every call refused that way).
  c.push_back({"DediBusResetsOfTwoDrivesEachInItsOwnApartment",
               {machine("win10", {kInboxNvme, R"({"id": "nvme1", "personality": "inbox_nvme", "port": 1})"},
                        {nvme_disk("nvme0", "nvme", 0, kNvmeModel, "CN100001", R"(, "activation": "reset")"),
                         nvme_disk("nvme1", "nvme1", 1, kNvmeModel, "CN100001", R"(, "activation": "reset")")}),
                monb(kNvmeModel, "CN100001", "CN100002", kDedi), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100002", ""}, {"@nvme1", "CN100002", ""}}, {kUpdated, kUpdated}, "0/2/0/0", 0,
               {"Trying a bus reset to force activation", "successfully completed reset.",
                "Trying a bus reset to force activation", "successfully completed reset.", "!run 2."}});
  // A commit after a failed download that leaves the image pending does not end the retries.
  c.push_back({"InBoxCommitAfterAFailedDownloadIsNotARebootRequired",
               {win10_nvme(R"(, "activation": "reset")",
                           {R"({"drive": "nvme0", "nvme_opcode": "0x11", "count": {"nth": 3},
                               "action": {"status": "0x6", "after": true}})"}),
                monb(kNvmeModel, "CN100001", "CN100002"), {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", "CN100002"}}, {kReboot}, "1/0/0/0", 3,
               {"run 3.", "failed NVMe download.", "successfully completed NVMe activation.",
                "Download failed in this run; not treating it as reboot required.", "run 2.",
                "successfully completed NVMe download.", "Current firmware is CN100001.", "!run 1."}});
  c.push_back({"AtaActivationFailingAfterDeferredDownloadNeedsAReboot",
               {machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, kAtaModel, "CS100001")},
                        {R"({"drive": "sata0", "ata_command": "0x92", "feature": "0x0f",
                            "action": {"status": "0x51", "error": 4}})"}),
                monb(kAtaModel, "CS100001", "CS100002"), {{"fw.img", ata_image}}, "/s"},
               {{"@sata0", "CS100001", "CS100002"}}, {kReboot}, "1/0/0/0", 3,
               {"successfully completed ATA download.", "failed ATA activation.",
                "activation failed, firmware activation will require cold reboot.",
                "!falling back to immediate download"}});
  // Command-line mode without "/FIA": the SCSI image is saved, not activated.
  c.push_back({"CommandLineScsiWithoutActivationNeedsAReboot",
               {machine("win10", {R"({"id": "sas", "personality": "sas", "port": 2})"},
                        {scsi_disk("sas0", "sas", 0, "CVX-SAS", "0001")}),
                {}, {{"fw.img", image(ImageTarget::Scsi, "SC000002")}},
                "/s /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img"},
               {{"@sas0", "0001", ""}}, {kReboot}, "1/0/0/0", 0,
               {"will not be activated, the user has not specified to activate immediately.",
                "successfully completed SCSI download.", "!SCSI activation"}});
  // An empty command-line image is refused before any command.
  c.push_back({"CommandLineEmptyImageIsRefused",
               {win10_nvme(R"(, "activation": "commit")"), {}, {{"empty.img", {}}},
                "/s /FIA /T:\\\\.\\PhysicalDrive0 /D:{dir}/empty.img"},
               {{"@nvme0", "CN100001", ""}}, {kFailed}, "0/0/1/0", 1,
               {"Could not operate on binary ", "!NVMe download"}});
  // Two records for one model and firmware: the first one with an image wins.
  c.push_back({"FirstMatchingRecordWins",
               {win10_nvme(R"(, "activation": "commit")"),
                pkgtest::fwconfig(kMonb, 2,
                                  pkgtest::concat({pkgtest::monb_record(kNvmeModel, "CN100001",
                                                                        "CN100002", "fw.img"),
                                                   pkgtest::monb_record(kNvmeModel, "CN100001",
                                                                        "CN100003", "fw3.img")})),
                {{"fw.img", nvme_image}, {"fw3.img", image(ImageTarget::Nvme, "CN100003")}}, "/s"},
               {{"@nvme0", "CN100002", ""}}, {kUpdated}, "0/1/0/0", 0,
               {"target revision CN100002.", "Successfully updated from firmware CN100001 to CN100002"}});
  c.push_back({"OldFirmwareIsComparedWithCase",
               {win10_nvme(R"(, "activation": "commit")"), monb(kNvmeModel, "cn100001", "CN100002"),
                {{"fw.img", nvme_image}}, "/s"},
               {{"@nvme0", "CN100001", ""}}, {kNotApplicable}, "0/0/0/1", 4,
               {"Could not find match for binary with model CORVANE CVN-512 and firmware CN100001."}});
  // "monmb" verifies the model too: the new revision under the old model is not the target.
  c.push_back({"MonmbWithTheOldModelAfterTheUpdateNeedsAReboot",
               {machine("win10", {kInboxNvme},
                        {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                   R"(, "activation": "commit")")}),
                pkgtest::fwconfig(kMonmb, 1,
                                  pkgtest::monmb_record("CORVANE CVN-A", "MA000001", "MA000002",
                                                        "CORVANE CVN-B", "fw.img")),
                {{"fw.img", image(ImageTarget::Nvme, "MA000002")}}, "/s"},
               {{"@nvme0", "MA000002", ""}}, {kReboot}, "1/0/0/0", 3,
               {"Did not successfully update from firmware MA000001 to MA000002 or model CORVANE "
                "CVN-A to CORVANE CVN-B", "Current firmware is MA000002 and model is CORVANE CVN-A."}});
  // Three steps through the Start button, each finding its own record after the re-read.
  {
    sim::TestImageSpec first;
    first.revision = "MA000002";
    first.model = "CORVANE CVN-B";
    c.push_back({"MonmbThreeStepsFromTheStartButton",
                 {with_ui(machine("win10", {kInboxNvme},
                                  {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                             R"(, "activation": "commit")")}),
                          R"([{"click": 0}, {"click": "Exit", "when": {"text":
                              "Firmware update to revision MA000004 successful."}}])"),
                  pkgtest::fwconfig(
                      kMonmb, 3,
                      pkgtest::concat({pkgtest::monmb_record("CORVANE CVN-A", "MA000001", "MA000002",
                                                             "CORVANE CVN-B", "s1.img"),
                                       pkgtest::monmb_record("CORVANE CVN-B", "MA000002", "MA000003",
                                                             "CORVANE CVN-B", "s2.img"),
                                       pkgtest::monmb_record("CORVANE CVN-B", "MA000003", "MA000004",
                                                             "CORVANE CVN-B", "s3.img")})),
                  {{"s1.img", sim::make_test_image(first)},
                   {"s2.img", image(ImageTarget::Nvme, "MA000003")},
                   {"s3.img", image(ImageTarget::Nvme, "MA000004")}},
                  ""},
                 {{"@nvme0", "MA000004", ""}}, {kUpdated}, "0/1/0/0", 0,
                 {"operation: Multistep Update: MA000001 to MA000002 to MA000003 to MA000004",
                  "Successfully updated from firmware MA000001 to MA000002",
                  "Successfully updated from firmware MA000002 to MA000003",
                  "Successfully updated from firmware MA000003 to MA000004"}});
  }
  // A chain that closes a loop stops at the closing step and counts it: the Start button runs
  // that step too. Exit is pressed once it is offered again, whatever the last step was.
  {
    const std::string exit_when_done =
        R"([{"click": 0}, {"click": "Exit", "when": {"after_ms": 1}}])";
    const std::string drive_a = machine("win10", {kInboxNvme},
                                        {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-A", "MA000001",
                                                   R"(, "activation": "commit")")});
    auto record = [](const char *from, const char *to, const char *image_name) {
      return pkgtest::monmb_record("CORVANE CVN-A", from, to, "CORVANE CVN-A", image_name);
    };
    const std::vector<std::pair<std::string, bytes>> images = {
        {"to1.img", image(ImageTarget::Nvme, "MA000001")},
        {"to2.img", image(ImageTarget::Nvme, "MA000002")},
        {"to3.img", image(ImageTarget::Nvme, "MA000003")}};
    // 1 to 2 to 3 to 2, and then the record from 2 to 3 again: four steps.
    c.push_back({"MonmbLoopRunsItsRepeatingStepFromTheStartButton",
                 {with_ui(drive_a, exit_when_done),
                  pkgtest::fwconfig(kMonmb, 3,
                                    pkgtest::concat({record("MA000001", "MA000002", "to2.img"),
                                                     record("MA000002", "MA000003", "to3.img"),
                                                     record("MA000003", "MA000002", "to2.img")})),
                  images, ""},
                 {{"@nvme0", "MA000003", ""}}, {kUpdated}, "0/1/0/0", 0,
                 {"Update loop detected, recursive update check complete.",
                  "operation: Multistep Update: MA000001 to MA000002 to MA000003 to MA000002 to "
                  "MA000003",
                  "Successfully updated from firmware MA000001 to MA000002",
                  "Successfully updated from firmware MA000002 to MA000003",
                  "Successfully updated from firmware MA000003 to MA000002",
                  "Successfully updated from firmware MA000002 to MA000003",
                  "operation result: Firmware update to revision MA000003 successful.",
                  "User has selected to exit via the exit control."}});
    // 1 to 2 and back to 1, the drive's starting identity: two steps.
    c.push_back({"MonmbChainBackToTheStartRunsBothStepsFromTheStartButton",
                 {with_ui(drive_a, exit_when_done),
                  pkgtest::fwconfig(kMonmb, 2,
                                    pkgtest::concat({record("MA000001", "MA000002", "to2.img"),
                                                     record("MA000002", "MA000001", "to1.img")})),
                  images, ""},
                 {{"@nvme0", "MA000001", ""}}, {kUpdated}, "0/1/0/0", 0,
                 {"Update loop detected, recursive update check complete.",
                  "operation: Multistep Update: MA000001 to MA000002 to MA000001",
                  "Successfully updated from firmware MA000001 to MA000002",
                  "Successfully updated from firmware MA000002 to MA000001",
                  "operation result: Firmware update to revision MA000001 successful.",
                  "User has selected to exit via the exit control."}});
  }
  return c;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class EngineRun : public ::testing::TestWithParam<Case> {};

TEST_P(EngineRun, DriveStateDeviceStateSummaryAndExitCode) {
  const Case &c = GetParam();
  const Outcome out = run(c.run);
  ASSERT_EQ(out.failure, "") << out.log;
  for (const Case::Drive &expected : c.drives) {
    ASSERT_TRUE(out.drives.contains(expected.id)) << out.drives.dump() << out.log;
    const auto &drive = out.drive(expected.id);
    EXPECT_EQ(drive["revision"], expected.revision) << drive.dump();
    EXPECT_EQ(drive["pending"].is_null() ? "" : drive["pending"]["revision"].get<std::string>(),
              expected.pending);
  }
  std::vector<uint32_t> states;
  for (const auto &state : out.states) states.push_back(state.second);
  EXPECT_EQ(states, c.states) << out.log;
  EXPECT_EQ(out.summary, c.summary);
  EXPECT_EQ(out.exit_code, c.exit_code);
  std::vector<std::string> in_order;
  for (const std::string &piece : c.log) {
    if (piece[0] != '!') in_order.push_back(piece);
    else EXPECT_EQ(out.log.find(piece.substr(1)), std::string::npos) << piece;
  }
  EXPECT_EQ(orbu_test::find_in_order(out.log, in_order), "") << out.log;
}

// An ATA drive that a run leaves "reboot required" runs the new image after a power cycle, as the
// run told; segments of an image that never arrived whole are lost with the power.
TEST(EngineAtaPowerCycle, ADeferredImageRunsAfterThePowerCycleAnIncompleteOneIsLost) {
  const bytes ata_image = image(ImageTarget::Ata, "CS100002");
  const std::string refused_activation =
      R"({"drive": "sata0", "ata_command": "0x92", "feature": "0x0f", "action": {"status": "0x51", "error": 4}})";
  const std::string second_piece_refused = R"({"drive": "sata0", "ata_command": "0x92", "feature": "0x0e",
      "count": {"nth": 2}, "action": {"status": "0x51", "error": 4}})";
  const std::string deferred_only = "/s /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img";
  struct Row {
    const char *name;
    std::string fault;
    bytes fwconfig;   // empty: command line without "/FIA" (download only)
    uint32_t state;
    int exit_code;
    std::string revision_after_power_cycle;
  } rows[] = {
      {"activation refused", refused_activation, monb(kAtaModel, "CS100001", "CS100002"), kReboot, 3, "CS100002"},
      {"download only", "", {}, kReboot, 0, "CS100002"},
      {"download cut short", second_piece_refused, {}, kFailed, 1, "CS100001"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> faults;
    if (!row.fault.empty()) faults.push_back(row.fault);
    enginetest::Run spec(
        machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, kAtaModel, "CS100001")}, faults),
        row.fwconfig, {{"fw.img", ata_image}}, row.fwconfig.empty() ? deferred_only : "/s");
    spec.after_run = [] { sim::storage_drive("@sata0").ata->power_cycle(); };
    const Outcome out = run(spec);
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(out.state_of(""), row.state) << out.log;
    EXPECT_EQ(out.exit_code, row.exit_code);
    const auto &drive = out.drive("@sata0");
    EXPECT_EQ(drive["power_cycles"], 1);
    EXPECT_EQ(drive["revision"], row.revision_after_power_cycle) << drive.dump();
    EXPECT_TRUE(drive["pending"].is_null()) << drive.dump();
    EXPECT_EQ(drive["staged_bytes"], 0) << drive.dump();
  }
}

// The cases on Windows 10 with a drive on the in-box NVMe driver, their machine's operating system
// replaced by that of the shared test machine `name` (tests/machines).
std::vector<Case> inbox_nvme_cases_on_the_os_of(const std::string &name) {
  const nlohmann::json os = testsupport::test_machine(name).at("os");
  std::vector<Case> out;
  for (Case c : cases()) {
    nlohmann::json m = nlohmann::json::parse(c.run.machine);
    bool inbox_nvme = false;
    if (m.contains("storage") && m["storage"].contains("adapters"))
      for (const nlohmann::json &adapter : m["storage"]["adapters"])
        inbox_nvme = inbox_nvme || adapter.value("personality", "") == "inbox_nvme";
    if (!inbox_nvme || m.at("os").value("major", 0) != 10) continue;
    m["os"] = os;
    c.run.machine = m.dump();
    out.push_back(std::move(c));
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Strategies, EngineRun, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });
// The same runs through the in-box NVMe driver of Windows 11, which reads more of a log-page query
// than Windows 10's does.
INSTANTIATE_TEST_SUITE_P(InboxNvmeOnWindows11, EngineRun,
                         ::testing::ValuesIn(inbox_nvme_cases_on_the_os_of("four_routes_win11")),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

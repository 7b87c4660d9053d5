// Whole command-line runs: which record the "/T:" and "/C:" options name on a machine whose first
// scanned records share one port, an image file too large to be one, and an image path that names
// no regular file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "engine_case.h"
#include "orbu/orbu_main.h"
#include "run_harness.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "tests/support/test_machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kFailed = 6, kIgnored = 11;

struct TargetCase {
  const char *options;
  uint32_t s1, s3;   // final states of the two records
  const char *line;  // logged once for each record that is not updated
  int exit_code;
};

// A run on the machine whose scan begins with the two records behind port 0: S1, then S3.
void expect_target(const TargetCase &c) {
  SCOPED_TRACE(c.options);
  const Outcome out = run({testsupport::test_machine("csmi_port_only").dump(), {},
                           {{"fw.img", image(ImageTarget::Ata, "SIM10002")}},
                           std::string("/s /FIA ") + c.options + " /D:{dir}/fw.img"});
  ASSERT_EQ(out.failure, "") << out.log;
  EXPECT_EQ(out.state_of("SS1021 "), c.s1) << out.log;
  EXPECT_EQ(out.state_of("SS3023 "), c.s3) << out.log;
  EXPECT_EQ(count_of(out.log, c.line), (c.s1 != kUpdated) + (c.s3 != kUpdated)) << out.log;
  EXPECT_EQ(out.drive("S1")["revision"], c.s1 == kUpdated ? "SIM10002" : "SIM10001");
  EXPECT_EQ(out.drive("S3")["staged_bytes"], 0);
  EXPECT_EQ(out.drive("S3")["activations"], 0);
  EXPECT_EQ(out.exit_code, c.exit_code);
}

// The first scanned record counts like every other: the port's path, or a "/C:" address pattern
// that fits both records, names two and updates neither.
TEST(EngineCommandLine, SharedPortRecordsScannedFirstAreAllCounted) {
  for (const TargetCase &c : {
           TargetCase{"/T:\\\\.\\Scsi0:", kFailed, kFailed,
                      "not updated, CLI target \\\\.\\Scsi0: matches 2 devices", 1},
           TargetCase{"/C:0,*", kFailed, kFailed, "not updated, CLI target 0.* matches 2 devices",
                      1},
       })
    expect_target(c);
}

// The "/C:" forms: a port and a full address name their record; "/T:" given as well decides
// alone; an address of no record, a port without a comma and an address in upper case (records
// are named in lower case) name nothing.
TEST(EngineCommandLine, CsmiTargetForms) {
  for (const TargetCase &c : {
           TargetCase{"/C:0,500a0b0100000000", kUpdated, kIgnored,
                      "ignored, does not match CLI target 0.500a0b0100000000.", 0},
           TargetCase{"/T:\\\\.\\PhysicalDrive7 /C:0,500a0b0100000000", kIgnored, kIgnored,
                      "ignored, does not match CLI target \\\\.\\PhysicalDrive7.", 1},
           TargetCase{"/C:0,500a0b0900000000", kIgnored, kIgnored,
                      "ignored, does not match CLI target 0.500a0b0900000000.", 1},
           TargetCase{"/C:0", kIgnored, kIgnored, "ignored, invalid CLI detection options.", 1},
           TargetCase{"/C:0,500A0B0100000000", kIgnored, kIgnored,
                      "ignored, does not match CLI target 0.500A0B0100000000.", 1},
       })
    expect_target(c);
}

// Bytes this process has read from files so far.
uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

// A "/D:" file of 4 GiB + 1 (sparse) is refused by its size: the run reads none of it (so no
// block was grown for it), and the target fails as with an unreadable image, receiving nothing.
TEST(EngineCommandLine, ImageAboveFourGiBIsRefusedUnread) {
  pkgtest::temp_dir dir;
  const std::string big = dir.file("big.img");
  const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 1), 0);
  ::close(fd);
  const std::string module = dir.file("orbu.exe");
  pkgtest::write_file(module, pkgtest::pattern(100, 1));

  static uint64_t read_before = 0;  // in the run's process
  orbu_test::RunSpec spec;
  spec.command_line = "/s /FIA /T:\\\\.\\PhysicalDrive0 /D:" + big;
  spec.knobs = [&](sim::AppKnobs &) {
    sim::load_machine_json(
        machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001")}));
    sim::app_knobs().module_path = module;
    read_before = bytes_read();
  };
  spec.after = [](orbu_test::Observations &seen) {
    seen["read"] = std::to_string(bytes_read() - read_before);
    const orbu_device_update &r = orbu_device_table.records[0];
    seen["state"] = std::to_string(r.state.load());
    seen["operation"] = r.operation_text;
    seen["drives"] = nlohmann::json::parse(sim::storage_state_json()).dump();
  };
  orbu_test::RunResult result = orbu_test::run_program(spec);
  ASSERT_EQ(result.failure, "");
  EXPECT_LT(std::stoull(result.seen["read"]), 16u << 20);
  EXPECT_EQ(result.seen["state"], std::to_string(kFailed));
  EXPECT_EQ(result.seen["operation"], "Invalid binary provided for update!");
  EXPECT_NE(result.log().find("Could not operate on binary " + big +
                              ", device SN-sata0 (CORVANE CVS-256) update not applicable."),
            std::string::npos)
      << result.log();
  const nlohmann::json drive = nlohmann::json::parse(result.seen["drives"])["drives"][0];
  EXPECT_EQ(drive["staged_bytes"], 0);
  EXPECT_EQ(drive["activations"], 0);
  EXPECT_EQ(result.exit_code, 1);
}

// A "/D:" path that names no regular file is refused before it is opened or read: a FIFO with no
// writer (its open would wait for ever, so a regression ends at the test's time-out), a directory
// and a character device without end. The line names the path, the target fails and its drive
// receives nothing.
TEST(EngineCommandLine, ImageThatIsNoRegularFileIsRefused) {
  pkgtest::temp_dir dir;
  const std::string fifo = dir.file("fifo.img");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {fifo, dir.path().string(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    const Outcome out = run({machine("win10", {kInboxAhci}, {ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001")}),
                             {}, {}, "/s /FIA /T:\\\\.\\PhysicalDrive0 /D:" + path});
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(count_of(out.log, "Binary " + path + " is not a regular file.\n"), 1u) << out.log;
    EXPECT_EQ(count_of(out.log, "Could not operate on binary " + path +
                                    ", device SN-sata0 (CORVANE CVS-256) update not applicable."),
              1u);
    EXPECT_EQ(out.state_of("SN-sata0 "), kFailed);
    EXPECT_EQ(out.drive("@sata0")["staged_bytes"], 0);
    EXPECT_EQ(out.drive("@sata0")["activations"], 0);
    EXPECT_EQ(out.exit_code, 1);
  }
}

}  // namespace

// The request trace of a silent update run on the reference machine, compared line by line with
// the reviewed copy in tests/simruns/golden/ref1_silent_trace.jsonl: any change in what the tool
// sends to a drive (control code, command fields, lengths, order) shows up as a diff of that file.
//
// After an intended change of the requests, rewrite the file and review its diff:
//
//   ORBU_UPDATE_GOLDEN=1 ctest --test-dir build/native -R GoldenTrace && git diff tests/simruns/golden
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/drives/fw_image.h"
#include "tests/package/package_writer.h"

#ifdef ORBU_EXE_PATH

namespace {

using namespace pkgtest;
namespace fs = std::filesystem;

std::vector<std::string> read_text_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// One drive on each driver route of the reference machine: in-box NVMe and AHCI, the maker's NVMe
// driver, RST, a SAT bridge on USB, UAS, NevoX, RSTe and an ATA drive behind the SAS controller.
struct Target {
  const char *drive, *model;
  sim::ImageTarget kind;
};
const Target kTargets[] = {
    {"B", "SIM NVME B", sim::ImageTarget::Nvme},     {"A", "SIM SATA A", sim::ImageTarget::Ata},
    {"C", "SIM NVME C", sim::ImageTarget::Nvme},     {"D", "SIM SATA D", sim::ImageTarget::Ata},
    {"F", "SIM SATA F", sim::ImageTarget::Ata},      {"G", "SIM NVME G", sim::ImageTarget::Nvme},
    {"PD5", "SIM NVME PD5", sim::ImageTarget::Nvme}, {"R6", "SIM NVME R6", sim::ImageTarget::Nvme},
    {"S1", "SIM SATA S1", sim::ImageTarget::Ata}};

TEST(GoldenTrace, SilentRunOnTheReferenceMachine) {
  if (!fs::exists(ORBU_EXE_PATH)) GTEST_SKIP() << "the tool is not built";
  temp_dir dir;
  std::vector<bytes> records;
  std::vector<entry> entries;
  for (const Target &t : kTargets) {
    const std::string name = std::string(t.drive) + ".img";
    records.push_back(monb_record(t.model, "SIM10001", "SIM10002", name));
    entries.emplace_back(name, sim::make_test_image(t.kind, "SIM10002", 20000));
  }
  entries.emplace_back("fwconfig", fwconfig(1, static_cast<uint8_t>(records.size()), concat(records)));
  write_file(dir.file("tool"), package_bytes(read_file(ORBU_EXE_PATH), entries));
  fs::permissions(dir.file("tool"), fs::perms::owner_all);
  const run_result r = run_shell("cd " + shell_quote(dir.path().string()) + " && ORBU_SIM_MACHINE=" +
                                 shell_quote(REF1_MACHINE_PATH) +
                                 " ORBU_SIM_TRACE_OUT=trace.jsonl ORBU_SIM_STATE_OUT= ORBU_SIM_UI_OUT="
                                 " timeout 60 ./tool /s /log=run.log");
  const std::vector<std::string> trace = read_text_lines(dir.file("trace.jsonl"));
  ASSERT_FALSE(trace.empty()) << "exit code " << r.exit_code << "\n" << r.output;

  const char *update = std::getenv("ORBU_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream out(GOLDEN_TRACE_PATH, std::ios::binary | std::ios::trunc);
    for (const std::string &line : trace) out << line << '\n';
    ASSERT_TRUE(out.good()) << "cannot write " << GOLDEN_TRACE_PATH;
    std::printf("rewrote %s (%zu requests)\n", GOLDEN_TRACE_PATH, trace.size());
    return;
  }
  const std::vector<std::string> golden = read_text_lines(GOLDEN_TRACE_PATH);
  ASSERT_FALSE(golden.empty()) << "no golden trace at " << GOLDEN_TRACE_PATH;
  for (size_t i = 0; i < std::min(trace.size(), golden.size()); ++i)
    if (golden[i] != trace[i])
      FAIL() << "first difference at line " << i + 1 << " of " << GOLDEN_TRACE_PATH << "\n  golden: " << golden[i]
             << "\n  run:    " << trace[i];
  EXPECT_EQ(golden.size(), trace.size()) << "the trace has a different number of requests";
}

}  // namespace

#endif

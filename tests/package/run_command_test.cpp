// The run command (scripts/run.sh) end to end on the tree's own build: it packs a package into the
// tool, runs it on a simulated machine and exits with the tool's exit code; its usage and refusals
// run nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/package/package_writer.h"

#if defined(ORBU_EXE_PATH) && defined(ORBU_PACK_PATH) && defined(ORBU_RUN_SCRIPT)

using namespace pkgtest;
namespace fs = std::filesystem;

namespace {

class RunCommand : public ::testing::Test {
 protected:
  // Runs the command from the temporary folder with the tree's programs (nothing installed or
  // built) and the run folder "run" inside it; `env` holds further variables.
  run_result run(const std::string &env, const std::string &args) {
    return run_shell("cd " + shell_quote(dir_.path().string()) +
                     " && unset ORBU_SIM_MACHINE ORBU_SIM_TRACE_OUT ORBU_SIM_UI_OUT"
                     " ORBU_SIM_STATE_OUT ORBU_SIM_DRIVE_TIMING ORBU_PACKAGE"
                     " && ORBU_RUN_BUILD_DIR=" +
                     shell_quote(ORBU_BUILD_DIR) + " ORBU_RUN_DIR=run " + env +
                     " timeout 100 bash " + shell_quote(ORBU_RUN_SCRIPT) + " " + args);
  }

  static void expect_has(const run_result &r, const std::string &text) {
    EXPECT_NE(std::string::npos, r.output.find(text)) << "no \"" << text << "\" in:\n" << r.output;
  }

  temp_dir dir_;
};

TEST_F(RunCommand, TheToolsExitCodeIsTheCommands) {
  const run_result updated = run("", "");
  EXPECT_EQ(0, updated.exit_code);
  expect_has(updated, "Successfully updated from firmware CN100001 to CN100002");
  expect_has(updated, "@nvme0     CORVANE CVN-512    CN100001   CN100002   -");
  expect_has(updated, "@sata0     CORVANE CVS-256    CS100001   CS100002   -");
  expect_has(updated, "----- exit code: 0 -----");

  // REF-1's drives are not the sample's: nothing applicable, silent generic.
  const run_result none = run("ORBU_SIM_MACHINE=" + shell_quote(std::string(ORBU_SAMPLES_DIR) +
                                                                "/../platform/machines/ref1.json"),
                              "");
  EXPECT_EQ(4, none.exit_code) << none.output;

  const run_result unloadable = run("ORBU_SIM_MACHINE=missing.json", "");
  EXPECT_EQ(1, unloadable.exit_code) << unloadable.output;
  expect_has(unloadable, "cannot load the simulated machine: machine file " + dir_.file("missing.json") + ": cannot open");
  // No machine ran, so no drive list: not a machine without drives.
  expect_has(unloadable, "(no drive states written)");
}

TEST_F(RunCommand, HelpAndRefusalsRunNothing) {
  for (const char *help : {"--help", "/debug -h"}) {
    const run_result r = run("", help);
    EXPECT_EQ(0, r.exit_code) << help;
    expect_has(r, "usage: bash scripts/run.sh");
    expect_has(r, "ORBU_PACKAGE");
  }
  // A word that is not an option would become part of the option before it.
  const run_result word = run("", "/debug s");
  EXPECT_EQ(64, word.exit_code);
  expect_has(word, "\"s\" does not begin with \"/\"");
  const run_result missing = run("ORBU_PACKAGE=missing.json", "");
  EXPECT_EQ(64, missing.exit_code);
  expect_has(missing, "ORBU_PACKAGE: no file " + dir_.file("missing.json"));
  EXPECT_FALSE(fs::exists(dir_.file("run")));
}

TEST_F(RunCommand, APackageOfOnesOwnAndTheLogItWrote) {
  // Only the SATA drive's record; paths from the caller's folder.
  const nlohmann::json description = {
      {"strategy", "monb"},
      {"records",
       {{{"model", "CORVANE CVS-256"},
         {"old_firmware", "CS100001"},
         {"new_firmware", "CS100002"},
         {"binary_name", "s"}}}},
      {"images", {{"s", std::string(ORBU_SAMPLES_DIR) + "/images/cvs256_cs100002.img"}}}};
  std::ofstream(dir_.file("own.json")) << description.dump();
  // The tool appends to its log: the page shows only this run's part.
  std::ofstream(dir_.file("own.log")) << "an older run\n";
  const run_result r = run("ORBU_PACKAGE=own.json", "/log=own.log");
  EXPECT_EQ(0, r.exit_code);
  expect_has(r, "@nvme0     CORVANE CVN-512    CN100001   CN100001   -");
  expect_has(r, "@sata0     CORVANE CVS-256    CS100001   CS100002   -");
  expect_has(r, "----- log: " + dir_.file("own.log") + " -----\nCorvane Field Update Tool");
  expect_has(r, "Successfully updated from firmware CS100001 to CS100002");
  EXPECT_EQ(std::string::npos, r.output.find("an older run")) << r.output;
}

}  // namespace

#endif

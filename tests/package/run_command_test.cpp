// The run command (scripts/run.sh) end to end on the tree's own build: it packs a package into the
// tool, runs it on a simulated machine and exits with the tool's exit code; its usage and refusals
// run nothing.
#include <gtest/gtest.h>

#include <unistd.h>

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
  // built) and the run folder "run" inside it; `env` holds further variables (and may end in a
  // command the script is run under).
  run_result run(const std::string &env, const std::string &args,
                 const std::string &script = ORBU_RUN_SCRIPT) {
    return run_shell("cd " + shell_quote(dir_.path().string()) +
                     " && unset ORBU_SIM_MACHINE ORBU_SIM_TRACE_OUT ORBU_SIM_UI_OUT"
                     " ORBU_SIM_STATE_OUT ORBU_SIM_DRIVE_TIMING ORBU_PACKAGE"
                     " CMAKE_BUILD_PARALLEL_LEVEL && ORBU_RUN_BUILD_DIR=" +
                     shell_quote(ORBU_BUILD_DIR) + " ORBU_RUN_DIR=run " + env +
                     " timeout 100 bash " + shell_quote(script) + " " + args);
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

  ASSERT_TRUE(fs::exists(dir_.file("run/state.json")));
  const run_result unloadable = run("ORBU_SIM_MACHINE=missing.json", "");
  EXPECT_EQ(1, unloadable.exit_code) << unloadable.output;
  expect_has(unloadable, "cannot load the simulated machine: machine file " + dir_.file("missing.json") + ": cannot open");
  // No machine ran, so no drive list: not a machine without drives, and no drive states or trace
  // of the run before, in the run folder or where the variables name them.
  expect_has(unloadable, "(no drive states written)");
  EXPECT_FALSE(fs::exists(dir_.file("run/state.json")));
  std::ofstream(dir_.file("states.json")) << "{}";
  std::ofstream(dir_.file("trace.jsonl")) << "{}\n";
  const run_result named = run("ORBU_SIM_MACHINE=missing.json ORBU_SIM_STATE_OUT=states.json"
                               " ORBU_SIM_TRACE_OUT=trace.jsonl", "");
  EXPECT_EQ(1, named.exit_code) << named.output;
  expect_has(named, "----- request trace: none written -----");
  EXPECT_FALSE(fs::exists(dir_.file("states.json")));
  EXPECT_FALSE(fs::exists(dir_.file("trace.jsonl")));
}

TEST_F(RunCommand, HelpAndRefusalsRunNothing) {
  for (const char *help : {"--help", "/debug -h"}) {
    const run_result r = run("", help);
    EXPECT_EQ(0, r.exit_code) << help;
    expect_has(r, "usage: bash scripts/run.sh");
    expect_has(r, "ORBU_PACKAGE");
    expect_has(r, "CMAKE_BUILD_PARALLEL_LEVEL\n                        the number of build jobs at once");
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

// A run folder that cannot be made, or written, is the run command's refusal, not the tool's
// "none updated" nor the package's fault.
TEST_F(RunCommand, ARunFolderThatCannotBeUsedRunsNothing) {
  std::ofstream(dir_.file("file")) << "x";
  const run_result unmade = run("ORBU_RUN_DIR=file/run", "");
  EXPECT_EQ(64, unmade.exit_code) << unmade.output;
  expect_has(unmade, "run.sh: cannot make the run folder " + dir_.file("file/run") +
                         ": Not a directory\nrun.sh: nothing was run");

  fs::create_directory(dir_.file("read-only"));
  fs::permissions(dir_.file("read-only"), fs::perms::owner_read | fs::perms::owner_exec);
  // The superuser writes anywhere unless the script runs without that privilege.
  const std::string as_user =
      geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search" : "";
  if (geteuid() == 0 && std::system("setpriv --help >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  const run_result read_only = run("ORBU_RUN_DIR=read-only " + as_user, "");
  EXPECT_EQ(64, read_only.exit_code) << read_only.output;
  expect_has(read_only, "run.sh: cannot write in the run folder " + dir_.file("read-only") +
                            "\nrun.sh: nothing was run");
  EXPECT_EQ(std::string::npos, read_only.output.find("refused the package")) << read_only.output;
  fs::permissions(dir_.file("read-only"), fs::perms::owner_all);
}

// The build side, on a copy of the scripts whose cmake, nproc and dpkg-query are stand-ins: the
// job count given to the build, and the build announced only when it has work. The stand-in
// builds nothing, so each run ends refusing the build tree without programs.
TEST_F(RunCommand, TheBuildsJobsAndItsAnnouncement) {
  const fs::path scripts = fs::path(ORBU_RUN_SCRIPT).parent_path();
  const fs::path root = dir_.path() / "root";
  fs::create_directories(root / "scripts");
  fs::create_directories(dir_.path() / "bin");
  for (const char *script : {"run.sh", "build.sh", "deps.sh"})
    fs::copy_file(scripts / script, root / "scripts" / script);
  const auto stand_in = [&](const char *name, const std::string &body) {
    std::ofstream(dir_.file(std::string("bin/") + name)) << "#!/bin/sh\n" << body;
    fs::permissions(dir_.file(std::string("bin/") + name), fs::perms::owner_all);
  };
  stand_in("cmake", "echo \"$*\" >>\"$STAND_IN_LOG\"\n"
                    "case \"$*\" in --build*) printf '%b' \"$STAND_IN_BUILD\";; esac\n");
  stand_in("nproc", "echo 5\n");
  stand_in("dpkg-query", "echo 'install ok installed'\n");
  const std::string checking = "[0/2] Re-checking globbed directories...\\n";
  const std::string building = "[1/2] Building CXX object tools/x.o\\n";
  const struct {
    bool configured;          // the tree has a build.ninja
    std::string build_output;  // what the stand-in build prints
    std::string level;         // CMAKE_BUILD_PARALLEL_LEVEL
    bool announced;
    std::string jobs;  // "" when nothing may be built
  } cases[] = {
      {false, building, "", true, "5"},
      {true, checking + "ninja: no work to do.\\n", "3", false, "3"},
      {true, checking + building, "3", true, "3"},
      {true, building, "0", false, ""},
      {true, building, "many", false, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.level + " " + c.build_output);
    fs::remove_all(root / "build");
    fs::create_directories(root / "build/native");
    if (c.configured) std::ofstream((root / "build/native/build.ninja").string());
    fs::remove(dir_.file("cmake.log"));
    const run_result r =
        run("ORBU_RUN_BUILD_DIR= PATH=" + shell_quote(dir_.file("bin")) + ":\"$PATH\"" +
                " STAND_IN_LOG=cmake.log STAND_IN_BUILD=" + shell_quote(c.build_output) +
                (c.level.empty() ? "" : " CMAKE_BUILD_PARALLEL_LEVEL=" + c.level) +
                " ORBU_PACKAGE=" + shell_quote(std::string(ORBU_SAMPLES_DIR) + "/monb-sample.json"),
            "", (root / "scripts/run.sh").string());
    EXPECT_EQ(64, r.exit_code) << r.output;
    const std::string announcement = "run.sh: building the tool and its packer (orbu, orbu_pack) into " +
                                     (root / "build/native").string() + ", " + c.jobs + " jobs at once";
    EXPECT_EQ(c.announced, r.output.find(announcement) != std::string::npos) << r.output;
    // The check of the source lists is shown only with a build that has work.
    EXPECT_EQ(c.announced && c.build_output.find("Re-checking") != std::string::npos,
              r.output.find("Re-checking") != std::string::npos)
        << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("no work to do")) << r.output;
    std::ifstream log(dir_.file("cmake.log"));
    const std::string calls((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (c.jobs.empty()) {
      expect_has(r, "CMAKE_BUILD_PARALLEL_LEVEL: \"" + c.level + "\" is not a number of build jobs");
      EXPECT_EQ("", calls);
    } else {
      expect_has(r, "run.sh: the build: " + (root / "build/native").string() + " has no orbu/orbu");
      EXPECT_NE(std::string::npos, calls.find("--build " + (root / "build/native").string() + " -j " +
                                              c.jobs + " --target orbu orbu_pack"))
          << calls;
    }
  }
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

// Whole runs of the packaged native tool whose window waits for a user nobody plays: the machine
// ends them with its own exit code, a line naming the window, and every output written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/drives/fw_image.h"
#include "sim/run_outputs.h"
#include "tests/package/package_writer.h"

#ifdef ORBU_EXE_PATH

namespace {

using json = nlohmann::json;
using namespace pkgtest;
namespace fs = std::filesystem;

class StuckRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(ORBU_EXE_PATH)) GTEST_SKIP() << "the tool is not built";
  }

  // The generic package that updates the one NVMe drive from CV1A0100 to CV1A0200, run with its
  // window on a machine with this ui section (none when null). A run that outlives the shell's
  // time-out is killed (exit code 124).
  int run(const json &ui, const std::string &args = "") {
    const bytes image = sim::make_test_image(sim::ImageTarget::Nvme, "CV1A0200", 20000);
    const bytes config = fwconfig(1, 1, monb_record("CORVANE CVN-512", "CV1A0100", "CV1A0200", "a"));
    write_file(dir_.file("tool"), package_bytes(read_file(ORBU_EXE_PATH), {{"a", image}, {"fwconfig", config}}));
    fs::permissions(dir_.file("tool"), fs::perms::owner_all);
    json machine = {
        {"storage",
         {{"drives",
           {{{"id", "n"},
             {"nvme", {{"model", "CORVANE CVN-512"}, {"serial", "S1"}, {"firmware", "CV1A0100"},
                       {"activation", "commit"}}}}}},
          {"adapters", {{{"id", "a"}, {"personality", "inbox_nvme"}}}},
          {"disks", {{{"adapter", "a"}, {"drive", "n"}}}}}}};
    if (!ui.is_null()) machine["ui"] = ui;
    const std::string text = machine.dump();
    write_file(dir_.file("machine.json"), bytes(text.begin(), text.end()));
    const run_result r = run_shell("cd " + shell_quote(dir_.path().string()) +
                                   " && ORBU_SIM_MACHINE=machine.json ORBU_SIM_TRACE_OUT=trace.jsonl"
                                   " ORBU_SIM_STATE_OUT=state.json ORBU_SIM_UI_OUT=ui.jsonl timeout 10 ./tool" +
                                   args);
    output_ = r.output;
    std::ifstream state(dir_.file("state.json"));
    state_ = json::parse(state, nullptr, false);
    std::ifstream ui_lines(dir_.file("ui.jsonl"));
    for (std::string line; std::getline(ui_lines, line);) ui_.push_back(json::parse(line));
    return r.exit_code;
  }

  // The line that names the window waiting for a user.
  void expect_window_named() const {
    EXPECT_NE(std::string::npos,
              output_.find("the window \"DriveMender - v6.16.1\" (class \"DesktopApplicationMainWindow\") "
                           "waits for a user"))
        << output_;
  }

  temp_dir dir_;
  std::string output_;
  json state_;
  std::vector<json> ui_;
};

// "/S" is no option of the tool (options are case-sensitive): the window opens, and nothing
// presses anything.
TEST_F(StuckRun, WindowWithoutAScriptEndsWithTheMachinesCode) {
  EXPECT_EQ(sim::kStuckRunExitCode, run(nullptr, " /S")) << output_;
  expect_window_named();
  EXPECT_NE(std::string::npos, output_.find("buttons that can be pressed: \"Start\" (id 0), \"Exit\" (id 99)"))
      << output_;
  EXPECT_NE(std::string::npos, output_.find("the machine has no ui script")) << output_;
  // The outputs are written as at a normal end: the drive was read and left alone.
  ASSERT_TRUE(state_.is_object()) << output_;
  EXPECT_EQ("CV1A0100", state_["drives"][0]["revision"]);
  EXPECT_FALSE(ui_.empty());
  EXPECT_TRUE(fs::exists(dir_.file("trace.jsonl")));
}

// The run waits for Start until its moment, then updates the drive, then waits for an Exit that
// never comes; a step whose condition never holds does not keep it alive.
TEST_F(StuckRun, StartWithoutExitEndsAfterTheUpdate) {
  EXPECT_EQ(sim::kStuckRunExitCode,
            run({{{"click", "Start"}, {"when", {{"after_ms", 1000}}}}, {{"click", "Exit"}, {"when", {{"text", "never"}}}}}))
      << output_;
  expect_window_named();
  EXPECT_NE(std::string::npos, output_.find("ui steps that can never fire now: ui[1]")) << output_;
  ASSERT_TRUE(state_.is_object()) << output_;
  EXPECT_EQ("CV1A0200", state_["drives"][0]["revision"]);
  ASSERT_FALSE(ui_.empty());
  EXPECT_EQ("script", ui_.back()["event"]);
  EXPECT_EQ(3601000u, ui_.back()["time_ms"]);
}

// Start is the script's only step: once it has fired and the update is done, the window waits for
// an Exit nobody presses.
TEST_F(StuckRun, EveryStepFiredEndsAfterTheUpdate) {
  EXPECT_EQ(sim::kStuckRunExitCode, run({{{"click", "Start"}}})) << output_;
  expect_window_named();
  EXPECT_NE(std::string::npos, output_.find("every step of the ui script has fired")) << output_;
  ASSERT_TRUE(state_.is_object()) << output_;
  EXPECT_EQ("CV1A0200", state_["drives"][0]["revision"]);
}

}  // namespace

#endif

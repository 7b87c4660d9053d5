// Whole runs of the program on the simulated machine (no package, no devices): start-up, log
// file, options, window, early failures and the thread and mutex faults.
#include <gtest/gtest.h>

#include <string>

#include "huld/huld_log.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_threads.h"
#include "run_harness.h"
#include "sim/window.h"

namespace {

using orbu_test::find_in_order;
using orbu_test::lines_of;
using orbu_test::Observations;
using orbu_test::run_program;
using orbu_test::RunResult;
using orbu_test::RunSpec;

// Records the log level and the top-level windows the program created.
void observe_run(Observations &seen) {
  seen["level"] = std::to_string(huld_log_level);
  int windows = 0;
  for (const sim::Event &event : sim::history()) {
    if (event.kind != sim::EventKind::created || event.parent != nullptr) continue;
    windows++;
    auto info = sim::window_info(event.hwnd);
    if (!info) continue;
    seen["class"] = info->class_name;
    seen["title"] = info->text;
    seen["width"] = std::to_string(info->rect.right - info->rect.left);
    seen["height"] = std::to_string(info->rect.bottom - info->rect.top);
    seen["style"] = std::to_string(info->style);
    seen["destroyed"] = info->destroyed ? "1" : "0";
    for (const sim::WindowInfo &child : sim::controls(event.hwnd)) {
      if (child.id == 99) {
        seen["exit_text"] = child.text;
        seen["exit_rect"] = std::to_string(child.rect.left) + "," + std::to_string(child.rect.top) +
                            "," + std::to_string(child.rect.right - child.rect.left) + "," +
                            std::to_string(child.rect.bottom - child.rect.top);
        seen["exit_visible"] = child.visible ? "1" : "0";
      }
      if (child.class_name == "Static" && child.rect.left == 30 && child.rect.top == 10)
        seen["header"] = child.text;
    }
  }
  seen["windows"] = std::to_string(windows);
  seen["icc"] = std::to_string(sim::common_controls_initialised());
}

RunResult run(const std::string &line, std::function<void(sim::AppKnobs &)> knobs = nullptr,
              std::vector<std::string> files = {"corvaneupdlog.txt"}) {
  RunSpec spec;
  spec.command_line = line;
  spec.knobs = std::move(knobs);
  spec.after = observe_run;
  spec.files = std::move(files);
  RunResult result = run_program(spec);
  EXPECT_EQ(result.failure, "") << "command line: " << line;
  return result;
}

// The last non-empty log line is the end time stamp.
void expect_ends_with_timestamp(const std::string &log) {
  const std::vector<std::string> lines = lines_of(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("End Timestamp: ", 0), 0u) << lines.back();
}

const std::vector<std::string> fallback_lines = {
    "Failed to unpack configuration from the binary.",
    "The application will handle configuration only via the CLI.",
    "If embedded configuration is intended, please ensure your file has not become corrupted.",
};

TEST(OrbuRun, WindowRunWithoutPackageLogsEverythingInOrder) {
  RunResult r = run("/T:\\\\.\\PhysicalDrive1 /FIA");
  EXPECT_EQ(r.exit_code, 1);  // Duzori: nothing applicable is a failure
  ASSERT_TRUE(r.has_file("corvaneupdlog.txt"));
  std::vector<std::string> expected = {
      "Corvane Field Update Tool version 1.16.1",
      "Start Timestamp: ",
      "Command Line: /T:\\\\.\\PhysicalDrive1 /FIA",
      "Modified Command Line: /T:\\\\.\\PhysicalDrive1 /FIA",
  };
  expected.insert(expected.end(), fallback_lines.begin(), fallback_lines.end());
  const std::vector<std::string> rest = {
      "Update Configuration",
      "    Customer: Duzori",
      "    Options:",
      "        Log Path:          Unspecified",
      "        Binary:            Embedded",
      "        Target:            \\\\.\\PhysicalDrive1",
      "        SCSI Port:         Embedded",
      "        SAS Address:       Embedded",
      "        Internal Release:  0",
      "        Firmware Activate: 1",
      "    Strategy: CLI",
      "Device update control thread started.",
      "Disabling Exit button and Close control during update.",
      "Device 0 skipped, device was not ready for update.",  // the default machine's two drives
      "Device 1 skipped, device was not ready for update.",
      "Enabling Exit button and Close control now that updates are complete.",
      "Sending a message to shut down the GUI now that updates are complete.",
      "User has selected to exit via standard window destruction.",
      "Device update control thread completed.",
      "Update application complete.",
      "    0 devices require reboot to activate firmware.",
      "    0 devices updated successfully.",
      "    1 devices failed to update.",  // the target, without an image
      "    1 devices were not appropriate for update.",
      "Tool was unsuccessful in updating applicable device firmware.",
      "Please ensure that your device is appropriate for firmware update.",
      "End Timestamp: ",
  };
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(find_in_order(r.log(), expected), "") << r.log();
  // The package reader runs before the log exists: nothing precedes the banner.
  EXPECT_EQ(r.log().rfind("Corvane Field Update Tool version 1.16.1\n", 0), 0u);
  expect_ends_with_timestamp(r.log());
  EXPECT_EQ(r.log().find("Firmware Binary"), std::string::npos);
  EXPECT_EQ(r.seen["level"], "20");
}

TEST(OrbuRun, DuzoriWindowHasItsTitleHeightAndFixedControlsAndClosesItself) {
  RunResult r = run("");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.seen["windows"], "1");
  EXPECT_EQ(r.seen["class"], "DesktopApplicationMainWindow");
  EXPECT_EQ(r.seen["title"], "corvupdater - v3.16.1");
  EXPECT_EQ(r.seen["width"], "530");
  EXPECT_EQ(r.seen["height"], "147");  // row height 30 + 117, no device rows
  EXPECT_EQ(std::stoul(r.seen["style"]) & ~static_cast<unsigned long>(WS_VISIBLE), 0x00CA0000ul);
  EXPECT_EQ(r.seen["destroyed"], "1");
  EXPECT_EQ(r.seen["exit_text"], "Exit");
  EXPECT_EQ(r.seen["exit_rect"], "400,55,100,25");
  EXPECT_EQ(r.seen["exit_visible"], "1");
  EXPECT_EQ(r.seen["header"], "The following devices were detected:");
  EXPECT_EQ(std::stoul(r.seen["icc"]) & ICC_PROGRESS_CLASS, static_cast<unsigned long>(ICC_PROGRESS_CLASS));
}

TEST(OrbuRun, HiddenStartStillBuildsControlsAndFinishes) {
  RunResult r = run("", [](sim::AppKnobs &k) { k.no_show_window_message = true; });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.seen["exit_text"], "Exit");
  EXPECT_EQ(r.seen["destroyed"], "1");
  EXPECT_EQ(find_in_order(r.log(), {"Device update control thread completed.",
                                    "Update application complete.", "End Timestamp: "}),
            "");
}

TEST(OrbuRun, LogOptionTakesPathsWithBlanksAndQuotes) {
  {
    RunResult r = run("/s /log=my run log.txt /debug", nullptr,
                      {"corvaneupdlog.txt", "my run log.txt"});
    EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
    ASSERT_TRUE(r.has_file("my run log.txt"));
    EXPECT_EQ(find_in_order(r.files["my run log.txt"],
                            {"Command Line: /s /log=my run log.txt /debug",
                             "        Log Path:          my run log.txt", "End Timestamp: "}),
              "");
    EXPECT_EQ(r.seen["level"], "40");
    EXPECT_EQ(r.seen["windows"], "0");
  }
  {
    RunResult r = run("/log=\"quoted name.txt\"", nullptr, {"corvaneupdlog.txt", "quoted name.txt"});
    EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
    ASSERT_TRUE(r.has_file("quoted name.txt"));
    EXPECT_EQ(find_in_order(r.files["quoted name.txt"],
                            {"        Log Path:          quoted name.txt"}),
              "");
    EXPECT_EQ(r.seen["level"], "20");
  }
}

TEST(OrbuRun, SilentOptionsRunWithoutWindowAndKeepTheDefaultLog) {
  for (const char *line : {"/s", "/A", "/debug /A"}) {
    SCOPED_TRACE(line);
    RunResult r = run(line);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.seen["windows"], "0");
    ASSERT_TRUE(r.has_file("corvaneupdlog.txt"));
    EXPECT_EQ(find_in_order(r.log(), {"Device update control thread started.",
                                      "Device update control thread completed.",
                                      "Update application complete.", "End Timestamp: "}),
              "");
    EXPECT_EQ(r.log().find("Sending a message to shut down the GUI"), std::string::npos);
  }
  // Neither is silent unless it is the whole option.
  for (const char *line : {"/S", "/Aa", "/s  /debug"}) {
    SCOPED_TRACE(line);
    RunResult r = run(line);
    EXPECT_EQ(r.seen["windows"], "1");
  }
}

TEST(OrbuRun, CommandLineConfigurationBlockIsExact) {
  const std::string line =
      "/s /log=a b.txt /D:\"x y.bin\" /T:\\\\.\\PhysicalDrive2 /C:3,500A /FIA";
  RunResult r = run(line, nullptr, {"corvaneupdlog.txt", "a b.txt"});
  EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
  ASSERT_TRUE(r.has_file("a b.txt"));
  const std::string &log = r.files["a b.txt"];
  const std::string block =
      "If embedded configuration is intended, please ensure your file has not become corrupted.\n"
      "Update Configuration\n"
      "    Customer: Duzori\n"
      "    Options:\n"
      "        Log Path:          a b.txt\n"
      "        Binary:            \"x y.bin\"\n"
      "        Target:            \\\\.\\PhysicalDrive2\n"
      "        SCSI Port:         3\n"
      "        SAS Address:       500A\n"
      "        Internal Release:  0\n"
      "        Firmware Activate: 1\n"
      "    Strategy: CLI\n";
  const size_t at = log.find(block);
  ASSERT_NE(at, std::string::npos) << log;
  ASSERT_LT(at + block.size(), log.size());
  EXPECT_NE(log[at + block.size()], ' ') << log.substr(at + block.size());
  EXPECT_EQ(find_in_order(log, {"Command Line: " + line, "Modified Command Line: " + line}), "");
}

TEST(OrbuRun, DroppedFileGetsTheImageOption) {
  RunResult r = run("C:\\fw\\image.bin /s");
  EXPECT_EQ(find_in_order(r.log(), {"Command Line: C:\\fw\\image.bin /s",
                                    "Modified Command Line: /D:C:\\fw\\image.bin /s",
                                    "        Binary:            C:\\fw\\image.bin"}),
            "");
}

TEST(OrbuRun, WindowFailuresEndEarlyWithTheFailureCode) {
  struct Case {
    const char *name;
    std::function<void(sim::AppKnobs &)> knobs;
    const char *line;
  };
  const Case cases[] = {
      {"class", [](sim::AppKnobs &k) { k.fail_register_class = true; },
       "Failed to initialize the graphical user interface."},
      {"window", [](sim::AppKnobs &k) { k.fail_create_window = true; },
       "Failed to create the graphical user interface."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = run("", c.knobs);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(find_in_order(r.log(), {"    Strategy: CLI", c.line,
                                      "Please run the update in silent mode by appending /s to "
                                      "the command line.",
                                      "End Timestamp: "}),
              "")
        << r.log();
    expect_ends_with_timestamp(r.log());
    EXPECT_EQ(r.log().find("Update application complete."), std::string::npos);
    EXPECT_EQ(r.log().find("control thread"), std::string::npos);
  }
}

TEST(OrbuRun, MutexCreationFailures) {
  // The device-table mutex (the second one) missing: no table, no run.
  {
    RunResult r = run("/s", [](sim::AppKnobs &k) { k.fail_mutex_create_at = 2; });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(find_in_order(r.log(), {"    Strategy: CLI",
                                      "Insufficient resources to initialize application.",
                                      "End Timestamp: "}),
              "");
    expect_ends_with_timestamp(r.log());
    EXPECT_EQ(r.log().find("control thread"), std::string::npos);
  }
  // The log mutex missing: the run goes on without any log, even with "/debug".
  {
    RunResult r = run("/debug", [](sim::AppKnobs &k) { k.fail_mutex_create_at = 1; });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
    EXPECT_EQ(r.seen["level"], "0");
    EXPECT_EQ(r.seen["destroyed"], "1");
  }
}

TEST(OrbuRun, LogMutexWaitResults) {
  // Waits are counted per log text: 1 banner, 2 start time stamp, 3 command line.
  {
    RunResult r = run("/s", [](sim::AppKnobs &k) { k.abandon_mutex_wait_at = 3; });
    EXPECT_EQ(find_in_order(r.log(), {"Start Timestamp", "Command Line: /s",
                                      "Modified Command Line: /s", "End Timestamp: "}),
              "");
  }
  {
    RunResult r = run("/s", [](sim::AppKnobs &k) { k.fail_mutex_wait_at = 3; });
    EXPECT_EQ(r.log().find("\nCommand Line: "), std::string::npos);
    EXPECT_EQ(find_in_order(r.log(), {"Start Timestamp", "Modified Command Line: /s",
                                      "End Timestamp: "}),
              "");
  }
}

TEST(OrbuRun, ControlThreadThatCannotStartIsReportedAndTheRunEnds) {
  {
    RunResult r = run("/s", [](sim::AppKnobs &k) { k.fail_thread_create_at = 1; });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(find_in_order(r.log(), {"Failed to start the device update control thread.",
                                      "Update application complete.", "End Timestamp: "}),
              "");
  }
  {
    RunResult r = run("", [](sim::AppKnobs &k) { k.fail_thread_create_at = 1; });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.seen["destroyed"], "1");  // the Duzori window still closes by itself
    EXPECT_EQ(find_in_order(r.log(), {"Failed to start the device update control thread.",
                                      "User has selected to exit via standard window destruction.",
                                      "End Timestamp: "}),
              "");
  }
}

TEST(OrbuRun, ReadyDevicesFailWhenTheControlThreadCannotStart) {
  RunSpec spec;
  spec.knobs = [](sim::AppKnobs &k) { k.fail_thread_create_at = 1; };
  spec.body = [](Observations &seen) {
    constexpr uint32_t R = ORBU_STATE_READY, N = ORBU_STATE_NOT_APPLICABLE;
    static orbu_device_update records[3];
    const uint32_t states[] = {R, N, R};
    for (int i = 0; i < 3; i++) records[i].state.store(states[i]);
    orbu_device_table = {3, records};
    seen["started"] = orbu_start_control_thread() ? "1" : "0";
    orbu_join_update_threads();
    for (int i = 0; i < 3; i++) {
      seen["state" + std::to_string(i)] = std::to_string(records[i].state.load());
      seen["progress" + std::to_string(i)] = std::to_string(records[i].progress.load());
    }
    return 0;
  };
  RunResult r = run_program(spec);
  EXPECT_EQ(r.failure, "");
  EXPECT_EQ(r.seen["started"], "0");
  EXPECT_EQ(r.seen["state0"], std::to_string(ORBU_STATE_FAILED));
  EXPECT_EQ(r.seen["state1"], std::to_string(ORBU_STATE_NOT_APPLICABLE));
  EXPECT_EQ(r.seen["state2"], std::to_string(ORBU_STATE_FAILED));
  EXPECT_EQ(r.seen["progress0"], std::to_string(1.0));
  EXPECT_EQ(r.seen["progress1"], std::to_string(0.0));
}

}  // namespace

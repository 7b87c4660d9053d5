// Whole runs with an embedded package: customer variants, their window and title, the silent
// package without a log, and the package that fails its consistency check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "huld/huld_log.h"
#include "run_harness.h"
#include "sim/window.h"
#include "tests/package/package_writer.h"

namespace {

using orbu_test::find_in_order;
using orbu_test::Observations;
using orbu_test::run_program;
using orbu_test::RunResult;
using orbu_test::RunSpec;

constexpr const char *kClass = "DesktopApplicationMainWindow";

struct Package {
  uint8_t strategy = 1;
  uint8_t customer = 0;
  uint8_t internal_release = 0;
  uint8_t silent = 0;
  bool with_config = true;
  std::string record_binary = "fw1";
};

// Writes the package behind a small carrier file and returns its path.
std::string write_package(const pkgtest::temp_dir &dir, const Package &p) {
  std::vector<pkgtest::entry> entries;
  if (p.with_config) {
    entries.push_back({"fwconfig",
                       pkgtest::fwconfig(p.strategy, 1,
                                         pkgtest::monb_record("MODEL-1", "OLD1", "NEW1",
                                                              p.record_binary),
                                         p.customer, p.internal_release, p.silent),
                       {}, {}});
  }
  entries.push_back({"fw1", pkgtest::pattern(16, 7), {}, {}});
  const std::string path = dir.file("update.exe");
  pkgtest::write_file(path, pkgtest::package_bytes(pkgtest::pattern(100, 1), entries));
  return path;
}

void observe_window(Observations &seen) {
  seen["level"] = std::to_string(huld_log_level);
  int windows = 0;
  for (const sim::Event &event : sim::history()) {
    if (event.kind != sim::EventKind::created || event.parent != nullptr) continue;
    windows++;
    auto info = sim::window_info(event.hwnd);
    if (!info) continue;
    seen["title"] = info->text;
    seen["height"] = std::to_string(info->rect.bottom - info->rect.top);
    seen["destroyed"] = info->destroyed ? "1" : "0";
    for (const sim::WindowInfo &child : sim::controls(event.hwnd)) {
      if (child.class_name == "Static" && child.rect.left == 30 && child.rect.top == 10)
        seen["header"] = child.text;
      if (child.class_name == "Static" && child.rect.left == 30 && child.rect.top == 30)
        seen["backup"] = child.text;
    }
  }
  seen["windows"] = std::to_string(windows);
}

// True once the Exit button was disabled and then enabled again (the control thread ran).
bool control_thread_finished() {
  bool disabled = false;
  for (const sim::Event &event : sim::history()) {
    // A button created disabled counts as disabled from its creation.
    if (event.kind == sim::EventKind::created && event.id == 99 && (event.value & WS_DISABLED) != 0)
      disabled = true;
    if (event.kind != sim::EventKind::enabled || event.id != 99) continue;
    if (event.value == 0) disabled = true;
    if (event.value == 1 && disabled) return true;
  }
  return false;
}

// Waits for the window and its Exit button, notes what the test asks for, then presses Exit.
void press_exit(Observations &seen, bool wait_for_control_thread) {
  HWND window = sim::wait_for_window_class(kClass, 10000);
  if (window == nullptr) {
    seen["driver"] = "no window";
    return;
  }
  if (!sim::wait_until([&] { return sim::control(window, 99).has_value(); }, 10000)) {
    seen["driver"] = "no Exit button";
    sim::post_close();
    return;
  }
  if (wait_for_control_thread)
    seen["auto_started"] = sim::wait_until(control_thread_finished, 10000) ? "1" : "0";
  for (const sim::WindowInfo &child : sim::controls(window)) {
    if (child.class_name == "Static" && child.rect.left == 30 && child.rect.top == 10) {
      sim::CtlColour colour = sim::ctl_colour_static(child.hwnd);
      seen["header_red"] = colour.dc.text_colour_set && colour.dc.text_colour == RGB(255, 0, 0)
                               ? "1"
                               : "0";
    }
  }
  seen["clicked"] = sim::click(99) ? "1" : "0";
  if (seen["clicked"] != "1") sim::post_close();
}

RunResult run_with(const Package &p, const std::string &line,
                   std::function<void(Observations &)> driver,
                   std::vector<std::string> files = {"corvaneupdlog.txt"}) {
  pkgtest::temp_dir dir;
  const std::string path = write_package(dir, p);
  RunSpec spec;
  spec.command_line = line;
  spec.knobs = [path](sim::AppKnobs &k) { k.module_path = path; };
  spec.driver = std::move(driver);
  spec.after = observe_window;
  spec.files = std::move(files);
  RunResult r = run_program(spec);
  EXPECT_EQ(r.failure, "");
  return r;
}

TEST(OrbuPackageRun, DediStartsByItselfAndWaitsForExit) {
  Package p;
  p.customer = 2;
  RunResult r = run_with(p, "", [](Observations &seen) { press_exit(seen, true); });
  EXPECT_EQ(r.exit_code, 0);  // Dedi: nothing applicable is success
  EXPECT_EQ(r.seen["auto_started"], "1");
  EXPECT_EQ(r.seen["clicked"], "1");
  EXPECT_EQ(r.seen["title"], "Corvane Field Update Tool - v1.16.1");
  EXPECT_EQ(r.seen["height"], "257");  // two rows: the default machine's drives, not applicable
  EXPECT_EQ(r.seen["header_red"], "0");
  EXPECT_EQ(r.seen.count("backup"), 0u);
  EXPECT_EQ(find_in_order(r.log(),
                          {"Modified Command Line: ", "Detected embedded binary configuration.",
                           "This application will not accept further update configuration via "
                           "the CLI.",
                           "    Customer: Dedi", "        Firmware Activate: 1", "    Strategy: monb",
                           "    Strategy Data 0", "        Model: MODEL-1", "        Old:   OLD1",
                           "        New:   NEW1", "        Name:  fw1", "    Firmware Binary 0",
                           "        Name: fw1", "        Size: 16",
                           "Enabling Exit button and Close control now that updates are complete.",
                           "Button clicked - 0063h.",
                           "User has selected to exit via the exit control.",
                           "User has selected to exit via standard window destruction.",
                           "Update application complete.", "End Timestamp: "}),
            "")
      << r.log();
  // The control thread is joined before the summary, so its last line comes first.
  EXPECT_EQ(find_in_order(r.log(), {"Device update control thread completed.",
                                    "Update application complete."}),
            "");
  EXPECT_EQ(r.log().find("Failed to unpack configuration"), std::string::npos);
  EXPECT_EQ(r.log().find("Sending a message to shut down the GUI"), std::string::npos);
}

TEST(OrbuPackageRun, GenericWindowWaitsForExitAndWarns) {
  Package p;
  RunResult r = run_with(p, "", [](Observations &seen) { press_exit(seen, false); });
  EXPECT_EQ(r.exit_code, 0);  // generic window: nothing applicable is success
  EXPECT_EQ(r.seen["title"], "DriveMender - v6.16.1");
  EXPECT_EQ(r.seen["height"], "277");  // row height 50 + 117 + two rows not applicable
  EXPECT_EQ(r.seen["header"],
            "Ensure devices are connected to a stable power source before updating.");
  EXPECT_EQ(r.seen["header_red"], "1");
  EXPECT_EQ(r.seen["backup"],
            "Back up your device prior to firmware update to avoid risk of data loss.");
  EXPECT_EQ(r.log().find("control thread"), std::string::npos);  // no automatic start
  EXPECT_EQ(find_in_order(r.log(), {"    Customer: Generic", "Button clicked - 0063h.",
                                    "Tool could not detect any applicable device firmware",
                                    "End Timestamp: "}),
            "");

  // An engineering release says so in red, whatever the variant. The Close control of the
  // system menu closes the window as Exit does.
  p.internal_release = 1;
  r = run_with(p, "", [](Observations &seen) {
    HWND window = sim::wait_for_window_class(kClass, 10000);
    if (window == nullptr || !sim::wait_until([&] { return sim::control(window, 99).has_value(); },
                                              10000)) {
      sim::post_close();
      return;
    }
    for (const sim::WindowInfo &child : sim::controls(window)) {
      if (child.class_name == "Static" && child.rect.left == 30 && child.rect.top == 10) {
        sim::CtlColour colour = sim::ctl_colour_static(child.hwnd);
        seen["header_red"] = colour.dc.text_colour == RGB(255, 0, 0) ? "1" : "0";
      }
    }
    seen["closed"] = sim::system_close() ? "1" : "0";
    if (seen["closed"] != "1") sim::post_close();
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.seen["closed"], "1");
  EXPECT_EQ(r.seen["destroyed"], "1");
  EXPECT_EQ(r.seen["header"], "Engineering Release - INTERNAL USE ONLY");
  EXPECT_EQ(r.seen["header_red"], "1");
  EXPECT_EQ(find_in_order(r.log(), {"        Internal Release:  1"}), "");
}

TEST(OrbuPackageRun, SilentPackageWritesNoDefaultLog) {
  Package p;
  p.silent = 1;
  RunResult r = run_with(p, "/debug", nullptr, {"corvaneupdlog.txt", "chosen.txt"});
  EXPECT_EQ(r.exit_code, 4);  // generic silent: nothing applicable
  EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
  EXPECT_EQ(r.seen["level"], "0");
  EXPECT_EQ(r.seen["windows"], "0");

  r = run_with(p, "/log=chosen.txt", nullptr, {"corvaneupdlog.txt", "chosen.txt"});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_FALSE(r.has_file("corvaneupdlog.txt"));
  ASSERT_TRUE(r.has_file("chosen.txt"));
  EXPECT_EQ(find_in_order(r.files["chosen.txt"],
                          {"Detected embedded binary configuration.",
                           "Device update control thread completed.", "End Timestamp: "}),
            "");
}

TEST(OrbuPackageRun, InconsistentPackagesStopEarly) {
  Package missing_image;
  missing_image.record_binary = "absent";
  Package no_config;
  no_config.with_config = false;
  for (const Package &p : {missing_image, no_config}) {
    RunResult r = run_with(p, "", nullptr);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.seen["windows"], "0");
    EXPECT_EQ(find_in_order(r.log(),
                            {"Detected embedded binary configuration.", "Update Configuration",
                             "Update application failed early due to issues with binary "
                             "consistency.",
                             "This update package is malformed, please ensure your file has not "
                             "become corrupted.",
                             "End Timestamp: "}),
              "")
        << r.log();
    EXPECT_EQ(r.log().find("Update application complete."), std::string::npos);
  }
}

// The configuration block byte for byte (blanks, line ends, record lines) for every strategy: the
// block follows the mode lines and is followed by no further indented line.
TEST(OrbuPackageRun, ConfigurationBlockIsExactForEveryStrategy) {
  const std::string options_block =
      "    Options:\n"
      "        Log Path:          Unspecified\n"
      "        Binary:            Embedded\n"
      "        Target:            Embedded\n"
      "        SCSI Port:         Embedded\n"
      "        SAS Address:       Embedded\n"
      "        Internal Release:  1\n"
      "        Firmware Activate: 1\n";
  const std::string images_block =
      "    Firmware Binary 0\n"
      "        Name: fw1\n"
      "        Size: 16\n"
      "    Firmware Binary 1\n"
      "        Name: fw2\n"
      "        Size: 5\n";
  struct Case {
    const char *name;
    uint8_t strategy;
    uint8_t customer;
    pkgtest::bytes records;
    std::string customer_line;
    std::string strategy_lines;
  };
  const Case cases[] = {
      {"monb", 1, 1,
       pkgtest::concat({pkgtest::monb_record("MODEL-A", "OLD-A", "NEW-A", "fw1"),
                        pkgtest::monb_record("MODEL-B", "OLD-B", "NEW-B", "fw2")}),
       "    Customer: Duzori\n",
       "    Strategy: monb\n"
       "    Strategy Data 0\n"
       "        Model: MODEL-A\n"
       "        Old:   OLD-A\n"
       "        New:   NEW-A\n"
       "        Name:  fw1\n"
       "    Strategy Data 1\n"
       "        Model: MODEL-B\n"
       "        Old:   OLD-B\n"
       "        New:   NEW-B\n"
       "        Name:  fw2\n"},
      {"monmb", 2, 0, pkgtest::monmb_record("MODEL-A", "OLD-A", "NEW-A", "MODEL-B", "fw2"),
       "    Customer: Generic\n",
       "    Strategy: monmb\n"
       "    Strategy Data 0\n"
       "        Model:     MODEL-A\n"
       "        Old:       OLD-A\n"
       "        New:       NEW-A\n"
       "        New Model: MODEL-B\n"
       "        Name:      fw2\n"},
      {"dedicidonb", 3, 2, pkgtest::dedicidonb_record("CID-1234", "OLD-A", "NEW-A", "fw1"),
       "    Customer: Dedi\n",
       "    Strategy: dedicidonb\n"
       "    Strategy Data 0\n"
       "        CID:  CID-1234\n"
       "        Old:  OLD-A\n"
       "        New:  NEW-A\n"
       "        Name: fw1\n"},
      {"dfmonmb", 4, 3,
       pkgtest::dfmonmb_record(0x1234, "MODEL-*", "FW?1", "FW22", "MODEL-B", "fw1"),
       "    Customer: Generic\n",
       "    Strategy: dfmonmb\n"
       "    Strategy Data 0\n"
       "        Model:     MODEL-*\n"
       "        New Model: MODEL-B\n"
       "        Name:      fw1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    pkgtest::temp_dir dir;
    const uint8_t count = c.strategy == 1 ? 2 : 1;
    const std::vector<pkgtest::entry> entries = {
        {"fwconfig", pkgtest::fwconfig(c.strategy, count, c.records, c.customer, 1, 1), {}, {}},
        {"fw1", pkgtest::pattern(16, 7), {}, {}},
        {"fw2", pkgtest::pattern(5, 9), {}, {}},
    };
    const std::string path = dir.file("update.exe");
    pkgtest::write_file(path, pkgtest::package_bytes(pkgtest::pattern(100, 1), entries));
    RunSpec spec;
    spec.command_line = "/log=run.txt";
    spec.knobs = [path](sim::AppKnobs &k) { k.module_path = path; };
    spec.files = {"run.txt"};
    RunResult r = run_program(spec);
    EXPECT_EQ(r.failure, "");
    ASSERT_TRUE(r.has_file("run.txt"));
    const std::string &log = r.files["run.txt"];
    std::string block = "Update Configuration\n" + c.customer_line + options_block +
                        c.strategy_lines + images_block;
    // Not "Unspecified": the log path given is logged as it is.
    block.replace(block.find("Unspecified"), std::string("Unspecified").size(), "run.txt");
    const size_t at = log.find(block);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.compare(at - 2, 2, ".\n"), 0);  // the mode lines come right before
    const size_t after = at + block.size();
    ASSERT_LT(after, log.size());
    EXPECT_NE(log[after], ' ') << log.substr(after);
  }
}

}  // namespace

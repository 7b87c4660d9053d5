// Whole runs of the packaged native tool with its window, played by a "ui" script, and the output
// files (request trace, window history) read back from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "sim/drives/fw_image.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"
#include "tests/package/package_writer.h"
#include "tests/simdrivers/storage_fixture.h"

using json = nlohmann::json;

namespace {

std::vector<json> read_lines(const std::string &path) {
  std::vector<json> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) out.push_back(json::parse(line));
  return out;
}

class TraceFile : public simtest::StorageTest {};

TEST_F(TraceFile, OneLinePerRequestInCallOrder) {
  HANDLE h = open("\\\\.\\PhysicalDrive3");
  simtest::Buf inq = simtest::scsi_pass_through(simtest::kInquiryCdb, 36, 2, 7);
  ASSERT_TRUE(simtest::inout(h, simtest::kScsiPassThrough, inq).ok);
  simtest::Buf out(12), in;
  ASSERT_TRUE(simtest::inout2(h, simtest::kGetDeviceNumber, in, out).ok);
  DeviceIoControl(h, simtest::kGetDeviceNumber, nullptr, 0, out.data(), out.size(), nullptr, nullptr);

  pkgtest::temp_dir dir;
  ASSERT_TRUE(sim::write_trace_jsonl(dir.file("trace.jsonl")));
  const std::vector<json> lines = read_lines(dir.file("trace.jsonl"));
  ASSERT_EQ(3u, lines.size());
  EXPECT_LT(lines[0]["seq"].get<uint64_t>(), lines[1]["seq"].get<uint64_t>());
  EXPECT_EQ("\\\\.\\PhysicalDrive3", lines[0]["path"]);
  EXPECT_EQ("0x4d004", lines[0]["control_code"]);
  EXPECT_EQ(7, lines[0]["timeout"]);
  EXPECT_EQ(json({{"length", 36}, {"direction", "in"}}), lines[0]["data"]);
  EXPECT_TRUE(lines[1]["result"].get<bool>());
  EXPECT_EQ(12, lines[1]["bytes_returned"]);
  EXPECT_FALSE(lines[2]["result"].get<bool>());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, lines[2]["error"]);
  EXPECT_FALSE(sim::write_trace_jsonl(dir.file("missing/trace.jsonl")));
}

// A script started by a thread that is not on the machine's clock would be the clock's only
// participant: machine time would run straight to its first moment before the program began.
TEST(UiScriptStart, OnlyFromAThreadOnTheMachineClock) {
  sim::load_machine_json(R"({"ui": [{"wm_close": true, "when": {"after_ms": 1000}}]})");
  const uint64_t before = sim::virtual_now_ms();
  EXPECT_THROW(sim::start_ui_script(), std::logic_error);
  {
    sim::SimulatedThread entry;
    sim::start_ui_script();
    sim::stop_ui_script();
  }
  EXPECT_EQ(before, sim::virtual_now_ms());
  sim::reset_machine();
}

// Each line carries the FNV-1a 64 digest of exactly the bytes the caller sent (the input buffer up
// to its stated length, as it was before the driver wrote its answer into it), so two requests
// that differ in any byte differ in the trace, whatever the driver reads of them.
TEST_F(TraceFile, EachRequestCarriesTheDigestOfTheBytesSent) {
  HANDLE h = open("\\\\.\\PhysicalDrive3");
  // Six bytes stated of a longer buffer, which the driver's 12-byte answer then overwrites.
  char buffer[] = "foobar and what lies beyond the stated length";
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, simtest::kGetDeviceNumber, buffer, 6, buffer, 12, &n, nullptr));
  ASSERT_NE(0, std::string(buffer, 6).compare("foobar"));
  for (uint32_t timeout : {7u, 7u, 8u}) {
    simtest::Buf inq = simtest::scsi_pass_through(simtest::kInquiryCdb, 36, 2, timeout);
    ASSERT_TRUE(simtest::inout(h, simtest::kScsiPassThrough, inq).ok);  // the answer overwrites the request
  }
  simtest::Buf out(12), none;
  ASSERT_TRUE(simtest::inout2(h, simtest::kGetDeviceNumber, none, out).ok);

  pkgtest::temp_dir dir;
  ASSERT_TRUE(sim::write_trace_jsonl(dir.file("trace.jsonl")));
  const std::vector<json> lines = read_lines(dir.file("trace.jsonl"));
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("85944171f73967e8", lines[0].value("input_digest", "")) << "FNV-1a 64 of \"foobar\"";
  EXPECT_EQ(6, lines[0]["input_length"]);
  const std::string inquiry = lines[1].value("input_digest", "");
  EXPECT_EQ(16u, inquiry.size());
  EXPECT_EQ(inquiry, lines[2].value("input_digest", "")) << "the same bytes sent";
  EXPECT_NE(inquiry, lines[3].value("input_digest", "")) << "one byte of the time-out field changed";
  EXPECT_FALSE(lines[4].contains("input_digest")) << "nothing sent";
}

#ifdef ORBU_EXE_PATH

using namespace pkgtest;
namespace fs = std::filesystem;

// A run of the tool starts when the machine's clock does; every time in its outputs is machine
// time, so a step or an event comes this long after the run's start.
constexpr uint64_t kRunStartMs = 3600000;
uint64_t since_start(const json &line) { return line["time_ms"].get<uint64_t>() - kRunStartMs; }

volatile unsigned g_spin = 0;

// Busy processes on every core for the object's lifetime: the load under which the race between
// a script and the program it plays would show.
class CpuLoad {
 public:
  CpuLoad() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < cores; i++) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        for (;;) g_spin = 1;
      }
      if (pid > 0) spinners_.push_back(pid);
    }
  }
  ~CpuLoad() {
    for (pid_t pid : spinners_) ::kill(pid, SIGKILL);
    for (pid_t pid : spinners_) ::waitpid(pid, nullptr, 0);
  }
  CpuLoad(const CpuLoad &) = delete;
  CpuLoad &operator=(const CpuLoad &) = delete;
  size_t size() const { return spinners_.size(); }

 private:
  std::vector<pid_t> spinners_;
};

class WindowRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(ORBU_EXE_PATH)) GTEST_SKIP() << "the tool is not built";
  }

  // Packages the tool for a customer (0 generic, 1 Duzori) and runs it, with its window, on a
  // machine with this UI script; the outputs are read back.
  // `old_firmware` is the record's: the drive runs CV1A0100, so another value makes the drive not
  // applicable (no progress bar).
  // `folder`: the tool sits in this subfolder of the run's directory; `args` follow "/log=".
  int run(uint8_t customer, const json &ui, const std::string &old_firmware = "CV1A0100",
          const std::string &args = "", const std::string &folder = ".") {
    const std::string tool = folder + "/tool";
    const bytes config =
        fwconfig(1, 1, monb_record("CORVANE CVN-512", old_firmware, "CV1A0200", "a"), customer);
    // The packaged tool is written once for runs of the same package (it is a large file).
    if (tool != packaged_tool_ || config != packaged_config_ || image_ != packaged_image_) {
      fs::create_directories(dir_.path() / folder);
      write_file(dir_.file(tool),
                 package_bytes(read_file(ORBU_EXE_PATH), {{"a", image_}, {"fwconfig", config}}));
      fs::permissions(dir_.file(tool), fs::perms::owner_all);
      packaged_tool_ = tool;
      packaged_config_ = config;
      packaged_image_ = image_;
    }
    json nvme = {{"model", "CORVANE CVN-512"}, {"serial", "S1"}, {"firmware", "CV1A0100"}};
    nvme.update(drive_);
    const json machine = {
        {"name", "window-run"},
        {"ui", ui},
        {"storage",
         {{"drives", {{{"id", "n"}, {"nvme", nvme}}}},
          {"adapters", {{{"id", "a"}, {"personality", "inbox_nvme"}}}},
          {"disks", {{{"adapter", "a"}, {"drive", "n"}}}}}}};
    const std::string text = machine.dump();
    write_file(dir_.file("machine.json"), bytes(text.begin(), text.end()));
    for (const char *output : {"trace.jsonl", "ui.jsonl", "state.json"})
      fs::remove(dir_.file(output));
    const run_result r = run_shell("cd " + shell_quote(dir_.path().string()) +
                                   " && ORBU_SIM_MACHINE=machine.json ORBU_SIM_TRACE_OUT=trace.jsonl ORBU_SIM_STATE_OUT=state.json"
                                   " ORBU_SIM_UI_OUT=ui.jsonl timeout " + std::to_string(timeout_s_) +
                                   " " + shell_quote("./" + tool) + " /log=run.log" + args);
    output_ = r.output;
    trace_ = read_lines(dir_.file("trace.jsonl"));
    ui_ = read_lines(dir_.file("ui.jsonl"));
    std::ifstream state(dir_.file("state.json"));
    state_ = json::parse(state, nullptr, false);
    return r.exit_code;
  }

  // The events of one kind, in order.
  std::vector<json> events(const std::string &kind) const {
    std::vector<json> out;
    for (const json &e : ui_)
      if (e["event"] == kind) out.push_back(e);
    return out;
  }
  std::string log() const {
    const bytes b = read_file(dir_.file("run.log"));
    return std::string(b.begin(), b.end());
  }
  void expect_closed_main_window(const std::string &title) const {
    const std::vector<json> created = events("created");
    ASSERT_FALSE(created.empty()) << output_;
    EXPECT_EQ(title, created[0]["text"].get<std::string>().substr(0, title.size()));
    EXPECT_TRUE(created[0]["parent"].is_null());
    EXPECT_GT(created[0]["height"].get<int>(), 100);
    bool destroyed = false;
    for (const json &e : events("destroyed")) destroyed = destroyed || e["window"] == created[0]["window"];
    EXPECT_TRUE(destroyed);
    for (const json &t : trace_) EXPECT_TRUE(t.contains("control_code") && t.contains("result")) << t;
  }

  // The machine times of a run: every window event and script step (without its sequence
  // number) and every request, in order.
  std::vector<std::string> timeline() const {
    std::vector<std::string> out;
    for (json e : ui_) {
      e.erase("seq");
      out.push_back(e.dump());
    }
    for (const json &t : trace_)
      out.push_back(std::to_string(t["time_ms"].get<uint64_t>()) + " " +
                    t["control_code"].get<std::string>());
    return out;
  }

  bytes image_ = pattern(700, 1);  // the package's image "a" (this one no drive takes)
  json drive_ = json::object();    // further fields of the drive's model
  int timeout_s_ = 60;             // a run that takes longer is killed
  temp_dir dir_;
  std::string packaged_tool_;  // the tool written last, with its package
  bytes packaged_config_, packaged_image_;
  std::string output_;
  std::vector<json> trace_, ui_;
  json state_;
};

TEST_F(WindowRun, ScriptPressesExitOnTheGenericWindow) {
  run(0, {{{"click", "Exit"}, {"when", {{"text", "Ensure devices are connected to a stable power source before updating."}}}}});
  expect_closed_main_window("DriveMender");
  const std::vector<json> script = events("script");
  ASSERT_EQ(1u, script.size()) << output_;
  EXPECT_EQ(json("Exit"), script[0]["button"]);
  const std::vector<json> clicks = events("click");
  ASSERT_EQ(1u, clicks.size());
  EXPECT_EQ("Button", clicks[0]["class"]);
  EXPECT_NE(std::string::npos, log().find("User has selected to exit via the exit control.")) << log();
  // Nothing was started, so the drive runs what it ran.
  ASSERT_EQ(1u, state_["drives"].size()) << state_;
  EXPECT_EQ("n", state_["drives"][0]["id"]);
  EXPECT_EQ("CV1A0100", state_["drives"][0]["revision"]);
  EXPECT_EQ(0, state_["drives"][0]["activations"]);
  EXPECT_TRUE(state_["drives"][0]["pending"].is_null());
}

// A silent packaged run ends at once: its log and exit code show that the embedded
// configuration was used (without it the tool would run on the command line alone).
TEST_F(WindowRun, SilentPackagedRunUsesTheEmbeddedConfiguration) {
  EXPECT_EQ(4, run(0, json::array(), "CV1A0000", " /s")) << output_;  // generic silent: none applicable
  const std::string text = log();
  EXPECT_NE(std::string::npos, text.find("Detected embedded binary configuration.")) << text;
  EXPECT_NE(std::string::npos, text.find("    Strategy: monb\n")) << text;
  EXPECT_NE(std::string::npos, text.find("        Name: a\n        Size: 700\n")) << text;
  EXPECT_EQ(std::string::npos, text.find("Failed to unpack configuration")) << text;
}

// The same from a folder whose name the ANSI code page cannot hold.
TEST_F(WindowRun, PackagedToolInAFolderWithAJapaneseNameFindsItsPackage) {
  EXPECT_EQ(4, run(0, json::array(), "CV1A0000", " /s", "\u66f4\u65b0\u30c4\u30fc\u30eb")) << output_;
  EXPECT_NE(std::string::npos, log().find("Detected embedded binary configuration.")) << log();
}

TEST_F(WindowRun, ScriptClosesTheGenericWindowFromTheSystemMenu) {
  run(0, {{{"system_close", true}, {"when", {{"after_ms", 500}, {"progress_full", true}}}},
          {{"click", 4242}}},  // no such button: never fires
      "CV1A0000");  // no row gets a progress bar
  expect_closed_main_window("DriveMender");
  const std::vector<json> script = events("script");
  ASSERT_EQ(1u, script.size()) << output_;
  EXPECT_EQ("system_close", script[0]["action"]);
  // At its moment, counted from the run's start; the window was there from the start (the
  // drive's commands take no time) and closed at once.
  EXPECT_EQ(500u, since_start(script[0]));
  ASSERT_FALSE(events("destroyed").empty());
  EXPECT_EQ(0u, since_start(events("created")[0]));
  EXPECT_EQ(500u, since_start(events("destroyed")[0]));
  EXPECT_TRUE(events("click").empty());
}

// Where two timelines part: empty when they are the same.
std::string first_difference(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  for (size_t i = 0; i < a.size() || i < b.size(); i++) {
    const std::string x = i < a.size() ? a[i] : "(none)", y = i < b.size() ? b[i] : "(none)";
    if (x != y) return "line " + std::to_string(i + 1) + ": " + x + " <> " + y;
  }
  return "";
}

// Start at 1,000 ms, Exit long after the update has ended: each step fires at its own moment
// since the run's start, the update runs in between, and the run ends. (Fired both at once, Exit
// would come before Start took it away and the run would wait for ever.)
class ScriptedUpdate : public WindowRun {
 protected:
  void SetUp() override {
    WindowRun::SetUp();
    timeout_s_ = 20;  // a sound run takes well under a second
    drive_ = {{"activation", "commit"},
              {"timing", {{"command_ms", 3}, {"download_ms", 20}, {"activate_ms", 700}}}};
    image_ = sim::make_test_image(sim::ImageTarget::Nvme, "CV1A0200", 20000);
  }
  const json script_ = {{{"click", "Start"}, {"when", {{"after_ms", 1000}}}},
                        {{"click", "Exit"}, {"when", {{"after_ms", 600000}}}}};

  // The run's window, steps and drive, as a sound run has them.
  void expect_start_then_exit(int exit_code) {
    EXPECT_EQ(0, exit_code) << output_;
    expect_closed_main_window("DriveMender");
    const std::vector<json> script = events("script");
    ASSERT_EQ(2u, script.size()) << output_;
    EXPECT_EQ(json("Start"), script[0]["button"]);
    EXPECT_EQ(1000u, since_start(script[0]));
    EXPECT_EQ(json("Exit"), script[1]["button"]);
    EXPECT_EQ(600000u, since_start(script[1]));
    const std::vector<json> clicks = events("click");
    ASSERT_EQ(2u, clicks.size());
    EXPECT_EQ(1000u, since_start(clicks[0]));
    EXPECT_EQ(600000u, since_start(clicks[1]));
    ASSERT_FALSE(events("destroyed").empty());
    EXPECT_LT(since_start(events("created")[0]), 1000u);  // the scan's commands take a little
    EXPECT_EQ(600000u, since_start(events("destroyed").back()));
    // The update ran between the two steps.
    const std::vector<json> progress = events("progress_pos");
    ASSERT_FALSE(progress.empty());
    EXPECT_GE(since_start(progress.front()), 1000u);
    EXPECT_EQ(100, progress.back()["pos"]);
    EXPECT_LT(since_start(progress.back()), 600000u);
    ASSERT_EQ(1u, state_["drives"].size()) << state_;
    EXPECT_EQ("CV1A0200", state_["drives"][0]["revision"]);
  }
};

TEST_F(ScriptedUpdate, StartAndAMuchLaterExitFireAtTheirMomentsAndTheRunEnds) {
  expect_start_then_exit(run(0, script_));
}

// The same run on a machine whose every core is busy gives the same machine times, request for
// request and event for event, run after run.
TEST_F(ScriptedUpdate, MachineTimesAreTheSameUnderCpuLoad) {
  expect_start_then_exit(run(0, script_));
  const std::vector<std::string> quiet = timeline();
  CpuLoad load;
  ASSERT_GT(load.size(), 0u);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE("run " + std::to_string(i + 1) + " under load");
    expect_start_then_exit(run(0, script_));
    EXPECT_EQ("", first_difference(quiet, timeline()));
  }
}

TEST_F(WindowRun, DuzoriWindowClosesItselfWhenDone) {
  run(1, {{{"wm_close", true}, {"when", {{"text", "never shown"}}}}});
  expect_closed_main_window("corvupdater");
  EXPECT_TRUE(events("script").empty());
  // The Exit button is created disabled (the update starts by itself); the control thread
  // enables it and the Close item again when it is done.
  std::vector<bool> exit_states;
  for (const json &e : events("created"))
    if (e.value("id", 0) == 99)
      exit_states.push_back((std::stoull(e["style"].get<std::string>(), nullptr, 16) & WS_DISABLED) == 0);
  for (const json &e : events("enabled")) exit_states.push_back(e["enabled"].get<bool>());
  EXPECT_EQ(std::vector<bool>({false, true}), exit_states);
  EXPECT_FALSE(events("close_menu").empty());
}

#endif

}  // namespace

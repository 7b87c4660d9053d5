#include "run_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "orbu/orbu_main.h"
#include "orbu/orbu_scan.h"
#include "platform/win32.h"
#include "sim/run_outputs.h"
#include "sim/window.h"
#include "tests/support/resource_check.h"

namespace orbu_test {

namespace {

void write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

[[noreturn]] void child(const RunSpec &spec, const std::string &dir, int out) {
  alarm(60);  // a run that hangs is a failure, not a stuck suite
  std::string report;
  if (::chdir(dir.c_str()) != 0) {
    write_all(out, "error\tchdir\n");
    _exit(2);
  }
  sim::use_default_machine();
  if (spec.knobs) spec.knobs(sim::app_knobs());
  const sim::ResourceSnapshot resources_before = sim::ResourceSnapshot::take();

  Observations seen;
  Observations driver_seen;
  std::thread driver;
  if (spec.driver) driver = std::thread([&] { spec.driver(driver_seen); });
  int code = 0;
  {
    // The program's entry thread is on the machine's clock before the machine's "ui" script
    // starts, so that the script's "after_ms" moments count from the run's start.
    sim::SimulatedThread entry;
    seen["run_start_ms"] = std::to_string(sim::virtual_now_ms());
    sim::start_ui_script();
    code = spec.body ? spec.body(seen)
                     : orbu_main(nullptr, spec.command_line.c_str(), SW_SHOWDEFAULT);
    sim::stop_ui_script();
  }
  if (driver.joinable()) driver.join();
  seen.insert(driver_seen.begin(), driver_seen.end());
  if (spec.after) spec.after(seen);

  // What the run left behind (the check of the test main does not reach into this process). The
  // scanned devices and the run-wide mutexes live until the process ends, and end with it.
  orbu_release_scanned_devices();
  for (HANDLE *mutex : {&orbu_log_mutex, &orbu_device_table_mutex}) {
    if (*mutex != nullptr) CloseHandle(*mutex);
    *mutex = nullptr;
  }
  const sim::ResourceSnapshot resources_after = sim::ResourceSnapshot::take();
  for (const auto &[name, count] : resources_after.counts) {
    if (count > resources_before[name]) {
      report += "left\t" + name + ": " + std::to_string(resources_before[name]) + " -> " +
                std::to_string(count) + "\n";
    }
  }
  report += "exit\t" + std::to_string(code) + "\n";
  for (const auto &[key, value] : seen) report += key + "\t" + value + "\n";
  write_all(out, report);
  _exit(0);
}

std::string normalise(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

const std::string &RunResult::log() const {
  static const std::string none;
  auto it = files.find("corvaneupdlog.txt");
  return it == files.end() ? none : it->second;
}

RunResult run_program(const RunSpec &spec) {
  RunResult result;
  char dir_template[] = "/tmp/orbu_run_XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    result.failure = "mkdtemp failed";
    return result;
  }
  const std::string dir = dir_template;
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) {
    result.failure = "pipe failed";
    return result;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.failure = "fork failed";
    return result;
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    child(spec, dir, pipe_fds[1]);
  }
  ::close(pipe_fds[1]);
  const std::string report = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.failure = WIFSIGNALED(status)
                         ? "child killed by signal " + std::to_string(WTERMSIG(status))
                         : "child exited with " + std::to_string(WEXITSTATUS(status));
  }

  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string key = line.substr(0, tab);
    const std::string value = line.substr(tab + 1);
    if (key == "exit") {
      result.exit_code = std::atoi(value.c_str());
    } else if (key == "left") {
      result.left += value + "\n";
    } else {
      result.seen[key] = value;
    }
  }

  for (const std::string &name : spec.files) {
    std::ifstream file(dir + "/" + name, std::ios::binary);
    if (!file) continue;
    std::stringstream content;
    content << file.rdbuf();
    result.files[name] = normalise(content.str());
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  // Counted resources the run left behind fail the test, as the test main's check does.
  std::istringstream left(result.left);
  while (std::getline(left, line)) {
    if (!sim::resource_change_expected(line.substr(0, line.find(':')))) {
      ADD_FAILURE() << "the run ended with more resources than it started with: " << line;
    }
  }
  return result;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string find_in_order(const std::string &text, const std::vector<std::string> &pieces) {
  const std::vector<std::string> lines = lines_of(text);
  size_t line = 0;
  size_t column = 0;
  for (const std::string &piece : pieces) {
    bool found = false;
    for (; line < lines.size(); line++, column = 0) {
      const size_t at = lines[line].find(piece, column);
      if (at != std::string::npos) {
        column = at + piece.size();
        found = true;
        break;
      }
    }
    if (!found) return "not found in order: \"" + piece + "\"";
  }
  return "";
}

}  // namespace orbu_test

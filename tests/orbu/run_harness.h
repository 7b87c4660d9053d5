// Whole runs of the program in a forked child process: the program keeps run-wide state and
// registers its log sink once, so every run needs a fresh process.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace orbu_test {

// What a driver or an after-run hook noticed, as key/value texts (no newlines in values). The
// harness notes "run_start_ms": the machine time at which the run started.
using Observations = std::map<std::string, std::string>;

struct RunSpec {
  std::string command_line;
  // Applied to the machine's knobs in the child before the run. A machine loaded here with a
  // "ui" script has it played while the program (or `body`) runs.
  std::function<void(sim::AppKnobs &)> knobs;
  // Runs in the child instead of the program when set; its result is the exit code.
  std::function<int(Observations &)> body;
  // Runs on its own thread in the child while the program runs; must end by itself.
  std::function<void(Observations &)> driver;
  // Runs in the child after the program returned.
  std::function<void(Observations &)> after;
  // Log files to read back, relative to the run's directory.
  std::vector<std::string> files = {"corvaneupdlog.txt"};
};

struct RunResult {
  int exit_code = -1;       // the program's result; -1 when the child did not finish
  std::string failure;      // why the child did not finish
  Observations seen;
  std::string left;  // counted resources the run ended with more of, one line each
  std::map<std::string, std::string> files;  // present files only, line endings normalised
  bool has_file(const std::string &name) const { return files.count(name) != 0; }
  const std::string &log() const;  // corvaneupdlog.txt (empty when absent)
};

RunResult run_program(const RunSpec &spec);

// Lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string &text);
// Empty when every expected piece occurs in a line of `text`, each in a later line than the one
// before (a line may hold several pieces, in order); otherwise what was not found.
std::string find_in_order(const std::string &text, const std::vector<std::string> &pieces);

}  // namespace orbu_test

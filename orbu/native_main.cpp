// Linux entry point: runs the program on a simulated machine.
//   ORBU_SIM_MACHINE     JSON description of the machine (default: the built-in machine)
//   ORBU_SIM_TRACE_OUT   file for the request trace (JSON lines), written at exit
//   ORBU_SIM_UI_OUT      file for the window's event history (JSON lines), written at exit
// A "ui" section in the machine description plays its user actions while the window is up. A run
// that can never go on (every thread waits without a time-out: a window nobody plays) is ended by
// the machine with its own exit code (sim/run_outputs.h).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "orbu/orbu_main.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"

int main(int argc, char **argv) {
  const char *machine = std::getenv("ORBU_SIM_MACHINE");
  try {
    if (machine != nullptr && machine[0] != '\0') {
      sim::load_machine_file(machine);
    } else {
      sim::use_default_machine();
    }
  } catch (const std::exception &e) {
    // The loader's message names the file it could not read; a description error names only its
    // place, so the file goes in front of it.
    const std::string what = e.what();
    if (machine == nullptr || machine[0] == '\0') {
      std::fprintf(stderr, "orbu: cannot load the built-in default machine: %s\n", what.c_str());
    } else if (what.find(machine) != std::string::npos) {
      std::fprintf(stderr, "orbu: cannot load the simulated machine: %s\n", what.c_str());
    } else {
      std::fprintf(stderr, "orbu: cannot load the simulated machine %s: %s\n", machine, what.c_str());
    }
    // No machine ran: an empty drive list at exit would read as a machine without drives.
    unsetenv("ORBU_SIM_STATE_OUT");
    return 1;
  }

  // Windows hands the program the text after its name.
  std::string line;
  for (int i = 1; i < argc; i++) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  sim::write_run_outputs_at_exit();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  int code = 0;
  {
    // The entry thread takes part in the machine's clock before the script starts: were the
    // script's thread the clock's only participant for a moment, machine time would jump to its
    // first "after_ms" moment before the program had even begun.
    sim::SimulatedThread entry;
    sim::end_run_when_stuck(true);
    sim::start_ui_script();
    code = orbu_main(instance, line.c_str(), SW_SHOWDEFAULT);
    // Disarmed while this thread still runs: the threads the program leaves waiting are no
    // reason to end a run that has ended.
    sim::end_run_when_stuck(false);
    sim::stop_ui_script();
  }
  return code;
}

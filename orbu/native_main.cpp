// Linux entry point: runs the program on a simulated machine.
//   ORBU_SIM_MACHINE     JSON description of the machine (default: the built-in machine)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "orbu/orbu_main.h"
#include "platform/win32.h"
#include "sim/machine.h"

int main(int argc, char **argv) {
  const char *machine = std::getenv("ORBU_SIM_MACHINE");
  try {
    if (machine != nullptr && machine[0] != '\0') {
      sim::load_machine_file(machine);
    } else {
      sim::use_default_machine();
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "orbu: cannot load the simulated machine %s: %s\n",
                 machine != nullptr ? machine : "", e.what());
    return 1;
  }

  // Windows hands the program the text after its name.
  std::string line;
  for (int i = 1; i < argc; i++) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  sim::SimulatedThread entry;  // the entry thread takes part in the machine's clock
  return orbu_main(instance, line.c_str(), SW_SHOWDEFAULT);
}

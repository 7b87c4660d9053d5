#include "sim/machine.h"

namespace sim {

AppKnobs &app_knobs() {
  static AppKnobs knobs;
  return knobs;
}

}  // namespace sim

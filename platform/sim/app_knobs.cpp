#include "sim/machine.h"

namespace sim {

AppKnobs &app_knobs() {
  static AppKnobs *knobs = new AppKnobs;
  return *knobs;
}

}  // namespace sim

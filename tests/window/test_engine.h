// The suite's own per-device worker and run set-up: every ready device of a prepared table is
// "updated" by a worker that takes four machine seconds and ends each step with the outcome the
// test chose for it.
#pragma once

#include <cstdint>
#include <string>
#include <functional>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbu/orbu_records.h"
#include "tests/orbu/run_harness.h"

namespace window_test {

struct Device {
  std::string name;                 // display text
  uint32_t state = ORBU_STATE_READY;
  std::vector<uint32_t> outcomes = {ORBU_STATE_UPDATED};  // the worker's result, per step
  uint32_t step_count = 0;
  bool unreadable_after_last_step = false;  // the re-read after each step fails
};

enum class Variant { generic, duzori, dedi };

struct WindowRunSpec {
  Variant variant = Variant::generic;
  std::vector<Device> devices;
  nlohmann::json ui = nlohmann::json::array();  // the "ui" script
  // While the window runs (on its own thread, in real time), e.g. to post messages.
  std::function<void(orbu_test::Observations &)> driver;
  std::function<void(sim::AppKnobs &)> knobs;
};

struct Outcome {
  orbu_test::RunResult result;
  std::string log;  // every line the run logged at level 20 and below
  std::vector<uint32_t> states;
  std::vector<int> workers;  // workers started per device
};

// Runs the window (or, with no window, a silent run) over a table of the given devices.
Outcome run_window(const WindowRunSpec &run);

// The names the window suites use unqualified, after `using namespace window_test;`.
using nlohmann::json;
using orbu_test::find_in_order;
using Spec = WindowRunSpec;

}  // namespace window_test

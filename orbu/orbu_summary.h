// The end of a run: counting the devices' final states, the summary lines and the exit code.
#pragma once

#include <cstdint>

// Process exit codes of the run; `partial`, `reboot` and `none_applicable` depend on the customer
// variant and are set by orbu_set_exit_codes.
struct orbu_exit_codes_t {
  uint32_t success;
  uint32_t failure;
  uint32_t partial;
  uint32_t reboot;
  uint32_t none_applicable;
};
extern orbu_exit_codes_t orbu_exit_codes;

// Sets the variant-dependent exit codes from orbu_run_flags (customer and silent).
void orbu_set_exit_codes();

// Counts the final states of orbu_device_table, logs the outcome and returns the exit code.
uint32_t orbu_summarize();

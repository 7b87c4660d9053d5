// One row per update strategy, indexed by the configuration's strategy number: everything the
// dispatchers need to know of a strategy, so that a strategy is read and changed in one place.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"

struct orbu_strategy_row {
  // The strategy's name as the log lines quote it.
  const char *name;
  // Bytes of one "fwconfig" record; 0 for a strategy without records.
  uint32_t record_size;
  // Logs one record's fields for the update configuration (null: no records).
  void (*log_record)(const void *record);
  // Reads the records of a "fwconfig" blob (null: the strategy cannot come from a package).
  int (*parse)(orbu_config *config, const uint8_t *blob, uint64_t size);
  // Checks that every record's image is in the package (null as for `parse`).
  int (*check_binaries)(orbu_config *config);
  // Reads the device's identity: at start-up, and between the steps of a multi-step update.
  void (*collect)(orbu_device_update *record);
  // Matches the identity against the configuration: at start-up right after `collect`, and
  // between steps. Null for a strategy that updates in one step and matches inside `collect`;
  // such a strategy has no between-steps roles at all.
  void (*collect_state)(orbu_device_update *record);
  // Judges the update after each step.
  void (*verify)(orbu_device_update *record);
};

// The row of a strategy number, or null for a number that names no strategy.
const orbu_strategy_row *orbu_strategy_row_of(uint32_t strategy);

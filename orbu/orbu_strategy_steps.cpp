// The between-steps roles of a multi-step update: re-reading the device and matching it again.
// Kept apart from the start-up collect step, so that a test may put its own in their place.
#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "orbu/orbu_strategies.h"
#include "orbu/orbu_strategy_table.h"

namespace {

uint32_t strategy_of(const orbu_device_update *r) { return r->config->strategy; }

// The row of a strategy that has a match step ("monb", "monmb", "dfmonmb"), whose collect and
// match steps these two roles run again between steps; null for any other strategy.
const orbu_strategy_row *row_with_match_step(const orbu_device_update *r) {
  const orbu_strategy_row *row = orbu_strategy_row_of(strategy_of(r));
  return row != nullptr && row->collect_state != nullptr ? row : nullptr;
}

}  // namespace

void orbu_collect_device_data(orbu_device_update *r) {
  const orbu_strategy_row *row = row_with_match_step(r);
  if (row == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s data collection ignored, unrecognized strategy %d.\n",
             r->device->name, static_cast<int>(strategy_of(r)));
    return;
  }
  HULD_LOG(HULD_LOG_INFO, "Collect device data for strategy \"%s\".\n", row->name);
  row->collect(r);
}

void orbu_collect_operation_state(orbu_device_update *r) {
  const orbu_strategy_row *row = row_with_match_step(r);
  if (row == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE,
             "Device %s operation state collection ignored, unrecognized strategy %d.\n",
             r->device->name, static_cast<int>(strategy_of(r)));
  } else {
    HULD_LOG(HULD_LOG_INFO, "Collect device operation state for strategy \"%s\".\n", row->name);
    row->collect_state(r);
  }
  const uint32_t state = r->state.load(std::memory_order_acquire);
  if (state != ORBU_STATE_NOT_APPLICABLE && state != ORBU_STATE_IGNORED)
    r->state.store(ORBU_STATE_READY, std::memory_order_release);
}


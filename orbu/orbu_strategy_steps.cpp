// The between-steps roles of a multi-step update: re-reading the device and matching it again.
// Kept apart from the start-up collect step, so that a test may put its own in their place.
#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "orbu/orbu_strategies.h"

namespace {

uint32_t strategy_of(const orbu_device_update *r) { return r->config->strategy; }

}  // namespace

void orbu_collect_device_data(orbu_device_update *r) {
  switch (strategy_of(r)) {
    case ORBU_STRATEGY_MONB:
      HULD_LOG(HULD_LOG_INFO, "Collect device data for strategy \"monb\".\n");
      orbu_collect_info_monb(r);
      break;
    case ORBU_STRATEGY_MONMB:
      HULD_LOG(HULD_LOG_INFO, "Collect device data for strategy \"monmb\".\n");
      orbu_collect_info_monmb(r);
      break;
    case ORBU_STRATEGY_DFMONMB:
      HULD_LOG(HULD_LOG_INFO, "Collect device data for strategy \"dfmonmb\".\n");
      orbu_collect_info_dfmonmb(r);
      break;
    default:
      HULD_LOG(HULD_LOG_NOTICE, "Device %s data collection ignored, unrecognized strategy %d.\n",
               r->device->name, static_cast<int>(strategy_of(r)));
      break;
  }
}

void orbu_collect_operation_state(orbu_device_update *r) {
  switch (strategy_of(r)) {
    case ORBU_STRATEGY_MONB:
      HULD_LOG(HULD_LOG_INFO, "Collect device operation state for strategy \"monb\".\n");
      orbu_collect_state_monb(r);
      break;
    case ORBU_STRATEGY_MONMB:
      HULD_LOG(HULD_LOG_INFO, "Collect device operation state for strategy \"monmb\".\n");
      orbu_collect_state_monmb(r);
      break;
    case ORBU_STRATEGY_DFMONMB:
      HULD_LOG(HULD_LOG_INFO, "Collect device operation state for strategy \"dfmonmb\".\n");
      orbu_collect_state_dfmonmb(r);
      break;
    default:
      HULD_LOG(HULD_LOG_NOTICE,
               "Device %s operation state collection ignored, unrecognized strategy %d.\n",
               r->device->name, static_cast<int>(strategy_of(r)));
      break;
  }
  const uint32_t state = r->state.load(std::memory_order_acquire);
  if (state != ORBU_STATE_NOT_APPLICABLE && state != ORBU_STATE_IGNORED)
    r->state.store(ORBU_STATE_READY, std::memory_order_release);
}


#include "orbu/orbu_summary.h"

#include "huld/huld_log.h"
#include "orbu/orbu_main.h"

orbu_exit_codes_t orbu_exit_codes = {0, 1, 0, 0, 0};

void orbu_set_exit_codes() {
  orbu_exit_codes.success = 0;
  orbu_exit_codes.failure = 1;
  if (orbu_run_flags.customer_dedi) {
    orbu_exit_codes.partial = 3000;
    orbu_exit_codes.reboot = 1602;
    orbu_exit_codes.none_applicable = orbu_exit_codes.success;
  } else if (orbu_run_flags.customer_duzori) {
    orbu_exit_codes.partial = orbu_exit_codes.success;
    orbu_exit_codes.reboot = orbu_exit_codes.success;
    orbu_exit_codes.none_applicable = orbu_exit_codes.failure;
  } else {
    orbu_exit_codes.partial = 2;
    orbu_exit_codes.reboot = 3;
    orbu_exit_codes.none_applicable = orbu_run_flags.silent ? 4 : orbu_exit_codes.success;
  }
}

uint32_t orbu_summarize() {
  int updated = 0;
  int failed = 0;
  int reboot = 0;
  int not_appropriate = 0;
  for (uint32_t i = 0; i < orbu_device_table.count; i++) {
    switch (orbu_device_table.records[i].state.load(std::memory_order_acquire)) {
      case ORBU_STATE_UPDATED: updated++; break;
      case ORBU_STATE_FAILED: failed++; break;
      case ORBU_STATE_REBOOT_REQUIRED: reboot++; break;
      case ORBU_STATE_NOT_APPLICABLE:
      case ORBU_STATE_IGNORED: not_appropriate++; break;
      default: break;  // still ready (never started) or unfinished: counted nowhere
    }
  }

  HULD_LOG(HULD_LOG_INFO, "Update application complete.\n");
  HULD_LOG(HULD_LOG_INFO, "    %d devices require reboot to activate firmware.\n", reboot);
  HULD_LOG(HULD_LOG_INFO, "    %d devices updated successfully.\n", updated);
  HULD_LOG(HULD_LOG_INFO, "    %d devices failed to update.\n", failed);
  HULD_LOG(HULD_LOG_INFO, "    %d devices were not appropriate for update.\n", not_appropriate);

  if (reboot > 0) {
    HULD_LOG(HULD_LOG_INFO, "Reboot is required to activate some device firmware.\n");
    HULD_LOG(HULD_LOG_INFO, "Please completely shut down the system and perform a cold reboot.\n");
    return orbu_exit_codes.reboot;
  }
  if (failed > 0 && updated == 0) {
    HULD_LOG(HULD_LOG_INFO, "Tool was unsuccessful in updating applicable device firmware.\n");
    HULD_LOG(HULD_LOG_INFO, "Please ensure that your device is appropriate for firmware update.\n");
    return orbu_exit_codes.failure;
  }
  if (failed > 0) {
    HULD_LOG(HULD_LOG_INFO,
             "Tool was only partially successful in updating applicable device firmware.\n");
    HULD_LOG(HULD_LOG_INFO,
             "Please retry the update and ensure that the remaining devices are appropriate for "
             "firmware update.\n");
    return orbu_exit_codes.partial;
  }
  if (updated == 0) {
    HULD_LOG(HULD_LOG_INFO, "Tool could not detect any applicable device firmware for update.\n");
    HULD_LOG(HULD_LOG_INFO, "Please ensure that your device is appropriate for firmware update.\n");
    return orbu_exit_codes.none_applicable;
  }
  HULD_LOG(HULD_LOG_INFO, "Tool was successful in updating applicable device firmware.\n");
  return orbu_exit_codes.success;
}

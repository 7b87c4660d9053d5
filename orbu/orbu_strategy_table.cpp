// The update strategies side by side: name, record layout, record logger, package parser and
// check, collect, match and verify steps, one row each.
#include "orbu/orbu_strategy_table.h"

#include "huld/huld_log.h"
#include "orbu/orbu_package.h"
#include "orbu/orbu_strategies.h"

namespace {

void log_monb_record(const void *record) {
  const auto *r = static_cast<const orbu_monb_record *>(record);
  HULD_LOG(HULD_LOG_INFO, "        Model: %s\n", r->model);
  HULD_LOG(HULD_LOG_INFO, "        Old:   %s\n", r->old_firmware);
  HULD_LOG(HULD_LOG_INFO, "        New:   %s\n", r->new_firmware);
  HULD_LOG(HULD_LOG_INFO, "        Name:  %s\n", r->binary_name);
}

void log_monmb_record(const void *record) {
  const auto *r = static_cast<const orbu_monmb_record *>(record);
  HULD_LOG(HULD_LOG_INFO, "        Model:     %s\n", r->model);
  HULD_LOG(HULD_LOG_INFO, "        Old:       %s\n", r->old_firmware);
  HULD_LOG(HULD_LOG_INFO, "        New:       %s\n", r->new_firmware);
  HULD_LOG(HULD_LOG_INFO, "        New Model: %s\n", r->new_model);
  HULD_LOG(HULD_LOG_INFO, "        Name:      %s\n", r->binary_name);
}

void log_dedicidonb_record(const void *record) {
  const auto *r = static_cast<const orbu_dedicidonb_record *>(record);
  HULD_LOG(HULD_LOG_INFO, "        CID:  %s\n", r->component_id);
  HULD_LOG(HULD_LOG_INFO, "        Old:  %s\n", r->old_firmware);
  HULD_LOG(HULD_LOG_INFO, "        New:  %s\n", r->new_firmware);
  HULD_LOG(HULD_LOG_INFO, "        Name: %s\n", r->binary_name);
}

// The firmware pattern and the drive model id are matched but not logged.
void log_dfmonmb_record(const void *record) {
  const auto *r = static_cast<const orbu_dfmonmb_record *>(record);
  HULD_LOG(HULD_LOG_INFO, "        Model:     %s\n", r->model);
  HULD_LOG(HULD_LOG_INFO, "        New Model: %s\n", r->new_model);
  HULD_LOG(HULD_LOG_INFO, "        Name:      %s\n", r->binary_name);
}

// Indexed by the strategy number.
constexpr orbu_strategy_row kRows[] = {
    // Command-line mode: the options name the device and the image.
    {"CLI", 0, nullptr, nullptr, nullptr, orbu_collect_info_cli, nullptr, orbu_verify_cli},
    {"monb", sizeof(orbu_monb_record), log_monb_record, orbu_parse_monb,
     orbu_check_binaries_monb, orbu_collect_info_monb, orbu_collect_state_monb, orbu_verify_monb},
    {"monmb", sizeof(orbu_monmb_record), log_monmb_record, orbu_parse_monmb,
     orbu_check_binaries_monmb, orbu_collect_info_monmb, orbu_collect_state_monmb,
     orbu_verify_monmb},
    {"dedicidonb", sizeof(orbu_dedicidonb_record), log_dedicidonb_record, orbu_parse_dedicidonb,
     orbu_check_binaries_dedicidonb, orbu_collect_info_dedicidonb, nullptr,
     orbu_verify_dedicidonb},
    {"dfmonmb", sizeof(orbu_dfmonmb_record), log_dfmonmb_record, orbu_parse_dfmonmb,
     orbu_check_binaries_dfmonmb, orbu_collect_info_dfmonmb, orbu_collect_state_dfmonmb,
     orbu_verify_dfmonmb},
};
static_assert(sizeof(kRows) / sizeof(kRows[0]) == ORBU_STRATEGY_DFMONMB + 1,
              "one row per strategy number");

}  // namespace

const orbu_strategy_row *orbu_strategy_row_of(uint32_t strategy) {
  return strategy < sizeof(kRows) / sizeof(kRows[0]) ? &kRows[strategy] : nullptr;
}

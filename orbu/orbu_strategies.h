// Update strategies: for each scanned device, whether the update applies, which image it takes,
// what the device must show afterwards, and the judgement of the result.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"

// Dispatchers by the configuration's strategy, through its row of the strategy table
// (orbu_strategy_table.h): a new strategy adds its row there and its steps below.
void orbu_collect_device_info(orbu_device_update *record);       // at start-up
void orbu_collect_device_data(orbu_device_update *record);       // between steps: re-read identity
void orbu_collect_operation_state(orbu_device_update *record);   // between steps: re-match
void orbu_verify_update(orbu_device_update *record);             // after each update step

// Collect steps of each strategy.
void orbu_collect_info_cli(orbu_device_update *record);
// Frees the command-line image that the matching records share (once, whatever their number).
void orbu_release_cli_image();
void orbu_collect_info_monb(orbu_device_update *record);
void orbu_collect_info_monmb(orbu_device_update *record);
void orbu_collect_info_dedicidonb(orbu_device_update *record);
void orbu_collect_info_dfmonmb(orbu_device_update *record);
void orbu_collect_state_monb(orbu_device_update *record);
void orbu_collect_state_monmb(orbu_device_update *record);
void orbu_collect_state_dfmonmb(orbu_device_update *record);

// Matchers over the configuration: 0 when a record with its image applies (the record's target
// fields and image are set), 1 when none does.
int orbu_match_monb(orbu_device_update *record);
int orbu_match_monmb(orbu_device_update *record);
int orbu_match_dedicidonb(orbu_device_update *record);
int orbu_match_dfmonmb(orbu_device_update *record);

// "monmb": counts the steps of the update path from the current match and writes the operation
// text; the chain stops at a repeated record, at a return to the device's starting identity, or
// after 10 steps.
void orbu_find_multistep_path(orbu_device_update *record);

// Verify steps, entered with the state activate_ok or reset_ok.
void orbu_verify_cli(orbu_device_update *record);
void orbu_verify_monb(orbu_device_update *record);
void orbu_verify_monmb(orbu_device_update *record);
void orbu_verify_dedicidonb(orbu_device_update *record);
void orbu_verify_dfmonmb(orbu_device_update *record);

#include "test_engine.h"

#include <cstdio>
#include <cstring>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_summary.h"
#include "orbu/orbu_engine.h"
#include "platform/win32.h"
#include "sim/run_outputs.h"
#include "sim/window.h"

namespace window_test {

namespace {

constexpr const char *kLogFile = "window_log.txt";

// The devices of the run (the forked child's own copy) and the workers started per device.
std::vector<Device> g_devices;
std::vector<int> g_workers;
char g_firmware[2][8] = {"FW0", "FW1"};

size_t index_of(const orbu_device_update *record) {
  return static_cast<size_t>(record - orbu_device_table.records);
}

int file_sink(const char *text) {
  FILE *file = std::fopen(kLogFile, "a");
  if (file == nullptr) return 0;
  std::fputs(text, file);
  std::fclose(file);
  return 0;
}

std::string rect_text(const sim::WindowInfo &w) {
  return std::to_string(w.rect.left) + "," + std::to_string(w.rect.top) + "," +
         std::to_string(w.rect.right - w.rect.left) + "x" +
         std::to_string(w.rect.bottom - w.rect.top);
}

// One row as text: name @rect | result | percent (visible) | Start id (visible) | bar pos colour.
std::string row_text(const sim::Row &row) {
  std::string text = row.name.text + " @" + rect_text(row.name) + (row.name.font_weight == 700 ? " bold" : "") +
                     " | " + row.result.text;
  if (row.percent) text += " | " + row.percent->text + (row.percent->visible ? "" : " (hidden)");
  if (row.start)
    text += " | Start " + std::to_string(row.start->id) + (row.start->visible ? "" : " (hidden)");
  if (row.bar) {
    text += " | bar " + std::to_string(row.bar->pos) + "/" + std::to_string(row.bar->range_max) +
            " @" + rect_text(*row.bar);
    if (row.bar->bar_colour == RGB(255, 0, 0)) text += " red";
  }
  return text;
}

// What the window showed and did over the run.
void observe(orbu_test::Observations &seen) {
  HWND main = nullptr;
  std::string exit_toggles;
  std::string step_texts;
  std::string close_menu;  // the Close item's states, in order
  int progress_while_exit_enabled = 0;
  int progress_events = 0;
  bool exit_enabled = true;
  for (const sim::Event &event : sim::history()) {
    if (event.kind == sim::EventKind::created && event.parent == nullptr && main == nullptr)
      main = event.hwnd;
    // An Exit button created disabled counts as switched off at its creation.
    if (event.kind == sim::EventKind::created && event.id == 99) {
      const bool disabled = (event.value & WS_DISABLED) != 0;
      seen["exit_created"] = disabled ? "disabled" : "enabled";
      exit_enabled = !disabled;
      if (disabled) exit_toggles += "0";
    }
    if (event.kind == sim::EventKind::enabled && event.id == 99) {
      exit_enabled = event.value != 0;
      exit_toggles += event.value != 0 ? "1" : "0";
    }
    if (event.kind == sim::EventKind::progress_pos && event.value > 0) {
      progress_events++;
      if (exit_enabled) progress_while_exit_enabled++;
    }
    if (event.kind == sim::EventKind::close_menu)
      close_menu += (event.value != 0 ? std::string("enabled") : event.text) + "|";
    if (event.kind == sim::EventKind::text && event.text.rfind("Step ", 0) == 0)
      step_texts += event.text + "|";
  }
  seen["exit_toggles"] = exit_toggles;
  seen["progress_events"] = std::to_string(progress_events);
  seen["progress_while_exit_enabled"] = std::to_string(progress_while_exit_enabled);
  seen["step_texts"] = step_texts;
  seen["close_menu"] = close_menu;
  if (main == nullptr) return;
  auto info = sim::window_info(main);
  seen["title"] = info->text;
  seen["height"] = std::to_string(info->rect.bottom - info->rect.top);
  seen["destroyed"] = info->destroyed ? "1" : "0";
  const std::vector<sim::Row> rows = sim::rows(main);
  seen["rows"] = std::to_string(rows.size());
  for (size_t i = 0; i < rows.size(); i++) seen["row" + std::to_string(i)] = row_text(rows[i]);
  for (const sim::WindowInfo &c : sim::controls(main))
    if (c.id == 99) seen["exit_button"] = rect_text(c) + (c.enabled ? "" : " disabled");
}

}  // namespace

Outcome run_window(const WindowRunSpec &run) {
  orbu_test::RunSpec spec;
  spec.files = {kLogFile};
  spec.driver = run.driver;
  spec.knobs = run.knobs;
  spec.body = [&run](orbu_test::Observations &seen) {
    huld_log_add_sink(file_sink);
    huld_log_level = HULD_LOG_INFO;
    orbu_run_flags.customer_duzori = run.variant == Variant::duzori;
    orbu_run_flags.customer_dedi = run.variant == Variant::dedi;
    orbu_set_title_and_layout();
    orbu_set_exit_codes();
    orbu_font_normal = CreateFontA(18, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Segoe UI");
    orbu_font_bold = CreateFontA(18, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Segoe UI");
    orbu_font_small = CreateFontA(12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "Segoe UI");
    orbu_device_table_mutex = CreateMutexA(nullptr, FALSE, nullptr);
    INITCOMMONCONTROLSEX common_controls = {sizeof(common_controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&common_controls);

    g_devices = run.devices;
    g_workers.assign(g_devices.size(), 0);
    const uint32_t count = static_cast<uint32_t>(g_devices.size());
    // The strategies' between-steps roles run for real: an unknown strategy passes every
    // device on to its next step, "monb" re-reads the device, which these records cannot answer.
    static orbu_config unknown_strategy{}, monb{};
    unknown_strategy.strategy = 99;
    monb.strategy = ORBU_STRATEGY_MONB;
    auto *records = new orbu_device_update[count > 0 ? count : 1]();
    auto *devices = new huld_dev[count > 0 ? count : 1]();
    for (uint32_t i = 0; i < count; i++) {
      std::snprintf(devices[i].name, sizeof(devices[i].name), "dev%u", i);
      records[i].device = &devices[i];
      records[i].config = g_devices[i].unreadable_after_last_step ? &monb : &unknown_strategy;
      std::snprintf(records[i].display_text, sizeof(records[i].display_text), "%s",
                    g_devices[i].name.c_str());
      std::snprintf(records[i].operation_text, sizeof(records[i].operation_text),
                    "Update %s", g_devices[i].name.c_str());
      records[i].state.store(g_devices[i].state);
      records[i].step_count = g_devices[i].step_count;
      records[i].current_firmware = g_firmware[0];
      records[i].target_firmware = g_firmware[1];
    }
    orbu_device_table = {count, records};

    if (!run.ui.empty()) {
      sim::load_ui_section(run.ui);
      sim::start_ui_script();
    }
    const int code = static_cast<int>(orbu_run_updates());
    sim::stop_ui_script();

    observe(seen);
    for (uint32_t i = 0; i < count; i++) {
      seen["state" + std::to_string(i)] = std::to_string(records[i].state.load());
      seen["workers" + std::to_string(i)] = std::to_string(g_workers[i]);
    }
    return code;
  };
  Outcome outcome;
  outcome.result = orbu_test::run_program(spec);
  auto log = outcome.result.files.find(kLogFile);
  if (log != outcome.result.files.end()) outcome.log = log->second;
  for (size_t i = 0; i < run.devices.size(); i++) {
    outcome.states.push_back(
        static_cast<uint32_t>(std::stoul("0" + outcome.result.seen["state" + std::to_string(i)])));
    outcome.workers.push_back(std::stoi("0" + outcome.result.seen["workers" + std::to_string(i)]));
  }
  return outcome;
}

}  // namespace window_test

// The suite's engine: four machine seconds per step, progress in quarters, 1.0 only at the end.
DWORD WINAPI orbu_update_device_thread(LPVOID parameter) {
  auto *record = static_cast<orbu_device_update *>(parameter);
  const size_t i = window_test::index_of(record);
  const window_test::Device &device = window_test::g_devices[i];
  const size_t step = static_cast<size_t>(window_test::g_workers[i]++);
  for (int quarter = 1; quarter <= 3; quarter++) {
    Sleep(1000);
    record->progress.store(quarter * 0.25);
  }
  Sleep(1000);
  record->state.store(step < device.outcomes.size() ? device.outcomes[step] : device.outcomes.back());
  record->progress.store(1.0);
  return 0;
}

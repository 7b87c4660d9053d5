// The command-line functions, the summary's exit codes, the title and layout per customer and the
// device-table order, driven directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_options.h"
#include "orbu/orbu_strategies.h"
#include "orbu/orbu_summary.h"
#include "support/log_capture.h"

namespace {

std::string rewrite(const std::string &line) {
  std::vector<char> buffer(line.size() + 257, '\0');
  std::memcpy(buffer.data(), line.data(), line.size());
  orbu_detect_binary_argument(buffer.data());
  return buffer.data();
}

TEST(OrbuCommandLine, DroppedFileRewrite) {
  struct Case {
    const char *line;
    const char *expected;
  };
  const Case cases[] = {
      {"fw.vesk /s", "/D:fw.vesk /s"},
      {"/s C:\\dir\\fw.bin", "/s /D:C:\\dir\\fw.bin"},
      {"x.BIN", "/D:x.BIN"},
      {"x.VESK /debug", "/D:x.VESK /debug"},
      {"x.Bin", "x.Bin"},                          // the comparison is case-sensitive
      {"/D:x.bin", "/D:x.bin"},                    // an image option is already there
      {"x.bin /d:y.bin", "x.bin /d:y.bin"},
      {"/s /log=C:\\logs\\a.bin", "/s /log=C:\\logs\\a.bin"},  // the value of another option
      {"a.bin b.vesk", "a.bin /D:b.vesk"},         // ".vesk" is tried first
      {"C:\\my dir\\fw.bin", "C:\\my /D:dir\\fw.bin"},  // cut at the last blank
      {".bin", "/D:.bin"},                         // extension at the very start of the line
      {".vesk /s", "/D:.vesk /s"},
      {"", ""},
      {"/s", "/s"},
  };
  for (const Case &c : cases) EXPECT_EQ(rewrite(c.line), c.expected) << "line: " << c.line;

  char line[16] = "a.bin";
  EXPECT_EQ(orbu_insert_binary_option(line, ".vesk"), 1);
  EXPECT_STREQ(line, "a.bin");
  EXPECT_EQ(orbu_insert_binary_option(line, ".bin"), 0);
  EXPECT_STREQ(line, "/D:a.bin");
}

struct Parsed {
  std::string log_path = "-", binary_path = "-", target = "-", scsi_port = "-", sas_address = "-";
  uint32_t silent = 0, debug = 0, activate = 0;
};

Parsed parse(const char *line) {
  orbu_options options;
  std::memset(&options, 0, sizeof(options));
  EXPECT_EQ(orbu_parse_options(&options, line), 0);
  auto take = [](char *value) {
    std::string text = value != nullptr ? value : "-";
    std::free(value);
    return text;
  };
  Parsed p;
  p.log_path = take(options.log_path);
  p.binary_path = take(options.binary_path);
  p.target = take(options.target);
  p.scsi_port = take(options.scsi_port);
  p.sas_address = take(options.sas_address);
  p.silent = options.silent;
  p.debug = options.debug;
  p.activate = options.activate_immediately;
  return p;
}

TEST(OrbuCommandLine, OptionParser) {
  Parsed p = parse("/s /log=C:\\my logs\\run.txt /debug");
  EXPECT_EQ(p.silent, 1u);
  EXPECT_EQ(p.log_path, "C:\\my logs\\run.txt");
  EXPECT_EQ(p.debug, 1u);

  p = parse("/log=\"C:\\a b.txt\" /D:\"C:\\fw 1.bin\" /T:\\\\.\\PhysicalDrive3 /FIA");
  EXPECT_EQ(p.log_path, "C:\\a b.txt");        // quotes removed
  EXPECT_EQ(p.binary_path, "\"C:\\fw 1.bin\"");  // quotes kept
  EXPECT_EQ(p.target, "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(p.activate, 1u);
  EXPECT_EQ(p.silent, 0u);

  EXPECT_EQ(parse("/log=\"half.txt").log_path, "half.txt");
  EXPECT_EQ(parse("/log=").log_path, "");
  EXPECT_EQ(parse("/log=a.txt /log=b.txt").log_path, "b.txt");  // the later value wins

  // "/s" and "/A" only as whole options; "/debug" and "/FIA" as prefixes.
  EXPECT_EQ(parse("/S").silent, 0u);
  EXPECT_EQ(parse("/silent").silent, 0u);
  EXPECT_EQ(parse("/s  /debug").silent, 0u);  // the first option keeps a trailing blank
  EXPECT_EQ(parse("/s  /debug").debug, 1u);
  EXPECT_EQ(parse("/A").silent, 1u);
  EXPECT_EQ(parse("/debug /A").silent, 1u);
  EXPECT_EQ(parse("/a").silent, 0u);
  EXPECT_EQ(parse("/debugging").debug, 1u);
  EXPECT_EQ(parse("/FIAX").activate, 1u);
  EXPECT_EQ(parse("/fia").activate, 0u);

  // A line that starts with " /" has an empty first option: nothing is parsed.
  p = parse(" /s /debug");
  EXPECT_EQ(p.silent, 0u);
  EXPECT_EQ(p.debug, 0u);
  // Text before the first option is not an option.
  EXPECT_EQ(parse("program /s").silent, 1u);
  EXPECT_EQ(parse("program/s").silent, 0u);

  // "/C:" needs a comma to set either part.
  p = parse("/C:2");
  EXPECT_EQ(p.scsi_port, "-");
  EXPECT_EQ(p.sas_address, "-");
  p = parse("/C:2,5000ABCD");
  EXPECT_EQ(p.scsi_port, "2");
  EXPECT_EQ(p.sas_address, "5000ABCD");
  p = parse("/C:2,500,x");
  EXPECT_EQ(p.sas_address, "500");
  p = parse("/C:,");
  EXPECT_EQ(p.scsi_port, "");
  EXPECT_EQ(p.sas_address, "");

  orbu_options options;
  std::memset(&options, 0, sizeof(options));
  EXPECT_EQ(orbu_parse_options(&options, nullptr), 0);
  EXPECT_EQ(orbu_parse_options(&options, ""), 0);
  EXPECT_EQ(options.silent, 0u);
}

// A table of hand-filled records for the summary and ordering tests.
struct Table {
  std::vector<orbu_device_update> records;
  explicit Table(const std::vector<uint32_t> &states) : records(states.size()) {
    for (size_t i = 0; i < states.size(); i++) {
      records[i].state.store(states[i]);
      std::snprintf(records[i].display_text, sizeof(records[i].display_text), "device %zu", i);
    }
  }
  void install() {
    orbu_device_table.count = static_cast<uint32_t>(records.size());
    orbu_device_table.records = records.empty() ? nullptr : records.data();
  }
};

enum Variant { dedi, duzori, generic_silent, generic_window };

void set_variant(Variant v) {
  orbu_run_flags = {};
  orbu_run_flags.customer_dedi = v == dedi;
  orbu_run_flags.customer_duzori = v == duzori;
  orbu_run_flags.silent = v == generic_silent;
  orbu_set_exit_codes();
}

TEST(OrbuSummary, ExitCodesByVariantAndOutcome) {
  constexpr uint32_t U = ORBU_STATE_UPDATED, F = ORBU_STATE_FAILED, R = ORBU_STATE_REBOOT_REQUIRED,
                     N = ORBU_STATE_NOT_APPLICABLE, I = ORBU_STATE_IGNORED, Y = ORBU_STATE_READY;
  struct Case {
    const char *outcome;
    std::vector<uint32_t> states;
    uint32_t codes[4];  // Dedi, Duzori, generic silent, generic window
  };
  const Case cases[] = {
      {"reboot needed", {R}, {1602, 0, 3, 3}},
      {"reboot outweighs failures", {F, R, U}, {1602, 0, 3, 3}},
      {"failures only", {F, F, N}, {1, 1, 1, 1}},
      {"some updated, some failed", {U, F}, {3000, 0, 2, 2}},
      {"nothing applicable", {N, I}, {0, 1, 4, 0}},
      {"empty table", {}, {0, 1, 4, 0}},
      {"ready but never started", {Y, Y, N}, {0, 1, 4, 0}},
      {"all ignored", {I, I}, {0, 1, 4, 0}},
      {"updated, nothing failed", {U, N, U}, {0, 0, 0, 0}},
  };
  for (const Case &c : cases) {
    Table table(c.states);
    table.install();
    for (Variant v : {dedi, duzori, generic_silent, generic_window}) {
      set_variant(v);
      EXPECT_EQ(orbu_summarize(), c.codes[v]) << c.outcome << ", variant " << v;
      EXPECT_EQ(orbu_exit_codes.success, 0u);
      EXPECT_EQ(orbu_exit_codes.failure, 1u);
    }
  }
  orbu_device_table = {0, nullptr};
}

TEST(OrbuStartup, TitleAndLayoutByCustomer) {
  struct Case {
    const char *name;
    uint32_t dedi, duzori, dfmonmb;
    const char *title;
    orbu_ui_flags_t layout;
  };
  const Case cases[] = {
      {"Dedi", 1, 0, 0, "Corvane Field Update Tool - v1.16.1", {30, 0, 0, 0, 1, 0, 1, 0}},
      {"Duzori", 0, 1, 0, "corvupdater - v3.16.1", {30, 1, 0, 0, 0, 0, 1, 1}},
      {"Duzori dfmonmb", 0, 1, 1, "corvupdater - v3.16.1", {30, 1, 0, 0, 0, 0, 1, 1}},
      {"generic", 0, 0, 0, "DriveMender - v6.16.1", {50, 0, 1, 1, 1, 1, 0, 0}},
      {"generic dfmonmb", 0, 0, 1, "Corvane Field Update Tool - v1.16.1", {50, 0, 1, 1, 1, 1, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::snprintf(orbu_window_title, sizeof(orbu_window_title), "%s",
                  "Corvane Field Update Tool - v1.16.1");
    orbu_run_flags = {};
    orbu_run_flags.customer_dedi = c.dedi;
    orbu_run_flags.customer_duzori = c.duzori;
    orbu_run_flags.strategy_dfmonmb = c.dfmonmb;
    orbu_set_title_and_layout();
    EXPECT_STREQ(orbu_window_title, c.title);
    EXPECT_EQ(std::memcmp(&orbu_ui_flags, &c.layout, sizeof(c.layout)), 0);
  }
}

// The numbers reach the user ("Firmware update complete (%d).").
TEST(OrbuRecords, StatesKeepTheirNumbers) {
  EXPECT_EQ(ORBU_STATE_UPDATED, 5u);
  EXPECT_EQ(ORBU_STATE_FAILED, 6u);
  EXPECT_EQ(ORBU_STATE_REBOOT_REQUIRED, 7u);
  EXPECT_EQ(ORBU_STATE_READY, 8u);
  EXPECT_EQ(ORBU_STATE_NOT_APPLICABLE, 9u);
  EXPECT_EQ(ORBU_STATE_IGNORED, 11u);
  EXPECT_EQ(ORBU_STATE_IN_PROGRESS, 12u);
}

TEST(OrbuStartup, WindowHeightAndReadyFirstOrder) {
  constexpr uint32_t R = ORBU_STATE_READY, N = ORBU_STATE_NOT_APPLICABLE, I = ORBU_STATE_IGNORED;
  {
    // Generic: two ready rows and one other listed row.
    Table table({R, N, I, R});
    orbu_ui_flags = {};
    orbu_ui_flags.row_height = 50;
    orbu_ui_flags.list_all_devices = 1;
    EXPECT_EQ(orbu_window_height(table.records.data(), 4), 50u + 117 + 75 + 75 + 55);
    // Duzori lists ready devices only.
    orbu_ui_flags.row_height = 30;
    orbu_ui_flags.list_all_devices = 0;
    EXPECT_EQ(orbu_window_height(table.records.data(), 4), 30u + 117 + 75 + 75);
    EXPECT_EQ(orbu_window_height(nullptr, 0), 147u);
  }
  {
    Table table({N, R, I, R});
    table.records[1].progress.store(0.25);
    orbu_order_ready_first(table.records.data(), 4);
    const char *order[] = {"device 1", "device 3", "device 2", "device 0"};
    const uint32_t states[] = {R, R, I, N};
    for (int i = 0; i < 4; i++) {
      EXPECT_STREQ(table.records[i].display_text, order[i]) << i;
      EXPECT_EQ(table.records[i].state.load(), states[i]) << i;
    }
    EXPECT_EQ(table.records[0].progress.load(), 0.25);  // a record moves as a whole
  }
  {
    Table table({R, R, N, N, R});
    orbu_order_ready_first(table.records.data(), 5);
    EXPECT_STREQ(table.records[2].display_text, "device 4");
    EXPECT_STREQ(table.records[4].display_text, "device 2");
  }
}

// The command line and "dedicidonb" update in one step: between steps they neither read the
// device again nor match it, they only say so.
TEST(OrbuStrategies, SingleStepStrategiesSkipTheBetweenStepsRoles) {
  for (const uint32_t strategy : {ORBU_STRATEGY_CLI, ORBU_STRATEGY_DEDICIDONB}) {
    huld_dev device{};
    std::strcpy(device.name, "disk7");
    orbu_config config{};
    config.strategy = strategy;
    orbu_device_update record{};
    record.device = &device;
    record.config = &config;
    record.state.store(ORBU_STATE_UPDATED);
    testsupport::log_capture log(HULD_LOG_INFO);
    orbu_collect_device_data(&record);
    orbu_collect_operation_state(&record);
    const std::string n = std::to_string(strategy);
    EXPECT_EQ(log.text(),
              "Device disk7 data collection ignored, unrecognized strategy " + n + ".\n"
              "Device disk7 operation state collection ignored, unrecognized strategy " + n + ".\n")
        << strategy;
    EXPECT_EQ(record.state.load(), ORBU_STATE_READY) << strategy;
  }
}

}  // namespace

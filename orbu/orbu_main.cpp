#include "orbu/orbu_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/huld_util.h"
#include "orbu/orbu_options.h"
#include "orbu/orbu_package.h"
#include "orbu/orbu_scan.h"
#include "orbu/orbu_strategies.h"
#include "orbu/orbu_strategy_table.h"
#include "orbu/orbu_summary.h"
#include "orbu/orbu_threads.h"
#include "orbu/orbu_window.h"

orbu_run_flags_t orbu_run_flags = {};
orbu_ui_flags_t orbu_ui_flags = {};
char orbu_window_title[36] = "Corvane Field Update Tool - v" ORBU_VERSION;
orbu_device_table_t orbu_device_table = {0, nullptr};
char *orbu_log_path = nullptr;
HANDLE orbu_log_mutex = nullptr;
HANDLE orbu_device_table_mutex = nullptr;
HFONT orbu_font_normal = nullptr;
HFONT orbu_font_bold = nullptr;
HFONT orbu_font_small = nullptr;
HINSTANCE orbu_instance = nullptr;
int orbu_show_command = 0;
HWND orbu_main_window = nullptr;

static_assert(sizeof("Corvane Field Update Tool - v" ORBU_VERSION) <= sizeof(orbu_window_title));

namespace {

const orbu_ui_flags_t duzori_layout = {30, 1, 0, 0, 0, 0, 1, 1};
const orbu_ui_flags_t dedi_layout = {30, 0, 0, 0, 1, 0, 1, 0};
const orbu_ui_flags_t generic_layout = {50, 0, 1, 1, 1, 1, 0, 0};

// Window style of the main window: caption, system menu and minimise box.
constexpr DWORD main_window_style = 0x00CA0000;
constexpr int main_window_width = 530;

// The title "<name> - v<major + offset><rest>" from the tool's version; false when the version
// text cannot be read.
bool make_versioned_title(const char *name, unsigned offset) {
  unsigned major = 0;
  char rest[32] = {0};
  if (std::sscanf(ORBU_VERSION, "%u%31s", &major, rest) != 2) return false;
  // The title is cut to its buffer when it does not fit.
  const int length = std::snprintf(orbu_window_title, sizeof(orbu_window_title), "%s - v%u%s",
                                   name, major + offset, rest);
  return length >= 0;
}

void swap_records(orbu_device_update &a, orbu_device_update &b) {
  std::swap(a.percent_label, b.percent_label);
  std::swap(a.progress_bar, b.progress_bar);
  std::swap(a.result_label, b.result_label);
  std::swap(a.name_label, b.name_label);
  std::swap(a.start_button, b.start_button);
  std::swap(a.display_text, b.display_text);
  std::swap(a.operation_text, b.operation_text);
  double progress = a.progress.load();
  a.progress.store(b.progress.load());
  b.progress.store(progress);
  uint32_t state = a.state.load();
  a.state.store(b.state.load());
  b.state.store(state);
  std::swap(a.device, b.device);
  std::swap(a.config, b.config);
  std::swap(a.options, b.options);
  std::swap(a.step_count, b.step_count);
  std::swap(a.target_model, b.target_model);
  std::swap(a.target_firmware, b.target_firmware);
  std::swap(a.current_firmware, b.current_firmware);
  std::swap(a.packed_binary, b.packed_binary);
  std::swap(a.identity, b.identity);
  std::swap(a.busy, b.busy);
}

// The records of the configuration, each under its number, in the strategy's own layout.
void log_strategy_records(const orbu_config *config, const orbu_strategy_row &row) {
  const auto *records = static_cast<const uint8_t *>(config->records);
  for (uint32_t i = 0; i < config->record_count && records != nullptr; i++) {
    HULD_LOG(HULD_LOG_INFO, "    Strategy Data %u\n", i);
    row.log_record(records + static_cast<size_t>(i) * row.record_size);
  }
}

// Logs one option line: its label, then the value or the fallback.
void log_option(const char *label, const char *value, const char *fallback) {
  HULD_LOG(HULD_LOG_INFO, "%s%s\n", label, value != nullptr ? value : fallback);
}

void log_configuration(const orbu_config *config, const orbu_options *options) {
  HULD_LOG(HULD_LOG_INFO, "Update Configuration\n");
  HULD_LOG(HULD_LOG_INFO, "    Customer: ");
  if (orbu_run_flags.customer_dedi) {
    HULD_LOG(HULD_LOG_INFO, "Dedi\n");
  } else if (orbu_run_flags.customer_duzori) {
    HULD_LOG(HULD_LOG_INFO, "Duzori\n");
  } else {
    HULD_LOG(HULD_LOG_INFO, "Generic\n");
  }

  HULD_LOG(HULD_LOG_INFO, "    Options:\n");
  log_option("        Log Path:          ", options->log_path, "Unspecified");
  log_option("        Binary:            ", options->binary_path, "Embedded");
  log_option("        Target:            ", options->target, "Embedded");
  log_option("        SCSI Port:         ", options->scsi_port, "Embedded");
  log_option("        SAS Address:       ", options->sas_address, "Embedded");
  HULD_LOG(HULD_LOG_INFO, "        Internal Release:  %d\n",
           static_cast<int>(orbu_run_flags.internal_release));
  HULD_LOG(HULD_LOG_INFO, "        Firmware Activate: %d\n",
           static_cast<int>(orbu_run_flags.activate_immediately));

  HULD_LOG(HULD_LOG_INFO, "    Strategy: ");
  const orbu_strategy_row *row = orbu_strategy_row_of(config->strategy);
  if (row == nullptr) {
    HULD_LOG(HULD_LOG_INFO, "UNKNOWN (%d)\n", static_cast<int>(config->strategy));
  } else {
    HULD_LOG(HULD_LOG_INFO, "%s\n", row->name);
    if (row->log_record != nullptr) log_strategy_records(config, *row);
  }

  for (uint32_t i = 0; i < config->binary_count && config->binaries != nullptr; i++) {
    HULD_LOG(HULD_LOG_INFO, "    Firmware Binary %u\n", i);
    HULD_LOG(HULD_LOG_INFO, "        Name: %s\n", config->binaries[i].name);
    HULD_LOG(HULD_LOG_INFO, "        Size: %u\n", config->binaries[i].size);
  }
}

// Run flags from the mode: the package's configuration, or the command line alone.
void decide_run_mode(bool embedded, orbu_config *config, const orbu_options *options) {
  if (!embedded) {
    config->strategy = ORBU_STRATEGY_CLI;
    orbu_run_flags.cli_mode = 1;
    orbu_run_flags.customer_duzori = 1;
    orbu_run_flags.customer_dedi = 0;
    orbu_run_flags.internal_release = 0;
    orbu_run_flags.silent = options->silent ? 1 : 0;
    orbu_run_flags.activate_immediately = options->activate_immediately ? 1 : 0;
    HULD_LOG(HULD_LOG_INFO, "Failed to unpack configuration from the binary.\n");
    HULD_LOG(HULD_LOG_INFO, "The application will handle configuration only via the CLI.\n");
    HULD_LOG(HULD_LOG_INFO,
             "If embedded configuration is intended, please ensure your file has not become "
             "corrupted.\n");
  } else {
    orbu_run_flags.cli_mode = 0;
    orbu_run_flags.customer_duzori = config->customer == ORBU_CUSTOMER_DUZORI ? 1 : 0;
    orbu_run_flags.customer_dedi = config->customer == ORBU_CUSTOMER_DEDI ? 1 : 0;
    orbu_run_flags.internal_release = config->internal_release ? 1 : 0;
    orbu_run_flags.silent = (config->silent || options->silent) ? 1 : 0;
    orbu_run_flags.activate_immediately = 1;
    HULD_LOG(HULD_LOG_INFO, "Detected embedded binary configuration.\n");
    HULD_LOG(HULD_LOG_INFO,
             "This application will not accept further update configuration via the CLI.\n");
  }
  orbu_run_flags.strategy_dfmonmb = config->strategy == ORBU_STRATEGY_DFMONMB ? 1 : 0;
}

// Opens the log: the "/log=" path, else the default file unless the package asks for silence.
void open_log(bool embedded, const orbu_config *config, const orbu_options *options) {
  orbu_log_mutex = CreateMutexA(nullptr, FALSE, nullptr);
  if (orbu_log_mutex == nullptr) return;  // nothing is logged for the whole run
  if (options->log_path != nullptr) {
    orbu_log_path = options->log_path;
  } else if (!(embedded && config->silent)) {
    static const char default_log[] = "corvaneupdlog.txt";
    orbu_log_path = static_cast<char *>(std::malloc(sizeof(default_log)));
    if (orbu_log_path != nullptr) std::memcpy(orbu_log_path, default_log, sizeof(default_log));
  }
  if (orbu_log_path == nullptr) return;
  huld_log_add_sink(orbu_log_file_sink);
  huld_log_level = options->debug ? HULD_LOG_VERBOSE : HULD_LOG_INFO;
}

HFONT create_font(int height, int weight) {
  return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH,
                     "Segoe UI");
}

// Every exit after the log is open ends with the time stamp.
uint32_t finish(uint32_t code) {
  orbu_log_timestamp("End Timestamp");
  return code;
}

uint32_t window_run(uint32_t height) {
  WNDCLASSEXA window_class;
  std::memset(&window_class, 0, sizeof(window_class));
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = orbu_main_window_proc;
  window_class.hInstance = orbu_instance;
  // The program carries no icon of its own: the standard application icon comes from the system.
  window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  window_class.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszClassName = ORBU_WINDOW_CLASS;
  if (RegisterClassExA(&window_class) == 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Failed to initialize the graphical user interface.\n");
    HULD_LOG(HULD_LOG_NOTICE,
             "Please run the update in silent mode by appending /s to the command line.\n");
    return orbu_exit_codes.failure;
  }

  orbu_main_window = CreateWindowExA(0, ORBU_WINDOW_CLASS, orbu_window_title, main_window_style,
                                     CW_USEDEFAULT, CW_USEDEFAULT, main_window_width,
                                     static_cast<int>(height), nullptr, nullptr, orbu_instance,
                                     nullptr);
  if (orbu_main_window == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Failed to create the graphical user interface.\n");
    HULD_LOG(HULD_LOG_NOTICE,
             "Please run the update in silent mode by appending /s to the command line.\n");
    return orbu_exit_codes.failure;
  }
  ShowWindow(orbu_main_window, orbu_show_command);
  UpdateWindow(orbu_main_window);
  // The controls are built (and an automatic update started) by this message, once, whatever
  // the show command: a minimised or hidden start gets no show notification.
  PostMessageA(orbu_main_window, orbu_start_message, 0, 0);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  orbu_join_update_threads();
  return orbu_summarize();
}

// The run's own heap blocks: released when the run ends, whichever way it ends. The log path
// stays, since the log sink writes to it until the process ends.
struct run_storage {
  char *line = nullptr;
  orbu_options options;
  orbu_config config;
  run_storage() {
    std::memset(&options, 0, sizeof(options));
    std::memset(&config, 0, sizeof(config));
  }
  run_storage(const run_storage &) = delete;
  run_storage &operator=(const run_storage &) = delete;
  ~run_storage() {
    std::free(line);
    if (options.log_path != orbu_log_path) std::free(options.log_path);
    for (char *value : {options.binary_path, options.target, options.scsi_port, options.sas_address})
      std::free(value);
    orbu_package_clear(&config);
    orbu_release_cli_image();
  }
};

uint32_t run(const char *command_line) {
  run_storage storage;
  orbu_options &options = storage.options;
  orbu_config &config = storage.config;

  // The command line as received stays unchanged; the copy has room for the "/D:" rewrite.
  const size_t length = std::strlen(command_line);
  char *line = storage.line = static_cast<char *>(std::calloc(length + 257, 1));
  if (line == nullptr) return orbu_exit_codes.failure;
  std::memcpy(line, command_line, length);
  orbu_detect_binary_argument(line);

  if (orbu_parse_options(&options, line) != 0) return orbu_exit_codes.failure;

  // The log level is still 0: nothing that the unpack logs reaches a file.
  const bool embedded = orbu_unpack_embedded(&config) == 0;

  open_log(embedded, &config, &options);

  orbu_log_version();
  orbu_log_timestamp("Start Timestamp");
  HULD_LOG(HULD_LOG_INFO, "Command Line: %s\n", command_line);
  HULD_LOG(HULD_LOG_INFO, "Modified Command Line: %s\n", line);

  decide_run_mode(embedded, &config, &options);
  orbu_set_title_and_layout();
  orbu_set_exit_codes();
  log_configuration(&config, &options);

  if (embedded && orbu_check_binaries(&config) != 0) {
    HULD_LOG(HULD_LOG_NOTICE,
             "Update application failed early due to issues with binary consistency.\n");
    HULD_LOG(HULD_LOG_NOTICE,
             "This update package is malformed, please ensure your file has not become "
             "corrupted.\n");
    return finish(orbu_exit_codes.failure);
  }

  // The operating-system environment flags are decided here, once, on the main thread, before
  // any update thread can ask for them.
  huld_environment_initialize();

  orbu_font_normal = create_font(18, FW_NORMAL);
  orbu_font_bold = create_font(18, FW_BOLD);
  orbu_font_small = create_font(12, FW_NORMAL);
  INITCOMMONCONTROLSEX common_controls;
  common_controls.dwSize = sizeof(common_controls);
  common_controls.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&common_controls);

  const uint32_t count = orbu_scan_devices(embedded ? 1 : 0);

  // An empty scan is a valid, empty table.
  orbu_device_table_mutex = CreateMutexA(nullptr, FALSE, nullptr);
  orbu_device_update *records = nullptr;
  if (orbu_device_table_mutex != nullptr && count > 0)
    records = new (std::nothrow) orbu_device_update[count]();
  if (orbu_device_table_mutex == nullptr || (count > 0 && records == nullptr)) {
    HULD_LOG(HULD_LOG_NOTICE, "Insufficient resources to initialize application.\n");
    return finish(orbu_exit_codes.failure);
  }
  orbu_device_table.records = records;
  orbu_device_table.count = count;

  for (uint32_t i = 0; i < count; i++) {
    records[i].device = orbu_scanned_device(i);
    records[i].config = &config;
    records[i].options = &options;
    orbu_collect_device_info(&records[i]);
  }
  orbu_order_ready_first(records, count);

  // `options` and `config` live on this frame for the rest of the run, which ends here.
  return finish(orbu_run_updates());
}

}  // namespace

void orbu_log_version() {
  HULD_LOG(HULD_LOG_INFO, "Corvane Field Update Tool version " ORBU_VERSION "\n");
}

void orbu_log_timestamp(const char *label) {
  if (huld_log_level < HULD_LOG_INFO) return;
  char text[256] = {0};
  time_t now = std::time(nullptr);
  struct tm local;
  std::memset(&local, 0, sizeof(local));
  if (localtime_s(&local, &now) != 0 || asctime_s(text, sizeof(text), &local) != 0) text[0] = '\0';
  HULD_LOG(HULD_LOG_INFO, "%s: %s", label, text);
}

int orbu_log_file_sink(const char *text) {
  // An abandoned mutex is ours now: write and release it as usual.
  const DWORD wait = WaitForSingleObject(orbu_log_mutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 0;
  // Appended whole, so that another run sharing the log cannot overwrite it; a text that cannot
  // be written is dropped.
  if (orbu_log_path != nullptr) huld_file_append_text(orbu_log_path, text);
  ReleaseMutex(orbu_log_mutex);
  return 0;
}

void orbu_set_title_and_layout() {
  if (orbu_run_flags.customer_dedi) {
    orbu_ui_flags = dedi_layout;
    return;
  }
  const char *name = nullptr;
  unsigned offset = 0;
  if (orbu_run_flags.customer_duzori) {
    orbu_ui_flags = duzori_layout;
    name = "corvupdater";
    offset = 2;
  } else {
    orbu_ui_flags = generic_layout;
    if (orbu_run_flags.strategy_dfmonmb) return;
    name = "DriveMender";
    offset = 5;
  }
  if (!make_versioned_title(name, offset)) {
    HULD_LOG(HULD_LOG_INFO, "Failed to calculate appropriate %s version.\n", name);
    HULD_LOG(HULD_LOG_INFO, "Falling back to the underlying update tool versioning scheme.\n");
  }
}

void orbu_order_ready_first(orbu_device_update *records, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    if (records[i].state.load() != ORBU_STATE_READY) continue;
    for (uint32_t j = 0; j < i; j++) {
      if (records[j].state.load() != ORBU_STATE_READY) {
        swap_records(records[i], records[j]);
        break;
      }
    }
  }
}

uint32_t orbu_window_height(const orbu_device_update *records, uint32_t count) {
  uint32_t height = orbu_ui_flags.row_height + 117;
  for (uint32_t i = 0; i < count; i++) {
    const uint32_t state = records[i].state.load();
    if (state == ORBU_STATE_READY) {
      height += 75;
    } else if (orbu_ui_flags.list_all_devices && state != ORBU_STATE_IGNORED) {
      height += 55;
    }
  }
  return height;
}

void orbu_fail_ready_devices() {
  for (uint32_t i = 0; i < orbu_device_table.count; i++) {
    orbu_device_update *record = &orbu_device_table.records[i];
    if (record->state.load(std::memory_order_acquire) != ORBU_STATE_READY) continue;
    record->progress.store(1.0, std::memory_order_release);
    record->state.store(ORBU_STATE_FAILED, std::memory_order_release);
  }
}

uint32_t orbu_run_updates() {
  if (orbu_run_flags.silent) {
    orbu_start_control_thread();
    orbu_join_update_threads();
    return orbu_summarize();
  }
  return window_run(orbu_window_height(orbu_device_table.records, orbu_device_table.count));
}

int orbu_main(HINSTANCE instance, const char *command_line, int show_command) {
  orbu_instance = instance;
  orbu_show_command = show_command;
  return static_cast<int>(run(command_line != nullptr ? command_line : ""));
}

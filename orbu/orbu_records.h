// The application's run-long records: options, update configuration, packed images and the
// per-device update record.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

struct huld_dev;

// Options taken from the command line.
struct orbu_options {
  char *log_path;             // "/log="
  uint32_t silent;            // "/s" or "/A"
  uint32_t debug;             // "/debug"
  char *binary_path;          // "/D:"
  char *target;               // "/T:"
  char *scsi_port;            // "/C:" before the comma
  char *sas_address;          // "/C:" after the comma
  uint32_t activate_immediately;  // "/FIA"
};

// One firmware image of the embedded package.
struct orbu_packed_binary {
  char name[32];
  uint8_t *data;  // heap copy of exactly `size` bytes, shared by the entries of a repeated name
  uint32_t size;
};

enum orbu_strategy : uint32_t {
  ORBU_STRATEGY_CLI = 0,
  ORBU_STRATEGY_MONB = 1,
  ORBU_STRATEGY_MONMB = 2,
  ORBU_STRATEGY_DEDICIDONB = 3,
  ORBU_STRATEGY_DFMONMB = 4,
};

enum orbu_customer : uint32_t {
  ORBU_CUSTOMER_GENERIC = 0,
  ORBU_CUSTOMER_DUZORI = 1,
  ORBU_CUSTOMER_DEDI = 2,
};

// The update configuration read from the embedded "fwconfig".
struct orbu_config {
  uint32_t strategy;
  uint32_t customer;
  uint32_t internal_release;
  uint32_t silent;
  uint32_t record_count;
  void *records;  // record_count records of the strategy's layout
  uint32_t binary_count;
  orbu_packed_binary *binaries;
};

// Strategy records, byte for byte as stored in "fwconfig".
#pragma pack(push, 1)
struct orbu_monb_record {
  char model[41];
  char old_firmware[9];
  char new_firmware[9];
  char binary_name[32];
};
struct orbu_monmb_record {
  char model[41];
  char old_firmware[9];
  char new_firmware[9];
  char new_model[41];
  char binary_name[32];
};
struct orbu_dedicidonb_record {
  char component_id[13];
  char old_firmware[9];
  char new_firmware[9];
  char binary_name[32];
};
struct orbu_dfmonmb_record {
  uint32_t drive_model_id;
  char model[41];
  char firmware[20];
  char new_firmware[20];
  char new_model[41];
  char binary_name[32];
};
#pragma pack(pop)
static_assert(sizeof(orbu_monb_record) == 91);
static_assert(sizeof(orbu_monmb_record) == 132);
static_assert(sizeof(orbu_dedicidonb_record) == 63);
static_assert(sizeof(orbu_dfmonmb_record) == 158);

enum orbu_update_state : uint32_t {
  ORBU_STATE_DOWNLOAD_OK = 0,
  ORBU_STATE_DOWNLOAD_FAILED = 1,
  ORBU_STATE_ACTIVATE_OK = 2,
  ORBU_STATE_ACTIVATE_FAILED = 3,
  ORBU_STATE_RESET_OK = 4,
  ORBU_STATE_UPDATED = 5,
  ORBU_STATE_FAILED = 6,
  ORBU_STATE_REBOOT_REQUIRED = 7,
  ORBU_STATE_READY = 8,
  ORBU_STATE_NOT_APPLICABLE = 9,
  ORBU_STATE_IGNORED = 11,
  ORBU_STATE_IN_PROGRESS = 12,
};

// Identity captured by a strategy's collect step.
union orbu_identity {
  struct {
    char model[41];
    char firmware[41];
  } mo;  // "monb", "monmb"
  struct {
    uint32_t drive_model_id;
    char model[41];
    char native_firmware[20];
  } df;  // "dfmonmb"
  struct {
    char component_id[13];
    char firmware[41];
  } cid;  // "dedicidonb"
};

// One record per scanned device. Progress and state are written by the one thread that updates
// the device and read by the pollers and the window without a lock, hence atomics.
struct orbu_device_update {
  HWND percent_label;
  HWND progress_bar;
  HWND result_label;
  HWND name_label;
  HWND start_button;
  char display_text[256];
  char operation_text[256];
  std::atomic<double> progress;
  std::atomic<uint32_t> state;
  huld_dev *device;
  orbu_config *config;
  orbu_options *options;
  uint32_t step_count;
  char *target_model;
  char *target_firmware;
  char *current_firmware;
  orbu_packed_binary *packed_binary;
  orbu_identity identity;
  // Busy marking for the generic variant's single-device threads (changed under a small lock).
  uint32_t busy;
};

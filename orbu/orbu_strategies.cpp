#include "orbu/orbu_strategies.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "huld/huld_log.h"
#include "huld/huld_util.h"
#include "orbu/orbu_device_lib.h"
#include "orbu/orbu_package.h"
#include "orbu/orbu_scan.h"
#include "orbu/orbu_strategy_table.h"

namespace {

constexpr uint32_t kTextSize = 41;
constexpr uint32_t kVscIdSize = 512;
constexpr uint32_t kMaxSteps = 10;

const char *device_name(const orbu_device_update *r) { return r->device->name; }
uint32_t strategy_of(const orbu_device_update *r) { return r->config->strategy; }

uint32_t state_of(const orbu_device_update *r) {
  return r->state.load(std::memory_order_acquire);
}
void set_state(orbu_device_update *r, uint32_t state) {
  r->state.store(state, std::memory_order_release);
}

void set_text(char (&text)[256], const char *format, ...) __attribute__((format(printf, 2, 3)));
void set_text(char (&text)[256], const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
}

// After a configuration match: takes the packed binary the record names, or tells the caller to go
// on searching when the package has none of that name.
bool take_packed_binary(orbu_device_update *r, const char *binary_name) {
  HULD_LOG(HULD_LOG_INFO, "Configuration match found, now search for appropriate packed binary.\n");
  orbu_packed_binary *binary = orbu_find_packed_binary(r->config, binary_name);
  if (binary == nullptr) return false;
  HULD_LOG(HULD_LOG_INFO, "Packed binary found.\n");
  r->packed_binary = binary;
  return true;
}

// One identity read with its failure lines: "could not capture <what>" when the read failed (the
// error record printed), "invalid <invalid>" when it gave an empty text and `invalid` is given.
// On failure the device is ignored.
bool capture(orbu_device_update *r, int result, const huld_error &err, const char *out,
             const char *what, const char *invalid) {
  if (result != 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s ignored, could not capture %s.\n", device_name(r), what);
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    set_state(r, ORBU_STATE_IGNORED);
    return false;
  }
  if (invalid != nullptr && out[0] == '\0') {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s ignored, invalid %s.\n", device_name(r), invalid);
    set_state(r, ORBU_STATE_IGNORED);
    return false;
  }
  return true;
}

bool read_model(orbu_device_update *r, char *model) {
  huld_error err{};
  const int result = vornbasics_get_model(&err, r->device, model, kTextSize);
  return capture(r, result, err, model, "model number", "model number");
}

bool read_serial(orbu_device_update *r, char *serial) {
  huld_error err{};
  const int result = vornbasics_get_serial(&err, r->device, serial, kTextSize);
  return capture(r, result, err, serial, "device serial number", "serial number");
}

bool read_firmware(orbu_device_update *r, char *firmware) {
  huld_error err{};
  const int result =
      vornfirmware_get_current_firmware_revision(&err, r->device, firmware, kTextSize);
  return capture(r, result, err, firmware, "firmware revision", "firmware revision");
}

// Model, serial and firmware revision for "monb" and "monmb".
bool capture_model_identity(orbu_device_update *r, char *serial) {
  return read_model(r, r->identity.mo.model) && read_serial(r, serial) &&
         read_firmware(r, r->identity.mo.firmware);
}

// Reads the vendor-unique identify record and its native firmware text; false when either fails,
// with `failed_step` 1 for the record and 2 for the text.
bool read_native_firmware(orbu_device_update *r, char *native, huld_error &err, uint8_t *vsc_id,
                          int &failed_step) {
  std::memset(vsc_id, 0, kVscIdSize);
  if (vornvuc_xr_vsc_execute_vsc_id(&err, r->device, vsc_id, kVscIdSize) != 0) {
    failed_step = 1;
    return false;
  }
  if (vornvuc_xr_vscid_parse_native_firmware(&err, native, 20, vsc_id, kVscIdSize) != 0) {
    failed_step = 2;
    return false;
  }
  return true;
}

// "Operation state" for the strategies that match at collection: a device that is not ignored is
// matched; no match makes it not applicable.
bool match_or_not_applicable(orbu_device_update *r, int (*matcher)(orbu_device_update *)) {
  if (state_of(r) == ORBU_STATE_IGNORED) return false;
  if (matcher(r) == 0) return true;
  HULD_LOG(HULD_LOG_NOTICE, "Update does not apply to device %s.\n", r->display_text);
  set_text(r->operation_text, "Update does not apply to device.");
  set_state(r, ORBU_STATE_NOT_APPLICABLE);
  return false;
}

void set_from_to_text(orbu_device_update *r) {
  set_text(r->operation_text, "Update firmware from current revision %s to target revision %s.",
           r->current_firmware, r->target_firmware);
}

// Matcher over records keyed by a text (model or component id) and the old firmware.
template <typename Record, typename Key, typename Apply>
int match_exact(orbu_device_update *r, const char *key_value, const char *firmware, Key key,
                Apply apply, const char *compare_line) {
  auto *records = static_cast<Record *>(r->config->records);
  for (uint32_t i = 0; i < r->config->record_count && records != nullptr; i++) {
    Record &c = records[i];
    HULD_LOG(HULD_LOG_INFO, compare_line, key(c), c.old_firmware);
    if (std::strcmp(key(c), key_value) != 0 || std::strcmp(c.old_firmware, firmware) != 0)
      continue;
    r->current_firmware = c.old_firmware;
    r->target_firmware = c.new_firmware;
    apply(c);
    if (take_packed_binary(r, c.binary_name)) return 0;
  }
  return 1;
}

// "monb" and "monmb": the record of the device's model and firmware; `apply` takes what else the
// record sets.
template <typename Record, typename Apply>
int match_model_firmware(orbu_device_update *r, Apply apply) {
  const auto &id = r->identity.mo;
  HULD_LOG(HULD_LOG_INFO, "Searching for match for model %s and firmware %s.\n", id.model,
           id.firmware);
  const int result = match_exact<Record>(
      r, id.model, id.firmware, [](Record &c) { return c.model; }, apply,
      "Comparing configuration model %s and firmware %s.\n");
  if (result != 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Could not find match for binary with model %s and firmware %s.\n",
             id.model, id.firmware);
  }
  return result;
}

// The per-strategy verify of a re-read revision: equal is updated, different reboot required.
void judge_revision(orbu_device_update *r, bool equal, const std::string &success,
                    const std::string &difference) {
  if (equal) {
    HULD_LOG(HULD_LOG_INFO, "%s", success.c_str());
    set_state(r, ORBU_STATE_UPDATED);
    return;
  }
  HULD_LOG(HULD_LOG_INFO, "%s", difference.c_str());
  HULD_LOG(HULD_LOG_INFO,
           "The device requires a full power cycle to update firmware. Please fully power down "
           "your system, then power up.\n");
  set_state(r, ORBU_STATE_REBOOT_REQUIRED);
}

void verify_failed(orbu_device_update *r, const char *line, const huld_error &err) {
  HULD_LOG(HULD_LOG_NOTICE, line, r->display_text);
  HULD_LOG(HULD_LOG_NOTICE, "Assuming update on device %s was not successful.\n", r->display_text);
  HULD_LOG_ERROR(HULD_LOG_INFO, &err);
  set_state(r, ORBU_STATE_FAILED);
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  return text;
}

constexpr const char *kFirmwareUnreadable =
    "Could not capture current firmware for device %s to check if download was successful.\n";

// "monb" and "dedicidonb": the revision read again against the target.
void verify_revision(orbu_device_update *r) {
  huld_error err{};
  char firmware[kTextSize] = {0};
  if (vornfirmware_get_current_firmware_revision(&err, r->device, firmware, kTextSize) != 0) {
    verify_failed(r, kFirmwareUnreadable, err);
    return;
  }
  judge_revision(
      r, std::strcmp(firmware, r->target_firmware) == 0,
      format("Successfully updated from firmware %s to %s on device %s.\n", r->current_firmware,
             r->target_firmware, r->display_text),
      format("Did not successfully update from firmware %s to %s on device %s. Current firmware "
             "is %s.\n",
             r->current_firmware, r->target_firmware, r->display_text, firmware));
}

// "/T:" names a device by its path, or (for "\\.\PhysicalDriveN") by its disk node "diskN".
bool matches_cli_path(const char *target, const huld_dev *dev) {
  if (std::strncmp(dev->conn.path, target, 1024) == 0) return true;
  if (std::strlen(target) < 17) return false;
  char name[32];
  std::snprintf(name, sizeof(name), "disk%s", target + 17);
  return std::strncmp(name, dev->name, sizeof(name)) == 0;
}

// "/C:" names a CSMI record by its port and SAS address; the phy and port identifier in between
// may be anything.
bool matches_cli_csmi(const orbu_options *options, const huld_dev *dev) {
  char pattern[32];
  std::snprintf(pattern, sizeof(pattern), "csmi%s.?.?.%s", options->scsi_port,
                options->sas_address);
  return huld_str_wildcard_compare(pattern, dev->name) == 0;
}

// Whether the command line's target ("/T:", else both "/C:" parts) names the device.
bool matches_cli_target(const orbu_options *options, const huld_dev *dev) {
  return options->target != nullptr ? matches_cli_path(options->target, dev)
                                    : matches_cli_csmi(options, dev);
}

// How many devices of the scan the command line's target names.
uint32_t count_cli_target_matches(const orbu_options *options) {
  uint32_t matches = 0;
  for (uint32_t i = 0; const huld_dev *dev = orbu_scanned_device(i); i++)
    if (matches_cli_target(options, dev)) matches++;
  return matches;
}

// The command-line image: read on the first need, then shared by every matching record until
// orbu_release_cli_image. A refused image is not read again.
struct {
  bool tried;
  orbu_packed_binary *binary;
} cli_image_state = {};

orbu_packed_binary *cli_image(const char *path) {
  if (cli_image_state.tried) return cli_image_state.binary;
  cli_image_state.tried = true;
  uint8_t *data = nullptr;
  uint64_t size = 0;
  // An empty image or one beyond the 32-bit size is refused like an unreadable one; a file above
  // that size is refused by its size, before anything is allocated for it, and a path that names
  // no regular file before it is opened.
  const int read = orbu_read_file(path, 0xFFFFFFFFull, &data, &size);
  if (read == 2) HULD_LOG(HULD_LOG_NOTICE, "Binary %s is not a regular file.\n", path);
  if (read != 0 || size == 0) {
    std::free(data);
    return nullptr;
  }
  auto *binary = static_cast<orbu_packed_binary *>(std::calloc(1, sizeof(orbu_packed_binary)));
  if (binary == nullptr) {
    std::free(data);
    return nullptr;
  }
  std::snprintf(binary->name, sizeof(binary->name), "%s", path);
  binary->data = data;
  binary->size = static_cast<uint32_t>(size);
  return cli_image_state.binary = binary;
}

// A "monmb" step whose result is the device's starting identity.
bool returns_to_start(const orbu_monmb_record &step, const char *firmware, const char *model) {
  return std::strcmp(step.new_firmware, firmware) == 0 && std::strcmp(step.new_model, model) == 0;
}

}  // namespace

// ---- dispatchers -----------------------------------------------------------------------------

void orbu_collect_device_info(orbu_device_update *r) {
  const orbu_strategy_row *row = orbu_strategy_row_of(strategy_of(r));
  if (row == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s ignored, unrecognized strategy %d.\n", device_name(r),
             static_cast<int>(strategy_of(r)));
    set_state(r, ORBU_STATE_IGNORED);
  } else {
    HULD_LOG(HULD_LOG_INFO, "Collect device information for strategy \"%s\".\n", row->name);
    row->collect(r);
    if (row->collect_state != nullptr) row->collect_state(r);
  }
  const uint32_t state = state_of(r);
  if (state != ORBU_STATE_FAILED && state != ORBU_STATE_NOT_APPLICABLE &&
      state != ORBU_STATE_IGNORED)
    set_state(r, ORBU_STATE_READY);
}

void orbu_verify_update(orbu_device_update *r) {
  const uint32_t state = state_of(r);
  if (state == ORBU_STATE_REBOOT_REQUIRED) return;
  if (state != ORBU_STATE_ACTIVATE_OK && state != ORBU_STATE_RESET_OK) {
    set_state(r, ORBU_STATE_FAILED);
    return;
  }
  const orbu_strategy_row *row = orbu_strategy_row_of(strategy_of(r));
  if (row == nullptr) {
    HULD_LOG(HULD_LOG_INFO, "Device %s update strategy was unrecognized. Assume update failed.\n",
             device_name(r));
    set_state(r, ORBU_STATE_FAILED);
    return;
  }
  HULD_LOG(HULD_LOG_INFO, "Checking if update was successful for strategy \"%s\".\n",
           row->name);
  row->verify(r);
}

// ---- command line ------------------------------------------------------------------------------

void orbu_collect_info_cli(orbu_device_update *r) {
  huld_error err{};
  char model[kTextSize] = {0};
  char serial[kTextSize] = {0};
  const bool model_read = vornbasics_get_model(&err, r->device, model, kTextSize) == 0;
  if (!model_read || vornbasics_get_serial(&err, r->device, serial, kTextSize) != 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s detected but failed, could not capture %s number.\n",
             device_name(r), model_read ? "serial" : "model");
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    set_text(r->operation_text, "Device communication unreliable!");
    set_state(r, ORBU_STATE_IGNORED);
    return;
  }
  set_text(r->display_text, "%s (%s)", serial, model);
  HULD_LOG(HULD_LOG_INFO, "Detected device %s as %s.\n", device_name(r), r->display_text);

  const orbu_options *options = r->options;
  const char *path = r->device->conn.path;
  // The target as the log lines name it: the "/T:" text, or the "/C:" port and address.
  std::string target;
  if (options->target != nullptr) {
    target = options->target;
  } else if (options->scsi_port != nullptr && options->sas_address != nullptr) {
    target = std::string(options->scsi_port) + "." + options->sas_address;
  } else {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s ignored, invalid CLI detection options.\n",
             device_name(r));
    set_state(r, ORBU_STATE_IGNORED);
    return;
  }
  if (!matches_cli_target(options, r->device)) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s (%s) ignored, does not match CLI target %s.\n",
             device_name(r), path, target.c_str());
    set_state(r, ORBU_STATE_IGNORED);
    return;
  }
  // Records behind a RAID or CSMI port share the port's path, and a "/C:" address with wildcards
  // names every drive it fits: a target that names several records cannot tell which drive the
  // image is for, so none of them is updated.
  const uint32_t matches = count_cli_target_matches(options);
  if (matches > 1) {
    HULD_LOG(HULD_LOG_NOTICE,
             "Device %s (%s) not updated, CLI target %s matches %u devices; it must name "
             "exactly one.\n",
             device_name(r), path, target.c_str(), matches);
    set_text(r->operation_text, "CLI target matches %u devices!", matches);
    set_state(r, ORBU_STATE_FAILED);
    return;
  }

  if (options->binary_path == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Binary not specified for update on device %s.\n", r->display_text);
    set_text(r->operation_text, "Binary not specified for update!");
    set_state(r, ORBU_STATE_FAILED);
    return;
  }
  orbu_packed_binary *binary = cli_image(options->binary_path);
  if (binary == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, "Could not operate on binary %s, device %s update not applicable.\n",
             options->binary_path, r->display_text);
    set_text(r->operation_text, "Invalid binary provided for update!");
    set_state(r, ORBU_STATE_FAILED);
    return;
  }
  r->packed_binary = binary;
  set_text(r->operation_text, "Update firmware to %s.", binary->name);
}

void orbu_release_cli_image() {
  if (cli_image_state.binary != nullptr) std::free(cli_image_state.binary->data);
  std::free(cli_image_state.binary);
  cli_image_state = {};
}

void orbu_verify_cli(orbu_device_update *r) {
  HULD_LOG(HULD_LOG_INFO, "Firmware update process successful.\n");
  set_state(r, ORBU_STATE_UPDATED);
}

// ---- "monb" ----------------------------------------------------------------------------------

void orbu_collect_info_monb(orbu_device_update *r) {
  char serial[kTextSize] = {0};
  if (!capture_model_identity(r, serial)) return;
  set_text(r->display_text, "SN: %s - MN: %s - FW: %s", serial, r->identity.mo.model,
           r->identity.mo.firmware);
}

void orbu_collect_state_monb(orbu_device_update *r) {
  if (match_or_not_applicable(r, orbu_match_monb)) set_from_to_text(r);
}

int orbu_match_monb(orbu_device_update *r) {
  return match_model_firmware<orbu_monb_record>(r, [](orbu_monb_record &) {});
}

void orbu_verify_monb(orbu_device_update *r) { verify_revision(r); }

// ---- "monmb" ---------------------------------------------------------------------------------

void orbu_collect_info_monmb(orbu_device_update *r) {
  char serial[kTextSize] = {0};
  if (!capture_model_identity(r, serial)) return;
  set_text(r->display_text, "SN: %s - MN: %s", serial, r->identity.mo.model);
}

void orbu_collect_state_monmb(orbu_device_update *r) {
  if (!match_or_not_applicable(r, orbu_match_monmb)) return;
  if (r->step_count == 0) orbu_find_multistep_path(r);
}

int orbu_match_monmb(orbu_device_update *r) {
  return match_model_firmware<orbu_monmb_record>(
      r, [r](orbu_monmb_record &c) { r->target_model = c.new_model; });
}

void orbu_find_multistep_path(orbu_device_update *r) {
  const auto *records = static_cast<const orbu_monmb_record *>(r->config->records);
  if (records == nullptr || r->target_firmware == nullptr) return;
  // Step 0 is the record the match chose: its target firmware points into it.
  const size_t offset = static_cast<size_t>(r->target_firmware -
                                            reinterpret_cast<const char *>(records));
  const uint32_t first = static_cast<uint32_t>(offset / sizeof(orbu_monmb_record));
  const auto &id = r->identity.mo;
  HULD_LOG(HULD_LOG_INFO, "Detecting recursive updates for monmb update strategy.\n");
  HULD_LOG(HULD_LOG_INFO, "    Model:            %s\n", id.model);
  HULD_LOG(HULD_LOG_INFO, "    Initial Firmware: %s\n", r->current_firmware);
  HULD_LOG(HULD_LOG_INFO, "    Target Firmware:  %s\n", r->target_firmware);
  HULD_LOG(HULD_LOG_INFO, "    Target Model:     %s\n", r->target_model);

  uint32_t path[kMaxSteps] = {first};
  uint32_t count = 1;
  // Step 0 is tested like every later step: a record that leads back to the starting identity
  // ends the chain at once.
  bool loop = returns_to_start(records[first], id.firmware, id.model);
  if (loop) HULD_LOG(HULD_LOG_INFO, "Update loop detected, recursive update check complete.\n");
  while (!loop && count < kMaxSteps) {
    const orbu_monmb_record &last = records[path[count - 1]];
    HULD_LOG(HULD_LOG_INFO, "Searching for updates from firmware %s and model %s.\n",
             last.new_firmware, last.new_model);
    uint32_t next = r->config->record_count;
    for (uint32_t i = 0; i < r->config->record_count; i++) {
      HULD_LOG(HULD_LOG_INFO, "Comparing configuration model %s and update path %s to %s.\n",
               records[i].model, records[i].old_firmware, records[i].new_firmware);
      if (std::strcmp(records[i].old_firmware, last.new_firmware) == 0 &&
          std::strcmp(records[i].model, last.new_model) == 0) {
        next = i;
        break;
      }
    }
    if (next == r->config->record_count) {
      HULD_LOG(HULD_LOG_INFO, "No configuration matches found, recursive update check complete.\n");
      break;
    }
    const orbu_monmb_record &step = records[next];
    HULD_LOG(HULD_LOG_INFO,
             "Configuration match found, registering recursive update from %s to %s and %s to "
             "%s.\n",
             last.new_firmware, step.new_firmware, last.new_model, step.new_model);
    path[count++] = next;
    HULD_LOG(HULD_LOG_INFO, "Checking for recursive update loop.\n");
    loop = returns_to_start(step, id.firmware, id.model);
    for (uint32_t i = 0; i + 1 < count && !loop; i++) loop = path[i] == next;
    if (loop) {
      HULD_LOG(HULD_LOG_INFO, "Update loop detected, recursive update check complete.\n");
      break;
    }
    HULD_LOG(HULD_LOG_INFO, "No update loop detected, continuing recursive update check.\n");
  }
  r->step_count = count;
  if (count == 1) {
    set_from_to_text(r);
    return;
  }
  std::string text = std::string("Multistep Update: ") + r->current_firmware;
  for (uint32_t i = 0; i < count; i++) text += std::string(" to ") + records[path[i]].new_firmware;
  set_text(r->operation_text, "%s", text.substr(0, 255).c_str());
}

void orbu_verify_monmb(orbu_device_update *r) {
  huld_error err{};
  char firmware[kTextSize] = {0};
  char model[kTextSize] = {0};
  if (vornfirmware_get_current_firmware_revision(&err, r->device, firmware, kTextSize) != 0) {
    verify_failed(r, kFirmwareUnreadable, err);
    return;
  }
  if (vornbasics_get_model(&err, r->device, model, kTextSize) != 0) {
    verify_failed(
        r, "Could not capture current model for device %s to check if download was successful.\n",
        err);
    return;
  }
  judge_revision(
      r,
      std::strcmp(firmware, r->target_firmware) == 0 && std::strcmp(model, r->target_model) == 0,
      format("Successfully updated from firmware %s to %s and model %s to %s on device %s.\n",
             r->current_firmware, r->target_firmware, r->identity.mo.model, r->target_model,
             r->display_text),
      format("Did not successfully update from firmware %s to %s or model %s to %s on device %s. "
             "Current firmware is %s and model is %s.\n",
             r->current_firmware, r->target_firmware, r->identity.mo.model, r->target_model,
             r->display_text, firmware, model));
}

// ---- "dedicidonb" ----------------------------------------------------------------------------

void orbu_collect_info_dedicidonb(orbu_device_update *r) {
  auto &id = r->identity.cid;
  huld_error err{};
  char serial[kTextSize] = {0};
  const int result = vorndedi_get_component_id(&err, r->device, id.component_id,
                                               sizeof(id.component_id));
  if (!capture(r, result, err, id.component_id, "Dedi component id", nullptr) ||
      !read_serial(r, serial) || !read_firmware(r, id.firmware))
    return;
  if (id.component_id[0] != '\0') {
    set_text(r->display_text, "SN: %s - CID: %s", serial, id.component_id);
  } else {
    set_text(r->display_text, "SN: %s - CID: UNKNOWN", serial);
  }
  if (match_or_not_applicable(r, orbu_match_dedicidonb)) set_from_to_text(r);
}

int orbu_match_dedicidonb(orbu_device_update *r) {
  const auto &id = r->identity.cid;
  HULD_LOG(HULD_LOG_INFO, "Searching for match for Dedi component id %s and firmware %s.\n",
           id.component_id, id.firmware);
  const int result = match_exact<orbu_dedicidonb_record>(
      r, id.component_id, id.firmware, [](orbu_dedicidonb_record &c) { return c.component_id; },
      [](orbu_dedicidonb_record &) {},
      "Comparing configuration component id %s and firmware %s.\n");
  if (result != 0) {
    HULD_LOG(HULD_LOG_NOTICE,
             "Could not find match for binary with Dedi component id %s and firmware %s.\n",
             id.component_id, id.firmware);
  }
  return result;
}

void orbu_verify_dedicidonb(orbu_device_update *r) { verify_revision(r); }

// ---- "dfmonmb" -------------------------------------------------------------------------------

void orbu_collect_info_dfmonmb(orbu_device_update *r) {
  auto &id = r->identity.df;
  char serial[kTextSize] = {0};
  if (!read_model(r, id.model) || !read_serial(r, serial)) return;
  huld_error err{};
  uint8_t vsc_id[kVscIdSize];
  int failed_step = 0;
  if (!read_native_firmware(r, id.native_firmware, err, vsc_id, failed_step)) {
    HULD_LOG(HULD_LOG_NOTICE,
             failed_step == 1 ? "Device %s ignored, could not pull identifying information.\n"
                              : "Device %s ignored, could not capture firmware revision.\n",
             device_name(r));
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    set_state(r, ORBU_STATE_IGNORED);
    return;
  }
  uint16_t product_id = 0;
  if (vornvuc_xr_vscid_parse_global_product_id(&err, &product_id, vsc_id, kVscIdSize) != 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s ignored, could not capture drive model information.\n",
             device_name(r));
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    set_state(r, ORBU_STATE_IGNORED);
    return;
  }
  id.drive_model_id = product_id;
  set_text(r->display_text, "SN: %s - MN: %s", serial, id.model);
}

void orbu_collect_state_dfmonmb(orbu_device_update *r) {
  if (match_or_not_applicable(r, orbu_match_dfmonmb)) set_text(r->operation_text, "Update firmware.");
}

int orbu_match_dfmonmb(orbu_device_update *r) {
  const auto &id = r->identity.df;
  HULD_LOG(HULD_LOG_INFO, "Searching for match for drive model and firmware.\n");
  // Only the record's text is a pattern. The wildcard compare treats "*" and "?" on either side
  // alike, so a drive that reports one in its own text would match records written for other
  // firmware: such a drive matches no record.
  const bool drive_text_is_pattern =
      std::strpbrk(id.model, "*?") != nullptr || std::strpbrk(id.native_firmware, "*?") != nullptr;
  auto *records = static_cast<orbu_dfmonmb_record *>(r->config->records);
  for (uint32_t i = 0; i < r->config->record_count && records != nullptr; i++) {
    orbu_dfmonmb_record &c = records[i];
    HULD_LOG(HULD_LOG_INFO, "Comparing configuration drive model and firmware.\n");
    uint32_t drive_model_id = 0;
    std::memcpy(&drive_model_id, &c.drive_model_id, sizeof(drive_model_id));
    if (drive_text_is_pattern || drive_model_id != id.drive_model_id) continue;
    if (c.model[0] != '\0' && huld_str_wildcard_compare(c.model, id.model) != 0) continue;
    if (huld_str_wildcard_compare(c.firmware, id.native_firmware) != 0) continue;
    r->current_firmware = c.firmware;
    r->target_firmware = c.new_firmware;
    if (take_packed_binary(r, c.binary_name)) return 0;
  }
  HULD_LOG(HULD_LOG_NOTICE, "Could not find match for binary with drive model and firmware.\n");
  return 1;
}

void orbu_verify_dfmonmb(orbu_device_update *r) {
  huld_error err{};
  uint8_t vsc_id[kVscIdSize];
  char native[20] = {0};
  int failed_step = 0;
  if (!read_native_firmware(r, native, err, vsc_id, failed_step)) {
    verify_failed(r,
                  failed_step == 1 ? kFirmwareUnreadable
                                   : "Could not parse current firmware for device %s to check if "
                                     "download was successful.\n",
                  err);
    return;
  }
  judge_revision(r, std::strcmp(native, r->target_firmware) == 0,
                 format("Successfully updated firmware on device %s.\n", r->display_text),
                 format("Did not successfully update firmware on device %s.\n", r->display_text));
}

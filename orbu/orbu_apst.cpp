#include "orbu/orbu_apst.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "vornnvme/nvme.h"
#include "vornnvme/parse.h"

namespace {

constexpr uint8_t apst_feature = 0x0C;
constexpr uint32_t apst_size = 256;

// NVMe RAID member behind Intel RST that reports APST support (logs nothing).
bool handles_apst(huld_dev *device) {
  if (device == nullptr || !huld_dev_is_nvme(device) || !huld_dev_is_intel_rst(device) ||
      !huld_dev_is_raid_member(device))
    return false;
  huld_error err;
  std::memset(&err, 0, sizeof(err));
  uint8_t *identify = static_cast<uint8_t *>(std::calloc(4096, 1));
  if (identify == nullptr) return false;
  uint8_t supported = 0;
  const bool ok =
      vornnvme_execute_identify_controller(&err, device, identify, 4096) == 0 &&
      vornnvme_identify_controller_parse_autonomous_power_state_transitions_supported(
          &err, &supported, identify, 4096) == 0 &&
      supported == 1;
  std::free(identify);
  return ok;
}

// Get Features of the current APST settings into `data` (256 bytes) and `dword`.
bool get_apst(huld_dev *device, uint8_t *data, uint32_t *dword) {
  huld_error err;
  std::memset(&err, 0, sizeof(err));
  return vornnvme_execute_get_features(&err, device, apst_feature, 0, 0, 0, 0, data, apst_size,
                                       dword) == 0;
}

bool set_apst(huld_dev *device, uint32_t cdw11, uint8_t *data) {
  huld_error err;
  std::memset(&err, 0, sizeof(err));
  return vornnvme_execute_set_features(&err, device, 0, apst_feature, 0, cdw11, 0, data,
                                       apst_size) == 0;
}

void log_apst(const char *title, uint32_t dword, const uint8_t *data) {
  HULD_LOG(HULD_LOG_INFO, "%s", title);
  HULD_LOG(HULD_LOG_INFO, "APSTE: %xh\n", dword);
  if (huld_log_level >= HULD_LOG_INFO) huld_log_dump("Power Level Configuration", data, apst_size);
}

}  // namespace

orbu_apst_save_area::~orbu_apst_save_area() {
  std::free(data_);
  std::free(dword_);
  std::free(stored_);
}

bool orbu_apst_save_area::allocate(uint32_t count) {
  const size_t n = count > 0 ? count : 1;  // an empty table is valid
  data_ = static_cast<uint8_t *>(std::calloc(n, apst_size));
  dword_ = static_cast<uint32_t *>(std::calloc(n, sizeof(uint32_t)));
  stored_ = static_cast<uint8_t *>(std::calloc(n, 1));
  return data_ != nullptr && dword_ != nullptr && stored_ != nullptr;
}

void orbu_apst_save_area::store_and_disable(orbu_device_update *records, uint32_t count) {
  uint8_t scratch[apst_size];
  for (uint32_t i = 0; i < count; i++) {
    orbu_device_update *record = &records[i];
    if (!handles_apst(record->device)) continue;
    HULD_LOG(HULD_LOG_INFO, "Storing and disabling APST configuration on device %s.\n",
             record->display_text);
    uint8_t *slot = data_ + static_cast<size_t>(i) * apst_size;
    if (!get_apst(record->device, slot, &dword_[i])) {
      HULD_LOG(HULD_LOG_INFO, "Failed to store device APST.\n");
      std::memset(slot, 0, apst_size);
      dword_[i] = 0;
      continue;
    }
    stored_[i] = 1;
    log_apst("Stored APST Configuration\n", dword_[i], slot);

    std::memset(scratch, 0, sizeof(scratch));
    if (!set_apst(record->device, 0, scratch))
      HULD_LOG(HULD_LOG_INFO, "Failed to disable device APST.\n");
    uint32_t dword = 0;
    if (!get_apst(record->device, scratch, &dword)) {
      HULD_LOG(HULD_LOG_INFO, "Failed to pull APST feature to check that it is disabled.\n");
    } else {
      log_apst("Disabled APST Configuration\n", dword, scratch);
    }
  }
}

void orbu_apst_save_area::restore(orbu_device_update *records, uint32_t count) {
  uint8_t scratch[apst_size];
  for (uint32_t i = 0; i < count; i++) {
    if (!stored_[i]) continue;
    orbu_device_update *record = &records[i];
    HULD_LOG(HULD_LOG_INFO, "Resetting device APST configuration on device %s.\n",
             record->display_text);
    if (!set_apst(record->device, dword_[i], data_ + static_cast<size_t>(i) * apst_size)) {
      HULD_LOG(HULD_LOG_INFO,
               "Failed to reset device APST configuration, please reboot the system.\n");
      // Only a drive that took its new firmware may wait for a reboot; one that was never
      // updated (or failed) keeps its state, so a run that sent no image does not report one.
      if (record->state.load(std::memory_order_acquire) == ORBU_STATE_UPDATED)
        record->state.store(ORBU_STATE_REBOOT_REQUIRED, std::memory_order_release);
    }
    uint32_t dword = 0;
    std::memset(scratch, 0, sizeof(scratch));
    if (!get_apst(record->device, scratch, &dword)) {
      HULD_LOG(HULD_LOG_INFO, "Failed to pull APST feature to check feature restoration.\n");
    } else {
      log_apst("Restored APST Configuration\n", dword, scratch);
    }
  }
}

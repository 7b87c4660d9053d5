// Autonomous Power State Transition around the updates of the Duzori variant: the control thread
// saves and switches off APST on NVMe RAID members behind Intel RST before the updates and
// writes the saved settings back afterwards.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"

// The save area of one run: one 256-byte APST data structure, the saved command dword and a
// "stored" flag per device of the table. Zeroed; only devices whose settings were stored are
// restored.
class orbu_apst_save_area {
 public:
  orbu_apst_save_area() = default;
  orbu_apst_save_area(const orbu_apst_save_area &) = delete;
  orbu_apst_save_area &operator=(const orbu_apst_save_area &) = delete;
  ~orbu_apst_save_area();

  // Allocates the area for `count` devices; false when the memory cannot be had.
  bool allocate(uint32_t count);
  // Stores and disables APST on every device of the table that supports it.
  void store_and_disable(orbu_device_update *records, uint32_t count);
  // Writes the stored settings back; an updated device whose restore fails ends reboot_required,
  // any other keeps its state.
  void restore(orbu_device_update *records, uint32_t count);

 private:
  uint8_t *data_ = nullptr;     // count x 256 bytes
  uint32_t *dword_ = nullptr;   // count saved completion dwords (bit 0: APSTE)
  uint8_t *stored_ = nullptr;   // count flags
};

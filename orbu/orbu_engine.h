// The update engine: the per-device worker, its three flows by interface and the step threads
// that run each download, activation, commit and bus reset.
#pragma once

#include <atomic>
#include <cstdint>

#include "orbu/orbu_records.h"
#include "platform/win32.h"

struct huld_dev;

// What a flow hands to a step thread. It lives in the flow's frame; the flow joins the step
// thread before it reads the result, so the block outlives the thread.
struct orbu_step_params {
  huld_dev *device;
  const char *name;              // the record's display text
  const uint8_t *image;          // downloads
  uint32_t image_size;           // downloads
  uint8_t mode;                  // ATA download: DOWNLOAD MICROCODE mode
  uint32_t transfer_size;        // downloads
  uint8_t slot;                  // NVMe commit
  uint8_t commit_action;         // NVMe commit
  std::atomic<uint32_t> *state;  // the record's state
  std::atomic<double> *progress; // the flow's own progress of this step, 0.0 to 1.0
  std::atomic<uint32_t> done;
};

// The per-device worker (thread routine, argument the record): runs the flow of the device's
// interface; returns with the state final and the progress 1.0.
DWORD WINAPI orbu_update_device_thread(LPVOID record);

// The flows, by interface.
void orbu_update_ata(orbu_device_update *record);
void orbu_update_nvme(orbu_device_update *record);
void orbu_update_scsi(orbu_device_update *record);

// Step threads (argument an orbu_step_params block).
DWORD WINAPI orbu_ata_download_worker(LPVOID params);
DWORD WINAPI orbu_ata_activate_worker(LPVOID params);
DWORD WINAPI orbu_nvme_download_worker(LPVOID params);
DWORD WINAPI orbu_nvme_commit_worker(LPVOID params);
DWORD WINAPI orbu_nvme_reset_worker(LPVOID params);
DWORD WINAPI orbu_scsi_download_worker(LPVOID params);
DWORD WINAPI orbu_scsi_activate_worker(LPVOID params);

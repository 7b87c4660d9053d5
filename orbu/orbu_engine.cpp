#include "orbu/orbu_engine.h"

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "orbu/orbu_device_lib.h"
#include "orbu/orbu_main.h"
#include "orbu/orbu_strategies.h"

namespace {

constexpr uint32_t kFallbackTransferSize = 0x2000;
constexpr uint8_t kModeOffsetsImmediate = 0x03;
constexpr uint8_t kModeOffsetsDeferred = 0x0E;
constexpr uint8_t kModeActivateDeferred = 0x0F;
constexpr uint32_t kScsiTransferSize = 0x2000;
constexpr DWORD kStepPollMs = 100;

// One kind of step thread: the routine, its firmware call, the states it writes and its lines.
struct step_kind {
  LPTHREAD_START_ROUTINE routine;
  int (*call)(huld_error *err, orbu_step_params *p);
  uint32_t success_state;
  uint32_t failure_state;
  const char *failure_line;
  const char *success_line;
};

const step_kind kAtaDownload = {
    orbu_ata_download_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_ata_download(err, p->device, p->image, p->image_size, p->mode,
                                       p->transfer_size, p->progress);
    },
    ORBU_STATE_DOWNLOAD_OK, ORBU_STATE_DOWNLOAD_FAILED, "Device %s failed ATA download.\n",
    "Device %s successfully completed ATA download.\n"};
const step_kind kAtaActivate = {
    orbu_ata_activate_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_ata_activate(err, p->device, p->progress);
    },
    ORBU_STATE_ACTIVATE_OK, ORBU_STATE_ACTIVATE_FAILED, "Device %s failed ATA activation.\n",
    "Device %s successfully completed ATA activation.\n"};
const step_kind kNvmeDownload = {
    orbu_nvme_download_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_nvme_download(err, p->device, p->image, p->image_size, p->transfer_size,
                                        p->progress);
    },
    ORBU_STATE_DOWNLOAD_OK, ORBU_STATE_DOWNLOAD_FAILED, "Device %s failed NVMe download.\n",
    "Device %s successfully completed NVMe download.\n"};
const step_kind kNvmeCommit = {
    orbu_nvme_commit_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_nvme_commit(err, p->device, p->slot, p->commit_action, 0, p->progress);
    },
    ORBU_STATE_ACTIVATE_OK, ORBU_STATE_ACTIVATE_FAILED, "Device %s failed NVMe activation.\n",
    "Device %s successfully completed NVMe activation.\n"};
// The reset's success line names the device by its device name.
const step_kind kNvmeReset = {
    orbu_nvme_reset_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_nvme_reset(err, p->device, p->progress);
    },
    ORBU_STATE_RESET_OK, ORBU_STATE_REBOOT_REQUIRED, "Device %s failed NVMe reset.\n",
    "Device %s successfully completed reset.\n"};
const step_kind kScsiDownload = {
    orbu_scsi_download_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_scsi_download(err, p->device, p->image, p->image_size,
                                        kModeOffsetsDeferred, p->transfer_size, p->progress);
    },
    ORBU_STATE_DOWNLOAD_OK, ORBU_STATE_DOWNLOAD_FAILED, "Device %s failed SCSI download.\n",
    "Device %s successfully completed SCSI download.\n"};
const step_kind kScsiActivate = {
    orbu_scsi_activate_worker,
    [](huld_error *err, orbu_step_params *p) {
      return vornfirmware_activate(err, p->device, p->progress);
    },
    ORBU_STATE_ACTIVATE_OK, ORBU_STATE_ACTIVATE_FAILED, "Device %s failed SCSI activation.\n",
    "Device %s successfully completed SCSI activation.\n"};

// The body every step thread shares.
DWORD step_thread(const step_kind &kind, LPVOID parameter) {
  auto *p = static_cast<orbu_step_params *>(parameter);
  huld_error err{};
  if (kind.call(&err, p) != 0) {
    HULD_LOG(HULD_LOG_NOTICE, kind.failure_line, p->name);
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    p->state->store(kind.failure_state, std::memory_order_release);
  } else {
    HULD_LOG(HULD_LOG_INFO, kind.success_line, &kind == &kNvmeReset ? p->device->name : p->name);
    p->state->store(kind.success_state, std::memory_order_release);
  }
  p->progress->store(1.0, std::memory_order_release);
  p->done.store(1, std::memory_order_release);
  return 0;
}

uint32_t state_of(const orbu_device_update *r) { return r->state.load(std::memory_order_acquire); }
void set_state(orbu_device_update *r, uint32_t state) {
  r->state.store(state, std::memory_order_release);
}

// Where a step sits on the record's progress bar: the bar reads base + weight x the step's own
// progress (0 to 1).
struct progress_span {
  double base;
  double weight;
};

// The progress weights of the flows' steps. An NVMe commit and bus reset start where the step
// before them ends, so they carry only their weight.
struct progress_weights {
  progress_span ata_deferred_download;  // a deferred download that activation follows
  progress_span ata_activation;         // the activation after it
  progress_span ata_fallback_download;  // download with offsets after a failed deferred one
  progress_span ata_download;           // download with offsets, or deferred without activation
  progress_span nvme_download;
  progress_span nvme_forced_download;   // Dedi outside RSTe: leaves room for the bus reset
  double nvme_commit;
  double nvme_reset;
  progress_span scsi_download;          // a download that activation follows
  progress_span scsi_download_only;     // a download without activation
  progress_span scsi_activation;
};
constexpr progress_weights kProgressWeights = {
    .ata_deferred_download = {0.0, 0.5},
    .ata_activation = {0.9, 0.05},
    .ata_fallback_download = {0.5, 0.45},
    .ata_download = {0.0, 0.95},
    .nvme_download = {0.0, 0.9},
    .nvme_forced_download = {0.0, 0.85},
    .nvme_commit = 0.05,
    .nvme_reset = 0.05,
    .scsi_download = {0.0, 0.9},
    .scsi_download_only = {0.0, 0.95},
    .scsi_activation = {0.9, 0.05},
};

// The span of `weight` that starts where `before` ends.
progress_span after(const progress_span &before, double weight) {
  return {before.base + before.weight, weight};
}

// Runs one step on a thread of its own and follows it: the record's progress is base + weight x
// the step's progress every 100 ms until the step thread has ended. A step thread that cannot
// start counts as that step failing. The step's result is then in the record's state.
void run_step(orbu_device_update *r, const step_kind &kind, orbu_step_params &params,
              const progress_span &span) {
  std::atomic<double> progress{0.0};
  params.device = r->device;
  params.name = r->display_text;
  params.state = &r->state;
  params.progress = &progress;
  params.done.store(0, std::memory_order_release);
  HANDLE thread = CreateThread(nullptr, 0, kind.routine, &params, 0, nullptr);
  if (thread == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE, kind.failure_line, r->display_text);
    set_state(r, kind.failure_state);
    return;
  }
  for (;;) {
    const DWORD wait = WaitForSingleObject(thread, kStepPollMs);
    r->progress.store(span.base + span.weight * progress.load(std::memory_order_acquire),
                      std::memory_order_release);
    if (wait == WAIT_TIMEOUT) continue;
    // A join that cannot wait falls back to the done flag: the block lives on this frame.
    while (wait != WAIT_OBJECT_0 && params.done.load(std::memory_order_acquire) == 0)
      Sleep(kStepPollMs);
    break;
  }
  CloseHandle(thread);
}

void transfer_size_fallback(const huld_error &err) {
  HULD_LOG(HULD_LOG_INFO, "The tool cannot detect a safe transfer size, fall back to %xh bytes.\n",
           kFallbackTransferSize);
  HULD_LOG_ERROR(HULD_LOG_INFO, &err);
}

// Sets the final progress: every flow ends with it, whatever the outcome.
void finish(orbu_device_update *r) { r->progress.store(1.0, std::memory_order_release); }

void log_no_activation(const orbu_device_update *r) {
  HULD_LOG(HULD_LOG_INFO,
           "Device %s will not be activated, the user has not specified to activate "
           "immediately.\n",
           r->display_text);
  HULD_LOG(HULD_LOG_INFO, "Device %s update will require a system reboot.\n", r->display_text);
}

}  // namespace

DWORD WINAPI orbu_ata_download_worker(LPVOID p) { return step_thread(kAtaDownload, p); }
DWORD WINAPI orbu_ata_activate_worker(LPVOID p) { return step_thread(kAtaActivate, p); }
DWORD WINAPI orbu_nvme_download_worker(LPVOID p) { return step_thread(kNvmeDownload, p); }
DWORD WINAPI orbu_nvme_commit_worker(LPVOID p) { return step_thread(kNvmeCommit, p); }
DWORD WINAPI orbu_nvme_reset_worker(LPVOID p) { return step_thread(kNvmeReset, p); }
DWORD WINAPI orbu_scsi_download_worker(LPVOID p) { return step_thread(kScsiDownload, p); }
DWORD WINAPI orbu_scsi_activate_worker(LPVOID p) { return step_thread(kScsiActivate, p); }

DWORD WINAPI orbu_update_device_thread(LPVOID parameter) {
  auto *r = static_cast<orbu_device_update *>(parameter);
  if (huld_dev_is_ata(r->device)) {
    orbu_update_ata(r);
  } else if (huld_dev_is_nvme(r->device)) {
    orbu_update_nvme(r);
  } else if (huld_dev_is_scsi(r->device)) {
    orbu_update_scsi(r);
  } else {
    HULD_LOG(HULD_LOG_NOTICE, "Device %s has an unrecognized device interface.\n",
             r->device->name);
    set_state(r, ORBU_STATE_FAILED);
    finish(r);
  }
  return 0;
}

void orbu_update_ata(orbu_device_update *r) {
  huld_dev *dev = r->device;
  huld_error err{};
  uint32_t transfer_size = 0;
  if (vornfirmware_ata_get_transfer_size(&err, dev, &transfer_size) != 0) {
    transfer_size_fallback(err);
    transfer_size = kFallbackTransferSize;
  }
  // The deferred-download answer keeps a record of its own: "not supported" fills none, and the
  // refusal below prints it only when the query did fill it.
  huld_error deferred_err{};
  const int deferred =
      vornfirmware_ata_check_download_mode_support(&deferred_err, dev, kModeOffsetsDeferred);
  if (deferred > 0) {
    HULD_LOG(HULD_LOG_INFO, "Device %s failed to report deferred download support.\n",
             r->display_text);
    HULD_LOG_ERROR(HULD_LOG_INFO, &deferred_err);
  }
  const int activation =
      vornfirmware_ata_check_download_mode_support(&err, dev, kModeActivateDeferred);
  if (activation > 0) {
    HULD_LOG(HULD_LOG_INFO, "Device %s failed to report deferred activation support.\n",
             r->display_text);
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
  }

  orbu_step_params params{};
  params.image = r->packed_binary->data;
  params.image_size = r->packed_binary->size;
  params.transfer_size = transfer_size;
  params.mode = kModeOffsetsDeferred;
  bool activate = false;
  progress_span download = kProgressWeights.ata_download;
  if (orbu_run_flags.activate_immediately) {
    if (deferred < 0 || activation < 0) {
      HULD_LOG(HULD_LOG_INFO,
               "Device %s does not support deferred download and activation, attempting "
               "immediate download with offsets instead.\n",
               r->display_text);
      params.mode = kModeOffsetsImmediate;
    } else {
      if (deferred == 0 && activation == 0) {
        HULD_LOG(HULD_LOG_INFO, "Attempting deferred download followed by activation on device %s.\n",
                 r->display_text);
      } else {
        HULD_LOG(HULD_LOG_INFO,
                 "Attempting deferred download followed by activation on device %s despite "
                 "unclear support.\n",
                 r->display_text);
      }
      activate = true;
      download = kProgressWeights.ata_deferred_download;
    }
  } else {
    log_no_activation(r);
    if (deferred < 0) {
      HULD_LOG(HULD_LOG_NOTICE,
               "Device %s does not support deferred download, cannot download without "
               "activation.\n",
               r->display_text);
      if (deferred_err.code != 0) HULD_LOG_ERROR(HULD_LOG_INFO, &deferred_err);
      set_state(r, ORBU_STATE_FAILED);
      finish(r);
      return;
    }
    HULD_LOG(HULD_LOG_INFO,
             deferred == 0 ? "Attempting deferred download on device %s.\n"
                           : "Attempting deferred download on device %s despite unclear support.\n",
             r->display_text);
  }

  run_step(r, kAtaDownload, params, download);
  if (state_of(r) != ORBU_STATE_DOWNLOAD_OK) {
    if (activate) {
      HULD_LOG(HULD_LOG_INFO,
               "Device %s deferred download failed, falling back to immediate download with "
               "offsets.\n",
               r->display_text);
      params.mode = kModeOffsetsImmediate;
      run_step(r, kAtaDownload, params, kProgressWeights.ata_fallback_download);
      if (state_of(r) == ORBU_STATE_DOWNLOAD_OK) set_state(r, ORBU_STATE_ACTIVATE_OK);
    }
  } else if (params.mode == kModeOffsetsImmediate) {
    set_state(r, ORBU_STATE_ACTIVATE_OK);
  } else if (!activate) {
    set_state(r, ORBU_STATE_REBOOT_REQUIRED);
  } else {
    orbu_step_params activation_params{};
    run_step(r, kAtaActivate, activation_params, kProgressWeights.ata_activation);
    if (state_of(r) != ORBU_STATE_ACTIVATE_OK) {
      HULD_LOG(HULD_LOG_INFO,
               "Device %s activation failed, firmware activation will require cold reboot.\n",
               r->display_text);
      set_state(r, ORBU_STATE_REBOOT_REQUIRED);
    }
  }
  orbu_verify_update(r);
  finish(r);
}

namespace {

// Verify step of an NVMe run. A run whose download failed never reads as "reboot required": the
// commit that followed it says nothing about a new image.
void verify_nvme_run(orbu_device_update *r, bool download_failed) {
  orbu_verify_update(r);
  if (download_failed && state_of(r) == ORBU_STATE_REBOOT_REQUIRED) {
    HULD_LOG(HULD_LOG_NOTICE, "Download failed in this run; not treating it as reboot required.\n");
    set_state(r, ORBU_STATE_FAILED);
  }
}

}  // namespace

void orbu_update_nvme(orbu_device_update *r) {
  huld_dev *dev = r->device;
  const bool rste = huld_dev_is_intel_rste(dev) != 0;
  const bool forced = orbu_run_flags.customer_dedi && !rste;
  const progress_span download =
      forced ? kProgressWeights.nvme_forced_download : kProgressWeights.nvme_download;
  const progress_span commit = after(download, kProgressWeights.nvme_commit);

  huld_error err{};
  uint32_t transfer_size = 0;
  if (vornfirmware_nvme_get_transfer_size(&err, dev, &transfer_size) != 0) {
    transfer_size_fallback(err);
    transfer_size = kFallbackTransferSize;
  }
  uint8_t slot = 0;
  if (vornfirmware_nvme_get_safe_firmware_slot(&err, dev, &slot) != 0) {
    HULD_LOG(HULD_LOG_INFO,
             "The tool cannot detect a safe target firmware slot, fall back to slot 1.\n");
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    slot = 1;
  }
  const bool windows_10_inbox = huld_environment_is_windows_10() && huld_dev_is_inbox_nvme(dev);
  int runs = 1;
  if (windows_10_inbox) {
    runs = 3;
    HULD_LOG(HULD_LOG_INFO,
             "Detected a Windows 10 in-box NVMe environment for device %s, setting total runs to "
             "%d.\n ",
             r->display_text, runs);
  }

  for (int run = runs; run > 0; run--) {
    HULD_LOG(HULD_LOG_INFO, "Attempting NVMe update process on device %s, run %d.\n",
             r->display_text, run);
    orbu_step_params params{};
    params.image = r->packed_binary->data;
    params.image_size = r->packed_binary->size;
    params.transfer_size = transfer_size;
    params.slot = slot;
    params.commit_action = rste ? 3 : 1;
    run_step(r, kNvmeDownload, params, download);
    const bool download_failed = state_of(r) != ORBU_STATE_DOWNLOAD_OK;
    if (download_failed && !windows_10_inbox) {
      HULD_LOG(HULD_LOG_INFO, "Short circuiting retry process due to download failure on device %s.\n",
               r->display_text);
      orbu_verify_update(r);
      break;
    }
    run_step(r, kNvmeCommit, params, commit);
    if (forced) {
      HULD_LOG(HULD_LOG_INFO, "forced activation required\n");
      verify_nvme_run(r, download_failed);
      HULD_LOG(HULD_LOG_INFO, "devi->state = %d\n", static_cast<int>(state_of(r)));
      if (state_of(r) != ORBU_STATE_UPDATED) {
        if (state_of(r) == ORBU_STATE_REBOOT_REQUIRED) {
          HULD_LOG(HULD_LOG_INFO, "Trying a bus reset to force activation\n");
          orbu_step_params reset_params{};
          run_step(r, kNvmeReset, reset_params, after(commit, kProgressWeights.nvme_reset));
        }
        verify_nvme_run(r, download_failed);
      }
    } else {
      HULD_LOG(HULD_LOG_INFO, "forced activation not required\n");
      verify_nvme_run(r, download_failed);
    }
    const uint32_t state = state_of(r);
    if (state == ORBU_STATE_UPDATED || state == ORBU_STATE_REBOOT_REQUIRED) break;
  }

  if (state_of(r) == ORBU_STATE_UPDATED && rste && !orbu_run_flags.customer_dedi) {
    set_state(r, ORBU_STATE_REBOOT_REQUIRED);
    HULD_LOG(HULD_LOG_INFO,
             "The Intel Rapid Storage Enterprise driver requires a reboot after successful "
             "firmware update.\n");
    HULD_LOG(HULD_LOG_INFO, "Please reboot the system after this tool completes operation.\n");
  }
  finish(r);
}

void orbu_update_scsi(orbu_device_update *r) {
  const bool activate = orbu_run_flags.activate_immediately != 0;
  if (!activate) log_no_activation(r);
  orbu_step_params params{};
  params.image = r->packed_binary->data;
  params.image_size = r->packed_binary->size;
  params.transfer_size = kScsiTransferSize;
  run_step(r, kScsiDownload, params,
           activate ? kProgressWeights.scsi_download : kProgressWeights.scsi_download_only);
  if (state_of(r) == ORBU_STATE_DOWNLOAD_OK) {
    if (activate) {
      orbu_step_params activation_params{};
      run_step(r, kScsiActivate, activation_params, kProgressWeights.scsi_activation);
      if (state_of(r) != ORBU_STATE_ACTIVATE_OK) {
        HULD_LOG(HULD_LOG_INFO,
                 "Device %s activation failed, firmware activation will require a cold reboot.\n",
                 r->display_text);
        set_state(r, ORBU_STATE_REBOOT_REQUIRED);
      }
    } else {
      set_state(r, ORBU_STATE_REBOOT_REQUIRED);
    }
  }
  orbu_verify_update(r);
  if (state_of(r) == ORBU_STATE_UPDATED && huld_environment_is_windows_8_1() &&
      huld_dev_is_inbox_nvme(r->device)) {
    set_state(r, ORBU_STATE_REBOOT_REQUIRED);
    HULD_LOG(HULD_LOG_INFO,
             "The Windows 8.1 in-box NVMe driver requires a reboot after successful firmware "
             "update.\n");
    HULD_LOG(HULD_LOG_INFO,
             "Please completely shut down and cold reboot the system after this tool completes "
             "operation.\n");
  }
  finish(r);
}

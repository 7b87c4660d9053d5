// NVMe physical disks behind a Marvell NevoX controller: their enumeration through the
// controller's vendor admin command E2h, and every command wrapped in the vendor admin command
// C2h (data from the device) or C3h (anything else) addressed to the disk.
#define HULD_MODULE "huld\\windows\\huld_nvme_marvell_nevox"

#include "huld/windows/huld_nvme_marvell_nevox.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_nvme_windows_rst.h"
#include "huld/windows/huld_nvme_windows_rste.h"

namespace {

constexpr uint8_t kOpInformation = 0xE2;
constexpr uint32_t kInformationCdw10 = 0x3FF;
constexpr uint32_t kAdapterInformation = 0xE0;
constexpr uint32_t kPdInformation = 0xE1;
constexpr uint32_t kInformationSize = 4096;
constexpr uint32_t kInformationTimeoutMs = 500;
constexpr uint32_t kOffMaxPdCount = 36;
constexpr uint32_t kOffPdId = 104;
constexpr uint32_t kMaxPds = 128;
constexpr uint8_t kOpWrappedFromDevice = 0xC2;
constexpr uint8_t kOpWrappedOther = 0xC3;

int read_information(huld_error *err, huld_dev *controller, uint32_t kind, uint32_t index, uint8_t *buffer) {
  huld_nvme_cmd cmd{};
  cmd.cdw0 = kOpInformation;
  cmd.cdw10 = kInformationCdw10;
  cmd.cdw12 = kind;
  cmd.cdw14 = index;
  cmd.data = buffer;
  cmd.data_len = kInformationSize;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = kInformationTimeoutMs;
  cmd.queue = HULD_NVME_QUEUE_ADMIN;
  if (huld_nvme_execute(err, controller, &cmd) != 0) return 1;
  // The controller reports a refused request in the completion only.
  const uint32_t status = (cmd.cpl[3] >> 17) & 0x7FF;
  if (status != 0) {
    return HULD_ERROR(err, HULD_ERROR_DEVICE, status, "nvme status %xh on information request %xh", status, kind);
  }
  return 0;
}

// The controller's record: held by its position when it lies in the enumeration's block, which
// moves when the block grows.
huld_dev *controller_at(huld_dev_enumeration *e, huld_dev *fixed, uint32_t index) {
  return fixed ? fixed : &e->devices[index];
}

}  // namespace

int huld_nvme_marvell_nevox_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (!dev || !cmd) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  // The wrapper goes out from a copy: the caller's record stays as it was but for cpl. The
  // caller's cdw14 and cdw15 cannot travel; the wrapper carries its opcode and namespace there.
  huld_nvme_cmd wrapped = *cmd;
  wrapped.cdw14 = cmd->cdw0;
  wrapped.cdw15 = cmd->nsid;
  wrapped.cdw0 = cmd->ddir == HULD_DDIR_FROM_DEVICE ? kOpWrappedFromDevice : kOpWrappedOther;
  wrapped.nsid = dev->nevox_pd_id;
  wrapped.queue = HULD_NVME_QUEUE_ADMIN;
  int result;
  if (huld_dev_is_intel_rst(dev)) {
    result = huld_nvme_windows_rst_execute(err, dev, &wrapped);
  } else if (huld_dev_is_intel_rste(dev)) {
    result = huld_nvme_windows_rste_execute(err, dev, &wrapped);
  } else {
    result = huld_nvme_windows_execute(err, dev, &wrapped);
  }
  for (int i = 0; i < 4; ++i) cmd->cpl[i] = wrapped.cpl[i];
  return result;
}

void huld_windows_enumerate_nevox(huld_dev *controller, huld_dev_enumeration *enumeration) {
  if (!controller || !enumeration) return;
  huld_dev *fixed = controller;
  uint32_t index = 0;
  if (enumeration->devices && controller >= enumeration->devices &&
      controller < enumeration->devices + enumeration->count) {
    index = static_cast<uint32_t>(controller - enumeration->devices);
    fixed = nullptr;
  }
  huld_error err{};
  if (huld_dev_open(&err, controller) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to open marvell nevox\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return;
  }
  auto *buffer = static_cast<uint8_t *>(std::calloc(kInformationSize, 1));
  if (!buffer || read_information(&err, controller, kAdapterInformation, 0, buffer) != 0) {
    if (!buffer) huld_error_set(&err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                                "could not alloc %u bytes", kInformationSize);
    HULD_LOG(HULD_LOG_DEBUG, "failed to get adapter info\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    std::free(buffer);
    if (huld_dev_close(&err, controller) != 0) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to close marvell nevox after failure\n");
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    }
    return;
  }
  if (huld_log_level >= HULD_LOG_DEBUG) huld_log_dump("adapter info", buffer, kInformationSize);
  uint32_t count = huld_get_le16(buffer + kOffMaxPdCount);
  HULD_LOG(HULD_LOG_DEBUG, "max physical disk count: %xh\n", count);
  if (count > kMaxPds) {
    HULD_LOG(HULD_LOG_DEBUG, "max physical disk count %xh capped at 128\n", count);
    count = kMaxPds;
  }

  for (uint32_t i = 0; i < count; ++i) {
    HULD_LOG(HULD_LOG_DEBUG, "pd %u\n", i);
    std::memset(buffer, 0, kInformationSize);
    if (read_information(&err, controller_at(enumeration, fixed, index), kPdInformation, i, buffer) != 0) {
      HULD_LOG(HULD_LOG_DEBUG, "pd %u failed to get pd info\n", i);
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
      continue;
    }
    if (huld_log_level >= HULD_LOG_VERBOSE) huld_log_dump("pd info", buffer, kInformationSize);
    const uint16_t pd_id = huld_get_le16(buffer + kOffPdId);
    huld_dev *child = huld_dev_enumeration_push_back(enumeration);
    if (!child) {
      HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure\n");
      continue;
    }
    const uint32_t child_index = static_cast<uint32_t>(child - enumeration->devices);
    const huld_dev *source = controller_at(enumeration, fixed, index);
    if (huld_dev_copy(child, source) != 0) {
      // The copy owns nothing: the slot is given back.
      HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure\n");
      enumeration->count = child_index;
      continue;
    }
    std::snprintf(child->name, sizeof child->name, "%.240s.pd%u", source->name, static_cast<unsigned>(pd_id));
    child->iface = MARVELL_NEVOX;
    child->nevox_pd_id = pd_id;
    if (huld_dev_close(&err, child) != 0) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to close marvell nevox child\n");
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    }
  }
  std::free(buffer);
  if (huld_dev_close(&err, controller_at(enumeration, fixed, index)) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to close marvell nevox after enumeration\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
  }
}

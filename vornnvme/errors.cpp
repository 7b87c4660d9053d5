// NVMe completion check and status names.
#define HULD_MODULE "vornnvme\\errors"

#include "vornnvme/errors.h"

int vornnvme_check_error(huld_error *err, const huld_nvme_cmd *cmd) {
  uint32_t status = cmd->cpl[3] >> 16;
  uint32_t sct = (status >> 9) & 0x7;
  uint32_t sc = (status >> 1) & 0xFF;
  if (sct == 0 && sc == 0) return huld_error_clear(err);
  return HULD_ERROR(err, HULD_ERROR_DEVICE, (sct << 8) | sc,
                    "device error detected, sct %xh, sc %xh", sct, sc);
}

namespace {

struct status_name {
  uint8_t sc;
  const char *name;
};

const status_name kGeneric[] = {
    {0x00, "Successful Completion"},
    {0x01, "Invalid Command Opcode"},
    {0x02, "Invalid Field in Command"},
    {0x03, "Command ID Conflict"},
    {0x04, "Data Transfer Error"},
    {0x05, "Commands Aborted due to Power Loss Notification"},
    {0x06, "Internal Error"},
    {0x07, "Command Abort Requested"},
    {0x08, "Command Aborted due to SQ Deletion"},
    {0x09, "Command Aborted due to Failed Fused Command"},
    {0x0A, "Command Aborted due to Missing Fused Command"},
    {0x0B, "Invalid Namespace or Format"},
    {0x0C, "Command Sequence Error"},
    {0x0D, "Invalid SGL Segment Descriptor"},
    {0x0E, "Invalid Number of SGL Descriptors"},
    {0x0F, "Data SGL Length Invalid"},
    {0x10, "Metadata SGL Length Invalid"},
    {0x11, "SGL Descriptor Type Invalid"},
    {0x12, "Invalid Use of Controller Memory Buffer"},
    {0x13, "PRP Offset Invalid"},
    {0x14, "Atomic Write Unit Exceeded"},
    {0x15, "Operation Denied"},
    {0x16, "SGL Offset Invalid"},
    {0x18, "Host Identifier Inconsistent Format"},
    {0x19, "Keep Alive Timer Expired"},
    {0x1A, "Keep Alive Timeout Invalid"},
    {0x1B, "Command Aborted due to Preempt and Abort"},
    {0x1C, "Sanitize Failed"},
    {0x1D, "Sanitize In Progress"},
    {0x1E, "SGL Data Block Granularity Invalid"},
    {0x1F, "Command Not Supported for Queue in CMB"},
    {0x20, "Namespace is Write Protected"},
    {0x21, "Command Interrupted"},
    {0x22, "Transient Transport Error"},
    {0x80, "LBA Out of Range"},
    {0x81, "Capacity Exceeded"},
    {0x82, "Namespace Not Ready"},
    {0x83, "Reservation Conflict"},
    {0x84, "Format In Progress"},
};

const status_name kCommandSpecific[] = {
    {0x00, "Completion Queue Invalid"},
    {0x01, "Invalid Queue Identifier"},
    {0x02, "Invalid Queue Size"},
    {0x03, "Abort Command Limit Exceeded"},
    {0x05, "Asynchronous Event Request Limit Exceeded"},
    {0x06, "Invalid Firmware Slot"},
    {0x07, "Invalid Firmware Image"},
    {0x08, "Invalid Interrupt Vector"},
    {0x09, "Invalid Log Page"},
    {0x0A, "Invalid Format"},
    {0x0B, "Firmware Activation Requires Conventional Reset"},
    {0x0C, "Invalid Queue Deletion"},
    {0x0D, "Feature Identifier Not Saveable"},
    {0x0E, "Feature Not Changeable"},
    {0x0F, "Feature Not Namespace Specific"},
    {0x10, "Firmware Activation Requires NVM Subsystem Reset"},
    {0x11, "Firmware Activation Requires Controller Level Reset"},
    {0x12, "Firmware Activation Requires Maximum Time Violation"},
    {0x13, "Firmware Activation Prohibited"},
    {0x14, "Overlapping Range"},
    {0x15, "Namespace Insufficient Capacity"},
    {0x16, "Namespace Identifier Unavailable"},
    {0x18, "Namespace Already Attached"},
    {0x19, "Namespace Is Private"},
    {0x1A, "Namespace Not Attached"},
    {0x1B, "Thin Provisioning Not Supported"},
    {0x1C, "Controller List Invalid"},
    {0x1D, "Device Self-test In Progress"},
    {0x1E, "Boot Partition Write Prohibited"},
    {0x1F, "Invalid Controller Identifier"},
    {0x20, "Invalid Secondary Controller State"},
    {0x21, "Invalid Number of Controller Resources"},
    {0x22, "Invalid Resource Identifier"},
    {0x23, "Sanitize Prohibited While Persistent Memory Region is Enabled"},
    {0x24, "ANA Group Identifier Invalid"},
    {0x25, "ANA Attach Failed"},
    {0x80, "Conflicting Attributes"},
    {0x81, "Invalid Protection Information"},
    {0x82, "Attempted Write to Read Only Range"},
};

const status_name kMediaErrors[] = {
    {0x80, "Write Fault"},
    {0x81, "Unrecovered Read Error"},
    {0x82, "End-to-end Guard Check Error"},
    {0x83, "End-to-end Application Tag Check Error"},
    {0x84, "End-to-end Reference Tag Check Error"},
    {0x85, "Compare Failure"},
    {0x86, "Access Denied"},
    {0x87, "Deallocated or Unwritten Logical Block"},
};

const status_name kPathErrors[] = {
    {0x00, "Internal Path Error"},
    {0x01, "Asymmetric Access Persistent Loss"},
    {0x02, "Asymmetric Access Inaccessible"},
    {0x03, "Asymmetric Access Transition"},
    {0x60, "Controller Pathing Error"},
    {0x70, "Host Pathing Error"},
    {0x71, "Command Aborted By Host"},
};

template <size_t N>
const char *find(const status_name (&table)[N], uint32_t sc) {
  for (const status_name &s : table) {
    if (s.sc == sc) return s.name;
  }
  return "Reserved";
}

}  // namespace

const char *vornnvme_status_to_string(uint16_t status) {
  uint32_t sct = status >> 8;
  uint32_t sc = status & 0xFF;
  if (sc >= 0xC0) return "Vendor Specific";
  if (sct > 7) return "Reserved";
  if (sct == 7) return "Vendor Specific";
  if (sct >= 4) return "Reserved";
  if ((sct == 0 && sc >= 0x85 && sc <= 0xBF) || (sct == 2 && sc >= 0x88 && sc <= 0xBF) ||
      (sct == 3 && sc >= 0x80 && sc <= 0xBF)) {
    return "I/O Command Set Specific";
  }
  if (sct == 1 && sc >= 0x70 && sc <= 0x7F) return "Directive Specific";
  switch (sct) {
    case 0:
      return find(kGeneric, sc);
    case 1:
      return find(kCommandSpecific, sc);
    case 2:
      return find(kMediaErrors, sc);
    default:
      return find(kPathErrors, sc);
  }
}


// The device scan, the elimination of extra device nodes and the model filters.
#define HULD_MODULE "vornscan\\scan"

#include "vornscan/scan.h"

#include <cstring>

#include "vornbasics/identification.h"

namespace {

// Serial numbers and models are compared in buffers of this size (40 characters and a NUL).
constexpr uint32_t kIdentityBuffer = 41;
constexpr uint32_t kAllFlags = 0xFFFFFFFFu;

#define SCAN_LOG(...) HULD_LOG(HULD_LOG_DEBUG, __VA_ARGS__)

// Entry and exit trace lines of the public operations.
struct trace {
  const char *name;
  explicit trace(const char *n) : name(n) { if (huld_log_trace) huld_log_printf("%s - enter\n", name); }
  ~trace() { if (huld_log_trace) huld_log_printf("%s - exit\n", name); }
};

enum class copy_result { added, full, failed };

// Deep-copies `dev` into the first free slot of the list. A full list takes nothing more; a failed
// copy leaves the slot empty and the count as it was.
copy_result copy_into(vornscan_list *list, const huld_dev *dev) {
  if (list->count >= VORNSCAN_MAX_DEVICES) {
    SCAN_LOG("device %s skipped - scan list full\n", dev->name);
    return copy_result::full;
  }
  huld_dev *slot = &list->devices[list->count];
  if (huld_dev_copy(slot, dev) != 0) {
    huld_dev_prepare(slot);
    SCAN_LOG("device %s failed copy - discard\n", dev->name);
    return copy_result::failed;
  }
  list->count++;
  return copy_result::added;
}

// Removes record `index`: its handles are closed, the later records move down by one slot (order
// kept) and the slot vacated at the end is made empty. The caller stays at `index`, which now
// holds the next record.
void eliminate_device(vornscan_list *list, uint32_t index) {
  huld_dev *devices = list->devices;
  SCAN_LOG("discarding device %s, extra device node\n", devices[index].name);
  huld_dev_cleanup(&devices[index]);
  const uint32_t last = list->count - 1;
  if (index < last) std::memmove(&devices[index], &devices[index + 1], (last - index) * sizeof(huld_dev));
  huld_dev_prepare(&devices[last]);
  list->count = last;
}

bool ascii_equal_ignoring_case(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// ---------------------------------------------------------------------------------------------
// Elimination passes
// ---------------------------------------------------------------------------------------------

enum class verdict { keep, remove };

// One pass: which nodes are targets and candidates (each logs why a node is not), and what a
// candidate with the target's serial comes to.
struct elimination_pass {
  const char *heading;  // null: the Intel RSTe pass, which logs in its own way
  bool (*is_target)(const huld_dev *dev, uint32_t index);
  bool (*is_candidate)(const huld_dev *target, uint32_t target_index, const huld_dev *dev,
                       uint32_t index);
  verdict (*same_serial)(huld_dev *target, const huld_dev *candidate, uint32_t index);
  bool rste_log;
};

bool rejected(const huld_dev *dev, uint32_t index, const char *why) {
  SCAN_LOG("device %u (%s) is %s\n", index, dev->name, why);
  return false;
}

bool disk_target(const huld_dev *dev, uint32_t index) {
  return huld_dev_is_disk(dev) || rejected(dev, index, "not DISK");
}

bool csmi_raid_member_target(const huld_dev *dev, uint32_t index) {
  if (!huld_dev_is_csmi(dev)) return rejected(dev, index, "not CSMI");
  return huld_dev_is_raid_member(dev) || rejected(dev, index, "not RAID member");
}

bool ata_target(const huld_dev *dev, uint32_t index) {
  return huld_dev_is_ata(dev) || rejected(dev, index, "not ATA");
}

bool rste_nvme_target(const huld_dev *dev, uint32_t index) {
  if (!huld_dev_is_intel_rste(dev) || !huld_dev_is_nvme(dev))
    return rejected(dev, index, "not Intel RSTe NVMe");
  SCAN_LOG("check for duplicates of Intel RSTe NVMe device %u (%s)\n", index, dev->name);
  return true;
}

bool raid_member_target(const huld_dev *dev, uint32_t index) {
  return huld_dev_is_raid_member(dev) || rejected(dev, index, "not a RAID member");
}

// A CSMI node; the disk pass keeps an ATA node of a disk that is not ATA class.
bool csmi_of_disk_candidate(const huld_dev *target, uint32_t target_index, const huld_dev *dev,
                            uint32_t index) {
  if (!huld_dev_is_csmi(dev)) return rejected(dev, index, "not CSMI");
  if (huld_dev_is_ata(dev) && !huld_dev_is_ata(target)) {
    SCAN_LOG("device %u (%s) is ATA, but device %u (%s) is SCSI\n", index, dev->name,
             target_index, target->name);
    return false;
  }
  return true;
}

bool csmi_candidate(const huld_dev *, uint32_t, const huld_dev *dev, uint32_t index) {
  return huld_dev_is_csmi(dev) || rejected(dev, index, "not CSMI");
}

bool scsi_candidate(const huld_dev *, uint32_t, const huld_dev *dev, uint32_t index) {
  return huld_dev_is_scsi(dev) || rejected(dev, index, "not SCSI");
}

bool non_member_candidate(const huld_dev *, uint32_t, const huld_dev *dev, uint32_t index) {
  return !huld_dev_is_raid_member(dev) || rejected(dev, index, "a raid member");
}

verdict remove_it(huld_dev *, const huld_dev *, uint32_t) { return verdict::remove; }

// A RAID member with the disk's serial is left for the RAID passes.
verdict csmi_of_disk_same_serial(huld_dev *, const huld_dev *candidate, uint32_t index) {
  if (!huld_dev_is_raid_member(candidate)) return verdict::remove;
  SCAN_LOG("device %u (%s) is a raid member with same serial; do not eliminate here\n", index,
           candidate->name);
  return verdict::keep;
}

// The Intel RSTe NVMe node takes the physical-drive number of its SCSI twin.
verdict rste_same_serial(huld_dev *target, const huld_dev *candidate, uint32_t) {
  huld_error err{};
  uint32_t number = HULD_NO_NUMBER;
  if (huld_dev_get_disk_number(&err, &number, candidate) == 0) {
    target->rste_disk_number = number;
  } else {
    SCAN_LOG("Could not capture disk number from to be eliminated device %s\n", candidate->name);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
  }
  return verdict::remove;
}

// The serial into a 41-byte buffer. 0 or 1 (err filled).
int read_serial(huld_error *err, huld_dev *dev, char *serial) {
  return vornbasics_get_serial(err, dev, serial, kIdentityBuffer);
}

// Two serials name the same drive when they are equal up to the terminator (the case of letters
// counts). Whatever a read leaves behind the terminator is not part of the serial.
bool same_serial(const char *a, const char *b) { return std::strncmp(a, b, kIdentityBuffer) == 0; }

// Compares the candidates of target `i` with it, removing those the pass removes. Returns the
// target's index afterwards (lower when candidates before it were removed).
uint32_t eliminate_duplicates_of(vornscan_list *list, const elimination_pass &pass, uint32_t i) {
  huld_error err{};
  char serial[kIdentityBuffer];
  if (read_serial(&err, &list->devices[i], serial) != 0) {
    SCAN_LOG("failed to capture serial of device %u (%s)\n", i, list->devices[i].name);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return i;
  }
  if (pass.rste_log) SCAN_LOG("capture serial %s for device %u (%s)\n", serial, i, list->devices[i].name);
  uint32_t j = 0;
  while (j < list->count) {
    huld_dev *target = &list->devices[i];
    huld_dev *other = &list->devices[j];
    if (pass.rste_log) SCAN_LOG("check sidx %u, other %s\n", j, other->name);
    if (j == i) {
      if (pass.rste_log) SCAN_LOG("sidx == idx, skip\n");
      ++j;
      continue;
    }
    if (!pass.is_candidate(target, i, other, j)) {
      ++j;
      continue;
    }
    char other_serial[kIdentityBuffer];
    if (read_serial(&err, other, other_serial) != 0) {
      SCAN_LOG("failed to capture sserial of device %u (%s)\n", j, other->name);
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
      ++j;
      continue;
    }
    SCAN_LOG("serial for device %u (%s) - %s\n", i, target->name, serial);
    SCAN_LOG("sserial for device %u (%s) - %s\n", j, other->name, other_serial);
    if (!same_serial(serial, other_serial) ||
        pass.same_serial(target, other, j) == verdict::keep) {
      ++j;
      continue;
    }
    SCAN_LOG("eliminating device %u (%s)\n", j, other->name);
    eliminate_device(list, j);
    // Stay at j: the next record has moved into it. A removal before the target moves it down.
    if (j < i) {
      --i;
      if (pass.rste_log)
        SCAN_LOG("set idx back down to %u, target becomes %s\n", i, list->devices[i].name);
    }
  }
  return i;
}

void run_pass(vornscan_list *list, const elimination_pass &pass) {
  if (pass.heading != nullptr) SCAN_LOG("%s", pass.heading);
  uint32_t i = 0;
  while (i < list->count) {
    if (!pass.rste_log) SCAN_LOG("scanning device %u (%s)\n", i, list->devices[i].name);
    if (pass.is_target(&list->devices[i], i)) i = eliminate_duplicates_of(list, pass, i);
    ++i;
  }
}

// The five passes over nodes of different kinds, run in this order: each keeps the node through
// which a drive is best reached and removes the others that report its serial.

// A drive seen as a disk and as a CSMI phy keeps its disk node.
void eliminate_duplicate_csmi_of_disk(vornscan_list *list) {
  run_pass(list, {"eliminating duplicate CSMI interfaces of DISK interfaces\n", disk_target,
                  csmi_of_disk_candidate, csmi_of_disk_same_serial, false});
}

// A drive seen through several CSMI nodes keeps its RAID member node.
void eliminate_duplicate_csmi_of_csmi(vornscan_list *list) {
  run_pass(list, {"eliminating duplicate CSMI interfaces to prefer RAID members\n",
                  csmi_raid_member_target, csmi_candidate, remove_it, false});
}

// A drive seen as an ATA device and as a SCSI device keeps the ATA node.
void eliminate_duplicate_scsi_of_ata(vornscan_list *list) {
  run_pass(list, {"eliminating duplicate SCSI interfaces of ATA devices\n", ata_target,
                  scsi_candidate, remove_it, false});
}

// An NVMe drive behind Intel RSTe keeps its NVMe node, which takes the SCSI twin's disk number.
void eliminate_duplicate_scsi_of_nvme_rste(vornscan_list *list) {
  run_pass(list, {nullptr, rste_nvme_target, scsi_candidate, rste_same_serial, true});
}

// A RAID member keeps its node; a volume that reports the member's serial goes. Other members
// are never candidates.
void eliminate_duplicate_raid_volume_of_raid_member(vornscan_list *list) {
  run_pass(list, {"eliminating duplicate raid volume of raid member\n", raid_member_target,
                  non_member_candidate, remove_it, false});
}

// A drive reached through two nodes of one interface class (two namespaces of one NVMe drive, the
// same drive twice on the maker's driver, a dual-ported SAS drive without MPIO) keeps its first
// node. A node's class is the command set its identity is read through, NVMe before ATA before
// SCSI as the identification reads it: an ATA drive behind SCSI/ATA translation is compared with
// ATA nodes, an NVMe drive behind a SCSI bridge with NVMe nodes. Hubs and video devices are never
// compared, and an empty serial matches nothing (drives without serials stay apart).
//
// Each node's serial is read once, and its model at most once (only when its serial matches an
// earlier node's). Only the node under test is ever removed, so the identities kept for the nodes
// before it stay at their slots.
enum class identity_class { none, nvme, ata, scsi };

identity_class class_of(const huld_dev *dev) {
  if (huld_dev_is_nvme(dev)) return identity_class::nvme;
  if (huld_dev_is_ata(dev)) return identity_class::ata;
  if (huld_dev_is_scsi(dev)) return identity_class::scsi;
  return identity_class::none;
}

struct node_identity {
  identity_class cls;  // none: the node is compared with nothing
  char serial[kIdentityBuffer];
  enum { model_unread, model_read, model_unreadable } model_state;
  char model[kIdentityBuffer];
};

// The class and serial of node `index`; a node that cannot be compared gets class none.
void read_class_and_serial(huld_dev *dev, uint32_t index, node_identity *id) {
  id->cls = class_of(dev);
  id->model_state = node_identity::model_unread;
  if (id->cls == identity_class::none) {
    SCAN_LOG("device %u (%s) is not NVMe, ATA or SCSI\n", index, dev->name);
    return;
  }
  huld_error err{};
  if (read_serial(&err, dev, id->serial) != 0) {
    SCAN_LOG("failed to capture serial of device %u (%s)\n", index, dev->name);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    id->cls = identity_class::none;
    return;
  }
  SCAN_LOG("serial for device %u (%s) - %s\n", index, dev->name, id->serial);
  if (id->serial[0] == '\0') {
    SCAN_LOG("device %u (%s) has no serial\n", index, dev->name);
    id->cls = identity_class::none;
  }
}

// The model of node `index`, read on first use. False when it cannot be read.
bool model_of(huld_dev *dev, uint32_t index, node_identity *id) {
  if (id->model_state == node_identity::model_unread) {
    huld_error err{};
    std::memset(id->model, 0, sizeof id->model);
    if (vornbasics_get_model(&err, dev, id->model, sizeof id->model) != 0) {
      SCAN_LOG("failed to capture model of device %u (%s)\n", index, dev->name);
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
      id->model_state = node_identity::model_unreadable;
    } else {
      SCAN_LOG("model for device %u (%s) - %s\n", index, dev->name, id->model);
      id->model_state = node_identity::model_read;
    }
  }
  return id->model_state == node_identity::model_read;
}

// The earlier node (below `i`) that node `i` duplicates, or `i` when there is none.
uint32_t earlier_node_of_same_drive(vornscan_list *list, node_identity *ids, uint32_t i) {
  node_identity *id = &ids[i];
  if (id->cls == identity_class::none) return i;
  for (uint32_t k = 0; k < i; ++k) {
    node_identity *earlier = &ids[k];
    if (earlier->cls != id->cls || !same_serial(earlier->serial, id->serial)) continue;
    if (!model_of(&list->devices[k], k, earlier) || !model_of(&list->devices[i], i, id)) continue;
    if (std::strncmp(earlier->model, id->model, kIdentityBuffer) == 0) return k;
  }
  return i;
}

void eliminate_duplicate_nodes_of_one_class(vornscan_list *list) {
  SCAN_LOG("eliminating duplicate nodes of one drive within an interface class\n");
  // The identities of the records [0, i) that stay, and of record i.
  node_identity ids[VORNSCAN_MAX_DEVICES];
  uint32_t i = 0;
  while (i < list->count) {
    huld_dev *dev = &list->devices[i];
    SCAN_LOG("scanning device %u (%s)\n", i, dev->name);
    read_class_and_serial(dev, i, &ids[i]);
    const uint32_t k = earlier_node_of_same_drive(list, ids, i);
    if (k == i) {
      ++i;
      continue;
    }
    SCAN_LOG("device %u (%s) has the serial and model of device %u (%s)\n", i, dev->name, k,
             list->devices[k].name);
    SCAN_LOG("eliminating device %u (%s)\n", i, dev->name);
    eliminate_device(list, i);  // stay at i: the next record has moved into it
  }
}

// ---------------------------------------------------------------------------------------------
// Filters
// ---------------------------------------------------------------------------------------------

bool begins_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void filter(vornscan_list *list, bool (*acceptable)(const char *model)) {
  uint32_t i = 0;
  while (i < list->count) {
    huld_dev *dev = &list->devices[i];
    huld_error err{};
    char model[kIdentityBuffer] = {0};
    if (vornbasics_get_model(&err, dev, model, sizeof model) != 0) {
      SCAN_LOG("failed to capture model of device %u (%s) - filter\n", i, dev->name);
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
      eliminate_device(list, i);
      continue;
    }
    SCAN_LOG("device %u (%s) model - %s\n", i, dev->name, model);
    if (!acceptable(model)) {
      SCAN_LOG("device %u (%s) did not match any acceptable prefix - filter\n", i, dev->name);
      eliminate_device(list, i);
      continue;
    }
    ++i;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scans
// ---------------------------------------------------------------------------------------------

int __scan(vornscan_list *list, uint32_t should_probe, uint32_t include_nvme,
           uint32_t include_scsi, uint32_t include_ata, uint32_t include_usb_hub,
           uint32_t include_uvc, uint32_t flags) {
  trace t(__func__);
  SCAN_LOG("huldext __scan\n");
  SCAN_LOG("    should_probe:    %u\n", should_probe);
  SCAN_LOG("    include_nvme:    %u\n", include_nvme);
  SCAN_LOG("    include_scsi:    %u\n", include_scsi);
  SCAN_LOG("    include_ata:     %u\n", include_ata);
  SCAN_LOG("    include_usb_hub: %u\n", include_usb_hub);
  SCAN_LOG("    include_uvc:     %u\n", include_uvc);
  SCAN_LOG("    flags:           %xh\n", flags);
  if (list == nullptr) return 0;
  std::memset(list, 0, sizeof(*list));

  huld_dev_enumeration enumeration{};
  huld_dev_enumerate_flags(&enumeration, flags);
  for (uint32_t i = 0; i < enumeration.count; ++i) {
    huld_dev *dev = &enumeration.devices[i];
    SCAN_LOG("enumerating device %u/%u\n", i, enumeration.count);
    if (should_probe) {
      huld_error err{};
      if (huld_dev_probe(&err, dev) != 0) {
        SCAN_LOG("device %s failed probe - discard\n", dev->name);
        HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
        continue;
      }
    }
    const bool wanted = (huld_dev_is_nvme(dev) && include_nvme) ||
                        (huld_dev_is_scsi(dev) && include_scsi) ||
                        (huld_dev_is_ata(dev) && include_ata) ||
                        (huld_dev_is_usb_hub(dev) && include_usb_hub) ||
                        (huld_dev_is_uvc(dev) && include_uvc);
    if (!wanted) continue;
    SCAN_LOG("device %s detected\n", dev->name);
    if (copy_into(list, dev) != copy_result::added) continue;
    SCAN_LOG("device after copy %s\n", list->devices[list->count - 1].name);
    SCAN_LOG("added device %u\n", list->count);
  }
  SCAN_LOG("releasing devices from huld device enumeration\n");
  huld_dev_release(&enumeration);
  return 0;
}

int vornscan_scan(vornscan_list *list, uint32_t should_probe) {
  return __scan(list, should_probe, 1, 1, 1, 1, 1, kAllFlags);
}

int vornscan_scan_flags(vornscan_list *list, uint32_t should_probe, uint32_t flags) {
  return __scan(list, should_probe, 1, 1, 1, 1, 1, flags);
}

int vornscan_scan_ata(vornscan_list *list, uint32_t should_probe) {
  return __scan(list, should_probe, 0, 0, 1, 0, 0, kAllFlags);
}

int vornscan_scan_nvme(vornscan_list *list, uint32_t should_probe) {
  return __scan(list, should_probe, 1, 0, 0, 0, 0, kAllFlags);
}

int vornscan_scan_scsi(vornscan_list *list, uint32_t should_probe) {
  return __scan(list, should_probe, 0, 1, 0, 0, 0, kAllFlags);
}

int vornscan_scan_uvc(vornscan_list *list, uint32_t should_probe) {
  return __scan(list, should_probe, 0, 0, 0, 0, 1, kAllFlags);
}

int vornscan_scan_names(vornscan_list *list, uint32_t should_probe, const char *const *names,
                        uint32_t name_count) {
  trace t(__func__);
  SCAN_LOG("huldext scan_names\n");
  SCAN_LOG("    should_probe: %u\n", should_probe);
  if (names == nullptr) name_count = 0;
  for (uint32_t k = 0; k < name_count; ++k)
    SCAN_LOG("    name %u: %s\n", k, names[k] != nullptr ? names[k] : "(null)");
  if (list == nullptr) return 0;
  std::memset(list, 0, sizeof(*list));

  huld_dev_enumeration enumeration{};
  huld_dev_enumerate(&enumeration);
  for (uint32_t i = 0; i < enumeration.count; ++i) {
    huld_dev *dev = &enumeration.devices[i];
    SCAN_LOG("searching for match for device %s - will discard if match not found\n", dev->name);
    bool taken = false;
    for (uint32_t k = 0; k < name_count && !taken; ++k) {
      if (names[k] == nullptr || !ascii_equal_ignoring_case(names[k], dev->name)) continue;
      if (should_probe) {
        huld_error err{};
        if (huld_dev_probe(&err, dev) != 0) {
          SCAN_LOG("device %s matched - discard due to probe failure\n", dev->name);
          continue;
        }
      }
      taken = true;
    }
    if (taken && copy_into(list, dev) == copy_result::added)
      SCAN_LOG("name match found for device %s\n", dev->name);
  }
  SCAN_LOG("releasing devices from huld device enumeration\n");
  huld_dev_release(&enumeration);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Elimination and filters
// ---------------------------------------------------------------------------------------------

void vornscan_eliminate_extra_device_nodes(vornscan_list *list) {
  trace t(__func__);
  if (list == nullptr) return;
  eliminate_duplicate_csmi_of_disk(list);
  eliminate_duplicate_csmi_of_csmi(list);
  eliminate_duplicate_scsi_of_ata(list);
  eliminate_duplicate_scsi_of_nvme_rste(list);
  eliminate_duplicate_raid_volume_of_raid_member(list);
  eliminate_duplicate_nodes_of_one_class(list);
}

void vornscan_filter_invalid(vornscan_list *list) {
  trace t(__func__);
  if (list) filter(list, [](const char *model) { return model[0] != '\0'; });
}

void vornscan_filter_non_cv(vornscan_list *list) {
  trace t(__func__);
  if (list) filter(list, [](const char *model) { return begins_with(model, "Corvane"); });
}

void vornscan_filter_non_xr(vornscan_list *list) {
  trace t(__func__);
  if (list) filter(list, [](const char *model) { return begins_with(model, "XR"); });
}

void vornscan_filter_non_tx(vornscan_list *list) {
  trace t(__func__);
  if (list) {
    filter(list, [](const char *model) {
      return begins_with(model, "Corvane") || begins_with(model, "XR");
    });
  }
}

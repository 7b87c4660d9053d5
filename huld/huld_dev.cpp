// Device records: life, container, probe, classes and the attached-data list.
#define HULD_MODULE "huld\\huld_dev"

#include "huld/huld_dev.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "huld/huld_log.h"
#include "huld/huld_scsi.h"
#include "huld/huld_util.h"
#include "huld/windows/huld_ata_windows.h"
#include "huld/windows/huld_nvme_windows.h"
#include "huld/windows/huld_nvme_windows_rst.h"
#include "huld/windows/huld_nvme_windows_xr.h"
#include "huld/windows/huld_raid_windows.h"
#include "huld/windows/huld_scsi_windows.h"
#include "huld/windows/huld_windows_enumerate.h"

uint32_t huld_probe_timeout_ms = 500;

namespace {

constexpr uint32_t kInitialCapacity = 8;

// The message the probe logs when it keeps or finds an interface; null for none.
const char *iface_message(uint32_t iface) {
  switch (iface) {
    case WINDOWS_NVME: return "detected WINDOWS_NVME\n";
    case WINDOWS_NVME_INTEL_RST: return "detected WINDOWS_NVME_INTEL_RST\n";
    case WINDOWS_NVME_INTEL_RSTE: return "detected WINDOWS_NVME_INTEL_RSTE\n";
    case WINDOWS_NVME_XR_IUO: return "detected WINDOWS_NVME_XR_IUO\n";
    case WINDOWS_SCSI: return "detected WINDOWS_SCSI\n";
    case WINDOWS_SCSI_SAT_ATA: return "detected WINDOWS_SCSI_SAT_ATA\n";
    case WINDOWS_SCSI_ASMEDIA_NVME: return "detected WINDOWS_SCSI_ASMEDIA_NVME\n";
    case WINDOWS_ATA: return "detected WINDOWS_ATA\n";
    case ADAPTEC_SCSI: return "detected ADAPTEC_SCSI\n";
    case ADAPTEC_ATA: return "detected ADAPTEC_ATA\n";
    case MEGARAID_SCSI: return "detected MEGARAID_SCSI\n";
    case MEGARAID_ATA: return "detected MEGARAID_ATA\n";
    case MEGARAID_NVME: return "detected MEGARAID_NVME\n";
    case MARVELL_NEVOX: return "detected MARVELL_NEVOX\n";
    case WINDOWS_UVC: return "detected WINDOWS_UVC\n";
    case WINDOWS_AMD_RAID_ATA: return "deteced WINDOWS_AMD_RAID_ATA\n";
    case WINDOWS_AMD_RAID_NVME: return "detected WINDOWS_AMD_RAID_NVME\n";
    case WINDOWS_AMD_RAID_SCSI: return "detected WINDOWS_AMD_RAID_SCSI\n";
    default: return nullptr;
  }
}

void log_detected(uint32_t iface) {
  const char *message = iface_message(iface);
  if (message) HULD_LOG(HULD_LOG_DEBUG, "%s", message);
}

bool in_set(uint32_t value, const uint32_t *set, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (set[i] == value) return true;
  }
  return false;
}

template <size_t N>
int in_set(uint32_t value, const uint32_t (&set)[N]) {
  return in_set(value, set, N) ? 1 : 0;
}

// Prepares a fresh slot: zero, handles closed, no port, no disk number.
void prepare_slot(huld_dev *dev) {
  memset(dev, 0, sizeof(*dev));
  dev->conn.handle = INVALID_HANDLE_VALUE;
  dev->rst_port_handle = INVALID_HANDLE_VALUE;
  dev->scsi_address.PortNumber = 0xFF;
  dev->disk_number = HULD_NO_NUMBER;
  dev->rste_disk_number = HULD_NO_NUMBER;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Life of a record
// ---------------------------------------------------------------------------------------------
int huld_dev_open(huld_error *err, huld_dev *dev) {
  if (!dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid device");
  if (huld_dev_is_open(dev)) return huld_error_clear(err);
  return huld_windows_dev_open(err, dev);
}

int huld_dev_close(huld_error *err, huld_dev *dev) {
  if (!dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid device");
  // A half-open record (its disk handle open, its port handle not) still has a handle to close.
  if (!huld_dev_is_open(dev) && !huld_windows_handle_is_open(dev->conn.handle) &&
      !huld_windows_handle_is_open(dev->rst_port_handle)) {
    return huld_error_clear(err);
  }
  return huld_windows_dev_close(err, dev);
}

int huld_dev_is_open(const huld_dev *dev) {
  if (!dev) return 0;
  return huld_windows_dev_is_open(dev);
}

int huld_dev_copy(huld_dev *dest, const huld_dev *src) {
  if (!dest || !src) {
    HULD_LOG(HULD_LOG_DEBUG, "invalid dest (%p) or src (%p) pointer for device copy\n",
             static_cast<void *>(dest), static_cast<const void *>(src));
    return 1;
  }
  if (dest == src) return 0;  // a record is already a copy of itself
  memcpy(dest, src, sizeof(*dest));
  // The byte copy carries the source's list head; the copy gets its own list.
  dest->data_list = nullptr;
  if (huld_dev_data_copy(dest, src) != 0) {
    huld_dev_data_cleanup(dest);
    dest->conn.handle = INVALID_HANDLE_VALUE;
    dest->rst_port_handle = INVALID_HANDLE_VALUE;
    dest->uvc_control = nullptr;
    return 1;
  }
  int result = huld_windows_dev_copy(dest, src);
  if (result != 0) huld_dev_data_cleanup(dest);  // a failed copy owns nothing
  return result;
}

int huld_dev_cleanup(huld_dev *dev) {
  if (!dev) {
    HULD_LOG(HULD_LOG_DEBUG, "invalid device - skip cleanup\n");
    return 1;
  }
  huld_dev_data_cleanup(dev);
  switch (dev->conn.type) {
    case CONN_ADAPTEC: return huld_adaptec_cleanup(dev);
    case CONN_MEGARAID: return huld_megaraid_cleanup(dev);
    default: return huld_windows_dev_cleanup(dev);
  }
}

void huld_dev_prepare(huld_dev *dev) {
  if (dev) prepare_slot(dev);
}

// ---------------------------------------------------------------------------------------------
// Container
// ---------------------------------------------------------------------------------------------
void huld_dev_enumerate_flags(huld_dev_enumeration *enumeration, uint32_t flags) {
  if (!enumeration) return;
  enumeration->count = 0;
  enumeration->devices = static_cast<huld_dev *>(calloc(kInitialCapacity, sizeof(huld_dev)));
  if (!enumeration->devices) {
    enumeration->capacity = 0;
    HULD_LOG(HULD_LOG_DEBUG, "%s: failed to allocate memory", "huld_dev_enumerate_flags");
    return;
  }
  enumeration->capacity = kInitialCapacity;

  // The disk pass runs before the controller passes, which complete the disks' data.
  if (flags & HULD_ENUMERATE_DISK) huld_windows_enumerate_disk(enumeration);
  if (flags & HULD_ENUMERATE_HDC) huld_windows_enumerate_hdc(enumeration);
  if (flags & HULD_ENUMERATE_SCSI_ADAPTER) huld_windows_enumerate_scsi_adapter(enumeration);
  if (flags & HULD_ENUMERATE_CSMI) huld_windows_enumerate_csmi(enumeration);
  if (flags & HULD_ENUMERATE_RSTE) huld_windows_enumerate_rste(enumeration);
  if (flags & HULD_ENUMERATE_SES) huld_windows_enumerate_ses(enumeration);
  if (flags & HULD_ENUMERATE_USB) huld_windows_enumerate_usb(enumeration);
  if (flags & HULD_ENUMERATE_UVC) huld_windows_enumerate_uvc(enumeration);
  if (flags & HULD_ENUMERATE_AMD_RAID) huld_amd_raid_enumerate(enumeration);
  if (flags & HULD_ENUMERATE_ADAPTEC) huld_adaptec_enumerate(enumeration);
  if (flags & HULD_ENUMERATE_MEGARAID) huld_megaraid_enumerate(enumeration);
}

void huld_dev_enumerate(huld_dev_enumeration *enumeration) {
  huld_dev_enumerate_flags(enumeration, 0xFFFFFFFFu);
}

huld_dev *huld_dev_enumeration_push_back(huld_dev_enumeration *enumeration) {
  if (!enumeration) return nullptr;
  if (!enumeration->devices) {
    enumeration->capacity = 0;
    enumeration->count = 0;
  }
  if (enumeration->count + 1 >= enumeration->capacity) {
    // An empty container (never allocated, or after a failed allocation) starts at 8.
    uint32_t capacity = enumeration->capacity == 0 ? kInitialCapacity : enumeration->capacity * 2;
    huld_dev *block = nullptr;
    if (capacity > enumeration->capacity) {
      block = static_cast<huld_dev *>(calloc(capacity, sizeof(huld_dev)));
    }
    if (!block) {
      HULD_LOG(HULD_LOG_DEBUG, "%s: failed to allocate memory", "huld_dev_enumeration_push_back");
      return nullptr;
    }
    if (enumeration->devices && enumeration->count) {
      memcpy(block, enumeration->devices, sizeof(huld_dev) * enumeration->count);
    }
    free(enumeration->devices);
    enumeration->devices = block;
    enumeration->capacity = capacity;
  }
  huld_dev *slot = &enumeration->devices[enumeration->count];
  enumeration->count++;
  prepare_slot(slot);
  return slot;
}

void huld_dev_enumeration_pop_back(huld_dev_enumeration *enumeration) {
  if (!enumeration || !enumeration->devices || enumeration->count == 0) return;
  enumeration->count--;
  memset(&enumeration->devices[enumeration->count], 0, sizeof(huld_dev));
}

void huld_dev_release(huld_dev_enumeration *enumeration) {
  if (!enumeration) return;
  if (!enumeration->devices) {
    enumeration->capacity = 0;
    enumeration->count = 0;
    return;
  }
  for (uint32_t i = 0; i < enumeration->count; ++i) {
    HULD_LOG(HULD_LOG_DEBUG, "cleaning up device %u/%u from enumeration\n", i, enumeration->count);
    huld_dev_cleanup(&enumeration->devices[i]);
  }
  HULD_LOG(HULD_LOG_DEBUG, "freeing devices memory allocated from enumeration (%ph)\n",
           static_cast<void *>(enumeration->devices));
  free(enumeration->devices);
  enumeration->devices = nullptr;
  enumeration->capacity = 0;
  enumeration->count = 0;
}

// ---------------------------------------------------------------------------------------------
// Probe
// ---------------------------------------------------------------------------------------------
int huld_dev_probe_flags(huld_error *err, huld_dev *dev, uint32_t flags) {
  if (!dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid device");
  HULD_LOG(HULD_LOG_DEBUG, "probe device %s (flags: %xh)\n", dev->name, flags);

  if (!huld_dev_is_open(dev) && huld_dev_open(err, dev) != 0) return 1;

  switch (dev->iface) {
    case MARVELL_NEVOX:
    case WINDOWS_NVME_INTEL_RSTE:
    case WINDOWS_UVC:
    case WINDOWS_AMD_RAID_ATA:
    case WINDOWS_AMD_RAID_SCSI:
    case WINDOWS_AMD_RAID_NVME:
      log_detected(dev->iface);
      return huld_error_clear(err);
    default:
      break;
  }

  // A CSMI record is reached only through requests that carry its own address: the probes that
  // go out on the port's adapter handle would reach another drive.
  const bool csmi = huld_dev_is_csmi(dev) != 0;
  const bool sat_first = (flags & HULD_PROBE_SAT_FIRST) != 0;
  uint32_t found = IFACE_NONE;
  const char *message = nullptr;

  if (huld_nvme_windows_rst_probe(dev)) {
    found = WINDOWS_NVME_INTEL_RST;
  } else if (!csmi && huld_nvme_windows_xr_probe(dev)) {
    found = WINDOWS_NVME_XR_IUO;
  } else if (!csmi && huld_nvme_windows_probe(dev)) {
    found = WINDOWS_NVME;
  } else if (!csmi && sat_first && huld_scsi_windows_probe_sat(dev)) {
    found = WINDOWS_SCSI_SAT_ATA;
  } else if (!csmi && huld_ata_windows_probe(dev)) {
    found = WINDOWS_ATA;
  } else if (huld_ata_windows_probe_csmi(dev)) {
    found = WINDOWS_ATA;
    message = "detected WINDOWS_ATA (via CSMI)\n";
  } else if (!csmi && !sat_first && huld_scsi_windows_probe_sat(dev)) {
    found = WINDOWS_SCSI_SAT_ATA;
  } else if (!csmi && huld_scsi_windows_asmedia_probe_nvme(dev)) {
    found = WINDOWS_SCSI_ASMEDIA_NVME;
  } else if (!csmi && huld_scsi_windows_probe(dev)) {
    found = WINDOWS_SCSI;
  }

  if (found != IFACE_NONE) {
    dev->iface = found;
    if (message) {
      HULD_LOG(HULD_LOG_DEBUG, "%s", message);
    } else {
      log_detected(found);
    }
  } else if (dev->conn.type == CONN_ADAPTEC && huld_adaptec_probe(dev)) {
    if (dev->iface == ADAPTEC_ATA || dev->iface == ADAPTEC_SCSI) log_detected(dev->iface);
  } else if (dev->conn.type == CONN_MEGARAID && huld_megaraid_probe(dev)) {
    if (dev->iface == MEGARAID_ATA || dev->iface == MEGARAID_SCSI || dev->iface == MEGARAID_NVME) {
      log_detected(dev->iface);
    }
  }

  if (dev->iface != IFACE_NONE) return huld_error_clear(err);
  return HULD_ERROR(err, HULD_ERROR_NO_INTERFACE, 0,
                    "unable to find a supported interface for device %s", dev->name);
}

int huld_dev_probe(huld_error *err, huld_dev *dev) { return huld_dev_probe_flags(err, dev, 0); }

int huld_dev_get_disk_number(huld_error *err, uint32_t *number, const huld_dev *dev) {
  if (!dev || !number) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  if (huld_dev_is_intel_rste(dev) && dev->rste_disk_number < HULD_NO_NUMBER) {
    *number = dev->rste_disk_number;
    return huld_error_clear(err);
  }
  char name[HULD_DEV_NAME_SIZE];
  memcpy(name, dev->name, sizeof(name));
  name[sizeof(name) - 1] = '\0';
  if (!strstr(name, "disk")) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid device %s - not a disk", name);
  }
  unsigned value = 0;
  if (sscanf(name, "disk%u", &value) != 1) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "failed to scan disk number from device name - %s", name);
  }
  *number = value;
  return huld_error_clear(err);
}

// ---------------------------------------------------------------------------------------------
// Attached-data list
// ---------------------------------------------------------------------------------------------
void huld_dev_data_append(huld_dev *dev, huld_dev_data *node) {
  if (!dev || !node) return;
  node->next = nullptr;
  node->previous = nullptr;
  if (!dev->data_list) {
    dev->data_list = node;
    return;
  }
  huld_dev_data *last = dev->data_list;
  while (last->next) last = last->next;
  last->next = node;
  node->previous = last;
}

huld_dev_data *huld_dev_data_find(const huld_dev *dev, uint64_t key) {
  if (!dev) return nullptr;
  for (huld_dev_data *node = dev->data_list; node; node = node->next) {
    if (node->key == key) return node;
  }
  return nullptr;
}

void huld_dev_data_remove(huld_dev *dev, uint64_t key) {
  huld_dev_data *node = huld_dev_data_find(dev, key);
  if (!node) return;
  if (node->previous) {
    node->previous->next = node->next;
  } else {
    dev->data_list = node->next;
  }
  if (node->next) node->next->previous = node->previous;
  if (node->free) node->free(node->data);
  free(node);
}

void huld_dev_data_cleanup(huld_dev *dev) {
  if (!dev) return;
  huld_dev_data *node = dev->data_list;
  while (node) {
    huld_dev_data *next = node->next;
    if (node->free) node->free(node->data);
    free(node);
    node = next;
  }
  dev->data_list = nullptr;
}

int huld_dev_data_copy(huld_dev *dest, const huld_dev *src) {
  if (!dest || !src) return 1;
  for (const huld_dev_data *node = src->data_list; node; node = node->next) {
    huld_dev_data *copy = static_cast<huld_dev_data *>(calloc(1, sizeof(huld_dev_data)));
    if (!copy) return 1;
    copy->key = node->key;
    copy->copy = node->copy;
    copy->free = node->free;
    huld_dev_data_append(dest, copy);
    if (node->copy) node->copy(&copy->data, node->data);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Related records
// ---------------------------------------------------------------------------------------------
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a hub entry's serial, stored as pairs of hexadecimal digits, decodes to the target.
// Stops at the terminator and at the 40-character field; the result is always terminated.
bool hub_serial_matches(const char *entry, const char *target) {
  char decoded[41] = {};
  size_t out = 0;
  for (size_t i = 0; i + 1 < 40 && entry[i] && entry[i + 1] && out < 40; i += 2) {
    int high = hex_digit(entry[i]);
    int low = hex_digit(entry[i + 1]);
    if (high < 0 || low < 0) break;
    decoded[out++] = static_cast<char>(high << 4 | low);
  }
  return strcmp(decoded, target) == 0;
}

}  // namespace

int huld_dev_compare_path(const huld_dev *a, const huld_dev *b) {
  if (!a || !b) return 0;
  return strncmp(a->conn.path, b->conn.path, HULD_DEV_PATH_SIZE) == 0 ? 1 : 0;
}

int huld_dev_usb_hub_has_vid_pid_of(const huld_dev *hub, const huld_dev *dev) {
  if (!hub || !dev || hub->iface != WINDOWS_USB_HUB) return 0;
  unsigned vid = 0;
  unsigned pid = 0;
  char id[HULD_DEV_INSTANCE_ID_SIZE];
  memcpy(id, dev->instance_id, sizeof(id));
  id[sizeof(id) - 1] = '\0';
  if (sscanf(id, "USB\\VID_%x&PID_%x", &vid, &pid) != 2) return 0;
  uint32_t n = hub->usb_entry_count < HULD_DEV_USB_ENTRIES ? hub->usb_entry_count : HULD_DEV_USB_ENTRIES;
  for (uint32_t i = 0; i < n; ++i) {
    if (hub->usb_entries[i].vid == vid && hub->usb_entries[i].pid == pid) return 1;
  }
  return 0;
}

int huld_dev_usb_hub_has_serial_of(const huld_dev *hub, const huld_dev *dev) {
  if (!hub || !dev) return 0;
  // The record may not be opened for the check itself; work on a private copy of the value
  // whose handles are its own.
  huld_dev probe{};
  if (huld_dev_copy(&probe, dev) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed to open USB device to check relationship to hub\n");
    return 0;
  }
  huld_error err{};
  if (huld_dev_open(&err, &probe) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed to open USB device to check relationship to hub\n");
    huld_dev_cleanup(&probe);
    return 0;
  }
  uint8_t buffer[512] = {};
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x12;
  cmd.cdb[1] = 0x01;
  cmd.cdb[2] = 0x80;
  cmd.cdb[3] = 0x02;
  cmd.cdb_len = 6;
  cmd.data = buffer;
  cmd.data_len = sizeof(buffer);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.sense_len = HULD_SCSI_SENSE_SIZE;
  cmd.timeout_ms = huld_probe_timeout_ms;
  if (huld_scsi_execute(&err, &probe, &cmd) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed SCSI execute on checking USB hub relationship with serial\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    if (huld_dev_close(&err, &probe) != 0) {
      HULD_LOG(HULD_LOG_DEBUG,
               "Failed to close USB device to check relationship to hub after command failed\n");
    }
    huld_dev_cleanup(&probe);
    return 0;
  }
  if (huld_dev_close(&err, &probe) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed to close USB device to check relationship to hub\n");
    huld_dev_cleanup(&probe);
    return 0;
  }
  huld_dev_cleanup(&probe);
  if (cmd.scsi_status != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "Pulling serial number to check USB hub relationship failed: %xh\n",
             cmd.scsi_status);
    return 0;
  }
  uint32_t length = static_cast<uint32_t>(buffer[2]) << 8 | buffer[3];
  if (length > 40) length = 40;
  if (length > sizeof(buffer) - 4) length = sizeof(buffer) - 4;
  char serial[41] = {};
  memcpy(serial, buffer + 4, length);
  huld_str_trim(serial);
  // No serial is no match: entries of devices without one are empty as well.
  if (serial[0] == '\0' || hub->iface != WINDOWS_USB_HUB) return 0;
  uint32_t n = hub->usb_entry_count < HULD_DEV_USB_ENTRIES ? hub->usb_entry_count : HULD_DEV_USB_ENTRIES;
  for (uint32_t i = 0; i < n; ++i) {
    if (hub_serial_matches(hub->usb_entries[i].serial, serial)) return 1;
  }
  return 0;
}

int huld_dev_is_related(const huld_dev *a, const huld_dev *b) {
  if (!a || !b) return 0;
  const bool a_nevox = a->iface == MARVELL_NEVOX;
  const bool b_nevox = b->iface == MARVELL_NEVOX;
  if (a_nevox != b_nevox) return huld_dev_compare_path(a, b);

  const bool a_hub = huld_dev_is_usb_hub(a) != 0;
  const bool b_hub = huld_dev_is_usb_hub(b) != 0;
  const bool a_mass = huld_dev_is_usb_mass_storage(a) != 0;
  const bool b_mass = huld_dev_is_usb_mass_storage(b) != 0;
  if ((a_hub && b_mass) || (b_hub && a_mass)) {
    const huld_dev *hub = a_hub && b_mass ? a : b;
    const huld_dev *other = hub == a ? b : a;
    if (huld_dev_is_scsi(other)) return huld_dev_usb_hub_has_serial_of(hub, other);
    return huld_dev_usb_hub_has_vid_pid_of(hub, other);
  }
  if ((a_hub || b_hub) && a->bus_number == b->bus_number && !a_mass && !b_mass) return 1;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Device classes
// ---------------------------------------------------------------------------------------------
int huld_dev_is_ata(const huld_dev *dev) {
  if (!dev) return 0;
  HULD_LOG(HULD_LOG_DEBUG, "%s: Interface %d    Connection %d\n", dev->name,
           static_cast<int>(dev->iface), static_cast<int>(dev->conn.type));
  static const uint32_t set[] = {3, 10, 13, 15, 17, 22, 25, 26, 28};
  return in_set(dev->iface, set);
}

int huld_dev_is_nvme(const huld_dev *dev) {
  static const uint32_t set[] = {1, 4, 5, 6, 7, 8, 12, 18, 19, 23, 27, 29};
  return dev ? in_set(dev->iface, set) : 0;
}

int huld_dev_is_scsi(const huld_dev *dev) {
  static const uint32_t set[] = {2, 3, 9, 10, 11, 12, 14, 16, 24, 25, 30};
  return dev ? in_set(dev->iface, set) : 0;
}

int huld_dev_is_sat(const huld_dev *dev) {
  return dev && (dev->iface == 3 || dev->iface == WINDOWS_SCSI_SAT_ATA) ? 1 : 0;
}

int huld_dev_is_asmedia_nvme(const huld_dev *dev) {
  return dev && dev->iface == WINDOWS_SCSI_ASMEDIA_NVME ? 1 : 0;
}

int huld_dev_is_marvell_nevox(const huld_dev *dev) {
  return dev && dev->iface == MARVELL_NEVOX ? 1 : 0;
}

int huld_dev_is_usb_hub(const huld_dev *dev) {
  return dev && dev->iface == WINDOWS_USB_HUB ? 1 : 0;
}

int huld_dev_is_amd_raid(const huld_dev *dev) {
  return dev && (dev->iface == WINDOWS_AMD_RAID_ATA || dev->iface == WINDOWS_AMD_RAID_NVME ||
                 dev->iface == WINDOWS_AMD_RAID_SCSI)
             ? 1
             : 0;
}

int huld_dev_is_intel_rst(const huld_dev *dev) {
  if (!dev) return 0;
  HULD_LOG(HULD_LOG_DEBUG, "huld_dev_is_intel_rst\n");
  HULD_LOG(HULD_LOG_DEBUG, "    iface: %xh\n", dev->iface);
  HULD_LOG(HULD_LOG_DEBUG, "    conn.driver: %xh\n", dev->conn.driver);
  return dev->iface == WINDOWS_NVME_INTEL_RST || dev->iface == 11 || dev->conn.driver == INTEL_RST
             ? 1
             : 0;
}

int huld_dev_is_intel_rste(const huld_dev *dev) {
  return dev && (dev->iface == WINDOWS_NVME_INTEL_RSTE || dev->conn.driver == INTEL_RSTE) ? 1 : 0;
}

int huld_dev_is_csmi(const huld_dev *dev) { return dev && dev->conn.type == CONN_CSMI ? 1 : 0; }

int huld_dev_is_disk(const huld_dev *dev) {
  return dev && (dev->conn.type == CONN_DISK || dev->conn.type == CONN_DISK_POOL_MEMBER) ? 1 : 0;
}

int huld_dev_is_ses(const huld_dev *dev) { return dev && dev->conn.type == CONN_SES ? 1 : 0; }

int huld_dev_is_adaptec(const huld_dev *dev) {
  return dev && dev->conn.type == CONN_ADAPTEC ? 1 : 0;
}

int huld_dev_is_megaraid(const huld_dev *dev) {
  return dev && dev->conn.type == CONN_MEGARAID ? 1 : 0;
}

int huld_dev_is_conn_type_9(const huld_dev *dev) { return dev && dev->conn.type == 9 ? 1 : 0; }

int huld_dev_is_conn_type_10(const huld_dev *dev) { return dev && dev->conn.type == 10 ? 1 : 0; }

int huld_dev_is_disk_pool_member(const huld_dev *dev) {
  return dev && dev->conn.type == CONN_DISK_POOL_MEMBER ? 1 : 0;
}

int huld_dev_is_inbox_ahci(const huld_dev *dev) {
  return dev && dev->conn.driver == WINDOWS_INBOX_AHCI ? 1 : 0;
}

int huld_dev_is_inbox_nvme(const huld_dev *dev) {
  return dev && dev->conn.driver == WINDOWS_INBOX_NVME ? 1 : 0;
}

int huld_dev_is_inbox(const huld_dev *dev) {
  return dev && (dev->conn.driver == WINDOWS_INBOX_AHCI || dev->conn.driver == WINDOWS_INBOX_NVME)
             ? 1
             : 0;
}

int huld_dev_is_usb_mass_storage(const huld_dev *dev) {
  return dev && (dev->conn.driver == INBOX_USB_MASS_STORAGE ||
                 dev->conn.driver == INBOX_UAS_MASS_STORAGE)
             ? 1
             : 0;
}

int huld_dev_is_uas(const huld_dev *dev) {
  return dev && dev->conn.driver == INBOX_UAS_MASS_STORAGE ? 1 : 0;
}

int huld_dev_is_adaptec_raid(const huld_dev *dev) {
  return dev && dev->conn.driver == ADAPTEC_RAID ? 1 : 0;
}

int huld_dev_is_xr_nvme(const huld_dev *dev) { return dev && dev->conn.driver == XR_NVME ? 1 : 0; }

int huld_dev_is_uvc(const huld_dev *dev) { return dev && dev->conn.driver == UVC ? 1 : 0; }

int huld_dev_is_raid_member(const huld_dev *dev) {
  if (!dev) return 0;
  if (dev->conn.driver == ADAPTEC_RAID) return 1;
  if (huld_dev_is_csmi(dev)) return dev->csmi_raid_member ? 1 : 0;
  if (huld_dev_is_intel_rste(dev)) return dev->rste_raid_member ? 1 : 0;
  if (dev->conn.type == CONN_DISK_POOL_MEMBER) return 1;
  if (dev->iface == MARVELL_NEVOX) return 1;
  return 0;
}

// Disk-interface and controller enumeration passes, with the building blocks they share: the
// disk-drive class walk, adding a physical drive or a diskless NVMe controller, driver
// recognition from the controller's description, and the parent and PCI bus lookups.
#define HULD_MODULE "huld\\windows\\huld_windows_enumerate"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "huld/windows/huld_nvme_marvell_nevox.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "platform/win32.h"

#ifndef IOCTL_STORAGE_GET_DEVICE_NUMBER
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080
#endif

namespace {

// The answer of IOCTL_STORAGE_GET_DEVICE_NUMBER (12 bytes).
struct DeviceNumber {
  DWORD device_type;
  DWORD device_number;
  DWORD partition_number;
};
static_assert(sizeof(DeviceNumber) == 12, "device number answer is 12 bytes");

constexpr DWORD kPropertyBytes = 512;
constexpr DWORD kMaxDetailBytes = 1024;
constexpr int kMaxParentLevels = 64;
constexpr DWORD kDescriptorBytes = 40;
const char kSpacesDesc[] = "Microsoft Storage Spaces Controller";

// The SSD maker's own PCI vendor prefixes: devices carrying them are never taken as a PCI bus.
const char *const kMakerVendorPrefixes[] = {"PCI\\VEN_ABCD", "PCI\\VEN_ABCE", "PCI\\VEN_ABCF",
                                            "PCI\\VEN_ABD0", "PCI\\VEN_ABD1", "PCI\\VEN_ABD2"};

int lower(int c) { return std::tolower(static_cast<unsigned char>(c)); }

bool equal_nocase(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

// Position of needle in hay ignoring case, from `from`; npos when absent.
size_t find_nocase(const std::string &hay, const std::string &needle, size_t from = 0) {
  if (needle.empty() || hay.size() < needle.size()) return std::string::npos;
  for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && lower(hay[i + k]) == lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string::npos;
}

bool contains_nocase(const std::string &hay, const std::string &needle) {
  return find_nocase(hay, needle) != std::string::npos;
}

// True when needle occurs in hay (ignoring case) preceded by one of `before` and followed by
// '#': a whole path component, never a bare substring of a longer one.
bool contains_anchored(const std::string &hay, const std::string &needle, const char *before) {
  for (size_t at = find_nocase(hay, needle); at != std::string::npos;
       at = find_nocase(hay, needle, at + 1)) {
    const size_t end = at + needle.size();
    if (at > 0 && std::strchr(before, hay[at - 1]) && end < hay.size() && hay[end] == '#')
      return true;
  }
  return false;
}

// Low bytes of UTF-16 units into out, stopping at a NUL or the end of either buffer; always
// terminated.
void narrow(const BYTE *wide, DWORD bytes, char *out, size_t size) {
  size_t n = 0;
  while (2 * n + 1 < bytes && n + 1 < size && (wide[2 * n] | wide[2 * n + 1]) != 0) {
    out[n] = static_cast<char>(wide[2 * n]);
    ++n;
  }
  out[n] = '\0';
}

// Reads a device property into a 512-byte buffer and, for text, narrows it. false on failure
// (the system error stays the last error).
bool read_text_property(HDEVINFO set, SP_DEVINFO_DATA *dev, const DEVPROPKEY &key, char *out,
                        size_t size) {
  BYTE buffer[kPropertyBytes] = {};
  DEVPROPTYPE type = 0;
  DWORD required = 0;
  if (!SetupDiGetDevicePropertyW(set, dev, &key, &type, buffer, sizeof buffer, &required, 0))
    return false;
  narrow(buffer, required < sizeof buffer ? required : sizeof buffer, out, size);
  return true;
}

HANDLE open_shared(const char *path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool get_device_number(HANDLE h, DWORD *number) {
  DeviceNumber answer{};
  DWORD returned = 0;
  if (!DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer, sizeof answer,
                       &returned, nullptr))
    return false;
  *number = answer.device_number;
  return true;
}

// The fixed 40 bytes of the standard device property.
bool get_descriptor(HANDLE h, uint8_t *descriptor) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  DWORD returned = 0;
  return DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, descriptor,
                         kDescriptorBytes, &returned, nullptr) &&
         returned == kDescriptorBytes;
}

bool get_scsi_address(HANDLE h, SCSI_ADDRESS *address) {
  SCSI_ADDRESS a{};
  a.Length = sizeof a;
  DWORD returned = 0;
  if (!DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, &a, sizeof a, &a, sizeof a, &returned, nullptr))
    return false;
  *address = a;
  return true;
}

bool store(char *field, size_t size, const char *text) {
  if (std::strlen(text) >= size) return false;
  std::snprintf(field, size, "%s", text);
  return true;
}

// Closes the handles of the last record and drops it.
void drop_last(huld_dev_enumeration *e) {
  huld_dev *d = &e->devices[e->count - 1];
  if (huld_windows_handle_is_open(d->conn.handle)) CloseHandle(d->conn.handle);
  if (huld_windows_handle_is_open(d->rst_port_handle)) CloseHandle(d->rst_port_handle);
  huld_dev_enumeration_pop_back(e);
}

// Calls fn(set, device, path, index) for every present interface of the class whose detail is
// 1 to 1024 bytes. fn returns false to stop the walk.
using InterfaceFn = std::function<bool(HDEVINFO, SP_DEVINFO_DATA *, const char *, DWORD)>;
void walk_interfaces(const GUID &guid, const InterfaceFn &fn) {
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &iface)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
    if (required == 0 || required > kMaxDetailBytes) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface size - interface %u - skip\n", static_cast<unsigned>(index));
      continue;
    }
    alignas(8) BYTE detail_bytes[kMaxDetailBytes + 1] = {};
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(detail_bytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, &dev)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface detail - interface %u - skip\n", static_cast<unsigned>(index));
      continue;
    }
    if (!fn(set, &dev, detail->DevicePath, index)) break;
  }
  SetupDiDestroyDeviceInfoList(set);
}

// A set holding exactly the devnode of the instance id, with or without interfaces.
HDEVINFO open_single(const char *instance_id, SP_DEVINFO_DATA *dev) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return set;
  dev->cbSize = sizeof *dev;
  if (!SetupDiOpenDeviceInfoA(set, instance_id, nullptr, 0, dev)) {
    const DWORD e = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  return set;
}

// Walks the parent's driver key for "DriverDesc". false when there is none.
bool read_driver_desc_value(HDEVINFO set, SP_DEVINFO_DATA *dev, const char *device_id,
                            char *desc, size_t size) {
  HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (key == nullptr || key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return false;
  HULD_LOG(HULD_LOG_DEBUG, "Checking registry enum values for device %s...\n", device_id);
  bool found = false;
  for (DWORD index = 0; !found; ++index) {
    char name[256] = {};
    BYTE data[kMaxDetailBytes + 1] = {};
    DWORD name_len = sizeof name - 1, data_len = kMaxDetailBytes, type = 0;
    const LSTATUS rc = RegEnumValueA(key, index, name, &name_len, nullptr, &type, data, &data_len);
    if (rc == ERROR_MORE_DATA) continue;  // does not fit: skipped
    if (rc != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    data[data_len < kMaxDetailBytes ? data_len : kMaxDetailBytes] = 0;
    const char *text = reinterpret_cast<const char *>(data);
    HULD_LOG(HULD_LOG_DEBUG, "Registry Value - Name: %s, Data: %s\n", name, text);
    if (equal_nocase(name, "DriverDesc")) {
      std::snprintf(desc, size, "%s", text);
      found = true;
    }
  }
  RegCloseKey(key);
  return found;
}

// Does the UTF-16 multi-string (at most its array) hold the narrow id, ignoring case?
bool in_multi_string(const WCHAR *multi, size_t units, const char *id) {
  size_t i = 0;
  while (i < units && multi[i] != 0) {
    size_t k = 0;
    bool same = true;
    // The id is read only up to its terminator: a longer member string is a mismatch, and the
    // rest of it is skipped without touching the id again.
    for (; i + k < units && multi[i + k] != 0; ++k) {
      if (!same) continue;
      if (!id[k] || lower(static_cast<char>(multi[i + k] & 0xFF)) != lower(id[k]) || multi[i + k] > 0xFF)
        same = false;
    }
    if (same && id[k] == '\0') return true;
    i += k + 1;
  }
  return false;
}

}  // namespace

huld_driver recognize_driver_desc(const char *desc) {
  struct Rule {
    const char *text;
    int test;  // 0 equal, 1 contained, n > 1: the first n characters
    huld_driver driver;
    const char *message;
  };
  static const Rule kRules[] = {
      {"Standard SATA AHCI Controller", 0, WINDOWS_INBOX_AHCI, "Recognized WINDOWS_INBOX_AHCI driver.\n"},
      {"AMD SATA Controller", 0, WINDOWS_INBOX_AHCI, "Recognized WINDOWS_INBOX_AHCI driver.\n"},
      {"AMD-RAID Controller [storport]", 0, WINDOWS_INBOX_AHCI, "Recognized WINDOWS_INBOX_AHCI driver.\n"},
      {"Standard NVM Express Controller", 0, WINDOWS_INBOX_NVME, "Recognized WINDOWS_INBOX_NVME driver.\n"},
      {"Intel(R) Chipset SATA/PCIe RST Premium Controller", 0, INTEL_RST, "Recognized INTEL_RST driver.\n"},
      {"Intel Chipset SATA RAID Controller", 0, INTEL_RST, "Recognized INTEL_RST driver.\n"},
      {"Intel RST VMD", 1, INTEL_RST, "Recognized INTEL_RST driver.\n"},
      {"Intel(R) C600+/C220+ series chipset SATA RAID Controller", 0, INTEL_RSTE, "Recognized INTEL_RSTE driver.\n"},
      {"USB Mass Storage Device", 0, INBOX_USB_MASS_STORAGE, "Recognized INBOX_USB_MASS_STORAGE driver.\n"},
      {"USB Attached SCSI (UAS) Mass Storage Device", 0, INBOX_UAS_MASS_STORAGE,
       "Recognized INBOX_UAS_MASS_STORAGE driver.\n"},
      {"Adaptec RAID", 12, ADAPTEC_RAID, "Recognized Adaptec RAID driver.\n"},
      {"INTERNAL USE ONLY - ", 20, XR_NVME, "Recognized XR/Trov internal use only driver.\n"},
      {"XR Brambleon SN", 15, XR_NVME, "Recognized XR/Trov NVMe driver.\n"},
      {kSpacesDesc, 0, MICROSOFT_STORAGE_SPACES, "Recognized Microsoft Storage Spaces Controller driver.\n"},
  };
  const char *text = desc ? desc : "";
  for (const Rule &r : kRules) {
    const bool hit = r.test == 0   ? std::strcmp(text, r.text) == 0
                     : r.test == 1 ? std::strstr(text, r.text) != nullptr
                                   : std::strncmp(text, r.text, static_cast<size_t>(r.test)) == 0;
    if (hit) {
      HULD_LOG(HULD_LOG_DEBUG, "%s", r.message);
      return r.driver;
    }
  }
  HULD_LOG(HULD_LOG_DEBUG, "Fall back to WINDOWS_INBOX_AHCI driver.\n");
  return WINDOWS_INBOX_AHCI;
}

int get_parent(const char *instance_id, char *parent, size_t size) {
  SP_DEVINFO_DATA dev{};
  HDEVINFO set = open_single(instance_id, &dev);
  if (set == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "get_parent INVALID_HANDLE - %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  int result = 1;
  for (DWORD i = 0; result != 0; ++i) {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInfo(set, i, &d)) break;
    if (read_text_property(set, &d, DEVPKEY_Device_Parent, parent, size)) {
      result = 0;
    } else {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_Parent failed for %s: %u\n", instance_id,
               static_cast<unsigned>(GetLastError()));
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

int is_pci_bus(const char *instance_id) {
  const std::string id = instance_id;
  if (id.find("PCI\\") == std::string::npos && id.find("ACPI\\") == std::string::npos) return 0;
  SP_DEVINFO_DATA dev{};
  HDEVINFO set = open_single(instance_id, &dev);
  if (set == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "hdinfo INVALID_HANDLE_VALUE - %u\n", static_cast<unsigned>(GetLastError()));
    return 0;
  }
  int system = 1;
  for (DWORD i = 0; system; ++i) {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInfo(set, i, &d)) break;
    char cls[kPropertyBytes / 2] = {};
    if (!read_text_property(set, &d, DEVPKEY_Device_Class, cls, sizeof cls)) {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_Class failed: %u\n", static_cast<unsigned>(GetLastError()));
      system = 0;
    } else if (std::strcmp(cls, "System") != 0) {
      system = 0;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  if (!system) return 0;
  for (const char *prefix : kMakerVendorPrefixes)
    if (contains_nocase(id, prefix)) return 0;
  return 1;
}

int get_pci_bus_device_instance(char *instance_id, char *out, size_t size) {
  HULD_LOG(HULD_LOG_DEBUG, "get_pci_bus_device_instance - %s\n", instance_id);
  const std::string start = instance_id;
  for (int level = 0; level < kMaxParentLevels; ++level) {
    HULD_LOG(HULD_LOG_DEBUG, "try to find PCI bus parent of %s\n", instance_id);
    char parent[kPropertyBytes / 2] = {};
    if (get_parent(instance_id, parent, sizeof parent) != 0) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture parent of %s\n", instance_id);
      return 1;
    }
    HULD_LOG(HULD_LOG_DEBUG, "%s is parent of %s\n", parent, instance_id);
    if (is_pci_bus(parent)) {
      std::snprintf(out, size, "%s", parent);
      HULD_LOG(HULD_LOG_DEBUG, "parent %s of %s is pci bus\n", parent, instance_id);
      return 0;
    }
    std::snprintf(instance_id, kPropertyBytes / 2, "%s", parent);
  }
  HULD_LOG(HULD_LOG_DEBUG, "no PCI bus within 64 levels of %s\n", start.c_str());
  return 1;
}

int get_pci_bus_number(char *instance_id, uint32_t *bus) {
  HULD_LOG(HULD_LOG_DEBUG, "getting PCI bus number for %s\n", instance_id);
  char bus_id[kPropertyBytes / 2] = {};
  if (get_pci_bus_device_instance(instance_id, bus_id, sizeof bus_id) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture PCI bus instance\n");
    return 1;
  }
  HULD_LOG(HULD_LOG_DEBUG, "PCI bus device instance: %s\n", bus_id);
  if (std::strstr(bus_id, "ACPI\\")) {
    *bus = 0;
    return 0;
  }
  HULD_LOG(HULD_LOG_DEBUG, "enumerating PCI to find match\n");
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return 1;
  int result = 1;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInfo(set, i, &d)) break;
    char id[kPropertyBytes / 2] = {};
    if (!read_text_property(set, &d, DEVPKEY_Device_InstanceId, id, sizeof id) || !equal_nocase(id, bus_id))
      continue;
    DEVPROPTYPE type = 0;
    uint32_t number = 0;
    if (SetupDiGetDevicePropertyW(set, &d, &DEVPKEY_Device_BusNumber, &type, reinterpret_cast<PBYTE>(&number),
                                  sizeof number, nullptr, 0)) {
      *bus = number;
      result = 0;
    } else {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_BusNumber failed: %u\n", static_cast<unsigned>(GetLastError()));
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

void _enumerate_disk_drive_class(uint32_t *count, huld_disk_drive_entry **array) {
  *count = 0;
  *array = nullptr;
  uint32_t capacity = 0;
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInfo(set, i, &d)) break;
    huld_disk_drive_entry entry{};
    char pdo[kPropertyBytes / 2] = {};
    if (!read_text_property(set, &d, DEVPKEY_Device_InstanceId, entry.instance_id, sizeof entry.instance_id)) {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_InstanceId failed: %u\n", static_cast<unsigned>(GetLastError()));
      continue;
    }
    if (!read_text_property(set, &d, DEVPKEY_Device_Parent, entry.parent_id, sizeof entry.parent_id) ||
        !read_text_property(set, &d, DEVPKEY_Device_PDOName, pdo, sizeof pdo))
      continue;
    const std::string path = std::string("\\\\.\\GLOBALROOT") + pdo;
    HANDLE h = open_shared(path.c_str());
    if (h == INVALID_HANDLE_VALUE) continue;
    DWORD number = 0;
    const bool ok = get_device_number(h, &number);
    CloseHandle(h);
    if (!ok) continue;
    if (*count == capacity) {
      auto *grown = static_cast<huld_disk_drive_entry *>(
          std::realloc(*array, sizeof(huld_disk_drive_entry) * (capacity + 16)));
      if (!grown) {
        HULD_LOG(HULD_LOG_DEBUG, "halting scan - out of memory\n");
        break;
      }
      *array = grown;
      capacity += 16;
    }
    entry.disk_number = number;
    (*array)[(*count)++] = entry;
    HULD_LOG(HULD_LOG_DEBUG, "\\\\.\\PhysicalDisk%u\n\tparent device id: %s\n\tdevice id: %s\n\n", static_cast<unsigned>(number),
             entry.parent_id, entry.instance_id);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void _add_device(uint32_t disk_number, const char *instance_id, const char *desc, huld_dev_enumeration *e) {
  char path[64];
  std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%u", disk_number);
  HANDLE h = open_shared(path);
  if (h == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to open %s - skipping device\n", path);
    return;
  }
  HULD_LOG(HULD_LOG_DEBUG, "valid handle %ph opened for device path %s\n", h, path);
  DWORD number = 0;
  if (!get_device_number(h, &number)) {
    HULD_LOG(HULD_LOG_DEBUG, "closing handle %ph - failed to capture storage number\n", h);
    CloseHandle(h);
    return;
  }
  HULD_LOG(HULD_LOG_DEBUG, "%s storage device number is %u\n", path, static_cast<unsigned>(number));
  if (number != disk_number) {
    HULD_LOG(HULD_LOG_DEBUG, "disk != storage_device_number.DeviceNumber\n");
    CloseHandle(h);
    return;
  }
  uint8_t descriptor[kDescriptorBytes] = {};
  if (!get_descriptor(h, descriptor)) {
    HULD_LOG(HULD_LOG_DEBUG, "closing handle %ph - failed to capture storage query property\n", h);
    CloseHandle(h);
    return;
  }
  char name[HULD_DEV_NAME_SIZE];
  std::snprintf(name, sizeof name, "disk%d", static_cast<int>(disk_number));
  const uint32_t driver = desc ? recognize_driver_desc(desc) : DRIVER_NONE;
  bool pool_member = false;
  for (uint32_t i = 0; i < e->count; ++i) {
    huld_dev *d = &e->devices[i];
    if (std::strcmp(d->name, name) == 0) {
      HULD_LOG(HULD_LOG_DEBUG, "exists at index %u\n", i);
      if (d->conn.driver == DRIVER_NONE) d->conn.driver = driver;
      CloseHandle(h);
      return;
    }
    if (d->conn.driver == MICROSOFT_STORAGE_SPACES &&
        in_multi_string(d->pool_member_ids, sizeof d->pool_member_ids / sizeof(WCHAR), instance_id))
      pool_member = true;
  }
  huld_dev *d = huld_dev_enumeration_push_back(e);
  if (!d) {
    HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure");
    CloseHandle(h);
    return;
  }
  std::snprintf(d->name, sizeof d->name, "%s", name);
  d->conn.handle = h;
  d->iface = 0;
  d->disk_number = disk_number;
  d->conn.type = pool_member ? CONN_DISK_POOL_MEMBER : CONN_DISK;
  d->conn.driver = driver;
  store(d->conn.path, sizeof d->conn.path, path);
  std::memcpy(d->descriptor, descriptor, kDescriptorBytes);
  if (driver == INTEL_RST && get_scsi_address(h, &d->scsi_address)) {
    char port[64];
    std::snprintf(port, sizeof port, "\\\\.\\Scsi%u:", d->scsi_address.PortNumber);
    if (!store(d->rst_port_path, sizeof d->rst_port_path, port)) {
      HULD_LOG(HULD_LOG_DEBUG, "rst handle %s too long to store - skip disk", port);
    } else {
      d->rst_port_handle = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (d->rst_port_handle == INVALID_HANDLE_VALUE)
        HULD_LOG(HULD_LOG_DEBUG, "could not open handle at path %s", port);
      else
        HULD_LOG(HULD_LOG_DEBUG, "captured irst scsi addr on disk device - path %s, rst handle %ph\n", port,
                 d->rst_port_handle);
    }
  }
  HULD_LOG(HULD_LOG_DEBUG, "captured disk addr - path %s, handle %ph\n", d->conn.path, d->conn.handle);
}

void _add_nvme_controller(uint32_t *nvme_index, const char *instance_id, huld_dev_enumeration *e) {
  const std::string id = instance_id;
  const size_t slash = id.rfind('\\');
  if (id.compare(0, 3, "PCI") != 0 || slash == std::string::npos) return;
  const std::string suffix = id.substr(slash + 1);
  walk_interfaces(GUID_DEVINTERFACE_STORAGEPORT, [&](HDEVINFO set, SP_DEVINFO_DATA *dev, const char *path, DWORD) {
    if (suffix.empty() || !contains_anchored(path, suffix, "#")) return true;
    HANDLE h = open_shared(path);
    if (h == INVALID_HANDLE_VALUE) return true;
    char desc[kPropertyBytes / 2] = {};
    if (!read_text_property(set, dev, DEVPKEY_Device_DriverDesc, desc, sizeof desc)) {
      CloseHandle(h);
      return true;
    }
    HULD_LOG(HULD_LOG_DEBUG, "DriverDesc: %s\n", desc);
    huld_dev *d = huld_dev_enumeration_push_back(e);
    if (!d) {
      HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure");
      CloseHandle(h);
      return true;
    }
    d->conn.handle = h;
    char name[64];
    std::snprintf(name, sizeof name, "nvme%d", static_cast<int>(*nvme_index));
    if (!store(d->name, sizeof d->name, name)) {
      HULD_LOG(HULD_LOG_DEBUG, "name %s too long to store, skip device", name);
      drop_last(e);
      return true;
    }
    if (!store(d->conn.path, sizeof d->conn.path, path)) {
      HULD_LOG(HULD_LOG_DEBUG, "handle %s (%ph) too long to store, skip device", path, h);
      drop_last(e);
      return true;
    }
    d->iface = 0;
    d->conn.type = CONN_DISK;
    d->disk_number = 0xFFFFFFFFu;
    d->conn.driver = recognize_driver_desc(desc);
    ++*nvme_index;
    HULD_LOG(HULD_LOG_DEBUG, "captured disk addr - path %s, handle %ph\n", d->conn.path, h);
    return true;
  });
}

void xr_modify_handle(huld_dev *dev, const char *parent_id) {
  std::string wanted = parent_id;
  for (char &c : wanted) c = c == '\\' ? '#' : static_cast<char>(lower(c));
  std::string found;
  walk_interfaces(GUID_DEVINTERFACE_STORAGEPORT, [&](HDEVINFO, SP_DEVINFO_DATA *, const char *path, DWORD) {
    if (!contains_anchored(path, wanted, "\\#")) return true;
    found = path;
    return false;
  });
  if (found.empty()) return;
  HANDLE h = open_shared(found.c_str());
  if (h == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "invalid handle opened for device path %s\n", found.c_str());
    return;
  }
  CloseHandle(h);
  HULD_LOG(HULD_LOG_DEBUG, "replacing %s with %s\n", dev->conn.path, found.c_str());
  if (!store(dev->conn.path, sizeof dev->conn.path, found.c_str())) {
    HULD_LOG(HULD_LOG_DEBUG, "handle %s too long to store, skip device", found.c_str());
    return;
  }
  if (huld_windows_handle_is_open(dev->conn.handle)) CloseHandle(dev->conn.handle);
  dev->conn.handle = INVALID_HANDLE_VALUE;
}

namespace {

// What one disk interface holds while the disk pass looks at it: the device-information set of
// its parent and the open handle of the disk. The pass lets go of each as soon as it is done
// with it; whatever is still held when the pass leaves early is given back here, the handle
// before the set.
class DiskInterfaceHold {
 public:
  DiskInterfaceHold() = default;
  DiskInterfaceHold(const DiskInterfaceHold &) = delete;
  DiskInterfaceHold &operator=(const DiskInterfaceHold &) = delete;
  ~DiskInterfaceHold() {
    close_handle();
    destroy_set();
  }

  void close_handle() {
    if (handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  void destroy_set() {
    if (set == INVALID_HANDLE_VALUE) return;
    SetupDiDestroyDeviceInfoList(set);
    set = INVALID_HANDLE_VALUE;
  }

  HDEVINFO set = INVALID_HANDLE_VALUE;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

// One disk interface of the disk pass.
void add_disk_interface(huld_dev_enumeration *e, HDEVINFO set, SP_DEVINFO_DATA *dev, const char *path,
                        DWORD index) {
  char instance_id[HULD_DEV_INSTANCE_ID_SIZE] = {};
  const bool have_id = read_text_property(set, dev, DEVPKEY_Device_InstanceId, instance_id, sizeof instance_id);
  if (have_id)
    HULD_LOG(HULD_LOG_DEBUG, "Device Instance (Index %u): %s\n", static_cast<unsigned>(index), instance_id);
  else
    HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_InstanceId failed: %u\n", static_cast<unsigned>(GetLastError()));

  ULONG status = 0, problem = 0;
  DEVINST parent = 0;
  char parent_id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_DevNode_Status(&status, &problem, dev->DevInst, 0) != CR_SUCCESS) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture device node status - interface %u - skip\n", static_cast<unsigned>(index));
    return;
  }
  if (CM_Get_Parent(&parent, dev->DevInst, 0) != CR_SUCCESS) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture device node parent - interface %u - skip\n", static_cast<unsigned>(index));
    return;
  }
  if (CM_Get_Device_IDA(parent, parent_id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture parent id - interface %u - skip\n", static_cast<unsigned>(index));
    return;
  }
  parent_id[MAX_DEVICE_ID_LEN] = '\0';
  HULD_LOG(HULD_LOG_DEBUG, "devinst_parent device id %s\n", parent_id);

  SP_DEVINFO_DATA parent_dev{};
  DiskInterfaceHold hold;
  hold.set = open_single(parent_id, &parent_dev);
  if (hold.set == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to capture device info for parent id - interface %u - skip\n", static_cast<unsigned>(index));
    return;
  }
  char desc[kMaxDetailBytes + 1] = {};
  uint32_t driver = DRIVER_NONE;
  if (read_driver_desc_value(hold.set, &parent_dev, parent_id, desc, sizeof desc))
    driver = recognize_driver_desc(desc);

  hold.handle = open_shared(path);
  if (hold.handle == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "invalid handle opened for device path %s\n", path);
    return;
  }
  HULD_LOG(HULD_LOG_DEBUG, "valid handle %ph opened for device path %s\n", hold.handle, path);
  DWORD number = 0;
  uint8_t descriptor[kDescriptorBytes] = {};
  const char *failure = nullptr;
  if (!get_device_number(hold.handle, &number))
    failure = "closing handle %ph - failed to capture storage number\n";
  else if (!get_descriptor(hold.handle, descriptor))
    failure = "closing handle %ph - failed to capture storage query property\n";
  huld_dev *d = failure ? nullptr : huld_dev_enumeration_push_back(e);
  if (!failure && !d) failure = "device skipped due to enumeration push_back failure";
  if (!failure && !store(d->conn.path, sizeof d->conn.path, path)) {
    HULD_LOG(HULD_LOG_DEBUG, "handle %s too long to store, skip device\n", path);
    huld_dev_enumeration_pop_back(e);
    return;
  }
  if (failure) {
    HULD_LOG(HULD_LOG_DEBUG, failure, hold.handle);
    return;
  }
  const uint32_t position = e->count - 1;
  std::snprintf(d->name, sizeof d->name, "disk%d", static_cast<int>(number));
  d->iface = 0;
  d->conn.type = CONN_DISK;
  d->conn.driver = driver;
  d->disk_number = number;
  std::memcpy(d->descriptor, descriptor, kDescriptorBytes);
  store(d->instance_id, sizeof d->instance_id, parent_id);

  if (std::strcmp(desc, kSpacesDesc) == 0) {
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(hold.set, &parent_dev, &DEVPKEY_Device_PowerRelations, &type,
                                   reinterpret_cast<PBYTE>(d->pool_member_ids), sizeof d->pool_member_ids,
                                   nullptr, 0)) {
      std::memset(d->pool_member_ids, 0, sizeof d->pool_member_ids);
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture power relations for storage space volume\n");
    }
    const size_t units = sizeof d->pool_member_ids / sizeof(WCHAR);
    d->pool_member_ids[units - 1] = d->pool_member_ids[units - 2] = 0;
  }
  hold.destroy_set();

  uint32_t bus = 0;
  char walk_id[kPropertyBytes / 2] = {};
  std::snprintf(walk_id, sizeof walk_id, "%.*s", static_cast<int>(sizeof walk_id - 1), instance_id);
  if (!have_id || get_pci_bus_number(walk_id, &bus) != 0) {
    HULD_LOG(HULD_LOG_DEBUG, "get_pci_bus_bus_number failed\n");
    bus = 0;
  }
  d->bus_number = bus;

  if (get_scsi_address(hold.handle, &d->scsi_address)) {
    HULD_LOG(HULD_LOG_DEBUG, "SCSI PORT: %u\n", d->scsi_address.PortNumber);
    if (driver == INTEL_RST) {
      char port[64];
      std::snprintf(port, sizeof port, "\\\\.\\Scsi%u:", d->scsi_address.PortNumber);
      if (!store(d->rst_port_path, sizeof d->rst_port_path, port)) {
        HULD_LOG(HULD_LOG_DEBUG, "rst handle %s too long to store - skip disk", port);
      } else {
        HANDLE port_handle = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port_handle == INVALID_HANDLE_VALUE) {
          HULD_LOG(HULD_LOG_DEBUG, "could not open handle at path %s", port);
        } else {
          CloseHandle(port_handle);
          HULD_LOG(HULD_LOG_DEBUG, "captured irst scsi addr on disk device - path %s\n", port);
        }
      }
    }
  }
  hold.close_handle();
  d->conn.handle = INVALID_HANDLE_VALUE;

  if (driver == XR_NVME) xr_modify_handle(d, parent_id);

  HULD_LOG(HULD_LOG_DEBUG, "captured disk addr - path %s\n", d->conn.path);
  HULD_LOG(HULD_LOG_DEBUG, "checking PCI Vendor ID / Device ID\n");
  unsigned vendor = 0, device = 0;
  if (std::sscanf(parent_id, "PCI\\VEN_%x&DEV_%x", &vendor, &device) != 2) {
    HULD_LOG(HULD_LOG_DEBUG, "device parent '%s' did not match for PCI\n", parent_id);
    return;
  }
  HULD_LOG(HULD_LOG_DEBUG, "vendor id %xh, device id %xh :: device parent %s\n", vendor, device, parent_id);
  if (vendor == 0x1B4B && device == 0x2241) {
    HULD_LOG(HULD_LOG_DEBUG, "found Marvell NevoX, run additional enumeration!\n");
    if (d->iface == 0) d->iface = WINDOWS_NVME;
    huld_windows_enumerate_nevox(&e->devices[position], e);
  }
}

// Records already named "nvme%d": the one counter runs across both controller passes.
uint32_t nvme_records(const huld_dev_enumeration *e) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < e->count; ++i)
    if (std::strncmp(e->devices[i].name, "nvme", 4) == 0) ++n;
  return n;
}

}  // namespace

void huld_windows_enumerate_controller(const GUID &setup_class, huld_dev_enumeration *e) {
  uint32_t count = 0;
  huld_disk_drive_entry *disks = nullptr;
  _enumerate_disk_drive_class(&count, &disks);
  uint32_t nvme_index = nvme_records(e);
  HDEVINFO set = SetupDiGetClassDevsA(&setup_class, nullptr, nullptr, DIGCF_PRESENT);
  if (set != INVALID_HANDLE_VALUE) {
    for (DWORD i = 0;; ++i) {
      SP_DEVINFO_DATA d{};
      d.cbSize = sizeof d;
      if (!SetupDiEnumDeviceInfo(set, i, &d)) break;
      char id[HULD_DEV_INSTANCE_ID_SIZE] = {};
      if (!read_text_property(set, &d, DEVPKEY_Device_InstanceId, id, sizeof id)) continue;
      bool has_disk = false;
      for (uint32_t k = 0; k < count; ++k) {
        if (!equal_nocase(disks[k].parent_id, id)) continue;
        has_disk = true;
        char desc[kPropertyBytes / 2] = {};
        const bool have_desc = read_text_property(set, &d, DEVPKEY_Device_DriverDesc, desc, sizeof desc);
        HULD_LOG(HULD_LOG_DEBUG, "device_id: %s, DriverDesc: %s\n", id, desc);
        _add_device(disks[k].disk_number, disks[k].instance_id, have_desc ? desc : nullptr, e);
      }
      if (!has_disk) {
        HULD_LOG(HULD_LOG_DEBUG, "device_id %s does not have disk number - check if it is a controller\n", id);
        _add_nvme_controller(&nvme_index, id, e);
      }
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  std::free(disks);
}

void huld_windows_enumerate_disk(huld_dev_enumeration *e) {
  walk_interfaces(GUID_DEVINTERFACE_DISK, [&](HDEVINFO set, SP_DEVINFO_DATA *dev, const char *path, DWORD index) {
    add_disk_interface(e, set, dev, path, index);
    return true;
  });
}

void huld_windows_enumerate_hdc(huld_dev_enumeration *e) { huld_windows_enumerate_controller(GUID_DEVCLASS_HDC, e); }

void huld_windows_enumerate_scsi_adapter(huld_dev_enumeration *e) {
  huld_windows_enumerate_controller(GUID_DEVCLASS_SCSIADAPTER, e);
}

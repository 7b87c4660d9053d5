// Enumeration of the enclosure-services interfaces and of the USB root hubs, with the devices
// found below each root hub (downstream hubs walked into the same record).
#define HULD_MODULE "huld\\windows\\huld_windows_enumerate"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "huld/huld_log.h"
#include "huld/huld_util.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "huld/windows/huld_windows_enumerate_raid.h"

namespace {

constexpr DWORD kDetailMax = 1024;
constexpr DWORD kHubInfoSize = 77;
constexpr DWORD kConnectionInfoSize = 1024;
constexpr DWORD kConnectionInfoV2Size = 16;
constexpr DWORD kDescriptorRequestHead = 12;
constexpr DWORD kDescriptorLength = 1012;
constexpr DWORD kNodeNameHead = 10;
constexpr DWORD kNodeNameMax = 1024;
constexpr uint32_t kUsb300 = 0x4;
constexpr uint32_t kMaxHubDepth = 8;
constexpr size_t kSerialChars = sizeof(huld_usb_entry::serial) - 1;

// Narrow copy of a UTF-16 text (the low byte of every character), stopping at its terminator, at
// `chars` characters and at the destination's end; always terminated.
void narrow(char *out, size_t out_size, const uint8_t *wide, size_t chars) {
  size_t i = 0;
  for (; i + 1 < out_size && i < chars; ++i) {
    const uint16_t c = huld_get_le16(wide + 2 * i);
    if (c == 0) break;
    out[i] = static_cast<char>(c & 0xFF);
  }
  out[i] = '\0';
}

// The path of interface `index` of the set into `path` (kDetailMax bytes). 0: found; 1: skip it
// (logged); 2: no more interfaces.
int interface_path(HDEVINFO set, const GUID &guid, DWORD index, char *path, SP_DEVINFO_DATA *info, bool hub) {
  SP_DEVICE_INTERFACE_DATA itf = {};
  itf.cbSize = sizeof itf;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &itf)) return 2;
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, &need, nullptr);
  if (need == 0 || need > kDetailMax) {
    if (hub)
      HULD_LOG(HULD_LOG_DEBUG, "failed to get usb hub dinterface sz %u - skip: %u\n", static_cast<unsigned>(index),
               static_cast<unsigned>(GetLastError()));
    else
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface size - interface %u - skip\n",
               static_cast<unsigned>(index));
    return 1;
  }
  auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(std::calloc(1, need + 1));
  if (!detail) return 1;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (info) {
    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof *info;
  }
  if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, need, nullptr, info)) {
    if (hub)
      HULD_LOG(HULD_LOG_DEBUG, "failed to get usb dinterface detail %u - skip: %u\n", static_cast<unsigned>(index),
               static_cast<unsigned>(GetLastError()));
    else
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface detail - interface %u - skip\n",
               static_cast<unsigned>(index));
    std::free(detail);
    return 1;
  }
  const size_t room = need - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  snprintf(path, kDetailMax, "%.*s", static_cast<int>(strnlen(detail->DevicePath, room)), detail->DevicePath);
  std::free(detail);
  return 0;
}

// ---- USB ----------------------------------------------------------------------------------------

// HubType and HighestPortNumber of the hub behind h. 0, or the system error.
DWORD hub_information(HANDLE h, uint32_t *type, uint16_t *ports) {
  uint8_t info[kHubInfoSize] = {};
  DWORD got = 0;
  if (!DeviceIoControl(h, IOCTL_USB_GET_HUB_INFORMATION_EX, info, sizeof info, info, sizeof info, &got, nullptr)) {
    DWORD e = GetLastError();
    return e ? e : ERROR_GEN_FAILURE;
  }
  *type = huld_get_le32(info);
  *ports = huld_get_le16(info + 4);
  return 0;
}

}  // namespace

int usb_get_node_connection_name(HANDLE hub, uint32_t port, char *name, uint32_t size) {
  uint8_t head[kNodeNameHead] = {};
  huld_put_le32(head, port);
  DWORD got = 0;
  if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, head, sizeof head, head, sizeof head, &got,
                       nullptr)) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed to get USB node connection name - %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const uint32_t length = huld_get_le32(head + 4);
  if (length < kNodeNameHead) {
    HULD_LOG(HULD_LOG_DEBUG, "USB node connection name too short\n");
    return 1;
  }
  if (length > kNodeNameMax) {
    HULD_LOG(HULD_LOG_DEBUG, "USB node connection name too long\n");
    return 1;
  }
  auto *buf = static_cast<uint8_t *>(std::calloc(1, length));
  if (!buf) {
    HULD_LOG(HULD_LOG_DEBUG, "could not allocate %u bytes for usb node name\n", static_cast<unsigned>(length));
    return 1;
  }
  huld_put_le32(buf, port);
  if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, buf, length, buf, length, &got, nullptr)) {
    HULD_LOG(HULD_LOG_DEBUG, "Failed to get USB node connection name with length - %u\n",
             static_cast<unsigned>(GetLastError()));
    std::free(buf);
    return 1;
  }
  const uint32_t name_bytes = length - 8;
  if (size < name_bytes) {
    HULD_LOG(HULD_LOG_DEBUG, "namesz passed in too short for USB node connection name\n");
    std::free(buf);
    return 1;
  }
  const DWORD returned = got < length ? got : length;
  const size_t chars = returned > 8 ? (returned - 8) / 2 : 0;
  narrow(name, size, buf + 8, chars);
  std::free(buf);
  return 0;
}

namespace {

void walk_ports(huld_dev *rec, HANDLE hub, uint32_t ports, uint32_t depth);

// Walks the downstream hub on `port` of `hub` into the same record.
void walk_downstream_hub(huld_dev *rec, HANDLE hub, uint32_t port, uint32_t depth) {
  if (depth + 1 >= kMaxHubDepth) {
    HULD_LOG(HULD_LOG_DEBUG, "USB hub depth limit reached - skip\n");
    return;
  }
  char name[kNodeNameMax];
  if (usb_get_node_connection_name(hub, port, name, sizeof name)) {
    HULD_LOG(HULD_LOG_DEBUG, "skipping recursive enumeration, failed to get name\n");
    return;
  }
  char path[kNodeNameMax + 8];
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  HANDLE h = huld_windows_open_shared(path);
  if (!huld_windows_handle_is_open(h)) {
    HULD_LOG(HULD_LOG_DEBUG, "invalid handle device path %s - skip: %u\n", path, static_cast<unsigned>(GetLastError()));
    return;
  }
  uint32_t type = 0;
  uint16_t ports = 0;
  if (DWORD e = hub_information(h, &type, &ports))
    HULD_LOG(HULD_LOG_DEBUG, "failed IOCTL_USB_GET_HUB_INFORMATION_EX - skip: %u\n", static_cast<unsigned>(e));
  else
    walk_ports(rec, h, ports, depth + 1);
  CloseHandle(h);
}

void walk_ports(huld_dev *rec, HANDLE hub, uint32_t ports, uint32_t depth) {
  for (uint32_t port = 1; port <= ports; ++port) {
    HULD_LOG(HULD_LOG_DEBUG, "enumerate port %u\n", static_cast<unsigned>(port));
    uint8_t info[kConnectionInfoSize] = {};
    huld_put_le32(info, port);
    DWORD got = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, info, sizeof info, info, sizeof info, &got,
                         nullptr)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to call IOCTL_USB_GET_NODE_CONNECTION_INFORMATION %u - skip: %u\n",
               static_cast<unsigned>(port), static_cast<unsigned>(GetLastError()));
      continue;
    }
    if (huld_get_le32(info + 31) == 0) continue;  // ConnectionStatus: nothing connected
    if (rec->usb_entry_count >= HULD_DEV_USB_ENTRIES) {
      HULD_LOG(HULD_LOG_DEBUG, "skipping USB enumeration due to max USB info limitation\n");
      continue;
    }
    huld_usb_entry *entry = &rec->usb_entries[rec->usb_entry_count];
    std::memset(entry, 0, sizeof *entry);
    const uint8_t *desc = info + 4;  // device descriptor
    entry->vid = huld_get_le16(desc + 8);
    entry->pid = huld_get_le16(desc + 10);
    const uint8_t serial_index = desc[16];
    const bool is_hub = info[24] != 0;

    uint8_t v2[kConnectionInfoV2Size] = {};
    huld_put_le32(v2, port);
    huld_put_le32(v2 + 4, kConnectionInfoV2Size);
    huld_put_le32(v2 + 8, kUsb300);
    if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2, sizeof v2, v2, sizeof v2, &got,
                         nullptr)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to call IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 %u - skip: %u\n",
               static_cast<unsigned>(port), static_cast<unsigned>(GetLastError()));
      continue;
    }
    entry->super_speed = huld_get_le32(v2 + 12) & 1;

    if (serial_index) {
      const DWORD size = kDescriptorRequestHead + kDescriptorLength;
      auto *req = static_cast<uint8_t *>(std::calloc(1, size));
      if (!req) continue;
      huld_put_le32(req, port);
      req[4] = 0x80;  // device to host, standard, device
      req[5] = 6;     // GET_DESCRIPTOR
      huld_put_le16(req + 6, static_cast<uint16_t>(0x0300 | serial_index));
      huld_put_le16(req + 8, 0);
      huld_put_le16(req + 10, static_cast<uint16_t>(kDescriptorLength));
      if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, req, size, req, size, &got, nullptr)) {
        HULD_LOG(HULD_LOG_DEBUG, "failed IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: %u\n",
                 static_cast<unsigned>(GetLastError()));
        std::free(req);
        continue;
      }
      // bLength counts the two header bytes; only what came back and what the field holds is read.
      const DWORD returned = got < size ? got : size;
      const size_t data = returned > kDescriptorRequestHead ? returned - kDescriptorRequestHead : 0;
      size_t length = req[kDescriptorRequestHead];
      if (length > data) length = data;
      size_t chars = length >= 2 ? (length - 2) / 2 : 0;
      if (chars > kSerialChars) chars = kSerialChars;
      narrow(entry->serial, sizeof entry->serial, req + kDescriptorRequestHead + 2, chars);
      std::free(req);
    }
    rec->usb_entry_count++;
    if (is_hub) walk_downstream_hub(rec, hub, port, depth);
  }
}

}  // namespace

void usb_enumerate_ports(huld_dev *rec, HANDLE hub, uint32_t ports) { walk_ports(rec, hub, ports, 0); }

void huld_windows_enumerate_usb(huld_dev_enumeration *e) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_HUB, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to enumerate GUID_DEVINTERFACE_USB_HUB: %u\n",
             static_cast<unsigned>(GetLastError()));
    return;
  }
  for (DWORD index = 0;; ++index) {
    char path[kDetailMax];
    SP_DEVINFO_DATA info;
    const int found = interface_path(set, GUID_DEVINTERFACE_USB_HUB, index, path, &info, true);
    if (found == 2) break;
    if (found == 1) continue;
    uint8_t id[2 * HULD_DEV_INSTANCE_ID_SIZE] = {};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_InstanceId, &type, id, sizeof id - 2, nullptr, 0)) {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_InstanceId failed %u - skip: %u\n", static_cast<unsigned>(index),
               static_cast<unsigned>(GetLastError()));
      continue;
    }
    HANDLE hub = huld_windows_open_shared(path);
    if (!huld_windows_handle_is_open(hub)) {
      HULD_LOG(HULD_LOG_DEBUG, "invalid handle device path %s, %u - skip: %u\n", path, static_cast<unsigned>(index),
               static_cast<unsigned>(GetLastError()));
      continue;
    }
    uint32_t hub_type = 0;
    uint16_t ports = 0;
    if (DWORD err = hub_information(hub, &hub_type, &ports)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed IOCTL_USB_GET_HUB_INFORMATION_EX %u - skip: %u\n",
               static_cast<unsigned>(index), static_cast<unsigned>(err));
      CloseHandle(hub);
      continue;
    }
    if (hub_type != 1) {
      HULD_LOG(HULD_LOG_DEBUG, "hub %s not root hub - skip\n", path);
      CloseHandle(hub);
      continue;
    }
    HULD_LOG(HULD_LOG_DEBUG, "hub %s root hub - enumerate\n", path);
    huld_dev *d = huld_dev_enumeration_push_back(e);
    if (!d) {
      HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push back failure\n");
      CloseHandle(hub);
      continue;
    }
    snprintf(d->name, sizeof d->name, "%.255s", path);
    d->iface = WINDOWS_USB_HUB;
    d->conn.type = CONN_USB_HUB;
    usb_enumerate_ports(d, hub, ports);
    CloseHandle(hub);
    char walk_id[HULD_DEV_INSTANCE_ID_SIZE] = {};
    narrow(walk_id, sizeof walk_id, id, (sizeof id - 2) / 2);
    uint32_t bus = 0;
    if (get_pci_bus_number(walk_id, &bus) != 0) {
      HULD_LOG(HULD_LOG_DEBUG, "get_pci_bus_number failed, USB hub\n");
      bus = 0;
    }
    d->bus_number = bus;
  }
  SetupDiDestroyDeviceInfoList(set);
}

// ---- Enclosure services -------------------------------------------------------------------------

void huld_windows_enumerate_ses(huld_dev_enumeration *e) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_SES, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0;; ++index) {
    char path[kDetailMax];
    const int found = interface_path(set, GUID_DEVINTERFACE_SES, index, path, nullptr, false);
    if (found == 2) break;
    if (found == 1) continue;
    HANDLE h = huld_windows_open_shared(path);
    if (!huld_windows_handle_is_open(h)) {
      HULD_LOG(HULD_LOG_DEBUG, "invalid handle opened for device path %s\n", path);
      continue;
    }
    HULD_LOG(HULD_LOG_DEBUG, "valid handle %ph opened for device path %s\n", h, path);
    uint8_t query[12] = {};
    uint8_t descriptor[HULD_DEV_DESCRIPTOR_SIZE] = {};
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, descriptor, sizeof descriptor, &got,
                         nullptr) ||
        got != sizeof descriptor) {
      HULD_LOG(HULD_LOG_DEBUG, "closing handle %ph - failed to capture storage query property\n", h);
      CloseHandle(h);
      continue;
    }
    huld_dev *d = huld_dev_enumeration_push_back(e);
    if (!d) {
      HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure");
      CloseHandle(h);
      continue;
    }
    d->iface = WINDOWS_SCSI;
    d->conn.type = CONN_SES;
    d->conn.handle = h;
    if (std::strlen(path) >= sizeof d->conn.path) {
      HULD_LOG(HULD_LOG_DEBUG, "handle %s (%ph) too long to store, skip device", path, h);
      huld_windows_close_handle(&d->conn.handle);
      huld_dev_enumeration_pop_back(e);
      continue;
    }
    std::strcpy(d->conn.path, path);
    std::memcpy(d->descriptor, descriptor, sizeof descriptor);
    HULD_LOG(HULD_LOG_DEBUG, "captured ses addr - path %s, handle %ph\n", path, h);
    SCSI_ADDRESS address = {};
    if (!DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address, &address, sizeof address, &got,
                         nullptr)) {
      HULD_LOG(HULD_LOG_DEBUG, "closing handle %ph - failed to capture scsi address\n", h);
      huld_windows_close_handle(&d->conn.handle);
      huld_dev_enumeration_pop_back(e);
      continue;
    }
    d->scsi_address = address;
    snprintf(d->name, sizeof d->name, "SCSI%u:%u,%u,%u", address.PortNumber, address.PathId, address.TargetId,
             address.Lun);
  }
  SetupDiDestroyDeviceInfoList(set);
}

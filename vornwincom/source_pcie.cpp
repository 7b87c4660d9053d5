// PCIe link information of a disk's controller.
#define HULD_MODULE "vornwincom\\source"

#include <cstdio>
#include <initializer_list>
#include <string>

#include "vornwincom/com_support.h"
#include "vornwincom/flat_call.h"
#include "vornwincom/text_field.h"
#include "vornwincom/vornwincom_pcie.h"

namespace {

using vornwincom::Bstr;
using vornwincom::ComPtr;

constexpr DWORD kPropertyBytes = 1024;
constexpr DWORD kSlowPropertyBytes = 512;
constexpr DWORD kMaxDetailBytes = 1024;

// A device-information set, destroyed when the holder goes.
class DevInfoSet {
 public:
  explicit DevInfoSet(HDEVINFO set) : set_(set) {}
  ~DevInfoSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DevInfoSet(const DevInfoSet &) = delete;
  DevInfoSet &operator=(const DevInfoSet &) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

// Entry and exit trace lines.
struct Trace {
  explicit Trace(const char *name) : name_(name) {
    if (huld_log_trace) huld_log_printf("%s - enter\n", name_);
  }
  ~Trace() {
    if (huld_log_trace) huld_log_printf("%s - exit\n", name_);
  }
  const char *name_;
};

// One PCI link property: its key and the name its failure line gives it.
struct LinkProperty {
  const DEVPROPKEY *key;
  const char *name;
  uint8_t vornwincom_pcie_link_info::*field;
};
const LinkProperty kMaxWidth = {&DEVPKEY_PciDevice_MaxLinkWidth, "DEVPKEY_PciDevice_MaxLinkWidth",
                                &vornwincom_pcie_link_info::max_link_width};
const LinkProperty kMaxSpeed = {&DEVPKEY_PciDevice_MaxLinkSpeed, "DEVPKEY_PciDevice_MaxLinkSpeed",
                                &vornwincom_pcie_link_info::max_link_speed};
const LinkProperty kCurrentWidth = {&DEVPKEY_PciDevice_CurrentLinkWidth, "DEVPKEY_PciDevice_CurrentLinkWidth",
                                    &vornwincom_pcie_link_info::current_link_width};
const LinkProperty kCurrentSpeed = {&DEVPKEY_PciDevice_CurrentLinkSpeed, "DEVPKEY_PciDevice_CurrentLinkSpeed",
                                    &vornwincom_pcie_link_info::current_link_speed};

// Reads the properties in order into `link`, each into a buffer of `bytes`; false (logged) at
// the first that cannot be read.
bool read_link(HDEVINFO set, SP_DEVINFO_DATA *data, std::initializer_list<LinkProperty> order, DWORD bytes,
               vornwincom_pcie_link_info *link) {
  for (const LinkProperty &p : order) {
    BYTE buffer[kPropertyBytes] = {};
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    if (!SetupDiGetDevicePropertyW(set, data, p.key, &type, buffer, bytes, &size, 0)) {
      HULD_LOG(HULD_LOG_DEBUG, "read %s failed (%d)\n", p.name, static_cast<int>(GetLastError()));
      return false;
    }
    link->*p.field = buffer[0];
  }
  return true;
}

// Finds the present SCSI-adapter devnode whose device id is `id` (case ignored) and calls
// visit(set, data); stops at the first visit that returns true. Returns that result.
template <class Visit>
bool with_adapter(const std::string &id, Visit visit) {
  DevInfoSet set(SetupDiGetClassDevsA(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT));
  if (!set.valid()) return false;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
    char device_id[261] = {};
    if (CM_Get_Device_IDA(data.DevInst, device_id, 260, 0) != CR_SUCCESS) continue;
    if (vornwincom::same_text(device_id, id.c_str())) return visit(set.get(), &data);
  }
  return false;
}

// A key value as it must stand between the single quotes of an object path in WQL: WMI reads a
// backslash there as an escape, so every backslash of the value is doubled (a device id such as
// \\.\PhysicalDrive0 or SCSI\DISK&... would otherwise name a different object, or none), and an
// apostrophe of the value is escaped so that it does not end the key.
std::string wql_key_text(const std::string &value) {
  std::string out;
  out.reserve(value.size() * 2);
  for (char c : value) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string wmi_query_single_property(IWbemServices *services, const std::string &query, const std::string &property) {
  Bstr language("WQL"), text(query);
  ComPtr<IEnumWbemClassObject> results;
  HRESULT hr = services->ExecQuery(language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                   nullptr, results.out());
  if (hr != S_OK || !results) return "";
  const vornwincom::OleString name = vornwincom::widen(property);
  std::string value;
  for (;;) {
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    hr = results->Next(10000, 1, object.out(), &returned);
    if (hr != S_OK || returned != 1 || !object) break;
    vornwincom::Variant v;
    if (object->Get(name.c_str(), 0, v.out(), nullptr, nullptr) != S_OK) continue;
    if (v.get().vt != VT_BSTR) continue;  // no value (VT_EMPTY, VT_NULL), or not a text
    BSTR b = v.get().bstrVal;
    value.clear();
    int n = b && SysStringLen(b) ? WideCharToMultiByte(CP_THREAD_ACP, 0, b, static_cast<int>(SysStringLen(b)),
                                                       nullptr, 0, nullptr, nullptr)
                                 : 0;
    if (n > 0) {
      value.resize(static_cast<size_t>(n));
      WideCharToMultiByte(CP_THREAD_ACP, 0, b, static_cast<int>(SysStringLen(b)), value.data(), n, nullptr, nullptr);
    }
  }
  return value;
}

int get_controller_device_id_from_huld_disk(huld_error *err, std::string *controller_id, const huld_dev *dev) {
  if (!controller_id || !dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&]() -> int {
    const char *function = "get_controller_device_id_from_huld_disk";
    if (!huld_dev_is_disk(dev))
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                            "cannot capture pcie slot information for non-disk devices");
    uint32_t number = 0;
    if (huld_dev_get_disk_number(err, &number, dev)) return 1;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == S_FALSE) CoUninitialize();  // already in the apartment: keep no second reference
    if (hr != S_OK && hr != S_FALSE && hr != RPC_E_CHANGED_MODE)
      return huld_error_set(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), HULD_MODULE, function, __LINE__,
                            "failed to initialize COM library (%d)", static_cast<int>(hr));
    ComPtr<IWbemLocator> locator;
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.out_void());
    if (hr != S_OK || !locator)
      return huld_error_set(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), HULD_MODULE, function, __LINE__,
                            "failed to create wbem locator (%d)", static_cast<int>(hr));
    ComPtr<IWbemServices> services;
    hr = locator->ConnectServer(Bstr("\\\\.\\root\\cimv2").get(), nullptr, nullptr, nullptr,
                                WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr, services.out());
    if (hr != S_OK || !services)
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__, "failed to connect wbem server");
    hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (hr != S_OK)
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__, "failed to set proxy blanket");

    const std::string disk_id = "\\\\.\\PhysicalDrive" + std::to_string(number);
    const std::string entity = wmi_query_single_property(
        services.get(),
        "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='" + wql_key_text(disk_id) + "'} WHERE ResultClass=Win32_PnPEntity",
        "DeviceID");
    const std::string controller =
        wmi_query_single_property(services.get(),
                                  "ASSOCIATORS OF {Win32_PnPEntity.DeviceID='" + wql_key_text(entity) +
                                      "'} WHERE AssocClass=Win32_SCSIControllerDevice",
                                  "DeviceID");
    *controller_id = controller;
    return huld_error_clear(err);
  });
}

int vornwincom_get_pcie_hardware_ids(huld_error *err, uint32_t *vendor_id, uint32_t *device_id, const huld_dev *dev) {
  if (!vendor_id || !device_id || !dev)
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&]() -> int {
    std::string id;
    if (get_controller_device_id_from_huld_disk(err, &id, dev)) return 1;
    bool found = with_adapter(id, [&](HDEVINFO set, SP_DEVINFO_DATA *data) {
      WCHAR ids[kPropertyBytes / sizeof(WCHAR) + 1] = {};
      DEVPROPTYPE type = 0;
      DWORD size = 0;
      if (!SetupDiGetDevicePropertyW(set, data, &DEVPKEY_Device_HardwareIds, &type, reinterpret_cast<BYTE *>(ids),
                                     kPropertyBytes, &size, 0))
        return false;
      const std::string first = vornwincom::narrow(ids);
      unsigned vendor = 0, device = 0;
      if (std::sscanf(first.c_str(), "PCI\\VEN_%x&DEV_%x", &vendor, &device) != 2) return false;
      *vendor_id = vendor;
      *device_id = device;
      return true;
    });
    if (!found)
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, "vornwincom_get_pcie_hardware_ids", __LINE__,
                            "failed to find hardware ids for device");
    return huld_error_clear(err);
  });
}

int vornwincom_get_pcie_slot_information_fast(huld_error *err, vornwincom_pcie_link_info *link, const huld_dev *dev) {
  Trace trace(__func__);
  if (!link || !dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&]() -> int {
    std::string id;
    if (get_controller_device_id_from_huld_disk(err, &id, dev)) return 1;
    bool found = with_adapter(id, [&](HDEVINFO set, SP_DEVINFO_DATA *data) {
      return read_link(set, data, {kMaxWidth, kMaxSpeed, kCurrentWidth, kCurrentSpeed}, kPropertyBytes, link);
    });
    if (!found)
      return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, "vornwincom_get_pcie_slot_information_fast",
                            __LINE__, "failed to find link information for device");
    return huld_error_clear(err);
  });
}

int vornwincom_get_pcie_slot_information(huld_error *err, vornwincom_pcie_link_info *link, const huld_dev *dev) {
  Trace trace(__func__);
  if (!link || !dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  DevInfoSet set(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.valid())
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, GetLastError(), "SetupDiGetClassDevs(GUID_DEVINTERFACE_DISK) failed");
  SP_DEVINFO_DATA parent{};
  parent.cbSize = sizeof parent;
  bool found = false;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; !found && SetupDiEnumDeviceInterfaces(set.get(), nullptr, &GUID_DEVINTERFACE_DISK, i, &iface); ++i) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, nullptr, 0, &needed, nullptr);
    if (needed == 0 || needed > kMaxDetailBytes) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface size - interface %u - skip\n", (unsigned)i);
      continue;
    }
    alignas(8) BYTE detail_bytes[kMaxDetailBytes] = {};
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(detail_bytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, detail, needed, nullptr, &device)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device interface detail - interface %u - skip\n", (unsigned)i);
      continue;
    }
    HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      HULD_LOG(HULD_LOG_DEBUG, "invalid handle opened for device path %s\n", detail->DevicePath);
      continue;
    }
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    BOOL numbered = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                                    nullptr);
    if (!numbered) HULD_LOG(HULD_LOG_DEBUG, "closing handle %ph - failed to capture storage number\n", (void *)h);
    CloseHandle(h);
    if (!numbered) continue;
    if (number.DeviceNumber != dev->disk_number) {
      HULD_LOG(HULD_LOG_DEBUG, "%u is not the right device number\n", (unsigned)number.DeviceNumber);
      continue;
    }
    BYTE instance_id[kSlowPropertyBytes] = {};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set.get(), &device, &DEVPKEY_Device_InstanceId, &type, instance_id,
                                   kSlowPropertyBytes, nullptr, 0)) {
      HULD_LOG(HULD_LOG_DEBUG, "DEVPKEY_Device_InstanceId failed: %u\n", (unsigned)GetLastError());
      continue;
    }
    DEVINST parent_node = 0;
    if (CM_Get_Parent(&parent_node, device.DevInst, 0) != CR_SUCCESS) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device node parent - interface %u - skip\n", (unsigned)i);
      continue;
    }
    char parent_id[201] = {};
    if (CM_Get_Device_IDA(parent_node, parent_id, 200, 0) != CR_SUCCESS) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture parent id - interface %u - skip\n", (unsigned)i);
      continue;
    }
    if (!SetupDiOpenDeviceInfoA(set.get(), parent_id, nullptr, 0, &parent)) {
      HULD_LOG(HULD_LOG_DEBUG, "failed to capture device info for parent id - interface %u - skip\n", (unsigned)i);
      continue;
    }
    found = true;
  }
  if (found &&
      read_link(set.get(), &parent, {kCurrentSpeed, kCurrentWidth, kMaxSpeed, kMaxWidth}, kSlowPropertyBytes, link))
    return huld_error_clear(err);
  return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "failed to find link information for device");
}

// SetupAPI and configuration manager over the simulated device tree: device-information sets in
// creation order, interfaces, detail, properties, driver keys, devnode status, parent and id.
#include <algorithm>
#include <cstring>

#include "platform/sim/devtree_internal.h"
#include "sim/com.h"
#include "sim/faults.h"

namespace sim {
namespace devtree {
namespace {

struct InfoSet {
  std::vector<int> nodes;
};

struct Sets {
  std::mutex lock;
  std::map<uintptr_t, InfoSet> sets;
  uintptr_t next = 0x5E700000;
  size_t bad_destroys = 0;
};

Sets &sets() {
  static Sets *s = new Sets;
  return *s;
}

// A fired rule of the fault set: the plain failure's error, and the custom actions.
struct Fired {
  std::optional<DWORD> error;
  std::vector<FaultAction> custom;
  const FaultAction *action(const std::string &name) const {
    for (const FaultAction &a : custom)
      if (a.name == name) return &a;
    return nullptr;
  }
};

Fired ask(const char *api, const char *function, const std::string &instance_id, const std::string &guid,
          const std::string &property = std::string()) {
  FaultQuery q;
  q.op = FaultOp::other;
  q.keys["api"] = api;
  q.keys["function"] = function;
  if (!instance_id.empty()) q.keys["instance_id"] = instance_id;
  if (!guid.empty()) q.keys["guid"] = guid;
  if (!property.empty()) q.keys["property"] = property;
  Fired out;
  for (FiredFault &f : check_faults(q)) {
    if (f.action.kind == FaultAction::fail) {
      if (!out.error) out.error = f.action.error;
    } else {
      out.custom.push_back(std::move(f.action));
    }
  }
  return out;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HDEVINFO fail_set(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HDEVINFO new_set(InfoSet set) {
  Sets &s = sets();
  std::lock_guard<std::mutex> g(s.lock);
  const uintptr_t h = s.next;
  s.next += 0x10;
  s.sets[h] = std::move(set);
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HDEVINFO>(h);
}

// Copy of a set's members; false for an unknown set.
bool set_members(HDEVINFO h, std::vector<int> *out) {
  Sets &s = sets();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.sets.find(reinterpret_cast<uintptr_t>(h));
  if (it == s.sets.end()) return false;
  *out = it->second.nodes;
  return true;
}

int node_of(const std::vector<int> &members, const SP_DEVINFO_DATA *data) {
  const int node = static_cast<int>(data->Reserved) - 1;
  return std::find(members.begin(), members.end(), node) == members.end() ? -1 : node;
}

void fill_info(SP_DEVINFO_DATA *data, const Node &n, int index) {
  data->ClassGuid = n.class_guid;
  data->DevInst = static_cast<DWORD>(index + 1);
  data->Reserved = static_cast<ULONG_PTR>(index + 1);
}

// The members of a set and the node its SP_DEVINFO_DATA names, checked; 0 or the error.
DWORD resolve(HDEVINFO set, const SP_DEVINFO_DATA *data, int *node) {
  std::vector<int> members;
  if (!set_members(set, &members)) return ERROR_INVALID_HANDLE;
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  *node = node_of(members, data);
  return *node < 0 ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

HDEVINFO class_devs(const GUID *guid, const char *enumerator, DWORD flags, const char *function) {
  const Fired f = ask("setupapi", function, "", guid ? guid_text(*guid) : std::string());
  if (f.error) return fail_set(*f.error);
  const bool all = (flags & DIGCF_ALLCLASSES) != 0;
  const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  const bool present = (flags & DIGCF_PRESENT) != 0;
  if (guid == nullptr && !all) return fail_set(ERROR_INVALID_PARAMETER);
  const std::string prefix = enumerator && *enumerator && !interfaces ? lower(enumerator) + "\\" : std::string();
  InfoSet set;
  Tree &t = tree();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (size_t i = 0; i < t.nodes.size(); ++i) {
      const Node &n = t.nodes[i];
      if (present && !n.present) continue;
      if (!prefix.empty() && lower(n.instance_id).rfind(prefix, 0) != 0) continue;
      if (interfaces) {
        bool listed = false;
        for (const Interface &itf : n.interfaces) listed = listed || (itf.enabled && (all || same_guid(itf.guid, *guid)));
        if (!listed || !n.present) continue;
      } else if (!all && (n.parent < 0 || !same_guid(n.class_guid, *guid))) {
        continue;
      }
      set.nodes.push_back(static_cast<int>(i));
    }
  }
  return new_set(std::move(set));
}

}  // namespace

}  // namespace devtree

size_t device_info_set_count() {
  devtree::Sets &s = devtree::sets();
  std::lock_guard<std::mutex> g(s.lock);
  return s.sets.size();
}

size_t device_info_bad_destroy_count() {
  devtree::Sets &s = devtree::sets();
  std::lock_guard<std::mutex> g(s.lock);
  return s.bad_destroys;
}

}  // namespace sim

using namespace sim::devtree;

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  return class_devs(ClassGuid, Enumerator, Flags, "SetupDiGetClassDevsA");
}

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
  std::string narrow;
  for (const WCHAR *p = Enumerator; p && *p; ++p) narrow += static_cast<char>(*p);
  return class_devs(ClassGuid, Enumerator ? narrow.c_str() : nullptr, Flags, "SetupDiGetClassDevsW");
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND) {
  const Fired f = ask("setupapi", "SetupDiCreateDeviceInfoList", "", ClassGuid ? sim::guid_text(*ClassGuid) : "");
  if (f.error) return fail_set(*f.error);
  return new_set(InfoSet{});
}

BOOL SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND, DWORD,
                            PSP_DEVINFO_DATA DeviceInfoData) {
  std::vector<int> members;
  if (!set_members(DeviceInfoSet, &members)) return fail(ERROR_INVALID_HANDLE);
  if (DeviceInstanceId == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_USER_BUFFER);
  const Fired f = ask("setupapi", "SetupDiOpenDeviceInfoA", DeviceInstanceId, "");
  if (f.error) return fail(*f.error);
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  int found = -1;
  for (size_t i = 0; i < t.nodes.size() && found < 0; ++i)
    if (lower(t.nodes[i].instance_id) == lower(DeviceInstanceId)) found = static_cast<int>(i);
  if (found < 0) return fail(ERROR_NO_SUCH_DEVINST);
  {
    Sets &s = sets();
    std::lock_guard<std::mutex> sg(s.lock);
    auto it = s.sets.find(reinterpret_cast<uintptr_t>(DeviceInfoSet));
    if (it == s.sets.end()) return fail(ERROR_INVALID_HANDLE);
    std::vector<int> &nodes = it->second.nodes;
    if (std::find(nodes.begin(), nodes.end(), found) == nodes.end()) nodes.push_back(found);
  }
  if (DeviceInfoData != nullptr) fill_info(DeviceInfoData, t.nodes[static_cast<size_t>(found)], found);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  std::vector<int> members;
  if (!set_members(DeviceInfoSet, &members)) return fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= members.size()) return fail(ERROR_NO_MORE_ITEMS);
  const int node = members[MemberIndex];
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const Node &n = t.nodes[static_cast<size_t>(node)];
  const Fired f = ask("setupapi", "SetupDiEnumDeviceInfo", n.instance_id, "");
  if (f.error) return fail(*f.error);
  fill_info(DeviceInfoData, n, node);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  std::vector<int> members;
  if (!set_members(DeviceInfoSet, &members)) return fail(ERROR_INVALID_HANDLE);
  if (InterfaceClassGuid == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return fail(ERROR_INVALID_USER_BUFFER);
  if (DeviceInfoData != nullptr) {
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    const int node = node_of(members, DeviceInfoData);
    if (node < 0) return fail(ERROR_INVALID_PARAMETER);
    members.assign(1, node);
  }
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  DWORD seen = 0;
  for (int node : members) {
    const Node &n = t.nodes[static_cast<size_t>(node)];
    if (!n.present) continue;
    for (size_t k = 0; k < n.interfaces.size(); ++k) {
      const Interface &itf = n.interfaces[k];
      if (!itf.enabled || !same_guid(itf.guid, *InterfaceClassGuid)) continue;
      if (seen++ != MemberIndex) continue;
      const Fired f = ask("setupapi", "SetupDiEnumDeviceInterfaces", n.instance_id, sim::guid_text(itf.guid));
      if (f.error) return fail(*f.error);
      DeviceInterfaceData->InterfaceClassGuid = itf.guid;
      DeviceInterfaceData->Flags = SPINT_ACTIVE;
      DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(node + 1) << 16 | k;
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
  }
  return fail(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  std::vector<int> members;
  if (!set_members(DeviceInfoSet, &members)) return fail(ERROR_INVALID_HANDLE);
  if (DeviceInterfaceData == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  const int node = static_cast<int>(DeviceInterfaceData->Reserved >> 16) - 1;
  const size_t k = DeviceInterfaceData->Reserved & 0xFFFF;
  if (std::find(members.begin(), members.end(), node) == members.end()) return fail(ERROR_INVALID_PARAMETER);
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const Node &n = t.nodes[static_cast<size_t>(node)];
  if (k >= n.interfaces.size()) return fail(ERROR_INVALID_PARAMETER);
  const std::string &path = n.interfaces[k].path;
  const Fired f = ask("setupapi", "SetupDiGetDeviceInterfaceDetailA", n.instance_id, sim::guid_text(n.interfaces[k].guid));
  if (f.error) return fail(*f.error);
  const DWORD need = static_cast<DWORD>(std::max(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A),
                                                 offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1));
  const sim::FaultAction *forced = f.action("required_size");
  const DWORD report = forced ? static_cast<DWORD>(forced->value) : need;
  if (DeviceInterfaceDetailData == nullptr) {
    if (DeviceInterfaceDetailDataSize != 0) return fail(ERROR_INVALID_USER_BUFFER);
    if (RequiredSize != nullptr) *RequiredSize = report;
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    return fail(ERROR_INVALID_USER_BUFFER);
  if (DeviceInterfaceDetailDataSize < need) {
    if (RequiredSize != nullptr) *RequiredSize = report;
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = need;
  if (DeviceInfoData != nullptr) fill_info(DeviceInfoData, n, node);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const DEVPROPKEY *PropertyKey,
                               DEVPROPTYPE *PropertyType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                               PDWORD RequiredSize, DWORD Flags) {
  int node = -1;
  if (DWORD e = resolve(DeviceInfoSet, DeviceInfoData, &node)) return fail(e);
  if (PropertyKey == nullptr || PropertyType == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (Flags != 0) return fail(ERROR_INVALID_FLAGS);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return fail(ERROR_INVALID_USER_BUFFER);
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const Node &n = t.nodes[static_cast<size_t>(node)];
  const std::optional<Property> p = node_property(t, n, *PropertyKey);
  const Fired f = ask("setupapi", "SetupDiGetDevicePropertyW", n.instance_id, "", property_name(*PropertyKey));
  *PropertyType = p ? p->type : DEVPROP_TYPE_EMPTY;
  const DWORD size = p ? static_cast<DWORD>(p->data.size()) : 0;
  if (f.error) {
    if (*f.error == ERROR_INSUFFICIENT_BUFFER && RequiredSize != nullptr)
      *RequiredSize = std::max(size, PropertyBufferSize + 2);
    return fail(*f.error);
  }
  if (!p) {
    if (RequiredSize != nullptr) *RequiredSize = 0;
    return fail(ERROR_NOT_FOUND);
  }
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (size > PropertyBufferSize) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (size) std::memcpy(PropertyBuffer, p->data.data(), size);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
  int node = -1;
  if (DWORD e = resolve(DeviceInfoSet, DeviceInfoData, &node)) return fail(e);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return fail(ERROR_INVALID_USER_BUFFER);
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const Node &n = t.nodes[static_cast<size_t>(node)];
  const Fired f = ask("setupapi", "SetupDiGetDeviceRegistryPropertyA", n.instance_id, "");
  if (f.error) return fail(*f.error);
  std::vector<uint8_t> data;
  DWORD type = REG_DWORD;
  if (Property == SPDRP_CAPABILITIES) {
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(n.capabilities >> (8 * i)));
  } else if (Property == SPDRP_CLASS && n.parent >= 0) {
    type = REG_SZ;
    data.assign(n.class_name.begin(), n.class_name.end());
    data.push_back(0);
  } else {
    return fail(ERROR_INVALID_DATA);
  }
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = type;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(data.size());
  if (data.size() > PropertyBufferSize) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(PropertyBuffer, data.data(), data.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                          DWORD KeyType, REGSAM) {
  const HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  int node = -1;
  if (DWORD e = resolve(DeviceInfoSet, DeviceInfoData, &node)) return fail(e), invalid;
  if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) || (KeyType != DIREG_DRV && KeyType != DIREG_DEV))
    return fail(ERROR_INVALID_FLAGS), invalid;
  std::string key;
  {
    Tree &t = tree();
    std::lock_guard<std::mutex> g(t.lock);
    const Node &n = t.nodes[static_cast<size_t>(node)];
    const Fired f = ask("setupapi", "SetupDiOpenDevRegKey", n.instance_id, "");
    if (f.error) return fail(*f.error), invalid;
    if (KeyType == DIREG_DRV && n.has_driver) key = n.driver_key;
  }
  HKEY h = key.empty() ? nullptr : sim::registry_open_path(key);
  if (h == nullptr) return fail(ERROR_KEY_DOES_NOT_EXIST), invalid;
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  Sets &s = sets();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.sets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)) == 0) {
    ++s.bad_destroys;
    return fail(ERROR_INVALID_HANDLE);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- Configuration manager ----------------------------------------------------------------------------

namespace {

// The node a DEVINST names (lock held); -1 when none.
int devinst_node(const Tree &t, DEVINST dn) {
  return dn >= 1 && dn <= t.nodes.size() ? static_cast<int>(dn - 1) : -1;
}

}  // namespace

CONFIGRET CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_PHANTOM)) return CR_INVALID_FLAG;
  const std::string id = pDeviceID ? pDeviceID : "";
  const Fired f = ask("cfgmgr", "CM_Locate_DevNodeA", id, "");
  if (f.error) return *f.error;
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  int found = id.empty() ? 0 : -1;
  for (size_t i = 0; i < t.nodes.size() && found < 0; ++i)
    if (lower(t.nodes[i].instance_id) == lower(id)) found = static_cast<int>(i);
  if (found < 0) return CR_NO_SUCH_DEVNODE;
  if (!t.nodes[static_cast<size_t>(found)].present && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = static_cast<DEVINST>(found + 1);
  return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG) {
  if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
  *pulStatus = 0;
  *pulProblemNumber = 0;
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const int i = devinst_node(t, dnDevInst);
  if (i < 0) return CR_INVALID_DEVNODE;
  const Node &n = t.nodes[static_cast<size_t>(i)];
  const Fired f = ask("cfgmgr", "CM_Get_DevNode_Status", n.instance_id, "");
  if (f.error) return *f.error;
  if (!n.present) return CR_NO_SUCH_DEVINST;
  *pulStatus = n.status;
  *pulProblemNumber = n.problem;
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG) {
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const int i = devinst_node(t, dnDevInst);
  if (i < 0) return CR_INVALID_DEVNODE;
  const Node &n = t.nodes[static_cast<size_t>(i)];
  const Fired f = ask("cfgmgr", "CM_Get_Parent", n.instance_id, "");
  if (f.error) return *f.error;
  if (n.parent < 0) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = static_cast<DEVINST>(n.parent + 1);
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG) {
  if (Buffer == nullptr) return CR_INVALID_POINTER;
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const int i = devinst_node(t, dnDevInst);
  if (i < 0) return CR_INVALID_DEVNODE;
  const Node &n = t.nodes[static_cast<size_t>(i)];
  const Fired f = ask("cfgmgr", "CM_Get_Device_IDA", n.instance_id, "");
  if (f.error) return *f.error;
  if (n.instance_id.size() + 1 > BufferLen) return CR_BUFFER_SMALL;
  std::memcpy(Buffer, n.instance_id.c_str(), n.instance_id.size() + 1);
  return CR_SUCCESS;
}

// The device tree: devnodes from the "devices" section of the machine description (and those other
// parts of the machine add), their derived properties, driver keys and interface paths.
#include "sim/devtree.h"
#include "sim/description.h"
#include "sim/com.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/sim/devtree_internal.h"

namespace sim {
namespace devtree {

void reset_locked(Tree &t);

Tree &tree() {
  static Tree *t = [] {
    auto *fresh = new Tree;
    reset_locked(*fresh);
    return fresh;
  }();
  return *t;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool same_guid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

int find_locked(const Tree &t, const std::string &ref) {
  const std::string want = lower(ref);
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if ((!t.nodes[i].id.empty() && lower(t.nodes[i].id) == want) || lower(t.nodes[i].instance_id) == want)
      return static_cast<int>(i);
  return -1;
}

namespace {

using json = nlohmann::json;

constexpr const char *kRoot = "HTREE\\ROOT\\0";

struct KnownClass {
  const char *name;
  GUID guid;
};
const KnownClass kClasses[] = {
    {"System", GUID_DEVCLASS_SYSTEM},      {"hdc", GUID_DEVCLASS_HDC},
    {"SCSIAdapter", GUID_DEVCLASS_SCSIADAPTER}, {"DiskDrive", GUID_DEVCLASS_DISKDRIVE},
    {"USB", GUID_DEVCLASS_USB},            {"HIDClass", GUID_DEVCLASS_HIDCLASS},
    {"Camera", GUID_DEVCLASS_CAMERA},
};

struct KnownInterface {
  const char *name;
  GUID guid;
};
const KnownInterface kInterfaces[] = {
    {"disk", GUID_DEVINTERFACE_DISK},
    {"storage_port", GUID_DEVINTERFACE_STORAGEPORT},
    {"ses", GUID_DEVINTERFACE_SES},
    {"usb_hub", GUID_DEVINTERFACE_USB_HUB},
};

struct KnownKey {
  const char *name;
  DEVPROPKEY key;
  DEVPROPTYPE type;
};
const KnownKey kKeys[] = {
    {"InstanceId", DEVPKEY_Device_InstanceId, DEVPROP_TYPE_STRING},
    {"Parent", DEVPKEY_Device_Parent, DEVPROP_TYPE_STRING},
    {"PDOName", DEVPKEY_Device_PDOName, DEVPROP_TYPE_STRING},
    {"DriverDesc", DEVPKEY_Device_DriverDesc, DEVPROP_TYPE_STRING},
    {"Class", DEVPKEY_Device_Class, DEVPROP_TYPE_STRING},
    {"BusNumber", DEVPKEY_Device_BusNumber, DEVPROP_TYPE_UINT32},
    {"PowerRelations", DEVPKEY_Device_PowerRelations, DEVPROP_TYPE_STRING_LIST},
    {"RemovalPolicy", DEVPKEY_Device_RemovalPolicy, DEVPROP_TYPE_UINT32},
    {"HardwareIds", DEVPKEY_Device_HardwareIds, DEVPROP_TYPE_STRING_LIST},
    {"DeviceDesc", DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING},
    {"FriendlyName", DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING},
    {"CurrentLinkSpeed", DEVPKEY_PciDevice_CurrentLinkSpeed, DEVPROP_TYPE_UINT32},
    {"CurrentLinkWidth", DEVPKEY_PciDevice_CurrentLinkWidth, DEVPROP_TYPE_UINT32},
    {"MaxLinkSpeed", DEVPKEY_PciDevice_MaxLinkSpeed, DEVPROP_TYPE_UINT32},
    {"MaxLinkWidth", DEVPKEY_PciDevice_MaxLinkWidth, DEVPROP_TYPE_UINT32},
};

bool same_key(const DEVPROPKEY &a, const DEVPROPKEY &b) { return a.pid == b.pid && same_guid(a.fmtid, b.fmtid); }

using desc::bad;
using desc::check_fields;
using desc::flag;
using desc::number;
using desc::text;

void put_utf16(std::vector<uint8_t> &out, const std::string &s) {
  for (unsigned char c : s) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
}

Property string_property(const KnownKey &k, const std::string &s) {
  Property p{k.key, k.name, DEVPROP_TYPE_STRING, {}};
  put_utf16(p.data, s);
  return p;
}

std::vector<uint8_t> encode_value(DEVPROPTYPE type, const json &v, const std::string &where) {
  std::vector<uint8_t> out;
  switch (type) {
    case DEVPROP_TYPE_STRING:
      put_utf16(out, text(v, where));
      break;
    case DEVPROP_TYPE_STRING_LIST:
      if (!v.is_array()) bad(where, "expected an array of strings");
      for (size_t i = 0; i < v.size(); ++i) put_utf16(out, text(v[i], where + "[" + std::to_string(i) + "]"));
      out.push_back(0);
      out.push_back(0);
      break;
    case DEVPROP_TYPE_UINT32: {
      const uint64_t n = number(v, where, 0xFFFFFFFF);
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
      break;
    }
    case DEVPROP_TYPE_UINT64: {
      const uint64_t n = number(v, where, UINT64_MAX);
      for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
      break;
    }
    case DEVPROP_TYPE_BOOLEAN:
      out.push_back(flag(v, where) ? 0xFF : 0x00);
      break;
    case DEVPROP_TYPE_GUID: {
      auto g = parse_guid(text(v, where));
      if (!g) bad(where, "expected a GUID \"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\"");
      out.resize(sizeof(GUID));
      std::memcpy(out.data(), &*g, sizeof(GUID));
      break;
    }
    default: {  // BINARY: hexadecimal bytes
      const std::string s = text(v, where);
      RegValue r = parse_registry_value(json{{"name", "x"}, {"type", "REG_BINARY"}, {"data", s}}, where);
      out = r.data;
    }
  }
  return out;
}

DEVPROPTYPE type_by_name(const std::string &s, const std::string &where) {
  static const std::pair<const char *, DEVPROPTYPE> names[] = {
      {"STRING", DEVPROP_TYPE_STRING}, {"STRING_LIST", DEVPROP_TYPE_STRING_LIST}, {"UINT32", DEVPROP_TYPE_UINT32},
      {"UINT64", DEVPROP_TYPE_UINT64}, {"BOOLEAN", DEVPROP_TYPE_BOOLEAN},         {"GUID", DEVPROP_TYPE_GUID},
      {"BINARY", DEVPROP_TYPE_BINARY}};
  for (const auto &[n, t] : names)
    if (s == n) return t;
  bad(where, "unknown property type \"" + s + "\"");
}

void load_property(Node &n, const std::string &name, const json &v, const std::string &where) {
  const KnownKey *known = nullptr;
  for (const KnownKey &k : kKeys)
    if (name == k.name) known = &k;
  if (v.is_null()) {
    if (!known) bad(where, "unknown property key \"" + name + "\"");
    n.removed.push_back(name);
    return;
  }
  Property p;
  p.name = name;
  const json *value = &v;
  uint64_t size = 0;
  if (v.is_object()) {
    check_fields(v, where, {"fmtid", "pid", "type", "value", "size"});
    if (v.contains("fmtid") != v.contains("pid")) bad(where, "\"fmtid\" and \"pid\" go together");
    if (v.contains("fmtid")) {
      auto g = parse_guid(text(v["fmtid"], where + ".fmtid"));
      if (!g) bad(where + ".fmtid", "expected a GUID");
      p.key.fmtid = *g;
      p.key.pid = static_cast<DEVPROPID>(number(v["pid"], where + ".pid", 0xFFFFFFFF));
    } else if (known) {
      p.key = known->key;
    } else {
      bad(where, "unknown property key \"" + name + "\" (give \"fmtid\" and \"pid\")");
    }
    if (v.contains("type")) p.type = type_by_name(text(v["type"], where + ".type"), where + ".type");
    else if (known) p.type = known->type;
    else bad(where, "missing \"type\"");
    if (!v.contains("value")) bad(where, "missing \"value\"");
    value = &v["value"];
    if (v.contains("size")) size = number(v["size"], where + ".size", 0x100000);
  } else {
    if (!known) bad(where, "unknown property key \"" + name + "\" (give \"fmtid\" and \"pid\")");
    p.key = known->key;
    p.type = known->type;
  }
  p.data = encode_value(p.type, *value, where + (v.is_object() ? ".value" : ""));
  if (p.data.size() < size) p.data.resize(size, 0);
  n.properties.push_back(std::move(p));
}

std::string class_key_path(Tree &t, const GUID &cls) {
  const std::string g = guid_text(cls);
  char num[16];
  std::snprintf(num, sizeof num, "%04d", t.classes[g]++);
  return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + g + "\\" + num;
}

void set_driver(Tree &t, Node &n, const std::vector<RegValue> &values) {
  n.has_driver = true;
  n.driver_key = class_key_path(t, n.class_guid);
  registry_add_key(n.driver_key);
  for (const RegValue &v : values) {
    registry_set_value(n.driver_key, v);
    if (lower(v.name) == "driverdesc" && (v.type == REG_SZ || v.type == REG_EXPAND_SZ)) {
      n.has_driver_desc = true;
      n.driver_desc.assign(v.data.begin(), std::find(v.data.begin(), v.data.end(), 0));
    }
  }
}

RegValue load_driver_value(const json &j, const std::string &where) {
  if (!j.is_object()) bad(where, "expected an object");
  json copy = j;
  uint64_t size = 0;
  if (copy.contains("size")) {
    size = number(copy["size"], where + ".size", 0x100000);
    copy.erase("size");
  }
  RegValue v = parse_registry_value(copy, where);
  if (size > v.data.size()) {
    const bool string = v.type == REG_SZ || v.type == REG_EXPAND_SZ;
    const bool nul = string && !v.data.empty() && v.data.back() == 0;
    std::vector<uint8_t> unit(v.data.begin(), v.data.end() - (nul ? 1 : 0));
    if (unit.empty()) unit.push_back(string ? 'x' : 0);
    std::vector<uint8_t> out;
    const size_t body = size - (nul ? 1 : 0);
    while (out.size() < body) out.push_back(unit[out.size() % unit.size()]);
    if (nul) out.push_back(0);
    v.data = std::move(out);
  }
  return v;
}

// Checks that the node's instance id, PDO and interface paths are not used yet (lock held).
void check_unique(const Tree &t, const Node &n, const std::string &where) {
  if (find_locked(t, n.instance_id) >= 0) bad(where + ".instance_id", "duplicate instance id \"" + n.instance_id + "\"");
  if (!n.id.empty() && find_locked(t, n.id) >= 0) bad(where + ".id", "duplicate id \"" + n.id + "\"");
  for (const Node &o : t.nodes) {
    if (!n.pdo.empty() && lower(o.pdo) == lower(n.pdo)) bad(where + ".pdo", "duplicate PDO \"" + n.pdo + "\"");
    for (size_t i = 0; i < n.interfaces.size(); ++i)
      for (const Interface &oi : o.interfaces)
        if (lower(oi.path) == lower(n.interfaces[i].path))
          bad(where + ".interfaces[" + std::to_string(i) + "].path", "duplicate path \"" + n.interfaces[i].path + "\"");
  }
  for (size_t i = 0; i < n.interfaces.size(); ++i)
    for (size_t k = 0; k < i; ++k)
      if (lower(n.interfaces[k].path) == lower(n.interfaces[i].path))
        bad(where + ".interfaces[" + std::to_string(i) + "].path", "duplicate path \"" + n.interfaces[i].path + "\"");
}

uint32_t default_status(uint32_t problem) {
  const uint32_t base = DN_DRIVER_LOADED | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  return base | (problem ? DN_HAS_PROBLEM : DN_STARTED);
}

bool class_guid_of(const std::string &name, GUID *out) {
  for (const KnownClass &c : kClasses) {
    if (name == c.name) {
      *out = c.guid;
      return true;
    }
  }
  return false;
}

Node load_node(Tree &t, const json &j, const std::string &w) {
  check_fields(j, w, {"id", "instance_id", "class", "class_guid", "parent", "present", "status", "problem",
                      "capabilities", "pdo", "properties", "driver", "interfaces", "hub"});
  Node n;
  if (j.contains("id")) {
    n.id = text(j["id"], w + ".id");
    if (n.id.empty()) bad(w + ".id", "empty id");
  }
  if (!j.contains("instance_id")) bad(w, "missing \"instance_id\"");
  n.instance_id = text(j["instance_id"], w + ".instance_id");
  if (n.instance_id.empty()) bad(w + ".instance_id", "empty instance id");
  if (!j.contains("class")) bad(w, "missing \"class\"");
  n.class_name = text(j["class"], w + ".class");
  if (j.contains("class_guid")) {
    auto g = parse_guid(text(j["class_guid"], w + ".class_guid"));
    if (!g) bad(w + ".class_guid", "expected a GUID \"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\"");
    n.class_guid = *g;
  } else if (!class_guid_of(n.class_name, &n.class_guid)) {
    bad(w + ".class", "unknown class \"" + n.class_name + "\" (give \"class_guid\")");
  }
  n.parent = 0;
  if (j.contains("parent")) {
    const std::string p = text(j["parent"], w + ".parent");
    n.parent = find_locked(t, p);
    if (n.parent < 0) bad(w + ".parent", "no earlier node \"" + p + "\"");
  }
  if (j.contains("present")) n.present = flag(j["present"], w + ".present");
  if (j.contains("problem")) n.problem = static_cast<uint32_t>(number(j["problem"], w + ".problem", 0xFFFFFFFF));
  n.status = j.contains("status") ? static_cast<uint32_t>(number(j["status"], w + ".status", 0xFFFFFFFF))
                                  : default_status(n.problem);
  if (j.contains("capabilities"))
    n.capabilities = static_cast<uint32_t>(number(j["capabilities"], w + ".capabilities", 0xFFFFFFFF));
  if (j.contains("pdo")) {
    n.pdo = text(j["pdo"], w + ".pdo");
    if (lower(n.pdo).rfind("\\device\\", 0) != 0) bad(w + ".pdo", "expected \"\\Device\\...\"");
  }
  if (j.contains("properties")) {
    const json &props = j["properties"];
    if (!props.is_object()) bad(w + ".properties", "expected an object");
    for (auto it = props.begin(); it != props.end(); ++it)
      load_property(n, it.key(), it.value(), w + ".properties." + it.key());
  }
  if (j.contains("interfaces")) {
    const json &arr = j["interfaces"];
    if (!arr.is_array()) bad(w + ".interfaces", "expected an array");
    for (size_t i = 0; i < arr.size(); ++i) {
      const std::string iw = w + ".interfaces[" + std::to_string(i) + "]";
      check_fields(arr[i], iw, {"class", "path", "enabled"});
      if (!arr[i].contains("class")) bad(iw, "missing \"class\"");
      const std::string c = text(arr[i]["class"], iw + ".class");
      Interface itf;
      bool found = false;
      for (const KnownInterface &k : kInterfaces) {
        if (c == k.name) {
          itf.guid = k.guid;
          found = true;
        }
      }
      if (!found) {
        auto g = parse_guid(c);
        if (!g) bad(iw + ".class", "expected \"disk\", \"storage_port\", \"ses\", \"usb_hub\" or a GUID, not \"" + c + "\"");
        itf.guid = *g;
      }
      itf.path = arr[i].contains("path") ? text(arr[i]["path"], iw + ".path") : interface_path_for(n.instance_id, itf.guid);
      if (itf.path.empty()) bad(iw + ".path", "empty path");
      if (arr[i].contains("enabled")) itf.enabled = flag(arr[i]["enabled"], iw + ".enabled");
      n.interfaces.push_back(std::move(itf));
    }
  }
  check_unique(t, n, w);
  return n;
}

void load_hub(Tree &t, int index, const json &j, const std::string &w, std::vector<int> &hub_of_node) {
  check_fields(j, w, {"type", "ports", "connections"});
  auto hub = std::make_shared<UsbHub>();
  if (j.contains("type")) hub->type = static_cast<uint32_t>(number(j["type"], w + ".type", 3));
  if (!j.contains("ports")) bad(w, "missing \"ports\"");
  hub->ports = static_cast<uint32_t>(number(j["ports"], w + ".ports", 255));
  hub->port.resize(hub->ports + 1);
  if (j.contains("connections")) {
    const json &arr = j["connections"];
    if (!arr.is_array()) bad(w + ".connections", "expected an array");
    for (size_t i = 0; i < arr.size(); ++i) {
      const json &c = arr[i];
      const std::string cw = w + ".connections[" + std::to_string(i) + "]";
      check_fields(c, cw, {"port", "node", "vid", "pid", "serial", "serial_index", "super_speed", "super_speed_capable",
                           "super_speed_plus", "serial_stall", "serial_length", "name", "name_length"});
      if (!c.contains("port")) bad(cw, "missing \"port\"");
      const uint32_t port = static_cast<uint32_t>(number(c["port"], cw + ".port", 255));
      if (port == 0 || port > hub->ports) bad(cw + ".port", "port " + std::to_string(port) + " is not in 1.." + std::to_string(hub->ports));
      UsbPort &p = hub->port[port];
      if (p.connected) bad(cw + ".port", "port " + std::to_string(port) + " listed twice");
      p.connected = true;
      int &node = p.node;
      if (c.contains("node")) {
        const std::string ref = text(c["node"], cw + ".node");
        node = find_locked(t, ref);
        if (node < 0) bad(cw + ".node", "no node \"" + ref + "\"");
        if (hub_of_node[static_cast<size_t>(node)] >= 0) bad(cw + ".node", "node \"" + ref + "\" is on another port already");
        hub_of_node[static_cast<size_t>(node)] = index;
        unsigned vid = 0, pid = 0;
        if (std::sscanf(lower(t.nodes[static_cast<size_t>(node)].instance_id).c_str(), "usb\\vid_%4x&pid_%4x", &vid, &pid) == 2) {
          p.vid = static_cast<uint16_t>(vid);
          p.pid = static_cast<uint16_t>(pid);
        }
      }
      if (c.contains("vid")) p.vid = static_cast<uint16_t>(number(c["vid"], cw + ".vid", 0xFFFF));
      if (c.contains("pid")) p.pid = static_cast<uint16_t>(number(c["pid"], cw + ".pid", 0xFFFF));
      if (c.contains("serial")) p.serial = text(c["serial"], cw + ".serial");
      p.serial_index = c.contains("serial_index") ? static_cast<uint8_t>(number(c["serial_index"], cw + ".serial_index", 255))
                                                  : (p.serial.empty() ? 0 : 3);
      if (c.contains("super_speed")) p.super_speed = flag(c["super_speed"], cw + ".super_speed");
      p.super_speed_capable = c.contains("super_speed_capable")
                                  ? flag(c["super_speed_capable"], cw + ".super_speed_capable")
                                  : p.super_speed;
      if (c.contains("super_speed_plus")) p.super_speed_plus = flag(c["super_speed_plus"], cw + ".super_speed_plus");
      if (p.super_speed && !p.super_speed_capable)
        bad(cw + ".super_speed_capable", "a device operating at SuperSpeed is capable of it");
      if (p.super_speed_plus && !p.super_speed)
        bad(cw + ".super_speed_plus", "a device operating at SuperSpeedPlus operates at SuperSpeed or higher");
      if (c.contains("serial_stall")) p.serial_stall = flag(c["serial_stall"], cw + ".serial_stall");
      if (c.contains("serial_length"))
        p.serial_length = static_cast<uint32_t>(number(c["serial_length"], cw + ".serial_length", 255));
      if (c.contains("name_length"))
        p.name_length = static_cast<uint32_t>(number(c["name_length"], cw + ".name_length", 0xFFFFFFFF));
      p.is_hub = node >= 0 && t.nodes[static_cast<size_t>(node)].hub != nullptr;
      if (c.contains("name")) {
        if (!p.is_hub) bad(cw + ".name", "only a port with a downstream hub has a node connection name");
        p.name = text(c["name"], cw + ".name");
      } else if (p.is_hub) {
        std::string id = t.nodes[static_cast<size_t>(node)].instance_id;
        std::replace(id.begin(), id.end(), '\\', '#');
        p.name = id + "#" + lower(guid_text(GUID_DEVINTERFACE_USB_HUB));
      }
      if (p.is_hub) {
        for (uint32_t q = 1; q <= hub->ports; ++q)
          if (q != port && hub->port[q].is_hub && lower(hub->port[q].name) == lower(p.name))
            bad(cw + ".name", "duplicate node connection name \"" + p.name + "\"");
        for (const Node &o : t.nodes)
          if (o.hub)
            for (const UsbPort &q : o.hub->port)
              if (q.is_hub && lower(q.name) == lower(p.name)) bad(cw + ".name", "duplicate node connection name \"" + p.name + "\"");
      }
    }
  }
  t.nodes[static_cast<size_t>(index)].hub = hub;
}

}  // namespace

void reset_locked(Tree &t) {
  t.nodes.clear();
  t.classes.clear();
  Node root;
  root.instance_id = kRoot;
  root.status = DN_ROOT_ENUMERATED | DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  t.nodes.push_back(std::move(root));
}

std::optional<Property> node_property(const Tree &t, const Node &n, const DEVPROPKEY &key) {
  for (const Property &p : n.properties)
    if (same_key(p.key, key)) return p;
  const KnownKey *known = nullptr;
  for (const KnownKey &k : kKeys)
    if (same_key(k.key, key)) known = &k;
  if (!known) return std::nullopt;
  for (const std::string &r : n.removed)
    if (r == known->name) return std::nullopt;
  const bool root = n.parent < 0;
  if (same_key(key, DEVPKEY_Device_InstanceId)) return string_property(*known, n.instance_id);
  if (same_key(key, DEVPKEY_Device_Parent) && !root)
    return string_property(*known, t.nodes[static_cast<size_t>(n.parent)].instance_id);
  if (same_key(key, DEVPKEY_Device_Class) && !root) return string_property(*known, n.class_name);
  if (same_key(key, DEVPKEY_Device_PDOName) && !n.pdo.empty()) return string_property(*known, n.pdo);
  if (same_key(key, DEVPKEY_Device_DriverDesc) && n.has_driver_desc) return string_property(*known, n.driver_desc);
  return std::nullopt;
}

std::string property_name(const DEVPROPKEY &key) {
  for (const KnownKey &k : kKeys)
    if (same_key(k.key, key)) return k.name;
  return guid_text(key.fmtid) + "," + std::to_string(key.pid);
}

}  // namespace devtree

using namespace devtree;

std::optional<GUID> parse_guid(const std::string &s) {
  GUID g{};
  if (!guid_from_text(s, &g)) return std::nullopt;
  return g;
}

std::string interface_path_for(const std::string &instance_id, const GUID &iface) {
  std::string p = instance_id;
  std::replace(p.begin(), p.end(), '\\', '#');
  return lower("\\\\?\\" + p + "#" + guid_text(iface));
}

void load_device_tree(const nlohmann::json *section) {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  reset_locked(t);
  if (section == nullptr) return;
  const json &arr = *section;
  if (!arr.is_array()) bad("devices", "expected an array of device nodes");
  for (size_t i = 0; i < arr.size(); ++i) {
    const std::string w = "devices[" + std::to_string(i) + "]";
    Node n = load_node(t, arr[i], w);
    if (arr[i].contains("driver")) {
      const json &vals = arr[i]["driver"];
      if (!vals.is_array()) bad(w + ".driver", "expected an array of registry values");
      std::vector<RegValue> values;
      for (size_t k = 0; k < vals.size(); ++k)
        values.push_back(load_driver_value(vals[k], w + ".driver[" + std::to_string(k) + "]"));
      set_driver(t, n, values);
    }
    if (arr[i].contains("hub")) n.hub = std::make_shared<UsbHub>();  // filled below, once every node exists
    t.nodes.push_back(std::move(n));
  }
  // Hub connections may name nodes created after the hub.
  std::vector<int> hub_of_node(t.nodes.size(), -1);
  for (size_t i = 0; i < arr.size(); ++i)
    if (arr[i].contains("hub"))
      load_hub(t, static_cast<int>(i + 1), arr[i]["hub"], "devices[" + std::to_string(i) + "].hub", hub_of_node);
  register_hubs(t);
}

void reset_device_tree() {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  reset_locked(t);
}

std::string add_device_node(const DevNodeSpec &spec) {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  Node n;
  n.instance_id = spec.instance_id;
  n.class_name = spec.class_name;
  if (!class_guid_of(spec.class_name, &n.class_guid)) bad("class", "unknown class \"" + spec.class_name + "\"");
  n.parent = spec.parent.empty() ? 0 : find_locked(t, spec.parent);
  if (n.parent < 0) bad("parent", "no node \"" + spec.parent + "\"");
  n.status = default_status(0);
  n.pdo = spec.pdo;
  for (const auto &[guid, path] : spec.interfaces)
    n.interfaces.push_back(Interface{guid, path.empty() ? interface_path_for(n.instance_id, guid) : path, true});
  try {
    check_unique(t, n, "node");
  } catch (const std::runtime_error &e) {
    std::string what = e.what();
    throw std::runtime_error(what.substr(std::strlen("node.")));
  }
  if (!spec.driver.empty()) set_driver(t, n, spec.driver);
  if (spec.removal_policy) load_property(n, "RemovalPolicy", *spec.removal_policy, "properties.RemovalPolicy");
  t.nodes.push_back(std::move(n));
  return spec.instance_id;
}

std::optional<DevNodeLink> device_node_link(const std::string &ref, const GUID &iface) {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const int i = find_locked(t, ref);
  if (i < 0) return std::nullopt;
  const Node &n = t.nodes[static_cast<size_t>(i)];
  DevNodeLink link{n.instance_id, n.pdo, ""};
  for (const Interface &itf : n.interfaces) {
    if (itf.enabled && same_guid(itf.guid, iface)) {
      link.interface_path = itf.path;
      break;
    }
  }
  return link;
}

void set_device_node_pdo(const std::string &instance_id, const std::string &pdo) {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  const int i = find_locked(t, instance_id);
  if (i < 0) bad("node", "no node \"" + instance_id + "\"");
  for (const Node &o : t.nodes)
    if (lower(o.pdo) == lower(pdo)) bad("pdo", "duplicate PDO \"" + pdo + "\"");
  t.nodes[static_cast<size_t>(i)].pdo = pdo;
}

std::vector<DevNodeInfo> device_nodes() {
  Tree &t = tree();
  std::lock_guard<std::mutex> g(t.lock);
  std::vector<DevNodeInfo> out;
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    const Node &n = t.nodes[i];
    DevNodeInfo info;
    info.id = n.id;
    info.instance_id = n.instance_id;
    info.class_name = n.class_name;
    info.parent = n.parent < 0 ? "" : t.nodes[static_cast<size_t>(n.parent)].instance_id;
    info.present = n.present;
    info.devinst = static_cast<DWORD>(i + 1);
    info.pdo = n.pdo;
    for (const Interface &itf : n.interfaces) info.interface_paths.push_back(itf.path);
    out.push_back(std::move(info));
  }
  return out;
}

}  // namespace sim

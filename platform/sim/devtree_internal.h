// The device tree's state, shared by the loader (devtree.cpp), SetupAPI and the configuration
// manager (setupapi.cpp) and the USB hub objects (usb_hub.cpp).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/device.h"
#include "sim/devtree.h"

namespace sim::devtree {

struct Property {
  DEVPROPKEY key{};
  std::string name;                   // the key name in descriptions and fault rules
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::vector<uint8_t> data;
};

struct Interface {
  GUID guid{};
  std::string path;
  bool enabled = true;
};

struct UsbPort {
  bool connected = false;
  int node = -1;                      // the devnode on the port, -1 when none is named
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint8_t serial_index = 0;
  std::string serial;
  bool super_speed = false;           // operating at SuperSpeed or higher
  bool super_speed_capable = false;   // SuperSpeed-capable (may run slower, e.g. on a USB 2 link)
  bool super_speed_plus = false;      // operating at SuperSpeedPlus (and capable of it)
  bool is_hub = false;
  std::string name;                   // node connection name of a downstream hub
  bool serial_stall = false;
  std::optional<uint32_t> serial_length;
  std::optional<uint32_t> name_length;
};

struct UsbHub {
  uint32_t type = 1;
  uint32_t ports = 0;
  std::vector<UsbPort> port;          // index 1..ports (0 unused)
};

struct Node {
  std::string id;
  std::string instance_id;
  std::string class_name;             // "" for the root
  GUID class_guid{};
  int parent = -1;
  bool present = true;
  uint32_t status = 0;
  uint32_t problem = 0;
  uint32_t capabilities = 0;
  std::string pdo;
  std::vector<Property> properties;   // given in the description
  std::vector<std::string> removed;   // derived properties the description removes
  bool has_driver = false;
  std::string driver_key;             // registry path of the driver key
  std::string driver_desc;            // its "DriverDesc" string, when it has one
  bool has_driver_desc = false;
  std::vector<Interface> interfaces;
  std::shared_ptr<UsbHub> hub;
};

struct Tree {
  std::mutex lock;
  std::vector<Node> nodes;            // creation order; [0] is the root
  std::map<std::string, int> classes; // class GUID text -> driver keys made so far
};

Tree &tree();

std::string lower(std::string s);
bool same_guid(const GUID &a, const GUID &b);
// Node index by id or instance id (ignoring case); -1 when none. Lock held.
int find_locked(const Tree &t, const std::string &ref);
// A property of a node: given, or derived (InstanceId, Parent, Class, PDOName, DriverDesc).
std::optional<Property> node_property(const Tree &t, const Node &n, const DEVPROPKEY &key);
// Name of a property key for fault rules ("BusNumber"), or "{fmtid},pid".
std::string property_name(const DEVPROPKEY &key);

// Registers the hub object of every node with a hub block.
void register_hubs(const Tree &t);

}  // namespace sim::devtree

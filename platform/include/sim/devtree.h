// Simulated machine: the device tree (devnodes with their classes, properties, driver keys and
// interfaces), the USB hubs hanging in it, and the device-information sets SetupAPI hands out.
//
// The "devices" section of a machine description lists the devnodes in creation order (the order
// every SetupAPI walk follows); `HTREE\ROOT\0` is the implicit root and comes first.
//   "devices": [ {
//      "id": "AHCI-1",                          (optional short name, unique; references elsewhere
//                                                name a node by this id or by its instance id)
//      "instance_id": "PCI\\VEN_AAA1&DEV_0001\\3&2411E6FE&0&B8",
//                                               (required; unique without regard to case; case kept)
//      "class": "hdc",                          (setup class name; required except on the root.
//                                                Known names: System, hdc, SCSIAdapter, DiskDrive,
//                                                USB, HIDClass, Camera)
//      "class_guid": "{4d36e96a-...}",          (required for any other class name)
//      "parent": "ACPI-ROOT",                   (id or instance id of an earlier node; default root)
//      "present": true,                         (false: a phantom, hidden from DIGCF_PRESENT sets
//                                                and from CM_Locate_DevNodeA without the phantom flag)
//      "problem": 0,                            (CM_Get_DevNode_Status problem number)
//      "status": 25174026,                      (DN_* flags; default DN_DRIVER_LOADED | DN_STARTED |
//                                                DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER,
//                                                DN_HAS_PROBLEM in place of DN_STARTED with a problem)
//      "capabilities": 0,                       (SPDRP_CAPABILITIES: 4 removable, 80h surprise removal)
//      "pdo": "\\Device\\00000031",             (PDO name; unique)
//      "properties": {                          (typed properties; derived ones need no entry:
//                                                InstanceId, Parent, Class, PDOName, DriverDesc)
//         "BusNumber": 3,                       (known keys take their type: UINT32 for BusNumber,
//         "PowerRelations": ["SCSI\\...", ...],  RemovalPolicy and the four PCIe link keys,
//         "DriverDesc": null,                    STRING_LIST for PowerRelations and HardwareIds,
//                                                STRING for DeviceDesc, FriendlyName and the derived
//                                                ones; null removes a derived one)
//         "Custom": { "fmtid": "{...}", "pid": 2, "type": "STRING" | "STRING_LIST" | "UINT32" |
//                     "UINT64" | "BOOLEAN" | "GUID" | "BINARY", "value": ..., "size": 600 }
//                                               ("size" pads the value with zero bytes: a property
//                                                larger than the caller's buffer; allowed on known
//                                                keys too, as { "value": ..., "size": n })
//      },
//      "driver": [ { "name": "DriverDesc", "type": "REG_SZ", "data": "...", "nul": true,
//                    "size": 1500 } ],          (the driver key: registry values in stored order, as
//                                                in "registry"; "size" repeats string data up to that
//                                                many bytes. Absent: the devnode has no driver key)
//      "interfaces": [ { "class": "disk" | "storage_port" | "ses" | "usb_hub" | "{guid}",
//                        "path": "\\\\?\\PCI#...",   (default: "\\?\" + instance id with '\' as '#'
//                                                + "#" + the class GUID, all lower case; unique)
//                        "enabled": true } ],
//      "hub": {                                 (a USB hub: its device object answers the hub
//                                                requests on the node's hub interface paths and,
//                                                for a downstream hub, on \\.\<connection name>)
//         "type": 1,                            (HubType: 1 root, 2 USB 2.0, 3 USB 3.0)
//         "ports": 7,                           (HighestPortNumber)
//         "connections": [ {                    (ports not listed have nothing connected)
//            "port": 1,                         (1..ports, once each)
//            "node": "BOT",                     (the devnode on the port, by id or instance id;
//                                                optional. A node with its own "hub" block makes
//                                                the port a downstream hub)
//            "vid": "0xAAB1", "pid": "0x0001",  (default: from the node's USB\VID_xxxx&PID_xxxx)
//            "serial": "SIMBOT0001",            (serial-number string; default none)
//            "serial_index": 3,                 (iSerialNumber; default 3 with a serial, else 0)
//            "super_speed": true,               (operating at super speed)
//            "super_speed_capable": true,       (SuperSpeed-capable; default: "super_speed". A
//                                                capable device on a slower link gives false above)
//            "super_speed_plus": false,         (operating at SuperSpeedPlus; needs "super_speed")
//            "serial_stall": false,             (the string request stalls: ERROR_GEN_FAILURE)
//            "serial_length": 255,              (bLength answered instead of the true one)
//            "name": "USB#VID_...#{f18a...}",   (node connection name of a downstream hub; default
//                                                the hub's instance id with '\' as '#' + "#" + the
//                                                hub interface GUID in lower case)
//            "name_length": 6 } ] }             (ActualLength answered instead of the true one)
//   } ]
// Numbers may be JSON numbers or hexadecimal strings ("0x20"). Unknown fields are errors; every
// error names its place ("devices[3].interfaces[0].path: duplicate path ...").
//
// Fault rules (FaultOp::other) asked by SetupAPI, the configuration manager and the driver-key
// calls carry the keys "api" ("setupapi" or "cfgmgr"), "function" (the Win32 function name),
// "instance_id" (as written in the description) where a devnode is concerned, "guid" (lower case,
// with braces) where a class or interface GUID is, and "property" (the key name above) for
// SetupDiGetDevicePropertyW. A fired plain "fail" action fails the call with its error (SetupAPI:
// FALSE or INVALID_HANDLE_VALUE and the last error; configuration manager: that CONFIGRET).
// Custom action "required_size" (value) makes SetupDiGetDeviceInterfaceDetailA report that size.
// USB hub requests take the DeviceIoControl rules, and the custom actions "string_length" (bLength
// of the answered string descriptor) and "actual_length" (ActualLength of the node name).
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "sim/machine.h"

namespace sim {

// Loads the "devices" section (an absent section: the root alone). Throws std::runtime_error on a
// bad description. Machine loading calls it before the other device sections, which may then link
// to or add devnodes.
void load_device_tree(const nlohmann::json *section);
void reset_device_tree();

// A GUID from its braced text in either case (guid_text in sim/com.h writes it).
std::optional<GUID> parse_guid(const std::string &text);

// ---- For other parts of the machine (storage) ------------------------------------------------------

// A devnode added by another part of the machine, after every node of the description.
struct DevNodeSpec {
  std::string instance_id;
  std::string class_name;             // one of the known names
  std::string parent;                 // id or instance id; "" = root
  std::string pdo;                    // "" = none
  std::vector<std::pair<GUID, std::string>> interfaces;  // class and path ("" = generated)
  std::vector<RegValue> driver;       // empty: no driver key
  std::optional<uint32_t> removal_policy;  // the RemovalPolicy property (CM_REMOVAL_POLICY_*)
};
// Adds the node; returns its instance id. Throws std::runtime_error("<field>: <reason>") when an
// instance id, PDO or path is already used or the parent is unknown.
std::string add_device_node(const DevNodeSpec &spec);

struct DevNodeLink {
  std::string instance_id;
  std::string pdo;                    // "" when none
  std::string interface_path;         // the first enabled interface of the asked class, "" when none
};
// The node named by id or instance id, with the path of its first enabled interface of `iface`.
std::optional<DevNodeLink> device_node_link(const std::string &ref, const GUID &iface);
// Gives a node without one its PDO name; throws std::runtime_error when another node has it.
void set_device_node_pdo(const std::string &instance_id, const std::string &pdo);
// Interface path made from an instance id: "\\?\" + id ('\' as '#') + "#" + GUID, lower case.
std::string interface_path_for(const std::string &instance_id, const GUID &iface);

// ---- Test access -----------------------------------------------------------------------------------

struct DevNodeInfo {
  std::string id;
  std::string instance_id;
  std::string class_name;
  std::string parent;                 // parent's instance id ("" for the root)
  bool present = true;
  DWORD devinst = 0;
  std::string pdo;
  std::vector<std::string> interface_paths;
};
// Every devnode in creation order, the root first.
std::vector<DevNodeInfo> device_nodes();
// Device-information sets not destroyed yet, and destroys of sets that were not open (also
// counted by the resource accounting as "devinfo_sets" and "devinfo_bad_destroys").
size_t device_info_set_count();
size_t device_info_bad_destroy_count();

}  // namespace sim

#endif  // _WIN32

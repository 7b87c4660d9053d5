// Simulated machine: the WMI service (CLSID_WbemLocator). One table of classes and their rows,
// built from the machine's own contents by generators, overridden per class by the machine
// description or a test, and queried with the WQL the system sends.
//
// Locator: ConnectServer accepts "ROOT\CIMV2" and "\\.\root\cimv2" (case ignored), any other
// namespace gives WBEM_E_INVALID_NAMESPACE. ExecQuery takes the language "WQL" and
//   SELECT * | p1, p2 FROM Class [WHERE p op literal [AND|OR ...]]   (op: = <> != < > <= >=;
//                                                  literals: numbers, 'text' or "text" with
//                                                  backslash escapes, TRUE, FALSE, NULL)
//   ASSOCIATORS OF {Class.Key='value'} [WHERE ResultClass=C] [AssocClass=A]   (the quoted key
//                                                  read with its backslash escapes, as WMI
//                                                  reads it: '\\\\.\\PhysicalDrive0' names
//                                                  \\.\PhysicalDrive0, while '\\.\PhysicalDrive0'
//                                                  names \.PhysicalDrive0 and so nothing)
// A text that does not parse fails the first Next with WBEM_E_INVALID_QUERY, an unknown class
// with WBEM_E_INVALID_CLASS (as Windows does for a query that returns immediately). A SELECT
// list limits the properties Get finds (the rest give WBEM_E_NOT_FOUND); a property of the class
// that a row lacks reads as VT_NULL. Names of classes and properties ignore case, and so do text
// comparisons. ASSOCIATORS OF walks the rows of every class (or AssocClass) that hold a reference
// to the object (a text value "\\HOST\root\cimv2:Class.Key=\"value\"", see wmi_object_path) and
// answers the objects their other references name, of ResultClass when given.
//
// VARIANTs as Windows hands them over: integers VT_I4 (uint16, uint32), booleans VT_BOOL, text,
// uint64 and datetime values VT_BSTR, a property without a value VT_NULL.
//
// Apartments (sim/com.h): the locator and the class objects Next hands over live in the caller's
// process and keep working after their apartment ended; the IWbemServices of ConnectServer and
// the IEnumWbemClassObject of ExecQuery are proxies of the service's process and belong to the
// apartment of the thread that received them: ExecQuery and Next answer CO_E_NOTINITIALIZED on a
// thread without COM, RPC_E_DISCONNECTED once that apartment has ended, RPC_E_WRONG_THREAD in
// another apartment, and the call never reaches the service. ConnectServer on a thread without
// COM is not documented: it is answered, and the proxy it makes belongs to no apartment.
//
// Faults (FaultOp::other): "api": "wmi", "function": "ConnectServer" (with "namespace"),
// "ExecQuery", "Next", "Get" (each with "class", the FROM class or ResultClass; "Get" also with
// "property"). A fired plain fail makes the call return the rule's error (a Win32 error becomes
// its HRESULT); the custom action "timeout" makes Next answer WBEM_S_TIMEDOUT with no object.
// "count" rules fail Next after k rows ({"nth": k + 1}). CoCreateInstance of the locator and
// CoSetProxyBlanket fail through the COM rules (sim/com.h).
//
// Machine description: "wmi": { "classes": { "Win32_Processor": [ { "Caption": "x", "Name": null,
//   "NumberOfCores": 4, "Enabled": true } ] } } replaces the rows of each class named (JSON text,
// integer, boolean, null).
//
// Generated from the machine (generator "machine"): Win32_DiskDrive (per disk: Index, DeviceID,
// PNPDeviceID, SCSIBus = the LU's PathId, SCSIPort, SCSITargetId, SCSILogicalUnit, Model),
// Win32_SCSIController (per adapter: DeviceID, PNPDeviceID, Name), Win32_PnPEntity (per present
// devnode: DeviceID, PNPDeviceID, Name, Service: the adapter's driver service, "disk" for disks),
// Win32_SCSIControllerDevice (per adapter and unit: Antecedent, Dependent), Win32_PnPDevice (per
// disk: SameElement, its Win32_PnPEntity, and SystemElement, its Win32_DiskDrive), Win32_BootConfiguration
// (\Device\Harddisk<lowest disk>\Partition1), Win32_DiskPartition (one per disk at 1048576),
// Win32_PnPSignedDriver (per hdc or SCSIAdapter devnode: Description, DriverVersion, ClassGuid,
// DeviceID), and one row each of Win32_VideoController, Win32_Processor, Win32_BaseBoard,
// Win32_OperatingSystem (version and service pack from the machine's OS, LastBootUpTime from
// the virtual clock) and two of Win32_PhysicalMemory.
//
// Reset (sim::reset_machine): overrides, generated rows and the call log go; the generators stay.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct WmiValue {
  enum Kind { null, integer, boolean, text } kind = null;
  int32_t number = 0;   // integer; boolean: 0 or 1
  std::string str;      // text

  static WmiValue none() { return {}; }
  static WmiValue of(int32_t n) { return {integer, n, {}}; }
  static WmiValue flag(bool b) { return {boolean, b ? 1 : 0, {}}; }
  static WmiValue of(std::string s) { return {text, 0, std::move(s)}; }
  static WmiValue of(const char *s) { return {text, 0, s}; }
};

// One instance: its properties in order.
using WmiRow = std::vector<std::pair<std::string, WmiValue>>;

// The classes and their rows (class names ignore case).
class WmiTable {
 public:
  // The rows of a class; the class is made (empty) when absent.
  std::vector<WmiRow> &rows(const std::string &class_name);
  // Null when the class does not exist.
  const std::vector<WmiRow> *find(const std::string &class_name) const;
  void add(const std::string &class_name, WmiRow row) { rows(class_name).push_back(std::move(row)); }
  // Every class name, as first written, in order of creation.
  std::vector<std::string> class_names() const;

 private:
  std::vector<std::pair<std::string, std::vector<WmiRow>>> classes_;
};

// The object path WMI writes in a reference property:
// \\SIMHOST\root\cimv2:Class.Key="value", the value's backslashes and quotes doubled/escaped.
std::string wmi_object_path(const std::string &class_name, const std::string &key, const std::string &value);

// A generator adds classes and rows from the machine's contents whenever the table is built
// (on the first query after a reset, a load or a change of the overrides), in registration
// order; registering a name again replaces it. Kept across resets.
void wmi_register_generator(const std::string &name, std::function<void(WmiTable &)> generate);

// Overrides, until the next reset: the rows of one class replaced (an empty list leaves the
// class existing without rows), or a row added after the generated ones.
void wmi_set_rows(const std::string &class_name, std::vector<WmiRow> rows);
void wmi_add_row(const std::string &class_name, WmiRow row);
// Removes a class: queries on it then fail as for an unknown class.
void wmi_remove_class(const std::string &class_name);

// The table as queries see it now.
WmiTable wmi_table();

// Calls, in order: "ConnectServer <namespace> flags=<hex>", "ExecQuery <language> flags=<hex>
// <text>", "Next timeout=<ms> count=<n>".
std::vector<std::string> wmi_calls();

// Registers the "wmi" machine section and the locator class (kept registered across resets);
// machine loading calls it. Idempotent.
void register_wmi_section();

}  // namespace sim

#endif  // _WIN32

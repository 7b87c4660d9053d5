// Simulated machine: the WMI classes derived from the machine's own contents (the storage
// adapters and units, the device tree, the operating system, the virtual clock), and fixed
// rows for what the machine does not describe (graphics, processor, board, memory).
#include <cctype>
#include <ctime>
#include <mutex>
#include <string>

#include "devtree_internal.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/machine.h"
#include "sim/storage/driver.h"
#include "sim/wmi.h"

namespace sim {
namespace {

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The driver service of an adapter, by the personality answering for it.
const char *service_of(const std::string &personality) {
  static const char *const table[][2] = {
      {"inbox_nvme", "stornvme"},   {"inbox_ahci", "storahci"},  {"usb_bot", "USBSTOR"},
      {"uas", "UASPStor"},          {"uas_sat", "UASPStor"},     {"storage_spaces", "spaceport"},
      {"intel_rst", "iaStorAC"},    {"intel_rste", "iaStorE"},   {"maker_nvme", "makernvme"},
      {"nevox", "nevoxnvme"},       {"sas", "sasport"},
  };
  for (const auto &row : table)
    if (personality == row[0]) return row[1];
  return nullptr;
}

void storage_classes(WmiTable &t) {
  t.rows("Win32_DiskDrive");
  t.rows("Win32_SCSIController");
  t.rows("Win32_SCSIControllerDevice");
  t.rows("Win32_DiskPartition");
  t.rows("Win32_PnPDevice");
  uint32_t boot = 0xFFFFFFFFu;
  const StorageAdapter *last = nullptr;
  for (const auto &lu : storage_lu_list()) {
    const StorageAdapter *a = lu->adapter;
    if (a != last && !a->instance_id.empty()) {
      const std::string id = upper(a->instance_id);
      t.add("Win32_SCSIController",
            {{"DeviceID", WmiValue::of(id)}, {"PNPDeviceID", WmiValue::of(id)}, {"Name", WmiValue::of(a->id)}});
    }
    last = a;
    if (!a->instance_id.empty() && !lu->instance_id.empty())
      t.add("Win32_SCSIControllerDevice",
            {{"Antecedent", WmiValue::of(wmi_object_path("Win32_SCSIController", "DeviceID", upper(a->instance_id)))},
             {"Dependent", WmiValue::of(wmi_object_path("Win32_PnPEntity", "DeviceID", upper(lu->instance_id)))}});
    if (lu->kind != LuKind::Disk || lu->physical_drive == 0xFFFFFFFFu) continue;
    const int32_t n = static_cast<int32_t>(lu->physical_drive);
    const std::string number = std::to_string(lu->physical_drive);
    t.add("Win32_DiskDrive", {{"Index", WmiValue::of(n)},
                              {"DeviceID", WmiValue::of("\\\\.\\PHYSICALDRIVE" + number)},
                              {"PNPDeviceID", WmiValue::of(upper(lu->instance_id))},
                              {"Model", WmiValue::of(lu->vendor.empty() ? lu->product : lu->vendor + " " + lu->product)},
                              {"SCSIBus", WmiValue::of(lu->path_id)},
                              {"SCSIPort", WmiValue::of(static_cast<int32_t>(a->port))},
                              {"SCSITargetId", WmiValue::of(lu->target_id)},
                              {"SCSILogicalUnit", WmiValue::of(lu->lun)}});
    t.add("Win32_PnPDevice",
          {{"SameElement", WmiValue::of(wmi_object_path("Win32_PnPEntity", "DeviceID", upper(lu->instance_id)))},
           {"SystemElement", WmiValue::of(wmi_object_path("Win32_DiskDrive", "DeviceID", "\\\\.\\PHYSICALDRIVE" + number))}});
    t.add("Win32_DiskPartition", {{"DiskIndex", WmiValue::of(n)},
                                  {"Index", WmiValue::of(0)},
                                  {"DeviceID", WmiValue::of("Disk #" + number + ", Partition #0")},
                                  {"StartingOffset", WmiValue::of("1048576")}});
    if (lu->physical_drive < boot) boot = lu->physical_drive;
  }
  t.rows("Win32_BootConfiguration");
  if (boot != 0xFFFFFFFFu)
    t.add("Win32_BootConfiguration",
          {{"Name", WmiValue::of("BootConfiguration")},
           {"Description", WmiValue::of("\\Device\\Harddisk" + std::to_string(boot) + "\\Partition1")}});
}

void device_classes(WmiTable &t) {
  // Services: the adapters' by personality, "disk" for the disks.
  std::vector<std::pair<std::string, std::string>> services;
  for (const auto &lu : storage_lu_list()) {
    if (const char *s = service_of(lu->adapter->driver->name())) services.emplace_back(upper(lu->adapter->instance_id), s);
    if (lu->kind == LuKind::Disk) services.emplace_back(upper(lu->instance_id), "disk");
  }
  t.rows("Win32_PnPEntity");
  t.rows("Win32_PnPSignedDriver");
  devtree::Tree &tree = devtree::tree();
  std::lock_guard<std::mutex> g(tree.lock);
  for (size_t i = 1; i < tree.nodes.size(); ++i) {
    const devtree::Node &n = tree.nodes[i];
    if (!n.present) continue;
    const std::string id = upper(n.instance_id);
    WmiValue service;
    for (const auto &[sid, name] : services)
      if (sid == id) service = WmiValue::of(name);
    const WmiValue name = n.has_driver_desc ? WmiValue::of(n.driver_desc) : WmiValue::of(n.id.empty() ? id : n.id);
    t.add("Win32_PnPEntity", {{"DeviceID", WmiValue::of(id)},
                              {"PNPDeviceID", WmiValue::of(id)},
                              {"Name", name},
                              {"ClassGuid", WmiValue::of(devtree::lower(guid_text(n.class_guid)))},
                              {"Service", service}});
    if (n.class_name == "hdc" || n.class_name == "SCSIAdapter")
      t.add("Win32_PnPSignedDriver", {{"DeviceID", WmiValue::of(id)},
                                      {"Description", name},
                                      {"DriverVersion", WmiValue::of("10.0.19041.1")},
                                      {"ClassGuid", WmiValue::of(devtree::lower(guid_text(n.class_guid)))}});
  }
}

// "yyyymmddHHMMSS.mmmmmm+UUU" in local time.
std::string wmi_datetime(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char text[64];
  const long offset = local.tm_gmtoff / 60;
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.000000%c%03ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                offset < 0 ? -offset : offset);
  return text;
}

void system_classes(WmiTable &t) {
  const OsInfo &os = machine_os();
  std::string caption = os.major >= 10 ? "Microsoft Windows 10 Pro"
                        : os.minor >= 3 ? "Microsoft Windows 8.1 Pro"
                        : os.minor == 2 ? "Microsoft Windows 8 Pro"
                                        : "Microsoft Windows 7 Professional";
  // Booted virtual_now_ms ago (the machine's clock counts from the boot).
  const time_t boot = std::time(nullptr) - static_cast<time_t>(virtual_now_ms() / 1000);
  t.add("Win32_OperatingSystem",
        {{"Caption", WmiValue::of(caption)},
         {"Name", WmiValue::of(caption + "|C:\\WINDOWS|\\Device\\Harddisk0\\Partition1")},
         {"Version", WmiValue::of(std::to_string(os.major) + "." + std::to_string(os.minor) + "." +
                                  std::to_string(os.build))},
         {"BuildNumber", WmiValue::of(std::to_string(os.build))},
         {"ServicePackMajorVersion", WmiValue::of(os.service_pack_major)},
         {"ServicePackMinorVersion", WmiValue::of(os.service_pack_minor)},
         {"BuildType", WmiValue::of("Multiprocessor Free")},
         {"LastBootUpTime", WmiValue::of(wmi_datetime(boot))}});
  t.add("Win32_VideoController", {{"Caption", WmiValue::of("Simulated Display Adapter")},
                                  {"Name", WmiValue::of("Simulated Display Adapter")}});
  t.add("Win32_Processor", {{"Caption", WmiValue::of("x64 Family 6 Model 1 Stepping 0")},
                            {"Name", WmiValue::of("Simulated Processor @ 3.00GHz")},
                            {"NumberOfCores", WmiValue::of(4)}});
  t.add("Win32_BaseBoard", {{"Manufacturer", WmiValue::of("Simulated Board Maker")},
                            {"Product", WmiValue::of("SIM-BOARD-1")}});
  for (int slot = 0; slot < 2; ++slot)
    t.add("Win32_PhysicalMemory", {{"BankLabel", WmiValue::of("BANK " + std::to_string(slot))},
                                   {"ConfiguredClockSpeed", WmiValue::of(3200)}});
}

}  // namespace

void register_wmi_machine_generator() {
  wmi_register_generator("machine", [](WmiTable &t) {
    storage_classes(t);
    device_classes(t);
    system_classes(t);
  });
}

}  // namespace sim

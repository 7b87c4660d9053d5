// Simulated machine: Win32_PnPDevice, the association of each disk's Win32_DiskDrive with its
// Win32_PnPEntity (SystemElement and SameElement), so that ASSOCIATORS OF a disk drive with
// ResultClass=Win32_PnPEntity finds the disk's devnode.
#include <cctype>
#include <string>

#include "sim/storage/driver.h"
#include "sim/wmi.h"

namespace sim {

void register_wmi_pnp_device_generator() {
  wmi_register_generator("pnp_device", [](WmiTable &t) {
    t.rows("Win32_PnPDevice");
    for (const auto &lu : storage_lu_list()) {
      if (lu->kind != LuKind::Disk || lu->physical_drive == 0xFFFFFFFFu || lu->instance_id.empty()) continue;
      std::string id = lu->instance_id;
      for (char &c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      t.add("Win32_PnPDevice",
            {{"SameElement", WmiValue::of(wmi_object_path("Win32_PnPEntity", "DeviceID", id))},
             {"SystemElement", WmiValue::of(wmi_object_path("Win32_DiskDrive", "DeviceID",
                                                            "\\\\.\\PHYSICALDRIVE" + std::to_string(lu->physical_drive)))}});
    }
  });
}

}  // namespace sim

// The WMI helper, the drive report of PhysicalDrive0 and the system report.
#include <cstring>
#include <string>

#include "tools/wincom_smoke/smoke.h"
#include "vornwincom/WbemHelper.h"
#include "vornwincom/drive_report.h"
#include "vornwincom/system_report.h"

namespace {

void record(smoke::Out &out, int rc, const huld_error &err) {
  out.fact("rc", rc);
  out.fact("subcode", std::to_string(err.subcode));
  if (rc) out.fact("message", err.message);
}

void check_wmi(smoke::Out &out) {
  WbemHelper wbem;
  huld_error err{};
  WbemRows rows;
  const int rc = wbem.get_properties(&err, "SELECT * FROM Win32_OperatingSystem", {"Caption", "Version"}, &rows);
  record(out, rc, err);
  out.fact("rows", rows.size());
  if (!rows.empty()) out.fact("version", variant_to_string(*wbem_row_value(rows[0], "version")).value_or("<null>"));
  rows.clear();
  out.fact("missing_property", wbem.get_properties(&err, "SELECT * FROM Win32_OperatingSystem", {"NoSuchProperty"}, &rows));
  out.fact("missing_property_message", err.message);
}

void check_drive0(smoke::Out &out) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk0");
  vornwincom_drive_report report{};
  huld_error err{};
  record(out, vornwincom_get_drive_report(&err, &dev, &report), err);
  out.fact("instance_id", report.instance_id);
  out.fact("scsi_bus", report.scsi_bus);
  out.fact("storage_port_path", report.storage_port_path);
  out.fact("service", report.service);
  out.fact("is_boot_disk", report.is_boot_disk);
  out.fact("partitions", std::to_string(report.aligned_partitions) + "/" + std::to_string(report.other_partitions));
}

void check_system(smoke::Out &out) {
  static vornwincom_system_report report;
  huld_error err{};
  record(out, vornwincom_get_system_report(&err, &report), err);
  out.fact("gpus", report.gpus.count);
  out.fact("cpus", report.cpus.count);
  if (report.cpus.count) out.fact("cpu0", report.cpus.entry[0].name);
  out.fact("controllers", report.controllers.count);
  out.fact("baseboards", report.baseboards.count);
  out.fact("rams", report.rams.count);
  out.fact("os_name", report.os.name);
  out.fact("os_version", std::to_string(report.os.version_major) + "." + std::to_string(report.os.version_minor) +
                             "." + std::to_string(report.os.version_build));
  out.fact("wow64", report.os.wow64);
}

}  // namespace

SMOKE_CHECK(wmi, check_wmi);
SMOKE_CHECK(drive0, check_drive0);
SMOKE_CHECK(system, check_system);

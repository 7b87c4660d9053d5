#define HULD_MODULE "vornwincom\\source"
#include <algorithm>
#include <cstring>
#include <string>

#include "vornwincom/WbemHelper.h"
#include "vornwincom/drive_report.h"
#include "vornwincom/flat_call.h"
#include "vornwincom/text_field.h"

#ifndef IOCTL_STORAGE_GET_DEVICE_NUMBER
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080
#endif

void replace_all(std::string &text, const std::string &from, const std::string &to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

void narrow_utf16_string(const void *wide, size_t size, char *out) {
  const auto *bytes = static_cast<const uint8_t *>(wide);
  for (size_t i = 0; i < size / 2; ++i) out[i] = static_cast<char>(bytes[2 * i]);
}

namespace {

const char kNoController[] = "Failed to get a valid set of data to fill the controller info structure.";

using vornwincom::same_text;
using vornwincom::store_text;

// Whole decimal text (digits only) as an unsigned 64-bit number; false for anything else.
bool read_decimal(const std::string &text, uint64_t *out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *out = v;
  return true;
}

// A device-information set, destroyed on every return.
struct DevInfoSet {
  HDEVINFO set;
  ~DevInfoSet() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
};

// The number of the disk behind a device of the disk-drive class, through its PDO name.
bool device_number_of(HDEVINFO set, SP_DEVINFO_DATA *dev, DWORD *number) {
  BYTE pdo[512] = {};
  DEVPROPTYPE type = 0;
  DWORD size = 0;
  if (!SetupDiGetDevicePropertyW(set, dev, &DEVPKEY_Device_PDOName, &type, pdo, sizeof pdo, &size, 0)) return false;
  char path[270] = "\\\\.\\GLOBALROOT";
  narrow_utf16_string(pdo, std::min<size_t>(size, sizeof pdo), path + 14);
  path[sizeof path - 1] = '\0';
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD answer[3] = {};  // STORAGE_DEVICE_NUMBER: device type, device number, partition number
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, answer, sizeof answer, &returned,
                                  nullptr);
  CloseHandle(h);
  if (!ok) return false;
  *number = answer[1];
  return true;
}

}  // namespace

// The bodies carry the flat functions' own names, so that the records they set name them.
namespace body {

int vornwincom_fill_drive_report_boot_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  WbemHelper wbem;
  WbemRows rows;
  if (wbem.get_properties(err, "SELECT * FROM Win32_BootConfiguration", {"Description"}, &rows)) return 1;
  for (const WbemRow &row : rows) {
    const auto description = variant_to_string(*wbem_row_value(row, "Description"));
    if (!description) continue;
    const size_t at = description->find("\\Harddisk");
    if (at == std::string::npos) continue;
    const size_t from = at + 9;
    const std::string digits = description->substr(from, description->find('\\', from) - from);
    uint64_t number = 0;
    if (read_decimal(digits, &number) && number == disk_number) {
      report->is_boot_disk = 1;
      return huld_error_clear(err);
    }
  }
  report->is_boot_disk = 0;
  return huld_error_clear(err);
}

int vornwincom_fill_drive_report_disk_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number,
                                           bool *bus_given) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  if (bus_given) *bus_given = false;
  DevInfoSet devices{SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, nullptr, nullptr, DIGCF_PRESENT)};
  if (devices.set == INVALID_HANDLE_VALUE)
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Failed to enumerate GUID_DEVINTERFACE_DISK.");
  SP_DEVINFO_DATA dev{};
  bool found = false;
  for (DWORD i = 0; !found; ++i) {
    dev = SP_DEVINFO_DATA{};
    dev.cbSize = sizeof dev;
    if (!SetupDiEnumDeviceInfo(devices.set, i, &dev)) break;
    DWORD number = 0;
    found = device_number_of(devices.set, &dev, &number) && number == disk_number;
  }
  if (!found) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Could not find Disk %u to pull details.", disk_number);

  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(devices.set, &dev, &DEVPKEY_Device_InstanceId, &type,
                                 reinterpret_cast<PBYTE>(report->instance_id_wide),
                                 sizeof report->instance_id_wide - sizeof(WCHAR), nullptr, 0)) {
    const DWORD e = GetLastError();
    return HULD_ERROR(err, HULD_ERROR_FAILURE, e, "Failed to capture InstanceId for device. (%u)", static_cast<unsigned>(e));
  }
  report->instance_id_wide[511] = 0;
  store_text(report->instance_id, vornwincom::narrow(report->instance_id_wide));
  DWORD policy = 0;
  if (!SetupDiGetDevicePropertyW(devices.set, &dev, &DEVPKEY_Device_RemovalPolicy, &type,
                                 reinterpret_cast<PBYTE>(&policy), sizeof policy, nullptr, 0)) {
    const DWORD e = GetLastError();
    return HULD_ERROR(err, HULD_ERROR_FAILURE, e, "Failed to capture RemovalPolicy for device. (%u)", static_cast<unsigned>(e));
  }
  report->removal_policy = policy;
  DWORD capabilities = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(devices.set, &dev, SPDRP_CAPABILITIES, nullptr,
                                         reinterpret_cast<PBYTE>(&capabilities), sizeof capabilities, nullptr)) {
    const DWORD e = GetLastError();
    return HULD_ERROR(err, HULD_ERROR_FAILURE, e, "Failed to capture SPDRP_CAPABILITIES for device. (%u)",
                      static_cast<unsigned>(e));
  }
  report->removable = (capabilities & 0x84) != 0 ? 1 : 0;

  WbemHelper wbem;
  WbemRows rows;
  if (wbem.get_properties(err, "SELECT * FROM Win32_DiskDrive where Index=" + std::to_string(disk_number),
                          {"SCSIBus"}, &rows))
    return 1;
  if (!rows.empty())
    // A value beyond 32 bits is no bus number, not the bus its low bits would name.
    if (auto bus = variant_to_u32_fitting(*wbem_row_value(rows[0], "SCSIBus"))) {
      report->scsi_bus = static_cast<uint8_t>(*bus);
      // A number beyond a path id's byte names no bus that its low byte could stand for.
      if (bus_given) *bus_given = *bus <= 0xFF;
    }
  return huld_error_clear(err);
}

int vornwincom_fill_drive_report_controller_info(huld_error *err, vornwincom_drive_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  const std::string instance_id(report->instance_id, strnlen(report->instance_id, sizeof report->instance_id));
  // Without the disk's id every association would match.
  if (instance_id.empty()) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, kNoController);
  WbemHelper wbem;
  WbemRows links;
  if (wbem.get_properties(err, "SELECT * FROM Win32_SCSIControllerDevice", {"Antecedent", "Dependent"}, &links))
    return 1;
  WbemRows controller;
  for (const WbemRow &link : links) {
    const auto dependent = variant_to_string(*wbem_row_value(link, "Dependent"));
    if (!dependent) continue;
    // The unit's key: behind the '=', without its quotes, backslashes no longer doubled.
    std::string unit = dependent->substr(dependent->find('=') == std::string::npos ? 0 : dependent->find('=') + 1);
    if (unit.size() >= 2 && unit.front() == '"' && unit.back() == '"') unit = unit.substr(1, unit.size() - 2);
    replace_all(unit, "\\\\", "\\");
    if (!same_text(unit, instance_id)) continue;
    const auto antecedent = variant_to_string(*wbem_row_value(link, "Antecedent"));
    if (!antecedent) continue;
    const size_t eq = antecedent->find('=');
    const std::string key = eq == std::string::npos ? *antecedent : antecedent->substr(eq + 1);
    WbemRows entities;
    if (wbem.get_properties(err, "Select * from Win32_PnPEntity where deviceId=" + key, {"Service", "PNPDeviceID"},
                            &entities)) {
      HULD_LOG(HULD_LOG_DEBUG, "Failed to query Win32_PNPEntity for deviceId %s", key.c_str());
      HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
      continue;
    }
    if (entities.empty() || !variant_to_string(*wbem_row_value(entities[0], "PNPDeviceID"))) continue;
    controller.push_back(std::move(entities[0]));
    break;
  }
  if (controller.empty()) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, kNoController);
  if (auto service = variant_to_string(*wbem_row_value(controller[0], "Service"))) store_text(report->service, *service);
  std::string device = *variant_to_string(*wbem_row_value(controller[0], "PNPDeviceID"));
  replace_all(device, "\\", "#");
  OLECHAR guid[40] = {};
  StringFromGUID2(GUID_DEVINTERFACE_STORAGEPORT, guid, 40);
  store_text(report->storage_port_path, "\\\\?\\" + device + "#" + vornwincom::narrow(guid));
  return huld_error_clear(err);
}

int vornwincom_fill_drive_report_partition_info(huld_error *err, vornwincom_drive_report *report,
                                                uint32_t disk_number) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  WbemHelper wbem;
  WbemRows rows;
  if (wbem.get_properties(err,
                          "SELECT StartingOffset FROM Win32_DiskPartition WHERE DiskIndex=" + std::to_string(disk_number),
                          {"StartingOffset"}, &rows))
    return 1;
  for (const WbemRow &row : rows) {
    const auto text = variant_to_string(*wbem_row_value(row, "StartingOffset"));
    uint64_t offset = 0;
    if (!text || !read_decimal(*text, &offset)) continue;
    uint8_t &counter = (offset & 0xFFF) == 0 ? report->aligned_partitions : report->other_partitions;
    if (counter < 255) ++counter;
  }
  return huld_error_clear(err);
}

int vornwincom_get_drive_report(huld_error *err, const huld_dev *dev, vornwincom_drive_report *report) {
  if (!dev || !report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  std::memset(report, 0, sizeof *report);
  uint32_t disk = 0xFFFFFFFFu;
  huld_error probe{};
  if (huld_dev_get_disk_number(&probe, &disk, dev) || disk == 0xFFFFFFFFu)
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0xFFFFFFFFu, "vornwincom drive report is only supported on disks.");
  struct Step {
    uint32_t bit;
    const char *line;
  } steps[] = {{1, "Failure collecting boot data for drive report!"},
               {2, "Failure collecting disk data for drive report!"},
               {4, "Failure collecting controller data for drive report!"},
               {8, "Failure collecting partition data for drive report!"}};
  uint32_t failed = 0;
  for (const Step &s : steps) {
    huld_error sub{};
    int rc = s.bit == 1   ? ::vornwincom_fill_drive_report_boot_info(&sub, report, disk)
             : s.bit == 2 ? ::vornwincom_fill_drive_report_disk_info(&sub, report, disk)
             : s.bit == 4 ? ::vornwincom_fill_drive_report_controller_info(&sub, report)
                          : ::vornwincom_fill_drive_report_partition_info(&sub, report, disk);
    if (!rc) continue;
    failed |= s.bit;
    HULD_LOG(HULD_LOG_DEBUG, "%s", s.line);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &sub);
  }
  if (failed) return HULD_ERROR(err, HULD_ERROR_FAILURE, failed, "Drive report is incomplete: %xh", failed);
  return huld_error_clear(err);
}

}  // namespace body

int vornwincom_get_drive_report(huld_error *err, const huld_dev *dev, vornwincom_drive_report *report) {
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&] { return body::vornwincom_get_drive_report(err, dev, report); });
}
int vornwincom_fill_drive_report_boot_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number) {
  return vornwincom::flat_call(err, HULD_MODULE, __func__,
                               [&] { return body::vornwincom_fill_drive_report_boot_info(err, report, disk_number); });
}
int vornwincom_fill_drive_report_disk_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number) {
  return vornwincom_fill_drive_report_disk_info(err, report, disk_number, nullptr);
}
int vornwincom_fill_drive_report_disk_info(huld_error *err, vornwincom_drive_report *report, uint32_t disk_number,
                                           bool *bus_given) {
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&] {
    return body::vornwincom_fill_drive_report_disk_info(err, report, disk_number, bus_given);
  });
}
int vornwincom_fill_drive_report_controller_info(huld_error *err, vornwincom_drive_report *report) {
  return vornwincom::flat_call(err, HULD_MODULE, __func__,
                               [&] { return body::vornwincom_fill_drive_report_controller_info(err, report); });
}
int vornwincom_fill_drive_report_partition_info(huld_error *err, vornwincom_drive_report *report,
                                                uint32_t disk_number) {
  return vornwincom::flat_call(err, HULD_MODULE, __func__,
                               [&] { return body::vornwincom_fill_drive_report_partition_info(err, report, disk_number); });
}

#define HULD_MODULE "vornwincom\\source"
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "vornwincom/WbemHelper.h"
#include "vornwincom/flat_call.h"
#include "vornwincom/system_report.h"
#include "vornwincom/text_field.h"

using vornwincom::store_text;

namespace {

// A text property into a field; no value leaves the field as it is.
template <size_t N>
void store_property(char (&field)[N], const WbemRow &row, const char *name) {
  if (auto text = variant_to_string(*wbem_row_value(row, name))) store_text(field, *text);
}

// The shape of the five list fillers: query, then one entry per row while there is room.
int fill_list(huld_error *err, const char *function, const char *query, const WbemPropertyList &names,
              uint32_t capacity, uint32_t *count, const char *truncated,
              const std::function<void(uint32_t, const WbemRow &)> &write) {
  WbemHelper wbem;
  WbemRows rows;
  if (wbem.get_properties(err, query, names, &rows)) return 1;
  // The count follows every entry as it is written, so that a value the entry refuses (which
  // ends the call through an exception) leaves the count of the entries before it.
  *count = 0;
  for (uint32_t n = 0; n < capacity && n < rows.size(); ++n) {
    write(n, rows[n]);
    *count = n + 1;
  }
  if (rows.size() > capacity) {
    const auto received = static_cast<uint32_t>(rows.size());
    return huld_error_set(err, HULD_ERROR_FAILURE, received, HULD_MODULE, function, __LINE__, truncated, capacity,
                          received);
  }
  return huld_error_clear(err);
}

// Leading decimal digits of a text (0 when there are none).
uint32_t leading_number(const std::string &text) { return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10)); }

}  // namespace

namespace body {

int vornwincom_fill_system_report_gpus(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &part = report->gpus;
  return fill_list(err, __func__, "SELECT * FROM Win32_VideoController", {"Caption"}, 32, &part.count,
                   "System report structure GPUs truncated! (%u/%u)",
                   [&](uint32_t i, const WbemRow &row) { store_property(part.caption[i], row, "Caption"); });
}

int vornwincom_fill_system_report_cpus(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &part = report->cpus;
  return fill_list(err, __func__, "SELECT * FROM Win32_Processor", {"Caption", "Name"}, 32, &part.count,
                   "System report structure CPUs truncated! (%u/%u)", [&](uint32_t i, const WbemRow &row) {
                     store_property(part.entry[i].caption, row, "Caption");
                     store_property(part.entry[i].name, row, "Name");
                   });
}

int vornwincom_fill_system_report_controllers(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &part = report->controllers;
  return fill_list(err, __func__,
                   "SELECT DriverVersion, Description FROM Win32_PnPSignedDriver WHERE ClassGuid = "
                   "'{4d36e96a-e325-11ce-bfc1-08002be10318}' or ClassGuid = '{4d36e97b-e325-11ce-bfc1-08002be10318}'",
                   {"DriverVersion", "Description"}, 128, &part.count,
                   "System report structure controllers truncated! (%u/%u)", [&](uint32_t i, const WbemRow &row) {
                     store_property(part.entry[i].driver_version, row, "DriverVersion");
                     store_property(part.entry[i].description, row, "Description");
                   });
}

int vornwincom_fill_system_report_baseboards(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &part = report->baseboards;
  return fill_list(err, __func__, "SELECT * FROM Win32_BaseBoard", {"Manufacturer", "Product"}, 1, &part.count,
                   "System report structure baseboards truncated! (%u/%u)", [&](uint32_t i, const WbemRow &row) {
                     store_property(part.entry[i].manufacturer, row, "Manufacturer");
                     store_property(part.entry[i].product, row, "Product");
                   });
}

int vornwincom_fill_system_report_rams(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &part = report->rams;
  return fill_list(err, __func__, "SELECT * FROM Win32_PhysicalMemory", {"ConfiguredClockSpeed"}, 64, &part.count,
                   "System report structure RAMs truncated! (%u/%u)", [&](uint32_t i, const WbemRow &row) {
                     if (auto speed = variant_to_u32(*wbem_row_value(row, "ConfiguredClockSpeed")))
                       part.configured_clock_speed[i] = *speed;
                   });
}

int vornwincom_fill_system_report_os_info(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  auto &os = report->os;
  WbemHelper wbem;
  WbemRows rows;
  if (wbem.get_properties(err, "SELECT * FROM Win32_OperatingSystem",
                          {"LastBootUpTime", "name", "version", "ServicePackMajorVersion", "ServicePackMinorVersion",
                           "BuildType"},
                          &rows))
    return 1;
  if (rows.empty())
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Silently failed to get query results for Win32_OperatingSystem");
  if (rows.size() > 1)
    HULD_LOG(HULD_LOG_DEBUG, "Received %u results for Win32_OperatingSystem, ignoring all but the first.",
             static_cast<unsigned>(rows.size()));
  const WbemRow &row = rows[0];

  if (auto boot = variant_to_string(*wbem_row_value(row, "LastBootUpTime"))) {
    struct tm when {};
    char rest = 0;
    const std::string stamp = boot->substr(0, boot->find('.'));
    if (stamp.size() == 14 &&
        std::sscanf(stamp.c_str(), "%4d%2d%2d%2d%2d%2d%c", &when.tm_year, &when.tm_mon, &when.tm_mday, &when.tm_hour,
                    &when.tm_min, &when.tm_sec, &rest) == 6) {
      when.tm_year -= 1900;
      when.tm_mon -= 1;
      when.tm_isdst = -1;
      const time_t booted = std::mktime(&when);
      if (booted != static_cast<time_t>(-1))
        os.hours_since_boot = static_cast<uint64_t>(std::abs(std::difftime(std::time(nullptr), booted)) / 3600);
    }
  }
  if (auto name = variant_to_string(*wbem_row_value(row, "name"))) store_text(os.name, name->substr(0, name->find('|')));
  if (auto version = variant_to_string(*wbem_row_value(row, "version"))) {
    unsigned major = 0, minor = 0, build = 0;
    if (std::sscanf(version->c_str(), "%u.%u.%u", &major, &minor, &build) == 3) {
      os.version_major = major;
      os.version_minor = minor;
      os.version_build = build;
    } else {
      const size_t dot = version->find('.');
      os.version_major = leading_number(version->substr(0, dot));
      os.version_minor = dot == std::string::npos ? 0 : leading_number(version->substr(dot + 1));
      os.version_build = 0;
    }
  }
  if (auto sp = variant_to_u8(*wbem_row_value(row, "ServicePackMajorVersion"))) os.service_pack_major = *sp;
  if (auto sp = variant_to_u8(*wbem_row_value(row, "ServicePackMinorVersion"))) os.service_pack_minor = *sp;
  store_property(os.build_type, row, "BuildType");

  typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, BOOL *);
  if (HMODULE kernel = GetModuleHandleA("kernel32")) {
    auto is_wow64 = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void *>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (is_wow64 && is_wow64(GetCurrentProcess(), &wow64) && wow64) os.wow64 = 1;
  }
  return huld_error_clear(err);
}

int vornwincom_get_system_report(huld_error *err, vornwincom_system_report *report) {
  if (!report) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument.");
  std::memset(report, 0, sizeof *report);
  struct Step {
    int (*fill)(huld_error *, vornwincom_system_report *);
    const char *line;
  } steps[] = {{::vornwincom_fill_system_report_gpus, "Failure collecting GPU data for system report!"},
               {::vornwincom_fill_system_report_cpus, "Failure collecting CPU data for system report!"},
               {::vornwincom_fill_system_report_controllers, "Failure collecting controllers data for system report!"},
               {::vornwincom_fill_system_report_baseboards, "Failure collecting baseboards data for system report!"},
               {::vornwincom_fill_system_report_rams, "Failure collecting RAM data for system report!"},
               {::vornwincom_fill_system_report_os_info, "Failure collecting software data for system report!"}};
  uint32_t failed = 0;
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    huld_error sub{};
    if (!steps[i].fill(&sub, report)) continue;
    failed |= 1u << i;
    HULD_LOG(HULD_LOG_DEBUG, "%s", steps[i].line);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &sub);
  }
  if (failed) return HULD_ERROR(err, HULD_ERROR_FAILURE, failed, "System report is incomplete: %xh", failed);
  return huld_error_clear(err);
}

}  // namespace body

#define VORNWINCOM_SYSTEM_FLAT(name)                                                                  \
  int name(huld_error *err, vornwincom_system_report *report) {                                       \
    return vornwincom::flat_call(err, HULD_MODULE, #name, [&] { return body::name(err, report); }); \
  }
VORNWINCOM_SYSTEM_FLAT(vornwincom_get_system_report)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_gpus)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_cpus)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_controllers)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_baseboards)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_rams)
VORNWINCOM_SYSTEM_FLAT(vornwincom_fill_system_report_os_info)

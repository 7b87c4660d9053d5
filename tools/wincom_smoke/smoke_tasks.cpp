// Scheduled tasks (register, read back, remove one named "orbu-smoke"), the write cache of
// PhysicalDrive0 and the PCIe hardware ids of disk 0.
#include <cstring>
#include <string>

#include "platform/win32.h"
#include "tools/wincom_smoke/smoke.h"
#include "vornwincom/vornwincom_pcie.h"
#include "vornwincom/vornwincom_tasks.h"
#include "vornwincom/vornwincom_write_cache.h"

namespace {

void record(smoke::Out &out, const char *what, int rc, const huld_error &err) {
  out.fact(what, rc);
  if (rc) out.fact((std::string(what) + "_message").c_str(), err.message);
}

void check_tasks(smoke::Out &out) {
  huld_error err{};
  vornwincom_task_request request{};
  std::strcpy(request.name, "orbu-smoke");
  request.remove = 1;
  record(out, "remove_absent", vornwincom_set_scheduled_task(&err, &request), err);
  request.remove = 0;
  request.trigger_type = VORNWINCOM_TASK_TRIGGER_DAILY;
  std::strcpy(request.description, "wincom smoke");
  std::strcpy(request.path, "C:\\windows\\system32\\cmd.exe");
  std::strcpy(request.arguments, "/c exit");
  record(out, "create", vornwincom_set_scheduled_task(&err, &request), err);
  vornwincom_task_info info{};
  record(out, "get", vornwincom_get_scheduled_task(&err, "orbu-smoke", &info), err);
  out.fact("found", info.found);
  if (info.found) out.fact("trigger_type", info.trigger_type);
  request.remove = 1;
  record(out, "remove", vornwincom_set_scheduled_task(&err, &request), err);
  request.remove = 0;
  request.trigger_type = 1;
  record(out, "unsupported", vornwincom_set_scheduled_task(&err, &request), err);
  out.fact("unsupported_code", err.code);
}

void check_cache(smoke::Out &out) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk0");
  dev.conn.handle = CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  out.fact("opened", dev.conn.handle != INVALID_HANDLE_VALUE);
  huld_error err{};
  uint8_t value = 0;
  record(out, "write_caching", vornwincom_get_write_caching(&err, &dev, &value), err);
  if (!err.code) out.fact("write_cache_enabled", value);
  if (dev.conn.handle != INVALID_HANDLE_VALUE) CloseHandle(dev.conn.handle);
  huld_error com{};
  out.fact("initialize_com", vornwincom_default_initialize_com(&com));
  out.fact("uninitialize_com", vornwincom_default_uninitialize_com(&com));
}

void check_pcie(smoke::Out &out) {
  huld_dev dev{};
  std::strcpy(dev.name, "disk0");
  dev.conn.type = 2;  // a disk record
  huld_error err{};
  uint32_t vendor = 0, device = 0;
  record(out, "hardware_ids", vornwincom_get_pcie_hardware_ids(&err, &vendor, &device, &dev), err);
  vornwincom_pcie_link_info link{};
  record(out, "slot", vornwincom_get_pcie_slot_information(&err, &link, &dev), err);
}

}  // namespace

SMOKE_CHECK(tasks, check_tasks);
SMOKE_CHECK(cache, check_cache);
SMOKE_CHECK(pcie, check_pcie);

// Disk write-cache control through the disk class cache requests, and COM start-up.
#define HULD_MODULE "vornwincom\\source"

#include <cstring>

#include "platform/win32.h"
#include "vornwincom/vornwincom_write_cache.h"

namespace {

// COM references this thread holds through vornwincom_default_initialize_com.
thread_local unsigned t_com_references = 0;

// The disk's DISK_CACHE_INFORMATION or DISK_CACHE_SETTING into `out`; TRUE or FALSE.
template <class T>
BOOL read_cache(const huld_dev *dev, DWORD code, T *out) {
  std::memset(out, 0, sizeof *out);
  DWORD returned = 0;
  return DeviceIoControl(dev->conn.handle, code, nullptr, 0, out, sizeof *out, &returned, nullptr);
}
template <class T>
BOOL write_cache(const huld_dev *dev, DWORD code, T *in) {
  DWORD returned = 0;
  return DeviceIoControl(dev->conn.handle, code, in, sizeof *in, nullptr, 0, &returned, nullptr);
}

}  // namespace

int vornwincom_get_write_caching(huld_error *err, const huld_dev *dev, uint8_t *enabled) {
  if (!dev || !enabled) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  DISK_CACHE_INFORMATION info;
  if (!read_cache(dev, IOCTL_DISK_GET_CACHE_INFORMATION, &info))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for getting cache information");
  *enabled = info.WriteCacheEnabled;
  return huld_error_clear(err);
}

int vornwincom_set_write_caching(huld_error *err, const huld_dev *dev, uint8_t enable) {
  if (!dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device");
  DISK_CACHE_INFORMATION info;
  if (!read_cache(dev, IOCTL_DISK_GET_CACHE_INFORMATION, &info))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for getting cache information");
  info.WriteCacheEnabled = enable;
  info.ReadCacheEnabled = 1;
  if (!write_cache(dev, IOCTL_DISK_SET_CACHE_INFORMATION, &info))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for setting cache information");
  return huld_error_clear(err);
}

int vornwincom_get_write_cache_buffer_flushing(huld_error *err, const huld_dev *dev, uint8_t *power_protected) {
  if (!dev || !power_protected)
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device or result");
  DISK_CACHE_SETTING setting;
  if (!read_cache(dev, IOCTL_DISK_GET_CACHE_SETTING, &setting))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for getting cache setting");
  *power_protected = setting.IsPowerProtected;
  return huld_error_clear(err);
}

int vornwincom_set_write_cache_buffer_flushing(huld_error *err, const huld_dev *dev, uint8_t power_protected) {
  if (!dev) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no device");
  DISK_CACHE_SETTING setting;
  if (!read_cache(dev, IOCTL_DISK_GET_CACHE_SETTING, &setting))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for getting cache setting");
  setting.IsPowerProtected = power_protected;
  if (!write_cache(dev, IOCTL_DISK_SET_CACHE_SETTING, &setting))
    return HULD_ERROR(err, HULD_ERROR_FAILURE, GetLastError(),
                      "failed to issue DeviceIoControl for setting cache setting");
  return huld_error_clear(err);
}

int vornwincom_default_initialize_com(huld_error *err) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr == S_FALSE) {
    CoUninitialize();  // the thread was in the apartment already: give back the reference just taken
    return huld_error_clear(err);
  }
  if (hr == RPC_E_CHANGED_MODE) {
    HULD_LOG(HULD_LOG_DEBUG, "ComConnection::initialize() --> CoInitializeEx return RPC_E_CHANGED_MODE\n");
    return huld_error_clear(err);
  }
  if (FAILED(hr)) {
    HULD_LOG(HULD_LOG_DEBUG, "ComConnection::intialize() --> CoInitializeEx failure: %xh\n", (unsigned)hr);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), "Failed to initialize COM (%xh)",
                      (unsigned)hr);
  }
  ++t_com_references;
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                       EOAC_NONE, nullptr);
  return huld_error_clear(err);
}

int vornwincom_default_uninitialize_com(huld_error *err) {
  if (t_com_references > 0) {
    --t_com_references;
    CoUninitialize();
  }
  return huld_error_clear(err);
}

// Windows half of the device-record lifecycle, and the Windows enumeration passes.
#define HULD_MODULE "huld\\windows\\huld_windows_enumerate"

#include "huld/windows/huld_windows_enumerate.h"

#include <cstring>

#include "huld/huld_log.h"

namespace {

// Records that have nothing to open: the controllers are reached through other records, a hub
// only lists what hangs below it.
bool has_nothing_to_open(const huld_dev *dev) {
  return dev->iface == WINDOWS_USB_HUB || dev->conn.type == CONN_USB_HUB ||
         dev->conn.type == CONN_MEGARAID || dev->conn.type == CONN_ADAPTEC;
}

bool is_hub(const huld_dev *dev) {
  return dev->iface == WINDOWS_USB_HUB || dev->conn.type == CONN_USB_HUB;
}

bool is_video(const huld_dev *dev) {
  return dev->iface == WINDOWS_UVC || dev->conn.type == CONN_UVC;
}

// A record owns a handle on its SCSI port whenever it names one (Intel RST disks, CSMI RAID
// members), whatever its driver.
bool owns_port(const huld_dev *dev) { return dev->rst_port_path[0] != '\0'; }

}  // namespace

int huld_windows_handle_is_open(HANDLE h) {
  return h != nullptr && h != INVALID_HANDLE_VALUE ? 1 : 0;
}

HANDLE huld_windows_open_shared(const char *path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

void huld_windows_close_handle(HANDLE *h) {
  if (huld_windows_handle_is_open(*h)) CloseHandle(*h);
  *h = INVALID_HANDLE_VALUE;
}

int huld_windows_dev_open(huld_error *err, huld_dev *dev) {
  if (has_nothing_to_open(dev)) return huld_error_clear(err);
  if (is_video(dev)) return huld_windows_uvc_dev_open(err, dev);

  // Only what is not open yet is opened.
  bool opened_now = false;
  if (!huld_windows_handle_is_open(dev->conn.handle)) {
    HANDLE h = huld_windows_open_shared(dev->conn.path);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      dev->conn.handle = INVALID_HANDLE_VALUE;
      return HULD_ERROR(err, HULD_ERROR_SYSTEM, e, "windows dev open failed, could not open %s",
                        dev->conn.path);
    }
    dev->conn.handle = h;
    opened_now = true;
  }
  if (owns_port(dev) && !huld_windows_handle_is_open(dev->rst_port_handle)) {
    HANDLE h = huld_windows_open_shared(dev->rst_port_path);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      dev->rst_port_handle = INVALID_HANDLE_VALUE;
      if (opened_now) huld_windows_close_handle(&dev->conn.handle);
      return HULD_ERROR(err, HULD_ERROR_SYSTEM, e, "windows dev open failed, could not open %s",
                        dev->rst_port_path);
    }
    dev->rst_port_handle = h;
  }
  return huld_error_clear(err);
}

int huld_windows_dev_close(huld_error *err, huld_dev *dev) {
  if (is_hub(dev)) return huld_error_clear(err);
  if (is_video(dev)) {
    huld_windows_uvc_dev_close(dev);
    return huld_error_clear(err);
  }
  HULD_LOG(HULD_LOG_DEBUG, "closing handle %p\n", dev->conn.handle);
  huld_windows_close_handle(&dev->conn.handle);
  if (owns_port(dev) || huld_windows_handle_is_open(dev->rst_port_handle)) {
    HULD_LOG(HULD_LOG_DEBUG, "closing rst handle %p\n", dev->rst_port_handle);
    huld_windows_close_handle(&dev->rst_port_handle);
  }
  return huld_error_clear(err);
}

int huld_windows_dev_is_open(const huld_dev *dev) {
  if (has_nothing_to_open(dev)) return 1;
  if (dev->iface == WINDOWS_AMD_RAID_ATA || dev->iface == WINDOWS_AMD_RAID_NVME ||
      dev->iface == WINDOWS_AMD_RAID_SCSI) {
    return 1;
  }
  if (is_video(dev)) return dev->uvc_control != nullptr ? 1 : 0;
  if (!huld_windows_handle_is_open(dev->conn.handle)) return 0;
  if (owns_port(dev) && !huld_windows_handle_is_open(dev->rst_port_handle)) return 0;
  return 1;
}

int huld_windows_dev_copy(huld_dev *dest, const huld_dev *src) {
  HULD_LOG(HULD_LOG_DEBUG, "device being copied:\n");
  HULD_LOG(HULD_LOG_DEBUG, "    name: %s\n", src->name);
  HULD_LOG(HULD_LOG_DEBUG, "    handle: %s\n", src->conn.path);

  // The destination never shares the source's handles, whatever happens below.
  dest->conn.handle = INVALID_HANDLE_VALUE;
  dest->rst_port_handle = INVALID_HANDLE_VALUE;
  if (is_video(dest)) dest->uvc_control = nullptr;

  if (huld_windows_handle_is_open(src->conn.handle)) {
    HANDLE h = huld_windows_open_shared(dest->conn.path);
    if (h == INVALID_HANDLE_VALUE) {
      HULD_LOG(HULD_LOG_DEBUG, "copy failed - could not open handle %s\n", dest->conn.path);
      return 1;
    }
    dest->conn.handle = h;
    HULD_LOG(HULD_LOG_DEBUG, "opened new handle handle %ph from %ph\n", h, src->conn.handle);
  }
  if (owns_port(src) && huld_windows_handle_is_open(src->rst_port_handle)) {
    HANDLE h = huld_windows_open_shared(dest->rst_port_path);
    if (h == INVALID_HANDLE_VALUE) {
      HULD_LOG(HULD_LOG_DEBUG, "copy failed - could not open handle %s\n", dest->rst_port_path);
      huld_windows_close_handle(&dest->conn.handle);
      return 1;
    }
    dest->rst_port_handle = h;
    HULD_LOG(HULD_LOG_DEBUG, "opened new rst handle %ph from %ph\n", h, src->rst_port_handle);
  }
  return 0;
}

int huld_windows_dev_cleanup(huld_dev *dev) {
  HULD_LOG(HULD_LOG_DEBUG, "cleaning up windows device\n");
  HULD_LOG(HULD_LOG_DEBUG, "    name: %s\n", dev->name);
  HULD_LOG(HULD_LOG_DEBUG, "    handle: %s\n", dev->conn.path);
  HULD_LOG(HULD_LOG_DEBUG, "    handle: %ph\n", dev->conn.handle);
  if (owns_port(dev)) {
    HULD_LOG(HULD_LOG_DEBUG, "    rst handle: %s\n", dev->rst_port_path);
    HULD_LOG(HULD_LOG_DEBUG, "    rst handle: %ph\n", dev->rst_port_handle);
  }
  huld_windows_dev_close(nullptr, dev);
  return 0;
}

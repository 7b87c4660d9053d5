// Simulated machine: device objects and the path namespace CreateFileA opens.
//
// A device object is registered under one or more paths (aliases); lookups ignore case. Each
// CreateFileA that names it yields a handle of its own (kind "file") bound to the object, and is
// recorded in the open log. DeviceIoControl on such a handle calls the object's ioctl(), unless
// the control code requires access (bits 15:14: 1 read, 2 write) the handle was not opened with:
// that call fails with ERROR_ACCESS_DENIED before the object sees it, as the I/O manager does.
#pragma once
#ifndef _WIN32

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/trace.h"

namespace sim {

// One CreateFileA call, successful or not.
struct OpenRecord {
  uint64_t order = 0;                    // order over the whole run (from 1)
  std::string path;                      // as passed
  std::string device;                    // name of the object opened ("" when none)
  DWORD access = 0;
  DWORD share = 0;
  DWORD disposition = 0;
  DWORD attributes = 0;                  // flags and attributes
  DWORD thread_id = 0;
  HANDLE handle = nullptr;               // INVALID_HANDLE_VALUE when the open failed
  DWORD error = 0;                       // 0 when the open succeeded
};

// One DeviceIoControl as a device object sees it. `in` and `out` may be the same buffer: a
// handler that reads its input after writing output must copy the input first. For a buffered
// control code (METHOD_BUFFERED) the caller gets only the first `bytes_returned` bytes of what
// the handler wrote into `out`, none when it fails: past them DeviceIoControl puts back what the
// caller's buffer held before the call.
struct IoctlCall {
  HANDLE handle = nullptr;
  const OpenRecord *open = nullptr;      // how the handle was opened
  DWORD code = 0;
  const uint8_t *in = nullptr;
  DWORD in_size = 0;
  uint8_t *out = nullptr;
  DWORD out_size = 0;
  DWORD bytes_returned = 0;              // set by the handler
  DWORD error = ERROR_SUCCESS;           // set by the handler when it answers FALSE
  std::vector<FiredFault> faults;        // fired rules other than plain failures, to apply
  TraceEntry *trace = nullptr;           // the trace entry (null when tracing is off)

  BOOL fail(DWORD e) {
    error = e;
    return FALSE;
  }
};

class DeviceObject : public KernelObject {
 public:
  explicit DeviceObject(std::string name = "device") : name_(std::move(name)) {}
  const char *kind() const override { return "device"; }
  const std::string &name() const { return name_; }

  // Answers one request: TRUE, or FALSE with call.error set. May run on several threads at once.
  virtual BOOL ioctl(IoctlCall &call) = 0;
  // Called for each open before the handle exists; a nonzero result refuses the open with that
  // error.
  virtual DWORD on_open(const OpenRecord &) { return ERROR_SUCCESS; }
  // Called when a handle on this object is closed.
  virtual void on_handle_closed(HANDLE) {}

  // Sharing is not enforced unless asked for (device objects on real machines do not).
  std::atomic<bool> enforce_sharing{false};

  size_t open_handle_count() const;

 private:
  friend struct DeviceAccess;
  std::string name_;
  mutable std::mutex opens_lock_;
  struct LiveOpen {
    HANDLE handle;
    DWORD access;
    DWORD share;
  };
  std::vector<LiveOpen> opens_;
};

// A device whose answers come from a function (tests and small fakes).
class FunctionDevice : public DeviceObject {
 public:
  using Handler = std::function<BOOL(IoctlCall &)>;
  FunctionDevice(std::string name, Handler handler)
      : DeviceObject(std::move(name)), handler_(std::move(handler)) {}
  BOOL ioctl(IoctlCall &call) override { return handler_ ? handler_(call) : call.fail(ERROR_INVALID_FUNCTION); }

 private:
  Handler handler_;
};

// Registers `device` under every path in `paths` (aliases of one object). A path already in
// use is taken over by the new object.
void register_device(std::shared_ptr<DeviceObject> device, const std::vector<std::string> &paths);
void add_device_alias(const std::string &path, const std::shared_ptr<DeviceObject> &device);
bool unregister_path(const std::string &path);
// Removes every path (open handles keep their objects until closed).
void clear_devices();
std::shared_ptr<DeviceObject> find_device(const std::string &path);
// The paths naming `device`, in registration order, as registered.
std::vector<std::string> device_paths(const DeviceObject *device);

// The device object and the open record behind a handle from CreateFileA.
std::shared_ptr<DeviceObject> device_for_handle(HANDLE h);
std::optional<OpenRecord> open_record_for_handle(HANDLE h);

// Every CreateFileA so far, in order.
std::vector<OpenRecord> open_log();
void open_log_clear();

}  // namespace sim

#endif  // _WIN32

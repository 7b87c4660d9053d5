// The device namespace: paths (aliases, any case) to device objects, the handles CreateFileA
// gives on them, the open log, and the dispatch of DeviceIoControl.
#include "sim/device.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "sim/machine.h"

namespace sim {

struct DeviceAccess {
  static void add_open(DeviceObject &d, HANDLE h, DWORD access, DWORD share) {
    std::lock_guard<std::mutex> g(d.opens_lock_);
    d.opens_.push_back({h, access, share});
  }
  static void remove_open(DeviceObject &d, HANDLE h) {
    std::lock_guard<std::mutex> g(d.opens_lock_);
    d.opens_.erase(std::remove_if(d.opens_.begin(), d.opens_.end(),
                                  [&](const DeviceObject::LiveOpen &o) { return o.handle == h; }),
                   d.opens_.end());
  }
  // Would an open with `access` and `share` conflict with the opens that exist?
  static bool sharing_conflict(DeviceObject &d, DWORD access, DWORD share) {
    const DWORD kRead = GENERIC_READ | GENERIC_ALL | 0x0001;             // FILE_READ_DATA
    const DWORD kWrite = GENERIC_WRITE | GENERIC_ALL | 0x0002 | 0x0004;  // FILE_WRITE/APPEND_DATA
    std::lock_guard<std::mutex> g(d.opens_lock_);
    for (const auto &o : d.opens_) {
      if ((access & kRead) && !(o.share & FILE_SHARE_READ)) return true;
      if ((access & kWrite) && !(o.share & FILE_SHARE_WRITE)) return true;
      if ((o.access & kRead) && !(share & FILE_SHARE_READ)) return true;
      if ((o.access & kWrite) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
  }
};

size_t DeviceObject::open_handle_count() const {
  std::lock_guard<std::mutex> g(opens_lock_);
  return opens_.size();
}

namespace {

std::string lower(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

struct PathEntry {
  std::string path;  // as registered
  uint64_t order;
  std::shared_ptr<DeviceObject> device;
};

struct Namespace {
  std::mutex lock;
  std::map<std::string, PathEntry> by_path;  // key: lower-case path
  uint64_t next_order = 1;
  std::vector<OpenRecord> open_log;
  uint64_t next_open = 1;
};

Namespace &ns() {
  static Namespace *n = new Namespace;
  return *n;
}

std::atomic<uint64_t> g_next_request{1};

// What a handle from CreateFileA names: one open of a device object.
class FileObject : public KernelObject {
 public:
  FileObject(std::shared_ptr<DeviceObject> device, OpenRecord record)
      : device(std::move(device)), record(std::move(record)) {}
  const char *kind() const override { return "file"; }
  void on_close() override {
    DeviceAccess::remove_open(*device, record.handle);
    device->on_handle_closed(record.handle);
  }

  const std::shared_ptr<DeviceObject> device;
  OpenRecord record;  // handle filled in once known, then constant
};

// Does an open with `access` grant what control code `code` requires? Read: GENERIC_READ,
// GENERIC_ALL, MAXIMUM_ALLOWED or FILE_READ_DATA; write: GENERIC_WRITE, GENERIC_ALL,
// MAXIMUM_ALLOWED or FILE_WRITE_DATA.
bool access_covers(DWORD access, DWORD code) {
  const DWORD required = (code >> 14) & 3;
  const bool read = (access & (0x80000000u | 0x10000000u | 0x02000000u | 0x0001u)) != 0;
  const bool write = (access & (0x40000000u | 0x10000000u | 0x02000000u | 0x0002u)) != 0;
  if ((required & 1) && !read) return false;
  if ((required & 2) && !write) return false;
  return true;
}

void log_open(const OpenRecord &r) {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  n.open_log.push_back(r);
}

}  // namespace

void register_device(std::shared_ptr<DeviceObject> device, const std::vector<std::string> &paths) {
  for (const auto &p : paths) add_device_alias(p, device);
}

void add_device_alias(const std::string &path, const std::shared_ptr<DeviceObject> &device) {
  if (!device || path.empty()) return;
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  n.by_path[lower(path)] = PathEntry{path, n.next_order++, device};
}

bool unregister_path(const std::string &path) {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  return n.by_path.erase(lower(path)) != 0;
}

void clear_devices() {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  n.by_path.clear();
}

std::shared_ptr<DeviceObject> find_device(const std::string &path) {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  auto it = n.by_path.find(lower(path));
  return it == n.by_path.end() ? nullptr : it->second.device;
}

std::vector<std::string> device_paths(const DeviceObject *device) {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  std::vector<const PathEntry *> found;
  for (const auto &[key, entry] : n.by_path)
    if (entry.device.get() == device) found.push_back(&entry);
  std::sort(found.begin(), found.end(),
            [](const PathEntry *a, const PathEntry *b) { return a->order < b->order; });
  std::vector<std::string> out;
  for (const PathEntry *e : found) out.push_back(e->path);
  return out;
}

std::shared_ptr<DeviceObject> device_for_handle(HANDLE h) {
  auto f = handle_lookup_as<FileObject>(h);
  return f ? f->device : nullptr;
}

std::optional<OpenRecord> open_record_for_handle(HANDLE h) {
  auto f = handle_lookup_as<FileObject>(h);
  if (!f) return std::nullopt;
  return f->record;
}

std::vector<OpenRecord> open_log() {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  return n.open_log;
}

void open_log_clear() {
  Namespace &n = ns();
  std::lock_guard<std::mutex> g(n.lock);
  n.open_log.clear();
}

namespace internal {

void reset_devices() {
  clear_devices();
  open_log_clear();
  clear_faults();
  trace_clear();
  trace_enable(true);
  contract_violations_clear();
}

HANDLE device_open(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  OpenRecord r;
  {
    Namespace &n = ns();
    std::lock_guard<std::mutex> g(n.lock);
    r.order = n.next_open++;
  }
  r.path = path != nullptr ? path : "";
  r.access = access;
  r.share = share;
  r.disposition = disposition;
  r.attributes = attributes;
  r.thread_id = current_thread_id();
  r.handle = INVALID_HANDLE_VALUE;

  auto fail = [&](DWORD error) {
    r.error = error;
    log_open(r);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  };

  if (path == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (*path == '\0') return fail(ERROR_PATH_NOT_FOUND);
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return fail(ERROR_INVALID_PARAMETER);

  std::shared_ptr<DeviceObject> device = find_device(r.path);
  if (device) r.device = device->name();

  FaultQuery q;
  q.op = FaultOp::open;
  q.path = r.path;
  if (device) q.aliases = device_paths(device.get());
  for (const FiredFault &f : check_faults(q))
    if (f.action.kind == FaultAction::fail) return fail(f.action.error);

  if (!device) return fail(ERROR_FILE_NOT_FOUND);
  if (device->enforce_sharing && DeviceAccess::sharing_conflict(*device, access, share))
    return fail(ERROR_SHARING_VIOLATION);
  if (DWORD refused = device->on_open(r); refused != ERROR_SUCCESS) return fail(refused);

  auto file = std::make_shared<FileObject>(device, r);
  HANDLE h = handle_add(file);
  file->record.handle = h;
  r.handle = h;
  DeviceAccess::add_open(*device, h, access, share);
  log_open(r);
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL device_ioctl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                  LPDWORD bytes_returned, bool overlapped, DWORD *bytes_out) {
  const bool tracing = trace_on();
  TraceEntry entry;
  entry.seq = g_next_request.fetch_add(1);
  entry.time_ms = virtual_now_ms();
  entry.thread_id = current_thread_id();
  entry.handle = h;
  entry.control_code = code;
  entry.output_size = out_size;
  entry.overlapped = overlapped;
  if (tracing && in != nullptr && in_size > 0) {
    const uint8_t *p = static_cast<const uint8_t *>(in);
    entry.input.assign(p, p + in_size);
  }

  auto finish = [&](BOOL result, DWORD error, DWORD returned) {
    if (bytes_returned != nullptr) *bytes_returned = returned;
    *bytes_out = returned;
    entry.result = result;
    entry.error = result ? 0 : error;
    entry.bytes_returned = returned;
    if (tracing) {
      if (result && out != nullptr && returned > 0) {
        const uint8_t *p = static_cast<const uint8_t *>(out);
        entry.output.assign(p, p + returned);
      }
      trace_append(std::move(entry));
    }
    if (!result) SetLastError(error);
    return result;
  };

  auto file = handle_lookup_as<FileObject>(h);
  if (!file) return finish(FALSE, ERROR_INVALID_HANDLE, 0);
  entry.path = file->record.path;
  if (bytes_returned == nullptr && !overlapped) return finish(FALSE, ERROR_INVALID_PARAMETER, 0);
  if ((in == nullptr && in_size > 0) || (out == nullptr && out_size > 0))
    return finish(FALSE, ERROR_NOACCESS, 0);
  // The I/O manager refuses a control code whose required access (bits 15:14: 1 read, 2 write)
  // the handle was not opened with, before any driver sees the request.
  if (!access_covers(file->record.access, code)) return finish(FALSE, ERROR_ACCESS_DENIED, 0);

  IoctlCall call;
  call.handle = h;
  call.open = &file->record;
  call.code = code;
  call.in = static_cast<const uint8_t *>(in);
  call.in_size = in_size;
  call.out = static_cast<uint8_t *>(out);
  call.out_size = out_size;
  call.trace = tracing ? &entry : nullptr;

  FaultQuery q;
  q.op = FaultOp::ioctl;
  q.path = file->record.path;
  q.aliases = device_paths(file->device.get());
  q.handle = h;
  q.control_code = code;
  for (FiredFault &f : check_faults(q)) {
    entry.fired_faults.push_back(f.rule_id);
    if (f.action.kind == FaultAction::fail) return finish(FALSE, f.action.error, 0);
    call.faults.push_back(std::move(f));
  }

  // What the caller's output buffer holds before the device writes into it (with input and
  // output in one buffer, the input where they overlap).
  const bool buffered = (code & 3) == METHOD_BUFFERED;
  std::vector<uint8_t> held;
  if (buffered && out != nullptr && out_size > 0) {
    const uint8_t *p = static_cast<const uint8_t *>(out);
    held.assign(p, p + out_size);
  }

  BOOL result = file->device->ioctl(call) ? TRUE : FALSE;
  if (call.bytes_returned > out_size) {
    contract_violation("device \"" + file->device->name() + "\" answered " +
                       std::to_string(call.bytes_returned) + " bytes into a " +
                       std::to_string(out_size) + "-byte output buffer");
    call.bytes_returned = out_size;
  }
  if (!result && call.error == ERROR_SUCCESS) call.error = ERROR_GEN_FAILURE;
  if (buffered) {
    // The device answered into the I/O manager's system buffer, of which only the bytes
    // returned reach the caller, and only when the request succeeded or ended with a warning
    // (STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA, FALSE with its count); after an error nothing
    // is copied and the count is 0. The rest of the caller's buffer keeps what it held.
    if (!result && call.error != ERROR_MORE_DATA) call.bytes_returned = 0;
    if (!held.empty())
      std::memcpy(static_cast<uint8_t *>(out) + call.bytes_returned, held.data() + call.bytes_returned,
                  out_size - call.bytes_returned);
  }
  return finish(result, call.error, call.bytes_returned);
}

}  // namespace internal
}  // namespace sim

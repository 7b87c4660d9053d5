// The handle table: one process-wide map from handle values to kernel objects.
//
// Values are multiples of 4 from 0x100 upwards and are never reused, so a stale handle can never
// name a newer object; 0 and INVALID_HANDLE_VALUE are never produced.
#include "sim/handles.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "platform/win_kernel.h"

namespace sim {

DWORD KernelObject::wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> handles;
  std::unordered_map<const KernelObject *, size_t> per_object;
  uintptr_t next = 0x100;
  size_t bad_closes = 0;
  std::vector<std::string> bad_close_log;
};

Table &table() {
  // Never destroyed: objects may be closed by threads still running at process exit.
  static Table *t = new Table;
  return *t;
}

std::string describe(const char *kind, uintptr_t value) {
  char buf[64];
  snprintf(buf, sizeof buf, "@%#llx", static_cast<unsigned long long>(value));
  return std::string(kind) + buf;
}

}  // namespace

HANDLE handle_add(std::shared_ptr<KernelObject> object) {
  if (!object) return nullptr;
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.per_object[object.get()]++;
  t.handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> handle_lookup(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.handles.find(reinterpret_cast<uintptr_t>(h));
  return it == t.handles.end() ? nullptr : it->second;
}

bool handle_remove(HANDLE h) {
  Table &t = table();
  std::shared_ptr<KernelObject> object;
  bool last = false;
  {
    std::lock_guard<std::mutex> g(t.lock);
    auto it = (h == nullptr || h == INVALID_HANDLE_VALUE)
                  ? t.handles.end()
                  : t.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.handles.end()) {
      t.bad_closes++;
      t.bad_close_log.push_back(describe("bad close", reinterpret_cast<uintptr_t>(h)));
      return false;
    }
    object = std::move(it->second);
    t.handles.erase(it);
    auto po = t.per_object.find(object.get());
    if (po != t.per_object.end() && --po->second == 0) {
      t.per_object.erase(po);
      last = true;
    }
  }
  // Outside the table lock: on_close may close further handles or wake waiters.
  if (last) object->on_close();
  return true;
}

size_t handle_open_count() {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.handles.size();
}

size_t handle_bad_close_count() {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.bad_closes;
}

std::vector<std::string> handle_describe_open() {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  std::vector<std::string> out;
  for (const auto &[value, object] : t.handles) out.push_back(describe(object->kind(), value));
  return out;
}

std::vector<std::string> handle_bad_close_log() {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.bad_close_log;
}

size_t handle_count_for(const KernelObject *object) {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.per_object.find(object);
  return it == t.per_object.end() ? 0 : it->second;
}

}  // namespace sim

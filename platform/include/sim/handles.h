// Simulated machine: the handle table shared by every kernel object of the stand-in.
#pragma once
#ifndef _WIN32

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

// Anything a HANDLE can name: files, mutexes, threads, processes, pipes, device objects.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Short kind name for diagnostics ("mutex", "thread", "process", "pipe", "device", ...).
  virtual const char *kind() const = 0;
  // Waits up to timeout_ms of machine time (INFINITE waits forever; see the virtual clock in
  // sim/machine.h). Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED or WAIT_FAILED. Objects that
  // cannot be waited on return WAIT_FAILED.
  virtual DWORD wait(DWORD timeout_ms);
  // Called once when the last handle naming the object is closed.
  virtual void on_close() {}
};

// Adds an object and returns a fresh handle value (never 0, never INVALID_HANDLE_VALUE).
HANDLE handle_add(std::shared_ptr<KernelObject> object);
// The object a handle names, or null for 0, INVALID_HANDLE_VALUE, closed or unknown handles.
std::shared_ptr<KernelObject> handle_lookup(HANDLE h);
template <class T>
std::shared_ptr<T> handle_lookup_as(HANDLE h) {
  return std::dynamic_pointer_cast<T>(handle_lookup(h));
}
// Removes a handle; false (and a recorded bad close) for 0, INVALID_HANDLE_VALUE, closed or
// unknown handles.
bool handle_remove(HANDLE h);
// Accounting for tests: handles open now, and closes of handles that were not open.
size_t handle_open_count();
size_t handle_bad_close_count();
// Diagnostics: "kind@handle" of every open handle, and of every bad close so far (in order).
std::vector<std::string> handle_describe_open();
std::vector<std::string> handle_bad_close_log();
// Handles naming the given object right now.
size_t handle_count_for(const KernelObject *object);

}  // namespace sim

#endif  // _WIN32

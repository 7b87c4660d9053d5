// Internal interfaces between the kernel parts of the stand-in (not for tests, but for the few
// entries that say so).
#pragma once

#include <functional>
#include <string>

#include "sim/trace.h"

#include "platform/win_types.h"

namespace sim::internal {

// Thread identity: our own ids, never reused during a run.
DWORD current_thread_id();
void set_current_thread_id(DWORD id);
DWORD allocate_thread_id();

// A CreateThread thread and the clock: counted as running from its creation (created), then a
// participant while its routine runs (begins .. ends); not_started when it could not be started.
void clock_thread_created();
void clock_thread_not_started();
void clock_thread_begins();
void clock_thread_ends();

// For tests of the clock's watchdog, the thread that runs the stuck handler
// (sim::set_clock_stuck_handler). `observer` runs on that thread, without the clock's lock, after
// each of its looks at a run that can never go on that did not call the handler; null removes it.
void set_clock_stuck_look_observer(std::function<void()> observer);
// True when the watchdog has nothing left to look at: it never started, or it waits until
// something wakes it and nothing has since it last looked.
bool clock_watchdog_settled();

// Marks every mutex the calling thread owns as abandoned (its thread is ending).
void abandon_owned_mutexes();

// "n-th call" counters behind the application knobs; each returns the new count.
int count_mutex_create();
int count_thread_create();
int count_mutex_wait();

// Resets of the kernel parts, run by reset_machine().
void reset_kernel_counters();
void reset_devices();
void reset_registry();
void registry_add_winpe_key();
// A registry path with its predefined root spelled out ("HKLM\\x" -> "HKEY_LOCAL_MACHINE\\x");
// empty when it does not start with a predefined key.
std::string registry_canonical_path(const std::string &path);

// Request trace.
bool trace_on();
void trace_append(TraceEntry &&entry);

// Device namespace, behind CreateFileA and DeviceIoControl (both set the last error).
HANDLE device_open(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD attributes);
BOOL device_ioctl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                  LPDWORD bytes_returned, bool overlapped, DWORD *bytes_out);

}  // namespace sim::internal

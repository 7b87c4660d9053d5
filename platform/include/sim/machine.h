// Simulated machine: the description a test (or the native tool) runs on, its virtual clock, its
// registry, and the resource accounting tests use to find leaks.
#pragma once
#ifndef _WIN32

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

// ---- Application-facing knobs and faults (thread, mutex, window, module path) --------------------

struct AppKnobs {
  std::string module_path;            // own executable path; empty: the real one (/proc/self/exe)
  bool module_path_truncated = false; // GetModuleFileNameA answers a truncated path (return = size)
  int fail_mutex_create_at = 0;       // the n-th CreateMutexA fails (1-based; 0 never)
  int fail_thread_create_at = 0;      // the n-th CreateThread fails (1-based; 0 never)
  bool fail_register_class = false;   // RegisterClassExA fails
  bool fail_create_window = false;    // CreateWindowExA of a top-level window fails
  bool no_show_window_message = false;// ShowWindow sends no WM_SHOWWINDOW (minimised/hidden start)
  // Waits on mutexes (WaitForSingleObject on a mutex handle), counted from 1 across all mutexes:
  int fail_mutex_wait_at = 0;         // the n-th wait answers WAIT_FAILED (0 never)
  int fail_mutex_wait_from = 0;       // every wait from the n-th on answers WAIT_FAILED (0 never)
  int abandon_mutex_wait_at = 0;      // the n-th wait acquires the mutex and answers WAIT_ABANDONED
  // Calendar clock: when >= 0, localtime_s converts this time (seconds since 1970, as UTC)
  // instead of the time it is given, so that time stamps are reproducible.
  int64_t fixed_calendar_time = -1;
};

// The knobs of the machine in use (one per process). Loading or resetting a machine resets them.
AppKnobs &app_knobs();

// Counters behind the "n-th call" knobs (reset with the machine).
struct AppCounters {
  int mutex_creates = 0;
  int thread_creates = 0;
  int mutex_waits = 0;
};
AppCounters app_counters();

// ---- Operating system --------------------------------------------------------------------------

struct OsInfo {
  DWORD major = 10;
  DWORD minor = 0;
  DWORD build = 19045;
  DWORD platform_id = 2;             // VER_PLATFORM_WIN32_NT
  WORD service_pack_major = 0;
  WORD service_pack_minor = 0;
  WORD suite_mask = 0x0100;          // single-user terminal services, as a desktop reports
  BYTE product_type = 1;             // 1 workstation, 2 domain controller, 3 server
  bool winpe = false;                // the WinPE key exists in the registry
};

// The operating system of the machine in use. Changing `winpe` directly does not add or remove
// the registry key; use set_machine_os.
const OsInfo &machine_os();
void set_machine_os(const OsInfo &os);

// Registry path of the WinPE key.
extern const char *const kWinPeKeyPath;  // "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE"

// ---- Machine description -----------------------------------------------------------------------
//
// A machine is described in JSON:
//   {
//     "name": "win81",
//     "description": "...",                          (free text)
//     "os": { "major": 6, "minor": 3, "build": 9600, "service_pack_major": 0,
//             "service_pack_minor": 0, "product_type": "workstation" | "server" |
//             "domain_controller" | 1..3, "suite_mask": 256, "winpe": false },
//     "registry": [ { "key": "HKLM\\SOFTWARE\\...", "values": [
//         { "name": "DriverDesc", "type": "REG_SZ", "data": "text", "nul": true },
//         { "name": "Flags", "type": "REG_DWORD", "data": 5 },
//         { "name": "Blob", "type": "REG_BINARY", "data": "00 01 ff" },
//         { "name": "List", "type": "REG_MULTI_SZ", "data": ["a", "b"] } ] } ],
//     "app": { "module_path": "...", "module_path_truncated": false, "fail_mutex_create_at": 0,
//              "fail_thread_create_at": 0, "fail_mutex_wait_at": 0, "fail_mutex_wait_from": 0,
//              "abandon_mutex_wait_at": 0, "fixed_calendar_time": -1, "fail_register_class": false,
//              "fail_create_window": false, "no_show_window_message": false },
//     "faults": [ rules ],                            (sim/run_outputs.h; loaded after the rest)
//     "ui": [ steps ],                                (sim/run_outputs.h)
//     "devices": [ ... ]                              (the device tree: sim/devtree.h)
//   }
// Every section is optional. Unknown fields are errors at every level, the top level included:
// the known top-level keys are the ones above plus every registered section (storage, ...).
// Sections load in this order: os, registry, app, devices, then the registered sections in the
// order of registration (storage first), so that they may link to devnodes; "faults" last, so that
// its rules may name what the other sections made.

// Loads a machine from a file / from JSON text, replacing the machine in use (everything is reset
// first). Throws std::runtime_error with the reason (and the file name) on a bad description;
// the machine is then the reset default.
void load_machine_file(const std::string &path);
void load_machine_json(const std::string &text);
// The built-in default machine: Windows 10 workstation, no WinPE, no devices.
void use_default_machine();
// Path of a shipped description in platform/machines ("winpe" or "winpe.json").
std::string machine_file_path(const std::string &name);
// Resets everything (knobs, counters, OS, registry, devices, faults, trace, open log, contract
// violations) to the default machine. Open handles stay open (they are the test's to close).
void reset_machine();
// Name and full description of the machine in use (null JSON for the built-in default).
std::string machine_name();
const nlohmann::json &machine_description();

// A later part of the machine (devices, drives, ...) registers the loader of its top-level
// section. `load` gets the section's JSON and throws std::runtime_error on a bad one; `reset`
// runs on every reset. Registering the same key again replaces the handlers.
void register_machine_section(const std::string &key,
                              std::function<void(const nlohmann::json &)> load,
                              std::function<void()> reset);
// A hook run on every reset, for parts without a section of their own.
void register_reset_hook(const std::string &name, std::function<void()> reset);
// A hook run at the start of every reset, before anything is reset (to observe the machine as the
// reset finds it, e.g. the counters a reset clears).
void register_before_reset_hook(const std::string &name, std::function<void()> observe);

// ---- Virtual clock -------------------------------------------------------------------------------
//
// The machine has its own clock, in milliseconds (it starts an hour after boot). It never follows
// real time: it moves only when every participating thread is blocked in a stand-in wait, and then
// jumps straight to the earliest deadline among those waits and wakes the one thread whose deadline
// it is. Threads with the same deadline wake one at a time, in the order they started waiting, each
// once all the others are blocked again. Nothing waits in real time for machine time, so runs with
// 100 ms and 500 ms polls and join time-outs take no real time and always see the same times.
//
// Participants (who must be blocked for time to move):
// - every thread started by CreateThread/_beginthreadex, from CreateThread until its routine has
//   returned (a suspended thread counts as blocked);
// - every thread that holds a SimulatedThread guard (the thread running the program's entry, or a
//   test body that runs program code which creates threads and sleeps);
// - any other thread while it is inside a stand-in wait (Sleep, WaitForSingleObject, GetMessageA,
//   SendMessageA to another thread, machine_wait, wait_for_threads): it is then a blocked
//   participant, so a test thread that sleeps simply moves the clock on.
// A participant counts as blocked only inside a stand-in wait. A participant that blocks outside
// the stand-in (a plain std::thread join, a std::mutex, a pipe) would hold the clock for ever; after
// a short while without any clock activity the clock looks at the operating system's view of such
// threads and, when each of them has been asleep (not running, not in disk I/O) for three looks in
// a row, counts them as blocked and moves on (clock_stats().stalls counts it). A thread that is not
// a participant never holds the clock and never makes it move.
// When every participant waits without a deadline (a deadlock), the clock stays where it is and
// they stay waiting (clock_stats().deadlocks counts it), unless a stuck handler is set (below).
// The test-driver waits of sim/window.h (wait_until, wait_for_window_class, system_close, send)
// are bounded in real time (a safety bound, never a result): the test thread observes the machine
// from outside and is not a participant in them.

uint64_t virtual_now_ms();
// Moves the clock forward (for tests that need time to pass without sleeping).
void advance_virtual_clock(uint64_t ms);

struct ClockWaiter;  // internal

// A condition the stand-in's objects wait on: notify_all makes every thread waiting on it (through
// machine_wait) runnable for the clock at once, so that time does not move before they have run.
// `raw()` is notified too, for real-time observers (test-driver waits).
class MachineCondition {
 public:
  MachineCondition() = default;
  MachineCondition(const MachineCondition &) = delete;
  MachineCondition &operator=(const MachineCondition &) = delete;
  void notify_all();
  void notify_one() { notify_all(); }  // every waiter re-checks its predicate
  std::condition_variable &raw() { return raw_; }

 private:
  friend struct ClockAccess;
  std::condition_variable raw_;
  std::vector<ClockWaiter *> waiters_;  // guarded by the clock's lock
};

// Sleeps `ms` of machine time (0: yields, INFINITE: for ever).
void machine_sleep(DWORD ms);
// Waits on `cond` until `pred` holds or `timeout_ms` of machine time (INFINITE: no deadline) have
// passed. Returns pred(). `lock` must hold the mutex that guards the predicate; whoever changes
// the predicate's state calls cond.notify_all().
bool machine_wait(MachineCondition &cond, std::unique_lock<std::mutex> &lock, DWORD timeout_ms,
                  const std::function<bool()> &pred);

// Makes the calling thread a participant for its lifetime (nestable). Hold it while running
// program code (the entry, a test body that starts threads and sleeps) outside CreateThread.
class SimulatedThread {
 public:
  SimulatedThread();
  ~SimulatedThread();
  SimulatedThread(const SimulatedThread &) = delete;
  SimulatedThread &operator=(const SimulatedThread &) = delete;
};
// True while the calling thread is a participant outside any wait: it runs under a
// SimulatedThread guard or is a CreateThread thread.
bool takes_part_in_clock();

// A run that can never go on: every participant waits without a deadline and no thread is
// starting, so nothing inside the machine will ever wake one of them again. When that state stays,
// unchanged, for a few tenths of a second of real time, `handler` runs once, on a thread of the
// clock's own, without any lock of the machine held. Null (the default) turns it off: a test that
// acts on the windows from outside the clock ends such waits itself. The native tool sets one
// (sim/run_outputs.h: end_run_when_stuck).
void set_clock_stuck_handler(std::function<void()> handler);

struct ClockStats {
  uint64_t advances = 0;   // jumps of the clock to a deadline
  uint64_t deadlocks = 0;  // times every participant waited without a deadline
  uint64_t stalls = 0;     // times participants blocked outside the stand-in were passed over
};
ClockStats clock_stats();

// ---- Threads -------------------------------------------------------------------------------------

// Threads started by CreateThread/_beginthreadex whose routine has not returned yet.
size_t running_thread_count();
// Waits (machine time) until no such thread runs; true when none does.
bool wait_for_threads(DWORD timeout_ms);

// ---- Registry ------------------------------------------------------------------------------------

struct RegValue {
  std::string name;
  DWORD type = 1;                    // REG_SZ
  std::vector<uint8_t> data;         // stored bytes, strings with or without their NUL
};

// Full paths start with a root: "HKEY_LOCAL_MACHINE" / "HKLM", "HKEY_CLASSES_ROOT" / "HKCR",
// "HKEY_CURRENT_USER" / "HKCU", "HKEY_USERS" / "HKU". Names compare without regard to case.
void registry_add_key(const std::string &path);          // with its ancestors
bool registry_delete_key(const std::string &path);       // with its sub-keys
bool registry_key_exists(const std::string &path);
// Adds a value at the end of the key's list, or replaces the value of that name in place.
void registry_set_value(const std::string &key_path, const RegValue &value);
// String data: with the trailing NUL when `with_nul`.
RegValue reg_sz(const std::string &name, const std::string &text, bool with_nul = true);
RegValue reg_dword(const std::string &name, uint32_t value);
RegValue reg_binary(const std::string &name, const std::vector<uint8_t> &bytes);
RegValue reg_multi_sz(const std::string &name, const std::vector<std::string> &items);
// Opens a key by full path for other parts of the stand-in (e.g. a device's driver key). The
// key counts as open until RegCloseKey; null when the key does not exist.
HKEY registry_open_path(const std::string &path);
size_t registry_open_key_count();

// A registry value as the "registry" section writes it ({ "name", "type", "data", "nul" }), for
// other sections that hold registry values. Throws std::runtime_error naming `where`.
RegValue parse_registry_value(const nlohmann::json &j, const std::string &where);

// ---- Resource accounting -------------------------------------------------------------------------

// Other parts of the stand-in add their own counters (device-information sets, COM objects,
// BSTRs); a counter registered again under the same name replaces the old one.
void register_resource_counter(const std::string &name, std::function<size_t()> count);

// Counters at one moment: "handles" (open), "bad_closes", "registry_keys" (open),
// "contract_violations", "devinfo_sets" (open), "devinfo_bad_destroys", plus every registered
// counter.
struct ResourceSnapshot {
  std::map<std::string, size_t> counts;

  static ResourceSnapshot take();
  size_t operator[](const std::string &name) const;
  // Empty when every counter is back to the value in `before`; otherwise one line per change,
  // e.g. "handles: 3 -> 4".
  std::string changes_since(const ResourceSnapshot &before) const;
};

}  // namespace sim

#endif  // _WIN32

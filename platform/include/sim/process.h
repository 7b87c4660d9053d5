// Simulated machine: fake dynamic libraries and scripted child processes (test API).
#pragma once
#ifndef _WIN32

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/win_process.h"

namespace sim {

// ---- Libraries ----------------------------------------------------------------------------------

// Registers a library that LoadLibraryExA finds by file name (compared ignoring case, for example
// "FAKEVENDOR.DLL") with its named exports (names compared exactly). Registering a name again
// replaces its exports.
void register_module(const std::string &file_name,
                     const std::vector<std::pair<std::string, FARPROC>> &exports);
// File names given to LoadLibraryExA, in call order (also the rejected ones).
std::vector<std::string> library_load_history();
// Loads that have not been freed yet (over every module).
size_t library_loaded_count();
// FreeLibrary calls on a handle that was not loaded.
size_t library_bad_free_count();

// ---- Child processes ----------------------------------------------------------------------------

// One write of a child to its standard output, at a virtual time after its start.
struct ChildWrite {
  uint64_t at_ms = 0;
  std::string bytes;
};

// What a child started by CreateProcessA does. Times run on the machine's virtual clock
// (GetTickCount64, advanced by Sleep).
struct ChildScript {
  std::vector<ChildWrite> writes;  // in time order
  uint32_t exit_code = 0;
  uint64_t exit_after_ms = 0;  // virtual time from the start to the exit
  bool never_exits = false;    // runs until terminated
  // Written at the very moment of the exit: they only reach the pipe when the parent's exit check
  // (GetExitCodeProcess or a wait on the process) sees the child end, so a reader that stops as
  // soon as it sees the exit loses them.
  std::string last_bytes;
};

// Registers the child that CreateProcessA starts for the program this command line names (its
// first token as Windows reads it: a quoted path, or the text up to the first blank; whatever
// follows is ignored), whatever arguments it is started with. A command line quoted whole names a
// program whose name holds the arguments, which is not found. Registering a program again
// replaces its script.
void register_child(const std::string &command_line, const ChildScript &script);

// Faults.
struct ProcessFaults {
  bool fail_create_pipe = false;     // CreatePipe fails (ERROR_NOT_ENOUGH_MEMORY)
  bool fail_create_process = false;  // CreateProcessA fails (ERROR_ACCESS_DENIED)
};
ProcessFaults &process_faults();

// What one CreateProcessA call asked for and what became of the child.
struct ProcessRecord {
  std::string command_line;        // lpCommandLine as given
  std::string program;             // the program it names (unquoted), or lpApplicationName
  std::string arguments;           // the text after the program and the blanks that follow it
  bool application_name_given = false;
  bool inherit_handles = false;
  uint32_t creation_flags = 0;
  uint32_t startup_flags = 0;      // STARTUPINFOA.dwFlags
  bool stdin_invalid = false;      // hStdInput was INVALID_HANDLE_VALUE or null
  bool stdout_to_pipe = false;     // hStdOutput was an inheritable pipe write end (the child writes there)
  bool stderr_to_pipe = false;     // the same for hStdError
  bool read_end_inherited = false; // an inheritable pipe read end existed at the start
  bool started = false;            // a registered child was started
  // A read or peek on the child's pipe happened while the parent still held the write end.
  bool parent_write_end_open_while_reading = false;
  bool terminated = false;
  uint32_t terminate_exit_code = 0;
};
std::vector<ProcessRecord> process_history();

// LoadLibraryExA calls with flags other than LOAD_LIBRARY_SEARCH_SYSTEM32 or a file handle.
size_t process_contract_violations();

// Forgets modules, children, faults, history and counters (between tests).
void process_reset();

}  // namespace sim

#endif  // _WIN32

// Simulated machine: the request trace (every DeviceIoControl) and the contract-violation count
// that driver front-ends raise when a request does not match what the real driver accepts.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

struct TraceEntry {
  uint64_t seq = 0;                      // order over the whole run
  uint64_t time_ms = 0;                  // machine time (virtual_now_ms) when the call was made
  DWORD thread_id = 0;                   // GetCurrentThreadId of the caller
  std::string path;                      // the path the handle was opened with ("" if none)
  HANDLE handle = nullptr;
  DWORD control_code = 0;
  std::vector<uint8_t> input;            // the input bytes as passed in
  DWORD output_size = 0;
  std::vector<uint8_t> output;           // the first bytes_returned bytes after the call
  DWORD bytes_returned = 0;
  BOOL result = FALSE;
  DWORD error = 0;                       // last error after a failed call
  bool overlapped = false;               // an OVERLAPPED was passed
  // Filled by driver front-ends.
  std::string signature;                 // IOCTL_SCSI_MINIPORT signature
  std::optional<uint32_t> miniport_code; // its ControlCode
  std::optional<uint32_t> timeout;       // the request's time-out field
  std::map<std::string, std::string> notes;
  std::vector<int> fired_faults;         // ids of the fault rules that fired
};

// FNV-1a (64-bit) of the bytes the caller sent, the input buffer up to its stated length, as 16
// lower-case hexadecimal digits: the trace line's "input_digest", so that a change of any byte
// shows, whether or not the driver reads it. Empty for a call that sent no input.
std::string trace_input_digest(const TraceEntry &entry);

// Recording is on by default.
void trace_enable(bool on);
std::vector<TraceEntry> trace_entries();
// Entries whose control code is `code`.
std::vector<TraceEntry> trace_entries_for(DWORD code);
void trace_clear();

// Contract violations: a front-end reports each one with a short text.
void contract_violation(const std::string &what);
size_t contract_violation_count();
std::vector<std::string> contract_violations();
void contract_violations_clear();

}  // namespace sim

#endif  // _WIN32

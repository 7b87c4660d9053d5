// Linux stand-in: fake dynamic libraries, anonymous pipes and scripted child processes.
//
// Children do not run anywhere: their state is a pure function of the virtual clock. Their
// scheduled writes reach the pipe whenever the pipe or the process is looked at; their exit (and
// their last bytes) is applied only when the parent looks at the process.
#include "platform/win_process.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "sim/handles.h"
#include "sim/process.h"

namespace {

std::string upper(const std::string &s) {
  std::string r = s;
  for (char &c : r) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return r;
}

// ---- Libraries ----------------------------------------------------------------------------------

struct Module {
  std::map<std::string, FARPROC> exports;
  uintptr_t handle_value = 0;
  size_t loads = 0;
};

// ---- Pipes and children -------------------------------------------------------------------------

struct PipeState {
  std::string data;
  int writers_open = 0;               // parent write-end handles plus children holding one
  bool parent_write_end_open = false;
  std::shared_ptr<sim::ProcessRecord> record;  // the child that writes here, if any
};

class PipeEnd : public sim::KernelObject {
 public:
  PipeEnd(std::shared_ptr<PipeState> state, bool write_end, bool inheritable)
      : state_(std::move(state)), write_end_(write_end), inheritable_(inheritable) {}
  const char *kind() const override { return "pipe"; }
  void on_close() override;

  std::shared_ptr<PipeState> state_;
  bool write_end_;
  bool inheritable_;
  bool nowait_ = false;
  bool closed_ = false;
};

struct ChildState {
  sim::ChildScript script;
  ULONGLONG start = 0;
  size_t next_write = 0;
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
  std::shared_ptr<PipeState> out;  // null: output discarded
  bool holds_writer = false;
  std::shared_ptr<sim::ProcessRecord> record;
};

class ChildObject : public sim::KernelObject {
 public:
  ChildObject(std::shared_ptr<ChildState> child, bool is_process)
      : child_(std::move(child)), is_process_(is_process) {}
  const char *kind() const override { return is_process_ ? "process" : "thread"; }
  DWORD wait(DWORD timeout_ms) override;

  std::shared_ptr<ChildState> child_;
  bool is_process_;
};

struct State {
  std::mutex mutex;
  std::map<std::string, Module> modules;  // by upper-case file name
  uintptr_t next_module_value = 0x7FF700000000ull;
  std::vector<std::string> load_history;
  size_t bad_frees = 0;
  size_t violations = 0;

  std::map<std::string, sim::ChildScript> scripts;
  sim::ProcessFaults faults;
  std::vector<std::shared_ptr<sim::ProcessRecord>> history;
  std::vector<std::weak_ptr<ChildState>> children;
  std::vector<std::weak_ptr<PipeEnd>> pipe_ends;
  DWORD next_pid = 4100;
  DWORD next_tid = 5100;
};

// The program a command line names, as CreateProcessA reads it without an application name: a
// quoted first token, or the text up to the first blank or tab; the arguments follow it.
void split_command_line(const std::string &line, std::string *program, std::string *arguments) {
  size_t end;
  size_t rest;
  if (!line.empty() && line[0] == '"') {
    end = line.find('"', 1);
    if (end == std::string::npos) end = line.size();
    *program = line.substr(1, end - 1);
    rest = end < line.size() ? end + 1 : end;
  } else {
    end = line.find_first_of(" \t");
    if (end == std::string::npos) end = line.size();
    *program = line.substr(0, end);
    rest = end;
  }
  rest = line.find_first_not_of(" \t", rest);
  *arguments = rest == std::string::npos ? std::string() : line.substr(rest);
}

State &state() {
  // Never destroyed: pipe ends may still be closed while the process winds down.
  static State *s = new State;
  return *s;
}

void PipeEnd::on_close() {
  std::lock_guard<std::mutex> lock(state().mutex);
  closed_ = true;
  if (write_end_) {
    state_->writers_open--;
    state_->parent_write_end_open = false;
  }
}

// Both run with the state's mutex held.
void release_writer(ChildState &c) {
  if (c.holds_writer) {
    c.out->writers_open--;
    c.holds_writer = false;
  }
}

void advance_writes(ChildState &c, ULONGLONG now) {
  if (c.ended) return;
  ULONGLONG elapsed = now - c.start;
  while (c.next_write < c.script.writes.size() && c.script.writes[c.next_write].at_ms <= elapsed) {
    if (c.holds_writer) c.out->data += c.script.writes[c.next_write].bytes;
    c.next_write++;
  }
}

void advance_exit(ChildState &c, ULONGLONG now) {
  if (c.ended || c.script.never_exits) return;
  if (now - c.start < c.script.exit_after_ms) return;
  // Everything the child writes before it exits, then the exit itself.
  while (c.next_write < c.script.writes.size()) {
    if (c.holds_writer) c.out->data += c.script.writes[c.next_write].bytes;
    c.next_write++;
  }
  if (c.holds_writer) c.out->data += c.script.last_bytes;
  c.ended = true;
  c.exit_code = c.script.exit_code;
  release_writer(c);
}

void advance_all_writes(State &s, ULONGLONG now) {
  for (auto it = s.children.begin(); it != s.children.end();) {
    if (auto c = it->lock()) {
      advance_writes(*c, now);
      ++it;
    } else {
      it = s.children.erase(it);
    }
  }
}

void advance_all_exits(State &s, ULONGLONG now) {
  for (auto &w : s.children) {
    if (auto c = w.lock()) advance_exit(*c, now);
  }
}

DWORD ChildObject::wait(DWORD timeout_ms) {
  ULONGLONG begin = GetTickCount64();
  for (;;) {
    ULONGLONG now = GetTickCount64();
    DWORD step;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      advance_writes(*child_, now);
      advance_exit(*child_, now);
      if (child_->ended) return WAIT_OBJECT_0;
      if (timeout_ms != INFINITE && now - begin >= timeout_ms) return WAIT_TIMEOUT;
      ULONGLONG left = timeout_ms == INFINITE ? 1000 : timeout_ms - (now - begin);
      if (!child_->script.never_exits) {
        ULONGLONG until_exit = child_->start + child_->script.exit_after_ms - now;
        left = std::min(left, until_exit);
      }
      step = static_cast<DWORD>(std::max<ULONGLONG>(1, std::min<ULONGLONG>(left, 1000)));
    }
    Sleep(step);
  }
}

// Looks up a pipe end (outside the state's mutex: the handle table has its own lock).
std::shared_ptr<PipeEnd> lookup_pipe(HANDLE h) { return sim::handle_lookup_as<PipeEnd>(h); }

}  // namespace

// ---- Libraries ----------------------------------------------------------------------------------

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::string name = lpLibFileName ? lpLibFileName : "";
  s.load_history.push_back(name);
  if (dwFlags != LOAD_LIBRARY_SEARCH_SYSTEM32 || hFile != nullptr || !lpLibFileName) {
    s.violations++;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto it = s.modules.find(upper(name));
  if (it == s.modules.end()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  it->second.loads++;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HMODULE>(it->second.handle_value);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto &[name, module] : s.modules) {
    if (module.handle_value != reinterpret_cast<uintptr_t>(hModule) || module.loads == 0) continue;
    auto it = lpProcName ? module.exports.find(lpProcName) : module.exports.end();
    if (it == module.exports.end()) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return it->second;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto &[name, module] : s.modules) {
    if (module.handle_value == reinterpret_cast<uintptr_t>(hLibModule) && module.loads > 0) {
      module.loads--;
      return TRUE;
    }
  }
  s.bad_frees++;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

// ---- Pipes --------------------------------------------------------------------------------------

BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD /*nSize*/) {
  State &s = state();
  if (!hReadPipe || !hWritePipe) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool inheritable = lpPipeAttributes && lpPipeAttributes->bInheritHandle;
  auto pipe = std::make_shared<PipeState>();
  auto read_end = std::make_shared<PipeEnd>(pipe, false, inheritable);
  auto write_end = std::make_shared<PipeEnd>(pipe, true, inheritable);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.faults.fail_create_pipe) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    pipe->writers_open = 1;
    pipe->parent_write_end_open = true;
    s.pipe_ends.push_back(read_end);
    s.pipe_ends.push_back(write_end);
  }
  *hReadPipe = sim::handle_add(read_end);
  *hWritePipe = sim::handle_add(write_end);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags) {
  auto object = sim::handle_lookup(hObject);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto pipe = std::dynamic_pointer_cast<PipeEnd>(object)) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (dwMask & HANDLE_FLAG_INHERIT) pipe->inheritable_ = (dwFlags & HANDLE_FLAG_INHERIT) != 0;
  }
  return TRUE;
}

BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout) {
  auto pipe = lookup_pipe(hNamedPipe);
  if (!pipe) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Anonymous pipes are byte pipes: message mode and collection settings do not apply.
  if (lpMaxCollectionCount || lpCollectDataTimeout ||
      (lpMode && (*lpMode & ~(PIPE_NOWAIT | PIPE_READMODE_BYTE)) != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(state().mutex);
  if (lpMode) pipe->nowait_ = (*lpMode & PIPE_NOWAIT) != 0;
  return TRUE;
}

BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
  auto pipe = lookup_pipe(hNamedPipe);
  if (!pipe) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pipe->write_end_) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ULONGLONG now = GetTickCount64();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  advance_all_writes(s, now);
  PipeState &p = *pipe->state_;
  if (p.record && p.parent_write_end_open) p.record->parent_write_end_open_while_reading = true;
  if (p.data.empty() && p.writers_open <= 0) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  DWORD copied = 0;
  if (lpBuffer && nBufferSize) {
    copied = static_cast<DWORD>(std::min<size_t>(nBufferSize, p.data.size()));
    memcpy(lpBuffer, p.data.data(), copied);
  }
  if (lpBytesRead) *lpBytesRead = copied;
  if (lpTotalBytesAvail) *lpTotalBytesAvail = static_cast<DWORD>(p.data.size());
  if (lpBytesLeftThisMessage) *lpBytesLeftThisMessage = 0;
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED /*lpOverlapped*/) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto pipe = lookup_pipe(hFile);
  if (!pipe) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (pipe->write_end_ || (!lpBuffer && nNumberOfBytesToRead)) {
    SetLastError(pipe->write_end_ ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State &s = state();
  for (;;) {
    ULONGLONG now = GetTickCount64();
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      advance_all_writes(s, now);
      PipeState &p = *pipe->state_;
      if (p.record && p.parent_write_end_open) p.record->parent_write_end_open_while_reading = true;
      if (!p.data.empty()) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(nNumberOfBytesToRead, p.data.size()));
        memcpy(lpBuffer, p.data.data(), n);
        p.data.erase(0, n);
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = n;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
      }
      if (nNumberOfBytesToRead == 0) return TRUE;
      if (p.writers_open <= 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
      }
      if (pipe->nowait_) {
        SetLastError(ERROR_NO_DATA);
        return FALSE;
      }
      // A blocking read waits for a writer: the children run on while it waits.
      advance_all_exits(s, now);
      if (!p.data.empty() || p.writers_open <= 0) continue;
    }
    Sleep(1);
  }
}

// ---- Processes ----------------------------------------------------------------------------------

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES /*lpProcessAttributes*/,
                    LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID /*lpEnvironment*/,
                    LPCSTR /*lpCurrentDirectory*/, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  if (!lpStartupInfo || !lpProcessInformation || (!lpCommandLine && !lpApplicationName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto record = std::make_shared<sim::ProcessRecord>();
  record->command_line = lpCommandLine ? lpCommandLine : "";
  if (lpCommandLine) {
    split_command_line(record->command_line, &record->program, &record->arguments);
  } else {
    record->program = lpApplicationName;
  }
  record->application_name_given = lpApplicationName != nullptr;
  record->inherit_handles = bInheritHandles != FALSE;
  record->creation_flags = dwCreationFlags;
  record->startup_flags = lpStartupInfo->dwFlags;
  bool std_handles = (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) != 0;
  record->stdin_invalid = std_handles && (lpStartupInfo->hStdInput == INVALID_HANDLE_VALUE ||
                                          lpStartupInfo->hStdInput == nullptr);
  std::shared_ptr<PipeEnd> out = std_handles ? lookup_pipe(lpStartupInfo->hStdOutput) : nullptr;
  std::shared_ptr<PipeEnd> err = std_handles ? lookup_pipe(lpStartupInfo->hStdError) : nullptr;

  State &s = state();
  auto child = std::make_shared<ChildState>();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.history.push_back(record);
    auto usable = [&](const std::shared_ptr<PipeEnd> &e) {
      return e && e->write_end_ && e->inheritable_ && !e->closed_ && bInheritHandles;
    };
    record->stdout_to_pipe = usable(out);
    record->stderr_to_pipe = usable(err);
    if (bInheritHandles) {
      for (auto &w : s.pipe_ends) {
        auto e = w.lock();
        if (e && !e->write_end_ && e->inheritable_ && !e->closed_) record->read_end_inherited = true;
      }
    }
    auto script = s.scripts.find(record->program);
    if (s.faults.fail_create_process || script == s.scripts.end()) {
      SetLastError(s.faults.fail_create_process ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    record->started = true;
    child->script = script->second;
    child->start = GetTickCount64();
    child->record = record;
    std::shared_ptr<PipeEnd> target = record->stdout_to_pipe ? out : (record->stderr_to_pipe ? err : nullptr);
    if (target) {
      child->out = target->state_;
      child->holds_writer = true;
      child->out->writers_open++;
      child->out->record = record;
    }
    s.children.push_back(child);
    lpProcessInformation->dwProcessId = s.next_pid++;
    lpProcessInformation->dwThreadId = s.next_tid++;
  }
  lpProcessInformation->hProcess = sim::handle_add(std::make_shared<ChildObject>(child, true));
  lpProcessInformation->hThread = sim::handle_add(std::make_shared<ChildObject>(child, false));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  auto process = sim::handle_lookup_as<ChildObject>(hProcess);
  if (!process || !process->is_process_ || !lpExitCode) {
    SetLastError(process ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ULONGLONG now = GetTickCount64();
  std::lock_guard<std::mutex> lock(state().mutex);
  advance_writes(*process->child_, now);
  advance_exit(*process->child_, now);
  *lpExitCode = process->child_->ended ? process->child_->exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  auto process = sim::handle_lookup_as<ChildObject>(hProcess);
  if (!process || !process->is_process_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ULONGLONG now = GetTickCount64();
  std::lock_guard<std::mutex> lock(state().mutex);
  ChildState &c = *process->child_;
  advance_writes(c, now);
  advance_exit(c, now);
  if (c.ended) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  c.ended = true;
  c.exit_code = uExitCode;
  release_writer(c);
  c.record->terminated = true;
  c.record->terminate_exit_code = uExitCode;
  return TRUE;
}

// ---- Test API -----------------------------------------------------------------------------------

namespace sim {

void register_module(const std::string &file_name,
                     const std::vector<std::pair<std::string, FARPROC>> &exports) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Module &m = s.modules[upper(file_name)];
  if (m.handle_value == 0) {
    m.handle_value = s.next_module_value;
    s.next_module_value += 0x10000;
  }
  m.exports.clear();
  for (const auto &[name, address] : exports) m.exports[name] = address;
}

std::vector<std::string> library_load_history() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().load_history;
}

size_t library_loaded_count() {
  std::lock_guard<std::mutex> lock(state().mutex);
  size_t n = 0;
  for (const auto &[name, module] : state().modules) n += module.loads;
  return n;
}

size_t library_bad_free_count() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().bad_frees;
}

void register_child(const std::string &command_line, const ChildScript &script) {
  std::string program, arguments;
  split_command_line(command_line, &program, &arguments);
  std::lock_guard<std::mutex> lock(state().mutex);
  state().scripts[program] = script;
}

ProcessFaults &process_faults() { return state().faults; }

std::vector<ProcessRecord> process_history() {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::vector<ProcessRecord> r;
  for (const auto &p : state().history) r.push_back(*p);
  return r;
}

size_t process_contract_violations() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().violations;
}

void process_reset() {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.modules.clear();
  s.load_history.clear();
  s.bad_frees = 0;
  s.violations = 0;
  s.scripts.clear();
  s.faults = ProcessFaults();
  s.history.clear();
}

}  // namespace sim

// Simulated machine: the parts of a machine description that drive whole runs from outside (the
// "faults" rules and the "ui" script), and the files a run leaves behind:
//   ORBU_SIM_TRACE_OUT  the request trace, one JSON object per DeviceIoControl
//   ORBU_SIM_UI_OUT     the window manager's event history, one JSON object per event
// Both are written by write_run_outputs() (the native entry point calls it when the program
// returns, and once more at exit should the program end another way).
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "sim/trace.h"
#include "sim/window.h"

namespace sim {

// ---- "faults" -------------------------------------------------------------------------------------
//
// Adds the rules of a "faults" section (a JSON array) to the rule set in use, and drive rules to
// the drive models of the machine's disks ("drive": a disk id or physical-drive number) or of its
// drives table ("drive": a drive id, also for drives reached only as RAID members or through a
// controller). An NVMe drive rule's action may carry "after": true with its "status": the command
// is carried out, then answered with that status. Throws std::runtime_error naming the place of a bad
// rule ("faults[2].action: unknown error name ..."); rules before it stay added. Machine loading
// calls it after every other section.
void load_fault_section(const nlohmann::json &section);
// A Win32 error, HRESULT or CONFIGRET by name ("ERROR_IO_DEVICE", "E_FAIL", "CR_FAILURE");
// false for an unknown name.
bool error_code_by_name(const std::string &name, DWORD *code);

// ---- "ui" -----------------------------------------------------------------------------------------

struct UiStep {
  // command: WM_COMMAND (BN_CLICKED, button_id) posted to the main window with no control
  // handle, whether or not such a button exists (a forged click).
  enum Action { click, system_close, wm_close, command } action = click;
  std::string button_text;          // click: the button with this text (when no id is given)
  int button_id = -1;               // click, command: the control id (-1: click by text)
  // Conditions, all of which must hold (the main window must always exist).
  std::string when_text;            // a control of the main window shows exactly this text
  bool when_progress_full = false;  // every progress bar of the main window is at its maximum
  uint64_t when_after_ms = 0;       // machine time since the script started (the run's start)
};

// Replaces the script of the machine in use (loading a machine with a "ui" section does this;
// throws std::runtime_error naming the place of a bad step).
void load_ui_section(const nlohmann::json &section);
std::vector<UiStep> ui_script();
// Starts the script on a thread of its own: each step fires once, the first time its conditions
// hold and its action can be delivered. No-op without steps or when it runs already. The caller
// is the thread that runs the program, already on the machine's clock (a SimulatedThread guard)
// and staying on it until stop_ui_script(): then the run starts when the script does, and every
// step fires at the same machine time in every run. Throws std::logic_error for a caller that is
// not on the clock.
void start_ui_script();
// Stops the script thread and waits for it (call it before the caller leaves the clock).
void stop_ui_script();
// True from start_ui_script() until stop_ui_script() has joined the script's thread, also once
// every step has fired and the thread has nothing left to do.
bool ui_script_started();
// Steps fired so far: (step index, machine time in ms).
std::vector<std::pair<size_t, uint64_t>> ui_script_fired();

// ---- A run that can never go on -----------------------------------------------------------------
//
// A native run whose every thread waits without a time-out (typically the message loop of a window
// that waits for a user nobody plays) with no ui step left that could fire would wait for ever.
// Armed, the machine ends such a run: one line on standard error naming the window that waits (its
// title, class and the buttons that can be pressed), or saying that no window is open, and the ui
// steps that never fired; then the script's thread is stopped and joined, and
// exit(kStuckRunExitCode) writes the outputs as a normal end does. No code of the tool (0-4,
// 1602, 3000; 66 and 184 as Linux cuts them) is this one.
constexpr int kStuckRunExitCode = 75;
// Arms (true) or disarms (false) that end. The native entry arms it while the program runs and
// disarms it once the program has returned.
void end_run_when_stuck(bool on);

// ---- Outputs --------------------------------------------------------------------------------------

// One trace entry / one window event as a JSON object (the shapes the output files use).
nlohmann::json trace_entry_json(const TraceEntry &entry);
nlohmann::json window_event_json(const Event &event);
// Writes the request trace / the window history (plus the script's firings) as JSON lines.
// False when the file cannot be written.
bool write_trace_jsonl(const std::string &path);
bool write_ui_jsonl(const std::string &path);
// Writes every output whose environment variable names a file.
void write_run_outputs();
// Makes write_run_outputs() also run at process exit (once; later calls do nothing).
void write_run_outputs_at_exit();

}  // namespace sim

#endif  // _WIN32

// Simulated machine: the Task Scheduler (platform/sim/tasksched.cpp). One service class
// (CLSID_TaskScheduler) whose root folder "\" holds the registered tasks by name (case ignored, as
// on Windows). Definitions, principal, settings, triggers, actions and registration info record
// every put_* they receive as (method, value) in call order; registering a definition keeps a copy
// of what it recorded, and reading a registered task back gives a definition with its triggers.
//
// Answers as on Windows: Connect must come before GetFolder and NewTask (else 800704E3h);
// GetFolder knows "\" only (80070002h); DeleteTask of an absent name gives 80070002h;
// RegisterTaskDefinition needs a definition with an action and flags 2 (fails with 800700B7h when
// the name exists), 4 (80070002h when it does not) or 6; GetTasks takes flags 0 or 1;
// get_Item of the task collection takes a VARIANT index of an integer type counting from 1
// (VT_I2, VT_I4, VT_UINT, ...) or a VT_BSTR name; get_LastRunTime of a task that never ran gives
// SCHED_S_TASK_HAS_NOT_RUN with the date 36494.0 (30 November 1999).
//
// Faults (FaultOp::other): "api": "com", "function": "<interface>::<method>" with the interface
// that declares the method: "ITaskService::Connect", "ITaskService::GetFolder",
// "ITaskService::NewTask", "ITaskFolder::DeleteTask", "ITaskFolder::GetTasks",
// "ITaskFolder::RegisterTaskDefinition", "ITaskDefinition::get_Principal" (and every other get_ and
// put_ of the definition), "IPrincipal::put_UserId", "ITaskSettings::put_Enabled",
// "ITriggerCollection::Create", "ITriggerCollection::get_Item", "ITrigger::QueryInterface" (the
// typed trigger interfaces), "ITrigger::put_Id", "IDailyTrigger::put_DaysInterval",
// "IActionCollection::Create", "IAction::QueryInterface", "IExecAction::put_Path",
// "IRegisteredTaskCollection::get_Count", "IRegisteredTask::get_LastRunTime", ...; a fired fail
// makes that call return the rule's error. The class itself fails through CoCreateInstance's rule.
//
// Reset (sim::reset_machine): the folder, the registration log, and the class is registered again.
#pragma once
#ifndef _WIN32

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// One put_* call: "ITaskSettings::put_Enabled" with "1". BSTRs as their text (low 8 bits of each
// code unit), numbers and VARIANT_BOOLs in decimal (VARIANT_TRUE is "-1").
struct TaskPut {
  std::string method;
  std::string value;
  bool operator==(const TaskPut &) const = default;
};

struct TaskTrigger {
  TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_TIME;
  std::vector<TaskPut> puts;  // on the trigger (its ITrigger and typed methods)
};

struct ScheduledTask {
  std::string name;
  std::vector<TaskPut> puts;  // principal, settings, actions, registration info, in call order
  std::vector<TaskTrigger> triggers;
  bool has_action = false;
  std::optional<DATE> last_run;  // none: never ran
};

// One RegisterTaskDefinition call that reached the folder (after its fault check).
struct TaskRegistration {
  std::string name;
  LONG flags = 0;
  TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
  // "VT_EMPTY", or "VT_BSTR:<text>" for a string, or "VT=<n>" for another type.
  std::string user, password, sddl;
  HRESULT result = S_OK;
};

// Registers the class (kept registered across resets); machine loading calls it. Idempotent.
void register_task_scheduler();

// The root folder's tasks in registration order; one by name (case ignored).
std::vector<ScheduledTask> scheduled_tasks();
std::optional<ScheduledTask> scheduled_task(const std::string &name);
// Adds or replaces a task, as if it had been registered.
void put_scheduled_task(const ScheduledTask &task);
std::vector<TaskRegistration> task_registrations();

}  // namespace sim

#endif  // _WIN32

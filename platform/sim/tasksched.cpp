// Simulated machine: the Task Scheduler service, its root folder and the objects of a task
// definition (sim/tasks.h).
#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../src/com_internal.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/machine.h"
#include "sim/tasks.h"

const CLSID CLSID_TaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
const IID IID_ITaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
const IID IID_ITaskFolder = {0x8CFAC062, 0xA080, 0x4C15, {0x9A, 0x88, 0xAA, 0x7C, 0x2A, 0xF8, 0x0D, 0xFC}};
const IID IID_ITaskDefinition = {0xF5BC8FC5, 0x536D, 0x4F77, {0xB8, 0x52, 0xFB, 0xC1, 0x35, 0x6F, 0xDE, 0xB6}};
const IID IID_IRegistrationInfo = {0x416D8B73, 0xCB41, 0x4EA1, {0x80, 0x5C, 0x9B, 0xE9, 0xA5, 0xAC, 0x4A, 0x74}};
const IID IID_ITaskSettings = {0x8FD4711D, 0x2D02, 0x4C8C, {0x87, 0xE3, 0xEF, 0xF6, 0x99, 0xDE, 0x12, 0x7E}};
const IID IID_IPrincipal = {0xD98D51E5, 0xC9B4, 0x496A, {0xA9, 0xC1, 0x18, 0x98, 0x02, 0x61, 0xCF, 0x0F}};
const IID IID_ITriggerCollection = {0x85DF5081, 0x1B24, 0x4F32, {0x87, 0x8A, 0xD9, 0xD1, 0x4D, 0xF4, 0xCB, 0x77}};
const IID IID_ITrigger = {0x09941815, 0xEA89, 0x4B5B, {0x89, 0xE0, 0x2A, 0x77, 0x38, 0x01, 0xFA, 0xC3}};
const IID IID_IDailyTrigger = {0x126C5CD8, 0xB288, 0x41D5, {0x8D, 0xBF, 0xE4, 0x91, 0x44, 0x6A, 0xDC, 0x5C}};
const IID IID_IWeeklyTrigger = {0x5038FC98, 0x82FF, 0x436D, {0x87, 0x28, 0xA5, 0x12, 0xA5, 0x7C, 0x9D, 0xC1}};
const IID IID_IMonthlyTrigger = {0x97C45EF1, 0x6B02, 0x4A1A, {0x9C, 0x0E, 0x1E, 0xBF, 0xBA, 0x15, 0x00, 0xAC}};
const IID IID_ILogonTrigger = {0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
const IID IID_IActionCollection = {0x02820E19, 0x7B98, 0x4ED2, {0xB2, 0xE8, 0xFD, 0xCC, 0xCE, 0xFF, 0x61, 0x9B}};
const IID IID_IAction = {0xBAE54997, 0x48B1, 0x4CBE, {0x99, 0x65, 0xD6, 0xBE, 0x26, 0x3E, 0xBE, 0xA4}};
const IID IID_IExecAction = {0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
const IID IID_IRegisteredTaskCollection = {
    0x86627EB4, 0x42A7, 0x41E4, {0xA4, 0xD9, 0xAC, 0x33, 0xA7, 0x2F, 0x2D, 0x52}};
const IID IID_IRegisteredTask = {0x9C86F320, 0xDEE3, 0x4DD1, {0xB9, 0x72, 0xA3, 0x03, 0xF2, 0x6B, 0x06, 0x1E}};

namespace sim {
namespace {

constexpr HRESULT kNotConnected = (HRESULT)0x800704E3L;  // ERROR_ONLY_IF_CONNECTED
constexpr HRESULT kNotFound = (HRESULT)0x80070002L;      // ERROR_FILE_NOT_FOUND
constexpr HRESULT kExists = (HRESULT)0x800700B7L;        // ERROR_ALREADY_EXISTS
constexpr HRESULT kMissingNode = (HRESULT)0x80041319L;   // the definition lacks a required part
constexpr DATE kNeverRan = 36494.0;                      // 30 November 1999

struct TaskSched {
  std::mutex lock;
  std::vector<std::shared_ptr<const ScheduledTask>> tasks;
  std::vector<TaskRegistration> log;
};
TaskSched &sched() {
  static TaskSched *s = new TaskSched;
  return *s;
}

bool fault(const std::string &function, HRESULT *hr) { return internal::com_fault(function.c_str(), "", hr); }

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string narrow(const OLECHAR *w) {
  std::string s;
  for (UINT i = 0, n = SysStringLen(const_cast<BSTR>(w)); i < n; ++i) s += static_cast<char>(w[i] & 0xFF);
  return s;
}
BSTR to_bstr(const std::string &s) {
  std::u16string w(s.begin(), s.end());
  return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(w.c_str()), static_cast<UINT>(w.size()));
}
// A BSTR argument: null is allowed; one that is not live is refused.
bool bad_bstr(BSTR b) { return b && !internal::com_bstr_live(b); }
std::string describe(const VARIANT &v) {
  if (v.vt == VT_EMPTY) return "VT_EMPTY";
  if (v.vt == VT_BSTR) return "VT_BSTR:" + narrow(v.bstrVal);
  return "VT=" + std::to_string(v.vt);
}

// What a definition recorded; shared by its parts.
struct DefState {
  std::vector<TaskPut> puts;
  std::vector<std::shared_ptr<TaskTrigger>> triggers;
  bool has_action = false;
};
using Def = std::shared_ptr<DefState>;

// A recorded put: the fault check, then the record. Returns the call's result.
HRESULT put(std::vector<TaskPut> &to, const std::string &method, const std::string &value) {
  HRESULT hr;
  if (fault(method, &hr)) return hr;
  to.push_back({method, value});
  return S_OK;
}
HRESULT put_text(std::vector<TaskPut> &to, const std::string &method, BSTR value) {
  if (bad_bstr(value)) return E_INVALIDARG;
  return put(to, method, narrow(value));
}

template <class I>
using Dual = ComObject<DispatchNotImpl<I>>;

class RegistrationInfo : public Dual<IRegistrationInfo> {
 public:
  explicit RegistrationInfo(Def d) : ComObject("task registration info", {IID_IRegistrationInfo}), d_(std::move(d)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE put_Description(BSTR v) override {
    return put_text(d_->puts, "IRegistrationInfo::put_Description", v);
  }

 private:
  Def d_;
};

class Settings : public Dual<ITaskSettings> {
 public:
  explicit Settings(Def d) : ComObject("task settings", {IID_ITaskSettings}), d_(std::move(d)) { answer(IID_IDispatch, 0); }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override { return num("put_Enabled", v); }
  HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY v) override { return num("put_Compatibility", v); }
  HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL v) override {
    return num("put_StopIfGoingOnBatteries", v);
  }
  HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL v) override {
    return num("put_DisallowStartIfOnBatteries", v);
  }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL v) override { return num("put_RunOnlyIfIdle", v); }

 private:
  HRESULT num(const char *method, long v) {
    return put(d_->puts, std::string("ITaskSettings::") + method, std::to_string(v));
  }
  Def d_;
};

class Principal : public Dual<IPrincipal> {
 public:
  explicit Principal(Def d) : ComObject("task principal", {IID_IPrincipal}), d_(std::move(d)) { answer(IID_IDispatch, 0); }
  HRESULT STDMETHODCALLTYPE put_UserId(BSTR v) override { return put_text(d_->puts, "IPrincipal::put_UserId", v); }
  HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE v) override {
    if (v != TASK_RUNLEVEL_LUA && v != TASK_RUNLEVEL_HIGHEST) return E_INVALIDARG;
    return put(d_->puts, "IPrincipal::put_RunLevel", std::to_string(v));
  }

 private:
  Def d_;
};

// A trigger of any type, seen through its typed interface I (ITrigger for the untyped ones).
template <class I>
class Trigger : public Dual<I> {
 public:
  Trigger(std::shared_ptr<TaskTrigger> t, const IID &own) : Dual<I>("task trigger", {own}), t_(std::move(t)) {
    this->answer(IID_ITrigger, 0);
    this->answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    HRESULT hr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IDispatch) && !(riid == IID_ITrigger) &&
        fault("ITrigger::QueryInterface", &hr)) {
      if (ppv) *ppv = nullptr;
      return hr;
    }
    return Dual<I>::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2 *type) override {
    if (!type) return E_POINTER;
    HRESULT hr;
    if (fault("ITrigger::get_Type", &hr)) return hr;
    *type = t_->type;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR v) override { return put_text(t_->puts, "ITrigger::put_Id", v); }
  HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR v) override {
    return put_text(t_->puts, "ITrigger::put_StartBoundary", v);
  }
  HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR v) override {
    return put_text(t_->puts, "ITrigger::put_EndBoundary", v);
  }

 protected:
  HRESULT num(const char *method, long v) { return put(t_->puts, method, std::to_string(v)); }
  std::shared_ptr<TaskTrigger> t_;
};

class DailyTrigger : public Trigger<IDailyTrigger> {
 public:
  explicit DailyTrigger(std::shared_ptr<TaskTrigger> t) : Trigger(std::move(t), IID_IDailyTrigger) {}
  HRESULT STDMETHODCALLTYPE put_DaysInterval(short v) override {
    return v < 1 ? E_INVALIDARG : num("IDailyTrigger::put_DaysInterval", v);
  }
};

class WeeklyTrigger : public Trigger<IWeeklyTrigger> {
 public:
  explicit WeeklyTrigger(std::shared_ptr<TaskTrigger> t) : Trigger(std::move(t), IID_IWeeklyTrigger) {}
  HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short v) override {
    return (v & ~0x7F) || !v ? E_INVALIDARG : num("IWeeklyTrigger::put_DaysOfWeek", v);
  }
  HRESULT STDMETHODCALLTYPE put_WeeksInterval(short v) override {
    return v < 1 ? E_INVALIDARG : num("IWeeklyTrigger::put_WeeksInterval", v);
  }
};

class MonthlyTrigger : public Trigger<IMonthlyTrigger> {
 public:
  explicit MonthlyTrigger(std::shared_ptr<TaskTrigger> t) : Trigger(std::move(t), IID_IMonthlyTrigger) {}
  HRESULT STDMETHODCALLTYPE put_MonthsOfYear(short v) override {
    return (v & ~0xFFF) || !v ? E_INVALIDARG : num("IMonthlyTrigger::put_MonthsOfYear", v);
  }
  HRESULT STDMETHODCALLTYPE put_RunOnLastDayOfMonth(VARIANT_BOOL v) override {
    return num("IMonthlyTrigger::put_RunOnLastDayOfMonth", v);
  }
};

class LogonTrigger : public Trigger<ILogonTrigger> {
 public:
  explicit LogonTrigger(std::shared_ptr<TaskTrigger> t) : Trigger(std::move(t), IID_ILogonTrigger) {}
  HRESULT STDMETHODCALLTYPE put_UserId(BSTR v) override { return put_text(t_->puts, "ILogonTrigger::put_UserId", v); }
};

ITrigger *make_trigger(std::shared_ptr<TaskTrigger> t) {
  switch (t->type) {
    case TASK_TRIGGER_DAILY: return static_cast<IDailyTrigger *>(new DailyTrigger(std::move(t)));
    case TASK_TRIGGER_WEEKLY: return static_cast<IWeeklyTrigger *>(new WeeklyTrigger(std::move(t)));
    case TASK_TRIGGER_MONTHLY: return static_cast<IMonthlyTrigger *>(new MonthlyTrigger(std::move(t)));
    case TASK_TRIGGER_LOGON: return static_cast<ILogonTrigger *>(new LogonTrigger(std::move(t)));
    default: return new Trigger<ITrigger>(std::move(t), IID_ITrigger);
  }
}

class TriggerCollection : public Dual<ITriggerCollection> {
 public:
  explicit TriggerCollection(Def d) : ComObject("task trigger collection", {IID_ITriggerCollection}), d_(std::move(d)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("ITriggerCollection::get_Item", &hr)) return hr;
    if (index < 1 || static_cast<size_t>(index) > d_->triggers.size()) return E_INVALIDARG;
    *out = make_trigger(d_->triggers[index - 1]);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("ITriggerCollection::Create", &hr)) return hr;
    if (type < TASK_TRIGGER_EVENT || type > TASK_TRIGGER_SESSION_STATE_CHANGE || type == 10) return E_INVALIDARG;
    auto t = std::make_shared<TaskTrigger>();
    t->type = type;
    d_->triggers.push_back(t);
    *out = make_trigger(t);
    return S_OK;
  }

 private:
  Def d_;
};

class ExecAction : public Dual<IExecAction> {
 public:
  explicit ExecAction(Def d) : ComObject("task exec action", {IID_IExecAction}), d_(std::move(d)) {
    answer(IID_IAction, 0);
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    HRESULT hr;
    if (riid == IID_IExecAction && fault("IAction::QueryInterface", &hr)) {
      if (ppv) *ppv = nullptr;
      return hr;
    }
    return ComObject::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE put_Path(BSTR v) override { return put_text(d_->puts, "IExecAction::put_Path", v); }
  HRESULT STDMETHODCALLTYPE put_Arguments(BSTR v) override {
    return put_text(d_->puts, "IExecAction::put_Arguments", v);
  }
  HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR v) override {
    return put_text(d_->puts, "IExecAction::put_WorkingDirectory", v);
  }

 private:
  Def d_;
};

class ActionCollection : public Dual<IActionCollection> {
 public:
  explicit ActionCollection(Def d) : ComObject("task action collection", {IID_IActionCollection}), d_(std::move(d)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("IActionCollection::Create", &hr)) return hr;
    if (type != TASK_ACTION_EXEC) return E_INVALIDARG;
    d_->has_action = true;
    *out = static_cast<IExecAction *>(new ExecAction(d_));
    return S_OK;
  }

 private:
  Def d_;
};

class Definition : public Dual<ITaskDefinition> {
 public:
  explicit Definition(Def d) : ComObject("task definition", {IID_ITaskDefinition}), d_(std::move(d)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo **out) override {
    return get("get_RegistrationInfo", out, [&] { return new RegistrationInfo(d_); });
  }
  HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo *v) override {
    return v ? put(d_->puts, "ITaskDefinition::put_RegistrationInfo", "") : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection **out) override {
    return get("get_Triggers", out, [&] { return new TriggerCollection(d_); });
  }
  HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings **out) override {
    return get("get_Settings", out, [&] { return new Settings(d_); });
  }
  HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings *v) override {
    return v ? put(d_->puts, "ITaskDefinition::put_Settings", "") : E_POINTER;
  }
  HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal **out) override {
    return get("get_Principal", out, [&] { return new Principal(d_); });
  }
  HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection **out) override {
    return get("get_Actions", out, [&] { return new ActionCollection(d_); });
  }
  const Def &state() const { return d_; }

 private:
  template <class T, class Make>
  HRESULT get(const char *method, T **out, Make make) {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault(std::string("ITaskDefinition::") + method, &hr)) return hr;
    *out = make();
    return S_OK;
  }
  Def d_;
};

using Task = std::shared_ptr<const ScheduledTask>;

class RegisteredTask : public Dual<IRegisteredTask> {
 public:
  explicit RegisteredTask(Task t) : ComObject("registered task", {IID_IRegisteredTask}), t_(std::move(t)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR *out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("IRegisteredTask::get_Name", &hr)) return hr;
    *out = to_bstr(t_->name);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_State(TASK_STATE *out) override {
    if (!out) return E_POINTER;
    HRESULT hr;
    if (fault("IRegisteredTask::get_State", &hr)) return hr;
    *out = TASK_STATE_READY;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE *out) override {
    if (!out) return E_POINTER;
    HRESULT hr;
    if (fault("IRegisteredTask::get_LastRunTime", &hr)) return hr;
    *out = t_->last_run.value_or(kNeverRan);
    return t_->last_run ? S_OK : SCHED_S_TASK_HAS_NOT_RUN;
  }
  HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("IRegisteredTask::get_Definition", &hr)) return hr;
    auto d = std::make_shared<DefState>();
    d->puts = t_->puts;
    d->has_action = t_->has_action;
    for (const TaskTrigger &t : t_->triggers) d->triggers.push_back(std::make_shared<TaskTrigger>(t));
    *out = new Definition(d);
    return S_OK;
  }

 private:
  Task t_;
};

class TaskCollection : public Dual<IRegisteredTaskCollection> {
 public:
  explicit TaskCollection(std::vector<Task> t)
      : ComObject("registered task collection", {IID_IRegisteredTaskCollection}), t_(std::move(t)) {
    answer(IID_IDispatch, 0);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG *out) override {
    if (!out) return E_POINTER;
    HRESULT hr;
    if (fault("IRegisteredTaskCollection::get_Count", &hr)) return hr;
    *out = static_cast<LONG>(t_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IRegisteredTask **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("IRegisteredTaskCollection::get_Item", &hr)) return hr;
    long long i;
    switch (index.vt) {
      case VT_I1: i = index.cVal; break;
      case VT_UI1: i = index.bVal; break;
      case VT_I2: i = index.iVal; break;
      case VT_UI2: i = index.uiVal; break;
      case VT_I4: i = index.lVal; break;
      case VT_UI4: i = index.ulVal; break;
      case VT_INT: i = index.intVal; break;
      case VT_UINT: i = index.uintVal; break;
      case VT_BSTR: {
        if (bad_bstr(index.bstrVal)) return E_INVALIDARG;
        std::string want = lower(narrow(index.bstrVal));
        for (const Task &t : t_)
          if (lower(t->name) == want) {
            *out = new RegisteredTask(t);
            return S_OK;
          }
        return kNotFound;
      }
      default: return DISP_E_TYPEMISMATCH;
    }
    if (i < 1 || static_cast<size_t>(i) > t_.size()) return E_INVALIDARG;
    *out = new RegisteredTask(t_[i - 1]);
    return S_OK;
  }

 private:
  std::vector<Task> t_;
};

// The task of that name in the folder (case ignored); end() when absent. The lock is held.
std::vector<Task>::iterator find_task(TaskSched &s, const std::string &name) {
  std::string want = lower(name);
  return std::find_if(s.tasks.begin(), s.tasks.end(), [&](const Task &t) { return lower(t->name) == want; });
}

void store(TaskSched &s, Task task) {
  auto it = find_task(s, task->name);
  if (it != s.tasks.end())
    *it = std::move(task);
  else
    s.tasks.push_back(std::move(task));
}

class Folder : public Dual<ITaskFolder> {
 public:
  Folder() : ComObject("task folder", {IID_ITaskFolder}) { answer(IID_IDispatch, 0); }
  HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("ITaskFolder::GetTasks", &hr)) return hr;
    if (flags & ~TASK_ENUM_HIDDEN) return E_INVALIDARG;
    TaskSched &s = sched();
    std::lock_guard<std::mutex> g(s.lock);
    *out = new TaskCollection(s.tasks);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
    HRESULT hr;
    if (fault("ITaskFolder::DeleteTask", &hr)) return hr;
    if (!name || bad_bstr(name) || flags != 0) return E_INVALIDARG;
    TaskSched &s = sched();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = find_task(s, narrow(name));
    if (it == s.tasks.end()) return kNotFound;
    s.tasks.erase(it);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition *definition, LONG flags, VARIANT user,
                                                   VARIANT password, TASK_LOGON_TYPE logon, VARIANT sddl,
                                                   IRegisteredTask **out) override {
    if (out) *out = nullptr;
    HRESULT hr;
    if (fault("ITaskFolder::RegisterTaskDefinition", &hr)) return hr;
    auto *def = dynamic_cast<Definition *>(definition);
    if (!path || bad_bstr(path) || SysStringLen(path) == 0 || !def) return E_INVALIDARG;
    TaskRegistration r{narrow(path), flags, logon, describe(user), describe(password), describe(sddl), S_OK};
    TaskSched &s = sched();
    std::lock_guard<std::mutex> g(s.lock);
    bool exists = find_task(s, r.name) != s.tasks.end();
    if (flags != TASK_CREATE && flags != TASK_UPDATE && flags != TASK_CREATE_OR_UPDATE)
      r.result = E_INVALIDARG;
    else if (flags == TASK_CREATE && exists)
      r.result = kExists;
    else if (flags == TASK_UPDATE && !exists)
      r.result = kNotFound;
    else if (!def->state()->has_action)
      r.result = kMissingNode;
    s.log.push_back(r);
    if (r.result != S_OK) return r.result;
    auto task = std::make_shared<ScheduledTask>();
    task->name = r.name;
    task->puts = def->state()->puts;
    task->has_action = true;
    for (const auto &t : def->state()->triggers) task->triggers.push_back(*t);
    store(s, task);
    if (out) *out = new RegisteredTask(task);
    return S_OK;
  }
};

bool empty_argument(const VARIANT &v) {
  return v.vt == VT_EMPTY || v.vt == VT_NULL || (v.vt == VT_BSTR && SysStringLen(v.bstrVal) == 0);
}

class Service : public Dual<ITaskService> {
 public:
  Service() : ComObject("task service", {IID_ITaskService}) { answer(IID_IDispatch, 0); }
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("ITaskService::GetFolder", &hr)) return hr;
    if (!connected_) return kNotConnected;
    if (bad_bstr(path)) return E_INVALIDARG;
    if (narrow(path) != "\\") return kNotFound;
    *out = new Folder;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("ITaskService::NewTask", &hr)) return hr;
    if (!connected_) return kNotConnected;
    if (flags != 0) return E_INVALIDARG;
    *out = new Definition(std::make_shared<DefState>());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    HRESULT hr;
    if (fault("ITaskService::Connect", &hr)) return hr;
    if (!empty_argument(server) || !empty_argument(user) || !empty_argument(domain) || !empty_argument(password))
      return E_INVALIDARG;
    connected_ = true;
    return S_OK;
  }

 private:
  bool connected_ = false;
};

void reset_tasks() {
  TaskSched &s = sched();
  std::lock_guard<std::mutex> g(s.lock);
  s.tasks.clear();
  s.log.clear();
}

}  // namespace

void register_task_scheduler() {
  static const bool registered = [] {
    register_reset_hook("task scheduler", [] {
      reset_tasks();
      com_register_class_of<Service>(CLSID_TaskScheduler);
    });
    com_register_class_of<Service>(CLSID_TaskScheduler);
    return true;
  }();
  (void)registered;
}

std::vector<ScheduledTask> scheduled_tasks() {
  TaskSched &s = sched();
  std::lock_guard<std::mutex> g(s.lock);
  std::vector<ScheduledTask> out;
  for (const Task &t : s.tasks) out.push_back(*t);
  return out;
}

std::optional<ScheduledTask> scheduled_task(const std::string &name) {
  TaskSched &s = sched();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = find_task(s, name);
  if (it == s.tasks.end()) return std::nullopt;
  return **it;
}

void put_scheduled_task(const ScheduledTask &task) {
  TaskSched &s = sched();
  std::lock_guard<std::mutex> g(s.lock);
  store(s, std::make_shared<ScheduledTask>(task));
}

std::vector<TaskRegistration> task_registrations() {
  TaskSched &s = sched();
  std::lock_guard<std::mutex> g(s.lock);
  return s.log;
}

}  // namespace sim

// Task Scheduler tasks: the connection object and the two flat functions.
#define HULD_MODULE "vornwincom\\WindowsTaskHelper"

#include "vornwincom/WindowsTaskHelper.h"

#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "vornwincom/com_support.h"
#include "vornwincom/flat_call.h"
#include "vornwincom/vornwincom_tasks.h"

namespace {

using vornwincom::Bstr;
using vornwincom::ComPtr;
using vornwincom::Variant;

// Narrow text in the ANSI code page as a BSTR; throws when it cannot be made.
Bstr ansi(const std::string &text) {
  int n = text.empty() ? 0 : MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (!text.empty() && n <= 0) throw vornwincom::ComError(E_INVALIDARG, "Failed to convert a text to a BSTR");
  Bstr b;
  *b.out() = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (!b.get()) throw vornwincom::ComError(E_OUTOFMEMORY, "Failed to allocate a BSTR");
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), b.get(), n);
  return b;
}

// A VARIANT holding an empty BSTR.
Variant empty_text() {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(nullptr, 0);
  if (!v.bstrVal) throw vornwincom::ComError(E_OUTOFMEMORY, "Failed to allocate a BSTR");
  Variant held;
  *held.out() = v;  // the holder takes the string over
  return held;
}

// QueryInterface from `from` into `to`; the HRESULT.
template <class T, class U>
HRESULT query(const ComPtr<T> &from, REFIID iid, ComPtr<U> &to) {
  return from->QueryInterface(iid, to.out_void());
}

// Records code 1 with the HRESULT as subcode in the name of `function`.
#define TASK_FAIL_IN(err, function, hr, ...)                                                              \
  huld_error_set((err), HULD_ERROR_FAILURE, static_cast<uint32_t>(hr), HULD_MODULE, (function), __LINE__, \
                 __VA_ARGS__)
#define TASK_FAIL(err, hr, ...) TASK_FAIL_IN(err, __func__, hr, __VA_ARGS__)

constexpr DATE kNoRunDate = 36494.0;  // 30 November 1999 00:00:00
constexpr HRESULT kTaskMissing = static_cast<HRESULT>(0x80070002L);

// The messages of one dated trigger's common steps, in step order.
struct DatedTriggerTexts {
  const char *collection, *create, *query, *id, *start;
};

// The common steps of a daily, weekly or monthly trigger: the trigger collection, a trigger of
// `type`, its typed interface, its id and its start boundary. 0 with `out` set, or 1 recorded in
// the name of `function`.
template <class I>
int dated_trigger(huld_error *err, const char *function, ITaskDefinition *definition, TASK_TRIGGER_TYPE2 type,
                  REFIID iid, const char *id, const DatedTriggerTexts &texts, ComPtr<I> &out) {
  std::string start = make_trigger_boundaries();
  ComPtr<ITriggerCollection> triggers;
  HRESULT hr = definition->get_Triggers(triggers.out());
  if (FAILED(hr) || !triggers) return TASK_FAIL_IN(err, function, hr, texts.collection, (unsigned)hr);
  ComPtr<ITrigger> trigger;
  hr = triggers->Create(type, trigger.out());
  if (FAILED(hr) || !trigger) return TASK_FAIL_IN(err, function, hr, texts.create, (unsigned)hr);
  hr = query(trigger, iid, out);
  if (FAILED(hr) || !out) return TASK_FAIL_IN(err, function, hr, texts.query, (unsigned)hr);
  hr = out->put_Id(ansi(id).get());
  if (FAILED(hr)) return TASK_FAIL_IN(err, function, hr, texts.id, (unsigned)hr);
  hr = out->put_StartBoundary(ansi(start).get());
  if (FAILED(hr)) return TASK_FAIL_IN(err, function, hr, texts.start, (unsigned)hr);
  return 0;
}

// A request field up to its NUL or its end.
template <size_t N>
std::string field(const char (&text)[N]) {
  return std::string(text, strnlen(text, N));
}

}  // namespace

std::string make_trigger_boundaries() {
  time_t now = time(nullptr);
  struct tm local {};
  if (localtime_s(&local, &now) != 0) throw std::runtime_error("Cannot read the local time.");
  local.tm_hour = 12;
  local.tm_min = 5;
  local.tm_sec = 0;
  char text[512];
  if (strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) throw std::runtime_error("Cannot format the time.");
  return text;
}

std::string bstr_to_string(BSTR text) {
  std::string out;
  for (UINT i = 0, n = SysStringLen(text); i < n; ++i) out += static_cast<char>(text[i] & 0xFF);
  return out;
}

WindowsTaskHelper::WindowsTaskHelper() : task_service(nullptr), root_folder(nullptr), initialized(false) {
  initialized = initialize();
}

WindowsTaskHelper::~WindowsTaskHelper() {
  if (task_service) task_service->Release();
  if (root_folder) root_folder->Release();
}

bool WindowsTaskHelper::initialize() {
  if (root_folder) root_folder->Release();
  if (task_service) task_service->Release();
  root_folder = nullptr;
  task_service = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                reinterpret_cast<void **>(&task_service));
  if (FAILED(hr) || !task_service) return false;
  Variant none;
  hr = task_service->Connect(none.get(), none.get(), none.get(), none.get());
  if (FAILED(hr)) return false;
  try {
    hr = task_service->GetFolder(ansi("\\").get(), &root_folder);
  } catch (const std::exception &) {
    return false;  // the folder's name could not be made
  }
  return SUCCEEDED(hr) && root_folder;
}

int WindowsTaskHelper::initialize_if_needed(huld_error *err) {
  if (!initialized && !initialize())
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                          "Failed to initialize Task connection");
  initialized = true;
  return huld_error_clear(err);
}

int WindowsTaskHelper::create_task(huld_error *err, const std::string &name, const std::string &description,
                                   const std::string &user, uint32_t run_level, uint32_t trigger_type,
                                   const std::string &path, const std::string &arguments,
                                   const std::string &working_directory) {
  if (initialize_if_needed(err)) return 1;
  if (trigger_type != TASK_TRIGGER_DAILY && trigger_type != TASK_TRIGGER_WEEKLY &&
      trigger_type != TASK_TRIGGER_MONTHLY && trigger_type != TASK_TRIGGER_LOGON)
    return huld_error_set(err, HULD_ERROR_NOT_SUPPORTED, 0, HULD_MODULE, __func__, __LINE__,
                          "Unsupported trigger type %xh", trigger_type);
  ComPtr<ITaskDefinition> definition;
  HRESULT hr = task_service->NewTask(0, definition.out());
  if (FAILED(hr) || !definition) return TASK_FAIL(err, hr, "Failed to instantiate new task (%xh)", (unsigned)hr);
  if (install_principal(err, definition.get(), user, run_level)) return 1;
  if (install_settings(err, definition.get())) return 1;
  int failed = trigger_type == TASK_TRIGGER_DAILY    ? install_daily_trigger(err, definition.get())
               : trigger_type == TASK_TRIGGER_WEEKLY ? install_weekly_trigger(err, definition.get())
               : trigger_type == TASK_TRIGGER_MONTHLY ? install_monthly_trigger(err, definition.get())
                                                      : install_logon_trigger(err, definition.get(), user);
  if (failed) return 1;
  if (install_execution_action(err, definition.get(), path, arguments, working_directory)) return 1;
  if (install_registration_info(err, definition.get(), description)) return 1;
  if (register_task(err, definition.get(), name)) return 1;
  return huld_error_clear(err);
}

int WindowsTaskHelper::delete_task(huld_error *err, const std::string &name) {
  if (initialize_if_needed(err)) return 1;
  HRESULT hr = root_folder->DeleteTask(ansi(name).get(), 0);
  if (FAILED(hr) && hr != kTaskMissing)
    return TASK_FAIL(err, hr, "Failed to delete task %s (%xh)", name.c_str(), (unsigned)hr);
  return huld_error_clear(err);
}

int WindowsTaskHelper::get_task(huld_error *err, const std::string &name, uint32_t *trigger_type,
                                SYSTEMTIME *last_run_time, bool *not_found) {
  if (not_found) *not_found = false;
  if (initialize_if_needed(err)) return 1;
  ComPtr<IRegisteredTaskCollection> tasks;
  HRESULT hr = root_folder->GetTasks(TASK_ENUM_HIDDEN, tasks.out());
  if (FAILED(hr) || !tasks) return TASK_FAIL(err, hr, "Failed to get registered task collection (%xh)", (unsigned)hr);
  LONG count = 0;
  hr = tasks->get_Count(&count);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to get registered task count (%xh)", (unsigned)hr);
  for (LONG i = 1; i <= count; ++i) {
    VARIANT index;
    VariantInit(&index);
    index.vt = VT_UINT;
    index.uintVal = static_cast<UINT>(i);
    ComPtr<IRegisteredTask> task;
    hr = tasks->get_Item(index, task.out());
    if (FAILED(hr) || !task) return TASK_FAIL(err, hr, "Failed to get registered task (%xh)", (unsigned)hr);
    Bstr task_name;
    hr = task->get_Name(task_name.out());
    if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to get task name (%xh)", (unsigned)hr);
    if (bstr_to_string(task_name.get()) != name) continue;

    ComPtr<ITaskDefinition> definition;
    hr = task->get_Definition(definition.out());
    if (FAILED(hr) || !definition) return TASK_FAIL(err, hr, "Failed to get task definition (%xh)", (unsigned)hr);
    ComPtr<ITriggerCollection> triggers;
    hr = definition->get_Triggers(triggers.out());
    if (FAILED(hr) || !triggers) return TASK_FAIL(err, hr, "Failed to get trigger collection (%xh)", (unsigned)hr);
    ComPtr<ITrigger> trigger;
    hr = triggers->get_Item(1, trigger.out());
    if (FAILED(hr) || !trigger) return TASK_FAIL(err, hr, "Failed to get trigger (%xh)", (unsigned)hr);
    TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
    hr = trigger->get_Type(&type);
    if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to get trigger type (%xh)", (unsigned)hr);
    DATE last = kNoRunDate;
    if (FAILED(task->get_LastRunTime(&last))) last = kNoRunDate;
    SYSTEMTIME when{};
    if (!VariantTimeToSystemTime(last, &when)) {
      when = SYSTEMTIME{};
      VariantTimeToSystemTime(kNoRunDate, &when);
    }
    *trigger_type = static_cast<uint32_t>(type);
    *last_run_time = when;
    return huld_error_clear(err);
  }
  if (not_found) *not_found = true;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__, "Task not found");
}

int WindowsTaskHelper::install_principal(huld_error *err, ITaskDefinition *definition, const std::string &user,
                                         uint32_t run_level) {
  ComPtr<IPrincipal> principal;
  HRESULT hr = definition->get_Principal(principal.out());
  if (FAILED(hr) || !principal) return TASK_FAIL(err, hr, "Failed to get principal (%xh)", (unsigned)hr);
  hr = principal->put_UserId(ansi(user).get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put User Id (%xh)", (unsigned)hr);
  hr = principal->put_RunLevel(static_cast<TASK_RUNLEVEL_TYPE>(run_level));
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put run level (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_settings(huld_error *err, ITaskDefinition *definition) {
  ComPtr<ITaskSettings> settings;
  HRESULT hr = definition->get_Settings(settings.out());
  if (FAILED(hr) || !settings) return TASK_FAIL(err, hr, "Failed to get task settings (%xh)", (unsigned)hr);
  hr = settings->put_Enabled(1);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put task enabled (%xh)", (unsigned)hr);
  hr = settings->put_Compatibility(TASK_COMPATIBILITY_V2);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put task compatibility setting (%xh)", (unsigned)hr);
  hr = definition->put_Settings(settings.get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put task settings (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_daily_trigger(huld_error *err, ITaskDefinition *definition) {
  static const DatedTriggerTexts texts = {
      "Failed to get trigger collection (%xh)", "Failed to create daily trigger (%xh)",
      "Failed to get IDailyTrigger (%xh)", "Failed to put TriggerDaily Id (%xh)",
      "Failed to put start boundary for daily trigger (%xh)"};
  ComPtr<IDailyTrigger> trigger;
  if (dated_trigger(err, __func__, definition, TASK_TRIGGER_DAILY, IID_IDailyTrigger, "TriggerDaily", texts, trigger))
    return 1;
  HRESULT hr = trigger->put_DaysInterval(1);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to set days interval for daily trigger (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_weekly_trigger(huld_error *err, ITaskDefinition *definition) {
  static const DatedTriggerTexts texts = {
      "Failed to get weekly trigger collection (%xh)", "Failed to create weekly trigger (%xh)",
      "Failed to get IWeeklyTrigger (%xh)", "Failed to put TriggerWeekly Id (%xh)",
      "Failed to set up weekly start boundary (%xh)"};
  ComPtr<IWeeklyTrigger> trigger;
  if (dated_trigger(err, __func__, definition, TASK_TRIGGER_WEEKLY, IID_IWeeklyTrigger, "TriggerWeekly", texts,
                    trigger))
    return 1;
  HRESULT hr = trigger->put_WeeksInterval(1);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put weekly interval (%xh)", (unsigned)hr);
  hr = trigger->put_DaysOfWeek(0x20);  // Friday
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put weekly DaysOfWeek (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_monthly_trigger(huld_error *err, ITaskDefinition *definition) {
  static const DatedTriggerTexts texts = {
      "Failed to get triggers collection (%xh)", "Failed to create monthly trigger (%xh)",
      "Failed to create IMonthlyTrigger (%xh)", "Failed to put TriggerMonthly Id (%xh)",
      "Failed to put monthly start boundary (%xh)"};
  ComPtr<IMonthlyTrigger> trigger;
  if (dated_trigger(err, __func__, definition, TASK_TRIGGER_MONTHLY, IID_IMonthlyTrigger, "TriggerMonthly", texts,
                    trigger))
    return 1;
  HRESULT hr = trigger->put_MonthsOfYear(0xFFF);  // all twelve months
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put months of year for monthly trigger (%xh)", (unsigned)hr);
  hr = trigger->put_RunOnLastDayOfMonth(VARIANT_TRUE);
  if (FAILED(hr))
    return TASK_FAIL(err, hr, "Failed to put run on last day of month for monthly trigger (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_logon_trigger(huld_error *err, ITaskDefinition *definition, const std::string &user) {
  ComPtr<ITaskSettings> settings;
  HRESULT hr = definition->get_Settings(settings.out());
  if (FAILED(hr) || !settings) return TASK_FAIL(err, hr, "Failed to get task settings (%xh)", (unsigned)hr);
  settings->put_Enabled(1);
  settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
  settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
  settings->put_RunOnlyIfIdle(VARIANT_FALSE);
  hr = definition->put_Settings(settings.get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put task settings (%xh)", (unsigned)hr);

  ComPtr<ITriggerCollection> triggers;
  hr = definition->get_Triggers(triggers.out());
  if (FAILED(hr) || !triggers) return TASK_FAIL(err, hr, "Failed to get triggers collection (%xh)", (unsigned)hr);
  ComPtr<ITrigger> trigger;
  hr = triggers->Create(TASK_TRIGGER_LOGON, trigger.out());
  if (FAILED(hr) || !trigger) return TASK_FAIL(err, hr, "Failed to create logon trigger (%xh)", (unsigned)hr);
  ComPtr<ILogonTrigger> logon;
  hr = query(trigger, IID_ILogonTrigger, logon);
  if (FAILED(hr) || !logon) return TASK_FAIL(err, hr, "Failed to get ILogonTrigger (%xh)", (unsigned)hr);
  hr = logon->put_Id(ansi("Trigger1").get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put Trigger1 ID (%xh)", (unsigned)hr);
  hr = logon->put_UserId(ansi(user).get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put logon trigger UserId (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::install_execution_action(huld_error *err, ITaskDefinition *definition, const std::string &path,
                                                const std::string &arguments, const std::string &working_directory) {
  ComPtr<IActionCollection> actions;
  HRESULT hr = definition->get_Actions(actions.out());
  if (FAILED(hr) || !actions) return TASK_FAIL(err, hr, "Failed to get task action collection (%xh)", (unsigned)hr);
  ComPtr<IAction> action;
  hr = actions->Create(TASK_ACTION_EXEC, action.out());
  if (FAILED(hr) || !action) return TASK_FAIL(err, hr, "Failed to create task action exec (%xh)", (unsigned)hr);
  ComPtr<IExecAction> exec;
  hr = query(action, IID_IExecAction, exec);
  if (FAILED(hr) || !exec) return TASK_FAIL(err, hr, "Failed to create IExecAction (%xh)", (unsigned)hr);
  hr = exec->put_Path(ansi(path).get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put exec path (%s) (%xh)", path.c_str(), (unsigned)hr);
  hr = exec->put_Arguments(ansi(arguments).get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put exec args (%s) (%xh)", arguments.c_str(), (unsigned)hr);
  if (!working_directory.empty()) {
    hr = exec->put_WorkingDirectory(ansi(working_directory).get());
    if (FAILED(hr))
      return TASK_FAIL(err, hr, "Failed to put exec working directory (%s) (%xh)", working_directory.c_str(),
                       (unsigned)hr);
  }
  return 0;
}

int WindowsTaskHelper::install_registration_info(huld_error *err, ITaskDefinition *definition,
                                                 const std::string &description) {
  ComPtr<IRegistrationInfo> info;
  HRESULT hr = definition->get_RegistrationInfo(info.out());
  if (FAILED(hr) || !info) return TASK_FAIL(err, hr, "Failed to get registration info (%xh)", (unsigned)hr);
  hr = info->put_Description(ansi(description).get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put registration description (%xh)", (unsigned)hr);
  hr = definition->put_RegistrationInfo(info.get());
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to put registration info (%xh)", (unsigned)hr);
  return 0;
}

int WindowsTaskHelper::register_task(huld_error *err, ITaskDefinition *definition, const std::string &name) {
  Variant user = empty_text(), password = empty_text(), sddl = empty_text();
  ComPtr<IRegisteredTask> task;
  HRESULT hr = root_folder->RegisterTaskDefinition(ansi(name).get(), definition, TASK_CREATE_OR_UPDATE, user.get(),
                                                   password.get(), TASK_LOGON_NONE, sddl.get(), task.out());
  if (FAILED(hr) || !task) return TASK_FAIL(err, hr, "Failed to register task definition (%xh)", (unsigned)hr);
  TASK_STATE state = TASK_STATE_UNKNOWN;
  hr = task->get_State(&state);
  if (FAILED(hr)) return TASK_FAIL(err, hr, "Failed to get registered task state (%xh)", (unsigned)hr);
  return 0;
}

// ---- Flat functions ------------------------------------------------------------------------------

int vornwincom_set_scheduled_task(huld_error *err, const vornwincom_task_request *request) {
  if (!request) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no task request");
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&] {
    WindowsTaskHelper helper;
    int failed = request->remove ? helper.delete_task(err, field(request->name))
                                 : helper.create_task(err, field(request->name), field(request->description),
                                                      field(request->user), request->run_level, request->trigger_type,
                                                      field(request->path), field(request->arguments),
                                                      field(request->working_directory));
    return failed ? 1 : huld_error_clear(err);
  });
}

int vornwincom_get_scheduled_task(huld_error *err, const char *name, vornwincom_task_info *info) {
  if (!name || !info) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Invalid argument: no task name or result");
  return vornwincom::flat_call(err, HULD_MODULE, __func__, [&] {
    WindowsTaskHelper helper;
    uint32_t type = 0;
    SYSTEMTIME when{};
    bool not_found = false;
    if (helper.get_task(err, name, &type, &when, &not_found)) {
      info->found = 0;
      return not_found ? huld_error_clear(err) : 1;
    }
    info->found = 1;
    info->last_run_time = when;
    info->trigger_type = type;
    return huld_error_clear(err);
  });
}

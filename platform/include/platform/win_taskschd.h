// Linux stand-in: the Task Scheduler 2.0 subset (taskschd.h on Windows) that the library's task
// functions call: the service, the root folder, task definitions with their principal, settings,
// triggers, actions and registration info, and the registered tasks. Only the methods the system
// calls are declared; the interfaces are the stand-in's own (their method order is not the SDK's).
#pragma once
#ifndef _WIN32

#include "platform/win_types.h"
#include "platform/win_com.h"

extern const CLSID CLSID_TaskScheduler;         // {0F87369F-A4E5-4CFC-BD3E-73E6154572DD}
extern const IID IID_ITaskService;              // {2FABA4C7-4DA9-4013-9697-20CC3FD40F85}
extern const IID IID_ITaskFolder;               // {8CFAC062-A080-4C15-9A88-AA7C2AF80DFC}
extern const IID IID_ITaskDefinition;           // {F5BC8FC5-536D-4F77-B852-FBC1356FDEB6}
extern const IID IID_IRegistrationInfo;         // {416D8B73-CB41-4EA1-805C-9BE9A5AC4A74}
extern const IID IID_ITaskSettings;             // {8FD4711D-2D02-4C8C-87E3-EFF699DE127E}
extern const IID IID_IPrincipal;                // {D98D51E5-C9B4-496A-A9C1-18980261CF0F}
extern const IID IID_ITriggerCollection;        // {85DF5081-1B24-4F32-878A-D9D14DF4CB77}
extern const IID IID_ITrigger;                  // {09941815-EA89-4B5B-89E0-2A773801FAC3}
extern const IID IID_IDailyTrigger;             // {126C5CD8-B288-41D5-8DBF-E491446ADC5C}
extern const IID IID_IWeeklyTrigger;            // {5038FC98-82FF-436D-8728-A512A57C9DC1}
extern const IID IID_IMonthlyTrigger;           // {97C45EF1-6B02-4A1A-9C0E-1EBFBA1500AC}
extern const IID IID_ILogonTrigger;             // {72DADE38-FAE4-4B3E-BAF4-5D009AF02B1C}
extern const IID IID_IActionCollection;         // {02820E19-7B98-4ED2-B2E8-FDCCCEFF619B}
extern const IID IID_IAction;                   // {BAE54997-48B1-4CBE-9965-D6BE263EBEA4}
extern const IID IID_IExecAction;               // {4C3D624D-FD6B-49A3-B9B7-09CB3CD3F047}
extern const IID IID_IRegisteredTaskCollection; // {86627EB4-42A7-41E4-A4D9-AC33A72F2D52}
extern const IID IID_IRegisteredTask;           // {9C86F320-DEE3-4DD1-B972-A303F26B061E}

// A success code of get_LastRunTime: the task has never run.
#define SCHED_S_TASK_HAS_NOT_RUN ((HRESULT)0x00041303L)

typedef enum _TASK_TRIGGER_TYPE2 {
  TASK_TRIGGER_EVENT = 0,
  TASK_TRIGGER_TIME = 1,
  TASK_TRIGGER_DAILY = 2,
  TASK_TRIGGER_WEEKLY = 3,
  TASK_TRIGGER_MONTHLY = 4,
  TASK_TRIGGER_MONTHLYDOW = 5,
  TASK_TRIGGER_IDLE = 6,
  TASK_TRIGGER_REGISTRATION = 7,
  TASK_TRIGGER_BOOT = 8,
  TASK_TRIGGER_LOGON = 9,
  TASK_TRIGGER_SESSION_STATE_CHANGE = 11,
} TASK_TRIGGER_TYPE2;

typedef enum _TASK_RUNLEVEL { TASK_RUNLEVEL_LUA = 0, TASK_RUNLEVEL_HIGHEST = 1 } TASK_RUNLEVEL_TYPE;

typedef enum _TASK_LOGON_TYPE {
  TASK_LOGON_NONE = 0,
  TASK_LOGON_PASSWORD = 1,
  TASK_LOGON_S4U = 2,
  TASK_LOGON_INTERACTIVE_TOKEN = 3,
} TASK_LOGON_TYPE;

typedef enum _TASK_ACTION_TYPE { TASK_ACTION_EXEC = 0 } TASK_ACTION_TYPE;

typedef enum _TASK_COMPATIBILITY {
  TASK_COMPATIBILITY_AT = 0,
  TASK_COMPATIBILITY_V1 = 1,
  TASK_COMPATIBILITY_V2 = 2,
} TASK_COMPATIBILITY;

typedef enum _TASK_CREATION {
  TASK_VALIDATE_ONLY = 1,
  TASK_CREATE = 2,
  TASK_UPDATE = 4,
  TASK_CREATE_OR_UPDATE = 6,
} TASK_CREATION;

typedef enum _TASK_ENUM_FLAGS { TASK_ENUM_HIDDEN = 1 } TASK_ENUM_FLAGS;

typedef enum _TASK_STATE {
  TASK_STATE_UNKNOWN = 0,
  TASK_STATE_DISABLED = 1,
  TASK_STATE_QUEUED = 2,
  TASK_STATE_READY = 3,
  TASK_STATE_RUNNING = 4,
} TASK_STATE;

struct IRegistrationInfo : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE put_Description(BSTR description) = 0;
};

struct ITaskSettings : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY level) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL stop) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL disallow) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL idle) = 0;
};

struct IPrincipal : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) = 0;
};

// Boundaries are texts of the form 2026-12-05T12:05:00.
struct ITrigger : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2 *type) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Id(BSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR start) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR end) = 0;
};

struct IDailyTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE put_DaysInterval(short days) = 0;
};

// Days of the week: bit 0 Sunday ... bit 6 Saturday.
struct IWeeklyTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short days) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WeeksInterval(short weeks) = 0;
};

// Months of the year: bit 0 January ... bit 11 December.
struct IMonthlyTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE put_MonthsOfYear(short months) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunOnLastDayOfMonth(VARIANT_BOOL last_day) = 0;
};

struct ILogonTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

// Index counts from 1.
struct ITriggerCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger **trigger) = 0;
  virtual HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger **trigger) = 0;
};

struct IAction : public IDispatch {};

struct IExecAction : public IAction {
  virtual HRESULT STDMETHODCALLTYPE put_Path(BSTR path) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Arguments(BSTR arguments) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR directory) = 0;
};

struct IActionCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction **action) = 0;
};

struct ITaskDefinition : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo **info) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo *info) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection **triggers) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings **settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings *settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal **principal) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection **actions) = 0;
};

struct IRegisteredTask : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR *name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(TASK_STATE *state) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE *last_run) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition **definition) = 0;
};

// The index is a VARIANT: an integer position counting from 1, or a task name.
struct IRegisteredTaskCollection : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG *count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IRegisteredTask **task) = 0;
};

struct ITaskFolder : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection **tasks) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition *definition, LONG flags,
                                                           VARIANT user, VARIANT password, TASK_LOGON_TYPE logon,
                                                           VARIANT sddl, IRegisteredTask **task) = 0;
};

struct ITaskService : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder **folder) = 0;
  virtual HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition **definition) = 0;
  virtual HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) = 0;
};

#endif  // _WIN32

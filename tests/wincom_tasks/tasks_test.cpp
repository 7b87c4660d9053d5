// Scheduled tasks against the simulated Task Scheduler: what a registration carries for each
// trigger type, replacement and removal, every failing call with its message, and the look-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/com.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/tasks.h"
#include "tests/support/huld_error_line.h"
#include "vornwincom/vornwincom_tasks.h"

namespace {

using Puts = std::vector<sim::TaskPut>;
const char *const kName = "Orbu check";

class Tasks : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::use_default_machine();
    sim::app_knobs().fixed_calendar_time = 1796459400;  // 2026-12-05 08:30:00
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoUninitialize();
    sim::reset_machine();
  }
  static vornwincom_task_request request(uint32_t type, const char *dir = "") {
    vornwincom_task_request r{};
    std::strcpy(r.name, kName);
    r.trigger_type = type;
    std::strcpy(r.description, "Checks the drives");
    std::strcpy(r.user, "SYSTEM");
    r.run_level = 1;
    std::strcpy(r.path, "C:\\orbu\\orbu.exe");
    std::strcpy(r.arguments, "/s");
    std::strcpy(r.working_directory, dir);
    return r;
  }
  // A task registered before the test, with a time trigger and an action.
  static void old_task() {
    sim::ScheduledTask t;
    t.name = kName;
    t.puts = {{"IExecAction::put_Path", "old.exe"}};
    t.triggers = {{TASK_TRIGGER_TIME, {}}};
    t.has_action = true;
    sim::put_scheduled_task(t);
  }
  static void fail(const char *function, uint32_t nth = 1) { fail_when(function, sim::FaultCount::at(nth)); }
  static void fail_when(const char *function, sim::FaultCount count) {
    sim::fail_call({{"api", "com"}, {"function", function}}, 0x80004005, count);
  }
  huld_error err_{};
};

TEST_F(Tasks, EachTriggerTypeIsRegisteredWithItsValues) {
  const std::string start = "2026-12-05T12:05:00";
  struct Case {
    uint32_t type;
    Puts trigger;
  } cases[] = {
      {2, {{"ITrigger::put_Id", "TriggerDaily"}, {"ITrigger::put_StartBoundary", start},
           {"IDailyTrigger::put_DaysInterval", "1"}}},
      {3, {{"ITrigger::put_Id", "TriggerWeekly"}, {"ITrigger::put_StartBoundary", start},
           {"IWeeklyTrigger::put_WeeksInterval", "1"}, {"IWeeklyTrigger::put_DaysOfWeek", "32"}}},
      {4, {{"ITrigger::put_Id", "TriggerMonthly"}, {"ITrigger::put_StartBoundary", start},
           {"IMonthlyTrigger::put_MonthsOfYear", "4095"}, {"IMonthlyTrigger::put_RunOnLastDayOfMonth", "-1"}}},
      {9, {{"ITrigger::put_Id", "Trigger1"}, {"ILogonTrigger::put_UserId", "SYSTEM"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    vornwincom_task_request r = request(c.type);
    ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
    auto task = sim::scheduled_task(kName);
    ASSERT_TRUE(task);
    ASSERT_EQ(1u, task->triggers.size());
    EXPECT_EQ(c.type, static_cast<uint32_t>(task->triggers[0].type));
    EXPECT_EQ(c.trigger, task->triggers[0].puts);  // no end boundary
  }
  // The registration: create-or-update, no logon type, empty texts for user, password and SDDL.
  sim::TaskRegistration reg = sim::task_registrations().back();
  EXPECT_EQ(6, reg.flags);
  EXPECT_EQ(TASK_LOGON_NONE, reg.logon);
  EXPECT_EQ("VT_BSTR:", reg.user);
  EXPECT_EQ("VT_BSTR:", reg.password);
  EXPECT_EQ("VT_BSTR:", reg.sddl);
  // The logon trigger switches the battery and idle conditions off on top of the settings.
  Puts logon = {{"IPrincipal::put_UserId", "SYSTEM"},
                {"IPrincipal::put_RunLevel", "1"},
                {"ITaskSettings::put_Enabled", "1"},
                {"ITaskSettings::put_Compatibility", "2"},
                {"ITaskDefinition::put_Settings", ""},
                {"ITaskSettings::put_Enabled", "1"},
                {"ITaskSettings::put_StopIfGoingOnBatteries", "0"},
                {"ITaskSettings::put_DisallowStartIfOnBatteries", "0"},
                {"ITaskSettings::put_RunOnlyIfIdle", "0"},
                {"ITaskDefinition::put_Settings", ""},
                {"IExecAction::put_Path", "C:\\orbu\\orbu.exe"},
                {"IExecAction::put_Arguments", "/s"},
                {"IRegistrationInfo::put_Description", "Checks the drives"},
                {"ITaskDefinition::put_RegistrationInfo", ""}};
  EXPECT_EQ(logon, sim::scheduled_task(kName)->puts);
  EXPECT_EQ(1u, sim::scheduled_tasks().size());
}

TEST_F(Tasks, WorkingDirectoryIsSetOnlyWhenGiven) {
  vornwincom_task_request r = request(2, "C:\\orbu");
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
  Puts puts = sim::scheduled_task(kName)->puts;
  EXPECT_EQ(1, std::count(puts.begin(), puts.end(), sim::TaskPut{"IExecAction::put_WorkingDirectory", "C:\\orbu"}));
  // Text fields filling their width without a NUL are read to their end.
  std::memset(r.name, 'n', sizeof r.name);
  std::memset(r.working_directory, 'w', sizeof r.working_directory);
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
  auto task = sim::scheduled_task(std::string(512, 'n'));
  ASSERT_TRUE(task);
  EXPECT_EQ(sim::TaskPut({"IExecAction::put_WorkingDirectory", std::string(260, 'w')}), task->puts[7]);
}

TEST_F(Tasks, ReplacingAndRemoving) {
  old_task();
  vornwincom_task_request r = request(3);
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
  EXPECT_EQ(TASK_TRIGGER_WEEKLY, sim::scheduled_task(kName)->triggers.at(0).type);
  EXPECT_EQ(1u, sim::scheduled_tasks().size());

  r.remove = 1;
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
  EXPECT_TRUE(sim::scheduled_tasks().empty());
  // Removing a task that does not exist succeeds.
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);

  old_task();
  fail("ITaskFolder::DeleteTask");
  EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
  EXPECT_EQ("code 1 subcode 2147500037 file vornwincom\\WindowsTaskHelper function delete_task message "
            "Failed to delete task Orbu check (80004005h)",
            error_line(err_));
  EXPECT_TRUE(sim::scheduled_task(kName));
}

TEST_F(Tasks, UnsupportedTriggerTypeKeepsTheOldTask) {
  for (uint32_t type : {1u, 5u}) {
    old_task();
    vornwincom_task_request r = request(type);
    EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
    EXPECT_EQ("code 2 subcode 0 file vornwincom\\WindowsTaskHelper function create_task message "
              "Unsupported trigger type " + std::to_string(type) + "h",
              error_line(err_));
    EXPECT_EQ(TASK_TRIGGER_TIME, sim::scheduled_task(kName)->triggers.at(0).type);
  }
  EXPECT_TRUE(sim::task_registrations().empty());
}

// Every failing call of a registration: its member, its message, and the old task untouched.
TEST_F(Tasks, EveryFailingCallStopsTheRegistration) {
  struct Row {
    uint32_t type;
    const char *call;
    uint32_t nth;
    const char *function;
    const char *message;
  } rows[] = {
      {2, "ITaskService::NewTask", 1, "create_task", "Failed to instantiate new task"},
      {2, "ITaskDefinition::get_Principal", 1, "install_principal", "Failed to get principal"},
      {2, "IPrincipal::put_UserId", 1, "install_principal", "Failed to put User Id"},
      {2, "IPrincipal::put_RunLevel", 1, "install_principal", "Failed to put run level"},
      {2, "ITaskDefinition::get_Settings", 1, "install_settings", "Failed to get task settings"},
      {2, "ITaskSettings::put_Enabled", 1, "install_settings", "Failed to put task enabled"},
      {2, "ITaskSettings::put_Compatibility", 1, "install_settings", "Failed to put task compatibility setting"},
      {2, "ITaskDefinition::put_Settings", 1, "install_settings", "Failed to put task settings"},
      {2, "ITaskDefinition::get_Triggers", 1, "install_daily_trigger", "Failed to get trigger collection"},
      {2, "ITriggerCollection::Create", 1, "install_daily_trigger", "Failed to create daily trigger"},
      {2, "ITrigger::QueryInterface", 1, "install_daily_trigger", "Failed to get IDailyTrigger"},
      {2, "ITrigger::put_Id", 1, "install_daily_trigger", "Failed to put TriggerDaily Id"},
      {2, "ITrigger::put_StartBoundary", 1, "install_daily_trigger", "Failed to put start boundary for daily trigger"},
      {2, "IDailyTrigger::put_DaysInterval", 1, "install_daily_trigger",
       "Failed to set days interval for daily trigger"},
      {3, "ITaskDefinition::get_Triggers", 1, "install_weekly_trigger", "Failed to get weekly trigger collection"},
      {3, "ITriggerCollection::Create", 1, "install_weekly_trigger", "Failed to create weekly trigger"},
      {3, "ITrigger::QueryInterface", 1, "install_weekly_trigger", "Failed to get IWeeklyTrigger"},
      {3, "ITrigger::put_Id", 1, "install_weekly_trigger", "Failed to put TriggerWeekly Id"},
      {3, "ITrigger::put_StartBoundary", 1, "install_weekly_trigger", "Failed to set up weekly start boundary"},
      {3, "IWeeklyTrigger::put_WeeksInterval", 1, "install_weekly_trigger", "Failed to put weekly interval"},
      {3, "IWeeklyTrigger::put_DaysOfWeek", 1, "install_weekly_trigger", "Failed to put weekly DaysOfWeek"},
      {4, "ITaskDefinition::get_Triggers", 1, "install_monthly_trigger", "Failed to get triggers collection"},
      {4, "ITriggerCollection::Create", 1, "install_monthly_trigger", "Failed to create monthly trigger"},
      {4, "ITrigger::QueryInterface", 1, "install_monthly_trigger", "Failed to create IMonthlyTrigger"},
      {4, "ITrigger::put_Id", 1, "install_monthly_trigger", "Failed to put TriggerMonthly Id"},
      {4, "ITrigger::put_StartBoundary", 1, "install_monthly_trigger", "Failed to put monthly start boundary"},
      {4, "IMonthlyTrigger::put_MonthsOfYear", 1, "install_monthly_trigger",
       "Failed to put months of year for monthly trigger"},
      {4, "IMonthlyTrigger::put_RunOnLastDayOfMonth", 1, "install_monthly_trigger",
       "Failed to put run on last day of month for monthly trigger"},
      {9, "ITaskDefinition::get_Settings", 2, "install_logon_trigger", "Failed to get task settings"},
      {9, "ITaskDefinition::put_Settings", 2, "install_logon_trigger", "Failed to put task settings"},
      {9, "ITaskDefinition::get_Triggers", 1, "install_logon_trigger", "Failed to get triggers collection"},
      {9, "ITriggerCollection::Create", 1, "install_logon_trigger", "Failed to create logon trigger"},
      {9, "ITrigger::QueryInterface", 1, "install_logon_trigger", "Failed to get ILogonTrigger"},
      {9, "ITrigger::put_Id", 1, "install_logon_trigger", "Failed to put Trigger1 ID"},
      {9, "ILogonTrigger::put_UserId", 1, "install_logon_trigger", "Failed to put logon trigger UserId"},
      {2, "ITaskDefinition::get_Actions", 1, "install_execution_action", "Failed to get task action collection"},
      {2, "IActionCollection::Create", 1, "install_execution_action", "Failed to create task action exec"},
      {2, "IAction::QueryInterface", 1, "install_execution_action", "Failed to create IExecAction"},
      {2, "IExecAction::put_Path", 1, "install_execution_action", "Failed to put exec path (C:\\orbu\\orbu.exe)"},
      {2, "IExecAction::put_Arguments", 1, "install_execution_action", "Failed to put exec args (/s)"},
      {2, "IExecAction::put_WorkingDirectory", 1, "install_execution_action",
       "Failed to put exec working directory (C:\\orbu)"},
      {2, "ITaskDefinition::get_RegistrationInfo", 1, "install_registration_info", "Failed to get registration info"},
      {2, "IRegistrationInfo::put_Description", 1, "install_registration_info",
       "Failed to put registration description"},
      {2, "ITaskDefinition::put_RegistrationInfo", 1, "install_registration_info", "Failed to put registration info"},
      {2, "ITaskFolder::RegisterTaskDefinition", 1, "register_task", "Failed to register task definition"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.call);
    sim::clear_faults();
    old_task();
    fail(row.call, row.nth);
    vornwincom_task_request r = request(row.type, "C:\\orbu");
    EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
    EXPECT_EQ(std::string("code 1 subcode 2147500037 file vornwincom\\WindowsTaskHelper function ") + row.function +
                  " message " + row.message + " (80004005h)",
              error_line(err_));
    EXPECT_EQ(Puts({{"IExecAction::put_Path", "old.exe"}}), sim::scheduled_task(kName)->puts);
  }
  // The state of the registered task is read after the registration (which has then happened).
  sim::clear_faults();
  fail("IRegisteredTask::get_State");
  vornwincom_task_request r = request(2);
  EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
  EXPECT_STREQ("Failed to get registered task state (80004005h)", err_.message);
  // The logon trigger does not look at its own settings calls.
  sim::clear_faults();
  fail("ITaskSettings::put_StopIfGoingOnBatteries");
  r = request(9);
  EXPECT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
}

TEST_F(Tasks, NoConnectionIsAFailureOfEveryCall) {
  vornwincom_task_request r = request(2);
  vornwincom_task_info info{};
  auto expect_no_connection = [&] {
    EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
    EXPECT_EQ("code 1 subcode 0 file vornwincom\\WindowsTaskHelper function initialize_if_needed message "
              "Failed to initialize Task connection",
              error_line(err_));
    EXPECT_EQ(1, vornwincom_get_scheduled_task(&err_, kName, &info));
    EXPECT_STREQ("Failed to initialize Task connection", err_.message);
  };
  for (const char *call : {"ITaskService::Connect", "ITaskService::GetFolder", "SysAllocStringLen"}) {
    SCOPED_TRACE(call);
    sim::clear_faults();
    fail_when(call, sim::FaultCount::always());
    expect_no_connection();
  }
  sim::clear_faults();
  // Without COM on the thread nothing can be created.
  CoUninitialize();
  expect_no_connection();
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  sim::com_register_class_result(CLSID_TaskScheduler, REGDB_E_CLASSNOTREG);
  expect_no_connection();
  EXPECT_TRUE(sim::scheduled_tasks().empty());
}

TEST_F(Tasks, AFailedFirstConnectionIsRetried) {
  fail("ITaskService::Connect", 1);
  vornwincom_task_request r = request(4);
  ASSERT_EQ(0, vornwincom_set_scheduled_task(&err_, &r)) << error_line(err_);
  EXPECT_TRUE(sim::scheduled_task(kName));
}

TEST_F(Tasks, TextThatCannotBecomeABstrIsAFailure) {
  old_task();
  fail("SysAllocStringLen", 2);  // the first is the root folder's name, the second the user id
  vornwincom_task_request r = request(2);
  EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, &r));
  EXPECT_EQ(1u, err_.code);
  EXPECT_STREQ("vornwincom_set_scheduled_task", err_.function);
  EXPECT_EQ(TASK_TRIGGER_TIME, sim::scheduled_task(kName)->triggers.at(0).type);
}

TEST_F(Tasks, NullArgumentsAreRefused) {
  vornwincom_task_info info{};
  EXPECT_EQ(1, vornwincom_set_scheduled_task(&err_, nullptr));
  EXPECT_EQ(1u, err_.code);
  EXPECT_EQ(1, vornwincom_get_scheduled_task(&err_, nullptr, &info));
  EXPECT_EQ(1, vornwincom_get_scheduled_task(&err_, kName, nullptr));
  EXPECT_EQ(1u, err_.code);
}

TEST_F(Tasks, LookUp) {
  sim::ScheduledTask t;
  t.name = "Other";
  t.triggers = {{TASK_TRIGGER_DAILY, {}}};
  sim::put_scheduled_task(t);
  t.name = kName;
  t.triggers = {{TASK_TRIGGER_WEEKLY, {}}, {TASK_TRIGGER_DAILY, {}}};
  t.last_run = 49278.43090277778;  // 2034-11-30 10:20:30
  sim::put_scheduled_task(t);

  vornwincom_task_info info{};
  ASSERT_EQ(0, vornwincom_get_scheduled_task(&err_, kName, &info)) << error_line(err_);
  EXPECT_EQ(1u, info.found);
  EXPECT_EQ(3u, info.trigger_type);
  SYSTEMTIME &w = info.last_run_time;
  EXPECT_EQ("2034-11-30 10:20:30 4", std::to_string(w.wYear) + "-" + std::to_string(w.wMonth) + "-" +
                                         std::to_string(w.wDay) + " " + std::to_string(w.wHour) + ":" +
                                         std::to_string(w.wMinute) + ":" + std::to_string(w.wSecond) + " " +
                                         std::to_string(w.wDayOfWeek));

  // Never ran, or the time cannot be read: 30 November 1999.
  t.last_run.reset();
  sim::put_scheduled_task(t);
  for (bool fault : {false, true}) {
    if (fault) fail("IRegisteredTask::get_LastRunTime");
    info = {};
    ASSERT_EQ(0, vornwincom_get_scheduled_task(&err_, kName, &info)) << error_line(err_);
    EXPECT_EQ(1u, info.found);
    EXPECT_EQ(1999, info.last_run_time.wYear);
    EXPECT_EQ(11, info.last_run_time.wMonth);
    EXPECT_EQ(30, info.last_run_time.wDay);
    EXPECT_EQ(0, info.last_run_time.wHour);
  }

  // A name that differs in case only, or no task at all: not found, which is no failure.
  info = {};
  info.found = 7;
  EXPECT_EQ(0, vornwincom_get_scheduled_task(&err_, "orbu check", &info));
  EXPECT_EQ(0u, info.found);
  EXPECT_EQ(0u, err_.code);
}

TEST_F(Tasks, ALookUpThatFailsReportsItsFailure) {
  sim::ScheduledTask t;
  t.name = kName;
  t.triggers = {{TASK_TRIGGER_DAILY, {}}};
  sim::put_scheduled_task(t);
  struct Row {
    const char *call;
    const char *message;
  } rows[] = {
      {"ITaskFolder::GetTasks", "Failed to get registered task collection (80004005h)"},
      {"IRegisteredTaskCollection::get_Count", "Failed to get registered task count (80004005h)"},
      {"IRegisteredTaskCollection::get_Item", "Failed to get registered task (80004005h)"},
      {"IRegisteredTask::get_Name", "Failed to get task name (80004005h)"},
      {"IRegisteredTask::get_Definition", "Failed to get task definition (80004005h)"},
      {"ITaskDefinition::get_Triggers", "Failed to get trigger collection (80004005h)"},
      {"ITriggerCollection::get_Item", "Failed to get trigger (80004005h)"},
      {"ITrigger::get_Type", "Failed to get trigger type (80004005h)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.call);
    sim::clear_faults();
    fail(row.call);
    vornwincom_task_info info{};
    EXPECT_EQ(1, vornwincom_get_scheduled_task(&err_, kName, &info));
    EXPECT_EQ(0u, info.found);
    EXPECT_EQ(std::string("code 1 subcode 2147500037 file vornwincom\\WindowsTaskHelper function get_task message ") +
                  row.message,
              error_line(err_));
  }
  // A task without triggers cannot be read.
  sim::clear_faults();
  t.triggers.clear();
  sim::put_scheduled_task(t);
  vornwincom_task_info info{};
  EXPECT_EQ(1, vornwincom_get_scheduled_task(&err_, kName, &info));
  EXPECT_STREQ("Failed to get trigger (80070057h)", err_.message);
}

}  // namespace

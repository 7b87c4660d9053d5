// The connection to the Task Scheduler behind the task flat functions (vornwincom_tasks.h): one
// object per flat call, on its stack. Every member but the constructor, the destructor and
// initialize takes the caller's error record and returns 0 or 1; internals may throw (a text that
// cannot become a BSTR), which the flat functions catch.
#pragma once

#include <cstdint>
#include <string>

#include "huld/huld_log.h"
#include "platform/win32.h"

class WindowsTaskHelper {
 public:
  // Connects at once (initialize); a failed connection is retried by initialize_if_needed.
  WindowsTaskHelper();
  ~WindowsTaskHelper();
  WindowsTaskHelper(const WindowsTaskHelper &) = delete;
  WindowsTaskHelper &operator=(const WindowsTaskHelper &) = delete;

  // Creates the service, connects it to the local machine and opens the root folder.
  bool initialize();
  int initialize_if_needed(huld_error *err);

  // Builds the whole definition, then registers it with create-or-update: a task of that name is
  // replaced in one step, and every failure leaves it as it was.
  int create_task(huld_error *err, const std::string &name, const std::string &description, const std::string &user,
                  uint32_t run_level, uint32_t trigger_type, const std::string &path, const std::string &arguments,
                  const std::string &working_directory);
  // A task that does not exist counts as deleted.
  int delete_task(huld_error *err, const std::string &name);
  // The first trigger's type and the last run time of the task named exactly `name`. When no task
  // has that name, *not_found (if given) is set besides the failure.
  int get_task(huld_error *err, const std::string &name, uint32_t *trigger_type, SYSTEMTIME *last_run_time,
               bool *not_found = nullptr);

  int install_principal(huld_error *err, ITaskDefinition *definition, const std::string &user, uint32_t run_level);
  int install_settings(huld_error *err, ITaskDefinition *definition);
  int install_daily_trigger(huld_error *err, ITaskDefinition *definition);
  int install_weekly_trigger(huld_error *err, ITaskDefinition *definition);
  int install_monthly_trigger(huld_error *err, ITaskDefinition *definition);
  int install_logon_trigger(huld_error *err, ITaskDefinition *definition, const std::string &user);
  int install_execution_action(huld_error *err, ITaskDefinition *definition, const std::string &path,
                               const std::string &arguments, const std::string &working_directory);
  int install_registration_info(huld_error *err, ITaskDefinition *definition, const std::string &description);
  int register_task(huld_error *err, ITaskDefinition *definition, const std::string &name);

 private:
  ITaskService *task_service;
  ITaskFolder *root_folder;
  bool initialized;
};

// Start boundary of the dated triggers: today, local time, at 12:05:00 ("2026-12-05T12:05:00").
// The triggers get no end boundary.
std::string make_trigger_boundaries();
// The low 8 bits of every UTF-16 code unit, in order (empty for NULL).
std::string bstr_to_string(BSTR text);

// Scheduled tasks in the root folder of the Windows Task Scheduler: register (or replace), remove
// and look up a task that runs one program on a daily, weekly, monthly or logon trigger.
// COM must already be usable on the calling thread (vornwincom_default_initialize_com).
#pragma once

#include <cstdint>

#include "huld/huld_log.h"
#include "platform/win32.h"

// Trigger types of a request (the Task Scheduler's own values).
#define VORNWINCOM_TASK_TRIGGER_DAILY 2u
#define VORNWINCOM_TASK_TRIGGER_WEEKLY 3u
#define VORNWINCOM_TASK_TRIGGER_MONTHLY 4u
#define VORNWINCOM_TASK_TRIGGER_LOGON 9u

// Text fields need no NUL: each is read up to its NUL or its end.
typedef struct vornwincom_task_request {
  uint32_t remove;             // not 0: delete the task named `name`; 0: create or replace it
  char name[512];              // task name in the root folder
  uint32_t trigger_type;       // VORNWINCOM_TASK_TRIGGER_*; any other value is refused
  char description[512];       // registration description
  char user[512];              // user id of the principal, and of a logon trigger
  uint32_t run_level;          // 0 least privileges, 1 highest (passed unchanged)
  char path[260];              // program the task runs
  char arguments[512];         // its arguments
  char working_directory[260]; // its working directory; empty: none
} vornwincom_task_request;

typedef struct vornwincom_task_info {
  uint32_t found;              // 1 when the task was found and read
  SYSTEMTIME last_run_time;    // 30 November 1999 00:00:00 when the Task Scheduler gives none
  uint32_t trigger_type;       // type of the task's first trigger
} vornwincom_task_info;

// Deletes (remove not 0) or registers the task. 0, or 1 with the record set.
int vornwincom_set_scheduled_task(huld_error *err, const vornwincom_task_request *request);
// Looks the task up by its exact name (case counts). 0 with found 1 and the fields filled; 0 with
// found 0 when no task has that name; 1 with the record set for every other failure.
int vornwincom_get_scheduled_task(huld_error *err, const char *name, vornwincom_task_info *info);

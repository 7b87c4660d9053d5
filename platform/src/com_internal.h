// Internal interfaces between the COM parts of the stand-in (not for tests).
#pragma once

#include <string>

#include "platform/win32.h"

namespace sim::internal {

// Asks the fault rules for a COM call ("api": "com", "function": function, and "clsid" when
// given); true with the rule's HRESULT when a fail action fired.
bool com_fault(const char *function, const std::string &clsid, HRESULT *hr);

// Live-thing accounting (never reset). The add_* calls register a new thing; the remove_*
// calls return false, and record a bad release described by `what`, when it was not live.
void com_add_bstr(const void *bstr);
bool com_remove_bstr(const void *bstr, const char *what);
bool com_bstr_live(const void *bstr);
void com_add_array(const void *array);
bool com_remove_array(const void *array, const char *what);
bool com_array_live(const void *array);
void com_add_task_memory(void *block);
bool com_remove_task_memory(const void *block, const char *what);
void com_record_bad_release(const std::string &line);

}  // namespace sim::internal

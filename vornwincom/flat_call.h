// The boundary of the library's flat functions: every vornwincom_* function runs its body through
// flat_call, so that an exception of the internals (a refused VARIANT, a failed allocation) becomes
// a failure record instead of leaving a C-style entry point.
#pragma once

#include <exception>

#include "huld/huld_log.h"

namespace vornwincom {

// Runs body() (which returns 0 or 1); an exception records code 1, subcode 0 and its text with
// `module` and `function`, and gives 1.
template <class Body>
int flat_call(huld_error *err, const char *module, const char *function, Body &&body) {
  try {
    return body();
  } catch (const std::exception &e) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, module, function, __LINE__, "%s", e.what());
  } catch (...) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, module, function, __LINE__, "Unexpected exception");
  }
}

}  // namespace vornwincom

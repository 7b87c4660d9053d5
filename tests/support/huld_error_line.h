// A recorded failure on one line, for comparing every field of it at once.
#pragma once

#include <string>

#include "huld/huld_log.h"

inline std::string error_line(const huld_error &e) {
  return "code " + std::to_string(e.code) + " subcode " + std::to_string(e.subcode) + " file " + e.file +
         " function " + e.function + " message " + e.message;
}

// Captures what the system logs, at a chosen level, for one test.
#pragma once

#include <string>

#include "huld/huld_log.h"

namespace pkgtest {

inline std::string &captured_log() {
  static std::string text;
  return text;
}

inline int capture_sink(const char *text) {
  captured_log() += text;
  return 0;
}

class log_capture {
 public:
  explicit log_capture(uint32_t level) : saved_(huld_log_level) {
    static bool registered = false;
    if (!registered) {
      huld_log_add_sink(capture_sink);
      registered = true;
    }
    captured_log().clear();
    huld_log_level = level;
  }
  ~log_capture() { huld_log_level = saved_; }
  const std::string &text() const { return captured_log(); }

 private:
  uint32_t saved_;
};

}  // namespace pkgtest

// Captures what the libraries log, at a chosen level, for as long as a log_capture lives: one sink,
// registered once per test process, appends to captured_log(); each capture empties it first and
// puts the previous level back when it ends.
#pragma once

#include <cstdint>
#include <string>

#include "huld/huld_log.h"

namespace testsupport {

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
    static const bool registered = (huld_log_add_sink(capture_sink), true);
    (void)registered;
    captured_log().clear();
    huld_log_level = level;
  }
  ~log_capture() { huld_log_level = saved_; }
  log_capture(const log_capture &) = delete;
  log_capture &operator=(const log_capture &) = delete;
  const std::string &text() const { return captured_log(); }

 private:
  uint32_t saved_;
};

}  // namespace testsupport

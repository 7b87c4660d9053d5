// A log sink that records every piece it receives, registered once per test process.
#pragma once

#include <string>
#include <vector>

#include "huld/huld_log.h"

namespace huld_core_test {

struct Capture {
  std::vector<std::string> pieces;
  int result = 0;  // what the sink returns
  std::string text() const {
    std::string all;
    for (const auto &p : pieces) all += p;
    return all;
  }
};

inline Capture &capture() {
  static Capture c;
  return c;
}

inline int capture_sink(const char *text) {
  capture().pieces.push_back(text);
  return capture().result;
}

// Registers the capture sink on first use and empties it.
inline Capture &fresh_capture() {
  static bool registered = false;
  if (!registered) {
    huld_log_add_sink(&capture_sink);
    registered = true;
  }
  capture().pieces.clear();
  capture().result = 0;
  return capture();
}

}  // namespace huld_core_test

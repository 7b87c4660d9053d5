// Simulated machine: the description a test (or the native tool) runs on.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <string>

namespace sim {

// Application-facing knobs and faults (thread, mutex, window, module path).
struct AppKnobs {
  std::string module_path;            // own executable path; empty: the real one (/proc/self/exe)
  bool module_path_truncated = false; // GetModuleFileNameA answers a truncated path (return = size)
  int fail_mutex_create_at = 0;       // the n-th CreateMutexA fails (1-based; 0 never)
  int fail_thread_create_at = 0;      // the n-th CreateThread fails (1-based; 0 never)
  bool fail_register_class = false;   // RegisterClassExA fails
  bool fail_create_window = false;    // CreateWindowExA of a top-level window fails
  bool no_show_window_message = false;// ShowWindow sends no WM_SHOWWINDOW (minimised/hidden start)
  double time_scale = 1.0;            // real time per simulated millisecond (0.01: 100x faster)
};

// The knobs of the machine in use (one per process).
AppKnobs &app_knobs();

}  // namespace sim

#endif  // _WIN32

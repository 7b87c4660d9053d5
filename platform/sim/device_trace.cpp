// The request trace and the contract-violation record.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/src/kernel_internal.h"
#include "sim/trace.h"

namespace sim {
namespace {

struct Trace {
  std::mutex lock;
  std::atomic<bool> on{true};
  std::vector<TraceEntry> entries;
  std::vector<std::string> violations;
};

Trace &trace() {
  static Trace *t = new Trace;
  return *t;
}

}  // namespace

namespace internal {

bool trace_on() { return trace().on.load(); }

void trace_append(TraceEntry &&entry) {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  t.entries.push_back(std::move(entry));
}

}  // namespace internal

std::string trace_input_digest(const TraceEntry &entry) {
  if (entry.input.empty()) return "";
  uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a: offset basis, then xor and multiply by the prime
  for (uint8_t byte : entry.input) {
    h ^= byte;
    h *= 0x100000001B3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

void trace_enable(bool on) { trace().on = on; }

std::vector<TraceEntry> trace_entries() {
  Trace &t = trace();
  std::vector<TraceEntry> out;
  {
    std::lock_guard<std::mutex> g(t.lock);
    out = t.entries;
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const TraceEntry &a, const TraceEntry &b) { return a.seq < b.seq; });
  return out;
}

std::vector<TraceEntry> trace_entries_for(DWORD code) {
  std::vector<TraceEntry> all = trace_entries();
  std::vector<TraceEntry> out;
  for (auto &e : all)
    if (e.control_code == code) out.push_back(std::move(e));
  return out;
}

void trace_clear() {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  t.entries.clear();
}

void contract_violation(const std::string &what) {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  t.violations.push_back(what);
}

size_t contract_violation_count() {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  return t.violations.size();
}

std::vector<std::string> contract_violations() {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  return t.violations;
}

void contract_violations_clear() {
  Trace &t = trace();
  std::lock_guard<std::mutex> g(t.lock);
  t.violations.clear();
}

}  // namespace sim

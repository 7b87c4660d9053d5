// Fault rules: match + action, evaluated in the order added.
#include <cctype>
#include <cstdio>
#include <mutex>

#include "platform/src/kernel_internal.h"
#include "sim/faults.h"

namespace sim {
namespace {

struct Rule {
  int id;
  FaultRule rule;
  std::string path_lower;
  uint32_t seen = 0;
  uint32_t fired = 0;
};

struct Rules {
  std::mutex lock;
  std::vector<Rule> rules;
  int next_id = 1;
  // Counters of removed rules stay readable.
  std::vector<std::pair<int, std::pair<uint32_t, uint32_t>>> retired;
};

Rules &rules() {
  static Rules *r = new Rules;
  return *r;
}

std::string lower(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool matches(const Rule &r, const FaultQuery &q) {
  const FaultMatch &m = r.rule.match;
  if (m.op != FaultOp::any && m.op != q.op) return false;
  if (m.handle != nullptr && m.handle != q.handle) return false;
  if (m.control_code && (!q.control_code || *m.control_code != *q.control_code)) return false;
  if (!r.path_lower.empty()) {
    bool hit = lower(q.path) == r.path_lower;
    for (size_t i = 0; !hit && i < q.aliases.size(); ++i) hit = lower(q.aliases[i]) == r.path_lower;
    if (!hit) return false;
  }
  for (const auto &[key, value] : m.keys) {
    auto it = q.keys.find(key);
    if (it == q.keys.end() || lower(it->second) != lower(value)) return false;
  }
  return true;
}

bool count_fires(const FaultCount &c, uint32_t seen) {
  switch (c.mode) {
    case FaultCount::every:
      return true;
    case FaultCount::nth:
      return seen == c.n;
    case FaultCount::from:
      return seen >= c.n;
  }
  return false;
}

}  // namespace

int add_fault(const FaultRule &rule) {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  int id = r.next_id++;
  r.rules.push_back(Rule{id, rule, lower(rule.match.path)});
  return id;
}

int fail_open(const std::string &path, DWORD error, FaultCount count) {
  FaultRule rule;
  rule.match.op = FaultOp::open;
  rule.match.path = path;
  rule.match.count = count;
  rule.action = FaultAction::fail_with(error);
  return add_fault(rule);
}

int fail_ioctl(const std::string &path, DWORD control_code, DWORD error, FaultCount count) {
  FaultRule rule;
  rule.match.op = FaultOp::ioctl;
  rule.match.path = path;
  rule.match.control_code = control_code;
  rule.match.count = count;
  rule.action = FaultAction::fail_with(error);
  return add_fault(rule);
}

int fail_call(const std::map<std::string, std::string> &keys, DWORD error, FaultCount count) {
  FaultRule rule;
  rule.match.op = FaultOp::other;
  rule.match.keys = keys;
  rule.match.count = count;
  rule.action = FaultAction::fail_with(error);
  return add_fault(rule);
}

void remove_fault(int id) {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  for (auto it = r.rules.begin(); it != r.rules.end(); ++it) {
    if (it->id == id) {
      r.retired.push_back({id, {it->seen, it->fired}});
      r.rules.erase(it);
      return;
    }
  }
}

void clear_faults() {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  r.rules.clear();
  r.retired.clear();
}

std::vector<FiredFault> check_faults(const FaultQuery &query) {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  std::vector<FiredFault> fired;
  for (Rule &rule : r.rules) {
    if (!matches(rule, query)) continue;
    ++rule.seen;
    if (count_fires(rule.rule.match.count, rule.seen)) {
      ++rule.fired;
      fired.push_back(FiredFault{rule.id, rule.rule.action});
    }
  }
  return fired;
}

uint32_t fault_seen(int id) {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  for (const Rule &rule : r.rules)
    if (rule.id == id) return rule.seen;
  for (const auto &[rid, counts] : r.retired)
    if (rid == id) return counts.first;
  return 0;
}

uint32_t fault_fired(int id) {
  Rules &r = rules();
  std::lock_guard<std::mutex> g(r.lock);
  for (const Rule &rule : r.rules)
    if (rule.id == id) return rule.fired;
  for (const auto &[rid, counts] : r.retired)
    if (rid == id) return counts.second;
  return 0;
}

std::string fault_key(uint64_t value) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace sim

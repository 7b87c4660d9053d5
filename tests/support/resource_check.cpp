// The resource check: a listener that compares the machine's counters at the end of every test
// with those at its start.
#include "tests/support/resource_check.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "sim/machine.h"
#include "sim/trace.h"

namespace {

class ResourceCheck : public ::testing::EmptyTestEventListener {
 public:
  static ResourceCheck *instance;

  void expect(const std::string &counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_.insert(counter);
  }

  // A machine reset clears some counters (contract violations, bad closes) but closes nothing:
  // what it takes off a counter is added back when the test ends.
  void before_reset() {
    const sim::ResourceSnapshot now = sim::ResourceSnapshot::take();
    std::lock_guard<std::mutex> lock(mutex_);
    before_reset_ = now;
  }
  void after_reset() {
    const sim::ResourceSnapshot now = sim::ResourceSnapshot::take();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    for (const auto &[name, count] : before_reset_.counts) {
      if (now[name] < count) wiped_[name] += count - now[name];
    }
  }

  bool expected(const std::string &counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return expected_.count("*") != 0 || expected_.count(counter) != 0;
  }

  void OnTestStart(const ::testing::TestInfo &) override {
    const sim::ResourceSnapshot now = sim::ResourceSnapshot::take();
    std::lock_guard<std::mutex> lock(mutex_);
    before_ = now;
    wiped_.clear();
    expected_.clear();
    running_ = true;
  }

  void OnTestEnd(const ::testing::TestInfo &) override {
    const sim::ResourceSnapshot now = sim::ResourceSnapshot::take();
    std::string changes;
    bool list_violations;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = false;
      if (expected_.count("*")) return;
      list_violations = !expected_.count("contract_violations");
      for (const auto &[name, count] : now.counts) {
        const size_t end = count + (wiped_.count(name) ? wiped_[name] : 0);
        if (end <= before_[name] || expected_.count(name)) continue;
        changes += "  " + name + ": " + std::to_string(before_[name]) + " -> " +
                   std::to_string(end) + "\n";
      }
    }
    if (changes.empty()) return;
    std::string violations;
    if (list_violations) {
      for (const std::string &v : sim::contract_violations()) violations += "  " + v + "\n";
    }
    ADD_FAILURE() << "the test ended with more resources than it started with:\n"
                  << changes
                  << (violations.empty() ? "" : "contract violations:\n" + violations)
                  << "(a test that raises a counter on purpose declares it with "
                     "sim::expect_resource_change)";
  }

 private:
  std::mutex mutex_;
  sim::ResourceSnapshot before_;
  sim::ResourceSnapshot before_reset_;
  std::map<std::string, size_t> wiped_;  // taken off each counter by resets during the test
  std::set<std::string> expected_;
  bool running_ = false;
};

ResourceCheck *ResourceCheck::instance = nullptr;

}  // namespace

namespace sim {

void expect_resource_change(const std::string &counter) {
  if (ResourceCheck::instance != nullptr) ResourceCheck::instance->expect(counter);
}

bool resource_change_expected(const std::string &counter) {
  return ResourceCheck::instance != nullptr && ResourceCheck::instance->expected(counter);
}

}  // namespace sim

namespace testsupport {

void install_resource_check() {
  if (ResourceCheck::instance != nullptr) return;
  ResourceCheck::instance = new ResourceCheck;
  // The listener list owns the listener.
  ::testing::UnitTest::GetInstance()->listeners().Append(ResourceCheck::instance);
  sim::register_before_reset_hook("test resource check",
                                  [] { ResourceCheck::instance->before_reset(); });
  sim::register_reset_hook("test resource check", [] { ResourceCheck::instance->after_reset(); });
}

}  // namespace testsupport

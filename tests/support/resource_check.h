// Resource check of the simulated machine, run around every test by the main of the suites that use
// the machine: a test fails when it ends with a counter of sim::ResourceSnapshot ("handles",
// "registry_keys", "contract_violations", "devinfo_sets", "com_objects", "bstrs", ...) higher than
// at its start. A test that raises a counter on purpose says so, anywhere in its body:
//
//   sim::expect_resource_change("contract_violations");
//
// or, for several counters at once, with a declaration object (it holds for the rest of the test):
//
//   sim::ResourceChangeExpected allowed{"handles", "registry_keys"};
//
// A machine reset clears contract violations: those recorded before it still count.
#pragma once

#include <initializer_list>
#include <string>

namespace sim {

// The current test may end with `counter` changed ("*": any counter).
void expect_resource_change(const std::string &counter);
// Whether the current test declared `counter` (for checks of child processes the test runs).
bool resource_change_expected(const std::string &counter);

struct ResourceChangeExpected {
  ResourceChangeExpected(std::initializer_list<const char *> counters) {
    for (const char *counter : counters) expect_resource_change(counter);
  }
};

}  // namespace sim

namespace testsupport {

// Installs the check (once); the machine's main calls it.
void install_resource_check();

}  // namespace testsupport

// Probes of the resource check itself: CTest expects the undeclared leak to fail its test.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "tests/support/resource_check.h"

namespace {

HANDLE leaked = nullptr;

}  // namespace

TEST(ResourceCheckProbe, UndeclaredLeakFails) { leaked = CreateMutexA(nullptr, FALSE, nullptr); }

TEST(ResourceCheckProbe, ViolationHiddenByAResetFails) {
  sim::contract_violation("probe");
  sim::reset_machine();
}

TEST(ResourceCheckProbe, DeclaredChangesPass) {
  sim::ResourceChangeExpected allowed{"handles", "contract_violations"};
  leaked = CreateMutexA(nullptr, FALSE, nullptr);
  sim::contract_violation("probe");
  sim::reset_machine();
}

// A device-information set left open before any machine is loaded is counted from the start.
TEST(ResourceCheckProbe, DeviceSetLeakedBeforeAMachineLoadsFails) {
  SetupDiCreateDeviceInfoList(nullptr, nullptr);
}

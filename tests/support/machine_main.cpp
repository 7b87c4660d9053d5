// Main of the test suites that use the simulated machine: GoogleTest with the resource check.
#include <gtest/gtest.h>

#include "tests/support/resource_check.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  testsupport::install_resource_check();
  return RUN_ALL_TESTS();
}

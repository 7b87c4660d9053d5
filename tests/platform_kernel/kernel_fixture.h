// Common fixture: a fresh default machine, and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/machine.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::use_default_machine();
    before_ = sim::ResourceSnapshot::take();
  }
  void TearDown() override {
    EXPECT_TRUE(sim::wait_for_threads(INFINITE));
    EXPECT_EQ("", sim::ResourceSnapshot::take().changes_since(before_));
    sim::reset_machine();
  }
  // After a test has deliberately changed a counter (bad closes, contract violations).
  void rebase() { before_ = sim::ResourceSnapshot::take(); }

  sim::ResourceSnapshot before_;
};

// The main window's class carries the system's standard application icon.
#include <gtest/gtest.h>

#include "orbu/orbu_main.h"
#include "platform/win32.h"
#include "run_harness.h"
#include "sim/window.h"

TEST(OrbuWindowIcon, ClassGetsTheSystemApplicationIcon) {
  orbu_test::RunSpec spec;
  // Started with the own module's instance, as the entry point does.
  spec.body = [](orbu_test::Observations &) {
    return orbu_main(GetModuleHandleA(nullptr), "", SW_SHOWDEFAULT);
  };
  spec.after = [](orbu_test::Observations &seen) {
    const auto info = sim::window_class("DesktopApplicationMainWindow");
    const HICON standard = LoadIconA(nullptr, IDI_APPLICATION);
    seen["icon"] = info && info->icon != nullptr && info->icon == standard ? "1" : "0";
    seen["small"] = info && info->icon_small != nullptr && info->icon_small == standard ? "1" : "0";
  };
  const orbu_test::RunResult r = orbu_test::run_program(spec);
  EXPECT_EQ(r.failure, "");
  EXPECT_EQ(r.seen.at("icon"), "1");
  EXPECT_EQ(r.seen.at("small"), "1");
}

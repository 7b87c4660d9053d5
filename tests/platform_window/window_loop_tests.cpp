// The window manager with a real message loop on one thread and the test driver on another.
#include "window_test_support.h"

#include <chrono>

using namespace wtest;

namespace {

using CrossThread = WindowTest;
using Driver = WindowTest;

TEST_F(CrossThread, SendWaitsForTheOwnerThreadInsideItsLoop) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(SendMessageA(h, kEcho, 0, 0), 42);
  const auto seen = app().of(kEcho);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].thread, ui.id());
  EXPECT_NE(seen[0].thread, std::this_thread::get_id());

  // Text of a top-level window set from another thread also runs on the owner.
  EXPECT_TRUE(SetWindowTextA(h, "new title"));
  EXPECT_EQ(sim::window_text(h), "new title");
  ASSERT_EQ(app().of(WM_SETTEXT).size(), 1u);
  EXPECT_EQ(app().of(WM_SETTEXT)[0].thread, ui.id());
}

TEST_F(CrossThread, SendToADestroyedWindowReturnsAtOnce) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();  // owned by this thread, which runs no loop
  LRESULT result = -1;
  std::atomic<bool> returned{false};
  const uint64_t stuck = sim::clock_stats().deadlocks;
  std::thread sender([&] {
    result = SendMessageA(h, kEcho, 0, 0);
    returned = true;
  });
  // The sender waits for ever (nobody runs the loop) until the window goes; then it gets 0.
  while (sim::clock_stats().deadlocks == stuck) std::this_thread::yield();
  EXPECT_FALSE(returned);
  EXPECT_TRUE(DestroyWindow(h));
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(app().of(kEcho).empty());
  EXPECT_EQ(SendMessageA(h, kEcho, 0, 0), 0);
}

TEST_F(CrossThread, WindowsEndWithTheThreadThatCreatedThem) {
  ASSERT_NE(register_test_class(), 0);
  HWND h = nullptr;
  std::thread([&] { h = create_main(); }).join();
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(SendMessageA(h, kEcho, 0, 0), 0);  // nobody left to answer: no wait
  EXPECT_TRUE(app().of(kEcho).empty());
  EXPECT_EQ(sim::history().back().kind, sim::EventKind::destroyed);
}

TEST_F(CrossThread, ControlMessagesApplyAtOnceFromAnyThread) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  const HWND bar = GetDlgItem(h, kBarId);
  const HWND label = GetDlgItem(h, kLabelId);
  // Block the owner thread inside its procedure: control messages must not need it.
  app().hold = true;
  ASSERT_TRUE(PostMessageA(h, kHold, 0, 0));
  ASSERT_TRUE(sim::wait_until([] { return app().holding.load(); }, 5000));
  std::atomic<bool> applied{false};
  std::thread worker([&] {
    SendMessageA(bar, PBM_SETPOS, 40, 0);
    SendMessageA(bar, PBM_SETPOS, 40, 0);
    SendMessageA(bar, PBM_SETBARCOLOR, 0, RGB(255, 0, 0));
    SetWindowTextA(label, "50% complete");
    ShowWindow(GetDlgItem(h, kStartId), SW_HIDE);
    EnableWindow(GetDlgItem(h, kExitId), FALSE);
    applied = true;
  });
  worker.join();
  EXPECT_TRUE(applied);
  app().hold = false;
  EXPECT_EQ(sim::control(h, kBarId)->pos, 40);
  EXPECT_EQ(sim::control(h, kBarId)->bar_colour, RGB(255, 0, 0));
  EXPECT_EQ(sim::control(h, kLabelId)->text, "50% complete");
  EXPECT_FALSE(sim::control(h, kStartId)->visible);
  EXPECT_FALSE(sim::control(h, kExitId)->enabled);

  // Posted control messages are applied by the owner's loop.
  EXPECT_TRUE(PostMessageA(bar, PBM_SETPOS, 70, 0));
  EXPECT_TRUE(sim::wait_until([&] { return sim::control(h, kBarId)->pos == 70; }, 5000));
}

TEST_F(Driver, ClickIsDeliveredOnlyToAVisibleEnabledButton) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(sim::click(12345));     // no such control
  EXPECT_FALSE(sim::click(kLabelId));  // not a button
  EnableWindow(GetDlgItem(h, kStartId), FALSE);
  EXPECT_FALSE(sim::click(kStartId));
  EnableWindow(GetDlgItem(h, kStartId), TRUE);
  ShowWindow(GetDlgItem(h, kStartId), SW_HIDE);
  EXPECT_FALSE(sim::click(kStartId));
  ShowWindow(GetDlgItem(h, kStartId), SW_SHOW);
  ASSERT_TRUE(sim::click(kStartId));
  ASSERT_TRUE(sim::wait_until([] { return app().of(WM_COMMAND).size() == 1; }, 5000));
  const auto cmd = app().of(WM_COMMAND)[0];
  EXPECT_EQ(LOWORD(cmd.wp), kStartId);
  EXPECT_EQ(HIWORD(cmd.wp), BN_CLICKED);
  EXPECT_EQ(reinterpret_cast<HWND>(cmd.lp), GetDlgItem(h, kStartId));

  // Exit posts WM_CLOSE: the default procedure destroys the window and the loop ends.
  ASSERT_TRUE(sim::click(kExitId));
  ASSERT_TRUE(sim::wait_until([&] { return ui.done(); }, 5000));
  EXPECT_EQ(ui.exit_code(), 7);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(sim::click(kExitId));
}

TEST_F(Driver, SystemCloseObeysTheCloseItemWhileRawCloseDoesNot) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  EnableMenuItem(GetSystemMenu(h, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);
  ASSERT_TRUE(sim::system_close());  // handled, and ignored
  EXPECT_TRUE(IsWindow(h));
  EXPECT_FALSE(ui.done());

  ASSERT_TRUE(sim::post_close());
  ASSERT_TRUE(sim::wait_until([&] { return ui.done(); }, 5000));
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(ui.exit_code(), 7);
}

TEST_F(Driver, SystemCloseWithTheCloseItemEnabledEndsTheLoop) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(sim::system_close());
  EXPECT_FALSE(IsWindow(h));
  ASSERT_TRUE(sim::wait_until([&] { return ui.done(); }, 5000));
  EXPECT_FALSE(sim::system_close());  // no main window any more
  EXPECT_FALSE(sim::post_close());
}

TEST_F(Driver, ReadsTheColoursAStaticControlGets) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  const auto label = sim::ctl_colour_static(GetDlgItem(h, kLabelId));
  ASSERT_TRUE(label.delivered);
  EXPECT_EQ(label.brush, reinterpret_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH)));
  EXPECT_TRUE(label.dc.text_colour_set);
  EXPECT_EQ(label.dc.text_colour, RGB(255, 0, 0));
  EXPECT_EQ(label.dc.bk_colour, RGB(255, 255, 255));
  EXPECT_EQ(label.dc.bk_mode, TRANSPARENT);
  const auto other = sim::ctl_colour_static(GetDlgItem(h, kStartId));
  ASSERT_TRUE(other.delivered);
  EXPECT_FALSE(other.dc.text_colour_set);
  EXPECT_FALSE(sim::ctl_colour_static(h).delivered);  // a top-level window has no parent
}

TEST_F(Driver, HistoryKeepsChangesInOrder) {
  UiThread ui;
  const HWND h = wait_ready();
  ASSERT_NE(h, nullptr);
  const HWND bar = GetDlgItem(h, kBarId);
  sim::clear_history();
  EnableWindow(GetDlgItem(h, kExitId), FALSE);
  SendMessageA(bar, PBM_SETPOS, 50, 0);
  SendMessageA(bar, PBM_SETPOS, 50, 0);  // no change, no event
  SendMessageA(bar, PBM_SETPOS, 100, 0);
  SendMessageA(bar, PBM_SETBARCOLOR, 0, RGB(255, 0, 0));
  SetWindowTextA(GetDlgItem(h, kLabelId), "Firmware update FAILED.");
  EnableMenuItem(GetSystemMenu(h, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);  // already enabled
  EnableWindow(GetDlgItem(h, kExitId), TRUE);
  ASSERT_TRUE(sim::system_close());

  const auto ev = sim::history();
  using K = sim::EventKind;
  std::vector<std::pair<K, int64_t>> got;
  for (const auto &e : ev) got.emplace_back(e.kind, e.value);
  const std::vector<std::pair<K, int64_t>> expected = {
      {K::enabled, 0},      {K::progress_pos, 50}, {K::progress_pos, 100},
      {K::bar_colour, 255}, {K::text, 0},          {K::enabled, 1},
      {K::destroyed, 0},    {K::destroyed, 0},     {K::destroyed, 0},
      {K::destroyed, 0},    {K::destroyed, 0}};
  EXPECT_EQ(got, expected);
  ASSERT_EQ(ev.size(), expected.size());
  EXPECT_EQ(ev[4].text, "Firmware update FAILED.");
  EXPECT_EQ(ev[4].id, kLabelId);
  EXPECT_EQ(ev.back().hwnd, h);  // the main window goes last
  for (size_t i = 1; i < ev.size(); ++i) EXPECT_LT(ev[i - 1].seq, ev[i].seq);
}

TEST_F(Driver, ResetReleasesALoopThatIsStillWaiting) {
  UiThread ui;
  ASSERT_NE(wait_ready(), nullptr);
  sim::reset_windows();
  EXPECT_TRUE(sim::wait_until([&] { return ui.done(); }, 5000));
  EXPECT_EQ(sim::main_window(), nullptr);
}

TEST_F(Driver, WaitsTimeOutWithoutAWindow) {
  EXPECT_EQ(sim::wait_for_window_class(kClass, 10), nullptr);
  EXPECT_EQ(sim::wait_for_window_title("nothing", 10), nullptr);
  EXPECT_FALSE(sim::wait_until([] { return false; }, 10));
  EXPECT_FALSE(sim::click(kExitId));
}

}  // namespace

// Window manager calls made on one thread: classes, creation, controls, show rules, menus, GDI.
#include "window_test_support.h"

#include <cstring>

using namespace wtest;

namespace {

using ClassesAndCreation = WindowTest;
using ShowRules = WindowTest;
using Controls = WindowTest;
using SystemMenu = WindowTest;
using Gdi = WindowTest;

int count_of(UINT msg) { return static_cast<int>(app().of(msg).size()); }

TEST_F(ClassesAndCreation, RegistrationKeepsTheClassAndRefusesDuplicatesAndBadSizes) {
  ASSERT_NE(register_test_class(), 0);
  EXPECT_EQ(register_test_class(), 0);  // same name again
  const auto c = sim::window_class("testappmainwindow");
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->name, kClass);
  EXPECT_EQ(c->style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(c->icon, LoadIconA(nullptr, IDI_APPLICATION));
  EXPECT_NE(c->icon, nullptr);
  EXPECT_NE(c->cursor, nullptr);
  EXPECT_EQ(c->background, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  EXPECT_TRUE(c->menu_name.empty());

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc) - 8;
  wc.lpfnWndProc = test_proc;
  wc.lpszClassName = "Other";
  EXPECT_EQ(RegisterClassExA(&wc), 0);
}

TEST_F(ClassesAndCreation, InjectedFailuresHitRegistrationAndTopLevelCreationOnly) {
  sim::app_knobs().fail_register_class = true;
  EXPECT_EQ(register_test_class(), 0);
  sim::app_knobs().fail_register_class = false;
  ASSERT_NE(register_test_class(), 0);
  const HWND parent = create_main();
  ASSERT_NE(parent, nullptr);

  sim::app_knobs().fail_create_window = true;
  EXPECT_EQ(create_main(), nullptr);
  EXPECT_NE(CreateWindowExA(0, "Static", "x", WS_CHILD, 0, 0, 5, 5, parent, nullptr, nullptr, nullptr),
            nullptr);
}

TEST_F(ClassesAndCreation, TheProgramHasNoOwnIconResource) {
  HINSTANCE self = reinterpret_cast<HINSTANCE>(0x400000);
  EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(32512)), nullptr);
  EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
  EXPECT_NE(LoadCursorA(nullptr, IDC_ARROW), nullptr);
}

TEST_F(ClassesAndCreation, MainWindowKeepsWhatItWasCreatedWith) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main("Tool - v3.16.1", 372);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(count_of(WM_CREATE), 1);
  EXPECT_EQ(count_of(WM_SHOWWINDOW), 0);  // created hidden
  const auto i = sim::window_info(h);
  ASSERT_TRUE(i.has_value());
  EXPECT_EQ(i->text, "Tool - v3.16.1");
  EXPECT_EQ(i->style, 0x00CA0000u);
  EXPECT_EQ(i->rect.right - i->rect.left, 530);
  EXPECT_EQ(i->rect.bottom - i->rect.top, 372);
  EXPECT_FALSE(i->visible);
  EXPECT_EQ(sim::main_window(), h);
  EXPECT_EQ(GetParent(h), nullptr);
  RECT client{};
  ASSERT_TRUE(GetClientRect(h, &client));
  EXPECT_LT(client.bottom, 372);
  EXPECT_GT(client.bottom, 300);
}

TEST_F(ClassesAndCreation, CreationFailsForUnknownClassesOrphanChildrenAndARefusingProcedure) {
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(CreateWindowExA(0, "Static", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    return m == WM_CREATE ? -1 : DefWindowProcA(h, m, w, l);
  };
  wc.lpszClassName = "Refuses";
  ASSERT_NE(RegisterClassExA(&wc), 0);
  EXPECT_EQ(CreateWindowExA(0, "refuses", "", WS_VISIBLE, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(sim::main_window(), nullptr);
}

TEST_F(ClassesAndCreation, ProgressBarsNeedTheCommonControls) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  EXPECT_EQ(CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD, 0, 0, 9, 9, h, nullptr, nullptr, nullptr),
            nullptr);
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
  ASSERT_TRUE(InitCommonControlsEx(&icc));
  EXPECT_EQ(sim::common_controls_initialised(), static_cast<DWORD>(ICC_PROGRESS_CLASS));
  EXPECT_NE(CreateWindowExA(0, "MSCTLS_Progress32", nullptr, WS_CHILD, 0, 0, 9, 9, h, nullptr, nullptr,
                            nullptr),
            nullptr);
}

TEST_F(ShowRules, ShowWindowNotifiesOnlyWhenVisibilityChanges) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  EXPECT_FALSE(ShowWindow(h, SW_SHOWNORMAL));
  EXPECT_TRUE(ShowWindow(h, SW_SHOW));
  EXPECT_TRUE(ShowWindow(h, SW_SHOWMINNOACTIVE));
  const auto shown = app().of(WM_SHOWWINDOW);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].wp, static_cast<WPARAM>(TRUE));
  EXPECT_TRUE(IsWindowVisible(h));
  EXPECT_EQ(app().builds, 1);

  EXPECT_TRUE(ShowWindow(h, SW_HIDE));
  EXPECT_FALSE(ShowWindow(h, SW_HIDE));
  ASSERT_EQ(count_of(WM_SHOWWINDOW), 2);
  EXPECT_EQ(app().of(WM_SHOWWINDOW)[1].wp, static_cast<WPARAM>(FALSE));
  EXPECT_FALSE(IsWindowVisible(h));
}

TEST_F(ShowRules, AHiddenOrMinimisedStartCanSendNoNotificationAtAll) {
  sim::app_knobs().no_show_window_message = true;
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  ShowWindow(h, SW_SHOWMINNOACTIVE);
  EXPECT_EQ(count_of(WM_SHOWWINDOW), 0);
  EXPECT_EQ(sim::controls(h).size(), 0u);
}

TEST_F(ShowRules, CreatingVisibleNotifiesOnce) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = CreateWindowExA(0, kClass, "t", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                 nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(count_of(WM_SHOWWINDOW), 1);
  EXPECT_TRUE(IsWindowVisible(h));
}

TEST_F(Controls, ChildrenKeepClassIdRectTextFontAndState) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  app().bold = CreateFontA(18, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                           VARIABLE_PITCH | FF_DONTCARE, "Segoe UI");
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  ShowWindow(h, SW_SHOWNORMAL);

  const auto c = sim::controls(h);
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0].class_name, "Static");
  EXPECT_EQ(c[0].id, kLabelId);
  EXPECT_EQ(c[0].text, "The following devices were detected:");
  EXPECT_EQ(c[0].font_height, 18);
  EXPECT_EQ(c[0].font_weight, FW_BOLD);
  EXPECT_EQ(c[0].rect.left, 30);
  EXPECT_EQ(c[0].rect.bottom, 30);
  EXPECT_EQ(c[1].class_name, "msctls_progress32");
  EXPECT_TRUE(c[1].style & PBS_SMOOTH);
  EXPECT_EQ(c[2].class_name, "Button");
  EXPECT_EQ(c[2].text, "Start");
  EXPECT_EQ(c[3].id, kExitId);
  EXPECT_TRUE(c[3].style & WS_TABSTOP);
  for (const auto &i : c) {
    EXPECT_TRUE(i.visible);
    EXPECT_TRUE(i.enabled);
    EXPECT_EQ(i.parent, h);
  }
  EXPECT_LT(c[0].created_seq, c[3].created_seq);

  const HWND exit = GetDlgItem(h, kExitId);
  EXPECT_EQ(GetParent(exit), h);
  EXPECT_FALSE(EnableWindow(exit, FALSE));
  EXPECT_TRUE(EnableWindow(exit, TRUE));  // was disabled
  ShowWindow(GetDlgItem(h, kStartId), SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(h, kStartId)));
  EXPECT_EQ(count_of(WM_SHOWWINDOW), 1);  // controls notify nobody
  RECT r{};
  ASSERT_TRUE(GetWindowRect(exit, &r));
  EXPECT_EQ(r.right - r.left, 100);
  EXPECT_EQ(r.bottom - r.top, 25);
}

TEST_F(Controls, TextsNarrowAndWide) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  const HWND s = CreateWindowExW(0, u"Static", nullptr, WS_CHILD, 3, 300, 530, 12, h, nullptr, nullptr,
                                 nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(SetWindowTextW(s, u"\u00a9 2026 caf\u00e9"));
  EXPECT_EQ(sim::window_text(s), "\xc2\xa9 2026 caf\xc3\xa9");
  EXPECT_TRUE(SetWindowTextW(s, L"wide"));
  char buf[4];
  EXPECT_EQ(GetWindowTextA(s, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "wid");
  EXPECT_EQ(GetWindowTextLengthA(s), 4);
  // Top-level windows take their text through their own procedure.
  EXPECT_TRUE(SetWindowTextA(h, "renamed"));
  EXPECT_EQ(count_of(WM_SETTEXT), 1);
  EXPECT_EQ(sim::window_text(h), "renamed");
}

TEST_F(Controls, ProgressBarRangePositionAndColour) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  const HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 9, 9, h,
                                   nullptr, nullptr, nullptr);
  EXPECT_EQ(SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 50)), MAKELONG(0, 100));
  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 20, 0), 0);
  EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 80, 0), 20);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);  // clamped to the range
  EXPECT_EQ(SendMessageA(bar, PBM_SETBARCOLOR, 0, RGB(255, 0, 0)), static_cast<LRESULT>(CLR_DEFAULT));
  const auto i = sim::window_info(bar);
  EXPECT_EQ(i->range_max, 50);
  EXPECT_EQ(i->pos, 50);
  EXPECT_EQ(i->bar_colour, RGB(255, 0, 0));
}

TEST_F(Controls, DestroyTakesChildrenFirstAndOnlyFromTheOwnerThread) {
  app().bold = nullptr;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  ShowWindow(h, SW_SHOW);
  const HWND exit = GetDlgItem(h, kExitId);

  BOOL other_thread = TRUE;
  std::thread([&] { other_thread = DestroyWindow(h); }).join();
  EXPECT_FALSE(other_thread);
  EXPECT_TRUE(IsWindow(h));

  EXPECT_TRUE(DestroyWindow(h));
  EXPECT_TRUE(app().children_gone_at_destroy);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(IsWindow(exit));
  EXPECT_FALSE(DestroyWindow(h));
  EXPECT_FALSE(PostMessageA(h, WM_CLOSE, 0, 0));
  EXPECT_EQ(SendMessageA(exit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x")), 0);
  EXPECT_EQ(sim::main_window(), nullptr);
  // Still readable after destruction.
  EXPECT_TRUE(sim::window_info(exit)->destroyed);
  EXPECT_EQ(sim::window_text(exit), "Exit");
}

TEST_F(SystemMenu, CloseItemStateAndDefaultProcedureRules) {
  ASSERT_NE(register_test_class(), 0);
  const HWND h = create_main();
  const HMENU menu = GetSystemMenu(h, FALSE);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED), static_cast<BOOL>(MF_ENABLED));
  EXPECT_FALSE(sim::window_info(h)->close_enabled);
  EXPECT_EQ(EnableMenuItem(menu, 0x1234, MF_BYCOMMAND | MF_GRAYED), -1);

  SendMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(IsWindow(h));
  EXPECT_EQ(count_of(WM_CLOSE), 0);

  EXPECT_EQ(EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_ENABLED), static_cast<BOOL>(MF_GRAYED));
  SendMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(count_of(WM_CLOSE), 1);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(count_of(WM_DESTROY), 1);
  EXPECT_EQ(EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND), -1);  // its window is gone
}

TEST_F(SystemMenu, MessageLoopEndsWithTheQuitCodeAfterPostedMessages) {
  PostMessageA(nullptr, WM_USER + 5, 1, 2);
  PostQuitMessage(3);
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 5));
  ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(Gdi, FontsStockObjectsAndFakeContexts) {
  const HFONT f = CreateFontA(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                              VARIABLE_PITCH | FF_DONTCARE, "Segoe UI");
  const auto fi = sim::font_info(f);
  ASSERT_TRUE(fi.has_value());
  EXPECT_EQ(fi->height, 12);
  EXPECT_EQ(fi->weight, FW_NORMAL);
  EXPECT_EQ(fi->face, "Segoe UI");
  EXPECT_EQ(fi->quality, static_cast<DWORD>(CLEARTYPE_QUALITY));
  EXPECT_TRUE(DeleteObject(f));
  EXPECT_FALSE(DeleteObject(f));
  EXPECT_NE(GetStockObject(HOLLOW_BRUSH), nullptr);
  EXPECT_NE(GetSysColorBrush(COLOR_WINDOW), nullptr);

  const HDC dc = sim::fake_dc();
  EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
  EXPECT_EQ(SetTextColor(dc, RGB(255, 0, 0)), RGB(0, 0, 0));
  const auto st = sim::dc_state(dc);
  EXPECT_TRUE(st.text_colour_set);
  EXPECT_FALSE(st.bk_colour_set);
  EXPECT_EQ(st.bk_mode, TRANSPARENT);
  EXPECT_EQ(SetTextColor(reinterpret_cast<HDC>(0x1234), 0), CLR_INVALID);
}

TEST_F(Gdi, MessageBoxesAreRecordedAndAnswered) {
  EXPECT_EQ(MessageBoxA(nullptr, "No drive found.", "Update", MB_OK | MB_ICONERROR), IDOK);
  const auto boxes = sim::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "No drive found.");
  EXPECT_EQ(boxes[0].caption, "Update");
}

}  // namespace

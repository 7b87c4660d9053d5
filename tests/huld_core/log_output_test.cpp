// Log output: printf, sinks, the level macro and the hex dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture_sink.h"
#include "huld/huld_log.h"

namespace {

using huld_core_test::fresh_capture;

TEST(HuldLogPrintf, HandsTextUnchangedToSink) {
  auto &cap = fresh_capture();
  cap.result = 9;
  EXPECT_EQ(huld_log_printf("dev %u: %s", 3u, "ok"), 9);
  ASSERT_EQ(cap.pieces.size(), 1u);
  EXPECT_EQ(cap.pieces[0], "dev 3: ok");  // no newline, stamp or tag added
}

TEST(HuldLogPrintf, CutsLongTextAt4095) {
  auto &cap = fresh_capture();
  std::string big(5000, 'x');
  huld_log_printf("%s", big.c_str());
  ASSERT_EQ(cap.pieces.size(), 1u);
  EXPECT_EQ(cap.pieces[0], std::string(4095, 'x'));
}

TEST(HuldLogPrintf, LevelMacroTestsThreshold) {
  auto &cap = fresh_capture();
  uint32_t saved = huld_log_level;
  huld_log_level = HULD_LOG_INFO;
  HULD_LOG(HULD_LOG_DEBUG, "hidden %d\n", 1);
  HULD_LOG(HULD_LOG_INFO, "shown %d\n", 2);
  HULD_LOG(HULD_LOG_NOTICE, "shown %d\n", 3);
  huld_log_level = 0;
  HULD_LOG(HULD_LOG_NOTICE, "hidden %d\n", 4);
  huld_log_level = saved;
  ASSERT_EQ(cap.pieces.size(), 2u);
  EXPECT_EQ(cap.pieces[0], "shown 2\n");
  EXPECT_EQ(cap.pieces[1], "shown 3\n");
}

// ---- Sink table: each case runs in a fresh process, so it starts with an empty table ----------

int g_order = 0;
int first_seen = 0, second_seen = 0;
int first_sink(const char *) {
  first_seen = ++g_order;
  return 100;
}
int second_sink(const char *) {
  second_seen = ++g_order;
  return 200;
}
int g_filler_calls = 0;
int filler_sink(const char *) {
  g_filler_calls++;
  return 1;
}
int g_extra_calls = 0;
int extra_sink(const char *) {
  g_extra_calls++;
  return -1;
}

[[noreturn]] void finish(bool ok, const char *what) {
  if (!ok) fprintf(stderr, "FAILED: %s\n", what);
  fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

void no_sink_returns_length() {
  int n = huld_log_printf("%s-%d", "abc", 12345);
  finish(n == 9, "no sink: formatted length");
}

void sinks_called_in_order() {
  huld_log_add_sink(&first_sink);
  huld_log_add_sink(&second_sink);
  int r = huld_log_printf("x");
  finish(r == 200 && first_seen == 1 && second_seen == 2, "order and last result");
}

void table_overflow_ignored() {
  for (int i = 0; i < 4096; i++) huld_log_add_sink(&filler_sink);
  huld_log_add_sink(&extra_sink);  // beyond the table: ignored, not written past it
  huld_log_add_sink(&extra_sink);
  int r = huld_log_printf("y");
  finish(r == 1 && g_filler_calls == 4096 && g_extra_calls == 0, "overflow ignored");
}

class HuldSinkTable : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(HuldSinkTable, NoSinkReturnsFormattedLength) {
  EXPECT_EXIT(no_sink_returns_length(), ::testing::ExitedWithCode(0), "");
}

TEST_F(HuldSinkTable, EverySinkInRegistrationOrderLastResultReturned) {
  EXPECT_EXIT(sinks_called_in_order(), ::testing::ExitedWithCode(0), "");
}

TEST_F(HuldSinkTable, RegistrationsBeyondTableAreIgnored) {
  EXPECT_EXIT(table_overflow_ignored(), ::testing::ExitedWithCode(0), "");
}

// ---- Hex dump -----------------------------------------------------------------------------------

std::string blanks(size_t n) { return std::string(n, ' '); }

TEST(HuldLogDump, EmptyDumpIsTitleAndOnePaddedLine) {
  auto &cap = fresh_capture();
  huld_log_dump("T", nullptr, 0);
  EXPECT_EQ(cap.text(), "T:" + blanks(54) + " " + blanks(16) + "\n");
  huld_log_dump("T", "abc", 0);
}

TEST(HuldLogDump, SeventeenBytes) {
  auto &cap = fresh_capture();
  const char data[] = "ABCDEFGHIJKLMNOP!";
  huld_log_dump("identify", data, 17);
  std::string full = "\n0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50";
  ASSERT_EQ(full.size(), 54u);
  std::string last = "\n0010: 21";
  std::string expected = "identify:" + blanks(67) + full + " " + "ABCDEFGHIJKLMNOP" + last +
                         blanks(54 - last.size()) + " " + "." + blanks(15) + "\n";
  EXPECT_EQ(cap.text(), expected);
  // Title, the empty first piece, one full line, the last line.
  EXPECT_EQ(cap.pieces.size(), 4u);
}

TEST(HuldLogDump, OnlyLettersAndDigitsShowInCharacterColumn) {
  auto &cap = fresh_capture();
  const unsigned char data[16] = {'a', 'Z', '0', '9', ' ', '.', '-', '~',
                                  0x00, 0x7F, 0x80, 0xC4, 0xFF, '\n', '_', 'q'};
  huld_log_dump("c", data, 16);
  ASSERT_EQ(cap.pieces.size(), 3u);
  EXPECT_EQ(cap.pieces[2], "\n0000: 61 5a 30 39 20 2e 2d 7e 00 7f 80 c4 ff 0a 5f 71 aZ09...........q\n");
}

TEST(HuldLogDump, LongerThanWorkBuffersWithoutOverflow) {
  auto &cap = fresh_capture();
  std::vector<unsigned char> data(5000);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i);
  huld_log_dump("big", data.data(), static_cast<uint32_t>(data.size()));
  std::string text = cap.text();
  // 312 full lines and one of 8 bytes.
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 313u + 1u);
  EXPECT_NE(text.find("\n1380: 80 81 82 83 84 85 86 87"), std::string::npos);
  EXPECT_NE(text.find("\n0ff0: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff"), std::string::npos);
}

TEST(HuldLogDump, OffsetsBeyondFourDigitsGrow) {
  auto &cap = fresh_capture();
  std::vector<unsigned char> data(0x10001, 'k');
  huld_log_dump("wide", data.data(), static_cast<uint32_t>(data.size()));
  std::string text = cap.text();
  EXPECT_NE(text.find("\n10000: 6b"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 18), " k" + blanks(15) + "\n");
}

}  // namespace

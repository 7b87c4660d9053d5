// Whole-file helpers, line reading, reallocation and local time (real temporary files).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "huld/huld_util.h"

namespace {

namespace fs = std::filesystem;

class HuldFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           (std::string("huld_core_") + info->name() + "_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char *name) const { return (dir_ / name).string(); }
  void write(const char *name, const std::string &bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string contents(const char *name) const {
    std::ifstream f(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  fs::path dir_;
};

TEST_F(HuldFiles, ReadTakesFileBytesUpToN) {
  write("a.bin", std::string("0123456789", 10));
  char buf[32];
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(huld_file_read(path("a.bin").c_str(), buf, 4), 0);
  EXPECT_EQ(0, memcmp(buf, "0123x", 5));

  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(huld_file_read(path("a.bin").c_str(), buf, sizeof(buf)), 0);  // more than the file
  EXPECT_EQ(0, memcmp(buf, "0123456789x", 11));
}

TEST_F(HuldFiles, ReadFailsForMissingFileAndForShortRead) {
  char buf[16];
  EXPECT_EQ(huld_file_read(path("missing").c_str(), buf, sizeof(buf)), 1);
  // A directory opens as a stream on Linux but yields no bytes: the short read must fail.
  EXPECT_EQ(huld_file_read(dir_.string().c_str(), buf, sizeof(buf)), 1);
}

TEST_F(HuldFiles, SizeIsSixtyFourBit) {
  write("empty", "");
  EXPECT_EQ(huld_file_size(path("empty").c_str()), 0);
  write("small", "abc");
  EXPECT_EQ(huld_file_size(path("small").c_str()), 3);
  EXPECT_EQ(huld_file_size(path("missing").c_str()), -1);

  // A sparse file beyond 4 GiB takes no disk space.
  write("big", "");
  const uint64_t big = (5ull << 30) + 7;
  std::error_code ec;
  fs::resize_file(path("big"), big, ec);
  if (ec) GTEST_SKIP() << "cannot make a sparse file here";
  EXPECT_EQ(huld_file_size(path("big").c_str()), static_cast<int64_t>(big));
}

TEST_F(HuldFiles, AppendAddsAtTheEnd) {
  EXPECT_EQ(huld_file_append(path("log").c_str(), "abc", 3), 0);
  EXPECT_EQ(huld_file_append(path("log").c_str(), "de\0f", 4), 0);
  EXPECT_EQ(contents("log"), std::string("abcde\0f", 7));
  EXPECT_EQ(huld_file_append(path("log").c_str(), "", 0), 0);
  EXPECT_EQ(contents("log").size(), 7u);
}

TEST_F(HuldFiles, AppendReportsOpenFailureAndUsedUpTries) {
  EXPECT_EQ(huld_file_append(path("no/such/dir/file").c_str(), "x", 1), 1);
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Every write to a full device writes nothing: the tries run out.
  std::string big(1 << 16, 'z');
  EXPECT_EQ(huld_file_append("/dev/full", big.data(), big.size()), 2);
  // A small write is only buffered; the failure shows when it is flushed and must not pass.
  EXPECT_EQ(huld_file_append("/dev/full", "z", 1), 2);
}

TEST_F(HuldFiles, GetlineReadsLinesKeepingNewline) {
  std::string longline(1500, 'L');
  write("lines", "one\ntwo\n" + longline + "\nlast");
  FILE *f = fopen(path("lines").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char *line = nullptr;
  size_t length = 99;
  EXPECT_EQ(huld_getline(&line, &length, f), 4);
  EXPECT_EQ(length, 4u);
  EXPECT_STREQ(line, "one\n");
  EXPECT_EQ(huld_getline(&line, &length, f), 4);
  EXPECT_STREQ(line, "two\n");
  // A long line comes in pieces of at most 1023 characters.
  EXPECT_EQ(huld_getline(&line, &length, f), 1023);
  EXPECT_EQ(huld_getline(&line, &length, f), 1500 - 1023 + 1);
  EXPECT_EQ(huld_getline(&line, &length, f), 4);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(huld_getline(&line, &length, f), -1);
  EXPECT_EQ(line, nullptr);
  EXPECT_EQ(length, 0u);
  fclose(f);
  free(line);
}

TEST(HuldRealloc, GrowsAndKeepsContents) {
  void *block = malloc(4);
  ASSERT_NE(block, nullptr);
  memcpy(block, "abc", 4);
  ASSERT_EQ(huld_realloc(&block, 1 << 20), 0);
  EXPECT_STREQ(static_cast<char *>(block), "abc");
  // 0 bytes is refused and the block stays usable.
  void *grown = block;
  EXPECT_EQ(huld_realloc(&block, 0), 1);
  EXPECT_EQ(block, grown);
  EXPECT_STREQ(static_cast<char *>(block), "abc");
#ifndef __SANITIZE_ADDRESS__  // the sanitizer aborts on impossible sizes instead of failing
  void *before = block;
  // An impossible size fails and keeps the old block.
  EXPECT_EQ(huld_realloc(&block, SIZE_MAX / 2), 1);
  EXPECT_EQ(block, before);
#endif
  free(block);
}

TEST(HuldLocalTime, FillsPlausibleFieldsAndZeroesReserved) {
  EXPECT_EQ(huld_get_local_time(nullptr), 1);
  huld_calendar_time t;
  memset(&t, 0xCC, sizeof(t));
  ASSERT_EQ(huld_get_local_time(&t), 0);
  EXPECT_GE(t.year, 2020u);
  EXPECT_LE(t.year, 9999u);
  EXPECT_GE(t.month, 1u);
  EXPECT_LE(t.month, 12u);
  EXPECT_LE(t.weekday, 6u);
  EXPECT_GE(t.day, 1u);
  EXPECT_LE(t.day, 31u);
  EXPECT_LE(t.hour, 23u);
  EXPECT_LE(t.minute, 59u);
  EXPECT_LE(t.second, 60u);
  EXPECT_EQ(t.reserved, 0u);
  EXPECT_LE(t.daylight_saving, 1u);
}

}  // namespace

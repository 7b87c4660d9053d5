// The error record: setting, truncation, clearing and printing.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "capture_sink.h"
#include "huld/huld_log.h"

#define HULD_MODULE "huld\\huld_core_test"

namespace {

using huld_core_test::fresh_capture;

TEST(HuldErrorRecord, SetStoresEveryField) {
  huld_error err;
  memset(&err, 0, sizeof(err));
  EXPECT_EQ(huld_error_set(&err, HULD_ERROR_SYSTEM, 31, "huld\\huld_dev", "huld_dev_open", 42,
                           "open %s failed (%u)", "\\\\.\\PhysicalDrive0", 5u),
            1);
  EXPECT_EQ(err.code, 4u);
  EXPECT_EQ(err.subcode, 31u);
  EXPECT_STREQ(err.file, "huld\\huld_dev");
  EXPECT_STREQ(err.function, "huld_dev_open");
  EXPECT_EQ(err.line, 42u);
  EXPECT_STREQ(err.message, "open \\\\.\\PhysicalDrive0 failed (5)");
  EXPECT_EQ(huld_error_is_set(&err), 1);
}

TEST(HuldErrorRecord, MacroRecordsModuleAndFunction) {
  huld_error err;
  memset(&err, 0, sizeof(err));
  EXPECT_EQ(HULD_ERROR(&err, HULD_ERROR_DEVICE, 0x51, "status %02xh", 0x51), 1);
  EXPECT_EQ(err.code, 6u);
  EXPECT_STREQ(err.file, "huld\\huld_core_test");
  EXPECT_STREQ(err.function, "TestBody");
  EXPECT_NE(err.line, 0u);
  EXPECT_STREQ(err.message, "status 51h");
}

TEST(HuldErrorRecord, TruncatesMessageAndNames) {
  huld_error err;
  memset(&err, 0, sizeof(err));
  std::string longtext(5000, 'm');
  std::string longname(300, 'f');
  huld_error_set(&err, 1, 0, longname.c_str(), longname.c_str(), 1, "%s", longtext.c_str());
  EXPECT_EQ(std::string(err.message), std::string(4095, 'm'));
  EXPECT_EQ(std::string(err.file), std::string(127, 'f'));
  EXPECT_EQ(std::string(err.function), std::string(127, 'f'));
}

TEST(HuldErrorRecord, NullRecordAndNullPartsAreTolerated) {
  EXPECT_EQ(huld_error_set(nullptr, 1, 2, "f", "g", 3, "x"), 1);

  huld_error err;
  memset(&err, 0, sizeof(err));
  huld_error_set(&err, 1, 0, "file-a", "func-a", 10, "first");
  const char *no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  huld_error_set(&err, 2, 7, nullptr, nullptr, 11, no_format);  // a null format keeps the message
#pragma GCC diagnostic pop
  EXPECT_EQ(err.code, 2u);
  EXPECT_EQ(err.subcode, 7u);
  EXPECT_EQ(err.line, 11u);
  EXPECT_STREQ(err.file, "file-a");
  EXPECT_STREQ(err.function, "func-a");
  EXPECT_STREQ(err.message, "first");
}

TEST(HuldErrorRecord, ClearKeepsTheRestOfTheRecord) {
  huld_error err;
  memset(&err, 0, sizeof(err));
  huld_error_set(&err, 6, 0x0204, "mod", "fn", 77, "old message");
  EXPECT_EQ(huld_error_clear(&err), 0);
  EXPECT_EQ(err.code, 0u);
  EXPECT_EQ(err.subcode, 0u);
  EXPECT_EQ(huld_error_is_set(&err), 0);
  EXPECT_STREQ(err.message, "old message");
  EXPECT_STREQ(err.file, "mod");
  EXPECT_STREQ(err.function, "fn");
  EXPECT_EQ(err.line, 77u);
}

TEST(HuldErrorRecord, PrintLogsFourLinesAndReturnsLastResult) {
  auto &cap = fresh_capture();
  cap.result = 55;
  huld_error err;
  memset(&err, 0, sizeof(err));
  huld_error_set(&err, 4, 1117, "huld\\huld_scsi", "huld_scsi_execute", 300, "%s", "it %d");
  EXPECT_EQ(huld_error_print(&err), 55);
  ASSERT_EQ(cap.pieces.size(), 4u);
  EXPECT_EQ(cap.pieces[0], "error code:    4\n");
  EXPECT_EQ(cap.pieces[1], "error subcode: 1117\n");
  EXPECT_EQ(cap.pieces[2], "message: it %d\n");  // message text is never a format
  EXPECT_EQ(cap.pieces[3], "location: huld\\huld_scsi :: huld_scsi_execute (line 300)\n");
}

}  // namespace

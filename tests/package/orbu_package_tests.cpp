// Reading the embedded package into the update configuration, and the consistency check.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "orbu/orbu_package.h"
#include "sim/machine.h"
#include "support/log_capture.h"
#include "tests/package/package_writer.h"

using namespace pkgtest;
using namespace testsupport;

namespace {

// Each test runs as an executable that carries the package it writes.
class EmbeddedPackage : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&config_, 0, sizeof(config_)); }
  void TearDown() override {
    orbu_package_clear(&config_);
    sim::app_knobs().module_path.clear();
    sim::app_knobs().module_path_truncated = false;
  }

  int unpack(const bytes &file) {
    write_file(dir_.file("tool.exe"), file);
    sim::app_knobs().module_path = dir_.file("tool.exe");
    return orbu_unpack_embedded(&config_);
  }
  int unpack(const std::vector<entry> &entries) { return unpack(package_bytes(carrier_, entries)); }

  bool cleared() const {
    orbu_config zero;
    std::memset(&zero, 0, sizeof(zero));
    return std::memcmp(&zero, &config_, sizeof(zero)) == 0;
  }

  bytes image(const orbu_packed_binary &b) const { return bytes(b.data, b.data + b.size); }

  temp_dir dir_;
  bytes carrier_ = pattern(300, 17);
  orbu_config config_;
};

}  // namespace

TEST_F(EmbeddedPackage, MonbRoundTrip) {
  log_capture log(HULD_LOG_INFO);
  const bytes records = concat({monb_record("CORVANE CVN-512", "CV10", "CV11", "cvn512.img"),
                                monb_record("CORVANE CVN-1T", "CV20", "CV21", "cvn1t.img")});
  ASSERT_EQ(0, unpack({{"cvn512.img", pattern(2000, 1)},
                       {"fwconfig", fwconfig(1, 2, records, 2, 1, 1)},
                       {"cvn1t.img", pattern(3000, 2)},
                       {"spare.img", pattern(10, 3)}}));
  EXPECT_EQ(ORBU_STRATEGY_MONB, config_.strategy);
  EXPECT_EQ(ORBU_CUSTOMER_DEDI, config_.customer);
  EXPECT_EQ(1u, config_.internal_release);
  EXPECT_EQ(1u, config_.silent);
  ASSERT_EQ(2u, config_.record_count);
  EXPECT_EQ(0, std::memcmp(records.data(), config_.records, records.size()));
  const auto *r = (const orbu_monb_record *)config_.records;
  EXPECT_STREQ("CORVANE CVN-1T", r[1].model);
  EXPECT_STREQ("cvn1t.img", r[1].binary_name);

  ASSERT_EQ(3u, config_.binary_count);  // "fwconfig" takes no table entry
  EXPECT_STREQ("cvn512.img", config_.binaries[0].name);
  EXPECT_EQ(pattern(2000, 1), image(config_.binaries[0]));
  EXPECT_STREQ("cvn1t.img", config_.binaries[1].name);
  EXPECT_EQ(pattern(3000, 2), image(config_.binaries[1]));
  EXPECT_EQ("Unpacked binary \"cvn512.img\" (2000 bytes).\n"
            "Unpacked binary \"cvn1t.img\" (3000 bytes).\n"
            "Unpacked binary \"spare.img\" (10 bytes).\n",
            log.text());
  EXPECT_EQ(0, orbu_check_binaries(&config_));  // an image that no record names is allowed
}

TEST_F(EmbeddedPackage, OtherStrategiesRoundTrip) {
  struct variant {
    uint8_t strategy;
    bytes records;
    size_t record_size;
  };
  const std::vector<variant> variants = {
      {2,
       concat({monmb_record("CORVANE CVN-512", "CV10", "CV11", "CORVANE CVN-512X", "a"),
               monmb_record("", "", "", "", "a")}),
       132},
      {3, dedicidonb_record("CID012345678", "DF01", "DF02", "a"), 63},
      {4,
       concat({dfmonmb_record(0x11223344, "CORVANE*", "1.2.?", "1.3.0", "CORVANE CVN-2T", "a"),
               dfmonmb_record(7, "", "*", "2.0", "", "a")}),
       158},
  };
  for (const auto &v : variants) {
    SCOPED_TRACE((int)v.strategy);
    const uint8_t count = (uint8_t)(v.records.size() / v.record_size);
    ASSERT_EQ(0, unpack({{"fwconfig", fwconfig(v.strategy, count, v.records, 3)},
                         {"a", pattern(40, 1)}}));
    EXPECT_EQ(v.strategy, config_.strategy);
    EXPECT_EQ(3u, config_.customer);  // kept as read; any value but 1 and 2 is generic
    EXPECT_EQ(count, config_.record_count);
    EXPECT_EQ(0, std::memcmp(v.records.data(), config_.records, v.records.size()));
    EXPECT_EQ(0, orbu_check_binaries(&config_));
    orbu_package_clear(&config_);
  }
  ASSERT_EQ(0, unpack({{"fwconfig", fwconfig(4, 1, variants[2].records)}, {"a", {1}}}));
  EXPECT_EQ(0x11223344u, ((const orbu_dfmonmb_record *)config_.records)->drive_model_id);
}

TEST_F(EmbeddedPackage, ConfigurationWithoutRecords) {
  ASSERT_EQ(0, unpack({{"fwconfig", fwconfig(1, 0, {})}}));
  EXPECT_EQ(1u, config_.strategy);
  EXPECT_EQ(0u, config_.record_count);
  EXPECT_EQ(0, orbu_check_binaries(&config_));
}

TEST_F(EmbeddedPackage, BadFwconfigFailsTheUnpackAndClearsTheConfiguration) {
  const bytes rec = monb_record("M", "O", "N", "img");
  struct variant {
    const char *what;
    bytes blob;
    const char *log;
  };
  const std::vector<variant> variants = {
      {"strategy 0", fwconfig(0, 0, {}), "Unrecognized fwconfig strategy 0.\n"},
      {"strategy 5", fwconfig(5, 0, {}), "Unrecognized fwconfig strategy 5.\n"},
      {"shorter than the header", bytes{1, 0, 0, 0, 0, 0}, ""},
      {"empty", bytes{}, ""},
      {"shorter than its records", fwconfig(1, 2, concat({rec, bytes(90, 0)})), ""},
      {"model without NUL", fwconfig(1, 1, monb_record(std::string(41, 'M'), "O", "N", "img")),
       ""},
      {"name without NUL", fwconfig(1, 1, monb_record("M", "O", "N", std::string(32, 'i'))), ""},
      {"monmb new model without NUL",
       fwconfig(2, 1, monmb_record("M", "O", "N", std::string(41, 'x'), "img")), ""},
      {"cid without NUL", fwconfig(3, 1, dedicidonb_record(std::string(13, 'C'), "O", "N", "img")),
       ""},
      {"dfmonmb firmware without NUL",
       fwconfig(4, 1, dfmonmb_record(1, "M", std::string(20, 'F'), "N", "", "img")), ""},
  };
  for (const auto &v : variants) {
    SCOPED_TRACE(v.what);
    log_capture log(HULD_LOG_INFO);
    EXPECT_EQ(1, unpack({{"img", pattern(50, 1)}, {"fwconfig", v.blob}, {"late", {1, 2}}}));
    EXPECT_EQ(std::string("Unpacked binary \"img\" (50 bytes).\n") + v.log +
                  "Failed to unpack the fwconfig.\n",
              log.text());
    EXPECT_TRUE(cleared());
  }
}

TEST_F(EmbeddedPackage, TrailingBytesAfterTheRecordsAreIgnored) {
  const bytes rec = monb_record("M", "O", "N", "img");
  ASSERT_EQ(0, unpack({{"fwconfig", concat({fwconfig(1, 1, rec), bytes(100, 0xFF)})},
                       {"img", {9}}}));
  EXPECT_EQ(1u, config_.record_count);
  EXPECT_EQ(0, std::memcmp(rec.data(), config_.records, rec.size()));
}

TEST_F(EmbeddedPackage, ParsersRespectTheGivenSize) {
  // The blob ends exactly after the records: nothing beyond is read (checked by sanitizers too).
  const bytes blob = fwconfig(3, 1, dedicidonb_record("C", "O", "N", "n"));
  EXPECT_EQ(0, orbu_parse_fwconfig(&config_, blob.data(), blob.size()));
  EXPECT_EQ(1, orbu_parse_fwconfig(&config_, blob.data(), blob.size() - 1));
  EXPECT_EQ(1, orbu_parse_fwconfig(&config_, blob.data(), 6));
}

TEST_F(EmbeddedPackage, PackageWithoutFwconfigIsStoppedByTheCheck) {
  log_capture log(HULD_LOG_INFO);
  ASSERT_EQ(0, unpack({{"img", pattern(5, 1)}}));
  EXPECT_EQ(0u, config_.strategy);
  EXPECT_EQ(1u, config_.binary_count);
  captured_log().clear();
  EXPECT_EQ(1, orbu_check_binaries(&config_));
  EXPECT_EQ("Unrecognized fwconfig strategy 0.\n", log.text());

  orbu_package_clear(&config_);
  ASSERT_EQ(0, unpack(std::vector<entry>{}));
  EXPECT_EQ(0u, config_.binary_count);
  EXPECT_EQ(1, orbu_check_binaries(&config_));
}

TEST_F(EmbeddedPackage, CheckNamesTheFirstMissingOrEmptyImage) {
  log_capture log(HULD_LOG_NOTICE);
  const bytes records = concat({monb_record("A", "1", "2", "present"),
                                monb_record("B", "1", "2", "missing"),
                                monb_record("C", "1", "2", "also-missing")});
  ASSERT_EQ(0, unpack({{"present", {1}}, {"fwconfig", fwconfig(1, 3, records)}}));
  EXPECT_EQ(1, orbu_check_binaries(&config_));
  EXPECT_EQ("Binary is inconsistent. Packed binary missing is configured but does not exist.\n",
            log.text());

  orbu_package_clear(&config_);
  captured_log().clear();
  const bytes monmb = concat({monmb_record("A", "1", "2", "A2", "full"),
                              monmb_record("B", "1", "2", "B2", "empty")});
  ASSERT_EQ(0, unpack({{"full", {1}}, {"empty", {}}, {"fwconfig", fwconfig(2, 2, monmb)}}));
  ASSERT_EQ(2u, config_.binary_count);
  EXPECT_EQ(0u, config_.binaries[1].size);
  EXPECT_EQ(1, orbu_check_binaries(&config_));
  EXPECT_EQ("Binary is inconsistent. Packed binary empty is empty.\n", log.text());
}

TEST_F(EmbeddedPackage, RepeatedNamesHoldTheLastEntrysBytes) {
  // A larger and a smaller earlier entry of the same name: each table entry holds exactly the
  // last entry's bytes and size.
  ASSERT_EQ(0, unpack({{"fw", pattern(100, 1)},
                       {"fw", pattern(10, 2)},
                       {"other", pattern(3, 3)},
                       {"fw", pattern(40, 4)},
                       {"fwconfig", fwconfig(1, 1, monb_record("M", "O", "N", "nothing"), 0)},
                       {"fwconfig", fwconfig(3, 0, {}, 1, 1, 1)}}));
  ASSERT_EQ(4u, config_.binary_count);
  for (uint32_t i : {0u, 1u, 3u}) {
    EXPECT_STREQ("fw", config_.binaries[i].name);
    EXPECT_EQ(pattern(40, 4), image(config_.binaries[i])) << i;
  }
  // The second "fwconfig" replaces the first.
  EXPECT_EQ(3u, config_.strategy);
  EXPECT_EQ(1u, config_.customer);
  EXPECT_EQ(0u, config_.record_count);
}

TEST_F(EmbeddedPackage, InvalidPackagesFailTheUnpack) {
  struct variant {
    const char *what;
    bytes file;
    std::string log;
  };
  const std::string no_signature =
      "Packed data is invalid.\n"
      "error code:    1\n"
      "error subcode: 0\n"
      "message: packed directory signature not present in binary\n";
  const std::vector<entry> one = {{"fwconfig", fwconfig(1, 0, {})}};
  const std::vector<variant> variants = {
      {"no package", pattern(5000, 1), no_signature},
      {"truncated directory", [&] {
         bytes b = package_bytes(carrier_, one);
         b.resize(b.size() - 1);
         return b;
       }(), no_signature},
      {"more than 100 binaries", package_bytes(carrier_, one, {}, {101, {}}), no_signature},
      {"name without NUL",
       package_bytes(carrier_, {{"", {1}, {}, std::string(32, 'N')}}), no_signature},
      {"sizes that wrap",
       package_bytes(carrier_, {{"a", {1}, UINT64_MAX}, {"b", {1}, 2}}), no_signature},
      {"sizes reaching before the file",
       package_bytes(carrier_, {{"a", {1}, 302}}), no_signature},
      {"wrong version", package_bytes(carrier_, one, {}, {{}, 0x12345678}),
       "Packed data is of an unsupported version (12345678h).\n"},
  };
  for (const auto &v : variants) {
    SCOPED_TRACE(v.what);
    log_capture log(HULD_LOG_INFO);
    EXPECT_EQ(1, unpack(v.file));
    EXPECT_EQ(0u, log.text().find(v.log)) << log.text();
    EXPECT_TRUE(cleared());
  }
}

TEST_F(EmbeddedPackage, OwnPathUnavailable) {
  write_file(dir_.file("tool.exe"), package_bytes(carrier_, {{"fwconfig", fwconfig(1, 0, {})}}));
  sim::app_knobs().module_path = dir_.file("tool.exe");
  sim::app_knobs().module_path_truncated = true;
  char path[260];
  orbu_get_own_path(path);
  EXPECT_STREQ("", path);
  EXPECT_EQ(1, orbu_unpack_embedded(&config_));

  sim::app_knobs().module_path_truncated = false;
  orbu_get_own_path(path);
  EXPECT_EQ(dir_.file("tool.exe"), path);
  EXPECT_EQ(0, orbu_unpack_embedded(&config_));
}

// The own file is found and opened through the wide calls: a folder whose name the ANSI code
// page cannot hold (the narrow path shows '?' there) still gives its package.
TEST_F(EmbeddedPackage, FolderNameOutsideTheAnsiCodePage) {
  const std::string folder = dir_.file("\u66f4\u65b0\u30c4\u30fc\u30eb");
  std::filesystem::create_directory(folder);
  const std::string tool = folder + "/tool.exe";
  write_file(tool, package_bytes(carrier_, {{"fwconfig", fwconfig(1, 0, {})}, {"a.img", pattern(9, 4)}}));
  sim::app_knobs().module_path = tool;
  char narrow[260];
  orbu_get_own_path(narrow);
  EXPECT_EQ(dir_.file("?????") + "/tool.exe", narrow);
  ASSERT_EQ(0, orbu_unpack_embedded(&config_));
  EXPECT_EQ(ORBU_STRATEGY_MONB, config_.strategy);
  ASSERT_EQ(1u, config_.binary_count);
  EXPECT_EQ(pattern(9, 4), image(config_.binaries[0]));
}

namespace {

// A stream that hands out `good` bytes and then fails the read, as a file cut short does.
struct failing_source {
  size_t good;
};
ssize_t failing_read(void *cookie, char *buffer, size_t size) {
  auto *source = static_cast<failing_source *>(cookie);
  if (source->good == 0) {
    errno = EIO;
    return -1;
  }
  const size_t n = size < source->good ? size : source->good;
  std::memset(buffer, 0x5A, n);
  source->good -= n;
  return static_cast<ssize_t>(n);
}

}  // namespace

// A read that loses bytes refuses the whole file; a complete one hands out every byte.
TEST(ReadStream, EveryByteMustCome) {
  cookie_io_functions_t io = {failing_read, nullptr, nullptr, nullptr};
  failing_source source{100000};
  FILE *file = fopencookie(&source, "rb", io);
  ASSERT_NE(nullptr, file);
  uint8_t *data = reinterpret_cast<uint8_t *>(1);
  uint64_t size = 1;
  EXPECT_EQ(1, orbu_read_stream(file, UINT64_MAX, &data, &size));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(0u, size);
  std::fclose(file);

  temp_dir dir;
  write_file(dir.file("image.bin"), pattern(200000, 3));
  ASSERT_EQ(0, orbu_read_file(dir.file("image.bin").c_str(), UINT64_MAX, &data, &size));
  EXPECT_EQ(pattern(200000, 3), bytes(data, data + size));
  std::free(data);
  // More bytes than the limit: refused.
  EXPECT_EQ(1, orbu_read_file(dir.file("image.bin").c_str(), 199999, &data, &size));
  EXPECT_EQ(nullptr, data);
}

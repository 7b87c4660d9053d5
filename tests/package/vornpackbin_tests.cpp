// The packed-directory library against the independent test writer.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>

#include "support/log_capture.h"
#include "tests/package/package_writer.h"
#include "huld/huld_util.h"
#include "vornpackbin/vornpackbin.h"

using namespace pkgtest;
using namespace testsupport;

namespace {

huld_error fresh_error() {
  huld_error err;
  std::memset(&err, 0, sizeof(err));
  return err;
}

// Packs the entries with the production packer onto a carrier file.
void produce(const std::string &target, const bytes &carrier, const std::vector<entry> &entries) {
  write_file(target, carrier);
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  for (const auto &e : entries) {
    ASSERT_EQ(0, vornpackbin_pack_binary(&err, &directory, e.data.data(), e.data.size(),
                                         e.name.c_str(), target.c_str()))
        << err.message;
  }
  ASSERT_EQ(0, vornpackbin_pack_directory(&err, &directory, target.c_str())) << err.message;
}

// Runs `fn` with writes limited to files of `limit` bytes (a write past it stops part-way).
template <class F>
auto with_file_size_limit(rlim_t limit, F fn) {
  rlimit saved;
  EXPECT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = limit;
  EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  auto result = fn();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  return result;
}

int64_t find(const bytes &file) { return vornpackbin_find_directory(file.data(), file.size()); }

std::string unpack_failure(const std::string &path) {
  huld_error err = fresh_error();
  vornpackbin_directory directory;
  if (vornpackbin_unpack_directory(&err, &directory, path.c_str()) == 0) return "success";
  EXPECT_EQ(HULD_ERROR_FAILURE, err.code);
  EXPECT_STREQ("vornpackbin\\pack", err.file);
  EXPECT_STREQ("vornpackbin_unpack_directory", err.function);
  return err.message;
}

}  // namespace

TEST(PackedDirectory, ProducedFileMatchesIndependentLayout) {
  temp_dir dir;
  const std::vector<entry> entries = {
      {"alpha.bin", pattern(1000, 1)}, {"empty", {}}, {"fwconfig", pattern(7, 9)},
      {std::string(31, 'n'), pattern(3, 4)}};
  const bytes carrier = pattern(777, 42);
  produce(dir.file("out"), carrier, entries);
  EXPECT_EQ(package_bytes(carrier, entries), read_file(dir.file("out")));
}

TEST(PackedDirectory, RoundTripOfEveryBinary) {
  temp_dir dir;
  const std::vector<entry> entries = {{"a", pattern(5000, 1)}, {"b", {}}, {"c", pattern(1, 3)}};
  produce(dir.file("out"), pattern(64, 0), entries);
  huld_error err = fresh_error();
  vornpackbin_directory directory;
  ASSERT_EQ(0, vornpackbin_unpack_directory(&err, &directory, dir.file("out").c_str()));
  EXPECT_EQ(3u, directory.nbinaries);
  EXPECT_EQ(VORNPACKBIN_VERSION, directory.version);
  for (const auto &e : entries) {
    bytes out(e.data.size() + 8, 0xEE);
    ASSERT_EQ(0, vornpackbin_unpack_binary(&err, out.data(), out.size(), e.name.c_str(),
                                           dir.file("out").c_str()))
        << err.message;
    EXPECT_EQ(e.data, bytes(out.begin(), out.begin() + e.data.size())) << e.name;
    EXPECT_EQ(bytes(8, 0xEE), bytes(out.end() - 8, out.end())) << "wrote past the binary";
  }
}

TEST(PackedDirectory, FinderPositions) {
  const bytes one = directory_bytes({});
  EXPECT_EQ(-1, find(bytes(one.begin(), one.end() - 1)));  // 4039 bytes
  EXPECT_EQ(0, find(one));
  // Trailing data of 10 KiB after the directory.
  const bytes trailed = package_bytes(pattern(100, 1), {{"x", pattern(10, 2)}}, pattern(10240, 3));
  EXPECT_EQ(110, find(trailed));
  // Two directories: the later one is taken.
  const bytes first = package_bytes({}, {{"x", pattern(10, 2)}});
  bytes twice = package_bytes(first, {{"y", pattern(20, 5)}});
  EXPECT_EQ((int64_t)(first.size() + 20), find(twice));
}

TEST(PackedDirectory, InvalidCandidatesAreSkippedOrRefused) {
  temp_dir dir;
  const bytes good = package_bytes(pattern(50, 1), {{"x", pattern(10, 2)}});
  struct variant {
    const char *what;
    std::vector<entry> entries;
    directory_overrides overrides;
  };
  const std::vector<variant> variants = {
      {"101 binaries", {{"y", pattern(4, 1)}}, {101, {}}},
      {"name without NUL", {{"", pattern(4, 1), {}, std::string(32, 'Z')}}, {}},
      {"sizes that wrap", {{"a", {}, UINT64_MAX}, {"b", pattern(2, 1)}}, {}},
      {"size beyond the file start", {{"a", pattern(4, 1), 1u << 20}}, {}},
  };
  for (const auto &v : variants) {
    SCOPED_TRACE(v.what);
    // Alone in a file: no package at all.
    const bytes alone = package_bytes(pattern(30, 7), v.entries, {}, v.overrides);
    write_file(dir.file("alone"), alone);
    EXPECT_EQ("packed directory signature not present in binary", unpack_failure(dir.file("alone")));
    // After a good package: the search goes on backwards and finds the good directory.
    const bytes stacked = package_bytes(good, v.entries, {}, v.overrides);
    EXPECT_EQ((int64_t)(50 + 10), find(stacked));
  }
  // Unused entries beyond the count are not checked.
  std::vector<entry> spare = {{"a", pattern(3, 1)}, {"b", pattern(3, 1), {}, std::string(32, 'Q')}};
  EXPECT_EQ(33, find(package_bytes(pattern(27, 0), spare, {}, {1, {}})));
  // A wrong version is found; the caller judges it.
  EXPECT_EQ(0, find(package_bytes({}, {}, {}, {{}, 0x12345678u})));
}

TEST(PackedDirectory, ReadFailures) {
  temp_dir dir;
  EXPECT_EQ("failed to open target " + dir.file("none") + " to unpack",
            unpack_failure(dir.file("none")));
  write_file(dir.file("short"), pattern(4039, 0));
  EXPECT_EQ("packed directory signature not present in binary", unpack_failure(dir.file("short")));
  write_file(dir.file("empty"), {});
  EXPECT_EQ("packed directory signature not present in binary", unpack_failure(dir.file("empty")));
}

TEST(PackedDirectory, UnpackBinaryByName) {
  temp_dir dir;
  const std::string path = dir.file("pkg");
  write_file(path, package_bytes(pattern(10, 0), {{"dup", pattern(6, 1)},
                                                  {"other", pattern(4, 2)},
                                                  {"dup", pattern(5, 3)}}));
  huld_error err = fresh_error();
  bytes out(16, 0xEE);
  // The later of two equal names wins.
  ASSERT_EQ(0, vornpackbin_unpack_binary(&err, out.data(), out.size(), "dup", path.c_str()));
  EXPECT_EQ(pattern(5, 3), bytes(out.begin(), out.begin() + 5));

  // A name that is not there fails and leaves the buffer alone.
  bytes untouched(16, 0xAB);
  EXPECT_EQ(1, vornpackbin_unpack_binary(&err, untouched.data(), untouched.size(), "du",
                                         path.c_str()));
  EXPECT_STREQ("binary du not present in pack directory", err.message);
  EXPECT_STREQ("vornpackbin_unpack_binary", err.function);
  EXPECT_EQ(bytes(16, 0xAB), untouched);

  // Too small an out buffer.
  EXPECT_EQ(1, vornpackbin_unpack_binary(&err, untouched.data(), 3, "other", path.c_str()));
  EXPECT_STREQ("provided binary size is not large enough to hold packed binary (3/4)",
               err.message);
  EXPECT_EQ(bytes(16, 0xAB), untouched);

  // An empty directory holds no name.
  write_file(path, directory_bytes({}));
  EXPECT_EQ(1, vornpackbin_unpack_binary(&err, out.data(), out.size(), "dup", path.c_str()));
}

TEST(PackedDirectory, PackLimits) {
  temp_dir dir;
  const std::string target = dir.file("t");
  write_file(target, {});
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  const uint8_t byte = 1;

  EXPECT_EQ(0, vornpackbin_pack_binary(&err, &directory, &byte, 1, std::string(31, 'a').c_str(),
                                       target.c_str()));
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, &byte, 1, std::string(32, 'a').c_str(),
                                       target.c_str()));
  EXPECT_STREQ("name specified too long, max 31 characters", err.message);
  EXPECT_EQ(1u, directory.nbinaries);

  for (int i = 1; i < 100; i++) {
    ASSERT_EQ(0, vornpackbin_pack_binary(&err, &directory, &byte, 1, "n", target.c_str()));
  }
  EXPECT_EQ(100u, read_file(target).size());
  directory.version = 0;
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, &byte, 1, "n", target.c_str()));
  EXPECT_STREQ("out of space for more binaries in pack directory", err.message);
  EXPECT_EQ(VORNPACKBIN_VERSION, directory.version);
  EXPECT_EQ(100u, directory.nbinaries);
  EXPECT_EQ(100u, read_file(target).size());  // untouched

  const std::string nowhere = dir.file("no/such/dir");
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, &byte, 1, "n", nowhere.c_str()));
  EXPECT_EQ(1, vornpackbin_pack_directory(&err, &directory, nowhere.c_str()));
  EXPECT_EQ("failed to open target " + nowhere + " for append", std::string(err.message));
}

TEST(PackedDirectory, PackLogsAtDebugLevel) {
  temp_dir dir;
  const std::string target = dir.file("t");
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  log_capture log(HULD_LOG_DEBUG);
  ASSERT_EQ(0, vornpackbin_pack_binary(&err, &directory, "ab", 2, "img", target.c_str()));
  ASSERT_EQ(0, vornpackbin_pack_directory(&err, &directory, target.c_str()));
  EXPECT_EQ("packing binary img to " + target + "\nsuccessfully appended, up to 1 binaries\n" +
                "successfully packed directory\nnbinaries: 1\nversion: dbdbdbdbh\n",
            log.text());
}

// A write that stops part-way (file size limit) must not leave unrecorded bytes in the target.
TEST(PackedDirectory, FailedAppendLeavesTargetAsBefore) {
  temp_dir dir;
  const std::string target = dir.file("t");
  const bytes before = pattern(1000, 5);
  write_file(target, before);
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  const bytes big = pattern(200000, 9);
  const int result = with_file_size_limit(1000 + 50000, [&] {
    return vornpackbin_pack_binary(&err, &directory, big.data(), big.size(), "big", target.c_str());
  });

  EXPECT_EQ(1, result);
  EXPECT_EQ("failed to write complete buffer to target " + target, std::string(err.message));
  EXPECT_EQ(0u, directory.nbinaries);
  EXPECT_EQ(before, read_file(target));
}

// The same for the directory, and neither failed append logs more than the packer's own lines.
TEST(PackedDirectory, FailedDirectoryAppendLeavesTargetAsBefore) {
  temp_dir dir;
  const std::string target = dir.file("t");
  const bytes before = pattern(1000, 6);
  write_file(target, before);
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  log_capture log(HULD_LOG_DEBUG);
  const bytes big = pattern(3000, 9);
  EXPECT_EQ(1, with_file_size_limit(1000 + 2000, [&] {
              return vornpackbin_pack_binary(&err, &directory, big.data(), big.size(), "big", target.c_str());
            }));
  EXPECT_EQ(1, with_file_size_limit(1000 + 2000, [&] {
              return vornpackbin_pack_directory(&err, &directory, target.c_str());
            }));
  EXPECT_EQ("failed to write complete buffer to target " + target, std::string(err.message));
  EXPECT_STREQ("vornpackbin_pack_directory", err.function);
  EXPECT_EQ(before, read_file(target));
  EXPECT_EQ("packing binary big to " + target + "\nfailed to write buffer to append\n", log.text());

  // A target that did not exist before is not left behind.
  const std::string fresh = dir.file("fresh");
  const bytes bigger = pattern(4000, 3);
  EXPECT_EQ(1, with_file_size_limit(1000 + 2000, [&] {
              return vornpackbin_pack_binary(&err, &directory, bigger.data(), bigger.size(), "bigger", fresh.c_str());
            }));
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

TEST(PackedDirectory, PackRefusalsLogAtDebugLevel) {
  temp_dir dir;
  const std::string target = dir.file("t");
  vornpackbin_directory directory;
  std::memset(&directory, 0, sizeof(directory));
  huld_error err = fresh_error();
  log_capture log(HULD_LOG_DEBUG);
  const std::string long_name(32, 'L');
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, "x", 1, long_name.c_str(), target.c_str()));
  const std::string nowhere = dir.file("no/such/dir");
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, "x", 1, "n", nowhere.c_str()));
  EXPECT_STREQ("vornpackbin_pack_binary", err.function);
  directory.nbinaries = 100;
  EXPECT_EQ(1, vornpackbin_pack_binary(&err, &directory, "x", 1, "n", target.c_str()));
  EXPECT_EQ(1, vornpackbin_pack_directory(&err, &directory, nowhere.c_str()));
  EXPECT_EQ("packing binary " + long_name + " to " + target + "\n" + long_name + " too long\n" +
                "packing binary n to " + nowhere + "\nfailed to open for append\n" +
                "packing binary n to " + target + "\nover 100 binaries packed!\n",
            log.text());
  EXPECT_FALSE(std::filesystem::exists(target));
}

// A file whose size promises more bytes than a read delivers is refused, not parsed.
TEST(PackedDirectory, ShortReadIsRefused) {
  const char *candidates[] = {"/sys/kernel/profiling", "/sys/kernel/mm/transparent_hugepage/enabled"};
  for (const char *path : candidates) {
    const int64_t size = huld_file_size(path);
    if (size <= 0 || (int64_t)read_file(path).size() >= size) continue;
    EXPECT_EQ(std::string("failed to read ") + path + " to buffer to unpack", unpack_failure(path));
    huld_error err = fresh_error();
    uint8_t out[4];
    EXPECT_EQ(1, vornpackbin_unpack_binary(&err, out, sizeof(out), "x", path));
    EXPECT_EQ(std::string("failed to read ") + path + " to buffer to unpack", err.message);
    return;
  }
  GTEST_SKIP() << "no file that reads short on this machine";
}

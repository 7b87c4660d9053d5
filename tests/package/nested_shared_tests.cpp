// Packages inside packages, and the one copy that entries of a repeated name share.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "orbu/orbu_package.h"
#include "sim/machine.h"
#include "tests/package/package_writer.h"

using namespace pkgtest;

namespace {

class NestedShared : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&config_, 0, sizeof(config_)); }
  void TearDown() override {
    orbu_package_clear(&config_);
    sim::app_knobs().module_path.clear();
  }
  int unpack(const std::string &path) {
    sim::app_knobs().module_path = path;
    return orbu_unpack_embedded(&config_);
  }

  temp_dir dir_;
  bytes tool_ = program(3000, 9);
  orbu_config config_;
};

}  // namespace

TEST_F(NestedShared, RepeatedNamesShareOneCopy) {
  std::vector<entry> entries;
  for (int i = 0; i < 20; i++) entries.push_back({"fw", {}});
  entries.push_back({"fw", pattern(5000, 3)});
  entries.push_back({"fwconfig", fwconfig(1, 1, monb_record("M", "O", "N", "fw"))});
  write_file(dir_.file("tool"), package_bytes(tool_, entries));
  ASSERT_EQ(0, unpack(dir_.file("tool")));
  ASSERT_EQ(21u, config_.binary_count);
  EXPECT_EQ(pattern(5000, 3), bytes(config_.binaries[0].data, config_.binaries[0].data + 5000));
  for (uint32_t i = 1; i < 21; i++) {
    EXPECT_EQ(config_.binaries[0].data, config_.binaries[i].data) << i;
    EXPECT_EQ(5000u, config_.binaries[i].size) << i;
  }
  EXPECT_EQ(0, orbu_check_binaries(&config_));
}

#ifdef ORBU_PACK_PATH
TEST_F(NestedShared, PackToolRefusesAPackagedInputUnlessToldToStripIt) {
  write_file(dir_.file("fw.img"), pattern(64, 4));
  write_file(dir_.file("desc.json"), [] {
    const std::string text =
        R"({"strategy": "monb", "images": {"fw": "fw.img"}, "records": [{"model": "M",
            "old_firmware": "O", "new_firmware": "N", "binary_name": "fw"}]})";
    return bytes(text.begin(), text.end());
  }());
  // An older package, with trailing bytes after its directory.
  write_file(dir_.file("old"),
             package_bytes(tool_, {{"fw", pattern(10, 5)}, {"fwconfig", fwconfig(1, 0, {})}},
                           pattern(7, 6)));
  auto pack = [&](const std::string &option) {
    return run_shell(std::string(ORBU_PACK_PATH) + option + " " +
                     shell_quote(dir_.file("desc.json")) + " " + shell_quote(dir_.file("old")) +
                     " " + shell_quote(dir_.file("new")));
  };
  const run_result refused = pack("");
  EXPECT_EQ(1, refused.exit_code);
  EXPECT_NE(std::string::npos, refused.output.find("already carries an update package"))
      << refused.output;
  EXPECT_NE(std::string::npos, refused.output.find("--strip-package")) << refused.output;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("new")));

  const run_result stripped = pack(" --strip-package");
  ASSERT_EQ(0, stripped.exit_code) << stripped.output;
  EXPECT_EQ(package_bytes(tool_, {{"fw", pattern(64, 4)},
                                  {"fwconfig", fwconfig(1, 1, monb_record("M", "O", "N", "fw"))}}),
            read_file(dir_.file("new")));
  ASSERT_EQ(0, unpack(dir_.file("new")));
}
#endif

// Whole runs of the native tool carrying a package: what start-up makes of the package, seen in
// the log file and the exit code. The tool runs on the built-in simulated machine (no devices).
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/package/package_writer.h"

#if defined(ORBU_PACK_PATH) && defined(ORBU_EXE_PATH)

using namespace pkgtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

class PackagedRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(ORBU_EXE_PATH)) GTEST_SKIP() << "the tool is not built";
    write_file(dir_.file("a.img"), pattern(700, 1));
    write_file(dir_.file("empty.img"), {});
  }

  // Packages the native tool with the description; the package is dir/tool.
  void package(const json &description) {
    const std::string text = description.dump();
    write_file(dir_.file("desc.json"), bytes(text.begin(), text.end()));
    const run_result r = run_shell(std::string(ORBU_PACK_PATH) + " " +
                                   shell_quote(dir_.file("desc.json")) + " " +
                                   shell_quote(ORBU_EXE_PATH) + " " + shell_quote(dir_.file("tool")));
    ASSERT_EQ(0, r.exit_code) << r.output;
  }

  // Packages the native tool with the independent writer; the package is dir/tool.
  void package_raw(const std::vector<entry> &entries) {
    write_file(dir_.file("tool"), package_bytes(read_file(ORBU_EXE_PATH), entries));
    fs::permissions(dir_.file("tool"), fs::perms::owner_all);
  }

  // Runs dir/tool with the arguments in dir as the current directory.
  int run(const std::string &arguments) {
    const run_result r =
        run_shell("cd " + shell_quote(dir_.path().string()) +
                  " && env -u ORBU_SIM_MACHINE timeout 120 ./tool " + arguments);
    output_ = r.output;
    return r.exit_code;
  }

  std::string log(const std::string &name = "corvaneupdlog.txt") const {
    const bytes b = read_file(dir_.path() / name);
    return std::string(b.begin(), b.end());
  }

  static json monb(const std::string &image) {
    return json{{"strategy", "monb"},
                {"records",
                 {{{"model", "CORVANE CVN-512"},
                   {"old_firmware", "CV1A0100"},
                   {"new_firmware", "CV1A0200"},
                   {"binary_name", image}}}},
                {"images", {{"a", "a.img"}, {"empty", "empty.img"}}}};
  }

  temp_dir dir_;
  std::string output_;
};

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST_F(PackagedRun, EmbeddedConfigurationIsUsed) {
  package(monb("a"));
  EXPECT_EQ(4, run("/s")) << output_;  // generic, silent, no applicable device
  const std::string text = log();
  EXPECT_TRUE(contains(text, "Detected embedded binary configuration.\n")) << text;
  EXPECT_TRUE(contains(text, "    Strategy: monb\n"
                             "    Strategy Data 0\n"
                             "        Model: CORVANE CVN-512\n"
                             "        Old:   CV1A0100\n"
                             "        New:   CV1A0200\n"
                             "        Name:  a\n"
                             "    Firmware Binary 0\n"
                             "        Name: a\n"
                             "        Size: 700\n"))
      << text;
  EXPECT_FALSE(contains(text, "Binary is inconsistent.")) << text;
}

TEST_F(PackagedRun, InconsistentPackageStopsTheRun) {
  // The packaging tool refuses such packages; the independent writer builds them.
  package_raw({{"a", pattern(700, 1)},
               {"fwconfig", fwconfig(1, 1, monb_record("CORVANE CVN-512", "CV1A0100", "CV1A0200",
                                                       "missing.img"))}});
  EXPECT_EQ(1, run("/s")) << output_;
  EXPECT_TRUE(contains(log(),
                       "Binary is inconsistent. Packed binary missing.img is configured but does "
                       "not exist.\n"
                       "Update application failed early due to issues with binary consistency.\n"))
      << log();

  fs::remove(dir_.file("corvaneupdlog.txt"));
  package_raw({{"empty", {}},
               {"fwconfig", fwconfig(1, 1, monb_record("CORVANE CVN-512", "CV1A0100", "CV1A0200",
                                                       "empty"))}});
  EXPECT_EQ(1, run("/s")) << output_;
  EXPECT_TRUE(contains(log(), "Binary is inconsistent. Packed binary empty is empty.\n")) << log();
}

TEST_F(PackagedRun, SilentPackageWritesNoDefaultLog) {
  json d = monb("a");
  d["silent"] = true;
  package(d);
  EXPECT_EQ(4, run("")) << output_;
  EXPECT_FALSE(fs::exists(dir_.file("corvaneupdlog.txt")));

  EXPECT_EQ(4, run("/log=chosen.txt")) << output_;
  EXPECT_FALSE(fs::exists(dir_.file("corvaneupdlog.txt")));
  EXPECT_TRUE(contains(log("chosen.txt"), "Detected embedded binary configuration.\n"));
}

TEST_F(PackagedRun, UnreadableConfigurationFallsBackToTheCommandLine) {
  // A package whose "fwconfig" names strategy 5, written by the independent writer.
  package_raw({{"fwconfig", fwconfig(5, 0, {})}});
  run("/s");
  const std::string text = log();
  EXPECT_TRUE(contains(text, "Failed to unpack configuration from the binary.\n")) << text;
  EXPECT_FALSE(contains(text, "Unrecognized fwconfig strategy")) << text;  // level 0 at unpack
}

#endif

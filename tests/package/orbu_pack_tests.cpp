// The packaging tool: good descriptions give a package the application reads back, bad ones are
// refused with a message and leave no output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "orbu/orbu_package.h"
#include "sim/machine.h"
#include "tests/package/package_writer.h"

#ifdef ORBU_PACK_PATH

using namespace pkgtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

run_result run_pack(const std::string &description, const std::string &input,
                    const std::string &output) {
  return run_shell(std::string(ORBU_PACK_PATH) + " " + shell_quote(description) + " " +
                   shell_quote(input) + " " + shell_quote(output));
}

class PackTool : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_.file("carrier"), carrier_);
    write_file(dir_.file("a.img"), pattern(700, 1));
    write_file(dir_.file("b.img"), pattern(30, 2));
    std::memset(&config_, 0, sizeof(config_));
  }
  void TearDown() override {
    orbu_package_clear(&config_);
    sim::app_knobs().module_path.clear();
  }

  run_result pack(const json &description) { return pack_text(description.dump(2)); }
  // For descriptions a json value cannot hold (a key twice, deep nesting).
  run_result pack_text(const std::string &text) {
    write_file(dir_.file("desc.json"), bytes(text.begin(), text.end()));
    return run_pack(dir_.file("desc.json"), dir_.file("carrier"), dir_.file("out"));
  }

  void expect_refused(const json &description, const std::string &message) {
    expect_refused(description.dump(2), message);
  }
  void expect_refused(const std::string &description, const std::string &message) {
    const run_result r = pack_text(description);
    EXPECT_EQ(1, r.exit_code);
    EXPECT_NE(std::string::npos, r.output.find(message)) << r.output;
    EXPECT_FALSE(fs::exists(dir_.file("out")));
    EXPECT_FALSE(fs::exists(dir_.file("out.partial")));
  }

  int read_back() {
    sim::app_knobs().module_path = dir_.file("out");
    return orbu_unpack_embedded(&config_);
  }

  static json monb() {
    return json{{"customer", "duzori"},
                {"strategy", "monb"},
                {"internal_release", true},
                {"silent", true},
                {"records",
                 {{{"model", "CORVANE CVN-512"},
                   {"old_firmware", "CV1A0100"},
                   {"new_firmware", "CV1A0200"},
                   {"binary_name", "a"}}}},
                {"images", {{"a", "a.img"}, {"b", "b.img"}}}};
  }

  temp_dir dir_;
  bytes carrier_ = program(5000, 77);
  orbu_config config_;
};

}  // namespace

TEST_F(PackTool, PackageMatchesIndependentWriter) {
  const run_result r = pack(monb());
  ASSERT_EQ(0, r.exit_code) << r.output;
  const bytes expected = package_bytes(
      carrier_,
      {{"a", pattern(700, 1)},
       {"b", pattern(30, 2)},
       {"fwconfig",
        fwconfig(1, 1, monb_record("CORVANE CVN-512", "CV1A0100", "CV1A0200", "a"), 1, 1, 1)}});
  EXPECT_EQ(expected, read_file(dir_.file("out")));
}

TEST_F(PackTool, EveryStrategyReadsBack) {
  std::vector<json> descriptions;
  json d = monb();
  d["strategy"] = "monmb";
  d["records"][0]["new_model"] = "CORVANE CVN-512X";
  descriptions.push_back(d);
  d = monb();
  d["strategy"] = "dedicidonb";
  d["records"] = json::array({{{"component_id", "CID012345678"},
                               {"old_firmware", "1"},
                               {"new_firmware", "2"},
                               {"binary_name", "b"}}});
  descriptions.push_back(d);
  d = monb();
  d["strategy"] = "dfmonmb";
  d["customer"] = 3;
  d["records"] = json::array({{{"drive_model_id", 4660},
                               {"model", ""},
                               {"firmware", "CV1*"},
                               {"new_firmware", "CV2"},
                               {"new_model", ""},
                               {"binary_name", "b"}}});
  descriptions.push_back(d);

  for (size_t i = 0; i < descriptions.size(); i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(0, pack(descriptions[i]).exit_code);
    ASSERT_EQ(0, read_back());
    EXPECT_EQ(i + 2, config_.strategy);
    EXPECT_EQ(1u, config_.record_count);
    EXPECT_EQ(2u, config_.binary_count);
    EXPECT_EQ(0, orbu_check_binaries(&config_));
    orbu_package_clear(&config_);
    fs::remove(dir_.file("out"));
  }
  // The last one: customer 3, the drive model id.
  ASSERT_EQ(0, pack(descriptions[2]).exit_code);
  ASSERT_EQ(0, read_back());
  EXPECT_EQ(3u, config_.customer);
  EXPECT_EQ(4660u, ((const orbu_dfmonmb_record *)config_.records)->drive_model_id);
  EXPECT_STREQ("CV1*", ((const orbu_dfmonmb_record *)config_.records)->firmware);
}

TEST_F(PackTool, SampleDescriptionPacks) {
  const run_result r = run_pack(std::string(ORBU_SAMPLES_DIR) + "/monb-sample.json",
                                dir_.file("carrier"), dir_.file("out"));
  ASSERT_EQ(0, r.exit_code) << r.output;
  ASSERT_EQ(0, read_back());
  EXPECT_EQ(ORBU_STRATEGY_MONB, config_.strategy);
  EXPECT_EQ(3u, config_.record_count);
  EXPECT_EQ(0, orbu_check_binaries(&config_));
}

// --help answers and writes nothing; an option it does not know is refused, not read as the
// description's name.
TEST_F(PackTool, HelpAndUnknownOptions) {
  const std::string pack = std::string(ORBU_PACK_PATH) + " ";
  const run_result help = run_shell(pack + "--help");
  EXPECT_EQ(0, help.exit_code) << help.output;
  EXPECT_NE(std::string::npos, help.output.find("--strip-package  drop the package")) << help.output;
  const std::string desc = std::string(ORBU_SAMPLES_DIR) + "/monb-sample.json";
  const run_result unknown =
      run_shell(pack + "--strip " + shell_quote(desc) + " " + shell_quote(dir_.file("carrier")) + " " +
                shell_quote(dir_.file("out")));
  EXPECT_EQ(1, unknown.exit_code) << unknown.output;
  EXPECT_NE(std::string::npos, unknown.output.find("orbu_pack: unknown option --strip")) << unknown.output;
  EXPECT_FALSE(fs::exists(dir_.file("out")));
}

// The finished package is renamed onto the output: what stands there and is not a regular file
// (a pipe here, a device elsewhere) is refused, not replaced; an output that cannot be written is
// named as the user gave it.
TEST_F(PackTool, OutputsThatCannotTakeThePackage) {
  const std::string desc = std::string(ORBU_SAMPLES_DIR) + "/monb-sample.json";
  const std::string pipe = dir_.file("pipe");
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  const run_result r = run_pack(desc, dir_.file("carrier"), pipe);
  EXPECT_EQ(1, r.exit_code) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("cannot write " + pipe + ": it exists and is not a regular file"))
      << r.output;
  EXPECT_TRUE(fs::is_fifo(pipe));
  const std::string missing = dir_.file("no/such/folder/out");
  const run_result m = run_pack(desc, dir_.file("carrier"), missing);
  EXPECT_EQ(1, m.exit_code) << m.output;
  EXPECT_NE(std::string::npos, m.output.find("cannot write " + missing + ": No such file or directory")) << m.output;
}

TEST_F(PackTool, BadDescriptionsAreRefused) {
  json d = monb();
  d["strategy"] = "mnob";
  expect_refused(d, "unknown strategy \"mnob\"");

  d = monb();
  d["records"][0]["old_firmware"] = "123456789";  // 9 characters do not fit 9 bytes with the NUL
  expect_refused(d, "\"old_firmware\" is longer than 8 characters");

  d = monb();
  d["records"][0]["binary_name"] = std::string(32, 'x');
  expect_refused(d, "\"binary_name\" is longer than 31 characters");

  d = monb();
  d["images"]["c"] = "no-such.img";
  expect_refused(d, "image \"c\": no file");

  d = monb();
  d["images"][std::string(32, 'n')] = "a.img";
  expect_refused(d, "longer than 31 characters");

  d = monb();
  d["images"] = json::object();
  for (int i = 0; i < 100; i++) d["images"]["img" + std::to_string(i)] = "a.img";
  expect_refused(d, "more than 100 binaries");

  d = monb();
  d["images"]["fwconfig"] = "a.img";
  expect_refused(d, "reserved");

  d = monb();
  d["records"][0].erase("model");
  expect_refused(d, "missing field \"model\"");

  d = monb();
  d["records"][0]["new_model"] = "x";  // not a field of "monb"
  expect_refused(d, "unknown field \"new_model\"");

  d = monb();
  d["strategy"] = 1;
  expect_refused(d, "\"strategy\" must be \"monb\", \"monmb\", \"dedicidonb\" or \"dfmonmb\"");

  d = monb();
  d.erase("strategy");
  expect_refused(d, "\"strategy\" is missing");

  // The input must be a program: a Linux ELF file, or a Windows PE file ("MZ", and "PE\0\0" where
  // the DOS header's offset at 3Ch points).
  bytes pe = pattern(200, 5);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3c] = 0x80;
  pe[0x3d] = pe[0x3e] = pe[0x3f] = 0;
  for (const bytes &input : {bytes{'#', ' ', 'R', 'E', 'A', 'D', 'M', 'E', '\n'}, pe}) {
    write_file(dir_.file("carrier"), input);
    expect_refused(monb(), "carrier is not a program (neither a Windows PE nor a Linux ELF file)");
  }
  std::memcpy(pe.data() + 0x80, "PE\0\0", 4);
  write_file(dir_.file("carrier"), pe);
  ASSERT_EQ(0, pack(monb()).exit_code);
  fs::remove(dir_.file("out"));

  // An existing output stays as it was when packing fails.
  write_file(dir_.file("out"), {1, 2, 3});
  d = monb();
  d["strategy"] = 1;
  EXPECT_EQ(1, pack(d).exit_code);
  EXPECT_EQ((bytes{1, 2, 3}), read_file(dir_.file("out")));
}

// Refused while the description is parsed: a key given twice (the parser would keep the last) and
// nesting far beyond the format's 3 levels (a deep value would exhaust the stack when copied).
TEST_F(PackTool, RepeatedKeysAndDeepNestingAreRefused) {
  const std::string record =
      R"({"model": "CORVANE CVN-512", "old_firmware": "CV1A0100", "new_firmware": "CV1A0200",)"
      R"( "binary_name": "a")";
  const auto nested = [](size_t levels, char open, char close) {
    return std::string(levels, open) + std::string(levels, close);
  };
  const struct {
    std::string description;
    std::string message;
  } cases[] = {
      {R"({"strategy": "monb", "strategy": "dfmonmb", "records": [], "images": {}})",
       "bad description: \"strategy\" is given twice at the top level"},
      {R"({"strategy": "monb", "records": [)" + record + R"(, "model": "X"}], "images": {"a": "a.img"}})",
       "bad description: \"model\" is given twice in records[0]"},
      {R"({"strategy": "monb", "records": [], "images": {"a": "a.img", "a": "b.img"}})",
       "bad description: \"a\" is given twice in images"},
      {R"({"strategy": "monb", "records": )" + nested(90000, '[', ']') + R"(, "images": {}})",
       "bad description: \"records\" nests deeper than 8 levels"},
      {R"({"strategy": "monb", "records": [], "images": )" + nested(90000, '[', ']') + "}",
       "bad description: \"images\" nests deeper than 8 levels"},
      // At the bound: the description, "records" and six arrays; one more is refused.
      {R"({"strategy": "monb", "records": )" + nested(7, '[', ']') + R"(, "images": {}})",
       "bad description: record 0 is not an object"},
      {R"({"strategy": "monb", "records": )" + nested(8, '[', ']') + R"(, "images": {}})",
       "bad description: \"records\" nests deeper than 8 levels"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    expect_refused(c.description, c.message);
  }
}

// An input program that is not there is named as such, not taken for a fault of the description.
TEST_F(PackTool, AMissingInputProgramIsNamed) {
  const std::string missing = dir_.file("no-such-tool");
  const run_result r =
      run_pack(std::string(ORBU_SAMPLES_DIR) + "/monb-sample.json", missing, dir_.file("out"));
  EXPECT_EQ(1, r.exit_code);
  EXPECT_EQ("orbu_pack: cannot read the input program " + missing +
                ": No such file or directory; give the tool: build/native/orbu/orbu or "
                "build/windows/orbu/orbu.exe\n",
            r.output);
  EXPECT_FALSE(fs::exists(dir_.file("out")));
}

TEST_F(PackTool, NinetyNineImagesFit) {
  json d = monb();
  d["images"] = json::object();
  for (int i = 0; i < 99; i++) d["images"]["img" + std::to_string(i)] = "b.img";
  d["records"][0]["binary_name"] = "img42";
  const run_result r = pack(d);
  ASSERT_EQ(0, r.exit_code) << r.output;
  ASSERT_EQ(0, read_back());
  EXPECT_EQ(99u, config_.binary_count);
}

// Packages that the tool itself would refuse at start-up are not built.
TEST_F(PackTool, PackagesTheToolWouldRefuseAreNotBuilt) {
  json d = monb();
  d["records"].push_back({{"model", "CORVANE CVN-1T"},
                          {"old_firmware", "1"},
                          {"new_firmware", "2"},
                          {"binary_name", "missing"}});
  expect_refused(d, "record 1: image \"missing\" is not in \"images\"");

  write_file(dir_.file("empty.img"), {});
  d = monb();
  d["images"]["a"] = "empty.img";
  expect_refused(d, "record 0: image \"a\" is empty");

  // An image that no record names may be empty.
  d = monb();
  d["images"]["spare"] = "empty.img";
  ASSERT_EQ(0, pack(d).exit_code);
  fs::remove(dir_.file("out"));

  // An image of 4 GiB (a sparse file, never read) does not fit the 32-bit image size.
  fs::resize_file(dir_.file("b.img"), 4294967296ull);
  d = monb();
  expect_refused(d, "image \"b\" is larger than 4294967295 bytes");
  fs::remove(dir_.file("b.img"));
}

#endif  // ORBU_PACK_PATH

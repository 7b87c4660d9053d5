// The road a user takes for a new machine without writing code: a machine description, images
// from sim_image, a package from orbu_pack, a silent run of the packaged tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/package/package_writer.h"

#if defined(ORBU_EXE_PATH) && defined(ORBU_PACK_PATH) && defined(SIM_IMAGE_PATH)

using namespace pkgtest;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// An NVMe drive on the in-box NVMe driver and a SATA drive on the in-box AHCI driver.
const char kMachine[] = R"({
  "name": "two-new-drives",
  "storage": {
    "adapters": [{"id": "nvme", "personality": "inbox_nvme", "port": 0},
                 {"id": "ahci", "personality": "inbox_ahci", "port": 1}],
    "disks": [
      {"id": "n0", "adapter": "nvme", "physical_drive": 0,
       "nvme": {"model": "CORVANE CVN-2T", "serial": "N2T0001", "firmware": "NX000001",
                "activation": "commit"}},
      {"id": "s0", "adapter": "ahci", "physical_drive": 1,
       "ata": {"model": "CORVANE CVS-1T", "serial": "S1T0001", "firmware": "SX1"}}]
  }
})";

class ImageTool : public ::testing::Test {
 protected:
  run_result make_image(const std::string &args, const std::string &file) {
    return run_shell(std::string(SIM_IMAGE_PATH) + " " + args + " " + shell_quote(dir_.file(file)));
  }

  // Packs a "monb" package with these records and images, runs it silently on the machine and
  // reads the drive states back.
  int run(const json &records, const json &images) {
    const json description = {{"customer", "generic"}, {"strategy", "monb"},
                              {"internal_release", false}, {"silent", false},
                              {"records", records}, {"images", images}};
    std::ofstream(dir_.file("package.json")) << description.dump(2);
    std::ofstream(dir_.file("machine.json")) << kMachine;
    const run_result packed =
        run_shell(std::string(ORBU_PACK_PATH) + " " + shell_quote(dir_.file("package.json")) +
                  " " + shell_quote(ORBU_EXE_PATH) + " " + shell_quote(dir_.file("tool")));
    EXPECT_EQ(0, packed.exit_code) << packed.output;
    fs::permissions(dir_.file("tool"), fs::perms::owner_all);
    const run_result r = run_shell("cd " + shell_quote(dir_.path().string()) +
                                   " && ORBU_SIM_MACHINE=machine.json ORBU_SIM_STATE_OUT=state.json"
                                   " ORBU_SIM_TRACE_OUT= ORBU_SIM_UI_OUT= timeout 60 ./tool /s"
                                   " /log=run.log");
    std::ifstream log(dir_.file("run.log"));
    log_.assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    std::ifstream state(dir_.file("state.json"));
    const json states = json::parse(state, nullptr, false);
    if (states.is_object() && states.contains("drives"))
      for (const json &drive : states["drives"]) drives_[drive["id"].get<std::string>()] = drive;
    return r.exit_code;
  }

  temp_dir dir_;
  std::string log_;
  std::map<std::string, json> drives_;
};

TEST_F(ImageTool, ImagesForNewDrivesUpdateThem) {
  // A revision shorter than its field is blank padded, and the drive reports it trimmed.
  ASSERT_EQ(0, make_image("--target nvme --revision NX000002 --for-model 'CORVANE CVN-2T'",
                          "n.img").exit_code);
  ASSERT_EQ(0, make_image("--target ata --revision SX2 --for-model 'CORVANE CVS-1T'"
                          " --model 'CORVANE CVS-1T B' --size 3000",
                          "s.img").exit_code);
  EXPECT_EQ(3000u, fs::file_size(dir_.file("s.img")));
  const int code = run({{{"model", "CORVANE CVN-2T"}, {"old_firmware", "NX000001"},
                         {"new_firmware", "NX000002"}, {"binary_name", "n.img"}},
                        {{"model", "CORVANE CVS-1T"}, {"old_firmware", "SX1"},
                         {"new_firmware", "SX2"}, {"binary_name", "s.img"}}},
                       {{"n.img", "n.img"}, {"s.img", "s.img"}});
  EXPECT_EQ(0, code) << log_;
  EXPECT_EQ("NX000002", drives_["@n0"]["revision"]) << log_;
  EXPECT_EQ("SX2", drives_["@s0"]["revision"]) << log_;
  EXPECT_EQ("CORVANE CVS-1T B", drives_["@s0"]["model"]);
  EXPECT_EQ("CORVANE CVN-2T", drives_["@n0"]["model"]);
}

TEST_F(ImageTool, AnImageForAnotherModelIsRefusedByTheDrive) {
  ASSERT_EQ(0, make_image("--target nvme --revision NX000002 --for-model 'CORVANE CVN-4T'",
                          "n.img").exit_code);
  const int code = run({{{"model", "CORVANE CVN-2T"}, {"old_firmware", "NX000001"},
                         {"new_firmware", "NX000002"}, {"binary_name", "n.img"}}},
                       {{"n.img", "n.img"}});
  EXPECT_EQ(1, code) << log_;  // failures only
  EXPECT_EQ("NX000001", drives_["@n0"]["revision"]) << log_;
  EXPECT_TRUE(drives_["@n0"]["pending"].is_null()) << drives_["@n0"];
}

TEST_F(ImageTool, BadArgumentsWriteNothing) {
  const struct {
    const char *args;
    const char *message;
  } cases[] = {
      {"--target nvme --revision NX0000002", "--revision is longer than 8 characters"},
      {"--target sas --revision NX000002", "--target is ata, nvme or scsi"},
      {"--revision NX000002", "--target is required"},
      {"--target ata --revision ' '", "--revision is required"},
      {"--target ata --revision A --for-model 123456789012345678901", "longer than 20"},
      {"--target ata --revision A --size 127", "--size"},
      {"--target ata --revision A --size 12x", "--size"},
  };
  for (const auto &c : cases) {
    const run_result r = make_image(c.args, "x.img");
    EXPECT_EQ(1, r.exit_code) << c.args;
    EXPECT_NE(std::string::npos, r.output.find(c.message)) << c.args << ": " << r.output;
    EXPECT_FALSE(fs::exists(dir_.file("x.img"))) << c.args;
  }
}

TEST_F(ImageTool, HelpAndAnOutputThatCannotBeWritten) {
  const run_result help = run_shell(std::string(SIM_IMAGE_PATH) + " --help");
  EXPECT_EQ(0, help.exit_code);
  EXPECT_NE(std::string::npos, help.output.find("--seed N")) << help.output;

  const run_result no_folder = make_image("--target ata --revision A", "no-such-folder/x.img");
  EXPECT_EQ(1, no_folder.exit_code);
  EXPECT_NE(std::string::npos,
            no_folder.output.find("cannot write " + dir_.file("no-such-folder/x.img") +
                                  ": No such file or directory"))
      << no_folder.output;
  // A device that takes no byte: a large image fails its write, a small one (held in the stream's
  // buffer) only when the file is flushed and closed.
  if (!fs::exists("/dev/full")) return;
  for (const char *size : {"20000", "128"}) {
    const run_result full = run_shell(std::string(SIM_IMAGE_PATH) + " --size " + size +
                                      " --target ata --revision A /dev/full");
    EXPECT_EQ(1, full.exit_code) << size;
    EXPECT_NE(std::string::npos, full.output.find("cannot write /dev/full: No space left on device"))
        << full.output;
  }
}

}  // namespace

#endif

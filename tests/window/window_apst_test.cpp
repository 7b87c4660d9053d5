// APST around the updates of a Duzori run on the reference machine: the NVMe RAID members behind
// Intel RST have APST off during the run and get back exactly what was stored; a member whose
// settings could not be stored, and RAID members behind other drivers, are left alone.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/drives/nvme_controller.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "tests/orbu/run_harness.h"

namespace {

using orbu_test::find_in_order;

TEST(WindowApst, DuzoriStoresDisablesAndRestoresOnlyWhatWasStored) {
  orbu_test::RunSpec spec;
  spec.command_line = "/s";  // command-line mode: the Duzori variant; no device is the target
  spec.knobs = [](sim::AppKnobs &) {
    std::ifstream file(MACHINES_DIR "/ref1.json");
    std::stringstream text;
    text << file.rdbuf();
    nlohmann::json machine = nlohmann::json::parse(text.str());
    for (auto &drive : machine["storage"]["drives"])
      if (drive["id"] == "N2") drive["nvme"]["apste"] = true;
    // The first Get Features (N1's store) fails.
    machine["faults"].push_back({{"nvme_opcode", "0x0a"}, {"count", {{"nth", 1}}},
                                 {"action", {{"name", "nvme_status"}, {"value", "0x2"}}}});
    sim::load_machine_json(machine.dump());
  };
  spec.after = [](orbu_test::Observations &seen) {
    seen["n1_apste"] = sim::storage_drive("N1").nvme->apste() ? "1" : "0";
    seen["n2_apste"] = sim::storage_drive("N2").nvme->apste() ? "1" : "0";
  };
  orbu_test::RunResult r = orbu_test::run_program(spec);
  EXPECT_EQ(r.failure, "");
  EXPECT_EQ(r.seen["n1_apste"], "0");
  EXPECT_EQ(r.seen["n2_apste"], "1");
  const std::string n1 = "on device SN0010 (SIM NVME N1).", n2 = "on device SN0011 (SIM NVME N2).";
  EXPECT_EQ(find_in_order(r.log(), {"Storing and disabling APST configuration " + n1,
                                    "Failed to store device APST.",
                                    "Storing and disabling APST configuration " + n2,
                                    "Stored APST Configuration", "APSTE: 1h",
                                    "Power Level Configuration", "Disabled APST Configuration",
                                    "APSTE: 0h", "Resetting device APST configuration " + n2,
                                    "Restored APST Configuration", "APSTE: 1h",
                                    "Enabling Exit button"}),
            "")
      << r.log();
  EXPECT_EQ(r.log().find("Resetting device APST configuration " + n1), std::string::npos);
}

// REF-1 with APST tables on the two RAID members behind Intel RST (N1 with APST off), on the in-box
// drive B, which is not behind Intel RST, and on NVMe RAID members behind other drivers: PD5, a
// physical disk of the Marvell NevoX controller, and R3, a member of an Intel RSTe volume (both
// with APST on).
nlohmann::json apst_machine() {
  std::ifstream file(MACHINES_DIR "/ref1.json");
  nlohmann::json machine = nlohmann::json::parse(file);
  for (auto &drive : machine["storage"]["drives"]) {
    if (drive["id"] == "N1") drive["nvme"]["apst_table"] = {"0x0000000000011A18", "0x0000000000022B20"};
    if (drive["id"] == "N2") {
      drive["nvme"]["apste"] = true;
      drive["nvme"]["apst_table"] = {"0x0000000000033C28", "0", "0x0000000000044D30"};
    }
    if (drive["id"] == "B") drive["nvme"]["apst_table"] = {"0x0000000000055E38"};
    if (drive["id"] == "PD5" || drive["id"] == "R3") {
      drive["nvme"]["apste"] = true;
      drive["nvme"]["apst_table"] = {"0x0000000000066F40"};
    }
  }
  return machine;
}

// "APSTE table-prefix saves Set-Features" of a drive after the run.
std::string apst_of(const char *id) {
  const auto drive = sim::storage_drive(id).nvme;
  const std::array<uint8_t, 256> table = drive->apst_table();
  char text[64];
  std::snprintf(text, sizeof text, "%d %02x%02x%02x%02x %u %u", drive->apste() ? 1 : 0, table[0],
                table[1], table[8], table[16], drive->apst_save_requests(), drive->command_count(0x09));
  return text;
}

TEST(WindowApst, RestoreGivesBackExactlyWhatWasStoredAndTouchesNothingElse) {
  orbu_test::RunSpec spec;
  spec.command_line = "/s";
  spec.knobs = [](sim::AppKnobs &) { sim::load_machine_json(apst_machine().dump()); };
  spec.after = [](orbu_test::Observations &seen) {
    for (const char *id : {"N1", "N2", "B", "PD5", "R3"}) seen[id] = apst_of(id);
  };
  orbu_test::RunResult r = orbu_test::run_program(spec);
  EXPECT_EQ(r.failure, "");
  // Each member's own table and APSTE back, without a save; two Set Features each (off, back).
  EXPECT_EQ(r.seen["N1"], "0 181a2000 0 2");
  EXPECT_EQ(r.seen["N2"], "1 283c0030 0 2");
  EXPECT_EQ(r.seen["B"], "0 385e0000 0 0");
  // RAID members behind other drivers are left alone: not a single Set Features, not a line.
  EXPECT_EQ(r.seen["PD5"], "1 406f0000 0 0");
  EXPECT_EQ(r.seen["R3"], "1 406f0000 0 0");
  for (const char *member : {"SP0005 (SIM NVME PD5)", "S30017 (SIM NVME R3)"})
    EXPECT_EQ(r.log().find(std::string("APST configuration on device ") + member), std::string::npos)
        << r.log();
  for (const char *failure : {"Failed to store", "Failed to disable", "Failed to reset", "Failed to pull"})
    EXPECT_EQ(r.log().find(failure), std::string::npos) << r.log();
}

}  // namespace

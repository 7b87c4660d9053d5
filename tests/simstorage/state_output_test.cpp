// The machine-state output: every drive with its identity, running revision, slots, pending image
// and the activations, bus resets and power cycles it saw, read back as JSON after an update.
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "simstorage_support.h"

namespace simstorage {
namespace {

using json = nlohmann::json;

const char *kMachine = R"({
  "os": { "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" },
  "storage": {
    "drives": [ { "id": "B", "nvme": { "model": "CORVANE CVN-1T", "serial": "SHAREDB0001", "firmware": "CVB1.000",
                                       "slots": 3 } } ],
    "adapters": [ { "id": "nvme", "personality": "inbox_nvme", "port": 0 },
                  { "id": "ahci", "personality": "inbox_ahci", "port": 1 } ],
    "disks": [ { "id": "b0", "adapter": "nvme", "physical_drive": 0, "drive": "B" },
               { "id": "sata", "adapter": "ahci", "physical_drive": 1, "firmware_slots": 2,
                 "ata": { "model": "CORVANE CVS-256", "serial": "CVS256SER0001", "firmware": "CVS1.000" } } ]
  }
})";

json read_json(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return json::parse(s.str());
}

class StateOutput : public StackTest {
 protected:
  void SetUp() override { load(kMachine); }
};

TEST_F(StateOutput, DrivesAfterDownloadAndActivation) {
  HANDLE disk = open("\\\\.\\PhysicalDrive0");
  firmware_update(disk, sim::make_test_image(sim::ImageTarget::Nvme, "CVB2.000", 20000), 2);
  json pending = json::parse(sim::storage_state_json())["drives"][0];
  EXPECT_EQ("CVB1.000", pending["revision"]);
  EXPECT_EQ(json({{"slot", 2}, {"revision", "CVB2.000"}}), pending["pending"]);
  EXPECT_EQ(0, pending["activations"]);

  ASSERT_TRUE(reset_bus(open("\\\\.\\Scsi0:")));
  const std::string path = ::testing::TempDir() + "simstorage_state.json";
  ASSERT_TRUE(sim::write_storage_state(path));
  const json state = read_json(path);
  std::remove(path.c_str());
  ASSERT_EQ(2u, state["drives"].size());
  const json &b = state["drives"][0];
  EXPECT_EQ("B", b["id"]);
  EXPECT_FALSE(b["anonymous"].get<bool>());
  EXPECT_EQ("nvme", b["kind"]);
  EXPECT_EQ("CORVANE CVN-1T", b["model"]);
  EXPECT_EQ("SHAREDB0001", b["serial"]);
  EXPECT_EQ("CVB2.000", b["revision"]);
  EXPECT_EQ(2, b["active_slot"]);
  EXPECT_EQ(json::parse(R"([{"slot": 1, "revision": "CVB1.000"}, {"slot": 2, "revision": "CVB2.000"},
                            {"slot": 3, "revision": ""}])"),
            b["slots"]);
  EXPECT_TRUE(b["pending"].is_null());
  EXPECT_EQ(0, b["staged_bytes"]);
  EXPECT_EQ(1, b["activations"]);
  EXPECT_EQ(1, b["bus_resets"]);
  EXPECT_EQ(0, b["power_cycles"]);
  EXPECT_EQ(json::array({"b0"}), b["units"]);

  const json &a = state["drives"][1];
  EXPECT_EQ("@sata", a["id"]);
  EXPECT_TRUE(a["anonymous"].get<bool>());
  EXPECT_EQ("ata", a["kind"]);
  EXPECT_EQ("CVS1.000", a["revision"]);
  EXPECT_EQ(2u, a["slots"].size());
  EXPECT_EQ(0, a["bus_resets"]) << "the reset of port 0 does not reach port 1";
}

TEST(StateOutputDeathTest, WrittenAtExitToTheNamedFile) {
  const std::string path = ::testing::TempDir() + "simstorage_exit_state.json";
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        setenv("ORBU_SIM_STATE_OUT", path.c_str(), 1);
        sim::load_machine_json(kMachine);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const json state = read_json(path);
  std::remove(path.c_str());
  ASSERT_EQ(2u, state["drives"].size());
  EXPECT_EQ("CVB1.000", state["drives"][0]["revision"]);
}

}  // namespace
}  // namespace simstorage

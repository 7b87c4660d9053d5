// Machine descriptions: the shipped files, knobs, sections of later parts, and bad input.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel_fixture.h"
#include "sim/storage.h"

namespace {

using Machine = KernelTest;

std::string machine_path(const std::string &name) { return std::string(MACHINES_DIR) + "/" + name; }

// The message of the runtime_error `fn` throws ("" when it throws none).
template <class F>
std::string error_of(F fn) {
  try {
    fn();
  } catch (const std::runtime_error &e) {
    return e.what();
  }
  return "";
}

TEST_F(Machine, DefaultIsAWindows10WorkstationWithoutWinPe) {
  const sim::OsInfo &os = sim::machine_os();
  EXPECT_EQ(os.major, 10u);
  EXPECT_EQ(os.minor, 0u);
  EXPECT_EQ(os.product_type, VER_NT_WORKSTATION);
  EXPECT_FALSE(os.winpe);
  EXPECT_FALSE(sim::registry_key_exists(sim::kWinPeKeyPath));
  EXPECT_EQ(sim::machine_name(), "default");

  sim::load_machine_file(machine_path("default.json"));
  EXPECT_EQ(sim::machine_os().major, 10u);
  EXPECT_EQ(sim::machine_os().build, 19045u);
}

TEST_F(Machine, ShippedDescriptionsLoad) {
  DIR *dir = opendir(MACHINES_DIR);
  ASSERT_NE(dir, nullptr);
  int loaded = 0;
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    EXPECT_EQ(error_of([&] { sim::load_machine_file(machine_path(name)); }), "") << name;
    ++loaded;
  }
  closedir(dir);
  EXPECT_GE(loaded, 3);

  sim::load_machine_file(machine_path("win81.json"));
  EXPECT_EQ(sim::machine_os().major, 6u);
  EXPECT_EQ(sim::machine_os().minor, 3u);
  sim::load_machine_file(machine_path("winpe.json"));
  EXPECT_TRUE(sim::machine_os().winpe);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE", 0,
                          KEY_READ, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  sim::load_machine_file(sim::machine_file_path("server2016"));
  EXPECT_EQ(sim::machine_os().product_type, VER_NT_SERVER);
}

TEST_F(Machine, KnobsComeFromTheDescriptionAndResetClearsThem) {
  sim::load_machine_json(R"({
    "app": { "module_path": "C:\\x\\tool.exe", "module_path_truncated": true,
             "fail_mutex_create_at": 2, "fail_thread_create_at": 3, "fail_mutex_wait_at": 4,
             "fail_mutex_wait_from": 5, "abandon_mutex_wait_at": 6, "fail_register_class": true,
             "fail_create_window": true, "no_show_window_message": true,
             "fixed_calendar_time": 5 }
  })");
  const sim::AppKnobs &k = sim::app_knobs();
  EXPECT_EQ(k.module_path, "C:\\x\\tool.exe");
  EXPECT_TRUE(k.module_path_truncated);
  EXPECT_EQ(k.fail_mutex_create_at, 2);
  EXPECT_EQ(k.fail_thread_create_at, 3);
  EXPECT_EQ(k.fail_mutex_wait_at, 4);
  EXPECT_EQ(k.fail_mutex_wait_from, 5);
  EXPECT_EQ(k.abandon_mutex_wait_at, 6);
  EXPECT_TRUE(k.fail_register_class);
  EXPECT_TRUE(k.fail_create_window);
  EXPECT_TRUE(k.no_show_window_message);
  EXPECT_EQ(k.fixed_calendar_time, 5);

  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  CloseHandle(m);
  EXPECT_EQ(sim::app_counters().mutex_creates, 1);
  sim::reset_machine();
  EXPECT_EQ(sim::app_knobs().module_path, "");
  EXPECT_EQ(sim::app_knobs().fail_mutex_create_at, 0);
  EXPECT_EQ(sim::app_knobs().fixed_calendar_time, -1);
  EXPECT_EQ(sim::app_counters().mutex_creates, 0) << "the n-th call counts from the reset";
}

TEST_F(Machine, MalformedDescriptionsAreRejectedWithTheReason) {
  struct Bad {
    const char *json;
    const char *reason;
  } cases[] = {
      {"{ \"os\": { \"major\": 10, }", "invalid JSON"},
      {"[1, 2]", "must be a JSON object"},
      {"{ \"os\": { \"majr\": 10 } }", "unknown field \"majr\""},
      {"{ \"os\": { \"major\": \"ten\" } }", "os.major"},
      {"{ \"os\": { \"major\": -1 } }", "os.major"},
      {"{ \"os\": { \"product_type\": \"desktop\" } }", "os.product_type"},
      {"{ \"os\": { \"winpe\": 1 } }", "os.winpe"},
      {"{ \"time_scale\": 0.01 }", "time_scale: unknown section"},
      {"{ \"app\": { \"fail_mutex_create_at\": 1.5 } }", "app.fail_mutex_create_at"},
      {"{ \"registry\": {} }", "registry"},
      {"{ \"registry\": [ { \"key\": \"HKXX\\\\A\" } ] }", "predefined key"},
      {"{ \"registry\": [ { \"values\": [] } ] }", "missing \"key\""},
      {"{ \"registry\": [ { \"key\": \"HKLM\\\\A\", \"values\": [ { \"name\": \"B\", \"type\": \"REG_BINARY\", "
       "\"data\": \"0g\" } ] } ] }",
       "registry[0].values[0].data"},
      {"{ \"registry\": [ { \"key\": \"HKLM\\\\A\", \"values\": [ { \"name\": \"D\", \"type\": \"REG_DWORD\", "
       "\"data\": 4294967296 } ] } ] }",
       "out of range"},
      {"{ \"registry\": [ { \"key\": \"HKLM\\\\A\", \"values\": [ { \"name\": \"T\", \"type\": \"REG_TEXT\" } ] } ] }",
       "unknown value type"},
  };
  for (const Bad &b : cases) {
    std::string err = error_of([&] { sim::load_machine_json(b.json); });
    EXPECT_NE(err.find(b.reason), std::string::npos) << b.json << " -> " << err;
    // A failed load leaves the default machine.
    EXPECT_EQ(sim::machine_name(), "default");
    EXPECT_FALSE(sim::registry_key_exists("HKLM\\A"));
  }
}

TEST_F(Machine, FileErrorsNameTheFile) {
  std::string missing = error_of([] { sim::load_machine_file("/nonexistent/dir/m.json"); });
  EXPECT_NE(missing.find("/nonexistent/dir/m.json"), std::string::npos) << missing;
  EXPECT_NE(missing.find("cannot open"), std::string::npos) << missing;
  // A relative name is read from the current folder, and the message says which file that was.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  std::string relative = error_of([] { sim::load_machine_file("no-such-dir/m.json"); });
  EXPECT_NE(relative.find(std::string(cwd) + "/no-such-dir/m.json"), std::string::npos)
      << relative;

  char path[] = "/tmp/kernel_machine_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "{ \"name\": \"broken\", ";
  std::string err = error_of([&] { sim::load_machine_file(path); });
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_NE(err.find("invalid JSON"), std::string::npos) << err;
  std::remove(path);
}

TEST_F(Machine, ADirectoryIsNotReadAsADescription) {
  char dir[] = "/tmp/kernel_machine_dir_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string err = error_of([&] { sim::load_machine_file(dir); });
  rmdir(dir);
  EXPECT_NE(err.find(std::string(dir) + ": is a directory"), std::string::npos) << err;
  EXPECT_EQ(err.find("invalid JSON"), std::string::npos) << err;
}

// A machine with one drive of the "drives" table, reached by one disk of a `personality` adapter.
std::string one_drive_machine(const std::string &drive, const std::string &personality = "inbox_nvme") {
  return R"({"storage": {"drives": [{"id": "D", )" + drive + R"(}], "adapters": [{"id": "a", "personality": ")" +
         personality + R"("}], "disks": [{"adapter": "a", "drive": "D"}]}})";
}

TEST_F(Machine, DriveTextsLongerThanTheirFieldAreRefusedNotCut) {
  // A value that fills its field is kept whole.
  sim::load_machine_json(one_drive_machine(R"("nvme": {"firmware": "CVB1.000", "serial": "S2345678901234567890"})"));
  const nlohmann::json state = nlohmann::json::parse(sim::storage_state_json());
  EXPECT_EQ(state["drives"][0]["revision"], "CVB1.000");
  EXPECT_EQ(state["drives"][0]["serial"], "S2345678901234567890");
  // Every text field of a drive model ("@" stands for the value): at its width it loads, one more
  // character is refused with the field's place, the value's length and the width.
  const struct {
    const char *drive;
    const char *place;
    size_t width;
  } fields[] = {
      {R"("nvme": {"model": "@"})", "nvme.model", 40},
      {R"("nvme": {"serial": "@"})", "nvme.serial", 20},
      {R"("nvme": {"firmware": "@"})", "nvme.firmware", 8},
      {R"("nvme": {"slot_revisions": ["CVB1.000", "@"]})", "nvme.slot_revisions[1]", 8},
      {R"("nvme": {"component_id": "@"})", "nvme.component_id", 8},
      {R"("ata": {"model": "@"})", "ata.model", 40},
      {R"("ata": {"serial": "@"})", "ata.serial", 20},
      {R"("ata": {"firmware": "@"})", "ata.firmware", 8},
      {R"("ata": {"component_id": "@"})", "ata.component_id", 8},
      {R"("ata": {"vu": {"ctl": "@"}})", "ata.vu.ctl", 8},
      {R"("ata": {"vu": {"srv": "@"}})", "ata.vu.srv", 8},
      {R"("ata": {"vu": {"ovl": "@"}})", "ata.vu.ovl", 8},
      {R"("scsi": {"vendor": "@"})", "scsi.vendor", 8},
      {R"("scsi": {"product": "@"})", "scsi.product", 16},
      {R"("scsi": {"revision": "@"})", "scsi.revision", 4},
      {R"("scsi": {"serial": "@"})", "scsi.serial", 243},
      {R"("scsi": {"vu": {"ctl": "@"}})", "scsi.vu.ctl", 8},
  };
  auto with_value = [](std::string drive, const std::string &value) {
    return one_drive_machine(drive.replace(drive.find('@'), 1, value));
  };
  for (const auto &f : fields) {
    std::string value(f.width, 'W');
    EXPECT_EQ(error_of([&] { sim::load_machine_json(with_value(f.drive, value)); }), "") << f.place;
    value += 'X';
    EXPECT_EQ(error_of([&] { sim::load_machine_json(with_value(f.drive, value)); }),
              "machine description: storage.drives[0]." + std::string(f.place) + ": \"" + value + "\" is " +
                  std::to_string(f.width + 1) + " characters long, at most " + std::to_string(f.width));
  }
}

// Numbers a drive could not report are refused, not bent into ones it can, and the refusal names
// the field.
TEST_F(Machine, DriveNumbersOutsideTheirRangeAreRefusedWithTheirField) {
  sim::load_machine_json(one_drive_machine(R"("nvme": {"slots": 3, "active_slot": 3, "slot_revisions": ["A", "B", ""]})"));
  const nlohmann::json state = nlohmann::json::parse(sim::storage_state_json());
  EXPECT_EQ(state["drives"][0]["active_slot"], 3);
  auto refusal = [](const std::string &drive) {
    return error_of([&] { sim::load_machine_json(one_drive_machine(drive)); });
  };
  const std::string head = "machine description: storage.drives[0].nvme.";
  EXPECT_EQ(refusal(R"("nvme": {"slots": 0})"), head + "slots: expected 1 to 7 firmware slots, not 0");
  EXPECT_EQ(refusal(R"("nvme": {"slots": 2, "active_slot": 3})"),
            head + "active_slot: expected a slot from 1 to 2 (\"slots\"), not 3");
  EXPECT_EQ(refusal(R"("nvme": {"active_slot": 0})"), head + "active_slot: expected a slot from 1 to 2 (\"slots\"), not 0");
  EXPECT_EQ(refusal(R"("nvme": {"slots": 1, "slot_revisions": ["A", "B"]})"),
            head + "slot_revisions: expected an array of at most 1 strings, one per slot (\"slots\")");
  EXPECT_EQ(refusal(R"("ata": {"word234": 65536})"),
            "machine description: storage.drives[0].ata.word234: value 65536 is out of range (at most 65535)");
}

TEST_F(Machine, AnUnknownPersonalityListsTheNamesThatLoad) {
  const std::string err = error_of([] { sim::load_machine_json(one_drive_machine(R"("nvme": {})", "inbox_sata")); });
  const std::string head = "storage.adapters[0].personality: unknown personality \"inbox_sata\", expected one of ";
  const size_t at = err.find(head);
  ASSERT_NE(at, std::string::npos) << err;
  // Every name the message offers loads, and it offers them all.
  std::vector<std::string> names;
  std::istringstream list(err.substr(at + head.size()));
  std::string piece;
  for (int i = 0; std::getline(list, piece, '"'); ++i)
    if (i % 2 == 1) names.push_back(piece);
  EXPECT_EQ(names.size(), 12u) << err;
  for (const std::string &name : names)
    EXPECT_EQ(error_of([&] { sim::load_machine_json(one_drive_machine(R"("scsi": {})", name)); }), "") << name;
}

TEST_F(Machine, LaterSectionsGoToTheirLoaders) {
  int loads = 0, resets = 0;
  nlohmann::json seen;
  sim::register_machine_section(
      "drives",
      [&](const nlohmann::json &j) {
        ++loads;
        seen = j;
        if (!j.is_array()) throw std::runtime_error("drives: expected an array");
      },
      [&] { ++resets; });
  sim::load_machine_json(R"({ "name": "with-drives", "drives": [ { "model": "X" } ] })");
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(seen[0]["model"], "X");
  EXPECT_EQ(sim::machine_name(), "with-drives");
  std::string err = error_of([] { sim::load_machine_json(R"({ "drives": {} })"); });
  EXPECT_NE(err.find("drives: expected an array"), std::string::npos) << err;
  EXPECT_GE(resets, 2);
  sim::register_machine_section("drives", nullptr, nullptr);
}

}  // namespace

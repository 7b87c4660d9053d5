// Every firmware road whose success the product reads from the driver's answer, with the drive (or
// bridge) refusing the download, or the activation alone, and the road's answers cut short by a
// driver that still reports success. What was not handed back is what was sent: a zero ReturnCode,
// a GOOD status, a zeroed completion or status FIS. Each such answer fails its request, so the drive
// ends failed with nothing pending and the run with the failure code, in packaged and command-line
// runs alike; none reads as a download that a reboot would finish.
#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "engine_case.h"
#include "run_harness.h"
#include "sim/machine.h"
#include "tests/support/test_machine.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kFailed = 6;
constexpr int kFailureExit = 1;  // silent generic run and command line alike: failed, none updated
constexpr uint32_t kInvalidData = 13;

enum class Kind { Nvme, Ata, Scsi };

struct Road {
  const char *name;
  const char *machine;  // "ref1", "sas_ata" (built below) or a file of tests/machines
  const char *drive;    // id for drive rules
  const char *state;    // id in the state output
  const char *model, *from, *serial;
  Kind kind;
  const char *target;  // the command line's target (null: no command line names the record)
  std::vector<nlohmann::json> cut;  // rules matching the road's firmware requests
  uint32_t short_of_status;         // BytesReturned that stops just before the status read back
  const char *message;              // the failed request's message
};

nlohmann::json load(const Road &road) {
  if (std::string(road.machine) == "ref1") {
    std::ifstream file(sim::machine_file_path("ref1"));
    return nlohmann::json::parse(file);
  }
  if (std::string(road.machine) == "sas_ata") {
    return nlohmann::json::parse(machine("win10", {R"({"id": "sas", "personality": "sas", "port": 0})"},
                                         {ata_disk("sata0", "sas", 0, "CORVANE CVS-256", "CS100001")}));
  }
  return testsupport::test_machine(road.machine);
}

// The drive refuses every download command, or the activation alone: for an ATA drive both the
// activation of the deferred image and the download that activates at once, which the update falls
// back to.
std::vector<nlohmann::json> refusal(const Road &road, bool activation) {
  nlohmann::json rule = {{"drive", road.drive}};
  switch (road.kind) {
    case Kind::Nvme:
      rule["nvme_opcode"] = activation ? "0x10" : "0x11";
      rule["action"] = {{"status", activation ? "0x107" : "0x002"}};
      return {rule};
    case Kind::Ata: {
      rule["ata_command"] = "0x92";
      rule["action"] = {{"status", "0x51"}, {"error", 4}};
      if (!activation) return {rule};
      nlohmann::json immediate = rule;
      rule["feature"] = 15;
      immediate["feature"] = 3;
      return {rule, immediate};
    }
    case Kind::Scsi:
      rule["cdb0"] = "0x3b";
      if (activation) rule["byte1"] = 15;
      rule["action"] = {{"status", 2}, {"sense_key", 5}, {"asc", "0x24"}, {"ascq", 0}};
      return {rule};
  }
  return {};
}

ImageTarget image_kind(Kind kind) {
  return kind == Kind::Nvme ? ImageTarget::Nvme : kind == Kind::Ata ? ImageTarget::Ata : ImageTarget::Scsi;
}

Outcome cut_run(const Road &road, bool activation, bool packaged, uint32_t returned) {
  nlohmann::json m = load(road);
  for (const nlohmann::json &rule : refusal(road, activation)) m["faults"].push_back(rule);
  for (nlohmann::json rule : road.cut) {
    rule["action"] = {{"name", "short_return"}, {"value", returned}};
    m["faults"].push_back(rule);
  }
  const bytes fw = image(image_kind(road.kind), "SIM10002");
  if (packaged) {
    return run({m.dump(),
                pkgtest::fwconfig(1, 1, pkgtest::monb_record(road.model, road.from, "SIM10002", "fw.img")),
                {{"fw.img", fw}}, "/s"});
  }
  return run({m.dump(), {}, {{"fw.img", fw}}, std::string("/s /FIA ") + road.target + " /D:{dir}/fw.img"});
}

void expect_failed(const Road &road, const Outcome &out, bool packaged, bool activation) {
  ASSERT_EQ(out.failure, "") << out.log;
  // The packaged run names a drive "SN: serial - MN: ...", the command line "serial (model)".
  EXPECT_EQ(out.state_of(packaged ? std::string("SN: ") + road.serial : std::string(road.serial)), kFailed)
      << out.log;
  EXPECT_EQ(out.summary.substr(0, 6), "0/0/1/") << out.log;
  EXPECT_EQ(out.exit_code, kFailureExit) << out.log;
  // Only the update threads complete; no command does.
  for (const std::string &line : orbu_test::lines_of(out.log)) {
    if (line.rfind("Device update ", 0) == 0) continue;
    EXPECT_EQ(line.find("completed"), std::string::npos) << line;
  }
  EXPECT_NE(out.log.find("error subcode: " + std::to_string(kInvalidData) + "\nmessage: " + road.message),
            std::string::npos)
      << out.log;
  const nlohmann::json &drive = out.drive(road.state);
  EXPECT_EQ(drive["revision"], road.from);
  EXPECT_TRUE(drive["pending"].is_null()) << drive.dump();
  if (!activation && drive.contains("staged_bytes")) {
    EXPECT_EQ(drive["staged_bytes"], 0) << drive.dump();
  }
}

std::vector<nlohmann::json> firmware_requests() {
  return {{{"request", "firmware_download"}}, {{"request", "firmware_activate"}}};
}
std::vector<nlohmann::json> nvme_pass_through() {
  return {{{"request", "pass_through"}, {"nvme_opcode", "0x11"}},
          {{"request", "pass_through"}, {"nvme_opcode", "0x10"}}};
}

// Where the answer must reach for the refusal to show: ReturnCode of the miniport requests at byte
// 20 (the maker's driver reports a refused command there too); the completion's status in bytes
// 130-131 of the RSTe pass-through, whose ReturnCode is not read; STATUS of the CSMI status FIS at
// 78; ScsiStatus at 2.
const Road kRoads[] = {
    {"FirmwareMiniportInBoxNvme", "ref1", "B", "B", "SIM NVME B", "SIM10001", "SB0002", Kind::Nvme,
     "/T:\\\\.\\PhysicalDrive1", firmware_requests(), 20,
     "error executing scsi miniport protocol DeviceIoControl"},
    {"FirmwareMiniportNevox", "ref1", "X", "X", "SIM NEVOX VD", "SIM10001", "SNX000", Kind::Nvme,
     "/T:\\\\.\\PhysicalDrive3", firmware_requests(), 20,
     "error executing scsi miniport protocol DeviceIoControl"},
    {"IntelFwAta", "ref1", "D", "D", "SIM SATA D", "SIM10001", "SD0004", Kind::Ata, "/T:\\\\.\\PhysicalDrive4",
     firmware_requests(), 20, "error executing IOCTL_SCSI_MINIPORT"},
    {"IntelFwNvme", "ref1", "E", "E", "SIM NVME E", "SIM10001", "SE0005", Kind::Nvme, "/T:\\\\.\\PhysicalDrive7",
     firmware_requests(), 20, "error executing firmware download DeviceIoControl"},
    {"NvmeMiniMakerDriver", "ref1", "C", "C", "SIM NVME C", "SIM10001", "SC0003", Kind::Nvme,
     "/T:\\\\.\\PhysicalDrive2", nvme_pass_through(), 20, "error executing scsi miniport DeviceIoControl"},
    {"NvmeRaidRste", "ref1", "R6", "R6", "SIM NVME R6", "SIM10001", "S60019", Kind::Nvme, nullptr,
     nvme_pass_through(), 130, "error executing rste passthrough DeviceIoControl"},
    {"CsmiStpIntelRst", "ref1", "M1", "M1", "SIM SATA M1", "SIM10001", "SM0007", Kind::Ata, "/C:5,500102aa00000002",
     {{{"request", "stp_pass_through"}, {"ata_command", "0x92"}}}, 78,
     "error executing stp passthru DeviceIoControl"},
    {"CsmiStpSas", "csmi_port_only", "S1", "S1", "SIM SATA S1", "SIM10001", "SS1021", Kind::Ata,
     "/C:0,500a0b0100000000", {{{"request", "stp_pass_through"}, {"ata_command", "0x92"}}}, 78,
     "error executing stp passthru DeviceIoControl"},
    {"ScsiPassThroughAtaUsb", "ref1", "F", "F", "SIM SATA F", "SIM10001", "SF0014", Kind::Ata,
     "/T:\\\\.\\PhysicalDrive9", {{{"request", "sat_command"}, {"ata_command", "0x92"}}}, 2,
     "error executing scsi ex DeviceIoControl"},
    {"ScsiPassThroughAtaSas", "sas_ata", "sata0", "@sata0", "CORVANE CVS-256", "CS100001", "SN-sata0", Kind::Ata,
     "/T:\\\\.\\PhysicalDrive0", {{{"request", "sat_command"}, {"ata_command", "0x92"}}}, 2,
     "error executing scsi ex DeviceIoControl"},
    {"ScsiPassThroughWriteBufferUsb", "four_routes", "scsi0", "@scsi0", "CVX-SAS 1T", "X100", "CVXSER0001", Kind::Scsi,
     "/T:\\\\.\\PhysicalDrive3", {{{"request", "scsi_pass_through"}, {"cdb0", "0x3b"}}}, 2,
     "error executing scsi ex DeviceIoControl"},
    {"ScsiPassThroughWriteBufferSas", "ref1", "S2", "S2", "SIM SAS S2", "0001", "SS2022", Kind::Scsi,
     "/T:\\\\.\\PhysicalDrive14", {{{"request", "scsi_pass_through"}, {"cdb0", "0x3b"}}}, 2,
     "error executing scsi ex DeviceIoControl"},
};

struct Row {
  const Road *road;
  bool activation;  // the drive refuses the activation alone (else every download command)
};

std::string row_name(const Row &row) {
  return std::string(row.road->name) + (row.activation ? "ActivationRefused" : "DownloadRefused");
}
void PrintTo(const Row &row, std::ostream *os) { *os << row_name(row); }

class ShortAnswer : public ::testing::TestWithParam<Row> {};

// Each row runs packaged and from the command line, one with nothing handed back and the other
// with an answer that stops just before the status; the two rows of a road swap the lengths.
TEST_P(ShortAnswer, RefusedFirmwareEndsFailed) {
  const Road &road = *GetParam().road;
  const bool activation = GetParam().activation;
  const uint32_t packaged_length = activation ? road.short_of_status : 0;
  const uint32_t command_line_length = activation ? 0 : road.short_of_status;
  {
    SCOPED_TRACE("packaged");
    expect_failed(road, cut_run(road, activation, true, packaged_length), true, activation);
  }
  // The pass-through record behind Intel RSTe shares its port's path with the other RSTe records:
  // no command-line target names it alone.
  if (road.target) {
    SCOPED_TRACE("command line");
    expect_failed(road, cut_run(road, activation, false, command_line_length), false, activation);
  }
}

std::vector<Row> rows() {
  std::vector<Row> out;
  for (const Road &road : kRoads) {
    out.push_back({&road, false});
    out.push_back({&road, true});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Roads, ShortAnswer, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return row_name(info.param); });

}  // namespace

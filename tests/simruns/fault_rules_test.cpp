// Fault rules written in a machine description reach the calls they name: opens, requests by
// control code, front-end rules by signature / NVMe opcode / CDB / ATA command, drive rules,
// registry reads, and the generic keys other parts of the stand-in ask with.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/drives/ata_drive.h"
#include "sim/run_outputs.h"
#include "tests/package/package_writer.h"
#include "tests/simdrivers/storage_fixture.h"

using namespace simtest;
using json = nlohmann::json;

namespace {

class FaultSection : public StorageTest {
 protected:
  // The storage machine of the fixture with these rules (and registry keys).
  void load(const json &faults, const json &registry = json::array()) {
    json m = storage_machine();
    m["faults"] = faults;
    m["registry"] = registry;
    pkgtest::temp_dir dir;
    const std::string text = m.dump(2);
    pkgtest::write_file(dir.file("machine.json"), pkgtest::bytes(text.begin(), text.end()));
    sim::load_machine_file(dir.file("machine.json"));
  }
  HANDLE try_open(const char *path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
};

Answer device_number(HANDLE h) {
  Buf out(12);
  Buf in;
  return inout2(h, kGetDeviceNumber, in, out);
}

TEST_F(FaultSection, OpensAndRequestsByControlCode) {
  load({{{"fail_open", "\\\\.\\PHYSICALDRIVE1"}, {"error", "ERROR_ACCESS_DENIED"}, {"count", 2}},
        {{"fail_ioctl", "IOCTL_STORAGE_GET_DEVICE_NUMBER"}, {"path", "\\\\.\\PhysicalDrive0"}, {"error", 1117}},
        {{"op", "ioctl"}, {"control_code", "0x2d1080"}, {"path", "\\\\.\\PhysicalDrive1"},
         {"count", {{"from", 2}}}, {"error", "ERROR_SEM_TIMEOUT"}}});
  EXPECT_NE(INVALID_HANDLE_VALUE, try_open("\\\\.\\PhysicalDrive1"));
  EXPECT_EQ(INVALID_HANDLE_VALUE, try_open("\\\\.\\PhysicalDrive1"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  HANDLE pd1 = try_open("\\\\.\\PhysicalDrive1");
  HANDLE pd0 = try_open("\\\\.\\PhysicalDrive0");

  const Answer a = device_number(pd0);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), a.error);
  EXPECT_TRUE(device_number(pd1).ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), device_number(pd1).error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), device_number(pd1).error);
}

TEST_F(FaultSection, FrontEndRulesBySignatureOpcodeCdbAndAtaCommand) {
  load({{{"signature", "FIRMWARE"}, {"miniport_code", 0x1B0780}, {"action", {{"name", "return_code"}, {"value", 1}}}},
        {{"keys", {{"nvme_opcode", "0xC6"}, {"request", "protocol_command"}}},
         {"action", {{"name", "nvme_status"}, {"value", "0x2"}}}},
        {{"cdb0", 0x12}, {"driver", "storage_spaces"}, {"error", "ERROR_SEM_TIMEOUT"}},
        {{"ata_command", "0xEC"}, {"action", {{"name", "ata_status"}, {"value", "0x51"}, {"value2", 4}}}}});
  HANDLE nvme = open("\\\\.\\PhysicalDrive0");
  uint8_t piece[4096] = {};
  Buf dl = firmware_download(0, piece, sizeof piece);
  ASSERT_TRUE(inout(nvme, kScsiMiniport, dl).ok);
  EXPECT_EQ(1u, dl.g32(20));  // ReturnCode

  NvmeCmd ident{.cdw0 = 0xC6, .cdw10 = 1, .cdw15 = 0xABCD};  // a vendor command the drive lists
  Buf pc = protocol_command(ident, 4096, 2);
  inout(nvme, kProtocolCommand, pc);
  const json traced = sim::trace_entry_json(last_trace());
  EXPECT_EQ("0xc6", traced["command"]["nvme"]["opcode"]);
  EXPECT_EQ("0x1", traced["command"]["nvme"]["cdw10"]);
  EXPECT_EQ("0xabcd", traced["command"]["nvme"]["cdw15"]);
  EXPECT_EQ(json({{"length", 4096}, {"direction", "in"}}), traced["data"]);
  EXPECT_EQ("0x2", traced["notes"]["nvme_status"]);
  EXPECT_EQ(1u, traced["faults"].size());

  HANDLE spaces = open("\\\\.\\PhysicalDrive3");
  Buf inq = scsi_pass_through(kInquiryCdb, 36, 2);
  const Answer a = inout(spaces, kScsiPassThrough, inq);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), a.error);
  EXPECT_EQ("12 00 00 02 00 00", sim::trace_entry_json(last_trace())["command"]["cdb"]);
  HANDLE usb = open("\\\\.\\PhysicalDrive2");  // another driver: the CDB rule does not apply
  Buf inq2 = scsi_pass_through(kInquiryCdb, 36, 2);
  EXPECT_TRUE(inout(usb, kScsiPassThrough, inq2).ok);

  HANDLE sata = open("\\\\.\\PhysicalDrive1");
  AtaRegs id{.count = 1, .command = 0xEC};
  Buf ata = ata_pass_through(0x02, id, nullptr, 512);
  ASSERT_TRUE(inout(sata, kAtaPassThrough, ata).ok);
  EXPECT_EQ(0x51, ata.g8(46));  // status
  EXPECT_EQ(0x04, ata.g8(40));  // error
  const json t = sim::trace_entry_json(last_trace());
  EXPECT_EQ(json({{"command", "0xec"}, {"feature", "0x0"}, {"count", "0x1"}, {"lba", "0x0"}}), t["command"]["ata"]);
  EXPECT_TRUE(t["result"].get<bool>());
}

TEST_F(FaultSection, DriveRulesReachTheDriveModels) {
  load({{{"drive", "nvme0"}, {"nvme_opcode", "0xC6"}, {"count", {{"nth", 2}}}, {"action", {{"status", "0x6"}}}},
        {{"drive", 1}, {"ata_command", "0xec"}, {"action", {{"status", "0x51"}, {"error", 4}}}},
        {{"drive", "space0"}, {"cdb0", "0x12"}, {"action", {{"status", 2}, {"sense_key", 5}, {"asc", "0x24"}}}},
        {{"drive", "sata0"}, {"corrupt_staging", true}}});
  EXPECT_TRUE(sim::storage_ata(1)->config().corrupt_staging);
  HANDLE nvme = open("\\\\.\\PhysicalDrive0");
  NvmeCmd ident{.cdw0 = 0xC6};  // a vendor command the drive lists
  Buf first = protocol_command(ident, 4096, 2);
  EXPECT_TRUE(inout(nvme, kProtocolCommand, first).ok);
  Buf second = protocol_command(ident, 4096, 2);
  inout(nvme, kProtocolCommand, second);
  EXPECT_EQ("0x6", sim::trace_entry_json(last_trace())["notes"]["nvme_status"]);

  HANDLE sata = open("\\\\.\\PhysicalDrive1");
  AtaRegs id{.command = 0xEC};
  Buf ata = ata_pass_through(0x02, id, nullptr, 512);
  ASSERT_TRUE(inout(sata, kAtaPassThrough, ata).ok);
  EXPECT_EQ(0x51, ata.g8(46));

  HANDLE spaces = open("\\\\.\\PhysicalDrive3");
  Buf inq = scsi_pass_through(kInquiryCdb, 36, 2);
  ASSERT_TRUE(inout(spaces, kScsiPassThrough, inq).ok);
  EXPECT_EQ(2, inq.g8(2));         // CHECK CONDITION
  EXPECT_EQ(0x05, inq.g8(56 + 2) & 0x0F);  // sense key
  EXPECT_EQ(0x24, inq.g8(56 + 12));
}

// A driver that says it returned less than it wrote: the caller's buffer keeps, past the bytes
// returned, what it held (for a request sent in its own buffer, what was sent), though the drive
// carried the command out.
TEST_F(FaultSection, ShortReturnKeepsTheBufferPastTheBytesReturned) {
  load({{{"request", "ata_pass_through"}, {"ata_command", "0xEC"}, {"action", {{"name", "short_return"}, {"value", 40}}}}});
  HANDLE sata = open("\\\\.\\PhysicalDrive1");
  const uint32_t identifies = sim::storage_ata(1)->command_count(0xEC);
  Buf ata = ata_pass_through(0x02, AtaRegs{.count = 1, .command = 0xEC}, nullptr, 512);
  const Answer a = inout(sata, kAtaPassThrough, ata);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(40u, a.returned);
  EXPECT_EQ(0xEC, ata.g8(46));  // the task file as sent
  EXPECT_EQ(0u, ata.g32(48));   // no data
  EXPECT_EQ(identifies + 1, sim::storage_ata(1)->command_count(0xEC));
  // With an output buffer of its own, longer than the request, past the bytes returned it keeps
  // what the caller had put there (also without a time-out).
  Buf in = ata_pass_through(0x02, AtaRegs{.count = 1, .command = 0xEC}, nullptr, 512);
  in.u32(12, 0);  // TimeOutValue
  Buf out(in.size() + 64);
  std::fill(out.b.begin(), out.b.end(), uint8_t{0xA5});
  const Answer b = inout2(sata, kAtaPassThrough, in, out);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(40u, b.returned);
  EXPECT_EQ(std::vector<uint8_t>(out.size() - 40, 0xA5), std::vector<uint8_t>(out.b.begin() + 40, out.b.end()));
}

// With no fault, a request answered into an output buffer of its own: the driver copies the
// request into its answer, but past the bytes returned (sense and data areas included) the
// caller's buffer keeps what it held.
TEST_F(FaultSection, OwnOutputBufferGetsOnlyTheBytesReturned) {
  load(json::array());
  uint8_t piece[512];
  for (size_t i = 0; i < sizeof piece; ++i) piece[i] = static_cast<uint8_t>(i * 7 + 1);
  const struct {
    const char *name, *path;
    DWORD code;
    Buf in;
    DWORD returned;
  } rows[] = {
      {"SCSI pass-through without data", "\\\\.\\PhysicalDrive2", kScsiPassThrough,
       scsi_pass_through({0, 0, 0, 0, 0, 0}, 0, 0), 56},
      // The bridge refuses WRITE BUFFER mode 2: 18 bytes of sense in a 32-byte area.
      {"SCSI pass-through to the device, refused", "\\\\.\\PhysicalDrive2", kScsiPassThrough,
       scsi_pass_through({0x3B, 0x02, 0, 0, 0, 0, 0, 0x02, 0, 0}, 512, 1, 30, piece), 56 + 18},
      {"ATA pass-through to the device", "\\\\.\\PhysicalDrive1", kAtaPassThrough,
       ata_pass_through(0x04, AtaRegs{.count = 1, .command = 0xE8}, nullptr, 512, 30, piece), 48},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Buf in = row.in, out(in.size() + 64);
    std::fill(out.b.begin(), out.b.end(), uint8_t{0xA5});
    const Answer a = inout2(open(row.path), row.code, in, out);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(row.returned, a.returned);
    EXPECT_EQ(std::vector<uint8_t>(out.size() - a.returned, 0xA5),
              std::vector<uint8_t>(out.b.begin() + a.returned, out.b.end()));
  }
}

TEST_F(FaultSection, RegistryReadsAskTheRules) {
  const json registry = {{{"key", "HKLM\\SYSTEM\\Drivers\\0000"},
                          {"values", {{{"name", "DriverDesc"}, {"data", "Disk"}}, {{"name", "Other"}, {"data", "x"}}}}},
                         {{"key", "HKLM\\SYSTEM\\Drivers\\0001"}}};
  load({{{"api", "registry"}, {"function", "RegQueryValueExA"}, {"key", "hklm\\system\\drivers\\0000"},
         {"value_name", "DriverDesc"}, {"error", "ERROR_MORE_DATA"}},
        {{"api", "registry"}, {"function", "RegOpenKeyExA"}, {"key", "HKEY_LOCAL_MACHINE\\SYSTEM\\Drivers\\0001"},
         {"error", "ERROR_ACCESS_DENIED"}},
        {{"api", "registry"}, {"function", "RegEnumValueA"}, {"index", "1"}, {"error", 1117}}},
       registry);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Drivers\\0001", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Drivers\\0000", 0, KEY_READ, &key));
  char data[64];
  DWORD size = sizeof data;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "DriverDesc", nullptr, nullptr, reinterpret_cast<BYTE *>(data), &size));
  size = sizeof data;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Other", nullptr, nullptr, reinterpret_cast<BYTE *>(data), &size));
  char name[32];
  DWORD name_len = sizeof name;
  EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &name_len, nullptr, nullptr, nullptr, nullptr));
  name_len = sizeof name;
  EXPECT_EQ(1117, RegEnumValueA(key, 1, name, &name_len, nullptr, nullptr, nullptr, nullptr));
  RegCloseKey(key);
}

TEST_F(FaultSection, OtherKeysReachTheirAskers) {
  load({{{"api", "setupapi"}, {"function", "SetupDiGetClassDevsA"}, {"guid", "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"},
         {"count", {{"from", 2}}}, {"error", "ERROR_INVALID_DATA"}},
        {{"api", "com"}, {"function", "CoCreateInstance"}, {"clsid", "{11111111-2222-3333-4444-555555555555}"},
         {"error", "REGDB_E_CLASSNOTREG"}},
        {{"op", "other"}, {"keys", {{"api", "cfgmgr"}, {"instance_id", "PCI\\VEN_ABCD&DEV_5010"}}},
         {"action", {{"name", "status"}, {"value", "CR_FAILURE"}}}}});
  const auto ask = [](std::map<std::string, std::string> keys) {
    sim::FaultQuery q;
    q.keys = std::move(keys);
    return sim::check_faults(q);
  };
  const std::map<std::string, std::string> classes = {
      {"api", "setupapi"}, {"function", "SetupDiGetClassDevsA"}, {"guid", "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}};
  EXPECT_TRUE(ask(classes).empty());
  auto fired = ask(classes);
  ASSERT_EQ(1u, fired.size());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), fired[0].action.error);

  fired = ask({{"api", "com"}, {"function", "CoCreateInstance"}, {"clsid", "{11111111-2222-3333-4444-555555555555}"}});
  ASSERT_EQ(1u, fired.size());
  EXPECT_EQ(0x80040154u, fired[0].action.error);
  EXPECT_TRUE(ask({{"api", "com"}, {"function", "CoCreateInstance"}, {"clsid", "{0}"}}).empty());
}

TEST(FaultSectionErrors, ABadRuleNamesItsPlace) {
  const std::pair<json, std::string> cases[] = {
      {{{"faults", {{{"fail_open", "x"}}, {{"fail_open", "y"}, {"error", "ERROR_NO_SUCH_THING"}}}}},
       "faults[1].error: unknown error name \"ERROR_NO_SUCH_THING\""},
      {{{"faults", {{{"op", "open"}, {"action", {{"fail", "E_FAIL"}, {"name", "x"}}}}}}},
       "faults[0].action: \"fail\" takes no further fields"},
      {{{"faults", {{{"op", "sometimes"}}}}}, "faults[0].op: expected \"open\""},
      {{{"faults", {{{"count", 0}}}}}, "faults[0].count: calls are counted from 1"},
      {{{"faults", {{{"fail_ioctl", "IOCTL_NOTHING"}}}}}, "faults[0].fail_ioctl: unknown control code"},
      {{{"faults", {{{"op", "ioctl"}, {"cdb0", 18}}}}}, "faults[0]: keys are asked with op \"other\""},
      {{{"faults", {{{"nvme_opcode", "0x1g"}}}}}, "faults[0].nvme_opcode: \"0x1g\" is not a number"},
      {{{"faults", {{{"drive", "disk9"}, {"nvme_opcode", 6}}}}}, "faults[0].drive: no disk \"disk9\""},
      {{{"faults", {{{"colour", "red"}}}}}, "faults[0]: unknown field \"colour\""},
      {{{"ui", {{{"click", "Exit"}, {"system_close", true}}}}}, "ui[0]: expected exactly one action"},
      {{{"ui", {{{"click", "Exit"}, {"when", {{"soon", true}}}}}}}, "ui[0].when: unknown condition \"soon\""},
  };
  for (const auto &[machine, message] : cases) {
    try {
      sim::load_machine_json(machine.dump());
      ADD_FAILURE() << "accepted: " << machine.dump();
    } catch (const std::runtime_error &e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(message)) << e.what();
    }
  }
  sim::reset_machine();
}

}  // namespace

// Request time-outs on the reference machine, whose drives here take 5 s per command: every kind
// of request that carries a time-out fails past it (ERROR_SEM_TIMEOUT after exactly the time-out,
// the caller's buffer as sent), succeeds within it, and takes the drive's whole time with 0, which
// the state output counts.
#include <algorithm>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "sim/drives/ata_drive.h"
#include "sim/drives/scsi_target.h"
#include "simstorage_support.h"

namespace simstorage {
namespace {

using json = nlohmann::json;

json ref1_with_slow_drives() {
  std::ifstream f(sim::machine_file_path("ref1"));
  json machine = json::parse(f);
  const json slow = {{"command_ms", 5000}, {"download_ms", 5000}, {"activate_ms", 5000}};
  json drives = json::array();
  for (const char *id : {"A", "C", "D", "E", "R3", "S2"}) {
    const std::string kind = std::string(id) == "A" || std::string(id) == "D" ? "ata" : id[0] == 'S' ? "scsi" : "nvme";
    drives.push_back({{"id", id}, {kind, {{"timing", slow}}}});
  }
  drives.push_back({{"id", "B"}, {"nvme", {{"timing", slow}, {"vendor_commands", {{"admin", {"0xC0"}}}}}}});
  testsupport::merge_machine(machine, {{"storage", {{"drives", drives}}}});
  return machine;
}

// The SRB_IO_CONTROL header and the Intel address block (PathId `path`, target 0, LUN 0).
Buf intel_request(size_t size, const char *signature, uint32_t code, uint8_t path, uint32_t timeout) {
  Buf b(size);
  srb_header(b, signature, timeout, code);
  b.u8(28, 1);
  b.u8(29, path);
  return b;
}

// "NvmeRAID" (RSTe, by disk id) or "NvmeMini" Identify Controller.
Buf nvme_miniport_identify(const char *signature, uint32_t disk_id, uint32_t timeout) {
  Buf b(152 + 4096);
  srb_header(b, signature, timeout, 0xE0002000);
  b.u32(20, disk_id);
  b.u32(52, 0x06);
  b.u32(92, 1);
  b.u32(132, 2);
  b.u32(140, disk_id ? 4096 : 0);
  b.u32(148, b.size());
  return b;
}

// CSMI STP IDENTIFY DEVICE to the SATA drive at SAS address 50 01 03 AA 00 00 00 00 (RST, drive D).
Buf csmi_identify(uint32_t timeout) {
  const uint8_t sas[8] = {0x50, 0x01, 0x03, 0xAA, 0, 0, 0, 0};
  AtaRegs identify;
  identify.command = 0xEC;
  identify.count = 1;
  return csmi_stp(sas, 0x11, identify, 512, timeout);
}

struct Kind {
  const char *name;
  const char *path;
  DWORD code;
  const char *drive;  // the drive that takes the time
  std::function<Buf(uint32_t timeout)> build;
  bool zero_only = false;  // the maker's driver is always sent 0
};

const Kind kKinds[] = {
    {"scsi_pass_through", "\\\\.\\PhysicalDrive14", testsupport::kScsiPassThrough, "S2",
     [](uint32_t t) { return scsi_pass_through(kInquiryCdb, 512, 2, t); }},
    {"ata_pass_through", "\\\\.\\PhysicalDrive0", kAtaPassThrough, "A",
     [](uint32_t t) { return ata_pass_through(0x03, {.count = 1, .command = 0xEC}, nullptr, 512, t); }},
    {"protocol_command", "\\\\.\\PhysicalDrive1", kProtocolCommand, "B",
     [](uint32_t t) { return protocol_command({.cdw0 = 0xC0}, 0, 0, t); }},
    {"FIRMWARE", "\\\\.\\PhysicalDrive1", kScsiMiniport, "B", [](uint32_t t) { return firmware_activate(2, t); }},
    {"IntelNvm", "\\\\.\\Scsi5:", kScsiMiniport, "E",
     [](uint32_t t) {
       Buf b = intel_request(164 + 4096, "IntelNvm", 0xF0002808, 1, t);
       b.u32(32, 0x06);
       b.u32(72, 1);
       b.u32(116, 164);
       b.u32(120, 4096);
       return b;
     }},
    {"IntelFw ", "\\\\.\\Scsi5:", kScsiMiniport, "E",
     [](uint32_t t) {
       Buf b = intel_request(68, "IntelFw ", 0xF0000040, 1, t);
       const uint32_t activate[] = {1, 24, 3, 1, 56, 12, 1, 12, 2};
       for (size_t i = 0; i < std::size(activate); ++i) b.u32(32 + 4 * i, activate[i]);
       return b;
     }},
    {"NvmeRAID", "\\\\.\\Scsi10:", kScsiMiniport, "R3", [](uint32_t t) { return nvme_miniport_identify("NvmeRAID", 3, t); }},
    {"CSMISAS", "\\\\.\\Scsi5:", kScsiMiniport, "D", csmi_identify},
    {"NvmeMini", "\\\\.\\Scsi4:", kScsiMiniport, "C", [](uint32_t t) { return nvme_miniport_identify("NvmeMini", 0, t); },
     true},
};

sim::DriveCounters counters_of(const std::string &id) {
  const sim::StorageDriveModels m = sim::storage_drive(id);
  return m.nvme ? m.nvme->counters() : m.ata ? m.ata->counters() : m.scsi->counters();
}

class RequestTimeouts : public StackTest {
 protected:
  void SetUp() override { load(ref1_with_slow_drives().dump()); }
  // Sends `b` and returns the answer and the machine time the call took.
  std::pair<Answer, uint64_t> timed(HANDLE h, DWORD code, Buf &b) {
    const uint64_t start = sim::virtual_now_ms();
    const Answer a = inout(h, code, b);
    return {a, sim::virtual_now_ms() - start};
  }
};

TEST_F(RequestTimeouts, EveryKindFailsPastItsTimeOutAndTakesTheDrivesTimeWithin) {
  json zeros = {{"scsi_pass_through", 0}, {"ata_pass_through", 0}, {"protocol_command", 0}, {"miniport", json::object()}};
  for (const Kind &k : kKinds) {
    SCOPED_TRACE(k.name);
    HANDLE h = open(k.path);
    const uint32_t timeouts = counters_of(k.drive).timeouts + (k.zero_only ? 0 : 1);  // B and E serve two kinds
    if (!k.zero_only) {
      const Buf sent = k.build(4);
      Buf b = sent;
      const auto [past, took] = timed(h, k.code, b);
      EXPECT_EQ(ERROR_SEM_TIMEOUT, refused(past));
      EXPECT_EQ(0u, past.returned);
      EXPECT_EQ(4000u, took) << "the call takes its time-out";
      EXPECT_TRUE(b.b == sent.b) << "nothing is handed back";
      EXPECT_EQ(timeouts, counters_of(k.drive).timeouts);

      b = k.build(5);
      const auto [within, full] = timed(h, k.code, b);
      EXPECT_TRUE(within.ok) << within.error;
      EXPECT_EQ(5000u, full);
    }
    Buf b = k.build(0);
    const auto [unbounded, full] = timed(h, k.code, b);
    EXPECT_TRUE(unbounded.ok) << unbounded.error;
    EXPECT_EQ(5000u, full) << "0 sets no bound";
    EXPECT_EQ(std::optional<uint32_t>(0), sim::trace_entries().back().timeout);
    EXPECT_EQ(timeouts, counters_of(k.drive).timeouts);
    if (std::string(k.name).find('_') != std::string::npos) {
      zeros[k.name] = 1;
    } else {
      zeros["miniport"][k.name] = 1;
    }
  }
  EXPECT_EQ(zeros, json::parse(sim::storage_state_json())["zero_timeouts"]);
}

// With separate input and output buffers a timed-out request hands nothing back either: the output
// buffer (as long as the request, or longer) holds what it held before the call, neither the
// request nor anything the driver wrote there.
TEST_F(RequestTimeouts, ASeparateOutputBufferKeepsItsBytesPastTheTimeOut) {
  for (const Kind &k : kKinds) {
    if (k.zero_only) continue;
    HANDLE h = open(k.path);
    for (size_t longer : {0, 64}) {
      SCOPED_TRACE(std::string(k.name) + " +" + std::to_string(longer));
      Buf in = k.build(4);
      Buf out(in.size() + longer);
      std::fill(out.b.begin(), out.b.end(), uint8_t{0x5A});
      const Buf before = out;
      const Answer a = inout2(h, k.code, in, out);
      EXPECT_EQ(ERROR_SEM_TIMEOUT, refused(a));
      EXPECT_EQ(0u, a.returned);
      EXPECT_TRUE(out.b == before.b) << "nothing is handed back";
    }
  }
}

}  // namespace
}  // namespace simstorage

// The interface a device ends up with is decided by the first probe that answers yes, so each
// personality must refuse the earlier probes the way its real driver does. This runs the probes in
// their order, each judged by its own "yes" rule, against every kind of device of the machine.
#include <algorithm>

#include "storage_fixture.h"

namespace simtest {
namespace {

bool all_zero(const uint8_t *p, size_t n) { return std::all_of(p, p + n, [](uint8_t v) { return v == 0; }); }

// The maker's pass-through: Identify Controller, Timeout 0.
bool probe_maker(HANDLE h) {
  Buf b(152 + 4096);
  srb_header(b, "NvmeMini", 0, 0xE0002000);
  b.u32(52, 0x06);
  b.u32(52 + 40, 1);
  b.u32(132, 2);
  b.u32(148, b.size());
  Answer a = inout(h, kScsiMiniport, b);
  return a.ok && b.g32(20) == 0 && !all_zero(b.data() + 152, 4096);
}

bool probe_inbox_nvme(HANDLE h) {
  Buf q = protocol_query(49, 1, 1, 0, 4096);
  Buf out(4096 + 48);
  return inout2(h, kQueryProperty, q, out).ok && !all_zero(out.data() + 48, 4096);
}

bool probe_ata(HANDLE h) {
  AtaRegs id{.count = 1, .command = 0xEC};
  Buf b = ata_pass_through(0x03, id, nullptr, 512, 1);
  if (!inout(h, kAtaPassThrough, b).ok) return false;
  const uint8_t status = b.g8(46), error = b.g8(40);
  if ((status == 0 && error == 0) || (status == 0x51 && error == 0x04)) return false;
  return !all_zero(b.data() + 48, 512);
}

bool probe_sat(HANDLE h) {
  Buf b = scsi_pass_through(kSatIdentifyCdb, 512, 2, 1);
  return inout(h, kScsiPassThrough, b).ok && b.g8(2) == 0;
}

bool probe_bridge_nvme(HANDLE h) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    Buf b = scsi_pass_through({0xE6, 0x06, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4096, 2, 1);
    if (!inout(h, kScsiPassThrough, b).ok) return false;
    if (b.g8(2) == 0) return true;
    const bool becoming_ready = b.g8(2) == 2 && b.g8(56 + 12) == 0x04 && b.g8(56 + 13) == 0x01;
    if (!becoming_ready) return false;
    if (attempt == 1) return true;
  }
  return false;
}

bool probe_inquiry(HANDLE h) {
  Buf b = scsi_pass_through(kInquiryCdb, 512, 2, 1);
  return inout(h, kScsiPassThrough, b).ok;
}

// Returns the number of the deciding probe (2, 3, 5, 7, 8, 9), or 0 when none answers.
int decide(HANDLE h) {
  if (probe_maker(h)) return 2;
  if (probe_inbox_nvme(h)) return 3;
  if (probe_ata(h)) return 5;
  if (probe_sat(h)) return 7;
  if (probe_bridge_nvme(h)) return 8;
  if (probe_inquiry(h)) return 9;
  return 0;
}

using ProbeChain = StorageTest;

TEST_F(ProbeChain, EachPersonalityIsDecidedByItsOwnProbe) {
  EXPECT_EQ(3, decide(open("\\\\.\\PhysicalDrive0"))) << "in-box NVMe disk";
  EXPECT_EQ(3, decide(open("\\\\.\\Scsi5:"))) << "in-box NVMe controller without a namespace";
  EXPECT_EQ(5, decide(open("\\\\.\\PhysicalDrive1"))) << "SATA on in-box AHCI";
  EXPECT_EQ(7, decide(open("\\\\.\\PhysicalDrive2"))) << "SATA behind a USB BOT bridge";
  EXPECT_EQ(9, decide(open("\\\\.\\PhysicalDrive3"))) << "Storage Spaces virtual disk";
}

TEST_F(ProbeChain, InboxNvmeOnWindows81ProbesAsScsi) {
  sim::OsInfo os = sim::machine_os();
  os.major = 6;
  os.minor = 3;
  sim::set_machine_os(os);
  EXPECT_EQ(9, decide(open("\\\\.\\PhysicalDrive0")));
  EXPECT_EQ(5, decide(open("\\\\.\\PhysicalDrive1")));
}

TEST_F(ProbeChain, PortsAnsweringForeignSignaturesWithReturnCodeStillRefuse) {
  sim::storage_adapter_knobs(1)->foreign_miniport_rc = true;
  HANDLE port = open("\\\\.\\Scsi1:");
  EXPECT_FALSE(probe_maker(port));
  EXPECT_FALSE(probe_inbox_nvme(port));
}

TEST_F(ProbeChain, AtaAnswersThatDoNotCount) {
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  fault("\\\\.\\PhysicalDrive1", kAtaPassThrough, "ata_status", 0x51, 0x04, sim::FaultCount::at(1));
  EXPECT_FALSE(probe_ata(h));
  fault("\\\\.\\PhysicalDrive1", kAtaPassThrough, "ata_status", 0x00, 0x00, sim::FaultCount::at(1));
  EXPECT_FALSE(probe_ata(h));
  fault("\\\\.\\PhysicalDrive1", kAtaPassThrough, "zero_data", 0, 0, sim::FaultCount::at(1));
  EXPECT_FALSE(probe_ata(h));
  EXPECT_TRUE(probe_ata(h));
}

}  // namespace
}  // namespace simtest

// The interface a device ends up with is decided by the first probe that answers yes, so each
// personality must refuse the earlier probes the way its real driver does. The back ends' own probes
// run against every personality in the back-end tests; here the answers only a knob or a fault gives.
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

using ProbeChain = StorageTest;

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

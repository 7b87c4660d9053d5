// The in-box AHCI driver (ATA pass-through, its SCSI/ATA translation, the storage firmware
// requests), the USB BOT bridge and the Storage Spaces virtual disk.
#include <algorithm>

#include "sim/drives/ata_drive.h"
#include "sim/drives/sat_device.h"
#include "storage_fixture.h"

namespace simtest {
namespace {

const char *kSata = "\\\\.\\PhysicalDrive1";
const char *kUsb = "\\\\.\\PhysicalDrive2";
const char *kSpace = "\\\\.\\PhysicalDrive3";

Buf identify_request(uint32_t timeout = 1) {
  AtaRegs id{.count = 1, .command = 0xEC};
  return ata_pass_through(0x03, id, nullptr, 512, timeout);
}

// IDENTIFY DEVICE, READ LOG EXT and the registers of an abort through ATA pass-through, and the
// storage firmware download and activation, are checked end to end by the command-set device and
// route tests.
using InboxAhci = StorageTest;

TEST_F(InboxAhci, AtaPassThroughLayoutIsChecked) {
  HANDLE h = open(kSata);
  Buf a = identify_request();
  a.u16(0, 40);
  EXPECT_FALSE(inout(h, kAtaPassThrough, a).ok);
  Buf b = identify_request();
  b.u16(2, 0x07);  // both directions
  EXPECT_FALSE(inout(h, kAtaPassThrough, b).ok);
  Buf c = identify_request();
  c.u32(8, 1024);  // beyond the buffer
  EXPECT_FALSE(inout(h, kAtaPassThrough, c).ok);
  Buf d = identify_request();
  d.u16(2, 0x01);  // data without a direction
  EXPECT_FALSE(inout(h, kAtaPassThrough, d).ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(4u, take_violations());
}

TEST_F(InboxAhci, AtaFaults) {
  HANDLE h = open(kSata);
  fault(kSata, kAtaPassThrough, "ata_status", 0x51, 0x04, sim::FaultCount::at(1));
  Buf a = identify_request();
  ASSERT_TRUE(inout(h, kAtaPassThrough, a).ok);
  EXPECT_EQ(0x51, a.g8(46));
  EXPECT_EQ(0x04, a.g8(40));
  EXPECT_EQ(0u, a.g32(8));
  fault(kSata, kAtaPassThrough, "zero_data", 0, 0, sim::FaultCount::at(1));
  Buf b = identify_request();
  ASSERT_TRUE(inout(h, kAtaPassThrough, b).ok);
  EXPECT_TRUE(std::all_of(b.b.begin() + 48, b.b.end(), [](uint8_t v) { return v == 0; }));
  sim::fail_ioctl(kSata, kAtaPassThrough, ERROR_IO_DEVICE, sim::FaultCount::at(1));
  Buf c = identify_request();
  EXPECT_EQ(ERROR_IO_DEVICE, refused(inout(h, kAtaPassThrough, c)));
}

TEST_F(InboxAhci, NvmeRequestsAreRefusedTheWayTheProbesExpect) {
  HANDLE h = open(kSata);
  Buf q = protocol_query(49, 1, 1, 0, 4096);
  Buf out(4096 + 48);
  EXPECT_EQ(ERROR_NOT_SUPPORTED, refused(inout2(h, kQueryProperty, q, out)));
  NvmeCmd id{.cdw0 = 0x06, .cdw10 = 1};
  Buf p = protocol_command(id, 4096, 2);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(h, kProtocolCommand, p)));
  Buf act = firmware_activate(1);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(h, kScsiMiniport, act)));
}

// Storage firmware requests as the host builds them.
Buf get_info_request() {
  Buf b(16);
  b.u32(0, 16);
  b.u32(4, 16);
  return b;
}
Buf download_request(uint8_t slot, uint64_t offset, const uint8_t *piece, uint32_t len) {
  Buf b(len + 40);
  b.u32(0, 40);
  b.u32(4, len + 40);
  b.u8(12, slot);
  b.u64(16, offset);
  b.u64(24, len);
  b.bytes(32, piece, len);
  return b;
}
Buf activate_request(uint8_t slot) {
  Buf b(16);
  b.u32(0, 16);
  b.u32(4, 16);
  b.u8(12, slot);
  return b;
}

TEST_F(InboxAhci, StorageFirmwareRequestsOnWindows10) {
  HANDLE h = open(kSata);
  Buf gi = get_info_request();
  Buf info(56);
  Answer a = inout2(h, kFwGetInfo, gi, info);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(56u, a.returned);
  EXPECT_EQ(1, info.g8(8) & 1) << "upgrade supported";
  EXPECT_EQ(1, info.g8(9)) << "SlotCount";
  const uint8_t active = info.g8(10);
  EXPECT_EQ("CVS1.000", info.str(24 + 16, 8));
  // Nothing pending: the drive aborts the activation, the call fails.
  Buf again = activate_request(active);
  EXPECT_EQ(ERROR_IO_DEVICE, refused(inout(h, kFwActivate, again)));
}

TEST_F(InboxAhci, StorageFirmwareRequestsAreChecked) {
  HANDLE h = open(kSata);
  uint8_t piece[512] = {};
  Buf a = download_request(0, 0, piece, 512);
  a.u32(0, 32);  // Version
  EXPECT_FALSE(inout(h, kFwDownload, a).ok);
  Buf b = download_request(0, 0, piece, 512);
  b.u64(24, 1024);  // BufferSize beyond the request
  EXPECT_FALSE(inout(h, kFwDownload, b).ok);
  Buf c = activate_request(0);
  c.u32(4, 12);
  EXPECT_FALSE(inout(h, kFwActivate, c).ok);
  EXPECT_EQ(3u, take_violations());
  // Unaligned offsets and a slot the drive does not have are refused without a violation.
  Buf d = download_request(0, 100, piece, 512);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(h, kFwDownload, d)));
  Buf e = download_request(3, 0, piece, 512);
  EXPECT_FALSE(inout(h, kFwDownload, e).ok);
  // The controller flag is not for a drive, and no piece may exceed the ImagePayloadMaxSize that
  // GET_INFO reports.
  Buf f = download_request(0, 0, piece, 512);
  f.u32(8, 1);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(h, kFwDownload, f)));
  Buf gi = get_info_request();
  Buf info(56);
  ASSERT_TRUE(inout2(h, kFwGetInfo, gi, info).ok);
  const uint32_t max = info.g32(20);
  std::vector<uint8_t> big(max + 512, 0);
  Buf g = download_request(0, 0, big.data(), max + 512);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(h, kFwDownload, g)));
  EXPECT_EQ(0u, sim::storage_ata(1)->staged_bytes());
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, "CVS2.000", max);
  image.resize(max, 0);
  Buf last = download_request(0, 0, image.data(), max);
  last.u32(8, 2);  // the last segment, at the largest size
  EXPECT_TRUE(inout(h, kFwDownload, last).ok);
  // The activation of a drive's own firmware carries no controller flag.
  Buf act = activate_request(0);
  act.u32(8, 1);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(h, kFwActivate, act)));
}

TEST_F(InboxAhci, StorageFirmwareRequestsNeedWindows10) {
  sim::OsInfo os = sim::machine_os();
  os.major = 6;
  os.minor = 3;
  sim::set_machine_os(os);
  HANDLE h = open(kSata);
  Buf gi = get_info_request();
  Buf info(56);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout2(h, kFwGetInfo, gi, info)));
  uint8_t piece[512] = {};
  Buf d = download_request(0, 0, piece, 512);
  EXPECT_FALSE(inout(h, kFwDownload, d).ok);
  Buf act = activate_request(0);
  EXPECT_FALSE(inout(h, kFwActivate, act).ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  // ATA pass-through still works there (the 8.1 route for every mode).
  Buf id = identify_request();
  EXPECT_TRUE(inout(h, kAtaPassThrough, id).ok);
}

TEST_F(InboxAhci, MultiSlotGetInfo) {
  sim::load_machine_json(R"({"storage": {"adapters": [{"id": "a", "personality": "inbox_ahci"}],
      "disks": [{"adapter": "a", "firmware_slots": 3, "firmware_active_slot": 1,
                 "ata": {"firmware": "MS000001"}}]}})");
  HANDLE h = open("\\\\.\\PhysicalDrive0");
  Buf gi = get_info_request();
  Buf info(56);
  Answer a = inout2(h, kFwGetInfo, gi, info);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(56u, a.returned);
  EXPECT_EQ(3, info.g8(9));
  EXPECT_EQ(1, info.g8(10)) << "ActiveSlot fits the small buffer";
  EXPECT_EQ(24u + 3 * 32, info.g32(4));
  sim::storage_adapter_configure("a", R"({"get_info_insufficient_buffer": true})");
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, refused(inout2(h, kFwGetInfo, gi, info)));
  Buf big(24 + 32 * 255);
  a = inout2(h, kFwGetInfo, gi, big);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(24u + 3 * 32, a.returned);
  EXPECT_EQ("MS000001", big.str(24 + 32 + 16, 8));
}

using UsbBot = StorageTest;

TEST_F(UsbBot, OnlyScsiReachesTheBridge) {
  HANDLE h = open(kUsb);
  Buf id = identify_request();
  Answer a;
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(h, kAtaPassThrough, id)));
  Buf q = protocol_query(49, 1, 1, 0, 4096);
  Buf out(4096 + 48);
  a = inout2(h, kQueryProperty, q, out);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), a.error);
  Buf gi = get_info_request();
  Buf info(56);
  a = inout2(h, kFwGetInfo, gi, info);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), a.error);
}

using StorageSpaces = StorageTest;

TEST_F(StorageSpaces, VirtualDiskAnswersInquiryOnly) {
  HANDLE h = open(kSpace);
  Buf inq = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, inq).ok);
  EXPECT_EQ(0, inq.g8(2));
  EXPECT_EQ("Msft    ", inq.str(88 + 8, 8));
  Buf vpd = scsi_pass_through(kVpd80Cdb, 4096, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, vpd).ok);
  EXPECT_EQ("SPACE0001", vpd.str(88 + 4, 9));
  for (const auto &cdb : {kSatIdentifyCdb, std::vector<uint8_t>{0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    Buf s = scsi_pass_through(cdb, cdb[0] == 0x3B ? 0 : 512, cdb[0] == 0x3B ? 1 : 2);
    ASSERT_TRUE(inout(h, kScsiPassThrough, s).ok);
    EXPECT_EQ(2, s.g8(2));
    EXPECT_EQ(0x20, s.g8(56 + 12));
  }
  Buf id = identify_request();
  EXPECT_FALSE(inout(h, kAtaPassThrough, id).ok);
  NvmeCmd c{.cdw0 = 0x06};
  Buf p = protocol_command(c, 4096, 2);
  EXPECT_FALSE(inout(h, kProtocolCommand, p).ok);
}

}  // namespace
}  // namespace simtest

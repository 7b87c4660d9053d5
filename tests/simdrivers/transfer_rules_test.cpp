// What the drivers make of a request's data phase: the PIO or DMA protocol an ATA command travels
// in (ATA pass-through's DMA flag, the CSMI STP flags), and the adapter's MaximumTransferLength on
// every request that moves data through the port, with the drive's own MDTS behind it.
#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "storage_fixture.h"

namespace simtest {
namespace {

// READ LOG DMA EXT of the IDENTIFY DEVICE DATA log, page 3 (48-bit), and IDENTIFY DEVICE.
const AtaRegs kLogPage3{.count = 1, .lba_low = 0x30, .lba_mid = 0x03, .command = 0x47};
const AtaRegs kIdentify{.count = 1, .command = 0xEC};
const AtaRegs kNoHighBytes{};

struct Registers {
  uint8_t status = 0, error = 0;
  uint32_t moved = 0;
  uint8_t first = 0;  // first data byte
};

// The reference machine: SATA drive A on the in-box AHCI driver (PhysicalDrive0), SATA drive D
// (PhysicalDrive4) and NVMe drive E (PathId 1) behind Intel RST on port 5, a CSMI port on the RST
// driver (D at 50 01 03 AA 00 00 00 00) and on a SAS HBA (port 11, S1 at 50 0A 0B 01 00 00 00 00).
class Ref1Transfers : public StorageTest {
 protected:
  void SetUp() override { sim::load_machine_file(std::string(MACHINES_DIR) + "/ref1.json"); }

  Registers ata(const char *path, uint16_t flags, const AtaRegs &regs, bool ext) {
    Buf b = ata_pass_through(flags, regs, ext ? &kNoHighBytes : nullptr, 512);
    Answer a = inout(open(path), kAtaPassThrough, b);
    EXPECT_TRUE(a.ok) << a.error;
    return {b.g8(46), b.g8(40), b.g32(8), b.g8(48)};
  }
  // CSMI STP (ControlCode 25) of `regs` with `flags`, 512 bytes in, to the drive at `address`.
  Registers stp(const char *port, const uint8_t address[8], uint32_t flags, const AtaRegs &regs) {
    Buf b = csmi_stp(address, flags, regs, 512);
    Answer a = inout(open(port), kScsiMiniport, b);
    EXPECT_TRUE(a.ok) << a.error;
    EXPECT_EQ(0u, b.g32(20)) << "ReturnCode";
    return {b.g8(78), b.g8(79), b.g32(160), b.g8(164)};
  }
};

// ATA pass-through on the in-box AHCI driver and on a SATA drive behind Intel RST: a DMA command
// without the DMA flag, or a PIO command with it, ends as the drive's abort with nothing moved.
TEST_F(Ref1Transfers, AtaPassThroughDmaFlagFollowsTheCommand) {
  for (const char *path : {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive4"}) {
    SCOPED_TRACE(path);
    Registers r = ata(path, 0x1B, kLogPage3, true);
    EXPECT_EQ(0x50, r.status);
    EXPECT_EQ(512u, r.moved);
    EXPECT_EQ(0x01, r.first) << "page 3 header";
    r = ata(path, 0x0B, kLogPage3, true);
    EXPECT_EQ(0x51, r.status);
    EXPECT_EQ(0x04, r.error);
    EXPECT_EQ(0u, r.moved);
    EXPECT_EQ(0, r.first);
    r = ata(path, 0x13, kIdentify, false);
    EXPECT_EQ(0x51, r.status);
    EXPECT_EQ(0u, r.moved);
    EXPECT_EQ(0x50, ata(path, 0x03, kIdentify, false).status);
  }
}

// CSMI STP on the RST port and on the SAS HBA: the Flags' PIO (10h) or DMA (20h) must be the
// command's own.
TEST_F(Ref1Transfers, CsmiStpFlagsFollowTheCommand) {
  const uint8_t d[8] = {0x50, 0x01, 0x03, 0xAA, 0, 0, 0, 0};
  const uint8_t s1[8] = {0x50, 0x0A, 0x0B, 0x01, 0, 0, 0, 0};
  const AtaRegs log{.count = 1, .lba_low = 0x30, .lba_mid = 0x03, .command = 0x47};
  for (const auto &[port, address] : {std::pair{"\\\\.\\Scsi5:", d}, std::pair{"\\\\.\\Scsi11:", s1}}) {
    SCOPED_TRACE(port);
    Registers r = stp(port, address, 0x21, log);
    EXPECT_EQ(0x50, r.status);
    EXPECT_EQ(512u, r.moved);
    r = stp(port, address, 0x11, log);
    EXPECT_EQ(0x51, r.status);
    EXPECT_EQ(0x04, r.error);
    EXPECT_EQ(0u, r.moved);
    EXPECT_EQ(0x51, stp(port, address, 0x21, kIdentify).status);
    EXPECT_EQ(0x50, stp(port, address, 0x11, kIdentify).status);
  }
}

// The Intel firmware information of an NVMe drive offers no piece larger than the drive's MDTS
// (128 KiB), and a larger piece reaches the drive only to be refused.
// An "IntelFw " request of `size` bytes for the drive at PathId 1 (E): the request block with
// `function` and `flags`, the structure's version and size at 56.
Buf intel_fw(size_t size, uint32_t function, uint32_t flags, uint32_t version, uint32_t structure) {
  Buf b(size);
  srb_header(b, "IntelFw ", 30, 0xF0000040);
  b.u8(28, 1);
  b.u8(29, 1);
  b.u32(32, 1);
  b.u32(36, 24);
  b.u32(40, function);
  b.u32(44, flags);
  b.u32(48, 56);
  b.u32(52, static_cast<uint32_t>(size - 56));
  b.u32(56, version);
  b.u32(60, structure);
  return b;
}

TEST_F(Ref1Transfers, IntelFirmwarePiecesStayWithinTheDrivesMdts) {
  HANDLE port = open("\\\\.\\Scsi5:");
  Buf info = intel_fw(848, 1, 0, 2, 24);
  ASSERT_TRUE(inout(port, kScsiMiniport, info).ok);
  ASSERT_EQ(0u, info.g32(20));
  EXPECT_EQ(0x20000u, info.g32(76)) << "ImagePayloadMaxSize";

  const uint32_t len = 0x20000 + 4096;
  std::vector<uint8_t> piece(len, 0);
  Buf dl = intel_fw(88 + len, 2, 1, 2, 32);
  dl.u64(72, len);
  dl.u8(80, 0xFF);
  dl.bytes(88, piece.data(), len);
  ASSERT_TRUE(inout(port, kScsiMiniport, dl).ok);
  EXPECT_EQ(3u, dl.g32(20)) << "invalid parameter";
  EXPECT_EQ(0u, sim::storage_drive("E").nvme->staged_bytes());
}

using TransferLimits = StorageTest;

// The port refuses a request whose data exceed the adapter's MaximumTransferLength before any
// unit sees it: ATA pass-through, the protocol command and the protocol-specific property.
TEST_F(TransferLimits, PortRefusesDataBeyondTheMaximumTransferLength) {
  sim::reset_machine();
  nlohmann::json m = storage_machine();
  m["storage"]["adapters"][0]["knobs"] = {{"max_transfer_length", 0x400000}};
  m["storage"]["adapters"][1]["knobs"] = {{"max_transfer_length", 4096}};
  sim::load_machine_json(m.dump());
  HANDLE sata = open("\\\\.\\PhysicalDrive1");
  const auto ata = sim::storage_ata(1);
  Buf fits = ata_pass_through(0x03, kIdentify, nullptr, 4096);
  ASSERT_TRUE(inout(sata, kAtaPassThrough, fits).ok);
  EXPECT_EQ(0x50, fits.g8(46));
  Buf over = ata_pass_through(0x03, kIdentify, nullptr, 4096 + 512);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(sata, kAtaPassThrough, over)));
  EXPECT_EQ(1u, ata->command_count(0xEC));

  // The NVMe adapter takes 4 MiB, its drive 128 KiB: the drive refuses what gets through.
  HANDLE nvme = open("\\\\.\\PhysicalDrive0");
  const auto ctl = sim::storage_nvme(0);
  NvmeCmd vendor{.cdw0 = 0xC6};
  Buf big = protocol_command(vendor, 0x20000 + 4096, 2);
  ASSERT_TRUE(inout(nvme, kProtocolCommand, big).ok);
  EXPECT_EQ(2u, big.g32(16)) << "ReturnStatus: a device error";
  EXPECT_EQ(0x02u, (big.g32(20) >> 1) & 0xFF) << "Invalid Field in Command";
  Buf q = protocol_query(49, 2, 0x05, 0, 0x20000 + 4096);
  Buf out(0x20000 + 4096 + 48);
  EXPECT_EQ(ERROR_IO_DEVICE, refused(inout2(nvme, kQueryProperty, q, out)));
  const uint32_t sent = ctl->command_count(0xC6) + ctl->command_count(0x02);
  EXPECT_EQ(2u, sent);

  sim::storage_adapter_configure("nvme", "{}");  // back to 128 KiB
  Buf refused_big = protocol_command(vendor, 0x20000 + 4096, 2);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(nvme, kProtocolCommand, refused_big)));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout2(nvme, kQueryProperty, q, out)));
  EXPECT_EQ(sent, ctl->command_count(0xC6) + ctl->command_count(0x02));
  Buf within = protocol_command(vendor, 0x20000, 2);
  ASSERT_TRUE(inout(nvme, kProtocolCommand, within).ok);
  EXPECT_EQ(sent + 1, ctl->command_count(0xC6) + ctl->command_count(0x02));
}

// A "FIRMWARE" download piece beyond the adapter's MaximumTransferLength is refused by the
// miniport (ReturnCode 3) and never reaches the drive; a larger adapter lets it through to the
// drive, whose MDTS refuses it the same way.
TEST_F(TransferLimits, FirmwarePiecesBeyondTheMaximumTransferLength) {
  HANDLE h = open("\\\\.\\PhysicalDrive0");
  const auto ctl = sim::storage_nvme(0);
  const std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "CV1.0.01", 0x40000);
  const uint32_t over = 0x20000 + 4096;
  Buf a = firmware_download(0, image.data(), over);
  ASSERT_TRUE(inout(h, kScsiMiniport, a).ok);
  EXPECT_EQ(3u, a.g32(20));
  EXPECT_EQ(0u, ctl->command_count(0x11));
  sim::storage_adapter_configure("nvme", R"({"max_transfer_length": 4194304})");
  Buf b = firmware_download(0, image.data(), over);
  ASSERT_TRUE(inout(h, kScsiMiniport, b).ok);
  EXPECT_EQ(3u, b.g32(20));
  EXPECT_EQ(1u, ctl->command_count(0x11));
  EXPECT_EQ(0u, ctl->staged_bytes());
  Buf c = firmware_download(0, image.data(), 0x20000);
  ASSERT_TRUE(inout(h, kScsiMiniport, c).ok);
  EXPECT_EQ(0u, c.g32(20));
  EXPECT_EQ(0x20000u, ctl->staged_bytes());
}

// The storage firmware requests of the in-box AHCI driver offer, and take, no piece beyond the
// adapter's MaximumTransferLength.
TEST_F(TransferLimits, StorageFirmwarePiecesWithinTheMaximumTransferLength) {
  sim::storage_adapter_configure("ahci", R"({"max_transfer_length": 65536})");
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  Buf gi(16);
  gi.u32(0, 16);
  gi.u32(4, 16);
  Buf info(56);
  ASSERT_TRUE(inout2(h, kFwGetInfo, gi, info).ok);
  EXPECT_EQ(65536u, info.g32(20)) << "ImagePayloadMaxSize";
  const std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Ata, "CVS1.001", 0x20000);
  for (const uint32_t len : {65536u + 512, 65536u}) {
    Buf dl(len + 40);
    dl.u32(0, 40);
    dl.u32(4, len + 40);
    dl.u64(24, len);
    dl.bytes(32, image.data(), len);
    Answer a = inout(h, kFwDownload, dl);
    EXPECT_EQ(len == 65536, a.ok != FALSE) << len;
  }
  EXPECT_EQ(65536u, sim::storage_ata(1)->staged_bytes());
}

}  // namespace
}  // namespace simtest

// The in-box NVMe driver: property queries, the protocol command, temperature thresholds, the
// "FIRMWARE" request, the SCSI translation, the Windows 8.1 behaviour and its faults.
#include <algorithm>
#include <thread>

#include "sim/drives/nvme_controller.h"
#include "storage_fixture.h"

namespace simtest {
namespace {

const char *kDisk = "\\\\.\\PhysicalDrive0";

class InboxNvme : public StorageTest {
 protected:
  // Identify Controller through the adapter property; the 4096 data bytes.
  std::vector<uint8_t> identify(HANDLE h) {
    Buf q = protocol_query(49, 1, 1, 0, 4096);
    Buf out(4096 + 48);
    Answer a = inout2(h, kQueryProperty, q, out);
    EXPECT_TRUE(a.ok) << a.error;
    return std::vector<uint8_t>(out.b.begin() + 48, out.b.end());
  }
  std::string revision(HANDLE h) {
    auto id = identify(h);
    return std::string(id.begin() + 64, id.begin() + 72);
  }
  // Drive 0 answers its listed vendor command C6h with "VENDOR" at the start of the data.
  static void vendor_answers() {
    sim::storage_nvme(0)->set_vendor_handler(
        [](sim::NvmeController &, const sim::NvmeCommand &, bool, uint8_t *data, uint32_t len) {
          sim::NvmeCompletion c;
          if (data && len >= 6) std::memcpy(data, "VENDOR", 6);
          c.data_transferred = len;
          return c;
        });
  }
  Answer reset_port(uint8_t path_id = 0) {
    HANDLE port = open("\\\\.\\Scsi0:");
    Answer a;
    a.ok = DeviceIoControl(port, kResetBus, &path_id, 1, nullptr, 0, &a.returned, nullptr);
    return a;
  }
};

TEST_F(InboxNvme, AdapterPropertyAnswersIdentifyControllerOnDiskAndAdapter) {
  for (const char *path : {kDisk, "\\\\.\\Scsi0:"}) {
    HANDLE h = open(path);
    Buf q = protocol_query(49, 1, 1, 0, 4096);
    Buf out(4096 + 48);
    Answer a = inout2(h, kQueryProperty, q, out);
    ASSERT_TRUE(a.ok) << path;
    EXPECT_EQ(4096u + 48, a.returned);
    EXPECT_EQ(4096u, out.g32(28)) << "ProtocolDataLength";
    EXPECT_EQ(40u, out.g32(24)) << "ProtocolDataOffset kept";
    EXPECT_EQ(3u, out.g32(8));
    EXPECT_EQ("CVN512SER0001       ", out.str(48 + 4, 20));
    EXPECT_EQ("CORVANE CVN-512 NVMe SSD", out.str(48 + 24, 24));
    EXPECT_EQ("CV1.0.00", out.str(48 + 64, 8));
  }
}

TEST_F(InboxNvme, ControllerWithoutNamespaceAnswersControllerRequestsOnly) {
  HANDLE h = open("\\\\.\\Scsi5:");
  auto id = identify(h);
  EXPECT_EQ("CORVANE CVN-BARE", std::string(id.begin() + 24, id.begin() + 40));
  // Identify Namespace through the device property: the controller refuses, the call fails.
  Buf q = protocol_query(50, 1, 0, 0, 4096);
  Buf out(4096 + 48);
  EXPECT_EQ(ERROR_IO_DEVICE, refused(inout2(h, kQueryProperty, q, out)));
  // The protocol command reaches the controller too with a vendor command it lists (which it
  // does not know how to run).
  NvmeCmd vendor{.cdw0 = 0xC2, .nsid = 1};
  Buf n = protocol_command(vendor, 4096, 2);
  ASSERT_TRUE(inout(h, kProtocolCommand, n).ok);
  EXPECT_EQ(2u, n.g32(16));
  EXPECT_EQ(0x01u << 1, n.g32(20)) << "invalid opcode";
  // No unit: SCSI pass-through finds nothing at 0/0/0.
  Buf s = scsi_pass_through(kInquiryCdb, 512, 2);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(h, kScsiPassThrough, s)));
}

TEST_F(InboxNvme, PropertyLayoutViolationsAreCounted) {
  HANDLE h = open(kDisk);
  Buf q = protocol_query(49, 1, 1, 0, 4096);
  q.u32(24, 0);  // ProtocolDataOffset inside the block
  Buf out(4096 + 48);
  EXPECT_FALSE(inout2(h, kQueryProperty, q, out).ok);
  Buf r = protocol_query(49, 1, 1, 0, 4096);
  Buf small(1024);  // output smaller than the data asked
  EXPECT_FALSE(inout2(h, kQueryProperty, r, small).ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  Buf t(44);  // input too short for the block
  t.u32(0, 49);
  EXPECT_FALSE(inout2(h, kQueryProperty, t, out).ok);
  EXPECT_EQ(3u, take_violations());
}

TEST_F(InboxNvme, ShortProtocolDataLengthAndFixedReturnDataFaults) {
  HANDLE h = open(kDisk);
  fault(kDisk, kQueryProperty, "short_transfer", 100);
  fault(kDisk, kQueryProperty, "completion_dw0", 0xABCD);
  Buf q = protocol_query(49, 1, 1, 0, 4096);
  Buf out(4096 + 48);
  Answer a = inout2(h, kQueryProperty, q, out);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(100u, out.g32(28));
  EXPECT_EQ(148u, a.returned);
  EXPECT_EQ(0xABCDu, out.g32(32));
}

// Log pages: from build 20348 on the driver reads SubValue3 as the log specific identifier and
// SubValue4 as RAE (bit 0), LSP (bits 4:1) and UUID index (bits 14:8), refusing reserved bits;
// older builds ignore them.
TEST_F(InboxNvme, LogPageSubValuesFromBuild20348) {
  HANDLE h = open(kDisk);
  Buf out(512 + 48);
  Buf whole = protocol_query(49, 2, 3, 0, 512, 0, 0, 0x007F0003);  // a whole CDW10 in SubValue4
  ASSERT_TRUE(inout2(h, kQueryProperty, whole, out).ok);
  sim::OsInfo os = sim::machine_os();
  os.build = 22631;
  sim::set_machine_os(os);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout2(h, kQueryProperty, whole, out)));
  Buf wide = protocol_query(49, 2, 3, 0, 512, 0, 0x10000, 0);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout2(h, kQueryProperty, wide, out)));
  Buf fields = protocol_query(49, 2, 3, 0, 512, 0, 0xAB, 0x7507);
  ASSERT_TRUE(inout2(h, kQueryProperty, fields, out).ok);
  const auto notes = last_trace().notes;
  EXPECT_EQ(notes.at("nvme_cdw10"), "0x7f8303");  // NUMD 7Fh, RAE, LSP 3, LID 3
  EXPECT_EQ(notes.at("nvme_cdw11"), "0xab0000");
  EXPECT_EQ(notes.at("nvme_cdw14"), "0x75");
}

TEST_F(InboxNvme, ProtocolCommandRunsAdminCommandsAndReportsNvmeStatus) {
  HANDLE h = open(kDisk);
  auto ctl = sim::storage_nvme(0);
  vendor_answers();
  NvmeCmd listed{.cdw0 = 0xC6};
  Buf b = protocol_command(listed, 4096, 2, 2);
  Answer a = inout(h, kProtocolCommand, b);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(b.size(), a.returned);
  EXPECT_EQ(1u, b.g32(16)) << "ReturnStatus success";
  EXPECT_EQ(0u, b.g32(20));
  EXPECT_EQ("VENDOR", b.str(208, 6));
  EXPECT_EQ(2u, *last_trace().timeout);
  ctl->set_vendor_handler({});

  // A listed opcode the controller does not know: ReturnStatus 2, ErrorCode = status field (SC 1
  // in bits 8:1), so that ErrorCode << 16 puts SCT/SC at bits 27:25 / 24:17.
  NvmeCmd bad{.cdw0 = 0xC0};
  Buf e = protocol_command(bad, 0, 0);
  a = inout(h, kProtocolCommand, e);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(2u, e.g32(16));
  EXPECT_EQ(0x0002u, e.g32(20));
  const uint32_t cpl3 = e.g32(20) << 16;
  EXPECT_EQ(0u, (cpl3 >> 25) & 7);
  EXPECT_EQ(1u, (cpl3 >> 17) & 0xFF);

  // A listed NVM vendor command reaches the controller too.
  NvmeCmd nvm{.cdw0 = 0x80, .nsid = 1, .admin = false};
  Buf v = protocol_command(nvm, 0, 0);
  ASSERT_TRUE(inout(h, kProtocolCommand, v).ok);
  EXPECT_EQ(2u, v.g32(16));
}

// The pass-through takes only vendor-specific commands (admin C0h-FFh, NVM 80h-FFh) that the drive
// lists in its Commands Supported and Effects log; anything else is refused with ReturnStatus 3
// (invalid request) and never reaches the drive.
TEST_F(InboxNvme, ProtocolCommandPassesOnlyListedVendorCommands) {
  HANDLE h = open(kDisk);
  auto ctl = sim::storage_nvme(0);
  const NvmeCmd refused_cmds[] = {{.cdw0 = 0x06, .cdw10 = 1},                // Identify
                                  {.cdw0 = 0x0C},                            // not vendor-specific
                                  {.cdw0 = 0xC1},                            // vendor, not listed
                                  {.cdw0 = 0x00, .nsid = 1, .admin = false},  // Flush
                                  {.cdw0 = 0x81, .nsid = 1, .admin = false}};  // vendor, not listed
  for (const NvmeCmd &c : refused_cmds) {
    Buf b = protocol_command(c, (c.cdw0 & 2) ? 4096 : 0, (c.cdw0 & 2) ? 2 : 0);
    ASSERT_TRUE(inout(h, kProtocolCommand, b).ok) << c.cdw0;
    EXPECT_EQ(3u, b.g32(16)) << c.cdw0;
  }
  EXPECT_EQ(0u, ctl->command_count(0x06) + ctl->command_count(0x0C) + ctl->command_count(0xC1));
  // The log the driver reads: CSUPP of admin C0h and NVM 80h set, of C1h clear.
  std::vector<uint8_t> log(4096);
  sim::NvmeCommand get;
  get.cdw0 = 0x02;
  get.cdw10 = 0x05 | 1023u << 16;
  ASSERT_TRUE(ctl->admin(get, log.data(), 4096).ok());
  EXPECT_EQ(1, log[4 * 0xC0]);
  EXPECT_EQ(0, log[4 * 0xC1]);
  EXPECT_EQ(1, log[1024 + 4 * 0x80]);
}

TEST_F(InboxNvme, ProtocolCommandLayoutViolations) {
  HANDLE h = open(kDisk);
  NvmeCmd id{.cdw0 = 0x06, .cdw10 = 1};
  Buf a = protocol_command(id, 4096, 2);
  a.u32(4, 80);  // Length
  EXPECT_FALSE(inout(h, kProtocolCommand, a).ok);
  Buf b = protocol_command(id, 4096, 2);
  b.u32(32, 16);  // data both ways
  b.u32(48, 208);
  EXPECT_FALSE(inout(h, kProtocolCommand, b).ok);
  Buf c = protocol_command(id, 4096, 2);
  c.u32(36, 8192);  // beyond the buffer
  EXPECT_FALSE(inout(h, kProtocolCommand, c).ok);
  Buf d = protocol_command(id, 4096, 2);
  d.u32(56, 0);  // neither admin nor NVM
  EXPECT_FALSE(inout(h, kProtocolCommand, d).ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(4u, take_violations());
}

TEST_F(InboxNvme, ProtocolCommandFaults) {
  HANDLE h = open(kDisk);
  vendor_answers();
  NvmeCmd id{.cdw0 = 0xC6};
  // ERROR_IO_DEVICE on the first three sends, then the command goes through.
  for (uint32_t n = 1; n <= 3; ++n) sim::fail_ioctl(kDisk, kProtocolCommand, ERROR_IO_DEVICE, sim::FaultCount::at(n));
  int sends = 0;
  Answer a;
  do {
    Buf b = protocol_command(id, 4096, 2);
    a = inout(h, kProtocolCommand, b);
    ++sends;
  } while (!a.ok && a.error == ERROR_IO_DEVICE && sends < 11);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(4, sends);
  sim::clear_faults();

  // An NVMe status instead of the command: ReturnStatus 2 with it in ErrorCode, DW0 as given.
  fault(kDisk, kProtocolCommand, "nvme_status", 0x0107, 0x55);
  Buf b = protocol_command(id, 4096, 2);
  ASSERT_TRUE(inout(h, kProtocolCommand, b).ok);
  EXPECT_EQ(2u, b.g32(16));
  EXPECT_EQ(static_cast<uint32_t>(1u << 9 | 7u << 1), b.g32(20));
  EXPECT_EQ(0x55u, b.g32(64));
  sim::clear_faults();

  // ReturnStatus other than 1 on a command the drive completed.
  fault(kDisk, kProtocolCommand, "return_status", 4);
  Buf c = protocol_command(id, 4096, 2);
  ASSERT_TRUE(inout(h, kProtocolCommand, c).ok);
  EXPECT_EQ(4u, c.g32(16));
  EXPECT_EQ("VENDOR", c.str(208, 6));
}

// The threshold held for the disk is checked end to end by the command-set device tests.
TEST_F(InboxNvme, TemperatureThresholdLayoutAndDriver) {
  HANDLE h = open(kDisk);
  Buf t(16);
  t.u32(0, 12);
  t.u32(4, 16);
  Buf none;
  EXPECT_FALSE(inout2(h, kTemperatureThreshold, t, none).ok);
  EXPECT_EQ(1u, take_violations());
  // Not a request of the AHCI driver.
  HANDLE sata = open("\\\\.\\PhysicalDrive1");
  t.u32(0, 16);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout2(sata, kTemperatureThreshold, t, none)));
}

// The whole image in 8192-byte pieces through the "FIRMWARE" request, then activation of slot 2.
void firmware_update(HANDLE h, const std::vector<uint8_t> &image, uint32_t timeout = 30) {
  for (size_t off = 0; off < image.size(); off += 8192) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(8192, image.size() - off));
    Buf d = firmware_download(off, image.data() + off, n, timeout);
    Answer a = inout(h, kScsiMiniport, d);
    ASSERT_TRUE(a.ok);
    ASSERT_EQ(d.size(), a.returned);
    ASSERT_EQ(0u, d.g32(20)) << "download ReturnCode at " << off;
  }
}

TEST_F(InboxNvme, FirmwareRequestOnTheAdapterHandle) {
  HANDLE port = open("\\\\.\\Scsi0:");
  auto image = sim::make_test_image(sim::ImageTarget::Nvme, "CV2.0.01", 8193);
  firmware_update(port, image);
  sim::storage_nvme(0)->set_activation(sim::NvmeActivation::AtCommit);
  Buf act = firmware_activate(2);
  ASSERT_TRUE(inout(port, kScsiMiniport, act).ok);
  EXPECT_EQ(0u, act.g32(20));
  EXPECT_EQ("CV2.0.01", sim::storage_nvme(0)->running_revision());
}

TEST_F(InboxNvme, FirmwareActivationReturnCodes) {
  HANDLE h = open(kDisk);
  auto image = sim::make_test_image(sim::ImageTarget::Nvme, "CV2.0.02", 8192);
  // The knob: activation answers 20h (takes effect at the next reset).
  sim::storage_adapter_configure("nvme", R"({"firmware_activate_return_code": 32})");
  firmware_update(h, image);
  Buf act = firmware_activate(2);
  ASSERT_TRUE(inout(h, kScsiMiniport, act).ok);
  EXPECT_EQ(0x20u, act.g32(20));
  // A refused activation leaves the drive alone.
  sim::storage_adapter_configure("nvme", "{}");
  firmware_update(h, image);
  fault(kDisk, kScsiMiniport, "return_code", 7);
  Buf act2 = firmware_activate(1);
  ASSERT_TRUE(inout(h, kScsiMiniport, act2).ok);
  EXPECT_EQ(7u, act2.g32(20));
  EXPECT_EQ(8192u, sim::storage_nvme(0)->staged_bytes()) << "nothing reached the drive";
  EXPECT_EQ(2, sim::storage_nvme(0)->pending_slot()) << "the first activation stays pending";
  sim::clear_faults();
  // A bad image: the drive refuses the commit, ReturnCode says invalid image.
  Buf act3 = firmware_activate(1);
  auto broken = image;
  broken[200] ^= 1;
  sim::storage_nvme(0)->controller_reset();
  firmware_update(h, broken);
  ASSERT_TRUE(inout(h, kScsiMiniport, act3).ok);
  EXPECT_EQ(7u, act3.g32(20));
}

TEST_F(InboxNvme, FirmwareRequestLayoutIsChecked) {
  HANDLE h = open(kDisk);
  uint8_t piece[16] = {};
  Buf a = firmware_download(0, piece, 16);
  a.u32(24, 20);  // Length not size - 28
  EXPECT_FALSE(inout(h, kScsiMiniport, a).ok);
  Buf b = firmware_download(0, piece, 16);
  b.u32(32, 20);  // request block Size
  EXPECT_FALSE(inout(h, kScsiMiniport, b).ok);
  Buf c = firmware_download(0, piece, 16);
  c.u64(72, 4096);  // BufferSize beyond the request
  EXPECT_FALSE(inout(h, kScsiMiniport, c).ok);
  Buf d = firmware_activate(1);
  d.u32(44, 60);
  d.u32(48, 12);  // structure beyond the request
  EXPECT_FALSE(inout(h, kScsiMiniport, d).ok);
  EXPECT_EQ(4u, take_violations());
  EXPECT_EQ(0u, sim::storage_nvme(0)->staged_bytes());
}

TEST_F(InboxNvme, ProtocolCommandDownloadAndCommitThenBusReset) {
  HANDLE h = open(kDisk);
  // The protocol command does not carry firmware commands: the driver refuses them, and the image
  // travels as "FIRMWARE" requests.
  NvmeCmd dl{.cdw0 = 0x11};
  Buf p = protocol_command(dl, 4096, 1);
  ASSERT_TRUE(inout(h, kProtocolCommand, p).ok);
  EXPECT_EQ(3u, p.g32(16));
  firmware_update(h, sim::make_test_image(sim::ImageTarget::Nvme, "CV3.0.00", 20000));
  Buf c = firmware_activate(2);
  ASSERT_TRUE(inout(h, kScsiMiniport, c).ok);
  ASSERT_EQ(0u, c.g32(20));
  EXPECT_EQ("CV1.0.00", revision(h));
  // A reset of another bus leaves the drive alone.
  ASSERT_TRUE(reset_port(1).ok);
  EXPECT_EQ("CV1.0.00", revision(h));
  ASSERT_TRUE(reset_port(0).ok);
  EXPECT_EQ("CV3.0.00", revision(h));
}

// INQUIRY, VPD 80h, READ(16) and WRITE BUFFER through the translation are checked end to end by
// the command-set device tests; here what the translation refuses.
TEST_F(InboxNvme, ScsiTranslationRefusesForeignCommands) {
  HANDLE h = open(kDisk);
  Answer a;
  // Foreign CDBs: the SAT probe and the bridge probe get CHECK CONDITION, invalid opcode.
  for (const auto &cdb : {kSatIdentifyCdb, std::vector<uint8_t>{0xE6, 0x06, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    Buf s = scsi_pass_through(cdb, 512, 2);
    a = inout(h, kScsiPassThrough, s);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(2, s.g8(2));
    EXPECT_EQ(18, s.g8(7));
    EXPECT_EQ(0x70, s.g8(56));
    EXPECT_EQ(0x05, s.g8(56 + 2) & 0x0F);
    EXPECT_EQ(0x20, s.g8(56 + 12));
    EXPECT_EQ(56u + 18, a.returned);
  }
  // Not an ATA device.
  AtaRegs id{.count = 1, .command = 0xEC};
  Buf ata = ata_pass_through(0x03, id, nullptr, 512, 1);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(h, kAtaPassThrough, ata)));
}

TEST_F(InboxNvme, WriteBufferActivationWithoutAnImageIsASequenceError) {
  HANDLE h = open(kDisk);
  Buf again = scsi_pass_through({0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 1);
  ASSERT_TRUE(inout(h, kScsiPassThrough, again).ok);
  EXPECT_EQ(2, again.g8(2));
  EXPECT_EQ(0x2C, again.g8(56 + 12));
}

TEST_F(InboxNvme, Windows81ModeByKnobAndByOperatingSystem) {
  for (int variant = 0; variant < 2; ++variant) {
    if (variant == 0) {
      sim::storage_adapter_configure("nvme", R"({"windows81_mode": true})");
    } else {
      sim::storage_adapter_configure("nvme", "{}");
      sim::OsInfo os = sim::machine_os();
      os.major = 6;
      os.minor = 3;
      sim::set_machine_os(os);
    }
    HANDLE h = open(kDisk);
    Buf q = protocol_query(49, 1, 1, 0, 4096);
    Buf out(4096 + 48);
    EXPECT_EQ(ERROR_NOT_SUPPORTED, refused(inout2(h, kQueryProperty, q, out)));
    NvmeCmd id{.cdw0 = 0x06, .cdw10 = 1};
    Buf p = protocol_command(id, 4096, 2);
    EXPECT_EQ(ERROR_NOT_SUPPORTED, refused(inout(h, kProtocolCommand, p)));
    // The INQUIRY probe still answers, with the controller's identity.
    Buf inq = scsi_pass_through(kInquiryCdb, 512, 2);
    ASSERT_TRUE(inout(h, kScsiPassThrough, inq).ok);
    EXPECT_EQ("NVMe    ", inq.str(88 + 8, 8));
    EXPECT_EQ("CORVANE CVN-512 ", inq.str(88 + 16, 16));
    // WRITE BUFFER is not translated.
    Buf wb = scsi_pass_through({0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 1);
    ASSERT_TRUE(inout(h, kScsiPassThrough, wb).ok);
    EXPECT_EQ(2, wb.g8(2));
    EXPECT_EQ(0x20, wb.g8(56 + 12));
  }
  // The firmware then arrives as "FIRMWARE" requests: download at the CDB offset, slot 1.
  HANDLE h = open(kDisk);
  auto image = sim::make_test_image(sim::ImageTarget::Nvme, "CV8.1.00", 12000);
  firmware_update(h, image, 2);
  Buf act = firmware_activate(1, 1);
  ASSERT_TRUE(inout(h, kScsiMiniport, act).ok);
  EXPECT_EQ(0u, act.g32(20));
  ASSERT_TRUE(reset_port().ok);
  EXPECT_EQ("CV8.1.00", sim::storage_nvme(0)->running_revision());
}

TEST_F(InboxNvme, ForeignMiniportSignaturesAndStorageFirmwareRequests) {
  HANDLE disk = open(kDisk);
  Buf intel(28 + 4096);
  srb_header(intel, "IntelNvm", 0, 0xF0002808);
  Answer a;
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(disk, kScsiMiniport, intel)));
  EXPECT_EQ("IntelNvm", last_trace().signature);
  // A port configured to answer foreign signatures with ReturnCode 1 leaves the rest untouched.
  sim::storage_adapter_knobs(0)->foreign_miniport_rc = true;
  HANDLE port = open("\\\\.\\Scsi0:");
  Buf mini(28 + 64);
  srb_header(mini, "NvmeMini", 0, 0xE0002000);
  mini.u8(60, 0x5A);
  const auto before = mini.b;
  a = inout(port, kScsiMiniport, mini);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(mini.size(), a.returned);
  EXPECT_EQ(1u, mini.g32(20));
  mini.u32(20, 0);
  EXPECT_EQ(before, mini.b);
  // Still F(1) on the disk handle.
  Buf mini2(28 + 64);
  srb_header(mini2, "NvmeMini", 0, 0xE0002000);
  EXPECT_FALSE(inout(disk, kScsiMiniport, mini2).ok);
  Buf gi(16);
  gi.u32(0, 16);
  gi.u32(4, 16);
  Buf gout(56);
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout2(disk, kFwGetInfo, gi, gout)));
}

TEST_F(InboxNvme, SenseFaultsReachTheCaller) {
  HANDLE h = open(kDisk);
  // Descriptor sense, NOT READY / becoming ready.
  fault(kDisk, kScsiPassThrough, "scsi_status", 0x02, 1u << 24 | 0x02 << 16 | 0x04 << 8 | 0x01,
        sim::FaultCount::at(1));
  Buf a = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, a).ok);
  EXPECT_EQ(2, a.g8(2));
  EXPECT_EQ(0x72, a.g8(56));
  EXPECT_EQ(0x02, a.g8(57));
  EXPECT_EQ(0x04, a.g8(58));
  EXPECT_EQ(0x01, a.g8(59));
  EXPECT_EQ(0u, a.g32(12)) << "no data moved";
  // A reported sense length below 32 and a BUSY status without sense.
  fault(kDisk, kScsiPassThrough, "sense_length", 8, 0, sim::FaultCount::at(1));
  fault(kDisk, kScsiPassThrough, "scsi_status", 0x02, 0x05 << 16 | 0x24 << 8, sim::FaultCount::at(1));
  Buf b = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, b).ok);
  EXPECT_EQ(8, b.g8(7));
  fault(kDisk, kScsiPassThrough, "scsi_status", 0x08, 0, sim::FaultCount::at(1));
  Buf c = scsi_pass_through(kInquiryCdb, 512, 2);
  Answer r = inout(h, kScsiPassThrough, c);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(0x08, c.g8(2));
  EXPECT_EQ(0, c.g8(7));
  EXPECT_EQ(56u, r.returned);
  // TASK ABORTED with the sense bytes given as they are.
  sim::FaultRule aborted;
  aborted.match.op = sim::FaultOp::ioctl;
  aborted.match.path = kDisk;
  aborted.match.control_code = kScsiPassThrough;
  aborted.match.count = sim::FaultCount::at(1);
  aborted.action = sim::FaultAction::custom_action("scsi_status", 0x40);
  aborted.action.bytes = {0x70, 0, 0x0B, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0B, 0x08, 0, 0, 0, 0};
  sim::add_fault(aborted);
  Buf t = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(h, kScsiPassThrough, t).ok);
  EXPECT_EQ(0x40, t.g8(2));
  EXPECT_EQ(18, t.g8(7));
  EXPECT_EQ(0x0B, t.g8(56 + 2));
  EXPECT_EQ(0x08, t.g8(56 + 13));
  // Short data-in.
  fault(kDisk, kScsiPassThrough, "short_transfer", 5, 0, sim::FaultCount::at(1));
  Buf d = scsi_pass_through(kInquiryCdb, 512, 2);
  r = inout(h, kScsiPassThrough, d);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(5u, d.g32(12));
  EXPECT_EQ(93u, r.returned);
}

TEST_F(InboxNvme, ScsiPassThroughLayoutIsChecked) {
  HANDLE h = open(kDisk);
  Buf a = scsi_pass_through(kInquiryCdb, 512, 2);
  a.u16(0, 44);  // the 32-bit layout
  EXPECT_FALSE(inout(h, kScsiPassThrough, a).ok);
  Buf b = scsi_pass_through(kInquiryCdb, 512, 2);
  b.u8(6, 17);
  EXPECT_FALSE(inout(h, kScsiPassThrough, b).ok);
  Buf c = scsi_pass_through(kInquiryCdb, 512, 2);
  c.u32(12, 600);  // data beyond the buffer
  EXPECT_FALSE(inout(h, kScsiPassThrough, c).ok);
  Buf d = scsi_pass_through(kInquiryCdb, 512, 2);
  d.u32(32, 300);  // sense placed anywhere inside the buffer is fine
  EXPECT_TRUE(inout(h, kScsiPassThrough, d).ok);
  EXPECT_EQ(3u, take_violations());
}


// Two drives behind one port, updated side by side through two handles.
TEST_F(InboxNvme, TwoDrivesOnOnePortUpdateConcurrently) {
  sim::load_machine_json(R"({"storage": {"adapters": [{"id": "n", "personality": "inbox_nvme"}],
      "disks": [{"adapter": "n", "nvme": {"firmware": "A0000001", "activation": "commit"}},
                {"adapter": "n", "address": {"target_id": 1}, "nvme": {"firmware": "B0000001", "activation": "commit"}}]}})");
  const std::vector<uint8_t> images[2] = {sim::make_test_image(sim::ImageTarget::Nvme, "A0000002", 40000),
                                          sim::make_test_image(sim::ImageTarget::Nvme, "B0000002", 40000)};
  HANDLE handles[2] = {open("\\\\.\\PhysicalDrive0"), open("\\\\.\\PhysicalDrive1")};
  bool ok[2] = {true, true};
  auto update = [&](int i) {
    const auto &image = images[i];
    for (size_t off = 0; off < image.size() && ok[i]; off += 4096) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, image.size() - off));
      Buf d = firmware_download(off, image.data() + off, n);
      DWORD ret = 0;
      ok[i] = DeviceIoControl(handles[i], kScsiMiniport, d.data(), d.size(), d.data(), d.size(), &ret, nullptr) &&
              d.g32(20) == 0;
    }
    Buf act = firmware_activate(2);
    DWORD ret = 0;
    ok[i] = ok[i] && DeviceIoControl(handles[i], kScsiMiniport, act.data(), act.size(), act.data(), act.size(), &ret,
                                     nullptr) &&
            act.g32(20) == 0;
  };
  std::thread t0(update, 0), t1(update, 1);
  t0.join();
  t1.join();
  EXPECT_TRUE(ok[0]);
  EXPECT_TRUE(ok[1]);
  EXPECT_EQ("A0000002", sim::storage_nvme(0)->running_revision());
  EXPECT_EQ("B0000002", sim::storage_nvme(1)->running_revision());
}


// Rules keyed by what the front-end decoded: only the download commands fail.
TEST_F(InboxNvme, FrontEndKeyedFaultsPickCommandsByOpcode) {
  HANDLE h = open(kDisk);
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"request", "protocol_command"}, {"nvme_opcode", sim::fault_key(0x11)}};
  rule.action = sim::FaultAction::fail_with(ERROR_IO_DEVICE);
  const int id = sim::add_fault(rule);
  NvmeCmd ident{.cdw0 = 0x06, .cdw10 = 1};
  Buf a = protocol_command(ident, 4096, 2);
  EXPECT_TRUE(inout(h, kProtocolCommand, a).ok);
  uint8_t piece[4096] = {};
  NvmeCmd dl{.cdw0 = 0x11, .cdw10 = 1023};
  Buf b = protocol_command(dl, 4096, 1, 30, piece);
  EXPECT_EQ(ERROR_IO_DEVICE, refused(inout(h, kProtocolCommand, b)));
  EXPECT_EQ(1u, sim::fault_fired(id));
  EXPECT_EQ(0u, sim::storage_nvme(0)->staged_bytes());
  // A "FIRMWARE" download refused by ReturnCode never reaches the drive.
  fault(kDisk, kScsiMiniport, "return_code", 1);
  Buf d = firmware_download(0, piece, 4096);
  ASSERT_TRUE(inout(h, kScsiMiniport, d).ok);
  EXPECT_EQ(1u, d.g32(20));
  EXPECT_EQ(0u, sim::storage_nvme(0)->staged_bytes());
}


TEST_F(InboxNvme, ControllerWithoutNamespaceTakesFirmwareAndTheBusReset) {
  HANDLE h = open("\\\\.\\Scsi5:");
  auto image = sim::make_test_image(sim::ImageTarget::Nvme, "2.0.0", 8192);
  firmware_update(h, image);
  Buf act = firmware_activate(2);
  ASSERT_TRUE(inout(h, kScsiMiniport, act).ok);
  ASSERT_EQ(0u, act.g32(20));
  EXPECT_EQ("1.0.0", sim::storage_adapter_nvme(5)->running_revision());
  uint8_t path_id = 0;
  DWORD ret = 0;
  ASSERT_TRUE(DeviceIoControl(h, kResetBus, &path_id, 1, nullptr, 0, &ret, nullptr));
  EXPECT_EQ("2.0.0", sim::storage_adapter_nvme(5)->running_revision());
}

}  // namespace
}  // namespace simtest

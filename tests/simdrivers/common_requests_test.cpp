// Requests every logical unit answers, the path namespace of adapters and disks, and the machine
// description of the storage section.
#include <nlohmann/json.hpp>

#include "storage_fixture.h"

namespace simtest {
namespace {

using CommonRequests = StorageTest;

TEST_F(CommonRequests, EveryAliasOfADiskNamesTheSameDisk) {
  const auto disks = sim::storage_disks();
  ASSERT_EQ(4u, disks.size());
  EXPECT_EQ("\\\\?\\scsi#disk&ven_nvme&prod_corvane_cvn-512#5&1a2b&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
            disks[0].interface_path);
  for (const std::string &path : {std::string("\\\\.\\PhysicalDrive0"), std::string("\\\\.\\GLOBALROOT\\Device\\00000031"),
                                  disks[0].interface_path, std::string("\\\\.\\physicaldrive0"),
                                  std::string("\\\\?\\SCSI#DISK&VEN_NVME&PROD_CORVANE_CVN-512#5&1A2B&0&000000#"
                                              "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}")}) {
    HANDLE h = open(path);
    Buf out(12);
    Buf in;
    Answer a = inout2(h, kGetDeviceNumber, in, out);
    ASSERT_TRUE(a.ok) << path;
    EXPECT_EQ(12u, a.returned);
    EXPECT_EQ(7u, out.g32(0));
    EXPECT_EQ(0u, out.g32(4));
    EXPECT_EQ(0u, out.g32(8));
  }
  HANDLE h = CreateFileA("\\\\.\\PhysicalDrive9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(CommonRequests, AdapterPathsNameTheAdapter) {
  HANDLE scsi = open("\\\\.\\Scsi0:");
  HANDLE port = open("\\\\?\\pci#ven_abcd&dev_5010&subsys_00000000#4&2b1f&0&00e8#{2accfe60-c130-11d2-b082-00a0c91efb8b}");
  for (HANDLE h : {scsi, port}) {
    Buf in, out(12);
    EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout2(h, kGetDeviceNumber, in, out)));
    Buf addr(8);
    EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout(h, kGetAddress, addr)));
  }
  // Both answer controller requests of the same controller.
  for (HANDLE h : {scsi, port}) {
    Buf q = protocol_query(49, 1, 1, 0, 4096);
    Buf out(4096 + 48);
    ASSERT_TRUE(inout2(h, kQueryProperty, q, out).ok);
    EXPECT_EQ("CVN512SER0001", out.str(48 + 4, 13));
  }
}

TEST_F(CommonRequests, DeviceNumberNeedsItsTwelveBytesAndCanBeFaulted) {
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  Buf in, small(8);
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, refused(inout2(h, kGetDeviceNumber, in, small)));
  fault("\\\\.\\GLOBALROOT\\Device\\00000032", kGetDeviceNumber, "device_number", 5);
  Buf out(12);
  ASSERT_TRUE(inout2(h, kGetDeviceNumber, in, out).ok);
  EXPECT_EQ(5u, out.g32(4));
}

TEST_F(CommonRequests, StandardDescriptorHeadCarriesTheBusTypeOfThePersonality) {
  const uint32_t bus[] = {17, 11, 7, 16};
  for (uint32_t n = 0; n < 4; ++n) {
    HANDLE h = open("\\\\.\\PhysicalDrive" + std::to_string(n));
    Buf q(12), out(40);
    Answer a = inout2(h, kQueryProperty, q, out);
    ASSERT_TRUE(a.ok) << n;
    EXPECT_EQ(40u, a.returned);
    EXPECT_EQ(40u, out.g32(0));
    EXPECT_GT(out.g32(4), 40u) << "Size covers the strings after the head";
    EXPECT_GE(out.g32(16), 40u) << "string offsets point past the head";
    EXPECT_EQ(bus[n], out.g32(28)) << n;
  }
  // The full descriptor carries the product text at its offset.
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  Buf q(12), full(512);
  Answer a = inout2(h, kQueryProperty, q, full);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(full.g32(4), a.returned);
  EXPECT_EQ("CORVANE CVS-256", std::string(reinterpret_cast<const char *>(full.data() + full.g32(16))));
  // A short answer can be injected.
  fault("\\\\.\\PhysicalDrive1", kQueryProperty, "short_transfer", 36);
  Buf out(40);
  a = inout2(h, kQueryProperty, q, out);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(36u, a.returned);
}

TEST_F(CommonRequests, QueryWithoutPropertyIdIsAViolation) {
  HANDLE h = open("\\\\.\\PhysicalDrive0");
  Buf q(4), out(40);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout2(h, kQueryProperty, q, out)));
  EXPECT_EQ(1u, take_violations());
}

TEST_F(CommonRequests, ScsiAddressOfEachDisk) {
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  Buf b(8);
  Answer a = inout(h, kGetAddress, b);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(8u, a.returned);
  EXPECT_EQ(8u, b.g32(0));
  EXPECT_EQ(1, b.g8(4));
  EXPECT_EQ(0, b.g8(5));
  EXPECT_EQ(1, b.g8(6));
  EXPECT_EQ(0, b.g8(7));
  h = open("\\\\.\\PhysicalDrive3");
  Buf c(8);
  ASSERT_TRUE(inout(h, kGetAddress, c).ok);
  EXPECT_EQ(3, c.g8(4));
}

TEST_F(CommonRequests, UnknownRequestsFailWithInvalidFunction) {
  for (const char *path : {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2",
                           "\\\\.\\PhysicalDrive3", "\\\\.\\Scsi0:", "\\\\.\\Scsi1:"}) {
    HANDLE h = open(path);
    Buf b(64);
    Answer a = inout(h, 0x00070000, b);
    EXPECT_FALSE(a.ok) << path;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), a.error) << path;
  }
}

TEST_F(CommonRequests, PassThroughOnAnAdapterReachesTheUnitAtTheRequestAddress) {
  HANDLE port = open("\\\\.\\Scsi1:");
  // The AHCI disk sits at 0/1/0: a request for 0/0/0 finds nothing.
  Buf b = scsi_pass_through(kInquiryCdb, 512, 2);
  Answer a;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(port, kScsiPassThrough, b)));
  Buf c = scsi_pass_through(kInquiryCdb, 512, 2);
  c.u8(4, 1);
  ASSERT_TRUE(inout(port, kScsiPassThrough, c).ok);
  EXPECT_EQ(0, c.g8(2));
  EXPECT_EQ("CORVANE CVS-256 ", c.str(88 + 16, 16));
  // On a disk handle the address fields are ignored.
  HANDLE disk = open("\\\\.\\PhysicalDrive1");
  Buf d = scsi_pass_through(kInquiryCdb, 512, 2);
  ASSERT_TRUE(inout(disk, kScsiPassThrough, d).ok);
  // ATA pass-through is routed the same way.
  AtaRegs id{.count = 1, .command = 0xEC};
  Buf e = ata_pass_through(0x03, id, nullptr, 512);
  EXPECT_FALSE(inout(port, kAtaPassThrough, e).ok);
  Buf f = ata_pass_through(0x03, id, nullptr, 512);
  f.u8(5, 1);
  ASSERT_TRUE(inout(port, kAtaPassThrough, f).ok);
  EXPECT_EQ(0x50, f.g8(46));
}

// The port refuses a SCSI pass-through longer than the adapter's MaximumTransferLength (128 KiB
// unless the description says otherwise) before any unit sees it.
TEST_F(CommonRequests, PassThroughAboveTheMaximumTransferLengthIsRefused) {
  HANDLE disk = open("\\\\.\\PhysicalDrive1");
  Buf fits = scsi_pass_through(kInquiryCdb, 0x20000, 2);
  EXPECT_TRUE(inout(disk, kScsiPassThrough, fits).ok);
  Buf over = scsi_pass_through(kInquiryCdb, 0x20001, 2);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(disk, kScsiPassThrough, over)));
  for (HANDLE h : handles_) CloseHandle(h);
  handles_.clear();
  sim::reset_machine();
  nlohmann::json m = storage_machine();
  m["storage"]["adapters"][1]["knobs"] = {{"max_transfer_length", 4096}};
  sim::load_machine_json(m.dump());
  disk = open("\\\\.\\PhysicalDrive1");
  Buf small = scsi_pass_through(kInquiryCdb, 4096, 2);
  EXPECT_TRUE(inout(disk, kScsiPassThrough, small).ok);
  Buf piece(8192);
  Buf write = scsi_pass_through({0x3B, 0x0E, 0, 0, 0, 0, 0, 0x20, 0, 0}, 8192, 1, 30, piece.b.data());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, refused(inout(disk, kScsiPassThrough, write)));
}

TEST_F(CommonRequests, BusResetIsAnAdapterRequest) {
  for (const char *path : {"\\\\.\\Scsi0:", "\\\\.\\Scsi1:", "\\\\.\\Scsi2:"}) {
    HANDLE h = open(path);
    uint8_t path_id = 0;
    DWORD ret = 0;
    EXPECT_TRUE(DeviceIoControl(h, kResetBus, &path_id, 1, nullptr, 0, &ret, nullptr)) << path;
  }
  for (const char *path : {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2"}) {
    HANDLE h = open(path);
    uint8_t path_id = 0;
    DWORD ret = 0;
    EXPECT_FALSE(DeviceIoControl(h, kResetBus, &path_id, 1, nullptr, 0, &ret, nullptr)) << path;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  }
  // The virtual disk takes it on its own handle.
  HANDLE space = open("\\\\.\\PhysicalDrive3");
  uint8_t path_id = 0;
  DWORD ret = 0;
  EXPECT_TRUE(DeviceIoControl(space, kResetBus, &path_id, 1, nullptr, 0, &ret, nullptr));
}

TEST(StorageDescription, BadDescriptionsAreRefusedWithTheirPlace) {
  auto load = [](const std::string &storage) {
    try {
      sim::load_machine_json(R"({"storage": )" + storage + "}");
    } catch (const std::runtime_error &e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(std::string::npos, load(R"({"adapters": [{"id": "a", "personality": "nope"}]})").find("unknown personality"));
  EXPECT_NE(std::string::npos,
            load(R"({"adapters": [{"id": "a", "personality": "inbox_ahci"}],
                    "disks": [{"adapter": "a", "physical_drive": 1, "ata": {}},
                              {"adapter": "a", "physical_drive": 1, "ata": {}, "address": {"target_id": 1}}]})")
                .find("used twice"));
  EXPECT_NE(std::string::npos,
            load(R"({"adapters": [{"id": "a", "personality": "inbox_ahci"}], "disks": [{"adapter": "a"}]})")
                .find("exactly one"));
  EXPECT_NE(std::string::npos, load(R"({"disks": [{"adapter": "x", "ata": {}}]})").find("no adapter"));
  EXPECT_NE(std::string::npos,
            load(R"({"adapters": [{"id": "a", "personality": "inbox_ahci", "colour": 1}]})").find("colour"));
  sim::reset_machine();
}

TEST(StorageDescription, PortsAndDriveNumbersFollowCreationOrderAroundFixedOnes) {
  sim::load_machine_json(R"({"storage": {
      "adapters": [{"id": "a", "personality": "inbox_ahci"}, {"id": "b", "personality": "inbox_ahci", "port": 0},
                   {"id": "c", "personality": "inbox_nvme"}],
      "disks": [{"adapter": "a", "ata": {}}, {"adapter": "b", "physical_drive": 0, "ata": {}},
                {"adapter": "c", "nvme": {}, "address": null}]}})");
  const auto disks = sim::storage_disks();
  ASSERT_EQ(3u, disks.size());
  EXPECT_EQ(1u, disks[0].port);
  EXPECT_EQ(1u, disks[0].physical_drive);
  EXPECT_EQ(0u, disks[1].port);
  EXPECT_EQ(2u, disks[2].port);
  EXPECT_EQ(2u, disks[2].physical_drive);
  HANDLE h = CreateFileA("\\\\.\\PhysicalDrive2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Buf addr(8);
  EXPECT_FALSE(inout(h, kGetAddress, addr).ok) << "a disk without an address";
  CloseHandle(h);
  sim::reset_machine();
  EXPECT_TRUE(sim::storage_disks().empty());
}


TEST_F(CommonRequests, DiskCacheSettingsAreKeptPerDisk) {
  HANDLE h = open("\\\\.\\PhysicalDrive1");
  Buf in, info(24);
  Answer a = inout2(h, 0x000740D4, in, info);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(24u, a.returned);
  EXPECT_EQ(1, info.g8(2)) << "write cache enabled";
  info.u8(2, 0);
  Buf none;
  ASSERT_TRUE(inout2(h, 0x0007C0D8, info, none).ok);
  Buf again(24);
  ASSERT_TRUE(inout2(h, 0x000740D4, in, again).ok);
  EXPECT_EQ(0, again.g8(2));
  // Other disks keep their own.
  HANDLE other = open("\\\\.\\PhysicalDrive0");
  Buf theirs(24);
  ASSERT_TRUE(inout2(other, 0x000740D4, in, theirs).ok);
  EXPECT_EQ(1, theirs.g8(2));
  Buf setting(12);
  ASSERT_TRUE(inout2(h, 0x000740E0, in, setting).ok);
  EXPECT_EQ(12u, setting.g32(0));
  setting.u32(0, 8);
  EXPECT_FALSE(inout2(h, 0x0007C0E4, setting, none).ok);
  EXPECT_EQ(1u, take_violations());
  HANDLE port = open("\\\\.\\Scsi1:");
  EXPECT_FALSE(inout2(port, 0x000740D4, in, info).ok);
}

}  // namespace
}  // namespace simtest

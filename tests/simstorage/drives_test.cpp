// The drives table: one drive reached through several paths keeps one identity and one state;
// inline models stay anonymous drives of their own; logical-unit kinds; description errors.
#include "simstorage_support.h"

namespace simstorage {
namespace {

// Drive B (NVMe) behind two in-box NVMe adapters; an inline NVMe drive beside it on port 0; an
// enclosure and a hidden RAID member on an RST port.
const char *kMachine = R"({
  "os": { "major": 10, "minor": 0, "build": 19045, "product_type": "workstation" },
  "storage": {
    "drives": [
      { "id": "B", "nvme": { "model": "CORVANE CVN-1T", "serial": "SHAREDB0001", "firmware": "CVB1.000",
                             "activation": "reset" } },
      { "id": "E", "scsi": { "vendor": "CORVANE", "product": "ENCL", "serial": "ENC1", "peripheral_type": 13 } },
      { "id": "M", "ata": { "model": "CORVANE CVS-1", "serial": "MEMBER1", "firmware": "M1" } }
    ],
    "adapters": [
      { "id": "n0", "personality": "inbox_nvme", "port": 0 },
      { "id": "n1", "personality": "inbox_nvme", "port": 1, "drive": "B" },
      { "id": "rst", "personality": "intel_rst", "port": 2 }
    ],
    "disks": [
      { "id": "b0", "adapter": "n0", "physical_drive": 0, "drive": "B" },
      { "id": "inl", "adapter": "n0", "physical_drive": 1, "address": { "target_id": 1 },
        "nvme": { "model": "CORVANE CVN-INLINE", "serial": "INLINE0001", "firmware": "INL1.000" } },
      { "id": "b1", "adapter": "n1", "physical_drive": 2, "drive": "B" },
      { "id": "ses", "kind": "enclosure", "adapter": "rst", "address": { "target_id": 7 }, "drive": "E",
        "instance_id": "SCSI\\Enclosure&Ven_CORVANE&Prod_ENCL\\5&77&0&000700" },
      { "id": "m0", "kind": "raid_member", "adapter": "rst", "address": { "target_id": 3 }, "drive": "M" }
    ]
  }
})";

class Drives : public StackTest {
 protected:
  void SetUp() override { load(kMachine); }
};

TEST_F(Drives, OneDriveThroughTwoPathsKeepsOneState) {
  const sim::StorageDriveModels b = sim::storage_drive("B");
  ASSERT_EQ("nvme", b.kind);
  EXPECT_EQ(b.nvme, sim::storage_nvme(0));
  EXPECT_EQ(b.nvme, sim::storage_nvme(2));
  EXPECT_EQ(b.nvme, sim::storage_adapter_nvme(1)) << "the adapter names the same drive";
  const sim::StorageDriveModels inl = sim::storage_drive("@inl");
  ASSERT_EQ("nvme", inl.kind) << "an inline model is an anonymous drive";
  EXPECT_NE(b.nvme, inl.nvme);

  HANDLE p0 = open("\\\\.\\PhysicalDrive0");
  HANDLE p2 = open("\\\\.\\PhysicalDrive2");
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "CVB2.000", 20000);
  firmware_update(p0, image, 2);
  // Pending until a controller reset; the other path sees the same pending image.
  EXPECT_EQ("CVB1.000", revision(p2));
  EXPECT_EQ(2, b.nvme->pending_slot());
  ASSERT_TRUE(reset_bus(open("\\\\.\\Scsi0:")));
  EXPECT_EQ("CVB2.000", revision(p2));
  EXPECT_EQ("CVB2.000", revision(open("\\\\.\\Scsi1:")));
  // Serial page through the translation of the second path: the same drive.
  Buf s = scsi_pass_through(kVpd80Cdb, 4096, 2);
  ASSERT_TRUE(inout(p2, kScsiPassThrough, s).ok);
  EXPECT_EQ("SHAREDB0001", s.str(88 + 4, 11));
  // The inline drive on the same port was reset too, but had nothing pending.
  EXPECT_EQ("INL1.000", revision(open("\\\\.\\PhysicalDrive1")));
  EXPECT_EQ(1u, inl.nvme->counters().bus_resets);
}

TEST_F(Drives, EnclosureAndHiddenMemberHaveNoDiskPaths) {
  std::vector<sim::StorageDiskInfo> units = sim::storage_disks();
  ASSERT_EQ(5u, units.size());
  EXPECT_EQ("enclosure", units[3].kind);
  EXPECT_EQ("raid_member", units[4].kind);
  EXPECT_EQ("M", units[4].drive);
  // The enclosure: its SES interface path, device type 0Dh, no device number.
  HANDLE ses = open("\\\\?\\scsi#enclosure&ven_corvane&prod_encl#5&77&0&000700#{1790c9ec-47d5-4df3-b5af-9adf3cf23e48}");
  Buf q(12);
  Buf d(512);
  ASSERT_TRUE(inout2(ses, kQueryProperty, q, d).ok);
  EXPECT_EQ(0x0D, d.g8(8));
  Buf num(12);
  Buf none;
  EXPECT_EQ(ERROR_INVALID_FUNCTION, refused(inout2(ses, kGetDeviceNumber, none, num)));
  // The member is reached only through its port, at its address.
  Buf inq = scsi_pass_through(kInquiryCdb, 512, 2);
  inq.u8(4, 3);  // TargetId
  ASSERT_TRUE(inout(open("\\\\.\\Scsi2:"), kScsiPassThrough, inq).ok);
  EXPECT_EQ(0, inq.g8(2));
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("\\\\.\\PhysicalDrive3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
}

TEST(DriveDescription, ReferencesAreChecked) {
  auto machine = [](const std::string &drives, const std::string &disk) {
    return R"({"storage": {"drives": [)" + drives +
           R"(], "adapters": [{"id": "a", "personality": "inbox_ahci"}], "disks": [{"adapter": "a", )" + disk +
           "}]}}";
  };
  const std::string ata = R"({"id": "S", "ata": {"serial": "S1"}, "firmware_slots": 2})";
  EXPECT_EQ("", load_error(machine(ata, R"("drive": "S")")));
  EXPECT_NE(std::string::npos, load_error(machine(ata, R"("drive": "T")")).find("storage.disks[0].drive"));
  EXPECT_NE(std::string::npos,
            load_error(machine(ata, R"("drive": "S", "ata": {})")).find("no inline model"));
  EXPECT_NE(std::string::npos, load_error(machine(ata + "," + ata, R"("drive": "S")")).find("used twice"));
  EXPECT_NE(std::string::npos,
            load_error(machine(R"({"id": "N", "nvme": {}, "firmware_slots": 2})", R"("drive": "N")"))
                .find("describe an ATA drive"));
  EXPECT_NE(std::string::npos,
            load_error(machine(ata, R"("kind": "enclosure", "drive": "S")")).find("enclosure"));
  EXPECT_NE(std::string::npos,
            load_error(machine(ata, R"("kind": "raid_member", "address": null, "drive": "S")"))
                .find("needs an address"));
}

}  // namespace
}  // namespace simstorage

// The RAID and HBA personalities' contents: REF-1's CSMI, RSTe and NevoX contents read back as the
// requests will report them, and the loader's refusals naming their place.
#include <algorithm>
#include <string>

#include "simstorage_support.h"
#include "sim/storage/contents.h"
#include "sim/storage/driver.h"

namespace simstorage {
namespace {

// The phys, RAID sets, RSTe disks and volumes and NevoX disks of REF-1 are read back, through the
// drivers' requests, by the enumeration and route tests; here what only the contents tell.
TEST(Ref1Contents, StpReachesOnlyTheAtaDrivesAndKnobsKeepTheContents) {
  sim::load_machine_file(sim::machine_file_path("ref1"));
  const auto rst = sim::storage_csmi(5), sas = sim::storage_csmi(11);
  ASSERT_TRUE(rst && sas && sim::storage_rste(10) && sim::storage_nevox(6));
  EXPECT_EQ(nullptr, sim::storage_csmi(10));
  // STP reaches the ATA drives only: D, M1, M2 and S1; not the NVMe RAID drives nor the SAS drive.
  std::string stp;
  for (const auto &c : {rst, sas})
    for (const auto &a : {"500103aa00000000", "500102aa00000002", "500102aa00000003", "500210bb00000001",
                          "500a0b0100000000", "500a0b0200000000"}) {
      sim::SasAddress addr{};
      for (int i = 0; i < 8; ++i) addr[i] = static_cast<uint8_t>(std::stoul(std::string(a + 2 * i, 2), nullptr, 16));
      const auto drive = c->stp_target(addr);
      stp += (drive ? drive->id : "-") + " ";
    }
  EXPECT_EQ("D M1 M2 - - - - - - - S1 - ", stp);
  // Reconfiguring the knobs keeps the contents.
  sim::storage_adapter_configure("RST", "{}");
  EXPECT_EQ(rst, sim::storage_csmi(5));
  sim::use_default_machine();
}

// An RSTe listing's answer space (what follows the volume index and the return length) comes
// zeroed from the host: a stray byte there is counted, and the request is answered all the same.
class RsteListings : public StackTest {
 protected:
  static Buf request(uint32_t size, uint32_t code) {
    Buf b(size);
    b.u32(0, 28);
    b.text(4, "NvmeRAID", 8);
    b.u32(12, 40);
    b.u32(16, code);
    b.u32(24, size - 28);
    return b;
  }
};

TEST_F(RsteListings, StrayBytesInTheAnswerSpaceAreCountedAndAnswered) {
  sim::load_machine_file(sim::machine_file_path("ref1"));
  HANDLE port = open("\\\\.\\Scsi10:");
  for (int stray : {0, 1}) {
    SCOPED_TRACE(stray);
    Buf info = request(132, 0xE0002018);
    info.u32(28, 1);
    Buf config = request(36 + 108 * 3, 0xE000201C);
    config.u32(28, 1);
    config.u32(32, 108 * 3);
    if (stray) {
      info.u8(131, 0x5A);
      config.u8(36 + 108 * 3 - 1, 0x5A);
    }
    ASSERT_TRUE(inout(port, kScsiMiniport, info).ok);
    ASSERT_TRUE(inout(port, kScsiMiniport, config).ok);
    EXPECT_EQ(2u, info.g32(128));  // members
    EXPECT_EQ(3u, config.g32(36));  // the first member's disk id
    const std::string v = take_violations();
    EXPECT_EQ(stray ? 2u : 0u, static_cast<size_t>(std::count(v.begin(), v.end(), '\n'))) << v;
    if (stray) {
      EXPECT_NE(std::string::npos, v.find("answer space not zeroed on input")) << v;
    }
  }
}

TEST(ContentsLoading, RefusalsNameTheirPlace) {
  auto error = [](const std::string &personality, const std::string &key, const std::string &contents) {
    return load_error(R"({"storage": {"drives": [{"id": "A", "ata": {}}, {"id": "N", "nvme": {}}],
                          "adapters": [{"id": "a", "personality": ")" + personality + R"(", ")" + key +
                      R"(": )" + contents + "}]}}");
  };
  const std::string p = "machine description: storage.adapters[0].";
  EXPECT_EQ("", error("sas", "csmi", R"({"phys": [{"attached": "end_device", "sas_address": "50 01 03 AA 00 00 00 00",
                                                  "protocol": "stp", "drive": "A"}]})"));
  EXPECT_EQ(p + "csmi.phys[0]: unknown field \"speed\"", error("intel_rst", "csmi", R"({"phys": [{"speed": 1}]})"));
  EXPECT_EQ(p + "csmi.raid.sets[0].drives[1].drive: no drive \"Q\" in \"drives\"",
            error("sas", "csmi", R"({"raid": {"sets": [{"drives": [{"drive": "A", "sas_address": "0000000000000001"},
                                                                      {"drive": "Q", "sas_address": "0000000000000002"}]}]}})"));
  std::string phys = "{}";
  for (int i = 0; i < 32; ++i) phys += ", {}";
  EXPECT_EQ(p + "csmi.phys: at most 32 phys", error("sas", "csmi", R"({"phys": [)" + phys + "]}"));
  EXPECT_EQ(p + "csmi.phys[0].sas_address: expected 8 bytes in hexadecimal (\"50 01 03 AA 00 00 00 00\")",
            error("sas", "csmi", R"({"phys": [{"attached": "expander", "sas_address": "50 01 03 AA 00 00 00"}]})"));
  // An SATA end device leads to an ATA drive; one address leads to one drive.
  EXPECT_EQ(p + "csmi.phys[0].drive: expected an ata drive, not nvme",
            error("sas", "csmi", R"({"phys": [{"attached": "end_device", "sas_address": "0000000000000001",
                                               "protocol": "sata", "drive": "N"}]})"));
  EXPECT_EQ(p + "csmi.raid.sets[0].drives[0].sas_address: SAS address already leads to drive \"A\"",
            error("sas", "csmi", R"({"phys": [{"attached": "end_device", "sas_address": "0000000000000001",
                                               "protocol": "sata", "drive": "A"}],
                                     "raid": {"sets": [{"drives": [{"drive": "N", "sas_address": "0000000000000001"}]}]}})"));
  EXPECT_EQ(p + "rste.volumes[0].members[1]: no disk id 4 in \"disks\"",
            error("intel_rste", "rste", R"({"disks": [{"id": 3, "drive": "N"}], "volumes": [{"members": [3, 4]}]})"));
  EXPECT_EQ(p + "rste.disks[0].model: at most 40 characters",
            error("intel_rste", "rste", R"({"disks": [{"id": 3, "drive": "N", "model": ")" + std::string(41, 'M') + "\"}]}"));
  EXPECT_EQ(p + "nevox.physical_disks[1].id: id 5 used twice",
            error("nevox", "nevox", R"({"physical_disks": [{"id": 5, "drive": "N"}, {"id": 5, "drive": "N"}]})"));
  // The contents belong to their personality.
  EXPECT_EQ(p.substr(0, p.size() - 1) + ": unknown field \"csmi\"", error("intel_rste", "csmi", "{}"));
}

}  // namespace
}  // namespace simstorage

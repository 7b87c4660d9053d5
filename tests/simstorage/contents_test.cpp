// The RAID and HBA personalities' contents: REF-1's CSMI, RSTe and NevoX contents read back as the
// requests will report them, and the loader's refusals naming their place.
#include <cstdio>

#include "simstorage_support.h"
#include "sim/storage/contents.h"
#include "sim/storage/driver.h"

namespace simstorage {
namespace {

std::string hex(const sim::SasAddress &a) {
  char buf[17];
  for (int i = 0; i < 8; ++i) std::snprintf(buf + 2 * i, 3, "%02x", a[i]);
  return buf;
}

std::string listed(const sim::ListedDrive &d) {
  const auto id = d.listed();
  return d.drive->id + "(" + id.model + "," + id.firmware + "," + id.serial + ")";
}

// Phys as "identifier:type/address/port/protocol/drive", then RAID sets as "[drive@address ...]".
std::string csmi_text(const sim::CsmiContents &c) {
  std::string s;
  for (const sim::CsmiPhy &p : c.phys) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u:%02x/%s/%u/%u/", p.identifier, p.attached_type,
                  hex(p.attached_address).c_str(), p.port_identifier, p.target_protocol);
    s += buf + (p.drive ? p.drive->id : "") + " ";
  }
  s += "max " + std::to_string(c.max_drives_per_set);
  for (const sim::CsmiRaidSet &set : c.raid_sets) {
    s += " [";
    for (const sim::CsmiRaidDrive &d : set.drives) s += listed(d) + "@" + hex(d.sas_address) + " ";
    s += "]";
  }
  return s;
}

TEST(Ref1Contents, CsmiRsteAndNevoxReadBack) {
  sim::load_machine_file(sim::machine_file_path("ref1"));
  const auto rst = sim::storage_csmi(5), sas = sim::storage_csmi(11);
  const auto rste = sim::storage_rste(10);
  const auto nevox = sim::storage_nevox(6);
  ASSERT_TRUE(rst && sas && rste && nevox);
  EXPECT_EQ(nullptr, sim::storage_csmi(10));
  EXPECT_EQ("0:10/500103aa00000000/0/1/D 1:00/0000000000000000/1/0/ 2:10/500102aa00000002/2/1/M1 "
            "3:10/500102aa00000003/3/1/M2 max 4 "
            "[M1(SIM SATA M1,SIM10001,SM0007)@500102aa00000002 M2(SIM SATA M2,SIM10001,SM0008)@500102aa00000003 ] "
            "[N1(SIM NVME N1,SIM10001,SN0010)@500210bb00000001 N2(SIM NVME N2,SIM10001,SN0011)@500211bb00000002 ]",
            csmi_text(*rst));
  EXPECT_EQ("0:10/500a0b0100000000/0/1/S1 1:10/500a0b0200000000/1/8/S2 2:00/0000000000000000/2/0/ "
            "3:00/0000000000000000/3/0/ 4:20/0000000000000000/4/0/ 5:00/0000000000000000/5/0/ "
            "6:00/0000000000000000/6/0/ 7:00/0000000000000000/7/0/ max 0",
            csmi_text(*sas));
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

  ASSERT_NE(nullptr, rste->volume(1));
  EXPECT_EQ(nullptr, rste->volume(2));
  const sim::RsteVolume &v = *rste->volume(1);
  EXPECT_EQ("RAID1 SIM VOL R R100 S30017 3,4",
            v.raid_type + " " + v.model + " " + v.firmware + " " + v.serial + " " + std::to_string(v.members[0]) +
                "," + std::to_string(v.members[1]));
  std::string disks;
  for (const auto &d : rste->disks) disks += std::to_string(d.id) + "=" + listed(d) + " ";
  EXPECT_EQ("3=R3(SIM NVME R3,SIM10001,S30017) 4=R4(SIM NVME R4,SIM10001,S40018) "
            "6=R6(SIM NVME R6,SIM10001,S60019) 9=R9(SIM NVME R9,SIM10001,S90020) ",
            disks);
  EXPECT_EQ((std::vector<uint32_t>{6, 0}), rste->pass_through);
  EXPECT_EQ((std::vector<uint32_t>{9}), rste->spares);
  EXPECT_EQ(nullptr, rste->disk(0));

  EXPECT_EQ(3u, nevox->max_physical_disks);
  std::string pds;
  for (const auto &pd : nevox->physical_disks)
    pds += pd.drive ? std::to_string(pd.id) + "=" + pd.drive->id + " " : "status " + std::to_string(pd.nvme_status) + " ";
  EXPECT_EQ("5=PD5 status 2 7=PD7 ", pds);
  EXPECT_EQ("PD7", nevox->by_id(7)->drive->id);

  // Reconfiguring the knobs keeps the contents.
  sim::storage_adapter_configure("RST", "{}");
  EXPECT_EQ(rst, sim::storage_csmi(5));
  sim::use_default_machine();
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

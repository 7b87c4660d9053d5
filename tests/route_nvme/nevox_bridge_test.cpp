// NevoX physical disks behind X (their enumeration and the wrapped commands) and the USB bridges
// (G behind the UAS NVMe bridge; the UAS SAT bridge) on REF-1 and small machines of their own.
#include "route_nvme/route_support.h"

#include "huld/huld_scsi.h"
#include "huld/windows/huld_nvme_marvell_nevox.h"
#include "huld/windows/huld_scsi_windows.h"

using namespace route_test;

namespace {

const char kX[] = "\\\\.\\PhysicalDrive3";
const char kG[] = "\\\\.\\PhysicalDrive10";
constexpr DWORD kProtocolCommand = 0x002DD3C0;

class Nevox : public RouteTest {
 protected:
  void TearDown() override {
    huld_dev_release(&e_);
    RouteTest::TearDown();
  }
  // Runs the enumeration on a closed controller record that sits after `before` other records,
  // so that the block grows while children are appended.
  void enumerate(uint32_t before = 6) {
    huld_dev_enumerate_flags(&e_, 0);
    for (uint32_t i = 0; i <= before; ++i) ASSERT_NE(huld_dev_enumeration_push_back(&e_), nullptr);
    huld_dev &x = e_.devices[before];
    std::snprintf(x.name, sizeof x.name, "disk3");
    x.iface = WINDOWS_NVME;
    x.conn.type = CONN_DISK;
    x.conn.driver = WINDOWS_INBOX_NVME;
    std::snprintf(x.conn.path, sizeof x.conn.path, "%s", kX);
    huld_windows_enumerate_nevox(&x, &e_);
  }
  huld_dev_enumeration e_{};
};

TEST_F(Nevox, PhysicalDisksAreFoundAndReachedWrapped) {
  enumerate();
  ASSERT_EQ(e_.count, 9u) << "index 1 fails and is skipped";
  EXPECT_FALSE(huld_dev_is_open(&e_.devices[6]));
  const std::pair<const char *, uint16_t> children[] = {{"disk3.pd5", 5}, {"disk3.pd7", 7}};
  for (uint32_t i = 0; i < 2; ++i) {
    const huld_dev &child = e_.devices[7 + i];
    EXPECT_STREQ(child.name, children[i].first);
    EXPECT_EQ(child.iface, static_cast<uint32_t>(MARVELL_NEVOX));
    EXPECT_EQ(child.nevox_pd_id, children[i].second);
    EXPECT_STREQ(child.conn.path, kX);
    EXPECT_FALSE(huld_dev_is_open(&child));
  }

  huld_error err{};
  huld_dev &pd5 = e_.devices[7];
  huld_dev &pd7 = e_.devices[8];
  ASSERT_EQ(huld_dev_open(&err, &pd5), 0);
  ASSERT_EQ(huld_dev_open(&err, &pd7), 0);
  EXPECT_EQ(model_of(pd5), "SIM NVME PD5");
  EXPECT_EQ(model_of(pd7), "SIM NVME PD7");

  // Get Log Page on PD 5: C2h, NSID 5, the opcode in CDW14, the caller's namespace in CDW15; the
  // caller's record comes back unchanged but for the completion.
  std::vector<uint8_t> log(512);
  huld_nvme_cmd get{};
  get.cdw0 = 0x02;
  get.nsid = 0xFFFFFFFF;
  get.cdw10 = 0x03 | (127u << 16);
  get.data = log.data();
  get.data_len = 512;
  get.ddir = HULD_DDIR_FROM_DEVICE;
  get.timeout_ms = 30000;
  sim::trace_clear();
  ASSERT_EQ(huld_nvme_execute(&err, &pd5, &get), 0) << err.message;
  EXPECT_EQ(get.cdw0, 0x02u);
  EXPECT_EQ(get.nsid, 0xFFFFFFFFu);
  EXPECT_EQ(get.cdw14, 0u);
  const auto sent = sim::trace_entries_for(kProtocolCommand);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(le32(sent[0].input, 80), 0xC2u);
  EXPECT_EQ(le32(sent[0].input, 84), 5u);
  EXPECT_EQ(le32(sent[0].input, 136), 0x02u);
  EXPECT_EQ(le32(sent[0].input, 140), 0xFFFFFFFFu);
  EXPECT_EQ(le32(sent[0].input, 56), 1u) << "an admin command";
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(log.data()) + 8, 8), "SIM10001");

  // A whole update reaches PD 7 only.
  ASSERT_EQ(update(pd7, "SIMP7002", err), 0) << err.message;
  const auto p7 = sim::storage_drive("PD7").nvme;
  EXPECT_EQ(p7->slot_revision(2), "SIMP7002");
  EXPECT_EQ(sim::storage_drive("PD5").nvme->slot_revision(2), "");
  EXPECT_EQ(sim::storage_drive("X").nvme->slot_revision(2), "");
  p7->controller_reset();
  EXPECT_EQ(p7->running_revision(), "SIMP7002");

  // A commit the disk refuses is a device error, and nothing runs after a reset.
  const auto p5 = sim::storage_drive("PD5").nvme;
  sim::NvmeFaultRule refuse;
  refuse.opcode = 0x10;
  refuse.status = sim::kNvmeInvalidFirmwareImage;
  p5->add_fault(refuse);
  EXPECT_EQ(update(pd5, "SIMP5002", err), 1);
  p5->controller_reset();
  EXPECT_EQ(p5->running_revision(), "SIM10001");
}

// An NVM-queue command travels inside the wrapper, which is an admin command; the caller's
// record keeps its queue.
TEST_F(Nevox, WrappedNvmQueueCommandGoesOutAsAdmin) {
  enumerate();
  ASSERT_EQ(e_.count, 9u);
  huld_dev &pd5 = e_.devices[7];
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &pd5), 0);
  huld_nvme_cmd flush{};
  flush.nsid = 1;
  flush.queue = HULD_NVME_QUEUE_IO;
  flush.timeout_ms = 30000;
  sim::trace_clear();
  huld_nvme_execute(&err, &pd5, &flush);
  const auto sent = sim::trace_entries_for(kProtocolCommand);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(le32(sent[0].input, 80), 0xC3u);
  EXPECT_EQ(le32(sent[0].input, 56), 1u) << "an admin command";
  EXPECT_EQ(flush.queue, HULD_NVME_QUEUE_IO);
}

TEST_F(Nevox, UnreadableAdapterAddsNothing) {
  const int failed = fault({{"nvme_opcode", sim::fault_key(0xE2)}}, custom("nvme_status", 0x0006));
  enumerate(0);
  EXPECT_EQ(e_.count, 1u);
  EXPECT_FALSE(huld_dev_is_open(&e_.devices[0]));
  sim::remove_fault(failed);
}

// A controller that reports 0 disks adds none; one that reports 300 is asked for 128.
TEST_F(Nevox, PhysicalDiskCountIsCapped) {
  for (const uint32_t max : {0u, 300u}) {
    sim::reset_machine();
    sim::load_machine_json(R"({ "os": { "major": 10, "minor": 0, "build": 19045 }, "storage": {
      "drives": [ { "id": "V", "nvme": { "model": "SIM NEVOX VD", "serial": "V1", "firmware": "V1" } },
                  { "id": "P5", "nvme": { "model": "SIM NVME P5", "serial": "P5", "firmware": "P1" } } ],
      "adapters": [ { "id": "nx", "personality": "nevox", "port": 3, "nevox": { "max_physical_disks": )" +
                           std::to_string(max) + R"(, "physical_disks": [ )" + (max ? R"({ "id": 5, "drive": "P5" })" : "") +
                           R"( ] } } ],
      "disks": [ { "id": "X", "adapter": "nx", "drive": "V", "physical_drive": 3 } ] } })");
    huld_dev_release(&e_);
    sim::trace_clear();
    enumerate(0);
    EXPECT_EQ(e_.count, max ? 2u : 1u);
    EXPECT_EQ(sim::trace_entries_for(kProtocolCommand).size(), max ? 129u : 1u);
  }
}

class UasBridge : public RouteTest {
 protected:
  huld_dev &g() { return record(kG, CONN_DISK, INBOX_UAS_MASS_STORAGE, 0); }
  static size_t sent_cdbs(uint8_t cdb0) {
    size_t n = 0;
    for (const sim::TraceEntry &t : sim::trace_entries_for(kScsiPassThrough)) n += t.input.at(36) == cdb0;
    return n;
  }
};

TEST_F(UasBridge, ProbeIdentifyAndUpdate) {
  huld_dev &bridge = g();
  huld_error err{};
  ASSERT_EQ(huld_dev_probe(&err, &bridge), 0) << err.message;
  EXPECT_EQ(bridge.iface, static_cast<uint32_t>(WINDOWS_SCSI_ASMEDIA_NVME));
  EXPECT_EQ(model_of(bridge), "SIM NVME G");

  ASSERT_EQ(update(bridge, "SIMG0002", err), 0) << err.message;
  const auto ctl = sim::storage_drive("G").nvme;
  EXPECT_EQ(ctl->slot_revision(2), "SIMG0002");
  EXPECT_EQ(ctl->running_revision(), "SIM10001");
  ctl->controller_reset();
  EXPECT_EQ(ctl->running_revision(), "SIMG0002");

  // "Becoming ready" once or twice still answers yes, in two sends at most.
  for (const int times : {1, 2, 3}) {
    sim::storage_adapter_configure("UAS", "{ \"becoming_ready\": " + std::to_string(times) + " }");
    sim::trace_clear();
    EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&bridge), 1) << times;
    EXPECT_EQ(sent_cdbs(0xE6), 2u);
  }
  // Any other refusal is a no, also after one "becoming ready".
  sim::FaultRule other;
  other.match.op = sim::FaultOp::other;
  other.match.keys = {{"cdb0", sim::fault_key(0xE6)}};
  other.match.count = sim::FaultCount::at(2);
  other.action = custom("scsi_status", 2, 0x052000);
  const int cc = sim::add_fault(other);
  sim::storage_adapter_configure("UAS", "{ \"becoming_ready\": 1 }");
  EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&bridge), 0);
  sim::remove_fault(cc);
}

TEST_F(UasBridge, PhaseFailuresAreErrors) {
  huld_dev &bridge = g();
  bridge.iface = WINDOWS_SCSI_ASMEDIA_NVME;
  huld_error err{};
  std::vector<uint8_t> id(4096);

  int rule = fault({{"cdb0", sim::fault_key(0xEB)}}, custom("scsi_status", 2, 0x052400));
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &bridge, id.data(), 4096), 1);
  EXPECT_NE(std::string(err.message).find("data phase: SCSI Error"), std::string::npos) << err.message;
  EXPECT_EQ(sent_cdbs(0xEB), 1u) << "no completion phase after a failed data phase";
  sim::remove_fault(rule);

  // The data phase moves less than the command asked for, with a successful completion.
  rule = fault({{"cdb0", sim::fault_key(0xEB)}}, custom("short_transfer", 1024));
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &bridge, id.data(), 4096), 1);
  EXPECT_STREQ(err.message, "data phase: 1024 of 4096 bytes came back");
  sim::remove_fault(rule);

  // The completion comes back short.
  sim::FaultRule shorter;
  shorter.match.op = sim::FaultOp::other;
  shorter.match.keys = {{"cdb0", sim::fault_key(0xEB)}};
  shorter.match.count = sim::FaultCount::at(2);
  shorter.action = custom("short_transfer", 8);
  rule = sim::add_fault(shorter);
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &bridge, id.data(), 4096), 1);
  EXPECT_STREQ(err.message, "incomplete completion phase");
  sim::remove_fault(rule);

  rule = sim::fail_ioctl(kG, kScsiPassThrough, ERROR_IO_DEVICE);
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &bridge, id.data(), 4096), 1);
  sim::remove_fault(rule);

  // The drive's own refusal of a commit reaches the command set.
  const auto ctl = sim::storage_drive("G").nvme;
  sim::NvmeFaultRule refuse;
  refuse.opcode = 0x10;
  refuse.status = sim::kNvmeInvalidFirmwareImage;
  ctl->add_fault(refuse);
  EXPECT_EQ(update(bridge, "SIMG0002", err), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
  ctl->controller_reset();
  EXPECT_EQ(ctl->running_revision(), "SIM10001");
}

TEST_F(UasBridge, SatBridgeBehindUas) {
  sim::reset_machine();
  sim::load_machine_json(R"({ "os": { "major": 10, "minor": 0, "build": 19045 }, "storage": {
    "adapters": [ { "id": "u", "personality": "uas_sat", "port": 0 } ],
    "disks": [ { "id": "F", "adapter": "u", "physical_drive": 0, "bridge": "sat",
                 "ata": { "model": "SIM SATA F", "serial": "SF1", "firmware": "F1" } } ] } })");
  huld_dev &f = record("\\\\.\\PhysicalDrive0", CONN_DISK, INBOX_UAS_MASS_STORAGE, 0);
  EXPECT_EQ(huld_scsi_windows_probe_sat(&f), 1);
  EXPECT_EQ(huld_scsi_windows_asmedia_probe_nvme(&f), 0);
}

}  // namespace

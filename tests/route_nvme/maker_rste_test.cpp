// The maker's driver ("NvmeMini" on MK's port, drive C) and Intel RSTe ("NvmeRAID" on port 10 by
// disk id) on REF-1: identify, a whole update, and the ways a driver answer fails.
#include "route_nvme/route_support.h"

#include "huld/windows/huld_nvme_windows_rste.h"
#include "huld/windows/huld_nvme_windows_xr.h"
#include "support/resource_check.h"

using namespace route_test;

namespace {

const char kMkPort[] = "\\\\.\\Scsi4:";
const char kRstePort[] = "\\\\.\\Scsi10:";

class MakerDriver : public RouteTest {
 protected:
  huld_dev &c() { return record(kMkPort, CONN_DISK, XR_NVME, WINDOWS_NVME_XR_IUO); }
};

TEST_F(MakerDriver, ProbeIdentifyAndUpdate) {
  huld_dev &mk = c();
  EXPECT_EQ(huld_nvme_windows_xr_probe(&mk), 1);
  // The in-box disk refuses the request; the RST port answers ReturnCode 1.
  EXPECT_EQ(huld_nvme_windows_xr_probe(&record("\\\\.\\PhysicalDrive1", CONN_DISK, WINDOWS_INBOX_NVME, 0)), 0);
  EXPECT_EQ(huld_nvme_windows_xr_probe(&record("\\\\.\\Scsi5:", CONN_DISK, INTEL_RST, 0)), 0);
  EXPECT_EQ(model_of(mk), "SIM NVME C");
  huld_dev &probed = record(kMkPort, CONN_DISK, XR_NVME, 0);
  huld_error probe_err{};
  ASSERT_EQ(huld_dev_probe(&probe_err, &probed), 0) << probe_err.message;
  EXPECT_EQ(probed.iface, static_cast<uint32_t>(WINDOWS_NVME_XR_IUO));

  sim::trace_clear();
  huld_error err{};
  ASSERT_EQ(update(mk, "SIMC0002", err), 0) << err.message;
  const auto sent = sim::trace_entries_for(kMiniport);
  ASSERT_EQ(sent.size(), 4u);
  for (const sim::TraceEntry &t : sent) {
    EXPECT_EQ(t.signature, "NvmeMini");
    EXPECT_EQ(t.timeout, std::optional<uint32_t>(0));
  }
  const auto ctl = sim::storage_drive("C").nvme;
  EXPECT_EQ(ctl->slot_revision(2), "SIMC0002");
  EXPECT_EQ(ctl->running_revision(), "SIM10001") << "not before the reset";
  ctl->controller_reset();
  EXPECT_EQ(ctl->running_revision(), "SIMC0002");
}

TEST_F(MakerDriver, FailuresAreErrors) {
  huld_dev &mk = c();
  huld_error err{};
  std::vector<uint8_t> id(4096);

  const int failed = sim::fail_ioctl(kMkPort, kMiniport, ERROR_IO_DEVICE);
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &mk, id.data(), 4096), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_IO_DEVICE));
  EXPECT_STREQ(err.message, "error executing scsi miniport DeviceIoControl");
  sim::remove_fault(failed);

  const int rc = fault({{"request", "pass_through"}}, custom("return_code", 5));
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &mk, id.data(), 4096), 1);
  EXPECT_EQ(err.subcode, 5u);
  EXPECT_STREQ(err.message, "NVMe passthrough return code 5h");
  sim::remove_fault(rc);

  // An NVMe error reported only in CplEntry, with ReturnCode 0, is still a device error.
  const int status = fault({{"request", "pass_through"}}, custom("nvme_status", 0x0002));
  const int zero_rc = fault({{"request", "pass_through"}}, custom("return_code", 0));
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &mk, id.data(), 4096), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
  sim::remove_fault(status);
  sim::remove_fault(zero_rc);

  // All-zero Identify data is no maker's drive.
  const int zeros = fault({{"request", "pass_through"}}, custom("zero_data", 0));
  EXPECT_EQ(huld_nvme_windows_xr_probe(&mk), 0);
  sim::remove_fault(zeros);

  // The drive refuses the commit: the driver says so, and nothing is pending.
  const auto ctl = sim::storage_drive("C").nvme;
  sim::NvmeFaultRule refuse;
  refuse.opcode = 0x10;
  refuse.status = sim::kNvmeInvalidFirmwareImage;
  ctl->add_fault(refuse);
  EXPECT_EQ(update(mk, "SIMC0002", err), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  ctl->controller_reset();
  EXPECT_EQ(ctl->running_revision(), "SIM10001");
}

class Rste : public RouteTest {
 protected:
  huld_dev &disk(uint32_t id) {
    huld_dev &d = record(kRstePort, CONN_RSTE, 0, WINDOWS_NVME_INTEL_RSTE);
    d.rste_disk_id = id;
    return d;
  }
  // One "NvmeRAID" enumeration request on the port: the answer, or empty when the call failed.
  static std::vector<uint8_t> ask(const char *path, const char *signature, uint32_t code, size_t size,
                                  std::vector<std::pair<size_t, uint32_t>> fields = {}) {
    std::vector<uint8_t> b(size, 0);
    auto put = [&](size_t off, uint32_t v) {
      for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, 28);
    std::memcpy(b.data() + 4, signature, 8);
    put(12, 40);
    put(16, code);
    put(24, static_cast<uint32_t>(size - 28));
    for (const auto &f : fields) put(f.first, f.second);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    DWORD n = 0;
    const BOOL ok = DeviceIoControl(h, kMiniport, b.data(), static_cast<DWORD>(size), b.data(),
                                    static_cast<DWORD>(size), &n, nullptr);
    CloseHandle(h);
    return ok ? b : std::vector<uint8_t>();
  }
  static std::string text(const std::vector<uint8_t> &b, size_t off, size_t n) {
    std::string s(reinterpret_cast<const char *>(b.data()) + off, n);
    return s.substr(0, s.find('\0'));
  }
};

TEST_F(Rste, DisksByIdAndUpdate) {
  const std::pair<uint32_t, const char *> disks[] = {{3, "SIM NVME R3"}, {4, "SIM NVME R4"}, {6, "SIM NVME R6"},
                                                     {9, "SIM NVME R9"}};
  for (const auto &d : disks) EXPECT_EQ(model_of(disk(d.first)), d.second);
  // Volumes and the SCSI twins answer INQUIRY only.
  for (const char *unit : {"\\\\.\\PhysicalDrive11", "\\\\.\\PhysicalDrive15"}) {
    huld_dev &scsi = record(unit, CONN_DISK, INTEL_RSTE, 0);
    huld_error probe_err{};
    ASSERT_EQ(huld_dev_probe(&probe_err, &scsi), 0) << probe_err.message;
    EXPECT_EQ(scsi.iface, static_cast<uint32_t>(WINDOWS_SCSI)) << unit;
  }

  sim::trace_clear();
  huld_error err{};
  ASSERT_EQ(update(disk(6), "SIMR6002", err), 0) << err.message;
  for (const sim::TraceEntry &t : sim::trace_entries_for(kMiniport)) {
    EXPECT_EQ(t.signature, "NvmeRAID");
    EXPECT_EQ(le32(t.input, 20), 6u) << "the disk id";
  }
  const auto r6 = sim::storage_drive("R6").nvme;
  EXPECT_EQ(r6->slot_revision(2), "SIMR6002");
  EXPECT_EQ(sim::storage_drive("R4").nvme->slot_revision(2), "") << "only the addressed disk";
  r6->controller_reset();
  EXPECT_EQ(r6->running_revision(), "SIMR6002");
}

TEST_F(Rste, FailuresShortAnswersAndVendorE4) {
  huld_error err{};
  std::vector<uint8_t> id(4096, 0xAA);
  // An id the driver does not know fails the call.
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &disk(5), id.data(), 4096), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_SYSTEM));
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  EXPECT_STREQ(err.message, "error executing rste passthrough DeviceIoControl");

  // A short answer fills no more than the driver returned.
  huld_dev &r3 = disk(3);
  const int shorter = fault({{"request", "pass_through"}}, custom("short_transfer", 100));
  ASSERT_EQ(vornnvme_execute_identify_controller(&err, &r3, id.data(), 4096), 0) << err.message;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(id.data()) + 24, 11), "SIM NVME R3");
  EXPECT_EQ(id[100], 0xAA);
  sim::remove_fault(shorter);
  // A returned length beyond the buffer counts as the buffer.
  const int longer = fault({{"request", "pass_through"}}, custom("corrupt_offsets", 0, 0x7FFFFFF0));
  std::vector<uint8_t> small(512, 0xAA);
  huld_nvme_cmd get{};
  get.cdw0 = 0x02;
  get.nsid = 0xFFFFFFFF;
  get.cdw10 = 0x03 | (127u << 16);
  get.data = small.data();
  get.data_len = 512;
  get.ddir = HULD_DDIR_FROM_DEVICE;
  get.timeout_ms = 30000;
  ASSERT_EQ(huld_nvme_execute(&err, &r3, &get), 0) << err.message;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(small.data()) + 8, 8), "SIM10001");
  sim::remove_fault(longer);

  // A device error stays a device error.
  const int status = fault({{"request", "pass_through"}}, custom("nvme_status", 0x0002));
  EXPECT_EQ(vornnvme_execute_identify_controller(&err, &r3, id.data(), 4096), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_DEVICE));
  sim::remove_fault(status);

  // E4h without data goes out with 4096 zero bytes to the device; with data, with the caller's.
  // The caller's record is as it was.
  huld_nvme_cmd e4{};
  e4.cdw0 = 0xE4;
  e4.timeout_ms = 1500;
  sim::trace_clear();
  ASSERT_EQ(huld_nvme_execute(&err, &r3, &e4), 0) << err.message;
  EXPECT_EQ(e4.data, nullptr);
  EXPECT_EQ(e4.data_len, 0u);
  EXPECT_EQ(e4.ddir, 0u);
  std::vector<uint8_t> mine(512, 0x5C);
  e4.data = mine.data();
  e4.data_len = 512;
  e4.ddir = HULD_DDIR_TO_DEVICE;
  // The driver writing into the data area of a to-device request, and counting it as moved,
  // changes nothing of the caller's.
  fault({{"request", "pass_through"}}, custom("scribble", 152, 0xEE));
  fault({{"request", "pass_through"}}, custom("corrupt_offsets", 0, 512));
  ASSERT_EQ(huld_nvme_execute(&err, &r3, &e4), 0) << err.message;
  const auto sent = sim::trace_entries_for(kMiniport);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(le32(sent[0].input, 140), 4096u);
  EXPECT_EQ(le32(sent[0].input, 132), 1u);
  EXPECT_EQ(le32(sent[0].input, 12), 1u) << "1500 ms truncated";
  EXPECT_EQ(le32(sent[1].input, 140), 512u);
  EXPECT_EQ(sent[1].input.at(152 + 511), 0x5C);
  EXPECT_EQ(mine, std::vector<uint8_t>(512, 0x5C));
}

TEST_F(Rste, EnumerationRequestsOnThePort) {
  EXPECT_EQ(le32(ask(kRstePort, "NvmeRAID", 0xE0002014, 32), 28), 1u);
  const auto info = ask(kRstePort, "NvmeRAID", 0xE0002018, 132, {{28, 1}});
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(text(info, 32, 8), "RAID1");
  EXPECT_EQ(text(info, 40, 40), "SIM VOL R");
  EXPECT_EQ(text(info, 88, 40), "S30017");
  EXPECT_EQ(le32(info, 128), 2u);
  EXPECT_TRUE(ask(kRstePort, "NvmeRAID", 0xE0002018, 132, {{28, 2}}).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  const auto members = ask(kRstePort, "NvmeRAID", 0xE000201C, 36 + 3 * 108, {{28, 1}, {32, 3 * 108}});
  ASSERT_FALSE(members.empty());
  EXPECT_EQ(le32(members, 36), 3u);
  EXPECT_EQ(le32(members, 36 + 108), 4u);
  EXPECT_EQ(text(members, 36 + 108 + 52, 40), "S40018");
  EXPECT_EQ(le32(members, 36 + 216), 0u);

  EXPECT_EQ(le32(ask(kRstePort, "NvmeRAID", 0xE0002028, 32), 28), 2u);
  const auto pass = ask(kRstePort, "NvmeRAID", 0xE000202C, 32 + 3 * 108, {{28, 3 * 108}});
  ASSERT_FALSE(pass.empty());
  EXPECT_EQ(le32(pass, 32), 6u);
  EXPECT_EQ(text(pass, 32 + 4, 40), "SIM NVME R6");
  EXPECT_EQ(le32(pass, 32 + 108), 0u);
  const auto spares = ask(kRstePort, "NvmeRAID", 0xE0002024, 32 + 2 * 108, {{28, 2 * 108}});
  ASSERT_FALSE(spares.empty());
  EXPECT_EQ(le32(spares, 32), 9u);

  // A unit handle takes no "NvmeRAID"; the port answers foreign signatures with ReturnCode 1.
  EXPECT_TRUE(ask("\\\\.\\PhysicalDrive11", "NvmeRAID", 0xE0002014, 32).empty());
  EXPECT_EQ(le32(ask(kRstePort, "NvmeMini", 0xE0002000, 152), 20), 1u);

  // A return length beyond the request is the host's fault.
  sim::expect_resource_change("contract_violations");
  EXPECT_TRUE(ask(kRstePort, "NvmeRAID", 0xE000202C, 32 + 108, {{28, 3 * 108}}).empty());
  EXPECT_EQ(sim::contract_violation_count(), 1u);
}

}  // namespace

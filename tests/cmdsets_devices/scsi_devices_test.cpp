// SCSI executors on a SCSI target behind a USB bridge and on the SCSI routes of NVMe and ATA
// drives: the CDBs that arrive, INQUIRY data and VPD pages, a firmware download with WRITE BUFFER
// 0Eh/0Fh, and the error records of SCSI status and sense data.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devices_support.h"
#include "huld/huld_scsi.h"
#include "vornscsi/errors.h"
#include "vornscsi/parse.h"
#include "vornscsi/scsi.h"
#include "tests/support/huld_error_line.h"

using namespace devices_test;

namespace {

using Cdb = std::vector<uint8_t>;

class ScsiOnDevice : public DeviceTest {
 protected:
  std::shared_ptr<sim::ScsiTarget> target() { return sim::storage_scsi(kScsiDisk); }

  static sim::TraceEntry last_request() {
    const auto spt = sent(kScsiPassThrough);
    EXPECT_FALSE(spt.empty());
    return spt.empty() ? sim::TraceEntry{} : spt.back();
  }

  static std::string revision_of(huld_dev &dev) {
    std::vector<uint8_t> inquiry(512, 0);
    huld_error err = fresh_error();
    EXPECT_EQ(vornscsi_execute_inquiry(&err, &dev, 0, 0, inquiry.data(), 512), 0) << err.message;
    char rev[8] = {};
    EXPECT_EQ(vornscsi_inquiry_parse_product_revision(&err, rev, sizeof(rev), inquiry.data(), 512), 0);
    return rev;
  }
  void nvme_write_buffer(bool windows81);
};

// Standard INQUIRY data and the serial number page on every route that carries SCSI commands.
TEST_F(ScsiOnDevice, InquiryAndSerialOnEveryRoute) {
  struct Case {
    const char *name;
    uint32_t disk, driver, iface;
    const char *vendor, *product, *revision, *serial;
  } cases[] = {
      {"scsi target", kScsiDisk, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI, "CORVANE", "CVX-SAS 1T", "X100", "CVXSER0001"},
      {"in-box nvme", kNvmeDisk, WINDOWS_INBOX_NVME, WINDOWS_NVME, "NVMe", "CORVANE CVN-512", "CN10", "CVN512SER0001"},
      {"usb bridge", kUsbSatDisk, INBOX_USB_MASS_STORAGE, WINDOWS_SCSI_SAT_ATA, "ATA", "CORVANE CVS-128", "0001",
       "CVSUSB0001"},
      {"in-box ahci", kAhciDisk, WINDOWS_INBOX_AHCI, WINDOWS_SCSI_SAT_ATA, "ATA", "CORVANE CVS-256", "0001",
       "CVS256SER0001"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    huld_dev &dev = open(c.disk, c.driver, c.iface);
    std::vector<uint8_t> standard(4096, 0);
    huld_error err = fresh_error();
    ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 0, 0, standard.data(), 4096), 0) << err.message;
    sim::TraceEntry spt = last_request();
    EXPECT_EQ(cdb_of(spt), (Cdb{0x12, 0x00, 0x00, 0x10, 0x00, 0x00}));
    EXPECT_EQ(spt.input.at(8), 1) << "data in";
    EXPECT_EQ(le32(spt.input, 12), 4096u);
    char out[64] = {};
    ASSERT_EQ(vornscsi_inquiry_parse_vendor_identification(&err, out, sizeof(out), standard.data(), 4096), 0);
    EXPECT_STREQ(out, c.vendor);
    ASSERT_EQ(vornscsi_inquiry_parse_product_identification(&err, out, sizeof(out), standard.data(), 4096), 0);
    EXPECT_STREQ(out, c.product);
    ASSERT_EQ(vornscsi_inquiry_parse_product_revision(&err, out, sizeof(out), standard.data(), 4096), 0);
    EXPECT_STREQ(out, c.revision);

    // The page code of a standard INQUIRY is not sent.
    ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 0, 0x80, standard.data(), 512), 0) << err.message;
    EXPECT_EQ(cdb_of(last_request()), (Cdb{0x12, 0x00, 0x00, 0x02, 0x00, 0x00}));

    std::vector<uint8_t> vpd(4096, 0);
    ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 1, 0x80, vpd.data(), 4096), 0) << err.message;
    EXPECT_EQ(cdb_of(last_request()), (Cdb{0x12, 0x01, 0x80, 0x10, 0x00, 0x00}));
    ASSERT_EQ(vornscsi_inquiry_vpd80_parse_serial(&err, out, sizeof(out), vpd.data(), 4096), 0) << err.message;
    EXPECT_STREQ(out, c.serial);
    close_all();
  }
}

TEST_F(ScsiOnDevice, VitalProductDataPages) {
  huld_dev &dev = scsi();
  huld_error err = fresh_error();
  std::vector<uint8_t> pages(4096, 0);
  ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 1, 0x00, pages.data(), 4096), 0) << err.message;
  EXPECT_EQ(cdb_of(last_request()), (Cdb{0x12, 0x01, 0x00, 0x10, 0x00, 0x00}));
  for (uint8_t page : {uint8_t{0x80}, uint8_t{0x83}, uint8_t{0xB1}}) {
    uint8_t found = 9;
    ASSERT_EQ(vornscsi_inquiry_vpd00_find_page(&err, &found, page, pages.data(), 4096), 0) << err.message;
    EXPECT_EQ(found, page == 0xB1 ? 0 : 1) << std::hex << int(page);
  }

  std::vector<uint8_t> ids(4096, 0);
  ASSERT_EQ(vornscsi_execute_inquiry(&err, &dev, 1, 0x83, ids.data(), 4096), 0) << err.message;
  uint8_t length = 0;
  const uint8_t *designator = nullptr;
  ASSERT_EQ(vornscsi_inquiry_vpd83_parse_designation_descriptor(&err, &length, &designator, 2, 0, 1, ids.data(),
                                                                4096),
            0)
      << err.message;
  ASSERT_NE(designator, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(designator), length), "CORVANE CVXSER0001");

  // A page the target does not have: CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN CDB.
  EXPECT_EQ(vornscsi_execute_inquiry(&err, &dev, 1, 0xB1, ids.data(), 4096), 1);
  EXPECT_EQ(error_line(err), "code 1 subcode 0 file vornscsi\\errors function sense_check_error"
                             " message SCSI Error: Status: 2H Sense Code: 05/24/00H\n");
}

// WRITE BUFFER 0Eh in pieces at the target's offset boundary, then 0Fh without data to activate;
// the target reports the change with a unit attention on the next command.
TEST_F(ScsiOnDevice, WriteBufferDownloadAndActivation) {
  huld_dev &dev = scsi();
  auto t = target();
  sim::TestImageSpec fields;
  fields.target = sim::ImageTarget::Scsi;
  fields.revision = "CX200002";
  fields.inquiry_revision = "X200";
  fields.total_size = 20000;
  std::vector<uint8_t> image = sim::make_test_image(fields);
  const uint32_t piece = 8192;
  huld_error err = fresh_error();
  std::vector<std::pair<uint32_t, uint32_t>> pieces;
  for (uint32_t offset = 0; offset < image.size(); offset += piece) {
    const uint32_t len = std::min<uint32_t>(piece, static_cast<uint32_t>(image.size()) - offset);
    ASSERT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0E, len, offset, image.data() + offset, len), 0)
        << err.message;
    pieces.emplace_back(offset, len);
  }
  EXPECT_EQ(t->staged_bytes(), image.size());
  ASSERT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0F, 0, 0, nullptr, 0), 0) << err.message;

  const auto spt = sent(kScsiPassThrough);
  ASSERT_EQ(spt.size(), pieces.size() + 1);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const uint32_t off = pieces[i].first, len = pieces[i].second;
    const Cdb expected = {0x3B, 0x0E, 0x00, static_cast<uint8_t>(off >> 16), static_cast<uint8_t>(off >> 8),
                          static_cast<uint8_t>(off), static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
                          static_cast<uint8_t>(len), 0x00};
    EXPECT_EQ(cdb_of(spt[i]), expected);
    EXPECT_EQ(spt[i].input.at(8), 0) << "data out";
    EXPECT_EQ(le32(spt[i].input, 12), len);
    EXPECT_TRUE(std::equal(spt[i].input.begin() + 88, spt[i].input.begin() + 88 + len, image.begin() + off));
  }
  EXPECT_EQ(cdb_of(spt.back()), (Cdb{0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(spt.back().input.at(8), 0) << "data out, also without data";
  EXPECT_EQ(le32(spt.back().input, 12), 0u);

  EXPECT_EQ(t->running_revision(), "X200");
  EXPECT_EQ(revision_of(dev), "X200");
  EXPECT_EQ(vornscsi_execute_test_unit_ready(&err, &dev), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 06/3F/01H\n");
  EXPECT_EQ(vornscsi_execute_test_unit_ready(&err, &dev), 0);
  EXPECT_EQ(err.code, 0u);
}

// WRITE BUFFER on the SCSI route of an in-box NVMe drive: Windows 10 passes the CDBs to the
// driver's translation; on Windows 8.1 the execute layer turns them into "FIRMWARE" requests
// (activation of slot 1). Either way the image runs after a controller reset. The image is larger
// than 64 KiB, so the offsets fill all three bytes of the CDB field.
void ScsiOnDevice::nvme_write_buffer(bool windows81) {
  huld_dev &dev = nvme();
  auto ctl = sim::storage_nvme(kNvmeDisk);
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "CN200002", 70000);
  const uint32_t piece = 8192;
  huld_error err = fresh_error();
  uint32_t count = 0;
  for (uint32_t offset = 0; offset < image.size(); offset += piece, ++count) {
    const uint32_t len = std::min<uint32_t>(piece, static_cast<uint32_t>(image.size()) - offset);
    ASSERT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0E, len, offset, image.data() + offset, len), 0)
        << err.message;
  }
  EXPECT_EQ(ctl->staged_image(), image);
  ASSERT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0F, 0, 0, nullptr, 0), 0) << err.message;
  if (windows81) {
    const auto requests = sent(kIoctlScsiMiniport);
    ASSERT_EQ(requests.size(), count + 1);
    EXPECT_EQ(sent(kScsiPassThrough).size(), 0u);
    EXPECT_EQ(le32(requests[1].input, 36), 2u);
    EXPECT_EQ(le64(requests[1].input, 64), piece) << "the buffer offset";
    EXPECT_EQ(le64(requests[1].input, 72), piece);
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(le64(requests[i].input, 64), uint64_t{i} * piece) << "piece " << i;
    EXPECT_EQ(le32(requests.back().input, 36), 3u);
    EXPECT_EQ(requests.back().input.at(64), 1) << "slot 1";
    EXPECT_EQ(ctl->slot_revision(1), "CN200002");
  } else {
    const auto spt = sent(kScsiPassThrough);
    ASSERT_EQ(spt.size(), count + 1);
    EXPECT_EQ(sent(kIoctlScsiMiniport).size(), 0u);
    EXPECT_EQ(cdb_of(spt[1]), (Cdb{0x3B, 0x0E, 0x00, 0x00, 0x20, 0x00, 0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(cdb_of(spt[8]), (Cdb{0x3B, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x11, 0x70, 0x00}));
    EXPECT_EQ(cdb_of(spt.back()), (Cdb{0x3B, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ctl->slot_revision(2), "CN200002") << "the controller chose the slot";
  }
  EXPECT_EQ(ctl->running_revision(), "CN100001");
  reset_bus(0);
  EXPECT_EQ(ctl->running_revision(), "CN200002");
  EXPECT_EQ(revision_of(dev), "CN20");
}

TEST_F(ScsiOnDevice, WriteBufferOnTheNvmeScsiRoute) { nvme_write_buffer(false); }

TEST_F(ScsiOnDevice, WriteBufferOnTheNvmeScsiRouteOfWindows81) {
  reload_with(R"({"os": {"major": 6, "minor": 3, "build": 9600}})");
  nvme_write_buffer(true);
}

// The target's refusals of a misplaced piece and of an activation without an image.
TEST_F(ScsiOnDevice, WriteBufferRefusedByTheTarget) {
  huld_dev &dev = scsi();
  std::vector<uint8_t> piece(4096, 0x11);
  huld_error err = fresh_error();
  EXPECT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0E, 4096, 4096, piece.data(), 4096), 1);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_FAILURE));
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 05/24/00H\n");
  EXPECT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0F, 0, 0, nullptr, 0), 1);
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 05/2C/00H\n");
  EXPECT_EQ(target()->running_revision(), "X100");
}

// SCSI status and sense data from target fault rules become the error records: CHECK CONDITION
// with fixed or descriptor sense is a failure naming key, ASC and ASCQ; any other status is a
// device error with the status as subcode.
TEST_F(ScsiOnDevice, StatusAndSenseBecomeTheErrorRecord) {
  huld_dev &dev = scsi();
  auto t = target();
  struct Row {
    const char *name;
    uint8_t status;
    bool descriptor;
    uint8_t key, asc, ascq;
    uint32_t code, subcode;
    const char *message;
  } rows[] = {
      {"fixed sense", 0x02, false, 0x05, 0x24, 0x00, HULD_ERROR_FAILURE, 0,
       "SCSI Error: Status: 2H Sense Code: 05/24/00H\n"},
      {"descriptor sense", 0x02, true, 0x05, 0x24, 0x00, HULD_ERROR_FAILURE, 0,
       "SCSI Error: Status: 2H Sense Code: 05/24/00H\n"},
      {"descriptor sense, medium error", 0x02, true, 0x03, 0x11, 0x00, HULD_ERROR_FAILURE, 0,
       "SCSI Error: Status: 2H Sense Code: 03/11/00H\n"},
      {"fixed sense, hardware error", 0x02, false, 0x04, 0x44, 0x00, HULD_ERROR_FAILURE, 0,
       "SCSI Error: Status: 2H Sense Code: 04/44/00H\n"},
      {"busy", 0x08, false, 0, 0, 0, HULD_ERROR_DEVICE, 0x08, "device error detected, scsi status 8h"},
      {"reservation conflict", 0x18, false, 0, 0, 0, HULD_ERROR_DEVICE, 0x18, "device error detected, scsi status 18h"},
      {"task set full", 0x28, false, 0, 0, 0, HULD_ERROR_DEVICE, 0x28, "device error detected, scsi status 28h"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    t->clear_faults();
    sim::ScsiFaultRule rule;
    rule.opcode = 0x3B;
    rule.status = row.status;
    rule.descriptor = row.descriptor;
    rule.sense_key = row.key;
    rule.asc = row.asc;
    rule.ascq = row.ascq;
    rule.when = {1, 0};
    t->add_fault(rule);
    std::vector<uint8_t> piece(8192, 0x22);
    huld_error err = fresh_error();
    EXPECT_EQ(vornscsi_execute_write_buffer(&err, &dev, 0x0E, 8192, 0, piece.data(), 8192), 1);
    EXPECT_EQ(err.code, row.code);
    EXPECT_EQ(err.subcode, row.subcode);
    EXPECT_STREQ(err.message, row.message);
    EXPECT_STREQ(err.file, "vornscsi\\errors");
    if (row.code == HULD_ERROR_DEVICE) {
      EXPECT_STREQ(err.function, "vornscsi_check_error");
    }
    EXPECT_EQ(t->staged_bytes(), 0u);
  }
  t->clear_faults();

  // The same through the driver's own answer (fault rule on the pass-through request).
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.path = disk_path(kScsiDisk);
  rule.match.control_code = kScsiPassThrough;
  rule.match.count = sim::FaultCount::at(1);
  rule.action = sim::FaultAction::custom_action("scsi_status", 0x02, 1u << 24 | 0x0B4700);
  sim::add_fault(rule);
  huld_error err = fresh_error();
  EXPECT_EQ(vornscsi_execute_test_unit_ready(&err, &dev), 1);
  EXPECT_STREQ(err.message, "SCSI Error: Status: 2H Sense Code: 0B/47/00H\n");
  EXPECT_EQ(vornscsi_execute_test_unit_ready(&err, &dev), 0);

  // A failed driver call is the execute layer's failure, handed on unchanged.
  sim::fail_ioctl(disk_path(kScsiDisk), kScsiPassThrough, ERROR_IO_DEVICE, sim::FaultCount::at(1));
  EXPECT_EQ(vornscsi_execute_test_unit_ready(&err, &dev), 1);
  EXPECT_EQ(error_line(err), "code 4 subcode 1117 file huld\\windows\\huld_scsi_windows function execute_scsi_ex"
                             " message error executing scsi ex DeviceIoControl");
}

}  // namespace

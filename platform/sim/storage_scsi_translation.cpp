// The SCSI translation of an NVMe drive, as the NVMe drivers' disk class path offers it, and the
// INQUIRY answers built from a unit's descriptor.
#include <algorithm>
#include <cstring>

#include "sim/storage/helpers.h"

namespace sim {
namespace {

uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t be24(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

ScsiResult data_answer(const std::vector<uint8_t> &page, uint32_t alloc, uint8_t *data, uint32_t data_len) {
  const uint32_t n = std::min<uint32_t>({static_cast<uint32_t>(page.size()), alloc, data_len});
  if (n) std::memcpy(data, page.data(), n);
  ScsiResult res;
  res.data_transferred = n;
  return res;
}

// Serial page (VPD 80h) with `serial` from byte 4.
std::vector<uint8_t> serial_page(const uint8_t *serial, size_t n) {
  std::vector<uint8_t> page(4 + n, 0);
  page[1] = 0x80;
  page[3] = static_cast<uint8_t>(n);
  std::memcpy(page.data() + 4, serial, n);
  return page;
}

ScsiResult inquiry(const NvmeRun &run, const uint8_t *cdb, uint8_t *data, uint32_t data_len) {
  const uint32_t alloc = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
  NvmeCommand id;
  id.cdw0 = 0x06;
  id.cdw10 = 1;
  std::vector<uint8_t> ident(4096, 0);
  NvmeCompletion c = run(id, true, ident.data(), 4096);
  if (!c.ok()) return check_condition_fixed(0x04, 0x44, 0x00);
  std::vector<uint8_t> page;
  if (cdb[1] & 1) {
    switch (cdb[2]) {
      case 0x00:
        page = {0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83};
        break;
      case 0x80:
        page = serial_page(ident.data() + 4, 20);
        break;
      case 0x83:
        page.assign(4 + 4 + 16, 0);
        page[1] = 0x83;
        page[3] = 20;
        page[4] = 0x02;  // ASCII, vendor-specific identifier: the serial
        page[7] = 16;
        std::memcpy(page.data() + 8, ident.data() + 4, 16);
        break;
      default:
        return check_condition_fixed(0x05, 0x24, 0x00);
    }
  } else {
    if (cdb[2] != 0) return check_condition_fixed(0x05, 0x24, 0x00);
    page.assign(36, 0);
    page[2] = 0x06;
    page[3] = 0x02;
    page[4] = 31;
    page[7] = 0x02;
    std::memcpy(page.data() + 8, "NVMe    ", 8);
    std::memcpy(page.data() + 16, ident.data() + 24, 16);
    std::memcpy(page.data() + 32, ident.data() + 64, 4);
  }
  return data_answer(page, alloc, data, data_len);
}

ScsiResult write_buffer(const NvmeRun &run, const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len,
                        int ddir) {
  if (cdb_len < 10) return scsi_invalid_opcode();
  const uint8_t mode = cdb[1] & 0x1F;
  const uint32_t offset = be24(cdb + 3), length = be24(cdb + 6);
  NvmeCommand cmd;
  if (mode == 0x0E) {
    if (length == 0 || length % 4 != 0 || offset % 4 != 0 || ddir != kDirOut || length != data_len)
      return check_condition_fixed(0x05, 0x24, 0x00);
    cmd.cdw0 = 0x11;
    cmd.cdw10 = length / 4 - 1;
    cmd.cdw11 = offset / 4;
    NvmeCompletion c = run(cmd, true, data, length);
    if (!c.ok()) return sense_for_nvme_status(c);
    return ScsiResult{};
  }
  if (mode == 0x0F) {
    cmd.cdw0 = 0x10;
    cmd.cdw10 = static_cast<uint32_t>(cdb[2] & 7) | 1u << 3;
    NvmeCompletion c = run(cmd, true, nullptr, 0);
    if (!c.ok()) return sense_for_nvme_status(c);
    return ScsiResult{};
  }
  return check_condition_fixed(0x05, 0x24, 0x00);
}

}  // namespace

ScsiResult sense_for_nvme_status(const NvmeCompletion &c) {
  switch (c.status()) {
    case kNvmeInvalidOpcode: return check_condition_fixed(0x05, 0x20, 0x00);
    case kNvmeInvalidField: return check_condition_fixed(0x05, 0x24, 0x00);
    case kNvmeInvalidNamespace: return check_condition_fixed(0x05, 0x25, 0x00);
    case kNvmeCommandSequenceError: return check_condition_fixed(0x05, 0x2C, 0x00);
    case kNvmeInvalidFirmwareSlot: return check_condition_fixed(0x05, 0x24, 0x00);
    case kNvmeInvalidFirmwareImage: return check_condition_fixed(0x05, 0x26, 0x00);
    case kNvmeOverlappingRange: return check_condition_fixed(0x05, 0x24, 0x00);
    default: return check_condition_fixed(0x04, 0x44, 0x00);
  }
}

ScsiResult translate_scsi_to_nvme(const NvmeRun &run, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                                  uint32_t data_len, int ddir, bool with_write_buffer) {
  NvmeCommand cmd;
  NvmeCompletion c;
  switch (cdb[0]) {
    case 0x12:
      if (cdb_len < 6) return scsi_invalid_opcode();
      return inquiry(run, cdb, data, ddir == kDirIn ? data_len : 0);
    case 0x00:  // TEST UNIT READY
      return ScsiResult{};
    case 0x03: {  // REQUEST SENSE: nothing pending
      const std::vector<uint8_t> sense = {0x70, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      return data_answer(sense, cdb[4], data, ddir == kDirIn ? data_len : 0);
    }
    case 0x88:    // READ(16)
    case 0x8A: {  // WRITE(16)
      if (cdb_len < 16) return scsi_invalid_opcode();
      const uint32_t blocks = be32(cdb + 10);
      if (blocks == 0) return ScsiResult{};
      const bool read = cdb[0] == 0x88;
      if (blocks > 0x10000 || ddir != (read ? kDirIn : kDirOut)) return check_condition_fixed(0x05, 0x24, 0x00);
      cmd.cdw0 = read ? 0x02 : 0x01;
      cmd.nsid = 1;
      cmd.cdw10 = be32(cdb + 6);
      cmd.cdw11 = be32(cdb + 2);
      cmd.cdw12 = (blocks - 1) | (read && (cdb[1] & 0x08) ? 1u << 30 : 0);
      c = run(cmd, false, data, data_len);
      break;
    }
    case 0x35:  // SYNCHRONIZE CACHE(10)
      cmd.cdw0 = 0x00;
      cmd.nsid = 1;
      c = run(cmd, false, nullptr, 0);
      break;
    case 0xA2:    // SECURITY PROTOCOL IN
    case 0xB5: {  // SECURITY PROTOCOL OUT
      if (cdb_len < 12) return scsi_invalid_opcode();
      const bool in = cdb[0] == 0xA2;
      if (be32(cdb + 6) > 0 && ddir != (in ? kDirIn : kDirOut)) return check_condition_fixed(0x05, 0x24, 0x00);
      cmd.cdw0 = in ? 0x82 : 0x81;
      cmd.nsid = 1;
      cmd.cdw10 = static_cast<uint32_t>(cdb[1]) << 24 | static_cast<uint32_t>(cdb[2]) << 16 |
                  static_cast<uint32_t>(cdb[3]) << 8;
      cmd.cdw11 = be32(cdb + 6);
      c = run(cmd, true, data, std::min(data_len, cmd.cdw11));
      break;
    }
    case 0x3B:
      if (!with_write_buffer) return scsi_invalid_opcode();
      return write_buffer(run, cdb, cdb_len, data, data_len, ddir);
    default:
      return scsi_invalid_opcode();
  }
  if (!c.ok()) return sense_for_nvme_status(c);
  ScsiResult res;
  res.data_transferred = c.data_transferred;
  return res;
}

ScsiResult inquiry_from_descriptor(const StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                                   uint32_t data_len, int ddir) {
  if (cdb[0] != 0x12 || cdb_len < 6) return scsi_invalid_opcode();
  const uint32_t alloc = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
  if (ddir != kDirIn) data_len = 0;
  std::vector<uint8_t> page;
  if (cdb[1] & 1) {
    if (cdb[2] == 0x00) {
      page = {lu.device_type, 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (cdb[2] == 0x80) {
      page = serial_page(reinterpret_cast<const uint8_t *>(lu.serial.data()), std::min<size_t>(lu.serial.size(), 255));
      page[0] = lu.device_type;
    } else {
      return check_condition_fixed(0x05, 0x24, 0x00);
    }
  } else {
    if (cdb[2] != 0) return check_condition_fixed(0x05, 0x24, 0x00);
    page.assign(36, ' ');
    page[0] = lu.device_type;
    page[1] = 0;
    page[2] = 0x06;
    page[3] = 0x02;
    page[4] = 31;
    page[5] = page[6] = page[7] = 0;
    std::copy_n(lu.vendor.begin(), std::min<size_t>(lu.vendor.size(), 8), page.begin() + 8);
    std::copy_n(lu.product.begin(), std::min<size_t>(lu.product.size(), 16), page.begin() + 16);
    std::copy_n(lu.revision.begin(), std::min<size_t>(lu.revision.size(), 4), page.begin() + 32);
  }
  return data_answer(page, alloc, data, data_len);
}

}  // namespace sim

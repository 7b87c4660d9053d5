#include "sim/drives/sat_device.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

ScsiResult good(uint32_t transferred = 0) {
  ScsiResult r;
  r.data_transferred = transferred;
  return r;
}
ScsiResult data_in(const std::vector<uint8_t> &src, uint32_t alloc, uint8_t *data, uint32_t data_len) {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>({src.size(), alloc, data ? data_len : 0u}));
  if (n) std::memcpy(data, src.data(), n);
  return good(n);
}
ScsiResult invalid_field() { return check_condition_fixed(0x05, 0x24, 0x00); }

// Protocols that move data: PIO in and out, DMA, UDMA in and out, FPDMA.
bool data_protocol(uint8_t protocol) {
  return protocol == 4 || protocol == 5 || protocol == 6 || protocol == 10 || protocol == 11 ||
         protocol == 12;
}

// Bytes of the logical sector the drive reports (IDENTIFY words 106, 117-118), 512 by default.
uint32_t logical_sector_size(const std::array<uint8_t, 512> &id) {
  const uint16_t w106 = static_cast<uint16_t>(id[212] | id[213] << 8);
  if ((w106 & 0xC000) != 0x4000 || !(w106 & 0x1000)) return 512;
  const uint32_t words = static_cast<uint32_t>(id[234] | id[235] << 8 | id[236] << 16 | id[237] << 24);
  return words >= 256 ? words * 2 : 512;
}

// Descriptor sense (72h) with an ATA Status Return descriptor (09h, length 0Ch) at byte 8.
ScsiResult status_return_sense(uint8_t key, uint8_t asc, uint8_t ascq, const AtaResult &regs, bool ext) {
  ScsiResult r = check_condition_descriptor(key, asc, ascq);
  uint8_t *s = r.sense;
  const uint64_t lba = regs.lba;
  s[7] = 14;
  s[8] = 0x09;
  s[9] = 0x0C;
  s[10] = ext ? 1 : 0;
  s[11] = regs.error;
  s[12] = static_cast<uint8_t>(regs.count >> 8);
  s[13] = static_cast<uint8_t>(regs.count);
  s[14] = static_cast<uint8_t>(lba >> 24);
  s[15] = static_cast<uint8_t>(lba);
  s[16] = static_cast<uint8_t>(lba >> 32);
  s[17] = static_cast<uint8_t>(lba >> 8);
  s[18] = static_cast<uint8_t>(lba >> 40);
  s[19] = static_cast<uint8_t>(lba >> 16);
  s[20] = regs.device;
  s[21] = regs.status;
  r.sense_len = 22;
  return r;
}

}  // namespace

uint64_t SatDevice::announced_bytes(const SatCdb &c, uint32_t transport_length) const {
  if (!data_protocol(c.protocol)) return 0;
  uint64_t field;
  switch (c.t_length) {
    case 0: return 0;
    case 1: field = c.tf.feature; break;   // decoding kept bits 7:0 only for a 28-bit command
    case 2: field = c.tf.count; break;
    default: return transport_length;      // the length is the transport's
  }
  if (!c.byte_block) return field;
  return field * (c.t_type ? logical_sector_size(drive_->identify_data()) : 512u);
}

bool decode_sat_cdb(const uint8_t *cdb, size_t cdb_len, SatCdb *out) {
  if (!cdb || !out) return false;
  const bool is16 = cdb_len >= 16 && cdb[0] == 0x85;
  const bool is12 = cdb_len >= 12 && cdb[0] == 0xA1;
  if (!is16 && !is12) return false;
  SatCdb c;
  c.multiple_count = cdb[1] >> 5;
  c.protocol = (cdb[1] >> 1) & 0x0F;
  c.extend = is16 && (cdb[1] & 1);
  c.off_line = cdb[2] >> 6;
  c.ck_cond = (cdb[2] >> 5) & 1;
  c.t_type = (cdb[2] >> 4) & 1;
  c.t_dir_in = (cdb[2] >> 3) & 1;
  c.byte_block = (cdb[2] >> 2) & 1;
  c.t_length = cdb[2] & 3;
  if (is16) {
    c.tf.feature = static_cast<uint16_t>(cdb[3] << 8 | cdb[4]);
    c.tf.count = static_cast<uint16_t>(cdb[5] << 8 | cdb[6]);
    c.tf.lba = static_cast<uint64_t>(cdb[8]) | static_cast<uint64_t>(cdb[10]) << 8 |
               static_cast<uint64_t>(cdb[12]) << 16 | static_cast<uint64_t>(cdb[7]) << 24 |
               static_cast<uint64_t>(cdb[9]) << 32 | static_cast<uint64_t>(cdb[11]) << 40;
    c.tf.device = cdb[13];
    c.tf.command = cdb[14];
  } else {
    c.tf.feature = cdb[3];
    c.tf.count = cdb[4];
    c.tf.lba = static_cast<uint64_t>(cdb[5]) | static_cast<uint64_t>(cdb[6]) << 8 | static_cast<uint64_t>(cdb[7]) << 16;
    c.tf.device = cdb[8];
    c.tf.command = cdb[9];
  }
  if (!c.extend) {
    // 28-bit command: the high register bytes are not part of it.
    c.tf.feature &= 0xFF;
    c.tf.count &= 0xFF;
    c.tf.lba = (c.tf.lba & 0xFFFFFF) | static_cast<uint64_t>(c.tf.device & 0x0F) << 24;
  }
  c.tf.is_ext = c.extend;
  *out = c;
  return true;
}

void encode_sat_cdb16(const SatCdb &in, uint8_t cdb[16]) {
  std::memset(cdb, 0, 16);
  cdb[0] = 0x85;
  cdb[1] = static_cast<uint8_t>((in.multiple_count & 7) << 5 | (in.protocol & 0x0F) << 1 | (in.extend ? 1 : 0));
  cdb[2] = static_cast<uint8_t>((in.off_line & 3) << 6 | (in.ck_cond ? 0x20 : 0) | (in.t_type & 1) << 4 |
                                (in.t_dir_in ? 0x08 : 0) | (in.byte_block ? 0x04 : 0) | (in.t_length & 3));
  cdb[3] = static_cast<uint8_t>(in.tf.feature >> 8);
  cdb[4] = static_cast<uint8_t>(in.tf.feature);
  cdb[5] = static_cast<uint8_t>(in.tf.count >> 8);
  cdb[6] = static_cast<uint8_t>(in.tf.count);
  cdb[7] = static_cast<uint8_t>(in.tf.lba >> 24);
  cdb[8] = static_cast<uint8_t>(in.tf.lba);
  cdb[9] = static_cast<uint8_t>(in.tf.lba >> 32);
  cdb[10] = static_cast<uint8_t>(in.tf.lba >> 8);
  cdb[11] = static_cast<uint8_t>(in.tf.lba >> 40);
  cdb[12] = static_cast<uint8_t>(in.tf.lba >> 16);
  cdb[13] = in.tf.device;
  cdb[14] = in.tf.command;
}

SatDevice::SatDevice(std::shared_ptr<AtaDrive> drive, SatConfig config)
    : drive_(std::move(drive)), cfg_(std::move(config)) {
  for (const ScsiFaultRule &r : cfg_.faults) faults_.add(r);
}

ScsiResult SatDevice::execute(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cdb || cdb_len < 6) return check_condition_fixed(0x05, 0x20, 0x00);
  // The transfer is sized from the CDB as SAT defines it; a data buffer of another size is the
  // host's error (a bridge would move the announced bytes and no others).
  SatCdb c;
  if ((cdb[0] == 0x85 || cdb[0] == 0xA1) && decode_sat_cdb(cdb, cdb_len, &c)) {
    const uint32_t buffer = ddir == kDirNone ? 0 : data_len;
    const uint64_t announced = announced_bytes(c, buffer);
    if (announced != buffer) {
      ScsiResult r = invalid_field();
      r.contract_violation = "ATA PASS-THROUGH command " + std::to_string(c.tf.command) + " announces " +
                             std::to_string(announced) + " bytes (T_LENGTH " + std::to_string(c.t_length) +
                             ", BYTE_BLOCK " + std::to_string(c.byte_block) + ", EXTEND " +
                             std::to_string(c.extend) + ") for a data buffer of " + std::to_string(buffer) +
                             " bytes";
      return r;
    }
  }
  const ScsiFaultRule *rule = faults_.match(cdb, cdb_len);
  if (rule && rule->ata_status_return) {
    // The layer refuses the command before the drive sees it, yet reports registers that show
    // no error unless the rule's STATUS has one.
    AtaResult regs;
    regs.status = *rule->ata_status_return;
    ScsiResult r = status_return_sense(rule->sense_key, rule->asc, rule->ascq, regs, false);
    if (rule->status) r.status = *rule->status;
    if (rule->sense_len) r.sense_len = *rule->sense_len;
    return r;
  }
  return ScsiFaultSet::apply(
      rule,
      [&](uint8_t *d, uint32_t n) -> ScsiResult {
        switch (cdb[0]) {
          case 0x85:
          case 0xA1:
            return pass_through(cdb, cdb_len, d, n, ddir);
          case 0x12:
            return inquiry(cdb, d, n);
          case 0x00:
            return good();
          case 0x03: {
            const ScsiResult s = (cdb[1] & 1) ? check_condition_descriptor(0, 0, 0) : check_condition_fixed(0, 0, 0);
            return data_in(std::vector<uint8_t>(s.sense, s.sense + s.sense_len), cdb[4], d, n);
          }
          default:
            return check_condition_fixed(0x05, 0x20, 0x00);
        }
      },
      data, data_len, ddir);
}

ScsiResult SatDevice::pass_through(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir) {
  SatCdb c;
  if (!decode_sat_cdb(cdb, cdb_len, &c)) return invalid_field();
  switch (c.protocol) {
    case 0:  // hardware reset
    case 1:  // software reset
      return good();
    case 15:  // return response information
      return registers_sense(false, last_regs_, c.extend);
    case 3:
    case 4:
    case 5:
    case 6:
    case 10:
    case 12:
      break;
    default:
      return invalid_field();
  }
  const bool moves_data = c.protocol != 3 && c.t_length != 0;
  if (moves_data) {
    if ((c.protocol == 4 && !c.t_dir_in) || (c.protocol == 5 && c.t_dir_in)) return invalid_field();
    if (ddir != kDirNone && (ddir == kDirIn) != c.t_dir_in) return invalid_field();
  } else if (c.protocol == 3 && ddir != kDirNone && data_len != 0) {
    return invalid_field();
  }
  if (cfg_.pass_listed_only) {
    const uint8_t cmd = c.tf.command;
    if (cmd != 0x80 && cmd != 0xB0 && cmd != 0x92 && cmd != 0xEC && cmd != 0x2F) return invalid_field();
  }
  c.tf.ddir = moves_data ? (c.t_dir_in ? kDirIn : kDirOut) : kDirNone;
  c.tf.protocol = c.protocol == 4 || c.protocol == 5 ? AtaProtocol::pio
                  : c.protocol == 3                  ? AtaProtocol::unstated
                                                     : AtaProtocol::dma;
  const AtaResult regs = drive_->execute(c.tf, moves_data ? data : nullptr, moves_data ? data_len : 0);
  last_regs_ = regs;
  if (regs.err()) {
    ScsiResult r = registers_sense(true, regs, c.extend);
    r.data_transferred = regs.data_transferred;
    return r;
  }
  if (c.ck_cond) {
    ScsiResult r = registers_sense(false, regs, c.extend);
    r.data_transferred = regs.data_transferred;
    return r;
  }
  return good(regs.data_transferred);
}

ScsiResult SatDevice::registers_sense(bool error, const AtaResult &regs, bool ext) const {
  const uint8_t key = error ? cfg_.error_key : cfg_.ck_key;
  const uint8_t asc = error ? cfg_.error_asc : cfg_.ck_asc;
  const uint8_t ascq = error ? cfg_.error_ascq : cfg_.ck_ascq;
  ScsiResult r;
  r.status = kScsiCheckCondition;
  uint8_t *s = r.sense;
  const uint64_t lba = regs.lba;
  if (cfg_.sense_format == SatSenseFormat::Descriptor) {
    r = status_return_sense(key, asc, ascq, regs, ext);
  } else {
    const uint8_t add_len = cfg_.fixed_additional_length.value_or(10);
    s[0] = 0x70;
    s[2] = key & 0x0F;
    s[7] = add_len;
    switch (cfg_.sense_format) {
      case SatSenseFormat::FixedOld:
        if (cfg_.fixed_valid) s[0] |= 0x80;
        s[3] = static_cast<uint8_t>(regs.count);
        s[4] = regs.device;
        s[5] = regs.status;
        s[6] = regs.error;
        s[9] = static_cast<uint8_t>(lba >> 16);
        s[10] = static_cast<uint8_t>(lba >> 8);
        s[11] = static_cast<uint8_t>(lba);
        break;
      case SatSenseFormat::FixedNew:
        if (cfg_.fixed_valid) s[0] |= 0x80;
        s[3] = regs.error;
        s[4] = regs.status;
        s[5] = regs.device;
        s[6] = static_cast<uint8_t>(regs.count);
        s[8] = static_cast<uint8_t>((ext ? 0x80 : 0) | ((regs.count >> 8) ? 0x40 : 0) | ((lba >> 24) ? 0x20 : 0));
        s[9] = static_cast<uint8_t>(lba);
        s[10] = static_cast<uint8_t>(lba >> 8);
        s[11] = static_cast<uint8_t>(lba >> 16);
        break;
      default:  // FixedLong
        s[8] = regs.error;
        s[9] = regs.status;
        s[10] = regs.device;
        s[11] = static_cast<uint8_t>(regs.count);
        s[14] = static_cast<uint8_t>(lba >> 16);
        break;
    }
    s[12] = asc;
    s[13] = ascq;
    r.sense_len = std::min<uint32_t>(32, 8u + add_len);
    std::memset(s + r.sense_len, 0, 32 - r.sense_len);
  }
  if (cfg_.sense_len_limit && *cfg_.sense_len_limit < r.sense_len) {
    r.sense_len = *cfg_.sense_len_limit;
    std::memset(s + r.sense_len, 0, 32 - r.sense_len);
  }
  return r;
}

ScsiResult SatDevice::inquiry(const uint8_t *cdb, uint8_t *data, uint32_t data_len) {
  const bool evpd = cdb[1] & 1;
  const uint8_t page = cdb[2];
  const uint32_t alloc = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
  const DriveIdentity id = drive_->identity();
  // Product revision: the last four characters of the firmware revision, or the first four
  // when those are blank.
  std::string fw = id.firmware;
  fw.resize(8, ' ');
  std::string rev = fw.substr(4, 4);
  if (trim_text(rev).empty()) rev = fw.substr(0, 4);
  std::vector<uint8_t> out;
  if (!evpd) {
    if (page != 0) return invalid_field();
    out.assign(96, 0);
    out[2] = 0x06;
    out[3] = 0x02;
    out[4] = 96 - 5;
    put_padded(out.data() + 8, 8, cfg_.vendor);
    put_padded(out.data() + 16, 16, id.model);
    put_padded(out.data() + 32, 4, rev);
    return data_in(out, alloc, data, data_len);
  }
  switch (page) {
    case 0x00:
      out = {0x00, 0x00, 0x00, 0x04, 0x00, 0x80, 0x83, 0x89};
      break;
    case 0x80:
      out = {0x00, 0x80, 0x00, 20};
      out.resize(24);
      put_padded(out.data() + 4, 20, id.serial);
      break;
    case 0x83: {
      // T10 vendor identification: vendor, model (40), serial (20).
      std::vector<uint8_t> ident(68);
      put_padded(ident.data(), 8, cfg_.vendor);
      put_padded(ident.data() + 8, 40, id.model);
      put_padded(ident.data() + 48, 20, id.serial);
      out = {0x00, 0x83, 0x00, static_cast<uint8_t>(4 + ident.size()), 0x02, 0x01, 0x00,
             static_cast<uint8_t>(ident.size())};
      out.insert(out.end(), ident.begin(), ident.end());
      break;
    }
    case 0x89: {  // ATA information
      out.assign(572, 0);
      out[1] = 0x89;
      out[2] = 0x02;
      out[3] = 0x38;
      put_padded(out.data() + 8, 8, "SIMSATL");
      put_padded(out.data() + 16, 16, "SIM SAT LAYER");
      put_padded(out.data() + 32, 4, "0001");
      out[36] = 0x34;  // device-to-host register FIS
      out[38] = 0x50;
      out[56] = 0xEC;
      const std::array<uint8_t, 512> idd = drive_->identify_data();
      std::memcpy(out.data() + 60, idd.data(), 512);
      break;
    }
    default:
      return invalid_field();
  }
  return data_in(out, alloc, data, data_len);
}

void SatDevice::add_fault(const ScsiFaultRule &rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.add(rule);
}

void SatDevice::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

void SatDevice::set_sense_format(SatSenseFormat format, bool valid) {
  std::lock_guard<std::mutex> lock(mutex_);
  cfg_.sense_format = format;
  cfg_.fixed_valid = valid;
}

}  // namespace sim

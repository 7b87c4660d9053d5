// SCSI/ATA translation: ATA PASS-THROUGH CDB fields, the builder that wraps an ATA command and
// the decoder that reads the ATA registers back from the SCSI status and sense data.
#define HULD_MODULE "huld\\huld_scsi"

#include <cstring>

#include "huld/huld_log.h"
#include "huld/huld_scsi.h"

namespace {

bool is12(const uint8_t *cdb) { return cdb[0] == HULD_SAT_ATA_PASS_THROUGH_12; }

// ERR, bit 0 of the ATA STATUS register.
constexpr uint8_t kAtaStatusErr = 0x01;

uint8_t get_bits(uint8_t byte, int shift, uint8_t mask) {
  return static_cast<uint8_t>((byte >> shift) & mask);
}

void set_bits(uint8_t *byte, int shift, uint8_t mask, uint8_t value) {
  *byte = static_cast<uint8_t>((*byte & ~(mask << shift)) | ((value & mask) << shift));
}

}  // namespace

// Byte 1: MULTIPLE_COUNT 7-5, PROTOCOL 4-1, EXTEND 0 (16-byte only).
uint8_t huld_sat_get_multiple_count(const uint8_t *cdb) { return get_bits(cdb[1], 5, 0x07); }
void huld_sat_set_multiple_count(uint8_t *cdb, uint8_t value) { set_bits(&cdb[1], 5, 0x07, value); }
uint8_t huld_sat_get_protocol(const uint8_t *cdb) { return get_bits(cdb[1], 1, 0x0F); }
void huld_sat_set_protocol(uint8_t *cdb, uint8_t value) { set_bits(&cdb[1], 1, 0x0F, value); }
uint8_t huld_sat_get_extend(const uint8_t *cdb) { return is12(cdb) ? 0 : get_bits(cdb[1], 0, 0x01); }
void huld_sat_set_extend(uint8_t *cdb, uint8_t value) {
  if (!is12(cdb)) set_bits(&cdb[1], 0, 0x01, value);
}

// Byte 2: OFF_LINE 7-6, CK_COND 5, T_TYPE 4, T_DIR 3, BYTE_BLOCK 2, T_LENGTH 1-0.
uint8_t huld_sat_get_off_line(const uint8_t *cdb) { return get_bits(cdb[2], 6, 0x03); }
void huld_sat_set_off_line(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 6, 0x03, value); }
uint8_t huld_sat_get_ck_cond(const uint8_t *cdb) { return get_bits(cdb[2], 5, 0x01); }
void huld_sat_set_ck_cond(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 5, 0x01, value); }
uint8_t huld_sat_get_t_type(const uint8_t *cdb) { return get_bits(cdb[2], 4, 0x01); }
void huld_sat_set_t_type(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 4, 0x01, value); }
uint8_t huld_sat_get_t_dir(const uint8_t *cdb) { return get_bits(cdb[2], 3, 0x01); }
void huld_sat_set_t_dir(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 3, 0x01, value); }
uint8_t huld_sat_get_byte_block(const uint8_t *cdb) { return get_bits(cdb[2], 2, 0x01); }
void huld_sat_set_byte_block(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 2, 0x01, value); }
uint8_t huld_sat_get_t_length(const uint8_t *cdb) { return get_bits(cdb[2], 0, 0x03); }
void huld_sat_set_t_length(uint8_t *cdb, uint8_t value) { set_bits(&cdb[2], 0, 0x03, value); }

uint16_t huld_sat_get_features(const uint8_t *cdb) {
  if (is12(cdb)) return cdb[3];
  return static_cast<uint16_t>(cdb[3] << 8 | cdb[4]);
}

void huld_sat_set_features(uint8_t *cdb, uint16_t value) {
  if (is12(cdb)) {
    cdb[3] = static_cast<uint8_t>(value);
    return;
  }
  cdb[3] = static_cast<uint8_t>(value >> 8);
  cdb[4] = static_cast<uint8_t>(value);
}

uint16_t huld_sat_get_count(const uint8_t *cdb) {
  if (is12(cdb)) return cdb[4];
  return static_cast<uint16_t>(cdb[5] << 8 | cdb[6]);
}

void huld_sat_set_count(uint8_t *cdb, uint16_t value) {
  if (is12(cdb)) {
    cdb[4] = static_cast<uint8_t>(value);
    return;
  }
  cdb[5] = static_cast<uint8_t>(value >> 8);
  cdb[6] = static_cast<uint8_t>(value);
}

uint64_t huld_sat_get_lba(const uint8_t *cdb) {
  if (is12(cdb)) {
    return static_cast<uint64_t>(cdb[7]) << 16 | static_cast<uint64_t>(cdb[6]) << 8 | cdb[5];
  }
  return static_cast<uint64_t>(cdb[11]) << 40 | static_cast<uint64_t>(cdb[9]) << 32 |
         static_cast<uint64_t>(cdb[7]) << 24 | static_cast<uint64_t>(cdb[12]) << 16 |
         static_cast<uint64_t>(cdb[10]) << 8 | cdb[8];
}

void huld_sat_set_lba(uint8_t *cdb, uint64_t value) {
  if (is12(cdb)) {
    cdb[5] = static_cast<uint8_t>(value);
    cdb[6] = static_cast<uint8_t>(value >> 8);
    cdb[7] = static_cast<uint8_t>(value >> 16);
    return;
  }
  cdb[8] = static_cast<uint8_t>(value);
  cdb[10] = static_cast<uint8_t>(value >> 8);
  cdb[12] = static_cast<uint8_t>(value >> 16);
  cdb[7] = static_cast<uint8_t>(value >> 24);
  cdb[9] = static_cast<uint8_t>(value >> 32);
  cdb[11] = static_cast<uint8_t>(value >> 40);
}

uint8_t huld_sat_get_device(const uint8_t *cdb) { return is12(cdb) ? cdb[8] : cdb[13]; }
void huld_sat_set_device(uint8_t *cdb, uint8_t value) { (is12(cdb) ? cdb[8] : cdb[13]) = value; }
uint8_t huld_sat_get_command(const uint8_t *cdb) { return is12(cdb) ? cdb[9] : cdb[14]; }
void huld_sat_set_command(uint8_t *cdb, uint8_t value) { (is12(cdb) ? cdb[9] : cdb[14]) = value; }

int huld_sat_is_ata_pass_through_12(const uint8_t *cdb) {
  return cdb[0] == HULD_SAT_ATA_PASS_THROUGH_12 ? 1 : 0;
}

int huld_sat_is_ata_pass_through_16(const uint8_t *cdb) {
  return cdb[0] == HULD_SAT_ATA_PASS_THROUGH_16 ? 1 : 0;
}

int huld_sat_is_ata_pass_through(const uint8_t *cdb) {
  return huld_sat_is_ata_pass_through_12(cdb) || huld_sat_is_ata_pass_through_16(cdb) ? 1 : 0;
}

int huld_sat_has_ata_status_return(const huld_scsi_cmd *cmd) {
  return (cmd->sense[0] & 0x7E) == 0x72 && cmd->sense[8] == 0x09 ? 1 : 0;
}

uint64_t huld_sat_transfer_length(const uint8_t *cdb, uint32_t transport_length) {
  uint32_t field;
  switch (huld_sat_get_t_length(cdb)) {
    case 0:
      return 0;
    case 1:
      field = huld_sat_get_features(cdb);
      break;
    case 2:
      field = huld_sat_get_count(cdb);
      break;
    default:
      return transport_length;  // the length is the transport's own
  }
  // A 28-bit command carries only bits 7:0 of the field.
  if (!huld_sat_get_extend(cdb)) field &= 0xFF;
  if (!huld_sat_get_byte_block(cdb)) return field;
  // T_TYPE 1 counts logical sectors, whose size only the device knows.
  if (huld_sat_get_t_type(cdb)) return UINT64_MAX;
  return static_cast<uint64_t>(field) * 512;
}

int huld_sat_check_transfer_length(huld_error *err, const huld_scsi_cmd *cmd) {
  const bool moves_data = cmd->ddir == HULD_DDIR_TO_DEVICE || cmd->ddir == HULD_DDIR_FROM_DEVICE;
  const uint32_t buffer = moves_data ? cmd->data_len : 0;
  const uint64_t declared = huld_sat_transfer_length(cmd->cdb, buffer);
  if (declared != buffer) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "ata pass-through length field gives %lld bytes for a transfer of %u bytes",
                      declared == UINT64_MAX ? -1LL : static_cast<long long>(declared), buffer);
  }
  return huld_error_clear(err);
}

void huld_scsi_fill_sat_cmd(huld_scsi_cmd *out, const huld_ata_cmd *in) {
  memset(out, 0, sizeof(*out));
  out->cdb_len = 16;
  uint8_t *cdb = out->cdb;
  cdb[0] = HULD_SAT_ATA_PASS_THROUGH_16;
  huld_sat_set_protocol(cdb, in->protocol);
  huld_sat_set_extend(cdb, in->is_ext);
  huld_sat_set_ck_cond(cdb, in->check_condition);
  huld_sat_set_t_dir(cdb, in->ddir == HULD_DDIR_FROM_DEVICE ? 1 : 0);
  out->ddir = in->ddir;
  huld_sat_set_t_length(cdb, in->t_length);
  switch (in->xfer_type) {
    case 1:
    case 2:
      huld_sat_set_byte_block(cdb, 1);  // length in 512-byte blocks
      huld_sat_set_t_type(cdb, 0);
      break;
    case 3:
      huld_sat_set_byte_block(cdb, 0);  // length in bytes
      break;
    default:
      break;
  }
  huld_sat_set_features(cdb, in->feature);
  huld_sat_set_count(cdb, in->count);
  huld_sat_set_lba(cdb, in->lba);
  huld_sat_set_device(cdb, in->device);
  huld_sat_set_command(cdb, in->command);
  out->data = in->data;
  out->data_len = in->data_len;
  out->timeout_ms = in->timeout_ms;
  out->sense_len = HULD_SCSI_SENSE_SIZE;
}

void huld_scsi_fill_ata_result_from_sat(const huld_scsi_cmd *scsi, huld_ata_cmd *ata) {
  const uint8_t *sense = scsi->sense;
  HULD_LOG(HULD_LOG_VERBOSE, "scsi status %02x\n", scsi->scsi_status);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_dump("scsi sense buffer", sense, HULD_SCSI_SENSE_SIZE);
  }

  if (scsi->sense_len < 8) {
    if (scsi->scsi_status != 0) {
      ata->status = 0xFF;
      ata->error = scsi->scsi_status;
    }
    HULD_LOG(HULD_LOG_VERBOSE, "sat - not enough sense to parse\n");
    return;
  }

  // Fixed (70h, 71h) or descriptor (72h, 73h) format, bit 7 aside, read from the whole buffer;
  // any other response code gives key, ASC and ASCQ 0.
  huld_scsi_sense fields;
  const bool found = huld_scsi_sense_fields(scsi, HULD_SCSI_SENSE_WHOLE_BUFFER, &fields) != 0;
  const bool fixed = found && !fields.descriptor;
  const bool descriptor = found && fields.descriptor;
  const uint8_t key = fields.key, asc = fields.asc, ascq = fields.ascq;
  HULD_LOG(HULD_LOG_VERBOSE, "sense_key %x\n", key);
  HULD_LOG(HULD_LOG_VERBOSE, "asc %02x\n", asc);
  HULD_LOG(HULD_LOG_VERBOSE, "ascq %02x\n", ascq);

  const bool status_return = huld_sat_has_ata_status_return(scsi) != 0;
  if (scsi->scsi_status == 0 && key == 0 && !status_return) {
    HULD_LOG(HULD_LOG_VERBOSE, "sat - scsi status good\n");
    return;
  }

  ata->status = 0xFF;
  ata->error = scsi->scsi_status;
  ata->count = key;
  ata->lba = static_cast<uint64_t>(asc) << 8 | ascq;

  const bool information_available = (key == 0x01 && asc == 0x00 && ascq == 0x1D) ||
                                     (key == 0x05 && asc == 0x21 && ascq == 0x04) || status_return;
  if (information_available) {
    if (fixed && (sense[0] & 0x80)) {
      if ((sense[5] == 0x50 && sense[6] == 0) || (sense[5] == 0x51 && sense[6] != 0)) {
        HULD_LOG(HULD_LOG_VERBOSE, "fixed info descriptor: old\n");
        ata->count = sense[3];
        ata->device = sense[4];
        ata->status = sense[5];
        ata->error = sense[6];
        ata->lba = static_cast<uint64_t>(sense[9]) << 16 | static_cast<uint64_t>(sense[10]) << 8 |
                   sense[11];
      } else {
        HULD_LOG(HULD_LOG_VERBOSE, "fixed info descriptor: new\n");
        ata->error = sense[3];
        ata->status = sense[4];
        ata->device = sense[5];
        ata->count = sense[6];
        ata->lba = static_cast<uint64_t>(sense[11]) << 16 | static_cast<uint64_t>(sense[10]) << 8 |
                   sense[9];
      }
    } else if (fixed) {
      if (sense[7] >= 10) {
        ata->error = sense[8];
        ata->status = sense[9];
        ata->device = sense[10];
        ata->count = sense[11];
        ata->lba = static_cast<uint64_t>(sense[14]) << 16 | static_cast<uint64_t>(sense[13]) << 8 |
                   sense[12];
      } else {
        ata->error = sense[3];
        ata->status = sense[4];
        ata->device = sense[5];
        ata->count = sense[6];
        ata->lba = static_cast<uint64_t>(sense[11]) << 16 | static_cast<uint64_t>(sense[10]) << 8 |
                   sense[9];
      }
    } else if (descriptor) {
      if (sense[8] == 0x09 && sense[9] == 0x0C) {
        ata->error = sense[11];
        ata->count = static_cast<uint16_t>(sense[12] << 8 | sense[13]);
        ata->lba = static_cast<uint64_t>(sense[18]) << 40 | static_cast<uint64_t>(sense[16]) << 32 |
                   static_cast<uint64_t>(sense[14]) << 24 | static_cast<uint64_t>(sense[19]) << 16 |
                   static_cast<uint64_t>(sense[17]) << 8 | sense[15];
        ata->device = sense[20];
        ata->status = sense[21];
      }
    }
  }

  // Under CHECK CONDITION an error sense key outweighs registers that show no error: a bridge
  // that refused the CDB (ILLEGAL REQUEST) may still attach the drive's idle status, and an
  // aborted command may come back with STATUS 0. Only NO SENSE and RECOVERED ERROR (ATA
  // pass-through information available) leave the registers as the drive gave them.
  if (scsi->scsi_status == 0x02 && key != 0x00 && key != 0x01 && !(ata->status & kAtaStatusErr)) {
    ata->status = 0xFF;
  }

  HULD_LOG(HULD_LOG_VERBOSE, "huld_ata_cmd return data:\n");
  HULD_LOG(HULD_LOG_VERBOSE, "status: 0x%02x\n", ata->status);
  HULD_LOG(HULD_LOG_VERBOSE, "error: 0x%02x\n", ata->error);
  HULD_LOG(HULD_LOG_VERBOSE, "count: 0x%04x\n", ata->count);
  HULD_LOG(HULD_LOG_VERBOSE, "lba: 0x%llx\n", static_cast<unsigned long long>(ata->lba));
}

// The vendor-unique command protocol: the three transports, the data-in and data-out commands,
// the VSC-ID read and the library's other operations.
#define HULD_MODULE "vornvuc\\xr\\fill_and_execute"

#include "vornvuc/xr/fill_and_execute.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_ata.h"
#include "huld/huld_util.h"
#include "vornata/ata.h"
#include "vornata/errors.h"
#include "vornscsi/scsi.h"
#include "vornvuc/xr/access_code.h"
#include "vornvuc/xr/parse.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kAtaStatusBytes = 512;
constexpr uint32_t kScsiStatusBytes = 1024;
constexpr uint32_t kVsc4TimeoutMs = 30000;

// SMART logs of the ATA transports.
constexpr uint8_t kLogStatus = 0xBD;
constexpr uint8_t kLogKey = 0xBE;
constexpr uint8_t kLogData = 0xBF;
// Diagnostic pages of the SCSI transport.
constexpr uint8_t kPageStatus = 0xF2;
constexpr uint8_t kPageSecureTest = 0xF4;

// Keys (action code, function code).
constexpr uint16_t kAcVscId = 13, kFcVscId = 1;
constexpr uint16_t kAcMode = 70, kFcEnable = 1, kFcDisable = 2;
constexpr uint16_t kAcOverlay = 8, kFcOverlay = 1;
constexpr uint16_t kAcSecurity = 159, kFcSecurity = 8;
constexpr uint32_t kAccessCodeOffset = 258;

uint32_t _vsc_bytes_to_blocks(uint32_t bytes) {
  return static_cast<uint32_t>((static_cast<uint64_t>(bytes) + kBlock - 1) / kBlock);
}

// Writes count 16-bit little-endian words from the sector start, each cut to 16 bits.
void _vsc_fill_key(uint8_t *sector, uint32_t count, const uint32_t *words) {
  for (uint32_t i = 0; i < count; ++i) huld_put_le16(sector + 2 * i, static_cast<uint16_t>(words[i]));
}

void write_key(vornvuc_xr_vsc_cmd *cmd, uint32_t action, uint32_t function) {
  const uint32_t words[2] = {action, function};
  _vsc_fill_key(cmd->key, 2, words);
}

// Zeroes the key sector and the status area before a new key.
void clear_exchange(vornvuc_xr_vsc_cmd *cmd) {
  memset(cmd->key, 0, sizeof(cmd->key));
  memset(cmd->status, 0, sizeof(cmd->status));
}

int _decode_phase_status(vornvuc_xr_vsc_cmd *cmd) {
  const uint16_t version = huld_get_le16(cmd->status);
  if (version == VORNVUC_XR_PHASE_STATUS_V1) {
    cmd->principal_gec = huld_get_le32(cmd->status + 2);
    cmd->supplemental_gec = huld_get_le32(cmd->status + 6);
    cmd->block_count = huld_get_le32(cmd->status + 10);
    HULD_LOG(HULD_LOG_DEBUG, "principalGEC:    0x%08x\n", cmd->principal_gec);
    HULD_LOG(HULD_LOG_DEBUG, "supplementalGEC: 0x%08x\n", cmd->supplemental_gec);
  } else if (version == VORNVUC_XR_PHASE_STATUS_V2) {
    // This version carries no error codes: the key was accepted, and the codes an earlier key
    // left behind must not be judged against this one.
    cmd->principal_gec = 0;
    cmd->supplemental_gec = 0;
    cmd->block_count = _vsc_bytes_to_blocks(huld_get_le32(cmd->status + 2));
  } else {
    return HULD_ERROR(cmd->error, HULD_ERROR_NOT_SUPPORTED, version, "version 0x%04x not supported",
                      version);
  }
  HULD_LOG(HULD_LOG_DEBUG, "block count:     0x%04x\n", cmd->block_count);
  return 0;
}

// ---- ATA, level 4 ----

int vsc4_mode(vornvuc_xr_vsc_cmd *cmd, uint8_t feature) {
  huld_ata_cmd ata;
  memset(&ata, 0, sizeof(ata));
  ata.protocol = 3;  // non-data, 28-bit
  ata.feature = feature;
  ata.lba = VORNVUC_XR_VSC4_ACCESS_CODE;
  ata.command = 0x80;
  ata.timeout_ms = kVsc4TimeoutMs;
  ata.ddir = HULD_DDIR_NONE;
  if (huld_ata_execute(cmd->error, cmd->device, &ata)) return 1;
  return vornata_check_error(cmd->error, &ata);
}

int _vsc4_ata_execute_enable(vornvuc_xr_vsc_cmd *cmd) { return vsc4_mode(cmd, 0x45); }
int _vsc4_ata_execute_disable(vornvuc_xr_vsc_cmd *cmd) { return vsc4_mode(cmd, 0x44); }

int _vsc_ata_execute_read_status(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_read_log(cmd->error, cmd->device, 1, kLogStatus, cmd->status,
                                        kAtaStatusBytes);
}

int _vsc_ata_execute_data_in(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_read_log(cmd->error, cmd->device,
                                        static_cast<uint8_t>(cmd->block_count), kLogData, cmd->data,
                                        cmd->data_length);
}

int _vsc_ata_execute_data_out(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_write_log(cmd->error, cmd->device,
                                         static_cast<uint8_t>(cmd->block_count), kLogData, cmd->data,
                                         cmd->data_length);
}

int _vsc4_ata_execute_read_key_page(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_read_log(cmd->error, cmd->device, 1, kLogKey, cmd->data, kBlock);
}

int write_key_log(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_write_log(cmd->error, cmd->device, 1, kLogKey, cmd->key, kBlock);
}

// The GECs are not judged at level 4. When the status cannot be read, the key page's word at byte
// 26 gives the block count.
int _vsc4_ata_execute_send_key(vornvuc_xr_vsc_cmd *cmd) {
  if (write_key_log(cmd)) return 1;
  if (cmd->read_status(cmd) == 0) {
    if (_decode_phase_status(cmd)) return 1;
    if (cmd->principal_gec != 0)
      HULD_LOG(HULD_LOG_DEBUG, "VSC principal GEC %xh ignored at level 4\n", cmd->principal_gec);
  } else {
    uint8_t page[kBlock];
    uint8_t *const data = cmd->data;
    const uint32_t data_length = cmd->data_length;
    cmd->data = page;
    cmd->data_length = kBlock;
    const int rc = cmd->read_key_page(cmd);
    cmd->data = data;
    cmd->data_length = data_length;
    if (rc) return 1;
    cmd->block_count = huld_get_le16(page + 26);
  }
  HULD_LOG(HULD_LOG_DEBUG, "block count:     0x%04x\n", cmd->block_count);
  return 0;
}

// ---- ATA level 5 and SCSI ----

// After the key went out: the status, its decoding and the principal GEC's judgement.
int finish_send_key5(vornvuc_xr_vsc_cmd *cmd, const char *function, uint32_t line) {
  if (cmd->read_status(cmd) || _decode_phase_status(cmd)) return 1;
  if (cmd->principal_gec != 0) {
    return huld_error_set(cmd->error, HULD_ERROR_FAILURE, cmd->principal_gec, HULD_MODULE, function,
                          line, "VSC send key (ac %u/fc %u) failed: %xh/%xh",
                          huld_get_le16(cmd->key), huld_get_le16(cmd->key + 2), cmd->principal_gec,
                          cmd->supplemental_gec);
  }
  return 0;
}

int _vsc5_ata_execute_send_key(vornvuc_xr_vsc_cmd *cmd) {
  if (write_key_log(cmd)) return 1;
  return finish_send_key5(cmd, __func__, __LINE__);
}

int _vsc5_ata_execute_read_key_page(vornvuc_xr_vsc_cmd *cmd) {
  return vornata_execute_smart_read_log(cmd->error, cmd->device, 1, kLogKey, cmd->data,
                                        cmd->data_length);
}

int _vsc5_execute_enable(vornvuc_xr_vsc_cmd *cmd) {
  memset(cmd->key, 0, sizeof(cmd->key));
  write_key(cmd, kAcMode, kFcEnable);
  huld_put_le16(cmd->key + kAccessCodeOffset, VORNVUC_XR_VSC5_ACCESS_WORD0);
  huld_put_le16(cmd->key + kAccessCodeOffset + 2, VORNVUC_XR_VSC5_ACCESS_WORD1);
  huld_put_le16(cmd->key + kAccessCodeOffset + 4, VORNVUC_XR_VSC5_ACCESS_WORD2);
  return cmd->send_key(cmd);
}

int _vsc5_execute_disable(vornvuc_xr_vsc_cmd *cmd) {
  memset(cmd->key, 0, sizeof(cmd->key));
  write_key(cmd, kAcMode, kFcDisable);
  return cmd->send_key(cmd);
}

int _vsc5_scsi_execute_send_key(vornvuc_xr_vsc_cmd *cmd) {
  if (vornscsi_execute_send_diagnostic(cmd->error, cmd->device, 0, 0, 0, 0, 0, cmd->key, kBlock))
    return 1;
  return finish_send_key5(cmd, __func__, __LINE__);
}

int _vsc5_scsi_execute_read_status(vornvuc_xr_vsc_cmd *cmd) {
  return vornscsi_execute_receive_diagnostic_results(cmd->error, cmd->device, 1, kPageStatus,
                                                     cmd->status, kScsiStatusBytes);
}

int _vsc5_scsi_execute_data_in(vornvuc_xr_vsc_cmd *cmd) {
  return vornscsi_execute_read_buffer(cmd->error, cmd->device, 0, 0x01, 0, cmd->scsi_offset,
                                      cmd->data, cmd->data_length);
}

int _vsc5_scsi_execute_data_out(vornvuc_xr_vsc_cmd *cmd) {
  return vornscsi_execute_write_buffer(cmd->error, cmd->device, 0x01, cmd->data_length,
                                       cmd->scsi_offset, cmd->data, cmd->data_length);
}

int _vsc5_scsi_execute_read_key_page(vornvuc_xr_vsc_cmd *cmd) {
  return vornscsi_execute_receive_diagnostic_results(cmd->error, cmd->device, 1, kPageStatus,
                                                     cmd->data, cmd->data_length);
}

// ---- Chunked transfers ----

// Walks the context's data buffer in chunks of at most max_blocks blocks with `transfer`,
// stopping at the first failure; data, data_length and block_count are restored afterwards.
int walk_chunks(vornvuc_xr_vsc_cmd *cmd, vornvuc_xr_vsc_op transfer) {
  uint8_t *const data = cmd->data;
  const uint32_t data_length = cmd->data_length;
  const uint32_t total = cmd->block_count;
  const uint32_t per = cmd->max_blocks ? cmd->max_blocks : VORNVUC_XR_MAX_BLOCKS;
  int rc = 0;
  for (uint32_t offset = 0, chunk = 0; offset < total && rc == 0; offset += chunk) {
    chunk = huld_min(per, total - offset);
    cmd->data = data + static_cast<size_t>(offset) * kBlock;
    cmd->data_length = chunk * kBlock;
    cmd->block_count = chunk;
    rc = transfer(cmd);
  }
  cmd->data = data;
  cmd->data_length = data_length;
  cmd->block_count = total;
  return rc;
}

// Bytes of the answer in the context's data buffer: its length, or less when a status of version
// 0200h gave the answer's size to the byte.
uint32_t answer_bytes(const vornvuc_xr_vsc_cmd *cmd) {
  uint32_t bytes = cmd->data_length;
  if (huld_get_le16(cmd->status) == VORNVUC_XR_PHASE_STATUS_V2) bytes = huld_min(bytes, huld_get_le32(cmd->status + 2));
  return bytes;
}

// Disables the mode after a failure without letting the disable's outcome hide that failure.
void disable_quietly(vornvuc_xr_vsc_cmd *cmd) {
  huld_error scratch;
  memset(&scratch, 0, sizeof(scratch));
  huld_error *const err = cmd->error;
  cmd->error = &scratch;
  if (cmd->disable(cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "vsc disable failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &scratch);
  }
  cmd->error = err;
}

}  // namespace

int vornvuc_xr_vsc_initialize_cmd(huld_error *err, huld_dev *dev, uint16_t level,
                                  vornvuc_xr_vsc_cmd *cmd) {
  memset(cmd, 0, sizeof(*cmd));
  cmd->error = err;
  cmd->device = dev;
  cmd->max_blocks = VORNVUC_XR_MAX_BLOCKS;
  if (huld_dev_is_ata(dev)) {
    HULD_LOG(HULD_LOG_DEBUG, "initializing ATA VSC (%d)\n", level);
    cmd->level = level;
    cmd->read_status = _vsc_ata_execute_read_status;
    cmd->data_in = _vsc_ata_execute_data_in;
    cmd->data_out = _vsc_ata_execute_data_out;
    if (level == 4) {
      cmd->enable = _vsc4_ata_execute_enable;
      cmd->disable = _vsc4_ata_execute_disable;
      cmd->send_key = _vsc4_ata_execute_send_key;
      cmd->read_key_page = _vsc4_ata_execute_read_key_page;
    } else if (level == 5) {
      cmd->enable = _vsc5_execute_enable;
      cmd->disable = _vsc5_execute_disable;
      cmd->send_key = _vsc5_ata_execute_send_key;
      cmd->read_key_page = _vsc5_ata_execute_read_key_page;
    } else {
      return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "device is not supported");
    }
  } else if (huld_dev_is_scsi(dev)) {
    HULD_LOG(HULD_LOG_DEBUG, "initializing SCSI VSC\n");
    cmd->level = 5;
    cmd->enable = _vsc5_execute_enable;
    cmd->disable = _vsc5_execute_disable;
    cmd->send_key = _vsc5_scsi_execute_send_key;
    cmd->read_status = _vsc5_scsi_execute_read_status;
    cmd->data_in = _vsc5_scsi_execute_data_in;
    cmd->data_out = _vsc5_scsi_execute_data_out;
    cmd->read_key_page = _vsc5_scsi_execute_read_key_page;
  } else {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "device is not supported");
  }
  return huld_error_clear(err);
}

int vornvuc_xr_vsc_execute_data_in_command(vornvuc_xr_vsc_cmd *cmd) {
  if (cmd->send_key(cmd)) return 1;
  cmd->data = nullptr;
  cmd->data_length = 0;
  // The block count comes from the drive: bounded before it sizes anything.
  if (cmd->block_count > VORNVUC_XR_MAX_ANSWER_BLOCKS)
    return HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, 0, "answer too large");
  const uint32_t bytes = cmd->block_count * kBlock;
  if (bytes == 0) return 0;
  auto *buffer = static_cast<uint8_t *>(malloc(bytes));
  if (!buffer) return HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, 0, "out of memory");
  HULD_LOG(HULD_LOG_DEBUG, "allocated %u bytes at %p\n", bytes, static_cast<void *>(buffer));
  cmd->data = buffer;
  cmd->data_length = bytes;
  if (walk_chunks(cmd, cmd->data_in)) {
    vornvuc_xr_vsc_cleanup_data_in_command(cmd);
    return 1;
  }
  return 0;
}

void vornvuc_xr_vsc_cleanup_data_in_command(vornvuc_xr_vsc_cmd *cmd) {
  if (cmd->data) {
    HULD_LOG(HULD_LOG_DEBUG, "free %u bytes at %p\n", cmd->data_length, static_cast<void *>(cmd->data));
    free(cmd->data);
    cmd->data = nullptr;
  }
  cmd->data_length = 0;
}

int vornvuc_xr_vsc_execute_data_out_command(vornvuc_xr_vsc_cmd *cmd) {
  if (cmd->send_key(cmd)) return 1;
  const uint64_t need = static_cast<uint64_t>(cmd->block_count) * kBlock;
  if (need > cmd->data_length || (need > 0 && !cmd->data)) {
    return HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, 0, "VSC data out needs %llu bytes, buffer holds %u",
                      static_cast<unsigned long long>(need), cmd->data_length);
  }
  return walk_chunks(cmd, cmd->data_out);
}

int vornvuc_xr_vsc_execute_vsc_id(huld_error *err, huld_dev *dev, void *buffer, uint32_t size) {
  if (buffer && size) memset(buffer, 0, size);
  if (!huld_dev_is_ata(dev))
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "not supported on this interface");
  uint8_t identify[512];
  uint16_t level = 0;
  if (vornata_execute_identify_device(err, dev, identify, sizeof(identify)) ||
      vornvuc_xr_identify_parse_vsc_implementation_level(err, &level, identify, sizeof(identify)))
    return 1;
  if (level > 4)
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, level, "vsc implementation level (%d) must be <= 4", level);

  vornvuc_xr_vsc_cmd cmd;
  if (vornvuc_xr_vsc_initialize_cmd(err, dev, level, &cmd)) return 1;
  if (cmd.enable(&cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to enable vsc\n");
    return 1;
  }
  clear_exchange(&cmd);
  write_key(&cmd, kAcVscId, kFcVscId);
  int rc = vornvuc_xr_vsc_execute_data_in_command(&cmd);
  if (rc == 0) {
    const uint32_t answer = answer_bytes(&cmd);
    if (answer < VORNVUC_XR_VSCID_MIN_BYTES)
      rc = HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "VSC-ID answer too short (%u bytes)", answer);
  }
  if (rc) {
    vornvuc_xr_vsc_cleanup_data_in_command(&cmd);
    disable_quietly(&cmd);
    return 1;
  }
  if (buffer) memcpy(buffer, cmd.data, huld_min(size, cmd.data_length));
  vornvuc_xr_vsc_cleanup_data_in_command(&cmd);
  if (cmd.disable(&cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to disable vsc\n");
    return 1;
  }
  return huld_error_clear(err);
}

int vornvuc_xr_vsc4_execute_read_overlay(vornvuc_xr_vsc_cmd *cmd, uint16_t file_id) {
  HULD_LOG(HULD_LOG_DEBUG, "file id: 0x%x\n", file_id);
  clear_exchange(cmd);
  const uint32_t words[3] = {kAcOverlay, kFcOverlay, file_id};
  _vsc_fill_key(cmd->key, 3, words);
  return vornvuc_xr_vsc_execute_data_in_command(cmd);
}

int vornvuc_xr_vsc_execute_get_security_level(vornvuc_xr_vsc_cmd *cmd, uint16_t *level) {
  // Words 0 and 1 only: the rest of the key sector stays as the last key left it. The status area
  // is cleared, so that a status the drive did not send for this key never sizes its answer.
  memset(cmd->status, 0, sizeof(cmd->status));
  write_key(cmd, kAcSecurity, kFcSecurity);
  if (vornvuc_xr_vsc_execute_data_in_command(cmd)) return 1;
  int rc = 0;
  const uint32_t answer = answer_bytes(cmd);
  if (answer < 6) {
    rc = HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, 0, "security level answer too short (%u bytes)", answer);
  } else {
    *level = huld_get_le16(cmd->data + 4);
    HULD_LOG(HULD_LOG_DEBUG, "security level: %d\n", *level);
  }
  vornvuc_xr_vsc_cleanup_data_in_command(cmd);
  return rc;
}

int vornvuc_xr_vsc_execute_is_secure_drive(vornvuc_xr_vsc_cmd *cmd, uint8_t *supported) {
  *supported = 0;
  uint8_t page[1024];
  memset(page, 0, sizeof(page));
  uint8_t *const data = cmd->data;
  const uint32_t data_length = cmd->data_length;
  cmd->data = page;
  cmd->data_length = sizeof(page);
  uint32_t value = 0;
  int rc;
  if (cmd->level == 4) {
    rc = cmd->read_key_page(cmd);
    value = huld_get_le16(page + 288);
  } else {
    if (huld_dev_is_ata(cmd->device))
      rc = vornata_execute_read_log_dma_ext(cmd->error, cmd->device, 0, 2, 0xBC, 0, page, sizeof(page));
    else
      rc = vornscsi_execute_receive_diagnostic_results(cmd->error, cmd->device, 1, kPageSecureTest, page,
                                                       sizeof(page));
    if (huld_get_le16(page) == 0x0200) value = huld_get_le16(page + 6) + huld_get_le16(page + 2);
  }
  cmd->data = data;
  cmd->data_length = data_length;
  if (rc == 0) {
    *supported = (value & 0x6000) != 0;
    HULD_LOG(HULD_LOG_DEBUG, "supp: %d\n", *supported);
  }
  return rc;
}

int vornvuc_xr_vsc_execute_is_secure_drive_locked(vornvuc_xr_vsc_cmd *cmd, uint8_t *locked) {
  *locked = 0;
  if (cmd->enable(cmd)) {
    HULD_LOG_ERROR(HULD_LOG_DEBUG, cmd->error);
    return 1;
  }
  uint8_t supported = 0;
  int rc = vornvuc_xr_vsc_execute_is_secure_drive(cmd, &supported);
  if (rc) {
    HULD_LOG(HULD_LOG_DEBUG, "vsc check if secure drive failed\n");
    HULD_LOG_ERROR(HULD_LOG_DEBUG, cmd->error);
  } else if (supported) {
    uint16_t level = 0;
    rc = vornvuc_xr_vsc_execute_get_security_level(cmd, &level);
    if (rc) {
      HULD_LOG(HULD_LOG_DEBUG, "vsc get security level failed\n");
      HULD_LOG_ERROR(HULD_LOG_DEBUG, cmd->error);
    } else if (level == 2 || level == 4) {
      *locked = 1;
      HULD_LOG(HULD_LOG_DEBUG, "drive is locked\n");
    }
  }
  disable_quietly(cmd);
  return rc;
}

int vornvuc_xr_ata_save_super_binary(huld_error *err, huld_dev *dev, const char *path, uint8_t mode,
                                     double *progress) {
  uint8_t sector[kBlock];
  memset(sector, 0, sizeof(sector));
  const uint32_t words[6] = {0xC002, 0x0001, 0xE0A0, 0xC0D0, 0xFFFF, 0xFFFF};
  if (mode == 0) {
    _vsc_fill_key(sector, 4, words);
  } else if (mode == 1) {
    _vsc_fill_key(sector, 6, words);
  } else {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, 0, "DRM only supports short and default mode");
  }
  uint8_t header[kBlock];
  if (vornata_execute_write_log_dma_ext(err, dev, 0, 1, 0xE0, 0, sector, kBlock) ||
      vornata_execute_read_log_dma_ext(err, dev, 0, 1, 0xE1, 0, header, kBlock))
    return 1;
  const uint32_t count = huld_get_le16(header + 40);
  if (count == 0) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "DRM SB sctHeader shows bad sector count: 0x00");
  const uint32_t bytes = count * kBlock;
  auto *buffer = static_cast<uint8_t *>(calloc(count, kBlock));
  if (!buffer) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "failed to allocate %u bytes", bytes);
  memcpy(buffer, header, kBlock);
  for (uint32_t block = 1; block < count; ++block) {
    if (vornata_execute_read_log_dma_ext(err, dev, 0, 1, 0xE1, 0, buffer + static_cast<size_t>(block) * kBlock,
                                         kBlock)) {
      free(buffer);
      return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "Failed getting the full DRM SB file");
    }
    if (progress) *progress = static_cast<double>(block + 1) / count;
  }
  const int appended = huld_file_append(path, buffer, bytes);
  free(buffer);
  if (appended) return HULD_ERROR(err, HULD_ERROR_FAILURE, appended, "failed to save data to %s", path);
  if (progress) *progress = 1.0;
  return huld_error_clear(err);
}

namespace {

// One piece of the SCSI super binary: the answer of one key.
struct SuperBinaryPiece {
  uint16_t action, function;
  int parameter;        // word 2, or -1 for none
  uint8_t *block;       // the answer as allocated (freed at the end)
  uint8_t *data;        // its first counted block
  uint32_t blocks;      // blocks counted (0: the key failed)
  uint32_t count_offset;  // its count in the header
};

void collect_piece(vornvuc_xr_vsc_cmd *cmd, SuperBinaryPiece *piece, bool drop_first_block) {
  clear_exchange(cmd);
  const uint32_t words[3] = {piece->action, piece->function, static_cast<uint32_t>(piece->parameter)};
  _vsc_fill_key(cmd->key, piece->parameter < 0 ? 2 : 3, words);
  if (vornvuc_xr_vsc_execute_data_in_command(cmd)) return;
  piece->block = piece->data = cmd->data;
  piece->blocks = cmd->block_count;
  cmd->data = nullptr;
  cmd->data_length = 0;
  if (drop_first_block && piece->blocks >= 2) {
    piece->data += kBlock;
    piece->blocks -= 1;
  }
}

}  // namespace

int vornvuc_xr_scsi_save_super_binary(vornvuc_xr_vsc_cmd *cmd, const char *path, double *progress) {
  huld_calendar_time now;
  memset(&now, 0, sizeof(now));
  huld_get_local_time(&now);
  if (cmd->enable(cmd)) return 1;

  // In collection order; the VPD page stands between the first piece and the others.
  SuperBinaryPiece pieces[8] = {
      {86, 19, -1, nullptr, nullptr, 0, 42},      {13, 1, -1, nullptr, nullptr, 0, 46},
      {113, 1, -1, nullptr, nullptr, 0, 60},      {76, 1, 45, nullptr, nullptr, 0, 62},
      {76, 1, 0xC044, nullptr, nullptr, 0, 64},   {126, 2, -1, nullptr, nullptr, 0, 66},
      {76, 1, 0xC03A, nullptr, nullptr, 0, 68},   {76, 1, 0xC03A, nullptr, nullptr, 0, 70}};
  uint8_t vpd[kBlock];
  memset(vpd, 0, sizeof(vpd));
  uint32_t vpd_blocks = 0;
  double step = 0.0;
  for (size_t i = 0; i < 8; ++i) {
    if (i == 1) {
      if (vornscsi_execute_inquiry(cmd->error, cmd->device, 1, 0xEC, vpd, kBlock) == 0) vpd_blocks = 1;
      step += 0.1;
      if (progress) *progress = step;
    }
    collect_piece(cmd, &pieces[i], pieces[i].parameter == 0xC044);
    step += 0.1;
    if (progress) *progress = step;
  }
  disable_quietly(cmd);

  uint64_t total = 1 + vpd_blocks;
  uint32_t largest = 0;
  for (const SuperBinaryPiece &p : pieces) {
    total += p.blocks;
    largest = huld_max(largest, p.blocks);
  }
  int rc = 0;
  if (total > VORNVUC_XR_MAX_ANSWER_BLOCKS || largest > VORNVUC_XR_MAX_ANSWER_BLOCKS) {
    rc = HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, 0, "super binary of %llu blocks does not fit its header",
                    static_cast<unsigned long long>(total));
  } else {
    uint8_t header[kBlock];
    memset(header, 0, sizeof(header));
    huld_put_le32(header, 0xF0E1D2C3);
    huld_put_le16(header + 4, 0x0303);
    header[6] = static_cast<uint8_t>(now.day);
    header[7] = static_cast<uint8_t>(now.month);
    header[8] = static_cast<uint8_t>(now.year % 100);
    header[9] = static_cast<uint8_t>(now.year / 100);
    header[10] = static_cast<uint8_t>(now.hour);
    header[11] = static_cast<uint8_t>(now.minute);
    header[12] = static_cast<uint8_t>(now.second);
    header[14] = 0x07;
    huld_put_le16(header + 40, static_cast<uint16_t>(total));
    huld_put_le16(header + 44, static_cast<uint16_t>(vpd_blocks));
    for (const SuperBinaryPiece &p : pieces) huld_put_le16(header + p.count_offset, static_cast<uint16_t>(p.blocks));

    int appended = huld_file_append(path, header, kBlock);
    if (!appended && pieces[0].blocks) appended = huld_file_append(path, pieces[0].data, pieces[0].blocks * kBlock);
    if (!appended) appended = huld_file_append(path, vpd, kBlock);
    for (size_t i = 1; i < 8 && !appended; ++i)
      if (pieces[i].blocks) appended = huld_file_append(path, pieces[i].data, pieces[i].blocks * kBlock);
    if (appended) rc = HULD_ERROR(cmd->error, HULD_ERROR_FAILURE, appended, "failed to save data to %s", path);
  }
  for (const SuperBinaryPiece &p : pieces) free(p.block);
  cmd->data = nullptr;
  cmd->data_length = 0;
  if (progress) *progress = rc ? 0.0 : 1.0;
  return rc ? 1 : huld_error_clear(cmd->error);
}

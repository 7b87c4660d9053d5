// ATA builders and executors.
#define HULD_MODULE "vornata\\ata"

#include "vornata/ata.h"

#include <cstring>

#include "vornata/errors.h"

const uint32_t vornata_default_timeout_ms = 30000;

namespace {

constexpr uint8_t kNonData = 3;
constexpr uint8_t kPioIn = 4;
constexpr uint8_t kPioOut = 5;
constexpr uint8_t kDma = 6;

constexpr uint64_t kSmartSignature = 0xC24F00;  // LBA mid 4Fh, LBA high C2h
constexpr uint32_t kBlock = 512;

// Zeroes the record and sets the command, its protocol and the default time-out.
void start(huld_ata_cmd *cmd, uint8_t command, uint8_t protocol, uint8_t is_ext) {
  memset(cmd, 0, sizeof(*cmd));
  cmd->command = command;
  cmd->protocol = protocol;
  cmd->is_ext = is_ext;
  cmd->timeout_ms = vornata_default_timeout_ms;
}

// A data transfer counted in 512-byte blocks in COUNT.
void transfer(huld_ata_cmd *cmd, void *buffer, uint32_t length, uint32_t ddir) {
  cmd->data = buffer;
  cmd->data_len = length;
  cmd->t_length = 2;
  cmd->xfer_type = 1;
  cmd->ddir = ddir;
}

uint16_t blocks(uint32_t length) { return static_cast<uint16_t>(length / kBlock); }

// LBA of the log commands: log address, page number split over bits 15:8 and 39:32.
uint64_t log_lba(uint8_t log_address, uint16_t page_number) {
  return static_cast<uint64_t>(log_address) | (static_cast<uint64_t>(page_number & 0xFF) << 8) |
         (static_cast<uint64_t>(page_number >> 8) << 32);
}

// The refusals of a command whose data are counted in blocks: a length of 0, a length that is
// not a whole number of blocks, a count beyond its register, or a count that disagrees with the
// length. Nothing is sent when one applies.
int check_blocks(huld_error *err, const char *function, uint32_t length, uint64_t count,
                 uint64_t max_count) {
  if (length == 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "data length is 0");
  }
  if (length % kBlock != 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "data length %u is not a multiple of 512", length);
  }
  if (count > max_count) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "block count %llu does not fit the count register",
                          static_cast<unsigned long long>(count));
  }
  if (count * kBlock != length) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "block count %llu does not match data length %u",
                          static_cast<unsigned long long>(count), length);
  }
  return 0;
}

// Refusal of a transfer whose block count is the length itself (COUNT = length / 512).
int check_length(huld_error *err, const char *function, uint32_t length, uint64_t max_count) {
  return check_blocks(err, function, length, length / kBlock, max_count);
}

int run(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd) {
  if (huld_ata_execute(err, dev, cmd)) return 1;
  return vornata_check_error(err, cmd);
}

constexpr uint64_t kCount16 = 0xFFFF;
constexpr uint64_t kCount8 = 0xFF;

// Fills a 512-byte payload; `tag` is the fill's own name for the log lines.
bool payload_ok(const char *tag, uint32_t payload_len, uint32_t password_len,
                bool short_wording) {
  if (payload_len != VORNATA_SECURITY_PAYLOAD_SIZE) {
    HULD_LOG(HULD_LOG_DEBUG, "%s payload must be 512 bytes\n", tag);
    return false;
  }
  if (password_len > VORNATA_SECURITY_PASSWORD_MAX) {
    if (short_wording) {
      HULD_LOG(HULD_LOG_DEBUG, "%s password must be <= 32 bytes\n", tag);
    } else {
      HULD_LOG(HULD_LOG_DEBUG, "%s password must be 32 bytes or less\n", tag);
    }
    return false;
  }
  return true;
}

void copy_password(uint8_t *payload, const uint8_t *password, uint32_t password_len) {
  if (password_len != 0) memcpy(payload + 2, password, password_len);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sanitize status and security payloads
// ---------------------------------------------------------------------------------------------

void vornata_parse_sanitize_status(vornata_sanitize_status *out, const huld_ata_cmd *cmd) {
  uint32_t progress = static_cast<uint32_t>(cmd->lba & 0xFFFF);
  out->progress = progress == 0xFFFF ? 0.0 : static_cast<double>(progress) / 65536.0;
  out->completed_without_error = (cmd->count >> 15) & 1;
  out->in_progress = (cmd->count >> 14) & 1;
  out->frozen = (cmd->count >> 13) & 1;
  out->antifreeze = (cmd->count >> 12) & 1;
}

void vornata_fill_security_disable_password_payload(uint8_t *payload, uint32_t payload_len,
                                                    const uint8_t *password, uint32_t password_len,
                                                    uint8_t identifier) {
  if (!payload_ok(__func__, payload_len, password_len, false)) {
    return;
  }
  copy_password(payload, password, password_len);
  payload[0] = identifier & 1;
}

void vornata_fill_security_erase_unit_payload(uint8_t *payload, uint32_t payload_len,
                                              const uint8_t *password, uint32_t password_len,
                                              uint8_t identifier, uint8_t enhanced) {
  if (!payload_ok(__func__, payload_len, password_len, false)) {
    return;
  }
  copy_password(payload, password, password_len);
  payload[0] = static_cast<uint8_t>((identifier & 1) | ((enhanced & 1) << 1));
}

void vornata_fill_security_set_password_payload(uint8_t *payload, uint32_t payload_len,
                                                const uint8_t *password, uint32_t password_len,
                                                uint8_t identifier, uint8_t level_maximum) {
  if (!payload_ok(__func__, payload_len, password_len, true)) {
    return;
  }
  copy_password(payload, password, password_len);
  payload[0] = identifier & 1;
  payload[1] = level_maximum & 1;
}

void vornata_fill_security_unlock_payload(uint8_t *payload, uint32_t payload_len,
                                          const uint8_t *password, uint32_t password_len,
                                          uint8_t identifier) {
  if (!payload_ok(__func__, payload_len, password_len, false)) {
    return;
  }
  copy_password(payload, password, password_len);
  payload[0] = identifier & 1;
}

// ---------------------------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------------------------

void vornata_fill_check_power_mode(huld_ata_cmd *cmd) {
  start(cmd, 0xE5, kNonData, 0);
  // The answer is in COUNT: without the registers back, a translation layer's GOOD would read as
  // standby (00h).
  cmd->check_condition = 1;
}

void vornata_fill_data_set_management(huld_ata_cmd *cmd, uint8_t feature_high, uint8_t feature_low,
                                      uint16_t count, uint32_t lba, void *buffer, uint32_t length) {
  start(cmd, 0x06, kDma, 1);
  cmd->feature = static_cast<uint16_t>((feature_high << 8) | feature_low);
  cmd->count = count;
  cmd->lba = lba;
  transfer(cmd, buffer, length, HULD_DDIR_TO_DEVICE);
}

void vornata_fill_data_set_management_xl(huld_ata_cmd *cmd, uint8_t feature_high,
                                         uint8_t feature_low, uint16_t count, uint64_t lba,
                                         void *buffer, uint32_t length) {
  start(cmd, 0x07, kDma, 1);
  cmd->feature = static_cast<uint16_t>((feature_high << 8) | feature_low);
  cmd->count = count;
  cmd->lba = lba;
  transfer(cmd, buffer, length, HULD_DDIR_TO_DEVICE);
}

void vornata_fill_download_microcode(huld_ata_cmd *cmd, uint8_t mode, uint16_t block_count,
                                     uint16_t buffer_offset, void *buffer, uint32_t length) {
  bool activate = (mode == 0x0F);
  start(cmd, 0x92, activate ? kNonData : kPioOut, 0);
  cmd->feature = mode;
  cmd->count = block_count & 0xFF;
  cmd->lba = static_cast<uint64_t>(block_count >> 8) | (static_cast<uint64_t>(buffer_offset) << 8);
  if (activate) {
    // Activation carries no data; the buffer is kept in the record as given.
    cmd->data = buffer;
    cmd->data_len = length;
  } else {
    transfer(cmd, buffer, length, HULD_DDIR_TO_DEVICE);
  }
}

void vornata_fill_download_microcode_dma(huld_ata_cmd *cmd, uint8_t mode, uint16_t block_count,
                                         uint16_t buffer_offset, void *buffer, uint32_t length) {
  vornata_fill_download_microcode(cmd, mode, block_count, buffer_offset, buffer, length);
  cmd->command = 0x93;
  if (mode != 0x0F) cmd->protocol = kDma;
}

void vornata_fill_flush_cache(huld_ata_cmd *cmd) { start(cmd, 0xE7, kNonData, 0); }

void vornata_fill_flush_cache_ext(huld_ata_cmd *cmd) { start(cmd, 0xEA, kNonData, 1); }

void vornata_fill_get_native_max_address_ext(huld_ata_cmd *cmd) {
  start(cmd, 0x78, kNonData, 1);
  cmd->check_condition = 1;
}

void vornata_fill_identify_device(huld_ata_cmd *cmd, void *buffer, uint32_t length) {
  start(cmd, 0xEC, kPioIn, 0);
  cmd->count = 1;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_read_dma_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer, uint32_t length) {
  start(cmd, 0x25, kDma, 1);
  cmd->count = blocks(length);
  cmd->lba = lba;
  cmd->device = 0x40;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

namespace {
void fill_log(huld_ata_cmd *cmd, uint8_t command, uint8_t protocol, uint16_t feature,
              uint8_t log_address, uint16_t page_number, void *buffer, uint32_t length,
              uint32_t ddir) {
  start(cmd, command, protocol, 1);
  cmd->feature = feature;
  cmd->count = blocks(length);  // the page count follows from the length
  cmd->lba = log_lba(log_address, page_number);
  transfer(cmd, buffer, length, ddir);
}
}  // namespace

void vornata_fill_read_log_dma_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                   uint8_t log_address, uint16_t page_number, void *buffer,
                                   uint32_t length) {
  (void)page_count;
  fill_log(cmd, 0x47, kDma, feature, log_address, page_number, buffer, length,
           HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_read_log_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                               uint8_t log_address, uint16_t page_number, void *buffer,
                               uint32_t length) {
  (void)page_count;
  fill_log(cmd, 0x2F, kPioIn, feature, log_address, page_number, buffer, length,
           HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_read_native_max_address_ext(huld_ata_cmd *cmd) {
  start(cmd, 0x27, kNonData, 1);
  cmd->device = 0x40;
  cmd->check_condition = 1;
}

void vornata_fill_read_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer,
                                   uint32_t length) {
  start(cmd, 0x24, kPioIn, 1);
  cmd->count = blocks(length);
  cmd->lba = lba;
  cmd->device = 0x40;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_read_verify_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, uint16_t count) {
  start(cmd, 0x42, kNonData, 1);
  cmd->count = count;
  cmd->lba = lba;
  cmd->device = 0x40;
}

namespace {
void fill_sanitize(huld_ata_cmd *cmd, uint16_t feature, uint16_t count, uint64_t lba) {
  start(cmd, 0xB4, kNonData, 1);
  cmd->feature = feature;
  cmd->count = count;
  cmd->lba = lba;
}
uint16_t sanitize_count(uint8_t zoned_no_reset, uint8_t failure_mode) {
  return static_cast<uint16_t>(((zoned_no_reset & 1) << 15) | ((failure_mode & 1) << 4));
}
}  // namespace

void vornata_fill_sanitize_block_erase_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                           uint8_t failure_mode) {
  fill_sanitize(cmd, 0x0012, sanitize_count(zoned_no_reset, failure_mode), 0x426B4572);
}

void vornata_fill_sanitize_crypto_scramble_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                               uint8_t failure_mode) {
  fill_sanitize(cmd, 0x0011, sanitize_count(zoned_no_reset, failure_mode), 0x43727970);
}

void vornata_fill_sanitize_overwrite_ext(huld_ata_cmd *cmd, uint8_t zoned_no_reset,
                                         uint8_t invert_pattern, uint8_t definitive_ending_pattern,
                                         uint8_t failure_mode, uint8_t pass_count,
                                         uint32_t pattern) {
  uint16_t count = static_cast<uint16_t>(sanitize_count(zoned_no_reset, failure_mode) |
                                         ((invert_pattern & 1) << 7) |
                                         ((definitive_ending_pattern & 1) << 6) | (pass_count & 0xF));
  fill_sanitize(cmd, 0x0014, count, (static_cast<uint64_t>(0x4F57) << 32) | pattern);
}

void vornata_fill_sanitize_status_ext(huld_ata_cmd *cmd, uint8_t clear_failure) {
  fill_sanitize(cmd, 0x0000, clear_failure & 1, 0);
  cmd->check_condition = 1;
}

namespace {
void fill_security_out(huld_ata_cmd *cmd, uint8_t command, void *payload, uint32_t length) {
  start(cmd, command, kPioOut, 0);
  // The drive ignores COUNT, but a translation layer sizes the one-block payload from it.
  cmd->count = 1;
  transfer(cmd, payload, length, HULD_DDIR_TO_DEVICE);
}
}  // namespace

void vornata_fill_security_disable_password(huld_ata_cmd *cmd, void *payload, uint32_t length) {
  fill_security_out(cmd, 0xF6, payload, length);
}

void vornata_fill_security_erase_prepare(huld_ata_cmd *cmd) { start(cmd, 0xF3, kNonData, 0); }

void vornata_fill_security_erase_unit(huld_ata_cmd *cmd, void *payload, uint32_t length) {
  fill_security_out(cmd, 0xF4, payload, length);
}

void vornata_fill_security_freeze_lock(huld_ata_cmd *cmd) { start(cmd, 0xF5, kNonData, 0); }

void vornata_fill_security_set_password(huld_ata_cmd *cmd, void *payload, uint32_t length) {
  fill_security_out(cmd, 0xF1, payload, length);
}

void vornata_fill_security_unlock(huld_ata_cmd *cmd, void *payload, uint32_t length) {
  fill_security_out(cmd, 0xF2, payload, length);
}

void vornata_fill_set_accessible_max_address_ext(huld_ata_cmd *cmd, uint64_t lba) {
  start(cmd, 0x78, kNonData, 1);
  cmd->feature = 0x0001;
  cmd->lba = lba;
}

void vornata_fill_set_max_address_ext(huld_ata_cmd *cmd, uint8_t value_volatile, uint64_t lba) {
  start(cmd, 0x37, kNonData, 1);
  cmd->count = value_volatile;
  cmd->lba = lba;
  cmd->device = 0x40;
}

namespace {
void fill_smart(huld_ata_cmd *cmd, uint8_t feature, uint8_t protocol, uint64_t lba_low) {
  start(cmd, 0xB0, protocol, 0);
  cmd->feature = feature;
  cmd->lba = kSmartSignature | lba_low;
}
}  // namespace

void vornata_fill_smart_disable_operations(huld_ata_cmd *cmd) {
  fill_smart(cmd, 0xD9, kNonData, 0);
}

void vornata_fill_smart_enable_operations(huld_ata_cmd *cmd) { fill_smart(cmd, 0xD8, kNonData, 0); }

void vornata_fill_smart_execute_off_line_immediate(huld_ata_cmd *cmd, uint8_t subcommand) {
  fill_smart(cmd, 0xD4, kNonData, subcommand);
}

void vornata_fill_smart_read_data(huld_ata_cmd *cmd, void *buffer, uint32_t length) {
  fill_smart(cmd, 0xD0, kPioIn, 0);
  cmd->count = 1;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_smart_read_log(huld_ata_cmd *cmd, uint8_t count, uint8_t log_address,
                                 void *buffer, uint32_t length) {
  fill_smart(cmd, 0xD5, kPioIn, log_address);
  cmd->count = count;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_smart_read_thresholds(huld_ata_cmd *cmd, void *buffer, uint32_t length) {
  fill_smart(cmd, 0xD1, kPioIn, 0);
  cmd->count = 1;
  transfer(cmd, buffer, length, HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_smart_return_status(huld_ata_cmd *cmd) {
  fill_smart(cmd, 0xDA, kNonData, 0);
  cmd->check_condition = 1;
}

void vornata_fill_smart_write_log(huld_ata_cmd *cmd, uint8_t count, uint8_t log_address,
                                  void *buffer, uint32_t length) {
  fill_smart(cmd, 0xD6, kPioOut, log_address);
  cmd->count = count;
  transfer(cmd, buffer, length, HULD_DDIR_TO_DEVICE);
}

void vornata_fill_standby_immediate(huld_ata_cmd *cmd) {
  start(cmd, 0xE0, kNonData, 0);
  cmd->device = 0x40;
}

namespace {
void fill_trusted(huld_ata_cmd *cmd, uint8_t command, uint8_t protocol,
                  uint16_t security_protocol, uint16_t protocol_specific, void *buffer,
                  uint32_t length, uint32_t ddir) {
  start(cmd, command, protocol, 0);
  uint16_t n = blocks(length);
  cmd->feature = security_protocol;
  cmd->count = n & 0xFF;
  cmd->lba = static_cast<uint64_t>(n >> 8) | (static_cast<uint64_t>(protocol_specific) << 8);
  transfer(cmd, buffer, length, ddir);
}
}  // namespace

void vornata_fill_trusted_receive(huld_ata_cmd *cmd, uint16_t security_protocol,
                                  uint16_t protocol_specific, void *buffer, uint32_t length) {
  fill_trusted(cmd, 0x5C, kPioIn, security_protocol, protocol_specific, buffer, length,
               HULD_DDIR_FROM_DEVICE);
}

void vornata_fill_trusted_send(huld_ata_cmd *cmd, uint16_t security_protocol,
                               uint16_t protocol_specific, void *buffer, uint32_t length) {
  fill_trusted(cmd, 0x5E, kPioOut, security_protocol, protocol_specific, buffer, length,
               HULD_DDIR_TO_DEVICE);
}

void vornata_fill_write_dma_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer, uint32_t length) {
  vornata_fill_read_dma_ext(cmd, lba, buffer, length);
  cmd->command = 0x35;
  cmd->ddir = HULD_DDIR_TO_DEVICE;
}

void vornata_fill_write_log_dma_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                    uint8_t log_address, uint16_t page_number, void *buffer,
                                    uint32_t length) {
  (void)page_count;
  fill_log(cmd, 0x57, kDma, feature, log_address, page_number, buffer, length,
           HULD_DDIR_TO_DEVICE);
}

void vornata_fill_write_log_ext(huld_ata_cmd *cmd, uint16_t feature, uint16_t page_count,
                                uint8_t log_address, uint16_t page_number, void *buffer,
                                uint32_t length) {
  (void)page_count;
  fill_log(cmd, 0x3F, kPioOut, feature, log_address, page_number, buffer, length,
           HULD_DDIR_TO_DEVICE);
}

void vornata_fill_write_sectors_ext(huld_ata_cmd *cmd, uint64_t lba, void *buffer,
                                    uint32_t length) {
  vornata_fill_read_sectors_ext(cmd, lba, buffer, length);
  cmd->command = 0x34;
  cmd->protocol = kPioOut;
  cmd->ddir = HULD_DDIR_TO_DEVICE;
}

// ---------------------------------------------------------------------------------------------
// Executors
// ---------------------------------------------------------------------------------------------

int vornata_execute_check_power_mode(huld_error *err, huld_dev *dev, uint8_t *out) {
  huld_ata_cmd cmd;
  vornata_fill_check_power_mode(&cmd);
  if (run(err, dev, &cmd)) return 1;
  *out = static_cast<uint8_t>(cmd.count & 0xFF);
  return 0;
}

int vornata_execute_data_set_management(huld_error *err, huld_dev *dev, uint8_t feature_high,
                                        uint8_t feature_low, uint16_t count, uint32_t lba,
                                        void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_data_set_management(&cmd, feature_high, feature_low, count, lba, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_data_set_management_xl(huld_error *err, huld_dev *dev, uint8_t feature_high,
                                           uint8_t feature_low, uint16_t count, uint64_t lba,
                                           void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_data_set_management_xl(&cmd, feature_high, feature_low, count, lba, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_download_microcode(huld_error *err, huld_dev *dev, uint8_t mode,
                                       uint16_t block_count, uint16_t buffer_offset, void *buffer,
                                       uint32_t length) {
  if (mode != 0x0F && check_blocks(err, __func__, length, block_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_download_microcode(&cmd, mode, block_count, buffer_offset, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_download_microcode_dma(huld_error *err, huld_dev *dev, uint8_t mode,
                                           uint16_t block_count, uint16_t buffer_offset,
                                           void *buffer, uint32_t length) {
  if (mode != 0x0F && check_blocks(err, __func__, length, block_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_download_microcode_dma(&cmd, mode, block_count, buffer_offset, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_flush_cache(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_flush_cache(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_flush_cache_ext(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_flush_cache_ext(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_get_native_max_address_ext(huld_error *err, huld_dev *dev, uint64_t *out) {
  huld_ata_cmd cmd;
  vornata_fill_get_native_max_address_ext(&cmd);
  if (run(err, dev, &cmd)) return 1;
  *out = cmd.lba;
  return 0;
}

int vornata_execute_identify_device(huld_error *err, huld_dev *dev, void *buffer,
                                    uint32_t length) {
  if (check_blocks(err, __func__, length, 1, kCount8)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_identify_device(&cmd, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_read_dma_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                 uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_read_dma_ext(&cmd, lba, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_read_log_dma_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                     uint16_t page_count, uint8_t log_address,
                                     uint16_t page_number, void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, page_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_read_log_dma_ext(&cmd, feature, page_count, log_address, page_number, buffer,
                                length);
  return run(err, dev, &cmd);
}

int vornata_execute_read_log_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                 uint16_t page_count, uint8_t log_address, uint16_t page_number,
                                 void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, page_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_read_log_ext(&cmd, feature, page_count, log_address, page_number, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_read_native_max_address_ext(huld_error *err, huld_dev *dev, uint64_t *out) {
  huld_ata_cmd cmd;
  vornata_fill_read_native_max_address_ext(&cmd);
  if (run(err, dev, &cmd)) return 1;
  *out = cmd.lba;
  return 0;
}

int vornata_execute_read_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                     uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_read_sectors_ext(&cmd, lba, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_read_verify_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba,
                                            uint16_t count) {
  huld_ata_cmd cmd;
  vornata_fill_read_verify_sectors_ext(&cmd, lba, count);
  return run(err, dev, &cmd);
}

int vornata_execute_sanitize_status_ext(huld_error *err, huld_dev *dev,
                                        vornata_sanitize_status *status, uint8_t clear_failure) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_status_ext(&cmd, clear_failure);
  if (run(err, dev, &cmd)) return 1;
  vornata_parse_sanitize_status(status, &cmd);
  return 0;
}

namespace {
// A sanitize command that passed its check is followed by SANITIZE STATUS EXT.
int run_sanitize(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd,
                 vornata_sanitize_status *status) {
  if (run(err, dev, cmd)) return 1;
  return vornata_execute_sanitize_status_ext(err, dev, status, 0);
}
}  // namespace

int vornata_execute_sanitize_block_erase_ext(huld_error *err, huld_dev *dev,
                                             vornata_sanitize_status *status,
                                             uint8_t zoned_no_reset, uint8_t failure_mode) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_block_erase_ext(&cmd, zoned_no_reset, failure_mode);
  return run_sanitize(err, dev, &cmd, status);
}

int vornata_execute_sanitize_crypto_scramble_ext(huld_error *err, huld_dev *dev,
                                                 vornata_sanitize_status *status,
                                                 uint8_t zoned_no_reset, uint8_t failure_mode) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_crypto_scramble_ext(&cmd, zoned_no_reset, failure_mode);
  return run_sanitize(err, dev, &cmd, status);
}

int vornata_execute_sanitize_overwrite_ext(huld_error *err, huld_dev *dev,
                                           vornata_sanitize_status *status, uint8_t zoned_no_reset,
                                           uint8_t invert_pattern,
                                           uint8_t definitive_ending_pattern, uint8_t failure_mode,
                                           uint8_t pass_count, uint32_t pattern) {
  huld_ata_cmd cmd;
  vornata_fill_sanitize_overwrite_ext(&cmd, zoned_no_reset, invert_pattern,
                                      definitive_ending_pattern, failure_mode, pass_count, pattern);
  return run_sanitize(err, dev, &cmd, status);
}

namespace {
// A password the payload cannot hold is refused before any command.
int check_password(huld_error *err, const char *function, uint32_t password_len) {
  if (password_len <= VORNATA_SECURITY_PASSWORD_MAX) return 0;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "password of %u bytes is longer than 32 bytes", password_len);
}
}  // namespace

int vornata_execute_security_disable_password(huld_error *err, huld_dev *dev,
                                              const uint8_t *password, uint32_t password_len,
                                              uint8_t identifier) {
  if (check_password(err, __func__, password_len)) return 1;
  uint8_t payload[VORNATA_SECURITY_PAYLOAD_SIZE] = {};
  vornata_fill_security_disable_password_payload(payload, sizeof(payload), password, password_len,
                                                 identifier);
  huld_ata_cmd cmd;
  vornata_fill_security_disable_password(&cmd, payload, sizeof(payload));
  return run(err, dev, &cmd);
}

int vornata_execute_security_erase_prepare(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_security_erase_prepare(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_security_erase_unit(huld_error *err, huld_dev *dev, const uint8_t *password,
                                        uint32_t password_len, uint8_t identifier,
                                        uint8_t enhanced) {
  if (check_password(err, __func__, password_len)) return 1;
  uint8_t payload[VORNATA_SECURITY_PAYLOAD_SIZE] = {};
  vornata_fill_security_erase_unit_payload(payload, sizeof(payload), password, password_len,
                                           identifier, enhanced);
  huld_ata_cmd cmd;
  vornata_fill_security_erase_unit(&cmd, payload, sizeof(payload));
  return run(err, dev, &cmd);
}

int vornata_execute_security_freeze_lock(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_security_freeze_lock(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_security_set_password(huld_error *err, huld_dev *dev, const uint8_t *password,
                                          uint32_t password_len, uint8_t identifier,
                                          uint8_t level_maximum) {
  if (check_password(err, __func__, password_len)) return 1;
  uint8_t payload[VORNATA_SECURITY_PAYLOAD_SIZE] = {};
  vornata_fill_security_set_password_payload(payload, sizeof(payload), password, password_len,
                                             identifier, level_maximum);
  huld_ata_cmd cmd;
  vornata_fill_security_set_password(&cmd, payload, sizeof(payload));
  return run(err, dev, &cmd);
}

int vornata_execute_security_unlock(huld_error *err, huld_dev *dev, const uint8_t *password,
                                    uint32_t password_len, uint8_t identifier) {
  if (check_password(err, __func__, password_len)) return 1;
  uint8_t payload[VORNATA_SECURITY_PAYLOAD_SIZE] = {};
  vornata_fill_security_unlock_payload(payload, sizeof(payload), password, password_len,
                                       identifier);
  huld_ata_cmd cmd;
  vornata_fill_security_unlock(&cmd, payload, sizeof(payload));
  return run(err, dev, &cmd);
}

int vornata_execute_set_accessible_max_address_ext(huld_error *err, huld_dev *dev, uint64_t lba) {
  huld_ata_cmd cmd;
  vornata_fill_set_accessible_max_address_ext(&cmd, lba);
  return run(err, dev, &cmd);
}

int vornata_execute_set_max_address_ext(huld_error *err, huld_dev *dev, uint8_t value_volatile,
                                        uint64_t lba) {
  huld_ata_cmd cmd;
  vornata_fill_set_max_address_ext(&cmd, value_volatile, lba);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_disable_operations(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_smart_disable_operations(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_enable_operations(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_smart_enable_operations(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_execute_off_line_immediate(huld_error *err, huld_dev *dev,
                                                     uint8_t subcommand) {
  huld_ata_cmd cmd;
  vornata_fill_smart_execute_off_line_immediate(&cmd, subcommand);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_read_data(huld_error *err, huld_dev *dev, void *buffer,
                                    uint32_t length) {
  if (check_blocks(err, __func__, length, 1, kCount8)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_smart_read_data(&cmd, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_read_log(huld_error *err, huld_dev *dev, uint8_t count,
                                   uint8_t log_address, void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, count, kCount8)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_smart_read_log(&cmd, count, log_address, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_read_thresholds(huld_error *err, huld_dev *dev, void *buffer,
                                          uint32_t length) {
  if (check_blocks(err, __func__, length, 1, kCount8)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_smart_read_thresholds(&cmd, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_smart_return_status(huld_error *err, huld_dev *dev, uint16_t *out) {
  huld_ata_cmd cmd;
  vornata_fill_smart_return_status(&cmd);
  if (huld_ata_execute(err, dev, &cmd)) return 1;
  *out = static_cast<uint16_t>((cmd.lba >> 8) & 0xFFFF);
  return vornata_check_error(err, &cmd);
}

int vornata_execute_smart_write_log(huld_error *err, huld_dev *dev, uint8_t count,
                                    uint8_t log_address, void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, count, kCount8)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_smart_write_log(&cmd, count, log_address, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_standby_immediate(huld_error *err, huld_dev *dev) {
  huld_ata_cmd cmd;
  vornata_fill_standby_immediate(&cmd);
  return run(err, dev, &cmd);
}

int vornata_execute_trusted_receive(huld_error *err, huld_dev *dev, uint16_t security_protocol,
                                    uint16_t protocol_specific, void *buffer, uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_trusted_receive(&cmd, security_protocol, protocol_specific, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_trusted_send(huld_error *err, huld_dev *dev, uint16_t security_protocol,
                                 uint16_t protocol_specific, void *buffer, uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_trusted_send(&cmd, security_protocol, protocol_specific, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_write_dma_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                  uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_write_dma_ext(&cmd, lba, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_write_log_dma_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                      uint16_t page_count, uint8_t log_address,
                                      uint16_t page_number, void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, page_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_write_log_dma_ext(&cmd, feature, page_count, log_address, page_number, buffer,
                                 length);
  return run(err, dev, &cmd);
}

int vornata_execute_write_log_ext(huld_error *err, huld_dev *dev, uint16_t feature,
                                  uint16_t page_count, uint8_t log_address, uint16_t page_number,
                                  void *buffer, uint32_t length) {
  if (check_blocks(err, __func__, length, page_count, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_write_log_ext(&cmd, feature, page_count, log_address, page_number, buffer, length);
  return run(err, dev, &cmd);
}

int vornata_execute_write_sectors_ext(huld_error *err, huld_dev *dev, uint64_t lba, void *buffer,
                                      uint32_t length) {
  if (check_length(err, __func__, length, kCount16)) return 1;
  huld_ata_cmd cmd;
  vornata_fill_write_sectors_ext(&cmd, lba, buffer, length);
  return run(err, dev, &cmd);
}

// SCSI back end: SCSI pass-through, the Windows 8.1 firmware conversion and the probes.
#define HULD_MODULE "huld\\windows\\huld_scsi_windows"

#include "huld/windows/huld_scsi_windows.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "huld/huld_environment.h"
#include "huld/huld_util.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

// SCSI_PASS_THROUGH request: the structure, 32 bytes of sense, then the data.
constexpr uint32_t kSptLength = offsetof(SCSI_PASS_THROUGH, Length);
constexpr uint32_t kSptScsiStatus = offsetof(SCSI_PASS_THROUGH, ScsiStatus);
constexpr uint32_t kSptCdbLength = offsetof(SCSI_PASS_THROUGH, CdbLength);
constexpr uint32_t kSptSenseInfoLength = offsetof(SCSI_PASS_THROUGH, SenseInfoLength);
constexpr uint32_t kSptDataIn = offsetof(SCSI_PASS_THROUGH, DataIn);
constexpr uint32_t kSptDataTransferLength = offsetof(SCSI_PASS_THROUGH, DataTransferLength);
constexpr uint32_t kSptTimeOutValue = offsetof(SCSI_PASS_THROUGH, TimeOutValue);
constexpr uint32_t kSptDataBufferOffset = offsetof(SCSI_PASS_THROUGH, DataBufferOffset);
constexpr uint32_t kSptSenseInfoOffset = offsetof(SCSI_PASS_THROUGH, SenseInfoOffset);
constexpr uint32_t kSptCdb = offsetof(SCSI_PASS_THROUGH, Cdb);
constexpr uint32_t kSptSize = sizeof(SCSI_PASS_THROUGH);
constexpr uint32_t kSenseSize = HULD_SCSI_SENSE_SIZE;
constexpr uint32_t kSenseOffset = kSptSize;
constexpr uint32_t kDataOffset = kSptSize + kSenseSize;

static_assert(kSptScsiStatus == 2 && kSptCdbLength == 6 && kSptSenseInfoLength == 7 &&
              kSptDataIn == 8 && kSptDataTransferLength == 12 && kSptTimeOutValue == 16 &&
              kSptDataBufferOffset == 24 && kSptSenseInfoOffset == 32 && kSptCdb == 36);
static_assert(kSenseOffset == 56 && kDataOffset == 88);

constexpr uint32_t kScsiDumpLimit = 512;
constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kModeDownloadDeferred = 0x0E;
constexpr uint8_t kModeActivateDeferred = 0x0F;
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;

uint32_t seconds_rounded_up(uint32_t ms) {
  return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 999) / 1000);
}

int execute_scsi_ex(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd) {
  const uint32_t size = cmd->data_len + kDataOffset;
  auto *spt = static_cast<uint8_t *>(std::calloc(1, size));
  if (!spt) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);

  const bool moves_data = cmd->ddir == HULD_DDIR_TO_DEVICE || cmd->ddir == HULD_DDIR_FROM_DEVICE;
  huld_put_le16(spt + kSptLength, static_cast<uint16_t>(kSptSize));
  spt[kSptCdbLength] = static_cast<uint8_t>(cmd->cdb_len);
  spt[kSptSenseInfoLength] = static_cast<uint8_t>(kSenseSize);
  spt[kSptDataIn] = cmd->ddir == HULD_DDIR_TO_DEVICE     ? SCSI_IOCTL_DATA_OUT
                    : cmd->ddir == HULD_DDIR_FROM_DEVICE ? SCSI_IOCTL_DATA_IN
                                                         : SCSI_IOCTL_DATA_UNSPECIFIED;
  huld_put_le32(spt + kSptDataTransferLength, moves_data ? cmd->data_len : 0);
  huld_put_le32(spt + kSptTimeOutValue, seconds_rounded_up(cmd->timeout_ms));
  huld_put_le64(spt + kSptDataBufferOffset, moves_data ? kDataOffset : 0);
  huld_put_le32(spt + kSptSenseInfoOffset, kSenseOffset);
  std::memcpy(spt + kSptCdb, cmd->cdb, cmd->cdb_len);
  if (cmd->ddir == HULD_DDIR_TO_DEVICE && cmd->data_len > 0) {
    std::memcpy(spt + kDataOffset, cmd->data, cmd->data_len);
  }

  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("scsi pass through structure out\n");
    huld_log_printf("spt->Length:             %xh\n", huld_get_le16(spt + kSptLength));
    huld_log_printf("spt->CdbLength:          %xh\n", spt[kSptCdbLength]);
    huld_log_printf("spt->SenseInfoLength:    %xh\n", spt[kSptSenseInfoLength]);
    huld_log_printf("spt->DataIn:             %xh\n", spt[kSptDataIn]);
    huld_log_printf("spt->DataTransferLength: %xh\n", huld_get_le32(spt + kSptDataTransferLength));
    huld_log_printf("spt->TimeOutValue:       %xh\n", huld_get_le32(spt + kSptTimeOutValue));
    huld_log_printf("spt->DataBufferOffset:   %llxh\n",
                    static_cast<unsigned long long>(huld_get_le64(spt + kSptDataBufferOffset)));
    huld_log_printf("spt->SenseInfoOffset:    %xh\n", huld_get_le32(spt + kSptSenseInfoOffset));
    huld_log_dump("spt->Cdb", spt + kSptCdb, cmd->cdb_len);
    huld_log_dump("spt->Sense", spt + kSenseOffset, kSenseSize);
    huld_log_dump("beginning of spt->Data", spt + kDataOffset,
                  cmd->data_len < kScsiDumpLimit ? cmd->data_len : kScsiDumpLimit);
  }

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_SCSI_PASS_THROUGH, spt, size, spt, size,
                                  &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  HULD_LOG(HULD_LOG_VERBOSE, "%xh bytes read IOCTL_SCSI_PASS_THROUGH\n", static_cast<unsigned>(returned));

  // Translate back whatever the outcome; copies come only from the offsets built above and never
  // exceed the destination.
  const uint32_t sense_returned = spt[kSptSenseInfoLength];
  const uint32_t moved = huld_get_le32(spt + kSptDataTransferLength);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("scsi pass through structure in\n");
    huld_log_printf("spt->ScsiStatus: %xh\n", spt[kSptScsiStatus]);
    huld_log_printf("spt->SenseInfoLength: %xh\n", sense_returned);
    huld_log_printf("spt->SenseInfoOffset: %xh\n", huld_get_le32(spt + kSptSenseInfoOffset));
    huld_log_dump("spt->Sense", spt + kSenseOffset, kSenseSize);
    huld_log_printf("spt->DataTransferLength: %xh\n", moved);
    if (cmd->ddir == HULD_DDIR_FROM_DEVICE) {
      huld_log_dump("beginning of spt->Data", spt + kDataOffset,
                    cmd->data_len < kScsiDumpLimit ? cmd->data_len : kScsiDumpLimit);
    }
  }
  uint32_t sense_count = huld_min(huld_min(cmd->sense_len, sense_returned), kSenseSize);
  cmd->sense_returned = sense_count;
  HULD_LOG(HULD_LOG_VERBOSE, "copy sense data: %x bytes (%x vs. %x)\n", sense_count, cmd->sense_len,
           sense_returned);
  std::memcpy(cmd->sense, spt + kSenseOffset, sense_count);
  cmd->scsi_status = spt[kSptScsiStatus];
  cmd->xfer_len = returned > kDataOffset ? huld_min(returned - kDataOffset, cmd->data_len) : 0;
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE) {
    // DataTransferLength and BytesReturned both say how much came back; when they disagree the
    // smaller one counts.
    const uint32_t returned_data = returned > kDataOffset ? static_cast<uint32_t>(returned - kDataOffset) : 0;
    const uint32_t count = huld_min(huld_min(cmd->data_len, moved), returned_data);
    HULD_LOG(HULD_LOG_VERBOSE, "copy cmd data: %x bytes (%x vs. %x)\n", count, cmd->data_len, moved);
    if (count > 0) std::memcpy(cmd->data, spt + kDataOffset, count);
  }
  HULD_LOG(HULD_LOG_VERBOSE, "completed translation to huld_scsi_cmd\n");
  std::free(spt);

  if (!ok) return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing scsi ex DeviceIoControl");
  // ScsiStatus and SenseInfoLength the driver did not hand back are the ones sent (GOOD, and the
  // room given for sense), and sense it did not hand back is not the drive's: the answer must
  // reach past the structure and past the sense bytes read.
  if (returned < kSenseOffset + sense_count) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing scsi ex DeviceIoControl");
  }
  return huld_error_clear(err);
}

// WRITE BUFFER download (0Eh) or activation (0Fh) as the "FIRMWARE" request.
int execute_scsi_miniport(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd) {
  const bool activate = cmd->cdb[1] == kModeActivateDeferred;
  const uint32_t timeout_s = seconds_rounded_up(cmd->timeout_ms);
  uint32_t size = 0;
  uint8_t *request = nullptr;
  if (activate) {
    request = win_fw_miniport_build_activate(timeout_s, 1, &size);
    if (!request) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes",
                                    WIN_FW_MINIPORT_ACTIVATE_SIZE);
    HULD_LOG(HULD_LOG_VERBOSE, "scsi miniport fw activate out\n");
  } else {
    const uint64_t offset = static_cast<uint64_t>(cmd->cdb[3]) << 16 |
                            static_cast<uint64_t>(cmd->cdb[4]) << 8 | cmd->cdb[5];
    request = win_fw_miniport_build_download(timeout_s, offset, cmd->data, cmd->data_len, &size);
    if (!request) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes",
                                    cmd->data_len + WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET);
    HULD_LOG(HULD_LOG_VERBOSE, "scsi miniport fw download out\n");
  }
  return win_fw_miniport_send(err, dev, request, size, HULD_MODULE, __func__, __LINE__);
}

bool is_windows_8_1_firmware_write_buffer(const huld_dev *dev, const huld_scsi_cmd *cmd) {
  if (cmd->cdb[0] != kWriteBuffer) return false;
  if (cmd->cdb[1] != kModeDownloadDeferred && cmd->cdb[1] != kModeActivateDeferred) return false;
  return dev->conn.driver == WINDOWS_INBOX_NVME && huld_environment_is_windows_8_1() == 1;
}

void print_probe_failure(const char *text, const huld_error *err) {
  HULD_LOG(HULD_LOG_DEBUG, "%s", text);
  HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
}

}  // namespace

int huld_scsi_windows_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *cmd) {
  if (cmd->cdb_len == 0 || cmd->cdb_len > HULD_SCSI_CDB_SIZE) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, cmd->cdb_len, "invalid CDB length");
  }
  if (cmd->data_len > WIN_FW_MAX_DATA_LENGTH || (cmd->data_len > 0 && cmd->data == nullptr)) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  }
  if (is_windows_8_1_firmware_write_buffer(dev, cmd)) return execute_scsi_miniport(err, dev, cmd);
  return execute_scsi_ex(err, dev, cmd);
}

int huld_scsi_windows_probe(huld_dev *dev) {
  uint8_t buffer[512] = {};
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x12;
  cmd.cdb[3] = 0x02;  // allocation length 200h
  cmd.cdb_len = 6;
  cmd.data = buffer;
  cmd.data_len = sizeof(buffer);
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.sense_len = HULD_SCSI_SENSE_SIZE;
  cmd.timeout_ms = huld_probe_timeout_ms;
  huld_error err{};
  if (huld_scsi_windows_execute(&err, dev, &cmd)) {
    print_probe_failure("scsi windows inq failed\n", &err);
    return 0;
  }
  return 1;
}

int huld_scsi_windows_probe_sat(huld_dev *dev) {
  uint8_t buffer[512];
  huld_ata_cmd ata;
  huld_ata_fill_probe_identify(&ata, buffer);
  huld_scsi_cmd cmd{};
  huld_scsi_fill_sat_cmd(&cmd, &ata);
  huld_error err{};
  if (huld_scsi_windows_execute(&err, dev, &cmd)) {
    print_probe_failure("scsi windows sat identify failed\n", &err);
    return 0;
  }
  if (cmd.scsi_status != kStatusGood) {
    HULD_LOG(HULD_LOG_DEBUG, "scsi windows sat identify failed (status %xh)\n",
             static_cast<unsigned>(cmd.scsi_status));
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    return 0;
  }
  return 1;
}

int huld_scsi_windows_asmedia_probe_nvme(huld_dev *dev) {
  auto *buffer = static_cast<uint8_t *>(std::calloc(1, 4096));
  if (!buffer) return 0;
  huld_scsi_cmd cmd{};
  huld_error err{};
  int answer = 0;
  for (int send = 1; send <= 2; ++send) {
    std::memset(&cmd, 0, sizeof(cmd));
    cmd.cdb[0] = 0xE6;
    cmd.cdb[1] = 0x06;  // NVMe Identify
    cmd.cdb[3] = 0x01;  // CNS 1: the controller
    cmd.cdb_len = 16;
    cmd.data = buffer;
    cmd.data_len = 4096;
    cmd.ddir = HULD_DDIR_FROM_DEVICE;
    cmd.sense_len = HULD_SCSI_SENSE_SIZE;
    cmd.timeout_ms = huld_probe_timeout_ms;
    const int failed = huld_scsi_windows_execute(&err, dev, &cmd);
    if (!failed && cmd.scsi_status == kStatusGood) {
      answer = 1;
      break;
    }
    // A bridge whose drive is still becoming ready gets one more try; a second such answer counts.
    if (!failed && cmd.scsi_status == kStatusCheckCondition && cmd.sense[12] == 0x04 &&
        cmd.sense[13] == 0x01) {
      if (send == 2) answer = 1;
      continue;
    }
    HULD_LOG(HULD_LOG_DEBUG, "scsi windows asmedia nvme identify failed (status %xh)\n",
             static_cast<unsigned>(cmd.scsi_status));
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
    break;
  }
  std::free(buffer);
  return answer;
}

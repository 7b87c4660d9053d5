// NVMe through the Windows in-box driver.
#define HULD_MODULE "huld\\windows\\huld_nvme_windows"

#include "huld/windows/huld_nvme_windows.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "huld/huld_scsi.h"
#include "huld/huld_util.h"
#include "huld/windows/huld_scsi_windows.h"
#include "huld/windows/win_fw_common.h"
#include "platform/win32.h"

namespace {

constexpr uint32_t kNvmeDumpLimit = 4096;

// NVMe opcodes that choose a route.
constexpr uint8_t kOpFlush = 0x00;
constexpr uint8_t kOpWrite = 0x01;
constexpr uint8_t kOpRead = 0x02;
constexpr uint8_t kOpGetLogPage = 0x02;
constexpr uint8_t kOpIdentify = 0x06;
constexpr uint8_t kOpSetFeatures = 0x09;
constexpr uint8_t kOpGetFeatures = 0x0A;
constexpr uint8_t kOpFirmwareCommit = 0x10;
constexpr uint8_t kOpFirmwareImageDownload = 0x11;
constexpr uint8_t kOpSecuritySend = 0x81;
constexpr uint8_t kOpSecurityReceive = 0x82;
// NVM opcodes routed to the SCSI translation, which has no CDB for them: they are refused there.
constexpr uint8_t kOpNvmUntranslated65 = 0x65;
constexpr uint8_t kOpNvmUntranslated66 = 0x66;
// Vendor opcodes handed to the driver with a to-device buffer of kForcedBufferSize bytes: E9h and
// F1h whenever their data is shorter, E5h when it has none.
constexpr uint8_t kOpVendorPaddedOutE9 = 0xE9;
constexpr uint8_t kOpVendorPaddedOutF1 = 0xF1;
constexpr uint8_t kOpVendorBufferWhenEmptyE5 = 0xE5;
constexpr uint8_t kFeatureTemperatureThreshold = 0x04;
constexpr uint8_t kCnsController = 0x01;

// Protocol command request: the structure (84 bytes), the submission entry inside it at 80, the
// error information at 144, the data at 208.
constexpr uint32_t kPcVersion = offsetof(STORAGE_PROTOCOL_COMMAND, Version);
constexpr uint32_t kPcLength = offsetof(STORAGE_PROTOCOL_COMMAND, Length);
constexpr uint32_t kPcProtocolType = offsetof(STORAGE_PROTOCOL_COMMAND, ProtocolType);
constexpr uint32_t kPcFlags = offsetof(STORAGE_PROTOCOL_COMMAND, Flags);
constexpr uint32_t kPcReturnStatus = offsetof(STORAGE_PROTOCOL_COMMAND, ReturnStatus);
constexpr uint32_t kPcErrorCode = offsetof(STORAGE_PROTOCOL_COMMAND, ErrorCode);
constexpr uint32_t kPcCommandLength = offsetof(STORAGE_PROTOCOL_COMMAND, CommandLength);
constexpr uint32_t kPcErrorInfoLength = offsetof(STORAGE_PROTOCOL_COMMAND, ErrorInfoLength);
constexpr uint32_t kPcToDeviceLength = offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceTransferLength);
constexpr uint32_t kPcFromDeviceLength =
    offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceTransferLength);
constexpr uint32_t kPcTimeOutValue = offsetof(STORAGE_PROTOCOL_COMMAND, TimeOutValue);
constexpr uint32_t kPcErrorInfoOffset = offsetof(STORAGE_PROTOCOL_COMMAND, ErrorInfoOffset);
constexpr uint32_t kPcToDeviceOffset = offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceBufferOffset);
constexpr uint32_t kPcFromDeviceOffset =
    offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceBufferOffset);
constexpr uint32_t kPcCommandSpecific = offsetof(STORAGE_PROTOCOL_COMMAND, CommandSpecific);
constexpr uint32_t kPcFixedReturn = offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData);
constexpr uint32_t kPcCommand = offsetof(STORAGE_PROTOCOL_COMMAND, Command);
constexpr uint32_t kPcStructSize = sizeof(STORAGE_PROTOCOL_COMMAND);
// The answer read back ends with FixedProtocolReturnData (the completion's DW0).
constexpr uint32_t kPcCompletionEnd = kPcFixedReturn + sizeof(uint32_t);
constexpr uint32_t kSqeSize = STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
constexpr uint32_t kErrorInfoSize = 64;
constexpr uint32_t kPcErrorInfo = kPcCommand + kSqeSize;
constexpr uint32_t kPcData = kPcErrorInfo + kErrorInfoSize;
constexpr uint32_t kForcedBufferSize = 4096;
constexpr int kIoDeviceRetries = 10;
constexpr DWORD kIoDeviceRetryPauseMs = 500;

static_assert(kPcReturnStatus == 16 && kPcErrorCode == 20 && kPcTimeOutValue == 40 &&
              kPcCommandSpecific == 56 && kPcFixedReturn == 64 && kPcCommand == 80);
static_assert(kPcStructSize == 84 && kPcErrorInfo == 144 && kPcData == 208);

// Property query: the query header, then the protocol-specific data at 8 (input); the
// descriptor header, then the same block at 8 (output); data 40 bytes into the block.
constexpr uint32_t kQueryBlock = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
constexpr uint32_t kPsdProtocolType = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolType);
constexpr uint32_t kPsdDataType = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, DataType);
constexpr uint32_t kPsdValue = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestValue);
constexpr uint32_t kPsdSubValue = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue);
constexpr uint32_t kPsdDataOffset = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset);
constexpr uint32_t kPsdDataLength = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength);
constexpr uint32_t kPsdFixedReturn = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, FixedProtocolReturnData);
constexpr uint32_t kPsdSubValue2 = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue2);
constexpr uint32_t kPsdSubValue3 = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue3);
constexpr uint32_t kPsdSubValue4 = offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue4);
constexpr uint32_t kPsdSize = sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
constexpr uint32_t kQuerySize = kQueryBlock + kPsdSize;
constexpr uint32_t kDescriptorBlock = offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData);
constexpr uint32_t kDescriptorData = kDescriptorBlock + kPsdSize;
// The answer read back ends with FixedProtocolReturnData (the completion's DW0).
constexpr uint32_t kDescriptorCompletionEnd = kDescriptorBlock + kPsdFixedReturn + sizeof(uint32_t);
constexpr uint32_t kQueryMinData = 512;

static_assert(kQueryBlock == 8 && kQuerySize == 48 && kDescriptorBlock == 8 && kDescriptorData == 48);
static_assert(kPsdFixedReturn == 24 && kPsdSubValue4 == 36);

// Temperature threshold request.
constexpr uint32_t kSttSize = sizeof(STORAGE_TEMPERATURE_THRESHOLD);
static_assert(kSttSize == 16 && offsetof(STORAGE_TEMPERATURE_THRESHOLD, Threshold) == 12 &&
              offsetof(STORAGE_TEMPERATURE_THRESHOLD, OverThreshold) == 14);

uint8_t opcode_of(const huld_nvme_cmd *cmd) { return static_cast<uint8_t>(cmd->cdw0 & 0xFF); }
bool is_admin(const huld_nvme_cmd *cmd) { return cmd->queue == HULD_NVME_QUEUE_ADMIN; }

uint32_t seconds_rounded_up(uint32_t ms) {
  return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 999) / 1000);
}

// ---------------------------------------------------------------------------------------------
// SCSI translation
// ---------------------------------------------------------------------------------------------

// Writes an NVMe status (SCT, SC) into cpl[3] bits 27:17, keeping the other bits.
void write_status(huld_nvme_cmd *cmd, uint32_t sct, uint32_t sc) {
  cmd->cpl[3] &= ~(0x7FFu << 17);
  cmd->cpl[3] |= (((sct & 0x7) << 8 | (sc & 0xFF)) << 17);
}

struct sense_row {
  uint8_t key, asc, ascq;
  int cdb_opcode_low;  // -1: any
  uint8_t sct, sc;
};

constexpr sense_row kCheckConditionRows[] = {
    {0x02, 0x04, 0x00, -1, 0, 0x82}, {0x03, 0x00, 0x00, -1, 0, 0x04},
    {0x03, 0x03, 0x00, -1, 2, 0x80}, {0x03, 0x11, 0x00, -1, 2, 0x81},
    {0x03, 0x10, 0x01, -1, 2, 0x82}, {0x03, 0x10, 0x02, -1, 2, 0x83},
    {0x03, 0x10, 0x03, -1, 2, 0x84}, {0x04, 0x44, 0x00, -1, 1, 0x06},
    {0x05, 0x00, 0x00, 5, 1, 0x00},  {0x05, 0x00, 0x00, 8, 1, 0x03},
    {0x05, 0x20, 0x00, -1, 0, 0x01}, {0x05, 0x24, 0x00, -1, 0, 0x02},
    {0x05, 0x21, 0x00, -1, 0, 0x80}, {0x05, 0x31, 0x01, -1, 1, 0x0A},
    {0x05, 0x20, 0x09, -1, 0, 0x0B}, {0x0E, 0x1D, 0x00, -1, 2, 0x85},
};

// Writes the NVMe status that the SCSI status and sense data of a translated command stand for.
void xlate_huld_scsi_cmd_to_huld_nvme_cmd(huld_nvme_cmd *nvme, const huld_scsi_cmd *scsi) {
  if (scsi->scsi_status == 0x00) return;
  write_status(nvme, 7, 0xFF);

  // Fixed format 70h, 71h, F0h, F1h; descriptor format 72h, 73h only. Sense that stops before
  // ASC/ASCQ has none: its zeroed tail would read as 00h/00h.
  huld_scsi_sense sense{};
  const bool have_sense =
      scsi->sense_len >= HULD_SCSI_SENSE_SIZE &&
      huld_scsi_sense_fields(scsi, HULD_SCSI_SENSE_DESCRIPTOR_BIT7_CLEAR, &sense) != 0;
  const uint8_t key = sense.key, asc = sense.asc, ascq = sense.ascq;
  if (!have_sense) {
    HULD_LOG(HULD_LOG_DEBUG, "Error getting SCSI SENSE; could not convert to NVMe status\n");
    return;
  }
  HULD_LOG(HULD_LOG_VERBOSE, "SCSI ASC/ASCQ: %Xh/%Xh\n", static_cast<unsigned>(asc),
           static_cast<unsigned>(ascq));

  if (scsi->scsi_status == 0x02) {
    const int cdb_low = scsi->cdb[0] & 0x0F;
    for (const sense_row &row : kCheckConditionRows) {
      if (row.key != key || row.asc != asc || row.ascq != ascq) continue;
      if (row.cdb_opcode_low >= 0 && row.cdb_opcode_low != cdb_low) continue;
      write_status(nvme, row.sct, row.sc);
      return;
    }
  } else if (scsi->scsi_status == 0x40 && key == 0x0B) {
    if (asc == 0x00 && ascq == 0x00) write_status(nvme, 0, 0x07);
    else if (asc == 0x0B && ascq == 0x08) write_status(nvme, 0, 0x05);
  }
}

int execute_scsi_ex(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  const uint8_t opcode = opcode_of(cmd);
  huld_scsi_cmd scsi{};
  switch (opcode) {
    case kOpSecurityReceive:
    case kOpSecuritySend:
      if (is_admin(cmd)) {
        scsi.cdb[0] = opcode == kOpSecurityReceive ? 0xA2 : 0xB5;
        scsi.cdb[1] = static_cast<uint8_t>(cmd->cdw10 >> 24);  // SECP
        scsi.cdb[2] = static_cast<uint8_t>(cmd->cdw10 >> 16);  // SPSP
        scsi.cdb[3] = static_cast<uint8_t>(cmd->cdw10 >> 8);
        huld_put_be32(scsi.cdb + 6, cmd->cdw11);
        scsi.cdb_len = 12;
      }
      break;
    case kOpRead:
    case kOpWrite:
      if (cmd->data_len == 0) {
        return HULD_ERROR(err, HULD_ERROR_FAILURE, opcode, "nvme %s without data",
                          opcode == kOpRead ? "read" : "write");
      }
      scsi.cdb[0] = opcode == kOpRead ? 0x88 : 0x8A;
      if (opcode == kOpRead) scsi.cdb[1] = 0x08;  // FUA
      huld_put_be32(scsi.cdb + 2, cmd->cdw11);
      huld_put_be32(scsi.cdb + 6, cmd->cdw10);
      // The NVMe block count is 0's based.
      huld_put_be32(scsi.cdb + 10, (cmd->cdw12 & 0xFFFF) + 1);
      scsi.cdb_len = 16;
      break;
    case kOpFlush:
      scsi.cdb[0] = 0x35;
      scsi.cdb_len = 10;
      break;
    default:
      break;
  }
  if (scsi.cdb_len == 0) {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, opcode,
                      "nvme opcode %xh has no scsi translation", static_cast<unsigned>(opcode));
  }
  scsi.data = cmd->data;
  scsi.data_len = cmd->data_len;
  scsi.timeout_ms = cmd->timeout_ms;
  scsi.ddir = cmd->ddir;
  scsi.sense_len = HULD_SCSI_SENSE_SIZE;

  const int result = huld_scsi_windows_execute(err, dev, &scsi);
  xlate_huld_scsi_cmd_to_huld_nvme_cmd(cmd, &scsi);
  return result;
}

// ---------------------------------------------------------------------------------------------
// "FIRMWARE" miniport request
// ---------------------------------------------------------------------------------------------

int execute_scsi_miniport(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  const uint8_t opcode = opcode_of(cmd);
  const uint32_t timeout_s = cmd->timeout_ms / 1000;
  uint32_t size = 0;
  uint8_t *request = nullptr;
  if (opcode == kOpFirmwareCommit) {
    // Only the slot travels; the driver chooses the commit action itself.
    request = win_fw_miniport_build_activate(timeout_s, static_cast<uint8_t>(cmd->cdw10 & 0x7), &size);
    if (!request) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes",
                                    WIN_FW_MINIPORT_ACTIVATE_SIZE);
  } else if (opcode == kOpFirmwareImageDownload) {
    const uint64_t offset = static_cast<uint64_t>(cmd->cdw11) * 4;  // dwords to bytes
    request = win_fw_miniport_build_download(timeout_s, offset, cmd->data, cmd->data_len, &size);
    if (!request) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes",
                                    cmd->data_len + WIN_FW_MINIPORT_DOWNLOAD_IMAGE_OFFSET);
  } else {
    return HULD_ERROR(err, HULD_ERROR_NOT_SUPPORTED, opcode,
                      "nvme opcode %xh is not a firmware request", static_cast<unsigned>(opcode));
  }
  return win_fw_miniport_send(err, dev, request, size, HULD_MODULE, __func__, __LINE__);
}

// ---------------------------------------------------------------------------------------------
// Temperature threshold
// ---------------------------------------------------------------------------------------------

int execute_storage_temperature_threshold(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  uint8_t stt[kSttSize] = {};
  const uint32_t tmpth = cmd->cdw11 & 0xFFFF;
  const uint16_t index = static_cast<uint16_t>((cmd->cdw11 >> 16) & 0xF);
  const int16_t threshold = static_cast<int16_t>(static_cast<int32_t>(tmpth) - 273);
  const uint8_t over = ((cmd->cdw11 >> 20) & 0x3) == 0 ? 1 : 0;
  huld_put_le32(stt + 0, kSttSize);
  huld_put_le32(stt + 4, kSttSize);
  huld_put_le16(stt + 8, STORAGE_TEMPERATURE_THRESHOLD_FLAG_ADAPTER_REQUEST);
  huld_put_le16(stt + 10, index);
  huld_put_le16(stt + 12, static_cast<uint16_t>(threshold));
  stt[14] = over;

  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("stt->Version: %u\n", huld_get_le32(stt + 0));
    huld_log_printf("stt->Size: %u\n", huld_get_le32(stt + 4));
    huld_log_printf("stt->Flags: %u\n", static_cast<unsigned>(huld_get_le16(stt + 8)));
    huld_log_printf("stt->Index: %u\n", static_cast<unsigned>(index));
    huld_log_printf("stt->Threshold: %d\n", static_cast<int>(threshold));
    huld_log_printf("stt->OverThreshold: %u\n", static_cast<unsigned>(over));
    huld_log_dump("stt buffer", stt, kSttSize);
  }
  DWORD returned = 0;
  if (!DeviceIoControl(dev->conn.handle, IOCTL_STORAGE_SET_TEMPERATURE_THRESHOLD, stt, kSttSize,
                       nullptr, 0, &returned, nullptr)) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, GetLastError(),
                      "error executing storage temperature threshold DeviceIoControl");
  }
  return huld_error_clear(err);
}

// ---------------------------------------------------------------------------------------------
// Protocol-specific property query
// ---------------------------------------------------------------------------------------------

int execute_storage_query_property(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  const uint8_t opcode = opcode_of(cmd);
  const uint8_t low = static_cast<uint8_t>(cmd->cdw10 & 0xFF);
  const uint32_t data_length = huld_max(cmd->data_len, kQueryMinData);
  const uint32_t out_size = data_length + kDescriptorData;

  uint8_t in[kQuerySize] = {};
  uint8_t *block = in + kQueryBlock;
  uint32_t property = StorageDeviceProtocolSpecificProperty;
  uint32_t data_type = NVMeDataTypeUnknown;
  uint32_t sub = 0, sub2 = 0, sub3 = 0, sub4 = 0;
  if (opcode == kOpGetLogPage) {
    property = StorageAdapterProtocolSpecificProperty;
    data_type = NVMeDataTypeLogPage;
    sub = cmd->cdw12;
    sub2 = cmd->cdw13;
    // The driver takes the Log Specific Identifier (cdw11 bits 31:16) alone, and the retain
    // asynchronous event bit, the log specific field and the UUID index packed in its own layout
    // (bit 0, bits 4:1, bits 14:8; the rest reserved and 0). Windows builds that check the
    // reserved bits refuse the whole dwords; the log id and the dword count are its own.
    sub3 = cmd->cdw11 >> 16;
    sub4 = ((cmd->cdw10 >> 15) & 0x1) | ((cmd->cdw10 >> 8) & 0xF) << 1 | (cmd->cdw14 & 0x7F) << 8;
  } else if (opcode == kOpIdentify) {
    property = low == kCnsController ? StorageAdapterProtocolSpecificProperty
                                     : StorageDeviceProtocolSpecificProperty;
    data_type = NVMeDataTypeIdentify;
  } else {
    data_type = NVMeDataTypeFeature;
    sub = cmd->cdw11;
  }
  huld_put_le32(in + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), property);
  huld_put_le32(in + offsetof(STORAGE_PROPERTY_QUERY, QueryType), PropertyStandardQuery);
  huld_put_le32(block + kPsdProtocolType, ProtocolTypeNvme);
  huld_put_le32(block + kPsdDataType, data_type);
  huld_put_le32(block + kPsdValue, low);
  huld_put_le32(block + kPsdSubValue, sub);
  huld_put_le32(block + kPsdDataOffset, kPsdSize);
  huld_put_le32(block + kPsdDataLength, data_length);
  huld_put_le32(block + kPsdSubValue2, sub2);
  huld_put_le32(block + kPsdSubValue3, sub3);
  huld_put_le32(block + kPsdSubValue4, sub4);

  auto *out = static_cast<uint8_t *>(std::calloc(1, out_size));
  if (!out) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", out_size);

  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("query->PropertyId: %xh\n", property);
    huld_log_printf("query->QueryType: %xh\n", static_cast<unsigned>(PropertyStandardQuery));
    huld_log_printf("protocol->ProtocolType: %xh\n", static_cast<unsigned>(ProtocolTypeNvme));
    huld_log_printf("protocol->DataType: %xh\n", data_type);
    huld_log_printf("protocol->ProtocolDataRequestValue: %xh\n", static_cast<unsigned>(low));
    huld_log_printf("protocol->ProtocolDataRequestSubValue: %xh\n", sub);
    huld_log_printf("protocol->ProtocolDataOffset: %xh\n", kPsdSize);
    huld_log_printf("protocol->ProtocolDataLength: %xh\n", data_length);
    huld_log_printf("protocol->ProtocolDataRequestSubValue2: %xh\n", sub2);
    huld_log_printf("protocol->ProtocolDataRequestSubValue3: %xh\n", sub3);
    huld_log_printf("protocol->ProtocolDataRequestSubValue4: %xh\n", sub4);
    huld_log_dump("beginning of query buffer", in, kQuerySize);
  }

  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(dev->conn.handle, IOCTL_STORAGE_QUERY_PROPERTY, in, kQuerySize, out,
                                  out_size, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();

  // The output holds at least data_len bytes after the descriptor.
  if (cmd->data_len != 0) std::memcpy(cmd->data, out + kDescriptorData, cmd->data_len);
  cmd->cpl[0] = huld_get_le32(out + kDescriptorBlock + kPsdFixedReturn);
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("fixed protocol return data: %xh\n", cmd->cpl[0]);
    huld_log_dump("protocol data descriptor", out, kDescriptorData);
    huld_log_dump("beginning of return data", out + kDescriptorData,
                  huld_min(cmd->data_len, kNvmeDumpLimit));
  }
  std::free(out);

  if (!ok) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error,
                      "error executing storage query property DeviceIoControl");
  }
  // A completion DW0 the driver did not hand back is the zeroed output: a feature value the device
  // never gave.
  if (returned < kDescriptorCompletionEnd) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA,
                      "error executing storage query property DeviceIoControl");
  }
  return huld_error_clear(err);
}

// ---------------------------------------------------------------------------------------------
// Protocol command
// ---------------------------------------------------------------------------------------------

struct protocol_layout {
  uint32_t data_size;   // S: bytes of the data area at 208
  bool to_device;
  bool from_device;
  bool forced;          // a to-device buffer the caller did not ask for
  uint32_t size() const { return kPcData + data_size; }
};

protocol_layout protocol_layout_of(const huld_nvme_cmd *cmd) {
  const uint8_t opcode = opcode_of(cmd);
  protocol_layout l{cmd->data_len, cmd->ddir == HULD_DDIR_TO_DEVICE,
                    cmd->ddir == HULD_DDIR_FROM_DEVICE, false};
  if (((opcode == kOpVendorPaddedOutE9 || opcode == kOpVendorPaddedOutF1) &&
       cmd->data_len < kForcedBufferSize) ||
      (opcode == kOpVendorBufferWhenEmptyE5 && cmd->data_len == 0)) {
    l = {kForcedBufferSize, true, false, true};
  }
  return l;
}

// Zeroes the request and fills it; used for the first send and for every resend.
void fill_protocol_request(uint8_t *r, const protocol_layout &l, const huld_nvme_cmd *cmd) {
  std::memset(r, 0, l.size());
  huld_put_le32(r + kPcVersion, STORAGE_PROTOCOL_STRUCTURE_VERSION);
  huld_put_le32(r + kPcLength, kPcStructSize);
  huld_put_le32(r + kPcProtocolType, ProtocolTypeNvme);
  huld_put_le32(r + kPcFlags, STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST);
  huld_put_le32(r + kPcCommandLength, kSqeSize);
  huld_put_le32(r + kPcErrorInfoLength, kErrorInfoSize);
  huld_put_le32(r + kPcToDeviceLength, l.to_device ? l.data_size : 0);
  huld_put_le32(r + kPcFromDeviceLength, l.from_device ? l.data_size : 0);
  huld_put_le32(r + kPcTimeOutValue, seconds_rounded_up(cmd->timeout_ms));
  huld_put_le32(r + kPcErrorInfoOffset, kPcErrorInfo);
  huld_put_le32(r + kPcToDeviceOffset, l.to_device ? kPcData : 0);
  huld_put_le32(r + kPcFromDeviceOffset, l.from_device ? kPcData : 0);
  huld_put_le32(r + kPcCommandSpecific, is_admin(cmd) ? STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND
                                                      : STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND);
  uint8_t *sqe = r + kPcCommand;
  huld_nvme_put_submission_entry(sqe, cmd);
  if (l.to_device && cmd->data_len > 0) {
    std::memcpy(r + kPcData, cmd->data, huld_min(cmd->data_len, l.data_size));
  }
}

void log_protocol_request(const uint8_t *r, uint32_t size) {
  if (huld_log_level < HULD_LOG_VERBOSE) return;
  huld_log_printf("wcmd->Version: %xh\n", huld_get_le32(r + kPcVersion));
  huld_log_printf("wcmd->Length: %xh\n", huld_get_le32(r + kPcLength));
  huld_log_printf("wcmd->ProtocolType: %xh\n", huld_get_le32(r + kPcProtocolType));
  huld_log_printf("wcmd->Flags: %xh\n", huld_get_le32(r + kPcFlags));
  huld_log_printf("wcmd->CommandLength: %xh\n", huld_get_le32(r + kPcCommandLength));
  huld_log_printf("wcmd->ErrorInfoLength: %xh\n", huld_get_le32(r + kPcErrorInfoLength));
  huld_log_printf("wcmd->DataToDeviceTransferLength: %xh\n", huld_get_le32(r + kPcToDeviceLength));
  huld_log_printf("wcmd->DataFromDeviceTransferLength: %xh\n", huld_get_le32(r + kPcFromDeviceLength));
  huld_log_printf("wcmd->TimeOutValue: %xh\n", huld_get_le32(r + kPcTimeOutValue));
  huld_log_printf("wcmd->ErrorInfoOffset: %xh\n", huld_get_le32(r + kPcErrorInfoOffset));
  huld_log_printf("wcmd->DataToDeviceBufferOffset: %xh\n", huld_get_le32(r + kPcToDeviceOffset));
  huld_log_printf("wcmd->DataFromDeviceBufferOffset: %xh\n", huld_get_le32(r + kPcFromDeviceOffset));
  huld_log_printf("wcmd->CommandSpecific: %xh\n", huld_get_le32(r + kPcCommandSpecific));
  const uint8_t *sqe = r + kPcCommand;
  huld_log_printf("wnvme->dw0: %xh\n", huld_get_le32(sqe + 0));
  huld_log_printf("wnvme->nsid: %xh\n", huld_get_le32(sqe + 4));
  for (uint32_t dw = 10; dw <= 15; ++dw) {
    huld_log_printf("wnvme->dw%u: %xh\n", dw, huld_get_le32(sqe + dw * 4));
  }
  huld_log_dump("beginning of storage protocol cmd", r, huld_min(size, kNvmeDumpLimit));
}

int execute_storage_protocol(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  const protocol_layout l = protocol_layout_of(cmd);
  const uint32_t size = l.size();
  auto *r = static_cast<uint8_t *>(std::calloc(1, size));
  if (!r) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "could not alloc %u bytes", size);
  fill_protocol_request(r, l, cmd);
  log_protocol_request(r, size);

  DWORD returned = 0;
  BOOL ok = FALSE;
  DWORD error = ERROR_SUCCESS;
  for (int retry = 0;; ++retry) {
    ok = DeviceIoControl(dev->conn.handle, IOCTL_STORAGE_PROTOCOL_COMMAND, r, size, r, size, &returned,
                         nullptr);
    error = ok ? ERROR_SUCCESS : GetLastError();
    if (ok || error != ERROR_IO_DEVICE || retry == kIoDeviceRetries) break;
    HULD_LOG(HULD_LOG_DEBUG, "storage protocol command failed with ERROR_IO_DEVICE, retry %d\n",
             retry + 1);
    Sleep(kIoDeviceRetryPauseMs);
    // The driver may have written into the buffer: resend a freshly built request.
    fill_protocol_request(r, l, cmd);
  }

  const uint32_t return_status = huld_get_le32(r + kPcReturnStatus);
  const uint32_t error_code = huld_get_le32(r + kPcErrorCode);
  const uint32_t fixed = huld_get_le32(r + kPcFixedReturn);
  cmd->cpl[0] = fixed;
  cmd->cpl[3] = error_code << 16;
  if (cmd->ddir == HULD_DDIR_FROM_DEVICE) {
    if (l.from_device) {
      const uint32_t count = huld_min(cmd->data_len, l.data_size);
      if (count > 0) std::memcpy(cmd->data, r + kPcData, count);
      if (huld_log_level >= HULD_LOG_VERBOSE) {
        huld_log_dump("beginning of payload data", r + kPcData, huld_min(count, kNvmeDumpLimit));
      }
    } else {
      HULD_LOG(HULD_LOG_DEBUG,
               "storage protocol cmd sent a buffer to the device; no data returned to the caller\n");
    }
  }
  if (huld_log_level >= HULD_LOG_VERBOSE) {
    huld_log_printf("wcmd->ReturnStatus: %xh\n", return_status);
    huld_log_printf("wcmd->ErrorCode: %xh\n", error_code);
    huld_log_printf("wcmd->FixedProtocolReturnData: %xh\n", fixed);
    huld_log_printf("wcmd->Reserved1[0]: %xh\n", huld_get_le32(r + kPcFixedReturn + 4));
    huld_log_printf("wcmd->Reserved1[1]: %xh\n", huld_get_le32(r + kPcFixedReturn + 8));
    huld_log_printf("wcmd->Reserved1[2]: %xh\n", huld_get_le32(r + kPcFixedReturn + 12));
    huld_log_dump("storage protocol cmd", r, kPcStructSize);
  }
  std::free(r);

  if (!ok) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, error, "error executing storage protocol DeviceIoControl");
  }
  // What the driver did not hand back is what was sent: a status, an error code and a completion
  // the device never gave.
  if (returned < kPcCompletionEnd) {
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, ERROR_INVALID_DATA, "error executing storage protocol DeviceIoControl");
  }
  if (return_status != STORAGE_PROTOCOL_STATUS_SUCCESS) {
    HULD_LOG(HULD_LOG_DEBUG, "cpl[3]: %xh\n", cmd->cpl[3]);
    return HULD_ERROR(err, HULD_ERROR_SYSTEM, return_status, "storage protocol command ReturnStatus %xh",
                      return_status);
  }
  return huld_error_clear(err);
}

}  // namespace

int huld_nvme_windows_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (huld_nvme_data_invalid(cmd)) return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "invalid argument");
  const uint8_t opcode = opcode_of(cmd);
  if (is_admin(cmd)) {
    switch (opcode) {
      case kOpSecuritySend:
      case kOpSecurityReceive:
        return execute_scsi_ex(err, dev, cmd);
      case kOpFirmwareCommit:
      case kOpFirmwareImageDownload:
        return execute_scsi_miniport(err, dev, cmd);
      case kOpSetFeatures:
        if ((cmd->cdw10 & 0xFF) == kFeatureTemperatureThreshold) {
          return execute_storage_temperature_threshold(err, dev, cmd);
        }
        break;
      case kOpGetLogPage:
      case kOpIdentify:
      case kOpGetFeatures:
        return execute_storage_query_property(err, dev, cmd);
      default:
        break;
    }
  } else {
    switch (opcode) {
      case kOpFlush:
      case kOpWrite:
      case kOpRead:
      case kOpNvmUntranslated65:
      case kOpNvmUntranslated66:
        return execute_scsi_ex(err, dev, cmd);
      default:
        break;
    }
  }
  return execute_storage_protocol(err, dev, cmd);
}

int huld_nvme_windows_identify_probe(huld_dev *dev, int (*execute)(huld_error *, huld_dev *, huld_nvme_cmd *),
                                     const char *road) {
  auto *buffer = static_cast<uint8_t *>(std::calloc(1, 4096));
  if (!buffer) return 0;
  huld_nvme_cmd cmd{};
  cmd.cdw0 = kOpIdentify;
  cmd.cdw10 = kCnsController;
  cmd.data = buffer;
  cmd.data_len = 4096;
  cmd.ddir = HULD_DDIR_FROM_DEVICE;
  cmd.timeout_ms = huld_probe_timeout_ms;
  cmd.queue = HULD_NVME_QUEUE_ADMIN;
  huld_error err{};
  int answer = 0;
  if (execute(&err, dev, &cmd)) {
    HULD_LOG(HULD_LOG_DEBUG, "%s identify failed\n", road);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &err);
  } else {
    for (uint32_t i = 0; i < 4096 && !answer; ++i) answer = buffer[i] != 0;
    if (!answer) HULD_LOG(HULD_LOG_DEBUG, "%s identify buffer all zeroes\n", road);
  }
  std::free(buffer);
  return answer;
}

int huld_nvme_windows_probe(huld_dev *dev) {
  if (dev->conn.driver == ADAPTEC_RAID) {
    HULD_LOG(HULD_LOG_DEBUG, "skip nvme windows probe on adaptec raid driver\n");
    return 0;
  }
  return huld_nvme_windows_identify_probe(dev, huld_nvme_windows_execute, "nvme windows");
}

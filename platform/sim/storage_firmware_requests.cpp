// Firmware requests several personalities share: the "FIRMWARE" miniport request and the mapping
// of firmware downloads and activations onto ATA DOWNLOAD MICROCODE.
#include <algorithm>
#include <cstring>

#include "sim/storage/helpers.h"

namespace sim {

FirmwareDecode decode_firmware_request(StorageRequest &r, const MiniportHeader &h, FirmwareRequest &out,
                                       uint32_t &refusal) {
  auto failed = [&](const std::string &what, DWORD error = ERROR_INVALID_PARAMETER) {
    r.violation(what, error);
    return FirmwareDecode::failed;
  };
  if (h.control_code != kFirmwareControlCode)
    return failed("\"FIRMWARE\" request with ControlCode " + fault_key(h.control_code), ERROR_INVALID_FUNCTION);
  const size_t size = r.in.size();
  if (static_cast<uint64_t>(h.length) + 28 != size)
    return failed("\"FIRMWARE\" Length " + std::to_string(h.length) + " in a " + std::to_string(size) + "-byte request");
  if (r.call.out_size < size) return failed("\"FIRMWARE\" output smaller than its input");
  if (size < 52) return failed("\"FIRMWARE\" request without a request block");
  const uint8_t *in = r.in.data();
  const uint32_t version = wire::u32(in, 28), block_size = wire::u32(in, 32);
  out.function = wire::u32(in, 36);
  out.flags = wire::u32(in, 40);
  const uint32_t data_off = wire::u32(in, 44), data_len = wire::u32(in, 48);
  if (version != 1 || block_size != 24)
    return failed("\"FIRMWARE\" request block Version/Size " + std::to_string(version) + "/" + std::to_string(block_size));
  if (data_off < 52 || static_cast<uint64_t>(data_off) + data_len > size)
    return failed("\"FIRMWARE\" data at " + std::to_string(data_off) + "+" + std::to_string(data_len));
  r.note("firmware_function", std::to_string(out.function));
  const uint8_t *p = in + data_off;
  switch (out.function) {
    case kFwFunctionDownload:
      if (data_len < 24) return failed("\"FIRMWARE\" download structure of " + std::to_string(data_len) + " bytes");
      if (wire::u32(p, 0) != 1 || wire::u32(p, 4) != 24)
        return failed("\"FIRMWARE\" download Version/Size " + std::to_string(wire::u32(p, 0)) + "/" +
                      std::to_string(wire::u32(p, 4)));
      out.offset = wire::u64(p, 8);
      out.bytes = wire::u64(p, 16);
      if (24 + out.bytes > data_len)
        return failed("\"FIRMWARE\" BufferSize " + std::to_string(out.bytes) + " beyond the request");
      out.image = p + 24;
      break;
    case kFwFunctionActivate:
      if (data_len < 12) return failed("\"FIRMWARE\" activate structure of " + std::to_string(data_len) + " bytes");
      if (wire::u32(p, 0) != 1 || wire::u32(p, 4) < 12)
        return failed("\"FIRMWARE\" activate Version/Size " + std::to_string(wire::u32(p, 0)) + "/" +
                      std::to_string(wire::u32(p, 4)));
      out.slot = p[8];
      break;
    case kFwFunctionGetInfo:
      break;
    default:
      return failed("\"FIRMWARE\" Function " + std::to_string(out.function));
  }
  // The request targets the controller; the driver refuses any other target (or unknown flags)
  // with an invalid parameter.
  if (out.flags != kFwFlagController) {
    r.count_violation("\"FIRMWARE\" Flags " + fault_key(out.flags) + " (the controller flag alone is expected)");
    refusal = kFwInvalidParameter;
    return FirmwareDecode::refused;
  }
  return FirmwareDecode::ok;
}

BOOL answer_firmware_request(StorageRequest &r, uint32_t rc) {
  IoctlCall &call = r.call;
  const size_t size = r.in.size();
  if (call.out != call.in) std::memcpy(call.out, r.in.data(), size);
  wire::put32(call.out, 20, rc);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

uint32_t firmware_return_code(const NvmeCompletion &c) {
  switch (c.status()) {
    case kNvmeSuccess: return kFwSuccess;
    case kNvmeInvalidFirmwareSlot: return kFwInvalidSlot;
    case kNvmeInvalidFirmwareImage: return kFwInvalidImage;
    case kNvmeInvalidField:
    case kNvmeOverlappingRange: return kFwInvalidParameter;
    default: return kFwDeviceError;
  }
}

bool firmware_piece_fits(StorageRequest &r, const FirmwareRequest &f) {
  return !r.exceeds_max_transfer(f.bytes, "a piece beyond the adapter's MaximumTransferLength");
}

std::optional<AtaTaskfile> microcode_download(uint64_t byte_offset, uint64_t bytes) {
  if (bytes == 0 || bytes % 512 != 0 || byte_offset % 512 != 0 || bytes / 512 > 0xFFFF || byte_offset / 512 > 0xFFFF)
    return std::nullopt;
  const uint32_t blocks = static_cast<uint32_t>(bytes / 512);
  AtaTaskfile tf;
  tf.command = 0x92;
  tf.feature = 0x0E;
  tf.count = blocks & 0xFF;
  tf.lba = (blocks >> 8) | (byte_offset / 512) << 8;
  tf.ddir = kDirOut;
  return tf;
}

AtaTaskfile microcode_activate() {
  AtaTaskfile tf;
  tf.command = 0x92;
  tf.feature = 0x0F;
  return tf;
}

bool run_microcode(StorageRequest &r, AtaDrive &drive, const AtaTaskfile &tf, uint8_t *data, uint32_t len) {
  AtaResult res;
  if (const FaultAction *a = r.action("ata_status")) {
    res.status = static_cast<uint8_t>(a->value);
    res.error = static_cast<uint8_t>(a->value2);
  } else {
    res = drive.execute(tf, data, len);
  }
  r.note("ata_status", std::to_string(res.status));
  return !res.err();
}

AtaResult run_ata_for(StorageRequest &r, AtaDrive &drive, const AtaTaskfile &tf, uint8_t *data, uint32_t len,
                      int ddir, uint32_t *moved) {
  AtaResult res;
  if (const FaultAction *a = r.action("ata_status")) {
    res.status = static_cast<uint8_t>(a->value);
    res.error = static_cast<uint8_t>(a->value2);
    res.count = tf.count;
    res.lba = tf.lba;
    res.device = tf.device;
  } else {
    res = drive.execute(tf, ddir == kDirNone ? nullptr : data, ddir == kDirNone ? 0 : len);
  }
  uint32_t n = std::min(res.data_transferred, len);
  if (const FaultAction *a = r.action("short_transfer")) n = std::min<uint32_t>(n, static_cast<uint32_t>(a->value));
  if (ddir == kDirIn && data && r.action("zero_data")) std::memset(data, 0, len);
  *moved = n;
  return res;
}

}  // namespace sim

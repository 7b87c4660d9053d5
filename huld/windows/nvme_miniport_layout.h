// The NVMe pass-through request of the maker's driver ("NvmeMini") and of Intel RSTe ("NvmeRAID"):
// one IOCTL_SCSI_MINIPORT buffer, in and out, laid out little-endian as the 28-byte SRB_IO_CONTROL
// header, 24 vendor bytes, the submission entry, the completion entry and the transfer
// description, then the data.
#pragma once

#include <cstdint>

namespace nvme_miniport {

constexpr uint32_t kHeaderLength = 28;
constexpr uint32_t kControlCode = 0xE0002000u;  // pass-through
constexpr uint32_t kOffSignature = 4;
constexpr uint32_t kOffTimeout = 12;
constexpr uint32_t kOffControlCode = 16;
constexpr uint32_t kOffReturnCode = 20;
constexpr uint32_t kOffLength = 24;
constexpr uint32_t kOffCommand = 52;
constexpr uint32_t kOffCompletion = 116;
constexpr uint32_t kCompletionSize = 16;
// The completion is the last field read back: an answer that stops before its end carries a
// status the driver did not write.
constexpr uint32_t kCompletionEnd = kOffCompletion + kCompletionSize;
constexpr uint32_t kOffDirection = 132;
constexpr uint32_t kOffQueueId = 136;
constexpr uint32_t kOffDataBufferLen = 140;
constexpr uint32_t kOffMetaDataLen = 144;
constexpr uint32_t kOffReturnBufferLen = 148;
constexpr uint32_t kOffData = 152;

}  // namespace nvme_miniport

// Helpers shared by the simulated-drive tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/drives/drive_common.h"
#include "sim/drives/nvme_controller.h"

namespace drivetest {

inline std::string text_at(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

// ATA string: swap the two bytes of every word back.
inline std::string ata_text_at(const uint8_t *p, size_t n) {
  std::string s = text_at(p, n);
  for (size_t i = 0; i + 1 < n; i += 2) std::swap(s[i], s[i + 1]);
  return s;
}

inline uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint64_t le64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

inline sim::NvmeCommand nvme_cmd(uint8_t opcode, uint32_t nsid = 0, uint32_t cdw10 = 0, uint32_t cdw11 = 0) {
  sim::NvmeCommand c{.cdw0 = opcode, .nsid = nsid, .cdw10 = cdw10, .cdw11 = cdw11};
  return c;
}

// One Firmware Image Download of `len` bytes of `image` at byte `offset`, zero-padded to a dword.
inline sim::NvmeCompletion nvme_download_piece(sim::NvmeController &ctl, const std::vector<uint8_t> &image,
                                               uint32_t offset, uint32_t len) {
  std::vector<uint8_t> piece(image.begin() + offset, image.begin() + offset + len);
  piece.resize((len + 3) / 4 * 4, 0);
  return ctl.admin(nvme_cmd(0x11, 0, static_cast<uint32_t>(piece.size() / 4 - 1), offset / 4), piece.data(),
                   static_cast<uint32_t>(piece.size()));
}

// Whole image in pieces of `chunk` bytes; returns the first failing completion, or success.
inline sim::NvmeCompletion nvme_download(sim::NvmeController &ctl, const std::vector<uint8_t> &image,
                                         uint32_t chunk = 8192) {
  for (uint32_t off = 0; off < image.size(); off += chunk) {
    const uint32_t len = std::min<uint32_t>(chunk, static_cast<uint32_t>(image.size()) - off);
    sim::NvmeCompletion c = nvme_download_piece(ctl, image, off, len);
    if (!c.ok()) return c;
  }
  return sim::NvmeCompletion{};
}

inline sim::NvmeCompletion nvme_commit(sim::NvmeController &ctl, uint8_t fs, uint8_t ca) {
  return ctl.admin(nvme_cmd(0x10, 0, static_cast<uint32_t>(ca & 7) << 3 | (fs & 7)), nullptr, 0);
}

// `config` changed by `change`: a configuration built in the argument list.
template <typename Config, typename Change>
Config with(Config config, Change change) {
  change(config);
  return config;
}

// A SCSI answer on one line: status, data moved, and the sense bytes reported.
inline std::string scsi_line(const sim::ScsiResult &r) {
  char b[8];
  std::snprintf(b, sizeof b, "%02x", r.status);
  std::string s = std::string("status ") + b + " xfer " + std::to_string(r.data_transferred) + " sense";
  for (uint32_t i = 0; i < r.sense_len && i < sizeof(r.sense); ++i) {
    std::snprintf(b, sizeof b, " %02x", r.sense[i]);
    s += b;
  }
  return s;
}

}  // namespace drivetest

// Test side of the simulated storage stack: a machine with one disk per personality, request
// buffers written byte by byte from the request layouts, and a fixture that closes what a test
// opened (the suite's resource check fails a test that leaks or breaks a contract).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "tests/support/control_codes.h"
#include "tests/support/test_machine.h"

namespace simtest {

// Control codes, written out from (device type, function, method, access).
using testsupport::kScsiPassThrough;
constexpr DWORD kScsiMiniport = 0x0004D008;
constexpr DWORD kAtaPassThrough = 0x0004D02C;
constexpr DWORD kGetAddress = 0x00041018;
constexpr DWORD kQueryProperty = 0x002D1400;
constexpr DWORD kGetDeviceNumber = 0x002D1080;
constexpr DWORD kResetBus = 0x002D5000;
constexpr DWORD kProtocolCommand = 0x002DD3C0;
constexpr DWORD kTemperatureThreshold = 0x002DD200;
constexpr DWORD kFwGetInfo = 0x002D1C00;
constexpr DWORD kFwDownload = 0x002DDC04;
constexpr DWORD kFwActivate = 0x002DDC08;

// The fixture's machine (tests/machines/driver_ports.json). Port 0: in-box NVMe, PhysicalDrive0.
// Port 1: in-box AHCI, PhysicalDrive1. Port 2: USB BOT with a SATA drive, PhysicalDrive2. Port 3:
// Storage Spaces, PhysicalDrive3. Port 5: in-box NVMe controller without a namespace (no disk).
inline nlohmann::json storage_machine() { return testsupport::test_machine("driver_ports"); }

// ---- Byte writers --------------------------------------------------------------------------------

struct Buf {
  std::vector<uint8_t> b;
  explicit Buf(size_t n = 0) : b(n, 0) {}
  void u8(size_t off, uint8_t v) { b.at(off) = v; }
  void u16(size_t off, uint16_t v) {
    b.at(off) = static_cast<uint8_t>(v);
    b.at(off + 1) = static_cast<uint8_t>(v >> 8);
  }
  void u32(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  void u64(size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  void bytes(size_t off, const uint8_t *p, size_t n) {
    if (n) std::memcpy(&b.at(off), p, n);
  }
  void text(size_t off, const char *s, size_t n) { bytes(off, reinterpret_cast<const uint8_t *>(s), n); }
  uint8_t g8(size_t off) const { return b.at(off); }
  uint16_t g16(size_t off) const { return static_cast<uint16_t>(b.at(off) | b.at(off + 1) << 8); }
  uint32_t g32(size_t off) const {
    return static_cast<uint32_t>(b.at(off)) | static_cast<uint32_t>(b.at(off + 1)) << 8 |
           static_cast<uint32_t>(b.at(off + 2)) << 16 | static_cast<uint32_t>(b.at(off + 3)) << 24;
  }
  std::string str(size_t off, size_t n) const { return std::string(reinterpret_cast<const char *>(&b.at(off)), n); }
  uint8_t *data() { return b.data(); }
  DWORD size() const { return static_cast<DWORD>(b.size()); }
};

struct Answer {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD returned = 0;
};

// One buffer in and out.
inline Answer inout(HANDLE h, DWORD code, Buf &buf) {
  Answer a;
  a.ok = DeviceIoControl(h, code, buf.data(), buf.size(), buf.data(), buf.size(), &a.returned, nullptr);
  a.error = a.ok ? 0 : GetLastError();
  return a;
}
// Separate input and output buffers.
inline Answer inout2(HANDLE h, DWORD code, Buf &in, Buf &out) {
  Answer a;
  a.ok = DeviceIoControl(h, code, in.size() ? in.data() : nullptr, in.size(), out.size() ? out.data() : nullptr,
                         out.size(), &a.returned, nullptr);
  a.error = a.ok ? 0 : GetLastError();
  return a;
}
// A request that must fail: its error.
inline long refused(const Answer &a) {
  EXPECT_FALSE(a.ok);
  return static_cast<long>(a.error);
}

// ---- Requests ------------------------------------------------------------------------------------

// STORAGE_PROTOCOL_COMMAND with an NVMe submission entry; `ddir` 0 none, 1 to, 2 from the device.
struct NvmeCmd {
  uint32_t cdw0 = 0, nsid = 0, cdw10 = 0, cdw11 = 0, cdw12 = 0, cdw13 = 0, cdw14 = 0, cdw15 = 0;
  bool admin = true;
};
inline Buf protocol_command(const NvmeCmd &c, uint32_t data_size, int ddir, uint32_t timeout_s = 30,
                            const uint8_t *data = nullptr) {
  Buf b(208 + data_size);
  b.u32(0, 1);
  b.u32(4, 84);
  b.u32(8, 3);
  b.u32(12, 0x80000000u);
  b.u32(24, 64);
  b.u32(28, 64);
  if (ddir == 1) {
    b.u32(32, data_size);
    b.u32(48, 208);
    if (data) b.bytes(208, data, data_size);
  } else if (ddir == 2) {
    b.u32(36, data_size);
    b.u32(52, 208);
  }
  b.u32(40, timeout_s);
  b.u32(44, 144);
  b.u32(56, c.admin ? 1 : 2);
  b.u32(80, c.cdw0);
  b.u32(84, c.nsid);
  b.u32(120, c.cdw10);
  b.u32(124, c.cdw11);
  b.u32(128, c.cdw12);
  b.u32(132, c.cdw13);
  b.u32(136, c.cdw14);
  b.u32(140, c.cdw15);
  return b;
}

// Protocol-specific property query input (48 bytes).
inline Buf protocol_query(uint32_t property, uint32_t data_type, uint32_t value, uint32_t sub, uint32_t length,
                          uint32_t sub2 = 0, uint32_t sub3 = 0, uint32_t sub4 = 0) {
  Buf b(48);
  b.u32(0, property);
  b.u32(8, 3);
  b.u32(12, data_type);
  b.u32(16, value);
  b.u32(20, sub);
  b.u32(24, 40);
  b.u32(28, length);
  b.u32(36, sub2);
  b.u32(40, sub3);
  b.u32(44, sub4);
  return b;
}

inline void srb_header(Buf &b, const char *signature, uint32_t timeout, uint32_t control_code) {
  b.u32(0, 28);
  b.text(4, signature, 8);
  b.u32(12, timeout);
  b.u32(16, control_code);
  b.u32(24, b.size() - 28);
}

// "FIRMWARE" miniport download of one piece / activation of a slot.
inline Buf firmware_download(uint64_t offset, const uint8_t *piece, uint32_t len, uint32_t timeout = 30) {
  Buf b(80 + len);
  srb_header(b, "FIRMWARE", timeout, 0x001B0780);
  b.u32(28, 1);
  b.u32(32, 24);
  b.u32(36, 2);
  b.u32(40, 1);
  b.u32(44, 56);
  b.u32(48, len + 24);
  b.u32(56, 1);
  b.u32(60, 24);
  b.u64(64, offset);
  b.u64(72, len);
  b.bytes(80, piece, len);
  return b;
}
inline Buf firmware_activate(uint8_t slot, uint32_t timeout = 30) {
  Buf b(68);
  srb_header(b, "FIRMWARE", timeout, 0x001B0780);
  b.u32(28, 1);
  b.u32(32, 24);
  b.u32(36, 3);
  b.u32(40, 1);
  b.u32(44, 56);
  b.u32(48, 12);
  b.u32(56, 1);
  b.u32(60, 12);
  b.u8(64, slot);
  return b;
}

// SCSI_PASS_THROUGH (64-bit layout); `ddir` 0 none, 1 out, 2 in.
inline Buf scsi_pass_through(const std::vector<uint8_t> &cdb, uint32_t data_len, int ddir, uint32_t timeout = 30,
                             const uint8_t *data = nullptr) {
  Buf b(88 + data_len);
  b.u16(0, 56);
  b.u8(6, static_cast<uint8_t>(cdb.size()));
  b.u8(7, 32);
  b.u8(8, ddir == 1 ? 0 : ddir == 2 ? 1 : 2);
  b.u32(12, ddir ? data_len : 0);
  b.u32(16, timeout);
  b.u64(24, ddir ? 88 : 0);
  b.u32(32, 56);
  b.bytes(36, cdb.data(), cdb.size());
  if (ddir == 1 && data) b.bytes(88, data, data_len);
  return b;
}

// ATA_PASS_THROUGH; registers as {feature, count, lba low, mid, high, device, command}.
struct AtaRegs {
  uint8_t feature = 0, count = 0, lba_low = 0, lba_mid = 0, lba_high = 0, device = 0, command = 0;
};
inline Buf ata_pass_through(uint16_t flags, const AtaRegs &cur, const AtaRegs *prev, uint32_t data_len,
                            uint32_t timeout = 30, const uint8_t *data = nullptr) {
  Buf b(48 + data_len);
  b.u16(0, 48);
  b.u16(2, flags);
  b.u32(8, data_len);
  b.u32(12, timeout);
  b.u64(24, 48);
  if (prev) {
    b.u8(32, prev->feature);
    b.u8(33, prev->count);
    b.u8(34, prev->lba_low);
    b.u8(35, prev->lba_mid);
    b.u8(36, prev->lba_high);
  }
  b.u8(40, cur.feature);
  b.u8(41, cur.count);
  b.u8(42, cur.lba_low);
  b.u8(43, cur.lba_mid);
  b.u8(44, cur.lba_high);
  b.u8(45, cur.device);
  b.u8(46, cur.command);
  if (data) b.bytes(48, data, data_len);
  return b;
}

// CSMI STP (ControlCode 25) of `regs` with `flags`, `data_len` bytes in, to the SATA drive at
// SAS address `address`.
inline Buf csmi_stp(const uint8_t address[8], uint32_t flags, const AtaRegs &regs, uint32_t data_len,
                    uint32_t timeout = 30) {
  Buf b(164 + data_len);
  srb_header(b, "CSMISAS\0", timeout, 25);
  b.bytes(32, address, 8);
  b.u8(44, 0x27);
  b.u8(45, 0x80);
  b.u8(46, regs.command);
  b.u8(47, regs.feature);
  b.u8(48, regs.lba_low);
  b.u8(49, regs.lba_mid);
  b.u8(50, regs.lba_high);
  b.u8(56, regs.count);
  b.u32(64, flags);
  b.u32(68, data_len);
  return b;
}

inline const std::vector<uint8_t> kSatIdentifyCdb = {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
inline const std::vector<uint8_t> kInquiryCdb = {0x12, 0x00, 0x00, 0x02, 0x00, 0x00};
inline const std::vector<uint8_t> kVpd80Cdb = {0x12, 0x01, 0x80, 0x10, 0x00, 0x00};

// ---- Fixture -------------------------------------------------------------------------------------

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::load_machine_json(storage_machine().dump());
  }
  // Leaks and contract violations fail the test through the suite's resource check.
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    sim::reset_machine();
  }

  HANDLE open(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << path;
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  // Violations a test provoked on purpose: returns how many and clears them.
  size_t take_violations() {
    const size_t n = sim::contract_violation_count();
    sim::contract_violations_clear();
    return n;
  }
  sim::TraceEntry last_trace() {
    auto t = sim::trace_entries();
    return t.empty() ? sim::TraceEntry{} : t.back();
  }
  // Adds a custom action on every request with `code` on `path`.
  int fault(const std::string &path, DWORD code, const std::string &name, uint64_t value = 0, uint64_t value2 = 0,
            sim::FaultCount count = sim::FaultCount::always()) {
    sim::FaultRule r;
    r.match.op = sim::FaultOp::ioctl;
    r.match.path = path;
    r.match.control_code = code;
    r.match.count = count;
    r.action = sim::FaultAction::custom_action(name, value, value2);
    return sim::add_fault(r);
  }

  std::vector<HANDLE> handles_;
};

}  // namespace simtest

// USB Attached SCSI bridges. "uas": an NVMe bridge that carries NVMe commands in three vendor
// CDBs (16 bytes, data length big-endian in bytes 10-13, Q = byte 3: 1 for an NVM command, D =
// byte 4: 1 data from the device, 2 to it, 0 none):
//   EAh 5Ah 80h  the 64-byte submission entry, to the device
//   EAh/EBh 5Ah 81h  the data phase (EAh to the device, EBh otherwise), its length the NVMe
//                transfer padded to 512 bytes; the NVMe command runs here
//   EBh 5Ah 82h  the 16-byte completion entry, from the device
// kept per handle, and the probe CDB E6h (NVMe opcode in byte 1, CNS in byte 3, the Identify data
// from the device), which answers "becoming ready" (CHECK CONDITION 02h/04h/01h) as often as the
// knob says first. INQUIRY and its serial page come from the drive; other CDBs, SAT among them,
// are refused. A bus reset on the adapter reaches the drive only when the knob says so.
// "uas_sat": the SAT bridge behind UAS, answering as the BOT bridge does.
//
// Knobs (uas): "becoming_ready": 0 (E6h answers before the first good one), "reset_reaches_drive":
// false.
#include <algorithm>
#include <cstring>
#include <map>

#include "sim/storage/helpers.h"
#include "storage_nvme_run.h"

namespace sim {
namespace {

constexpr uint8_t kOpProbe = 0xE6;
constexpr uint8_t kOpOut = 0xEA;
constexpr uint8_t kOpIn = 0xEB;
constexpr uint8_t kSignature = 0x5A;
constexpr uint8_t kPhaseCommand = 0x80, kPhaseData = 0x81, kPhaseCompletion = 0x82;

uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

ScsiResult invalid_field() { return check_condition_fixed(0x05, 0x24, 0x00); }
ScsiResult sequence_error() { return check_condition_fixed(0x05, 0x2C, 0x00); }

class UasNvmeDriver : public StorageDriver {
 public:
  const char *name() const override { return "uas"; }
  uint32_t bus_type() const override { return kBusUsb; }
  void configure(DriverConfig &config) override {
    becoming_ready_ = static_cast<uint32_t>(config.number("becoming_ready", 0xFFFF, 0));
    reset_reaches_drive_ = config.flag("reset_reaches_drive", false);
    std::lock_guard<std::mutex> g(lock_);
    probes_.clear();
    exchanges_.clear();
  }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override;
  void reset_lu(StorageLu &lu) override {
    if (reset_reaches_drive_ && lu.drive) lu.drive->bus_reset();
  }

 private:
  // One exchange in flight on a handle.
  struct Exchange {
    bool have_command = false, have_completion = false;
    uint8_t q = 0, d = 0;
    NvmeCommand cmd;
    NvmeCompletion completion;
  };
  ScsiResult probe(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, uint8_t *data, uint32_t data_len, int ddir);
  ScsiResult exchange(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                      uint32_t data_len, int ddir);
  static ScsiResult refuse(StorageRequest &r, const std::string &what, ScsiResult answer) {
    r.count_violation(what);
    return answer;
  }

  uint32_t becoming_ready_ = 0;
  bool reset_reaches_drive_ = false;
  std::mutex lock_;
  std::map<const StorageLu *, uint32_t> probes_;  // E6h answers given per unit
  std::map<HANDLE, Exchange> exchanges_;
};

ScsiResult UasNvmeDriver::execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len,
                                       uint8_t *data, uint32_t data_len, int ddir) {
  if (!lu.nvme) return inquiry_only(r, lu, cdb, cdb_len, data, data_len, ddir);
  if (cdb[0] == kOpProbe) return probe(r, lu, cdb, data, data_len, ddir);
  if ((cdb[0] == kOpOut || cdb[0] == kOpIn) && cdb_len == 16 && cdb[1] == kSignature)
    return exchange(r, lu, cdb, cdb_len, data, data_len, ddir);
  return inquiry_only(r, lu, cdb, cdb_len, data, data_len, ddir);
}

ScsiResult UasNvmeDriver::probe(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, uint8_t *data,
                                uint32_t data_len, int ddir) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (probes_[&lu]++ < becoming_ready_) return check_condition_fixed(0x02, 0x04, 0x01);
  }
  if (cdb[1] != 0x06 || ddir != kDirIn || data_len < 4096)
    return refuse(r, "bridge probe: opcode " + fault_key(cdb[1]) + " with " + std::to_string(data_len) + " bytes",
                  invalid_field());
  NvmeCommand cmd;
  cmd.cdw0 = 0x06;
  cmd.cdw10 = cdb[3];
  cmd.nsid = cdb[3] == 1 ? 0 : 1;
  const NvmeCompletion c = run_nvme_for(r, *lu.nvme, cmd, true, data, 4096);
  if (!c.ok()) return sense_for_nvme_status(c);
  ScsiResult res;
  res.data_transferred = 4096;
  return res;
}

ScsiResult UasNvmeDriver::exchange(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t, uint8_t *data,
                                   uint32_t data_len, int ddir) {
  const uint8_t phase = cdb[2], q = cdb[3], d = cdb[4];
  const uint32_t length = be32(cdb + 10);
  if (q > 1 || d > 2) return refuse(r, "bridge exchange Q/D " + std::to_string(q) + "/" + std::to_string(d), invalid_field());
  if (length != data_len)
    return refuse(r, "bridge CDB length " + std::to_string(length) + " for " + std::to_string(data_len) + " bytes",
                  invalid_field());
  std::lock_guard<std::mutex> g(lock_);
  Exchange &x = exchanges_[r.call.handle];
  ScsiResult res;
  switch (phase) {
    case kPhaseCommand: {
      x = Exchange{};
      if (cdb[0] != kOpOut || ddir != kDirOut || data_len != 64)
        return refuse(r, "bridge command phase of " + std::to_string(data_len) + " bytes", invalid_field());
      x.cmd = read_submission_entry(data);
      x.q = q;
      x.d = d;
      x.have_command = true;
      res.data_transferred = 64;
      return res;
    }
    case kPhaseData: {
      if (!x.have_command || x.have_completion) return refuse(r, "bridge data phase out of order", sequence_error());
      const int want = d == 1 ? kDirIn : d == 2 ? kDirOut : kDirNone;
      if (q != x.q || d != x.d || (cdb[0] == kOpOut) != (d == 2) || (data_len && ddir != want) ||
          data_len % 512 != 0 || (d == 0 && data_len != 0))
        return refuse(r, "bridge data phase " + fault_key(cdb[0]) + " Q/D " + std::to_string(q) + "/" +
                             std::to_string(d) + " of " + std::to_string(data_len) + " bytes",
                      invalid_field());
      r.note_data(data_len, want);
      x.completion = run_nvme_for(r, *lu.nvme, x.cmd, q == 0, data_len ? data : nullptr, data_len);
      x.have_completion = true;
      res.data_transferred = data_len;
      return res;
    }
    case kPhaseCompletion: {
      if (!x.have_completion) return refuse(r, "bridge completion phase without a command", sequence_error());
      if (cdb[0] != kOpIn || ddir != kDirIn || data_len != 16 || q != x.q || d != x.d)
        return refuse(r, "bridge completion phase of " + std::to_string(data_len) + " bytes", invalid_field());
      wire::put32(data, 0, x.completion.dw0);
      wire::put32(data, 4, x.completion.dw1);
      wire::put32(data, 8, x.completion.dw2);
      wire::put32(data, 12, x.completion.dw3);
      x = Exchange{};
      res.data_transferred = 16;
      return res;
    }
    default:
      return refuse(r, "bridge phase " + fault_key(phase), invalid_field());
  }
}

// The SAT bridge behind UAS answers as the BOT bridge.
class UasSatDriver : public StorageDriver {
 public:
  UasSatDriver() : bot_(make_usb_bot_driver()) {}
  const char *name() const override { return "uas_sat"; }
  uint32_t bus_type() const override { return kBusUsb; }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    return bot_->execute_scsi(r, lu, cdb, cdb_len, data, data_len, ddir);
  }

 private:
  std::shared_ptr<StorageDriver> bot_;
};

}  // namespace

std::shared_ptr<StorageDriver> make_uas_driver() { return std::make_shared<UasNvmeDriver>(); }
std::shared_ptr<StorageDriver> make_uas_sat_driver() { return std::make_shared<UasSatDriver>(); }

}  // namespace sim

// Simulated SCSI target: INQUIRY and VPD pages, WRITE BUFFER firmware download and activation,
// TEST UNIT READY, REQUEST SENSE, SEND / RECEIVE DIAGNOSTIC, unit attentions.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/drives/drive_common.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/vu_responder.h"

namespace sim {

// Fault rule for CDB-driven models (SCSI target and SAT device).
struct ScsiFaultRule {
  uint8_t opcode = 0;                 // CDB byte 0
  std::optional<uint8_t> byte1;       // match CDB byte 1 too (WRITE BUFFER mode, EVPD, SAT protocol byte)
  std::optional<uint8_t> byte2;       // match CDB byte 2 too (VPD page code)
  std::optional<uint8_t> ata_command; // SAT devices: match the COMMAND of an ATA PASS-THROUGH CDB
  FaultWhen when;
  // With `status` the command is not executed: the status is returned with sense
  // (key/asc/ascq, fixed 70h or descriptor 72h) when it is CHECK CONDITION.
  std::optional<uint8_t> status;
  uint8_t sense_key = 0x04, asc = 0x44, ascq = 0x00;
  bool descriptor = false;
  std::optional<uint32_t> sense_len;  // reported sense length (may exceed 32: the front-end clips)
  // SAT devices, with CHECK CONDITION: the translation layer refuses the command and still
  // attaches an ATA Status Return descriptor (descriptor sense) whose STATUS is this value, the
  // other registers 0. Nothing reaches the drive.
  std::optional<uint8_t> ata_status_return;
  std::optional<uint32_t> short_transfer;
  bool zero_data = false;
};

// The fault rules of one CDB-driven model.
class ScsiFaultSet {
 public:
  void add(const ScsiFaultRule &rule);
  void clear();
  // Counts the CDB against every rule; returns the first rule that fires, or nullptr.
  const ScsiFaultRule *match(const uint8_t *cdb, size_t cdb_len);
  // Runs `exec` (the command on a data buffer of the given length) under the rule's action:
  // a status answer without execution, a shortened transfer or all-zero data-in.
  static ScsiResult apply(const ScsiFaultRule *rule,
                          const std::function<ScsiResult(uint8_t *, uint32_t)> &exec, uint8_t *data,
                          uint32_t data_len, int ddir);

 private:
  std::vector<ScsiFaultRule> rules_;
  std::vector<uint32_t> hits_;
};

enum class Vpd80Mode {
  Normal,      // page length = serial length, serial from byte 4
  Short,       // page length shorter than the serial (half of it)
  ZeroLength,  // page length 0, no serial
  Absent,      // page not supported: 05/24/00
};

struct ScsiConfig {
  std::string vendor = "SIMVENDR";        // INQUIRY 8-15
  std::string product = "SIMSCSI MODEL1"; // INQUIRY 16-31
  std::string revision = "S001";          // INQUIRY 32-35
  std::string serial = "SIMSCSISERIAL0001";
  uint8_t peripheral_type = 0x00;
  bool write_buffer_supported = true;     // modes 0Eh / 0Fh
  uint32_t offset_boundary = 8192;        // 0Eh offsets must be multiples of this
  bool unit_attention_after_activation = true;  // 06/3F/01 after 0Fh
  bool unit_attention_after_power_on = false;   // 06/29/00 after power_cycle()
  bool inquiry_alloc_16bit = true;        // false: only CDB byte 4 is read
  Vpd80Mode vpd80 = Vpd80Mode::Normal;
  bool activation_never = false;          // 0Fh succeeds, the revision stays
  bool identity_fails_after_update = false;  // INQUIRY fails (04/44/00) once the revision changed
  bool corrupt_staging = false;
  std::vector<ScsiFaultRule> faults;
  // Vendor-unique responder (always level 5 here): SEND DIAGNOSTIC key, RECEIVE DIAGNOSTIC
  // pages F2h (phase status, then key page) and F4h (secure test), READ / WRITE BUFFER mode 01h,
  // VPD page ECh.
  std::optional<VuConfig> vu;
  DriveTiming timing;  // modelled command times (WRITE BUFFER 0Eh pieces, 0Fh activations, the rest)
};

class ScsiTarget {
 public:
  explicit ScsiTarget(ScsiConfig config = {});

  // A command that outlives its request's time-out (RequestTimeLimit) is aborted before it takes
  // effect (ABORTED COMMAND) by the reset that recovers the unit: counted as a bus reset, and the
  // next command but INQUIRY and REQUEST SENSE gets the unit attention 06/29/00 (power on, reset
  // or bus device reset occurred); downloaded segments stay.
  ScsiResult execute(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir);

  // Power-on reset: staged segments are discarded; 06/29/00 pending when the knob says so.
  void power_cycle();

  DriveIdentity identity() const;          // product, serial, INQUIRY revision (running)
  std::string running_revision() const;    // 4 characters
  size_t staged_bytes() const;
  bool unit_attention_pending() const;
  uint32_t command_count(uint8_t opcode) const;
  DriveCounters counters() const;
  // A bus reset reached the target (counted).
  void bus_reset();
  ScsiConfig config() const;       // the configuration as it stands (knobs included)

  void add_fault(const ScsiFaultRule &rule);
  void clear_faults();
  void set_unit_attention(uint8_t asc, uint8_t ascq);  // make a unit attention pending
  void set_identity_fails_after_update(bool on);
  void set_corrupt_staging(bool on);
  void set_activation_never(bool on);
  void set_vu_config(const VuConfig &vu);  // installs or replaces the responder (level 5)

 private:
  ScsiResult execute_locked(const uint8_t *cdb, size_t cdb_len, uint8_t *data, uint32_t data_len, int ddir);
  ScsiResult inquiry(const uint8_t *cdb, uint8_t *data, uint32_t data_len);
  ScsiResult write_buffer(const uint8_t *cdb, size_t cdb_len, const uint8_t *data, uint32_t data_len);

  mutable std::mutex mutex_;
  ScsiConfig cfg_;
  DriveCounters counters_;
  ScsiFaultSet faults_;
  std::string running_rev_;
  std::string running_product_;
  bool updated_ = false;
  std::vector<uint8_t> staging_;
  std::optional<std::pair<uint8_t, uint8_t>> unit_attention_;
  std::vector<uint8_t> last_sense_;
  std::vector<uint8_t> diag_page_;
  std::array<uint32_t, 256> counts_{};
  std::optional<VuResponder> vu_;
};

}  // namespace sim

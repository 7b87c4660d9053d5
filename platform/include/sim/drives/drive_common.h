// Types shared by the simulated drive models: SCSI results and sense data, fault rules, identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace sim {

// Data direction of a command: 0 none, 1 to the device, 2 from the device.
enum : int { kDirNone = 0, kDirOut = 1, kDirIn = 2 };

// SCSI status values the models produce.
enum : uint8_t {
  kScsiGood = 0x00,
  kScsiCheckCondition = 0x02,
  kScsiBusy = 0x08,
  kScsiReservationConflict = 0x18,
  kScsiTaskSetFull = 0x28,
};

// Outcome of one CDB: SCSI status, sense data (valid for sense_len bytes) and the bytes moved.
struct ScsiResult {
  uint8_t status = kScsiGood;
  uint8_t sense[32] = {};
  uint32_t sense_len = 0;
  uint32_t data_transferred = 0;
  // Set when the host broke the device's contract (for example a data buffer that disagrees with
  // the transfer the CDB announces); the front end in front of the model counts it.
  std::string contract_violation;

  // Sense key / ASC / ASCQ from fixed (70h/71h) or descriptor (72h/73h) sense; 0 when there is none.
  uint8_t sense_key() const;
  uint8_t asc() const;
  uint8_t ascq() const;
};

// Builds CHECK CONDITION with 18 bytes of fixed sense (70h, additional length 10).
ScsiResult check_condition_fixed(uint8_t key, uint8_t asc, uint8_t ascq);
// Builds CHECK CONDITION with 8 bytes of descriptor sense (72h, no descriptors).
ScsiResult check_condition_descriptor(uint8_t key, uint8_t asc, uint8_t ascq);

// Identity strings of a drive as its own interface reports them (untrimmed text, no padding).
struct DriveIdentity {
  std::string model;
  std::string serial;
  std::string firmware;  // NVMe FR / ATA words 23-26 (8 characters); SCSI: INQUIRY revision (4)
};

// Events a drive model has seen since it was made (for the machine-state output and tests).
struct DriveCounters {
  uint32_t activations = 0;   // new firmware started running (whether or not the revision changed)
  uint32_t bus_resets = 0;    // bus or controller resets that reached the drive
  uint32_t power_cycles = 0;
  uint64_t busy_ms = 0;       // machine time spent in modelled command times (DriveTiming)
  uint32_t timeouts = 0;      // commands that outlived their request's time-out (RequestTimeLimit)
};

// Modelled command times of a drive, in machine time (0: the command takes no time). The drive
// sleeps them before it acts, outside its own lock.
struct DriveTiming {
  uint32_t command_ms = 0;   // every command but the two kinds below
  uint32_t download_ms = 0;  // each firmware download piece (NVMe 11h, ATA 92h but 0Fh)
  uint32_t activate_ms = 0;  // each commit or activation (NVMe 10h, ATA 92h 0Fh)
};
// How a drive spends its modelled time: the machine installs its clock's sleep; without one the
// time is only counted.
void set_drive_sleep(void (*sleep)(uint32_t ms));
void drive_sleep(uint32_t ms);

// The time-out a port driver gives the request in progress on this thread: the drive commands the
// request carries may spend that much machine time together. A command that would run longer
// spends only what is left and runs out: the drive aborts it and recovers as each model says (its
// reset after a time-out); any later command of the same request is aborted at once, without time.
// A front-end installs one around a request that carries a time-out; without one, and with a
// limit of 0 (no bound), commands take their full time. Limits nest (the innermost counts).
enum class CommandTime {
  InTime,  // the command ran its time
  RanOut,  // the command ran out of the request's time: abort it and recover
  Aborted  // an earlier command of the request ran out: abort this one
};

class RequestTimeLimit {
 public:
  explicit RequestTimeLimit(uint64_t limit_ms);
  ~RequestTimeLimit();
  RequestTimeLimit(const RequestTimeLimit &) = delete;
  RequestTimeLimit &operator=(const RequestTimeLimit &) = delete;
  // Whether a command of the request ran out of time.
  bool expired() const { return expired_; }

  // Spends `ms` of a command's modelled time under the limit of the calling thread, if any.
  // Returns the time spent; *outcome tells how the command stands.
  static uint32_t spend(uint32_t ms, CommandTime *outcome);

 private:
  RequestTimeLimit *outer_;
  uint64_t left_ms_;
  bool bounded_;
  bool expired_ = false;
};

// Spends a command's modelled time (outside the drive's lock) and adds it to the drive's counters,
// with the command that ran out of time.
template <class Mutex>
CommandTime spend_drive_time(uint32_t ms, Mutex &mutex, DriveCounters &counters) {
  CommandTime outcome = CommandTime::InTime;
  const uint32_t spent = RequestTimeLimit::spend(ms, &outcome);
  if (spent == 0 && outcome != CommandTime::RanOut) return outcome;
  std::lock_guard<Mutex> lock(mutex);
  counters.busy_ms += spent;
  if (outcome == CommandTime::RanOut) ++counters.timeouts;
  return outcome;
}

// When a fault rule fires: on matching commands number first, first+1, ..., first+times-1
// (1-based, counted per rule over the commands that match it). times 0 = from `first` on, forever.
struct FaultWhen {
  uint32_t first = 1;
  uint32_t times = 1;
};

// Copies `text` into `dst` padded with blanks to `width` (truncated when longer).
void put_padded(uint8_t *dst, size_t width, const std::string &text);
// Same, as an ATA string: the two bytes of every 16-bit word swapped.
void put_ata_string(uint8_t *dst, size_t width, const std::string &text);
// Trailing blanks and NULs removed, leading blanks removed.
std::string trim_text(const std::string &text);

}  // namespace sim

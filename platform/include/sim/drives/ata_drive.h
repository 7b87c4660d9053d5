// Simulated ATA drive: IDENTIFY DEVICE, READ LOG EXT (IDENTIFY DEVICE DATA log), DOWNLOAD MICROCODE,
// SMART and the vendor-unique responder.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/drives/drive_common.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/vu_responder.h"

namespace sim {

// Protocol of a command's data phase: PIO or DMA.
enum class AtaProtocol : uint8_t {
  unstated,  // not said (requests a driver builds itself), or no data phase
  pio,
  dma,
};

// The protocol the ATA command set gives the data phase of a command (the SMART subcommand in
// FEATURE bits 7:0); unstated for non-data commands and those the standard does not list.
AtaProtocol ata_data_protocol(uint8_t command, uint8_t feature);

// Task file as the host loads it. 28-bit commands use lba bits 27:0 (device bits 3:0 are not
// consulted); `is_ext` only matters for the command set itself.
struct AtaTaskfile {
  uint16_t feature = 0;
  uint16_t count = 0;
  uint64_t lba = 0;
  uint8_t device = 0;
  uint8_t command = 0;
  bool is_ext = false;
  int ddir = kDirNone;  // informational; the command decides the direction
  // The protocol the transport set the data phase up for (ATA_PASS_THROUGH's DMA flag, the CSMI
  // STP flags, the SAT PROTOCOL field). A command that moves data in the other protocol than its
  // own is aborted; unstated is never judged.
  AtaProtocol protocol = AtaProtocol::unstated;
};

// Registers after the command, and the bytes moved.
struct AtaResult {
  uint8_t status = 0x50;
  uint8_t error = 0;
  uint16_t count = 0;
  uint64_t lba = 0;
  uint8_t device = 0;
  uint32_t data_transferred = 0;
  bool err() const { return (status & 0x01) != 0; }
};

enum : uint8_t {
  kAtaStatusOk = 0x50,
  kAtaStatusErr = 0x51,
  kAtaErrorAbort = 0x04,
};

// DOWNLOAD MICROCODE COUNT output.
enum : uint16_t {
  kDmNoData = 0x00,
  kDmMoreData = 0x01,
  kDmApplied = 0x02,
  kDmSavedDeferred = 0x03,
};

enum class AtaLogPage3 {
  Present,      // qword at byte 16 with bit 63 set
  Missing,      // READ LOG EXT of 30h/03h aborts
  InvalidBit63  // present, bit 63 clear
};

struct AtaFaultRule {
  uint8_t command = 0;
  std::optional<uint8_t> feature;  // match FEATURE bits 7:0 too (DOWNLOAD MICROCODE mode, SMART subcommand)
  FaultWhen when;
  // With `status` the command is not executed; the registers are STATUS/ERROR as given.
  std::optional<uint8_t> status;
  uint8_t error = kAtaErrorAbort;
  std::optional<uint32_t> short_transfer;
  bool zero_data = false;
};

struct AtaConfig {
  std::string model = "SIMATA MODEL 1";
  std::string serial = "SIMATASERIAL0001";
  std::string firmware = "SIMFW001";

  // Download microcode capabilities (log 30h page 03h, qword at byte 16).
  AtaLogPage3 log_page3 = AtaLogPage3::Present;
  bool mode3_supported = true;    // bit 32
  bool mode7_supported = true;    // bit 33
  bool modeE_supported = true;    // bit 34 (0Eh and 0Fh)
  uint16_t log_min_blocks = 0;    // bits 15:0
  uint16_t log_max_blocks = 0;    // bits 31:16
  uint16_t word234_min_blocks = 0;
  uint16_t word235_max_blocks = 0;
  // Which minimum/maximum the drive enforces: the log's when present, else the words.
  // 0 and FFFFh mean "not indicated" and are not enforced.

  bool activation_needs_power_cycle = false;  // mode 03h/07h: IDENTIFY keeps the old revision
  bool activation_never = false;              // nothing ever takes effect
  std::string component_id;                   // words 137-140 as an ATA string (8 characters)
  uint16_t word141 = 0;                       // vendor-unique support (4001h / 8001h)
  uint16_t word142 = 0;                       // vendor-unique level
  // Vendor-unique responder. When present, word 142 reports its level (unless word142 is set)
  // and word 141 4001h (unless word141 is set); 80h, SMART logs BDh/BEh/BFh and, at level 5,
  // READ LOG DMA EXT BCh are answered.
  std::optional<VuConfig> vu;
  bool identify_checksum = true;              // word 255: signature A5h and checksum

  // Faults.
  bool identify_fails = false;
  DriveTiming timing;  // modelled command times
  bool identity_fails_after_update = false;   // IDENTIFY aborts once the running firmware changed
  bool corrupt_staging = false;
  std::vector<AtaFaultRule> faults;
};

class AtaDrive {
 public:
  explicit AtaDrive(AtaConfig config = {});

  // One command. For data-out commands `data` holds the bytes sent; for data-in ones it receives.
  // A command that outlives its request's time-out (RequestTimeLimit) is aborted before it takes
  // effect (51h/04h) by the reset that recovers the port, which the drive counts as a bus reset;
  // segments, a saved image and the vendor-unique mode stay as they were.
  AtaResult execute(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len);

  // Power-on reset: an image waiting for a power cycle (03h/07h with that knob) and a complete 0Eh
  // image not yet activated by 0Fh take effect; staged segments of an incomplete image are
  // discarded; vendor-unique mode off.
  void power_cycle();

  DriveIdentity identity() const;  // running model, serial, firmware
  std::string running_revision() const;
  bool deferred_pending() const;   // 0Eh image saved, waiting for 0Fh (or power cycle)
  size_t staged_bytes() const;
  std::vector<uint8_t> staged_image() const;
  // IDENTIFY DEVICE data as the drive would return it now.
  std::array<uint8_t, 512> identify_data() const;
  uint32_t command_count(uint8_t command) const;
  DriveCounters counters() const;
  // Revision of an image saved and waiting (0Fh or a power cycle); "" none.
  std::string pending_revision() const;
  // A bus reset reached the drive (counted; it is not a power-on reset).
  void bus_reset();
  AtaConfig config() const;        // the configuration as it stands (knobs included)

  void add_fault(const AtaFaultRule &rule);
  void clear_faults();
  void set_activation_needs_power_cycle(bool on);
  void set_identity_fails_after_update(bool on);
  void set_corrupt_staging(bool on);
  void set_vu_config(const VuConfig &vu);        // installs or replaces the responder
  std::vector<uint8_t> vu_data_out() const;      // blocks received by "data out"
  bool vu_enabled() const;                       // level-4 mode on

 private:
  AtaResult vendor_unique(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len);
  AtaResult execute_locked(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len);
  AtaResult download(const AtaTaskfile &tf, const uint8_t *data, uint32_t data_len);
  AtaResult read_log(const AtaTaskfile &tf, uint8_t *data, uint32_t data_len);
  void build_identify(uint8_t *out) const;
  void activate(const ImageInfo &info);
  void discard_staging();
  uint16_t min_blocks() const;  // 0 = none
  uint16_t max_blocks() const;  // 0 = none

  mutable std::mutex mutex_;
  AtaConfig cfg_;
  DriveCounters counters_;
  std::string running_fw_;
  std::string running_model_;
  bool updated_ = false;
  std::vector<uint8_t> staging_;
  uint8_t staging_mode_ = 0;          // mode of the segments in staging (03h or 0Eh), 0 none
  uint32_t next_block_ = 0;           // expected next block offset
  std::optional<ImageInfo> deferred_; // saved by 0Eh, waiting for 0Fh or a power cycle
  std::optional<ImageInfo> at_power_cycle_;  // saved, activates at the next power cycle
  std::array<uint32_t, 256> counts_{};
  std::vector<uint32_t> fault_hits_;
  std::optional<VuResponder> vu_;
};

}  // namespace sim

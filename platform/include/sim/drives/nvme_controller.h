// Simulated NVMe controller: admin and I/O commands, firmware slots, download, commit and activation.
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

namespace sim {

// Submission entry as far as the models read it. cdw0 bits 7:0 = opcode.
struct NvmeCommand {
  uint32_t cdw0 = 0;
  uint32_t nsid = 0;
  uint32_t cdw10 = 0, cdw11 = 0, cdw12 = 0, cdw13 = 0, cdw14 = 0, cdw15 = 0;
  uint8_t opcode() const { return static_cast<uint8_t>(cdw0 & 0xFF); }
};

// Completion entry. dw3 bits 31:16 = status field: SC bits 24:17, SCT bits 27:25 (phase bit 16 = 0).
// `data_transferred` is not part of the entry: the bytes the controller moved.
struct NvmeCompletion {
  uint32_t dw0 = 0, dw1 = 0, dw2 = 0, dw3 = 0;
  uint32_t data_transferred = 0;
  uint8_t sct() const { return static_cast<uint8_t>((dw3 >> 25) & 7); }
  uint8_t sc() const { return static_cast<uint8_t>((dw3 >> 17) & 0xFF); }
  uint16_t status() const { return static_cast<uint16_t>(sct() << 8 | sc()); }  // SCT<<8 | SC
  bool ok() const { return sct() == 0 && sc() == 0; }
};

// Status values (SCT << 8 | SC).
enum : uint16_t {
  kNvmeSuccess = 0x0000,
  kNvmeInvalidOpcode = 0x0001,
  kNvmeInvalidField = 0x0002,
  kNvmeInternalError = 0x0006,
  kNvmeAbortRequested = 0x0007,
  kNvmeInvalidNamespace = 0x000B,
  kNvmeCommandSequenceError = 0x000C,
  kNvmeFeatureNotSaveable = 0x000D,
  kNvmeInvalidFirmwareSlot = 0x0106,
  kNvmeInvalidFirmwareImage = 0x0107,
  kNvmeInvalidLogPage = 0x0109,
  kNvmeActivationNeedsConventionalReset = 0x010B,
  kNvmeActivationNeedsSubsystemReset = 0x0110,
  kNvmeActivationNeedsControllerReset = 0x0111,
  kNvmeActivationProhibited = 0x0113,
  kNvmeOverlappingRange = 0x0114,
};
NvmeCompletion nvme_status(uint16_t sct_sc, uint32_t dw0 = 0);

// When an image committed with an action that activates later takes effect.
enum class NvmeActivation {
  AtCommit,      // CA 1 / CA 2 activate at once (as if the controller reset itself)
  AtReset,       // at the next controller reset (the standard behaviour)
  AtPowerCycle,  // only at a power cycle; a controller reset leaves it pending
  Never,         // never (the commit succeeds, the running firmware stays)
};

// Fault rule: matches admin commands by opcode (and optionally the low byte of CDW10: CNS,
// LID or FID); the action replaces or alters the answer.
struct NvmeFaultRule {
  uint8_t opcode = 0;
  std::optional<uint8_t> cdw10_low;  // match CDW10 bits 7:0 too
  FaultWhen when;
  // Actions. With `status` the command is not executed (unless `after`); dw0 is set as given.
  std::optional<uint16_t> status;    // SCT<<8 | SC
  bool after = false;                // the command is executed, then answered with `status`
  std::optional<uint32_t> dw0;       // completion DW0 (applied also on success)
  std::optional<uint32_t> short_transfer;  // move at most this many bytes (rest untouched)
  bool zero_data = false;            // data-in answered with zeros
};

struct NvmeConfig {
  std::string model = "SIMNVME MODEL 1";
  std::string serial = "SIMNVMESERIAL0001";
  std::string firmware = "SIMFW001";
  uint16_t pci_vendor_id = 0xABCD;
  uint16_t pci_subsystem_vendor_id = 0xABCD;
  bool namespace_present = true;
  uint64_t namespace_blocks = 0x100000;  // NSZE = NCAP = NUSE
  uint8_t lba_data_size_shift = 9;       // LBADS of format 0

  // Firmware updates (FRMW, byte 260).
  bool slot1_read_only = false;
  uint8_t slot_count = 2;                // 1..7
  bool activation_without_reset = false; // FRMW bit 4: CA 3 supported
  uint16_t ca3_refusal_status = kNvmeActivationNeedsConventionalReset;  // 010Bh, 0110h or 0111h
  uint8_t fwug = 0;                      // byte 319
  // MDTS (byte 77): the most a command moves, 2^mdts memory pages of 4 KiB (the controller's
  // minimum page size, which the drivers use); 0 no limit. A command that would move more is
  // aborted with Invalid Field in Command.
  uint8_t mdts = 5;
  bool enforce_granularity = true;       // NUMD/OFST multiples of FWUG x 4 KiB (1..FEh)
  NvmeActivation activation = NvmeActivation::AtReset;
  uint8_t active_slot = 1;               // slot running at power-on
  std::array<std::string, 7> slot_revisions{};  // empty: slot holds the running FR (active) or nothing

  // Autonomous power state transitions.
  bool apsta = true;                     // byte 265 bit 0
  bool apste = false;                    // feature 0Ch DW0 bit 0
  std::array<uint8_t, 256> apst_table{};  // power-on table ("apst_table": 8-byte entries, LE)

  // Component id (Identify Controller bytes 3126-3133), 8 bytes as stored; default 8 blanks.
  std::array<uint8_t, 8> component_id{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

  // Vendor-specific opcodes the Commands Supported and Effects log lists (admin C0h-FFh, NVM
  // 80h-FFh); the in-box driver's protocol command passes only these.
  std::vector<uint8_t> vendor_admin_commands;
  std::vector<uint8_t> vendor_nvm_commands;

  // Faults.
  bool identify_fails = false;           // Identify (any CNS) answers 0/06h
  DriveTiming timing;                    // modelled command times
  bool identity_fails_after_update = false;  // Identify fails once the running firmware changed
  bool corrupt_staging = false;          // a byte of every staged image is flipped on arrival
  std::vector<NvmeFaultRule> faults;
};

class NvmeController;

// Handler for opcodes the controller does not know (vendor-unique commands). It runs with the
// controller's lock held by the calling thread (the lock is recursive, so the handler may call the
// controller's accessors) and answers like admin() / io(); `admin` tells the queue.
using NvmeVendorHandler = std::function<NvmeCompletion(NvmeController &controller, const NvmeCommand &cmd,
                                                        bool admin, uint8_t *data, uint32_t data_len)>;

class NvmeController {
 public:
  explicit NvmeController(NvmeConfig config = {});

  // Admin command. `data` holds `data_len` bytes for commands with data (either direction).
  // One that outlives its request's time-out (RequestTimeLimit) is aborted before it takes effect
  // (0/07h, abort requested), and the host's recovery resets the controller (controller_reset).
  NvmeCompletion admin(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);
  // I/O command (Flush, Read with zero data, Write, Dataset Management); others 0/01h.
  NvmeCompletion io(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);

  // Controller reset: pending activation (CA 1/2, or CA 3 refused) takes effect unless the
  // activation knob says power cycle or never; staging is discarded.
  void controller_reset();
  // Power cycle: everything pending takes effect (unless never); staging is discarded.
  void power_cycle();

  // State.
  DriveIdentity identity() const;      // running MN, SN, FR
  std::string running_revision() const;
  uint8_t active_slot() const;
  uint8_t pending_slot() const;        // slot activated at the next reset, 0 none
  std::string slot_revision(uint8_t slot) const;  // 1..slot_count; empty when the slot holds nothing
  size_t staged_bytes() const;         // bytes accumulated by Firmware Image Download
  std::vector<uint8_t> staged_image() const;
  bool apste() const;
  // The most one command may move (MDTS in bytes); 0 no limit.
  uint64_t max_transfer_bytes() const;
  NvmeActivation activation() const;
  NvmeConfig config() const;           // the configuration as it stands (knobs included)
  std::array<uint8_t, 256> apst_table() const;
  // Set Features APST commands that asked to save the setting (CDW10 bit 31). APST is changeable
  // but not saveable here (Get Features SEL 3 says so), so each of them was refused with 0/0Dh.
  uint32_t apst_save_requests() const;
  uint32_t command_count(uint8_t opcode) const;  // admin commands received, per opcode
  DriveCounters counters() const;
  std::string pending_revision() const;  // revision in the slot activated at the next reset; "" none

  // Installs (or, with an empty function, removes) the handler for unknown opcodes; without one
  // they answer Invalid Command Opcode.
  void set_vendor_handler(NvmeVendorHandler handler);
  // The Commands Supported and Effects log (05h): whether it lists the opcode for the queue (the
  // commands the controller runs itself and the configured vendor-specific ones).
  bool command_supported(bool admin, uint8_t opcode) const;
  // Lists a vendor-specific opcode in that log from now on.
  void list_vendor_command(bool admin, uint8_t opcode);

  // Knobs changeable after construction.
  void set_activation(NvmeActivation activation);
  void add_fault(const NvmeFaultRule &rule);
  void clear_faults();
  void set_identity_fails_after_update(bool on);
  void set_corrupt_staging(bool on);
  void set_component_id(const std::array<uint8_t, 8> &id);

 private:
  struct Slot {
    bool filled = false;
    std::string revision;  // 8 characters, blank padded
    std::string model;     // 40 characters, blank padded
  };
  NvmeCompletion admin_locked(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);
  NvmeCompletion identify(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);
  NvmeCompletion get_log_page(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);
  NvmeCompletion image_download(const NvmeCommand &cmd, const uint8_t *data, uint32_t data_len);
  NvmeCompletion commit(const NvmeCommand &cmd);
  NvmeCompletion get_features(const NvmeCommand &cmd, uint8_t *data, uint32_t data_len);
  NvmeCompletion set_features(const NvmeCommand &cmd, const uint8_t *data, uint32_t data_len);
  void activate_slot(uint8_t slot);
  void apply_pending(bool power_cycle);
  void build_identify_controller(uint8_t *out) const;
  bool granular(uint32_t bytes) const;
  bool beyond_mdts(const NvmeCommand &cmd, bool admin, const uint8_t *data, uint32_t data_len) const;

  mutable std::recursive_mutex mutex_;
  NvmeConfig cfg_;
  NvmeVendorHandler vendor_;
  DriveCounters counters_;
  std::array<Slot, 8> slots_{};  // index 1..7
  uint8_t active_slot_ = 1;
  uint8_t pending_slot_ = 0;     // activated at the next reset (AFI bits 6:4)
  bool pending_is_ca3_ = false;  // pending because CA 3 was refused (also taken by a reset)
  std::string running_fr_;       // 8 characters
  std::string running_model_;    // 40 characters
  bool updated_ = false;         // the running firmware changed since power-on
  std::vector<uint8_t> staging_;
  std::array<uint32_t, 256> counts_{};
  std::vector<uint32_t> fault_hits_;
  bool apste_ = false;
  std::array<uint8_t, 256> apst_table_{};
  uint32_t apst_save_requests_ = 0;
};

}  // namespace sim

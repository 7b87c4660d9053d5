// Vendor-unique command responder: key sector, phase status, streamed answer blocks.
// Used by the ATA drive (SMART logs BDh/BEh/BFh, enabled by command 80h at level 4, or by the
// 70/1 key at level 5) and by the SCSI target (SEND / RECEIVE DIAGNOSTIC, READ / WRITE BUFFER).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/drives/fw_image.h"

namespace sim {

struct VuConfig {
  uint16_t level = 4;                 // IDENTIFY word 142 (4 or 5; others: no responder)
  // The drive's own access codes, written here and not taken from the host's headers, so that a
  // wrong value on the host side is refused.
  uint32_t access_code = 0x5A3C71;    // level 4: LBA of 80h enable / disable
  uint16_t level5_access[3] = {0x4F52, 0x4255, 0x0005};  // level 5: u16 at key bytes 258/260/262
  // 0100h or 0200h (anything else for negative tests). A key that fails (principal GEC not 0) is
  // answered with 0100h whatever this says: 0200h carries no error codes.
  uint16_t status_version = 0x0100;
  uint32_t principal_gec = 0;         // GECs reported for every key
  uint32_t supplemental_gec = 0;
  // VSC-ID record (key 13/1).
  std::string ctl = "CTL00001", srv = "SRV00001", ovl = "OVL001";
  uint8_t legacy_family_id = 254;     // 254: use family_id
  uint16_t family_id = 0x0042;
  uint16_t global_product_id = 0x0101;
  uint32_t vscid_answer_bytes = 512;  // record length (rounded up to blocks); < 368 for too-short tests
  uint16_t security_level = 0;        // key 159/8 answer: u16 at byte 4
  uint16_t key_page_flags = 0;        // key page bytes 288-289 (AND 6000h: secure drive)
  uint16_t secure_test_value = 0;     // level-5 secure test page: split over u16 @2 + u16 @6
  // Answers for other keys, by (action, function, word 2) first, then by (action, function);
  // an unknown key gives principal GEC 1. Without an entry here the pieces of the diagnostic
  // super binary are answered too: 86/19 (2 blocks), 113/1 (1), 76/1/45 (1), 76/1/C044h (3),
  // 126/2 (2), 76/1/C03Ah (1). Every block of those answers starts with the key's words 0, 1
  // and 2 and the block's index (u16 each), then a filler byte derived from them.
  std::map<std::tuple<uint16_t, uint16_t, uint16_t>, std::vector<uint8_t>> answers_by_param;
  std::map<std::pair<uint16_t, uint16_t>, std::vector<uint8_t>> answers;
  // SCT super binary (ATA, no enable): WRITE LOG DMA EXT E0h with the request words starts it;
  // READ LOG DMA EXT E1h then streams it a block at a time, header first (block count u16 @40).
  // Empty: a header announcing 3 blocks and two pattern blocks.
  std::vector<uint8_t> sct_binary;
  // Block count reported in the status and the key page instead of the real one (huge counts).
  std::optional<uint32_t> reported_blocks;
  // Byte count reported by a version-0200h status instead of the real one.
  std::optional<uint32_t> reported_bytes;
};

class VuResponder {
 public:
  explicit VuResponder(VuConfig config = {});

  const VuConfig &config() const { return cfg_; }
  VuConfig &config() { return cfg_; }

  // Level 4 enable / disable (ATA 80h); false: refused.
  bool enable(uint32_t access_code);
  void disable();
  bool enabled() const { return mode_; }
  // Power-on reset: modes off, answer dropped.
  void reset();
  // True when key and log traffic is accepted (level 4: enabled; level 5: always).
  bool accepts_logs() const;

  // Stores and runs a 512-byte key; false when not accepted (level 4 without enable).
  bool send_key(const uint8_t *key, uint32_t len);
  void phase_status(uint8_t *out512) const;
  void key_page(uint8_t *out512) const;
  // Next `blocks` answer blocks (zeros past the end); advances the cursor.
  void read_answer(uint8_t *out, uint32_t blocks);
  void write_data(const uint8_t *in, uint32_t blocks);
  // Level-5 secure test page (1024 bytes).
  void secure_test_page(uint8_t *out1024) const;
  // SCT super binary: the request sector (false: not a request this responder knows), then the
  // next block of the binary (false: nothing started or past the end).
  bool sct_request(const uint8_t *sector512);
  bool sct_read(uint8_t *out512);

  // The running firmware changed: ctl / srv / ovl and the product id follow the image.
  void on_activation(const ImageInfo &info);

  uint32_t answer_blocks() const;
  uint32_t cursor() const { return cursor_; }
  const std::vector<uint8_t> &data_out() const { return data_out_; }

 private:
  std::vector<uint8_t> vscid_record() const;

  VuConfig cfg_;
  bool mode_ = false;
  bool level5_on_ = false;
  std::vector<uint8_t> key_ = std::vector<uint8_t>(512, 0);
  std::vector<uint8_t> answer_;
  uint32_t answer_len_ = 0;  // the answer's length before it was padded to whole blocks
  uint32_t principal_ = 0, supplemental_ = 0;
  uint32_t cursor_ = 0;
  std::vector<uint8_t> data_out_;
  std::vector<uint8_t> sct_;
  uint32_t sct_cursor_ = 0;
};

}  // namespace sim

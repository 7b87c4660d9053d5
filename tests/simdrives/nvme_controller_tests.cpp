#include <gtest/gtest.h>

#include "drive_test_util.h"
#include "sim/drives/nvme_controller.h"

using namespace sim;
using namespace drivetest;

namespace {

NvmeConfig base_config() {
  NvmeConfig c;
  c.model = "FALCORA N100";
  c.serial = "NV0000000042";
  c.firmware = "FWA00001";
  c.slot_count = 3;
  return c;
}

std::vector<uint8_t> nvme_image(const std::string &rev, uint32_t size = 20000) {
  return make_test_image(ImageTarget::Nvme, rev, size);
}

std::vector<uint8_t> identify_controller(NvmeController &ctl, NvmeCompletion *cpl = nullptr) {
  std::vector<uint8_t> buf(4096, 0xEE);
  NvmeCompletion c = ctl.admin(nvme_cmd(0x06, 0, 1), buf.data(), 4096);
  if (cpl) *cpl = c;
  return buf;
}

std::vector<uint8_t> slot_log(NvmeController &ctl) {
  std::vector<uint8_t> buf(512, 0xEE);
  NvmeCompletion c = ctl.admin(nvme_cmd(0x02, 0, 0x007F0003), buf.data(), 512);
  EXPECT_TRUE(c.ok());
  return buf;
}

}  // namespace

// --- Identify ----------------------------------------------------------------------------------

// Identity, slot and APST fields are read back by the command-set tests; these are not.
TEST(NvmeIdentify, ActivationWithoutResetAndComponentId) {
  NvmeConfig cfg = base_config();
  cfg.activation_without_reset = true;
  cfg.component_id = {'D', 'C', 'I', 'D', '0', '1', ' ', ' '};
  NvmeController ctl(cfg);
  NvmeCompletion cpl;
  const std::vector<uint8_t> id = identify_controller(ctl, &cpl);
  ASSERT_TRUE(cpl.ok());
  EXPECT_EQ(cpl.data_transferred, 4096u);
  EXPECT_EQ(id[260], (3 << 1) | 0x10);
  EXPECT_EQ(text_at(id.data() + 3126, 8), "DCID01  ");
  EXPECT_EQ(id[3125], 0);
  EXPECT_EQ(id[3134], 0);
}

TEST(NvmeIdentify, ShortBufferAndFailures) {
  NvmeController ctl(base_config());
  std::vector<uint8_t> buf(64, 0);
  NvmeCompletion c = ctl.admin(nvme_cmd(0x06, 0, 1), buf.data(), 64);
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.data_transferred, 64u);
  EXPECT_EQ(text_at(buf.data() + 24, 12), "FALCORA N100");

  EXPECT_EQ(ctl.admin(nvme_cmd(0x06, 0, 0x17), buf.data(), 64).status(), kNvmeInvalidField);

  NvmeController broken(with(base_config(), [&](auto &c) { c.identify_fails = true; }));
  EXPECT_FALSE(broken.admin(nvme_cmd(0x06, 0, 1), buf.data(), 64).ok());
}

TEST(NvmeIdentify, OnlyNamespaceOneExists) {
  NvmeConfig cfg = base_config();
  NvmeController ctl(cfg);
  std::vector<uint8_t> ns(4096, 0xEE);
  EXPECT_EQ(ctl.admin(nvme_cmd(0x06, 2, 0), ns.data(), 4096).status(), kNvmeInvalidNamespace);
  cfg.namespace_present = false;
  NvmeController bare(cfg);
  EXPECT_EQ(bare.admin(nvme_cmd(0x06, 1, 0), ns.data(), 4096).status(), kNvmeInvalidNamespace);
}

// --- Firmware Slot Information log --------------------------------------------------------------

TEST(NvmeSlotLog, ActiveSlotAndRevisions) {
  NvmeConfig cfg = base_config();
  cfg.slot_count = 7;
  cfg.active_slot = 2;
  cfg.slot_revisions[0] = "FACTORY1";
  NvmeController ctl(cfg);
  const std::vector<uint8_t> log = slot_log(ctl);
  EXPECT_EQ(log[0], 0x02);
  EXPECT_EQ(text_at(log.data() + 8, 8), "FACTORY1");
  EXPECT_EQ(text_at(log.data() + 16, 8), "FWA00001");
  for (int n = 3; n <= 7; ++n) EXPECT_EQ(log[8 * n], 0) << n;
}

TEST(NvmeSlotLog, LengthFromNumdAndUnknownLog) {
  NvmeController ctl(base_config());
  std::vector<uint8_t> buf(512, 0xEE);
  // NUMDL 3: 16 bytes.
  NvmeCompletion c = ctl.admin(nvme_cmd(0x02, 0, 0x00030003), buf.data(), 512);
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.data_transferred, 16u);
  EXPECT_EQ(text_at(buf.data() + 8, 8), "FWA00001");
  EXPECT_EQ(buf[16], 0xEE);
  EXPECT_EQ(ctl.admin(nvme_cmd(0x02, 0, 0x007F00C7), buf.data(), 512).status(), kNvmeInvalidLogPage);
}

// --- Slot rules of Firmware Commit ----------------------------------------------------------------

TEST(NvmeCommitSlots, ReadOnlySlotOneRefusesReplacingActions) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.slot1_read_only = true; }));
  const std::vector<uint8_t> img = nvme_image("FWB00002");
  for (uint8_t ca : {0, 1, 3}) {
    ASSERT_TRUE(nvme_download(ctl, img).ok());
    EXPECT_EQ(nvme_commit(ctl, 1, ca).status(), kNvmeInvalidFirmwareSlot) << int(ca);
    EXPECT_EQ(ctl.staged_bytes(), 0u);  // every commit clears staging
  }
  // Activating the image already in slot 1 is allowed.
  EXPECT_TRUE(nvme_commit(ctl, 1, 2).ok());
  // Slot 2 takes the image.
  ASSERT_TRUE(nvme_download(ctl, img).ok());
  EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok());
  EXPECT_EQ(ctl.slot_revision(2), "FWB00002");
}

TEST(NvmeCommitSlots, SlotBeyondCountAndEmptySlot) {
  NvmeController ctl(base_config());  // 3 slots
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  EXPECT_EQ(nvme_commit(ctl, 4, 1).status(), kNvmeInvalidFirmwareSlot);
  EXPECT_EQ(nvme_commit(ctl, 3, 2).status(), kNvmeInvalidFirmwareImage);  // nothing in slot 3
}

TEST(NvmeCommitSlots, SlotZeroLetsTheControllerChoose) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.slot1_read_only = true; }));
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  ASSERT_TRUE(nvme_commit(ctl, 0, 1).ok());
  EXPECT_EQ(ctl.slot_revision(2), "FWB00002");
  EXPECT_EQ(ctl.pending_slot(), 2);
}

TEST(NvmeCommitSlots, BootPartitionAndUnknownActionsRefused) {
  NvmeController ctl(base_config());
  EXPECT_EQ(ctl.admin(nvme_cmd(0x10, 0, 0x80000009u), nullptr, 0).status(), kNvmeInvalidField);
  EXPECT_EQ(nvme_commit(ctl, 2, 5).status(), kNvmeInvalidField);
}

// --- Commit actions and activation --------------------------------------------------------------

TEST(NvmeActivationTiming, ActivationNeverTakesEffect) {
  NvmeConfig cfg = base_config();
  cfg.activation = NvmeActivation::Never;
  cfg.activation_without_reset = true;
  NvmeController ctl(cfg);
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  ASSERT_TRUE(nvme_commit(ctl, 2, 1).ok());
  ctl.controller_reset();
  ctl.power_cycle();
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWC00003")).ok());
  EXPECT_TRUE(nvme_commit(ctl, 3, 3).ok());
  EXPECT_EQ(ctl.running_revision(), "FWA00001");
}

TEST(NvmeActivationTiming, CommitAction3WithActivationWithoutReset) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.activation_without_reset = true; }));
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  ASSERT_TRUE(nvme_commit(ctl, 2, 3).ok());
  EXPECT_EQ(text_at(identify_controller(ctl).data() + 64, 8), "FWB00002");
  EXPECT_EQ(slot_log(ctl)[0], 0x02);
}

TEST(NvmeActivationTiming, CommitAction3WithoutSupportLeavesTheImagePending) {
  for (uint16_t st : {kNvmeActivationNeedsConventionalReset, kNvmeActivationNeedsSubsystemReset,
                      kNvmeActivationNeedsControllerReset}) {
    NvmeController ctl(with(base_config(), [&](auto &c) { c.ca3_refusal_status = st; }));
    ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
    EXPECT_EQ(nvme_commit(ctl, 2, 3).status(), st);
    EXPECT_EQ(ctl.running_revision(), "FWA00001");
    ctl.controller_reset();
    EXPECT_EQ(ctl.running_revision(), "FWB00002");
  }
}

TEST(NvmeActivationTiming, CommitAction0ReplacesOnlyAndAction2ActivatesLater) {
  NvmeController ctl(base_config());
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  ASSERT_TRUE(nvme_commit(ctl, 3, 0).ok());
  EXPECT_EQ(ctl.slot_revision(3), "FWB00002");
  EXPECT_EQ(ctl.pending_slot(), 0);
  ctl.controller_reset();
  EXPECT_EQ(ctl.running_revision(), "FWA00001");

  ASSERT_TRUE(nvme_commit(ctl, 3, 2).ok());
  EXPECT_EQ(ctl.pending_slot(), 3);
  EXPECT_EQ(ctl.running_revision(), "FWA00001");
  ctl.controller_reset();
  EXPECT_EQ(ctl.running_revision(), "FWB00002");
  EXPECT_EQ(ctl.active_slot(), 3);
}

TEST(NvmeActivationTiming, ImageModelReplacesTheModel) {
  NvmeController ctl(base_config());
  TestImageSpec spec;
  spec.target = ImageTarget::Nvme;
  spec.revision = "FWB00002";
  spec.model = "FALCORA N200";
  ASSERT_TRUE(nvme_download(ctl, make_test_image(spec)).ok());
  ASSERT_TRUE(nvme_commit(ctl, 2, 1).ok());
  EXPECT_EQ(ctl.identity().model, "FALCORA N100");
  ctl.controller_reset();
  EXPECT_EQ(ctl.identity().model, "FALCORA N200");
  EXPECT_EQ(ctl.identity().serial, "NV0000000042");
}

TEST(NvmeActivationTiming, ResetDiscardsStaging) {
  NvmeController ctl(base_config());
  const std::vector<uint8_t> img = nvme_image("FWB00002");
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0, 8192).ok());
  ctl.controller_reset();
  EXPECT_EQ(ctl.staged_bytes(), 0u);
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeCommandSequenceError);
}

// --- Image download pieces ------------------------------------------------------------------------

TEST(NvmeImageDownload, LastPieceOfOneBytePaddedToADword) {
  NvmeController ctl(base_config());
  const std::vector<uint8_t> img = nvme_image("FWB00002", 8193);
  ASSERT_TRUE(nvme_download(ctl, img).ok());
  EXPECT_EQ(ctl.staged_bytes(), 8196u);
  EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok());
}

TEST(NvmeImageDownload, OverlapsGapsAndOutOfOrderPieces) {
  NvmeController ctl(base_config());
  const std::vector<uint8_t> img = nvme_image("FWB00002", 20000);
  // A first piece that does not start at 0.
  EXPECT_EQ(nvme_download_piece(ctl, img, 8192, 8192).status(), kNvmeInvalidField);
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0, 8192).ok());
  EXPECT_EQ(nvme_download_piece(ctl, img, 0, 8192).status(), kNvmeOverlappingRange);
  EXPECT_EQ(nvme_download_piece(ctl, img, 4096, 8192).status(), kNvmeOverlappingRange);
  EXPECT_EQ(nvme_download_piece(ctl, img, 16384, 3616).status(), kNvmeInvalidField);  // gap
  EXPECT_EQ(ctl.staged_bytes(), 8192u);
}

TEST(NvmeImageDownload, NumdLargerThanTheBufferIsRefused) {
  NvmeController ctl(base_config());
  std::vector<uint8_t> piece(4096, 0);
  EXPECT_EQ(ctl.admin(nvme_cmd(0x11, 0, 2047, 0), piece.data(), 4096).status(), kNvmeInvalidField);
}

TEST(NvmeImageDownload, GranularityEnforced) {
  NvmeConfig cfg = base_config();
  cfg.fwug = 2;  // 8 KiB
  NvmeController ctl(cfg);
  const std::vector<uint8_t> img = nvme_image("FWB00002", 20000);
  EXPECT_EQ(nvme_download_piece(ctl, img, 0, 4096).status(), kNvmeInvalidField);
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0, 8192).ok());
  ASSERT_TRUE(nvme_download_piece(ctl, img, 8192, 8192).ok());
  // The final piece may be shorter.
  EXPECT_TRUE(nvme_download_piece(ctl, img, 16384, 3616).ok());
  EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok());

  // A short piece that does not end the image.
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0, 8192).ok());
  EXPECT_EQ(nvme_download_piece(ctl, img, 8192, 4096).status(), kNvmeInvalidField);
}

TEST(NvmeImageDownload, GranularityNotEnforcedOrNotRestricted) {
  for (uint8_t fwug : {0x00, 0xFF}) {
    NvmeConfig cfg = base_config();
    cfg.fwug = fwug;
    NvmeController ctl(cfg);
    EXPECT_TRUE(nvme_download(ctl, nvme_image("FWB00002"), 4096).ok());
  }
  NvmeController ctl(with(base_config(), [&](auto &c) { c.fwug = 4; c.enforce_granularity = false; }));
  EXPECT_TRUE(nvme_download(ctl, nvme_image("FWB00002"), 4096).ok());
  EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok());
}

// --- Maximum data transfer size ---------------------------------------------------------------

// MDTS 5 of 4 KiB pages: a command moving more than 128 KiB is Invalid Field in Command, whether
// its own fields (Firmware Image Download, Get Log Page, Read) or the buffer (a vendor command)
// give the size; the controller acts on nothing. MDTS 0 sets no limit.
TEST(NvmeMaximumTransfer, CommandsBeyondMdtsAreInvalidField) {
  NvmeController ctl(base_config());
  EXPECT_EQ(identify_controller(ctl)[77], 5);
  const std::vector<uint8_t> img = nvme_image("FWB00002", 0x20000 + 4096);
  EXPECT_EQ(nvme_download_piece(ctl, img, 0, 0x20000 + 4).status(), kNvmeInvalidField);
  EXPECT_EQ(ctl.staged_bytes(), 0u);
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0, 0x20000).ok());
  ASSERT_TRUE(nvme_download_piece(ctl, img, 0x20000, 4096).ok());
  EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok());

  std::vector<uint8_t> big(0x20000 + 4096, 0);
  const uint32_t numd = 0x20000 / 4;  // one dword more than 128 KiB, 0's based
  EXPECT_EQ(ctl.admin(nvme_cmd(0x02, 0, (numd & 0xFFFF) << 16 | 0x05, numd >> 16), big.data(), 0x20000 + 4096).status(),
            kNvmeInvalidField);
  NvmeCommand read = nvme_cmd(0x02, 1);
  read.cdw12 = 256;  // 257 blocks of 512 bytes
  EXPECT_EQ(ctl.io(read, big.data(), 0x20000 + 4096).status(), kNvmeInvalidField);
  read.cdw12 = 255;
  EXPECT_TRUE(ctl.io(read, big.data(), 0x20000 + 4096).ok());

  int vendor_calls = 0;
  ctl.set_vendor_handler([&](NvmeController &, const NvmeCommand &, bool, uint8_t *, uint32_t) {
    ++vendor_calls;
    return NvmeCompletion{};
  });
  EXPECT_EQ(ctl.admin(nvme_cmd(0xC2), big.data(), 0x20000 + 4).status(), kNvmeInvalidField);
  EXPECT_EQ(vendor_calls, 0);
  EXPECT_TRUE(ctl.admin(nvme_cmd(0xC2), big.data(), 0x20000).ok());
  EXPECT_EQ(vendor_calls, 1);

  NvmeController unlimited(with(base_config(), [&](auto &c) { c.mdts = 0; }));
  EXPECT_EQ(identify_controller(unlimited)[77], 0);
  EXPECT_TRUE(nvme_download_piece(unlimited, img, 0, 0x20000 + 4096).ok());
}

// --- Refused images -----------------------------------------------------------------------------

TEST(NvmeRefusedImages, InvalidImagesGiveInvalidFirmwareImage) {
  NvmeController ctl(base_config());
  const std::vector<uint8_t> good = nvme_image("FWB00002", 20000);

  // Meant for an ATA drive.
  ASSERT_TRUE(nvme_download(ctl, make_test_image(ImageTarget::Ata, "FWB00002", 20000)).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);

  // Meant for another model.
  ASSERT_TRUE(nvme_download(ctl, make_test_image(ImageTarget::Nvme, "FWB00002", 20000, "OTHER")).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);

  // Truncated: the last piece never arrives.
  ASSERT_TRUE(nvme_download_piece(ctl, good, 0, 8192).ok());
  ASSERT_TRUE(nvme_download_piece(ctl, good, 8192, 8192).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);

  // Bad checksum.
  std::vector<uint8_t> bad = good;
  bad[9000] ^= 0x40;
  ASSERT_TRUE(nvme_download(ctl, bad).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);

  // Mixed: pieces of two images.
  const std::vector<uint8_t> other = nvme_image("FWC00003", 20000);
  ASSERT_TRUE(nvme_download_piece(ctl, good, 0, 8192).ok());
  ASSERT_TRUE(nvme_download_piece(ctl, other, 8192, 8192).ok());
  ASSERT_TRUE(nvme_download_piece(ctl, good, 16384, 3616).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);

  EXPECT_EQ(ctl.slot_revision(2), "");
  ctl.controller_reset();
  EXPECT_EQ(ctl.running_revision(), "FWA00001");
}

// --- APST -------------------------------------------------------------------------------------

TEST(NvmeApst, UnsupportedWithoutApsta) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.apsta = false; }));
  std::vector<uint8_t> table(256, 0);
  EXPECT_EQ(ctl.admin(nvme_cmd(0x0A, 0, 0x0C), table.data(), 256).status(), kNvmeInvalidField);
  EXPECT_EQ(identify_controller(ctl)[265] & 1, 0);
}

// --- Faults -------------------------------------------------------------------------------------

TEST(NvmeFaults, FailTheKthDownloadPiece) {
  NvmeController ctl(base_config());
  NvmeFaultRule rule;
  rule.opcode = 0x11;
  rule.when.first = 2;
  rule.status = kNvmeInternalError;
  ctl.add_fault(rule);
  const std::vector<uint8_t> img = nvme_image("FWB00002", 20000);
  EXPECT_TRUE(nvme_download_piece(ctl, img, 0, 8192).ok());
  EXPECT_EQ(nvme_download_piece(ctl, img, 8192, 8192).status(), kNvmeInternalError);
  EXPECT_EQ(ctl.staged_bytes(), 8192u);  // the failed piece is not stored
  EXPECT_TRUE(nvme_download_piece(ctl, img, 8192, 8192).ok());  // fires once
}

TEST(NvmeFaults, CorruptStagingMakesTheImageInvalid) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.corrupt_staging = true; }));
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeInvalidFirmwareImage);
}

TEST(NvmeFaults, IdentityUnreadableAfterTheUpdate) {
  NvmeController ctl(with(base_config(), [&](auto &c) { c.identity_fails_after_update = true; }));
  NvmeCompletion c;
  identify_controller(ctl, &c);
  EXPECT_TRUE(c.ok());
  ASSERT_TRUE(nvme_download(ctl, nvme_image("FWB00002")).ok());
  ASSERT_TRUE(nvme_commit(ctl, 2, 1).ok());
  identify_controller(ctl, &c);
  EXPECT_TRUE(c.ok());  // not yet active
  ctl.controller_reset();
  identify_controller(ctl, &c);
  EXPECT_FALSE(c.ok());
}

TEST(NvmeFaults, ShortTransferZeroDataAndDw0) {
  NvmeController ctl(base_config());
  NvmeFaultRule shorter;
  shorter.opcode = 0x06;
  shorter.cdw10_low = 1;
  shorter.short_transfer = 32;
  ctl.add_fault(shorter);
  NvmeCompletion c;
  std::vector<uint8_t> id = identify_controller(ctl, &c);
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.data_transferred, 32u);
  EXPECT_EQ(text_at(id.data() + 4, 20).substr(0, 12), "NV0000000042");
  EXPECT_EQ(id[32], 0xEE);  // untouched beyond the transfer

  ctl.clear_faults();
  NvmeFaultRule zero;
  zero.opcode = 0x06;
  zero.zero_data = true;
  ctl.add_fault(zero);
  id = identify_controller(ctl, &c);
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(std::count(id.begin(), id.end(), 0), 4096);

  ctl.clear_faults();
  NvmeFaultRule dw0;
  dw0.opcode = 0x0A;
  dw0.dw0 = 0;
  dw0.when.times = 0;
  ctl.set_component_id({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
  ctl.add_fault(dw0);
  std::vector<uint8_t> table(256);
  EXPECT_EQ(ctl.admin(nvme_cmd(0x0A, 0, 0x0C), table.data(), 256).dw0, 0u);
  EXPECT_EQ(text_at(identify_controller(ctl).data() + 3126, 8), "ABCDEFGH");
}


// --- Time-outs ------------------------------------------------------------------------------------

// A command that runs past its request's time-out is aborted, and the recovery resets the
// controller: an image committed for the next reset runs, a half-downloaded one is lost.
TEST(NvmeTimeout, CommandPastTheLimitIsAbortedAndTheControllerReset) {
  NvmeController ctl(with(base_config(), [](NvmeConfig &c) { c.timing = {.command_ms = 5000, .activate_ms = 5000}; }));
  const std::vector<uint8_t> img = nvme_image("FWB00002");
  ASSERT_TRUE(nvme_download(ctl, img).ok());
  {
    RequestTimeLimit limit(4999);
    EXPECT_EQ(nvme_commit(ctl, 2, 1).status(), kNvmeAbortRequested);
    EXPECT_TRUE(limit.expired());
    NvmeCompletion later;
    identify_controller(ctl, &later);
    EXPECT_EQ(later.status(), kNvmeAbortRequested) << "the request ran out of time";
  }
  EXPECT_EQ(ctl.pending_slot(), 0) << "the commit never took effect";
  EXPECT_EQ(ctl.staged_bytes(), 0u) << "the reset discarded the download";
  EXPECT_EQ(ctl.counters().busy_ms, 4999u);
  EXPECT_EQ(ctl.counters().timeouts, 1u);
  EXPECT_EQ(ctl.counters().bus_resets, 1u);

  ASSERT_TRUE(nvme_download(ctl, img).ok());
  {
    RequestTimeLimit limit(5000);
    EXPECT_TRUE(nvme_commit(ctl, 2, 1).ok()) << "ending at the time-out is in time";
    EXPECT_FALSE(limit.expired());
  }
  EXPECT_EQ(ctl.pending_slot(), 2);
  NvmeCompletion aborted;
  {
    RequestTimeLimit limit(1000);
    const std::vector<uint8_t> data = identify_controller(ctl, &aborted);
    EXPECT_EQ(data[0], 0xEE) << "no data moved";
  }
  EXPECT_EQ(aborted.status(), kNvmeAbortRequested);
  EXPECT_EQ(ctl.running_revision(), "FWB00002") << "the reset ran the pending image";
  EXPECT_EQ(ctl.counters().timeouts, 2u);
}

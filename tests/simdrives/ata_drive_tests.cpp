#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "drive_test_util.h"
#include "sim/drives/ata_drive.h"

using namespace sim;
using namespace drivetest;

namespace {

AtaConfig base_config() {
  AtaConfig c;
  c.model = "BRISKEL S500";
  c.serial = "AT0000000777";
  c.firmware = "FWA00001";
  return c;
}

std::vector<uint8_t> ata_image(const std::string &rev, uint32_t size = 20000) {
  return make_test_image(ImageTarget::Ata, rev, size);
}

AtaTaskfile identify_tf() {
  AtaTaskfile tf{.count = 1, .command = 0xEC};
  return tf;
}

std::vector<uint8_t> identify(AtaDrive &d, AtaResult *res = nullptr) {
  std::vector<uint8_t> buf(512, 0xEE);
  AtaResult r = d.execute(identify_tf(), buf.data(), 512);
  if (res) *res = r;
  return buf;
}

AtaTaskfile dm_tf(uint8_t mode, uint32_t blocks, uint32_t block_offset) {
  AtaTaskfile tf{.feature = mode, .count = static_cast<uint16_t>(blocks & 0xFF),
      .lba = (blocks >> 8 & 0xFF) | static_cast<uint64_t>(block_offset & 0xFFFF) << 8, .command = 0x92};
  return tf;
}

// One segment: `len` bytes of the image at byte `offset`, zero-padded to whole blocks.
AtaResult dm_piece(AtaDrive &d, uint8_t mode, const std::vector<uint8_t> &img, uint32_t offset, uint32_t len) {
  std::vector<uint8_t> piece(img.begin() + offset, img.begin() + offset + len);
  const uint32_t blocks = (len + 511) / 512;
  piece.resize(blocks * 512, 0);
  return d.execute(dm_tf(mode, blocks, offset / 512), piece.data(), static_cast<uint32_t>(piece.size()));
}

// Whole image in segments of `chunk` bytes; returns the last result (or the first failure).
AtaResult dm_download(AtaDrive &d, uint8_t mode, const std::vector<uint8_t> &img, uint32_t chunk = 8192) {
  AtaResult r;
  for (uint32_t off = 0; off < img.size(); off += chunk) {
    r = dm_piece(d, mode, img, off, std::min<uint32_t>(chunk, static_cast<uint32_t>(img.size()) - off));
    if (r.err()) return r;
  }
  return r;
}

AtaResult dm_activate(AtaDrive &d) { return d.execute(dm_tf(0x0F, 0, 0), nullptr, 0); }

std::string fw_of(AtaDrive &d) { return ata_text_at(identify(d).data() + 46, 8); }

AtaResult read_log(AtaDrive &d, uint8_t log, uint8_t page, std::vector<uint8_t> &buf) {
  AtaTaskfile tf{.count = static_cast<uint16_t>(buf.size() / 512), .lba = log | static_cast<uint64_t>(page) << 8,
      .command = 0x2F, .is_ext = true};
  return d.execute(tf, buf.data(), static_cast<uint32_t>(buf.size()));
}

}  // namespace

// --- IDENTIFY DEVICE ----------------------------------------------------------------------------

// Strings, the download words and the checksum are read back by the command-set tests; these
// words are not.
TEST(AtaIdentify, ComponentIdAndNumericWords) {
  AtaConfig cfg = with(base_config(), [&](auto &c) { c.component_id = "DCID0001"; });
  cfg.word141 = 0x4001;
  cfg.word142 = 4;
  AtaDrive d(cfg);
  const std::vector<uint8_t> id = identify(d);
  EXPECT_EQ(ata_text_at(id.data() + 274, 8), "DCID0001");
  EXPECT_EQ(le16(id.data() + 282), 0x4001);
  EXPECT_EQ(le16(id.data() + 284), 4);
  EXPECT_EQ(le16(id.data() + 166) & 1, 1);  // word 83 bit 0: DOWNLOAD MICROCODE
}

TEST(AtaIdentify, FailureAndUnknownCommandsAbort) {
  AtaDrive d(with(base_config(), [&](auto &c) { c.identify_fails = true; }));
  AtaResult r;
  identify(d, &r);
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(r.error, 0x04);
  AtaTaskfile tf{.command = 0x01};
  EXPECT_TRUE(d.execute(tf, nullptr, 0).err());
}

// --- Data-phase protocol -----------------------------------------------------------------------

namespace {
// Runs a one-block read with its data phase set up in `p`, into a page filled with EEh.
AtaResult read_block(AtaDrive &d, AtaTaskfile tf, AtaProtocol p, std::vector<uint8_t> *page) {
  tf.protocol = p;
  page->assign(512, 0xEE);
  return d.execute(tf, page->data(), 512);
}
// The drive's abort (51h/04h) with nothing moved into a page that was filled with EEh.
void expect_aborted_unmoved(const AtaResult &r, const std::vector<uint8_t> &page) {
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(r.error, 0x04);
  EXPECT_EQ(r.data_transferred, 0u);
  EXPECT_EQ(std::count(page.begin(), page.end(), 0xEE), static_cast<std::ptrdiff_t>(page.size()));
}
}  // namespace

// A command whose data the transport set up in the other protocol (PIO for a DMA command, DMA for
// a PIO one) is aborted with nothing moved; the right protocol, an unstated one, or a command
// without data is carried out.
TEST(AtaProtocol, DataInTheOtherProtocolIsAborted) {
  AtaDrive d(base_config());
  const AtaTaskfile log_dma{.count = 1, .lba = 0x0330, .command = 0x47, .is_ext = true};
  for (AtaProtocol p : {AtaProtocol::dma, AtaProtocol::unstated, AtaProtocol::pio}) {
    SCOPED_TRACE(static_cast<int>(p));
    std::vector<uint8_t> page;
    const AtaResult r = read_block(d, log_dma, p, &page);
    if (p == AtaProtocol::pio) {
      expect_aborted_unmoved(r, page);
    } else {
      EXPECT_FALSE(r.err());
      EXPECT_EQ(le64(page.data() + 16) >> 63, 1u) << "the download capabilities";
    }
  }
  AtaTaskfile id = identify_tf();
  id.protocol = AtaProtocol::dma;
  std::vector<uint8_t> buf(512, 0xEE);
  AtaResult r = d.execute(id, buf.data(), 512);
  EXPECT_TRUE(r.err());
  EXPECT_EQ(buf[0], 0xEE);
  id.protocol = AtaProtocol::pio;
  EXPECT_FALSE(d.execute(id, buf.data(), 512).err());

  // A DOWNLOAD MICROCODE segment sent as DMA stages nothing; the activation has no data to judge.
  const std::vector<uint8_t> img = ata_image("FWA00002");
  std::vector<uint8_t> piece(img.begin(), img.begin() + 8192);
  AtaTaskfile seg = dm_tf(0x0E, 16, 0);
  seg.protocol = AtaProtocol::dma;
  EXPECT_TRUE(d.execute(seg, piece.data(), 8192).err());
  EXPECT_EQ(d.staged_bytes(), 0u);
  ASSERT_FALSE(dm_download(d, 0x0E, img).err());
  AtaTaskfile act = dm_tf(0x0F, 0, 0);
  act.protocol = AtaProtocol::dma;
  EXPECT_FALSE(d.execute(act, nullptr, 0).err());
  EXPECT_EQ(fw_of(d), "FWA00002");
}

// SMART READ LOG moves its data in PIO, as the program sends it: the vendor-unique phase status
// (log BDh) read with a DMA data phase is aborted with nothing moved.
TEST(AtaProtocol, SmartReadLogIsPio) {
  AtaConfig cfg = base_config();
  VuConfig vu;
  vu.level = 5;  // takes the logs without an enable
  cfg.vu = vu;
  AtaDrive d(cfg);
  for (AtaProtocol p : {AtaProtocol::dma, AtaProtocol::pio}) {
    SCOPED_TRACE(static_cast<int>(p));
    std::vector<uint8_t> page;
    const AtaResult r = read_block(d, {.feature = 0xD5, .count = 1, .lba = 0xC24FBD, .command = 0xB0}, p, &page);
    if (p == AtaProtocol::dma) {
      expect_aborted_unmoved(r, page);
    } else {
      EXPECT_FALSE(r.err());
      EXPECT_EQ(r.data_transferred, 512u);
      EXPECT_EQ(page[1], 0x01) << "status version 0100h";
    }
  }
}

// --- IDENTIFY DEVICE DATA log -----------------------------------------------------------------

TEST(AtaIdentifyLog, Page3DownloadCapabilities) {
  AtaConfig cfg = base_config();
  cfg.log_min_blocks = 0x0002;
  cfg.log_max_blocks = 0x0100;
  cfg.mode7_supported = false;
  AtaDrive d(cfg);
  std::vector<uint8_t> buf(512, 0xEE);
  ASSERT_FALSE(read_log(d, 0x30, 0x03, buf).err());
  const uint64_t q = le64(buf.data() + 16);
  EXPECT_EQ(q >> 63, 1u);
  EXPECT_EQ(q >> 34 & 1, 1u);
  EXPECT_EQ(q >> 33 & 1, 0u);
  EXPECT_EQ(q >> 32 & 1, 1u);
  EXPECT_EQ(q >> 16 & 0xFFFF, 0x0100u);
  EXPECT_EQ(q & 0xFFFF, 0x0002u);

  ASSERT_FALSE(read_log(d, 0x30, 0x00, buf).err());
  EXPECT_EQ(buf[8], 2);
  EXPECT_EQ(buf[10], 0x03);
}

TEST(AtaIdentifyLog, MissingPageAbortsAndInvalidPageHasBit63Clear) {
  AtaConfig cfg = base_config();
  cfg.log_page3 = AtaLogPage3::Missing;
  AtaDrive missing(cfg);
  std::vector<uint8_t> buf(512);
  const AtaResult r = read_log(missing, 0x30, 0x03, buf);
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(r.error, 0x04);

  cfg.log_page3 = AtaLogPage3::InvalidBit63;
  AtaDrive invalid(cfg);
  ASSERT_FALSE(read_log(invalid, 0x30, 0x03, buf).err());
  EXPECT_EQ(le64(buf.data() + 16) >> 63, 0u);

  EXPECT_TRUE(read_log(invalid, 0x31, 0x00, buf).err());
}

// --- DOWNLOAD MICROCODE 03h -------------------------------------------------------------------

TEST(AtaDownloadMode3, RegisterEncodingOfLargeCountsAndOffsets) {
  // 1000 blocks at offset 0, then 600 blocks at offset 1000: COUNT 58h, LBA 7:0 02h, LBA 23:8 03E8h.
  AtaDrive d(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002", 1600 * 512);
  const AtaTaskfile second = dm_tf(0x03, 600, 1000);
  EXPECT_EQ(second.count, 0x58);
  EXPECT_EQ(second.lba, 0x03E802u);
  EXPECT_FALSE(dm_piece(d, 0x03, img, 0, 1000 * 512).err());
  const AtaResult r = d.execute(second, const_cast<uint8_t *>(img.data()) + 1000 * 512, 600 * 512);
  EXPECT_FALSE(r.err());
  EXPECT_EQ(r.count, kDmApplied);
  EXPECT_EQ(fw_of(d), "FWB00002");
}

TEST(AtaDownloadMode3, WrongOffsetAbortsAndDiscards) {
  AtaDrive d(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  ASSERT_FALSE(dm_piece(d, 0x03, img, 0, 8192).err());
  const AtaResult r = dm_piece(d, 0x03, img, 16384, 3616);  // skipped a segment
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(r.error, 0x04);
  EXPECT_EQ(d.staged_bytes(), 0u);
  EXPECT_TRUE(dm_piece(d, 0x03, img, 8192, 8192).err());  // nothing to continue
  // A first segment that does not start at 0.
  EXPECT_TRUE(dm_piece(d, 0x03, img, 8192, 8192).err());
  EXPECT_EQ(fw_of(d), "FWA00001");
}

TEST(AtaDownloadMode3, ZeroBlocksAndUnsupportedModesAbort) {
  AtaDrive d(with(base_config(), [&](auto &c) { c.mode3_supported = false; }));
  std::vector<uint8_t> buf(512, 0);
  EXPECT_TRUE(d.execute(dm_tf(0x0E, 0, 0), buf.data(), 512).err());
  EXPECT_TRUE(dm_piece(d, 0x03, ata_image("FWB00002"), 0, 8192).err());
  EXPECT_TRUE(d.execute(dm_tf(0x05, 1, 0), buf.data(), 512).err());
}

TEST(AtaDownloadMode3, MinimumAndMaximumBlocksFromTheLog) {
  AtaDrive d(with(base_config(), [&](auto &c) { c.log_min_blocks = 16; c.log_max_blocks = 32; }));
  const std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  EXPECT_TRUE(dm_piece(d, 0x03, img, 0, 4096).err());      // 8 blocks < min
  EXPECT_TRUE(dm_download(d, 0x03, img, 20480).err());     // 40 blocks > max
  // 16-block segments; the last one (8 blocks) completes the image and may be shorter.
  const AtaResult r = dm_download(d, 0x03, img, 8192);
  EXPECT_FALSE(r.err());
  EXPECT_EQ(r.count, kDmApplied);
}

TEST(AtaDownloadMode3, WordsUsedWithoutTheLogAndFfffIgnored) {
  AtaConfig cfg = base_config();
  cfg.log_page3 = AtaLogPage3::Missing;
  cfg.log_min_blocks = 64;  // not consulted
  cfg.word234_min_blocks = 0xFFFF;
  cfg.word235_max_blocks = 8;
  AtaDrive d(cfg);
  const std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  EXPECT_TRUE(dm_piece(d, 0x03, img, 0, 8192).err());  // 16 blocks > max 8
  EXPECT_FALSE(dm_download(d, 0x03, img, 4096).err());
  EXPECT_EQ(fw_of(d), "FWB00002");
}

TEST(AtaDownloadMode3, ActivationNeedsAPowerCycle) {
  AtaDrive d(with(base_config(), [&](auto &c) { c.activation_needs_power_cycle = true; }));
  const AtaResult r = dm_download(d, 0x03, ata_image("FWB00002"));
  EXPECT_FALSE(r.err());
  EXPECT_EQ(r.count, kDmSavedDeferred);
  EXPECT_EQ(fw_of(d), "FWA00001");
  d.power_cycle();
  EXPECT_EQ(fw_of(d), "FWB00002");
}

TEST(AtaDownloadMode3, PowerCycleBeforeTheLastSegmentDiscards) {
  AtaDrive d(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  ASSERT_FALSE(dm_piece(d, 0x03, img, 0, 8192).err());
  d.power_cycle();
  EXPECT_EQ(d.staged_bytes(), 0u);
  EXPECT_TRUE(dm_piece(d, 0x03, img, 8192, 8192).err());
}

TEST(AtaDownloadMode3, ImageModelReplacesTheModel) {
  AtaDrive d(base_config());
  TestImageSpec spec;
  spec.target = ImageTarget::Ata;
  spec.revision = "FWB00002";
  spec.model = "BRISKEL S600";
  ASSERT_FALSE(dm_download(d, 0x03, make_test_image(spec)).err());
  EXPECT_EQ(ata_text_at(identify(d).data() + 54, 12), "BRISKEL S600");
  EXPECT_EQ(d.identity().serial, "AT0000000777");
}

// --- Refused images -----------------------------------------------------------------------------

TEST(AtaRefusedImages, LastSegmentAbortsForAnInvalidImage) {
  AtaDrive d(base_config());
  std::vector<uint8_t> bad = ata_image("FWB00002");
  bad[10000] ^= 0x01;
  EXPECT_TRUE(dm_download(d, 0x03, bad).err());
  EXPECT_TRUE(dm_download(d, 0x03, make_test_image(ImageTarget::Nvme, "FWB00002", 20000)).err());
  EXPECT_TRUE(dm_download(d, 0x03, make_test_image(ImageTarget::Ata, "FWB00002", 20000, "OTHER")).err());
  std::vector<uint8_t> junk(8192, 0x11);
  EXPECT_TRUE(dm_download(d, 0x03, junk).err());  // no image header at all
  EXPECT_EQ(fw_of(d), "FWA00001");
}

// --- Deferred activation (0Eh + 0Fh) ------------------------------------------------------------

// A power-on reset runs a complete deferred image, as 0Fh would; the segments of an incomplete one
// are lost.
TEST(AtaDeferred, PowerCycleRunsACompleteImageAndDropsAnIncompleteOne) {
  AtaDrive d(base_config());
  ASSERT_FALSE(dm_download(d, 0x0E, ata_image("FWB00002")).err());
  d.power_cycle();
  EXPECT_FALSE(d.deferred_pending());
  EXPECT_EQ(fw_of(d), "FWB00002");
  EXPECT_TRUE(dm_activate(d).err());  // nothing left to activate

  AtaDrive e(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002");
  ASSERT_FALSE(dm_piece(e, 0x0E, img, 0, 8192).err());
  e.power_cycle();
  EXPECT_EQ(e.staged_bytes(), 0u);
  EXPECT_TRUE(dm_piece(e, 0x0E, img, 8192, 8192).err());
  EXPECT_TRUE(dm_activate(e).err());
  EXPECT_EQ(fw_of(e), "FWA00001");
}

TEST(AtaDeferred, ModesCannotBeMixedWithinADownload) {
  AtaDrive d(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002");
  ASSERT_FALSE(dm_piece(d, 0x0E, img, 0, 8192).err());
  EXPECT_TRUE(dm_piece(d, 0x03, img, 8192, 8192).err());
}

// --- Whole image (07h) -----------------------------------------------------------------------

TEST(AtaWholeImage, OneCommandActivates) {
  AtaDrive d(base_config());
  std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  img.resize(20480, 0);
  AtaTaskfile tf = dm_tf(0x07, 40, 123);  // the offset is ignored
  const AtaResult r = d.execute(tf, img.data(), 20480);
  EXPECT_FALSE(r.err());
  EXPECT_EQ(r.count, kDmApplied);
  EXPECT_EQ(fw_of(d), "FWB00002");
}

TEST(AtaWholeImage, PartOfAnImageAborts) {
  AtaDrive d(base_config());
  std::vector<uint8_t> img = ata_image("FWB00002", 20000);
  EXPECT_TRUE(d.execute(dm_tf(0x07, 16, 0), img.data(), 8192).err());
  EXPECT_EQ(fw_of(d), "FWA00001");
}

// --- Faults -------------------------------------------------------------------------------------

TEST(AtaFaults, FailTheKthSegment) {
  AtaDrive d(base_config());
  AtaFaultRule rule;
  rule.command = 0x92;
  rule.feature = 0x03;
  rule.when.first = 2;
  rule.status = 0x51;
  rule.error = 0x04;
  d.add_fault(rule);
  const std::vector<uint8_t> img = ata_image("FWB00002");
  EXPECT_FALSE(dm_piece(d, 0x03, img, 0, 8192).err());
  const AtaResult r = dm_piece(d, 0x03, img, 8192, 8192);
  EXPECT_EQ(r.status, 0x51);
  EXPECT_EQ(d.staged_bytes(), 8192u);
}

TEST(AtaFaults, ActivationRefusedNeverOrCorrupt) {
  {
    AtaDrive d(base_config());
    AtaFaultRule rule;
    rule.command = 0x92;
    rule.feature = 0x0F;
    rule.status = 0x51;
    d.add_fault(rule);
    ASSERT_FALSE(dm_download(d, 0x0E, ata_image("FWB00002")).err());
    EXPECT_TRUE(dm_activate(d).err());
    EXPECT_EQ(fw_of(d), "FWA00001");
  }
  {
    AtaDrive d(with(base_config(), [&](auto &c) { c.activation_never = true; }));
    EXPECT_FALSE(dm_download(d, 0x03, ata_image("FWB00002")).err());
    EXPECT_EQ(fw_of(d), "FWA00001");
  }
  {
    AtaDrive d(base_config());
    d.set_corrupt_staging(true);
    EXPECT_TRUE(dm_download(d, 0x03, ata_image("FWB00002")).err());
  }
}

TEST(AtaFaults, IdentityUnreadableAfterTheUpdate) {
  AtaDrive d(base_config());
  d.set_identity_fails_after_update(true);
  AtaResult r;
  identify(d, &r);
  EXPECT_FALSE(r.err());
  ASSERT_FALSE(dm_download(d, 0x03, ata_image("FWB00002")).err());
  identify(d, &r);
  EXPECT_TRUE(r.err());
  EXPECT_EQ(d.running_revision(), "FWB00002");
}

TEST(AtaFaults, ShortAndZeroData) {
  AtaDrive d(base_config());
  AtaFaultRule rule;
  rule.command = 0xEC;
  rule.short_transfer = 40;
  d.add_fault(rule);
  AtaResult r;
  std::vector<uint8_t> id = identify(d, &r);
  EXPECT_EQ(r.data_transferred, 40u);
  EXPECT_EQ(id[40], 0xEE);
  d.clear_faults();
  rule.short_transfer.reset();
  rule.zero_data = true;
  d.add_fault(rule);
  id = identify(d, &r);
  EXPECT_FALSE(r.err());
  EXPECT_EQ(std::count(id.begin(), id.end(), 0), 512);
}

// --- Concurrency --------------------------------------------------------------------------------

TEST(AtaConcurrency, ReadsWhileAnotherThreadDownloads) {
  AtaDrive d(base_config());
  const std::vector<uint8_t> img = ata_image("FWB00002", 64 * 1024);
  std::thread writer([&] {
    for (int i = 0; i < 20; ++i) ASSERT_FALSE(dm_download(d, 0x0E, img).err());
  });
  for (int i = 0; i < 200; ++i) {
    const std::string fw = fw_of(d);
    EXPECT_EQ(fw, "FWA00001");
  }
  writer.join();
  ASSERT_FALSE(dm_activate(d).err());
  EXPECT_EQ(fw_of(d), "FWB00002");
}

// --- Time-outs ------------------------------------------------------------------------------------

// A command that runs past its request's time-out is aborted; the port's reset leaves the drive
// with what it held: accepted segments and a saved image stay.
TEST(AtaTimeout, CommandPastTheLimitIsAbortedAndTheDriveKeepsWhatItHeld) {
  AtaDrive d(with(base_config(), [](AtaConfig &c) { c.timing = {.command_ms = 5000, .download_ms = 5000, .activate_ms = 5000}; }));
  const std::vector<uint8_t> img = ata_image("FWB00002", 16384);
  ASSERT_FALSE(dm_piece(d, 0x0E, img, 0, 8192).err());
  {
    RequestTimeLimit limit(4000);
    const AtaResult r = dm_piece(d, 0x0E, img, 8192, 8192);
    EXPECT_EQ(r.status, kAtaStatusErr);
    EXPECT_EQ(r.error, kAtaErrorAbort);
    EXPECT_TRUE(limit.expired());
  }
  EXPECT_EQ(d.staged_bytes(), 8192u) << "the first segment stays, the second never arrived";
  EXPECT_EQ(d.counters().timeouts, 1u);
  EXPECT_EQ(d.counters().bus_resets, 1u);
  EXPECT_EQ(d.counters().busy_ms, 9000u);

  ASSERT_FALSE(dm_piece(d, 0x0E, img, 8192, 8192).err());
  ASSERT_TRUE(d.deferred_pending());
  {
    RequestTimeLimit limit(4000);
    EXPECT_TRUE(dm_activate(d).err());
  }
  EXPECT_TRUE(d.deferred_pending()) << "the saved image waits for its activation";
  EXPECT_EQ(fw_of(d), "FWA00001");
  {
    RequestTimeLimit limit(5000);
    EXPECT_FALSE(dm_activate(d).err());
  }
  EXPECT_EQ(fw_of(d), "FWB00002");
  EXPECT_EQ(d.counters().timeouts, 2u);
}

// The size, mode and slot rules against the limits the drives report, the refusals made before
// any command, the padded last piece, the revision readers and the library's own flows.
#include "firmware/firmware_support.h"

#include <algorithm>

#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"

using namespace fwtest;

namespace {

class Rules : public FirmwareTest {};

struct AtaLimits {
  nlohmann::json fields;
  uint32_t size;
};

// ATA over the in-box AHCI driver, SAT, Intel RST and CSMI: the size each drive's limits give, and
// a download in that size with offsets and immediate activation that the drive accepts.
TEST_F(Rules, AtaTransferSizeFollowsTheDriveLimits) {
  const AtaLimits limits[] = {
      {{{"log_min_blocks", 32}}, 16384},                                   // above the default
      {{{"log_max_blocks", 8}}, 4096},                                     // below it
      {nlohmann::json::object(), 8192},                                    // neither indicated
      {{{"log_min_blocks", "0xffff"}, {"log_max_blocks", "0xffff"}, {"word234", 64}}, 8192},
      {{{"log_page3", "missing"}, {"word235", 8}}, 4096},                  // IDENTIFY words
      {{{"log_page3", "invalid"}, {"word234", 32}}, 16384},
  };
  const std::pair<const char *, const char *> routes[] = {
      {"disk0", "A"}, {"disk9", "F"}, {"disk4", "D"}, {"csmi5.0.0.500103aa00000000", "D"}};
  for (const auto &[record, drive] : routes) {
    for (const AtaLimits &l : limits) {
      SCOPED_TRACE(std::string(record) + " " + l.fields.dump());
      huld_dev &d = with(drive, l.fields, record);
      uint32_t size = 0;
      huld_error err{};
      ASSERT_EQ(vornfirmware_ata_get_transfer_size(&err, &d, &size), 0);
      EXPECT_EQ(size, l.size);
      const auto image = sim::make_test_image(sim::ImageTarget::Ata, "SIMR0004", 20000);
      ASSERT_EQ(vornfirmware_ata_download(&err, &d, image.data(), 20000, 0x03, size, nullptr), 0) << err.message;
      EXPECT_EQ(current(d), "SIMR0004");
    }
  }
}

// A minimum above what an ATA PASS-THROUGH CDB can count fails the first piece with nothing sent;
// the same drive on the AHCI driver takes it when its adapter's MaximumTransferLength allows such a
// piece, and the port refuses it (nothing reaches the drive) under the default 128 KiB.
TEST_F(Rules, SatRefusesPiecesBeyondItsCountField) {
  for (const auto &[record, drive, max_transfer, sent] :
       {std::tuple{"disk9", "F", 0x100000, false}, std::tuple{"disk0", "A", 0x100000, true},
        std::tuple{"disk0", "A", 0x20000, false}}) {
    SCOPED_TRACE(std::string(record) + " " + std::to_string(max_transfer));
    nlohmann::json m = ref1();
    for (auto &a : m["storage"]["adapters"])
      if (a["id"] == "AHCI-1") a["knobs"] = {{"max_transfer_length", max_transfer}};
    for (auto &[kind, model] : drive_of(m, drive).items())
      if (kind != "id") model["log_min_blocks"] = 300;
    load(m);
    huld_dev &d = dev(record);
    uint32_t size = 0;
    huld_error err{};
    vornfirmware_ata_get_transfer_size(&err, &d, &size);
    ASSERT_EQ(size, 300u * 512);
    const auto image = sim::make_test_image(sim::ImageTarget::Ata, "SIMR0005", 200000);
    const int rc = vornfirmware_ata_download(&err, &d, image.data(), 200000, 0x03, size, nullptr);
    EXPECT_EQ(rc, sent ? 0 : 1) << err.message;
    EXPECT_EQ(sim::storage_drive(drive).ata->command_count(0x92) > 0, sent);
  }
}

// NVMe over every NVMe route: the granularity the drive enforces gives the size, and a download in
// it is accepted and committed.
TEST_F(Rules, NvmeTransferSizeFollowsTheGranularity) {
  const std::pair<int, uint32_t> rows[] = {{0, 8192}, {1, 8192}, {3, 12288}, {255, 8192}};
  const std::pair<const char *, const char *> routes[] = {
      {"disk1", "B"}, {"disk7", "E"}, {"disk2", "C"}, {"disk3.pd5", "PD5"}, {"rstep10.6.0", "R6"}, {"disk10", "G"}};
  for (const auto &[record, drive] : routes) {
    for (const auto &[fwug, expected] : rows) {
      SCOPED_TRACE(std::string(record) + " FWUG " + std::to_string(fwug));
      huld_dev &d = with(drive, {{"fwug", fwug}}, record);
      uint32_t size = 0;
      huld_error err{};
      ASSERT_EQ(vornfirmware_nvme_get_transfer_size(&err, &d, &size), 0);
      EXPECT_EQ(size, expected);
      const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0006", 20000);
      ASSERT_EQ(vornfirmware_nvme_download(&err, &d, image.data(), 20000, size, nullptr), 0) << err.message;
      ASSERT_EQ(vornfirmware_nvme_commit(&err, &d, 2, 1, 0, nullptr), 0) << err.message;
      EXPECT_EQ(state(drive)["pending"]["revision"], "SIMR0006");
    }
  }
}

// FWUG 0 gives no granularity information (8192 bytes are assumed), FFh means no restriction (the
// 4096-byte unit): both give the default 8192-byte size, and they part for any other default.
TEST_F(Rules, GranularityZeroIsNoInformationAndFFhNoRestriction) {
  struct Row {
    int fwug;
    uint32_t granularity, size_4096, size_12288;
  };
  const Row rows[] = {{0, 8192, 8192, 8192}, {0xFF, 4096, 4096, 12288}};
  for (const Row &row : rows) {
    SCOPED_TRACE("FWUG " + std::to_string(row.fwug));
    huld_dev &d = with("B", {{"fwug", row.fwug}}, "disk1");
    uint32_t granularity = 0, size_4096 = 0, size_12288 = 0;
    huld_error err{};
    ASSERT_EQ(vornfirmware_nvme_get_update_granularity(&err, &d, &granularity), 0) << err.message;
    ASSERT_EQ(vornfirmware_nvme_select_transfer_size(&err, &d, &size_4096, 4096), 0);
    ASSERT_EQ(vornfirmware_nvme_select_transfer_size(&err, &d, &size_12288, 12288), 0);
    EXPECT_EQ(granularity, row.granularity);
    EXPECT_EQ(size_4096, row.size_4096);
    EXPECT_EQ(size_12288, row.size_12288);
  }
}

// Refused with code 1 before any request: a zero transfer size (also for an empty image), sizes
// that block and dword counts cannot carry, images beyond the offset fields, a mode-07h image in
// pieces. An empty image with a usable size succeeds without a request.
TEST_F(Rules, DownloadsRefusedBeforeAnyCommand) {
  load();
  huld_dev &ata = dev("disk0"), &nvme = dev("disk1"), &scsi = dev("disk14");
  std::vector<uint8_t> big(0xFFFF * 512 + 1, 0);
  struct Case {
    const char *what;
    std::function<int(huld_error *)> call;
  };
  const Case refused[] = {
      {"ATA chunk 0", [&](huld_error *e) { return vornfirmware_ata_download(e, &ata, big.data(), 0, 0x0E, 0, nullptr); }},
      {"NVMe chunk 0", [&](huld_error *e) { return vornfirmware_nvme_download(e, &nvme, big.data(), 100, 0, nullptr); }},
      {"SCSI chunk 0", [&](huld_error *e) { return vornfirmware_scsi_download(e, &scsi, big.data(), 100, 0x0E, 0, nullptr); }},
      {"ATA chunk 1000", [&](huld_error *e) { return vornfirmware_ata_download(e, &ata, big.data(), 2000, 0x0E, 1000, nullptr); }},
      {"NVMe chunk 4098", [&](huld_error *e) { return vornfirmware_nvme_download(e, &nvme, big.data(), 9000, 4098, nullptr); }},
      {"ATA over 65535 blocks", [&](huld_error *e) {
         return vornfirmware_ata_download(e, &ata, big.data(), 0xFFFF * 512 + 1, 0x0E, 8192, nullptr); }},
      {"SCSI over 24 bits", [&](huld_error *e) {
         return vornfirmware_scsi_download(e, &scsi, big.data(), 0x1000000, 0x0E, 8192, nullptr); }},
      {"ATA 07h in pieces", [&](huld_error *e) { return vornfirmware_ata_download(e, &ata, big.data(), 9000, 0x07, 8192, nullptr); }},
  };
  for (const Case &c : refused) {
    SCOPED_TRACE(c.what);
    sim::trace_clear();
    huld_error err{};
    EXPECT_EQ(c.call(&err), 1);
    EXPECT_EQ(err.code, 1u);
    EXPECT_STREQ(err.file, "vornfirmware\\firmware");
    EXPECT_TRUE(sim::trace_entries().empty());
  }
  sim::trace_clear();
  huld_error err{};
  EXPECT_EQ(vornfirmware_nvme_download(&err, &nvme, big.data(), 0, 4096, nullptr), 0);
  EXPECT_TRUE(sim::trace_entries().empty());
}

// A last piece of one byte goes as one padded dword; the drive takes the whole image.
TEST_F(Rules, NvmeLastPieceIsPaddedToADword) {
  load();
  huld_dev &d = dev("disk1");
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0007", 8193);
  const auto copy = image;
  huld_error err{};
  vornfirmware_progress progress{0.0};
  ASSERT_EQ(vornfirmware_nvme_download(&err, &d, image.data(), 8193, 8192, &progress), 0) << err.message;
  EXPECT_EQ(state("B")["staged_bytes"], 8196);
  EXPECT_EQ(image, copy);
  ASSERT_EQ(vornfirmware_nvme_commit(&err, &d, 2, 1, 0, &progress), 0) << err.message;
  EXPECT_EQ(state("B")["pending"]["revision"], "SIMR0007");
}

TEST_F(Rules, ModeSupportAnswersThreeWays) {
  huld_dev &d = with("A", {{"modeE", false}}, "disk0");
  huld_error err{};
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &d, 0x03), 0);
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &d, 0x0E), -1);
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &d, 0x01), -1);
  // Activating deferred microcode (0Fh) is supported exactly when downloading it deferred is.
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &d, 0x0F), -1);
  huld_dev &deferred_only = with("A", {{"mode3", false}, {"mode7", false}}, "disk0");
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &deferred_only, 0x0F), 0);
  huld_dev &missing = with("A", {{"log_page3", "missing"}}, "disk0");
  EXPECT_EQ(vornfirmware_ata_check_download_mode_support(&err, &missing, 0x0E), 1);
  EXPECT_NE(err.code, 0u);
}

TEST_F(Rules, SafeSlotAndSlotInformation) {
  huld_error err{};
  uint8_t slot = 0;
  huld_dev &one = with("B", {{"slot1_read_only", true}, {"slots", 1}}, "disk1");
  EXPECT_EQ(vornfirmware_nvme_get_safe_firmware_slot(&err, &one, &slot), 1);
  EXPECT_STREQ(err.message, "no read/write slot exists");
  // Two slots with slot 1 read-only: slot 2 is the safe one, and the drive takes a commit there.
  huld_dev &two = with("B", {{"slot1_read_only", true}, {"slots", 2}}, "disk1");
  ASSERT_EQ(vornfirmware_nvme_get_safe_firmware_slot(&err, &two, &slot), 0) << err.message;
  EXPECT_EQ(slot, 2);
  const auto staged = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0013", 8192);
  ASSERT_EQ(vornfirmware_nvme_download(&err, &two, staged.data(), 8192, 8192, nullptr), 0) << err.message;
  EXPECT_EQ(vornfirmware_nvme_commit(&err, &two, slot, 1, 0, nullptr), 0) << err.message;
  huld_dev &four = with("B", {{"slot1_read_only", true}, {"slots", 4}}, "disk1");
  ASSERT_EQ(vornfirmware_nvme_get_safe_firmware_slot(&err, &four, &slot), 0);
  EXPECT_EQ(slot, 2);

  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0008", 20000);
  ASSERT_EQ(vornfirmware_nvme_download(&err, &four, image.data(), 20000, 8192, nullptr), 0);
  ASSERT_EQ(vornfirmware_nvme_commit(&err, &four, 2, 1, 0, nullptr), 0);
  uint8_t active = 0, next = 0;
  char text[9];
  ASSERT_EQ(vornfirmware_nvme_get_active_slot(&err, &four, &active), 0);
  ASSERT_EQ(vornfirmware_nvme_get_active_slot_after_reset(&err, &four, &next), 0);
  ASSERT_EQ(vornfirmware_nvme_get_slot_firmware_revision(&err, &four, text, sizeof text, 2), 0);
  EXPECT_EQ(active, 1);
  EXPECT_EQ(next, 2);
  EXPECT_STREQ(text, "SIMR0008");
  // Slots outside 1..7 and an empty output are refused with nothing written.
  std::strcpy(text, "kept");
  for (uint8_t bad : {0, 8}) EXPECT_EQ(vornfirmware_nvme_get_slot_firmware_revision(&err, &four, text, sizeof text, bad), 1);
  EXPECT_EQ(vornfirmware_nvme_get_slot_firmware_revision(&err, &four, text, 0, 1), 1);
  EXPECT_EQ(vornfirmware_get_current_firmware_revision(&err, &four, text, 0), 1);
  EXPECT_STREQ(text, "kept");
}

// The library download flow over ATA: mode 07h when neither offsets mode is supported, the whole
// image in one command, and refused when the drive's maximum is smaller than the image.
TEST_F(Rules, LibraryDownloadChoosesTheAtaMode) {
  const auto image = sim::make_test_image(sim::ImageTarget::Ata, "SIMR0009", 20000);
  huld_error err{};
  huld_dev &d = with("A", {{"modeE", false}, {"mode3", false}}, "disk0");
  ASSERT_EQ(vornfirmware_download(&err, &d, image.data(), 20000, nullptr), 0) << err.message;
  EXPECT_EQ(sim::storage_drive("A").ata->command_count(0x92), 1u);
  EXPECT_EQ(current(d), "SIMR0009");

  huld_dev &small = with("A", {{"modeE", false}, {"mode3", false}, {"log_max_blocks", 8}}, "disk0");
  EXPECT_EQ(vornfirmware_download(&err, &small, image.data(), 20000, nullptr), 1);
  EXPECT_STREQ(err.message, "image does not fit one DOWNLOAD MICROCODE command for mode 7h");
  EXPECT_STREQ(err.function, "vornfirmware_download");
  EXPECT_EQ(sim::storage_drive("A").ata->command_count(0x92), 0u);

  // Offsets with deferred activation: the image waits for 0Fh.
  huld_dev &deferred = with("A", {{"log_min_blocks", 0}}, "disk0");
  ASSERT_EQ(vornfirmware_download(&err, &deferred, image.data(), 20000, nullptr), 0) << err.message;
  EXPECT_EQ(current(deferred), "SIM10001");
  EXPECT_EQ(state("A")["pending"]["revision"], "SIMR0009");
}

// On a route that hands the commit action to the drive (the maker's driver), with a drive that can
// activate without a reset: CA 1 leaves the image for the next reset, CA 3 runs it at once; the
// library's own update flow and activation commit with CA 1.
TEST_F(Rules, CommitActionsOneAndThreeAreToldApart) {
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0014", 20000);
  huld_error err{};
  huld_dev &d = with("C", {{"activation_without_reset", true}}, "disk2");
  ASSERT_EQ(vornfirmware_nvme_download(&err, &d, image.data(), 20000, 8192, nullptr), 0) << err.message;
  ASSERT_EQ(vornfirmware_nvme_commit(&err, &d, 2, 1, 0, nullptr), 0) << err.message;
  EXPECT_EQ(current(d), "SIM10001");
  EXPECT_EQ(state("C")["pending"]["revision"], "SIMR0014");
  ASSERT_EQ(vornfirmware_nvme_download(&err, &d, image.data(), 20000, 8192, nullptr), 0) << err.message;
  ASSERT_EQ(vornfirmware_nvme_commit(&err, &d, 2, 3, 0, nullptr), 0) << err.message;
  EXPECT_EQ(current(d), "SIMR0014");

  huld_dev &flow = with("C", {{"activation_without_reset", true}}, "disk2");
  ASSERT_EQ(vornfirmware_update(&err, &flow, nullptr, image.data(), 20000), 0) << err.message;
  EXPECT_EQ(current(flow), "SIM10001");
  ASSERT_EQ(vornfirmware_nvme_download(&err, &flow, image.data(), 20000, 8192, nullptr), 0) << err.message;
  ASSERT_EQ(vornfirmware_activate(&err, &flow, nullptr), 0) << err.message;
  EXPECT_EQ(current(flow), "SIM10001");
  EXPECT_EQ(state("C")["pending"]["slot"], 1);
}

// The library update flow by interface, activation by interface, and devices of no interface.
TEST_F(Rules, LibraryUpdateFlows) {
  huld_error err{};
  vornfirmware_progress progress{-1.0};
  // ATA without 0Eh: the deferred download fails, the fallback with offsets activates at once.
  huld_dev &ata = with("A", {{"modeE", false}}, "disk0");
  const auto ata_image = sim::make_test_image(sim::ImageTarget::Ata, "SIMR0010", 20000);
  ASSERT_EQ(vornfirmware_update(&err, &ata, &progress, ata_image.data(), 20000), 0) << err.message;
  EXPECT_EQ(progress.load(), 1.0);
  EXPECT_EQ(current(ata), "SIMR0010");
  // Four reads of the capabilities page: the two transfer limits, then both modes (0Fh is asked
  // even though 0Eh already answered).
  EXPECT_EQ(sim::storage_drive("A").ata->command_count(0x2F), 4u);

  load();
  const auto nvme_image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0011", 20000);
  ASSERT_EQ(vornfirmware_update(&err, &dev("disk1"), &progress, nvme_image.data(), 20000), 0) << err.message;
  EXPECT_EQ(state("B")["pending"]["revision"], "SIMR0011");

  const auto scsi_image = sim::make_test_image(sim::ImageTarget::Scsi, "SIMR0012", 20000);
  ASSERT_EQ(vornfirmware_update(&err, &dev("disk14"), &progress, scsi_image.data(), 20000), 0) << err.message;
  EXPECT_EQ(revision("S2"), "0012");

  // NVMe activation without a flow commits slot 1, to run at the next reset.
  ASSERT_EQ(vornfirmware_nvme_download(&err, &dev("disk1"), nvme_image.data(), 20000, 8192, &progress), 0);
  ASSERT_EQ(vornfirmware_activate(&err, &dev("disk1"), &progress), 0) << err.message;
  EXPECT_EQ(state("B")["pending"]["slot"], 1);

  // A device in no interface class.
  huld_dev hub{};
  hub.iface = WINDOWS_USB_HUB;
  std::strcpy(hub.name, "hub0");
  char text[41];
  EXPECT_EQ(vornfirmware_update(&err, &hub, &progress, scsi_image.data(), 20000), 1);
  EXPECT_STREQ(err.message, "Unrecognized device interface for device hub0\n");
  EXPECT_EQ(vornfirmware_activate(&err, &hub, &progress) + vornfirmware_download(&err, &hub, scsi_image.data(), 20000, &progress) +
                vornfirmware_get_current_firmware_revision(&err, &hub, text, sizeof text), 3);
  EXPECT_EQ(err.code, static_cast<uint32_t>(HULD_ERROR_NOT_SUPPORTED));
  EXPECT_STREQ(err.message, "unsupported device interface");
}

// Leaves `byte` in a stretch of the stack that the next call's frame reuses.
[[gnu::noinline]] void paint_stack(uint8_t byte) {
  volatile uint8_t area[32768];
  for (size_t i = 0; i < sizeof area; ++i) area[i] = byte;
}

// The Intel RSTe request carries the caller's data area also for a command from the drive: the
// library's readers hand it zeroed buffers, so what they send is the same in every run and holds
// nothing left on the stack (the request trace's digests stay the same).
TEST_F(Rules, ReadersSendNoStaleBytesInTheDataAreaOfTheirRequests) {
  load();
  huld_dev &rste = dev("rstep10.6.0");
  huld_error err{};
  uint32_t size = 0;
  uint8_t slot = 0;
  char text[16];
  sim::trace_clear();
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_nvme_get_transfer_size(&err, &rste, &size), 0) << err.message;
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_nvme_get_safe_firmware_slot(&err, &rste, &slot), 0) << err.message;
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_get_current_firmware_revision(&err, &rste, text, sizeof text), 0) << err.message;
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_nvme_get_active_slot(&err, &rste, &slot), 0) << err.message;
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_nvme_get_active_slot_after_reset(&err, &rste, &slot), 0) << err.message;
  paint_stack(0xA5);
  EXPECT_EQ(vornfirmware_nvme_get_slot_firmware_revision(&err, &rste, text, sizeof text, 1), 0) << err.message;

  const auto requests = sim::trace_entries_for(0x0004D008);  // IOCTL_SCSI_MINIPORT
  ASSERT_EQ(requests.size(), 6u);
  for (const sim::TraceEntry &r : requests) {
    ASSERT_GT(r.input.size(), 152u);
    const size_t nonzero = std::count_if(r.input.begin() + 152, r.input.end(), [](uint8_t b) { return b != 0; });
    EXPECT_EQ(nonzero, 0u) << "opcode " << int(r.input.at(52)) << " sent " << nonzero << " bytes the drive is to fill";
  }
}

}  // namespace

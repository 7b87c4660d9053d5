// The library's own update flows: how the ATA flow shares its progress between the download and
// what follows it, and where the NVMe flow commits its image.
#include "firmware/firmware_support.h"

#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"

using namespace fwtest;

namespace {

constexpr uint32_t kSize = 20000;  // pieces 8192, 8192, 3616

// The progress after `bytes` of the image in a span that starts at `base` and is `weight` wide.
double at(double base, double weight, uint32_t bytes) {
  return base + weight * static_cast<double>(bytes) / kSize;
}

class LibraryUpdate : public FirmwareTest {};

// Deferred download and activation both supported: no fallback, the download takes 95 % and the
// activation the rest. Support that the drive cannot tell (no capabilities page) allows the
// fallback: the deferred download takes the first half; when it fails at its second piece, the
// download with offsets runs over the second half and nothing is activated afterwards.
TEST_F(LibraryUpdate, AtaProgressSharesDependOnWhetherAFallbackIsAllowed) {
  const auto image = sim::make_test_image(sim::ImageTarget::Ata, "SIMR0020", kSize);
  struct Case {
    const char *what;
    nlohmann::json fields;
    bool fail_second_deferred_piece;
    std::vector<double> seen;  // at each request: transfer limits, modes, pieces, activation
    uint32_t activations;
  };
  const Case cases[] = {
      {"supported", nlohmann::json::object(), false,
       {0.0, at(0, 0.95, 8192), at(0, 0.95, 16384), at(0, 0.95, kSize)}, 1},
      {"unclear", {{"log_page3", "missing"}}, false,
       {0.0, at(0, 0.5, 8192), at(0, 0.5, 16384), at(0, 0.5, kSize)}, 1},
      {"unclear, deferred download fails", {{"log_page3", "missing"}}, true,
       {0.0, at(0, 0.5, 8192), at(0.5, 0.5, 8192), at(0.5, 0.5, 16384)}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    huld_dev &d = with("A", c.fields, "disk0");
    if (c.fail_second_deferred_piece) {
      sim::AtaFaultRule f;
      f.command = 0x92;
      f.feature = 0x0E;
      f.when = sim::FaultWhen{2, 1};
      f.status = 0x51;
      sim::storage_drive("A").ata->add_fault(f);
    }
    vornfirmware_progress progress{0.0};
    huld_error err{};
    {
      ProgressSampler sampler(&progress);
      ASSERT_EQ(vornfirmware_update(&err, &d, &progress, image.data(), kSize), 0) << err.message;
      EXPECT_EQ(sampler.seen, c.seen);
    }
    EXPECT_EQ(progress.load(), 1.0);
    EXPECT_EQ(current(d), "SIMR0020");
    EXPECT_EQ(sim::storage_drive("A").ata->command_count(0x92),
              (c.fail_second_deferred_piece ? 2u + 3u : 3u) + c.activations);
  }
}

// Slot 1 read-only: the flow commits into the safe slot 2, where the image waits for the next
// reset. With one read-only slot there is no safe slot: the flow tries slot 1, which the drive
// refuses, and the update fails.
TEST_F(LibraryUpdate, NvmeCommitsIntoTheSafeSlot) {
  const auto image = sim::make_test_image(sim::ImageTarget::Nvme, "SIMR0021", kSize);
  huld_error err{};
  huld_dev &two = with("B", {{"slot1_read_only", true}, {"slots", 2}}, "disk1");
  ASSERT_EQ(vornfirmware_update(&err, &two, nullptr, image.data(), kSize), 0) << err.message;
  EXPECT_EQ(state("B")["pending"]["slot"], 2);
  EXPECT_EQ(state("B")["pending"]["revision"], "SIMR0021");

  huld_dev &one = with("B", {{"slot1_read_only", true}, {"slots", 1}}, "disk1");
  EXPECT_EQ(vornfirmware_update(&err, &one, nullptr, image.data(), kSize), 1);
  EXPECT_NE(err.code, 0u);
  EXPECT_TRUE(state("B")["pending"].is_null());
  EXPECT_EQ(state("B")["revision"], "SIM10001");
}

}  // namespace

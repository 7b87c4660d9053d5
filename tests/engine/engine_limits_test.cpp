// Whole runs against the limits of the path to a drive: a drive whose smallest DOWNLOAD MICROCODE
// segment is more than its adapter carries.
#include <gtest/gtest.h>

#include "engine_case.h"

namespace {

using namespace enginetest;
using sim::ImageTarget;

constexpr uint32_t kUpdated = 5, kFailed = 6;

// A SATA drive on Windows 8.1 (DOWNLOAD MICROCODE through ATA pass-through) that takes segments of
// 512 blocks at least: the port refuses such a piece under the default 128 KiB MaximumTransferLength,
// so the run reports the drive failed and the drive never sees a piece; an adapter that carries
// 1 MiB lets the same run update it.
TEST(EngineLimits, SegmentsAboveTheAdaptersMaximumTransferLengthFailTheDrive) {
  const std::string sata = ata_disk("sata0", "ahci", 0, "CORVANE CVS-256", "CS100001", R"(, "log_min_blocks": 512)");
  const std::string wide = R"({"id": "ahci", "personality": "inbox_ahci", "port": 1,
                               "knobs": {"max_transfer_length": 1048576}})";
  for (const auto &[adapter, state] : {std::pair{std::string(kInboxAhci), kFailed}, std::pair{std::string(wide), kUpdated}}) {
    SCOPED_TRACE(adapter);
    const Outcome out = run({machine("win81", {adapter}, {sata}), {},
                             {{"fw.img", image(ImageTarget::Ata, "CS100002", 300000)}},
                             "/s /FIA /T:\\\\.\\PhysicalDrive0 /D:{dir}/fw.img"});
    ASSERT_EQ(out.failure, "") << out.log;
    EXPECT_EQ(out.states.at(0).second, state) << out.log;
    EXPECT_EQ(out.drive("@sata0")["revision"], state == kUpdated ? "CS100002" : "CS100001");
    EXPECT_EQ(out.drive("@sata0")["staged_bytes"], 0);
  }
}

}  // namespace

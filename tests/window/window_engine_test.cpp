// A whole window run of the generic variant with the real update engine on a simulated machine:
// both Start buttons pressed together, the SATA drive refusing every download.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/run_outputs.h"
#include "tests/engine/engine_case.h"
#include "tests/orbu/run_harness.h"

namespace {

using namespace enginetest;

TEST(WindowEngineRun, TwoStartsSideBySideWithOneDriveFailing) {
  pkgtest::bytes records = pkgtest::monb_record("CORVANE CVN-512", "CN100001", "CN100002", "n.img");
  const pkgtest::bytes ata = pkgtest::monb_record("CORVANE CVS-256", "CS100001", "CS100002", "a.img");
  records.insert(records.end(), ata.begin(), ata.end());
  const enginetest::Run spec(
      machine("win10", {kInboxNvme, kInboxAhci},
              {nvme_disk("nvme0", "nvme", 0, "CORVANE CVN-512", "CN100001",
                         R"(, "activation": "commit")"),
               ata_disk("sata0", "ahci", 1, "CORVANE CVS-256", "CS100001")},
              {R"({"drive": 1, "ata_command": "0x92", "action": {"status": "0x51", "error": 4}})"}),
      pkgtest::fwconfig(1, 2, records),
      {{"n.img", image(sim::ImageTarget::Nvme, "CN100002")},
       {"a.img", image(sim::ImageTarget::Ata, "CS100002")}},
      "", [] {
        sim::load_ui_section(nlohmann::json::array(
            {{{"click", 0}}, {{"click", 1}},
             {{"click", "Exit"}, {"when", {{"text", "Firmware update FAILED."}}}}}));
        sim::start_ui_script();
      });
  const Outcome out = enginetest::run(spec);
  ASSERT_EQ(out.failure, "");
  EXPECT_EQ(out.drive("@nvme0")["revision"], "CN100002");
  EXPECT_EQ(out.drive("@sata0")["revision"], "CS100001");
  EXPECT_EQ(out.summary, "0/1/1/0");
  EXPECT_EQ(out.exit_code, 2);  // generic: partly successful
  EXPECT_EQ(orbu_test::find_in_order(
                out.log, {"Button clicked - 0000h.",
                          "Disabling Exit button and Close control during update.",
                          "Button clicked - 0001h.",
                          "operation result: Firmware update FAILED.",
                          "Enabling Exit button and Close control now that updates are complete.",
                          "Button clicked - 0063h.", "Update application complete."}),
            "")
      << out.log;
  EXPECT_NE(out.log.find("operation result: Firmware update to revision CN100002 successful."),
            std::string::npos);
}

}  // namespace

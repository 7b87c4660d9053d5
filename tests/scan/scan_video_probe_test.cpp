// A video device that the enumeration kept but whose probe fails: the probe binds the device's
// filter again, and a device whose bind fails then is left out of the scan list, whichever it is.
#include "platform/win32.h"
#include "scan_fixture.h"
#include "sim/faults.h"
#include "support/log_capture.h"

namespace {

using testsupport::captured_log;

class ScanVideoProbe : public ScanTest {
 protected:
  testsupport::log_capture log_{HULD_LOG_DEBUG};
  static int fail_bind(sim::FaultCount count) {
    sim::FaultRule rule;
    rule.match.op = sim::FaultOp::other;
    rule.match.keys = {{"api", "com"}, {"function", "BindToObject"}};
    rule.match.count = count;
    rule.action = sim::FaultAction::fail_with(0x80070005);
    return sim::add_fault(rule);
  }
  std::vector<std::string> video_names() const {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list_->count; ++i)
      if (huld_dev_is_uvc(&list_->devices[i])) out.emplace_back(list_->devices[i].name);
    return out;
  }
};

TEST_F(ScanVideoProbe, ADeviceWhoseProbeCannotBindIsDropped) {
  load_file("ref1");
  with_com();
  // The binds of the enumeration alone, counted by a rule that never fires (a scan without probes).
  const int counter = fail_bind(sim::FaultCount::at(1000000));
  vornscan_scan(list_, 0);
  const uint32_t enumeration_binds = sim::fault_seen(counter);
  sim::remove_fault(counter);
  release();
  vornscan_scan(list_, 1);
  ASSERT_EQ(video_names(), (std::vector<std::string>{"SimCam A", "SimCam C"}));
  const uint32_t others = list_->count - 2;
  release();

  const char *names[] = {"SimCam A", "SimCam C"};
  for (uint32_t probe = 0; probe < 2; ++probe) {
    SCOPED_TRACE(names[probe]);
    captured_log().clear();
    const int rule = fail_bind(sim::FaultCount::at(enumeration_binds + probe + 1));
    vornscan_scan(list_, 1);
    EXPECT_EQ(sim::fault_fired(rule), 1u);
    EXPECT_EQ(video_names(), std::vector<std::string>{names[1 - probe]});
    EXPECT_EQ(list_->count, others + 1);
    EXPECT_NE(captured_log().find(std::string("device ") + names[probe] + " failed probe - discard\n"),
              std::string::npos);
    sim::remove_fault(rule);
    release();
  }
}

}  // namespace

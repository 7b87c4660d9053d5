// LED effects by storage-device kind: matching storage devices to LED devices, reading the current
// effect back, and the calls each kind makes.
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "support/huld_error_line.h"
#include "tests/wincom_led/led_fixture.h"
#include "tests/wincom_led/led_records.h"

namespace {

using ledtest::capability;
using ledtest::json;
using ledtest::server;

class LedEffects : public ledtest::LedTest {
 protected:
  void SetUp() override {
    LedTest::SetUp();
    sata_.scsi_address.PortNumber = 3;
  }
  // One LED device per kind: quillan on SCSI port 3, pembrok for disk 3, jarn for USB 1234h:5678h.
  void standard(const json &extra = json::object()) {
    machine({{"jarn", server({capability("\\\\?\\usb#vid_1234&pid_5678", "0,0,0,0,0,a"),
                              capability("\\\\.\\PHYSICALDRIVE3", "0,0,0,0,0,0x2f,9", "ff:80:00")})},
             {"quillan", server({capability("\\\\.\\SCSI3:", "1,2,3,4,5", "01:02:03")})}},
            true, true, extra);
    ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
    sim::clear_led_hal_calls();
  }
  sim::LedHalCall last_call() const {
    std::vector<sim::LedHalCall> calls = sim::led_hal_calls();
    return calls.empty() ? sim::LedHalCall{} : calls.back();
  }

  ledtest::LedRecords records_;
  huld_dev &nvme_ = records_.nvme;
  huld_dev &disk3_ = records_.disk3;
  huld_dev &hub_ = records_.hub;
  huld_dev sata_ = ledtest::led_record("disk5", WINDOWS_ATA);
};

TEST_F(LedEffects, EachKindFindsItsDeviceByItsOwnPathForm) {
  standard();
  uint32_t present = 9;
  EXPECT_EQ(0, vornwincom_quillan_hal_check_dev_capability(&err_, &nvme_, &present));
  EXPECT_EQ(1u, present);
  EXPECT_EQ(0, vornwincom_pembrok_hal_check_dev_capability(&err_, &disk3_, &present));
  EXPECT_EQ(0, vornwincom_jarn_hal_check_dev_capability(&err_, &hub_, &present));
  EXPECT_TRUE(logged("check vid1234/pid5678h vs. dev usbhub0\n"));

  // A SATA disk on the same port is no quillan device; disk 5 and an unlisted USB id match nothing.
  EXPECT_EQ(1, vornwincom_quillan_hal_check_dev_capability(&err_, &sata_, &present));
  EXPECT_EQ(0u, present);
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function quillan_hal_device_from_huld_dev message "
            "no hal device for target huld dev\n",
            error_line(err_));
  EXPECT_TRUE(logged("failed to capture quillan hal dev capability\n"));
  EXPECT_EQ(1, vornwincom_pembrok_hal_check_dev_capability(&err_, &sata_, &present));
  hub_.usb_entries[0].pid = 0x5679;
  EXPECT_EQ(1, vornwincom_jarn_hal_check_dev_capability(&err_, &hub_, &present));
  EXPECT_STREQ("jarn_hal_device_from_huld_dev", err_.function);
}

TEST_F(LedEffects, PathsThatMustNotMatch) {
  // Pembrok compares exactly; the jarn pattern's literal part is lower case; ids beyond 16 bits never match.
  hub_.usb_entries[0].vid = 0x1234;
  machine({{"jarn", server({capability("\\\\.\\physicaldrive3"), capability("\\\\?\\USB#VID_1234&PID_5678"),
                            capability("\\\\?\\usb#vid_11234&pid_5678")})}});
  ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  uint32_t present = 9;
  EXPECT_EQ(1, vornwincom_pembrok_hal_check_dev_capability(&err_, &disk3_, &present));
  EXPECT_EQ(1, vornwincom_jarn_hal_check_dev_capability(&err_, &hub_, &present));
  EXPECT_TRUE(logged("did not detect VID/PID from device\n"));
  EXPECT_TRUE(logged("check vid11234/pid5678h vs. dev usbhub0\n"));
  EXPECT_FALSE(logged("match!"));
}

TEST_F(LedEffects, TheFirstMatchingKeyWins) {
  // Both devices name SCSI port 3; the jarn server's is enumerated first, but the quillan
  // server's "\\.\SCSI3:" comes first in the map's byte order.
  machine({{"jarn", server({capability("\\\\.\\scsi3:")})}, {"quillan", server({capability("\\\\.\\SCSI3:")})}});
  ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  sim::clear_led_hal_calls();
  ASSERT_EQ(0, vornwincom_quillan_reset_effect(&err_, &nvme_)) << error_line(err_);
  EXPECT_EQ("quillan", last_call().server);
}

TEST_F(LedEffects, ReadEffectTakesFieldSixAndTheColoursOneThreeTwo) {
  standard();
  uint8_t effect = 0, c1 = 0, c2 = 0, c3 = 0;
  ASSERT_EQ(0, vornwincom_pembrok_read_effect(&err_, &disk3_, &effect, &c1, &c2, &c3));
  EXPECT_EQ((std::vector<uint8_t>{0x2F, 0xFF, 0x00, 0x80}), (std::vector<uint8_t>{effect, c1, c2, c3}));
  EXPECT_TRUE(logged("split[5]: 0x2f\nstoi: 47\neffect_id: 47\n"));

  // Five fields: nothing is written.
  effect = 0x55;
  EXPECT_EQ(1, vornwincom_quillan_read_effect(&err_, &nvme_, &effect, &c1, &c2, &c3));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_quillan_read_effect message "
            "fw info from quillan HAL invalid 1,2,3,4,5\n",
            error_line(err_));
  EXPECT_EQ(0x55, effect);
}

TEST_F(LedEffects, ReadEffectRefusesFieldsThatAreNoNumbers) {
  struct Case {
    const char *fwinfo, *color, *message;
  } cases[] = {
      {"0,0,0,0,0,zz", "1:2:3", "fw info from jarn HAL invalid 0,0,0,0,0,zz\n"},
      {"0,0,0,0,0,ffffffff", "1:2:3", "fw info from jarn HAL invalid 0,0,0,0,0,ffffffff\n"},
      {"0,0,0,0,0,7", "1:2", "dev color from jarn HAL invalid 1:2\n"},
      {"0,0,0,0,0,7", "1:-:3", "dev color from jarn HAL invalid 1:-:3\n"},
  };
  for (const Case &c : cases) {
    machine({{"jarn", server({capability("\\\\?\\usb#vid_1234&pid_5678", c.fwinfo, c.color)})}});
    ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
    uint8_t effect = 0, c1 = 0, c2 = 0, c3 = 0;
    EXPECT_EQ(1, vornwincom_jarn_read_effect(&err_, &hub_, &effect, &c1, &c2, &c3));
    EXPECT_STREQ(c.message, err_.message);
  }
  // The effect read before a bad colour stays.
  uint8_t effect = 0, c1 = 0, c2 = 0, c3 = 0;
  vornwincom_jarn_read_effect(&err_, &hub_, &effect, &c1, &c2, &c3);
  EXPECT_EQ(7, effect);
  EXPECT_EQ(1, c1);
}

TEST_F(LedEffects, SetEffectPutsOneColourOnEveryLed) {
  standard();
  ASSERT_EQ(0, vornwincom_quillan_set_effect(&err_, &nvme_, 1, 0x11, 0x22, 0x33, 5, 6));
  sim::LedHalCall c = last_call();
  EXPECT_EQ("SetEffect", c.method);
  EXPECT_EQ(1u, c.effect);
  EXPECT_EQ(std::vector<uint32_t>(16, 0x332211), c.colours);

  ASSERT_EQ(0, vornwincom_jarn_set_effect(&err_, &hub_, 2, 0xAA, 0, 0, 5, 6));
  c = last_call();
  EXPECT_EQ("SetEffectEx", c.method);
  EXPECT_EQ(std::vector<uint32_t>(4, 0xAA), c.colours);
  EXPECT_EQ(5u, c.value_a);
  EXPECT_EQ(6u, c.value_b);
}

TEST_F(LedEffects, ZonedEffectFillsEachZone) {
  standard();
  const uint32_t words[5] = {99, 1, 2, 3, 4};
  ASSERT_EQ(0, vornwincom_pembrok_set_zoned_effect(&err_, &disk3_, words));
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 2, 2, 3, 3, 4, 4}), last_call().colours);
  ASSERT_EQ(0, vornwincom_jarn_set_zoned_effect(&err_, &hub_, words));
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4}), last_call().colours);
  ASSERT_EQ(0, vornwincom_quillan_set_zoned_effect(&err_, &nvme_, words));
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4}), last_call().colours);
}

TEST_F(LedEffects, ResetAndSaveMakeEachKindsCall) {
  standard();
  ASSERT_EQ(0, vornwincom_quillan_reset_effect(&err_, &nvme_));
  EXPECT_EQ("SetConfig", last_call().method);
  EXPECT_EQ(0u, last_call().value_a);
  ASSERT_EQ(0, vornwincom_jarn_save_effect(&err_, &hub_));
  EXPECT_EQ(1u, last_call().value_a);
  ASSERT_EQ(0, vornwincom_pembrok_reset_effect(&err_, &disk3_));
  EXPECT_EQ(0xC1u, last_call().effect);
  EXPECT_TRUE(last_call().colours_null);
  ASSERT_EQ(0, vornwincom_pembrok_save_effect(&err_, &disk3_));
  EXPECT_EQ(0xC0u, last_call().effect);
  for (const char *line : {"ldev->SetConfig 0\n", "ldev->SetConfig 1\n", "ldev->SetEffect 0xC1\n", "ldev->SetEffect 0xC0\n"})
    EXPECT_TRUE(logged(line)) << line;
}

TEST_F(LedEffects, RefusedCallsFail) {
  standard({{"faults", {{{"api", "com"}, {"function", "SetConfig"}, {"error", "E_FAIL"}},
                        {{"api", "com"}, {"function", "SetEffect"}, {"error", "E_INVALIDARG"}},
                        {{"api", "com"}, {"function", "SetEffectEx"}, {"error", "E_FAIL"}},
                        {{"api", "com"}, {"function", "GetCapability"}, {"count", {{"from", 4}}}, {"error", "E_FAIL"}}}}});
  EXPECT_EQ(1, vornwincom_quillan_save_effect(&err_, &nvme_));
  EXPECT_EQ(0x80004005u, err_.subcode);
  EXPECT_EQ(1, vornwincom_pembrok_reset_effect(&err_, &disk3_));
  EXPECT_EQ(0x80070057u, err_.subcode);
  EXPECT_EQ(1, vornwincom_jarn_set_effect(&err_, &hub_, 3, 1, 2, 3, 0, 0));
  EXPECT_STREQ("vornwincom_jarn_set_effect", err_.function);
  uint8_t effect = 0, c1 = 0, c2 = 0, c3 = 0;
  EXPECT_EQ(1, vornwincom_jarn_read_effect(&err_, &hub_, &effect, &c1, &c2, &c3));
  EXPECT_TRUE(logged("failed to get device capability\n"));
}

TEST_F(LedEffects, LockFailuresAndMissingArguments) {
  standard({{"app", {{"fail_mutex_wait_from", 2}}}});
  EXPECT_EQ(1, vornwincom_pembrok_set_effect(&err_, &disk3_, 1, 0, 0, 0, 0, 0));
  EXPECT_STREQ("failed to synchronize ldev map operations", err_.message);
  uint32_t present = 9;
  EXPECT_EQ(1, vornwincom_quillan_hal_check_dev_capability(&err_, &nvme_, &present));
  EXPECT_STREQ("failed to synchronize ldev map operations\n", err_.message);
  EXPECT_EQ(9u, present);
  EXPECT_TRUE(sim::led_hal_calls().empty());

  // Checked before any lock is taken.
  uint8_t b = 0;
  EXPECT_EQ(1, vornwincom_jarn_read_effect(&err_, &hub_, &b, nullptr, &b, &b));
  EXPECT_EQ(1, vornwincom_quillan_set_zoned_effect(&err_, &nvme_, nullptr));
  EXPECT_EQ(1, vornwincom_pembrok_save_effect(&err_, nullptr));
  EXPECT_EQ(1, vornwincom_jarn_hal_check_dev_capability(&err_, &hub_, nullptr));
  EXPECT_STREQ("null argument to vornwincom_jarn_hal_check_dev_capability\n", err_.message);
}

TEST_F(LedEffects, AnEmptyMapHasNoDeviceForAnyKind) {
  machine(json::object(), false, false);
  ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  uint32_t present = 9;
  EXPECT_EQ(1, vornwincom_jarn_hal_check_dev_capability(&err_, &hub_, &present));
  EXPECT_EQ(0u, present);
  EXPECT_EQ(1, vornwincom_pembrok_reset_effect(&err_, &disk3_));
  EXPECT_STREQ("no hal device for target huld dev\n", err_.message);
  uint8_t b = 0;
  EXPECT_EQ(1, vornwincom_quillan_read_effect(&err_, &nvme_, &b, &b, &b, &b));
  EXPECT_TRUE(logged("failed to get HAL from huld dev\n"));
}

}  // namespace

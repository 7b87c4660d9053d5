// A machine with the LED HAL servers, COM in the test thread's MTA, and the library's log captured.
// Every test ends with the LED device map emptied (an enumeration on a machine without servers),
// so that the resource check sees every LED device released.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/led_hal.h"
#include "sim/machine.h"
#include "support/log_capture.h"
#include "support/resource_check.h"
#include "vornwincom/LedDevice.h"
#include "vornwincom/LedDeviceMap.h"
#include "vornwincom/vornwincom_led.h"

namespace ledtest {

using json = nlohmann::json;

// A capability document naming `path` (its '&' escaped).
inline std::string capability(std::string path, const std::string &fwinfo = "1,2,3,4,5,2f",
                               const std::string &color = "ff:80:00") {
  for (size_t at = path.find('&'); at != std::string::npos; at = path.find('&', at + 1)) path.insert(at + 1, "amp;");
  return "<caps><device><name>LED</name><id>7</id><instancepath>" + path + "</instancepath><fwinfo>" +
         fwinfo + "</fwinfo><dev_color>" + color + "</dev_color></device></caps>";
}

// A HAL server entry of the "led_hal" section with devices of these capabilities.
inline json server(std::initializer_list<json> capabilities) {
  json devices = json::array();
  for (const json &c : capabilities) devices.push_back({{"capability", c}});
  return {{"devices", devices}};
}

inline std::string hal_key(const char *clsid) { return std::string("HKCR\\") + LED_HAL_KEY_PREFIX + clsid; }

class LedTest : public ::testing::Test {
 protected:
  void TearDown() override {
    sim::reset_machine();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    huld_error e{};
    EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&e));
    EXPECT_TRUE(ldev_map.empty());
    CoUninitialize();
  }
  // Loads (with COM in the MTA) a machine whose "led_hal" section is `hal`, with both servers' keys unless told
  // otherwise, and `extra` top-level sections (faults, app knobs).
  void machine(const json &hal, bool jarn_key = true, bool quillan_key = true, const json &extra = json::object()) {
    json m = {{"led_hal", hal}, {"registry", json::array()}};
    if (jarn_key) m["registry"].push_back({{"key", hal_key(LED_HAL_JARN_CLSID_TEXT)}});
    if (quillan_key) m["registry"].push_back({{"key", hal_key(LED_HAL_QUILLAN_CLSID_TEXT)}});
    m.update(extra);
    sim::load_machine_json(m.dump());  // leaves every thread without COM
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    testsupport::captured_log().clear();
  }
  // Loads `hal` and enumerates.
  void enumerate(const json &hal) {
    machine(hal);
    huld_error e{};
    ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&e));
  }
  bool logged(const std::string &text) const { return log_.text().find(text) != std::string::npos; }

  huld_error err_{};

 private:
  testsupport::log_capture log_{HULD_LOG_DEBUG};
};

}  // namespace ledtest

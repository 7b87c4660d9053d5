// The LED functions end to end on Windows (run under Wine): the stand-in HAL servers of
// fake_led_hal.dll, registered in the test's prefix, enumerated and driven through the library's
// flat functions. Prints each failed check and exits with 1 when any failed.
#include <cstdio>
#include <string>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "platform/win32.h"
#include "tests/wincom_led/led_records.h"
#include "vornwincom/LedDeviceMap.h"
#include "vornwincom/vornwincom_led.h"

namespace {

int g_failed = 0;
int g_checks = 0;

void check(bool ok, const std::string &what) {
  ++g_checks;
  if (!ok) {
    ++g_failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

template <class T>
T server_function(const char *name) {
  HMODULE dll = GetModuleHandleA("fake_led_hal.dll");
  return dll ? reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(dll, name))) : nullptr;
}

// The server's call log since the last look.
std::string calls() {
  static size_t seen = 0;
  auto get = server_function<int (*)(char *, int)>("FakeLedHalCalls");
  if (!get) return "(no server loaded)";
  std::string all(static_cast<size_t>(get(nullptr, 0)) + 1, '\0');
  get(all.data(), static_cast<int>(all.size()));
  all.resize(all.size() - 1);
  std::string fresh = all.substr(seen);
  seen = all.size();
  return fresh;
}

LONG live() {
  auto get = server_function<LONG (*)()>("FakeLedHalLive");
  return get ? get() : -1;
}

void expect_calls(const std::string &want, const char *what) {
  std::string got = calls();
  check(got == want, std::string(what) + ": calls\n" + got + "expected\n" + want);
}

std::string repeat(const char *word, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s.push_back(',');
    s.append(word);
  }
  return s;
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::printf("FAIL: COM could not be initialised\n");
    return 1;
  }
  huld_error err{};
  check(vornwincom_enumerate_hal_led_devs(&err) == 0, "enumeration");
  check(live() == 3, "three devices kept, the namesake and both servers released: live " + std::to_string(live()));
  check(ldev_map.size() == 3, "three paths in the map");

  // The capability text arrives as UTF-8.
  auto usb = ldev_map.find("\\\\?\\usb#vid_1234&pid_5678");
  led_capability cap;
  check(usb != ldev_map.end() && get_device_capability(&err, usb->second, &cap) == 0, "capability read");
  check(cap.name == "Caf\xC3\xA9", "name read as UTF-8: " + cap.name);
  check(cap.led_count == 4 && cap.led_names.size() == 2, "layout read");

  ledtest::LedRecords records;
  huld_dev &nvme = records.nvme;
  huld_dev &disk = records.disk3;
  huld_dev &hub = records.hub;
  uint32_t present = 0;
  check(vornwincom_quillan_hal_check_dev_capability(&err, &nvme, &present) == 0 && present == 1, "quillan check");
  check(vornwincom_pembrok_hal_check_dev_capability(&err, &disk, &present) == 0 && present == 1, "pembrok check");
  check(vornwincom_jarn_hal_check_dev_capability(&err, &hub, &present) == 0 && present == 1, "jarn check");

  uint8_t effect = 0, c1 = 0, c2 = 0, c3 = 0;
  check(vornwincom_pembrok_read_effect(&err, &disk, &effect, &c1, &c2, &c3) == 0 && effect == 0x2F && c1 == 0xFF &&
            c2 == 0x00 && c3 == 0x80,
        "pembrok read effect");
  calls();

  check(vornwincom_quillan_set_effect(&err, &nvme, 1, 0x11, 0x22, 0x33, 0, 0) == 0, "quillan set effect");
  expect_calls("quillan[0] SetEffect 1 16:" + repeat("332211", 16) + "\n", "quillan set effect");
  check(vornwincom_jarn_set_effect(&err, &hub, 2, 0xAA, 0xBB, 0xCC, 5, 6) == 0, "jarn extended effect");
  expect_calls("jarn[0] SetEffectEx 2 4:" + repeat("ccbbaa", 4) + " a=5 b=6\n", "jarn extended effect");
  const uint32_t zones[5] = {0, 1, 2, 3, 4};
  check(vornwincom_pembrok_set_zoned_effect(&err, &disk, zones) == 0, "pembrok zoned effect");
  expect_calls("jarn[1] SetEffect 1 8:1,1,2,2,3,3,4,4\n", "pembrok zoned effect");
  check(vornwincom_quillan_reset_effect(&err, &nvme) == 0 && vornwincom_quillan_save_effect(&err, &nvme) == 0 &&
            vornwincom_pembrok_reset_effect(&err, &disk) == 0 && vornwincom_pembrok_save_effect(&err, &disk) == 0,
        "reset and save");
  expect_calls("quillan[0] SetConfig 0\nquillan[0] SetConfig 1\njarn[1] SetEffect c1 none\njarn[1] SetEffect c0 none\n",
               "reset and save");

  // A second enumeration releases the first devices: still three alive.
  check(vornwincom_enumerate_hal_led_devs(&err) == 0 && live() == 3, "second enumeration: live " + std::to_string(live()));

  std::printf("%d of %d LED checks passed\n", g_checks - g_failed, g_checks);
  return g_failed ? 1 : 0;
}

// The LED device map: both HAL servers enumerated into it, their failures, and the capability read.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/huld_error_line.h"
#include "tests/wincom_led/led_fixture.h"
#include "vornwincom/com_support.h"

namespace {

using ledtest::capability;
using ledtest::json;
using ledtest::server;

class LedHal : public ledtest::LedTest {
 protected:
  std::vector<std::string> keys() const {
    std::vector<std::string> k;
    for (const auto &[path, device] : ldev_map) k.push_back(path);
    return k;
  }
  // Reads the capability of the first device of a jarn server whose one device has `xml`.
  int read(const json &xml, led_capability *cap) {
    machine({{"jarn", server({xml})}});
    vornwincom::ComPtr<ILedHal> hal;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_JarnLedHal, nullptr, CLSCTX_INPROC_SERVER, IID_ILedHal, hal.out_void()));
    ILedDevice *raw = nullptr;
    DWORD count = 1;
    hal->EnumerateDevices(&raw, &count);
    int rc = get_device_capability(&err_, raw, cap);
    if (raw) raw->Release();
    return rc;
  }
};

TEST_F(LedHal, BothServersFillTheMapAndTheFirstOfTwoNamesakesStays) {
  enumerate({{"jarn", server({capability("B"), capability("A")})}, {"quillan", server({capability("A"), capability("")})}});
  EXPECT_EQ((std::vector<std::string>{"", "A", "B"}), keys());
  // The quillan device named A was released, the jarn one kept; the servers are released too.
  std::vector<sim::LedHalCall> calls = sim::led_hal_calls();
  EXPECT_EQ(1, std::count_if(calls.begin(), calls.end(), [](const sim::LedHalCall &c) {
              return c.method == "destroyed" && c.server == "quillan" && c.device == 0;
            }));
  std::vector<std::string> live = sim::com_describe_live_objects();
  auto live_of = [&](const std::string &kind) {
    return std::count_if(live.begin(), live.end(), [&](const std::string &l) { return l.rfind(kind + "@", 0) == 0; });
  };
  EXPECT_EQ(3, live_of("led device"));
  EXPECT_EQ(0, live_of("led hal"));
  EXPECT_TRUE(logged("    Device Path:   A\n"));
  EXPECT_EQ(0u, err_.code);
}

TEST_F(LedHal, ASecondEnumerationReleasesTheFirstDevicesBeforeAskingAgain) {
  enumerate({{"jarn", server({capability("A")})}});
  sim::clear_led_hal_calls();
  ASSERT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  std::vector<sim::LedHalCall> calls = sim::led_hal_calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ("destroyed", calls[0].method);
  EXPECT_EQ("EnumerateDevices", calls[1].method);
  EXPECT_EQ((std::vector<std::string>{"A"}), keys());
}

TEST_F(LedHal, MissingOrFailingServersAreLoggedAndTheEnumerationSucceeds) {
  machine(json::object(), false, false);
  EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_TRUE(logged("Failed to get jarn hal"));
  EXPECT_TRUE(logged("failed to find HAL key - 2h"));
  EXPECT_TRUE(logged("Failed to get quillan hal"));
  EXPECT_TRUE(logged("no hal devices found\n"));

  // A key without a registered server, and a server whose creation fails.
  machine({{"quillan", server({capability("Q")})}}, true, true,
          {{"faults", {{{"api", "com"}, {"function", "CoCreateInstance"}, {"clsid", LED_HAL_QUILLAN_CLSID_TEXT},
                        {"error", "E_OUTOFMEMORY"}}}}});
  EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_TRUE(logged("failed to create HAL - 80040154h"));
  EXPECT_TRUE(logged("failed to create HAL - 8007000eh"));
  EXPECT_TRUE(keys().empty());
}

TEST_F(LedHal, ServerCountsAreBoundedAndNullEntriesSkipped) {
  enumerate({{"jarn", server({})}});
  EXPECT_TRUE(logged("HAL has no devices...\n"));
  machine({{"jarn", server({capability("A")})}}, true, true,
          {{"faults", {{{"api", "com"}, {"function", "EnumerateDevices"}, {"error", "E_FAIL"}}}}});
  EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_TRUE(logged("HAL has no devices...\n"));
  EXPECT_THROW(machine({{"jarn", {{"devics", json::array()}}}}), std::runtime_error);

  json many = server({capability("A")});
  many["count"] = 300;
  enumerate({{"jarn", many}});
  EXPECT_TRUE(logged("HAL reports too many devices (300)"));
  EXPECT_TRUE(logged("Failed to enumerate jarn hal devs"));
  EXPECT_EQ(1u, sim::led_hal_calls().size());  // no filling call

  // The second call reports more than were allocated, and leaves one slot empty.
  json odd = server({capability("A"), capability("B"), capability("C")});
  odd["second_count"] = 40;
  odd["null_entries"] = {1};
  json fewer = server({capability("D"), capability("E")});
  fewer["second_count"] = 1;
  enumerate({{"jarn", odd}, {"quillan", fewer}});
  EXPECT_EQ((std::vector<std::string>{"A", "C", "D"}), keys());
}

TEST_F(LedHal, UnreadableCapabilitiesLeaveTheirDevicesOut) {
  enumerate({{"jarn", server({nullptr, "<caps><device><name>x</name>", capability("A"), "<caps/>",
                              "<caps><device><id>seven</id></device></caps>"})}});
  EXPECT_EQ((std::vector<std::string>{"A"}), keys());
  EXPECT_TRUE(logged("Failed to get device capability"));
  EXPECT_TRUE(logged("capability xml is missing\n"));
  EXPECT_TRUE(logged("capability xml did not have device element\n"));
  EXPECT_TRUE(logged("capability element id is not a number\n"));
}

// A capability whose elements nest deeper than 32 levels is refused before it is parsed (the
// parser would recurse once per level, with the map's lock held): that device is left out, the
// others are kept and the lock is given back. Elements named with a letter beyond ASCII ("é" in
// UTF-8) count like any other. Markup that opens no level (empty elements, quoted '>', a comment,
// CDATA) does not count towards the 32.
TEST_F(LedHal, DeeplyNestedCapabilitiesAreRefusedBeforeTheParse) {
  const auto nested = [](size_t levels, const std::string &innermost, const std::string &name = "x") {
    std::string open, close;
    for (size_t i = 2; i < levels; ++i) {
      open += "<" + name + ">";
      close += "</" + name + ">";
    }
    return "<r><device><instancepath>L" + std::to_string(levels) + name + "</instancepath>" + open + innermost +
           close + "</device></r>";
  };
  const std::string no_level = "<e/><e a=\">\" b='x'/><!-- <x><x> --><![CDATA[<x><x>]]>";
  enumerate({{"jarn", server({nested(5000, ""), nested(5000, "", "\u00e9"), nested(33, ""), nested(32, no_level)})}});
  EXPECT_EQ((std::vector<std::string>{"L32x"}), keys());
  EXPECT_TRUE(logged("capability xml nests elements deeper than 32 levels\n"));
  ASSERT_EQ(0, lock_ldev_map());
  unlock_ldev_map();
}

TEST_F(LedHal, CapabilityFieldsAreReadFromTheirElements) {
  led_capability cap;
  ASSERT_EQ(0, read("<r><device><name>Caf\u00e9<b>x</b></name><name>second</name><id> -3z</id>"
                    "<instancepath>\\\\.\\Scsi1:</instancepath><fwinfo>a,b</fwinfo><dev_color/>"
                    "<layout><led_count>16</led_count><dev_xrtpf>+2</dev_xrtpf><size><width>4</width>"
                    "<height>2147483647</height></size><led_name><led>one</led><x>no</x><led/><led>two</led>"
                    "</led_name></layout></device></r>",
                    &cap));
  EXPECT_EQ("Caf\u00e9", cap.name);
  EXPECT_EQ(0xFFFFFFFDu, cap.id);
  EXPECT_EQ("\\\\.\\Scsi1:", cap.device_path);
  EXPECT_EQ("a,b", cap.firmware_info);
  EXPECT_EQ("", cap.device_color);
  EXPECT_EQ(16u, cap.led_count);
  EXPECT_EQ(2u, cap.dev_xrtpf);
  EXPECT_EQ(4u, cap.width);
  EXPECT_EQ(0x7FFFFFFFu, cap.height);
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), cap.led_names);
  EXPECT_TRUE(logged("    Name:          Caf\u00e9\n"));
  EXPECT_TRUE(logged("            two\n"));

  // Without "layout" the layout stays empty; an element whose first child is not text is left as it was.
  led_capability bare;
  bare.name = "kept";
  ASSERT_EQ(0, read("<r><device><name><b>x</b></name></device></r>", &bare));
  EXPECT_EQ("kept", bare.name);
  EXPECT_EQ(0u, bare.led_count);
  EXPECT_TRUE(bare.led_names.empty());
}

TEST_F(LedHal, CapabilityFailures) {
  struct Case {
    json xml;
    const char *message;
  } cases[] = {
      {"<r><device><led_count>1", "capability xml could not be parsed"},
      {"", "capability xml could not be parsed"},
      {"<?xml version=\"1.0\"?><!-- none -->", "capability xml did not have root element\n"},
      {"<r><other/></r>", "capability xml did not have device element\n"},
      {"<r><device><layout><size><width>2147483648</width></size></layout></device></r>",
       "capability element width is not a number\n"},
  };
  for (const Case &c : cases) {
    led_capability cap;
    EXPECT_EQ(1, read(c.xml, &cap)) << c.xml;
    EXPECT_EQ(std::string(c.message), std::string(err_.message).substr(0, std::string(c.message).size())) << c.xml;
    EXPECT_STREQ("get_device_capability", err_.function);
    EXPECT_STREQ("vornwincom\\source", err_.file);
  }
  machine({{"jarn", server({capability("A")})}}, true, true,
          {{"faults", {{{"api", "com"}, {"function", "GetCapability"}, {"error", "E_FAIL"}}}}});
  EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_TRUE(logged("failed to read capability xml - 80004005h\n"));
}

TEST_F(LedHal, TheLockFailsOnAFailedOrAbandonedWait) {
  machine({{"jarn", server({capability("A")})}}, true, true, {{"app", {{"fail_mutex_wait_at", 1}}}});
  EXPECT_EQ(1, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\source function vornwincom_enumerate_hal_led_devs message "
            "failed to synchronize ldev map operations\n",
            error_line(err_));
  EXPECT_TRUE(sim::led_hal_calls().empty());

  // An abandoned wait fails too, and gives the lock back: the next call gets it.
  machine({{"jarn", server({capability("A")})}}, true, true, {{"app", {{"abandon_mutex_wait_at", 1}}}});
  EXPECT_EQ(1, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_EQ(0, vornwincom_enumerate_hal_led_devs(&err_));
  EXPECT_EQ((std::vector<std::string>{"A"}), keys());
}

}  // namespace

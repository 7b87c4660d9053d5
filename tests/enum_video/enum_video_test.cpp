// The video device pass and the opening of a video record's control, on the reference machine's
// five video devices: what is kept and why the others are skipped, with and without COM, and
// the failures of each DirectShow step (no COM object or BSTR may be left behind).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/windows/huld_windows_enumerate.h"
#include "platform/win32.h"
#include "sim/faults.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "support/log_capture.h"
#include "support/resource_check.h"

namespace {

using testsupport::captured_log;

class EnumVideo : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::register_storage_section();
    sim::load_machine_file(sim::machine_file_path("ref1"));
    huld_environment_initialize();
  }
  void TearDown() override {
    huld_dev_release(&e_);
    if (com_) CoUninitialize();
    sim::reset_machine();
    huld_environment_initialize();
  }
  void com() {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    com_ = true;
  }
  // A ref1 variant: `edit` changes the "video" section.
  template <class F>
  void vary(F edit) {
    nlohmann::json j = sim::machine_description();
    edit(j["video"]);
    sim::load_machine_json(j.dump());
    huld_environment_initialize();
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < e_.count; ++i) out.push_back(e_.devices[i].name);
    return out;
  }
  bool logged(const std::string &text) const { return captured_log().find(text) != std::string::npos; }
  int fail(const char *function, sim::FaultCount count, DWORD error = 0x80070005) {
    sim::FaultRule rule;
    rule.match.op = sim::FaultOp::other;
    rule.match.keys = {{"api", "com"}, {"function", function}};
    rule.match.count = count;
    rule.action = sim::FaultAction::fail_with(error);
    return sim::add_fault(rule);
  }
  huld_dev_enumeration e_{};
  bool com_ = false;
  testsupport::log_capture log_{HULD_LOG_DEBUG};
};

using Names = std::vector<std::string>;

TEST_F(EnumVideo, ReferenceMachineKeepsTheDevicesWithAnAnsweringExtensionUnit) {
  com();
  huld_windows_enumerate_uvc(&e_);
  ASSERT_EQ(names(), (Names{"SimCam A", "SimCam C"}));
  const std::string path = sim::machine_description()["video"][0]["device_path"];
  const huld_dev &a = e_.devices[0];
  EXPECT_EQ(a.iface, WINDOWS_UVC);
  EXPECT_EQ(a.conn.type, CONN_UVC);
  EXPECT_EQ(a.conn.driver, UVC);
  EXPECT_EQ(a.conn.path, path);
  EXPECT_FALSE(huld_windows_handle_is_open(a.conn.handle));
  EXPECT_EQ(a.uvc_node_id, 3u);  // the last of the answering nodes 2 and 3
  EXPECT_EQ(a.uvc_control, nullptr);
  EXPECT_EQ(e_.devices[1].uvc_node_id, 1u);
  EXPECT_TRUE(logged("uvc device name: SimCam A, device path: " + path + "\n"));
  EXPECT_TRUE(logged("no xu node found, skip device\n"));            // B
  EXPECT_TRUE(logged("cannot get FriendlyName, skip device (0x80004005)\n"));  // C's name from Description
  EXPECT_TRUE(logged("cannot get DevicePath, skip device (0x80004005)\ncannot get device path, skip device\n"));  // D
  EXPECT_TRUE(logged("No xu nodes, skip device\n"));                 // E

  // The record opens (and closes) its extension unit's control by its device path.
  huld_error err{};
  huld_dev &rec = e_.devices[0];
  ASSERT_EQ(0, huld_dev_open(&err, &rec)) << err.message;
  EXPECT_NE(rec.uvc_control, nullptr);
  EXPECT_EQ(0, huld_dev_close(&err, &rec));
  EXPECT_EQ(rec.uvc_control, nullptr);
}

TEST_F(EnumVideo, WithoutComNothingIsAdded) {
  huld_windows_enumerate_uvc(&e_);
  EXPECT_EQ(e_.count, 0u);
  EXPECT_TRUE(logged("failed to create system device emumerator (0x800401f0)\n"));
}

TEST_F(EnumVideo, EachFailingStepSkipsWhatItMust) {
  struct Case {
    const char *function;
    sim::FaultCount count;
    Names kept;
    const char *line;
  };
  const Case cases[] = {
      {"CoCreateInstance", sim::FaultCount::always(), {}, "failed to create system device emumerator (0x80070005)\n"},
      {"CreateClassEnumerator", sim::FaultCount::always(), {}, "failed to create video device enumerator (0x80070005)\n"},
      {"BindToStorage", sim::FaultCount::at(1), {"SimCam C"}, "Bind to storage for IMoniker failed (0x80070005)\n"},
      {"Read", sim::FaultCount::at(1), {"SimCam C"},
       "cannot get FriendlyName, skip device (0x80070005)\ncannot get Description, skip device (0x80004005)\n"
       "failed to get friendly name or description, skip device\n"},
      {"BindToObject", sim::FaultCount::at(1), {"SimCam C"}, "failed to bind filter interface, skip device\n"},
      {"QueryInterface", sim::FaultCount::at(1), {"SimCam C"}, "failed to get topology interface, skip device\n"},
      {"get_NumNodes", sim::FaultCount::at(1), {"SimCam C"}, "No xu nodes, skip device\n"},
      {"CreateNodeInstance", sim::FaultCount::always(), {}, "no xu node found, skip device\n"},
      {"KsProperty", sim::FaultCount::at(3), {"SimCam A", "SimCam C"}, nullptr},  // A keeps node 2
  };
  com();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.function);
    captured_log().clear();
    const int id = fail(c.function, c.count);
    huld_windows_enumerate_uvc(&e_);
    EXPECT_EQ(names(), c.kept);
    if (c.line) {
      EXPECT_TRUE(logged(c.line)) << captured_log();
    }
    if (c.kept.size() == 2) {
      EXPECT_EQ(e_.devices[0].uvc_node_id, 2u);
    }
    sim::remove_fault(id);
    huld_dev_release(&e_);
  }
}

TEST_F(EnumVideo, AnEmptyCategoryAddsNothing) {
  vary([](nlohmann::json &v) { v = nlohmann::json::array(); });
  com();
  huld_windows_enumerate_uvc(&e_);
  EXPECT_EQ(e_.count, 0u);
  EXPECT_TRUE(logged("failed to create video device enumerator (0x1)\n"));
}

TEST_F(EnumVideo, APropertyOfAnotherTypeIsNotText) {
  vary([](nlohmann::json &v) {
    v[0]["wrong_type"] = {"FriendlyName"};
    v[0]["description"] = "SimCam A (description)";
    v[2]["wrong_type"] = {"DevicePath"};
  });
  com();
  huld_windows_enumerate_uvc(&e_);
  EXPECT_EQ(names(), (Names{"SimCam A (description)"}));
  EXPECT_TRUE(logged("cannot get FriendlyName, skip device (0x80020005)\n"));
  EXPECT_TRUE(logged("cannot get DevicePath, skip device (0x80020005)\ncannot get device path, skip device\n"));
}

TEST_F(EnumVideo, OpenFailuresRecordTheComResultAndKeepNothing) {
  com();
  huld_windows_enumerate_uvc(&e_);
  ASSERT_EQ(e_.count, 2u);
  huld_dev &rec = e_.devices[0];
  struct Case {
    const char *function;
    const char *message;
  };
  const Case cases[] = {
      {"MkParseDisplayName", "windows uvc dev open failed, could not get imoniker from displayname "},
      {"BindToObject", "windows uvc dev open failed, could not get basefilter from imoniker "},
      {"QueryInterface", "windows uvc dev open failed, could not get topology iface from basefilter "},
      {"CreateNodeInstance", "windows uvc dev open failed, could not get create ikscontrol node "},
      {"KsProperty", "windows uvc dev open failed, could not get ksprop info "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.function);
    const int id = fail(c.function, sim::FaultCount::always(), 0x8007001F);
    huld_error err{};
    EXPECT_EQ(1, huld_dev_open(&err, &rec));
    EXPECT_EQ(err.code, HULD_ERROR_SYSTEM);
    EXPECT_EQ(err.subcode, 0x8007001Fu);
    EXPECT_EQ(std::string(err.message), c.message + std::string(rec.conn.path));
    EXPECT_EQ(rec.uvc_control, nullptr);
    sim::remove_fault(id);
  }
  // A device that has gone since the enumeration.
  rec.conn.path[4] = 'x';
  huld_error err{};
  EXPECT_EQ(1, huld_dev_open(&err, &rec));
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(MK_E_SYNTAX));
}

// The node search follows the driver's node count only up to 256 nodes.
TEST_F(EnumVideo, ExtensionUnitSearchStopsAt256Nodes) {
  vary([](nlohmann::json &v) {
    nlohmann::json nodes = nlohmann::json::array();
    for (int i = 0; i < 300; ++i) nodes.push_back({{"dev_specific", i == 10 || i == 299}, {"answers", true}});
    v[0]["nodes"] = nodes;
  });
  com();
  huld_windows_enumerate_uvc(&e_);
  ASSERT_GE(e_.count, 1u);
  EXPECT_EQ(e_.devices[0].uvc_node_id, 10u);
  EXPECT_TRUE(logged("300 topology nodes reported, searching the first 256\n"));
}

}  // namespace

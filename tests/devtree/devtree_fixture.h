// Test side of the device tree: REF-1 loaded, devnodes named by their description ids, and a
// fixture that checks every test ends without leaked handles, keys or device-information sets.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/devtree.h"
#include "sim/faults.h"
#include "sim/machine.h"

namespace devtreetest {

class Ref1 : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::load_machine_file(sim::machine_file_path("ref1"));
    for (const sim::DevNodeInfo &n : sim::device_nodes()) {
      names_[n.instance_id] = n.id.empty() ? n.instance_id : n.id;
      ids_[n.id] = n.instance_id;
    }
    before_ = sim::ResourceSnapshot::take();
  }
  void TearDown() override {
    EXPECT_EQ(sim::ResourceSnapshot::take().changes_since(before_), "");
    sim::use_default_machine();
  }

  // Description id of a devnode ("A", "AHCI-1", ...), from its DEVINST.
  std::string name_of(DEVINST dn) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    EXPECT_EQ(CM_Get_Device_IDA(dn, id, sizeof id, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    return names_[id];
  }
  const std::string &instance(const std::string &id) { return ids_[id]; }

  // A set holding the devnode with that description id (destroyed by the caller).
  HDEVINFO open_one(const std::string &id, SP_DEVINFO_DATA *info) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    info->cbSize = sizeof(SP_DEVINFO_DATA);
    EXPECT_TRUE(SetupDiOpenDeviceInfoA(set, instance(id).c_str(), nullptr, 0, info)) << id;
    return set;
  }

  // Names and paths of the enabled interfaces of present devnodes, in SetupAPI order.
  std::vector<std::pair<std::string, std::string>> interface_walk(const GUID &g) {
    std::vector<std::pair<std::string, std::string>> out;
    HDEVINFO set = SetupDiGetClassDevsA(&g, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA d{};
      d.cbSize = sizeof d;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &g, i, &d)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        break;
      }
      DWORD need = 0;
      EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 0, &need, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      std::vector<char> buf(need);
      auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buf.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, need, nullptr, &info));
      out.emplace_back(name_of(info.DevInst), detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
  }

  std::vector<std::string> class_walk(const GUID &g, DWORD flags = DIGCF_PRESENT, const char *enumerator = nullptr) {
    std::vector<std::string> out;
    HDEVINFO set = SetupDiGetClassDevsA(&g, enumerator, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) out.push_back(name_of(info.DevInst));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);
    return out;
  }

  static std::vector<std::string> names(const std::vector<std::pair<std::string, std::string>> &walk) {
    std::vector<std::string> out;
    for (const auto &w : walk) out.push_back(w.first);
    return out;
  }

  std::map<std::string, std::string> names_, ids_;
  sim::ResourceSnapshot before_;
};

// A fault rule on a SetupAPI or configuration-manager call.
inline int api_fault(const std::string &api, const std::string &function, sim::FaultAction action,
                     std::map<std::string, std::string> keys = {}) {
  sim::FaultRule r;
  r.match.op = sim::FaultOp::other;
  r.match.keys = std::move(keys);
  r.match.keys["api"] = api;
  r.match.keys["function"] = function;
  r.action = std::move(action);
  return sim::add_fault(r);
}

}  // namespace devtreetest

// A scan list on the heap over a simulated machine; the list's records are released after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "vornscan/scan.h"

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(list_ = static_cast<vornscan_list *>(std::calloc(1, sizeof(vornscan_list))), nullptr); }
  void TearDown() override {
    release();
    std::free(list_);
    if (com_) CoUninitialize();
    huld_log_level = 0;
    sim::reset_machine();
    huld_environment_initialize();
  }
  void load_json(const std::string &json) {
    sim::load_machine_json(json);
    huld_environment_initialize();
  }
  void load_file(const std::string &name) {
    sim::load_machine_file(sim::machine_file_path(name));
    huld_environment_initialize();
  }
  // After the machine is loaded: a load starts the machine's COM afresh.
  void with_com() {
    com_ = true;
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void release() {
    for (uint32_t i = 0; i < list_->count; ++i) huld_dev_cleanup(&list_->devices[i]);
    list_->count = 0;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list_->count; ++i) out.emplace_back(list_->devices[i].name);
    return out;
  }
  huld_dev *find(const std::string &name) {
    for (uint32_t i = 0; i < list_->count; ++i)
      if (name == list_->devices[i].name) return &list_->devices[i];
    return nullptr;
  }
  vornscan_list *list_ = nullptr;
  bool com_ = false;
};

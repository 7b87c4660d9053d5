// Common fixture of the COM tests: a fresh default machine, two test interfaces with a fake
// class, and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "sim/com.h"
#include "sim/machine.h"

struct IGreeter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Greet(BSTR *text) = 0;
};
struct ICounter : public IUnknown {
  virtual ULONG STDMETHODCALLTYPE Next() = 0;
};

inline const CLSID kClsidGreeter = {0x1A2B3C4D, 0x0001, 0x4002, {0x80, 0x03, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
inline const IID kIidGreeter = {0x1A2B3C4D, 0x0002, 0x4002, {0x80, 0x03, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
inline const IID kIidCounter = {0x1A2B3C4D, 0x0003, 0x4002, {0x80, 0x03, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

class FakeGreeter : public sim::ComObject<IGreeter, ICounter> {
 public:
  FakeGreeter() : ComObject("greeter", {kIidGreeter, kIidCounter}) {}
  HRESULT STDMETHODCALLTYPE Greet(BSTR *text) override {
    *text = SysAllocString(L"hello");
    return *text ? S_OK : E_OUTOFMEMORY;
  }
  ULONG STDMETHODCALLTYPE Next() override { return ++count_; }

 private:
  ULONG count_ = 0;
};

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::use_default_machine();
    before_ = sim::ResourceSnapshot::take();
  }
  void TearDown() override {
    EXPECT_EQ("", sim::ResourceSnapshot::take().changes_since(before_));
    sim::reset_machine();
  }
  // After a test has changed a counter on purpose (a bad release).
  void rebase() { before_ = sim::ResourceSnapshot::take(); }
  static void register_greeter() {
    sim::com_register_class_of<FakeGreeter>(kClsidGreeter);
  }

  sim::ResourceSnapshot before_;
};

// Object creation through the class table, reference counts and interfaces of simulated
// objects, leak accounting, and injected failures.
#include "com_fixture.h"
#include "sim/faults.h"
#include "tests/support/resource_check.h"

namespace {

const CLSID kClsidOther = {0x99999999, 0x0001, 0x4002, {0x80, 0x03, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x00}};

class ComObjectsTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoUninitialize();
    ComTest::TearDown();
  }
  static HRESULT create(REFCLSID clsid, REFIID iid, void **out, DWORD context = CLSCTX_INPROC_SERVER) {
    return CoCreateInstance(clsid, nullptr, context, iid, out);
  }
};

TEST_F(ComObjectsTest, ClassTableCreatesRegisteredClassesOnly) {
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(kClsidGreeter, kIidGreeter, &p));
  EXPECT_EQ(nullptr, p);

  register_greeter();
  ICounter *counter = nullptr;
  ASSERT_EQ(S_OK, create(kClsidGreeter, kIidCounter, reinterpret_cast<void **>(&counter)));
  EXPECT_EQ(1u, counter->Next());
  EXPECT_EQ(1u, sim::com_live_objects() - before_["com_objects"]);

  // A class serves only the contexts it was registered for; no aggregation; no unknown interface.
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(kClsidGreeter, kIidGreeter, &p, CLSCTX_LOCAL_SERVER));
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(kClsidGreeter, counter, CLSCTX_ALL, kIidGreeter, &p));
  EXPECT_EQ(E_NOINTERFACE, create(kClsidGreeter, IID_IDispatch, &p));
  EXPECT_EQ(nullptr, p);

  // A class registered with a result answers it.
  sim::com_register_class_result(kClsidOther, E_ACCESSDENIED);
  EXPECT_EQ(E_ACCESSDENIED, create(kClsidOther, kIidGreeter, &p));

  const auto log = sim::com_create_log();
  ASSERT_EQ(6u, log.size());
  EXPECT_EQ(kClsidGreeter, log[1].clsid);
  EXPECT_EQ(kIidCounter, log[1].iid);
  EXPECT_EQ(static_cast<DWORD>(CLSCTX_INPROC_SERVER), log[1].context);
  EXPECT_TRUE(log[3].outer);
  EXPECT_EQ(E_ACCESSDENIED, log[5].result);

  counter->Release();
  EXPECT_TRUE(sim::com_unregister_class(kClsidGreeter));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(kClsidGreeter, kIidGreeter, &p));
}

TEST_F(ComObjectsTest, ObjectsCountReferencesAndAnswerTheirInterfaces) {
  auto *object = new FakeGreeter;
  IGreeter *greeter = object;
  EXPECT_EQ(1u, object->ref_count());

  ICounter *counter = nullptr;
  ASSERT_EQ(S_OK, greeter->QueryInterface(kIidCounter, reinterpret_cast<void **>(&counter)));
  EXPECT_EQ(static_cast<ICounter *>(object), counter);
  IUnknown *u1 = nullptr, *u2 = nullptr;
  ASSERT_EQ(S_OK, greeter->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&u1)));
  ASSERT_EQ(S_OK, counter->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&u2)));
  EXPECT_EQ(u1, u2);  // one identity, whichever interface asks
  EXPECT_EQ(4u, object->ref_count());
  void *none = nullptr;
  EXPECT_EQ(E_NOINTERFACE, greeter->QueryInterface(IID_IDispatch, &none));
  EXPECT_EQ(E_POINTER, greeter->QueryInterface(kIidGreeter, nullptr));

  u1->Release();
  u2->Release();
  counter->Release();
  EXPECT_EQ(1u, sim::com_live_objects() - before_["com_objects"]);
  EXPECT_EQ(0u, greeter->Release());
  EXPECT_EQ(0u, sim::com_live_objects() - before_["com_objects"]);
}

TEST_F(ComObjectsTest, LeaksShowInTheSnapshot) {
  sim::expect_resource_change("com_bad_releases");  // the double frees below are recorded
  register_greeter();
  IGreeter *greeter = nullptr;
  ASSERT_EQ(S_OK, create(kClsidGreeter, kIidGreeter, reinterpret_cast<void **>(&greeter)));
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, greeter->Greet(&text));
  SAFEARRAY *array = SafeArrayCreateVector(VT_I4, 0, 4);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"kept");

  const std::string leaks = sim::ResourceSnapshot::take().changes_since(before_);
  EXPECT_NE(std::string::npos, leaks.find("com_objects: 0 -> 1")) << leaks;
  EXPECT_NE(std::string::npos, leaks.find("bstrs: 0 -> 2")) << leaks;  // the VARIANT's counts too
  EXPECT_NE(std::string::npos, leaks.find("safearrays: 0 -> 1")) << leaks;
  EXPECT_EQ(1u, sim::com_describe_live_objects().size());

  greeter->Release();
  SysFreeString(text);
  SafeArrayDestroy(array);
  VariantClear(&v);
  EXPECT_EQ("", sim::ResourceSnapshot::take().changes_since(before_));

  // Freeing twice is recorded and does no harm.
  SysFreeString(text);
  EXPECT_EQ(E_INVALIDARG, SafeArrayDestroy(array));
  EXPECT_EQ(2u, sim::com_bad_release_count() - before_["com_bad_releases"]);
  EXPECT_NE(std::string::npos, sim::com_bad_release_log().back().find("SafeArrayDestroy"));
  rebase();
}

TEST_F(ComObjectsTest, FaultRulesFailCreationOfOneClass) {
  register_greeter();
  sim::com_register_class(kClsidOther, [] { return (new FakeGreeter)->unknown(); });
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"api", "com"}, {"function", "CoCreateInstance"},
                     {"clsid", "{1A2B3C4D-0001-4002-8003-AABBCCDDEEFF}"}};
  rule.match.count = sim::FaultCount::at(2);
  rule.action = sim::FaultAction::fail_with(0x80070005);
  const int id = sim::add_fault(rule);

  IGreeter *g = nullptr;
  ASSERT_EQ(S_OK, create(kClsidGreeter, kIidGreeter, reinterpret_cast<void **>(&g)));
  g->Release();
  EXPECT_EQ(E_ACCESSDENIED, create(kClsidGreeter, kIidGreeter, reinterpret_cast<void **>(&g)));
  EXPECT_EQ(nullptr, g);
  ASSERT_EQ(S_OK, create(kClsidOther, kIidGreeter, reinterpret_cast<void **>(&g)));  // another class
  g->Release();
  EXPECT_EQ(2u, sim::fault_seen(id));

  // The same convention fails the proxy blanket and BSTR allocation.
  rule = {};
  rule.match.op = sim::FaultOp::other;
  rule.match.keys = {{"api", "com"}, {"function", "CoSetProxyBlanket"}};
  rule.action = sim::FaultAction::fail_with(ERROR_ACCESS_DENIED);  // a Win32 code becomes its HRESULT
  sim::add_fault(rule);
  rule.match.keys["function"] = "SysAllocString";
  sim::add_fault(rule);
  ASSERT_EQ(S_OK, create(kClsidGreeter, kIidGreeter, reinterpret_cast<void **>(&g)));
  EXPECT_EQ(E_ACCESSDENIED, CoSetProxyBlanket(g, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE));
  ASSERT_EQ(1u, sim::com_blanket_log().size());
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CALL), sim::com_blanket_log()[0].authn_level);
  BSTR text = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(E_OUTOFMEMORY, g->Greet(&text));
  EXPECT_EQ(nullptr, text);
  g->Release();
}

}  // namespace

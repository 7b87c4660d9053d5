// Proxies (the WMI service's objects) belong to the apartment of the thread that received them:
// after that apartment's last CoUninitialize, from a thread without COM and from another
// apartment they refuse every call, while in-process objects keep answering.
#include <string>
#include <thread>

#include "com_fixture.h"
#include "sim/wmi.h"
#include "tests/support/resource_check.h"

namespace {

template <class F>
void on_thread(F body) {
  std::thread t(body);
  t.join();
}

// The WMI service's namespace through a fresh locator (the caller releases both).
struct Wmi {
  IWbemLocator *locator = nullptr;
  IWbemServices *services = nullptr;

  HRESULT connect() {
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void **>(&locator));
    if (hr != S_OK) return hr;
    return connect_again(&services);
  }
  HRESULT connect_again(IWbemServices **out) const {
    BSTR ns = SysAllocString(u"ROOT\\CIMV2");
    HRESULT hr = locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, out);
    SysFreeString(ns);
    return hr;
  }
  void release() {
    if (services) services->Release();
    if (locator) locator->Release();
    services = nullptr;
    locator = nullptr;
  }
};

// ExecQuery of the base board: the enumerator goes to *out, or is released when out is null.
HRESULT query(IWbemServices *services, IEnumWbemClassObject **out) {
  BSTR language = SysAllocString(u"WQL");
  BSTR text = SysAllocString(u"SELECT * FROM Win32_BaseBoard");
  IEnumWbemClassObject *rows = reinterpret_cast<IEnumWbemClassObject *>(1);
  const HRESULT hr = services->ExecQuery(language, text, 0, nullptr, &rows);
  SysFreeString(language);
  SysFreeString(text);
  if (hr != S_OK) {
    EXPECT_EQ(nullptr, rows) << "a refused call hands back no enumerator";
    rows = nullptr;
  }
  if (out) *out = rows;
  else if (rows) rows->Release();
  return hr;
}

size_t exec_queries_served() {
  size_t n = 0;
  for (const std::string &call : sim::wmi_calls()) n += call.rfind("ExecQuery", 0) == 0;
  return n;
}

using ComProxyTest = ComTest;

TEST_F(ComProxyTest, ProxiesOfAnEndedApartmentAreDisconnected) {
  sim::expect_resource_change("com_proxy_misuse");  // every refusal below is recorded
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  const uint64_t first_mta = sim::com_thread_state().id;
  Wmi wmi;
  ASSERT_EQ(S_OK, wmi.connect());
  IEnumWbemClassObject *rows = nullptr;
  ASSERT_EQ(S_OK, query(wmi.services, &rows));
  IWbemClassObject *row = nullptr;
  ULONG returned = 0;
  ASSERT_EQ(WBEM_S_NO_ERROR, rows->Next(0, 1, &row, &returned));
  ASSERT_EQ(1u, returned);

  // The last CoUninitialize ends the MTA: the thread has no COM, and the proxies refuse with that.
  CoUninitialize();
  EXPECT_FALSE(sim::com_apartment_alive(first_mta));
  EXPECT_EQ(CO_E_NOTINITIALIZED, query(wmi.services, nullptr));
  IWbemClassObject *more = nullptr;
  returned = 7;
  EXPECT_EQ(CO_E_NOTINITIALIZED, rows->Next(0, 1, &more, &returned));
  EXPECT_EQ(0u, returned);
  // The class object is a copy in this process and the locator an in-process server: both answer.
  VARIANT product;
  VariantInit(&product);
  EXPECT_EQ(S_OK, row->Get(u"Product", 0, &product, nullptr, nullptr));
  VariantClear(&product);
  IWbemServices *orphan = nullptr;
  ASSERT_EQ(S_OK, wmi.connect_again(&orphan));
  EXPECT_EQ(CO_E_NOTINITIALIZED, query(orphan, nullptr)) << "a proxy made without COM belongs to no apartment";

  // A new MTA is another apartment: the old proxies stay disconnected, new ones work.
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_NE(first_mta, sim::com_thread_state().id);
  EXPECT_EQ(RPC_E_DISCONNECTED, query(wmi.services, nullptr));
  EXPECT_EQ(RPC_E_DISCONNECTED, rows->Next(0, 1, &more, &returned));
  EXPECT_EQ(RPC_E_DISCONNECTED, query(orphan, nullptr));
  IWbemServices *fresh = nullptr;
  ASSERT_EQ(S_OK, wmi.connect_again(&fresh));
  EXPECT_EQ(S_OK, query(fresh, nullptr));

  // Refused calls never reach the service; each is recorded with its call and answer.
  EXPECT_EQ(2u, exec_queries_served());
  const auto misuse = sim::com_proxy_misuse_log();
  ASSERT_EQ(6u, sim::com_proxy_misuse_count() - before_["com_proxy_misuse"]);
  EXPECT_NE(std::string::npos, misuse.back().find("IWbemServices::ExecQuery")) << misuse.back();
  EXPECT_NE(std::string::npos, misuse.back().find("RPC_E_DISCONNECTED")) << misuse.back();

  // Disconnected proxies can still be let go.
  fresh->Release();
  orphan->Release();
  row->Release();
  rows->Release();
  wmi.release();
  CoUninitialize();
  rebase();
}

TEST_F(ComProxyTest, ProxiesAnswerInTheirOwnApartmentWhileItLives) {
  sim::expect_resource_change("com_proxy_misuse");
  // Another thread that joins the MTA and stays keeps it, and this thread's proxies, alive after
  // this thread leaves: it goes on in the implicit MTA.
  on_thread([] { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); });
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  Wmi mta;
  ASSERT_EQ(S_OK, mta.connect());
  CoUninitialize();
  EXPECT_EQ(S_OK, query(mta.services, nullptr));

  // A proxy received in an STA answers only there: another apartment gets RPC_E_WRONG_THREAD, and
  // once the STA has ended, RPC_E_DISCONNECTED.
  Wmi sta;
  DWORD owner_id = 0;
  on_thread([&] {
    owner_id = GetCurrentThreadId();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_EQ(S_OK, sta.connect());
    EXPECT_EQ(S_OK, query(sta.services, nullptr));
    EXPECT_EQ(RPC_E_WRONG_THREAD, query(mta.services, nullptr)) << "an MTA proxy in an STA";
  });
  ASSERT_NE(nullptr, sta.services);
  EXPECT_EQ(RPC_E_WRONG_THREAD, query(sta.services, nullptr)) << "an STA proxy in the MTA";
  sim::com_set_thread_state(owner_id, {});  // the STA's thread leaves it
  EXPECT_EQ(RPC_E_DISCONNECTED, query(sta.services, nullptr));
  EXPECT_EQ(S_OK, query(mta.services, nullptr));

  sta.release();
  mta.release();
  EXPECT_EQ(3u, sim::com_proxy_misuse_count() - before_["com_proxy_misuse"]);
  EXPECT_EQ(3u, exec_queries_served());
  rebase();
}

}  // namespace

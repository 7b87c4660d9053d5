// Apartments: per-thread initialisation, mode changes, balanced uninitialisation, and when a
// thread may create objects.
#include <stdexcept>
#include <thread>

#include "com_fixture.h"
#include "tests/support/resource_check.h"

namespace {

// Runs `body` on a fresh thread and waits for it.
template <class F>
void on_thread(F body) {
  std::thread t(body);
  t.join();
}

HRESULT create_greeter(IGreeter **out) {
  return CoCreateInstance(kClsidGreeter, nullptr, CLSCTX_INPROC_SERVER, kIidGreeter, reinterpret_cast<void **>(out));
}

using ComApartmentTest = ComTest;

TEST_F(ComApartmentTest, EachThreadJoinsOnceAndMustBalanceItsCalls) {
  sim::expect_resource_change("com_bad_releases");  // the unbalanced call below is recorded
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(2u, sim::com_thread_state().inits);

  on_thread([] {
    // Another thread is in no apartment of its own, whatever this one did.
    EXPECT_EQ(sim::ComApartment::none, sim::com_thread_state().apartment);
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    CoUninitialize();
    EXPECT_EQ(sim::ComApartment::sta, sim::com_thread_state().apartment);
    CoUninitialize();
    EXPECT_EQ(sim::ComApartment::none, sim::com_thread_state().apartment);
  });

  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(sim::ComApartment::none, sim::com_thread_state().apartment);
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));  // free to choose again
  CoUninitialize();

  // One call too many is a fault of the caller, recorded like a bad handle close.
  CoUninitialize();
  EXPECT_EQ(1u, sim::com_bad_release_count() - before_["com_bad_releases"]);
  rebase();
}

TEST_F(ComApartmentTest, CreationNeedsAnApartmentOrTheImplicitMta) {
  register_greeter();
  IGreeter *g = reinterpret_cast<IGreeter *>(1);
  EXPECT_EQ(CO_E_NOTINITIALIZED, create_greeter(&g));
  EXPECT_EQ(nullptr, g);

  // The switch: another part of the process holds the MTA.
  sim::com_set_implicit_mta(true);
  ASSERT_EQ(S_OK, create_greeter(&g));
  g->Release();
  sim::com_set_implicit_mta(false);

  // An STA thread creates its own objects.
  on_thread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    IGreeter *mine = nullptr;
    EXPECT_EQ(S_OK, create_greeter(&mine));
    if (mine) mine->Release();
    CoUninitialize();
  });

  // A thread that joins the MTA and never leaves keeps the MTA alive for threads without COM.
  on_thread([] { EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); });
  ASSERT_EQ(S_OK, create_greeter(&g));
  g->Release();

  // The machine description can set the switch.
  sim::load_machine_json(R"({"com": {"implicit_mta": true}})");
  EXPECT_TRUE(sim::com_implicit_mta());
  EXPECT_THROW(sim::load_machine_json(R"({"com": {"implicit_mta": 1}})"), std::runtime_error);

  // A reset ends every apartment.
  sim::reset_machine();
  register_greeter();
  EXPECT_EQ(CO_E_NOTINITIALIZED, create_greeter(&g));
  EXPECT_FALSE(sim::com_implicit_mta());
}

TEST_F(ComApartmentTest, SecurityIsSetOncePerProcess) {
  EXPECT_EQ(CO_E_NOTINITIALIZED, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(S_OK, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  EXPECT_EQ(RPC_E_TOO_LATE, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  const auto log = sim::com_security_log();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(-1, log[1].auth_services);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), log[1].imp_level);
  CoUninitialize();
}

}  // namespace

// Simulated machine: COM. Per-thread apartments, the class table behind CoCreateInstance, the
// base of simulated COM objects, and the accounting that finds leaked objects, BSTRs and arrays.
//
// Apartments: each thread (by GetCurrentThreadId) is in no apartment, the multithreaded one
// (MTA) or a single-threaded one (STA). A thread in no apartment may still create objects while
// an implicit MTA exists: when the switch below is on, or while another thread is in the MTA
// (as on Windows, where the MTA lives as long as any thread holds it). Every apartment that
// begins has an identity of its own: an STA from its thread's first CoInitializeEx to its last
// CoUninitialize, the MTA from the first thread that joins it (or the switch) until the last one
// leaves; an MTA that begins again is another apartment.
//
// Proxies: an object of another process (WMI's IWbemServices and IEnumWbemClassObject) reaches
// its caller as a proxy that belongs to the apartment of the thread that received it
// (ComProxyBinding). A call through it answers, as Windows does:
//   CO_E_NOTINITIALIZED  the calling thread has no COM (no apartment and no implicit MTA);
//   RPC_E_DISCONNECTED   the proxy's apartment has ended (its last CoUninitialize ran, or a
//                        machine reset): the tear-down disconnected it;
//   RPC_E_WRONG_THREAD   the calling thread is in another apartment (the proxy was not marshalled
//                        to it).
// Each refused call is recorded as a misuse ("com_proxy_misuse"). AddRef, Release and
// QueryInterface are the proxy's own and keep working, so a disconnected proxy can still be let
// go. In-process objects (the WMI locator and class objects, the Task Scheduler, the LED HAL
// servers, DirectShow) are plain objects in the process and keep answering after their
// apartment ended. CoSetProxyBlanket on a disconnected proxy is not documented and stays
// permissive.
//
// Class table: CoCreateInstance finds the class by CLSID and asks its factory for a fresh
// object, or answers the HRESULT registered for it; an unknown class gives REGDB_E_CLASSNOTREG.
//
// Faults: CoCreateInstance asks the fault rules (FaultOp::other) with the keys
//   "api": "com", "function": "CoCreateInstance", "clsid": "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// (upper case); a fired FaultAction::fail makes it return the rule's `error` as the HRESULT.
// CoInitializeEx, CoInitializeSecurity and CoSetProxyBlanket ask with "api": "com" and their
// "function" name alone and fail the same way; SysAllocString, SysAllocStringLen and
// SafeArrayCreate (also behind SafeArrayCreateVector) ask the same way and answer NULL.
//
// Accounting (sim::ResourceSnapshot): "com_objects" (live objects built on ComObject),
// "bstrs", "safearrays", "com_task_memory" (CoTaskMemAlloc blocks) and "com_bad_releases"
// (SysFreeString, SafeArrayDestroy or CoTaskMemFree of something not live, CoUninitialize on a
// thread without COM) and "com_proxy_misuse" (calls refused by a proxy, above). A VARIANT owns no
// counter of its own: one that was never cleared shows as the BSTR, object or array it still
// holds.
//
// Machine description: an optional section "com": { "implicit_mta": true } sets the switch.
//
// Reset (sim::reset_machine): the class table, the implicit-MTA switch, every thread's
// apartment, the security state and the call logs. The counters of live things and of bad
// releases are never reset: a thing leaked by one test stays leaked (the leak check compares a
// test's start with its end), and a later free of it still balances. Apartment identities are
// never reused, so a proxy kept across a reset stays disconnected.
#pragma once
#ifndef _WIN32

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace sim {

// ---- Apartments ----------------------------------------------------------------------------------

enum class ComApartment { none, mta, sta };

struct ComThreadState {
  ComApartment apartment = ComApartment::none;
  ULONG inits = 0;  // successful CoInitializeEx calls not yet balanced by CoUninitialize
  uint64_t id = 0;  // the apartment's identity (0: none); set by the machine
};

// The calling thread's / a thread's apartment.
ComThreadState com_thread_state();
ComThreadState com_thread_state(DWORD thread_id);
// Puts a thread into an apartment as if it had called CoInitializeEx `inits` times (none: 0);
// `id` is ignored (a thread that stays in its STA keeps it).
void com_set_thread_state(DWORD thread_id, ComThreadState state);
// "An implicit MTA exists": threads without COM may use MTA objects.
void com_set_implicit_mta(bool exists);
bool com_implicit_mta();

// The apartment calls from this thread are made in: its own, else the implicit MTA; 0 for none.
uint64_t com_current_apartment();
// Whether the apartment with this identity still exists.
bool com_apartment_alive(uint64_t id);

// ---- Proxies ---------------------------------------------------------------------------------------

// What a call through a proxy of `apartment` answers on the calling thread: S_OK, or the refusal
// (CO_E_NOTINITIALIZED, RPC_E_DISCONNECTED, RPC_E_WRONG_THREAD), which is recorded with `call`
// ("IWbemServices::ExecQuery").
HRESULT com_proxy_call(uint64_t apartment, const char *call);
size_t com_proxy_misuse_count();
// One line per refused call, in order.
std::vector<std::string> com_proxy_misuse_log();

// Base of a simulated proxy: it belongs to the apartment of the thread that makes it. Each of
// its methods (but AddRef, Release and QueryInterface) starts with
//   if (HRESULT hr = proxy_call("IWbemServices::ExecQuery"); hr != S_OK) return hr;
class ComProxyBinding {
 public:
  ComProxyBinding() : apartment_(com_current_apartment()) {}
  uint64_t apartment() const { return apartment_; }

 protected:
  HRESULT proxy_call(const char *call) const { return com_proxy_call(apartment_, call); }

 private:
  uint64_t apartment_;
};

// ---- Class table ------------------------------------------------------------------------------------

// Makes a fresh object holding one reference (the caller's), or returns null (E_OUTOFMEMORY).
using ComFactory = std::function<IUnknown *()>;

// Registers a class; `contexts` are the CLSCTX_* values it serves (a request must share one).
// Registering a CLSID again replaces the entry.
void com_register_class(REFCLSID clsid, ComFactory factory, DWORD contexts = CLSCTX_INPROC_SERVER);
// CoCreateInstance of this class answers `hr` (a failure) and creates nothing.
void com_register_class_result(REFCLSID clsid, HRESULT hr);
bool com_unregister_class(REFCLSID clsid);

// ---- Call logs ---------------------------------------------------------------------------------------

struct ComCreateCall {
  DWORD thread_id;
  CLSID clsid;
  bool outer;  // an outer object was passed
  DWORD context;
  IID iid;
  HRESULT result;
};
struct ComSecurityCall {
  DWORD thread_id;
  LONG auth_services;
  DWORD authn_level;
  DWORD imp_level;
  DWORD capabilities;
  HRESULT result;
};
struct ComBlanketCall {
  DWORD thread_id;
  IUnknown *proxy;
  DWORD authn_service;
  DWORD authz_service;
  bool principal;  // a server principal name was passed
  DWORD authn_level;
  DWORD imp_level;
  bool auth_info;  // an authentication identity was passed
  DWORD capabilities;
  HRESULT result;
};
std::vector<ComCreateCall> com_create_log();
std::vector<ComSecurityCall> com_security_log();
std::vector<ComBlanketCall> com_blanket_log();

// ---- Accounting ----------------------------------------------------------------------------------

size_t com_live_objects();
size_t com_live_bstrs();
size_t com_live_safearrays();
size_t com_bad_release_count();
// One line per bad release, in order.
std::vector<std::string> com_bad_release_log();
// "kind@address" of every live object built on ComObject.
std::vector<std::string> com_describe_live_objects();

// ---- GUID text ---------------------------------------------------------------------------------------

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string guid_text(REFGUID guid);
// Reads that form (either case, braces required); false for anything else.
bool guid_from_text(const std::string &text, GUID *out);

// ---- Simulated COM objects ---------------------------------------------------------------------------

namespace com_detail {
void object_born(const void *object, const char *kind);
void object_died(const void *object);
}  // namespace com_detail

// The base of every simulated COM object: reference counting (an object starts with one
// reference, the creator's, and deletes itself on the last Release), QueryInterface over a list
// of IIDs, and the live-object count.
//
//   class FakeLocator : public sim::ComObject<IWbemLocator> {
//    public:
//     FakeLocator() : ComObject("wbem locator", {IID_IWbemLocator}) {}
//     HRESULT STDMETHODCALLTYPE ConnectServer(...) override;
//   };
//   sim::com_register_class_of<FakeLocator>(CLSID_WbemLocator);
//   (or, with a factory of its own: [&] { return (new FakeLocator(config))->unknown(); })
//
// `iids` lists, in the order of Interfaces, the IID each interface answers to. IUnknown answers
// with the first interface; answer() adds further IIDs (an interface's bases, such as IDispatch
// or a generic trigger interface) mapped to one of the interfaces.
template <class... Interfaces>
class ComObject : public Interfaces... {
  static_assert(sizeof...(Interfaces) > 0, "a COM object implements at least one interface");

 public:
  ComObject(const char *kind, std::initializer_list<IID> iids) {
    size_t i = 0;
    for (const IID &iid : iids) table_.push_back({iid, i++});
    com_detail::object_born(this, kind);
  }
  ComObject(const ComObject &) = delete;
  ComObject &operator=(const ComObject &) = delete;
  virtual ~ComObject() { com_detail::object_died(this); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
      *ppv = interface_at(0);
    } else {
      for (const auto &[iid, index] : table_)
        if (iid == riid) {
          *ppv = interface_at(index);
          break;
        }
    }
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return ++refs_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // References held now (for tests; the value AddRef/Release would return).
  ULONG ref_count() const { return refs_.load(); }
  // The object as IUnknown (no reference added).
  IUnknown *unknown() { return static_cast<IUnknown *>(interface_at(0)); }

 protected:
  // Answers `iid` with the interface at `index` (0-based, in the order of Interfaces).
  void answer(REFIID iid, size_t index) { table_.push_back({iid, index}); }

 private:
  // Pointer to the index-th interface; converted back by the caller to that interface's type.
  void *interface_at(size_t index) {
    void *out = nullptr;
    size_t i = 0;
    ((out = (i++ == index) ? static_cast<void *>(static_cast<Interfaces *>(this)) : out), ...);
    return out;
  }

  std::atomic<ULONG> refs_{1};
  std::vector<std::pair<IID, size_t>> table_;
};

// Registers a class whose every creation is a fresh, default-constructed T (a ComObject).
template <class T>
void com_register_class_of(REFCLSID clsid, DWORD contexts = CLSCTX_INPROC_SERVER) {
  com_register_class(clsid, [] { return (new T)->unknown(); }, contexts);
}

// Supplies IDispatch's four methods (E_NOTIMPL) to an automation interface, so that a fake of
// a dual interface only writes the methods of its own: ComObject<DispatchNotImpl<ITaskService>>.
template <class I>
class DispatchNotImpl : public I {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                                   UINT *) override {
    return E_NOTIMPL;
  }
};

}  // namespace sim

#endif  // _WIN32

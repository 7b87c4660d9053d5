// COM: per-thread apartments, the class table behind CoCreateInstance, process security, proxy
// blankets, and the accounting of live objects, BSTRs, arrays and task memory.
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/src/com_internal.h"
#include "sim/com.h"
#include "sim/faults.h"
#include "sim/machine.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace sim {
namespace {

struct ClassEntry {
  CLSID clsid;
  ComFactory factory;  // empty: `result` answers
  DWORD contexts;
  HRESULT result;
};

// What a machine reset clears.
struct ComState {
  std::mutex lock;
  std::vector<ClassEntry> classes;
  bool implicit_mta = false;
  std::map<DWORD, ComThreadState> threads;
  uint64_t mta = 0;  // the multithreaded apartment's identity while it exists
  bool security_initialized = false;
  std::vector<ComCreateCall> creates;
  std::vector<ComSecurityCall> securities;
  std::vector<ComBlanketCall> blankets;
};

// What lives across resets: the things still allocated, and the bad releases seen.
struct ComAccounting {
  std::mutex lock;
  std::map<const void *, std::string> objects;
  std::set<const void *> bstrs;
  std::set<const void *> arrays;
  std::set<const void *> task_memory;
  std::vector<std::string> bad_releases;
  std::vector<std::string> proxy_misuse;
};

ComState &com_state() {
  static ComState *s = new ComState;
  return *s;
}

ComAccounting &accounting() {
  static ComAccounting *a = new ComAccounting;
  return *a;
}

void reset_com() {
  ComState &s = com_state();
  std::vector<ClassEntry> old;  // factories may own objects: destroy them outside the lock
  {
    std::lock_guard<std::mutex> g(s.lock);
    old.swap(s.classes);
    s.implicit_mta = false;
    s.threads.clear();
    s.mta = 0;
    s.security_initialized = false;
    s.creates.clear();
    s.securities.clear();
    s.blankets.clear();
  }
}

template <class Set>
size_t count_of(Set ComAccounting::*member) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  return (a.*member).size();
}

using LineLog = std::vector<std::string> ComAccounting::*;

std::vector<std::string> lines_of(LineLog log) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  return a.*log;
}

void add_line(LineLog log, std::string line) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  (a.*log).push_back(std::move(line));
}

// The machine description's "com" section: { "implicit_mta": true | false }.
void load_com(const nlohmann::json &j) {
  if (!j.is_object()) throw std::runtime_error("com: expected an object");
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() != "implicit_mta") throw std::runtime_error("com: unknown field \"" + it.key() + "\"");
    if (!it->is_boolean()) throw std::runtime_error("com.implicit_mta: expected true or false");
    com_set_implicit_mta(it->get<bool>());
  }
}

// Registered when the platform library is loaded, so that nothing is added to the machine's
// lists while a reset runs.
const bool g_registered = [] {
  register_machine_section("com", load_com, reset_com);
  register_resource_counter("com_objects", [] { return com_live_objects(); });
  register_resource_counter("bstrs", [] { return com_live_bstrs(); });
  register_resource_counter("safearrays", [] { return com_live_safearrays(); });
  register_resource_counter("com_task_memory", [] { return count_of(&ComAccounting::task_memory); });
  register_resource_counter("com_bad_releases", [] { return com_bad_release_count(); });
  register_resource_counter("com_proxy_misuse", [] { return com_proxy_misuse_count(); });
  return true;
}();

// Identities of apartments, never reused (not even across machine resets).
uint64_t new_apartment_id() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

// The MTA exists while a thread is in it or the implicit switch is on; once it has ended, the
// next one to begin is another apartment. Called after every change of membership.
void update_mta_locked(ComState &s) {
  bool held = s.implicit_mta;
  for (const auto &[id, t] : s.threads)
    if (t.apartment == ComApartment::mta) held = true;
  if (!held) s.mta = 0;
  else if (s.mta == 0) s.mta = new_apartment_id();
  for (auto &[id, t] : s.threads)
    if (t.apartment == ComApartment::mta) t.id = s.mta;
}

// The apartment the thread's calls are made in: its own, else the implicit MTA (0: none).
uint64_t current_apartment_locked(ComState &s, DWORD self) {
  auto it = s.threads.find(self);
  if (it != s.threads.end() && it->second.apartment != ComApartment::none) return it->second.id;
  return s.mta;
}

bool in_apartment_locked(ComState &s, DWORD self) { return current_apartment_locked(s, self) != 0; }

bool apartment_alive_locked(const ComState &s, uint64_t id) {
  if (id == 0) return false;
  if (id == s.mta) return true;
  for (const auto &[thread, t] : s.threads)
    if (t.apartment == ComApartment::sta && t.id == id) return true;
  return false;
}

const char *refusal_name(HRESULT hr) {
  switch (hr) {
    case CO_E_NOTINITIALIZED: return "CO_E_NOTINITIALIZED";
    case RPC_E_DISCONNECTED: return "RPC_E_DISCONNECTED";
    default: return "RPC_E_WRONG_THREAD";
  }
}

std::string pointer_text(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

bool add_to(std::set<const void *> ComAccounting::*member, const void *p) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  return (a.*member).insert(p).second;
}

bool remove_from(std::set<const void *> ComAccounting::*member, const void *p, const char *what) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  if ((a.*member).erase(p)) return true;
  a.bad_releases.push_back(std::string(what) + " of " + pointer_text(p) + ", which is not live");
  return false;
}

bool live_in(std::set<const void *> ComAccounting::*member, const void *p) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  return (a.*member).count(p) != 0;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---- Internal ---------------------------------------------------------------------------------------

namespace internal {

bool com_fault(const char *function, const std::string &clsid, HRESULT *hr) {
  FaultQuery q;
  q.op = FaultOp::other;
  q.keys["api"] = "com";
  q.keys["function"] = function;
  if (!clsid.empty()) q.keys["clsid"] = clsid;
  for (const FiredFault &f : check_faults(q)) {
    if (f.action.kind == FaultAction::fail) {
      // A rule may name a Win32 error (the default is ERROR_GEN_FAILURE) or a whole HRESULT; a
      // Win32 code is converted as COM does, so that a rule always makes the call fail.
      DWORD e = f.action.error;
      *hr = (e & 0x80000000u) != 0 ? static_cast<HRESULT>(e) : HRESULT_FROM_WIN32(e == 0 ? ERROR_GEN_FAILURE : e);
      return true;
    }
  }
  return false;
}

void com_add_bstr(const void *bstr) { add_to(&ComAccounting::bstrs, bstr); }
bool com_remove_bstr(const void *bstr, const char *what) {
  return remove_from(&ComAccounting::bstrs, bstr, what);
}
bool com_bstr_live(const void *bstr) { return live_in(&ComAccounting::bstrs, bstr); }
void com_add_array(const void *array) { add_to(&ComAccounting::arrays, array); }
bool com_remove_array(const void *array, const char *what) {
  return remove_from(&ComAccounting::arrays, array, what);
}
bool com_array_live(const void *array) { return live_in(&ComAccounting::arrays, array); }
void com_add_task_memory(void *block) { add_to(&ComAccounting::task_memory, block); }
bool com_remove_task_memory(const void *block, const char *what) {
  return remove_from(&ComAccounting::task_memory, block, what);
}

void com_record_bad_release(const std::string &line) { add_line(&ComAccounting::bad_releases, line); }

}  // namespace internal

// ---- Apartments ----------------------------------------------------------------------------------

ComThreadState com_thread_state() { return com_thread_state(GetCurrentThreadId()); }

ComThreadState com_thread_state(DWORD thread_id) {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.threads.find(thread_id);
  return it == s.threads.end() ? ComThreadState{} : it->second;
}

void com_set_thread_state(DWORD thread_id, ComThreadState state) {
  if (state.apartment == ComApartment::none) state.inits = 0;
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  ComThreadState &t = s.threads[thread_id];
  const bool same_sta = t.apartment == ComApartment::sta && state.apartment == ComApartment::sta;
  state.id = same_sta ? t.id : state.apartment == ComApartment::sta ? new_apartment_id() : 0;
  t = state;
  update_mta_locked(s);
}

void com_set_implicit_mta(bool exists) {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  s.implicit_mta = exists;
  update_mta_locked(s);
}

uint64_t com_current_apartment() {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return current_apartment_locked(s, GetCurrentThreadId());
}

bool com_apartment_alive(uint64_t id) {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return apartment_alive_locked(s, id);
}

// ---- Proxies -----------------------------------------------------------------------------------------

HRESULT com_proxy_call(uint64_t apartment, const char *call) {
  const DWORD self = GetCurrentThreadId();
  HRESULT hr = S_OK;
  {
    ComState &s = com_state();
    std::lock_guard<std::mutex> g(s.lock);
    const uint64_t here = current_apartment_locked(s, self);
    if (here == 0) hr = CO_E_NOTINITIALIZED;
    else if (!apartment_alive_locked(s, apartment)) hr = RPC_E_DISCONNECTED;
    else if (here != apartment) hr = RPC_E_WRONG_THREAD;
  }
  if (hr == S_OK) return hr;
  add_line(&ComAccounting::proxy_misuse, std::string(call) + " on thread " + std::to_string(self) +
                                             " through a proxy of apartment " + std::to_string(apartment) + ": " +
                                             refusal_name(hr));
  return hr;
}

size_t com_proxy_misuse_count() { return count_of(&ComAccounting::proxy_misuse); }
std::vector<std::string> com_proxy_misuse_log() { return lines_of(&ComAccounting::proxy_misuse); }

bool com_implicit_mta() {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.implicit_mta;
}

// ---- Class table ------------------------------------------------------------------------------------

namespace {
void put_class(ClassEntry entry) {
  ComState &s = com_state();
  std::unique_lock<std::mutex> g(s.lock);
  for (ClassEntry &e : s.classes) {
    if (e.clsid == entry.clsid) {
      std::swap(e, entry);  // the old entry goes with `entry`, after the lock
      return;
    }
  }
  s.classes.push_back(std::move(entry));
}
}  // namespace

void com_register_class(REFCLSID clsid, ComFactory factory, DWORD contexts) {
  put_class(ClassEntry{clsid, std::move(factory), contexts, S_OK});
}

void com_register_class_result(REFCLSID clsid, HRESULT hr) {
  put_class(ClassEntry{clsid, nullptr, CLSCTX_ALL, hr});
}

bool com_unregister_class(REFCLSID clsid) {
  ComState &s = com_state();
  ClassEntry old;
  std::lock_guard<std::mutex> g(s.lock);
  for (auto it = s.classes.begin(); it != s.classes.end(); ++it) {
    if (it->clsid == clsid) {
      old = std::move(*it);
      s.classes.erase(it);
      return true;
    }
  }
  return false;
}

// ---- Logs and accounting ---------------------------------------------------------------------------

std::vector<ComCreateCall> com_create_log() {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.creates;
}

std::vector<ComSecurityCall> com_security_log() {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.securities;
}

std::vector<ComBlanketCall> com_blanket_log() {
  ComState &s = com_state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.blankets;
}

size_t com_live_objects() {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  return a.objects.size();
}
size_t com_live_bstrs() { return count_of(&ComAccounting::bstrs); }
size_t com_live_safearrays() { return count_of(&ComAccounting::arrays); }
size_t com_bad_release_count() { return count_of(&ComAccounting::bad_releases); }
std::vector<std::string> com_bad_release_log() { return lines_of(&ComAccounting::bad_releases); }

std::vector<std::string> com_describe_live_objects() {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  std::vector<std::string> out;
  for (const auto &[object, kind] : a.objects) out.push_back(kind + "@" + pointer_text(object));
  return out;
}

namespace com_detail {
void object_born(const void *object, const char *kind) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  a.objects[object] = kind ? kind : "object";
}
void object_died(const void *object) {
  ComAccounting &a = accounting();
  std::lock_guard<std::mutex> g(a.lock);
  a.objects.erase(object);
}
}  // namespace com_detail

// ---- GUID text ---------------------------------------------------------------------------------------

std::string guid_text(REFGUID guid) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return buf;
}

bool guid_from_text(const std::string &text, GUID *out) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes at 9, 14, 19 and 24.
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  GUID g;
  g.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  if (out) *out = g;
  return true;
}

}  // namespace sim

// ---- The Win32 calls -----------------------------------------------------------------------------------

using sim::ComApartment;

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  HRESULT hr;
  if (sim::internal::com_fault("CoInitializeEx", "", &hr)) return hr;
  if (pvReserved) return E_INVALIDARG;
  const ComApartment want = (dwCoInit & COINIT_APARTMENTTHREADED) ? ComApartment::sta : ComApartment::mta;
  sim::ComState &s = sim::com_state();
  std::lock_guard<std::mutex> g(s.lock);
  sim::ComThreadState &t = s.threads[GetCurrentThreadId()];
  if (t.apartment == ComApartment::none) {
    t.apartment = want;
    t.inits = 1;
    t.id = want == ComApartment::sta ? sim::new_apartment_id() : 0;
    sim::update_mta_locked(s);
    return S_OK;
  }
  if (t.apartment != want) return RPC_E_CHANGED_MODE;
  ++t.inits;
  return S_FALSE;
}

void CoUninitialize(void) {
  const DWORD self = GetCurrentThreadId();
  sim::ComState &s = sim::com_state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.threads.find(self);
    if (it != s.threads.end() && it->second.inits > 0) {
      // The last call ends the thread's membership; the apartment ends with it when it was an
      // STA, or the MTA's last member (its proxies are then disconnected).
      if (--it->second.inits == 0) {
        it->second.apartment = ComApartment::none;
        it->second.id = 0;
        sim::update_mta_locked(s);
      }
      return;
    }
  }
  sim::internal::com_record_bad_release("CoUninitialize on thread " + std::to_string(self) +
                                        ", which has no COM");
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID *ppv) {
  const DWORD self = GetCurrentThreadId();
  sim::ComState &s = sim::com_state();
  auto finish = [&](HRESULT hr) {
    std::lock_guard<std::mutex> g(s.lock);
    s.creates.push_back(sim::ComCreateCall{self, rclsid, pUnkOuter != nullptr, dwClsContext, riid, hr});
    return hr;
  };
  if (!ppv) return finish(E_POINTER);
  *ppv = nullptr;

  sim::ComFactory factory;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (!sim::in_apartment_locked(s, self)) {
      s.creates.push_back(sim::ComCreateCall{self, rclsid, pUnkOuter != nullptr, dwClsContext, riid,
                                             CO_E_NOTINITIALIZED});
      return CO_E_NOTINITIALIZED;
    }
  }
  HRESULT hr;
  if (sim::internal::com_fault("CoCreateInstance", sim::guid_text(rclsid), &hr)) return finish(hr);
  {
    std::lock_guard<std::mutex> g(s.lock);
    const sim::ClassEntry *entry = nullptr;
    for (const sim::ClassEntry &e : s.classes)
      if (e.clsid == rclsid) entry = &e;
    if (!entry || !(entry->contexts & dwClsContext)) {
      hr = REGDB_E_CLASSNOTREG;
    } else if (!entry->factory) {
      hr = entry->result;
    } else {
      factory = entry->factory;  // called outside the lock: it may create objects itself
      hr = S_OK;
    }
  }
  if (hr != S_OK) return finish(hr);
  if (pUnkOuter) return finish(CLASS_E_NOAGGREGATION);
  IUnknown *object = factory();
  if (!object) return finish(E_OUTOFMEMORY);
  hr = object->QueryInterface(riid, ppv);
  object->Release();
  return finish(FAILED(hr) ? E_NOINTERFACE : S_OK);
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc, SOLE_AUTHENTICATION_SERVICE *, void *,
                             DWORD dwAuthnLevel, DWORD dwImpLevel, void *, DWORD dwCapabilities, void *) {
  const DWORD self = GetCurrentThreadId();
  HRESULT hr = S_OK;
  bool injected = sim::internal::com_fault("CoInitializeSecurity", "", &hr);
  sim::ComState &s = sim::com_state();
  std::lock_guard<std::mutex> g(s.lock);
  if (injected) {
  } else if (!sim::in_apartment_locked(s, self)) {
    hr = CO_E_NOTINITIALIZED;
  } else if (s.security_initialized) {
    hr = RPC_E_TOO_LATE;
  } else {
    s.security_initialized = true;
  }
  s.securities.push_back(sim::ComSecurityCall{self, cAuthSvc, dwAuthnLevel, dwImpLevel, dwCapabilities, hr});
  return hr;
}

HRESULT CoSetProxyBlanket(IUnknown *pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR *pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities) {
  HRESULT hr = S_OK;
  if (!pProxy) hr = E_INVALIDARG;
  else sim::internal::com_fault("CoSetProxyBlanket", "", &hr);
  sim::ComState &s = sim::com_state();
  std::lock_guard<std::mutex> g(s.lock);
  s.blankets.push_back(sim::ComBlanketCall{GetCurrentThreadId(), pProxy, dwAuthnSvc, dwAuthzSvc,
                                           pServerPrincName != nullptr, dwAuthnLevel, dwImpLevel,
                                           pAuthInfo != nullptr, dwCapabilities, hr});
  return hr;
}

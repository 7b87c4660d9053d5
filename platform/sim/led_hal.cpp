// Simulated machine: the LED lighting driver's HAL servers and LED devices (sim/led_hal.h).
#include "sim/led_hal.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../src/com_internal.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/machine.h"
#include "vornwincom/LedDevice.h"

namespace sim {
namespace {

using json = nlohmann::json;

struct LedServer {
  std::string name;
  CLSID clsid;
  std::vector<std::optional<std::string>> capabilities;  // per device; nullopt: NULL BSTR
  std::optional<uint32_t> count, second_count;
  std::set<uint32_t> null_entries;
};
using Server = std::shared_ptr<const LedServer>;

struct LedState {
  std::mutex lock;
  std::vector<LedHalCall> calls;
};
LedState &state() {
  static LedState *s = new LedState;
  return *s;
}

LedHalCall make_call(const std::string &server, int device, const char *method) {
  LedHalCall c;
  c.server = server;
  c.device = device;
  c.method = method;
  return c;
}

void record(LedHalCall call) {
  std::lock_guard<std::mutex> g(state().lock);
  state().calls.push_back(std::move(call));
}

bool fault(const char *function, const Server &s, HRESULT *hr) {
  return internal::com_fault(function, guid_text(s->clsid), hr);
}

// UTF-8 to UTF-16; a malformed sequence gives U+FFFD.
std::u16string utf16(const std::string &s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      ok = (t >> 6) == 2;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

class LedDeviceObject : public ComObject<ILedDevice> {
 public:
  LedDeviceObject(Server s, int index) : ComObject("led device", {}), s_(std::move(s)), index_(index) {}
  ~LedDeviceObject() override { record(make_call(s_->name, index_, "destroyed")); }

  HRESULT STDMETHODCALLTYPE GetCapability(BSTR *xml) override {
    if (!xml) return E_POINTER;
    *xml = nullptr;
    record(make_call(s_->name, index_, "GetCapability"));
    HRESULT hr;
    if (fault("GetCapability", s_, &hr)) return hr;
    const std::optional<std::string> &text = s_->capabilities[static_cast<size_t>(index_)];
    if (!text) return S_OK;
    std::u16string w = utf16(*text);
    *xml = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(w.c_str()), static_cast<UINT>(w.size()));
    return *xml ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE SetEffect(BYTE effect, DWORD *colours, DWORD count) override {
    return effect_call("SetEffect", effect, colours, count, 0, 0);
  }
  HRESULT STDMETHODCALLTYPE Reserved() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEffectEx(BYTE effect, DWORD *colours, DWORD count, DWORD a, DWORD b) override {
    return effect_call("SetEffectEx", effect, colours, count, a, b);
  }
  HRESULT STDMETHODCALLTYPE SetConfig(DWORD config) override {
    LedHalCall c = make_call(s_->name, index_, "SetConfig");
    c.value_a = config;
    record(c);
    HRESULT hr;
    if (fault("SetConfig", s_, &hr)) return hr;
    return config <= 1 ? S_OK : E_INVALIDARG;
  }

 private:
  HRESULT effect_call(const char *method, BYTE effect, DWORD *colours, DWORD count, DWORD a, DWORD b) {
    LedHalCall c = make_call(s_->name, index_, method);
    c.effect = effect;
    c.colours_null = colours == nullptr;
    if (colours) c.colours.assign(colours, colours + count);
    c.count = count;
    c.value_a = a;
    c.value_b = b;
    record(c);
    HRESULT hr;
    if (fault(method, s_, &hr)) return hr;
    return !colours && count != 0 ? E_POINTER : S_OK;
  }

  Server s_;
  int index_;
};

class LedHalObject : public ComObject<ILedHal> {
 public:
  explicit LedHalObject(Server s) : ComObject("led hal", {IID_ILedHal}), s_(std::move(s)) {}

  HRESULT STDMETHODCALLTYPE EnumerateDevices(ILedDevice **devices, DWORD *count) override {
    if (!count) return E_POINTER;
    LedHalCall c = make_call(s_->name, -1, "EnumerateDevices");
    c.colours_null = devices == nullptr;
    c.count = *count;
    record(c);
    HRESULT hr;
    if (fault("EnumerateDevices", s_, &hr)) return hr;
    const DWORD n = static_cast<DWORD>(s_->capabilities.size());
    if (!devices) {
      *count = s_->count.value_or(n);
      return S_OK;
    }
    DWORD filled = std::min({*count, n, s_->second_count.value_or(n)});
    for (DWORD i = 0; i < filled; ++i)
      devices[i] = s_->null_entries.count(i) ? nullptr : new LedDeviceObject(s_, static_cast<int>(i));
    *count = s_->second_count.value_or(filled);
    return S_OK;
  }

 private:
  Server s_;
};

Server load_server(const json &j, const std::string &name, const CLSID &clsid) {
  const std::string w = "led_hal." + name;
  if (!j.is_object()) throw std::runtime_error(w + ": expected an object");
  auto s = std::make_shared<LedServer>();
  s->name = name;
  s->clsid = clsid;
  auto u32 = [&](const char *key) -> uint32_t {
    const json &v = j[key];
    if (!v.is_number_unsigned() || v.get<uint64_t>() > 0xFFFFFFFFull)
      throw std::runtime_error(w + "." + key + ": expected a number from 0 to 4294967295");
    return v.get<uint32_t>();
  };
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &k = it.key();
    if (k == "count") {
      s->count = u32("count");
    } else if (k == "second_count") {
      s->second_count = u32("second_count");
    } else if (k == "null_entries") {
      if (!it->is_array()) throw std::runtime_error(w + ".null_entries: expected an array of indices");
      for (const json &i : *it) {
        if (!i.is_number_unsigned()) throw std::runtime_error(w + ".null_entries: expected an array of indices");
        s->null_entries.insert(i.get<uint32_t>());
      }
    } else if (k == "devices") {
      if (!it->is_array()) throw std::runtime_error(w + ".devices: expected an array");
      for (size_t i = 0; i < it->size(); ++i) {
        const json &d = (*it)[i];
        const std::string dw = w + ".devices[" + std::to_string(i) + "]";
        if (!d.is_object()) throw std::runtime_error(dw + ": expected an object");
        for (auto f = d.begin(); f != d.end(); ++f)
          if (f.key() != "capability") throw std::runtime_error(dw + "." + f.key() + ": unknown field");
        if (!d.contains("capability")) throw std::runtime_error(dw + ": expected \"capability\"");
        const json &c = d["capability"];
        if (c.is_null()) s->capabilities.emplace_back(std::nullopt);
        else if (c.is_string()) s->capabilities.emplace_back(c.get<std::string>());
        else throw std::runtime_error(dw + ".capability: expected a string or null");
      }
    } else {
      throw std::runtime_error(w + "." + k + ": unknown field");
    }
  }
  return s;
}

void load_led_hal(const json &j) {
  if (!j.is_object()) throw std::runtime_error("led_hal: expected an object");
  for (auto it = j.begin(); it != j.end(); ++it)
    if (it.key() != "jarn" && it.key() != "quillan") throw std::runtime_error("led_hal." + it.key() + ": unknown server");
  const std::pair<const char *, CLSID> servers[] = {{"jarn", CLSID_JarnLedHal}, {"quillan", CLSID_QuillanLedHal}};
  for (const auto &[name, clsid] : servers) {
    if (!j.contains(name)) continue;
    Server s = load_server(j[name], name, clsid);
    com_register_class(clsid, [s] { return (new LedHalObject(s))->unknown(); });
  }
}

}  // namespace

std::vector<LedHalCall> led_hal_calls() {
  std::lock_guard<std::mutex> g(state().lock);
  return state().calls;
}

void clear_led_hal_calls() {
  std::lock_guard<std::mutex> g(state().lock);
  state().calls.clear();
}

void register_led_hal_section() {
  static const bool registered = [] {
    // The class table is reset with the machine; the call log with it.
    register_machine_section("led_hal", load_led_hal, clear_led_hal_calls);
    return true;
  }();
  (void)registered;
}

}  // namespace sim

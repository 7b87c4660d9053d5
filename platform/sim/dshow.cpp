// Simulated machine: DirectShow device enumeration for video input devices. The system device
// enumerator (registered on every reset), the video input category's monikers in description
// order, their property bags, base filters with topology nodes and node controls answering the
// extension-unit property, and the display-name parser that finds a moniker by device path.
//
// Machine description: "video": [ { "friendly_name": "...", "description": "...",
//   "device_path": "...", "wrong_type": ["FriendlyName"], "nodes": [ { "dev_specific": true,
//   "answers": true } ] } ]. An absent text is an absent property; a property named in
//   "wrong_type" reads as VT_I4. "nodes": null makes the node count unreadable.
//
// Faults (FaultOp::other): "api": "com", "function": one of "CreateClassEnumerator",
// "BindToStorage", "Read", "BindToObject", "QueryInterface" (the filter's topology),
// "get_NumNodes", "CreateNodeInstance", "KsProperty", "MkParseDisplayName"; a fired fail
// makes that call return the rule's error.
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../src/com_internal.h"
#include "platform/win32.h"
#include "sim/com.h"
#include "sim/machine.h"
#include "sim/video.h"

const CLSID CLSID_SystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const CLSID CLSID_VideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const IID IID_ICreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const IID IID_IEnumMoniker = {0x00000102, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IMoniker = {0x0000000F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IBindCtx = {0x0000000E, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
const IID IID_IBaseFilter = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const IID IID_IKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const IID IID_IKsControl = {0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID KSNODETYPE_DEV_SPECIFIC = {0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

namespace sim {
namespace {

using json = nlohmann::json;

// The extension-unit property set the node controls answer.
constexpr GUID kXuSet = {0x4773FA06, 0xFE24, 0x48D9, {0xA2, 0x6C, 0x7E, 0xFC, 0x7F, 0xC1, 0xE3, 0xDD}};
constexpr ULONG kXuAnswer = 64;

struct VideoNode {
  bool dev_specific = false;
  bool answers = false;
};

struct VideoDevice {
  std::optional<std::string> friendly_name, description, device_path;
  std::vector<std::string> wrong_type;
  std::optional<std::vector<VideoNode>> nodes;
};

struct VideoState {
  std::mutex lock;
  std::vector<std::shared_ptr<const VideoDevice>> devices;
};
VideoState &video() {
  static VideoState *s = new VideoState;
  return *s;
}

bool fault(const char *function, HRESULT *hr) { return internal::com_fault(function, "", hr); }

std::u16string widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }
std::string narrow(const OLECHAR *w) {
  std::string s;
  for (; w && *w; ++w) s += static_cast<char>(*w);
  return s;
}

using Device = std::shared_ptr<const VideoDevice>;

class NodeControl : public ComObject<IKsControl> {
 public:
  explicit NodeControl(bool answers) : ComObject("ks control", {IID_IKsControl}), answers_(answers) {}
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY p, ULONG plen, LPVOID data, ULONG dlen, ULONG *ret) override {
    if (ret) *ret = 0;
    HRESULT hr;
    if (fault("KsProperty", &hr)) return hr;
    if (!p || plen < sizeof(KSP_NODE) || !(p->Set == kXuSet) || p->Id != 0 ||
        p->Flags != (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY))
      return E_INVALIDARG;
    if (!answers_) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    if (!data || dlen < kXuAnswer) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
    std::memset(data, 0, kXuAnswer);
    if (ret) *ret = kXuAnswer;
    return S_OK;
  }

 private:
  bool answers_;
};

class Filter : public ComObject<IBaseFilter, IKsTopologyInfo> {
 public:
  explicit Filter(Device d) : ComObject("base filter", {IID_IBaseFilter, IID_IKsTopologyInfo}), d_(std::move(d)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    HRESULT hr;
    if (riid == IID_IKsTopologyInfo && fault("QueryInterface", &hr)) {
      if (ppv) *ppv = nullptr;
      return hr;
    }
    return ComObject::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD *n) override {
    HRESULT hr;
    if (!n) return E_POINTER;
    if (fault("get_NumNodes", &hr)) return hr;
    if (!d_->nodes) return E_FAIL;
    *n = static_cast<DWORD>(d_->nodes->size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_NodeType(DWORD i, GUID *type) override {
    if (!type) return E_POINTER;
    if (!d_->nodes || i >= d_->nodes->size()) return E_INVALIDARG;
    *type = (*d_->nodes)[i].dev_specific ? KSNODETYPE_DEV_SPECIFIC : GUID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD i, REFIID iid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    HRESULT hr;
    if (fault("CreateNodeInstance", &hr)) return hr;
    if (!d_->nodes || i >= d_->nodes->size()) return E_INVALIDARG;
    if (!(iid == IID_IKsControl)) return E_NOINTERFACE;
    *ppv = static_cast<IKsControl *>(new NodeControl((*d_->nodes)[i].answers));
    return S_OK;
  }

 private:
  Device d_;
};

class Bag : public ComObject<IPropertyBag> {
 public:
  explicit Bag(Device d) : ComObject("property bag", {IID_IPropertyBag}), d_(std::move(d)) {}
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT *v, IErrorLog *) override {
    if (!name || !v) return E_POINTER;
    HRESULT hr;
    if (fault("Read", &hr)) return hr;
    std::string n = narrow(name);
    const std::optional<std::string> *text = n == "FriendlyName"  ? &d_->friendly_name
                                             : n == "Description" ? &d_->description
                                             : n == "DevicePath"  ? &d_->device_path
                                                                  : nullptr;
    if (!text || !*text) return E_FAIL;
    for (const std::string &w : d_->wrong_type)
      if (w == n) {
        v->vt = VT_I4;
        v->lVal = 1;
        return S_OK;
      }
    std::u16string w = widen(**text);
    BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(w.c_str()), static_cast<UINT>(w.size()));
    if (!b) return E_OUTOFMEMORY;
    v->vt = VT_BSTR;
    v->bstrVal = b;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT *) override { return E_NOTIMPL; }

 private:
  Device d_;
};

class Moniker : public ComObject<IMoniker> {
 public:
  explicit Moniker(Device d) : ComObject("moniker", {IID_IMoniker}), d_(std::move(d)) {}
  HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx *, IMoniker *, REFIID iid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    HRESULT hr;
    if (fault("BindToObject", &hr)) return hr;
    if (!(iid == IID_IBaseFilter)) return E_NOINTERFACE;
    *ppv = static_cast<IBaseFilter *>(new Filter(d_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx *, IMoniker *, REFIID iid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    HRESULT hr;
    if (fault("BindToStorage", &hr)) return hr;
    if (!(iid == IID_IPropertyBag)) return E_NOINTERFACE;
    *ppv = static_cast<IPropertyBag *>(new Bag(d_));
    return S_OK;
  }

 private:
  Device d_;
};

class EnumMoniker : public ComObject<IEnumMoniker> {
 public:
  explicit EnumMoniker(std::vector<Device> d) : ComObject("moniker enumerator", {IID_IEnumMoniker}), d_(std::move(d)) {}
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker **out, ULONG *fetched) override {
    if (!out) return E_POINTER;
    ULONG n = 0;
    for (; n < celt && next_ < d_.size(); ++n) out[n] = new Moniker(d_[next_++]);
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    next_ = std::min(d_.size(), next_ + celt);
    return next_ < d_.size() ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker **) override { return E_NOTIMPL; }

 private:
  std::vector<Device> d_;
  size_t next_ = 0;
};

std::vector<Device> devices() {
  std::lock_guard<std::mutex> g(video().lock);
  return video().devices;
}

class DevEnum : public ComObject<ICreateDevEnum> {
 public:
  DevEnum() : ComObject("system device enumerator", {IID_ICreateDevEnum}) {}
  HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker **out, DWORD) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr;
    if (fault("CreateClassEnumerator", &hr)) return hr;
    std::vector<Device> d = category == CLSID_VideoInputDeviceCategory ? devices() : std::vector<Device>{};
    if (d.empty()) return S_FALSE;
    *out = new EnumMoniker(std::move(d));
    return S_OK;
  }
};

class BindCtx : public ComObject<IBindCtx> {
 public:
  BindCtx() : ComObject("bind context", {IID_IBindCtx}) {}
};

std::optional<std::string> text_field(const json &j, const char *key, const std::string &where) {
  if (!j.contains(key)) return std::nullopt;
  if (!j[key].is_string()) throw std::runtime_error(where + "." + key + ": expected a string");
  return j[key].get<std::string>();
}

void load_video(const json &j) {
  if (!j.is_array()) throw std::runtime_error("video: expected an array of devices");
  std::vector<Device> list;
  for (size_t i = 0; i < j.size(); ++i) {
    const json &e = j[i];
    std::string where = "video[" + std::to_string(i) + "]";
    if (!e.is_object()) throw std::runtime_error(where + ": expected an object");
    auto d = std::make_shared<VideoDevice>();
    d->friendly_name = text_field(e, "friendly_name", where);
    d->description = text_field(e, "description", where);
    d->device_path = text_field(e, "device_path", where);
    if (e.contains("wrong_type")) d->wrong_type = e["wrong_type"].get<std::vector<std::string>>();
    if (!e.contains("nodes")) {
      d->nodes.emplace();
    } else if (!e["nodes"].is_null()) {
      d->nodes.emplace();
      for (const json &n : e["nodes"])
        d->nodes->push_back({n.value("dev_specific", false), n.value("answers", false)});
    }
    list.push_back(std::move(d));
  }
  std::lock_guard<std::mutex> g(video().lock);
  video().devices = std::move(list);
}

void reset_video() {
  std::lock_guard<std::mutex> g(video().lock);
  video().devices.clear();
}

}  // namespace

void register_video_section() {
  static const bool registered = [] {
    register_machine_section("video", load_video, reset_video);
    // Run after every section's reset (the class table's among them): the enumerator always exists.
    register_reset_hook("dshow", [] { com_register_class_of<DevEnum>(CLSID_SystemDeviceEnum); });
    com_register_class_of<DevEnum>(CLSID_SystemDeviceEnum);
    return true;
  }();
  (void)registered;
}

}  // namespace sim

HRESULT CreateBindCtx(DWORD, IBindCtx **ppbc) {
  if (!ppbc) return E_POINTER;
  *ppbc = new sim::BindCtx;
  return S_OK;
}

HRESULT MkParseDisplayName(IBindCtx *pbc, LPCOLESTR name, ULONG *eaten, IMoniker **ppmk) {
  if (eaten) *eaten = 0;
  if (!ppmk) return E_POINTER;
  *ppmk = nullptr;
  if (!pbc || !name) return E_INVALIDARG;
  HRESULT hr;
  if (sim::fault("MkParseDisplayName", &hr)) return hr;
  std::string text = sim::narrow(name);
  const std::string prefix = "@device:pnp:";
  if (text.compare(0, prefix.size(), prefix) != 0) return MK_E_SYNTAX;
  for (const sim::Device &d : sim::devices()) {
    if (d->device_path && *d->device_path == text.substr(prefix.size())) {
      *ppmk = new sim::Moniker(d);
      if (eaten) *eaten = static_cast<ULONG>(text.size());
      return S_OK;
    }
  }
  return MK_E_SYNTAX;
}

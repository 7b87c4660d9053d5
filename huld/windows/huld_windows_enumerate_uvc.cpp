// Enumeration of the video input devices that carry an extension unit, and the opening and
// closing of their control. COM must be initialised on the calling thread; every COM object,
// BSTR and VARIANT taken here is released on every path, except the open record's control.
#define HULD_MODULE "huld\\windows\\huld_windows_enumerate"

#include <cstdio>
#include <cstring>
#include <string>

#include "huld/huld_log.h"
#include "huld/windows/huld_windows_enumerate.h"

namespace {

// The extension-unit property set; property 0 is read (a 64-byte answer) only as a test.
constexpr GUID kXuPropertySet = {0x4773FA06, 0xFE24, 0x48D9, {0xA2, 0x6C, 0x7E, 0xFC, 0x7F, 0xC1, 0xE3, 0xDD}};
constexpr ULONG kXuAnswerSize = 64;
constexpr uint32_t kNoNode = 0xFFFFFFFFu;
constexpr DWORD kMaxXuNodes = 256;

template <class T>
void release(T **p) {
  if (*p) (*p)->Release();
  *p = nullptr;
}

// UTF-16 text of a literal, for the property names and the display name.
std::basic_string<OLECHAR> wide(const char *s) {
  std::basic_string<OLECHAR> w;
  for (; *s; ++s) w += static_cast<OLECHAR>(static_cast<unsigned char>(*s));
  return w;
}

HRESULT read_xu_property(IKsControl *control, uint32_t node) {
  KSP_NODE prop;
  std::memset(&prop, 0, sizeof prop);
  prop.Property.Set = kXuPropertySet;
  prop.Property.Id = 0;
  prop.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  prop.NodeId = node;
  unsigned char answer[kXuAnswerSize] = {};
  ULONG returned = 0;
  return control->KsProperty(reinterpret_cast<PKSPROPERTY>(&prop), sizeof prop, answer, sizeof answer, &returned);
}

// The extension-unit node of the device that answers the property (the last such node), or
// kNoNode. "No xu nodes" is logged here; the caller logs that none answered.
uint32_t find_xu_node(IKsTopologyInfo *topology, bool *has_nodes) {
  DWORD count = 0;
  *has_nodes = SUCCEEDED(topology->get_NumNodes(&count)) && count != 0;
  if (!*has_nodes) return kNoNode;
  // The count comes from the driver; the search is bounded like the other driver counts.
  if (count > kMaxXuNodes) {
    HULD_LOG(HULD_LOG_DEBUG, "%u topology nodes reported, searching the first %u\n", static_cast<unsigned>(count),
             static_cast<unsigned>(kMaxXuNodes));
    count = kMaxXuNodes;
  }
  uint32_t found = kNoNode;
  for (DWORD i = 0; i < count; ++i) {
    GUID type;
    if (FAILED(topology->get_NodeType(i, &type)) || !IsEqualGUID(type, KSNODETYPE_DEV_SPECIFIC)) continue;
    IKsControl *control = nullptr;
    if (FAILED(topology->CreateNodeInstance(i, IID_IKsControl, reinterpret_cast<void **>(&control))) || !control)
      continue;
    if (SUCCEEDED(read_xu_property(control, i))) found = i;
    release(&control);
  }
  return found;
}

}  // namespace

// Reads a text property of a video device's property bag into `out` (terminated; a character
// outside ASCII becomes '?'). Only a VT_BSTR that fits is accepted.
int uvc_read_property(IPropertyBag *bag, const char *name, char *out, size_t size) {
  VARIANT v;
  VariantInit(&v);
  std::basic_string<OLECHAR> w = wide(name);
  HRESULT hr = bag->Read(w.c_str(), &v, nullptr);
  if (SUCCEEDED(hr) && v.vt != VT_BSTR) hr = DISP_E_TYPEMISMATCH;
  if (SUCCEEDED(hr)) {
    UINT n = v.bstrVal ? SysStringLen(v.bstrVal) : 0;
    if (n >= size) {
      hr = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    } else {
      for (UINT i = 0; i < n; ++i) {
        OLECHAR c = v.bstrVal[i];
        out[i] = c != 0 && c < 0x80 ? static_cast<char>(c) : '?';
      }
      out[n] = '\0';
    }
  }
  VariantClear(&v);
  if (FAILED(hr)) {
    HULD_LOG(HULD_LOG_DEBUG, "cannot get %s, skip device (0x%x)\n", name, static_cast<unsigned>(hr));
    return 0;
  }
  return 1;
}

namespace {

// Fills the record of one video device from its moniker and property bag: true when the device
// has an extension unit that answers, else false (the record is to be dropped) after logging why.
bool fill_record(huld_dev *d, IMoniker *moniker, IPropertyBag *bag) {
  if (!uvc_read_property(bag, "FriendlyName", d->name, sizeof d->name) &&
      !uvc_read_property(bag, "Description", d->name, sizeof d->name)) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to get friendly name or description, skip device\n");
    return false;
  }
  d->iface = WINDOWS_UVC;
  d->conn.type = CONN_UVC;
  d->conn.driver = UVC;
  d->conn.handle = INVALID_HANDLE_VALUE;
  if (!uvc_read_property(bag, "DevicePath", d->conn.path, sizeof d->conn.path)) {
    HULD_LOG(HULD_LOG_DEBUG, "cannot get device path, skip device\n");
    return false;
  }
  IBaseFilter *filter = nullptr;
  IKsTopologyInfo *topology = nullptr;
  bool keep = false;
  if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(&filter))) ||
      !filter) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to bind filter interface, skip device\n");
  } else if (FAILED(filter->QueryInterface(IID_IKsTopologyInfo, reinterpret_cast<void **>(&topology))) ||
             !topology) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to get topology interface, skip device\n");
  } else {
    HULD_LOG(HULD_LOG_DEBUG, "uvc device name: %s, device path: %s\n", d->name, d->conn.path);
    d->uvc_control = nullptr;
    bool has_nodes = false;
    d->uvc_node_id = find_xu_node(topology, &has_nodes);
    if (!has_nodes) HULD_LOG(HULD_LOG_DEBUG, "No xu nodes, skip device\n");
    else if (d->uvc_node_id == kNoNode) HULD_LOG(HULD_LOG_DEBUG, "no xu node found, skip device\n");
    else keep = true;
  }
  release(&topology);
  release(&filter);
  return keep;
}

}  // namespace

void huld_windows_enumerate_uvc(huld_dev_enumeration *e) {
  ICreateDevEnum *devenum = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void **>(&devenum));
  if (FAILED(hr) || !devenum) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to create system device emumerator (0x%x)\n", static_cast<unsigned>(hr));
    return;
  }
  IEnumMoniker *monikers = nullptr;
  hr = devenum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
  release(&devenum);
  if (hr != S_OK || !monikers) {
    HULD_LOG(HULD_LOG_DEBUG, "failed to create video device enumerator (0x%x)\n", static_cast<unsigned>(hr));
    release(&monikers);
    return;
  }
  IMoniker *moniker = nullptr;
  while (monikers->Next(1, &moniker, nullptr) == S_OK && moniker) {
    IPropertyBag *bag = nullptr;
    hr = moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void **>(&bag));
    if (FAILED(hr) || !bag) {
      HULD_LOG(HULD_LOG_DEBUG, "Bind to storage for IMoniker failed (0x%x)\n", static_cast<unsigned>(hr));
      release(&moniker);
      continue;
    }
    huld_dev *d = huld_dev_enumeration_push_back(e);
    if (!d) HULD_LOG(HULD_LOG_DEBUG, "device skipped due to enumeration push_back failure\n");
    else if (!fill_record(d, moniker, bag)) huld_dev_enumeration_pop_back(e);
    release(&bag);
    release(&moniker);
  }
  release(&monikers);
}

int huld_windows_uvc_dev_open(huld_error *err, huld_dev *dev) {
  std::basic_string<OLECHAR> name = wide("@device:pnp:") + wide(dev->conn.path);
  IBindCtx *ctx = nullptr;
  IMoniker *moniker = nullptr;
  IBaseFilter *filter = nullptr;
  IKsTopologyInfo *topology = nullptr;
  IKsControl *control = nullptr;
  int rc = 1;
  ULONG eaten = 0;
  huld_windows_uvc_dev_close(dev);  // a control held from before is given up first
  HRESULT hr = CreateBindCtx(0, &ctx);
  if (SUCCEEDED(hr)) hr = MkParseDisplayName(ctx, name.c_str(), &eaten, &moniker);
  if (FAILED(hr) || !moniker) {
    HULD_ERROR(err, HULD_ERROR_SYSTEM, hr, "windows uvc dev open failed, could not get imoniker from displayname %s",
               dev->conn.path);
  } else if (hr = moniker->BindToObject(ctx, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(&filter)),
             FAILED(hr) || !filter) {
    HULD_ERROR(err, HULD_ERROR_SYSTEM, hr, "windows uvc dev open failed, could not get basefilter from imoniker %s",
               dev->conn.path);
  } else if (hr = filter->QueryInterface(IID_IKsTopologyInfo, reinterpret_cast<void **>(&topology)),
             FAILED(hr) || !topology) {
    HULD_ERROR(err, HULD_ERROR_SYSTEM, hr,
               "windows uvc dev open failed, could not get topology iface from basefilter %s", dev->conn.path);
  } else if (hr = topology->CreateNodeInstance(dev->uvc_node_id, IID_IKsControl, reinterpret_cast<void **>(&control)),
             FAILED(hr) || !control) {
    HULD_ERROR(err, HULD_ERROR_SYSTEM, hr, "windows uvc dev open failed, could not get create ikscontrol node %s",
               dev->conn.path);
  } else if (hr = read_xu_property(control, dev->uvc_node_id), FAILED(hr)) {
    HULD_ERROR(err, HULD_ERROR_SYSTEM, hr, "windows uvc dev open failed, could not get ksprop info %s",
               dev->conn.path);
  } else {
    dev->uvc_control = control;
    control = nullptr;
    rc = 0;
  }
  release(&control);
  release(&topology);
  release(&filter);
  release(&moniker);
  release(&ctx);
  return rc;
}

void huld_windows_uvc_dev_close(huld_dev *dev) {
  IKsControl *control = static_cast<IKsControl *>(dev->uvc_control);
  release(&control);
  dev->uvc_control = nullptr;
}

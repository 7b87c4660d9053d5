// A stand-in LED lighting driver for the Wine test: an in-process COM server DLL with the jarn
// and quillan HAL servers, each handing out fixed LED devices. Every device call is written to a
// call log that the test program reads through the exported FakeLedHalCalls; FakeLedHalLive
// tells how many server and device objects are alive.
#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "vornwincom/LedDevice.h"

namespace {

std::string g_calls;
LONG g_live_devices = 0;
LONG g_live_hals = 0;
LONG g_locks = 0;

void log_call(const std::string &line) { g_calls += line + "\n"; }

std::string hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%lx", static_cast<unsigned long>(v));
  return b;
}

struct DeviceSpec {
  const char *server;
  const char *xml;  // UTF-8
};

// "Caf\xC3\xA9": a name outside ASCII, to be read back as UTF-8.
const DeviceSpec kJarnDevices[] = {
    {"jarn", "<caps><device><name>Caf\xC3\xA9</name><id>1</id><instancepath>\\\\?\\usb#vid_1234&amp;pid_5678"
             "</instancepath><fwinfo>0,0,0,0,0,a</fwinfo><dev_color>10:20:30</dev_color><layout><led_count>4"
             "</led_count><led_name><led>a</led><led>b</led></led_name></layout></device></caps>"},
    {"jarn", "<caps><device><name>disk</name><id>2</id><instancepath>\\\\.\\PHYSICALDRIVE3</instancepath>"
             "<fwinfo>0,0,0,0,0,0x2f,9</fwinfo><dev_color>ff:80:00</dev_color></device></caps>"},
};
const DeviceSpec kQuillanDevices[] = {
    {"quillan", "<caps><device><name>nvme</name><id>3</id><instancepath>\\\\.\\SCSI3:</instancepath>"
                "<fwinfo>1,2,3,4,5,c</fwinfo><dev_color>01:02:03</dev_color></device></caps>"},
    // A namesake of the jarn disk device: the jarn one, enumerated first, stays.
    {"quillan", "<caps><device><name>twin</name><instancepath>\\\\.\\PHYSICALDRIVE3</instancepath></device></caps>"},
};

// IUnknown for one interface: QueryInterface answers IUnknown and `iid`; the object deletes
// itself on its last Release.
template <class I>
class Unknown : public I {
 public:
  explicit Unknown(const IID &iid) : iid_(iid) {}
  virtual ~Unknown() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, iid_)) return E_NOINTERFACE;
    *ppv = static_cast<I *>(this);
    this->AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

 private:
  IID iid_;
  LONG refs_ = 1;
};

class FakeDevice : public Unknown<ILedDevice> {
 public:
  FakeDevice(const DeviceSpec &spec, int index) : Unknown(IID_IUnknown), spec_(spec), index_(index) {
    ++g_live_devices;
  }
  ~FakeDevice() override { --g_live_devices; }

  HRESULT STDMETHODCALLTYPE GetCapability(BSTR *xml) override {
    if (!xml) return E_POINTER;
    int n = MultiByteToWideChar(CP_UTF8, 0, spec_.xml, -1, nullptr, 0);
    *xml = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
    if (!*xml) return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_UTF8, 0, spec_.xml, -1, *xml, n);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetEffect(BYTE effect, DWORD *colours, DWORD count) override {
    log_call(name() + " SetEffect " + hex(effect) + words(colours, count));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reserved() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEffectEx(BYTE effect, DWORD *colours, DWORD count, DWORD a, DWORD b) override {
    log_call(name() + " SetEffectEx " + hex(effect) + words(colours, count) + " a=" + hex(a) + " b=" + hex(b));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetConfig(DWORD config) override {
    log_call(name() + " SetConfig " + hex(config));
    return S_OK;
  }

 private:
  std::string name() const { return std::string(spec_.server) + "[" + std::to_string(index_) + "]"; }
  static std::string words(const DWORD *colours, DWORD count) {
    if (!colours) return " none";
    std::string s(" ");
    s.append(std::to_string(count)).push_back(':');
    for (DWORD i = 0; i < count; ++i) {
      if (i) s.push_back(',');
      s.append(hex(colours[i]));
    }
    return s;
  }
  const DeviceSpec &spec_;
  int index_;
};

class FakeHal : public Unknown<ILedHal> {
 public:
  FakeHal(const DeviceSpec *devices, DWORD count) : Unknown(IID_ILedHal), devices_(devices), count_(count) {
    ++g_live_hals;
  }
  ~FakeHal() override { --g_live_hals; }

  HRESULT STDMETHODCALLTYPE EnumerateDevices(ILedDevice **devices, DWORD *count) override {
    if (!count) return E_POINTER;
    if (!devices) {
      *count = count_;
      return S_OK;
    }
    DWORD n = *count < count_ ? *count : count_;
    for (DWORD i = 0; i < n; ++i) devices[i] = new FakeDevice(devices_[i], static_cast<int>(i));
    *count = n;
    return S_OK;
  }

 private:
  const DeviceSpec *devices_;
  DWORD count_;
};

class Factory : public Unknown<IClassFactory> {
 public:
  explicit Factory(bool jarn) : Unknown(IID_IClassFactory), jarn_(jarn) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    FakeHal *hal = jarn_ ? new FakeHal(kJarnDevices, 2) : new FakeHal(kQuillanDevices, 2);
    HRESULT hr = hal->QueryInterface(riid, ppv);
    hal->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) InterlockedIncrement(&g_locks);
    else InterlockedDecrement(&g_locks);
    return S_OK;
  }

 private:
  bool jarn_;
};

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  bool jarn = IsEqualCLSID(rclsid, CLSID_JarnLedHal);
  if (!jarn && !IsEqualCLSID(rclsid, CLSID_QuillanLedHal)) return CLASS_E_CLASSNOTAVAILABLE;
  Factory *f = new Factory(jarn);
  HRESULT hr = f->QueryInterface(riid, ppv);
  f->Release();
  return hr;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_live_devices == 0 && g_live_hals == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

// The call log so far (one line per call) into out (size bytes, always terminated); its length.
int FakeLedHalCalls(char *out, int size) {
  if (out && size > 0) std::snprintf(out, static_cast<size_t>(size), "%s", g_calls.c_str());
  return static_cast<int>(g_calls.size());
}

// Live LED devices (in the low 16 bits) and HAL servers (above).
LONG FakeLedHalLive() { return g_live_devices | (g_live_hals << 16); }
}

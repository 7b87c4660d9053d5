// LED lighting devices: the two HAL servers, their devices and each device's capability, kept in
// the process-wide LED device map.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "vornwincom/LedDeviceMap.h"
#include "vornwincom/com_support.h"

std::map<std::string, ILedDevice *> ldev_map;
HANDLE ldev_map_mutex = CreateMutexA(nullptr, FALSE, nullptr);

using vornwincom::Bstr;
using vornwincom::ComPtr;

namespace {

#define LOG_DEBUG(...) HULD_LOG(HULD_LOG_DEBUG, __VA_ARGS__)

// More devices than this from one server are refused before any array is made.
constexpr DWORD kMaxHalDevices = 256;
// The parser recurses once per level of element nesting (and so does the document's tear-down); a
// capability nests five levels, so a text nested deeper than this is refused before it is parsed.
constexpr size_t kMaxCapabilityNesting = 32;

// Whether the elements of an XML text nest deeper than `limit`, counted as the parser nests them:
// a start tag opens a level, an end tag closes one, an empty-element tag does neither; comments,
// CDATA sections, declarations and other markup open none, and quoted attribute values are passed
// over whole. Where the parser would stop at an error the count may differ, but never below the
// nesting that the parser reaches.
bool nests_deeper_than(const std::string &text, size_t limit) {
  const size_t n = text.size();
  size_t depth = 0;
  size_t i = 0;
  const auto skip_past = [&](const char *end) {
    const size_t at = text.find(end, i);
    i = at == std::string::npos ? n : at + std::strlen(end);
  };
  while ((i = text.find('<', i)) != std::string::npos) {
    ++i;
    if (text.compare(i, 3, "!--") == 0) {
      skip_past("-->");
      continue;
    }
    if (text.compare(i, 8, "![CDATA[") == 0) {
      skip_past("]]>");
      continue;
    }
    if (i < n && text[i] == '/') {
      if (depth > 0) --depth;
      skip_past(">");
      continue;
    }
    const unsigned char first = i < n ? static_cast<unsigned char>(text[i]) : 0;
    const bool name_start = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') || first == '_' ||
                            first >= 0x7F;
    if (!name_start) {  // a declaration, a document type, or a '<' that starts no element
      skip_past(">");
      continue;
    }
    bool empty = false;
    while (i < n && text[i] != '>') {
      if (text[i] == '"' || text[i] == '\'') {
        const size_t close = text.find(text[i], i + 1);
        i = close == std::string::npos ? n : close + 1;
        empty = false;
        continue;
      }
      empty = text[i] == '/';
      ++i;
    }
    if (!empty && ++depth > limit) return true;
  }
  return false;
}

// The text of an element: its first child node when that is text, else none.
const char *element_text(const TiXmlElement *e) { return e ? e->GetText() : nullptr; }

const TiXmlElement *child(const TiXmlElement *parent, const char *name) {
  return parent ? parent->FirstChildElement(name) : nullptr;
}

// A string field from a child element; left as it is when the element is absent or holds no text.
void read_text(const TiXmlElement *parent, const char *name, std::string *field) {
  if (const char *t = element_text(child(parent, name))) *field = t;
}

// A number field from a child element; left as it is when absent or without text. 0, or 1 (recorded)
// when the text is not a number.
int read_number(huld_error *err, const TiXmlElement *parent, const char *name, uint32_t *field) {
  const char *t = element_text(child(parent, name));
  int32_t value = 0;
  if (t && !vornwincom::read_int32(t, 10, &value))
    return LED_ERROR(err, "get_device_capability", 0, "capability element %s is not a number\n", name);
  if (t) *field = static_cast<uint32_t>(value);
  return 0;
}

void log_led_capability(const led_capability &cap) {
  if (huld_log_level < HULD_LOG_DEBUG) return;
  huld_log_printf("LED Capability\n");
  huld_log_printf("    Version:       %s\n", cap.version.c_str());
  huld_log_printf("    Type:          %08xh\n", cap.type);
  huld_log_printf("    Name:          %s\n", cap.name.c_str());
  huld_log_printf("    Device Path:   %s\n", cap.device_path.c_str());
  huld_log_printf("    Firmware Info: %s\n", cap.firmware_info.c_str());
  huld_log_printf("    Device Color:  %s\n", cap.device_color.c_str());
  huld_log_printf("    ID:            %08xh\n", cap.id);
  huld_log_printf("    LED Device Layout\n");
  huld_log_printf("        LED Count:    %08xh\n", cap.led_count);
  huld_log_printf("        Device XRTPF: %08xh\n", cap.dev_xrtpf);
  huld_log_printf("        Width:        %08xh\n", cap.width);
  huld_log_printf("        Height:       %08xh\n", cap.height);
  huld_log_printf("        Names\n");
  for (const std::string &n : cap.led_names) huld_log_printf("            %s\n", n.c_str());
}

// UTF-16 text as UTF-8 (the capability's declared encoding); throws when it cannot be converted.
std::string utf8_from_wide(const OLECHAR *text, UINT length) {
  if (!text || length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr) != n)
    throw std::runtime_error("capability text cannot be converted to UTF-8");
  return out;
}

struct TaskMemText {
  LPOLESTR p = nullptr;
  ~TaskMemText() { CoTaskMemFree(p); }
};

struct RegKey {
  HKEY h = nullptr;
  ~RegKey() {
    if (h) RegCloseKey(h);
  }
};

int get_hal(huld_error *err, const char *clsid_text, ComPtr<ILedHal> *hal) {
  CLSID clsid;
  HRESULT hr = CLSIDFromString(vornwincom::widen(clsid_text).c_str(), &clsid);
  if (FAILED(hr)) return LED_ERROR(err, "get_hal", static_cast<uint32_t>(hr), "invalid HAL class id %s\n", clsid_text);
  TaskMemText canonical;
  hr = StringFromCLSID(clsid, &canonical.p);
  if (FAILED(hr) || !canonical.p)
    return LED_ERROR(err, "get_hal", static_cast<uint32_t>(hr), "failed to format HAL class id - %xh", (unsigned)hr);
  std::string path = LED_HAL_KEY_PREFIX;
  for (const OLECHAR *c = canonical.p; *c; ++c) path += static_cast<char>(*c);

  RegKey key;
  LSTATUS status = RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key.h);
  if (status != ERROR_SUCCESS)
    return LED_ERROR(err, "get_hal", static_cast<uint32_t>(status), "failed to find HAL key - %xh",
                     static_cast<unsigned>(status));
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ILedHal, hal->out_void());
  if (FAILED(hr))
    return LED_ERROR(err, "get_hal", static_cast<uint32_t>(hr), "failed to create HAL - %xh", static_cast<unsigned>(hr));
  huld_error_clear(err);
  return 0;
}

int enumerate_hal_devs_for_interface(huld_error *err, ILedHal *hal) {
  hal->AddRef();
  ComPtr<ILedHal> held;
  *held.out() = hal;
  DWORD count = 0;
  hal->EnumerateDevices(nullptr, &count);
  if (count == 0) {
    if (huld_log_trace) huld_log_printf("%s - exit\n", "enumerate_hal_devs_for_interface");
    LOG_DEBUG("HAL has no devices...\n");
    huld_error_clear(err);
    return 0;
  }
  if (count > kMaxHalDevices)
    return LED_ERROR(err, "enumerate_hal_devs_for_interface", count, "HAL reports too many devices (%u)",
                     static_cast<unsigned>(count));
  // The devices handed out; whatever the walk has not taken over is released on every way out.
  struct DeviceArray {
    std::vector<ILedDevice *> slots;
    DWORD walk = 0;
    ~DeviceArray() {
      for (DWORD i = 0; i < walk; ++i)
        if (slots[i]) slots[i]->Release();
    }
  } devices{std::vector<ILedDevice *>(count, nullptr)};
  DWORD filled = count;
  hal->EnumerateDevices(devices.slots.data(), &filled);
  devices.walk = filled < count ? filled : count;
  for (DWORD i = 0; i < devices.walk; ++i) {
    if (!devices.slots[i]) continue;
    ComPtr<ILedDevice> device;
    *device.out() = std::exchange(devices.slots[i], nullptr);
    led_capability cap;
    huld_error local{};
    if (get_device_capability(&local, device.get(), &cap)) {
      LOG_DEBUG("Failed to get device capability");
      HULD_LOG_ERROR(HULD_LOG_DEBUG, &local);
      continue;
    }
    // The map takes its own reference; a namesake of an earlier device is released with `device`.
    if (ldev_map.emplace(cap.device_path, device.get()).second) device->AddRef();
  }
  huld_error_clear(err);
  return 0;
}

template <class Get>
void enumerate_kind(const char *kind, Get get_kind_hal) {
  huld_error local{};
  ComPtr<ILedHal> hal;
  if (get_kind_hal(&local, &hal)) {
    LOG_DEBUG("Failed to get %s hal", kind);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &local);
  } else if (enumerate_hal_devs_for_interface(&local, hal.get())) {
    LOG_DEBUG("Failed to enumerate %s hal devs", kind);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &local);
  }
}

int get_jarn_hal(huld_error *err, ComPtr<ILedHal> *hal) { return get_hal(err, LED_HAL_JARN_CLSID_TEXT, hal); }
int get_quillan_hal(huld_error *err, ComPtr<ILedHal> *hal) { return get_hal(err, LED_HAL_QUILLAN_CLSID_TEXT, hal); }

}  // namespace

int lock_ldev_map() {
  if (!ldev_map_mutex) return 1;
  DWORD r = WaitForSingleObject(ldev_map_mutex, INFINITE);
  if (r == WAIT_OBJECT_0) return 0;
  // An abandoned mutex is owned now: give it back so that the next caller locks normally.
  if (r == WAIT_ABANDONED) ReleaseMutex(ldev_map_mutex);
  return 1;
}

void unlock_ldev_map() { ReleaseMutex(ldev_map_mutex); }

int vornwincom_enumerate_hal_led_devs(huld_error *err) {
  const char *fn = __func__;
  return vornwincom::led_flat_call(err, fn, [&] {
    vornwincom::LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", vornwincom::kLockFailure);
    for (auto &[path, device] : ldev_map) device->Release();
    ldev_map.clear();
    enumerate_kind("jarn", get_jarn_hal);
    enumerate_kind("quillan", get_quillan_hal);
    if (ldev_map.empty()) LOG_DEBUG("no hal devices found\n");
    huld_error_clear(err);
    return 0;
  });
}

int get_device_capability(huld_error *err, ILedDevice *device, led_capability *cap) {
  const char *fn = __func__;
  return vornwincom::led_flat_call(err, fn, [&] {
    if (!device || !cap) return LED_ERROR(err, fn, 0, "null argument to %s\n", fn);
    LOG_DEBUG("get_device_capability start\n");
    Bstr xml;
    HRESULT hr = device->GetCapability(xml.out());
    if (FAILED(hr)) return LED_ERROR(err, fn, static_cast<uint32_t>(hr), "failed to read capability xml - %xh\n", (unsigned)hr);
    if (!xml.get()) return LED_ERROR(err, fn, 0, "capability xml is missing\n");
    std::string text = utf8_from_wide(xml.get(), SysStringLen(xml.get()));
    if (nests_deeper_than(text, kMaxCapabilityNesting))
      return LED_ERROR(err, fn, 0, "capability xml nests elements deeper than %u levels\n",
                       static_cast<unsigned>(kMaxCapabilityNesting));

    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (doc.Error())
      return LED_ERROR(err, fn, 0, "capability xml could not be parsed: %s (row %d, column %d)\n", doc.ErrorDesc(),
                       doc.ErrorRow(), doc.ErrorCol());
    LOG_DEBUG("made it through parse\n");
    const TiXmlElement *root = doc.FirstChildElement();
    if (!root) return LED_ERROR(err, fn, 0, "capability xml did not have root element\n");
    const TiXmlElement *dev = root->FirstChildElement("device");
    if (!dev) return LED_ERROR(err, fn, 0, "capability xml did not have device element\n");

    read_text(dev, "name", &cap->name);
    LOG_DEBUG("id\n");
    if (read_number(err, dev, "id", &cap->id)) return 1;
    LOG_DEBUG("instancepath\n");
    read_text(dev, "instancepath", &cap->device_path);
    read_text(dev, "fwinfo", &cap->firmware_info);
    read_text(dev, "dev_color", &cap->device_color);
    LOG_DEBUG("layout\n");
    if (const TiXmlElement *layout = child(dev, "layout")) {
      if (read_number(err, layout, "led_count", &cap->led_count) ||
          read_number(err, layout, "dev_xrtpf", &cap->dev_xrtpf))
        return 1;
      const TiXmlElement *size = child(layout, "size");
      if (read_number(err, size, "width", &cap->width) || read_number(err, size, "height", &cap->height)) return 1;
      LOG_DEBUG("led names\n");
      if (const TiXmlElement *names = child(layout, "led_name"))
        for (const TiXmlElement *led = names->FirstChildElement("led"); led; led = led->NextSiblingElement("led"))
          if (const char *t = element_text(led)) cap->led_names.push_back(t);
    }
    log_led_capability(*cap);
    huld_error_clear(err);
    return 0;
  });
}

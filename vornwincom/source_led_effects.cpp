// LED effects by storage-device kind: quillan (NVMe, by SCSI port), pembrok (by disk number) and
// jarn (by USB vendor and product id) storage devices matched to their LED device in the map.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "huld/huld_usb_hub.h"
#include "vornwincom/LedDeviceMap.h"
#include "vornwincom/text_field.h"

using vornwincom::led_flat_call;
using vornwincom::kLockFailure;
using vornwincom::LdevMapLock;

namespace {

#define LOG_DEBUG(...) HULD_LOG(HULD_LOG_DEBUG, __VA_ARGS__)

bool match_dev_by_scsi_port(const huld_dev *dev, const std::string &path) {
  char name[256];
  snprintf(name, sizeof name, "\\\\.\\Scsi%u:", static_cast<unsigned>(dev->scsi_address.PortNumber));
  LOG_DEBUG("device name: %s\n", dev->name);
  LOG_DEBUG("check scsi addr %s vs. HAL capabilities dev path %s\n", name, path.c_str());
  if (!vornwincom::same_text(name, path)) return false;
  LOG_DEBUG("match!\n");
  return true;
}

bool match_dev_by_disk_number(const huld_dev *dev, const std::string &path) {
  huld_error local{};
  uint32_t number = HULD_NO_NUMBER;
  if (huld_dev_get_disk_number(&local, &number, dev)) {
    LOG_DEBUG("Failed to get disk number from dev %s\n", dev->name);
    HULD_LOG_ERROR(HULD_LOG_DEBUG, &local);
    return false;
  }
  if (number == HULD_NO_NUMBER) {
    LOG_DEBUG("Failed to match disk number, dev %s has no disk number\n", dev->name);
    return false;
  }
  char name[32];
  snprintf(name, sizeof name, "\\\\.\\PHYSICALDRIVE%u", number);
  LOG_DEBUG("check %s vs. dev %s\n", name, path.c_str());
  return path == name;
}

// Reads hexadecimal digits at *p (at least one); false when there is none. Values beyond 32 bits
// stay above FFFFh.
bool read_hex_id(const char *&p, uint32_t *value) {
  if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  uint64_t v = 0;
  for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
    int c = std::tolower(static_cast<unsigned char>(*p));
    v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool match_dev_by_usb_vid_pid(const huld_dev *dev, const std::string &path) {
  static const char kVid[] = "\\\\?\\usb#vid_";
  static const char kPid[] = "&pid_";
  const char *p = path.c_str();
  uint32_t vid = 0, pid = 0;
  bool found = path.compare(0, sizeof kVid - 1, kVid) == 0 && read_hex_id(p += sizeof kVid - 1, &vid) &&
               std::string(p).compare(0, sizeof kPid - 1, kPid) == 0 && read_hex_id(p += sizeof kPid - 1, &pid);
  if (!found) {
    LOG_DEBUG("did not detect VID/PID from device\n");
    return false;
  }
  LOG_DEBUG("check vid%x/pid%xh vs. dev %s\n", vid, pid, dev->name);
  if (vid > 0xFFFF || pid > 0xFFFF) return false;
  if (!huld_usb_hub_has_vid_pid(dev, static_cast<uint16_t>(vid), static_cast<uint16_t>(pid))) return false;
  LOG_DEBUG("match!\n");
  return true;
}

// One storage-device kind.
struct LedKind {
  const char *name;
  const char *lookup;  // the lookup's name, for its records
  bool nvme_only;
  bool (*match)(const huld_dev *, const std::string &);
  DWORD leds;
  DWORD leds_per_zone;
  bool reset_by_effect;  // reset and save by SetEffect C1h / C0h, else by SetConfig 0 / 1
};

const LedKind kQuillan = {"quillan", "quillan_hal_device_from_huld_dev", true, match_dev_by_scsi_port, 16, 4, false};
const LedKind kPembrok = {"pembrok", "pembrok_hal_device_from_huld_dev", false, match_dev_by_disk_number, 8, 2, true};
const LedKind kJarn = {"jarn", "jarn_hal_device_from_huld_dev", false, match_dev_by_usb_vid_pid, 4, 1, false};

// The storage device's LED device (borrowed from the map); run with the map locked.
int hal_device_from_huld_dev(huld_error *err, const LedKind &kind, ILedDevice **out, const huld_dev *dev) {
  if (!kind.nvme_only || huld_dev_is_nvme(dev)) {
    for (const auto &[path, device] : ldev_map) {
      if (kind.match(dev, std::string(path))) {
        *out = device;
        huld_error_clear(err);
        return 0;
      }
    }
  }
  return LED_ERROR(err, kind.lookup, 0, "no hal device for target huld dev\n");
}

// The cut of text at every delimiter; a delimiter at the end adds no empty piece.
std::vector<std::string> split_string(const std::string &text, char delimiter) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(delimiter, start);
    if (end == std::string::npos) end = text.size();
    pieces.push_back(text.substr(start, end - start));
    LOG_DEBUG("split %s out of %s\n", pieces.back().c_str(), text.c_str());
    start = end + 1;
  }
  return pieces;
}

// A refused LED call is a failure (code 1, the HRESULT as subcode).
int led_call_result(huld_error *err, const char *function, const char *call, HRESULT hr) {
  if (FAILED(hr)) return LED_ERROR(err, function, static_cast<uint32_t>(hr), "%s failed - %xh\n", call, (unsigned)hr);
  huld_error_clear(err);
  return 0;
}

int null_argument(huld_error *err, const char *function) {
  return LED_ERROR(err, function, 0, "null argument to %s\n", function);
}

int check(huld_error *err, const char *fn, const LedKind &kind, const huld_dev *dev, uint32_t *present) {
  return led_flat_call(err, fn, [&] {
    if (!dev || !present) return null_argument(err, fn);
    LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", kLockFailure);
    *present = 0;
    ILedDevice *device = nullptr;
    if (hal_device_from_huld_dev(err, kind, &device, dev)) {
      LOG_DEBUG("failed to capture %s hal dev capability\n", kind.name);
      return 1;
    }
    *present = 1;
    huld_error_clear(err);
    return 0;
  });
}

int read_effect(huld_error *err, const char *fn, const LedKind &kind, const huld_dev *dev, uint8_t *effect,
                uint8_t *color1, uint8_t *color2, uint8_t *color3) {
  return led_flat_call(err, fn, [&] {
    if (!dev || !effect || !color1 || !color2 || !color3) return null_argument(err, fn);
    if (huld_log_trace) huld_log_printf("%s - enter\n", fn);
    LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", kLockFailure);
    struct ExitTrace {
      const char *fn;
      ~ExitTrace() {
        if (huld_log_trace) huld_log_printf("%s - exit\n", fn);
      }
    } trace{fn};
    ILedDevice *device = nullptr;
    if (hal_device_from_huld_dev(err, kind, &device, dev)) {
      LOG_DEBUG("failed to get HAL from huld dev\n");
      HULD_LOG_ERROR(HULD_LOG_DEBUG, err);
      return 1;
    }
    led_capability cap;
    if (get_device_capability(err, device, &cap)) {
      LOG_DEBUG("failed to get device capability\n");
      return 1;
    }
    std::vector<std::string> fw = split_string(cap.firmware_info, ',');
    int32_t value = 0;
    if (fw.size() < 6 || !vornwincom::read_int32(fw[5].c_str(), 16, &value))
      return LED_ERROR(err, fn, 0, "fw info from %s HAL invalid %s\n", kind.name, cap.firmware_info.c_str());
    *effect = static_cast<uint8_t>(value);
    LOG_DEBUG("split[5]: %s\n", fw[5].c_str());
    LOG_DEBUG("stoi: %u\n", static_cast<unsigned>(value));
    LOG_DEBUG("effect_id: %u\n", static_cast<unsigned>(*effect));

    std::vector<std::string> colour = split_string(cap.device_color, ':');
    // Outputs 1, 2 and 3 take fields 1, 3 and 2.
    uint8_t *const outputs[3] = {color1, color3, color2};
    for (size_t i = 0; i < 3; ++i) {
      if (colour.size() < 3 || !vornwincom::read_int32(colour[i].c_str(), 16, &value))
        return LED_ERROR(err, fn, 0, "dev color from %s HAL invalid %s\n", kind.name, cap.device_color.c_str());
      *outputs[i] = static_cast<uint8_t>(value);
    }
    huld_error_clear(err);
    return 0;
  });
}

int reset_or_save(huld_error *err, const char *fn, const LedKind &kind, const huld_dev *dev, bool save) {
  return led_flat_call(err, fn, [&] {
    if (!dev) return null_argument(err, fn);
    LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", kLockFailure);
    ILedDevice *device = nullptr;
    if (hal_device_from_huld_dev(err, kind, &device, dev)) return 1;
    if (kind.reset_by_effect) {
      LOG_DEBUG(save ? "ldev->SetEffect 0xC0\n" : "ldev->SetEffect 0xC1\n");
      return led_call_result(err, fn, "SetEffect", device->SetEffect(save ? 0xC0 : 0xC1, nullptr, 0));
    }
    LOG_DEBUG(save ? "ldev->SetConfig 1\n" : "ldev->SetConfig 0\n");
    return led_call_result(err, fn, "SetConfig", device->SetConfig(save ? 1 : 0));
  });
}

int set_effect(huld_error *err, const char *fn, const LedKind &kind, const huld_dev *dev, uint8_t effect,
               uint8_t color1, uint8_t color2, uint8_t color3, uint8_t value_a, uint8_t value_b,
               const char *lock_failure) {
  return led_flat_call(err, fn, [&] {
    if (!dev) return null_argument(err, fn);
    LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", lock_failure);
    ILedDevice *device = nullptr;
    if (hal_device_from_huld_dev(err, kind, &device, dev)) return 1;
    DWORD word = color1 | (DWORD{color2} << 8) | (DWORD{color3} << 16);
    std::vector<DWORD> words(kind.leds, word);
    if (effect == 1) return led_call_result(err, fn, "SetEffect", device->SetEffect(1, words.data(), kind.leds));
    return led_call_result(err, fn, "SetEffectEx",
                           device->SetEffectEx(effect, words.data(), kind.leds, value_a, value_b));
  });
}

int set_zoned_effect(huld_error *err, const char *fn, const LedKind &kind, const huld_dev *dev,
                     const uint32_t *zone_words) {
  return led_flat_call(err, fn, [&] {
    if (!dev || !zone_words) return null_argument(err, fn);
    LdevMapLock lock;
    if (!lock.held()) return LED_ERROR(err, fn, 0, "%s", kLockFailure);
    ILedDevice *device = nullptr;
    if (hal_device_from_huld_dev(err, kind, &device, dev)) return 1;
    std::vector<DWORD> words(kind.leds, 0);
    for (DWORD led = 0; led < kind.leds; ++led) words[led] = zone_words[1 + led / kind.leds_per_zone];
    return led_call_result(err, fn, "SetEffect", device->SetEffect(1, words.data(), kind.leds));
  });
}

}  // namespace

#define LED_KIND_FUNCTIONS(kind, table, set_effect_lock_failure)                                                   \
  int vornwincom_##kind##_hal_check_dev_capability(huld_error *err, const huld_dev *dev, uint32_t *present) {     \
    return check(err, __func__, table, dev, present);                                                              \
  }                                                                                                                \
  int vornwincom_##kind##_read_effect(huld_error *err, const huld_dev *dev, uint8_t *effect, uint8_t *color1,      \
                                      uint8_t *color2, uint8_t *color3) {                                          \
    return read_effect(err, __func__, table, dev, effect, color1, color2, color3);                                 \
  }                                                                                                                \
  int vornwincom_##kind##_reset_effect(huld_error *err, const huld_dev *dev) {                                     \
    return reset_or_save(err, __func__, table, dev, false);                                                        \
  }                                                                                                                \
  int vornwincom_##kind##_save_effect(huld_error *err, const huld_dev *dev) {                                      \
    return reset_or_save(err, __func__, table, dev, true);                                                         \
  }                                                                                                                \
  int vornwincom_##kind##_set_effect(huld_error *err, const huld_dev *dev, uint8_t effect, uint8_t color1,         \
                                     uint8_t color2, uint8_t color3, uint8_t value_a, uint8_t value_b) {           \
    return set_effect(err, __func__, table, dev, effect, color1, color2, color3, value_a, value_b,                 \
                      set_effect_lock_failure);                                                                    \
  }                                                                                                                \
  int vornwincom_##kind##_set_zoned_effect(huld_error *err, const huld_dev *dev, const uint32_t words[5]) {        \
    return set_zoned_effect(err, __func__, table, dev, words);                                                     \
  }

LED_KIND_FUNCTIONS(quillan, kQuillan, kLockFailure)
// This one's lock-failure message has always been without its line end.
LED_KIND_FUNCTIONS(pembrok, kPembrok, "failed to synchronize ldev map operations")
LED_KIND_FUNCTIONS(jarn, kJarn, kLockFailure)

// LED lighting devices: the devices of the LED lighting driver's two HAL servers, kept in one
// process-wide map keyed by the device path their capability names, and the LED effects of the
// quillan, pembrok and jarn storage-device kinds matched against that map.
//
// Every flat function takes the caller's error record first and returns 0 or 1; none lets an
// exception out. COM must be usable on the calling thread; call
// vornwincom_enumerate_hal_led_devs before the per-kind functions, and again to pick up devices
// that appeared.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

struct ILedDevice;

// The capability of one LED device, read from its XML description.
struct led_capability {
  std::string version;  // not read from the XML
  uint32_t type = 0;    // not read from the XML
  std::string name;
  std::string device_path;    // "instancepath": the device's key in the map
  std::string firmware_info;  // "fwinfo": comma-separated; field 6 is the effect id (hexadecimal)
  std::string device_color;   // "dev_color": colon-separated colour bytes (hexadecimal)
  uint32_t id = 0;
  uint32_t led_count = 0;
  uint32_t dev_xrtpf = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<std::string> led_names;
};

// Rebuilds the LED device map from both HAL servers (jarn first, then quillan). Fails only when
// the map's lock cannot be taken.
int vornwincom_enumerate_hal_led_devs(huld_error *err);

// Reads one LED device's capability into cap (a fresh record). 0 or 1.
int get_device_capability(huld_error *err, ILedDevice *device, led_capability *cap);

// Takes the map's lock (0 when held, else not 0) and gives it back.
int lock_ldev_map();
void unlock_ldev_map();

// The LED effects of each storage-device kind. check: present = 1 when the device has an LED
// device. read effect: the current effect id and colour bytes. reset and save: the kind's reset and
// save calls. set effect: one colour (bytes 1, 2, 3) on every LED with the effect (values A and B
// for effects other than 1). set zoned effect: words[1..4] are the colours of zones 1 to 4.
int vornwincom_quillan_hal_check_dev_capability(huld_error *err, const huld_dev *dev, uint32_t *present);
int vornwincom_quillan_read_effect(huld_error *err, const huld_dev *dev, uint8_t *effect, uint8_t *color1,
                                   uint8_t *color2, uint8_t *color3);
int vornwincom_quillan_reset_effect(huld_error *err, const huld_dev *dev);
int vornwincom_quillan_save_effect(huld_error *err, const huld_dev *dev);
int vornwincom_quillan_set_effect(huld_error *err, const huld_dev *dev, uint8_t effect, uint8_t color1,
                                  uint8_t color2, uint8_t color3, uint8_t value_a, uint8_t value_b);
int vornwincom_quillan_set_zoned_effect(huld_error *err, const huld_dev *dev, const uint32_t words[5]);

int vornwincom_pembrok_hal_check_dev_capability(huld_error *err, const huld_dev *dev, uint32_t *present);
int vornwincom_pembrok_read_effect(huld_error *err, const huld_dev *dev, uint8_t *effect, uint8_t *color1,
                                   uint8_t *color2, uint8_t *color3);
int vornwincom_pembrok_reset_effect(huld_error *err, const huld_dev *dev);
int vornwincom_pembrok_save_effect(huld_error *err, const huld_dev *dev);
int vornwincom_pembrok_set_effect(huld_error *err, const huld_dev *dev, uint8_t effect, uint8_t color1,
                                  uint8_t color2, uint8_t color3, uint8_t value_a, uint8_t value_b);
int vornwincom_pembrok_set_zoned_effect(huld_error *err, const huld_dev *dev, const uint32_t words[5]);

int vornwincom_jarn_hal_check_dev_capability(huld_error *err, const huld_dev *dev, uint32_t *present);
int vornwincom_jarn_read_effect(huld_error *err, const huld_dev *dev, uint8_t *effect, uint8_t *color1,
                                uint8_t *color2, uint8_t *color3);
int vornwincom_jarn_reset_effect(huld_error *err, const huld_dev *dev);
int vornwincom_jarn_save_effect(huld_error *err, const huld_dev *dev);
int vornwincom_jarn_set_effect(huld_error *err, const huld_dev *dev, uint8_t effect, uint8_t color1,
                               uint8_t color2, uint8_t color3, uint8_t value_a, uint8_t value_b);
int vornwincom_jarn_set_zoned_effect(huld_error *err, const huld_dev *dev, const uint32_t words[5]);

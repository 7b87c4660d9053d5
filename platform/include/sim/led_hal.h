// Simulated machine: the LED lighting driver's two HAL servers (jarn and quillan) and their LED
// devices (platform/sim/led_hal.cpp), on the simulated COM layer.
//
// Machine description: "led_hal": { "jarn": SERVER, "quillan": SERVER }, each optional (an absent
// server is not in the class table: REGDB_E_CLASSNOTREG). SERVER:
//   { "devices": [ { "capability": "<xml>" | null } ],   (null: the capability call gives a NULL
//                                                        BSTR; the text is UTF-8, stored UTF-16)
//     "count": n,          the count the first (counting) call reports; default the devices
//     "second_count": n,   the count the filling call leaves; default the entries filled
//     "null_entries": [i]  array slots left NULL (the devices there are not handed out) }
// The filling call writes at most as many entries as the caller's count allows, as there are
// devices and as "second_count" says; every entry carries a fresh device object with one
// reference (the caller's).
// The HKEY_CLASSES_ROOT keys that mark a server as installed come from the "registry" section.
//
// Faults (FaultOp::other): "api": "com", "function": "EnumerateDevices", "GetCapability",
// "SetEffect", "SetEffectEx" or "SetConfig", "clsid": the server's CLSID (upper case); a fired
// fail makes the call return the rule's error and do nothing else.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Registers the "led_hal" section; machine loading calls it. Idempotent.
void register_led_hal_section();

// One call to a HAL server or an LED device, in order. device: the device's index in its
// server's list (-1 for the server's own calls). method: "EnumerateDevices" (colours_null: no
// array; count: the count passed in), "GetCapability", "SetEffect", "SetEffectEx", "SetConfig"
// (config in `value_a`), or "destroyed" (the last reference went).
struct LedHalCall {
  std::string server;  // "jarn" or "quillan"
  int device = -1;
  std::string method;
  uint32_t effect = 0;
  bool colours_null = true;
  std::vector<uint32_t> colours;  // the words passed (count of them)
  uint32_t count = 0;
  uint32_t value_a = 0;
  uint32_t value_b = 0;
};
std::vector<LedHalCall> led_hal_calls();
void clear_led_hal_calls();

}  // namespace sim

#endif  // _WIN32

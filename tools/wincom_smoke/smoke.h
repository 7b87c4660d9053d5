// wincom_smoke.exe: runs checks of the Windows integration library on a real (or Wine) Windows
// and prints what each found, one "name: key=value" line per fact, for a script to compare.
// Checks live in their own source files of this folder and register themselves:
//
//   static void check_leds(smoke::Out &out) { out.fact("devices", 3); }
//   SMOKE_CHECK(leds, check_leds);
//
// "wincom_smoke.exe" runs every check in registration order, "wincom_smoke.exe wmi system" the
// named ones. COM is initialised (multithreaded apartment) around every check; the library logs at
// level 30 on lines led by "log: ".
#pragma once

#include <cstdint>
#include <string>

namespace smoke {

class Out {
 public:
  explicit Out(std::string check) : check_(std::move(check)) {}
  void fact(const char *key, const std::string &value) const;
  void fact(const char *key, uint64_t value) const { fact(key, std::to_string(value)); }

 private:
  std::string check_;
};

using CheckFn = void (*)(Out &);
bool register_check(const char *name, CheckFn fn);

}  // namespace smoke

#define SMOKE_CHECK(name, fn) static const bool smoke_registered_##name = smoke::register_check(#name, fn)

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "huld/huld_log.h"
#include "platform/win32.h"
#include "tools/wincom_smoke/smoke.h"

namespace smoke {
namespace {

std::vector<std::pair<std::string, CheckFn>> &checks() {
  static std::vector<std::pair<std::string, CheckFn>> list;
  return list;
}

}  // namespace

void Out::fact(const char *key, const std::string &value) const {
  std::printf("%s: %s=%s\n", check_.c_str(), key, value.c_str());
  std::fflush(stdout);
}

bool register_check(const char *name, CheckFn fn) {
  checks().emplace_back(name, fn);
  return true;
}

}  // namespace smoke

namespace {

// The library's log lines, each led by "log: ".
int print_log(const char *text) {
  std::printf("log: %s%s", text, text[0] && text[std::strlen(text) - 1] == '\n' ? "" : "\n");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  huld_log_add_sink(print_log);
  huld_log_level = HULD_LOG_DEBUG;
  int unknown = 0;
  for (int i = 1; i < argc; ++i) {
    bool known = false;
    for (const auto &[name, fn] : smoke::checks()) known = known || name == argv[i];
    if (!known) {
      std::printf("unknown check %s\n", argv[i]);
      ++unknown;
    }
  }
  if (unknown) return 2;
  for (const auto &[name, fn] : smoke::checks()) {
    bool wanted = argc == 1;
    for (int i = 1; i < argc; ++i) wanted = wanted || name == argv[i];
    if (!wanted) continue;
    smoke::Out out(name);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    fn(out);
    if (SUCCEEDED(hr)) CoUninitialize();
    out.fact("done", 1);
  }
  return 0;
}

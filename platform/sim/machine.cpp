// The machine description: loading (JSON), reset, the operating system, the sections later parts
// of the machine register, and resource accounting.
#include "sim/machine.h"
#include "sim/description.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/src/kernel_internal.h"
#include "platform/win_registry.h"
#include "sim/devtree.h"
#include "sim/handles.h"
#include "sim/run_outputs.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "sim/tasks.h"
#include "sim/led_hal.h"
#include "sim/video.h"
#include "sim/wmi.h"

namespace sim {
namespace {

using json = nlohmann::json;

// The built-in default machine: machines/default.json, built in.
#include "default_machine.inc"

struct Section {
  std::string key;
  std::function<void(const json &)> load;
  std::function<void()> reset;
};

struct MachineState {
  OsInfo os;
  json description;
  std::string name = "default";
  std::vector<Section> sections;
  std::vector<std::pair<std::string, std::function<void()>>> reset_hooks;
  std::vector<std::pair<std::string, std::function<void()>>> before_reset_hooks;
  std::vector<std::pair<std::string, std::function<size_t()>>> counters;
};

MachineState &state() {
  static MachineState *s = new MachineState;
  return *s;
}

using desc::bad;
using desc::check_fields;

uint64_t get_unsigned(const json &j, const std::string &where, uint64_t max) { return desc::number(j, where, max); }
bool get_bool(const json &j, const std::string &where) { return desc::flag(j, where); }
std::string get_string(const json &j, const std::string &where) { return desc::text(j, where); }

void load_os(const json &j, OsInfo &os) {
  const std::string w = "os";
  check_fields(j, w, {"major", "minor", "build", "platform_id", "service_pack_major",
                      "service_pack_minor", "suite_mask", "product_type", "winpe"});
  if (j.contains("major")) os.major = static_cast<DWORD>(get_unsigned(j["major"], w + ".major", 0xFFFFFFFF));
  if (j.contains("minor")) os.minor = static_cast<DWORD>(get_unsigned(j["minor"], w + ".minor", 0xFFFFFFFF));
  if (j.contains("build")) os.build = static_cast<DWORD>(get_unsigned(j["build"], w + ".build", 0xFFFFFFFF));
  if (j.contains("platform_id"))
    os.platform_id = static_cast<DWORD>(get_unsigned(j["platform_id"], w + ".platform_id", 0xFFFFFFFF));
  if (j.contains("service_pack_major"))
    os.service_pack_major = static_cast<WORD>(get_unsigned(j["service_pack_major"], w + ".service_pack_major", 0xFFFF));
  if (j.contains("service_pack_minor"))
    os.service_pack_minor = static_cast<WORD>(get_unsigned(j["service_pack_minor"], w + ".service_pack_minor", 0xFFFF));
  if (j.contains("suite_mask"))
    os.suite_mask = static_cast<WORD>(get_unsigned(j["suite_mask"], w + ".suite_mask", 0xFFFF));
  if (j.contains("product_type")) {
    const json &p = j["product_type"];
    if (p.is_string()) {
      std::string s = p.get<std::string>();
      if (s == "workstation") os.product_type = 1;
      else if (s == "domain_controller") os.product_type = 2;
      else if (s == "server") os.product_type = 3;
      else bad(w + ".product_type", "expected \"workstation\", \"server\", \"domain_controller\" or 1..3, not \"" + s + "\"");
    } else {
      uint64_t v = get_unsigned(p, w + ".product_type", 3);
      if (v == 0) bad(w + ".product_type", "expected 1..3");
      os.product_type = static_cast<BYTE>(v);
    }
  }
  if (j.contains("winpe")) os.winpe = get_bool(j["winpe"], w + ".winpe");
}

std::vector<uint8_t> parse_hex_bytes(const std::string &text, const std::string &where) {
  std::vector<uint8_t> out;
  int nibbles = 0;
  unsigned cur = 0;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':' || c == '-') {
      if (nibbles == 1) bad(where, "odd number of hexadecimal digits");
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else bad(where, std::string("not a hexadecimal digit: '") + c + "'");
    cur = (cur << 4) | static_cast<unsigned>(v);
    if (++nibbles == 2) {
      out.push_back(static_cast<uint8_t>(cur));
      nibbles = 0;
      cur = 0;
    }
  }
  if (nibbles) bad(where, "odd number of hexadecimal digits");
  return out;
}

DWORD parse_type(const json &j, const std::string &where) {
  if (j.is_string()) {
    static const std::pair<const char *, DWORD> names[] = {
        {"REG_NONE", REG_NONE},         {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
        {"REG_BINARY", REG_BINARY},     {"REG_DWORD", REG_DWORD}, {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
        {"REG_LINK", REG_LINK},         {"REG_MULTI_SZ", REG_MULTI_SZ}, {"REG_QWORD", REG_QWORD}};
    std::string s = j.get<std::string>();
    for (const auto &[n, v] : names)
      if (s == n) return v;
    bad(where, "unknown value type \"" + s + "\"");
  }
  return static_cast<DWORD>(get_unsigned(j, where, 0xFFFFFFFF));
}

RegValue load_value(const json &j, const std::string &where) {
  check_fields(j, where, {"name", "type", "data", "nul"});
  if (!j.contains("name")) bad(where, "missing \"name\"");
  RegValue v;
  v.name = get_string(j["name"], where + ".name");
  v.type = j.contains("type") ? parse_type(j["type"], where + ".type") : REG_SZ;
  bool nul = j.contains("nul") ? get_bool(j["nul"], where + ".nul") : true;
  if (!j.contains("data")) return v;
  const json &d = j["data"];
  const std::string dw = where + ".data";
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_LINK) {
    std::string s = get_string(d, dw);
    v.data.assign(s.begin(), s.end());
    if (nul) v.data.push_back(0);
  } else if (v.type == REG_DWORD || v.type == REG_DWORD_BIG_ENDIAN) {
    uint64_t n = get_unsigned(d, dw, 0xFFFFFFFF);
    for (int i = 0; i < 4; ++i) {
      int shift = v.type == REG_DWORD ? 8 * i : 8 * (3 - i);
      v.data.push_back(static_cast<uint8_t>(n >> shift));
    }
  } else if (v.type == REG_QWORD && d.is_number()) {
    uint64_t n = get_unsigned(d, dw, UINT64_MAX);
    for (int i = 0; i < 8; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
  } else if (v.type == REG_MULTI_SZ && d.is_array()) {
    for (size_t i = 0; i < d.size(); ++i) {
      std::string s = get_string(d[i], dw + "[" + std::to_string(i) + "]");
      v.data.insert(v.data.end(), s.begin(), s.end());
      v.data.push_back(0);
    }
    v.data.push_back(0);
  } else if (d.is_string()) {
    v.data = parse_hex_bytes(d.get<std::string>(), dw);
  } else if (d.is_array()) {
    for (size_t i = 0; i < d.size(); ++i)
      v.data.push_back(static_cast<uint8_t>(get_unsigned(d[i], dw + "[" + std::to_string(i) + "]", 255)));
  } else {
    bad(dw, "expected hexadecimal bytes (\"00 01 ff\") or an array of bytes");
  }
  return v;
}

void load_registry(const json &j) {
  if (!j.is_array()) bad("registry", "expected an array of keys");
  for (size_t i = 0; i < j.size(); ++i) {
    const std::string w = "registry[" + std::to_string(i) + "]";
    check_fields(j[i], w, {"key", "values"});
    if (!j[i].contains("key")) bad(w, "missing \"key\"");
    std::string key = get_string(j[i]["key"], w + ".key");
    std::string root = key.substr(0, key.find('\\'));
    for (char &c : root) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (root != "HKLM" && root != "HKEY_LOCAL_MACHINE" && root != "HKCR" && root != "HKEY_CLASSES_ROOT" &&
        root != "HKCU" && root != "HKEY_CURRENT_USER" && root != "HKU" && root != "HKEY_USERS")
      bad(w + ".key", "\"" + key + "\" does not start with a predefined key (HKLM, HKCR, HKCU, HKU)");
    registry_add_key(key);
    if (!j[i].contains("values")) continue;
    const json &vals = j[i]["values"];
    if (!vals.is_array()) bad(w + ".values", "expected an array");
    for (size_t k = 0; k < vals.size(); ++k)
      registry_set_value(key, load_value(vals[k], w + ".values[" + std::to_string(k) + "]"));
  }
}

void load_app(const json &j, AppKnobs &k) {
  const std::string w = "app";
  check_fields(j, w, {"module_path", "module_path_truncated", "fail_mutex_create_at",
                      "fail_thread_create_at", "fail_mutex_wait_at", "fail_mutex_wait_from",
                      "abandon_mutex_wait_at", "fixed_calendar_time", "fail_register_class",
                      "fail_create_window",
                      "no_show_window_message"});
  auto count = [&](const char *f, int &out) {
    if (j.contains(f)) out = static_cast<int>(get_unsigned(j[f], w + "." + f, 0x7FFFFFFF));
  };
  auto flag = [&](const char *f, bool &out) {
    if (j.contains(f)) out = get_bool(j[f], w + "." + f);
  };
  if (j.contains("module_path")) k.module_path = get_string(j["module_path"], w + ".module_path");
  flag("module_path_truncated", k.module_path_truncated);
  count("fail_mutex_create_at", k.fail_mutex_create_at);
  count("fail_thread_create_at", k.fail_thread_create_at);
  count("fail_mutex_wait_at", k.fail_mutex_wait_at);
  count("fail_mutex_wait_from", k.fail_mutex_wait_from);
  count("abandon_mutex_wait_at", k.abandon_mutex_wait_at);
  flag("fail_register_class", k.fail_register_class);
  flag("fail_create_window", k.fail_create_window);
  flag("no_show_window_message", k.no_show_window_message);
  if (j.contains("fixed_calendar_time")) {
    const json &t = j["fixed_calendar_time"];
    if (!t.is_number_integer()) bad(w + ".fixed_calendar_time", "expected an integer");
    k.fixed_calendar_time = t.get<int64_t>();
  }
}

void apply(const json &j) {
  if (!j.is_object()) bad("machine", "the description must be a JSON object");
  MachineState &s = state();
  register_storage_section();  // the "storage" section (adapters, disks, their drivers)
  register_video_section();    // the "video" section (DirectShow video input devices)
  register_task_scheduler();   // the Task Scheduler service and its root folder
  register_led_hal_section();  // the "led_hal" section (the LED lighting HAL servers)
  register_wmi_section();      // the "wmi" section (the WMI service's classes)
  for (auto it = j.begin(); it != j.end(); ++it) {
    static const char *const builtin[] = {"name", "description", "os", "registry", "app", "devices"};
    bool known = false;
    for (const char *b : builtin) known = known || it.key() == b;
    for (const Section &sec : s.sections) known = known || it.key() == sec.key;
    if (!known) bad(it.key(), "unknown section");
  }
  if (j.contains("name")) s.name = get_string(j["name"], "name");
  if (j.contains("description")) get_string(j["description"], "description");
  if (j.contains("os")) load_os(j["os"], s.os);
  if (j.contains("registry")) load_registry(j["registry"]);
  if (s.os.winpe) internal::registry_add_winpe_key();
  if (j.contains("app")) load_app(j["app"], app_knobs());
  load_device_tree(j.contains("devices") ? &j["devices"] : nullptr);
  for (const Section &sec : s.sections)
    if (j.contains(sec.key) && sec.load) sec.load(j[sec.key]);
  // Last: fault rules may name the disks and drives the sections above made.
  if (j.contains("faults")) load_fault_section(j["faults"]);
  if (j.contains("ui")) load_ui_section(j["ui"]);
  s.description = j;
}

void load_text(const std::string &text, const std::string &origin) {
  reset_machine();
  try {
    json j;
    try {
      j = json::parse(text);
    } catch (const json::parse_error &e) {
      throw std::runtime_error(std::string("invalid JSON: ") + e.what());
    }
    apply(j);
  } catch (const std::exception &e) {
    reset_machine();
    throw std::runtime_error(origin + e.what());
  }
}

}  // namespace

const OsInfo &machine_os() { return state().os; }

RegValue parse_registry_value(const nlohmann::json &j, const std::string &where) { return load_value(j, where); }

void set_machine_os(const OsInfo &os) {
  state().os = os;
  if (os.winpe)
    internal::registry_add_winpe_key();
  else
    registry_delete_key(kWinPeKeyPath);
}

void load_machine_file(const std::string &path) {
  // A relative name is read from the current folder: a message says which file that was.
  auto refuse = [&](const std::string &what) {
    reset_machine();
    std::string tried = path;
    char cwd[4096];
    if (!path.empty() && path[0] != '/' && getcwd(cwd, sizeof(cwd)) != nullptr)
      tried = path + " (" + cwd + "/" + path + ")";
    throw std::runtime_error("machine file " + tried + ": " + what);
  };
  // A folder opens for reading but reads as nothing: say what it is.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    refuse("is a directory, not a machine description (a JSON file)");
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int err = errno;
    refuse(std::string("cannot open: ") + std::strerror(err));
  }
  std::stringstream ss;
  ss << in.rdbuf();
  load_text(ss.str(), "machine file " + path + ": ");
}

void load_machine_json(const std::string &text) { load_text(text, "machine description: "); }

void use_default_machine() { load_machine_json(kDefaultMachine); }

std::string machine_file_path(const std::string &name) {
  // The shipped descriptions live in platform/machines, named by the build.
  std::string file = name;
  if (file.size() < 5 || file.compare(file.size() - 5, 5, ".json") != 0) file += ".json";
  return std::string(SIM_MACHINES_DIR) + "/" + file;
}

void reset_machine() {
  MachineState &s = state();
  for (const auto &[name, hook] : s.before_reset_hooks)
    if (hook) hook();
  app_knobs() = AppKnobs{};
  internal::reset_kernel_counters();
  s.os = OsInfo{};
  s.name = "default";
  s.description = json();
  internal::reset_registry();
  internal::reset_devices();
  reset_device_tree();
  for (const Section &sec : s.sections)
    if (sec.reset) sec.reset();
  for (const auto &[name, hook] : s.reset_hooks)
    if (hook) hook();
}

std::string machine_name() { return state().name; }

const nlohmann::json &machine_description() { return state().description; }

void register_machine_section(const std::string &key, std::function<void(const nlohmann::json &)> load,
                              std::function<void()> reset) {
  MachineState &s = state();
  for (Section &sec : s.sections) {
    if (sec.key == key) {
      sec.load = std::move(load);
      sec.reset = std::move(reset);
      return;
    }
  }
  s.sections.push_back(Section{key, std::move(load), std::move(reset)});
}

namespace {

void add_hook(std::vector<std::pair<std::string, std::function<void()>>> &hooks,
              const std::string &name, std::function<void()> fn) {
  for (auto &[n, hook] : hooks) {
    if (n == name) {
      hook = std::move(fn);
      return;
    }
  }
  hooks.emplace_back(name, std::move(fn));
}

}  // namespace

void register_reset_hook(const std::string &name, std::function<void()> reset) {
  add_hook(state().reset_hooks, name, std::move(reset));
}

void register_before_reset_hook(const std::string &name, std::function<void()> observe) {
  add_hook(state().before_reset_hooks, name, std::move(observe));
}

// ---- Resource accounting ----

void register_resource_counter(const std::string &name, std::function<size_t()> count) {
  MachineState &s = state();
  for (auto &[n, c] : s.counters) {
    if (n == name) {
      c = std::move(count);
      return;
    }
  }
  s.counters.emplace_back(name, std::move(count));
}

ResourceSnapshot ResourceSnapshot::take() {
  ResourceSnapshot snap;
  snap.counts["handles"] = handle_open_count();
  snap.counts["bad_closes"] = handle_bad_close_count();
  snap.counts["registry_keys"] = registry_open_key_count();
  snap.counts["contract_violations"] = contract_violation_count();
  // Counted from the first snapshot on, like handles: a set leaked before any machine loads is
  // seen by the test that leaked it, not by the next one to load a machine.
  snap.counts["devinfo_sets"] = device_info_set_count();
  snap.counts["devinfo_bad_destroys"] = device_info_bad_destroy_count();
  for (const auto &[name, count] : state().counters)
    if (count) snap.counts[name] = count();
  return snap;
}

size_t ResourceSnapshot::operator[](const std::string &name) const {
  auto it = counts.find(name);
  return it == counts.end() ? 0 : it->second;
}

std::string ResourceSnapshot::changes_since(const ResourceSnapshot &before) const {
  std::string out;
  for (const auto &[name, now] : counts) {
    size_t then = before[name];
    if (now != then) out += name + ": " + std::to_string(then) + " -> " + std::to_string(now) + "\n";
  }
  return out;
}

}  // namespace sim

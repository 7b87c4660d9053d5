// The registry of the simulated machine: keys by full path (names compare without regard to
// case), each with its values in stored order, and the handles RegOpenKeyExA gives on them.
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "platform/win_registry.h"
#include "sim/faults.h"
#include "sim/machine.h"

#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

namespace {

struct Key {
  std::string path;  // as first written
  std::vector<sim::RegValue> values;
};

struct Registry {
  std::mutex lock;
  std::map<std::string, Key> keys;              // key: lower-case canonical path
  std::map<uintptr_t, std::string> open;        // handle -> lower-case canonical path
  uintptr_t next_handle = 0x10000;
};

Registry &reg() {
  static Registry *r = new Registry;
  return *r;
}

std::string lower(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const char *root_name(HKEY h) {
  if (h == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (h == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (h == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (h == HKEY_USERS) return "HKEY_USERS";
  return nullptr;
}

std::vector<std::string> split(const std::string &path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// Canonical form of a full path ("HKLM\\Software" -> "HKEY_LOCAL_MACHINE\\Software"); empty
// when the root is not one of the predefined keys.
std::string canonical(const std::string &path) {
  std::vector<std::string> parts = split(path);
  if (parts.empty()) return std::string();
  std::string root = lower(parts[0]);
  if (root == "hklm" || root == "hkey_local_machine") parts[0] = "HKEY_LOCAL_MACHINE";
  else if (root == "hkcr" || root == "hkey_classes_root") parts[0] = "HKEY_CLASSES_ROOT";
  else if (root == "hkcu" || root == "hkey_current_user") parts[0] = "HKEY_CURRENT_USER";
  else if (root == "hku" || root == "hkey_users") parts[0] = "HKEY_USERS";
  else return std::string();
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '\\';
    out += parts[i];
  }
  return out;
}

bool is_root(const std::string &canon) { return canon.find('\\') == std::string::npos; }

// Adds the key and its ancestors (lock held).
void add_key_locked(Registry &r, const std::string &canon) {
  std::string prefix;
  for (const std::string &part : split(canon)) {
    prefix += prefix.empty() ? part : "\\" + part;
    std::string k = lower(prefix);
    if (!r.keys.count(k)) r.keys[k] = Key{prefix, {}};
  }
}

bool key_exists_locked(Registry &r, const std::string &lower_canon) {
  return is_root(lower_canon) || r.keys.count(lower_canon) != 0;
}

HKEY new_handle_locked(Registry &r, const std::string &lower_canon) {
  uintptr_t h = r.next_handle;
  r.next_handle += 8;
  r.open[h] = lower_canon;
  return reinterpret_cast<HKEY>(h);
}

// The lower-case canonical path an HKEY names; false for an unknown handle.
bool key_path_locked(Registry &r, HKEY h, std::string *out) {
  if (const char *root = root_name(h)) {
    *out = lower(root);
    return true;
  }
  auto it = r.open.find(reinterpret_cast<uintptr_t>(h));
  if (it == r.open.end()) return false;
  *out = it->second;
  return true;
}

// The key an HKEY names: null with *status set when it cannot be used.
Key *key_for_locked(Registry &r, HKEY h, LSTATUS *status) {
  std::string path;
  if (!key_path_locked(r, h, &path)) {
    *status = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  auto it = r.keys.find(path);
  if (it == r.keys.end()) {
    if (is_root(path)) {
      add_key_locked(r, canonical(path));
      return &r.keys[path];
    }
    *status = ERROR_KEY_DELETED;
    return nullptr;
  }
  return &it->second;
}

const sim::RegValue *find_value(const Key &k, const char *name) {
  std::string want = lower(name != nullptr ? name : "");
  for (const auto &v : k.values)
    if (lower(v.name) == want) return &v;
  return nullptr;
}

// Asks the fault rules about one registry read: {"api": "registry", "function": ..., "key": the
// key's full path, plus "value_name" or "index"}. The error of the first failing rule, or
// ERROR_SUCCESS. Called with the registry lock held (the rule set never calls back).
LSTATUS registry_fault(const char *function, const std::string &lower_path,
                       std::map<std::string, std::string> keys = {}) {
  sim::FaultQuery q;
  q.op = sim::FaultOp::other;
  keys["api"] = "registry";
  keys["function"] = function;
  keys["key"] = canonical(lower_path);
  q.keys = std::move(keys);
  for (const sim::FiredFault &f : sim::check_faults(q))
    if (f.action.kind == sim::FaultAction::fail) return static_cast<LSTATUS>(f.action.error);
  return ERROR_SUCCESS;
}

}  // namespace

namespace sim {

const char *const kWinPeKeyPath =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE";

void registry_add_key(const std::string &path) {
  std::string canon = canonical(path);
  if (canon.empty()) return;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  add_key_locked(r, canon);
}

bool registry_delete_key(const std::string &path) {
  std::string canon = lower(canonical(path));
  if (canon.empty() || is_root(canon)) return false;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  bool found = false;
  for (auto it = r.keys.begin(); it != r.keys.end();) {
    if (it->first == canon || it->first.rfind(canon + "\\", 0) == 0) {
      it = r.keys.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found;
}

bool registry_key_exists(const std::string &path) {
  std::string canon = lower(canonical(path));
  if (canon.empty()) return false;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  return key_exists_locked(r, canon);
}

void registry_set_value(const std::string &key_path, const RegValue &value) {
  std::string canon = canonical(key_path);
  if (canon.empty()) return;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  add_key_locked(r, canon);
  Key &k = r.keys[lower(canon)];
  for (auto &v : k.values) {
    if (lower(v.name) == lower(value.name)) {
      v = value;
      return;
    }
  }
  k.values.push_back(value);
}

RegValue reg_sz(const std::string &name, const std::string &text, bool with_nul) {
  RegValue v{name, REG_SZ, std::vector<uint8_t>(text.begin(), text.end())};
  if (with_nul) v.data.push_back(0);
  return v;
}

RegValue reg_dword(const std::string &name, uint32_t value) {
  RegValue v{name, REG_DWORD, {}};
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return v;
}

RegValue reg_binary(const std::string &name, const std::vector<uint8_t> &bytes) {
  return RegValue{name, REG_BINARY, bytes};
}

RegValue reg_multi_sz(const std::string &name, const std::vector<std::string> &items) {
  RegValue v{name, REG_MULTI_SZ, {}};
  for (const auto &s : items) {
    v.data.insert(v.data.end(), s.begin(), s.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

HKEY registry_open_path(const std::string &path) {
  std::string canon = lower(canonical(path));
  if (canon.empty()) return nullptr;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (!key_exists_locked(r, canon)) return nullptr;
  return new_handle_locked(r, canon);
}

size_t registry_open_key_count() {
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  return r.open.size();
}

namespace internal {

void reset_registry() {
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  r.keys.clear();  // open handles stay counted until closed; they now name deleted keys
}

void registry_add_winpe_key() { registry_add_key(kWinPeKeyPath); }

std::string registry_canonical_path(const std::string &path) { return canonical(path); }

}  // namespace internal
}  // namespace sim

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  (void)ulOptions;
  (void)samDesired;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  std::string base;
  if (!key_path_locked(r, hKey, &base)) return ERROR_INVALID_HANDLE;
  std::string full = base;
  if (lpSubKey != nullptr) {
    for (const std::string &part : split(lpSubKey)) full += "\\" + lower(part);
  }
  if (LSTATUS injected = registry_fault("RegOpenKeyExA", full)) return injected;
  if (!key_exists_locked(r, full)) return ERROR_FILE_NOT_FOUND;
  *phkResult = new_handle_locked(r, full);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  LSTATUS status = ERROR_SUCCESS;
  Key *k = key_for_locked(r, hKey, &status);
  if (k == nullptr) return status;
  if (LSTATUS injected = registry_fault("RegQueryValueExA", k->path,
                                        {{"value_name", lpValueName != nullptr ? lpValueName : ""}}))
    return injected;
  const sim::RegValue *v = find_value(*k, lpValueName);
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (lpType != nullptr) *lpType = v->type;
  DWORD size = static_cast<DWORD>(v->data.size());
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(lpData, v->data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr)
    return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  LSTATUS status = ERROR_SUCCESS;
  Key *k = key_for_locked(r, hKey, &status);
  if (k == nullptr) return status;
  if (LSTATUS injected = registry_fault("RegEnumValueA", k->path, {{"index", sim::fault_key(dwIndex)}}))
    return injected;
  if (dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const sim::RegValue &v = k->values[dwIndex];
  // The name must fit with its terminating NUL; *lpcchValueName is left as it was otherwise.
  if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
  *lpcchValueName = static_cast<DWORD>(v.name.size());
  if (lpType != nullptr) *lpType = v.type;
  DWORD size = static_cast<DWORD>(v.data.size());
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(lpData, v.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (root_name(hKey) != nullptr) return ERROR_SUCCESS;
  Registry &r = reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.open.erase(reinterpret_cast<uintptr_t>(hKey)) == 0) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

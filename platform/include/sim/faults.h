// Simulated machine: fault rules. A rule is a match and an action; the stand-in asks the rule
// set on every CreateFileA and DeviceIoControl, driver front-ends ask it with their own keys
// (miniport signature, NVMe opcode, CDB byte 0, ...).
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace sim {

enum class FaultOp {
  any,     // every operation
  open,    // CreateFileA
  ioctl,   // DeviceIoControl
  other,   // driver front-ends and drive models, told apart by their keys
};

// Which matching calls fire: the n-th, every one from the n-th on, or every one.
struct FaultCount {
  enum Mode { every, nth, from } mode = every;
  uint32_t n = 1;
  static FaultCount always() { return {every, 1}; }
  static FaultCount at(uint32_t n) { return {nth, n}; }
  static FaultCount starting_at(uint32_t n) { return {from, n}; }
};

struct FaultMatch {
  FaultOp op = FaultOp::any;
  std::string path;                      // empty: any; else compared without regard to case
  HANDLE handle = nullptr;               // null: any
  std::optional<DWORD> control_code;     // DeviceIoControl code
  // Further keys a caller supplies (all must be equal, without regard to case). Numbers are
  // written with fault_key().
  std::map<std::string, std::string> keys;
  FaultCount count;
};

struct FaultAction {
  enum Kind {
    fail,     // the call fails with `error` (CreateFileA: INVALID_HANDLE_VALUE; ioctl: FALSE)
    custom,   // interpreted by the front-end that asked, by `name` and the parameters
  } kind = fail;
  DWORD error = ERROR_GEN_FAILURE;
  std::string name;
  uint64_t value = 0;
  uint64_t value2 = 0;
  std::vector<uint8_t> bytes;

  static FaultAction fail_with(DWORD e) {
    FaultAction a;
    a.kind = fail;
    a.error = e;
    return a;
  }
  static FaultAction custom_action(std::string name, uint64_t value = 0, uint64_t value2 = 0) {
    FaultAction a;
    a.kind = custom;
    a.name = std::move(name);
    a.value = value;
    a.value2 = value2;
    return a;
  }
};

struct FaultRule {
  FaultMatch match;
  FaultAction action;
};

// What a call looks like to the rule set.
struct FaultQuery {
  FaultOp op = FaultOp::other;
  std::string path;                      // the path as opened (any alias)
  std::vector<std::string> aliases;      // further names of the same object
  HANDLE handle = nullptr;
  std::optional<DWORD> control_code;
  std::map<std::string, std::string> keys;
};

struct FiredFault {
  int rule_id;
  FaultAction action;
};

// Adds a rule; returns its id (> 0).
int add_fault(const FaultRule &rule);
// Shorthands: fail the matching opens / requests with `error`.
int fail_open(const std::string &path, DWORD error, FaultCount count = FaultCount::always());
int fail_ioctl(const std::string &path, DWORD control_code, DWORD error,
               FaultCount count = FaultCount::always());
// Fails the other calls (FaultOp::other) whose keys include all of `keys`
// ({"api": "com", "function": "CoInitializeEx"}).
int fail_call(const std::map<std::string, std::string> &keys, DWORD error, FaultCount count = FaultCount::always());
void remove_fault(int id);
void clear_faults();
// Evaluates every rule in the order added. Each rule whose match (apart from the count) fits
// the query counts the call; the rules whose count then fires are returned, in order.
std::vector<FiredFault> check_faults(const FaultQuery &query);
// Calls a rule has matched (counted) and fired so far.
uint32_t fault_seen(int id);
uint32_t fault_fired(int id);
// Formats a number as a fault key: lower-case hexadecimal with "0x" ("0x1f").
std::string fault_key(uint64_t value);

}  // namespace sim

#endif  // _WIN32

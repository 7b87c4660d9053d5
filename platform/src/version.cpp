// VerSetConditionMask and VerifyVersionInfoW against the machine's operating system.
//
// Condition mask encoding: three bits per type-mask bit, at 3 x (bit index); for VER_SUITENAME
// the condition is VER_AND or VER_OR.
#include <cstddef>

#include "platform/win_kernel.h"
#include "sim/machine.h"

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, dwMajorVersion) == 4, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, dwMinorVersion) == 8, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, dwBuildNumber) == 12, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, dwPlatformId) == 16, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, szCSDVersion) == 20, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wServicePackMajor) == 276, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wServicePackMinor) == 278, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wSuiteMask) == 280, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wProductType) == 282, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wReserved) == 283, "OSVERSIONINFOEXW layout");

namespace {

int bit_index(DWORD single_bit) {
  int i = 0;
  while (single_bit > 1) {
    single_bit >>= 1;
    ++i;
  }
  return i;
}

BYTE condition_for(ULONGLONG mask, DWORD type_bit) {
  return static_cast<BYTE>((mask >> (3 * bit_index(type_bit))) & 7);
}

// Compares `have` (the machine) with `want` (the caller) under a relational condition.
bool compare(ULONGLONG have, ULONGLONG want, BYTE condition) {
  switch (condition) {
    case VER_EQUAL:
      return have == want;
    case VER_GREATER:
      return have > want;
    case VER_GREATER_EQUAL:
      return have >= want;
    case VER_LESS:
      return have < want;
    case VER_LESS_EQUAL:
      return have <= want;
    default:
      return false;
  }
}

bool valid_relational(BYTE c) { return c >= VER_EQUAL && c <= VER_LESS_EQUAL; }

}  // namespace

ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
  if (TypeMask == 0 || Condition == 0 || Condition > VER_OR) return ConditionMask;
  for (DWORD bit = 1; bit <= VER_PRODUCT_TYPE; bit <<= 1) {
    if (!(TypeMask & bit)) continue;
    int shift = 3 * bit_index(bit);
    ConditionMask &= ~(7ULL << shift);
    ConditionMask |= static_cast<ULONGLONG>(Condition & 7) << shift;
  }
  return ConditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                        DWORDLONG dwlConditionMask) {
  const DWORD kKnown = VER_MINORVERSION | VER_MAJORVERSION | VER_BUILDNUMBER | VER_PLATFORMID |
                       VER_SERVICEPACKMINOR | VER_SERVICEPACKMAJOR | VER_SUITENAME |
                       VER_PRODUCT_TYPE;
  if (lpVersionInformation == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwTypeMask == 0 || (dwTypeMask & ~kKnown) != 0 || dwlConditionMask == 0) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return FALSE;
  }
  for (DWORD bit = 1; bit <= VER_PRODUCT_TYPE; bit <<= 1) {
    if (!(dwTypeMask & bit)) continue;
    BYTE c = condition_for(dwlConditionMask, bit);
    bool ok = bit == VER_SUITENAME ? (c == VER_AND || c == VER_OR) : valid_relational(c);
    if (!ok) {
      SetLastError(ERROR_BAD_ARGUMENTS);
      return FALSE;
    }
  }

  const sim::OsInfo &os = sim::machine_os();
  const OSVERSIONINFOEXW &v = *lpVersionInformation;
  bool pass = true;

  // Major, minor, service-pack major and minor form one version number: when several are asked
  // for, they are compared together, under the condition of the most significant one (so that
  // 10.0 counts as at least 6.3).
  struct Part {
    DWORD bit;
    ULONGLONG have;
    ULONGLONG want;
  };
  const Part parts[] = {
      {VER_MAJORVERSION, os.major, v.dwMajorVersion},
      {VER_MINORVERSION, os.minor, v.dwMinorVersion},
      {VER_SERVICEPACKMAJOR, os.service_pack_major, v.wServicePackMajor},
      {VER_SERVICEPACKMINOR, os.service_pack_minor, v.wServicePackMinor},
  };
  BYTE version_condition = 0;
  int compared = 0;
  for (const Part &p : parts) {
    if (!(dwTypeMask & p.bit)) continue;
    if (version_condition == 0) version_condition = condition_for(dwlConditionMask, p.bit);
    ++compared;
  }
  if (compared > 0) {
    // Lexicographic comparison of the selected parts.
    int order = 0;
    for (const Part &p : parts) {
      if (!(dwTypeMask & p.bit) || order != 0) continue;
      if (p.have != p.want) order = p.have < p.want ? -1 : 1;
    }
    ULONGLONG have = static_cast<ULONGLONG>(order + 1);
    pass = pass && compare(have, 1, version_condition);
  }

  if (dwTypeMask & VER_BUILDNUMBER)
    pass = pass && compare(os.build, v.dwBuildNumber, condition_for(dwlConditionMask, VER_BUILDNUMBER));
  if (dwTypeMask & VER_PLATFORMID)
    pass = pass && compare(os.platform_id, v.dwPlatformId,
                           condition_for(dwlConditionMask, VER_PLATFORMID));
  if (dwTypeMask & VER_PRODUCT_TYPE)
    pass = pass && compare(os.product_type, v.wProductType,
                           condition_for(dwlConditionMask, VER_PRODUCT_TYPE));
  if (dwTypeMask & VER_SUITENAME) {
    BYTE c = condition_for(dwlConditionMask, VER_SUITENAME);
    WORD have = os.suite_mask;
    WORD want = v.wSuiteMask;
    pass = pass && (c == VER_AND ? (have & want) == want : (have & want) != 0);
  }

  if (!pass) {
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
  }
  return TRUE;
}

// Windows build only: every size, offset and value that the Linux stand-in declares must equal
// the SDK's own; a mismatch fails the build.
#include <cstddef>

#include "platform/win32.h"
#include "standin_layout.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

#define LAYOUT_SIZE(T) static_assert(sizeof(T) == STANDIN_SIZE_##T, "stand-in size differs: " #T);
#define LAYOUT_OFFSET(T, F) \
  static_assert(offsetof(T, F) == STANDIN_OFFSET_##T##_##F, "stand-in offset differs: " #T "." #F);
#define LAYOUT_VALUE(N) \
  static_assert(static_cast<unsigned long long>(N) == STANDIN_VALUE_##N, "stand-in value differs: " #N);
#include "layout_items.h"

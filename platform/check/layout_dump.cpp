// Host program: prints the stand-in's sizes, offsets and values as macros for the Windows
// build's layout check.
#include <cstddef>
#include <cstdio>

#include "platform/win32.h"

int main() {
  std::printf("// Generated from the Linux stand-in; do not edit.\n#pragma once\n");
#define LAYOUT_SIZE(T) std::printf("#define STANDIN_SIZE_%s %zuULL\n", #T, sizeof(T));
#define LAYOUT_OFFSET(T, F) std::printf("#define STANDIN_OFFSET_%s_%s %zuULL\n", #T, #F, offsetof(T, F));
#define LAYOUT_VALUE(N) \
  std::printf("#define STANDIN_VALUE_%s 0x%llxULL\n", #N, static_cast<unsigned long long>(N));
#include "layout_items.h"
  return 0;
}

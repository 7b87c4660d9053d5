#!/usr/bin/env bash
# Builds the native (Linux, simulated machine) tree into build/native and, unless
# ORBU_SKIP_WINDOWS=1, the Windows product orbu.exe into build/windows. With targets named in
# ORBU_BUILD_TARGETS ("orbu orbu_pack"), only those native targets are built and the Windows tree
# is left alone. CMAKE_BUILD_PARALLEL_LEVEL, when set, is the number of build jobs at once;
# otherwise there is one per core.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
read -r -a targets <<<"${ORBU_BUILD_TARGETS:-}"

if [ ${#targets[@]} -eq 0 ]; then
  # The configure fetches the TinyXML sources for the Windows build into the build tree.
  cmake -S "$root" -B "$root/build/windows" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    >/dev/null
  if [ "${ORBU_SKIP_WINDOWS:-0}" != 1 ]; then
    cmake --build "$root/build/windows" -j "$jobs"
  fi
fi

win_exe=""
if [ -f "$root/build/windows/orbu/orbu.exe" ]; then win_exe="$root/build/windows/orbu/orbu.exe"; fi
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORBU_WINDOWS_EXE="$win_exe" >/dev/null
if [ ${#targets[@]} -eq 0 ]; then
  cmake --build "$root/build/native" -j "$jobs"
else
  cmake --build "$root/build/native" -j "$jobs" --target "${targets[@]}"
fi

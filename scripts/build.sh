#!/usr/bin/env bash
# Builds the native (Linux, simulated machine) tree into build/native and, unless
# ORBU_SKIP_WINDOWS=1, the Windows product orbu.exe into build/windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

# The configure fetches the TinyXML sources for the Windows build into the build tree.
cmake -S "$root" -B "$root/build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  >/dev/null
if [ "${ORBU_SKIP_WINDOWS:-0}" != 1 ]; then
  cmake --build "$root/build/windows" -j "$jobs"
fi

win_exe=""
if [ -f "$root/build/windows/orbu/orbu.exe" ]; then win_exe="$root/build/windows/orbu/orbu.exe"; fi
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORBU_WINDOWS_EXE="$win_exe" >/dev/null
cmake --build "$root/build/native" -j "$jobs"

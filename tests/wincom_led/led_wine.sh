#!/usr/bin/env bash
# The LED functions end to end under Wine: registers the stand-in LED HAL server DLL of the
# Windows build in this test's own Wine prefix and runs the Windows LED test program against it.
# Brings the two Windows programs up to date in the Windows build tree first. Exit 77 (skipped)
# only when Wine is not installed.
# usage: led_wine.sh WINEPREFIX WINDOWS_BUILD_DIR SOURCE_DIR
set -uo pipefail
export WINEPREFIX=$1
win_build=$2
source_dir=$3
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

command -v wine >/dev/null 2>&1 || { echo "SKIP: wine is not installed"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

dll=$win_build/tools/led_wine/fake_led_hal.dll
exe=$win_build/tools/led_wine/led_wine_test.exe
if [ ! -f "$win_build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "the Windows build could not be configured"
fi
# Up to date with the sources (nothing to do after a full Windows build).
cmake --build "$win_build" -j4 --target fake_led_hal led_wine_test >/dev/null || fail "the Windows LED programs do not build"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# Each HAL server: its in-process server, and the key that marks it installed.
dll_win=$(winepath -w "$dll" 2>/dev/null) || fail "winepath"
instances='HKCR\CLSID\{109DC3E4-B9FF-4AF3-9008-AB13705D4E5F}\Instance\{E9BBD754-6CF4-492E-BA89-782177A2771B}\Instance'
for clsid in '{10B0F14F-B9CB-41FC-9DAA-FCDE6EBA0A50}' '{D37DAC4A-CEDC-453D-8659-6AD9451C9AA8}'; do
  wine reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d "$dll_win" /f >/dev/null 2>&1 || fail "reg add $clsid"
  wine reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null 2>&1 || fail "reg add $clsid"
  wine reg add "$instances\\$clsid" /f >/dev/null 2>&1 || fail "reg add the instance key of $clsid"
done

out=$(wine "$exe" 2>&1)
code=$?
echo "$out"
[ "$code" = 0 ] || fail "led_wine_test.exe exited with $code"
echo "$out" | grep -q "LED checks passed" || fail "no result line"

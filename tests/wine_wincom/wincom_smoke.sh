#!/usr/bin/env bash
# Runs one check of wincom_smoke.exe under Wine and compares its facts.
# usage: wincom_smoke.sh CHECK WINEPREFIX SMOKE_EXE
# Wine's WMI and SetupAPI answer only partly: where they lack what a filler needs, the check
# expects the library's own failure path.
set -uo pipefail
check=$1
export WINEPREFIX=$2
exe=$3
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

out=$(mktemp "${TMPDIR:-/tmp}/wincom-smoke-XXXXXX")
trap 'rm -f "$out"' EXIT
fail() { echo "FAIL: $*"; echo "--- output ---"; cat "$out"; exit 1; }

timeout 90 wine "$exe" "$check" 2>/dev/null | tr -d '\r' >"$out"
code=${PIPESTATUS[0]}
[ "$code" = 0 ] || fail "exit code $code"
fact() { grep -m 1 "^$check: $1=" "$out" | cut -d= -f2-; }
has() { grep -q -F -- "$1" "$out" || fail "output lacks: $1"; }
[ "$(fact done)" = 1 ] || fail "the check did not finish"

case "$check" in
  wmi)
    [ "$(fact rc)" = 0 ] || fail "the query failed"
    [ "$(fact rows)" = 1 ] || fail "expected one operating system"
    [[ "$(fact version)" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version is not three numbers"
    [ "$(fact missing_property)" = 1 ] || fail "a missing property did not fail"
    [ "$(fact missing_property_message)" = "Failed to get Wbem property: NoSuchProperty (80041002)" ] ||
      fail "wrong record for a missing property"
    ;;
  drive0)
    if [ "$(fact rc)" = 0 ]; then
      [[ "$(fact storage_port_path)" == '\\?\'* ]] || fail "no storage-port path"
    else
      # Wine's disk devices carry no PDO name: the disk is not found, and without its id the
      # controller filler refuses to guess.
      [ "$(fact subcode)" = 6 ] || fail "expected the disk and controller fillers to fail"
      has "log: message: Could not find Disk 0 to pull details."
      has "log: message: Failed to get a valid set of data to fill the controller info structure."
      [ -z "$(fact instance_id)" ] || fail "an instance id although the disk was not found"
    fi
    ;;
  system)
    [ "$(fact rc)" = 0 ] || fail "system report failed: $(fact message)"
    [ "$(fact gpus)" -ge 1 ] && [ "$(fact cpus)" -ge 1 ] && [ "$(fact baseboards)" = 1 ] || fail "missing parts"
    [[ "$(fact os_version)" =~ ^[1-9][0-9]*\.[0-9]+\.[0-9]+$ ]] || fail "no OS version"
    [ -n "$(fact os_name)" ] || fail "no OS name"
    [ "$(fact wow64)" = 0 ] || fail "a 64-bit program reported as WOW64"
    ;;
  *)
    fail "unknown check $check"
    ;;
esac
echo "PASS: $check"

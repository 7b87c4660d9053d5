#!/usr/bin/env bash
# Runs orbu.exe under Wine and checks its log file and exit code.
# usage: wine_smoke.sh CASE WINEPREFIX ORBU_EXE [PACKER PACKAGE_DIR]
set -uo pipefail
case_name=$1
export WINEPREFIX=$2
exe=$3
packer=${4:-}
packages=${5:-}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

fail() { echo "FAIL: $*"; [ -f "${log:-}" ] && { echo "--- log ---"; cat "$log"; }; exit 1; }

if [ "$case_name" = prefix ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orbu-wine-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/orbu.exe"
cd "$work"

# Checks that every given text occurs in the log, in this order (substring match per line).
expect_in_order() {
  local file=$1; shift
  local line_no=0
  for text in "$@"; do
    local found
    found=$(tail -n +"$((line_no + 1))" "$file" | tr -d '\r' | grep -n -F -m 1 -- "$text" | cut -d: -f1)
    [ -n "$found" ] || fail "log lacks, after line $line_no: $text"
    line_no=$((line_no + found))
  done
}

run() { wine "$work/orbu.exe" "$@" >/dev/null 2>&1; echo $?; }

case "$case_name" in
  silent_cli)
    # No package: command-line mode, Duzori variant, nothing applicable -> exit 1.
    code=$(run /s)
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    [ -f "$log" ] || fail "no default log file"
    expect_in_order "$log" "Corvane Field Update Tool version 1.16.1" "Start Timestamp: " \
      "Command Line: /s" "Modified Command Line: /s" \
      "Failed to unpack configuration from the binary." \
      "The application will handle configuration only via the CLI." \
      "If embedded configuration is intended, please ensure your file has not become corrupted." \
      "Update Configuration" "    Customer: Duzori" "        Log Path:          Unspecified" \
      "    Strategy: CLI" "Update application complete." \
      "Tool could not detect any applicable device firmware for update." "End Timestamp: "
    [ "$(tail -n 1 "$log" | tr -d '\r' | cut -c1-15)" = "End Timestamp: " ] || fail "End Timestamp is not last"
    ;;
  default_log)
    code=$(run /A "/log=C:\\orbu-run.txt")
    log="$WINEPREFIX/drive_c/orbu-run.txt"
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    [ -f "$log" ] || fail "no log at the /log= path"
    [ ! -f "$work/corvaneupdlog.txt" ] || fail "default log written although /log= was given"
    expect_in_order "$log" "Command Line: /A /log=C:\\orbu-run.txt" "        Log Path:          C:\\orbu-run.txt"
    rm -f "$log"
    ;;
  debug_level)
    code=$(run /s /debug)
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    expect_in_order "$log" "Command Line: /s /debug" "End Timestamp: "
    ;;
  window_duzori)
    # Window run without a package: the Duzori window starts by itself and closes when done.
    command -v xvfb-run >/dev/null || fail "xvfb-run is not installed"
    code=$(timeout 90 xvfb-run -a wine "$work/orbu.exe" >/dev/null 2>&1; echo $?)
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    expect_in_order "$log" "    Customer: Duzori" "Sending a message to shut down the GUI now that updates are complete." \
      "Update application complete." "End Timestamp: "
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"

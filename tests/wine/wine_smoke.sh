#!/usr/bin/env bash
# Runs orbu.exe under Wine and checks its log file and exit code.
# usage: wine_smoke.sh CASE WINEPREFIX ORBU_EXE [PACKER PACKAGE_DIR]
# The case retry_crash builds its stand-in program with the MinGW C compiler named by ORBU_MINGW_CC.
set -uo pipefail
script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
case_name=$1
export WINEPREFIX=$2
exe=$3
packer=${4:-}
packages=${5:-}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The same locale wherever the tests run: the programs' ANSI code page is then 1252.
export LC_ALL=C.UTF-8
unset DISPLAY

fail() {
  echo "FAIL: $*"
  [ -s "${wine_out:-}" ] && { echo "--- Wine said ---"; cat "$wine_out"; }
  [ -f "${log:-}" ] && { echo "--- log ---"; cat "$log"; }
  exit 1
}

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

# What Wine prints when it fails to start a program before any of the program's code runs: its
# loader (the program or a system library not loaded) or its server (not started, not reachable).
wine_start_failure='^wine: (could not (load (ntdll\.so|kernel32\.dll)|find BaseThreadInitThunk|exec (wineserver|the wine loader))'
wine_start_failure+='|failed to (create main module|load start\.exe|open |start )|__wine_main function not found'
wine_start_failure+='|for some mysterious reason, the wine server|a wine server seems to be running'
wine_start_failure+='|init_first_thread failed|Bad server socket)|^wine client error:'
# What Wine prints when the program crashed: an exception it did not handle, a missing function.
wine_program_crashed='Unhandled|starting debugger|unimplemented function'

# True when the run that Wine's output ($wine_out) tells of never started the program: Wine said
# that it failed to start, said nothing that only a running program causes, and no file of the
# work folder was written since the stamp file $1.
wine_never_started() {
  grep -qE "$wine_start_failure" "$wine_out" || return 1
  ! grep -qE "$wine_program_crashed" "$wine_out" || return 1
  [ -z "$(find "$work" -newer "$1" ! -path "$wine_out" -print -quit)" ]
}

# Runs a program of the work folder under Wine and prints its exit code, or "crashed" when Wine
# says that the program crashed (Wine's exit code of a crash is now and then 0); what Wine printed
# is kept for fail(). When Wine failed to start the program, the prefix's server is ended and the
# run is tried once more; a program that ran (and crashed, say) is never started again.
wine_out=$work/wine-out.txt
wine_exe() {
  local exe=$1; shift
  local stamp=$work/.wine-start
  : >"$stamp"
  wine "$exe" "$@" >"$wine_out" 2>&1
  local code=$?
  if [ "$code" != 0 ] && wine_never_started "$stamp"; then
    { echo "--- Wine failed to start (exit $code), tried again ---"; cat "$wine_out"; } >"$work/wine-first.txt"
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
    wine "$exe" "$@" >"$wine_out" 2>&1
    code=$?
    cat "$work/wine-first.txt" >>"$wine_out"
    rm -f "$work/wine-first.txt"
  fi
  rm -f "$stamp"
  if grep -qE "$wine_program_crashed" "$wine_out"; then code=crashed; fi
  echo "$code"
}
run() { wine_exe "$work/orbu.exe" "$@"; }

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
  enumerate)
    # The scan enumerates the machine's devices (whatever Wine offers) and the run goes on.
    code=$(run /s /debug)
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    [ "$(tail -n 1 "$log" | tr -d '\r' | cut -c1-15)" = "End Timestamp: " ] || fail "End Timestamp is not last"
    ;;
  window_duzori)
    # Window run without a package: the Duzori window starts by itself and closes when done.
    command -v xvfb-run >/dev/null || fail "xvfb-run is not installed"
    # A wineserver still running from a run without a display keeps its display-less desktop for
    # every later process of the prefix: stop it, so this run starts one on the X server.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    log=$work/corvaneupdlog.txt
    code=$(timeout 90 xvfb-run -a -e "$work/xvfb.txt" wine "$work/orbu.exe" >"$work/wine.txt" 2>&1; echo $?)
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if grep -q "Failed to create the graphical user interface." "$log" 2>/dev/null; then
      echo "X server and Wine said:"; cat "$work/xvfb.txt" "$work/wine.txt"
    fi
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    expect_in_order "$log" "    Customer: Duzori" "Sending a message to shut down the GUI now that updates are complete." \
      "Update application complete." "End Timestamp: "
    ;;
  packaged_silent)
    # A generic package whose configuration is silent: no default log; nothing applicable in a
    # silent generic run -> exit 4. With "/log=" the log is written there.
    [ -x "$packer" ] || fail "no packer"
    "$packer" "$packages/silent-generic.json" "$work/orbu.exe" "$work/packaged.exe" >/dev/null || fail "packing failed"
    code=$(wine_exe "$work/packaged.exe")
    [ "$code" = 4 ] || fail "exit code $code, expected 4"
    [ ! -f "$work/corvaneupdlog.txt" ] || fail "a silent package wrote the default log"
    code=$(wine_exe "$work/packaged.exe" "/log=packaged.txt")
    log=$work/packaged.txt
    [ "$code" = 4 ] || fail "exit code $code, expected 4 with /log="
    expect_in_order "$log" "Detected embedded binary configuration." "    Customer: Generic" "    Strategy: monb" \
      "        Model: CORVANE CVN-512" "    Firmware Binary 0" "        Name: cvn512_cn100002.img" \
      "Tool could not detect any applicable device firmware for update." "End Timestamp: "
    ;;
  packaged_japanese_folder)
    # The packaged tool in a folder whose name the ANSI code page cannot hold still finds its
    # package (its own file is read through the wide calls).
    [ -x "$packer" ] || fail "no packer"
    folder="$work/$(printf '\xe6\x9b\xb4\xe6\x96\xb0\xe3\x83\x84\xe3\x83\xbc\xe3\x83\xab')"
    mkdir -p "$folder"
    "$packer" "$packages/silent-generic.json" "$work/orbu.exe" "$folder/packaged.exe" >/dev/null || fail "packing failed"
    code=$(wine_exe "$folder/packaged.exe" "/log=packaged.txt")
    log=$work/packaged.txt
    [ "$code" = 4 ] || fail "exit code $code, expected 4"
    expect_in_order "$log" "Detected embedded binary configuration." "    Strategy: monb" "End Timestamp: "
    ;;
  packaged_missing_image)
    [ -x "$packer" ] || fail "no packer"
    "$packer" --unchecked "$packages/missing-image.json" "$work/orbu.exe" "$work/packaged.exe" >/dev/null || fail "packing failed"
    code=$(wine_exe "$work/packaged.exe" /s)
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    expect_in_order "$log" "Detected embedded binary configuration." \
      "Binary is inconsistent. Packed binary cvn1t_cv1b0200.img is configured but does not exist." \
      "Update application failed early due to issues with binary consistency." "End Timestamp: "
    if grep -q "Update application complete." "$log"; then fail "the run went on after the failed check"; fi
    ;;
  unmappable_command_line)
    # Characters that code page 1252 cannot hold become "?", not look-alikes: "/log=Łódź.txt"
    # leaves the existing "Lódz.txt" alone, and the logged command line shows the "?".
    lookalike="$work/L$(printf '\xc3\xb3')dz.txt"
    printf 'an earlier log\r\n' >"$lookalike"
    cp "$lookalike" "$work/lookalike-before"
    code=$(run /s "/log=$(printf '\xc5\x81\xc3\xb3d\xc5\xba').txt")
    [ "$code" = 1 ] || fail "exit code $code with the unmappable log name, expected 1"
    cmp -s "$lookalike" "$work/lookalike-before" || fail "the look-alike file was written"
    code=$(run /s "/D:f$(printf '\xc4\xb0')rmware_$(printf '\xc5\x91').bin")
    log=$work/corvaneupdlog.txt
    [ "$code" = 1 ] || fail "exit code $code, expected 1"
    for line in "Command Line: /s /D:f?rmware_?.bin" "Modified Command Line: /s /D:f?rmware_?.bin" \
                "        Binary:            f?rmware_?.bin"; do
      tr -d '\r' <"$log" | grep -qxF -- "$line" || fail "log lacks the line: $line"
    done
    ;;
  shared_log)
    # Eight copies started at once in one folder share the default log: no text of any copy is
    # lost or overwritten. A copy run alone first gives the number of lines one run writes.
    mkdir "$work/alone"
    cp "$work/orbu.exe" "$work/alone/orbu.exe"
    code=$(cd "$work/alone" && wine_exe "$work/alone/orbu.exe" /s /debug /alone)
    [ "$code" = 1 ] || fail "exit code $code of the run alone, expected 1"
    per_run=$(grep -c '' "$work/alone/corvaneupdlog.txt")
    rm -rf "$work/alone"
    # Copies starting together must not race for the start of the prefix's server: keep one up.
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
    wineserver -p >/dev/null 2>&1
    trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; rm -rf "$work"' EXIT
    log=$work/corvaneupdlog.txt
    rounds=5
    for round in $(seq 1 $rounds); do
      pids=()
      for copy in 1 2 3 4 5 6 7 8; do
        wine "$work/orbu.exe" /s /debug "/round$round-copy$copy" >"$work/copy$copy.txt" 2>&1 &
        pids+=($!)
      done
      for copy in 1 2 3 4 5 6 7 8; do
        wait "${pids[$((copy - 1))]}"
        code=$?
        [ "$code" = 1 ] || { cat "$work/copy$copy.txt"; fail "copy $copy of round $round: exit code $code, expected 1"; }
        # A substring: the texts are whole, but a line logged as two texts may take in another
        # copy's text between them.
        count=$(grep -cF "Modified Command Line: /s /debug /round$round-copy$copy" "$log")
        [ "$count" = 1 ] || fail "round $round, copy $copy: its Modified Command Line is in the log $count times"
      done
      runs=$((round * 8))
      for text in "Start Timestamp: " "Modified Command Line: " "End Timestamp: "; do
        count=$(grep -c -- "$text" "$log")
        [ "$count" = "$runs" ] || fail "after round $round the log holds \"$text\" $count times, expected $runs"
      done
      lines=$(grep -c '' "$log")
      [ "$lines" = $((runs * per_run)) ] || fail "after round $round the log holds $lines lines, expected $runs x $per_run"
    done
    ;;
  retry_crash)
    # The retry of wine_exe: a program that crashed on its first start is not started again (its
    # crash is reported), nor is one that wrote a file or crashed before Wine failed; a start that
    # Wine's loader failed is tried again. A stand-in "wine" acts out each row's first start.
    [ -n "${ORBU_MINGW_CC:-}" ] || fail "no MinGW C compiler given (ORBU_MINGW_CC)"
    "$ORBU_MINGW_CC" -O1 -o "$work/crash_once.exe" "$script_dir/crash_once.c" || fail "the stand-in does not build"
    outside=$(mktemp -d "${TMPDIR:-/tmp}/orbu-wine-outside-XXXXXX")
    trap 'rm -rf "$work" "$outside"' EXIT
    real_wine=$(command -v wine)
    mkdir "$outside/bin"
    # row: marker file before | what the stand-in "wine" does at the first start | exit code | retried
    while IFS='|' read -r marker first expected retried; do
      first=${first//@WORK@/$work}
      first=${first//@WINE@/$real_wine}
      rm -f "$outside/started" "$outside/marker" "$work/written.txt"
      [ "$marker" = absent ] || : >"$outside/marker"
      printf '#!/usr/bin/env bash\nif [ ! -e %q ]; then : >%q; %s; fi\nexec %q "$@"\n' "$outside/started" \
        "$outside/started" "$first" "$real_wine" >"$outside/bin/wine"
      chmod +x "$outside/bin/wine"
      code=$(PATH="$outside/bin:$PATH" wine_exe "$work/crash_once.exe" "Z:$outside/marker")
      [ "$code" = "$expected" ] || fail "first start \"$first\": exit code $code, expected $expected"
      if grep -q "tried again" "$wine_out"; then was_retried=yes; else was_retried=no; fi
      [ "$was_retried" = "$retried" ] || fail "first start \"$first\": retried $was_retried, expected $retried"
    done <<'ROWS'
absent|true|crashed|no
present|echo "wine: could not load kernel32.dll, status c0000135" >&2; exit 1|0|yes
present|echo ran >"@WORK@/written.txt"; echo "wine client error:0: write: Bad file descriptor" >&2; exit 1|1|no
absent|"@WINE@" "$@"; echo "wine client error:0: read: Connection reset by peer" >&2; exit 1|crashed|no
ROWS
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"

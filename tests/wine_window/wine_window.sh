#!/usr/bin/env bash
# Runs a packaged orbu.exe with its window under Wine on a virtual X server: the window with the
# variant's title appears, a screenshot of the screen is kept, and the window closes by the
# variant's rule (generic and Dedi: the Exit button; Duzori: by itself when the updates are done).
# Exits 77 (skipped) when Wine is not installed.
# usage: wine_window.sh VARIANT ORBU_EXE PACKER PACKAGE_DIR OUTPUT_DIR
set -uo pipefail
variant=$1
exe=$2
packer=$3
packages=$4
out=$5

if [ "$variant" = inner ]; then
  # On the X server: $2 the program, $3 the title, $4 the closing rule, $5 the screenshot.
  program=$2 title=$3 rule=$4 shot=$5
  wine "$program" >/dev/null 2>&1 &
  pid=$!
  if [ "$rule" = self ]; then
    # The window closes itself; nobody touches it.
    wait "$pid"
    echo "exit=$?"
    exit 0
  fi
  id=""
  for _ in $(seq 1 120); do
    id=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n 1)
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  [ -n "$id" ] || { echo "no window titled $title"; xwininfo -root -tree; kill "$pid"; exit 1; }
  xwininfo -root -tree | grep -F "\"$title\"" | sed 's/^ */window: /'
  sleep 2  # let it paint
  import -window root "$shot"
  import -window "$id" "${shot%.png}-window.png"
  # The Exit button's centre in client coordinates: (450, row height + 37) without device rows.
  xdotool mousemove --window "$id" 450 "$rule" click 1
  for _ in $(seq 1 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$pid" 2>/dev/null; then echo "still running after Exit"; kill "$pid"; exit 1; fi
  wait "$pid"
  echo "exit=$?"
  exit 0
fi

command -v wine >/dev/null || { echo "SKIP: Wine is not installed"; exit 77; }
for tool in xvfb-run xdotool xwininfo import; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/deps.sh)"; exit 1; }
done

export WINEPREFIX="$out/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
work=$(mktemp -d "${TMPDIR:-/tmp}/orbu-window-XXXXXX")
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
log=$work/corvaneupdlog.txt
fail() { echo "FAIL: $*"; [ -f "$log" ] && { echo "--- log ---"; cat "$log"; }; exit 1; }

case "$variant" in
  generic) title="DriveMender - v6.16.1" rule=87 code=0
           lines=("Button clicked - 0063h." "User has selected to exit via the exit control.") ;;
  dedi) title="Corvane Field Update Tool - v1.16.1" rule=67 code=0
        lines=("Device update control thread completed." "Button clicked - 0063h."
               "User has selected to exit via the exit control.") ;;
  duzori) title="" rule=self code=1
          lines=("Sending a message to shut down the GUI now that updates are complete.") ;;
  *) fail "unknown variant $variant" ;;
esac

"$packer" "$packages/window-$variant.json" "$exe" "$work/orbu.exe" >/dev/null || fail "packing failed"
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
wineserver -w
shot=$out/window-$variant.png
rm -f "$shot" "${shot%.png}-window.png"
cd "$work"
result=$(timeout 150 xvfb-run -a -s "-screen 0 800x600x24" "$0" inner "$work/orbu.exe" "$title" "$rule" "$shot" 2>&1)
echo "$result"
[ "$(echo "$result" | grep '^exit=' | tail -n 1)" = "exit=$code" ] || fail "expected exit code $code"
for line in "${lines[@]}" "User has selected to exit via standard window destruction." "End Timestamp: "; do
  grep -q -F -- "$line" "$log" || fail "log lacks: $line"
done
if [ "$rule" != self ]; then
  [ -s "$shot" ] || fail "no screenshot"
  echo "screenshot: $shot"
fi
echo "PASS: window $variant"

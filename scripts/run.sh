#!/usr/bin/env bash
# Installs what is missing, builds the tool and its packer, packages the sample update package
# into a copy of the tool and runs it silently on the default simulated machine (or the one
# ORBU_SIM_MACHINE names); then shows the log, the drives before and after, and the exit code,
# and exits with the tool's exit code.
#
# Paths given through ORBU_SIM_MACHINE, ORBU_SIM_TRACE_OUT, ORBU_SIM_UI_OUT and ORBU_SIM_STATE_OUT,
# and in the tool's own "/D:" and "/log=" arguments, are read from the folder this command was
# started in; the tool itself runs in build/run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$(pwd)

# A relative path, as the user meant it: from the folder the command was started in.
absolute() {
  case "$1" in
    "" | /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$here" "$1" ;;
  esac
}
for var in ORBU_SIM_MACHINE ORBU_SIM_TRACE_OUT ORBU_SIM_UI_OUT ORBU_SIM_STATE_OUT; do
  if [ -n "${!var:-}" ]; then export "$var=$(absolute "${!var}")"; fi
done
args=()
for arg in "$@"; do
  case "$arg" in
    /D:?*) args+=("/D:$(absolute "${arg#/D:}")") ;;
    /log=?*) args+=("/log=$(absolute "${arg#/log=}")") ;;
    *) args+=("$arg") ;;
  esac
done

bash "$root/scripts/deps.sh" --run
ORBU_BUILD_TARGETS="orbu orbu_pack" bash "$root/scripts/build.sh"

work="$root/build/run"
rm -rf "$work" && mkdir -p "$work"
tool="$root/build/native/orbu/orbu"
"$root/build/native/tools/orbu_pack" "$root/samples/monb-sample.json" "$tool" "$work/orbu-packaged"
chmod +x "$work/orbu-packaged"
cd "$work"

# The drives as they are before the run: the plain tool without options updates nothing (no
# package, no target) and writes the machine's drive states at exit. A machine that cannot be
# loaded is reported by the run below.
ORBU_SIM_STATE_OUT="$work/state-before.json" ORBU_SIM_TRACE_OUT= ORBU_SIM_UI_OUT= \
  "$tool" /s /log="$work/state-before.log" >/dev/null 2>&1 || true

# The request trace, the window history and the drive states land next to the log unless named
# otherwise.
export ORBU_SIM_TRACE_OUT=${ORBU_SIM_TRACE_OUT:-$work/trace.jsonl}
export ORBU_SIM_UI_OUT=${ORBU_SIM_UI_OUT:-$work/ui.jsonl}
export ORBU_SIM_STATE_OUT=${ORBU_SIM_STATE_OUT:-$work/state.json}
set +e
"$work/orbu-packaged" /s /log=update.log "${args[@]}" 2>"$work/update.err"
code=$?
set -e
echo "----- update.log -----"
if [ -f update.log ]; then cat update.log; else echo "(no log written)"; fi
if [ -s "$work/update.err" ]; then
  echo "----- the tool's error output -----"
  cat "$work/update.err"
fi
if [ -f "$ORBU_SIM_TRACE_OUT" ]; then
  echo "----- request trace: $(wc -l <"$ORBU_SIM_TRACE_OUT") requests in $ORBU_SIM_TRACE_OUT -----"
else
  echo "----- request trace: none written -----"
fi
echo "----- drives: running revision before and after the run ($ORBU_SIM_STATE_OUT) -----"
if [ -f "$work/state-before.json" ] && [ -f "$ORBU_SIM_STATE_OUT" ]; then
  # Drive-level fields stand at six blanks in the state files; a pending image's at eight.
  awk -F'"' '
    FNR == 1 { file++ }
    /^      "id"/ { id = $4; if (file == 2) order[++n] = id }
    /^      "model"/ { model[id] = $4 }
    /^      "pending": [{]/ { in_pending = 1 }
    /^      "power_cycles"/ { in_pending = 0 }
    /^        "revision"/ && in_pending && file == 2 { pending[id] = $4 }
    /^      "revision"/ { if (file == 1) before[id] = $4; else after[id] = $4 }
    END {
      if (n == 0) { print "(no drives)"; exit }
      printf "%-10s %-18s %-10s %-10s %s\n", "drive", "model", "before", "after", "pending"
      for (i = 1; i <= n; i++) {
        id = order[i]
        printf "%-10s %-18s %-10s %-10s %s\n", id, model[id], before[id], after[id],
               (id in pending) ? pending[id] : "-"
      }
    }' "$work/state-before.json" "$ORBU_SIM_STATE_OUT"
else
  echo "(no drive states written)"
fi
echo "----- exit code: $code -----"
exit "$code"

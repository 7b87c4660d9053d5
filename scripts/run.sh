#!/usr/bin/env bash
# Installs what is missing, builds, packages the sample update package into a copy of the tool
# and runs it silently on the default simulated machine; then shows the log and the exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/deps.sh"
ORBU_SKIP_WINDOWS=${ORBU_SKIP_WINDOWS:-1} bash "$root/scripts/build.sh"

work="$root/build/run"
rm -rf "$work" && mkdir -p "$work"
tool="$root/build/native/orbu/orbu"
if [ -x "$root/build/native/tools/orbu_pack" ] && [ -f "$root/samples/monb-sample.json" ]; then
  "$root/build/native/tools/orbu_pack" "$root/samples/monb-sample.json" "$tool" "$work/orbu-packaged"
  chmod +x "$work/orbu-packaged"
  tool="$work/orbu-packaged"
fi
cd "$work"
# The drives as they are before the run: the plain tool without options updates nothing (no
# package, no target) and writes the machine's drive states at exit.
ORBU_SIM_STATE_OUT="$work/state-before.json" ORBU_SIM_TRACE_OUT= ORBU_SIM_UI_OUT= \
  "$root/build/native/orbu/orbu" /s /log="$work/state-before.log" >/dev/null 2>&1 || true
# The request trace, the window history and the drive states land next to the log unless named
# otherwise.
export ORBU_SIM_TRACE_OUT=${ORBU_SIM_TRACE_OUT:-$work/trace.jsonl}
export ORBU_SIM_UI_OUT=${ORBU_SIM_UI_OUT:-$work/ui.jsonl}
export ORBU_SIM_STATE_OUT=${ORBU_SIM_STATE_OUT:-$work/state.json}
set +e
"$tool" /s /log=update.log "$@"
code=$?
set -e
echo "----- update.log -----"
cat update.log 2>/dev/null || echo "(no log written)"
echo "----- request trace: $(wc -l < "$ORBU_SIM_TRACE_OUT" 2>/dev/null || echo 0) requests in $ORBU_SIM_TRACE_OUT -----"
echo "----- drives: running revision before and after the run ($ORBU_SIM_STATE_OUT) -----"
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
    printf "%-10s %-18s %-10s %-10s %s\n", "drive", "model", "before", "after", "pending"
    for (i = 1; i <= n; i++) {
      id = order[i]
      printf "%-10s %-18s %-10s %-10s %s\n", id, model[id], before[id], after[id],
             (id in pending) ? pending[id] : "-"
    }
  }' "$work/state-before.json" "$ORBU_SIM_STATE_OUT" 2>/dev/null || echo "(no drive states written)"
echo "----- exit code: $code -----"

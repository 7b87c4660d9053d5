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
# The request trace and the window history land next to the log unless named otherwise.
export ORBU_SIM_TRACE_OUT=${ORBU_SIM_TRACE_OUT:-$work/trace.jsonl}
export ORBU_SIM_UI_OUT=${ORBU_SIM_UI_OUT:-$work/ui.jsonl}
set +e
"$tool" /s /log=update.log "$@"
code=$?
set -e
echo "----- update.log -----"
cat update.log 2>/dev/null || echo "(no log written)"
echo "----- request trace: $(wc -l < "$ORBU_SIM_TRACE_OUT" 2>/dev/null || echo 0) requests in $ORBU_SIM_TRACE_OUT -----"
echo "----- exit code: $code -----"

#!/usr/bin/env bash
# Installs what is missing, builds the tool and its packer, packages an update package (the sample,
# or the one ORBU_PACKAGE names) into a copy of the tool and runs it silently on the default
# simulated machine (or the one ORBU_SIM_MACHINE names); then shows the log, the drives before and
# after, and the exit code, and exits with the tool's exit code. `bash scripts/run.sh --help` tells
# the whole story.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$(pwd)

usage() {
  cat <<'EOF'
usage: bash scripts/run.sh [-h | --help] [TOOL OPTION ...]

Installs what the build lacks (apt-get), builds the native tool and its packer (orbu and
orbu_pack, nothing else) into build/native, packs an update package into a copy of the tool and
runs that copy silently on a simulated machine, in the run folder:

    orbu-packaged /s /log=update.log [TOOL OPTION ...]

It then shows the log the run wrote, the number of requests in the trace, each drive's running
revision before and after the run (and an image left pending), and the tool's exit code, and
exits with that code. The first run builds for a few minutes, with as many jobs at once as
CMAKE_BUILD_PARALLEL_LEVEL says (default: one per core); later runs rebuild only what changed,
and say that they build only when there is something to build.

Tool options begin with "/" and go to the tool as given; options are case-sensitive and unknown
ones are ignored (the table is in docs/running.md). For example:
    /debug        log every record the scan finds and what it keeps and removes
    /log=FILE     write the log to FILE instead of update.log (a later option replaces an earlier)
An argument that does not begin with "/" is refused before anything runs: the tool would take it
as part of the option before it.

Variables (relative paths are read from the folder the command is started in):
    ORBU_PACKAGE        the package description to pack (default samples/monb-sample.json)
    ORBU_SIM_MACHINE    the machine description (default: the built-in default machine)
    ORBU_SIM_TRACE_OUT  the request trace (default RUN/trace.jsonl)
    ORBU_SIM_UI_OUT     the window's event history (default RUN/ui.jsonl)
    ORBU_SIM_STATE_OUT  the drive states at exit (default RUN/state.json)
                        (an earlier run's trace, window history and drive states are removed
                        before the run, so a run that writes none leaves none)
    ORBU_RUN_DIR        the run folder RUN (default build/run of the repository, wherever the
                        command is started); the files below are replaced,
                        nothing else in it is touched
    ORBU_RUN_BUILD_DIR  a native build tree that already holds orbu and orbu_pack: nothing is
                        installed or built, its programs are used as they are
    CMAKE_BUILD_PARALLEL_LEVEL
                        the number of build jobs at once (default: the number of cores)

In the run folder: orbu-packaged (the packaged tool), update.log, update.err (the tool's error
output), trace.jsonl, ui.jsonl, state.json, and state-before.json with state-before.log (the
drives before the run).

Exit code: the tool's (docs/running.md); 64 when nothing was run: the run command refused an
argument, the package, the run folder (one that cannot be made or written) or the build folder,
or installing or building failed.
EOF
}

refuse() {
  echo "run.sh: $*" >&2
  echo "run.sh: nothing was run (bash scripts/run.sh --help for the usage)" >&2
  exit 64
}

# A relative path, as the user meant it: from the folder the command was started in.
absolute() {
  case "$1" in
    "" | /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$here" "$1" ;;
  esac
}

# The tool splits its command line at every " /": a word that does not begin with "/" would become
# part of the option before it (after "/log=update.log" it renames the log), so it is refused.
args=()
log=""
log_given=0
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      usage
      exit 0
      ;;
    /D:?*) args+=("/D:$(absolute "${arg#/D:}")") ;;
    /log=*)
      # The tool drops one leading and one trailing double quote of the path.
      log=${arg#/log=}
      log=${log#\"}
      log=${log%\"}
      log=$(absolute "$log")
      log_given=1
      args+=("/log=$log")
      ;;
    /*) args+=("$arg") ;;
    *) refuse "\"$arg\" does not begin with \"/\": the tool would take it as part of the option" \
      "before it. Tool options begin with \"/\" (/debug, /log=FILE)." ;;
  esac
done

for var in ORBU_SIM_MACHINE ORBU_SIM_TRACE_OUT ORBU_SIM_UI_OUT ORBU_SIM_STATE_OUT ORBU_PACKAGE \
  ORBU_RUN_DIR ORBU_RUN_BUILD_DIR; do
  if [ -n "${!var:-}" ]; then export "$var=$(absolute "${!var}")"; fi
done
package=${ORBU_PACKAGE:-$root/samples/monb-sample.json}
if [ ! -f "$package" ]; then refuse "ORBU_PACKAGE: no file $package"; fi

announce_build() {
  echo "run.sh: building the tool and its packer (orbu, orbu_pack) into $build, $jobs jobs at" \
    "once (CMAKE_BUILD_PARALLEL_LEVEL); the first build takes a few minutes"
}

# The programs the run needs, from the build tree named or just built.
check_programs() {
  for program in orbu/orbu tools/orbu_pack; do
    if [ ! -x "$build/$program" ]; then
      refuse "$1: $build has no $program (build it: cmake --build $build --target orbu orbu_pack)"
    fi
  done
}

if [ -n "${ORBU_RUN_BUILD_DIR:-}" ]; then
  build=$ORBU_RUN_BUILD_DIR
  check_programs ORBU_RUN_BUILD_DIR
else
  build=$root/build/native
  # The job count scripts/build.sh uses.
  jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
  if ! [[ $jobs =~ ^[1-9][0-9]{0,3}$ ]]; then
    refuse "CMAKE_BUILD_PARALLEL_LEVEL: \"$jobs\" is not a number of build jobs (1 or more)"
  fi
fi

# The run folder, made and checked before anything is built: the package is packed into it.
work=${ORBU_RUN_DIR:-$root/build/run}
if ! reason=$(mkdir -p -- "$work" 2>&1); then
  refuse "cannot make the run folder $work: ${reason##*: }"
fi
if [ ! -w "$work" ] || [ ! -x "$work" ]; then
  refuse "cannot write in the run folder $work"
fi

if [ -z "${ORBU_RUN_BUILD_DIR:-}" ]; then
  bash "$root/scripts/deps.sh" --run || refuse "installing what the build needs failed"
  # The build is announced only when it has work: before the first configure of the tree, or
  # with the first step of the build's output that is more than the check of the source lists
  # (a build with nothing to do prints that check and "ninja: no work to do.", which are dropped).
  announced=0
  if [ ! -f "$build/build.ninja" ]; then announced=1; announce_build; fi
  ORBU_BUILD_TARGETS="orbu orbu_pack" bash "$root/scripts/build.sh" | {
    held=()
    while IFS= read -r line; do
      case "$line" in
        *"Re-checking globbed directories..."*) held+=("$line") ;;
        "ninja: no work to do.") ;;
        *)
          if [ "$announced" = 0 ]; then announced=1; announce_build; fi
          if [ ${#held[@]} -gt 0 ]; then printf '%s\n' "${held[@]}"; held=(); fi
          printf '%s\n' "$line"
          ;;
      esac
    done
  } || refuse "the build failed"
  check_programs "the build"
fi

for file in orbu-packaged orbu-packaged.partial update.log update.err trace.jsonl ui.jsonl \
  state.json state-before.json state-before.log; do
  rm -f -- "$work/$file" 2>/dev/null || refuse "cannot remove $work/$file, left by an earlier run"
done
tool="$build/orbu/orbu"
if ! "$build/tools/orbu_pack" "$package" "$tool" "$work/orbu-packaged"; then
  refuse "orbu_pack refused the package $package"
fi
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
# An output an earlier run left where this one writes would pass for this run's when this one
# writes none (a machine that cannot be loaded writes no drive states).
for out in "$ORBU_SIM_TRACE_OUT" "$ORBU_SIM_UI_OUT" "$ORBU_SIM_STATE_OUT"; do
  if [ -f "$out" ] || [ -L "$out" ]; then
    rm -f -- "$out" 2>/dev/null || refuse "cannot remove $out, left by an earlier run"
  fi
done
# The log the run writes: the last "/log=" wins. The tool appends to it, so the page shows only
# what this run added.
if [ "$log_given" = 0 ]; then log=$work/update.log; fi
log_before=0
if [ -f "$log" ]; then log_before=$(wc -c <"$log"); fi
set +e
"$work/orbu-packaged" /s /log=update.log "${args[@]}" 2>"$work/update.err"
code=$?
set -e
echo "----- log: $log -----"
if [ -f "$log" ] && [ "$(wc -c <"$log")" -gt "$log_before" ]; then
  tail -c +"$((log_before + 1))" "$log"
else
  echo "(no log written)"
fi
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
      # Each column as wide as its longest entry, so that long models keep the rows in line.
      wd = 10; wm = 18; wr = 10
      for (i = 1; i <= n; i++) {
        id = order[i]
        if (length(id) >= wd) wd = length(id) + 1
        if (length(model[id]) >= wm) wm = length(model[id]) + 1
        if (length(before[id]) >= wr) wr = length(before[id]) + 1
        if (length(after[id]) >= wr) wr = length(after[id]) + 1
      }
      row = "%-" wd "s %-" wm "s %-" wr "s %-" wr "s %s\n"
      printf row, "drive", "model", "before", "after", "pending"
      for (i = 1; i <= n; i++) {
        id = order[i]
        printf row, id, model[id], before[id], after[id], (id in pending) ? pending[id] : "-"
      }
    }' "$work/state-before.json" "$ORBU_SIM_STATE_OUT"
else
  echo "(no drive states written)"
fi
echo "----- exit code: $code -----"
exit "$code"

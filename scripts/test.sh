#!/usr/bin/env bash
# Installs what is missing, builds both targets and the fuzz targets, runs every fuzz target for
# a bounded time on its corpus, then runs the whole test suite (native tests and the Wine smoke
# tests of orbu.exe), and the native tests once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan; ORBU_SKIP_ASAN=1 leaves that leg out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh"

# Fuzz targets: instrumented clang build, each run for ORBU_FUZZ_SECONDS on a scratch copy of
# its checked-in corpus (the corpus in the tree is never written).
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORBU_BUILD_FUZZERS=ON >/dev/null
cmake --build "$root/build/fuzz" -j "$jobs"
seconds=${ORBU_FUZZ_SECONDS:-60}
pids=()
names=()
for fuzzer in "$root"/build/fuzz/fuzz/*_fuzz; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  work="$root/build/fuzz/run-$name"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
  seed="$root/fuzz/corpus/${name%_fuzz}"
  if [ -d "$seed" ]; then cp -r "$seed"/. "$work/corpus/"; fi
  echo "fuzzing $name for ${seconds}s"
  ( cd "$work" && "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log.txt" 2>&1 ) &
  pids+=($!)
  names+=("$name")
done

# While the fuzzers run: the sanitizer build of the native tests (no benchmarks, no Wine tests).
asan="$root/build/asan"
if [ "${ORBU_SKIP_ASAN:-0}" != 1 ]; then
  # -O1 with line tables only: the sanitizers' usual level, and about half the build time of the
  # full debug information, while every report still names its files and lines.
  cmake -S "$root" -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBU_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DORBU_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$asan" -j "$jobs"
fi

fuzz_failed=0
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "fuzz target ${names[$i]} found a fault:"
    tail -n 40 "$root/build/fuzz/run-${names[$i]}/log.txt"
    fuzz_failed=1
  else
    echo "fuzz target ${names[$i]}: $(grep -E '^Done|^#[0-9]+.*DONE' "$root/build/fuzz/run-${names[$i]}/log.txt" | tail -n 1)"
  fi
done
if [ "$fuzz_failed" != 0 ]; then exit 1; fi

ctest --test-dir "$root/build/native" -j "$jobs" --timeout 120 --output-on-failure

# Sanitizer leg. Reports go to files, so that one met in a child process or a tool a test runs
# is not lost either: any report fails the run, even when every test passed.
if [ "${ORBU_SKIP_ASAN:-0}" != 1 ]; then
  reports="$asan/sanitizer-reports"
  rm -rf "$reports" && mkdir -p "$reports"
  asan_failed=0
  ASAN_OPTIONS="log_path=$reports/asan:exitcode=99:detect_leaks=1:strict_string_checks=1" \
  UBSAN_OPTIONS="log_path=$reports/ubsan:exitcode=99:print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$asan" -j "$jobs" --timeout 120 --output-on-failure || asan_failed=1
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:"
    for report in "$reports"/*; do
      echo "----- $(basename "$report")"
      head -n 60 "$report"
    done
    asan_failed=1
  fi
  if [ "$asan_failed" != 0 ]; then exit 1; fi
fi

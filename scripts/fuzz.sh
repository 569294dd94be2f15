#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for a bounded time on its seed corpus in fuzz/corpus/<target>. A crash, leak,
# time-out or sanitizer report fails the run; the input that caused it is kept in the run
# directory (printed at the end) so it can become a regression test.
#
#   scripts/fuzz.sh [--seconds N] [--only TARGET] [--jobs N]
# Defaults: 20 seconds per target, every target. Build directory: build-fuzz (or $NIMBO_FUZZ_BUILD_DIR).
# Corpora grown by a run stay in the run directory; fuzz/corpus holds only the small seeds.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
only=""
jobs=$(nproc)
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --only) only=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    *) echo "usage: $0 [--seconds N] [--only TARGET] [--jobs N]" >&2; exit 2 ;;
  esac
  shift
done

src=$PWD
build=${NIMBO_FUZZ_BUILD_DIR:-build-fuzz}
targets=(request json ini poster geofence keyvalue supplicant)
[ -n "$only" ] && targets=("$only")

t0=$SECONDS
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNIMBO_SANITIZE=address -DNIMBO_FUZZ=ON -DNIMBO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target fuzz_all
echo "== fuzz targets built in $((SECONDS - t0)) s"

# A short run directory: the supplicant target binds Unix sockets under it (108-byte limit).
run=$(mktemp -d /tmp/nimbo-fuzz.XXXXXX)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
total=0
printf '%-12s %10s %8s %10s %s\n' target executions seconds new-units result
for t in "${targets[@]}"; do
  exe=$PWD/$build/fuzz/fuzz_$t
  mkdir -p "$run/$t/corpus" "$run/$t/artifacts" "$run/$t/tmp"
  rc=0
  # -timeout: one input taking 10 s is a hang; -rss_limit_mb: runaway allocation is a fault.
  ( cd "$run/$t" && TMPDIR="$run/$t/tmp" "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$run/$t/artifacts/" \
      "$run/$t/corpus" "$src/fuzz/corpus/$t" ) >"$run/$t/log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/$t/log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$run/$t/log" | tail -1)
  units=$(ls "$run/$t/corpus" | wc -l)
  result=ok
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$run/$t/artifacts")" ]; then
    result="FAILED (rc $rc, see $run/$t/log)"
    status=1
    tail -60 "$run/$t/log" >&2
  fi
  total=$((total + ${execs:-0}))
  printf '%-12s %10s %8s %10s %s\n' "$t" "${execs:-0}" "${secs:-?}" "$units" "$result"
  rm -rf "$run/$t/tmp"
done
echo "== executions in total: $total; run directory: $run"
[ $status -eq 0 ] && [ "${NIMBO_FUZZ_KEEP:-0}" != 1 ] && rm -rf "$run"
exit $status

#!/usr/bin/env bash
# Sanitizer runs: the whole test suite (unit and end-to-end) under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the concurrency-heavy tests (dispatcher, workers, download
# driver, signals and timers, session) under ThreadSanitizer. Every finding fails the run:
# the sanitizer logs of every process (the tests and the programs they start) go to one
# directory per build, and any log there is a failure even when the test itself passed.
#
#   scripts/sanitize.sh [--asan-only|--tsan-only] [--jobs N]
# Build directories: build-sanitize-asan and build-sanitize-tsan (or $NIMBO_SANITIZE_PREFIX-*).
set -euo pipefail
cd "$(dirname "$0")/.."

run_asan=1
run_tsan=1
jobs=$(nproc)
while [ $# -gt 0 ]; do
  case "$1" in
    --asan-only) run_tsan=0 ;;
    --tsan-only) run_asan=0 ;;
    --jobs) jobs=$2; shift ;;
    *) echo "usage: $0 [--asan-only|--tsan-only] [--jobs N]" >&2; exit 2 ;;
  esac
  shift
done

prefix=${NIMBO_SANITIZE_PREFIX:-build-sanitize}
supp_dir=$PWD/tests/sanitizer-suppressions
# The concurrency-heavy tests: dispatcher, worker threads, download driver, signals and the
# device-lock timer, the shell runner's reaper, the task ledger, and the session, the service
# and the back-to-back task chain end to end.
TSAN_TESTS='^(Dispatch|Workers|Driver|Reaper|DeviceLock|UpdateSignal|UpdateThrottle|RunCommands|Transfers|TaskProgress|LedgerMachine)\.|^e2e_install$|^e2e_test_(session|service_core|tasks_resume|tasks_chain)$'

status=0

# $1 build dir, $2 sanitizer, $3 log dir, then ctest arguments.
build_and_test() {
  local dir=$1 kind=$2 logs=$3
  shift 3
  local t0=$SECONDS
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DNIMBO_SANITIZE="$kind" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $kind: built in $((SECONDS - t0)) s"
  rm -rf "$logs"
  mkdir -p "$logs"
  t0=$SECONDS
  local rc=0
  # Unit tests run once; the end-to-end tests (label e2e) start real processes on a shared
  # machine: one that fails is run once more before it counts.
  # ctest takes one label exclusion: $NIMBO_SANITIZE_SKIP_LABELS joins the e2e one.
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" -LE "e2e${NIMBO_SANITIZE_SKIP_LABELS:+|$NIMBO_SANITIZE_SKIP_LABELS}" "$@" || rc=$?
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" -L e2e --repeat until-pass:2 "$@" || rc=$?
  echo "== $kind: tests ran in $((SECONDS - t0)) s"
  if [ $rc -ne 0 ]; then
    echo "== $kind: test failures" >&2
    status=1
  fi
  if [ -n "$(ls -A "$logs")" ]; then
    echo "== $kind: sanitizer reports:" >&2
    for f in "$logs"/*; do echo "--- $f" >&2; cat "$f" >&2; done
    status=1
  else
    echo "== $kind: no sanitizer report"
  fi
}

if [ $run_asan -eq 1 ]; then
  logs=$PWD/$prefix-asan/sanitizer-logs
  ASAN_OPTIONS="log_path=$logs/asan:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1" \
  LSAN_OPTIONS="suppressions=$supp_dir/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1:halt_on_error=1" \
  NIMBO_SANITIZE_SKIP_LABELS=soak \
    build_and_test "$prefix-asan" address "$logs"  # ASan's quarantine makes memory grow by design
fi

if [ $run_tsan -eq 1 ]; then
  logs=$PWD/$prefix-tsan/sanitizer-logs
  TSAN_OPTIONS="log_path=$logs/tsan:second_deadlock_stack=1:suppressions=$supp_dir/tsan.supp" \
    build_and_test "$prefix-tsan" thread "$logs" -R "$TSAN_TESTS"
fi

exit $status

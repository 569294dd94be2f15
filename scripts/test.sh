#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test (unit and end-to-end).
# The end-to-end tests start their own mosquitto brokers and simulators on free ports.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR=${NIMBO_BUILD_DIR:-build}
status=0
# Unit tests and checks run once: a failure there is a fault, never retried.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" -LE e2e "$@" || status=1
# The end-to-end tests (label e2e) run real brokers, simulators and services on a shared
# machine: one that fails is run once more, and only a second failure fails the run (ctest
# prints both).
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" -L e2e --repeat until-pass:2 "$@" || status=1
# A test that passed only on its retry has found a race: each one is named in the summary,
# "flaky: NAME", as a fault to find (the retry only keeps the run from failing on it).
flaky=$(python3 scripts/flaky_tests.py "$BUILD_DIR/Testing/Temporary/LastTest.log" || true)
echo
echo "======== end-to-end summary"
if [ -n "$flaky" ]; then
  echo "$flaky"
  echo "$(grep -c '^flaky: ' <<<"$flaky") test(s) passed only on their retry: each is a race to find, not noise"
else
  echo "no test needed its retry"
fi
exit $status

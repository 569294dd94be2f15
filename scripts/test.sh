#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test (unit and end-to-end).
# The end-to-end tests start their own mosquitto brokers and simulators on free ports.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR=${NIMBO_BUILD_DIR:-build}
# The end-to-end tests run real brokers, simulators and services on a shared machine: a test
# that fails is run once more, and only a second failure fails the run (ctest prints both).
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" --repeat until-pass:2 "$@"

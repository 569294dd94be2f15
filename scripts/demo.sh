#!/usr/bin/env bash
# Installs, builds and runs the agent on a simulated terminal with a local mosquitto broker
# and the management-server simulator, shows what it does, then stops everything.
# Options are passed to tools/demo.py (--keep keeps everything up; --seconds N).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR=${NIMBO_BUILD_DIR:-build}
cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/stage" >/dev/null
export NIMBO_SOURCE_DIR=$PWD NIMBO_BINARY_DIR=$PWD/$BUILD_DIR NIMBO_STAGE_DIR=$PWD/$BUILD_DIR/stage
exec /usr/bin/python3 tools/demo.py "$@"

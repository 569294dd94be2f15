#!/usr/bin/env bash
# Soak run: builds, installs into <build>/stage and runs tools/soak.py against it (mixed
# commands every 100 ms, the broker bounced twice, memory/descriptors/threads sampled).
#   bash scripts/soak.sh [--minutes N] [other tools/soak.py options]
# NIMBO_BUILD_DIR chooses the build directory (default build); NIMBO_SOAK_NO_BUILD=1 uses it as is.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${NIMBO_BUILD_DIR:-build}
if [ "${NIMBO_SOAK_NO_BUILD:-0}" != 1 ]; then
  bash scripts/build.sh
fi
cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/stage" >/dev/null
export NIMBO_BINARY_DIR="$PWD/$BUILD_DIR" NIMBO_STAGE_DIR="$PWD/$BUILD_DIR/stage"
export NIMBO_ALIBANK="$PWD/$BUILD_DIR/tools/alibankApp"
exec /usr/bin/python3 tools/soak.py --stage "$NIMBO_STAGE_DIR" "$@"

#!/usr/bin/env bash
# Runs the end-to-end tests that emulation allows against the mipsel test build: the service
# and the payment-application stand-in run under qemu-mipsel -L <sysroot>; the broker, the
# management simulator, the terminal builder and the tests themselves are the host's.
#
# The stage prefix gets, beside the mipsel program (renamed nimboservice.mipsel), a wrapper
# of the original name that starts qemu through a symbolic link named like the program, so
# the process name stays "nimboservice" (the service and the stand-in find each other by
# name); the build's stand-in tools/alibankApp is such a wrapper already. Both sides run under qemu because qemu user mode shifts real-time
# signal numbers between guest and host: the stand-in and the service must share a numbering.
#
# Needs the test build (scripts/mips-build.sh, NIMBO_EMULATED_SIGNALS=ON). Arguments: test
# name patterns for unittest -k (default: the reliable subset below).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=$SRC/${NIMBO_MIPS_BUILD_DIR:-build-mips}
SYSROOT=${NIMBO_MIPS_SYSROOT:-$(bash scripts/mips-sysroot.sh | tail -n 1)}
QEMU=$(command -v qemu-mipsel)
STAGE=$BUILD/stage-qemu
# The installed program finds its libraries by $ORIGIN/../lib and then in the sysroot (-L):
# the terminal's libcurl the build linked (scripts/mips-curl.sh) comes first by name.
CURL_PREFIX=$(sed -n 's/^NIMBO_MIPS_CURL:PATH=//p' "$BUILD/CMakeCache.txt")
QEMU_ENV=
[ -n "$CURL_PREFIX" ] && QEMU_ENV="-E LD_LIBRARY_PATH=$CURL_PREFIX/usr/lib/mipsel-linux-gnu"

if ! grep -q '^NIMBO_EMULATED_SIGNALS:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  echo "mips-e2e: $BUILD is not a test build with NIMBO_EMULATED_SIGNALS=ON" >&2
  exit 2
fi

# wrap DIR NAME: DIR/NAME (mipsel) becomes DIR/NAME.mipsel behind a host wrapper DIR/NAME.
wrap() {
  local dir=$1 name=$2
  mv "$dir/$name" "$dir/$name.mipsel"
  mkdir -p "$dir/.qemu"
  ln -sfn "$QEMU" "$dir/.qemu/$name"
  cat > "$dir/$name" <<EOF
#!/bin/sh
# $name for mipsel under qemu user mode (written by scripts/mips-e2e.sh).
here=\$(dirname "\$(readlink -f "\$0")")
exec "\$here/.qemu/$name" -L "$SYSROOT" $QEMU_ENV "\$here/$name.mipsel" "\$@"
EOF
  chmod +x "$dir/$name"
}

rm -rf "$STAGE"
cmake --install "$BUILD" --prefix "$STAGE" >/dev/null
wrap "$STAGE/bin" nimboservice
# The test build's stand-in is already such a wrapper (tests/emulated_tools.cmake).
if ! head -c 2 "$BUILD/tools/alibankApp" | grep -q '#!'; then
  echo "mips-e2e: $BUILD/tools/alibankApp is not the emulator wrapper; reconfigure the build" >&2
  exit 2
fi

# The subset that is reliable under emulation (see docs/mips.md).
patterns=("$@")
if [ ${#patterns[@]} -eq 0 ]; then
  patterns=(
    ServiceCoreTest.test_start_logs_identity_and_takes_the_lock
    ServiceCoreTest.test_bootstrap_refused_is_retried_every_30_seconds
    ServiceCoreTest.test_unreachable_server_is_retried
    ServiceCoreTest.test_second_instance_exits_with_status_1
    ServiceCoreTest.test_crash_signal_dumps_the_stack_and_stops
    ServiceCoreTest.test_cache_is_emptied_and_data_kept_across_restarts
    ServiceCoreTest.test_default_server_url_without_ini_key
    ServiceCoreTest.test_server_url_precedence
    LockProtocolTest
    AlreadyLockedTest
    NoRecordTest
    ParamsTest
    OfflineTest
    ServerSwitchTest.test_invalid_urls_change_nothing
    GeofenceTest.test_silent_fence_locks_and_removal_clears_anyway
  )
fi
k_args=()
for p in "${patterns[@]}"; do k_args+=(-k "$p"); done

cd "$SRC/tests/e2e"
NIMBO_SOURCE_DIR=$SRC NIMBO_BINARY_DIR=$BUILD NIMBO_STAGE_DIR=$STAGE \
NIMBO_ALIBANK=$BUILD/tools/alibankApp PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m unittest -v "${k_args[@]}" ${NIMBO_E2E_MODULES:-$(cd "$SRC/tests/e2e" && ls test_*.py | sed 's/\.py$//' | paste -sd ' ' -)}

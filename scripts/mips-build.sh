#!/usr/bin/env bash
# Cross-builds for the terminal (mipsel-linux-gnu) and runs the unit tests under qemu user mode.
#
#   1. prepares the sysroot and the cross tools (scripts/mips-sysroot.sh; fast when ready) and
#      the terminal's libcurl (scripts/mips-curl.sh: HTTP/HTTPS, OpenSSL, zlib; cached),
#   2. the test build ($NIMBO_MIPS_BUILD_DIR, default build-mips): program, library and unit
#      tests, with the payment-application signals mapped into the emulated range
#      (NIMBO_EMULATED_SIGNALS=ON: qemu user mode cannot deliver signals above 62), unit tests
#      run by ctest through qemu-mipsel -L <sysroot> (NIMBO_QEMU_USER=ON: that prefix also
#      takes "/" itself, so folder walks start from the real root, /proc/self/root),
#   3. the release build ($NIMBO_MIPS_RELEASE_DIR, default build-mips-release): program and
#      library as they ship, payment-application signals 89..99, no tests.
#
# Options: --no-tests (build only), --no-release (skip step 3), --e2e (also run the end-to-end
# subset under qemu: scripts/mips-e2e.sh). Extra arguments after -- go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=1 release=1 e2e=0
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) run_tests=0 ;;
    --no-release) release=0 ;;
    --e2e) e2e=1 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "usage: $0 [--no-tests] [--no-release] [--e2e] [-- ctest args]" >&2; exit 2 ;;
  esac
  shift
done

SYSROOT=$(bash scripts/mips-sysroot.sh | tail -n 1)
export NIMBO_MIPS_SYSROOT=$SYSROOT
# The terminal's libcurl (HTTP/HTTPS, OpenSSL, zlib; built once and cached): both builds link it.
CURL=$(bash scripts/mips-curl.sh | tail -n 1)
TOOLCHAIN=$PWD/cmake/toolchain-mipsel-linux-gnu.cmake
TEST_DIR=${NIMBO_MIPS_BUILD_DIR:-build-mips}
RELEASE_DIR=${NIMBO_MIPS_RELEASE_DIR:-build-mips-release}
JOBS=${NIMBO_JOBS:-$(nproc)}

echo "== mipsel test build ($TEST_DIR, emulated signals)"
cmake -S . -B "$TEST_DIR" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DNIMBO_MIPS_SYSROOT="$SYSROOT" \
  -DNIMBO_MIPS_CURL="$CURL" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_EMULATED_SIGNALS=ON -DNIMBO_QEMU_USER=ON -DNIMBO_BUILD_TESTS=ON >/dev/null
cmake --build "$TEST_DIR" -j"$JOBS"

if [ "$release" = 1 ]; then
  echo "== mipsel release build ($RELEASE_DIR, signals 89..99)"
  cmake -S . -B "$RELEASE_DIR" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DNIMBO_MIPS_SYSROOT="$SYSROOT" \
    -DNIMBO_MIPS_CURL="$CURL" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_EMULATED_SIGNALS=OFF -DNIMBO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$RELEASE_DIR" -j"$JOBS" --target nimboservice hwlink easy_logger
  # What ships must use the native numbers 89..99, never the emulated mapping.
  if ! grep -q '^NIMBO_EMULATED_SIGNALS:BOOL=OFF' "$RELEASE_DIR/CMakeCache.txt"; then
    echo "mips-build: $RELEASE_DIR maps the payment-application signals: not a release build" >&2
    exit 1
  fi
fi

if [ "$run_tests" = 1 ]; then
  echo "== unit tests under qemu-mipsel"
  # Unit tests only (a cross build defines no end-to-end test): run once, never retried.
  ctest --test-dir "$TEST_DIR" --output-on-failure -j"$JOBS" -LE e2e "${ctest_args[@]}"
fi

if [ "$e2e" = 1 ]; then
  bash scripts/mips-e2e.sh
fi

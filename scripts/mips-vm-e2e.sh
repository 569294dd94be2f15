#!/usr/bin/env bash
# End-to-end tests on the MIPS test machine: the release build (signals 89..99), the
# payment-application stand-in and the device root run in a mipsel guest under qemu system
# emulation (scripts/mips-vm-image.sh prepares it); the broker, the management simulator and
# the tests run on the host and drive the guest over the network and its control channel.
# Arguments: test modules or names for unittest (default: test_guest).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
VM_DIR=$(bash scripts/mips-vm-image.sh | tail -n 1)
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(test_guest)
cd "$SRC/tests/e2e"
NIMBO_GUEST=1 NIMBO_VM_DIR=$VM_DIR NIMBO_SOURCE_DIR=$SRC PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m unittest -v "${tests[@]}"

#!/usr/bin/env bash
# Boots the MIPS test machine (prepared by scripts/mips-vm-image.sh) and says when it is up:
# prints the forwarded port of its command agent and how to run commands in it; runs until
# interrupted. Options: --rtc ISO-TIME (the board's clock, e.g. 2040-01-01T00:00:00),
# --disk FILE (boot that disk image instead of a fresh copy of the prepared one), --keep-disk
# (the fresh copy and the console log stay when the machine ends; the path is printed).
set -euo pipefail
cd "$(dirname "$0")/.."
VM_DIR=$(bash scripts/mips-vm-image.sh | tail -n 1)
NIMBO_VM_DIR=$VM_DIR exec /usr/bin/python3 tests/e2e/guest.py run "$@"

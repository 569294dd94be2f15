#!/usr/bin/env bash
# The terminal's own figures on the MIPS test machine (docs/performance.md): start-up to the
# first report, idle CPU, RSS/USS, MD5 throughput beside the guest's md5sum, stripped sizes.
# Takes about 3 minutes; NIMBO_FIGURES_IDLE_SECONDS (60) and NIMBO_FIGURES_MD5_MIB (16) change it.
set -euo pipefail
cd "$(dirname "$0")/.."
VM_DIR=$(bash scripts/mips-vm-image.sh | tail -n 1)
NIMBO_VM_DIR=$VM_DIR NIMBO_SOURCE_DIR=$PWD PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 tests/e2e/guest_figures.py

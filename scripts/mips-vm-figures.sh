#!/usr/bin/env bash
# The terminal's own figures on the MIPS test machine (docs/performance.md), for Debian's
# libcurl4 and the terminal's libcurl (scripts/mips-curl.sh) side by side in one run: mapped
# libraries, USS, private dirty, PSS, RSS, heap, the biggest private mappings, start-up to the
# first report, idle CPU, a 16 MiB download with MD5, the private cost while another process
# maps the same libraries; what OpenSSL's start costs step by step (bench/openssl_cost.c);
# stripped sizes. Takes about 5 minutes; NIMBO_FIGURES_IDLE_SECONDS (30) and
# NIMBO_FIGURES_MD5_MIB (16) change it.
set -euo pipefail
cd "$(dirname "$0")/.."
VM_DIR=$(bash scripts/mips-vm-image.sh | tail -n 1)
NIMBO_VM_DIR=$VM_DIR NIMBO_SOURCE_DIR=$PWD PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 tests/e2e/guest_figures.py

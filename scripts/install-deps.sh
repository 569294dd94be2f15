#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need (Debian 12, as root).
# Idempotent: packages already present are left alone.
set -euo pipefail
pkgs=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libssl-dev libcjson-dev libpaho-mqtt-dev zlib1g-dev
  libgtest-dev libgmock-dev
  mosquitto mosquitto-clients
  python3 python3-paho-mqtt python3-jsonschema
  procps iproute2 unzip zip tar gzip openssl
  # bench/run: the baselines (curl; openssl, du, md5sum and mosquitto_* come from the above)
  curl
  # scripts/fuzz.sh: clang with its libFuzzer and sanitizer runtimes
  clang libclang-rt-14-dev
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The distribution starts a system broker on install; the tests start their own on free ports.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now mosquitto >/dev/null 2>&1 || true; fi
exit 0

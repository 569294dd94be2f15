#!/usr/bin/env bash
# Prepares the mipsel (32-bit little-endian MIPS, glibc) sysroot the cross build links against
# and qemu runs from, out of Debian 12's mipsel packages, and installs the cross toolchain and
# qemu user mode on the host.
#
# The host's package state is never touched for the target: a private apt configuration (own
# sources, own empty dpkg status, own lists and archive cache under the cache directory)
# resolves and downloads the target packages, which are then unpacked with dpkg-deb into the
# sysroot, and every absolute symbolic link in it is made relative so it stays inside.
# (Host multiarch is no route: the security archive has no mipsel builds, so apt refuses
# libfoo-dev:mipsel on Debian 12.)
#
# Idempotent and fast when already prepared: a stamp records the package list and mirror.
#   NIMBO_MIPS_CACHE   cache directory (default /var/cache/nimbo-mips); sysroot in $CACHE/sysroot
#   NIMBO_DEBIAN_MIRROR  Debian mirror (default http://deb.debian.org/debian)
# Prints the sysroot path on its last line.
set -euo pipefail

CACHE=${NIMBO_MIPS_CACHE:-/var/cache/nimbo-mips}
MIRROR=${NIMBO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITES=(bookworm bookworm-updates)
SYSROOT=$CACHE/sysroot
APTDIR=$CACHE/apt

# What the program, the library, the logger and the unit tests link against, plus the runtime
# libraries the cross compiler's own target libraries stand for (qemu loads them from here).
TARGET_PKGS=(
  libc6-dev libstdc++6 libgcc-s1 libatomic1
  libcurl4-openssl-dev libssl-dev libcjson-dev libpaho-mqtt-dev zlib1g-dev
  libgtest-dev libgmock-dev
)
HOST_PKGS=(crossbuild-essential-mipsel qemu-user pkg-config cmake)

log() { echo "mips-sysroot: $*" >&2; }

# Host tools: the cross compiler and qemu user mode (idempotent).
. "$(dirname "$0")/mips-apt.sh"
mips_host_pkgs "${HOST_PKGS[@]}"

stamp_text="mirror=$MIRROR suites=${SUITES[*]} pkgs=${TARGET_PKGS[*]} layout=2"
if [ -f "$SYSROOT/.nimbo-sysroot" ] && [ "$(cat "$SYSROOT/.nimbo-sysroot")" = "$stamp_text" ]; then
  log "sysroot up to date: $SYSROOT"
  echo "$SYSROOT"
  exit 0
fi

log "preparing $SYSROOT from $MIRROR (${SUITES[*]}, mipsel)"
mips_apt_init "$APTDIR" "$MIRROR" "${SUITES[@]}"
apt_opts=("${mips_apt_opts[@]}")
apt-get "${apt_opts[@]}" update -qq
# Versions superseded since an earlier run leave the archive cache, so each package is unpacked once.
apt-get "${apt_opts[@]}" autoclean -qq >/dev/null
# With an empty status every dependency is downloaded: the whole closure lands in the cache.
apt-get "${apt_opts[@]}" install -y -qq --download-only "${TARGET_PKGS[@]}" >/dev/null

rm -rf "$SYSROOT.new"
mkdir -p "$SYSROOT.new"
n=0
for deb in "$APTDIR"/cache/archives/*.deb; do
  dpkg-deb -x "$deb" "$SYSROOT.new"
  n=$((n + 1))
done
log "unpacked $n packages"

# Absolute links (e.g. usr/lib/<triple>/libz.so -> /lib/<triple>/libz.so.1) would point into
# the host: make each relative to the sysroot.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  case "$target" in
    /*)
      rel=$(realpath -m --relative-to="$(dirname "$link")" "$SYSROOT.new$target")
      ln -sfn "$rel" "$link"
      ;;
  esac
done < <(find "$SYSROOT.new" -type l -print0)

echo "$stamp_text" > "$SYSROOT.new/.nimbo-sysroot"
rm -rf "$SYSROOT"
mv "$SYSROOT.new" "$SYSROOT"
log "sysroot ready: $SYSROOT"
echo "$SYSROOT"

#!/usr/bin/env bash
# Prints, for the program and the library as they ship (RelWithDebInfo, then stripped), for
# mipsel and for x86-64: the stripped size, the highest GLIBC symbol version required, and
# the NEEDED entries; the program and the library together; the terminal's libcurl
# (scripts/mips-curl.sh) beside Debian's. Builds what is missing: the mipsel release build
# (scripts/mips-build.sh --no-tests) and a host release build without tests.
#   --docs   also writes the table into docs/mips.md (between its size-report markers), so the
#            figures the docs quote are the ones this prints
#   NIMBO_MIPS_RELEASE_DIR  mipsel release build (default build-mips-release)
#   NIMBO_HOST_RELEASE_DIR  x86-64 release build (default build-mips-host)
set -euo pipefail
cd "$(dirname "$0")/.."
write_docs=0
[ "${1:-}" = --docs ] && write_docs=1
MIPS_DIR=${NIMBO_MIPS_RELEASE_DIR:-build-mips-release}
HOST_DIR=${NIMBO_HOST_RELEASE_DIR:-build-mips-host}
JOBS=${NIMBO_JOBS:-$(nproc)}

if [ ! -f "$MIPS_DIR/CMakeCache.txt" ]; then
  NIMBO_MIPS_RELEASE_DIR=$MIPS_DIR bash scripts/mips-build.sh --no-tests >&2
else
  cmake --build "$MIPS_DIR" -j"$JOBS" --target nimboservice hwlink >&2
fi
if [ ! -f "$HOST_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$HOST_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$HOST_DIR" -j"$JOBS" --target nimboservice hwlink >&2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# report ARCH STRIP READELF FILE LABEL
report() {
  local arch=$1 strip=$2 readelf=$3 file=$4 label=$5
  local out=$tmp/$arch-$label
  "$strip" --strip-all -o "$out" "$file"
  local size glibc needed
  size=$(stat -c %s "$out")
  glibc=$("$readelf" -W -V "$out" | grep -o 'GLIBC_[0-9][0-9.]*' | sort -u -V | tail -n 1)
  needed=$("$readelf" -d "$out" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ' -)
  printf '| %s | %s | %s | %s | %s |\n' "$label" "$arch" "$size" "${glibc:-none}" "$needed"
}

{
echo "| file | arch | stripped bytes | highest GLIBC | NEEDED |"
echo "|---|---|---|---|---|"
for arch in mipsel x86-64; do
  if [ "$arch" = mipsel ]; then
    dir=$MIPS_DIR strip=mipsel-linux-gnu-strip readelf=mipsel-linux-gnu-readelf
  else
    dir=$HOST_DIR strip=strip readelf=readelf
  fi
  report "$arch" "$strip" "$readelf" "$dir/service/nimboservice" nimboservice
  report "$arch" "$strip" "$readelf" "$(readlink -f "$dir/hwlink/libhwlink.so.1")" libhwlink.so.1
  report "$arch" "$strip" "$readelf" "$(readlink -f "$dir/logger/libeasy_logger.so")" libeasy_logger.so
  total=$(( $(stat -c %s "$tmp/$arch-nimboservice") + $(stat -c %s "$tmp/$arch-libhwlink.so.1") ))
  printf '| nimboservice + libhwlink.so.1 | %s | %s (%s KiB) | | |\n' "$arch" "$total" "$(( (total + 1023) / 1024 ))"
done
curl=$(grep -s '^NIMBO_MIPS_CURL:PATH=' "$MIPS_DIR/CMakeCache.txt" | cut -d= -f2- || true)
if [ -n "$curl" ]; then
  report mipsel mipsel-linux-gnu-strip mipsel-linux-gnu-readelf \
    "$(readlink -f "$curl/usr/lib/mipsel-linux-gnu/libcurl.so.4")" "libcurl.so.4 (terminal)"
fi
sysroot=$(grep -s '^NIMBO_MIPS_SYSROOT:PATH=' "$MIPS_DIR/CMakeCache.txt" | cut -d= -f2- || true)
if [ -n "$sysroot" ]; then
  report mipsel mipsel-linux-gnu-strip mipsel-linux-gnu-readelf \
    "$(readlink -f "$sysroot/usr/lib/mipsel-linux-gnu/libcurl.so.4")" "libcurl.so.4 (Debian)"
fi
} > "$tmp/table"
cat "$tmp/table"

if [ "$write_docs" = 1 ]; then
  python3 - docs/mips.md "$tmp/table" <<'PY'
import sys
doc, table = sys.argv[1], open(sys.argv[2]).read()
begin, end = "<!-- size-report begin -->\n", "<!-- size-report end -->"
text = open(doc).read()
a, b = text.index(begin) + len(begin), text.index(end)
open(doc, "w").write(text[:a] + table + text[b:])
PY
  echo "size-report: written into docs/mips.md" >&2
fi

#!/usr/bin/env bash
# The terminal's libcurl: built for mipsel from Debian 12's own curl source (the version whose
# headers and library the sysroot holds), with HTTP and HTTPS only, OpenSSL and zlib. What a
# terminal's image ships instead of Debian's libcurl4, which is built with every protocol and
# pulls 26 more libraries into the program (gnutls and p11-kit through librtmp and libldap,
# ssh2, krb5, nghttp2, idn2, psl, brotli, zstd, ...). docs/mips.md: "What the terminal's
# image must provide".
#
# The source comes through the private apt route of the sysroot (scripts/mips-apt.sh, its own
# deb-src lines and state in $CACHE/curl-apt): `apt-get source --download-only curl=<version>`,
# unpacked with dpkg-source (Debian's patches applied). The configure line below is the only
# place the library's options are written.
#
# Cached like the sysroot: a stamp records the version, the configure line and the flags; the
# next run is a no-op. From nothing about 3 minutes on 2 cores (configure under cross
# compilation, then lib/ only: no curl tool, no manual).
#   NIMBO_MIPS_CACHE     cache directory (default /var/cache/nimbo-mips); result in $CACHE/curl
#   NIMBO_DEBIAN_MIRROR  Debian mirror (default http://deb.debian.org/debian)
# Prints the install prefix ($CACHE/curl: usr/include/curl, usr/lib/mipsel-linux-gnu) on its
# last line.
#
#   scripts/mips-curl.sh --host DIR   the same library (same source, same configure line) built
#                                     for this machine into DIR, for measurement only (bench/run
#                                     --lean-curl); prints its library directory. The host build
#                                     itself keeps Debian's libcurl4.
set -euo pipefail
cd "$(dirname "$0")/.."
CACHE=${NIMBO_MIPS_CACHE:-/var/cache/nimbo-mips}
MIRROR=${NIMBO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITES=(bookworm bookworm-updates)
OUT=$CACHE/curl
APTDIR=$CACHE/curl-apt
SRCDIR=$CACHE/curl-src
TRIPLE=mipsel-linux-gnu
JOBS=${NIMBO_JOBS:-$(nproc)}

log() { echo "mips-curl: $*" >&2; }

HOST_OUT=
if [ "${1:-}" = "--host" ]; then
  HOST_OUT=$(realpath -m "${2:?--host DIR}")
  # DIR is replaced: only a new or empty directory, or one this script made before.
  if [ -d "$HOST_OUT" ] && [ -n "$(ls -A "$HOST_OUT")" ] && [ ! -f "$HOST_OUT/.nimbo-host-curl" ]; then
    echo "mips-curl: $HOST_OUT is not empty and not made by this script" >&2; exit 1
  fi
  TRIPLE=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  # The host's libcurl headers: the same release as Debian's libcurl4 the host build links.
  VERSION=$(dpkg-query -W -f='${Version}' libcurl4-openssl-dev)
else
  SYSROOT=$(bash scripts/mips-sysroot.sh | tail -n 1)
  # The version of the sysroot's libcurl headers: the source must be the same release.
  dev_deb=$(ls "$CACHE"/apt/cache/archives/libcurl4-openssl-dev_*_mipsel.deb | tail -n 1)
  VERSION=$(dpkg-deb -f "$dev_deb" Version)
fi

# HTTP and HTTPS over OpenSSL, zlib for Content-Encoding; nothing else. The HTTP features stay
# as in Debian's build (threaded resolver, IPv6, proxies, cookies, HSTS, alt-svc, NTLM, the CA
# bundle and directory), so the program behaves the same, except that HTTPS no longer offers
# HTTP/2 (no nghttp2) and host names are not IDN-converted.
CONFIGURE=(
  --host=$TRIPLE --build="$(dpkg-architecture -qDEB_BUILD_GNU_TYPE)"
  --prefix=/usr --libdir=/usr/lib/$TRIPLE
  --disable-static --enable-shared --enable-versioned-symbols --enable-symbol-hiding
  --disable-dependency-tracking --disable-manual --disable-docs
  --with-openssl --with-zlib
  --with-ca-path=/etc/ssl/certs --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt
  --enable-http --disable-ftp --disable-file --disable-ldap --disable-ldaps --disable-rtsp
  --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smb
  --disable-smtp --disable-gopher --disable-mqtt
  --without-libidn2 --without-libpsl --without-brotli --without-zstd --without-nghttp2
  --without-ngtcp2 --without-nghttp3 --without-quiche --without-msh3 --without-librtmp
  --without-libssh2 --without-libssh --without-wolfssh --without-gssapi --without-libgsasl
  --without-hyper
)
# Debian's hardening flags for the target; 32-bit time_t as Debian's libcurl4 (same ABI).
CFLAGS_T="-g -O2 -fstack-protector-strong -Wformat -Werror=format-security"
CPPFLAGS_T="-D_FORTIFY_SOURCE=2"
LDFLAGS_T="-Wl,-z,relro"

# Changing how the library is made (patches, install steps) bumps layout=.
stamp_text="curl=$VERSION configure=${CONFIGURE[*]} cflags=$CFLAGS_T $CPPFLAGS_T $LDFLAGS_T layout=1"
if [ -n "$HOST_OUT" ]; then
  OUT=$HOST_OUT
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  TOOLS=
  BUILD_ENV=(CC=gcc)
  CONFIGURE=("${CONFIGURE[@]:2}")  # a native build: no --host/--build
else
  WORK=$CACHE/curl-work
  TOOLS=$TRIPLE-
  BUILD_ENV=(PKG_CONFIG=pkg-config PKG_CONFIG_PATH=
    PKG_CONFIG_LIBDIR="$SYSROOT/usr/lib/$TRIPLE/pkgconfig:$SYSROOT/usr/share/pkgconfig"
    PKG_CONFIG_SYSROOT_DIR="$SYSROOT" CC="$TRIPLE-gcc --sysroot=$SYSROOT")
fi
if [ -z "$HOST_OUT" ] && [ -f "$OUT/.nimbo-curl" ] && [ "$(cat "$OUT/.nimbo-curl")" = "$stamp_text" ]; then
  log "libcurl $VERSION (HTTP/HTTPS, OpenSSL, zlib) up to date: $OUT"
  echo "$OUT"
  exit 0
fi

# 1. The source, through the private apt route (deb-src of the same suites).
upstream=${VERSION%-*}
upstream=${upstream#*:}
if ! ls "$SRCDIR"/curl_"$VERSION".dsc >/dev/null 2>&1; then
  log "fetching the source of curl $VERSION from $MIRROR"
  . scripts/mips-apt.sh
  mips_apt_init "$APTDIR" "$MIRROR" "${SUITES[@]}"
  for s in "${SUITES[@]}"; do
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $MIRROR $s main"
  done > "$APTDIR/etc/sources.list"
  apt-get "${mips_apt_opts[@]}" update -qq
  rm -rf "$SRCDIR" && mkdir -p "$SRCDIR"
  (cd "$SRCDIR" && apt-get "${mips_apt_opts[@]}" source --download-only -qq "curl=$VERSION" >/dev/null)
fi

# 2. Unpack (Debian's patches applied), configure, build lib/ only, install into a staging tree.
rm -rf "$WORK" && mkdir -p "$WORK"
log "building libcurl $VERSION for $TRIPLE (HTTP/HTTPS, OpenSSL, zlib)"
dpkg-source --no-check --skip-patches -x "$SRCDIR/curl_$VERSION.dsc" "$WORK/src" >/dev/null
cd "$WORK/src"
# Debian's patches in their order, as its OpenSSL flavour is built: without the last two, which
# turn the tree into the GnuTLS and NSS flavours (other library name and symbol version).
grep -v -E '^\s*(#|$)' debian/patches/series | grep -v -x -E '90_gnutls.patch|99_nss.patch' |
  while read -r p _; do patch -s -p1 < "debian/patches/$p"; done
env "${BUILD_ENV[@]}" CFLAGS="$CFLAGS_T" CPPFLAGS="$CPPFLAGS_T" LDFLAGS="$LDFLAGS_T" \
  ./configure "${CONFIGURE[@]}" > "$WORK/configure.log" 2>&1 || { tail -n 40 "$WORK/configure.log" >&2; exit 1; }
make -C lib -j"$JOBS" > "$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }
rm -rf "$OUT.new"
make -C lib install DESTDIR="$OUT.new" >/dev/null
make -C include install DESTDIR="$OUT.new" >/dev/null
make install-pkgconfigDATA DESTDIR="$OUT.new" >/dev/null
rm -f "$OUT.new/usr/lib/$TRIPLE/libcurl.la"
# Shipped stripped, as Debian strips its libraries.
lib=$(readlink -f "$OUT.new/usr/lib/$TRIPLE/libcurl.so.4")
${TOOLS}strip --strip-unneeded --remove-section=.comment --remove-section=.note "$lib"

# 3. What it is must be what the terminal's image says: HTTP and HTTPS, and no library beyond
#    OpenSSL, zlib and the C library.
protocols=$(sed -n 's/^supported_protocols="\(.*\)"/\1/p' "$OUT.new/usr/lib/$TRIPLE/pkgconfig/libcurl.pc")
needed=$(${TOOLS}readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd ' ' -)
versions=$(${TOOLS}readelf -V "$lib" | grep -o 'Name: CURL_[A-Z0-9_]*' | sort -u | paste -sd ' ' -)
log "protocols: $protocols; NEEDED: $needed; symbol versions: $versions"
if [ "$protocols" != "HTTP HTTPS" ]; then
  log "the library supports more than HTTP and HTTPS: $protocols"; exit 1
fi
if [ "$needed" != "ld.so.1 libc.so.6 libcrypto.so.3 libssl.so.3 libz.so.1" ] &&
   [ "$needed" != "libc.so.6 libcrypto.so.3 libssl.so.3 libz.so.1" ]; then
  log "unexpected NEEDED entries: $needed"; exit 1
fi
# The program links against either library: Debian's symbol version must be the same.
if [ "$versions" != "Name: CURL_OPENSSL_4" ]; then
  log "symbol versions differ from Debian's libcurl4 (CURL_OPENSSL_4): $versions"; exit 1
fi

if [ -n "$HOST_OUT" ]; then
  echo "$stamp_text host=$TRIPLE" > "$OUT.new/.nimbo-host-curl"
  rm -rf "$OUT" && mv "$OUT.new" "$OUT"
  log "for this machine, measurement only: $OUT/usr/lib/$TRIPLE"
  echo "$OUT/usr/lib/$TRIPLE"
  exit 0
fi
echo "$stamp_text" > "$OUT.new/.nimbo-curl"
rm -rf "$OUT" && mv "$OUT.new" "$OUT"
rm -rf "$WORK"
log "libcurl ready: $OUT ($(stat -c %s "$OUT/usr/lib/$TRIPLE/$(basename "$lib")") bytes stripped)"
echo "$OUT"

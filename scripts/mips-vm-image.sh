#!/usr/bin/env bash
# Prepares the MIPS test machine that scripts/mips-vm.sh boots under qemu system emulation
# (Malta board, 32-bit little-endian): Debian 12's own mipsel kernel for Malta, a small
# initramfs that loads the disk, file-system and network drivers, and an ext4 disk image
# holding a root file system made of Debian mipsel packages (busybox-static and the runtime
# libraries of the program) plus the mipsel release build (program, library, logger; the
# payment-application signals 89..99), the payment-application stand-in and the command
# agent of the control channel.
#
# The packages come from Debian's mipsel archive through a private apt state (as the sysroot),
# never from the host's package state. The disk is made by mke2fs -d: no mount, no root loop.
# Cached and idempotent: packages and kernel are fetched once (a stamp records list and
# mirror); the disk is rebuilt only when the program files or this script change.
#
#   NIMBO_MIPS_CACHE     cache directory (default /var/cache/nimbo-mips); machine in $CACHE/vm
#   NIMBO_DEBIAN_MIRROR  Debian mirror (default http://deb.debian.org/debian)
#   NIMBO_MIPS_RELEASE_DIR  release build directory (default build-mips-release)
# Prints the machine directory (vmlinuz, initrd.gz, disk.img) on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
CACHE=${NIMBO_MIPS_CACHE:-/var/cache/nimbo-mips}
MIRROR=${NIMBO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITES=(bookworm bookworm-updates)
VM=$CACHE/vm
APTDIR=$CACHE/vm-apt
RELEASE_DIR=${NIMBO_MIPS_RELEASE_DIR:-build-mips-release}
DISK_MB=${NIMBO_VM_DISK_MB:-384}

# The root file system: busybox and what the program and the library need at run time, with
# the terminal's libcurl (scripts/mips-curl.sh) instead of Debian's libcurl4.
ROOT_PKGS=(busybox-static libc6 libstdc++6 libgcc-s1 libssl3 libcjson1 libpaho-mqtt1.3 zlib1g)
# Debian's libcurl4 and what it pulls in beyond ROOT_PKGS, kept apart in /opt/debian-curl/lib
# (not on the library path) for the side-by-side figures (scripts/mips-vm-figures.sh).
COMPARE_PKGS=(libcurl4)
KERNEL_META=linux-image-4kc-malta
# Drivers the Malta board needs from modules: PIIX IDE disk, ext4, the PCnet network card.
MODULES=(ata_piix crc32c_generic ext4 pcnet32)
HOST_PKGS=(qemu-system-mips e2fsprogs)

log() { echo "mips-vm-image: $*" >&2; }

. scripts/mips-apt.sh
mips_host_pkgs "${HOST_PKGS[@]}"

# 1. The release build with the stand-in and the agent (fast when built).
SYSROOT=$(bash scripts/mips-sysroot.sh | tail -n 1)
CURL=$(bash scripts/mips-curl.sh | tail -n 1)
if [ ! -f "$RELEASE_DIR/CMakeCache.txt" ] || ! grep -q "^NIMBO_MIPS_CURL:PATH=$CURL\$" "$RELEASE_DIR/CMakeCache.txt"; then
  cmake -S . -B "$RELEASE_DIR" -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchain-mipsel-linux-gnu.cmake" \
    -DNIMBO_MIPS_SYSROOT="$SYSROOT" -DNIMBO_MIPS_CURL="$CURL" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMBO_EMULATED_SIGNALS=OFF -DNIMBO_BUILD_TESTS=OFF >/dev/null
fi
LEAN_CURL=$(readlink -f "$CURL/usr/lib/mipsel-linux-gnu/libcurl.so.4")
if ! grep -q '^NIMBO_EMULATED_SIGNALS:BOOL=OFF' "$RELEASE_DIR/CMakeCache.txt"; then
  log "$RELEASE_DIR maps the payment-application signals: not a release build"
  exit 1
fi
cmake --build "$RELEASE_DIR" -j"${NIMBO_JOBS:-$(nproc)}" --target nimboservice hwlink easy_logger alibankApp nimbo-agent >/dev/null

# 2. Packages and kernel (once per package list and mirror).
pkg_stamp="mirror=$MIRROR suites=${SUITES[*]} pkgs=${ROOT_PKGS[*]} compare=${COMPARE_PKGS[*]} kernel=$KERNEL_META modules=${MODULES[*]} layout=2"
mkdir -p "$VM"
if [ ! -f "$VM/base/.stamp" ] || [ "$(cat "$VM/base/.stamp")" != "$pkg_stamp" ]; then
  log "fetching mipsel packages and the Malta kernel from $MIRROR"
  mips_apt_init "$APTDIR" "$MIRROR" "${SUITES[@]}"
  apt-get "${mips_apt_opts[@]}" update -qq
  apt-get "${mips_apt_opts[@]}" autoclean -qq >/dev/null
  apt-get "${mips_apt_opts[@]}" install -y -qq --download-only "${ROOT_PKGS[@]}" >/dev/null
  root_debs=$(cd "$APTDIR/cache/archives" && ls *.deb)
  apt-get "${mips_apt_opts[@]}" install -y -qq --download-only "${ROOT_PKGS[@]}" "${COMPARE_PKGS[@]}" >/dev/null
  # The kernel alone, without the boot tooling it depends on (we make our own initramfs).
  kpkg=$(apt-cache "${mips_apt_opts[@]}" depends "$KERNEL_META" | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
  rm -rf "$APTDIR/kernel" && mkdir -p "$APTDIR/kernel"
  (cd "$APTDIR/kernel" && apt-get "${mips_apt_opts[@]}" download "$kpkg" 2>/dev/null)

  rm -rf "$VM/base.new" && mkdir -p "$VM/base.new/root" "$VM/base.new/kernel"
  mkdir -p "$VM/base.new/compare"
  for deb in "$APTDIR"/cache/archives/*.deb; do
    if grep -qxF "$(basename "$deb")" <<<"$root_debs"; then
      dpkg-deb -x "$deb" "$VM/base.new/root"
    else
      dpkg-deb -x "$deb" "$VM/base.new/compare"
    fi
  done
  rm -rf "$VM/base.new/root/usr/share/"{doc,man,info,locale,lintian,bug}
  dpkg-deb -x "$APTDIR"/kernel/*.deb "$VM/base.new/kernel"
  echo "$pkg_stamp" > "$VM/base.new/.stamp"
  rm -rf "$VM/base" && mv "$VM/base.new" "$VM/base"
fi
BASE=$VM/base
KVER=$(ls "$BASE/kernel/lib/modules" | head -n 1)

# 3. The disk and the initramfs, rebuilt when any input changed.
inputs_sum() {
  {
    cat "$BASE/.stamp"
    sha256sum scripts/mips-vm-image.sh
    for f in service/nimboservice hwlink/libhwlink.so.1 logger/libeasy_logger.so tools/alibankApp tools/nimbo-agent; do
      sha256sum "$RELEASE_DIR/$f"
    done
    sha256sum "$LEAN_CURL"
  } | sha256sum | cut -d' ' -f1
}
want=$(inputs_sum)
if [ -f "$VM/disk.img" ] && [ -f "$VM/initrd.gz" ] && [ "$(cat "$VM/image.stamp" 2>/dev/null)" = "$want" ]; then
  log "machine up to date: $VM"
  echo "$VM"
  exit 0
fi
log "assembling the disk image and initramfs"
WORK=$VM/work
rm -rf "$WORK" && mkdir -p "$WORK"
ROOT=$WORK/root
cp -a "$BASE/root" "$ROOT"
# OpenSSL's legacy provider and its engines: nothing loads them (no configuration file asks
# for them, the program uses the default provider only); a terminal's image leaves them out.
rm -rf "$ROOT/usr/lib/mipsel-linux-gnu/ossl-modules" "$ROOT/usr/lib/mipsel-linux-gnu/engines-3"
mkdir -p "$ROOT"/{proc,sys,dev,tmp,run,root,mnt,var/log,etc/init.d,etc/nimbo-boot.d,opt/nimbo/tools,sbin,usr/bin,usr/sbin}
chmod 1777 "$ROOT/tmp"

# busybox applets as links, unless Debian ships the name.
while read -r applet; do
  [ -e "$ROOT/$applet" ] || [ -L "$ROOT/$applet" ] || ln -s /bin/busybox "$ROOT/$applet"
done < <(qemu-mipsel "$ROOT/bin/busybox" --list-full)

# The program as installed on the terminal, the stand-in and the agent.
cmake --install "$RELEASE_DIR" --prefix "$WORK/stage" >/dev/null
cp -a "$WORK/stage/bin" "$WORK/stage/lib" "$ROOT/opt/nimbo/"
install -m 0755 "$RELEASE_DIR/tools/alibankApp" "$ROOT/opt/nimbo/tools/alibankApp"
install -m 0755 "$RELEASE_DIR/tools/nimbo-agent" "$ROOT/sbin/nimbo-agent"
# The terminal's libcurl where Debian's would be; Debian's own (with the libraries only it
# needs) in /opt/debian-curl/lib for the comparison.
install -m 0644 "$LEAN_CURL" "$ROOT/usr/lib/mipsel-linux-gnu/$(basename "$LEAN_CURL")"
ln -sfn "$(basename "$LEAN_CURL")" "$ROOT/usr/lib/mipsel-linux-gnu/libcurl.so.4"
mkdir -p "$ROOT/opt/debian-curl/lib"
for lib in "$BASE"/compare/{usr/,}lib/mipsel-linux-gnu/*.so*; do
  [ -e "$lib" ] || continue
  name=$(basename "$lib")
  case "$name" in
    libcurl.*) ;;
    *) [ -e "$ROOT/usr/lib/mipsel-linux-gnu/$name" ] || [ -e "$ROOT/lib/mipsel-linux-gnu/$name" ] && continue ;;
  esac
  cp -a "$lib" "$ROOT/opt/debian-curl/lib/"
done

cat > "$ROOT/usr/bin/pgrep" <<'EOF'
#!/bin/sh
# pgrep [-x] PATTERN: the pids whose process name matches (busybox has no pgrep).
exact=
[ "$1" = -x ] && { exact=1; shift; }
[ $# -eq 1 ] || { echo "usage: pgrep [-x] PATTERN" >&2; exit 2; }
found=1
for d in /proc/[0-9]*; do
  read -r comm < "$d/comm" 2>/dev/null || continue
  if [ -n "$exact" ]; then [ "$comm" = "$1" ] || continue
  else echo "$comm" | grep -qE -- "$1" || continue; fi
  echo "${d#/proc/}"; found=0
done
exit $found
EOF
chmod 0755 "$ROOT/usr/bin/pgrep"

printf 'root:x:0:0:root:/root:/bin/sh\n' > "$ROOT/etc/passwd"
printf 'root:x:0:\n' > "$ROOT/etc/group"
printf '127.0.0.1 localhost\n10.0.2.2 host\n' > "$ROOT/etc/hosts"
printf 'nimbo-terminal\n' > "$ROOT/etc/hostname"
cat > "$ROOT/etc/inittab" <<'EOF'
::sysinit:/etc/init.d/rcS
::respawn:/sbin/nimbo-agent
ttyS0::askfirst:-/bin/sh
::shutdown:/etc/init.d/rcK
::ctrlaltdel:/sbin/reboot
EOF
cat > "$ROOT/etc/init.d/rcS" <<'EOF'
#!/bin/sh
# Start of the test machine: file systems, clock, network, then the boot scripts of the tests.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -o remount,rw /
hostname -F /etc/hostname
# The clock: the kernel set it from the board's (qemu -rtc); busybox is built with a 32-bit
# time_t, so its date and hwclock stay away from it (they fail past 2038).
ip link set lo up
ip addr add 10.0.2.15/24 dev eth0
ip link set eth0 up
ip route add default via 10.0.2.2
for f in /etc/nimbo-boot.d/*; do
  [ -x "$f" ] && "$f" </dev/null >>/var/log/boot.log 2>&1 &
done
echo "nimbo-vm: up $(cat /proc/sys/kernel/random/boot_id)" > /dev/console
EOF
cat > "$ROOT/etc/init.d/rcK" <<'EOF'
#!/bin/sh
# Orderly shutdown: stop the service (it ends its work and answers), then the disk.
pids=$(pgrep -x nimboservice)
[ -n "$pids" ] && kill $pids
for i in 1 2 3 4 5 6 7 8 9 10; do pgrep -x nimboservice >/dev/null || break; sleep 1; done
sync
mount -o remount,ro / 2>/dev/null
EOF
chmod 0755 "$ROOT/etc/init.d/rcS" "$ROOT/etc/init.d/rcK"

rm -f "$VM/disk.img.new"
mke2fs -q -t ext4 -L nimbo-root -E root_owner=0:0 -d "$ROOT" -F "$VM/disk.img.new" "${DISK_MB}M"

# The initramfs: busybox, the driver modules (dependencies first), an init that mounts the disk.
IRD=$WORK/initramfs
mkdir -p "$IRD"/{bin,dev,proc,sys,newroot,lib/modules}
cp "$ROOT/bin/busybox" "$IRD/bin/busybox"
MODDIR=$BASE/kernel/lib/modules/$KVER/kernel
python3 - "$MODDIR" "$IRD/lib/modules" "${MODULES[@]}" <<'EOF'
# Copies the named modules and what they depend on (the modules' own depends= and softdep
# pre: entries), writing the load order to <dest>/order.
import os, re, shutil, sys
moddir, dest, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
files = {}
for d, _, names in os.walk(moddir):
    for n in names:
        if n.endswith(".ko"):
            files[n[:-3].replace("-", "_")] = os.path.join(d, n)
aliases = {"crypto_crc32c": "crc32c_generic"}
order = []
def need(name):
    name = aliases.get(name.replace("-", "_"), name.replace("-", "_"))
    if name in order or name not in files:
        return
    info = open(files[name], "rb").read()
    deps = []
    m = re.search(rb"\0depends=([^\0]*)", info)
    if m and m.group(1):
        deps += m.group(1).decode().split(",")
    m = re.search(rb"\0softdep=pre: ([^\0]*)", info)
    if m:
        deps += m.group(1).decode().split()
    for dep in deps:
        need(dep)
    order.append(name)
    shutil.copy(files[name], os.path.join(dest, name + ".ko"))
for w in wanted:
    need(w)
with open(os.path.join(dest, "order"), "w") as f:
    f.write("\n".join(order) + "\n")
EOF
cat > "$IRD/init" <<'EOF'
#!/bin/busybox sh
# Loads the drivers, mounts the disk and hands over to its init.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs devtmpfs /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko; done
# The disk appears a moment after its driver: try the mount itself until it works. No test on
# the device node: busybox's `[ -b ]` stats it, which fails (EOVERFLOW) with the clock past 2038
# (devtmpfs dates the node now), and the wait ran out every time at 2040.
i=0
until mount -t ext4 -o rw /dev/sda /newroot 2>/dev/null; do
  i=$((i + 1))
  if [ $i -ge 100 ]; then
    echo "nimbo-vm: cannot mount /dev/sda" > /dev/console
    exec sh
  fi
  sleep 0.1
done
umount /proc
umount /dev
# Hand over without switch_root: Debian's busybox is built with a 32-bit time_t and its
# switch_root fails to stat / when the clock is past 2038 (the initramfs is dated then).
cd /newroot
mount --move . /
exec chroot . /sbin/init
EOF
chmod 0755 "$IRD/init"
python3 - "$IRD" "$VM/initrd.gz.new" <<'EOF'
# A gzip'd cpio archive (newc) of a directory, every entry owned by root.
import gzip, os, stat, sys
src, out = sys.argv[1], sys.argv[2]
def entry(f, name, st, data):
    ino = entry.ino = getattr(entry, "ino", 0) + 1
    head = "070701" + "".join("%08x" % v for v in (ino, st.st_mode if st else 0, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
    f.write(head.encode() + name.encode() + b"\0")
    f.write(b"\0" * ((4 - (110 + len(name) + 1) % 4) % 4))
    f.write(data)
    f.write(b"\0" * ((4 - len(data) % 4) % 4))
with gzip.open(out, "wb") as f:
    for d, dirs, names in os.walk(src):
        dirs.sort()
        for n in sorted(dirs) + sorted(names):
            p = os.path.join(d, n)
            st = os.lstat(p)
            rel = os.path.relpath(p, src)
            if stat.S_ISLNK(st.st_mode):
                data = os.readlink(p).encode()
            elif stat.S_ISREG(st.st_mode):
                data = open(p, "rb").read()
            else:
                data = b""
            entry(f, rel, st, data)
    entry(f, "TRAILER!!!", None, b"")
EOF
cp "$BASE/kernel/boot/vmlinuz-$KVER" "$VM/vmlinuz"
mv "$VM/initrd.gz.new" "$VM/initrd.gz"
mv "$VM/disk.img.new" "$VM/disk.img"
rm -rf "$WORK"
echo "$want" > "$VM/image.stamp"
log "machine ready: $VM (kernel $KVER)"
echo "$VM"

"""The MIPS test machine: a mipsel guest under qemu system emulation (Malta board), its disk
and its control channel, plus the guest-side terminal and service the end-to-end tests drive.

The machine (kernel, initramfs, disk image) comes from scripts/mips-vm-image.sh. Each Guest
boots its own copy of the disk; the guest reaches the host's loopback as 10.0.2.2 (qemu's
user-mode network) and the host reaches the guest's command agent (tools/guest_agent.cpp)
through a forwarded loopback port.

Environment: NIMBO_VM_DIR (the machine directory, default /var/cache/nimbo-mips/vm),
NIMBO_VM_KEEP=1 keeps the console log and disk of each guest.

Also a command line (scripts/mips-vm.sh):
  guest.py run [--rtc ISO] [--disk FILE] [--keep-disk]   boots, prints the agent port, waits;
      --keep-disk: the disk copy (and the console log) stay when the machine ends (the path
      is printed), to boot again with --disk or look into
  guest.py sh PORT COMMAND...                            runs a command in a running guest
"""
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

VM_DIR = os.environ.get("NIMBO_VM_DIR", "/var/cache/nimbo-mips/vm")
QEMU = "qemu-system-mipsel"
AGENT_PORT = 7000
HOST_FROM_GUEST = "10.0.2.2"


def _die_with_parent():
    """qemu ends with the test process, whatever ends it (PR_SET_PDEATHSIG)."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class GuestError(AssertionError):
    pass


def agent_run(port, command, data=b"", timeout=60):
    """Runs `command` with /bin/sh in the guest; returns (exit status, output bytes)."""
    cmd = command.encode()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"RUN %d %d\n" % (len(cmd), len(data)) + cmd + data)
        f = s.makefile("rb")
        head = f.readline()
        if not head:
            raise ConnectionError("the agent closed the connection")
        status, size = map(int, head.split())
        out = f.read(size)
        if len(out) != size:
            raise ConnectionError("short answer from the agent")
        return status, out


def agent_put(port, path, data, mode=0o644, timeout=60):
    """Writes a file in the guest, making missing parent directories."""
    p = path.encode()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"PUT %d %d %o\n" % (len(p), len(data), mode) + p + data)
        f = s.makefile("rb")
        status, size = map(int, f.readline().split())
        out = f.read(size)
    if status != 0:
        raise GuestError(f"cannot write {path} in the guest: {out.decode('utf-8', 'replace')}")


class Guest:
    """One booted machine with its own copy of the disk."""

    def __init__(self, rtc=None, memory=256, disk=None, boot=True, keep=False):
        self.keep = keep or os.environ.get("NIMBO_VM_KEEP") == "1"
        self.dir = tempfile.mkdtemp(prefix="nimbo-vm-")
        self.disk = disk or os.path.join(self.dir, "disk.img")
        if not disk:
            subprocess.run(["cp", "--sparse=always", os.path.join(VM_DIR, "disk.img"), self.disk], check=True)
        self.console = os.path.join(self.dir, "console.log")
        self.memory = memory
        self.rtc = rtc
        self.port = None
        self.proc = None
        self.boot_id = None
        self.boots = 0
        if boot:
            self.boot()

    # ---- power --------------------------------------------------------------------------------
    def boot(self, timeout=180):
        """Powers the machine on (the same disk) and waits until the agent answers."""
        self.port = _free_port()
        args = [QEMU, "-M", "malta", "-m", str(self.memory), "-vga", "none", "-nographic", "-monitor", "none",
                "-kernel", os.path.join(VM_DIR, "vmlinuz"), "-initrd", os.path.join(VM_DIR, "initrd.gz"),
                "-append", "console=ttyS0 quiet",
                "-drive", f"file={self.disk},format=raw,if=ide",
                "-netdev", f"user,id=n0,hostfwd=tcp:127.0.0.1:{self.port}-:{AGENT_PORT}",
                "-device", "pcnet,netdev=n0,romfile=",
                "-chardev", f"file,id=c0,path={self.console},append=on", "-serial", "chardev:c0"]
        if self.rtc:
            args += ["-rtc", f"base={self.rtc}"]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self.boots += 1
        try:
            self.boot_id = self._wait_up(None, timeout)
        except BaseException:
            self.power_cut()
            raise

    def _wait_up(self, old_boot_id, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise GuestError(f"qemu ended ({self.proc.returncode}); console:\n{self.console_tail()}")
            try:
                status, out = agent_run(self.port, "cat /proc/sys/kernel/random/boot_id", timeout=5)
                boot_id = out.decode().strip()
                if status == 0 and boot_id and boot_id != old_boot_id:
                    return boot_id
            except OSError:
                pass
            time.sleep(0.5)
        raise GuestError(f"the guest did not come up within {timeout}s; console:\n{self.console_tail()}")

    def wait_reboot(self, timeout=180):
        """Waits for the guest to have restarted (a new boot id); returns the new id."""
        self.boot_id = self._wait_up(self.boot_id, timeout)
        return self.boot_id

    def reboot(self, timeout=180):
        """An orderly reboot from inside the guest."""
        try:
            self.run("reboot", timeout=10)
        except OSError:
            pass
        return self.wait_reboot(timeout)

    def power_cut(self):
        """Pulls the plug: qemu is killed, whatever the guest had not written is lost."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.power_cut()
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def console_tail(self, n=3000):
        try:
            with open(self.console, "rb") as f:
                return f.read().decode("utf-8", "replace")[-n:]
        except FileNotFoundError:
            return ""

    # ---- commands -----------------------------------------------------------------------------
    def run(self, command, data=b"", timeout=60):
        return agent_run(self.port, command, data, timeout)

    def sh(self, command, data=b"", timeout=60):
        """Runs the command; its output as text; a non-zero status is an error."""
        status, out = self.run(command, data, timeout)
        if status != 0:
            raise GuestError(f"guest command failed ({status}): {command}\n{out.decode('utf-8', 'replace')}")
        return out.decode("utf-8", "replace")

    def put(self, path, data, mode=None):
        if isinstance(data, str):
            data = data.encode()
        agent_put(self.port, path, data, 0o644 if mode is None else mode)

    def get(self, path):
        """The file's bytes, or None when it does not exist."""
        status, out = self.run(f"cat {shlex.quote(path)} 2>/dev/null")
        return out if status == 0 else None

    # Neither uses stat: the guest's busybox has a 32-bit time_t, and stat fails on files dated
    # past 2038 (the clock of the 2040 tests).
    def exists(self, path):
        return self.run(f": < {shlex.quote(path)}")[0] == 0

    def size(self, path):
        status, out = self.run(f"wc -c < {shlex.quote(path)}")
        return int(out) if status == 0 else -1

    def put_tree(self, host_dir, guest_dir):
        """Copies the files of a host directory into the guest, one by one (no busybox tar:
        it cannot stat directories dated past 2038). Empty directories are made too."""
        for d, dirs, names in os.walk(host_dir):
            rel = os.path.relpath(d, host_dir)
            target = guest_dir if rel == "." else os.path.join(guest_dir, rel)
            if not names and not dirs:
                agent_put(self.port, target + "/", b"")
            for n in names:
                p = os.path.join(d, n)
                if os.path.islink(p):
                    continue
                with open(p, "rb") as f:
                    agent_put(self.port, os.path.join(target, n), f.read(), os.stat(p).st_mode & 0o7777)


def main(argv):
    if len(argv) >= 1 and argv[0] == "run":
        rtc = None
        disk = None
        keep = False
        i = 1
        while i < len(argv):
            if argv[i] == "--rtc":
                rtc = argv[i + 1]
                i += 2
            elif argv[i] == "--disk":
                disk = argv[i + 1]
                i += 2
            elif argv[i] == "--keep-disk":
                keep = True
                i += 1
            else:
                print(__doc__, file=sys.stderr)
                return 2
        t0 = time.monotonic()
        g = Guest(rtc=rtc, disk=disk, keep=keep)
        print(f"guest up in {time.monotonic() - t0:.1f}s: agent on 127.0.0.1:{g.port}, console {g.console}",
              flush=True)
        print(f"  commands: python3 {os.path.abspath(__file__)} sh {g.port} 'uname -a'", flush=True)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        try:
            g.proc.wait()
        except KeyboardInterrupt:
            pass
        finally:
            g.close()
            if keep and not disk:
                print(f"disk kept: {g.disk} (console {g.console})", flush=True)
        return 0
    if len(argv) >= 3 and argv[0] == "sh":
        status, out = agent_run(int(argv[1]), " ".join(argv[2:]))
        sys.stdout.buffer.write(out)
        return status
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

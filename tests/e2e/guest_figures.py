"""The terminal's own figures, measured on the MIPS test machine (scripts/mips-vm-figures.sh),
for both libcurls side by side in one run on one machine: Debian's libcurl4 (every protocol;
in /opt/debian-curl/lib, chosen with LD_LIBRARY_PATH) and the terminal's (HTTP/HTTPS,
OpenSSL, zlib: scripts/mips-curl.sh; the image's own). The same program file runs with each
(same soname and symbol version).

For each: mapped libraries, USS, private dirty, PSS, RSS, heap, the three biggest private
mappings (idle), start-up to the first report, idle CPU, a 16 MiB download with MD5; then the
same memory figures while another process maps the same libraries (what the program pays
privately on a terminal where other programs use them too). Prints Markdown tables. Not a
test: timings are reported, never asserted."""
import os
import re
import subprocess
import sys
import time
from datetime import datetime

os.environ["NIMBO_GUEST"] = "1"
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Broker, MgmtSim, Server, Service, Terminal, wait_for  # noqa: E402
from tasks_support import md5, payload  # noqa: E402

SERIAL = "NB70000001"
IDLE_SECONDS = int(os.environ.get("NIMBO_FIGURES_IDLE_SECONDS", "30"))
MD5_MIB = int(os.environ.get("NIMBO_FIGURES_MD5_MIB", "16"))
RELEASE_DIR = os.environ.get("NIMBO_MIPS_RELEASE_DIR", "build-mips-release")
VARIANTS = (("Debian's libcurl4", {"LD_LIBRARY_PATH": "/opt/debian-curl/lib"}),
            ("terminal libcurl (HTTP/HTTPS)", {}))
HOLDER = "/tmp/libholder"  # the stand-in's program under another name: maps what it is given


def log_time(line):
    m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})", line)
    return datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp() if m else None


def cpu_ticks(guest, pid):
    fields = guest.sh(f"cat /proc/{pid}/stat").rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime (fields 14 and 15)


def libraries(guest, pid):
    """The shared objects mapped by the process (paths), the program's own file left out."""
    paths = set()
    for line in guest.sh(f"cat /proc/{pid}/maps").splitlines():
        parts = line.split(None, 5)
        if len(parts) == 6 and re.search(r"\.so(\.|$)", parts[5]):
            paths.add(parts[5].strip())
    return sorted(paths)


def memory(guest, pid):
    """KiB: rss, pss, uss, private dirty, heap; and the three biggest private mappings."""
    rollup = guest.sh(f"cat /proc/{pid}/smaps_rollup")

    def field(name):
        return int(re.search(rf"^{name}:\s+(\d+) kB", rollup, re.M).group(1))
    out = {"rss": field("Rss"), "pss": field("Pss"), "private dirty": field("Private_Dirty"),
           "uss": field("Private_Clean") + field("Private_Dirty"), "heap": 0}
    private = {}
    name = None
    for line in guest.sh(f"cat /proc/{pid}/smaps").splitlines():
        head = re.match(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$", line)
        if head:
            name = head.group(1).strip() or "[anonymous]"
            continue
        m = re.match(r"^(Rss|Private_Clean|Private_Dirty):\s+(\d+) kB", line)
        if not m:
            continue
        if m.group(1) == "Rss" and name == "[heap]":
            out["heap"] += int(m.group(2))
        elif m.group(1) != "Rss":
            private[name] = private.get(name, 0) + int(m.group(2))
    top = sorted(private.items(), key=lambda kv: -kv[1])[:3]
    out["top"] = ", ".join(f"{os.path.basename(n) if n.startswith('/') else n} {kib}" for n, kib in top)
    return out


def measure(variant, env, guest, term, sim, server, rows):
    svc = Service(term, server_url=sim.url, start=False, env=env)
    try:
        reports = len(server.reports)
        t0 = time.monotonic()
        svc.start()
        wait_for(lambda: len(server.reports) > reports, 120, interval=0.05, what="first report")
        rows.setdefault("start-up to the first report", {})[variant] = f"{time.monotonic() - t0:.2f} s"

        pid = svc.pid
        time.sleep(10)
        a = cpu_ticks(guest, pid)
        time.sleep(IDLE_SECONDS)
        b = cpu_ticks(guest, pid)
        rows.setdefault(f"idle CPU over {IDLE_SECONDS} s", {})[variant] = \
            f"{100.0 * (b - a) / (IDLE_SECONDS * 100):.2f} %"
        libs = libraries(guest, pid)
        rows.setdefault("mapped libraries", {})[variant] = str(len(libs))
        idle = memory(guest, pid)
        for key in ("uss", "private dirty", "pss", "rss", "heap"):
            rows.setdefault(f"{key.upper() if key in ('uss', 'pss', 'rss') else key}, idle (KiB)", {})[variant] = \
                str(idle[key])
        rows.setdefault("three biggest private mappings (KiB)", {})[variant] = idle["top"]

        # Another process maps the same libraries (their clean pages become shared).
        # The system's libraries (ours need the program's own symbols and only it maps them).
        system = [p for p in libs if "/ld.so" not in p and "/ld-" not in p and not p.startswith("/var/svc/")]
        preload = ":".join(system)
        holder_env = " ".join(f"{k}={v}" for k, v in env.items())
        hpid = guest.sh(f"cp /opt/nimbo/tools/alibankApp {HOLDER} && {holder_env} LD_PRELOAD={preload} "
                        f"{HOLDER} --record /tmp/libholder.rec </dev/null >/dev/null 2>&1 & echo $!").strip()
        try:
            wait_for(lambda: len(libraries(guest, hpid)) >= len(system), 30, interval=0.3,
                     what="the other process maps the libraries")
            shared = memory(guest, pid)
        finally:
            guest.run(f"kill {hpid}")
        for key in ("uss", "private dirty", "pss"):
            rows.setdefault(f"{key.upper() if key != 'private dirty' else key}, another process maps the "
                            "same libraries (KiB)", {})[variant] = str(shared[key])

        data = payload(MD5_MIB * 1024 * 1024)
        name = "Big" + str(len(rows.get("mapped libraries", {})))
        with open(os.path.join(sim.files, name + ".zip"), "wb") as f:
            f.write(data)
        param = {"apkDownloadUrl": f"{sim.url}/files/{name}.zip", "apkVersion": "1", "applicationName": name,
                 "md5sum": md5(data), "apkSize": str(len(data)), "progress": 100}
        svc.mark_log()
        server.send("apkUpgrade", param, task_id="m-" + name)
        svc.wait_log(r"MD5 verification passed", timeout=600)
        lines = svc.log_text().splitlines()
        at = next(i for i, line in enumerate(lines) if "MD5 verification passed" in line)
        # The service hashes while it downloads: from the task's first log line to the verdict
        # is the transfer over qemu's user network with the hash, no separate pass.
        ours = log_time(lines[at]) - log_time(lines[0])
        rows.setdefault(f"{MD5_MIB} MiB download with MD5 on the way", {})[variant] = \
            f"{ours:.2f} s ({MD5_MIB / ours:.1f} MiB/s)"
        wait_for(lambda: term.size(f"/usr/data/app/download/{name}.zip") == len(data), 120, interval=0.5,
                 what="package installed")
        guest.run(f"rm -f {term.path('/usr/data/app/download/' + name + '.zip')}")
        svc.stop()
        return libs
    finally:
        svc.close()


def openssl_costs(guest):
    """bench/openssl_cost.c built for mipsel and run in the guest: each step 3 times (median),
    with each libcurl. Returns {variant: {step: (private dirty KiB, USS KiB, heap B, ms)}}."""
    import statistics
    sysroot = os.environ.get("NIMBO_MIPS_SYSROOT", "/var/cache/nimbo-mips/sysroot")
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "openssl_cost.c")
    out = "/tmp/nimbo-openssl-cost.mipsel"
    subprocess.run(["mipsel-linux-gnu-gcc", f"--sysroot={sysroot}", "-O2", "-Wall", "-Wextra", "-Werror",
                    "-o", out, src, "-ldl"], check=True)
    with open(out, "rb") as f:
        guest.put("/tmp/openssl_cost", f.read(), 0o755)
    os.unlink(out)
    result = {}
    for variant, env in VARIANTS:
        prefix = " ".join(f"{k}={v}" for k, v in env.items())
        result[variant] = {}
        for step in OPENSSL_STEPS:
            runs = [guest.sh(f"{prefix} /tmp/openssl_cost {step}").split()[1:] for _ in range(3)]
            result[variant][step] = tuple(statistics.median(float(r[i]) for r in runs) for i in range(4))
    return result


OPENSSL_STEPS = ("load", "curl", "service", "noconfig", "nostrings", "https")


def main():
    rows = {}
    mapped = {}
    broker = Broker()
    sim = MgmtSim(broker_addr=broker.addr)
    server = Server(broker, SERIAL)
    term = Terminal(serial=SERIAL)
    guest = term.guest
    try:
        # NIMBO_FIGURES_ORDER=reverse measures the terminal's libcurl first (the machine's load
        # drifts during a run: the order shows what is the library and what the moment).
        order = VARIANTS[::-1] if os.environ.get("NIMBO_FIGURES_ORDER") == "reverse" else VARIANTS
        for variant, env in order:
            mapped[variant] = measure(variant, env, guest, term, sim, server, rows)
        path = term.path("/usr/data/md5-reference")
        guest.sh(f"dd if=/dev/urandom of={path} bs=1048576 count={MD5_MIB} 2>/dev/null; cat {path} >/dev/null")
        out = guest.sh(f"cat /proc/uptime; md5sum {path} >/dev/null; cat /proc/uptime").split("\n")
        theirs = float(out[1].split()[0]) - float(out[0].split()[0])
        reference = f"{theirs:.2f} s ({MD5_MIB / theirs:.1f} MiB/s)"
        # (The services' own prefixes are gone with them: their files are the release build's.)
        sizes = guest.run("wc -c " + " ".join(sorted({p for libs in mapped.values() for p in libs}))
                          + " 2>/dev/null")[1].decode()
        costs = openssl_costs(guest)
        config = guest.run("ls /usr/lib/ssl/openssl.cnf /etc/ssl/openssl.cnf 2>&1")[1].decode().strip()
    finally:
        term.close()
        server.close()
        sim.close()
        broker.close()
        guest.close()

    names = [v for v, _ in VARIANTS]
    print("| figure | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    for figure, values in rows.items():
        print(f"| {figure} | " + " | ".join(values.get(n, "") for n in names) + " |")
    print(f"\nMD5 of {MD5_MIB} MiB from the page cache, the guest's md5sum (busybox): {reference}")

    size_of = {}
    for line in sizes.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[1] != "total":
            size_of[parts[1]] = int(parts[0])
    for variant in names:
        libs = mapped[variant]
        total = sum(size_of.get(p, 0) for p in libs)
        print(f"\n{variant}: {len(libs)} libraries, {total} bytes of files:")
        print(", ".join(f"{os.path.basename(p)} {size_of.get(p, 0)}" for p in libs))

    print("\nOpenSSL, step by step (bench/openssl_cost.c, median of 3 fresh processes; added since the "
          "process started: private dirty KiB / USS KiB / heap bytes / ms):")
    print("\n| step | " + " | ".join(names) + " |\n|---|" + "---|" * len(names))
    for step in OPENSSL_STEPS:
        print(f"| {step} | " + " | ".join("%.0f / %.0f / %.0f / %.1f" % costs[n][step] for n in names) + " |")
    print(f"\nOpenSSL configuration files in the guest: {config}")

    print("\n| file (mipsel, stripped) | bytes |\n|---|---|")
    for name in ("service/nimboservice", "hwlink/libhwlink.so.1", "logger/libeasy_logger.so"):
        src = os.path.realpath(os.path.join(RELEASE_DIR, name))
        out = "/tmp/nimbo-figures-stripped"
        subprocess.run(["mipsel-linux-gnu-strip", "--strip-all", "-o", out, src], check=True)
        print(f"| {os.path.basename(name)} | {os.path.getsize(out)} |")
        os.unlink(out)


if __name__ == "__main__":
    main()

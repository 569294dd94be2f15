"""The terminal's own figures, measured on the MIPS test machine (scripts/mips-vm-figures.sh):
start-up to the first report, idle CPU, RSS and USS, MD5 throughput beside the guest's
md5sum, stripped sizes. Prints a Markdown table. Not a test: timings are reported, never
asserted."""
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
IDLE_SECONDS = int(os.environ.get("NIMBO_FIGURES_IDLE_SECONDS", "60"))
MD5_MIB = int(os.environ.get("NIMBO_FIGURES_MD5_MIB", "16"))
RELEASE_DIR = os.environ.get("NIMBO_MIPS_RELEASE_DIR", "build-mips-release")


def log_time(line):
    m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})", line)
    return datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp() if m else None


def cpu_ticks(guest, pid):
    fields = guest.sh(f"cat /proc/{pid}/stat").rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime (fields 14 and 15)


def main():
    rows = []
    broker = Broker()
    sim = MgmtSim(broker_addr=broker.addr)
    server = Server(broker, SERIAL)
    term = Terminal(serial=SERIAL)
    guest = term.guest
    try:
        svc = Service(term, server_url=sim.url, start=False)
        t0 = time.monotonic()
        svc.start()
        wait_for(lambda: server.reports, 120, interval=0.05, what="first report")
        rows.append(("start-up to the first report", f"{time.monotonic() - t0:.2f} s"))

        pid = svc.pid
        time.sleep(10)
        a = cpu_ticks(guest, pid)
        time.sleep(IDLE_SECONDS)
        b = cpu_ticks(guest, pid)
        rows.append((f"idle CPU over {IDLE_SECONDS} s", f"{100.0 * (b - a) / (IDLE_SECONDS * 100):.2f} % of the CPU"))
        rss = re.search(r"VmRSS:\s+(\d+) kB", guest.sh(f"cat /proc/{pid}/status")).group(1)
        rollup = guest.sh(f"cat /proc/{pid}/smaps_rollup")
        uss = sum(int(v) for v in re.findall(r"Private_(?:Clean|Dirty):\s+(\d+) kB", rollup))
        rows.append(("RSS, idle", f"{rss} KiB"))
        rows.append(("USS (private pages), idle", f"{uss} KiB"))

        data = payload(MD5_MIB * 1024 * 1024)
        with open(os.path.join(sim.files, "big.zip"), "wb") as f:
            f.write(data)
        param = {"apkDownloadUrl": f"{sim.url}/files/big.zip", "apkVersion": "1", "applicationName": "Big",
                 "md5sum": md5(data), "apkSize": str(len(data)), "progress": 100}
        svc.mark_log()
        server.send("apkUpgrade", param, task_id="m1")
        svc.wait_log(r"MD5 verification passed", timeout=600)
        lines = svc.log_text().splitlines()
        at = next(i for i, line in enumerate(lines) if "MD5 verification passed" in line)
        # The service hashes while it downloads: from the task's first log line to the verdict
        # is the transfer over qemu's user network with the hash, no separate pass.
        ours = log_time(lines[at]) - log_time(lines[0])
        tail = log_time(lines[at]) - log_time(lines[at - 1])
        path = term.path("/usr/data/app/download/Big.zip")
        wait_for(lambda: term.size("/usr/data/app/download/Big.zip") == len(data), 120, interval=0.5,
                 what="package installed")
        out = guest.sh(f"cat /proc/uptime; md5sum {path} >/dev/null; cat /proc/uptime").split("\n")
        theirs = float(out[1].split()[0]) - float(out[0].split()[0])
        rows.append((f"{MD5_MIB} MiB download with MD5 on the way (the service)",
                     f"{ours:.2f} s, {MD5_MIB / ours:.1f} MiB/s; verdict {tail * 1000:.0f} ms after the log line before it"))
        rows.append((f"MD5 of {MD5_MIB} MiB from the page cache, the guest's md5sum (busybox)",
                     f"{theirs:.2f} s, {MD5_MIB / theirs:.1f} MiB/s"))
        svc.stop()
        svc.close()
    finally:
        term.close()
        server.close()
        sim.close()
        broker.close()
        guest.close()

    for name in ("service/nimboservice", "hwlink/libhwlink.so.1", "logger/libeasy_logger.so"):
        src = os.path.realpath(os.path.join(RELEASE_DIR, name))
        out = "/tmp/nimbo-figures-stripped"
        subprocess.run(["mipsel-linux-gnu-strip", "--strip-all", "-o", out, src], check=True)
        rows.append((f"stripped {os.path.basename(name)} (mipsel)", f"{os.path.getsize(out)} bytes"))
        os.unlink(out)

    print("| figure | value |\n|---|---|")
    for name, value in rows:
        print(f"| {name} | {value} |")


if __name__ == "__main__":
    main()

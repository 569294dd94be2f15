#!/usr/bin/python3
"""Soak run of nimboservice: mixed commands every 100 ms for N minutes with the broker bounced
twice, against a real broker, the management simulator and a simulated terminal (all on
loopback). Samples the service's resident memory, open descriptors and threads, and checks
that every command was answered.

  soak.py --minutes N [--stage DIR] [--interval 0.1] [--bounces 2] [--json FILE]

The stage directory is an installed build (cmake --install BUILD --prefix DIR); the default is
$NIMBO_STAGE_DIR or build/stage. scripts/soak.sh builds, installs and runs this.

Commands: querySysStatus, queryLog, geofence (cleared), devLock (unlock), an unknown command,
and, one at a time, an application upgrade (a 200 KB download) or a poster insert/delete.
While the broker is bounced no command is sent (a QoS 0 command to a disconnected device is
lost by design); the long task in progress at the bounce must still end with its final reply.

Growth: the samples of the first third of the run (after a one-minute warm-up, or the first
sample on short runs) against those of the last third: resident memory may grow by at most
10 % + 1 MiB; the least number of descriptors and of threads seen in the last third may not
exceed the least seen in the first third (transient ones only add to a sample; a leak raises
the floor). Exit status 0 when nothing grew and every command was answered.
"""
import argparse
import hashlib
import json
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
os.environ.setdefault("NIMBO_SOURCE_DIR", SOURCE)

SERIAL = "NB50000001"


def proc_sample(pid):
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    rss_kib = int(status["VmRSS"].split()[0])
    threads = int(status["Threads"])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return {"rss_kib": rss_kib, "fds": fds, "threads": threads}


def md5(data):
    return hashlib.md5(data).hexdigest()


class Soak:
    def __init__(self, args):
        stage = args.stage or os.environ.get("NIMBO_STAGE_DIR") or os.path.join(SOURCE, "build", "stage")
        os.environ["NIMBO_STAGE_DIR"] = os.path.abspath(stage)
        build = os.environ.get("NIMBO_BINARY_DIR") or os.path.dirname(os.path.abspath(stage))
        os.environ.setdefault("NIMBO_ALIBANK", os.path.join(build, "tools", "alibankApp"))
        import harness  # after the environment is set
        self.h = harness
        self.args = args
        self.rng = random.Random(args.seed)
        self.sent = {}          # taskId -> (cmd, time sent)
        self.answered = set()
        self.long_finals = {}   # taskId -> final status
        self.samples = []
        self.bounce_log = []
        self.counts = {}
        self.long_task = None   # (cmd, taskId) in progress
        self.long_ended_at = 0.0

    # ---- set-up ---------------------------------------------------------------------------
    def start(self):
        h = self.h
        self.term = h.Terminal(serial=SERIAL)
        ready = self.term.path("/tmp/alibank.ready")
        if os.path.exists(h.ALIBANK):
            self.term.start_alibank("--ready", ready)
            h.wait_for(lambda: os.path.exists(ready), 10, what="alibankApp ready")
        self.broker = h.Broker()
        self.sim = h.MgmtSim(broker_addr=self.broker.addr)
        self.server = h.Server(self.broker, SERIAL)
        self.svc = h.Service(self.term, server_url=self.sim.url)
        self.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SERIAL, timeout=60)
        self.package = os.urandom(200_000)
        with open(os.path.join(self.sim.files, "soak.zip"), "wb") as f:
            f.write(self.package)
        self.picture = os.urandom(50_000)
        with open(os.path.join(self.sim.files, "soak.png"), "wb") as f:
            f.write(self.picture)
        self.wait_answering()

    def close(self):
        for part in ("svc", "server", "sim", "broker", "term"):
            obj = getattr(self, part, None)
            if obj is not None:
                try:
                    obj.close()
                except Exception:  # noqa: BLE001 - clean-up goes on
                    pass

    def wait_answering(self, timeout=120):
        deadline = time.monotonic() + timeout
        n = 0
        while time.monotonic() < deadline:
            n += 1
            task = f"ready-{time.monotonic_ns()}-{n}"
            start = len(self.server.replies)
            self.server.send("soakProbe", {}, task_id=task)
            try:
                self.server.wait_reply("soakProbeResp", task_id=task, timeout=1, start=start)
                return
            except AssertionError:
                continue
        raise AssertionError("the service does not answer")

    # ---- commands -------------------------------------------------------------------------
    def short_command(self, n):
        choice = self.rng.choice(["querySysStatus", "queryLog", "geofence", "devLock", "unknown"])
        params = {
            "querySysStatus": {},
            "queryLog": {"fileType": "log"},
            "geofence": {"geofenceCoordinates": "", "geofenceRadius": ""},
            "devLock": {"lockType": "0"},
            "unknown": {},
        }
        cmd = "soakUnknown" if choice == "unknown" else choice
        return cmd, params[choice]

    def long_command(self, n):
        if n % 3 == 0:
            url = f"{self.sim.url}/files/soak.png"
            if (n // 3) % 2 == 0:
                return "customResourcePoster", {"action": "add", "type": "poster", "enable": True, "level": 1,
                                                 "position": 3, "fileName": "soak.png",
                                                 "fileSize": str(len(self.picture)), "md5sum": md5(self.picture),
                                                 "progress": 100, "url": url}
            return "customResourcePoster", {"action": "delete", "position": 3, "fileName": "soak.png",
                                            "md5sum": md5(self.picture)}
        return "apkUpgrade", {"apkDownloadUrl": f"{self.sim.url}/files/soak.zip", "apkVersion": "1",
                              "applicationName": "Soak", "md5sum": md5(self.package),
                              "apkSize": str(len(self.package)), "progress": 50}

    def send(self, cmd, param, task_id):
        self.sent[task_id] = (cmd, time.monotonic())
        self.counts[cmd] = self.counts.get(cmd, 0) + 1
        self.server.send(cmd, param, task_id=task_id)

    def collect(self):
        """Marks answered commands and ended long tasks from the replies so far."""
        with self.server._cond:
            replies = list(self.server.replies[self._seen:]) if hasattr(self, "_seen") else list(self.server.replies)
            self._seen = len(self.server.replies)
        for _, p in replies:
            if not p or "taskId" not in p:
                continue
            task = p["taskId"]
            if task in self.sent:
                self.answered.add(task)
                status = (p.get("param") or {}).get("status")
                if self.long_task and task == self.long_task[1] and status in ("2", "3"):
                    self.long_finals[task] = status
                    self.long_task = None
                    self.long_ended_at = time.monotonic()

    def outstanding(self, older_than=0.0):
        now = time.monotonic()
        return [t for t, (_, at) in self.sent.items() if t not in self.answered and now - at >= older_than]

    # ---- bounce -----------------------------------------------------------------------------
    def bounce(self, number):
        # Everything sent so far answered first (a command in flight would be lost by design).
        deadline = time.monotonic() + 30
        while self.outstanding() and time.monotonic() < deadline:
            self.collect()
            time.sleep(0.05)
        subscribed = self.svc.log_text().count("Subscribed to topic /e/default/ma/d/" + SERIAL)
        began = time.monotonic()
        self.server._connected.clear()
        self.broker.stop()
        time.sleep(self.rng.uniform(1, 5))
        self.broker.start()
        if not self.server._connected.wait(30):
            raise AssertionError("the server client did not reconnect")
        self.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SERIAL, count=subscribed + 1, timeout=120)
        self.wait_answering()
        self.bounce_log.append({"bounce": number, "at_s": round(began - self.t0, 1),
                                "back_after_s": round(time.monotonic() - began, 1)})

    # ---- run --------------------------------------------------------------------------------
    def run(self):
        minutes = self.args.minutes
        total = minutes * 60.0
        bounce_at = [total * (i + 1) / (self.args.bounces + 1) for i in range(self.args.bounces)]
        self.t0 = time.monotonic()
        next_sample = 0.0
        n = 0
        long_n = 0
        next_long = 2.0
        while True:
            elapsed = time.monotonic() - self.t0
            if elapsed >= total:
                break
            if bounce_at and elapsed >= bounce_at[0]:
                bounce_at.pop(0)
                self.bounce(len(self.bounce_log) + 1)
                continue
            self.collect()
            # Sampled between long tasks: a running worker has its own thread and socket.
            idle = self.long_task is None and time.monotonic() - self.long_ended_at > 0.5
            if elapsed >= next_sample and idle:
                s = proc_sample(self.svc.pid)
                s["t_s"] = round(elapsed, 1)
                self.samples.append(s)
                next_sample += self.args.sample
            n += 1
            if self.long_task is None and elapsed >= next_long and elapsed < next_sample:
                cmd, param = self.long_command(long_n)
                task = f"L{long_n}"
                long_n += 1
                self.long_task = (cmd, task)
                self.send(cmd, param, task)
                next_long = elapsed + 5.0
            else:
                cmd, param = self.short_command(n)
                self.send(cmd, param, f"S{n}")
            time.sleep(self.args.interval)
        # The last answers.
        deadline = time.monotonic() + 120
        while (self.outstanding() or self.long_task) and time.monotonic() < deadline:
            self.collect()
            time.sleep(0.1)
        s = proc_sample(self.svc.pid)
        s["t_s"] = round(time.monotonic() - self.t0, 1)
        self.samples.append(s)

    def verdict(self):
        samples = self.samples
        third = max(1, len(samples) // 3)
        warm = [s for s in samples if s["t_s"] >= 60] if self.args.minutes >= 3 else samples
        early = warm[:third] if len(warm) >= 3 else samples[:1]
        late = samples[-third:]
        rss_early = statistics.median(s["rss_kib"] for s in early)
        rss_late = statistics.median(s["rss_kib"] for s in late)
        # Transient descriptors and threads (a transfer, a shell command) only add to a
        # sample: a leak shows as a floor that rises, so the phases' minimums are compared.
        fds_early = min(s["fds"] for s in early)
        fds_late = min(s["fds"] for s in late)
        thr_early = min(s["threads"] for s in early)
        thr_late = min(s["threads"] for s in late)
        unanswered = self.outstanding()
        failed_long = [t for t, st in self.long_finals.items() if st != "2"]
        result = {
            "minutes": self.args.minutes,
            "interval_s": self.args.interval,
            "commands_sent": len(self.sent),
            "commands_answered": len(self.sent) - len(unanswered),
            "unanswered": unanswered[:20],
            "by_command": self.counts,
            "long_tasks_ended": len(self.long_finals),
            "long_tasks_failed": failed_long,
            "bounces": self.bounce_log,
            "samples": len(samples),
            "rss_kib": {"first": samples[0]["rss_kib"], "early_median": rss_early, "late_median": rss_late,
                        "max": max(s["rss_kib"] for s in samples)},
            "fds": {"first": samples[0]["fds"], "early_min": fds_early, "late_min": fds_late,
                    "max": max(s["fds"] for s in samples), "last": samples[-1]["fds"]},
            "threads": {"first": samples[0]["threads"], "early_min": thr_early, "late_min": thr_late,
                        "max": max(s["threads"] for s in samples), "last": samples[-1]["threads"]},
            "service_alive": self.svc.returncode is None,
        }
        grew = []
        if rss_late > rss_early * 1.10 + 1024:
            grew.append("rss")
        if fds_late > fds_early:
            grew.append("fds")
        if thr_late > thr_early:
            grew.append("threads")
        result["grew"] = grew
        result["ok"] = not grew and not unanswered and not failed_long and result["service_alive"]
        return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--stage")
    ap.add_argument("--interval", type=float, default=0.1)
    ap.add_argument("--bounces", type=int, default=2)
    ap.add_argument("--sample", type=float, default=5.0, help="seconds between samples")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json", help="write the result (with every sample) to this file")
    args = ap.parse_args()
    soak = Soak(args)
    try:
        soak.start()
        soak.run()
        result = soak.verdict()
    finally:
        soak.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(result, all_samples=soak.samples), f, indent=1)
    print(json.dumps(result, indent=1))
    print("soak: " + ("PASS" if result["ok"] else "FAIL"))
    return 0 if result["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())

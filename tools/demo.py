"""A guided tour of nimboservice on a simulated terminal.

Starts a local mosquitto broker, the management-server simulator, a simulated terminal with
its payment-application stand-in, and the installed service; then plays the management
server: reads the device's report, asks for its status, upgrades an application (restarting
the service halfway through the download), locks and unlocks the terminal, and has it upload
its kernel log. Each step prints what was sent and what came back. Everything is stopped at
the end unless --keep is given.
"""
import argparse
import hashlib
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import ALIBANK, STAGE_DIR, Broker, MgmtSim, Server, Service, Terminal, wait_for  # noqa: E402

TTY = sys.stdout.isatty()
BOLD, DIM, GREEN, RED, RESET = (("\033[1m", "\033[2m", "\033[32m", "\033[31m", "\033[0m") if TTY
                                else ("", "", "", "", ""))


def say(text=""):
    print(text, flush=True)


def step(n, text):
    say(f"\n{BOLD}[{n}] {text}{RESET}")


def show(label, obj, width=110):
    text = obj if isinstance(obj, str) else json.dumps(obj, separators=(",", ":"), ensure_ascii=False)
    if len(text) > width:
        text = text[:width - 3] + "..."
    say(f"    {DIM}{label}{RESET} {text}")


def table(rows):
    keys = max(len(k) for k, _ in rows)
    for k, v in rows:
        say(f"    {k.ljust(keys)}  {v}")


class Bar:
    """A progress bar on a terminal, plain lines otherwise."""

    def __init__(self, label):
        self.label = label
        self.last = None

    def update(self, percent, note=""):
        if TTY:
            filled = int(percent / 100 * 30)
            sys.stdout.write(f"\r    {self.label} [{'#' * filled}{'.' * (30 - filled)}] {percent:6.2f}% {note:<28}")
            sys.stdout.flush()
        elif self.last is None or int(percent) // 10 != int(self.last) // 10 or note:
            say(f"    {self.label} {percent:6.2f}% {note}")
        self.last = percent

    def done(self):
        if TTY:
            sys.stdout.write("\n")


class Tour:
    def __init__(self, args):
        self.args = args
        self.pieces = []
        self.results = []  # (step, ok, detail)

    def keep(self, piece):
        self.pieces.append(piece)
        return piece

    def record(self, name, ok, detail):
        self.results.append((name, ok, detail))
        mark = f"{GREEN}ok{RESET}" if ok else f"{RED}FAILED{RESET}"
        say(f"    -> {mark}: {detail}")

    def command(self, cmd, param=None, task_id="", timeout=20):
        start = len(self.server.replies)
        sent = self.server.send(cmd, param, task_id=task_id)
        show("sent    ", sent)
        raw, reply = self.server.wait_reply(cmd + "Resp", task_id=task_id or None, timeout=timeout, start=start)
        show("replied ", raw)
        return reply, start

    # ---- set-up ------------------------------------------------------------------------------
    def start(self):
        step(0, "Setting up: broker, management simulator, simulated terminal, service")
        self.broker = self.keep(Broker())
        self.sim = self.keep(MgmtSim(broker_addr=self.broker.addr))
        self.term = self.keep(Terminal(serial=self.args.serial, extra=("--app", "Alipay:3.2.1", "--app", "Shop:2.0.0")))
        if os.path.exists(ALIBANK):
            self.term.start_alibank("--lock-answer-delay-ms", "500")
        self.server = self.keep(Server(self.broker, self.args.serial))
        self.svc = self.keep(Service(self.term, server_url=self.sim.url))
        self.svc.wait_log(r"Subscribed to topic /e/default/ma/d/", timeout=40)
        table([("broker", self.broker.url), ("management server", self.sim.url),
               ("device root", self.term.root), ("service log", self.svc.log_file),
               ("serial number", self.args.serial)])

    # ---- steps -------------------------------------------------------------------------------
    def device_info(self):
        step(1, "The device reports itself when it connects (\"deviceInfo\" on the report topic)")
        _, report = self.server.wait_report("deviceInfo", timeout=20)
        p = report["param"]
        table([("model", p["model"]), ("firmware", p["fwVer"]), ("system", p["sysVer"]), ("MAC", p["macAddr"]),
               ("IMEI", p["imei"]), ("position", p["coordinates"] or "(none)"),
               ("applications", ", ".join(f"{a['apkName']} {a['version']}" for a in p["apkList"]) or "(none)")])
        self.record("deviceInfo report", True, f"{len(p['apkList'])} applications listed")

    def sys_status(self):
        step(2, "Asking for the system status (\"querySysStatus\")")
        reply, _ = self.command("querySysStatus", task_id="demo-status")
        p = reply["param"]
        table([(k, p[k]) for k in ("batteryPercent", "cpuTemp", "cpuUsage", "memoryUsage", "networkType", "devSi",
                                   "devUpTime")])
        self.record("querySysStatus", p.get("status") == "2", f"status {p.get('status')}")

    def apk_upgrade(self):
        step(3, "Upgrading an application; the service is restarted halfway through the download")
        data = bytes(hashlib.sha256(str(i).encode()).digest()[j % 32] for i in range(3000) for j in range(1024))
        name = "Shop-2.1.0.zip"
        with open(os.path.join(self.sim.files, name), "wb") as f:
            f.write(data)
        md5 = hashlib.md5(data).hexdigest()
        self.sim.config(throttle=400_000)
        param = {"apkDownloadUrl": f"{self.sim.url}/files/{name}", "apkVersion": "2.1.0",
                 "applicationName": "Shop", "md5sum": md5, "apkSize": str(len(data)), "progress": 2}
        reply, start = self.command("apkUpgrade", param, task_id="demo-apk")
        bar = Bar("download")
        restarted = False
        final = None
        seen = start
        deadline = time.monotonic() + 120
        while final is None and time.monotonic() < deadline:
            with self.server._cond:
                fresh = self.server.replies[seen:]
                seen = len(self.server.replies)
            for raw, parsed in fresh:
                if not parsed or parsed.get("cmd") != "apkUpgradeResp" or parsed.get("taskId") != "demo-apk":
                    continue
                p = parsed.get("param", {})
                text = p.get("failDes", "")
                if p.get("status") in ("2", "3"):
                    final = p
                elif text.endswith("%"):
                    bar.update(float(text[:-1]))
                elif text:
                    bar.update(bar.last or 0, text)
            if not restarted and (bar.last or 0) >= 45:
                bar.done()
                say(f"    {DIM}killing the service (SIGKILL) with the download half done...{RESET}")
                self.svc.kill()
                self.sim.config(throttle=800_000)
                self.svc.start()
                say(f"    {DIM}service started again; it picks up the stored task after connecting{RESET}")
                restarted = True
            time.sleep(0.1)
        bar.done()
        if final is None:
            self.record("apkUpgrade", False, "no final reply within 120 s")
            return
        show("final   ", final)
        gets = [r for r in self.sim.requests() if r["path"] == "/files/" + name]
        ranges = [r.get("range") for r in gets if r.get("range")]
        installed = self.term.path("/usr/data/app/download/Shop.zip")
        same = os.path.exists(installed) and hashlib.md5(open(installed, "rb").read()).hexdigest() == md5
        table([("requests", f"{len(gets)} (resumed with {ranges[-1] if ranges else 'no Range'})"),
               ("installed file", f"{installed} ({'MD5 matches' if same else 'MD5 DIFFERS'})")])
        self.record("apkUpgrade with restart", final.get("status") == "2" and same and bool(ranges),
                    f"status {final.get('status')}, resumed from the bytes on disk")

    def lock_unlock(self):
        step(4, "Locking and unlocking the terminal (\"devLock\"), with the payment application's answer")
        start = len(self.server.reports)
        self.command("devLock", {"lockType": "1"}, task_id="demo-lock")
        say(f"    {DIM}the service signals the payment application about 5 s later...{RESET}")
        _, alert = self.server.wait_report("alert", timeout=30, start=start)
        show("alert   ", alert)
        locked = alert["param"]["msgName"] == "LockDevice" and alert["param"]["alertStatus"] == "active"
        start = len(self.server.reports)
        self.command("devLock", {"lockType": "2"}, task_id="demo-unlock")
        _, alert = self.server.wait_report("alert", timeout=30, start=start)
        show("alert   ", alert)
        cleared = alert["param"]["alertStatus"] == "cleared"
        self.record("devLock lock/unlock", locked and cleared, "LockDevice alert active, then cleared")

    def log_upload(self):
        step(5, "Uploading the kernel log (\"getLog\")")
        param = {"downloadFileUrl": self.sim.url + "/upload/", "dirPath": "/usr/data/log",
                 "filePath": "device/dmesg.log", "fileType": "log"}
        _, start = self.command("getLog", param, task_id="demo-log")
        raw, final = self.server.wait_reply("getLogResp", task_id="demo-log", timeout=60, start=start + 1)
        while final["param"].get("status") not in ("2", "3"):
            raw, final = self.server.wait_reply("getLogResp", task_id="demo-log", timeout=60,
                                                start=self.server.replies.index((raw, final)) + 1)
        show("final   ", raw)
        files = sorted(os.listdir(self.sim.uploads))
        table([("received by server", ", ".join(files) or "(nothing)")])
        self.record("getLog upload", final["param"]["status"] == "2" and bool(files), f"{len(files)} file(s) received")

    def restarted_instances(self):
        """Instances of this demo's program that the service's own restart started (a server switch)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink(f"/proc/{pid}/exe") == self.svc.program and int(pid) != self.svc.pid:
                    found.append(int(pid))
            except OSError:
                pass
        return found

    def stop(self):
        step(6, "Stopping the service (SIGTERM)")
        rc = self.svc.stop()
        for pid in self.restarted_instances():   # one that restarted itself is stopped too
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        lock_gone = not self.term.exists("/tmp/nimbo_service_lock")
        self.record("orderly stop", rc == 1 and lock_gone, f"exit status {rc}, instance lock released")

    def close(self):
        for piece in reversed(self.pieces):
            try:
                piece.close()
            except Exception:
                pass

    def summary(self):
        say(f"\n{BOLD}Summary{RESET}")
        for name, ok, detail in self.results:
            mark = f"{GREEN}ok    {RESET}" if ok else f"{RED}FAILED{RESET}"
            say(f"    {mark} {name:<26} {detail}")
        passed = sum(1 for _, ok, _ in self.results if ok)
        say(f"\n    {passed} of {len(self.results)} steps passed; nothing is left running.")
        return passed == len(self.results)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keep", action="store_true", help="after the tour, keep everything running until Ctrl-C")
    ap.add_argument("--serial", default="NB20260001", help="serial number of the simulated terminal")
    args = ap.parse_args()
    tour = Tour(args)
    ok = False
    try:
        tour.start()
        for part in (tour.device_info, tour.sys_status, tour.apk_upgrade, tour.lock_unlock, tour.log_upload):
            try:
                part()
            except AssertionError as e:  # a step that timed out: say which, go on
                tour.record(part.__name__, False, str(e).splitlines()[0][:100])
        if args.keep:
            say(f"\n{BOLD}Everything is up; Ctrl-C stops it.{RESET}")
            nimboctl = os.path.join(STAGE_DIR, "bin", "nimboctl")   # the one this build installed
            table([("broker", tour.broker.url), ("simulator", tour.sim.url), ("log", tour.svc.log_file),
                   ("files to serve", f"{tour.sim.files}  (served as {tour.sim.url}/files/NAME)"),
                   ("uploads land in", f"{tour.sim.uploads}  (getLog downloadFileUrl={tour.sim.url}/logs)"),
                   ("try", f"{nimboctl} --broker {tour.broker.url} --sn {args.serial} querySysStatus"),
                   ("", f"{nimboctl} --broker {tour.broker.url} --sn {args.serial} watch"),
                   ("", f"{nimboctl} --broker {tour.broker.url} --sn {args.serial} --file {tour.sim.files}/NAME "
                        f"apkUpgrade apkDownloadUrl={tour.sim.url}/files/NAME applicationName=shop")])
            signal.sigwait({signal.SIGINT, signal.SIGTERM}) if hasattr(signal, "sigwait") else time.sleep(1e9)
        tour.stop()
        ok = tour.summary()
    except KeyboardInterrupt:
        say("\ninterrupted")
    except Exception as e:  # a readable line, not a trace
        say(f"\n{RED}error:{RESET} {e}")
        say("    the service log is kept only while the demo runs; rerun with --keep to look around")
    finally:
        tour.close()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

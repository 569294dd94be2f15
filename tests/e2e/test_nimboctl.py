"""nimboctl end to end: the installed console against a real broker and a running service on a
simulated terminal (with the payment-application stand-in)."""
import hashlib
import json
import os
import pty
import re
import select
import subprocess
import time
import unittest

from jsonschema import Draft202012Validator

from harness import SOURCE_DIR, STAGE_DIR, Broker, MgmtSim, Service, Terminal, free_port, wait_for

NIMBOCTL = os.path.join(STAGE_DIR, "bin", "nimboctl")
SERIAL = "NB40000001"


def schema(name):
    with open(os.path.join(SOURCE_DIR, "docs", "schemas", name + ".json")) as f:
        return Draft202012Validator(json.load(f))


class NimboctlCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.term = Terminal(serial=SERIAL)
        cls.broker = Broker()
        cls.sim = MgmtSim(broker_addr=cls.broker.addr)
        ready = cls.term.path("/tmp/alibank.ready")
        cls.term.start_alibank("--ready", ready)
        wait_for(lambda: os.path.exists(ready), 10, what="alibankApp ready")
        # Short retry delays: a failing download ends in seconds.
        cls.svc = Service(cls.term, server_url=cls.sim.url, env={"NIMBO_RETRY_SECOND_MS": "10"})
        cls.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SERIAL, timeout=30)
        # The subscription completes after the log line: probe until the service answers.
        wait_for(lambda: cls.ctl("--timeout", "1", "querySysStatus").returncode == 0, 30, interval=0.2,
                 what="the service answering")

    @classmethod
    def tearDownClass(cls):
        for piece in (cls.svc, cls.sim, cls.broker, cls.term):
            piece.close()

    @classmethod
    def ctl(cls, *args, sn=SERIAL, broker=None, timeout=180):
        argv = [NIMBOCTL, "--broker", broker or cls.broker.url]
        if sn:
            argv += ["--sn", sn]
        return subprocess.run(argv + list(args), capture_output=True, text=True, timeout=timeout)

    def host(self, name, data):
        with open(os.path.join(self.sim.files, name), "wb") as f:
            f.write(data)
        return f"{self.sim.url}/files/{name}"

    def assert_run(self, result, code, out=(), err=()):
        where = f"\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        self.assertEqual(result.returncode, code, where)
        for text in out:
            self.assertIn(text, result.stdout, where)
        for text in err:
            self.assertIn(text, result.stderr, where)
        self.assertNotIn("Traceback", result.stderr)

    # ---- commands and exit status ------------------------------------------------------------
    def test_commands_answers_and_exit_status(self):
        cases = [
            (("querySysStatus",), 0, ("querySysStatus -> " + SERIAL, "done", "batteryPercent", "networkType"), ()),
            (("queryLog", "fileType=log"), 0, ("res", "dmesg.log, app_log.tar.gz"), ()),
            (("reboot", "rebootType=3"), 1, (), ("reboot failed on " + SERIAL + ": Invalid parameter",
                                                 "nimboctl reboot --help")),
            (("send", "noSuchCommand"), 1, (), ("Operation does not support",)),
            (("queryLog", "fileType=pic"), 1, (), ("Operation does not support",)),
            (("devOrgInfo", "organizationId=7"), 0, ("does not answer devOrgInfo",), ()),
            # Refused locally, nothing sent.
            (("apkUpgrade",), 2, (), ("apkUpgrade: needs the parameter apkDownloadUrl", "nothing was sent")),
            (("devLock", "{bad"), 2, (), ("not valid JSON",)),
            (("devLock", "lockType"), 2, (), ("is not a parameter",)),
            (("reboot", "rebootType:=x"), 2, (), ("not JSON",)),
            (("--timeout", "soon", "querySysStatus"), 2, (), ("--timeout takes a number of seconds",)),
            (("bogus",), 2, (), ("unknown command 'bogus'", "nimboctl send bogus")),
            (("devlok",), 2, (), ("did you mean 'devLock'?",)),
            # What the catalogue knows to be wrong is not sent; the corrected form is shown.
            (("devLock", "lockType:=1"), 2, (), ("lockType must be a string", "nothing was sent",
                                                 "nimboctl --sn " + SERIAL + " devLock lockType=1")),
            (("queryLog", "fileType=log", "queryType:=3"), 2, (), ("queryLog fileType=log queryType=3",)),
            (("customResourcePoster", "action=delete", "position:=1"), 2, (), ("needs the parameter md5sum",)),
            # The service answers status "2" but did nothing: not a success.
            (("customResourcePoster", "action=delete", "position:=7", "md5sum=" + "0" * 32, "fileName=x.png"), 1, (),
             ("Resources do not exist (nothing was done)",)),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                self.assert_run(self.ctl(*args), code, out, err)
        # An unknown parameter is only warned about; send passes anything unchecked.
        self.assert_run(self.ctl("queryLog", "fileType=log", "queryTyp=all"), 0, (), ("did you mean queryType?",))
        self.assert_run(self.ctl("send", "devLock", "lockType:=0"), 0, ("done: Success",))
        # With --json the errors are JSON objects too.
        err = json.loads(self.ctl("--json", "devLock", "lockType:=1").stdout)
        self.assertEqual((err["error"], err["exit"]), ("usage", 2))
        self.assertIn("devLock lockType=1", err["hint"])
        self.assert_run(self.ctl("querySysStatus", sn=None), 2, (), ("give --sn",))

    def test_json_output_is_the_raw_reply(self):
        r = self.ctl("--json", "--task-id", "ops-7", "querySysStatus")
        self.assert_run(r, 0)
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 1, r.stdout)
        reply = json.loads(lines[0])
        self.assertEqual((reply["cmd"], reply["sn"], reply["taskId"]), ("querySysStatusResp", SERIAL, "ops-7"))
        self.assertEqual(reply["param"]["status"], "2")
        # The live reply is what the protocol reference documents.
        schema("reply.envelope").validate(reply)
        schema("querySysStatus.reply").validate(reply["param"])
        # A generated taskId when none is given.
        reply = json.loads(self.ctl("--json", "querySysStatus").stdout)
        self.assertRegex(reply["taskId"], r"^nimboctl-\d+-[0-9a-f]{6}$")

    # ---- long tasks ---------------------------------------------------------------------------
    def test_long_task_progress_and_final_reply(self):
        data = os.urandom(400_000)
        url = self.host("shop.zip", data)
        # --file fills md5sum and apkSize from the file that is served; the size gives byte figures.
        good = self.ctl("--file", os.path.join(self.sim.files, "shop.zip"), "apkUpgrade", "apkDownloadUrl=" + url,
                        "applicationName=shop", "apkVersion=1.0.3", "progress:=0")
        self.assert_run(good, 0, ("accepted", "progress 100.00%  400 kB of 400 kB", "Installing", "done",
                                  "applicationName  shop"))

        raw = self.ctl("--json", "apkUpgrade", "apkDownloadUrl=" + url, "md5sum=" + "0" * 32, "applicationName=shop",
                       "progress:=0")
        self.assertEqual(raw.returncode, 1, raw.stdout + raw.stderr)
        replies = [json.loads(line) for line in raw.stdout.splitlines()]
        statuses = [r["param"]["status"] for r in replies]
        self.assertEqual(statuses[0], "1")
        self.assertEqual(statuses[-1], "3")
        self.assertTrue(all(r["cmd"] == "apkUpgradeResp" for r in replies))
        for r in replies:
            schema("reply.envelope").validate(r)
            schema("apkUpgrade.reply").validate(r["param"])
        self.assertIn("apkUpgrade failed on " + SERIAL + ": md5 failed", raw.stderr)

        # --no-wait returns after the acceptance; the task still ends on the device.
        quick = self.ctl("--no-wait", "--task-id", "ops-nowait", "getLog", "fileType=log",
                         "downloadFileUrl=" + self.sim.url + "/logs", "filePath=/" + SERIAL + "/dmesg.log")
        self.assert_run(quick, 0, ("accepted", "--no-wait"))
        wait_for(lambda: any(r.get("path", "").startswith("/logs/" + SERIAL) for r in self.sim.requests()), 30,
                 what="the log upload")

    def test_progress_bar_on_a_terminal(self):
        data = os.urandom(600_000)
        url = self.host("bar.zip", data)
        self.sim.config(throttle=400_000)
        self.addCleanup(self.sim.config, throttle=0)
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(NIMBOCTL, [NIMBOCTL, "--broker", self.broker.url, "--sn", SERIAL, "apkUpgrade",
                                "apkDownloadUrl=" + url, "md5sum=" + hashlib.md5(data).hexdigest(),
                                "applicationName=bar", "progress:=0"])
        out = b""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        text = out.decode("utf-8", "replace")
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, text)
        self.assertIn("\r  [", text)                       # a redrawn bar, not one line per report
        self.assertIn("[" + "#" * 30 + "] 100.00%", text)
        self.assertNotIn("progress 100.00%", text)
        self.assertIn("Installing", text)

    # ---- failures of the link -----------------------------------------------------------------
    def test_no_reply_and_no_broker(self):
        self.assert_run(self.ctl("--timeout", "2", "querySysStatus", sn="NB-NOBODY"), 3, (),
                        ("no reply from NB-NOBODY within 2 s", "--timeout"))
        closed = f"tcp://127.0.0.1:{free_port()}"
        self.assert_run(self.ctl("querySysStatus", broker=closed), 4, (),
                        ("cannot connect to the broker at " + closed, "Check that the broker is running"))
        self.assert_run(self.ctl("querySysStatus", broker="http://x/"), 2, (), ("is not a broker address",))

    # ---- watch ---------------------------------------------------------------------------------
    def test_watch_prints_the_lock_alert(self):
        watch = subprocess.Popen([NIMBOCTL, "--broker", self.broker.url, "--sn", SERIAL, "watch", "--count", "1",
                                  "--for", "120"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: watch.poll() is None and watch.kill())
        self.assertIn("watching " + SERIAL, watch.stderr.readline())   # subscribed
        try:
            self.assert_run(self.ctl("devLock", "lockType=1"), 0, ("done: Success",))
            out, _ = watch.communicate(timeout=120)
            self.assertEqual(watch.returncode, 0)
            self.assertRegex(out, SERIAL + r"  alert  LockDevice active \(critical\) at \d{4}-\d\d-\d\d ")
            # Locked: the service refuses parameter changes, and nimboctl says how to unlock.
            self.assert_run(self.ctl("setDevParam", "brightness:=80"), 1, (),
                            ("Device is locked", "devLock lockType=0"))
        finally:
            raw = subprocess.Popen([NIMBOCTL, "--broker", self.broker.url, "--sn", SERIAL, "--json", "watch",
                                    "--count", "1", "--for", "120"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
            time.sleep(0.5)
            self.assert_run(self.ctl("devLock", "lockType=0"), 0)
            out, _ = raw.communicate(timeout=120)
        alert = json.loads(out)
        self.assertEqual((alert["cmd"], alert["param"]["msgName"], alert["param"]["alertStatus"]),
                         ("alert", "LockDevice", "cleared"))

    # ---- the simulator as a tool (the README's command line) ------------------------------------
    def test_simulator_lists_files_and_takes_uploads(self):
        from harness import PYTHON, Scratch
        work = Scratch("nimbo-simtool-")
        self.addCleanup(work.close)
        packages, logs = os.path.join(work.path, "packages"), os.path.join(work.path, "logs")
        os.makedirs(packages)
        data = os.urandom(50_000)
        with open(os.path.join(packages, "tool.zip"), "wb") as f:
            f.write(data)
        port = free_port()
        sim = subprocess.Popen([PYTHON, os.path.join(SOURCE_DIR, "tools", "mgmt_sim.py"), "--port", str(port),
                                "--broker", self.broker.url, "--files", packages, "--uploads", logs],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(lambda: (sim.terminate(), sim.wait(10)))
        lines = [sim.stdout.readline() for _ in range(5)]
        listed = [line for line in lines if "tool.zip" in line]
        self.assertEqual(len(listed), 1, lines)
        md5 = re.search(r"md5 ([0-9a-f]{32})", listed[0]).group(1)
        url = re.search(r"(http://\S+/files/tool\.zip)", listed[0]).group(1)
        self.assertEqual(md5, hashlib.md5(data).hexdigest())
        self.assertIn("bootstrap", "".join(lines))
        # What it printed is what an upgrade needs.
        self.assert_run(self.ctl("apkUpgrade", "apkDownloadUrl=" + url, "md5sum=" + md5, "applicationName=tool"), 0,
                        ("done",))
        self.assert_run(self.ctl("getLog", "fileType=log", f"downloadFileUrl=http://127.0.0.1:{port}/logs",
                                 "filePath=/" + SERIAL + "/dmesg.log"), 0, ("done",))
        self.assertRegex(sim.stdout.readline(), r"^upload received: " + re.escape(logs) + r"/dmesg_\d+\.log ")
        self.assertEqual(len(os.listdir(logs)), 1)

    # ---- help -----------------------------------------------------------------------------------
    def test_help_for_every_subcommand(self):
        listing = subprocess.run([NIMBOCTL, "commands"], capture_output=True, text=True)
        names = [line.split()[0] for line in listing.stdout.splitlines() if line.startswith("  ")]
        self.assertIn("apkUpgrade", names)
        self.assertGreaterEqual(len(names), 15)
        for name in names + ["watch", "send", "follow", "list"]:
            with self.subTest(name=name):
                r = subprocess.run([NIMBOCTL, name, "--help"], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.startswith("nimboctl " + name + " - "), r.stdout[:80])
        r = subprocess.run([NIMBOCTL, "--help"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0)
        self.assertIn("Exit status", r.stdout)
        r = subprocess.run([NIMBOCTL, "--version"], capture_output=True, text=True)
        self.assertRegex(r.stdout, r"^nimboctl \d+\.\d+\.\d+\n$")
        # The bash completion's source: command names, then a command's parameter words.
        r = subprocess.run([NIMBOCTL, "_complete", "devLock"], capture_output=True, text=True)
        self.assertEqual(r.stdout.split(), ["lockType=", "pwd="])


if __name__ == "__main__":
    unittest.main()

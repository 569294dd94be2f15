"""The server-side contract of docs/protocol.md ("Server side") against the running agent: a
broker set up from the documented access control and passwords alone, the documented bootstrap
exchange, the documented signing of downloads and uploads, the MQTT identity, presence, and a
terminal without a serial number staying offline."""
import hashlib
import json
import os
import re
import signal
import subprocess
import unittest

from harness import SOURCE_DIR, STAGE_DIR, Broker, MgmtSim, Service, Terminal, wait_for

NIMBOCTL = os.path.join(STAGE_DIR, "bin", "nimboctl")
SERIAL = "NB20260001"          # the serial number of the documented examples
SERVER_USER, SERVER_PASSWORD = "mdm-server", "server-secret"


def server_side_docs():
    with open(os.path.join(SOURCE_DIR, "docs", "protocol.md")) as f:
        text = f.read()
    return text.split("\n## Server side\n", 1)[1].split("\n## Envelopes\n", 1)[0]


def blocks(markdown, tag):
    return [b.strip("\n") for b in re.findall(r"```" + tag + r"\n(.*?)```", markdown, re.S)]


def header_lines(block):
    return dict(line.split(": ", 1) for line in block.splitlines()[1:] if ": " in line)


def token(key, name, stamp):
    return hashlib.md5(f"{key}&{name}&{stamp}".encode()).hexdigest()


class ServerContract(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.docs = server_side_docs()
        cls.keys = dict(re.findall(r"the (download|upload) key, `([0-9a-f]{32})`", cls.docs))
        passwords = blocks(cls.docs, "passwords")[0]
        cls.terminal_password = dict(line.split(":", 1) for line in passwords.splitlines())[SERIAL]

        # A broker configured from the documented lines only (plus its listener and files).
        cls.broker = Broker()
        cls.broker.stop()
        folder = os.path.dirname(cls.broker.conf)
        with open(os.path.join(folder, "acl"), "w") as f:
            f.write(blocks(cls.docs, "acl")[0] + "\n")
        pw = os.path.join(folder, "passwords")
        # The password file made by the documented commands, as printed (its folder moved here).
        commands = blocks(cls.docs, "shell")[0].replace("/etc/mosquitto/", folder + "/")
        subprocess.run(["bash", "-euc", commands], check=True, env=dict(os.environ, SERVER_PASSWORD=SERVER_PASSWORD))
        # The broker reads them after dropping root (as the user mosquitto).
        os.chmod(folder, 0o755)
        for name in ("acl", "passwords"):
            os.chmod(os.path.join(folder, name), 0o644)
        # The documented configuration, as printed but for its port and folder.
        conf = blocks(cls.docs, "mosquitto")[0].replace("/etc/mosquitto/", folder + "/")
        conf = re.sub(r"(?m)^listener 1883$", f"listener {cls.broker.port} 127.0.0.1", conf)
        with open(cls.broker.conf, "w") as f:
            f.write(f"persistence false\n{conf}\n")
        cls.broker.start()
        cls.broker_log = os.path.join(folder, "mosquitto.log")

        cls.term = Terminal(serial=SERIAL)
        cls.sim = MgmtSim(broker_addr=cls.broker.addr)
        cls.svc = Service(cls.term, server_url=cls.sim.url, ini={"mqtt": {"presence": "1"}})
        cls.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SERIAL, timeout=30)
        wait_for(lambda: cls.ctl("--timeout", "1", "querySysStatus").returncode == 0, 30, interval=0.3,
                 what="the service answering through the documented access control")

    @classmethod
    def tearDownClass(cls):
        for piece in (cls.svc, cls.sim, cls.broker, cls.term):
            piece.close()

    @classmethod
    def ctl(cls, *args, password=SERVER_PASSWORD):
        argv = [NIMBOCTL, "--broker", cls.broker.url, "--username", SERVER_USER, "--password", password,
                "--sn", SERIAL, *args]
        return subprocess.run(argv, capture_output=True, text=True, timeout=180)

    def request_log(self, path):
        return [r for r in self.sim.requests() if r.get("path") == path]

    def test_bootstrap_as_documented(self):
        request, answer = blocks(self.docs, "http")[:2]
        path = request.split()[1]
        self.assertTrue(self.request_log(path), "the agent asked " + path)
        self.assertEqual(self.request_log(path)[0]["method"], request.split()[0])
        body = answer.split("\n\n", 1)[1]
        self.assertRegex(body, r'^\{"code":100000,"message":"success","data":"[^"]+"\}$')
        self.assertIn("HTTP/1.1 200", answer)

    def test_identity_and_access_control(self):
        with open(self.broker_log) as f:
            log = f.read()
        # Client id "MT_"+serial, clean session, keep-alive 120 s, user name = serial.
        self.assertRegex(log, r"as MT_" + SERIAL + r" \(p\d, c1, k120, u'" + SERIAL + r"'\)")
        # Another password is refused: the broker really checks.
        self.assertEqual(self.ctl("--timeout", "1", "querySysStatus", password="wrong").returncode, 4)

    def test_download_and_upload_signing(self):
        # The worked examples follow the documented formula with the documented keys.
        download = header_lines(blocks(self.docs, "http")[2])
        self.assertEqual(download["token"], token(self.keys["download"], download["filename"], download["timestamp"]))
        form = dict(line.split("=", 1) for line in blocks(self.docs, "form")[0].splitlines())
        self.assertEqual(form["token"], token(self.keys["upload"], form["filename"], form["timestamp"]))

        # The running agent signs the same way.
        path = os.path.join(self.sim.files, "shop.zip")
        with open(path, "wb") as f:
            f.write(os.urandom(20_000))
        r = self.ctl("--file", path, "apkUpgrade", f"apkDownloadUrl={self.sim.url}/files/shop.zip",
                     "applicationName=shop")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        sent = self.request_log("/files/shop.zip")[0]["headers"]
        sent = {k.lower(): v for k, v in sent.items()}
        self.assertEqual(sent["filename"], "shop.zip")
        self.assertEqual(sent["token"], token(self.keys["download"], "shop.zip", sent["timestamp"]))

        r = self.ctl("getLog", "fileType=log", f"downloadFileUrl={self.sim.url}/logs", f"filePath=/{SERIAL}/dmesg.log")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        upload = [q for q in self.sim.requests() if q.get("path", "").startswith("/logs/")][0]["fields"]
        self.assertRegex(upload["filename"], r"^dmesg_\d+\.log$")
        self.assertEqual(upload["token"], token(self.keys["upload"], upload["filename"], upload["timestamp"]))

    def test_poster_exchange_as_documented(self):
        """The customResourcePoster example of the reference, sent as printed (its server moved to
        the simulator): the terminal answers each request as documented."""
        with open(os.path.join(SOURCE_DIR, "docs", "protocol.md")) as f:
            section = f.read().split("\n### customResourcePoster\n", 1)[1].split("\n### ", 1)[0]
        example = blocks(section, "exchange")[0].splitlines()
        with open(os.path.join(self.sim.files, "sale.png"), "w") as f:
            f.write("a")  # the MD5 of the example, 0cc175b9c0f1b6a831c399e269772661
        requests = [i for i, line in enumerate(example) if line.startswith("S> ")]
        for n, at in enumerate(requests):
            request = json.loads(example[at][3:].replace("http://mdm.example.com", self.sim.url))
            documented = [json.loads(line[3:]) for line in example[at + 1:(requests + [len(example)])[n + 1]]]
            with self.subTest(action=request["param"].get("action")):
                r = self.ctl("--json", "--task-id", request["taskId"], "send", request["cmd"],
                             json.dumps(request["param"]))
                replies = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
                replies = [m for m in replies if m.get("cmd") == request["cmd"] + "Resp"]
                self.assertTrue(replies, r.stdout + r.stderr)
                # The first and the final reply as printed (the progress between may vary).
                self.assertEqual(replies[0], documented[0])
                self.assertEqual(replies[-1], documented[-1])

    def test_zz_presence_online_then_offline(self):
        listed = self.ctl("list")
        self.assertRegex(listed.stdout, r"(?m)^  " + SERIAL + r" +online$", listed.stderr)
        # A lost session: the broker publishes the documented last will.
        self.svc.signal(signal.SIGKILL)
        self.svc.wait()
        wait_for(lambda: re.search(SERIAL + r" +offline", self.ctl("list").stdout), 20, interval=0.5,
                 what="the terminal listed offline")


class NoSerialNumber(unittest.TestCase):
    def test_blank_serial_never_goes_online(self):
        broker = Broker()
        self.addCleanup(broker.close)
        sim = MgmtSim(broker_addr=broker.addr)
        self.addCleanup(sim.close)
        term = Terminal(serial="NB1")
        self.addCleanup(term.close)
        term.write("/usr/data/serialnumber", " \n")
        svc = Service(term, server_url=sim.url)
        self.addCleanup(svc.close)
        svc.wait_log(r"device serial number \" \" is empty or unusable")
        svc.wait_log(r"no device serial number, retrying in 30 seconds")
        self.assertEqual([r for r in sim.requests() if "api/v1/mqtt" in r.get("path", "")], [])
        self.assertNotIn("MT_", svc.log_text())


class CommandLine(unittest.TestCase):
    def test_version_and_help_start_nothing(self):
        term = Terminal(serial="NB2")
        self.addCleanup(term.close)
        program = os.path.join(STAGE_DIR, "bin", "nimboservice")
        env = dict(os.environ, NIMBO_DEVICE_ROOT=term.root)
        for args, code, pattern in ((["--version"], 0, r"^nimboservice \d+\.\d+\.\d+ "), (["--help"], 0, r"^Usage: "),
                                    (["--bogus"], 2, r"^$")):
            with self.subTest(args=args):
                r = subprocess.run([program, *args], env=env, capture_output=True, text=True, timeout=10)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertRegex(r.stdout, pattern)
        # No daemon ran: no instance lock, no log.
        self.assertFalse(term.exists("/tmp/nimbo_service_lock"))
        self.assertFalse(term.exists("/usr/data/log/nimbo_log.log"))


if __name__ == "__main__":
    unittest.main()

"""Hostile commands end to end: the corpus in hostile/commands.json (wrong JSON types, missing
keys, 100 KB texts, 1000-deep nesting, invalid UTF-8, path traversal and shell metacharacters
in every server-provided name and id, wildcard characters in topics) against the real program.
Each command gets its refusal or is dropped; afterwards no file exists outside its directory,
no command ran, and the service still answers."""
import hashlib
import json
import os
import threading
import time
import unittest

from harness import Broker, MgmtSim, Scratch, Server, Service, Terminal, wait_for

SN = "NB00000001"
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile", "commands.json")
PACKAGE = b"0123456789abcdef"  # served as h.apk: downloads and verifies, installs nothing
# Where the service writes by design (relative to the device root).
ALLOWED = ("/usr/data/app/nimboservice/", "/usr/data/app/download/", "/usr/data/app/res/", "/usr/data/config/", "/usr/data/log/", "/tmp/")


def tree(root):
    out = set()
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            out.add(os.path.join(d, n)[len(root):])
    return out


class Watch:
    """Polls a directory outside the device root: anything that ever appears there is kept."""

    def __init__(self, path):
        self.path = path
        self.seen = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            self.seen.update(os.listdir(self.path))
            time.sleep(0.02)

    def stop(self):
        self._stop.set()
        self._thread.join()
        self.seen.update(os.listdir(self.path))


class HostileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(CORPUS) as f:
            cls.corpus = json.load(f)

    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.close)
        self.term = Terminal(serial=SN)
        self.addCleanup(self.term.close)
        self.srv = Server(self.broker, sn=SN)
        self.addCleanup(self.srv.close)
        self.sim = MgmtSim(broker_addr=self.broker.addr)
        self.addCleanup(self.sim.close)
        with open(os.path.join(self.sim.files, "h.apk"), "wb") as f:
            f.write(PACKAGE)
        self.outside = Scratch("nimbo-hostile-")
        self.addCleanup(self.outside.close)
        self.mark = os.path.join(self.outside.path, "ran")
        self.before = tree(self.term.root)
        self.watch = Watch(self.outside.path)
        self.addCleanup(self.watch.stop)
        self.svc = Service(self.term, server_url=self.sim.url)
        self.addCleanup(self.svc.close)
        self.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SN, timeout=60)
        self.probes = 0
        wait_for(self._answers, 60, interval=0.2, what="an answer on the command topic")
        self.sent = 0

    # ---- helpers ------------------------------------------------------------------------

    def _answers(self):
        try:
            self.probe(timeout=2)
            return True
        except AssertionError:
            return False

    def probe(self, timeout=30):
        """An unknown command is answered at once; its reply orders everything dispatched before."""
        self.probes += 1
        return self.srv.probe(f"probe-{self.probes}", timeout)

    def fill(self, text):
        out_rel = "../" * 24 + self.outside.path.lstrip("/")
        return (text.replace("{MARK}", self.mark).replace("{OUTABS}", self.outside.path)
                .replace("{OUT}", out_rel).replace("{FILES}", self.sim.url + "/files").replace("{SN}", SN)
                .replace("{MD5}", hashlib.md5(PACKAGE).hexdigest()))

    def fill_obj(self, obj, value=None):
        if isinstance(obj, str):
            s = obj.replace("{V}", value) if value is not None else obj
            return self.fill(s)
        if isinstance(obj, list):
            return [self.fill_obj(x, value) for x in obj]
        if isinstance(obj, dict):
            return {k: self.fill_obj(v, value) for k, v in obj.items()}
        return obj

    def payload(self, case):
        if "raw" in case:
            return self.fill(case["raw"]).encode()
        if "request" in case:
            return json.dumps(self.fill_obj(case["request"]), separators=(",", ":")).encode()
        g = case["generate"]
        if g["kind"] == "big":
            body = {"cmd": "devLock", "taskId": "h-big", "sn": SN, "param": {"lockType": "1", "pwd": "1"}}
            filler = "A" * g["bytes"]
            if g["field"] == "param":
                body["param"] = {"lockType": "1", "pwd": filler}
            else:
                body[g["field"]] = filler
            return json.dumps(body, separators=(",", ":")).encode()
        if g["kind"] == "deep":
            n = g["depth"]
            if g["where"] == "param":
                inner = '{"a":' * n + "1" + "}" * n
                return ('{"cmd":"devLock","taskId":"h-deep","param":' + inner + "}").encode()
            return ("[" * n + "]" * n).encode()
        if g["kind"] == "bytes":
            return bytes.fromhex(g["hex"])
        raise ValueError(g["kind"])

    def task_of(self, payload):
        try:
            t = json.loads(payload.decode("utf-8")).get("taskId")
            return t if isinstance(t, str) else ""
        except (ValueError, AttributeError, RecursionError):
            return None


    def run_case(self, name, payload, expect, reply_cmd=None, fail_des=None, task=None):
        with self.subTest(case=name):
            start = len(self.srv.replies)
            self.srv.send(raw=payload)
            if task is None:
                task = self.task_of(payload)
            if expect == "dropped":
                self.probe()
                got = [r for r, p in self.srv.replies[start:] if not (p and str(p.get("taskId", "")).startswith("probe-"))]
                self.assertEqual(got, [], f"{name}: a dropped command was answered")
            elif expect in ("refused", "answered"):
                def match():
                    for r, p in self.srv.replies[start:]:
                        if not p or str(p.get("taskId", "")).startswith("probe-"):
                            continue
                        if task and p.get("taskId") != task:
                            continue
                        if reply_cmd and p.get("cmd") != reply_cmd:
                            continue
                        param = p.get("param")
                        if isinstance(param, dict) and param.get("status") == "1":
                            continue  # progress
                        return p
                    return None
                try:
                    p = wait_for(match, 30, interval=0.05, what=f"the reply to {name}")
                except AssertionError:
                    seen = [r for r, _ in self.srv.replies[start:]][-5:]
                    raise AssertionError(f"no final reply to {name} within 30 s; seen: {seen}; log tail:\n"
                                         + self.svc.log_text()[-1500:]) from None
                param = p.get("param")
                if expect == "refused":
                    self.assertIsInstance(param, dict, f"{name}: {p}")
                    self.assertEqual(param.get("status"), "3", f"{name}: {p}")
                    if fail_des:
                        self.assertEqual(param.get("failDes"), fail_des, f"{name}: {p}")
            else:
                self.probe()
            self.assertIsNone(self.svc.returncode, f"the service ended after {name}")

    def assert_contained(self):
        self.watch.stop()
        self.assertEqual(self.watch.seen, set(), "files appeared outside the device directories")
        self.assertFalse(os.path.exists(self.mark), "a server-provided text ran as a command")
        new = tree(self.term.root) - self.before
        stray = sorted(p for p in new if not p.startswith(ALLOWED) and not any(a.startswith(p + "/") for a in ALLOWED))
        self.assertEqual(stray, [], "files appeared outside the service's directories")
        # The service keeps answering.
        self.probe()
        self.assertIsNone(self.svc.returncode)

    # ---- tests ----------------------------------------------------------------------------

    def test_bad_commands(self):
        for case in self.corpus["cases"]:
            self.run_case(case["name"], self.payload(case), case["expect"], case.get("reply_cmd"),
                          case.get("failDes"))
        self.assert_contained()

    def test_hostile_names_and_ids(self):
        names = self.corpus["names"]
        n = 0
        only = os.environ.get("NIMBO_HOSTILE_ONLY")  # e.g. "apkUpgrade" while debugging
        for field in names["fields"]:
            if only and field["cmd"] != only:
                continue
            for value in names["values"]:
                n += 1
                task = f"h-n{n}"
                body = {"cmd": field["cmd"], "taskId": task, "sn": SN, "param": self.fill_obj(field["param"], value)}
                if "task" in field:
                    body["taskId"] = task = self.fill_obj(field["task"], value)
                if "sn" in field:
                    body["sn"] = self.fill_obj(field["sn"], value)
                expect = "refused" if field["cmd"] == "nope" else ("any" if "task" in field else "answered")
                label = f"{field['cmd']} {sorted(field['param'])} = {value!r}"
                self.run_case(label, json.dumps(body, separators=(",", ":")).encode(), expect,
                              task=task if expect != "any" else None)
        self.assert_contained()

    def test_wildcards_in_organisation_topics(self):
        # Identifiers that would make a topic filter wider than the device's own topics, or
        # invalid ("#" not last): the broker must never deliver another device's commands.
        start = len(self.srv.replies)
        self.srv.send("devOrgInfo", param={"organizationId": "+", "departmentId": "#", "groupId": "a/+"},
                      task_id="h-org")
        self.probe()
        for topic in ("/e/x/ma/d/default", "/e/x/ma/d/y", "/e/x/ma/g/z", "/e/x/ma/g/a/b", "/e/x/ma/g/a/x"):
            self.srv.send("nope", task_id="h-wild", topic=topic)
        self.probe()
        got = [r for r, p in self.srv.replies[start:] if p and p.get("taskId") == "h-wild"]
        self.assertEqual(got, [], "a command on another organisation's topic reached the device")
        self.assert_contained()


if __name__ == "__main__":
    unittest.main()

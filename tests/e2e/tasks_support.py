"""Shared set-up of the long-task tests: a connected service on a simulated terminal, the
management simulator hosting packages and taking uploads, and helpers for the task replies."""
import hashlib
import io
import os
import unittest
import zipfile

from fault_proxy import FaultProxy
from harness import MgmtSim, Service, open_device, wait_for

APP = "/usr/data/app"
DATA = APP + "/nimboservice/data"
DOWNLOAD = APP + "/nimboservice/download"
CACHE = APP + "/nimboservice/cache"
TASK_FILE = DATA + "/task_cmd"
PAUSED = "The task is paused and restarted the next time connect to the server"


def payload(size, seed=b"nimbo"):
    """Deterministic, incompressible-looking bytes."""
    out = bytearray()
    block = seed
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:size])


def md5(data):
    return hashlib.md5(data).hexdigest()


def ota_zip(oem=False, filler=0):
    """A firmware package the installer can unpack."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        z.writestr("ota_config.in", "name=fw\n" + ("type=oem\n" if oem else "type=all\n"))
        z.writestr("image.bin", payload(filler or 1000, b"image"))
    return buf.getvalue()


class TaskCase(unittest.TestCase):
    SERIAL = "NB30000001"
    TERMINAL_ARGS = ()

    def setUp(self):
        open_device(self, self.SERIAL, self.TERMINAL_ARGS)
        self.svc = self.start_service()

    # ---- pieces ------------------------------------------------------------------------------
    def start_service(self):
        svc = Service(self.term, server_url=self.sim.url)
        self.addCleanup(svc.close)
        # Connected: the command topic is subscribed (the first connection's callback).
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + self.SERIAL, timeout=30)
        return svc

    def route_through_relay(self):
        """Starts the service again so that it reaches the broker through a relay that can cut
        the link (a second simulator names it); returns the relay."""
        proxy = FaultProxy(self.broker.port, mqtt=True)
        self.addCleanup(proxy.close)
        self.svc.kill()
        self.sim = MgmtSim(broker_addr=f"127.0.0.1:{proxy.port}")
        self.addCleanup(self.sim.close)
        self.svc = self.start_service()
        return proxy

    def host(self, name, data):
        """Puts a file on the simulator; returns its download URL."""
        with open(os.path.join(self.sim.files, name), "wb") as f:
            f.write(data)
        return f"{self.sim.url}/files/{name}"

    def file_requests(self, name=None):
        return [r for r in self.sim.requests()
                if r["method"] == "GET" and r["path"].startswith("/files/" + (name or ""))]

    def uploads(self):
        return [r for r in self.sim.requests() if r["method"] == "POST" and not r["path"].startswith("/_sim")]

    # ---- replies -------------------------------------------------------------------------------
    def replies(self, cmd, task_id, start=0):
        with self.server._cond:
            return [p for _, p in self.server.replies[start:]
                    if p and p.get("cmd") == cmd + "Resp" and p.get("taskId") == task_id]

    def params(self, cmd, task_id, start=0):
        return [p["param"] for p in self.replies(cmd, task_id, start)]

    def wait_param(self, cmd, task_id, predicate, timeout=60, start=0, what="reply"):
        def found():
            for p in self.params(cmd, task_id, start):
                if predicate(p):
                    return p
            return None
        try:
            return wait_for(found, timeout, interval=0.1, what=what)
        except AssertionError:
            raise AssertionError(f"no {cmd} {what} for {task_id}; got {self.params(cmd, task_id, start)};\n"
                                 f"log tail:\n{self.svc.log_text()[-3000:]}") from None

    def wait_final(self, cmd, task_id, timeout=90, start=0):
        return self.wait_param(cmd, task_id, lambda p: p.get("status") in ("2", "3"), timeout, start, "final reply")

    def send(self, cmd, param, task_id):
        start = len(self.server.replies)
        self.server.send(cmd, param, task_id=task_id)
        return start

    def command(self, cmd, param, task_id, timeout=15):
        """Sends the command; returns the first reply's parameter."""
        start = self.send(cmd, param, task_id)
        _, reply = self.server.wait_reply(cmd + "Resp", task_id=task_id, timeout=timeout, start=start)
        self.assertEqual(reply["sn"], self.SERIAL)
        return reply["param"]

    # ---- device --------------------------------------------------------------------------------
    def exists(self, abs_path):
        return self.term.exists(abs_path)

    def size(self, abs_path):
        try:
            return os.path.getsize(self.term.path(abs_path))
        except FileNotFoundError:
            return -1

    def read_bytes(self, abs_path):
        with open(self.term.path(abs_path), "rb") as f:
            return f.read()

    def assert_signed(self, request, name):
        """A download request carries the three authentication headers for `name`."""
        headers = {k.lower(): v for k, v in request["headers"].items()}
        self.assertEqual(headers.get("filename"), name)
        self.assertRegex(headers.get("timestamp", ""), r"^\d+$")
        self.assertEqual(headers.get("token"),
                         hashlib.md5(f"5f1c0a9e7b3d42e8a6c4f09b18d27e63&{name}&{headers['timestamp']}".encode())
                         .hexdigest())

"""Shared pieces of the fault-injection tests: seeds, the shortened retry delays, a connected
service on a simulated terminal with the payment-application stand-in, and the figures of a
run (appended as JSON lines to $NIMBO_FAULT_REPORT when it is set).

  NIMBO_FAULT_SEEDS       seeds per randomised test (default 5; the report run uses 20+)
  NIMBO_FAULT_SEED_BASE   first seed (default 1): seeds are BASE .. BASE+SEEDS-1
  NIMBO_FAULT_REPORT      file that collects one JSON line of figures per test
"""
import json
import os
import time

from harness import Service, wait_for
from tasks_support import TaskCase

SEEDS = max(1, int(os.environ.get("NIMBO_FAULT_SEEDS", "5")))
SEED_BASE = int(os.environ.get("NIMBO_FAULT_SEED_BASE", "1"))
# One second of the download driver's retry delays, in milliseconds (60 s waits become 0.6 s).
RETRY_SECOND_MS = "10"
RESTART_TIMEOUT = 120


def seeds():
    return range(SEED_BASE, SEED_BASE + SEEDS)


def record(test, **figures):
    """Appends the figures of one test to the report file, when one is named."""
    path = os.environ.get("NIMBO_FAULT_REPORT")
    figures = dict(test=test, when=time.strftime("%Y-%m-%d %H:%M:%S"), **figures)
    print("FIGURES " + json.dumps(figures), flush=True)
    if path:
        with open(path, "a") as f:
            f.write(json.dumps(figures) + "\n")


class FaultCase(TaskCase):
    """TaskCase with short retry delays and the payment-application stand-in running."""
    SERIAL = "NB40000001"
    ALIBANK = True
    SERVICE_ENV = {}

    def setUp(self):
        super().setUp()
        if self.ALIBANK:
            ready = self.term.path("/tmp/alibank.ready")
            self.term.start_alibank("--ready", ready)
            wait_for(lambda: os.path.exists(ready), 10, what="alibankApp ready")

    def service_env(self):
        env = {"NIMBO_RETRY_SECOND_MS": RETRY_SECOND_MS}
        env.update(self.SERVICE_ENV)
        return env

    def start_service(self, wait=True):
        svc = Service(self.term, server_url=self.sim.url, env=self.service_env())
        self.addCleanup(svc.close)
        if wait:
            svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + self.SERIAL, timeout=60)
        return svc

    def restart(self):
        """Kills the service (SIGKILL) and starts it again."""
        self.svc.kill()
        self.svc = self.start_service()

    def finals(self, cmd, task_id, start=0):
        return [p for p in self.params(cmd, task_id, start) if p.get("status") in ("2", "3")]

    def data_files(self):
        """The names in the service's data directory (state files and backups)."""
        try:
            return sorted(os.listdir(self.term.data_path))
        except FileNotFoundError:
            return []

    def backups(self):
        return [n for n in self.data_files() if n.startswith("message_")]

    def assert_no_torn_state(self):
        """Every state file the service keeps is whole: JSON where JSON is kept, one line each."""
        data = self.term.data_path
        for name in self.data_files():
            path = os.path.join(data, name)
            if name.startswith(".") or not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                text = f.read()
            if name == "task_cmd" or name.startswith("message_"):
                self.assertTrue(text.endswith(b"\n"), f"{name} torn: {text[-80:]!r}")
                json.loads(text)

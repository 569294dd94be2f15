"""Shared set-up of the control tests: a connected service on a simulated terminal with the
payment-application stand-in, and helpers for commands, device state and signals."""
import os
import signal
import subprocess
import unittest

from harness import PYTHON, SOURCE_DIR, Service, open_device, wait_for

DATA = "/usr/data/app/nimboservice/data"
DEVCONFIG = "/usr/data/config/DEVCONFIG"
DEVSTATE = "/usr/data/config/DEVSTATE"
SUCCESS = {"status": "2", "failDes": "Success"}


def pay_signal(n):
    """The host's signal for payment-application number n (the mapping off MIPS)."""
    return signal.SIGRTMIN + 4 + (n - 89)


class ControlCase(unittest.TestCase):
    SERIAL = "NB20000001"
    ALIBANK_ARGS = ()        # extra stand-in options; None: no stand-in
    TERMINAL_ARGS = ()

    def setUp(self):
        open_device(self, self.SERIAL, self.TERMINAL_ARGS)
        if self.ALIBANK_ARGS is not None:
            self.start_alibank(*self.ALIBANK_ARGS)
        self.svc = self.start_service()

    # ---- pieces ------------------------------------------------------------------------------
    def start_alibank(self, *args):
        ready = self.term.path("/tmp/alibank.ready")
        if os.path.exists(ready):
            os.unlink(ready)
        self.term.start_alibank("--ready", ready, *args)
        wait_for(lambda: os.path.exists(ready), 10, what="alibankApp ready")

    def stop_alibank(self):
        if self.term.alibank and self.term.alibank.poll() is None:
            self.term.alibank.terminate()
            self.term.alibank.wait(10)

    def start_service(self):
        svc = Service(self.term, server_url=self.sim.url)
        self.addCleanup(svc.close)
        svc.wait_log(r"connection callback", timeout=30)
        self.wait_answering()
        return svc

    def wait_answering(self):
        """The subscription completes after the callback: probe until a command is answered."""
        for attempt in range(20):
            try:
                self.server.probe(f"probe-{attempt}", timeout=1, cmd="controlProbe")
                return
            except AssertionError:
                continue
        raise AssertionError("the service never answered a command")

    def restart_service(self):
        self.svc.stop()
        self.svc = self.start_service()

    # ---- commands -------------------------------------------------------------------------------
    def command(self, cmd, param, task_id="t1", timeout=15):
        """Sends the command; returns the parsed reply envelope."""
        start = len(self.server.replies)
        self.server.send(cmd, param, task_id=task_id)
        _, reply = self.server.wait_reply(cmd + "Resp", task_id=task_id, timeout=timeout, start=start)
        return reply

    def assert_reply(self, reply, cmd, param, task_id="t1"):
        self.assertEqual(reply, {"cmd": cmd + "Resp", "sn": self.SERIAL, "taskId": task_id, "param": param})

    # ---- device --------------------------------------------------------------------------------
    def devstate(self, *pairs):
        subprocess.run([PYTHON, os.path.join(SOURCE_DIR, "tools", "terminal_sim.py"), "devstate", self.term.root,
                        *pairs], check=True)

    def data_file(self, name):
        path = self.term.path(f"{DATA}/{name}")
        try:
            with open(path) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def signal_service(self, n):
        os.kill(self.svc.pid, pay_signal(n))

    def wait_signals(self, wanted, timeout=20):
        """Waits until the stand-in has received the numbers of `wanted` in that order."""
        def seen():
            got = self.term.signals_received()
            it = iter(got)
            return got if all(any(x == w for x in it) for w in wanted) else None
        try:
            return wait_for(seen, timeout, interval=0.1, what=f"signals {wanted}")
        except AssertionError:
            raise AssertionError(f"stand-in got {self.term.signals_received()}, wanted {wanted} in order") from None

    def reports(self, cmd, start=0):
        with self.server._cond:
            return [p for _, p in self.server.reports[start:] if p and p.get("cmd") == cmd]

    def wait_alert(self, name, status, start=0, timeout=20):
        def found():
            for p in self.reports("alert", start):
                if p["param"]["msgName"] == name and p["param"]["alertStatus"] == status:
                    return p
            return None
        try:
            return wait_for(found, timeout, interval=0.1, what=f"{name} {status} alert")
        except AssertionError:
            raise AssertionError(f"no {name} {status} alert; alerts: {self.reports('alert', start)}") from None

    def alerts(self, name, start=0):
        return [p["param"]["alertStatus"] for p in self.reports("alert", start) if p["param"]["msgName"] == name]

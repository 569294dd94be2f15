"""The MQTT session against a real broker: identity, envelopes, admission rules, task gate,
offline backup of QoS 2 replies, resumption of the stored task, organisation topics."""
import fcntl
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

from harness import Broker, MgmtSim, Server, Service, Terminal, free_port, needs_mosquitto, wait_for

SN = "NB" + "0" * 29 + "1"  # 32 bytes: the whole serial number is the identity
DATA = "/usr/data/app/nimboservice/data"
TASK_FILE = DATA + "/task_cmd"
PAY_LOCK = "/tmp/nimbo_pay_lock"


class Proxy:
    """A TCP relay between the service and the broker. hold() swallows what the device sends
    from now on (its replies never reach the broker); cut() drops every connection."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.holding = threading.Event()
        self.pairs = []
        self.lock = threading.Lock()
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                dev, _ = self.listener.accept()
            except OSError:
                return
            try:
                up = socket.create_connection(("127.0.0.1", self.target_port), timeout=2)
            except OSError:
                dev.close()
                continue
            with self.lock:
                self.pairs.append((dev, up))
            threading.Thread(target=self._pump, args=(dev, up, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(up, dev, False), daemon=True).start()

    def _pump(self, src, dst, upstream):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if upstream and self.holding.is_set():
                    continue
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def hold(self):
        self.holding.set()

    def cut(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        self.holding.clear()
        for pair in pairs:
            for s in pair:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.closed = True
        self.cut()
        self.listener.close()


class SessionTest(unittest.TestCase):
    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.close)
        self.term = Terminal(serial=SN)
        self.addCleanup(self.term.close)
        self.srv = Server(self.broker, sn=SN)
        self.addCleanup(self.srv.close)
        self.probes = 0

    # ---- helpers ------------------------------------------------------------------------

    def start(self, broker_addr=None, wait=True):
        addr = broker_addr or f"127.0.0.1:{self.broker.port}"
        if not hasattr(self, "sim"):
            self.sim = MgmtSim(broker_addr=addr)
            self.addCleanup(self.sim.close)
        svc = Service(self.term, server_url=self.sim.url)
        self.addCleanup(svc.close)
        if wait:
            self.ready(svc)
        return svc

    def probe(self, timeout=15):
        """A command that is answered at once; its reply orders everything dispatched before."""
        self.probes += 1
        return self.srv.probe(f"probe-{self.probes}", timeout)

    def ready(self, svc, timeout=30):
        """Waits until the service answers on its command topic (subscription active)."""
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SN, timeout=timeout)

        def answered():
            try:
                self.probe(timeout=1)
                return True
            except AssertionError:
                return False

        wait_for(answered, timeout, interval=0.1, what="an answer on the command topic")

    def broker_down(self):
        self.srv._connected.clear()
        self.broker.stop()

    def broker_up(self):
        self.broker.start()
        self.assertTrue(self.srv._connected.wait(15), "server client reconnect")

    def replies_since(self, start, cmd=None):
        return [(r, p) for r, p in self.srv.replies[start:] if p and (cmd is None or p.get("cmd") == cmd)]

    def data(self, name):
        return self.term.path(DATA + "/" + name)

    # ---- identity and envelopes -------------------------------------------------------------

    @needs_mosquitto
    def test_identity_credentials_and_options(self):
        # A second listener that only admits the device's credentials.
        auth_port = free_port()
        # Readable by the broker after it drops its privileges.
        pw_dir = tempfile.mkdtemp(prefix="nimbo-pw-")
        self.addCleanup(shutil.rmtree, pw_dir, True)
        os.chmod(pw_dir, 0o755)
        pw = os.path.join(pw_dir, "passwd")
        subprocess.run(["mosquitto_passwd", "-b", "-c", pw, SN, "kestr.482"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(pw, 0o644)
        self.broker_down()
        with open(self.broker.conf, "w") as f:
            f.write(f"per_listener_settings true\nlog_type all\n"
                    f"listener {self.broker.port} 127.0.0.1\nallow_anonymous true\n"
                    f"listener {auth_port} 127.0.0.1\nallow_anonymous false\npassword_file {pw}\n")
        self.broker_up()
        svc = self.start(broker_addr=f"127.0.0.1:{auth_port}")
        log = open(os.path.join(os.path.dirname(self.broker.conf), "mosquitto.log")).read()
        self.assertRegex(log, rf"New client connected from 127\.0\.0\.1:\d+ as MT_{SN} \(p\d, c1, k120, u'{SN}'\)")
        self.assertIn(f"mqtt client_id: MT_{SN}", svc.log_text())

    def test_reply_envelopes(self):
        self.start()
        cases = [
            # (request as sent, expected reply text); unknown command, no taskId.
            ('{"cmd":"nope","sn":"%s"}' % SN,
             '{"cmd":"nopeResp","sn":"%s","param":{"status":"3","failDes":"Operation does not support"}}' % SN),
            # Missing "sn": the device's serial number; taskId kept.
            ('{"cmd":"nope","taskId":"t-1"}',
             '{"cmd":"nopeResp","sn":"%s","taskId":"t-1","param":{"status":"3","failDes":"Operation does not support"}}'
             % SN),
            # Another "sn" is echoed.
            ('{"cmd":"nope","taskId":"t-2","sn":"OTHER"}',
             '{"cmd":"nopeResp","sn":"OTHER","taskId":"t-2","param":{"status":"3","failDes":"Operation does not support"}}'),
            # Success: a handler that answers through the dispatcher's standard reply.
            ('{"cmd":"geofence","taskId":"g-1","param":{"geofenceCoordinates":"","geofenceRadius":""}}',
             '{"cmd":"geofenceResp","sn":"%s","taskId":"g-1","param":{"status":"2","failDes":"Success"}}' % SN),
            # Failure with the result code's text: parameters that do not parse.
            ('{"cmd":"devLock","taskId":"d-1","param":"{not json"}',
             '{"cmd":"devLockResp","sn":"%s","taskId":"d-1","param":{"status":"3","failDes":"Operation failed"}}' % SN),
            # An oversized parameter is refused, never cut and executed.
            ('{"cmd":"devLock","taskId":"big","param":{"lockType":"1","pwd":"%s"}}' % ("x" * 3100),
             '{"cmd":"devLockResp","sn":"%s","taskId":"big","param":{"status":"3","failDes":"Invalid parameter"}}' % SN),
        ]
        for request, expected in cases:
            with self.subTest(request=request[:60]):
                start = len(self.srv.replies)
                self.srv.send(raw=request)
                want = json.loads(expected)
                raw, _ = self.srv.wait_reply(want["cmd"], task_id=want.get("taskId"), timeout=10, start=start)
                self.assertEqual(raw, expected)
        self.assertFalse(os.path.exists(self.data("devlock_state")), "the oversized devLock must not run")

    def test_non_json_and_unaddressable_requests_get_no_reply(self):
        svc = self.start()
        start = len(self.srv.replies)
        self.srv.send(raw="this is not json")
        self.srv.send(raw='{"cmd":"nope"} trailing')
        self.srv.send(raw='{"cmd":"nope","taskId":"%s"}' % ("t" * 256))
        self.probe()
        self.assertEqual([r for r, p in self.replies_since(start) if p["cmd"] != "probeResp"], [])
        self.assertIn("failed to parse json", svc.log_text())

    def test_oversized_message_is_answered_and_leaves_no_memory_behind(self):
        svc = self.start()

        def status(key):
            with open(f"/proc/{svc.pid}/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

        mib = 1024
        before = status("VmRSS")
        after = []
        for n in (1, 2):
            start = len(self.srv.replies)
            self.srv.send(raw='{"cmd":"reboot","taskId":"huge-%d","param":"%s"}' % (n, "x" * (16 << 20)))
            _, p = self.srv.wait_reply("rebootResp", task_id=f"huge-{n}", timeout=30, start=start)
            self.assertEqual(p["param"], {"status": "3", "failDes": "Invalid parameter"})
            self.probe()
            after.append(status("VmRSS"))
        self.assertIn("message of 16777", svc.log_text())
        if os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS"):
            return  # a sanitizer's allocator keeps freed memory by design
        # The MQTT library keeps one receive buffer as large as the largest packet it has
        # read, and holds a copy of the payload while the callback runs; nothing else stays
        # or is copied: a second message costs nothing more.
        self.assertLess(after[1] - after[0], 1 * mib, f"before {before} KiB, after {after} KiB")
        self.assertLess(after[0] - before, 17 * mib, f"before {before} KiB, after {after} KiB")
        self.assertLess(status("VmHWM") - before, 36 * mib, "at most the library's two 16 MiB buffers at once")

    # ---- admission rules ---------------------------------------------------------------------

    def test_admission_rules(self):
        self.start()
        locked = "Device is locked, please unlock it and try again."
        busy = "Device is busy, please try again later."

        def answer(cmd, task, param=None):
            start = len(self.srv.replies)
            self.srv.send(cmd, param=param, task_id=task)
            _, p = self.srv.wait_reply(cmd + "Resp", task_id=task, start=start)
            return p["param"]

        # Device lock requested: "setDevParam" refused; "reboot" is not under this rule.
        with open(self.data("devlock_state"), "w") as f:
            f.write("1\n")
        self.assertEqual(answer("setDevParam", "l-1", {}), {"status": "3", "failDes": locked})
        p = answer("reboot", "l-2", {"rebootType": "9"})
        self.assertNotEqual(p.get("failDes"), locked)
        # A refused poster command is answered through the poster's own reply.
        p = answer("customResourcePoster", "l-3", {"action": "insert", "type": "poster"})
        self.assertEqual((p["status"], p["failDes"]), ("3", locked))
        self.assertFalse(self.term.exists(TASK_FILE), "a refused command never reaches the task gate")
        os.unlink(self.data("devlock_state"))

        # A payment in progress: another process holds the write lock on the payment lock file.
        path = self.term.path(PAY_LOCK)
        with open(path, "w") as lock_file:
            fcntl.lockf(lock_file, fcntl.LOCK_EX)
            self.assertEqual(answer("reboot", "p-1", {"rebootType": "1"}), {"status": "3", "failDes": busy})
            self.assertEqual(answer("devLock", "p-2", {"lockType": "1"}), {"status": "3", "failDes": busy})
            self.assertEqual(answer("setDevParam", "p-3", {}), {"status": "3", "failDes": busy})
            fcntl.lockf(lock_file, fcntl.LOCK_UN)
        # Released: the same "devLock" is admitted and carried out.
        self.assertEqual(answer("devLock", "p-4", {"lockType": "0"}), {"status": "2", "failDes": "Success"})

    # ---- task gate -----------------------------------------------------------------------------

    def test_task_gate(self):
        svc = self.start()
        pending = '{"cmd":"apkUpgrade","taskId":"A","param":{"apkDownloadUrl":""}}'
        with open(self.term.path(TASK_FILE), "w") as f:
            f.write(pending + "\n")

        # Another taskId: dropped without a reply, the pending task stays recorded.
        start = len(self.srv.replies)
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="B")
        self.probe()
        self.assertEqual(self.replies_since(start, "apkUpgradeResp"), [])
        self.assertEqual(self.term.read(TASK_FILE), pending + "\n")
        svc.wait_log(r"The last mission is still in progress, cmd: apkUpgrade, taskId: A")

        # The same taskId passes; refused at once (empty URL, answered "3" with QoS 2), the
        # task ends and the record goes, so that later long tasks are not blocked.
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="A")
        _, p = self.srv.wait_reply("apkUpgradeResp", task_id="A")
        self.assertEqual(p["param"], {"status": "3", "failDes": "ApkDownloadUrl is empty"})
        wait_for(lambda: not self.term.exists(TASK_FILE), 10, what="task file removed")
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="B")
        self.srv.wait_reply("apkUpgradeResp", task_id="B")

        # Unparsable stored text: deleted, the command that found it dropped, the next admitted.
        with open(self.term.path(TASK_FILE), "w") as f:
            f.write("{truncated\n")
        start = len(self.srv.replies)
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="C")
        self.probe()
        self.assertEqual(self.replies_since(start, "apkUpgradeResp"), [])
        self.assertFalse(self.term.exists(TASK_FILE))
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="C")
        self.srv.wait_reply("apkUpgradeResp", task_id="C", start=start)

        # Empty file: admitted.
        with open(self.term.path(TASK_FILE), "w") as f:
            f.write("")
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id="D")
        self.srv.wait_reply("apkUpgradeResp", task_id="D")

    # ---- stored task resumption -----------------------------------------------------------------

    def test_stored_task_is_republished_after_restart_and_reconnection(self):
        # Longer than a line buffer: must come back intact.
        stored = json.dumps({"cmd": "apkUpgrade", "taskId": "R1", "sn": SN,
                             "param": {"apkDownloadUrl": "", "note": "n" * 1500}},
                            separators=(",", ":"))
        self.assertGreater(len(stored), 1023)
        os.makedirs(self.term.path(DATA), exist_ok=True)
        with open(self.term.path(TASK_FILE), "w") as f:
            f.write(stored + "\n")

        seen = []
        watcher = Server(self.broker, sn=SN)
        self.addCleanup(watcher.close)
        watcher.client.on_message = lambda c, u, m: seen.append((m.topic, m.qos, m.payload.decode()))
        watcher.client.subscribe("/e/default/ma/d/" + SN, qos=2)

        svc = self.start()
        _, p = self.srv.wait_reply("apkUpgradeResp", task_id="R1")
        self.assertEqual(p["param"], {"status": "3", "failDes": "ApkDownloadUrl is empty"})
        republished = [s for s in seen if s[2] == stored]
        self.assertEqual(len(republished), 1, seen[:3])
        self.assertEqual(republished[0][1], 1)
        self.assertIn("recovery tasks from backup file", svc.log_text())

        # After a reconnection the pending task comes back again.
        with open(self.term.path(TASK_FILE), "w") as f:
            f.write(stored.replace('"R1"', '"R2"') + "\n")
        self.broker_down()
        svc.wait_log(r"mqtt connection lost")
        self.broker_up()
        self.srv.wait_reply("apkUpgradeResp", task_id="R2", timeout=90)

    # ---- offline backup of QoS 2 replies ---------------------------------------------------------

    def qos2_reply_left_in_flight(self, proxy, task):
        """Lets the service produce a QoS 2 reply that never reaches the broker."""
        proxy.hold()
        self.srv.send("apkUpgrade", param={"apkDownloadUrl": ""}, task_id=task)
        backup = self.data("message_" + task)
        wait_for(lambda: os.path.exists(backup), 15, what="backup file")
        with open(backup) as f:
            text = f.read()
        self.assertTrue(text.endswith("\n"))
        self.assertEqual(json.loads(text)["taskId"], task)
        return backup, text[:-1]

    def test_qos2_reply_survives_broker_outage(self):
        proxy = Proxy(self.broker.port)
        self.addCleanup(proxy.close)
        svc = self.start(broker_addr=f"127.0.0.1:{proxy.port}")
        backup, text = self.qos2_reply_left_in_flight(proxy, "Q1")

        self.broker_down()  # the broker goes down with the reply still in flight
        svc.wait_log(r"mqtt connection lost")
        proxy.cut()
        self.assertTrue(os.path.exists(backup), "the lost in-flight reply must stay backed up")
        self.broker_up()
        raw, _ = self.srv.wait_reply("apkUpgradeResp", task_id="Q1", timeout=90)
        self.assertEqual(raw, text)
        wait_for(lambda: not os.path.exists(backup), 15, what="backup deleted after completion")
        svc.wait_log(r"recovery message from file: .*message_Q1")
        self.assertIn("Message sending failed with code", svc.log_text())

    def test_stop_disconnects_and_ends_the_process(self):
        svc = self.start()
        self.assertEqual(svc.stop(), 1)
        self.assertIn("mqtt session stopped", svc.log_text())

    def test_qos2_reply_survives_service_restart(self):
        proxy = Proxy(self.broker.port)
        self.addCleanup(proxy.close)
        svc = self.start(broker_addr=f"127.0.0.1:{proxy.port}")
        backup, text = self.qos2_reply_left_in_flight(proxy, "Q2")
        svc.kill()
        proxy.cut()
        self.assertTrue(os.path.exists(backup))

        self.start(broker_addr=f"127.0.0.1:{proxy.port}", wait=False)
        raw, _ = self.srv.wait_reply("apkUpgradeResp", task_id="Q2", timeout=60)
        self.assertEqual(raw, text)
        wait_for(lambda: not os.path.exists(backup), 15, what="backup deleted after completion")

    # ---- organisation topics ----------------------------------------------------------------------

    def test_devorginfo_once_per_connection(self):
        svc = self.start()

        def answered_on(topic, task):
            start = len(self.srv.replies)
            self.srv.send("orgProbe", task_id=task, topic=topic)
            self.probe()
            return bool(self.replies_since(start, "orgProbeResp"))

        start = len(self.srv.replies)
        self.srv.send("devOrgInfo", param={"organizationId": "7", "departmentId": "", "groupId": "3"}, task_id="o1")
        self.probe()
        self.assertEqual(self.replies_since(start, "devOrgInfoResp"), [], "devOrgInfo is not answered")
        self.assertTrue(answered_on("/e/7/ma/d/default", "a"))
        self.assertTrue(answered_on("/e/7/ma/g/3", "b"))
        self.assertFalse(answered_on("/e/7/ma/d/", "c"))

        # Once per connection: other identifiers change nothing.
        self.srv.send("devOrgInfo", param={"organizationId": "8"}, task_id="o2")
        self.probe()
        self.assertFalse(answered_on("/e/8/ma/d/default", "d"))
        self.assertIn("devorginfo has subscribed", svc.log_text())

        # After a reconnection (clean session: subscriptions gone) it is carried out again.
        self.broker_down()
        svc.wait_log(r"mqtt connection lost")
        self.broker_up()
        svc.wait_log(r"connection callback", count=2, timeout=90)
        self.ready(svc)
        self.srv.send("devOrgInfo", param={"organizationId": "8", "groupId": "g"}, task_id="o3")
        self.probe()
        self.assertTrue(answered_on("/e/8/ma/g/g", "e"))
        self.assertTrue(answered_on("/e/8/ma/d/default", "f"))

    def test_devorginfo_wildcard_identifiers_subscribe_nothing(self):
        svc = self.start()
        self.srv.send("devOrgInfo", param={"organizationId": "#"}, task_id="w")
        self.probe()
        self.assertIn("is not a topic level, nothing subscribed", svc.log_text())
        self.assertNotRegex(svc.log_text(), r"Subscribed to topic /e/#")


if __name__ == "__main__":
    unittest.main()

"""Parameter commands end to end: reboot, power-off, device parameters (DEVCONFIG and the
Wi-Fi list rules), payment hand-overs and the server switch with its restart."""
import json
import os
import re
import socket
import subprocess
import unittest

from control_support import DEVCONFIG, SUCCESS, ControlCase
from harness import wait_for

OFFLINE = {"status": "3", "failDes": "App Alipay is offline"}


class ParamsTest(ControlCase):
    SERIAL = "NB20000031"

    def setUp(self):
        self.files_record = None
        super().setUp()

    def start_alibank(self, *args):
        self.files_record = os.path.join(os.path.dirname(self.term.root), "alibank-files.txt")
        super().start_alibank("--files", self.files_record, *args)

    def files_seen(self):
        try:
            with open(self.files_record) as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def test_reboot_types(self):
        self.assert_reply(self.command("reboot", {"rebootType": "1", "time": "", "weekCycle": ""}), "reboot", SUCCESS)
        self.wait_signals([98])
        self.assert_reply(self.command("reboot", {"rebootType": "2"}, task_id="t2"), "reboot", SUCCESS, task_id="t2")
        self.wait_signals([98, 97])

    def test_power_off(self):
        self.assert_reply(self.command("onOff", {"offTime": "22:00", "onTime": "07:00", "weekCycle": "1111111"}),
                          "onOff", SUCCESS)
        self.wait_signals([91])
        self.svc.wait_log(r"offTime: 22:00, onTime: 07:00, weekCycle: 1111111")

    def test_set_dev_param_writes_devconfig(self):
        param = {"brightness": 80, "systemVolume": 5, "wifiAP": [
            {"ssid": "home", "pwd": "12345678", "stype": 2},
            {"ssid": "short", "pwd": "1234567", "stype": 2},   # WPA2 below 8 characters: dropped
            {"ssid": "old", "pwd": "abcde", "stype": 3},       # WEP: always dropped here
            {"ssid": "w3", "pwd": "123456", "stype": 4},       # WPA3 with 6 characters: kept
        ]}
        self.assert_reply(self.command("setDevParam", param), "setDevParam", SUCCESS)
        self.wait_signals([92])
        wifi = '[{"ssid":"home","psk":"12345678","type":"WPA2"},{"ssid":"w3","psk":"123456","type":"WPA3"}]'
        expected = f"brightness=80\nvolume=5\nwifi={wifi}\n\n"
        # What the payment application found when the signal arrived, and the file itself.
        wait_for(self.files_seen, 10, what="DEVCONFIG recorded")
        self.assertEqual(self.files_seen(), [f"92 {DEVCONFIG}\t" + expected.replace("\n", "\\n")])
        self.assertEqual(self.term.read(DEVCONFIG), expected)

        self.assert_reply(self.command("setDevParam", {"brightness": 40}, task_id="t2"), "setDevParam", SUCCESS,
                          task_id="t2")
        self.wait_signals([92, 92])
        self.assertEqual(self.term.read(DEVCONFIG), "brightness=40\n\n")
        self.svc.wait_log(r"brightness: 40, systemVolume: -1, wifiap: \(null\)")

    def test_payment_hand_overs(self):
        code = {"orderId": "o-17", "payCode": "281234567890", "amount": "12.50"}
        self.assert_reply(self.command("antPayCode", code), "antPayCode", SUCCESS)
        self.wait_signals([89])
        with open(self.term.path("/usr/data/app/Alipay/data/pay_code/o-17")) as f:
            self.assertEqual(json.loads(f.read()), code)
        status = {"orderId": "o-17", "status": "paid"}
        self.assert_reply(self.command("antPayStatus", status, task_id="t2"), "antPayStatus", SUCCESS, task_id="t2")
        self.wait_signals([89, 90])
        with open(self.term.path("/usr/data/app/Alipay/data/pay_status/o-17")) as f:
            self.assertEqual(json.loads(f.read()), status)


class OfflineTest(ControlCase):
    """No payment application running."""
    SERIAL = "NB20000032"
    ALIBANK_ARGS = None

    def test_commands_answer_offline(self):
        cases = [
            ("reboot", {"rebootType": "1"}),
            ("setDevParam", {"brightness": 80}),
        ]
        for i, (cmd, param) in enumerate(cases):
            with self.subTest(cmd=cmd):
                self.assert_reply(self.command(cmd, param, task_id=f"o{i}"), cmd, OFFLINE, task_id=f"o{i}")


class ServerSwitchTest(ControlCase):
    SERIAL = "NB20000033"

    def url_file(self, name):
        p = self.term.path(f"/usr/data/config/{name}")
        return open(p).read() if os.path.exists(p) else None

    def test_invalid_urls_change_nothing(self):
        self.assert_reply(self.command("switchServerUrl", {"url": "http://127.0.0.1:1", "resetFactoryType": "1"}),
                          "switchServerUrl", {"status": "3", "failDes": "URL is not valid"})
        self.sim.config(refuse="fail")
        self.assert_reply(self.command("switchServerUrl", {"url": self.sim.url + "/x", "resetFactoryType": "2"},
                                       task_id="t3"),
                          "switchServerUrl", {"status": "3", "failDes": "URL is not valid"}, task_id="t3")
        self.assertIsNone(self.url_file("nimbo_server_url"))
        self.assertIsNone(self.url_file("nimbo_server_url_persistent"))
        self.assertIsNone(self.svc.returncode)
        self.assertNotIn("nimboservice.sh restart", self.svc.log_text())

    def test_flood_of_switches_to_a_silent_server_stays_bounded(self):
        # A server that takes connections and never answers: each validation waits it out.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(2048)
        self.addCleanup(silent.close)
        url = "http://127.0.0.1:%d" % silent.getsockname()[1]
        pid = self.svc.pid

        def counts():
            return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))

        threads0, fds0 = counts()
        peak = [0, 0]

        def sample():
            for i, n in enumerate(counts()):
                peak[i] = max(peak[i], n)

        start = len(self.server.replies)
        for i in range(1100):
            self.server.send("switchServerUrl", {"url": url, "resetFactoryType": "1"}, task_id=f"s{i}", qos=1)
            if i % 50 == 0:
                sample()
        busy = {"status": "3", "failDes": "Device is busy, please try again later."}

        def superseded():
            sample()
            return [p for _, p in self.server.replies[start:] if p and p.get("param") == busy]

        # One runs (30 s against this server), each later one waits and is replaced by the
        # next: all but the running and the last waiting one are answered busy.
        replies = wait_for(lambda: len(superseded()) >= 1097 and superseded(), 60, interval=0.2,
                           what="the replaced switches answered")
        ids = [int(p["taskId"][1:]) for p in replies]
        self.assertEqual(len(ids), len(set(ids)))
        self.assertNotIn(1099, ids)
        self.assertLessEqual(peak[0], threads0 + 2, f"threads: {threads0} at rest, {peak[0]} at most")
        self.assertLessEqual(peak[1], fds0 + 4, f"descriptors: {fds0} at rest, {peak[1]} at most")

    def test_valid_url_is_persisted_and_the_service_restarts(self):
        script = os.path.join(self.svc.prefix, "bin", "nimboservice.sh")
        # The restarted instance runs in its own session: stop it through the script.
        self.addCleanup(lambda: subprocess.run([script, "stop"], env=self.svc.env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, timeout=30))
        new_url = self.sim.url + "/second"
        self.assert_reply(self.command("switchServerUrl", {"url": new_url, "resetFactoryType": "2"}),
                          "switchServerUrl", {"status": "2", "failDes": "OK"})
        self.assertEqual(self.url_file("nimbo_server_url_persistent"), new_url + "\n")
        self.assertIsNone(self.url_file("nimbo_server_url"))
        self.svc.wait_log(r"restart: '.*/bin'/nimboservice\.sh restart")
        # The script stops this instance and starts a new one, which uses the new server.
        self.svc.wait(timeout=30)
        self.svc.wait_log(r"server url: " + re.escape(new_url) + r"\s", timeout=30)
        self.svc.wait_log(r"connection callback", count=2, timeout=60)
        bootstraps = [r["path"] for r in self.sim.requests() if r["path"].endswith("api/v1/mqtt")]
        self.assertEqual(bootstraps.count("/second/api/v1/mqtt"), 2, bootstraps)  # validation + new start
        self.wait_answering()

        # Not persistent: the plain file replaces the persistent one.
        self.assert_reply(self.command("switchServerUrl", {"url": self.sim.url + "/third", "resetFactoryType": "1"},
                                       task_id="t2"),
                          "switchServerUrl", {"status": "2", "failDes": "OK"}, task_id="t2")
        self.assertEqual(self.url_file("nimbo_server_url"), self.sim.url + "/third\n")
        self.assertIsNone(self.url_file("nimbo_server_url_persistent"))
        self.svc.wait_log(r"connection callback", count=3, timeout=60)


if __name__ == "__main__":
    unittest.main()

"""The release build on the MIPS test machine (NIMBO_GUEST=1, scripts/mips-vm-e2e.sh): the
service and the payment-application stand-in run in the guest with the native signal numbers
89..99, the tests drive them from the host over the broker, the management simulator and the
guest's control channel; reboots are real reboots of the guest."""
import json
import os
import random
import re
import socket
import struct
import threading
import time
import unittest

import harness
from harness import Broker, MgmtSim, Server, Service, Terminal, wait_for
from tasks_support import APP, DATA, DOWNLOAD, TASK_FILE, md5, ota_zip, payload

SUCCESS = {"status": "2", "failDes": "Success"}
DEVSTATE = "/usr/data/config/DEVSTATE"
LOCK = "/tmp/nimbo_service_lock"


@unittest.skipUnless(harness.GUEST_MODE, "runs on the MIPS test machine (scripts/mips-vm-e2e.sh)")
class GuestCase(unittest.TestCase):
    SERIAL = "NB60000001"
    ALIBANK_ARGS = ()   # None: no stand-in

    GUEST_CLOCK = None  # the board's clock at boot (qemu -rtc base=...): its own machine
    BROKER_LOG_ALL = False  # the broker logs every packet (mosquitto: log_type all)

    @classmethod
    def setUpClass(cls):
        cls.own_guest = None
        if cls.GUEST_CLOCK:
            from guest import Guest
            cls.own_guest = Guest(rtc=cls.GUEST_CLOCK)

    @classmethod
    def tearDownClass(cls):
        if cls.own_guest:
            cls.own_guest.close()

    def setUp(self):
        self.guest = self.own_guest or harness.shared_guest()
        self.term = Terminal(serial=self.SERIAL, guest=self.guest)
        self.addCleanup(self.term.close)
        self.broker = Broker()
        self.addCleanup(self.broker.close)
        if self.BROKER_LOG_ALL and harness.BROKER_KIND == "mosquitto":
            self.broker.stop()
            with open(self.broker.conf, "a") as f:
                f.write("log_type all\n")
            self.broker.start()
        self.sim = MgmtSim(broker_addr=self.broker.addr)
        self.addCleanup(self.sim.close)
        if self.ALIBANK_ARGS is not None:
            self.term.start_alibank(*self.ALIBANK_ARGS)
        self.server = Server(self.broker, self.SERIAL)
        self.addCleanup(self.server.close)
        self.svc = self.start_service()

    def start_service(self):
        svc = Service(self.term, server_url=self.sim.url)
        self.addCleanup(svc.close)
        self.wait_connected(svc)
        return svc

    def wait_connected(self, svc, timeout=60):
        """Subscribed, and answering: probes until an unknown command is answered."""
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + self.SERIAL, timeout=timeout)
        for attempt in range(30):
            task = f"probe-{attempt}"
            start = len(self.server.replies)
            self.server.send("probe", task_id=task)
            try:
                self.server.wait_reply("probeResp", task_id=task, timeout=2, start=start)
                return
            except AssertionError:
                continue
        raise AssertionError("the service never answered a command")

    # ---- commands and replies --------------------------------------------------------------------
    def command(self, cmd, param, task_id, timeout=20):
        start = len(self.server.replies)
        self.server.send(cmd, param, task_id=task_id)
        _, reply = self.server.wait_reply(cmd + "Resp", task_id=task_id, timeout=timeout, start=start)
        return reply

    def params(self, cmd, task_id, start=0):
        with self.server._cond:
            return [p["param"] for _, p in self.server.replies[start:]
                    if p and p.get("cmd") == cmd + "Resp" and p.get("taskId") == task_id]

    def wait_final(self, cmd, task_id, timeout=120, start=0):
        def final():
            return [p for p in self.params(cmd, task_id, start) if p.get("status") in ("2", "3")]
        try:
            return wait_for(final, timeout, interval=0.2, what=f"final {cmd} reply")[0]
        except AssertionError:
            raise AssertionError(f"no final {cmd} reply for {task_id}: {self.params(cmd, task_id)};\n"
                                 f"log tail:\n{self.svc.log_text()[-3000:]}") from None

    def host(self, name, data):
        with open(os.path.join(self.sim.files, name), "wb") as f:
            f.write(data)
        return f"{self.sim.url}/files/{name}"

    def wait_raw_signals(self, wanted, timeout=30):
        """The stand-in got exactly these kernel signal numbers so far (in order)."""
        try:
            return wait_for(lambda: self.term.raw_signals_received() == wanted, timeout, interval=0.3,
                            what=f"signals {wanted}")
        except AssertionError:
            raise AssertionError(f"stand-in got {self.term.raw_signals_received()}, wanted {wanted}") from None


class GuestServiceTest(GuestCase):
    SERIAL = "NB60000011"

    def test_start_up_envelopes_and_orderly_stop(self):
        log = self.svc.log_text()
        self.assertIn("place lock successfully", log)
        self.assertIn("device serialno: " + self.SERIAL, log)
        self.assertIn(f"nimbo mqtt_url: tcp://10.0.2.2:{self.broker.port}", log)
        self.assertEqual(self.term.read(LOCK),
                         "version: 1.5.26, build_type: Release, compile_time: 20250617095725\n")
        sn = self.SERIAL
        cases = [
            ('{"cmd":"nope","taskId":"t-1"}',
             '{"cmd":"nopeResp","sn":"%s","taskId":"t-1","param":{"status":"3","failDes":"Operation does not support"}}'
             % sn),
            ('{"cmd":"geofence","taskId":"g-1","param":{"geofenceCoordinates":"","geofenceRadius":""}}',
             '{"cmd":"geofenceResp","sn":"%s","taskId":"g-1","param":{"status":"2","failDes":"Success"}}' % sn),
            ('{"cmd":"devLock","taskId":"d-1","param":"{not json"}',
             '{"cmd":"devLockResp","sn":"%s","taskId":"d-1","param":{"status":"3","failDes":"Operation failed"}}' % sn),
        ]
        for request, expected in cases:
            with self.subTest(request=request[:40]):
                start = len(self.server.replies)
                self.server.send(raw=request)
                want = json.loads(expected)
                raw, _ = self.server.wait_reply(want["cmd"], task_id=want["taskId"], timeout=20, start=start)
                self.assertEqual(raw, expected)
        self.assertEqual(self.svc.stop(), 1)
        self.assertIn("mqtt session stopped", self.svc.log_text())

    def test_crash_signal_dumps_the_stack_and_stops(self):
        self.svc.signal(11)  # SIGSEGV
        self.assertEqual(self.svc.wait(30), 1)
        log = self.svc.log_text()
        dump = log[log.index("==========> catch signal 11["):]
        order = ["nimboservice, version: V1.5.26_20250617095725, versionCode: 222",
                 "==========> Dump stack start...", "==========> Dump stack end...",
                 "raise signal SIGTERM", "receive signal: 15[", "release lock successfully"]
        at = [dump.find(text) for text in order]
        self.assertNotIn(-1, at, dump[:3000])
        self.assertEqual(at, sorted(at), dump[:3000])
        frames = dump[at[1]:at[2]].splitlines()[1:]
        self.assertGreaterEqual(len(frames), 1, "frames between the markers")
        self.assertFalse(self.term.exists(LOCK))


class GuestControlTest(GuestCase):
    SERIAL = "NB60000021"

    def test_lock_protocol_and_parameters_use_the_native_numbers(self):
        start = len(self.server.reports)
        self.assertEqual(self.command("devLock", {"lockType": "1", "pwd": "1234"}, "l1")["param"], SUCCESS)
        self.wait_raw_signals([94])
        wait_for(lambda: "lockState=1" in self.term.read(DEVSTATE), 20, what="stand-in locked")
        self.svc.wait_log(r"device lock successfully", timeout=30)
        alerts = [p["param"] for _, p in self.server.reports[start:] if p and p.get("cmd") == "alert"]
        self.assertEqual([(a["msgName"], a["alertStatus"]) for a in alerts], [("LockDevice", "active")])
        self.assertEqual(alerts[0], {"type": "app", "time": alerts[0]["time"], "level": "critical",
                                     "alertStatus": "active", "msgName": "LockDevice",
                                     "msg": {"coordinates": "113.9,22.5", "location": "", "password": ""}})
        self.assertEqual(self.command("setDevParam", {"brightness": 80}, "p1")["param"],
                         {"status": "3", "failDes": "Device is locked, please unlock it and try again."})

        self.assertEqual(self.command("devLock", {"lockType": "2"}, "l2")["param"], SUCCESS)
        self.wait_raw_signals([94, 93])
        wait_for(lambda: "lockState=1" not in self.term.read(DEVSTATE), 20, what="stand-in unlocked")
        cleared = wait_for(lambda: [p["param"] for _, p in self.server.reports[start:]
                                    if p and p.get("cmd") == "alert" and p["param"]["alertStatus"] == "cleared"],
                           30, interval=0.3, what="cleared alert")
        self.assertEqual([a["msgName"] for a in cleared], ["LockDevice"])
        self.assertEqual(self.command("setDevParam", {"brightness": 40}, "p2")["param"], SUCCESS)
        self.wait_raw_signals([94, 93, 92])
        self.assertEqual(self.term.read("/usr/data/config/DEVCONFIG"), "brightness=40\n\n")

    def test_payment_hand_overs_use_89_and_90(self):
        code = {"orderId": "o-17", "payCode": "281234567890", "amount": "12.50"}
        status = {"orderId": "o-17", "status": "paid"}
        for cmd, param, task, signals, folder in (("antPayCode", code, "c1", [89], "pay_code"),
                                                  ("antPayStatus", status, "c2", [89, 90], "pay_status")):
            start = len(self.server.replies)
            self.server.send(cmd, param, task_id=task)
            raw, _ = self.server.wait_reply(cmd + "Resp", task_id=task, timeout=20, start=start)
            self.assertEqual(raw, '{"cmd":"%sResp","sn":"%s","taskId":"%s","param":{"status":"2","failDes":"Success"}}'
                             % (cmd, self.SERIAL, task))
            self.wait_raw_signals(signals)
            self.assertEqual(json.loads(self.term.read(f"/usr/data/app/Alipay/data/{folder}/o-17")), param)

    def test_poster_is_announced_with_99(self):
        data = b"P" * 30000
        param = {"action": "add", "type": "poster", "enable": True, "level": 1, "position": 1,
                 "fileName": "p.png", "fileSize": str(len(data)), "md5sum": md5(data), "progress": 100,
                 "url": self.host("p.png", data)}
        self.server.send("customResourcePoster", param, task_id="r1")
        self.assertEqual(self.wait_final("customResourcePoster", "r1")["status"], "2")
        self.wait_raw_signals([99])
        self.assertEqual(self.term.read_bytes("/usr/data/app/res/advertisement/1_p.png"), data)

    def test_log_upload_carries_the_guest_kernel_buffer(self):
        param = {"downloadFileUrl": self.sim.url + "/upload/", "dirPath": "/usr/data/log",
                 "filePath": "device/dmesg.log", "fileType": "log"}
        self.assertEqual(self.command("getLog", param, "g1")["param"]["status"], "1")
        final = self.wait_final("getLog", "g1")
        self.assertEqual(final["status"], "2", final)
        name = final["filePath"].split("/")[-1]
        with open(os.path.join(self.sim.uploads, name), "rb") as f:
            text = f.read().decode("utf-8", "replace")
        self.assertIn("Linux version 6.1.0", text)
        self.assertIn("machine is mti,malta", text)


class GuestUpgradeTest(GuestCase):
    SERIAL = "NB60000031"

    def test_application_upgrade_killed_at_half_resumes_and_announces_96(self):
        data = payload(600_000)
        url = self.host("pay.zip", data)
        self.sim.config(throttle=60_000)
        param = {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Alipay", "md5sum": md5(data),
                 "apkSize": str(len(data)), "progress": 100}
        self.assertEqual(self.command("apkUpgrade", param, "k1")["param"]["status"], "1")
        package = DOWNLOAD + "/tmp_app.zip"
        wait_for(lambda: self.term.size(package) >= len(data) // 2, 60, interval=0.3, what="half the package")
        self.svc.kill()
        on_disk = self.term.size(package)
        self.assertLess(on_disk, len(data))
        self.assertTrue(self.term.exists(TASK_FILE))

        self.sim.config(throttle=0)
        mark = len(self.sim.requests())
        self.svc = self.start_service()
        final = self.wait_final("apkUpgrade", "k1")
        self.assertEqual(final["status"], "2", final)
        resumed = [r for r in self.sim.requests()[mark:] if r["path"] == "/files/pay.zip"]
        self.assertEqual([(r["range"], r["status"]) for r in resumed], [(f"bytes={on_disk}-", 206)])
        self.assertEqual(md5(self.term.read_bytes(APP + "/download/Alipay.zip")), md5(data))
        self.wait_raw_signals([96])


    def test_second_task_while_one_runs_is_dropped(self):
        data = payload(200_000)
        url = self.host("one.zip", data)
        self.sim.config(throttle=100_000)
        param = {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Alipay", "md5sum": md5(data),
                 "apkSize": str(len(data)), "progress": 100}
        self.assertEqual(self.command("apkUpgrade", param, "a1")["param"]["status"], "1")
        self.server.send("apkUpgrade", param, task_id="a1")
        self.server.send("apkUpgrade", dict(param, apkVersion="4.0"), task_id="other")
        self.svc.wait_log(r"The task has already begun\.")
        self.svc.wait_log(r"The last mission is still in progress, cmd: apkUpgrade, taskId: a1")
        self.wait_final("apkUpgrade", "a1")
        self.server.probe("after")
        sn = self.SERIAL
        done = '{"cmd":"apkUpgradeResp","sn":"%s","taskId":"a1","param":{"status":"%%s","failDes":"%%s",' \
               '"apkVersion":"3.0","applicationName":"Alipay"}}' % sn
        with self.server._cond:
            raws = [raw for raw, p in self.server.replies if p and p.get("taskId") in ("a1", "other")]
        self.assertEqual(raws, [done % ("1", ""), done % ("1", "Installing"), done % ("2", "")])


class GuestRebootTest(GuestCase):
    SERIAL = "NB60000041"
    ALIBANK_ARGS = ("--on", "97", "reboot")

    def reboot_and_reconnect(self):
        old = self.guest.boot_id
        self.guest.wait_reboot()
        self.assertNotEqual(self.guest.boot_id, old)
        self.svc.after_reboot()
        self.wait_connected(self.svc, timeout=90)

    def test_reboot_command_reboots_the_machine(self):
        self.svc.enable_at_boot(self.ALIBANK_ARGS)
        self.svc.mark_log()
        self.assertEqual(self.command("reboot", {"rebootType": "2"}, "b1")["param"], SUCCESS)
        self.reboot_and_reconnect()
        self.assertEqual(self.term.raw_signals_received(), [97])
        self.assertIn("place lock successfully", self.svc.log_text())

    def test_firmware_upgrade_is_judged_after_a_real_reboot(self):
        self.svc.enable_at_boot(self.ALIBANK_ARGS)
        script = "/etc/ota_bin/local_ota_update.sh"
        self.term.write(script + ".new_version", "V2.0.0\n")
        data = ota_zip()
        param = {"otaDownloadUrl": self.host("fw.zip", data), "otaVersion": "V2.0.0", "packageName": "fw",
                 "md5sum": md5(data), "otaSize": str(len(data)), "semiSilent": "1", "silentIns": True,
                 "progress": 100}
        self.assertEqual(self.command("otaUpgrade", param, "o1")["param"]["status"], "1")
        waiting = "Installation successful, waiting for restart"
        wait_for(lambda: any(p["failDes"] == waiting for p in self.params("otaUpgrade", "o1")), 60,
                 interval=0.3, what="installed, waiting for restart")
        self.wait_raw_signals([95])
        self.assertEqual(self.term.read(DATA + "/ota_old_version"), "V1.2.3\n")

        mark = len(self.server.replies)
        self.svc.mark_log()
        self.guest.run("reboot", timeout=10)
        self.reboot_and_reconnect()
        self.assertFalse(self.term.exists("/tmp/ota_old_version"), "/tmp is new after the reboot")
        final = self.wait_final("otaUpgrade", "o1", start=mark)
        self.assertEqual(final, {"status": "2", "failDes": "100%"})
        self.svc.wait_log(r"ota result judgment, old version: V1\.2\.3, fwVer: V2\.0\.0, ok: 1")


# ---- past 2038 ------------------------------------------------------------------------------------
NTP_UNIX_OFFSET = 2208988800
Y2040 = 2208988800  # 2040-01-01 00:00:00 UTC


class FakeNtp:
    """An SNTP server on the host's loopback port 123 answering with a fixed Unix time (the
    guest reaches it as 10.0.2.2; its /etc/hosts sends the default servers' names there)."""

    def __init__(self, unix_time):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 123))
        self.sock.settimeout(0.2)
        self.unix_time = unix_time
        self.asked = 0
        self._stop = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self._stop:
            try:
                data, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            if len(data) < 48:
                continue
            self.asked += 1
            seconds = (self.unix_time + NTP_UNIX_OFFSET) % 2**32  # the era wraps in 2036
            answer = bytearray(48)
            answer[0] = (4 << 3) | 4  # version 4, server
            answer[1] = 1
            answer[24:32] = data[40:48]
            answer[40:48] = struct.pack(">II", seconds, 0x80000000)
            self.sock.sendto(bytes(answer), peer)

    def close(self):
        self._stop = True
        self.thread.join()
        self.sock.close()


class Guest2040Test(GuestCase):
    """The board's clock in 2040: past the NTP era of 2036 and past 2038 of a 32-bit time_t."""
    SERIAL = "NB60000051"
    GUEST_CLOCK = "2040-01-01T00:00:00"

    def test_start_up_timestamps_alerts_timers_and_log_names(self):
        self.assertRegex(self.svc.log_text(), r"^2040-01-01 \d\d:\d\d:\d\d")
        start = len(self.server.reports)
        self.assertEqual(self.command("devLock", {"lockType": "1", "pwd": "1"}, "l1")["param"], SUCCESS)
        self.wait_raw_signals([94])  # the lock protocol's timers run
        alert = wait_for(lambda: [p for _, p in self.server.reports[start:] if p and p.get("cmd") == "alert"], 30,
                         interval=0.3, what="lock alert")[0]
        self.assertRegex(alert["param"]["time"], r"^2040-01-01 \d\d:\d\d:\d\d$")
        param = {"downloadFileUrl": self.sim.url + "/upload/", "dirPath": "/usr/data/log",
                 "filePath": "device/dmesg.log", "fileType": "log"}
        self.command("getLog", param, "g1")
        final = self.wait_final("getLog", "g1")
        stamp = int(re.fullmatch(r"device/dmesg_(\d+)\.log", final["filePath"]).group(1))
        self.assertGreaterEqual(stamp // 1000 if stamp > 10**11 else stamp, Y2040)


class GuestNtpTest(GuestCase):
    """An unset clock (2020) takes the time of an alert from NTP: an answer of 2040 lies in the
    NTP era after 2036 and beyond a 32-bit time_t."""
    SERIAL = "NB60000061"
    GUEST_CLOCK = "2020-01-01T00:00:00"

    def setUp(self):
        try:
            self.ntp = FakeNtp(Y2040 + 3600)
        except OSError as e:
            self.skipTest(f"no local NTP server on port 123: {e}")
        self.addCleanup(self.ntp.close)
        super().setUp()

    def test_alert_time_from_ntp_after_2036(self):
        names = " ".join(["time%d.apple.com" % i for i in range(1, 8)] + ["%d.pool.ntp.org" % i for i in range(3)])
        self.guest.sh(f"grep -q apple /etc/hosts || echo '10.0.2.2 {names}' >> /etc/hosts")
        start = len(self.server.reports)
        self.assertEqual(self.command("devLock", {"lockType": "1", "pwd": "1"}, "l1")["param"], SUCCESS)
        alert = wait_for(lambda: [p for _, p in self.server.reports[start:] if p and p.get("cmd") == "alert"], 30,
                         interval=0.3, what="lock alert")[0]
        self.assertGreater(self.ntp.asked, 0)
        self.assertEqual(alert["param"]["time"], "2040-01-01 01:00:00")


if __name__ == "__main__":
    unittest.main()

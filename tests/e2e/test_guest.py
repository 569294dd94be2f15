"""The release build on the MIPS test machine (NIMBO_GUEST=1, scripts/mips-vm-e2e.sh): the
service and the payment-application stand-in run in the guest with the native signal numbers
89..99, the tests drive them from the host over the broker, the management simulator and the
guest's control channel; reboots are real reboots of the guest."""
import json
import os
import re
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

    def setUp(self):
        self.guest = harness.shared_guest()
        self.term = Terminal(serial=self.SERIAL)
        self.addCleanup(self.term.close)
        self.broker = Broker()
        self.addCleanup(self.broker.close)
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
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + self.SERIAL, timeout=timeout)

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
        self.assertEqual(self.command("setDevParam", {"brightness": 80}, "p1")["param"],
                         {"status": "3", "failDes": "Device is locked, please unlock it and try again."})

        self.assertEqual(self.command("devLock", {"lockType": "2"}, "l2")["param"], SUCCESS)
        self.wait_raw_signals([94, 93])
        wait_for(lambda: "lockState=1" not in self.term.read(DEVSTATE), 20, what="stand-in unlocked")
        self.assertEqual(self.command("setDevParam", {"brightness": 40}, "p2")["param"], SUCCESS)
        self.wait_raw_signals([94, 93, 92])
        self.assertEqual(self.term.read("/usr/data/config/DEVCONFIG"), "brightness=40\n\n")

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


if __name__ == "__main__":
    unittest.main()

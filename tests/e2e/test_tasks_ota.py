"""Firmware upgrade end to end: download, the device's update script, the wait for the
restart, the judgement of the command delivered again after the restart, and failures."""
import os
import time
import unittest

from harness import wait_for
from tasks_support import DATA, DOWNLOAD, TASK_FILE, TaskCase, md5, ota_zip, payload

PACKAGE = DOWNLOAD + "/tmp_update.zip"
OLD_VERSION = DATA + "/ota_old_version"
MARKER = "/tmp/ota_old_version"
SCRIPT = "/etc/ota_bin/local_ota_update.sh"
WAITING = "Installation successful, waiting for restart"


def ota_param(url, data, progress=100):
    return {"otaDownloadUrl": url, "otaVersion": "V2.0.0", "packageName": "fw", "md5sum": md5(data),
            "otaSize": str(len(data)), "semiSilent": "1", "silentIns": True, "progress": progress}


class OtaUpgradeTest(TaskCase):
    SERIAL = "NB30000031"

    def upgrade_until_waiting(self, task_id, data):
        url = self.host("fw.zip", data)
        first = self.command("otaUpgrade", ota_param(url, data), task_id)
        self.assertEqual(first, {"status": "1", "failDes": "", "otaVersion": "V2.0.0", "otaName": "fw"})
        self.wait_param("otaUpgrade", task_id, lambda p: p["failDes"] == WAITING)
        self.assertEqual([(p["status"], p["failDes"]) for p in self.params("otaUpgrade", task_id)],
                         [("1", ""), ("1", "Installing"), ("1", WAITING)])

    def simulated_restart(self):
        self.svc.stop()
        os.unlink(self.term.path(MARKER))  # /tmp does not survive the device's restart
        self.svc = self.start_service()

    def test_installed_firmware_is_judged_after_the_restart(self):
        self.term.write(SCRIPT + ".new_version", "V2.0.0\n")
        self.upgrade_until_waiting("o1", ota_zip())
        self.assertIn("local_ota_update.sh", self.term.read("/etc/ota_bin/calls.log"))
        self.assertEqual(self.term.read(OLD_VERSION), "V1.2.3\n")
        self.assertTrue(self.exists(MARKER))
        self.assertTrue(self.exists(TASK_FILE))
        self.assertFalse(self.exists(PACKAGE))

        # Before the restart every delivery of the command is answered by nothing.
        mark = len(self.server.replies)
        self.server.send("otaUpgrade", ota_param("http://unused/fw.zip", b""), task_id="o1")
        self.svc.wait_log(r"ota task wait for confirmation of restart, exit")
        time.sleep(1)
        self.assertEqual(self.replies("otaUpgrade", "o1", mark), [])

        mark = len(self.server.replies)
        self.simulated_restart()
        final = self.wait_final("otaUpgrade", "o1", start=mark)
        self.assertEqual(final, {"status": "2", "failDes": "100%"})
        self.svc.wait_log(r"type: ALL, ota result judgment, old version: V1\.2\.3, fwVer: V2\.0\.0, ok: 1")
        wait_for(lambda: not self.exists(OLD_VERSION) and not self.exists(TASK_FILE), 10, what="files removed")

    def test_unchanged_version_after_the_restart_fails(self):
        self.upgrade_until_waiting("o2", ota_zip())
        mark = len(self.server.replies)
        self.simulated_restart()
        self.assertEqual(self.wait_final("otaUpgrade", "o2", start=mark),
                         {"status": "3", "failDes": "Version not changed"})
        wait_for(lambda: not self.exists(OLD_VERSION) and not self.exists(TASK_FILE), 10, what="files removed")

    def test_installer_failures_end_the_task(self):
        cases = [
            ("f1", ota_zip(), "11", "Packet error[11]: the upgrade package version is too old"),
            ("f2", payload(5000), "0", "Package unzip failed, please check the package"),
        ]
        for task_id, data, status, text in cases:
            with self.subTest(task_id):
                self.term.write(SCRIPT + ".status", status + "\n")
                url = self.host(f"{task_id}.zip", data)
                self.command("otaUpgrade", ota_param(url, data), task_id)
                final = self.wait_final("otaUpgrade", task_id)
                self.assertEqual(final, {"status": "3", "failDes": text, "otaVersion": "V2.0.0", "otaName": "fw"})
                wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")
                self.assertFalse(self.exists(PACKAGE))
                self.assertFalse(self.exists(OLD_VERSION))
                self.assertFalse(self.exists(MARKER))

    def test_recorded_version_is_judged_at_once_then_the_next_command_downloads(self):
        cases = [
            ("j1", "V1.2.3\n", {"status": "3", "failDes": "Version not changed"}),
            # "type=oem" selects the system version of the device (OEM_2.0.1).
            ("j3", "OEM_2.0.1\ntype=oem\n", {"status": "3", "failDes": "Version not changed"}),
            ("j4", "V1.2.3\ntype=oem2\n", {"status": "3", "failDes": "Version not changed"}),
        ]
        for task_id, record, reply in cases:
            with self.subTest(task_id):
                self.term.write(OLD_VERSION, record)
                self.assertEqual(self.command("otaUpgrade", ota_param("http://unused/fw.zip", b""), task_id), reply)
                wait_for(lambda: not self.exists(OLD_VERSION), 10, what="version record removed")
                wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")
        self.assertEqual(self.file_requests(), [])
        data = ota_zip()
        url = self.host("next.zip", data)
        self.assertEqual(self.command("otaUpgrade", ota_param(url, data), "j5")["status"], "1")
        self.wait_param("otaUpgrade", "j5", lambda p: p["failDes"] == WAITING)

    def test_empty_url_and_invalid_values(self):
        cases = [
            ("e1", {"otaDownloadUrl": ""}, {"status": "3", "failDes": "Ota_download_url is empty"}),
            ("e2", {"otaDownloadUrl": "http://h/" + "y" * 250}, {"status": "3", "failDes": "Invalid parameter"}),
            ("e3", {"otaDownloadUrl": "http://h/" + "z" * 100}, {"status": "3", "failDes": "Invalid parameter"}),
        ]
        for task_id, param, reply in cases:
            with self.subTest(task_id):
                self.assertEqual(self.command("otaUpgrade", param, task_id), reply)
                wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")


if __name__ == "__main__":
    unittest.main()

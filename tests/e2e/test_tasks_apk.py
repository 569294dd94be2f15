"""Application upgrade end to end: the reply sequence, the package placed by the library,
refusals of values that do not fit, download and installation failures, one worker per task."""
import socket
import unittest

from harness import wait_for
from tasks_support import APP, DOWNLOAD, PAUSED, TASK_FILE, TaskCase, md5, payload

PACKAGE = DOWNLOAD + "/tmp_app.zip"


def apk_param(url, data=None, name="Shop", progress=10, **extra):
    param = {"apkDownloadUrl": url, "apkFileName": "shop.zip", "apkVersion": "2.1.0", "applicationName": name,
             "md5sum": md5(data) if data is not None else "", "autoStart": True, "setKioskMode": False,
             "setLauncher": False, "progress": progress}
    if data is not None:
        param["apkSize"] = str(len(data))
    param.update(extra)
    return param


class ApkUpgradeTest(TaskCase):
    SERIAL = "NB30000011"

    def test_throttled_upgrade_reports_progress_installs_and_cleans_up(self):
        data = payload(400_000)
        url = self.host("shop-2.1.0.zip", data)
        self.sim.config(throttle=200_000)
        first = self.command("apkUpgrade", apk_param(url, data, progress=30), "a1")
        self.assertEqual(first, {"status": "1", "failDes": "", "apkVersion": "2.1.0", "applicationName": "Shop"})
        final = self.wait_final("apkUpgrade", "a1")
        self.assertEqual(final, {"status": "2", "failDes": "", "apkVersion": "2.1.0", "applicationName": "Shop"})

        texts = [p["failDes"] for p in self.params("apkUpgrade", "a1")]
        self.assertEqual(texts[0], "")
        self.assertEqual(texts[-2:], ["Installing", ""])
        percents = [float(t[:-1]) for t in texts[1:-2]]
        self.assertTrue(percents, texts)
        self.assertTrue(all(t.endswith("%") for t in texts[1:-2]), texts)
        self.assertGreaterEqual(len(percents), 2, texts)
        # Throttled by the step: every reported whole percentage is at least 30 above the last.
        last = 0
        for p in percents:
            self.assertGreaterEqual(int(p) - last, 30, percents)
            last = int(p)

        self.assertEqual(self.read_bytes(APP + "/download/Shop.zip"), data)
        self.assertFalse(self.exists(PACKAGE))
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")
        gets = self.file_requests("shop-2.1.0.zip")
        self.assertEqual(len(gets), 1)
        self.assertEqual(gets[0]["status"], 200)
        self.assert_signed(gets[0], "shop-2.1.0.zip")

    def test_step_of_100_sends_only_the_stages(self):
        data = payload(50_000)
        url = self.host("quiet.zip", data)
        self.command("apkUpgrade", apk_param(url, data, progress=100), "a2")
        self.wait_final("apkUpgrade", "a2")
        self.assertEqual([p["failDes"] for p in self.params("apkUpgrade", "a2")], ["", "Installing", ""])

    def test_empty_md5_installs_without_check(self):
        data = payload(20_000)
        url = self.host("nocheck.zip", data)
        self.command("apkUpgrade", apk_param(url, None, name="NoCheck", progress=100), "a3")
        self.assertEqual(self.wait_final("apkUpgrade", "a3")["status"], "2")
        self.assertEqual(self.read_bytes(APP + "/download/NoCheck.zip"), data)

    def test_refused_name(self):
        data = payload(1000)
        reply = self.command("apkUpgrade", apk_param(self.host("small.zip", data), data, name=".."), "r1")
        self.assertEqual(reply, {"status": "3", "failDes": "Invalid parameter"})
        # The refused task does not block the next one.
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")
        self.assertEqual(self.file_requests(), [])

    def test_download_refused_by_the_server_ends_the_task(self):
        self.command("apkUpgrade", apk_param(f"{self.sim.url}/files/missing.zip", b"x"), "a4")
        final = self.wait_final("apkUpgrade", "a4")
        self.assertEqual(final["status"], "3")
        self.assertEqual(final["failDes"], "Download failed[HTTP404], task end.")
        self.assertFalse(self.exists(PACKAGE))
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")

    def test_url_of_another_scheme_is_an_invalid_url(self):
        # A listener where the URL points: nothing may connect to it.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.settimeout(0.2)
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        self.command("apkUpgrade", apk_param(f"gopher://127.0.0.1:{port}/1shop.zip", b"x"), "a6")
        final = self.wait_final("apkUpgrade", "a6", timeout=30)
        self.assertEqual(final["status"], "3")
        self.assertEqual(final["failDes"], "CURL Error[3: URL using bad/illegal format or missing URL]")
        with self.assertRaises(socket.timeout):
            listener.accept()
        self.assertFalse(self.exists(PACKAGE))
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")

    def test_installation_failure_reports_the_library_text(self):
        self.term.write(APP + "/download", "a file where the directory should be\n")
        data = payload(10_000)
        url = self.host("broken.zip", data)
        self.command("apkUpgrade", apk_param(url, data, progress=100), "a5")
        final = self.wait_final("apkUpgrade", "a5")
        self.assertEqual(final, {"status": "3", "failDes": "App install failed", "apkVersion": "2.1.0",
                                 "applicationName": "Shop"})
        self.assertEqual([p["failDes"] for p in self.params("apkUpgrade", "a5")][-2], "Installing")
        self.assertFalse(self.exists(PACKAGE))
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")

    def test_repeated_delivery_while_running_starts_no_second_worker(self):
        data = payload(300_000)
        url = self.host("twice.zip", data)
        self.sim.config(throttle=100_000)
        param = apk_param(url, data, progress=100)
        self.command("apkUpgrade", param, "a6")
        wait_for(lambda: self.file_requests("twice.zip"), 10, what="download started")
        for _ in range(3):
            self.server.send("apkUpgrade", param, task_id="a6")
        self.svc.wait_log(r"The task has already begun\.", count=3)
        # Another task is dropped by the task file while this one runs.
        self.server.send("apkUpgrade", apk_param(url, data), task_id="other")
        self.svc.wait_log(r"The last mission is still in progress, cmd: apkUpgrade, taskId: a6")
        self.assertEqual(self.wait_final("apkUpgrade", "a6")["status"], "2")
        self.assertEqual([p["failDes"] for p in self.params("apkUpgrade", "a6")], ["", "Installing", ""])
        self.assertEqual(len(self.file_requests("twice.zip")), 1)
        self.assertEqual(self.replies("apkUpgrade", "other"), [])
        self.assertEqual(self.read_bytes(APP + "/download/Shop.zip"), data)


if __name__ == "__main__":
    unittest.main()

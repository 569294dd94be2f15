"""Downloads that survive: a service killed mid-download, a broker that goes away
mid-download (cut transfer and complete transfer), each finished after the next connection
from the bytes already on disk. And the other side of resumption: the task published to the
device's own topic at a connection that comes back only after the task finished is not run
a second time."""
import signal
import time
import unittest

from harness import wait_for
from tasks_support import APP, DOWNLOAD, TASK_FILE, TaskCase, md5, payload

PACKAGE = DOWNLOAD + "/tmp_app.zip"
PAUSED = "The task is paused and restarted the next time connect to the server"


def apk_param(url, data):
    return {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Resumed", "md5sum": md5(data),
            "apkSize": str(len(data)), "progress": 100}


class ResumeCase(TaskCase):
    def gets_since(self, name, start=0):
        return [r for r in self.sim.requests()[start:] if r["method"] == "GET" and r["path"] == "/files/" + name]


class ResumeTest(ResumeCase):
    SERIAL = "NB30000021"

    def test_killed_service_resumes_from_the_bytes_on_disk(self):
        data = payload(800_000)
        url = self.host("kill.zip", data)
        self.sim.config(throttle=100_000)
        self.command("apkUpgrade", apk_param(url, data), "k1")
        wait_for(lambda: self.size(PACKAGE) >= 200_000, 30, what="part of the package on disk")
        self.svc.kill()
        on_disk = self.size(PACKAGE)
        self.assertGreater(on_disk, 0)
        self.assertLess(on_disk, len(data))
        self.assertTrue(self.exists(TASK_FILE))

        self.sim.config(throttle=0)
        mark = len(self.sim.requests())
        self.svc = self.start_service()
        self.svc.wait_log(r"recovery tasks from backup file")
        final = self.wait_final("apkUpgrade", "k1")
        self.assertEqual(final["status"], "2", final)
        resumed = self.gets_since("kill.zip", mark)
        self.assertEqual(len(resumed), 1, resumed)
        self.assertEqual(resumed[0]["range"], f"bytes={on_disk}-")
        self.assertEqual(resumed[0]["status"], 206)
        self.assert_signed(resumed[0], "kill.zip")
        self.assertEqual(self.read_bytes(APP + "/download/Resumed.zip"), data)
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")

    def test_stop_signal_mid_download_pauses_and_resumes(self):
        data = payload(800_000)
        url = self.host("stop.zip", data)
        self.sim.config(throttle=100_000)
        self.command("apkUpgrade", apk_param(url, data), "t1")
        wait_for(lambda: self.size(PACKAGE) >= 200_000, 30, what="part of the package on disk")
        self.svc.signal(signal.SIGTERM)
        self.assertEqual(self.svc.wait(30), 1)
        # The worker stops first (its transfer aborted, the task paused and answered), then
        # the session, then the lock; no crash on the way.
        log = self.svc.log_text()
        order = [f"receive signal: {int(signal.SIGTERM)}[", "waiting for 1 workers to stop",
                 "service stopping, the download task is kept for the next start", "workers stopped",
                 "mqtt session stopped", "release lock successfully"]
        at = [log.find(text) for text in order]
        self.assertNotIn(-1, at, dict(zip(order, at)))
        self.assertEqual(at, sorted(at), dict(zip(order, at)))
        self.assertNotIn("catch signal", log)
        self.assertFalse(self.exists("/tmp/nimbo_service_lock"))
        self.assertIn({"status": "1", "failDes": PAUSED, "apkVersion": "3.0", "applicationName": "Resumed"},
                      self.params("apkUpgrade", "t1"))
        on_disk = self.size(PACKAGE)
        self.assertGreater(on_disk, 0)
        self.assertLess(on_disk, len(data))
        self.assertTrue(self.exists(TASK_FILE))

        self.sim.config(throttle=0)
        mark = len(self.sim.requests())
        self.svc = self.start_service()
        final = self.wait_final("apkUpgrade", "t1")
        self.assertEqual(final["status"], "2", final)
        self.assertEqual([r["range"] for r in self.gets_since("stop.zip", mark)], [f"bytes={on_disk}-"])
        self.assertEqual(self.read_bytes(APP + "/download/Resumed.zip"), data)

    def test_broker_loss_during_a_cut_transfer_pauses_and_resumes(self):
        data = payload(600_000)
        url = self.host("cut.zip", data)
        self.sim.config(throttle=100_000, cut_after={"bytes": 250_000, "count": 1})
        self.command("apkUpgrade", apk_param(url, data), "b1")
        wait_for(lambda: self.gets_since("cut.zip", 0), 10, what="download started")
        self.broker.stop()
        self.svc.wait_log(r"mqtt offline, temporary storage task", timeout=30)
        self.assertEqual(self.size(PACKAGE), 250_000)
        self.assertTrue(self.exists(TASK_FILE))

        mark = len(self.sim.requests())
        self.broker.start()
        final = self.wait_final("apkUpgrade", "b1", timeout=120)
        self.assertEqual(final["status"], "2", final)
        resumed = self.gets_since("cut.zip", mark)
        self.assertEqual([r["range"] for r in resumed], ["bytes=250000-"])
        self.assertEqual(self.read_bytes(APP + "/download/Resumed.zip"), data)

    def test_broker_loss_after_a_complete_transfer_verifies_the_file(self):
        data = payload(300_000)
        url = self.host("whole.zip", data)
        self.sim.config(throttle=100_000)
        self.command("apkUpgrade", apk_param(url, data), "b2")
        wait_for(lambda: self.gets_since("whole.zip", 0), 10, what="download started")
        self.broker.stop()
        self.svc.wait_log(r"mqtt offline, temporary storage task", timeout=30)
        self.assertEqual(self.size(PACKAGE), len(data))

        mark = len(self.sim.requests())
        self.broker.start()
        final = self.wait_final("apkUpgrade", "b2", timeout=120)
        self.assertEqual(final["status"], "2", final)
        resumed = self.gets_since("whole.zip", mark)
        self.assertEqual([(r["range"], r["status"]) for r in resumed], [(f"bytes={len(data)}-", 416)])
        self.svc.wait_log(r"MD5 verification passed")
        self.assertEqual(self.read_bytes(APP + "/download/Resumed.zip"), data)


class SlowDownlinkTest(ResumeCase):
    SERIAL = "NB30000022"

    def setUp(self):
        super().setUp()
        self.proxy = self.route_through_relay()

    def test_late_copy_of_a_finished_task_is_not_run_again(self):
        data = payload(800_000)
        url = self.host("late.zip", data)
        self.sim.config(throttle=100_000)
        self.command("apkUpgrade", apk_param(url, data), "s1")
        wait_for(lambda: self.gets_since("late.zip"), 10, what="download started")
        republished = self.svc.log_text().count("recovery tasks from backup file")
        # The link drops mid-download; after the next CONNACK the broker's bytes are held
        # back, so the task published at that connection comes back only later.
        self.proxy.hold_after_connack()
        self.proxy.cut()
        self.svc.wait_log(r"recovery tasks from backup file", count=republished + 1, timeout=30)
        self.assertLess(self.size(PACKAGE), len(data), "the download outlasts the reconnection")
        # Meanwhile the task finishes: final reply sent, task file removed.
        self.svc.wait_log(r'send message \w+, qos: 2, .*"taskId":"s1"', timeout=60)
        wait_for(lambda: not self.exists(TASK_FILE), 30, what="task file removed")

        self.proxy.release_downlink()
        self.svc.wait_log(r'message: .*"taskId":"s1"', count=2, timeout=30)  # the copy is back
        time.sleep(1.0)
        self.assertEqual(len(self.gets_since("late.zip")), 1, "downloaded once")
        self.assertIn("task already finished, copy dropped, cmd: apkUpgrade, taskId: s1", self.svc.log_text())
        final = self.wait_final("apkUpgrade", "s1", timeout=60)
        self.assertEqual(final["status"], "2", final)
        self.assertEqual(len(self.gets_since("late.zip")), 1)
        self.assertEqual(self.svc.log_text().count("Installing"), 1)
        self.assertEqual(len([p for p in self.params("apkUpgrade", "s1") if p.get("status") == "2"]), 1)
        self.assertFalse(self.exists(TASK_FILE))


if __name__ == "__main__":
    unittest.main()

"""Downloads over a bad link or from a bad server: the connection cut many times in one download
(a cutting relay, cut points by seed), answers that ignore or misstate the range, a lying
Content-Length, HTTP 500 with a body, 429, a server that hangs. Each download completes with
the exact bytes or fails with the driver's own text; corrupt data is never installed."""
import random
import unittest

from fault_proxy import FaultProxy, random_budgets
from faults_support import FaultCase, record, seeds
from harness import wait_for
from tasks_support import APP, DOWNLOAD, TASK_FILE, md5, payload

SIZE = 600_000
RETRIES_TEXT = "30 retries have been made and the download task end."


class HttpFaultTest(FaultCase):
    SERIAL = "NB40000031"
    ALIBANK = False

    def upgrade(self, url, data, name, task_id, md5sum=None):
        param = {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": name,
                 "md5sum": md5(data) if md5sum is None else md5sum, "apkSize": str(len(data)), "progress": 100}
        start = self.send("apkUpgrade", param, task_id)
        final = self.wait_final("apkUpgrade", task_id, timeout=240, start=start)
        wait_for(lambda: not self.exists(TASK_FILE), 20, what="task file removed")
        self.assertEqual(len(self.finals("apkUpgrade", task_id, start)), 1)
        self.assertFalse(self.exists(DOWNLOAD + "/tmp_app.zip"), "the partial package is removed")
        return final

    def installed(self, name):
        path = f"{APP}/download/{name}.zip"
        return self.read_bytes(path) if self.exists(path) else None

    def gets(self, name):
        return [r for r in self.file_requests(name)]

    def test_connection_cut_many_times_in_one_download(self):
        figures = {"seeds": [], "cuts": 0, "downloads": 0, "corrupt_installs": 0}
        for seed in seeds():
            with self.subTest(seed=seed):
                data = payload(SIZE, f"cut-{seed}".encode())
                name = f"Cut{seed}"
                proxy = FaultProxy(self.sim.port)
                self.addCleanup(proxy.close)
                cuts = random.Random(f"cuts-{seed}").randint(4, 8)
                proxy.cut_after_bytes(random_budgets(f"http-{seed}", cuts, 1, SIZE // cuts))
                self.host(f"{name}.zip", data)
                url = f"http://127.0.0.1:{proxy.port}/files/{name}.zip"
                final = self.upgrade(url, data, name, f"hc{seed}")
                self.assertEqual(final["status"], "2", final)
                self.assertEqual(proxy.cuts, cuts, proxy.cut_log)
                self.assertEqual(self.installed(name), data)
                ranges = [r["range"] for r in self.gets(f"{name}.zip")]
                self.assertEqual(len(ranges), cuts + 1, ranges)
                self.assertIsNone(ranges[0])
                self.assertTrue(all(r and r.startswith("bytes=") for r in ranges[1:]), ranges)
                figures["cuts"] += proxy.cuts
                figures["downloads"] += 1
                figures["seeds"].append(seed)
        record("http_cuts", **figures)

    def test_bad_answers(self):
        """Each row: the simulator's misbehaviour, how many answers it lasts, and the outcome."""
        cases = [
            # A first attempt cut, then the resumption answered with 200 and the whole file:
            # the file starts over and completes.
            ("ignore_range", {"cut_after": {"bytes": 100_000, "count": 1}, "ignore_range": True}, "2", None),
            # A 206 whose Content-Range starts elsewhere than asked: nothing of it is written;
            # the same attempt asks for the whole file and completes.
            ("wrong_content_range", {"cut_after": {"bytes": 100_000, "count": 1}, "wrong_content_range": True},
             "2", None),
            # More body than the file: cut at its size, a failed attempt; the next one finds
            # the file complete (416) and verified.
            ("extra_body", {"extra_body": 300_000}, "2", None),
            # A body without end, the range ignored: every attempt fails and none counts as
            # progress, so the attempts run out.
            ("endless", {"endless": True}, "3", RETRIES_TEXT),
            # More announced than sent, then the connection closes: resumed, completed.
            ("lying_content_length", {"lying_content_length": 5000}, "2", None),
            # Error pages never end up in the file.
            ("http500_twice", {"inject": {"/files/{n}": {"status": 500, "body": "<html>oops</html>", "times": 2}}},
             "2", None),
            ("http500_always", {"inject": {"/files/{n}": {"status": 500, "body": "<html>oops</html>"}}},
             "3", RETRIES_TEXT),
            ("http429_twice", {"inject": {"/files/{n}": {"status": 429, "body": "slow down", "times": 2}}}, "2", None),
            ("http404", {"inject": {"/files/{n}": {"status": 404, "body": "gone"}}},
             "3", "Download failed[HTTP404], task end."),
            ("hang", {"hang": 3}, "2", None),
            # A wrong MD5: downloaded four times, never installed.
            ("md5_mismatch", {}, "3", "md5 failed more than 3 times and the download task end."),
        ]
        outcomes = {}
        for i, (label, settings, status, text) in enumerate(cases):
            with self.subTest(case=label):
                self.sim.reset()
                name = f"Bad{i}"
                data = payload(200_000, label.encode())
                url = self.host(f"{name}.zip", data)
                settings = {k: ({p.replace("{n}", f"{name}.zip"): r for p, r in v.items()} if k == "inject" else v)
                            for k, v in settings.items()}
                self.sim.config(**settings)
                wrong = "0" * 32 if label == "md5_mismatch" else None
                final = self.upgrade(url, data, name, f"hb{i}", md5sum=wrong)
                self.assertEqual(final["status"], status, final)
                if text is not None:
                    self.assertEqual(final["failDes"], text)
                if status == "2":
                    self.assertEqual(self.installed(name), data)
                else:
                    self.assertIsNone(self.installed(name), "nothing is installed after a failure")
                outcomes[label] = f"{status} {final['failDes']}".strip() + f" ({len(self.gets(name + '.zip'))} requests)"
        record("http_bad_answers", cases=len(cases), outcomes=outcomes)


if __name__ == "__main__":
    unittest.main()

"""Log listing and upload end to end: the kernel buffer and the log directory's archive
uploaded by an authenticated multipart POST, the result taken from the server's answer."""
import io
import os
import re
import tarfile
import time
import unittest

from harness import wait_for
from tasks_support import CACHE, TaskCase


class LogTest(TaskCase):
    SERIAL = "NB30000041"

    def get_log(self, task_id, file_path, base=None, file_type="log"):
        base = base if base is not None else self.sim.url + "/upload/"
        param = {"downloadFileUrl": base, "dirPath": "/usr/data/log", "filePath": file_path, "fileType": file_type}
        return self.command("getLog", param, task_id)

    def test_query_lists_the_two_logs(self):
        self.assertEqual(self.command("queryLog", {"fileType": "log", "filePath": "/x", "queryType": "all"}, "q1"),
                         {"status": "2", "failDes": "", "fileType": "log", "queryType": "all",
                          "res": ["dmesg.log", "app_log.tar.gz"]})
        self.assertEqual(self.command("queryLog", {"fileType": "apk"}, "q2"),
                         {"status": "3", "failDes": "Operation does not support"})

    def test_kernel_buffer_is_uploaded_under_a_time_stamped_name(self):
        first = self.get_log("g1", "device/dmesg.log")
        self.assertEqual(first, {"status": "1", "failDes": "", "fileType": "log", "filePath": "device/dmesg.log"})
        final = self.wait_final("getLog", "g1")
        self.assertEqual(final["status"], "2", final)
        self.assertEqual(final["failDes"], "")
        self.assertEqual(final["fileType"], "")
        m = re.fullmatch(r"device/(dmesg_(\d+)\.log)", final["filePath"])
        self.assertTrue(m, final)
        name = m.group(1)

        [post] = self.uploads()
        self.assertEqual(post["path"], "/upload/device")
        self.assertTrue(post["token_ok"])
        self.assertEqual(post["fields"]["filename"], name)
        self.assertEqual(sorted(post["fields"]), ["filename", "timestamp", "token"])
        self.assertEqual(post["file_label"], name)
        self.assertGreater(post["file_size"], 0)
        with open(os.path.join(self.sim.uploads, name), "rb") as f:
            self.assertEqual(len(f.read()), post["file_size"])
        wait_for(lambda: os.listdir(self.term.path(CACHE)) == [], 10, what="local copy removed")

    def test_log_directory_archive_is_uploaded(self):
        self.term.write("/usr/data/log/extra.txt", "hello from the device\n")
        self.get_log("g2", "app_log.tar.gz", base=self.sim.url + "/upload/logs/")
        final = self.wait_final("getLog", "g2")
        self.assertEqual(final["status"], "2", final)
        name = final["filePath"]
        self.assertRegex(name, r"^app_log_\d+\.tar\.gz$")
        [post] = self.uploads()
        self.assertEqual(post["path"], "/upload/logs")  # cut at the last "/"
        with open(os.path.join(self.sim.uploads, name), "rb") as f:
            with tarfile.open(fileobj=io.BytesIO(f.read()), mode="r:gz") as tar:
                members = tar.getnames()
                self.assertIn("./extra.txt", members)
                self.assertIn("./nimbo_log.log", members)
                self.assertEqual(tar.extractfile("./extra.txt").read(), b"hello from the device\n")
        wait_for(lambda: os.listdir(self.term.path(CACHE)) == [], 10, what="local copy removed")

    def test_result_follows_the_server_answer(self):
        self.sim.config(upload_answer={"success": False, "desc": "disk full"}, upload_answer_pad=0)
        self.get_log("a1", "x/dmesg.log")
        final = self.wait_final("getLog", "a1")
        self.assertEqual((final["status"], final["failDes"]), ("3", "disk full"))

    def test_two_uploads_in_the_same_second_keep_their_own_files(self):
        for _ in range(3):
            mark = len(self.uploads())
            start = len(self.server.replies)
            # Sent together: both workers collect within the same second.
            self.server.send("getLog", {"downloadFileUrl": self.sim.url + "/upload/", "filePath": "a/dmesg.log",
                                        "fileType": "log"}, task_id="s1")
            self.server.send("getLog", {"downloadFileUrl": self.sim.url + "/upload/", "filePath": "b/dmesg.log",
                                        "fileType": "log"}, task_id="s2")
            finals = [self.wait_final("getLog", t, start=start) for t in ("s1", "s2")]
            self.assertEqual([f["status"] for f in finals], ["2", "2"], finals)
            posts = self.uploads()[mark:]
            self.assertEqual(sorted(p["path"] for p in posts), ["/upload/a", "/upload/b"])
            self.assertTrue(all(p["file_size"] > 0 for p in posts), posts)
            if finals[0]["filePath"][2:] == finals[1]["filePath"][2:]:
                break  # the case this test is about happened
            time.sleep(0.3)

    def test_refusal(self):
        param = {"downloadFileUrl": "http://h/u", "filePath": "x/other.log", "fileType": "log"}
        self.assertEqual(self.command("getLog", param, "r1"), {"status": "3", "failDes": "Invalid parameter"})
        self.assertEqual(self.uploads(), [])


if __name__ == "__main__":
    unittest.main()

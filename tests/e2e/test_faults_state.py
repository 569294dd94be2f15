"""State on disk under faults: every state file corrupt at start-up (empty, truncated, garbage,
a directory), a full file system during a download (a small tmpfs as the user-data root), and
the write of each state file interrupted half-way (the process dies in the middle of it)."""
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from faults_support import FaultCase, record
from harness import Scratch, wait_for
from tasks_support import APP, DATA, DOWNLOAD, TASK_FILE, md5, payload

RES = "/usr/data/app/res/advertisement"
CONFIG = "/usr/data/config"

# A valid content of every state file the service keeps, by device path.
VALID = {
    TASK_FILE: '{"cmd":"apkUpgrade","taskId":"old","sn":"NB40000041","param":{"apkDownloadUrl":""}}\n',
    DATA + "/message_old": '{"cmd":"apkUpgradeResp","sn":"NB40000041","taskId":"old",'
                           '"param":{"status":"3","failDes":"ApkDownloadUrl is empty"}}\n',
    DATA + "/ota_old_version": "V1.2.3\n",
    DATA + "/devlock_state": "1\n",
    DATA + "/lbs_geofence": '{"geofenceCoordinates":"113.9,22.5","geofenceRadius":"500","cycle":"daily",'
                            '"pushAlert":1}\n',
    DATA + "/lbs_geofence_flag": "1\n",
    RES + "/config.json": '[{"enable":1,"level":1,"position":1,"type":"poster","fileName":"1_a.png",'
                          '"md5sum":"00000000000000000000000000000000"}]\n',
    "/tmp/ota_old_version": "1\n",
}
# The persisted server URL would name another server when cut or garbled; its empty and
# directory forms are tested (the configured URL is used then).
URL_FILES = [CONFIG + "/nimbo_server_url_persistent", CONFIG + "/nimbo_server_url"]


def corrupt(kind, text):
    if kind == "empty":
        return b""
    if kind == "truncated":
        return text.encode()[: max(1, len(text) // 2)]
    if kind == "garbage":
        return b"\x00\xff{\"cmd\":\xfe\n\x01" + os.urandom(64) + b"\x00"
    raise ValueError(kind)


class CorruptStateTest(FaultCase):
    SERIAL = "NB40000041"

    def put(self, abs_path, kind, text):
        p = self.term.path(abs_path)
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.unlink(p)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        if kind == "directory":
            os.makedirs(os.path.join(p, "inner"))
        else:
            with open(p, "wb") as f:
                f.write(corrupt(kind, text))

    def test_service_starts_on_corrupt_state(self):
        figures = {"variants": [], "files": len(VALID) + len(URL_FILES), "starts": 0, "tasks_done": 0}
        for n, kind in enumerate(("empty", "truncated", "garbage", "directory")):
            with self.subTest(kind=kind):
                self.svc.kill()
                for path, text in VALID.items():
                    self.put(path, kind, text)
                if kind in ("empty", "directory"):
                    for path in URL_FILES:
                        self.put(path, kind, "")
                self.svc = self.start_service()
                figures["starts"] += 1
                # It answers commands and carries out a whole task.
                data = payload(50_000, kind.encode())
                url = self.host(f"after-{kind}.zip", data)
                param = {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": f"After{n}",
                         "md5sum": md5(data), "apkSize": str(len(data)), "progress": 100}
                task_id = f"cs{n}"

                def done():
                    if self.finals("apkUpgrade", task_id):
                        return True
                    # A corrupt pending task may hold the gate once: the command is sent again.
                    self.server.send("apkUpgrade", param, task_id=task_id)
                    return False
                wait_for(done, 60, interval=2, what=f"{kind}: a task carried out")
                self.assertEqual(self.finals("apkUpgrade", task_id)[0]["status"], "2")
                self.assertEqual(self.read_bytes(f"{APP}/download/After{n}.zip"), data)
                self.assertIsNone(self.svc.returncode, f"{kind}: the service is running")
                figures["tasks_done"] += 1
                figures["variants"].append(kind)
        record("corrupt_state_at_startup", **figures)


class FullDiskTest(FaultCase):
    SERIAL = "NB40000042"
    TMPFS_MB = 8

    def setUp(self):
        # The user-data root becomes a small tmpfs holding what the terminal had there.
        self._term_scratch = Scratch("nimbo-full-")
        self.addCleanup(self._term_scratch.close)
        super().setUp()

    def mount_small_root(self, path="/usr/data", mb=None):
        self.svc.kill()
        data_root = self.term.path(path)
        keep = os.path.join(self._term_scratch.path, "kept" + path.replace("/", "-"))
        shutil.copytree(data_root, keep, symlinks=True)
        rc = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={mb or self.TMPFS_MB}m", "tmpfs", data_root],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        if rc != 0:
            self.skipTest("mounting a tmpfs needs root (CAP_SYS_ADMIN)")
        self.addCleanup(subprocess.run, ["umount", "-l", data_root], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        shutil.copytree(keep, data_root, symlinks=True, dirs_exist_ok=True)
        self.svc = self.start_service()

    def test_full_disk_during_a_download(self):
        self.mount_small_root()
        self.term.write(DATA + "/devlock_state", "0\n")
        before = {p: self.read_bytes(p) for p in (DATA + "/devlock_state",)}
        outcomes = {}
        # Announced honestly: refused before a byte is fetched, with the space message.
        big = payload(self.TMPFS_MB * 1024 * 1024 * 3 // 2, b"big")
        url = self.host("big.zip", big)
        start = self.send("apkUpgrade", {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": "Big",
                                         "md5sum": md5(big), "apkSize": str(len(big)), "progress": 100}, "fd1")
        final = self.wait_final("apkUpgrade", "fd1", start=start)
        self.assertEqual(final["failDes"], "Device does not have enough space for downloads and tasks")
        self.assertEqual(self.file_requests("big.zip"), [])
        outcomes["announced size"] = final["failDes"]

        # No size announced: the download fills the file system up to the reserve kept for
        # the state files; the write fails, the task ends, the partial package goes.
        start = self.send("apkUpgrade", {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": "Big",
                                         "md5sum": md5(big), "apkSize": "0", "progress": 100}, "fd2")
        final = self.wait_final("apkUpgrade", "fd2", start=start, timeout=120)
        self.assertEqual(final["status"], "3", final)
        self.assertRegex(final["failDes"], r"^CURL Error\[23: ")
        outcomes["no size announced"] = final["failDes"]
        wait_for(lambda: not self.exists(TASK_FILE), 20, what="task file removed")
        self.assertFalse(self.exists(DOWNLOAD + "/tmp_app.zip"))
        self.assertFalse(self.exists(APP + "/download/Big.zip"))
        for p, content in before.items():
            self.assertEqual(self.read_bytes(p), content)
        # The space is back and the service goes on.
        small = payload(100_000, b"small")
        url = self.host("small.zip", small)
        start = self.send("apkUpgrade", {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": "Small",
                                         "md5sum": md5(small), "apkSize": str(len(small)), "progress": 100}, "fd3")
        self.assertEqual(self.wait_final("apkUpgrade", "fd3", start=start)["status"], "2")
        self.assertEqual(self.read_bytes(APP + "/download/Small.zip"), small)
        record("full_disk", tmpfs_mb=self.TMPFS_MB, outcomes=outcomes)

    def fill(self, path):
        """Fills the file system of the folder `path` to the last byte."""
        fd = os.open(self.term.path(path + "/filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            for size in (1 << 20, 1 << 12, 1):
                try:
                    while os.write(fd, b"\0" * size) > 0:
                        pass
                except OSError:
                    pass
        finally:
            os.close(fd)

    def test_final_reply_with_the_link_down_and_the_partition_full(self):
        """A poster's final reply (QoS 2) made while the broker is down and its backup cannot be
        written (the data folder is a small file system of its own, full): it reaches the server
        once the broker is back."""
        self.mount_small_root(DATA, mb=1)
        data = payload(10_000, b"poster")
        url = self.host("p.png", data)
        start = self.send("customResourcePoster", {"action": "add", "type": "poster", "position": 1, "url": url,
                                                    "fileName": "p.png", "md5sum": md5(data),
                                                    "fileSize": str(len(data)), "progress": 100}, "fp1")
        # After "Installing" the worker waits 1 s before it installs and replies: the service is
        # frozen there while the partition fills and the broker goes.
        self.wait_param("customResourcePoster", "fp1", lambda p: p.get("failDes") == "Installing", 60, start,
                        "Installing")
        self.svc.signal(signal.SIGSTOP)
        try:
            self.fill(DATA)
            self.server._connected.clear()
            self.broker.stop()
        finally:
            self.svc.signal(signal.SIGCONT)
        self.svc.wait_log(r'send message (ok|failed), qos: 2, .*"taskId":"fp1"', timeout=30)
        self.assertEqual(self.finals("customResourcePoster", "fp1", start), [])
        self.broker.start()
        self.assertTrue(self.server._connected.wait(20), "server reconnect")
        final = self.wait_final("customResourcePoster", "fp1", start=start, timeout=90)
        self.assertIn(final["status"], ("2", "3"))


SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Dies (SIGKILL) half-way through the first write to a file whose path contains
   $NIMBO_FAULT_WRITE_MATCH: half of the bytes reach the file, as in a power loss. */
ssize_t write(int fd, const void* buf, size_t n) {
    static ssize_t (*real_write)(int, const void*, size_t);
    if (!real_write) real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    const char* match = getenv("NIMBO_FAULT_WRITE_MATCH");
    if (match && *match && n > 1) {
        char link[64], path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, path, sizeof path - 1);
        if (len > 0) {
            path[len] = '\0';
            if (strstr(path, match) && strncmp(path, "/dev/", 5) != 0) {
                real_write(fd, buf, n / 2);
                const char* mark = getenv("NIMBO_FAULT_WRITE_MARK");
                if (mark) {
                    FILE* f = fopen(mark, "w");
                    if (f) { fputs(path, f); fclose(f); }
                }
                kill(getpid(), SIGKILL);
            }
        }
    }
    return real_write(fd, buf, n);
}
"""


# The shim is put in front with LD_PRELOAD; a sanitizer runtime must come first in the
# library list, so a sanitizer build of the program refuses to start with it.
@unittest.skipIf("ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ,
                 "LD_PRELOAD shim cannot be loaded ahead of a sanitizer runtime")
class InterruptedWriteTest(FaultCase):
    SERIAL = "NB40000043"

    @classmethod
    def setUpClass(cls):
        cls.shim_dir = tempfile.mkdtemp(prefix="nimbo-shim-")
        src = os.path.join(cls.shim_dir, "shim.c")
        with open(src, "w") as f:
            f.write(SHIM)
        cls.shim = os.path.join(cls.shim_dir, "libfaultwrite.so")
        cc = shutil.which("cc") or shutil.which("gcc")
        cls.shim_error = None
        if cc is None:
            cls.shim_error = "no C compiler"
            return
        r = subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", cls.shim, src, "-ldl"], capture_output=True)
        if r.returncode != 0:
            cls.shim_error = r.stderr.decode()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shim_dir, ignore_errors=True)

    def start_armed(self, match):
        """The service with the shim armed for `match`; returns the mark file."""
        mark = os.path.join(self.shim_dir, "mark")
        if os.path.exists(mark):
            os.unlink(mark)
        self.svc.stop()
        self.SERVICE_ENV = {"LD_PRELOAD": self.shim, "NIMBO_FAULT_WRITE_MATCH": match,
                            "NIMBO_FAULT_WRITE_MARK": mark}
        self.svc = self.start_service()
        return mark

    def start_plain(self):
        self.SERVICE_ENV = {}
        self.svc.kill()
        self.svc = self.start_service()

    def interrupted(self, mark):
        wait_for(lambda: self.svc.returncode is not None, 30, what="the service killed mid-write")
        self.assertTrue(os.path.exists(mark), "the write was interrupted")
        with open(mark) as f:
            return f.read()

    def state(self, abs_path):
        p = self.term.path(abs_path)
        if not os.path.exists(p):
            return None
        with open(p, "rb") as f:
            return f.read()

    def installed_poster(self):
        """Lists a poster through the service itself; returns the list's text."""
        data = payload(10_000, b"poster")
        param = {"action": "add", "type": "poster", "enable": True, "level": 1, "position": 4,
                 "fileName": "a.png", "fileSize": str(len(data)), "md5sum": md5(data), "progress": 100,
                 "url": self.host("a.png", data)}
        start = self.send("customResourcePoster", param, "w4-add")
        self.assertEqual(self.wait_final("customResourcePoster", "w4-add", start=start)["status"], "2")
        return self.term.read(RES + "/config.json")

    def test_each_state_write_interrupted_half_way(self):
        if self.shim_error:
            self.skipTest(self.shim_error)
        figures = {"files": [], "interrupted": 0, "old_content_kept": 0}
        # (state file, its content before, how to make the service write it, check afterwards)
        cases = [
            ("devlock_state", DATA + "/devlock_state", "0\n",
             lambda: self.server.send("devLock", {"lockType": "1"}, task_id="w1")),
            ("task_cmd", TASK_FILE, None,
             lambda: self.server.send("apkUpgrade", {"apkDownloadUrl": ""}, task_id="w2")),
            ("message_", DATA + "/message_w3", None,
             lambda: self.server.send("apkUpgrade", {"apkDownloadUrl": ""}, task_id="w3")),
            ("config.json", RES + "/config.json", self.installed_poster,
             lambda: self.server.send("customResourcePoster", {"action": "delete", "position": 4, "fileName": "a.png",
                                                               "md5sum": md5(payload(10_000, b"poster"))},
                                     task_id="w4")),
        ]
        for name, path, old, trigger in cases:
            with self.subTest(file=name):
                if callable(old):
                    old = old()
                elif old is not None:
                    self.term.write(path, old)
                mark = self.start_armed(name)
                trigger()
                written = self.interrupted(mark)
                figures["interrupted"] += 1
                self.assertIn(name, written)
                after = self.state(path)
                self.assertEqual(after, None if old is None else old.encode(), f"{name}: {after!r}")
                figures["old_content_kept"] += 1
                # The next start reads the old content and goes on.
                self.start_plain()
                if name == "task_cmd" or name == "message_":
                    task_id = "w2" if name == "task_cmd" else "w3"
                    self.server.send("apkUpgrade", {"apkDownloadUrl": ""}, task_id=task_id)
                    final = self.wait_final("apkUpgrade", task_id)
                    self.assertEqual(final, {"status": "3", "failDes": "ApkDownloadUrl is empty"})
                    wait_for(lambda: not self.backups(), 20, what="backups removed")
                figures["files"].append(name)
        record("interrupted_writes", **figures)


if __name__ == "__main__":
    unittest.main()

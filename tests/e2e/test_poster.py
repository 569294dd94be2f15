"""Display resources end to end: "customResourcePoster" inserts, updates, replaces and deletes
posters and messages in "config.json", downloads the poster files from the management
simulator, answers with the exact replies, and signals the payment-application stand-in (99)."""
import hashlib
import json
import os
import unittest

from control_support import ControlCase
from harness import wait_for

RES = "/usr/data/app/res/advertisement"
CMD = "customResourcePoster"
RESP = CMD + "Resp"
BUSY = "Device is busy, please try again later."


def md5(data):
    return hashlib.md5(data).hexdigest()


class PosterCase(ControlCase):
    SERIAL = "NB30000001"

    # ---- pieces ---------------------------------------------------------------------------------
    def host(self, name, data):
        with open(os.path.join(self.sim.files, name), "wb") as f:
            f.write(data)
        return f"{self.sim.url}/files/{name}"

    def res(self, name):
        return self.term.path(f"{RES}/{name}")

    def res_bytes(self, name):
        try:
            with open(self.res(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def config(self):
        """config.json as its raw text (None when absent)."""
        b = self.res_bytes("config.json")
        return None if b is None else b.decode()

    def replies_of(self, task_id):
        with self.server._cond:
            return [p for _, p in self.server.replies if p and p.get("cmd") == RESP and p.get("taskId") == task_id]

    def params_of(self, task_id):
        return [p["param"] for p in self.replies_of(task_id)]

    def send(self, param, task_id):
        self.server.send(CMD, param, task_id=task_id)

    def wait_final(self, task_id, timeout=60):
        """The worker's final reply (status 2 or 3); all replies of the task so far."""
        def done():
            params = self.params_of(task_id)
            return params if any(p["status"] in ("2", "3") for p in params) else None
        return wait_for(done, timeout, interval=0.1, what=f"final reply of {task_id}")

    def answer(self, param, task_id):
        """A command the handler answers at once: its only reply."""
        start = len(self.server.replies)
        self.send(param, task_id)
        _, reply = self.server.wait_reply(RESP, task_id=task_id, start=start)
        return reply

    def poster(self, position, name, data, **extra):
        param = {"action": "add", "type": "poster", "enable": True, "level": 1, "position": position,
                 "fileName": name, "fileSize": str(len(data)), "md5sum": md5(data), "progress": 100,
                 "url": self.host(name, data)}
        param.update(extra)
        return param

    def count_99(self):
        return self.term.signals_received().count(99)

    def wait_99(self, count):
        wait_for(lambda: self.count_99() >= count, 20, interval=0.1, what=f"{count} signals 99")
        self.assertEqual(self.count_99(), count)

    def file_requests(self):
        return [r for r in self.sim.requests() if r["path"].startswith("/files/")]


class PosterLifecycleTest(PosterCase):
    SERIAL = "NB30000001"

    def test_insert_repeat_replace_and_delete(self):
        a = b"A" * 70000
        # Insert: accepted, installed, listed, signalled.
        self.send(self.poster(2, "a.png", a, sliderTitle="Welcome", beginTime="2025-01-01 00:00:00"), "p1")
        params = self.wait_final("p1")
        self.assertEqual(params, [{"status": "1", "failDes": "", "action": "add"},
                                  {"status": "1", "failDes": "Installing", "action": "add"},
                                  {"status": "2", "failDes": "", "action": "add"}])
        entry_a = {"enable": 1, "level": 1, "position": 2, "beginTime": "2025-01-01 00:00:00", "type": "poster",
                   "sliderTitle": "Welcome", "fileName": "2_a.png", "md5sum": md5(a)}
        self.assertEqual(self.config(), json.dumps([entry_a], separators=(",", ":")) + "\n")
        self.assertEqual(self.res_bytes("2_a.png"), a)
        self.wait_99(1)
        self.assertIsNone(self.data_file("task_cmd"))
        self.assertEqual(os.listdir(self.term.path("/usr/data/app/nimboservice/download")), [])
        fetched = len(self.file_requests())

        # The same poster again: updated in place, nothing downloaded, answered with QoS 2.
        reply = self.answer(self.poster(2, "a.png", a, level=4, sliderTitle="Hello"), "p2")
        self.assertEqual(reply["param"], {"status": "2", "failDes": "Update ok", "action": "add"})
        entry_a.update(level=4, sliderTitle="Hello", beginTime="")  # held keys take the request's values
        self.assertEqual(self.config(), json.dumps([entry_a], separators=(",", ":")) + "\n")
        self.assertEqual(len(self.file_requests()), fetched)
        self.wait_99(2)

        # A message beside it: listed at once, answered as finished.
        reply = self.answer({"action": "add", "type": "message", "position": 5, "enable": True,
                             "sliderTitle": "Sale"}, "m1")
        self.assertEqual(reply["param"], {"status": "2", "failDes": "", "action": "add"})
        self.wait_99(3)

        # Another picture for position 2: replaced in its place, old file removed after the install.
        b = b"B" * 1000
        self.send(self.poster(2, "b.png", b), "p3")
        self.assertEqual(self.wait_final("p3")[-1], {"status": "2", "failDes": "", "action": "add"})
        listed = json.loads(self.config())
        self.assertEqual([e["position"] for e in listed], [2, 5])
        self.assertEqual(listed[0]["fileName"], "2_b.png")
        self.assertEqual(listed[0]["md5sum"], md5(b))
        self.assertEqual(self.res_bytes("2_b.png"), b)
        self.assertIsNone(self.res_bytes("2_a.png"))
        self.wait_99(4)

        # Delete the poster and the message.
        reply = self.answer({"action": "delete", "position": 2, "md5sum": md5(b), "fileName": "b.png"}, "d1")
        self.assertEqual(reply["param"], {"status": "2", "failDes": "Delete ok", "action": "delete"})
        self.assertIsNone(self.res_bytes("2_b.png"))
        reply = self.answer({"action": "delete", "position": 5}, "d2")
        self.assertEqual(reply["param"], {"status": "2", "failDes": "Delete ok", "action": "delete"})
        self.assertEqual(self.config(), "[]\n")
        self.wait_99(6)
        reply = self.answer({"action": "delete", "position": 2, "md5sum": md5(b), "fileName": "b.png"}, "d3")
        self.assertEqual(reply["param"], {"status": "2", "failDes": "Resources do not exist", "action": "delete"})
        self.assertEqual(self.count_99(), 6)
        self.assertIsNone(self.data_file("task_cmd"))

    def test_new_picture_under_the_same_stored_name_is_kept(self):
        old, new = b"old" * 100, b"new" * 200
        self.send(self.poster(3, "x.png", old), "s1")
        self.assertEqual(self.wait_final("s1")[-1]["status"], "2")
        # Same position and name, another picture: the installed file is the old entry's file.
        self.send(self.poster(3, "x.png", new), "s2")
        self.assertEqual(self.wait_final("s2")[-1], {"status": "2", "failDes": "", "action": "add"})
        self.assertEqual(self.res_bytes("3_x.png"), new)
        self.assertEqual(json.loads(self.config())[0]["md5sum"], md5(new))
        self.wait_99(2)


class PosterProgressAndFailureTest(PosterCase):
    SERIAL = "NB30000002"

    def test_progress_replies_follow_the_step(self):
        data = os.urandom(200000)
        self.send(self.poster(1, "p.png", data, progress=0), "g1")
        params = self.wait_final("g1")
        progress = [p for p in params if p["failDes"].endswith("%")]
        self.assertTrue(progress, params)
        self.assertEqual(progress[-1], {"status": "1", "failDes": "100.00%", "action": "add"})
        self.assertEqual(params[-1], {"status": "2", "failDes": "", "action": "add"})

        self.send(self.poster(4, "q.png", data, progress=100), "g2")
        params = self.wait_final("g2")
        self.assertEqual([p["failDes"] for p in params], ["", "Installing", ""])

    def test_failed_download_changes_nothing(self):
        data = b"C" * 500
        param = self.poster(1, "c.png", data)
        os.unlink(os.path.join(self.sim.files, "c.png"))  # the server lost it: 404
        self.send(param, "f1")
        params = self.wait_final("f1")
        self.assertEqual(params[-1], {"status": "3", "failDes": "Download failed[HTTP404], task end.", "action": "add"})
        self.assertIsNone(self.config())
        self.assertIsNone(self.res_bytes("1_c.png"))
        self.assertIsNone(self.data_file("task_cmd"))
        self.assertEqual(self.count_99(), 0)

        # The task file is gone: the next long task is admitted.
        self.send(self.poster(1, "d.png", data), "f2")
        self.assertEqual(self.wait_final("f2")[-1]["status"], "2")

    def test_refusal(self):
        param = {"type": "poster", "position": 1, "fileName": "../../etc/x", "url": "http://127.0.0.1:1/x"}
        self.assertEqual(self.answer(param, "r1")["param"], {"status": "3", "failDes": "Invalid parameter"})
        self.assertIsNone(self.data_file("task_cmd"))
        self.assertIsNone(self.config())
        self.assertEqual(self.count_99(), 0)

    def test_busy_while_downloading(self):
        data = os.urandom(300000)
        self.sim.config(throttle=60000)
        self.send(self.poster(1, "slow.png", data), "b1")
        wait_for(lambda: any(r["path"] == "/files/slow.png" for r in self.sim.requests()), 20,
                 what="the download to start")
        # Refused by the admission rule with the request's own action.
        reply = self.answer({"action": "delete", "position": 1}, "b2")
        self.assertEqual(reply["param"], {"status": "3", "failDes": BUSY, "action": "delete"})
        self.sim.config(throttle=0)
        self.assertEqual(self.wait_final("b1")[-1]["status"], "2")
        self.assertEqual(self.res_bytes("1_slow.png"), data)

    def test_one_worker_for_a_repeated_request(self):
        data = os.urandom(200000)
        self.sim.config(throttle=100000)
        param = self.poster(6, "twice.png", data)
        raw = self.server.send(CMD, param, task_id="w1")
        self.server.send(raw=raw)  # the same message delivered twice
        # The second is refused by the dispatcher ("busy") or dropped by the handler; either
        # way one worker installs the file.
        wait_for(lambda: any(p["status"] == "2" for p in self.params_of("w1")), 60, interval=0.1,
                 what="the install")
        self.server.expect_no_reply(RESP, seconds=2, task_id="w2")
        params = self.params_of("w1")
        self.assertNotIn("3", [p["status"] for p in params if p["failDes"] != BUSY], params)
        self.assertEqual([p["failDes"] for p in params].count("Installing"), 1, params)
        self.assertEqual([p["status"] for p in params].count("2"), 1, params)
        self.assertEqual([r["path"] for r in self.file_requests()], ["/files/twice.png"])
        self.assertEqual(self.res_bytes("6_twice.png"), data)


class PosterResumeTest(PosterCase):
    SERIAL = "NB30000003"

    def test_download_paused_by_a_lost_session_resumes_after_reconnection(self):
        data = os.urandom(400000)
        self.sim.config(throttle=100000)
        self.send(self.poster(7, "r.png", data), "z1")
        wait_for(lambda: any(r["path"] == "/files/r.png" for r in self.sim.requests()), 20,
                 what="the download to start")
        self.broker.stop()
        # The attempt ends with the session down: paused, the task file kept, nothing listed.
        self.svc.wait_log(r"mqtt offline, temporary storage task", timeout=30)
        self.assertIn('"taskId":"z1"', self.data_file("task_cmd"))
        self.assertIsNone(self.config())
        self.sim.config(throttle=0)
        self.broker.start()
        # After reconnection the stored request comes back and the task completes.
        params = self.wait_final("z1", timeout=120)
        self.assertEqual(params[-1], {"status": "2", "failDes": "", "action": "add"})
        self.assertEqual(self.res_bytes("7_r.png"), data)
        self.assertEqual(json.loads(self.config())[0]["fileName"], "7_r.png")
        self.assertIsNone(self.data_file("task_cmd"))
        self.wait_99(1)


if __name__ == "__main__":
    unittest.main()

"""Back-to-back application upgrades as a busy server sends them: the next task goes out from
inside the callback that receives the previous task's final reply, while another process keeps
writing and syncing to the terminal's disk. The final reply means the terminal is free: every
next task is admitted and answered, none dropped, none left blocking in the task file."""
import json
import os
import threading

from harness import CMD_TOPIC_PREFIX, wait_for
from tasks_support import DATA, TASK_FILE, TaskCase, md5, payload

ROUNDS = 40


class DiskWriter:
    """Writes and fsyncs 256 KiB blocks to one file on the terminal's disk until stopped."""

    def __init__(self, path):
        self.path = path
        self.stop_event = threading.Event()
        self.blocks = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        block = os.urandom(256 * 1024)
        with open(self.path, "wb") as f:
            while not self.stop_event.is_set():
                f.write(block)
                f.flush()
                os.fsync(f.fileno())
                self.blocks += 1
                if self.blocks % 16 == 0:
                    f.seek(0)
                    f.truncate()

    def close(self):
        self.stop_event.set()
        self.thread.join(10)
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


class BackToBackChainTest(TaskCase):
    SERIAL = "NB30000041"

    def test_next_task_sent_on_the_final_reply_is_admitted_and_answered(self):
        data = payload(16_000)
        url = self.host("chain.zip", data)
        param = {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Chain", "md5sum": md5(data),
                 "apkSize": str(len(data)), "progress": 100}
        writer = DiskWriter(self.term.path(DATA + "/disk_writer.bin"))
        self.addCleanup(writer.close)

        finals = []      # (taskId, status) in arrival order
        lock = threading.Condition()
        client = self.server.client
        topic = CMD_TOPIC_PREFIX + self.SERIAL
        earlier = client.on_message

        def request(n):
            return json.dumps({"cmd": "apkUpgrade", "taskId": f"c{n}", "sn": self.SERIAL, "param": param},
                              separators=(",", ":"))

        def on_message(c, userdata, msg):
            earlier(c, userdata, msg)
            try:
                reply = json.loads(msg.payload)
            except ValueError:
                return
            if reply.get("cmd") != "apkUpgradeResp" or reply.get("param", {}).get("status") not in ("2", "3"):
                return
            n = int(reply["taskId"][1:])
            with lock:
                finals.append((reply["taskId"], reply["param"]["status"]))
                lock.notify_all()
            if n + 1 < ROUNDS:
                c.publish(topic, request(n + 1), qos=1)  # at once, from inside the callback

        client.on_message = on_message
        self.addCleanup(setattr, client, "on_message", earlier)
        client.publish(topic, request(0), qos=1)

        def done():
            with lock:
                return len(finals) >= ROUNDS
        try:
            wait_for(done, 240, interval=0.2, what="final replies")
        except AssertionError:
            raise AssertionError(f"chain stopped after {len(finals)} of {ROUNDS} final replies; "
                                 f"last: {finals[-1:]}\nlog tail:\n{self.svc.log_text()[-3000:]}") from None
        self.assertEqual(finals, [(f"c{n}", "2") for n in range(ROUNDS)])
        self.assertGreater(writer.blocks, 0)
        wait_for(lambda: not self.exists(TASK_FILE), 10, what="task file removed")
        # Nothing more arrives for any of them (each answered exactly once).
        self.server.expect_no_reply("apkUpgradeResp", seconds=1, task_id="none")
        for n in range(ROUNDS):
            statuses = [p["status"] for p in self.params("apkUpgrade", f"c{n}")]
            self.assertEqual(statuses, ["1", "1", "2"], f"c{n}")

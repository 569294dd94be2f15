"""QoS 2 final replies across a lost MQTT link.

The broker stopped and started again at a random moment after each command (one moment per
seed): every final reply reaches the server in the end, byte for byte the reply the service
made, and its backup file is gone afterwards. The connection cut by a relay right after each
step of the QoS 2 exchange (PUBLISH, PUBREC, PUBREL, PUBCOMP): the reply is delivered in the
end and its backup is removed only once the exchange has completed.

With a clean session the MQTT client drops its in-flight QoS 2 messages when the connection
goes (their failure callback gets "operation incomplete"); the backup files carry them over.
A reply whose PUBLISH reached the broker before the cut may reach the server twice (the same
text): that is at-least-once, which the server removes by its taskId; the tests count it."""
import os
import random
import re
import time
import unittest

from faults_support import FaultCase, record, seeds
from harness import wait_for

EMPTY_URL = {"apkDownloadUrl": ""}
FINAL = {"status": "3", "failDes": "ApkDownloadUrl is empty"}


class QosTwoCase(FaultCase):
    ALIBANK = False

    def final_texts(self, task_id, start=0):
        with self.server._cond:
            return [raw for raw, p in self.server.replies[start:]
                    if p and p.get("cmd") == "apkUpgradeResp" and p.get("taskId") == task_id
                    and p["param"].get("status") in ("2", "3")]

    def arrived(self, task_id):
        self.svc.wait_log(r'message: .*"taskId":"%s"' % task_id, timeout=30)

    def ready(self, timeout=60):
        """Until a probe is answered: the command topic's subscription is in force."""
        deadline = time.monotonic() + timeout
        n = 0
        while time.monotonic() < deadline:
            n += 1
            probe = f"probe-{time.monotonic_ns()}-{n}"
            start = len(self.server.replies)
            self.server.send("faultProbe", {}, task_id=probe)
            try:
                self.server.wait_reply("faultProbeResp", task_id=probe, timeout=1, start=start)
                return
            except AssertionError:
                continue
        raise AssertionError("the service does not answer")

    def backup_path(self, task_id):
        return os.path.join(self.term.data_path, "message_" + task_id)


class BrokerBounceTest(QosTwoCase):
    SERIAL = "NB40000021"

    def test_broker_restarted_at_random_moments(self):
        figures = {"seeds": [], "bounces": 0, "replies": 0, "lost": 0, "duplicates": 0,
                   "stopped": {"before the command arrived": 0, "with the reply in flight": 0,
                               "after the exchange": 0}}
        arrival = r'message: .*"taskId":"%s"'
        for seed in seeds():
            with self.subTest(seed=seed):
                rng = random.Random(f"broker-{seed}")
                task_id = f"bb{seed}"
                start = self.send("apkUpgrade", EMPTY_URL, task_id)
                time.sleep(rng.uniform(0, 0.015))
                done_at_stop = bool(self.finals("apkUpgrade", task_id, start))
                subscribed = self.svc.log_text().count("Subscribed to topic /e/default/ma/d/" + self.SERIAL)
                self.server._connected.clear()
                self.broker.stop()
                arrived = bool(re.search(arrival % task_id, self.svc.log_text()))
                time.sleep(rng.uniform(0.1, 2.0))
                self.broker.start()
                figures["bounces"] += 1
                self.assertTrue(self.server._connected.wait(20), "server reconnect")
                # The device is back (a command sent before would be lost: QoS 0, clean session).
                self.svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + self.SERIAL, count=subscribed + 1,
                                  timeout=120)
                if not arrived:
                    arrived = bool(re.search(arrival % task_id, self.svc.log_text()))
                if not arrived:
                    # The broker went before it passed the command on: the server sends it again
                    # (until it arrives: the subscription may still be on its way to the broker).
                    figures["stopped"]["before the command arrived"] += 1
                    self.ready()
                    self.server.send("apkUpgrade", EMPTY_URL, task_id=task_id)
                elif not done_at_stop:
                    figures["stopped"]["with the reply in flight"] += 1
                else:
                    figures["stopped"]["after the exchange"] += 1
                final = self.wait_final("apkUpgrade", task_id, timeout=120, start=start)
                self.assertEqual(final, FINAL)
                wait_for(lambda: not os.path.exists(self.backup_path(task_id)), 30, what="backup removed")
                wait_for(lambda: not self.exists("/usr/data/app/nimboservice/data/task_cmd"), 10,
                         what="task file removed")
                time.sleep(0.3)
                texts = self.final_texts(task_id, start)
                self.assertEqual(len(set(texts)), 1, texts)
                figures["replies"] += 1
                figures["duplicates"] += len(texts) - 1
                figures["seeds"].append(seed)
        self.assertEqual(self.backups(), [])
        record("broker_bounce", **figures)


class QosStepCutTest(QosTwoCase):
    SERIAL = "NB40000022"

    def setUp(self):
        super().setUp()
        self.proxy = self.route_through_relay()

    def test_cut_after_each_step_of_the_exchange(self):
        figures = {"steps": [], "cuts": 0, "delivered": 0, "duplicates": 0}
        subscribed = r"Subscribed to topic /e/default/ma/d/" + self.SERIAL
        connections = self.svc.log_text().count("Subscribed to topic /e/default/ma/d/" + self.SERIAL)
        for step in ("publish", "pubrec", "pubrel", "pubcomp"):
            with self.subTest(step=step):
                task_id = f"cut-{step}"
                lost_before = self.svc.log_text().count("mqtt connection lost")
                self.proxy.cut_at_mqtt(step, 1)
                start = self.send("apkUpgrade", EMPTY_URL, task_id)
                self.svc.wait_log(r"mqtt connection lost", count=lost_before + 1, timeout=30)
                figures["cuts"] += 1
                if step != "pubcomp":
                    # The exchange did not complete: the backup carries the reply.
                    self.assertTrue(os.path.exists(self.backup_path(task_id)), f"{step}: backup kept")
                final = self.wait_final("apkUpgrade", task_id, timeout=120, start=start)
                self.assertEqual(final, FINAL)
                wait_for(lambda: not os.path.exists(self.backup_path(task_id)), 30, what=f"{step}: backup removed")
                texts = self.final_texts(task_id, start)
                self.assertEqual(len(set(texts)), 1, texts)
                figures["delivered"] += 1
                figures["duplicates"] += len(texts) - 1
                figures["steps"].append(step)
                # Connected again before the next step.
                self.svc.wait_log(subscribed, count=connections + figures["cuts"], timeout=60)
                self.ready()
        self.assertIn("Message sending failed with code", self.svc.log_text())
        self.assertEqual(self.backups(), [])
        record("mqtt_step_cuts", **figures)

    def test_reply_for_a_task_id_with_a_slash_survives_a_dropped_uplink(self):
        task_id = "shop/v2-1"
        lost = self.svc.log_text().count("mqtt connection lost")
        self.proxy.hold()  # what the service sends goes nowhere
        start = self.send("apkUpgrade", EMPTY_URL, task_id)
        self.svc.wait_log(r'send message \w+, qos: 2, .*"taskId":"shop/v2-1"', timeout=30)
        self.assertEqual(len(self.backups()), 1, "the reply is stored")
        self.proxy.cut()
        self.proxy.release()
        self.svc.wait_log(r"mqtt connection lost", count=lost + 1, timeout=30)
        final = self.wait_final("apkUpgrade", task_id, timeout=60, start=start)
        self.assertEqual(final, FINAL)
        wait_for(lambda: self.backups() == [], 30, what="backup removed")


if __name__ == "__main__":
    unittest.main()

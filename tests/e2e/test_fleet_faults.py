"""The fleet runner on planted faults (tools/fleet.py --plant, for its own tests), and the
wiring of final_ack: a final reply held by the terminal, sent again after a reconnection and
on the timer until the server side acknowledges it, then removed. A few terminals each."""
import os
import sys
import time
import unittest

from harness import SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import fleet  # noqa: E402


def problems(figures, scenario):
    return (figures.get("problems") or {}).get(scenario, [])


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.2)


class PlantedFaults(unittest.TestCase):
    def test_rollout_finds_a_missing_a_doubled_reply_and_a_wrong_byte_count(self):
        args = fleet.parse_args(["rollout", "-n", "4", "--package-kib", "16", "--timeout", "120",
                                 "--reply-timeout", "8", "--sn-prefix", "PF",
                                 "--plant", "drop-final,double-final,short-package"])
        ok, figures = fleet.run(args)
        self.assertFalse(ok, figures)
        self.assertEqual(figures["left_running"], [], figures)
        found = problems(figures, "rollout")
        for words in ("1 task(s) without a final reply", "1 task(s) with more than one final reply",
                      "1 terminal(s) fetched another byte count", "PF000000 16383", "3 of 4 installed packages"):
            self.assertTrue(any(words in p for p in found), (words, found))

    def test_outage_that_met_no_pending_reply_fails(self):
        # The broker "freeze" does nothing: the final replies go through before the broker
        # is killed, and the outage proves nothing.
        args = fleet.parse_args(["broker-outage", "-n", "2", "--outage", "2", "--hang", "5", "--timeout", "120",
                                 "--reply-timeout", "60", "--settle", "1", "--sn-prefix", "PO", "--plant", "no-freeze"])
        ok, figures = fleet.run(args)
        self.assertFalse(ok, figures)
        self.assertEqual(figures["broker_outage"]["replies_pending_at_stop"], 0, figures)
        self.assertTrue(any("met no pending reply" in p for p in problems(figures, "broker-outage")), figures)
        self.assertEqual(figures["left_running"], [], figures)


class FinalAckWiring(unittest.TestCase):
    def test_final_reply_sent_again_until_acknowledged(self):
        args = fleet.parse_args(["broker-crash", "-n", "2", "--final-ack", "--ini", "server.final_ack_resend=5",
                                 "--timeout", "120", "--sn-prefix", "FA"])
        f = fleet.Fleet(args)
        try:
            f.up()
            server = f.server
            server.ack = False  # the server side withholds its acknowledgement for now
            data = f.package(8 * 1024, "fa")
            mark = server.mark()
            tasks = {f"fa-{sn}": sn for sn in f.serials}
            for task, sn in tasks.items():
                server.send(sn, "apkUpgrade", task, f.apk_param(sn, data))
            wait_for(lambda: server.unique_finals(tasks) == 2, 60, "the final replies")
            # Delivered, and still held: the broker's completion does not remove the backup;
            # the timer sends each again (final_ack_resend=5) and the server takes it once.
            wait_for(lambda: server.dropped >= 2, 30, "the final replies sent again by the timer")
            self.assertEqual(f.backups(tasks), 2)
            # A reconnection sends each one again.
            dropped = server.dropped
            f.broker.kill()
            f.broker.start()
            wait_for(lambda: server.dropped >= dropped + 2, 60, "the final replies sent again after the reconnection")
            self.assertEqual(f.backups(tasks), 2)
            self.assertEqual(server.unique_finals(tasks), 2)
            # Acknowledged after the next reconnection: the backups go, and nothing comes again.
            server.ack = True
            f.broker.kill()
            f.broker.start()
            wait_for(lambda: f.backups(tasks) == 0, 60, "the backups removed on the acknowledgement")
            self.assertGreaterEqual(server.acks, 2)
            finals = f.finals(mark, tasks)
            self.assertEqual(sorted(finals), sorted(tasks))
            self.assertTrue(all(v[0][1] == "2" for v in finals.values()), finals)
            count = server.mark()
            time.sleep(3)
            self.assertEqual(f.backups(tasks), 0)
            again = [p for _, topic, p, _ in server.since(count)
                     if p and topic == fleet.REPLY_TOPIC and p.get("cmd") == "apkUpgradeResp"]
            self.assertEqual(again, [])
        finally:
            f.close()
        self.assertEqual(f.figures["left_running"], [])


if __name__ == "__main__":
    unittest.main()

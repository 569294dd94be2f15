"""A small fleet end to end (tools/fleet.py): many agents on one broker and one management
simulator; a fan-out before and after a broker restart with QoS 2 replies pending on every
terminal; a rollout campaign driven by nimboctl. Gates on correctness only (every reply,
exactly once, nothing left running), never on timing. NIMBO_FLEET_N sets the size of the
first (default 50)."""
import os
import sys
import unittest

from harness import SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import fleet  # noqa: E402


class FleetTest(unittest.TestCase):
    def test_fanout_and_broker_restart_with_replies_pending(self):
        n = int(os.environ.get("NIMBO_FLEET_N", "50"))
        args = fleet.parse_args(["broker-outage", "-n", str(n), "--outage", "5", "--hang", "8",
                                 "--rounds-before", "1", "--rounds-after", "1", "--settle", "3",
                                 "--timeout", "180", "--reply-timeout", "120", "--sn-prefix", "CI"])
        ok, figures = fleet.run(args)
        self.assertEqual(figures["left_running"], [], figures)
        for round_name in ("fanout_before", "fanout_after"):
            f = figures[round_name]
            self.assertEqual((f["answered"], f["duplicates"], f["ok_status"]), (n, 0, n), (round_name, f))
        outage = figures["broker_outage"]
        # Every terminal had its final reply backed up when the broker went, and each one
        # reached the server once after the restart.
        self.assertEqual(outage["replies_pending_at_stop"], n, outage)
        self.assertEqual(outage["back"], n, outage)
        self.assertEqual((outage["finals"], outage["duplicates"], outage["backups_left"]), (n, 0, 0), outage)
        self.assertEqual(outage["succeeded"], n, outage)
        self.assertTrue(ok, figures)

    def test_campaign_from_the_console(self):
        # nimboctl rolls one package out to every terminal from one server; one terminal finds
        # no package, one serial number has no terminal: both named in the summary, exit 1.
        args = fleet.parse_args(["campaign", "-n", "20", "--fail", "1", "--ghosts", "1", "--parallel", "8",
                                 "--campaign-timeout", "10", "--package-kib", "64", "--timeout", "180",
                                 "--reply-timeout", "180", "--sn-prefix", "CC"])
        ok, figures = fleet.run(args)
        self.assertEqual(figures["left_running"], [], figures)
        c = figures["campaign"]
        self.assertEqual(c["exit"], 1, c)
        self.assertEqual(c["failed"], {"CC000000": "Download failed[HTTP404], task end."}, c)
        self.assertEqual(c["no_answer"], ["CCG00000"], c)
        self.assertEqual((c["finished"], c["verified_packages"], c["more_than_one_final"]), (19, 19, 0), c)
        self.assertEqual({k: c["summary"][k] for k in ("terminals", "finished", "failed", "no_answer", "not_sent")},
                         {"terminals": 21, "finished": 19, "failed": 1, "no_answer": 1, "not_sent": 0}, c)
        self.assertTrue(ok, figures)


if __name__ == "__main__":
    unittest.main()

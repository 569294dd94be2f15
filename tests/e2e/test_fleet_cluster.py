"""The fleet on a three-node ejabberd cluster behind the TCP front (tools/ejabberd_node.py,
tools/tcp_front.py): one node killed while final replies flow, with final_ack; every final
reply arrives, the killed node's terminals move to the others, nothing is left running.
Skipped where ejabberd is not installed."""
import os
import sys
import unittest

from harness import SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import ejabberd_node  # noqa: E402
import fleet  # noqa: E402


@unittest.skipUnless(ejabberd_node.available(), "ejabberd is not installed")
class ClusterTest(unittest.TestCase):
    def test_node_killed_while_final_replies_flow(self):
        n = 9
        args = fleet.parse_args(["broker-crash", "-n", str(n), "--broker-kind", "ejabberd", "--nodes", "3",
                                 "--final-ack", "--flow", "2", "--reply-timeout", "120", "--timeout", "120",
                                 "--sn-prefix", "EC"])
        ok, figures = fleet.run(args)
        self.assertEqual(figures["left_running"], [], figures)
        crash = figures["broker_crash"]
        self.assertEqual(len(crash["cluster"]), 3, crash)
        self.assertEqual((crash["lost"], crash["backups_left"], crash["succeeded"]), (0, 0, n), crash)
        self.assertEqual(crash["terminals_on_killed_node"], 3, crash)  # the front's turns: 3 of 9
        self.assertGreaterEqual(crash["terminals_moved"], 3, crash)
        self.assertTrue(ok, figures)


if __name__ == "__main__":
    unittest.main()

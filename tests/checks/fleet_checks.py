#!/usr/bin/python3
"""The fleet runner's own checks (tools/fleet.py), each shown failing on a planted fault, and
its process handling: no signal to a process group whose leader was reaped, nothing left
running after the runner is killed.

  fleet_checks.py SOURCE_DIR
"""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(SOURCE, "tools")
sys.path.insert(0, TOOLS)
import fleet  # noqa: E402


def finals(**tasks):
    """taskId -> [(time, status, raw)] from keyword task=[statuses]."""
    return {t: [(float(i), s, "") for i, s in enumerate(statuses)] for t, statuses in tasks.items()}


class Checks(unittest.TestCase):
    def test_each_check_fails_on_its_planted_fault(self):
        ok_finals = finals(a=["2"], b=["2"], c=["3"])
        expect = {"a": "2", "b": "2", "c": "3"}
        cases = [
            # (what, problems, the words the problem must hold; None: no problem)
            ("all right", fleet.check_finals(ok_finals, expect), None),
            ("a missing reply", fleet.check_finals(finals(a=["2"], c=["3"]), expect), "without a final reply"),
            ("a doubled reply", fleet.check_finals(finals(a=["2", "2"], b=["2"], c=["3"]), expect),
             "more than one final reply"),
            ("a doubled reply, dropped by taskId", fleet.check_finals(finals(a=["2", "2"], b=["2"], c=["3"]), expect,
                                                                      duplicates_allowed=True), None),
            ("a failed final counted as delivered", fleet.check_finals(finals(a=["3"], b=["2"], c=["3"]), expect),
             "another status"),
            ("a frozen-but-not-pending outage", fleet.check_pending(0), "met no pending reply"),
            ("an outage with replies pending", fleet.check_pending(50), None),
            ("a wrong byte count", fleet.check_bytes({"s1": 262144, "s2": 262143}, 262144), "s2 262143"),
            ("a byte fetched twice", fleet.check_bytes({"s1": 262144 + 100}, 262144), "another byte count"),
            ("every byte once", fleet.check_bytes({"s1": 262144, "s2": 262144}, 262144), None),
            ("a terminal connected twice", fleet.check_once({"s1": 1, "s2": 2}, ["s1", "s2"], "connected"), "s2 2x"),
            ("a terminal never connected", fleet.check_once({"s1": 1}, ["s1", "s2"], "connected"), "s2 0x"),
            ("a bootstrap missing", fleet.check_bootstraps([200], 2), "1 bootstrap requests answered 200, want 2"),
            ("an outage that refused nothing", fleet.check_bootstraps([200, 200], 2, refused_expected=True),
             "refused no bootstrap"),
            ("retries after a refusal", fleet.check_bootstraps([500, 500, 200, 200], 2, refused_expected=True), None),
        ]
        for what, problems, words in cases:
            with self.subTest(what):
                if words is None:
                    self.assertEqual(problems, [])
                else:
                    self.assertEqual(len(problems), 1, problems)
                    self.assertIn(words, problems[0])


class MachineLimits(unittest.TestCase):
    def test_a_fleet_that_does_not_fit_is_refused_pid_max_raised_when_allowed(self):
        here = {"pid_max": 32768, "pid_max_writable": True, "threads_max": 192739, "fd_hard_limit": 20000,
                "memory_available_kib": 23 * 1024 * 1024, "ephemeral_ports": 28232}
        lean = fleet.KIB_PER_AGENT_LEAN_CURL
        cases = [
            # (n, changes to the machine, KiB an agent, pid_max to set, words of the one problem or None)
            (1000, {}, fleet.KIB_PER_AGENT, None, None),
            (10000, {}, lean, 104000, None),
            # Debian's libcurl: 10,000 agents ran this machine out of memory.
            (10000, {}, fleet.KIB_PER_AGENT, 104000, "MiB are available"),
            (10000, {"pid_max_writable": False}, lean, None, "cannot be raised"),
            (10000, {"threads_max": 40000}, lean, 104000, "kernel.threads-max"),
            (10000, {"fd_hard_limit": 10000}, lean, 104000, "descriptors"),
            (10000, {"memory_available_kib": 16 * 1024 * 1024}, lean, 104000, "MiB are available"),
            (15000, {"fd_hard_limit": 1 << 20, "memory_available_kib": 64 << 20}, lean, 154000, "loopback ports"),
        ]
        for n, changes, kib, raise_to, words in cases:
            with self.subTest(n=n, changes=changes, kib=kib):
                figures, problems, to = fleet.machine_limits(n, dict(here, **changes), kib_per_agent=kib)
                self.assertEqual(to, raise_to)
                if words is None:
                    self.assertEqual(problems, [])
                else:
                    self.assertEqual(len(problems), 1, problems)
                    self.assertIn(words, problems[0])
                self.assertEqual(figures["ids_needed"], 5 * n + 2000)


class Processes(unittest.TestCase):
    def test_the_guardian_puts_pid_max_back_after_a_killed_runner(self):
        # (lines the runner told, pid_max when the runner is gone, pid_max after the guardian)
        cases = [
            (b"pid_max 32768 104000\n", "104000", "32768"),
            (b"pid_max 32768 104000\n", "200000", "200000"),  # changed by someone since: left alone
            (b"", "104000", "104000"),                           # nothing raised: nothing put back
            (b"pid_max 32768\nrubbish\n", "104000", "104000"),
        ]
        for told, before, after in cases:
            with self.subTest(told=told, before=before), tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, "pid_max")
                with open(path, "w") as f:
                    f.write(before + "\n")
                guardian = subprocess.run(
                    [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import fleet; "
                     "sys.exit(fleet.guard(sys.argv[2], sys.argv[3]))", TOOLS, "no-such-run", path],
                    input=told, timeout=60)
                self.assertEqual(guardian.returncode, 0)
                with open(path) as f:
                    self.assertEqual(f.read().strip(), after)

    def test_no_signal_to_a_reaped_leaders_group(self):
        proc = subprocess.Popen(["true"], start_new_session=True)
        proc.wait()
        sent = []
        real = os.killpg
        os.killpg = lambda pgid, sig: sent.append((pgid, sig))
        try:
            fleet.Registry.kill_group(proc)
            fleet.Registry.signal_group(proc, signal.SIGTERM)
        finally:
            os.killpg = real
        self.assertEqual(sent, [])

    def test_nothing_outlives_a_killed_runner(self):
        # A runner that starts a child which leaves its group (a daemon, like a port mapper),
        # then is killed with SIGKILL: the guardian kills both.
        with tempfile.TemporaryDirectory() as work:
            pids_file = os.path.join(work, "started")
            script = textwrap.dedent(f"""
                import os, sys, time
                sys.path.insert(0, {os.path.join(SOURCE, "tools")!r})
                import fleet
                reg = fleet.Registry({os.path.join(work, "pids")!r})
                reg.spawn("group", ["sh", "-c", "setsid sleep 300 & echo $! > {pids_file}.d; exec sleep 300"])
                time.sleep(0.5)
                open({pids_file!r}, "w").write(str(reg.procs[0][1].pid))
                time.sleep(300)
            """)
            runner = subprocess.Popen([sys.executable, "-c", script])
            deadline = time.monotonic() + 20
            while not (os.path.exists(pids_file) and os.path.exists(pids_file + ".d")):
                self.assertLess(time.monotonic(), deadline, "the runner did not start its children")
                time.sleep(0.1)
            time.sleep(0.2)
            with open(pids_file) as f:
                leader = int(f.read())
            with open(pids_file + ".d") as f:
                daemon = int(f.read())
            self.assertTrue(alive(leader) and alive(daemon))
            runner.kill()
            runner.wait()
            deadline = time.monotonic() + 20
            while alive(leader) or alive(daemon):
                self.assertLess(time.monotonic(), deadline, f"left running: {leader} {daemon}")
                time.sleep(0.1)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()

"""The README's guided tour runs through and leaves nothing behind."""
import os
import re
import subprocess
import unittest

from harness import PYTHON, SOURCE_DIR, port_open


def processes_with_root(root):
    """Processes started for the device root `root` (service, payment stand-in, restarts)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"NIMBO_DEVICE_ROOT={root}".encode() in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


class DemoTest(unittest.TestCase):
    def test_tour_passes_every_step(self):
        demo = os.path.join(SOURCE_DIR, "tools", "demo.py")
        proc = subprocess.run([PYTHON, demo, "--serial", "NB90000001"], capture_output=True, text=True, timeout=400)
        out = proc.stdout
        self.assertEqual(proc.returncode, 0, out[-3000:] + proc.stderr[-2000:])
        self.assertIn("6 of 6 steps passed", out)
        for text in ("Shop 2.0.0", "resumed from the bytes on disk", "MD5 matches",
                     "LockDevice alert active, then cleared", "1 file(s) received", "exit status 1"):
            self.assertIn(text, out)
        self.assertNotIn("Traceback", out + proc.stderr)

        root = re.search(r"device root\s+(\S+)", out).group(1)
        broker_port = int(re.search(r"broker\s+tcp://127\.0\.0\.1:(\d+)", out).group(1))
        sim_port = int(re.search(r"management server\s+http://127\.0\.0\.1:(\d+)", out).group(1))
        self.assertEqual(processes_with_root(root), [])
        self.assertFalse(os.path.exists(root), "the simulated terminal is removed")
        self.assertFalse(port_open(broker_port), "the broker is stopped")
        self.assertFalse(port_open(sim_port), "the simulator is stopped")


if __name__ == "__main__":
    unittest.main()

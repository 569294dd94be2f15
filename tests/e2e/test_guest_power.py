"""Power cuts on the MIPS test machine (NIMBO_GUEST=1): qemu is killed at a random moment of a
kind of work, the same disk boots again, and then: the file system mounted, no state file is
torn or empty, the service finishes every accepted task with exactly one final reply and
installs nothing twice. NIMBO_POWER_SEEDS sets how many seeds each kind runs (default 2);
NIMBO_POWER_SEED_BASE the first seed. Figures: docs/reliability.md."""
import json
import os
import random
import time
import unittest

import harness
from harness import wait_for
from tasks_support import APP, DATA, DOWNLOAD, TASK_FILE, md5, payload
from test_guest import SUCCESS, GuestCase

SEEDS = int(os.environ.get("NIMBO_POWER_SEEDS", "2"))
SEED_BASE = int(os.environ.get("NIMBO_POWER_SEED_BASE", "1"))
RES = "/usr/data/app/res/advertisement"


@unittest.skipUnless(harness.GUEST_MODE, "runs on the MIPS test machine (scripts/mips-vm-e2e.sh)")
class PowerCutCase(GuestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.moments = {}

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        print(f"\nFIGURES {cls.__name__}: cuts by moment {dict(sorted(cls.moments.items()))}")

    def count_moment(self, moment):
        type(self).moments[moment] = type(self).moments.get(moment, 0) + 1

    def cut_and_boot(self):
        """Pulls the plug, boots the same disk; the terminal's /tmp is new, nothing started yet."""
        self.guest.power_cut()
        self.guest.boot()
        self.term.after_boot()

    def assert_whole(self, abs_path, parse=None):
        """A state file after the cut: absent, or complete (non-empty and, if given, parsable)."""
        data = self.guest.get(self.term.path(abs_path))
        if data is None:
            return None
        self.assertNotEqual(data, b"", f"{abs_path} is empty after the power cut")
        if parse:
            try:
                parse(data)
            except ValueError as e:
                self.fail(f"{abs_path} is torn after the power cut: {e}: {data[:200]!r}")
        return data

    def restart(self):
        self.term.start_alibank(*(self.ALIBANK_ARGS or ()))
        self.svc.start()
        self.wait_connected(self.svc, timeout=90)

    def finals(self, cmd, task_id):
        return [p for p in self.params(cmd, task_id) if p.get("status") in ("2", "3")]

    def seeds(self):
        for seed in range(SEED_BASE, SEED_BASE + SEEDS):
            yield seed, random.Random(seed)


class PowerCutDownloadTest(PowerCutCase):
    """While a download is written, the task file replaced and the package installed."""
    SERIAL = "NB60000071"

    def test_cut_during_an_application_upgrade(self):
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                task = f"d{seed}"
                data = payload(300_000, str(seed).encode())
                url = self.host(f"{task}.zip", data)
                self.sim.config(throttle=150_000)
                param = {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Alipay",
                         "md5sum": md5(data), "apkSize": str(len(data)), "progress": 50}
                self.assertEqual(self.command("apkUpgrade", param, task)["param"]["status"], "1")
                time.sleep(rnd.uniform(0.0, 3.0))  # the transfer takes about 2 s, the install after
                before = [p["failDes"] for p in self.params("apkUpgrade", task)]
                self.cut_and_boot()
                self.count_moment("after the final reply" if self.finals("apkUpgrade", task) else
                                  "installing" if "Installing" in before else "downloading")
                self.assert_whole(TASK_FILE, json.loads)
                self.sim.config(throttle=0)
                installs_before = self.term.raw_signals_received().count(96)
                self.restart()
                if not self.finals("apkUpgrade", task):
                    self.wait_final("apkUpgrade", task)
                time.sleep(2)  # a second final would come now
                finals = self.finals("apkUpgrade", task)
                self.assertEqual(len(finals), 1, finals)
                self.assertEqual(finals[0]["status"], "2", finals)
                self.assertEqual(md5(self.term.read_bytes(APP + "/download/Alipay.zip")), md5(data))
                self.assertLessEqual(self.term.raw_signals_received().count(96) - installs_before, 1)
                wait_for(lambda: not self.term.exists(TASK_FILE), 20, interval=0.3, what="task file removed")


class PowerCutStateTest(PowerCutCase):
    """While the geofence, the device-lock request and config.json (a poster) are replaced."""
    SERIAL = "NB60000081"

    def test_cut_after_a_fence_and_a_lock_request_during_a_poster(self):
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                radius = str(500 + seed)  # the terminal stands at the centre: no lock follows
                fence = {"geofenceCoordinates": "113.9,22.5", "geofenceRadius": radius, "cycle": "daily",
                         "pushAlert": 1}
                self.assertEqual(self.command("geofence", fence, f"f{seed}")["param"], SUCCESS)
                lock = "2"  # an unlock request: a locked device would refuse the poster
                self.assertEqual(self.command("devLock", {"lockType": lock, "pwd": "1"}, f"l{seed}")["param"], SUCCESS)
                data = bytes([seed % 256]) * 40000
                name = f"s{seed}.png"
                param = {"action": "add", "type": "poster", "enable": True, "level": 1, "position": 1,
                         "fileName": name, "fileSize": str(len(data)), "md5sum": md5(data), "progress": 100,
                         "url": self.host(name, data)}
                self.server.send("customResourcePoster", param, task_id=f"r{seed}")
                self.server.wait_reply("customResourcePosterResp", task_id=f"r{seed}", timeout=20)
                time.sleep(rnd.uniform(0.0, 2.0))
                self.cut_and_boot()
                self.count_moment("after the final reply" if self.finals("customResourcePoster", f"r{seed}")
                                  else "before the final reply")
                # Answered as done: the request must have been on the disk.
                self.assertEqual(self.assert_whole(DATA + "/devlock_state"), b"0\n")
                self.assertEqual(self.assert_whole(DATA + "/lbs_geofence"),
                                 ('{"geofenceCoordinates":"113.9,22.5","geofenceRadius":"%s","cycle":"daily",'
                                  '"pushAlert":1}\n' % radius).encode())
                self.assert_whole(RES + "/config.json", json.loads)
                self.assert_whole(TASK_FILE, json.loads)
                self.restart()
                if not self.finals("customResourcePoster", f"r{seed}"):
                    self.wait_final("customResourcePoster", f"r{seed}")
                time.sleep(2)
                finals = self.finals("customResourcePoster", f"r{seed}")
                self.assertEqual(len(finals), 1, finals)
                entries = json.loads(self.term.read_bytes(RES + "/config.json"))
                self.assertEqual([e["fileName"] for e in entries], [f"1_{name}"])
                self.assertEqual(self.term.read_bytes(f"{RES}/1_{name}"), data)


if __name__ == "__main__":
    unittest.main()

"""SIGKILL of the service at random moments of an application upgrade, a firmware upgrade and a
poster download, one moment per seed (NIMBO_FAULT_SEEDS, NIMBO_FAULT_SEED_BASE). After the
restart each task ends with exactly one final reply, the installed file matches its MD5, nothing
is installed twice and no state file is torn."""
import json
import os
import random
import time
import unittest

from faults_support import RESTART_TIMEOUT, FaultCase, record, seeds
from harness import wait_for
from tasks_support import APP, DATA, DOWNLOAD, TASK_FILE, md5, ota_zip, payload

# Faults found by these tests and not fixed yet: counted and printed instead of failing the run
# (names in NIMBO_FAULT_KNOWN_OPEN, comma-separated). None is open now: a second installation
# after a restart ("apk_second_install") is prevented by the installation journal.
KNOWN_OPEN = set(filter(None, os.environ.get("NIMBO_FAULT_KNOWN_OPEN", "").split(",")))
SCRIPT = "/etc/ota_bin/local_ota_update.sh"
OTA_MARKER = "/tmp/ota_old_version"
WAITING = "Installation successful, waiting for restart"
RES = "/usr/data/app/res/advertisement"
SIZE = 300_000
THROTTLE = 400_000          # bytes per second: a download takes about 0.75 s
WINDOW = 1.2                # seconds after the first reply in which the kill falls


class KillTest(FaultCase):
    SERIAL = "NB40000011"

    def setUp(self):
        super().setUp()
        self.sim.config(throttle=THROTTLE)
        self.figures = {"seeds": [], "kills": 0, "restarts": 0, "lost": 0, "second_installs": 0,
                        "killed_in": {}}

    # ---- pieces -------------------------------------------------------------------------------
    def kill_at_random(self, rng, cmd, task_id, start):
        """Waits for the task's first reply, then kills the service at a moment of the window."""
        self.wait_param(cmd, task_id, lambda p: True, timeout=30, start=start, what="first reply")
        delay = rng.uniform(0, WINDOW)
        time.sleep(delay)
        phase = self.phase(cmd, task_id, start)
        self.svc.power_cut()
        self.figures["kills"] += 1
        self.figures["killed_in"][phase] = self.figures["killed_in"].get(phase, 0) + 1
        return delay, phase

    def phase(self, cmd, task_id, start):
        texts = [p["failDes"] for p in self.params(cmd, task_id, start)]
        if any(p["status"] in ("2", "3") for p in self.params(cmd, task_id, start)):
            return "after the final reply"
        if WAITING in texts:
            return "waiting for restart"
        if "Installing" in texts:
            return "installing"
        return "downloading"

    def settle_task(self, cmd, task_id, start):
        """After the restart: the final reply, the task file gone, then a quiet second."""
        final = self.wait_final(cmd, task_id, timeout=RESTART_TIMEOUT, start=start)
        wait_for(lambda: not self.exists(TASK_FILE), 20, what="task file removed")
        time.sleep(1.0)
        return final

    def mv_installs(self, name):
        """Installs of the package: the library logs each move into the installed-packages folder
        (the log and its rotated copies, across restarts)."""
        count = 0
        base = self.term.path("/usr/data/log/nimbo_log.log")
        for path in [base] + [f"{base}.{i}" for i in range(1, 4)]:
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    count += sum(1 for line in f if line.rstrip().endswith(f" installed as "
                                                                        f"{self.term.path(APP)}/download/{name}.zip"))
            except FileNotFoundError:
                pass
        return count

    def check_common(self, cmd, task_id, start, seed):
        finals = self.finals(cmd, task_id, start)
        self.assertEqual(len(finals), 1, f"seed {seed}: final replies {finals}")
        self.assertFalse(self.exists(TASK_FILE), f"seed {seed}")
        self.assert_no_torn_state()
        wait_for(lambda: not self.backups(), 20, what="backups removed")
        return finals[0]

    def done(self, name):
        record(name, **self.figures)

    # ---- application upgrade ------------------------------------------------------------------
    def test_kill_during_application_upgrade(self):
        for seed in seeds():
            with self.subTest(seed=seed):
                rng = random.Random(f"apk-{seed}")
                data = payload(SIZE, f"apk-{seed}".encode())
                name, task_id = f"Kill{seed}", f"ka{seed}"
                url = self.host(f"kill{seed}.zip", data)
                start = self.send("apkUpgrade", {"apkDownloadUrl": url, "apkVersion": "1.0", "applicationName": name,
                                                 "md5sum": md5(data), "apkSize": str(SIZE), "progress": 100}, task_id)
                self.kill_at_random(rng, "apkUpgrade", task_id, start)
                self.svc = self.start_service()
                self.figures["restarts"] += 1
                final = self.settle_task("apkUpgrade", task_id, start)
                self.assertEqual(final["status"], "2", f"seed {seed}: {final}")
                self.check_common("apkUpgrade", task_id, start, seed)
                self.assertEqual(md5(self.read_bytes(f"{APP}/download/{name}.zip")), md5(data), f"seed {seed}")
                self.assertFalse(self.exists(DOWNLOAD + "/tmp_app.zip"))
                installs = self.mv_installs(name)
                self.figures["second_installs"] += max(0, installs - 1)
                if installs > 1 and "apk_second_install" in KNOWN_OPEN:
                    # Killed after the package was placed and before the task record went.
                    print(f"KNOWN OPEN FAULT apk_second_install: seed {seed} installed {installs} times",
                          flush=True)
                else:
                    self.assertEqual(installs, 1, f"seed {seed}: installed {installs} times")
                self.figures["seeds"].append(seed)
        self.done("kill_application_upgrade")

    # ---- firmware upgrade ---------------------------------------------------------------------
    def power_cycle(self):
        """The device's own restart: the service dies and /tmp is gone."""
        self.svc.kill()
        marker = self.term.path(OTA_MARKER)
        if os.path.exists(marker):
            os.unlink(marker)
        self.svc = self.start_service()
        self.figures["restarts"] += 1

    def test_kill_during_firmware_upgrade(self):
        for seed in seeds():
            with self.subTest(seed=seed):
                rng = random.Random(f"ota-{seed}")
                version = f"V2.{seed}.0"
                self.term.write(SCRIPT + ".new_version", version + "\n")
                data = ota_zip(filler=SIZE)
                task_id = f"ko{seed}"
                url = self.host(f"fw{seed}.zip", data)
                start = self.send("otaUpgrade", {"otaDownloadUrl": url, "otaVersion": version, "packageName": "fw",
                                                 "md5sum": md5(data), "otaSize": str(len(data)),
                                                 "semiSilent": "1", "silentIns": True, "progress": 100}, task_id)
                calls_before = self.ota_calls()
                self.kill_at_random(rng, "otaUpgrade", task_id, start)
                # The kill is a power loss: /tmp is gone too.
                marker = self.term.path(OTA_MARKER)
                if os.path.exists(marker):
                    os.unlink(marker)
                # Counted before the start: a complete package is installed within milliseconds
                # of it, and its "waiting for restart" must not be taken for an earlier one.
                waited = len(self.replies("otaUpgrade", task_id, start))
                self.svc = self.start_service()
                self.figures["restarts"] += 1
                deadline = time.monotonic() + RESTART_TIMEOUT
                while not self.finals("otaUpgrade", task_id, start):
                    self.assertLess(time.monotonic(), deadline, f"seed {seed}: no final reply")
                    texts = [p["failDes"] for p in self.params("otaUpgrade", task_id, start)[waited:]]
                    if WAITING in texts:
                        # Installed and waiting for the device's restart: restart it.
                        waited = len(self.replies("otaUpgrade", task_id, start))
                        self.power_cycle()
                    time.sleep(0.1)
                final = self.settle_task("otaUpgrade", task_id, start)
                self.check_common("otaUpgrade", task_id, start, seed)
                self.assertFalse(self.exists(DOWNLOAD + "/tmp_update.zip"))
                self.assertFalse(self.exists(DATA + "/ota_old_version"))
                installs = self.ota_calls() - calls_before
                self.figures["second_installs"] += max(0, installs - 1)
                self.assertLessEqual(installs, 1, f"seed {seed}: the update script ran {installs} times")
                if self.term.read("/etc/build_version").strip() == version:
                    self.assertEqual(final, {"status": "2", "failDes": "100%"}, f"seed {seed}")
                    self.assertEqual(installs, 1, f"seed {seed}")
                else:
                    # The cut fell after the running version was recorded and before the update
                    # script changed it: nothing was installed, and that is what is answered.
                    self.assertEqual(final, {"status": "3", "failDes": "Version not changed"}, f"seed {seed}")
                    self.figures["cut_before_the_new_version"] = self.figures.get("cut_before_the_new_version", 0) + 1
                self.figures["seeds"].append(seed)
        self.done("kill_firmware_upgrade")

    def ota_calls(self):
        try:
            with open(self.term.path("/etc/ota_bin/calls.log")) as f:
                return sum(1 for _ in f)
        except FileNotFoundError:
            return 0

    # ---- poster download ----------------------------------------------------------------------
    def test_kill_during_poster_download(self):
        for seed in seeds():
            with self.subTest(seed=seed):
                rng = random.Random(f"poster-{seed}")
                data = payload(SIZE, f"poster-{seed}".encode())
                position = 1 + seed % 9
                name, task_id = f"k{seed}.png", f"kp{seed}"
                signals_before = self.term.signals_received().count(99)
                param = {"action": "add", "type": "poster", "enable": True, "level": 1, "position": position,
                         "fileName": name, "fileSize": str(SIZE), "md5sum": md5(data), "progress": 100,
                         "url": self.host(name, data)}
                start = self.send("customResourcePoster", param, task_id)
                self.kill_at_random(rng, "customResourcePoster", task_id, start)
                self.svc = self.start_service()
                self.figures["restarts"] += 1
                final = self.settle_task("customResourcePoster", task_id, start)
                self.assertEqual(final, {"status": "2", "failDes": "", "action": "add"}, f"seed {seed}")
                self.check_common("customResourcePoster", task_id, start, seed)
                stored = f"{position}_{name}"
                self.assertEqual(md5(self.read_bytes(f"{RES}/{stored}")), md5(data), f"seed {seed}")
                listed = [e for e in json.loads(self.term.read(RES + "/config.json")) if e["position"] == position]
                self.assertEqual([e["fileName"] for e in listed], [stored], f"seed {seed}")
                installs = self.term.signals_received().count(99) - signals_before
                self.figures["second_installs"] += max(0, installs - 1)
                self.assertLessEqual(installs, 1, f"seed {seed}: the list changed {installs} times")
                self.figures["seeds"].append(seed)
        self.done("kill_poster_download")


if __name__ == "__main__":
    unittest.main()

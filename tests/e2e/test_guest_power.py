"""Power cuts on the MIPS test machine (NIMBO_GUEST=1): qemu is killed in a named state of a
kind of work, the same disk boots again, and then: the file system mounted, no state file is
torn or empty, the service finishes every accepted task with exactly one final reply and
installs nothing twice.

Each kind names the states it cuts in (`STATES`). A seed aims at one of them (seed 1 the
first, seed 2 the second, ...): the test waits until the state is reached, seen in a reply at
the server or a line of the service's log, then cuts after a delay the seed draws from that
state's window. What the cut then found (the state reached: a reply may have come during the
delay) is counted and printed (`FIGURES ...`). NIMBO_POWER_SEEDS sets how many seeds each kind
runs (default: one per state, so a short run covers every state); NIMBO_POWER_SEED_BASE the
first seed. Figures: docs/reliability.md."""
import json
import os
import random
import re
import signal
import time
import unittest

import harness
from harness import wait_for
from tasks_support import APP, DATA, DOWNLOAD, TASK_FILE, md5, ota_zip, payload
from test_guest import SUCCESS, GuestCase

SEEDS = int(os.environ["NIMBO_POWER_SEEDS"]) if os.environ.get("NIMBO_POWER_SEEDS") else None
SEED_BASE = int(os.environ.get("NIMBO_POWER_SEED_BASE", "1"))
RES = "/usr/data/app/res/advertisement"


@unittest.skipUnless(harness.GUEST_MODE, "runs on the MIPS test machine (scripts/mips-vm-e2e.sh)")
class PowerCutCase(GuestCase):
    STATES = ()  # (state, (low, high)): where a seed aims, the window of the delay after it

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.moments = {}
        cls.aimed = {}

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        missed = [name for name, _ in cls.STATES if name not in cls.moments]
        print(f"\nFIGURES {cls.__name__}: aimed {dict(sorted(cls.aimed.items()))}; "
              f"cuts by state reached {dict(sorted(cls.moments.items()))}"
              + (f"; not reached: {missed}" if missed else ""))

    def count_moment(self, moment):
        type(self).moments[moment] = type(self).moments.get(moment, 0) + 1

    def aim(self, seed, rnd):
        """The state this seed cuts in and the delay after reaching it."""
        name, (low, high) = self.STATES[(seed - 1) % len(self.STATES)]
        type(self).aimed[name] = type(self).aimed.get(name, 0) + 1
        return name, rnd.uniform(low, high)

    def reply_seen(self, cmd, task_id, predicate, timeout=60, what="reply"):
        """Waits for a reply of the task that satisfies predicate(param)."""
        wait_for(lambda: any(predicate(p) for p in self.params(cmd, task_id)), timeout, interval=0.02,
                 what=f"{what} of {task_id}")

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

    REGRESSIONS = ()  # seeds that found a fault: always run

    def seeds(self):
        count = SEEDS if SEEDS is not None else max(2, len(self.STATES))
        chosen = list(range(SEED_BASE, SEED_BASE + count))
        for seed in chosen + [s for s in self.REGRESSIONS if s not in chosen]:
            yield seed, random.Random(seed)


class PowerCutDownloadTest(PowerCutCase):
    """While a download is written, the task file replaced and the package installed."""
    SERIAL = "NB60000071"
    # The transfer takes about 2 s (300 KB at 150 KB/s), the installation well under a second.
    STATES = (("downloading", (0.0, 1.2)), ("installing", (0.0, 0.3)), ("after the final reply", (0.0, 0.5)))

    def test_cut_during_an_application_upgrade(self):
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                task = f"d{seed}"
                data = payload(300_000, str(seed).encode())
                url = self.host(f"{task}.zip", data)
                self.sim.config(throttle=150_000)
                param = {"apkDownloadUrl": url, "apkVersion": "3.0", "applicationName": "Alipay",
                         "md5sum": md5(data), "apkSize": str(len(data)), "progress": 50}
                target, delay = self.aim(seed, rnd)
                self.assertEqual(self.command("apkUpgrade", param, task)["param"]["status"], "1")
                if target == "installing":
                    self.reply_seen("apkUpgrade", task, lambda p: p.get("failDes") == "Installing")
                elif target == "after the final reply":
                    self.reply_seen("apkUpgrade", task, lambda p: p.get("status") in ("2", "3"), what="final reply")
                time.sleep(delay)
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
    STATES = (("before the final reply", (0.0, 0.3)), ("after the final reply", (0.0, 0.5)))

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
                target, delay = self.aim(seed, rnd)
                self.server.send("customResourcePoster", param, task_id=f"r{seed}")
                self.server.wait_reply("customResourcePosterResp", task_id=f"r{seed}", timeout=20)
                if target == "after the final reply":
                    self.reply_seen("customResourcePoster", f"r{seed}", lambda p: p.get("status") in ("2", "3"),
                                    what="final reply")
                time.sleep(delay)
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


class PowerCutSwitchTest(PowerCutCase):
    """While the geofence is replaced by another and the persisted server URL by a new one."""
    SERIAL = "NB60000091"
    URL_FILE = "/usr/data/config/nimbo_server_url_persistent"
    # Both commands sent at once: the cut right after; the fence answered first, then the
    # switch sent and the cut before its reply (which takes a file written and synced); both
    # answered.
    STATES = (("before the replies", (0.0, 0.01)), ("after the fence's reply", (0.0, 0.02)),
              ("after both replies", (0.0, 0.3)))

    def fence(self, radius):
        return {"geofenceCoordinates": "113.9,22.5", "geofenceRadius": str(radius), "cycle": "daily", "pushAlert": 1}

    def fence_line(self, radius):
        return (json.dumps(self.fence(radius), separators=(",", ":")) + "\n").encode()

    def test_cut_while_the_fence_and_the_server_url_are_replaced(self):
        old_radius, old_url = 400, None
        self.assertEqual(self.command("geofence", self.fence(old_radius), "f0")["param"], SUCCESS)
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                radius, url = 500 + seed, f"{self.sim.url}/s{seed}"
                target, delay = self.aim(seed, rnd)
                self.server.send("geofence", self.fence(radius), task_id=f"f{seed}")
                if target == "after the fence's reply":
                    self.reply_seen("geofence", f"f{seed}", lambda p: True)
                self.server.send("switchServerUrl", {"url": url, "resetFactoryType": "2"}, task_id=f"u{seed}")
                if target == "after both replies":
                    self.reply_seen("switchServerUrl", f"u{seed}", lambda p: True)
                time.sleep(delay)
                fenced = bool(self.params("geofence", f"f{seed}"))
                switched = bool(self.params("switchServerUrl", f"u{seed}"))
                self.cut_and_boot()
                self.count_moment("after both replies" if switched else "after the fence's reply" if fenced
                                  else "before the replies")
                line = self.assert_whole(DATA + "/lbs_geofence")
                self.assertIn(line, [self.fence_line(radius)] if fenced else
                              [self.fence_line(old_radius), self.fence_line(radius)])
                persisted = self.assert_whole(self.URL_FILE)
                wanted = [url] if switched else [old_url, url]
                self.assertIn(persisted and persisted.decode(), [u and u + "\n" for u in wanted])
                self.restart()
                expected = persisted.decode().strip() if persisted else self.sim.url
                self.svc.wait_log(r"server url: " + re.escape(expected) + r"\s")
                if line == self.fence_line(radius):
                    old_radius = radius
                if persisted:
                    old_url = expected


class PowerCutReplyTest(PowerCutCase):
    """While a final reply is backed up and the broker is gone: the backup alone carries it.
    The broker logs every QoS 2 step: a reply neither delivered nor kept must have been
    confirmed by the broker (PUBCOMP) before the device let its backup go."""
    SERIAL = "NB60000101"
    ALIBANK_ARGS = None
    BROKER_LOG_ALL = True
    # Seed 5: the broker confirmed the reply and was stopped before passing it on (below).
    REGRESSIONS = (5,)
    # The cut right after the command, the broker left running (the service answers later in
    # the guest); the broker frozen (SIGSTOP) as soon as its log shows the command passed on to
    # the device, so the reply cannot be taken, and the cut after the service logged the send
    # (its backup written first); the reply at the server, then the broker stopped and the cut.
    STATES = (("not answered", (0.0, 0.03)), ("backed up", (0.0, 0.5)), ("delivered before the cut", (0.0, 0.3)))

    def final_raw(self, task):
        return ('{"cmd":"apkUpgradeResp","sn":"%s","taskId":"%s","param":{"status":"3",'
                '"failDes":"ApkDownloadUrl is empty"}}' % (self.SERIAL, task))

    def broker_log(self):
        with open(os.path.join(os.path.dirname(self.broker.conf), "mosquitto.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def commands_passed_on(self):
        return len(re.findall(r"Sending PUBLISH to \S+ \(d\d, q\d, r\d, m\d+, '%s'" % re.escape(harness.CMD_TOPIC_PREFIX + self.SERIAL),
                              self.broker_log()))

    def broker_confirmed(self, size):
        """Whether the broker's log shows a QoS 2 PUBLISH of `size` bytes on the reply topic
        completed with PUBCOMP to its sender."""
        with open(os.path.join(os.path.dirname(self.broker.conf), "mosquitto.log"), "rb") as f:
            text = f.read().decode("utf-8", "replace")
        pending = set()
        for m in re.finditer(r"Received PUBLISH from (\S+) \(d\d, q2, r\d, m(\d+), '([^']*)', \.\.\. \((\d+) bytes\)\)"
                             r"|Sending PUBCOMP to (\S+) \(m(\d+)", text):
            if m.group(1):
                if m.group(3) == harness.REPLY_TOPIC and int(m.group(4)) == size:
                    pending.add((m.group(1), m.group(2)))
            elif (m.group(5), m.group(6)) in pending:
                return True
        return False

    @harness.needs_mosquitto
    def test_cut_while_a_reply_waits_for_the_broker(self):
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                task = f"q{seed}"
                backup = f"{DATA}/message_{task}"
                target, delay = self.aim(seed, rnd)
                self.svc.mark_log()
                passed_on = self.commands_passed_on()
                self.server.send("apkUpgrade", {"apkDownloadUrl": ""}, task_id=task)
                frozen = False
                if target == "delivered before the cut":
                    self.reply_seen("apkUpgrade", task, lambda p: p.get("status") in ("2", "3"), what="final reply")
                elif target == "backed up":
                    wait_for(lambda: self.commands_passed_on() > passed_on, 10, interval=0.005,
                             what="the command passed on to the device")
                    time.sleep(0.02)  # the line is logged just before the packet is written
                    self.broker.proc.send_signal(signal.SIGSTOP)
                    frozen = True
                if target != "not answered":
                    self.server._connected.clear()
                if target == "delivered before the cut":
                    self.broker.stop()
                if target == "backed up":
                    try:
                        self.svc.wait_log(r'send message \w+, qos: 2, .*"taskId":"%s"' % task, timeout=15)
                    except AssertionError:
                        pass  # the command never reached the service: counted as found
                time.sleep(delay)
                delivered = len(self.finals("apkUpgrade", task))
                self.cut_and_boot()
                if frozen:
                    # Gone without reading what the dead connection had sent (it would pass the
                    # reply on now, and the backup would deliver it a second time).
                    self.broker.proc.kill()
                    self.broker.proc.wait()
                    self.broker.stop()
                stored = self.assert_whole(backup, json.loads) is not None
                self.count_moment("delivered before the cut" if delivered else
                                  "backed up" if stored else "not answered")
                self.broker.start()
                self.assertTrue(self.server._connected.wait(20), "server reconnect")
                self.restart()
                if not delivered and not stored:
                    # Never answered (the broker went first, or the answer was not on the disk
                    # yet): the server sends the command again. A task recorded as finished
                    # without its backup had its reply confirmed by the broker, which was
                    # stopped before passing it on (no broker persistence): lost with it.
                    self.server.send("apkUpgrade", {"apkDownloadUrl": ""}, task_id=task)
                    dropped = "task already finished, copy dropped, cmd: apkUpgrade, taskId: " + task
                    wait_for(lambda: self.finals("apkUpgrade", task) or dropped in self.svc.log_text(), 30,
                             interval=0.3, what="final reply or copy dropped")
                    if not self.finals("apkUpgrade", task):
                        # Only the broker's confirmation lets the device drop its backup.
                        self.assertTrue(self.broker_confirmed(len(self.final_raw(task).encode())),
                                        f"seed {seed}: the reply is lost, its backup gone, and the broker never "
                                        "confirmed it (no PUBCOMP in its log)")
                        self.count_moment("confirmed by the broker, lost with it")
                        continue
                final = self.wait_final("apkUpgrade", task)
                self.assertEqual(final, {"status": "3", "failDes": "ApkDownloadUrl is empty"})
                wait_for(lambda: not self.term.exists(backup), 20, interval=0.3, what="backup removed")
                time.sleep(2)  # a second copy would come now
                finals = self.finals("apkUpgrade", task)
                self.assertEqual(len(finals), 1, finals)


class PowerCutFirmwareTest(PowerCutCase):
    """While the firmware package is downloaded, unpacked and installed, and while the service
    waits for the restart."""
    SERIAL = "NB60000111"
    REGRESSIONS = (9,)  # cut after "waiting for restart" undid an installation not yet synced
    STATES = (("downloading", (0.0, 0.3)), ("installing", (0.0, 0.3)), ("waiting for the restart", (0.0, 0.5)))
    SCRIPT = "/etc/ota_bin/local_ota_update.sh"
    WAITING = "Installation successful, waiting for restart"

    def installs(self):
        data = self.guest.get(self.term.path("/etc/ota_bin/calls.log"))
        return len(data.splitlines()) if data else 0

    def test_cut_during_the_installation(self):
        previous = self.term.read("/etc/build_version").strip()
        for seed, rnd in self.seeds():
            with self.subTest(seed=seed):
                task, version = f"o{seed}", f"V2.{seed}.0"
                self.term.write(self.SCRIPT + ".new_version", version + "\n")
                self.guest.sh("sync")
                data = ota_zip(filler=400_000)
                param = {"otaDownloadUrl": self.host(f"fw{seed}.zip", data), "otaVersion": version,
                         "packageName": "fw", "md5sum": md5(data), "otaSize": str(len(data)), "semiSilent": "1",
                         "silentIns": True, "progress": 100}
                installs_before = self.installs()
                target, delay = self.aim(seed, rnd)
                self.assertEqual(self.command("otaUpgrade", param, task)["param"]["status"], "1")
                if target == "installing":
                    self.reply_seen("otaUpgrade", task, lambda p: p.get("failDes") == "Installing")
                elif target == "waiting for the restart":
                    self.reply_seen("otaUpgrade", task, lambda p: p.get("failDes") == self.WAITING)
                time.sleep(delay)
                texts = [p["failDes"] for p in self.params("otaUpgrade", task)]
                self.cut_and_boot()
                moment = ("waiting for the restart" if self.WAITING in texts else
                          "installing" if "Installing" in texts else "downloading")
                self.count_moment(moment)
                self.assert_whole(TASK_FILE, json.loads)
                self.assertIn(self.term.read("/etc/build_version").strip(), (previous, version))
                self.restart()
                while not self.finals("otaUpgrade", task):
                    seen = len(self.params("otaUpgrade", task))
                    wait_for(lambda: self.finals("otaUpgrade", task) or
                             self.WAITING in [p["failDes"] for p in self.params("otaUpgrade", task)[seen:]],
                             120, interval=0.3, what="final reply or waiting for the restart")
                    if not self.finals("otaUpgrade", task):
                        self.cut_and_boot()  # the device's restart
                        self.restart()
                time.sleep(2)
                finals = self.finals("otaUpgrade", task)
                installed = self.term.read("/etc/build_version").strip()
                # An installation the cut undid is judged a failure, unless it was announced.
                outcomes = [([{"status": "2", "failDes": "100%"}], version)]
                if moment != "waiting for the restart":
                    outcomes.append(([{"status": "3", "failDes": "Version not changed"}], previous))
                self.assertIn((finals, installed), outcomes, f"seed {seed}, cut {moment}")
                self.assertLessEqual(self.installs() - installs_before, 1, "the installer ran once at most")
                self.assertFalse(self.term.exists(DOWNLOAD + "/tmp_update.zip"))
                self.assertFalse(self.term.exists(DATA + "/ota_old_version"))
                previous = installed


if __name__ == "__main__":
    unittest.main()

"""The Debian package: built with cpack from the build tree, installed with dpkg into a scratch
root, and the service started from it with its init script against a real broker and the
management simulator; the packaged nimboctl talks to it. Removal takes everything away."""
import glob
import os
import re
import shutil
import subprocess
import unittest

from harness import BINARY_DIR, Broker, MgmtSim, Scratch, Terminal, wait_for

PREFIX = "/opt/nimbo"
EXPECTED = [
    PREFIX + "/bin/nimboservice",
    PREFIX + "/bin/nimboservice.sh",
    PREFIX + "/bin/nimboservice.ini",
    PREFIX + "/bin/nimboctl",
    PREFIX + "/lib/libhwlink.so.1",
    PREFIX + "/lib/libeasy_logger.so",
    "/lib/systemd/system/nimboservice.service",
    "/etc/init.d/nimboservice",
]


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch("nimbo-pkg-")
        out = os.path.join(cls.scratch.path, "out")
        build = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BINARY_DIR, "CPackConfig.cmake"),
                                "-B", out], capture_output=True, text=True, timeout=600)
        if build.returncode != 0:
            raise AssertionError("cpack failed:\n" + build.stdout + build.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise AssertionError(f"expected one package, found {debs}")
        cls.deb = debs[0]
        cls.root = os.path.join(cls.scratch.path, "root")
        for d in ("var/lib/dpkg/info", "var/lib/dpkg/updates"):
            os.makedirs(os.path.join(cls.root, d))
        open(os.path.join(cls.root, "var/lib/dpkg/status"), "w").close()
        # The scratch root's package database is empty: the dependencies are the host's.
        cls.install = cls.dpkg("--force-depends", "-i", cls.deb)
        if cls.install.returncode != 0:
            raise AssertionError("dpkg -i failed:\n" + cls.install.stdout + cls.install.stderr)

    @classmethod
    def dpkg(cls, *args):
        return subprocess.run(["dpkg", "--root=" + cls.root, "--force-script-chrootless", "--log=/dev/null", *args],
                              capture_output=True, text=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.close()

    def path(self, abs_path):
        return self.root + abs_path

    def test_installed_then_purged(self):
        self.assertIn("Set server_url in " + PREFIX + "/bin/nimboservice.ini", self.install.stdout)
        status = self.dpkg("-s", "nimboservice").stdout
        self.assertIn("Status: install ok installed", status)
        self.assertRegex(status, r"(?m)^ " + PREFIX + r"/bin/nimboservice\.ini [0-9a-f]{32}$")   # a conffile
        for name in EXPECTED:
            with self.subTest(name=name):
                self.assertTrue(os.path.exists(self.path(name)), name)

    def test_contents_and_control(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], capture_output=True, text=True, check=True).stdout
        names = {re.sub(r"^\.", "", line.split()[5]) for line in listing.splitlines()}
        for name in EXPECTED:
            with self.subTest(name=name):
                self.assertIn(name, names)
        for name in ("/bin/nimboservice", "/bin/nimboservice.sh", "/bin/nimboctl"):
            self.assertTrue(os.access(self.path(PREFIX + name), os.X_OK), name)
        self.assertTrue(os.access(self.path("/etc/init.d/nimboservice"), os.X_OK))
        # Nothing of the build host or of the tests is packaged.
        self.assertFalse([n for n in names if "alibankApp" in n or "/tests" in n or "/tmp" in n])

        fields = subprocess.run(["dpkg-deb", "-f", self.deb], capture_output=True, text=True, check=True).stdout
        self.assertRegex(fields, r"(?m)^Package: nimboservice$")
        self.assertRegex(fields, r"(?m)^Depends: .*libpaho-mqtt1\.3")
        control = os.path.join(self.scratch.path, "control")
        subprocess.run(["dpkg-deb", "-e", self.deb, control], check=True)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertIn(PREFIX + "/bin/nimboservice.ini", f.read().split())
        for script in ("postinst", "prerm", "postrm"):
            r = subprocess.run(["sh", "-n", os.path.join(control, script)], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, script + r.stderr)

    def test_systemd_unit_is_valid(self):
        with open(self.path("/lib/systemd/system/nimboservice.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=" + PREFIX + "/bin/nimboservice\n", unit)
        self.assertIn("SuccessExitStatus=1", unit)
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        # Verified with its paths pointing into the unpacked tree (the programs must exist).
        local = os.path.join(self.scratch.path, "nimboservice.service")
        with open(local, "w") as f:
            f.write(unit.replace(PREFIX, self.root + PREFIX))
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", local], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("nimboservice.service", r.stderr)

    def test_service_runs_from_the_package(self):
        term = Terminal(serial="NB50000001")
        self.addCleanup(term.close)
        broker = Broker()
        self.addCleanup(broker.close)
        sim = MgmtSim(broker_addr=broker.addr)
        self.addCleanup(sim.close)
        ini = self.path(PREFIX + "/bin/nimboservice.ini")
        with open(ini) as f:
            sample = f.read()
        # The packaged sample names no server; the operator sets one.
        self.assertIn(";server_url=", sample)
        with open(ini, "w") as f:
            f.write(sample.replace(";server_url=https://mdm.example.com", "server_url=" + sim.url))

        env = dict(os.environ, NIMBO_HOME=self.root + PREFIX, NIMBO_DEVICE_ROOT=term.root,
                   PATH=term.path("/bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        init = self.path("/etc/init.d/nimboservice")

        def service(action):
            return subprocess.run([init, action], env=env, capture_output=True, text=True, timeout=60)

        started = service("start")
        self.addCleanup(service, "stop")
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.assertIn("nimboservice started", started.stdout)
        status = service("status")
        self.assertEqual(status.returncode, 0, status.stdout)
        self.assertIn("is running", status.stdout)

        ctl = [self.path(PREFIX + "/bin/nimboctl"), "--broker", broker.url, "--sn", "NB50000001", "--timeout", "2"]
        answered = wait_for(lambda: (lambda r: r if r.returncode == 0 else None)(
            subprocess.run(ctl + ["querySysStatus"], capture_output=True, text=True, timeout=60)), 60, interval=0.5,
            what="the packaged service answering querySysStatus")
        self.assertIn("batteryPercent", answered.stdout)
        # The running program and the library it loaded are the packaged ones.
        pid = int(re.search(r"pid (\d+)", service("status").stdout).group(1))
        self.assertEqual(os.readlink(f"/proc/{pid}/exe"), self.path(PREFIX + "/bin/nimboservice"))
        with open(f"/proc/{pid}/maps") as f:
            self.assertIn(self.path(PREFIX + "/lib/libhwlink.so.1.0.0"), f.read())

        stopped = service("stop")
        self.assertEqual(stopped.returncode, 0, stopped.stderr)
        self.assertIn("nimboservice stopped", stopped.stdout)
        self.assertEqual(service("status").returncode, 3)
        self.assertEqual(service("bogus").returncode, 2)

    def test_zz_purge_removes_everything(self):
        # Runs last (name order): the other tests use the installed tree.
        purged = self.dpkg("-P", "nimboservice")
        self.assertEqual(purged.returncode, 0, purged.stdout + purged.stderr)
        for name in EXPECTED:
            self.assertFalse(os.path.lexists(self.path(name)), name)
        self.assertNotIn("nimboservice", self.dpkg("-l").stdout)


if __name__ == "__main__":
    unittest.main()

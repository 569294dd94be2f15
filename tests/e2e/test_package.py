"""The Debian package: built with cpack from the build tree, installed with dpkg into a scratch
root, the service started by its systemd unit's ExecStart (with the unit's environment file)
against a real broker and the management simulator, the packaged nimboctl talking to it and the
init script stopping it; then upgraded to a newer package (the operator's configuration kept)
and purged (everything gone)."""
import glob
import os
import re
import shutil
import subprocess
import unittest

from harness import BINARY_DIR, Broker, MgmtSim, Scratch, Terminal, wait_for

PREFIX = "/opt/nimbo"
CONF = "/etc/nimboservice/nimboservice.ini"
CONFFILES = [CONF, "/etc/default/nimboservice", "/etc/init.d/nimboservice"]
EXPECTED = [
    PREFIX + "/bin/nimboservice",
    PREFIX + "/bin/nimboservice.sh",
    PREFIX + "/bin/nimboservice.ini",        # the link to the conffile
    PREFIX + "/bin/nimboctl",
    PREFIX + "/lib/libhwlink.so.1",
    PREFIX + "/lib/libeasy_logger.so",
    "/lib/systemd/system/nimboservice.service",
    "/usr/bin/nimboctl",
    "/usr/share/man/man8/nimboservice.8.gz",
    "/usr/share/man/man1/nimboctl.1.gz",
    "/usr/share/doc/nimboservice/copyright",
    "/usr/share/doc/nimboservice/changelog.Debian.gz",
    "/usr/share/bash-completion/completions/nimboctl",
] + CONFFILES


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch("nimbo-pkg-")
        cls.deb = cls.build_package("out")
        cls.root = os.path.join(cls.scratch.path, "root")
        for d in ("var/lib/dpkg/info", "var/lib/dpkg/updates"):
            os.makedirs(os.path.join(cls.root, d))
        open(os.path.join(cls.root, "var/lib/dpkg/status"), "w").close()
        # The scratch root's package database is empty: the dependencies are the host's.
        cls.install = cls.dpkg("--force-depends", "-i", cls.deb)
        if cls.install.returncode != 0:
            raise AssertionError("dpkg -i failed:\n" + cls.install.stdout + cls.install.stderr)

    @classmethod
    def build_package(cls, folder, *defines):
        out = os.path.join(cls.scratch.path, folder)
        build = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BINARY_DIR, "CPackConfig.cmake"),
                                "-B", out, *defines], capture_output=True, text=True, timeout=600)
        if build.returncode != 0:
            raise AssertionError("cpack failed:\n" + build.stdout + build.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise AssertionError(f"expected one package, found {debs}")
        return debs[0]

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
        self.assertIn("Set server_url in " + CONF, self.install.stdout)
        status = self.dpkg("-s", "nimboservice").stdout
        self.assertIn("Status: install ok installed", status)
        for name in CONFFILES:
            self.assertRegex(status, r"(?m)^ " + re.escape(name) + r" [0-9a-f]{32}$")
        for name in EXPECTED:
            with self.subTest(name=name):
                self.assertTrue(os.path.lexists(self.path(name)), name)
        # The program's ini is the conffile under /etc, whatever the root.
        self.assertEqual(os.path.realpath(self.path(PREFIX + "/bin/nimboservice.ini")), self.path(CONF))
        self.assertRegex(status, r"(?m)^Depends: libc6 \(>= [\d.]+\),.* libpaho-mqtt1\.3 \(>= 1\.3")

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
            self.assertEqual(sorted(f.read().split()), sorted(CONFFILES))
        for script in ("postinst", "prerm", "postrm"):
            r = subprocess.run(["sh", "-n", os.path.join(control, script)], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, script + r.stderr)

    def test_systemd_unit_is_valid(self):
        with open(self.path("/lib/systemd/system/nimboservice.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=" + PREFIX + "/bin/nimboservice\n", unit)
        self.assertIn("SuccessExitStatus=1", unit)
        # The unit and the init script read the same settings file.
        self.assertIn("EnvironmentFile=-/etc/default/nimboservice\n", unit)
        with open(self.path("/etc/init.d/nimboservice")) as f:
            self.assertIn(". /etc/default/nimboservice", f.read())
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        # Verified with its paths pointing into the unpacked tree (the programs must exist).
        local = os.path.join(self.scratch.path, "nimboservice.service")
        with open(local, "w") as f:
            f.write(unit.replace(PREFIX, self.root + PREFIX))
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", local], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("nimboservice.service", r.stderr)

    def unit_setting(self, key):
        with open(self.path("/lib/systemd/system/nimboservice.service")) as f:
            return re.search(r"(?m)^" + key + r"=(.*)$", f.read()).group(1)

    def test_service_runs_from_the_package(self):
        term = Terminal(serial="NB50000001")
        self.addCleanup(term.close)
        broker = Broker()
        self.addCleanup(broker.close)
        sim = MgmtSim(broker_addr=broker.addr)
        self.addCleanup(sim.close)
        ini = self.path(CONF)
        with open(ini) as f:
            sample = f.read()
        # The packaged configuration names no server; the operator sets one.
        self.assertIn(";server_url=", sample)
        with open(ini, "w") as f:
            f.write(sample.replace(";server_url=https://mdm.example.com", "server_url=" + sim.url))
        # The settings file both start paths read; here it names the simulated terminal.
        settings = self.path(self.unit_setting("EnvironmentFile").lstrip("-"))
        with open(settings, "a") as f:
            f.write(f"NIMBO_DEVICE_ROOT={term.root}\n")

        # Started as systemd does: the unit's ExecStart with the variables of its environment file.
        env = dict(os.environ, PATH=term.path("/bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        with open(settings) as f:
            env.update(re.findall(r"(?m)^([A-Z_]+)=(.*)$", f.read()))
        program = self.path(self.unit_setting("ExecStart"))
        self.assertEqual(subprocess.run([program, "--version"], capture_output=True, text=True).stdout.split()[:2],
                         ["nimboservice", "1.5.26"])
        proc = subprocess.Popen([program], env=env, cwd=self.path(self.unit_setting("WorkingDirectory")),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))

        self.assertEqual(os.readlink(self.path("/usr/bin/nimboctl")), PREFIX + "/bin/nimboctl")   # on PATH
        ctl = [self.path(PREFIX + "/bin/nimboctl"), "--broker", broker.url, "--sn", "NB50000001", "--timeout", "2"]
        answered = wait_for(lambda: (lambda r: r if r.returncode == 0 else None)(
            subprocess.run(ctl + ["querySysStatus"], capture_output=True, text=True, timeout=60)), 60, interval=0.5,
            what="the packaged service answering querySysStatus")
        self.assertIn("batteryPercent", answered.stdout)
        # The running program and the library it loaded are the packaged ones.
        self.assertEqual(os.readlink(f"/proc/{proc.pid}/exe"), program)
        with open(f"/proc/{proc.pid}/maps") as f:
            self.assertIn(self.path(PREFIX + "/lib/libhwlink.so.1.0.0"), f.read())

        # The init script sees and stops the same service.
        init_env = dict(env, NIMBO_HOME=self.root + PREFIX)
        init = self.path("/etc/init.d/nimboservice")

        def service(action):
            return subprocess.run([init, action], env=init_env, capture_output=True, text=True, timeout=60)

        self.assertIn(f"pid {proc.pid}", service("status").stdout)
        stopped = service("stop")
        self.assertEqual(stopped.returncode, 0, stopped.stderr)
        self.assertIn("nimboservice stopped", stopped.stdout)
        self.assertEqual(proc.wait(10), 1)          # an orderly stop: SuccessExitStatus=1
        self.assertEqual(service("status").returncode, 3)
        self.assertEqual(service("bogus").returncode, 2)

    def test_zz_upgrade_keeps_the_configuration(self):
        # Runs after the other tests (name order), before the purge.
        with open(self.path(CONF), "a") as f:
            f.write("[server]\nserver_url=http://mdm.test\n")
        newer = self.build_package("out2", "-D", "CPACK_PACKAGE_VERSION=1.5.27")
        upgraded = self.dpkg("--force-depends", "-i", newer)
        self.assertEqual(upgraded.returncode, 0, upgraded.stdout + upgraded.stderr)
        self.assertIn("Version: 1.5.27", self.dpkg("-s", "nimboservice").stdout)
        self.assertNotIn("Set server_url", upgraded.stdout)      # already configured: no nagging
        with open(self.path(CONF)) as f:
            self.assertIn("server_url=http://mdm.test", f.read())

    def test_zzz_purge_removes_everything(self):
        # Runs last (name order): the other tests use the installed tree.
        purged = self.dpkg("-P", "nimboservice")
        self.assertEqual(purged.returncode, 0, purged.stdout + purged.stderr)
        for name in EXPECTED:
            self.assertFalse(os.path.lexists(self.path(name)), name)
        self.assertFalse(os.path.exists(self.path("/etc/nimboservice")))
        self.assertNotIn("nimboservice", self.dpkg("-l").stdout)


if __name__ == "__main__":
    unittest.main()

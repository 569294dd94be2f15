"""TLS where the operator wants it. A local CA and a server certificate for 127.0.0.1 are made
here with openssl; the management simulator is reached through a TLS front, the broker through
a TLS listener. With "ca_file" in nimboservice.ini the bootstrap, the downloads and an
"ssl://" broker are verified against it; a wrong CA is refused with a clear log line; without
the key HTTP transfers do not verify the server, as before."""
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from harness import Broker, MgmtSim, Server, Service, Terminal, free_port, port_open, wait_for
from tasks_support import APP, md5, payload

SN = "NB40000051"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_pki(directory):
    """ca.pem + server.pem/server.key (127.0.0.1) signed by it, and an unrelated other-ca.pem."""
    for name in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN=nimbo test {name}",
                "-keyout", f"{name}.key", "-out", f"{name}.pem", cwd=directory)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "server.key",
            "-out", "server.csr", cwd=directory)
    with open(os.path.join(directory, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "san.ext", "-out", "server.pem", cwd=directory)
    for name in os.listdir(directory):
        os.chmod(os.path.join(directory, name), 0o644)  # the broker reads them after dropping root


class TlsFront:
    """A TLS listener that relays each connection in clear to a local port."""

    def __init__(self, target_port, cert, key):
        self.target_port = target_port
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.handshakes = 0
        self.refused = 0
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(raw,), daemon=True).start()

    def _serve(self, raw):
        try:
            raw.settimeout(10)
            tls = self.context.wrap_socket(raw, server_side=True)
            tls.settimeout(None)
        except (ssl.SSLError, OSError):
            self.refused += 1
            raw.close()
            return
        self.handshakes += 1
        try:
            up = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
        except OSError:
            tls.close()
            return

        def pump(src, dst):
            try:
                while True:
                    data = src.recv(65536)
                    if not data:
                        break
                    dst.sendall(data)
            except OSError:
                pass
            for s in (src, dst):
                try:
                    s.close()
                except OSError:
                    pass

        threading.Thread(target=pump, args=(up, tls), daemon=True).start()
        pump(tls, up)

    def close(self):
        self.closed = True
        self.listener.close()


class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pki = tempfile.mkdtemp(prefix="nimbo-pki-")
        os.chmod(cls.pki, 0o755)
        make_pki(cls.pki)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki, ignore_errors=True)

    def setUp(self):
        self.term = Terminal(serial=SN)
        self.addCleanup(self.term.close)
        self.broker = Broker()
        self.addCleanup(self.broker.close)
        # A second listener with TLS on the same broker.
        self.tls_port = free_port()
        self.broker.stop()
        with open(self.broker.conf, "a") as f:
            f.write(f"listener {self.tls_port} 127.0.0.1\nallow_anonymous true\n"
                    f"certfile {self.pki}/server.pem\nkeyfile {self.pki}/server.key\n")
        self.broker.start()
        wait_for(lambda: port_open(self.tls_port), 10, what="the broker's TLS listener")
        self.server = Server(self.broker, SN)
        self.addCleanup(self.server.close)

    def service(self, sim_url, ca=None):
        ini = {"tls": {"ca_file": os.path.join(self.pki, ca)}} if ca else None
        svc = Service(self.term, server_url=sim_url, ini=ini)
        self.addCleanup(svc.close)
        return svc

    def sim(self, broker_addr):
        sim = MgmtSim(broker_addr=broker_addr)
        self.addCleanup(sim.close)
        front = TlsFront(sim.port, f"{self.pki}/server.pem", f"{self.pki}/server.key")
        self.addCleanup(front.close)
        return sim, front

    def upgrade_over_https(self, sim, front, task_id):
        data = payload(100_000, task_id.encode())
        with open(os.path.join(sim.files, f"{task_id}.zip"), "wb") as f:
            f.write(data)
        url = f"https://127.0.0.1:{front.port}/files/{task_id}.zip"
        start = len(self.server.replies)
        self.server.send("apkUpgrade", {"apkDownloadUrl": url, "apkVersion": "1", "applicationName": task_id,
                                        "md5sum": md5(data), "apkSize": str(len(data)), "progress": 100},
                         task_id=task_id)

        def final():
            with self.server._cond:
                for _, p in self.server.replies[start:]:
                    if p and p.get("taskId") == task_id and p["param"].get("status") in ("2", "3"):
                        return p["param"]
            return None
        param = wait_for(final, 60, interval=0.1, what="the upgrade's final reply")
        self.assertEqual(param["status"], "2", param)
        with open(self.term.path(f"{APP}/download/{task_id}.zip"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_verified_with_the_configured_ca(self):
        sim, front = self.sim(f"ssl://127.0.0.1:{self.tls_port}")
        svc = self.service(f"https://127.0.0.1:{front.port}", ca="ca.pem")
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SN, timeout=60)
        self.assertIn("TLS: the broker is verified against the CA file", svc.log_text())
        self.assertGreater(front.handshakes, 0, "the bootstrap went over TLS")
        self.upgrade_over_https(sim, front, "tls1")

    def test_wrong_ca_is_refused_with_a_log_line(self):
        # The bootstrap over HTTPS: refused, the service keeps asking.
        sim, front = self.sim(f"ssl://127.0.0.1:{self.tls_port}")
        svc = self.service(f"https://127.0.0.1:{front.port}", ca="other-ca.pem")
        svc.wait_log(r"TLS: the server's certificate was not accepted \(CA file .*other-ca\.pem\)", timeout=30)
        svc.wait_log(r"get url failed, retrying")
        self.assertEqual(front.handshakes, 0)
        svc.kill()
        # The broker over "ssl://" (bootstrap in clear): the handshake is refused and logged.
        plain = MgmtSim(broker_addr=f"ssl://127.0.0.1:{self.tls_port}")
        self.addCleanup(plain.close)
        svc = self.service(plain.url, ca="other-ca.pem")
        svc.wait_log(r"TLS error: .*certificate verify failed", timeout=60)
        time.sleep(1)
        self.assertNotIn("Subscribed to topic", svc.log_text())
        self.assertIsNone(svc.returncode)

    def test_default_does_not_verify_http_servers(self):
        sim, front = self.sim(self.broker.addr)
        svc = self.service(f"https://127.0.0.1:{front.port}")
        svc.wait_log(r"Subscribed to topic /e/default/ma/d/" + SN, timeout=60)
        self.assertGreater(front.handshakes, 0)
        self.upgrade_over_https(sim, front, "tls2")
        self.assertNotIn("TLS", svc.log_text())


if __name__ == "__main__":
    unittest.main()

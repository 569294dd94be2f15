"""End-to-end harness: real broker, management simulator, simulated terminal, real program.

Every piece runs as a real process on loopback with free ports:
  Broker    mosquitto on a free port (stop()/start() keep the port)
  MgmtSim   tools/mgmt_sim.py, the management server's HTTP side
  Terminal  a device root built by tools/terminal_sim.py (+ the alibankApp stand-in)
  Service   the installed nimboservice, copied to a scratch directory with its own ini
  Server    the management server's MQTT side (paho client on the reply/report topics)

Environment (set by ctest): NIMBO_SOURCE_DIR, NIMBO_BINARY_DIR, NIMBO_STAGE_DIR, NIMBO_ALIBANK.
NIMBO_E2E_BROKER=rabbitmq runs the tests against a RabbitMQ node (tools/rabbitmq_node.py)
instead of mosquitto; tests that configure mosquitto itself are skipped then.

NIMBO_GUEST=1 (scripts/mips-vm-e2e.sh): the terminal, the stand-in and the service live in the
MIPS test machine (guest.py) instead; the broker, the simulator and the server stay on the host
and the service reaches them as 10.0.2.2. Terminal and Service are then GuestTerminal and
GuestService, which offer the same methods through the guest's control channel (tests that
open a terminal path on the host directly cannot run there).
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request

import paho.mqtt.client as mqtt

SOURCE_DIR = os.environ.get("NIMBO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY_DIR = os.environ.get("NIMBO_BINARY_DIR", os.path.join(SOURCE_DIR, "build"))
STAGE_DIR = os.environ.get("NIMBO_STAGE_DIR", os.path.join(BINARY_DIR, "stage"))
ALIBANK = os.environ.get("NIMBO_ALIBANK", os.path.join(BINARY_DIR, "tools", "alibankApp"))
PYTHON = "/usr/bin/python3"
GUEST_MODE = os.environ.get("NIMBO_GUEST") == "1"
# The address the service is given for the host's broker and simulator.
SERVICE_HOST = "10.0.2.2" if GUEST_MODE else "127.0.0.1"

REPLY_TOPIC = "/e/default/ma/d/plat"
REPORT_TOPIC = "/e/default/rp/d/plat"
CMD_TOPIC_PREFIX = "/e/default/ma/d/"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]



def descendants(pid):
    """The processes below `pid` (children, their children, ...), from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found

def wait_for(predicate, timeout, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def wait_log_lines(service, pattern, timeout, count, interval):
    """The matches of `pattern` in the service's log once there are `count` of them; the
    log's tail in the failure otherwise (host and guest services alike)."""
    rx = re.compile(pattern)

    def found():
        hits = rx.findall(service.log_text())
        return hits if len(hits) >= count else None

    try:
        return wait_for(found, timeout, interval=interval, what=f"log line /{pattern}/")
    except AssertionError:
        raise AssertionError(f"log line /{pattern}/ not seen within {timeout}s; log tail:\n"
                             + service.log_text()[-3000:]) from None


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def open_device(case, serial, terminal_args=()):
    """A simulated terminal, a broker, the management simulator and the server's client for one
    test, closed at its end: case.term, case.broker, case.sim, case.server."""
    case.term = Terminal(serial=serial, extra=terminal_args)
    case.addCleanup(case.term.close)
    case.broker = Broker()
    case.addCleanup(case.broker.close)
    case.sim = MgmtSim(broker_addr=case.broker.addr)
    case.addCleanup(case.sim.close)
    case.server = Server(case.broker, serial)
    case.addCleanup(case.server.close)


class Scratch:
    """A temporary directory removed at close (kept when NIMBO_KEEP_SCRATCH=1)."""

    def __init__(self, prefix):
        self.path = tempfile.mkdtemp(prefix=prefix)

    def close(self):
        if os.environ.get("NIMBO_KEEP_SCRATCH") != "1":
            shutil.rmtree(self.path, ignore_errors=True)


BROKER_KIND = os.environ.get("NIMBO_E2E_BROKER", "mosquitto")


def needs_mosquitto(test):
    """Skips a test that writes mosquitto's own configuration when another broker runs."""
    import unittest
    return unittest.skipIf(BROKER_KIND != "mosquitto", "configures mosquitto itself")(test)


# RabbitMQ knows every terminal as a user: the serial numbers of the terminals built so far,
# and the brokers running, so that each learns of the other.
_SERIALS = []
_RABBITS = []


def Broker(port=None):
    if BROKER_KIND == "rabbitmq":
        return RabbitBroker(port)
    return Mosquitto(port)


class RabbitBroker:
    """A RabbitMQ node with its MQTT plugin, in a scratch directory (stop()/start() keep the
    port and the data)."""

    def __init__(self, port=None):
        import sys
        sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
        import rabbitmq_node
        self._dir = Scratch("nimbo-rabbit-")
        self._cluster = rabbitmq_node.Cluster(self._dir.path)
        users = [(sn, rabbitmq_node.DEVICE_PASSWORD) for sn in _SERIALS]
        self._node = rabbitmq_node.Node(self._cluster, "nimbo1", port, users=users)
        self.port, self.url, self.addr = self._node.port, self._node.url, self._node.addr
        self._users = set(_SERIALS)
        self.start()
        _RABBITS.append(self)

    def add_device(self, sn):
        """The terminal's login (its serial number and the fleet's password)."""
        if sn not in self._users and self.proc and self.proc.poll() is None:
            import rabbitmq_node
            self._node.add_users([(sn, rabbitmq_node.DEVICE_PASSWORD)])
            self._users.add(sn)

    @property
    def proc(self):
        return self._node.proc

    def start(self):
        self._node.start()

    def stop(self):
        self._node.stop()

    def close(self):
        if self in _RABBITS:
            _RABBITS.remove(self)
        self._cluster.close()
        self._dir.close()


class Mosquitto:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.url = f"tcp://127.0.0.1:{self.port}"
        self.addr = f"{SERVICE_HOST}:{self.port}"
        self._dir = Scratch("nimbo-broker-")
        self.conf = os.path.join(self._dir.path, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "set_tcp_nodelay true\nmax_queued_messages 10000\n")
        self.proc = None
        self.start()

    def start(self):
        if self.proc and self.proc.poll() is None:
            return
        self._log = open(os.path.join(self._dir.path, "mosquitto.log"), "ab")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self._log, stderr=subprocess.STDOUT)
        wait_for(lambda: port_open(self.port), 10, what=f"mosquitto on port {self.port}")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self._log.close()

    def close(self):
        self.stop()
        self._dir.close()


class MgmtSim:
    """tools/mgmt_sim.py on a free port."""

    def __init__(self, broker_addr=None, refuse=False, files=None, uploads=None, extra=()):
        self._dir = Scratch("nimbo-sim-")
        port_file = os.path.join(self._dir.path, "port")
        self.files = files or os.path.join(self._dir.path, "files")
        self.uploads = uploads or os.path.join(self._dir.path, "uploads")
        os.makedirs(self.files, exist_ok=True)
        os.makedirs(self.uploads, exist_ok=True)
        args = [PYTHON, os.path.join(SOURCE_DIR, "tools", "mgmt_sim.py"), "--port", "0", "--port-file", port_file,
                "--files", self.files, "--uploads", self.uploads]
        if broker_addr:
            args += ["--broker", broker_addr]
        if refuse:
            args += ["--refuse"]
        args += list(extra)
        self._log = open(os.path.join(self._dir.path, "sim.log"), "ab")
        self.proc = subprocess.Popen(args, stdout=self._log, stderr=subprocess.STDOUT)
        def read_port():
            try:
                with open(port_file) as f:
                    return f.read().strip()
            except FileNotFoundError:
                return ""

        self.port = int(wait_for(read_port, 10, what="mgmt_sim port"))
        self.url = f"http://{SERVICE_HOST}:{self.port}"
        self.local_url = f"http://127.0.0.1:{self.port}"

    def _post(self, path, body):
        req = urllib.request.Request(self.local_url + path, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=5) as r:
            return json.loads(r.read() or b"{}")

    def config(self, **settings):
        return self._post("/_sim/config", settings)

    def reset(self):
        return self._post("/_sim/reset", {})

    def requests(self):
        with urllib.request.urlopen(self.local_url + "/_sim/requests", timeout=5) as r:
            return json.loads(r.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()

    def close(self):
        self.stop()
        self._dir.close()


class Terminal:
    """A simulated terminal: a device root plus, on demand, the payment-application stand-in."""

    def __init__(self, serial="NB00000001", extra=()):
        self._dir = Scratch("nimbo-term-")
        self.root = os.path.join(self._dir.path, "root")
        self.serial = serial
        if serial not in _SERIALS:
            _SERIALS.append(serial)
        for broker in _RABBITS:
            broker.add_device(serial)
        subprocess.run([PYTHON, os.path.join(SOURCE_DIR, "tools", "terminal_sim.py"), "build", self.root,
                        "--serial", serial, *extra], check=True)
        os.makedirs(os.path.join(self.root, "tmp"), exist_ok=True)
        self.alibank = None
        self.signal_record = os.path.join(self._dir.path, "alibank-signals.txt")

    def path(self, abs_path):
        return self.root + abs_path

    @property
    def data_path(self):
        return self.path("/usr/data/app/nimboservice/data")

    def write(self, abs_path, content, mode=None):
        p = self.path(abs_path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "w" if isinstance(content, str) else "wb") as f:
            f.write(content)
        if mode is not None:
            os.chmod(p, mode)
        return p

    def read(self, abs_path):
        with open(self.path(abs_path)) as f:
            return f.read()

    def exists(self, abs_path):
        return os.path.lexists(self.path(abs_path))

    def start_alibank(self, *args):
        env = dict(os.environ, NIMBO_DEVICE_ROOT=self.root)
        self.alibank = subprocess.Popen([ALIBANK, "--record", self.signal_record, *args], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.alibank

    def signals_received(self):
        try:
            with open(self.signal_record) as f:
                return [int(x) for x in f.read().split()]
        except FileNotFoundError:
            return []

    def close(self):
        if self.alibank and self.alibank.poll() is None:
            self.alibank.kill()
            self.alibank.wait()
        self._dir.close()


class Service:
    """The installed program, copied to a scratch prefix with its own nimboservice.ini."""

    def __init__(self, terminal, server_url=None, ini=None, start=True, env=None):
        self.terminal = terminal
        self._dir = Scratch("nimbo-svc-")
        self.prefix = self._dir.path
        shutil.copytree(os.path.join(STAGE_DIR, "bin"), os.path.join(self.prefix, "bin"), symlinks=True)
        shutil.copytree(os.path.join(STAGE_DIR, "lib"), os.path.join(self.prefix, "lib"), symlinks=True)
        self.program = os.path.join(self.prefix, "bin", "nimboservice")
        self.write_ini(server_url, ini)
        self.env = dict(os.environ, NIMBO_DEVICE_ROOT=terminal.root, NIMBO_LOG_STDERR="0",
                        PATH=terminal.path("/bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        self.env.pop("TZ", None)
        if env:
            self.env.update(env)
        self.proc = None
        self.log_file = terminal.path("/usr/data/log/nimbo_log.log")
        self._log_offset = 0
        if start:
            self.start()

    def write_ini(self, server_url=None, ini=None):
        lines = ["[server]"]
        if server_url:
            lines.append(f"server_url={server_url}")
        for section, entries in (ini or {}).items():
            lines.append(f"[{section}]")
            lines += [f"{k}={v}" for k, v in entries.items()]
        with open(os.path.join(self.prefix, "bin", "nimboservice.ini"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def start(self):
        """Starts the program; wait_log() afterwards sees only what this run writes."""
        self._log_offset = os.path.getsize(self.log_file) if os.path.exists(self.log_file) else 0
        self._out = open(os.path.join(self.prefix, "stdout.txt"), "ab")
        self.proc = subprocess.Popen([self.program], env=self.env, stdout=self._out, stderr=subprocess.STDOUT,
                                     cwd=self.prefix)
        return self.proc

    @property
    def pid(self):
        return self.proc.pid

    @property
    def returncode(self):
        return self.proc.poll()

    def log_text(self, whole=False):
        try:
            with open(self.log_file, "rb") as f:
                if not whole:
                    f.seek(self._log_offset)
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, pattern, timeout=20, count=1):
        return wait_log_lines(self, pattern, timeout, count, interval=0.1)

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def wait(self, timeout=20):
        return self.proc.wait(timeout)

    def stop(self, timeout=20):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def power_cut(self):
        """A power loss: the service and every process it started (an update script, a shell)
        stop at the same moment; none of them goes on after the cut. The tree is frozen first
        (a stopped parent starts nothing more), listed again, then killed."""
        if not self.proc or self.proc.poll() is not None:
            return
        for sig in (signal.SIGSTOP, signal.SIGKILL):
            for pid in [self.proc.pid] + descendants(self.proc.pid):
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
        self.proc.wait()

    def close(self):
        self.kill()
        if getattr(self, "_out", None):
            self._out.close()
        self._dir.close()


class Server:
    """The management server's MQTT side: sends commands, collects replies and reports."""

    def __init__(self, broker, sn):
        self.broker = broker
        self.sn = sn
        self.replies = []   # (raw, parsed or None)
        self.reports = []
        self._cond = threading.Condition()
        self._connected = threading.Event()
        self.client = mqtt.Client(client_id=f"srv-{os.getpid()}-{id(self)}", clean_session=True)
        self.client.on_connect = self._on_connect
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(1, 2)
        self.client.connect("127.0.0.1", broker.port, keepalive=30)
        self.client.loop_start()
        if not self._connected.wait(10):
            raise AssertionError("server client could not connect to the broker")

    def _on_connect(self, client, userdata, flags, rc):
        client.subscribe([(REPLY_TOPIC, 2), (REPORT_TOPIC, 2)])
        self._connected.set()

    def _on_message(self, client, userdata, msg):
        raw = msg.payload.decode("utf-8", "replace")
        try:
            parsed = json.loads(raw)
        except ValueError:
            parsed = None
        with self._cond:
            (self.replies if msg.topic == REPLY_TOPIC else self.reports).append((raw, parsed))
            self._cond.notify_all()

    def send(self, cmd=None, param=None, task_id="", sn=None, raw=None, qos=0, topic=None):
        if raw is None:
            body = {"cmd": cmd, "taskId": task_id, "sn": self.sn if sn is None else sn}
            if param is not None:
                body["param"] = param
            raw = json.dumps(body, separators=(",", ":"))
        topic = topic or CMD_TOPIC_PREFIX + self.sn
        self.client.publish(topic, raw, qos=qos).wait_for_publish()
        return raw

    def _wait(self, box, cmd, task_id, timeout, start):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(box)):
                    raw, parsed = box[i]
                    if parsed and parsed.get("cmd") == cmd and (task_id is None or parsed.get("taskId") == task_id):
                        return raw, parsed
                left = deadline - time.monotonic()
                if left <= 0:
                    got = [r for r, _ in box[start:]][-10:]
                    raise AssertionError(f"no {cmd} (taskId {task_id}) within {timeout}s; got: {got}")
                self._cond.wait(left)

    def wait_reply(self, cmd, task_id=None, timeout=15, start=0):
        return self._wait(self.replies, cmd, task_id, timeout, start)

    def probe(self, task_id, timeout=15, cmd="probe"):
        """Sends a command the service answers at once; its reply orders everything dispatched
        before. Returns the number of replies before the probe."""
        start = len(self.replies)
        self.send(cmd, task_id=task_id)
        self.wait_reply(cmd + "Resp", task_id=task_id, timeout=timeout, start=start)
        return start

    def wait_report(self, cmd, timeout=15, start=0):
        return self._wait(self.reports, cmd, None, timeout, start)

    def expect_no_reply(self, cmd, seconds=2, task_id=None):
        time.sleep(seconds)
        with self._cond:
            hits = [r for r, p in self.replies if p and p.get("cmd") == cmd
                    and (task_id is None or p.get("taskId") == task_id)]
        if hits:
            raise AssertionError(f"unexpected {cmd} replies: {hits}")

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


# ---- the terminal and the service inside the MIPS test machine ------------------------------------
_guest = None


def shared_guest():
    """The test process's machine, booted on first use and powered off at exit."""
    global _guest
    if _guest is None:
        import atexit
        from guest import Guest
        _guest = Guest()
        atexit.register(_guest.close)
    return _guest


_guest_seq = [0]


def _guest_name(prefix):
    _guest_seq[0] += 1
    return f"{prefix}{os.getpid()}-{_guest_seq[0]}"


class GuestTerminal:
    """A simulated terminal in the guest: the device root built on the host, copied to /term/...,
    its own /tmp a tmpfs (as on the device), and the guest's build of the stand-in."""

    ALIBANK = "/opt/nimbo/tools/alibankApp"

    def __init__(self, serial="NB00000001", extra=(), guest=None):
        self.guest = guest or shared_guest()
        self.serial = serial
        self.root = "/term/" + _guest_name(serial + "-")
        built = Scratch("nimbo-term-")
        try:
            host_root = os.path.join(built.path, "root")
            subprocess.run([PYTHON, os.path.join(SOURCE_DIR, "tools", "terminal_sim.py"), "build", host_root,
                            "--serial", serial, *extra], check=True)
            # The simulated device programs name their root: point them at the guest's.
            for d in ("bin", "etc/ota_bin"):
                for name in os.listdir(os.path.join(host_root, d)):
                    p = os.path.join(host_root, d, name)
                    with open(p, "rb") as f:
                        text = f.read()
                    if os.path.abspath(host_root).encode() in text:
                        with open(p, "wb") as f:
                            f.write(text.replace(os.path.abspath(host_root).encode(), self.root.encode()))
            # /proc and /sys are the guest's own.
            shutil.rmtree(os.path.join(host_root, "proc"), ignore_errors=True)
            self.guest.put_tree(host_root, self.root)
        finally:
            built.close()
        # On the disk before anything else happens: a power cut loses what is not written yet.
        self.guest.sh(f"sync && mount -t tmpfs tmpfs {self.root}/tmp")
        self.signal_record = self.root + "/.alibank-signals"
        self.raw_record = self.root + "/.alibank-raw"
        self.alibank_args = None

    def after_boot(self):
        """After the guest restarted without the boot script: the device's /tmp is new."""
        self.guest.sh(f"mount -t tmpfs tmpfs {self.root}/tmp")

    def path(self, abs_path):
        return self.root + abs_path

    @property
    def data_path(self):
        return self.path("/usr/data/app/nimboservice/data")

    def write(self, abs_path, content, mode=None):
        self.guest.put(self.path(abs_path), content, mode)
        return self.path(abs_path)

    def read(self, abs_path):
        data = self.guest.get(self.path(abs_path))
        if data is None:
            raise FileNotFoundError(self.path(abs_path))
        return data.decode("utf-8", "replace")

    def read_bytes(self, abs_path):
        data = self.guest.get(self.path(abs_path))
        if data is None:
            raise FileNotFoundError(self.path(abs_path))
        return data

    def exists(self, abs_path):
        return self.guest.exists(self.path(abs_path))

    def size(self, abs_path):
        return self.guest.size(self.path(abs_path))

    def alibank_command(self, *args):
        import shlex
        argv = [self.ALIBANK, "--record", self.signal_record, "--raw", self.raw_record, *args]
        return (f"NIMBO_DEVICE_ROOT={self.root} {' '.join(shlex.quote(a) for a in argv)} "
                f"</dev/null >/dev/null 2>&1 &")

    def start_alibank(self, *args):
        """Starts the stand-in and waits until its handlers are installed."""
        self.alibank_args = args
        ready = self.root + "/tmp/alibank.ready"
        self.guest.sh(f"rm -f {ready}; " + self.alibank_command("--ready", ready, *args))
        wait_for(lambda: self.guest.exists(ready), 20, interval=0.2, what="alibankApp ready")

    def stop_alibank(self):
        self.guest.run("pids=$(pgrep -x alibankApp) && kill $pids")

    def _numbers(self, path):
        data = self.guest.get(path)
        return [int(x) for x in data.split()] if data else []

    def signals_received(self):
        return self._numbers(self.signal_record)

    def raw_signals_received(self):
        """The signal numbers as the kernel delivered them to the stand-in."""
        return self._numbers(self.raw_record)

    def close(self):
        self.stop_alibank()
        self.guest.run(f"umount {self.root}/tmp; rm -rf {self.root}")


class GuestService:
    """The release build in the guest, copied to its own prefix with its own nimboservice.ini.
    start.sh in the prefix starts it (also at boot, once enabled) and records pid and exit status."""

    def __init__(self, terminal, server_url=None, ini=None, start=True, env=None):
        self.terminal = terminal
        self.guest = terminal.guest
        self.prefix = "/var/svc/" + _guest_name("svc-")
        # Copied through the agent: busybox's cp stats what it makes, which fails past 2038.
        for rel in ("bin/nimboservice", "lib/libhwlink.so.1", "lib/libeasy_logger.so"):
            self.guest.put(f"{self.prefix}/{rel}", self.guest.get("/opt/nimbo/" + rel), 0o755)
        self.program = self.prefix + "/bin/nimboservice"
        self.env = {"NIMBO_DEVICE_ROOT": terminal.root, "NIMBO_LOG_STDERR": "0",
                    "PATH": terminal.path("/bin") + ":/usr/sbin:/usr/bin:/sbin:/bin"}
        self.env.update(env or {})
        self.write_ini(server_url, ini)
        self.log_file = terminal.path("/usr/data/log/nimbo_log.log")
        self._log_offset = 0
        self._write_start_script()
        self.guest.sh("sync")  # installed as on a device, before any power cut
        if start:
            self.start()

    def write_ini(self, server_url=None, ini=None):
        lines = ["[server]"]
        if server_url:
            lines.append(f"server_url={server_url}")
        for section, entries in (ini or {}).items():
            lines.append(f"[{section}]")
            lines += [f"{k}={v}" for k, v in entries.items()]
        self.guest.put(self.prefix + "/bin/nimboservice.ini", "\n".join(lines) + "\n")

    def _write_start_script(self):
        import shlex
        env = " ".join(f"{k}={shlex.quote(v)}" for k, v in self.env.items())
        self.guest.put(self.prefix + "/start.sh", (
            "#!/bin/sh\n"
            f"cd {self.prefix} || exit 1\n"
            # Emptied, not removed, and no test -f: busybox's rm and test stat, which fails past 2038.
            ": > pid; : > status; : > started\n"
            # (Written in place, one write each: busybox's mv stats its target.)
            f"( {env} sh -c 'echo $$ > pid && exec ./bin/nimboservice'; "
            "echo $? > status ) </dev/null >>stdout.txt 2>&1 &\n"
            "until read p < pid && [ -n \"$p\" ]; do sleep 0.05; done\n"
            "cat /proc/sys/kernel/random/boot_id > started\n"), 0o755)

    def enable_at_boot(self, alibank_args=()):
        """At every boot: the terminal's /tmp is a new tmpfs, the stand-in and the service start."""
        t = self.terminal
        self.guest.put("/etc/nimbo-boot.d/50-terminal", (
            "#!/bin/sh\n"
            f"mount -t tmpfs tmpfs {t.root}/tmp\n"
            + t.alibank_command(*alibank_args) + "\n"
            f"{self.prefix}/start.sh\n"), 0o755)
        self.guest.sh("sync")

    def start(self):
        size = self.guest.size(self.log_file)
        self._log_offset = max(size, 0)
        self.guest.sh(self.prefix + "/start.sh")

    def mark_log(self):
        """Before a reboot: log_text() will show what is written from here on."""
        self._log_offset = max(self.guest.size(self.log_file), 0)

    def after_reboot(self):
        """After the guest restarted: waits for the run the boot started (see enable_at_boot)."""
        def started():
            data = self.guest.get(self.prefix + "/started")
            return data is not None and data.decode().strip() == self.guest.boot_id
        wait_for(started, 60, interval=0.3, what="service started at boot")

    @property
    def pid(self):
        data = self.guest.get(self.prefix + "/pid")
        return int(data) if data and data.strip() else None

    @property
    def returncode(self):
        data = self.guest.get(self.prefix + "/status")
        return int(data) if data and data.strip() else None

    def log_text(self, whole=False):
        offset = 0 if whole else self._log_offset
        data = self.guest.get(self.log_file) if offset == 0 else \
            self.guest.run(f"tail -c +{offset + 1} {self.log_file} 2>/dev/null")[1]
        return (data or b"").decode("utf-8", "replace")

    def wait_log(self, pattern, timeout=30, count=1):
        return wait_log_lines(self, pattern, timeout, count, interval=0.3)

    def signal(self, sig):
        self.guest.sh(f"kill -{int(sig)} {self.pid}")

    def wait(self, timeout=20):
        return wait_for(lambda: self.returncode is not None and [self.returncode], timeout, interval=0.3,
                        what="service exit")[0]

    def stop(self, timeout=20):
        if self.returncode is None and self.pid:
            self.guest.run(f"kill -TERM {self.pid}")
            try:
                return self.wait(timeout)
            except AssertionError:
                self.kill()
        return self.returncode

    def kill(self):
        if self.returncode is None and self.pid:
            self.guest.run(f"kill -KILL {self.pid}")
            self.wait(20)

    def close(self):
        try:
            self.kill()
            self.guest.run(f"rm -f /etc/nimbo-boot.d/50-terminal; rm -rf {self.prefix}")
        except (OSError, AssertionError):
            pass


if GUEST_MODE:
    Terminal = GuestTerminal
    Service = GuestService

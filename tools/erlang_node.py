"""What the broker nodes that run on an Erlang VM share (tools/rabbitmq_node.py,
tools/ejabberd_node.py): free loopback ports, a cluster directory with its private cookie and
port mapper, and the handling of a node's process group."""
import os
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


class Cluster:
    """The shared part of the nodes of one directory: the cookie and the port mapper."""

    def __init__(self, base):
        self.base = os.path.abspath(base)
        self.home = os.path.join(self.base, "home")
        os.makedirs(self.home, exist_ok=True)
        cookie = os.path.join(self.home, ".erlang.cookie")
        if not os.path.exists(cookie):
            with open(cookie, "w") as f:
                f.write(os.urandom(16).hex().upper())
            os.chmod(cookie, 0o400)
        self.epmd_port = free_port()
        self.nodes = []

    def env(self):
        return dict(os.environ, HOME=self.home, ERL_EPMD_PORT=str(self.epmd_port), ERL_EPMD_ADDRESS="127.0.0.1")

    def close(self):
        for node in self.nodes:
            node.stop()
        # The port mapper the first node started: stopped by its own port.
        subprocess.run(["epmd", "-port", str(self.epmd_port), "-kill"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)


class NodeProcess:
    """A node's VM in a process group of its own (`self.proc`), listening on `self.port`."""

    proc = None

    def wait_port(self, what, timeout):
        """Waits until the node's port answers; RuntimeError naming `what` when it does not."""
        deadline = time.monotonic() + timeout
        while not port_open(self.port):
            if (self.proc is not None and self.proc.poll() is not None) or time.monotonic() > deadline:
                raise RuntimeError(what)
            time.sleep(0.2)

    def freeze(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGSTOP)

    def kill(self):
        # Only a group whose leader is not reaped yet is surely ours: a reaped leader's id
        # may name another process group by now.
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)

    def stop(self, timeout=30):
        if not self.proc or self.proc.poll() is not None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGCONT)
            os.killpg(self.proc.pid, signal.SIGTERM)  # the Erlang VM shuts down in order
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        except ProcessLookupError:
            return
        self.kill()

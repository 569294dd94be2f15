#!/usr/bin/python3
"""A fleet of nimboservice agents on one machine: N installed agents, each on its own simulated
terminal, against one broker and one management server, and the measured scenarios.

  fleet.py SCENARIO [-n N] [--broker URL] [--server URL] [options]

Scenarios (each prints its figures, and writes them as JSON with --json FILE):
  run            start the fleet and keep it running until Ctrl-C
  start          time until all are connected, bootstrap requests and broker connections per second
  fanout         querySysStatus to every terminal: reply latency p50/p99, time until the last reply
  rollout        apkUpgrade to every terminal from one server: total time, bytes served per terminal,
                 one final reply each, the installed package verified (--cuts K cuts K transfers
                 halfway so that those terminals resume)
  broker-outage  QoS 2 final replies pending on every terminal, the broker down for --outage seconds:
                 time until all are back, reconnections per second, each reply delivered once
  broker-crash   SIGKILL to the broker while the final replies flow (a third delivered): lost,
                 doubled and de-duplicated final replies (--final-ack: kept until acknowledged)
  server-outage  the management server refuses the bootstrap for --down seconds while the fleet
                 starts: the retry pattern as the server sees it
  footprint      PSS and USS per agent with N running, idle CPU per agent per minute
  campaign       apkUpgrade to every terminal by nimboctl (--serials, --parallel): its summary and
                 exit status, one final reply each, the installed package verified
  all            one fleet through start, footprint, fanout, rollout and broker-outage, then
                 restarted twice under a server outage: fixed delays, then retry_spread=--spread

Without --broker the fleet gets its own mosquitto (a free loopback port, configured for the
fleet's connections); without --server it gets tools/mgmt_sim.py. broker-outage needs the own
broker, rollout, broker-outage and server-outage the own management simulator.

Every terminal is a copy of one template root built by tools/terminal_sim.py, with its own
serial number (--sn-prefix and a six-digit number), data and log; the agents all run the one
installed program (--stage DIR, default $NIMBO_STAGE_DIR or build/stage), copied once beside a
nimboservice.ini naming the management server. --payment starts the payment-application
stand-in on every terminal.

Every process started is registered with its process group and stopped at the end, also on
Ctrl-C, SIGTERM or SIGHUP; should the runner itself be killed, its children get SIGKILL from
the kernel (parent-death signal). The work directory (--workdir, default a new directory under
/tmp) is removed at the end unless --keep is given.
"""
import argparse
import ctypes
import datetime
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import paho.mqtt.client as mqtt

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from erlang_node import free_port  # noqa: E402 (the loopback port helper of every tool)

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
PYTHON = sys.executable or "/usr/bin/python3"
REPLY_TOPIC = "/e/default/ma/d/plat"
REPORT_TOPIC = "/e/default/rp/d/plat"
CMD_TOPIC_PREFIX = "/e/default/ma/d/"
APP_NAME = "FleetApp"
TTY = sys.stdout.isatty()
_LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def say(text):
    print(text, flush=True)


def listening(port, host="127.0.0.1"):
    """True when a socket listens on host:port (/proc/net/tcp). Unlike a connection attempt,
    not starved when a storm of terminals fills the listen queue."""
    want = "%s:%04X" % ("".join(f"{int(b):02X}" for b in reversed(host.split("."))), port)
    try:
        with open("/proc/net/tcp") as f:
            return any(len(w) > 3 and w[1] == want and w[3] == "0A" for w in (line.split() for line in f))
    except OSError:
        return False


def wait_until(predicate, timeout, what, interval=0.1):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout:.0f}s waiting for {what}")
        time.sleep(interval)


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def child_setup():
    """In every child: its own process group and death with the runner."""
    os.setpgid(0, 0)
    _LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def set_oom_score(value):
    """/proc/self/oom_score_adj; False where it may not be written (lowering needs root)."""
    try:
        with open("/proc/self/oom_score_adj", "w") as f:
            f.write(str(value))
        return True
    except OSError:
        return False


# When memory runs out the kernel kills the largest process: the runner (it holds every message
# the server side received), and with it the whole run. The runner, its guardian, the broker and
# the simulator (which inherit it) are made the last choice; an agent the first, so that a fleet
# too large for the machine loses terminals, which the checks count, instead of its figures.
RUNNER_OOM_SCORE = -900
AGENT_OOM_SCORE = 500


def agent_setup():
    child_setup()
    set_oom_score(AGENT_OOM_SCORE)


# What one agent takes at most, for the limits check: 4 threads idle, one more per transfer;
# memory as measured at N = 10,000 with Debian's libcurl (docs/fleet.md): 1.7 MiB PSS idle, more
# after a transfer, and the kernel's share (page tables, sockets, thread stacks): the machine's
# used memory grew 2.3 MiB an agent by the broker outage. With the terminal's lean libcurl
# (--lean-curl) 0.6 MiB less.
THREADS_PER_AGENT = 5
KIB_PER_AGENT = 2355
KIB_PER_AGENT_LEAN_CURL = KIB_PER_AGENT - 630
PID_MAX = "/proc/sys/kernel/pid_max"


def read_int(path):
    with open(path) as f:
        return int(f.read().split()[0])


def machine_facts():
    """What the machine has: process ids, threads, descriptors, memory, loopback ports."""
    _, hard_fds = resource.getrlimit(resource.RLIMIT_NOFILE)
    with open("/proc/meminfo") as f:
        mem = {k: int(v.split()[0]) for k, _, v in (line.partition(":") for line in f) if v.strip()}
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = (int(x) for x in f.read().split())
    return {"pid_max": read_int(PID_MAX), "pid_max_writable": os.access(PID_MAX, os.W_OK),
            "threads_max": read_int("/proc/sys/kernel/threads-max"), "fd_hard_limit": hard_fds,
            "memory_available_kib": mem.get("MemAvailable", 0), "ephemeral_ports": high - low + 1}


def machine_limits(n, facts=None, kib_per_agent=KIB_PER_AGENT):
    """What n agents need (process ids, descriptors, memory, loopback ports) against what the
    machine has. Returns (figures, problems, pid_max to set or None): pid_max can be raised
    by root (the runner does, and puts it back at the end); the others are refused."""
    m = facts or machine_facts()
    need_ids = n * THREADS_PER_AGENT + 2000
    figures = dict(m, ids_needed=need_ids, fds_needed_by_broker=n + 1000, memory_needed_kib=n * kib_per_agent,
                   ports_needed=2 * n)
    problems, raise_to = [], None
    if need_ids > m["threads_max"]:
        problems.append(f"{n} agents need about {need_ids} threads; kernel.threads-max is {m['threads_max']}")
    if need_ids > m["pid_max"]:
        if m["pid_max_writable"]:
            raise_to = min(4194304, max(2 * need_ids, m["pid_max"]))
        else:
            problems.append(f"{n} agents need about {need_ids} process ids; kernel.pid_max is {m['pid_max']} "
                            f"and cannot be raised here (root may: sysctl kernel.pid_max={2 * need_ids})")
    if n + 1000 > m["fd_hard_limit"]:
        problems.append(f"the broker needs about {n + 1000} descriptors; the hard limit is {m['fd_hard_limit']}")
    if n * kib_per_agent > 0.9 * m["memory_available_kib"]:
        problems.append(f"{n} agents need about {n * kib_per_agent // 1024} MiB; "
                        f"{m['memory_available_kib'] // 1024} MiB are available")
    if 2 * n > m["ephemeral_ports"]:
        problems.append(f"{n} agents need about {2 * n} loopback ports; the ephemeral range has {m['ephemeral_ports']}")
    return figures, problems, raise_to


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]


def per_second(times, origin):
    """Counts per whole second after origin: a list from second 0 to the last event."""
    if not times:
        return []
    counts = [0] * (int(max(times) - origin) + 1)
    for t in times:
        counts[max(0, int(t - origin))] += 1
    return counts


def rate_figures(times, origin):
    series = per_second(times, origin)
    if not series:
        return {"count": 0}
    first = next(i for i, c in enumerate(series) if c)
    span = max(1, len(series) - first)
    return {"count": len(times), "peak_per_s": max(series), "mean_per_s": round(len(times) / span, 1),
            "first_s": first, "last_s": len(series) - 1}


# ---- the checks every scenario's PASS rests on --------------------------------------------------
# Each takes what the run recorded and returns its problems (texts); a scenario passes when
# none of its checks has one. tests/checks/fleet_checks.py plants a fault for each.

def check_finals(finals, expect, duplicates_allowed=False):
    """finals: taskId -> [(time, status, raw), ...] as the server side received them; expect:
    taskId -> the status its final reply must carry ("2" success, "3" failure). Every task
    needs one final reply (exactly one unless duplicates_allowed: the server side drops the
    repeated ones by taskId), with the expected status."""
    problems = []
    missing = sorted(t for t in expect if not finals.get(t))
    doubled = sorted(t for t in expect if len(finals.get(t) or ()) > 1)
    wrong = sorted(t for t in expect if finals.get(t) and finals[t][0][1] != expect[t])
    if missing:
        problems.append(f"{len(missing)} task(s) without a final reply: {missing[:5]}")
    if doubled and not duplicates_allowed:
        problems.append(f"{len(doubled)} task(s) with more than one final reply: {doubled[:5]}")
    if wrong:
        problems.append(f"{len(wrong)} final reply(ies) with another status than expected: "
                        + ", ".join(f"{t} {finals[t][0][1]} (want {expect[t]})" for t in wrong[:5]))
    return problems


def check_pending(pending, what="replies pending at the stop"):
    """An outage or a crash proves something only when replies were pending when it struck."""
    return [] if pending > 0 else [f"{what}: {pending}: the outage met no pending reply"]


def check_bytes(served, size):
    """served: serial -> bytes the server sent it. Each terminal fetches the package exactly
    once in all: no byte twice (resume) and none missing."""
    wrong = {sn: b for sn, b in served.items() if b != size}
    return [f"{len(wrong)} terminal(s) fetched another byte count than the package's {size}: "
            + ", ".join(f"{sn} {b}" for sn, b in sorted(wrong.items())[:5])] if wrong else []


def check_once(counts, serials, what):
    """counts: serial -> how often; every serial exactly once."""
    off = {sn: counts.get(sn, 0) for sn in serials if counts.get(sn, 0) != 1}
    return [f"{len(off)} terminal(s) {what} other than once: "
            + ", ".join(f"{sn} {c}x" for sn, c in sorted(off.items())[:5])] if off else []


def check_bootstraps(statuses, n, refused_expected=False):
    """statuses: the HTTP status of each bootstrap request the server answered. n answered
    with 200, each terminal once; a refused one (the server outage) is retried, documented."""
    ok = sum(1 for s in statuses if s == 200)
    problems = [] if ok == n else [f"{ok} bootstrap requests answered 200, want {n} (one per terminal)"]
    refused = len(statuses) - ok
    if refused_expected and refused == 0:
        problems.append("the server refused no bootstrap request: the outage did not happen")
    if not refused_expected and refused:
        problems.append(f"{refused} bootstrap request(s) refused although the server was up")
    return problems


def group_members(pgid):
    """Pids of the live processes whose process group is pgid (from /proc)."""
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z" and int(fields[2]) == pgid:
            out.append(int(name))
    return out


def carrying(token, exclude=()):
    """Pids of the processes whose environment carries NIMBO_FLEET_RUN=token: everything a run
    started, down to the daemons its children started (an Erlang port mapper, say)."""
    marker = f"NIMBO_FLEET_RUN={token}".encode()
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) in exclude:
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as f:
                if marker in f.read().split(b"\0"):
                    out.append(int(name))
        except OSError:
            continue
    return out


def kill_carrying(token, exclude=(), rounds=10):
    """SIGKILL to every process carrying the run's token, until none is left; returns what
    was found the first time."""
    first = None
    for _ in range(rounds):
        found = carrying(token, exclude)
        if first is None:
            first = found
        if not found:
            break
        for pid in found:
            try:
                os.kill(pid, signal.SIGCONT)
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        time.sleep(0.2)
    return first or []


def guard(token, pid_max_file=PID_MAX):
    """The guardian (fleet.py --guard TOKEN): waits for the end of its standard input, which
    only the runner holds open, then kills whatever still carries the run's token. A runner
    that ends normally has stopped everything itself; one that was killed has not. The runner
    tells it what it changed on the machine ("pid_max OLD NEW"): put back unless someone has
    changed it since."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    pid_max = None
    for line in sys.stdin.buffer:
        words = line.split()
        if len(words) == 3 and words[0] == b"pid_max" and words[1].isdigit() and words[2].isdigit():
            pid_max = (int(words[1]), int(words[2]))
    kill_carrying(token, exclude=(os.getpid(),), rounds=50)
    if pid_max:
        try:
            if read_int(pid_max_file) == pid_max[1]:
                with open(pid_max_file, "w") as f:
                    f.write(str(pid_max[0]))
        except (OSError, ValueError):
            pass
    return 0


class Registry:
    """Every process the runner started, stopped group by group at the end. Every child
    carries the run's token in its environment (NIMBO_FLEET_RUN), and a guardian process kills
    whatever carries it once the runner is gone, however it ended."""

    def __init__(self, pid_file):
        self.procs = []  # (label, Popen)
        self.pid_file = pid_file
        self.lock = threading.Lock()
        self.token = f"{os.getpid()}-{os.urandom(6).hex()}"
        self.guardian = subprocess.Popen([PYTHON, os.path.abspath(__file__), "--guard", self.token],
                                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True)

    def env(self, env=None):
        return dict(env if env is not None else os.environ, NIMBO_FLEET_RUN=self.token)

    def spawn(self, label, args, setup=child_setup, **kw):
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        kw["env"] = self.env(kw.get("env"))
        proc = subprocess.Popen(args, preexec_fn=setup, **kw)
        with self.lock:
            self.procs.append((label, proc))
            with open(self.pid_file, "a") as f:
                f.write(f"{proc.pid} {label}\n")
        return proc

    def stop(self, proc, timeout=15.0, sig=signal.SIGTERM):
        self.signal_group(proc, sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        self.kill_group(proc)

    @staticmethod
    def signal_group(proc, sig):
        """Signals proc's process group while the group is still ours: while its leader is not
        reaped (its id cannot be reused), or, once it is, while /proc shows live members of the
        group (they hold the id). A group whose leader was reaped and which has no members is
        never signalled: its id may belong to someone else by now."""
        if proc.poll() is None or group_members(proc.pid):
            try:
                os.killpg(proc.pid, sig)
                return True
            except (ProcessLookupError, PermissionError):
                pass
        return False

    @classmethod
    def kill_group(cls, proc):
        # SIGKILL ends a stopped process too; a SIGCONT first would let a frozen broker run for a
        # moment and pass on part of what it held (the outage would no longer be a freeze).
        cls.signal_group(proc, signal.SIGKILL)  # the process and anything it left in its group
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            pass

    def stop_all(self, timeout=20.0):
        with self.lock:
            procs = [p for _, p in self.procs]
        return self.stop_procs(procs, timeout)

    def stop_procs(self, procs, timeout=20.0):
        with self.lock:
            self.procs = [(label, p) for label, p in self.procs if p not in procs]
        for proc in procs:
            self.signal_group(proc, signal.SIGCONT)
            self.signal_group(proc, signal.SIGTERM)
        deadline = time.monotonic() + timeout
        for proc in procs:
            try:
                proc.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                pass
        for proc in procs:
            self.kill_group(proc)
        left = [p.pid for p in procs if p.poll() is None]
        return left

    def sweep(self):
        """Kills what still carries the run's token (processes that left their group, daemons);
        returns their pids: anything found here had outlived its group's stop."""
        return kill_carrying(self.token, exclude=(os.getpid(), self.guardian.pid))

    def tell_guardian(self, line):
        try:
            self.guardian.stdin.write(line.encode() + b"\n")
            self.guardian.stdin.flush()
        except OSError:
            pass

    def release_guardian(self):
        try:
            self.guardian.stdin.close()
            self.guardian.wait(30)
        except (OSError, subprocess.TimeoutExpired):
            pass


class LocalBroker:
    """mosquitto on a free loopback port, allowing the fleet's connections; keeps its port
    across stop()/start(). Persistence keeps the server's session across a restart."""

    def __init__(self, reg, workdir):
        self.reg = reg
        self.dir = os.path.join(workdir, "broker")
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        self.url = f"tcp://127.0.0.1:{self.port}"
        self.addr = f"127.0.0.1:{self.port}"
        self.log = os.path.join(self.dir, "mosquitto.log")
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\nmax_connections -1\n"
                    f"persistence true\npersistence_location {self.dir}/\nautosave_interval 2\n"
                    f"max_queued_messages 0\nmax_inflight_messages 100\nset_tcp_nodelay true\n"
                    f"log_dest file {self.log}\nlog_type error\nlog_type warning\nlog_type notice\n"
                    f"log_timestamp true\n")
            if os.geteuid() == 0:
                f.write("user root\n")  # else it drops to its own user, who cannot write here
        self.proc = None
        self.events = []  # starts and kills: how long each took
        self.start()

    def start(self):
        if self.proc and self.proc.poll() is None:
            return
        db = os.path.join(self.dir, "mosquitto.db")
        db_bytes = os.path.getsize(db) if os.path.exists(db) else 0
        began = time.monotonic()
        with open(os.path.join(self.dir, "mosquitto.out"), "ab") as out:
            self.proc = self.reg.spawn("mosquitto", ["mosquitto", "-c", self.conf], stdout=out, stderr=out)
        # Restoring the saved sessions comes before the listener: a large store takes a while.
        wait_until(lambda: listening(self.port) or self.proc.poll() is not None, 300, f"mosquitto on port {self.port}")
        if self.proc.poll() is not None:
            raise TimeoutError(f"mosquitto ended at its start (status {self.proc.returncode}): see {self.dir}/mosquitto.out")
        self.events.append({"start_s": round(time.monotonic() - began, 2), "db_bytes": db_bytes})

    def freeze(self):
        os.kill(self.proc.pid, signal.SIGSTOP)

    def kill(self):
        began = time.monotonic()
        self.reg.kill_group(self.proc)
        # Its port is free only once it is gone: a broker holding ten thousand connections
        # takes a while to end.
        try:
            wait_until(lambda: self.proc.poll() is not None and not listening(self.port), 120, "the killed broker to end")
        except TimeoutError:
            pass
        self.events.append({"kill_s": round(time.monotonic() - began, 2)})

    def connections(self, since=0.0):
        """Times (whole seconds since the epoch) of the clients' connections, from the log."""
        return [t for t, _ in self.client_connections(since)]

    def client_connections(self, since=0.0):
        """(time, serial number) of the terminals' connections, from the log."""
        out = []
        rx = re.compile(r"^(\d+): New client connected from .* as MT_(\S+)")
        try:
            with open(self.log, errors="replace") as f:
                for line in f:
                    m = rx.match(line)
                    if m and int(m.group(1)) >= int(since):
                        out.append((float(m.group(1)), m.group(2)))
        except FileNotFoundError:
            pass
        return out


class LocalRabbit:
    """RabbitMQ (its MQTT plugin) instead of mosquitto: --broker-kind rabbitmq. With --nodes 2
    the two nodes on loopback form one cluster; the terminals connect to the first and the
    server side (and nimboctl) to the last, so every command and reply crosses the cluster."""

    def __init__(self, reg, workdir, nodes, serials):
        import rabbitmq_node
        if not rabbitmq_node.available():
            raise SystemExit("--broker-kind rabbitmq: rabbitmq-server is not installed")
        self.cluster = rabbitmq_node.Cluster(os.path.join(workdir, "rabbitmq"))
        spawn = lambda label, args, **kw: reg.spawn(label, args, **kw)  # noqa: E731
        users = [(sn, rabbitmq_node.DEVICE_PASSWORD) for sn in serials]
        self.nodes = [rabbitmq_node.Node(self.cluster, f"nimbo{i + 1}", spawn=spawn, users=users)
                      for i in range(max(1, nodes))]
        for node in self.nodes:
            node.start()
        for node in self.nodes[1:]:
            node.join(self.nodes[0])
        first = self.nodes[0]
        self.port, self.url, self.addr = first.port, first.url, first.addr
        self.server_port = self.nodes[-1].port

    def start(self):
        self.nodes[0].start()

    def freeze(self):
        self.nodes[0].freeze()

    def kill(self):
        self.nodes[0].kill()

    def close(self):
        self.cluster.close()

    def connections(self, since=0.0):
        """Times of the terminals' MQTT connections to the first node, from its log."""
        out = []
        rx = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+[+-]\d\d:\d\d) .*accepting MQTT connection")
        try:
            with open(self.nodes[0].log, errors="replace") as f:
                for line in f:
                    m = rx.match(line)
                    if m:
                        t = int(datetime.datetime.fromisoformat(m.group(1)).timestamp())
                        if t >= int(since):
                            out.append(float(t))
        except FileNotFoundError:
            pass
        return out


class LocalEjabberd:
    """ejabberd (its MQTT service) instead of mosquitto: --broker-kind ejabberd. With --nodes 3
    the three nodes on loopback form one cluster; the terminals connect through a TCP front
    (tools/tcp_front.py: each new connection to the next node that accepts it), the server side
    directly to the last node. kill() kills the first node: its terminals move to the others."""

    def __init__(self, reg, workdir, nodes):
        import ejabberd_node
        if not ejabberd_node.available():
            raise SystemExit("--broker-kind ejabberd: ejabberd is not installed")
        self.cluster = ejabberd_node.Cluster(os.path.join(workdir, "ejabberd"))
        spawn = lambda label, args, **kw: reg.spawn(label, args, **kw)  # noqa: E731
        self.nodes = [ejabberd_node.Node(self.cluster, f"nimbo{i + 1}", spawn=spawn) for i in range(max(1, nodes))]
        for node in self.nodes:
            node.start()
        for node in self.nodes[1:]:
            node.join(self.nodes[0])
        self.members = self.nodes[0].members()
        self.server_port = self.nodes[-1].port
        self.front_log = None
        if len(self.nodes) > 1:
            port_file = os.path.join(self.cluster.base, "front.port")
            self.front_log = os.path.join(self.cluster.base, "front.log")
            reg.spawn("tcp_front", [PYTHON, os.path.join(HERE, "tcp_front.py"), "--port-file", port_file,
                                    "--log", self.front_log] + [n.addr for n in self.nodes])
            wait_until(lambda: os.path.exists(port_file), 15, "the TCP front's port")
            with open(port_file) as f:
                self.port = int(f.read())
        else:
            self.port = self.nodes[0].port
        self.url, self.addr = f"tcp://127.0.0.1:{self.port}", f"127.0.0.1:{self.port}"

    def start(self):
        self.nodes[0].start()

    def freeze(self):
        if self.nodes[0].proc.poll() is None:
            os.killpg(self.nodes[0].proc.pid, signal.SIGSTOP)

    def kill(self):
        self.nodes[0].kill()

    def close(self):
        self.cluster.close()

    def front_connections(self, since=0.0):
        """(time, node address) of the terminals' connections through the front."""
        out = []
        try:
            with open(self.front_log) as f:
                for line in f:
                    t, node, _ = line.split()
                    if float(t) >= since:
                        out.append((float(t), node))
        except (OSError, TypeError, ValueError):
            pass
        return out

    def connections(self, since=0.0):
        return [t for t, _ in self.front_connections(since)]


class LocalSim:
    """tools/mgmt_sim.py on a free port, with a files directory for packages."""

    def __init__(self, reg, workdir, broker_addr, refuse=None):
        self.dir = os.path.join(workdir, "sim")
        self.files = os.path.join(self.dir, "files")
        os.makedirs(self.files, exist_ok=True)
        port_file = os.path.join(self.dir, "port")
        args = [PYTHON, os.path.join(HERE, "mgmt_sim.py"), "--port", "0", "--port-file", port_file,
                "--broker", broker_addr, "--files", self.files, "--uploads", os.path.join(self.dir, "uploads"),
                "--quiet"]
        if refuse:
            args += ["--refuse", refuse]
        self.proc = reg.spawn("mgmt_sim", args, stderr=open(os.path.join(self.dir, "sim.log"), "ab"))
        wait_until(lambda: os.path.exists(port_file), 15, "mgmt_sim port")
        with open(port_file) as f:
            self.port = int(f.read().strip())
        self.url = f"http://127.0.0.1:{self.port}"

    def config(self, **settings):
        req = urllib.request.Request(self.url + "/_sim/config", data=json.dumps(settings).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=30) as r:
            return json.loads(r.read() or b"{}")

    def requests(self):
        with urllib.request.urlopen(self.url + "/_sim/requests", timeout=120) as r:
            return json.loads(r.read())


class ServerSide:
    """The management server's MQTT side: one client on the reply and report topics (a
    persistent session, so nothing is lost while it reconnects after a broker restart).

    Every message received is kept (`record`, written to the work directory at the end). A
    final reply (QoS 2 with a taskId) is taken once per taskId: a repeated one is counted as
    de-duplicated (`dropped`). With `ack` set, every final reply received, repeated ones too, is
    acknowledged to its terminal with the command finalAck (the terminal keeps the reply's
    backup and re-sends it until then). `plant` (tests of the runner only) fakes a server-side
    fault: "drop-final" ignores the first final reply, "double-final" records it twice."""

    def __init__(self, host, port, ack=False, plant=(), username=None):
        self.messages = []  # (monotonic time, topic, parsed or None, raw)
        self.record = []    # every message received: wall time, topic, QoS, raw
        self.taken = {}     # taskId -> how often a final reply of it came
        self.dropped = 0    # final replies received again (same taskId), not taken twice
        self.acks = 0
        self.ack = ack
        self.plant = set(plant)
        self.planted_done = set()
        self.cond = threading.Condition()
        self.connected = threading.Event()
        self.client = mqtt.Client(client_id=f"fleet-server-{os.getpid()}", clean_session=False)
        self.client.max_inflight_messages_set(1000)
        self.client.max_queued_messages_set(0)
        if username:
            self.client.username_pw_set(username, "fleet")
        self.client.on_connect = self._on_connect
        self.client.on_disconnect = lambda *a: self.connected.clear()
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(1, 1)
        self.client.connect(host, port, keepalive=60)
        self.client.loop_start()
        if not self.connected.wait(15):
            raise RuntimeError("the server side could not connect to the broker")

    def _on_connect(self, client, userdata, flags, rc):
        if rc == 0:
            client.subscribe([(REPLY_TOPIC, 2), (REPORT_TOPIC, 2)])
            self.connected.set()

    def _on_message(self, client, userdata, msg):
        now = time.monotonic()
        raw = msg.payload.decode("utf-8", "replace")
        try:
            parsed = json.loads(raw)
        except ValueError:
            parsed = None
        parsed = parsed if isinstance(parsed, dict) else None
        task = parsed.get("taskId") if parsed else None
        final = msg.qos == 2 and msg.topic == REPLY_TOPIC and isinstance(task, str) and task != ""
        copies = 1
        with self.cond:
            self.record.append({"t": round(time.time(), 3), "topic": msg.topic, "qos": msg.qos, "raw": raw})
            if final:
                # Each planted fault strikes once, on the first final reply it can take.
                if "drop-final" in self.plant - self.planted_done:
                    self.planted_done.add("drop-final")
                    copies = 0
                elif "double-final" in self.plant - self.planted_done:
                    self.planted_done.add("double-final")
                    copies = 2
                if copies and task in self.taken:
                    self.dropped += 1
                self.taken[task] = self.taken.get(task, 0) + 1
            for _ in range(copies):
                self.messages.append((now, msg.topic, parsed, raw))
            self.cond.notify_all()
        if final and self.ack:
            body = {"cmd": "finalAck", "taskId": task, "sn": parsed.get("sn", "")}
            self.client.publish(CMD_TOPIC_PREFIX + str(parsed.get("sn", "")), json.dumps(body, separators=(",", ":")),
                                qos=1)
            with self.cond:
                self.acks += 1

    def unique_finals(self, tasks):
        with self.cond:
            return sum(1 for t in tasks if t in self.taken)

    def save(self, path):
        with self.cond:
            record = list(self.record)
        with open(path, "w") as f:
            for entry in record:
                f.write(json.dumps(entry, separators=(",", ":")) + "\n")

    def mark(self):
        with self.cond:
            return len(self.messages)

    def since(self, mark):
        with self.cond:
            return list(self.messages[mark:])

    def send(self, sn, cmd, task_id, param=None):
        body = {"cmd": cmd, "taskId": task_id, "sn": sn}
        if param is not None:
            body["param"] = param
        self.client.publish(CMD_TOPIC_PREFIX + sn, json.dumps(body, separators=(",", ":")), qos=0)

    def close(self):
        self.client.loop_stop()
        try:
            self.client.disconnect()
        except Exception:  # noqa: BLE001 - the broker may be gone
            pass


class Fleet:
    def __init__(self, args):
        self.args = args
        self.n = args.n
        raise_fd_limit()
        # Before the guardian starts: it and every helper inherit the runner's score.
        self.oom_protected = set_oom_score(RUNNER_OOM_SCORE)
        if args.lean_curl and not os.path.isfile(os.path.join(args.lean_curl, "libcurl.so.4")):
            raise SystemExit(f"fleet: --lean-curl {args.lean_curl}: no libcurl.so.4 there")
        self.workdir = args.workdir or tempfile.mkdtemp(prefix="nimbo-fleet-")
        os.makedirs(self.workdir, exist_ok=True)
        self.reg = Registry(os.path.join(self.workdir, "pids"))
        self.serials = [f"{args.sn_prefix}{i:06d}" for i in range(self.n)]
        self.roots = {sn: os.path.join(self.workdir, "t", sn) for sn in self.serials}
        self.agents = {}    # sn -> Popen
        self.payment = {}   # sn -> Popen
        self.broker = self.sim = self.server = None
        self.figures = {"n": self.n, "libcurl": "lean: " + args.lean_curl if args.lean_curl else "Debian's libcurl4"}
        self.problems = []  # (scenario, problem)
        self.ended_agents = set()
        self.plant = set(filter(None, (args.plant or "").split(",")))
        if args.final_ack:
            self.args.ini = [e for e in self.args.ini if not e.startswith("server.final_ack=")] \
                + ["server.final_ack=1"]
        self._progress_stop = threading.Event()
        self._progress = None
        self.progress_mark = 0
        self.status_line = ""

    # ---- pieces -----------------------------------------------------------------------------
    def start_services(self, refuse=None):
        a = self.args
        if a.broker:
            m = re.match(r"^(?:tcp://)?([^:/]+):(\d+)$", a.broker)
            if not m:
                raise SystemExit(f"--broker {a.broker}: expected tcp://HOST:PORT")
            host, port, broker_addr = m.group(1), int(m.group(2)), f"{m.group(1)}:{m.group(2)}"
        elif a.broker_kind == "rabbitmq":
            self.broker = LocalRabbit(self.reg, self.workdir, a.nodes, self.serials)
            host, port, broker_addr = "127.0.0.1", self.broker.server_port, self.broker.addr
        elif a.broker_kind == "ejabberd":
            self.broker = LocalEjabberd(self.reg, self.workdir, a.nodes)
            host, port, broker_addr = "127.0.0.1", self.broker.server_port, self.broker.addr
            self.figures["ejabberd_cluster"] = self.broker.members
        else:
            self.broker = LocalBroker(self.reg, self.workdir)
            host, port, broker_addr = "127.0.0.1", self.broker.port, self.broker.addr
        self.broker_addr = broker_addr          # where the terminals connect
        self.server_addr = f"{host}:{port}"     # where the server side and nimboctl connect
        if a.server:
            self.server_url = a.server
        else:
            self.sim = LocalSim(self.reg, self.workdir, broker_addr, refuse=refuse)
            self.server_url = self.sim.url
        # ejabberd takes no login without a user name (any name and password: anonymous logins).
        user = "fleet-server" if a.broker_kind == "ejabberd" and not a.broker else None
        self.server = ServerSide(host, port, ack=a.final_ack, plant=self.plant, username=user)

    def need(self, what):
        if what == "broker" and self.broker is None:
            raise SystemExit("this scenario stops and starts the broker: run it without --broker")
        if what == "sim" and self.sim is None:
            raise SystemExit("this scenario configures the management simulator: run it without --server")

    def check(self, scenario, problems):
        """Records a scenario's problems; True when it has none. An agent that ended by itself
        (a crash, the kernel's OOM killer) is a problem of the scenario in which it was seen."""
        ended = {}
        for sn, proc in self.agents.items():
            if proc.poll() is not None and sn not in self.ended_agents:
                self.ended_agents.add(sn)
                ended.setdefault(proc.returncode, []).append(sn)
        problems = list(problems) + [
            f"{len(sns)} agent(s) ended by themselves ({'signal ' + str(-rc) if rc < 0 else 'exit status ' + str(rc)}): "
            + " ".join(sns[:5]) + (" ..." if len(sns) > 5 else "") for rc, sns in sorted(ended.items())]
        for problem in problems:
            self.problems.append((scenario, problem))
            say(f"\n{scenario}: {problem}")
        self.figures.setdefault("problems", {}).setdefault(scenario, []).extend(problems)
        self.save_figures()
        return not problems

    def save_figures(self):
        """The figures so far, after every scenario: a run that dies later keeps them."""
        if getattr(self.broker, "events", None):
            self.figures["broker_events"] = self.broker.events
        for path in filter(None, (self.args.json, self.args.keep and os.path.join(self.workdir, "figures.json"))):
            try:
                with open(path + ".part", "w") as f:
                    f.write(dumps(self.figures) + "\n")
                os.replace(path + ".part", path)
            except OSError as err:
                say(f"\nfigures not saved to {path}: {err}")

    def freeze_broker(self):
        if "no-freeze" not in self.plant:  # planted by the runner's tests: the freeze does nothing
            self.broker.freeze()

    def install(self):
        stage = os.path.abspath(self.args.stage or os.environ.get("NIMBO_STAGE_DIR")
                                or os.path.join(SOURCE, "build", "stage"))
        program = os.path.join(stage, "bin", "nimboservice")
        if not os.access(program, os.X_OK):
            raise SystemExit(f"no installed program at {program} (cmake --install build --prefix {stage})")
        self.prefix = os.path.join(self.workdir, "prefix")
        for part in ("bin", "lib"):
            shutil.copytree(os.path.join(stage, part), os.path.join(self.prefix, part), symlinks=True)
        self.program = os.path.join(self.prefix, "bin", "nimboservice")
        self.nimboctl = os.path.join(stage, "bin", "nimboctl")
        self.write_ini()
        binary = os.environ.get("NIMBO_BINARY_DIR") or os.path.dirname(stage)
        self.alibank = os.environ.get("NIMBO_ALIBANK") or os.path.join(binary, "tools", "alibankApp")

    def write_ini(self):
        lines = ["[server]", f"server_url={self.server_url}"]
        for entry in self.args.ini:
            section, _, kv = entry.partition(".")
            lines += [f"[{section}]", kv]
        with open(os.path.join(self.prefix, "bin", "nimboservice.ini"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def build_roots(self):
        """One template root, copied per terminal; only the serial number and the paths that
        the template's device programs name differ."""
        began = time.monotonic()
        template = os.path.join(self.workdir, "template")
        subprocess.run([PYTHON, os.path.join(HERE, "terminal_sim.py"), "build", template, "--serial", "TEMPLATE"],
                       check=True)
        with_paths = []
        for dirpath, _, names in os.walk(template):
            for name in names:
                full = os.path.join(dirpath, name)
                if not os.path.islink(full) and os.path.getsize(full) < 65536:
                    with open(full, "rb") as f:
                        if template.encode() in f.read():
                            with_paths.append(os.path.relpath(full, template))
        for i, sn in enumerate(self.serials):
            root = self.roots[sn]
            shutil.copytree(template, root, symlinks=True)
            with open(os.path.join(root, "usr/data/serialnumber"), "w") as f:
                f.write(sn + "\n")
            for rel in with_paths:
                full = os.path.join(root, rel)
                with open(full, "rb") as f:
                    text = f.read()
                with open(full, "wb") as f:
                    f.write(text.replace(template.encode(), root.encode()))
            if (i + 1) % 100 == 0:
                self.show(f"terminals built {i + 1}/{self.n}")
        self.figures["roots_built_s"] = round(time.monotonic() - began, 1)

    def agent_env(self, root):
        env = dict(os.environ, NIMBO_DEVICE_ROOT=root, NIMBO_LOG_STDERR="0",
                   PATH=os.path.join(root, "bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        env.pop("TZ", None)
        if self.args.lean_curl:
            env["LD_LIBRARY_PATH"] = self.args.lean_curl
        if self.args.log_level:
            env["NIMBO_LOG_LEVEL"] = str(self.args.log_level)
        return env

    def start_agents(self):
        began = time.monotonic()
        self.t_start_wall = time.time()
        self.t_start = began
        pace = 1.0 / self.args.rate if self.args.rate > 0 else 0.0
        for i, sn in enumerate(self.serials):
            root = self.roots[sn]
            env = self.agent_env(root)
            if self.args.payment and os.access(self.alibank, os.X_OK):
                self.payment[sn] = self.reg.spawn(f"alibankApp {sn}", [self.alibank], env=env, cwd=root)
            self.agents[sn] = self.reg.spawn(f"nimboservice {sn}", [self.program], env=env, cwd=root,
                                             setup=agent_setup)
            if pace:
                delay = began + (i + 1) * pace - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        self.figures["spawn_s"] = round(time.monotonic() - began, 2)

    # ---- progress -----------------------------------------------------------------------------
    def show(self, text):
        self.status_line = text
        if TTY:
            sys.stdout.write("\r\033[K" + text)
            sys.stdout.flush()

    def progress(self, on):
        if on and self._progress is None:
            self._progress_stop.clear()
            self._progress = threading.Thread(target=self._progress_loop, daemon=True)
            self._progress.start()
        elif not on and self._progress is not None:
            self._progress_stop.set()
            self._progress.join()
            self._progress = None
            if TTY:
                sys.stdout.write("\n")

    def _progress_loop(self):
        last_plain = 0.0
        while not self._progress_stop.wait(0.5):
            alive = sum(1 for p in list(self.agents.values()) if p.poll() is None)
            line = (f"[{time.monotonic() - self.t_start:6.1f}s] agents {alive}/{self.n} running, "
                    f"{len(self.connected_serials(self.progress_mark))}/{self.n} connected; {self.phase}")
            if TTY:
                sys.stdout.write("\r\033[K" + line)
                sys.stdout.flush()
            elif time.monotonic() - last_plain >= 10:
                last_plain = time.monotonic()
                say(line)

    phase = "starting"

    # ---- views on the server side ----------------------------------------------------------------
    def connected_serials(self, mark=0):
        return {p.get("sn") for _, topic, p, _ in self.server.since(mark)
                if p and topic == REPORT_TOPIC and p.get("cmd") == "deviceInfo"}

    def wait_connected(self, mark, timeout):
        wait_until(lambda: len(self.connected_serials(mark) & set(self.serials)) >= self.n, timeout,
                   f"all {self.n} terminals connected", interval=0.25)

    def replies(self, mark, cmd):
        return [(t, p, raw) for t, topic, p, raw in self.server.since(mark)
                if p and topic == REPLY_TOPIC and p.get("cmd") == cmd]

    # ---- scenarios ---------------------------------------------------------------------------------
    def check_machine(self):
        """Refuses a fleet the machine cannot hold, before anything starts; raises
        kernel.pid_max when it is too low and root may (said, and put back at the end)."""
        figures, problems, raise_to = machine_limits(
            self.n, kib_per_agent=KIB_PER_AGENT_LEAN_CURL if self.args.lean_curl else KIB_PER_AGENT)
        self.figures["limits"] = figures
        if problems:
            raise SystemExit("fleet: the machine cannot hold this fleet:\n  " + "\n  ".join(problems))
        if raise_to:
            old = read_int(PID_MAX)
            with open(PID_MAX, "w") as f:
                f.write(str(raise_to))
            self.restore_pid_max = old
            self.reg.tell_guardian(f"pid_max {old} {raise_to}")
            figures["pid_max_raised_to"] = raise_to
            say(f"fleet: kernel.pid_max raised from {old} to {raise_to} for {self.n} agents; put back at the end")

    restore_pid_max = None

    def bring_up(self, refuse=None):
        self.check_machine()
        self.start_services(refuse=refuse)
        self.install()
        self.build_roots()
        mark = self.progress_mark = self.server.mark()
        self.phase = "starting"
        self.t_start = time.monotonic()
        self.progress(True)
        self.start_agents()
        return mark

    def up(self):
        """Brings the fleet up and waits until every terminal is connected (once)."""
        if self.agents:
            return self.up_mark
        self.up_mark = self.bring_up()
        self.wait_connected(self.up_mark, self.args.timeout)
        time.sleep(1.0)  # the last subscriptions settle
        return self.up_mark

    def device_infos(self, mark):
        """serial -> how many device-information reports since mark (one per connection)."""
        counts = {}
        for _, topic, p, _ in self.server.since(mark):
            if p and topic == REPORT_TOPIC and p.get("cmd") == "deviceInfo":
                counts[p.get("sn")] = counts.get(p.get("sn"), 0) + 1
        return counts

    def scenario_start(self):
        mark = self.up()
        time.sleep(self.args.settle)  # a second connection would show by now
        connect_times = {}
        for t, topic, p, _ in self.server.since(mark):
            if p and topic == REPORT_TOPIC and p.get("cmd") == "deviceInfo":
                connect_times.setdefault(p.get("sn"), t)
        problems = check_once(self.device_infos(mark), self.serials, "reported their device information")
        self.figures["start"] = {
            "all_connected_s": round(max(connect_times.values()) - self.t_start, 2),
            "first_connected_s": round(min(connect_times.values()) - self.t_start, 2),
            "connected_p50_s": round(percentile([t - self.t_start for t in connect_times.values()], 50), 2),
        }
        if self.sim:
            entries = [e for e in self.sim.requests() if e["path"].rstrip("/").endswith("api/v1/mqtt")]
            self.figures["start"]["bootstrap_requests"] = rate_figures([e["t"] for e in entries], self.t_start_wall)
            problems += check_bootstraps([e["status"] for e in entries], self.n)
        if self.broker:
            self.figures["start"]["broker_connections"] = rate_figures(
                self.broker.connections(self.t_start_wall), int(self.t_start_wall))
            if hasattr(self.broker, "client_connections"):
                counts = {}
                for _, sn in self.broker.client_connections(self.t_start_wall):
                    counts[sn] = counts.get(sn, 0) + 1
                problems += check_once(counts, self.serials, "connected to the broker")
        return self.check("start", problems)

    def scenario_run(self):
        mark = self.bring_up()
        self.phase = "Ctrl-C stops the fleet"
        try:
            self.wait_connected(mark, self.args.timeout)
        except TimeoutError as err:
            say(f"\n{err}")
        while True:
            time.sleep(3600)

    def scenario_fanout(self):
        self.up()
        self.phase = "fan-out"
        figures = {}
        for round_no in range(self.args.rounds):
            figures = self.fanout_round(f"fo{round_no}")
            self.figures.setdefault("fanout_rounds", []).append(figures)
        return not any(f["problems"] for f in self.figures["fanout_rounds"])

    def fanout_round(self, tag):
        mark = self.server.mark()
        sent = {}
        began = time.monotonic()
        for sn in self.serials:
            sent[f"{tag}-{sn}"] = time.monotonic()
            self.server.send(sn, "querySysStatus", f"{tag}-{sn}")
        send_s = time.monotonic() - began

        def got():
            return {p.get("taskId") for _, p, _ in self.replies(mark, "querySysStatusResp")} & set(sent)

        try:
            wait_until(lambda: len(got()) >= len(sent), self.args.reply_timeout, "every fan-out reply", 0.05)
        except TimeoutError:
            pass
        time.sleep(self.args.settle)
        seen = {}
        by_task = {}
        for t, p, raw in self.replies(mark, "querySysStatusResp"):
            task = p.get("taskId")
            if task in sent:
                seen.setdefault(task, []).append(t)
                by_task.setdefault(task, []).append((t, (p.get("param") or {}).get("status"), raw))
        latencies = [ts[0] - sent[task] for task, ts in seen.items()]
        problems = check_finals(by_task, {task: "2" for task in sent})
        self.check(f"fanout {tag}", problems)
        return {
            "problems": problems,
            "sent": len(sent), "send_s": round(send_s, 3), "answered": len(seen),
            "missing": len(sent) - len(seen), "duplicates": sum(len(ts) - 1 for ts in seen.values()),
            "ok_status": sum(1 for _, p, _ in self.replies(mark, "querySysStatusResp")
                             if p.get("taskId") in sent and (p.get("param") or {}).get("status") == "2"),
            "latency_p50_ms": round(percentile(latencies, 50) * 1000, 1) if latencies else None,
            "latency_p99_ms": round(percentile(latencies, 99) * 1000, 1) if latencies else None,
            "latency_max_ms": round(max(latencies) * 1000, 1) if latencies else None,
            "last_reply_s": round(max(ts[0] for ts in seen.values()) - began, 3) if seen else None,
        }

    def package(self, size, tag):
        data = bytearray()
        block = b"fleet"
        while len(data) < size:
            block = hashlib.sha256(block).digest()
            data += block
        data = bytes(data[:size])
        base = os.path.join(self.sim.files, f"package-{tag}.bin")
        with open(base, "wb") as f:
            f.write(data)
        # One file for the whole fleet, under one name per terminal (hard links) so that the
        # server's request log tells the bytes each terminal fetched.
        for sn in self.serials:
            os.link(base, os.path.join(self.sim.files, f"pkg-{tag}-{sn}.zip"))
        if "short-package" in self.plant:
            # Planted by the runner's tests: the first terminal is served (and told of) a
            # package one byte short; it installs it, and only the byte count shows it.
            short = os.path.join(self.sim.files, f"pkg-{tag}-{self.serials[0]}.zip")
            os.unlink(short)
            with open(short, "wb") as f:
                f.write(data[:-1])
        self.package_tag = tag
        return data

    def apk_param(self, sn, data):
        if "short-package" in self.plant and sn == self.serials[0]:
            data = data[:-1]
        return {"apkDownloadUrl": f"{self.sim.url}/files/pkg-{self.package_tag}-{sn}.zip", "apkFileName": "pkg.zip",
                "apkVersion": "1.0.0", "applicationName": APP_NAME, "md5sum": hashlib.md5(data).hexdigest(),
                "apkSize": str(len(data)), "autoStart": True, "setKioskMode": False, "setLauncher": False,
                "progress": 100}

    def finals(self, mark, tasks):
        out = {}
        for t, p, raw in self.replies(mark, "apkUpgradeResp"):
            status = (p.get("param") or {}).get("status")
            if p.get("taskId") in tasks and status in ("2", "3"):
                out.setdefault(p["taskId"], []).append((t, status, raw))
        return out

    def verified_packages(self, data):
        want = hashlib.md5(data).hexdigest()
        good = 0
        for sn in self.serials:
            path = os.path.join(self.roots[sn], "usr/data/app/download", APP_NAME + ".zip")
            try:
                with open(path, "rb") as f:
                    good += hashlib.md5(f.read()).hexdigest() == want
            except OSError:
                pass
        return good

    def scenario_rollout(self):
        self.up()
        self.need("sim")
        data = self.package(self.args.package_kib * 1024, "ro")
        if self.args.cuts:
            self.sim.config(cut_after={"bytes": len(data) // 2, "count": self.args.cuts})
        self.phase = "rollout"
        mark = self.server.mark()
        tasks = {f"ro-{sn}": sn for sn in self.serials}
        began = time.monotonic()
        for task, sn in tasks.items():
            self.server.send(sn, "apkUpgrade", task, self.apk_param(sn, data))
        try:
            wait_until(lambda: len(self.finals(mark, tasks)) >= len(tasks), self.args.reply_timeout,
                       "every final reply", 0.25)
        except TimeoutError:
            pass
        total_s = time.monotonic() - began
        time.sleep(self.args.settle)
        finals = self.finals(mark, tasks)
        per_sn = {}
        requests = {}
        for e in self.sim.requests():
            m = re.match(r"^/files/pkg-ro-(.+)\.zip$", e["path"])
            if m:
                per_sn[m.group(1)] = per_sn.get(m.group(1), 0) + e.get("bytes_sent", 0)
                requests[m.group(1)] = requests.get(m.group(1), 0) + 1
        served = [per_sn.get(sn, 0) for sn in self.serials]
        resumed = sum(1 for sn in self.serials if requests.get(sn, 0) > 1)
        self.figures["rollout"] = {
            "package_bytes": len(data), "cuts": self.args.cuts, "total_s": round(total_s, 2),
            "finals": len(finals), "missing": len(tasks) - len(finals),
            "more_than_one_final": sum(1 for v in finals.values() if len(v) > 1),
            "succeeded": sum(1 for v in finals.values() if v[0][1] == "2"),
            "verified_packages": self.verified_packages(data),
            "bytes_served_per_terminal": {"min": min(served), "max": max(served),
                                          "mean": round(statistics.mean(served))},
            "terminals_over_package_size": sum(1 for b in served if b > len(data)),
            "terminals_resumed": resumed, "requests": sum(requests.values()),
            "server_bytes_total": sum(served),
        }
        r = self.figures["rollout"]
        problems = check_finals(finals, {task: "2" for task in tasks})
        problems += check_bytes(dict(zip(self.serials, served)), len(data))
        if r["verified_packages"] != self.n:
            problems.append(f"{r['verified_packages']} of {self.n} installed packages verified")
        return self.check("rollout", problems)

    def scenario_campaign(self):
        """apkUpgrade to every terminal from the console: nimboctl --serials with --parallel,
        one package URL for all ("{sn}" in it names each terminal's hard link). --fail K
        terminals find no package (HTTP 404); --ghosts G serial numbers have no terminal."""
        self.up()
        self.need("sim")
        data = self.package(self.args.package_kib * 1024, "ca")
        failing = self.serials[:self.args.fail]
        for sn in failing:
            os.unlink(os.path.join(self.sim.files, f"pkg-ca-{sn}.zip"))
        ghosts = [f"{self.args.sn_prefix}G{i:05d}" for i in range(self.args.ghosts)]
        serials_file = os.path.join(self.workdir, "serials.txt")
        with open(serials_file, "w") as f:
            f.write("# the fleet\n" + "\n".join(self.serials + ghosts) + "\n")
        self.phase = "campaign (nimboctl)"
        mark = self.server.mark()
        argv = [self.nimboctl, "--broker", f"tcp://{self.server_addr}", "--serials", serials_file,
                "--parallel", str(self.args.parallel), "--timeout", str(self.args.campaign_timeout),
                "--task-id", "ca", "--json"] + (["--final-ack"] if self.args.final_ack else []) + ["apkUpgrade",
                f"apkDownloadUrl={self.sim.url}/files/pkg-ca-{{sn}}.zip", f"applicationName={APP_NAME}",
                f"md5sum={hashlib.md5(data).hexdigest()}", f"apkSize={len(data)}", "apkVersion=1.0.0",
                "progress:=100"]
        if self.args.final_ack:
            self.server.ack = False  # nimboctl acknowledges the final replies, not the server side
        began = time.monotonic()
        run = subprocess.run(argv, capture_output=True, text=True, timeout=self.args.reply_timeout + 60)
        total_s = time.monotonic() - began
        lines = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
        results = {e["sn"]: e for e in lines if "sn" in e}
        summary = next((e for e in lines if "summary" in e), {})
        by = {}
        for sn, e in results.items():
            by.setdefault(e["result"], []).append(sn)
        time.sleep(self.args.settle)
        tasks = {f"ca-{sn}": sn for sn in self.serials}
        finals = self.finals(mark, tasks)
        self.figures["campaign"] = {
            "terminals": len(self.serials) + len(ghosts), "parallel": self.args.parallel,
            "package_bytes": len(data), "total_s": round(total_s, 2), "exit": run.returncode,
            "summary": summary.get("summary"), "finished": len(by.get("finished", [])),
            "failed": {sn: results[sn].get("failDes", "") for sn in by.get("failed", [])},
            "no_answer": sorted(by.get("no answer", [])),
            "finals_at_server": len(finals), "more_than_one_final": sum(1 for v in finals.values() if len(v) > 1),
            "verified_packages": self.verified_packages(data),
        }
        if run.returncode not in (0, 1, 3):
            self.figures["campaign"]["stderr"] = run.stderr[-2000:]
        c = self.figures["campaign"]
        want_exit = 1 if failing else 3 if ghosts else 0
        problems = check_finals(finals, {task: "3" if sn in failing else "2" for task, sn in tasks.items()})
        if c["exit"] != want_exit:
            problems.append(f"nimboctl exited {c['exit']}, want {want_exit}")
        if sorted(c["failed"]) != sorted(failing) or c["no_answer"] != sorted(ghosts):
            problems.append(f"nimboctl named failed {sorted(c['failed'])} and no answer {c['no_answer']}, "
                            f"want {sorted(failing)} and {sorted(ghosts)}")
        c["backups_left"] = self.backups(tasks)
        if c["backups_left"]:
            problems.append(f"{c['backups_left']} backup file(s) left after the campaign")
        if c["finished"] != self.n - len(failing) or c["verified_packages"] != self.n - len(failing):
            problems.append(f"{c['finished']} finished, {c['verified_packages']} verified, "
                            f"want {self.n - len(failing)}")
        return self.check("campaign", problems)

    def task_open(self, sn):
        return os.path.exists(os.path.join(self.roots[sn], "usr/data/app/nimboservice/data", "task_cmd"))

    def backups(self, tasks):
        return sum(1 for task, sn in tasks.items()
                   if os.path.exists(os.path.join(self.roots[sn], "usr/data/app/nimboservice/data", "message_" + task)))

    def scenario_broker_outage(self):
        self.up()
        self.need("broker")
        self.need("sim")
        ok = True
        if self.args.rounds_before:
            f = self.fanout_round("pre")
            self.figures["fanout_before"] = f
            ok = not f["problems"]
        data = self.package(16 * 1024, "bo")
        # The downloads hang at the server while the broker freezes: the final replies (QoS 2)
        # are produced with the session still up but never acknowledged, and stay backed up.
        hang = max(5.0, self.args.hang)
        self.sim.config(hang=hang)
        self.phase = "outage: commands out"
        mark = self.server.mark()
        tasks = {f"bo-{sn}": sn for sn in self.serials}
        began = time.monotonic()
        for task, sn in tasks.items():
            self.server.send(sn, "apkUpgrade", task, self.apk_param(sn, data))

        def first_replies():
            return {p.get("taskId") for _, p, _ in self.replies(mark, "apkUpgradeResp")
                    if (p.get("param") or {}).get("status") == "1"} & set(tasks)

        wait_until(lambda: len(first_replies()) >= len(tasks), hang - 1.0, "every terminal's first reply", 0.05)
        self.freeze_broker()
        self.phase = "outage: broker frozen, replies pending"
        frozen_at = time.monotonic()
        try:
            # (or every final reply through: the freeze did not hold them, nothing to wait for)
            wait_until(lambda: self.backups(tasks) >= len(tasks) or len(self.finals(mark, tasks)) >= len(tasks),
                       hang + 60, "every final reply backed up", 0.5)
        except TimeoutError:
            pass
        pending = self.backups(tasks)
        self.sim.config(hang=0)
        self.broker.kill()
        down_wall = time.time()
        down_at = time.monotonic()
        self.phase = f"outage: broker down for {self.args.outage:.0f}s"
        time.sleep(self.args.outage)
        mark_back = self.server.mark()
        up_wall = time.time()
        self.broker.start()
        up_at = time.monotonic()
        self.phase = "outage: broker back"
        try:
            self.wait_connected(mark_back, self.args.timeout)
        except TimeoutError:
            pass
        back = {}
        for t, topic, p, _ in self.server.since(mark_back):
            if p and topic == REPORT_TOPIC and p.get("cmd") == "deviceInfo":
                back.setdefault(p.get("sn"), t)
        try:
            wait_until(lambda: len(self.finals(mark, tasks)) >= len(tasks) and self.backups(tasks) == 0,
                       self.args.reply_timeout, "every backed-up reply delivered", 0.25)
        except TimeoutError:
            pass
        time.sleep(self.args.settle)
        finals = self.finals(mark, tasks)
        reconnects = self.broker.connections(up_wall)
        self.figures["broker_outage"] = {
            "outage_s": round(up_at - down_at, 1), "hang_s": hang,
            "replies_pending_at_stop": pending, "frozen_for_s": round(down_at - frozen_at, 1),
            "back": len(back), "all_back_s": round(max(back.values()) - up_at, 2) if back else None,
            "back_p50_s": round(percentile([t - up_at for t in back.values()], 50), 2) if back else None,
            "reconnections": rate_figures(reconnects, int(up_wall)),
            "reconnection_series": per_second(reconnects, int(up_wall))[:180],
            "finals": len(finals), "missing": len(tasks) - len(finals),
            "duplicates": sum(len(v) - 1 for v in finals.values()),
            "succeeded": sum(1 for v in finals.values() if v[0][1] == "2"),
            "backups_left": self.backups(tasks), "since_commands_s": round(time.monotonic() - began, 1),
            "down_since_epoch": round(down_wall, 1),
        }
        r = self.figures["broker_outage"]
        say(f"\nbroker-outage: {pending} final replies pending at the stop")
        problems = check_pending(pending)
        problems += check_finals(finals, {task: "2" for task in tasks})
        if r["backups_left"]:
            problems.append(f"{r['backups_left']} backup file(s) left")
        if r["back"] != self.n:
            problems.append(f"{r['back']} of {self.n} terminals back after the restart")
        ok = self.check("broker-outage", problems) and ok
        if self.args.rounds_after:
            f = self.fanout_round("post")
            self.figures["fanout_after"] = f
            ok = ok and not f["problems"]
        return ok

    def scenario_broker_crash(self):
        """SIGKILL to the broker while final replies flow: the commands go out paced over
        --flow seconds (default 0: at once) and every download is held --flow + 3 s at the
        server, so the final replies (QoS 2) come in one burst, or spread over about --flow
        seconds; the broker is killed once a
        third of them has arrived (checked: at least a third delivered, at least a third not
        yet), stays down --outage seconds and is started again. Counted at the server side:
        lost (no final reply at all), doubled (received more than once) and de-duplicated
        (repeats dropped by taskId). With --final-ack the terminals keep each final reply's
        backup until the server side acknowledges it: nothing may be lost."""
        self.up()
        self.need("broker")
        self.need("sim")
        flow = max(0.0, self.args.flow)
        data = self.package(16 * 1024, "bc")
        self.sim.config(hang=flow + 3.0)
        self.phase = "crash: commands out"
        mark = self.server.mark()
        tasks = {f"bc-{sn}": sn for sn in self.serials}
        third = (self.n + 2) // 3
        began = time.monotonic()
        for i, (task, sn) in enumerate(tasks.items()):
            self.server.send(sn, "apkUpgrade", task, self.apk_param(sn, data))
            delay = began + (i + 1) * flow / self.n - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        self.phase = "crash: final replies flowing"
        wait_until(lambda: self.server.unique_finals(tasks) >= third, flow + 60 + self.args.reply_timeout,
                   "a third of the final replies", 0.01)
        cluster = isinstance(self.broker, LocalEjabberd) and len(self.broker.nodes) > 1
        kill_wall = time.time()
        kill_mark = self.server.mark()
        # Counted as the kill is sent: the replies the surviving nodes of a cluster pass on
        # while the killed one goes down are not "delivered at the kill".
        delivered_at_kill = self.server.unique_finals(tasks)
        self.broker.kill()
        killed_at = time.monotonic()
        delivered_after_kill = self.server.unique_finals(tasks)
        pending_at_kill = self.backups(tasks)
        say(f"\nbroker-crash: broker killed with {delivered_at_kill} of {self.n} final replies at the server, "
            f"{self.n - delivered_at_kill} not yet, {pending_at_kill} backup files")
        self.sim.config(hang=0)
        if cluster:
            # One node of the cluster killed, and left down: its terminals move to the others.
            self.phase = "crash: first node killed, its terminals moving"
        else:
            self.phase = f"crash: broker down for {self.args.outage:.0f}s"
            time.sleep(self.args.outage)
            self.broker.start()
        up_at = time.monotonic()
        self.phase = "crash: broker back"
        ack = self.args.final_ack

        def settled():
            # Every task delivered, or ended on its terminal (no task file, no backup): a task
            # cut by the crash pauses and resumes after the reconnection.
            with self.server.cond:
                taken = set(self.server.taken)
            return self.backups(tasks) == 0 and all(t in taken or not self.task_open(sn) for t, sn in tasks.items())

        try:
            wait_until(settled, self.args.reply_timeout, "every final reply delivered and no backup left", 0.25)
        except TimeoutError:
            pass
        time.sleep(max(self.args.settle, 3.0))
        finals = self.finals(mark, tasks)
        lost = sorted(t for t in tasks if t not in finals)
        self.figures["broker_crash"] = {
            "final_ack": bool(ack), "flow_s": flow, "outage_s": None if cluster else self.args.outage,
            "delivered_at_kill": delivered_at_kill, "not_yet_at_kill": self.n - delivered_at_kill,
            "delivered_when_the_kill_returned": delivered_after_kill,
            "backups_at_kill": pending_at_kill,
            "lost": len(lost), "lost_tasks": lost[:20],
            "doubled": sum(1 for v in finals.values() if len(v) > 1),
            "deduplicated": self.server.dropped, "acks_sent": self.server.acks,
            "succeeded": sum(1 for v in finals.values() if v[0][1] == "2"),
            "backups_left": self.backups(tasks),
            "all_settled_s": round(time.monotonic() - up_at, 1), "since_kill_s": round(time.monotonic() - killed_at, 1),
        }
        r = self.figures["broker_crash"]
        if cluster:
            killed = self.broker.nodes[0].addr
            before = [node for t, node in self.broker.front_connections() if t < kill_wall]
            after = self.broker.front_connections(kill_wall)
            moved = {}
            for t, topic, p, _ in self.server.since(kill_mark):
                if p and topic == REPORT_TOPIC and p.get("cmd") == "deviceInfo":
                    moved.setdefault(p.get("sn"), t)
            r.update({
                "cluster": self.figures.get("ejabberd_cluster"), "killed_node": killed,
                "terminals_on_killed_node": sum(1 for node in before if node == killed),
                "connections_before_kill": len(before),
                "reconnections_after_kill": {node: sum(1 for _, n in after if n == node)
                                             for node in sorted({n for _, n in after})},
                "terminals_moved": len(moved),
                "all_moved_s": round(max(moved.values()) - killed_at, 2) if moved else None,
                "moved_p50_s": round(percentile([t - killed_at for t in moved.values()], 50), 2) if moved else None,
            })
            say(f"broker-crash: {r['terminals_moved']} terminals moved (of {r['terminals_on_killed_node']} on the "
                f"killed node), the last after {r['all_moved_s']} s")
        say(f"broker-crash: lost {r['lost']}, doubled {r['doubled']}, de-duplicated {r['deduplicated']} "
            f"(final_ack {'on' if ack else 'off'})")
        problems = []
        if delivered_at_kill < third or self.n - delivered_at_kill < third:
            problems.append(f"the broker was killed with {delivered_at_kill} of {self.n} final replies delivered: "
                            f"want at least {third} delivered and at least {third} not yet")
        problems += check_pending(self.n - delivered_at_kill, "final replies not yet delivered at the kill")
        # Without the acknowledgement the loss is the figure; what arrived must still be right.
        problems += check_finals(finals, {t: "2" for t in (tasks if ack else finals)}, duplicates_allowed=True)
        if r["backups_left"]:
            problems.append(f"{r['backups_left']} backup file(s) left")
        return self.check("broker-crash", problems)

    def scenario_server_outage(self):
        if self.agents:
            # A fleet already up: restarted with the server refusing.
            self.restart_agents(refuse="http500")
        else:
            self.bring_up(refuse="http500")
        self.need("sim")
        mark = self.up_mark = self.server.mark()
        spread = next((e.partition("=")[2] for e in self.args.ini if e.startswith("server.retry_spread=")), "0")
        self.phase = f"server refusing for {self.args.down:.0f}s"
        time.sleep(max(0.0, self.args.down - (time.monotonic() - self.t_start)))
        self.sim.config(refuse=None)
        back_at = time.monotonic()
        self.phase = "server answering"
        self.wait_connected(mark, self.args.timeout)
        all_back_s = round(time.monotonic() - back_at, 1)
        time.sleep(self.args.settle)
        boots = [e for e in self.sim.requests() if e["path"].rstrip("/").endswith("api/v1/mqtt")
                 and e["t"] >= self.t_start_wall]
        times = [e["t"] for e in boots]
        series = per_second(times, self.t_start_wall)
        refused = [e["t"] for e in boots if e["status"] != 200]
        self.figures.setdefault("server_outage", []).append({
            "retry_spread": int(spread), "down_s": self.args.down, "bootstrap_requests": len(boots),
            "refused": len(refused), "all_connected_after_server_back_s": all_back_s,
            "requests": rate_figures(times, self.t_start_wall), "series_per_s": series,
            "busy_seconds": sum(1 for c in series if c), "seconds": len(series),
        })
        problems = check_bootstraps([e["status"] for e in boots], self.n, refused_expected=True)
        problems += check_once(self.device_infos(mark), self.serials, "reported their device information")
        return self.check("server-outage", problems)

    def restart_agents(self, refuse=None):
        self.phase = "stopping the agents"
        self.reg.stop_procs(list(self.agents.values()) + list(self.payment.values()))
        self.agents, self.payment = {}, {}
        self.write_ini()
        if refuse:
            self.sim.config(refuse=refuse)
        self.phase = "starting"
        self.t_start = time.monotonic()
        self.progress_mark = self.server.mark()
        self.start_agents()

    def scenario_all(self):
        """One fleet through every scenario: start, footprint, fan-out, rollout, broker outage,
        then a restart under a management server outage with fixed and with spread delays."""
        ok = self.scenario_start()
        ok = self.scenario_footprint() and ok
        ok = self.scenario_fanout() and ok
        ok = self.scenario_rollout() and ok
        ok = self.scenario_broker_outage() and ok
        for spread in ("0", str(self.args.spread)):
            self.args.ini = [e for e in self.args.ini if not e.startswith("server.retry_spread=")]
            self.args.ini.append(f"server.retry_spread={spread}")
            ok = self.scenario_server_outage() and ok
        return ok

    def scenario_footprint(self):
        self.up()
        self.phase = f"idle for {self.args.idle:.0f}s"
        time.sleep(5)
        tick = os.sysconf("SC_CLK_TCK")

        def cpu(pid):
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / tick

        pids = {sn: p.pid for sn, p in self.agents.items() if p.poll() is None}
        before = {sn: cpu(pid) for sn, pid in pids.items()}
        t0 = time.monotonic()
        time.sleep(self.args.idle)
        minutes = (time.monotonic() - t0) / 60.0
        cpu_ms = [(cpu(pid) - before[sn]) * 1000 / minutes for sn, pid in pids.items()]
        pss, uss, rss, threads, fds = [], [], [], [], []
        for pid in pids.values():
            with open(f"/proc/{pid}/smaps_rollup") as f:
                v = {k: int(rest.split()[0]) for k, _, rest in (line.partition(":") for line in f)
                     if rest.strip().endswith("kB")}
            pss.append(v["Pss"])
            uss.append(v["Private_Clean"] + v["Private_Dirty"])
            rss.append(v["Rss"])
            with open(f"/proc/{pid}/status") as f:
                threads.append(int(re.search(r"^Threads:\s+(\d+)", f.read(), re.M).group(1)))
            fds.append(len(os.listdir(f"/proc/{pid}/fd")))

        def summary(values, digits=0):
            return {"mean": round(statistics.mean(values), digits), "median": round(statistics.median(values), digits),
                    "max": round(max(values), digits)}

        self.figures["footprint"] = {
            "agents_sampled": len(pids), "idle_s": round(minutes * 60, 1),
            "pss_kib": summary(pss), "uss_kib": summary(uss), "rss_kib": summary(rss),
            "fleet_pss_mib": round(sum(pss) / 1024, 1),
            "cpu_ms_per_agent_per_min": summary(cpu_ms, 2),
            "threads": summary(threads), "fds": summary(fds),
        }
        alive = sum(1 for p in self.agents.values() if p.poll() is None)
        problems = [] if alive == self.n == len(pids) else [f"{alive} of {self.n} agents alive after the idle time"]
        problems += check_once(self.device_infos(self.up_mark), self.serials, "reported their device information")
        return self.check("footprint", problems)

    # ---- end ------------------------------------------------------------------------------------
    def keep_records(self):
        """--keep: what the server side received (server-messages.jsonl: every message, wall
        time, topic, QoS, text) and the simulator's request log (sim/requests.json), so that
        every figure can be computed again from the work directory."""
        try:
            if self.server:
                self.server.save(os.path.join(self.workdir, "server-messages.jsonl"))
            if self.sim and self.sim.proc.poll() is None:
                with open(os.path.join(self.sim.dir, "requests.json"), "w") as f:
                    json.dump(self.sim.requests(), f)
            with open(os.path.join(self.workdir, "figures.json"), "w") as f:
                f.write(dumps(self.figures) + "\n")
        except (OSError, ValueError) as err:
            say(f"\nrecords not kept: {err}")

    def services_memory(self):
        """Peak resident memory (VmHWM) and threads of the runner, the broker and the simulator."""
        def status(pid):
            try:
                with open(f"/proc/{pid}/status") as f:
                    text = f.read()
                return {"peak_rss_kib": int(re.search(r"^VmHWM:\s+(\d+)", text, re.M).group(1)),
                        "threads": int(re.search(r"^Threads:\s+(\d+)", text, re.M).group(1))}
            except (OSError, AttributeError):
                return None
        out = {"runner": status(os.getpid())}
        proc = getattr(self.broker, "proc", None)
        if proc is not None and proc.poll() is None:
            out["broker"] = status(proc.pid)
        if self.sim and self.sim.proc.poll() is None:
            out["mgmt_sim"] = status(self.sim.proc.pid)
        return out

    def close(self):
        self.progress(False)
        self.figures["memory"] = self.services_memory()
        if getattr(self.broker, "events", None):
            self.figures["broker_events"] = self.broker.events
        if self.args.keep:
            began = time.monotonic()
            self.keep_records()
            self.figures["keep_records_s"] = round(time.monotonic() - began, 1)
        if self.server:
            self.server.close()
        began = time.monotonic()
        left = self.reg.stop_all()
        if hasattr(self.broker, "close"):
            self.broker.close()  # what outlives the broker's processes (RabbitMQ's port mapper)
        # Anything of ours still running had left its process group (a daemon): named and killed.
        left += self.reg.sweep()
        self.reg.release_guardian()
        if self.restore_pid_max:
            with open(PID_MAX, "w") as f:
                f.write(str(self.restore_pid_max))
            say(f"fleet: kernel.pid_max put back to {self.restore_pid_max}")
        self.figures["stop_s"] = round(time.monotonic() - began, 1)
        self.figures["left_running"] = left
        if self.args.keep:
            with open(os.path.join(self.workdir, "figures.json"), "w") as f:
                f.write(dumps(self.figures) + "\n")
        logs = 0
        for root in self.roots.values():
            for dirpath, _, names in os.walk(os.path.join(root, "usr/data/log")):
                logs += sum(os.path.getsize(os.path.join(dirpath, n)) for n in names)
        self.figures["agent_log_bytes_mean"] = round(logs / max(1, self.n))
        if not self.args.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        else:
            say(f"work directory kept: {self.workdir}")


SCENARIOS = {"run": "scenario_run", "start": "scenario_start", "fanout": "scenario_fanout",
             "rollout": "scenario_rollout", "broker-outage": "scenario_broker_outage",
             "broker-crash": "scenario_broker_crash", "server-outage": "scenario_server_outage", "campaign": "scenario_campaign", "footprint": "scenario_footprint", "all": "scenario_all"}


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog="See docs/fleet.md.",
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenario", choices=sorted(SCENARIOS))
    ap.add_argument("-n", type=int, default=50, help="number of agents (default 50)")
    ap.add_argument("--broker", help="broker URL tcp://HOST:PORT (default: a mosquitto of its own)")
    ap.add_argument("--broker-kind", choices=["mosquitto", "rabbitmq", "ejabberd"], default="mosquitto",
                    help="the fleet's own broker (default mosquitto); rabbitmq: tools/rabbitmq_node.py; "
                         "ejabberd: tools/ejabberd_node.py")
    ap.add_argument("--nodes", type=int, default=1,
                    help="rabbitmq, ejabberd: nodes in one cluster; the server side on the last; the terminals "
                         "on the first (rabbitmq) or through a TCP front to all (ejabberd)")
    ap.add_argument("--server", help="management server URL (default: tools/mgmt_sim.py of its own)")
    ap.add_argument("--stage", help="installed build (default $NIMBO_STAGE_DIR or build/stage)")
    ap.add_argument("--sn-prefix", default="FL", help="serial numbers are this and six digits")
    ap.add_argument("--payment", action="store_true", help="a payment-application stand-in per terminal")
    ap.add_argument("--rate", type=float, default=0, help="agents started per second (default: at once)")
    ap.add_argument("--ini", action="append", default=[], metavar="SECTION.KEY=VALUE",
                    help="an extra nimboservice.ini entry for every agent")
    ap.add_argument("--log-level", type=int, default=0, help="NIMBO_LOG_LEVEL of the agents")
    ap.add_argument("--timeout", type=float, default=600, help="seconds to wait for the fleet to connect")
    ap.add_argument("--reply-timeout", type=float, default=300, help="seconds to wait for replies")
    ap.add_argument("--settle", type=float, default=2.0, help="seconds to wait for late duplicates")
    ap.add_argument("--rounds", type=int, default=1, help="fan-out rounds")
    ap.add_argument("--package-kib", type=int, default=256, help="rollout package size")
    ap.add_argument("--cuts", type=int, default=0, help="rollout transfers cut halfway")
    ap.add_argument("--parallel", type=int, default=50, help="campaign: nimboctl's --parallel")
    ap.add_argument("--fail", type=int, default=0, help="campaign: terminals whose package is missing (HTTP 404)")
    ap.add_argument("--ghosts", type=int, default=0, help="campaign: serial numbers with no terminal")
    ap.add_argument("--campaign-timeout", type=int, default=15, help="campaign: nimboctl's --timeout")
    ap.add_argument("--outage", type=float, default=60, help="seconds the broker is down")
    ap.add_argument("--hang", type=float, default=10, help="seconds the downloads wait before the outage")
    ap.add_argument("--rounds-before", type=int, default=0, help="fan-out round before the broker outage")
    ap.add_argument("--rounds-after", type=int, default=0, help="fan-out round after the broker outage")
    ap.add_argument("--down", type=float, default=75, help="seconds the server refuses the bootstrap")
    ap.add_argument("--idle", type=float, default=60, help="seconds of idle CPU measurement")
    ap.add_argument("--spread", type=int, default=50, help="retry_spread of the second server outage of 'all'")
    ap.add_argument("--flow", type=float, default=0,
                    help="broker-crash: seconds over which the commands, and so the final replies, are spread "
                         "(default 0: all at once, the replies in one burst)")
    ap.add_argument("--final-ack", action="store_true",
                    help="final_ack=1 on every agent; the server side acknowledges every final reply (finalAck)")
    ap.add_argument("--plant", default="", help=argparse.SUPPRESS)  # faults for the runner's own tests
    ap.add_argument("--workdir", help="work directory (default a new one under /tmp)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--lean-curl", metavar="DIR",
                    help="run the agents with the libcurl in DIR (scripts/mips-curl.sh --host DIR builds the "
                         "terminal's lean libcurl for this machine); default Debian's libcurl4")
    ap.add_argument("--json", help="write the figures to this file")
    return ap.parse_args(argv)


def run(args):
    """Runs one scenario; returns (ok, figures). Everything started is stopped before it returns."""
    fleet = Fleet(args)
    ok = False

    def interrupted(signum, frame):
        raise KeyboardInterrupt

    # SIGINT too: a shell without job control starts background commands with it ignored.
    old = {s: signal.signal(s, interrupted) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)} \
        if threading.current_thread() is threading.main_thread() else {}
    try:
        ok = bool(getattr(fleet, SCENARIOS[args.scenario])()) and not fleet.problems
    except KeyboardInterrupt:
        say("\ninterrupted: stopping the fleet")
        fleet.figures["interrupted"] = True
        ok = args.scenario == "run"  # its normal end
    except TimeoutError as err:
        say(f"\n{err}")
        fleet.figures["error"] = str(err)
    finally:
        fleet.close()
        for s, h in old.items():
            signal.signal(s, h)
    return ok, fleet.figures


def fleet_problems(figures):
    return [(scenario, p) for scenario, problems in (figures.get("problems") or {}).items() for p in problems]


def dumps(figures):
    """Indented JSON with lists of numbers kept on one line."""
    text = json.dumps(figures, indent=1)
    return re.sub(r"\[\s*([-\d.,\s]*?)\s*\]", lambda m: "[" + re.sub(r"\s+", " ", m.group(1)) + "]", text)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--guard":
        return guard(sys.argv[2])
    args = parse_args()
    ok, figures = run(args)
    text = dumps(figures)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    if figures.get("left_running"):
        print(f"fleet: processes left running: {figures['left_running']}", file=sys.stderr)
        return 1
    for scenario, problem in fleet_problems(figures):
        print(f"fleet: {scenario}: {problem}")
    print("fleet: " + ("PASS" if ok else "FAIL"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""ejabberd nodes with their MQTT service (mod_mqtt) on loopback, clustered: a broker that
clusters and has QoS 2.

  ejabberd_node.py run DIR [--nodes 3]     start nodes (one cluster), print their MQTT
                                           addresses, stop on Ctrl-C

Every node lives in its own directory (configuration, Mnesia data, log) with free ports of its
own (MQTT, Erlang distribution); the nodes of one directory share a private Erlang cookie
(HOME) and port mapper (ERL_EPMD_PORT). Nothing of the system's ejabberd service (its
configuration, data, cookie or user) is used: the Erlang VM is started directly. Logins are
anonymous (any user name and password): the terminals' credentials are not checked.
"""
import argparse
import os
import signal
import subprocess
import sys
import time

import erlang_node
from erlang_node import NodeProcess, free_port

EBIN_PARENT = "/usr/lib/x86_64-linux-gnu"
ERL = "/usr/bin/erl"


def available():
    return os.access(ERL, os.X_OK) and any(d.startswith("ejabberd-") for d in os.listdir(EBIN_PARENT)) \
        if os.path.isdir(EBIN_PARENT) else False


CONFIG = """hosts:
  - "localhost"
loglevel: info
log_rotate_count: 0
auth_method: [anonymous]
anonymous_protocol: login_anon
listen:
  -
    port: {port}
    ip: "127.0.0.1"
    module: mod_mqtt
    backlog: 4096
modules:
  mod_mqtt:
    max_queue: unlimited
"""


class Cluster(erlang_node.Cluster):
    """The nodes of one directory, with ejabberd's code on the VM's library path."""

    def env(self):
        return dict(super().env(), ERL_LIBS=EBIN_PARENT)

    def ctl(self, node, *args, timeout=120):
        """ejabberd's command line on `node` (as ejabberdctl does it, without changing user)."""
        return subprocess.run([ERL, "-sname", f"ctl{os.getpid()}-{time.monotonic_ns()}@localhost", "-hidden",
                               "-noinput", "-s", "ejabberd_ctl", "-extra", node.nodename] + list(args),
                              env=self.env(), capture_output=True, text=True, timeout=timeout)


class Node(NodeProcess):
    """One ejabberd node with mod_mqtt on 127.0.0.1:port; keeps its ports and data across
    stop()/start()."""

    def __init__(self, cluster, name, mqtt_port=None, spawn=None):
        self.cluster = cluster
        self.name = name
        self.nodename = f"{name}@localhost"
        self.dir = os.path.join(cluster.base, name)
        os.makedirs(self.dir, exist_ok=True)
        self.port = mqtt_port or free_port()
        self.dist_port = free_port()
        self.url = f"tcp://127.0.0.1:{self.port}"
        self.addr = f"127.0.0.1:{self.port}"
        self.conf = os.path.join(self.dir, "ejabberd.yml")
        self.log = os.path.join(self.dir, "ejabberd.log")
        with open(self.conf, "w") as f:
            f.write(CONFIG.format(port=self.port))
        self.spawn = spawn or (lambda label, args, **kw: subprocess.Popen(args, start_new_session=True, **kw))
        self.proc = None
        cluster.nodes.append(self)

    def env(self):
        return dict(self.cluster.env(), EJABBERD_CONFIG_PATH=self.conf, EJABBERD_LOG_PATH=self.log)

    def start(self, timeout=90):
        if self.proc and self.proc.poll() is None:
            return
        out = open(os.path.join(self.dir, "server.out"), "ab")
        args = [ERL, "-sname", self.nodename, "-noinput", "+K", "true", "+P", "1000000",
                "-kernel", "inet_dist_listen_min", str(self.dist_port), "inet_dist_listen_max", str(self.dist_port),
                "-mnesia", "dir", f'"{os.path.join(self.dir, "spool")}"', "-s", "ejabberd"]
        self.proc = self.spawn(f"ejabberd {self.name}", args, env=self.env(), cwd=self.dir, stdout=out,
                               stderr=subprocess.STDOUT)
        out.close()
        self.wait_port(f"ejabberd node {self.nodename} did not open port {self.port}; see {self.dir}", timeout)

    def join(self, other):
        r = self.cluster.ctl(self, "join_cluster", other.nodename)
        if r.returncode != 0:
            raise RuntimeError(f"join_cluster {other.nodename} on {self.nodename}: {r.stderr or r.stdout}")
        self.wait_port(f"{self.nodename} did not reopen port {self.port} after joining", 60)

    def members(self):
        r = self.cluster.ctl(self, "list_cluster")
        return sorted(line.strip() for line in r.stdout.splitlines() if line.strip())



def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("action", choices=["run"])
    ap.add_argument("dir")
    ap.add_argument("--nodes", type=int, default=3)
    a = ap.parse_args()
    if not available():
        sys.exit("ejabberd is not installed (apt-get install ejabberd)")
    cluster = Cluster(a.dir)
    try:
        nodes = [Node(cluster, f"nimbo{i + 1}") for i in range(a.nodes)]
        for node in nodes:
            node.start()
        for node in nodes[1:]:
            node.join(nodes[0])
        for node in nodes:
            print(f"{node.nodename} mqtt {node.url}", flush=True)
        print("cluster: " + " ".join(nodes[0].members()), flush=True)
        signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        cluster.close()


if __name__ == "__main__":
    main()

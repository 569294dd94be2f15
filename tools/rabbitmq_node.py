#!/usr/bin/python3
"""RabbitMQ nodes with their MQTT plugin on loopback, for the fleet and the end-to-end tests:
a second broker implementation, and one that clusters.

  rabbitmq_node.py run DIR [--nodes 2] [--mqtt-port P]   start nodes (clustered), print their
                                                          MQTT addresses, stop on Ctrl-C

Every node lives in its own directory (configuration, data, logs, Erlang cookie) with free
ports of its own (MQTT, AMQP, Erlang distribution) and a private port mapper (epmd) shared by
the nodes of one directory: nothing of the system's RabbitMQ service (its configuration, data
or cookie) is used or touched. Nodes of one directory join one cluster with join().
"""
import argparse
import base64
import hashlib
import json
import os
import signal
import subprocess
import sys
import time

from erlang_node import Cluster, NodeProcess, free_port  # noqa: F401 (Cluster: the callers' entry)

# The password every terminal presents with its serial number as user name (the program's
# default; a deployment builds its own in).
DEVICE_PASSWORD = "kestr.482"
SERVER = "/usr/lib/rabbitmq/bin/rabbitmq-server"
CTL = "/usr/lib/rabbitmq/bin/rabbitmqctl"


def available():
    return os.access(SERVER, os.X_OK) and os.access(CTL, os.X_OK)


def definitions(users):
    """RabbitMQ definitions for users (name, password) with every right on the default vhost,
    guest included: the server side and nimboctl connect without credentials (as guest)."""
    def password_hash(password):
        salt = os.urandom(4)
        return base64.b64encode(salt + hashlib.sha256(salt + password.encode()).digest()).decode()
    everyone = [("guest", "guest")] + [u for u in users if u[0] != "guest"]
    return {"vhosts": [{"name": "/"}],
            "users": [{"name": n, "password_hash": password_hash(pw), "tags": ["administrator"] if n == "guest" else [],
                       "hashing_algorithm": "rabbit_password_hashing_sha256"} for n, pw in everyone],
            "permissions": [{"user": n, "vhost": "/", "configure": ".*", "write": ".*", "read": ".*"}
                            for n, _ in everyone]}


class Node(NodeProcess):
    """One RabbitMQ node with the MQTT listener on 127.0.0.1:mqtt_port; keeps its ports and
    its data across stop()/start() (sessions, subscriptions and queued messages persist)."""

    def __init__(self, cluster, name, mqtt_port=None, spawn=None, settings=(), users=()):
        self.cluster = cluster
        self.name = name
        self.nodename = f"{name}@localhost"
        self.dir = os.path.join(cluster.base, name)
        os.makedirs(self.dir, exist_ok=True)
        self.port = mqtt_port or free_port()
        self.amqp_port = free_port()
        self.dist_port = free_port()
        self.url = f"tcp://127.0.0.1:{self.port}"
        self.addr = f"127.0.0.1:{self.port}"
        self.conf = os.path.join(self.dir, "rabbitmq.conf")
        self.log = os.path.join(self.dir, "log", f"{self.nodename}.log")
        with open(self.conf, "w") as f:
            f.write(f"listeners.tcp.default = 127.0.0.1:{self.amqp_port}\n"
                    f"mqtt.listeners.tcp.default = 127.0.0.1:{self.port}\n"
                    "mqtt.allow_anonymous = true\n"
                    "mqtt.tcp_listen_options.backlog = 4096\n"
                    "mqtt.tcp_listen_options.nodelay = true\n"
                    "log.console = false\nlog.file.level = info\n"
                    f"load_definitions = {os.path.join(self.dir, 'definitions.json')}\n")
            for line in settings:
                f.write(line + "\n")
        # The terminals log in with their serial number and the fleet's password: the broker
        # knows them as users (anonymous logins only where no credentials are given).
        with open(os.path.join(self.dir, "definitions.json"), "w") as f:
            json.dump(definitions(list(users)), f)
        with open(os.path.join(self.dir, "enabled_plugins"), "w") as f:
            f.write("[rabbitmq_mqtt].\n")
        self.spawn = spawn or (lambda label, args, **kw: subprocess.Popen(args, start_new_session=True, **kw))
        self.proc = None
        cluster.nodes.append(self)

    def env(self):
        d = self.dir
        return dict(self.cluster.env(), RABBITMQ_NODENAME=self.nodename, RABBITMQ_CONFIG_FILE=os.path.join(d, "rabbitmq"),
                    RABBITMQ_ENABLED_PLUGINS_FILE=os.path.join(d, "enabled_plugins"),
                    RABBITMQ_MNESIA_BASE=os.path.join(d, "mnesia"), RABBITMQ_LOG_BASE=os.path.join(d, "log"),
                    RABBITMQ_PID_FILE=os.path.join(d, "pid"), RABBITMQ_DIST_PORT=str(self.dist_port),
                    RABBITMQ_PLUGINS_EXPAND_DIR=os.path.join(d, "plugins-expand"),
                    RABBITMQ_NODE_IP_ADDRESS="127.0.0.1", RABBITMQ_NODE_PORT=str(self.amqp_port))

    def start(self, timeout=90):
        if self.proc and self.proc.poll() is None:
            return
        out = open(os.path.join(self.dir, "server.out"), "ab")
        self.proc = self.spawn(f"rabbitmq {self.name}", [SERVER], env=self.env(), stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.wait_port(f"RabbitMQ node {self.nodename} did not open port {self.port}; see {self.dir}", timeout)

    def ctl(self, *args, timeout=120):
        return subprocess.run([CTL, "-n", self.nodename] + list(args), env=self.env(), capture_output=True,
                              text=True, timeout=timeout)

    def add_users(self, users):
        """Adds (name, password) users at run time (one CLI call)."""
        path = os.path.join(self.dir, f"users-{time.monotonic_ns()}.json")
        defs = definitions(list(users))
        defs["users"] = [u for u in defs["users"] if u["name"] != "guest"]
        defs["permissions"] = [p for p in defs["permissions"] if p["user"] != "guest"]
        defs.pop("vhosts")
        with open(path, "w") as f:
            json.dump(defs, f)
        r = self.ctl("import_definitions", path)
        if r.returncode != 0:
            raise RuntimeError(f"rabbitmqctl import_definitions: {r.stderr or r.stdout}")

    def join(self, other):
        """Makes this node a member of `other`'s cluster (its own data is reset)."""
        for step in (["stop_app"], ["reset"], ["join_cluster", other.nodename], ["start_app"]):
            r = self.ctl(*step)
            if r.returncode != 0:
                raise RuntimeError(f"rabbitmqctl {' '.join(step)} on {self.nodename}: {r.stderr or r.stdout}")
        self.wait_port(f"{self.nodename} did not reopen port {self.port} after joining", 60)



def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("action", choices=["run"])
    ap.add_argument("dir")
    ap.add_argument("--nodes", type=int, default=1)
    ap.add_argument("--mqtt-port", type=int)
    a = ap.parse_args()
    if not available():
        sys.exit("rabbitmq-server is not installed (apt-get install rabbitmq-server)")
    cluster = Cluster(a.dir)
    try:
        nodes = [Node(cluster, f"nimbo{i + 1}", a.mqtt_port if i == 0 else None) for i in range(a.nodes)]
        for node in nodes:
            node.start()
        for node in nodes[1:]:
            node.join(nodes[0])
        for node in nodes:
            print(f"{node.nodename} mqtt {node.url}", flush=True)
        signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        cluster.close()


if __name__ == "__main__":
    main()

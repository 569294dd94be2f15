#!/usr/bin/python3
"""A TCP front for a broker cluster on loopback: one address for the terminals, each new
connection handed to the next node in turn that accepts it (a node that refuses, or is gone,
is skipped), bytes copied both ways until either side closes. It stands in for the load
balancer an operator puts before a cluster, so that terminals whose node died reconnect to a
live one without a new broker address.

  tcp_front.py --port P [--port-file F] [--log F] HOST:PORT [HOST:PORT ...]

--log writes one line per connection: epoch seconds, the backend chosen, the client's port.
"""
import argparse
import asyncio
import itertools
import os
import sys
import time


async def pipe(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        try:
            writer.close()
        except (ConnectionError, OSError):
            pass


class Front:
    def __init__(self, backends, log):
        self.backends = backends
        self.turn = itertools.cycle(range(len(backends)))
        self.log = log

    async def handle(self, client_reader, client_writer):
        peer = client_writer.get_extra_info("peername") or ("", 0)
        for _ in range(len(self.backends)):
            host, port = self.backends[next(self.turn)]
            try:
                node_reader, node_writer = await asyncio.wait_for(asyncio.open_connection(host, port), 5)
            except (OSError, asyncio.TimeoutError):
                continue
            if self.log:
                self.log.write(f"{time.time():.3f} {host}:{port} {peer[1]}\n")
                self.log.flush()
            await asyncio.gather(pipe(client_reader, node_writer), pipe(node_reader, client_writer))
            return
        client_writer.close()  # no node accepts


async def main_async(a):
    backends = []
    for item in a.backends:
        host, _, port = item.rpartition(":")
        backends.append((host or "127.0.0.1", int(port)))
    log = open(a.log, "a") if a.log else None
    front = Front(backends, log)
    server = await asyncio.start_server(front.handle, "127.0.0.1", a.port, backlog=4096)
    if a.port_file:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(server.sockets[0].getsockname()[1]))
        os.replace(tmp, a.port_file)
    async with server:
        await server.serve_forever()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--log")
    ap.add_argument("backends", nargs="+")
    try:
        asyncio.run(main_async(ap.parse_args()))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A cutting TCP relay for fault-injection tests, reproducible by seed.

The relay listens on a free loopback port and forwards every accepted connection to a target
port. Faults are decided per connection, in the order connections arrive:

  cut_after_bytes(budgets)   the n-th connection is cut (both directions closed) after the
                             target has sent budgets[n] bytes towards the client; None in the
                             list, or a list used up, means "no cut". A seeded list comes from
                             random_budgets(seed, ...).
  cut_at_mqtt(step, count)   (a relay made with mqtt=True) the next `count` times the given
                             MQTT packet goes through any connection, open or new, that
                             connection is cut right after it: "publish" (a QoS 2 PUBLISH
                             from the client), "pubrec" (the broker's PUBREC), "pubrel" (the
                             client's PUBREL), "pubcomp" (the broker's PUBCOMP). The packet
                             itself is delivered; nothing after it is.
  hold()/release()           swallow what the client sends from now on
  hold_after_connack()       (mqtt=True) the next connection's broker-to-client bytes after
  release_downlink()         its CONNACK are kept back until release_downlink(), which
                             delivers them in order: a slow downlink after the connection
  cut()                      drop every open connection now

tc netem is not available in the kernels this runs on; a userspace relay on loopback is.
"""
import random
import socket
import threading

MQTT_TYPES = {"publish": (3, True), "pubrec": (5, False), "pubrel": (6, True), "pubcomp": (7, False)}


def random_budgets(seed, count, low, high):
    """`count` cut points between `low` and `high` bytes, the same for the same seed."""
    rng = random.Random(seed)
    return [rng.randint(low, high) for _ in range(count)]


class _MqttScanner:
    """Splits one direction of an MQTT stream into packets (fixed header + remaining length)."""

    def __init__(self):
        self.buf = bytearray()

    def feed(self, data):
        """Yields (packet type, first byte, offset of the packet's end in `data`)."""
        base = len(self.buf)
        self.buf += data
        consumed = 0
        while True:
            view = self.buf[consumed:]
            if len(view) < 2:
                break
            length, mult, i = 0, 1, 1
            while True:
                if i >= len(view):
                    length = None
                    break
                b = view[i]
                length += (b & 0x7F) * mult
                mult *= 128
                i += 1
                if not b & 0x80:
                    break
            if length is None or len(view) < i + length:
                break
            consumed += i + length
            yield view[0] >> 4, view[0], consumed - base
        del self.buf[:consumed]


class FaultProxy:
    def __init__(self, target_port, host="127.0.0.1", mqtt=False):
        self.mqtt = mqtt
        self.target = (host, target_port)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(32)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.budgets = []
        self.mqtt_step = None
        self.mqtt_count = 0
        self.holding = False
        self.hold_connack = False   # armed by hold_after_connack()
        self.held_down = []         # states of connections whose downlink is kept back
        self.connections = 0
        self.cuts = 0               # connections cut by a fault (not by cut()/close())
        self.cut_log = []           # (connection number, reason)
        self.pairs = []
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    # ---- faults -------------------------------------------------------------------------------
    def cut_after_bytes(self, budgets):
        with self.lock:
            self.budgets = list(budgets)

    def cut_at_mqtt(self, step, count=1):
        if step not in MQTT_TYPES:
            raise ValueError(step)
        with self.lock:
            self.mqtt_step, self.mqtt_count = step, count

    def hold(self):
        self.holding = True

    def release(self):
        self.holding = False
        self.hold_connack = False   # armed by hold_after_connack()
        self.held_down = []         # states of connections whose downlink is kept back

    def hold_after_connack(self):
        if not self.mqtt:
            raise ValueError("an mqtt relay is needed")
        with self.lock:
            self.hold_connack = True

    def release_downlink(self):
        """Delivers what was kept back; the downlink flows freely again."""
        with self.lock:
            states, self.held_down = self.held_down, []
        for state in states:
            with state["down_lock"]:
                kept, state["kept"] = state["kept"], None
                try:
                    state["client"].sendall(bytes(kept))
                except OSError:
                    pass

    def cut(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for pair in pairs:
            self._close(pair)

    def close(self):
        self.closed = True
        self.cut()
        try:
            self.listener.close()
        except OSError:
            pass

    # ---- relay --------------------------------------------------------------------------------
    @staticmethod
    def _close(pair):
        for s in pair:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            try:
                s.close()
            except OSError:
                pass

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(self.target, timeout=5)
                upstream.settimeout(None)
            except OSError:
                client.close()
                continue
            with self.lock:
                number = self.connections
                self.connections += 1
                budget = self.budgets.pop(0) if self.budgets else None
                pair = (client, upstream)
                self.pairs.append(pair)
            state = {"budget": budget, "number": number, "done": False, "client": client,
                     "down_lock": threading.Lock(), "kept": None}
            threading.Thread(target=self._pump, args=(client, upstream, True, pair, state), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, False, pair, state), daemon=True).start()

    def _armed_step(self, ptype, first, from_client):
        """The armed step when this packet is the one to cut after (and counts it)."""
        with self.lock:
            if not self.mqtt_step or self.mqtt_count <= 0:
                return None
            want_type, want_from_client = MQTT_TYPES[self.mqtt_step]
            if ptype != want_type or from_client != want_from_client or (ptype == 3 and (first >> 1) & 3 != 2):
                return None
            self.mqtt_count -= 1
            return self.mqtt_step

    def _take_connack_hold(self, state):
        """True (and the downlink of this connection kept back from now) when armed."""
        with self.lock:
            if not self.hold_connack:
                return False
            self.hold_connack = False
            state["kept"] = bytearray()
            self.held_down.append(state)
            return True

    def _fault_cut(self, pair, state, reason):
        with self.lock:
            if state["done"]:
                return
            state["done"] = True
            self.cuts += 1
            self.cut_log.append((state["number"], reason))
            if pair in self.pairs:
                self.pairs.remove(pair)
        self._close(pair)

    def _pump(self, src, dst, from_client, pair, state):
        scanner = _MqttScanner() if self.mqtt else None
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if from_client and self.holding:
                    continue
                if not from_client and state["budget"] is not None:
                    left = state["budget"]
                    if len(data) >= left:
                        dst.sendall(data[:left])
                        state["budget"] = 0
                        self._fault_cut(pair, state, f"after {left} more bytes")
                        return
                    state["budget"] = left - len(data)
                if scanner is not None:
                    sent = 0
                    for ptype, first, end in scanner.feed(data):
                        step = self._armed_step(ptype, first, from_client)
                        if step:
                            dst.sendall(data[:end])
                            self._fault_cut(pair, state, f"after {step}")
                            return
                        if ptype == 2 and not from_client and self._take_connack_hold(state):
                            dst.sendall(data[:end])
                            sent = end
                    data = data[sent:]
                if not from_client:
                    with state["down_lock"]:
                        if state["kept"] is not None:
                            state["kept"] += data
                            continue
                dst.sendall(data)
        except OSError:
            pass
        with self.lock:
            if pair in self.pairs:
                self.pairs.remove(pair)
        self._close(pair)

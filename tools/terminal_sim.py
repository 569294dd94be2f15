#!/usr/bin/python3
"""Simulated payment terminal: a device root directory that the service and its library
read under NIMBO_DEVICE_ROOT, and the small device programs that go with it.

  terminal_sim.py build ROOT --serial SN [--model M] [options]   create the device root
  terminal_sim.py route ROOT IFACE|none                          change the default route
  terminal_sim.py devstate ROOT KEY=VALUE|KEY= ...               set or remove device-state keys
  terminal_sim.py ota-status ROOT STATUS [--oem]                 exit status of an update script
  terminal_sim.py supplicant ROOT [--mode M] [--rssi N]          run the Wi-Fi control socket

Programs: ROOT/bin/ip prints ROOT/etc/sim/ip_route for "ip route" (put ROOT/bin first on PATH,
or let the library find it under the root); the update scripts under ROOT/etc/ota_bin log
their calls to calls.log beside them and exit with the status in <script>.status (a number,
or "signal:N" to die by signal N); on status 0 they install <script>.new_version as the
firmware (or, for the OEM script, system) version when that file exists.
Prints nothing on success.
"""
import argparse
import os
import shlex
import signal
import socket
import stat
import sys

CONFIG = "usr/data/config"
DEVSTATE = CONFIG + "/DEVSTATE"
ROUTE_FILE = "etc/sim/ip_route"
OTA_DIR = "etc/ota_bin"
WPA_SOCKET = "var/run/wpa_supplicant/wlan0"
SCRIPTS = {False: "local_ota_update.sh", True: "local_ota_update_oem.sh"}


def write(root, rel, text, mode=0o644):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def route_text(iface):
    if iface == "none":
        return "192.0.2.0/24 dev eth9 proto kernel scope link src 192.0.2.7\n"
    return ("default via 192.0.2.1 dev %s proto dhcp metric 600\n"
            "192.0.2.0/24 dev %s proto kernel scope link src 192.0.2.7\n" % (iface, iface))


def ota_script(root, oem):
    name = SCRIPTS[oem]
    base = os.path.join(os.path.abspath(root), OTA_DIR, name)
    target = os.path.join(os.path.abspath(root), "module_driver/build_version" if oem else "etc/build_version")
    calls = os.path.join(os.path.abspath(root), OTA_DIR, "calls.log")
    return """#!/bin/sh
# Device firmware update script of the simulated terminal.
files=$(ls "$1" 2>/dev/null | tr '\\n' ' ')
echo "{name} $* [$files]" >> {calls}
st=$(cat {status} 2>/dev/null || echo 0)
case "$st" in
  signal:*)
    # Die by the signal; a shell that ran us as its child dies with us, so the runner
    # sees the command killed by that signal.
    case "$(cat /proc/$PPID/comm 2>/dev/null)" in sh|dash|bash) kill -"${{st#signal:}}" $PPID ;; esac
    kill -"${{st#signal:}}" $$ ;;
esac
if [ "$st" = 0 ] && [ -f {newver} ]; then cp {newver} {target}; fi
exit "$st"
""".format(name=name, calls=shlex.quote(calls), status=shlex.quote(base + ".status"),
           newver=shlex.quote(base + ".new_version"), target=shlex.quote(target))


def set_devstate(root, pairs):
    path = os.path.join(root, DEVSTATE)
    lines = []
    if os.path.exists(path):
        with open(path) as f:
            lines = f.read().splitlines()
    for pair in pairs:
        key, _, value = pair.partition("=")
        lines = [l for l in lines if l.partition("=")[0] != key]
        if value != "":
            lines.append("%s=%s" % (key, value))
    write(root, DEVSTATE, "".join(l + "\n" for l in lines))


def build(a):
    root = a.root
    os.makedirs(root, exist_ok=True)
    for d in ("tmp", "var/run/wpa_supplicant", "usr/data/app/Alipay/data", CONFIG, "etc/sim", "bin"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    write(root, "usr/data/serialnumber", a.serial + "\n")
    if a.nand_sn:
        write(root, "sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_sn", a.nand_sn + "\n")
    if a.nand_mac:
        write(root, "sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_mac", a.nand_mac + "\n")
    write(root, "usr/data/macaddr.txt", a.mac + "\n")
    write(root, "etc/build_model", a.model + "\n")
    write(root, "etc/build_version", a.firmware_version + "\n")
    write(root, "module_driver/build_version", a.system_version + "\n")
    write(root, "etc/os-release", 'NAME="Linux"\nVERSION="%s"\nPRETTY_NAME="Linux %s"\n'
          % (a.firmware_version, a.system_version))
    state = {"imei1": a.imei, "imsi1": a.imsi, "latitude": a.latitude, "longitude": a.longitude,
             "ltesignal": a.ltesignal, "bindState": a.bind_state, "lockState": "1" if a.locked else "0"}
    write(root, DEVSTATE, "".join("%s=%s\n" % (k, v) for k, v in state.items() if v != ""))
    write(root, "proc/stat", "cpu  4705 356 584 3699 23 23 0 0 0 0\n"
          "cpu0 4705 356 584 3699 23 23 0 0 0 0\nintr 0\nctxt 0\nbtime 0\n")
    write(root, "proc/meminfo", "MemTotal:         %d kB\nMemFree:           %d kB\nMemAvailable:      0 kB\n"
          "Buffers:            %d kB\nCached:            %d kB\nSwapCached:            0 kB\n"
          % (a.mem_total, a.mem_free, a.mem_buffers, a.mem_cached))
    write(root, "proc/uptime", "%.2f 100.00\n" % a.uptime)
    write(root, "sys/class/power_supply/kx_battery/capacity", "%d\n" % a.battery)
    write(root, "sys/class/power_supply/kx_battery/voltage_now", "%d\n" % a.voltage_uv)
    write(root, "sys/class/power_supply/kx_ac/online", "1\n" if a.charging else "0\n")
    write(root, "sys/class/thermal/thermal_zone1/temp", "%d\n" % a.temp_milli)
    if a.adb:
        write(root, "usr/data/enableadb", "")
    for entry in a.app:
        name, _, version = entry.partition(":")
        write(root, "usr/data/app/%s/AppManifest" % name, "AppName=%s\nAppVersion=%s\n" % (name, version))
        write(root, "usr/data/app/%s/bin/%s" % (name, name), "x" * 1000, 0o755)
    write(root, ROUTE_FILE, route_text(a.route))
    write(root, "bin/ip", "#!/bin/sh\n# ip of the simulated terminal: only \"ip route\".\n"
          "[ \"$1\" = route ] || { echo \"ip: only 'route' is simulated\" >&2; exit 1; }\n"
          "cat %s\n" % shlex.quote(os.path.join(os.path.abspath(root), ROUTE_FILE)), 0o755)
    for oem in (False, True):
        write(root, os.path.join(OTA_DIR, SCRIPTS[oem]), ota_script(root, oem), 0o755)
        write(root, os.path.join(OTA_DIR, SCRIPTS[oem] + ".status"), "%s\n" % (a.ota_oem_status if oem else a.ota_status))


def supplicant(a):
    """The Wi-Fi supplicant's control socket: answers SIGNAL_POLL ("ok"), "FAIL" ("fail"),
    nothing ("silent"), or an unsolicited event followed by the answer ("event")."""
    path = os.path.join(a.root, WPA_SOCKET)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(0))
    try:
        sock.bind(path)
        while True:
            data, peer = sock.recvfrom(4096)
            cmd = data.decode(errors="replace").strip()
            if a.log:
                with open(a.log, "a") as f:
                    f.write(cmd + "\n")
            if peer is None or peer == "":
                continue
            if cmd == "SIGNAL_POLL":
                if a.mode == "silent":
                    continue
                if a.mode == "fail":
                    sock.sendto(b"FAIL\n", peer)
                    continue
                if a.mode == "event":
                    sock.sendto(b"<3>CTRL-EVENT-SCAN-RESULTS ", peer)
                reply = "RSSI=%d\nLINKSPEED=72\nNOISE=9999\nFREQUENCY=2437\n" % a.rssi
                if a.mode == "norssi":
                    reply = "LINKSPEED=72\nNOISE=9999\n"
                sock.sendto(reply.encode(), peer)
            elif cmd in ("ATTACH", "DETACH"):
                sock.sendto(b"OK" if a.mode == "attach-noeol" else b"OK\n", peer)
            elif cmd == "PING":
                sock.sendto(b"PONG\n", peer)
            else:
                sock.sendto(b"UNKNOWN COMMAND\n", peer)
    finally:
        sock.close()
        if os.path.exists(path) and stat.S_ISSOCK(os.lstat(path).st_mode):
            os.unlink(path)


def main():
    p = argparse.ArgumentParser(description="simulated payment terminal")
    sub = p.add_subparsers(dest="cmd", required=True)
    b = sub.add_parser("build")
    b.add_argument("root")
    b.add_argument("--serial", required=True)
    b.add_argument("--model", default="P10")
    b.add_argument("--firmware-version", default="V1.2.3")
    b.add_argument("--system-version", default="OEM_2.0.1")
    b.add_argument("--mac", default="00:11:22:33:44:55")
    b.add_argument("--nand-sn", default="")
    b.add_argument("--nand-mac", default="")
    b.add_argument("--imei", default="861234567890123")
    b.add_argument("--imsi", default="460001234567890")
    b.add_argument("--latitude", default="22.5")
    b.add_argument("--longitude", default="113.9")
    b.add_argument("--ltesignal", default="-85")
    b.add_argument("--bind-state", default="1")
    b.add_argument("--locked", action="store_true")
    b.add_argument("--battery", type=int, default=87)
    b.add_argument("--voltage-uv", type=int, default=3950000)
    b.add_argument("--charging", action="store_true")
    b.add_argument("--temp-milli", type=int, default=41500)
    b.add_argument("--uptime", type=float, default=360005.7)
    b.add_argument("--mem-total", type=int, default=125000)
    b.add_argument("--mem-free", type=int, default=50000)
    b.add_argument("--mem-buffers", type=int, default=10000)
    b.add_argument("--mem-cached", type=int, default=11125)
    b.add_argument("--adb", action="store_true")
    b.add_argument("--app", action="append", default=[], metavar="NAME:VERSION")
    b.add_argument("--route", default="wlan0", metavar="IFACE|none")
    b.add_argument("--ota-status", default="0")
    b.add_argument("--ota-oem-status", default="0")
    r = sub.add_parser("route")
    r.add_argument("root")
    r.add_argument("iface")
    d = sub.add_parser("devstate")
    d.add_argument("root")
    d.add_argument("pairs", nargs="+")
    o = sub.add_parser("ota-status")
    o.add_argument("root")
    o.add_argument("status")
    o.add_argument("--oem", action="store_true")
    s = sub.add_parser("supplicant")
    s.add_argument("root")
    s.add_argument("--mode", default="ok", choices=["ok", "fail", "silent", "event", "norssi", "attach-noeol"])
    s.add_argument("--rssi", type=int, default=-61)
    s.add_argument("--log", default="")
    a = p.parse_args()
    if a.cmd == "build":
        build(a)
    elif a.cmd == "route":
        write(a.root, ROUTE_FILE, route_text(a.iface))
    elif a.cmd == "devstate":
        set_devstate(a.root, a.pairs)
    elif a.cmd == "ota-status":
        write(a.root, os.path.join(OTA_DIR, SCRIPTS[a.oem] + ".status"), a.status + "\n")
    elif a.cmd == "supplicant":
        supplicant(a)


if __name__ == "__main__":
    main()

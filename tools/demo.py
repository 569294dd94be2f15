"""A guided run of nimboservice on a simulated terminal.

Starts a local mosquitto broker, the management-server simulator, a simulated terminal with
its payment-application stand-in, and the installed service; then walks through what the
service does and prints each step. Everything is stopped at the end unless --keep is given.
"""
import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Broker, MgmtSim, Server, Service, Terminal  # noqa: E402


def step(text):
    print(f"\n== {text}", flush=True)


def show(raw):
    try:
        print("   " + json.dumps(json.loads(raw), indent=None, ensure_ascii=False), flush=True)
    except ValueError:
        print("   " + raw, flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keep", action="store_true", help="keep everything running until Ctrl-C")
    ap.add_argument("--serial", default="NB20260001", help="serial number of the simulated terminal")
    args = ap.parse_args()

    pieces = []
    ok = True
    try:
        step("Starting a local MQTT broker")
        broker = Broker(); pieces.append(broker)
        print(f"   {broker.url}")
        step("Starting the management-server simulator")
        sim = MgmtSim(broker_addr=broker.addr); pieces.append(sim)
        print(f"   {sim.url}  (answers api/v1/mqtt with {broker.addr})")
        step(f"Building a simulated terminal, serial {args.serial}")
        term = Terminal(serial=args.serial); pieces.append(term)
        print(f"   device root: {term.root}")
        if os.path.exists(os.environ.get("NIMBO_ALIBANK", "")):
            term.start_alibank()
            print("   payment application stand-in 'alibankApp' running")
        server = Server(broker, sn=args.serial); pieces.append(server)
        step("Starting nimboservice")
        svc = Service(term, server_url=sim.url); pieces.append(svc)
        svc.wait_log(r"nimbo mqtt_url: ", timeout=30)
        for line in svc.log_text().splitlines():
            if any(k in line for k in ("version:", "device serialno", "server url", "mqtt_url", "lock successfully")):
                print("   " + line)
        step("Waiting for the device's first report")
        try:
            raw, _ = server.wait_report("deviceInfo", timeout=20)
            show(raw)
        except AssertionError as e:
            print(f"   no deviceInfo report yet ({e.__class__.__name__}); this build may not report devices yet")
        step("Asking for the system status")
        server.send("querySysStatus", task_id="demo-1")
        try:
            raw, _ = server.wait_reply("querySysStatusResp", timeout=15)
            show(raw)
        except AssertionError:
            print("   no answer: this build does not answer commands yet")
        if args.keep:
            step("Everything is up; Ctrl-C stops it")
            print(f"   broker {broker.url}, simulator {sim.url}, log {svc.log_file}")
            while True:
                time.sleep(1)
        step("Stopping the service (SIGTERM)")
        rc = svc.stop()
        print(f"   exit status {rc} (1 is the orderly stop)")
    except KeyboardInterrupt:
        pass
    except Exception as e:  # a readable line, not a trace
        ok = False
        print(f"\nerror: {e}", file=sys.stderr)
    finally:
        for piece in reversed(pieces):
            try:
                piece.close()
            except Exception:
                pass
    step("Summary")
    print("   demo finished; nothing left running" if ok else "   demo failed (see above)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

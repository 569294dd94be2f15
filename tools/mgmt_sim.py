#!/usr/bin/python3
"""Management-server simulator for nimboservice (standard library only).

A real HTTP server on 127.0.0.1 that plays the management server's side of the service's
HTTP traffic:

  GET  <any base path>/api/v1/mqtt   bootstrap: {"code":100000,"message":"success","data":BROKER}
                                     (answers any number of devices), or a refusal
  GET  /files/<name>                 file hosting from --files DIR with byte ranges (206 with
                                     Content-Range, 416 past the end) and the authentication
                                     headers "filename", "timestamp", "token"
  POST <any other path>              multipart log upload (fields "file", "filename", "token",
                                     "timestamp"); the file is stored under --uploads DIR and
                                     the answer is {"success":...,"desc":...}

Tokens are the lower-case hexadecimal MD5 of "KEY&FILENAME&TIMESTAMP", with the download
key for downloads and the upload key for uploads. When verification is on (the default), a
download with a bad token gets 401 and an upload gets 401 with {"success":false,...}.

Usage:
  mgmt_sim.py [--port N] [--bind ADDR] [--port-file FILE] [--broker URL] [--refuse [MODE]]
              [--files DIR] [--uploads DIR] [--quiet] [--verbose]

  --port N        port to listen on (default 8080); 0 binds a free port
  --bind ADDR     address to listen on (default 127.0.0.1; 0.0.0.0 for terminals on a network)
  --port-file F   the bound port is written to F once listening
  --broker URL    what the bootstrap names, e.g. 127.0.0.1:1883 or tcp://127.0.0.1:1883
  --refuse MODE   refuse the bootstrap: fail ({"code":100001,"message":"fail","data":""},
                  the default), http500, nonjson, empty
  --files DIR     packages and posters to serve as /files/NAME; listed at start-up with their
                  sizes, MD5s and URLs (what apkUpgrade, otaUpgrade and customResourcePoster need)
  --uploads DIR   where log uploads (getLog) are stored; each one is announced on stdout
  --quiet         print nothing on stdout
  --verbose       log every request to stderr

Example (a package server and log sink for nimboctl):
  tools/mgmt_sim.py --port 8080 --broker tcp://127.0.0.1:1883 --files ./packages --uploads ./logs
  nimboctl --sn NB20260001 apkUpgrade apkDownloadUrl=http://127.0.0.1:8080/files/shop.zip \
           md5sum=<MD5 printed at start-up> applicationName=shop

Administration (for tests and operators):
  POST /_sim/config    JSON object merged into the settings; every setting, with an example:
                         {"broker": "127.0.0.1:1884"}
                         {"refuse": "fail"}              or null to answer again
                         {"throttle": 20000}             bytes per second for file bodies
                         {"inject": {"/files/a.zip": {"status": 404, "body": "gone", "times": 2}}}
                                                          times omitted: for ever; null removes
                         {"inject": {"/files/a.zip": {"status": 302, "location": "gopher://h:70/x"}}}
                                                          a redirect (Location header) to any URL
                         {"cut_after": {"bytes": 1000, "count": 1}}
                                                          close the connection after 1000 body bytes
                                                          of the next file answer
                         {"ignore_range": true}          answer 200 with the whole file
                         {"wrong_content_range": true}   206 whose Content-Range starts one byte late
                         {"lying_content_length": 100}   announce 100 bytes more than sent, then close
                         {"extra_body": 5000}            send (and announce) 5000 bytes more than the file
                         {"endless": true}               200 without a length, the file then bytes
                                                          without end (until the client closes)
                         {"hang": 5}                     wait 5 s before answering file requests
                         {"upload_answer": {"success": true, "desc": "ok"}, "upload_answer_pad": 4000}
                         {"verify_token": false}
  GET  /_sim/requests  the request log as JSON: method, path, headers, range, status, bytes_sent,
                       t (arrival, seconds since the epoch) and the form fields of uploads
  GET  /_sim/files     the files served, as JSON: name, size, md5, url
  POST /_sim/reset     settings back to the command line's, log cleared
"""

import argparse
import copy
import email.parser
import email.policy
import hashlib
import json
import os
import re
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# The administration part of the description above, printed by --help.
ADMINISTRATION = "Administration" + __doc__.split("\nAdministration", 1)[1].rstrip()

DOWNLOAD_KEY = "5f1c0a9e7b3d42e8a6c4f09b18d27e63"
UPLOAD_KEY = "0d7e93b2c6a54f18e2b97c40a35f6d1e"
KEYS = {"download": DOWNLOAD_KEY, "upload": UPLOAD_KEY}   # --download-key, --upload-key
API_SUFFIX = "api/v1/mqtt"
MAX_UPLOAD = 256 * 1024 * 1024

DEFAULTS = {
    "broker": "127.0.0.1:1883",
    "refuse": None,            # None, "fail", "http500", "nonjson", "empty"
    "throttle": 0,             # bytes per second of file bodies, 0 = unlimited
    "inject": {},              # path -> {"status", "body", "times"}
    "cut_after": None,         # {"bytes": N, "count": K}
    "ignore_range": False,
    "wrong_content_range": False,
    "lying_content_length": 0,
    "extra_body": 0,
    "endless": False,
    "hang": 0,
    "upload_answer": {"success": True, "desc": "success"},
    "upload_answer_pad": 0,
    "verify_token": True,
}


def token_of(key, filename, timestamp):
    return hashlib.md5(f"{key}&{filename}&{timestamp}".encode()).hexdigest()


class Simulator:
    """Settings and request log shared by the handler threads."""

    def __init__(self, initial, files_dir, uploads_dir, verbose, quiet=True):
        self.quiet = quiet
        self.initial = initial
        self.files_dir = files_dir
        self.uploads_dir = uploads_dir
        self.verbose = verbose
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.settings = copy.deepcopy(self.initial)
            self.requests = []

    def configure(self, changes):
        with self.lock:
            for key, value in changes.items():
                if key not in DEFAULTS:
                    raise ValueError(f"unknown setting: {key}")
                if key == "inject":
                    for path, rule in value.items():
                        if rule is None:
                            self.settings["inject"].pop(path, None)
                        else:
                            self.settings["inject"][path] = dict(rule)
                else:
                    self.settings[key] = value

    def get(self, key):
        with self.lock:
            return copy.deepcopy(self.settings[key])

    def take_injection(self, path):
        """The injected answer for this path, counting down its remaining uses."""
        with self.lock:
            rule = self.settings["inject"].get(path)
            if rule is None:
                return None
            times = rule.get("times")
            if times is not None:
                if times <= 1:
                    del self.settings["inject"][path]
                else:
                    rule["times"] = times - 1
            return dict(rule)

    def take_cut(self):
        with self.lock:
            cut = self.settings["cut_after"]
            if not cut:
                return None
            count = cut.get("count", 1)
            if count <= 1:
                self.settings["cut_after"] = None
            else:
                cut["count"] = count - 1
            return int(cut["bytes"])

    def log(self, entry):
        with self.lock:
            self.requests.append(entry)
        if self.verbose:
            print(json.dumps(entry), file=sys.stderr, flush=True)

    def count_bytes(self, entry, n):
        with self.lock:
            entry["bytes_sent"] += n

    def say(self, text):
        if not self.quiet:
            print(text, flush=True)

    def log_snapshot(self):
        with self.lock:
            return copy.deepcopy(self.requests)


class Server(ThreadingHTTPServer):
    # A fleet of terminals connects at once: a listen backlog of 5 would drop most of them.
    request_queue_size = 4096
    daemon_threads = True


class Handler(BaseHTTPRequestHandler):
    server_version = "mgmt-sim/1.0"
    sim = None  # set by main

    def log_message(self, fmt, *args):  # access lines only with --verbose
        if self.sim.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), fmt % args))

    # ---- plumbing ---------------------------------------------------------------------

    def entry(self, **extra):
        e = {
            "method": self.command,
            "path": self.path,
            "headers": {k: v for k, v in self.headers.items()},
            "range": self.headers.get("Range"),
            "t": round(time.time(), 3),
        }
        e.update(extra)
        return e

    def answer(self, status, body, content_type="application/json", extra_headers=None, **extra):
        """Logs the request, then sends a complete answer (logged first: a client that has
        its answer also finds it in the log)."""
        if isinstance(body, str):
            body = body.encode()
        self.sim.log(self.entry(status=status, bytes_sent=0 if self.command == "HEAD" else len(body), **extra))
        return self.send_body(status, body, content_type, extra_headers)

    def send_body(self, status, body, content_type="application/json", extra_headers=None):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in (extra_headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        return len(body)

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(data)
                data += self.rfile.read(size)
                self.rfile.readline()
                if len(data) > MAX_UPLOAD:
                    raise ValueError("body too large")
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_UPLOAD:
            raise ValueError("body too large")
        return self.rfile.read(length) if length > 0 else b""

    def route_path(self):
        return urllib.parse.urlsplit(self.path).path

    def injected(self):
        rule = self.sim.take_injection(self.route_path())
        if rule is None:
            return False
        status = int(rule.get("status", 500))
        body = rule.get("body", "")
        headers = {"Retry-After": "1"} if status == 429 else {}
        if rule.get("location"):
            headers["Location"] = rule["location"]  # a redirect, to any URL (another scheme too)
        self.answer(status, body, "text/plain", headers or None, injected=True)
        return True

    # ---- verbs ------------------------------------------------------------------------

    def do_GET(self):
        path = self.route_path()
        if path == "/_sim/requests":
            self.send_body(200, json.dumps(self.sim.log_snapshot()))
            return
        if path == "/_sim/files":
            base = f"http://{self.headers.get('Host') or self.server.server_address[0]}"
            self.send_body(200, json.dumps(served_files(self.sim.files_dir, base)))
            return
        if self.injected():
            return
        if path.rstrip("/").endswith(API_SUFFIX):
            self.bootstrap()
        elif path.startswith("/files/"):
            self.serve_file(urllib.parse.unquote(path[len("/files/"):]))
        else:
            self.answer(404, '{"code":404,"message":"not found"}')

    do_HEAD = do_GET

    def do_POST(self):
        path = self.route_path()
        try:
            if path == "/_sim/config":
                changes = json.loads(self.read_body() or b"{}")
                if not isinstance(changes, dict):
                    raise ValueError("a JSON object is expected")
                self.sim.configure(changes)
                self.send_body(200, '{"ok":true}')
                return
            if path == "/_sim/reset":
                self.read_body()
                self.sim.reset()
                self.send_body(200, '{"ok":true}')
                return
        except (ValueError, AttributeError) as err:
            self.send_body(400, json.dumps({"ok": False, "error": str(err)}))
            return
        if self.injected():
            return
        self.upload()

    # ---- bootstrap --------------------------------------------------------------------

    def bootstrap(self):
        refuse = self.sim.get("refuse")
        if refuse == "http500":
            status, body = 500, "<html><body>Internal Server Error</body></html>"
        elif refuse == "nonjson":
            status, body = 200, "<html><body>maintenance</body></html>"
        elif refuse == "empty":
            status, body = 200, ""
        elif refuse:
            status, body = 200, json.dumps({"code": 100001, "message": "fail", "data": ""})
        else:
            status = 200
            body = json.dumps({"code": 100000, "message": "success", "data": self.sim.get("broker")})
        self.answer(status, body)

    # ---- downloads --------------------------------------------------------------------

    def token_ok(self, key, expected_name, fields):
        if not self.sim.get("verify_token"):
            return True
        name, stamp, token = fields.get("filename"), fields.get("timestamp"), fields.get("token")
        if not name or not stamp or not token or name != expected_name:
            return False
        return token == token_of(key, name, stamp)

    def serve_file(self, name):
        base = os.path.basename(name)
        full = os.path.join(self.sim.files_dir or "", base)
        if not self.sim.files_dir or not base or base != name or not os.path.isfile(full):
            self.answer(404, '{"code":404,"message":"file not found"}')
            return
        headers = {k: self.headers.get(k) for k in ("filename", "timestamp", "token")}
        if not self.token_ok(KEYS["download"], base, headers):
            self.answer(401, '{"code":401,"message":"token verification failed"}', token_ok=False)
            return
        hang = float(self.sim.get("hang") or 0)
        if hang > 0:
            time.sleep(hang)

        size = os.path.getsize(full)
        if self.sim.get("endless"):
            self.serve_endless(full)
            return
        start, end = 0, size - 1
        status = 200
        wanted = self.headers.get("Range")
        if wanted and not self.sim.get("ignore_range"):
            m = re.fullmatch(r"bytes=(\d+)-(\d*)", wanted.strip())
            if m:
                start = int(m.group(1))
                if m.group(2):
                    end = min(int(m.group(2)), size - 1)
                if start >= size:
                    self.answer(416, '{"code":416,"message":"range not satisfiable"}',
                                extra_headers={"Content-Range": f"bytes */{size}"})
                    return
                status = 206
        length = end - start + 1
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        extra = int(self.sim.get("extra_body") or 0)
        self.send_header("Content-Length",
                         str(length + extra + int(self.sim.get("lying_content_length") or 0)))
        if status == 206:
            shown = start + 1 if self.sim.get("wrong_content_range") else start
            self.send_header("Content-Range", f"bytes {shown}-{end}/{size}")
        self.end_headers()
        entry = self.entry(status=status, bytes_sent=0)
        self.sim.log(entry)
        if self.command != "HEAD":
            if self.stream(full, start, length, self.sim.take_cut(), entry) == length and extra > 0:
                self.send_junk(extra, entry)
        self.close_connection = True

    def send_junk(self, n, entry):
        """Sends n filler bytes (n None: until the client closes, at most 256 MiB)."""
        chunk = b"j" * 16384
        left = MAX_UPLOAD if n is None else n
        try:
            while left > 0:
                data = chunk[:min(len(chunk), left)]
                self.wfile.write(data)
                self.wfile.flush()
                self.sim.count_bytes(entry, len(data))
                left -= len(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def serve_endless(self, full):
        """200 with no Content-Length: the file, then filler until the client gives up."""
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        self.close_connection = True
        entry = self.entry(status=200, bytes_sent=0)
        self.sim.log(entry)
        size = os.path.getsize(full)
        if self.command != "HEAD" and self.stream(full, 0, size, None, entry) == size:
            self.send_junk(None, entry)

    def stream(self, path, start, length, cut, entry):
        """Sends the body, counting each chunk in the logged entry before it goes out."""
        throttle = int(self.sim.get("throttle") or 0)
        chunk = 16384 if throttle <= 0 else max(1, min(16384, throttle // 10))
        limit = length if cut is None else min(length, cut)
        sent = 0
        began = time.monotonic()
        try:
            with open(path, "rb") as f:
                f.seek(start)
                while sent < limit:
                    data = f.read(min(chunk, limit - sent))
                    if not data:
                        break
                    self.sim.count_bytes(entry, len(data))
                    try:
                        self.wfile.write(data)
                        self.wfile.flush()
                    except (BrokenPipeError, ConnectionResetError):
                        self.sim.count_bytes(entry, -len(data))
                        raise
                    sent += len(data)
                    if throttle > 0:
                        ahead = sent / throttle - (time.monotonic() - began)
                        if ahead > 0:
                            time.sleep(ahead)
        except (BrokenPipeError, ConnectionResetError):
            pass
        return sent

    # ---- uploads ----------------------------------------------------------------------

    def upload(self):
        try:
            body = self.read_body()
        except ValueError:
            self.answer(413, json.dumps({"success": False, "desc": "too large"}))
            return
        ctype = self.headers.get("Content-Type", "")
        if not ctype.lower().startswith("multipart/form-data"):
            self.answer(400, json.dumps({"success": False, "desc": "multipart form expected"}))
            return
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + ctype.encode() + b"\r\n\r\n" + body)
        fields, file_data, file_label = {}, None, None
        for part in message.iter_parts():
            name = part.get_param("name", header="content-disposition")
            payload = part.get_payload(decode=True) or b""
            if name == "file":
                file_data, file_label = payload, part.get_filename()
            elif name:
                fields[name] = payload.decode("utf-8", "replace")
        name = fields.get("filename", "")
        good = self.token_ok(KEYS["upload"], name, fields)
        logged = {"fields": fields, "file_label": file_label, "file_size": None if file_data is None else len(file_data),
                  "token_ok": good}
        if not good:
            self.answer(401, json.dumps({"success": False, "desc": "token verification failed"}), **logged)
            return
        if file_data is None or not name or os.path.basename(name) != name:
            self.answer(400, json.dumps({"success": False, "desc": "file or filename missing"}), **logged)
            return
        if self.sim.uploads_dir:
            os.makedirs(self.sim.uploads_dir, exist_ok=True)
            with open(os.path.join(self.sim.uploads_dir, name), "wb") as f:
                f.write(file_data)
            self.sim.say(f"upload received: {os.path.join(self.sim.uploads_dir, name)} ({len(file_data)} bytes, "
                         f"posted to {self.route_path()})")
        answer = self.sim.get("upload_answer")
        pad = int(self.sim.get("upload_answer_pad") or 0)
        if pad > 0:
            answer["destination"] = "/" + "d" * (pad - 1)
        answer.setdefault("systime", str(int(time.time())))
        self.answer(200, json.dumps(answer), **logged)


def md5_of_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def served_files(files_dir, base_url):
    """Name, size, MD5 and URL of every file under /files/."""
    out = []
    if not files_dir or not os.path.isdir(files_dir):
        return out
    for name in sorted(os.listdir(files_dir)):
        full = os.path.join(files_dir, name)
        if os.path.isfile(full):
            out.append({"name": name, "size": os.path.getsize(full), "md5": md5_of_file(full),
                        "url": f"{base_url}/files/{urllib.parse.quote(name)}"})
    return out


def announce(sim, host, port, broker, refuse):
    shown = "127.0.0.1" if host in ("0.0.0.0", "") else host
    base = f"http://{shown}:{port}"
    sim.say(f"management simulator on {base}")
    sim.say(f"  bootstrap   {base}/api/v1/mqtt -> " + (f"refused ({refuse})" if refuse else broker)
            + "  (any device; set server_url=" + base + " in nimboservice.ini)")
    if sim.files_dir:
        files = served_files(sim.files_dir, base)
        sim.say(f"  files       {os.path.abspath(sim.files_dir)} ({len(files)} served as {base}/files/NAME)")
        for f in files:
            sim.say(f"    {f['name']}  {f['size']} bytes  md5 {f['md5']}  {f['url']}")
    else:
        sim.say("  files       none (--files DIR serves packages and posters)")
    if sim.uploads_dir:
        sim.say(f"  uploads     {os.path.abspath(sim.uploads_dir)} (getLog downloadFileUrl={base}/logs)")
    else:
        sim.say("  uploads     accepted and discarded (--uploads DIR keeps them)")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("Usage:")[0].strip(), formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Runtime settings: the fault switches and more can be changed while running, as below\n"
               "(e.g. curl -d '{\"throttle\":20000}' http://127.0.0.1:8080/_sim/config; POST /_sim/reset\n"
               "undoes them).\n\n" + ADMINISTRATION)
    parser.add_argument("--port", type=int, default=8080, help="port to listen on (default 8080; 0: a free one)")
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on (0.0.0.0 for a network)")
    parser.add_argument("--port-file", help="write the bound port to this file once listening")
    parser.add_argument("--broker", default=DEFAULTS["broker"], help="the broker the bootstrap names "
                        "(host:port, tcp://... or ssl://...; default %(default)s)")
    parser.add_argument("--files", help="directory of packages and posters served as /files/NAME")
    parser.add_argument("--uploads", help="directory where log uploads are stored")
    parser.add_argument("--download-key", default=DOWNLOAD_KEY, help="signing key of downloads (default: built-in)")
    parser.add_argument("--upload-key", default=UPLOAD_KEY, help="signing key of uploads (default: built-in)")
    parser.add_argument("--quiet", action="store_true", help="print nothing on stdout")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    faults = parser.add_argument_group("fault switches (what terminals meet on bad days)")
    faults.add_argument("--refuse", nargs="?", const="fail", default=None,
                        choices=["fail", "http500", "nonjson", "empty"],
                        help="refuse the bootstrap: a negative answer (fail, the default), HTTP 500, a body "
                             "that is not JSON, or an empty body; terminals retry every 30 s")
    faults.add_argument("--throttle", type=int, default=0, metavar="BPS",
                        help="send file bodies at BPS bytes per second (a slow link)")
    faults.add_argument("--hang", type=float, default=0, metavar="S",
                        help="wait S seconds before answering each file request (a stalled server)")
    faults.add_argument("--cut-after", type=int, default=0, metavar="BYTES",
                        help="close the connection after BYTES body bytes of the next file answer (a cut link; "
                             "the terminal resumes with a byte range)")
    faults.add_argument("--inject", action="append", default=[], metavar="PATH=STATUS",
                        help="answer requests for PATH (e.g. /files/a.zip) with STATUS (404, 429, 500...); "
                             "repeatable")
    faults.add_argument("--ignore-range", action="store_true",
                        help="answer 200 with the whole file to byte-range requests")
    faults.add_argument("--no-verify-token", action="store_true",
                        help="accept downloads and uploads whatever their token")
    args = parser.parse_args()
    if args.files and not os.path.isdir(args.files):
        parser.error(f"--files {args.files}: no such directory")
    for name in ("download_key", "upload_key"):
        if not re.fullmatch(r"[0-9a-f]{32}", getattr(args, name)):
            parser.error(f"--{name.replace('_', '-')} takes 32 lower-case hexadecimal digits")
    KEYS["download"], KEYS["upload"] = args.download_key, args.upload_key

    initial = copy.deepcopy(DEFAULTS)
    initial["broker"] = args.broker
    initial["refuse"] = args.refuse
    initial["throttle"] = args.throttle
    initial["hang"] = args.hang
    initial["ignore_range"] = args.ignore_range
    initial["verify_token"] = not args.no_verify_token
    if args.cut_after:
        initial["cut_after"] = {"bytes": args.cut_after, "count": 1}
    for item in args.inject:
        path, _, status = item.partition("=")
        if not path.startswith("/") or not status.isdigit():
            parser.error(f"--inject {item}: write PATH=STATUS, e.g. /files/a.zip=404")
        initial["inject"][path] = {"status": int(status), "body": ""}
    Handler.sim = Simulator(initial, args.files, args.uploads, args.verbose, quiet=args.quiet)
    try:
        server = Server((args.bind, args.port), Handler)
    except OSError as err:
        print(f"mgmt_sim: cannot listen on {args.bind}:{args.port}: {err.strerror}; "
              "choose another --port (0 picks a free one)", file=sys.stderr)
        return 1
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{port}\n")
        os.replace(tmp, args.port_file)
    announce(Handler.sim, args.bind, port, args.broker, args.refuse)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

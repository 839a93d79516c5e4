#!/usr/bin/python3
"""Web service throughput and latency, beside nginx, with and without
stalled clients; then the watched list at 1k/10k/100k.

(a) Small calls (GetRefreshTime), one request per connection, from 1, 8
    and 32 concurrent clients for a few seconds each; beside it, the same
    clients fetching from a private nginx a static file of exactly the size
    of that call's answer body, with "Connection: close".
(b) The same calls while 50 stalled connections (25 silent, 25 with half a
    request) are held open to the server: rate against (a) and the longest
    call.
(c) LoadFile and GetMonitorStatus of 1k, 10k and 100k switches
    (bench/watched_list_scale.py).

Everything runs inside one lab namespace (loopback only): the server, a
private nginx instance with its own configuration on 127.0.0.1:8081
(stopped at the end), the load generator build/http_load and the stalled
connections. The machine's other load shows in the figures; compare the
columns of one run.

Each rate is the median of --repeat runs of --seconds each, the server's
and nginx's runs taking turns (max ms: the longest call of all of them).

Run as root after a build:  /usr/bin/python3 bench/web_service_load.py [--seconds 2] [--repeat 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
sys.path.insert(0, HERE)

from lab import Lab  # noqa: E402
from torvane import TorvaneServer, request  # noqa: E402
import watched_list_scale  # noqa: E402

LOAD = os.path.join(ROOT, "build", "http_load")
NGINX_PORT = 8081
CLIENTS = (1, 8, 32)

NGINX_CONF = """daemon off;
master_process on;
user root;
worker_processes auto;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {d}/body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  default_type text/xml;
  server {{
    listen 127.0.0.1:{port};
    root {d}/www;
  }}
}}
"""


def run_load(lab, ns, port, clients, seconds, request_file):
    out = lab.run(ns, [LOAD, "127.0.0.1", str(port), str(clients), str(seconds), request_file],
                  capture_output=True, text=True, timeout=seconds + 60)
    fields = dict(kv.split("=") for kv in out.stdout.split())
    return {k: float(v) for k, v in fields.items()}


def median(runs):
    """The run with the median rate; errors summed, the longest call of all."""
    runs = sorted(runs, key=lambda r: r["rate"])
    mid = dict(runs[len(runs) // 2])
    mid["errors"] = sum(r["errors"] for r in runs)
    mid["max_ms"] = max(r["max_ms"] for r in runs)
    return mid


def median_runs(lab, clients, seconds, repeat, targets):
    """Runs each (port, request file) target repeat times, taking turns, so
    that the machine's other load falls on all of them alike."""
    runs = [[] for _ in targets]
    for _ in range(repeat):
        for i, (ns, port, request_file) in enumerate(targets):
            runs[i].append(run_load(lab, ns, port, clients, seconds, request_file))
    return [median(r) for r in runs]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=2.0, help="per run")
    ap.add_argument("--repeat", type=int, default=3, help="runs per figure (median rate)")
    ap.add_argument("--sizes", default="1000,10000,100000")
    args = ap.parse_args()
    if not os.access(LOAD, os.X_OK):
        sys.exit("build/http_load is missing: build first (cmake --build build)")
    work = tempfile.mkdtemp(prefix="torvane-bench-")
    with Lab() as lab:
        ns = lab.namespace("srv")
        srv = TorvaneServer(lab, ns).prepare()
        srv.start()
        nginx = None
        held = []
        try:
            soap_req = os.path.join(work, "soap.req")
            data = request("GetRefreshTime").encode()
            with open(soap_req, "wb") as f:
                f.write(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; "
                        b"charset=utf-8\r\nContent-Length: %d\r\n\r\n" % len(data) + data)
            body = srv.call("GetRefreshTime").body
            os.makedirs(os.path.join(work, "www"))
            with open(os.path.join(work, "www", "answer.xml"), "wb") as f:
                f.write(body)
            get_req = os.path.join(work, "get.req")
            with open(get_req, "wb") as f:
                f.write(b"GET /answer.xml HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            conf = os.path.join(work, "nginx.conf")
            with open(conf, "w") as f:
                f.write(NGINX_CONF.format(d=work, port=NGINX_PORT))
            nginx = lab.popen(ns, ["nginx", "-p", work, "-c", conf, "-e", work + "/error.log"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            if nginx.poll() is not None:
                sys.exit("nginx did not start: " + open(work + "/error.log").read())

            print("(a) one call per connection; answer body %d bytes (nginx: the same bytes"
                  " as a static file)" % len(body))
            print("%8s  %12s  %12s  %10s  %10s  %8s" % ("clients", "torvane /s", "nginx /s",
                                                      "t p99 ms", "t max ms", "errors"))
            base = {}
            for n in CLIENTS:
                t, g = median_runs(lab, n, args.seconds, args.repeat,
                                   [(ns, 64567, soap_req), (ns, NGINX_PORT, get_req)])
                base[n] = t
                print("%8d  %12.0f  %12.0f  %10.2f  %10.2f  %8d" % (
                    n, t["rate"], g["rate"], t["p99_ms"], t["max_ms"], t["errors"] + g["errors"]),
                    flush=True)

            for i in range(50):
                s = srv.connect()
                if i % 2:
                    s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 400\r\n\r\n<SOAP")
                held.append(s)
            time.sleep(0.3)
            print("\n(b) the same with 50 stalled connections held open to the server")
            print("%8s  %12s  %12s  %10s  %10s  %8s" % ("clients", "torvane /s", "vs (a)",
                                                      "t p99 ms", "t max ms", "errors"))
            for n in CLIENTS:
                t, = median_runs(lab, n, args.seconds, args.repeat, [(ns, 64567, soap_req)])
                print("%8d  %12.0f  %11.1f%%  %10.2f  %10.2f  %8d" % (
                    n, t["rate"], 100.0 * (t["rate"] / base[n]["rate"] - 1), t["p99_ms"],
                    t["max_ms"], t["errors"]), flush=True)
            still = 0
            for s in held:
                s.setblocking(False)
                try:
                    still += 0 if s.recv(1) == b"" else 1
                except BlockingIOError:
                    still += 1
                except OSError:
                    pass
            print("stalled connections still open at the end: %d of 50 (the cap is 64 "
                  "connections; at the cap idle ones make room)" % still)
            for s in held:
                s.close()
            held = []

            print("\n(c) the watched list")
            watched_list_scale.measure(srv, [int(x) for x in args.sizes.split(",")])
        finally:
            for s in held:
                s.close()
            if nginx is not None:
                nginx.terminate()
                try:
                    nginx.wait(10)
                except subprocess.TimeoutExpired:
                    nginx.kill()
            srv.stop()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Demo lab: the server inside a private network of network namespaces.

The server never runs in the host's own namespace (its engine broadcasts on
every adapter). The lab gives it a namespace of its own, wired by veth
pairs to private segments, and forwards http://127.0.0.1:64567 from the
host's loopback into that namespace, so a browser on the host reaches the
server and its browser client. Ctrl-C stops everything and removes the lab.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from lab import Lab  # noqa: E402

SOAP_PORT = 64567


def main():
    workdir = tempfile.mkdtemp(prefix="torvane-demo-")
    for sub in ("cfg", "auto", os.path.join("tools", "js_client")):
        src = os.path.join(ROOT, sub)
        dst = os.path.join(workdir, sub)
        if os.path.isdir(src):
            shutil.copytree(src, dst)
        else:
            os.makedirs(dst)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    with Lab() as lab:
        srv = lab.namespace("server")
        seg_a = lab.segment("lan-a")
        seg_b = lab.segment("lan-b")
        lab.attach(srv, seg_a, "10.10.1.1/24")
        lab.attach(srv, seg_b, "10.10.2.1/24")
        server = lab.popen(srv, [os.path.join(ROOT, "build", "torvane")], cwd=workdir,
                           stdin=subprocess.PIPE)
        # Host loopback -> the server's loopback inside its namespace.
        forward = subprocess.Popen(
            ["socat", f"TCP-LISTEN:{SOAP_PORT},bind=127.0.0.1,reuseaddr,fork",
             f"EXEC:ip netns exec {srv} socat STDIO TCP\\:127.0.0.1\\:{SOAP_PORT}"],
            start_new_session=True)
        print(f"Torvane demo: http://127.0.0.1:{SOAP_PORT}/index.html  (Ctrl-C to stop)",
              flush=True)
        try:
            while not stopping and server.poll() is None:
                time.sleep(0.5)
        except KeyboardInterrupt:
            pass
        finally:
            os.killpg(forward.pid, signal.SIGTERM)
            forward.wait(timeout=10)
    shutil.rmtree(workdir, ignore_errors=True)
    print("Torvane demo stopped; the lab is removed.", flush=True)


if __name__ == "__main__":
    main()

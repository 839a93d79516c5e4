#!/usr/bin/env python3
"""Demo lab: the server inside a private network of network namespaces.

The server never runs in the host's own namespace (its engine broadcasts on
every adapter). The lab gives it a namespace of its own, wired by veth
pairs to two private segments with simulated switches behind them, and
forwards http://127.0.0.1:64567 from the host's loopback into that
namespace, so a browser on the host reaches the server and its browser
client. Ctrl-C stops everything and removes the lab.

    lan-a 10.10.1.0/24                     lan-b 10.10.2.0/24
      server 10.10.1.1                       server 10.10.2.1
      sw-a1  10.10.1.11 (answers unicast)    sw-b1  10.10.2.11 (broadcast, multicast)
      sw-a2  192.168.0.1 (factory default)   sw-b2  10.10.2.12 (answers unicast)
      sw-a3  10.10.1.13 (loader mode)

The server binary is build/torvane, or $TORVANE_BINARY.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from lab import Lab, wait_for_line  # noqa: E402

SOAP_PORT = 64567
BINARY = os.environ.get("TORVANE_BINARY", os.path.join(ROOT, "build", "torvane"))
SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")

# The simulated switches of each segment: (namespace, segment, its own
# address, switches).
SEGMENT_A = ("sim-a", "lan-a", "10.10.1.2/24", [
    dict(mac="02:00:5e:10:0a:01", ip="10.10.1.11", system_name="sw-a1", location="rack 1",
         product_name="Sim Switch 8P", gateway="10.10.1.254"),
    # Fresh from the factory: an address of another network, so it answers
    # by broadcast until it is given one of this segment.
    dict(mac="02:00:5e:10:0a:02", ip="192.168.0.1", system_name="", location="",
         product_name="Sim Switch 8P", reply="broadcast", dhcp_mode=0),
    dict(mac="02:00:5e:10:0a:03", ip="10.10.1.13", system_name="sw-a3", location="rack 1",
         product_name="Sim Switch 16P", loader=True, fw_version="0.9.0"),
])
SEGMENT_B = ("sim-b", "lan-b", "10.10.2.2/24", [
    dict(mac="02:00:5e:10:0b:01", ip="10.10.2.11", system_name="sw-b1", location="hall",
         product_name="Sim Switch 24P", reply="broadcast", answer_multicast=True),
    dict(mac="02:00:5e:10:0b:02", ip="10.10.2.12", system_name="sw-b2", location="hall",
         product_name="Sim Switch 8P"),
])


def engine_settings(workdir):
    """Cookie, discovery port and group of the server's settings file, so
    that the simulated switches speak to it (defaults when unreadable)."""
    values = {"magic_cookie": "0", "udp_discovery_port": "fc01",
              "multicast_group": "239.255.255.100"}
    ecf = os.path.join(os.path.dirname(BINARY), "torvane-ecf")
    try:
        out = subprocess.run([ecf, "print", os.path.join(workdir, "cfg", "define.ecf")],
                             capture_output=True, text=True, timeout=10).stdout
    except OSError:
        out = ""
    for line in out.splitlines():
        key, sep, value = line.partition("=")
        if sep and key in values:
            values[key] = value.strip()
    return dict(cookie=int(values["magic_cookie"], 16),
                port=int(values["udp_discovery_port"], 16),
                multicast_group=values["multicast_group"])


def start_switches(lab, workdir, settings, segment):
    name, seg, cidr, switches = segment
    ns = lab.namespace(name)
    lab.attach(ns, seg, cidr)
    path = os.path.join(workdir, "%s.json" % name)
    with open(path, "w") as f:
        # Each switch gets its address on the namespace's interface, so that
        # the server can also reach it by unicast (polls, sets, TFTP).
        json.dump(dict(settings, add_aliases=True, switches=switches), f)
    proc = lab.popen(ns, [sys.executable, SWITCHSIM, path], stdin=subprocess.DEVNULL,
                     stdout=subprocess.PIPE)
    wait_for_line(proc.stdout, "switchsim ready", 30)
    return proc


def stop_forward(forward):
    if forward is None or forward.poll() is not None:
        return
    try:
        os.killpg(forward.pid, signal.SIGTERM)
        forward.wait(timeout=10)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(forward.pid, signal.SIGKILL)
        forward.wait(timeout=10)


def main():
    if not os.path.exists(BINARY):
        print("no server binary at %s: run tools/setup.sh first" % BINARY, file=sys.stderr)
        return 1
    workdir = tempfile.mkdtemp(prefix="torvane-demo-")
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    # Ctrl-C works even when started from a shell that ignores SIGINT in
    # background jobs.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    forward = None
    try:
        for sub in ("cfg", "auto", os.path.join("tools", "js_client")):
            src = os.path.join(ROOT, sub)
            dst = os.path.join(workdir, sub)
            if os.path.isdir(src):
                shutil.copytree(src, dst)
            else:
                os.makedirs(dst)
        settings = engine_settings(workdir)
        with Lab() as lab:
            srv = lab.namespace("server")
            seg_a = lab.segment("lan-a")
            seg_b = lab.segment("lan-b")
            lab.attach(srv, seg_a, "10.10.1.1/24")
            lab.attach(srv, seg_b, "10.10.2.1/24")
            for segment in (SEGMENT_A, SEGMENT_B):
                start_switches(lab, workdir, settings, segment)
            server = lab.popen(srv, [BINARY], cwd=workdir, stdin=subprocess.PIPE)
            # Host loopback -> the server's loopback inside its namespace.
            forward = subprocess.Popen(
                ["socat", f"TCP-LISTEN:{SOAP_PORT},bind=127.0.0.1,reuseaddr,fork",
                 f"EXEC:ip netns exec {srv} socat STDIO TCP\\:127.0.0.1\\:{SOAP_PORT}"],
                start_new_session=True)
            count = len(SEGMENT_A[3]) + len(SEGMENT_B[3])
            print(f"Torvane demo: http://127.0.0.1:{SOAP_PORT}/index.html  "
                  f"({count} simulated switches on lan-a and lan-b; Ctrl-C to stop)",
                  flush=True)
            try:
                while not stopping and server.poll() is None:
                    time.sleep(0.5)
            except KeyboardInterrupt:
                pass
            finally:
                # A second Ctrl-C must not cut the clean-up short.
                signal.signal(signal.SIGINT, signal.SIG_IGN)
                # Before the lab goes: the forward runs commands in its namespace.
                stop_forward(forward)
    except KeyboardInterrupt:
        pass  # interrupted while the lab was being built; it is gone already
    finally:
        stop_forward(forward)
        shutil.rmtree(workdir, ignore_errors=True)
    print("Torvane demo stopped; the lab is removed.", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Discovery at scale: 1000 simulated switches on one segment.

The server runs in a namespace of the test lab, wired to one segment where
a single simulator process plays 1000 switches. Each switch answers the
broadcast request and the multicast request (two replies per switch, half
of them by unicast, half by broadcast), after a random delay in
0..1000 ms. One discovery cycle must list all 1000 switches, none lost.
A second run answers without any delay, as one burst, and reports how many
switches that loses.

    /usr/bin/python3 bench/discovery_scale.py [--count N]

The server binary is build/torvane, or $TORVANE_BINARY. Needs root.
Exit code 0 when the delayed run lists every switch.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import torvane  # noqa: E402
from lab import Lab, wait_for_line  # noqa: E402
from torvane import TorvaneServer  # noqa: E402

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
P = 64513
COOKIE = 0x0A0B0C0D
CYCLE_S = 3.0  # life of a discovery request


def write_settings(workdir):
    ecf = os.path.join(os.path.dirname(torvane.BINARY), "torvane-ecf")
    plain = "magic_cookie=%08x\nudp_discovery_port=%x\nigmp_report_interval=0\n" % (COOKIE, P)
    subprocess.run([ecf, "write", os.path.join(workdir, "cfg", "define.ecf")], input=plain,
                   text=True, check=True, capture_output=True)


def socket_drops(lab, ns):
    """Datagrams the kernel dropped on the engine's discovery sockets (P and
    P+6, where the replies arrive), from /proc/net/udp of ns."""
    ports = {"%04X" % P, "%04X" % (P + 6)}
    out = lab.run(ns, ["cat", "/proc/net/udp"]).stdout.splitlines()[1:]
    drops = 0
    for line in out:
        fields = line.split()
        if len(fields) >= 13 and fields[1].split(":")[1] in ports:
            drops += int(fields[-1])
    return drops


def udp_in_datagrams(lab, ns):
    """Udp InDatagrams of ns: every datagram delivered to a socket there."""
    lines = [l.split() for l in lab.run(ns, ["cat", "/proc/net/snmp"]).stdout.splitlines()
             if l.startswith("Udp:")]
    return int(lines[1][lines[0].index("InDatagrams")])


def switch_count(server):
    answer = server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>")
    el = answer.body_element()
    macs = [item.find("macAddr").text for item in el.findall("arrList")]
    if len(set(macs)) != len(macs):
        raise AssertionError("a switch is listed twice")
    return len(macs)


def run_case(lab, srv, server, sim_ns, tmp, count, delay_range, label):
    half = count // 2
    common = dict(netmask="255.255.0.0", answer_multicast=True, ip_step=1)
    if delay_range is not None:
        common["delay_ms_range"] = list(delay_range)
    switches = [
        dict(mac="02:10:00:00:00:00", ip="10.1.1.0", count=half, reply="unicast", **common),
        dict(mac="02:20:00:00:00:00", ip="10.1.128.0", count=count - half, reply="broadcast",
             **common),
    ]
    path = os.path.join(tmp, "%s.json" % label)
    with open(path, "w") as f:
        json.dump(dict(cookie=COOKIE, port=P, seed=1, switches=switches), f)
    sim = lab.popen(sim_ns, [sys.executable, SWITCHSIM, path], stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE)
    try:
        wait_for_line(sim.stdout, "switchsim ready", 30)
        drops_before = socket_drops(lab, srv)
        received_before = udp_in_datagrams(lab, srv)
        started = time.monotonic()
        answer = server.call("SetDiscoverToAgents")
        if answer.is_fault():
            raise AssertionError("SetDiscoverToAgents failed")
        complete_at = None
        listed = 0
        while time.monotonic() - started < CYCLE_S + 0.5:
            time.sleep(0.2)
            listed = switch_count(server)
            if listed >= count and complete_at is None:
                complete_at = time.monotonic() - started
                break
        # The figure that counts: the list once the cycle is over.
        time.sleep(max(0.0, started + CYCLE_S - time.monotonic()))
        listed = switch_count(server)
        drops = socket_drops(lab, srv) - drops_before
        received = udp_in_datagrams(lab, srv) - received_before
    finally:
        sim.stdin.write(b"quit\n")
        sim.stdin.flush()
        try:
            sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait(timeout=10)
    return listed, complete_at, drops, received


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1000)
    args = parser.parse_args()
    count = args.count
    tmp = tempfile.mkdtemp(prefix="torvane-bench-")
    ok = False
    try:
        with Lab() as lab:
            srv = lab.namespace("srv")
            sim_ns = lab.namespace("sim")
            seg = lab.segment("lan")
            lab.attach(srv, seg, "10.1.0.1/16")
            lab.attach(sim_ns, seg, "10.1.0.2/16")
            server = TorvaneServer(lab, srv).prepare()
            write_settings(server.workdir)
            try:
                server.start()
                el = server.call("EngineLayerStartup").body_element()
                if el.find("errorcode").text != "0":
                    raise AssertionError("the engine did not start")
                # The adapter watch binds the sockets shortly after the start.
                deadline = time.monotonic() + 5
                while server.call("SetDiscoverToAgents").is_fault():
                    if time.monotonic() > deadline:
                        raise AssertionError("no local address after 5 s")
                    time.sleep(0.1)
                time.sleep(CYCLE_S)

                listed, done, drops, received = run_case(lab, srv, server, sim_ns, tmp, count,
                                               (0, 1000), "delayed")
                print("discovery_scale: %d switches, replies by broadcast and multicast after "
                      "0..1000 ms: %d listed after one cycle, %d lost; all listed %s; "
                      "%d datagrams received, receive drops %d" % (
                          count, listed, count - listed,
                          "after %.2f s" % done if done is not None else "never", received,
                          drops),
                      flush=True)
                ok = listed == count

                time.sleep(CYCLE_S)
                b_listed, b_done, b_drops, b_received = run_case(lab, srv, server, sim_ns, tmp, count,
                                                     None, "burst")
                print("discovery_scale: %d switches, burst without delay: %d listed, %d lost; "
                      "all listed %s; %d datagrams received, receive drops %d" % (
                          count, b_listed, count - b_listed,
                          "after %.2f s" % b_done if b_done is not None else "never",
                          b_received, b_drops),
                      flush=True)
            finally:
                server.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Monitor polling at scale: many watched switches polled every few seconds.

Builds a namespace lab with the server on 10.1.0.1/16 and one simulator
process playing every switch, each on its own address (10.1.1.1 upwards),
watches them all with AddMonitorAgent, sets the polling interval with
SetRefreshTime and then, without any web service call, lets the engine
poll them for a number of rounds. Prints:

  - how many switches are alive (isAlive 1) and have learned their MAC;
  - polls per switch per interval, and the shortest and longest gap
    between two polls of one switch, from the simulator's record;
  - the server process's CPU time (utime + stime from /proc/<pid>/stat)
    per poll round and per poll.

Run as root:  /usr/bin/python3 bench/monitor_poll.py [--switches 500]
The server binary is $TORVANE_BINARY or build/torvane.
"""

import argparse
import ipaddress
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

from lab import Lab, wait_for_line  # noqa: E402
from torvane import TorvaneServer  # noqa: E402

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
P = 64513
SERVER_IP = "10.1.0.1"
FIRST_SWITCH_IP = "10.1.1.1"
FIRST_MAC = 0x020000100000


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    fields = stat[stat.rfind(")") + 2:].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
    return ticks / os.sysconf("SC_CLK_TCK")


def call(server, op, **params):
    xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())
    answer = server.call(op, xml)
    if answer.is_fault():
        raise RuntimeError("%s answered a fault: %r" % (op, answer.body[:300]))
    return answer.body_element()


def monitor_status(server, n):
    body = call(server, "GetMonitorStatus", monitorNum=n)
    out = []
    for item in body.findall("arrList"):
        info = item.find("monitorInfo")
        out.append((info.find("agentIpAddr").text, info.find("macAddr").text,
                    int(item.find("isAlive").text), int(item.find("recvFlag").text)))
    return out


def run(args):
    tmp = tempfile.mkdtemp(prefix="bench-monitor-")
    try:
        return measure(args, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def measure(args, tmp):
    n = args.switches
    ips = [str(ipaddress.IPv4Address(FIRST_SWITCH_IP) + k) for k in range(n)]
    macs = ["-".join("%02X" % b for b in (FIRST_MAC + k).to_bytes(6, "big")) for k in range(n)]
    record = os.path.join(tmp, "record.jsonl")
    with Lab() as lab:
        seg = lab.segment("lan")
        srv_ns, sw_ns = lab.namespace("srv"), lab.namespace("sw")
        lab.attach(srv_ns, seg, SERVER_IP + "/16")
        lab.attach(sw_ns, seg, "10.1.0.2/16")
        doc = dict(cookie=0, port=P, record=record, add_aliases=True, switches=[
            dict(mac=macs[0], ip=FIRST_SWITCH_IP, ip_step=1, count=n, netmask="255.255.0.0",
                 system_name="sw-{n}")])
        config = os.path.join(tmp, "sim.json")
        with open(config, "w") as f:
            json.dump(doc, f)
        sim = lab.popen(sw_ns, [sys.executable, SWITCHSIM, config],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(sim.stdout, "switchsim ready", 120)

        server = TorvaneServer(lab, srv_ns).prepare().start()
        try:
            if call(server, "EngineLayerStartup").find("errorcode").text != "0":
                raise RuntimeError("the engine did not start")
            with open("/proc/%d/comm" % server.proc.pid) as f:
                if f.read().strip() != "torvane":
                    raise RuntimeError("process %d is not the server" % server.proc.pid)
            call(server, "SetRefreshTime", monitorPollingInterval=args.interval)
            started = time.monotonic()
            for ip in ips:
                call(server, "AddMonitorAgent", strIpAddress=ip, strMacAddr="")
            print("watching %d switches took %.1f s" % (n, time.monotonic() - started))

            # Warm-up: every entry has answered a poll and learned its MAC.
            deadline = time.monotonic() + 4 * args.interval + 10
            while True:
                status = monitor_status(server, n)
                learned = sum(1 for _, mac, _, _ in status if mac != "00-00-00-00-00-00")
                if learned == n or time.monotonic() > deadline:
                    break
                time.sleep(0.5)
            print("after warm-up: %d of %d have their MAC" % (learned, n))

            # The measurement: no web service call in the window.
            cpu0, wall0 = cpu_seconds(server.proc.pid), time.time()
            time.sleep(args.rounds * args.interval)
            cpu1, wall1 = cpu_seconds(server.proc.pid), time.time()

            status = monitor_status(server, n)
            alive = sum(1 for s in status if s[2] == 1)
            learned = sum(1 for s in status if s[1] != "00-00-00-00-00-00")
            known = {ip: mac for ip, mac in zip(ips, macs)}
            right_mac = sum(1 for ip, mac, _, _ in status if known.get(ip) == mac)
        finally:
            server.stop()

        polls = {}
        with open(record) as f:
            for line in f:
                r = json.loads(line)
                if "hex" not in r or not (wall0 <= r["time"] <= wall1):
                    continue
                data = bytes.fromhex(r["hex"])
                if len(data) >= 14 and data[12:14] == b"\x00\x05":
                    polls.setdefault(r["dst"].split(":")[0], []).append(r["time"])
    gaps = [b - a for times in polls.values() for a, b in zip(times, times[1:])]
    window = wall1 - wall0
    per_switch = [len(polls.get(ip, [])) for ip in ips]
    intervals = window / args.interval
    cpu = cpu1 - cpu0
    print("switches: %d, polling interval: %d s, rounds measured: %d (%.1f s)"
          % (n, args.interval, args.rounds, window))
    print("alive: %d of %d; MAC learned: %d (right MAC: %d)" % (alive, n, learned, right_mac))
    print("polls per switch per interval: mean %.3f, min %.3f, max %.3f; switches never "
          "polled: %d" % (statistics.mean(per_switch) / intervals, min(per_switch) / intervals,
                          max(per_switch) / intervals, per_switch.count(0)))
    if gaps:
        print("gap between two polls of one switch: min %.3f s, mean %.3f s, max %.3f s"
              % (min(gaps), statistics.mean(gaps), max(gaps)))
    print("server CPU time: %.3f s over %d rounds = %.1f ms per poll round, %.1f us per poll"
          % (cpu, args.rounds, 1000.0 * cpu / args.rounds,
             1e6 * cpu / max(1, sum(per_switch))))
    ok = alive == n and right_mac == n and gaps and min(gaps) >= args.interval * 0.95 \
        and max(gaps) < args.interval + 1.5
    print("RESULT: %s" % ("PASS" if ok else "FAIL"))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--switches", type=int, default=500)
    parser.add_argument("--interval", type=int, default=2, help="polling interval, seconds")
    parser.add_argument("--rounds", type=int, default=10, help="poll rounds measured")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("the namespace lab needs root", file=sys.stderr)
        return 2
    return run(args)


if __name__ == "__main__":
    sys.exit(main())

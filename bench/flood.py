#!/usr/bin/python3
"""Datagram floods: the server's memory stays bounded and it keeps answering.

The server runs in a namespace of the test lab with its default limits; a
second namespace on the same segment floods it, as fast as one Python
sender can, with

  1. 1,000,000 type 9 traps numbered 0..999999 (no client takes them), and
  2. 1,000,000 forged discovery replies, each with a new MAC, answering the
     sequence number of a discovery cycle it saw on the wire.

For each flood it prints the sending rate, the server's peak RSS (VmHWM),
what became of the datagrams (kernel socket drops, engine queue drops,
traps counted and kept, switches listed), the time from the flood's end
until GetSwitchInfoList and GetTrapList have answered completely, the time
until the server is idle again, and the CPU time the server used.

    /usr/bin/python3 bench/flood.py [--count N]

The server binary is build/torvane, or $TORVANE_BINARY. Needs root.
Exit code 0 when peak RSS stays under 64 MB, both answers come within 1 s
of each flood's end and the kept traps are the newest, in order.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import torvane  # noqa: E402
from flood import (FloodSite, HEADER, P, SENDER_IP, discovery_reply,  # noqa: E402
                   trap9, trap_number)
from lab import Lab  # noqa: E402
from torvane import TorvaneServer  # noqa: E402

RSS_TARGET_KB = 64 * 1024
ANSWER_TARGET_S = 1.0
TRAP_LIMIT = 10000          # kTrapListLimit
CLK_TCK = os.sysconf("SC_CLK_TCK")


class FileLoggedServer(TorvaneServer):
    """The server with its output in files: a million traps print some
    200 MB, more than a pipe reader in this process should carry."""

    def start(self, wait=True):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("TORVANE_TEST_")}
        self.out_path = os.path.join(self.workdir, "stdout.log")
        self.out_file = open(self.out_path, "wb")
        self.err_file = open(os.path.join(self.workdir, "stderr.log"), "wb")
        self.proc = self.lab.popen(self.ns, [torvane.BINARY], cwd=self.workdir, env=env,
                                   stdin=subprocess.PIPE, stdout=self.out_file,
                                   stderr=self.err_file)
        if wait:
            self.wait_for("Server push socket start to listen")
        return self

    def stdout_text(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for(self, needle, timeout=10.0):
        deadline = time.monotonic() + timeout
        while needle not in self.stdout_text():
            if time.monotonic() > deadline:
                raise AssertionError("no line with %r" % needle)
            time.sleep(0.1)

    def last_trap_number(self):
        """The trap counter as last printed, read from the log's tail."""
        with open(self.out_path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 65536))
            found = re.findall(rb"receive trap number : (\d+) \n", f.read())
        return int(found[-1]) if found else 0

    def status_kb(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK

    def stop(self):
        super().stop()
        self.out_file.close()
        self.err_file.close()


def udp_counters(lab, ns):
    """(InDatagrams, RcvbufErrors) of ns."""
    rows = [l.split() for l in lab.run(ns, ["cat", "/proc/net/snmp"]).stdout.splitlines()
            if l.startswith("Udp:")]
    return int(rows[1][rows[0].index("InDatagrams")]), int(rows[1][rows[0].index("RcvbufErrors")])


def wait_idle(server, since, window=0.1, timeout=60.0):
    """Seconds from since until the server's CPU time stopped growing (it
    then grows by less than 5 ms in a window)."""
    started = time.monotonic()
    last = server.cpu_seconds()
    while time.monotonic() - started < timeout:
        time.sleep(window)
        now = server.cpu_seconds()
        if now - last < 0.005:
            return max(0.0, time.monotonic() - window - since)
        last = now
    return float("inf")


def answered_in(server, op, params="", started=None):
    """(answer, seconds from started until its last byte was read, seconds
    the call itself took)."""
    data = torvane.request(op, params).encode()
    head = ("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
            "Content-Length: %d\r\n\r\n" % len(data)).encode()
    called = time.monotonic()
    sock = server.connect()
    try:
        sock.sendall(head + data)
        chunks = []  # joined once: a 13 MB answer read by += would cost seconds here
        while True:
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        sock.close()
    done = time.monotonic()
    answer = torvane.HttpAnswer(b"".join(chunks))
    if answer.is_fault():
        raise AssertionError("%s answered a fault" % op)
    return answer, done - started, done - called


def send_traps(site, count):
    dest = ("10.1.0.1", P + 1)
    sendto = site.out.sendto
    for n in range(count):
        try:
            sendto(trap9(n), dest)
        except BlockingIOError:
            pass


def send_forged_replies(site, count, seq):
    dest = ("10.1.0.1", P)
    sendto = site.out.sendto
    for n in range(1, count + 1):
        try:
            sendto(discovery_reply(n, seq), dest)
        except BlockingIOError:
            pass


def flood_traps(lab, site, server, count):
    taken_before = server.call("GetTrapList")  # start from an empty list
    assert not taken_before.is_fault()
    counted_before = server.last_trap_number()
    in_before, drops_before = udp_counters(lab, site.srv)
    cpu_before = server.cpu_seconds()
    started = time.monotonic()
    send_traps(site, count)
    ended = time.monotonic()

    # The client comes back the moment the flood ends.
    traps_answer, trap_s, trap_call = answered_in(server, "GetTrapList", started=ended)
    switch_answer, switch_s, switch_call = answered_in(server, "GetSwitchInfoList",
                                                       "<monitorNum>0</monitorNum>",
                                                       started=ended)
    idle_s = wait_idle(server, ended)
    cpu = server.cpu_seconds() - cpu_before
    # What the backlog added after the first answer.
    later = server.call("GetTrapList").body_element()

    body = traps_answer.body_element()
    numbers = [trap_number(t.find("string").text) for t in body.findall("arrList")]
    later_numbers = [trap_number(t.find("string").text) for t in later.findall("arrList")]
    counted = server.last_trap_number() - counted_before
    received, kernel_drops = udp_counters(lab, site.srv)
    received -= in_before
    kernel_drops -= drops_before
    ordered = numbers == sorted(numbers) and (not numbers or not later_numbers
                                              or later_numbers[0] > numbers[-1])
    newest = bool(numbers) and numbers[-1] >= max(0, count - 1 - 5 * TRAP_LIMIT)
    print("flood traps: %d sent in %.2f s (%.0f/s); %d reached the engine (kernel socket "
          "drops %d); %d counted by the trap handler (%d dropped from the full reply queue)"
          % (count, ended - started, count / (ended - started), received, kernel_drops,
             counted, received - counted), flush=True)
    print("flood traps: GetTrapList at the flood's end: %d traps kept (numbers %s..%s, in "
          "order: %s), %d dropped from the full trap list; %d more taken after the backlog"
          % (len(numbers), numbers[0] if numbers else "-", numbers[-1] if numbers else "-",
             "yes" if ordered else "NO", counted - len(numbers) - len(later_numbers),
             len(later_numbers)), flush=True)
    print("flood traps: complete answers %.3f s (GetTrapList, %d bytes, the call %.3f s) and "
          "%.3f s (GetSwitchInfoList, the call %.3f s) after the flood's end; server idle "
          "%.2f s after it; server CPU %.2f s for the flood (%.1f us per datagram sent); "
          "peak RSS %.1f MB"
          % (trap_s, len(traps_answer.raw), trap_call, switch_s, switch_call, idle_s, cpu,
             1e6 * cpu / count, server.status_kb("VmHWM") / 1024), flush=True)
    ok = (ordered and newest and len(numbers) <= TRAP_LIMIT and trap_s < ANSWER_TARGET_S
          and switch_s < ANSWER_TARGET_S)
    return ok


def flood_discovery(lab, site, server, count):
    site.drain_requests()
    assert not server.call("SetDiscoverToAgents").is_fault()
    seq = site.discovery_sequence()
    in_before, drops_before = udp_counters(lab, site.srv)
    cpu_before = server.cpu_seconds()
    started = time.monotonic()
    send_forged_replies(site, count, seq)
    ended = time.monotonic()

    traps_answer, trap_s, trap_call = answered_in(server, "GetTrapList", started=ended)
    switch_answer, switch_s, switch_call = answered_in(server, "GetSwitchInfoList",
                                                       "<monitorNum>0</monitorNum>",
                                                       started=ended)
    idle_s = wait_idle(server, ended)
    cpu = server.cpu_seconds() - cpu_before
    received, kernel_drops = udp_counters(lab, site.srv)
    received -= in_before
    kernel_drops -= drops_before
    listed = int(switch_answer.body_element().find("nSwitchNum").text)
    settled = server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
    settled_listed = int(settled.find("nSwitchNum").text)
    lines = re.findall(r"(\d+) (discovery replies|reply queue packets|upgrade queue packets) "
                       r"dropped since", server.stdout_text())
    print("flood discovery: %d forged replies sent in %.2f s (%.0f/s), %d within the 3 s "
          "cycle at that rate; %d reached the engine (kernel socket drops %d)"
          % (count, ended - started, count / (ended - started),
             min(count, int(3.0 * count / (ended - started))), received, kernel_drops),
          flush=True)
    print("flood discovery: %d switches listed at the flood's end, %d once idle; drop lines "
          "so far: %s"
          % (listed, settled_listed, ", ".join("%s %s" % l for l in lines) or "none"),
          flush=True)
    print("flood discovery: complete answers %.3f s (GetTrapList, the call %.3f s) and %.3f s "
          "(GetSwitchInfoList, %d bytes, the call %.3f s) after the flood's end; server idle "
          "%.2f s after it; server CPU %.2f s (%.1f us per datagram sent); peak RSS %.1f MB"
          % (trap_s, trap_call, switch_s, len(switch_answer.raw), switch_call, idle_s, cpu,
             1e6 * cpu / count, server.status_kb("VmHWM") / 1024), flush=True)
    return switch_s < ANSWER_TARGET_S and trap_s < ANSWER_TARGET_S


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1000000)
    args = parser.parse_args()
    ok = True
    with Lab() as lab:
        site = FloodSite(lab)
        server = FileLoggedServer(lab, site.srv).prepare()
        try:
            server.start()
            el = server.call("EngineLayerStartup").body_element()
            if el.find("errorcode").text != "0":
                raise AssertionError("the engine did not start")
            site.wait_for_sockets()
            print("flood: server idle, peak RSS %.1f MB" % (server.status_kb("VmHWM") / 1024),
                  flush=True)
            ok = flood_traps(lab, site, server, args.count) and ok
            ok = flood_discovery(lab, site, server, args.count) and ok
            peak = server.status_kb("VmHWM")
            print("flood: peak RSS over both floods %.1f MB (target < 64 MB); %s"
                  % (peak / 1024, "targets met" if ok and peak < RSS_TARGET_KB
                     else "TARGET MISSED"), flush=True)
            ok = ok and peak < RSS_TARGET_KB
        finally:
            server.stop()
            site.close()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

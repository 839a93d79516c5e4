#!/usr/bin/python3
"""The watched list at scale: LoadFile and GetMonitorStatus of 1k, 10k and
100k switches.

For each size, writes a switch configuration file of that many 628-byte
records (distinct addresses), then times, from the client's side, the
whole HTTP exchange of LoadFile (which answers every record) and of the
GetMonitorStatus of the whole list that follows (the answer is read
whole, not parsed). Linear lists show times that grow tenfold per row.

Run as root:  /usr/bin/python3 bench/watched_list_scale.py [--sizes 1000,10000,100000]
The server binary is $TORVANE_BINARY or build/torvane; the server runs in
a lab namespace of its own (loopback only, engine not started).
"""

import argparse
import os
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

from lab import Lab  # noqa: E402
from torvane import TorvaneServer, request  # noqa: E402

RECORD = 628


def record(i):
    r = bytearray(RECORD)
    name = b"bench-switch"
    r[0:len(name)] = name
    r[41:41 + 6] = b"sw%04d" % (i % 10000)
    struct.pack_into("4B", r, 84, 10, (i >> 16) & 255, (i >> 8) & 255, i & 255)
    struct.pack_into("4B", r, 88, 255, 0, 0, 0)
    r[144:144 + 5] = b"1.0.0"
    struct.pack_into("<H", r, 156, 80)
    struct.pack_into("6B", r, 608, 2, 0, (i >> 16) & 255, (i >> 8) & 255, i & 255, 1)
    struct.pack_into("<i", r, 620, 1)
    return bytes(r)


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    fields = stat[stat.rfind(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def exchange(server, xml):
    """Seconds for one POST and its whole answer, and the answer's size."""
    data = xml.encode()
    head = ("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
            "Content-Length: %d\r\n\r\n" % len(data)).encode()
    s = server.connect(timeout=120)
    try:
        t0 = time.monotonic()
        s.sendall(head + data)
        size = 0
        first = b""
        while True:
            d = s.recv(1 << 20)
            if not d:
                break
            if len(first) < 64:
                first += d[:64]
            size += len(d)
        elapsed = time.monotonic() - t0
    finally:
        s.close()
    if b" 200 " not in first.split(b"\r\n")[0]:
        raise RuntimeError("answer: %r" % first)
    return elapsed, size


def measure(srv, sizes):
    """Prints the table for one running server."""
    print("Wall time of the whole exchange seen by the client, and the server's CPU time")
    print("%9s  %11s  %10s  %10s  %15s  %10s  %10s" % (
        "records", "LoadFile s", "cpu s", "answer MB", "GetMonitor s", "cpu s", "answer MB"))
    for n in sizes:
        path = os.path.join(srv.workdir, "bench%d.cfg" % n)
        with open(path, "wb") as f:
            f.write(b"".join(record(i) for i in range(n)))
        c0 = cpu_seconds(srv.proc.pid)
        lt, lsize = exchange(srv, request("LoadFile", "<filepath>%s</filepath>" % path))
        c1 = cpu_seconds(srv.proc.pid)
        gt, gsize = exchange(srv, request("GetMonitorStatus", "<monitorNum>%d</monitorNum>" % n))
        c2 = cpu_seconds(srv.proc.pid)
        print("%9d  %11.3f  %10.2f  %10.1f  %15.3f  %10.2f  %10.1f" % (
            n, lt, c1 - c0, lsize / 1e6, gt, c2 - c1, gsize / 1e6), flush=True)
        os.unlink(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1000,10000,100000")
    args = ap.parse_args()
    sizes = [int(x) for x in args.sizes.split(",")]
    with Lab() as lab:
        srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
        srv.start()
        try:
            measure(srv, sizes)
        finally:
            srv.stop()


if __name__ == "__main__":
    main()

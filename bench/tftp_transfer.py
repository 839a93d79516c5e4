#!/usr/bin/python3
"""TFTP write of a 4 MiB firmware image: the engine against tftp-hpa.

Builds a namespace lab with the server on 10.1.0.1 and a switch on
10.1.0.2, where the switch simulator answers the upgrade command and
Debian's in.tftpd receives the file. The same image is written to the same
in.tftpd by the engine (through a whole upgrade) and by tftp-hpa's client
from the server's namespace, several rounds each, alternating.

Both are timed the same way, from packets seen on the switch's interface
with kernel time stamps: from the write request to the acknowledgement of
the last block. Prints both medians and their ratio; exits 1 when the
engine takes more than 1.5 times as long as the client.

    sudo /usr/bin/python3 bench/tftp_transfer.py [--rounds N]
"""

import argparse
import ctypes
import json
import os
import shutil
import socket
import statistics
import struct
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
TFTP_PORT = 64517
SERVER_IP, SWITCH_IP = "10.1.0.1", "10.1.0.2"
SWITCH_MAC = "02-AB-CD-00-00-02"
IMAGE_SIZE = 4 * 1024 * 1024
LAST_BLOCK = IMAGE_SIZE // 512 + 1   # a whole number of blocks ends with an empty one
TARGET_RATIO = 1.5

ETH_P_IP = 0x0800
ETH_P_ALL = 0x0003  # outgoing frames reach only taps of every protocol
SO_ATTACH_FILTER = 26
SO_TIMESTAMPNS = 35
SO_RCVBUFFORCE = 33


def bpf(last_block):
    """IPv4 UDP to port 69, or a TFTP acknowledgement of last_block."""
    accept, drop = 13, 14
    prog = [
        (0x28, 0, 0, 12),                   # ldh [12]: ethertype
        (0x15, 0, drop - 2, ETH_P_IP),
        (0x30, 0, 0, 23),                   # ldb [23]: protocol
        (0x15, 0, drop - 4, 17),
        (0x28, 0, 0, 20),                   # ldh [20]: fragment offset
        (0x45, drop - 6, 0, 0x1FFF),
        (0xB1, 0, 0, 14),                   # ldxb 4*([14]&0xf)
        (0x48, 0, 0, 16),                   # ldh [x+16]: UDP destination port
        (0x15, accept - 9, 0, 69),
        (0x48, 0, 0, 22),                   # ldh [x+22]: TFTP opcode
        (0x15, 0, drop - 11, 4),
        (0x48, 0, 0, 24),                   # ldh [x+24]: block number
        (0x15, 0, 1, last_block & 0xFFFF),
        (0x06, 0, 0, 0xFFFF),               # accept
        (0x06, 0, 0, 0),                    # drop
    ]
    return prog


class Sniffer:
    """Time-stamped write requests and final acknowledgements on one link."""

    def __init__(self, lab, ns, ifname):
        self.sock = lab.socket(ns, socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.bind((ifname, ETH_P_ALL))
        code = b"".join(struct.pack("HBBI", *insn) for insn in bpf(LAST_BLOCK))
        self._code = ctypes.create_string_buffer(code)
        fprog = struct.pack("HL", len(code) // 8, ctypes.addressof(self._code))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setblocking(False)
        self.drain()

    def drain(self):
        """[(time, kind, detail), ...] of the packets captured so far."""
        out = []
        while True:
            try:
                frame, anc, _, _ = self.sock.recvmsg(2048, 64)
            except BlockingIOError:
                return out
            stamp = None
            for level, kind, data in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", data[:16])
                    stamp = sec + nsec / 1e9
            ihl = (frame[14] & 0x0F) * 4
            udp = 14 + ihl
            dport, = struct.unpack_from(">H", frame, udp + 2)
            payload = frame[udp + 8:]
            if dport == 69:
                out.append((stamp, "wrq", payload))
            else:
                out.append((stamp, "ack", payload))

    def transfer_time(self, timeout=60):
        """Seconds from the first write request to the first final ack."""
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            seen += self.drain()
            starts = [t for t, kind, _ in seen if kind == "wrq"]
            if starts:
                ends = [t for t, kind, _ in seen if kind == "ack" and t >= starts[0]]
                if ends:
                    return ends[0] - starts[0], [p for _, kind, p in seen if kind == "wrq"]
            time.sleep(0.01)
        raise RuntimeError("no complete transfer seen: %r" % seen)


def call_value(server, op, name, xml=""):
    a = server.call(op, xml)
    if a.is_fault():
        raise RuntimeError("%s answered a fault: %s" % (op, a.body.decode(errors="replace")))
    el = a.body_element().find(name)
    return None if el is None else el.text


def switch_info():
    fields = dict(agentIpAddr=SWITCH_IP, agentNetmask="255.255.255.0", macAddr=SWITCH_MAC,
                  oldPassword="pw", upgradeRebootTime=100, upgradeEreaseFlashTime=0)
    return "<vecSwitchInfo>%s</vecSwitchInfo>" % "".join(
        "<%s>%s</%s>" % (k, v, k) for k, v in fields.items())


def engine_round(server, sniffer, root):
    for leftover in os.listdir(root):
        os.unlink(os.path.join(root, leftover))
    call_value(server, "EndUpgrade", "errorcode")
    if call_value(server, "SetFwFilePath", "errorcode",
                  "<strFwFilePath>image.bin</strFwFilePath>") != "0":
        raise RuntimeError("SetFwFilePath did not find image.bin")
    call_value(server, "AddUpgradeAgent", "errorcode", switch_info())
    sniffer.drain()
    call_value(server, "StartUpgrade", "errorcode")
    mac = "<strMacAddr>%s</strMacAddr>" % SWITCH_MAC
    try:
        seconds, requests = sniffer.transfer_time()
    except RuntimeError:
        print(server.call("GetUpgradeStatus", mac).body.decode(errors="replace"), file=sys.stderr)
        raise
    deadline = time.monotonic() + 10
    while int(call_value(server, "GetUpgradeStatus", "upgradeStatus", mac)) < 6:
        if time.monotonic() > deadline:
            raise RuntimeError("the engine's transfer did not finish")
        time.sleep(0.05)
    return seconds, requests


def client_round(lab, srv_ns, sniffer, root, image):
    for leftover in os.listdir(root):
        os.unlink(os.path.join(root, leftover))
    sniffer.drain()
    done = lab.run(srv_ns, ["tftp", "-m", "octet", SWITCH_IP, "-c", "put", image, "client.bin"],
                   timeout=120)
    if done.returncode != 0:
        raise RuntimeError("tftp failed: %s %s" % (done.stdout, done.stderr))
    return sniffer.transfer_time()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for tool in ("in.tftpd", "tftp"):
        if shutil.which(tool) is None:
            print("%s is missing: install tftpd-hpa and tftp-hpa" % tool, file=sys.stderr)
            return 2
    if not os.path.exists(torvane.BINARY):
        print("no server binary at %s" % torvane.BINARY, file=sys.stderr)
        return 2

    tmp = tempfile.mkdtemp(prefix="tftp-bench-")
    lab = Lab()
    server = None
    try:
        seg = lab.segment("lan")
        srv_ns, sw_ns = lab.namespace("srv"), lab.namespace("sw")
        lab.attach(srv_ns, seg, SERVER_IP + "/24")
        lab.attach(sw_ns, seg, SWITCH_IP + "/24", mac=SWITCH_MAC.replace("-", ":"))

        doc = dict(cookie=0, port=P, switches=[dict(
            mac=SWITCH_MAC, ip=SWITCH_IP, password="pw", tftp=False, interface="eth0")])
        with open(os.path.join(tmp, "sim.json"), "w") as f:
            json.dump(doc, f)
        sim = lab.popen(sw_ns, [sys.executable, SWITCHSIM, os.path.join(tmp, "sim.json")],
                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        wait_for_line(sim.stdout, "switchsim ready", 15)

        root = os.path.join(tmp, "tftproot")
        os.mkdir(root)
        os.chmod(root, 0o777)
        lab.popen(sw_ns, ["in.tftpd", "--foreground", "--listen", "--address",
                          "%s:69" % SWITCH_IP, "--create", "--secure", root])

        server = TorvaneServer(lab, srv_ns).prepare().start()
        image = os.path.join(server.workdir, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))
        if call_value(server, "EngineLayerStartup", "errorcode") != "0":
            raise RuntimeError("the engine did not start")
        deadline = time.monotonic() + 10
        while True:
            out = lab.run(srv_ns, ["ss", "-Huln"]).stdout + lab.run(sw_ns, ["ss", "-Huln"]).stdout
            if ":%d " % TFTP_PORT in out and ":69 " in out:
                break
            if time.monotonic() > deadline:
                raise RuntimeError("sockets did not open: " + out)
            time.sleep(0.05)

        sniffer = Sniffer(lab, sw_ns, "eth0")
        with open(image, "rb") as f:
            original = f.read()
        engine, client = [], []
        for _ in range(args.rounds):
            seconds, engine_requests = engine_round(server, sniffer, root)
            with open(os.path.join(root, "image.bin"), "rb") as f:
                if f.read() != original:
                    raise RuntimeError("the engine's image arrived damaged")
            engine.append(seconds)
            seconds, client_requests = client_round(lab, srv_ns, sniffer, root, image)
            with open(os.path.join(root, "client.bin"), "rb") as f:
                if f.read() != original:
                    raise RuntimeError("the client's image arrived damaged")
            client.append(seconds)
        call_value(server, "EndUpgrade", "errorcode")

        e, c = statistics.median(engine), statistics.median(client)
        ratio = e / c
        print("TFTP write of %d bytes (%d blocks), median of %d rounds" %
              (IMAGE_SIZE, LAST_BLOCK, args.rounds))
        print("  engine:          %.3f s  (rounds: %s)" % (e, " ".join("%.3f" % t for t in engine)))
        print("  tftp-hpa client: %.3f s  (rounds: %s)" % (c, " ".join("%.3f" % t for t in client)))
        print("  write requests: engine %r, client %r" % (engine_requests[0], client_requests[0]))
        print("  ratio engine/client: %.2f (target <= %.1f): %s" %
              (ratio, TARGET_RATIO, "met" if ratio <= TARGET_RATIO else "MISSED"))
        return 0 if ratio <= TARGET_RATIO else 1
    finally:
        if server is not None:
            server.stop()
        lab.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""Datagrams a flooding host sends, for the bound tests and the flood
benchmark: numbered traps and forged discovery replies with ever new MACs.

FloodSite wires the server's namespace and one sender namespace to a
segment and gives the sender its UDP sockets. Every sending loop here is
bounded by its count.
"""

import socket
import struct
import time

P = 64513                        # discovery port of the settings in cfg/
SERVER_IP = "10.1.0.1"
SENDER_IP = "10.1.0.2"
HEADER = struct.Struct(">HH6sHHHI6sH12x")
MSG_DISCOVERY_REQUEST, MSG_DISCOVERY_REPLY, MSG_TRAP = 1, 2, 9
TLV_PRODUCT_NAME, TLV_IP = 1, 4


def header(msg_type, mac, seq, cookie):
    return HEADER.pack(2, 0, mac, 0, msg_type, 0, cookie & 0xFFFFFFFF, mac, seq)


def forged_mac(n):
    """A locally administered MAC numbered n (up to 2**32)."""
    return b"\x02\x66" + struct.pack(">I", n)


def mac_text(n):
    return "-".join("%02X" % b for b in forged_mac(n))


def trap9(n, cookie=0):
    """A type 9 trap whose text is "flood <n>"."""
    return (header(MSG_TRAP, forged_mac(1), 0, cookie) + socket.inet_aton(SENDER_IP)
            + b"flood %d\0" % n)


def trap_number(text):
    """n of a trap text "flood <n>"."""
    return int(text.split()[1])


def tlv(kind, value):
    return struct.pack(">HH", kind, len(value) + 4) + value


def discovery_reply(n, seq, cookie=0):
    """A discovery reply of a switch that does not exist, MAC number n."""
    return (header(MSG_DISCOVERY_REPLY, forged_mac(n), seq, cookie)
            + tlv(TLV_PRODUCT_NAME, b"forged")
            + tlv(TLV_IP, socket.inet_aton("10.1.%d.%d" % ((n >> 8) & 0xFF, n & 0xFF))))


class FloodSite:
    """The server's namespace and a sender on one segment (10.1.0.0/24)."""

    def __init__(self, lab):
        self.lab = lab
        seg = lab.segment("lan")
        self.srv = lab.namespace("srv")
        self.snd = lab.namespace("snd")
        lab.attach(self.srv, seg, SERVER_IP + "/24")
        lab.attach(self.snd, seg, SENDER_IP + "/24")
        self.out = lab.socket(self.snd)
        # Requests of the engine (broadcast to P+2) reach this one.
        self.listen = lab.socket(self.snd)
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.listen.bind(("0.0.0.0", P + 2))

    def close(self):
        self.out.close()
        self.listen.close()

    def wait_for_sockets(self, timeout=10.0):
        """Waits until the engine has bound its unicast port P+1."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = self.lab.run(self.srv, ["ss", "-lunH", "sport", "= :%d" % (P + 1)]).stdout
            if "%eth" in out:  # bound per device
                return
            time.sleep(0.1)
        raise AssertionError("the engine did not bind port %d" % (P + 1))

    def discovery_sequence(self, timeout=5.0):
        """The sequence number of the next discovery request on the wire."""
        self.listen.settimeout(timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            data, _ = self.listen.recvfrom(2048)
            if len(data) >= HEADER.size and HEADER.unpack_from(data)[4] == MSG_DISCOVERY_REQUEST:
                return HEADER.unpack_from(data)[8]
        raise AssertionError("no discovery request seen")

    def drain_requests(self):
        self.listen.setblocking(False)
        try:
            while True:
                self.listen.recvfrom(2048)
        except BlockingIOError:
            pass
        finally:
            self.listen.setblocking(True)

    def send(self, datagrams, port=P + 1, batch=0, pause=0.0):
        """Sends each datagram to the server at port; after every batch
        datagrams (0: never) sleeps pause seconds, so that a test does not
        overrun the kernel's socket buffer."""
        dest = (SERVER_IP, port)
        sent = 0
        for d in datagrams:
            self.out.sendto(d, dest)
            sent += 1
            if batch and sent % batch == 0:
                time.sleep(pause)
        return sent

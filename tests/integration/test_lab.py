"""The namespace lab itself, and the switch simulator driven by a raw client."""

import hashlib
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from lab import Lab, REGISTRY_DIR, wait_for_line

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")

P = 64513
COOKIE = 0x0A0B0C0D
GROUP = "239.255.255.100"


def netns_names():
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


def ping(lab, ns, dst, timeout=2.0):
    """One ICMP echo from ns to dst; True when the reply came."""
    s = lab.socket(ns, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    try:
        ident = os.getpid() & 0xFFFF
        packet = bytearray(struct.pack(">BBHHH", 8, 0, 0, ident, 1) + b"labping!")
        total = sum(struct.unpack(">%dH" % (len(packet) // 2), packet))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into(">H", packet, 2, ~total & 0xFFFF)
        s.sendto(bytes(packet), (dst, 0))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, addr = s.recvfrom(2048)
            except socket.timeout:
                return False
            icmp = data[(data[0] & 0x0F) * 4:]
            if addr[0] == dst and icmp[0] == 0 and struct.unpack_from(">H", icmp, 4)[0] == ident:
                return True
        return False
    finally:
        s.close()


def udp(lab, ns, bind, broadcast=True):
    s = lab.socket(ns)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if broadcast:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(bind)
    return s


def collect(sock, seconds, want=None):
    """Datagrams received within seconds (or until want of them came)."""
    got = []
    deadline = time.monotonic() + seconds
    while want is None or len(got) < want:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            got.append(sock.recvfrom(65535))
        except socket.timeout:
            break
    return got


# ---------------------------------------------------------------------------
# The lab


def test_one_segment_carries_unicast_broadcast_and_multicast(lab):
    a, b = lab.namespace("a"), lab.namespace("b")
    seg = lab.segment("lan")
    assert lab.attach(a, seg, "10.1.0.1/24") == "eth0"
    assert lab.attach(b, seg, "10.1.0.2/24", mac="02:AB:CD:00:00:02") == "eth0"
    assert lab.run(b, ["cat", "/sys/class/net/eth0/address"]).stdout.strip() == "02:ab:cd:00:00:02"

    assert ping(lab, a, "10.1.0.2")
    assert ping(lab, b, "10.1.0.1")

    rx = udp(lab, b, ("0.0.0.0", 5000))
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton(GROUP) + socket.inet_aton("10.1.0.2"))
    tx = udp(lab, a, ("10.1.0.1", 0))
    try:
        tx.sendto(b"bcast", ("255.255.255.255", 5000))
        tx.sendto(b"mcast", (GROUP, 5000))
        got = collect(rx, 2.0, want=2)
        assert sorted(d for d, _ in got) == [b"bcast", b"mcast"]
        assert all(addr[0] == "10.1.0.1" for _, addr in got)
    finally:
        rx.close()
        tx.close()


def test_segments_are_separate_broadcast_domains(lab):
    r, a, b = lab.namespace("r"), lab.namespace("a"), lab.namespace("b")
    s1, s2 = lab.segment("one"), lab.segment("two")
    assert lab.attach(r, s1, "10.1.0.254/24") == "eth0"
    assert lab.attach(r, s2, "10.2.0.254/24") == "eth1"
    lab.attach(a, s1, "10.1.0.1/24")
    lab.attach(b, s2, "10.2.0.1/24")
    assert ping(lab, r, "10.1.0.1") and ping(lab, r, "10.2.0.1")

    at_r = udp(lab, r, ("0.0.0.0", 5001))
    at_b = udp(lab, b, ("0.0.0.0", 5001))
    tx = udp(lab, a, ("10.1.0.1", 0))
    try:
        tx.sendto(b"only segment one", ("255.255.255.255", 5001))
        assert [d for d, _ in collect(at_r, 2.0, want=1)] == [b"only segment one"]
        assert collect(at_b, 0.5) == []
    finally:
        for s in (at_r, at_b, tx):
            s.close()


def test_addresses_and_links_change_at_run_time(lab):
    a, b = lab.namespace("a"), lab.namespace("b")
    seg = lab.segment("lan")
    lab.attach(a, seg, "10.1.0.1/24")
    eth = lab.attach(b, seg, None)
    assert not ping(lab, a, "10.1.0.2", timeout=0.5)
    lab.add_address(b, eth, "10.1.0.2/24")
    assert ping(lab, a, "10.1.0.2")
    lab.del_link(b, eth)
    assert not ping(lab, a, "10.1.0.2", timeout=0.5)
    assert lab.attach(b, seg, "10.1.0.3/24") == "eth1"   # names are not reused
    assert ping(lab, a, "10.1.0.3")


def test_close_kills_processes_and_removes_namespaces(lab):
    with Lab() as mine:
        ns = mine.namespace("x")
        mine.attach(ns, mine.segment("s"), "10.9.0.1/24")
        proc = mine.popen(ns, ["sleep", "600"])
        # A grandchild in its own session would escape the process group.
        stray = mine.popen(ns, ["setsid", "sleep", "600"])
        assert {ns, mine.prefix + "_hub"} <= netns_names()
    assert proc.poll() is not None and stray.poll() is not None
    assert not [n for n in netns_names() if n.startswith(mine.prefix)]
    assert not os.path.exists(os.path.join(REGISTRY_DIR, mine.prefix))
    mine.close()  # again: harmless
    with pytest.raises(Exception):
        mine.namespace("y")


def test_namespaces_of_a_killed_test_run_are_swept(lab):
    script = (
        "import os, signal, sys\n"
        "sys.path.insert(0, %r)\n"
        "from lab import Lab\n"
        "l = Lab()\n"
        "ns = l.namespace('orphan')\n"
        "l.attach(ns, l.segment('s'), '10.8.0.1/24')\n"
        "print(l.prefix, flush=True)\n"
        "os.kill(os.getpid(), signal.SIGKILL)\n" % os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == -signal.SIGKILL
    prefix = out.stdout.strip()
    assert prefix + "-orphan" in netns_names()
    Lab().close()  # any new lab sweeps labs whose owner died
    assert not [n for n in netns_names() if n.startswith(prefix)]


# ---------------------------------------------------------------------------
# The switch simulator

ENGINE_IP, SWITCH_IP = "10.1.0.1", "10.1.0.2"
MAC_A = bytes.fromhex("02abcd000001")


def header(msg_type, seq, cookie=COOKIE, mac=bytes(6)):
    """A 40-byte device protocol header as the engine sends it."""
    return (struct.pack(">HH", 2, 0) + mac + struct.pack(">HHHI", 0, msg_type, 0, cookie)
            + bytes(6) + struct.pack(">H", seq) + bytes(12))


def tlv(t, value):
    return struct.pack(">HH", t, len(value) + 4) + value


def decode(data, body=True):
    """(header fields, [(type, value), ...]) of a datagram; body=False: no TLVs."""
    h = dict(zip(("version", "family", "mac", "ifver", "type", "status", "cookie", "sender", "seq"),
                 struct.unpack_from(">HH6sHHHI6sH", data)))
    tlvs, off = [], 40
    while body and off + 4 <= len(data):
        t, n = struct.unpack_from(">HH", data, off)
        assert n >= 4 and off + n <= len(data), "malformed TLV at %d" % off
        tlvs.append((t, data[off + 4:off + n]))
        off += n
    return h, tlvs


class Net:
    """An engine-side namespace and a switch namespace on one segment."""

    def __init__(self, lab, tmp_path):
        self.lab, self.tmp = lab, tmp_path
        self.eng, self.sw = lab.namespace("eng"), lab.namespace("sw")
        seg = lab.segment("lan")
        lab.attach(self.eng, seg, ENGINE_IP + "/24")
        lab.attach(self.sw, seg, SWITCH_IP + "/24")
        self.record = tmp_path / "record.jsonl"
        self.sockets = []

    def start(self, switches, **settings):
        doc = dict(cookie=COOKIE, record=str(self.record), switches=switches, **settings)
        path = self.tmp / "sim.json"
        path.write_text(json.dumps(doc))
        self.proc = self.lab.popen(self.sw, [sys.executable, SWITCHSIM, str(path)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.proc.stdout, "switchsim ready", 15)
        return self

    def command(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def client(self, bind=(ENGINE_IP, P)):
        s = udp(self.lab, self.eng, bind)
        self.sockets.append(s)
        return s

    def close(self):
        for s in self.sockets:
            s.close()


@pytest.fixture
def net(lab, tmp_path):
    n = Net(lab, tmp_path)
    yield n
    n.close()


def test_discovery_reply_carries_every_agent_tlv(net):
    long_error = "E" * 128 + "tail of the error"
    net.start([
        dict(mac="02:ab:cd:00:00:01", product_name="Sim 8P   ", system_name="core",
             location="rack 1", netmask="255.255.255.0", gateway="10.1.0.254",
             trap_ip="10.1.0.9", password="pw", dhcp_mode=1, fw_version="1.2.3",
             product_type=7, http_port=8080, group_timer=300, lldp_mode=1,
             lldp_auth_key="key", snmp_mode=0, proto_ver=2, family=5, interface_ver=1,
             upgrade_delay=11, upgrade_reboot=22, upgrade_erase=33,
             fun_bitmap=[1, 2, 3, 4], error_text=long_error),
    ])
    c = net.client()
    request = header(1, 0x1234)
    c.sendto(request, ("255.255.255.255", P + 2))
    (data, src), = collect(c, 2.0, want=1)
    assert src == (SWITCH_IP, P + 2)
    h, tlvs = decode(data)
    assert (h["version"], h["family"], h["mac"], h["ifver"], h["type"], h["status"],
            h["cookie"], h["seq"]) == (2, 5, MAC_A, 1, 2, 0, COOKIE, 0x1234)
    assert data[28:40] == bytes(12)
    assert tlvs == [
        (1, b"Sim 8P   "), (2, b"core"), (3, b"rack 1"),
        (4, socket.inet_aton(SWITCH_IP)), (5, socket.inet_aton("255.255.255.0")),
        (6, socket.inet_aton("10.1.0.254")), (7, socket.inet_aton("10.1.0.9")),
        (9, b"pw"), (10, b"\x01"),  # interface version 1: one-byte DHCP mode
        (11, b"1.2.3"), (12, b"\x00\x07"), (21, struct.pack(">H", 8080)),
        (22, struct.pack(">I", 300)), (24, b"\x00\x01"), (25, b"key"), (26, b"\x00\x00"),
        (27, struct.pack(">I", 11)), (28, struct.pack(">I", 22)), (29, struct.pack(">I", 33)),
        (30, b"E" * 128), (31, b"tail of the error"),
        (129, struct.pack(">4I", 1, 2, 3, 4)),
    ]
    time.sleep(0.2)
    lines = [json.loads(l) for l in net.record.read_text().splitlines()]
    assert [(l["hex"], l["src"]) for l in lines] == [(request.hex(), "%s:%d" % (ENGINE_IP, P))]


def test_loader_silent_and_wrong_cookie_switches(net):
    net.start([
        dict(mac="02:00:00:00:00:01"),
        dict(mac="02:00:00:00:00:02", loader=True),
        dict(mac="02:00:00:00:00:03", silent=True),
        dict(mac="02:00:00:00:00:04", wrong_cookie=True),
        dict(mac="02:00:00:00:00:05", wrong_cookie=0x11223344),
    ])
    c = net.client()
    c.sendto(header(1, 9), ("255.255.255.255", P + 2))
    got = {decode(d)[0]["mac"][-1]: decode(d)[0] for d, _ in collect(c, 1.5)}
    assert sorted(got) == [1, 2, 4, 5]
    assert got[1]["type"] == 2 and got[2]["type"] == 12
    assert got[1]["cookie"] == COOKIE and got[2]["cookie"] == COOKIE
    assert got[4]["cookie"] != COOKIE and got[5]["cookie"] == 0x11223344
    # A request with another cookie is not answered at all.
    c.sendto(header(1, 10, cookie=COOKIE + 1), ("255.255.255.255", P + 2))
    assert collect(c, 0.7) == []
    # "silence" stops and resumes a switch.
    net.command("silence 02-00-00-00-00-01 on")
    c.sendto(header(1, 11), ("255.255.255.255", P + 2))
    assert sorted(decode(d)[0]["mac"][-1] for d, _ in collect(c, 1.0)) == [2, 4, 5]
    net.command("silence all off")
    net.command("silence 02:00:00:00:00:03 off")
    c.sendto(header(1, 12), ("255.255.255.255", P + 2))
    assert sorted(decode(d)[0]["mac"][-1] for d, _ in collect(c, 1.0)) == [1, 2, 3, 4, 5]


def test_set_requests_get_the_configured_reply(net):
    net.start([
        dict(mac="02:00:00:00:00:01", system_name="old"),
        dict(mac="02:00:00:00:00:02", system_name="old", set_status=5, set_reply_type=8),
        dict(mac="02:00:00:00:00:03", system_name="old", loader=True),
    ])
    c = net.client()
    body = tlv(9, b"password") + tlv(2, b"new name") + tlv(10, b"\x00\x01")
    for last, seq in ((1, 100), (2, 101), (3, 102)):
        c.sendto(header(3, seq, mac=bytes.fromhex("0200000000%02x" % last)) + body,
                 ("255.255.255.255", P + 2))
    replies = {}
    for d, _ in collect(c, 1.5):
        h, tlvs = decode(d)
        replies[h["mac"][-1]] = (h["type"], h["status"], h["seq"], dict(tlvs)[2], dict(tlvs)[10])
    assert replies == {
        1: (4, 0, 100, b"new name", b"\x00\x01"),
        2: (8, 5, 101, b"old", b"\x00\x02"),      # refused: nothing applied
        3: (15, 0, 102, b"new name", b"\x00\x01"),
    }
    # A set for a switch the simulator does not play goes unanswered.
    c.sendto(header(3, 103, mac=bytes.fromhex("0200000000ff")) + body, ("255.255.255.255", P + 2))
    assert collect(c, 0.5) == []


def test_polls_reply_modes_multicast_and_delay(net):
    net.start([
        dict(mac="02:00:00:00:00:01", reply="broadcast"),
        dict(mac="02:00:00:00:00:02", answer_multicast=True, delay_ms=400),
    ], port=60000)
    port = 60000
    wide = net.client(("0.0.0.0", port))  # only a wildcard socket sees broadcasts
    wide.sendto(header(5, 0), (SWITCH_IP, port + 2))
    got = sorted((decode(d)[0]["mac"][-1], decode(d)[0]["type"]) for d, _ in collect(wide, 1.5))
    assert got == [(1, 6), (2, 6)]
    # Multicast reaches only the switch that listens to the group, after its delay.
    wide.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ENGINE_IP))
    started = time.monotonic()
    wide.sendto(header(1, 7), (GROUP, port + 2))
    got = collect(wide, 1.5)
    assert [decode(d)[0]["mac"][-1] for d, _ in got] == [2]
    assert time.monotonic() - started >= 0.35


def test_traps_go_to_the_engine_unicast_port(net):
    net.start([
        dict(mac="02:00:00:00:00:01", location="hall"),
        dict(mac="02:00:00:00:00:02", trap_ip=ENGINE_IP),
    ])
    requests = net.client()
    traps = net.client((ENGINE_IP, P + 1))
    net.command("trap9 02-00-00-00-00-02 link 3 down")   # to its trap address
    (data, src), = collect(traps, 2.0, want=1)
    h, _ = decode(data, body=False)
    assert (h["type"], h["mac"][-1], h["cookie"], src[1]) == (9, 2, COOKIE, P + 2)
    assert data[40:44] == socket.inet_aton(SWITCH_IP) and data[44:] == b"link 3 down\0"

    requests.sendto(header(1, 1), ("255.255.255.255", P + 2))
    assert len(collect(requests, 1.0, want=2)) == 2
    net.command("trap16 02-00-00-00-00-01 fan failure")  # to the last requester
    (data, _), = collect(traps, 2.0, want=1)
    h, tlvs = decode(data)
    assert h["type"] == 16 and dict(tlvs)[3] == b"hall" and dict(tlvs)[31] == b"fan failure"


def test_upgrade_command_and_firmware_write(net):
    net.start([
        dict(mac="02:00:00:00:00:01", fw_version="1.0.0",
             tftp=dict(erase_delay_ms=400, reboot_ms=800, new_fw_version="2.0.0")),
        dict(mac="02:00:00:00:00:02", upgrade_status=2),
        dict(mac="02:00:00:00:00:03", upgrade_status=None),
    ], multicast_group="239.1.2.3")
    c = net.client()
    for last, seq in ((1, 500), (2, 501), (3, 502)):
        c.sendto(header(10, seq, mac=bytes.fromhex("0200000000%02x" % last)) + tlv(9, b"pw"),
                 ("255.255.255.255", P + 2))
    got = sorted((decode(d)[0]["mac"][-1], decode(d)[0]["type"], decode(d)[0]["status"],
                  decode(d)[0]["seq"]) for d, _ in collect(c, 1.0))
    assert got == [(1, 11, 0, 500), (2, 11, 2, 501)]

    tftp = net.client((ENGINE_IP, 64517))
    tftp.sendto(b"\x00\x02image.bin\x00octet\x00", (SWITCH_IP, 69))
    (ack, peer), = collect(tftp, 1.0, want=1)
    assert ack == b"\x00\x04\x00\x00" and peer[0] == SWITCH_IP and peer[1] != 69
    image = bytes(range(256)) * 2 + b"last block"
    tftp.sendto(b"\x00\x03\x00\x01" + image[:512], peer)
    assert collect(tftp, 0.2) == []                   # still erasing
    tftp.sendto(b"\x00\x03\x00\x01" + image[:512], peer)  # resends are not acknowledged twice
    assert [d for d, _ in collect(tftp, 1.0)] == [b"\x00\x04\x00\x01"]
    tftp.sendto(b"\x00\x03\x00\x02" + image[512:], peer)
    assert [d for d, _ in collect(tftp, 1.0, want=1)] == [b"\x00\x04\x00\x02"]

    c.sendto(header(1, 0), ("255.255.255.255", P + 2))   # rebooting: quiet
    assert [decode(d)[0]["mac"][-1] for d, _ in collect(c, 0.3)] == [2, 3]
    time.sleep(0.8)
    c.sendto(header(1, 0), ("255.255.255.255", P + 2))
    fw = {decode(d)[0]["mac"][-1]: dict(decode(d)[1])[11] for d, _ in collect(c, 1.0)}
    assert fw == {1: b"2.0.0", 2: b"1.0.0", 3: b"1.0.0"}
    done = [json.loads(l) for l in net.record.read_text().splitlines() if '"event"' in l]
    assert done[0]["event"] == "tftp_done" and done[0]["size"] == len(image)
    assert done[0]["sha256"] == hashlib.sha256(image).hexdigest()


def test_tftp_error_replaces_an_acknowledgement(net):
    net.start([dict(mac="02:00:00:00:00:01", tftp_error=2)])
    tftp = net.client((ENGINE_IP, 64517))
    tftp.sendto(b"\x00\x02fw\x00octet\x00", (SWITCH_IP, 69))
    (_, peer), = collect(tftp, 1.0, want=1)
    tftp.sendto(b"\x00\x03\x00\x01" + bytes(512), peer)
    assert collect(tftp, 1.0, want=1)[0][0] == b"\x00\x04\x00\x01"
    tftp.sendto(b"\x00\x03\x00\x02" + bytes(10), peer)
    assert collect(tftp, 1.0, want=1)[0][0][:4] == b"\x00\x05\x00\x00"


def test_many_switches_each_with_its_own_address(net):
    n = 200
    net.start([dict(mac="02:00:00:00:10:00", ip="10.1.0.20", ip_step=1, count=n,
                    system_name="sw-{n}", delay_ms_range=[0, 200])],
              add_aliases=True, seed=1)
    c = net.client()
    c.sendto(header(1, 77), ("255.255.255.255", P + 2))
    got = collect(c, 5.0, want=n)
    assert len(got) == n
    for data, src in got:
        h, tlvs = decode(data)
        index = int.from_bytes(h["mac"], "big") - 0x020000001000
        assert src[0] == "10.1.0.%d" % (20 + index)
        assert dict(tlvs)[4] == socket.inet_aton(src[0])
        assert dict(tlvs)[2] == b"sw-%d" % (index + 1)
    # A unicast poll reaches only the switch that owns the address.
    c.sendto(header(5, 0), ("10.1.0.150", P + 2))
    got = collect(c, 1.0)
    assert [(decode(d)[0]["mac"].hex(), s[0]) for d, s in got] == [("020000001082", "10.1.0.150")]

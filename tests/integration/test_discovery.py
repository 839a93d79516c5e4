"""Discovery over two segments, the switch list, IGMP reports on the wire,
and the adapter watch picking up a segment added while the engine runs.

Every test builds its own lab: the server's namespace is wired to two
segments (lan-a 10.1.0.0/24, lan-b 10.2.0.0/24) and simulated switches sit
in namespaces of their own behind them.
"""

import json
import os
import socket
import struct
import subprocess
import sys
import time

import pytest

import torvane
from lab import wait_for_line
from torvane import ROOT, TorvaneServer

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
ECF = torvane.ECF

P = 64513
COOKIE = 0x0A0B0C0D
GROUP = "239.255.255.100"
SRV_MAC_A, SRV_MAC_B = "02:00:00:00:01:0a", "02:00:00:00:01:0b"
SRV_IP_A, SRV_IP_B = "10.1.0.1", "10.2.0.1"
ETH_P_IP = 0x0800


def mac_text(mac):
    return mac.replace(":", "-").upper()


class Site:
    """The server in a namespace on lan-a and lan-b, and switch simulators."""

    def __init__(self, lab, tmp_path):
        self.lab, self.tmp = lab, tmp_path
        self.srv = lab.namespace("srv")
        self.lan_a, self.lan_b = lab.segment("lan-a"), lab.segment("lan-b")
        lab.attach(self.srv, self.lan_a, SRV_IP_A + "/24", mac=SRV_MAC_A)
        lab.attach(self.srv, self.lan_b, SRV_IP_B + "/24", mac=SRV_MAC_B)
        self.server = TorvaneServer(lab, self.srv).prepare()
        # A non-zero cookie shows its byte order on the wire.
        settings = "magic_cookie=%08x\nudp_discovery_port=%x\nigmp_report_interval=120\n" % (
            COOKIE, P)
        subprocess.run([ECF, "write", os.path.join(self.server.workdir, "cfg", "define.ecf")],
                       input=settings, text=True, check=True, capture_output=True)
        self.sims = []

    def simulator(self, name, links, switches, **settings):
        """Starts switchsim in a new namespace wired to links [(segment, cidr)];
        returns the path of its record file."""
        ns = self.lab.namespace(name)
        for segment, cidr in links:
            self.lab.attach(ns, segment, cidr)
        record = self.tmp / ("%s.jsonl" % name)
        doc = dict(cookie=COOKIE, port=P, multicast_group=GROUP, record=str(record),
                   switches=switches, **settings)
        path = self.tmp / ("%s.json" % name)
        path.write_text(json.dumps(doc))
        proc = self.lab.popen(ns, [sys.executable, SWITCHSIM, str(path)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(proc.stdout, "switchsim ready", 15)
        self.sims.append(proc)
        return record

    def start(self):
        self.server.start()
        answer = self.server.call("EngineLayerStartup")
        assert answer.body_element().find("errorcode").text == "0"
        return self

    def wait_for_sockets(self, timeout=5.0):
        """Waits until the adapter watch has bound the discovery port."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = self.lab.run(self.srv, ["ss", "-lunH", "sport", "= :%d" % P]).stdout
            if out.count("%eth") >= 2:
                return
            time.sleep(0.1)
        raise AssertionError("the engine did not bind port %d on both adapters" % P)

    def discover(self):
        answer = self.server.call("SetDiscoverToAgents")
        assert not answer.is_fault(), answer.body
        assert answer.body_element().find("errorcode").text == "0"

    def switch_list(self, monitor_num=0):
        answer = self.server.call("GetSwitchInfoList", "<monitorNum>%d</monitorNum>" % monitor_num)
        assert not answer.is_fault(), answer.body
        el = answer.body_element()
        assert el.find("nErrorCode").text == "0"
        items = [{child.tag: (child.text or "") for child in item}
                 for item in el.findall("arrList")]
        assert int(el.find("nSwitchNum").text) == len(items)
        return items

    def close(self):
        self.server.stop()


@pytest.fixture
def site(lab, tmp_path):
    s = Site(lab, tmp_path)
    yield s
    s.close()


def requests_in(record):
    """Device protocol datagrams a simulator received: (dst, src, bytes)."""
    if not record.exists():
        return []
    lines = [json.loads(l) for l in record.read_text().splitlines()]
    return [(l["dst"], l["src"], bytes.fromhex(l["hex"])) for l in lines
            if l.get("socket") == "device"]


# ---------------------------------------------------------------------------
# Discovery


def test_discovery_over_two_segments(site):
    rec_a = site.simulator("sim-a", [(site.lan_a, "10.1.0.2/24")], [
        dict(mac="02:00:00:00:0a:01", system_name="unicast-a"),
        dict(mac="02:00:00:00:0a:02", system_name="broadcast-a", reply="broadcast",
             ip="10.1.0.3"),
        # Factory default: an address from another network, so it can only
        # answer by broadcast.
        dict(mac="02:00:00:00:0a:03", system_name="factory", reply="broadcast",
             ip="192.168.0.1", netmask="255.255.255.0", gateway="192.168.0.254"),
        dict(mac="02:00:00:00:0a:04", system_name="loader", loader=True, ip="10.1.0.4"),
        # Answers the broadcast and the multicast request: two replies.
        dict(mac="02:00:00:00:0a:05", system_name="both-a", answer_multicast=True,
             ip="10.1.0.5"),
        dict(mac="02:00:00:00:0a:06", system_name="wrong-cookie", wrong_cookie=True,
             ip="10.1.0.6"),
        dict(mac="02:00:00:00:0a:07", system_name="late", delay_ms=3400, ip="10.1.0.7"),
    ])
    rec_b = site.simulator("sim-b", [(site.lan_b, "10.2.0.2/24")], [
        dict(mac="02:00:00:00:0b:01", system_name="unicast-b"),
        dict(mac="02:00:00:00:0b:02", system_name="both-b", reply="broadcast",
             answer_multicast=True, ip="10.2.0.3"),
    ])
    # One switch on both segments: its replies reach the server through
    # both adapters, by broadcast and by multicast.
    site.simulator("sim-ab", [(site.lan_a, "10.1.0.9/24"), (site.lan_b, "10.2.0.9/24")], [
        dict(mac="02:00:00:00:ab:01", system_name="dual", reply="broadcast",
             answer_multicast=True, ip="10.1.0.9"),
    ])
    site.start()
    assert site.switch_list() == []
    site.wait_for_sockets()

    started = time.monotonic()
    site.discover()
    time.sleep(1.0)
    listed = site.switch_list()
    expected = ["unicast-a", "broadcast-a", "factory", "loader", "both-a", "unicast-b",
                "both-b", "dual"]
    assert sorted(s["systemName"] for s in listed) == sorted(expected)
    by_name = {s["systemName"]: s for s in listed}
    assert len({s["macAddr"] for s in listed}) == len(listed)

    factory = by_name["factory"]
    assert (factory["agentIpAddr"], factory["agentNetmask"], factory["agentGateway"]) == (
        "192.168.0.1", "255.255.255.0", "192.168.0.254")
    assert factory["macAddr"] == "02-00-00-00-0A-03"
    assert by_name["loader"]["isLoaderMode"] == "1"
    assert all(s["isLoaderMode"] == "0" for n, s in by_name.items() if n != "loader")
    assert by_name["unicast-b"]["agentIpAddr"] == "10.2.0.2"
    assert by_name["unicast-a"]["productName"] == "Sim Switch 8P"

    # The request on the wire: 40 bytes, type 1, the cookie, the sequence
    # number, and the MAC of the adapter it left by; once by broadcast to
    # P+2 from P and once to the group from P+6.
    seen = {}
    for rec, srv_ip, srv_mac in ((rec_a, SRV_IP_A, SRV_MAC_A), (rec_b, SRV_IP_B, SRV_MAC_B)):
        got = requests_in(rec)
        assert sorted((dst, src) for dst, src, _ in got) == sorted([
            ("255.255.255.255:%d" % (P + 2), "%s:%d" % (srv_ip, P)),
            ("%s:%d" % (GROUP, P + 2), "%s:%d" % (srv_ip, P + 6))])
        for _, _, data in got:
            assert len(data) == 40
            version, msg_type, cookie, seq = struct.unpack_from(">H10xH2xI6xH", data)
            assert (version, msg_type, cookie) == (2, 1, COOKIE)
            assert data[4:10] == bytes(6) and data[28:] == bytes(12)
            assert data[20:26] == bytes.fromhex(srv_mac.replace(":", ""))
            seen.setdefault("seq", seq)
            assert seq == seen["seq"] != 0

    # Late replies (3400 ms) are dropped: the switch is never listed.
    time.sleep(max(0.0, started + 4.0 - time.monotonic()))
    assert "late" not in {s["systemName"] for s in site.switch_list()}


def test_a_new_cycle_replaces_the_list_and_repeats_are_listed_once(site):
    site.simulator("sim-a", [(site.lan_a, "10.1.0.2/24")], [
        dict(mac="02:00:00:00:0a:01", system_name="one", answer_multicast=True),
    ])
    record = site.simulator("sim-b", [(site.lan_b, "10.2.0.2/24")], [
        dict(mac="02:00:00:00:0b:01", system_name="two"),
    ])
    site.start()
    site.wait_for_sockets()
    # Two cycles within 3000 ms: both requests live, so every switch enters
    # the table twice; the list shows each once.
    site.discover()
    site.discover()
    time.sleep(1.0)
    assert sorted(s["systemName"] for s in site.switch_list()) == ["one", "two"]
    seqs = {struct.unpack_from(">H", data, 26)[0] for _, _, data in requests_in(record)}
    assert len(seqs) == 2

    # A new cycle empties the table first: a switch gone silent drops out.
    site.sims[1].stdin.write(b"silence all on\n")
    site.sims[1].stdin.flush()
    site.discover()
    time.sleep(1.0)
    assert [s["systemName"] for s in site.switch_list()] == ["one"]


def test_switch_list_faults_when_more_watched_switches_are_asked_for(site):
    site.start()
    answer = site.server.call("GetSwitchInfoList", "<monitorNum>1</monitorNum>")
    assert answer.is_fault()
    assert site.switch_list(0) == []


def test_discovery_without_local_address_is_a_fault(lab):
    srv = lab.namespace("lonely")  # loopback only
    server = TorvaneServer(lab, srv).prepare().start()
    try:
        assert server.call("EngineLayerStartup").body_element().find("errorcode").text == "0"
        time.sleep(0.3)
        assert server.call("SetDiscoverToAgents").is_fault()
        server.wait_for("SetDiscoverToAgents begin. \n")
    finally:
        server.stop()


# ---------------------------------------------------------------------------
# The adapter watch


def test_segment_added_at_run_time_is_discovered(site):
    site.simulator("sim-a", [(site.lan_a, "10.1.0.2/24")], [
        dict(mac="02:00:00:00:0a:01", system_name="old"),
    ])
    lan_c = site.lab.segment("lan-c")
    site.simulator("sim-c", [(lan_c, "10.3.0.2/24")], [
        dict(mac="02:00:00:00:0c:01", system_name="new", reply="broadcast"),
    ])
    site.start()
    site.wait_for_sockets()
    site.discover()
    time.sleep(0.7)
    assert [s["systemName"] for s in site.switch_list()] == ["old"]

    site.lab.attach(site.srv, lan_c, "10.3.0.1/24", mac="02:00:00:00:01:0c")
    deadline = time.monotonic() + 12.5  # the watch rescans every 10 s
    names = []
    while time.monotonic() < deadline and "new" not in names:
        time.sleep(0.5)
        site.discover()
        time.sleep(0.5)
        names = sorted(s["systemName"] for s in site.switch_list())
    assert names == ["new", "old"]


# ---------------------------------------------------------------------------
# IGMP membership reports


def capture_socket(lab, ns):
    """An AF_PACKET socket that sees every IPv4 frame arriving on ns's eth0."""
    s = lab.socket(ns, socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP))
    s.bind(("eth0", ETH_P_IP))
    s.setblocking(False)
    return s


def igmp_v1_reports(sock):
    """(ethernet source, ethernet destination, IP header fields, IGMP bytes)
    of every IGMP version 1 report read so far."""
    found = []
    while True:
        try:
            frame = sock.recv(65535)
        except BlockingIOError:
            return found
        ip = frame[14:]
        if len(ip) < 20 or ip[9] != 2:
            continue
        ihl = (ip[0] & 0x0F) * 4
        total = struct.unpack_from(">H", ip, 2)[0]
        igmp = ip[ihl:total]
        if igmp[:1] != b"\x12":
            continue  # the kernel's own version 3 reports
        found.append(dict(eth_src=frame[6:12].hex(":"), eth_dst=frame[0:6].hex(":"),
                          ttl=ip[8], src=socket.inet_ntoa(ip[12:16]),
                          dst=socket.inet_ntoa(ip[16:20]), igmp=bytes(igmp)))


def reports_within(sockets, seconds):
    deadline = time.monotonic() + seconds
    got = [[] for _ in sockets]
    while time.monotonic() < deadline:
        time.sleep(0.1)
        for i, s in enumerate(sockets):
            got[i] += igmp_v1_reports(s)
    return got


def test_igmp_reports_leave_through_every_adapter(site):
    peers = []
    for name, seg in (("peer-a", site.lan_a), ("peer-b", site.lan_b)):
        ns = site.lab.namespace(name)
        site.lab.attach(ns, seg, None)
        peers.append(capture_socket(site.lab, ns))
    try:
        site.start()
        # One report per segment at engine start; the interval is 120 s.
        got_a, got_b = reports_within(peers, 2.5)
        expected = bytes.fromhex("1200FE9AEFFFFF64")
        assert [r["igmp"] for r in got_a] == [expected]
        assert [r["igmp"] for r in got_b] == [expected]
        assert (got_a[0]["src"], got_a[0]["dst"], got_a[0]["eth_src"]) == (
            SRV_IP_A, GROUP, SRV_MAC_A)
        assert (got_b[0]["src"], got_b[0]["dst"], got_b[0]["eth_src"]) == (
            SRV_IP_B, GROUP, SRV_MAC_B)
        assert got_a[0]["eth_dst"] == "01:00:5e:7f:ff:64" and got_a[0]["ttl"] == 1

        # An interval of 1 s: a report at about every check.
        site.server.call("SetUtilityGroupInterval", "<groupInterval>1</groupInterval>")
        got_a, got_b = reports_within(peers, 2.3)
        assert 2 <= len(got_a) <= 3 and 2 <= len(got_b) <= 3

        # An interval of 0: none at all (one may have been under way).
        site.server.call("SetUtilityGroupInterval", "<groupInterval>0</groupInterval>")
        reports_within(peers, 1.1)
        assert reports_within(peers, 2.1) == [[], []]
    finally:
        for s in peers:
            s.close()


def test_switch_names_in_windows_1252_and_utf8(site):
    """A switch without the UTF-8 bit keeps its name in Windows-1252; the
    client sees the same characters either way."""
    site.simulator("sim-names", [(site.lan_a, "10.1.0.7/24")], [
        dict(mac="02:00:00:00:0c:01", system_name="Büro €5", location="Café"),
        dict(mac="02:00:00:00:0c:02", system_name="Büro €5", location="交换机",
             fun_bitmap=[0x20000000, 0, 0, 0]),
    ])
    site.start()
    site.wait_for_sockets()
    site.discover()
    deadline = time.monotonic() + 5
    listed = []
    while time.monotonic() < deadline and len(listed) < 2:
        time.sleep(0.3)
        listed = site.switch_list()
    by_mac = {s["macAddr"]: s for s in listed}
    ansi, utf8 = by_mac["02-00-00-00-0C-01"], by_mac["02-00-00-00-0C-02"]
    assert (ansi["systemName"], ansi["location"]) == ("Büro €5", "Café")
    assert (utf8["systemName"], utf8["location"]) == ("Büro €5", "交换机")

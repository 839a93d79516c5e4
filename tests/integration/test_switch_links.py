"""Simulated switches on links of their own: link identity and ARP, address
moves on set requests, timed port traps, and what a firmware write changes.

The engine side is a raw client in its own namespace; the switches share
one namespace, each on an interface of its own (own_interface).
"""

import json
import socket
import struct
import subprocess
import sys
import time

from lab import wait_for_line
from test_lab import COOKIE, P, SWITCHSIM, collect, decode, header, ping, tlv, udp

ENGINE_IP = "10.1.0.1"
MAC_A, MAC_B = "02:ab:cd:00:01:01", "02:ab:cd:00:01:02"


class Links:
    """The engine's namespace and a switch namespace with one link per switch."""

    def __init__(self, lab, tmp_path, switches):
        self.lab = lab
        self.eng, self.sw = lab.namespace("eng"), lab.namespace("sw")
        seg = lab.segment("lan")
        lab.attach(self.eng, seg, ENGINE_IP + "/24")
        entries = []
        for sw in switches:
            # No MAC and no address here: the simulator gives both.
            ifname = lab.attach(self.sw, seg, None)
            entries.append(dict(sw, interface=ifname, own_interface=True))
        self.record = tmp_path / "record.jsonl"
        path = tmp_path / "sim.json"
        path.write_text(json.dumps(dict(cookie=COOKIE, port=P, record=str(self.record),
                                        switches=entries)))
        self.proc = lab.popen(self.sw, [sys.executable, SWITCHSIM, str(path)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.proc.stdout, "switchsim ready", 15)
        self.sockets = []

    def client(self, port=P, address=ENGINE_IP):
        s = udp(self.lab, self.eng, (address, port))
        self.sockets.append(s)
        return s

    def addresses(self, ifname):
        out = self.lab.run(self.sw, ["ip", "-4", "-o", "addr", "show", "dev", ifname]).stdout
        return sorted(line.split()[3] for line in out.splitlines())

    def neighbour(self, ip):
        out = self.lab.run(self.eng, ["ip", "neigh", "show", ip]).stdout.split()
        return out[out.index("lladdr") + 1] if "lladdr" in out else None

    def events(self, name):
        lines = [json.loads(l) for l in self.record.read_text().splitlines()]
        return [l for l in lines if l.get("event") == name]

    def close(self):
        for s in self.sockets:
            s.close()


def set_request(mac, seq, ip, netmask, gateway, dhcp_mode=2):
    body = (tlv(4, socket.inet_aton(ip)) + tlv(5, socket.inet_aton(netmask))
            + tlv(6, socket.inet_aton(gateway)) + tlv(10, struct.pack(">H", dhcp_mode)))
    return header(3, seq, mac=bytes.fromhex(mac.replace(":", ""))) + body


def agent_ip(data):
    return socket.inet_ntoa(dict(decode(data)[1])[4])


def test_each_switch_has_its_own_link_and_answers_arp_for_its_address_only(lab, tmp_path):
    net = Links(lab, tmp_path, [dict(mac=MAC_A, ip="10.1.0.11"), dict(mac=MAC_B, ip="10.1.0.12")])
    try:
        for ifname, mac, cidr in (("eth0", MAC_A, "10.1.0.11/24"), ("eth1", MAC_B, "10.1.0.12/24")):
            link = lab.run(net.sw, ["cat", "/sys/class/net/%s/address" % ifname]).stdout
            assert link.strip() == mac
            assert net.addresses(ifname) == [cidr]
        # The engine learns each address at the MAC of its own switch; with
        # both links on one bridge a wrong answer would win now and then.
        for _ in range(3):
            lab.run(net.eng, ["ip", "neigh", "flush", "dev", "eth0"])
            assert ping(lab, net.eng, "10.1.0.11") and ping(lab, net.eng, "10.1.0.12")
            assert (net.neighbour("10.1.0.11"), net.neighbour("10.1.0.12")) == (MAC_A, MAC_B)
        # What the upgrade does: a static entry, then unicast to the switch.
        c = net.client()
        for ip, mac in (("10.1.0.11", MAC_A), ("10.1.0.12", MAC_B)):
            lab.run(net.eng, ["ip", "neigh", "replace", ip, "lladdr", mac, "nud", "permanent",
                              "dev", "eth0"])
            c.sendto(header(5, 0), (ip, P + 2))
            (data, src), = collect(c, 2.0, want=1)
            assert src[0] == ip and decode(data)[0]["mac"] == bytes.fromhex(mac.replace(":", ""))
    finally:
        net.close()


def test_set_request_moves_the_switch_to_its_new_address_mask_gateway_and_lease(lab, tmp_path):
    # Fresh from the factory: an address of another network.
    net = Links(lab, tmp_path, [dict(mac=MAC_A, ip="192.168.0.1", reply="auto",
                                     dhcp_lease=dict(ip="10.1.0.50", netmask="255.255.255.0",
                                                     gateway="10.1.0.254"))])
    lab.run(net.eng, ["sysctl", "-qw", "net.ipv4.conf.eth0.arp_accept=1"])
    try:
        c = net.client()
        wide = net.client(address="0.0.0.0")  # only a wildcard socket sees broadcasts
        c.sendto(header(1, 1), ("255.255.255.255", P + 2))
        (data, src), = collect(wide, 2.0, want=1)
        assert src[0] == "192.168.0.1"
        assert collect(c, 0.3) == []   # answered by broadcast: not our subnet

        c.sendto(set_request(MAC_A, 2, "10.1.0.12", "255.255.255.0", "10.1.0.254"),
                 ("255.255.255.255", P + 2))
        (data, src), = collect(c, 2.0, want=1)
        assert decode(data)[0]["type"] == 4 and src[0] == "10.1.0.12"
        assert agent_ip(data) == "10.1.0.12"
        assert net.addresses("eth0") == ["10.1.0.12/24"]
        # The gratuitous ARP told the engine's side before it asked.
        assert net.neighbour("10.1.0.12") == MAC_A
        rules = lab.run(net.sw, ["ip", "rule", "show"]).stdout
        table = [l for l in rules.splitlines() if "from 10.1.0.12" in l][0].split()[-1]
        routes = lab.run(net.sw, ["ip", "route", "show", "table", table]).stdout
        assert "default via 10.1.0.254 dev eth0" in routes
        # Unicast at the new address, answered from it; the old one is gone.
        c.sendto(header(5, 0), ("10.1.0.12", P + 2))
        (data, src), = collect(c, 2.0, want=1)
        assert src[0] == "10.1.0.12" and agent_ip(data) == "10.1.0.12"
        assert ping(lab, net.eng, "10.1.0.12")

        # A wider mask on the same address replaces the address's prefix.
        c.sendto(set_request(MAC_A, 3, "10.1.0.12", "255.255.0.0", "0.0.0.0"),
                 ("10.1.0.12", P + 2))
        assert len(collect(c, 2.0, want=1)) == 1
        assert net.addresses("eth0") == ["10.1.0.12/16"]
        assert "default" not in lab.run(net.sw, ["ip", "route", "show", "table", table]).stdout

        # DHCP on: zero addresses, and the lease takes their place.
        c.sendto(set_request(MAC_A, 4, "0.0.0.0", "0.0.0.0", "0.0.0.0", dhcp_mode=1),
                 ("10.1.0.12", P + 2))
        (data, src), = collect(c, 2.0, want=1)
        assert src[0] == "10.1.0.50" and agent_ip(data) == "10.1.0.50"
        assert net.addresses("eth0") == ["10.1.0.50/24"]
        assert ping(lab, net.eng, "10.1.0.50") and not ping(lab, net.eng, "10.1.0.12", 0.5)
        time.sleep(0.2)
        assert [e["ip"] for e in net.events("moved")] == ["10.1.0.12", "10.1.0.12", "10.1.0.50"]
    finally:
        net.close()


def test_timed_traps_take_a_port_down_and_up_again(lab, tmp_path):
    net = Links(lab, tmp_path, [dict(mac=MAC_A, ip="10.1.0.11", location="rack 7",
                                     trap_ip=ENGINE_IP, trap_interval_s=[0.2, 0.4],
                                     trap_ports=4)])
    try:
        c = net.client(P + 1)
        got = collect(c, 5.0, want=4)
        assert len(got) == 4
        texts = []
        for data, src in got:
            h, tlvs = decode(data)
            assert (h["type"], h["cookie"], src[0]) == (16, COOKIE, "10.1.0.11")
            fields = dict(tlvs)
            assert fields[3] == b"rack 7"
            texts.append(fields[31].decode())
        port = texts[0].split()[1]
        assert 1 <= int(port) <= 4
        assert texts[:2] == ["Port %s link down" % port, "Port %s link up" % port]
        assert texts[2].endswith("link down") and texts[3].endswith("link up")
    finally:
        net.close()


def test_firmware_write_brings_the_image_version_and_leaves_loader_mode(lab, tmp_path):
    net = Links(lab, tmp_path, [dict(mac=MAC_A, ip="10.1.0.11", loader=True, leave_loader=True,
                                     fw_version="0.9.0")])
    try:
        c = net.client()
        c.sendto(header(1, 1), ("255.255.255.255", P + 2))
        (data, _), = collect(c, 2.0, want=1)
        assert decode(data)[0]["type"] == 12
        t = udp(lab, net.eng, (ENGINE_IP, 64517))
        net.sockets.append(t)
        t.sendto(struct.pack(">H", 2) + b"image.bin\0octet\0", ("10.1.0.11", 69))
        (ack, peer), = collect(t, 2.0, want=1)
        assert ack == struct.pack(">HH", 4, 0)
        image = b"SIM-FIRMWARE version=2.1.0\n" + bytes(100)
        t.sendto(struct.pack(">HH", 3, 1) + image, peer)
        (ack, _), = collect(t, 2.0, want=1)
        assert ack == struct.pack(">HH", 4, 1)
        time.sleep(0.3)
        c.sendto(header(1, 2), ("255.255.255.255", P + 2))
        (data, _), = collect(c, 2.0, want=1)
        h, tlvs = decode(data)
        assert h["type"] == 2 and dict(tlvs)[11] == b"2.1.0"
    finally:
        net.close()

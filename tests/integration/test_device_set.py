"""Device-set operations end to end: SetDeviceCfg, SetDeviceCfgEx and
GetOperateResult against simulated switches, with the exact bytes of every
set request, the "device_set" pushes and the 50-second time-out."""

import json
import os
import socket
import struct
import subprocess
import sys
import time
from xml.sax.saxutils import escape

import pytest

import torvane
from lab import wait_for_line
from torvane import PUSH_PORT, ROOT, SWITCH_INFO_FIELDS, TorvaneServer, text_of

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
ECF = torvane.ECF

P = 64513
COOKIE = 0x0A0B0C0D
GROUP = "239.255.255.100"
SERVER_IP, SWITCH_IP = "10.1.0.1", "10.1.0.2"
SERVER_MAC = bytes.fromhex("02000000a001")
PUSH = b"device_set\0"

# funBitmap0 bits, by the TLV type they allow.
BIT = {1: 0, 2: 1, 3: 2, 4: 3, 5: 4, 6: 5, 7: 6, 8: 7, 9: 8, 10: 9,
       22: 21, 24: 23, 25: 24, 26: 25, 27: 26, 28: 27, 29: 30}
ALL_BITS = sum(1 << b for b in BIT.values())


BASE_INFO = dict(
    productName="Sim 8P", systemName="sent-name", location="rack-1", agentIpAddr="10.1.0.50",
    agentNetmask="255.255.255.0", agentGateway="10.1.0.254", trapIpAddr="10.1.0.9",
    newPasseord="newpw", oldPassword="oldpw", dhcpMode=2, fwVersion="1.0.0", productType=1,
    httpPort=80, groupTimer=300, lldpMode=1, lldpAuthenkey="key", snmpMode=0, agentProtoVer=2,
    agentFamilyType=0, agentInterfaceVer=2, upgradeDelayTime=11, upgradeRebootTime=22,
    upgradeEreaseFlashTime=33, funBitmap0=ALL_BITS, funBitmap1=0, funBitmap2=0, funBitmap3=0,
    errString="", macAddr="02-AB-CD-00-00-99", isLoaderMode=0)


def switch_info_xml(**fields):
    info = dict(BASE_INFO, **fields)
    return "<switchInfo>%s</switchInfo>" % "".join(
        "<%s>%s</%s>" % (k, escape(str(info[k])), k) for k in SWITCH_INFO_FIELDS)


def tlv(t, value):
    return struct.pack(">HH", t, len(value) + 4) + value


def header(msg_type, seq, mac, status=0, cookie=COOKIE):
    return (struct.pack(">HH", 2, 0) + mac + struct.pack(">HHHI", 0, msg_type, status, cookie)
            + bytes(6) + struct.pack(">H", seq) + bytes(12))


def decode(data):
    """(type, mac, seq, [(tlv type, value), ...]) of a set request."""
    msg_type, = struct.unpack_from(">H", data, 12)
    seq, = struct.unpack_from(">H", data, 26)
    tlvs, off = [], 40
    while off < len(data):
        t, n = struct.unpack_from(">HH", data, off)
        assert n >= 4 and off + n <= len(data), "malformed TLV at %d in %s" % (off, data.hex())
        tlvs.append((t, data[off + 4:off + n]))
        off += n
    return msg_type, data[4:10], seq, tlvs


def u16(v):
    return struct.pack(">H", v)


def u32(v):
    return struct.pack(">I", v)


class Bench:
    """A server and a switch simulator on one segment, with a push client."""

    def __init__(self, lab, tmp_path):
        self.lab, self.tmp = lab, tmp_path
        self.srv_ns, self.sw_ns = lab.namespace("srv"), lab.namespace("sw")
        seg = lab.segment("lan")
        lab.attach(self.srv_ns, seg, SERVER_IP + "/24", mac=SERVER_MAC.hex())
        lab.attach(self.sw_ns, seg, SWITCH_IP + "/24")
        self.record = tmp_path / "record.jsonl"
        self.server = TorvaneServer(lab, self.srv_ns).prepare()
        subprocess.run([ECF, "write", os.path.join(self.server.workdir, "cfg", "define.ecf")],
                       input="magic_cookie=%08x\n" % COOKIE, text=True, check=True)
        self.push = None
        self.pushed = b""
        self.sockets = []
        self.seen = 0  # records already returned by new_requests()

    def start(self, switches, startup="0"):
        doc = dict(cookie=COOKIE, port=P, record=str(self.record), switches=switches)
        path = self.tmp / "sim.json"
        path.write_text(json.dumps(doc))
        self.sim = self.lab.popen(self.sw_ns, [sys.executable, SWITCHSIM, str(path)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.sim.stdout, "switchsim ready", 15)
        self.server.start()
        self.push = self.server.connect(PUSH_PORT)
        self.push.sendall(b"hello")
        self.server.wait_for("we can send messge now! ")
        assert value(self.server.call("EngineLayerStartup"), "errorcode") == startup
        self._wait_for_sockets()
        return self

    def _wait_for_sockets(self):
        # The adapter watch opens the broadcast socket of an address last.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            out = self.lab.run(self.srv_ns, ["ss", "-Huln"]).stdout
            if ":%d " % P in out and ":%d " % (P + 6) in out:
                return
            time.sleep(0.05)
        raise AssertionError("engine sockets did not open: " + out)

    def close(self):
        for s in self.sockets + ([self.push] if self.push else []):
            s.close()
        self.server.stop()

    # ----- the web service

    def set_cfg(self, operate=0, **fields):
        return self.server.call("SetDeviceCfg", switch_info_xml(**fields)
                                + "<operate>%d</operate>" % operate)

    def set_cfg_ex(self, mac, operate=0, **fields):
        values = dict(systemName="ex-name", location="ex-loc", agentIpAddr="10.1.0.60",
                      agentNetmask="255.255.0.0", agentGateway="10.1.0.1",
                      trapIpAddr="10.1.0.7", newPasseord="", oldPassword="password",
                      dhcpMode=2, groupTimer=120, snmpMode=1, macAddr=mac, operate=operate)
        values.update(fields)
        return self.server.call("SetDeviceCfgEx", "".join(
            "<%s>%s</%s>" % (k, escape(str(v)), k) for k, v in values.items()))

    def results(self):
        """GetOperateResult as (nOperateNum, [dict of agentInfo + operate, result])."""
        el = self.server.call("GetOperateResult",
                              "<nUserID>0</nUserID><strUserName>x</strUserName>").body_element()
        items = []
        for op in el.findall("arrList"):
            info = {c.tag: c.text or "" for c in op.find("agentInfo")}
            info["operate"] = int(text_of(op, "operate"))
            info["result"] = int(text_of(op, "result"))
            items.append(info)
        return int(text_of(el, "nOperateNum")), items

    def wait_results(self, count, timeout):
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            n, items = self.results()
            assert n == len(items)
            got += items
            if len(got) < count:
                time.sleep(0.1)
        return got

    def discover(self, count):
        assert not self.server.call("SetDiscoverToAgents").is_fault()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            el = self.server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
            if int(text_of(el, "nSwitchNum")) >= count:
                return {text_of(s, "macAddr"): s for s in el.findall("arrList")}
            time.sleep(0.1)
        raise AssertionError("discovery found fewer than %d switches" % count)

    # ----- what the switches received and what the client was pushed

    def requests(self):
        """Every set request the simulator received: (dst, bytes), in order."""
        out = []
        if self.record.exists():
            for line in self.record.read_text().splitlines():
                rec = json.loads(line)
                if rec.get("socket") != "device":
                    continue
                data = bytes.fromhex(rec["hex"])
                if len(data) >= 40 and struct.unpack_from(">H", data, 12)[0] in (3, 14):
                    out.append((rec["dst"].split(":")[0], data))
        return out

    def new_requests(self, want, timeout=3.0):
        """The next want set requests by broadcast (each also went by multicast)."""
        deadline = time.monotonic() + timeout
        while True:
            got = [d for dst, d in self.requests() if dst != GROUP][self.seen:]
            if len(got) >= want or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        assert len(got) == want, "expected %d new set requests, got %d" % (want, len(got))
        self.seen += want
        return got

    def pushes(self, want, timeout):
        """Waits for want more pushes; returns how many complete ones came."""
        self.push.settimeout(0.2)
        deadline = time.monotonic() + timeout
        while self.pushed.count(b"\0") < want and time.monotonic() < deadline:
            try:
                chunk = self.push.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                break
            self.pushed += chunk
        n = self.pushed.count(b"\0")
        assert self.pushed[:n * len(PUSH)] == PUSH * n, self.pushed
        self.pushed = self.pushed[n * len(PUSH):]
        return n

    def inject(self, data):
        """Sends a crafted datagram from the switch namespace to the engine."""
        s = self.lab.socket(self.sw_ns)
        self.sockets.append(s)
        s.bind((SWITCH_IP, 0))
        s.sendto(data, (SERVER_IP, P))


def value(answer, name):
    return text_of(answer.body_element(), name)


@pytest.fixture
def bench(lab, tmp_path):
    b = Bench(lab, tmp_path)
    yield b
    b.close()


# ---------------------------------------------------------------------------
# What the switch receives


def test_set_bodies_byte_for_byte(bench):
    bench.start([dict(mac="02:AB:CD:00:00:01", silent=True, answer_multicast=True)])
    cases = [
        # Every bit: every settable TLV, in the fixed order.
        (0, dict(), [
            (9, b"oldpw"), (1, b"Sim 8P"), (2, b"sent-name"), (3, b"rack-1"),
            (4, bytes([10, 1, 0, 50])), (5, bytes([255, 255, 255, 0])),
            (6, bytes([10, 1, 0, 254])), (7, bytes([10, 1, 0, 9])), (8, b"newpw"),
            (10, u16(2)), (24, u16(1)), (26, u16(0)), (22, u32(300)), (25, b"key"),
            (27, u32(11)), (28, u32(22)), (29, u32(33))]),
        # DHCP mode 1: zero addresses; the trap address stays.
        (0, dict(dhcpMode=1, funBitmap0=0x3F8), [
            (9, b"oldpw"), (4, bytes(4)), (5, bytes(4)), (6, bytes(4)),
            (7, bytes([10, 1, 0, 9])), (8, b"newpw"), (10, u16(1))]),
        # Kind 2: zero addresses whatever the DHCP mode.
        (2, dict(funBitmap0=0x78), [
            (4, bytes(4)), (5, bytes(4)), (6, bytes(4)), (7, bytes([10, 1, 0, 9]))]),
        # Modes 3, the group timer 0xFFFFFFFF and an empty new password are not sent.
        (0, dict(dhcpMode=3, lldpMode=3, snmpMode=3, groupTimer=0xFFFFFFFF, newPasseord=""),
         [(9, b"oldpw"), (1, b"Sim 8P"), (2, b"sent-name"), (3, b"rack-1"),
          (4, bytes([10, 1, 0, 50])), (5, bytes([255, 255, 255, 0])),
          (6, bytes([10, 1, 0, 254])), (7, bytes([10, 1, 0, 9])), (25, b"key"),
          (27, u32(11)), (28, u32(22)), (29, u32(33))]),
        # Interface version 1: a one-byte DHCP mode.
        (0, dict(agentInterfaceVer=1, funBitmap0=1 << 9), [(10, b"\x02")]),
        # No bit: an empty body.
        (0, dict(funBitmap0=0), []),
    ]
    for kind, fields, _ in cases:
        a = bench.set_cfg(kind, macAddr="02-AB-CD-00-00-01", **fields)
        assert value(a, "errorcode") == "0"
    got = bench.new_requests(len(cases))
    for n, ((kind, fields, want), data) in enumerate(zip(cases, got), start=1):
        msg_type, mac, seq, tlvs = decode(data)
        assert (msg_type, mac, seq) == (3, bytes.fromhex("02abcd000001"), n)
        assert tlvs == want, "case %d" % n

    # The 48-byte password datagram of sequence number 7, exactly.
    assert value(bench.set_cfg(1, macAddr="02-AB-CD-00-00-01", oldPassword="",
                               newPasseord=""), "errorcode") == "0"
    data, = bench.new_requests(1)
    assert data == (bytes.fromhex("0002 0000 02abcd000001 0000 0003 0000") + u32(COOKIE)
                    + SERVER_MAC + u16(7) + bytes(12) + bytes.fromhex("00090004 00080004"))
    # The same bytes went by broadcast and by multicast.
    assert [d for dst, d in bench.requests() if dst == GROUP][-1] == data
    assert sum(1 for dst, _ in bench.requests() if dst == GROUP) == len(cases) + 1

    # Each bit alone sends its TLV alone.
    for t, bit in sorted(BIT.items()):
        bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", funBitmap0=1 << bit)
    for (t, bit), data in zip(sorted(BIT.items()), bench.new_requests(len(BIT))):
        assert [x for x, _ in decode(data)[3]] == [t], "bit %d" % bit

    # Loader mode: type 14 with interface version 4 or bit 31, else type 3.
    for ver, bits, loader, want in ((4, 0, 1, 14), (3, 1 << 31, 1, 14), (3, 0, 1, 3),
                                    (4, 1 << 31, 0, 3)):
        bench.set_cfg(1, macAddr="02-AB-CD-00-00-01", agentInterfaceVer=ver, funBitmap0=bits,
                      isLoaderMode=loader)
        assert decode(bench.new_requests(1)[0])[0] == want


def test_unreadable_and_overlong_texts_are_converted_and_cut(bench):
    bench.start([dict(mac="02:AB:CD:00:00:01", silent=True)])
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", funBitmap0=(1 << 0) | (1 << 1) | (1 << 3),
                  productName="P" * 100, systemName="S" * 40, agentIpAddr="not an address")
    data, = bench.new_requests(1)
    assert decode(data)[3] == [(1, b"P" * 41), (2, b"S" * 21), (4, bytes(4))]
    # An unreadable MAC text leaves the MAC all zero; the request still goes out.
    assert value(bench.set_cfg(1, macAddr="02:ab:cd:00:00:01"), "errorcode") == "0"
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline and len(bench.requests()) < 2:
        time.sleep(0.05)
    assert bench.requests()[-1][1][4:10] == bytes(6)


def test_passwords_longer_than_their_field_are_refused_not_cut(bench):
    bench.start([dict(mac="02:AB:CD:00:00:01", silent=True)])
    full, over = "p" * 21, "q" * 22
    for kind in (0, 1):
        for fields in (dict(newPasseord=over), dict(oldPassword=over)):
            a = bench.set_cfg(kind, macAddr="02-AB-CD-00-00-01", **fields)
            assert a.is_fault() and b"longer than 21 bytes" in a.body, (kind, fields)
            b = bench.set_cfg_ex("02-AB-CD-00-00-01", operate=kind, **fields)
            assert b.is_fault() and b"longer than 21 bytes" in b.body, (kind, fields)
    # A password of exactly 21 bytes fills its field and is sent whole.
    a = bench.set_cfg(1, macAddr="02-AB-CD-00-00-01", oldPassword=full, newPasseord=full)
    assert value(a, "errorcode") == "0"
    assert decode(bench.new_requests(1)[0])[3] == [(9, full.encode()), (8, full.encode())]
    # Nothing was sent for the refused ones, and no operation waits for them.
    time.sleep(0.3)
    assert len([d for dst, d in bench.requests() if dst != GROUP]) == 1
    assert bench.server.stdout_text().count("device set begine") == 4


def test_names_reach_a_windows_1252_switch_as_windows_converts_them(bench):
    bench.start([dict(mac="02:AB:CD:00:00:01", silent=True)])
    names = (1 << 1) | (1 << 2)  # the system name and location TLVs
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", funBitmap0=names,
                  systemName="\u0141\u00f3d\u017a \u0160t\u011bp\u00e1n",
                  location="Cafe\u0301 \u0416")
    # Best-fit letters where the code page has none, accents composed first.
    assert decode(bench.new_requests(1)[0])[3] == [(2, b"L\xf3dz \x8at\x65p\xe1n"),
                                                   (3, b"Caf\xe9 ?")]
    # A switch that takes UTF-8 gets the text as it came.
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", funBitmap0=names | (1 << 29),
                  systemName="\u0141\u00f3d\u017a", location="Cafe\u0301")
    assert decode(bench.new_requests(1)[0])[3] == [(2, "\u0141\u00f3d\u017a".encode()),
                                                   (3, "Cafe\u0301".encode())]


# ---------------------------------------------------------------------------
# Replies, pushes and results


def test_replies_complete_operations_and_push(bench):
    bench.start([
        dict(mac="02:AB:CD:00:00:01", system_name="old", delay_ms=400),
        dict(mac="02:AB:CD:00:00:02", set_status=5),
        dict(mac="02:AB:CD:00:00:03", loader=True, interface_ver=4),
    ])
    n, items = bench.results()
    assert (n, items) == (0, [])

    # Two changes before the delayed switch answers: its first reply
    # completes both, with one push each; its second reply finds nothing.
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", systemName="first", funBitmap0=0x2)
    bench.set_cfg(1, macAddr="02-AB-CD-00-00-01", oldPassword="password", newPasseord="pw2")
    assert bench.pushes(2, timeout=5) == 2
    got = bench.wait_results(2, timeout=3)
    assert [(g["operate"], g["result"], g["systemName"], g["macAddr"]) for g in got] == [
        (0, 0, "first", "02-AB-CD-00-00-01"), (1, 0, "first", "02-AB-CD-00-00-01")]
    time.sleep(0.5)  # the second reply has come by now
    assert bench.pushes(1, timeout=0.3) == 0
    assert bench.results() == (0, [])

    # A refusing switch: its status is the result.
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-02", funBitmap0=0x2)
    assert bench.pushes(1, timeout=5) == 1
    got = bench.wait_results(1, timeout=3)
    assert [(g["result"], g["systemName"]) for g in got] == [(5, "switch-2")]

    # Loader mode: type 14 out, type 15 back.
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-03", isLoaderMode=1, agentInterfaceVer=4,
                  funBitmap0=0x2)
    assert bench.pushes(1, timeout=5) == 1
    got = bench.wait_results(1, timeout=3)
    assert [(g["result"], g["isLoaderMode"], g["systemName"]) for g in got] == [
        (0, "1", "sent-name")]
    assert decode(bench.requests()[-1][1])[0] == 14
    out = bench.server.stdout_text()
    assert "AddOperateNode begine \n" in out and "NULL != found_action\n" in out
    assert "in DevSetCallback, g_setVec.size = 1\n" in out
    assert "in GetOperateResult, g_setVec.size = 0\n" in out
    assert "SetCfgToAgent return = 1\n" in out


def test_set_device_cfg_ex_finds_the_switch_by_exact_mac_text(bench):
    bench.start([
        dict(mac="02:AB:CD:00:00:01", system_name="old", lldp_mode=1, lldp_auth_key="secret",
             product_name="Sim 24P", group_timer=60),
        dict(mac="02:AB:CD:00:00:02", system_name="watched"),
    ])
    found = bench.discover(2)
    assert set(found) == {"02-AB-CD-00-00-01", "02-AB-CD-00-00-02"}

    a = bench.set_cfg_ex("02-AB-CD-00-00-01", systemName="renamed")
    assert value(a, "errorcode") == "0"
    bench.server.wait_for("device set begine \n")
    data, = bench.new_requests(1)
    msg_type, mac, _, tlvs = decode(data)
    assert (msg_type, mac) == (3, bytes.fromhex("02abcd000001"))
    tlvs = dict(tlvs)
    # The twelve come from the request, the rest from what discovery stored.
    assert tlvs[2] == b"renamed" and tlvs[3] == b"ex-loc"
    assert tlvs[4] == bytes([10, 1, 0, 60]) and tlvs[5] == bytes([255, 255, 0, 0])
    assert tlvs[7] == bytes([10, 1, 0, 7]) and tlvs[9] == b"password" and 8 not in tlvs
    assert tlvs[22] == u32(120) and tlvs[26] == u16(1)
    assert tlvs[1] == b"Sim 24P" and tlvs[24] == u16(1) and tlvs[25] == b"secret"
    assert bench.pushes(1, timeout=5) == 1
    # The switch applied it; the agent table now holds its reply.
    listed = bench.server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
    names = {text_of(s, "macAddr"): text_of(s, "systemName") for s in listed.findall("arrList")}
    assert names == {"02-AB-CD-00-00-01": "renamed", "02-AB-CD-00-00-02": "watched"}

    # Lower case or colons match nothing: a fault, nothing sent, nothing recorded.
    for text in ("02-ab-cd-00-00-01", "02:AB:CD:00:00:01", "02-AB-CD-00-00-09"):
        assert bench.set_cfg_ex(text).is_fault()
    assert bench.results()[0] == 1
    time.sleep(0.3)
    assert bench.results() == (0, [])
    assert len([d for dst, d in bench.requests() if dst != GROUP]) == 1

    # A switch that is watched but gone from the agent table is still found.
    assert value(bench.server.call(
        "AddMonitorAgent", "<strIpAddress>%s</strIpAddress><strMacAddr>02-AB-CD-00-00-02"
        "</strMacAddr>" % SWITCH_IP), "errorcode") == "0"
    bench.sim.stdin.write(b"silence 02-AB-CD-00-00-02 on\nsilence 02-AB-CD-00-00-01 on\n")
    bench.sim.stdin.flush()
    time.sleep(0.2)
    assert not bench.server.call("SetDiscoverToAgents").is_fault()
    time.sleep(0.5)
    a = bench.set_cfg_ex("02-AB-CD-00-00-02", systemName="via-monitor", operate=2)
    assert value(a, "errorcode") == "0"
    _, mac, _, tlvs = decode(bench.new_requests(1)[0])
    assert mac == bytes.fromhex("02abcd000002")
    assert dict(tlvs)[2] == b"via-monitor" and dict(tlvs)[4] == bytes(4)


def test_bad_replies_change_nothing(bench):
    mac, mac2 = bytes.fromhex("02abcd000001"), bytes.fromhex("02abcd000005")
    bench.start([dict(mac="02:AB:CD:00:00:01", silent=True)])
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", funBitmap0=0x2)
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-05", funBitmap0=0x2, isLoaderMode=1,
                  agentInterfaceVer=4)
    (first, loader) = bench.new_requests(2)
    seq, seq14 = decode(first)[2], decode(loader)[2]
    body = tlv(2, b"from-reply") + tlv(4, bytes([10, 1, 0, 77]))
    bad = [
        header(4, seq, mac, cookie=COOKIE ^ 1) + body,          # another cookie
        header(4, (seq + 100) & 0xFFFF, mac) + body,             # unknown sequence number
        header(15, seq, mac) + body,                             # type 3 wants 4 or 8
        header(4, seq14, mac2) + body,                           # type 14 wants 15
        header(8, seq14, mac2) + body,                           # type 14 wants 15
        header(4, seq, bytes.fromhex("02abcd0000ff")) + body,    # another switch
        header(4, seq, mac)[:39],                                # truncated header
        header(4, seq, mac)[:20],
        b"\x00",
    ]
    for data in bad:
        bench.inject(data)
    deadline = time.monotonic() + 3
    while bench.server.stdout_text().count("SetProcess begine !\n") < 5:
        assert time.monotonic() < deadline, "the crafted replies did not arrive"
        time.sleep(0.05)
    time.sleep(0.3)
    assert bench.results() == (0, [])
    assert bench.pushes(1, timeout=0.2) == 0
    assert "NULL != found_action" not in bench.server.stdout_text()

    # Both requests still wait: the right replies complete them. A body
    # broken after its first TLV is read up to the break.
    bench.inject(header(4, seq, mac, status=3) + tlv(2, b"partial") + b"\x00\x03\x00\x00junk")
    bench.inject(header(15, seq14, mac2, status=0) + body)
    assert bench.pushes(2, timeout=5) == 2
    got = bench.wait_results(2, timeout=3)
    assert [(g["result"], g["systemName"], g["agentIpAddr"], g["isLoaderMode"]) for g in got] == [
        (3, "partial", "0.0.0.0", "0"), (0, "from-reply", "10.1.0.77", "1")]
    assert bench.server.proc.poll() is None


# ---------------------------------------------------------------------------
# The time-out, once for several operations at the same time


def test_unanswered_operations_time_out_after_fifty_seconds(bench):
    bench.start([
        dict(mac="02:AB:CD:00:00:01", silent=True),
        dict(mac="02:AB:CD:00:00:02"),                      # answers type 14 with type 4
        dict(mac="02:AB:CD:00:00:03", set_reply_type=8, set_status=6),  # second form
        dict(mac="02:AB:CD:00:00:04"),
    ])
    started = time.monotonic()
    a = bench.set_cfg(5, macAddr="02-AB-CD-00-00-01")       # unknown kind: nothing sent
    assert a.is_fault()
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-01", systemName="kept")
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-02", isLoaderMode=1, agentInterfaceVer=4)
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-03")
    bench.set_cfg(0, macAddr="02-AB-CD-00-00-04", funBitmap0=0x2)   # answered at once
    silent_seq = decode(bench.new_requests(4)[0])[2]
    # A set reply of either form completes its change at once.
    assert bench.pushes(2, timeout=5) == 2
    got = bench.wait_results(2, timeout=3)
    assert [(g["macAddr"], g["result"]) for g in got] == [
        ("02-AB-CD-00-00-03", 6), ("02-AB-CD-00-00-04", 0)]

    # Nothing else finishes before 50 s.
    time.sleep(max(0.0, started + 48.5 - time.monotonic()))
    assert bench.results() == (0, [])
    assert bench.pushes(1, timeout=max(0.1, started + 49.8 - time.monotonic())) == 0

    # Then all three time out, in their order, with one push per check that
    # found any.
    got = bench.wait_results(3, timeout=max(1.0, started + 55 - time.monotonic()))
    assert [(g["operate"], g["result"], g["macAddr"]) for g in got] == [
        (5, -2, "02-AB-CD-00-00-01"), (0, -2, "02-AB-CD-00-00-01"),
        (0, -2, "02-AB-CD-00-00-02")]
    assert got[1]["systemName"] == "kept"   # what was sent
    assert 1 <= bench.pushes(3, timeout=1.5) <= 3
    assert bench.server.stdout_text().count("device set timeout !\n") == 3

    # A reply after the time-out is ignored.
    bench.inject(header(4, silent_seq, bytes.fromhex("02abcd000001")) + tlv(2, b"late"))
    time.sleep(0.5)
    assert bench.results() == (0, [])
    assert bench.pushes(1, timeout=0.2) == 0


def test_changes_time_out_after_a_partial_engine_start(lab, bench):
    """EngineLayerStartup answers 2 (discovery port taken), yet the engine
    threads run and set requests go out: each change still completes or
    times out, with its push."""
    holder = lab.socket(bench.srv_ns)
    holder.bind(("0.0.0.0", P))  # no SO_REUSEADDR: the port cannot be shared
    try:
        bench.start([dict(mac="02:AB:CD:00:00:01", silent=True, answer_multicast=True)],
                    startup="2")
        started = time.monotonic()
        assert value(bench.set_cfg(0, macAddr="02-AB-CD-00-00-01"), "errorcode") == "0"
        # Only the group send leaves (the broadcast socket could not bind).
        deadline = time.monotonic() + 3
        while not bench.requests():
            assert time.monotonic() < deadline, "the set request did not arrive"
            time.sleep(0.05)
        time.sleep(0.3)
        assert [dst for dst, _ in bench.requests()] == [GROUP]
        got = bench.wait_results(1, timeout=max(1.0, started + 55 - time.monotonic()))
        assert time.monotonic() - started > 49
        assert [(g["macAddr"], g["result"]) for g in got] == [("02-AB-CD-00-00-01", -2)]
        assert bench.pushes(1, timeout=1.5) == 1
        assert bench.server.stdout_text().count("device set timeout !\n") == 1
    finally:
        holder.close()

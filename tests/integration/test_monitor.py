"""Watched switches and traps on the wire: the monitor and trap operations
against simulated switches in the namespace lab."""

import json
import os
import re
import subprocess
import sys
import time

import pytest

from lab import wait_for_line
from torvane import PUSH_PORT, ROOT, TorvaneServer, recv_exactly

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
P = 64513
SERVER_IP = "10.1.0.1"
WATCHED_IP, WATCHED_MAC = "10.1.0.2", "02-00-00-00-00-11"
OTHER_IP, OTHER_MAC = "10.1.0.3", "02-00-00-00-00-12"
ZERO_MAC = "00-00-00-00-00-00"
TIME_RE = re.compile(r"^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}$")


def field(el, name):
    child = el.find(name)
    return None if child is None else (child.text or "")


def monitor_entries(answer):
    """[(SwitchInfo fields as a dict, isAlive, recvFlag, time), ...]."""
    out = []
    for item in answer.body_element().findall("arrList"):
        info = {c.tag: (c.text or "") for c in item.find("monitorInfo")}
        out.append((info, int(field(item, "isAlive")), int(field(item, "recvFlag")),
                    field(item, "time")))
    return out


class MonitorLab:
    """The server on 10.1.0.1 and two simulated switches on one segment."""

    def __init__(self, lab, tmp_path):
        self.lab = lab
        seg = lab.segment("lan")
        srv_ns = lab.namespace("srv")
        lab.attach(srv_ns, seg, SERVER_IP + "/24")
        self.sw_ns = lab.namespace("sw")
        lab.attach(self.sw_ns, seg, WATCHED_IP + "/24", mac=WATCHED_MAC.replace("-", ":"))
        self.record = tmp_path / "record.jsonl"
        doc = dict(cookie=0, port=P, record=str(self.record), add_aliases=True, switches=[
            dict(mac=WATCHED_MAC, ip=WATCHED_IP, product_name="Watch 8P", system_name="core",
                 location="hall 7", trap_ip=SERVER_IP),
            # Starts silent, so the first look at its entry is never raced
            # by a poll reply.
            dict(mac=OTHER_MAC, ip=OTHER_IP, product_name="Other 16P", system_name="edge",
                 silent=True),
        ])
        path = tmp_path / "sim.json"
        path.write_text(json.dumps(doc))
        self.sim = lab.popen(self.sw_ns, [sys.executable, SWITCHSIM, str(path)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.sim.stdout, "switchsim ready", 15)
        self.server = TorvaneServer(lab, srv_ns).prepare().start()
        a = self.server.call("EngineLayerStartup")
        assert field(a.body_element(), "errorcode") == "0"

    def command(self, line):
        self.sim.stdin.write(line.encode() + b"\n")
        self.sim.stdin.flush()

    def call(self, op, **params):
        xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())
        return self.server.call(op, xml)

    def status(self, n):
        return self.call("GetMonitorStatus", monitorNum=n)

    def wait_status(self, n, predicate, timeout):
        """Polls GetMonitorStatus until predicate(entries) holds."""
        deadline = time.monotonic() + timeout
        while True:
            entries = monitor_entries(self.status(n))
            if predicate(entries):
                return entries
            if time.monotonic() > deadline:
                raise AssertionError("condition not met; last status %r" % (entries,))
            time.sleep(0.2)

    def received(self):
        if not self.record.exists():
            return []
        return [json.loads(l) for l in self.record.read_text().splitlines() if '"hex"' in l]

    def close(self):
        self.server.stop()


@pytest.fixture
def mlab(lab, tmp_path):
    m = MonitorLab(lab, tmp_path)
    yield m
    m.close()


def discovery_available(mlab):
    return not mlab.call("SetDiscoverToAgents").is_fault()


def test_entry_by_address_learns_its_switch_then_lives_and_dies(mlab):
    srv = mlab.server
    assert field(mlab.call("SetRefreshTime", monitorPollingInterval=1).body_element(),
                 "errorcode") == "0"
    empty = mlab.status(0).body_element()
    assert (field(empty, "nErrorCode"), field(empty, "nMonitorNum")) == ("0", "0")
    assert empty.find("arrList") is None

    # A MAC that matches no discovered switch: only the address is known.
    a = mlab.call("AddMonitorAgent", strIpAddress=OTHER_IP, strMacAddr="02-00-00-00-00-99")
    assert field(a.body_element(), "errorcode") == "0"
    srv.wait_for("AddMonitorAgent begin, ip =%s \n" % OTHER_IP)
    (info, alive, recv, stamp), = monitor_entries(mlab.status(1))
    assert (info["agentIpAddr"], info["macAddr"]) == (OTHER_IP, ZERO_MAC)
    assert (info["agentNetmask"], info["agentGateway"], info["trapIpAddr"]) == ("0.0.0.0",) * 3
    assert (info["productName"], info["systemName"], info["location"]) == ("", "", "")
    assert (info["httpPort"], alive, recv) == ("0", 1, 0)
    assert TIME_RE.match(stamp)

    # The same address again, a longer list than watched, a malformed address.
    assert mlab.call("AddMonitorAgent", strIpAddress=OTHER_IP, strMacAddr=OTHER_MAC).is_fault()
    assert mlab.status(2).is_fault()
    assert mlab.call("AddMonitorAgent", strIpAddress="10.1.0", strMacAddr=OTHER_MAC).is_fault()
    assert len(monitor_entries(mlab.status(1))) == 1

    # It answers: the first fresh reply gives the entry its MAC and settings.
    mlab.command("silence %s off" % OTHER_MAC)
    entries = mlab.wait_status(1, lambda e: e[0][0]["macAddr"] == OTHER_MAC, 6)
    info, alive, _, _ = entries[0]
    assert (info["productName"], info["systemName"], info["agentIpAddr"]) == \
        ("Other 16P", "edge", OTHER_IP)
    assert alive == 1
    mlab.wait_status(1, lambda e: e[0][2] == 1, 4)  # a fresh reply since the last poll

    # Silenced: dead at the third poll without a fresh reply, then alive again.
    mlab.command("silence %s on" % OTHER_MAC)
    silenced = time.monotonic()
    mlab.wait_status(1, lambda e: e[0][1] == 0, 8)
    assert time.monotonic() - silenced > 1.5  # not before two polls went unanswered
    mlab.command("silence %s off" % OTHER_MAC)
    mlab.wait_status(1, lambda e: e[0][1] == 1, 5)

    # The polls on the wire: 40 bytes, type 5, MAC and sequence number zero,
    # from the engine's unicast port to the switch port; one per second.
    polls = [r for r in mlab.received() if r["dst"] == "%s:%d" % (OTHER_IP, P + 2)]
    assert len(polls) >= 5
    for r in polls:
        data = bytes.fromhex(r["hex"])
        assert len(data) == 40 and data[12:14] == b"\x00\x05"
        assert data[4:10] == bytes(6) and data[26:28] == b"\x00\x00"
        assert r["src"] == "%s:%d" % (SERVER_IP, P + 1)
    gaps = [b["time"] - a["time"] for a, b in zip(polls, polls[1:])]
    assert min(gaps) > 0.8

    # Deleting: answered 0 whether watched or not.
    d = mlab.call("DelMonitorAgent", strIpAddress=OTHER_IP)
    assert field(d.body_element(), "errorcode") == "0"
    srv.wait_for("DelMonitorAgent begin, ip =%s \n" % OTHER_IP)
    assert mlab.status(1).is_fault()
    assert field(mlab.call("DelMonitorAgent", strIpAddress=OTHER_IP).body_element(),
                 "errorcode") == "0"
    assert mlab.call("DelMonitorAgent", strIpAddress="ten.one").is_fault()
    count = len(mlab.received())
    time.sleep(2.2)
    assert not [r for r in mlab.received()[count:]
                if r["dst"] == "%s:%d" % (OTHER_IP, P + 2)], "still polled after deletion"


def test_discovered_switch_is_watched_with_its_settings(mlab):
    if not discovery_available(mlab):
        pytest.skip("discovery is not in this build")
    deadline = time.monotonic() + 5
    while True:
        listed = [field(i, "macAddr") for i in
                  mlab.call("GetSwitchInfoList", monitorNum=0).body_element().findall("arrList")]
        if WATCHED_MAC in listed:
            break
        assert time.monotonic() < deadline, "not discovered: %r" % listed
        time.sleep(0.2)
    # Quiet while it is added, so that no poll reply changes recvFlag yet.
    mlab.command("silence %s on" % WATCHED_MAC)
    a = mlab.call("AddMonitorAgent", strIpAddress=WATCHED_IP, strMacAddr=WATCHED_MAC.lower())
    assert field(a.body_element(), "errorcode") == "0"
    (info, alive, recv, _), = monitor_entries(mlab.status(1))
    assert (info["productName"], info["systemName"], info["location"]) == \
        ("Watch 8P", "core", "hall 7")
    assert (info["macAddr"], info["agentIpAddr"], info["agentNetmask"]) == \
        (WATCHED_MAC, WATCHED_IP, "255.255.255.0")
    assert (alive, recv) == (1, 0)

    # Listed first, once.
    body = mlab.call("GetSwitchInfoList", monitorNum=1).body_element()
    macs = [field(i, "macAddr") for i in body.findall("arrList")]
    assert macs[0] == WATCHED_MAC and macs.count(WATCHED_MAC) == 1
    assert field(body, "nSwitchNum") == str(len(macs))
    assert mlab.call("GetSwitchInfoList", monitorNum=2).is_fault()

    # Taken off the list, it is still listed as discovered.
    mlab.call("DelMonitorAgent", strIpAddress=WATCHED_IP)
    assert mlab.status(1).is_fault()
    macs = [field(i, "macAddr") for i in
            mlab.call("GetSwitchInfoList", monitorNum=0).body_element().findall("arrList")]
    assert macs.count(WATCHED_MAC) == 1


def test_traps_are_recorded_pushed_and_taken_once(mlab):
    srv = mlab.server
    push = srv.connect(PUSH_PORT)
    try:
        push.sendall(b"hello")
        srv.wait_for("we can send messge now! ")
        assert field(mlab.call("SetTrapHwnd").body_element(), "errorcode") == "0"
        srv.wait_for("SetTrapHwnd begin. \n")

        mlab.command("trap9 %s link 3 down" % WATCHED_MAC)
        srv.wait_for("receive trap number : 1 \n")
        mlab.command("trap16 %s fan failure" % WATCHED_MAC)
        srv.wait_for("receive trap number : 2 \n")
        assert recv_exactly(push, 10) == b"trap\0trap\0"
        assert srv.stdout_text().count("recv a trap packet. \n") == 2

        body = mlab.call("GetTrapList").body_element()
        srv.wait_for("GetTrapList begin. \n")
        assert (field(body, "nErrorCode"), field(body, "nTrapNum")) == ("0", "2")
        traps = [{c.tag: (c.text or "") for c in t} for t in body.findall("arrList")]
        assert [(t["ip"], t["location"], t["string"]) for t in traps] == [
            (WATCHED_IP, "", "link 3 down"),
            (WATCHED_IP, "hall 7", "fan failure"),
        ]
        assert all(TIME_RE.match(t["time"]) for t in traps)

        again = mlab.call("GetTrapList").body_element()
        assert field(again, "nTrapNum") == "0" and again.find("arrList") is None

        # The counter goes on; an over-long text arrives cut to 255 bytes.
        mlab.command("trap9 %s %s" % (WATCHED_MAC, "x" * 300))
        srv.wait_for("receive trap number : 3 \n")
        body = mlab.call("GetTrapList").body_element()
        assert [field(t, "string") for t in body.findall("arrList")] == ["x" * 255]
    finally:
        push.close()

"""Floods from one host of the lab: the trap list and the agent table stop
at their limits (lowered through the test-only environment variables), the
drops are reported once, not per datagram, and the server keeps answering."""

import re
import time

import pytest

from flood import FloodSite, P, discovery_reply, mac_text, trap9, trap_number
from torvane import TorvaneServer

TRAP_LIMIT = 100
AGENT_LIMIT = 200
DROP_LINE = re.compile(r"(\d+) (.+?) dropped since \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \n")


@pytest.fixture
def flood(lab, monkeypatch):
    monkeypatch.setenv("TORVANE_TEST_TRAP_LIMIT", str(TRAP_LIMIT))
    monkeypatch.setenv("TORVANE_TEST_AGENT_LIMIT", str(AGENT_LIMIT))
    site = FloodSite(lab)
    server = TorvaneServer(lab, site.srv).prepare()
    try:
        server.start()
        assert server.call("EngineLayerStartup").body_element().find("errorcode").text == "0"
        site.wait_for_sockets()
        site.server = server
        yield site
    finally:
        server.stop()
        site.close()


def field(el, name):
    return el.find(name).text or ""


def timed_call(server, op, params=""):
    started = time.monotonic()
    answer = server.call(op, params)
    return answer, time.monotonic() - started


def drop_lines(server):
    return [(int(n), what) for n, what in DROP_LINE.findall(server.stdout_text())]


def test_trap_flood_keeps_the_newest_traps_in_order_and_counts_all(flood):
    server = flood.server
    total = 1000
    # Paced in small batches so that the kernel's socket buffer never
    # overflows: every trap reaches the engine and the counts are exact.
    flood.send((trap9(n) for n in range(total // 2)), batch=10, pause=0.005)
    # The server answers in the middle of the flood.
    answer, took = timed_call(server, "GetSwitchInfoList", "<monitorNum>0</monitorNum>")
    assert not answer.is_fault() and took < 2.0
    flood.send((trap9(n) for n in range(total // 2, total)), batch=10, pause=0.005)
    server.wait_for("receive trap number : %d \n" % total, timeout=30)

    answer, took = timed_call(server, "GetTrapList")
    body = answer.body_element()
    assert took < 2.0
    assert field(body, "nErrorCode") == "0"
    assert field(body, "nTrapNum") == str(TRAP_LIMIT)
    numbers = [trap_number(field(t, "string")) for t in body.findall("arrList")]
    assert numbers == list(range(total - TRAP_LIMIT, total))
    assert {field(t, "ip") for t in body.findall("arrList")} == {"10.1.0.2"}

    out = server.stdout_text()
    # Every trap was counted, logged and pushed (no push client: "fail").
    assert out.count("recv a trap packet. \n") == total
    assert out.count("Cmd Send: trap. fail!\n") == total
    # One line for the first drop; the others wait for the minute to pass.
    assert drop_lines(server) == [(1, "traps")]

    # Taken once; the next traps start a fresh list.
    assert field(server.call("GetTrapList").body_element(), "nTrapNum") == "0"
    flood.send([trap9(total)])
    server.wait_for("receive trap number : %d \n" % (total + 1))
    body = server.call("GetTrapList").body_element()
    assert [field(t, "string") for t in body.findall("arrList")] == ["flood %d" % total]
    assert drop_lines(server) == [(1, "traps")]


def test_forged_discovery_replies_stop_at_the_agent_table_limit(flood):
    server = flood.server
    flood.drain_requests()
    answer = server.call("SetDiscoverToAgents")
    assert not answer.is_fault()
    seq = flood.discovery_sequence()
    forged = 2000
    # Within the cycle's 3 s, paced as above; to the engine's port P.
    started = time.monotonic()
    flood.send((discovery_reply(n, seq) for n in range(1, forged + 1)), port=P, batch=20,
               pause=0.005)
    assert time.monotonic() - started < 2.5, "the flood outlasted the cycle"
    server.wait_for("%d discovery replies dropped since" % 1)

    # The dispatcher has the last replies in hand for a moment.
    deadline = time.monotonic() + 10
    while True:
        answer, took = timed_call(server, "GetSwitchInfoList", "<monitorNum>0</monitorNum>")
        assert not answer.is_fault() and took < 2.0
        listed = [field(item, "macAddr") for item in answer.body_element().findall("arrList")]
        if len(listed) >= AGENT_LIMIT or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    # The first switches to answer stay; every later one is dropped.
    assert listed == [mac_text(n) for n in range(1, AGENT_LIMIT + 1)]
    time.sleep(0.5)
    again = server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
    assert field(again, "nSwitchNum") == str(AGENT_LIMIT)
    assert drop_lines(server) == [(1, "discovery replies")]

    # A new cycle empties the table; a real answer fits again.
    flood.drain_requests()
    assert not server.call("SetDiscoverToAgents").is_fault()
    seq = flood.discovery_sequence()
    flood.send([discovery_reply(forged + 1, seq)], port=P)
    deadline = time.monotonic() + 5
    while True:
        body = server.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
        if field(body, "nSwitchNum") == "1" or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    assert [field(i, "macAddr") for i in body.findall("arrList")] == [mac_text(forged + 1)]

"""Connections that stall, connections beyond the cap, and operations that
stay one at a time while their connections are served side by side."""

import os
import re
import socket
import struct
import threading
import time

import pytest

from torvane import TorvaneServer, request

RECORD = 628
SHORT = {"TORVANE_TEST_LIMITS": "recv_ms=1000,send_ms=1000,prompt_ms=1500,max_conn=4"}


def records(n, first=1):
    """n switch records with addresses 10.7.x.y from first upwards."""
    out = bytearray()
    for i in range(first, first + n):
        r = bytearray(RECORD)
        r[0:3] = b"sim"
        struct.pack_into("4B", r, 84, 10, 7, (i >> 8) & 255, i & 255)
        struct.pack_into("6B", r, 608, 2, 0, 0, 7, (i >> 8) & 255, i & 255)
        out += r
    return bytes(out)


def load(server, n, name="list.cfg"):
    path = os.path.join(server.workdir, name)
    with open(path, "wb") as f:
        f.write(records(n))
    return path


def timed_call(server, op, params=""):
    t0 = time.monotonic()
    a = server.call(op, params)
    return a, time.monotonic() - t0


def stalled(server, kind):
    """A connection that holds the server's attention without finishing."""
    s = server.connect()
    if kind == "half":
        s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n<SOAP-ENV:Env")
    elif kind == "unread":
        # A large answer that is never read: 3000 entries, some 3 MB.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(server_request("GetMonitorStatus", "<monitorNum>3000</monitorNum>"))
    return s


def server_request(op, params=""):
    data = request(op, params).encode()
    return (b"POST / HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
            b"Content-Length: %d\r\n\r\n" % len(data)) + data


def closed_by_server(s, timeout):
    """True when the server closes s (EOF or reset) within timeout."""
    s.settimeout(timeout)
    try:
        while True:
            if not s.recv(1 << 20):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


@pytest.mark.parametrize("kind", ["silent", "half", "unread"])
def test_a_stalled_client_does_not_hold_up_others(server, kind):
    server.call("LoadFile", f"<filepath>{load(server, 3000)}</filepath>")
    held = []
    try:
        for _ in range(5):
            held.append(stalled(server, kind))
            time.sleep(0.1)  # its request (if any) is in
            for op in ("GetRefreshTime", "GetReqXmlList"):
                a, took = timed_call(server, op)
                assert a.status == 200 and took < 1.0, (op, took)
            assert server.get("/index.html").status == 200
    finally:
        for s in held:
            s.close()


def test_time_outs_and_the_cap_reclaim_connections(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start(env_extra={"TORVANE_TEST_LIMITS": "recv_ms=2000,send_ms=1000,max_conn=4"})
    try:
        srv.call("LoadFile", f"<filepath>{load(srv, 3000)}</filepath>")
        silent = srv.connect()
        half = stalled(srv, "half")
        unread = stalled(srv, "unread")
        for s in (silent, half):
            assert closed_by_server(s, 4)
        srv.wait_for("closed: no whole request within 2000 ms", 3)
        srv.wait_for("closed: answer not taken within 1000 ms", 3)
        unread.close()
        # At the cap (4) the oldest connection idle for 1 s or more makes
        # room for a new one.
        idle = [srv.connect() for _ in range(4)]
        time.sleep(1.2)
        a, took = timed_call(srv, "GetRefreshTime")
        assert a.status == 200 and took < 0.5
        assert closed_by_server(idle[0], 0.5)
        srv.wait_for("closed: 4 connections are open", 2)
        for s in idle:
            s.close()
        text = srv.stdout_text()
        assert text.count("no whole request within") == 2
        assert srv.proc.poll() is None
    finally:
        srv.stop()


def test_at_the_cap_clients_that_take_no_answer_make_room(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start(env_extra={"TORVANE_TEST_LIMITS": "max_conn=4"})
    try:
        srv.call("LoadFile", f"<filepath>{load(srv, 3000)}</filepath>")
        unread = [stalled(srv, "unread") for _ in range(4)]
        time.sleep(1.3)  # each has taken nothing of its answer for 1 s
        a, took = timed_call(srv, "GetRefreshTime")
        assert a.status == 200 and took < 1.0, took
        srv.wait_for("closed: 4 connections are open", 2)
        assert "answer not taken" not in srv.stdout_text()
        for s in unread:
            s.close()
    finally:
        srv.stop()


def test_at_the_cap_a_client_still_sending_is_not_cut_off(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start(env_extra={"TORVANE_TEST_LIMITS": "max_conn=2"})
    try:
        data = server_request("GetRefreshTime",
                              "<nUserID>0</nUserID><strUserName>x</strUserName>")
        slow = srv.connect()
        idle = srv.connect()  # sends nothing: the one to make room
        # The slow client sends its request a few bytes at a time over 2 s,
        # while a third client arrives at the cap.
        step = max(1, len(data) // 20)
        third = []
        for i in range(0, len(data), step):
            slow.sendall(data[i:i + step])
            time.sleep(0.1)
            if i >= step * 12 and not third:
                third.append(threading.Thread(target=lambda: third.append(
                    srv.call("GetRefreshTime").status)))
                third[0].start()
        third[0].join(5)
        assert third[1:] == [200]
        assert closed_by_server(idle, 1)
        answer = b""
        slow.settimeout(5)
        while True:
            chunk = slow.recv(65536)
            if not chunk:
                break
            answer += chunk
        assert answer.startswith(b"HTTP/1.1 200") and b"monitorPollingInterval" in answer
        slow.close()
        idle.close()
    finally:
        srv.stop()


def test_operations_never_overlap_and_keep_arrival_order(server):
    # Two clients load the same addresses at once: interleaved, one load's
    # emptying would make the other's adds find duplicates (a fault).
    paths = [load(server, 40000, "a.cfg"), load(server, 40000, "b.cfg")]
    answers = {}

    def run(i):
        answers[i] = server.call("LoadFile", f"<filepath>{paths[i]}</filepath>")

    threads = [threading.Thread(target=run, args=(i,)) for i in (0, 1)]
    for t in threads:
        t.start()
    server.wait_for("LoadFile begin.")
    # Arrives while a load runs: served after it, with the whole list.
    saved = os.path.join(server.workdir, "saved.cfg")
    save = server.call("SaveFile", f"<filepath>{saved}</filepath>")
    for t in threads:
        t.join(60)
    assert not answers[0].is_fault() and not answers[1].is_fault()
    assert save.status == 200
    assert os.path.getsize(saved) == 40000 * RECORD
    log = server.stdout_text()
    assert log.count("LoadFile begin. \n") == 2
    # Each operation's lines stay whole; the save comes after a load began.
    assert log.index("SaveFile begin \n") > log.index("LoadFile begin. \n")


def test_gsoapclose_is_served_beside_a_stalled_client(server):
    silent = server.connect()
    half = stalled(server, "half")
    t0 = time.monotonic()
    s = server.connect()
    s.sendall(server_request("GSoapClose"))
    assert server.wait_exit(5) == 0
    assert time.monotonic() - t0 < 2.0
    for c in (silent, half, s):
        c.close()


def test_a_pending_save_prompt_does_not_freeze_the_server(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start(env_extra=SHORT)
    try:
        box = {}
        t = threading.Thread(target=lambda: box.setdefault("a", srv.call("SaveFileAs")))
        t.start()
        srv.wait_for("Save the watched switches as")
        # Others are served while the operator thinks, and change the list.
        srv.call("AddMonitorAgent", "<strIpAddress>10.9.0.1</strIpAddress>"
                                    "<strMacAddr>00-00-00-00-00-00</strMacAddr>")
        a, took = timed_call(srv, "GetMonitorStatus", "<monitorNum>1</monitorNum>")
        assert not a.is_fault() and took < 1.0
        target = os.path.join(srv.workdir, "asked.cfg")
        srv.console(target + "\n")
        t.join(10)
        assert box["a"].body_element().find("errorcode").text == "0"
        # The list as it was when the name was given.
        assert os.path.getsize(target) == RECORD
        # No answer within the prompt time-out (1.5 s here): cancelled.
        t0 = time.monotonic()
        b = srv.call("SaveFileAs")
        assert b.body_element().find("errorcode").text == "0"
        assert 1.2 < time.monotonic() - t0 < 4
        srv.wait_for("Save cancelled: no answer within")
    finally:
        srv.stop()


def test_accept_survives_running_out_of_descriptors(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start(wrapper=["prlimit", "--nofile=16:16"])
    try:
        held = [srv.connect() for _ in range(16)]
        deadline = time.monotonic() + 5
        while "Too many open files" not in "".join(srv.errors):
            assert time.monotonic() < deadline, "".join(srv.errors)
            time.sleep(0.1)
        for s in held:
            s.close()
        a, took = timed_call(srv, "GetRefreshTime")
        assert a.status == 200
        assert srv.proc.poll() is None
    finally:
        srv.stop()


def test_every_descriptor_is_close_on_exec(server):
    server.call("EngineLayerStartup")
    server.call("SetFwFilePath", "<strFwFilePath>/etc/hostname</strFwFilePath>")
    silent = server.connect()
    time.sleep(1.5)  # the engine has made its sockets
    try:
        fd_dir = f"/proc/{server.proc.pid}/fdinfo"
        checked = 0
        for fd in os.listdir(fd_dir):
            if int(fd) <= 2:
                continue
            with open(os.path.join(fd_dir, fd)) as f:
                flags = int(re.search(r"flags:\s+(\d+)", f.read()).group(1), 8)
            assert flags & 0o2000000, f"descriptor {fd} ({os.readlink(f'/proc/{server.proc.pid}/fd/{fd}')})"
            checked += 1
        assert checked >= 5  # guard, listening sockets, a client, engine sockets
    finally:
        silent.close()


def test_log_text_of_concurrent_requests_stays_whole(server):
    threads = [threading.Thread(target=server.get, args=(f"/index.html?n={i}",))
               for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    log = server.stdout_text()
    for i in range(16):
        assert (f"get file msgbuf GET /index.html?n={i} HTTP/1.1."
                "get static file ./tools/js_client/index.html OK.") in log
    server.http(b"GET /jquery.js HTTP/1.0\r\n\r\n")
    server.wait_for("get file msgbuf GET /jquery.js HTTP/1.0.get static file")

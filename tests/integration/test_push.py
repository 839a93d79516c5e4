"""The push channel on 127.0.0.1:64568 and the operator console."""

import socket
import time

import pytest

from torvane import PUSH_PORT, recv_exactly


def connect_client(server, hello=b"hello"):
    c = server.connect(PUSH_PORT)
    c.sendall(hello)
    server.wait_for("we can send messge now! ")
    return c


def test_console_send_reaches_the_client_as_text_and_nul(server):
    c = connect_client(server)
    server.wait_for("Recive packet OK from 127.0.0.1: hello\n")
    assert "Accept connection from 127.0.0.1, " in server.stdout_text()
    server.console("send hello\n")
    assert recv_exactly(c, 6) == b"hello\0"
    server.console("resend\nx\n")  # "send" as a substring, words across lines
    assert recv_exactly(c, 2) == b"x\0"
    server.wait_for("Cmd Send: x. success!")
    c.close()


def test_hello_of_256_bytes_is_printed_whole(server):
    c = connect_client(server, b"A" * 256)
    server.wait_for("Recive packet OK from 127.0.0.1: " + "A" * 256 + "\n")
    c.close()


def test_exit_closes_listener_and_gsoapclose_still_notifies(server):
    c = connect_client(server)
    server.console("exit now\n")
    server.wait_for("we will exit the Pending Input ")
    time.sleep(0.3)
    with pytest.raises(OSError):
        server.connect(PUSH_PORT, timeout=2)
    s = server.connect()
    body = ('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV='
            '"http://schemas.xmlsoap.org/soap/envelope/" xmlns:ns="urn:Ostra"><SOAP-ENV:Body>'
            '<ns:GSoapClose/></SOAP-ENV:Body></SOAP-ENV:Envelope>').encode()
    s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\nContent-Length: %d"
              b"\r\n\r\n" % len(body) + body)
    t0 = time.monotonic()
    assert recv_exactly(c, 9) == b"app_exit\0"
    assert server.wait_exit() == 0
    elapsed = time.monotonic() - t0
    assert 0.3 < elapsed < 5
    s.settimeout(5)
    assert s.recv(100) == b""  # closed without a SOAP response
    server.wait_for("GSoapClose begin. ")


def test_gsoapclose_without_client_reports_fail_and_exits_zero(server):
    a = server.call("GSoapClose")
    assert a.raw == b""
    assert server.wait_exit() == 0
    server.wait_for("Cmd Send: app_exit. fail!")


def test_vanished_client_is_a_failed_send_not_a_dead_server(server):
    c = connect_client(server)
    c.close()
    time.sleep(0.2)
    for i in range(3):
        server.console(f"send gone{i}\n")
    server.wait_for("Cmd Send: gone2. fail!")
    assert server.proc.poll() is None
    assert server.call("GetRefreshTime").status == 200


def test_second_client_is_never_served(server):
    first = connect_client(server)
    second = server.connect(PUSH_PORT)  # completes the handshake (backlog)
    second.sendall(b"me too")
    server.console("send one\n")
    assert recv_exactly(first, 4) == b"one\0"
    second.settimeout(0.5)
    with pytest.raises(socket.timeout):
        second.recv(10)
    first.close()
    second.close()


def test_console_at_end_of_input_does_not_spin(server):
    c = connect_client(server)
    server.proc.stdin.close()
    time.sleep(0.5)
    pid = server.proc.pid
    # Find the server itself (ip netns exec execs it in place).
    def cpu_ticks():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    before = cpu_ticks()
    time.sleep(1.0)
    assert cpu_ticks() - before < 20  # well under 20% of one core
    assert server.call("GetRefreshTime").status == 200
    c.close()


def test_a_client_that_stops_reading_never_gets_a_garbled_message(server):
    # A small receive window, and nothing read: the server's send buffer fills.
    c = server.lab.socket(server.ns, socket.AF_INET, socket.SOCK_STREAM)
    c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    c.settimeout(10)
    c.connect(("127.0.0.1", PUSH_PORT))
    c.sendall(b"hello")
    server.wait_for("we can send messge now! ")
    words = [(b"%05d" % i) + b"w" * 250 for i in range(20000)]  # 255 bytes, each unique
    server.console("".join("send %s\n" % w.decode() for w in words))
    server.wait_for(". fail!", timeout=60)
    # Everything that reached the client splits into whole messages, in
    # order; only a cut one may end the stream, which the server closed.
    data, closed = b"", False
    c.settimeout(3)
    try:
        while True:
            chunk = c.recv(1 << 20)
            if not chunk:
                closed = True
                break
            data += chunk
    except socket.timeout:
        pass
    *whole, tail = data.split(b"\0")
    garbled = [m[:12] for m in whole if m not in words]
    assert not garbled and whole == words[:len(whole)], garbled[:3]
    assert len(whole) < len(words) and words[len(whole)].startswith(tail)
    assert closed
    server.wait_for("Push client closed: the client read nothing for 2 s, ", timeout=5)
    # Later notifications find no client and leave the server serving.
    server.console("send later\n")
    server.wait_for("Cmd Send: later. fail!", timeout=60)
    assert server.call("GetRefreshTime").status == 200
    c.close()

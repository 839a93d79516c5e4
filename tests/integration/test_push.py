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

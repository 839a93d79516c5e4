"""Engine start, its error codes, and the two intervals."""

import os
import socket
import subprocess

import pytest

from torvane import ECF, ROOT, TorvaneServer


def value(answer, name):
    return answer.body_element().find(name).text


@pytest.fixture
def server(lab):
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    yield srv
    srv.stop()


def test_startup_with_valid_settings_answers_zero_and_once(server):
    server.start()
    a = server.call("EngineLayerStartup")
    assert value(a, "errorcode") == "0"
    server.wait_for("EngineLayerStartup begin. ")
    assert value(server.call("EngineLayerStartup"), "errorcode") == "0"
    assert value(server.call("GetRefreshTime"), "monitorPollingInterval") == "15"
    assert value(server.call("GetUtilityGroupInterval"), "groupInterval") == "120"


def test_startup_without_settings_file_answers_one(server):
    os.remove(os.path.join(server.workdir, "cfg", "define.ecf"))
    server.start()
    assert value(server.call("EngineLayerStartup"), "errorcode") == "1"
    assert value(server.call("GetRefreshTime"), "monitorPollingInterval") == "0"


def test_startup_with_bad_checksum_answers_one(server):
    path = os.path.join(server.workdir, "cfg", "define.ecf")
    data = bytearray(open(path, "rb").read())
    data[-2] ^= 0x01
    open(path, "wb").write(bytes(data))
    server.start()
    assert value(server.call("EngineLayerStartup"), "errorcode") == "1"


def test_startup_with_discovery_port_taken_answers_two(lab, server):
    holder = lab.socket(server.ns, socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 64513))  # no SO_REUSEADDR: forbids sharing
    try:
        server.start()
        assert value(server.call("EngineLayerStartup"), "errorcode") == "2"
        server.wait_for("check socket WSAGetLastError() = ")
        assert value(server.call("EngineLayerStartup"), "errorcode") == "2"
    finally:
        holder.close()


def test_refresh_time_is_stored_in_the_settings_file(server):
    server.start()
    server.call("EngineLayerStartup")
    assert value(server.call("SetRefreshTime",
                             "<monitorPollingInterval>30</monitorPollingInterval>"),
                 "errorcode") == "0"
    assert value(server.call("GetRefreshTimeEx"), "monitorPollingInterval") == "30"
    assert value(server.call("SetUtilityGroupInterval", "<groupInterval>0</groupInterval>"),
                 "errorcode") == "0"
    assert value(server.call("GetUtilityGroupInterval"), "groupInterval") == "0"
    # The file changes only at the next SetRefreshTime, with both values.
    server.call("SetRefreshTime", "<monitorPollingInterval>31</monitorPollingInterval>")
    shown = subprocess.run([ECF, "print", os.path.join(server.workdir, "cfg", "define.ecf")],
                           capture_output=True, text=True, check=True).stdout
    assert "monitor_polling_interval=31" in shown
    assert "igmp_report_interval=0" in shown
    assert "udp_discovery_port=fc01" in shown
    assert "multicast_group=239.255.255.100" in shown


def test_intervals_use_32_bit_arithmetic(server):
    server.start()
    server.call("SetUtilityGroupInterval", "<groupInterval>4294968</groupInterval>")
    # 4294968 * 1000 wraps to 704 ms, which reads back as 0 s.
    assert value(server.call("GetUtilityGroupInterval"), "groupInterval") == "0"


def ecf_lines(server):
    path = os.path.join(server.workdir, "cfg", "define.ecf")
    return subprocess.run([ECF, "print", path], capture_output=True, text=True,
                          check=True).stdout.splitlines()


def test_intervals_set_before_the_engine_start(server):
    server.start()
    before = ecf_lines(server)
    assert "igmp_report_interval=120" in before
    # The writer changes the polling line only: the IGMP interval is not
    # known before the file is read, and the other lines stay.
    assert value(server.call("SetRefreshTime",
                             "<monitorPollingInterval>30</monitorPollingInterval>"),
                 "errorcode") == "0"
    assert ecf_lines(server) == [line if not line.startswith("monitor_polling_interval=")
                                 else "monitor_polling_interval=30" for line in before]
    # The client's IGMP interval, given before the start, outlives it.
    server.call("SetUtilityGroupInterval", "<groupInterval>7</groupInterval>")
    assert value(server.call("EngineLayerStartup"), "errorcode") == "0"
    assert value(server.call("GetUtilityGroupInterval"), "groupInterval") == "7"
    assert value(server.call("GetRefreshTime"), "monitorPollingInterval") == "30"
    server.call("SetRefreshTime", "<monitorPollingInterval>31</monitorPollingInterval>")
    after = ecf_lines(server)
    assert "monitor_polling_interval=31" in after and "igmp_report_interval=7" in after
    assert after[:3] == before[:3]

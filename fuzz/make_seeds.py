#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are a few valid messages of each kind, made with the switch
simulator's own codec; run again after a message format changes.
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import switchsim  # noqa: E402

CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def datagrams():
    plain = switchsim.Switch({"mac": "00-1B-2C-3D-4E-01", "ip": "10.1.2.3",
                              "systemName": "core-{n}", "location": "rack 2"}, 1)
    utf8 = switchsim.Switch({"mac": "00-1B-2C-3D-4E-02", "ip": "10.1.2.4",
                             "systemName": "Küche-Ω", "funBitmap0": 0x20000000 | 0xFFFF}, 2)
    loader = switchsim.Switch({"mac": "00-1B-2C-3D-4E-03", "ip": "0.0.0.0", "loader": True}, 3)
    write("fuzz_datagram_parse", "discovery_reply", plain.discovery_reply(7, 0))
    write("fuzz_datagram_parse", "discovery_reply_utf8", utf8.discovery_reply(8, 0))
    write("fuzz_datagram_parse", "monitor_reply", plain.poll_reply(9, 0))
    write("fuzz_datagram_parse", "set_reply", plain.set_reply(10, 0))
    write("fuzz_datagram_parse", "trap16", plain.trap16("port 3 link down", 0))
    write("fuzz_datagram_parse", "loader_reply", loader.discovery_reply(11, 0))
    write("fuzz_datagram_parse", "header_only", plain.header(2, 12, 0))


def settings():
    text = ("magic_cookie=00000000\r\nudp_discovery_port=fc01\r\n"
            "multicast_group=239.255.255.100\r\nmonitor_polling_interval=15\r\n"
            "igmp_report_interval=120")
    # Even first byte: plain text, encoded by the target; odd: stored bytes.
    write("fuzz_settings_file", "plain_default", b"\0" + text.encode())
    write("fuzz_settings_file", "plain_lf_only", b"\0" + text.replace("\r\n", "\n").encode())
    write("fuzz_settings_file", "plain_keys_missing", b"\0magic_cookie=0A0B0C0D\r\n")
    stored = os.path.join(HERE, "..", "cfg", "define.ecf")
    if os.path.exists(stored):
        with open(stored, "rb") as f:
            write("fuzz_settings_file", "stored_define_ecf", b"\1" + f.read())


def conversions():
    # Consumed from the front: MAC, a MAC text, an address, an address text,
    # one character, wide units, bytes, then an agent record from the end.
    for i, (mac_text, ip_text, raw) in enumerate((
            ("00-1b-2C-3d-4E-5f", "192.168.1.20", "plain"),
            ("zz-1B-2C-3D-4E-5F", " -1.300.2.3", "caf\xe9"),
            ("00-1B-2C-3D-4E-5F", "10.0.0.1", "Küche"))):
        body = bytes(range(i, i + 6)) + mac_text.encode() + bytes([i + 1, 2, 3, 4])
        body += ip_text.encode() + struct.pack("<I", 0x10FFFF - i)
        body += raw.encode("utf-8", "surrogateescape")
        write("fuzz_convert_roundtrip", "case%d" % i, body + bytes(620 - i * 200))


def upgrades():
    # Seeds steer the choices a little; the target reads them as numbers.
    write("fuzz_upgrade_engine", "single_switch", bytes([0, 1, 0, 0, 3, 1, 0]) + bytes(64))
    write("fuzz_upgrade_engine", "three_switches", bytes([2, 2, 1, 1, 2, 2, 1, 2]) + bytes(range(128)))
    write("fuzz_upgrade_engine", "ticks", bytes([0] * 8 + [0x80] * 200))
    # Read from the end: switch 0 always does what the engine waits for, so
    # the first entry succeeds, the next two start and fail.
    write("fuzz_upgrade_engine", "cooperative_switch", bytes([5, 0] * 100))


def soap():
    def post(op, params="", soap12=False):
        env = ("http://www.w3.org/2003/05/soap-envelope" if soap12
               else "http://schemas.xmlsoap.org/soap/envelope/")
        body = ('<?xml version="1.0" encoding="UTF-8"?>'
                f'<SOAP-ENV:Envelope xmlns:SOAP-ENV="{env}" xmlns:ns="urn:Ostra">'
                f'<SOAP-ENV:Body><ns:{op}>{params}</ns:{op}></SOAP-ENV:Body>'
                '</SOAP-ENV:Envelope>').encode()
        return (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
                b"Content-Length: %d\r\n\r\n" % len(body)) + body
    info = ("<vecSwitchInfo><macAddr>00-1B-2C-3D-4E-5F</macAddr><systemName>sw</systemName>"
            "<agentIpAddr>10.1.2.3</agentIpAddr><oldPassword>pw</oldPassword></vecSwitchInfo>")
    seeds = {
        "get_index": b"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n",
        "get_root": b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
        "switch_list": post("GetSwitchInfoList", "<nUserID>1</nUserID><strUserName>a</strUserName>"),
        "refresh_time_soap12": post("GetRefreshTime", soap12=True),
        "set_refresh_time": post("SetRefreshTime", "<monitorPollingInterval>20</monitorPollingInterval>"),
        "add_monitor": post("AddMonitorAgent", info),
        "monitor_status": post("GetMonitorStatus"),
        "set_device_cfg_ex": post("SetDeviceCfgEx", info),
        "add_upgrade_ex": post("AddUpgradeAgentEx", info),
        "upgrade_status": post("GetUpgradeStatus", "<macAddr>00-1B-2C-3D-4E-5F</macAddr>"),
        "req_xml_list": post("GetReqXmlList"),
        "load_file": post("LoadFile", "<filepath>/nonexistent/x.cfg</filepath>"),
        "save_file": post("SaveFile", "<filepath>/tmp/x.cfg</filepath>"),
        "engine_startup": post("EngineLayerStartup"),
        "close": post("GSoapClose"),
        "unknown": post("NoSuchOperation"),
    }
    for name, data in seeds.items():
        write("fuzz_soap_request", name, data)


if __name__ == "__main__":
    datagrams()
    settings()
    conversions()
    upgrades()
    soap()

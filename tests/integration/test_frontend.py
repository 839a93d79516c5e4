"""The SOAP/HTTP front end: start-up, the GET handler, dispatch, bad input."""

import os
import signal
import socket
import time
import xml.etree.ElementTree as ET

from torvane import BINARY, NS, ROOT, WSDL, TorvaneServer

OPERATIONS = [
    "GetSwitchInfoList", "SetDiscoverToAgents", "GetReqXmlList", "GetReqXmlFile",
    "SetUtilityGroupInterval", "GetUtilityGroupInterval", "SetRefreshTime", "GetRefreshTime",
    "GetRefreshTimeEx", "SetTrapHwnd", "GetTrapList", "AddMonitorAgent", "DelMonitorAgent",
    "GetMonitorStatus", "AddUpgradeAgent", "SetFwFilePath", "StartUpgrade", "EndUpgrade",
    "GetUpgradeStatus", "GetUpgradingAgent", "SetDeviceCfg", "GetOperateResult",
    "EngineLayerStartup", "SaveFile", "SaveFileAs", "LoadFile", "AddUpgradeAgentEx",
    "SetDeviceCfgEx", "GSoapClose",
]


def test_startup_line_and_second_instance_exits_silently(lab, server):
    assert "Socket connection successful: master socket = " in server.stdout_text()
    second = lab.run(server.ns, [BINARY], cwd=server.workdir, timeout=10)
    assert second.returncode == 0
    assert second.stdout == "" and second.stderr == ""
    assert server.call("GetRefreshTime").status == 200


def test_guard_and_port_are_free_right_after_a_kill(lab):
    ns = lab.namespace("srv")
    first = TorvaneServer(lab, ns).prepare().start()
    # Leave closed connections in TIME_WAIT on the server side.
    for _ in range(3):
        assert first.call("GetRefreshTime").status == 200
    first.proc.send_signal(signal.SIGKILL)
    first.proc.wait(timeout=10)
    second = TorvaneServer(lab, ns).prepare().start()
    try:
        assert second.call("GetRefreshTime").status == 200
    finally:
        second.stop()
        first.stop()


def test_port_taken_exits_minus_one_before_the_startup_line(lab):
    ns = lab.namespace("srv")
    holder = lab.socket(ns, socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("0.0.0.0", 64567))
    holder.listen(1)
    try:
        srv = TorvaneServer(lab, ns).prepare().start(wait=False)
        assert srv.wait_exit() == 255
        time.sleep(0.2)
        assert "Socket connection successful" not in srv.stdout_text()
        assert "".join(srv.errors).strip() != ""
        srv.stop()
    finally:
        holder.close()


def test_get_handler_serves_the_two_files(server):
    index = open(os.path.join(server.workdir, "tools/js_client/index.html"), "wb")
    index.write(b"<html>index</html>")
    index.close()
    with open(os.path.join(server.workdir, "tools/js_client/jquery.js"), "wb") as f:
        f.write(b"var jq = 1;\0after the NUL")

    a = server.get("/index.html")
    assert a.status == 200
    assert a.headers["content-type"] == "text/html; charset=utf-8"
    assert a.body == b"<html>index</html>"

    b = server.get("/lib/jquery.js?v=2")
    assert b.headers["content-type"] == "text/html; charset=utf-8"
    assert b.body == b"var jq = 1;"  # cut at the NUL

    both = server.get("/index.html?x=jquery.js")
    assert both.body == b"var jq = 1;"

    root = server.get("/")
    assert root.status == 200
    assert root.body == b" <HTML> SOAP method should be post. </HTML> "
    assert len(root.body) == 44
    server.wait_for("get file msgbuf GET / HTTP/1.1.")
    server.wait_for("get static file ./tools/js_client/jquery.js OK.")


def test_get_of_a_missing_file(server):
    os.remove(os.path.join(server.workdir, "tools/js_client/index.html")) if os.path.exists(
        os.path.join(server.workdir, "tools/js_client/index.html")) else None
    a = server.get("/index.html")
    assert a.status == 200
    assert a.body == b" <HTML> the file not exist. </HTML> "
    assert len(a.body) == 36
    server.wait_for("ERR: file ./tools/js_client/index.html, not exist. \n")


def test_every_request_element_is_dispatched(server):
    for op in OPERATIONS:
        if op == "GSoapClose":
            continue
        if op == "SaveFileAs":
            server.console("\n")  # the console save dialog: an empty name cancels
        a = server.call(op)
        text = a.body.decode(errors="replace")
        assert "not implemented" not in text, op
        assert a.status in (200, 500), op
    bogus = server.call("NoSuchOperation")
    assert bogus.status == 500 and bogus.is_fault()
    assert "not implemented" in bogus.body.decode()
    assert server.call("GetRefreshTime").status == 200


def test_responses_soap11_and_soap12(server):
    a = server.call("GetRefreshTimeEx", "<nUserID>1</nUserID><strUserName>x</strUserName>")
    assert a.headers["content-type"].startswith("text/xml; charset=utf-8")
    el = a.body_element()
    assert el.tag == f"{{{NS}}}GetRefreshTimeExResponse"
    assert [c.tag for c in el] == ["monitorPollingInterval"]
    b = server.call("GetRefreshTime", soap12=True)
    assert b.status == 200
    assert b.headers["content-type"].startswith("application/soap+xml; charset=utf-8")
    assert b.body_element().tag == f"{{{NS}}}GetRefreshTimeResponse"
    assert "xsi:type" not in a.body.decode() and "href=" not in a.body.decode()


def test_tReqXmlList_is_unqualified(server):
    for name in ("b.req.xml", "a.req.xml"):
        with open(os.path.join(server.workdir, "auto", name), "w") as f:
            f.write("<x/>")
    answer = server.call("GetReqXmlList")
    el = answer.body_element()
    assert el.tag == "tReqXmlList"  # no namespace at all
    # Inside the envelope every other answer has, prefixes included.
    assert answer.body.split(b"<tReqXmlList>")[0] == server.call(
        "GetRefreshTime").body.split(b"<ns:GetRefreshTimeResponse>")[0]
    assert [c.tag for c in el][:2] == ["nErrorCode", "nNum"]
    assert el.find("nNum").text == str(len(el.findall("ReqXml")))
    assert {"a.req.xml", "b.req.xml"} <= {r.text for r in el.findall("ReqXml")}
    # The next answer is written with the usual prefixes again.
    assert b"SOAP-ENV:Envelope" in server.call("GetRefreshTime").body


def test_reading_rules_order_missing_and_unknown_fields(server):
    base = server.call("SetRefreshTime", "<monitorPollingInterval>7</monitorPollingInterval>")
    assert base.body_element().find("errorcode").text == "0"
    odd = server.call("GetRefreshTimeEx",
                      "<strUserName>u</strUserName><junk><deep/></junk><nUserID>3</nUserID>")
    assert odd.body_element().find("monitorPollingInterval").text == "7"
    # A missing parameter takes its default (0).
    server.call("SetRefreshTime")
    assert server.call("GetRefreshTime").body_element().find(
        "monitorPollingInterval").text == "0"


def test_bad_input_gets_a_fault_or_a_close_and_serving_goes_on(server):
    # A value that does not fit its type.
    a = server.call("SetUtilityGroupInterval", "<groupInterval>99999999999</groupInterval>")
    assert a.status == 500 and a.is_fault()
    b = server.call("SetUtilityGroupInterval", "<groupInterval>ten</groupInterval>")
    assert b.is_fault()
    # Malformed XML.
    c = server.post('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="x"><a><b></a>')
    assert c.status in (0, 400, 500)  # a fault, or the connection closed
    d = server.post('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV='
                    '"http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><a><b></a>')
    assert d.status in (0, 400, 500)
    # A megabyte of garbage, malformed HTTP, a client that leaves at once.
    server.http(b"\x00\xff" * 500000, half_close=True)
    server.http(b"NONSENSE\r\n\r\n", half_close=True)
    server.http(b"POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n<abc", half_close=True)
    s = server.connect()
    s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\n")
    s.close()
    for method in ("PUT", "DELETE"):
        server.http(f"{method} / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n".encode(),
                    half_close=True)
    assert server.call("GetRefreshTime").status == 200
    assert server.proc.poll() is None


def test_generated_wsdl_describes_the_contract():
    root = ET.parse(WSDL).getroot()  # well-formed
    text = open(WSDL).read()
    for name in ("newPasseord", "transmitedSize", "upgradeEreaseFlashTime", "is-upgrading",
                 "tReqXmlList", "SwitchInfoList", "urn:Ostra"):
        assert name in text, name
    ops = {op.get("name") for op in root.iter("{http://schemas.xmlsoap.org/wsdl/}operation")}
    assert set(OPERATIONS) <= ops


def test_oversized_request_is_refused_and_serving_goes_on(server):
    # An unknown element is skipped, so only the size tells the two apart.
    big = server.call("GetRefreshTime", "<junk>" + "a" * (9 << 20) + "</junk>")
    assert big.is_fault()
    ok = server.call("GetRefreshTime", "<junk>" + "a" * (1 << 20) + "</junk>")
    assert ok.status == 200 and not ok.is_fault()

"""The demo: its lab (tools/demo.py build_topology) with the server, driven
by SOAP as the page drives it, and the demo's console between the terminal
and the server.
"""

import io
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

from torvane import ROOT, TorvaneServer

sys.path.insert(0, os.path.join(ROOT, "tools"))
import demo  # noqa: E402

FACTORY_MAC = "02-00-5E-10-0A-02"


class DemoServer:
    def __init__(self, lab, tmp_path, traps):
        self.server = TorvaneServer(lab, lab.namespace("server")).prepare()
        settings = demo.engine_settings(self.server.workdir)
        self.topo = demo.build_topology(lab, str(tmp_path), settings, traps=traps, record=True)
        self.server.start()
        assert self.value("EngineLayerStartup", "errorcode") == "0"

    def call(self, op, xml=""):
        answer = self.server.call(op, xml)
        assert not answer.is_fault(), answer.body
        return answer.body_element()

    def value(self, op, name, xml=""):
        return self.call(op, xml).find(name).text

    def switches(self):
        """systemName or MAC -> the SwitchInfo element of GetSwitchInfoList."""
        out = {}
        for el in self.call("GetSwitchInfoList").findall("arrList"):
            out[el.findtext("systemName") or el.findtext("macAddr")] = el
        return out

    def discover(self, want, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            assert self.value("SetDiscoverToAgents", "errorcode") == "0"
            time.sleep(1.0)
            found = self.switches()
            if want(found) or time.monotonic() > deadline:
                return found

    def watched(self, count):
        """(address, MAC, alive) of the first count watched switches."""
        el = self.call("GetMonitorStatus", "<monitorNum>%d</monitorNum>" % count)
        return [(m.findtext("monitorInfo/agentIpAddr"), m.findtext("monitorInfo/macAddr"),
                 m.findtext("isAlive")) for m in el.findall("arrList")]

    def close(self):
        self.server.stop()


@pytest.fixture
def demo_lab(lab, tmp_path):
    d = DemoServer(lab, tmp_path, traps=[1, 2])
    try:
        yield d
    finally:
        d.close()


def switch_info(el):
    """A SwitchInfo element of the list, as AddUpgradeAgent takes it."""
    copy = ET.Element("vecSwitchInfo")
    copy.extend(list(el))
    return ET.tostring(copy, encoding="unicode")


def test_demo_switches_upgrade_move_and_send_traps(demo_lab, tmp_path):
    d = demo_lab
    assert d.value("SetRefreshTime", "errorcode",
                   "<monitorPollingInterval>2</monitorPollingInterval>") == "0"
    found = d.discover(lambda f: len(f) == 5)
    assert sorted(found) == [FACTORY_MAC, "sw-a1", "sw-a3", "sw-b1", "sw-b2"], \
        d.server.stdout_text()[-3000:]
    assert found["sw-a3"].findtext("isLoaderMode") == "1"

    # Watch the factory-default switch, then give it an address of lan-a.
    assert d.value("AddMonitorAgent", "errorcode", "<strIpAddress>192.168.0.1</strIpAddress>"
                   "<strMacAddr>%s</strMacAddr>" % FACTORY_MAC) == "0"
    time.sleep(2.5)   # polled once: its entry counts replies from now on
    params = dict(systemName="sw-a2", location="rack 2", agentIpAddr="10.10.1.12",
                  agentNetmask="255.255.255.0", agentGateway="10.10.1.254",
                  trapIpAddr="10.10.1.1", newPasseord="", oldPassword="password", dhcpMode=2,
                  groupTimer=60, snmpMode=2, macAddr=FACTORY_MAC, operate=0)
    assert d.value("SetDeviceCfgEx", "errorcode",
                   "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())) == "0"

    # Upgrade three switches, the one in loader mode among them.
    firmware = demo.write_sample_firmware(str(tmp_path / "firmware" / "sim.bin"))
    assert d.value("SetFwFilePath", "errorcode",
                   "<strFwFilePath>%s</strFwFilePath>" % firmware) == "0"
    names = ("sw-a1", "sw-b2", "sw-a3")
    assert d.value("AddUpgradeAgent", "errorcode",
                   "".join(switch_info(found[n]) for n in names)) == "0"
    assert d.value("StartUpgrade", "errorcode",
                   "<nUserID>0</nUserID><strUserName>x</strUserName>") == "0"
    macs = [found[n].findtext("macAddr") for n in names]
    deadline = time.monotonic() + 120
    while True:
        states = [d.call("GetUpgradeStatus", "<strMacAddr>%s</strMacAddr>" % m) for m in macs]
        codes = [(s.findtext("upgradeStatus"), s.findtext("failedCode")) for s in states]
        if all(c[0] in ("9", "10") for c in codes) or time.monotonic() > deadline:
            break
        time.sleep(1)
    assert codes == [("9", "0")] * 3, d.server.stdout_text()[-3000:]

    # The moved switch stayed alive in the watched list, at its new address.
    assert d.watched(1) == [("10.10.1.12", FACTORY_MAC, "1")]

    found = d.discover(lambda f: all(f.get(n) is not None
                                     and f[n].findtext("fwVersion") == demo.FIRMWARE_VERSION
                                     for n in names))
    assert [found[n].findtext("fwVersion") for n in names] == [demo.FIRMWARE_VERSION] * 3
    assert found["sw-a3"].findtext("isLoaderMode") == "0"
    assert found["sw-a2"].findtext("agentIpAddr") == "10.10.1.12"

    # Timed traps: a port of sw-a1 or sw-b2 went down (and maybe up again).
    traps = d.call("GetTrapList", "<nUserID>0</nUserID><strUserName>x</strUserName>")
    texts = [(t.findtext("ip"), t.findtext("string"), t.findtext("location"))
             for t in traps.findall("arrList")]
    assert texts, "no trap in %s" % ET.tostring(traps)
    for ip, text, location in texts:
        assert (ip, location) in (("10.10.1.11", "rack 1"), ("10.10.2.12", "hall"))
        assert text.startswith("Port ") and text.endswith((" link down", " link up"))


FAKE_SERVER = r'''
import sys, time
print("Server push socket start to listen, port =64568.", flush=True)
time.sleep(0.5)
for _ in range(3):
    print("GetTrapList begin. ", flush=True)
sys.stdout.write("get file msgbuf GET /index.html HTTP/1.1.")
sys.stdout.write("get static file ./tools/js_client/index.html OK.")
sys.stdout.write("Save as (empty line cancels): ")
sys.stdout.flush()
name = sys.stdin.readline().strip()
print("saved " + name, flush=True)
print("a fault", file=sys.stderr, flush=True)
'''


def test_demo_console_shows_prompts_and_changes_but_not_polling(tmp_path):
    proc = subprocess.Popen([sys.executable, "-c", FAKE_SERVER], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = io.StringIO()
    r, w = os.pipe()
    terminal = os.fdopen(r)
    console = demo.Console(proc, str(tmp_path / "server.log"), out=out, inp=terminal)
    try:
        console.start()
        os.write(w, b"typed early\n")   # not an answer: the server asks nothing yet
        deadline = time.monotonic() + 10
        while "Save as" not in out.getvalue() and time.monotonic() < deadline:
            time.sleep(0.05)
        # The prompt shows before its line ends.
        assert out.getvalue().endswith("Save as (empty line cancels): ")
        os.write(w, b"watched.cfg\n")
        assert proc.wait(timeout=10) == 0
        deadline = time.monotonic() + 5
        while not ("a fault" in out.getvalue() and "saved" in out.getvalue()) \
                and time.monotonic() < deadline:
            time.sleep(0.05)
        shown = out.getvalue()
        assert "GetTrapList" not in shown and "(not sent" in shown
        assert "saved watched.cfg\n" in shown and "a fault\n" in shown
        assert "get file msgbuf GET /index.html HTTP/1.1.\nget static file" in shown
        console.close()
        log = (tmp_path / "server.log").read_text()
        assert log.count("GetTrapList begin.") == 3 and "> watched.cfg" in log
    finally:
        os.close(w)
        terminal.close()
        if proc.poll() is None:
            proc.kill()

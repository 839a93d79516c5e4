"""Firmware upgrades on the wire: the upgrade operations against simulated
switches, and against Debian's TFTP server, in the namespace lab.

The server sits on 10.1.0.1. The switches share one namespace, each on an
interface of its own whose MAC is the switch's MAC, because the engine pins
every switch under upgrade to its MAC with a static ARP entry. Slow cases
(time-outs, restarts, the reboot wait) run side by side in one test.
"""

import hashlib
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
from xml.sax.saxutils import escape

import pytest

import torvane
from lab import wait_for_line
from torvane import ROOT, SWITCH_INFO_FIELDS, TorvaneServer

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
ECF = torvane.ECF

P = 64513
TFTP_PORT = 64517
COOKIE = 0x0A0B0C0D
SERVER_IP = "10.1.0.1"
STRAY_IP = "10.1.0.99"
SECOND_IP = "10.1.0.2"

TEXT_FIELDS = {"productName", "systemName", "location", "agentIpAddr", "agentNetmask",
               "agentGateway", "trapIpAddr", "newPasseord", "oldPassword", "fwVersion",
               "lldpAuthenkey", "errString", "macAddr"}


def switch(n, **behaviour):
    """A simulated switch: number n gives its address and MAC."""
    sw = dict(mac="02-AB-CD-00-00-%02X" % (0x20 + n), ip="10.1.0.%d" % (10 + n),
              password="pw%d" % n, reboot_ms=300, new_fw_version="2.0.%d" % n)
    sw.update(behaviour)
    return sw


def switch_info_xml(sw, reboot=1, erase=0, password=None):
    info = {k: ("" if k in TEXT_FIELDS else 0) for k in SWITCH_INFO_FIELDS}
    info.update(agentIpAddr=sw["ip"], agentNetmask="255.255.255.0", macAddr=sw["mac"],
                oldPassword=sw["password"] if password is None else password,
                upgradeRebootTime=reboot, upgradeEreaseFlashTime=erase)
    return "<vecSwitchInfo>%s</vecSwitchInfo>" % "".join(
        "<%s>%s</%s>" % (k, escape(str(info[k])), k) for k in SWITCH_INFO_FIELDS)


def header(msg_type, mac, seq, status=0, cookie=COOKIE):
    return (struct.pack(">HH", 2, 0) + mac + struct.pack(">HHHI", 0, msg_type, status, cookie)
            + bytes(6) + struct.pack(">H", seq) + bytes(12))


def mac_bytes(text):
    return bytes.fromhex(text.replace("-", ""))


def bursts(times, gap=0.3):
    """Times grouped into sends: one broadcast reaches every interface of the
    switch namespace, so one send is recorded once per interface."""
    out = []
    for t in sorted(times):
        if not out or t - out[-1][-1] > gap:
            out.append([t])
        else:
            out[-1].append(t)
    return [group[0] for group in out]


class UpgradeLab:
    """The server and a switch simulator playing the given switches."""

    def __init__(self, lab, tmp_path, switches, tftp=True, extra_addresses=(), other_lan=None):
        self.lab, self.tmp = lab, tmp_path
        self.switches = {sw["mac"]: sw for sw in switches}
        seg = lab.segment("lan")
        self.srv_ns = lab.namespace("srv")
        lab.attach(self.srv_ns, seg, SERVER_IP + "/24")
        for cidr in extra_addresses:
            lab.add_address(self.srv_ns, "eth0", cidr)
        if other_lan is not None:  # a second adapter (eth1) on a segment of its own
            lab.attach(self.srv_ns, lab.segment("other"), other_lan)
        self.sw_ns = lab.namespace("sw")
        # Each interface answers ARP only for its own address.
        lab.run(self.sw_ns, ["sysctl", "-qw", "net.ipv4.conf.all.arp_ignore=1",
                             "net.ipv4.conf.all.arp_announce=2"])
        sim_switches = []
        for i, sw in enumerate(switches):
            ifname = lab.attach(self.sw_ns, seg, sw["ip"] + "/24",
                                mac=sw["mac"].replace("-", ":"))
            assert ifname == "eth%d" % i
            one = {k: v for k, v in sw.items()}
            one["interface"] = ifname
            if not tftp:
                one["tftp"] = False
            sim_switches.append(one)
        self.record = tmp_path / "record.jsonl"
        doc = dict(cookie=COOKIE, port=P, record=str(self.record), switches=sim_switches)
        (tmp_path / "sim.json").write_text(json.dumps(doc))
        self.sim = lab.popen(self.sw_ns, [sys.executable, SWITCHSIM, str(tmp_path / "sim.json")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.sim.stdout, "switchsim ready", 15)
        self.server = TorvaneServer(lab, self.srv_ns).prepare()
        subprocess.run([ECF, "write", os.path.join(self.server.workdir, "cfg", "define.ecf")],
                       input="magic_cookie=%08x\n" % COOKIE, text=True, check=True)
        self.server.start()
        assert self.value("EngineLayerStartup", "errorcode") == "0"
        self._wait_for_sockets()

    def _wait_for_sockets(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            out = self.lab.run(self.srv_ns, ["ss", "-Huln"]).stdout
            if ":%d " % P in out and ":%d " % TFTP_PORT in out:
                return
            time.sleep(0.05)
        raise AssertionError("engine sockets did not open: " + out)

    # ----- operations

    def call(self, op, xml=""):
        return self.server.call(op, xml)

    def value(self, op, name, xml=""):
        return self.call(op, xml).body_element().find(name).text

    def set_fw(self, path):
        return self.value("SetFwFilePath", "errorcode",
                          "<strFwFilePath>%s</strFwFilePath>" % escape(str(path)))

    def add(self, *infos):
        return self.call("AddUpgradeAgent", "".join(infos))

    def start(self):
        return self.call("StartUpgrade", "<nUserID>0</nUserID><strUserName>x</strUserName>")

    def end(self):
        return self.value("EndUpgrade", "errorcode",
                          "<nUserID>0</nUserID><strUserName>x</strUserName>")

    def status(self, mac):
        """GetUpgradeStatus as a dict, agentInfo as a nested dict; None for a fault."""
        a = self.call("GetUpgradeStatus", "<strMacAddr>%s</strMacAddr>" % mac)
        if a.is_fault():
            return None
        el = a.body_element()
        out = {c.tag: (c.text or "") for c in el if c.tag != "agentInfo"}
        out["agentInfo"] = {c.tag: (c.text or "") for c in el.find("agentInfo")}
        for k in ("is-upgrading", "upgradeStatus", "fwFileSize", "transmitedSize", "failedCode"):
            out[k] = int(out[k])
        return out

    def monitored_mac(self):
        el = self.call("GetMonitorStatus", "<monitorNum>1</monitorNum>").body_element()
        info = el.find("arrList/monitorInfo")
        return None if info is None else info.find("macAddr").text

    def upgrading(self):
        el = self.call("GetUpgradingAgent").body_element()
        return el.find("strMacAddr").text, el.find("strIpAddr").text

    def wait_state(self, mac, states, timeout):
        deadline = time.monotonic() + timeout
        while True:
            s = self.status(mac)
            if s is not None and s["upgradeStatus"] in states:
                return s
            if time.monotonic() > deadline:
                raise AssertionError("%s never reached %s; last %r" % (mac, states, s))
            time.sleep(0.1)

    def command(self, line):
        self.sim.stdin.write(line.encode() + b"\n")
        self.sim.stdin.flush()

    # ----- what the switches saw

    def records(self):
        if not self.record.exists():
            return []
        return [json.loads(l) for l in self.record.read_text().splitlines()]

    def device(self, msg_type, mac=None):
        """(time, bytes) of device protocol messages of msg_type (to mac)."""
        out = []
        for r in self.records():
            if r.get("socket") != "device":
                continue
            data = bytes.fromhex(r["hex"])
            if len(data) < 40 or struct.unpack_from(">H", data, 12)[0] != msg_type:
                continue
            if mac is not None and data[4:10] != mac_bytes(mac):
                continue
            out.append((r["time"], data))
        return out

    def write_requests(self, sw):
        return [(r["time"], bytes.fromhex(r["hex"])) for r in self.records()
                if r.get("socket") == "tftp" and r["dst"].startswith(sw["ip"] + ":")]

    def data_blocks(self, sw, block):
        out = []
        for r in self.records():
            if r.get("socket") != "tftp-transfer" or not r["dst"].startswith(sw["ip"] + ":"):
                continue
            data = bytes.fromhex(r["hex"])
            if struct.unpack_from(">HH", data) == (3, block):
                out.append(r["time"])
        return out

    def events(self, name, sw):
        return [r for r in self.records() if r.get("event") == name and r["mac"] == sw["mac"]]

    def pinned(self, ip):
        """The MAC text of a static ARP entry for ip in the server's namespace, or None."""
        out = self.lab.run(self.srv_ns, ["ip", "neigh", "show", ip, "nud", "permanent"]).stdout
        words = out.split()
        if "lladdr" not in words:
            return None
        return words[words.index("lladdr") + 1].replace(":", "-").upper()

    def neighbours(self, ip):
        """The server namespace's neighbour entries for ip: {dev: (MAC text, state)}."""
        out = self.lab.run(self.srv_ns, ["ip", "-j", "neigh", "show", "to", ip]).stdout
        return {e["dev"]: (e.get("lladdr", "").replace(":", "-").upper(), e["state"][0])
                for e in json.loads(out or "[]") if e.get("dst") == ip}

    def close(self):
        self.server.stop()


class TftpCapture:
    """Every IPv4 UDP datagram that reaches a namespace from the engine's
    TFTP port, read from a packet socket on a thread until stop()."""

    def __init__(self, lab, ns):
        self.sock = lab.socket(ns, socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
        self.sock.settimeout(0.2)
        self.seen = []  # (source address, destination port, payload)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done.is_set():
            try:
                frame, addr = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            except OSError:
                return
            if addr[2] == socket.PACKET_OUTGOING or len(frame) < 14 + 20 + 8:
                continue
            ip = frame[14:]
            ihl = (ip[0] & 0x0F) * 4
            if ip[0] >> 4 != 4 or ip[9] != 17 or len(ip) < ihl + 8:
                continue
            sport, dport = struct.unpack_from(">HH", ip, ihl)
            if sport == TFTP_PORT:
                self.seen.append((socket.inet_ntoa(ip[12:16]), dport, bytes(ip[ihl + 8:])))

    def stop(self):
        self.done.set()
        self.thread.join(5)
        self.sock.close()
        return self.seen


def firmware(tmp_path, name, size):
    data = hashlib.sha256(name.encode()).digest() * (size // 32 + 1)
    data = bytes((b + i) & 0xFF for i, b in enumerate(data[:size]))
    path = tmp_path / name
    path.write_bytes(data)
    return path, hashlib.sha256(data).hexdigest()


def test_upgrades_run_through_and_the_queue_advances(lab, tmp_path):
    a, b = switch(1), switch(2, upgrade_reboot=1, upgrade_erase=0)
    u = UpgradeLab(lab, tmp_path, [a, b])
    try:
        # The watched switch B can later be queued by its MAC alone.
        u.value("SetRefreshTime", "errorcode", "<monitorPollingInterval>1</monitorPollingInterval>")
        u.call("AddMonitorAgent", "<strIpAddress>%s</strIpAddress><strMacAddr>%s</strMacAddr>"
               % (b["ip"], b["mac"]))

        # Nothing queued yet.
        assert u.upgrading() == ("0", "0")
        assert u.start().is_fault()
        assert u.add().body_element().find("errorcode").text == "0"
        assert u.status(a["mac"]) is None
        assert u.status("02:AB:CD:00:00:21") is None

        # A file of whole blocks ends with a block of no data.
        fw1, sha1 = firmware(tmp_path, "fw-whole.bin", 20 * 512)
        assert u.set_fw(fw1) == "0"
        u.server.wait_for("SetFwFilePath begin. \n")
        assert not u.add(switch_info_xml(a)).is_fault()
        u.server.wait_for("AddUpgradeAgent begin. \n")
        queued = u.status(a["mac"])
        assert (queued["is-upgrading"], queued["upgradeStatus"], queued["fwFileSize"]) == (0, 0, 0)
        assert queued["agentInfo"]["macAddr"] == "" and queued["agentInfo"]["fwVersion"] == ""
        assert not u.pinned(a["ip"])

        assert not u.start().is_fault()
        u.server.wait_for("StartUpgrade begin. \n")
        assert u.upgrading() == (a["mac"], a["ip"])
        assert u.pinned(a["ip"]) == a["mac"]
        done = u.wait_state(a["mac"], (9, 10), 15)
        assert (done["upgradeStatus"], done["failedCode"], done["is-upgrading"]) == (9, 0, 0)
        assert done["fwFileSize"] == done["transmitedSize"] == 20 * 512
        assert len(done["time"]) == 19 and done["time"][4] == "/" and done["time"][13] == ":"
        info = done["agentInfo"]
        assert (info["macAddr"], info["agentIpAddr"], info["fwVersion"]) == \
            (a["mac"], a["ip"], "2.0.1")

        (written,) = u.events("tftp_done", a)
        assert (written["size"], written["sha256"], written["blocks"]) == (20 * 512, sha1, 21)
        assert written["filename"] == str(fw1)
        (_, wrq), = u.write_requests(a)
        assert wrq == b"\x00\x02" + str(fw1).encode() + b"\x00octet\x00"
        _, command = u.device(10, a["mac"])[0]
        assert struct.unpack_from(">I", command, 16)[0] == COOKIE
        assert command[40:] == struct.pack(">HH", 9, 4 + 3) + b"pw1"
        # Pinned while the entry runs, not once it has ended.
        assert not u.pinned(a["ip"])

        # A missing file still clears the table.
        assert u.set_fw(tmp_path / "absent.bin") == "1"
        assert u.status(a["mac"]) is None

        # A small file goes out as one short block. One start runs the
        # whole queue: B follows A by itself; B is queued from the monitor
        # list with the password given here.
        fw2, sha2 = firmware(tmp_path, "fw-small.bin", 300)
        assert u.set_fw(fw2) == "0"
        assert not u.add(switch_info_xml(a, password="again")).is_fault()
        deadline = time.monotonic() + 10
        while u.monitored_mac() != b["mac"]:
            assert time.monotonic() < deadline, "the monitor poll never learned B's MAC"
            time.sleep(0.2)
        ex = "<macAddr>%s</macAddr><password>%s</password>"
        assert u.call("AddUpgradeAgentEx", ex % (b["mac"].lower(), "pwB")).is_fault()
        assert u.call("AddUpgradeAgentEx", ex % ("02-00-00-00-00-99", "pwB")).is_fault()
        assert u.call("AddUpgradeAgentEx", ex % (b["mac"], "p" * 22)).is_fault()
        assert not u.call("AddUpgradeAgentEx", ex % (b["mac"], "pwB")).is_fault()
        u.server.wait_for("AddUpgradeAgentEx begin. \n")
        assert not u.start().is_fault()
        assert u.status(b["mac"])["upgradeStatus"] == 0
        assert u.wait_state(a["mac"], (9, 10), 15)["upgradeStatus"] == 9
        done_b = u.wait_state(b["mac"], (9, 10), 15)
        assert (done_b["upgradeStatus"], done_b["fwFileSize"], done_b["transmitedSize"]) == \
            (9, 300, 300)
        for sw, password in ((a, b"again"), (b, b"pwB")):
            written = u.events("tftp_done", sw)[-1]
            assert (written["size"], written["sha256"], written["blocks"]) == (300, sha2, 1)
            assert u.device(10, sw["mac"])[-1][1][44:] == password
            assert not u.pinned(sw["ip"])

        assert u.end() == "0"
        u.server.wait_for("EndUpgrade begin. \n")
        assert u.status(b["mac"]) is None
        assert u.upgrading() == ("0", "0")
    finally:
        u.close()


def stray_packets(u, g):
    """Malformed and misdirected upgrade traffic, from switch G's address on
    another port and from an address no switch has."""
    u.lab.add_address(u.sw_ns, "eth0", STRAY_IP + "/24")
    gmac = mac_bytes(g["mac"])
    for source in (g["ip"], STRAY_IP):
        s = u.lab.socket(u.sw_ns)
        try:
            s.bind((source, 0))
            for payload in (b"", b"\x00", b"\x00\x04", b"\x00\x04\x00", b"\x00\x03\x00\x01junk",
                            b"\x00\x04\x00\x01", b"\x00\x04\xff\xff", b"\x00\x05\x00\x00no\x00",
                            b"\x00\x06\x00\x00", b"\x00\x04" + bytes(2000)):
                try:
                    s.sendto(payload, (SERVER_IP, TFTP_PORT))
                except OSError:
                    pass  # the long one may not fit; fine
            for payload in (header(11, gmac, 1)[:30], header(11, gmac, 1, status=7),
                            header(11, gmac, 0xBEEF), header(11, gmac, 1, cookie=COOKIE ^ 1),
                            header(2, gmac, 0, cookie=COOKIE ^ 1), header(11, bytes(6), 1)):
                for port in (P, P + 1):
                    s.sendto(payload, (SERVER_IP, port))
        finally:
            s.close()


def test_failures_restarts_and_entries_side_by_side(lab, tmp_path):
    d = switch(1, upgrade_status=2)                   # refuses
    e = switch(2, tftp_error=2)                       # error in place of the ack of block 2
    c = switch(3, upgrade_status=None)                # never answers the command
    f = switch(4, silent=True, erase_delay_ms=60000)  # erases forever
    g = switch(5, erase_delay_ms=2500, reboot_ms=4500, new_fw_version="3.0.0")
    u = UpgradeLab(lab, tmp_path, [d, e, c, f, g])
    try:
        fw, _ = firmware(tmp_path, "fw.bin", 3000)
        assert u.set_fw(fw) == "0"
        assert not u.add(switch_info_xml(d), switch_info_xml(e), switch_info_xml(c),
                         switch_info_xml(f, erase=1), switch_info_xml(g, reboot=2, erase=10)
                         ).is_fault()

        # D refuses; E starts by itself and ends with a TFTP error, after
        # which C waits for the next start.
        assert not u.start().is_fault()
        s = u.wait_state(d["mac"], (9, 10), 5)
        assert (s["upgradeStatus"], s["failedCode"], s["is-upgrading"]) == (10, 4, 0)
        s = u.wait_state(e["mac"], (9, 10), 5)
        assert (s["upgradeStatus"], s["failedCode"], s["transmitedSize"]) == (10, 9, 1024)
        time.sleep(1.5)
        assert u.status(c["mac"])["upgradeStatus"] == 0
        assert u.upgrading() == ("0", "0")

        # Three starts: C, F and G run at the same time.
        for _ in range(3):
            assert not u.start().is_fault()
        statuses = [u.status(sw["mac"]) for sw in (c, f, g)]
        assert [s["is-upgrading"] for s in statuses] == [1, 1, 1]
        assert u.upgrading() == (c["mac"], c["ip"])
        assert u.start().is_fault()  # nothing left to start

        # Junk while G is erasing its flash changes nothing.
        u.wait_state(g["mac"], (3,), 5)
        stray_packets(u, g)
        time.sleep(3.5)
        u.command("silence %s off" % f["mac"])  # F has used at least one command resend

        results = {sw["mac"]: u.wait_state(sw["mac"], (9, 10), 40) for sw in (c, f, g)}
        assert (results[c["mac"]]["upgradeStatus"], results[c["mac"]]["failedCode"]) == (10, 3)
        assert (results[f["mac"]]["upgradeStatus"], results[f["mac"]]["failedCode"]) == (10, 5)
        done = results[g["mac"]]
        assert (done["upgradeStatus"], done["failedCode"], done["transmitedSize"]) == (9, 0, 3000)
        assert done["agentInfo"]["fwVersion"] == "3.0.0"

        # C: the command and its three resends, all alike.
        sends = u.device(10, c["mac"])
        assert len(bursts([t for t, _ in sends])) == 4
        assert len({data for _, data in sends}) == 1

        # F: command resends and restarts share the limit of 3, so four
        # commands went out in all; each restart wrote the file anew.
        commands = bursts([t for t, _ in u.device(10, f["mac"])])
        requests = [t for t, _ in u.write_requests(f)]
        assert len(commands) == 4
        resends = len([t for t in commands if t < requests[0]]) - 1
        assert resends >= 1
        assert len(requests) == 1 + (3 - resends)

        # G: block 1 resent once a second while the flash erased; then the
        # reboot wait, and probes until the switch came back.
        assert len(u.data_blocks(g, 1)) >= 2
        (written,) = u.events("tftp_done", g)
        (back,) = u.events("rebooted", g)
        probes = bursts([t for t, data in u.device(1) if t > written["time"]
                         and struct.unpack_from(">H", data, 26)[0] == 0 and data[4:10] == bytes(6)])
        assert probes[0] - written["time"] >= 1.9
        assert len([t for t in probes if t < back["time"]]) >= 1
        assert u.server.proc.poll() is None
    finally:
        u.close()


def test_two_local_addresses_in_the_switch_subnet(lab, tmp_path):
    a = switch(1)
    u = UpgradeLab(lab, tmp_path, [a], extra_addresses=[SECOND_IP + "/24"])
    try:
        fw, sha = firmware(tmp_path, "fw.bin", 5000)
        assert u.set_fw(fw) == "0"
        assert not u.add(switch_info_xml(a)).is_fault()
        assert not u.start().is_fault()
        done = u.wait_state(a["mac"], (9, 10), 20)
        assert (done["upgradeStatus"], done["failedCode"]) == (9, 0)
        (written,) = u.events("tftp_done", a)
        assert (written["size"], written["sha256"]) == (5000, sha)
        # One write request, and the whole transfer from one local address.
        assert len(u.write_requests(a)) == 1
        sources = {r["src"].split(":")[0] for r in u.records()
                   if r.get("socket") in ("tftp", "tftp-transfer")}
        assert len(sources) == 1 and sources <= {SERVER_IP, SECOND_IP}
    finally:
        u.close()


@pytest.mark.skipif(shutil.which("in.tftpd") is None, reason="tftpd-hpa is not installed")
@pytest.mark.parametrize("extra", [(), (SECOND_IP + "/24",)], ids=["one-address", "two-addresses"])
def test_real_tftp_server_receives_the_image(lab, tmp_path, extra):
    a = switch(1)
    u = UpgradeLab(lab, tmp_path, [a], tftp=False, extra_addresses=extra)
    root = tmp_path / "tftproot"
    root.mkdir()
    os.chmod(root, 0o777)
    tftpd = lab.popen(u.sw_ns, ["in.tftpd", "--foreground", "--listen", "--address",
                                "%s:69" % a["ip"], "--create", "--secure", str(root)])
    try:
        deadline = time.monotonic() + 10
        while ":69 " not in lab.run(u.sw_ns, ["ss", "-Huln"]).stdout:
            assert time.monotonic() < deadline, "in.tftpd did not start"
            time.sleep(0.05)
        # A relative path: the server opens it in its own directory, and the
        # TFTP server writes it under its root.
        data = os.urandom(100 * 1024 + 77)
        with open(os.path.join(u.server.workdir, "image.bin"), "wb") as f:
            f.write(data)
        assert u.set_fw("image.bin") == "0"
        assert not u.add(switch_info_xml(a)).is_fault()
        capture = TftpCapture(lab, u.sw_ns)
        assert not u.start().is_fault()
        done = u.wait_state(a["mac"], (9, 10), 20)
        seen = capture.stop()
        assert (done["upgradeStatus"], done["failedCode"]) == (9, 0)
        assert done["transmitedSize"] == len(data)
        assert (root / "image.bin").read_bytes() == data
        # One write request; the whole transfer from one local address.
        assert [p for _, port, p in seen if port == 69] == [b"\x00\x02image.bin\x00octet\x00"]
        assert len({source for source, _, _ in seen}) == 1
        assert len(seen) == 1 + len(data) // 512 + 1
    finally:
        tftpd.kill()
        u.close()


def test_firmware_path_must_name_a_regular_file(server, tmp_path):
    def set_fw(path):
        a = server.call("SetFwFilePath", "<strFwFilePath>%s</strFwFilePath>" % escape(str(path)))
        return a.body_element().find("errorcode").text

    fw, _ = firmware(tmp_path, "fw.bin", 100)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    (tmp_path / "link").symlink_to(fw)
    (tmp_path / "dangling").symlink_to(tmp_path / "absent")
    assert [set_fw(p) for p in (tmp_path, "/dev/zero", fifo, tmp_path / "dangling")] == ["1"] * 4
    assert [set_fw(p) for p in (fw, tmp_path / "link")] == ["0", "0"]


def test_static_arp_entries_only_where_and_while_needed(lab, tmp_path):
    a = switch(1)                                                 # succeeds
    d = switch(2, upgrade_status=2)                               # refuses
    f = switch(3, ip="192.168.77.5", upgrade_status=None)         # foreign address, no reply
    u = UpgradeLab(lab, tmp_path, [a, d, f], other_lan="10.2.0.1/24")
    router = "02-99-00-00-00-01"
    try:
        # Entries the engine did not make: a learned one for F's address on
        # the other adapter (a router there, say), a configured one for D's.
        lab.run(u.srv_ns, ["ip", "neigh", "add", f["ip"], "lladdr", router.replace("-", ":"),
                           "dev", "eth1", "nud", "stale"], check=True)
        lab.run(u.srv_ns, ["ip", "neigh", "add", d["ip"], "lladdr", "02:77:00:00:00:02",
                           "dev", "eth0", "nud", "permanent"], check=True)
        fw, _ = firmware(tmp_path, "fw.bin", 3000)
        assert u.set_fw(fw) == "0"

        # F's address is in no local subnet: pinned on every adapter, except
        # where the system already maps it.
        assert not u.add(switch_info_xml(f)).is_fault()
        assert not u.start().is_fault()
        assert u.neighbours(f["ip"]) == {"eth0": (f["mac"], "PERMANENT"),
                                         "eth1": (router, "STALE")}
        # A's address is in eth0's subnet: pinned there only, while it runs,
        # also over the kernel's learned entry for A itself.
        lab.run(u.srv_ns, ["ip", "neigh", "replace", a["ip"], "lladdr",
                           a["mac"].replace("-", ":"), "dev", "eth0", "nud", "stale"], check=True)
        assert not u.add(switch_info_xml(a, reboot=2), switch_info_xml(d)).is_fault()
        assert not u.start().is_fault()
        assert u.neighbours(a["ip"]) == {"eth0": (a["mac"], "PERMANENT")}
        assert u.wait_state(a["mac"], (9, 10), 15)["upgradeStatus"] == 9
        assert u.neighbours(a["ip"]).get("eth0", ("", ""))[1] != "PERMANENT"
        # D started after A and refused; the configured entry was left alone.
        assert u.wait_state(d["mac"], (9, 10), 5)["failedCode"] == 4
        assert u.neighbours(d["ip"]) == {"eth0": ("02-77-00-00-00-02", "PERMANENT")}
        # F fails after its resends: its pin goes, the router's entry stays.
        assert u.wait_state(f["mac"], (9, 10), 15)["failedCode"] == 3
        assert u.neighbours(f["ip"]) == {"eth1": (router, "STALE")}

        # A server killed while a pin stands: the next engine start removes
        # that pin, and nothing else.
        assert u.set_fw(fw) == "0"
        assert not u.add(switch_info_xml(f)).is_fault()
        assert not u.start().is_fault()
        assert u.neighbours(f["ip"])["eth0"] == (f["mac"], "PERMANENT")
        os.killpg(u.server.proc.pid, 9)
        u.server.proc.wait(timeout=10)
        time.sleep(0.3)
        assert u.neighbours(f["ip"])["eth0"] == (f["mac"], "PERMANENT")
        again = TorvaneServer(lab, u.srv_ns, workdir=u.server.workdir)
        u.server = again
        again.start()
        assert u.value("EngineLayerStartup", "errorcode") == "0"
        assert u.neighbours(f["ip"]) == {"eth1": (router, "STALE")}
        assert u.neighbours(d["ip"]) == {"eth0": ("02-77-00-00-00-02", "PERMANENT")}
    finally:
        u.close()

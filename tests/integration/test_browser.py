"""The browser client in a real browser: Debian's chromium, driven by
playwright-core (tests/browser/client_flow.js), runs inside the server's
namespace and uses the page served on 127.0.0.1:64567 against simulated
switches, as an administrator would: discover, rename a switch and see the
outcome, watch a switch and see it die, upgrade a switch's firmware; the
whole job in one run (re-address the factory-default switch, traps, two
upgrades, a reload mid-way, save and load, export, sort and filter, the
table at 1280 and 800 px); and 1000 switches in the page.

The switches share one namespace, each on an interface of its own whose MAC
is the switch's MAC (the upgrade engine pins a switch under upgrade to its
MAC with a static ARP entry). On failure the driver leaves a screenshot and
the page's text under the test's tmp_path; their paths are printed and put
in the failure message.
"""

import hashlib
import json
import os
import selectors
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from lab import wait_for_line
from torvane import ROOT, TorvaneServer

CHROMIUM = "/usr/bin/chromium"
PLAYWRIGHT = os.path.join(ROOT, "node_modules", "playwright-core")
DRIVER = os.path.join(ROOT, "tests", "browser", "client_flow.js")
SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
URL = "http://127.0.0.1:64567/index.html"

P = 64513
TFTP_PORT = P + 4
SERVER_IP = "10.1.0.1"
DRIVER_TIMEOUT_S = 60    # the driver's own bound; the test gives it a little more
JOB_TIMEOUT_S = 240

RENAME = dict(mac="02-AB-CD-00-00-31", ip="10.1.0.11", system_name="old-name",
              password="pw-rename")
WATCH = dict(mac="02-AB-CD-00-00-32", ip="10.1.0.12", system_name="watched")
UPGRADE = dict(mac="02-AB-CD-00-00-33", ip="10.1.0.13", system_name="to-upgrade",
               password="pw-upgrade", fw_version="1.0.0", new_fw_version="2.0.7",
               upgrade_reboot=1, upgrade_erase=0, reboot_ms=300)


def _missing_tools():
    if not os.path.exists(CHROMIUM):
        return "%s is missing (apt-get install chromium)" % CHROMIUM
    if shutil.which("node") is None:
        return "node is missing (apt-get install nodejs)"
    if not os.path.isdir(PLAYWRIGHT):
        return "node_modules/playwright-core is missing (run bash tools/setup.sh)"
    return None


pytestmark = pytest.mark.skipif(_missing_tools() is not None,
                                reason="browser test: %s" % _missing_tools())


class BrowserLab:
    """The server on 10.1.0.1, simulated switches, and the browser driver."""

    def __init__(self, lab, tmp_path, switches, many=None):
        """switches: one interface each, with the switch's MAC. many: a
        simulator entry standing for many switches, all behind one
        interface on a /16 (discovery only)."""
        self.lab, self.tmp = lab, tmp_path
        seg = lab.segment("lan")
        self.srv_ns = lab.namespace("srv")
        lab.attach(self.srv_ns, seg, SERVER_IP + ("/16" if many else "/24"))
        self.sw_ns = lab.namespace("sw")
        # Each interface answers ARP only for its own address.
        lab.run(self.sw_ns, ["sysctl", "-qw", "net.ipv4.conf.all.arp_ignore=1",
                             "net.ipv4.conf.all.arp_announce=2"])
        sim_switches = []
        for sw in switches:
            ifname = lab.attach(self.sw_ns, seg, sw["ip"] + "/24",
                                mac=sw["mac"].replace("-", ":"))
            sim_switches.append(dict(sw, interface=ifname))
        if many:
            lab.attach(self.sw_ns, seg, "10.1.0.2/16")
            sim_switches.append(many)
        doc = dict(cookie=0, port=P, record=str(tmp_path / "record.jsonl"),
                   switches=sim_switches)
        (tmp_path / "sim.json").write_text(json.dumps(doc))
        self.sim = lab.popen(self.sw_ns, [sys.executable, SWITCHSIM, str(tmp_path / "sim.json")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.sim.stdout, "switchsim ready", 15)
        self.server = TorvaneServer(lab, self.srv_ns).prepare().start()
        self.driver = None

    def command(self, line):
        self.sim.stdin.write(line.encode() + b"\n")
        self.sim.stdin.flush()

    def drive(self, flow, timeout_s=DRIVER_TIMEOUT_S, **extra):
        """Runs the driver for flow; returns (passed, its output lines, the
        artifact paths it reported, its standard error)."""
        profile = self.tmp / "chromium-profile"
        profile.mkdir()
        config = dict(url=URL, userDataDir=str(profile), artifacts=str(self.tmp), flow=flow,
                      timeoutMs=timeout_s * 1000, **extra)
        if os.environ.get("TORVANE_BROWSER_SHOTS"):
            config["shots"] = os.environ["TORVANE_BROWSER_SHOTS"]
        (self.tmp / "driver.json").write_text(json.dumps(config))
        # The browser's own files go to the fresh profile, not to $HOME.
        env = dict(os.environ, HOME=str(profile), XDG_CONFIG_HOME=str(profile / "config"),
                   XDG_CACHE_HOME=str(profile / "cache"))
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.driver = self.lab.popen(self.srv_ns, ["node", DRIVER, str(self.tmp / "driver.json")],
                                     cwd=ROOT, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        errors = []
        reader = threading.Thread(target=lambda: errors.append(self.driver.stderr.read()),
                                  daemon=True)
        reader.start()
        lines, artifacts, passed = [], [], False
        try:
            for line in self._lines(self.driver.stdout, timeout_s + 15):
                lines.append(line)
                if line == "NEED sockets":
                    self._wait_for_sockets()
                    self._answer()
                elif line.startswith("NEED silence "):
                    self.command("silence %s on" % line.split()[2])
                    self._answer()
                elif line == "NEED restart":
                    self.server.stop()
                    self.server = TorvaneServer(self.lab, self.srv_ns).prepare().start()
                    self._answer()
                elif line.startswith("NEED trap "):
                    _, _, mac, text = line.split(" ", 3)
                    self.command("trap9 %s %s" % (mac, text))
                    self._answer()
                elif line.startswith("NEED saved "):
                    _, _, path, count = line.split(" ")
                    size = os.path.getsize(path) if os.path.exists(path) else -1
                    if size != 628 * int(count):
                        lines.append("FAIL the saved file %s holds %d bytes, not %d records"
                                     % (path, size, int(count)))
                        break
                    self._answer()
                elif line.startswith("ARTIFACT "):
                    artifacts.append(line[len("ARTIFACT "):])
                elif line == "PASS":
                    passed = True
            self.driver.wait(timeout=15)
        except (TimeoutError, subprocess.TimeoutExpired):
            lines.append("(the driver did not finish in time)")
        finally:
            self._stop_driver()
            reader.join(timeout=5)
            shutil.rmtree(profile, ignore_errors=True)
        stderr = b"".join(e for e in errors if e).decode(errors="replace")
        return passed and self.driver.returncode == 0, lines, artifacts, stderr

    def _answer(self):
        self.driver.stdin.write(b"GO\n")
        self.driver.stdin.flush()

    def _wait_for_sockets(self):
        # The adapter watch opens the discovery and TFTP sockets of an
        # address on its own thread after the engine has started.
        deadline = time.monotonic() + 10
        while True:
            out = self.lab.run(self.srv_ns, ["ss", "-Huln"]).stdout
            if ":%d " % P in out and ":%d " % TFTP_PORT in out:
                return
            if time.monotonic() > deadline:
                raise AssertionError("engine sockets did not open: " + out)
            time.sleep(0.05)

    @staticmethod
    def _lines(stream, timeout):
        """Yields the lines of a pipe until it closes; TimeoutError past timeout."""
        deadline = time.monotonic() + timeout
        buf = b""
        fd = stream.fileno()
        with selectors.DefaultSelector() as sel:
            sel.register(fd, selectors.EVENT_READ)
            while True:
                left = deadline - time.monotonic()
                if left <= 0 or not sel.select(left):
                    raise TimeoutError()
                chunk = os.read(fd, 4096)
                if not chunk:
                    if buf:
                        yield buf.decode(errors="replace")
                    return
                buf += chunk
                while b"\n" in buf:
                    raw, buf = buf.split(b"\n", 1)
                    yield raw.decode(errors="replace")

    def _stop_driver(self):
        d = self.driver
        if d is None or d.poll() is not None:
            return
        try:
            os.killpg(d.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        d.wait(timeout=10)
        # The browser runs in a process group of its own: end whatever of
        # it is left in the server's namespace (the server itself stays).
        keep = {self.server.proc.pid}
        for pid in self.lab.run(self.srv_ns, ["ip", "netns", "pids", self.srv_ns]).stdout.split():
            if pid.isdigit() and int(pid) not in keep and _is_chromium(int(pid)):
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def close(self):
        self._stop_driver()
        self.server.stop()


def _is_chromium(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"chromium" in f.read().split(b"\0")[0]
    except OSError:
        return False


def report(passed, lines, artifacts, stderr, server):
    """Fails the test with the driver's story, the artifacts and the server's output."""
    if passed:
        return
    for path in artifacts:
        print("browser test artifact:", path)
    page_text = ""
    for path in artifacts:
        if path.endswith(".txt") and os.path.exists(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                page_text = f.read()
    print("--- page text\n%s\n--- driver stderr\n%s\n--- server output (end)\n%s"
          % (page_text, stderr[-4000:], server.stdout_text()[-4000:]))
    failed = [l for l in lines if l.startswith("FAIL")] or lines[-1:]
    pytest.fail("browser flow failed: %s\nartifacts: %s\ndriver output:\n  %s"
                % (failed[0] if failed else "(no output)", ", ".join(artifacts) or "none",
                   "\n  ".join(lines)), pytrace=False)


def test_browser_discovers_renames_and_watches(lab, tmp_path):
    b = BrowserLab(lab, tmp_path, [RENAME, WATCH])
    try:
        passed, lines, artifacts, stderr = b.drive(
            "manage", switches=dict(
                rename=dict(mac=RENAME["mac"], ip=RENAME["ip"], password=RENAME["password"],
                            newName="renamed-in-browser"),
                watch=dict(mac=WATCH["mac"], ip=WATCH["ip"])))
        report(passed, lines, artifacts, stderr, b.server)
        assert "NEED silence %s" % WATCH["mac"] in lines
    finally:
        b.close()


def test_browser_upgrades_a_switch(lab, tmp_path):
    b = BrowserLab(lab, tmp_path, [UPGRADE])
    try:
        probe = b.server.call("GetUpgradingAgent")
        if probe.is_fault() and b"not available" in probe.body:
            pytest.skip("the firmware upgrade operations are not in this build")
        data = hashlib.sha256(b"browser firmware").digest() * 200   # 6400 bytes: 13 blocks
        firmware = tmp_path / "firmware.bin"
        firmware.write_bytes(data)
        passed, lines, artifacts, stderr = b.drive(
            "upgrade", firmware=str(firmware), firmwareSize=len(data), switches=dict(
                upgrade=dict(mac=UPGRADE["mac"], ip=UPGRADE["ip"], password=UPGRADE["password"],
                             newFw=UPGRADE["new_fw_version"])))
        report(passed, lines, artifacts, stderr, b.server)
        # The switch really received the file the page named.
        events = [json.loads(l) for l in (tmp_path / "record.jsonl").read_text().splitlines()
                  if '"tftp_done"' in l]
        assert [(e["mac"], e["size"], e["sha256"]) for e in events] == \
            [(UPGRADE["mac"], len(data), hashlib.sha256(data).hexdigest())]
    finally:
        b.close()


# The whole job runs in the demo's own lab (tools/demo.py build_topology):
# the server on two segments, every switch on a link of its own with its
# MAC, moving to the address it is given.
sys.path.insert(0, os.path.join(ROOT, "tools"))
import demo  # noqa: E402


def page_mac(mac):
    return mac.replace(":", "-").upper()


class DemoBrowserLab(BrowserLab):
    """The demo's topology with the server and the browser driver."""

    def __init__(self, lab, tmp_path):
        self.lab, self.tmp = lab, tmp_path
        # The server's settings file is the checkout's: the switches speak
        # with its cookie, port and group.
        settings = demo.engine_settings(ROOT)
        self.topo = demo.build_topology(lab, str(tmp_path), settings, traps=False, record=True)
        self.srv_ns = self.topo.server_ns
        self.segment_of = {page_mac(sw["mac"]): seg
                           for seg, _, _, switches in demo.SEGMENTS for sw in switches}
        self.server = TorvaneServer(lab, self.srv_ns).prepare().start()
        self.driver = None

    def command(self, line):
        # "silence MAC on", "trap9 MAC TEXT": to the simulator of its segment.
        self.topo.command(self.segment_of[page_mac(line.split()[1])], line)

    def tftp_done(self):
        done = []
        for seg, _, _, _ in demo.SEGMENTS:
            path = self.tmp / ("record-%s.jsonl" % seg)
            if path.exists():
                done += [json.loads(l) for l in path.read_text().splitlines() if '"tftp_done"' in l]
        return done


def test_browser_whole_job(lab, tmp_path):
    b = DemoBrowserLab(lab, tmp_path)
    try:
        firmware = demo.write_sample_firmware(str(tmp_path / "firmware" / "fw-2.0.7.bin"),
                                              version="2.0.7", size=12 * 1024)
        size = os.path.getsize(firmware)
        topo = b.topo

        def switch(name, **extra):
            sw = topo.switch(name)
            return dict(mac=page_mac(sw["mac"]), ip=sw["ip"], password="password", **extra)

        sw = dict(
            rename=switch("sw-b2", newName="renamed-in-job"),
            trap=switch("sw-b2"),
            factory=switch(topo.switch("02:00:5e:10:0a:02")["mac"], newIp="10.10.1.60",
                           netmask="255.255.255.0", gateway="10.10.1.254"),
            upgrade=switch("sw-a1", newFw="2.0.7"),
            upgrade2=switch("sw-b1", newFw="2.0.7"),
        )
        passed, lines, artifacts, stderr = b.drive(
            "job", timeout_s=JOB_TIMEOUT_S, firmware=firmware, firmwareSize=size,
            cfgPath=str(tmp_path / "watched.cfg"), switches=sw,
            allMacs=[page_mac(s["mac"]) for s in topo.switches])
        for line in lines:
            if line.startswith("NOTE "):
                print("browser job:", line[5:])
        report(passed, lines, artifacts, stderr, b.server)
        # Both switches received the whole file the page named.
        with open(firmware, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        done = sorted((page_mac(e["mac"]), e["size"], e["sha256"]) for e in b.tftp_done())
        assert done == sorted([(sw["upgrade"]["mac"], size, digest),
                               (sw["upgrade2"]["mac"], size, digest)])
    finally:
        b.close()


SCALE_COUNT = 1000


def test_browser_thousand_switches(lab, tmp_path):
    many = dict(mac="02:10:00:00:00:00", ip="10.1.1.0", netmask="255.255.0.0", ip_step=1,
                count=SCALE_COUNT, reply="unicast", delay_ms_range=[0, 1000],
                system_name="sw-{n}", product_name="Sim Switch 8P")
    last = "10.1.%d.%d" % ((SCALE_COUNT - 1) // 256 + 1, (SCALE_COUNT - 1) % 256)
    b = BrowserLab(lab, tmp_path, [], many=many)
    try:
        passed, lines, artifacts, stderr = b.drive("scale", count=SCALE_COUNT, lastIp=last,
                                                   switches={})
        report(passed, lines, artifacts, stderr, b.server)
        figures = dict(l.split()[1:3] for l in lines if l.startswith("FIGURE "))
        print("browser, %d switches: %s" % (SCALE_COUNT, ", ".join(
            "%s %s" % kv for kv in sorted(figures.items()))))
    finally:
        b.close()

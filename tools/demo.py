#!/usr/bin/env python3
"""Demo lab: the server inside a private network of network namespaces.

The server never runs in the host's own namespace (its engine broadcasts on
every adapter). The lab gives it a namespace of its own, wired by veth
pairs to two private segments with simulated switches behind them, and
forwards http://127.0.0.1:64567 from the host's loopback into that
namespace, so a browser on the host reaches the server and its browser
client. Ctrl-C stops everything and removes the lab.

    lan-a 10.10.1.0/24                     lan-b 10.10.2.0/24
      server 10.10.1.1                       server 10.10.2.1
      sw-a1  10.10.1.11 (answers unicast)    sw-b1  10.10.2.11 (broadcast, multicast)
      sw-a2  192.168.0.1 (factory default)   sw-b2  10.10.2.12 (answers unicast)
      sw-a3  10.10.1.13 (loader mode)

Every switch has a link of its own with its own MAC, as a real switch has:
it answers ARP for its address, moves to the address, netmask and gateway
it is given, and takes its DHCP lease (10.10.x.10N) when DHCP is turned on.
sw-a1 and sw-b2 report a port going down or up now and then (traps).

The server works in demo-data/ under the checkout, which outlives the demo:
files saved with a relative name land there, its full output goes to
demo-data/server.log, and demo-data/firmware/ holds a sample firmware image.
The terminal shows the server's output without the lines of the page's
periodic polling; the server's console questions ("Save as" asks for a
file name) come to the terminal and lines typed there answer them.

The server binary is build/torvane, or $TORVANE_BINARY.

build_topology() builds the same lab for tests.
"""

import codecs
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from lab import wait_for_line  # noqa: E402

SOAP_PORT = 64567
BINARY = os.environ.get("TORVANE_BINARY", os.path.join(ROOT, "build", "torvane"))
SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
DATA_DIR = os.path.join(ROOT, "demo-data")
SERVER_LOG = "server.log"
FIRMWARE_VERSION = "2.0.0"
FIRMWARE_NAME = os.path.join("firmware", "sim-switch-%s.bin" % FIRMWARE_VERSION)

# How a demo switch restarts after a firmware write: it is quiet for
# reboot_ms, and tells the server to look for it again after
# upgrade_reboot seconds.
_RESTART = dict(reboot_ms=4000, upgrade_reboot=8, upgrade_erase=0)


def _lease(ip):
    net = ip.rsplit(".", 1)[0]
    return dict(ip=ip, netmask="255.255.255.0", gateway=net + ".254")


# The segments: (name, namespace of its switches, the server's address on
# it, its switches). Each switch gets an interface of its own there.
SEGMENTS = (
    ("lan-a", "sim-a", "10.10.1.1/24", [
        dict(mac="02:00:5e:10:0a:01", ip="10.10.1.11", system_name="sw-a1", location="rack 1",
             product_name="Sim Switch 8P", gateway="10.10.1.254", trap_ip="10.10.1.1",
             trap_interval_s=[40, 80], trap_ports=8, dhcp_lease=_lease("10.10.1.101"),
             **_RESTART),
        # Fresh from the factory: an address of another network, so it
        # answers by broadcast until it is given one of this segment.
        dict(mac="02:00:5e:10:0a:02", ip="192.168.0.1", system_name="", location="",
             product_name="Sim Switch 8P", reply="auto", dhcp_mode=0,
             dhcp_lease=_lease("10.10.1.102"), **_RESTART),
        dict(mac="02:00:5e:10:0a:03", ip="10.10.1.13", system_name="sw-a3", location="rack 1",
             product_name="Sim Switch 16P", loader=True, leave_loader=True, fw_version="0.9.0",
             dhcp_lease=_lease("10.10.1.103"), **_RESTART),
    ]),
    ("lan-b", "sim-b", "10.10.2.1/24", [
        dict(mac="02:00:5e:10:0b:01", ip="10.10.2.11", system_name="sw-b1", location="hall",
             product_name="Sim Switch 24P", reply="broadcast", answer_multicast=True,
             dhcp_lease=_lease("10.10.2.101"), **_RESTART),
        dict(mac="02:00:5e:10:0b:02", ip="10.10.2.12", system_name="sw-b2", location="hall",
             product_name="Sim Switch 8P", trap_ip="10.10.2.1", trap_interval_s=[40, 80],
             trap_ports=8, dhcp_lease=_lease("10.10.2.102"), **_RESTART),
    ]),
)


class Topology:
    """What build_topology made: the server's namespace, the switches (the
    simulator's entries, each with its "interface"), and per segment the
    simulator process, whose standard input takes switchsim commands."""

    def __init__(self, server_ns):
        self.server_ns = server_ns
        self.switches = []
        self.simulators = {}    # segment name -> Popen
        self.switch_ns = {}     # segment name -> namespace

    def switch(self, name):
        """The entry of the switch with that system name (or MAC)."""
        for sw in self.switches:
            if name in (sw["system_name"], sw["mac"]):
                return sw
        raise KeyError(name)

    def command(self, segment, line):
        proc = self.simulators[segment]
        proc.stdin.write(line.encode() + b"\n")
        proc.stdin.flush()


def build_topology(lab, workdir, settings, traps=True, record=False):
    """Builds the demo's network in lab and starts its simulated switches.

    settings holds the simulator's cookie, port and multicast_group (see
    engine_settings); workdir receives the simulators' descriptions (and
    their record files, record=True: <workdir>/record-<segment>.jsonl).
    traps=False leaves out the timed traps; [lo, hi] makes them come every
    lo to hi seconds. The server is not started: run it in
    topology.server_ns, in a working folder whose settings give the cookie
    and port of settings.
    """
    srv = lab.namespace("server")
    topo = Topology(srv)
    for segment, _, server_cidr, _ in SEGMENTS:
        lab.segment(segment)
        lab.attach(srv, segment, server_cidr)
    for segment, ns_name, _, switches in SEGMENTS:
        ns = lab.namespace(ns_name)
        entries = []
        for sw in switches:
            entry = dict(sw, own_interface=True,
                         interface=lab.attach(ns, segment, None, mac=sw["mac"]))
            if "trap_interval_s" in entry:
                if not traps:
                    del entry["trap_interval_s"]
                elif isinstance(traps, (list, tuple)):
                    entry["trap_interval_s"] = list(traps)
            entries.append(entry)
        doc = dict(settings, switches=entries)
        if record:
            doc["record"] = os.path.join(workdir, "record-%s.jsonl" % segment)
        path = os.path.join(workdir, "%s.json" % ns_name)
        with open(path, "w") as f:
            json.dump(doc, f, indent=1)
        proc = lab.popen(ns, [sys.executable, SWITCHSIM, path], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE)
        wait_for_line(proc.stdout, "switchsim ready", 30)
        topo.simulators[segment] = proc
        topo.switch_ns[segment] = ns
        topo.switches.extend(entries)
    return topo


def engine_settings(workdir):
    """Cookie, discovery port and group of the server's settings file, so
    that the simulated switches speak to it (defaults when unreadable)."""
    values = {"magic_cookie": "0", "udp_discovery_port": "fc01",
              "multicast_group": "239.255.255.100"}
    ecf = os.path.join(os.path.dirname(BINARY), "torvane-ecf")
    try:
        out = subprocess.run([ecf, "print", os.path.join(workdir, "cfg", "define.ecf")],
                             capture_output=True, text=True, timeout=10).stdout
    except OSError:
        out = ""
    for line in out.splitlines():
        key, sep, value = line.partition("=")
        if sep and key in values:
            values[key] = value.strip()
    return dict(cookie=int(values["magic_cookie"], 16),
                port=int(values["udp_discovery_port"], 16),
                multicast_group=values["multicast_group"])


def write_sample_firmware(path, version=FIRMWARE_VERSION, size=64 * 1024):
    """A made-up firmware image the simulated switches accept; they take
    their new version from the "version=" text in its first block."""
    if os.path.isfile(path):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    head = ("SIM SWITCH FIRMWARE version=%s\n" % version).encode()
    body = bytearray()
    state = 0x2545F491
    while len(head) + len(body) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        body += state.to_bytes(4, "big")
    with open(path + ".part", "wb") as f:
        f.write((head + bytes(body))[:size])
    os.replace(path + ".part", path)
    return path


def prepare_data_dir(data_dir):
    """The server's working folder: settings kept from run to run, the
    client files and request documents of this checkout, the firmware."""
    os.makedirs(data_dir, exist_ok=True)
    if not os.path.isdir(os.path.join(data_dir, "cfg")):
        shutil.copytree(os.path.join(ROOT, "cfg"), os.path.join(data_dir, "cfg"))
    for sub in ("auto", os.path.join("tools", "js_client")):
        src, dst = os.path.join(ROOT, sub), os.path.join(data_dir, sub)
        shutil.rmtree(dst, ignore_errors=True)
        if os.path.isdir(src):
            shutil.copytree(src, dst)
        else:
            os.makedirs(dst)
    return write_sample_firmware(os.path.join(data_dir, FIRMWARE_NAME))


# The page reads the server's lists every few seconds; the terminal leaves
# out the lines of reads ("Get... begin.") and keeps those of changes,
# events and errors. server.log keeps every line.
POLL_LINES = re.compile(r"^Get[A-Za-z]+ begin\b")


class Console:
    """Carries the server's output to the log file and the terminal, and
    the terminal's lines to the server's console."""

    def __init__(self, server, log_path, out=None, inp=None):
        self.server = server
        self.log = open(log_path, "ab", buffering=0)
        self.log.write(time.strftime("--- demo started %Y-%m-%d %H:%M:%S ---\n").encode())
        self.out = out or sys.stdout
        self.inp = inp or sys.stdin
        self.lock = threading.Lock()
        self.shown_partial = {}   # stream name -> text of an unfinished line shown
        self.unfinished = {}      # stream name -> its unfinished line: a question

    def start(self):
        for name, stream in (("out", self.server.stdout), ("err", self.server.stderr)):
            threading.Thread(target=self._pump, args=(name, stream), daemon=True).start()
        threading.Thread(target=self._feed, daemon=True).start()

    def _pump(self, name, stream):
        fd = stream.fileno()
        pending = ""
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            with self.lock:
                if not self.log.closed:
                    self.log.write(chunk)
            pending += decoder.decode(chunk)
            # The static file handler ends its lines without a line end.
            pending = re.sub(r"(get static file \S+ OK\.|get file msgbuf GET \S+ HTTP/1\.\d\.)",
                             r"\1\n", pending)
            lines = pending.split("\n")
            pending = lines.pop()
            self._show(name, lines, pending)

    def _show(self, name, lines, pending):
        with self.lock:
            self.unfinished[name] = pending
            shown = self.shown_partial.get(name, "")
            text = []
            for line in lines:
                if shown:
                    # The start of this line went out already (a prompt).
                    if line.startswith(shown):
                        text.append(line[len(shown):] + "\n")
                    else:
                        text.append("\n" + line + "\n")
                    shown = ""
                elif not POLL_LINES.match(line) and line.strip():
                    text.append(line + "\n")
            # An unfinished line is a prompt waiting for an answer: show it.
            if pending and not POLL_LINES.match(pending) and pending != shown:
                text.append(pending[len(shown):] if pending.startswith(shown) else pending)
                shown = pending
            self.shown_partial[name] = shown
            if text:
                # A prompt of the other stream stays on a line of its own;
                # its line comes again whole when it ends.
                for other, partial in self.shown_partial.items():
                    if other != name and partial:
                        text.insert(0, "\n")
                        self.shown_partial[other] = ""
                self.out.write("".join(text))
                self.out.flush()

    def say(self, text):
        """A line of the demo's own, not cut into one of the server's."""
        with self.lock:
            shown = any(self.shown_partial.values())
            self.out.write(("\n" if shown else "") + text + "\n")
            self.out.flush()
            self.shown_partial = {}

    def _feed(self):
        """Terminal lines to the server's console, until either side ends.

        A line goes to the server only while it asks a question (its output
        ends in an unfinished line, such as the prompt of "Save as"): the
        server would keep any other line as the answer to its next question.
        """
        try:
            for line in self.inp:
                with self.lock:
                    asked = any(self.unfinished.values())
                    if not asked:
                        self.out.write("(not sent: the server asks nothing now)\n")
                        self.out.flush()
                        continue
                    self.unfinished = {}
                    if not self.log.closed:
                        self.log.write(("> " + line).encode())
                self.server.stdin.write(line.encode())
                self.server.stdin.flush()
        except (OSError, ValueError):
            pass

    def close(self):
        with self.lock:
            self.log.close()


def stop_process_group(proc):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=10)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=10)


def main():
    if not os.path.exists(BINARY):
        print("no server binary at %s: run tools/setup.sh first" % BINARY, file=sys.stderr)
        return 1
    from lab import Lab
    data_dir = os.environ.get("TORVANE_DEMO_DATA", DATA_DIR)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    # Ctrl-C works even when started from a shell that ignores SIGINT in
    # background jobs.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    forward = console = None
    scratch = tempfile.mkdtemp(prefix="torvane-demo-")  # the simulators' descriptions
    try:
        firmware = prepare_data_dir(data_dir)
        settings = engine_settings(data_dir)
        with Lab() as lab:
            topo = build_topology(lab, scratch, settings)
            # No graphical session for the server: "Save as" asks on its
            # console, which is this terminal.
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
            server = lab.popen(topo.server_ns, [BINARY], cwd=data_dir, env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
            log_path = os.path.join(data_dir, SERVER_LOG)
            console = Console(server, log_path)
            console.start()
            # Host loopback -> the server's loopback inside its namespace.
            forward = subprocess.Popen(
                ["socat", f"TCP-LISTEN:{SOAP_PORT},bind=127.0.0.1,reuseaddr,fork",
                 f"EXEC:ip netns exec {topo.server_ns} socat STDIO TCP\\:127.0.0.1\\:{SOAP_PORT}"],
                start_new_session=True, stderr=subprocess.DEVNULL)
            rel = os.path.relpath(data_dir, os.getcwd())
            console.say(
                f"Torvane demo: http://127.0.0.1:{SOAP_PORT}/index.html  "
                f"({len(topo.switches)} simulated switches on lan-a and lan-b; Ctrl-C to stop)\n"
                f"  server folder {rel}/ (saved files), full log {rel}/{SERVER_LOG}, "
                f"sample firmware {os.path.relpath(firmware, os.getcwd())}\n"
                f"  the server's questions (Save as) are answered here")
            try:
                while not stopping and server.poll() is None:
                    time.sleep(0.5)
            except KeyboardInterrupt:
                pass
            finally:
                # A second Ctrl-C must not cut the clean-up short.
                signal.signal(signal.SIGINT, signal.SIG_IGN)
                # Before the lab goes: the forward runs commands in its namespace.
                stop_process_group(forward)
    except KeyboardInterrupt:
        pass  # interrupted while the lab was being built; it is gone already
    finally:
        stop_process_group(forward)
        if console is not None:
            console.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("Torvane demo stopped; the lab is removed (%s/ stays)."
          % os.path.relpath(data_dir, os.getcwd()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

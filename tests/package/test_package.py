"""The Debian package, end to end: build it, check it with lintian,
install it with dpkg (no service start), run the installed server the way
its systemd unit runs it, reinstall, purge.

The installed server runs inside a lab namespace (never in the root
namespace), as the user torvane, with exactly the unit's capabilities and
no new privileges (setpriv), from /var/lib/torvane, with standard input
from /dev/null, in a mount namespace that stands in for the unit's
ProtectSystem=strict, ReadWritePaths, ProtectHome and PrivateTmp. One run
goes through strace, so that every system call and socket family the
server used can be checked against SystemCallFilter and
RestrictAddressFamilies.

The package is installed on this machine only for the length of this
module: every path through it ends with a purge.
"""

import contextlib
import fcntl
import grp
import hashlib
import json
import os
import pwd
import re
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from xml.sax.saxutils import escape

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
from lab import Lab, wait_for_line  # noqa: E402
from torvane import SWITCH_INFO_FIELDS, TorvaneServer, text_of  # noqa: E402

SWITCHSIM = os.path.join(ROOT, "tools", "switchsim.py")
UNIT = "/lib/systemd/system/torvane.service"
STATE = "/var/lib/torvane"
DATA = "/usr/share/torvane"
JQUERY = "/usr/share/javascript/jquery/jquery.min.js"
LOCK = "/run/lock/torvane-package-test.lock"
POLICY = "/usr/sbin/policy-rc.d"
WANTS = "/etc/systemd/system/multi-user.target.wants/torvane.service"

P = 64513
TFTP_PORT = 64517
COOKIE = 0x0A0B0C0D
SERVER_IP, SERVER_MAC = "10.1.0.1", "02:00:00:00:01:01"
SW = dict(mac="02-AB-CD-00-00-21", ip="10.1.0.11", password="pw1", reboot_ms=300,
          new_fw_version="2.0.1")
IGMP_REPORT = bytes.fromhex("1200FE9AEFFFFF64")
ETH_P_IP = 0x0800


def run(argv, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 600)
    return subprocess.run(argv, **kw)


def root_only():
    if os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    for tool in ("dpkg-buildpackage", "lintian", "setpriv", "strace", "ip", "unshare"):
        if shutil.which(tool) is None:
            pytest.skip("%s is not installed" % tool)


# ---------------------------------------------------------------------------
# The unit, as the tests read it


def unit_settings(path=UNIT):
    """The [Service] settings of a unit file: name -> list of values."""
    out = {}
    section = None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]":
                k, _, v = line.partition("=")
                out.setdefault(k, []).append(v)
    return out


def unit_caps(unit):
    caps = unit["AmbientCapabilities"][0].split()
    assert sorted(caps) == sorted(unit["CapabilityBoundingSet"][0].split())
    return caps


# The mount namespace the server runs in: the unit's view of the file
# system. The state folder is a mount of its own so that it stays
# writable; everything else but the kernel's file systems is read-only.
SANDBOX = r"""
set -e
mount --bind "$STATE" "$STATE"
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
for d in /home /root /run/user; do
  if [ -d "$d" ]; then mount -t tmpfs -o mode=000 tmpfs "$d"; fi
done
awk '{print $5}' /proc/self/mountinfo | sort -u | while read -r m; do
  case "$m" in
    /proc|/proc/*|/sys|/sys/*|/dev|/dev/*|"$STATE"|/tmp|/var/tmp) ;;
    *) mount -o remount,bind,ro "$m" 2>/dev/null || true ;;
  esac
done
awk '$5 == "/" {print $6}' /proc/self/mountinfo | grep -q '^ro' || { echo "/ is writable" >&2; exit 97; }
cd "$WORKDIR"
umask "$UMASK"
exec "$@"
"""


def service_argv(unit, caps, trace=None):
    """argv that starts the installed server as the unit would, with the
    capabilities caps (names as in the unit file)."""
    user, group = unit["User"][0], unit["Group"][0]
    spec = ",".join(["-all"] + ["+" + c[len("CAP_"):].lower() for c in caps])
    setpriv = ["setpriv", "--reuid", user, "--regid", group, "--init-groups",
               "--inh-caps", spec, "--ambient-caps", spec, "--bounding-set", spec]
    if unit["NoNewPrivileges"][0] == "yes":
        setpriv.append("--no-new-privs")
    sandbox = ["env", "STATE=" + unit["ReadWritePaths"][0],
               "WORKDIR=" + unit["WorkingDirectory"][0], "UMASK=" + unit["UMask"][0],
               "unshare", "--mount", "--propagation", "private", "sh", "-c", SANDBOX, "sh"]
    argv = sandbox + setpriv + unit["ExecStart"][0].split()
    if trace:
        argv = ["strace", "-f", "-qq", "-s", "64", "-o", trace] + argv
    return argv


class InstalledServer(TorvaneServer):
    """The installed server in the state folder, started as the unit does."""

    def __init__(self, lab, ns, caps=None, trace=None):
        super().__init__(lab, ns, workdir=STATE)
        self.unit = unit_settings()
        self.caps = unit_caps(self.unit) if caps is None else caps
        self.trace = trace

    def prepare(self, *args, **kw):
        return self  # the package made the working directory

    def start(self, wait=True):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.proc = self.lab.popen(self.ns, service_argv(self.unit, self.caps, self.trace),
                                   env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.output, True),
                         daemon=True).start()
        threading.Thread(target=self._pump, args=(self.proc.stderr, self.errors, False),
                         daemon=True).start()
        if wait:
            self.wait_for("Server push socket start to listen", timeout=30)
        return self

    def stop(self):
        # The state folder belongs to the package: never removed here.
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def as_torvane(argv, **kw):
    return run(["setpriv", "--reuid", "torvane", "--regid", "torvane", "--init-groups"] + argv,
               **kw)


def write_settings(text):
    out = as_torvane(["/usr/bin/torvane-ecf", "write", STATE + "/cfg/define.ecf"], input=text)
    assert out.returncode == 0, out.stderr


def read_settings():
    out = as_torvane(["/usr/bin/torvane-ecf", "print", STATE + "/cfg/define.ecf"])
    assert out.returncode == 0, out.stderr
    return dict(line.split("=", 1) for line in out.stdout.split())


# ---------------------------------------------------------------------------
# The lab: the server, one simulated switch, a listener for IGMP reports


def switch_info_xml(sw):
    text = {"productName", "systemName", "location", "agentIpAddr", "agentNetmask",
            "agentGateway", "trapIpAddr", "newPasseord", "oldPassword", "fwVersion",
            "lldpAuthenkey", "errString", "macAddr"}
    info = {k: ("" if k in text else 0) for k in SWITCH_INFO_FIELDS}
    info.update(agentIpAddr=sw["ip"], agentNetmask="255.255.255.0", macAddr=sw["mac"],
                oldPassword=sw["password"], upgradeRebootTime=1, upgradeEreaseFlashTime=0)
    return "<vecSwitchInfo>%s</vecSwitchInfo>" % "".join(
        "<%s>%s</%s>" % (k, escape(str(info[k])), k) for k in SWITCH_INFO_FIELDS)


class ServiceLab:
    def __init__(self, lab, tmp_path, **server_kw):
        self.lab = lab
        seg = lab.segment("lan")
        self.srv_ns = lab.namespace("srv")
        lab.attach(self.srv_ns, seg, SERVER_IP + "/24", mac=SERVER_MAC)
        self.sw_ns = lab.namespace("sw")
        lab.run(self.sw_ns, ["sysctl", "-qw", "net.ipv4.conf.all.arp_ignore=1"])
        lab.attach(self.sw_ns, seg, SW["ip"] + "/24", mac=SW["mac"].replace("-", ":"))
        self.record = tmp_path / "record.jsonl"
        sim = dict(SW, interface="eth0")
        (tmp_path / "sim.json").write_text(json.dumps(
            dict(cookie=COOKIE, port=P, record=str(self.record), switches=[sim])))
        self.sim = lab.popen(self.sw_ns, [sys.executable, SWITCHSIM, str(tmp_path / "sim.json")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        wait_for_line(self.sim.stdout, "switchsim ready", 15)
        self.capture = lab.socket(self.sw_ns, socket.AF_PACKET, socket.SOCK_RAW,
                                  socket.htons(ETH_P_IP))
        self.capture.bind(("eth0", ETH_P_IP))
        self.capture.setblocking(False)
        self.server = InstalledServer(lab, self.srv_ns, **server_kw)

    def start_engine(self):
        self.server.start()
        assert self.value("EngineLayerStartup", "errorcode") == "0"
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            out = self.lab.run(self.srv_ns, ["ss", "-Huln"]).stdout
            if ":%d " % P in out and ":%d " % TFTP_PORT in out and ":%d " % (P + 6) in out:
                return
            time.sleep(0.1)
        raise AssertionError("engine sockets did not open: " + out)

    def call(self, op, xml=""):
        return self.server.call(op, xml)

    def value(self, op, name, xml=""):
        return text_of(self.call(op, xml).body_element(), name)

    def igmp_reports(self, seconds):
        found = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(0.1)
            while True:
                try:
                    frame = self.capture.recv(65535)
                except BlockingIOError:
                    break
                ip = frame[14:]
                if len(ip) >= 28 and ip[9] == 2:
                    ihl = (ip[0] & 0x0F) * 4
                    if ip[ihl:ihl + 1] == b"\x12":
                        found.append(bytes(ip[ihl:ihl + 8]))
        return found

    def discover(self):
        assert not self.call("SetDiscoverToAgents").is_fault()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            el = self.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body_element()
            macs = [text_of(s, "macAddr") for s in el.findall("arrList")]
            if SW["mac"] in macs:
                return el
            time.sleep(0.2)
        raise AssertionError("discovery did not find the switch")

    def pinned(self):
        out = self.lab.run(self.srv_ns, ["ip", "neigh", "show", SW["ip"], "nud", "permanent"])
        words = out.stdout.split()
        return words[words.index("lladdr") + 1] if "lladdr" in words else None

    def upgrade_status(self):
        el = self.call("GetUpgradeStatus", "<strMacAddr>%s</strMacAddr>" % SW["mac"]).body_element()
        return int(text_of(el, "upgradeStatus")), int(text_of(el, "failedCode"))

    def start_upgrade(self, firmware_path):
        fw = "<strFwFilePath>%s</strFwFilePath>" % escape(firmware_path)
        assert self.value("SetFwFilePath", "errorcode", fw) == "0"
        assert not self.call("AddUpgradeAgent", switch_info_xml(SW)).is_fault()
        assert not self.call("StartUpgrade",
                             "<nUserID>0</nUserID><strUserName>x</strUserName>").is_fault()

    def records(self, event):
        if not self.record.exists():
            return []
        return [r for r in map(json.loads, self.record.read_text().splitlines())
                if r.get("event") == event]

    def close(self):
        self.server.stop()
        self.capture.close()


def firmware(size):
    """A firmware image in the state folder, readable by the service."""
    data = bytes((i * 7 + 3) & 0xFF for i in range(size))
    path = os.path.join(STATE, "fw-test.bin")
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    return path, hashlib.sha256(data).hexdigest()


# ---------------------------------------------------------------------------
# System call and socket family checks against the unit


def syscall_groups():
    """systemd's syscall groups: name -> set of entries (calls or @groups)."""
    out = run(["systemd-analyze", "syscall-filter"]).stdout
    groups, current = {}, None
    for line in out.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), set())
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.add(line.strip())
    return groups


def expand(groups, entry, seen=None):
    seen = set() if seen is None else seen
    if not entry.startswith("@"):
        return {entry}
    if entry in seen:
        return set()
    seen.add(entry)
    out = set()
    for e in groups.get(entry, ()):
        out |= expand(groups, e, seen)
    return out


def traced_server_calls(trace_path, binary):
    """(system call names, socket families, paths named) of the process
    that ran binary and of every thread or child it made."""
    exec_re = re.compile(r'^(\d+) +execve\("%s"' % re.escape(binary))
    line_re = re.compile(r"^(\d+) +(?:<\.\.\. )?([a-z0-9_]+)[( ]")
    clone_re = re.compile(r"^(\d+) +(?:<\.\.\. )?(?:clone|clone3|fork|vfork)\b.*= (\d+)$")
    family_re = re.compile(r"^(\d+) +socket\((AF_[A-Z0-9]+)")
    path_re = re.compile(r'^\d+ +(?:openat|newfstatat|statx|access|readlink)\((?:AT_FDCWD, )?"([^"]*)"')
    ours, calls, families, paths = set(), set(), set(), set()
    with open(trace_path) as f:
        for line in f:
            line = line.rstrip("\n")
            m = exec_re.match(line)
            if m and line.endswith("= 0"):
                ours.add(m.group(1))
                continue
            m = line_re.match(line)
            if not m or m.group(1) not in ours:
                continue
            if line.startswith(m.group(1) + " +++") or " --- " in line:
                continue
            calls.add(m.group(2))
            c = clone_re.match(line)
            if c:
                ours.add(c.group(2))
            s = family_re.match(line)
            if s:
                families.add(s.group(2))
            p = path_re.match(line)
            if p:
                paths.add(p.group(1))
    return calls, families, paths


# ---------------------------------------------------------------------------
# Fixtures: the package, built once; installed once for the module


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    root_only()
    out = tmp_path_factory.mktemp("deb")
    env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=%d" % (os.cpu_count() or 1))
    built = run(["bash", os.path.join(ROOT, "tools", "build_deb.sh"), str(out)], env=env,
                timeout=1800)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    debs = sorted(out.glob("torvane_*.deb"))
    assert len(debs) == 1, debs
    return debs[0]


def dpkg(*args):
    """Runs dpkg, waiting while apt or dpkg of someone else holds its lock."""
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    deadline = time.monotonic() + 600
    while True:
        got = run(["dpkg", *args], env=env)
        if got.returncode == 0 or "lock" not in got.stderr or time.monotonic() > deadline:
            return got
        time.sleep(2)


def purge():
    dpkg("--purge", "torvane")


@pytest.fixture(scope="module")
def installed(deb):
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        made_policy = False
        if not os.path.exists(POLICY):
            # Maintainer scripts ask this before they start a service.
            with open(POLICY, "w") as f:
                f.write("#!/bin/sh\nexit 101\n")
            os.chmod(POLICY, 0o755)
            made_policy = True
        try:
            purge()  # what a killed earlier run may have left
            got = dpkg("-i", str(deb))
            assert got.returncode == 0, got.stdout + got.stderr
            yield deb
        finally:
            purge()
            if made_policy:
                os.unlink(POLICY)


@pytest.fixture
def lab():
    the_lab = Lab()
    try:
        yield the_lab
    finally:
        the_lab.close()


def mode_owner(path):
    st = os.lstat(path)
    return (stat.S_IMODE(st.st_mode), pwd.getpwuid(st.st_uid).pw_name,
            grp.getgrgid(st.st_gid).gr_name)


def server_processes():
    """Processes running the installed server, in any namespace."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            if os.readlink("/proc/%s/exe" % pid) == "/usr/sbin/torvane":
                found.append(int(pid))
    return found


# ---------------------------------------------------------------------------
# The tests, in the order an administrator meets them


def test_cmake_install_lays_out_the_state_folder_and_keeps_settings(tmp_path):
    """cmake --install alone: the same layout under its prefix, default
    settings only where there are none."""
    build = os.path.join(ROOT, "build")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        pytest.skip("the checkout is not built (bash tools/setup.sh)")
    dest = tmp_path / "dest"
    env = dict(os.environ, DESTDIR=str(dest))

    def install():
        got = run(["cmake", "--install", build], env=env)
        assert got.returncode == 0, got.stdout + got.stderr
        return got.stdout

    install()
    (settings,) = dest.glob("**/lib/torvane/cfg/define.ecf")
    state = settings.parent.parent
    with open(os.path.join(ROOT, "cfg", "define.ecf"), "rb") as f:
        assert settings.read_bytes() == f.read()
    assert os.readlink(state / "auto").endswith("/share/torvane/auto")
    assert os.readlink(state / "tools" / "js_client").endswith("/share/torvane/js_client")
    data = dest / os.readlink(state / "auto").lstrip("/")
    assert sorted(os.listdir(data)) == sorted(
        n for n in os.listdir(os.path.join(ROOT, "auto")) if n.endswith(".req.xml"))
    jquery = data.parent / "js_client" / "jquery.js"
    assert os.readlink(jquery) == JQUERY
    assert list(dest.glob("**/sbin/torvane")) and list(dest.glob("**/bin/torvane-ecf"))
    (unit,) = dest.glob("**/systemd/system/torvane.service")
    assert "WorkingDirectory=/%s\n" % state.relative_to(dest) in unit.read_text()

    settings.write_bytes(b"the administrator's")
    assert "Keeping: " in install()
    assert settings.read_bytes() == b"the administrator's"


def test_package_fields_and_lintian(deb):
    fields = run(["dpkg-deb", "-f", str(deb), "Package", "Depends", "Architecture"]).stdout
    assert "Package: torvane\n" in fields
    assert "Architecture: %s\n" % run(["dpkg", "--print-architecture"]).stdout.strip() in fields
    depends = [d.strip().split()[0] for d in
               re.search(r"^Depends: (.*)$", fields, re.M).group(1).split(",")]
    # Computed from the binaries' libraries, beside the declared ones.
    for needed in ("adduser", "libjs-jquery", "libc6", "libstdc++6"):
        assert needed in depends
    assert any(d.startswith("libgsoap") for d in depends)

    contents = run(["dpkg-deb", "-c", str(deb)]).stdout
    assert "./usr/share/torvane/js_client/jquery.js -> ../../javascript/jquery/jquery.min.js" \
        in contents
    assert "./var/lib/torvane/cfg/define.ecf" not in contents  # the postinst's job

    checked = run(["lintian", "--fail-on", "error,warning", str(deb)])
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert not re.search(r"^[EW]: ", checked.stdout, re.M), checked.stdout


def test_installed_files_user_and_unit(installed):
    user = pwd.getpwnam("torvane")
    assert user.pw_uid < 1000 and user.pw_dir == STATE and user.pw_shell.endswith("nologin")
    assert grp.getgrgid(user.pw_gid).gr_name == "torvane"

    assert mode_owner("/usr/sbin/torvane") == (0o755, "root", "root")
    assert mode_owner("/usr/bin/torvane-ecf") == (0o755, "root", "root")
    assert mode_owner(UNIT) == (0o644, "root", "root")
    names = sorted(n for n in os.listdir(os.path.join(ROOT, "auto")) if n.endswith(".req.xml"))
    assert sorted(os.listdir(DATA + "/auto")) == names
    for n in names:
        assert mode_owner(DATA + "/auto/" + n) == (0o644, "root", "root")
    with open(os.path.join(ROOT, "tools/js_client/index.html"), "rb") as a, \
            open(DATA + "/js_client/index.html", "rb") as b:
        assert a.read() == b.read()
    assert os.path.realpath(DATA + "/js_client/jquery.js") == os.path.realpath(JQUERY)

    # The state folder: the service's, with links to the read-only data.
    for d in (STATE, STATE + "/cfg"):
        assert mode_owner(d) == (0o755, "torvane", "torvane")
    assert mode_owner(STATE + "/cfg/define.ecf") == (0o644, "torvane", "torvane")
    with open(DATA + "/define.ecf", "rb") as a, open(STATE + "/cfg/define.ecf", "rb") as b:
        assert a.read() == b.read()
    assert os.path.realpath(STATE + "/auto") == DATA + "/auto"
    assert os.path.realpath(STATE + "/tools/js_client") == DATA + "/js_client"

    # Not enabled, not started: nothing runs the installed server.
    assert not os.path.lexists(WANTS)
    assert server_processes() == []

    unit = unit_settings()
    assert unit["User"] == ["torvane"] and unit["WorkingDirectory"] == [STATE]
    assert unit["ExecStart"] == ["/usr/sbin/torvane"] and unit["StandardInput"] == ["null"]
    assert unit["Restart"] == ["on-failure"]  # exit code 0 (GSoapClose) stays stopped
    assert sorted(unit_caps(unit)) == ["CAP_NET_ADMIN", "CAP_NET_RAW"]
    man = [] if shutil.which("man") else ["--man=no"]
    verified = run(["systemd-analyze", "verify"] + man + [UNIT])
    assert verified.returncode == 0, verified.stdout + verified.stderr


def test_installed_server_runs_every_feature_under_the_unit(installed, lab, tmp_path):
    write_settings("magic_cookie=%08x\nigmp_report_interval=120\n" % COOKIE)
    trace = str(tmp_path / "strace.txt")
    s = ServiceLab(lab, tmp_path, trace=trace)
    try:
        s.start_engine()
        out = s.server.stdout_text()
        version = run(["dpkg-query", "-W", "-f", "${Version}", "torvane"]).stdout
        assert "Torvane server %s\n" % version in out
        assert "Socket connection successful: master socket = " in out

        # The browser client, from the read-only data and Debian's jQuery.
        with open(DATA + "/js_client/index.html", "rb") as f:
            assert s.server.get("/index.html").body == f.read()
        with open(JQUERY, "rb") as f:
            assert s.server.get("/jquery.js").body == f.read()
        assert int(s.value("GetReqXmlList", "nNum")) == len(os.listdir(DATA + "/auto"))

        # IGMP report through the raw socket; discovery.
        assert IGMP_REPORT in s.igmp_reports(3)
        s.discover()

        # A device set.
        params = dict(systemName="from-package", location="lab", agentIpAddr=SW["ip"],
                      agentNetmask="255.255.255.0", agentGateway="0.0.0.0",
                      trapIpAddr="0.0.0.0", newPasseord="", oldPassword=SW["password"],
                      dhcpMode=0, groupTimer=0, snmpMode=0, macAddr=SW["mac"], operate=0)
        assert not s.call("SetDeviceCfgEx", "".join(
            "<%s>%s</%s>" % (k, escape(str(v)), k) for k, v in params.items())).is_fault()
        deadline, results = time.monotonic() + 10, []
        while not results and time.monotonic() < deadline:
            el = s.call("GetOperateResult",
                        "<nUserID>0</nUserID><strUserName>x</strUserName>").body_element()
            results = [(text_of(a, "result"), text_of(a.find("agentInfo"), "systemName"))
                       for a in el.findall("arrList")]
            time.sleep(0.2)
        assert results == [("0", "from-package")]

        # Monitoring; SetRefreshTime rewrites the settings in the state folder.
        assert s.value("SetRefreshTime", "errorcode",
                       "<monitorPollingInterval>1</monitorPollingInterval>") == "0"
        assert read_settings()["monitor_polling_interval"] == "1"
        assert mode_owner(STATE + "/cfg/define.ecf")[1:] == ("torvane", "torvane")
        s.call("AddMonitorAgent", "<strIpAddress>%s</strIpAddress><strMacAddr>%s</strMacAddr>"
               % (SW["ip"], SW["mac"]))
        deadline = time.monotonic() + 10
        while True:
            el = s.call("GetMonitorStatus", "<monitorNum>1</monitorNum>").body_element()
            info = el.find("arrList/monitorInfo")
            if info is not None and text_of(info, "macAddr") == SW["mac"]:
                break
            assert time.monotonic() < deadline, "the monitor poll never reached the switch"
            time.sleep(0.2)
        assert text_of(el.find("arrList"), "isAlive") == "1"

        # SaveFile: the state folder is writable; the rest is not, and /tmp
        # is the service's own.
        saved = STATE + "/watched.cfg"
        assert s.value("SaveFile", "errorcode", "<filepath>%s</filepath>" % saved) == "0"
        answer = s.call("SaveFile", "<filepath>%s</filepath>" % (DATA + "/watched.cfg"))
        assert answer.is_fault(), "a save the unit forbids must not answer success"
        # /tmp is the service's private one: the save lands there, not in the host's.
        assert s.value("SaveFile", "errorcode",
                       "<filepath>/tmp/torvane-package-test.cfg</filepath>") == "0"
        assert os.path.getsize(saved) == 628
        # New save files hold switch passwords: readable by the service only.
        assert mode_owner(saved) == (0o600, "torvane", "torvane")
        assert not os.path.exists(DATA + "/watched.cfg")
        assert not os.path.exists("/tmp/torvane-package-test.cfg")
        el = s.call("LoadFile", "<filepath>%s</filepath>" % saved).body_element()
        assert (text_of(el, "nErrorCode"), text_of(el, "nMonitorNum")) == ("0", "1")

        # An upgrade, with the switch pinned by a static neighbour entry.
        fw, digest = firmware(3000)
        s.start_upgrade(fw)
        assert s.pinned() == SW["mac"].replace("-", ":").lower()
        deadline = time.monotonic() + 20
        while s.upgrade_status()[0] not in (9, 10):
            assert time.monotonic() < deadline, "the upgrade did not end"
            time.sleep(0.2)
        assert s.upgrade_status() == (9, 0)
        (done,) = s.records("tftp_done")
        assert (done["size"], done["sha256"]) == (3000, digest)
        assert s.value("EndUpgrade", "errorcode",
                       "<nUserID>0</nUserID><strUserName>x</strUserName>") == "0"
        assert s.pinned() is None

        # GSoapClose: exit code 0, which the unit does not restart.
        s.server.http(("POST / HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
                       "Content-Length: %d\r\n\r\n" % len(close_request()) + close_request())
                      .encode(), timeout=10)
        assert s.server.wait_exit(timeout=15) == 0
    finally:
        s.close()

    # Everything the server asked of the kernel is allowed by the unit.
    unit = unit_settings()
    calls, families, paths = traced_server_calls(trace, unit["ExecStart"][0])
    assert "socket" in calls and "AF_INET" in families
    assert "cfg/define.ecf" in paths
    # ProcSubset=pid: nothing of /proc but the processes, nothing of /sys.
    assert unit["ProcSubset"] == ["pid"]
    assert [p for p in paths if re.match(r"^/proc/(?!self/|thread-self/|\d+/)|^/sys/", p)] == []
    allowed = set(unit["RestrictAddressFamilies"][0].split())
    assert families <= allowed, families - allowed
    # An allow list, then the lists taken out of it ("~...").
    groups = syscall_groups()
    permitted = set()
    for line in unit["SystemCallFilter"]:
        deny = line.startswith("~")
        names = set()
        for entry in line.lstrip("~").split():
            names |= expand(groups, entry)
        permitted = permitted - names if deny else permitted | names
    assert calls - permitted == set()


def close_request():
    return ('<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope '
            'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:ns="urn:Ostra">'
            '<SOAP-ENV:Body><ns:GSoapClose/></SOAP-ENV:Body></SOAP-ENV:Envelope>')


@pytest.mark.parametrize("kept", [["CAP_NET_ADMIN"], ["CAP_NET_RAW"], []],
                         ids=["without-net-raw", "without-net-admin", "none"])
def test_each_capability_of_the_unit_is_needed(installed, lab, tmp_path, kept):
    """Without one of the unit's capabilities, exactly its feature is lost;
    discovery (sockets bound to their adapters, broadcast, the engine's
    ports) needs none of them."""
    assert set(kept) <= set(unit_caps(unit_settings()))
    write_settings("magic_cookie=%08x\nigmp_report_interval=120\n" % COOKIE)
    s = ServiceLab(lab, tmp_path, caps=kept)
    try:
        s.start_engine()
        reports = s.igmp_reports(3)
        s.discover()
        s.start_upgrade(firmware(600)[0])
        time.sleep(1)
        pinned = s.pinned()
        assert (IGMP_REPORT in reports) == ("CAP_NET_RAW" in kept)
        assert (pinned is not None) == ("CAP_NET_ADMIN" in kept)
    finally:
        s.close()


def test_browser_client_works_against_the_installed_server(installed, lab, tmp_path,
                                                           monkeypatch):
    """The page and Debian's jQuery, served by the installed server under
    the unit's restrictions, in a real browser: discover, rename, watch."""
    import test_browser
    missing = test_browser._missing_tools()
    if missing:
        pytest.skip("browser test: " + missing)
    write_settings("magic_cookie=00000000\n")
    monkeypatch.setattr(test_browser, "TorvaneServer", InstalledServer)
    rename, watch = test_browser.RENAME, test_browser.WATCH
    b = test_browser.BrowserLab(lab, tmp_path, [rename, watch])
    try:
        passed, lines, artifacts, stderr = b.drive(
            "manage", switches=dict(
                rename=dict(mac=rename["mac"], ip=rename["ip"], password=rename["password"],
                            newName="renamed-in-browser"),
                watch=dict(mac=watch["mac"], ip=watch["ip"])))
        test_browser.report(passed, lines, artifacts, stderr, b.server)
    finally:
        b.close()
    assert "get static file ./tools/js_client/jquery.js OK." in b.server.stdout_text()


def test_reinstall_keeps_the_settings_and_saved_files(installed):
    write_settings("magic_cookie=%08x\nmonitor_polling_interval=42\n" % COOKIE)
    saved = STATE + "/kept.cfg"
    with open(saved, "wb") as f:
        f.write(b"\0" * 628)
    with open(STATE + "/cfg/define.ecf", "rb") as f:
        settings = f.read()
    # As after "systemctl enable torvane"; with the policy saying no, the
    # upgrade's restart does not happen either.
    enabled = run(["systemctl", "enable", "torvane"])
    assert enabled.returncode == 0, enabled.stderr
    assert os.path.islink(WANTS)

    got = dpkg("-i", str(installed))
    assert got.returncode == 0, got.stdout + got.stderr
    with open(STATE + "/cfg/define.ecf", "rb") as f:
        assert f.read() == settings
    assert read_settings()["monitor_polling_interval"] == "42"
    assert os.path.exists(saved)
    assert mode_owner(STATE + "/cfg/define.ecf") == (0o644, "torvane", "torvane")
    assert mode_owner(STATE) == (0o755, "torvane", "torvane")
    assert os.path.islink(WANTS)
    assert server_processes() == []


def test_purge_leaves_nothing(installed):
    listed = run(["dpkg", "-L", "torvane"]).stdout.split("\n")
    got = dpkg("--purge", "torvane")
    assert got.returncode == 0, got.stdout + got.stderr
    assert run(["dpkg-query", "-W", "-f", "${Status}", "torvane"]).stdout.strip() in (
        "", "unknown ok not-installed")
    # Folders that other packages share (/usr/share/man/man8, ...) stay.
    left = [p for p in listed if p and os.path.lexists(p) and
            not (os.path.isdir(p) and "torvane" not in p)]
    assert left == []
    assert not os.path.lexists(STATE)
    assert not os.path.lexists(WANTS)
    with pytest.raises(KeyError):
        pwd.getpwnam("torvane")
    with pytest.raises(KeyError):
        grp.getgrnam("torvane")

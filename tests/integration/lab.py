"""Network-namespace test lab.

A Lab builds a small private network out of Linux network namespaces:
every host (the server under test, one or more simulated switches, test
clients) gets its own namespace, and every Ethernet segment is a Linux
bridge living in a hub namespace that belongs to the lab.  Hosts are wired
to segments with veth pairs.  Nothing here touches the root namespace's
links, addresses or routes; the only global objects are the named
namespaces themselves (/run/netns/<prefix>-*), which close() deletes.

Typical use:

    with Lab() as lab:
        srv = lab.namespace("server")
        sw = lab.namespace("switch")
        seg = lab.segment("lan")
        lab.attach(srv, seg, "10.1.0.1/24")
        lab.attach(sw, seg, "10.1.0.2/24", mac="02:00:00:00:00:02")
        proc = lab.popen(sw, ["python3", "tools/switchsim.py", "sim.json"])

Every lab owns a random prefix ("tv" + 4 hex digits) so that parallel runs
never collide.  A lab registers itself in REGISTRY_DIR with the process id
of its owner; a new lab removes the namespaces of any registered lab whose
owner has died (a test run killed with SIGKILL gets no atexit), so a crash
leaves nothing behind for longer than the next run.

Each lab is used from one thread at a time; it is not thread-safe.
"""

import atexit
import ctypes
import ipaddress
import json
import os
import re
import secrets
import signal
import socket
import subprocess
import threading
import time

REGISTRY_DIR = "/run/torvane-lab"
NETNS_DIR = "/run/netns"
CLONE_NEWNET = 0x40000000

_NAME_RE = re.compile(r"^[A-Za-z0-9_.-]{1,40}$")
_PREFIX_RE = re.compile(r"^[a-z][a-z0-9]{1,9}$")
_MAC_RE = re.compile(r"^[0-9a-fA-F]{2}([:-]?[0-9a-fA-F]{2}){5}$")

# Sysctls applied in every namespace before any link is created in it.
# Reverse-path filtering is off because simulated switches may answer
# from addresses outside the segment's subnet; IPv6 is off so that
# neighbour discovery and MLD do not add noise to the segments.
_NS_SYSCTLS = (
    ("net/ipv4/conf/all/rp_filter", "0"),
    ("net/ipv4/conf/default/rp_filter", "0"),
    ("net/ipv6/conf/all/disable_ipv6", "1"),
    ("net/ipv6/conf/default/disable_ipv6", "1"),
)


class LabError(RuntimeError):
    """A command that builds or changes the lab failed."""


def _ip(*args, check=True):
    """Runs the ip utility; raises LabError with its output on failure."""
    proc = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30)
    if check and proc.returncode != 0:
        raise LabError("ip %s: %s" % (" ".join(args), (proc.stderr or proc.stdout).strip()))
    return proc


def _proc_start_time(pid):
    """Start time of a process in clock ticks, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    # The command name may contain blanks and parentheses; the fields after
    # it start behind the last ")".
    fields = stat[stat.rfind(")") + 2:].split()
    return int(fields[19])


def _netns_pids(ns):
    proc = _ip("netns", "pids", ns, check=False)
    return [int(p) for p in proc.stdout.split() if p.isdigit()]


def _kill_netns_members(ns):
    """SIGKILLs every process whose network namespace is ns."""
    for pid in _netns_pids(ns):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _lab_netns_names(prefix):
    try:
        names = os.listdir(NETNS_DIR)
    except FileNotFoundError:
        return []
    return sorted(n for n in names if n.startswith(prefix + "-") or n == prefix + "_hub")


def _destroy_prefix(prefix):
    """Kills the processes in and deletes every namespace of a prefix."""
    names = _lab_netns_names(prefix)
    for ns in names:
        _kill_netns_members(ns)
    for ns in names:
        _ip("netns", "del", ns, check=False)


def sweep_stale_labs():
    """Removes the namespaces of labs whose owning process has died."""
    try:
        entries = os.listdir(REGISTRY_DIR)
    except FileNotFoundError:
        return
    for prefix in entries:
        path = os.path.join(REGISTRY_DIR, prefix)
        try:
            with open(path) as f:
                owner = json.load(f)
        except (OSError, ValueError):
            continue
        if _proc_start_time(owner.get("pid", -1)) == owner.get("start"):
            continue  # owner alive: the lab is in use
        _destroy_prefix(prefix)
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _normalise_mac(mac):
    if not _MAC_RE.match(mac):
        raise ValueError("bad MAC address %r" % mac)
    digits = re.sub(r"[:-]", "", mac).lower()
    return ":".join(digits[i:i + 2] for i in range(0, 12, 2))


class Lab:
    """A set of network namespaces joined by bridged Ethernet segments."""

    def __init__(self, prefix=None):
        sweep_stale_labs()
        os.makedirs(REGISTRY_DIR, exist_ok=True)
        self.prefix = self._claim_prefix(prefix)
        self.hub = None                 # hub namespace, made by the first segment()
        self._namespaces = []           # full names, in creation order
        self._segments = {}             # segment name -> bridge name in the hub
        self._if_count = {}             # namespace -> interfaces attached so far
        self._veth_count = 0
        self._procs = []
        self._closed = False
        atexit.register(self.close)

    # ----- naming and registration

    def _claim_prefix(self, prefix):
        """Picks a prefix and records this process as its owner.

        The registry file is created with O_EXCL, so two labs (in this or
        another process) can never hold the same prefix.
        """
        if prefix is not None and not _PREFIX_RE.match(prefix):
            raise ValueError("lab prefix must be 2 to 10 lowercase letters or digits: %r" % prefix)
        owner = json.dumps({"pid": os.getpid(), "start": _proc_start_time(os.getpid())})
        for _ in range(64):
            candidate = prefix or "tv" + secrets.token_hex(2)
            if _lab_netns_names(candidate):
                if prefix is not None:
                    raise LabError("namespaces with prefix %r already exist" % prefix)
                continue
            path = os.path.join(REGISTRY_DIR, candidate)
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                if prefix is not None:
                    raise LabError("lab prefix %r is in use" % prefix)
                continue
            with os.fdopen(fd, "w") as f:
                f.write(owner)
            return candidate
        raise LabError("no free lab prefix found")

    def _ns(self, ns):
        """Full namespace name for a full or short name made by this lab."""
        if ns in self._namespaces:
            return ns
        full = "%s-%s" % (self.prefix, ns)
        if full in self._namespaces:
            return full
        raise ValueError("namespace %r does not belong to this lab" % ns)

    def _check_open(self):
        if self._closed:
            raise LabError("lab is closed")

    def _new_netns(self, full):
        _ip("netns", "add", full)
        self._namespaces.append(full)
        writes = "; ".join("echo %s > /proc/sys/%s" % (v, k) for k, v in _NS_SYSCTLS)
        # disable_ipv6 is absent when the kernel has no IPv6; that is fine.
        subprocess.run(["ip", "netns", "exec", full, "sh", "-c", writes],
                       capture_output=True, timeout=30)
        _ip("-n", full, "link", "set", "lo", "up")

    # ----- building the network

    def namespace(self, name):
        """Creates namespace <prefix>-<name> with lo up; returns its name.

        Asking again for an existing name returns it unchanged.
        """
        self._check_open()
        if not _NAME_RE.match(name):
            raise ValueError("bad namespace name %r" % name)
        full = "%s-%s" % (self.prefix, name)
        if full not in self._namespaces:
            self._new_netns(full)
            self._if_count[full] = 0
        return full

    def segment(self, name):
        """Creates one Ethernet segment (a bridge in the hub); returns name.

        The bridge forwards at once (forward delay 0, no STP) and floods
        multicast (no snooping), so broadcast and multicast reach every
        port as soon as it is up.
        """
        self._check_open()
        if not _NAME_RE.match(name):
            raise ValueError("bad segment name %r" % name)
        if name in self._segments:
            return name
        if self.hub is None:
            hub = "%s_hub" % self.prefix
            self._new_netns(hub)
            self.hub = hub
        bridge = "br%d" % len(self._segments)
        _ip("-n", self.hub, "link", "add", bridge, "type", "bridge",
            "forward_delay", "0", "stp_state", "0", "mcast_snooping", "0")
        _ip("-n", self.hub, "link", "set", bridge, "up")
        self._segments[name] = bridge
        return name

    def attach(self, ns, segment, cidr, mac=None):
        """Wires namespace ns to a segment; returns the new interface name.

        The interface is named eth0, eth1, ... in order of attachment to ns;
        it gets the address cidr (e.g. "10.1.0.1/24", or None for none) with
        its subnet broadcast address, the MAC address mac when given, and is
        brought up.  The peer end is enslaved to the segment's bridge.
        """
        self._check_open()
        ns = self._ns(ns)
        if segment not in self._segments:
            raise ValueError("unknown segment %r" % segment)
        ifname = "eth%d" % self._if_count[ns]
        hub_end = "hp%d" % self._veth_count
        self._veth_count += 1
        # Both ends are created directly in their namespaces: the veth pair
        # never exists in the root namespace.
        _ip("-n", self.hub, "link", "add", hub_end, "type", "veth",
            "peer", "name", ifname, "netns", ns)
        self._if_count[ns] += 1
        _ip("-n", self.hub, "link", "set", hub_end, "master", self._segments[segment])
        _ip("-n", self.hub, "link", "set", hub_end, "up")
        if mac is not None:
            _ip("-n", ns, "link", "set", ifname, "address", _normalise_mac(mac))
        if cidr is not None:
            self.add_address(ns, ifname, cidr)
        _ip("-n", ns, "link", "set", ifname, "up")
        return ifname

    def add_address(self, ns, ifname, cidr):
        """Adds an IPv4 address (with its subnet broadcast) to an interface."""
        self._check_open()
        ns = self._ns(ns)
        ipaddress.ip_interface(cidr)  # reject malformed text before ip sees it
        _ip("-n", ns, "addr", "add", cidr, "brd", "+", "dev", ifname)

    def del_link(self, ns, ifname):
        """Deletes an interface of ns (the veth peer in the hub goes with it)."""
        self._check_open()
        _ip("-n", self._ns(ns), "link", "del", ifname)

    # ----- processes and sockets

    def _exec_argv(self, ns, argv):
        if isinstance(argv, (str, bytes)):
            raise TypeError("argv must be a list, not a string")
        return ["ip", "netns", "exec", self._ns(ns), *[str(a) for a in argv]]

    def popen(self, ns, argv, **kw):
        """Starts argv inside ns in its own process group.

        The process is tracked: close() kills its whole group.  Keyword
        arguments go to subprocess.Popen.
        """
        self._check_open()
        kw.setdefault("start_new_session", True)
        proc = subprocess.Popen(self._exec_argv(ns, argv), **kw)
        self._procs.append(proc)
        return proc

    def run(self, ns, argv, **kw):
        """Runs argv inside ns to completion.

        Output is captured as text and the run is bounded to 60 s unless
        the caller passes capture_output/stdout/stderr, text or timeout.
        """
        self._check_open()
        if not any(k in kw for k in ("stdout", "stderr", "capture_output")):
            kw["capture_output"] = True
        if not any(k in kw for k in ("text", "universal_newlines", "encoding")):
            kw["text"] = True
        kw.setdefault("timeout", 60)
        return subprocess.run(self._exec_argv(ns, argv), **kw)

    def socket(self, ns, family=socket.AF_INET, type=socket.SOCK_DGRAM, proto=0):
        """Creates a socket inside ns for use by the calling process.

        A socket belongs to the namespace it was created in, whatever
        thread later uses it.  It is made on a short-lived thread that has
        entered ns, so the calling thread never changes namespace.  The
        caller closes it.
        """
        self._check_open()
        path = os.path.join(NETNS_DIR, self._ns(ns))
        result = {}

        def make():
            libc = ctypes.CDLL(None, use_errno=True)
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
            try:
                if libc.setns(fd, CLONE_NEWNET) != 0:
                    err = ctypes.get_errno()
                    result["error"] = OSError(err, "setns(%s): %s" % (path, os.strerror(err)))
                    return
            finally:
                os.close(fd)
            try:
                result["sock"] = socket.socket(family, type, proto)
            except OSError as e:
                result["error"] = e

        worker = threading.Thread(target=make, name="lab-setns")
        worker.start()
        worker.join()
        if "error" in result:
            raise result["error"]
        return result["sock"]

    # ----- teardown

    def _stop_process(self, proc):
        if proc.poll() is not None:
            return
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(timeout=3)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        """Kills tracked processes and deletes every namespace of the lab.

        Deleting the namespaces removes their veths and the bridges.  Safe
        to call more than once; also runs at interpreter exit.
        """
        if self._closed:
            return
        self._closed = True
        try:
            for proc in self._procs:
                self._stop_process(proc)
                for pipe in (proc.stdin, proc.stdout, proc.stderr):
                    if pipe is not None:
                        try:
                            pipe.close()
                        except OSError:
                            pass
            # Processes the tests started by other means would keep a
            # namespace alive after its name is gone.
            _destroy_prefix(self.prefix)
        finally:
            try:
                os.unlink(os.path.join(REGISTRY_DIR, self.prefix))
            except FileNotFoundError:
                pass
            atexit.unregister(self.close)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def __repr__(self):
        return "<Lab %s: %d namespaces, %d segments%s>" % (
            self.prefix, len(self._namespaces), len(self._segments),
            ", closed" if self._closed else "")


def wait_for_line(stream, text, timeout):
    """Reads lines from a process pipe until one contains text.

    Returns the lines read (the matching one last); raises TimeoutError
    when the text did not come within timeout seconds or the pipe closed.
    """
    import selectors
    deadline = time.monotonic() + timeout
    lines = []
    buf = b""
    fd = stream.fileno()
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                raise TimeoutError("no %r within %.1f s; got %r" % (text, timeout, lines))
            chunk = os.read(fd, 4096)
            if not chunk:
                raise TimeoutError("pipe closed before %r; got %r" % (text, lines))
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode(errors="replace")
                lines.append(line)
                if text in line:
                    return lines

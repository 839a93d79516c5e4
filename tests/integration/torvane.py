"""Driving the built server over real sockets.

TorvaneServer runs build/torvane (or $TORVANE_BINARY) inside one of the lab's
namespaces, in a working directory of its own (a copy of cfg/, auto/ and
tools/js_client/), with its standard streams on pipes. SOAP requests are
written as raw HTTP and the answers parsed with ElementTree, independent of
our own gSOAP code.

A sanitizer build of the server writes its reports into the working
directory (one log_path per server start); stop() fails the test that
started the server when any report is there.
"""

import os
import queue
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY = os.path.abspath(os.environ.get("TORVANE_BINARY", os.path.join(ROOT, "build", "torvane")))
# The settings tool and the generated WSDL of the same build sit beside it.
BUILD_DIR = os.path.dirname(BINARY)
ECF = os.path.join(BUILD_DIR, "torvane-ecf")
WSDL = os.path.join(BUILD_DIR, "Torvane.wsdl")

SANITIZER_LOG = "sanitizer"  # file name prefix in the working directory
# Options of every sanitizer runtime the server may carry; ignored by a
# build without one. Each finding aborts the server (the builds use
# -fno-sanitize-recover=all); leaks are not looked for, as the server only
# ends by _exit or by a kill.
SANITIZER_ENV = {
    "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0:halt_on_error=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    "TSAN_OPTIONS": "halt_on_error=0:second_deadlock_stack=1",
}


def sanitizer_env(log_dir):
    """The environment entries that send every sanitizer report of one
    process start into log_dir."""
    log = os.path.join(log_dir, SANITIZER_LOG)
    env = {}
    for name, options in SANITIZER_ENV.items():
        extra = os.environ.get(name)
        env[name] = ":".join(x for x in (options, extra, "log_path=" + log) if x)
    return env


# How a sanitizer report begins. GCC's UBSan runtime, when linked beside
# ASan, ignores log_path and writes to standard error, so the server's
# standard error is searched as well.
SANITIZER_MARKS = re.compile(r"runtime error: |ERROR: \w*Sanitizer|WARNING: ThreadSanitizer")


def sanitizer_reports(log_dir, stderr_text=""):
    """The text of every sanitizer report in log_dir, and the standard error
    of the process when it holds one ("" when none)."""
    texts = []
    for name in sorted(os.listdir(log_dir)) if os.path.isdir(log_dir) else ():
        if name.startswith(SANITIZER_LOG + "."):
            with open(os.path.join(log_dir, name), errors="replace") as f:
                text = f.read()
            if text.strip():
                texts.append(f"--- {name}\n{text}")
    if SANITIZER_MARKS.search(stderr_text):
        texts.append(f"--- standard error\n{stderr_text[-8000:]}")
    return "\n".join(texts)

SOAP11_ENV = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP12_ENV = "http://www.w3.org/2003/05/soap-envelope"
NS = "urn:Ostra"
SOAP_PORT = 64567
PUSH_PORT = 64568


def envelope(body, soap12=False):
    env = SOAP12_ENV if soap12 else SOAP11_ENV
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            f'<SOAP-ENV:Envelope xmlns:SOAP-ENV="{env}" xmlns:ns="{NS}">'
            f'<SOAP-ENV:Body>{body}</SOAP-ENV:Body></SOAP-ENV:Envelope>')


def request(op, params="", soap12=False):
    """A request element ns:op holding the given parameter XML."""
    return envelope(f"<ns:{op}>{params}</ns:{op}>", soap12)


class HttpAnswer:
    def __init__(self, raw):
        self.raw = raw
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        self.status = int(lines[0].split()[1]) if len(lines[0].split()) > 1 else 0
        self.headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            self.headers[k.strip().lower()] = v.strip()

    def xml(self):
        return ET.fromstring(self.body)

    def body_element(self):
        """The first child of the SOAP Body."""
        root = self.xml()
        for env in (SOAP11_ENV, SOAP12_ENV):
            body = root.find(f"{{{env}}}Body")
            if body is not None:
                return list(body)[0]
        raise AssertionError("no SOAP body in " + self.body.decode(errors="replace"))

    def is_fault(self):
        el = self.body_element()
        return el.tag.endswith("}Fault")


class TorvaneServer:
    def __init__(self, lab, ns, workdir=None):
        self.lab = lab
        self.ns = ns
        self.workdir = workdir or tempfile.mkdtemp(prefix="torvane-")
        self.proc = None
        self.lines = queue.Queue()
        self.output = []
        self.errors = []
        self.pumps = []

    def prepare(self, settings=True, client=True, auto=True):
        for sub, wanted in (("cfg", settings), ("auto", auto), ("tools/js_client", client)):
            dst = os.path.join(self.workdir, sub)
            os.makedirs(dst, exist_ok=True)
            src = os.path.join(ROOT, sub)
            if wanted and os.path.isdir(src):
                shutil.copytree(src, dst, dirs_exist_ok=True)
        return self

    def start(self, wait=True, prefix=(), env_extra=None, wrapper=()):
        """prefix: a command line that ends by running the server (its
        last argument), such as a shell preparing a mount namespace;
        wrapper: argv words put right before the binary (e.g. prlimit)."""
        # No graphical session: dialogs fall back to the console.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(sanitizer_env(self.workdir))
        env.update(env_extra or {})
        self.proc = self.lab.popen(self.ns, [*prefix, *wrapper, BINARY], cwd=self.workdir, env=env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.pumps = [
            threading.Thread(target=self._pump, args=(self.proc.stdout, self.output, True),
                             daemon=True),
            threading.Thread(target=self._pump, args=(self.proc.stderr, self.errors, False),
                             daemon=True)]
        for pump in self.pumps:
            pump.start()
        if wait:
            self.wait_for("Server push socket start to listen")
        return self

    def _pump(self, stream, sink, notify):
        # Chunks, not lines: some progress texts end without a line end.
        fd = stream.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            sink.append(chunk.decode(errors="replace"))
            if notify:
                self.lines.put(None)

    def wait_for(self, needle, timeout=10.0):
        """Waits for a standard output line holding needle (any line so far)."""
        deadline = time.monotonic() + timeout
        while True:
            if needle in "".join(self.output):
                return
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line with {needle!r}; output: {''.join(self.output)!r}")
            try:
                self.lines.get(timeout=min(left, 0.2))
            except queue.Empty:
                pass

    def stdout_text(self):
        return "".join(self.output)

    def console(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def connect(self, port=SOAP_PORT, timeout=30):
        """A TCP connection to the server's own loopback, made in its namespace."""
        s = self.lab.socket(self.ns, socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))
        return s

    def http(self, raw, timeout=30, half_close=False):
        """Sends raw bytes to the SOAP port and returns everything the
        server answers until it closes the connection. half_close ends the
        sending side, for requests that would leave the server waiting for
        more (a body without length ends there)."""
        s = self.connect(timeout=timeout)
        try:
            try:
                s.sendall(raw)
                if half_close:
                    s.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the server may close before it has read everything
            out = b""
            while True:
                try:
                    d = s.recv(65536)
                except ConnectionResetError:
                    break
                if not d:
                    break
                out += d
            return HttpAnswer(out)
        finally:
            s.close()

    def post(self, xml, soap12=False):
        data = xml.encode()
        ctype = "application/soap+xml; charset=utf-8" if soap12 else "text/xml; charset=utf-8"
        head = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {ctype}\r\n"
                f"Content-Length: {len(data)}\r\n\r\n").encode()
        return self.http(head + data)

    def call(self, op, params="", soap12=False):
        return self.post(request(op, params, soap12), soap12)

    def get(self, target):
        return self.http(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())

    def wait_exit(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        """Kills the server and removes its working directory. Raises
        AssertionError, after cleaning up, when the server wrote a
        sanitizer report."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        for pump in self.pumps:
            pump.join(timeout=5)  # the rest of standard error
        reports = sanitizer_reports(self.workdir, "".join(self.errors))
        shutil.rmtree(self.workdir, ignore_errors=True)
        if reports:
            raise AssertionError("the server reported a sanitizer finding:\n" + reports)


# The fields of ns:SwitchInfo, in element order.
SWITCH_INFO_FIELDS = (
    "productName", "systemName", "location", "agentIpAddr", "agentNetmask", "agentGateway",
    "trapIpAddr", "newPasseord", "oldPassword", "dhcpMode", "fwVersion", "productType",
    "httpPort", "groupTimer", "lldpMode", "lldpAuthenkey", "snmpMode", "agentProtoVer",
    "agentFamilyType", "agentInterfaceVer", "upgradeDelayTime", "upgradeRebootTime",
    "upgradeEreaseFlashTime", "funBitmap0", "funBitmap1", "funBitmap2", "funBitmap3",
    "errString", "macAddr", "isLoaderMode")


def recv_exactly(sock, n, timeout=5):
    """Reads n bytes, or fewer when the peer closes first."""
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def text_of(el, name):
    child = el.find(name)
    return None if child is None else (child.text or "")

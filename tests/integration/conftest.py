# ---- network-namespace lab fixture (self-contained; keep at the top) ----
import os
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lab import Lab  # noqa: E402

_lab_unavailable_reason = []  # cached: [] unknown, [None] usable, [text] not usable


def _probe_lab():
    """Returns None when namespaces can be made here, else why not."""
    if os.geteuid() != 0:
        return "the network-namespace lab needs root"
    if shutil.which("ip") is None:
        return "the ip utility (iproute2) is not installed"
    probe = "tvprobe%d" % os.getpid()
    try:
        made = subprocess.run(["ip", "netns", "add", probe], capture_output=True,
                              text=True, timeout=30)
    except (OSError, subprocess.SubprocessError) as e:
        return "ip netns is unavailable: %s" % e
    if made.returncode != 0:
        return "ip netns is unavailable: %s" % made.stderr.strip()
    subprocess.run(["ip", "netns", "del", probe], capture_output=True, timeout=30)
    return None


@pytest.fixture
def lab():
    """A fresh Lab, closed after the test whatever its outcome."""
    if not _lab_unavailable_reason:
        _lab_unavailable_reason.append(_probe_lab())
    if _lab_unavailable_reason[0] is not None:
        pytest.skip(_lab_unavailable_reason[0])
    the_lab = Lab()
    try:
        yield the_lab
    finally:
        the_lab.close()
# ---- end of the lab fixture ----


@pytest.fixture
def server(lab):
    """The built server, started in a namespace of its own with loopback only."""
    from torvane import TorvaneServer
    srv = TorvaneServer(lab, lab.namespace("srv")).prepare()
    srv.start()
    try:
        yield srv
    finally:
        srv.stop()

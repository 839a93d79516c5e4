"""torvanectl against the real server and simulated switches in the lab.

The command-line client runs in the server's namespace and talks to it on
127.0.0.1:64567, as it would on an administrator's workstation. The lab is
the upgrade tests' one: each switch on an interface of its own with its
own MAC, so that upgrades reach it.
"""

import csv
import hashlib
import io
import json
import os
import signal
import subprocess
import time

import pytest

import torvane
from test_upgrade import UpgradeLab, switch

CTL = os.path.join(os.path.dirname(torvane.BINARY), "torvanectl")

pytestmark = pytest.mark.skipif(not os.path.exists(CTL), reason="torvanectl is not built")


def ctl(lab, ns, *args, timeout=120):
    return lab.run(ns, [CTL, *args], timeout=timeout)


def ok(proc):
    assert proc.returncode == 0, "exit %d; stdout %r; stderr %r" % (
        proc.returncode, proc.stdout, proc.stderr)
    return proc


def test_usage_help_and_unreachable_server(lab):
    ns = lab.namespace("alone")
    top = ctl(lab, ns, "--help")
    assert top.returncode == 0
    assert "3 the server cannot be reached" in top.stdout
    for cmd in ("start", "discover", "list", "set", "watch", "unwatch", "status", "traps",
                "upgrade", "save", "load", "intervals", "shutdown"):
        assert cmd in top.stdout
        sub = ctl(lab, ns, cmd, "--help")
        assert sub.returncode == 0 and "Exit codes" in sub.stdout, cmd

    for bad in (["bogus"], [], ["set", "02-00-00-00-00-01", "colour=red"],
                ["set", "not-a-mac", "name=x"], ["set", "02-00-00-00-00-01", "ip=1.2.3"],
                ["watch", "10.0.0"], ["list", "--json", "--csv"], ["upgrade", "02-00-00-00-00-01"]):
        p = ctl(lab, ns, *bad)
        assert p.returncode == 2, (bad, p.stdout, p.stderr)
        assert p.stdout == "" or "Usage" not in p.stderr

    # Nothing listens in this namespace: every command that needs the
    # server says so and exits 3, with nothing on standard output.
    for cmd in (["list", "--json"], ["status"], ["start"], ["shutdown"],
                ["set", "02-00-00-00-00-01", "name=x"]):
        p = ctl(lab, ns, "--timeout", "2", *cmd)
        assert p.returncode == 3, (cmd, p.stdout, p.stderr)
        assert p.stdout == ""
        assert "cannot be reached" in p.stderr


@pytest.fixture
def ctl_lab(lab, tmp_path):
    switches = [switch(1, system_name="core", location="hall", erase_delay_ms=1500),
                switch(2, system_name="edge", location="attic"),
                switch(3, system_name="stubborn", set_status=3, upgrade_status=2),
                switch(4, system_name="mute")]
    return UpgradeLab(lab, tmp_path, switches)


def test_every_command_against_the_server(ctl_lab, tmp_path):
    ul, lab, ns = ctl_lab, ctl_lab.lab, ctl_lab.srv_ns
    sw1, sw2, sw3 = (switch(n) for n in (1, 2, 3))

    p = ok(ctl(lab, ns, "start"))
    assert "engine started" in p.stdout

    found = json.loads(ok(ctl(lab, ns, "discover", "--wait", "3", "--json")).stdout)
    macs = {s["macAddr"] for s in found}
    assert {sw1["mac"], sw2["mac"], sw3["mac"]} <= macs
    first = next(s for s in found if s["macAddr"] == sw1["mac"])
    assert first["agentIpAddr"] == sw1["ip"] and first["systemName"] == "core"
    assert first["watched"] is False
    assert "oldPassword" not in first and "newPasseord" not in first


    rows = list(csv.DictReader(io.StringIO(ok(ctl(lab, ns, "list", "--csv")).stdout)))
    assert {r["macAddr"] for r in rows} == macs
    table = ok(ctl(lab, ns, "list", "--filter", "ATTIC"))
    lines = table.stdout.splitlines()
    assert lines[0].split()[:3] == ["MAC", "IP", "NAME"]
    assert len(lines) == 2 and sw2["mac"] in lines[1]
    assert "1 of %d switches" % len(macs) in table.stderr

    # A change with a MAC in another spelling, fields not given kept.
    p = ok(ctl(lab, ns, "set", sw1["mac"].lower().replace("-", ":"), "name=renamed",
               "password=pw1"))
    assert "applied by the switch" in p.stdout
    after = json.loads(ok(ctl(lab, ns, "list", "--json")).stdout)
    one = next(s for s in after if s["macAddr"] == sw1["mac"])
    assert one["systemName"] == "renamed" and one["location"] == "hall"

    p = ctl(lab, ns, "set", sw3["mac"], "location=x")
    assert p.returncode == 1 and "refused the change (status 3)" in p.stderr
    p = ctl(lab, ns, "set", "02-00-00-00-00-99", "name=x")
    assert p.returncode == 1 and "knows no switch" in p.stderr

    # Watching: the MAC is taken from the list; twice is refused.
    p = ok(ctl(lab, ns, "watch", sw2["ip"]))
    assert sw2["mac"] in p.stdout
    assert ctl(lab, ns, "watch", sw2["ip"]).returncode == 1
    status = json.loads(ok(ctl(lab, ns, "status", "--json")).stdout)
    assert [e["monitorInfo"]["macAddr"] for e in status] == [sw2["mac"]]
    assert status[0]["isAlive"] == 1 and set(status[0]) == {"monitorInfo", "isAlive",
                                                              "recvFlag", "time"}
    listed = json.loads(ok(ctl(lab, ns, "list", "--json")).stdout)
    assert listed[0]["macAddr"] == sw2["mac"] and listed[0]["watched"] is True

    # Save, unwatch, load back.
    saved = tmp_path / "watched.cfg"
    ok(ctl(lab, ns, "save", str(saved)))
    assert saved.stat().st_size == 628
    p = ok(ctl(lab, ns, "unwatch", sw2["ip"]))
    assert "no longer watching" in p.stdout
    assert json.loads(ok(ctl(lab, ns, "status", "--json")).stdout) == []
    p = ok(ctl(lab, ns, "unwatch", sw2["ip"]))
    assert "was not watched" in p.stderr
    loaded = json.loads(ok(ctl(lab, ns, "load", str(saved), "--json")).stdout)
    assert [e["monitorInfo"]["macAddr"] for e in loaded] == [sw2["mac"]]
    cut = tmp_path / "cut.cfg"
    cut.write_bytes(saved.read_bytes() + saved.read_bytes()[:72])
    p = ctl(lab, ns, "load", str(cut))
    assert p.returncode == 1 and "cut record" in p.stderr
    p = ctl(lab, ns, "save", str(tmp_path / "no-such-dir" / "x.cfg"))
    # A save that did not happen is an error, or (older servers) answered 0.
    assert p.returncode in (0, 1)

    # Traps, taken once; --follow prints them as they come.
    ul.command("trap9 %s port 3 link down" % sw1["mac"].replace("-", ":"))
    deadline = time.monotonic() + 10
    traps = []
    while not traps and time.monotonic() < deadline:
        traps = json.loads(ok(ctl(lab, ns, "traps", "--json")).stdout)
        time.sleep(0.3)
    assert traps and traps[0]["string"].endswith("port 3 link down")
    assert set(traps[0]) == {"time", "ip", "location", "string"}
    assert json.loads(ok(ctl(lab, ns, "traps", "--json")).stdout) == []
    follow = lab.popen(ns, [CTL, "traps", "--follow", "--json", "--interval", "0.5"],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1)
    ul.command("trap9 %s port 4 link up" % sw2["mac"].replace("-", ":"))
    line = follow.stdout.readline()
    assert json.loads(line)["string"].endswith("port 4 link up")
    os.killpg(follow.pid, signal.SIGINT)
    assert follow.wait(timeout=10) == 0

    p = json.loads(ok(ctl(lab, ns, "intervals", "--polling", "7", "--igmp", "30",
                          "--json")).stdout)
    assert p == {"monitorPollingInterval": 7, "groupInterval": 30}

    ok(ctl(lab, ns, "shutdown"))
    assert ul.server.wait_exit(10) == 0
    assert ctl(lab, ns, "--timeout", "2", "list").returncode == 3


def test_upgrade_with_progress_and_failures_in_words(ctl_lab, tmp_path):
    ul, lab, ns = ctl_lab, ctl_lab.lab, ctl_lab.srv_ns
    sw1, sw2, sw3 = (switch(n) for n in (1, 2, 3))
    image = tmp_path / "fw.bin"
    image.write_bytes(os.urandom(1 << 20))
    ok(ctl(lab, ns, "discover", "--wait", "3", "--json"))

    # A change to a switch that stopped answering takes the server's 50 s;
    # it runs beside the upgrades (a second "set" at the same time would
    # collect its outcome: outcomes are handed out once).
    mute_mac = switch(4)["mac"]
    ul.command("silence %s on" % mute_mac.replace("-", ":"))
    mute = lab.popen(ns, [CTL, "set", mute_mac, "name=x", "--json"],
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    p = ok(ctl(lab, ns, "upgrade", "--firmware", str(image), "--password", "pw1",
               sw1["mac"], sw2["mac"]))
    # Not a terminal: plain lines, one per change of state, then the outcome.
    assert "\033[" not in p.stdout
    # The first switch holds its flash erase for 1.5 s: seen with its bytes.
    assert "erasing flash  512/1048576 bytes" in p.stdout
    assert "%s: upgraded, firmware 2.0.1" % sw1["mac"] in p.stdout
    assert "%s: upgraded, firmware 2.0.2" % sw2["mac"] in p.stdout
    done = [r for r in ul.records() if r.get("event") == "tftp_done"]
    digest = hashlib.sha256(image.read_bytes()).hexdigest()
    assert len(done) == 2 and all(r["sha256"] == digest for r in done)
    # The run leaves the server's upgrade table empty.
    assert ul.status(sw1["mac"]) is None

    p = ctl(lab, ns, "upgrade", "--firmware", str(image), sw3["mac"])
    assert p.returncode == 1
    assert "refused the upgrade" in p.stderr and "1 of 1 switches failed" in p.stderr

    p = ctl(lab, ns, "upgrade", "--firmware", str(tmp_path / "missing.bin"), sw1["mac"])
    assert p.returncode == 1 and "firmware file" in p.stderr
    p = ctl(lab, ns, "upgrade", "--firmware", str(image), "02-00-00-00-00-99")
    assert p.returncode == 1 and "knows no switch" in p.stderr

    out, err = mute.communicate(timeout=90)
    assert mute.returncode == 1, (out, err)
    assert "no answer from the switch within 50 s" in err
    assert json.loads(out)["result"] == -2

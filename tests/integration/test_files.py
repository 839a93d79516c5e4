"""Switch configuration files and request documents."""

import os
import stat
import threading
import time

from torvane import TorvaneServer, request


RECORD = 628


def value(answer, name):
    return answer.body_element().find(name).text


def watch(server, *ips):
    for ip in ips:
        a = server.call("AddMonitorAgent", f"<strIpAddress>{ip}</strIpAddress>"
                                           "<strMacAddr>00-00-00-00-00-00</strMacAddr>")
        assert not a.is_fault(), a.body


def watched(server):
    ips = []
    i = 0
    while True:
        a = server.call("GetMonitorStatus", f"<monitorNum>{i + 1}</monitorNum>")
        if a.is_fault():
            return ips
        ips = [e.find("monitorInfo").find("agentIpAddr").text
               for e in a.body_element().findall("arrList")]
        i += 1


def path_param(path):
    return f"<filepath>{path}</filepath>"


def test_save_and_load_round_trip(server):
    watch(server, "10.0.0.1", "10.0.0.2", "10.0.0.3")
    path = os.path.join(server.workdir, "three.cfg")
    assert value(server.call("SaveFile", path_param(path)), "errorcode") == "0"
    assert os.path.getsize(path) == 3 * RECORD
    data = open(path, "rb").read()
    assert data[84:88] == bytes([10, 0, 0, 1]) and data[RECORD + 84:RECORD + 88] == bytes([10, 0, 0, 2])
    server.call("DelMonitorAgent", "<strIpAddress>10.0.0.2</strIpAddress>")
    loaded = server.call("LoadFile", path_param(path)).body_element()
    assert loaded.tag.endswith("MonitorList")
    assert value(server.call("LoadFile", path_param(path)), "nErrorCode") == "0"
    assert loaded.find("nMonitorNum").text == "3"
    assert [e.find("monitorInfo").find("agentIpAddr").text
            for e in loaded.findall("arrList")] == ["10.0.0.1", "10.0.0.2", "10.0.0.3"]
    assert watched(server) == ["10.0.0.1", "10.0.0.2", "10.0.0.3"]
    server.wait_for("SaveFile begin \n")
    server.wait_for("LoadFile begin. \n")


def test_empty_list_and_unreadable_files(server):
    path = os.path.join(server.workdir, "empty.cfg")
    server.call("SaveFile", path_param(path))
    assert os.path.getsize(path) == 0
    watch(server, "10.0.0.9")
    a = server.call("LoadFile", path_param(path))
    assert value(a, "nErrorCode") == "0" and value(a, "nMonitorNum") == "0"
    assert a.body_element().find("arrList") is None
    assert watched(server) == []
    # A path that does not exist, or a directory, reads as an empty file.
    watch(server, "10.0.0.9")
    b = server.call("LoadFile", path_param(os.path.join(server.workdir, "nope.cfg")))
    assert value(b, "nErrorCode") == "0" and watched(server) == []
    watch(server, "10.0.0.9")
    c = server.call("LoadFile", path_param(server.workdir))
    assert value(c, "nErrorCode") == "0" and watched(server) == []


def test_cut_record_and_duplicate_address(server):
    watch(server, "10.0.0.1", "10.0.0.2")
    path = os.path.join(server.workdir, "two.cfg")
    server.call("SaveFile", path_param(path))
    data = open(path, "rb").read()
    cut = os.path.join(server.workdir, "cut.cfg")
    open(cut, "wb").write(data[:700])
    server.call("DelMonitorAgent", "<strIpAddress>10.0.0.2</strIpAddress>")
    a = server.call("LoadFile", path_param(cut))
    assert value(a, "nErrorCode") == "1"
    assert len(a.body_element().findall("arrList")) == 1
    assert watched(server) == ["10.0.0.1"]  # untouched
    # Records 1, 2, 1: the third repeats an address and fails the call.
    dup = os.path.join(server.workdir, "dup.cfg")
    open(dup, "wb").write(data + data[:RECORD])
    b = server.call("LoadFile", path_param(dup))
    assert b.is_fault()
    assert watched(server) == ["10.0.0.1", "10.0.0.2"]


def test_non_utf8_and_too_long_paths_write_nothing(server):
    watch(server, "10.0.0.1")
    long_path = "/tmp/" + "x" * 300 + ".cfg"
    a = server.call("SaveFile", path_param(long_path))
    assert a.is_fault() and b"too long or not valid" in a.body
    assert not os.path.exists(long_path)
    uni = os.path.join(server.workdir, "ŝaltilo-交换机.cfg")
    server.call("SaveFile", path_param(uni))
    assert os.path.getsize(uni) == RECORD


def test_dead_switch_is_reported_dead_but_watched_alive(server):
    server.call("EngineLayerStartup")
    server.call("SetRefreshTime", "<monitorPollingInterval>1</monitorPollingInterval>")
    watch(server, "10.99.0.1")  # nobody answers there
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        a = server.call("GetMonitorStatus", "<monitorNum>1</monitorNum>")
        if a.body_element().find("arrList").find("isAlive").text == "0":
            break
        time.sleep(0.5)
    path = os.path.join(server.workdir, "dead.cfg")
    server.call("SaveFile", path_param(path))
    b = server.call("LoadFile", path_param(path))
    assert b.body_element().find("arrList").find("isAlive").text == "0"
    c = server.call("GetMonitorStatus", "<monitorNum>1</monitorNum>")
    assert c.body_element().find("arrList").find("isAlive").text == "1"


def save_as_in_background(server):
    box = {}
    t = threading.Thread(target=lambda: box.setdefault("a", server.call("SaveFileAs")))
    t.start()
    return t, box


def test_save_as_on_the_console(server):
    watch(server, "10.0.0.1")
    target = os.path.join(server.workdir, "chosen.cfg")
    t, box = save_as_in_background(server)
    server.wait_for("Save the watched switches as")
    server.console(target + "\n")
    t.join(10)
    assert value(box["a"], "errorcode") == "0"
    assert os.path.getsize(target) == RECORD
    server.wait_for("SaveFileAs begin \n")
    # Replacing asks first; "n" keeps the file.
    open(target, "wb").write(b"keep")
    t, box = save_as_in_background(server)
    server.console(target + "\n")
    server.wait_for("already exists. Replace it? (y/n): ")
    server.console("n\n")
    t.join(10)
    assert value(box["a"], "errorcode") == "0"
    assert open(target, "rb").read() == b"keep"
    # An empty line cancels.
    t, box = save_as_in_background(server)
    server.console("\n")
    t.join(10)
    assert value(box["a"], "errorcode") == "0"
    # At end of input it is cancelled at once.
    server.proc.stdin.close()
    time.sleep(0.3)
    a = server.call("SaveFileAs")
    assert value(a, "errorcode") == "0"


def test_request_documents(server):
    auto = os.path.join(server.workdir, "auto")
    open(os.path.join(auto, "crlf.req.xml"), "wb").write(b"<a>\r\n<b/>\r\n</a>\r")
    a = server.call("GetReqXmlFile", "<strXmlName>crlf.req.xml</strXmlName>")
    assert value(a, "strXmlContent") == "<a>\n<b/>\n</a>\r"
    open(os.path.join(auto, "latin1.req.xml"), "wb").write(b"<a>Caf\xe9</a>")
    bad = server.call("GetReqXmlFile", "<strXmlName>latin1.req.xml</strXmlName>")
    assert bad.is_fault() and b"not UTF-8" in bad.body
    good = server.call("GetReqXmlFile", "<strXmlName>crlf.req.xml</strXmlName>")
    assert not good.is_fault()  # the fault left nothing behind
    for name in ("../cfg/define.ecf", "/etc/passwd", "..\\cfg\\define.ecf", "missing.req.xml"):
        b = server.call("GetReqXmlFile", f"<strXmlName>{name}</strXmlName>")
        assert b.is_fault(), name
        server.wait_for(f"open auto/{name} error. \n")
    for f in os.listdir(auto):
        os.remove(os.path.join(auto, f))
    assert server.call("GetReqXmlList").is_fault()
    server.wait_for("find auto/*.req.xml error. \n")


def test_foreign_bytes_in_a_file_give_readable_answers_and_are_kept(server):
    rec = bytearray(RECORD)
    rec[0:5] = b"Pr\xe9\x01x"            # productName: Windows-1252 and a control
    rec[41:44] = b"N\xe4\x02"            # systemName, UTF-8 bit clear
    rec[84:88] = bytes([10, 0, 0, 5])
    rec[166:170] = b"k\xe9y\x1b"         # lldpAuthenkey
    rec[224:227] = b"\xff\xfe\x80"       # errString
    rec[608:614] = bytes([2, 0xAB, 0xCD, 0, 0, 1])
    path = os.path.join(server.workdir, "foreign.cfg")
    open(path, "wb").write(bytes(rec))
    a = server.call("LoadFile", path_param(path))
    info = a.body_element().find("arrList").find("monitorInfo")  # parses: well-formed
    assert info.find("productName").text == "Pr\u00e9\ufffdx"
    assert info.find("systemName").text == "N\u00e4\ufffd"
    assert info.find("lldpAuthenkey").text == "k\u00e9y\ufffd"
    assert info.find("errString").text == "\u00ff\u00fe\u20ac"
    b = server.call("GetMonitorStatus", "<monitorNum>1</monitorNum>")
    assert b.body_element().find("arrList").find("monitorInfo").find(
        "productName").text == "Pr\u00e9\ufffdx"
    # What is watched, and saved again, is what the file held.
    again = os.path.join(server.workdir, "again.cfg")
    server.call("SaveFile", path_param(again))
    data = open(again, "rb").read()
    for lo, hi in ((0, 41), (166, 188), (224, 608)):
        assert data[lo:hi] == bytes(rec[lo:hi]), lo


def test_load_reads_only_regular_files(server):
    fifo = os.path.join(server.workdir, "pipe.cfg")
    os.mkfifo(fifo)
    for path in (fifo, "/dev/zero"):
        watch(server, "10.0.0.9")
        a = server.call("LoadFile", path_param(path))
        assert value(a, "nErrorCode") == "0" and value(a, "nMonitorNum") == "0", path
        assert watched(server) == []


def test_request_documents_that_cannot_be_answered(server):
    auto = os.path.join(server.workdir, "auto")
    for name in ("", "."):
        a = server.call("GetReqXmlFile", f"<strXmlName>{name}</strXmlName>")
        assert a.is_fault(), repr(name)
        server.wait_for(f"open auto/{name} error. \n")
    open(os.path.join(auto, "ctl.req.xml"), "wb").write(b"<a>\x01</a>")
    assert server.call("GetReqXmlFile", "<strXmlName>ctl.req.xml</strXmlName>").is_fault()
    # A name that is not UTF-8 cannot be listed (nor asked for again).
    open(os.path.join(auto.encode(), b"caf\xe9.req.xml"), "wb").write(b"<a/>")
    el = server.call("GetReqXmlList").body_element()
    names = [r.text for r in el.findall("ReqXml")]
    assert "ctl.req.xml" in names and el.find("nNum").text == str(len(names))
    assert not any("caf" in n for n in names)


def call_within(server, op, params="", timeout=5):
    """A SOAP call that must be answered within timeout seconds."""
    data = request(op, params).encode()
    head = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n"
            f"Content-Length: {len(data)}\r\n\r\n").encode()
    return server.http(head + data, timeout=timeout)


def test_request_documents_never_wait_on_special_files(server):
    auto = os.path.join(server.workdir, "auto")
    for f in os.listdir(auto):
        os.remove(os.path.join(auto, f))
    os.mkfifo(os.path.join(auto, "pipe.req.xml"))
    os.symlink("/dev/zero", os.path.join(auto, "zero.req.xml"))
    os.mkdir(os.path.join(auto, "dir.req.xml"))
    # Only special files: nothing to list.
    assert call_within(server, "GetReqXmlList").is_fault()
    server.wait_for("find auto/*.req.xml error. \n")
    open(os.path.join(auto, "a.req.xml"), "wb").write(b"<a/>")
    os.symlink("a.req.xml", os.path.join(auto, "link.req.xml"))
    el = call_within(server, "GetReqXmlList").body_element()
    assert sorted(r.text for r in el.findall("ReqXml")) == ["a.req.xml", "link.req.xml"]
    assert el.find("nNum").text == "2"
    for name in ("pipe.req.xml", "zero.req.xml", "dir.req.xml"):
        a = call_within(server, "GetReqXmlFile", f"<strXmlName>{name}</strXmlName>")
        assert a.is_fault(), name
        server.wait_for(f"open auto/{name} error. \n")
    a = call_within(server, "GetReqXmlFile", "<strXmlName>link.req.xml</strXmlName>")
    assert value(a, "strXmlContent") == "<a/>"


def test_saves_replace_files_safely(server):
    watch(server, "10.0.0.1")
    w = server.workdir
    record = None

    def save(path):
        nonlocal record
        a = server.call("SaveFile", path_param(path))
        assert value(a, "errorcode") == "0", a.body
        if record is None:
            record = open(os.path.join(w, path), "rb").read()
            assert len(record) == RECORD

    os.umask(0o022)
    save(os.path.join(w, "new.cfg"))  # a new file: its owner's only
    assert stat.S_IMODE(os.stat(os.path.join(w, "new.cfg")).st_mode) == 0o600
    # An existing file keeps its mode and owner.
    kept = os.path.join(w, "kept.cfg")
    open(kept, "wb").write(b"old")
    os.chmod(kept, 0o640)
    os.chown(kept, 4321, 4322)
    save(kept)
    st = os.stat(kept)
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0o640, 4321, 4322)
    assert open(kept, "rb").read() == record
    # A link is written through and stays a link.
    os.mkdir(os.path.join(w, "real"))
    open(os.path.join(w, "real", "target.cfg"), "wb").write(b"old")
    os.symlink("real/target.cfg", os.path.join(w, "link.cfg"))
    save(os.path.join(w, "link.cfg"))
    assert os.path.islink(os.path.join(w, "link.cfg"))
    assert open(os.path.join(w, "real", "target.cfg"), "rb").read() == record
    # A user's own *.partial is left alone.
    open(kept + ".partial", "wb").write(b"mine")
    save(kept)
    assert open(kept + ".partial", "rb").read() == b"mine"
    # Names of 248 to 255 bytes (here relative to the working directory).
    for n in (248, 255):
        name = "n" * (n - 4) + ".cfg"
        save(name)
        assert open(os.path.join(w, name), "rb").read() == record
    # SaveFileAs takes a long path as well.
    long_target = os.path.join(w, "real", "a" * 251 + ".cfg")
    t, box = save_as_in_background(server)
    server.wait_for("Save the watched switches as")
    server.console(long_target + "\n")
    t.join(10)
    assert value(box["a"], "errorcode") == "0"
    assert open(long_target, "rb").read() == record
    # No temporary file stays behind.
    assert sorted(os.listdir(os.path.join(w, "real"))) == sorted(["target.cfg", "a" * 251 + ".cfg"])
    assert [f for f in os.listdir(w) if "partial" in f or f.startswith(".")] == [
        "kept.cfg.partial"]


def test_saves_that_fail_answer_a_fault(lab):
    """Missing folder, full disk and read-only folder, in a mount namespace
    of the server's own (a small full tmpfs and a read-only bind mount)."""
    server = TorvaneServer(lab, lab.namespace("srv")).prepare()
    full, ro = os.path.join(server.workdir, "full"), os.path.join(server.workdir, "ro")
    os.mkdir(full)
    os.mkdir(ro)
    open(os.path.join(ro, "keep.cfg"), "wb").write(b"old")
    script = (f"set -e; mount -t tmpfs -o size=16k torvanefull {full}; "
              f"printf old > {full}/keep.cfg; head -c 1M /dev/zero > {full}/filler || true; "
              f"mount --bind {ro} {ro}; mount -o remount,bind,ro {ro}; exec \"$0\"")
    try:
        server.start(prefix=["unshare", "-m", "--propagation", "private", "sh", "-c", script])
        inside = f"/proc/{server.proc.pid}/root"  # the server's view of the files
        watch(server, "10.0.0.1")
        cases = (
            (os.path.join(server.workdir, "nope", "x.cfg"), "No such file or directory"),
            (os.path.join(full, "x.cfg"), "No space left on device"),
            (os.path.join(full, "keep.cfg"), "No space left on device"),
            (os.path.join(ro, "x.cfg"), "Read-only file system"),
            (os.path.join(ro, "keep.cfg"), "Read-only file system"),
        )
        for path, why in cases:
            a = server.call("SaveFile", path_param(path))
            assert a.is_fault(), path
            fault = a.body_element()
            assert fault.find("faultstring").text == f"SaveFile: cannot write {path}: {why}"
            server.wait_for(f" file {path} error: {why} \n")
        # What was there is untouched, and nothing was left beside it.
        assert open(inside + full + "/keep.cfg", "rb").read() == b"old"
        assert sorted(os.listdir(inside + full)) == ["filler", "keep.cfg"]
        assert open(os.path.join(ro, "keep.cfg"), "rb").read() == b"old"
        assert os.listdir(ro) == ["keep.cfg"]
        # SaveFileAs answers the same way; a cancelled one is still no failure.
        t, box = save_as_in_background(server)
        server.wait_for("Save the watched switches as")
        server.console(os.path.join(full, "as.cfg") + "\n")
        t.join(10)
        assert box["a"].is_fault() and b"No space left on device" in box["a"].body
        t, box = save_as_in_background(server)
        server.console("\n")
        t.join(10)
        assert value(box["a"], "errorcode") == "0"
        # With room again, the same save succeeds.
        os.remove(inside + full + "/filler")
        a = server.call("SaveFile", path_param(os.path.join(full, "keep.cfg")))
        assert value(a, "errorcode") == "0"
        assert len(open(inside + full + "/keep.cfg", "rb").read()) == RECORD
    finally:
        server.stop()

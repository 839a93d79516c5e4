"""The files the server hands to its client: the request documents of auto/
and the browser client tools/js_client/index.html.

The generated WSDL (Torvane.wsdl beside the server binary) is the reference for element names,
their order and their types, so a document or a page table that drifts from
the contract fails here rather than in a browser.
"""

import glob
import os
import re
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import pytest

from torvane import NS, ROOT, SOAP11_ENV, WSDL
AUTO = os.path.join(ROOT, "auto")
PAGE = os.path.join(ROOT, "tools", "js_client", "index.html")
JQUERY = os.path.join(ROOT, "tools", "js_client", "jquery.js")

W = "{http://schemas.xmlsoap.org/wsdl/}"
XSD = "{http://www.w3.org/2001/XMLSchema}"

RANGES = {"xsd:int": (-2**31, 2**31 - 1), "xsd:unsignedInt": (0, 2**32 - 1),
          "xsd:unsignedShort": (0, 2**16 - 1)}

# Answers whose element is a type of its own rather than "<op>Response".
RESPONSE_ELEMENTS = {
    "GetSwitchInfoList": f"{{{NS}}}SwitchInfoList", "GetReqXmlList": "tReqXmlList",
    "GetTrapList": f"{{{NS}}}TrapList", "GetMonitorStatus": f"{{{NS}}}MonitorList",
    "LoadFile": f"{{{NS}}}MonitorList", "GetUpgradeStatus": f"{{{NS}}}UpgradeInfo",
    "GetUpgradingAgent": f"{{{NS}}}UpgradeAddr", "GetOperateResult": f"{{{NS}}}OperateList",
}


@pytest.fixture(scope="module")
def contract():
    """{operation: [(parameter, type)]} and the SwitchInfo fields, from the WSDL."""
    if not os.path.exists(WSDL):
        pytest.skip(f"{WSDL} is missing: build the server first")
    root = ET.parse(WSDL).getroot()
    messages = {m.get("name"): [(p.get("name"), p.get("type")) for p in m.findall(f"{W}part")]
                for m in root.iter(f"{W}message")}
    operations = {op.get("name") for op in root.find(f"{W}portType").findall(f"{W}operation")}
    switch_info = next(t for t in root.iter(f"{XSD}complexType") if t.get("name") == "SwitchInfo")
    fields = [(e.get("name"), e.get("type")) for e in switch_info.iter(f"{XSD}element")]
    return {op: messages[op] for op in operations}, fields


def check_value(text, xsd_type, where):
    if xsd_type in RANGES:
        assert re.fullmatch(r"-?\d+", text or ""), f"{where}: {text!r} is not a number"
        low, high = RANGES[xsd_type]
        assert low <= int(text) <= high, f"{where}: {text} does not fit {xsd_type}"


def document_names():
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(AUTO, "*.req.xml")))


def test_request_documents_follow_the_contract(contract):
    operations, fields = contract
    assert len(operations) == 29
    assert document_names() == sorted(op + ".req.xml" for op in operations)
    for op, parts in operations.items():
        path = os.path.join(AUTO, op + ".req.xml")
        raw = open(path, "rb").read()
        raw.decode("utf-8")  # strict: the documents are UTF-8
        assert raw.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'), op
        root = ET.fromstring(raw)
        assert root.tag == f"{{{SOAP11_ENV}}}Envelope", op
        body = root.find(f"{{{SOAP11_ENV}}}Body")
        assert body is not None and len(body) == 1, op
        request = body[0]
        assert request.tag == f"{{{NS}}}{op}", op
        # Parameters unqualified, every one present once, in contract order.
        assert [c.tag for c in request] == [name for name, _ in parts], op
        for child, (name, xsd_type) in zip(request, parts):
            if xsd_type == "ns:SwitchInfo":
                assert [c.tag for c in child] == [f for f, _ in fields], (op, name)
                for sub, (field, field_type) in zip(child, fields):
                    check_value(sub.text, field_type, f"{op}/{name}/{field}")
            else:
                assert len(child) == 0, (op, name)
                check_value(child.text, xsd_type, f"{op}/{name}")
        # Placeholders that the client replaces never name a real switch.
        for el in request.iter():
            if el.tag in ("macAddr", "strMacAddr"):
                assert el.text == "00-00-00-00-00-00", (op, el.tag)


def page_tables():
    """The page's own copy of the contract: SWITCH_INFO and OPERATIONS."""
    script = open(PAGE, encoding="utf-8").read()
    pair = re.compile(r"\['(\w[\w-]*)', '([^']+)'\]")

    def block(start, end):
        i = script.index(start)
        return script[i:script.index(end, i)]

    switch_info = pair.findall(block("var SWITCH_INFO = [", "];"))
    users = {"USER": pair.findall(block("var USER = [", ";")),
             "USER2": pair.findall(block("var USER2 = [", ";"))}
    operations = {}
    for m in re.finditer(r"(\w+): (USER2|USER|\[(?:[^\[\]]|\[[^\[\]]*\])*\])",
                         block("var OPERATIONS = {", "\n  };")):
        operations[m.group(1)] = users.get(m.group(2)) or pair.findall(m.group(2))
    return switch_info, operations


def test_page_builds_requests_with_the_contracts_names(contract):
    operations, fields = contract
    switch_info, page_ops = page_tables()
    kind = {"xsd:int": "n", "xsd:unsignedInt": "n", "xsd:unsignedShort": "n", "xsd:string": "s"}
    assert switch_info == [(name, kind[t]) for name, t in fields]
    assert set(page_ops) == set(operations)
    for op, parts in operations.items():
        expected = [(n, "SwitchInfo*" if n == "vecSwitchInfo" else "SwitchInfo")
                    if t == "ns:SwitchInfo" else (n, kind[t]) for n, t in parts]
        assert page_ops[op] == expected, op


class PageParser(HTMLParser):
    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
            "source", "track", "wbr"}
    URL_ATTRS = {"src", "href", "action", "formaction", "poster", "data", "background",
                 "srcset", "xlink:href", "ping", "manifest", "cite"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.problems, self.urls, self.ids = [], [], [], []
        self.elements = []          # (tag, attrs, ancestors' ids)
        self.styles = []
        self._in_style = False

    def handle_starttag(self, tag, attrs):
        self._record(tag, attrs)
        if tag not in self.VOID:
            self.stack.append((tag, dict(attrs).get("id")))
        self._in_style = tag == "style"

    def handle_startendtag(self, tag, attrs):
        self._record(tag, attrs)

    def _record(self, tag, attrs):
        a = dict(attrs)
        self.elements.append((tag, a, [i for _, i in self.stack if i]))
        if "id" in a:
            self.ids.append(a["id"])
        for name, value in attrs:
            if name in self.URL_ATTRS:
                self.urls.append((tag, name, value))
            if name == "style":
                self.styles.append(value or "")

    def handle_endtag(self, tag):
        self._in_style = False
        if tag in self.VOID:
            return
        if not self.stack or self.stack[-1][0] != tag:
            self.problems.append(f"</{tag}> closes {self.stack[-1][0] if self.stack else 'nothing'}")
            return
        self.stack.pop()

    def handle_data(self, data):
        if self._in_style:
            self.styles.append(data)


def parse_page(text):
    parser = PageParser()
    parser.feed(text)
    parser.close()
    return parser


def test_page_is_one_self_contained_file():
    raw = open(PAGE, "rb").read()
    # The GET handler sends at most 512000 bytes and stops at a NUL byte.
    assert len(raw) < 512000 and b"\0" not in raw
    text = raw.decode("utf-8")
    page = parse_page(text)
    assert page.problems == [] and page.stack == []
    assert len(page.ids) == len(set(page.ids)), "duplicate ids"
    # The only file it loads is jquery.js; everything else is inline.
    for tag, attr, value in page.urls:
        if tag == "script":
            assert value == "jquery.js"
        elif tag == "a":
            assert value.startswith("#") and value[1:] in page.ids, value
        else:
            assert value.startswith("data:"), (tag, attr, value)
    assert [v for t, _, v in page.urls if t == "script"] == ["jquery.js"]
    for css in page.styles:
        assert "@import" not in css
        assert all(u.strip("'\" ").startswith("data:") for u in re.findall(r"url\(([^)]*)\)", css))
    # The only absolute address in the page is the SOAP envelope namespace.
    assert set(re.findall(r"https?://[^\s'\"<>)]+", text)) <= {SOAP11_ENV}
    assert "<base" not in text and "http-equiv" not in text.lower()


def test_page_offers_stable_hooks(contract):
    operations, _ = contract
    page = parse_page(open(PAGE, encoding="utf-8").read())
    for hook in ("btn-start", "btn-discover", "btn-refresh", "switches", "edit-dialog", "edit-form",
                 "btn-apply", "outcomes", "monitor", "traps", "upgrade", "fw-path", "btn-fw-set",
                 "btn-upgrade-start", "btn-upgrade-end", "upgrading-agent", "cfg-path", "btn-save",
                 "btn-load", "btn-save-as", "refresh-time", "group-interval", "btn-shutdown",
                 "engine-status", "messages", "confirm-dialog", "btn-confirm-ok"):
        assert hook in page.ids, hook
    tables = {a["id"] for tag, a, _ in page.elements if tag == "table"}
    assert {"switches", "outcomes", "monitor", "traps", "upgrade"} <= tables
    # The edit dialog has one control per SetDeviceCfgEx parameter.
    names = {a.get("name") for tag, a, ids in page.elements
             if tag in ("input", "select") and "edit-form" in ids}
    assert {name for name, _ in operations["SetDeviceCfgEx"]} <= names


def test_server_lists_returns_and_accepts_every_document(server):
    names = document_names()
    listed = server.call("GetReqXmlList").body_element()
    assert listed.tag == "tReqXmlList"
    assert sorted(r.text for r in listed.findall("ReqXml")) == names
    assert listed.find("nNum").text == str(len(names)) == "29"
    for name in names:
        answer = server.call("GetReqXmlFile", f"<strXmlName>{name}</strXmlName>").body_element()
        with open(os.path.join(AUTO, name), encoding="utf-8", newline="") as f:
            assert answer.find("strXmlContent").text == f.read().replace("\r\n", "\n"), name

    # Each document as it is: an answer of its own kind or a SOAP fault, never
    # "not implemented". The engine starts first (inside the lab namespace).
    # SaveFileAs asks the operator for a file name; without a screen it asks
    # on the console, so an empty console line, sent ahead, cancels it.
    order = (["EngineLayerStartup.req.xml"]
             + [n for n in names if n not in ("EngineLayerStartup.req.xml", "SaveFileAs.req.xml",
                                              "GSoapClose.req.xml")]
             + ["SaveFileAs.req.xml"])
    for name in order:
        op = name[:-len(".req.xml")]
        if op == "SaveFileAs":
            server.console("\n")
        with open(os.path.join(AUTO, name), encoding="utf-8") as f:
            answer = server.post(f.read())
        text = answer.body.decode(errors="replace")
        assert answer.status in (200, 500), (op, answer.status_line)
        assert "not implemented" not in text, op
        element = answer.body_element()
        if answer.status == 200:
            assert element.tag == RESPONSE_ELEMENTS.get(op, f"{{{NS}}}{op}Response"), op
        else:
            assert element.tag.endswith("}Fault"), op
        if op == "EngineLayerStartup":
            assert element.find("errorcode").text == "0"
    assert server.proc.poll() is None


def test_shutdown_document_ends_the_server_without_an_answer(server):
    with open(os.path.join(AUTO, "GSoapClose.req.xml"), encoding="utf-8") as f:
        answer = server.post(f.read())
    assert answer.raw == b""
    assert server.wait_exit() == 0


def test_server_serves_the_page_and_its_library(server):
    page = server.get("/index.html")
    assert page.status == 200
    assert page.headers["content-type"] == "text/html; charset=utf-8"
    with open(PAGE, "rb") as f:
        assert page.body == f.read()
    assert b'<script src="jquery.js"></script>' in page.body
    if os.path.exists(JQUERY):  # copied from npm at set-up
        with open(JQUERY, "rb") as f:
            assert server.get("/jquery.js").body == f.read().split(b"\0")[0][:512000]

#!/usr/bin/python3
"""Switch simulator: plays one or many managed switches of the device protocol.

Run inside a switch's network namespace:

    python3 tools/switchsim.py config.json [--record FILE] [--verbose]

The JSON description holds the global settings and a list of switches:

    {
      "cookie": 168496141,            # magic cookie (int, or text like "0x0A0B0C0D")
      "port": 64513,                  # discovery port P; switches listen on P+2
      "multicast_group": "239.255.255.100",
      "trap_port": 64514,             # default P+1, the engine's unicast socket
      "tftp_port": 69,
      "interface": "eth0",            # default: every non-loopback interface
      "record": "/tmp/rx.jsonl",      # JSON line per received datagram
      "add_aliases": false,           # add each switch's ip to its interface
      "check_cookie": true,           # drop requests with another cookie
      "seed": 1,                      # for delay_ms_range
      "switches": [ { "mac": "02:00:00:00:00:01", ... }, ... ]
    }

A switch's settings (sent as agent TLVs): mac, ip (default: the
interface's address), netmask, gateway, trap_ip, product_name,
system_name, location, password, dhcp_mode, fw_version, product_type,
http_port, group_timer, lldp_mode, lldp_auth_key, snmp_mode, proto_ver,
family, interface_ver, upgrade_delay, upgrade_reboot, upgrade_erase,
fun_bitmap (4 words), error_text.  The element names of the web service's
SwitchInfo (productName, agentIpAddr, funBitmap0, ...) are accepted as
well.  Texts may contain "{n}", replaced by the switch's 1-based position.
Texts are not cut to the engine's field widths, so over-long values can
be sent on purpose.

Its behaviour:
    reply             "unicast" (to the requester's address and port),
                      "broadcast" (to 255.255.255.255 at the requester's port)
                      or "auto" (unicast to a requester of the switch's own
                      subnet, else broadcast)
    loader            discovery answered with type 12, sets with 15
    delay_ms, delay_ms_range [lo, hi]   wait before each reply
    silent            answers nothing until "silence MAC off"
    wrong_cookie      true, or the cookie to put in replies and traps
    answer_multicast  also answers requests sent to the multicast group
    set_status        status of set replies; 0 also applies the settings
    set_reply_type    4 or 8
    apply_set         false: set requests change nothing (default true)
    upgrade_status    status of upgrade replies; null: no reply
    tftp              TFTP write server (default true); may be an object
                      holding the next four keys
    erase_delay_ms    holds back the acknowledgement of block 1
    tftp_error        true: refuse the write request; N: an error packet in
                      place of the acknowledgement of block N
    reboot_ms         quiet this long after the last block
    new_fw_version    firmware version after that (default: the text after
                      "version=" in the image's first block, if it has one)
    leave_loader      a switch in loader mode runs normally after a write
    interface         only this interface (default: any)
    own_interface     the interface is the switch's own link, as a real
                      switch has: the simulator gives it the switch's MAC and
                      address, lets it answer ARP for that address only, and
                      moves the address, netmask and gateway (a route of its
                      own) when a set request changes them, announcing the
                      new address by a gratuitous ARP; needs "interface"
    dhcp_lease        {"ip", "netmask", "gateway"}: what the segment's DHCP
                      server hands this switch; an own_interface switch takes
                      it while its DHCP mode is 1
    trap_interval_s   [lo, hi]: every lo to hi seconds a port of the switch
                      goes down or comes back up, told by a trap of type 16
                      ("Port N link down", "Port N link up")
    trap_ports        the ports those traps pick from (default 8)
    omit_tlvs         agent TLV types left out of every agent body
    extra_tlvs        [[type, "hex"], ...] appended to every agent body
    count, ip_step    one entry stands for count switches with consecutive
                      MACs and addresses ip_step apart

Every received datagram is appended to the record file as a JSON line
{"time", "socket", "src", "dst", "len", "hex"}; finished firmware writes,
restarts, address moves and timed traps add {"time", "event": "tftp_done"
| "tftp_error" | "rebooted" | "moved" | "trap", ...} lines.

Commands on standard input, one per line; MAC may be "all":
    trap9 MAC TEXT      trap of type 9 carrying the switch address and TEXT
    trap16 MAC [TEXT]   trap of type 16 with agent TLVs; TEXT as TLV 31
    silence MAC on|off  stop or resume answering
    quit

"switchsim ready" is printed on standard output once every socket is
bound.  Nothing else goes to standard output; problems go to standard
error.  SIGTERM and SIGINT end the simulator cleanly.
"""

import argparse
import fcntl
import hashlib
import heapq
import ipaddress
import json
import os
import random
import re
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time
import traceback
from collections import namedtuple

DEFAULT_PORT = 64513
DEFAULT_GROUP = "239.255.255.100"
DEFAULT_TFTP_PORT = 69
HEADER_SIZE = 40
TFTP_BLOCK = 512
RECV_SIZE = 65535
BROADCAST = "255.255.255.255"
ZERO_MAC = bytes(6)

# Linux values; the socket module of older Pythons lacks some of them.
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
IP_TRANSPARENT = getattr(socket, "IP_TRANSPARENT", 19)
SO_SNDBUFFORCE = getattr(socket, "SO_SNDBUFFORCE", 32)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
SIOCGIFADDR = 0x8915
SOCKET_BUFFER = 4 << 20

TRANSFER_IDLE_S = 30.0     # an abandoned TFTP transfer is dropped after this
TRANSFER_LINGER_S = 5.0    # a finished one still re-acknowledges its last block
IMAGE_VERSION_RE = re.compile(rb"version=([0-9A-Za-z._-]{1,9})")
SEND_RETRY_S = 0.002
SEND_RETRIES = 500


class ConfigError(ValueError):
    """The JSON description is not usable."""


# ---------------------------------------------------------------------------
# Protocol codec


class Msg:
    DISCOVERY = 1
    DISCOVERY_REPLY = 2
    SET = 3
    SET_REPLY = 4
    POLL = 5
    POLL_REPLY = 6
    SET_REPLY2 = 8
    TRAP = 9
    UPGRADE = 10
    UPGRADE_REPLY = 11
    LOADER_DISCOVERY_REPLY = 12
    LOADER_SET = 14
    LOADER_SET_REPLY = 15
    AGENT_TRAP = 16


class Tlv:
    PRODUCT_NAME = 1
    SYSTEM_NAME = 2
    LOCATION = 3
    IP = 4
    NETMASK = 5
    GATEWAY = 6
    TRAP_IP = 7
    NEW_PASSWORD = 8
    PASSWORD = 9
    DHCP_MODE = 10
    FW_VERSION = 11
    PRODUCT_TYPE = 12
    HTTP_PORT = 21
    GROUP_TIMER = 22
    LLDP_MODE = 24
    LLDP_AUTH_KEY = 25
    SNMP_MODE = 26
    UPGRADE_DELAY = 27
    UPGRADE_REBOOT = 28
    UPGRADE_ERASE = 29
    ERROR_TEXT = 30
    ERROR_TEXT2 = 31
    FUN_BITMAP = 129


Header = namedtuple("Header", "version family mac interface_ver msg_type status cookie "
                              "sender_mac seq")


class Codec:
    """Device protocol header and TLV framing (all numbers big-endian).

    Header, 40 bytes: version u16, family u16, MAC 6, interface version
    u16, message type u16, status u16, cookie u32, sender MAC 6, sequence
    u16, 12 reserved zero bytes.  A TLV is type u16, length u16 counting
    the whole TLV (its 4 header bytes included), then the value.
    """

    HEADER = struct.Struct(">HH6sHHHI6sH12x")
    TLV_HEAD = struct.Struct(">HH")
    ERROR_SPLIT = 128   # TLV 30 carries the error text up to here, TLV 31 the rest

    @classmethod
    def build_header(cls, msg_type, mac, seq, cookie, status=0, version=2, family=0,
                     interface_ver=0, sender_mac=ZERO_MAC):
        return cls.HEADER.pack(version, family, mac, interface_ver, msg_type, status,
                               cookie & 0xFFFFFFFF, sender_mac, seq)

    @classmethod
    def parse_header(cls, data):
        if len(data) < HEADER_SIZE:
            return None
        return Header(*cls.HEADER.unpack_from(data))

    @classmethod
    def tlv(cls, tlv_type, value):
        if len(value) + 4 > 0xFFFF:
            raise ValueError("TLV %d value of %d bytes is too long" % (tlv_type, len(value)))
        return cls.TLV_HEAD.pack(tlv_type, len(value) + 4) + value

    @classmethod
    def tlv_text(cls, tlv_type, text):
        return cls.tlv(tlv_type, text.encode("utf-8"))

    @classmethod
    def tlv_u16(cls, tlv_type, value):
        return cls.tlv(tlv_type, struct.pack(">H", value & 0xFFFF))

    @classmethod
    def tlv_u32(cls, tlv_type, value):
        return cls.tlv(tlv_type, struct.pack(">I", value & 0xFFFFFFFF))

    @classmethod
    def tlv_ip(cls, tlv_type, address):
        return cls.tlv(tlv_type, socket.inet_aton(address))

    @classmethod
    def iter_tlvs(cls, data, offset=HEADER_SIZE):
        """Yields (type, value) by the length fields; stops at a malformed TLV."""
        while offset + 4 <= len(data):
            tlv_type, length = cls.TLV_HEAD.unpack_from(data, offset)
            if length < 4 or offset + length > len(data):
                return
            yield tlv_type, bytes(data[offset + 4:offset + length])
            offset += length


class Tftp:
    """RFC 1350 packets (the switch is the server side of a write)."""

    RRQ, WRQ, DATA, ACK, ERROR = 1, 2, 3, 4, 5

    @staticmethod
    def ack(block):
        return struct.pack(">HH", Tftp.ACK, block & 0xFFFF)

    @staticmethod
    def error(code, message):
        return struct.pack(">HH", Tftp.ERROR, code) + message.encode() + b"\0"

    @staticmethod
    def parse_request(data):
        """(filename, mode) of a read or write request, or None."""
        parts = bytes(data[2:]).split(b"\0")
        if len(parts) < 3:
            return None
        return parts[0].decode("latin-1"), parts[1].decode("latin-1").lower()


# ---------------------------------------------------------------------------
# Switch model


def parse_mac(text):
    digits = str(text).replace(":", "").replace("-", "").replace(".", "")
    try:
        mac = bytes.fromhex(digits)
    except ValueError:
        mac = b""
    if len(mac) != 6:
        raise ConfigError("bad MAC address %r" % (text,))
    return mac


def mac_text(mac):
    return "-".join("%02X" % b for b in mac)


def _text(value):
    if not isinstance(value, str):
        raise ConfigError("expected a text, got %r" % (value,))
    return value


def _ipv4(value):
    try:
        return str(ipaddress.IPv4Address(value))
    except ValueError:
        raise ConfigError("bad IPv4 address %r" % (value,))


def _uint(bits):
    def convert(value):
        if isinstance(value, str):
            try:
                value = int(value, 0)
            except ValueError:
                raise ConfigError("bad number %r" % (value,))
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < (1 << bits):
            raise ConfigError("expected an unsigned %d-bit number, got %r" % (bits, value))
        return value
    return convert


_u16, _u32 = _uint(16), _uint(32)


def _bitmap(value):
    if not isinstance(value, list) or len(value) != 4:
        raise ConfigError("fun_bitmap must be a list of four 32-bit words")
    return [_u32(v) for v in value]


# Every funBitmap0 bit that lets the engine send a field in a set request.
DEFAULT_BITMAP0 = 0x000003FF | 0x00200000 | 0x00800000 | 0x01000000 | 0x02000000 \
    | 0x04000000 | 0x08000000 | 0x40000000

# Agent fields: key, converter, default, accepted aliases.
AGENT_FIELDS = (
    ("product_name", _text, "Sim Switch 8P", ("productName",)),
    ("system_name", _text, "switch-{n}", ("systemName",)),
    ("location", _text, "lab", ()),
    ("ip", _ipv4, None, ("agentIpAddr",)),
    ("netmask", _ipv4, "255.255.255.0", ("agentNetmask",)),
    ("gateway", _ipv4, "0.0.0.0", ("agentGateway",)),
    ("trap_ip", _ipv4, "0.0.0.0", ("trapIpAddr",)),
    ("password", _text, "password", ("oldPassword",)),
    ("dhcp_mode", _u16, 2, ("dhcpMode",)),
    ("fw_version", _text, "1.0.0", ("fwVersion",)),
    ("product_type", _u16, 1, ("productType",)),
    ("http_port", _u16, 80, ("httpPort",)),
    ("group_timer", _u32, 60, ("groupTimer",)),
    ("lldp_mode", _u16, 2, ("lldpMode",)),
    ("lldp_auth_key", _text, "", ("lldpAuthenkey",)),
    ("snmp_mode", _u16, 2, ("snmpMode",)),
    ("proto_ver", _u16, 2, ("agentProtoVer",)),
    ("family", _u16, 0, ("agentFamilyType",)),
    ("interface_ver", _u16, 2, ("agentInterfaceVer",)),
    ("upgrade_delay", _u32, 5, ("upgradeDelayTime",)),
    ("upgrade_reboot", _u32, 30, ("upgradeRebootTime",)),
    ("upgrade_erase", _u32, 10, ("upgradeEreaseFlashTime",)),
    ("fun_bitmap", _bitmap, [DEFAULT_BITMAP0, 0, 0, 0], ()),
    ("error_text", _text, "", ("errString",)),
)

_UNSET = object()


def _bool(value):
    if not isinstance(value, bool):
        raise ConfigError("expected true or false, got %r" % (value,))
    return value


def _reply_mode(value):
    if value not in ("unicast", "broadcast", "auto"):
        raise ConfigError("reply must be \"unicast\", \"broadcast\" or \"auto\", got %r"
                          % (value,))
    return value


def _delay(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0:
        raise ConfigError("bad delay %r" % (value,))
    return float(value)


def _delay_range(value):
    if not isinstance(value, list) or len(value) != 2:
        raise ConfigError("delay_ms_range must be [lo, hi]")
    lo, hi = _delay(value[0]), _delay(value[1])
    if lo > hi:
        raise ConfigError("delay_ms_range must have lo <= hi")
    return lo, hi


def _seconds_range(value):
    if not isinstance(value, list) or len(value) != 2:
        raise ConfigError("expected [lo, hi] in seconds")
    lo, hi = _delay(value[0]), _delay(value[1])
    if lo > hi or hi <= 0:
        raise ConfigError("expected [lo, hi] with lo <= hi and hi > 0")
    return lo, hi


def _dhcp_lease(value):
    """The address a DHCP server of the segment would hand this switch."""
    if not isinstance(value, dict) or "ip" not in value:
        raise ConfigError("dhcp_lease must be an object with ip, netmask and gateway")
    unknown = set(value) - {"ip", "netmask", "gateway"}
    if unknown:
        raise ConfigError("unknown dhcp_lease keys %s" % sorted(unknown))
    return (_ipv4(value["ip"]), _ipv4(value.get("netmask", "255.255.255.0")),
            _ipv4(value.get("gateway", "0.0.0.0")))


def _wrong_cookie(value):
    return value if isinstance(value, bool) else _u32(value)


def _set_reply_type(value):
    if value not in (Msg.SET_REPLY, Msg.SET_REPLY2):
        raise ConfigError("set_reply_type must be 4 or 8, got %r" % (value,))
    return value


def _optional_status(value):
    return None if value is None else _u16(value)


def _tftp_error(value):
    """None: no error; 0: refuse the write request; N: fail at block N."""
    if isinstance(value, bool):
        return 0 if value else None
    return _u16(value)


def _tlv_types(value):
    if not isinstance(value, list):
        raise ConfigError("omit_tlvs must be a list of TLV types")
    return frozenset(_u16(v) for v in value)


def _extra_tlvs(value):
    if not isinstance(value, list):
        raise ConfigError("extra_tlvs must be a list of [type, hex]")
    body = b""
    for item in value:
        if not isinstance(item, list) or len(item) != 2:
            raise ConfigError("extra_tlvs entries must be [type, hex]")
        try:
            body += Codec.tlv(_u16(item[0]), bytes.fromhex(_text(item[1])))
        except ValueError as e:
            raise ConfigError("bad extra TLV %r: %s" % (item, e))
    return body


# Behaviour keys: key, converter, default.
BEHAVIOUR_FIELDS = (
    ("reply", _reply_mode, "unicast"),
    ("loader", _bool, False),
    ("delay_ms", _delay, 0.0),
    ("delay_ms_range", _delay_range, None),
    ("silent", _bool, False),
    ("wrong_cookie", _wrong_cookie, False),
    ("answer_multicast", _bool, False),
    ("set_status", _u16, 0),
    ("set_reply_type", _set_reply_type, Msg.SET_REPLY),
    ("apply_set", _bool, True),
    ("upgrade_status", _optional_status, 0),
    ("tftp", _bool, True),
    ("erase_delay_ms", _delay, 0.0),
    ("tftp_error", _tftp_error, None),
    ("reboot_ms", _delay, 0.0),
    ("new_fw_version", _text, None),
    ("interface", _text, None),
    ("omit_tlvs", _tlv_types, frozenset()),
    ("extra_tlvs", _extra_tlvs, b""),
    ("own_interface", _bool, False),
    ("dhcp_lease", _dhcp_lease, None),
    ("trap_interval_s", _seconds_range, None),
    ("trap_ports", _u16, 8),
    ("leave_loader", _bool, False),
)
TFTP_SUBKEYS = ("erase_delay_ms", "tftp_error", "reboot_ms", "new_fw_version")


class Switch:
    """One simulated switch: its settings, behaviour and run-time state."""

    def __init__(self, entry, number):
        entry = dict(entry)
        tftp = entry.get("tftp")
        if isinstance(tftp, dict):
            # "tftp": {"erase_delay_ms": ...} is the same as the flat keys.
            for key, value in tftp.items():
                if key not in TFTP_SUBKEYS:
                    raise ConfigError("unknown tftp key %r" % key)
                entry[key] = value
            entry["tftp"] = True
        if "mac" not in entry and "macAddr" not in entry:
            raise ConfigError("switch %d has no mac" % number)
        self.mac = parse_mac(entry.pop("mac", None) or entry.pop("macAddr"))
        self.number = number

        aliases = {alias: key for key, _, _, names in AGENT_FIELDS for alias in names}
        bitmap_words = {}
        for word in range(4):
            if "funBitmap%d" % word in entry:
                bitmap_words[word] = _u32(entry.pop("funBitmap%d" % word))
        for alias, key in aliases.items():
            if alias in entry:
                if key in entry:
                    raise ConfigError("both %r and %r given" % (alias, key))
                entry[key] = entry.pop(alias)

        for key, convert, default, _ in AGENT_FIELDS:
            value = entry.pop(key, _UNSET)
            value = default if value is _UNSET else self._convert(key, convert, value)
            if isinstance(value, str):
                value = value.replace("{n}", str(number))
            setattr(self, key, list(value) if isinstance(value, list) else value)
        for word, value in bitmap_words.items():
            self.fun_bitmap[word] = value
        for key, convert, default in BEHAVIOUR_FIELDS:
            value = entry.pop(key, _UNSET)
            setattr(self, key, default if value is _UNSET else self._convert(key, convert, value))
        if entry:
            raise ConfigError("switch %s: unknown keys %s" % (mac_text(self.mac), sorted(entry)))

        self.ifindex = None          # interface for traps; set up by the simulator
        self.silenced = self.silent  # "silent" is where the "silence" command starts
        self.reboot_until = 0.0      # monotonic time; quiet until then
        self.last_requester = None   # address of the last request addressed to us
        self.upgrade_armed = False   # an accepted upgrade command came
        self.ports_down = set()      # ports whose link a timed trap took down
        self._body = None            # cached agent TLVs

    @staticmethod
    def _convert(key, convert, value):
        try:
            return convert(value)
        except ConfigError as e:
            raise ConfigError("%s: %s" % (key, e))

    def quiet(self, now):
        return self.silenced or now < self.reboot_until

    def reply_cookie(self, cookie):
        if self.wrong_cookie is True:
            return cookie ^ 0xFFFFFFFF
        if self.wrong_cookie is False:
            return cookie
        return self.wrong_cookie

    def in_subnet(self, address):
        try:
            net = ipaddress.IPv4Network("%s/%s" % (self.ip, self.netmask), strict=False)
            return ipaddress.IPv4Address(address) in net
        except ValueError:
            return False

    def take_lease(self):
        """In DHCP mode 1 an own-interface switch uses its lease, if it has one."""
        if self.own_interface and self.dhcp_mode == 1 and self.dhcp_lease is not None:
            self.ip, self.netmask, self.gateway = self.dhcp_lease
            self.changed()

    def reply_delay(self, rng):
        """Seconds to wait before a reply."""
        if self.delay_ms_range is not None:
            return rng.uniform(*self.delay_ms_range) / 1000.0
        return self.delay_ms / 1000.0

    def changed(self):
        self._body = None

    @property
    def name_encoding(self):
        """System name and location are UTF-8 when function bitmap bit 29
        is set, else Windows-1252 (bytes it leaves undefined pass as is)."""
        return "utf-8" if self.fun_bitmap[0] & 0x20000000 else "cp1252"

    def encode_name(self, text):
        if self.name_encoding == "utf-8":
            return text.encode("utf-8")
        out = bytearray()
        for ch in text:
            try:
                out += ch.encode("cp1252")
            except UnicodeEncodeError:
                out.append(ord(ch) if ord(ch) < 0x100 else 0x3F)  # C1 as is, else "?"
        return bytes(out)

    def decode_name(self, value):
        value = value.split(b"\0", 1)[0]
        if self.name_encoding == "utf-8":
            return value.decode("utf-8", "replace")
        out = []
        for b in value:
            try:
                out.append(bytes([b]).decode("cp1252"))
            except UnicodeDecodeError:
                out.append(chr(b))  # the bytes Windows-1252 leaves undefined
        return "".join(out)

    # ----- messages

    def header(self, msg_type, seq, cookie, status=0):
        return Codec.build_header(msg_type, self.mac, seq, self.reply_cookie(cookie), status,
                                  self.proto_ver, self.family, self.interface_ver, self.mac)

    def agent_body(self, trap_text=None):
        """Agent TLVs in type order; trap_text, when given, is sent as TLV 31."""
        if trap_text is None and self._body is not None:
            return self._body
        error = self.error_text.encode("utf-8")
        if self.interface_ver == 1:
            dhcp = Codec.tlv(Tlv.DHCP_MODE, bytes([self.dhcp_mode & 0xFF]))
        else:
            dhcp = Codec.tlv_u16(Tlv.DHCP_MODE, self.dhcp_mode)
        tlvs = [
            (Tlv.PRODUCT_NAME, Codec.tlv_text(Tlv.PRODUCT_NAME, self.product_name)),
            (Tlv.SYSTEM_NAME, Codec.tlv(Tlv.SYSTEM_NAME, self.encode_name(self.system_name))),
            (Tlv.LOCATION, Codec.tlv(Tlv.LOCATION, self.encode_name(self.location))),
            (Tlv.IP, Codec.tlv_ip(Tlv.IP, self.ip)),
            (Tlv.NETMASK, Codec.tlv_ip(Tlv.NETMASK, self.netmask)),
            (Tlv.GATEWAY, Codec.tlv_ip(Tlv.GATEWAY, self.gateway)),
            (Tlv.TRAP_IP, Codec.tlv_ip(Tlv.TRAP_IP, self.trap_ip)),
            (Tlv.PASSWORD, Codec.tlv_text(Tlv.PASSWORD, self.password)),
            (Tlv.DHCP_MODE, dhcp),
            (Tlv.FW_VERSION, Codec.tlv_text(Tlv.FW_VERSION, self.fw_version)),
            (Tlv.PRODUCT_TYPE, Codec.tlv_u16(Tlv.PRODUCT_TYPE, self.product_type)),
            (Tlv.HTTP_PORT, Codec.tlv_u16(Tlv.HTTP_PORT, self.http_port)),
            (Tlv.GROUP_TIMER, Codec.tlv_u32(Tlv.GROUP_TIMER, self.group_timer)),
            (Tlv.LLDP_MODE, Codec.tlv_u16(Tlv.LLDP_MODE, self.lldp_mode)),
            (Tlv.LLDP_AUTH_KEY, Codec.tlv_text(Tlv.LLDP_AUTH_KEY, self.lldp_auth_key)),
            (Tlv.SNMP_MODE, Codec.tlv_u16(Tlv.SNMP_MODE, self.snmp_mode)),
            (Tlv.UPGRADE_DELAY, Codec.tlv_u32(Tlv.UPGRADE_DELAY, self.upgrade_delay)),
            (Tlv.UPGRADE_REBOOT, Codec.tlv_u32(Tlv.UPGRADE_REBOOT, self.upgrade_reboot)),
            (Tlv.UPGRADE_ERASE, Codec.tlv_u32(Tlv.UPGRADE_ERASE, self.upgrade_erase)),
            (Tlv.ERROR_TEXT, Codec.tlv(Tlv.ERROR_TEXT, error[:Codec.ERROR_SPLIT])),
        ]
        if trap_text is not None:
            tlvs.append((Tlv.ERROR_TEXT2, Codec.tlv_text(Tlv.ERROR_TEXT2, trap_text)))
        elif len(error) > Codec.ERROR_SPLIT:
            tlvs.append((Tlv.ERROR_TEXT2, Codec.tlv(Tlv.ERROR_TEXT2, error[Codec.ERROR_SPLIT:])))
        tlvs.append((Tlv.FUN_BITMAP, Codec.tlv(Tlv.FUN_BITMAP, struct.pack(">4I", *self.fun_bitmap))))
        body = b"".join(t for kind, t in tlvs if kind not in self.omit_tlvs) + self.extra_tlvs
        if trap_text is None:
            self._body = body
        return body

    def discovery_reply(self, seq, cookie):
        msg_type = Msg.LOADER_DISCOVERY_REPLY if self.loader else Msg.DISCOVERY_REPLY
        return self.header(msg_type, seq, cookie) + self.agent_body()

    def poll_reply(self, seq, cookie):
        return self.header(Msg.POLL_REPLY, seq, cookie) + self.agent_body()

    def set_reply(self, seq, cookie):
        msg_type = Msg.LOADER_SET_REPLY if self.loader else self.set_reply_type
        return self.header(msg_type, seq, cookie, self.set_status) + self.agent_body()

    def upgrade_reply(self, seq, cookie):
        return self.header(Msg.UPGRADE_REPLY, seq, cookie, self.upgrade_status)

    def trap9(self, text, cookie):
        return (self.header(Msg.TRAP, 0, cookie) + socket.inet_aton(self.ip)
                + text.encode("utf-8") + b"\0")

    def trap16(self, text, cookie):
        return self.header(Msg.AGENT_TRAP, 0, cookie) + self.agent_body(trap_text=text)

    # ----- configuration changes

    def apply_set_request(self, data):
        """Takes the fields of a set request's TLVs into the settings.

        Zero addresses leave the address as it is: a switch told to use
        DHCP keeps its address until a lease replaces it. A zero gateway
        beside a real address means "no gateway".
        """
        def text(value):
            return value.split(b"\0", 1)[0].decode("utf-8", "replace")

        tlvs = list(Codec.iter_tlvs(data))
        static = any(t == Tlv.IP and len(v) == 4 and v != bytes(4) for t, v in tlvs)
        for tlv_type, value in tlvs:
            if tlv_type == Tlv.PRODUCT_NAME:
                self.product_name = text(value)
            elif tlv_type == Tlv.SYSTEM_NAME:
                self.system_name = self.decode_name(value)
            elif tlv_type == Tlv.LOCATION:
                self.location = self.decode_name(value)
            elif tlv_type in (Tlv.IP, Tlv.NETMASK, Tlv.GATEWAY, Tlv.TRAP_IP) and len(value) == 4:
                if (value != bytes(4) or tlv_type == Tlv.TRAP_IP
                        or (static and tlv_type == Tlv.GATEWAY)):
                    field = {Tlv.IP: "ip", Tlv.NETMASK: "netmask", Tlv.GATEWAY: "gateway",
                             Tlv.TRAP_IP: "trap_ip"}[tlv_type]
                    setattr(self, field, socket.inet_ntoa(value))
            elif tlv_type == Tlv.NEW_PASSWORD and value:
                self.password = text(value)
            elif tlv_type == Tlv.DHCP_MODE and len(value) in (1, 2):
                self.dhcp_mode = int.from_bytes(value, "big")
            elif tlv_type in (Tlv.LLDP_MODE, Tlv.SNMP_MODE) and len(value) == 2:
                field = "lldp_mode" if tlv_type == Tlv.LLDP_MODE else "snmp_mode"
                setattr(self, field, int.from_bytes(value, "big"))
            elif tlv_type == Tlv.GROUP_TIMER and len(value) == 4:
                self.group_timer = int.from_bytes(value, "big")
            elif tlv_type == Tlv.LLDP_AUTH_KEY:
                self.lldp_auth_key = text(value)
            elif tlv_type in (Tlv.UPGRADE_DELAY, Tlv.UPGRADE_REBOOT, Tlv.UPGRADE_ERASE) \
                    and len(value) == 4:
                field = {Tlv.UPGRADE_DELAY: "upgrade_delay", Tlv.UPGRADE_REBOOT: "upgrade_reboot",
                         Tlv.UPGRADE_ERASE: "upgrade_erase"}[tlv_type]
                setattr(self, field, int.from_bytes(value, "big"))
        self.changed()


# ---------------------------------------------------------------------------
# Configuration


class SimConfig:
    """Global settings and the expanded list of switches."""

    GLOBAL_KEYS = ("cookie", "port", "multicast_group", "trap_port", "tftp_port", "interface",
                   "record", "add_aliases", "check_cookie", "seed", "switches")

    def __init__(self, doc):
        if not isinstance(doc, dict):
            raise ConfigError("the description must be a JSON object")
        unknown = set(doc) - set(self.GLOBAL_KEYS)
        if unknown:
            raise ConfigError("unknown global keys %s" % sorted(unknown))
        self.cookie = _u32(doc.get("cookie", 0))
        self.port = _u16(doc.get("port", DEFAULT_PORT))
        self.switch_port = (self.port + 2) & 0xFFFF
        self.trap_port = _u16(doc.get("trap_port", (self.port + 1) & 0xFFFF))
        self.tftp_port = _u16(doc.get("tftp_port", DEFAULT_TFTP_PORT))
        self.group = _ipv4(doc.get("multicast_group", DEFAULT_GROUP))
        if not ipaddress.IPv4Address(self.group).is_multicast:
            raise ConfigError("multicast_group %s is not a multicast address" % self.group)
        self.interface = doc.get("interface")
        self.record = doc.get("record")
        self.add_aliases = _bool(doc.get("add_aliases", False))
        self.check_cookie = _bool(doc.get("check_cookie", True))
        self.seed = doc.get("seed")
        entries = doc.get("switches")
        if not isinstance(entries, list) or not entries:
            raise ConfigError("switches must be a non-empty list")
        self.switches = []
        for entry in entries:
            if not isinstance(entry, dict):
                raise ConfigError("each switch must be a JSON object")
            self.switches.extend(self._expand(entry, len(self.switches) + 1))
        macs = set()
        for sw in self.switches:
            if sw.mac in macs:
                raise ConfigError("MAC %s is used twice" % mac_text(sw.mac))
            macs.add(sw.mac)

    @staticmethod
    def _expand(entry, first_number):
        """One entry with "count" stands for that many switches."""
        entry = dict(entry)
        count = _u16(entry.pop("count", 1))
        step = _u32(entry.pop("ip_step", 0))
        if count == 0:
            raise ConfigError("count must be at least 1")
        base_mac = int.from_bytes(parse_mac(entry.get("mac", entry.get("macAddr", ""))), "big")
        ip_key = "ip" if "ip" in entry else "agentIpAddr" if "agentIpAddr" in entry else None
        switches = []
        for k in range(count):
            one = dict(entry)
            one.pop("macAddr", None)
            one["mac"] = ((base_mac + k) & ((1 << 48) - 1)).to_bytes(6, "big").hex()
            if ip_key is not None and step:
                one[ip_key] = str(ipaddress.IPv4Address(_ipv4(entry[ip_key])) + k * step)
            switches.append(Switch(one, first_number + k))
        return switches


# ---------------------------------------------------------------------------
# Host helpers


def interface_address(name):
    """Primary IPv4 address of an interface, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            res = fcntl.ioctl(s.fileno(), SIOCGIFADDR, struct.pack("16s16x", name.encode()))
        except OSError:
            return None
    return socket.inet_ntoa(res[20:24])


def interface_addresses(name, with_prefix=False):
    """Every IPv4 address of an interface (as address/prefix when asked)."""
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", name],
                         capture_output=True, text=True, timeout=30).stdout
    found = set()
    for line in out.splitlines():
        words = line.split()
        if "inet" in words:
            cidr = words[words.index("inet") + 1]
            found.add(cidr if with_prefix else cidr.split("/")[0])
    return found


def add_aliases(switches, names_by_index):
    """Adds each switch's address to its interface where it is missing."""
    present = {}
    commands = []
    for sw in switches:
        if sw.ip == "0.0.0.0":
            continue
        name = names_by_index[sw.ifindex]
        if name not in present:
            present[name] = interface_addresses(name)
        if sw.ip in present[name]:
            continue
        prefix = ipaddress.IPv4Network("0.0.0.0/%s" % sw.netmask).prefixlen
        commands.append("addr add %s/%d brd + dev %s\n" % (sw.ip, prefix, name))
        present[name].add(sw.ip)
    if commands:
        proc = subprocess.run(["ip", "-force", "-batch", "-"], input="".join(commands),
                              capture_output=True, text=True, timeout=120)
        if proc.returncode != 0:
            raise ConfigError("adding addresses failed: %s" % proc.stderr.strip())


def run_ip_batch(commands, check=True):
    """Runs ip commands in one batch; ConfigError on failure when check."""
    if not commands:
        return
    proc = subprocess.run(["ip", "-force", "-batch", "-"], input="\n".join(commands) + "\n",
                          capture_output=True, text=True, timeout=60)
    if check and proc.returncode != 0:
        raise ConfigError("ip failed: %s" % proc.stderr.strip())


def pktinfo(ifindex, source):
    """IP_PKTINFO control message: leave by ifindex, from source."""
    return [(socket.IPPROTO_IP, IP_PKTINFO,
             struct.pack("@i4s4s", ifindex or 0, socket.inet_aton(source or "0.0.0.0"), bytes(4)))]


def read_pktinfo(ancdata):
    """(ifindex, header destination address) from recvmsg's control data."""
    for level, kind, data in ancdata:
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(data) >= 12:
            ifindex, _, dst = struct.unpack_from("@i4s4s", data)
            return ifindex, socket.inet_ntoa(dst)
    return 0, None


def udp_socket(bind_ip, port, broadcast=False, transparent=False):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if broadcast:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    if transparent:
        # Lets replies carry a switch's own address as source even when it
        # is not configured on the interface.
        try:
            s.setsockopt(socket.IPPROTO_IP, IP_TRANSPARENT, 1)
        except OSError:
            pass
    for force, plain in ((SO_RCVBUFFORCE, socket.SO_RCVBUF), (SO_SNDBUFFORCE, socket.SO_SNDBUF)):
        try:
            s.setsockopt(socket.SOL_SOCKET, force, SOCKET_BUFFER)
        except OSError:
            s.setsockopt(socket.SOL_SOCKET, plain, SOCKET_BUFFER)
    s.bind((bind_ip, port))
    s.setblocking(False)
    return s


# ---------------------------------------------------------------------------
# TFTP transfer state


class Transfer:
    """One firmware write to one switch, served from its own socket."""

    def __init__(self, switch, sock, peer, ifindex, filename, now):
        self.switch = switch
        self.sock = sock
        self.peer = peer
        self.ifindex = ifindex
        self.filename = filename
        self.next_block = 1
        self.last_acked = 0
        self.size = 0
        self.digest = hashlib.sha256()
        self.erasing = False       # block 1 held back while the flash erases
        self.erased = False
        self.done = False
        self.image_version = None  # "version=" text of the first block
        self.last_activity = now


# ---------------------------------------------------------------------------
# Server loop


class Simulator:
    """Serves every configured switch from one set of sockets."""

    def __init__(self, config, record_path=None, verbose=False):
        self.cfg = config
        self.verbose = verbose
        self.rng = random.Random(config.seed)
        self.switches = config.switches
        self.by_mac = {sw.mac: sw for sw in self.switches}
        self.sel = selectors.DefaultSelector()
        self.timers = []           # heap of (monotonic time, counter, callback)
        self.timer_count = 0
        self.transfers = {}        # (peer (ip, port), switch ip) -> Transfer
        self.stdin_buf = b""
        self.running = True
        path = record_path or config.record
        self.record_file = open(path, "a", buffering=1) if path else None
        self.dev_sock = None
        self.tftp_sock = None

    # ----- set-up

    def setup(self):
        names = {idx: name for idx, name in socket.if_nameindex() if name != "lo"}
        if self.cfg.interface is not None:
            names = {idx: n for idx, n in names.items() if n == self.cfg.interface}
            if not names:
                raise ConfigError("no interface %r" % self.cfg.interface)
        if not names:
            raise ConfigError("no network interface besides lo")
        by_name = {n: idx for idx, n in names.items()}
        first = min(names)
        for sw in self.switches:
            if sw.interface is not None:
                if sw.interface not in by_name:
                    raise ConfigError("switch %s: no interface %r" % (mac_text(sw.mac), sw.interface))
                sw.ifindex = by_name[sw.interface]
            else:
                sw.ifindex = first
            if sw.ip is None:
                sw.ip = interface_address(names[sw.ifindex]) or "0.0.0.0"
        self.interfaces = names
        self._claim_interfaces()
        if self.cfg.add_aliases:
            add_aliases(self.switches, names)

        self.dev_sock = udp_socket("0.0.0.0", self.cfg.switch_port, broadcast=True,
                                   transparent=True)
        if any(sw.answer_multicast for sw in self.switches):
            group = socket.inet_aton(self.cfg.group)
            for idx in names:
                mreqn = struct.pack("@4s4si", group, bytes(4), idx)
                self.dev_sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreqn)
        self.sel.register(self.dev_sock, selectors.EVENT_READ, self._on_device)
        if any(sw.tftp for sw in self.switches):
            self.tftp_sock = udp_socket("0.0.0.0", self.cfg.tftp_port, transparent=True)
            self.sel.register(self.tftp_sock, selectors.EVENT_READ, self._on_tftp_request)
        try:
            self.sel.register(sys.stdin.fileno(), selectors.EVENT_READ, self._on_stdin)
        except (ValueError, OSError, AttributeError):
            # A regular file or /dev/null cannot be polled: take what it holds now.
            self.stdin_buf = self._read_all_stdin()

    # ----- own links

    def _claim_interfaces(self):
        """Gives each own-interface switch its link: MAC, ARP, address, route."""
        owners = {}
        for sw in self.switches:
            if not sw.own_interface:
                continue
            if sw.interface is None and self.cfg.interface is None:
                raise ConfigError("switch %s: own_interface needs an interface"
                                  % mac_text(sw.mac))
            name = self.interfaces[sw.ifindex]
            if name in owners:
                raise ConfigError("interface %s is owned by two switches" % name)
            owners[name] = sw
            sw.take_lease()
            if sw.ip == "0.0.0.0":
                sw.ip = interface_address(name) or "0.0.0.0"
            mac = ":".join("%02x" % b for b in sw.mac)
            try:
                with open("/sys/class/net/%s/address" % name) as f:
                    current = f.read().strip().lower()
            except OSError:
                current = None
            if current != mac:
                run_ip_batch(["link set dev %s address %s" % (name, mac)])
            # Like a switch, the link answers ARP only for its own address
            # and speaks only with it.
            for key, value in (("arp_ignore", "1"), ("arp_announce", "2")):
                try:
                    with open("/proc/sys/net/ipv4/conf/%s/%s" % (name, key), "w") as f:
                        f.write(value)
                except OSError as e:
                    raise ConfigError("cannot set %s on %s: %s" % (key, name, e))
            self.move_address(sw, None, None, None)

    def move_address(self, sw, old_ip, old_mask, old_gw):
        """Puts the switch's address, netmask and gateway on its own interface.

        Traffic from the switch's address is routed by a table of the
        interface's own (its subnet, and its gateway as default route), so
        that switches sharing a namespace each keep their link and gateway.
        """
        name = self.interfaces[sw.ifindex]
        present = interface_addresses(name, with_prefix=True)
        want = None
        if sw.ip != "0.0.0.0":
            net = ipaddress.IPv4Network("%s/%s" % (sw.ip, sw.netmask), strict=False)
            want = "%s/%d" % (sw.ip, net.prefixlen)
        commands = ["addr del %s dev %s" % (cidr, name) for cidr in sorted(present)
                    if cidr != want]
        if want is not None and want not in present:
            commands.append("addr add %s brd + dev %s" % (want, name))
        table, pref = 1000 + sw.ifindex, 10000 + sw.ifindex % 10000
        run_ip_batch(["rule del pref %d" % pref, "route flush table %d" % table],
                     check=False)
        if want is not None:
            commands.append("route add %s dev %s src %s table %d" % (net, name, sw.ip, table))
            if sw.gateway != "0.0.0.0":
                commands.append("route add default via %s dev %s onlink table %d"
                                % (sw.gateway, name, table))
            commands.append("rule add from %s/32 table %d pref %d" % (sw.ip, table, pref))
        try:
            run_ip_batch(commands)
        except ConfigError as e:
            self.log("switch %s: %s" % (mac_text(sw.mac), e))
        if old_ip is not None and (sw.ip, sw.netmask, sw.gateway) != (old_ip, old_mask, old_gw):
            self.record_event("moved", mac=mac_text(sw.mac), ip=sw.ip, netmask=sw.netmask,
                              gateway=sw.gateway)
        if old_ip != sw.ip:
            self.announce(sw)

    def announce(self, sw):
        """One gratuitous ARP for the switch's address on its own interface."""
        if sw.ip == "0.0.0.0":
            return
        ip = socket.inet_aton(sw.ip)
        frame = (b"\xff" * 6 + sw.mac + b"\x08\x06"
                 + struct.pack(">HHBBH", 1, 0x0800, 6, 4, 1) + sw.mac + ip + bytes(6) + ip)
        try:
            with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
                s.bind((self.interfaces[sw.ifindex], 0))
                s.send(frame.ljust(60, b"\0"))
        except OSError as e:
            self.log("gratuitous ARP for %s failed: %s" % (sw.ip, e))

    # ----- timed traps

    def _schedule_trap(self, sw):
        self.after(self.rng.uniform(*sw.trap_interval_s), lambda: self._port_trap(sw))

    def _port_trap(self, sw):
        """A port goes down, or the one that went down comes back up."""
        if not sw.quiet(time.monotonic()) and not sw.loader:
            if sw.ports_down:
                port = min(sw.ports_down)
                sw.ports_down.discard(port)
                text = "Port %d link up" % port
            else:
                port = self.rng.randint(1, max(1, sw.trap_ports))
                sw.ports_down.add(port)
                text = "Port %d link down" % port
            self.send_trap(sw, "trap16", text)
            self.record_event("trap", mac=mac_text(sw.mac), text=text)
        self._schedule_trap(sw)

    @staticmethod
    def _read_all_stdin():
        chunks = []
        try:
            while True:
                chunk = os.read(sys.stdin.fileno(), 65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except (OSError, ValueError, AttributeError):
            pass
        return b"".join(chunks) + b"\n" if chunks else b""

    # ----- loop

    def run(self):
        for sw in self.switches:
            if sw.trap_interval_s is not None:
                self._schedule_trap(sw)
        print("switchsim ready", flush=True)
        if self.stdin_buf:
            self._run_commands()
        while self.running:
            timeout = 1.0
            if self.timers:
                timeout = min(timeout, max(0.0, self.timers[0][0] - time.monotonic()))
            for key, _ in self.sel.select(timeout):
                self._guarded(key.data, key.fileobj)
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _, _, callback = heapq.heappop(self.timers)
                self._guarded(callback)

    def _guarded(self, callback, *args):
        """Runs one handler; a fault in it is logged, not fatal to the others."""
        try:
            callback(*args)
        except (SystemExit, KeyboardInterrupt):
            raise
        except Exception:
            self.log("internal error:\n%s" % traceback.format_exc())

    def close(self):
        for t in list(self.transfers.values()):
            self._end_transfer(t)
        for s in (self.dev_sock, self.tftp_sock):
            if s is not None:
                s.close()
        self.sel.close()
        if self.record_file is not None:
            self.record_file.close()

    def after(self, seconds, callback):
        self.timer_count += 1
        heapq.heappush(self.timers, (time.monotonic() + seconds, self.timer_count, callback))

    def log(self, text):
        print("switchsim: %s" % text, file=sys.stderr, flush=True)

    def record(self, kind, data, src, dst):
        if self.record_file is None:
            return
        self.record_file.write(json.dumps({
            "time": time.time(), "socket": kind,
            "src": "%s:%d" % src, "dst": "%s:%d" % dst,
            "len": len(data), "hex": data.hex()}) + "\n")

    def record_event(self, event, **fields):
        if self.record_file is not None:
            self.record_file.write(json.dumps(dict(time=time.time(), event=event, **fields)) + "\n")

    # ----- sending

    def send(self, sock, data, dest, ifindex, source, attempt=0):
        """Sends one datagram from source via ifindex; retries while the buffer is full."""
        try:
            sock.sendmsg([data], pktinfo(ifindex, source), 0, dest)
        except BlockingIOError:
            if attempt < SEND_RETRIES:
                self.after(SEND_RETRY_S, lambda: self.send(sock, data, dest, ifindex, source,
                                                           attempt + 1))
            else:
                self.log("send to %s:%d dropped: buffer full" % dest)
        except OSError as e:
            if source not in (None, "0.0.0.0"):
                # The source address may not be usable here; let the
                # kernel choose one rather than lose the datagram.
                return self.send(sock, data, dest, ifindex, None, attempt)
            self.log("send to %s:%d failed: %s" % (dest[0], dest[1], e))
        else:
            if self.verbose:
                self.log("sent %d bytes to %s:%d" % (len(data), dest[0], dest[1]))

    def reply(self, sw, data, requester, ifindex):
        """Sends a device protocol reply the way the switch is set to."""
        unicast = sw.reply == "unicast" or (sw.reply == "auto" and sw.in_subnet(requester[0]))
        dest = requester if unicast else (BROADCAST, requester[1])
        delay = sw.reply_delay(self.rng)
        if delay > 0:
            self.after(delay, lambda: self.send(self.dev_sock, data, dest, ifindex, sw.ip))
        else:
            self.send(self.dev_sock, data, dest, ifindex, sw.ip)

    # ----- device protocol

    def _on_device(self, sock):
        for _ in range(256):  # bounded drain so timers and stdin get their turn
            try:
                data, anc, _, src = sock.recvmsg(RECV_SIZE, socket.CMSG_SPACE(12))
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.log("receive failed: %s" % e)
                return
            ifindex, dst = read_pktinfo(anc)
            self.record("device", data, src, (dst or "0.0.0.0", self.cfg.switch_port))
            if self.verbose:
                self.log("received %d bytes from %s:%d to %s" % (len(data), src[0], src[1], dst))
            self.handle_request(data, src, dst, ifindex)

    def _addressed(self, hdr, dst, ifindex):
        """The switches a request is for."""
        multicast = dst is not None and ipaddress.IPv4Address(dst).is_multicast
        if hdr.mac != ZERO_MAC:
            sw = self.by_mac.get(hdr.mac)
            candidates = [sw] if sw is not None else []
        else:
            candidates = self.switches
        unicast = (dst is not None and not multicast and dst != BROADCAST
                   and any(sw.ip == dst for sw in candidates))
        for sw in candidates:
            if sw.interface is not None and ifindex and sw.ifindex != ifindex:
                continue
            if multicast and not sw.answer_multicast:
                continue
            if unicast and sw.ip != dst:
                continue
            yield sw

    def handle_request(self, data, src, dst, ifindex):
        hdr = Codec.parse_header(data)
        if hdr is None:
            return
        if self.cfg.check_cookie and hdr.cookie != self.cfg.cookie:
            return
        needs_mac = hdr.msg_type in (Msg.SET, Msg.LOADER_SET, Msg.UPGRADE)
        if needs_mac and hdr.mac == ZERO_MAC:
            return
        now = time.monotonic()
        cookie = self.cfg.cookie
        for sw in self._addressed(hdr, dst, ifindex):
            sw.last_requester = src[0]
            if sw.quiet(now):
                continue
            if hdr.msg_type == Msg.DISCOVERY:
                self.reply(sw, sw.discovery_reply(hdr.seq, cookie), src, ifindex)
            elif hdr.msg_type == Msg.POLL:
                self.reply(sw, sw.poll_reply(hdr.seq, cookie), src, ifindex)
            elif hdr.msg_type in (Msg.SET, Msg.LOADER_SET):
                if sw.apply_set and sw.set_status == 0:
                    before = (sw.ip, sw.netmask, sw.gateway)
                    sw.apply_set_request(data)
                    if sw.own_interface:
                        sw.take_lease()
                        self.move_address(sw, *before)
                self.reply(sw, sw.set_reply(hdr.seq, cookie), src, ifindex)
            elif hdr.msg_type == Msg.UPGRADE:
                sw.upgrade_armed = sw.upgrade_status == 0
                if sw.upgrade_status is not None:
                    self.reply(sw, sw.upgrade_reply(hdr.seq, cookie), src, ifindex)

    # ----- TFTP

    def _on_tftp_request(self, sock):
        for _ in range(64):
            try:
                data, anc, _, src = sock.recvmsg(RECV_SIZE, socket.CMSG_SPACE(12))
            except (BlockingIOError, InterruptedError):
                return
            ifindex, dst = read_pktinfo(anc)
            self.record("tftp", data, src, (dst or "0.0.0.0", self.cfg.tftp_port))
            if len(data) >= 2 and struct.unpack_from(">H", data)[0] == Tftp.WRQ:
                self._start_transfer(data, src, dst, ifindex)

    def _start_transfer(self, data, src, dst, ifindex):
        request = Tftp.parse_request(data)
        if request is None:
            return
        now = time.monotonic()
        # One client may write to several switches at once from the same
        # address and port: a transfer is known by its peer and its switch.
        key = (src, dst)
        old = self.transfers.get(key)
        if old is not None and old.last_acked == 0 and not old.done and not old.erasing:
            # A repeated write request: our acknowledgement was lost.
            old.last_activity = now
            self.send(old.sock, Tftp.ack(0), src, old.ifindex, None)
            return
        candidates = [sw for sw in self.switches
                      if sw.tftp and sw.ip == dst and not sw.quiet(now)
                      and (sw.interface is None or not ifindex or sw.ifindex == ifindex)]
        if not candidates:
            return
        armed = [sw for sw in candidates if sw.upgrade_armed]
        sw = (armed or candidates)[0]
        if old is not None:
            self._end_transfer(old)
        try:
            tsock = udp_socket(dst, 0, transparent=True)
        except OSError as e:
            self.log("TFTP socket for %s failed: %s" % (dst, e))
            return
        transfer = Transfer(sw, tsock, src, ifindex, request[0], now)
        transfer.key = key
        self.transfers[key] = transfer
        self.sel.register(tsock, selectors.EVENT_READ, lambda s, t=transfer: self._on_transfer(t))
        self.after(TRANSFER_IDLE_S, lambda: self._check_idle(transfer))
        if sw.tftp_error == 0:
            self._fail_transfer(transfer)
        else:
            self.send(tsock, Tftp.ack(0), src, ifindex, None)

    def _on_transfer(self, t):
        for _ in range(64):
            if t.sock.fileno() < 0:
                return  # ended by an earlier packet or callback
            try:
                data, anc, _, src = t.sock.recvmsg(RECV_SIZE, socket.CMSG_SPACE(12))
            except (BlockingIOError, InterruptedError):
                return
            _, dst = read_pktinfo(anc)
            self.record("tftp-transfer", data, src, (dst or "0.0.0.0", t.sock.getsockname()[1]))
            if src != t.peer or len(data) < 4:
                continue  # another transfer's packet; RFC 1350 tells it off, we just drop it
            opcode, block = struct.unpack_from(">HH", data)
            if opcode != Tftp.DATA or t.erasing:
                continue
            t.last_activity = time.monotonic()
            if block == t.next_block and not t.done:
                payload = bytes(data[4:])
                if block == 1 and t.switch.erase_delay_ms > 0 and not t.erased:
                    t.erasing = True
                    self.after(t.switch.erase_delay_ms / 1000.0,
                               lambda: self._erase_finished(t, block, payload))
                else:
                    self._accept_block(t, block, payload)
            elif block == t.last_acked and t.last_acked != 0:
                self.send(t.sock, Tftp.ack(block), t.peer, t.ifindex, None)

    def _erase_finished(self, t, block, payload):
        if t.sock.fileno() < 0:
            return
        t.erasing = False
        t.erased = True
        self._accept_block(t, block, payload)

    def _accept_block(self, t, block, payload):
        sw = t.switch
        if sw.tftp_error == block:
            self._fail_transfer(t)
            return
        if block == 1:
            found = IMAGE_VERSION_RE.search(payload)
            t.image_version = found.group(1).decode("ascii") if found else None
        t.size += len(payload)
        t.digest.update(payload)
        t.last_acked = block
        t.next_block = (block + 1) & 0xFFFF
        self.send(t.sock, Tftp.ack(block), t.peer, t.ifindex, None)
        if len(payload) < TFTP_BLOCK:
            t.done = True
            self.record_event("tftp_done", mac=mac_text(sw.mac), filename=t.filename,
                              size=t.size, sha256=t.digest.hexdigest(), blocks=block)
            self._reboot(sw, t.image_version)
            self.after(TRANSFER_LINGER_S, lambda: self._end_transfer(t))

    def _fail_transfer(self, t):
        self.send(t.sock, Tftp.error(0, "simulated failure"), t.peer, t.ifindex, None)
        self.record_event("tftp_error", mac=mac_text(t.switch.mac), block=t.next_block - 1)
        self._end_transfer(t)

    def _check_idle(self, t):
        if self.transfers.get(t.key) is not t:
            return
        if time.monotonic() - t.last_activity >= TRANSFER_IDLE_S:
            self._end_transfer(t)
        else:
            self.after(TRANSFER_IDLE_S, lambda: self._check_idle(t))

    def _end_transfer(self, t):
        if self.transfers.get(t.key) is t:
            del self.transfers[t.key]
        if t.sock.fileno() >= 0:
            self.sel.unregister(t.sock)
            t.sock.close()

    def _reboot(self, sw, image_version=None):
        """After a complete write: quiet for reboot_ms, then the new version."""
        sw.upgrade_armed = False

        def back():
            version = sw.new_fw_version or image_version
            if version is not None:
                sw.fw_version = version
            if sw.leave_loader:
                sw.loader = False
            sw.changed()
            # Quiet ends here, not at a time: a request read in the same
            # loop pass before this timer ran must not get the old version.
            sw.reboot_until = 0.0
            self.record_event("rebooted", mac=mac_text(sw.mac), fw_version=sw.fw_version)

        if sw.reboot_ms > 0:
            sw.reboot_until = float("inf")
            self.after(sw.reboot_ms / 1000.0, back)
        else:
            back()

    # ----- commands

    def _on_stdin(self, fileobj):
        try:
            chunk = os.read(sys.stdin.fileno(), 65536)
        except OSError:
            chunk = b""
        if not chunk:
            # End of input ends the commands, not the simulation.
            self.sel.unregister(fileobj)
            chunk = b"\n"
        self.stdin_buf += chunk
        self._run_commands()

    def _run_commands(self):
        while b"\n" in self.stdin_buf and self.running:
            line, self.stdin_buf = self.stdin_buf.split(b"\n", 1)
            self.command(line.decode("utf-8", "replace").strip())

    def _targets(self, word):
        if word.lower() in ("all", "*"):
            return list(self.switches)
        try:
            sw = self.by_mac.get(parse_mac(word))
        except ConfigError:
            sw = None
        if sw is None:
            self.log("no switch %s" % word)
            return []
        return [sw]

    def command(self, line):
        words = line.split(None, 2)
        if not words:
            return
        verb = words[0].lower()
        if verb == "quit":
            self.running = False
        elif verb in ("trap9", "trap16") and len(words) >= 2:
            text = words[2] if len(words) > 2 else None
            for sw in self._targets(words[1]):
                self.send_trap(sw, verb, text)
        elif verb == "silence" and len(words) == 3 and words[2].lower() in ("on", "off"):
            for sw in self._targets(words[1]):
                sw.silenced = words[2].lower() == "on"
        else:
            self.log("bad command %r" % line)

    def send_trap(self, sw, kind, text):
        """Sends a trap to the trap address, else to the last requester.

        Traps go to the engine's unicast socket (port P+1); a switch that has
        neither a trap address nor heard a request yet broadcasts it.
        """
        cookie = self.cfg.cookie
        if kind == "trap9":
            data = sw.trap9(text or "", cookie)
        else:
            data = sw.trap16(text, cookie)
        if sw.trap_ip != "0.0.0.0":
            dest_ip = sw.trap_ip
        else:
            dest_ip = sw.last_requester or BROADCAST
        self.send(self.dev_sock, data, (dest_ip, self.cfg.trap_port), sw.ifindex, sw.ip)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulates managed switches of the device protocol.")
    parser.add_argument("config", help="JSON description of the switches")
    parser.add_argument("--record", help="append every received datagram to this file (JSON lines)")
    parser.add_argument("--verbose", action="store_true", help="log traffic on standard error")
    args = parser.parse_args(argv)
    try:
        with open(args.config) as f:
            config = SimConfig(json.load(f))
        sim = Simulator(config, args.record, args.verbose)
        sim.setup()
    except (OSError, ValueError) as e:
        print("switchsim: error: %s" % e, file=sys.stderr, flush=True)
        return 2

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        sim.run()
    finally:
        sim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Devices as named, resolved, and told apart."""

import ipaddress
import socket

from ._common import DEFAULT_PORT


class Target:
    """A device as named (HOST, HOST:PORT or [IPv6]:PORT) and, once resolved,
    its address in canonical form: (family, address, port), or the reason
    it has none."""

    def __init__(self, host, port):
        self.host = host
        self.port = port
        self.text = "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)
        self.address = None
        self.unresolved = None  # why the name gave no address

    @property
    def label(self):
        return self.text

    @property
    def resolved(self):
        """The resolved address as text ("10.0.0.5:5025"), or None."""
        if self.address is None:
            return None
        return address_text(*self.address)

    def __repr__(self):
        return "Target(%r)" % self.text


def address_text(family, host, port):
    return "[%s]:%d" % (host, port) if family == socket.AF_INET6 else "%s:%d" % (host, port)


def canonical(family, host, port):
    """One form for every spelling of one endpoint: an IPv4-mapped IPv6
    address is its IPv4 address, the unspecified address (0.0.0.0, ::) is
    this host's loopback (where a connection to it goes), and IPv6 is
    written compressed.  (family, host, port)."""
    text, percent, scope = host.partition("%")
    try:
        ip = ipaddress.ip_address(text)
    except ValueError:
        return family, host, port
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    if ip.is_unspecified:
        ip = ipaddress.ip_address("127.0.0.1" if ip.version == 4 else "::1")
    family = socket.AF_INET if ip.version == 4 else socket.AF_INET6
    return family, str(ip) + (percent + scope if ip.version == 6 else ""), port


def canonical_text(text):
    """A resolved address as text ("[::ffff:10.0.0.5]:5025"), in canonical
    form ("10.0.0.5:5025"); text that is not an address is left as it is."""
    if not isinstance(text, str):
        return text
    host, _, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    try:
        return address_text(*canonical(socket.AF_INET6 if ":" in host else socket.AF_INET, host, int(port)))
    except ValueError:
        return text


def parse_target(text, default_port=DEFAULT_PORT):
    """HOST, HOST:PORT or [IPv6]:PORT; ValueError names what is wrong."""
    if any(ord(ch) < 0x20 or ord(ch) == 0x7F for ch in text):
        raise ValueError("a device name holds no control characters, got %r" % text)
    text = text.strip()
    host, port = text, default_port
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError("expected HOST, HOST:PORT or [IPv6]:PORT, got %r" % text)
        if rest:
            port = rest[1:]
    elif text.count(":") == 1:
        host, port = text.split(":")
    if not host:
        raise ValueError("no host in %r" % text)
    try:
        port = int(port)
    except ValueError:
        port = -1
    if not 0 < port <= 65535:
        raise ValueError("port must be a number from 1 to 65535 in %r" % text)
    return Target(host, port)


class DuplicateTarget(Exception):
    """Two spellings name one device."""

    def __init__(self, first, second):
        super().__init__("%s and %s are the same device (%s): name each device once"
                         % (first.label, second.label, first.resolved))
        self.first, self.second = first, second


def resolve_one(target):
    """Resolves the target's name (its first address, as a connection would
    take it) into target.address, in canonical form; a name that does not
    resolve keeps its reason in target.unresolved."""
    try:
        family, _, _, _, address = socket.getaddrinfo(target.host, target.port, type=socket.SOCK_STREAM)[0]
    except (OSError, UnicodeError, ValueError) as exc:
        target.unresolved = "name not resolved: %s" % (getattr(exc, "strerror", None) or exc)
        return target
    target.address = canonical(family, address[0], address[1])
    return target


def resolve(targets):
    """Resolves every target (resolve_one); raises DuplicateTarget when two
    name one device."""
    seen = {}
    for target in targets:
        resolve_one(target)
        if target.address is None:
            continue
        if target.address in seen:
            raise DuplicateTarget(seen[target.address], target)
        seen[target.address] = target
    return targets

"""Devices as named, resolved, and told apart."""

import socket

from ._common import DEFAULT_PORT


class Target:
    """A device as named (HOST, HOST:PORT or [IPv6]:PORT) and, once resolved,
    its address: (family, address, port), or the reason it has none."""

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
        family, host, port = self.address
        return "[%s]:%d" % (host, port) if family == socket.AF_INET6 else "%s:%d" % (host, port)

    def __repr__(self):
        return "Target(%r)" % self.text


def parse_target(text, default_port=DEFAULT_PORT):
    """HOST, HOST:PORT or [IPv6]:PORT; ValueError names what is wrong."""
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


def resolve(targets):
    """Resolves every target's name (first address, as a connection would
    take it); raises DuplicateTarget when two name one device.  A name that
    does not resolve keeps its reason in `unresolved`."""
    seen = {}
    for target in targets:
        try:
            family, _, _, _, address = socket.getaddrinfo(target.host, target.port, type=socket.SOCK_STREAM)[0]
            target.address = (family, address[0], address[1])
        except (OSError, UnicodeError) as exc:
            target.unresolved = "name not resolved: %s" % (getattr(exc, "strerror", None) or exc)
            continue
        if target.address in seen:
            raise DuplicateTarget(seen[target.address], target)
        seen[target.address] = target
    return targets



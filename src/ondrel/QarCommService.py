"""TCP connection to a device that answers text commands.

A command is one line ending in CR LF.  The device answers each command with
one line, or, for data, with a definite-length block ``#<n><length><data>``
followed by CR LF (see ``ondrel.tools.wire``).  However TCP splits or joins
the bytes, every call here returns one whole reply.
"""

import errno
import os
import select
import socket
import struct
import sys
import time

from . import _wire as wire
from .QarUtils import RetType

__all__ = ["_TCPConn"]

_CHUNK = 65536
_CONNECT_SLICE = 0.05  # how often a connection being made looks whether it was given up


def _socket_timeout(seconds):
    """The value of SO_RCVTIMEO / SO_SNDTIMEO for `seconds`, as the platform
    takes it: milliseconds in a DWORD on Windows, a struct timeval elsewhere.
    Never zero, which would mean "wait for ever"."""
    if sys.platform == "win32":
        return struct.pack("@L", max(1, int(seconds * 1000)))
    whole = int(seconds)
    micro = int((seconds - whole) * 1e6)
    if not whole and not micro:
        micro = 1
    return struct.pack("@ll", whole, micro)


class _Readable:
    """Whether bytes wait on a socket, without waiting: poll() where there
    is one, select() on Windows."""

    def __init__(self, sock):
        self._sock = sock
        if hasattr(select, "poll"):
            self._poll = select.poll()
            self._poll.register(sock, select.POLLIN)
        else:
            self._poll = None

    def now(self):
        if self._poll is not None:
            return bool(self._poll.poll(0))
        return bool(select.select([self._sock], [], [], 0)[0])


class _TCPConn:
    """A blocking TCP connection to one device.

    Errors name the device: a time-out raises ``TimeoutError``, a refused,
    reset or closed connection raises ``ConnectionError``.  The time-out is a
    deadline for each reply, counted from the monotonic clock: the socket
    blocks with kernel time-outs (SO_RCVTIMEO, which cost nothing per call,
    unlike Python's own socket time-outs that poll before every receive),
    and a reply that trickles in gets what is left of its time for each
    further piece, not a new time-out.  Whatever
    interrupts an exchange (a time-out, a broken reply, KeyboardInterrupt)
    closes the connection, since the reply stream can no longer be trusted;
    later calls say why until ``initConnection`` opens it again.

    Commands may be sent ahead with ``sendRawBytes`` (or several at once
    with ``sendCommands``) while earlier replies are unread; ``recvRawBytes``
    reads the replies in order (``recvReplies``, every one already here).  A
    listed exchange (``sendCmd``) is refused while replies are owed, and bytes
    the device sends when no reply is owed put the connection out of step:
    it is closed before the next command goes out.
    """

    def __init__(self, address, port=5025, timeout=5.0, connect_timeout=3.0):
        self.address = address
        self.port = int(port)
        self.timeout = float(timeout)
        self.connect_timeout = float(connect_timeout)
        self._sock = None
        self._readable = None  # whether bytes wait, without waiting
        self._buf = b""  # received, not yet taken as replies: from _at on
        self._at = 0
        self._kernel_timeout = None
        self._unread = 0  # replies owed for commands sent
        self._closed_because = None
        self.failure = None  # why the last initConnection() could not connect
        self._aborted = False
        self.last_error = None  # the last error an exchange raised

    def __repr__(self):
        state = "connected" if self._sock is not None else "closed"
        return "<_TCPConn %s (%s)>" % (self._peer(), state)

    def _peer(self):
        return "%s:%d" % (self.address, self.port)

    # -- connection ------------------------------------------------------

    def initConnection(self):
        """Connect to the device; True on success, False when it cannot be reached."""
        self.closeConnection()
        self.failure = None
        try:
            sock = self._connect()
        except (OSError, ValueError, OverflowError) as exc:
            self.failure = exc
            return False
        sock.settimeout(None)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, _socket_timeout(self.timeout))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = sock
        self._set_kernel_timeout(self.timeout)
        self._readable = _Readable(sock)
        self._buf, self._at = b"", 0
        self._unread = 0
        self._closed_because = None
        return True

    def _connect(self):
        """A connected socket, within connect_timeout; abort() ends the wait
        (within _CONNECT_SLICE)."""
        deadline = time.monotonic() + self.connect_timeout
        error = None
        for family, kind, proto, _, address in socket.getaddrinfo(self.address, self.port, type=socket.SOCK_STREAM):
            sock = socket.socket(family, kind, proto)
            try:
                sock.setblocking(False)
                status = sock.connect_ex(address)
                while status in (errno.EINPROGRESS, errno.EALREADY, errno.EWOULDBLOCK):
                    left = deadline - time.monotonic()
                    if self._aborted:
                        raise ConnectionAbortedError(errno.ECONNABORTED, "connecting was given up")
                    if left <= 0:
                        raise socket.timeout("timed out")
                    _, writable, _ = select.select([], [sock], [], min(left, _CONNECT_SLICE))
                    if writable:
                        status = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if status:
                    raise OSError(status, os.strerror(status))
                sock.setblocking(True)
                return sock
            except OSError as exc:
                sock.close()
                error = exc
                if self._aborted or isinstance(exc, socket.timeout):
                    break
        raise error or OSError(errno.EADDRNOTAVAIL, "no address for %s" % self.address)

    def settimeout(self, seconds):
        """Time allowed for each send and each reply (seconds, above 0)."""
        if not seconds > 0:
            raise ValueError("time-out must be above 0 seconds, not %r" % (seconds,))
        self.timeout = float(seconds)
        if self._sock is not None:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, _socket_timeout(self.timeout))
            self._set_kernel_timeout(self.timeout)

    def _set_kernel_timeout(self, seconds):
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, _socket_timeout(seconds))
        self._kernel_timeout = seconds

    def isConnected(self):
        return self._sock is not None

    def closeConnection(self):
        """Close the connection; closing a closed connection does nothing."""
        self._close(None)

    def abort(self):
        """From another thread: makes a connection being made, or a send or
        receive in progress, fail at once (the call that fails then closes
        the connection); this object connects no more."""
        self._aborted = True
        sock = self._sock
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _close(self, reason):
        sock = self._sock
        self._sock = self._readable = None
        self._buf, self._at = b"", 0
        if sock is not None:
            self._closed_because = reason
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def _error(self, kind, text, reason):
        """An error to raise: its text names the device; its `reason` says
        the cause alone (for whoever names the device already)."""
        error = kind(text)
        error.reason = reason
        self.last_error = error
        return error

    def _not_connected(self):
        reason = "not connected"
        if self._closed_because:
            reason += " (closed after %s; initConnection() reconnects)" % self._closed_because
        return self._error(ConnectionError, "%s to %s%s" % (reason[:13], self._peer(), reason[13:]), reason)

    # -- exchanges -------------------------------------------------------

    def sendCmd(self, frame, rsp_type=None):
        """Send one command line and return its reply line, without CR LF, as RetData."""
        if self._unread and self._sock is not None:
            reason = ("busy: %d %s still owed to commands sent ahead (a windowed transfer in progress, or a reply "
                      "never read); a command now would read one of them"
                      % (self._unread, "reply is" if self._unread == 1 else "replies are"))
            raise self._error(ConnectionError, "connection to %s is %s" % (self._peer(), reason), reason)
        self.sendRawBytes(frame)
        line = self._receive(wire.split_lines, 1)[0]
        end = -2 if line[-2:] == b"\r\n" else -1
        return RetType(data=line[:end].decode("utf-8", "replace"))

    def sendRawBytes(self, data):
        """Send all bytes of one command; its reply is read by recvRawBytes
        (or by sendCmd, which sends through here)."""
        self.sendCommands(data, 1)

    def sendCommands(self, data, count):
        """Send ``count`` whole command lines joined in ``data``; their
        replies are read in order by recvRawBytes or recvReplies."""
        sock = self._sock
        if sock is None:
            raise self._not_connected()
        if not self._unread:
            self._refuse_stray_bytes()
        self._unread += count  # owed from before the first byte leaves: no listed exchange may start meanwhile
        try:
            sock.sendall(data)
        except (socket.timeout, BlockingIOError):
            self._close("a send that timed out")
            raise self._error(TimeoutError, "sending to %s timed out after %gs" % (self._peer(), self.timeout),
                              "time-out: sending took more than %gs" % self.timeout) from None
        except OSError as exc:
            self._close("a failed send")
            raise self._error(ConnectionError, "connection to %s lost: %s" % (self._peer(), exc),
                              "lost connection: %s" % (exc.strerror or exc)) from exc
        except BaseException as exc:  # part of the command may be on its way: the stream is lost
            self._close("%s interrupted a send" % type(exc).__name__)
            raise

    def recvRawBytes(self, size=1024):
        """Return the next whole reply, line end included, cut to at most
        ``size`` bytes (the rest of that reply is dropped)."""
        return self._receive(wire.split_replies, 1)[0][:size]

    def recvReplies(self, limit, size=1024):
        """The next replies, in order, as recvRawBytes returns each: every
        whole reply already received, at least one (waited for) and at most
        ``limit``."""
        return [reply[:size] for reply in self._receive(wire.split_replies, limit)]

    def _refuse_stray_bytes(self):
        """Closes the connection when bytes arrived that no command asked
        for: the next reply read would not be the answer to the next command."""
        stray = self._buf[self._at:]
        if not stray and self._readable.now():
            try:
                stray = self._sock.recv(64, socket.MSG_PEEK)  # there is something: no wait
            except OSError:
                stray = b""  # a failed connection: the exchange says so
        if stray:
            self._close("a reply no command asked for")
            reason = "out of step: the device sent %r when no reply was owed; closed" % stray[:40]
            raise self._error(ConnectionError, "connection to %s is %s" % (self._peer(), reason), reason)

    # -- reading ---------------------------------------------------------

    def _receive(self, split, limit):
        """Up to `limit` whole replies, at least one, as `split` finds them
        in what was received, before the deadline; any failure gives the
        stream up."""
        sock = self._sock
        if sock is None:
            raise self._not_connected()
        try:
            replies, at = split(self._buf, limit, self._at)
            if not replies:
                deadline = time.monotonic() + self.timeout
                while not replies:
                    self._fill(sock, deadline)
                    replies, at = split(self._buf, limit, 0)
            self._at = at
        except BaseException as exc:
            self._failed(exc)
        self._unread = max(0, self._unread - len(replies))
        return replies

    def _fill(self, sock, deadline):
        """More of the stream, before the deadline (kept from self._at on)."""
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("timed out")
        if abs(left - self._kernel_timeout) > 0.001:  # a later piece of a slow reply, or the next reply
            self._set_kernel_timeout(left)
        try:
            data = sock.recv(_CHUNK)
        except BlockingIOError:  # the receive time-out ran out
            raise socket.timeout("timed out") from None
        if not data:
            raise wire.WireError("closed the connection")
        rest = self._buf[self._at:]
        if len(rest) > wire.MAX_REPLY:
            raise wire.WireError("sent a reply longer than %d bytes" % wire.MAX_REPLY)
        self._buf, self._at = rest + data if rest else data, 0

    def _failed(self, exc):
        """Raise what a failed read means for the caller; the stream is given up."""
        if isinstance(exc, socket.timeout):
            self._close("no reply within %gs" % self.timeout)
            raise self._error(TimeoutError, "no reply from %s within %gs" % (self._peer(), self.timeout),
                              "time-out: no reply within %gs" % self.timeout) from None
        if isinstance(exc, wire.WireError):
            self._close("a broken reply")
            closed = str(exc) == "closed the connection"
            raise self._error(ConnectionError, "device %s %s" % (self._peer(), exc),
                              "lost connection: the device closed it" if closed else "the device %s" % exc) from None
        if isinstance(exc, (OSError, ValueError, AttributeError)):
            self._close("a failed receive")
            raise self._error(ConnectionError, "connection to %s lost: %s" % (self._peer(), exc),
                              "lost connection: %s" % (getattr(exc, "strerror", None) or exc)) from exc
        self._close("%s interrupted an exchange" % type(exc).__name__)
        raise exc

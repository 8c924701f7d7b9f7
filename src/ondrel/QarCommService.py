"""TCP connection to a device that answers text commands.

A command is one line ending in CR LF.  The device answers each command with
one line, or, for data, with a definite-length block ``#<n><length><data>``
followed by CR LF (see ``ondrel._wire``).  However TCP splits or joins the
bytes, every call here returns one whole reply.

The stream and its rules (each reply whole before its deadline, stray bytes,
out of step, closing on whatever interrupts an exchange) are the Link of
the library's engine (``ondrel._transfer``), in native code: the library's
transfers use the same link directly, so there is one implementation of
them, not two that could drift apart.
"""

import errno
import os
import select
import socket
import time

from . import Tarnel as _Tarnel  # noqa: F401 (its loading makes the engine)
from . import _transfer
from .QarUtils import RetType

__all__ = ["_TCPConn"]

_CONNECT_SLICE = 0.05  # how often a connection being made looks whether it was given up


class _TCPConn:
    """A blocking TCP connection to one device.

    Errors name the device: a time-out raises ``TimeoutError``, a refused,
    reset or closed connection raises ``ConnectionError``; each carries the
    cause alone as ``reason``.  The time-out is a deadline for each reply,
    counted from the monotonic clock: a reply that trickles in gets what is
    left of its time for each further piece, not a new time-out.  Whatever
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
        self._link = None
        self._closed_because = None  # before a link was made: nothing
        self.failure = None  # why the last initConnection() could not connect
        self._aborted = False
        self._last_error = None

    def __repr__(self):
        state = "connected" if self.isConnected() else "closed"
        return "<_TCPConn %s (%s)>" % (self._peer(), state)

    def _peer(self):
        return "%s:%d" % (self.address, self.port)

    @property
    def last_error(self):
        """The last error an exchange raised."""
        return self._link.last_error if self._link is not None else self._last_error

    @last_error.setter
    def last_error(self, error):
        if self._link is not None:
            self._link.last_error = error
        self._last_error = error

    @property
    def _unread(self):
        """Replies owed to commands sent."""
        return self._link.owed if self._link is not None else 0

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
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._link = _transfer.Link(sock.detach(), self._peer(), self.timeout)
        if self._aborted:  # asked to stop while the link was being made
            self._link.abort()
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
                    _, writable, failed = select.select([], [sock], [sock], min(left, _CONNECT_SLICE))
                    if writable or failed:  # Windows says a refused connection in the third set
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
        if self._link is not None:
            self._link.settimeout(self.timeout)

    def isConnected(self):
        return self._link is not None and self._link.open

    def closeConnection(self):
        """Close the connection; closing a closed connection does nothing."""
        if self._link is not None:
            self._link.close()

    def abort(self):
        """From another thread: makes a connection being made, or a send or
        receive in progress, fail at once (the call that fails then closes
        the connection); this object connects no more."""
        self._aborted = True
        link = self._link
        if link is not None:
            link.abort()

    def _not_connected(self):
        reason = "not connected"
        error = ConnectionError("not connected to %s" % self._peer())
        error.reason = reason
        self.last_error = error
        return error

    # -- exchanges -------------------------------------------------------

    def sendCmd(self, frame, rsp_type=None):
        """Send one command line and return its reply line, without CR LF, as RetData."""
        if self._link is None:
            raise self._not_connected()
        return RetType(data=self._link.exchange(frame))

    def sendRawBytes(self, data):
        """Send all bytes of one command; its reply is read by recvRawBytes
        (or by sendCmd, which sends through here)."""
        self.sendCommands(data, 1)

    def sendCommands(self, data, count):
        """Send ``count`` whole command lines joined in ``data``; their
        replies are read in order by recvRawBytes or recvReplies."""
        if self._link is None:
            raise self._not_connected()
        self._link.send(data, count)

    def recvRawBytes(self, size=1024):
        """Return the next whole reply, line end included, cut to at most
        ``size`` bytes (the rest of that reply is dropped)."""
        if self._link is None:
            raise self._not_connected()
        return self._link.receive(1, size)[0]

    def recvReplies(self, limit, size=1024):
        """The next replies, in order, as recvRawBytes returns each: every
        whole reply already received, at least one (waited for) and at most
        ``limit``."""
        if self._link is None:
            raise self._not_connected()
        return self._link.receive(limit, size)


_transfer.adopt_connection_class(_TCPConn)

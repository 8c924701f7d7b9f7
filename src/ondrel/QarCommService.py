"""TCP connection to a device that answers text commands.

A command is one line ending in CR LF.  The device answers each command with
one line, or, for data, with a definite-length block ``#<n><length><data>``
followed by CR LF (see ``ondrel.tools.wire``).  However TCP splits or joins
the bytes, every call here returns one whole reply.
"""

import io
import socket
import struct
import time

from .QarUtils import RetType
from .tools import wire

__all__ = ["_TCPConn"]

_CHUNK = 65536


def _timeval(seconds):
    whole = int(seconds)
    micro = int((seconds - whole) * 1e6)
    if not whole and not micro:
        micro = 1  # a zero time-out would mean "wait for ever"
    return struct.pack("@ll", whole, micro)


class _SocketReader(io.RawIOBase):
    """The socket as a raw stream for a buffered reader.

    The socket blocks with kernel time-outs (SO_RCVTIMEO), which cost nothing
    per call, unlike Python's own socket time-outs that poll before every
    receive.  A kernel time-out restarts with every receive, so each reply
    also has a deadline: a reply that trickles in gets what is left of its
    time for each further piece, not a new time-out."""

    def __init__(self, sock, timeout):
        super().__init__()
        self._sock = sock
        self._kernel_timeout = timeout
        self.deadline = None  # monotonic time by which the reply must be complete

    def readable(self):
        return True

    def set_kernel_timeout(self, seconds):
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, _timeval(seconds))
        self._kernel_timeout = seconds

    def readinto(self, buffer):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("timed out")
        if abs(left - self._kernel_timeout) > 0.001:  # a later piece of a slow reply, or the next reply
            self.set_kernel_timeout(left)
        try:
            return self._sock.recv_into(buffer)
        except BlockingIOError:  # the receive time-out ran out
            raise socket.timeout("timed out") from None


class _TCPConn:
    """A blocking TCP connection to one device.

    Errors name the device: a time-out raises ``TimeoutError``, a refused,
    reset or closed connection raises ``ConnectionError``.  The time-out is a
    deadline for each reply, counted from the monotonic clock.  Whatever
    interrupts an exchange (a time-out, a broken reply, KeyboardInterrupt)
    closes the connection, since the reply stream can no longer be trusted;
    later calls say why until ``initConnection`` opens it again.

    Commands may be sent ahead with ``sendRawBytes`` while earlier replies
    are unread; ``recvRawBytes`` reads the replies in order.  A listed
    exchange (``sendCmd``) needs every earlier reply read first.
    """

    def __init__(self, address, port=5025, timeout=5.0, connect_timeout=3.0):
        self.address = address
        self.port = int(port)
        self.timeout = float(timeout)
        self.connect_timeout = float(connect_timeout)
        self._sock = None
        self._reader = None
        self._unread = 0  # replies owed for commands sent
        self._closed_because = None

    def __repr__(self):
        state = "connected" if self._sock is not None else "closed"
        return "<_TCPConn %s (%s)>" % (self._peer(), state)

    def _peer(self):
        return "%s:%d" % (self.address, self.port)

    # -- connection ------------------------------------------------------

    def initConnection(self):
        """Connect to the device; True on success, False when it cannot be reached."""
        self.closeConnection()
        try:
            sock = socket.create_connection((self.address, self.port), timeout=self.connect_timeout)
        except (OSError, ValueError, OverflowError):
            return False
        sock.settimeout(None)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, _timeval(self.timeout))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        raw = _SocketReader(sock, self.timeout)
        raw.set_kernel_timeout(self.timeout)
        self._sock = sock
        self._reader = io.BufferedReader(raw, _CHUNK)
        self._unread = 0
        self._closed_because = None
        return True

    def settimeout(self, seconds):
        """Time allowed for each send and each reply (seconds, above 0)."""
        if not seconds > 0:
            raise ValueError("time-out must be above 0 seconds, not %r" % (seconds,))
        self.timeout = float(seconds)
        if self._sock is not None:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, _timeval(self.timeout))
            self._reader.raw.set_kernel_timeout(self.timeout)

    def isConnected(self):
        return self._sock is not None

    def closeConnection(self):
        """Close the connection; closing a closed connection does nothing."""
        self._close(None)

    def abort(self):
        """From another thread: makes a send or receive in progress fail at
        once (the call that fails then closes the connection)."""
        sock = self._sock
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _close(self, reason):
        sock, reader = self._sock, self._reader
        self._sock = self._reader = None
        if sock is not None:
            self._closed_because = reason
        if reader is not None:
            reader.close()
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def _not_connected(self):
        text = "not connected to %s" % self._peer()
        if self._closed_because:
            text += " (closed after %s; initConnection() reconnects)" % self._closed_because
        return ConnectionError(text)

    # -- exchanges -------------------------------------------------------

    def sendCmd(self, frame, rsp_type=None):
        """Send one command line and return its reply line, without CR LF, as RetData."""
        if self._unread and self._sock is not None:
            self._close("a reply that was never read")
            raise ConnectionError("connection to %s is out of step: an earlier reply was never read; closed"
                                  % self._peer())
        self.sendRawBytes(frame)
        line = self._receive(wire.read_line)
        end = -2 if line[-2:] == b"\r\n" else -1
        return RetType(data=line[:end].decode("utf-8", "replace"))

    def sendRawBytes(self, data):
        """Send all bytes of one command; its reply is read by recvRawBytes
        (or by sendCmd, which sends through here)."""
        sock = self._sock
        if sock is None:
            raise self._not_connected()
        try:
            sock.sendall(data)
            self._unread += 1
        except (socket.timeout, BlockingIOError):
            self._close("a send that timed out")
            raise TimeoutError("sending to %s timed out after %gs" % (self._peer(), self.timeout)) from None
        except OSError as exc:
            self._close("a failed send")
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc
        except BaseException as exc:  # part of the command may be on its way: the stream is lost
            self._close("%s interrupted a send" % type(exc).__name__)
            raise

    def recvRawBytes(self, size=1024):
        """Return the next whole reply, line end included, cut to at most
        ``size`` bytes (the rest of that reply is dropped)."""
        return self._receive(wire.read_reply)[:size]

    # -- reading ---------------------------------------------------------

    def _receive(self, read):
        """One reply, read by `read` before its deadline; any failure gives
        the stream up."""
        reader = self._reader
        if reader is None:
            raise self._not_connected()
        reader.raw.deadline = time.monotonic() + self.timeout
        try:
            reply = read(reader)
        except BaseException as exc:
            self._failed(exc)
        if self._unread:
            self._unread -= 1
        return reply

    def _failed(self, exc):
        """Raise what a failed read means for the caller; the stream is given up."""
        if isinstance(exc, socket.timeout):
            self._close("no reply within %gs" % self.timeout)
            raise TimeoutError("no reply from %s within %gs" % (self._peer(), self.timeout)) from None
        if isinstance(exc, wire.WireError):
            self._close("a broken reply")
            raise ConnectionError("device %s %s" % (self._peer(), exc)) from None
        if isinstance(exc, (OSError, ValueError, AttributeError)):
            self._close("a failed receive")
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc
        self._close("%s interrupted an exchange" % type(exc).__name__)
        raise exc

"""TCP connection to a device that answers text commands.

A command is one line ending in CR LF.  The device answers with one line, or,
for data, with a definite-length block ``#<n><length><data>`` followed by
CR LF.  However TCP splits or joins the bytes, every call here returns one
whole reply.
"""

import io
import socket
import struct

from .QarUtils import RetType

__all__ = ["_TCPConn"]

_CHUNK = 65536
_MAX_REPLY = 1 << 20  # a reply longer than this is a broken device
_SHORT_BLOCK = 4 + 99 + 2  # "#2nn", up to 99 data bytes, CR LF


class _SocketReader(io.RawIOBase):
    """The socket as a raw stream for a buffered reader.  The socket blocks
    with kernel time-outs (SO_RCVTIMEO), which cost nothing per call, unlike
    Python's own socket time-outs that poll before every receive."""

    def __init__(self, sock):
        super().__init__()
        self._sock = sock

    def readable(self):
        return True

    def readinto(self, buffer):
        try:
            return self._sock.recv_into(buffer)
        except BlockingIOError:  # the receive time-out ran out
            raise socket.timeout("timed out") from None


def _set_kernel_timeouts(sock, seconds):
    whole = int(seconds)
    timeval = struct.pack("@ll", whole, int((seconds - whole) * 1e6))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, timeval)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, timeval)


class _TCPConn:
    """A blocking TCP connection to one device.

    Errors name the device: a time-out raises ``TimeoutError``, a refused,
    reset or closed connection raises ``ConnectionError``.  After a time-out
    or a broken reply the connection is closed, since the reply stream can no
    longer be trusted; ``initConnection`` opens it again.
    """

    def __init__(self, address, port=5025, timeout=5.0, connect_timeout=3.0):
        self.address = address
        self.port = int(port)
        self.timeout = float(timeout)
        self.connect_timeout = float(connect_timeout)
        self._sock = None
        self._reader = None

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
        _set_kernel_timeouts(sock, self.timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = sock
        self._reader = io.BufferedReader(_SocketReader(sock), _CHUNK)
        return True

    def settimeout(self, seconds):
        """Time allowed for each send and each reply (seconds, above 0)."""
        if not seconds > 0:
            raise ValueError("time-out must be above 0 seconds, not %r" % (seconds,))
        self.timeout = float(seconds)
        if self._sock is not None:
            _set_kernel_timeouts(self._sock, self.timeout)

    def isConnected(self):
        return self._sock is not None

    def closeConnection(self):
        """Close the connection; closing a closed connection does nothing."""
        sock, reader = self._sock, self._reader
        self._sock = self._reader = None
        if reader is not None:
            reader.close()
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    # -- exchanges -------------------------------------------------------

    def sendCmd(self, frame, rsp_type=None):
        """Send one command line and return its reply line, without CR LF, as RetData."""
        self.sendRawBytes(frame)
        reader = self._reader
        try:
            line = reader.readline(_MAX_REPLY)
        except Exception as exc:
            self._failed(exc)
        if line[-2:] == b"\r\n":
            return RetType(data=line[:-2].decode("utf-8", "replace"))
        if line[-1:] != b"\n":
            self._unfinished(line)
        return RetType(data=line[:-1].decode("utf-8", "replace"))

    def sendRawBytes(self, data):
        """Send all bytes of ``data``."""
        sock = self._sock
        if sock is None:
            raise ConnectionError("not connected to %s" % (self._peer(),))
        try:
            sock.sendall(data)
        except (socket.timeout, BlockingIOError):
            self.closeConnection()
            raise TimeoutError("sending to %s timed out after %gs" % (self._peer(), self.timeout)) from None
        except OSError as exc:
            self.closeConnection()
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc

    def recvRawBytes(self, size=1024):
        """Return one whole reply, line end included, cut to at most ``size`` bytes."""
        reader = self._reader
        if reader is None:
            raise ConnectionError("not connected to %s" % (self._peer(),))
        try:
            ahead = reader.peek(_SHORT_BLOCK)
            # The usual reply, a short block already received whole: one read.
            if ahead[:1] == b"#" and ahead[1:2] == b"2" and ahead[2:4].isdigit():
                end = 4 + int(ahead[2:4]) + 2
                if len(ahead) >= end:
                    return reader.read(end)[:size]
            return self._reply(reader)[:size]
        except Exception as exc:
            self._failed(exc)

    # -- reading ---------------------------------------------------------

    def _failed(self, exc):
        """Raise what a failed read means for the caller; the stream is given up."""
        if isinstance(exc, ConnectionError) and self._sock is None:
            raise exc  # already reported and closed
        self.closeConnection()
        if isinstance(exc, socket.timeout):
            raise TimeoutError("no reply from %s within %gs" % (self._peer(), self.timeout)) from None
        if isinstance(exc, (OSError, ValueError, AttributeError)):
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc
        raise exc

    def _unfinished(self, line):
        self._broken("sent a reply line longer than %d bytes" % _MAX_REPLY if len(line) == _MAX_REPLY
                     else "closed the connection")

    def _broken(self, what):
        self.closeConnection()
        raise ConnectionError("device %s %s" % (self._peer(), what))

    def _line(self, reader, head=b""):
        """The rest of a reply line, up to and including its LF."""
        line = reader.readline(_MAX_REPLY)
        if line[-1:] != b"\n":
            self._unfinished(line)
        return head + line if head else line

    def _exactly(self, reader, size, head):
        data = reader.read(size)
        if len(data) < size:
            self._broken("closed the connection")
        return head + data

    def _reply(self, reader):
        """A definite-length block "#<n><length><data>" CR LF, or a line."""
        head = self._exactly(reader, 1, b"")
        if head != b"#":
            return self._line(reader, head)
        head = self._exactly(reader, 1, head)
        digits = head[1] - 0x30
        if not 1 <= digits <= 9:
            return self._line(reader, head)
        head = self._exactly(reader, digits, head)
        length_text = head[2:]
        if not length_text.isdigit():
            return self._line(reader, head)
        length = int(length_text) + 2
        if length > _MAX_REPLY:
            self._broken("announces a %d-byte block" % (length - 2,))
        return self._exactly(reader, length, head)

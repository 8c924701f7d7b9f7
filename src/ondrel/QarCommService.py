"""TCP connection to a device that answers text commands.

A command is one line ending in CR LF.  The device answers with one line, or,
for data, with a definite-length block ``#<n><length><data>`` followed by
CR LF.  However TCP splits or joins the bytes, every call here returns one
whole reply.
"""

import socket

from .QarUtils import RetType

__all__ = ["_TCPConn"]

_CHUNK = 65536
_MAX_REPLY = 1 << 20  # a reply longer than this is a broken device


class _TCPConn:
    """A blocking TCP connection to one device.

    Errors name the device: a time-out raises ``TimeoutError``, a refused,
    reset or closed connection raises ``ConnectionError``.
    """

    def __init__(self, address, port=5025, timeout=5.0, connect_timeout=3.0):
        self.address = address
        self.port = int(port)
        self.timeout = float(timeout)
        self.connect_timeout = float(connect_timeout)
        self._sock = None
        self._buf = bytearray()

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
        sock.settimeout(self.timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = sock
        del self._buf[:]
        return True

    def isConnected(self):
        return self._sock is not None

    def closeConnection(self):
        """Close the connection; closing a closed connection does nothing."""
        sock, self._sock = self._sock, None
        del self._buf[:]
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
        line = self._read_line()
        if line.endswith(b"\r\n"):
            line = line[:-2]
        else:
            line = line[:-1]
        return RetType(data=line.decode("utf-8", "replace"))

    def sendRawBytes(self, data):
        """Send all bytes of ``data``."""
        sock = self._connected()
        try:
            sock.sendall(data)
        except socket.timeout:
            raise TimeoutError("sending to %s timed out after %gs" % (self._peer(), self.timeout)) from None
        except OSError as exc:
            self.closeConnection()
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc

    def recvRawBytes(self, size=1024):
        """Return one whole reply, line end included, cut to at most ``size`` bytes."""
        buf = self._buf
        self._fill_to(1)
        if buf[0] == 0x23:  # '#': a definite-length block
            self._fill_to(2)
            digits = buf[1] - 0x30
            if 1 <= digits <= 9:
                self._fill_to(2 + digits)
                length_text = bytes(buf[2 : 2 + digits])
                if length_text.isdigit():
                    end = 2 + digits + int(length_text) + 2
                    if end > _MAX_REPLY:
                        self._broken("announces a %d-byte block" % (end,))
                    self._fill_to(end)
                    reply = bytes(buf[:end])
                    del buf[:end]
                    return reply[:size]
        return self._read_line()[:size]

    # -- reading ---------------------------------------------------------

    def _connected(self):
        if self._sock is None:
            raise ConnectionError("not connected to %s" % (self._peer(),))
        return self._sock

    def _broken(self, what):
        self.closeConnection()
        raise ConnectionError("device %s %s" % (self._peer(), what))

    def _receive(self):
        sock = self._connected()
        try:
            chunk = sock.recv(_CHUNK)
        except socket.timeout:
            raise TimeoutError("no reply from %s within %gs" % (self._peer(), self.timeout)) from None
        except OSError as exc:
            self.closeConnection()
            raise ConnectionError("connection to %s lost: %s" % (self._peer(), exc)) from exc
        if not chunk:
            self._broken("closed the connection")
        self._buf += chunk

    def _fill_to(self, size):
        while len(self._buf) < size:
            self._receive()

    def _read_line(self):
        """One reply line up to and including its LF."""
        buf = self._buf
        start = 0
        while True:
            end = buf.find(b"\n", start)
            if end >= 0:
                line = bytes(buf[: end + 1])
                del buf[: end + 1]
                return line
            if len(buf) > _MAX_REPLY:
                self._broken("sent a reply line longer than %d bytes" % (_MAX_REPLY,))
            start = len(buf)
            self._receive()

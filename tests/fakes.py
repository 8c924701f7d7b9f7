"""The fakes the tests share: one scripted connection, one device (the
simulator, in-process), one stand-in for the TCP connection class, one
Sweepgate device, and a terminal for the command line."""

import os
import select
import socket
import struct
import subprocess

import ondrel.qardev.Sweepgate as S
from ondrel import _wire as wire
from ondrel.QarUtils import RetType
from ondrel.tools.devsim import DeviceState, SimulatedDevice

OK = RetType()


class RecordingConnection:
    """A connection that records every call and answers from scripts.

    ``replies`` answers listed exchanges (``sendCmd``) in order; when it runs
    out, ``default_reply`` answers.  A reply may be a callable taking the
    frame, or an exception to raise.  ``raw_replies`` answers
    ``recvRawBytes`` likewise.  ``calls`` holds ``(operation, arguments)``
    tuples in call order (none when ``record`` is false).
    """

    def __init__(self, replies=(), raw_replies=(), default_reply="0", default_raw=b"#200\r\n", record=True):
        self.replies = list(replies)
        self.raw_replies = list(raw_replies)
        self.default_reply = default_reply
        self.default_raw = default_raw
        self.record = record
        self.calls = []

    def _note(self, operation, arguments):
        if self.record:
            self.calls.append((operation, arguments))

    def _next(self, queue, default, frame):
        reply = queue.pop(0) if queue else default
        if isinstance(reply, BaseException):
            raise reply
        return reply(frame) if callable(reply) else reply

    def sendCmd(self, frame, rsp_type):
        self._note("sendCmd", (frame, rsp_type))
        return RetType(data=self._next(self.replies, self.default_reply, frame))

    def sendRawBytes(self, data):
        self._note("sendRawBytes", (data,))

    def recvRawBytes(self, size):
        self._note("recvRawBytes", (size,))
        return self._next(self.raw_replies, self.default_raw, size)

    def initConnection(self):
        self._note("initConnection", ())
        return True

    def closeConnection(self):
        self._note("closeConnection", ())

    # views of the record
    def frames(self):
        """Every byte string sent, listed or raw, in order."""
        return [args[0] for op, args in self.calls if op in ("sendCmd", "sendRawBytes")]

    def commands(self):
        """The frames as text without CR LF; program commands cut to their header."""
        out = []
        for frame in self.frames():
            line = bytes(frame[:-2])
            if line.startswith(wire.PROGRAM):
                line = line[:wire.program_block_bounds(line)[0]]
            out.append(line.decode("ascii", "replace"))
        return out


class DeviceConnection(RecordingConnection):
    """A RecordingConnection with a simulated device behind it, in this
    process: programming writes its flash, reads read it back, and its
    state and faults are the simulator's (``device.state``,
    ``device.faults``).  Raw replies not yet read wait in ``raw_replies``."""

    def __init__(self, state=None, faults=None, record=True):
        super().__init__(record=record)
        self.device = SimulatedDevice(state, faults)

    def _answer(self, frame):
        buf = bytearray(frame)
        command = wire.split_command(buf)
        assert command is not None and not buf, frame
        return self.device.answer(command)

    def sendCmd(self, frame, rsp_type):
        self._note("sendCmd", (frame, rsp_type))
        return RetType(data=self._answer(frame)[:-2].decode("utf-8"))

    def sendRawBytes(self, data):
        self._note("sendRawBytes", (data,))
        self.raw_replies.append(self._answer(data))

    def recvRawBytes(self, size):
        self._note("recvRawBytes", (size,))
        return self.raw_replies.pop(0)[:size]


class FakeTCP:
    """Stands in for ondrel.QarCommService._TCPConn (see the fake_tcp
    fixture): connects unless the address is "unreachable" or
    ``connect_result`` is false; ``instances`` lists those made, when it is a
    list."""

    instances = None
    connect_result = True

    def __init__(self, address, port):
        self.args = (address, port)
        self.calls = []
        if FakeTCP.instances is not None:
            FakeTCP.instances.append(self)

    def initConnection(self):
        self.calls.append("initConnection")
        return FakeTCP.connect_result and self.args[0] != "unreachable"

    def closeConnection(self):
        self.calls.append("closeConnection")


class SweepgateDevice(S.Sweepgate):
    """A Sweepgate device that records every device operation (unless
    ``record`` is false); results and errors are scripted by operation name:
    a RetType to return, or an exception to raise."""

    def __init__(self, record=True, **results):
        self.calls = [] if record else None
        self.results = results
        self.factory_calls = 0
        self.manager = object()

    def _op(self, name, *args, **kwargs):
        if self.calls is not None:
            self.calls.append((name, args, kwargs))
        result = self.results.get(name, OK)
        if isinstance(result, BaseException):
            raise result
        return result

    def _setBeamPatternEnable(self, *a, **k):
        return self._op("_setBeamPatternEnable", *a, **k)

    def _eraseBeamPattern(self, *a, **k):
        return self._op("_eraseBeamPattern", *a, **k)

    def _applyBeamPatternToBFIC(self, *a, **k):
        return self._op("_applyBeamPatternToBFIC", *a, **k)

    def _getExtCtrl(self, *a, **k):
        return self._op("_getExtCtrl", *a, **k)

    def _setExtCtrl(self, *a, **k):
        return self._op("_setExtCtrl", *a, **k)

    def _reboot(self, *a, **k):
        return self._op("_reboot", *a, **k)

    def _create_beam_pattern_mgr(self):
        self.factory_calls += 1
        return self.manager

    def getFastBeamGain(self, rf_mode, beam_id):
        return RetType(data=(rf_mode, beam_id))

    def getFastBeamPattern(self, beam_id):
        return RetType(data=beam_id)

    def setFastBeamGain(self, rf_mode, beam_id, enable, com_gain=0, ele_gain=0):
        return RetType(data=(com_gain, ele_gain))

    def setFastBeamPatternThetaPhi(self, beam_id, rf_freq, theta, phi):
        return OK

    def setFastBeamPatternAzEl(self, beam_id, rf_freq, azimuth, elevation):
        return OK




__all__ = ["OK", "DeviceState", "DeviceConnection", "FakeTCP", "RecordingConnection", "SweepgateDevice"]


def on_a_terminal(command, columns=None, timeout=120):
    """Runs `command` with its standard error on a pseudo-terminal (of
    `columns` columns when given); its exit status and all it showed there.
    POSIX only (the tests that use it are marked so)."""
    import fcntl
    import pty
    import termios

    master, slave = pty.openpty()
    if columns:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    shown = b""
    while True:
        ready, _, _ = select.select([master], [], [], timeout)
        try:
            chunk = os.read(master, 65536) if ready else b""
        except OSError:  # the child closed its side
            chunk = b""
        if not chunk:
            break
        shown += chunk
    os.close(master)
    return child.wait(timeout), shown.decode()


def closed_port():
    """A port on 127.0.0.1 that nothing listens on."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port

"""Shared fakes and fixtures."""

import logging

import pytest

from ondrel.QarUtils import RetType


class RecordingConnection:
    """A connection that records every call and answers from scripts.

    ``replies`` answers listed exchanges (``sendCmd``) in order; when it runs
    out, ``default_reply`` answers.  A reply may be a callable taking the
    frame.  ``raw_replies`` answers ``recvRawBytes`` likewise.  ``calls``
    holds ``(operation, arguments)`` tuples in call order.
    """

    def __init__(self, replies=(), raw_replies=(), default_reply="0", default_raw=b"#200\r\n"):
        self.replies = list(replies)
        self.raw_replies = list(raw_replies)
        self.default_reply = default_reply
        self.default_raw = default_raw
        self.calls = []

    def _next(self, queue, default, frame):
        reply = queue.pop(0) if queue else default
        if isinstance(reply, BaseException):
            raise reply
        return reply(frame) if callable(reply) else reply

    def sendCmd(self, frame, rsp_type):
        self.calls.append(("sendCmd", (frame, rsp_type)))
        return RetType(data=self._next(self.replies, self.default_reply, frame))

    def sendRawBytes(self, data):
        self.calls.append(("sendRawBytes", (data,)))

    def recvRawBytes(self, size):
        self.calls.append(("recvRawBytes", (size,)))
        return self._next(self.raw_replies, self.default_raw, size)

    def initConnection(self):
        self.calls.append(("initConnection", ()))
        return True

    def closeConnection(self):
        self.calls.append(("closeConnection", ()))

    # views of the record
    def frames(self):
        """Every byte string sent, listed or raw, in order."""
        return [args[0] for op, args in self.calls if op in ("sendCmd", "sendRawBytes")]

    def commands(self):
        """The frames as text without CR LF; program commands cut to their header."""
        out = []
        for frame in self.frames():
            line = bytes(frame[:-2])
            if line.startswith(b"FPGA_PROGRAM #"):
                digits = int(line[14:15])
                line = line[: 15 + max(digits, 2)]
            out.append(line.decode("ascii", "replace"))
        return out


@pytest.fixture
def conn():
    return RecordingConnection()


@pytest.fixture
def Tarnel():
    import ondrel.Tarnel

    return ondrel.Tarnel


@pytest.fixture
def tool(Tarnel, conn):
    return Tarnel.FpgaTool(conn)


@pytest.fixture
def fpga_log(caplog):
    """Records of the "FPGA" channel as (levelname, message) pairs."""
    caplog.set_level(logging.DEBUG, logger="FPGA")

    def records():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "FPGA"]

    return records


class DeviceConnection(RecordingConnection):
    """A RecordingConnection whose replies come from an in-process simulated
    device (no TCP): programming writes its flash, reads read it back."""

    def __init__(self, state=None, faults=None):
        from ondrel.tools.devsim import SimulatedDevice

        super().__init__()
        self.device = SimulatedDevice(state, faults)
        self._raw = []

    def _answer(self, frame):
        from ondrel.tools.wire import split_command

        buf = bytearray(frame)
        command = split_command(buf)
        assert command is not None and not buf, frame
        return self.device.answer(command)

    def sendCmd(self, frame, rsp_type):
        self.calls.append(("sendCmd", (frame, rsp_type)))
        return RetType(data=self._answer(frame)[:-2].decode("utf-8"))

    def sendRawBytes(self, data):
        self.calls.append(("sendRawBytes", (data,)))
        self._raw.append(self._answer(data))

    def recvRawBytes(self, size):
        self.calls.append(("recvRawBytes", (size,)))
        return self._raw.pop(0)[:size]


@pytest.fixture
def device():
    return DeviceConnection()


@pytest.fixture
def simulator():
    """Starts simulated devices on loopback ports: simulator(**faults), with
    state=, hooks= and latency= (seconds) as the simulator takes them; all
    are stopped after the test."""
    from ondrel.tools.devsim import DeviceSimulator, Faults

    sims = []

    def start(hooks=None, state=None, latency=0.0, **faults):
        sim = DeviceSimulator(state=state, faults=Faults(**faults), hooks=hooks, latency=latency).start()
        sims.append(sim)
        return sim

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture
def image_dir(tmp_path):
    """Writes image files: image_dir("fw.bin", data) -> path as text."""

    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write

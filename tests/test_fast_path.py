"""An update over a _TCPConn whose way is not replaced anywhere goes over the
connection's link without a Python call per command; it is observably the
same update as the one through the tool's and the connection's methods: the
same commands reach the device, the same log records, progress lines,
callback calls and result.  Anything replaced takes the way through them."""

import io
import logging
import os
import sys
from contextlib import redirect_stdout

import pytest

from ondrel.QarCommService import _TCPConn
from ondrel.tools.devsim import DeviceState

IMAGE = os.urandom(3000)  # a partial last page


class Profile:
    """Counts the calls of _TCPConn's exchange methods (Python functions)."""

    NAMES = {"sendCmd", "sendCommands", "recvRawBytes", "recvReplies"}

    def __init__(self):
        self.calls = 0

    def __call__(self, frame, event, arg):
        if event == "call" and frame.f_code.co_name in self.NAMES and "QarCommService" in frame.f_code.co_filename:
            self.calls += 1


def update(sim, Tarnel, path, window, replace=None):
    """The update's observable outcome, and how many exchange methods ran in Python."""
    from ondrel import windowed

    tool = Tarnel.FpgaTool(address=sim.host, port=sim.port)
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    if replace:
        replace(tool)
    records = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = lambda record: records.append((record.levelname, record.getMessage()))
    logger = logging.getLogger("FPGA")
    logger.addHandler(handler)
    level, logger.level = logger.level, logging.DEBUG
    profile = Profile()
    out = io.StringIO()
    try:
        with redirect_stdout(out):
            sys.setprofile(profile)
            try:
                result = windowed.process_update(tool, path, 32, window=window)
            finally:
                sys.setprofile(None)
    finally:
        logger.removeHandler(handler)
        logger.level = level
        tool.disconnect()
    records = [(level, text.split(" Total time: ")[0]) for level, text in records]
    lines = [line.split(", block time:")[0] for line in out.getvalue().replace("\r", "\n").splitlines()]
    outcome = (result.RetCode, result.RetData, records, lines, calls, sim.state.commands, sim.state.image())
    return outcome, profile.calls


def _class_method(tool):
    type(tool)._fpgaProgram = lambda self, block: type(self).__mro__[1]._fpgaProgram(self, block)


def _tool_instance(tool):
    program = tool._fpgaRead
    tool._fpgaRead = lambda: program()


def _connection_instance(tool):
    send = tool._conn.sendCmd
    tool._conn.sendCmd = lambda frame, kind=None: send(frame, kind)


def _connection_class(tool):
    class Logged(_TCPConn):
        def recvReplies(self, limit, size=1024):
            return super().recvReplies(limit, size)

        def recvRawBytes(self, size=1024):
            return super().recvRawBytes(size)

    tool._conn.__class__ = Logged


@pytest.mark.parametrize("window", [1, 8])
@pytest.mark.parametrize("replace", [_class_method, _tool_instance, _connection_instance, _connection_class],
                         ids=["tool class", "tool instance", "connection instance", "connection class"])
def test_the_fast_way_is_the_same_update(Tarnel, simulator, image_dir, window, replace):
    path = image_dir("fw.bin", IMAGE)
    if replace in (_class_method,):
        Tarnel = type("Module", (), {"FpgaTool": type("Replaced", (Tarnel.FpgaTool,), {})})
    if window > 1 and replace in (_class_method, _tool_instance):
        pytest.skip("a windowed transfer refuses a tool that replaces its exchange (tested elsewhere)")
    fast, fast_calls = update(simulator(state=DeviceState()), __import__("ondrel.Tarnel").Tarnel, path, window)
    ordinary, ordinary_calls = update(simulator(state=DeviceState()), Tarnel, path, window, replace)
    assert fast == ordinary
    commands = 2 * -(-len(IMAGE) // 16)
    assert fast_calls < 10  # the exchanges before and after the programming
    assert ordinary_calls > commands // window  # one for each command (or batch of commands) at least

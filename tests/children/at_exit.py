"""Daemon threads parked inside every kind of call into Python that the
native code makes; each spins in Python code (giving up the interpreter lock
and taking it back) until the interpreter ends it while it exits.  The
interpreter ends such threads as they take its lock back; no native frame
may then release a Python object (-X dev reports one that does), and no
destructor may be unwound (the process would abort)."""

import os
import sys
import tempfile
import threading
import time

import ondrel.qardev.Sweepgate as S
import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetType
from ondrel.tools.tbin import seal
from tests.fakes import RecordingConnection, SweepgateDevice

inside = threading.Semaphore(0)


def spin():
    inside.release()
    while True:
        time.sleep(0)


class Spinning:
    def __str__(self):
        spin()

    __repr__ = __int__ = __index__ = __float__ = __len__ = __str__

    def __eq__(self, other):
        spin()

    __lt__ = __eq__
    __hash__ = object.__hash__


folder = tempfile.mkdtemp()
image = os.path.join(folder, "fw.tbin")
with open(image, "wb") as f:
    f.write(seal(bytes(64), 32))
raw = os.path.join(folder, "fw.bin")
with open(raw, "wb") as f:
    f.write(bytes(1 << 16))


def tool(replies=None):
    conn = RecordingConnection(record=False)
    conn.sendCmd = lambda frame, kind: RetType(data=(replies or {}).get(bytes(frame[:-2]), "0"))
    return Tarnel.FpgaTool(conn)


class SpinningConn(RecordingConnection):
    def sendCmd(self, frame, kind):
        spin()


class SpinningJson:
    @staticmethod
    def loads(text):
        return {"DEV_TYPE": [Spinning()]}


class Device(SweepgateDevice):
    def _getExtCtrl(self):
        spin()


class Reply(bytes):
    def __del__(self):
        spin()


class DyingReplies(RecordingConnection):
    def recvRawBytes(self, size):
        return Reply(b"#216" + bytes(16) + b"\r\n")


def spinning_signature():
    return S._require_beam_pattern_setup(type("F", (), {"__signature__": property(lambda self: spin())})())


def spinning_callback():
    t = tool()
    t.set_progress_callback(lambda *args: spin())
    t._fpgaProgramFile(raw, 32)


def substituted_json():
    Tarnel.json = SpinningJson
    tool()._checkFileHeader(image)


calls = [
    lambda: tool({b"FPGA_GET_ID": Spinning()}).initFpga(32),  # str() of a reply
    lambda: Tarnel.FpgaTool(SpinningConn(record=False))._fpgaGetId(),  # a connection's method
    lambda: tool()._fpgaProgram(Spinning()),  # len()
    lambda: tool()._fpgaCfgMode(Spinning()),  # str() of an argument
    lambda: tool().processFpgaUpdate(raw, Spinning()),  # int()
    substituted_json,  # a substituted global
    lambda: Device().getFastParallelMode(),  # a device operation
    spinning_signature,  # a decorator's signature
    spinning_callback,  # the progress callback
    lambda: Tarnel.FpgaTool(DyingReplies(record=False))._fpgaRead(),  # a release: __del__
]
for call in calls:
    threading.Thread(target=call, daemon=True).start()
for _ in calls:
    inside.acquire()  # every thread is inside its call
sys.__stdout__.write("leaving\n")

"""The reply handling of the raw exchange and of the windowed transfer: a
connection that answers with arbitrary bytes, or with other objects.  Any
Python exception is fine; a crash or a SystemError (a broken C API
contract) is not."""

import os
import tempfile

import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetType
from ondrel.tools import windowed

from .values import Reader, value

_IMAGE = os.path.join(tempfile.mkdtemp(prefix="ondrel-fuzz-"), "image.bin")
with open(_IMAGE, "wb") as _f:
    _f.write(bytes(range(256)) * 2)


class _Conn:
    """Answers every exchange from the fuzzer's bytes."""

    def __init__(self, reader, batching):
        self.reader = reader
        if batching:
            self.sendCommands = lambda data, count: None
            self.recvReplies = self._replies

    def _reply(self):
        kind = self.reader.byte() % 5
        raw = self.reader.take(self.reader.byte() % 40)
        return [raw, bytearray(raw), memoryview(raw), raw.decode("latin-1"), value(self.reader)][kind]

    def _replies(self, limit, size):
        return [self._reply() for _ in range(self.reader.byte() % (limit + 2))]

    def sendCmd(self, frame, kind):
        return RetType(data=self._reply())

    def sendRawBytes(self, data):
        pass

    def recvRawBytes(self, size):
        return self._reply()

    def closeConnection(self):
        pass


def one_input(data):
    reader = Reader(data)
    choice = reader.byte()
    tool = Tarnel.FpgaTool(_Conn(reader, choice & 1))
    operations = [
        lambda: tool._getRecv(bool(choice & 2), 1 + reader.byte(), bool(choice & 4)),
        lambda: tool._sendCmd(b"X", True, 1024, False),
        lambda: tool._fpgaRead(),
        lambda: tool._fpgaProgram(reader.take(16)),
        lambda: windowed.read_pages(tool, reader.byte() % 40, 1 + reader.byte() % 8),
        lambda: windowed.program_file(tool, _IMAGE, 32, 1 + reader.byte() % 8),
        lambda: tool.initFpga(32),
    ]
    try:
        operations[(choice >> 3) % len(operations)]()
    except SystemError:
        raise
    except Exception:
        pass

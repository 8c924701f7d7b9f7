"""What hmac and hashlib are handed stays valid after they keep it."""

import gc
import hashlib
import hmac
import os
import tempfile
from unittest import mock

import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetCode
from ondrel.tools.tbin import seal
from tests.fakes import DeviceConnection

folder = tempfile.mkdtemp()
image = os.urandom(200000)
paths = {suffix: os.path.join(folder, "fw" + suffix) for suffix in (".tbin", ".bin")}
with open(paths[".tbin"], "wb") as f:
    f.write(seal(image, 32))
with open(paths[".bin"], "wb") as f:
    f.write(image)


class KeepingSha:  # a hashlib whose digests keep what they are fed
    kept = []

    def __init__(self):
        self._sha = hashlib.sha256()

    def update(self, data):
        self.kept.append(data)
        self._sha.update(data)

    def hexdigest(self):
        return self._sha.hexdigest()


with mock.patch.object(Tarnel, "hmac", wraps=hmac) as hmac_spy, \
        mock.patch.object(Tarnel, "hashlib", mock.Mock(sha256=KeepingSha)):
    tool = Tarnel.FpgaTool(DeviceConnection())
    assert tool.processFpgaUpdate(paths[".tbin"]).RetCode is RetCode.OK
    assert tool.processFpgaUpdate(paths[".bin"]).RetCode is RetCode.OK
del tool
gc.collect()
os.urandom(1 << 22)  # give freed memory a chance to be reused
fed = [bytes(call.args[1]) for call in hmac_spy.method_calls if call[0] == "digest"]
assert image in fed, "the image tag was computed over something else"
# the container written and read back; the raw image read whole before the erase, sent, read back, and read
# whole again before done
assert b"".join(bytes(data) for data in KeepingSha.kept) == image * 6, "the digests of both updates"
print("ok")

"""The container check: arbitrary file bytes, and arbitrary values handed
back by a substituted json.  Any outcome but a crash is fine: the check
answers True or False."""

import os
import tempfile

import ondrel.Tarnel as Tarnel

from .values import Reader, value

_FOLDER = tempfile.mkdtemp(prefix="ondrel-fuzz-")
_PATH = os.path.join(_FOLDER, "image.tbin")
_JSON = Tarnel.json


class _Json:
    def __init__(self, loaded):
        self.loaded = loaded

    def loads(self, text):
        return self.loaded


def one_input(data):
    if not data:
        return
    with open(_PATH, "wb") as f:
        f.write(data[1:])
    if data[0] & 1:  # the header's JSON replaced by a decoded value
        Tarnel.json = _Json(value(Reader(data[1:])))
    try:
        assert Tarnel.FpgaTool(object())._checkFileHeader(_PATH) in (True, False)
    finally:
        Tarnel.json = _JSON

"""The container check, held against an independent reading of the layout
(model.py): for any file, the library accepts exactly what the reading
accepts, and then hands back exactly the image and header the reading
finds.  Half the inputs are containers sealed by the reading's own rule
(then perhaps mutated), so the code after the tags is reached; a few hand
the check arbitrary values from a substituted json, where any answer but a
crash will do."""

import os
import tempfile

import ondrel.Tarnel as Tarnel
from ondrel.tools import windowed

from . import model
from .values import Reader, value

_FOLDER = tempfile.mkdtemp(prefix="ondrel-fuzz-")
_PATH = os.path.join(_FOLDER, "image.tbin")
_JSON = Tarnel.json

DEVICE_TYPES = [32, 28, [28, 32], [32, 28], "32", 7, 1234, -5, [4, "32"], True, 3.7, None, "x", [], {}]


class _Json:
    def __init__(self, loaded):
        self.loaded = loaded

    def loads(self, text):
        return self.loaded


class _Offline:
    def __getattr__(self, name):
        raise RuntimeError("offline")


def sealed(reader):
    """A container sealed by the reading's rule from the fuzzer's bytes, with
    as many single-byte changes as they ask for (often none)."""
    header = {"DEV_TYPE" if reader.byte() & 1 else "dev_type": DEVICE_TYPES[reader.byte() % len(DEVICE_TYPES)]}
    if reader.byte() & 1:
        header["FPGA_VERSION"] = "0.2.%d.0" % reader.byte()
    padding = b"\0" * (reader.byte() % 4)
    gap = reader.take(reader.byte() % 4)
    image = reader.take(reader.byte() % 64)
    try:
        data = bytearray(model.seal(image, header, padding, gap))
    except (TypeError, ValueError):  # a header no key can be made for: sealed with any key
        data = bytearray(model.seal(image, {"DEV_TYPE": 32}, padding, gap))
        data[80:80 + len(padding)] = padding
    for _ in range(reader.byte() % 4 if reader.byte() & 1 else 0):  # mutations
        at = (reader.byte() << 8 | reader.byte()) % len(data)
        data[at] ^= reader.byte() or 1
    return bytes(data)


def one_input(data):
    if not data:
        return
    mode, reader = data[0], Reader(data[1:])
    file = sealed(reader) if mode & 1 else data[1:]
    with open(_PATH, "wb") as f:
        f.write(file)
    tool = Tarnel.FpgaTool(_Offline())
    if mode & 6 == 6:  # the header's JSON replaced by a decoded value: only the answer's type is held
        Tarnel.json = _Json(value(Reader(data[1:])))
        try:
            assert tool._checkFileHeader(_PATH) in (True, False)
        finally:
            Tarnel.json = _JSON
        return
    found = windowed.check_image(tool, _PATH)
    verdict, image, header = model.reference(file)
    assert found["accepted"] == (verdict == "accept"), (verdict, file)
    if verdict == "accept":
        assert (found["kind"], found["image"], found["header"]) == ("container", image, header), file

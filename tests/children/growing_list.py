"""Items that change the device-type list while it is read cannot crash the
check: the key of two types 32 does not match, and nothing reads freed
memory."""

import os
import tempfile

import ondrel.Tarnel as Tarnel
from ondrel.tools.tbin import seal


class Growing:  # converting it grows the list, which frees the list's item array
    def __init__(self, items):
        self.items = items

    def __int__(self):
        self.items.extend(range(10000))
        return 32

    def __lt__(self, other):
        return False


class Json:
    @staticmethod
    def loads(text):
        items = []
        items += [Growing(items), Growing(items)]
        return {"DEV_TYPE": items}


path = os.path.join(tempfile.mkdtemp(), "fw.tbin")
with open(path, "wb") as f:
    f.write(seal(bytes(64), 32))
Tarnel.json = Json
print(Tarnel.FpgaTool(object())._checkFileHeader(path))

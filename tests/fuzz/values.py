"""Python values, ordinary and hostile, decoded from fuzzer bytes: what a
substituted json, a connection or a device operation could hand the native
code."""

import math


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def take(self, count):
        piece = self.data[self.at:self.at + count]
        self.at += len(piece)
        return piece


class Hostile:
    """An object whose conversions and comparisons change the list it sits
    in, raise, or answer with the wrong type."""

    def __init__(self, kind, home):
        self.kind = kind % 6
        self.home = home

    def _act(self, answer):
        if self.kind == 0:
            self.home.extend(range(64))  # frees the list's item array
        elif self.kind == 1:
            self.home.clear()
        elif self.kind == 2:
            raise ValueError("hostile")
        elif self.kind == 3:
            return "not a number"
        elif self.kind == 4:
            return 2 ** 70
        return answer

    def __int__(self):
        return self._act(32)

    def __index__(self):
        return self._act(7)

    def __float__(self):
        return float(self._act(1.5))

    def __str__(self):
        return str(self._act("32"))

    def __lt__(self, other):
        return bool(self._act(False))

    def __eq__(self, other):
        return bool(self._act(False))

    def __len__(self):
        return self._act(3)

    def __bool__(self):
        return bool(self._act(True))

    __hash__ = object.__hash__


def value(reader, depth=0, home=None):
    """One value; lists and dicts hold more."""
    op = reader.byte() % (11 if depth < 4 else 6)
    if op == 0:
        return int.from_bytes(reader.take(2), "big", signed=True)
    if op == 1:
        return reader.take(reader.byte() % 8).decode("latin-1")
    if op == 2:
        return [math.nan, math.inf, -math.inf, 1e308, 0.5, -0.0][reader.byte() % 6]
    if op == 3:
        return bool(reader.byte() & 1)
    if op == 4:
        return None
    if op == 5:
        return Hostile(reader.byte(), home if home is not None else [])
    if op == 6:
        return 2 ** (reader.byte() % 130) - (reader.byte() % 3)
    if op == 7:
        return reader.take(reader.byte() % 24)
    if op in (8, 9):
        items = []
        for _ in range(reader.byte() % 6):
            items.append(value(reader, depth + 1, items))
        return items
    fields = {}
    for _ in range(reader.byte() % 4):
        key = ["DEV_TYPE", "dev_type", "x"][reader.byte() % 3]
        fields[key] = value(reader, depth + 1)
    return fields

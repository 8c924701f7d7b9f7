"""Result records, response kinds and version values of the device modules."""

import re
from enum import Enum

from .QarPublic import RetCode

__all__ = ["RetCode", "RetType", "VER", "_RspType"]


class _RspType(Enum):
    """How a device connection collects the reply of a command."""

    RSP_LIST = 1
    RSP_STRING = 2


class RetType:
    """The result of a device operation: a code, a message and data.

    ``RetType()`` and ``RetType(data=x)`` are successes; failures are built as
    ``RetType(RetCode.ERROR, "why")``.
    """

    __slots__ = ("RetCode", "RetMsg", "RetData")

    def __init__(self, code=RetCode.OK, msg="", data=None):
        self.RetCode = code
        self.RetMsg = msg
        self.RetData = data

    def __repr__(self):
        return "RetType(%r, %r, %r)" % (self.RetCode, self.RetMsg, self.RetData)


_VERSION_TEXT = re.compile(r"[0-9]+(?:\.[0-9]+)*")


class VER:
    """A version from dotted decimal text, ordered numerically.

    ``VER("0.10.0.0") > VER("0.9.0.0")``; missing trailing parts count as 0.
    """

    __slots__ = ("_text", "_parts")

    def __init__(self, text):
        if not isinstance(text, str):
            raise TypeError("version must be text, not %s" % type(text).__name__)
        if not _VERSION_TEXT.fullmatch(text):
            raise ValueError("invalid version text: %r" % (text,))
        self._text = text
        parts = [int(p) for p in text.split(".")]
        while len(parts) > 1 and parts[-1] == 0:
            parts.pop()
        self._parts = tuple(parts)

    def __str__(self):
        return self._text

    def __repr__(self):
        return "VER(%r)" % (self._text,)

    def __eq__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._parts == other._parts

    def __lt__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._parts < other._parts

    def __le__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._parts <= other._parts

    def __gt__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._parts > other._parts

    def __ge__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._parts >= other._parts

    def __hash__(self):
        return hash(self._parts)
